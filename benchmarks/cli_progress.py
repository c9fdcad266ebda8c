"""What the command's progress line costs a scan: the same scans with and without it.

    python benchmarks/cli_progress.py [--rounds N]

Generates a tree of DIRS directories (40 top directories of 50 each), every one holding
FILES_PER_DIR matching files and as many others, and times, in child interpreters, the two
kinds of scan the command runs:

  last  VersionFileSystem(...).last            (what last, bump, first, next, previous do)
  ls    for item in fs: progress.item()        (what ls does)

A child runs in one of three modes, each scan timed with what the command adds around it:

  off      no progress: stderr is not a terminal
  short    progress enabled, as on a terminal, for a scan shorter than its 0.5 s delay: its
           thread is started and stopped around each scan, no audit hook is installed
  drawing  the steady state of a long scan on a terminal: the audit hook installed and the
           line drawn every 0.1 s throughout (into a stream that discards it)

An audit hook cannot be removed, hence one child per mode; children of the three modes
alternate, round after round, and each figure is the best of all its rounds. Prints the
figures of the three modes and their ratios to "off", in elapsed time and in CPU time of the
child (all its threads; on a machine busy with other work, the CPU time is the steadier).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

TOP_DIRS = 40
SUB_DIRS = 50
DIRS = TOP_DIRS * (SUB_DIRS + 1) + 1
FILES_PER_DIR = 4
REPEATS = 5  # timed runs of each scan per child

CHILD = r"""
import json, sys, time
from kestrum import cli
from kestrum.versioner import VersionFileSystem

class Discard:
    writes = 0
    def write(self, text):
        Discard.writes += 1
    def flush(self):
        pass
    def isatty(self):
        return False

mode, name, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
drawing = None
if mode == "drawing":
    drawing = cli.Progress(Discard(), 0.0, enabled=True)
    while not drawing.drawn:  # the hook is in place once the line has been drawn
        time.sleep(0.01)
best = {}
for op in ("last", "ls"):
    for _ in range(repeats):
        fs = VersionFileSystem(name)
        start, cpu = time.perf_counter(), time.process_time()
        progress = drawing or cli.Progress(Discard(), cli.PROGRESS_AFTER, mode == "short")
        if op == "last":
            fs.last
        else:
            progress.count_items()
            for item in fs:
                progress.item()
        if drawing is None:
            progress.finish()
        elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
        best[op] = min(best.get(op, elapsed), elapsed)
        best[op + " cpu"] = min(best.get(op + " cpu", cpu), cpu)
        # The command scans once per process: let a finished progress thread exit before the
        # next scan, instead of contending with it for the interpreter lock.
        time.sleep(0.02)
if drawing is not None:
    drawing.finish()
print(json.dumps({"best": best, "writes": Discard.writes}))
"""

MODES = ("off", "short", "drawing")


def make_tree(top):
    """DIRS directories below top/shots, each with FILES_PER_DIR files named like the scanned
    head and as many others; returns the name to scan (not on disk itself)."""
    flags = os.O_CREAT | os.O_WRONLY | os.O_EXCL
    base = os.path.join(top, "shots")
    directories = [base]
    for i in range(TOP_DIRS):
        parent = os.path.join(base, "seq%02d" % i)
        directories.append(parent)
        directories += [os.path.join(parent, "sh%03d" % j) for j in range(SUB_DIRS)]
    number = 0
    for directory in directories:
        os.makedirs(directory, exist_ok=True)
        for _ in range(FILES_PER_DIR):
            number += 1
            for name in ("comp.v%05d.exr" % number, "plate.v%05d.dpx" % number):
                os.close(os.open(os.path.join(directory, name), flags, 0o644))
    return os.path.join(base, "comp.v99999.exr"), number


def run_child(env, mode, name):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, mode, name, str(REPEATS)],
        env=env, check=True, stdout=subprocess.PIPE, universal_newlines=True,
    ).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=7, help="children per mode (default 7)")
    rounds = parser.parse_args().rounds

    versioner = common.import_versioner()
    for line in common.header_lines(versioner):
        print(line)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [common.package_parent(versioner)] + [p for p in [env.get("PYTHONPATH")] if p]
    )
    with tempfile.TemporaryDirectory(prefix="kestrum-progress-") as top:
        name, files = make_tree(top)
        print("tree:        %d directories, %d matching files, %d others; %d rounds of %d runs"
              % (DIRS, files, files, rounds, REPEATS))
        best = {mode: {} for mode in MODES}
        seen = {}
        started = time.perf_counter()
        for _ in range(rounds):
            for mode in MODES:
                result = run_child(env, mode, name)
                for op, seconds in result["best"].items():
                    best[mode][op] = min(best[mode].get(op, seconds), seconds)
                seen[mode] = result
        print("writes of the line by the last child: %s"
              % ", ".join("%s %d" % (mode, seen[mode]["writes"]) for mode in MODES))
        print()
        print("%-8s %10s %10s %10s %12s %14s" % ("scan", "off", "short", "drawing",
                                                 "short/off", "drawing/off"))
        for op in ("last", "ls", "last cpu", "ls cpu"):
            off, short, drawing = (best[mode][op] for mode in MODES)
            print("%-8s %7.2f ms %7.2f ms %7.2f ms %12.3f %14.3f"
                  % (op, off * 1e3, short * 1e3, drawing * 1e3, short / off, drawing / off))
        print("\n(%.0f s; best of %d runs per mode and scan)"
              % (time.perf_counter() - started, rounds * REPEATS))


if __name__ == "__main__":
    main()
