"""Reads of module globals and of attributes of os, os.path and re are
remembered between calls: a rebinding, a replaced attribute or a deleted
global must still be seen by the very next call, however many calls ran
before, and undoing it must bring the original behaviour back."""

import builtins
import functools
import os
import re
import types

import pytest

from kestrum import versioner
from kestrum.versioner import Version, VersionFileSystem

NAME = "/show/seq/sh010/comp/sh010.v012.exr"
WARM = 200


def spy(func, log):
    def wrapper(*args, **kwargs):
        log.append(func.__name__)
        return func(*args, **kwargs)

    wrapper.__name__ = func.__name__
    return wrapper


def os_stand_in(log):
    return types.SimpleNamespace(path=types.SimpleNamespace(splitext=spy(os.path.splitext, log)))


def re_stand_in(log):
    return types.SimpleNamespace(compile=spy(re.compile, log))


def template_stand_in(log):
    class Template(str):
        def __mod__(self, fields):
            log.append("template")
            return str.__mod__(self, fields)

    return Template(versioner.regex_splits)


def version_stand_in(log):
    class Spy(Version):
        def __init__(self, *args, **kwargs):
            log.append("Version")
            super().__init__(*args, **kwargs)

    return Spy


def parse(existing=None):
    v = Version(NAME)
    return (v.filename, v.head, v.version, v.tail, v.ext, v.current)


def compare(existing=None):
    v = Version(NAME)
    return (v == "sh010.v012.exr", v == "sh010.v013.exr")


def anchor(existing):
    # an absolute name of a file that exists: with os.path as it was, no call
    # of exists or isabs is needed
    fs = VersionFileSystem(existing)
    return (fs.filename, fs.current)


def without_os(m):
    m.delattr(versioner, "os")


def os_in_builtins(m, value=os):
    m.setattr(builtins, "os", value, raising=False)


def os_from_builtins(m):
    without_os(m)
    os_in_builtins(m)


# (operation, state the calls warm up in, change that the next call must see)
CASES = {
    "global os": (parse, None, lambda m, log: m.setattr(versioner, "os", os_stand_in(log))),
    "global re": (parse, None, lambda m, log: m.setattr(versioner, "re", re_stand_in(log))),
    "global regex_splits": (
        parse, None, lambda m, log: m.setattr(versioner, "regex_splits", template_stand_in(log))),
    "global Version": (
        compare, None, lambda m, log: m.setattr(versioner, "Version", version_stand_in(log))),
    "attribute of os": (
        parse, None,
        lambda m, log: m.setattr(os, "path", os_stand_in(log).path)),
    "attribute of os.path": (
        parse, None,
        lambda m, log: m.setattr(os.path, "splitext", spy(os.path.splitext, log))),
    "attribute of os.path, isabs": (
        anchor, None, lambda m, log: m.setattr(os.path, "isabs", spy(os.path.isabs, log))),
    "attribute of re": (
        parse, None, lambda m, log: m.setattr(re, "compile", spy(re.compile, log))),
    "deleted global, built-ins answer": (
        parse, None,
        lambda m, log: (without_os(m), os_in_builtins(m, os_stand_in(log)))),
    "built-ins that answer change": (
        parse, os_from_builtins, lambda m, log: os_in_builtins(m, os_stand_in(log))),
    "global comes back over built-ins": (
        parse, os_from_builtins,
        lambda m, log: m.setattr(versioner, "os", os_stand_in(log), raising=False)),
    "__builtins__ as a dict": (
        parse, os_from_builtins,
        lambda m, log: m.setattr(versioner, "__builtins__", {"os": os_stand_in(log)})),
    "no __builtins__: the caller's": (
        parse, os_from_builtins,
        lambda m, log: (m.delattr(versioner, "__builtins__"),
                        os_in_builtins(m, os_stand_in(log)))),
}


@pytest.mark.parametrize("case", CASES)
def test_change_is_seen_by_the_next_call(case, tmp_path):
    op, before, change = CASES[case]
    existing = tmp_path / "sh010.v012.exr"
    existing.write_bytes(b"")
    op = functools.partial(op, str(existing))
    expected = op()
    log = []
    with pytest.MonkeyPatch.context() as m:
        if before:
            before(m)
        for _ in range(WARM):
            assert op() == expected
        with pytest.MonkeyPatch.context() as m2:
            change(m2, log)
            assert op() == expected
            assert log, "the stand-in was not called"
            calls = len(log)
            assert op() == expected
            assert len(log) == 2 * calls
        for _ in range(WARM):
            assert op() == expected
    assert len(log) == 2 * calls
    assert op() == expected
    assert len(log) == 2 * calls


def test_deleted_global_fails_at_the_next_call():
    for _ in range(WARM):
        parse()
    with pytest.MonkeyPatch.context() as m:
        m.delattr(versioner, "os")
        with pytest.raises(NameError, match="^name 'os' is not defined$"):
            parse()
        m.setattr(versioner, "os", types.SimpleNamespace(path=types.SimpleNamespace()), raising=False)
        with pytest.raises(AttributeError, match="splitext"):
            parse()
    assert parse() == parse()


def test_fresh_modules_at_reused_addresses_are_read_afresh():
    # Each round drops its module before the next is made (monkeypatch would
    # keep them all), so the new one and its namespace are likely made where
    # the old ones were; the attributes stay alive and apart, so a stale
    # answer would be the previous round's.
    kept = []
    try:
        for i in range(300):
            stand_in = types.ModuleType("os")
            log = []
            kept.append(types.SimpleNamespace(splitext=spy(os.path.splitext, log)))
            stand_in.path = kept[-1]
            versioner.os = stand_in
            del stand_in
            assert Version(NAME).ext == "exr"
            assert log == ["splitext"], i
            versioner.os = os
    finally:
        versioner.os = os


def test_no_leak_while_globals_change(leak_check):
    stand_ins = [os_stand_in([]), os]

    def op():
        stand_ins.reverse()
        versioner.os = stand_ins[0]
        Version(NAME)

    try:
        leak_check(op)
    finally:
        versioner.os = os
