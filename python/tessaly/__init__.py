"""Tools around the tessaly grid simulator.

``tessaly.load(path)`` reads a run's results into numpy arrays (see
:mod:`tessaly.results`), :mod:`tessaly.plots` draws the standard figures, and
``python3 -m tessaly`` runs the commands: ``import`` (standard case files to
input files), ``plot`` and ``export``.

Importing the package itself needs nothing beyond the standard library (the
terminal viewer in tools/ uses :mod:`tessaly.manifest` on any Python 3); the
loader needs numpy and is imported on first use.
"""

import importlib

_FROM_RESULTS = ("load", "Run", "ResultFile", "ResultFileError", "IncompleteRunWarning",
                 "IncompleteResultsWarning")
__all__ = list(_FROM_RESULTS) + ["ManifestError"]


def __getattr__(name):
    if name in ("results", "plots", "export"):
        return importlib.import_module(f".{name}", __name__)
    if name in _FROM_RESULTS:
        from . import results
        return getattr(results, name)
    if name == "ManifestError":
        from .manifest import ManifestError
        return ManifestError
    raise AttributeError(f"module 'tessaly' has no attribute {name!r}")
