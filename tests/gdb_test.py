#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""The gdb extension, as installed, against the header's walks.

    gdb_test.py <walk_target> <build dir> <work dir>

It installs the library and the extension into <work dir>, runs
walk_target on that install under gdb with the manual's one step to trust
the extension, and stops it at walk_target_ready(). There, and again on a
core written with gcore, `stimer list`, `class` and `queue` must give the
timers, members and entries that the program printed through the walks of
the headers, with the same firing times and deadlines; `stimer check` must
pass a sound list and name the first fault of a broken one in one line; and
the pretty-printers must summarise each record. Exits 77 without gdb."""
import os
import re
import shutil
import subprocess
import sys

MANY = 100_000
failures = []


def check(ok, what, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (f"\n  {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def expected(path):
    """{section: [(address, tick)]} of what walk_target printed, and its now."""
    out, section, now = {}, None, None
    for line in open(path):
        kind, name, *rest = line.split()
        if kind in ("list", "class", "queue"):
            section = f"{kind} {name}"
            out[section] = []
        elif kind == "now":
            now = int(name)
        else:
            out[section].append((int(name, 16), int(rest[-1])))
    return out, now


def sections(text):
    """{command: its output} from the markers echoed between commands."""
    return dict(re.findall(r"^=== (.+?)\n(.*?)(?=^=== |\Z)", text, flags=re.M | re.S))


def found(output):
    """[(address, tick)] from the lines of stimer list, class or queue."""
    return [(int(a, 16), int(t)) for a, t in
            re.findall(r"^  #\d+ +(0x[0-9a-f]+) .*?(?:fires|deadline) (-?\d+)", output, flags=re.M)]


def gdb(prefix, *args):
    trust = os.path.join(prefix, "share", "gdb", "auto-load")
    return subprocess.run(["gdb", "--batch", "-nx",
                           # the manual's one step, as lines of ~/.gdbinit
                           "-iex", f"add-auto-load-safe-path {trust}",
                           "-iex", f"add-auto-load-scripts-directory {trust}", *args],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)


COMMANDS = ["stimer list empty", "stimer list one", "stimer list wrap", "stimer list &many",
            "stimer list loop", "stimer class idle", "stimer queue &retries", "stimer check many",
            "stimer check cycle", "stimer list cycle", "stimer check wild", "stimer list wild",
            "stimer list one --now 100", "stimer list many --limit 1000", "print one", "print empty",
            "print one_timer", "stimer check one_timer", "stimer check &idle_timer",
            "stimer check cycle_timers[2]", "print idle", "print retries", "print cycle", "info auto-load python-scripts"]


def run_commands():
    args = []
    for command in COMMANDS:
        args += ["-ex", f"echo === {command}\\n", "-ex", command]
    return args


def judge(where, text, want, now):
    got = sections(text)
    check("Traceback" not in text and "Python Exception" not in text,
          f"{where}: no Python traceback", text[-2000:])
    scripts = got.get("info auto-load python-scripts", "")
    check(re.search(r"^Yes\s+\S*libstimer\.so\.[0-9.]+-gdb\.py", scripts, flags=re.M) is not None,
          f"{where}: gdb loaded the installed extension for libstimer.so", scripts)
    for command, section in (("stimer list empty", "list empty"), ("stimer list one", "list one"),
                             ("stimer list wrap", "list wrap"), ("stimer list &many", "list many"),
                             ("stimer list loop", "list loop"), ("stimer class idle", "class idle"),
                             ("stimer queue &retries", "queue retries")):
        output = got.get(command, "")
        check(found(output) == want[section] and (want[section] or " 0 timers," in output),
              f"{where}: {command} gives the {len(want[section])} of the C walk, in its order",
              output[:1500])
    check(min(t for _, t in want["list wrap"]) < 1 << 32 < max(t for _, t in want["list wrap"]),
          "the list wrap spans the 32-bit wrap of the tick count")
    check(f", now {now}" in got.get("stimer list one", "") if where == "live" else
          ", now " not in got.get("stimer list one", ""),
          f"{where}: the ticks from now {'come from TickGetCount' if where == 'live' else 'are left out'}",
          got.get("stimer list one", ""))
    check("(now-" in got.get("stimer list one --now 100", "") or
          "(now+" in got.get("stimer list one --now 100", ""),
          f"{where}: --now gives the ticks from now", got.get("stimer list one --now 100", ""))
    for command, verdict in (("stimer check many", f"sound, {MANY} timers"),
                             ("stimer check one_timer", "sound, running"),
                             ("stimer check &idle_timer", "sound, idle")):
        check(got.get(command, "").strip().endswith(verdict), f"{where}: {command} says {verdict}",
              got.get(command, ""))
    for command, report in (("stimer check cycle", r"timer #3 at 0x[0-9a-f]+ was visited before: the links form a cycle"),
                            ("stimer list cycle", r"timer #3 at 0x[0-9a-f]+ was visited before"),
                            ("stimer check wild", r"timer #2 at 0x10 cannot be read: a wild pointer"),
                            ("stimer list wild", r"timer #2 at 0x10 cannot be read"),
                            ("stimer list many --limit 1000", r"more than 1000 timers: cut short"),
                            ("stimer check cycle_timers[2]",
                             r"its next 0x[0-9a-f]+ leads back to 0x[0-9a-f]+, not to it")):
        output = got.get(command, "")
        errors = [line for line in output.splitlines() if line.startswith("stimer ")]
        check(len(errors) == 1 and re.search(report, errors[0]) is not None,
              f"{where}: {command} reports in one line: {report}", output[-600:])
    for command, summary in (("print one", r"running_timers: 1 timer, next fires at \d+"),
                             ("print empty", r"running_timers: empty"),
                             ("print one_timer", r"stimer: running, delta -?\d+, tag 7"),
                             ("print idle", r"stimer_class: 5 members, timer running"),
                             ("print retries", r"stimer_queue: 19 entries, timer running"),
                             ("print cycle", r"running_timers: broken: timer #3 .* cycle")):
        output = got.get(command, "")
        check(re.search(summary, output) is not None, f"{where}: {command} shows {summary}", output)


def main(target, build, work):
    if not shutil.which("gdb"):
        print("gdb is not installed (apt-get install gdb)")
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    shutil.rmtree(work, ignore_errors=True)
    prefix = os.path.join(work, "prefix")
    for component in ("runtime", "dev", "standin"):
        r = subprocess.run(["cmake", "--install", build, "--component", component, "--prefix", prefix],
                           capture_output=True, text=True)
        if r.returncode:
            sys.exit(f"FAIL cmake --install --component {component}\n{r.stdout}{r.stderr}")
    libdir = next(d for d, _, files in os.walk(prefix) if "libstimer.so.1" in files and "checked" not in d)
    walks, core = os.path.join(work, "walks.txt"), os.path.join(work, "core")
    live = gdb(prefix, "-ex", f"set environment LD_LIBRARY_PATH {libdir}",
               "-ex", "break walk_target_ready", "-ex", "run", *run_commands(),
               "-ex", f"gcore {core}", "-ex", "kill", "--args", target, walks, str(MANY))
    if not os.path.exists(walks) or not os.path.exists(core):
        sys.exit(f"FAIL walk_target did not stop under gdb\n{live.stdout[-3000:]}")
    want, now = expected(walks)
    judge("live", live.stdout, want, now)
    dead = gdb(prefix, "-ex", f"set solib-search-path {libdir}", *run_commands(), target, core)
    judge("core", dead.stdout, want, now)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(*sys.argv[1:])
