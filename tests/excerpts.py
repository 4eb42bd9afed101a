#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Every code block of the README, the guides and the manual is marked as
taken from a file that the tests compile and run, and must be in that file,
character for character:

    <!-- from: examples/first/first.c -->      in Markdown, before ```
    .\\" from: examples/first/first.c           in mdoc, before .Bd -literal

    excerpts.py <source dir>"""
import glob
import os
import re
import sys

root = sys.argv[1]
docs = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
pages = sorted(glob.glob(os.path.join(root, "docs", "man", "*.3")))
failures = checked = 0


def blocks(path):
    """(source or None, code) for each code block of a document."""
    text = open(path).read()
    if path.endswith(".md"):
        for source, code in re.findall(r"(?:<!-- from: (\S+) -->\n)?```\w*\n(.*?)```", text, flags=re.S):
            yield source or None, code
    else:
        for source, code in re.findall(r'(?:\.\\" from: (\S+)\n)?\.Bd -literal[^\n]*\n(.*?)\.Ed', text, flags=re.S):
            yield source or None, code.replace("\\e", "\\")


for doc in docs + pages:
    for source, code in blocks(doc):
        if source is None:
            if re.search(r"[;{}]", code):  # C, not a shell line or a sample of output
                failures += 1
                print(f"FAIL {os.path.relpath(doc, root)}: code from no file, starting "
                      f"'{code.splitlines()[0]}'; take it from an example and mark it")
            continue
        checked += 1
        if code not in open(os.path.join(root, source)).read():
            failures += 1
            print(f"FAIL {os.path.relpath(doc, root)}: the excerpt starting '{code.splitlines()[0]}' "
                  f"is not in {source}; copy it again from there")
print(f"{'ok  ' if not failures and checked else 'FAIL'} {checked} excerpts checked, {failures} failed")
sys.exit(1 if failures or not checked else 0)
