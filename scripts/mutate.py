#!/usr/bin/env python3
"""Mutation run: puts one realistic fault at a time into src/net and src/engine, rebuilds the
fast suite, runs it and says whether it caught the fault.

    scripts/mutate.py [--list FILE] [--build DIR] [--only ID[,ID...]] [--timeout SECONDS] [--check]

The mutants are listed in scripts/mutants.txt, four lines each:
    @ ID PATH            the mutant's name and the source file it changes
    - TEXT               a line's exact text (surrounding blanks ignored), found exactly once
    + TEXT               what that line becomes
    # WHY                the fault it stands for
A mutant whose line is not found exactly once is reported as stale and fails the run, so the
list cannot quietly drift from the code.

The source file is restored after each mutant, on Ctrl-C and on SIGTERM; a run that was killed
outright leaves a journal that the next run restores first. The tree is checked to be clean
under src/ before anything is changed.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JOURNAL = os.path.join(ROOT, ".mutate-journal")
FAST_TARGETS = ["kova_net_tests", "kova_engine_tests"]


class Mutant:
    def __init__(self, ident, path, before, after, why):
        self.ident, self.path, self.before, self.after, self.why = ident, path, before, after, why


def read_mutants(list_path):
    mutants, cur = [], None
    with open(list_path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith(";"):
                continue
            tag, text = line[:1], line[2:] if len(line) > 1 else ""
            if tag == "@":
                parts = text.split()
                if len(parts) != 2:
                    sys.exit(f"mutate: {list_path}:{number}: '@ ID PATH' expected")
                cur = {"id": parts[0], "path": parts[1]}
                mutants.append(cur)
            elif cur is None:
                sys.exit(f"mutate: {list_path}:{number}: a mutant starts with '@ ID PATH'")
            elif tag == "-":
                cur["before"] = text.strip()
            elif tag == "+":
                cur["after"] = text.strip()
            elif tag == "#":
                cur["why"] = text.strip()
            else:
                sys.exit(f"mutate: {list_path}:{number}: unknown line '{line}'")
    out = []
    for m in mutants:
        if "before" not in m or "after" not in m:
            sys.exit(f"mutate: mutant {m['id']} needs a '-' and a '+' line")
        out.append(Mutant(m["id"], m["path"], m["before"], m["after"], m.get("why", "")))
    ids = [m.ident for m in out]
    if len(ids) != len(set(ids)):
        sys.exit("mutate: mutant names must be unique")
    return out


def restore_from_journal():
    if not os.path.exists(JOURNAL):
        return
    with open(JOURNAL, "rb") as f:
        path, _, content = f.read().partition(b"\0")
    with open(path.decode(), "wb") as f:
        f.write(content)
    os.remove(JOURNAL)
    print(f"mutate: restored {os.path.relpath(path.decode(), ROOT)} from an interrupted run")


def count_lines(m):
    with open(os.path.join(ROOT, m.path), encoding="utf-8") as f:
        return sum(1 for l in f.read().split("\n") if l.strip() == m.before)


def apply(m):
    """Returns the original bytes, or None when the mutant's line is not there exactly once."""
    path = os.path.join(ROOT, m.path)
    with open(path, "rb") as f:
        original = f.read()
    lines = original.decode("utf-8").split("\n")
    hits = [i for i, l in enumerate(lines) if l.strip() == m.before]
    if len(hits) != 1:
        return None
    i = hits[0]
    indent = re.match(r"\s*", lines[i]).group(0)
    lines[i] = indent + m.after
    with open(JOURNAL, "wb") as f:
        f.write(path.encode() + b"\0" + original)
    with open(path, "wb") as f:
        f.write("\n".join(lines).encode("utf-8"))
    return original


def restore(m, original):
    with open(os.path.join(ROOT, m.path), "wb") as f:
        f.write(original)
    if os.path.exists(JOURNAL):
        os.remove(JOURNAL)


def run(cmd, timeout=None, cwd=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout, start_new_session=True)
        return p.returncode, p.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        return None, (e.stdout or b"").decode(errors="replace")


def build(build_dir):
    return run(["cmake", "--build", build_dir, "-j", os.environ.get("JOBS", "2"), "--target"] + FAST_TARGETS)


def suite(build_dir, timeout):
    # The fast suite: the socket and engine tests without the long soak-like cases, stopping at
    # the first failure, since one is enough to kill a mutant.
    return run(["ctest", "-L", "^(net|engine)$", "-LE", "slow", "-j", os.environ.get("JOBS", "2"),
                "--stop-on-failure", "--timeout", "60", "--output-on-failure"],
               timeout=timeout, cwd=build_dir)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutants.txt"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build-mutate"))
    ap.add_argument("--only", default="")
    ap.add_argument("--timeout", type=int, default=240, help="seconds the suite may take per mutant")
    ap.add_argument("--check", action="store_true", help="only check that every mutant's line is there")
    args = ap.parse_args()

    restore_from_journal()
    mutants = read_mutants(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in mutants if m.ident in wanted]
    if args.check:
        bad = [m for m in mutants if count_lines(m) != 1]
        for m in bad:
            print(f"{m.ident}: '{m.before}' found {count_lines(m)} times in {m.path}")
        print(f"mutate: {len(mutants) - len(bad)} of {len(mutants)} mutants apply")
        return 1 if bad else 0
    if subprocess.run(["git", "diff", "--quiet", "--", "src"], cwd=ROOT).returncode != 0:
        sys.exit("mutate: src/ has uncommitted changes; commit or stash them first")

    current = {}

    def on_signal(signum, _frame):
        if current:
            restore(current["m"], current["original"])
        print(f"\nmutate: interrupted; {current['m'].path if current else 'nothing'} restored")
        sys.exit(130)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    if not os.path.exists(os.path.join(args.build, "CMakeCache.txt")):
        rc, out = run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                       "-DKOVA_BUILD_GUI=OFF"])
        if rc != 0:
            sys.exit("mutate: configure failed\n" + out)
    rc, out = build(args.build)
    if rc != 0:
        sys.exit("mutate: the unmutated tree does not build\n" + out)
    rc, out = suite(args.build, args.timeout)
    if rc != 0:
        sys.exit("mutate: the fast suite fails without any mutant\n" + out[-4000:])

    killed, survived, stale = [], [], []
    for m in mutants:
        start = time.monotonic()
        original = apply(m)
        if original is None:
            stale.append(m)
            print(f"{m.ident:<14} STALE     {m.path}: '{m.before}' not found exactly once")
            continue
        current.update(m=m, original=original)
        try:
            rc, out = build(args.build)
            if rc != 0:
                verdict = "NO-BUILD"
            else:
                rc, out = suite(args.build, args.timeout)
                verdict = "killed" if rc != 0 else "SURVIVED"
        finally:
            restore(m, original)
            current.clear()
        {"killed": killed, "SURVIVED": survived, "NO-BUILD": stale}[verdict].append(m)
        print(f"{m.ident:<14} {verdict:<9} {time.monotonic() - start:5.0f} s  {m.why}", flush=True)
        if verdict == "NO-BUILD":
            print("  " + "\n  ".join(out.splitlines()[-5:]))

    build(args.build)  # leave the build folder matching the restored tree
    total = len(killed) + len(survived)
    rate = 100.0 * len(killed) / total if total else 0.0
    print(f"\nmutate: {len(killed)} of {total} mutants killed ({rate:.1f} %)"
          + (f"; {len(stale)} stale or not building (fix the list)" if stale else ""))
    for m in survived:
        print(f"  survived: {m.ident} {m.path}: {m.why}")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
