"""Helpers for the on-disk tests: throw-away directory trees and stand-ins
for the modules that the extension reaches through its globals."""

import fnmatch as _fnmatch
import os as _os
import tracemalloc
import types


# What a Windows file name cannot hold: control characters, the reserved
# punctuation and lone surrogates (which have no UTF-16 form to write).
_WINDOWS_FORBIDDEN = set(map(chr, range(32))) | set('<>:"|?*')


def nameable(name):
    """Whether this system can hold a file of that name (a relative name
    with "/" between its parts)."""
    if _os.name != "nt":
        return True
    return not any(c in _WINDOWS_FORBIDDEN or "\ud800" <= c <= "\udfff" for c in name)


def make_tree(root, *names):
    """Create empty files (and their directories) below ``root``; return
    ``root`` as text. Names this system cannot hold (see ``nameable``) are
    left out: the trees that have them are for tests that compare the module
    with the general path over the same tree."""
    for name in names:
        if not nameable(name):
            continue
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("")
    return str(root)


def rel(root, items):
    """The text forms of ``items`` relative to ``root``, with "/" between
    the parts: a scan joins a directory of the walk (os.path.join, so "\\"
    on Windows) and a file name with "/"."""
    root = str(root)
    out = []
    for item in items:
        text = str(item)
        if text.startswith(root) and text[len(root):len(root) + 1] in ("/", _os.sep):
            text = text[len(root) + 1:].replace(_os.sep, "/")
        out.append(text)
    return out


def name_of(root, item):
    """One item relative to ``root``; ``None`` passes through."""
    return None if item is None else rel(root, [item])[0]


class Recorder:
    """A shared call log."""

    def __init__(self):
        self.calls = []

    def names(self):
        return [call[0] for call in self.calls]


def recording_os(log, overrides=None):
    """A module that stands in for ``os``: it logs every call of the
    functions that the extension uses and delegates to the real ones.
    ``overrides`` maps a dotted name ("path.exists", "getcwd", "walk") to a
    replacement.  ``walk`` additionally logs each directory triple at the
    moment it is handed out, as ("walk-step", root)."""
    overrides = dict(overrides or {})

    def wrap(name, real):
        impl = overrides.get(name, real)

        def call(*args, **kwargs):
            log.calls.append((name, args, kwargs))
            return impl(*args, **kwargs)

        return call

    def walk(*args, **kwargs):
        log.calls.append(("walk", args, kwargs))
        impl = overrides.get("walk", _os.walk)
        for triple in impl(*args, **kwargs):
            log.calls.append(("walk-step", triple[0]))
            yield triple

    path = types.ModuleType("fake_os_path")
    for name in ("exists", "isabs", "split", "splitext", "join"):
        setattr(path, name, wrap("path." + name, getattr(_os.path, name)))
    fake = types.ModuleType("fake_os")
    fake.path = path
    fake.getcwd = wrap("getcwd", _os.getcwd)
    fake.walk = walk
    return fake


def recording_fnmatch(log, filter=None):
    """A stand-in for ``fnmatch`` that logs ``filter`` calls."""
    impl = filter or _fnmatch.filter

    def logged_filter(names, pattern):
        log.calls.append(("fnmatch.filter", (list(names), pattern), {}))
        return impl(names, pattern)

    fake = types.ModuleType("fake_fnmatch")
    fake.filter = logged_filter
    return fake


def run_child(code, *args, timeout=60):
    """``python -c code args...`` with this interpreter, finding the package
    that the tests import; the completed process, its output as text."""
    import os
    import subprocess
    import sys

    package_parent = os.path.dirname(os.path.dirname(sys.modules["kestrum"].__file__))
    return subprocess.run([sys.executable, "-c", code, *args],
                          env=dict(os.environ, PYTHONPATH=package_parent),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout)


def delay_shim(directory):
    """The preloadable shim that delays directory opens (as a file server
    would), built into `directory`; skips the test without a C compiler.
    KESTRUM_TARGET_CC names the compiler where the interpreter runs on
    another architecture than the machine's own `cc` builds for (a wheel
    tested under an emulator): the shim is loaded into its children."""
    import os
    import shutil
    import subprocess

    import pytest

    cc = os.environ.get("KESTRUM_TARGET_CC") or shutil.which("cc")
    if not cc:
        pytest.skip("no C compiler for the delaying shim")
    here = os.path.dirname(os.path.abspath(__file__))
    shim = os.path.join(str(directory), "delay.so")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", shim,
                    os.path.join(here, "..", "benchmarks", "latency_preload.c"), "-ldl"],
                   check=True)
    return shim


def peak_traced(op):
    """The most memory the interpreter's allocators held while `op` ran."""
    tracemalloc.start()
    try:
        op()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
