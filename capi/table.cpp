#include "capi/table.h"

#include <new>

#include "core/lifecycle_check.h"
#include "platform/os.h"

namespace quorvel::capi {
namespace {

// A handle's value: bits 0-1 are 2 (never an aligned pointer), bits 2-17
// the entry's index, the bits above its generation (0 is never used, so no
// handle value is 0 or 2): 14 bits on x86, 32 where handles have 64 (the
// values stay below 2^50, exact in a double, as some hosts hold them).
//
// A value is never given out twice: an entry whose generation has reached
// the last one is retired instead of being used again, and the table grows
// past it. On x86 that allows about 2^30 opens in a process's life (16,383
// per entry, 65,536 entries); on x64, 2^32 per entry.
constexpr unsigned kIndexBits = 16;
constexpr unsigned kGenerationBits = sizeof(UINT_PTR) == 8 ? 32 : 14;
constexpr UINT_PTR kTag = 2;
constexpr unsigned kChunkBits = 8;
constexpr unsigned kChunkSlots = 1u << kChunkBits;
constexpr unsigned kChunks = (1u << kIndexBits) / kChunkSlots;
constexpr unsigned long long kLastGeneration = (1ull << kGenerationBits) - 1;

// An entry's state word: its generation and where it is in its life. A
// free entry with the last generation is retired: never used again.
enum Phase : unsigned { kFree = 0, kOpening = 1, kLive = 2, kClosing = 3 };
using StateWord = UINT_PTR;  // 14 + 2 bits on x86, 32 + 2 on x64
constexpr StateWord Word(unsigned uGeneration, Phase phase) {
    return static_cast<StateWord>(uGeneration) << 2 | phase;
}
constexpr unsigned GenerationOf(StateWord word) { return static_cast<unsigned>(word >> 2); }
constexpr Phase PhaseOf(StateWord word) { return static_cast<Phase>(word & 3); }

// The last generation an entry takes before it retires: kLastGeneration,
// lowered by tests that run an entry to its end.
std::atomic<unsigned> g_uLastGeneration{static_cast<unsigned>(kLastGeneration)};

struct Slot {
    std::atomic<StateWord> word;
    SharedLink* calls;  // counts the calls on the entry; kept for the table's life
    std::atomic<Object*> object;
};

// Chunks of entries are made as the table grows and released only when the
// DLL is unloaded, so an entry's memory stays valid for any handle value,
// closed or not.
std::atomic<Slot*> g_chunks[kChunks];
std::atomic<unsigned> g_uNextIndex{0};  // where the search for a free entry starts
std::atomic<unsigned> g_uSlots{0};      // entries in the chunks made so far

Slot* SlotAt(unsigned uIndex) {
    Slot* chunk = g_chunks[uIndex >> kChunkBits].load(std::memory_order_acquire);
    return chunk ? &chunk[uIndex & (kChunkSlots - 1)] : nullptr;
}

// The entry a handle value names, and the generation the value carries;
// nullptr for a value that cannot be a handle.
Slot* Decode(qv_handle handle, unsigned* puGeneration) {
    unsigned long long value = reinterpret_cast<UINT_PTR>(handle);
    if ((value & 3) != kTag || value >> (2 + kIndexBits + kGenerationBits) != 0) return nullptr;
    *puGeneration = static_cast<unsigned>(value >> (2 + kIndexBits));
    if (*puGeneration == 0) return nullptr;
    return SlotAt(static_cast<unsigned>(value >> 2) & ((1u << kIndexBits) - 1));
}

qv_handle Encode(unsigned uIndex, unsigned uGeneration) {
    return reinterpret_cast<qv_handle>(static_cast<UINT_PTR>(uGeneration) << (2 + kIndexBits) |
                                       static_cast<UINT_PTR>(uIndex) << 2 | kTag);
}

SharedLink* LinkOf(qv_handle handle) {
    unsigned uGeneration = 0;
    Slot* slot = Decode(handle, &uGeneration);
    return slot ? slot->calls : nullptr;
}

// Makes the next chunk; false when the table is full or memory ran out.
bool Grow(unsigned uSeen) {
    unsigned uChunk = uSeen / kChunkSlots;
    if (uChunk >= kChunks) return false;
    if (!g_chunks[uChunk].load(std::memory_order_acquire)) {
        Slot* chunk = new (std::nothrow) Slot[kChunkSlots];
        if (!chunk) return false;
        for (unsigned i = 0; i < kChunkSlots; ++i) {
            chunk[i].word.store(Word(0, kFree));
            chunk[i].object.store(nullptr);
            chunk[i].calls = SharedLink::Create(nullptr);
            if (!chunk[i].calls) {
                for (unsigned j = 0; j < i; ++j) SharedLink::Release(chunk[j].calls);
                delete[] chunk;
                return false;
            }
        }
        Slot* expected = nullptr;
        if (!g_chunks[uChunk].compare_exchange_strong(expected, chunk)) {
            for (unsigned i = 0; i < kChunkSlots; ++i) SharedLink::Release(chunk[i].calls);
            delete[] chunk;  // another thread made it first
        }
    }
    unsigned uExpected = uSeen;
    g_uSlots.compare_exchange_strong(uExpected, uSeen + kChunkSlots);
    return true;
}

// Reserves a free entry, going round the table so that a closed handle's
// entry is the last to be used again, and skipping retired ones; false when
// none is free and the table cannot grow.
bool Reserve(unsigned* puIndex, unsigned* puGeneration) {
    for (;;) {
        unsigned uSlots = g_uSlots.load(std::memory_order_acquire);
        unsigned uStart = g_uNextIndex.load(std::memory_order_relaxed);
        for (unsigned n = 0; n < uSlots; ++n) {
            unsigned uIndex = (uStart + n) % uSlots;
            Slot* slot = SlotAt(uIndex);
            StateWord word = slot->word.load(std::memory_order_acquire);
            if (PhaseOf(word) != kFree) continue;
            if (GenerationOf(word) >= g_uLastGeneration.load(std::memory_order_relaxed)) continue;
            unsigned uGeneration = GenerationOf(word) + 1;
            if (slot->word.compare_exchange_strong(word, Word(uGeneration, kOpening))) {
                g_uNextIndex.store(uIndex + 1, std::memory_order_relaxed);
                *puIndex = uIndex;
                *puGeneration = uGeneration;
                return true;
            }
        }
        if (!Grow(uSlots)) return false;
    }
}

}  // namespace

void LimitGenerationsForTests(unsigned uLast) {
    g_uLastGeneration.store(uLast ? uLast : static_cast<unsigned>(kLastGeneration));
}

DWORD Register(Object* object, qv_handle* pHandle) {
    *pHandle = nullptr;
    if (!object) return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    unsigned uIndex = 0, uGeneration = 0;
    if (!Reserve(&uIndex, &uGeneration)) {
        object->Shutdown();
        object->Finish();
        object->Release();
        return capi::Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    Slot* slot = SlotAt(uIndex);
    qv_handle handle = Encode(uIndex, uGeneration);
    object->m_handle.store(handle, std::memory_order_release);
    slot->calls->closing.store(false, std::memory_order_seq_cst);
    slot->object.store(object, std::memory_order_release);
    slot->word.store(Word(uGeneration, kLive), std::memory_order_release);
    *pHandle = handle;
    return ERROR_SUCCESS;
}

void ReleaseTable() {
    for (std::atomic<Slot*>& at : g_chunks) {
        Slot* chunk = at.exchange(nullptr);
        if (!chunk) continue;
        for (unsigned i = 0; i < kChunkSlots; ++i) SharedLink::Release(chunk[i].calls);
        delete[] chunk;
    }
    g_uSlots = 0;
    g_uNextIndex = 0;
}

DWORD Close(qv_handle handle) {
    unsigned uGeneration = 0;
    Slot* slot = Decode(handle, &uGeneration);
    StateWord live = Word(uGeneration, kLive);
    // One closer only; a second close, or one of a stale value, is refused.
    if (!slot || !slot->word.compare_exchange_strong(live, Word(uGeneration, kClosing))) {
        return Refuse(ERROR_INVALID_HANDLE);
    }
    Object* object = slot->object.load(std::memory_order_acquire);
    // Calls from now on are refused, and those that the shutdown ends see why.
    slot->calls->closing.store(true, std::memory_order_seq_cst);
    object->Shutdown();
    EndCalls(slot->calls, [object] { object->Wake(); });
    QV_CHECK_CLOSE_CALLS(slot->calls, "C interface handle");
    object->Finish();
    slot->object.store(nullptr, std::memory_order_release);
    slot->calls->closing.store(false, std::memory_order_seq_cst);
    slot->word.store(Word(uGeneration, kFree), std::memory_order_release);
    object->Release();
    return ERROR_SUCCESS;
}

Call::Call(qv_handle handle, Kinds kinds QV_FAILURE_PLACE_DEFINED)
    : m_guard(LinkOf(handle)), m_object(nullptr) {
    if (!m_guard.Refused()) {
        // Counted before anything is read: a close that began earlier was
        // seen above; one that begins now waits for this call.
        unsigned uGeneration = 0;
        Slot* slot = Decode(handle, &uGeneration);
        Object* object = slot->word.load(std::memory_order_acquire) == Word(uGeneration, kLive)
                             ? slot->object.load(std::memory_order_acquire)
                             : nullptr;
        if (object && (KindBit(object->Kind()) & kinds)) m_object = object;
    }
    // A NULL handle stands for "none" where a call allows that (a radio).
    if (!m_object && handle) QV_TRACE_FAILURE(nullptr, ERROR_INVALID_HANDLE);
}

DWORD Call::Failed() const { return Closing() ? ERROR_OPERATION_ABORTED : LastError(); }

DWORD LastError() {
    DWORD dwError = os::GetLastError();
    return dwError ? dwError : ERROR_GEN_FAILURE;
}

}  // namespace quorvel::capi
