#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Turns the Google Benchmark JSON files of bench/stimer_peers,
bench/stimer_bench and bench/stimer_bench_lto into Markdown and a chart.

The Markdown: stimer's list, queue and class beside libev, libuv and
libevent, with each figure's clock reads, polls and early wakes, the
longest single operation, the floor of memory, instructions per operation
(--counts, from tools/peer-counts.sh) and the crossovers the run shows;
then medians in ns per operation beside the structures of
bench/baselines.h, each with its ratio to the delta list of the same run;
the walk beside the pointer chase; and W1 under LTO beside the sorted list.
The chart: an SVG drawn with matplotlib of the churn, arming, idle and
re-arming workloads, log-log, a line a column.

    bench-report.py [--write MD] [--chart SVG] [--counts JSON] peers.json results.json [results_lto.json]
    bench-report.py --check MD SVG [--counts JSON] [peers.json results.json [results_lto.json]]

With --write, the report replaces what stands between the lines
"<!-- report: begin -->" and "<!-- report: end -->" of MD. Both name the
run, a hash of the JSON files; --check fails unless MD and SVG name the same
run and, given the JSON files, unless they are what those files give."""
import argparse
import contextlib
import hashlib
import io
import json
import re
import sys
import textwrap
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
                     "timeouts, 8 one-off timers",
         "P7_rearm": "every timer re-armed with a new random timeout each pass, per re-arm"}
PEER_COLUMNS = ("libev", "libuv", "libevent", "libevent_common")
COUNTS = None  # {column: {op: instructions}} and n, from --counts


def times(r):
    """A ratio, as 2.50 or 0.0012: always the peer's time over stimer's."""
    return f"{r:.2f}" if r >= 0.01 else f"{r:.2g}"


def peers_table(path):
    """{(workload, n): {column: (ns, record)}} of bench/stimer_peers."""
    run, loaded = load(path)
    table = OrderedDict()
    for name, (ns, record) in loaded.items():
        m = re.match(r"(P\d_\w+)/(\w+)/n:(\d+)", name)
        if m:
            table.setdefault((m.group(1), int(m.group(3))), OrderedDict())[m.group(2)] = (ns, record)
    return run, loaded, table


def peers(path):
    """stimer's structures beside libev, libuv and libevent, and the crossovers."""
    run, loaded, table = peers_table(path)
    print("### Beside libev, libuv and libevent\n")
    print("CPU ns per operation (per timer in P2 to P4 and P7), median of 5 unless said. In "
          "brackets after a stimer column, the fastest peer's time over that column's: above 1, "
          "stimer is faster than all. Then clock reads and polls for events per operation (`r`, "
          "`p`), every poll returning at once (see above), and for a queue its timer's early "
          "wakes, which find nothing due (`w`).\n")
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
                if c not in cells:
                    return ""
                ns, record = cells[c]
                ratio = "" if c in PEER_COLUMNS or peer is None else f" ({times(peer / ns)})"
                wakes = record.get("early_wakes", 0)
                return (f"{ns:.1f}{ratio} {record.get('clock_reads', 0):.1f}r "
                        f"{record.get('polls', 0):.0f}p" + (f" {wakes:.2g}w" if wakes else ""))
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
    chase, loads = loaded.get("floor/pointer_chase"), loaded.get("floor/random_loads")
    if chase and loads:
        rearm = table.get(("P7_rearm", max((n for w, n in table if w == "P7_rearm"), default=0)), {})
        print(f"The floor of memory in this run, over 2^20 nodes of a cache line in a random order: "
              f"a dependent pointer chase costs {chase[0]:.1f} ns a node, and independent random "
              f"loads {loads[0]:.2f} ns a load." +
              (f" P7's re-arm by the queue at its largest size costs "
               f"{times(rearm['stimer_queue'][0] / loads[0])} independent loads."
               if "stimer_queue" in rearm else "") + "\n")
    if COUNTS:
        ops = ("arm", "rearm", "cancel", "expire")
        print(f"Instructions per operation at {COUNTS['n']:,} timers, from callgrind "
              "(`tools/peer-counts.sh`), the driver's own work included, the same for every "
              "column: arming idle timers with random timeouts, re-arming armed ones, cancelling "
              "them, and expiring each in a full drain.\n")
        print("| column | " + " | ".join(ops) + " |")
        print("|---|" + "---|" * len(ops))
        for column, counts in COUNTS["columns"].items():
            print(f"| {column} | " + " | ".join(f"{counts[op]:.0f}" for op in ops) + " |")
        print()

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

    print("What this run shows (each figure: the fastest peer's time over stimer's):\n")
    churn = sizes("P1_churn")
    if churn:
        ahead = [n for n in churn if (ratio("P1_churn", n, "stimer") or 0) > 1]
        listed = [n for n in churn if "stimer" in table[("P1_churn", n)]]
        list_ends = max((n for n in churn if all((ratio("P1_churn", k, "stimer") or 0) > 1
                                                  for k in churn if k <= n)), default=None)
        print(f"- A timer each (the list) is ahead of every peer up to {list_ends} timers (P1: "
              f"{span(ratio('P1_churn', n, 'stimer') for n in churn if n <= (list_ends or 0))}), "
              f"and behind from {min((n for n in listed if n not in ahead), default='-')} "
              f"({span(ratio('P1_churn', n, 'stimer') for n in listed if n not in ahead)}): each "
              f"arming walks the timers due sooner.")
        queue_wins = [n for n in churn if (ratio("P1_churn", n, "stimer_queue") or 0) > 1]
        beats_list = [n for n in churn if table[("P1_churn", n)].get("stimer_queue", (1e99,))[0]
                      < table[("P1_churn", n)].get("stimer", (0,))[0]]
        print(f"- The queue is ahead of every peer at "
              f"{'every size' if queue_wins == churn else ', '.join(map(str, queue_wins)) or 'no size'} "
              f"of P1 ({span(ratio('P1_churn', n, 'stimer_queue') for n in churn)}), and ahead of "
              f"the list from {min(beats_list, default='-')} timers.")
    for work, label in (("P2_arm", "Arming"), ("P3_drain", "Draining"), ("P4_burst", "A burst"),
                        ("P7_rearm", "Re-arming every timer each pass")):
        ns = sizes(work)
        if ns:
            listed = [n for n in ns if "stimer" in table[(work, n)]]
            the_list = (f"the list {span(ratio(work, n, 'stimer') for n in listed)} "
                        f"(to {max(listed)} timers), " if listed else "")
            print(f"- {label} ({work}): {the_list}"
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


def run_id(paths):
    """The run the report and the chart come from: the start of the SHA-256
    of its JSON files, the counts' among them."""
    digest = hashlib.sha256()
    for path in [p for p in paths if p] + ([COUNTS["path"]] if COUNTS else []):
        with open(path, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()[:12]


def environment(path):
    """CPU, compiler, flags and the peers' versions, from the run's context."""
    ctx = load(path)[0]["context"]
    return (f"{ctx.get('cpu', '?')}, {ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz; "
            f"{ctx.get('compiler', '?')} {ctx.get('flags', '')}".rstrip() +
            f"; libev {ctx.get('libev') or 'not installed'}, libuv {ctx.get('libuv') or 'not installed'}, "
            f"libevent {ctx.get('libevent') or 'not installed'}")


def main(peers_path, path, lto_path=None):
    paths = [peers_path, path, lto_path]
    print(f"Run `{run_id(paths)}` on {environment(peers_path)}. Every ratio is another's time over "
          "stimer's, as 2.50 or 0.0012: above 1, stimer is faster.\n")
    peers(peers_path)
    print("### Beside the structures of bench/baselines.h\n")
    run, both = load(path)
    lto = {name: (m, r.get("visits_per_arm")) for name, (m, r) in load(lto_path)[1].items()} if lto_path else {}
    medians = {name: m for name, (m, _) in both.items()}
    visits = {name: r["visits_per_arm"] for name, (_, r) in both.items() if "visits_per_arm" in r}
    # The LTO build's own column; its other structures stay in their table.
    medians.update({name: m for name, (m, _) in lto.items() if "/stimer_lto/" in name})

    ctx = run["context"]
    print(f"Caches {', '.join(str(c['size'] // 1024) + ' KiB L' + str(c['level']) + ' ' + c['type'] for c in ctx['caches'])}.\n")

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
            out.append(f"{ns:.1f}" if s in ("stimer", "harness") else f"{ns:.1f} ({times(ns / base)})")
        v = cells.get("sorted_list", (None, None))[1]
        visited = f"{v:.1f}" if v is not None and work < "W5" else ""
        where = "shuffled" if shuffled == "1" else "in order"
        print(f"| {work} | {n} | {where} | " + " | ".join(out) + f" | {visited} |")

    print("\nThe arming walk beside a bare pointer chase over the same timers in the same order, "
          "ns per timer visited:\n")
    print("| n | addresses | walk | chase | chase/walk |")
    print("|---|---|---|---|---|")
    for name, ns in medians.items():
        m = re.match(r"Walk/stimer_walk/n:(\d+)/shuffled:(\d)", name)
        if m:
            chase = medians[name.replace("stimer_walk", "pointer_chase")]
            print(f"| {m.group(1)} | {'shuffled' if m.group(2) == '1' else 'in order'} | "
                  f"{ns:.3f} | {chase:.3f} | {times(chase / ns)} |")


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
                      f"{other:.1f} | {times(other / ns)} |")


PANELS = (("P1_churn", "Churn: re-arm one timer, a tick passes, expire what is due"),
          ("P2_arm", "Arming idle timers with random timeouts"),
          ("P5_idle", "Idle connections on one shared timeout"),
          ("P7_rearm", "Re-arming every timer each pass"))
SERIES = (("stimer", "a stimer each (the list)", "#1f77b4", "-"),
          ("stimer_queue", "stimer_queue", "#2ca02c", "-"),
          ("stimer_class", "stimer_class", "#9467bd", "-"),
          ("libev", "libev", "#8c564b", "-."),
          ("libuv", "libuv", "#d62728", "--"),
          ("libevent", "libevent (idle: a common timeout)", "#ff7f0e", ":"))


def chart(peers_path, paths):
    """The SVG, drawn with matplotlib: ns per operation against timers,
    log-log, a panel a workload and a line a column. Fixed ids and no date,
    so that the same JSON gives the same bytes."""
    try:
        import matplotlib
    except ImportError:
        sys.exit(f"{sys.executable} has no matplotlib to draw the chart with: "
                 "apt-get install python3-matplotlib, or pip install matplotlib")
    matplotlib.use("svg")
    import matplotlib.pyplot as plt
    matplotlib.rcParams.update({"svg.hashsalt": "stimer", "svg.fonttype": "none",
                                "font.size": 9, "font.family": "DejaVu Sans"})
    _, _, table = peers_table(peers_path)
    fig, axes = plt.subplots(1, len(PANELS), figsize=(4 * len(PANELS), 4.2))
    for ax, (work, title) in zip(axes, PANELS):
        rows = sorted((n, cells) for (wk, n), cells in table.items() if wk == work)
        for column, name, colour, style in SERIES:
            line = [(n, cells[c][0]) for n, cells in rows for c in cells
                    if c == column or (column == "libevent" and c == "libevent_common")]
            if line:
                ax.plot(*zip(*line), style, color=colour, marker="o", markersize=3, label=name)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(title, fontsize=9)
        ax.set_xlabel("timers")
        ax.grid(True, which="major", color="#ddd")
    axes[0].set_ylabel("ns per operation (CPU, median of 5)")
    handles, labels = axes[0].get_legend_handles_labels()
    for ax in axes[1:]:
        for h, l in zip(*ax.get_legend_handles_labels()):
            if l not in labels:
                handles.append(h)
                labels.append(l)
    fig.legend(handles, labels, loc="lower center", bbox_to_anchor=(0.5, 0.05), ncol=len(labels),
               frameon=False)
    caption = (f"Lower is better. Run {run_id(paths)} of cmake --workflow --preset bench on "
               f"{environment(peers_path)}.")
    fig.text(0.01, 0.005, textwrap.fill(caption, 190), fontsize=7, color="#333", va="bottom")
    fig.subplots_adjust(left=0.05, right=0.99, top=0.92, bottom=0.22, wspace=0.25)
    out = io.StringIO()
    fig.savefig(out, format="svg", metadata={"Date": None, "Creator": None})
    plt.close(fig)
    return out.getvalue()


def rendered(jsons):
    """The report as main prints it."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        main(*jsons)
    return out.getvalue()


def replace_report(text, report, target):
    begin, end = "<!-- report: begin -->\n", "<!-- report: end -->"
    if begin not in text or end not in text:
        sys.exit(f"{target} has no '{begin.strip()}' and '{end}' lines to write the report between")
    head, rest = text.split(begin, 1)
    return head + begin + report + end + rest.split(end, 1)[1]


if __name__ == "__main__":
    cli = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    cli.add_argument("--write", metavar="MD", help="write the report into this Markdown file")
    cli.add_argument("--chart", metavar="SVG", help="write the chart into this file")
    cli.add_argument("--check", nargs=2, metavar=("MD", "SVG"),
                     help="fail unless both come from one run (of these JSON files, when given)")
    cli.add_argument("--counts", metavar="JSON", help="instructions per operation, from tools/peer-counts.sh")
    cli.add_argument("json", nargs="*", help="peers.json results.json [results_lto.json]")
    args = cli.parse_args()
    if args.counts:
        with open(args.counts) as f:
            COUNTS = {**json.load(f), "path": args.counts}
    if args.check:
        md, svg = (open(f).read() for f in args.check)
        ids = [re.search(r"Run `?([0-9a-f]{12})", text) for text in (md, svg)]
        if not all(ids) or ids[0].group(1) != ids[1].group(1):
            sys.exit(f"FAIL {args.check[1]} is not the chart of the run in {args.check[0]} "
                     f"(runs {[m and m.group(1) for m in ids]}): run cmake --workflow --preset bench, "
                     "which writes both")
        if args.json:
            if replace_report(md, rendered(args.json), args.check[0]) != md or chart(args.json[0], args.json) != svg:
                sys.exit(f"FAIL {args.check[0]} and {args.check[1]} are not what {' '.join(args.json)} give: "
                         "run cmake --workflow --preset bench")
        print(f"ok   {args.check[0]} and {args.check[1]} come from run {ids[0].group(1)}")
        sys.exit(0)
    if len(args.json) not in (2, 3):
        cli.error("give peers.json and results.json, and results_lto.json if there is one")
    if args.chart:
        with open(args.chart, "w") as f:
            f.write(chart(args.json[0], args.json))
        print(f"wrote the chart into {args.chart}")
    if not args.write:
        main(*args.json)
        sys.exit(0)
    text = open(args.write).read()
    open(args.write, "w").write(replace_report(text, rendered(args.json), args.write))
    print(f"wrote the report into {args.write}")
