"""VersionFileSystem navigation: first, last, __next__, __previous__ and the
next / previous properties, all in scan order."""

import pytest

from kestrum import errors, versioner
from kestrum.versioner import BaseVersion, VersionFileSystem
from trees import Recorder, make_tree, name_of, recording_os, rel

PREFIX = "kestrum.versioner.VersionFileSystem."


def nav(root, name, member, **kwargs):
    fs = VersionFileSystem(root + "/" + name, **kwargs)
    return name_of(root, getattr(fs, member))


def step(root, name, member):
    """The next / previous neighbour of ``name`` through every route: the
    property, the method and (for next) the builtin; all must agree."""
    fs = VersionFileSystem(root + "/" + name)
    if member == "next":
        routes = [fs.next, fs.__next__(), next(fs)]
    else:
        routes = [fs.previous, fs.__previous__()]
    answers = {name_of(root, r) for r in routes}
    assert len(answers) == 1, answers
    for r in routes:
        assert r is None or type(r) is VersionFileSystem
    return answers.pop()


# --------------------------------------------------------------------------
# Neighbours in scan order


@pytest.mark.parametrize(
    "files, name, expected_next, expected_previous",
    [
        # plain run
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr"], "sh010.v002.exr", "sh010.v003.exr", "sh010.v001.exr"),
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr"], "sh010.v003.exr", None, "sh010.v002.exr"),
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr"], "sh010.v001.exr", "sh010.v002.exr", None),
        # gaps are skipped; a number that no file carries finds nothing
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v005.exr"], "sh010.v002.exr", "sh010.v005.exr", "sh010.v001.exr"),
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v005.exr"], "sh010.v005.exr", None, "sh010.v002.exr"),
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v005.exr"], "sh010.v004.exr", None, None),
        # matched by number, not by name: the object's own file need not exist
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr"], "sh010.v002.tif", "sh010.v003.exr", "sh010.v001.exr"),
        (["sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr"], "sh010.v2.exr", "sh010.v003.exr", "sh010.v001.exr"),
        # same number, other extensions
        (["sh010.v001.exr", "sh010.v001.jpg", "sh010.v002.exr"], "sh010.v001.exr", "sh010.v001.jpg", "sh010.v001.exr"),
        (["sh010.v001.exr", "sh010.v001.jpg", "sh010.v002.exr"], "sh010.v001.jpg", "sh010.v001.jpg", "sh010.v001.exr"),
        (["sh010.v001.exr", "sh010.v001.jpg", "sh010.v002.exr"], "sh010.v002.exr", None, "sh010.v001.jpg"),
        # string order: 1000 before 999
        (["sh010.v999.exr", "sh010.v1000.exr"], "sh010.v1000.exr", "sh010.v999.exr", None),
        (["sh010.v999.exr", "sh010.v1000.exr"], "sh010.v999.exr", None, "sh010.v1000.exr"),
        # the neighbour can be a name without number
        (["sh010.v.bak", "sh010.v001.exr", "sh010.vfinal.exr"], "sh010.v001.exr", "sh010.vfinal.exr", "sh010.v.bak"),
        # number 0 matches items numbered 0
        (["sh010.v000.exr", "sh010.v001.exr"], "sh010.v000.exr", "sh010.v001.exr", None),
        # a lone match at either end
        (["sh010.v001.exr"], "sh010.v001.exr", None, None),
        # nothing on disk
        ([], "sh010.v001.exr", None, None),
        # subdirectories come after the top directory
        (["sh010.v002.exr", "old/sh010.v001.exr"], "sh010.v002.exr", "old/sh010.v001.exr", None),
        (["sh010.v002.exr", "old/sh010.v001.exr"], "sh010.v001.exr", None, "sh010.v002.exr"),
    ],
)
def test_neighbours(tmp_path, files, name, expected_next, expected_previous):
    root = make_tree(tmp_path, *files)
    assert step(root, name, "next") == expected_next
    assert step(root, name, "previous") == expected_previous


def test_same_number_in_several_directories(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "a/sh010.v002.exr", "a/sh010.v003.exr")
    # from the front the first 2 is the top directory's, from the back a/'s:
    # either way the neighbour carries the same number
    for name in ("sh010.v002.exr", "sh010.v002.tif"):
        assert step(root, name, "next") == "a/sh010.v002.exr"
        assert step(root, name, "previous") == "sh010.v002.exr"
    assert step(root, "sh010.v003.exr", "previous") == "a/sh010.v002.exr"


def test_builtin_next_does_not_stop(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr")
    fs = VersionFileSystem(root + "/sh010.v001.exr")
    for _ in range(3):
        assert next(fs) is None
    assert next(fs, "default") is None
    # iteration uses the scan generator, not __next__
    assert rel(root, fs) == ["sh010.v001.exr"]
    assert rel(root, list(fs)) == rel(root, [x for x in fs])


def test_navigation_leaves_the_object_alone(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr")
    fs = VersionFileSystem(root + "/sh010.v002.exr")
    before = dict(vars(fs))
    for member in ("first", "last", "next", "previous"):
        getattr(fs, member)
    next(fs)
    fs.__previous__()
    assert vars(fs) == before
    assert rel(root, fs) == ["sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr"]
    # each call gives new objects
    assert fs.next is not fs.next and fs.first is not fs.first


def test_answers_follow_the_disk(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr")
    fs = VersionFileSystem(root + "/sh010.v002.exr")
    assert (name_of(root, fs.next), name_of(root, fs.last)) == (None, "sh010.v002.exr")
    make_tree(tmp_path, "sh010.v003.exr")
    assert (name_of(root, fs.next), name_of(root, fs.last)) == ("sh010.v003.exr", "sh010.v003.exr")


# --------------------------------------------------------------------------
# first and last


@pytest.mark.parametrize(
    "files, expected_first, expected_last",
    [
        (["sh010.v003.exr", "sh010.v001.exr", "sh010.v002.exr"], "sh010.v001.exr", "sh010.v003.exr"),
        # string order puts 1000 first; still the highest number
        (["sh010.v999.exr", "sh010.v1000.exr"], "sh010.v1000.exr", "sh010.v1000.exr"),
        # an unnumbered item can be first, never last
        (["sh010.v.bak", "sh010.v001.exr"], "sh010.v.bak", "sh010.v001.exr"),
        # only unnumbered and zero items: no last
        (["sh010.v000.exr", "sh010.vfinal.exr", "sh010.v.bak"], "sh010.v.bak", None),
        (["sh010.v000.exr"], "sh010.v000.exr", None),
        # ties: the later item in scan order
        (["sh010.v010.exr", "sh010.v10.exr", "sh010.v002.exr"], "sh010.v002.exr", "sh010.v10.exr"),
        (["sh010.v010.exr", "sh010.v010.jpg"], "sh010.v010.exr", "sh010.v010.jpg"),
        (["sh010.v010.exr", "old/sh010.v010.exr"], "sh010.v010.exr", "old/sh010.v010.exr"),
        # a tie with 1 (the first number that counts)
        (["sh010.v001.exr", "sh010.v01.exr"], "sh010.v001.exr", "sh010.v01.exr"),
        # numbers in scan order 3, 10, 2 (across directories)
        (["sh010.v003.exr", "a/sh010.v010.exr", "a/b/sh010.v002.exr"], "sh010.v003.exr", "a/sh010.v010.exr"),
        # subdirectories after the top directory
        (["b/sh010.v009.exr", "sh010.v001.exr"], "sh010.v001.exr", "b/sh010.v009.exr"),
        ([], None, None),
    ],
)
def test_first_and_last(tmp_path, files, expected_first, expected_last):
    root = make_tree(tmp_path, *files)
    assert nav(root, "sh010.v005.exr", "first") == expected_first
    assert nav(root, "sh010.v005.exr", "last") == expected_last
    for member in ("first", "last"):
        result = getattr(VersionFileSystem(root + "/sh010.v005.exr"), member)
        assert result is None or type(result) is VersionFileSystem


def test_first_reads_only_as_far_as_needed(tmp_path, monkeypatch):
    root = make_tree(tmp_path, "sh010.v001.exr", "a/sh010.v002.exr", "b/sh010.v003.exr")
    fs = VersionFileSystem(root + "/sh010.v002.exr")
    log = Recorder()
    monkeypatch.setattr(versioner, "os", recording_os(log))
    assert name_of(root, fs.first) == "sh010.v001.exr"
    assert log.names().count("walk-step") == 1
    # the rest of the members run the whole scan
    for member in ("last", "next", "previous"):
        del log.calls[:]
        getattr(fs, member)
        assert log.names().count("walk-step") == 3, member


def test_first_when_the_match_is_deeper(tmp_path):
    root = make_tree(tmp_path, "other.txt", "x/y/sh010.v004.exr")
    assert nav(root, "sh010.v001.exr", "first") == "x/y/sh010.v004.exr"


# --------------------------------------------------------------------------
# Objects without a usable number


def test_object_without_number(tmp_path, ext_tb):
    root = make_tree(tmp_path, "sh010.exr", "sh010.v001.exr", "sh010.v002.exr")
    fs = VersionFileSystem(root + "/sh010.exr")
    assert fs.current is None
    for call, line in (
        (lambda: fs.next, [(PREFIX + "next", 203), (PREFIX + "__next__", 165)]),
        (lambda: next(fs), [(PREFIX + "__next__", 165)]),
        (lambda: fs.previous, [(PREFIX + "previous", 207), (PREFIX + "__previous__", 175)]),
        (lambda: fs.__previous__(), [(PREFIX + "__previous__", 175)]),
    ):
        with pytest.raises(TypeError) as info:
            call()
        assert info.value.args == ()
        assert ext_tb(info.value) == line + [("kestrum.versioner.BaseVersion.__eq__", 43)]
    assert name_of(root, fs.first) == "sh010.exr"
    assert name_of(root, fs.last) == "sh010.v002.exr"


def test_object_without_number_and_nothing_on_disk(tmp_path):
    fs = VersionFileSystem(str(tmp_path / "sh010.exr"))
    assert (fs.next, next(fs), fs.previous, fs.__previous__(), fs.first, fs.last) == (None,) * 6


def test_postfix_of_the_object_is_not_that_of_the_items(tmp_path):
    root = make_tree(tmp_path, "shot_ver001.exr", "shot_ver002.exr", "shot_ver003.exr")
    fs = VersionFileSystem(root + "/shot_ver003.exr", postfix="_ver")
    assert fs.current == 3
    assert (fs.next, fs.previous, fs.last) == (None, None, None)
    assert name_of(root, fs.first) == "shot_ver001.exr"


# --------------------------------------------------------------------------
# The guard of last


def guarded_items(monkeypatch, fail):
    """Make the scan build items whose ``current`` raises ``fail(name)``
    (when that gives an exception) for names holding 'bad'."""

    class Item(VersionFileSystem):
        def __init__(self, filename):
            BaseVersion.__init__(self, filename)

        @property
        def current(self):
            if "bad" in self.filename:
                raise fail()
            return BaseVersion.current.fget(self)

    monkeypatch.setattr(versioner, "VersionFileSystem", Item)


@pytest.fixture
def guarded(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v005bad.exr", "sh010.v009.bad", "sh010.v003.exr")
    return root, VersionFileSystem(root + "/sh010.v001.exr")


def test_last_skips_items_without_a_readable_number(guarded, monkeypatch):
    root, fs = guarded
    guarded_items(monkeypatch, lambda: errors.NoVersionNumber())
    assert name_of(root, fs.last) == "sh010.v003.exr"


def test_last_lets_other_exceptions_through(guarded, monkeypatch, ext_tb):
    root, fs = guarded
    guarded_items(monkeypatch, lambda: KeyError("bad"))
    with pytest.raises(KeyError) as info:
        fs.last
    assert ext_tb(info.value) == [(PREFIX + "last", 192)]


def test_last_tests_the_module_global_at_the_time(guarded, monkeypatch, ext_tb):
    root, fs = guarded
    guarded_items(monkeypatch, lambda: KeyError("bad"))
    monkeypatch.setattr(versioner, "NoVersionNumber", KeyError)
    assert name_of(root, fs.last) == "sh010.v003.exr"
    # the class from errors is no longer caught
    guarded_items(monkeypatch, lambda: errors.NoVersionNumber())
    with pytest.raises(errors.NoVersionNumber):
        fs.last


def test_last_without_the_global(guarded, monkeypatch, ext_tb):
    # the test of a caught exception looks the class up and fails
    root, fs = guarded
    guarded_items(monkeypatch, lambda: errors.NoVersionNumber())
    monkeypatch.delattr(versioner, "NoVersionNumber")
    with pytest.raises(NameError, match="NoVersionNumber") as info:
        fs.last
    assert ext_tb(info.value) == [(PREFIX + "last", 196)]
    assert isinstance(info.value.__context__, errors.NoVersionNumber)


def test_last_looks_up_the_global_only_for_an_exception(guarded, monkeypatch):
    root, fs = guarded
    monkeypatch.delattr(versioner, "NoVersionNumber")
    assert name_of(root, fs.last) == "sh010.v009.bad"


def test_last_compares_with_old_on_the_left(guarded, monkeypatch):
    root, fs = guarded
    seen = []

    class Number(int):
        def __ge__(self, other):
            seen.append(("ge", int(self), other))
            return int.__ge__(self, other)

        def __le__(self, other):
            seen.append(("le", int(self), other))
            return int.__le__(self, other)

    guarded_items(monkeypatch, lambda: errors.NoVersionNumber())
    item_class = versioner.VersionFileSystem

    class Numbered(item_class):
        @property
        def current(self):
            value = item_class.current.fget(self)
            return Number(value)

    monkeypatch.setattr(versioner, "VersionFileSystem", Numbered)
    assert name_of(root, fs.last) == "sh010.v003.exr"
    # 0 <= 1 goes to the reflected __ge__ of the int subclass; then
    # old (1) <= new (3), both of that class, to __le__ of the left one
    assert seen == [("ge", 1, 0), ("le", 1, 3)]


def test_entry_of_the_test_in_last(guarded, monkeypatch, ext_tb):
    root, fs = guarded

    class Item(VersionFileSystem):
        def __init__(self, filename):
            BaseVersion.__init__(self, filename)

        current = property(lambda self: "text")

    monkeypatch.setattr(versioner, "VersionFileSystem", Item)
    with pytest.raises(TypeError) as info:
        fs.last
    assert ext_tb(info.value) == [(PREFIX + "last", 193)]


# --------------------------------------------------------------------------
# Subclasses


def test_properties_use_the_subclass_methods(tmp_path):
    class Mine(VersionFileSystem):
        def __next__(self):
            return "mine-next"

        def __previous__(self):
            return "mine-previous"

    fs = Mine(str(tmp_path / "sh010.v001.exr"))
    assert (fs.next, fs.previous, next(fs)) == ("mine-next", "mine-previous", "mine-next")


def test_own_number_through_a_subclass(tmp_path):
    class Fixed(VersionFileSystem):
        current = property(lambda self: 2)

    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "sh010.v003.exr")
    fs = Fixed(root + "/sh010.v009.exr")
    assert (name_of(root, fs.next), name_of(root, fs.previous)) == ("sh010.v003.exr", "sh010.v001.exr")


# --------------------------------------------------------------------------
# Traceback entries


def test_entries_when_the_scan_fails(ext_tb):
    fs = VersionFileSystem("README")
    cases = [
        ("next", [(PREFIX + "next", 203), (PREFIX + "__next__", 162)]),
        ("previous", [(PREFIX + "previous", 207), (PREFIX + "__previous__", 172)]),
        ("first", [(PREFIX + "first", 183)]),
        ("last", [(PREFIX + "last", 190)]),
    ]
    for member, entries in cases:
        with pytest.raises(TypeError) as info:
            getattr(fs, member)
        assert ext_tb(info.value) == entries + [("__iter__", 151)], member


@pytest.mark.parametrize("files", [[], ["sh010.v001.exr"]], ids=["empty", "non-empty"])
def test_entries_when_reading_the_own_number_fails(tmp_path, files, ext_tb):
    root = make_tree(tmp_path, *files)
    fs = VersionFileSystem(root + "/sh010.v001.exr")
    del fs.filename  # current needs it; the scan does not
    for call, entries in (
        (lambda: fs.next, [(PREFIX + "next", 203), (PREFIX + "__next__", 163)]),
        (lambda: fs.previous, [(PREFIX + "previous", 207), (PREFIX + "__previous__", 173)]),
    ):
        with pytest.raises(AttributeError) as info:
            call()
        assert ext_tb(info.value) == entries + [("kestrum.versioner.BaseVersion.current", 70)]


def test_entries_of_a_subclass_method_failing(tmp_path, ext_tb):
    class Failing(VersionFileSystem):
        def __next__(self):
            raise KeyError("next")

        def __previous__(self):
            raise KeyError("previous")

    fs = Failing(str(tmp_path / "sh010.v001.exr"))
    with pytest.raises(KeyError) as info:
        fs.next
    assert ext_tb(info.value) == [(PREFIX + "next", 203)]
    with pytest.raises(KeyError) as info:
        fs.previous
    assert ext_tb(info.value) == [(PREFIX + "previous", 207)]


def test_no_index_error_escapes(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr")
    # a match at the very end (front-to-back) and at the very start (back-to-front)
    assert VersionFileSystem(root + "/sh010.v002.exr").__next__() is None
    assert VersionFileSystem(root + "/sh010.v001.exr").__previous__() is None


# --------------------------------------------------------------------------
# Leaks


def test_no_leaks(tmp_path, leak_check):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "sh010.v.bak", "a/sh010.v003.exr")
    fs = VersionFileSystem(root + "/sh010.v002.exr")
    kw = dict(objects=(fs,), iterations=60, warmup=30)
    leak_check(lambda: (fs.next, fs.previous, next(fs), fs.__previous__()), **kw)
    leak_check(lambda: (fs.first, fs.last), **kw)
    end = VersionFileSystem(root + "/sh010.v003.exr")
    leak_check(lambda: (end.next, end.__previous__()), objects=(end,), iterations=60, warmup=30)
    missing = VersionFileSystem(root + "/sh010.v009.exr")
    leak_check(lambda: (missing.next, missing.previous), objects=(missing,), iterations=60, warmup=30)
    bare = VersionFileSystem(root + "/sh010.exr")
    leak_check(lambda: bare.next, raises=TypeError, objects=(bare,), iterations=60, warmup=30)
    leak_check(lambda: bare.__previous__(), raises=TypeError, objects=(bare,), iterations=60, warmup=30)
    readme = VersionFileSystem("README")
    for member in ("first", "last", "next", "previous"):
        leak_check(lambda: getattr(readme, member), raises=TypeError, objects=(readme,))
