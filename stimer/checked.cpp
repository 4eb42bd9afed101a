// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checks of the checked build (see checked.h).
//
// Each list that holds timers, or that a call is in, has a node in a
// registry found by the list's address without a lock. A call takes the
// node with an atomic exchange, so a second call on the list at the same
// moment is reported, and calls on other lists never wait. The node keeps
// the list's running timers, each with the tick it was armed for and the
// address its arming call returned to; only the thread whose call holds the
// node touches them. A list that empties gives its node back.
//
// The walk checks each link against its neighbours. A record that nothing
// vouches for is read with process_vm_readv, which fails where a read would
// fault; memory that goes away under a running timer faults, and the fault
// handler reports it. A report is one line, formatted on the stack and
// written with write(2), then abort(). The registry's memory comes from
// mmap, so that a signal handler may call in.
#include "checked.h"

#include <atomic>
#include <dlfcn.h>
#include <errno.h>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

// AddressSanitizer's interface, when the program runs under it: it names a
// freed or dead record with the stack that freed it. Weak, so that the
// library needs nothing when it is absent. The names are ASan's own.
extern "C" {
void *__asan_region_is_poisoned(void *beg, size_t size) __attribute__((weak));
void __asan_describe_address(void *addr) __attribute__((weak));
}

namespace checked {
namespace {

// The rules, in the words of stimer.h and tovask.h.
const char kRuleInit[] = "every pointer passed in is valid and points to a record that has been "
                         "through stimer_init_running_timers or stimer_init (a zeroed record is "
                         "neither an empty list nor an idle timer)";
const char kRuleFields[] = "the fields marked \"library:\" below are written by the library alone";
const char kRuleList[] = "an operation on a running timer is given the list the timer is in";
const char kRuleReinit[] = "a running timer is not passed to stimer_init, a list holding running "
                           "timers is not passed to stimer_init_running_timers";
const char kRuleKeep[] = "neither is released, moved or copied while they are linked to each other";
const char kRuleThreads[] =
    "all calls on one list and on its timers come from one thread at a time";
const char kRuleHorizon[] = "every difference between the firing times of the timers of one list, "
                            "its base_time and the tick at which any of its timers is armed must "
                            "lie within the signed 32-bit range";
const char kRuleClock[] = "the count never goes backwards (tovask.h)";

const char kCauseGone[] = "its memory was freed, went out of scope or was reused while it ran, "
                          "or a stray write";
const char kCauseDelta[] = "the caller wrote its delta (a union member over a running timer, or a "
                           "delay added by hand): re-arm it with stimer_start instead";
const char kCauseReleased[] = "the list was released (freed, out of scope, or its thread exited) "
                              "or written over while it held timers";

// Initial-exec: a load from the thread pointer, where the default model
// calls __tls_get_addr (a fifth of the checks' instructions, callgrind).
#define CHECKED_TLS thread_local __attribute__((tls_model("initial-exec")))
CHECKED_TLS Call *innermost; // the call this thread is in: a signal handler's, while one runs
CHECKED_TLS long thread_id;  // gettid(), cached; cleared in a forked child

long tid()
{
    return thread_id ? thread_id : (thread_id = syscall(SYS_gettid));
}

// Report arguments for %p and %lld.
const void *vp(const void *p)
{
    return p;
}

long long ll(__int128 v) // every value reported fits
{
    return static_cast<long long>(v);
}

struct Entry {
    const stimer *key;
    int64_t fire;     // the tick it was armed for
    const void *site; // where the call that armed it returned to
};

// One line naming the call, what was found, the timer it is about and where
// that timer was armed, the rule broken (none when the checks themselves
// fail) and the likely cause; then abort(). Nothing allocates, and text
// past the end of the line is cut.
[[noreturn]] __attribute__((format(printf, 4, 5))) void
report(const char *rule, const char *cause, const Entry *about, const char *found, ...)
{
    const Call *c = innermost;
    innermost = nullptr; // a fault from here on is not the records'
    char text[1536];
    size_t len = 0;
    auto add = [&](const char *format, auto... args) {
        int n = snprintf(text + len, sizeof text - len, format, args...);
        len = n < 0 ? len : len + size_t(n) < sizeof text ? len + size_t(n) : sizeof text - 1;
    };
    add("stimer: %s(list=%p", c->name, vp(c->list));
    if (c->timer)
        add(", timer=%p", vp(c->timer));
    va_list args;
    va_start(args, found);
    char what[512];
    vsnprintf(what, sizeof what, found, args);
    va_end(args);
    add("): %s", what);
    if (about) {
        Dl_info at = {};
        auto site = reinterpret_cast<uintptr_t>(about->site);
        add("; timer %p was armed at ", vp(about->key));
        if (!site)
            add("%s", "a call this library did not see");
        else if (dladdr(about->site, &at) && at.dli_sname)
            add("%s+%#zx in %s", at.dli_sname, site - uintptr_t(at.dli_saddr), at.dli_fname);
        else if (at.dli_fname)
            add("%s+%#zx", at.dli_fname, site - uintptr_t(at.dli_fbase));
        else
            add("%p", about->site);
    }
    if (rule)
        add(". Rule: %s", rule);
    add(". Likely cause: %s.\n", cause);
    text[len - 1] = '\n';       // also when the line was cut
    (void)!write(2, text, len); // one write, so that lines from two threads do not mix
    abort();
}

void *map(size_t bytes)
{
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        report(nullptr, "the process ran out of memory", nullptr,
               "the checked build cannot grow its registry");
    return p;
}

// A list's running timers by address: open addressing with linear probing
// in mapped memory, grown and shrunk with the count.
class Table {
public:
    static constexpr size_t kMin = 128; // a power of two, in one page

    size_t size() const { return used_; }

    Entry *find(const stimer *key) const
    {
        Entry &e = slots_[probe(key)];
        return e.key ? &e : nullptr;
    }

    Entry *insert(const stimer *key)
    {
        if (2 * (used_ + 1) > mask_ + 1)
            resize(2 * (mask_ + 1));
        Entry &e = slots_[probe(key)];
        used_ += !e.key;
        e.key = key;
        return &e;
    }

    void erase(const stimer *key)
    {
        size_t i = probe(key);
        if (!slots_[i].key)
            return;
        // Backward shift: move up every later entry that may not stand
        // behind the hole, so that no search stops short of it.
        for (size_t j = (i + 1) & mask_; slots_[j].key; j = (j + 1) & mask_) {
            size_t home = index(slots_[j].key);
            if (i < j ? (home <= i || home > j) : (home <= i && home > j)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Entry{};
        --used_;
        if (mask_ + 1 > kMin && 8 * used_ < mask_ + 1)
            resize((mask_ + 1) / 4);
    }

    void clear()
    {
        munmap(slots_, (mask_ + 1) * sizeof(Entry));
        *this = Table();
    }

    // The entry armed for the earliest tick, for a report about the list.
    const Entry *earliest() const
    {
        const Entry *best = nullptr;
        for (size_t i = 0; i <= mask_; ++i)
            if (slots_[i].key && (!best || slots_[i].fire < best->fire))
                best = &slots_[i];
        return best;
    }

private:
    size_t index(const void *key) const
    {
        auto k = reinterpret_cast<uintptr_t>(key);
        k ^= k >> 31;
        k *= 0x9E3779B97F4A7C15u;
        return (k ^ (k >> 29)) & mask_;
    }

    // The slot that holds key, or the empty one where it would go.
    size_t probe(const void *key) const
    {
        size_t i = index(key);
        while (slots_[i].key && slots_[i].key != key)
            i = (i + 1) & mask_;
        return i;
    }

    void resize(size_t size)
    {
        Entry *old = slots_;
        size_t old_size = mask_ + 1;
        slots_ = static_cast<Entry *>(map(size * sizeof(Entry)));
        mask_ = size - 1;
        for (size_t i = 0; i < old_size; ++i)
            if (old[i].key)
                slots_[probe(old[i].key)] = old[i];
        munmap(old, old_size * sizeof(Entry));
    }

    Entry *slots_ = static_cast<Entry *>(map(kMin * sizeof(Entry)));
    size_t mask_ = kMin - 1;
    size_t used_ = 0;
};

} // namespace

// A list's place in the registry. A node is mapped once and handed from
// list to list, never unmapped: a search may be reading it.
struct Node {
    std::atomic<uintptr_t> word{0}; // the list's address, +1 while a call is in it; 0 when free
    Node *next = nullptr;           // in its bucket, set before the node is shared
    std::atomic<long> thread{0};    // the call in it, for a report by another thread
    std::atomic<const char *> call{nullptr};
    uintptr_t seen[3] = {};       // head.next, head.prev and base_time after the last call
    int64_t last_now = INT64_MIN; // the tick last read for the list
    int64_t last_fire = 0;        // firing time of its last timer
    Table timers;
};

namespace {

std::atomic<Node *> buckets[1024];

std::atomic<Node *> &bucket(uintptr_t key)
{
    return buckets[(key * 0x9E3779B97F4A7C15u) >> 54];
}

bool registered(const void *list)
{
    auto key = reinterpret_cast<uintptr_t>(list);
    for (Node *n = bucket(key).load(); n; n = n->next)
        if ((n->word.load() & ~uintptr_t{1}) == key)
            return true;
    return false;
}

[[noreturn]] void overlap(const Call &c, Node *n)
{
    for (const Call *o = c.outer; o; o = o->outer)
        if (o->node == n)
            report(kRuleThreads, "a signal handler that calls on a list of the code it interrupted",
                   nullptr,
                   "called from a signal handler while %s, which it interrupted on this thread "
                   "(%ld), is still in a call on this list",
                   o->name, tid());
    long other = 0;
    for (int i = 0; i < 1 << 20 && !(other = n->thread.load()); ++i)
        __builtin_ia32_pause(); // the other call has only just come in
    const char *name = n->call.load();
    report(kRuleThreads, "a list shared between threads without a lock around each call", nullptr,
           "called on thread %ld while %s on thread %ld is still in a call on this list", tid(),
           name ? name : "another call", other);
}

// Takes the list's node for the call: its own, a free one, or a new one.
void enter(Call &c)
{
    const auto key = reinterpret_cast<uintptr_t>(c.list);
    std::atomic<Node *> &b = bucket(key);
    Node *mine = nullptr;
    while (!mine) {
        Node *spare = nullptr, *n = b.load();
        for (; n; n = n->next) {
            uintptr_t w = n->word.load();
            if (!w && !spare)
                spare = n;
            if ((w & ~uintptr_t{1}) != key)
                continue;
            c.node = n; // first, for a signal handler on this thread to see
            if (w & 1)
                overlap(c, n);
            if (n->word.compare_exchange_strong(w, key | 1))
                mine = n;
            break;
        }
        if (n)
            continue; // taken, or changed under the search: again
        uintptr_t zero = 0;
        if ((c.node = spare) && spare->word.compare_exchange_strong(zero, key | 1)) {
            mine = spare;
        } else if (!spare) {
            mine = c.node = new (map(sizeof(Node))) Node;
            mine->word = key | 1;
            mine->next = b.load();
            while (!b.compare_exchange_weak(mine->next, mine)) {
            }
        }
        // Two calls that both found no node have each taken one.
        for (n = b.load(); mine && n; n = n->next)
            if (n != mine && (n->word.load() & ~uintptr_t{1}) == key)
                overlap(c, n);
    }
    mine->thread.store(tid(), std::memory_order_relaxed);
    mine->call.store(c.name, std::memory_order_relaxed);
}

void check_poison(const void *p, size_t size, const char *what)
{
    if (__asan_region_is_poisoned && __asan_region_is_poisoned(const_cast<void *>(p), size)) {
        if (__asan_describe_address)
            __asan_describe_address(const_cast<void *>(p));
        const Node *n = innermost->node;
        report(kRuleKeep, "its memory was freed or went out of scope",
               n ? n->timers.find(static_cast<const stimer *>(p)) : nullptr,
               "the %s at %p is freed or dead memory", what, p);
    }
}

// Reads a record that nothing vouches for; false where it is not mapped.
// Where a sandbox refuses the call, a plain read, and a fault is reported.
template <class T>
bool peek(const void *p, T *out)
{
    iovec to{out, sizeof *out}, from{const_cast<void *>(p), sizeof *out};
    ssize_t got = process_vm_readv(static_cast<pid_t>(tid()), &to, 1, &from, 1, 0);
    bool refused = got < 0 && errno != EFAULT;
    if (refused)
        memcpy(out, p, sizeof *out);
    return refused || got == static_cast<ssize_t>(sizeof *out);
}

// Whether a link's neighbours lead back to it, read without faulting.
bool leads_back(const stimer_link *l)
{
    stimer_link self, next, prev;
    return peek(l, &self) && peek(self.next, &next) && peek(self.prev, &prev) && next.prev == l &&
           prev.next == l;
}

// The list whose ring holds link l: this one or another that the registry
// knows, found by following the ring without faulting; none otherwise.
const running_timers *ring_of(const stimer_link *l, const running_timers *list)
{
    const stimer_link *at = l;
    for (long steps = 0; steps < 1L << 26 && peek(&at->next, &at) && at != l; ++steps) {
        auto *head = reinterpret_cast<const running_timers *>(uintptr_t(at) -
                                                              offsetof(running_timers, head));
        if (head == list || registered(head))
            return head;
    }
    return nullptr;
}

// Takes in a list whose ring is sound, such as one handed over in shared
// memory or kept from before the library was loaded: each link leads back,
// no timer in it is idle, the deltas after the first are not negative, and
// the walk ends at the head. The firing times are worked out as the library
// does; where the timers were armed is not known.
bool adopt(Node &n, const running_timers *list)
{
    running_timers l;
    const stimer_link *head = &list->head, *prev = head;
    uint32_t offset = 0;
    n.timers.clear();
    n.last_now = INT64_MIN;
    for (const stimer_link *at = peek(list, &l) ? l.head.next : nullptr; at != head;) {
        stimer t;
        if (!at || !peek(at, &t) || t.link.prev != prev || t.link.next == at ||
            (prev != head && t.delta < 0) || n.timers.size() >= 1u << 28) {
            n.timers.clear();
            return false;
        }
        offset += static_cast<uint32_t>(t.delta);
        Entry *e = n.timers.insert(reinterpret_cast<const stimer *>(at));
        e->fire = n.last_fire =
            static_cast<int64_t>(uint64_t(l.base_time) + uint64_t(int64_t(int32_t(offset))));
        e->site = nullptr;
        prev = at;
        at = t.link.next;
    }
    return prev == l.head.prev;
}

// The list as the last call left it: nobody else has written it since.
bool as_left(const Node &n, const running_timers *list)
{
    return n.seen[0] == uintptr_t(list->head.next) && n.seen[1] == uintptr_t(list->head.prev) &&
           n.seen[2] == uint64_t(list->base_time);
}

// A link that cannot point to a record: unaligned, in the null page or not
// a user address. Caught before it is followed.
bool wild(const stimer_link *l)
{
    auto p = reinterpret_cast<uintptr_t>(l);
    return (p & 7) || p < 4096 || p >> 47;
}

[[noreturn]] void broken(const stimer *t, const Entry *e)
{
    const stimer_link *l = &t->link;
    if (l->next == l)
        report(kRuleReinit, kCauseGone, e,
               "timer %p runs in this list, but its links say that it is idle: it was "
               "initialised again",
               vp(t));
    if (!wild(l->next) && !wild(l->prev) && l->next->prev == l && l->prev->next == l)
        report(kRuleFields, kCauseDelta, e, "timer %p has a negative delta (%d)", vp(t), t->delta);
    report(kRuleKeep, kCauseGone, e,
           "met timer %p, whose neighbours do not lead back to it (next=%p, prev=%p)", vp(t),
           vp(l->next), vp(l->prev));
}

// A fault in this library during a call: memory that went away under a
// record. Any other fault goes where it would have gone without it.
struct sigaction previous[2]; // SIGSEGV's and SIGBUS's

void on_fault(int sig, siginfo_t *info, void *context)
{
    const Call *c = innermost;
    Dl_info at, here;
    auto *pc =
        reinterpret_cast<void *>(static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP]);
    if (c && dladdr(pc, &at) && dladdr(reinterpret_cast<void *>(&on_fault), &here) &&
        at.dli_fbase == here.dli_fbase) {
        // The running timer whose record holds the address, if any.
        auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
        const Entry *e = nullptr;
        for (uintptr_t off = 0; c->node && !e && off < sizeof(stimer) && off <= addr; off += 8)
            e = c->node->timers.find(reinterpret_cast<const stimer *>(addr - off));
        report(
            kRuleKeep,
            "memory freed and returned to the system while a timer in it ran, or a stray pointer",
            e, "reading %p faulted: that memory is not mapped", info->si_addr);
    }
    const struct sigaction &p = previous[sig == SIGBUS];
    if (p.sa_flags & SA_SIGINFO)
        p.sa_sigaction(sig, info, context);
    else if (p.sa_handler != SIG_DFL && p.sa_handler != SIG_IGN)
        p.sa_handler(sig);
    else
        signal(sig, SIG_DFL); // the access faults again, and ends the program
}

__attribute__((constructor)) void install()
{
    struct sigaction sa = {};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigaction(SIGSEGV, &sa, &previous[0]);
    sigaction(SIGBUS, &sa, &previous[1]);
    pthread_atfork(nullptr, nullptr, [] { thread_id = 0; });
}

// Unloaded: put back what was there, unless the program has since.
__attribute__((destructor)) void uninstall()
{
    for (int sig : {SIGSEGV, SIGBUS}) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_sigaction == on_fault)
            sigaction(sig, &previous[sig == SIGBUS], nullptr);
    }
}

Node &node()
{
    return *innermost->node;
}

} // namespace

Call::Call(const char *name, const running_timers *list, const stimer *timer, const void *site)
    : name(name)
    , list(list)
    , timer(timer)
    , site(site)
    , outer(innermost)
{
    innermost = this;
    if (list) {
        check_poison(list, sizeof *list, "list");
        enter(*this);
    }
}

Call::~Call()
{
    if (node) {
        node->thread.store(0, std::memory_order_relaxed);
        uintptr_t left = node->timers.size() ? uintptr_t(list) : 0;
        if (left) {
            node->seen[0] = uintptr_t(list->head.next);
            node->seen[1] = uintptr_t(list->head.prev);
            node->seen[2] = uint64_t(list->base_time);
        }
        node->word.store(left, std::memory_order_release);
    }
    innermost = outer;
}

void list(const running_timers *list)
{
    Node &n = node();
    const stimer_link *head = &list->head;
    if (n.timers.size()) {
        if (as_left(n, list))
            return;
        // Changed out of sight: taken in if sound.
        size_t held = n.timers.size();
        const Entry earliest = *n.timers.earliest();
        if (!adopt(n, list))
            report(kRuleKeep, kCauseReleased, &earliest,
                   "the list's links (head.next=%p, head.prev=%p) no longer lead through the %zu "
                   "timer(s) it held",
                   vp(head->next), vp(head->prev), held);
        return;
    }
    if (head->next == head && head->prev == head)
        return;
    if (!head->next)
        report(kRuleInit, "stimer_init_running_timers was never called on it", nullptr,
               "the list is zeroed, not initialised");
    if (!adopt(n, list))
        report(kRuleInit,
               "the list was never initialised, or it is a copy or a move of a list that holds "
               "timers",
               nullptr, "head.next is %p and head.prev %p, but they do not lead back to it",
               vp(head->next), vp(head->prev));
}

void timer(const running_timers *list, const stimer *t)
{
    Node &n = node();
    const Entry *e = n.timers.find(t);
    check_poison(t, sizeof *t, "timer");
    const stimer_link *l = &t->link;
    if (l->next == l && l->prev == l) {
        // Idle, yet in the table: killed out of sight (the ring is sound
        // without it), or initialised again while it ran.
        const Entry was = e ? *e : Entry{};
        if (e && (!adopt(n, list) || n.timers.find(t)))
            broken(t, &was);
        return;
    }
    if (!e) {
        if (!l->next)
            report(kRuleInit, "stimer_init was never called on it", nullptr,
                   "the timer is zeroed, not initialised");
        if (!leads_back(l))
            report(kRuleKeep,
                   "a copy or a move of a running timer (assignment, memcpy, realloc), or a timer "
                   "never initialised",
                   nullptr,
                   "its links (next=%p, prev=%p) say that it runs, but they do not lead back to it",
                   vp(l->next), vp(l->prev));
        const running_timers *in = ring_of(l, list);
        if (in != list || !adopt(n, list) || !n.timers.find(t))
            report(kRuleList,
                   "the wrong list passed, or a timer armed into another list without "
                   "stimer_kill first",
                   nullptr, "the timer runs in %s %p, not in this one",
                   in ? "list" : "a list this library does not know, at", vp(in));
    }
    if (wild(l->next) || wild(l->prev) || l->next->prev != l || l->prev->next != l)
        broken(t, n.timers.find(t));
}

void visit(const running_timers *list, const stimer *t)
{
    const stimer_link *l = &t->link;
    check_poison(t, sizeof *t, "timer");
    if (!wild(l->next))
        check_poison(l->next, sizeof *l, "timer");
    if (wild(l->next) || wild(l->prev) || l->next == l || l->next->prev != l ||
        l->prev->next != l || (t->delta < 0 && l != list->head.next))
        broken(t, node().timers.find(t));
}

void fires(const running_timers *, const stimer *t, int64_t fire)
{
    const Entry *e = node().timers.find(t);
    if (e && e->fire != fire)
        report(kRuleFields, kCauseDelta, e,
               "timer %p was armed to fire at tick %lld, but its delta now makes it %lld", vp(t),
               ll(e->fire), ll(fire));
}

void tick(const running_timers *, int64_t now)
{
    Node &n = node();
    if (n.timers.size() && now < n.last_now)
        report(kRuleClock,
               "a platform tick count that is not monotonic, or one reset while timers ran",
               nullptr, "the tick count went back from %lld to %lld", ll(n.last_now), ll(now));
    n.last_now = now;
}

void horizon(const running_timers *list, int64_t now, int32_t timeout)
{
    __int128 fire = __int128{now} + timeout;
    if (fire > INT64_MAX || fire < INT64_MIN)
        report(kRuleHorizon, "a tick count near the end of its range", nullptr,
               "now %lld plus timeout %d leaves the 64-bit tick range", ll(now), timeout);
    const Node &n = node();
    if (!n.timers.size())
        return;
    const stimer *first = reinterpret_cast<const stimer *>(list->head.next);
    __int128 base = list->base_time, earliest = base + first->delta;
    const __int128 ticks[] = {fire, base, earliest, n.last_fire};
    __int128 lo = now, hi = now;
    for (__int128 v : ticks) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    if (hi - lo > INT32_MAX)
        report(kRuleHorizon,
               timeout < 0 && fire == lo ? "a negative timeout that reaches too far back"
               : now - earliest > INT32_MAX
                   ? "fired timers left in the list too long, or a jump of the tick count"
                   : "a timeout too long for the oldest timer still in the list (an overdue timer "
                     "not collected?)",
               nullptr,
               "the list would span %lld ticks (earliest firing time %lld, latest %lld, base_time "
               "%lld, now %lld, new firing time %lld)",
               ll(hi - lo), ll(earliest), ll(n.last_fire), ll(base), ll(now), ll(fire));
}

void init_list(const running_timers *list)
{
    const Node &n = node();
    if (n.timers.size() && as_left(n, list))
        report(kRuleReinit, "kill or collect its timers before initialising it again",
               n.timers.earliest(), "the list still holds %zu running timer(s)", n.timers.size());
    if (n.timers.size())
        report(kRuleKeep, kCauseReleased, n.timers.earliest(),
               "this list held %zu running timer(s), and its memory has changed since",
               n.timers.size());
}

void init_timer(const stimer *t)
{
    check_poison(t, sizeof *t, "timer");
    stimer_link l;
    if (!peek(&t->link, &l) || !l.next || l.next == &t->link || !leads_back(&t->link))
        return;
    if (const running_timers *in = ring_of(&t->link, nullptr))
        report(kRuleReinit,
               "stimer_kill it first, or its list was released while it held this timer", nullptr,
               "the timer is running in list %p", vp(in));
}

void linked(const running_timers *list, const stimer *t, int64_t fire)
{
    Node &n = node();
    Entry *e = n.timers.insert(t);
    e->fire = fire;
    e->site = innermost->site;
    if (t->link.next == &list->head)
        n.last_fire = fire;
}

void unlinking(const running_timers *list, const stimer *t)
{
    Node &n = node();
    if (t->link.next == &list->head && t->link.prev != &list->head)
        n.last_fire = static_cast<int64_t>(uint64_t(n.last_fire) - uint64_t(int64_t{t->delta}));
    n.timers.erase(t);
}

} // namespace checked
