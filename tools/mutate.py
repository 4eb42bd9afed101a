#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Mutation testing of the library's source.

Makes one single-operator mutant at a time of the library's source
(stimer.cpp and its tick arithmetic, ticks.h), of the checks of the checked
build (checked.cpp), of the inline helpers of stimer.h and of the
header-only stimer_class.h, stimer_queue.h and stimer_wheel.h: each
comparison flipped, or made strict or non-strict; each
binary + and - swapped; each statement replaced by an empty one. Each
mutant is built in one of the build trees kept for mutants, one a core
(--jobs), and the tests that cover the file are run against it. A mutant
that does not compile is stillborn and not counted. --sample FILE=N takes
every Nth mutant of FILE, the same ones on every run.

Fails when a mutant survives that tools/equivalent-mutants.txt does not list
with its reason. A line of that file is the mutant's key, a tab, the reason.
"""
import argparse
import concurrent.futures
import os
import queue
import re
import resource
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Every file is mutated in a copy: the two sources are built from there, and
# the headers are found there before the originals.
FILES = ["stimer.cpp", "ticks.h", "checked.cpp", "stimer.h", "stimer_class.h", "stimer_queue.h",
         "stimer_wheel.h"]
EQUIVALENT = os.path.join(ROOT, "tools", "equivalent-mutants.txt")

COMPARISONS = {
    "<": ["<=", ">"],
    "<=": ["<", ">"],
    ">": [">=", "<"],
    ">=": [">", "<"],
    "==": ["!="],
    "!=": ["=="],
}
ARITHMETIC = {"+": ["-"], "-": ["+"]}
# Binary operators stand between spaces in this code base; template brackets,
# -> and unary minus do not.
OPERATOR = re.compile(r"(?<= )(<=|>=|==|!=|<|>|\+|-)(?= )")


def code_part(line, in_comment):
    """The code of a line, without its comments, and whether a comment
    runs on past it."""
    if in_comment:
        if "*/" not in line:
            return "", True
        line = " " * (line.index("*/") + 2) + line[line.index("*/") + 2:]
    code = re.sub(r"/\*.*?\*/", "", line.split("//", 1)[0])
    if "/*" in code:
        return code[: code.index("/*")].rstrip(), True
    return code.rstrip(), False


def mutants(lines):
    """Yields (key, line index, new line) for every mutant of the file."""
    seen = {}
    prev_code, in_comment, in_macro = "", False, False
    for i, line in enumerate(lines):
        code, in_comment = code_part(line, in_comment)
        stripped = code.strip()
        # Directives and the lines of a macro are not mutated.
        macro, in_macro = in_macro or stripped.startswith("#"), stripped.endswith("\\")
        in_macro = in_macro and macro
        if not stripped or macro:
            prev_code = code
            continue
        n = seen[stripped] = seen.get(stripped, 0) + 1
        where = f"{stripped} @{n}"
        for m in OPERATOR.finditer(code):
            op = m.group(1)
            for new in COMPARISONS.get(op, []) + ARITHMETIC.get(op, []):
                mutated = code[: m.start()] + new + code[m.end():]
                yield f"{where} :: {op} -> {new} at {m.start()}", i, mutated + "\n"
        continuation = prev_code.rstrip().endswith((",", "(", "=", "&&", "||"))
        indent = code[: len(code) - len(code.lstrip())]
        # Dropped, a declaration at file scope does not build or changes
        # nothing, such as a layout check that holds.
        if stripped.endswith(";") and not continuation and indent:
            yield f"{where} :: drop", i, indent + ";\n"
        prev_code = code


def run(cmd, timeout=None):
    """The exit status of cmd, or "timeout". A timed-out command goes with
    every process it started, such as a death test's child, and none may
    write a file past 64 MiB: a mutant that loops over a report would fill
    the disk with a death test's captured output."""
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, 64 << 20))

    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True, preexec_fn=limit if timeout else None)
    try:
        return p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    finally:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "mutation"))
    ap.add_argument("--jobs", type=int, default=os.cpu_count(),
                    help="mutants tried at once, each in a build tree of its own (default: "
                    "one a core)")
    ap.add_argument("--list", action="store_true", help="list the mutants and stop")
    ap.add_argument("--file", action="append", help="mutate only this file ("
                    + ", ".join(FILES) + "); may be given again")
    ap.add_argument("--sample", action="append", default=[], metavar="FILE=N",
                    help="mutate only every Nth mutant of FILE; may be given again")
    args = ap.parse_args()
    every = {}
    for sample in args.sample:
        name, _, n = sample.partition("=")
        if name not in FILES or not n.isdigit() or int(n) < 1:
            sys.exit(f"--sample takes FILE=N, with FILE one of {', '.join(FILES)} and N a "
                     f"whole number of 1 or more, not {sample}")
        every[name] = int(n)
    if args.jobs < 1:
        sys.exit(f"--jobs takes a whole number of 1 or more, not {args.jobs}")

    files = {name: os.path.join(ROOT, "stimer", name) for name in FILES}
    originals = {name: open(path).readlines() for name, path in files.items()}
    unknown = set(args.file or []) - set(files)
    if unknown:
        sys.exit(f"--file takes one of {', '.join(files)}, not {', '.join(sorted(unknown))}")
    all_mutants = [(name, key, index, new_line) for name in args.file or files
                   for n, (key, index, new_line) in enumerate(mutants(originals[name]))
                   if n % every.get(name, 1) == 0]
    if args.list:
        for name, key, _, _ in all_mutants:
            print(f"{name}: {key}")
        return 0

    equivalent = {}
    if os.path.exists(EQUIVALENT):
        with open(EQUIVALENT) as f:
            for line in f:
                if line.strip() and not line.startswith("#"):
                    key, _, reason = line.rstrip("\n").partition("\t")
                    if not reason.strip():
                        sys.exit(f"{EQUIVALENT}: no reason given for {key}")
                    equivalent[key] = reason

    def tree(build):
        """A build tree of its own, which builds and passes unmutated, and
        a function that tells what a mutant does there."""
        mutant_dir = os.path.join(build, "mutant")
        os.makedirs(mutant_dir, exist_ok=True)

        def restore(name):
            shutil.copyfile(files[name], os.path.join(mutant_dir, name))

        for name in files:
            restore(name)
        if run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                f"-DSTIMER_SOURCE={os.path.join(mutant_dir, 'stimer.cpp')}",
                f"-DSTIMER_CHECKED_SOURCE={os.path.join(mutant_dir, 'checked.cpp')}",
                f"-DSTIMER_MUTANT_INCLUDE={mutant_dir}", "-DSTIMER_BUILD_EXAMPLES=OFF",
                # The tests load the mutant library; they need not be linked again.
                "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"]) != 0:
            sys.exit(f"configure failed in {build}")
        # The checked build's hooks compile to nothing in the release build,
        # so its own tests are what kill a mutant of checked.cpp. The headers
        # have tests of their own.
        def gtest(name, *flags):
            return [os.path.join(build, "tests", name), "--gtest_fail_fast", "--gtest_brief=1",
                    *flags]

        suites = ["stimer_tests", "stimer_tests_checked", "checked_test"]
        target = ["cmake", "--build", build, "--target"]
        library = (target + ["c_api_test"] + suites,
                   [gtest(t) for t in suites] + [[os.path.join(build, "tests", "c_api_test")]])
        plan = {"stimer.cpp": library, "ticks.h": library,
                "checked.cpp": (target + suites[1:] + ["checked_table_test"],
                                [gtest(t) for t in ("checked_table_test", *suites[:0:-1])])}
        for header in ("stimer_class.h", "stimer_queue.h", "stimer_wheel.h"):
            plan[header] = (target + ["stimer_tests"],
                            [gtest("stimer_tests", "--gtest_filter=Class*:Queue*")])
        # The helpers of stimer.h, compiled into the tests; the library
        # keeps its own copy of the header, beside its source.
        plan["stimer.h"] = (target + ["stimer_tests"], [gtest("stimer_tests")])
        # Unmutated, everything builds and every test passes. A mutant that
        # loops is stopped at ten times the slowest test's time, or 10 s.
        slowest = 0
        for build_it, tests in (library, plan["checked.cpp"]):
            if run(build_it) != 0:
                sys.exit(f"the unmutated library does not build in {build}")
            for t in tests:
                began = time.monotonic()
                if run(t, timeout=120) != 0:
                    sys.exit(f"the unmutated library does not pass {' '.join(t)}")
                slowest = max(slowest, time.monotonic() - began)
        limit = max(10, 10 * slowest)

        def verdict(name, index, new_line):
            original = originals[name]
            with open(os.path.join(mutant_dir, name), "w") as f:
                f.writelines(original[:index] + [new_line] + original[index + 1:])
            build_it, tests = plan[name]
            try:
                if run(build_it) != 0:
                    return "stillborn"
                return "killed" if any(run(t, timeout=limit) != 0 for t in tests) else "survived"
            finally:
                restore(name)
        return verdict

    # A mutant builds on one core, mostly: one tree a core, each taking the
    # next mutant when it is done. .ci/run's sample took 21 min in one tree,
    # 9 in two on two cores (with the precompiled gtest.h).
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        idle = queue.Queue()
        for verdict in pool.map(tree, [os.path.join(args.build, str(k)) for k in range(args.jobs)]):
            idle.put(verdict)

        def attempt(mutant):
            verdict = idle.get()
            try:
                return verdict(*mutant)
            finally:
                idle.put(verdict)

        verdicts = list(pool.map(attempt, [(name, index, new_line)
                                           for name, _, index, new_line in all_mutants]))
    killed = verdicts.count("killed")
    stillborn = verdicts.count("stillborn")
    survivors = [f"{name}: {key}" for (name, key, _, _), v in zip(all_mutants, verdicts)
                 if v == "survived"]

    total = killed + len(survivors)
    unexplained = [k for k in survivors if k not in equivalent]
    tried = {f"{name}: {key}" for name, key, _, _ in all_mutants}
    stale = [k for k in equivalent if k in tried and k not in survivors]
    print(f"mutants: {killed} killed of {total} ({len(survivors)} survived, "
          f"{len(survivors) - len(unexplained)} of them listed as equivalent; "
          f"{stillborn} stillborn, not counted)")
    for key in survivors:
        print(f"  survived: {key}" + (f"  [equivalent: {equivalent[key]}]" if key in equivalent else ""))
    for key in stale:
        print(f"  listed as equivalent but no longer survives: {key}")
    return 1 if unexplained or stale else 0


if __name__ == "__main__":
    sys.exit(main())
