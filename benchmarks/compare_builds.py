"""Two or more builds of kestrum.versioner timed side by side, in one run.

    python benchmarks/compare_builds.py [--rounds N] [--wall] [LABEL=PATH ...]

Each PATH is a wheel (unpacked into a temporary directory) or a directory
that holds the kestrum package (a sys.path entry: src/ for the in-place build
of tools/develop, a venv's site-packages).  Without arguments: the in-place
build under src/ against the newest manylinux wheel in dist/ for this
interpreter (tools/wheels).  The first build is the baseline of the ratios.

One process cannot load two copies of the module, so each build is timed in a
child process of this interpreter, the builds alternating, ROUNDS rounds; a
child times each operation with timeit, best of REPEAT, and the figure kept is
the best over all rounds.  The clock is the CPU time of the child (all its
threads), which other work on a busy machine disturbs far less than the wall
clock does; --wall takes the wall clock instead.  The name operations and the
scans are those of bench.py, over the same generated directory (10,000
matching files plus 1,000 others), made once and shared by every child.
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import timeit
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

REPEAT = 5
SCAN_REPEAT = 3
TARGET = 0.02  # seconds per name-operation measurement

# (label, statement); the names come from child()'s namespace.
NAME_OPS = [
    ("Version(name)", "Version(name)"),
    ("v.to(13)", "v_to.to(13)"),
    ("v.next", "v_next.next"),
    ("v == text", "v == text"),
    ("v.versionless", "v.versionless"),
    ("13 in fs", "13 in fs"),
]
SCANS = [
    ("list(fs)", "list(fs)"),
    ("fs.last", "fs.last"),
]


def child(path, directory, clock):
    """Time every operation with the build under ``path``; print JSON."""
    timer = time.perf_counter if clock == "wall" else time.process_time
    sys.path.insert(0, path)
    from kestrum import versioner

    module = os.path.abspath(versioner.__file__)
    if not module.startswith(os.path.abspath(path) + os.sep):
        sys.exit("%s: imported %s instead" % (path, module))
    name = "/proj/sh010/sh010.v012.exr"
    on_disk = os.path.join(directory, common.matching_name(5000))
    ns = {
        "Version": versioner.Version,
        "name": name,
        "text": "plate.v012.dpx",
        "fs": versioner.VersionFileSystem(on_disk, pads=common.PADS),
    }
    # to and next rewrite their receiver's filename only, so reusing one
    # receiver repeats the same work.
    for key in ("v", "v_to", "v_next"):
        ns[key] = versioner.Version(name)
    # A scan joins with "/", which on Windows is not os.path.join's separator.
    last = os.path.join(directory, common.matching_name(common.MATCHING))
    assert os.path.normpath(str(ns["fs"].last)) == os.path.normpath(last)

    times = {}
    for label, stmt in NAME_OPS:
        measure = timeit.Timer(stmt, timer=timer, globals=ns)
        number = 1
        while measure.timeit(number) < TARGET:
            number *= 2
        times[label] = min(measure.repeat(REPEAT, number)) / number
    for label, stmt in SCANS:
        measure = timeit.Timer(stmt, timer=timer, globals=ns)
        times[label] = min(measure.repeat(SCAN_REPEAT, 1))
    print(json.dumps({"module": module, "times": times}))


def default_builds():
    builds = [("in-place", os.path.join(common.ROOT, "src"))]
    tag = "cp%d%d" % sys.version_info[:2]
    pattern = "kestrum-*-%s-%s-*manylinux*.whl" % (tag, tag)
    wheels = glob.glob(os.path.join(common.ROOT, "dist", pattern))
    if wheels:
        builds.append(("wheel", max(wheels, key=os.path.getmtime)))
    return builds


def prepare(path, scratch):
    """A sys.path entry for ``path``: a wheel is unpacked under ``scratch``."""
    if not path.endswith(".whl"):
        return os.path.abspath(path)
    target = tempfile.mkdtemp(dir=scratch)
    with zipfile.ZipFile(path) as wheel:
        wheel.extractall(target)
    # zipfile drops the file modes; the module only needs to be readable.
    return target


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("builds", nargs="*", metavar="LABEL=PATH")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--wall", action="store_true", help="time with the wall clock")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    builds = [tuple(b.split("=", 1)) for b in args.builds] if args.builds else default_builds()
    if len(builds) < 2 or any(len(b) != 2 for b in builds):
        parser.error("give at least two builds as LABEL=PATH (or build a wheel with tools/wheels)")

    print("python %s (%s), %s" % (sys.version.split()[0], sys.executable, common.cpu_model()))
    scratch = tempfile.mkdtemp(prefix="kestrum-compare-")
    try:
        paths = [prepare(path, scratch) for _, path in builds]
        directory = common.make_tree(scratch)
        best = [dict() for _ in builds]
        modules = [None] * len(builds)
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        for round_ in range(args.rounds):
            for i, path in enumerate(paths):
                out = subprocess.run(
                    [sys.executable, os.path.abspath(__file__), "--child", path, directory,
                     "wall" if args.wall else "cpu"],
                    env=env, cwd=scratch, check=True, stdout=subprocess.PIPE,
                    universal_newlines=True).stdout
                result = json.loads(out)
                modules[i] = result["module"]
                for label, seconds in result["times"].items():
                    best[i][label] = min(seconds, best[i].get(label, seconds))
            print("round %d of %d done" % (round_ + 1, args.rounds), file=sys.stderr)
    finally:
        shutil.rmtree(scratch)

    for (label, path), module in zip(builds, modules):
        print("%-10s %s (%s)" % (label, path, os.path.basename(module)))
    print("%s time, best of %d rounds of %d repeats; ratio: time / time of %s"
          % ("wall" if args.wall else "CPU", args.rounds, REPEAT, builds[0][0]))
    print()
    head = "%-16s" % "operation" + "".join("%12s%8s" % (label, "ratio") for label, _ in builds)
    print(head)
    print("-" * len(head))
    for label, _ in NAME_OPS + SCANS:
        base = best[0][label]
        print("%-16s" % label + "".join(
            "%12s%8.2f" % (fmt_time(b[label]), b[label] / base) for b in best))


if __name__ == "__main__":
    main()
