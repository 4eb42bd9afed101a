// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checked build stops each class of caller mistake at once, with one
// line that names the call, the rule and the likely cause, and runs every
// correct program as the release build does. Each case runs in a child
// process (a death test) against a fresh list. A call is overlapped
// deterministically from inside another: the test clock runs on_read while
// the library reads it.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "stimer.h"
#include "test_clock.h"

namespace {

class Checked : public ::testing::Test {
protected:
    running_timers list, other;
    stimer t[4];

    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        test_clock::now = 1000;
        stimer_init_running_timers(&list);
        stimer_init_running_timers(&other);
        for (auto &timer : t)
            stimer_init(&timer, 0, nullptr);
    }

    // The records go away with the test: their timers go first.
    void TearDown() override
    {
        for (running_timers *l : {&list, &other})
            while (l->head.next != &l->head)
                stimer_kill(l, reinterpret_cast<stimer *>(l->head.next));
    }

    void arm_three()
    {
        for (int i = 0; i < 3; ++i)
            stimer_start(&list, &t[i], 10 * (i + 1));
    }
};

// ThreadSanitizer reports a read of freed memory in the instrumented
// library itself, before the checked build can; the other builds run these.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer reports the freed memory itself"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true; // it reports the freed memory itself
#else
constexpr bool kAsan = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const char kKeep[] =
    "Rule: neither is released, moved or copied while they are linked to each other";
const char kHorizon[] = "Rule: every difference between the firing times";
const char kArmedHere[] = "was armed at [^ ]*checked_test\\+0x[0-9a-f]+";

TEST_F(Checked, RecordsNeverInitialised)
{
    running_timers zeroed_list{};
    stimer zeroed{};
    EXPECT_DEATH(stimer_start(&zeroed_list, &t[0], 5),
                 "stimer: stimer_start\\(list=0x[0-9a-f]+, timer=0x[0-9a-f]+\\): the list is "
                 "zeroed.*Likely cause: "
                 "stimer_init_running_timers was never called on it\\.");
    EXPECT_DEATH(stimer_get_next_fired_timer(&zeroed_list),
                 "stimer_get_next_fired_timer.*the list is zeroed");
    EXPECT_DEATH(stimer_kill(&zeroed_list, &t[0]), "stimer_kill.*the list is zeroed");
    EXPECT_DEATH(stimer_kill(&list, &zeroed),
                 "stimer_kill.*the timer is zeroed.*Rule: every pointer passed in");
    arm_three();
    EXPECT_DEATH(stimer_start(&list, &zeroed, 5), "stimer_start.*the timer is zeroed");
    EXPECT_DEATH(stimer_start(&other, &zeroed, 5),
                 "stimer_start.*the timer is zeroed"); // an empty list
    running_timers garbage;
    std::memset(&garbage, 0x5A, sizeof garbage);
    EXPECT_DEATH(stimer_get_next_firing_time(&garbage),
                 "stimer_get_next_firing_time\\(list=.*do not lead back to it.*never initialised");
    running_timers copy = list;
    EXPECT_DEATH(stimer_get_next_fired_timer(&copy),
                 "a copy or a move of a list that holds timers");
}

TEST_F(Checked, RunningTimerGivenAnotherList)
{
    arm_three();
    EXPECT_DEATH(stimer_kill(&other, &t[2]), "stimer_kill.*the timer runs in list 0x[0-9a-f]+, not "
                                             "in this one\\. Rule: an operation on a "
                                             "running timer is given the list the timer is in");
    stimer_start(&other, &t[3], 5);
    EXPECT_DEATH(stimer_start(&list, &t[3], 5), "stimer_start.*runs in list.*not in this one");
    EXPECT_DEATH(stimer_start_ex(&list, &t[3], 5, 1),
                 "stimer_start_ex.*runs in list.*not in this one");
}

TEST_F(Checked, InitialisingRunningRecords)
{
    arm_three();
    EXPECT_DEATH(stimer_init(&t[1], 0, nullptr), "stimer_init.*the timer is running in list.*Rule: "
                                                 "a running timer is not passed to stimer_init");
    EXPECT_DEATH(stimer_init_running_timers(&list),
                 "stimer_init_running_timers.*the list still holds 3 running timer\\(s\\); timer "
                 "0x[0-9a-f]+ was armed at .*Likely cause: "
                 "kill or collect");
}

TEST_F(Checked, RunningTimersCopiedOrMoved)
{
    SKIP_UNDER_TSAN();
    arm_three();
    stimer copy = t[1];
    EXPECT_DEATH(stimer_kill(&list, &copy),
                 "stimer_kill.*say that it runs, but they do not lead back to it.*" +
                     std::string(kKeep) + ".*a copy or a move of a running timer");
    // An array of running timers moved elsewhere, the old one freed.
    EXPECT_DEATH(
        {
            auto *a = static_cast<stimer *>(std::malloc(3 * sizeof(stimer)));
            for (int i = 0; i < 3; ++i) {
                stimer_init(&a[i], i, nullptr);
                stimer_start(&other, &a[i], i);
            }
            auto *moved = static_cast<stimer *>(std::malloc(3 * sizeof(stimer)));
            std::memcpy(moved, a, 3 * sizeof(stimer));
            std::free(a);
            test_clock::now += 10;
            while (stimer_get_next_fired_timer(&other)) {
            }
        },
        "stimer_get_next_fired_timer.*(freed or dead memory|do not lead back)");
}

__attribute__((noinline)) void arm_on_stack(running_timers *list)
{
    stimer local;
    stimer_init(&local, 0, nullptr);
    stimer_start(list, &local, 15);
}

__attribute__((noinline)) void scribble()
{
    volatile unsigned char junk[512];
    for (auto &b : junk)
        b = 0x5A;
}

TEST_F(Checked, RunningTimersFreedOrOutOfScope)
{
    SKIP_UNDER_TSAN();
    arm_three();
    EXPECT_DEATH(
        {
            auto *heap = static_cast<stimer *>(std::malloc(sizeof(stimer)));
            stimer_init(heap, 0, nullptr);
            stimer_start(&list, heap, 1);
            std::free(heap);
            test_clock::now += 100;
            while (stimer_get_next_fired_timer(&list)) {
            }
        },
        "stimer_get_next_fired_timer.*" + std::string(kArmedHere) + ".*" + kKeep);
    EXPECT_DEATH(
        {
            arm_on_stack(&list);
            scribble();
            stimer_start(&list, &t[3], 100); // the walk passes the dead timer
        },
        "stimer_start.*" + std::string(kArmedHere) + ".*" + kKeep + ".*went out of scope");
    EXPECT_DEATH(
        {
            std::memset(&t[1].link, 0x5A, sizeof t[1].link); // a stray write
            stimer_start(&list, &t[3], 100);
        },
        "stimer_start.*met timer 0x[0-9a-f]+, whose neighbours do not lead back to it \\(next=.*a "
        "stray write");
    EXPECT_DEATH(
        {
            std::memset(&t[0].link.next, 0x5A, sizeof t[0].link.next); // the first timer's
            test_clock::now += 100;
            stimer_get_next_fired_timer(&list);
        },
        "stimer_get_next_fired_timer.*met timer .*next=0x5a5a5a5a5a5a5a5a");
}

TEST_F(Checked, BeyondTheHorizonAndClockGoingBack)
{
    stimer_start(&list, &t[0], INT32_MAX - 10);
    EXPECT_DEATH(stimer_start(&list, &t[1], -100), "a negative timeout that reaches too far back");
    stimer_start(&list, &t[0], 10);
    test_clock::now += 1000;
    // An overdue timer left in the list, then a timeout near 2^31.
    EXPECT_DEATH(stimer_start(&list, &t[1], INT32_MAX - 100),
                 "stimer_start.*the list would span [0-9]+ ticks.*" + std::string(kHorizon) +
                     ".*an overdue timer not collected");
    // The tick count jumps by 2^32, or the list is left undrained for 26 days.
    test_clock::now += int64_t{1} << 32;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5),
                 "would span.*Likely cause: fired timers left in the list too long, "
                 "or a jump of the tick count");
    test_clock::now = 1000 + 26LL * 24 * 3600 * 1000;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5), "would span");
    test_clock::now = 900;
    EXPECT_DEATH(stimer_get_next_fired_timer(&list),
                 "stimer_get_next_fired_timer.*the tick count went back from 1000 to 900\\. Rule: "
                 "the count never goes "
                 "backwards");
    test_clock::now = INT64_MAX - 5;
    EXPECT_DEATH(stimer_start(&other, &t[2], 10), "leaves the 64-bit tick range");
}

// A caller that writes a running timer's delta: to postpone it, or through
// a union member over the record.
TEST_F(Checked, DeltaWrittenByTheCaller)
{
    arm_three();
    const std::string cause = "Rule: the fields marked \"library:\".*re-arm it with stimer_start";
    EXPECT_DEATH(
        {
            t[0].delta += 100;
            stimer_get_next_firing_time(&list);
        },
        "stimer_get_next_firing_time.*timer 0x[0-9a-f]+ was armed to fire at tick 1010, but its "
        "delta now makes it 1110; timer 0x[0-9a-f]+ " +
            std::string(kArmedHere) + ".*" + cause);
    EXPECT_DEATH(
        {
            t[1].delta = 3; // still in order: caught as it is popped
            test_clock::now += 30;
            while (stimer_get_next_fired_timer(&list)) {
            }
        },
        "stimer_get_next_fired_timer.*armed to fire at tick 1020, but its delta now makes it 1013");
    EXPECT_DEATH(
        {
            t[1].delta = -7;
            stimer_start(&list, &t[3], 100);
        },
        "stimer_start.*timer 0x[0-9a-f]+ has a negative delta \\(-7\\).*" + cause);
}

TEST_F(Checked, RecordsReleasedWhileLinked)
{
    SKIP_UNDER_TSAN();
    // Running timers in memory given back to the system: the walk faults.
    if (!kAsan) {
        EXPECT_DEATH(
            {
                auto *a = static_cast<stimer *>(std::malloc(260 * 1024));
                for (size_t i = 0; i < 260 * 1024 / sizeof(stimer); ++i) {
                    stimer_init(&a[i], 0, nullptr);
                    stimer_start(&list, &a[i], 5);
                }
                std::free(a);
                stimer_start(&list, &t[3], 100);
            },
            "stimer_start.*reading 0x[0-9a-f]+ faulted: that memory is not mapped; timer "
            "0x[0-9a-f]+ " +
                std::string(kArmedHere) + ".*returned to the system");
    }
    if (kAsan) {
        EXPECT_DEATH(
            {
                auto *freed = new running_timers;
                stimer_init_running_timers(freed);
                delete freed;
                stimer_get_next_fired_timer(freed);
            },
            "stimer_get_next_fired_timer.*the list at 0x[0-9a-f]+ is freed or dead memory");
    }
    // A list whose memory is cleared or reused (freed, out of scope, or a
    // thread's own list at its exit) while it holds a timer.
    EXPECT_DEATH(
        {
            alignas(running_timers) unsigned char memory[sizeof(running_timers)];
            auto *gone = reinterpret_cast<running_timers *>(memory);
            stimer_init_running_timers(gone);
            stimer_start(gone, &t[0], 5);
            std::memset(memory, 0, sizeof memory);
            stimer_init_running_timers(gone);
        },
        "stimer_init_running_timers.*this list held 1 running timer\\(s\\), and its memory has "
        "changed "
        "since; timer 0x[0-9a-f]+ " +
            std::string(kArmedHere) + ".*" + kKeep +
            ".*the list was released \\(freed, out of scope, or its thread exited\\)");
}

running_timers *interrupted; // the list that the code a signal interrupts is in
stimer *handler_timer;

std::atomic<int> phase;

void wait_in_clock()
{
    phase = 1;
    while (phase != 2)
        std::this_thread::yield();
}

TEST_F(Checked, CallsOverlappingOnOneList)
{
    // A second thread, only peeking, while the owner is inside stimer_start.
    EXPECT_DEATH(
        {
            std::thread owner([this] {
                test_clock::on_read = wait_in_clock;
                stimer_start(&list, &t[0], 5);
            });
            owner.detach();
            while (phase != 1)
                std::this_thread::yield();
            stimer_get_next_firing_time(&list);
        },
        "stimer_get_next_firing_time\\(list=0x[0-9a-f]+\\): called on thread [0-9]+ while "
        "stimer_start on thread [0-9]+ is still in a call on this list. Rule: all calls on one "
        "list and on its timers come from one thread at a time. Likely cause: a list shared "
        "between threads");
    // A signal handler re-arming a timer of the list that the code it
    // interrupted is walking.
    EXPECT_DEATH(
        {
            arm_three();
            interrupted = &list;
            handler_timer = &t[1];
            std::signal(SIGUSR1, [](int) { stimer_start(interrupted, handler_timer, 50); });
            test_clock::on_read = [] { std::raise(SIGUSR1); };
            stimer_start(&list, &t[3], 40);
        },
        "stimer_start.*called from a signal handler while stimer_start, which it interrupted on "
        "this thread \\([0-9]+\\), is still in a call on this list");
}

// Correct programs that share nothing between calls on one list at once run
// as on the release build: a signal handler with a list of its own, a child
// forked while another thread is inside a call, a list handed between
// processes in shared memory, and a list kept across a reload.
TEST_F(Checked, CorrectProgramsRunSilently)
{
    EXPECT_EXIT(
        {
            static running_timers own;
            static stimer mine;
            static int handled;
            stimer_init_running_timers(&own);
            stimer_init(&mine, 0, nullptr);
            std::signal(SIGUSR1, [](int) {
                test_clock::on_read = nullptr;
                stimer_start(&own, &mine, 0);
                handled += stimer_get_next_fired_timer(&own) == &mine;
                test_clock::on_read = [] { std::raise(SIGUSR1); };
            });
            test_clock::on_read = [] { std::raise(SIGUSR1); };
            arm_three();
            test_clock::on_read = nullptr;
            test_clock::now += 30;
            int fired = 0;
            while (stimer_get_next_fired_timer(&list))
                ++fired;

            std::thread busy([this] {
                test_clock::on_read = wait_in_clock;
                stimer_start(&other, &t[3], 5);
            });
            while (phase != 1)
                std::this_thread::yield();
            pid_t child = fork();
            if (child == 0) {
                alarm(60); // a hang fails the test instead of stopping the suite
                stimer_start(&list, &t[0], 0);
                _exit(stimer_get_next_fired_timer(&list) == &t[0] ? 0 : 1);
            }
            int status = 0;
            waitpid(child, &status, 0);
            phase = 2;
            busy.join();

            // A list and its timers in memory shared with a child that
            // takes the first and arms another.
            auto *sh =
                static_cast<stimer *>(mmap(nullptr, 4 * sizeof(stimer), PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
            auto *shared = reinterpret_cast<running_timers *>(&sh[3]);
            stimer_init_running_timers(shared);
            for (int i = 0; i < 3; ++i)
                stimer_init(&sh[i], 0, nullptr);
            stimer_start(shared, &sh[0], 10);
            stimer_start(shared, &sh[1], 20);
            int handed = 0;
            pid_t taker = fork();
            if (taker == 0) {
                test_clock::now += 10;
                stimer *got = stimer_get_next_fired_timer(shared);
                stimer_start(shared, &sh[2], 5);
                _exit(got == &sh[0] ? 0 : 1);
            }
            waitpid(taker, &handed, 0);
            test_clock::now += 20;
            bool shared_ok = handed == 0 && stimer_get_next_fired_timer(shared) == &sh[2] &&
                             stimer_get_next_fired_timer(shared) == &sh[1] &&
                             !stimer_get_next_fired_timer(shared);

            // Timers armed through one load of the library, drained through
            // the next. These copies read the stand-in's clock, which starts
            // again at each load: the timers are due long before. (A
            // sanitizer's runtime cannot be loaded twice.)
            using Start = int (*)(running_timers *, stimer *, int32_t);
            using Fired = stimer *(*)(running_timers *);
            bool reload_ok = kSanitized;
            if (!kSanitized) {
                void *before = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
                for (int i = 0; i < 3; ++i)
                    reinterpret_cast<Start>(dlsym(before, "stimer_start"))(&list, &t[i],
                                                                           -1000000 - i);
                dlclose(before);
                void *after = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
                auto fired_after =
                    reinterpret_cast<Fired>(dlsym(after, "stimer_get_next_fired_timer"));
                reload_ok = fired_after(&list) == &t[2] && fired_after(&list) == &t[1] &&
                            fired_after(&list) == &t[0] && !fired_after(&list);
            }
            std::exit(fired == 3 && handled == 3 && status == 0 && shared_ok && reload_ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^$");
}

// After a million timers have been armed and popped, the registry holds
// about what it held before.
TEST_F(Checked, RegistryGivesBackWhatItTook)
{
    auto anon_kib = [] {
        std::ifstream status("/proc/self/status");
        std::string word;
        long kib = -1;
        while (status >> word)
            if (word == "RssAnon:")
                status >> kib;
        return kib;
    };
    std::vector<stimer> many(1000000);
    for (stimer &timer : many)
        stimer_init(&timer, 0, nullptr);
    long before = anon_kib();
    for (size_t i = 0; i < many.size(); ++i)
        stimer_start(&list, &many[i], static_cast<int32_t>(many.size() - i)); // each goes first
    test_clock::now += static_cast<int64_t>(many.size());
    size_t fired = 0;
    while (stimer_get_next_fired_timer(&list))
        ++fired;
    EXPECT_EQ(fired, many.size());
    EXPECT_LE(anon_kib() - before, 1024);
}

// A program that keeps the rules sees the same results as on the release
// build; the whole unit suite runs on this build too (stimer_tests_checked).
TEST_F(Checked, KeepingTheRulesIsQuiet)
{
    arm_three();
    stimer copy = t[1];
    (void)copy; // a copy that is never used harms nothing
    stimer_kill(&list, &t[3]);
    test_clock::now += 30;
    int fired = 0;
    while (stimer *done = stimer_get_next_fired_timer(&list)) {
        EXPECT_EQ(done, &t[fired]);
        ++fired;
    }
    EXPECT_EQ(fired, 3);
    stimer_init_running_timers(&list);
    stimer_init(&t[0], 1, nullptr);
}

} // namespace
