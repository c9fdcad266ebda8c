"""Exceptions raised and caught by :mod:`kestrum.versioner`."""

__all__ = ["NoValidVersion", "NoVersionNumber", "VersionZero", "ExceededPaddingVersion"]


class NoValidVersion(Exception):
    """A name without its version number could not be built."""


class NoVersionNumber(Exception):
    """A name carries no readable version number."""


class VersionZero(Exception):
    """Stepping down from version 1 would reach version 0."""


class ExceededPaddingVersion(Exception):
    """Stepping up would need more digits than the padding width holds."""
