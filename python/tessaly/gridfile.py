"""The grid of a run's input file, read with the program's rules: what the
plots and :class:`tessaly.grid.Grid` need that the run manifest does not
record (node values, which nodes are coupled, how strongly, each line's
capacity).

The rules: the input ends at its first empty line, "//" starts a comment, a
key line matches exactly; "Number of nodes" starts an empty grid; a node
list is one number for every node or one per node; a non-zero "Coupling
mag" (or "Admittance mag") entry i, j (inline: the N lines after the key;
"... ext": the file named on the next line, up to its first empty line)
creates or updates the record i -> j; every "Line list" row
``from to K phi [cap [Y a]]`` (rows up to the first line without a leading
number) creates or updates its record; "Coupling ang", "Admittance ang" and
"Line capacity" set the values of the records that exist; the one-value
settings and the switch "Line losses in diag" are kept by name. Lines that
no grid key takes are kept, in order, as the rest of the input.
"""
import re
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

LINE_DTYPE = np.dtype([("from", "i4"), ("to", "i4"), ("coupling", "f8"), ("capacity", "f8")])
_NUMBER = re.compile(r"\s*([-+]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|inf(?:inity)?|nan))", re.IGNORECASE)

# Node lists: key -> field of the node table.
NODE_LISTS = {"Power mech": "power_mech", "Power diag": "power_diag", "Voltage mag": "voltage_mag",
              "Voltage ang": "voltage_ang", "Damping": "damping", "Inertia": "inertia"}
NODE_LISTS_EXT = {"Power mech ext": "power_mech", "Power diag ext": "power_diag",
                  "Voltage mag ext": "voltage_mag", "Voltage ang ext": "voltage_ang"}
# Matrices: key -> (record field, whether a non-zero entry creates the record).
MATRICES = {"Coupling mag": ("coupling", True), "Coupling ang": ("coupling_angle", False),
            "Admittance mag": ("admittance", True), "Admittance ang": ("admittance_angle", False),
            "Line capacity": ("capacity", False)}
MATRICES_EXT = {"Coupling mag ext": ("coupling", True), "Coupling ang ext": ("coupling_angle", False)}
RECORD_FIELDS = ("coupling", "coupling_angle", "capacity", "admittance", "admittance_angle")
# Keys of one value line.
SETTINGS = {"Reference node": int, "NR precision": float, "NR solver": str, "NR start": str, "NRIC": int,
            "Unit system": str, "Nominal frequency": float, "Base power": float, "Flow measure": str,
            "Capacity from base flow": float, "Capacity from base flow for": str}
# Switch keys of the grid (no value line): True in the settings when given.
SWITCHES = ("Line losses in diag",)


class GridFileError(ValueError):
    """The input file cannot be read or holds no grid."""


def leading_numbers(text):
    """The numbers at the start of a line, up to the first thing that is none."""
    values, position = [], 0
    while True:
        match = _NUMBER.match(text, position)
        if not match:
            return values
        values.append(float(match.group(1)))
        position = match.end()


@dataclass
class GridKeys:
    """The grid keys of an input file: node values (None where not given),
    the line records in the program's order (each a dict of the record
    fields with ``from`` and ``to``), the single-value settings, and the
    lines that are no grid keys."""
    n: int
    nodes: dict
    records: list
    settings: dict
    other_lines: list = field(default_factory=list)


def read_grid(path, directory=None):
    """The :class:`GridKeys` of the input file ``path``; ``ext`` files are
    read relative to ``directory`` (default: the input file's directory)."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        raise GridFileError(f"cannot read the run's input file {path}: {error.strerror}") from None
    return parse_grid(text, Path(directory) if directory is not None else path.parent, str(path))


def parse_grid(text, directory=Path("."), name="the input"):
    lines = text.replace("\r\n", "\n").split("\n")
    end = lines.index("") if "" in lines else len(lines)
    lines = lines[:end]
    n, nodes, records, settings, other = None, {}, {}, {}, []

    def node_list(values, key):
        if len(values) == 1:
            return np.full(n, values[0])
        if len(values) < n:
            raise GridFileError(f"{name}: {key!r} has {len(values)} values for {n} nodes")
        return np.array(values[:n], dtype=float)

    def record(i, j):
        return records.setdefault((i, j), {"from": i, "to": j, **{f: 0.0 for f in RECORD_FIELDS}})

    k = 0
    while k < len(lines):
        key = lines[k]
        k += 1
        value_line = lines[k] if k < len(lines) else ""
        if key == "Number of nodes":
            numbers = leading_numbers(value_line)
            n = int(numbers[0]) if numbers else 0
            nodes, records = {}, {}
            k += 1
        elif n is None or key.startswith("//"):
            other.append(key)
        elif key in NODE_LISTS or key in NODE_LISTS_EXT:
            values = leading_numbers(value_line) if key in NODE_LISTS else _file_rows(directory / value_line.strip())[0]
            nodes[NODE_LISTS.get(key) or NODE_LISTS_EXT[key]] = node_list(values, key)
            k += 1
        elif key in ("Node type", "Bus numbers"):
            nodes["type" if key == "Node type" else "bus"] = node_list(leading_numbers(value_line), key).astype(
                np.int64)
            k += 1
        elif key in MATRICES or key in MATRICES_EXT:
            if key in MATRICES_EXT:
                rows = _file_rows(directory / value_line.strip())
                k += 1
            else:
                rows = [leading_numbers(line) for line in lines[k:k + n]]
                k += n
            name_of_field, creates = (MATRICES.get(key) or MATRICES_EXT[key])
            for i, row in enumerate(rows[:n]):
                for j, value in enumerate(row[:n]):
                    if i == j:
                        continue
                    if creates and value != 0:
                        record(i, j)[name_of_field] = value
                    elif not creates and (i, j) in records:
                        records[i, j][name_of_field] = value
        elif key == "Line list":
            while k < len(lines) and leading_numbers(lines[k]):
                row = leading_numbers(lines[k])
                entry = record(int(row[0]), int(row[1]))
                entry["coupling"], entry["coupling_angle"] = row[2], row[3]
                if len(row) >= 5:
                    entry["capacity"] = row[4]
                if len(row) >= 7:
                    entry["admittance"], entry["admittance_angle"] = row[5], row[6]
                k += 1
        elif key in SWITCHES:
            settings[key] = True
        elif key in SETTINGS:
            kind = SETTINGS[key]
            numbers = leading_numbers(value_line)
            settings[key] = value_line if kind is str else kind(numbers[0]) if numbers else kind(0)
            k += 1
        else:
            other.append(key)
    if n is None:
        raise GridFileError(f"{name} holds no \"Number of nodes\"")
    # The program keeps each node's records together, in creation order.
    ordered = sorted(records.values(), key=lambda r: r["from"])
    return GridKeys(n, nodes, ordered, settings, other)


def read_lines(path, directory=None):
    """(N, records): the node count and the line records of the input file
    ``path``, records as a structured array (from, to, coupling, capacity) in
    the order the program creates them. ``ext`` files are read relative to
    ``directory`` (default: the input file's directory)."""
    grid = read_grid(path, directory)
    return grid.n, np.array([(r["from"], r["to"], r["coupling"], r["capacity"]) for r in grid.records],
                            dtype=LINE_DTYPE)


def _file_rows(path):
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        raise GridFileError(f"cannot read the matrix file {path}: {error.strerror}") from None
    rows = text.replace("\r\n", "\n").split("\n")
    return [leading_numbers(line) for line in rows[:rows.index("") if "" in rows else len(rows)]]
