// What a fuzz target makes of one input, written as one printable line. The tests replay
// each seed corpus and compare every seed's line with the one recorded for it in
// fuzz/corpus/<target>.expected, so the seeds are also the table of expected outcomes.
#ifndef DODODUZOD_FUZZ_OUTCOME_H
#define DODODUZOD_FUZZ_OUTCOME_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

// The bytes in double quotes: printable ASCII as it is, any other byte as \xHH.
inline std::string Quoted(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7f && c != '\\' && c != '"' ? std::string(1, c) : escaped;
    }
    return out + "\"";
}

// An invariant of every input: when it fails, the fuzzer has its crash.
inline void Require(bool holds) {
    if (!holds)
        std::abort();
}

}  // namespace fuzzing

// The fuzzer's entry for a target whose outcome function does the work and the checking.
#define FUZZ_ENTRY_FOR(outcome)                                               \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
        outcome(std::string(reinterpret_cast<const char*>(data), size));      \
        return 0;                                                             \
    }

#endif
