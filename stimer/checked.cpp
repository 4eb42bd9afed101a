// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 the stimer authors
// The checks of the checked build (see checked.h). Every record the library
// links is registered: each running timer with its list, each list that
// holds timers with the firing time of its last timer and the last tick read
// for it. A pointer is followed only once the registry knows it as the
// list's head or as a timer running in that list, so a broken rule is
// reported before it can crash or corrupt anything.
//
// A report is one line, formatted on the stack and written with write(2),
// then abort(): nothing allocates while the heap may be corrupt. The
// registry is shared by all lists and taken under one lock for the whole
// of each call.
#include "checked.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

// AddressSanitizer's interface, when the program runs under it: it names a
// freed or dead record with the stack that freed it. Weak, so that the
// library needs nothing when it is absent. The names are ASan's own.
extern "C" {
int __asan_address_is_poisoned(void const volatile *addr) __attribute__((weak));
void __asan_describe_address(void *addr) __attribute__((weak));
}

namespace checked {
namespace {

// The rules, in the words of stimer.h and tovask.h.
const char kRuleInit[] = "every pointer passed in is valid and points to a record that has been "
                         "through stimer_init_running_timers or stimer_init (a zeroed record is "
                         "neither an empty list nor an idle timer)";
const char kRuleList[] = "an operation on a running timer is given the list the timer is in";
const char kRuleReinit[] = "a running timer is not passed to stimer_init, a list holding running "
                           "timers is not passed to stimer_init_running_timers";
const char kRuleKeep[] = "neither is released, moved or copied while they are linked to each other";
const char kRuleHorizon[] = "every difference between the firing times of the timers of one list, "
                            "its base_time and the tick at which any of its timers is armed must "
                            "lie within the signed 32-bit range";
const char kRuleClock[] = "the count never goes backwards (tovask.h)";

// An open-addressing hash table keyed by record address, grown with calloc.
template <class Value>
class Table {
public:
    Value *find(const void *key) const
    {
        if (!slots_)
            return nullptr;
        Slot &slot = slots_[probe(key)];
        return slot.key ? &slot.value : nullptr;
    }

    // The entry for key, zeroed when it is new.
    Value *insert(const void *key);

    void erase(const void *key)
    {
        if (!find(key))
            return;
        size_t i = probe(key);
        // Backward shift: move up every later entry that may not stand
        // behind the hole, so that no search stops short of it.
        for (size_t j = (i + 1) & mask_; slots_[j].key; j = (j + 1) & mask_) {
            size_t home = index(slots_[j].key);
            bool movable = i < j ? (home <= i || home > j) : (home <= i && home > j);
            if (movable) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Slot{};
        --used_;
    }

private:
    struct Slot {
        const void *key;
        Value value;
    };

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

    Slot *slots_ = nullptr;
    size_t mask_ = 0;
    size_t used_ = 0;
};

struct Running {
    const running_timers *list;
};

struct Holding {
    int64_t last_fire; // firing time of the list's last timer
    int64_t last_now;  // the tick last read for the list
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
Table<Running> timers;
Table<Holding> lists;

// The call under way; the lock guards it.
struct {
    const char *name;
    const void *list;
    const void *timer;
    int64_t now;
} current;

// A report line on the stack. Text past its end is cut, and the offset
// never passes the buffer, whatever snprintf says it would have written.
class Line {
public:
    __attribute__((format(printf, 2, 0))) void add(const char *format, va_list args)
    {
        int n = vsnprintf(text_ + len_, sizeof text_ - len_, format, args);
        if (n > 0)
            len_ += static_cast<size_t>(n) < sizeof text_ - len_ ? static_cast<size_t>(n)
                                                                 : sizeof text_ - 1 - len_;
    }

    __attribute__((format(printf, 2, 3))) void add(const char *format, ...)
    {
        va_list args;
        va_start(args, format);
        add(format, args);
        va_end(args);
    }

    [[noreturn]] void write_and_abort()
    {
        text_[len_ - 1] = '\n'; // also when the line was cut
        for (size_t done = 0; done < len_;) {
            ssize_t w = write(2, text_ + done, len_ - done);
            if (w <= 0)
                break;
            done += static_cast<size_t>(w);
        }
        abort();
    }

private:
    char text_[1536];
    size_t len_ = 0;
};

// One line naming the call, what was found, the rule broken (none when the
// checks themselves fail) and the likely cause; then abort().
[[noreturn]] __attribute__((format(printf, 3, 4))) void report(const char *rule, const char *cause,
                                                               const char *found, ...)
{
    Line line;
    line.add("stimer: %s(list=%p", current.name, current.list);
    if (current.timer)
        line.add(", timer=%p", current.timer);
    line.add("): ");
    va_list args;
    va_start(args, found);
    line.add(found, args);
    va_end(args);
    if (rule)
        line.add(". Rule: %s", rule);
    line.add(". Likely cause: %s.\n", cause);
    line.write_and_abort();
}

template <class Value>
Value *Table<Value>::insert(const void *key)
{
    if (Value *v = find(key))
        return v;
    if (2 * (used_ + 1) > mask_ + 1 || !slots_) {
        size_t size = slots_ ? 2 * (mask_ + 1) : 256;
        Slot *old = slots_;
        size_t old_size = old ? mask_ + 1 : 0;
        slots_ = static_cast<Slot *>(calloc(size, sizeof(Slot)));
        if (!slots_)
            report(nullptr, "the process ran out of memory",
                   "the checked build cannot grow its registry");
        mask_ = size - 1;
        used_ = 0;
        for (size_t i = 0; i < old_size; ++i)
            if (old[i].key)
                *insert(old[i].key) = old[i].value;
        free(old);
    }
    Slot &slot = slots_[probe(key)];
    slot.key = key;
    ++used_;
    return &slot.value;
}

bool poisoned(const void *p)
{
    return __asan_address_is_poisoned && __asan_address_is_poisoned(p);
}

// A running timer's record, before any field of it is read.
void reachable(const stimer_link *l)
{
    if (poisoned(l)) {
        if (__asan_describe_address)
            __asan_describe_address(const_cast<stimer_link *>(l));
        report(kRuleKeep, "the memory of a timer was freed or went out of scope while it ran",
               "timer %p is freed or dead memory", static_cast<const void *>(l));
    }
}

bool in_list(const running_timers *list, const stimer_link *l)
{
    if (l == &list->head)
        return true;
    const Running *r = timers.find(l);
    return r && r->list == list;
}

const char kCauseFreed[] = "a running timer's memory was freed, went out of scope or was "
                           "overwritten by a stray write, or a running timer was copied or moved";

// A pointer about to be followed: the list's head, or a timer running in
// the list whose record is still there.
void link(const running_timers *list, const stimer_link *l)
{
    if (!in_list(list, l))
        report(kRuleKeep, kCauseFreed,
               "met %p, which is neither this list's head nor a timer running in it",
               static_cast<const void *>(l));
    if (l != &list->head)
        reachable(l);
}

} // namespace

Call::Call(const char *name, const running_timers *list, const stimer *timer)
{
    pthread_mutex_lock(&lock);
    current = {name, list, timer, 0};
}

Call::~Call()
{
    pthread_mutex_unlock(&lock);
}

void list(const running_timers *list)
{
    const stimer_link *head = &list->head;
    if (!lists.find(list)) {
        if (head->next == head && head->prev == head)
            return;
        if (!head->next)
            report(kRuleInit, "stimer_init_running_timers was never called on it",
                   "the list is zeroed, not initialised");
        report(
            kRuleInit,
            "the list was never initialised, or it is a copy or a move of a list that holds timers",
            "head.next is %p and head.prev %p, but no timer runs in this list",
            static_cast<const void *>(head->next), static_cast<const void *>(head->prev));
    }
    link(list, head->next);
    link(list, head->prev);
    if (head->next->prev != head || head->prev->next != head)
        report(kRuleKeep, kCauseFreed, "the first or last timer does not lead back to the head");
}

void timer(const running_timers *list, const stimer *t)
{
    const stimer_link *l = &t->link;
    reachable(l);
    const Running *r = timers.find(t);
    if (!r) {
        if (l->next == l && l->prev == l)
            return;
        if (!l->next)
            report(kRuleInit, "stimer_init was never called on it",
                   "the timer is zeroed, not initialised");
        report(kRuleKeep,
               "a copy or a move of a running timer (assignment, memcpy, realloc), or a timer "
               "never initialised",
               "its links (next=%p, prev=%p) say that it runs, but no list holds it",
               static_cast<const void *>(l->next), static_cast<const void *>(l->prev));
    }
    if (r->list != list)
        report(
            kRuleList,
            "the wrong list passed, or a timer armed into another list without stimer_kill first",
            "the timer runs in list %p, not in this one", static_cast<const void *>(r->list));
    link(list, l->next);
    link(list, l->prev);
    if (l->next->prev != l || l->prev->next != l)
        report(kRuleKeep, kCauseFreed,
               "its neighbours do not lead back to it (next=%p, whose prev is %p)",
               static_cast<const void *>(l->next), static_cast<const void *>(l->next->prev));
}

void visit(const running_timers *list, const stimer *t)
{
    link(list, t->link.next);
    link(list, t->link.prev);
}

void tick(const running_timers *list, int64_t now)
{
    current.now = now;
    Holding *h = lists.find(list);
    if (!h)
        return;
    if (now < h->last_now)
        report(kRuleClock,
               "a platform tick count that is not monotonic, or one reset while timers ran",
               "the tick count went back from %lld to %lld", static_cast<long long>(h->last_now),
               static_cast<long long>(now));
    h->last_now = now;
}

void horizon(const running_timers *list, int64_t now, int32_t timeout)
{
    __int128 fire = __int128{now} + timeout;
    if (fire > INT64_MAX || fire < INT64_MIN)
        report(kRuleHorizon, "a tick count near the end of its range",
               "now %lld plus timeout %d leaves the 64-bit tick range", static_cast<long long>(now),
               timeout);
    const Holding *h = lists.find(list);
    if (!h)
        return;
    const stimer *first = reinterpret_cast<const stimer *>(list->head.next);
    __int128 base = list->base_time, earliest = base + first->delta;
    const __int128 ticks[] = {fire, base, earliest, h->last_fire};
    __int128 lo = now, hi = now;
    for (__int128 v : ticks) {
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    if (hi - lo > INT32_MAX)
        report(kRuleHorizon,
               now - earliest > INT32_MAX
                   ? "fired timers left in the list too long, or a jump of the tick count"
                   : "a timeout too long for the oldest timer still in the list (an overdue timer "
                     "not collected?)",
               "the list would span %lld ticks (earliest firing time %lld, latest %lld, base_time "
               "%lld, "
               "now %lld, new firing time %lld)",
               static_cast<long long>(hi - lo), static_cast<long long>(earliest),
               static_cast<long long>(h->last_fire), static_cast<long long>(base),
               static_cast<long long>(now), static_cast<long long>(fire));
}

void init_list(const running_timers *list)
{
    if (lists.find(list))
        report(kRuleReinit, "kill or collect its timers before initialising it again",
               "the list still holds running timers (the first is %p)",
               static_cast<const void *>(list->head.next));
}

void init_timer(const stimer *t)
{
    if (const Running *r = timers.find(t))
        report(kRuleReinit,
               "stimer_kill it first, or the memory of a running timer was freed and reused",
               "the timer is running in list %p", static_cast<const void *>(r->list));
}

void linked(const running_timers *list, const stimer *t, int64_t fire)
{
    timers.insert(t)->list = list;
    Holding *h = lists.find(list);
    if (!h) {
        h = lists.insert(list);
        h->last_now = current.now;
    }
    if (t->link.next == &list->head)
        h->last_fire = fire;
}

void unlinking(const running_timers *list, const stimer *t)
{
    const stimer_link *head = &list->head;
    if (t->link.next == head && t->link.prev == head)
        lists.erase(list);
    else if (t->link.next == head) {
        Holding *h = lists.find(list);
        h->last_fire = static_cast<int64_t>(static_cast<uint64_t>(h->last_fire) -
                                            static_cast<uint64_t>(int64_t{t->delta}));
    }
    timers.erase(t);
}

} // namespace checked
