"""Studies from Python on real runs of the built program: grids from case
files, input files and arrays, runs on threads and processes, the program's
warnings and errors in Python, sweeps, bus numbers and physical units
through to the tables, xarray, NetCDF and the figures."""
import math
import os
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import tessaly
from conftest import EXAMPLES, PACKAGE_ROOT, case_path, run_import, write_case
from tessaly import plots
from tessaly.casefile import read_case
from tessaly.program import InvalidInputError, ProgramWarning, RunFailedError


@pytest.fixture(autouse=True)
def program(tessaly_bin, monkeypatch):
    monkeypatch.setenv("TESSALY_PROGRAM", tessaly_bin)
    return tessaly_bin


def ring(n=6, damping=0.5):
    """A ring of n nodes, generators and loads alternating."""
    coupling = np.zeros((n, n))
    for k in range(n):
        coupling[k, (k + 1) % n] = coupling[(k + 1) % n, k] = 4.0
    power = np.where(np.arange(n) % 2 == 0, 1.0, -1.0)
    return tessaly.Grid.from_arrays(power, coupling, inertia=1.0, damping=damping, capacity=np.full((n, n), 3.0))


def case9_with_isolated_bus(tmp_path):
    """case9 with its buses renumbered 10, 20, ..., 90 and an isolated bus 25
    third in the bus table: every node after it is one index lower than its
    row, and no bus number is its node index + 1."""
    case = read_case(case_path("case9"))
    case.bus[:, 0] *= 10
    case.gen[:, 0] *= 10
    case.branch[:, :2] *= 10
    row = np.zeros(case.bus.shape[1])
    row[:9] = [25, 4, 0, 0, 0, 0, 1, 1, 0]
    case.bus = np.insert(case.bus, 2, row, axis=0)
    write_case(tmp_path / "dropped.m", case)
    return tmp_path / "dropped.m"


def test_bus_numbers_survive_a_dropped_bus_through_run_tables_and_figures(tmp_path):
    grid = tessaly.Grid.from_case(case9_with_isolated_bus(tmp_path), damping=(2, 2))
    buses = [10, 20, 30, 40, 50, 60, 70, 80, 90]
    assert list(grid.bus_numbers) == buses
    assert grid.node_of(50) == 4
    study = tessaly.Study(grid, steps=400, trajectories=True)
    study.raster(buses=[50, 60], frequency_offsets=[-0.3, 0.3], phase_offsets=[0])
    study.stochastic(turbine_buses=[[20]], wind_series=[[8, 11, 9, 12, 10, 7]], renewable_share=0.5,
                     line_flows=True)
    run = study.run(tmp_path / "run", threads=2)

    assert list(run.bus_numbers) == buses
    kicks = run.frame("kicks")
    assert list(kicks["bus"]) == [50, 50, 60, 60] and list(kicks["node"]) == [4, 4, 5, 5]
    times = run.frame("return_times")
    assert set(times["perturbed_bus"]) == {50, 60} and len(times) == 4 * 9
    flows = run.frame("flows")
    np.testing.assert_array_equal(flows["from_bus"], run.bus_numbers[flows["from"]])
    assert (flows["max_flow"] >= flows["mean_flow"]).all() and (flows["max_flow"] > 0).any()
    assert run.frame("runs")["turbine_buses"].tolist() == ["20"]

    dataset = run.to_xarray()
    assert dataset["bus"].values.tolist() == list(run.bus_numbers)
    assert dataset["kicked_bus"].values.tolist() == [50, 50, 60, 60]
    assert dataset["frequency"].dims == ("ic", "time", "node")
    np.testing.assert_array_equal(dataset["mean_flow"].values[0], run.stochastic.runs[0].flows["mean_flow"])
    done = subprocess.run([sys.executable, "-m", "tessaly", "export", str(tmp_path / "run"), "--netcdf",
                           str(tmp_path / "run.nc")], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)))
    assert done.returncode == 0, done.stderr
    import xarray
    with xarray.open_dataset(tmp_path / "run.nc") as read_back:
        assert read_back["bus"].values.tolist() == list(run.bus_numbers)
        np.testing.assert_array_equal(read_back["mean_return_time"].values,
                                      run.raster.return_times["mean_return_time"])
        assert read_back.attrs["time_unit"] == "t"

    legend = [t.get_text() for t in plots.traj(run, ic=1).axes[0].get_legend().get_texts()]
    assert "bus 50" in legend and "bus 90" in legend
    assert "bus 60" in plots.rtmap(run, bus=60)._suptitle.get_text()
    ticks = [t.get_text() for t in plots.flows(run).axes[0].get_xticklabels()]
    assert "(40, 50)" in ticks and "(20, 80)" in ticks      # bus 20 reaches bus 80 over its transformer
    labels = {t.get_text() for t in plots.grid_figure(grid).axes[0].texts}
    assert labels == {str(b) for b in buses}


def test_physical_units_of_case118_give_seconds(tmp_path):
    out = tmp_path / "physical.txt"
    imported = run_import(case_path("case118"), "-o", out, "--inertia-h", "5,1", "--frequency", "60",
                          "--damping", "20,2", "--steps", "600", "--raster", "9:10")
    assert imported.returncode == 0, imported.stderr
    grid = tessaly.Grid.from_input(out)
    node = grid.node_of(10)          # a generator bus with one 100 MVA machine
    # M = 2 H S / (2 pi f S_base) = 2 * 5 s * 100 MVA / (2 pi 60 Hz * 100 MVA)
    assert grid.nodes["inertia"][node] == pytest.approx(10 / (120 * math.pi), rel=1e-15)
    assert grid.nodes["damping"][node] == pytest.approx(20 / (120 * math.pi), rel=1e-15)
    load = grid.node_of(2)           # a load bus: H on baseMVA
    assert grid.nodes["inertia"][load] == pytest.approx(2 / (120 * math.pi), rel=1e-15)
    assert grid.units == {"system": "physical", "nominal_frequency": 60.0, "base_power": 100.0}

    study = tessaly.Study.from_input(out)
    study.extra_lines.append("Mode save traj")
    run = study.run(tmp_path / "run")
    assert run.units["time"] == "s" and run.units["frequency"] == "rad/s"
    assert run.file("raster.ijtor").entry["group"]["columns"][-1]["unit"] == "s"
    assert run.time[-1] == pytest.approx(599 * grid.suggested_step)
    figure = plots.traj(run, ic=0)
    assert figure.axes[-1].get_xlabel() == "time (s)" and figure.axes[0].get_ylabel() == "frequency deviation (Hz)"
    plotted = figure.axes[0].get_lines()[0].get_ydata()
    np.testing.assert_allclose(plotted, run.raster.frequency[0][:, 0] / (2 * np.pi))


def test_program_warnings_and_errors_reach_python(tmp_path):
    negative = ring()
    negative.set_damping(-0.1, buses=[3])
    study = tessaly.Study(negative, steps=50)
    study.raster(nodes=[0], frequency_offsets=[0.1])
    with pytest.warns(ProgramWarning, match="\"Damping\" is negative at 1 node"):
        run = study.run(tmp_path / "warned")
    assert any("negative" in w for w in run.program_warnings)
    assert "read Line list" in run.console

    no_inertia = ring()
    no_inertia.set_inertia(0.0, buses=[2])
    study = tessaly.Study(no_inertia, steps=50)
    study.raster(nodes=[0])
    with pytest.raises(InvalidInputError, match="Inertia") as error:
        study.run(tmp_path / "invalid")
    assert error.value.status == 2
    assert not list((tmp_path / "invalid").glob("Manifest*"))

    unbalanced = tessaly.Grid.from_arrays([5.0, -5.0], [[0, 1], [1, 0]])
    study = tessaly.Study(unbalanced, steps=20)
    study.raster(nodes=[0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ProgramWarning)
        with pytest.raises(RunFailedError, match="did not converge") as failed:
            study.run(tmp_path / "failed")
        assert failed.value.status == 3
        assert failed.value.run.manifest["exit_status"] == 3
        with pytest.raises(tessaly.StudyError, match="earlier run"):
            study.run(tmp_path / "failed")
        again = study.run(tmp_path / "failed", if_exists="replace", check=False)
    assert again.run_count == 1 and again.manifest["exit_status"] == 3


def test_an_input_file_as_a_study_gives_the_bytes_of_the_file(tmp_path, program):
    direct = tmp_path / "direct"
    direct.mkdir()
    shutil.copy(EXAMPLES / "raster.txt", direct)
    assert subprocess.run([program, "-C", str(direct), "raster.txt"], capture_output=True).returncode == 0
    # The grid as Grid tables, written back as "Line list"; every other line as it was.
    study = tessaly.Study.from_input(EXAMPLES / "raster.txt")
    assert study.grid.num_nodes == 4 and len(study.grid.lines) == 6
    run = study.run(tmp_path / "study", threads=3)
    for name in ("ijtor/ijtorraster", "frequency/freqTrajraster", "etraj/etrajraster", "ipm/ipmraster"):
        assert (tmp_path / "study" / name).read_bytes() == (direct / name).read_bytes(), name
    assert run.bus_numbers is None and run.node_label(2) == "node 2"


def test_processes_through_the_launcher_give_the_bytes_of_one(tmp_path, monkeypatch):
    if not shutil.which("mpirun"):
        pytest.skip("no MPI launcher")
    monkeypatch.setenv("OMPI_ALLOW_RUN_AS_ROOT", "1")
    monkeypatch.setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1")
    # Open MPI keeps its sockets under TMPDIR, whose path must stay short.
    monkeypatch.setenv("TMPDIR", "/tmp")
    # Open MPI keeps allocations until exit, which a sanitized build's leak
    # check would report as the program's failure.
    monkeypatch.setenv("ASAN_OPTIONS", "detect_leaks=0")
    study = tessaly.Study(ring(8), steps=300, trajectories=True)
    study.raster(nodes=range(0, 4), frequency_offsets=[-0.4, 0.4], phase_offsets=[0, 0.5])
    one = study.run(tmp_path / "one", threads=1)
    two = study.run(tmp_path / "two", processes=2, threads=1)
    assert two.manifest["ranks"] == 2
    assert one.file("raster.freq_traj").path.read_bytes() == two.file("raster.freq_traj").path.read_bytes()


def test_sweep_over_damping_returns_one_table(tmp_path):
    study = tessaly.Study(ring(), steps=1500, step_width=0.01)
    study.raster(nodes=[0, 1], frequency_offsets=[-0.5, 0.5], phase_offsets=[0], thresholds=(0.01, 0.05))
    table = tessaly.sweep(study, lambda s, d: s.grid.set_damping(d), [0.4, 0.8, 1.6], tmp_path / "damping")
    assert list(table["value"]) == [0.4, 0.8, 1.6] and list(table["exit_status"]) == [0, 0, 0]
    times = list(table["raster.mean_return_time"])
    assert times[0] > times[1] > times[2] > 0          # more damping, faster return
    assert [Path(d).name for d in table["directory"]] == ["0", "1", "2"]
    steps = tessaly.sweep(study, "steps", [20, 40], tmp_path / "steps", summary=lambda run: {"saved": len(run.time)})
    assert list(steps["saved"]) == [19, 39]
    assert study.steps == 1500                          # the study itself is left as it was


def test_grid_tables_change_what_is_written(tmp_path):
    grid = tessaly.Grid.from_case("case14", inertia_h=(4, 0.5), frequency=50)
    before = grid.copy()
    grid.scale_capacity(0.5).set_capacity(1.25, between=(1, 2))
    grid.set_inertia_constant(8, buses=[1]).set_damping(0.3, node_type="load")
    records = grid.records_between(1, 2)
    assert len(records) == 2 and (grid.lines["capacity"][records] == 1.25).all()
    others = np.setdiff1d(np.arange(len(grid.lines)), records)
    np.testing.assert_array_equal(grid.lines["capacity"][others], before.lines["capacity"][others] * 0.5)
    assert grid.nodes["inertia"][0] == pytest.approx(2 * before.nodes["inertia"][0])
    assert (grid.nodes["damping"][grid.nodes["type"] == 1] == 0.3).all()
    # What is written is read back as it was, bit for bit.
    again = tessaly.Grid.from_text("\n".join(grid.input_lines()) + "\n")
    for name in grid.nodes.dtype.names:
        np.testing.assert_array_equal(again.nodes[name], grid.nodes[name])
    for name in grid.lines.dtype.names:
        np.testing.assert_array_equal(again.lines[name], grid.lines[name])
    assert again.units == grid.units and list(again.bus_numbers) == list(grid.bus_numbers)
    with pytest.raises(tessaly.GridError, match="no line between bus 1 and bus 14"):
        grid.set_capacity(1, between=(1, 14))
    with pytest.raises(tessaly.GridError, match="physical units"):
        tessaly.Grid.from_case("case14").set_inertia_constant(5)


def test_commands_and_the_package_work_without_numpy(tmp_path):
    bare = tmp_path / "bare"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(bare)], check=True)
    python = str(bare / "bin" / "python")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    assert subprocess.run([python, "-c", "import numpy"], capture_output=True, env=env).returncode != 0
    shown = subprocess.run([python, "-m", "tessaly", "--help"], capture_output=True, text=True, env=env)
    assert shown.returncode == 0 and "import" in shown.stdout
    found = subprocess.run([python, "-c", "import tessaly; print(tessaly.find_program())"], capture_output=True,
                           text=True, env=env)
    assert found.returncode == 0 and found.stdout.strip() == str(Path(os.environ["TESSALY_PROGRAM"]).resolve())
    needs = subprocess.run([python, "-m", "tessaly", "import", str(case_path("case9")), "-o",
                            str(tmp_path / "x.txt")], capture_output=True, text=True, env=env)
    assert needs.returncode == 1 and needs.stderr.count("\n") == 1
    assert "needs the Python module numpy" in needs.stderr and "python3-numpy" in needs.stderr
    missing = subprocess.run([python, "-c", "import tessaly; tessaly.find_program()"], capture_output=True,
                             text=True, env=dict(env, TESSALY_PROGRAM=str(tmp_path / "none")))
    assert "TESSALY_PROGRAM is" in missing.stderr and "no executable file" in missing.stderr
