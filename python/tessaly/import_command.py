"""``python3 -m tessaly import CASE.m -o OUT.txt``: a case file in the MATPOWER
format as a tessaly input file that runs as it is (``tessaly OUT.txt``).

This module holds the command line and the options only (standard library),
so that ``python3 -m tessaly --help`` works on any Python 3; the import
itself is :mod:`tessaly.importer`, which needs numpy and mpmath.
"""
import argparse
import os
import sys

DEFAULT_INERTIA = (1.0, 0.1)   # generators, loads
DEFAULT_DAMPING = (1.0, 1.0)
FREQUENCIES = (50.0, 60.0)


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


def _frequency(text):
    try:
        value = float(text)
    except ValueError:
        value = None
    if value not in FREQUENCIES:
        raise argparse.ArgumentTypeError(f"{text!r}: the grid frequency is 50 or 60 (Hz)")
    return value


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value > 0 and value != float("inf")):
        raise argparse.ArgumentTypeError(f"{text!r}: give a positive finite factor")
    return value


def add_arguments(parser):
    parser.add_argument("--output-name", help="value of \"Output filename\", the name of the results "
                        "(default: the case name)")
    parser.add_argument("--inertia", type=_per_type, metavar="GEN[,LOAD]",
                        help="inertia M of generator and load nodes in model units (default: %g,%g)"
                             % DEFAULT_INERTIA)
    parser.add_argument("--inertia-h", type=_per_type, metavar="GEN[,LOAD]",
                        help="inertia constants H in seconds, of generators on their MBASE, of loads on baseMVA; "
                             "with --frequency the file is in physical units (time in s, frequency deviations "
                             "in rad/s): M = 2 H S / (2 pi f baseMVA)")
    parser.add_argument("--frequency", type=_frequency, metavar="50|60",
                        help="the grid's nominal frequency in Hz, for physical units (with --inertia-h)")
    parser.add_argument("--damping", type=_per_type, default=DEFAULT_DAMPING, metavar="GEN[,LOAD]",
                        help="damping of generator and load nodes (default: %g,%g); in physical units in p.u. "
                             "power per p.u. frequency deviation on baseMVA" % DEFAULT_DAMPING)
    parser.add_argument("--node-params", metavar="CSV",
                        help="per-bus inertia and damping: a CSV file with the header bus,inertia,damping "
                             "(bus,inertia_h,damping in physical units); an empty field keeps the value of the "
                             "node type")
    parser.add_argument("--step", type=float, help="RK step width (default: 0.01, smaller where the grid's "
                        "fastest oscillation needs it)")
    parser.add_argument("--steps", type=int, help="RK steps (default: 10 time units of simulated time)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default: %(default)s)")
    parser.add_argument("--nr-precision", type=float, help="power-flow tolerance on the summed mismatch "
                        "(default: 1e-9, above 1000 nodes 1e-12 per node)")
    parser.add_argument("--nr-solver", choices=("auto", "dense", "sparse", "iterative"),
                        help="power-flow solver (default: auto, above 300 nodes sparse)")
    parser.add_argument("--nr-start", choices=("flat", "dc", "random"), default="flat",
                        help="power-flow start; flat starts from the case's angles (default: %(default)s)")
    parser.add_argument("--format", choices=("auto", "matrix", "list"), default="auto",
                        help="lines as matrices or as \"Line list\" (default: matrices up to 30 nodes)")
    parser.add_argument("--flow-measure", choices=("apparent", "active"), default="apparent",
                        help="flow of a line record for capacities, the cascade's trip rule and the flow "
                             "statistics: apparent power into the series element, or the active power of the "
                             "swing equation (default: %(default)s)")
    parser.add_argument("--capacity-factor", type=_positive, metavar="F",
                        help="capacity of each line record F times its flow at the program's steady state, for "
                             "records without a rating (see --capacity-for)")
    parser.add_argument("--capacity-for", choices=("unrated", "all"), default="unrated",
                        help="records whose capacity --capacity-factor sets: those without RATE_A, or all "
                             "(default: %(default)s)")
    parser.add_argument("--raster", type=_node_range, metavar="FIRST:LAST",
                        help="add a mean return-time raster kicking the nodes FIRST to LAST-1 "
                             "(frequency kicks -0.2 and 0.2)")


def _pair(value):
    """A value per node type from "G,L", a number or a sequence of one or two."""
    if isinstance(value, str):
        return _per_type(value)
    values = [float(value)] if isinstance(value, (int, float)) else [float(v) for v in value]
    if len(values) not in (1, 2):
        raise OptionError(f"{value!r}: give one number or two, for generators and loads")
    return (values[0], values[-1])


def _parser():
    parser = argparse.ArgumentParser(prog="tessaly import", add_help=False)
    add_arguments(parser)
    return parser


def options(**given):
    """The importer's options as the command line would give them: every
    option at its default, then ``given`` (names as the long options with
    ``_`` for ``-``: ``inertia_h=(5, 1), frequency=60``)."""
    args = _parser().parse_args([])
    unknown = sorted(set(given) - set(vars(args)))
    if unknown:
        raise OptionError(f"no importer option {', '.join(unknown)} (allowed: {', '.join(sorted(vars(args)))})")
    for name, value in given.items():
        if name in ("inertia", "inertia_h", "damping") and value is not None:
            value = _pair(value)
        if name == "frequency" and value is not None:
            value = _frequency(str(value))
        setattr(args, name, value)
    return args


def add_subcommand(subparsers):
    parser = subparsers.add_parser(
        "import", help="turn a MATPOWER case file into a tessaly input file",
        description="Turn a MATPOWER case file into a tessaly input file that runs as it is.")
    parser.add_argument("case", help="case file (.m)")
    parser.add_argument("-o", "--out", help="input file to write (default: the case name with .txt)")
    add_arguments(parser)
    parser.set_defaults(run=run)


def run(args):
    from .casefile import CaseFormatError
    from .importer import case_input_text
    try:
        text = case_input_text(args.case, args)
    except (OSError, CaseFormatError, OptionError) as error:
        print(f"tessaly import: error: {error}", file=sys.stderr)
        return 2
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + ".txt"
    with open(out, "w", encoding="utf-8") as handle:
        handle.write(text)
    return 0
