"""The basin-stability, contingency and linear-stability analyses of a study
on real runs: their settings by bus number reach the program, their tables
and xarray variables carry bus numbers beside node indices, their summaries
fill sweep tables, and a grid keeps the rules of how its lines trip."""
import os
import subprocess
import sys

import numpy as np
import pytest

import tessaly
from conftest import PACKAGE_ROOT, case_path, run_import
from tessaly import basinplots, linear_plots, plots
from tessaly.analyses import Basin, Contingency, LinearStability
from tessaly.basin import CLASSES
from test_study import case9_with_isolated_bus

CAPACITY_FACTOR = 1.2


@pytest.fixture(autouse=True)
def program(tessaly_bin, monkeypatch):
    monkeypatch.setenv("TESSALY_PROGRAM", tessaly_bin)


@pytest.fixture(scope="module")
def case9_run(tmp_path_factory):
    """case9 with buses 10, 20, ..., 90 (an isolated bus dropped: no bus is
    its node index + 1), capacities 1.2 x the active base flow on every
    record, three analyses in one run."""
    if not os.environ.get("TESSALY_BIN"):
        pytest.skip("TESSALY_BIN does not name the built program")
    os.environ.setdefault("TESSALY_PROGRAM", os.environ["TESSALY_BIN"])
    directory = tmp_path_factory.mktemp("analyses")
    grid = tessaly.Grid.from_case(case9_with_isolated_bus(directory), damping=(2, 2), flow_measure="active",
                                  capacity_factor=CAPACITY_FACTOR, capacity_for="all")
    study = tessaly.Study(grid, steps=1000)
    study.basin(buses=[30], samples=10)
    study.contingency(lines=[(40, 50), (70, 80), (80, 20)], time=1.0, settle_time=1.0)
    study.linear(modes=4, solver="dense")
    return grid, study, study.run(directory / "run", threads=2)


def test_basin_of_buses_in_any_order_through_tables_xarray_and_summary(tmp_path):
    # The benchmark's two-node reduction (nodes 0 and 1) with node 2 hung on
    # node 1 by a strong line, under bus numbers 7, 3 and 12: in a small box
    # every kick to node 2 returns, some to node 0 slip away.
    coupling = np.array([[0, 0.5, 0], [0.5, 0, 3], [0, 3, 0]])
    grid = tessaly.Grid.from_arrays([0.25, -0.25, 0], coupling, inertia=1.0, damping=0.1, bus_numbers=[7, 3, 12],
                                    reference=1)
    study = tessaly.Study(grid, steps=4000, step_width=0.05, seed=3)
    basin = study.basin(buses=[12, 7], samples=40, phase_offset_range=(-1, 1), frequency_offset_range=(-2, 2))
    run = study.run(tmp_path / "run", threads=2)

    assert run.basin.nodes == [2, 0] and run.basin.samples_per_node == 40
    assert run.basin.phase_offset_range == (-1, 1) and run.basin.band == 0.01     # the program's default band
    table = run.frame("basin_stability")
    assert table["bus"].tolist() == [12, 7] and table["node"].tolist() == [2, 0]
    assert (table[list(CLASSES)].sum(axis=1) == 40).all()
    assert table["stability"].iloc[1] < table["stability"].iloc[0] == 1
    samples = run.frame("basin_samples")
    assert len(samples) == 80 and samples["bus"].tolist() == run.buses[samples["node"]].tolist()
    assert samples["outcome"].tolist() == [CLASSES[c] for c in samples["class"]]
    assert samples["phase_offset"].between(-1, 1).all() and samples["frequency_offset"].between(-2, 2).all()

    dataset = run.to_xarray()
    stability = dataset["basin_stability"].values
    np.testing.assert_array_equal(stability[[2, 0]], table["stability"])
    assert np.isnan(stability[1]) and dataset["basin_samples"].values.tolist() == [40, 0, 40]
    assert dataset["sample_bus"].values.tolist() == samples["bus"].tolist()
    assert dataset["basin_frequency_offset"].attrs["units"] == "rad/t"

    values = basinplots.basin(run).axes[1]
    assert [t.get_text() for t in values.get_yticklabels()] == ["12", "7"] and values.get_ylabel() == "bus"
    plots.plt.close("all")

    summary = basin.summary(run)
    assert summary["least_stable_bus"] == 7 and summary["min_stability"] == table["stability"].iloc[1]
    assert summary["mean_stability"] == pytest.approx(table["stability"].mean()) and summary["samples"] == 80
    # Settings not given are not written: the program's defaults apply.
    assert Basin().keys(grid) == ["Mode basin"] and Contingency().keys(grid) == ["Mode contingency"]
    assert LinearStability().keys(grid) == ["Mode linear stability"]
    with pytest.raises(ValueError, match="minimum < maximum"):
        Basin(frequency_offset_range=(1, -1))


def test_contingencies_of_bus_pairs_on_capacities_from_the_base_flow(case9_run):
    grid, study, run = case9_run
    pairs = [(40, 50), (70, 80), (80, 20)]
    outages = run.contingency.outages
    assert [(int(a), int(b)) for a, b in zip(outages["from"], outages["to"])] == \
        [(grid.node_of(a), grid.node_of(b)) for a, b in pairs] == [(3, 4), (6, 7), (7, 1)]
    summary = run.frame("contingency_summary")
    assert list(zip(summary["from_bus"], summary["to_bus"])) == pairs
    assert summary["contingency"].tolist() == [0, 1, 2]

    # The grid's line rules reached the program: every record's capacity is
    # 1.2 x its active flow at the steady state.
    assert run.manifest["line_flows"] == {"flow_measure": "active", "line_losses_in_diag": True,
                                          "capacity_from_base_flow": {"factor": 1.2, "records": "all"}}
    flows = run.frame("contingency_base_flows")
    assert len(flows) == len(grid.lines) and (flows["flow"] > 1e-3).all()
    np.testing.assert_allclose(flows["capacity"], CAPACITY_FACTOR * flows["flow"], rtol=1e-15)
    assert flows["from_bus"].tolist() == run.buses[flows["from"]].tolist()

    trips = run.frame("contingency_trips")
    assert trips.groupby("contingency").size().reindex(range(3), fill_value=0).tolist() == summary["trips"].tolist()
    assert summary["trips"].sum() > 0 and (trips["time"] > 1.0).all()
    assert trips["to_bus"].tolist() == run.buses[trips["to"]].tolist()
    nodes = run.frame("contingency_nodes")
    assert len(nodes) == 3 * 9 and nodes["bus"].tolist() == run.buses.tolist() * 3
    assert nodes.groupby("contingency")["island"].nunique().tolist() == summary["islands"].tolist()

    dataset = run.to_xarray()
    assert dataset["contingency_final_frequency"].dims == ("contingency", "node")
    assert dataset["outage_from_bus"].values.tolist() == [40, 70, 80]
    assert dataset["trip_time"].sizes["trip"] == len(trips) and dataset["trip_to_bus"].values.tolist() == \
        trips["to_bus"].tolist()

    worst = int(summary["trips"].idxmax())
    assert study.analyses[1].summary(run) == {
        "contingencies": 3, "cascading_outages": int((summary["trips"] > 0).sum()),
        "largest_cascade": int(summary["trips"].max()),
        "largest_cascade_line": f"{summary['from_bus'][worst]}-{summary['to_bus'][worst]}",
        "islanding_outages": int((summary["islands"] > 1).sum()), "not_returned": int((~summary["returned"]).sum())}
    with pytest.raises(tessaly.GridError, match="no line between bus 10 and bus 50"):
        Contingency(lines=[(10, 50)]).keys(grid)


def test_linear_stability_tables_units_and_summary(case9_run):
    _, study, run = case9_run
    assert run.linear.info["modes"] == 4 and run.linear.info["solver"] == "dense"
    eigenvalues = run.frame("eigenvalues")
    assert len(eigenvalues) == 18 and eigenvalues["rotation_mode"].sum() == 1
    np.testing.assert_array_equal(eigenvalues["real"], run.linear.eigenvalues["real"])
    participation = run.frame("participation")
    modes = run.linear.participation_modes
    assert len(participation) == len(modes) * 9 and participation["bus"].tolist() == run.buses.tolist() * len(modes)
    assert participation.groupby("mode")["eigenvalue"].first().tolist() == modes.tolist()
    np.testing.assert_allclose(participation.groupby("mode")["participation"].sum(), 1, rtol=1e-12)

    dataset = run.to_xarray()
    assert dataset["participation"].dims == ("mode", "node")
    assert dataset["mode_eigenvalue"].values.tolist() == modes.tolist()
    assert dataset["eigenvalue_real"].attrs["units"] == "1/t"
    figure = linear_plots.mode(run)
    assert {t.get_text() for t in figure.axes[0].texts} == {str(b) for b in run.buses}
    plots.plt.close(figure)

    summary = study.analyses[2].summary(run)
    ordinary = eigenvalues[~eigenvalues["rotation_mode"]]
    assert summary["unstable"] is False and summary["least_damped_real"] == ordinary["real"].max() < 0
    assert summary["least_damping_ratio"] == ordinary["damping_ratio"].min() > 0
    with pytest.raises(ValueError, match="solver 'qr'"):
        LinearStability(solver="qr")


def test_three_analyses_of_one_run_export_to_netcdf(case9_run, tmp_path):
    _, _, run = case9_run
    out = tmp_path / "run.nc"
    done = subprocess.run([sys.executable, "-m", "tessaly", "export", str(run.manifest_path), "--netcdf", str(out)],
                          capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)))
    assert done.returncode == 0, done.stderr
    import xarray
    with xarray.open_dataset(out) as read_back:
        assert read_back["rotation_mode"].dtype == bool and read_back["contingency_returned"].dtype == bool
        assert read_back["basin_class"].attrs["flag_meanings"] == " ".join(CLASSES)
        np.testing.assert_array_equal(read_back["participation"].values, run.linear.participation)
        assert read_back["line_to_bus"].values.tolist() == run.frame("contingency_base_flows")["to_bus"].tolist()


def test_sweep_over_the_capacity_factor_counts_fewer_cascades(tmp_path):
    grid = tessaly.Grid.from_case("case9", damping=(2, 2), capacity_for="all", capacity_factor=1.1)
    study = tessaly.Study(grid, steps=600)
    study.contingency(time=1.0, settle_time=1.0)
    table = tessaly.sweep(study, "grid.capacity_factor", [1.05, 3.0], tmp_path / "sweep", threads=2)
    assert table["contingency.contingencies"].tolist() == [9, 9]
    cascades = table["contingency.cascading_outages"].tolist()
    assert cascades[0] > cascades[1] and table["contingency.largest_cascade"][0] > 0
    assert study.grid.capacity_factor == 1.1


def test_a_grid_keeps_the_rules_of_how_its_lines_trip(tmp_path):
    imported = tessaly.Grid.from_case("case14")
    assert imported.line_losses_in_diag and imported.flow_measure is None and imported.capacity_factor is None
    assert imported.input_lines().count("Line losses in diag") == 1

    grid = tessaly.Grid.from_case("case14", flow_measure="active", capacity_factor=1.5, capacity_for="all")
    again = tessaly.Grid.from_text("\n".join(grid.input_lines()) + "\n").copy()
    assert (again.line_losses_in_diag, again.flow_measure, again.capacity_factor, again.capacity_for) == \
        (True, "active", 1.5, "all")

    # An imported input file as a study: each rule written once, by the grid.
    out = tmp_path / "case14.txt"
    assert run_import(case_path("case14"), "-o", out, "--capacity-factor", "2").returncode == 0
    text = tessaly.Study.from_input(out).input_text().split("\n")
    assert text.count("Line losses in diag") == 1 and text.count("Capacity from base flow") == 1

    grid.flow_measure = "reactive"
    with pytest.raises(tessaly.GridError, match="flow_measure 'reactive'"):
        grid.input_lines()
    grid.flow_measure, grid.capacity_factor = None, 0
    with pytest.raises(tessaly.GridError, match="positive finite factor"):
        grid.input_lines()
