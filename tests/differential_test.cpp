// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The differential driver over the fuzzing corpus, over generated programs
// that start where ticks wrap, and on several threads at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "differential.h"
#include "under_valgrind.h"

namespace {

#ifdef STIMER_TEST_CHECKED
constexpr bool kKeepRules = true;
#else
constexpr bool kKeepRules = false;
#endif

TEST(Differential, ReplaysTheFuzzingCorpus)
{
    int files = 0;
    uint64_t ops = 0;
    for (const auto &entry : std::filesystem::directory_iterator(STIMER_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(differential::run(bytes.data(), bytes.size(), &ops, kKeepRules), "")
            << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0) << "no corpus in " << STIMER_FUZZ_CORPUS;
}

struct Start {
    uint64_t stream;
    int64_t tick;
};

class Generated : public ::testing::TestWithParam<Start> {};

// Under valgrind, which looks for faults of memory rather than of order, a
// few programs of each: the other builds run them all.
TEST_P(Generated, AgreesWithTheModel)
{
    const uint64_t programs = RUNNING_ON_VALGRIND ? 6 : 50;
    uint64_t ops = 0;
    for (uint64_t k = 0; k < programs; ++k) {
        auto program = differential::generate(GetParam().stream * 1000 + k, GetParam().tick, 4000);
        ASSERT_EQ(differential::run(program.data(), program.size(), &ops, kKeepRules), "")
            << "program " << k;
    }
    EXPECT_EQ(ops, programs * 4000u);
}

// Near zero, just below a 32-bit wrap, far below zero and near the top of
// the 64-bit range, where offsets and absolute ticks wrap.
INSTANTIATE_TEST_SUITE_P(StartTicks, Generated,
                         ::testing::Values(Start{1, 0}, Start{2, (int64_t{1} << 32) - 100000},
                                           Start{3, -(int64_t{1} << 40)},
                                           Start{4, INT64_MAX - (int64_t{1} << 31)}));

// Lists on different threads share nothing: each thread runs its own lists
// and clock at once with the others. Meant for the ThreadSanitizer build;
// valgrind, which runs one thread at a time, takes a tenth of it.
TEST(Differential, IndependentListsOnFourThreads)
{
    std::string errors[4];
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i, &errors] {
            uint64_t ops = 0;
            auto program = differential::generate(100 + static_cast<uint64_t>(i), int64_t{i} << 33,
                                                  RUNNING_ON_VALGRIND ? 3000 : 30000);
            errors[i] = differential::run(program.data(), program.size(), &ops, kKeepRules);
        });
    for (auto &th : threads)
        th.join();
    for (const auto &e : errors)
        EXPECT_EQ(e, "");
}

} // namespace
