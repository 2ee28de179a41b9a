"""A study: a grid, the run settings and the analyses, written into an input
file and run by the program (see :class:`Study` and :func:`sweep`).

    grid = tessaly.Grid.from_case("case118.m")
    study = tessaly.Study(grid, steps=2000)
    study.raster(buses=[10], frequency_offsets=[-0.4, 0.4], phase_offsets=[0, 1])
    run = study.run("runs/base", threads=2)        # a tessaly.results.Run
"""
import copy
import math
import re
from pathlib import Path

import numpy as np

from . import analyses as analysis_registry
from .manifest import ManifestError, read_manifest
from .program import RunFailedError, run_program
from .results import load

# Simulated time when neither the study nor the grid gives a step count.
DEFAULT_DURATION = 10.0


class StudyError(ValueError):
    """A study that cannot be written or run as asked."""


class Study:
    """The run settings and analyses of a run on ``grid``.

    ``steps`` and ``step_width`` (default: the grid's suggested ones, from
    the importer, else 0.01 over 10 time units), ``seed``, ``output_name``
    (the name of the results, default "study"), ``save_every`` ("Save RK
    every"), ``trajectories`` (write every trajectory: "Mode save traj"),
    ``fast`` (the fast kernel: "Mode fast"); ``settings`` further run keys as
    a dict (``{"Energy thresh": 0.05}``). The analyses are added with
    :meth:`raster`, :meth:`stochastic`, :meth:`basin`, :meth:`contingency`,
    :meth:`linear` or :meth:`add`."""

    def __init__(self, grid, steps=None, step_width=None, seed=1, output_name="study", save_every=None,
                 trajectories=False, fast=False, settings=None):
        self.grid = grid
        self.step_width = step_width or grid.suggested_step or 0.01
        grid_steps = getattr(grid, "suggested_steps", None) if step_width is None else None
        self.steps = steps or grid_steps or int(round(DEFAULT_DURATION / self.step_width))
        self.seed = seed
        self.output_name = output_name
        self.save_every = save_every
        self.trajectories = trajectories
        self.fast = fast
        self.settings = dict(settings or {})
        self.analyses = []
        self.extra_lines = []

    @classmethod
    def from_input(cls, path):
        """A study of an input file: its grid as a :class:`tessaly.grid.Grid`,
        its other lines (run settings, analyses) kept as they are."""
        from .grid import Grid
        from .gridfile import read_grid
        keys = read_grid(path)
        study = cls(Grid.from_keys(keys, name=Path(path).stem))
        study.extra_lines = list(keys.other_lines)
        study._kept_settings = True
        return study

    def add(self, analysis, *args, **settings):
        """Adds an analysis, given as an :class:`tessaly.analyses.Analysis` or
        by its registered name and settings; returns it."""
        if isinstance(analysis, str):
            analysis = analysis_registry.analysis(analysis, *args, **settings)
        elif args or settings:
            raise StudyError("settings go with an analysis given by its name")
        self.analyses.append(analysis)
        return analysis

    def raster(self, **settings):
        """Adds a raster return-time analysis (:class:`tessaly.analyses.Raster`)."""
        return self.add("raster", **settings)

    def stochastic(self, **settings):
        """Adds a stochastic wind-input analysis (:class:`tessaly.analyses.StochasticWind`)."""
        return self.add("stochastic", **settings)

    def basin(self, **settings):
        """Adds a basin-stability analysis (:class:`tessaly.analyses.Basin`)."""
        return self.add("basin", **settings)

    def contingency(self, **settings):
        """Adds a dynamic contingency analysis (:class:`tessaly.analyses.Contingency`)."""
        return self.add("contingency", **settings)

    def linear(self, **settings):
        """Adds a linear-stability analysis (:class:`tessaly.analyses.LinearStability`)."""
        return self.add("linear", **settings)

    def copy(self):
        """An independent copy: grid, settings and analyses."""
        return copy.deepcopy(self)

    # ---- the input file -------------------------------------------------------

    def run_lines(self):
        if getattr(self, "_kept_settings", False):
            return list(self.extra_lines)
        lines = ["RK steps", str(int(self.steps)), "RK stepwidth", repr(float(self.step_width)),
                 "Random seed", str(int(self.seed)), "Output filename", self.output_name]
        if self.save_every is not None:
            lines += ["Save RK every", str(int(self.save_every))]
        if self.trajectories:
            lines.append("Mode save traj")
        if self.fast:
            lines.append("Mode fast")
        for key, value in self.settings.items():
            lines += [key] if value is None else [key, str(value)]
        return lines + list(self.extra_lines)

    def input_text(self):
        """The input file of the study."""
        lines = self.run_lines()
        for analysis in self.analyses:
            lines += analysis.keys(self.grid)
        lines += self.grid.input_lines()
        if any(line == "" for line in lines):
            raise StudyError("an empty line would end the input file early")
        return "\n".join(lines) + "\n"

    def write(self, path):
        """Writes the input file to ``path``; returns the path."""
        path = Path(path)
        path.write_text(self.input_text(), encoding="utf-8")
        return path

    @property
    def written_output_name(self):
        if getattr(self, "_kept_settings", False):
            lines = self.extra_lines
            return next((lines[k + 1] for k in range(len(lines) - 1) if lines[k] == "Output filename"), "00")
        return self.output_name

    # ---- running it -------------------------------------------------------------

    def run(self, directory, threads=None, processes=None, progress=None, launcher=None, if_exists="error",
            check=True):
        """Writes the input file into ``directory`` (made when missing) and
        runs the program there; returns the loaded run
        (:class:`tessaly.results.Run`, with ``console`` the program's
        standard output and ``program_warnings`` its warnings).

        ``threads``, ``processes``, ``progress``, ``launcher``: see
        :func:`tessaly.program.run_program`. Results of the same output name
        already in ``directory`` are an error (``if_exists="error"``), or
        are appended to ("append"; :func:`tessaly.load` then gives the
        latest run), or are removed first ("replace": the files their
        manifest lists, the run report and the manifest). The program's
        warnings arrive as :class:`tessaly.program.ProgramWarning`; invalid
        input raises :class:`tessaly.program.InvalidInputError`, a run that
        ends with status 3, 4 or 5 :class:`tessaly.program.RunFailedError`
        with the loaded run as ``error.run`` (with ``check=False`` the run is
        returned instead)."""
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        name = self.written_output_name
        manifest = _manifest_path(name)
        if (directory / manifest).exists():
            if if_exists == "replace":
                remove_results(directory, manifest)
            elif if_exists != "append":
                raise StudyError(f"{directory / manifest} holds the results of an earlier run named {name!r}: "
                                 "give a fresh directory, or if_exists=\"append\" or \"replace\"")
        input_name = _input_name(name)
        self.write(directory / input_name)
        try:
            done = run_program(input_name, directory, threads=threads, processes=processes, progress=progress,
                               launcher=launcher, check=check, manifest=manifest)
        except RunFailedError as error:
            error.run = _loaded(directory / manifest, error.stdout, error.warnings)
            raise
        if not (directory / manifest).is_file():
            raise StudyError(f"the run wrote no manifest {directory / manifest} (exit status {done.status})")
        return _loaded(directory / manifest, done.stdout, done.warnings)

    def __repr__(self):
        names = ", ".join(a.name for a in self.analyses) or "no analysis"
        return f"<Study of {self.grid!r}: {self.steps} steps of {self.step_width:g}, {names}>"


def _manifest_path(output_name):
    head, _, tail = output_name.rpartition("/")
    return (head + "/" if head else "") + "Manifest" + tail + ".json"


def _input_name(output_name):
    return re.sub(r"[^A-Za-z0-9_.-]", "_", output_name.replace("/", "_")) + ".txt"


def _loaded(manifest, stdout, program_warnings):
    try:
        run = load(manifest)
    except (ManifestError, OSError):
        return None
    run.console = stdout
    run.program_warnings = list(program_warnings)
    return run


def remove_results(directory, manifest):
    """Removes what the runs described by the manifest wrote in
    ``directory``: their result files, run reports and the manifest."""
    directory = Path(directory)
    document = read_manifest(directory / manifest)
    for described in list(document.get("earlier_runs", [])) + [document]:
        for entry in described.get("files", []):
            (directory / entry["path"]).unlink(missing_ok=True)
        if described.get("report"):
            (directory / described["report"]).unlink(missing_ok=True)
    (directory / manifest).unlink()


def _change(study, setting, value):
    """Applies one value of a sweep to the study copy: a callable
    ``setting(study, value)``, or the dotted name of an attribute
    ("step_width", "analyses.0.frequency_offsets", "grid.reference")."""
    if callable(setting):
        setting(study, value)
        return
    parts = setting.split(".")
    owner = study
    for part in parts[:-1]:
        owner = owner[int(part)] if part.isdigit() else getattr(owner, part)
    if not hasattr(owner, parts[-1]):
        raise StudyError(f"the study has no setting {setting!r}")
    setattr(owner, parts[-1], value)


def sweep(study, setting, values, directory, summary=None, **run_options):
    """Runs ``study`` once per value of ``values``, each in its own directory
    ``directory/<k>`` of a copy changed by ``setting`` (the dotted name of a
    study attribute, e.g. "step_width" or "analyses.0.frequency_offsets", or
    a function ``setting(study, value)`` that changes the copy, e.g.
    ``lambda s, f: s.grid.scale_capacity(f)``).

    Returns one table with a row per value: ``value``, ``directory``,
    ``exit_status``, then the analyses' summaries (or ``summary(run)``, a
    dict), as a pandas DataFrame where pandas is installed, else a dict of
    numpy arrays. A run that ends with status 3, 4 or 5 keeps its row, with
    its status; invalid input stops the sweep."""
    directory = Path(directory)
    rows = []
    for k, value in enumerate(values):
        changed = study.copy()
        _change(changed, setting, value)
        where = directory / str(k)
        try:
            run, status = changed.run(where, **run_options), 0
        except RunFailedError as error:
            run, status = error.run, error.status
        row = {"value": value, "directory": str(where), "exit_status": status}
        if run is not None:
            if summary is not None:
                row.update(summary(run))
            else:
                for analysis in changed.analyses:
                    row.update((f"{analysis.name}.{key}", v) for key, v in analysis.summary(run).items())
        rows.append(row)
    return _table(rows)


def _table(rows):
    columns = list(dict.fromkeys(key for row in rows for key in row))
    try:
        import pandas
    except ImportError:
        return {c: np.array([row.get(c, math.nan) for row in rows]) for c in columns}
    return pandas.DataFrame([{c: row.get(c, math.nan) for c in columns} for row in rows], columns=columns)


