/* SPDX-License-Identifier: MIT */
/* SPDX-FileCopyrightText: 2026 the stimer authors */
// The structures people pick instead of a delta list, each with a node of
// its own, sized as a user would size it. All keep the library's semantics:
// one-shot timers, arming a running timer moves it, equal firing times fire
// in arming order, and a node knows whether it is running in O(1).
//
// Each structure gives first() (the earliest node, or null) and kill(); the
// shared peek() and pop() below are built on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#if __has_include(<boost/intrusive/set.hpp>)
#include <boost/intrusive/set.hpp>
#define HAVE_BOOST_INTRUSIVE 1
#endif

extern int64_t bench_now; // the tick count that TickGetCount returns

template <class Q>
int64_t peek(Q &q)
{
    auto *n = q.first();
    return n ? n->key : -1;
}

template <class Q>
auto *pop(Q &q)
{
    auto *n = q.first();
    if (!n || n->key > bench_now)
        return decltype(n){};
    q.kill(n);
    return n;
}

// Keys and arming order, for the structures that must break ties.
template <class N>
bool before(const N *a, const N *b)
{
    return a->key < b->key || (a->key == b->key && a->seq < b->seq);
}

// A binary min-heap of pointers; every element keeps its slot, so that it can
// be taken out or moved from anywhere. Before(a, b): a comes out first.
template <class T, bool (*Before)(const T *, const T *)>
class IndexedHeap {
public:
    static constexpr std::size_t kOut = SIZE_MAX;
    bool empty() const { return items_.empty(); }
    T *top() const { return items_.front(); }
    void push(T *t)
    {
        items_.push_back(t);
        up(items_.size() - 1, t);
    }
    void erase(T *t)
    {
        std::size_t i = t->slot;
        t->slot = kOut;
        T *last = items_.back();
        items_.pop_back();
        if (last != t)
            fix(i, last);
    }
    // Puts t right after its key changed.
    void fix(T *t) { fix(t->slot, t); }

private:
    void place(std::size_t i, T *t)
    {
        items_[i] = t;
        t->slot = i;
    }
    void fix(std::size_t i, T *t)
    {
        if (i > 0 && Before(t, items_[(i - 1) / 2]))
            up(i, t);
        else
            down(i, t);
    }
    void up(std::size_t i, T *t)
    {
        for (; i > 0 && Before(t, items_[(i - 1) / 2]); i = (i - 1) / 2)
            place(i, items_[(i - 1) / 2]);
        place(i, t);
    }
    void down(std::size_t i, T *t)
    {
        for (std::size_t c; (c = 2 * i + 1) < items_.size(); i = c) {
            if (c + 1 < items_.size() && Before(items_[c + 1], items_[c]))
                ++c;
            if (!Before(items_[c], t))
                break;
            place(i, items_[c]);
        }
        place(i, t);
    }
    std::vector<T *> items_;
};

struct Heap {
    static constexpr const char *name = "binary_heap";
    struct Node {
        int64_t key;
        uint64_t seq;
        std::size_t slot = SIZE_MAX;
    };
    IndexedHeap<Node, before<Node>> heap;
    uint64_t seq = 0;
    Node *first() { return heap.empty() ? nullptr : heap.top(); }
    void kill(Node *n)
    {
        if (n->slot != heap.kOut)
            heap.erase(n);
    }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        n->key = bench_now + timeout;
        n->seq = ++seq;
        heap.push(n);
    }
};

// Equal keys go in at the end of their range, which is arming order.
struct MultiMap {
    static constexpr const char *name = "std_multimap";
    struct Node;
    using Map = std::multimap<int64_t, Node *>;
    struct Node {
        Map::iterator pos;
        bool running = false;
        int64_t key;
    };
    Map map;
    Node *first() { return map.empty() ? nullptr : map.begin()->second; }
    void kill(Node *n)
    {
        if (n->running) {
            map.erase(n->pos);
            n->running = false;
        }
    }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        n->key = bench_now + timeout;
        n->pos = map.emplace(n->key, n);
        n->running = true;
    }
};

// Links of a circular intrusive list with a sentinel; an idle node points
// to itself.
template <class N>
void unlink(N *n)
{
    n->prev->next = n->next;
    n->next->prev = n->prev;
    n->next = n->prev = n;
}

template <class N>
void link_before(N *pos, N *n)
{
    n->next = pos;
    n->prev = pos->prev;
    pos->prev->next = n;
    pos->prev = n;
}

// A node of an intrusive list with its firing time.
struct ListNode {
    ListNode *next = this, *prev = this;
    int64_t key;
};

// Sorted by absolute firing time and walked from the front, like the delta
// list; it passes exactly the timers the delta list passes.
struct SortedList {
    static constexpr const char *name = "sorted_list";
    using Node = ListNode;
    Node head;
    uint64_t visits = 0;
    Node *first() { return head.next == &head ? nullptr : head.next; }
    void kill(Node *n) { unlink(n); }
    void start(Node *n, int32_t timeout)
    {
        unlink(n);
        n->key = bench_now + timeout;
        Node *pos = head.next;
        for (; pos != &head && n->key >= pos->key; pos = pos->next)
            ++visits;
        ++visits;
        link_before(pos, n);
    }
};

// One FIFO queue per distinct timeout, each sorted by construction, with
// the queues in a heap ordered by their first node: arming appends, and only
// a change of a queue's first node moves the queue in the heap.
struct DurationQueues {
    static constexpr const char *name = "per_duration_fifo";
    struct Queue;
    struct Node {
        Node *next = this, *prev = this;
        int64_t key;
        uint64_t seq;
        Queue *queue;
    };
    struct Queue {
        Node head;
        std::size_t slot = SIZE_MAX;
    };
    static bool queue_before(const Queue *a, const Queue *b)
    {
        return before(a->head.next, b->head.next);
    }
    std::unordered_map<int32_t, Queue> queues;
    IndexedHeap<Queue, queue_before> heap;
    uint64_t seq = 0;
    Node *first() { return heap.empty() ? nullptr : heap.top()->head.next; }
    void kill(Node *n)
    {
        if (n->next == n)
            return;
        Queue *q = n->queue;
        bool was_first = q->head.next == n;
        unlink(n);
        if (was_first && q->head.next == &q->head)
            heap.erase(q);
        else if (was_first)
            heap.fix(q);
    }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        Queue *q = &queues[timeout];
        n->key = bench_now + timeout;
        n->seq = ++seq;
        n->queue = q;
        bool was_empty = q->head.next == &q->head;
        link_before(&q->head, n);
        if (was_empty)
            heap.push(q);
    }
};

#if HAVE_BOOST_INTRUSIVE
struct BoostSet {
    static constexpr const char *name = "boost_intrusive_multiset";
    struct Node {
        boost::intrusive::set_member_hook<> hook;
        int64_t key;
        uint64_t seq;
        bool running = false;
    };
    struct Order {
        bool operator()(const Node &a, const Node &b) const { return before(&a, &b); }
    };
    using Set = boost::intrusive::multiset<
        Node, boost::intrusive::member_hook<Node, decltype(Node::hook), &Node::hook>,
        boost::intrusive::compare<Order>>;
    Set set;
    uint64_t seq = 0;
    ~BoostSet() { set.clear(); }
    Node *first() { return set.empty() ? nullptr : &*set.begin(); }
    void kill(Node *n)
    {
        if (n->running) {
            set.erase(set.iterator_to(*n));
            n->running = false;
        }
    }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        n->key = bench_now + timeout;
        n->seq = ++seq;
        n->running = true;
        set.insert(*n);
    }
};
#endif
