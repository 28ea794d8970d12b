#include "quorvel/core.h"

#include "core/atomic.h"
#include "core/error.h"

using quorvel::AtomicCompareExchange;
using quorvel::AtomicLoad;

namespace {

constexpr unsigned kSeqMask = 0xFFFFu;    // the target's write count
constexpr unsigned kStackShift = 16;      // the stack reserve, in 64 KB units above it
constexpr unsigned long kStackUnit = 0x10000;
constexpr unsigned long kMostStackUnits = 0xFFFF;

}  // namespace

// Hosts compile against this layout.
CxComm::CxComm()
    : m_pfnProc(nullptr), m_pParam(nullptr), m_hWnd(nullptr), m_uMsg(0), m_uTargetSeq(0) {}

CxComm::CxComm(const CxComm& other) : CxComm() {
    SetTarget(other.GetTarget());
    SetListenerStackSize(other.GetListenerStackSize());
}

CxComm& CxComm::operator=(const CxComm& other) {
    if (this != &other) {
        SetTarget(other.GetTarget());
        SetListenerStackSize(other.GetListenerStackSize());
    }
    return *this;
}

CxComm::~CxComm() = default;

void CxComm::SetWndMsgProc(HWND hWnd, UINT uMsg, CX_COMM_PROC pfnProc, void* pParam) {
    SetTarget(Target{pfnProc, pParam, hWnd, uMsg});
}

void CxComm::SetListenerStackSize(unsigned long ulBytes) {
    unsigned long ulUnits = ulBytes / kStackUnit + (ulBytes % kStackUnit ? 1 : 0);
    if (ulUnits > kMostStackUnits) ulUnits = kMostStackUnits;
    unsigned uWord = AtomicLoad(m_uTargetSeq);
    unsigned uNew;
    do {
        uNew = (uWord & kSeqMask) | static_cast<unsigned>(ulUnits) << kStackShift;
    } while (!AtomicCompareExchange(m_uTargetSeq, uWord, uNew));
}

unsigned long CxComm::GetListenerStackSize() const {
    return static_cast<unsigned long>(AtomicLoad(m_uTargetSeq) >> kStackShift) * kStackUnit;
}

void* CxComm::GetSafeHandle() { return nullptr; }

// The base class holds nothing to carry data through.
int CxComm::Send(unsigned char*, unsigned long, unsigned long) {
    return quorvel::Fail(ERROR_INVALID_HANDLE);
}

int CxComm::Recv(unsigned char*, unsigned long, unsigned long) {
    return quorvel::Fail(ERROR_INVALID_HANDLE);
}

// The four members are written under a count that is odd while a write is in
// progress; a reader retries until it has read all four between two equal,
// even counts. Writers are the host's calls on one object, which do not
// overlap; the count shares its word with the stack setting, so each step
// changes only its own bits.
void CxComm::SetTarget(const Target& target) {
    auto bump = [this] {
        unsigned uWord = AtomicLoad(m_uTargetSeq);
        while (!AtomicCompareExchange(m_uTargetSeq, uWord,
                                      (uWord & ~kSeqMask) | ((uWord + 1) & kSeqMask))) {
        }
    };
    bump();
    __atomic_thread_fence(__ATOMIC_RELEASE);
    __atomic_store_n(&m_pfnProc, target.pfnProc, __ATOMIC_RELAXED);
    __atomic_store_n(&m_pParam, target.pParam, __ATOMIC_RELAXED);
    __atomic_store_n(&m_hWnd, target.hWnd, __ATOMIC_RELAXED);
    __atomic_store_n(&m_uMsg, target.uMsg, __ATOMIC_RELAXED);
    bump();
}

CxComm::Target CxComm::GetTarget() const {
    for (;;) {
        unsigned uBefore = AtomicLoad(m_uTargetSeq) & kSeqMask;
        if (uBefore & 1) {
            YieldProcessor();
            continue;
        }
        Target target{__atomic_load_n(&m_pfnProc, __ATOMIC_RELAXED),
                      __atomic_load_n(&m_pParam, __ATOMIC_RELAXED),
                      __atomic_load_n(&m_hWnd, __ATOMIC_RELAXED),
                      __atomic_load_n(&m_uMsg, __ATOMIC_RELAXED)};
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if ((__atomic_load_n(&m_uTargetSeq, __ATOMIC_RELAXED) & kSeqMask) == uBefore) {
            return target;
        }
    }
}
