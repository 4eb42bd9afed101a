// The library beside the structures people pick instead, on the same
// pre-allocated nodes and with the same semantics: one-shot timers, equal
// firing times fire in arming order, O(1) idle checks.
//
// Workloads:
//   W1 steady state with a few timers and random timeouts (pop one, arm one)
//   W2 many identical timeouts, such as per-connection idle timers
//   W3 keep-alive: re-arm a random running timer
//   W4 cancel-heavy: arm one, cancel a random running one
//   W5 burst expiry: N timers fire on one tick (time per pop)
//   W6 peek at the earliest firing time
// each with nodes in address order and with shuffled addresses, and the
// arming walk beside a bare pointer chase over the same nodes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#if __has_include(<boost/intrusive/set.hpp>)
#include <boost/intrusive/set.hpp>
#define HAVE_BOOST_INTRUSIVE 1
#endif

#include "stimer.h"
#include "tovask.h"

namespace {

int64_t bench_now;

} // namespace

// The platform clock, as a plain load.
extern "C" int64_t TickGetCount(void)
{
    return bench_now;
}

namespace {

// One node serves every structure.
struct Node {
    stimer timer;
    int64_t key;   // absolute firing time
    uint64_t seq;  // arming order, for ties
    Node *next;    // sorted list, FIFO queues
    Node *prev;
    std::size_t heap_index;
    bool running;
    std::multimap<int64_t, Node *>::iterator map_pos;
#if HAVE_BOOST_INTRUSIVE
    boost::intrusive::set_member_hook<boost::intrusive::link_mode<boost::intrusive::normal_link>>
        hook;
#endif
};

inline bool before(const Node *a, const Node *b)
{
    return a->key < b->key || (a->key == b->key && a->seq < b->seq);
}

// Nodes in address order, or visited through a shuffled permutation.
std::vector<Node *> make_nodes(std::unique_ptr<Node[]> &store, std::size_t n, bool shuffled)
{
    store.reset(new Node[n]());
    std::vector<Node *> nodes(n);
    for (std::size_t i = 0; i < n; ++i)
        nodes[i] = &store[i];
    if (shuffled)
        std::shuffle(nodes.begin(), nodes.end(), std::mt19937_64(42));
    return nodes;
}

// ---- the library ---------------------------------------------------------

struct DeltaList {
    static constexpr const char *name = "stimer";
    running_timers list;
    DeltaList() { stimer_init_running_timers(&list); }
    void init(Node *n) { stimer_init(&n->timer, 0, n); }
    void start(Node *n, int32_t timeout) { stimer_start(&list, &n->timer, timeout); }
    void kill(Node *n) { stimer_kill(&list, &n->timer); }
    int64_t peek() { return stimer_get_next_firing_time(&list); }
    Node *pop()
    {
        stimer *t = stimer_get_next_fired_timer(&list);
        return t ? static_cast<Node *>(t->data) : nullptr;
    }
};

// ---- baselines -----------------------------------------------------------

// Binary min-heap of node pointers; each node knows its slot, for cancel.
struct Heap {
    static constexpr const char *name = "binary_heap";
    std::vector<Node *> heap;
    uint64_t seq = 0;
    void init(Node *n) { n->running = false; }
    void place(std::size_t i, Node *n)
    {
        heap[i] = n;
        n->heap_index = i;
    }
    void up(std::size_t i)
    {
        Node *n = heap[i];
        while (i > 0 && before(n, heap[(i - 1) / 2])) {
            place(i, heap[(i - 1) / 2]);
            i = (i - 1) / 2;
        }
        place(i, n);
    }
    void down(std::size_t i)
    {
        Node *n = heap[i];
        for (;;) {
            std::size_t c = 2 * i + 1;
            if (c >= heap.size())
                break;
            if (c + 1 < heap.size() && before(heap[c + 1], heap[c]))
                ++c;
            if (!before(heap[c], n))
                break;
            place(i, heap[c]);
            i = c;
        }
        place(i, n);
    }
    void kill(Node *n)
    {
        if (!n->running)
            return;
        n->running = false;
        std::size_t i = n->heap_index;
        Node *last = heap.back();
        heap.pop_back();
        if (last == n)
            return;
        place(i, last);
        if (i > 0 && before(last, heap[(i - 1) / 2]))
            up(i);
        else
            down(i);
    }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        n->key = bench_now + timeout;
        n->seq = ++seq;
        n->running = true;
        heap.push_back(n);
        up(heap.size() - 1);
    }
    int64_t peek() { return heap.empty() ? -1 : heap[0]->key; }
    Node *pop()
    {
        if (heap.empty() || heap[0]->key > bench_now)
            return nullptr;
        Node *n = heap[0];
        kill(n);
        return n;
    }
};

// std::multimap keyed by firing time: equal keys go in at the end of their
// range, which is arming order.
struct MultiMap {
    static constexpr const char *name = "std_multimap";
    std::multimap<int64_t, Node *> map;
    void init(Node *n) { n->running = false; }
    void kill(Node *n)
    {
        if (n->running) {
            map.erase(n->map_pos);
            n->running = false;
        }
    }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        n->map_pos = map.emplace(bench_now + timeout, n);
        n->running = true;
    }
    int64_t peek() { return map.empty() ? -1 : map.begin()->first; }
    Node *pop()
    {
        if (map.empty() || map.begin()->first > bench_now)
            return nullptr;
        Node *n = map.begin()->second;
        kill(n);
        return n;
    }
};

// The intrusive list links of the sorted list and the FIFO queues.
inline void unlink_node(Node *n)
{
    n->prev->next = n->next;
    n->next->prev = n->prev;
    n->next = n->prev = n;
}

inline void link_node_before(Node *pos, Node *n)
{
    n->next = pos;
    n->prev = pos->prev;
    pos->prev->next = n;
    pos->prev = n;
}

// A circular intrusive list sorted by absolute firing time, walked from the
// front like the delta list.
struct SortedList {
    static constexpr const char *name = "sorted_list";
    Node head{};
    uint64_t visits = 0;
    SortedList() { head.next = head.prev = &head; }
    void init(Node *n) { n->next = n->prev = n; }
    void kill(Node *n) { unlink_node(n); }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        n->key = bench_now + timeout;
        Node *pos = head.next;
        for (; pos != &head; pos = pos->next) {
            ++visits;
            if (n->key < pos->key)
                break;
        }
        ++visits;
        link_node_before(pos, n);
    }
    int64_t peek() { return head.next == &head ? -1 : head.next->key; }
    Node *pop()
    {
        Node *n = head.next;
        if (n == &head || n->key > bench_now)
            return nullptr;
        kill(n);
        return n;
    }
};

// One FIFO queue per distinct timeout: each queue is sorted by construction,
// and the earliest timer is the earliest of the queue heads.
struct DurationQueues {
    static constexpr const char *name = "per_duration_fifo";
    struct Queue {
        int32_t timeout;
        Node head;
    };
    std::vector<std::unique_ptr<Queue>> queues;
    uint64_t seq = 0;
    void init(Node *n) { n->next = n->prev = n; }
    Queue *queue_for(int32_t timeout)
    {
        for (auto &q : queues)
            if (q->timeout == timeout)
                return q.get();
        queues.push_back(std::make_unique<Queue>());
        Queue *q = queues.back().get();
        q->timeout = timeout;
        q->head.next = q->head.prev = &q->head;
        return q;
    }
    void kill(Node *n) { unlink_node(n); }
    void start(Node *n, int32_t timeout)
    {
        kill(n);
        Node &h = queue_for(timeout)->head;
        n->key = bench_now + timeout;
        n->seq = ++seq;
        link_node_before(&h, n);
    }
    Node *earliest()
    {
        Node *best = nullptr;
        for (auto &q : queues) {
            Node *n = q->head.next;
            if (n != &q->head && (!best || before(n, best)))
                best = n;
        }
        return best;
    }
    int64_t peek()
    {
        Node *n = earliest();
        return n ? n->key : -1;
    }
    Node *pop()
    {
        Node *n = earliest();
        if (!n || n->key > bench_now)
            return nullptr;
        kill(n);
        return n;
    }
};

#if HAVE_BOOST_INTRUSIVE
struct NodeOrder {
    bool operator()(const Node &a, const Node &b) const { return before(&a, &b); }
};

struct BoostSet {
    static constexpr const char *name = "boost_intrusive_multiset";
    using Set = boost::intrusive::multiset<
        Node, boost::intrusive::member_hook<Node, decltype(Node::hook), &Node::hook>,
        boost::intrusive::compare<NodeOrder>>;
    Set set;
    uint64_t seq = 0;
    ~BoostSet() { set.clear(); }
    void init(Node *n) { n->running = false; }
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
    int64_t peek() { return set.empty() ? -1 : set.begin()->key; }
    Node *pop()
    {
        if (set.empty() || set.begin()->key > bench_now)
            return nullptr;
        Node *n = &*set.begin();
        kill(n);
        return n;
    }
};
#endif

// ---- workloads -----------------------------------------------------------

template <class Q>
struct Setup {
    std::unique_ptr<Node[]> store;
    std::vector<Node *> nodes;
    Q q;
    std::mt19937_64 rng{7};
    Setup(std::size_t n, bool shuffled) : nodes(make_nodes(store, n, shuffled))
    {
        bench_now = (int64_t{1} << 32) - 1000;
        for (Node *node : nodes)
            q.init(node);
    }
    int32_t random(int32_t lo, int32_t hi)
    {
        return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
    }
};

template <class Q>
void report_visits(benchmark::State &state, const Q &)
{
    state.SetItemsProcessed(state.iterations());
}

template <>
void report_visits(benchmark::State &state, const SortedList &q)
{
    state.SetItemsProcessed(state.iterations());
    // The delta list visits the same timers: both pass every timer that
    // fires no later than the new one, then stop on the next.
    state.counters["visits_per_arm"] =
        state.iterations() ? static_cast<double>(q.visits) / static_cast<double>(state.iterations()) : 0;
}

// A workload that arms one timer an iteration: fill sets up the running
// timers, step is the operation measured.
template <class Q, class Fill, class Step>
void arming(benchmark::State &state, Fill fill, Step step)
{
    std::size_t n = static_cast<std::size_t>(state.range(0));
    Setup<Q> s(n, state.range(1) != 0);
    fill(s, n);
    if constexpr (std::is_same_v<Q, SortedList>)
        s.q.visits = 0;
    for (auto _ : state)
        step(s, n);
    report_visits(state, s.q);
}

// n timers with the same timeout, armed on successive ticks, as if one
// connection arrived each tick. The lists are filled newest first, each
// timer in front, which leaves the same state as arming oldest first at the
// tail; the FIFO queues must be filled in arming order.
template <class Q>
void fill_identical(Q &q, const std::vector<Node *> &nodes, int32_t timeout)
{
    int64_t start = bench_now;
    std::size_t n = nodes.size();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = std::is_same_v<Q, DurationQueues> ? k : n - 1 - k;
        bench_now = start + static_cast<int64_t>(i) - static_cast<int64_t>(n);
        q.start(nodes[i], timeout);
    }
    bench_now = start;
}

// W1: a few timers with random timeouts; pop the earliest, re-arm it.
template <class Q>
void w1_few(benchmark::State &state)
{
    arming<Q>(
        state,
        [](Setup<Q> &s, std::size_t) {
            for (Node *node : s.nodes)
                s.q.start(node, s.random(1, 1000));
        },
        [](Setup<Q> &s, std::size_t) {
            bench_now = s.q.peek();
            s.q.start(s.q.pop(), s.random(1, 1000));
        });
}

// W2: the same with one timeout for all, so each arming goes behind all
// the others.
template <class Q>
void w2_identical(benchmark::State &state)
{
    arming<Q>(
        state, [](Setup<Q> &s, std::size_t n) { fill_identical(s.q, s.nodes, static_cast<int32_t>(n)); },
        [](Setup<Q> &s, std::size_t n) {
            bench_now = s.q.peek();
            s.q.start(s.q.pop(), static_cast<int32_t>(n));
        });
}

// W3: 1024 connections with idle timeouts of 1-2 s; traffic on a random one
// pushes its timer out again.
template <class Q>
void w3_keepalive(benchmark::State &state)
{
    arming<Q>(
        state,
        [](Setup<Q> &s, std::size_t) {
            for (Node *node : s.nodes)
                s.q.start(node, s.random(1000, 2000));
        },
        [](Setup<Q> &s, std::size_t n) { s.q.start(s.nodes[s.rng() % n], 2000); });
}

// W4: requests that nearly always answer before their timeout: arm one with
// a random timeout, cancel another.
template <class Q>
void w4_cancel(benchmark::State &state)
{
    arming<Q>(
        state,
        [](Setup<Q> &s, std::size_t n) {
            for (std::size_t i = 0; i < n / 2; ++i)
                s.q.start(s.nodes[i], s.random(100, 5000));
        },
        [](Setup<Q> &s, std::size_t n) {
            s.q.start(s.nodes[s.rng() % n], s.random(100, 5000));
            s.q.kill(s.nodes[s.rng() % n]);
        });
}

// W5: n timers due on one tick, collected in one go; time per timer popped.
template <class Q>
void w5_burst(benchmark::State &state)
{
    std::size_t n = static_cast<std::size_t>(state.range(0));
    Setup<Q> s(n, state.range(1) != 0);
    for (auto _ : state) {
        state.PauseTiming();
        for (Node *node : s.nodes)
            s.q.start(node, 1);
        ++bench_now;
        state.ResumeTiming();
        while (Node *fired = s.q.pop())
            benchmark::DoNotOptimize(fired);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

// W6: how long until the next timer, with 1024 running.
template <class Q>
void w6_peek(benchmark::State &state)
{
    std::size_t n = static_cast<std::size_t>(state.range(0));
    Setup<Q> s(n, state.range(1) != 0);
    for (Node *node : s.nodes)
        s.q.start(node, s.random(1, 100000));
    for (auto _ : state)
        benchmark::DoNotOptimize(s.q.peek());
    state.SetItemsProcessed(state.iterations());
}

// ---- the walk beside a bare pointer chase --------------------------------

// n running timers; arming one more behind all of them walks every one.
// The timers are bare records, 32 bytes each, so that 512 fit in L1 and 16k
// in L2. Building the list arms in falling order: each goes in front.
struct WalkList {
    std::unique_ptr<stimer[]> store;
    running_timers list;
    stimer extra;
    explicit WalkList(std::size_t n, bool shuffled) : store(new stimer[n])
    {
        std::vector<std::size_t> order(n);
        for (std::size_t i = 0; i < n; ++i)
            order[i] = i;
        if (shuffled)
            std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
        bench_now = 0;
        stimer_init_running_timers(&list);
        stimer_init(&extra, 0, nullptr);
        for (std::size_t i = 0; i < n; ++i) {
            stimer *t = &store[order[i]];
            stimer_init(t, 0, nullptr);
            stimer_start(&list, t, static_cast<int32_t>(n - i));
        }
    }
};

void walk(benchmark::State &state)
{
    std::size_t n = static_cast<std::size_t>(state.range(0));
    WalkList w(n, state.range(1) != 0);
    for (auto _ : state) {
        stimer_start(&w.list, &w.extra, static_cast<int32_t>(n + 1));
        stimer_kill(&w.list, &w.extra);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

void chase(benchmark::State &state)
{
    std::size_t n = static_cast<std::size_t>(state.range(0));
    WalkList w(n, state.range(1) != 0);
    const stimer_link *head = &w.list.head;
    for (auto _ : state) {
        const stimer_link *p = head->next;
        while (p != head) {
            p = p->next;
            asm volatile("" : "+r"(p)); // keeps every step; costs no instruction
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

void orders(benchmark::internal::Benchmark *b, std::initializer_list<int64_t> sizes)
{
    for (int64_t n : sizes)
        for (int64_t shuffled : {0, 1})
            b->Args({n, shuffled});
    b->ArgNames({"n", "shuffled"});
}

template <class Q>
void register_all()
{
    std::string name = Q::name;
    orders(benchmark::RegisterBenchmark(("W1_few/" + name).c_str(), w1_few<Q>), {1, 4, 16, 64});
    orders(benchmark::RegisterBenchmark(("W2_identical/" + name).c_str(), w2_identical<Q>),
           {64, 1024, 16384, 262144});
    orders(benchmark::RegisterBenchmark(("W3_keepalive/" + name).c_str(), w3_keepalive<Q>), {1024});
    orders(benchmark::RegisterBenchmark(("W4_cancel/" + name).c_str(), w4_cancel<Q>), {1024});
    orders(benchmark::RegisterBenchmark(("W5_burst/" + name).c_str(), w5_burst<Q>), {1024});
    orders(benchmark::RegisterBenchmark(("W6_peek/" + name).c_str(), w6_peek<Q>), {1024});
}

} // namespace

int main(int argc, char **argv)
{
    register_all<DeltaList>();
    register_all<Heap>();
    register_all<MultiMap>();
    register_all<SortedList>();
    register_all<DurationQueues>();
#if HAVE_BOOST_INTRUSIVE
    register_all<BoostSet>();
#endif
    // Side by side, size by size.
    for (auto [n, shuffled] : {std::pair{512, 0}, {16384, 0}, {2097152, 1}}) {
        benchmark::RegisterBenchmark("Walk/stimer_walk", walk)->Args({n, shuffled})->ArgNames({"n", "shuffled"});
        benchmark::RegisterBenchmark("Walk/pointer_chase", chase)->Args({n, shuffled})->ArgNames({"n", "shuffled"});
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
