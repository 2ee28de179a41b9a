"""Imported grids whose lines trip: the losses a switched-off line takes
with it, the active flow measure against the AC branch power, capacities
from the program's steady state, and the contingency analysis read and drawn
from real runs."""
import os
import subprocess
import sys

import numpy as np
import pytest

import tessaly
from conftest import PACKAGE_ROOT, case_path, run_import, run_program, write_case
from test_import import three_bus_case
from tessaly import plots
from tessaly.casefile import BR_R, BR_STATUS, BR_X, F_BUS, GS, RATE_A, SHIFT, T_BUS, TAP, read_case
from tessaly.network import build_network

STEPS = 3000


def imported(tmp_path, case, *options, name="out"):
    """The case imported into tmp_path/input.txt; its text."""
    write_case(tmp_path / "case.m", case)
    run = run_import(tmp_path / "case.m", "-o", tmp_path / "input.txt", "--output-name", name, *options)
    assert run.returncode == 0, run.stderr
    return (tmp_path / "input.txt").read_text()


def run_input(binary, directory, text):
    (directory / "input.txt").write_text(text)
    run = run_program(binary, directory, "input.txt")
    assert run.returncode == 0, run.stderr
    return run


def series_conductance(case, network, tripped):
    """V_i^2 (GS_i / baseMVA + the series conductances of the branches still in
    service at bus i), written out from the case's branch table."""
    node = {int(b): k for k, b in enumerate(network.bus_numbers)}
    g = case.bus[:, GS] / case.base_mva
    for row in case.branch:
        f, t = node[int(row[F_BUS])], node[int(row[T_BUS])]
        if row[BR_STATUS] <= 0 or (f, t) in tripped:
            continue
        y = 1 / complex(row[BR_R], row[BR_X])
        tap = row[TAP] or 1.0
        g[f] += y.real / tap ** 2
        g[t] += y.real
    return network.vm ** 2 * g


def islands(n, pairs):
    parent = list(range(n))

    def root(k):
        while parent[k] != k:
            k = parent[k]
        return k

    for a, b in pairs:
        parent[root(a)] = root(b)
    groups = {}
    for k in range(n):
        groups.setdefault(root(k), []).append(k)
    return list(groups.values())


@pytest.mark.parametrize("key", [True, False])
def test_tripped_lines_take_their_losses_with_them(tmp_path, tessaly_bin, key):
    """The 30-bus case with capacities 0.15 x RATE_A and the wind at three
    generators held at their powers: the cascade trips lines (most at the
    first step, already overloaded), then a trajectory runs on the grid it
    left. A bus cut off without load, generation or shunt must end at rest,
    and every island at the frequency its powers, remaining lines and shunts
    give it: sum D_i w_i = sum (P_i - Pd_i - coupling terms)."""
    case = read_case(case_path("case30"))
    case.branch[:, RATE_A] *= 0.15
    text = imported(tmp_path, case, "--steps", str(STEPS), "--step", "0.01", "--damping", "1", name="c")
    assert "\nLine losses in diag\n" in text
    if not key:
        text = text.replace("\nLine losses in diag\n", "\n")
    ones = " ".join(["1"] * STEPS)
    text += ("Mode given series\nMode stoch casc\nMode save traj\nTurbine nodes\n1 21 26\nTurbine vrated\n1\n"
             f"Turbine vmean\n1\nWind series\n{ones}\n{ones}\n{ones}\n")
    run_input(tessaly_bin, tmp_path, text)

    network = build_network(case)
    n = network.num_nodes
    omega = np.fromfile(tmp_path / "frequency" / "freqTrajctn0").reshape(-1, n)
    theta = np.fromfile(tmp_path / "phase" / "phasTrajctn0").reshape(-1, n)
    trips = tessaly.load(tmp_path).stochastic.runs[0].trips
    tripped = {(a, b) for a, b in zip(trips["from"], trips["to"])}
    tripped |= {(b, a) for a, b in tripped}
    online = np.array([(a, b) not in tripped for a, b in zip(network.rec_from, network.rec_to)])
    parts = islands(n, zip(network.rec_from[online], network.rec_to[online]))
    alone = [k for k in range(n) if [k] in parts and network.power_mech[k] == 0 and case.bus[k, GS] == 0]
    assert len(trips) > 20 and len(parts) > 10 and len(alone) >= 3

    if not key:
        # The fault: the isolated buses keep drawing the losses of their lines.
        assert np.all(np.abs(omega[-1, alone]) > 1)
        return
    assert alone == [4, 24, 27]
    assert np.abs(omega[-1] - omega[-2]).max() < 1e-12         # settled
    assert np.abs(omega[-1, alone]).max() < 1e-14
    rec_from, rec_to = network.rec_from[online], network.rec_to[online]
    coupling = np.zeros(n)
    np.add.at(coupling, rec_from, network.coupling_mag[online]
              * np.sin(theta[-1, rec_from] - theta[-1, rec_to] - network.coupling_ang[online]))
    balance = network.power_mech - series_conductance(case, network, tripped) - coupling
    for part in parts:
        assert omega[-1, part].sum() == pytest.approx(balance[part].sum(), abs=1e-12)


def ac_branch_power(case, network, theta):
    """The AC active power into every branch at each end, summed over
    parallel branches: {(from node, to node): P}."""
    node = {int(b): k for k, b in enumerate(network.bus_numbers)}
    V = network.vm * np.exp(1j * theta)
    power = {}
    for row in case.branch:
        a, b = node[int(row[F_BUS])], node[int(row[T_BUS])]
        y = 1 / complex(row[BR_R], row[BR_X])
        charging = 0.5j * row[4]
        tau = (row[TAP] or 1.0) * np.exp(1j * np.radians(row[SHIFT]))
        into_a = (y + charging) / abs(tau) ** 2 * V[a] - y / np.conj(tau) * V[b]
        into_b = (y + charging) * V[b] - y / tau * V[a]
        for end, s in (((a, b), V[a] * np.conj(into_a)), ((b, a), V[b] * np.conj(into_b))):
            power[end] = power.get(end, 0) + s.real
    return power


@pytest.mark.parametrize("name", ["case118", "shifter"])
def test_active_flow_measure_is_the_ac_branch_power(tmp_path, tessaly_bin, name):
    case = three_bus_case() if name == "shifter" else read_case(case_path(name))
    text = imported(tmp_path, case, "--steps", "2", "--flow-measure", "active")
    assert "\nFlow measure\nactive\n" in text
    text += "Mode contingency\nContingency lines\n0 1\nContingency time\n0\nContingency settle time\n0\n"
    run_input(tessaly_bin, tmp_path, text)
    run = tessaly.load(tmp_path)
    assert run.manifest["line_flows"]["flow_measure"] == "active"
    flows = run.contingency.base_flows
    expected = ac_branch_power(case, build_network(case), run.steady_state)
    assert len(flows) == len(expected)
    reference = np.array([abs(expected[(a, b)]) for a, b in zip(flows["from"], flows["to"])])
    np.testing.assert_allclose(flows["flow"], reference, rtol=1e-9, atol=1e-12)


def test_capacities_from_the_programs_steady_state(tmp_path, tessaly_bin):
    case = read_case(case_path("case30"))
    case.branch[:5, RATE_A] = 0                       # unrated
    for which in ("unrated", "all"):
        directory = tmp_path / which
        directory.mkdir()
        text = imported(directory, case, "--steps", "2", "--capacity-factor", "1.5", "--capacity-for", which)
        text += "Mode contingency\nContingency lines\n0 1\nContingency time\n0\nContingency settle time\n0\n"
        program = run_input(tessaly_bin, directory, text)
        run = tessaly.load(directory)
        assert run.manifest["line_flows"]["capacity_from_base_flow"] == {"factor": 1.5, "records": which}
        flows = run.contingency.base_flows
        from_flow = flows["capacity"] == 1.5 * flows["flow"]
        if which == "all":
            # The line 9-11 to bus 11 (no load, no generation) carries nothing: no limit for it.
            idle = flows["flow"] <= 1e-9
            assert [(a, b) for a, b in zip(flows["from"][idle], flows["to"][idle])] == [(8, 10), (10, 8)]
            assert np.all(np.isinf(flows["capacity"][idle])) and np.all(from_flow[~idle])
            assert ('"Capacity from base flow": 2 line records carry no more than "NR precision" (1e-09) at the '
                    "steady state and are left without a limit") in program.stderr
        else:
            # The records of the first five branches (10 of them, none parallel) and no other.
            network = build_network(case)
            rated = network.capacity[[np.flatnonzero((network.rec_from == a) & (network.rec_to == b))[0]
                                      for a, b in zip(flows["from"], flows["to"])]]
            assert np.count_nonzero(from_flow) == 10
            np.testing.assert_array_equal(from_flow, np.isinf(rated))
            np.testing.assert_array_equal(flows["capacity"][~from_flow], rated[~from_flow])


@pytest.fixture(scope="module")
def contingency_run(tmp_path_factory):
    """N-1 of the 30-bus case, capacities 1.2 x the base flow, 5 time units
    after each outage."""
    binary = os.environ.get("TESSALY_BIN")
    if not binary:
        pytest.skip("TESSALY_BIN does not name the built program")
    directory = tmp_path_factory.mktemp("contingency")
    text = imported(directory, read_case(case_path("case30")), "--steps", "600", "--step", "0.01",
                    "--capacity-factor", "1.2", "--capacity-for", "all", name="n1")
    run = run_input(binary, directory, text + "Mode contingency\n")
    return directory, run


def test_contingency_table_from_a_real_run(contingency_run):
    directory, program = contingency_run
    run = tessaly.load(directory)
    analysis = run.contingency
    summary = analysis.summary
    raw = np.fromfile(directory / "contingency" / "summaryn1").reshape(-1, 8)
    assert len(summary) == len(analysis.outages) == 41 == len(raw)
    for column, name in enumerate(summary.dtype.names):
        np.testing.assert_array_equal(summary[name], raw[:, column] != 0 if name == "returned" else raw[:, column])
    assert summary["returned"].dtype == bool
    assert list(summary["from"][:3]) == [0, 0, 1] and list(summary["to"][:3]) == [1, 2, 3]

    all_trips = np.fromfile(directory / "contingency" / "tripsn1").reshape(-1, 4)
    assert summary["trips"].sum() == len(all_trips) > 0
    nodes = analysis.nodes
    for k in range(len(summary)):
        trips = analysis.trips[k]
        mine = all_trips[all_trips[:, 0] == k]
        assert len(trips) == summary["trips"][k]
        np.testing.assert_array_equal(trips["time"], mine[:, 3])
        np.testing.assert_array_equal(trips["from"], mine[:, 1])
        assert np.all(trips["time"] > analysis.outage_time)
        assert len(set(nodes["island"][k])) == summary["islands"][k]
        assert np.count_nonzero(np.abs(nodes["final_frequency"][k]) > analysis.band) == summary["desynchronised"][k]
        assert nodes["max_frequency"][k].max() == summary["max_frequency"][k]
    worst = analysis.worst(1)[0]
    assert summary["trips"][worst] == summary["trips"].max()
    line = f"Largest cascade: {summary['trips'].max()} trips after the outage of line " \
           f"{summary['from'][worst]}-{summary['to'][worst]}\n"
    assert line in program.stdout
    assert f"{len(summary)} line outages at t = 1, each integrated to t = 6 (600 steps of 0.01)" in program.stdout


def test_contingency_plot_from_a_real_run(contingency_run, tmp_path):
    directory, _ = contingency_run
    run = tessaly.load(directory)
    summary = run.contingency.summary
    k = int(np.flatnonzero(summary["trips"] > 0)[0])
    fig = plots.contingency(run, outage=k)
    bars, grid = fig.axes[:2]
    heights = [patch.get_height() for patch in bars.patches[:len(summary)]]
    np.testing.assert_array_equal(heights, summary["trips"])
    tripped = [c for c in grid.collections if c.get_label() == "tripped"]
    assert len(tripped) == 1
    np.testing.assert_array_equal(tripped[0].get_array(), run.contingency.trips[k]["time"])
    buses = run.bus_numbers                 # the case's: bus k + 1 is node k
    assert f"Contingency {k}: line {buses[summary['from'][k]]}-{buses[summary['to'][k]]} out" in grid.get_title()
    labels = {text.get_text() for text in grid.texts}
    assert labels == {str(bus) for bus in buses} == {str(node + 1) for node in range(run.nodes)}
    plots.plt.close(fig)

    out = tmp_path / "contingency.png"
    done = subprocess.run([sys.executable, "-m", "tessaly", "plot", "contingency", str(directory), "--outage", str(k),
                           "-o", str(out)], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)))
    assert done.returncode == 0, done.stderr
    assert out.read_bytes().startswith(b"\x89PNG")
    with pytest.raises(plots.PlotError, match="contingency 99 is not in the run"):
        plots.contingency(run, outage=99)
