"""A case turned into tessaly's grid model.

The bus admittance matrix follows the standard branch model: series
admittance y = 1/(r + jx), line charging b split between both ends, and an
ideal transformer with tap ratio t (0 in the file means 1) and phase shift s
at the from end, tau = t e^(js):

    Y_ff += (y + jb/2) / t^2    Y_ft += -y / conj(tau)
    Y_tt += y + jb/2            Y_tf += -y / tau

plus the bus shunts (GS + jBS) / baseMVA on the diagonal. The AC active power
balance of node i at fixed voltage magnitudes V then reads

    P_i = V_i^2 Re(Y_ii) + sum_j V_i V_j |Y_ij| sin(theta_i - theta_j - phi_ij),
    phi_ij = arg(Y_ij) - pi/2,

which is tessaly's power balance with the coupling K_ij = V_i V_j |Y_ij|, the
coupling angle phi_ij, the diagonal power V_i^2 Re(Y_ii) and the mechanical
power (sum of the bus's generation - its demand) / baseMVA.

The flow measure of the record i->j is |V_i^2 A* - K_ij e^(j(theta_i - theta_j - arg A))|
with A the record's flow admittance: the series admittance as seen from i
(y / t^2 at the from end, y at the to end), summed over parallel branches.
This is the apparent power entering the series element at i, line charging
aside. It is exact for every branch without phase shift; for a phase shifter
the measure misses the shift angle, and parallel branches with different taps
are merged into one approximate record.

Every magnitude, angle and sine comes from :mod:`tessaly.exactmath`, so the
numbers are the same bits on every CPU.
"""
import math
import sys
from collections import Counter
from dataclasses import dataclass

import numpy as np

from . import exactmath
from .casefile import (BR_B, BR_R, BR_STATUS, BR_X, BS, BUS_I, BUS_TYPE, F_BUS, GEN_BUS, GEN_STATUS, GS,
                       ISOLATED, PD, PG, RATE_A, REF, SHIFT, T_BUS, TAP, VA, VM, CaseFormatError)

GENERATOR, LOAD = 0, 1


def warn(message):
    print(f"tessaly import: warning: {message}", file=sys.stderr)


@dataclass
class Branches:
    """In-service branches between kept buses, as node indices."""
    f: np.ndarray
    t: np.ndarray
    y: np.ndarray         # series admittance
    b: np.ndarray         # total line charging
    tap: np.ndarray       # tap ratio t
    tau: np.ndarray       # complex tap t e^(js)
    rating: np.ndarray    # RATE_A in per unit; inf when the case gives 0 (unlimited)


@dataclass
class Network:
    base_mva: float
    bus_numbers: np.ndarray   # case bus number of node k
    vm: np.ndarray
    va: np.ndarray            # radians, reference bus at 0
    node_type: np.ndarray
    ref: int
    power_mech: np.ndarray
    power_diag: np.ndarray
    y_diag: np.ndarray        # Y_ii
    # Directed line records, sorted by (from, to).
    rec_from: np.ndarray
    rec_to: np.ndarray
    y_offdiag: np.ndarray     # Y_ij of the record i->j
    flow_admittance: np.ndarray
    capacity: np.ndarray
    coupling_mag: np.ndarray   # K_ij of the record i->j
    coupling_ang: np.ndarray   # phi_ij
    flow_mag: np.ndarray       # |flow admittance|
    flow_ang: np.ndarray       # its angle

    @property
    def num_nodes(self):
        return len(self.bus_numbers)


def _kept_buses(case):
    """Node index of every bus number; isolated buses are left out."""
    numbers = case.bus[:, BUS_I].astype(int)
    if len(set(numbers.tolist())) != len(numbers):
        raise CaseFormatError("the bus table names a bus number twice")
    isolated = case.bus[:, BUS_TYPE] == ISOLATED
    if isolated.any():
        warn(f"{int(isolated.sum())} isolated bus(es) left out: " + " ".join(str(n) for n in numbers[isolated]))
    kept = np.flatnonzero(~isolated)
    return kept, {int(numbers[k]): node for node, k in enumerate(kept)}, set(numbers[isolated].tolist())


def _node_of(bus, index_of, isolated, what):
    if bus in index_of:
        return index_of[bus]
    if bus in isolated:
        return None
    raise CaseFormatError(f"{what} names bus {bus}, which is not in the bus table")


def _branches(case, index_of, isolated):
    rows, f, t = [], [], []
    for row, data in enumerate(case.branch, start=1):
        if data[BR_STATUS] <= 0:
            continue
        ends = [_node_of(int(data[col]), index_of, isolated, f"branch row {row}") for col in (F_BUS, T_BUS)]
        if None in ends:
            warn(f"branch row {row} ({int(data[F_BUS])}-{int(data[T_BUS])}) ends at an isolated bus; left out")
            continue
        if ends[0] == ends[1]:
            raise CaseFormatError(f"branch row {row} connects bus {int(data[F_BUS])} to itself")
        if data[BR_R] == 0 and data[BR_X] == 0:
            raise CaseFormatError(f"branch row {row} has zero impedance")
        if data[RATE_A] < 0:
            raise CaseFormatError(f"branch row {row} has the negative rating RATE_A {data[RATE_A]}")
        rows.append(row)
        f.append(ends[0])
        t.append(ends[1])
    data = case.branch[np.array(rows, dtype=int) - 1] if rows else np.zeros((0, case.branch.shape[1]))
    tap = np.where(data[:, TAP] == 0, 1.0, data[:, TAP])
    shift = np.radians(data[:, SHIFT])
    rate = data[:, RATE_A] / case.base_mva
    return Branches(f=np.array(f, dtype=int), t=np.array(t, dtype=int),
                    y=1 / (data[:, BR_R] + 1j * data[:, BR_X]), b=data[:, BR_B].copy(), tap=tap,
                    tau=tap * exactmath.cosines(shift) + 1j * (tap * exactmath.sines(shift)),
                    rating=np.where(rate == 0, np.inf, rate))


def _records(n, br):
    """Directed records of the branches, merged over parallel branches and
    sorted by (from, to): Y_ij, flow admittance and capacity of each."""
    frm = np.concatenate([br.f, br.t])
    to = np.concatenate([br.t, br.f])
    y_ij = np.concatenate([-br.y / np.conj(br.tau), -br.y / br.tau])
    flow = np.concatenate([br.y / br.tap ** 2, br.y])
    rating = np.concatenate([br.rating, br.rating])
    keys, inverse = np.unique(frm * n + to, return_inverse=True)
    merged_y = np.zeros(len(keys), dtype=complex)
    merged_flow = np.zeros(len(keys), dtype=complex)
    capacity = np.zeros(len(keys))
    np.add.at(merged_y, inverse, y_ij)
    np.add.at(merged_flow, inverse, flow)
    np.add.at(capacity, inverse, rating)
    return keys // n, keys % n, merged_y, merged_flow, capacity


def _warn_flow_approximations(rec_from, rec_to, y_offdiag, flow_admittance, bus_numbers):
    """The flow measure is exact where -Y_ij and the flow admittance share
    their angle: everywhere but at phase shifters and at parallel branches
    with different taps."""
    off = np.abs(exactmath.angles(-y_offdiag * np.conj(flow_admittance))) > 1e-9
    pairs = sorted({(int(bus_numbers[min(a, b)]), int(bus_numbers[max(a, b)]))
                    for a, b in zip(rec_from[off], rec_to[off])})
    if pairs:
        warn("the flow measure of the line(s) " + " ".join(f"{a}-{b}" for a, b in pairs)
             + " is approximate (phase shift, or parallel branches with different taps)")


def _warn_islands(n, rec_from, rec_to, bus_numbers):
    parent = list(range(n))

    def root(k):
        while parent[k] != k:
            parent[k] = parent[parent[k]]
            k = parent[k]
        return k

    for a, b in zip(rec_from.tolist(), rec_to.tolist()):
        parent[root(a)] = root(b)
    island = [root(k) for k in range(n)]
    sizes = Counter(island)
    if len(sizes) > 1:
        main = sizes.most_common(1)[0][0]
        apart = [str(bus_numbers[k]) for k in range(n) if island[k] != main]
        warn(f"the grid falls apart into {len(sizes)} islands; the power flow needs one. Buses apart from the "
             f"largest island: {' '.join(apart[:20])}{' ...' if len(apart) > 20 else ''}")


def build_network(case):
    kept, index_of, isolated = _kept_buses(case)
    bus = case.bus[kept]
    n = len(kept)
    if n == 0:
        raise CaseFormatError("no bus left")

    refs = np.flatnonzero(bus[:, BUS_TYPE] == REF)
    if len(refs) == 0:
        raise CaseFormatError("no reference bus (type 3)")
    if len(refs) > 1:
        warn("several reference buses; bus " + str(int(bus[refs[0], BUS_I])) + " is the reference node")
    ref = int(refs[0])

    generation = np.zeros(n)
    has_generator = np.zeros(n, dtype=bool)
    for row, data in enumerate(case.gen, start=1):
        if data[GEN_STATUS] <= 0:
            continue
        node = _node_of(int(data[GEN_BUS]), index_of, isolated, f"generator row {row}")
        if node is not None:
            generation[node] += data[PG]
            has_generator[node] = True

    br = _branches(case, index_of, isolated)
    charging = 0.5j * br.b
    y_diag = (bus[:, GS] + 1j * bus[:, BS]) / case.base_mva
    np.add.at(y_diag, br.f, (br.y + charging) / br.tap ** 2)
    np.add.at(y_diag, br.t, br.y + charging)
    rec_from, rec_to, y_offdiag, flow_admittance, capacity = _records(n, br)

    vm = bus[:, VM].copy()
    va = np.radians(bus[:, VA] - bus[ref, VA])
    node_type = np.where(has_generator | (np.arange(n) == ref), GENERATOR, LOAD)
    numbers = bus[:, BUS_I].astype(int)
    _warn_flow_approximations(rec_from, rec_to, y_offdiag, flow_admittance, numbers)
    _warn_islands(n, rec_from, rec_to, numbers)
    return Network(base_mva=case.base_mva, bus_numbers=numbers, vm=vm, va=va, node_type=node_type, ref=ref,
                   power_mech=(generation - bus[:, PD]) / case.base_mva, power_diag=vm ** 2 * y_diag.real,
                   y_diag=y_diag, rec_from=rec_from, rec_to=rec_to, y_offdiag=y_offdiag,
                   flow_admittance=flow_admittance, capacity=capacity,
                   coupling_mag=vm[rec_from] * vm[rec_to] * exactmath.magnitudes(y_offdiag),
                   coupling_ang=exactmath.angles(y_offdiag) - math.pi / 2,
                   flow_mag=exactmath.magnitudes(flow_admittance), flow_ang=exactmath.angles(flow_admittance))
