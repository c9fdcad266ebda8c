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
import threading
import time
import warnings

import pytest

if os.name == "nt":
    pytest.skip("the native walk's read-ahead (fork, the delay shim, FUSE), closed on Windows",
                allow_module_level=True)

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kestrum.versioner import VersionFileSystem

from test_hostile_trees import plain_scan, scan_path  # noqa: F401 (a fixture)
from trees import delay_shim, make_tree, run_child

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
    import sys, time
    from kestrum import versioner

    def run_queue_us():
        # The time this thread has been ready to run while others had the
        # cores (Linux); None where the system does not tell.
        try:
            with open("/proc/thread-self/schedstat") as f:
                return int(f.read().split()[1]) / 1e3
        except (OSError, IndexError, ValueError):
            return None

    fs = versioner.VersionFileSystem(sys.argv[1] + "/sh.v001.exr")
    listed = []
    sys.addaudithook(lambda event, args: event == "os.scandir" and listed.append(args[0]))
    # Each reading of the run queue outside the span of the others: any
    # doubt makes the time asleep look longer, not shorter.
    wall, cpu = time.monotonic(), time.thread_time()
    queued = run_queue_us()
    first = fs.first
    queued_end = run_queue_us()
    wall, cpu = time.monotonic() - wall, time.thread_time() - cpu
    asleep = None
    if queued is not None and queued_end is not None:
        asleep = int((wall - cpu) * 1e6 - (queued_end - queued))
    print(len(listed), first.filename, asleep)
    """
)

# A listing that waits this long (in microseconds) tells the walk that the
# file system is far away: the walk sets its whole reach going at once.
FAR_LISTING_US = 2000


def test_first_sets_few_listings_going(tmp_path):
    # The reach of the read-ahead grows with the directories handed out, so
    # an item found three directories down announces a handful of listings,
    # not the whole bound of 64. Unless a listing of the caller's own waited
    # for long, asleep and not ready to run while others had the cores: a
    # disk busy with a journal commit, or under an emulator (qemu) the
    # caller's listing just after the first worker starts, which sleeps for
    # milliseconds there as the emulator sets up the second thread. A run
    # in which the caller slept that long in all tells nothing, and another
    # is made; where the system does not tell the time asleep, the fewest of
    # the runs is checked.
    top = str(tmp_path)
    build(top, [], [("g%02d/s%02d" % (g, s), g * 100 + s) for g in range(40) for s in range(20)])
    age(top)
    runs = []
    for _ in range(5):
        proc = run_child(FIRST_CHILD, top)
        assert proc.returncode == 0, proc.stderr
        count, first, asleep = proc.stdout.split()
        assert first == next(plain_scan(top + "/sh.v"))
        runs.append((int(count), None if asleep == "None" else int(asleep)))
        count, asleep = runs[-1]
        if count <= 16:
            break
        # Far without a wait of its own: the walk took time spent ready to
        # run, or none at all, for a wait on the file system.
        assert asleep is None or asleep >= FAR_LISTING_US, runs
    assert min(count for count, _ in runs) <= 16, runs


LISTED_AHEAD_CHILD = textwrap.dedent(
    """
    import sys, time
    from kestrum import versioner
    fs = versioner.VersionFileSystem(sys.argv[1] + "/sh.v001.exr")
    listed = []
    sys.addaudithook(lambda event, args: event == "os.scandir" and listed.append(args[0]))
    scan = iter(fs)
    reached = {next(scan).filename.rsplit("/", 1)[0] for _ in range(6)}
    time.sleep(0.1)
    print(len(reached), len(listed))
    """
)


@pytest.mark.no_refleak_rerun  # a child process
def test_listings_are_taken_ahead(tmp_path):
    # While the consumer works on a directory, the ones the walk enters next
    # are already being listed: more listings announced than directories
    # reached.
    top = str(tmp_path)
    build(top, [], [("d%02d" % i, i + 1) for i in range(40)])
    age(top)
    proc = run_child(LISTED_AHEAD_CHILD, top)
    assert proc.returncode == 0, proc.stderr
    reached, listed = map(int, proc.stdout.split())
    assert listed >= reached + 8, (reached, listed)


def suspended_then_changed(top, change, taken=5):
    """The scan and the plain rendering, each advanced by ``taken`` items while
    the listings ahead come in, then ``change(directories not reached)``,
    then both finished."""
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    plain = plain_scan(top + "/sh.v")
    ours = [next(scan).filename for _ in range(taken)]
    theirs = [next(plain) for _ in range(taken)]
    time.sleep(0.1)
    reached = {os.path.dirname(p) for p in ours}
    dirs = sorted(os.path.join(top, d) for d in os.listdir(top)
                  if os.path.isdir(os.path.join(top, d)))
    change([d for d in dirs if d not in reached])
    ours += [i.filename for i in scan]
    theirs += list(plain)
    return ours, theirs


def add_version_keeping_mtime(dirs):
    for d in dirs:
        st = os.stat(d)
        touch(os.path.join(d, "sh.v999.exr"))
        os.utime(d, ns=(st.st_atime_ns, st.st_mtime_ns))  # back to the very same tick


def test_a_change_hidden_by_restoring_the_mtime_is_seen(tmp_path):
    # tar, rsync -t and cp -p set a directory's mtime back after changing it:
    # only its ctime then tells.
    top = str(tmp_path)
    build(top, [], [("d%02d" % i, i + 1) for i in range(30)])
    age(top)
    time.sleep(0.1)  # the ctimes the aging set are past the clock tick too
    ours, theirs = suspended_then_changed(top, add_version_keeping_mtime)
    assert ours == theirs
    assert sum(p.endswith("/sh.v999.exr") for p in ours) == 30 - 5


@pytest.fixture
def coarse_fs(tmp_path):
    """A file system with whole-second timestamps: ext4 with 128-byte inodes
    on a loop device."""
    search = os.pathsep.join(["/sbin", "/usr/sbin", os.environ.get("PATH", "")])
    mkfs = shutil.which("mkfs.ext4", path=search)
    mount = shutil.which("mount", path=search)
    if not mkfs or not mount:
        pytest.skip("mkfs.ext4 or mount missing")
    image, point = tmp_path / "coarse.img", tmp_path / "coarse"
    with open(image, "wb") as f:
        f.truncate(32 << 20)
    point.mkdir()
    made = subprocess.run([mkfs, "-q", "-F", "-I", "128", str(image)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    mounted = made.returncode == 0 and subprocess.run(
        [mount, "-o", "loop", str(image), str(point)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE).returncode == 0
    if not mounted:
        pytest.skip("a loop device cannot be mounted here")
    try:
        (point / "top").mkdir()
        yield str(point / "top")
    finally:
        subprocess.run(["umount", str(point)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@pytest.mark.parametrize("keep_mtime", [False, True], ids=["new file", "new file, mtime restored"])
@pytest.mark.no_refleak_rerun  # seconds of waiting for a clock second
def test_whole_second_timestamps(coarse_fs, keep_mtime):
    # A change within the second of a listing leaves every timestamp as the
    # listing saw it. With the mtime restored as well, the directories' ctimes
    # (set by the aging, in that same second) are all that could tell.
    top = coarse_fs
    for attempt in range(3):
        shutil.rmtree(top)
        os.mkdir(top)
        time.sleep(1.02 - time.time() % 1)  # all of it within one second
        start = int(time.time())
        build(top, [], [("d%02d" % i, i + 1) for i in range(35)])
        if keep_mtime:
            age(top)
        time.sleep(0.06)

        def change(dirs):
            if keep_mtime:
                add_version_keeping_mtime(dirs)
            else:
                for d in dirs:
                    touch(os.path.join(d, "sh.v999.exr"))

        ours, theirs = suspended_then_changed(top, change)
        if int(time.time()) == start:
            break
    else:
        pytest.skip("the machine is too slow to change the tree within one second")
    assert os.stat(top).st_mtime_ns % 10**9 == 0
    assert ours == theirs
    assert sum(p.endswith("/sh.v999.exr") for p in ours) == 35 - 5


def heap_in_use():
    """Bytes the C heap has handed out, all arenas and mapped blocks."""
    import ctypes

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        pytest.skip("no mallinfo2 (glibc 2.33 or newer)")
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.no_refleak_rerun  # builds 36,000 files; heap, not references
def test_memory_ahead_is_bounded_with_a_slow_consumer(tmp_path):
    # Many large sibling directories: without a bound that counts every
    # listing under way, one round of read-ahead held dozens of them.
    top = str(tmp_path)
    stem = "x" * 180
    for i in range(24):
        d = os.path.join(top, "d%02d" % i)
        os.mkdir(d)
        for j in range(1500):
            touch(os.path.join(d, "sh.v%03d_%s_%04d.exr" % (i + 1, stem, j)))
    age(top)
    time.sleep(0.1)
    touch(top + "/sh.v001.exr")
    base = heap_in_use()
    peak = 0
    here = None
    for item in VersionFileSystem(top + "/sh.v001.exr"):
        peak = max(peak, heap_in_use() - base)
        where = os.path.dirname(item.filename)
        if where != here:
            here = where
            time.sleep(0.02)  # the consumer takes its time over each directory
    # The listings ahead may hold 2 MiB, one directory's listing and its
    # names in Python about 1 MB more. (Before the bound counted listings
    # under way: 7.8 MB; with no read-ahead at all: 0.5 MB.)
    assert peak < 4 << 20, peak


@pytest.mark.no_refleak_rerun  # builds 12,000 directories; heap, not references
def test_memory_ahead_is_bounded_over_wide_siblings_below_a_long_path(tmp_path):
    # Siblings of many empty subdirectories: their listings are small, but a
    # walk keeps a record of each subdirectory it will enter, with its path.
    # Below a long path those records hold far more than the listings; made
    # ahead for a sibling listed ahead, they held two siblings' worth at once
    # (here 19 MB) where a walk without read-ahead holds one's (9 MB).
    top = str(tmp_path)
    while len(top) < 2600:
        top = os.path.join(top, "p" * 200)
        os.mkdir(top)
    each = 3000
    for s in range(4):
        sibling = os.path.join(top, "s%d" % s)
        os.mkdir(sibling)
        touch(os.path.join(sibling, "sh.v%03d.exr" % (s + 2)))
        for i in range(each):
            os.mkdir(os.path.join(sibling, "%04d" % i))
    touch(top + "/sh.v001.exr")
    age(str(tmp_path))
    time.sleep(0.1)
    one_sibling = each * len(top)  # the paths of one sibling's subdirectories
    base = heap_in_use()
    peak = [0]
    done = threading.Event()

    def sample():
        # The records are made and dropped within one step of the scan: the
        # heap is sampled while the walk lets go of the interpreter to list.
        while not done.is_set():
            peak[0] = max(peak[0], heap_in_use() - base)
            time.sleep(0.0002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        for _ in VersionFileSystem(top + "/sh.v001.exr"):
            time.sleep(0.1)  # the walk runs ahead meanwhile
    finally:
        done.set()
        sampler.join()
    assert peak[0] < 1.5 * one_sibling, (peak[0], one_sibling)


# Names that begin like their siblings' or their parents', and names that are
# not valid in the file-system encoding, at several depths.
PATH_NAMES = ["a", "ab", "a b", "a.b", "b", os.fsdecode(b"\xff"), os.fsdecode(b"a\xfe")]


def test_paths_of_directories_are_those_of_os_walk(tmp_path):
    # Each directory's path (in the items and in the os.scandir events) is
    # built from its parent's: it must still be the one os.walk builds.
    top = str(tmp_path / "tree")
    os.mkdir(top)
    number = [1]

    def fill(d, depth):
        touch(os.path.join(d, "sh.v%03d.exr" % number[0]))
        number[0] += 1
        if depth == 0:
            return
        for name in PATH_NAMES[:depth + 2]:
            os.mkdir(os.path.join(d, name))
            fill(os.path.join(d, name), depth - 1)

    fill(top, 3)
    d = os.path.join(top, "a")
    for level in range(40):  # deep, with jumps back up to the top after it
        d = os.path.join(d, PATH_NAMES[level % len(PATH_NAMES)] + "x")
        os.mkdir(d)
        touch(os.path.join(d, "sh.v%03d.exr" % (500 + level)))
    age(top)
    time.sleep(0.06)
    proc = run_child(DELAYED_CHILD, top)
    assert proc.returncode == 0, proc.stderr
    native, general = json.loads(proc.stdout)
    assert native[:2] == general[:2]
    assert len(native[0]) == number[0] - 1 + 40
    assert sorted(native[2]) == sorted(general[2])


@pytest.mark.parametrize("replace", ["link by directory", "directory by link"])
def test_a_directory_link_replaced_while_suspended(tmp_path, scan_path, replace):
    # os.walk asks islink when it comes to the entry: a link replaced by a real
    # directory meanwhile is entered, a directory replaced by a link is not.
    top = make_tree(tmp_path, "sh.v000.exr", "sh.v001.exr", "a/sh.v002.exr", "z/sh.v003.exr",
                    "real/sh.v004.exr")
    os.symlink(top + "/a", top + "/ln")
    age(top)
    time.sleep(0.06)
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    ours = [next(scan).filename]  # suspended within the top directory's items
    time.sleep(0.05)
    if replace == "link by directory":
        os.unlink(top + "/ln")
        make_tree(tmp_path, "ln/sh.v009.exr")
    else:
        os.rename(top + "/real", top + "/moved")
        os.symlink(top + "/moved", top + "/real")
    ours += [i.filename for i in scan]
    assert (top + "/ln/sh.v009.exr" in ours) == (replace == "link by directory")
    assert (top + "/real/sh.v004.exr" in ours) == (replace == "link by directory")


FORK_CHILD = textwrap.dedent(
    """
    import gc, os, sys, warnings
    from kestrum import versioner
    top, how = sys.argv[1], sys.argv[2]
    # The threads before any scan: the main one, and under an emulator its own.
    base = len(os.listdir("/proc/self/task"))
    fs = versioner.VersionFileSystem(top + "/sh.v001.exr")
    expected = [i.filename for i in fs]
    scan = iter(fs)
    head = [next(scan).filename for _ in range(3)]
    if how == "finished":
        head += [i.filename for i in scan]
    elif how == "closed":
        scan.close()
    elif how == "dropped":
        del scan
        gc.collect()
    # 3.12+ warn when a process with other threads forks (where they can
    # count them: the threads the system lists, else those of threading).
    warnings.simplefilter("error")
    pid = os.fork()
    threads = len(os.listdir("/proc/self/task")) - base
    rest = [i.filename for i in scan] if how == "suspended" else []
    again = [i.filename for i in fs]
    if pid == 0:
        os._exit(0 if again == expected and (how != "suspended" or head + rest == expected) else 1)
    _, status = os.waitpid(pid, 0)
    print(status, threads, again == expected, how != "suspended" or head + rest == expected)
    """
)


@pytest.mark.parametrize("how", ["finished", "closed", "dropped", "suspended"])
def test_fork_after_a_scan_sees_no_worker(tmp_path, how):
    top = str(tmp_path)
    build(top, [], [("d%03d/e" % i, i + 1) for i in range(80)])
    age(top)
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    # A worker still in a listing kForkGrace after the fork began rightly
    # stays (a loaded machine, an emulator): the fewest of three runs counts.
    seen = []
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", FORK_CHILD, top, how],
                              env=dict(os.environ, PYTHONPATH=package_parent),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        status, threads, again, rest = proc.stdout.split()
        assert [status, again, rest] == ["0", "True", "True"]
        seen.append(int(threads))
        if seen[-1] == 0:
            break
    assert min(seen) == 0, seen


STALLED_FORK_CHILD = textwrap.dedent(
    """
    import json, os, sys, time, warnings
    from kestrum import versioner
    top, other = sys.argv[1], sys.argv[2]
    # The threads before any scan: the main one, and under an emulator its own.
    base = len(os.listdir("/proc/self/task"))
    expected = [i.filename for i in versioner.VersionFileSystem(other + "/sh.v001.exr")]
    time.sleep(1)  # the workers of that scan leave
    scan = iter(versioner.VersionFileSystem(top + "/sh.v001.exr"))
    first = next(scan).filename
    deadline = time.monotonic() + 5
    while len(os.listdir("/proc/self/task")) == base and time.monotonic() < deadline:
        time.sleep(0.005)
    time.sleep(0.05)  # the workers are in the stalled listings
    threads = len(os.listdir("/proc/self/task")) - base
    warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: other threads at fork
    start = time.monotonic()
    pid = os.fork()
    took = time.monotonic() - start
    if pid == 0:
        again = [i.filename for i in versioner.VersionFileSystem(other + "/sh.v001.exr")]
        os._exit(0 if again == expected else 1)
    status, deadline = None, time.monotonic() + 30
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        status = code if done else None
        time.sleep(0.005)
    if status is None:
        os.kill(pid, 9)
    print(json.dumps([first, threads, took, status]))
    """
)


def test_fork_does_not_wait_for_a_stalled_listing(tmp_path):
    # A server hung on some directories of the tree (the shim holds each of
    # their opens for 10 s) while the scan, suspended after its first item,
    # has workers listing them ahead: the fork goes through at once, and the
    # child scans on its own.
    shim = delay_shim(tmp_path)
    top = str(tmp_path / "tree")
    # A chain down to the first item, its first directory large enough that
    # the scan runs long enough to list ahead; then directories that hang.
    chain = "c0/c1/c2/c3"
    os.makedirs(os.path.join(top, chain))
    for i in range(3000):
        touch(os.path.join(top, "c0", "x%d" % i))
    build(top, [], [(chain, 1)] + [(chain + "/stall%d" % i, i + 2) for i in range(8)])
    other = str(tmp_path / "other")
    build(other, [], [("d%02d" % i, i + 1) for i in range(20)])
    age(top)
    age(other)
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    env = dict(os.environ, PYTHONPATH=package_parent, LD_PRELOAD=preload,
               KESTRUM_OPEN_DELAY_US="10000000", KESTRUM_OPEN_DELAY_MATCH="/stall")
    proc = subprocess.run([sys.executable, "-c", STALLED_FORK_CHILD, top, other], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    first, threads, took, status = json.loads(proc.stdout)
    assert first == os.path.join(top, chain, "sh.v001.exr")
    assert threads > 0  # listings ahead were under way
    assert took < 1.0, took
    assert status == 0


KNOB_CHILD = textwrap.dedent(
    """
    import json, os, sys, threading, time
    from kestrum import versioner
    top = sys.argv[1]
    peak = [0]
    stop = threading.Event()
    # The threads besides the sampler: the main one, and under an emulator its own.
    base = len(os.listdir("/proc/self/task"))

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], len(os.listdir("/proc/self/task")) - base - 1)
            time.sleep(0.0005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    fs = versioner.VersionFileSystem(top + "/sh.v001.exr")
    scan = iter(fs)
    items = []
    for item in scan:
        items.append(item.filename)
        time.sleep(0.0002)
    stop.set()
    sampler.join()
    print(json.dumps([items, peak[0]]))
    """
)


@pytest.mark.parametrize("value, most", [("0", 0), ("1", 1), ("3", 3), ("", 64), ("64", 64)])
def test_scan_threads_knob(tmp_path, value, most):
    top = str(tmp_path)
    build(top, [], [("d%03d/e" % i, i + 1) for i in range(150)])
    age(top)
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    proc = subprocess.run([sys.executable, "-c", KNOB_CHILD, top],
                          env=dict(os.environ, PYTHONPATH=package_parent,
                                   KESTRUM_SCAN_THREADS=value),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    items, peak = json.loads(proc.stdout)
    assert items == list(plain_scan(top + "/sh.v"))
    assert peak <= most
    if most == 0:
        assert peak == 0


@pytest.mark.parametrize("value", ["abc", "-1", "65", "1.5", " 3", "0x10", "１"])
def test_scan_threads_knob_refuses_bad_values(value):
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    proc = subprocess.run([sys.executable, "-c", "import kestrum.versioner"],
                          env=dict(os.environ, PYTHONPATH=package_parent,
                                   KESTRUM_SCAN_THREADS=value),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert proc.returncode != 0
    assert ("ValueError: KESTRUM_SCAN_THREADS must be a whole number from 0 to 64 "
            "(the most worker threads a scan uses; 0: none), not '%s'" % value) in proc.stderr


DELAYED_CHILD = textwrap.dedent(
    """
    import json, os, sys
    from kestrum import versioner
    top = sys.argv[1]
    listed = []
    sys.addaudithook(lambda event, args: event == "os.scandir" and listed.append(args[0]))

    def run():
        del listed[:]
        fs = versioner.VersionFileSystem(top + "/sh.v001.exr")
        return [[i.filename for i in fs], fs.last.filename, list(listed)]

    native = run()
    walk = os.walk
    versioner.os = type(os)("os_standin")
    versioner.os.path, versioner.os.getcwd = os.path, os.getcwd
    versioner.os.walk = lambda top: walk(top)
    print(json.dumps([native, run()]))
    """
)


@pytest.mark.parametrize("delay_us", [0, 1000, 5000])
def test_order_and_audit_events_with_slow_listings(tmp_path, delay_us):
    # Listings made slow as on a file server (a preloaded shim delays each
    # directory open), so that many are in flight: the items and the
    # os.scandir events come out as the standard walk gives them.
    shim = delay_shim(tmp_path)
    top = str(tmp_path / "tree")
    build(top, [], [("g%d/s%02d" % (g, s), g * 100 + s + 1) for g in range(3) for s in range(15)])
    age(top)
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    # After what is preloaded already (the sanitizer run preloads its runtime).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), shim]))
    env = dict(os.environ, PYTHONPATH=package_parent, LD_PRELOAD=preload,
               KESTRUM_OPEN_DELAY_US=str(delay_us))
    proc = subprocess.run([sys.executable, "-c", DELAYED_CHILD, top], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    native, general = json.loads(proc.stdout)
    assert native[:2] == general[:2]
    assert len(native[0]) == 45
    # Each directory's listing is announced once per scan; those ahead may be
    # announced before the items of the ones before them.
    assert sorted(native[2]) == sorted(general[2])
