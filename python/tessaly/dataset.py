"""A run's bus numbers and units, and its results as tables for the
ecosystem: pandas DataFrames (:meth:`RunTables.frame`) and an xarray Dataset
(:meth:`RunTables.to_xarray`). pandas and xarray are optional: only these
functions need them.

Tables (``run.frame(name)``), every node column beside its bus column
(equal to the node index where the input gives no bus numbers):

- ``nodes``: node, bus, steady_state_phase;
- ``kicks``: ic, node, bus, frequency_offset, phase_offset of every raster kick;
- ``return_times``: one row per kick and observed node: ic, perturbed_node,
  perturbed_bus, frequency_offset, phase_offset, node, bus, mean_return_time;
- ``runs``: the stochastic runs: run, configuration, wind_part, output_name,
  turbine_buses, power_flow_converged, tripped_records;
- ``flows``: run, from, to, from_bus, to_bus, mean_flow, max_flow;
- ``trips``: run, time, from, to, from_bus, to_bus;
- the basin-stability, contingency and linear-stability tables
  (``basin_stability``, ``basin_samples``, ``contingency_summary``,
  ``contingency_trips``, ``contingency_nodes``, ``contingency_base_flows``,
  ``eigenvalues``, ``participation``): see :mod:`tessaly.analysis_tables`.

An analysis adds its own tables by registering a function ``run -> structured
array or None`` in :data:`FRAME_MAKERS`, e.g.
``FRAME_MAKERS["inertia_scan"] = lambda run: ...``.
"""
import json

import numpy as np

from . import analysis_tables
from .tables import frame as structured_frame
from .tables import optional_module

# The units of a run whose manifest names none.
MODEL_UNITS = {"system": "model", "time": "t", "frequency": "rad/t", "nominal_frequency": None, "base_power": None}


class RunTables:
    """Bus numbers, units and tables of a :class:`tessaly.results.Run`."""

    @property
    def bus_numbers(self):
        """(node,) the case's bus number of every node ("Bus numbers" of the
        input), or None when the input gives none."""
        numbers = self.manifest.get("bus_numbers")
        return None if numbers is None else np.asarray(numbers, dtype=np.int64)

    @property
    def buses(self):
        """(node,) the bus numbers, or the node indices where there are none."""
        numbers = self.bus_numbers
        return np.arange(self.nodes) if numbers is None else numbers

    @property
    def units(self):
        """What the numbers are in: ``system`` ("model" or "physical"),
        ``time`` ("t" or "s"), ``frequency`` ("rad/t" or "rad/s"),
        ``nominal_frequency`` (Hz) and ``base_power`` (MVA) where given."""
        return dict(MODEL_UNITS, **(self.manifest.get("units") or {}))

    def node_label(self, node):
        """"bus B" for a node of a grid with bus numbers, else "node K"."""
        numbers = self.bus_numbers
        return f"bus {numbers[int(node)]}" if numbers is not None else f"node {int(node)}"

    def node_of_bus(self, bus):
        """The node index of a bus number."""
        numbers = self.bus_numbers
        found = np.flatnonzero(numbers == int(bus)) if numbers is not None else []
        if not len(found):
            raise ValueError(f"the run's grid has no bus {bus}"
                             + ("" if numbers is not None else " (its input gives no \"Bus numbers\")"))
        return int(found[0])

    def to_xarray(self):
        """The run as an xarray Dataset: dimensions ``ic``, ``time``,
        ``node``, ``run``, ``record`` (raster and stochastic runs),
        ``sample`` (basin stability; its per-node values on ``node``),
        ``contingency``, ``trip``, ``line_record`` (contingencies),
        ``eigenvalue``, ``mode`` (linear stability); the bus numbers as the
        coordinate ``bus`` of the nodes and ``..._bus`` beside every other
        node coordinate; the units as variable attributes; the
        manifest's settings and the whole manifest (JSON text, ``manifest``)
        as dataset attributes. Needs xarray."""
        return to_xarray(self)

    def frame(self, name):
        """One table of the run (see :mod:`tessaly.dataset`) as a pandas
        DataFrame; None when the run has no such results. Needs pandas."""
        if name not in FRAME_MAKERS:
            raise ValueError(f"no table {name!r} (known: {', '.join(FRAME_MAKERS)})")
        table = FRAME_MAKERS[name](self)
        return None if table is None else structured_frame(table)

    def frames(self):
        """Every table the run has, name -> pandas DataFrame."""
        out = {}
        for name in FRAME_MAKERS:
            table = self.frame(name)
            if table is not None:
                out[name] = table
        return out


def _table(length, fields):
    return np.zeros(length, [(name, kind) for name, kind in fields])


def _nodes_table(run):
    table = _table(run.nodes, [("node", "i4"), ("bus", "i8"), ("steady_state_phase", "f8")])
    table["node"] = np.arange(run.nodes)
    table["bus"] = run.buses
    table["steady_state_phase"] = run.steady_state
    return table


def _kicks_table(run):
    if run.raster is None:
        return None
    kicks = run.raster.kicks
    table = _table(len(kicks), [("ic", "i8"), ("node", "i4"), ("bus", "i8"), ("frequency_offset", "f8"),
                                ("phase_offset", "f8")])
    table["ic"] = np.arange(len(kicks))
    table["node"] = kicks["node"]
    table["bus"] = run.buses[kicks["node"]]
    table["frequency_offset"] = kicks["frequency_offset"]
    table["phase_offset"] = kicks["phase_offset"]
    return table


def _return_times_table(run):
    times = run.raster.return_times if run.raster is not None else None
    if times is None:
        return None
    kicks, n = len(times), run.nodes
    table = _table(kicks * n, [("ic", "i8"), ("perturbed_node", "i4"), ("perturbed_bus", "i8"),
                               ("frequency_offset", "f8"), ("phase_offset", "f8"), ("node", "i4"), ("bus", "i8"),
                               ("mean_return_time", "f8")])
    table["ic"] = np.repeat(np.arange(kicks), n)
    table["perturbed_node"] = np.repeat(times["perturbed_node"], n)
    table["perturbed_bus"] = run.buses[table["perturbed_node"]]
    table["frequency_offset"] = np.repeat(times["frequency_offset"], n)
    table["phase_offset"] = np.repeat(times["phase_offset"], n)
    table["node"] = np.tile(np.arange(n), kicks)
    table["bus"] = run.buses[table["node"]]
    table["mean_return_time"] = np.asarray(times["mean_return_time"]).ravel()
    return table


def _runs_table(run):
    if run.stochastic is None:
        return None
    runs = run.stochastic.runs
    table = _table(len(runs), [("run", "i4"), ("configuration", "i4"), ("wind_part", "i4"), ("output_name", "U64"),
                               ("turbine_buses", "U256"), ("power_flow_converged", "f8"), ("tripped_records", "i4")])
    for k, one in enumerate(runs):
        converged = one.power_flow_converged
        table[k] = (one.index, one.configuration, one.wind_part, one.output_name,
                    " ".join(str(run.buses[node]) for node in one.turbine_nodes),
                    np.nan if converged is None else float(converged), len(one.entry["tripped_lines"]))
    return table


def _per_run_table(run, attribute, fields):
    if run.stochastic is None:
        return None
    parts = [(one.index, getattr(one, attribute)) for one in run.stochastic.runs]
    parts = [(index, records) for index, records in parts if records is not None]
    if not parts:
        return None
    table = _table(sum(len(records) for _, records in parts),
                   [("run", "i4")] + fields + [("from_bus", "i8"), ("to_bus", "i8")])
    at = 0
    for index, records in parts:
        rows = slice(at, at + len(records))
        table["run"][rows] = index
        for name, _ in fields:
            table[name][rows] = records[name]
        at += len(records)
    table["from_bus"] = run.buses[table["from"]]
    table["to_bus"] = run.buses[table["to"]]
    return table


# Table name -> the function that makes it from a run (None: not in this run).
FRAME_MAKERS = {
    "nodes": _nodes_table,
    "kicks": _kicks_table,
    "return_times": _return_times_table,
    "runs": _runs_table,
    "flows": lambda run: _per_run_table(run, "flows", [("from", "i4"), ("to", "i4"), ("mean_flow", "f8"),
                                                       ("max_flow", "f8")]),
    "trips": lambda run: _per_run_table(run, "trips", [("time", "f8"), ("from", "i4"), ("to", "i4")]),
    **analysis_tables.FRAME_MAKERS,
}


def _attribute_value(value):
    """A value NetCDF can keep as an attribute (no None, no bool)."""
    if isinstance(value, bool):
        return int(value)
    return value


def _attributes(run):
    units = run.units
    attrs = {"output_name": run.output_name, "steps": run.steps, "step_width": run.step_width,
             "unit_system": units["system"], "time_unit": units["time"], "frequency_unit": units["frequency"],
             "nominal_frequency": units["nominal_frequency"], "base_power": units["base_power"],
             "complete": run.complete, "exit_status": run.manifest.get("exit_status"),
             "modes": ", ".join(run.modes), "program_version": run.manifest["program"]["version"],
             "manifest": json.dumps(run.manifest, default=str)}
    return {key: _attribute_value(value) for key, value in attrs.items() if value is not None}


def to_xarray(run):
    xarray = optional_module("xarray", "Run.to_xarray()")
    units = run.units
    frequency_unit, time_unit = units["frequency"], units["time"]
    coords = {"node": np.arange(run.nodes), "bus": ("node", run.buses), "time": ("time", run.time)}
    data = {"steady_state_phase": (("node",), run.steady_state, {"units": "rad"})}
    raster = run.raster
    if raster is not None:
        kicks = raster.kicks
        coords.update(ic=np.arange(len(kicks)), kicked_node=("ic", kicks["node"]),
                      kicked_bus=("ic", run.buses[kicks["node"]]),
                      frequency_offset=("ic", kicks["frequency_offset"], {"units": frequency_unit}),
                      phase_offset=("ic", kicks["phase_offset"], {"units": "rad"}))
        if raster.frequency is not None and len(raster.frequency) == len(kicks):
            data["frequency"] = (("ic", "time", "node"), np.asarray(raster.frequency), {"units": frequency_unit})
            data["phase"] = (("ic", "time", "node"), np.asarray(raster.phase), {"units": "rad"})
        for table, names in ((raster.return_times, {"mean_return_time": time_unit}),
                             (raster.energy_return_times, {"energy_return_time": time_unit}),
                             (raster.maxima, {"frequency_max": frequency_unit, "frequency_max_time": time_unit,
                                              "phase_max": "rad", "phase_max_time": time_unit})):
            if table is None or len(table) != len(kicks):
                continue
            for name, unit in names.items():
                values = np.asarray(table[name])
                dims = ("ic", "node") if values.ndim == 2 else ("ic",)
                data[name] = (dims, values, {"units": unit})
    if run.stochastic is not None and run.stochastic.runs:
        runs = run.stochastic.runs
        coords["run"] = np.arange(len(runs))
        coords["configuration"] = ("run", [one.configuration for one in runs])
        coords["wind_part"] = ("run", [one.wind_part for one in runs])
        trajectories = [one.frequency for one in runs]
        if all(t is not None and t.shape == (len(run.time), run.nodes) for t in trajectories):
            data["run_frequency"] = (("run", "time", "node"), np.stack([np.asarray(t) for t in trajectories]),
                                     {"units": frequency_unit})
            data["run_phase"] = (("run", "time", "node"), np.stack([np.asarray(one.phase) for one in runs]),
                                 {"units": "rad"})
        flows = [one.flows for one in runs]
        if all(f is not None for f in flows) and len({len(f) for f in flows}) == 1 and len(flows[0]):
            first = flows[0]
            coords.update(record=np.arange(len(first)), record_from=("record", first["from"]),
                          record_to=("record", first["to"]), record_from_bus=("record", run.buses[first["from"]]),
                          record_to_bus=("record", run.buses[first["to"]]))
            data["mean_flow"] = (("run", "record"), np.stack([f["mean_flow"] for f in flows]), {"units": "p.u."})
            data["max_flow"] = (("run", "record"), np.stack([f["max_flow"] for f in flows]), {"units": "p.u."})
    analysis_tables.add_variables(run, coords, data)
    return xarray.Dataset({name: xarray.Variable(*variable) for name, variable in data.items()}, coords=coords,
                          attrs=_attributes(run))
