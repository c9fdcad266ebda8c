"""Timings of kestrum.versioner, each next to its floor measured in the same run.

    python benchmarks/bench.py [--quick]

The floor of an operation is the bare standard-library work that any answer
needs, written inline in Python below (floor_* functions).  Every operation is
timed with timeit: the loop count is grown until one measurement takes at
least TARGET seconds, then the best (minimum) of REPEAT measurements is kept.
The module and its floor are measured alternately, repeat by repeat.
Scans run once per measurement, best of SCAN_REPEAT, over a generated
directory of 10,000 matching files plus 1,000 others.

The reference column holds the figures of a plain-Python rendering of the same
behaviour, measured once on a machine like this one under CPython 3.9; they
are constants, not measured here.
"""

import argparse
import fnmatch
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

# Plain-Python reference figures (seconds), CPython 3.9.
REF = {
    "Version(name)": 5.4e-6,
    "v.to(13)": 7.1e-6,
    "v.next": 9.0e-6,
    "v == text": 6.5e-6,
    "13 in fs": 27e-6,
    "fs.last": 13e-6 * common.MATCHING,  # 26 ms over 2,000 files: 13 us per file
}
NAME_GOAL = 5.0  # name operations: at least this many times faster than REF
NAME_OPS = ("Version(name)", "v.to(13)", "v.next", "v == text")
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


def measure(k_stmt, f_stmt, ns, target, repeat, number=None):
    """Best time per call of the module's statement and of its floor."""
    k_timer = timeit.Timer(k_stmt, globals=ns)
    f_timer = timeit.Timer(f_stmt, globals=ns)
    k_n = number or calibrate(k_timer, target)
    f_n = number or calibrate(f_timer, target)
    k_best = f_best = float("inf")
    for _ in range(repeat):
        k_best = min(k_best, k_timer.timeit(k_n) / k_n)
        f_best = min(f_best, f_timer.timeit(f_n) / f_n)
    return k_best, f_best


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
    args = parser.parse_args()
    target, repeat, scan_repeat = (0.02, 3, 3) if args.quick else (0.1, 7, 5)

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
        rows = run(directory, target, repeat, scan_repeat)
    finally:
        shutil.rmtree(top, ignore_errors=True)
    report(rows)


def run(directory, target, repeat, scan_repeat):
    name = "/proj/sh010/sh010.v012.exr"
    on_disk = os.path.join(directory, common.matching_name(5000))
    ns = {
        "Version": Version,
        "VersionFileSystem": VersionFileSystem,
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
        ns["r" + key[1:]] = floor_construct(name)
    fs = VersionFileSystem(on_disk, pads=common.PADS)
    ns["fs"] = fs
    ns["r_fs"] = floor_construct(on_disk, common.PADS)
    ns["head"] = fs.head
    ns["pattern"] = fs.regex_splits

    check("v.to(13)", Version(name).to(13), "/proj/sh010/sh010.v013.exr")
    check("v.next", Version(name).next, "/proj/sh010/sh010.v013.exr")
    check("v.versionless", Version(name).versionless, "/proj/sh010/sh010.exr")
    check("13 in fs", 13 in fs, "True")

    # (label, module statement, floor statement, what the floor is)
    micro = [
        ("Version(name)", "Version(name)", "floor_construct(name)"),
        ("VersionFileSystem(abs)", "VersionFileSystem(on_disk)", "floor_construct_fs(on_disk)"),
        ("v.current", "v.current", "int(digits)"),
        ("v.to(13)", "v_to.to(13)", "floor_to(r_to, 13)"),
        ("v.next", "v_next.next", "floor_next(r_next)"),
        ("v.previous", "v_prev.previous", "floor_previous(r_prev)"),
        ("v == text", "v == text", "floor_eq_text(r, text)"),
        ("v == 12", "v == 12", "int(digits) == 12"),
        ("v.versionless", "v.versionless", "floor_versionless(r)"),
        ("13 in fs", "13 in fs", "floor_in(r_fs, 13)"),
        ("fs.exists", "fs.exists", "os.path.exists(on_disk)"),
    ]
    rows = []
    for label, k_stmt, f_stmt in micro:
        k, f = measure(k_stmt, f_stmt, ns, target, repeat)
        rows.append((label, k, f, None))

    want_first = os.path.join(directory, common.matching_name(1))
    check("len(list(fs))", len(list(fs)), str(common.MATCHING))
    check("fs.first", fs.first, want_first)
    check("fs.last", fs.last, os.path.join(directory, common.matching_name(common.MATCHING)))
    check("fs.next", fs.next, os.path.join(directory, common.matching_name(5001)))
    check("floor first", next(floor_scan(fs.head, fs.regex_splits)).string, want_first)
    # The four scans share one floor: the whole scan, or its first item for
    # fs.first (the walk then lists only the top directory).
    scans = [
        ("list(fs)", "list(fs)", "list(floor_scan(head, pattern))"),
        ("fs.first", "fs.first", "next(floor_scan(head, pattern))"),
        ("fs.last", "fs.last", "floor_last(head, pattern)"),
        ("fs.next", "fs.next", "list(floor_scan(head, pattern))"),
    ]
    for label, k_stmt, f_stmt in scans:
        k, f = measure(k_stmt, f_stmt, ns, None, scan_repeat, number=1)
        rows.append((label, k, f, common.MATCHING))
    return rows


def report(rows):
    head = ("operation", "kestrum", "floor", "k/floor", "reference", "ref/k", "goal")
    widths = (24, 10, 10, 8, 10, 7, 22)
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, head)).rstrip()
    print(line)
    print("-" * len(line))
    met = total = 0
    notes = []
    for label, k, f, files in rows:
        ratio = k / f
        ref = REF.get(label)
        ref_s = fmt_time(ref) if ref else "-"
        speed = "%.1fx" % (ref / k) if ref else "-"
        goal = "-"
        if label in NAME_OPS:
            ok = ref / k >= NAME_GOAL
            goal = ">=%gx ref: %s" % (NAME_GOAL, "met" if ok else "NOT MET")
        elif label == "fs.last":
            ok = ratio <= LAST_GOAL
            goal = "<=%gx floor: %s" % (LAST_GOAL, "met" if ok else "NOT MET")
        if goal != "-":
            total += 1
            met += ok
        cells = (label, fmt_time(k), fmt_time(f), "%.2f" % ratio, ref_s, speed, goal)
        print("  ".join("%-*s" % (w, c) for w, c in zip(widths, cells)).rstrip())
        if files and label != "fs.first":  # first stops after one item
            notes.append(
                "  %-10s %6.2f us/file, floor %5.2f us/file" % (label, k / files * 1e6, f / files * 1e6)
            )
    print()
    print("per scanned file (%d matching files):" % common.MATCHING)
    print("\n".join(notes))
    print(
        "  fs.last reference: 13 us/file (26 ms over 2,000 files), scaled to %d files" % common.MATCHING
    )
    print()
    if sys.version_info[:2] != (3, 9):
        print("note: the reference figures were measured under CPython 3.9; the 5x verdicts hold for 3.9 runs")
    print("goals met: %d of %d (the zero-stat goal is checked by benchmarks/stat_count.py)" % (met, total))


if __name__ == "__main__":
    main()
