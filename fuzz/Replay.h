// Replays a fuzz target's seed corpus in a test: every seed in fuzz/corpus/<target>/ must
// come out exactly as fuzz/corpus/<target>.expected records it, one "seed<TAB>outcome"
// line each. A differing seed is reported with its line as it now comes out.
#ifndef DODODUZOD_FUZZ_REPLAY_H
#define DODODUZOD_FUZZ_REPLAY_H

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "Process.h"
#include "Wire.h"

inline void ReplayCorpus(const std::string& target, std::string (*outcome)(const std::string&)) {
    const std::string corpus = DODODUZOD_SOURCE_DIR "/fuzz/corpus/" + target;
    std::map<std::string, std::string> expected;
    for (const std::string& line : wire::Lines(testproc::ReadFile(corpus + ".expected"))) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        expected[line.substr(0, tab)] = line.substr(tab + 1);
    }
    size_t seeds = 0;
    for (const auto& seed : std::filesystem::directory_iterator(corpus)) {
        const std::string name = seed.path().filename();
        const std::string line = name + "\t" + outcome(testproc::ReadFile(seed.path()));
        EXPECT_EQ(expected.count(name) ? name + "\t" + expected[name] : "", line);
        seeds += expected.count(name);
    }
    EXPECT_EQ(seeds, expected.size()) << "an expected outcome without its seed";
    EXPECT_GT(seeds, 0u);
}

#endif
