"""What a developer sees when exploring the module: help() and pydoc text for
every class and member, inspect's view of them, and the type stubs and version
shipped with the package."""

import ast
import importlib.metadata
import io
import inspect
import os
import pydoc

import pytest

import kestrum
from kestrum import versioner
from kestrum.versioner import BaseVersion, Version, VersionFileSystem

METHOD, STATIC, PROPERTY = "method", "static method", "property"
INIT, PROP = "(self, filename, pads=3, postfix='.v', ext='.*')", (PROPERTY, None)
# Every member that each class defines: name -> (kind, signature of the plain function).
MEMBERS = {
    BaseVersion: {
        "__init__": (METHOD, INIT), "__str__": (METHOD, "(self)"), "__repr__": (METHOD, "(self)"),
        "__eq__": (METHOD, "(self, version)"), "int_to_pad": (STATIC, "(pads, number)"),
        "_splits": (METHOD, "(self, filename)"), "_current": (METHOD, "(self, path)"),
        "current": PROP, "isVersionless": PROP, "to": (METHOD, "(self, version)"),
        "versionless": PROP,
    },
    Version: {"next": PROP, "previous": PROP, "fs": PROP},
    VersionFileSystem: {
        "__init__": (METHOD, INIT), "__iter__": (METHOD, "(self)"),
        "__contains__": (METHOD, "(self, version)"), "__next__": (METHOD, "(self)"),
        "__previous__": (METHOD, "(self)"), "first": PROP, "last": PROP, "next": PROP,
        "previous": PROP, "exists": PROP,
    },
}
OWN = [(cls, name, *row) for cls in MEMBERS for name, row in MEMBERS[cls].items()]
OWN_IDS = ["%s.%s" % (cls.__name__, name) for cls, name, *_ in OWN]
# Per class, every member it has (own or inherited) -> (defining class, kind, signature).
VISIBLE = {
    cls: {n: (owner, *row) for owner in cls.__mro__[-2::-1] for n, row in MEMBERS[owner].items()}
    for cls in MEMBERS
}
SECTION = {METHOD: "Methods", STATIC: "Static methods", PROPERTY: "Readonly properties"}


def help_text(obj):
    out = io.StringIO()
    pydoc.Helper(output=out).help(obj)
    return pydoc.plain(out.getvalue())


def sections(text):
    """pydoc's class text as {section heading: [entry names]}."""
    found, heading = {}, None
    for line in text.splitlines():
        body = line.lstrip(" |").rstrip()
        if body.endswith(":") and (" defined here" in body or " inherited from " in body):
            heading = found.setdefault(body[:-1], [])
        elif heading is not None and body and line.startswith(" |  ") and line[4] != " ":
            heading.append(body.split("(")[0].split(" = ")[0])
    return found


@pytest.mark.parametrize("cls", list(MEMBERS), ids=lambda c: c.__name__)
def test_inspect_and_help_classify_every_member(cls):
    attrs = {a.name: a for a in inspect.classify_class_attrs(cls)}
    text = help_text(cls)
    assert "%s(filename, pads=3, postfix='.v', ext='.*')" % cls.__name__ in text
    for name, (owner, kind, sig) in VISIBLE[cls].items():
        assert (attrs[name].kind, attrs[name].defining_class) == (kind, owner)
        if name.startswith("_") and not name.endswith("__"):
            continue  # pydoc leaves private names out of class documentation
        where = "defined here" if owner is cls else "inherited from BaseVersion"
        assert name in sections(text)["%s %s" % (SECTION[kind], where)], name
        if sig is not None:
            assert name + sig in text


@pytest.mark.parametrize("cls, name, kind, sig", OWN, ids=OWN_IDS)
def test_every_member_documents_itself(cls, name, kind, sig):
    path = "kestrum.versioner.%s.%s" % (cls.__name__, name)
    assert path in pydoc.plain(pydoc.render_doc(path))
    member = cls.__dict__[name].fget if kind == PROPERTY else getattr(cls, name)
    assert name + (sig or "(self)") in help_text(member)
    if sig is not None:
        bound = getattr(cls("shot.v001.ma"), name)
        if kind == METHOD:  # bound to an instance, the signature loses self
            sig = "(" + ", ".join(sig[1:-1].split(", ")[1:]) + ")"
        assert str(inspect.signature(bound)) == sig
        assert name + sig in help_text(bound)


def test_module_and_package_docs():
    text = pydoc.plain(pydoc.render_doc(versioner))
    assert "NAME\n    kestrum.versioner\n" in text
    assert "    BaseVersion\n            Version\n            VersionFileSystem\n" in text
    assert "regex_splits = '(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)'" in text
    assert "FILE\n    " in text and os.path.basename(versioner.__file__) in text
    html = pydoc.html.page(pydoc.describe(versioner), pydoc.html.document(versioner))
    for cls, members in MEMBERS.items():
        assert cls.__name__ in html
        assert all(name in html for name in members if not name.startswith("_"))
    package = pydoc.plain(pydoc.render_doc(kestrum))
    assert "VERSION\n    %s\n" % kestrum.__version__ in package
    assert "    errors\n    versioner\n" in package


def test_version_is_stated_once():
    assert isinstance(kestrum.__version__, str) and kestrum.__version__[:1].isdigit()
    try:
        dist = importlib.metadata.distribution("kestrum")
    except importlib.metadata.PackageNotFoundError:
        return  # the in-place build: no metadata to compare with
    if os.path.samefile(str(dist.locate_file("kestrum/__init__.py")), kestrum.__file__):
        assert dist.version == kestrum.__version__


def test_stubs_describe_every_runtime_name():
    folder = os.path.dirname(versioner.__file__)
    assert os.path.isfile(os.path.join(folder, "py.typed"))
    with open(os.path.join(folder, "versioner.pyi"), encoding="utf-8") as handle:
        tree = ast.parse(handle.read())
    # Re-exported names ("import os as os") and annotated globals, not the stub's typing imports.
    names = {a.asname for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom))
             for a in n.names if a.asname == a.name}
    names |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    classes = {n.name: n.body for n in tree.body if isinstance(n, ast.ClassDef)}
    assert names | set(classes) == {n for n in vars(versioner) if not n.startswith("__")}
    for cls, members in MEMBERS.items():
        defs = {n.name: n.args for n in classes[cls.__name__] if isinstance(n, ast.FunctionDef)}
        assert set(defs) == set(members)
        for name, (kind, sig) in members.items():
            args, defaults = defs[name].args, [None] * len(defs[name].args)
            defaults[len(args) - len(defs[name].defaults):] = defs[name].defaults
            params = [a.arg + ("=" + ast.unparse(d) if d else "") for a, d in zip(args, defaults)]
            assert "(%s)" % ", ".join(params) == (sig or "(self)")
