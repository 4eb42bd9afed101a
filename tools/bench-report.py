#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Turns the Google Benchmark JSON files of bench/stimer_peers,
bench/stimer_bench and bench/stimer_bench_lto into Markdown: stimer's list,
queue and class beside libuv and libevent, with each figure's clock reads
and polls, the longest single operation and the crossovers the run shows;
then medians in ns
per operation beside the structures of bench/baselines.h, each with its
ratio to the delta list of the same run; the walk beside the pointer chase;
and W1 under LTO beside the sorted list.

    bench-report.py [--write FILE] peers.json results.json [results_lto.json]

With --write, the report replaces what stands between the lines
"<!-- report: begin -->" and "<!-- report: end -->" of FILE."""
import contextlib
import io
import json
import re
import sys
from collections import OrderedDict


def load(path):
    """The run's context, and {name: (median ns per item, the median's
    record, with its counters)}; a benchmark run once has its one figure."""
    with open(path) as f:
        run = json.load(f)
    medians = OrderedDict()
    for b in run["benchmarks"]:
        if b.get("aggregate_name") == "median" or (b["run_type"] == "iteration" and b.get("repetitions") == 1):
            per_item = 1e9 / b["items_per_second"] if b.get("items_per_second") else b["cpu_time"]
            medians[re.sub(r"/iterations:\d+", "", b["run_name"])] = (per_item, b)
    return run, medians


PEERS = {"P1_churn": "a few timers to many: re-arm a random one, a tick passes, expire what is due",
         "P2_arm": "arming idle timers with random timeouts, per arm (one run at 100,000)",
         "P3_drain": "draining due timers with random timeouts, per timer",
         "P4_burst": "draining timers due on one tick, per timer",
         "P5_idle": "idle timeouts: renew a random connection, a tick passes, the idle expire and reconnect",
         "P6_mixed": "one loop: 300 timers on their own timeouts, 2 x 100 connections on two shared "
                     "timeouts, 8 one-off timers"}
PEER_COLUMNS = ("libuv", "libevent", "libevent_common")


def times(r):
    """A ratio, as 2.50 or 0.0012: always the peer's time over stimer's."""
    return f"{r:.2f}" if r >= 0.01 else f"{r:.2g}"


def peers(path):
    """stimer's structures beside libuv and libevent, and the crossovers."""
    run, loaded = load(path)
    table = OrderedDict()
    for name, (ns, record) in loaded.items():
        m = re.match(r"(P\d_\w+)/(\w+)/n:(\d+)", name)
        if m:
            table.setdefault((m.group(1), int(m.group(3))), OrderedDict())[m.group(2)] = (ns, record)
    print("### Beside libuv and libevent\n")
    print("CPU ns per operation (per timer in P2 to P4), median of 5 unless said. In brackets "
          "after a stimer column, the faster peer's time over that column's: above 1, stimer is "
          "faster than both. Then clock reads and polls for events per operation (`r`, `p`); "
          "every poll returns at once (see above).\n")
    for work, what in PEERS.items():
        rows = [(n, cells) for (w, n), cells in table.items() if w == work]
        if not rows:
            continue
        cols = list(rows[0][1])
        print(f"{work}, {what}:\n")
        print("| n | " + " | ".join(cols) + " |")
        print("|---|" + "---|" * len(cols))
        for n, cells in rows:
            peer = min((cells[c][0] for c in cells if c in PEER_COLUMNS), default=None)

            def cell(c):
                ns, record = cells[c]
                ratio = "" if c in PEER_COLUMNS or peer is None else f" ({times(peer / ns)})"
                return (f"{ns:.1f}{ratio} {record.get('clock_reads', 0):.1f}r "
                        f"{record.get('polls', 0):.0f}p")
            print(f"| {n} | " + " | ".join(cell(c) for c in cols) + " |")
        print()

    worst = [(w, n, cells) for (w, n), cells in table.items()
             if any("worst_ns" in r for _, r in cells.values())]
    if worst:
        print("The longest single operation, in µs on the real clock: after the timed loop, "
              "10,000 more operations of P1 one by one, and one more fill of P2 arm by arm; "
              "the median over the repetitions. It includes whatever the machine did meanwhile.\n")
        cols = list(worst[0][2])
        print("| workload | n | " + " | ".join(cols) + " |")
        print("|---|---|" + "---|" * len(cols))
        for w, n, cells in worst:
            print(f"| {w} | {n} | " + " | ".join(f"{cells[c][1]['worst_ns'] / 1000:.1f}" if c in cells
                                                  else "" for c in cols) + " |")
        print()

    clock = loaded.get("clock/every_column")
    if clock:
        print(f"One read of the clock that every column reads costs {clock[0]:.1f} ns here. "
              f"Bytes per timer: {run['context'].get('bytes_per_timer', '?')}.\n")

    def ratio(work, n, col):
        """The faster peer's time over col's, or None."""
        cells = table.get((work, n), {})
        peer = [cells[c][0] for c in cells if c in PEER_COLUMNS]
        return min(peer) / cells[col][0] if peer and col in cells else None

    def span(values):
        values = [v for v in values if v is not None]
        if not values:
            return "?"
        return times(values[0]) if min(values) == max(values) else f"{times(min(values))} to {times(max(values))}"

    def sizes(work):
        return sorted(n for (w, n) in table if w == work)

    print("What this run shows (each figure: the faster peer's time over stimer's):\n")
    churn = sizes("P1_churn")
    if churn:
        ahead = [n for n in churn if (ratio("P1_churn", n, "stimer") or 0) > 1]
        list_ends = max((n for n in churn if all((ratio("P1_churn", k, "stimer") or 0) > 1
                                                  for k in churn if k <= n)), default=None)
        print(f"- A timer each (the list) is ahead of both peers up to {list_ends} timers (P1: "
              f"{span(ratio('P1_churn', n, 'stimer') for n in churn if n <= (list_ends or 0))}), "
              f"and behind from {min((n for n in churn if n not in ahead), default='-')} "
              f"({span(ratio('P1_churn', n, 'stimer') for n in churn if n not in ahead)}): each "
              f"arming walks the timers due sooner.")
        queue_wins = [n for n in churn if (ratio("P1_churn", n, "stimer_queue") or 0) > 1]
        beats_list = [n for n in churn if table[("P1_churn", n)].get("stimer_queue", (1e99,))[0]
                      < table[("P1_churn", n)]["stimer"][0]]
        print(f"- The queue is ahead of both peers at "
              f"{'every size' if queue_wins == churn else ', '.join(map(str, queue_wins)) or 'no size'} "
              f"of P1 ({span(ratio('P1_churn', n, 'stimer_queue') for n in churn)}), and ahead of "
              f"the list from {min(beats_list, default='-')} timers.")
    for work, label in (("P2_arm", "Arming"), ("P3_drain", "Draining"), ("P4_burst", "A burst")):
        ns = sizes(work)
        if ns:
            print(f"- {label} ({work}): the list {span(ratio(work, n, 'stimer') for n in ns)}, "
                  f"the queue {span(ratio(work, n, 'stimer_queue') for n in ns)}.")
    idle = sizes("P5_idle")
    if idle:
        print(f"- One shared timeout (P5): a `stimer_class` "
              f"{span(ratio('P5_idle', n, 'stimer_class') for n in idle)}, the queue "
              f"{span(ratio('P5_idle', n, 'stimer_queue') for n in idle)}, a timer each "
              f"{span(ratio('P5_idle', n, 'stimer') for n in idle)}.")
    mixed = sizes("P6_mixed")
    if mixed:
        print(f"- The mixed loop (P6), one list with a queue, two classes and plain timers: "
              f"{span(ratio('P6_mixed', n, 'stimer_mixed') for n in mixed)}.")
    print()


def main(peers_path, path, lto_path=None):
    peers(peers_path)
    print("### Beside the structures of bench/baselines.h\n")
    run, both = load(path)
    lto = {name: (m, r.get("visits_per_arm")) for name, (m, r) in load(lto_path)[1].items()} if lto_path else {}
    medians = {name: m for name, (m, _) in both.items()}
    visits = {name: r["visits_per_arm"] for name, (_, r) in both.items() if "visits_per_arm" in r}
    # The LTO build's own column; its other structures stay in their table.
    medians.update({name: m for name, (m, _) in lto.items() if "/stimer_lto/" in name})

    ctx = run["context"]
    print(f"Run on {ctx.get('host_name', '?')}: {ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz, "
          f"caches {', '.join(str(c['size'] // 1024) + ' KiB L' + str(c['level']) + ' ' + c['type'] for c in ctx['caches'])}; "
          f"{ctx['date']}.\n")

    rows = OrderedDict()
    structures = []
    for name in medians:
        m = re.match(r"(W\d_\w+)/(\w+)/n:(\d+)/shuffled:(\d)", name)
        if not m:
            continue
        work, struct, n, shuffled = m.groups()
        if struct not in structures:
            structures.append(struct)
        rows.setdefault((work, int(n), shuffled), {})[struct] = (medians[name], visits.get(name))

    print("ns per operation, median of 5; in brackets the ratio to stimer in the same run "
          "(above 1: slower than stimer). `harness` is the W1 loop with no structure in it, "
          "which every W1 figure includes. `stimer_lto` is libstimer.a linked with -flto, "
          "from bench/stimer_bench_lto run right after. "
          "`visits` is timers visited per arm by the walk.\n")
    print("| workload | n | addresses | " + " | ".join(structures) + " | visits |")
    print("|---|---|---|" + "---|" * (len(structures) + 1))
    for (work, n, shuffled), cells in sorted(rows.items(), key=lambda kv: (kv[0][0], kv[0][1], kv[0][2])):
        base = cells.get("stimer", (None,))[0]
        out = []
        for s in structures:
            if s not in cells:
                out.append("")
                continue
            ns = cells[s][0]
            out.append(f"{ns:.1f}" if s in ("stimer", "harness") else f"{ns:.1f} ({ns / base:.2f})")
        v = cells.get("sorted_list", (None, None))[1]
        visited = f"{v:.1f}" if v is not None and work < "W5" else ""
        where = "shuffled" if shuffled == "1" else "in order"
        print(f"| {work} | {n} | {where} | " + " | ".join(out) + f" | {visited} |")

    print("\nThe arming walk beside a bare pointer chase over the same timers in the same order, "
          "ns per timer visited:\n")
    print("| n | addresses | walk | chase | walk/chase |")
    print("|---|---|---|---|---|")
    for name, ns in medians.items():
        m = re.match(r"Walk/stimer_walk/n:(\d+)/shuffled:(\d)", name)
        if m:
            chase = medians[name.replace("stimer_walk", "pointer_chase")]
            print(f"| {m.group(1)} | {'shuffled' if m.group(2) == '1' else 'in order'} | "
                  f"{ns:.3f} | {chase:.3f} | {ns / chase:.3f} |")


    if lto:
        print("\nW1 in the LTO build, every structure inlined into the same loop: ns per "
              "operation, median of 5, and how many times faster stimer_lto is "
              "(the other's time over stimer_lto's):\n")
        print("| n | addresses | stimer_lto | sorted_list | vs sorted_list |")
        print("|---|---|---|---|---|")
        for name, (ns, _) in lto.items():
            m = re.match(r"W1_few/stimer_lto/n:(\d+)/shuffled:(\d)", name)
            if m:
                other = lto[name.replace("stimer_lto", "sorted_list")][0]
                print(f"| {m.group(1)} | {'shuffled' if m.group(2) == '1' else 'in order'} | {ns:.1f} | "
                      f"{other:.1f} | {other / ns:.2f} |")


if __name__ == "__main__":
    args = sys.argv[1:]
    if args[:1] != ["--write"]:
        main(*args)
        sys.exit(0)
    target, args = args[1], args[2:]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        main(*args)
    text = open(target).read()
    begin, end = "<!-- report: begin -->\n", "<!-- report: end -->"
    if begin not in text or end not in text:
        sys.exit(f"{target} has no '{begin.strip()}' and '{end}' lines to write the report between")
    head, rest = text.split(begin, 1)
    open(target, "w").write(head + begin + out.getvalue() + end + rest.split(end, 1)[1])
    print(f"wrote the report into {target}")
