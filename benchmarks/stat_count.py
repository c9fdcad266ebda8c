"""Stat-family system calls per scanned file, counted with strace's summary mode.

    python benchmarks/stat_count.py

Generates the directory of bench.py (10,000 matching files plus 1,000 others)
and runs child interpreters under `strace -f -c`, each doing one thing:

  baseline  import the module, build the VersionFileSystem, and do the bare
            scan work that any answer needs (os.walk, fnmatch.filter, sorted)
  list      import the module, build the VersionFileSystem, list(fs)
  last      import the module, build the VersionFileSystem, fs.last

once with an absolute directory and once with a relative one (the child's
current directory is the temporary directory and the name is
"sh010/sh010.v99999.exr").  The scanned name is one that does not exist on disk,
so the relative name is not anchored to the current directory by the
constructor and the scan really walks a relative directory.  A run's count
minus its baseline's, divided by the number of files the scan yields, is the
figure per scanned file attributable to the module.

Counted system calls: stat, lstat, fstat, newfstatat, statx, fstatat64, stat64,
lstat64, fstat64, access, faccessat, faccessat2 (whichever the platform has).

Needs strace (apt-get install -y strace); exits with status 2 without it, and
with status 1 when the goal of zero per scanned file (below 0.01, so a fixed
handful of calls is tolerated) for an absolute directory is not met.

    python benchmarks/stat_count.py --child-command "CMD"

starts each child with CMD (split as the shell splits it) in place of this
interpreter, and with the environment unchanged: the module counted is then
the one CMD's interpreter imports.  `tools/wine --stat-count` does this with a
Windows wheel's interpreter under Wine, where the counted calls are those that
Wine makes on the Windows calls' behalf (it stats each entry of a directory
listing, for the baseline as for the module).
"""

import os
import shlex
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

STAT_FAMILY = (
    "stat", "lstat", "fstat", "newfstatat", "statx", "fstatat64",
    "stat64", "lstat64", "fstat64", "access", "faccessat", "faccessat2",
)
# "Zero per scanned file": below this figure, i.e. fewer than 100 extra calls
# over 10,000 files; a fixed handful of calls does not grow with the scan.
ZERO = 0.01
MISSING = common.matching_name(99999)  # scanned name, not on disk

CHILD = r"""
import fnmatch, os, sys
from kestrum.versioner import VersionFileSystem
mode, name = sys.argv[1], sys.argv[2]
if os.path.isabs(name) or name.startswith("/"):
    name = os.path.abspath(name)  # with its drive, where names have one
fs = VersionFileSystem(name, pads=%d)
if mode == "baseline":
    dirname, basename = os.path.split(fs.head)
    n = 0
    for root, dirnames, filenames in os.walk(dirname):
        n += len(sorted(fnmatch.filter(filenames, basename + "*")))
elif mode == "list":
    n = len(list(fs))
else:
    n = 1 if fs.last is not None else 0
print(n)
""" % common.PADS


def count(python, env, cwd, mode, name, out):
    """Run one child (python: the command that starts the interpreter) under
    strace; return (what it printed, {syscall: calls})."""
    cmd = ["strace", "-f", "-c", "-o", out] + python + ["-c", CHILD, mode, name]
    proc = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    if proc.returncode != 0:
        sys.exit("stat_count: %s failed (%d):\n%s" % (" ".join(cmd[:5]), proc.returncode, proc.stderr))
    calls = {}
    with open(out) as f:
        for line in f:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(fields) >= 5 and fields[-1] in STAT_FAMILY and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    return proc.stdout.strip(), calls


def main(argv):
    if shutil.which("strace") is None:
        print("stat_count: strace is not installed; install it with: apt-get install -y strace",
              file=sys.stderr)
        return 2
    env = dict(os.environ)
    if argv[:1] == ["--child-command"] and len(argv) == 2:
        python = shlex.split(argv[1])
        print("child:       %s" % argv[1])
    elif not argv:
        python = [sys.executable]
        versioner = common.import_versioner()
        for line in common.header_lines(versioner):
            print(line)
        env["PYTHONPATH"] = os.pathsep.join(
            [common.package_parent(versioner)] + [p for p in [env.get("PYTHONPATH")] if p])
    else:
        print("usage: stat_count.py [--child-command CMD]", file=sys.stderr)
        return 2
    env["PYTHONDONTWRITEBYTECODE"] = "1"

    top = os.path.realpath(tempfile.mkdtemp(prefix="kestrum-stat-"))
    failed = False
    try:
        directory = common.make_tree(top)
        print("directory:   %s (%d matching + %d other files)"
              % (directory, common.MATCHING, common.OTHERS))
        print("counted:     %s" % ", ".join(STAT_FAMILY))
        print()
        out = os.path.join(top, "strace.out")
        cases = [("absolute", os.path.join(directory, MISSING)),
                 ("relative", os.path.join(common.SHOT, MISSING))]
        row = "%-9s %-9s %9s %9s %9s %9s   %s"
        print(row % ("directory", "run", "scanned", "stat-fam", "baseline", "per file", "by call"))
        for where, name in cases:
            # One untraced run first, so that imports behave the same in every traced run. Its
            # output goes to pipes: under Wine an interpreter whose output is a file fails.
            proc = subprocess.run(python + ["-c", CHILD, "baseline", name], cwd=top, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True)
            if proc.returncode != 0:
                sys.exit("stat_count: the child failed (%d):\n%s" % (proc.returncode, proc.stderr))
            base_n, base = count(python, env, top, "baseline", name, out)
            base_total = sum(base.values())
            print(row % (where, "baseline", base_n, base_total, "-", "-", _by_call(base)))
            for mode in ("list", "last"):
                printed, calls = count(python, env, top, mode, name, out)
                total = sum(calls.values())
                scanned = common.MATCHING
                if printed != (str(scanned) if mode == "list" else "1"):
                    sys.exit("stat_count: %s printed %r, not the expected scan" % (mode, printed))
                per_file = (total - base_total) / float(scanned)
                print(row % (where, mode, scanned, total, base_total, "%.3f" % per_file,
                             _by_call(calls)))
                if where == "absolute" and per_file >= ZERO:
                    failed = True
        print()
        print("goal (absolute directory, 0 stat-family calls per scanned file): %s"
              % ("NOT MET" if failed else "met"))
    finally:
        shutil.rmtree(top, ignore_errors=True)
    return 1 if failed else 0


def _by_call(calls):
    return " ".join("%s=%d" % kv for kv in sorted(calls.items())) or "none"


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
