"""The native walk lists the directories ahead of the scan on worker threads.
What comes out must be what a walk listing each directory as it reaches it
gives: held here against os.walk advanced in lockstep over the same tree,
including changes made while the scan is suspended, and for a scan closed
early, a fork, and audit hooks that refuse listings."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrum.versioner import VersionFileSystem

from test_hostile_trees import plain_scan

OLD = 1_000_000_000  # a modification time well in the past


def age(top):
    """Give every directory an old modification time: a listing taken ahead of
    a directory changed in the last moments is never used, so without this the
    read-ahead would hardly ever be exercised in a freshly made tree."""
    for root, dirnames, _ in os.walk(top):
        for name in dirnames:
            os.utime(os.path.join(root, name), (OLD, OLD), follow_symlinks=False)
    os.utime(top, (OLD, OLD))


def touch(*paths):
    for path in paths:
        open(path, "w").close()


def build(top, dirs, files):
    for d in dirs:
        os.makedirs(os.path.join(top, d), exist_ok=True)
    for d, name in files:
        os.makedirs(os.path.join(top, d), exist_ok=True)
        touch(os.path.join(top, d, "sh.v%03d.exr" % name))


def lockstep(top, taken, change):
    """The scan and the plain rendering over the same tree, both advanced by
    ``taken`` items, then ``change`` made, then both finished."""
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    plain = plain_scan(top + "/sh.v")
    ours, theirs = [], []
    for _ in range(taken):
        ours.append(next(scan, None))
        theirs.append(next(plain, None))
    change()
    ours += list(scan)
    theirs += list(plain)
    return [None if i is None else i.filename for i in ours], theirs


dir_names = st.sampled_from(["a", "b", "c", "d", "a/x", "a/y", "b/x", "c/z", "a/x/q", "d/e/f"])
changes = st.lists(
    st.tuples(st.sampled_from(["mkdir", "rmtree", "rename", "touch", "remove"]), dir_names,
              st.integers(1, 40)),
    max_size=6,
)


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    dirs=st.lists(dir_names, max_size=8),
    files=st.lists(st.tuples(st.sampled_from(["", "a", "b", "c", "d", "a/x", "b/x", "c/z"]),
                             st.integers(1, 40)), max_size=30),
    taken=st.integers(0, 12),
    edits=changes,
)
def test_order_and_changes_while_suspended_match_a_sequential_walk(dirs, files, taken, edits):
    with tempfile.TemporaryDirectory() as top:
        build(top, dirs, files)
        age(top)

        def change():
            for op, d, n in edits:
                path = os.path.join(top, d)
                if op == "mkdir":
                    os.makedirs(path, exist_ok=True)
                    touch(os.path.join(path, "sh.v%03d.exr" % n))
                elif op == "rmtree":
                    shutil.rmtree(path, ignore_errors=True)
                elif op == "rename" and os.path.isdir(path):
                    moved = os.path.join(top, "moved%d" % n)
                    if not os.path.exists(moved):
                        os.rename(path, moved)
                elif op == "touch" and os.path.isdir(path):
                    touch(os.path.join(path, "sh.v%03d.exr" % n))
                elif op == "remove":
                    target = os.path.join(path, "sh.v%03d.exr" % n)
                    if os.path.exists(target):
                        os.remove(target)

        ours, theirs = lockstep(top, taken, change)
        assert ours == theirs


def test_wide_tree_in_order(tmp_path):
    top = str(tmp_path)
    build(top, [], [("g%d/s%d" % (g, s), g * 100 + s) for g in range(12) for s in range(30)])
    age(top)
    items = [i.filename for i in VersionFileSystem(top + "/sh.v001.exr")]
    assert items == list(plain_scan(top + "/sh.v"))


def threads():
    return len(os.listdir("/proc/self/task"))


def test_a_closed_scan_leaves_no_worker_behind(tmp_path):
    top = str(tmp_path)
    build(top, [], [("d%04d" % i, 1) for i in range(1000)])
    age(top)
    before = threads()
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    next(scan)
    next(scan)  # the listings ahead are under way
    scan.close()
    # Idle workers leave after half a second.
    deadline = time.monotonic() + 5
    while threads() > before and time.monotonic() < deadline:
        time.sleep(0.05)
    # (Workers of earlier scans may have left meanwhile too.)
    assert threads() <= before


def test_fork_with_a_suspended_scan(tmp_path):
    top = str(tmp_path)
    build(top, [], [("d%03d/e%d" % (i, j), i) for i in range(60) for j in range(2)])
    age(top)
    expected = list(plain_scan(top + "/sh.v"))
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    head = [next(scan).filename for _ in range(5)]
    with warnings.catch_warnings():
        # From 3.12 on, fork() warns when the process has other threads (the
        # workers listing ahead).
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its status
        try:
            rest = [i.filename for i in scan]
            again = [i.filename for i in VersionFileSystem(top + "/sh.v001.exr")]
            os._exit(0 if head + rest == expected and again == expected else 1)
        finally:
            os._exit(2)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert head + [i.filename for i in scan] == expected


AUDIT_CHILD = textwrap.dedent(
    """
    import json, os, sys
    from kestrum import versioner
    top, refused, error = json.loads(sys.argv[1])

    def hook(event, args):
        if event == "os.scandir" and args[0] == refused:
            raise {"OSError": PermissionError, "other": LookupError}[error](args[0])

    sys.addaudithook(hook)

    def run():
        out = []
        try:
            for item in versioner.VersionFileSystem(top + "/sh.v001.exr"):
                out.append(item.filename)
        except Exception as exc:
            out.append(type(exc).__name__)
        return out

    native = run()
    walk = os.walk
    versioner.os = type(os)("os_standin")
    versioner.os.path, versioner.os.getcwd = os.path, os.getcwd
    versioner.os.walk = lambda top: walk(top)
    print(json.dumps([native, run()]))
    """
)


def test_an_audit_hook_refusing_a_listing_ahead(tmp_path):
    top = str(tmp_path)
    build(top, [], [("d%02d" % i, i + 1) for i in range(40)] + [("d05/deeper", 99)])
    age(top)
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    env = dict(os.environ, PYTHONPATH=package_parent)
    for error in ("OSError", "other"):
        # d30 is listed ahead long before the walk reaches it.
        arg = json.dumps([top, top + "/d30", error])
        proc = subprocess.run([sys.executable, "-c", AUDIT_CHILD, arg], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        native, general = json.loads(proc.stdout)
        assert native == general
        if error == "OSError":
            assert top + "/d30/sh.v031.exr" not in native and len(native) == 40
        else:
            assert native[-1] == "LookupError" and len(native) > 1


def test_no_leaks_with_listings_ahead(tmp_path, leak_check):
    top = str(tmp_path)
    build(top, [], [("d%02d/e" % i, i + 1) for i in range(30)])
    age(top)
    fs = VersionFileSystem(top + "/sh.v001.exr")

    def closed_early():
        scan = iter(fs)
        next(scan), next(scan)
        scan.close()

    leak_check(lambda: list(fs), objects=(fs,), iterations=30, warmup=15)
    leak_check(closed_early, objects=(fs,), iterations=30, warmup=15)


FIRST_CHILD = textwrap.dedent(
    """
    import sys
    from kestrum import versioner
    fs = versioner.VersionFileSystem(sys.argv[1] + "/sh.v001.exr")
    listed = []
    sys.addaudithook(lambda event, args: event == "os.scandir" and listed.append(args[0]))
    first = fs.first
    print(len(listed), first.filename)
    """
)


def test_first_sets_few_listings_going(tmp_path):
    # The reach of the read-ahead grows with the directories handed out, so
    # an item found three directories down announces a handful of listings,
    # not the whole bound of 64.
    top = str(tmp_path)
    build(top, [], [("g%02d/s%02d" % (g, s), g * 100 + s) for g in range(40) for s in range(20)])
    age(top)
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    proc = subprocess.run([sys.executable, "-c", FIRST_CHILD, top],
                          env=dict(os.environ, PYTHONPATH=package_parent),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    count, first = proc.stdout.split()
    assert first == next(plain_scan(top + "/sh.v"))
    assert int(count) <= 16, count
