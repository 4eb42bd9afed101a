// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checks of the checked build (see checked.h), after Linux's list
// debugging: named predicates on a record and its neighbours, called as a
// call enters and where the list changes. The links tell most of it. Kept
// apart is only what they cannot tell:
//   - a hint for each timer that this copy of the library linked in and has
//     not seen leave: the list, the tick of the arming and the address the
//     arming call returned to;
//   - a mark for each list that a call is in.
// A correct program can make either stale: a list in shared memory changes
// in another process, a timer is killed through another copy of the
// library. So no report rests on a hint alone: each is confirmed from the
// records, and what cannot be told from such a program is let go (stimer(3)
// names the tool that catches it).
//
// The state is mapped at load and wiped in every child process, whatever
// made it: a child starts with no hints and with no marks of threads it
// does not have. It costs no system call but to grow or shrink. A report is
// one line, formatted on the stack and written with write(2), then abort().
#include "checked.h"

#include <atomic>
#include <dlfcn.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <string.h>
#include <unistd.h>
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_DEFINED(p, size) ((void)(p), (void)(size))
#endif

#include "ticks.h"

namespace checked {
namespace {

// Initial-exec: a load from the thread pointer, where the default model
// calls __tls_get_addr (a fifth of the checks' instructions, callgrind).
#define CHECKED_TLS thread_local __attribute__((tls_model("initial-exec")))
CHECKED_TLS Call *innermost;
CHECKED_TLS const void *locked; // the table this thread holds, if any

struct Hint {
    const stimer *timer;        // the key; null in a free slot
    const running_timers *list; // where it was linked in
    const void *site;           // where the arming call returned to; null if unseen
    int64_t armed;              // the tick that call read
};

// Report arguments for %p and %lld.
const void *vp(const void *p)
{
    return p;
}

long long ll(__int128 v) // every value reported fits
{
    return static_cast<long long>(v);
}

// One line naming the call, what was found, the timer it is about and where
// that timer was armed, the rule of stimer.h broken and the likely cause;
// then abort(). Nothing allocates, and text past the end of the line is cut.
[[noreturn]] __attribute__((format(printf, 4, 5))) void
report(int rule, const char *cause, const Hint *about, const char *found, ...)
{
    const Call *c = innermost;
    char text[1024];
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
    if (about && about->timer) {
        // The object and offset, as addr2line takes them.
        Dl_info at = {};
        auto site = reinterpret_cast<uintptr_t>(about->site);
        add("; timer %p was armed at ", vp(about->timer));
        if (!site)
            add("%s", "a call this library did not see");
        else if (dladdr(about->site, &at) && at.dli_fname)
            add("%s+%#zx", at.dli_fname, site - uintptr_t(at.dli_fbase));
        else
            add("%p", about->site);
    }
    add(". Rule %d of stimer.h. Likely cause: %s.\n", rule, cause);
    text[len - 1] = '\n';       // also when the line was cut
    (void)!write(2, text, len); // one write, so that lines from two threads do not mix
    abort();
}

uintptr_t mix(uintptr_t v)
{
    return v * 0x9E3779B97F4A7C15u;
}

// Timers in one 256-byte block of memory, such as neighbours in an array,
// take neighbouring slots of one table: 100,000 lists of one timer each are
// set up in 3.0 times the release build's time, where slots spread at
// random took 4.0 (tools/checked-cost.sh).
uintptr_t block(const stimer *t)
{
    return reinterpret_cast<uintptr_t>(t) >> 8;
}

// The hints, by timer address: open addressing with linear probing in
// mapped memory, grown and shrunk with the count. Not malloc: a signal
// handler may call in. Each table has a spin lock; a call that finds its own
// thread holding it (a signal handler's) goes without.
// A table grows fourfold when more than half full and shrinks to a quarter
// when less than a 32nd full, so either leaves it an eighth full or less:
// a count that goes up and down by less than a factor of four, as lists
// are set up and emptied, maps and unmaps nothing. It never shrinks below
// kMin, which stays mapped.
class Table {
public:
    void find(const stimer *t, Hint *out)
    {
        if (!lock())
            return;
        const Hint *h = slots_ ? &slots_[probe(t)] : nullptr;
        if (h && h->timer)
            *out = *h;
        unlock();
    }

    void put(const Hint &hint)
    {
        if (!lock())
            return;
        if (2 * (used_ + 1) > size())
            resize(size() ? 4 * size() : kMin); // not 2: 4.0 times the release's, not 4.6
        // A table that cannot grow takes hints while one slot is left free.
        Hint *h = used_ + 1 < size() ? &slots_[probe(hint.timer)] : nullptr;
        if (h) {
            used_ += !h->timer;
            *h = hint;
        }
        unlock();
    }

    void erase(const stimer *t)
    {
        if (!lock())
            return;
        size_t i = slots_ ? probe(t) : 0;
        if (slots_ && slots_[i].timer) {
            // Backward shift: move into the hole every later hint of the run
            // whose home is not after the hole, so that no search stops
            // short of it.
            for (size_t j = next(i); slots_[j].timer; j = next(j)) {
                if (((j - index(slots_[j].timer)) & mask_) >= ((j - i) & mask_)) {
                    slots_[i] = slots_[j];
                    i = j;
                }
            }
            slots_[i] = Hint{};
            if (--used_ * 32 < size() && size() > kMin)
                resize(size() / 4);
        }
        unlock();
    }

    void release()
    {
        if (slots_)
            munmap(slots_, size() * sizeof(Hint));
    }

private:
    static constexpr size_t kMin = 64; // a power of two

    bool lock()
    {
        if (locked == this)
            return false;
        while (busy_.exchange(true, std::memory_order_acquire))
            sched_yield();
        locked = this;
        return true;
    }

    void unlock()
    {
        locked = nullptr;
        busy_.store(false, std::memory_order_release);
    }

    size_t size() const { return slots_ ? mask_ + 1 : 0; }
    size_t next(size_t i) const { return (i + 1) & mask_; }

    size_t index(const stimer *t) const
    {
        auto k = mix(block(t));
        return (((k ^ (k >> 32)) << 3) | ((reinterpret_cast<uintptr_t>(t) >> 5) & 7)) & mask_;
    }

    // The slot that holds t, or the free one where it would go.
    size_t probe(const stimer *t) const
    {
        size_t i = index(t);
        while (slots_[i].timer && slots_[i].timer != t)
            i = next(i);
        return i;
    }

    void resize(size_t size)
    {
        void *p = mmap(nullptr, size * sizeof(Hint), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0); // 4.6x, not 4.95x
        if (p == MAP_FAILED)
            return;
        Hint *old = slots_;
        size_t old_size = this->size();
        slots_ = static_cast<Hint *>(p);
        mask_ = size - 1;
        for (size_t i = 0; i < old_size; ++i)
            if (old[i].timer)
                slots_[probe(old[i].timer)] = old[i];
        if (old)
            munmap(old, old_size * sizeof(Hint));
    }

    std::atomic<bool> busy_;
    Hint *slots_;
    size_t mask_;
    size_t used_;
};

// All zeroes is the state of a process that has done nothing yet.
struct State {
    std::atomic<const running_timers *> marks[1024]; // lists a call is in, by hash
    Table tables[16];                                // hints, by hash of the timer
};

State *state; // null where it could not be mapped: no hints and no marks

Table *table_of(const stimer *t)
{
    return state ? &state->tables[mix(block(t)) >> 60] : nullptr;
}

Hint hint(const stimer *t)
{
    Hint h{};
    if (Table *table = table_of(t))
        table->find(t, &h);
    return h;
}

void note(const Hint &h)
{
    if (Table *table = table_of(h.timer))
        table->put(h);
}

void forget(const stimer *t)
{
    if (Table *table = table_of(t))
        table->erase(t);
}

__attribute__((constructor)) void load()
{
    void *p =
        mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && madvise(p, sizeof(State), MADV_WIPEONFORK) == 0)
        state = static_cast<State *>(p);
    else if (p != MAP_FAILED)
        munmap(p, sizeof(State));
}

__attribute__((destructor)) void unload()
{
    if (!state)
        return;
    for (Table &t : state->tables)
        t.release();
    munmap(state, sizeof(State));
    state = nullptr;
}

// A link that cannot point to a record: unaligned, in the null page or not
// a user address. Caught before it is followed.
bool wild(const stimer_link *l)
{
    auto p = reinterpret_cast<uintptr_t>(l);
    return (p & 7) || p < 4096 || p >> 47;
}

// Linux's check: both neighbours of a linked record lead back to it. An
// idle timer's links, which lead to itself, do not count.
bool links_agree(const stimer_link *l)
{
    return l->next != l && !wild(l->next) && !wild(l->prev) && l->next->prev == l &&
           l->prev->next == l;
}

// Reports a timer met with links that do not agree, or out of order.
[[noreturn]] void broken(const stimer *t)
{
    const Hint h = hint(t);
    const stimer_link *l = &t->link, *next = l->next, *prev = l->prev;
    if (links_agree(l))
        report(3, "the caller wrote its delta: re-arm it with stimer_start instead", &h,
               "timer %p has a negative delta (%d)", vp(t), t->delta);
    const char *cause =
        h.timer ? "a record freed, gone out of scope or written over while it ran"
                : "a copy or a move of a running timer (assignment, memcpy, realloc), or a "
                  "record never initialised";
    if (wild(next) || wild(prev))
        report(5, cause, &h, "timer %p links to next=%p and prev=%p, which cannot be records",
               vp(t), vp(next), vp(prev));
    report(5, cause, &h,
           "timer %p (next=%p, prev=%p) is not where its neighbours lead: next->prev is %p, "
           "prev->next %p",
           vp(t), vp(next), vp(prev), vp(next->prev), vp(prev->next));
}

// Whether a running timer whose links agree is in this list: as its hint
// says, or else as a walk round its ring finds. Each step checks the links
// it follows, so the walk comes back to the timer or meets the list's head:
// a ring broken into a loop has a record that its successor does not lead
// back to. A walk that finds the list leaves hints on the way for the next.
bool in_this_list(const running_timers *list, const stimer *t, const Hint &h)
{
    if (h.timer && h.list == list)
        return true;
    const stimer_link *at = t->link.next;
    for (; at != &t->link && at != &list->head; at = at->next)
        if (!links_agree(at))
            broken(timer_of(at));
    for (const stimer_link *l = &t->link; at != &t->link && l != at; l = l->next)
        if (hint(timer_of(l)).list != list)
            note(Hint{timer_of(l), list, nullptr, INT64_MIN});
    return at != &t->link;
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
    if (!list)
        return;
    for (const Call *o = outer; o; o = o->outer)
        if (o->list == list)
            report(6, "a signal handler that calls on a list of the code it interrupted", nullptr,
                   "called from a signal handler while %s, which it interrupted, is in a call on "
                   "this list",
                   o->name);
    // A mark holds a list's address while one call is in the list: set by
    // that call's compare-and-swap from null, cleared by its release store
    // as it leaves. A correct program keeps its calls on a list apart in
    // time, so it never finds its list's mark set; a call whose slot holds
    // another list's mark goes unmarked.
    auto *m = state ? &state->marks[mix(reinterpret_cast<uintptr_t>(list)) >> 54] : nullptr;
    const running_timers *was = nullptr;
    if (m && m->compare_exchange_strong(was, list, std::memory_order_acquire))
        mark = m;
    else if (m && was == list)
        report(6, "a list shared between threads without a lock around each call", nullptr,
               "called while a call on another thread is in this list");
}

Call::~Call()
{
    if (mark)
        static_cast<std::atomic<const running_timers *> *>(mark)->store(nullptr,
                                                                        std::memory_order_release);
    innermost = outer;
}

void list_valid(const running_timers *list)
{
    const stimer_link *head = &list->head;
    if (!head->next)
        report(1, "stimer_init_running_timers was never called on it, or the list was cleared",
               nullptr, "the list is zeroed, not initialised");
    if ((head->next != head || head->prev != head) && !links_agree(head))
        report(wild(head->next) || wild(head->prev) ? 1 : 5,
               "a list never initialised, a copy or a move of a list that holds timers, or one "
               "written over",
               nullptr, "head.next is %p and head.prev %p, but they do not lead back to it",
               vp(head->next), vp(head->prev));
}

void timer_valid(const running_timers *list, const stimer *t)
{
    const stimer_link *l = &t->link;
    if (!l->next)
        report(1, "stimer_init was never called on it", nullptr,
               "the timer is zeroed, not initialised");
    if (l->next == l)
        return;
    if (!links_agree(l))
        broken(t);
    const Hint h = hint(t);
    if (!in_this_list(list, t, h))
        report(2,
               "the wrong list passed, or a timer armed into another list without stimer_kill "
               "first",
               &h, "the timer runs in %s %p, not in this one",
               h.timer ? "list" : "a list this library does not know, at", vp(h.list));
}

void walk_valid(const running_timers *list, const stimer *t)
{
    if (!links_agree(&t->link) || (t->delta < 0 && &t->link != list->head.next))
        broken(t);
}

void unlink_valid(const running_timers *, const stimer *t)
{
    if (!links_agree(&t->link))
        broken(t);
    forget(t);
}

void remember(const running_timers *list, const stimer *t)
{
    note(Hint{t, list, innermost->site, innermost->now});
}

void clock_valid(const running_timers *list, int64_t now)
{
    innermost->now = now;
    if (list->head.next == &list->head)
        return;
    const Hint h = hint(timer_of(list->head.next));
    if (h.list == list && now < h.armed)
        report(8, "a platform tick count that is not monotonic, or one reset while timers ran", &h,
               "the tick count read %lld when the first timer was armed, and %lld now", ll(h.armed),
               ll(now));
}

void horizon_valid(const running_timers *list, int64_t now, int32_t timeout)
{
    __int128 fire = __int128{now} + timeout;
    if (fire > INT64_MAX || fire < INT64_MIN)
        report(7, "a tick count near the end of its range", nullptr,
               "now %lld plus timeout %d leaves the 64-bit tick range", ll(now), timeout);
    if (list->head.next == &list->head)
        return;
    __int128 base = list->base_time, earliest = earliest_firing_time(list);
    __int128 lo = now, hi = now;
    for (__int128 v : {fire, base, earliest}) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    if (hi - lo > INT32_MAX)
        report(7,
               timeout < 0 && fire == lo ? "a negative timeout that reaches too far back"
               : now - earliest > INT32_MAX
                   ? "fired timers left in the list too long, or a jump of the tick count"
                   : "a timeout too long for the oldest timer still in the list (an overdue timer "
                     "not collected?)",
               nullptr,
               "the list would span %lld ticks (earliest firing time %lld, base_time %lld, now "
               "%lld, new firing time %lld)",
               ll(hi - lo), ll(earliest), ll(base), ll(now), ll(fire));
}

// The record about to be initialised may hold anything, and valgrind would
// report a branch on it: its links are read as a copy marked defined, and
// followed only to a timer that this copy linked in.
template <class T>
T as_defined(const T *record)
{
    T copy;
    memcpy(&copy, record, sizeof copy);
    VALGRIND_MAKE_MEM_DEFINED(&copy, sizeof copy);
    return copy;
}

void list_init_valid(const running_timers *list)
{
    const stimer_link head = as_defined(&list->head), *first = head.next;
    if (!first || first == &list->head || wild(first))
        return;
    const Hint h = hint(timer_of(first));
    if (h.list == list && first->prev == &list->head)
        report(4, "kill or collect its timers before initialising it again", &h,
               "the list still holds running timers, %p first", vp(first));
}

void timer_init_valid(const stimer *t)
{
    const stimer_link link = as_defined(&t->link);
    const Hint h = link.next && link.next != &t->link ? hint(t) : Hint{};
    if (!h.timer)
        return;
    if (links_agree(&t->link))
        report(4, "stimer_kill it first, or its list was released while it held this timer", &h,
               "the timer is running, armed into list %p", vp(h.list));
    forget(t); // killed out of this copy's sight
}

} // namespace checked
