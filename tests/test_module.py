"""The module namespace, the classes and the shape of their members."""

import builtins
import fnmatch
import inspect
import io
import os
import pydoc
import re
import types
import weakref

import pytest

import kestrum.errors
from kestrum import versioner
from kestrum.versioner import BaseVersion, Version, VersionFileSystem

from conftest import NAMESPACE_AT_IMPORT, SOURCE_NAME

TEMPLATE = "(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)"

NAMESPACE = [
    "os",
    "re",
    "fnmatch",
    "NoValidVersion",
    "NoVersionNumber",
    "VersionZero",
    "ExceededPaddingVersion",
    "regex_splits",
    "BaseVersion",
    "Version",
    "VersionFileSystem",
]

# Entries that type() itself puts into (or keeps in) a class dictionary.
CLASS_MACHINERY = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__", "__hash__"}

SELF = ("self",)
SETTINGS = ("self", "filename", "pads", "postfix", "ext")

# The whole module, class by class, member by member in creation order:
# name, kind, parameters, further locals, first line, defaults.
MEMBERS = {
    "BaseVersion": [
        ("__init__", "method", SETTINGS, ("extension",), 12, (3, ".v", ".*")),
        ("__str__", "method", SELF, (), 30, None),
        ("__repr__", "method", SELF, (), 33, None),
        ("__eq__", "method", ("self", "version"), (), 36, None),
        ("int_to_pad", "staticmethod", ("pads", "number"), (), 46, None),
        ("_splits", "method", ("self", "filename"), ("info", "match"), 49, None),
        ("_current", "method", ("self", "path"), (), 62, None),
        ("current", "property", SELF, (), 69, None),
        ("isVersionless", "property", SELF, (), 73, None),
        ("to", "method", ("self", "version"), (), 76, None),
        ("versionless", "property", SELF, ("filename",), 88, None),
    ],
    "Version": [
        ("next", "property", SELF, (), 104, None),
        ("previous", "property", SELF, ("version",), 114, None),
        ("fs", "property", SELF, (), 126, None),
    ],
    "VersionFileSystem": [
        ("__init__", "method", SETTINGS, (), 131, (3, ".v", ".*")),
        ("__iter__", "generator", SELF,
         ("dirname", "basename", "root", "dirnames", "filenames", "filename"), 150, None),
        ("__contains__", "method", ("self", "version"), (), 158, None),
        ("__next__", "method", SELF, ("vers", "current"), 161, None),
        ("__previous__", "method", SELF, ("vers", "current"), 171, None),
        ("first", "property", SELF, ("ver",), 182, None),
        ("last", "property", SELF, ("old", "last", "ver", "new"), 187, None),
        ("next", "property", SELF, (), 202, None),
        ("previous", "property", SELF, (), 206, None),
        ("exists", "property", SELF, (), 210, None),
    ],
}

CLASSES = {"BaseVersion": BaseVersion, "Version": Version, "VersionFileSystem": VersionFileSystem}

ALL_MEMBERS = [(cls_name,) + row for cls_name, rows in MEMBERS.items() for row in rows]


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def member_function(cls, name):
    """The function behind a class-dict entry, unwrapping staticmethod and
    property."""
    entry = cls.__dict__[name]
    if isinstance(entry, staticmethod):
        return entry.__func__
    if isinstance(entry, property):
        return entry.fget
    return entry


def own_members(cls):
    return [k for k in cls.__dict__ if k not in CLASS_MACHINERY]


# --------------------------------------------------------------------------
# Module


def test_namespace_in_binding_order():
    names = [k for k in NAMESPACE_AT_IMPORT if not is_dunder(k)]
    assert names == NAMESPACE


def test_namespace_values():
    assert versioner.os is os
    assert versioner.re is re
    assert versioner.fnmatch is fnmatch
    for name in ("NoValidVersion", "NoVersionNumber", "VersionZero", "ExceededPaddingVersion"):
        assert getattr(versioner, name) is getattr(kestrum.errors, name)
    assert type(versioner.regex_splits) is str
    assert versioner.regex_splits == TEMPLATE


def test_module_attributes():
    assert versioner.__name__ == "kestrum.versioner"
    assert versioner.__doc__ is None
    assert versioner.__package__ == "kestrum"
    assert versioner.__file__ == versioner.__spec__.origin
    assert versioner.__loader__ is versioner.__spec__.loader
    assert not hasattr(versioner, "__path__")
    assert versioner.__builtins__ is builtins


def test_no_module_level_functions():
    assert not [
        k
        for k, v in vars(versioner).items()
        if not is_dunder(k) and callable(v) and not isinstance(v, type)
    ]


# --------------------------------------------------------------------------
# Classes


@pytest.mark.parametrize(
    "cls, bases",
    [
        (BaseVersion, (object,)),
        (Version, (BaseVersion,)),
        (VersionFileSystem, (BaseVersion,)),
    ],
    ids=lambda x: getattr(x, "__name__", ""),
)
def test_class_shape(cls, bases):
    assert type(cls) is type
    assert cls.__bases__ == bases
    assert cls.__module__ == "kestrum.versioner"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None
    assert list(cls.__dict__)[0] == "__module__"


def test_versionfilesystem_is_not_a_version():
    assert not issubclass(VersionFileSystem, Version)
    assert issubclass(VersionFileSystem, BaseVersion)
    assert issubclass(Version, BaseVersion)


@pytest.mark.parametrize("cls_name", list(MEMBERS))
def test_members_in_creation_order(cls_name):
    assert own_members(CLASSES[cls_name]) == [row[0] for row in MEMBERS[cls_name]]


def test_equality_makes_instances_unhashable():
    assert BaseVersion.__dict__["__hash__"] is None
    for cls in CLASSES.values():
        assert cls.__hash__ is None


@pytest.mark.parametrize("cls_name, name, kind", [row[:3] for row in ALL_MEMBERS], ids=str)
def test_member_kinds(cls_name, name, kind):
    entry = CLASSES[cls_name].__dict__[name]
    if kind == "staticmethod":
        assert isinstance(entry, staticmethod)
    elif kind == "property":
        assert isinstance(entry, property)
        assert entry.fset is None and entry.fdel is None
        assert entry.__doc__ is None
    else:
        assert not isinstance(entry, (staticmethod, classmethod, property))
        assert callable(entry)


def test_version_uses_base_constructor():
    assert Version.__init__ is BaseVersion.__init__
    assert "__init__" not in Version.__dict__


@pytest.mark.parametrize(
    "cls_name, name, kind, params, local_names, line, defaults",
    ALL_MEMBERS,
    ids=["%s.%s" % row[:2] for row in ALL_MEMBERS],
)
def test_member_function_metadata(cls_name, name, kind, params, local_names, line, defaults):
    func = member_function(CLASSES[cls_name], name)
    assert func.__name__ == name
    assert func.__qualname__ == cls_name + "." + name
    assert func.__module__ == "kestrum.versioner"
    assert func.__doc__ is None
    assert func.__defaults__ == defaults
    if defaults is not None:
        assert [type(d) for d in func.__defaults__] == [int, str, str]
    assert func.__kwdefaults__ is None
    assert func.__annotations__ == {}

    code = func.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_filename == SOURCE_NAME
    assert code.co_name == name
    assert code.co_firstlineno == line
    assert code.co_argcount == len(params)
    assert code.co_varnames == params + local_names
    assert code.co_kwonlyargcount == 0
    assert code.co_posonlyargcount == 0
    assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0
    assert bool(code.co_flags & inspect.CO_GENERATOR) == (kind == "generator")


@pytest.mark.parametrize(
    "cls_name, name, params, defaults",
    [(row[0], row[1], row[3], row[6]) for row in ALL_MEMBERS],
    ids=["%s.%s" % row[:2] for row in ALL_MEMBERS],
)
def test_member_signature(cls_name, name, params, defaults):
    sig = inspect.signature(member_function(CLASSES[cls_name], name))
    assert list(sig.parameters) == list(params)
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    given = [p.default for p in sig.parameters.values() if p.default is not p.empty]
    assert tuple(given) == (defaults or ())


@pytest.mark.parametrize("cls", [BaseVersion, Version, VersionFileSystem], ids=lambda c: c.__name__)
def test_class_signature(cls):
    assert str(inspect.signature(cls)) == "(filename, pads=3, postfix='.v', ext='.*')"


def test_bound_member_signatures():
    v = BaseVersion("shot.v001.ma")
    assert str(inspect.signature(v._splits)) == "(filename)"
    assert str(inspect.signature(v._current)) == "(path)"
    assert str(inspect.signature(v.__init__)) == "(filename, pads=3, postfix='.v', ext='.*')"
    assert str(inspect.signature(v.int_to_pad)) == "(pads, number)"


@pytest.mark.parametrize("name", ["__init__", "_splits", "_current"])
def test_methods_bind_to_instances(name):
    v = Version("shot.v001.ma")
    func = BaseVersion.__dict__[name]
    bound = getattr(v, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is v
    assert bound.__func__ is func
    # Read through the class, the function comes back unchanged.
    assert getattr(BaseVersion, name) is func
    assert getattr(Version, name) is func


def test_int_to_pad_is_not_bound():
    v = BaseVersion("shot.v001.ma")
    func = BaseVersion.__dict__["int_to_pad"].__func__
    assert BaseVersion.int_to_pad is func
    assert v.int_to_pad is func
    assert BaseVersion.int_to_pad(3, 7) == "007"
    assert v.int_to_pad(3, 7) == "007"
    assert Version("a").int_to_pad(4, 12) == "0012"


def test_pydoc_renders_module_and_classes():
    text = pydoc.plain(pydoc.render_doc(BaseVersion))
    for sig in [
        "__init__(self, filename, pads=3, postfix='.v', ext='.*')",
        "int_to_pad(pads, number)",
    ]:
        assert sig in text
    # Names with a leading underscore are left out of class documentation.
    assert "current" in text
    assert "BaseVersion" in pydoc.plain(pydoc.render_doc(Version))
    module_text = pydoc.plain(pydoc.render_doc(versioner))
    assert "VersionFileSystem" in module_text


def test_help_on_instance_and_member():
    out = io.StringIO()
    helper = pydoc.Helper(output=out)
    helper.help(BaseVersion("shot.v001.ma"))
    helper.help(BaseVersion._splits)
    helper.help(BaseVersion.int_to_pad)
    text = out.getvalue()
    assert "_splits(self, filename)" in text
    assert "int_to_pad(pads, number)" in text


# --------------------------------------------------------------------------
# Instances and subclassing


@pytest.mark.parametrize("cls", [BaseVersion, Version], ids=lambda c: c.__name__)
def test_property_is_read_only(cls):
    v = cls("shot.v004.ma")
    with pytest.raises(AttributeError):
        v.current = 5
    with pytest.raises(AttributeError):
        del v.current
    assert v.current == 4
    assert "current" not in vars(v)


def test_instances_are_ordinary_objects():
    v = Version("shot.v001.ma")
    v.note = "free attribute"
    assert vars(v)["note"] == "free attribute"
    assert weakref.ref(v)() is v


def test_subclassing_from_python():
    class Shot(Version):
        kind = "shot"

        def describe(self):
            return "%s:%s" % (self.kind, self.current)

    s = Shot("sh010.v007.exr", pads=4)
    assert isinstance(s, Version) and isinstance(s, BaseVersion)
    assert (s.head, s.version, s.tail, s.pads) == ("sh010.v", "007", ".exr", 4)
    assert s.describe() == "shot:7"
    # A subclass of Version is accepted as a copying source.
    copy = Shot(s)
    assert type(copy) is Shot
    assert (copy.filename, copy.pads) == ("sh010.v007.exr", 4)


def test_subclass_with_own_init_calls_base():
    class Tagged(BaseVersion):
        def __init__(self, filename, tag):
            super().__init__(filename, postfix="_v")
            self.tag = tag

    t = Tagged("plate_v12.dpx", "bg")
    assert (t.head, t.version, t.tail, t.tag) == ("plate_v", "12", ".dpx", "bg")


def test_builtins_are_fetched_at_import(monkeypatch):
    real_type_error = TypeError
    real_value_error = ValueError

    class Other(Exception):
        pass

    v = BaseVersion("README.v001.md")
    monkeypatch.setattr(builtins, "TypeError", Other)
    monkeypatch.setattr(builtins, "ValueError", Other)
    try:
        try:
            BaseVersion(b"shot.v001.ma")
        except real_type_error as exc:
            raised = type(exc)
        # The guard of the split catches the real ValueError of the search.
        split = v._splits("README")
    finally:
        monkeypatch.undo()
    assert raised is real_type_error
    assert split == [None, None, None]
