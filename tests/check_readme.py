#!/usr/bin/env python3
"""README checks: its code fences pair up (an unpaired one turns the rest of the page into
code), and every project path it names in backticks exists.

    check_readme.py <README.md>
"""
import os
import re
import sys

# Paths under these folders are the project's own; build/ and system paths are made at run time.
TOP = ("cmake/", "include/", "support/", "flash/", "capsule/", "board/", "pirq/", "sim/", "tests/",
       "firmware-tests/", "tools/", ".ci/")


def problems(text, root):
    found = []
    fences = [n for n, line in enumerate(text.splitlines(), 1) if line.lstrip().startswith("```")]
    if len(fences) % 2:
        found.append(f"{len(fences)} code-fence lines (an odd number): the last is at line {fences[-1]}")
    for n, line in enumerate(text.splitlines(), 1):
        for name in re.findall(r"`([^`\s]+)`", line):
            path = name.split(":")[0].rstrip(".,;")
            if not path.startswith(TOP) or any(c in path for c in "*<>$"):
                continue
            if not os.path.exists(os.path.join(root, path)):
                found.append(f"line {n}: {path} does not exist")
    return found


def main():
    readme = sys.argv[1]
    found = problems(open(readme, encoding="utf-8").read(), os.path.dirname(os.path.abspath(readme)))
    for p in found:
        print(f"{readme}: {p}")
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
