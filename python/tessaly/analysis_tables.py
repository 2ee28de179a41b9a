"""The tables and xarray variables of the basin-stability, contingency and
linear-stability results; :mod:`tessaly.dataset` lists the tables among a
run's (``run.frame(name)``) and adds the variables to ``run.to_xarray()``.
Every node column has its bus column beside it.

Tables:

- ``basin_stability``: one row per sampled node: node, bus, samples, the
  counts returned, other_fixed_point, not_returned, undecided, stability,
  standard_error;
- ``basin_samples``: node, bus, sample, phase_offset, frequency_offset,
  class (code), outcome (its name), decision_time;
- ``contingency_summary``: one row per contingency: contingency, from, to,
  from_bus, to_bus (the line taken out), trips, islands, desynchronised,
  max_frequency, max_load_ratio, returned;
- ``contingency_trips``: contingency, time, from, to, from_bus, to_bus;
- ``contingency_nodes``: contingency, node, bus, final_frequency,
  max_frequency, island;
- ``contingency_base_flows``: every line record at the steady state: from,
  to, from_bus, to_bus, flow, capacity, load_ratio;
- ``eigenvalues``: eigenvalue (index, the least damped first), real, imag,
  frequency, damping_ratio, rotation_mode;
- ``participation``: one row per least-damped mode and node: mode,
  eigenvalue (its index), node, bus, participation.
"""
import numpy as np

from .basin import CLASSES


def _table(columns):
    """A structured array from (name, dtype, values) columns of one length."""
    table = np.zeros(len(columns[0][2]), [(name, kind) for name, kind, _ in columns])
    for name, _, values in columns:
        table[name] = values
    return table


def _ends(run, records, prefix=""):
    """The node and bus columns of the ``from`` and ``to`` fields of ``records``."""
    buses = run.buses
    return [(f"{prefix}from", "i4", records["from"]), (f"{prefix}to", "i4", records["to"]),
            (f"{prefix}from_bus", "i8", buses[records["from"]]), (f"{prefix}to_bus", "i8", buses[records["to"]])]


def basin_stability_table(run):
    if run.basin is None:
        return None
    s = run.basin.stability
    return _table([("node", "i4", s["node"]), ("bus", "i8", run.buses[s["node"]])]
                  + [(name, "i8", s[name]) for name in ("samples",) + CLASSES]
                  + [("stability", "f8", s["stability"]), ("standard_error", "f8", s["standard_error"])])


def basin_samples_table(run):
    if run.basin is None:
        return None
    s = run.basin.samples
    return _table([("node", "i4", s["node"]), ("bus", "i8", run.buses[s["node"]]), ("sample", "i8", s["sample"]),
                   ("phase_offset", "f8", s["phase_offset"]), ("frequency_offset", "f8", s["frequency_offset"]),
                   ("class", "i1", s["class"]), ("outcome", "U17", np.asarray(CLASSES)[s["class"]]),
                   ("decision_time", "f8", s["decision_time"])])


def contingency_summary_table(run):
    if run.contingency is None:
        return None
    s = run.contingency.summary
    return _table([("contingency", "i4", np.arange(len(s)))] + _ends(run, s)
                  + [(name, "i4", s[name]) for name in ("trips", "islands", "desynchronised")]
                  + [("max_frequency", "f8", s["max_frequency"]), ("max_load_ratio", "f8", s["max_load_ratio"]),
                     ("returned", "?", s["returned"])])


def contingency_trips_table(run):
    if run.contingency is None:
        return None
    trips = run.contingency.trips.all
    return _table([("contingency", "i4", trips["contingency"]), ("time", "f8", trips["time"])] + _ends(run, trips))


def contingency_nodes_table(run):
    if run.contingency is None:
        return None
    nodes = run.contingency.nodes.reshape(-1, run.nodes)
    count = len(nodes)
    return _table([("contingency", "i4", np.repeat(np.arange(count), run.nodes)),
                   ("node", "i4", np.tile(np.arange(run.nodes), count)), ("bus", "i8", np.tile(run.buses, count))]
                  + [(name, kind, nodes[name].ravel()) for name, kind in (("final_frequency", "f8"),
                                                                         ("max_frequency", "f8"), ("island", "i4"))])


def contingency_base_flows_table(run):
    if run.contingency is None:
        return None
    flows = run.contingency.base_flows
    return _table(_ends(run, flows) + [(name, "f8", flows[name]) for name in ("flow", "capacity", "load_ratio")])


def eigenvalues_table(run):
    if run.linear is None:
        return None
    values = run.linear.eigenvalues
    return _table([("eigenvalue", "i4", np.arange(len(values)))]
                  + [(name, values.dtype[name].str, values[name]) for name in values.dtype.names])


def participation_table(run):
    if run.linear is None:
        return None
    shares = np.asarray(run.linear.participation)
    modes = run.linear.participation_modes
    count = len(shares)
    return _table([("mode", "i4", np.repeat(np.arange(count), run.nodes)),
                   ("eigenvalue", "i4", np.repeat(modes, run.nodes)),
                   ("node", "i4", np.tile(np.arange(run.nodes), count)), ("bus", "i8", np.tile(run.buses, count)),
                   ("participation", "f8", shares.ravel())])


# Table name -> the function that makes it from a run (None: not in this run).
FRAME_MAKERS = {
    "basin_stability": basin_stability_table,
    "basin_samples": basin_samples_table,
    "contingency_summary": contingency_summary_table,
    "contingency_trips": contingency_trips_table,
    "contingency_nodes": contingency_nodes_table,
    "contingency_base_flows": contingency_base_flows_table,
    "eigenvalues": eigenvalues_table,
    "participation": participation_table,
}


# ---- xarray ---------------------------------------------------------------------

def _rate_units(units):
    """Units of an eigenvalue's parts and of its frequency."""
    return ("1/s", "Hz") if units["time"] == "s" else (f"1/{units['time']}", f"cycles/{units['time']}")


def basin_variables(run, coords, data):
    """Per node (NaN, 0 counts where not sampled) and per sample (``sample``)."""
    if run.basin is None:
        return
    frequency_unit, time_unit = run.units["frequency"], run.units["time"]
    table = run.basin.stability
    nodes = table["node"]
    stability = np.full(run.nodes, np.nan)
    stability[nodes] = table["stability"]
    error = np.full(run.nodes, np.nan)
    error[nodes] = table["standard_error"]
    data["basin_stability"] = (("node",), stability, {"long_name": "single-node basin stability"})
    data["basin_standard_error"] = (("node",), error, {})
    for name in ("samples",) + CLASSES:
        counts = np.zeros(run.nodes, np.int64)
        counts[nodes] = table[name]
        data[f"basin_{name}"] = (("node",), counts, {})
    samples = run.basin.samples
    coords.update(sample=np.arange(len(samples)), sample_node=("sample", samples["node"]),
                  sample_bus=("sample", run.buses[samples["node"]]))
    data["basin_phase_offset"] = (("sample",), samples["phase_offset"], {"units": "rad"})
    data["basin_frequency_offset"] = (("sample",), samples["frequency_offset"], {"units": frequency_unit})
    data["basin_class"] = (("sample",), samples["class"],
                           {"flag_values": np.arange(len(CLASSES), dtype=np.int8), "flag_meanings": " ".join(CLASSES)})
    data["basin_decision_time"] = (("sample",), samples["decision_time"], {"units": time_unit})


def contingency_variables(run, coords, data):
    """Per contingency, per contingency and node, per trip (``trip``) and
    per line record at the steady state (``line_record``)."""
    analysis = run.contingency
    if analysis is None:
        return
    frequency_unit, time_unit = run.units["frequency"], run.units["time"]
    summary = analysis.summary
    buses = run.buses
    coords.update(contingency=np.arange(len(summary)), outage_from=("contingency", summary["from"]),
                  outage_to=("contingency", summary["to"]), outage_from_bus=("contingency", buses[summary["from"]]),
                  outage_to_bus=("contingency", buses[summary["to"]]))
    for name in ("trips", "islands", "desynchronised", "max_load_ratio", "returned"):
        data[f"contingency_{name}"] = (("contingency",), summary[name], {})
    data["contingency_max_frequency"] = (("contingency",), summary["max_frequency"], {"units": frequency_unit})
    nodes = analysis.nodes.reshape(len(summary), run.nodes)
    data["contingency_final_frequency"] = (("contingency", "node"), nodes["final_frequency"], {"units": frequency_unit})
    data["contingency_node_max_frequency"] = (("contingency", "node"), nodes["max_frequency"],
                                              {"units": frequency_unit})
    data["contingency_island"] = (("contingency", "node"), nodes["island"], {})
    trips = analysis.trips.all
    coords.update(trip=np.arange(len(trips)), trip_contingency=("trip", trips["contingency"]),
                  trip_from=("trip", trips["from"]), trip_to=("trip", trips["to"]),
                  trip_from_bus=("trip", buses[trips["from"]]), trip_to_bus=("trip", buses[trips["to"]]))
    data["trip_time"] = (("trip",), trips["time"], {"units": time_unit})
    flows = analysis.base_flows
    coords.update(line_record=np.arange(len(flows)), line_from=("line_record", flows["from"]),
                  line_to=("line_record", flows["to"]), line_from_bus=("line_record", buses[flows["from"]]),
                  line_to_bus=("line_record", buses[flows["to"]]))
    data["base_flow"] = (("line_record",), flows["flow"], {"units": "p.u.", "flow_measure": analysis.flow_measure})
    data["base_capacity"] = (("line_record",), flows["capacity"], {"units": "p.u."})
    data["base_load_ratio"] = (("line_record",), flows["load_ratio"], {})


def linear_variables(run, coords, data):
    """Per eigenvalue (``eigenvalue``) and per least-damped mode and node (``mode``, ``node``)."""
    if run.linear is None:
        return
    rate, frequency = _rate_units(run.units)
    values = run.linear.eigenvalues
    coords["eigenvalue"] = np.arange(len(values))
    data["eigenvalue_real"] = (("eigenvalue",), values["real"], {"units": rate})
    data["eigenvalue_imag"] = (("eigenvalue",), values["imag"], {"units": rate})
    data["eigenvalue_frequency"] = (("eigenvalue",), values["frequency"], {"units": frequency})
    data["damping_ratio"] = (("eigenvalue",), values["damping_ratio"], {})
    data["rotation_mode"] = (("eigenvalue",), values["rotation_mode"], {})
    shares = np.asarray(run.linear.participation)
    coords.update(mode=np.arange(len(shares)), mode_eigenvalue=("mode", run.linear.participation_modes))
    data["participation"] = (("mode", "node"), shares, {"long_name": "participation factor"})


def add_variables(run, coords, data):
    """The three analyses' coordinates and variables, into ``coords`` and ``data``."""
    for add in (basin_variables, contingency_variables, linear_variables):
        add(run, coords, data)
