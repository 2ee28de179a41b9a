"""A run's results as numpy arrays: ``tessaly.load(path)`` returns a :class:`Run`.

Everything comes from the run manifest: the shapes, the element types, and
where this run's records start in files that earlier runs appended to. The
result files are memory-mapped (``numpy.memmap``), so a multi-gigabyte
trajectory opens at once and only the parts that are read are loaded; the
small tables (return times, flows, trips) are copied into structured arrays
when first used.

Axis names used below: ``ic`` initial condition of the raster (in raster
order, see :class:`Raster`), ``step`` saved step, ``node`` grid node,
``record`` line record (one per direction of a line), ``bin`` histogram bin.
"""
import math
import warnings
from collections import namedtuple
from functools import cached_property
from pathlib import Path

import numpy as np

from .basin import Basin, raster_basin_stability
from .contingency import Contingency
from .dataset import RunTables
from .linear import Linear
from .manifest import find_manifest, read_manifest, working_directory

DTYPES = {"float64": "f8", "int32": "i4"}
BYTE_ORDERS = {"little": "<", "big": ">"}
# The leading columns of every per-initial-condition raster record.
KICK_COLUMNS = ("perturbed_node", "node", "initial_phase", "initial_frequency", "unused")

Flanks = namedtuple("Flanks", "up down")
Flanks.__doc__ = """A node's threshold crossings: ``up`` the times its frequency left the band, ``down`` the times
it came back (float arrays)."""


class ResultFileError(ValueError):
    """A result file does not hold what the manifest says it holds."""


class IncompleteRunWarning(UserWarning):
    """The manifest is that of a run that did not finish."""


class IncompleteResultsWarning(UserWarning):
    """The run finished, but some of its result files could not be written
    completely (exit status 4: disk full, file size limit)."""


def load(path, run=None):
    """The run described by ``path``: a run manifest (``Manifest<name>.json``),
    a run report (``Param<name>``, the manifest is found next to it) or a
    directory that holds exactly one manifest.

    Runs with the same output name append to the same files, and the manifest
    keeps the description of every earlier one: ``run`` chooses among them,
    0 the first run, 1 the second, ..., -1 (or None, the default) the latest."""
    return Run(find_manifest(path), run)


class ResultFile:
    """One result file of the run: its manifest entry and this run's records
    (those after ``offset``; earlier runs may have appended before)."""

    def __init__(self, entry, base, complete):
        self.entry = entry
        self.path = Path(base) / entry["path"]
        self.kind = entry["kind"]
        self.dtype = np.dtype(BYTE_ORDERS[entry["byte_order"]] + DTYPES[entry["dtype"]])
        self.width = int(entry["record_width"])
        self.offset = int(entry["offset"])
        self.run = entry.get("run")
        self.segments = entry.get("segments", [])
        self.records = self._records_present(int(entry["records"]), complete)

    def _records_present(self, records, complete):
        """The manifest's record count after checking the file's size. An
        unfinished run counts the whole records that are there: its manifest
        was last written before its last records."""
        size = self.path.stat().st_size if self.path.exists() else 0
        record_bytes = self.width * self.dtype.itemsize
        expected = self.offset + records * record_bytes
        if size < expected:
            raise ResultFileError(
                f"{self.path}: {size} bytes, but the run manifest expects at least {expected} (offset "
                f"{self.offset} + {records} records of {self.width} × {self.dtype.itemsize} bytes): the file was "
                "cut short or is not the one this run wrote")
        if record_bytes == 0:
            return 0
        whole, partial = divmod(size - self.offset, record_bytes)
        if partial and complete:
            raise ResultFileError(
                f"{self.path}: {size} bytes, but the run manifest expects {expected} (offset {self.offset} + "
                f"{records} records of {self.width} × {self.dtype.itemsize} bytes); the {size - self.offset} "
                f"bytes after the offset end in a partial record of {partial} bytes")
        return records if complete or self.segments else whole

    def values(self, first=0, count=None):
        """``count`` values (default: all of this run's) from value ``first``
        on, as a flat memory-mapped array."""
        if count is None:
            count = self.records * self.width - first
        return self.map((count,), first)

    def map(self, shape, first=0):
        """This run's values from value ``first`` on as an array of ``shape``,
        memory-mapped (no bytes are read until they are used)."""
        shape = tuple(int(n) for n in shape)
        if math.prod(shape) == 0:
            return np.zeros(shape, self.dtype)
        return np.memmap(self.path, dtype=self.dtype, mode="r", offset=self.offset + first * self.dtype.itemsize,
                         shape=shape)

    @property
    def columns(self):
        """Column names of a record, or of one group where the record repeats
        a group per node, step or bin."""
        columns = self.entry["group"]["columns"] if "group" in self.entry else self.entry["columns"]
        return [c["name"] for c in columns]

    def table(self):
        """The records as a structured array with the manifest's column
        names as fields: shape (record,), or (record, group) for records that
        repeat a group of columns per node, step or bin. Memory-mapped."""
        fields = np.dtype([(name, self.dtype) for name in self.columns])
        groups = self.width // len(self.columns)
        shape = (self.records, groups) if "group" in self.entry else (self.records,)
        if self.records == 0:
            return np.zeros(shape, fields)
        return np.memmap(self.path, dtype=fields, mode="r", offset=self.offset, shape=shape)

    def __repr__(self):
        return f"<ResultFile {self.kind} {str(self.path)!r}: {self.records} records of {self.width} {self.dtype}>"


def _runs_of(latest):
    """Every run a manifest describes, oldest first: its earlier runs, then itself."""
    return list(latest.get("earlier_runs", [])) + [latest]


def _run_number(latest, run):
    count = len(_runs_of(latest))
    return count - 1 if run is None else range(count)[run]


def _chosen_run(latest, run, path):
    runs = _runs_of(latest)
    if run is None:
        return latest
    try:
        return runs[run]
    except (IndexError, TypeError):
        raise ValueError(f"{path} describes {len(runs)} run(s) (0 … {len(runs) - 1}, or -1 for the latest): "
                         f"there is no run {run!r}") from None


class Run(RunTables):
    """One run of the program, as its manifest describes it.

    ``manifest`` is the whole manifest (a dict) of this run; the attributes
    below are its most used parts. ``run_number`` is its place among the
    ``run_count`` runs that appended to the same files (0 the first).
    ``raster``, ``stochastic``, ``contingency``, ``linear`` and ``basin`` hold
    the results of the analyses (None when the analysis was off). Bus numbers, units and the
    tables for pandas and xarray: :class:`tessaly.dataset.RunTables`."""

    def __init__(self, manifest_path, run=None):
        self.manifest_path = Path(manifest_path)
        latest = read_manifest(self.manifest_path)
        self.manifest = _chosen_run(latest, run, self.manifest_path)
        self.run_number = _run_number(latest, run)
        self.run_count = len(_runs_of(latest))
        self.directory = working_directory(self.manifest_path, self.manifest)
        self.complete = bool(self.manifest["complete"])
        if not self.complete:
            warnings.warn(f"{self.manifest_path}: the run did not finish (\"complete\": false: still running, "
                          "killed or crashed); its results hold the records written so far", IncompleteRunWarning,
                          stacklevel=3)
        self.files = [ResultFile(entry, self.directory, self.complete) for entry in self.manifest["files"]]
        failed = [f"{f.path} ({f.entry['write_error']})" for f in self.files if f.entry.get("write_error")]
        if failed:
            warnings.warn(f"{self.manifest_path}: {len(failed)} result file(s) could not be written completely: "
                          f"{', '.join(failed)}; they hold the whole records written before", IncompleteResultsWarning,
                          stacklevel=3)
        self.raster = Raster(self) if self.manifest.get("raster") else None
        self.stochastic = Stochastic(self) if self.manifest.get("stochastic") else None
        self.contingency = Contingency(self) if self.manifest.get("contingency") else None
        self.linear = Linear(self) if self.manifest.get("linear") else None
        self.basin = Basin(self) if self.manifest.get("basin") else None

    nodes = property(lambda self: int(self.manifest["nodes"]), doc="N, the grid's node count")
    steps = property(lambda self: int(self.manifest["steps"]), doc='S, "RK steps"')
    step_width = property(lambda self: float(self.manifest["step_width"]), doc='h, "RK stepwidth"')
    save_rk_every = property(lambda self: int(self.manifest["save_rk_every"]), doc='"Save RK every"')
    modes = property(lambda self: list(self.manifest["modes"]), doc="the switch keys that were on")
    power_flow = property(lambda self: self.manifest["power_flow"], doc="the power flow before the analyses")
    output_name = property(lambda self: self.manifest["output_name"], doc="the output name as read")

    @property
    def steady_state(self):
        """(node,) steady-state phases in rad."""
        return np.asarray(self.power_flow["steady_state_phases"], dtype=float)

    @property
    def time(self):
        """(step,) time of the saved states after steps 1 … S-1 (s·h), the
        time axis of every trajectory."""
        return np.arange(1, self.steps) * self.step_width

    @property
    def input_path(self):
        """The input file the run read."""
        return self.directory / self.manifest["input"]["path"]

    def files_of(self, kind, run=None):
        """The result files of ``kind`` (e.g. "raster.ijtor"), of the
        stochastic run ``run`` when given."""
        return [f for f in self.files if f.kind == kind and (run is None or f.run == run)]

    def file(self, kind, run=None):
        """The one result file of ``kind`` (and ``run``), or None."""
        found = self.files_of(kind, run)
        if len(found) > 1:
            raise ValueError(f"{len(found)} files of kind {kind}: use files_of()")
        return found[0] if found else None

    def arrays(self):
        """Every result as a flat dict of named arrays ("raster/frequency",
        "stochastic/run0/flows", …); memory-mapped arrays stay mapped."""
        out = {}
        for prefix, part in (("raster", self.raster), ("stochastic", self.stochastic),
                             ("contingency", self.contingency), ("linear", self.linear), ("basin", self.basin)):
            if part is not None:
                out.update((f"{prefix}/{name}", array) for name, array in part.arrays().items())
        return out

    def __repr__(self):
        analyses = [name for name in ("raster", "stochastic", "contingency", "linear", "basin")
                    if getattr(self, name) is not None]
        return (f"<Run {self.output_name!r} in {str(self.directory)!r}: {self.nodes} nodes, {self.steps} steps of "
                f"{self.step_width:g}, {' and '.join(analyses) or 'no analysis'}"
                f"{'' if self.complete else ', incomplete'}>")


def _kick_fields(values_of, count, per_node):
    return [(name, "f8", (count,)) if per_node else (name, "f8") for name in values_of]


class Raster:
    """Results of the raster return-time analysis.

    For every node ``first_node`` … ``last_node`` - 1, every frequency offset
    and, within it, every phase offset, one initial condition was run. They
    are numbered in that order (outermost first):
    ``ic = ((node - first_node) * len(frequency_offsets) + fi) * len(phase_offsets) + pi``,
    so an array over ic reshapes to (node, frequency offset, phase offset)
    with ``.reshape(raster.shape)`` (plus the array's further axes), e.g. the
    mean return-time map of observed node j:
    ``raster.return_times["mean_return_time"][:, j].reshape(raster.shape)``.

    Attributes that the run did not write (its mode was off) are None.
    """

    def __init__(self, run):
        info = run.manifest["raster"]
        self._run = run
        self.info = info
        self.first_node, self.last_node = int(info["first_node"]), int(info["last_node"])
        self.frequency_offsets = np.asarray(info["frequency_offsets"], dtype=float)
        self.phase_offsets = np.asarray(info["phase_offsets"], dtype=float)
        self.thresholds = np.asarray(info["thresholds"], dtype=float)
        self.energy_threshold = info["energy_threshold"]
        self.sample_steps = np.asarray(info["sample_steps"], dtype=int)
        self.initial_conditions = int(info["initial_conditions"])
        self.shape = (self.last_node - self.first_node, len(self.frequency_offsets), len(self.phase_offsets))
        self.time = run.time

    @property
    def sample_time(self):
        """(sample,) times of the energy mode's sampled states."""
        return self.sample_steps * self._run.step_width

    @cached_property
    def kicks(self):
        """(ic,) structured: ``node`` perturbed, its ``frequency_offset`` and
        ``phase_offset``, in raster order."""
        nodes, fi, pi = np.indices(self.shape).reshape(3, -1)
        kicks = np.zeros(nodes.size, [("node", "i4"), ("frequency_offset", "f8"), ("phase_offset", "f8")])
        kicks["node"] = nodes + self.first_node
        kicks["frequency_offset"] = self.frequency_offsets[fi]
        kicks["phase_offset"] = self.phase_offsets[pi]
        return kicks

    def index(self, node, frequency_index, phase_index):
        """The ic of a kick, from the perturbed node and the offsets' indices."""
        return ((node - self.first_node) * self.shape[1] + frequency_index) * self.shape[2] + phase_index

    def _per_kick(self, kind, records_per_kick, shape_of_kick):
        file = self._run.file(kind)
        if file is None:
            return None
        kicks = file.records // records_per_kick if records_per_kick else 0
        return file.map((kicks,) + shape_of_kick)

    @property
    def frequency(self):
        """(ic, step, node) frequency deviations (rad/t) after steps 1 … S-1
        ("Mode save traj"); time axis ``time``."""
        return self._per_kick("raster.freq_traj", self._run.steps - 1, (self._run.steps - 1, self._run.nodes))

    @property
    def phase(self):
        """(ic, step, node) phases (rad) after steps 1 … S-1 ("Mode save traj")."""
        return self._per_kick("raster.phase_traj", self._run.steps - 1, (self._run.steps - 1, self._run.nodes))

    @property
    def energy(self):
        """(ic, step) the energy after steps 1 … S-1 ("Mode ERT")."""
        return self._per_kick("raster.etraj", 1, (self._run.steps - 1,))

    @property
    def sampled_frequency(self):
        """(ic, sample, node) frequency deviations at ``sample_time`` ("Mode ERT")."""
        samples = len(self.sample_steps)
        return self._per_kick("raster.freq_samples", samples, (samples, self._run.nodes))

    @property
    def sampled_phase(self):
        """(ic, sample, node) phases at ``sample_time`` ("Mode ERT")."""
        samples = len(self.sample_steps)
        return self._per_kick("raster.phase_samples", samples, (samples, self._run.nodes))

    @cached_property
    def endpoints(self):
        """Initial and final states per mode: a dict from block name
        ("ert.initial", "ert.final", "rmrt.initial", "rmrt.final", those of
        the modes that ran) to a dict with "frequency" and "phase", each
        (ic, node)."""
        out = {}
        for quantity, kind in (("frequency", "raster.freq_endpoints"), ("phase", "raster.phase_endpoints")):
            file = self._run.file(kind)
            if file is None:
                continue
            blocks = file.entry["blocks"]
            states = self._per_kick(kind, len(blocks), (len(blocks), self._run.nodes))
            for b, block in enumerate(blocks):
                out.setdefault(block, {})[quantity] = states[:, b, :]
        return out

    def _kick_table(self, kind):
        """The per-initial-condition records of ``kind`` with the kick's
        offsets: (ic,) structured, per-node values as (node,) fields."""
        file = self._run.file(kind)
        if file is None:
            return None
        records = file.table()
        per_node = records.ndim == 2
        first = records[:, 0] if per_node else records
        values_of = [name for name in file.columns if name not in KICK_COLUMNS]
        count = records.shape[1] if per_node else 1
        table = np.zeros(len(records), [("perturbed_node", "i4"), ("frequency_offset", "f8"),
                                        ("phase_offset", "f8"), ("initial_phase", "f8"),
                                        ("initial_frequency", "f8")] + _kick_fields(values_of, count, per_node))
        kicks = self.kicks[:len(records)]
        if not np.array_equal(first["perturbed_node"], kicks["node"]):
            raise ResultFileError(f"{file.path}: the perturbed nodes of the records do not follow the raster of "
                                  f"the run manifest {self._run.manifest_path}")
        table["perturbed_node"] = kicks["node"]
        table["frequency_offset"] = kicks["frequency_offset"]
        table["phase_offset"] = kicks["phase_offset"]
        table["initial_phase"] = first["initial_phase"]
        table["initial_frequency"] = first["initial_frequency"]
        for name in values_of:
            table[name] = records[name]
        return table

    @cached_property
    def return_times(self):
        """(ic,) structured ("Mode RMRT"): ``perturbed_node``,
        ``frequency_offset``, ``phase_offset``, the perturbed node's
        ``initial_phase`` (steady state + offset, rad) and
        ``initial_frequency`` (rad/t), and ``mean_return_time`` (node,) in t,
        inf for a node that did not return."""
        return self._kick_table("raster.ijtor")

    @cached_property
    def energy_return_times(self):
        """(ic,) structured ("Mode ERT"): the kick's fields as in
        ``return_times`` and ``energy_return_time`` (t, inf: never)."""
        return self._kick_table("raster.heijtor")

    @cached_property
    def maxima(self):
        """(ic,) structured ("Mode maxp"): the kick's fields as in
        ``return_times`` and per node (node,) ``frequency_max`` (rad/t),
        ``frequency_max_time`` (t), ``phase_max`` (rad), ``phase_max_time``."""
        return self._kick_table("raster.ipm")

    def basin_stability(self, band=None):
        """Per kicked node the share of its kicks with a finite mean return
        time of every node (see :func:`tessaly.basin.raster_basin_stability`)."""
        return raster_basin_stability(self, band)

    def arrays(self):
        out = {"time": self.time, "kicks": self.kicks, "sample_time": self.sample_time}
        for name in ("frequency", "phase", "energy", "sampled_frequency", "sampled_phase", "return_times",
                     "energy_return_times", "maxima"):
            value = getattr(self, name)
            if value is not None:
                out[name] = value
        for block, states in self.endpoints.items():
            out.update((f"endpoints/{block}/{quantity}", array) for quantity, array in states.items())
        return out


def _edges(histogram):
    """(bin + 1,) bin edges; the end bins also collect everything beyond."""
    return histogram["low_edge"] + np.arange(histogram["bins"] + 1) * histogram["bin_width"]


class Stochastic:
    """Results of the stochastic wind-input analysis: the settings and one
    :class:`StochasticRun` per turbine configuration and wind part, in run
    order (``runs``)."""

    def __init__(self, run):
        info = run.manifest["stochastic"]
        self.info = info
        self.survive_threshold = info["survive_threshold"]
        self.survive_init_steps = int(info["survive_init_steps"])
        self.survive_interval = int(info["survive_interval"])
        self.cascade_restore_lines = bool(info["cascade_restore_lines"])
        self.bin_edges = _edges(info["histogram"])
        self.increment_bin_edges = _edges(info["increment_histogram"])
        self.lags = list(info["increment_histogram"]["lags"])
        self.runs = [StochasticRun(run, self, entry) for entry in info["runs"]]

    def arrays(self):
        out = {"bin_edges": self.bin_edges, "increment_bin_edges": self.increment_bin_edges}
        for stoch_run in self.runs:
            out.update((f"run{stoch_run.index}/{name}", array) for name, array in stoch_run.arrays().items())
        return out


def _segments(file, length_of):
    """(segment entry, flat values) for every segment of ``file``."""
    first = 0
    for segment in file.segments:
        count = length_of(segment)
        yield segment, file.values(first, count)
        first += count


class StochasticRun:
    """One run of the stochastic analysis (a turbine configuration in a wind
    part): its manifest entry's fields and its results. Results the run did
    not write are None (or empty)."""

    def __init__(self, run, stochastic, entry):
        self._run = run
        self._stochastic = stochastic
        self.entry = entry
        self.index = int(entry["index"])
        self.wind_part = int(entry["wind_part"])
        self.configuration = int(entry["configuration"])
        self.turbine_nodes = list(entry["turbine_nodes"])
        self.output_name = entry["output_name"]
        self.power_flow_converged = entry["power_flow_converged"]
        self.time = run.time

    @property
    def step_time(self):
        """(step,) the time stamps s·h, s = 0 … S-1, of the cascade's
        per-step records and of the trip times."""
        return np.arange(self._run.steps) * self._run.step_width

    def _file(self, kind):
        return self._run.file(kind, self.index)

    def _records(self, kind, shape=None):
        file = self._file(kind)
        if file is None:
            return None
        return file.map(shape or (file.records, file.width))

    @property
    def frequency(self):
        """(step, node) frequency deviations (rad/t) after steps 1 … S-1 ("Mode save traj")."""
        return self._records("stoch.freq_traj")

    @property
    def phase(self):
        """(step, node) phases (rad) after steps 1 … S-1 ("Mode save traj")."""
        return self._records("stoch.phase_traj")

    @cached_property
    def flows(self):
        """(record,) structured ("Mode stoch lf"): ``from``, ``to`` (nodes),
        ``mean_flow`` and ``max_flow`` (p.u.) of every line record."""
        file = self._file("stoch.flows")
        if file is None:
            return None
        records = file.table()
        flows = np.zeros(len(records), [("from", "i4"), ("to", "i4"), ("mean_flow", "f8"), ("max_flow", "f8")])
        for name in flows.dtype.names:
            flows[name] = records[name]
        return flows

    @property
    def histograms(self):
        """(node, bin) counts of the frequency deviations ("Mode surv");
        bins: ``bin_edges`` of the stochastic analysis."""
        return self._records("stoch.hist")

    @property
    def bin_edges(self):
        return self._stochastic.bin_edges

    @property
    def increment_bin_edges(self):
        return self._stochastic.increment_bin_edges

    @cached_property
    def increment_histograms(self):
        """Lag (t) → (node, bin) counts of the frequency increments over that
        lag ("Mode surv"); bins: ``increment_bin_edges``."""
        return {file.entry["lag"]: file.map((file.records, file.width))
                for file in self._run.files_of("stoch.incr_hist", self.index)}

    @cached_property
    def survival(self):
        """Analysis ("cascade", "surv_all", "surv") → its survival records,
        without the NaN record that closes them: (record,) counts of steps
        with every node in the band, or (record, node) per node for "surv"."""
        file = self._file("stoch.surv")
        if file is None:
            return {}
        out = {}
        for segment, values in _segments(file, lambda s: s["width"] * s["records"]):
            records = values.reshape(segment["records"], segment["width"])[:-1]
            out[segment["analysis"]] = records[:, 0] if segment["width"] == 1 else records
        return out

    @cached_property
    def flanks(self):
        """Analysis ("cascade", "surv_all", "surv") → a list with one
        :class:`Flanks` (up, down) per node: the times its frequency left the
        threshold band and came back."""
        file = self._file("stoch.flanks")
        if file is None:
            return {}
        out = {}
        for segment, values in _segments(file, lambda s: s["values"]):
            values = np.asarray(values)
            ends = np.flatnonzero(np.isnan(values))
            if len(ends) != 2 * self._run.nodes or (len(values) and ends[-1] != len(values) - 1):
                raise ResultFileError(f"{file.path}: the {segment['analysis']} part holds {len(ends)} NaN-closed "
                                      f"lists, expected two per node ({2 * self._run.nodes})")
            lists = [values[start:end] for start, end in zip(np.concatenate(([0], ends[:-1] + 1)), ends)]
            out[segment["analysis"]] = [Flanks(up, down) for up, down in zip(lists[::2], lists[1::2])]
        return out

    @cached_property
    def trips(self):
        """(trip,) structured ("Mode stoch casc"): ``time``, ``from``, ``to``
        of every line record the cascade tripped, in trip order."""
        parts = [self._file(kind) for kind in ("stoch.trip_time", "stoch.trip_from", "stoch.trip_to")]
        if any(part is None for part in parts):
            return None
        counts = {part.records for part in parts}
        if len(counts) != 1:
            raise ResultFileError(f"the trip files of run {self.index} hold different numbers of trips: "
                                  + ", ".join(f"{part.path} {part.records}" for part in parts))
        trips = np.zeros(counts.pop(), [("time", "f8"), ("from", "i4"), ("to", "i4")])
        for name, part in zip(trips.dtype.names, parts):
            trips[name] = part.values()
        return trips

    @property
    def max_flow(self):
        """(step,) flow (p.u.) of the line record with the largest load ratio, per cascade step."""
        file = self._file("stoch.max_flow")
        return None if file is None else file.values()

    @property
    def max_ratio(self):
        """(step,) the largest load ratio (flow / capacity), per cascade step (times ``step_time``)."""
        file = self._file("stoch.max_ratio")
        return None if file is None else file.values()

    @property
    def max_line(self):
        """(step, 2) from and to node of that line record (-1, -1: no line carries load)."""
        return self._records("stoch.max_line")

    @cached_property
    def power_series(self):
        """Turbine node → (step,) its mechanical power (p.u.) in this run ("Write stoch")."""
        out = {}
        for file in self._run.files_of("stoch.power_series"):
            for segment, values in _segments(file, lambda s: s["values"]):
                if segment["run"] == self.index:
                    out[int(file.entry["node"])] = values
        return out

    @cached_property
    def wind_speed(self):
        """[(node, (step,) wind speed)] per turbine in order ("Write stoch");
        with two interpolations on, two series per turbine."""
        file = self._run.file("stoch.wind_speed")
        if file is None:
            return []
        return [(int(segment["node"]), values) for segment, values in _segments(file, lambda s: s["values"])
                if segment["run"] == self.index]

    def arrays(self):
        out = {}
        for name in ("frequency", "phase", "flows", "histograms", "trips", "max_flow", "max_ratio", "max_line"):
            value = getattr(self, name)
            if value is not None:
                out[name] = value
        out.update((f"increment_histograms/{lag:g}", h) for lag, h in self.increment_histograms.items())
        out.update((f"survival/{analysis}", records) for analysis, records in self.survival.items())
        for analysis, nodes in self.flanks.items():
            for node, flanks in enumerate(nodes):
                out[f"flanks/{analysis}/{node}/up"] = flanks.up
                out[f"flanks/{analysis}/{node}/down"] = flanks.down
        out.update((f"power_series/{node}", values) for node, values in self.power_series.items())
        for k, (node, values) in enumerate(self.wind_speed):
            out[f"wind_speed/{k}"] = values
        if self.wind_speed:
            out["wind_speed_nodes"] = np.array([node for node, _ in self.wind_speed], dtype="i4")
        return out
