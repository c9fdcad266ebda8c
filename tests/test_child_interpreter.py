"""Many tests run their case in a child interpreter started as sys.executable.
Where the interpreter runs under an emulator (a wheel for another
architecture tested on this machine), sys.executable is a launcher that starts
the child under the emulator as well. Either way the child must be the same
interpreter, on the same machine type, with the same module, or those tests
test something else than they claim."""

import os
import platform
import subprocess
import sys
import sysconfig

from kestrum import versioner

# Expressions evaluated in this process and in a child (and a grandchild).
FACTS = [
    "sys.version",
    "platform.machine()",
    "sys.implementation.cache_tag",
    "sysconfig.get_config_var('EXT_SUFFIX')",
    "sys.maxsize",
    "os.path.realpath(versioner.__file__)",
]

REPORT = (
    "import os, platform, sys, sysconfig\n"
    "from kestrum import versioner\n"
    "print(repr([%s]))\n" % ", ".join(FACTS)
)


def here():
    return [eval(fact) for fact in FACTS]


def run(code):
    package_parent = os.path.dirname(os.path.dirname(versioner.__file__))
    proc = subprocess.run([sys.executable, "-c", code],
                          env=dict(os.environ, PYTHONPATH=package_parent),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_a_child_is_the_same_interpreter_with_the_same_module():
    assert run(REPORT) == repr(here()) + "\n"


def test_a_grandchild_is_too():
    # The child starts its own child in turn, as the tests of a child's exit do.
    outer = ("import subprocess, sys\n"
             "print(subprocess.run([sys.executable, '-c', %r], stdout=subprocess.PIPE,"
             " universal_newlines=True, check=True).stdout, end='')\n" % REPORT)
    assert run(outer) == repr(here()) + "\n"
