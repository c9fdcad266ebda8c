"""Versioned file names for pipeline code.

The work is done by the compiled module ``kestrum.versioner``; ``kestrum.errors``
holds the exceptions it raises.
"""
