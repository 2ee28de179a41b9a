"""A case file in the MATPOWER format as a tessaly input file that runs as it
is (the command line is :mod:`tessaly.import_command`).

The grid mapping is described in :mod:`tessaly.network`. What the case
format lacks (inertia, damping, the run parameters) comes from options with
defaults; the buses become nodes 0, 1, ... in bus-table order, and the key
"Bus numbers" (and the file's comments) say which bus each node is.

Units: by default inertia and damping are model values and time is the
input's own unit. With ``frequency`` (50 or 60 Hz) and ``inertia_h`` (the
inertia constants H in seconds, on each generator's MBASE) the file is in
physical units: M_i = 2 H_i S_i / (omega_s S_base) with omega_s = 2 pi f,
S_i the MBASE of the node's generators (S_base at a node without one) and
S_base the case's baseMVA; damping D_i = D / omega_s from D in per unit of
power (on S_base) per per-unit frequency deviation. Time is then in seconds
and frequency deviations in rad/s.
"""
import csv
import math
import os
import sys

import numpy as np

from .casefile import CaseFormatError, read_case
from .import_command import DEFAULT_DAMPING, DEFAULT_INERTIA, OptionError
from .network import GENERATOR, build_network

# Grids up to this size are written as readable node-by-node matrices, larger
# ones as "Line list" rows (the matrices grow with the square of the nodes).
MATRIX_MAX_NODES = 30
# Above this size the summed mismatch of the power flow cannot reach 1e-9
# for rounding alone; the tolerance grows with the node count instead.
PRECISION_FIXED_MAX_NODES = 1000
# Above this size the file names the sparse solver: the program's "auto"
# keeps its dense QR up to 2,000 nodes, which costs seconds and hundreds of
# MB there, while a power grid's sparse LU fills in little at any size.
DENSE_SOLVER_MAX_NODES = 300

DEFAULT_DURATION = 10.0        # seconds of simulated time when --steps is not given
LARGEST_STEP = 0.01
# Largest step width times the fastest local oscillation sqrt(sum_j K_ij / M_i).
STEP_TIMES_RATE = 0.5


def case_input_text(path, args):
    """The input file made from the case file ``path`` with the options
    ``args`` (:func:`tessaly.import_command.options`)."""
    case = read_case(path)
    return input_file_text(build_network(case), args, os.path.basename(path), case)


def physical_units(args):
    """Whether the options ask for seconds and rad/s (both --frequency and
    --inertia-h given, or neither)."""
    frequency, inertia_h = getattr(args, "frequency", None), getattr(args, "inertia_h", None)
    if (frequency is None) != (inertia_h is None):
        raise OptionError("--inertia-h and --frequency go together: give the inertia constants H (s) and the grid's "
                          "frequency (50 or 60 Hz), or neither for model units")
    if inertia_h is not None and getattr(args, "inertia", None) is not None:
        raise OptionError("give --inertia (model values M) or --inertia-h (inertia constants H in s), not both")
    return frequency is not None


def _csv_values(network, args, columns):
    """Per-bus values of the node-parameter file: column -> {node: value}."""
    node_of = {int(b): k for k, b in enumerate(network.bus_numbers)}
    found = {column: {} for column in columns}
    with open(args.node_params, newline="", encoding="utf-8") as handle:
        rows = csv.DictReader(handle)
        header = set(rows.fieldnames or ())
        if "bus" not in header or not header & set(columns) or header - {"bus"} - set(columns):
            raise OptionError(f"{args.node_params}: the header must name bus and some of {', '.join(columns)} "
                              f"(found {', '.join(rows.fieldnames or ()) or 'none'})")
        for line, row in enumerate(rows, start=2):
            try:
                node = node_of[int(row["bus"])]
                for column in columns:
                    if (row.get(column) or "").strip():
                        found[column][node] = float(row[column])
            except (KeyError, ValueError):
                raise OptionError(f"{args.node_params} line {line}: {row} names no bus of the grid "
                                  "or holds a value that is no number") from None
    return found


def node_dynamics(network, args):
    """Inertia and damping of every node as written: by node type, then the
    CSV; in physical units converted from H (s) and per-unit damping."""
    is_gen = network.node_type == GENERATOR
    physical = physical_units(args)
    given_inertia = args.inertia_h if physical else (args.inertia or DEFAULT_INERTIA)
    inertia = np.where(is_gen, given_inertia[0], given_inertia[1])
    damping = np.where(is_gen, args.damping[0], args.damping[1])
    if args.node_params:
        inertia_column = "inertia_h" if physical else "inertia"
        per_bus = _csv_values(network, args, (inertia_column, "damping"))
        for node, value in per_bus[inertia_column].items():
            inertia[node] = value
        for node, value in per_bus["damping"].items():
            damping[node] = value
    if not (inertia > 0).all():
        raise OptionError(f"inertia must be positive; bus {network.bus_numbers[np.argmin(inertia)]} has "
                           f"{inertia.min()}")
    if physical:
        inertia, damping = physical_dynamics(network, inertia, damping, args.frequency)
    return inertia, damping


def physical_dynamics(network, h, damping, frequency):
    """M_i = 2 H_i S_i / (omega_s S_base) and D_i / omega_s, omega_s = 2 pi f,
    in this order of correctly rounded operations (the same bits everywhere)."""
    omega = 2 * math.pi * frequency
    base = network.base_mva
    rating = np.where(network.machine_base > 0, network.machine_base, base)
    return 2 * h * rating / (omega * base), damping / omega


def default_step(network, inertia):
    """0.01, or the largest of 0.005, 0.002, 0.001, ... that resolves the fastest
    local oscillation sqrt(sum_j K_ij / M_i) with STEP_TIMES_RATE."""
    coupling_sum = np.zeros(network.num_nodes)
    np.add.at(coupling_sum, network.rec_from, network.coupling_mag)
    rate = math.sqrt(float(np.max(coupling_sum / inertia)))
    step = LARGEST_STEP
    factors = (0.5, 0.4, 0.5)   # 0.01 -> 0.005 -> 0.002 -> 0.001 -> ...
    k = 0
    while step * rate > STEP_TIMES_RATE:
        step *= factors[k % 3]
        k += 1
    return float(f"{step:.3g}")


def _num(value):
    return repr(float(value))


def _numbers(values):
    return " ".join(_num(v) for v in values)


def _matrix(n, rows, cols, values):
    dense = np.zeros((n, n))
    dense[rows, cols] = values
    return [_numbers(row) for row in dense]


def input_file_text(network, args, case_name, case):
    n = network.num_nodes
    inertia, damping = node_dynamics(network, args)
    step = args.step if args.step is not None else default_step(network, inertia)
    steps = args.steps if args.steps is not None else int(round(DEFAULT_DURATION / step))
    precision = args.nr_precision
    if precision is None:
        precision = 1e-9 if n <= PRECISION_FIXED_MAX_NODES else 1e-12 * n
    use_list = args.format == "list" or (args.format == "auto" and n > MATRIX_MAX_NODES)
    stem = os.path.splitext(case_name)[0]
    ref_bus = network.bus_numbers[network.ref]

    dc_count = f", {len(case.dcline)} DC lines" if len(case.dcline) else ""
    lines = [
        f"// Imported from {case_name} by \"python3 -m tessaly import\": {len(case.bus)} buses, "
        f"{len(case.branch)} branches, {len(case.gen)} generators{dc_count}, baseMVA {case.base_mva:g}.",
        f"// Powers and admittances in per unit on baseMVA; phases in radians, reference bus {ref_bus} at 0.",
    ] + _dynamics_comments(network, args)
    lines += _dc_line_comments(network)
    lines += _stored_angle_comments(network)
    lines.append("// Node k is the k-th bus of the case's bus table (\"Bus numbers\"):")
    lines += [f"// node {k}: bus {b}" for k, b in enumerate(network.bus_numbers)]
    lines += [
        "RK steps", str(steps),
        "RK stepwidth", _num(step),
        "Random seed", str(args.seed),
        "Output filename", args.output_name or stem,
        "Number of nodes", str(n),
        "Bus numbers", " ".join(str(int(b)) for b in network.bus_numbers),
        "Unit system", "physical" if physical_units(args) else "model",
    ]
    if physical_units(args):
        lines += ["Nominal frequency", _num(args.frequency)]
    lines += [
        "Base power", _num(network.base_mva),
        "Node type", " ".join(str(int(t)) for t in network.node_type),
        "Power mech", _numbers(network.power_mech),
        "Power diag", _numbers(network.power_diag),
        # "Power diag" holds every record's V_i^2 Re(A): a record a cascade
        # switches off takes its share with it.
        "Line losses in diag",
        "Voltage mag", _numbers(network.vm),
        "Voltage ang", _numbers(network.va),
        "Inertia", _numbers(inertia),
        "Damping", _numbers(damping),
        "Reference node", str(network.ref),
        "NR precision", _num(precision),
        "NR solver", args.nr_solver or ("auto" if n <= DENSE_SOLVER_MAX_NODES else "sparse"),
        "NR start", args.nr_start,
    ]
    rec = (network.rec_from, network.rec_to)
    flow_mag, flow_ang = network.flow_mag, network.flow_ang
    if use_list:
        lines.append("// from to couplingMag couplingAng capacity admittanceMag admittanceAng")
        lines.append("Line list")
        for row in zip(*rec, network.coupling_mag, network.coupling_ang, network.capacity, flow_mag, flow_ang):
            lines.append(f"{row[0]} {row[1]} " + _numbers(row[2:]))
    else:
        for key, values in (("Coupling mag", network.coupling_mag), ("Coupling ang", network.coupling_ang),
                            ("Line capacity", network.capacity), ("Admittance mag", flow_mag),
                            ("Admittance ang", flow_ang)):
            lines.append(key)
            lines += _matrix(n, *rec, values)
    lines += _line_rule_keys(args)
    if args.raster:
        lines += _raster_keys(*args.raster, n)
    return "\n".join(lines) + "\n"


def _dynamics_comments(network, args):
    per_bus = f", per bus from {os.path.basename(args.node_params)}" if args.node_params else ""
    if not physical_units(args):
        inertia = args.inertia or DEFAULT_INERTIA
        return [f"// Inertia and damping are not in the case: generators {inertia[0]:g} and {args.damping[0]:g}, "
                f"loads {inertia[1]:g} and {args.damping[1]:g}{per_bus}; time in the model's own unit."]
    return [
        f"// Physical units: time in seconds, frequency deviations in rad/s from {args.frequency:g} Hz.",
        f"// Inertia M = 2 H S / (2 pi {args.frequency:g} Hz * {network.base_mva:g} MVA) with S the MBASE of the "
        f"node's generators ({network.base_mva:g} MVA at nodes without one): H generators {args.inertia_h[0]:g} s, "
        f"loads {args.inertia_h[1]:g} s{per_bus}.",
        f"// Damping D / (2 pi {args.frequency:g} Hz) with D in p.u. power per p.u. frequency on "
        f"{network.base_mva:g} MVA: generators {args.damping[0]:g}, loads {args.damping[1]:g}.",
    ]


def _dc_line_comments(network):
    if not network.dc_lines and not network.dc_lines_out:
        return []
    lines = ["// DC lines as constant powers of their end nodes: PF taken out at the from bus, PT = PF - (LOSS0 + "
             "LOSS1 PF) put in at the to bus; their reactive power, limits and voltage setpoints are not modelled."]
    lines += [f"// DC line row {line.row}: bus {line.from_bus} -> bus {line.to_bus}, PF {line.pf:g} MW, "
              f"loss {line.loss:g} MW, PT {line.pt:g} MW" for line in network.dc_lines]
    if network.dc_lines_out:
        lines.append(f"// {network.dc_lines_out} DC line(s) out of service left out.")
    return lines


def _stored_angle_comments(network):
    if network.stored_angles_solved:
        return []
    if network.flat_start:
        return ["// The case's angles are a flat start (all equal), not a power-flow solution: the power flow "
                "finds the steady state."]
    largest, bus = network.worst_stored_mismatch
    return [f"// The case's angles are not a solved power flow (active-power mismatch {largest:.3g} p.u. at bus "
            f"{bus}): the steady state differs from them."]


def _line_rule_keys(args):
    """The flow measure and capacities from the program's own steady state
    (it sets them after its power flow, so the file needs no power flow of
    its own and stays the same on every machine)."""
    keys = []
    if args.flow_measure != "apparent":
        keys += ["Flow measure", args.flow_measure]
    if args.capacity_factor is not None:
        which = "without a rating" if args.capacity_for == "unrated" else "every record"
        keys += [f"// Capacities of {which}: {args.capacity_factor:g} x the record's flow at the steady state.",
                 "Capacity from base flow", _num(args.capacity_factor),
                 "Capacity from base flow for", args.capacity_for]
    return keys


def _raster_keys(first, last, n):
    if not 0 <= first < last <= n:
        raise OptionError(f"--raster {first}:{last}: allowed 0 <= FIRST < LAST <= {n}")
    return [
        "Mode raster rt", "Mode RMRT",
        "First pert node", str(first), "Last pert node", str(last),
        "Freq pert minimum", "-0.2", "Freq pert maximum", "0.3", "Freq pert step", "0.4",
        "Phase pert minimum", "0", "Phase pert maximum", "0.1", "Phase pert step", "1",
        "RT threshold low", "0.01", "RT threshold high", "0.1", "Num of thresh", "3",
    ]
