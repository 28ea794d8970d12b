#include "tests/fuzz/fuzz.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace qvfuzz {

long Iterations() {
    const char* text = std::getenv("QV_FUZZ_ITERATIONS");
    long n = text ? std::atol(text) : 0;
    return n > 0 ? n : 50000;
}

GuardedBlock::GuardedBlock(size_t maxBytes) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    size_t page = si.dwPageSize;
    m_size = (maxBytes + page - 1) / page * page;
    m_base = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, m_size + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (m_base) VirtualProtect(m_base + m_size, page, PAGE_NOACCESS, &old);
}

GuardedBlock::~GuardedBlock() {
    if (m_base) VirtualFree(m_base, 0, MEM_RELEASE);
}

const wchar_t* GuardedBlock::Place(const std::wstring& text, bool terminated) {
    size_t chars = text.size() + (terminated ? 1 : 0);
    wchar_t* at = reinterpret_cast<wchar_t*>(m_base + m_size) - chars;
    std::memcpy(at, text.data(), text.size() * sizeof(wchar_t));
    if (terminated) at[text.size()] = L'\0';
    return at;
}

wchar_t* GuardedBlock::Output(size_t chars) {
    wchar_t* at = reinterpret_cast<wchar_t*>(m_base + m_size) - chars;
    for (size_t i = 0; i < chars; ++i) at[i] = 0xBEEF;
    return at;
}

unsigned char* GuardedBlock::Bytes(size_t count) { return m_base + m_size - count; }

TextGenerator::TextGenerator(std::vector<std::wstring> seeds, uint64_t seed)
    : m_seeds(std::move(seeds)), m_state(seed ? seed : 0x9E3779B97F4A7C15ull) {}

uint64_t TextGenerator::Step() {  // xorshift64*
    m_state ^= m_state >> 12;
    m_state ^= m_state << 25;
    m_state ^= m_state >> 27;
    return m_state * 0x2545F4914F6CDD1Dull;
}

uint32_t TextGenerator::Below(uint32_t n) {
    return n ? static_cast<uint32_t>((Step() >> 32) % n) : 0;
}

wchar_t TextGenerator::RandomChar() {
    static const wchar_t kSeparators[] = L".:-\\/ _%xX";
    switch (Below(8)) {
        case 0: return static_cast<wchar_t>(L'0' + Below(10));
        case 1: return kSeparators[Below(sizeof kSeparators / sizeof kSeparators[0] - 1)];
        case 2: return static_cast<wchar_t>(L'A' + Below(6));  // hex digits
        case 3: return static_cast<wchar_t>(0x20 + Below(0x5F));  // printable ASCII
        case 4: return static_cast<wchar_t>(0x80 + Below(0x780));  // Latin and beyond
        case 5: return static_cast<wchar_t>(0xD800 + Below(0x800));  // lone surrogates
        case 6: return Below(4) ? static_cast<wchar_t>(0xFF10 + Below(10)) : L'\0';  // wide digits, NUL
        default: return static_cast<wchar_t>(Below(0x10000));
    }
}

size_t InterestingLength(TextGenerator& gen) {
    static const size_t kEdges[] = {0, 1, 15, 16, 17, 47, 48, 49, 63, 64, 65,
                                    247, 248, 249, 255, 256, 257, 259, 260, 261, 300, 520};
    size_t edge = kEdges[gen.Below(sizeof kEdges / sizeof kEdges[0])];
    if (gen.Below(2)) return edge;
    size_t jitter = gen.Below(3);
    return edge + jitter;
}

std::wstring TextGenerator::Next() {
    std::wstring text;
    uint32_t how = Below(10);
    if (how < 6 && !m_seeds.empty()) {
        text = m_seeds[Below(static_cast<uint32_t>(m_seeds.size()))];
        int edits = 1 + static_cast<int>(Below(4));
        for (int e = 0; e < edits; ++e) {
            size_t at = text.empty() ? 0 : Below(static_cast<uint32_t>(text.size() + 1));
            switch (Below(6)) {
                case 0: text.insert(text.begin() + at, RandomChar()); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                case 2: if (at < text.size()) text[at] = RandomChar(); break;
                case 3: text = text.substr(0, at); break;  // truncated
                case 4: text.insert(at, text.substr(0, Below(static_cast<uint32_t>(text.size() + 1)))); break;
                default: text.append(Below(300), text.empty() ? L'9' : text.back()); break;
            }
        }
    } else if (how < 8) {
        size_t length = InterestingLength(*this);
        for (size_t i = 0; i < length; ++i) text.push_back(RandomChar());
    } else {
        // A seed padded up to a buffer edge.
        text = m_seeds.empty() ? std::wstring() : m_seeds[Below(static_cast<uint32_t>(m_seeds.size()))];
        size_t length = InterestingLength(*this);
        while (text.size() < length) text.push_back(Below(2) ? L'0' : L' ');
    }
    return text;
}

}  // namespace qvfuzz
