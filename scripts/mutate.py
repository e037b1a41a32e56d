#!/usr/bin/env python3
"""Mutation sample of the product code (src/), run one mutant at a time
against the whole test suite.

  scripts/mutate.py plan --count 40 --seed 7 > mutants.tsv
  scripts/mutate.py run mutants.tsv > kills.tsv        # hours, not minutes

A mutant flips a comparison, moves a bound by one, swaps && and ||, turns a
1/0 result over, or drops a call statement. Each is applied to the tree in
place, the default build is rebuilt, and the suite run; the file is put back
whatever happens. A mutant that does not build is reported as such, not as
killed. Two runs of the same plan on two versions of the tests are compared
with `scripts/mutate.py compare before.tsv after.tsv`.
"""
import argparse
import os
import random
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OPERATORS = [
    ("flip-eq", re.compile(r"(?<![=!<>])==(?!=)"), "!="),
    ("flip-ne", re.compile(r"!=(?!=)"), "=="),
    ("lt-le", re.compile(r"(?<![<-])<(?![<=])(?=\s)"), "<="),
    ("le-lt", re.compile(r"<=(?=\s)"), "<"),
    ("gt-ge", re.compile(r"(?<![>-])>(?![>=])(?=\s)"), ">="),
    ("ge-gt", re.compile(r">=(?=\s)"), ">"),
    ("and-or", re.compile(r"&&"), "||"),
    ("or-and", re.compile(r"\|\|"), "&&"),
    ("return-1-0", re.compile(r"\breturn 1;"), "return 0;"),
    ("return-0-1", re.compile(r"\breturn 0;"), "return 1;"),
    ("plus-one", re.compile(r"(?<=[<>=] )(\d+)(?=[;)\s])"), None),
]
DROP = re.compile(r"^\s*[A-Za-z_][A-Za-z0-9_]*\(.*\);\s*$")


def product_files():
    out = []
    for base, _, files in os.walk(os.path.join(ROOT, "src")):
        for f in files:
            if f.endswith(".cpp"):
                out.append(os.path.relpath(os.path.join(base, f), ROOT))
    return sorted(out)


def candidates():
    for path in product_files():
        with open(os.path.join(ROOT, path)) as f:
            lines = f.read().split("\n")
        for n, line in enumerate(lines, 1):
            code = line.split("//")[0]
            if not code.strip() or code.lstrip().startswith(("#", "*")) or '"' in code:
                continue
            for name, pattern, repl in OPERATORS:
                for m in pattern.finditer(code):
                    new = str(int(m.group(1)) + 1) if repl is None else repl
                    yield (path, n, name, m.start(), m.group(0), new)
            if DROP.match(code) and "return" not in code:
                yield (path, n, "drop-call", 0, code.strip(), "")


def plan(args):
    every = sorted(set(candidates()))
    rng = random.Random(args.seed)
    for c in sorted(rng.sample(every, min(args.count, len(every)))):
        print("\t".join(str(x) for x in c))


def apply(mutant):
    path, n, name, col, old, new = mutant
    full = os.path.join(ROOT, path)
    with open(full) as f:
        text = f.read()
    lines = text.split("\n")

    def fits(i):
        if not 0 <= i < len(lines):
            return False
        if name == "drop-call":
            return lines[i].strip() == old
        return lines[i][col : col + len(old)] == old

    # A plan outlives edits elsewhere in the file: the mutant's line is the
    # nearest one that still reads as it did when it was planned.
    at = next((i for d in range(len(lines)) for i in (n - 1 - d, n - 1 + d) if fits(i)), None)
    if at is None or abs(at - (n - 1)) > 200:
        return None
    line = lines[at]
    if name == "drop-call":
        lines[at] = line[: len(line) - len(line.lstrip())] + "; // dropped"
    else:
        lines[at] = line[:col] + new + line[col + len(old) :]
    with open(full, "w") as f:
        f.write("\n".join(lines))
    return text


def suite_passes(build, mutant=""):
    # The preset's own limit: on a loaded machine a shorter one fails slow
    # tests that no mutant touched, and calls the mutant killed.
    tests = subprocess.run(
        ["ctest", "--test-dir", build, "-j2", "--timeout", "180", "--stop-on-failure"],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if tests.returncode != 0:
        # Two tests at once on a loaded machine can fail one that no mutant
        # touched; a kill counts only when the failed tests fail again alone.
        again = subprocess.run(
            ["ctest", "--test-dir", build, "--rerun-failed", "--timeout", "180"],
            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if again.returncode == 0:
            alone = re.findall(r"#\d+: (\S+) \.*\*\*\*", tests.stdout)
            print("%s: failed together, passed alone: %s" % (mutant or "unmutated", " ".join(alone)),
                  file=sys.stderr)
            return True
        tests = again
        # Which test failed, so that a kill can be checked by hand.
        failed = [l.strip() for l in tests.stdout.splitlines()
                  if re.search(r"\*\*\*|\((Failed|Timeout)\)", l)]
        print("%s: %s" % (mutant or "unmutated", "; ".join(failed[:5])), file=sys.stderr)
    return tests.returncode == 0


def run(args):
    build = os.path.join(ROOT, args.build)
    with open(args.plan) as f:
        mutants = [l.rstrip("\n").split("\t") for l in f if l.strip()]
    # A suite that fails unmutated would call every mutant killed.
    built = subprocess.run(["cmake", "--build", build], cwd=ROOT,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if built.returncode != 0 or not suite_passes(build):
        sys.exit("mutate.py: the unmutated tree does not build or its suite fails")
    for m in mutants:
        m = (m[0], int(m[1]), m[2], int(m[3]), m[4], m[5])
        original = apply(m)
        if original is None:
            verdict = "missing"
        else:
            try:
                built = subprocess.run(["cmake", "--build", build], cwd=ROOT,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if built.returncode != 0:
                    verdict = "unbuildable"
                else:
                    verdict = "survived" if suite_passes(build, " ".join(str(x) for x in m[:3])) else "killed"
            finally:
                with open(os.path.join(ROOT, m[0]), "w") as f:
                    f.write(original)
        print("\t".join([verdict] + [str(x) for x in m]), flush=True)
    subprocess.run(["cmake", "--build", build], cwd=ROOT, stdout=subprocess.DEVNULL)


def compare(args):
    def load(path):
        with open(path) as f:
            rows = [l.rstrip("\n").split("\t") for l in f if l.strip()]
        return {"\t".join(r[1:]): r[0] for r in rows}

    before, after = load(args.before), load(args.after)
    lost = [k for k, v in before.items() if v == "killed" and after.get(k) != "killed"]
    for name, table in (("before", before), ("after", after)):
        counts = {}
        for v in table.values():
            counts[v] = counts.get(v, 0) + 1
        print(name, " ".join("%s=%d" % kv for kv in sorted(counts.items())))
    for k in lost:
        print("no longer killed:", k)
    return 1 if lost else 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    a = sub.add_parser("plan")
    a.add_argument("--count", type=int, default=40)
    a.add_argument("--seed", type=int, default=1)
    a = sub.add_parser("run")
    a.add_argument("plan")
    a.add_argument("--build", default="build/default")
    a = sub.add_parser("compare")
    a.add_argument("before")
    a.add_argument("after")
    args = p.parse_args()
    return {"plan": plan, "run": run, "compare": compare}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
