"""Reader of power-flow case files in the MATPOWER format.

A case file is a MATLAB function that fills a struct: ``mpc.baseMVA = 100;``
and matrices such as ``mpc.bus = [ ... ];`` whose rows end with ``;`` or a
line end and whose values are separated by blanks or commas. ``%`` starts a
comment. The older form without the ``mpc.`` prefix is read as well. Fields
other than baseMVA, bus, gen, branch and the optional dcline (cost data, bus
names in ``{...}`` cell arrays) are passed over.
"""
import re
from dataclasses import dataclass, field

import numpy as np

# Column indices (0-based) of the tables, as in the format's documentation.
BUS_I, BUS_TYPE, PD, QD, GS, BS, BUS_AREA, VM, VA = range(9)
GEN_BUS, PG, QG, QMAX, QMIN, VG, MBASE, GEN_STATUS = range(8)
F_BUS, T_BUS, BR_R, BR_X, BR_B, RATE_A, RATE_B, RATE_C, TAP, SHIFT, BR_STATUS = range(11)
# DC lines: flows PF (into the line at the from bus) and PT (out of it at the
# to bus) in MW, both counted from -> to; loss = LOSS0 + LOSS1 * PF.
(DC_F_BUS, DC_T_BUS, DC_STATUS, DC_PF, DC_PT, DC_QF, DC_QT, DC_VF, DC_VT, DC_PMIN, DC_PMAX,
 DC_QMINF, DC_QMAXF, DC_QMINT, DC_QMAXT, DC_LOSS0, DC_LOSS1) = range(17)

# Bus types.
PQ, PV, REF, ISOLATED = 1, 2, 3, 4

MIN_COLUMNS = {"bus": VA + 1, "gen": GEN_STATUS + 1, "branch": BR_STATUS + 1, "dcline": DC_LOSS1 + 1}


class CaseFormatError(ValueError):
    """The file is not a case file this reader understands."""


@dataclass
class Case:
    base_mva: float
    bus: np.ndarray
    gen: np.ndarray
    branch: np.ndarray
    dcline: np.ndarray = field(default_factory=lambda: np.zeros((0, MIN_COLUMNS["dcline"])))


_ASSIGNMENT = re.compile(r"(?:\b[A-Za-z_]\w*\.)?\b(baseMVA|bus|gen|branch|dcline)\s*=\s*")


def _strip_comments(text):
    """Drops every ``%`` comment; a ``%`` inside a quoted string is kept."""
    lines = []
    for line in text.splitlines():
        in_string = False
        for pos, char in enumerate(line):
            if char == "'":
                in_string = not in_string
            elif char == "%" and not in_string:
                line = line[:pos]
                break
        lines.append(line)
    return "\n".join(lines)


def _parse_matrix(name, body):
    rows = []
    for row_text in re.split(r"[;\n]", body):
        fields = [f for f in re.split(r"[\s,]+", row_text.strip()) if f]
        if not fields:
            continue
        try:
            rows.append([float(f) for f in fields])
        except ValueError as error:
            raise CaseFormatError(f"{name} row {len(rows) + 1}: {error}") from None
    if not rows:
        return np.zeros((0, MIN_COLUMNS[name]))
    width = len(rows[0])
    for number, row in enumerate(rows, start=1):
        if len(row) != width:
            raise CaseFormatError(f"{name} row {number} has {len(row)} values, row 1 has {width}")
    if width < MIN_COLUMNS[name]:
        raise CaseFormatError(f"{name} has {width} columns, at least {MIN_COLUMNS[name]} are needed")
    return np.array(rows, dtype=float)


def parse_case(text):
    """The case held in ``text`` (the contents of a case file)."""
    text = _strip_comments(text)
    fields = {}
    for match in _ASSIGNMENT.finditer(text):
        name, start = match.group(1), match.end()
        if name == "baseMVA":
            end = text.find(";", start)
            value = text[start:end if end >= 0 else len(text)].strip()
            try:
                fields[name] = float(value)
            except ValueError:
                raise CaseFormatError(f"baseMVA is {value!r}, not a number") from None
        elif text.startswith("[", start):
            end = text.find("]", start)
            if end < 0:
                raise CaseFormatError(f"the matrix {name} has no closing ']'")
            fields[name] = _parse_matrix(name, text[start + 1:end])
    missing = [name for name in ("baseMVA", "bus", "gen", "branch") if name not in fields]
    if missing:
        raise CaseFormatError("no " + ", ".join(missing) + " in the file")
    if not fields["baseMVA"] > 0:
        raise CaseFormatError(f"baseMVA is {fields['baseMVA']}, it must be positive")
    case = Case(fields["baseMVA"], fields["bus"], fields["gen"], fields["branch"])
    if "dcline" in fields:
        case.dcline = fields["dcline"]
    return case


def read_case(path):
    with open(path, encoding="utf-8", errors="replace") as handle:
        return parse_case(handle.read())
