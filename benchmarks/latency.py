"""Scans over a slow file server: the module, the plain-Python rendering
(plain.py) and the standard-library floor, side by side, at several added
latencies per directory open.

    python benchmarks/latency.py [--quick] [--stat-delay]

The latency comes from latency_preload.c, built here with the system C
compiler (cc) into a temporary directory and preloaded (LD_PRELOAD) into one
child process per latency setting; the child re-runs this script, times the
module and the plain rendering alternately on the same trees, and reports to
the parent, which prints the table. --stat-delay adds the same delay to each
stat-family call as well. The last column is the most threads the module's
process ran besides its main thread while the module was timed (the listings
in flight at most). At 0, 0.2 and 1 ms a last figure times `fs.last` of each
of 1,000 small shot directories in a loop: many short scans in a row.

Then the render tree again, served through a FUSE mount whose daemon delays
each directory open by 1 and 5 ms (tests/fuse_delay.c, compiled here; skipped
where the machine cannot mount one, or with --no-fuse): `fs.last` and
`list(fs)` of the module and the plain rendering, alternately, and the
directory opens the daemon counted for one `fs.last`. Its directories carry
old times, as a studio's render directories do.
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
sys.path.append(os.path.join(os.path.dirname(HERE), "tests"))  # fuse_mount

import common  # noqa: E402

LATENCIES_MS = (0.0, 0.2, 1.0, 5.0, 20.0)
OPERATIONS = ("last", "first", "list", "next", "previous")
SHOT = "sh010"


# ---------------------------------------------------------------- trees


def touch(path):
    os.close(os.open(path, os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o644))


def make_render(top):
    """100 version directories of 50 frames each plus 100 top-level files, all
    matching the scanned prefix."""
    for v in range(1, 101):
        touch(os.path.join(top, "%s.v%03d.exr" % (SHOT, v)))
        d = os.path.join(top, "%s.v%03d" % (SHOT, v))
        os.mkdir(d)
        for frame in range(1001, 1051):
            touch(os.path.join(d, "%s.v%03d.%04d.exr" % (SHOT, v, frame)))
    return os.path.join(top, "%s.v050.exr" % SHOT)


def make_flat(top):
    """10,000 matching files in one directory."""
    for v in range(1, 10001):
        touch(os.path.join(top, "%s.v%05d.exr" % (SHOT, v)))
    return os.path.join(top, "%s.v05000.exr" % SHOT)


def make_deep(top):
    """A chain of 20 directories, each with 10 matching files."""
    d = top
    for level in range(20):
        for v in range(10):
            touch(os.path.join(d, "%s.v%03d.exr" % (SHOT, level * 10 + v + 1)))
        d = os.path.join(d, "level%02d" % level)
        os.mkdir(d)
    return os.path.join(top, "%s.v005.exr" % SHOT)


def make_wide(top):
    """2,000 small directories (40 groups of 50), each with 3 matching files."""
    n = 0
    for group in range(40):
        g = os.path.join(top, "group%02d" % group)
        os.mkdir(g)
        for leaf in range(50):
            d = os.path.join(g, "shot%02d" % leaf)
            os.mkdir(d)
            for _ in range(3):
                n += 1
                touch(os.path.join(d, "%s.v%04d.exr" % (SHOT, n)))
    return os.path.join(top, "%s.v0002.exr" % SHOT)


def make_versions(top):
    """2,000 version directories of 3 frames each, plus their 2,000 files at
    the top."""
    for v in range(1, 2001):
        touch(os.path.join(top, "%s.v%04d.exr" % (SHOT, v)))
        d = os.path.join(top, "%s.v%04d" % (SHOT, v))
        os.mkdir(d)
        for frame in range(1001, 1004):
            touch(os.path.join(d, "%s.v%04d.%04d.exr" % (SHOT, v, frame)))
    return os.path.join(top, "%s.v1000.exr" % SHOT)


def make_shots(top):
    """1,000 small shot directories, each with 3 versions and 2 version
    directories of 2 frames: the loop figure asks each shot for its last."""
    for s in range(1000):
        shot = os.path.join(top, "s%04d" % s)
        os.mkdir(shot)
        for v in range(1, 4):
            touch(os.path.join(shot, "s%04d.v%03d.exr" % (s, v)))
        for v in range(1, 3):
            d = os.path.join(shot, "s%04d.v%03d" % (s, v))
            os.mkdir(d)
            for frame in range(2):
                touch(os.path.join(d, "s%04d.v%03d.%04d.exr" % (s, v, frame)))
    return os.path.join(top, "s0000", "s0000.v001.exr")


TREES = (
    ("render", "render tree: 100 dirs x 50 frames + 100 files", make_render),
    ("flat", "10,000 files in one directory", make_flat),
    ("deep", "20 levels deep, 10 files each", make_deep),
    ("wide", "2,000 small directories", make_wide),
    ("versions", "2,000 version directories of 3 frames + 2,000 files", make_versions),
)
BIG = ("flat", "wide", "versions")  # trees whose 5 ms runs --quick skips, and all 20 ms runs
SHOTS = 1000


class ThreadPeak:
    """The most threads the process had besides the main one and this
    sampler's while the block ran: the scan's listings in flight at most."""

    def __enter__(self):
        import threading

        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample)
        self.thread.start()
        return self

    def sample(self):
        while not self.stop.is_set():
            self.peak = max(self.peak, len(os.listdir("/proc/self/task")) - 2)
            time.sleep(0.0002)

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


# ---------------------------------------------------------------- the floor


def floor_scan(head, pattern):
    """os.walk, fnmatch.filter with the head's last component and "*",
    sorting, and one match of the name pattern per selected file."""
    dirname, basename = os.path.split(head)
    for root, dirnames, filenames in os.walk(dirname):
        for name in sorted(fnmatch.filter(filenames, basename + "*")):
            yield pattern.match(root + "/" + name)


def floor_all(head, pattern):
    return list(floor_scan(head, pattern))


def floor_first(head, pattern):
    return next(floor_scan(head, pattern), None)


# ---------------------------------------------------------------- the child


def operation(name):
    if name == "last":
        return lambda fs: fs.last
    if name == "first":
        return lambda fs: fs.first
    if name == "list":
        return lambda fs: list(fs)
    if name == "next":
        return lambda fs: fs.next
    return lambda fs: fs.previous


def shown(result):
    if isinstance(result, list):
        return [x.filename for x in result]
    return None if result is None else result.filename


def best_of(fn, budget, most):
    """Best time of ``fn`` over repeats that fit in ``budget`` seconds (at
    least one, at most ``most``)."""
    best = float("inf")
    spent = 0.0
    runs = 0
    while runs < most and (runs == 0 or spent < budget):
        start = time.perf_counter()
        fn()
        took = time.perf_counter() - start
        best = min(best, took)
        spent += took
        runs += 1
    return best


def child(args):
    versioner = common.import_versioner()
    plain = common.import_plain()

    trees = json.loads(args.trees)
    budget = 0.3 if args.quick else 1.5
    most = 5 if args.quick else 15
    results = {}
    for tree, filename in trees.items():
        if tree == "shots":
            continue
        if tree in BIG and (args.delay_us >= 20000 or (args.quick and args.delay_us >= 5000)):
            continue
        fs = versioner.VersionFileSystem(filename)
        ref = plain.VersionFileSystem(filename)
        pattern = fs.regex_splits
        floors = {
            "all": best_of(lambda: floor_all(fs.head, pattern), budget, most),
            "first": best_of(lambda: floor_first(fs.head, pattern), budget, most),
        }
        for op in OPERATIONS:
            run = operation(op)
            if shown(run(fs)) != shown(run(ref)):
                raise SystemExit("%s %s: the module and the plain rendering disagree" % (tree, op))
            # Alternate the two, so that a burst of load on the machine
            # falls on both.
            best_k = best_p = float("inf")
            peak = 0
            for _ in range(3):
                with ThreadPeak() as threads:
                    best_k = min(best_k, best_of(lambda: run(fs), budget / 3, max(1, most // 3)))
                peak = max(peak, threads.peak)
                best_p = min(best_p, best_of(lambda: run(ref), budget / 3, max(1, most // 3)))
            floor = floors["first" if op == "first" else "all"]
            results["%s/%s" % (tree, op)] = (best_k, best_p, floor, peak)
    if "shots" in trees and args.delay_us <= 1000:
        # Many short scans in a row: what starting (or not starting) threads
        # for each costs.
        top = os.path.dirname(os.path.dirname(trees["shots"]))
        names = [os.path.join(top, "s%04d" % s, "s%04d.v001.exr" % s) for s in range(SHOTS)]
        ours = [versioner.VersionFileSystem(n) for n in names]
        theirs = [plain.VersionFileSystem(n) for n in names]
        best_k = best_p = float("inf")
        with ThreadPeak() as threads:
            for _ in range(3):
                best_k = min(best_k, best_of(lambda: [fs.last for fs in ours], budget / 3, 3))
                best_p = min(best_p, best_of(lambda: [fs.last for fs in theirs], budget / 3, 3))
        results["shots/loop"] = (best_k, best_p, best_p, threads.peak)
    json.dump(results, sys.stdout)


# ---------------------------------------------------------------- the parent


def build_preload(directory):
    cc = shutil.which("cc")
    if not cc:
        raise SystemExit("latency.py needs a C compiler (cc): apt-get install -y gcc")
    out = os.path.join(directory, "latency_preload.so")
    subprocess.run(
        [cc, "-O2", "-shared", "-fPIC", "-o", out, os.path.join(HERE, "latency_preload.c"), "-ldl"],
        check=True,
    )
    return out


def fmt(seconds):
    ms = seconds * 1000
    if ms >= 100:
        return "%.0f ms" % ms
    if ms >= 10:
        return "%.1f ms" % ms
    return "%.2f ms" % ms


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter runs; no 5 ms on big trees")
    parser.add_argument("--stat-delay", action="store_true",
                        help="delay each stat-family call as much as each directory open")
    parser.add_argument("--no-fuse", action="store_true", help="skip the FUSE mount's figures")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--delay-us", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--trees", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    versioner = common.import_versioner()
    print("kestrum.versioner: %s" % versioner.__file__)
    print("Python %s on %s, %s" % (platform.python_version(), platform.machine(), common.cpu_model()))
    print("each cell: best time; the module's ratio to the plain rendering (xN faster) and to")
    print("the floor (os.walk + fnmatch.filter + sort + one pattern match per file)")
    work = tempfile.mkdtemp(prefix="kestrum-latency-")
    try:
        preload = build_preload(work)
        trees = {}
        for tree, _, make in TREES:
            top = os.path.join(work, tree)
            os.mkdir(top)
            trees[tree] = make(top)
        shots = os.path.join(work, "shots")
        os.mkdir(shots)
        trees["shots"] = make_shots(shots)
        titles = {tree: title for tree, title, _ in TREES}
        for latency in LATENCIES_MS:
            delay_us = int(round(latency * 1000))
            env = dict(os.environ)
            env["LD_PRELOAD"] = preload + (" " + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
            env["KESTRUM_OPEN_DELAY_US"] = str(delay_us)
            env["KESTRUM_STAT_DELAY_US"] = str(delay_us if args.stat_delay else 0)
            command = [sys.executable, os.path.abspath(__file__), "--child",
                       "--delay-us", str(delay_us), "--trees", json.dumps(trees)]
            if args.quick:
                command.append("--quick")
            out = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE).stdout
            results = json.loads(out)
            what = "per directory open" + (" and per stat" if args.stat_delay else "")
            print("\n## %s ms added %s\n" % (("%g" % latency), what))
            print("| tree | operation | kestrum | plain Python | floor | threads |")
            print("|---|---|---|---|---|---|")
            for tree, _, _ in TREES:
                for op in OPERATIONS:
                    key = "%s/%s" % (tree, op)
                    if key not in results:
                        continue
                    k, p, f, peak = results[key]
                    name = "list(fs)" if op == "list" else "fs." + op
                    print("| %s | `%s` | %s | %s (%.1fx) | %s (%.2fx) | %d |"
                          % (titles[tree], name, fmt(k), fmt(p), p / k, fmt(f), k / f, peak))
            if "shots/loop" in results:
                k, p, _, peak = results["shots/loop"]
                print("| %d small shot directories | `fs.last` of each | %s | %s (%.1fx) | | %d |"
                      % (SHOTS, fmt(k), fmt(p), p / k, peak))
            sys.stdout.flush()
        if not args.no_fuse:
            through_fuse(os.path.join(work, "render"), trees["render"], args.quick)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def through_fuse(source, filename, quick):
    """The render tree through the delaying FUSE mount: the module against
    the plain rendering, side by side, and the opens of one `fs.last`."""
    import fuse_mount

    versioner = common.import_versioner()
    plain = common.import_plain()
    # Each directory its own old time: a mount whose directories all report
    # the same times is taken for one that keeps them fixed.
    seconds = 1_000_000_000
    for root, dirnames, _ in os.walk(source):
        for name in dirnames + [""]:
            seconds += 1
            os.utime(os.path.join(root, name), (seconds, seconds))
    budget, most = (0.5, 5) if quick else (1.5, 15)
    for latency in (1.0, 5.0):
        try:
            mount = fuse_mount.DelayingMount(source, delay_us=int(latency * 1000)).__enter__()
        except fuse_mount.Unavailable as why:
            print("\n(no FUSE figures: %s)" % why)
            return
        try:
            name = os.path.join(mount.path, os.path.basename(filename))
            fs, ref = versioner.VersionFileSystem(name), plain.VersionFileSystem(name)
            print("\n## through a FUSE mount, %g ms added per directory open\n" % latency)
            print("| operation | kestrum | plain Python | directory opens (kestrum, plain) |")
            print("|---|---|---|---|")
            for op in ("last", "list"):
                run = operation(op)
                if shown(run(fs)) != shown(run(ref)):
                    raise SystemExit("fuse %s: the module and the plain rendering disagree" % op)
                before = mount.opens()
                run(fs)
                ours = mount.opens() - before
                before = mount.opens()
                run(ref)
                theirs = mount.opens() - before
                best_k = best_p = float("inf")
                for _ in range(3):
                    best_k = min(best_k, best_of(lambda: run(fs), budget / 3, max(1, most // 3)))
                    best_p = min(best_p, best_of(lambda: run(ref), budget / 3, max(1, most // 3)))
                label = "list(fs)" if op == "list" else "fs." + op
                print("| `%s` | %s | %s (%.1fx) | %d, %d |"
                      % (label, fmt(best_k), fmt(best_p), best_p / best_k, ours, theirs))
            sys.stdout.flush()
        finally:
            mount.__exit__(None, None, None)


if __name__ == "__main__":
    main()
