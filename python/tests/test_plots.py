"""The figures (their data, not their pixels), the grid reader behind them,
and the plot and export commands."""
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tessaly
from conftest import PACKAGE_ROOT
from tessaly import export, plots
from tessaly.gridfile import LINE_DTYPE, read_lines


def png(fig):
    """The figure as PNG bytes (checked to be a drawn image)."""
    out = io.BytesIO()
    fig.savefig(out, format="png")
    plots.plt.close(fig)
    data = out.getvalue()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 10_000
    return data


def images(fig):
    return [image for ax in fig.axes for image in ax.images]


def test_rtmap_cells_hold_their_kicks_values(example_runs):
    run = tessaly.load(example_runs["demo"])
    raster = run.raster
    records = np.fromfile(run.file("raster.ijtor").path).reshape(-1, run.nodes, 5)
    fig = plots.rtmap(run, node=2, observed=[1, 4])
    for image, observed in zip(images(fig), [1, 4]):
        cells = image.get_array()
        assert cells.shape == (len(raster.frequency_offsets), len(raster.phase_offsets))
        for (f, p), value in np.ndenumerate(cells):
            assert value == records[raster.index(2, f, p), observed, 4]
    # The kick to node 2 with frequency offset 0.5 and phase offset -1.
    assert images(fig)[1].get_array()[2, 0] == records[9 * 2 + 3 * 2 + 0, 4, 4]
    png(fig)

    # Kicks after which a node did not return: masked and marked.
    run = tessaly.load(example_runs["raster"])
    fig = plots.rtmap(run, node=1)
    mean = run.raster.return_times["mean_return_time"].mean(axis=1).reshape(run.raster.shape)[1]
    [image] = images(fig)
    np.testing.assert_array_equal(image.get_array().mask, np.isinf(mean))
    marks = fig.axes[0].collections[0].get_offsets()
    f, p = np.nonzero(np.isinf(mean))
    np.testing.assert_array_equal(marks, np.column_stack([run.raster.phase_offsets[p],
                                                          run.raster.frequency_offsets[f]]))
    png(fig)
    with pytest.raises(plots.PlotError, match="node 3 was not kicked"):
        plots.rtmap(run, node=3)
    with pytest.raises(plots.PlotError, match=r"node 4 is not in the grid \(nodes 0 … 3\)"):
        plots.rtmap(run, observed=["mean", 4])
    with pytest.raises(plots.PlotError, match="node 7 is not in the grid"):
        plots.traj(run, nodes=[0, 7])


def test_traj_draws_the_saved_states(example_runs):
    run = tessaly.load(example_runs["raster"])
    saved = np.fromfile(run.file("raster.freq_traj").path).reshape(8, run.steps - 1, run.nodes)
    fig = plots.traj(run, ic=5, nodes=[0, 3])
    frequency_ax, phase_ax = fig.axes[:2]
    lines = frequency_ax.get_lines()
    np.testing.assert_array_equal(lines[1].get_xdata(), run.time)
    np.testing.assert_array_equal(lines[1].get_ydata(), saved[5, :, 3])
    deviation = phase_ax.get_lines()[0].get_ydata()
    assert np.allclose(np.exp(1j * deviation), np.exp(1j * (run.raster.phase[5, :, 0] - run.steady_state[0])))
    png(fig)

    wind = tessaly.load(example_runs["wind"])
    fig = plots.traj(wind, stochastic_run=2)
    assert len(fig.axes[0].get_lines()) == wind.nodes
    np.testing.assert_array_equal(fig.axes[0].get_lines()[4].get_ydata(), wind.stochastic.runs[2].frequency[:, 4])
    png(fig)


def test_hist_cascade_and_flows(example_runs):
    run = tessaly.load(example_runs["wind"])
    chosen = run.stochastic.runs[1]

    fig = plots.hist(run, stochastic_run=1, nodes=[0, 3])
    frequency_ax, *lag_axes = [ax for ax in fig.axes if ax.get_visible()]
    assert len(lag_axes) == 2 and frequency_ax.get_yscale() == "log"
    for patch, node in zip(frequency_ax.patches, [0, 3]):
        assert patch.get_data().values.sum() == chosen.histograms[node].sum()
    assert lag_axes[1].patches[1].get_data().values.sum() == chosen.increment_histograms[1.0][3].sum()
    png(fig)

    fig = plots.cascade(run)   # the first run with trips: run 1
    grid_ax, time_ax = fig.axes[:2]
    n, lines = read_lines(run.input_path)
    pos = plots.spring_layout(n, lines)
    [tripped] = [c for c in grid_ax.collections if c.get_array() is not None]
    np.testing.assert_array_equal(tripped.get_array(), chosen.trips["time"])
    np.testing.assert_allclose(tripped.get_segments()[0], pos[[0, 4]])
    np.testing.assert_array_equal(time_ax.get_lines()[0].get_ydata(), chosen.max_ratio)
    png(fig)

    fig = plots.flows(run, stochastic_run=1)
    ax = fig.axes[0]
    records = len(chosen.flows)
    heights = [bar.get_height() for bar in ax.patches]
    np.testing.assert_array_equal(heights, np.r_[chosen.flows["max_flow"], chosen.flows["mean_flow"]])
    capacity = ax.collections[0].get_offsets()
    assert len(capacity) == records
    np.testing.assert_array_equal(capacity[:, 1], lines["capacity"])
    png(fig)
    with pytest.raises(plots.PlotError, match="holds no raster"):
        plots.rtmap(run)


def test_overview_shows_the_circled_kick(example_runs):
    run = tessaly.load(example_runs["demo"])
    fig = plots.overview(run, node=1)
    mean = run.raster.return_times["mean_return_time"].mean(axis=1).reshape(run.raster.shape)[1]
    f, p = np.unravel_index(np.argmax(np.where(np.isfinite(mean), mean, -np.inf)), mean.shape)
    map_ax = next(ax for ax in fig.axes if ax.images)
    circle = map_ax.collections[-1].get_offsets()[0]
    assert tuple(circle) == (run.raster.phase_offsets[p], run.raster.frequency_offsets[f])
    trajectory_ax = next(ax for ax in fig.axes if ax.get_lines())
    np.testing.assert_array_equal(trajectory_ax.get_lines()[1].get_ydata(),
                                  run.raster.frequency[run.raster.index(1, f, p), :, 1])
    png(fig)


def test_grid_reader(tmp_path):
    (tmp_path / "coupling.txt").write_text("0 2 0\n2 0 0\n0 0 0\n\n9 9 9\n")
    (tmp_path / "grid.txt").write_text("\n".join([
        "// a comment", "Number of nodes", "3", "Coupling mag ext", "coupling.txt",
        "Line capacity", "0 1.5 7", "1.5 0 0", "0 0 0",
        "Line list", "0 1 5 0", "1 2 4 0.1 2.5", "2 1 4 0.1 inf 3 0.2", "Mode surv",
        "Coupling mag", "0 0 0", "0 0 0", "0 3 0", "", "Line list", "0 2 1 0"]) + "\n")
    n, lines = read_lines(tmp_path / "grid.txt")
    assert n == 3
    assert lines.tolist() == [(0, 1, 5.0, 1.5), (1, 0, 2.0, 1.5), (1, 2, 4.0, 2.5), (2, 1, 3.0, np.inf)]


def test_spring_layout_is_deterministic_and_pulls_neighbours_together():
    ring = np.array([(k, (k + 1) % 12, 1.0, 0.0) for k in range(12)], dtype=LINE_DTYPE)
    pos = plots.spring_layout(12, ring)
    np.testing.assert_array_equal(pos, plots.spring_layout(12, ring))
    distance = np.linalg.norm(pos[:, None] - pos[None], axis=2)
    neighbours = distance[np.arange(12), (np.arange(12) + 1) % 12]
    opposite = distance[np.arange(12), (np.arange(12) + 6) % 12]
    assert neighbours.max() < opposite.min()


def command(*args):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, "-m", "tessaly", *map(str, args)], env=env, capture_output=True,
                          text=True)


def test_plot_command(example_runs, tmp_path):
    done = command("plot", "overview", example_runs["demo"], "-o", tmp_path / "demo.png")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")
    done = command("plot", "hist", example_runs["raster"], "-o", tmp_path / "none.png")
    assert done.returncode == 2 and "tessaly plot: error:" in done.stderr and "holds no stochastic run" in done.stderr
    assert not (tmp_path / "none.png").exists()


@pytest.mark.parametrize("name", ["raster", "wind"])
def test_export_round_trip(example_runs, tmp_path, name):
    h5py = pytest.importorskip("h5py")
    done = command("export", example_runs[name], "--npz", tmp_path / "run.npz", "--hdf5", tmp_path / "run.h5")
    assert done.returncode == 0, done.stderr
    run = tessaly.load(example_runs[name])
    arrays = run.arrays()
    manifest_text = run.manifest_path.read_text()
    with np.load(tmp_path / "run.npz") as saved:
        assert sorted(saved.files) == sorted(list(arrays) + ["metadata"])
        for key, array in arrays.items():
            np.testing.assert_array_equal(saved[key], array, err_msg=key)
        assert json.loads(str(saved["metadata"])) == json.loads(manifest_text)
    with h5py.File(tmp_path / "run.h5") as saved:
        for key, array in arrays.items():
            np.testing.assert_array_equal(saved[key][()], array, err_msg=key)
        assert saved["metadata"][()].decode() == manifest_text


def test_hdf5_without_h5py_is_a_clear_error(example_runs, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "h5py", None)
    with pytest.raises(export.ExportError, match="needs the Python module h5py"):
        export.export_hdf5(tessaly.load(example_runs["raster"]), tmp_path / "run.h5")
