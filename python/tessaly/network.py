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

A DC line of the case's dcline table is the constant transfer the case
format's power flow makes of it: its flow PF leaves the AC grid at the from
bus and PT = PF - (LOSS0 + LOSS1 PF) enters it at the to bus, so both ends
add to the buses' mechanical power. The stored PT column is an output of
that power flow and is not used (a warning says when it disagrees); the
converters' reactive power and limits are not modelled, as reactive power
is nowhere in this model, nor are their voltage setpoints (the bus table's
VM stays the voltage).

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
from .casefile import (BR_B, BR_R, BR_STATUS, BR_X, BS, BUS_I, BUS_TYPE, DC_F_BUS, DC_LOSS0, DC_LOSS1, DC_PF,
                       DC_PT, DC_STATUS, DC_T_BUS, DC_VF, DC_VT, F_BUS, GEN_BUS, GEN_STATUS, GS, ISOLATED, MBASE, PD, PG,
                       RATE_A, REF, SHIFT, T_BUS, TAP, VA, VM, CaseFormatError)

GENERATOR, LOAD = 0, 1

# Largest active-power mismatch (per unit) of the stored angles that still
# counts as a solved power flow. Case files keep few digits: the IEEE 118-bus
# case, with VA to 0.01 degree and VM to 0.001, leaves 0.072 p.u. at bus 30,
# and its exact solution rounded to those digits alone leaves up to 0.035
# p.u. (a bus there couples 390 p.u., so 0.005 degree is 0.034 p.u.).
# Angles that belong to other powers leave tenths to whole units (0.39 p.u.
# in the flat start of the 30-bus case, 1.63 in the 9-bus one).
SOLVED_MISMATCH = 0.1
# |stored PT - (PF - loss)| in MW below which the stored PT agrees: above
# the rounding of the few decimals case files keep.
PT_AGREEMENT_MW = 1e-3
# |VF - VM| below which a converter's voltage setpoint is the bus's voltage.
SETPOINT_AGREEMENT = 1e-6


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
class DcLine:
    """An in-service DC line of the case, in MW."""
    row: int              # row of the dcline table, from 1
    from_bus: int
    to_bus: int
    pf: float             # leaves the AC grid at from_bus
    loss: float           # LOSS0 + LOSS1 * PF
    pt: float             # enters it at to_bus: PF - loss


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
    dc_lines: list             # DcLine of every DC line modelled
    dc_lines_out: int          # rows of the dcline table out of service
    # Active-power mismatch of every node at the stored VM and VA (0 at the
    # reference node, whose power is the power flow's slack).
    stored_mismatch: np.ndarray
    # MVA rating of every node's machines: the MBASE of its in-service
    # generators summed (a generator with MBASE 0 counts baseMVA, as the case
    # format defaults it); 0 at nodes without a generator.
    machine_base: np.ndarray = None

    @property
    def num_nodes(self):
        return len(self.bus_numbers)

    @property
    def worst_stored_mismatch(self):
        """|mismatch| and bus number of the node where the stored angles miss most."""
        worst = int(np.argmax(np.abs(self.stored_mismatch)))
        return float(abs(self.stored_mismatch[worst])), int(self.bus_numbers[worst])

    @property
    def stored_angles_solved(self):
        return self.worst_stored_mismatch[0] <= SOLVED_MISMATCH

    @property
    def flat_start(self):
        """Every bus stores the same angle: no power-flow solution."""
        return bool(np.all(self.va == 0))


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


def _dc_lines(case, index_of, isolated):
    """The in-service DC lines between kept buses, their node indices, and
    the number of rows out of service."""
    lines, ends, out = [], [], 0
    for row, data in enumerate(case.dcline, start=1):
        if data[DC_STATUS] <= 0:
            out += 1
            continue
        buses = int(data[DC_F_BUS]), int(data[DC_T_BUS])
        nodes = [_node_of(bus, index_of, isolated, f"dcline row {row}") for bus in buses]
        pf = float(data[DC_PF])
        loss = float(data[DC_LOSS0] + data[DC_LOSS1] * data[DC_PF])
        if None in nodes:
            warn(f"DC line row {row} ({buses[0]}-{buses[1]}) ends at an isolated bus; left out, with its "
                 f"{pf:g} MW")
            continue
        if nodes[0] == nodes[1]:
            raise CaseFormatError(f"dcline row {row} connects bus {buses[0]} to itself")
        line = DcLine(row=row, from_bus=buses[0], to_bus=buses[1], pf=pf, loss=loss, pt=pf - loss)
        if abs(data[DC_PT] - line.pt) > PT_AGREEMENT_MW:
            warn(f"DC line row {row} ({buses[0]}-{buses[1]}) stores PT {data[DC_PT]:g} MW, but PF - loss is "
                 f"{line.pt:g} MW; PF - loss is used, as the case format's power flow does")
        lines.append(line)
        ends.append(nodes)
    return lines, ends, out


def _warn_dc_setpoints(case, lines, ends, vm):
    """The converters hold VF and VT in the case format's power flow; here
    the bus table's VM stays the voltage."""
    differing = []
    for line, nodes in zip(lines, ends):
        data = case.dcline[line.row - 1]
        for bus, node, setpoint in ((line.from_bus, nodes[0], data[DC_VF]), (line.to_bus, nodes[1], data[DC_VT])):
            if abs(setpoint - vm[node]) > SETPOINT_AGREEMENT:
                differing.append(f"{setpoint:g} at bus {bus} (VM {vm[node]:g})")
    if differing:
        warn("the voltage setpoint(s) of DC line converters " + ", ".join(differing)
             + " are not modelled; the buses keep the bus table's VM")


def stored_mismatch(power_mech, power_diag, va, rec_from, rec_to, coupling_mag, coupling_ang, ref):
    """P_i - V_i^2 Re(Y_ii) - sum_j K_ij sin(theta_i - theta_j - phi_ij) at the
    stored angles, 0 at the reference node."""
    flowing = np.zeros(len(power_mech))
    np.add.at(flowing, rec_from, coupling_mag * exactmath.sines(va[rec_from] - va[rec_to] - coupling_ang))
    mismatch = power_mech - power_diag - flowing
    mismatch[ref] = 0.0
    return mismatch


def _warn_unsolved(network):
    """Angles that are no solution yet look like one: a flat start does not."""
    if network.stored_angles_solved or network.flat_start:
        return
    largest, bus = network.worst_stored_mismatch
    warn(f"the stored angles (VA) are not a solved power flow of this grid: the largest active-power mismatch "
         f"is {largest:.3g} p.u. ({largest * network.base_mva:.3g} MW) at bus {bus}, above {SOLVED_MISMATCH:g} "
         f"p.u.; the steady state the program finds will differ from the stored angles")


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
    machine_base = np.zeros(n)
    for row, data in enumerate(case.gen, start=1):
        if data[GEN_STATUS] <= 0:
            continue
        node = _node_of(int(data[GEN_BUS]), index_of, isolated, f"generator row {row}")
        if node is not None:
            generation[node] += data[PG]
            has_generator[node] = True
            machine_base[node] += data[MBASE] if data[MBASE] > 0 else case.base_mva
    net_power = generation - bus[:, PD]
    dc_lines, dc_ends, dc_out = _dc_lines(case, index_of, isolated)
    for line, (f, t) in zip(dc_lines, dc_ends):
        net_power[f] -= line.pf
        net_power[t] += line.pt

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
    power_mech = net_power / case.base_mva
    power_diag = vm ** 2 * y_diag.real
    coupling_mag = vm[rec_from] * vm[rec_to] * exactmath.magnitudes(y_offdiag)
    coupling_ang = exactmath.angles(y_offdiag) - math.pi / 2
    _warn_dc_setpoints(case, dc_lines, dc_ends, vm)
    _warn_flow_approximations(rec_from, rec_to, y_offdiag, flow_admittance, numbers)
    _warn_islands(n, rec_from, rec_to, numbers)
    network = Network(
        base_mva=case.base_mva, bus_numbers=numbers, vm=vm, va=va, node_type=node_type, ref=ref,
        power_mech=power_mech, power_diag=power_diag, y_diag=y_diag, rec_from=rec_from, rec_to=rec_to,
        y_offdiag=y_offdiag, flow_admittance=flow_admittance, capacity=capacity, coupling_mag=coupling_mag,
        coupling_ang=coupling_ang, flow_mag=exactmath.magnitudes(flow_admittance),
        flow_ang=exactmath.angles(flow_admittance), dc_lines=dc_lines, dc_lines_out=dc_out,
        stored_mismatch=stored_mismatch(power_mech, power_diag, va, rec_from, rec_to, coupling_mag, coupling_ang,
                                        ref),
        machine_base=machine_base)
    _warn_unsolved(network)
    return network
