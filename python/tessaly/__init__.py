"""Tools around the tessaly grid simulator.

- a study from Python: :class:`Grid` (a grid from a case file, an input file
  or arrays, with tables that can be changed), :class:`Study` (run settings
  and analyses, written into an input file and run by the program) and
  :func:`sweep` (one run per value of a setting, results as one table);
- ``tessaly.load(path)`` reads a run's results into numpy arrays (see
  :mod:`tessaly.results`), with bus numbers, units, pandas tables and
  ``to_xarray()``;
- :mod:`tessaly.plots` draws the standard figures, and ``python3 -m tessaly``
  runs the commands ``import`` (standard case files to input files),
  ``plot`` and ``export``.

Importing the package itself needs nothing beyond the standard library (the
terminal viewer in tools/ uses :mod:`tessaly.manifest` on any Python 3), and
so does running the program (:mod:`tessaly.program`); the rest needs numpy
and is imported on first use.
"""

import importlib

# Name -> the module that defines it, imported when the name is first used.
_LAZY = {
    "load": "results", "Run": "results", "ResultFile": "results", "ResultFileError": "results",
    "IncompleteRunWarning": "results", "IncompleteResultsWarning": "results",
    "ManifestError": "manifest",
    "Grid": "grid", "GridError": "grid",
    "Study": "study", "StudyError": "study", "sweep": "study",
    "Analysis": "analyses", "register": "analyses",
    "find_program": "program", "run_program": "program", "ProgramError": "program",
    "InvalidInputError": "program", "RunFailedError": "program", "ProgramWarning": "program",
    "ProgramNotFoundError": "program",
    "OptionalModuleError": "tables",
}
_MODULES = ("results", "plots", "export", "grid", "study", "analyses", "program", "dataset", "tables", "manifest")
__all__ = list(_LAZY)


def __getattr__(name):
    if name in _MODULES:
        return importlib.import_module(f".{name}", __name__)
    if name in _LAZY:
        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module 'tessaly' has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + __all__ + list(_MODULES))
