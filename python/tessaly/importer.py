"""``python3 -m tessaly import CASE.m -o OUT.txt``: a case file in the MATPOWER
format as a tessaly input file that runs as it is (``echo OUT.txt | tessaly``).

The grid mapping is described in :mod:`tessaly.network`. What the case
format lacks (inertia, damping, the run parameters) comes from options with
defaults; bus numbers become node indices 0, 1, ... in bus-table order, and
the file's comments list which bus each node is.
"""
import argparse
import csv
import math
import os
import sys

import numpy as np

from .casefile import CaseFormatError, read_case
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

DEFAULT_INERTIA = (1.0, 0.1)   # generators, loads
DEFAULT_DAMPING = (1.0, 1.0)
DEFAULT_DURATION = 10.0        # seconds of simulated time when --steps is not given
LARGEST_STEP = 0.01
# Largest step width times the fastest local oscillation sqrt(sum_j K_ij / M_i).
STEP_TIMES_RATE = 0.5


class OptionError(ValueError):
    """Invalid options or auxiliary files."""


def _per_type(text):
    """"G" or "G,L": a value for generators and one for loads."""
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number or a pair GEN,LOAD") from None
    if len(values) not in (1, 2):
        raise argparse.ArgumentTypeError(f"{text!r}: give one number or two, GEN,LOAD")
    return (values[0], values[-1])


def _node_range(text):
    try:
        first, last = (int(v) for v in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not FIRST:LAST") from None
    return first, last


def add_subcommand(subparsers):
    parser = subparsers.add_parser(
        "import", help="turn a MATPOWER case file into a tessaly input file",
        description="Turn a MATPOWER case file into a tessaly input file that runs as it is.")
    parser.add_argument("case", help="case file (.m)")
    parser.add_argument("-o", "--out", help="input file to write (default: the case name with .txt)")
    parser.add_argument("--output-name", help="value of \"Output filename\", the name of the results "
                        "(default: the case name)")
    parser.add_argument("--inertia", type=_per_type, default=DEFAULT_INERTIA, metavar="GEN[,LOAD]",
                        help="inertia of generator and load nodes (default: %g,%g)" % DEFAULT_INERTIA)
    parser.add_argument("--damping", type=_per_type, default=DEFAULT_DAMPING, metavar="GEN[,LOAD]",
                        help="damping of generator and load nodes (default: %g,%g)" % DEFAULT_DAMPING)
    parser.add_argument("--node-params", metavar="CSV",
                        help="per-bus inertia and damping: a CSV file with the header bus,inertia,damping; "
                             "an empty field keeps the value of the node type")
    parser.add_argument("--step", type=float, help="RK step width (default: 0.01, smaller where the grid's "
                        "fastest oscillation needs it)")
    parser.add_argument("--steps", type=int, help=f"RK steps (default: {DEFAULT_DURATION:g} s of simulated time)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default: %(default)s)")
    parser.add_argument("--nr-precision", type=float, help="power-flow tolerance on the summed mismatch "
                        f"(default: 1e-9, above {PRECISION_FIXED_MAX_NODES} nodes 1e-12 per node)")
    parser.add_argument("--nr-solver", choices=("auto", "dense", "sparse", "iterative"),
                        help=f"power-flow solver (default: auto, above {DENSE_SOLVER_MAX_NODES} nodes sparse)")
    parser.add_argument("--nr-start", choices=("flat", "dc", "random"), default="flat",
                        help="power-flow start; flat starts from the case's angles (default: %(default)s)")
    parser.add_argument("--format", choices=("auto", "matrix", "list"), default="auto",
                        help=f"lines as matrices or as \"Line list\" (default: matrices up to "
                             f"{MATRIX_MAX_NODES} nodes)")
    parser.add_argument("--raster", type=_node_range, metavar="FIRST:LAST",
                        help="add a mean return-time raster kicking the nodes FIRST to LAST-1 "
                             "(frequency kicks -0.2 and 0.2)")
    parser.set_defaults(run=run)


def run(args):
    try:
        case = read_case(args.case)
        network = build_network(case)
        text = input_file_text(network, args, os.path.basename(args.case), case)
    except (OSError, CaseFormatError, OptionError) as error:
        print(f"tessaly import: error: {error}", file=sys.stderr)
        return 2
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + ".txt"
    with open(out, "w", encoding="utf-8") as handle:
        handle.write(text)
    return 0


def node_dynamics(network, args):
    """Inertia and damping of every node: by node type, then the CSV."""
    is_gen = network.node_type == GENERATOR
    inertia = np.where(is_gen, args.inertia[0], args.inertia[1])
    damping = np.where(is_gen, args.damping[0], args.damping[1])
    if args.node_params:
        node_of = {int(b): k for k, b in enumerate(network.bus_numbers)}
        with open(args.node_params, newline="", encoding="utf-8") as handle:
            rows = csv.DictReader(handle)
            if rows.fieldnames is None or not {"bus", "inertia", "damping"} <= set(rows.fieldnames):
                raise OptionError(f"{args.node_params}: the header must name bus, inertia and damping")
            for line, row in enumerate(rows, start=2):
                try:
                    node = node_of[int(row["bus"])]
                    if row["inertia"].strip():
                        inertia[node] = float(row["inertia"])
                    if row["damping"].strip():
                        damping[node] = float(row["damping"])
                except (KeyError, ValueError):
                    raise OptionError(f"{args.node_params} line {line}: {row} names no bus of the grid "
                                       "or holds a value that is no number") from None
    if not (inertia > 0).all():
        raise OptionError(f"inertia must be positive; bus {network.bus_numbers[np.argmin(inertia)]} has "
                           f"{inertia.min()}")
    return inertia, damping


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
    solver = args.nr_solver or ("auto" if n <= DENSE_SOLVER_MAX_NODES else "sparse")
    use_list = args.format == "list" or (args.format == "auto" and n > MATRIX_MAX_NODES)
    stem = os.path.splitext(case_name)[0]
    ref_bus = network.bus_numbers[network.ref]

    dc_count = f", {len(case.dcline)} DC lines" if len(case.dcline) else ""
    lines = [
        f"// Imported from {case_name} by \"python3 -m tessaly import\": {len(case.bus)} buses, "
        f"{len(case.branch)} branches, {len(case.gen)} generators{dc_count}, baseMVA {case.base_mva:g}.",
        f"// Powers and admittances in per unit on baseMVA; phases in radians, reference bus {ref_bus} at 0.",
        f"// Inertia and damping are not in the case: generators {args.inertia[0]:g} and {args.damping[0]:g}, "
        f"loads {args.inertia[1]:g} and {args.damping[1]:g}"
        + (f", per bus from {os.path.basename(args.node_params)}" if args.node_params else "") + ".",
    ]
    lines += _dc_line_comments(network)
    lines += _stored_angle_comments(network)
    lines.append("// Node k is the k-th bus of the case's bus table:")
    lines += [f"// node {k}: bus {b}" for k, b in enumerate(network.bus_numbers)]
    lines += [
        "RK steps", str(steps),
        "RK stepwidth", _num(step),
        "Random seed", str(args.seed),
        "Output filename", args.output_name or stem,
        "Number of nodes", str(n),
        "Node type", " ".join(str(int(t)) for t in network.node_type),
        "Power mech", _numbers(network.power_mech),
        "Power diag", _numbers(network.power_diag),
        "Voltage mag", _numbers(network.vm),
        "Voltage ang", _numbers(network.va),
        "Inertia", _numbers(inertia),
        "Damping", _numbers(damping),
        "Reference node", str(network.ref),
        "NR precision", _num(precision),
        "NR solver", solver,
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
    if args.raster:
        lines += _raster_keys(*args.raster, n)
    return "\n".join(lines) + "\n"


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
