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
