"""The loader against the files of real runs of the shipped examples."""
import json
import os
import resource
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import tessaly
from conftest import EXAMPLES
from tessaly.gridfile import read_lines
from tessaly.manifest import ManifestError, read_manifest


def raw(path, dtype="<f8"):
    return np.fromfile(path, dtype=dtype)


def test_raster_with_every_mode(example_runs):
    directory = example_runs["raster"]
    run = tessaly.load(directory / "Paramraster")
    raster, n, s = run.raster, run.nodes, run.steps
    assert (n, s, raster.shape, raster.initial_conditions) == (4, 200, (2, 2, 2), 8)
    kicks = raster.kicks
    assert kicks[["node", "frequency_offset", "phase_offset"]].tolist() == [
        (0, -0.2, 0.0), (0, -0.2, 0.3), (0, 0.0, 0.0), (0, 0.0, 0.3),
        (1, -0.2, 0.0), (1, -0.2, 0.3), (1, 0.0, 0.0), (1, 0.0, 0.3)]

    frequency, phase = raster.frequency, raster.phase
    assert frequency.shape == phase.shape == (8, s - 1, n) and isinstance(frequency, np.memmap)
    np.testing.assert_array_equal(frequency.ravel(), raw(directory / "frequency/freqTrajraster"))
    np.testing.assert_allclose(run.time[[0, -1]], [0.01, 1.99])

    # Every mode started from the same kick: the trajectory ends in the
    # return-time mode's final state, which started from the kicked steady state.
    ends = raster.endpoints
    assert list(ends) == ["ert.initial", "ert.final", "rmrt.initial", "rmrt.final"]
    np.testing.assert_array_equal(frequency[:, -1], ends["rmrt.final"]["frequency"])
    np.testing.assert_array_equal(phase[:, -1], ends["rmrt.final"]["phase"])
    for ic, kick in enumerate(kicks):
        kicked = np.zeros(n)
        kicked[kick["node"]] = kick["frequency_offset"]
        np.testing.assert_array_equal(ends["rmrt.initial"]["frequency"][ic], kicked)
        kicked = run.steady_state.copy()
        kicked[kick["node"]] += kick["phase_offset"]
        np.testing.assert_array_equal(ends["ert.initial"]["phase"][ic], kicked)

    returns = raster.return_times
    records = raw(directory / "ijtor/ijtorraster").reshape(8, n, 5)
    np.testing.assert_array_equal(returns["mean_return_time"], records[:, :, 4])
    np.testing.assert_array_equal(returns["perturbed_node"], kicks["node"])
    np.testing.assert_array_equal(returns["initial_frequency"], kicks["frequency_offset"])
    np.testing.assert_allclose(returns["initial_phase"] - run.steady_state[kicks["node"]], kicks["phase_offset"],
                               atol=1e-15)
    assert np.isinf(returns["mean_return_time"]).any()
    # The map of observed node 3 is a reshape away.
    rt_map = returns["mean_return_time"][:, 3].reshape(raster.shape)
    assert rt_map[1, 0, 1] == records[raster.index(1, 0, 1), 3, 4]

    # Maxima: the signed value of largest magnitude over the saved states,
    # at its first peak (a node that never moves keeps 0 at time 0).
    peak = np.abs(frequency).argmax(axis=1)
    largest = np.take_along_axis(frequency, peak[:, None, :], axis=1)[:, 0]
    np.testing.assert_array_equal(raster.maxima["frequency_max"], largest)
    np.testing.assert_allclose(raster.maxima["frequency_max_time"], np.where(largest != 0, run.time[peak], 0))

    np.testing.assert_array_equal(raster.sample_steps, [1, 51, 101, 151])
    np.testing.assert_array_equal(raster.sampled_frequency, frequency[:, raster.sample_steps - 1])
    np.testing.assert_array_equal(raster.sampled_phase, phase[:, raster.sample_steps - 1])
    assert raster.energy.shape == (8, s - 1)
    np.testing.assert_array_equal(raster.energy_return_times["energy_return_time"],
                                  raw(directory / "heijtor/heijtorraster").reshape(8, 5)[:, 4])


def test_stochastic_with_every_mode(example_runs):
    directory = example_runs["wind"]
    # The report carries the last run's name; the manifest the name as read.
    run = tessaly.load(directory / "Paramwindw1tn1")
    assert run.manifest_path.name == "Manifestwind.json"
    stochastic, n, s = run.stochastic, run.nodes, run.steps
    assert [r.output_name for r in stochastic.runs] == ["windw0tn0", "windw0tn1", "windw1tn0", "windw1tn1"]
    assert len(stochastic.bin_edges) == 5001 and stochastic.bin_edges[2500] == 0
    counted = np.arange(stochastic.survive_init_steps, s)
    records = 1 + (len(counted) - 1) // stochastic.survive_interval
    _, lines = read_lines(directory / "wind.txt")

    for r in stochastic.runs:
        assert r.frequency.shape == r.phase.shape == (s - 1, n)
        np.testing.assert_array_equal(r.phase.ravel(), raw(directory / f"phase/phasTraj{r.output_name}"))
        assert r.histograms.shape == (n, 5000) and (r.histograms.sum(axis=1) == len(counted)).all()
        assert sorted(r.increment_histograms) == [0.5, 1.0]
        for lag, counts in r.increment_histograms.items():
            lag_steps = round(lag / run.step_width)
            assert (counts.sum(axis=1) == np.count_nonzero(counted % lag_steps == 0)).all()

        assert list(r.survival) == ["cascade", "surv_all", "surv"]
        assert r.survival["surv"].shape == (records, n) and r.survival["cascade"].shape == (records,)
        most = np.r_[1, np.full(records - 1, stochastic.survive_interval)]
        assert not np.isnan(r.survival["surv"]).any() and (r.survival["surv"] <= most[:, None]).all()
        for analysis, nodes in r.flanks.items():
            assert len(nodes) == n
            for flanks in nodes:   # every node starts inside the band: it leaves before it comes back
                assert len(flanks.up) - len(flanks.down) in (0, 1)
                assert (flanks.down > flanks.up[:len(flanks.down)]).all()

        assert r.trips[["from", "to"]].tolist() == [(t["from"], t["to"]) for t in r.entry["tripped_lines"]]
        np.testing.assert_array_equal(r.trips["time"], [t["time"] for t in r.entry["tripped_lines"]])
        assert r.max_flow.shape == r.max_ratio.shape == (s,) and r.max_line.shape == (s, 2)
        assert r.flows[["from", "to"]].tolist() == lines[["from", "to"]].tolist()
        assert sorted(r.power_series) == sorted(r.turbine_nodes)
        assert all(len(series) == s for series in r.power_series.values())
        # Step function and interpolation: two wind series per turbine.
        assert [node for node, _ in r.wind_speed] == [node for node in r.turbine_nodes for _ in range(2)]

    trips = stochastic.runs[1].trips
    assert trips.tolist() == [(1.01, 0, 4)]
    step = round(trips["time"][0] / run.step_width)
    assert stochastic.runs[1].max_ratio[step] > 1 and stochastic.runs[1].max_line[step].tolist() == [0, 4]


def test_second_run_is_read_from_its_offset(example_runs):
    directory = example_runs["append"]
    first = tessaly.load(directory / "Manifestfirst.json")
    second = tessaly.load(directory / "Manifestdemo.json")
    for a, b in zip(first.files, second.files):
        assert (a.path, a.offset, a.records) == (b.path, 0, b.records)
        assert b.offset == a.records * a.width * a.dtype.itemsize == b.path.stat().st_size // 2
    half = first.raster.frequency.size
    trajectories = raw(first.file("raster.freq_traj").path)
    np.testing.assert_array_equal(first.raster.frequency.ravel(), trajectories[:half])
    np.testing.assert_array_equal(second.raster.frequency.ravel(), trajectories[half:])
    # The second run had less damping: other values at the same places.
    assert not np.array_equal(first.raster.return_times, second.raster.return_times)
    np.testing.assert_array_equal(second.raster.return_times["perturbed_node"],
                                  first.raster.return_times["perturbed_node"])


def test_every_appended_run_stays_loadable(tessaly_bin, tmp_path):
    shutil.copy(EXAMPLES / "demo.txt", tmp_path)
    for _ in range(3):
        done = subprocess.run([tessaly_bin, "-C", str(tmp_path), "demo.txt"], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    runs = [tessaly.load(tmp_path, run=k) for k in range(3)]
    assert [r.run_number for r in runs] == [0, 1, 2] and {r.run_count for r in runs} == {3}
    latest = tessaly.load(tmp_path)
    assert latest.run_number == 2 and latest.manifest == runs[2].manifest
    assert tessaly.load(tmp_path, run=-3).manifest == runs[0].manifest
    trajectories = raw(latest.file("raster.freq_traj").path)
    third = trajectories.size // 3
    for k, run in enumerate(runs):
        assert run.file("raster.freq_traj").offset == k * third * 8
        np.testing.assert_array_equal(run.raster.frequency.ravel(), trajectories[k * third:(k + 1) * third])
    with pytest.raises(ValueError, match="describes 3 run"):
        tessaly.load(tmp_path, run=3)


def test_cut_short_partial_and_unfinished(example_runs, tmp_path):
    directory = tmp_path / "moved"
    shutil.copytree(example_runs["raster"], directory)
    assert tessaly.load(directory).directory == directory   # not the directory the run worked in
    ijtor = directory / "ijtor" / "ijtorraster"
    size = ijtor.stat().st_size

    os.truncate(ijtor, size - 8)
    with pytest.raises(tessaly.ResultFileError) as error:
        tessaly.load(directory)
    assert f"{ijtor}: {size - 8} bytes" in str(error.value) and f"at least {size}" in str(error.value)

    os.truncate(ijtor, size + 3)
    with pytest.raises(tessaly.ResultFileError, match=f"{size + 3} bytes.*partial record of 3 bytes"):
        tessaly.load(directory)

    # As a killed run leaves it: the manifest of its start, the files further on.
    manifest_path = directory / "Manifestraster.json"
    manifest = json.loads(manifest_path.read_text())
    manifest.update(complete=False, exit_status=None, end_time=None)
    for entry in manifest["files"]:
        entry["records"] = 0
    manifest_path.write_text(json.dumps(manifest))
    with pytest.warns(tessaly.IncompleteRunWarning, match="did not finish"):
        run = tessaly.load(directory)
    assert run.raster.frequency.shape == (8, 199, 4) and len(run.raster.return_times) == 8


def test_files_cut_by_a_file_size_limit(tessaly_bin, tmp_path):
    """A run whose trajectories reached the limit: the whole records that fit,
    and a warning naming the files."""
    shutil.copy(Path(__file__).resolve().parents[2] / "examples" / "raster.txt", tmp_path)
    limit = 20011
    # One thread: on several, a kick beyond the limit may fail first and end
    # the file's writing before the fourth kick's records that fit are in.
    done = subprocess.run([tessaly_bin, "-j", "1", "raster.txt"], cwd=tmp_path, capture_output=True, text=True,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
    assert done.returncode == 4, done.stderr
    with pytest.warns(tessaly.IncompleteResultsWarning, match=r"2 result file\(s\).*freqTrajraster \(File too large\)"):
        run = tessaly.load(tmp_path)
    # 4 nodes, 199 saved steps: three kicks' trajectories fit, the fourth only in part.
    values = raw(tmp_path / "frequency" / "freqTrajraster")
    assert values.size == limit // 32 * 4
    assert run.raster.frequency.shape == (3, 199, 4)
    np.testing.assert_array_equal(run.raster.frequency.ravel(), values[:3 * 199 * 4])
    assert len(run.raster.return_times) == 8


def test_output_name_with_a_directory_part(tessaly_bin, tmp_path):
    source = (Path(__file__).resolve().parents[2] / "examples" / "raster.txt").read_text()
    work = tmp_path / "work"
    (work / "results").mkdir(parents=True)
    (work / "raster.txt").write_text(source.replace("Output filename\nraster\n", "Output filename\nresults/r\n"))
    done = subprocess.run([tessaly_bin, "-C", str(work), "raster.txt"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    shutil.move(work, tmp_path / "elsewhere")
    run = tessaly.load(tmp_path / "elsewhere" / "results")
    assert run.directory == tmp_path / "elsewhere"
    assert run.raster.frequency.shape == (8, 199, 4) and run.input_path.read_text().startswith("// Raster")


def test_finding_the_manifest(example_runs, tmp_path):
    assert tessaly.load(example_runs["raster"]).manifest_path == example_runs["raster"] / "Manifestraster.json"
    with pytest.raises(ManifestError, match="holds 2 run manifests, give one of them: "
                                            "Manifestdemo.json, Manifestfirst.json"):
        tessaly.load(example_runs["append"])
    with pytest.raises(ManifestError, match="holds no run manifest"):
        tessaly.load(tmp_path)
    (tmp_path / "Paramlost").write_text("report")
    with pytest.raises(ManifestError, match="Manifestlost.json does not exist"):
        tessaly.load(tmp_path / "Paramlost")
    (tmp_path / "Manifestbad.json").write_text("{\"schema\": 1")
    with pytest.raises(ManifestError, match="is no run manifest"):
        tessaly.load(tmp_path / "Manifestbad.json")


def test_non_finite_numbers_only_where_numbers_belong(tmp_path):
    path = tmp_path / "Manifestnan.json"
    path.write_text(json.dumps({
        "schema": 1, "output_name": "nan", "command_line": ["tessaly", "inf"], "modes": ["Mode raster rt"],
        "power_flow": {"total_error": "nan", "solver": "dense"},
        "raster": {"thresholds": ["inf", 0.1], "energy_threshold": "-inf"},
        "files": [{"path": "inf", "columns": [{"name": "nan", "unit": "t"}], "lag": "inf"}]}))
    manifest = read_manifest(path)
    assert manifest["output_name"] == "nan" and manifest["command_line"] == ["tessaly", "inf"]
    assert np.isnan(manifest["power_flow"]["total_error"]) and manifest["power_flow"]["solver"] == "dense"
    assert manifest["raster"]["thresholds"] == [np.inf, 0.1] and manifest["raster"]["energy_threshold"] == -np.inf
    assert manifest["files"][0]["path"] == "inf" and manifest["files"][0]["columns"][0]["name"] == "nan"
    assert manifest["files"][0]["lag"] == np.inf
