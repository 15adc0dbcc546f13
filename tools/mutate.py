#!/usr/bin/env python3
"""Measures what the tests catch: plants one plausible fault at a time in a
scratch copy of the tree, rebuilds it incrementally (no sanitizers), runs the
tests, and reports each fault as killed (a test failed) or survived.

    tools/mutate.py                      every mutant of tools/mutants.txt
    tools/mutate.py frame-header-bound   only the named mutants
    tools/mutate.py --list               the mutants, without running anything

Options: --mutants FILE, --scratch DIR (kept between runs, so later runs
rebuild little), --timeout SECONDS per test (default 60), --jobs N,
--every-killer (run every test on each fault instead of stopping at the
first failure: slower, but names every test that kills it).
The scratch folder remembers which test killed each fault (killers.txt); the
next run tries that test first, so a run over a tree that still kills most
faults costs little more than the rebuilds.
As root it runs the tests in a private network (unshare -n), so port 4000 is
never shared with anything else on the machine.

The mutant file is plain text; a mutant is a header line and two or more
lines of literal text:

    [id] path/of/file.cpp  what the fault models
    - the text as it stands (must occur exactly once in the file)
    + the text that replaces it

Several "-" lines (and "+" lines) are joined with newlines, for a fault that
spans lines; a lone "+" with nothing after it deletes the text.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Not tests of behaviour: they cannot tell a planted fault, and they are slow.
NOT_KILLERS = "^(fuzz|format)$"


class Mutant:
    def __init__(self, ident, path, why):
        self.ident, self.path, self.why = ident, path, why
        self.before, self.after = [], []


def read_mutants(listing_path):
    mutants, current = [], None
    with open(listing_path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("["):
                ident, _, rest = line[1:].partition("]")
                file_path, _, why = rest.strip().partition(" ")
                current = Mutant(ident.strip(), file_path, why.strip())
                mutants.append(current)
            elif current and line[:1] in "-+":
                (current.before if line[0] == "-" else current.after).append(line[2:])
            else:
                sys.exit(f"{listing_path}:{number}: not a mutant line: {line}")
    for mutant in mutants:
        if not mutant.before or not mutant.after:
            sys.exit(f"mutant {mutant.ident}: needs '-' and '+' lines")
    idents = [m.ident for m in mutants]
    if len(set(idents)) != len(idents):
        sys.exit("mutant ids must be unique")
    return mutants


def run(command, cwd, timeout=None):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout)


def prepare(scratch, jobs):
    """A copy of the tracked tree as it stands now, configured and built."""
    source = os.path.join(scratch, "src")
    files = subprocess.check_output(["git", "ls-files", "-z"], cwd=ROOT).split(b"\0")
    for name in (f.decode() for f in files if f):
        target = os.path.join(source, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        origin = os.path.join(ROOT, name)
        if os.path.isfile(origin) and (not os.path.exists(target) or
                                       open(origin, "rb").read() != open(target, "rb").read()):
            # A fresh time stamp: the copy may put back a file an interrupted
            # run left planted, and make must see it as newer than that build.
            shutil.copyfile(origin, target)
            shutil.copymode(origin, target)
    # A file the tree no longer has goes too: the tests' CMake globs would
    # still build a test file that was removed or renamed, and run it.
    tracked = {os.path.join(source, f.decode()) for f in files if f}
    for folder, _, names in os.walk(source):
        for name in names:
            if os.path.join(folder, name) not in tracked:
                os.remove(os.path.join(folder, name))
    build = os.path.join(scratch, "build")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        result = run(["cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Debug",
                      "-DGREENLARK_FUZZ_SECONDS=0"], ROOT)
        if result.returncode:
            sys.exit("configure failed:\n" + result.stdout)
    result = run(["cmake", "--build", build, f"-j{jobs}"], ROOT)
    if result.returncode:
        sys.exit("the unmutated tree does not build:\n" + result.stdout[-4000:])
    return source, build


def fresh_test_folders(build):
    """Empties each test's private folder, as a clean build has it: a test that
    failed half-way under one fault must not leave state that fails the next."""
    root = os.path.join(build, "tests", "tmp")
    for folder in (os.listdir(root) if os.path.isdir(root) else []):
        for entry in os.listdir(os.path.join(root, folder)):
            path = os.path.join(root, folder, entry)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.remove(path)


def test_command(build, timeout, jobs, every_killer, only=None):
    select = f"-R '^({only})$'" if only else f"-E '{NOT_KILLERS}'"
    ctest = (f"ctest --test-dir {build} {select} --timeout {timeout} "
             f"-j{jobs} --output-on-failure" + ("" if every_killer else " --stop-on-failure"))
    if os.geteuid() == 0 and shutil.which("unshare"):
        return ["unshare", "-n", "sh", "-c", "ip link set lo up && " + ctest]
    return ["sh", "-c", ctest]


def failed_tests(output):
    names = []
    for line in output.splitlines():
        if "***Failed" in line or "***Timeout" in line or "***Exception" in line:
            names.append(line.split(":", 1)[-1].split()[0])
    return names


def try_mutant(mutant, source, build, timeout, jobs, every_killer, killer=None):
    path = os.path.join(source, mutant.path)
    if not os.path.exists(path):
        return "unusable", f"there is no {mutant.path}"
    with open(path, encoding="utf-8") as f:
        original = f.read()
    before, after = "\n".join(mutant.before), "\n".join(mutant.after)
    if original.count(before) != 1:
        return "unusable", f"the text occurs {original.count(before)} times in {mutant.path}"
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original.replace(before, after))
        # The test that killed the fault last time first, built alone: most
        # faults die there, and relinking every test costs more than running one.
        if killer and not every_killer and run(
                ["cmake", "--build", build, f"-j{jobs}", "--target", killer], ROOT).returncode == 0:
            fresh_test_folders(build)
            tested = run(test_command(build, timeout, jobs, False, killer), ROOT)
            if tested.returncode:
                return "killed", ", ".join(failed_tests(tested.stdout)) or killer
        built = run(["cmake", "--build", build, f"-j{jobs}"], ROOT)
        if built.returncode:
            return "unusable", "does not compile"
        fresh_test_folders(build)
        tested = run(test_command(build, timeout, jobs, every_killer), ROOT)
        if tested.returncode:
            return "killed", ", ".join(failed_tests(tested.stdout)) or "ctest failed"
        return "survived", ""
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("only", nargs="*", help="ids of the mutants to run")
    parser.add_argument("--mutants", default=os.path.join(HERE, "mutants.txt"))
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--timeout", type=int, default=60)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--every-killer", action="store_true",
                        help="run every test on each fault, to learn all that kill it")
    args = parser.parse_args()

    mutants = read_mutants(args.mutants)
    if args.only:
        unknown = set(args.only) - {m.ident for m in mutants}
        if unknown:
            sys.exit("no such mutants: " + ", ".join(sorted(unknown)))
        mutants = [m for m in mutants if m.ident in args.only]
    if args.list:
        # Each mutant's text must stand exactly once in today's tree.
        for m in mutants:
            path = os.path.join(ROOT, m.path)
            found = 0
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    found = f.read().count("\n".join(m.before))
            state = "" if found == 1 else f"  UNUSABLE: found {found} times"
            print(f"{m.ident:32} {m.path:32} {m.why}{state}")
        return

    source, build = prepare(args.scratch, args.jobs)
    # Against a tree whose tests already fail, every fault would count as caught.
    fresh_test_folders(build)
    tested = run(test_command(build, args.timeout, args.jobs, True), ROOT)
    if tested.returncode:
        log = os.path.join(args.scratch, "unmutated.log")
        with open(log, "w", encoding="utf-8") as f:
            f.write(tested.stdout)
        sys.exit("the unmutated tree fails its tests: " + ", ".join(failed_tests(tested.stdout))
                 + f" (the whole output: {log})")
    killers_path = os.path.join(args.scratch, "killers.txt")
    killers = {}
    if os.path.exists(killers_path):
        with open(killers_path, encoding="utf-8") as f:
            killers = dict(line.split() for line in f if len(line.split()) == 2)
    counts = {"killed": 0, "survived": 0, "unusable": 0}
    started = time.time()
    for index, mutant in enumerate(mutants, 1):
        verdict, detail = try_mutant(mutant, source, build, args.timeout, args.jobs,
                                     args.every_killer, killers.get(mutant.ident))
        counts[verdict] += 1
        if verdict == "killed" and detail.split(", ")[0].startswith("tst_"):
            killers[mutant.ident] = detail.split(", ")[0]
            with open(killers_path, "w", encoding="utf-8") as f:
                f.writelines(f"{ident} {test}\n" for ident, test in sorted(killers.items()))
        print(f"[{index}/{len(mutants)}] {verdict:9} {mutant.ident:32} {detail}", flush=True)
    # The tree as it stands, built again for the next run.
    run(["cmake", "--build", build, f"-j{args.jobs}"], ROOT)
    usable = counts["killed"] + counts["survived"]
    print(f"\nkilled {counts['killed']}/{usable}"
          + (f" ({100 * counts['killed'] / usable:.0f} %)" if usable else "")
          + f", survived {counts['survived']}, unusable {counts['unusable']},"
          f" {time.time() - started:.0f} s")
    sys.exit(1 if counts["unusable"] else 0)


if __name__ == "__main__":
    main()
