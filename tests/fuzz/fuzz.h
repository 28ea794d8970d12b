// Parser fuzzing: generated texts placed so that they end at an inaccessible
// page, and output buffers that end at one, so that reading or writing one
// character too far faults on the spot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvfuzz {

// Inputs per parser: QV_FUZZ_ITERATIONS from the environment, else the
// short count of the test suite (scripts/fuzz.sh runs a million).
long Iterations();

// A block of memory whose last byte is followed by a PAGE_NOACCESS page.
class GuardedBlock {
public:
    explicit GuardedBlock(size_t maxBytes);
    ~GuardedBlock();
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    // The text, with its terminator unless unterminated, copied so that its
    // last character is the last one before the guard page.
    const wchar_t* Place(const std::wstring& text, bool terminated);
    // An output buffer of this many characters ending at the guard page,
    // filled with a marker value.
    wchar_t* Output(size_t chars);
    // Bytes, ending at the guard page.
    unsigned char* Bytes(size_t count);

private:
    unsigned char* m_base;
    size_t m_size;  // accessible bytes before the guard
};

// Deterministic generator of texts: mutations of the seeds, runs of random
// characters (ASCII, digits and separators, non-ASCII, lone surrogates,
// embedded NULs), and lengths up to and past every buffer of the library.
class TextGenerator {
public:
    TextGenerator(std::vector<std::wstring> seeds, uint64_t seed);
    std::wstring Next();
    uint32_t Below(uint32_t n);  // uniform in [0, n)

private:
    wchar_t RandomChar();
    uint64_t Step();

    std::vector<std::wstring> m_seeds;
    uint64_t m_state;
};

// Lengths around the library's text capacities (16, 48, 64, 248, 256, 260).
size_t InterestingLength(TextGenerator& gen);

}  // namespace qvfuzz
