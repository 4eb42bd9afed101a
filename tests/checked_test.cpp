// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checked build stops each class of caller mistake at once, with one
// line that names the call, what it found, the rule of stimer.h it breaks
// and the likely cause; and it runs each kind of correct program as the
// release build does, without a word. Every case runs in a child process of
// its own against fresh lists. A call is overlapped deterministically from
// inside another: the test clock runs on_read while the library reads it.
#include <gtest/gtest.h>

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "stimer.h"
#include "test_clock.h"
#include "under_valgrind.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true; // its runtime cannot be loaded twice or fenced in
#else
constexpr bool kSanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true; // it reports a dead record first
#else
constexpr bool kAsan = false;
#endif

// The offset of the arming call in the test program, as addr2line takes it.
const std::string kArmedHere = "was armed at [^ ]*checked_test\\+0x[0-9a-f]{1,8}";

std::string rule(int n)
{
    return "\\. Rule " + std::to_string(n) + " of stimer\\.h\\. Likely cause: ";
}

// The form of a report that DIAGNOSTICS in stimer(3) gives, as a regular
// expression: a <placeholder> stands for any text, "..." for an address.
std::string form_in_the_manual()
{
    std::ifstream page(STIMER_MANUAL);
    std::string line, form, re;
    while (std::getline(page, line))
        if (line.rfind(".Ql stimer: ", 0) == 0)
            form = line.substr(4, line.rfind(" ,") - 4);
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == '<') {
            i = form.find('>', i);
            re += ".+";
        } else if (form.compare(i, 3, "...") == 0) {
            i += 2;
            re += "0x[0-9a-f]+";
        } else {
            if (std::strchr(".[]()*+?{}|^$\\", form[i]))
                re += '\\';
            re += form[i];
        }
    }
    return re;
}

using Start = int (*)(running_timers *, stimer *, int32_t);
using Fired = stimer *(*)(running_timers *);

template <class F>
F from(void *library, const char *name)
{
    return reinterpret_cast<F>(dlsym(library, name));
}

std::atomic<int> phase;

void wait_in_clock()
{
    phase = 1;
    while (phase != 2)
        std::this_thread::yield();
}

// A correct program: it must end with exit status 0 and write nothing. A
// hang fails the test instead of stopping the suite.
template <class Program>
void runs_quietly(Program program)
{
    EXPECT_EXIT(
        {
            alarm(120);
            std::exit(program() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^$");
}

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

    // Made by make while another thread is inside a call on other, a child
    // uses both lists: it kills a timer that the parent armed and arms one
    // into the list of the interrupted call.
    bool child_while_busy(pid_t (*make)())
    {
        arm_three();
        std::thread busy([this] {
            test_clock::on_read = wait_in_clock;
            stimer_start(&other, &t[3], 5);
        });
        while (phase != 1)
            std::this_thread::yield();
        pid_t child = make();
        if (child == 0) {
            stimer_kill(&list, &t[1]);
            stimer_start(&other, &t[1], 0);
            bool ok = stimer_get_next_fired_timer(&other) == &t[1];
            test_clock::now += 30;
            ok = ok && stimer_get_next_fired_timer(&list) == &t[0] &&
                 stimer_get_next_fired_timer(&list) == &t[2];
            _exit(ok ? 0 : 1);
        }
        int status = -1;
        waitpid(child, &status, 0);
        phase = 2;
        busy.join();
        return status == 0;
    }
};

TEST_F(Checked, RecordsNeverInitialised)
{
    running_timers zeroed_list{};
    stimer zeroed{};
    // The line, then abort().
    EXPECT_EXIT(stimer_start(&zeroed_list, &t[0], 5), testing::KilledBySignal(SIGABRT),
                "stimer: stimer_start\\(list=0x[0-9a-f]+, timer=0x[0-9a-f]+\\): the list is "
                "zeroed, not initialised" +
                    rule(1) + "stimer_init_running_timers was never called on it");
    EXPECT_DEATH(stimer_get_next_fired_timer(&zeroed_list),
                 "stimer_get_next_fired_timer.*the list is zeroed");
    EXPECT_DEATH(stimer_kill(&list, &zeroed),
                 "stimer_kill.*the timer is zeroed, not initialised" + rule(1));
    arm_three();
    EXPECT_DEATH(stimer_start(&other, &zeroed, 5), "stimer_start.*the timer is zeroed");
    running_timers garbage;
    std::memset(&garbage, 0x5A, sizeof garbage);
    EXPECT_DEATH(stimer_get_next_firing_time(&garbage),
                 "stimer_get_next_firing_time\\(list=.*do not lead back to it" + rule(1) +
                     "a list never initialised");
}

TEST_F(Checked, RunningRecordsCopied)
{
    arm_three();
    stimer copy = t[1];
    EXPECT_DEATH(stimer_kill(&list, &copy),
                 "stimer_kill.*timer 0x[0-9a-f]+ \\(next=0x[0-9a-f]+, prev=0x[0-9a-f]+\\) is not "
                 "where its neighbours lead: next->prev is 0x[0-9a-f]+, prev->next 0x[0-9a-f]+" +
                     rule(5) +
                     "a copy or a move of a running timer.*or a record never initialised");
    running_timers moved = list;
    EXPECT_DEATH(stimer_get_next_fired_timer(&moved),
                 "do not lead back to it" + rule(5) + ".*a copy or a move of a list");
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

TEST_F(Checked, RecordsWrittenOverWhileLinked)
{
    arm_three();
    EXPECT_DEATH(
        {
            arm_on_stack(&list);
            scribble();
            stimer_start(&list, &t[3], 100); // the walk meets the dead timer
        },
        kAsan ? "AddressSanitizer: stack"
              : "stimer_start.*is not where its neighbours lead.*" + kArmedHere + rule(5) +
                    "a record freed, gone out of scope or written over");
    EXPECT_DEATH(
        {
            std::memset(&t[0].link.next, 0x5A, sizeof t[0].link.next); // a stray write
            test_clock::now += 100;
            stimer_get_next_fired_timer(&list);
        },
        "stimer_get_next_fired_timer.*links to next=0x5a5a5a5a5a5a5a5a and prev=.*which cannot "
        "be records");
    EXPECT_DEATH(
        {
            t[1].delta = -7;
            stimer_start(&list, &t[3], 100);
        },
        "stimer_start.*timer 0x[0-9a-f]+ has a negative delta \\(-7\\); timer 0x[0-9a-f]+ " +
            kArmedHere + rule(3) + "the caller wrote its delta");
    // A list whose memory is cleared or reused (freed, out of scope, or a
    // thread's own list at its exit) while it holds a timer.
    EXPECT_DEATH(
        {
            alignas(running_timers) unsigned char memory[sizeof(running_timers)];
            auto *gone = reinterpret_cast<running_timers *>(memory);
            stimer_init_running_timers(gone);
            stimer_start(gone, &t[3], 5);
            std::memset(memory, 0, sizeof memory);
            stimer_kill(gone, &t[3]);
        },
        "stimer_kill.*the list is zeroed, not initialised" + rule(1) + ".*or the list was cleared");
}

TEST_F(Checked, RunningTimerGivenAnotherList)
{
    arm_three();
    EXPECT_DEATH(stimer_kill(&other, &t[2]),
                 "stimer_kill.*the timer runs in list 0x[0-9a-f]+, not in this one; timer "
                 "0x[0-9a-f]+ " +
                     kArmedHere + rule(2) + "the wrong list passed");
    std::string form = form_in_the_manual();
    ASSERT_NE(form, "") << "no .Ql stimer: line in " << STIMER_MANUAL;
    EXPECT_DEATH(stimer_kill(&other, &t[2]), form);
    EXPECT_DEATH(
        {
            std::memset(&t[0].link.next, 0x5A, sizeof t[0].link.next);
            stimer_kill(&other, &t[2]); // the walk round its ring meets t[0]
        },
        "stimer_kill.*timer 0x[0-9a-f]+ links to next=0x5a5a5a5a5a5a5a5a.*which cannot be "
        "records.*" +
            rule(5));
    stimer_start(&other, &t[3], 5);
    EXPECT_DEATH(stimer_start(&list, &t[3], 5), "stimer_start.*runs in list.*not in this one");
    EXPECT_DEATH(stimer_start_ex(&list, &t[3], 5, 1),
                 "stimer_start_ex.*runs in list.*not in this one");
}

TEST_F(Checked, InitialisingRunningRecords)
{
    arm_three();
    EXPECT_DEATH(stimer_init(&t[1], 0, nullptr),
                 "stimer_init.*the timer is running, armed into list 0x[0-9a-f]+; timer "
                 "0x[0-9a-f]+ " +
                     kArmedHere + rule(4) + "stimer_kill it first");
    EXPECT_DEATH(stimer_init_running_timers(&list),
                 "stimer_init_running_timers.*the list still holds running timers, 0x[0-9a-f]+ "
                 "first; timer 0x[0-9a-f]+ " +
                     kArmedHere + rule(4) + "kill or collect");
    if (kSanitized)
        return; // a sanitizer's runtime cannot be loaded twice
    // Timers armed through another copy of the library: re-arming the first
    // walks the ring, and the others become known as it goes.
    EXPECT_DEATH(
        {
            stimer extra[3];
            void *copy = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
            for (stimer &timer : extra) {
                stimer_init(&timer, 0, nullptr);
                from<Start>(copy, "stimer_start")(&other, &timer, 10);
            }
            test_clock::now = from<int64_t (*)()>(copy, "TickGetCount")(); // its own clock
            stimer_start(&other, &extra[0], 100);
            stimer_init(&extra[1], 0, nullptr);
        },
        "stimer_init.*the timer is running.*was armed at a call this library did not see" +
            rule(4));
}

TEST_F(Checked, BeyondTheHorizonAndClockGoingBack)
{
    stimer_start(&list, &t[0], INT32_MAX - 10);
    stimer_start(&list, &t[1], -10); // spans 2^31 - 1 ticks, the most allowed
    stimer_kill(&list, &t[1]);
    EXPECT_DEATH(stimer_start(&list, &t[1], -11),
                 "would span 2147483648 ticks.*" + rule(7) +
                     "a negative timeout that reaches too far back");
    stimer_start(&list, &t[0], 10);
    test_clock::now += 1000;
    // An overdue timer left in the list, then a timeout near 2^31.
    EXPECT_DEATH(stimer_start(&list, &t[1], INT32_MAX - 100),
                 "stimer_start.*the list would span [0-9]+ ticks.*" + rule(7) +
                     "a timeout too long for the oldest timer.*not collected");
    // The tick count jumps by 2^32, or the list is left undrained for 26 days.
    test_clock::now += int64_t{1} << 32;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5),
                 "would span.*fired timers left in the list too long, or a jump");
    test_clock::now = 1000 + 26LL * 24 * 3600 * 1000;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5), "would span");
    test_clock::now = 900;
    EXPECT_DEATH(stimer_start(&list, &t[1], 5),
                 "stimer_start.*the tick count read 1000 when the first timer "
                 "was armed, and 900 now; timer 0x[0-9a-f]+ " +
                     kArmedHere + rule(8) + "a platform tick count that is not monotonic");
    // The same overdue timer, with ticks past 2^31.
    test_clock::now = int64_t{1} << 40;
    stimer_start(&other, &t[2], 10);
    test_clock::now += 1000;
    EXPECT_DEATH(stimer_start(&other, &t[3], INT32_MAX - 100), "a timeout too long for the oldest");
    stimer_kill(&other, &t[2]);
    for (int64_t end : {INT64_MAX - 5, INT64_MIN + 5}) {
        test_clock::now = end;
        int32_t reach = end > 0 ? 5 : -5;
        stimer_start(&other, &t[2], reach); // fires on the last tick of the range
        stimer_kill(&other, &t[2]);
        EXPECT_DEATH(stimer_start(&other, &t[2], reach + reach / 5),
                     "leaves the 64-bit tick range" + rule(7));
    }
}

running_timers *interrupted; // the list that the code a signal interrupts is in
stimer *handler_timer;

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
        "stimer_get_next_firing_time\\(list=0x[0-9a-f]+\\): called while a call on another "
        "thread is in this list" +
            rule(6) + "a list shared between threads without a lock");
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
        "stimer_start.*called from a signal handler while stimer_start, which it interrupted, "
        "is in a call on this list" +
            rule(6));
}

TEST_F(Checked, SignalHandlerWithAListOfItsOwn)
{
    runs_quietly([this] {
        static running_timers own;
        static stimer mine;
        static int handled;
        stimer_init_running_timers(&own);
        stimer_init(&mine, 0, nullptr);
        std::signal(SIGUSR1, [](int) {
            auto outer = test_clock::on_read;
            test_clock::on_read = nullptr;
            stimer_start(&own, &mine, 0);
            handled += stimer_get_next_fired_timer(&own) == &mine;
            test_clock::on_read = outer;
        });
        test_clock::on_read = [] { std::raise(SIGUSR1); };
        arm_three();
        test_clock::on_read = nullptr;
        test_clock::now += 30;
        int fired = 0;
        while (stimer_get_next_fired_timer(&list))
            ++fired;
        return fired == 3 && handled == 3;
    });
}

TEST_F(Checked, ForkWhileAnotherThreadIsInACall)
{
    runs_quietly([this] { return child_while_busy(fork); });
}

// _Fork runs no atfork handler: nothing cached in the parent may reach the child.
TEST_F(Checked, ForkWithoutAtforkHandlers)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not follow a process made by _Fork";
#endif
    runs_quietly([this] { return child_while_busy(_Fork); });
}

// Timers and lists in memory shared by the processes that use them in turn.
struct Shared {
    running_timers a, b;
    stimer t[4];
};

Shared *map_shared()
{
    auto *sh = static_cast<Shared *>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    stimer_init_running_timers(&sh->a);
    stimer_init_running_timers(&sh->b);
    for (stimer &timer : sh->t)
        stimer_init(&timer, 0, nullptr);
    for (int i = 0; i < 3; ++i)
        stimer_start(&sh->a, &sh->t[i], 10 * (i + 1));
    return sh;
}

bool in_child(void (*program)(Shared *), Shared *sh)
{
    pid_t child = fork();
    if (child == 0) {
        program(sh);
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status == 0;
}

// The other process takes the first timer, arms another and moves the last
// to a list of its own.
TEST_F(Checked, ListHandedToAnotherProcess)
{
    runs_quietly([] {
        Shared *sh = map_shared();
        bool ok = in_child(
            [](Shared *sh) {
                test_clock::now += 10;
                if (stimer_get_next_fired_timer(&sh->a) != &sh->t[0])
                    _exit(1);
                stimer_start(&sh->a, &sh->t[3], 5);
                stimer_kill(&sh->a, &sh->t[2]);
                stimer_start(&sh->b, &sh->t[2], 20);
            },
            sh);
        test_clock::now += 30;
        for (int i : {3, 1})
            ok = ok && stimer_get_next_fired_timer(&sh->a) == &sh->t[i];
        stimer_kill(&sh->b, &sh->t[2]);
        return ok && !stimer_get_next_fired_timer(&sh->a) && sh->b.head.next == &sh->b.head;
    });
}

// Later, the other process re-arms the middle timer and arms one more
// behind it, which leaves the list's head and base_time as they were.
TEST_F(Checked, ListChangedByAnotherProcess)
{
    runs_quietly([] {
        Shared *sh = map_shared();
        bool ok = in_child(
            [](Shared *sh) {
                test_clock::now += 5;
                stimer_start(&sh->a, &sh->t[1], 20);
                stimer_start(&sh->a, &sh->t[3], 21);
            },
            sh);
        test_clock::now += 30;
        for (int i : {0, 1, 3, 2})
            ok = ok && stimer_get_next_fired_timer(&sh->a) == &sh->t[i];
        return ok && !stimer_get_next_fired_timer(&sh->a);
    });
}

// Timers armed through one load of the library, collected through the
// next. These copies read the stand-in's clock, which starts again at each
// load: the timers are due long before.
TEST_F(Checked, ListKeptAcrossAReload)
{
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's runtime cannot be loaded twice";
    runs_quietly([this] {
        // A new namespace reads the real clock. One timeout, armed in turn,
        // fires in the order of arming however the ticks fall between.
        void *before = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
        for (int i = 0; i < 3; ++i)
            from<Start>(before, "stimer_start")(&list, &t[i], -1000000);
        dlclose(before);
        void *after = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
        auto fired = from<Fired>(after, "stimer_get_next_fired_timer");
        return fired(&list) == &t[0] && fired(&list) == &t[1] && fired(&list) == &t[2] &&
               !fired(&list);
    });
}

sigjmp_buf faulted;
struct sigaction installed; // as read back once set

void on_fault(int, siginfo_t *, void *)
{
    siglongjmp(faulted, 1);
}

void install_fault_handler()
{
    struct sigaction sa = {};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGUSR2);
    sigaction(SIGSEGV, &sa, nullptr);
    sigaction(SIGSEGV, nullptr, &installed);
}

// The program's own deliberate fault reaches its own handler, which reads
// back as it was set.
bool own_fault_handler_works()
{
    bool caught = sigsetjmp(faulted, 1) != 0;
    int *volatile nowhere = nullptr; // hidden from the compiler
    if (!caught)
        *nowhere = 1;
    struct sigaction now = {};
    sigaction(SIGSEGV, nullptr, &now);
    bool same = now.sa_sigaction == on_fault && now.sa_flags == installed.sa_flags;
    for (int sig = 1; sig < SIGRTMAX; ++sig)
        same = same && sigismember(&now.sa_mask, sig) == sigismember(&installed.sa_mask, sig);
    return caught && same;
}

// Arms and collects a timer through a copy of the library.
bool use(void *copy, running_timers *list, stimer *timer)
{
    from<Start>(copy, "stimer_start")(list, timer, -1);
    return from<Fired>(copy, "stimer_get_next_fired_timer")(list) == timer;
}

TEST_F(Checked, ProgramsOwnFaultHandler)
{
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer takes the faults";
    runs_quietly([this] {
        install_fault_handler(); // before this copy loads
        void *copy = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
        return use(copy, &list, &t[0]) && own_fault_handler_works();
    });
}

TEST_F(Checked, CopiesUnloadedInLoadOrder)
{
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's runtime cannot be loaded twice";
    runs_quietly([this] {
        void *first = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
        void *second = dlmopen(LM_ID_NEWLM, STIMER_CHECKED_LIBRARY, RTLD_NOW);
        bool used = use(first, &list, &t[0]) && use(second, &list, &t[1]);
        dlclose(first);
        dlclose(second);
        install_fault_handler();
        return used && own_fault_handler_works();
    });
}

// Under a filter that refuses every call the checked build could make for
// its own ends, memory mapping among them, it keeps fewer hints and checks
// no less of what the links tell.
TEST_F(Checked, Sandboxed)
{
    if (kSanitized || RUNNING_ON_VALGRIND)
        GTEST_SKIP() << "the sanitizer or valgrind needs the calls the filter refuses";
    runs_quietly([this] {
        std::vector<sock_filter> filter = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
        for (long nr : {SYS_mmap, SYS_munmap, SYS_mremap, SYS_madvise, SYS_process_vm_readv,
                        SYS_gettid, SYS_rt_sigaction})
            filter.insert(filter.end(),
                          {BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1),
                           BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM)});
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        std::vector<stimer> many(20000);
        for (stimer &timer : many) {
            stimer_init(&timer, 0, nullptr);
            stimer_start(&other, &timer, 0); // the tables are mapped before the filter
        }
        test_clock::now += 1;
        while (stimer_get_next_fired_timer(&other)) {
        }
        sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program))
            return false;
        for (size_t i = 0; i < many.size(); ++i)
            stimer_start(&list, &many[i], static_cast<int32_t>(many.size() - i));
        stimer_kill(&list, &many[1]);
        test_clock::now += static_cast<int64_t>(many.size());
        size_t next = many.size(); // the latest armed fires first; the killed one never
        while (stimer *fired = stimer_get_next_fired_timer(&list)) {
            next -= next == 2 ? 2 : 1;
            if (fired != &many[next])
                return false;
        }
        return next == 0;
    });
}

long anon_kib()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    long kib = -1;
    while (status >> word)
        if (word == "RssAnon:")
            status >> kib;
    return kib;
}

// 100,000 lists of one timer each, then a million timers in one list: what
// the checked build keeps follows the running timers, a few dozen bytes
// each, and is given back when they go.
TEST_F(Checked, MemoryFollowsTheRunningTimers)
{
    std::vector<running_timers> lists(100000);
    std::vector<stimer> many(1000000);
    for (stimer &timer : many)
        stimer_init(&timer, 0, nullptr);
    long before = anon_kib();
    for (size_t i = 0; i < lists.size(); ++i) {
        stimer_init_running_timers(&lists[i]);
        stimer_start(&lists[i], &many[i], static_cast<int32_t>(i % 50));
    }
    const long shadow = kSanitized ? 5 : 1; // ThreadSanitizer shadows a byte with four
    EXPECT_LE(anon_kib() - before, 16 * 1024 * shadow);
    test_clock::now += 50;
    size_t fired = 0;
    for (size_t i = 0; i < lists.size(); ++i)
        fired += stimer_get_next_fired_timer(&lists[i]) == &many[i];
    for (size_t i = 0; i < many.size(); ++i)
        stimer_start(&list, &many[i], static_cast<int32_t>(many.size() - i)); // each goes first
    test_clock::now += static_cast<int64_t>(many.size());
    while (stimer_get_next_fired_timer(&list))
        ++fired;
    EXPECT_EQ(fired, lists.size() + many.size());
    // A million hints would keep 32 MiB. A sanitizer keeps resident the
    // shadow of memory mapped and unmapped on the way, about 20 MiB here,
    // so the plain, coverage and valgrind builds check this.
    if (!kSanitized) {
        EXPECT_LE(anon_kib() - before, 4 * 1024);
    }
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
        ASSERT_LT(fired, 3);
        EXPECT_EQ(done, &t[fired]);
        ++fired;
    }
    EXPECT_EQ(fired, 3);
    stimer_init_running_timers(&list);
    stimer_init(&t[0], 1, nullptr);
}

} // namespace
