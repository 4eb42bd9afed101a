#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Turns the Google Benchmark JSON files of bench/stimer_bench and
bench/stimer_bench_lto into Markdown: medians in ns per operation, each with
its ratio to the delta list of the same run, then the walk beside the pointer
chase, then W1 under LTO beside the structures it competes with there.

    bench-report.py results.json [results_lto.json]"""
import json
import re
import sys
from collections import OrderedDict


def load(path):
    """The run's context, and {name: (median ns per item, visits per arm)}."""
    with open(path) as f:
        run = json.load(f)
    medians = OrderedDict()
    for b in run["benchmarks"]:
        if b.get("aggregate_name") == "median":
            per_item = 1e9 / b["items_per_second"] if b.get("items_per_second") else b["cpu_time"]
            medians[b["run_name"]] = (per_item, b.get("visits_per_arm"))
    return run, medians


def main(path, lto_path=None):
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


    rows7 = [re.match(r"W7_idle/stimer/n:(\d+)/shuffled:(\d)", k) for k in medians]
    rows7 = [m.groups() for m in rows7 if m]
    if rows7:
        print("\nW7, idle timeouts, ns per read: one stimer per connection re-armed on each read "
              "(naive), the FIFO pattern with one stimer (pattern), the binary heap and the "
              "per-duration FIFO queues; the last column is the pattern's time over the FIFO "
              "queues':\n")
        print("| n | addresses | naive | pattern | binary_heap | per_duration_fifo | pattern/fifo |")
        print("|---|---|---|---|---|---|---|")
        for n, shuffled in rows7:
            key = f"W7_idle/{{}}/n:{n}/shuffled:{shuffled}"
            t = {s: medians[key.format(s)] for s in ("stimer", "stimer_fifo", "binary_heap", "per_duration_fifo")}
            print(f"| {n} | {'shuffled' if shuffled == '1' else 'in order'} | {t['stimer']:.0f} | "
                  f"{t['stimer_fifo']:.1f} | {t['binary_heap']:.1f} | {t['per_duration_fifo']:.1f} | "
                  f"{t['stimer_fifo'] / t['per_duration_fifo']:.2f} |")

    if lto:
        print("\nW1 in the LTO build, every structure inlined into the same loop: ns per "
              "operation, median of 5, and how many times faster stimer_lto is "
              "(the other's time over stimer_lto's):\n")
        print("| n | addresses | stimer_lto | sorted_list | binary_heap | vs sorted_list | vs binary_heap |")
        print("|---|---|---|---|---|---|---|")
        for name, (ns, _) in lto.items():
            m = re.match(r"W1_few/stimer_lto/n:(\d+)/shuffled:(\d)", name)
            if m:
                other = {s: lto[name.replace("stimer_lto", s)][0] for s in ("sorted_list", "binary_heap")}
                print(f"| {m.group(1)} | {'shuffled' if m.group(2) == '1' else 'in order'} | {ns:.1f} | "
                      f"{other['sorted_list']:.1f} | {other['binary_heap']:.1f} | "
                      f"{other['sorted_list'] / ns:.2f} | {other['binary_heap'] / ns:.2f} |")


if __name__ == "__main__":
    main(*sys.argv[1:])
