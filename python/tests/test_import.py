"""The case-file reader and the mapping of a case onto the grid model."""
import math
import os
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

from conftest import case_path, reference_ybus, run_import, scheduled_power, write_case
from tessaly import exactmath
from tessaly.__main__ import main
from tessaly.casefile import (BUS_I, BUS_TYPE, F_BUS, GEN_BUS, PD, PV, REF, SHIFT, T_BUS, Case, CaseFormatError,
                              parse_case, read_case)
from tessaly.network import GENERATOR, LOAD, build_network

TESTS = Path(__file__).resolve().parent

# case9dc.m is case9 with the DC lines 5 -> 9 (PF 50 MW, loss 1 + 0.02 PF),
# 4 -> 8 (out of service) and 7 -> 2 (PF 20 MW, loss 0.5 + 0.01 PF): by hand,
# bus 5 loses 50 MW, bus 9 gains 48, bus 7 loses 20 and bus 2 gains 19.3.
CASE9DC_POWER_MECH = [0.723, 1.823, 0.85, 0, -1.4, 0, -1.2, 0, -0.77]


def import_here(capsys, *args):
    """``python3 -m tessaly import ARGS`` in this process: its exit status and
    standard error."""
    capsys.readouterr()
    status = main(["import", *map(str, args)])
    return status, capsys.readouterr().err


def record(network, a, b):
    """Index of the record a->b (node indices)."""
    hits = np.flatnonzero((network.rec_from == a) & (network.rec_to == b))
    assert len(hits) == 1
    return hits[0]


def test_case_file_syntax():
    case = parse_case("""function mpc = tiny
% a comment with mpc.bus = [ 9 9 9 ];
mpc.baseMVA = 1e2;  % trailing comment
mpc.bus = [
  1, 3, 0, 0, 0, 0, 1, 1.02, 0;  2 1 25.5 5 0 0 1 0.98 -1.5E+0
];
mpc.gen = [1 30 0 0 0 1 100 1];
mpc.branch = [
\t1\t2\t0.01\t0.1\t0\t0\t0\t0\t0\t0\t1;
];
mpc.gencost = [2 0 0 3 0.1 1 0];
mpc.bus_name = { 'One%'; 'Two' };
mpc.dclinecost = [2 0 0 2 0 0];
""")
    assert case.base_mva == 100
    np.testing.assert_array_equal(case.bus[1], [2, 1, 25.5, 5, 0, 0, 1, 0.98, -1.5])
    assert case.gen.shape == (1, 8) and case.branch.shape == (1, 11) and case.dcline.shape == (0, 17)

    with pytest.raises(CaseFormatError, match="no branch"):
        parse_case("mpc.baseMVA = 100;\nmpc.bus = [1 3 0 0 0 0 1 1 0];\nmpc.gen = [1 0 0 0 0 1 100 1];\n")
    with pytest.raises(CaseFormatError, match="bus row 2 has 8 values"):
        parse_case("mpc.baseMVA = 100;\nmpc.bus = [1 3 0 0 0 0 1 1 0\n2 1 0 0 0 0 1 1];\n")


def test_case9_admittances_and_node_values():
    network = build_network(read_case(case_path("case9")))
    # Worked by hand from the branch table (per unit on 100 MVA), e.g.
    # Y_44 = 1/j0.0576 + 1/(0.017 + j0.092) + 1/(0.01 + j0.085) + j(0.158 + 0.176)/2.
    assert network.y_diag[0] == pytest.approx(-17.3611j, abs=1e-4)
    assert network.y_diag[3] == pytest.approx(3.3074 - 39.3089j, abs=1e-4)
    assert network.y_diag[4] == pytest.approx(3.2242 - 15.8409j, abs=1e-4)
    assert network.y_offdiag[record(network, 0, 3)] == pytest.approx(17.3611j, abs=1e-4)
    y45 = network.y_offdiag[record(network, 3, 4)]
    assert y45 == pytest.approx(-1.9422 + 10.5107j, abs=1e-4)             # -1/(0.017 + j0.092)
    assert network.y_offdiag[record(network, 4, 3)] == y45
    assert len(network.rec_from) == 18

    k45 = record(network, 3, 4)
    assert network.coupling_mag[k45] == pytest.approx(abs(y45))          # Vm = 1 everywhere
    assert network.coupling_ang[k45] == pytest.approx(math.atan2(y45.imag, y45.real) - math.pi / 2)
    assert network.power_diag[3] == pytest.approx(3.3074, abs=1e-4)
    np.testing.assert_allclose(network.power_mech, [0.723, 1.63, 0.85, 0, -0.9, 0, -1, 0, -1.25])
    assert network.ref == 0
    assert list(network.node_type) == [GENERATOR] * 3 + [LOAD] * 6
    assert network.capacity[k45] == 2.5


def three_bus_case():
    bus = np.array([
        # bus type Pd  Qd Gs   Bs  area Vm    Va
        [10, 3, 0, 0, 0, 0, 1, 1.04, 5.0],
        [20, 2, 50, 0, 0, 0, 1, 1.01, 2.0],
        [30, 1, 90, 0, 2.0, 19.0, 1, 0.97, -1.0],
    ])
    gen = np.array([[10, 60, 0, 0, 0, 1.04, 100, 1], [20, 80, 0, 0, 0, 1.01, 100, 1]])
    branch = np.array([
        # f  t   r     x     b     rateA B  C  tap   shift status
        [10, 20, 0.02, 0.2, 0.04, 120, 0, 0, 0.95, 10.0, 1],
        [20, 30, 0.01, 0.1, 0.02, 0, 0, 0, 0, 0, 1],
        [10, 30, 0.03, 0.3, 0.0, 80, 0, 0, 1.05, 0, 1],
    ])
    return Case(100.0, bus, gen, branch)


def tripled_case118():
    """Three copies of the 118-bus case (buses k, 1000 + k, 2000 + k), bus k
    of each joined to bus k of the next by a line that carries nothing at the
    stored angles (its ends have the same angle and magnitude): 354 nodes,
    one reference bus."""
    case = read_case(case_path("case118"))
    buses, gens, branches = [], [], []
    for copy in range(3):
        bus, gen, branch = case.bus.copy(), case.gen.copy(), case.branch.copy()
        bus[:, BUS_I] += 1000 * copy
        gen[:, GEN_BUS] += 1000 * copy
        branch[:, [F_BUS, T_BUS]] += 1000 * copy
        if copy > 0:
            bus[bus[:, BUS_TYPE] == REF, BUS_TYPE] = PV
        buses.append(bus)
        gens.append(gen)
        branches.append(branch)
    ties = np.zeros((2 * len(case.bus), case.branch.shape[1]))
    for copy in range(2):
        rows = ties[copy * len(case.bus):(copy + 1) * len(case.bus)]
        rows[:, F_BUS] = case.bus[:, BUS_I] + 1000 * copy
        rows[:, T_BUS] = case.bus[:, BUS_I] + 1000 * (copy + 1)
        rows[:, 3] = 0.5      # BR_X
        rows[:, 10] = 1       # BR_STATUS
    return Case(case.base_mva, np.vstack(buses), np.vstack(gens), np.vstack(branches + [ties]))


def test_large_cases_name_the_sparse_solver(tmp_path, capsys):
    """Above 300 nodes the file names the sparse solver, where "auto" would
    take the program's dense QR; an explicit --nr-solver wins."""
    write_case(tmp_path / "large.m", tripled_case118())

    def solver_line(case, *options):
        status, stderr = import_here(capsys, case, "-o", tmp_path / "out.txt", *options)
        assert status == 0, stderr
        lines = (tmp_path / "out.txt").read_text().splitlines()
        return lines[lines.index("NR solver") + 1], lines[lines.index("Number of nodes") + 1]

    assert solver_line(case_path("case118")) == ("auto", "118")
    assert solver_line(tmp_path / "large.m") == ("sparse", "354")
    assert solver_line(tmp_path / "large.m", "--nr-solver", "iterative") == ("iterative", "354")
    assert solver_line(case_path("case118"), "--nr-solver", "dense") == ("dense", "118")


def test_phase_shifter_and_off_nominal_tap(capsys):
    network = build_network(three_bus_case())
    y = 1 / (0.02 + 0.2j)
    tau = 0.95 * np.exp(1j * math.radians(10))
    assert network.y_offdiag[record(network, 0, 1)] == pytest.approx(-y / np.conj(tau))
    assert network.y_offdiag[record(network, 1, 0)] == pytest.approx(-y / tau)
    y13 = 1 / (0.03 + 0.3j)
    assert network.y_diag[0] == pytest.approx((y + 0.02j) / 0.95 ** 2 + y13 / 1.05 ** 2)
    assert network.y_diag[2] == pytest.approx(y13 + 1 / (0.01 + 0.1j) + 0.01j + (0.02 + 0.19j))
    # The shifter makes the coupling angles asymmetric by twice its angle.
    ab, ba = record(network, 0, 1), record(network, 1, 0)
    assert network.coupling_ang[ab] - network.coupling_ang[ba] == pytest.approx(math.radians(20))
    assert network.coupling_mag[ab] == pytest.approx(network.coupling_mag[ba])
    assert network.coupling_mag[ab] == pytest.approx(1.04 * 1.01 * abs(y) / 0.95)
    # The flow measure sees the series element from each end; RATE_A 0 is unlimited.
    assert abs(network.flow_admittance[ab]) == pytest.approx(abs(y) / 0.95 ** 2)
    assert abs(network.flow_admittance[ba]) == pytest.approx(abs(y))
    assert network.capacity[ab] == 1.2 and network.capacity[record(network, 1, 2)] == math.inf
    # Phases relative to the reference bus, in radians.
    np.testing.assert_allclose(network.va, np.radians([0, -3, -6]))
    assert "flow measure of the line(s) 10-20 is approximate" in capsys.readouterr().err


def test_out_of_service_elements_and_isolated_buses(tmp_path, capsys):
    case = three_bus_case()
    case.bus = np.vstack([case.bus, [40, 4, 0, 0, 0, 0, 1, 1, 0], [50, 1, 10, 0, 0, 0, 1, 1, 0]])
    case.branch[2, 10] = 0                                   # 10-30 out of service
    case.branch = np.vstack([case.branch, [30, 40, 0.01, 0.1, 0, 0, 0, 0, 0, 0, 1],
                             [30, 50, 0.01, 0.1, 0, 0, 0, 0, 0, 0, 1]])
    case.gen = np.vstack([case.gen, [30, 500, 0, 0, 0, 1, 100, 0]])   # out of service
    dc_line = [30, 40, 1, 25, 25, 0, 0, 0.97, 1] + [0] * 8
    case.dcline = np.array([dc_line, [40, 30] + dc_line[2:]])         # both end at the isolated bus
    write_case(tmp_path / "case.m", case)
    run = run_import(tmp_path / "case.m", "-o", tmp_path / "case.txt")
    assert run.returncode == 0
    assert "1 isolated bus(es) left out: 40" in run.stderr
    assert "branch row 4 (30-40) ends at an isolated bus; left out" in run.stderr
    assert "DC line row 1 (30-40) ends at an isolated bus; left out, with its 25 MW" in run.stderr
    assert "DC line row 2 (40-30) ends at an isolated bus" in run.stderr

    network = build_network(case)
    assert list(network.bus_numbers) == [10, 20, 30, 50]
    assert network.power_mech[2] == pytest.approx(-0.9)
    assert list(zip(network.rec_from, network.rec_to)) == [(0, 1), (1, 0), (1, 2), (2, 1), (2, 3), (3, 2)]
    text = (tmp_path / "case.txt").read_text()
    assert "// node 2: bus 30\n// node 3: bus 50\n" in text
    assert "Number of nodes\n4\n" in text

    case.dcline[1, :2] = [30, 60]
    with pytest.raises(CaseFormatError, match="dcline row 2 names bus 60, which is not in the bus table"):
        build_network(case)
    case.dcline = case.dcline[:1]

    capsys.readouterr()
    case.branch[4, 10] = 0                                   # 30-50 out of service: bus 50 is cut off
    build_network(case)
    assert "the grid falls apart into 2 islands; the power flow needs one. Buses apart from the largest " \
           "island: 50" in capsys.readouterr().err


def test_options_for_the_missing_dynamics_and_the_run(tmp_path):
    params = tmp_path / "params.csv"
    params.write_text("bus,inertia,damping\n5,7.5,\n9,,0.25\n")
    out = tmp_path / "c9.txt"
    run = run_import(case_path("case9"), "-o", out, "--inertia", "2,0.5", "--damping", "0.3", "--node-params",
                     params, "--step", "0.002", "--steps", "50", "--output-name", "run9", "--format", "list")
    assert run.returncode == 0, run.stderr
    lines = out.read_text().splitlines()
    value = {key: lines[k + 1] for k, key in enumerate(lines[:-1]) if not key[0].isdigit()}
    assert value["Inertia"].split() == ["2.0"] * 3 + ["0.5", "7.5", "0.5", "0.5", "0.5", "0.5"]
    assert value["Damping"].split() == ["0.3"] * 8 + ["0.25"]
    assert (value["RK stepwidth"], value["RK steps"], value["Output filename"]) == ("0.002", "50", "run9")
    assert "Line list" in lines and "Coupling mag" not in lines

    params.write_text("bus,inertia,damping\n6,0,1\n")
    run = run_import(case_path("case9"), "-o", out, "--node-params", params)
    assert run.returncode == 2 and "inertia must be positive; bus 6" in run.stderr
    params.write_text("bus,inertia,damping\n99,1,1\n")
    run = run_import(case_path("case9"), "-o", out, "--node-params", params)
    assert run.returncode == 2 and "line 2" in run.stderr
    run = run_import(tmp_path / "missing.m", "-o", out)
    assert run.returncode == 2 and run.stderr.startswith("tessaly import: error:")


def test_dc_lines_are_constant_powers_of_their_end_buses(tmp_path, capsys):
    out = tmp_path / "case9dc.txt"
    status, stderr = import_here(capsys, case_path("case9dc"), "-o", out)
    assert status == 0
    lines = out.read_text().splitlines()
    power = np.array(lines[lines.index("Power mech") + 1].split(), dtype=float)
    np.testing.assert_allclose(power, CASE9DC_POWER_MECH, rtol=0, atol=1e-15)
    # The AC grid's balance: generation less the loads and the losses of both lines.
    assert math.fsum(power) == pytest.approx((72.3 + 163 + 85 - 90 - 100 - 125 - 2 - 0.7) / 100, abs=1e-14)
    assert lines[0].endswith(": 9 buses, 9 branches, 3 generators, 3 DC lines, baseMVA 100.")
    assert lines[4:7] == ["// DC line row 1: bus 5 -> bus 9, PF 50 MW, loss 2 MW, PT 48 MW",
                          "// DC line row 3: bus 7 -> bus 2, PF 20 MW, loss 0.7 MW, PT 19.3 MW",
                          "// 1 DC line(s) out of service left out."]
    # The converter ends stay load nodes; the angles are case9's flat start.
    assert lines[lines.index("Node type") + 1] == "0 0 0 1 1 1 1 1 1"
    assert "// The case's angles are a flat start (all equal), not a power-flow solution: the power flow finds " \
           "the steady state." in lines
    assert stderr.splitlines() == [
        "tessaly import: warning: DC line row 3 (7-2) stores PT 0 MW, but PF - loss is 19.3 MW; PF - loss is "
        "used, as the case format's power flow does",
        "tessaly import: warning: the voltage setpoint(s) of DC line converters 1.02 at bus 7 (VM 1) are not "
        "modelled; the buses keep the bus table's VM"]


def unsolved_case14(path):
    """case14 with 46 MW more load at bus 9 than its angles were solved for."""
    case = read_case(case_path("case14"))
    case.bus[8, PD] += 46
    write_case(path, case)
    return path


def test_stored_angles_are_checked_against_the_power_balance(tmp_path, capsys):
    # The mismatch at the stored state against the full admittance matrix.
    case = read_case(case_path("case14"))
    network = build_network(case)
    assert capsys.readouterr().err == ""
    Y, keep, index = reference_ybus(case)
    V = network.vm * np.exp(1j * network.va)
    expected = scheduled_power(case, keep, index) - (V * np.conj(Y @ V)).real
    expected[network.ref] = 0
    np.testing.assert_allclose(network.stored_mismatch, expected, rtol=0, atol=1e-12)
    # Solved, to the few digits the file keeps: no word about it (above).
    largest, bus = network.worst_stored_mismatch
    assert (round(largest, 4), bus) == (0.0035, 13) and network.stored_angles_solved

    out = tmp_path / "unsolved.txt"
    status, stderr = import_here(capsys, unsolved_case14(tmp_path / "unsolved.m"), "-o", out)
    assert status == 0
    assert stderr == (
        "tessaly import: warning: the stored angles (VA) are not a solved power flow of this grid: the largest "
        "active-power mismatch is 0.462 p.u. (46.2 MW) at bus 9, above 0.1 p.u.; the steady state the program "
        "finds will differ from the stored angles\n")
    assert "// The case's angles are not a solved power flow (active-power mismatch 0.462 p.u. at bus 9): the " \
           "steady state differs from them." in out.read_text().splitlines()


def test_magnitudes_and_angles_are_the_nearest_doubles():
    rng = np.random.default_rng(3)
    parts = np.ldexp(rng.uniform(-1, 1, (2, 300)), rng.integers(-20, 20, (2, 300)))
    z = parts[0] + 1j * parts[1]
    for value, magnitude in zip(z, exactmath.magnitudes(z)):
        # The exact square lies between the squares of the midpoints to both neighbours.
        square = Fraction(value.real) ** 2 + Fraction(value.imag) ** 2
        below, above = ((Fraction(magnitude) + Fraction(math.nextafter(magnitude, end))) / 2 for end in (0, math.inf))
        assert below ** 2 <= square <= above ** 2
    for value, angle in zip(z, exactmath.angles(z)):
        assert abs(angle - math.atan2(value.imag, value.real)) <= math.ulp(angle)
    # IEEE signed zeros on the negative real axis.
    axis = np.array([complex(-2, 0.0), complex(-2, -0.0), complex(0.0, -0.0)])
    angles = exactmath.angles(axis)
    assert list(angles) == [math.pi, -math.pi, 0.0] and math.copysign(1, angles[2]) == -1


def dispatched_cpu_features():
    """The SIMD extensions numpy picks code for that this CPU has."""
    try:
        from numpy._core._multiarray_umath import __cpu_dispatch__, __cpu_features__
    except ImportError:
        from numpy.core._multiarray_umath import __cpu_dispatch__, __cpu_features__
    return [feature for feature in __cpu_dispatch__ if __cpu_features__.get(feature)]


# The importer in a process that first prints the SIMD extensions numpy
# still picks code for.
IMPORT_NAMING_CPU_FEATURES = """import sys
sys.path.insert(0, sys.argv[1])
from test_import import dispatched_cpu_features
print(*dispatched_cpu_features())
from tessaly.__main__ import main
sys.exit(main(["import", *sys.argv[2:]]))
"""


def test_input_files_are_the_same_on_every_cpu(tmp_path, capsys):
    """With numpy's SIMD code and the C library's FMA code switched off, as on
    a CPU without them, the importer writes the same bytes and warnings."""
    # Every kind of number the importer computes: taps, phase shifters, a DC
    # line, and a load that the stored angles do not know of.
    case = read_case(case_path("case118"))
    case.branch[:40, SHIFT] = np.linspace(-9.5, 11.3, 40)
    case.dcline = np.array([[8, 65, 1, 100, 98, 0, 0, 1, 1, 0, 200, 0, 0, 0, 0, 1, 0.01]])
    case.bus[20, PD] += 37.5
    write_case(tmp_path / "case.m", case)
    status, stderr = import_here(capsys, tmp_path / "case.m", "-o", tmp_path / "here.txt", "--raster", "0:2")
    assert status == 0 and "not a solved power flow" in stderr

    # Those already switched off for this process (a run that imitates an
    # older CPU itself) stay off.
    switched_off = os.environ.get("NPY_DISABLE_CPU_FEATURES", "").replace(",", " ").split()
    older_cpu = dict(os.environ, NPY_DISABLE_CPU_FEATURES=" ".join(switched_off + dispatched_cpu_features()),
                     GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA", PYTHONPATH=str(TESTS.parent))
    older = subprocess.run([sys.executable, "-c", IMPORT_NAMING_CPU_FEATURES, str(TESTS), tmp_path / "case.m", "-o",
                            tmp_path / "older.txt", "--raster", "0:2"], env=older_cpu, capture_output=True, text=True)
    assert older.returncode == 0
    assert older.stdout.split() == []
    assert older.stderr == stderr
    assert (tmp_path / "older.txt").read_bytes() == (tmp_path / "here.txt").read_bytes()
