"""Basin stability through the loader and the figures, on a real run of the
program that also rasters the same box: the sampled estimate against the
raster's, the tables against the files, the figures' data against the tables."""
import io
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import tessaly
from conftest import PACKAGE_ROOT
from tessaly import basinplots
from tessaly.basin import CLASSES, raster_basin_stability

# A chain (a tree: one stable synchronous state, so a finite return time
# means returned): nodes 0 and 1 are the one-machine infinite-bus benchmark's
# two-node reduction, node 2 hangs on node 1. Node 0 is sampled and rastered
# over the same box (60 x 60 kicks); nodes 1 and 2 are sampled too.
STEPS = 60
INPUT = "\n".join([
    "Random seed", "3", "RK steps", "4000", "RK stepwidth", "0.05", "Output filename", "chain",
    "Number of nodes", "3", "Power mech", "0.25 -0.25 0", "Damping", "0.1", "Inertia", "1",
    "Coupling mag", "0 0.5 0", "0.5 0 3", "0 3 0", "Reference node", "1",
    "Mode basin", "Basin nodes", "0 2 1", "Basin samples", "2000",
    "Mode raster rt", "Mode RMRT", "First pert node", "0", "Last pert node", "1",
    "Freq pert minimum", "-10", "Freq pert maximum", "9.999", "Freq pert step", repr(20 / STEPS),
    "Phase pert minimum", repr(-math.pi), "Phase pert maximum", repr(math.pi - 1e-9),
    "Phase pert step", repr(2 * math.pi / STEPS),
    "RT threshold low", "0.01", "RT threshold high", "0.01", "Num of thresh", "1"]) + "\n"


@pytest.fixture(scope="module")
def chain_run(tmp_path_factory):
    tessaly_bin = os.environ.get("TESSALY_BIN")
    if not tessaly_bin:
        pytest.skip("TESSALY_BIN does not name the built program")
    directory = tmp_path_factory.mktemp("basin")
    (directory / "input.txt").write_text(INPUT)
    done = subprocess.run([tessaly_bin, "-C", str(directory), "input.txt"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return directory, done.stdout


def test_sampled_estimate_agrees_with_a_fine_raster_of_the_same_box(chain_run):
    run = tessaly.load(chain_run[0])
    assert run.raster.shape == (1, STEPS, STEPS)
    rastered = run.raster.basin_stability()
    assert rastered["node"].tolist() == [0] and rastered["samples"].tolist() == [STEPS * STEPS]
    sampled = run.basin.stability
    assert sampled["node"].tolist() == [0, 2, 1]
    node0 = sampled[0]
    assert abs(node0["stability"] - rastered["stability"][0]) <= 3 * node0["standard_error"], (node0, rastered)
    # The raster's measure is the share of its kicks with every node's mean
    # return time finite.
    finite = np.isfinite(run.raster.return_times["mean_return_time"]).all(axis=1)
    assert rastered["returned"][0] == finite.sum()
    with pytest.raises(ValueError, match="not the smallest of the raster's bands"):
        run.raster.basin_stability(band=0.1)


def test_tables_hold_the_files_and_the_console_table(chain_run):
    directory, console = chain_run
    run = tessaly.load(directory)
    basin = run.basin
    assert basin.nodes == [0, 2, 1] and basin.samples_per_node == 2000 and basin.classes == CLASSES
    assert basin.phase_offset_range == (-math.pi, math.pi) and basin.frequency_offset_range == (-10, 10)
    assert basin.band == 0.01 and basin.settle_time == 20 and not basin.full_length

    records = np.fromfile(directory / "basin/basinStabilitychain").reshape(-1, 8)
    table = basin.stability
    assert table.dtype.names == ("node", "samples", "returned", "other_fixed_point", "not_returned", "undecided",
                                 "stability", "standard_error")
    np.testing.assert_array_equal(np.column_stack([table[name] for name in table.dtype.names]), records)
    np.testing.assert_array_equal(table["stability"], table["returned"] / table["samples"])
    for row in table:
        assert f"{row['node']:6d}{row['samples']:9d}{row['returned']:10d}" in console
        assert f"{row['stability']:.6f}{row['standard_error']:11.6f}" in console

    samples = basin.samples
    raw = np.fromfile(directory / "basin/basinSampleschain").reshape(-1, 6)
    assert len(samples) == 3 * 2000
    np.testing.assert_array_equal(samples["phase_offset"], raw[:, 2])
    np.testing.assert_array_equal(samples["class"], raw[:, 4])
    # Node by node in the order listed; per node its samples in order, and
    # the counts of its classes are those of its table row.
    assert samples["node"][[0, 2000, 4000]].tolist() == [0, 2, 1]
    for row in table:
        mine = basin.samples_of(row["node"])
        assert mine["sample"].tolist() == list(range(2000))
        counts = np.bincount(mine["class"], minlength=4)
        assert counts.tolist() == [row[name] for name in CLASSES]
    assert np.all((samples["decision_time"] > 0) & (samples["decision_time"] <= 200))
    assert basin.speedup == basin.steps_at_full_length / basin.steps_integrated > 1.5
    assert set(run.arrays()) >= {"basin/stability", "basin/samples"}


def png(fig):
    out = io.BytesIO()
    fig.savefig(out, format="png")
    basinplots.plt.close(fig)
    assert out.getvalue().startswith(b"\x89PNG")


def test_figures_draw_the_tables(chain_run):
    run = tessaly.load(chain_run[0])
    table = run.basin.stability
    fig = basinplots.basin(run)
    grid_ax, value_ax = fig.axes[:2]  # then the colour bar
    [nodes] = [c for c in grid_ax.collections if c.get_array() is not None]
    colours = np.ma.filled(nodes.get_array(), np.nan)
    np.testing.assert_array_equal(colours[table["node"]], table["stability"])
    assert nodes.get_clim() == (0, 1)  # nodes as low as 0.17: the whole scale
    points = value_ax.get_lines()[0]
    np.testing.assert_array_equal(points.get_xdata(), table["stability"])
    [bars] = [c for c in value_ax.collections if len(c.get_segments()) == len(table)]
    for segment, row in zip(bars.get_segments(), table):
        np.testing.assert_allclose(segment[:, 0], [row["stability"] - row["standard_error"],
                                                   row["stability"] + row["standard_error"]])
    png(fig)

    fig = basinplots.basin_samples(run, node=2)
    mine = run.basin.samples_of(2)
    drawn = fig.axes[0].collections
    assert len(drawn) == np.count_nonzero(np.bincount(mine["class"], minlength=4))
    for collection, code in zip(drawn, np.flatnonzero(np.bincount(mine["class"], minlength=4))):
        chosen = mine[mine["class"] == code]
        np.testing.assert_array_equal(collection.get_offsets(),
                                      np.column_stack([chosen["phase_offset"], chosen["frequency_offset"]]))
    png(fig)
    with pytest.raises(basinplots.PlotError, match="node 5 was not sampled"):
        basinplots.basin_samples(run, node=5)


def test_plot_command_draws_both_figures(chain_run, example_runs, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    for kind, extra in (("basin", []), ("basin-samples", ["--node", "1"])):
        out = tmp_path / f"{kind}.png"
        done = subprocess.run([sys.executable, "-m", "tessaly", "plot", kind, str(chain_run[0]), "-o", str(out),
                               *extra], env=env, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert out.read_bytes().startswith(b"\x89PNG")
    done = subprocess.run([sys.executable, "-m", "tessaly", "plot", "basin", str(example_runs["demo"]), "-o",
                           str(tmp_path / "none.png")], env=env, capture_output=True, text=True)
    assert done.returncode == 2 and "holds no basin stability" in done.stderr


def test_raster_basin_stability_of_an_old_raster(example_runs):
    # The demo's raster: mean return times over three bands, finite exactly
    # when the smallest band is reached at the end.
    raster = tessaly.load(example_runs["demo"]).raster
    table = raster_basin_stability(raster)
    finite = np.isfinite(raster.return_times["mean_return_time"]).all(axis=1).reshape(raster.shape[0], -1)
    assert table["node"].tolist() == list(range(raster.first_node, raster.last_node))
    np.testing.assert_array_equal(table["returned"], finite.sum(axis=1))
    np.testing.assert_allclose(table["standard_error"],
                               np.sqrt(table["stability"] * (1 - table["stability"]) / table["samples"]))
