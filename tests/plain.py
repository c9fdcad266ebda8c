"""A plain-Python rendering of kestrum.versioner's behaviour.

The benchmarks time it side by side with the compiled module in one run, so
that every figure is a ratio measured on the same interpreter and machine;
the differential test (differential.py) drives it and the module with the
same random steps and compares every result, exception and record. It is
written from the module's documented behaviour (README), with nothing taken
from the C++ code. Module globals are read at each call, in the order the
module reads them, so a rebinding here acts as one in the module; the
exceptions come from kestrum.errors.
"""

import fnmatch
import os
import re

try:
    from kestrum.errors import (
        ExceededPaddingVersion,
        NoValidVersion,
        NoVersionNumber,
        VersionZero,
    )
except ImportError:  # the benchmarks put the package on sys.path before importing this

    class NoValidVersion(Exception):
        pass

    class NoVersionNumber(Exception):
        pass

    class VersionZero(Exception):
        pass

    class ExceededPaddingVersion(Exception):
        pass


regex_splits = "(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)"


def unpack(values, count):
    """The items of ``values`` for an unpacking into ``count`` names, refused
    with the module's wording when there are too few or too many."""
    kind = type(values)
    if not hasattr(kind, "__iter__") and not hasattr(kind, "__getitem__"):
        raise TypeError("cannot unpack non-iterable %s object" % kind.__name__)
    items = []
    for item in values:
        if len(items) == count:
            raise ValueError("too many values to unpack (expected %d)" % count)
        items.append(item)
    if len(items) < count:
        raise ValueError("need more than %d value%s to unpack"
                         % (len(items), "" if len(items) == 1 else "s"))
    return items


class BaseVersion(object):
    def __init__(self, filename, pads=3, postfix=".v", ext=".*"):
        if isinstance(filename, str):
            self.filename = filename
        elif isinstance(filename, Version) or isinstance(filename, VersionFileSystem):
            self.filename = filename.filename
            pads = filename.pads
            postfix = filename.postfix
            ext = filename.ext
        else:
            raise TypeError
        self.postfix = postfix
        self.pads = pads
        extension = os.path.splitext(self.filename)[1]
        if extension:
            ext = extension[1:]
        self.ext = ext
        self.regex_splits = re.compile(regex_splits % (self.postfix, self.ext))
        self.head, self.version, self.tail = unpack(self._splits(self.filename), 3)

    def __str__(self):
        return str(self.filename)

    def __repr__(self):
        return str(self.filename)

    def __eq__(self, version):
        if isinstance(version, str):
            return self.current == Version(version).current
        if isinstance(version, int):
            return self.current == version
        if isinstance(version, Version):
            return self.current == version.current
        raise TypeError

    __hash__ = None

    @staticmethod
    def int_to_pad(pads, number):
        return ("%s%sd" % ("%0", "%d" % pads)) % number

    def _splits(self, filename):
        info = [match.groupdict() for match in self.regex_splits.finditer(filename)]
        if info:
            match = info[0]
            return match["head"], match["version"], match["tail"]
        try:
            i = filename.rindex(".")
            return [filename[:i], None, filename[i:]]
        except ValueError:
            return [None, None, None]

    def _current(self, path):
        try:
            return int(self.version)
        except Exception:
            return None

    @property
    def current(self):
        return self._current(self.filename)

    @property
    def isVersionless(self):
        return not self.version

    def to(self, version):
        version = self.int_to_pad(int(self.pads), int(version))
        # Every part is read before a None among them refuses the name.
        if self.isVersionless:
            head, postfix, tail = self.head, self.postfix, self.tail
            if head is None or postfix is None or tail is None:
                raise NoValidVersion
            filename = "%s%s%s%s" % (head, postfix, version, tail)
        else:
            head, tail = self.head, self.tail
            if head is None or tail is None:
                raise NoValidVersion
            filename = "%s%s%s" % (head, version, tail)
        self.filename = filename
        return self.__class__(self)

    @property
    def versionless(self):
        try:
            if not self.tail:
                return self.head
            if not self.isVersionless:
                head = self.head
                postfix = self.postfix
                match = re.compile("(.*)(?:" + postfix + ")").fullmatch(head)
                if match is not None:
                    stem = match.group(1)
                else:
                    stem = head[: max(len(head) - len(postfix), 0)]
                return Version("%s%s" % (stem, self.tail))
            return Version("%s%s" % (self.head, self.tail))
        except Exception:
            raise NoValidVersion


class Version(BaseVersion):
    @property
    def next(self):
        if not self.current:
            return None
        if self.current + 1 <= int(self.pads * "9"):
            return self.to(self.current + 1)
        raise ExceededPaddingVersion

    @property
    def previous(self):
        version = self.current
        if not version:
            return None
        if version > 1:
            return self.to(self.current - 1)
        if version == 1:
            raise VersionZero
        return None

    @property
    def fs(self):
        return VersionFileSystem(self)


class VersionFileSystem(BaseVersion):
    def __init__(self, filename, pads=3, postfix=".v", ext=".*"):
        if isinstance(filename, str):
            self.filename = filename
        elif isinstance(filename, Version) or isinstance(filename, VersionFileSystem):
            self.filename = filename.filename
            pads = filename.pads
            postfix = filename.postfix
            ext = filename.ext
        else:
            raise TypeError
        if os.path.exists(self.filename) and not os.path.isabs(self.filename):
            self.filename = os.getcwd() + "/" + self.filename
        super(VersionFileSystem, self).__init__(
            str(self.filename), pads=pads, postfix=postfix, ext=ext
        )

    def __iter__(self):
        dirname, basename = unpack(os.path.split(self.head), 2)
        for root, dirnames, filenames in os.walk(dirname):
            for filename in sorted(fnmatch.filter(filenames, basename + "*")):
                yield VersionFileSystem(root + "/" + filename)

    def __contains__(self, version):
        return VersionFileSystem(self).to(version).exists

    def __next__(self):
        vers = list(self)
        current = self.current
        while vers:
            if current == vers.pop(0):
                try:
                    return vers.pop(0)
                except IndexError:
                    return None
        return None

    def __previous__(self):
        vers = list(self)
        current = self.current
        while vers:
            if current == vers.pop():
                try:
                    return vers.pop()
                except IndexError:
                    return None
        return None

    @property
    def first(self):
        for ver in self:
            return ver
        return None

    @property
    def last(self):
        old = 0
        last = None
        for ver in self:
            try:
                new = ver.current
                if new and old <= new:
                    old = new
                    last = ver
            except NoVersionNumber:
                pass
        return last

    @property
    def next(self):
        return self.__next__()

    @property
    def previous(self):
        return self.__previous__()

    @property
    def exists(self):
        return os.path.exists(self.filename)
