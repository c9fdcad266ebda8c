"""Versioned file names: parse, re-render, step and look on disk.

A versioned name such as ``/proj/sh010/sh010.v012.exr`` is cut into a head
(``/proj/sh010/sh010.v``, the postfix included), the zero-padded number
(``012``) and a tail (``.exr``), under three settings per object: the padding
width ``pads`` (default 3), the ``postfix`` in front of the number (default
``'.v'``, a regular-expression fragment) and the extension pattern ``ext``
(default ``'.*'``, used only when the name has no extension of its own).

``BaseVersion`` parses and re-renders names, ``Version`` steps to the
neighbouring numbers, and ``VersionFileSystem`` scans the disk for the
versions of a name.  Every module-level name below is looked up at the moment
of use, so rebinding one (``os``, ``re``, ``fnmatch``, ``regex_splits``, the
exceptions or the classes) changes later calls.
"""

import fnmatch as fnmatch
import os as os
import re as re
from typing import (
    ClassVar,
    Generator,
    List,
    Optional,
    SupportsIndex,
    SupportsInt,
    Tuple,
    TypeVar,
    Union,
)

from kestrum.errors import ExceededPaddingVersion as ExceededPaddingVersion
from kestrum.errors import NoValidVersion as NoValidVersion
from kestrum.errors import NoVersionNumber as NoVersionNumber
from kestrum.errors import VersionZero as VersionZero

_BaseVersionT = TypeVar("_BaseVersionT", bound=BaseVersion)
_VersionT = TypeVar("_VersionT", bound=Version)

# Whatever the built-in int() turns into a version number: 7, 7.9 (truncated), "7".
_Number = Union[SupportsInt, SupportsIndex, str]

regex_splits: str
"""The template of every name pattern, filled with the postfix and the
extension (unescaped, so both act as pattern fragments) by the ``%``
operator: ``'(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)'``."""

class BaseVersion:
    """A parsed versioned file name.

    The constructor takes a file name (a ``str``), or a ``Version`` or
    ``VersionFileSystem`` whose ``filename`` and settings are copied (the
    ``pads``, ``postfix`` and ``ext`` arguments are then ignored); anything
    else, a plain ``BaseVersion`` included, raises ``TypeError``.  Versions
    compare equal by number (``current``), never by name, and are unhashable.
    """

    filename: str
    """The file name as given; ``to()``, ``next`` and ``previous`` rewrite it.
    Rebinding it does not parse the name again."""
    postfix: str
    """What precedes the number, as given (a regular-expression fragment)."""
    pads: int
    """Zero-padded width of the number."""
    ext: str
    """The name's extension without its dot (``'exr'``), or the ``ext``
    argument when the name has none."""
    regex_splits: re.Pattern[str]
    """The compiled name pattern: the module's ``regex_splits`` filled with
    ``postfix`` and ``ext``."""
    head: Optional[str]
    """The text before the number, postfix included; without a number, the
    text before the last dot; ``None`` for a name without a dot."""
    version: Optional[str]
    """The digits of the number, zero padding kept (``'012'``), or ``None``."""
    tail: Optional[str]
    """From the dot of the extension on (``'.exr'``); without a number, from the
    last dot on; ``None`` for a name without a dot."""
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __init__(
        self,
        filename: Union[str, Version, VersionFileSystem],
        pads: int = 3,
        postfix: str = ".v",
        ext: str = ".*",
    ) -> None:
        """Parse ``filename`` into ``head``, ``version`` and ``tail``."""
    def __str__(self) -> str:
        """The file name."""
    def __repr__(self) -> str:
        """The file name, bare: no class name, no quotes."""
    def __eq__(self, version: object) -> bool:
        """Compare version numbers (``current``), not names.

        ``version`` may be a ``str`` (parsed with the default settings), an
        ``int``, or a ``Version``; anything else raises ``TypeError``.  Two
        names without a number are equal.
        """
    @staticmethod
    def int_to_pad(pads: float, number: float) -> str:
        """``number`` as decimal text, zero-filled to ``pads`` characters.

        A wider number is written in full; a float is truncated toward zero.
        ``int_to_pad(4, 7) == '0007'``.
        """
    def _splits(self, filename: str) -> Union[Tuple[str, str, str], List[Optional[str]]]:
        """Cut ``filename`` into head, version and tail with ``regex_splits``.

        Without a match: ``[text before the last dot, None, the rest]``, or
        three ``None`` when there is no dot.
        """
    def _current(self, path: object) -> Optional[int]:
        """``int(self.version)``, or ``None`` when that fails; ``path`` is not
        used."""
    @property
    def current(self) -> Optional[int]:
        """The number as an ``int`` (``'012'`` gives 12), or ``None`` when the
        name has none."""
    @property
    def isVersionless(self) -> bool:
        """Whether the name has no number (``version`` is ``None`` or empty).
        A name numbered ``000`` has one."""
    def to(self: _BaseVersionT, version: _Number) -> _BaseVersionT:
        """The same name at number ``version``, padded to ``pads`` digits.

        Rewrites this object's ``filename`` to the new name (its ``head``,
        ``version``, ``tail`` and ``current`` stay) and returns a new object of
        the same class, with the same settings, built from it.  A name without a
        number gets the postfix and the number inserted before its tail.  No
        bound is checked here.  When a part that the new name is made of is
        ``None`` (``head`` or ``tail``, as on a name without a dot; on a name
        without a number also ``postfix``), raises ``NoValidVersion`` and
        leaves ``filename`` as it was.  On a plain ``BaseVersion`` the rebuild
        raises ``TypeError`` (after ``filename`` was rewritten).
        """
    @property
    def versionless(self) -> Union[Version, str, None]:
        """The name without its number and postfix, as a ``Version`` with the
        default settings (``shot.v012.exr`` gives ``shot.exr``).

        The stem is ``head`` without the text that ``postfix``, as a pattern,
        matches at its end (``postfix=r'[._]v'`` takes ``_v`` off
        ``shot_v``).  When ``head`` and ``postfix`` no longer agree (one of them
        rebound), ``len(postfix)`` characters are cut instead, at most the
        whole head.

        When ``tail`` is empty or ``None``, the ``head`` value itself (a
        ``str``, or ``None`` for a name without a dot).  Any failure raises
        ``NoValidVersion``.
        """

class Version(BaseVersion):
    """A version name that steps to its neighbouring numbers and finds its
    versions on disk.

    Reading ``next`` or ``previous`` goes through ``to()``, so it rewrites this
    object's ``filename`` as well.
    """

    @property
    def next(self: _VersionT) -> Optional[_VersionT]:
        """The same name one number up.

        ``None`` when ``current`` is ``None`` or 0; raises
        ``ExceededPaddingVersion`` when the number would no longer fit in
        ``pads`` digits (past 999 with the default width).
        """
    @property
    def previous(self: _VersionT) -> Optional[_VersionT]:
        """The same name one number down.

        ``None`` when ``current`` is ``None``, 0 or negative; raises
        ``VersionZero`` at number 1.
        """
    @property
    def fs(self) -> VersionFileSystem:
        """A new ``VersionFileSystem`` for this name and settings."""

class VersionFileSystem(BaseVersion):
    """The versions of one name that exist on disk.

    The constructor anchors a relative name of an existing file to the current
    directory.  Iterating scans the whole tree below the head's directory for
    files whose names begin with the head's last component (any number, any
    extension, or none), sorted within each directory, top directory first;
    each item is a new ``VersionFileSystem`` with the default settings.
    ``first``, ``next``, ``previous`` refer to that scan order; ``last`` to the
    highest number.  Every answer reads the disk again.

    ``next(obj)`` returns ``obj.next``, ``None`` at the end (never
    ``StopIteration``); ``for`` and ``list()`` use the scan, not ``__next__``.
    """

    def __init__(
        self,
        filename: Union[str, Version, VersionFileSystem],
        pads: int = 3,
        postfix: str = ".v",
        ext: str = ".*",
    ) -> None:
        """Anchor ``filename`` when it is relative and exists, then parse it."""
    def __iter__(self) -> Generator[VersionFileSystem, None, None]:
        """A fresh, lazy scan of the disk for this name's versions."""
    def __contains__(self, version: _Number) -> bool:
        """Whether the file of this name at number ``version`` exists.

        This object is not changed.
        """
    def __next__(self) -> Optional[VersionFileSystem]:
        """The scan item after the first one that carries this object's number,
        or ``None``; raises ``TypeError`` when this name has no number and the
        scan is not empty."""
    def __previous__(self) -> Optional[VersionFileSystem]:
        """The scan item before the last one that carries this object's
        number, or ``None``; raises ``TypeError`` like ``__next__``."""
    @property
    def first(self) -> Optional[VersionFileSystem]:
        """The first item of the scan, or ``None``."""
    @property
    def last(self) -> Optional[VersionFileSystem]:
        """The item with the highest number (the later one on ties), or
        ``None`` when no item has a number of 1 or more."""
    @property
    def next(self) -> Optional[VersionFileSystem]:
        """``self.__next__()``: the existing version after this one in scan
        order, or ``None``."""
    @property
    def previous(self) -> Optional[VersionFileSystem]:
        """``self.__previous__()``: the existing version before this one in
        scan order, or ``None``."""
    @property
    def exists(self) -> bool:
        """Whether this object's file exists now."""
