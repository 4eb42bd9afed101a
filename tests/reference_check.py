#!/usr/bin/env python3
"""Checks that docs/API.md says what stimer.h says.

Every record definition and every function's contract with its prototype
must appear in one of the reference's C code blocks, word for word (runs of
white space count as one space, and the STIMER_API marker is left out).
Every rule of the header's opening comment (the list invariants, the
caller's rules, the horizon and the word on errors) must appear in the
reference's text sentence by sentence, with the same words in the same
order; punctuation and markup may differ.

    reference_check.py <stimer.h> <API.md>
"""
import re
import sys


def code_text(text):
    return " ".join(text.replace("STIMER_API ", "").split())


def words(text):
    return " " + " ".join(re.sub(r"[^a-z0-9_]+", " ", text.lower()).split()) + " "


header = open(sys.argv[1], encoding="utf-8").read()
reference = open(sys.argv[2], encoding="utf-8").read()
failures = []

# Records and contracts, against the reference's C code blocks.
records = {m.group(1): m.group(0) for m in re.finditer(
    r"^typedef struct (\w+) \{\n.*?^\} \1;$", header, re.M | re.S)}
contracts = {m.group(1): m.group(0) for m in re.finditer(
    r"^/\*\n \* (stimer_\w+): .*?^STIMER_API [^;]*;$", header, re.M | re.S)}
declared = set(re.findall(r"^STIMER_API [^(]*?\b(stimer_\w+)\(", header, re.M))
if len(records) != 3:
    failures.append("expected three records in the header, found %s" % sorted(records))
if len(declared) != 7 or set(contracts) != declared:
    failures.append("functions with a contract: %s; declared: %s"
                    % (sorted(contracts), sorted(declared)))
code = [code_text(b) for b in re.findall(r"^```c\n(.*?)^```$", reference, re.M | re.S)]
for kind, blocks in (("record", records), ("function", contracts)):
    for name, text in sorted(blocks.items()):
        if any(code_text(text) in block for block in code):
            print("ok   %s %s" % (kind, name))
        else:
            failures.append("%s %s differs from the header or is missing" % (kind, name))

# The rules of the opening comment, against the reference's prose.
opening = re.match(r"/\*\n(.*?)\n \*/", header, re.S).group(1)
opening = "\n".join(line[3:] if line.startswith(" * ") else "" for line in opening.split("\n"))
bullets = re.findall(r"^ *- (.*?)(?=\n *- |\n\n|\Z)", opening, re.M | re.S)
horizon = re.search(r"The 2\^31-tick horizon: (.*?)\n\n", opening, re.S)
errors = re.search(r"^The library reports no errors.*$", opening, re.M)
if len(bullets) < 10 or not horizon or not errors:
    failures.append("the header's opening comment is not laid out as expected")
else:
    passages = bullets + [horizon.group(1), errors.group(0)]
    sentences = [s for p in passages for s in re.split(r"(?<=[.;])\s+(?=[A-Z])", p)]
    prose = words(reference)
    missing = [s for s in sentences if words(s) not in prose]
    failures += ["the reference does not say: " + " ".join(s.split()) for s in missing]
    if not missing:
        print("ok   %d sentences of the opening comment" % len(sentences))

for failure in failures:
    print("FAIL " + failure)
sys.exit(1 if failures else 0)
