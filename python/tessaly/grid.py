"""A grid to study: its nodes and line records as tables that can be changed
before a run (see :class:`Grid`).

Make one from a case file (``Grid.from_case("case118.m", inertia_h=(5, 1),
frequency=60)``, the importer's options as arguments), from an input file
(``Grid.from_input("mygrid.txt")``) or from arrays (``Grid.from_arrays``).
:class:`tessaly.study.Study` writes it into an input file and runs it.
"""
import math
from pathlib import Path

import numpy as np

from . import gridfile
from .tables import frame_or_array

NODE_DTYPE = np.dtype([("node", "i4"), ("bus", "i8"), ("type", "i2"), ("power_mech", "f8"), ("power_diag", "f8"),
                       ("voltage_mag", "f8"), ("voltage_ang", "f8"), ("inertia", "f8"), ("damping", "f8")])
LINE_DTYPE = np.dtype([("from", "i4"), ("to", "i4"), ("coupling", "f8"), ("coupling_angle", "f8"),
                       ("capacity", "f8"), ("admittance", "f8"), ("admittance_angle", "f8")])
NODE_TYPES = {"generator": 0, "load": 1, "condenser": 2}
# Keys of the grid that one value line gives, in the order they are written.
SETTING_KEYS = ("Reference node", "NR precision", "NR solver", "NR start")
FLOW_MEASURES = ("apparent", "active")
CAPACITY_RECORDS = ("unrated", "all")


class GridError(ValueError):
    """A change the grid cannot take (an unknown bus, a missing line, ...)."""


def _number(value):
    return repr(float(value))


class Grid:
    """The nodes and directed line records of a grid.

    ``nodes`` is a structured array with one row per node: ``node`` (index),
    ``bus`` (the case's bus number; the index where none is known), ``type``
    (0 generator, 1 load, 2 synchronous condenser), ``power_mech``,
    ``power_diag``, ``voltage_mag``, ``voltage_ang`` (rad), ``inertia`` (M),
    ``damping`` (D). ``lines`` has one row per directed record i -> j (a
    line is two records): ``from``, ``to`` (node indices), ``coupling`` (K),
    ``coupling_angle`` (phi), ``capacity``, ``admittance``,
    ``admittance_angle``. Both may be changed in place; the methods below
    do the common changes by node type or bus number.

    ``units`` says what the numbers mean: ``system`` "model" (the model's own
    time unit) or "physical" (seconds, rad/s), ``nominal_frequency`` (Hz) and
    ``base_power`` (MVA) where known. ``machine_base`` (MVA per node, 0 where
    a node has no generator) is known for grids made from a case file.

    How lines trip (the cascade, the contingency analysis, the flow
    statistics), each None or False for the program's default:
    ``line_losses_in_diag`` (``Power diag`` holds every record's share of
    the losses, which leaves with a switched-off record; grids from case
    files have it), ``flow_measure`` ("apparent" or "active"),
    ``capacity_factor`` F (the program sets capacity = F × the record's
    flow at its steady state) for the records ``capacity_for`` names
    ("unrated": those without a capacity, the default; "all").
    ``Grid.from_case(..., flow_measure=, capacity_factor=, capacity_for=)``
    sets them as the importer does.
    """

    def __init__(self, nodes, lines, reference=0, units=None, settings=None, bus_numbers_known=None,
                 machine_base=None, suggested_step=None, name="grid"):
        self.nodes = np.array(nodes, dtype=NODE_DTYPE)
        self.lines = np.array(lines, dtype=LINE_DTYPE)
        self.reference = int(reference)
        self.units = {"system": "model", "nominal_frequency": None, "base_power": None, **(units or {})}
        self.settings = dict(settings or {})
        self.bus_numbers_known = bool(bus_numbers_known)
        self.machine_base = None if machine_base is None else np.asarray(machine_base, dtype=float)
        self.suggested_step = suggested_step
        self.name = name
        self.line_losses_in_diag = False
        self.flow_measure = None
        self.capacity_factor = None
        self.capacity_for = None

    # ---- making one ---------------------------------------------------------

    @classmethod
    def from_case(cls, path, **options):
        """The grid of a case file in the MATPOWER format (or of a shipped
        standard case by its name: "case9", "case14", "case30", "case118"), imported with the
        importer's options (``python3 -m tessaly import --help``; names with
        ``_``: ``inertia=(1, 0.1)``, ``damping=...``, ``inertia_h=(5, 1)`` with
        ``frequency=60`` for physical units, ``node_params="h.csv"``,
        ``flow_measure="active"``, ``capacity_factor=1.2`` with
        ``capacity_for="all"``, ...). Run settings among them (``step``,
        ``steps``) become the grid's suggested ones."""
        from .casefile import read_case
        from .import_command import options as import_options
        from .importer import input_file_text
        from .network import build_network
        args = import_options(**options)
        path = case_file(path)
        case = read_case(path)
        network = build_network(case)
        text = input_file_text(network, args, Path(path).name, case)
        grid = cls.from_text(text, name=Path(path).stem)
        grid.machine_base = network.machine_base
        return grid

    @classmethod
    def from_input(cls, path):
        """The grid keys of an input file (``ext`` files relative to it)."""
        grid = cls.from_keys(gridfile.read_grid(path), name=Path(path).stem)
        return grid

    @classmethod
    def from_text(cls, text, directory=".", name="grid"):
        return cls.from_keys(gridfile.parse_grid(text, Path(directory)), name=name)

    @classmethod
    def from_keys(cls, keys, name="grid"):
        n = keys.n
        nodes = np.zeros(n, NODE_DTYPE)
        nodes["node"] = np.arange(n)
        nodes["bus"] = keys.nodes.get("bus", np.arange(n))
        nodes["type"] = keys.nodes.get("type", np.full(n, 255))
        for field in ("power_mech", "power_diag", "voltage_mag", "voltage_ang", "inertia", "damping"):
            if field in keys.nodes:
                nodes[field] = keys.nodes[field]
        lines = np.array([tuple(r[f] for f in LINE_DTYPE.names) for r in keys.records], dtype=LINE_DTYPE)
        settings = {k: v for k, v in keys.settings.items() if k in SETTING_KEYS[1:]}
        units = {"system": keys.settings.get("Unit system", "model"),
                 "nominal_frequency": keys.settings.get("Nominal frequency"),
                 "base_power": keys.settings.get("Base power")}
        step = _value_after(keys.other_lines, "RK stepwidth", float)
        steps = _value_after(keys.other_lines, "RK steps", int)
        grid = cls(nodes, lines, keys.settings.get("Reference node", 0), units, settings, "bus" in keys.nodes,
                   name=name)
        grid.suggested_step = step
        grid.suggested_steps = steps
        grid.line_losses_in_diag = bool(keys.settings.get("Line losses in diag", False))
        grid.flow_measure = _word(keys.settings.get("Flow measure"))
        grid.capacity_factor = keys.settings.get("Capacity from base flow")
        grid.capacity_for = _word(keys.settings.get("Capacity from base flow for"))
        return grid

    @classmethod
    def from_arrays(cls, power_mech, coupling, inertia=1.0, damping=1.0, capacity=None, node_type=None,
                    bus_numbers=None, voltage_mag=1.0, power_diag=0.0, reference=0, name="grid"):
        """A grid from node values (one per node, or one for all) and N×N
        matrices: ``coupling`` K_ij (a non-zero entry i, j makes the record
        i -> j; give both directions of a line) and ``capacity``."""
        power_mech = np.asarray(power_mech, dtype=float)
        n = len(power_mech)
        coupling = np.asarray(coupling, dtype=float)
        if coupling.shape != (n, n):
            raise GridError(f"coupling has the shape {coupling.shape}; {n} nodes need ({n}, {n})")
        nodes = np.zeros(n, NODE_DTYPE)
        nodes["node"] = np.arange(n)
        nodes["bus"] = np.arange(n) if bus_numbers is None else bus_numbers
        nodes["type"] = np.where(power_mech > 0, 0, 1) if node_type is None else node_type
        nodes["power_mech"] = power_mech
        nodes["power_diag"] = power_diag
        nodes["voltage_mag"] = voltage_mag
        nodes["inertia"] = inertia
        nodes["damping"] = damping
        i, j = np.nonzero(coupling * (1 - np.eye(n)))
        lines = np.zeros(len(i), LINE_DTYPE)
        lines["from"], lines["to"], lines["coupling"] = i, j, coupling[i, j]
        lines["capacity"] = np.inf if capacity is None else np.asarray(capacity, dtype=float)[i, j]
        return cls(nodes, lines, reference, bus_numbers_known=bus_numbers is not None, name=name)

    def copy(self):
        other = Grid(self.nodes.copy(), self.lines.copy(), self.reference, dict(self.units), dict(self.settings),
                     self.bus_numbers_known, None if self.machine_base is None else self.machine_base.copy(),
                     self.suggested_step, self.name)
        other.suggested_steps = getattr(self, "suggested_steps", None)
        for rule in ("line_losses_in_diag", "flow_measure", "capacity_factor", "capacity_for"):
            setattr(other, rule, getattr(self, rule))
        return other

    # ---- looking at it ------------------------------------------------------

    @property
    def num_nodes(self):
        return len(self.nodes)

    @property
    def bus_numbers(self):
        """(node,) the case's bus numbers, or None when the grid has none."""
        return self.nodes["bus"].copy() if self.bus_numbers_known else None

    def node_of(self, bus):
        """The node index of a bus number (of a node index where the grid
        has no bus numbers)."""
        found = np.flatnonzero(self.nodes["bus"] == int(bus))
        if not len(found):
            raise GridError(f"the grid has no bus {bus}")
        return int(found[0])

    def nodes_of(self, buses=None, node_type=None):
        """Node indices: of the given bus numbers, of a node type
        ("generator", "load", "condenser" or its number), or both; every
        node when neither is given."""
        chosen = np.ones(self.num_nodes, dtype=bool)
        if buses is not None:
            buses = [buses] if np.isscalar(buses) else list(buses)
            chosen &= np.isin(np.arange(self.num_nodes), [self.node_of(b) for b in buses])
        if node_type is not None:
            code = NODE_TYPES.get(node_type, node_type)
            if code not in (0, 1, 2, 255):
                raise GridError(f"node type {node_type!r}: allowed {', '.join(NODE_TYPES)} or 0, 1, 2")
            chosen &= self.nodes["type"] == code
        return np.flatnonzero(chosen)

    def records_between(self, bus_a, bus_b):
        """Indices into ``lines`` of both records of the line between two buses."""
        a, b = self.node_of(bus_a), self.node_of(bus_b)
        found = np.flatnonzero(((self.lines["from"] == a) & (self.lines["to"] == b))
                               | ((self.lines["from"] == b) & (self.lines["to"] == a)))
        if not len(found):
            raise GridError(f"there is no line between bus {bus_a} and bus {bus_b}")
        return found

    def node_table(self):
        """The nodes as a pandas DataFrame (a structured array without pandas)."""
        return frame_or_array(self.nodes)

    def line_table(self):
        """The line records with the bus numbers of their ends (``from_bus``,
        ``to_bus``), as a pandas DataFrame (a structured array without pandas)."""
        table = np.zeros(len(self.lines), self.lines.dtype.descr + [("from_bus", "i8"), ("to_bus", "i8")])
        for name in self.lines.dtype.names:
            table[name] = self.lines[name]
        table["from_bus"] = self.nodes["bus"][self.lines["from"]]
        table["to_bus"] = self.nodes["bus"][self.lines["to"]]
        return frame_or_array(table)

    def __repr__(self):
        generators = int(np.sum(self.nodes["type"] == 0))
        return (f"<Grid {self.name!r}: {self.num_nodes} nodes ({generators} generators), {len(self.lines) // 2} "
                f"lines, {self.units['system']} units>")

    # ---- changing it --------------------------------------------------------

    def scale_capacity(self, factor, between=None):
        """Multiplies the capacity of every line, or of the line between the
        buses ``between=(a, b)`` (both its records), by ``factor``."""
        chosen = slice(None) if between is None else self.records_between(*between)
        self.lines["capacity"][chosen] *= factor
        return self

    def set_capacity(self, value, between):
        """Sets the capacity of the line between the buses ``between=(a, b)``."""
        self.lines["capacity"][self.records_between(*between)] = value
        return self

    def set_inertia(self, value, buses=None, node_type=None):
        """Sets the inertia M (in the grid's units) of the nodes chosen as in
        :meth:`nodes_of` (every node when neither is given)."""
        self.nodes["inertia"][self.nodes_of(buses, node_type)] = value
        return self

    def set_inertia_constant(self, h, buses=None, node_type=None):
        """Sets the inertia from the inertia constant H (s) of the chosen
        nodes: M = 2 H S / (2 pi f S_base), with S the MBASE of the node's
        generators (S_base where it has none or where it is not known). Needs
        a grid in physical units."""
        if self.units["system"] != "physical":
            raise GridError("inertia constants need a grid in physical units (from_case with inertia_h and "
                            "frequency)")
        chosen = self.nodes_of(buses, node_type)
        base = self.units["base_power"]
        rating = np.full(self.num_nodes, base) if self.machine_base is None else \
            np.where(self.machine_base > 0, self.machine_base, base)
        omega = 2 * math.pi * self.units["nominal_frequency"]
        self.nodes["inertia"][chosen] = 2 * np.asarray(h, dtype=float) * rating[chosen] / (omega * base)
        return self

    def set_damping(self, value, buses=None, node_type=None):
        """Sets the damping D (in the grid's units) of the chosen nodes."""
        self.nodes["damping"][self.nodes_of(buses, node_type)] = value
        return self

    # ---- writing it ---------------------------------------------------------

    def input_lines(self):
        """The grid's keys of an input file, every number at full precision."""
        nodes = self.nodes
        lines = ["Number of nodes", str(self.num_nodes)]
        if self.bus_numbers_known:
            lines += ["Bus numbers", " ".join(str(int(b)) for b in nodes["bus"])]
        if self.units["system"] != "model" or self.units["base_power"]:
            lines += ["Unit system", self.units["system"]]
        if self.units["nominal_frequency"]:
            lines += ["Nominal frequency", _number(self.units["nominal_frequency"])]
        if self.units["base_power"]:
            lines += ["Base power", _number(self.units["base_power"])]
        lines += ["Node type", " ".join(str(int(t)) for t in nodes["type"])]
        for key, field in (("Power mech", "power_mech"), ("Power diag", "power_diag"), ("Voltage mag", "voltage_mag"),
                           ("Voltage ang", "voltage_ang"), ("Inertia", "inertia"), ("Damping", "damping")):
            lines += [key, " ".join(_number(v) for v in nodes[field])]
        lines += ["Reference node", str(self.reference)]
        for key in SETTING_KEYS[1:]:
            if key in self.settings:
                value = self.settings[key]
                lines += [key, value if isinstance(value, str) else _number(value)]
        lines += _line_rule_lines(self)
        if len(self.lines):
            lines.append("Line list")
            for row in self.lines:
                lines.append(f"{int(row['from'])} {int(row['to'])} " + " ".join(
                    _number(row[f]) for f in ("coupling", "coupling_angle", "capacity", "admittance",
                                              "admittance_angle")))
        return lines


def _word(value):
    return value.strip() if isinstance(value, str) else value


def _line_rule_lines(grid):
    lines = ["Line losses in diag"] if grid.line_losses_in_diag else []
    if grid.flow_measure is not None:
        if grid.flow_measure not in FLOW_MEASURES:
            raise GridError(f"flow_measure {grid.flow_measure!r}: allowed {', '.join(FLOW_MEASURES)}")
        lines += ["Flow measure", grid.flow_measure]
    if grid.capacity_factor is not None:
        factor = float(grid.capacity_factor)
        if not (factor > 0 and math.isfinite(factor)):
            raise GridError(f"capacity_factor {grid.capacity_factor!r}: give a positive finite factor")
        lines += ["Capacity from base flow", _number(factor)]
    if grid.capacity_for is not None:
        if grid.capacity_for not in CAPACITY_RECORDS:
            raise GridError(f"capacity_for {grid.capacity_for!r}: allowed {', '.join(CAPACITY_RECORDS)}")
        lines += ["Capacity from base flow for", grid.capacity_for]
    return lines


def case_file(path):
    """``path``, or the shipped standard case of that name."""
    path = Path(path)
    shipped = Path(__file__).resolve().parent / "cases" / f"{path.name}.m"
    if not path.exists() and not path.suffix and shipped.is_file():
        return shipped
    return path


def _value_after(lines, key, kind):
    """The value of a one-line key among ``lines``, or None."""
    for k, line in enumerate(lines[:-1]):
        if line == key:
            numbers = gridfile.leading_numbers(lines[k + 1])
            return kind(numbers[0]) if numbers else None
    return None
