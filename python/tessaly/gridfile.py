"""The lines of a grid, read from a run's input file: what the plots need
that the run manifest does not record (which nodes are coupled, how strongly,
and each line's capacity).

Only the keys that make and size line records are read, with the program's
rules: the input ends at its first empty line, "//" starts a comment, a key
line matches exactly; "Number of nodes" starts an empty grid; a non-zero
"Coupling mag" entry i, j (inline: the N lines after the key; "Coupling mag
ext": the file named on the next line, up to its first empty line) creates or
updates the record i -> j; every "Line list" row ``from to K phi [cap [Y a]]``
(rows up to the first line without a leading number) creates or updates its
record; "Line capacity" sets the capacity of the records that exist.
"""
import re
from pathlib import Path

import numpy as np

LINE_DTYPE = np.dtype([("from", "i4"), ("to", "i4"), ("coupling", "f8"), ("capacity", "f8")])
_NUMBER = re.compile(r"\s*([-+]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|inf(?:inity)?|nan))", re.IGNORECASE)


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


def read_lines(path, directory=None):
    """(N, records): the node count and the line records of the input file
    ``path``, records as a structured array (from, to, coupling, capacity) in
    the order the program creates them. ``ext`` files are read relative to
    ``directory`` (default: the input file's directory)."""
    path = Path(path)
    directory = Path(directory) if directory is not None else path.parent
    try:
        lines = path.read_text(encoding="utf-8", errors="replace").split("\n")
    except OSError as error:
        raise GridFileError(f"cannot read the run's input file {path}: {error.strerror}") from None
    end = lines.index("") if "" in lines else len(lines)
    lines = lines[:end]
    n, records = None, {}

    def matrix_entries(rows):
        for i, row in enumerate(rows[:n]):
            for j, value in enumerate(row[:n]):
                yield i, j, value

    k = 0
    while k < len(lines):
        key = lines[k]
        k += 1
        if key == "Number of nodes":
            n = int(leading_numbers(lines[k])[0]) if k < len(lines) and leading_numbers(lines[k]) else 0
            records = {}
            k += 1
        elif n is None:
            continue
        elif key in ("Coupling mag", "Coupling mag ext", "Line capacity"):
            if key == "Coupling mag ext":
                rows = _file_matrix(directory / lines[k].strip()) if k < len(lines) else []
                k += 1
            else:
                rows = [leading_numbers(line) for line in lines[k:k + n]]
                k += n
            for i, j, value in matrix_entries(rows):
                if key == "Line capacity":
                    if (i, j) in records:
                        records[i, j][3] = value
                elif value != 0 and i != j:
                    records.setdefault((i, j), [i, j, 0.0, 0.0])[2] = value
        elif key == "Line list":
            while k < len(lines) and leading_numbers(lines[k]):
                row = leading_numbers(lines[k])
                record = records.setdefault((int(row[0]), int(row[1])), [int(row[0]), int(row[1]), 0.0, 0.0])
                record[2] = row[2]
                if len(row) >= 5:
                    record[3] = row[4]
                k += 1
    if n is None:
        raise GridFileError(f"{path} holds no \"Number of nodes\"")
    # The program keeps each node's records together, in creation order.
    ordered = sorted(records.values(), key=lambda r: r[0])
    return n, np.array([tuple(r) for r in ordered], dtype=LINE_DTYPE)


def _file_matrix(path):
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        raise GridFileError(f"cannot read the matrix file {path}: {error.strerror}") from None
    rows = text.split("\n")
    return [leading_numbers(line) for line in rows[:rows.index("") if "" in rows else len(rows)]]
