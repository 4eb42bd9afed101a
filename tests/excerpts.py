#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
"""Code in the docs that is marked as taken from a source file must be in
that file, character for character:

    <!-- from: examples/idle_server.c -->
    ```c
    ...
    ```

    excerpts.py <source dir>"""
import glob
import os
import re
import sys

root = sys.argv[1]
failures = checked = 0
for doc in [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md"))):
    text = open(doc).read()
    for source, code in re.findall(r"<!-- from: (\S+) -->\n```\w*\n(.*?)```", text, flags=re.S):
        checked += 1
        if code not in open(os.path.join(root, source)).read():
            failures += 1
            first = code.splitlines()[0] if code.strip() else ""
            print(f"FAIL {os.path.relpath(doc, root)}: the excerpt starting '{first}' "
                  f"is not in {source}; copy it again from there")
print(f"{'ok  ' if not failures and checked else 'FAIL'} {checked - failures} of {checked} excerpts "
      "match their sources")
sys.exit(1 if failures or not checked else 0)
