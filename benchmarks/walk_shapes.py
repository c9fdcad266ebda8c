"""Scans over trees whose shape, not their files, is what costs: the module,
the plain-Python rendering (plain.py) and the standard-library floor side by
side, the module with its read-ahead threads and without them.

    python benchmarks/walk_shapes.py [--quick]

Trees: one directory of 200,000 empty subdirectories (`fs.last`, `list(fs)`);
a chain of 2,000 directories, one in the other, with a matching file in each;
and 8 sibling directories of 20,000 empty subdirectories each below a 2.6 KB
path, scanned by a consumer that takes 0.3 s over each item (so that the walk
runs far ahead of it), for the most memory the process held. Each setting
runs in a child process of its own (KESTRUM_SCAN_THREADS unset, then 0), which
times the module and the plain rendering alternately on the same tree and
reports to the parent, which prints the table. --quick makes the trees a tenth
as large (the chain a quarter as deep) and repeats less.
"""

import argparse
import fnmatch
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402

SHOT = "sh"


def touch(path):
    os.close(os.open(path, os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o644))


def make_wide(top, count):
    """One directory of ``count`` empty subdirectories and one matching file."""
    touch(os.path.join(top, SHOT + ".v001.exr"))
    for i in range(count):
        os.mkdir(os.path.join(top, "d%06d" % i))
    return os.path.join(top, SHOT + ".v001.exr")


def make_chain(top, depth):
    """A chain of ``depth`` directories named "d", a matching file in each
    (made through directory descriptors: the deepest paths are longer than a
    path may be, and neither walk can list those)."""
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for level in range(depth):
            name = "%s.v%04d.exr" % (SHOT, level + 1)
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o644, dir_fd=fd))
            os.mkdir("d", dir_fd=fd)
            below = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = below
    finally:
        os.close(fd)
    return os.path.join(top, SHOT + ".v0001.exr")


def make_siblings(top, siblings, count):
    """Below a path of about 2.6 KB: ``siblings`` directories of ``count``
    empty subdirectories and one matching file each."""
    d = top
    while len(d) < 2600 - 200:
        d = os.path.join(d, "p" * 200)
        os.mkdir(d)
    touch(os.path.join(d, SHOT + ".v001.exr"))
    for s in range(siblings):
        sibling = os.path.join(d, "s%02d" % s)
        os.mkdir(sibling)
        touch(os.path.join(sibling, "%s.v%03d.exr" % (SHOT, s + 2)))
        for i in range(count):
            os.mkdir(os.path.join(sibling, "d%05d" % i))
    return os.path.join(d, SHOT + ".v001.exr")


# ---------------------------------------------------------------- the child


def floor_all(head, pattern):
    """os.walk, fnmatch.filter with the head's last component and "*",
    sorting, and one match of the name pattern per selected file."""
    dirname, basename = os.path.split(head)
    out = []
    for root, _, filenames in os.walk(dirname):
        for name in sorted(fnmatch.filter(filenames, basename + "*")):
            out.append(pattern.match(root + "/" + name))
    return out


def best_of(fn, runs):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def shown(result):
    if isinstance(result, list):
        return [x.filename for x in result]
    return None if result is None else result.filename


def child_times(args, versioner, plain):
    results = {}
    runs = 1 if args.quick else 3
    for tree, filename in json.loads(args.trees).items():
        fs = versioner.VersionFileSystem(filename)
        ref = plain.VersionFileSystem(filename)
        floor = best_of(lambda: floor_all(fs.head, fs.regex_splits), runs)
        for op, run in (("last", lambda f: f.last), ("list", lambda f: list(f))):
            if shown(run(fs)) != shown(run(ref)):
                raise SystemExit("%s %s: the module and the plain rendering disagree" % (tree, op))
            # Alternated, so that a burst of load on the machine falls on both.
            best_k = best_p = float("inf")
            for _ in range(runs):
                best_k = min(best_k, best_of(lambda: run(fs), 1))
                best_p = min(best_p, best_of(lambda: run(ref), 1))
            results["%s/%s" % (tree, op)] = (best_k, best_p, floor)
    return results


def peak_resident_kib():
    """The process's peak resident size (ru_maxrss would carry the parent's
    over the exec)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def child_memory(args, versioner, plain):
    """The growth of the process's peak resident size over one slow scan."""
    kind = versioner if args.which == "module" else plain
    fs = kind.VersionFileSystem(args.filename)
    base = peak_resident_kib()
    start = time.perf_counter()
    count = 0
    for _ in fs:
        count += 1
        time.sleep(args.pause)
    took = time.perf_counter() - start - count * args.pause
    grown = peak_resident_kib() - base
    return {"kib": grown, "seconds": took, "items": count}


def child(args):
    versioner = common.import_versioner()
    plain = common.import_plain()
    if args.filename:
        out = child_memory(args, versioner, plain)
    else:
        out = child_times(args, versioner, plain)
    json.dump(out, sys.stdout)


# ---------------------------------------------------------------- the parent


def fmt(seconds):
    ms = seconds * 1000
    if ms >= 100:
        return "%.0f ms" % ms
    if ms >= 10:
        return "%.1f ms" % ms
    return "%.2f ms" % ms


def run_child(extra, threads):
    env = dict(os.environ)
    env.pop("KESTRUM_SCAN_THREADS", None)
    if threads is not None:
        env["KESTRUM_SCAN_THREADS"] = str(threads)
    command = [sys.executable, os.path.abspath(__file__), "--child"] + extra
    out = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller trees, fewer repeats")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--trees", help=argparse.SUPPRESS)
    parser.add_argument("--filename", help=argparse.SUPPRESS)
    parser.add_argument("--which", help=argparse.SUPPRESS)
    parser.add_argument("--pause", type=float, default=0.0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    # Before 3.12 os.walk (and shutil.rmtree) recurse once per level: the
    # chain needs more room.
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 20000))
    if args.child:
        return child(args)

    versioner = common.import_versioner()
    print("kestrum.versioner: %s" % versioner.__file__)
    print("Python %s on %s, %s" % (platform.python_version(), platform.machine(), common.cpu_model()))
    wide = 20000 if args.quick else 200000
    depth = 500 if args.quick else 2000
    siblings, count = (8, 2000) if args.quick else (8, 20000)
    pause = 0.1 if args.quick else 0.3
    work = tempfile.mkdtemp(prefix="kestrum-walk-shapes-")
    try:
        trees = {}
        for tree, make, size in (("wide", make_wide, wide), ("chain", make_chain, depth)):
            top = os.path.join(work, tree)
            os.mkdir(top)
            trees[tree] = make(top, size)
        titles = {"wide": "one directory of %d subdirectories" % wide,
                  "chain": "a chain %d directories deep" % depth}
        print("each cell: best time; the plain rendering's ratio to the module (xN: the module")
        print("is N times faster) and the module's to the floor (os.walk + fnmatch.filter +")
        print("sort + one pattern match per file)\n")
        print("| tree | operation | threads | kestrum | plain Python | floor |")
        print("|---|---|---|---|---|---|")
        for threads in (None, 0):
            results = run_child(["--trees", json.dumps(trees)] + (["--quick"] if args.quick else []),
                                threads)
            for tree in ("wide", "chain"):
                for op in ("last", "list"):
                    k, p, f = results["%s/%s" % (tree, op)]
                    print("| %s | `%s` | %s | %s | %s (%.2fx) | %s (%.2fx) |"
                          % (titles[tree], "fs.last" if op == "last" else "list(fs)",
                             "off" if threads == 0 else "on", fmt(k), fmt(p), p / k, fmt(f), k / f))
            sys.stdout.flush()
        shutil.rmtree(os.path.join(work, "wide"))
        top = os.path.join(work, "siblings")
        os.mkdir(top)
        filename = make_siblings(top, siblings, count)
        print("\n%d siblings of %d empty subdirectories below a 2.6 KB path, %g s over each item:"
              % (siblings, count, pause))
        print("the growth of the process's peak resident size over the scan, and the scan's")
        print("time less the consumer's\n")
        print("| scan | peak growth | time |")
        print("|---|---|---|")
        for label, which, threads in (("module, threads on", "module", None),
                                      ("module, threads off", "module", 0),
                                      ("plain rendering", "plain", None)):
            out = run_child(["--filename", filename, "--which", which, "--pause", str(pause)],
                            threads)
            print("| %s | %.1f MB | %s |" % (label, out["kib"] / 1024.0, fmt(out["seconds"])))
            sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
