#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Checks the installed manual pages against the library and its header.

    manpages.py <libstimer.so> <build dir> <work dir> <C compiler>

It installs the dev component into <work dir>, then checks that every
function of the installed headers has a page that `man -M` finds; that
each is its page in docs/man as it stands, footed with the release;
that mandoc's lint and man's own rendering report nothing; and that each page's
SYNOPSIS compiles against the installed headers. The headers are the
source: the pages follow them, and restate none of their records."""
import os
import re
import shutil
import subprocess
import sys

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "man")
failures = []


def check(ok, what, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (f"\n  {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def synopsis(page):
    """The C declarations of a page's SYNOPSIS, and its include lines."""
    lines, out, ftype, section = open(page).read().splitlines(), [], None, None
    for line in lines:
        if line.startswith(".Sh "):
            section = line[4:]
        if section != "SYNOPSIS":
            continue
        if line.startswith(".In "):
            out.append(f"#include <{line[4:]}>")
        elif line.startswith(".Fd #define "):
            name = re.match(r"\w+", line[12:]).group(0)
            out.append(f"#ifndef {name}\n#error {name} is not defined\n#endif")
        elif line.startswith(".Vt "):
            out.append(line[4:].rstrip(" ;") + ";")
        elif line.startswith(".Ft "):
            ftype = line[4:].strip('"')
        elif line.startswith(".Fn "):
            name, *args = re.findall(r'"[^"]*"|\S+', line[4:])
            params = ", ".join(a.strip('"') for a in args) or "void"
            out.append(f"{ftype} {name}({params});")
    return out


def main(lib, build, work, cc):
    for tool in ("mandoc", "man"):
        if not shutil.which(tool):
            print(f"{tool} is not installed (apt-get install mandoc man-db)")
            sys.exit(1 if os.environ.get("CI") == "true" else 77)
    shutil.rmtree(work, ignore_errors=True)
    for component in ("dev", "standin"):  # stimer_class.h and stimer_queue.h need tovask.h
        r = run("cmake", "--install", build, "--component", component, "--prefix", work)
        if r.returncode:
            sys.exit(f"FAIL cmake --install --component {component}\n{r.stdout}{r.stderr}")
    mandir = os.path.join(work, "share", "man")
    man3 = os.path.join(mandir, "man3")
    include = os.path.join(work, "include")
    pages = sorted(os.listdir(man3))

    version = os.path.realpath(lib).split(".so.")[1]
    exports = sorted(line.split()[2].split("@")[0]
                     for line in run("nm", "-D", "--defined-only", lib).stdout.splitlines()
                     if line.split()[1] != "A")
    headers = "".join(open(os.path.join(include, h)).read()
                      for h in ("stimer.h", "stimer_class.h", "stimer_queue.h"))
    check(exports == sorted(re.findall(r"^STIMER_API [^(]*?(\w+)\(", headers, flags=re.M)),
          f"the {len(exports)} exports of {os.path.basename(lib)} are the STIMER_API functions of stimer.h")
    undefined = set(re.findall(r"^#undef (\w+)", headers, flags=re.M))
    # The queue's internals, in stimer_wheel.h and stimer_queue_rearm, have no pages.
    functions = exports + [f for f in re.findall(r"^static inline [^(]*?(\w+)\(", headers, flags=re.M)
                           if f != "stimer_queue_rearm"]
    functions += [m for m in re.findall(r"^#define (STIMER_\w+)\(", headers, flags=re.M)
                  if m not in undefined]
    for name in functions:
        r = run("man", "-M", mandir, name, env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"})
        check(r.returncode == 0 and re.search(rf"\b{name}\b", r.stdout.split("SYNOPSIS")[0]),
              f"man -M {mandir} {name} shows its page", r.stderr)

    # man -k after the README's one step, which indexes the prefix's pages.
    r = run("mandb", "-q", mandir)
    listed = run("man", "-M", mandir, "-k", "stimer").stdout
    listed = {line.split(" (")[0] for line in listed.splitlines()}
    check(r.returncode == 0 and listed == {p.rsplit(".", 1)[0] for p in pages},
          f"after mandb -q {mandir}, man -M {mandir} -k stimer lists every page",
          r.stderr + f"{sorted(listed)} against {pages}")

    declared = set()
    for page in pages:
        path = os.path.join(man3, page)
        if not os.path.islink(path):
            # Built again after each edit, and footed with the release.
            source = open(os.path.join(DOCS, page)).read()
            check(open(path).read() == source.replace("\n.Os\n", f"\n.Os stimer {version}\n"),
                  f"{page} is docs/man/{page} as it stands, with .Os stimer {version}")
            r = run("mandoc", "-T", "lint", "-W", "warning", path)
            check(r.returncode == 0 and not (r.stdout + r.stderr).strip(),
                  f"mandoc -T lint -W warning {page}", r.stdout + r.stderr)
        r = run("man", "--warnings", "-l", path, env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"})
        check(r.returncode == 0 and r.stdout.strip() and not r.stderr.strip(),
              f"man -l {page} renders with nothing on stderr", r.stderr)

        decls = synopsis(path)
        source = os.path.join(work, page + ".c")
        with open(source, "w") as f:
            f.write("\n".join(["#include <stdint.h>"] + decls) + "\n")
        r = run(cc, "-std=c11", "-Wall", "-Wextra", "-pedantic", "-Werror", "-fsyntax-only",
                "-I", include, source)
        check(r.returncode == 0, f"{page}: SYNOPSIS compiles against stimer.h", r.stderr)
        names = {m for m in re.findall(r"^\.Nm (\w+)", open(path).read(), flags=re.M)}
        in_synopsis = {re.match(r"#ifndef (\w+)|.* (\w+)\(", d).group(1, 2)[d[0] != "#"]
                       for d in decls if "(" in d or d.startswith("#ifndef")}
        declared |= in_synopsis
        check(page == "stimer.3" or names == in_synopsis,
              f"{page}: NAME lists the functions of its SYNOPSIS", f"{names} against {in_synopsis}")
    check(declared == set(functions), "the synopses declare exactly the functions of the headers",
          f"{sorted(declared)} against {sorted(functions)}")

    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(*sys.argv[1:])
