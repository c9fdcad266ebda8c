"""A program whose daemon threads are busy in the module when its main thread
returns must exit cleanly. While the interpreter finalizes, 3.9 to 3.13 end a
thread that asks for the interpreter lock back by unwinding its stack; no
frame of the module may stop that unwind (which would abort the process)."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

from kestrum.versioner import Version, VersionFileSystem

CHILD = textwrap.dedent(
    """
    import sys, threading, time
    from kestrum import versioner
    top, pause = sys.argv[1], float(sys.argv[2])
    many = versioner.VersionFileSystem(top + "/many/sh.v001.exr")
    big = versioner.VersionFileSystem(top + "/big/sh.v001.exr")
    started = threading.Barrier(7)

    def busy(call):
        def run():
            started.wait()
            while True:
                call()
        threading.Thread(target=run, daemon=True).start()

    busy(lambda: list(many))                        # the scan generator
    busy(lambda: many.last)                         # a native query
    busy(lambda: many.first and many.previous)
    busy(lambda: list(big))                         # listings ahead waited on
    busy(lambda: versioner.Version(top + "/many/sh.v007.exr").next.previous)
    busy(lambda: many.exists and 3 in many)         # name operations and a stat
    started.wait()
    time.sleep(pause)
    """
)


@pytest.fixture(scope="module")
def busy_tree(tmp_path_factory):
    top = tmp_path_factory.mktemp("exit")
    for i in range(150):
        d = top / "many" / ("d%03d" % i)
        d.mkdir(parents=True)
        (d / ("sh.v%03d.exr" % (i + 1))).write_text("")
    (top / "many" / "sh.v001.exr").write_text("")
    for i in range(6):
        d = top / "big" / ("d%d" % i)
        d.mkdir(parents=True)
        for j in range(1500):
            (d / ("sh.v%04d.exr" % j)).write_text("")
    return str(top)


@pytest.mark.no_refleak_rerun  # child processes; the test below checks leaks
def test_daemon_threads_busy_in_the_module_at_exit(busy_tree):
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    env = dict(os.environ, PYTHONPATH=package_parent)
    statuses = []
    for run in range(20):
        # Main threads that return at different moments of the daemons' work.
        pause = "%.3f" % (0.01 + 0.007 * run)
        proc = subprocess.run([sys.executable, "-c", CHILD, busy_tree, pause], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=120)
        statuses.append((proc.returncode, proc.stderr[-300:]))
    assert [s for s, _ in statuses] == [0] * 20, statuses


def test_no_leaks_in_the_calls_the_daemons_make(tmp_path, leak_check):
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "sh.v002.exr").write_text("")
    (tmp_path / "sh.v001.exr").write_text("")
    fs = VersionFileSystem(str(tmp_path / "sh.v001.exr"))
    v = Version(str(tmp_path / "sh.v001.exr"))

    def calls():
        list(fs), fs.last, fs.first, fs.previous, fs.exists, 3 in fs
        v.next.previous

    leak_check(calls, objects=(fs, v), iterations=20, warmup=10)


HELD_CHILD = textwrap.dedent(
    """
    import sys, threading, time
    from kestrum import versioner
    fs = versioner.VersionFileSystem(sys.argv[1] + "/many/sh.v001.exr")
    sys.setswitchinterval(0.2)
    started = threading.Event()

    def run():
        started.set()
        while True:
            fs.exists

    threading.Thread(target=run, daemon=True).start()
    started.wait()
    print(time.time(), flush=True)
    """
)


@pytest.mark.skipif(sys.version_info >= (3, 11), reason="the interpreter frees its own state at exit up to 3.10")
@pytest.mark.no_refleak_rerun  # a child process
def test_exit_lets_threads_waiting_for_the_lock_wake_before_the_interpreter_is_freed(busy_tree):
    # A thread that waits for the lock wakes once per switch interval. Until it
    # has woken and seen the interpreter finalize, the interpreter must not free
    # the state that thread writes to on its way out.
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    proc = subprocess.Popen([sys.executable, "-c", HELD_CHILD, busy_tree], stdout=subprocess.PIPE,
                            env=dict(os.environ, PYTHONPATH=package_parent), universal_newlines=True)
    main_done = float(proc.stdout.readline())
    assert proc.wait(timeout=60) == 0
    assert time.time() - main_done >= 2 * 0.2


FORK_CHILD = textwrap.dedent(
    """
    import os, sys, threading, time
    from kestrum import versioner
    fs = versioner.VersionFileSystem(sys.argv[1] + "/many/sh.v001.exr")
    sys.setswitchinterval(0.001)

    def spin():
        while True:
            fs.exists

    for _ in range(4):
        threading.Thread(target=spin, daemon=True).start()
    time.sleep(0.05)
    pid = os.fork()  # while the spinning threads wait to take the lock back
    if pid == 0:
        threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
        print(time.time(), flush=True)
    else:
        os.waitpid(pid, 0)
        print(time.time(), flush=True)
        os._exit(0)
    """
)


@pytest.mark.skipif(sys.version_info >= (3, 11), reason="the interpreter frees its own state at exit up to 3.10")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
@pytest.mark.no_refleak_rerun  # child processes
def test_a_forked_child_does_not_wait_at_exit_for_its_parents_threads(busy_tree):
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    proc = subprocess.run([sys.executable, "-c", FORK_CHILD, busy_tree], stdout=subprocess.PIPE,
                          env=dict(os.environ, PYTHONPATH=package_parent), universal_newlines=True,
                          timeout=60)
    child_done, child_gone = map(float, proc.stdout.split())
    # Two switch intervals of the child, not the second that a waiter may take.
    assert child_gone - child_done < 0.5
