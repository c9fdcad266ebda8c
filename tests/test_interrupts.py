"""Ctrl-C during scans and queries: the KeyboardInterrupt comes at once, and
no error a handler raised is taken for another one.

Each case runs in a child process, which receives the signal itself."""
import json
import os
import subprocess
import sys

import pytest

from trees import delay_shim as build_delay_shim, run_child

QUERIES = {
    "first": "lambda: fs.first",
    "last": "lambda: fs.last",
    "next": "lambda: fs.next",
    "previous": "lambda: fs.previous",
    "list": "lambda: list(fs)",
}

# Times the query from the signal on, then waits for the scan's worker
# threads to leave; prints the outcome, the latency and the threads left.
SLOW_SCAN_CHILD = r"""
import json, os, signal, sys, threading, time
from kestrum.versioner import VersionFileSystem
# A process started in the background by a shell without job control (as a
# CI script may be) inherits SIGINT ignored, and the interpreter leaves it so.
signal.signal(signal.SIGINT, signal.default_int_handler)

top, query = sys.argv[1], sys.argv[2]
fs = VersionFileSystem(os.path.join(top, "shot.v001.exr"))
run = eval(sys.argv[3])

def tasks():
    return len(os.listdir("/proc/self/task"))

before = tasks()
sent = []
def interrupt():
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
timer = threading.Timer(float(sys.argv[4]), interrupt)
timer.start()
try:
    run()
    outcome = "returned"
except KeyboardInterrupt:
    outcome = "interrupted"
latency = time.perf_counter() - sent[0] if sent else None
timer.cancel()
timer.join()
deadline = time.monotonic() + 5
while tasks() > before and time.monotonic() < deadline:
    time.sleep(0.02)
print(json.dumps([outcome, latency, tasks() - before]))
"""

OPEN_DELAY_US = 200000


@pytest.fixture(scope="module")
def delay_shim(tmp_path_factory):
    return build_delay_shim(tmp_path_factory.mktemp("shim"))


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    # The versions at the bottom of a chain of directories: every query,
    # `first` too, opens all of them one after the other.
    top = str(tmp_path_factory.mktemp("chain"))
    bottom = os.path.join(top, *["d%02d" % i for i in range(60)])
    os.makedirs(bottom)
    for number in (1, 2, 3):
        open(os.path.join(bottom, "shot.v%03d.exr" % number), "w").close()
    return top


@pytest.mark.parametrize("query", sorted(QUERIES))
def test_sigint_ends_a_scan_of_slow_directories(delay_shim, chain, query):
    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), delay_shim]))
    env = dict(os.environ, PYTHONPATH=package_parent, LD_PRELOAD=preload,
               KESTRUM_OPEN_DELAY_US=str(OPEN_DELAY_US))
    # The signal lands a few directories into the 12 s walk.
    proc = subprocess.run([sys.executable, "-c", SLOW_SCAN_CHILD, chain, query, QUERIES[query],
                           "0.7"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcome, latency, threads_left = json.loads(proc.stdout)
    print("%s: KeyboardInterrupt %.3f s after SIGINT" % (query, latency))
    assert outcome == "interrupted"
    # One directory open (0.2 s) at most, with room for a loaded machine.
    assert latency < 1.0
    assert threads_left == 0


# A wanted number so long that its conversion to text runs Python code
# (_pylong, from 3.12 on), wrapped here to send the signal, or to fail, as it
# starts: the handler then raises inside the conversion. Before 3.12 no
# signal can be placed inside the conversion with any certainty.
CONVERSION_CHILD = r"""
import json, os, signal, sys, time
sys.set_int_max_str_digits(0)
from kestrum.versioner import VersionFileSystem
# A process started in the background by a shell without job control (as a
# CI script may be) inherits SIGINT ignored, and the interpreter leaves it so.
signal.signal(signal.SIGINT, signal.default_int_handler)

top, query, failure = sys.argv[1], sys.argv[2], sys.argv[3]
digits = "7" * 300000
fs = VersionFileSystem(os.path.join(top, "shot.v%s.exr" % digits))
number = int(digits)
run = {"next": lambda: fs.next, "previous": lambda: fs.previous,
       "in": lambda: number in fs}[query]

import _pylong
to_text = _pylong.int_to_decimal_string
def starting(n):
    _pylong.int_to_decimal_string = to_text
    if failure == "ValueError":
        raise ValueError("Exceeds the limit for integer string conversion")
    os.kill(os.getpid(), signal.SIGINT)
    return to_text(n)
_pylong.int_to_decimal_string = starting

started = time.perf_counter()
try:
    result = run()
    outcome = "returned %s" % (None if result is None else os.path.basename(result.filename))
except KeyboardInterrupt:
    outcome = "interrupted"
except ValueError:
    outcome = "ValueError"
print(json.dumps([outcome, time.perf_counter() - started]))
"""


@pytest.mark.parametrize("query, failure, expected", [
    ("next", "KeyboardInterrupt", "interrupted"),
    ("previous", "KeyboardInterrupt", "interrupted"),
    ("in", "KeyboardInterrupt", "interrupted"),
    # Past the digit limit the items compare themselves: none carries it.
    ("next", "ValueError", "returned None"),
    ("previous", "ValueError", "returned None"),
])
def test_what_the_conversion_of_the_wanted_number_raises(tmp_path, query, failure, expected):
    if sys.version_info < (3, 12):
        pytest.skip("the conversion of long numbers is Python code from 3.12 on")
    if os.name == "nt" and failure == "KeyboardInterrupt":
        pytest.skip("under Wine a SIGINT raised in the process never reaches the interpreter")
    for number in (1, 2):
        open(str(tmp_path / ("shot.v%03d.exr" % number)), "w").close()
    proc = run_child(CONVERSION_CHILD, str(tmp_path), query, failure, timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcome, took = json.loads(proc.stdout)
    print("%s, %s: %s after %.3f s" % (query, failure, outcome, took))
    assert outcome == expected
