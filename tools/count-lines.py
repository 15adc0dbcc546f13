#!/usr/bin/env python3
"""Counts the non-blank, non-comment lines the repository tracks: every test
file (tests/ and fuzz/: C++, shell, Python, CMake, the fuzz targets and their
runners) against every code file outside tests/, fuzz/ and bench/ (C++, the
scripts, the CMake files). bench/ is counted apart. Forms, pictures, texts and
seed corpora are neither.

    tools/count-lines.py [--files] [revision]

With a revision (a commit, a tag, a branch) it counts that commit's files
instead of the work tree's; --files lists every file's count too.
"""
import os
import subprocess
import sys

CXX = (".cpp", ".h")
HASH = (".sh", ".py", ".cmake")


def language(name):
    base = os.path.basename(name)
    if name.endswith(CXX):
        return "c++"
    if name.endswith(HASH) or base == "CMakeLists.txt" or name == ".ci/run":
        return "hash"
    return None


def counted_cxx(text):
    lines, in_block = 0, False
    for raw in text.splitlines():
        line = raw.strip()
        if in_block:
            if "*/" not in line:
                continue
            in_block, line = False, line.split("*/", 1)[1].strip()
        if line.startswith("/*"):
            if "*/" not in line:
                in_block = True
                continue
            line = line.split("*/", 1)[1].strip()
        if line and not line.startswith("//"):
            lines += 1
    return lines


def counted_hash(text):
    # The first line of a script names its interpreter; it is a line all the same.
    return sum(1 for raw in text.splitlines()
               if raw.strip() and (not raw.strip().startswith("#") or raw.startswith("#!")))


def main():
    args = [a for a in sys.argv[1:] if a != "--files"]
    revision = args[0] if args else None
    git = ["git", "-C", sys.path[0] + "/.."]
    listing = git + (["ls-tree", "-r", "--name-only", revision] if revision else ["ls-files"])
    names = [n for n in subprocess.check_output(listing, text=True).split() if language(n)]
    totals = {"tests": 0, "code": 0, "bench": 0}
    for name in names:
        text = (subprocess.check_output(git + ["show", f"{revision}:{name}"], text=True)
                if revision else open(f"{sys.path[0]}/../{name}", encoding="utf-8").read())
        lines = counted_cxx(text) if language(name) == "c++" else counted_hash(text)
        part = {"tests": "tests", "fuzz": "tests", "bench": "bench"}.get(name.split("/")[0], "code")
        totals[part] += lines
        if "--files" in sys.argv:
            print(f"{lines:6} {name}")
    print(f"tests {totals['tests']}, code {totals['code']}, "
          f"ratio {totals['tests'] / totals['code']:.3f} (bench/ apart: {totals['bench']})")


if __name__ == "__main__":
    main()
