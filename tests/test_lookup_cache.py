"""Reads of module globals and of attributes of os, os.path and re are
remembered between calls: a rebinding, a replaced attribute or a deleted
global must still be seen by the very next call, however many calls ran
before, and undoing it must bring the original behaviour back."""

import builtins
import os
import re
import types

import pytest

from kestrum import versioner
from kestrum.versioner import Version, VersionFileSystem

NAME = "/show/seq/sh010/comp/sh010.v012.exr"
WARM = 200
NS = types.SimpleNamespace


def spy(func, log):
    return lambda *args: (log.append(func.__name__), func(*args))[1]


def spy_os(log):
    return NS(path=NS(splitext=spy(os.path.splitext, log)))


def spy_re(log):
    return NS(compile=spy(re.compile, log))


def spy_template(log):
    class Template(str):
        def __mod__(self, fields):
            return spy(str.__mod__, log)(self, fields)

    return Template(versioner.regex_splits)


def spy_version(log):
    class Spy(Version):
        def __init__(self, *args):
            log.append("Version")
            super().__init__(*args)

    return Spy


def parse(existing):
    v = Version(NAME)
    return (v.filename, v.head, v.version, v.tail, v.ext, v.current)


def compare(existing):
    return (Version(NAME) == "sh010.v012.exr", Version(NAME) == "sh010.v013.exr")


def anchor(existing):
    # an absolute name of an existing file: as set up, no call of os.path
    return VersionFileSystem(existing).current


def os_from_builtins(m):
    m.delattr(versioner, "os")
    m.setattr(builtins, "os", os, raising=False)


def rebind(obj, attr, make):
    return lambda m, log: m.setattr(obj, attr, make(log), raising=False)


def spied(module, attr):
    return rebind(module, attr, lambda log: spy(getattr(module, attr), log))


def delete_then(attr, change):
    return lambda m, log: (m.delattr(versioner, attr), change(m, log))


# (operation, state the calls warm up in, change that the next call must see)
CASES = {
    "global os": (parse, None, rebind(versioner, "os", spy_os)),
    "global re": (parse, None, rebind(versioner, "re", spy_re)),
    "global regex_splits": (parse, None, rebind(versioner, "regex_splits", spy_template)),
    "global Version": (compare, None, rebind(versioner, "Version", spy_version)),
    "os.path": (parse, None, rebind(os, "path", lambda log: spy_os(log).path)),
    "os.path.splitext": (parse, None, spied(os.path, "splitext")),
    "os.path.isabs": (anchor, None, spied(os.path, "isabs")),
    "re.compile": (parse, None, spied(re, "compile")),
    "global deleted, built-ins answer": (
        parse, None, delete_then("os", rebind(builtins, "os", spy_os))),
    "built-ins that answer change": (parse, os_from_builtins, rebind(builtins, "os", spy_os)),
    "global comes back over built-ins": (parse, os_from_builtins, rebind(versioner, "os", spy_os)),
    "__builtins__ becomes a dict": (
        parse, os_from_builtins,
        rebind(versioner, "__builtins__", lambda log: {"os": spy_os(log)})),
    "no __builtins__: the caller's": (
        parse, os_from_builtins, delete_then("__builtins__", rebind(builtins, "os", spy_os))),
}


@pytest.mark.parametrize("case", CASES)
def test_change_is_seen_by_the_next_call(case, tmp_path):
    op, before, change = CASES[case]
    existing = tmp_path / "sh010.v012.exr"
    existing.write_bytes(b"")
    expected, log = op(str(existing)), []
    with pytest.MonkeyPatch.context() as m:
        before and before(m)
        for _ in range(WARM):
            assert op(str(existing)) == expected
        with pytest.MonkeyPatch.context() as m2:
            change(m2, log)
            assert op(str(existing)) == expected and log, "the stand-in was not called"
            calls = len(log)
        for _ in range(WARM):
            assert op(str(existing)) == expected
    assert op(str(existing)) == expected
    assert len(log) == calls


def test_deleted_global_fails_at_the_next_call(monkeypatch):
    for _ in range(WARM):
        parse(None)
    monkeypatch.delattr(versioner, "os")
    with pytest.raises(NameError, match="^name 'os' is not defined$"):
        parse(None)
    monkeypatch.setattr(versioner, "os", NS(path=NS()), raising=False)
    with pytest.raises(AttributeError, match="splitext"):
        parse(None)


def test_fresh_modules_at_reused_addresses_are_read_afresh():
    # Each round drops its module before the next is made (monkeypatch would
    # keep them all), so the new one and its namespace are likely made where
    # the old ones were; the attributes stay alive and apart, so a stale
    # answer would be the previous round's.
    kept = []
    try:
        for i in range(300):
            stand_in, log = types.ModuleType("os"), []
            kept.append(NS(splitext=spy(os.path.splitext, log)))
            stand_in.path = kept[-1]
            versioner.os = stand_in
            del stand_in
            assert Version(NAME).ext == "exr" and log == ["splitext"], i
            versioner.os = os
    finally:
        versioner.os = os


def test_no_leak_while_globals_change(leak_check):
    stand_ins = [NS(path=os.path), os]

    def op():
        stand_ins.reverse()
        versioner.os = stand_ins[0]
        Version(NAME)

    try:
        leak_check(op)
    finally:
        versioner.os = os
