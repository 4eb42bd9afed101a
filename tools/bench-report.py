#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Turns the Google Benchmark JSON files of bench/stimer_peers,
bench/stimer_bench and bench/stimer_bench_lto into Markdown: stimer beside
libuv and libevent, with the crossover the run shows; then medians in ns
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
    """The run's context, and {name: (median ns per item, visits per arm)}; a
    benchmark run once has its one figure."""
    with open(path) as f:
        run = json.load(f)
    medians = OrderedDict()
    for b in run["benchmarks"]:
        if b.get("aggregate_name") == "median" or (b["run_type"] == "iteration" and b.get("repetitions") == 1):
            per_item = 1e9 / b["items_per_second"] if b.get("items_per_second") else b["cpu_time"]
            medians[re.sub(r"/iterations:\d+", "", b["run_name"])] = (per_item, b.get("visits_per_arm"))
    return run, medians


PEERS = {"P1_churn": "a few timers to many: re-arm a random one, a tick passes, expire what is due",
         "P2_arm": "arming idle timers with random timeouts, per arm (one run)",
         "P3_drain": "draining due timers with random timeouts, per timer",
         "P4_burst": "draining timers due on one tick, per timer",
         "P5_idle": "idle timeouts: renew a random connection, a tick passes, the idle expire and reconnect"}


def times(r):
    """A ratio as 2.50, or below 1 as 1/40."""
    return f"{r:.2f}" if r >= 1 else f"1/{1 / r:.0f}"


def peers(path):
    """stimer beside libuv and libevent, and the crossover."""
    run, loaded = load(path)
    medians = {name: m for name, (m, _) in loaded.items()}
    table = OrderedDict()
    for name, ns in medians.items():
        m = re.match(r"(P\d_\w+)/(\w+)/n:(\d+)", name)
        if m:
            table.setdefault((m.group(1), int(m.group(3))), OrderedDict())[m.group(2)] = ns
    print("### Beside libuv and libevent\n")
    print("CPU ns per operation (per timer in P2 to P4), median of 5 unless said; in brackets the "
          "peer's time over stimer's (above 1: stimer is faster). In P5 the base is "
          "`stimer_class`, and `stimer` is a timer per connection re-armed on every read.\n")
    for work, what in PEERS.items():
        rows = [(n, cells) for (w, n), cells in table.items() if w == work]
        if not rows:
            continue
        cols = list(rows[0][1])
        print(f"{work}, {what}:\n")
        print("| n | " + " | ".join(cols) + " |")
        print("|---|" + "---|" * len(cols))
        for n, cells in rows:
            base = cells[cols[0]]
            print(f"| {n} | " + " | ".join(
                f"{cells[c]:.1f}" + ("" if c == cols[0] else f" ({times(cells[c] / base)})") for c in cols) + " |")
        print()
    clock = medians.get("clock/every_column")
    if clock:
        print(f"One read of the clock that every column reads costs {clock:.1f} ns here. "
              f"Bytes per timer: {run['context'].get('bytes_per_timer', '?')}.\n")

    def ratio(work, n, peer, base="stimer"):
        cells = table.get((work, n), {})
        return cells[peer] / cells[base] if peer in cells and base in cells else None

    churn = sorted(n for (w, n) in table if w == "P1_churn")
    peer_cols = [c for c in ("libuv", "libevent") if any(c in table[k] for k in table)]
    faster = [n for n in churn if all((ratio("P1_churn", n, p) or 0) > 1 for p in peer_cols)]
    slower = [n for n in churn if all((ratio("P1_churn", n, p) or 2) < 1 for p in peer_cols)]
    print("What this run shows:\n")
    if faster:
        print(f"- With random timeouts, stimer is faster than {' and '.join(peer_cols)} up to "
              f"{max(faster)} timers (P1), and slower from {min(slower)} timers"
              + (f", {1 / max(ratio('P1_churn', churn[-1], p) for p in peer_cols):.0f} to "
                 f"{1 / min(ratio('P1_churn', churn[-1], p) for p in peer_cols):.0f} times at "
                 f"{churn[-1]}." if slower else "."))
    arm = [ratio("P2_arm", n, p) for (w, n) in table if w == "P2_arm" for p in peer_cols]
    if arm and all(arm):
        print(f"- Arming thousands of timers with random timeouts, stimer is "
              f"{1 / max(arm):.0f} to {1 / min(arm):.0f} times slower (P2): each arming walks "
              f"the timers due sooner. Such a program wants a heap: libuv or libevent.")
    drains = [ratio(w, n, p) for (w, n) in table if w in ("P3_drain", "P4_burst") for p in peer_cols]
    if drains and all(drains):
        print(f"- Expiring, stimer is {min(drains):.0f} to {max(drains):.0f} times faster on every "
              f"drain and burst (P3, P4).")
    idle = [(n, {p: ratio("P5_idle", n, p, "stimer_class") for p in table[("P5_idle", n)]})
            for (w, n) in table if w == "P5_idle"]
    if idle:
        peers_idle = [p for p in idle[0][1] if p.startswith("lib")]
        print(f"- With one timeout through `stimer_class`, stimer is faster at any size (P5): "
              + ", ".join(f"{min(r[p] for _, r in idle):.1f} to {max(r[p] for _, r in idle):.1f} "
                          f"times {p}" for p in peers_idle) + ".")
    print()


def main(peers_path, path, lto_path=None):
    peers(peers_path)
    print("### Beside the structures of bench/baselines.h\n")
    run, both = load(path)
    lto = load(lto_path)[1] if lto_path else {}
    medians = {name: m for name, (m, _) in both.items()}
    visits = {name: v for name, (_, v) in both.items() if v is not None}
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
