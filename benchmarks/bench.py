"""Timings of kestrum.versioner, each next to its floor measured in the same run.

    python benchmarks/bench.py [--quick] [--json FILE]

The floor of an operation is the bare standard-library work that any answer
needs, written inline in Python below (floor_* functions).  Every operation is
timed with timeit: the loop count is grown until one measurement takes at
least TARGET seconds, then the best (minimum) of REPEAT measurements is kept.
The module and its floor are measured alternately, repeat by repeat.
Scans run once per measurement, best of SCAN_REPEAT, over a generated
directory of 10,000 matching files plus 1,000 others.

Every operation is also timed on the plain-Python rendering of the same
behaviour (plain.py), in the same run and on the same interpreter, alternately
with the module; "plain/k" is how many times faster the module is.  The memory
line compares sys.getsizeof of a Version instance plus its __dict__ with the
plain rendering's.  --json FILE writes every figure, for comparing runs.
"""

import argparse
import fnmatch
import json
import platform
import os
import re
import shutil
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

versioner = common.import_versioner()
Version = versioner.Version
VersionFileSystem = versioner.VersionFileSystem
REGEX = versioner.regex_splits
plain = common.import_plain()

NAME_GOAL = 5.0  # name operations: at least this many times faster than plain
NAME_OPS = ("Version(name)", "v.to(13)", "v.next", "v.previous", "v == text", "v.versionless")
IN_GOAL = 4.0  # 13 in fs: at least this many times faster than plain
EXISTS_GOAL = 1.1  # fs.exists: at most this many times a bare os.stat of the same path
LAST_GOAL = 1.5  # fs.last: at most this many times its floor


# ---------------------------------------------------------------- floors


class Record:
    """A plain object; the floors give it the eight attributes a parsed name
    carries."""


def floor_construct(filename, pads=3, postfix=".v", ext=".*"):
    """Construction: os.path.splitext, re.compile of the name pattern, one
    finditer over the name (consumed) and an object with eight attributes.
    The pattern text has to be formatted from postfix and extension first;
    re.compile answers from its own cache, as it does for the module."""
    extension = os.path.splitext(filename)[1]
    if extension:
        ext = extension[1:]
    pattern = re.compile(REGEX % (postfix, ext))
    matches = list(pattern.finditer(filename))
    if matches:
        head, version, tail = matches[0].groups()
    else:
        i = filename.rfind(".")
        head, version, tail = (filename[:i], None, filename[i:]) if i >= 0 else (None,) * 3
    o = Record()
    o.filename = filename
    o.postfix = postfix
    o.pads = pads
    o.ext = ext
    o.regex_splits = pattern
    o.head = head
    o.version = version
    o.tail = tail
    return o


def floor_construct_fs(filename):
    """VersionFileSystem construction: the absolute-name test, then the
    construction floor."""
    os.path.isabs(filename)
    return floor_construct(filename)


def floor_to(rec, number):
    """to: the int() conversions and the % formatting of the padded number
    and of the new name, the rewrite of the receiver's filename, then the
    construction floor for the new name with the receiver's settings."""
    digits = "%0*d" % (int(rec.pads), int(number))
    rec.filename = "%s%s%s" % (rec.head, digits, rec.tail)
    return floor_construct(rec.filename, rec.pads, rec.postfix, rec.ext)


def floor_next(rec):
    """next: the number (int of the digits), the width's limit, then to."""
    number = int(rec.version) + 1
    if number <= int("9" * rec.pads):
        return floor_to(rec, number)


def floor_previous(rec):
    """previous: the number (int of the digits), then to."""
    number = int(rec.version)
    if number > 1:
        return floor_to(rec, number - 1)


def floor_eq_text(rec, text):
    """== with a text: the construction floor for the text and both numbers."""
    return int(rec.version) == int(floor_construct(text).version)


def floor_versionless(rec):
    """versionless: cut the postfix off the head, join with the tail, then
    the construction floor."""
    return floor_construct("%s%s" % (rec.head[: -len(rec.postfix)], rec.tail))


def floor_in(rec, number):
    """in: two construction floors (the copy and the result of to, with to's
    formatting) and os.path.exists."""
    copy = floor_construct(rec.filename, rec.pads, rec.postfix, rec.ext)
    return os.path.exists(floor_to(copy, number).filename)


def floor_scan(head, pattern):
    """A scan: os.walk, fnmatch.filter with the head's last component and
    "*", sorting, and one match of the compiled name pattern per selected
    file (on the joined path, which every item needs)."""
    dirname, basename = os.path.split(head)
    for root, dirnames, filenames in os.walk(dirname):
        for name in sorted(fnmatch.filter(filenames, basename + "*")):
            yield pattern.match(root + "/" + name)


def floor_last(head, pattern):
    for match in floor_scan(head, pattern):
        pass
    return match


# ---------------------------------------------------------------- timing


def calibrate(timer, target):
    """Loop count with which one measurement takes at least ``target`` s."""
    number = 1
    while True:
        for step in (1, 2, 5):
            n = number * step
            if timer.timeit(n) >= target:
                return n
        number *= 10


def measure(statements, ns, target, repeat, number=None):
    """Best time per call of each statement, measured alternately, repeat by
    repeat."""
    timers = [timeit.Timer(stmt, globals=ns) for stmt in statements]
    counts = [number or calibrate(timer, target) for timer in timers]
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for i, (timer, n) in enumerate(zip(timers, counts)):
            best[i] = min(best[i], timer.timeit(n) / n)
    return best


def memory():
    """sys.getsizeof of a Version instance plus its __dict__, for the module
    and for the plain rendering, each with the same name parsed."""
    name = "/proj/sh010/sh010.v012.exr"
    v, p = Version(name), plain.Version(name)
    return (sys.getsizeof(v) + sys.getsizeof(v.__dict__), sys.getsizeof(p) + sys.getsizeof(p.__dict__))


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            digits = 0 if value >= 100 else 1 if value >= 10 else 2
            return "%.*f %s" % (digits, value, unit)


def check(label, got, want):
    if str(got) != want:
        sys.exit("bench: %s gave %r, expected %r; not timing a wrong answer" % (label, str(got), want))


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter measurements and fewer repeats")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE as JSON")
    parser.add_argument("--repeat", type=int, metavar="N",
                        help="repeats of each micro-operation (default 7, quick 3): more on a "
                             "host whose timings jump, such as an emulator, for steadier bests")
    args = parser.parse_args()
    target, repeat, scan_repeat = (0.02, 3, 3) if args.quick else (0.1, 7, 5)
    repeat = args.repeat or repeat

    for line in common.header_lines(versioner):
        print(line)
    print(
        "settings:    %s: micro-ops best of %d x >=%gs, scans best of %d"
        % ("quick" if args.quick else "full", repeat, target, scan_repeat)
    )

    top = os.path.realpath(tempfile.mkdtemp(prefix="kestrum-bench-"))
    try:
        directory = common.make_tree(top)
        print(
            "directory:   %s (%d matching + %d other files)"
            % (directory, common.MATCHING, common.OTHERS)
        )
        print()
        rows, stat_time = run(directory, target, repeat, scan_repeat)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    sizes = memory()
    verdicts = report(rows, stat_time, sizes)
    if args.json:
        write_json(args.json, args.quick, rows, stat_time, sizes, verdicts)


def run(directory, target, repeat, scan_repeat):
    name = "/proj/sh010/sh010.v012.exr"
    on_disk = os.path.join(directory, common.matching_name(5000))
    ns = {
        "Version": Version,
        "VersionFileSystem": VersionFileSystem,
        "PVersion": plain.Version,
        "PVersionFileSystem": plain.VersionFileSystem,
        "name": name,
        "on_disk": on_disk,
        "text": "plate.v012.dpx",
        "os": os,
        "int": int,
        "digits": "012",
    }
    ns.update((k, v) for k, v in globals().items() if k.startswith("floor_"))
    # Receivers.  to, next and previous rewrite the receiver's filename but
    # leave head, version and tail alone, so every repetition on the same
    # receiver builds the same name and does the same work: each operation
    # keeps its own receiver and reuses it, for the module and for the floor.
    for key in ("v", "v_to", "v_next", "v_prev"):
        ns[key] = Version(name)
        ns["p" + key] = plain.Version(name)
        ns["r" + key[1:]] = floor_construct(name)
    fs = VersionFileSystem(on_disk, pads=common.PADS)
    ns["fs"] = fs
    ns["pfs"] = plain.VersionFileSystem(on_disk, pads=common.PADS)
    ns["r_fs"] = floor_construct(on_disk, common.PADS)
    ns["head"] = fs.head
    ns["pattern"] = fs.regex_splits

    check("v.to(13)", Version(name).to(13), "/proj/sh010/sh010.v013.exr")
    check("v.next", Version(name).next, "/proj/sh010/sh010.v013.exr")
    check("v.versionless", Version(name).versionless, "/proj/sh010/sh010.exr")
    check("13 in fs", 13 in fs, "True")
    # The plain rendering gives the same answers.
    for label, stmt in (("v.to(13)", "v.to(13)"), ("v.next", "v.next"), ("v.previous", "v.previous"),
                        ("v.versionless", "v.versionless"), ("v == text", "v == text")):
        want = str(eval(stmt, dict(ns, v=Version(name))))
        check("plain " + label, eval(stmt, dict(ns, v=plain.Version(name))), want)
    check("plain 13 in fs", 13 in ns["pfs"], "True")

    # (label, module statement, plain statement, floor statement)
    micro = [
        ("Version(name)", "Version(name)", "PVersion(name)", "floor_construct(name)"),
        ("VersionFileSystem(abs)", "VersionFileSystem(on_disk)", "PVersionFileSystem(on_disk)",
         "floor_construct_fs(on_disk)"),
        ("v.current", "v.current", "pv.current", "int(digits)"),
        ("v.to(13)", "v_to.to(13)", "pv_to.to(13)", "floor_to(r_to, 13)"),
        ("v.next", "v_next.next", "pv_next.next", "floor_next(r_next)"),
        ("v.previous", "v_prev.previous", "pv_prev.previous", "floor_previous(r_prev)"),
        ("v == text", "v == text", "pv == text", "floor_eq_text(r, text)"),
        ("v == 12", "v == 12", "pv == 12", "int(digits) == 12"),
        ("v.versionless", "v.versionless", "pv.versionless", "floor_versionless(r)"),
        ("13 in fs", "13 in fs", "13 in pfs", "floor_in(r_fs, 13)"),
        ("fs.exists", "fs.exists", "pfs.exists", "os.path.exists(on_disk)"),
    ]
    rows = []
    for label, k_stmt, p_stmt, f_stmt in micro:
        k, p, f = measure((k_stmt, p_stmt, f_stmt), ns, target, repeat)
        rows.append((label, k, p, f, None))
    (stat_time,) = measure(("os.stat(on_disk)",), ns, target, repeat)

    # A scan joins each name to its directory with "/", on Windows too.
    want_first = directory + "/" + common.matching_name(1)
    check("len(list(fs))", len(list(fs)), str(common.MATCHING))
    check("fs.first", fs.first, want_first)
    check("fs.last", fs.last, directory + "/" + common.matching_name(common.MATCHING))
    check("fs.next", fs.next, directory + "/" + common.matching_name(5001))
    check("floor first", next(floor_scan(fs.head, fs.regex_splits)).string, want_first)
    # The four scans share one floor: the whole scan, or its first item for
    # fs.first (the walk then lists only the top directory).
    scans = [
        ("list(fs)", "list(fs)", "list(pfs)", "list(floor_scan(head, pattern))"),
        ("fs.first", "fs.first", "pfs.first", "next(floor_scan(head, pattern))"),
        ("fs.last", "fs.last", "pfs.last", "floor_last(head, pattern)"),
        ("fs.next", "fs.next", "pfs.next", "list(floor_scan(head, pattern))"),
    ]
    for label, k_stmt, p_stmt, f_stmt in scans:
        k, p, f = measure((k_stmt, p_stmt, f_stmt), ns, None, scan_repeat, number=1)
        rows.append((label, k, p, f, common.MATCHING))
    return rows, stat_time


def verdict(label, k, p, f, stat_time):
    """(goal text, met) for an operation with a goal, else None."""
    if label in NAME_OPS:
        return ">=%gx plain" % NAME_GOAL, p / k >= NAME_GOAL
    if label == "13 in fs":
        return ">=%gx plain" % IN_GOAL, p / k >= IN_GOAL
    if label == "fs.exists":
        return "<=%gx os.stat (%s)" % (EXISTS_GOAL, fmt_time(stat_time)), k / stat_time <= EXISTS_GOAL
    if label == "fs.last":
        return "<=%gx floor" % LAST_GOAL, k / f <= LAST_GOAL
    return None


def report(rows, stat_time, sizes):
    head = ("operation", "kestrum", "plain", "plain/k", "floor", "k/floor", "goal")
    widths = (24, 10, 10, 8, 10, 8, 32)
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, head)).rstrip()
    print(line)
    print("-" * len(line))
    verdicts = {}
    notes = []
    for label, k, p, f, files in rows:
        goal = verdict(label, k, p, f, stat_time)
        goal_s = "-"
        if goal:
            verdicts[label] = goal[1]
            goal_s = "%s: %s" % (goal[0], "met" if goal[1] else "NOT MET")
        cells = (label, fmt_time(k), fmt_time(p), "%.1fx" % (p / k), fmt_time(f), "%.2f" % (k / f), goal_s)
        print("  ".join("%-*s" % (w, c) for w, c in zip(widths, cells)).rstrip())
        if files and label != "fs.first":  # first stops after one item
            notes.append(
                "  %-10s %6.2f us/file, plain %6.2f us/file, floor %5.2f us/file"
                % (label, k / files * 1e6, p / files * 1e6, f / files * 1e6)
            )
    print()
    print("per scanned file (%d matching files):" % common.MATCHING)
    print("\n".join(notes))
    print()
    ok = sizes[0] <= sizes[1]
    verdicts["memory"] = ok
    print(
        "memory: Version instance + __dict__ %d bytes, plain %d bytes (goal <= plain: %s)"
        % (sizes[0], sizes[1], "met" if ok else "NOT MET")
    )
    print(
        "goals met: %d of %d on CPython %s (the zero-stat goal is checked by benchmarks/stat_count.py)"
        % (sum(verdicts.values()), len(verdicts), platform.python_version())
    )
    return verdicts


def write_json(path, quick, rows, stat_time, sizes, verdicts):
    figures = {
        "interpreter": platform.python_version(),
        "executable": sys.executable,
        "module": versioner.__file__,
        "quick": quick,
        "seconds": {
            label: {"kestrum": k, "plain": p, "floor": f, "files": files}
            for label, k, p, f, files in rows
        },
        "os.stat": stat_time,
        "memory": {"kestrum": sizes[0], "plain": sizes[1]},
        "goals_met": verdicts,
    }
    with open(path, "w") as out:
        json.dump(figures, out, indent=1, sort_keys=True)
        out.write("\n")


if __name__ == "__main__":
    main()
