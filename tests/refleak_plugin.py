"""Reference-leak hunting for a debug interpreter, run as ``-p refleak_plugin``
(tools/leakcheck does this; a normal run never loads it).

Every test item is run WARMUP + MEASURED extra times before its reported run,
each time through the whole setup / call / teardown protocol, so that
function-scoped fixtures (tmp_path trees, monkeypatch, ...) are fresh on every
run while module and session fixtures stay set up. Before the first run the
objects that exist are frozen out of the cyclic collector's sight (gc.freeze),
so that collecting after a run costs only what the runs made. After each run
the usual caches are emptied and cyclic garbage is collected, then the
interpreter's total reference count (sys.gettotalrefcount), its allocated
memory blocks (sys.getallocatedblocks) and the process's open file
descriptors are read.
The warm-up runs let caches settle; over the measured runs a test fails when

  * the reference count grew in every measured run, or
  * the number of allocated blocks grew in every measured run, or
  * the number of open file descriptors changed in any measured run,

which is the rule of CPython's own ``regrtest -R``. The failure message gives
the deltas of the measured runs. The reported run comes last, so a test that
fails or skips is reported as usual (its extra runs stop at the first one that
does not pass).

Options: ``--refleak=WARMUP:MEASURED`` (default 5:4). A test that cannot be
run twice in one process opts out with ``@pytest.mark.no_refleak_rerun``.
Hypothesis is switched to derandomized examples without a database, so that
every run of a property test sees the same inputs.
"""

import collections.abc
import copyreg
import functools
import gc
import os
import re
import sys
import time
import warnings
from inspect import isabstract

import pytest
from _pytest.runner import runtestprotocol

MARKER = "no_refleak_rerun"
_LEAK_KEY = pytest.StashKey[str]()


def pytest_addoption(parser):
    group = parser.getgroup("refleak")
    group.addoption(
        "--refleak",
        action="store",
        default="5:4",
        metavar="WARMUP:MEASURED",
        help="extra runs of each test before measuring, and measured runs (default 5:4)",
    )


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        MARKER + ": the test cannot be run repeatedly in one process; no leak hunt",
    )
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleak_plugin needs a debug build of Python (sys.gettotalrefcount)")
    match = re.fullmatch(r"(\d+):(\d+)", config.getoption("refleak"))
    if not match or int(match.group(2)) < 1:
        raise pytest.UsageError("--refleak wants WARMUP:MEASURED, e.g. 5:4, with MEASURED >= 1")
    config.pluginmanager.register(
        RefleakHunter(int(match.group(1)), int(match.group(2))), "refleak_hunter"
    )
    _derandomize_hypothesis()


def _derandomize_hypothesis():
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("refleak", derandomize=True, database=None)
    settings.load_profile("refleak")


def _fd_count():
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 0


def _settled_fd_count(before):
    """The open descriptors, given a moment to come back to ``before``: a scan
    thread still finishing a listing of an earlier test holds its directory
    open for as long as that takes, which is no leak. A leaked one stays."""
    count = _fd_count()
    deadline = time.monotonic() + 0.5
    while count != before and time.monotonic() < deadline:
        time.sleep(0.01)
        count = _fd_count()
    return count


class _State:
    """Process-wide registries that tests may touch; put back after each run."""

    def __init__(self):
        self.filters = warnings.filters[:]
        self.dispatch = copyreg.dispatch_table.copy()
        self.importer_cache = sys.path_importer_cache.copy()

    @staticmethod
    def _abcs():
        for name in collections.abc.__all__:
            obj = getattr(collections.abc, name)
            if isabstract(obj):
                yield obj

    def restore_and_collect(self):
        warnings.filters[:] = self.filters
        getattr(warnings, "_filters_mutated", lambda: None)()
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.importer_cache)
        for abc in self._abcs():
            for cls in abc.__subclasses__() + [abc]:
                cls._abc_caches_clear()
        for module in list(sys.modules.values()):
            if hasattr(module, "__warningregistry__"):
                del module.__warningregistry__
        for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
            if stream is not None:
                stream.flush()
        re.purge()
        fnmatch = sys.modules.get("fnmatch")
        compile_pattern = getattr(fnmatch, "_compile_pattern", None)
        if hasattr(compile_pattern, "cache_clear"):
            compile_pattern.cache_clear()
        linecache = sys.modules.get("linecache")
        if linecache is not None:
            linecache.clearcache()
        typing = sys.modules.get("typing")
        for cleanup in getattr(typing, "_cleanups", ()):
            cleanup()
        # Deprecated from 3.13 on for the newer call: its warning, recorded by pytest on every
        # run, would itself count as a leak.
        clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
        clear_caches()
        gc.collect()
        gc.collect()


def _wider_fixtures(item):
    """(fixture definition, length of its finalizer list) for the fixtures
    of wider than function scope that ``item`` uses."""
    info = getattr(item, "_fixtureinfo", None)
    found = []
    for defs in getattr(info, "name2fixturedefs", {}).values():
        for fixturedef in defs:
            if getattr(fixturedef, "scope", "function") != "function" and isinstance(
                getattr(fixturedef, "_finalizers", None), list
            ):
                found.append((fixturedef, len(fixturedef._finalizers)))
    return found


def _finishes_function_fixture(finalizer):
    func = getattr(finalizer, "func", None)
    owner = getattr(func, "__self__", None)
    return (
        isinstance(finalizer, functools.partial)
        and getattr(func, "__name__", None) == "finish"
        and getattr(owner, "scope", None) == "function"
    )


def _drop_stale_finishers(wider):
    """pytest has a function-scoped fixture that uses a wider one (tmp_path
    uses the session's tmp_path_factory) register its ``finish`` with the
    wider one, where it stays until that one is torn down: one entry per
    test in an ordinary session, one per extra run here. After the function
    fixture is torn down the entry does nothing; drop the ones a run added."""
    for fixturedef, length in wider:
        added = fixturedef._finalizers[length:]
        fixturedef._finalizers[length:] = [f for f in added if not _finishes_function_fixture(f)]


class _SameChain:
    """Given as the next item to the teardown of an extra run: its chain is
    the item's own without the item, so the teardown undoes the item's setup
    (its function-scoped fixtures) and keeps every wider scope."""

    def __init__(self, item):
        self._item = item

    def listchain(self):
        return self._item.listchain()[:-1]

    def __getattr__(self, name):
        return getattr(self._item, name)


class RefleakHunter:
    def __init__(self, warmup, measured):
        self.warmup = warmup
        self.measured = measured

    def _hunt(self, item):
        """Run ``item`` repeatedly; return a failure message or None."""
        runs = self.warmup + self.measured
        # Preallocated, with pooled ints, so that the bookkeeping allocates
        # nothing between two readings.
        pool = {value: value for value in range(-1000, 1000)}
        refs = [0] * runs
        blocks = [0] * runs
        fds = [0] * runs
        state = _State()
        sections = list(item._report_sections)
        # What exists now is not this test's doing: out of the collector's
        # sight, a collection only walks what the runs create.
        gc.freeze()
        state.restore_and_collect()
        refs_before = sys.gettotalrefcount()
        blocks_before = sys.getallocatedblocks()
        fds_before = _fd_count()
        same_chain = _SameChain(item)
        for index in range(runs):
            wider = _wider_fixtures(item)
            reports = runtestprotocol(item, log=False, nextitem=same_chain)
            item._report_sections[:] = sections
            _drop_stale_finishers(wider)
            del wider
            if not all(report.passed for report in reports):
                return None  # the reported run shows why
            del reports
            state.restore_and_collect()
            refs_after = sys.gettotalrefcount()
            blocks_after = sys.getallocatedblocks()
            fds_after = _settled_fd_count(fds_before)
            refs[index] = pool.setdefault(refs_after - refs_before, refs_after - refs_before)
            blocks[index] = pool.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
            fds[index] = pool.setdefault(fds_after - fds_before, fds_after - fds_before)
            refs_before, blocks_before, fds_before = refs_after, blocks_after, fds_after

        found = []
        refs, blocks, fds = refs[self.warmup :], blocks[self.warmup :], fds[self.warmup :]
        if all(delta >= 1 for delta in refs):
            found.append("references %r" % (refs,))
        if all(delta >= 1 for delta in blocks):
            found.append("memory blocks %r" % (blocks,))
        if any(fds):
            found.append("file descriptors %r" % (fds,))
        if not found:
            return None
        return "leaked over %d measured runs (after %d warm-up runs): %s" % (
            self.measured,
            self.warmup,
            ", ".join(found),
        )

    def pytest_unconfigure(self, config):
        gc.unfreeze()

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if item.get_closest_marker(MARKER) is not None:
            return None  # the ordinary protocol
        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        leak = self._hunt(item)
        if leak is not None:
            item.stash[_LEAK_KEY] = leak
        try:
            runtestprotocol(item, nextitem=nextitem)
        finally:
            if _LEAK_KEY in item.stash:
                del item.stash[_LEAK_KEY]
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item, call):
        outcome = yield
        if call.when != "call":
            return
        leak = item.stash.get(_LEAK_KEY, None)
        report = outcome.get_result()
        if leak is not None and report.passed:
            report.outcome = "failed"
            report.longrepr = "refleak: " + leak
