"""Versioned file names for pipeline code.

The work is done by the compiled module ``kestrum.versioner``; ``kestrum.errors``
holds the exceptions it raises.
"""

# The one place that states the release: the build reads it from here.
__version__ = "0.1.0"
