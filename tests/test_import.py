"""Module start-up, each case in a child interpreter that imports a copy of
the package assembled in a temporary directory."""

import sys

import pytest

from conftest import SOURCE_NAME

INIT = "init kestrum.versioner"
INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process."
)
EXCEPTION_NAMES = ["NoValidVersion", "NoVersionNumber", "VersionZero", "ExceededPaddingVersion"]


def test_plain_import_without_warnings(package_copy):
    result, _ = package_copy.run(
        """
        import kestrum.versioner as m, kestrum.errors as e, os, re, fnmatch
        report([m.os is os, m.re is re, m.fnmatch is fnmatch,
                m.VersionZero is e.VersionZero,
                m.BaseVersion("a.v002.ma").current])
        """,
        extra_args=("-W", "error"),
    )
    assert result == [True, True, True, True, 2]


@pytest.mark.parametrize("missing", EXCEPTION_NAMES)
def test_errors_module_lacking_a_name(package_copy, missing):
    package_copy.write(
        "errors.py",
        "\n".join("class %s(Exception): pass" % n for n in EXCEPTION_NAMES if n != missing),
    )
    result, _ = package_copy.run(
        """
        import sys
        missing = %r
        try:
            import kestrum.versioner
        except ImportError as exc:
            first = [type(exc).__name__, str(exc), entries(exc)[-1],
                     "kestrum.versioner" in sys.modules]
        else:
            first = None
        # Supply the name and import again: the failed module was forgotten.
        import kestrum.errors
        setattr(kestrum.errors, missing, type(missing, (Exception,), {}))
        import kestrum.versioner as m
        report([first, getattr(m, missing) is getattr(kestrum.errors, missing),
                m.BaseVersion("a.v003.ma").current,
                sys.modules["kestrum.versioner"] is m])
        """
        % missing
    )
    first, same, current, registered = result
    assert first == [
        "ImportError",
        "cannot import name %s" % missing,
        [SOURCE_NAME, INIT, 5],
        False,
    ]
    assert same and registered
    assert current == 3


def test_without_errors_module(package_copy):
    package_copy.remove("errors.py")
    result, _ = package_copy.run(
        """
        import sys
        try:
            import kestrum.versioner
        except ImportError as exc:
            report([type(exc).__name__, exc.name, entries(exc),
                    "kestrum.versioner" in sys.modules])
        """
    )
    kind, name, tb, registered = result
    assert kind == "ModuleNotFoundError"
    assert name == "kestrum.errors"
    own = [e for e in tb if e[0] == SOURCE_NAME]
    assert own == [[SOURCE_NAME, INIT, 5]]
    assert not registered


@pytest.mark.parametrize("name", ["os", "re", "fnmatch"])
def test_package_submodule_shadows_standard_module(package_copy, name):
    package_copy.write(
        name + ".py",
        """
        import importlib as _importlib
        _std = _importlib.import_module(%r)
        SHADOW = True

        def __getattr__(attr):
            return getattr(_std, attr)
        """
        % name,
    )
    result, _ = package_copy.run(
        """
        import sys
        import kestrum.versioner as m
        name = %r
        pkg = sys.modules["kestrum." + name]
        v = m.BaseVersion("/p/sh010.v003.exr")
        report([getattr(m, name) is pkg, getattr(m, name) is not sys.modules.get(name),
                v.ext, v.head, v.version, v.tail])
        """
        % name
    )
    assert result == [True, True, "exr", "/p/sh010.v", "003", ".exr"]


@pytest.mark.parametrize("name, line", [("os", 2), ("re", 3), ("fnmatch", 4)])
def test_failing_package_submodule_fails_the_import(package_copy, name, line):
    package_copy.write(name + ".py", "raise LookupError('broken %s')\n" % name)
    result, _ = package_copy.run(
        """
        import sys
        try:
            import kestrum.versioner
        except LookupError as exc:
            report([str(exc), entries(exc), "kestrum.versioner" in sys.modules])
        """
    )
    message, tb, registered = result
    assert message == "broken " + name
    assert [e for e in tb if e[0] == SOURCE_NAME] == [[SOURCE_NAME, INIT, line]]
    assert tb[-1][0].endswith(name + ".py")
    assert not registered


@pytest.mark.parametrize("name", ["os", "re", "fnmatch"])
def test_package_submodule_raising_import_error_falls_back(package_copy, name):
    package_copy.write(name + ".py", "import kestrum_no_such_module\n")
    result, _ = package_copy.run(
        """
        import sys, importlib
        import kestrum.versioner as m
        name = %r
        report(getattr(m, name) is importlib.import_module(name))
        """
        % name
    )
    assert result is True


def test_reimport_and_reload_keep_the_module(package_copy):
    result, _ = package_copy.run(
        """
        import sys, importlib
        import kestrum.versioner as m
        before = dict(vars(m))
        base = m.BaseVersion
        m.regex_splits = "(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)$"
        del sys.modules["kestrum.versioner"]
        import kestrum.versioner as again
        reloaded = importlib.reload(m)
        names = [k for k in vars(m) if not (k.startswith("__") and k.endswith("__"))]
        report([again is m, reloaded is m, m.BaseVersion is base,
                sys.modules["kestrum.versioner"] is m,
                m.regex_splits.endswith("$"),
                all(vars(m)[k] is before[k] for k in names if k != "regex_splits"),
                names])
        """
    )
    assert result[:6] == [True] * 6
    assert result[6] == [
        "os", "re", "fnmatch", "NoValidVersion", "NoVersionNumber", "VersionZero",
        "ExceededPaddingVersion", "regex_splits", "BaseVersion", "Version",
        "VersionFileSystem",
    ]


def test_second_module_object_cannot_be_executed(package_copy):
    result, _ = package_copy.run(
        """
        import sys, importlib.util
        spec = importlib.util.find_spec("kestrum.versioner")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        distinct = first is not second
        spec.loader.exec_module(first)
        registered = sys.modules.get("kestrum.versioner") is first
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            error = str(exc)
        else:
            error = None
        # After execution, creating again hands back the executed module.
        third = importlib.util.module_from_spec(spec)
        report([distinct, registered, error, third is first,
                first.__file__ == spec.origin, first.__package__])
        """
    )
    assert result == [
        True,
        True,
        "Module 'versioner' has already been imported. Re-initialisation is not supported.",
        True,
        True,
        "kestrum",
    ]


SUBINTERP_PRELUDE = """
    try:
        import _testcapi
    except ImportError:
        report("no _testcapi")
        raise SystemExit(0)
    if not hasattr(_testcapi, "run_in_subinterp"):
        report("no _testcapi")
        raise SystemExit(0)
"""


def _skip_without_testcapi(result):
    if result == "no _testcapi":
        pytest.skip("_testcapi.run_in_subinterp is not available")


def test_second_interpreter_after_main(package_copy):
    result, proc = package_copy.run(
        SUBINTERP_PRELUDE
        + """
    import sys
    import kestrum.versioner as m
    rc = _testcapi.run_in_subinterp("import kestrum.versioner")
    sys.stderr.flush()
    report([rc, m.BaseVersion("a.v009.ma").current])
    """
    )
    _skip_without_testcapi(result)
    assert result == [-1, 9]
    assert "ImportError: " + INTERPRETER_CHANGE in proc.stderr


def test_second_interpreter_before_main(package_copy):
    result, proc = package_copy.run(
        SUBINTERP_PRELUDE
        + """
    import sys
    rc = _testcapi.run_in_subinterp("import kestrum.versioner")
    try:
        import kestrum.versioner
    except ImportError as exc:
        outcome = [type(exc).__name__, str(exc)]
    else:
        outcome = None
    report([rc, outcome, "kestrum.versioner" in sys.modules])
    """
    )
    _skip_without_testcapi(result)
    assert result == [0, ["ImportError", INTERPRETER_CHANGE], False]



@pytest.mark.skipif(sys.version_info < (3, 13), reason="interpreter configs from Python came in 3.13")
def test_isolated_interpreter_is_refused_and_main_keeps_the_module(package_copy):
    # An interpreter that checks its extensions but shares the main one's
    # lock would load any module that does not say otherwise.
    result, _ = package_copy.run(
        """
    import os
    import _interpreters as subs
    out = os.path.abspath("sub.txt")
    code = (
        "try:\\n"
        "    import kestrum.versioner\\n"
        "except ImportError as exc:\\n"
        "    text = type(exc).__name__\\n"
        "else:\\n"
        "    text = 'imported'\\n"
        "open(%r, 'w').write(text)\\n" % out
    )
    sub = subs.create(subs.new_config("isolated", gil="shared"))
    subs.exec(sub, code)
    subs.destroy(sub)
    import kestrum.versioner as m
    report([open(out).read(), m.BaseVersion("a.v009.ma").current])
    """
    )
    assert result == ["ImportError", 9]


BUILTIN_NAMES = [
    "object",
    "staticmethod",
    "property",
    "TypeError",
    "ValueError",
    pytest.param(
        "super",
        marks=pytest.mark.skipif(
            sys.version_info >= (3, 12), reason="the import system itself needs super() here"
        ),
    ),
    "IndexError",
]


@pytest.mark.parametrize("name", BUILTIN_NAMES)
def test_missing_builtin_fails_before_the_body(package_copy, name):
    result, _ = package_copy.run(
        """
        import builtins, sys
        name = %r
        saved = getattr(builtins, name)
        delattr(builtins, name)
        try:
            import kestrum.versioner
        except NameError as exc:
            error = exc
        else:
            error = None
        setattr(builtins, name, saved)
        outcome = error and [str(error), entries(error)[-1], "kestrum.versioner" in sys.modules,
                             "kestrum.errors" in sys.modules]
        import kestrum.versioner as m
        report([outcome, m.BaseVersion("a.v005.ma").current])
        """
        % name
    )
    assert result == [
        ["name '%s' is not defined" % name, [SOURCE_NAME, INIT, 1], False, False],
        5,
    ]


@pytest.mark.parametrize(
    "wrapper, first_wrapped, line",
    [("staticmethod", "int_to_pad", 45), ("property", "current", 68)],
)
def test_member_wrappers_come_from_builtins(package_copy, wrapper, first_wrapped, line):
    result, _ = package_copy.run(
        """
        import builtins, sys
        name = %r
        real = getattr(builtins, name)
        seen = []

        def recording(func):
            seen.append(func.__name__)
            return real(func)

        def failing(func):
            raise ArithmeticError(func.__name__)

        setattr(builtins, name, failing)
        try:
            import kestrum.versioner
        except ArithmeticError as exc:
            error = exc
        setattr(builtins, name, real)
        failed = [str(error), [e for e in entries(error) if e[0] == %r],
                  "kestrum.versioner" in sys.modules]
        setattr(builtins, name, recording)
        import kestrum.versioner as m
        setattr(builtins, name, real)
        report([failed, seen, type(m.BaseVersion.__dict__[seen[0]]).__name__])
        """
        % (wrapper, SOURCE_NAME)
    )
    failed, seen, kind = result
    assert failed == [first_wrapped, [[SOURCE_NAME, INIT, line]], False]
    assert seen[0] == first_wrapped
    assert kind == wrapper
