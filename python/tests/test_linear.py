"""Linear stability end to end: the program's eigenvalues and participation
factors against a dense numpy reference of the first-order system, built
here from the input's line records (unequal inertia and damping, phase
shifts, a one-way record), and the two figures."""
import json
import subprocess
import sys

import numpy as np
import pytest

import tessaly
from conftest import PACKAGE_ROOT, run_program
from tessaly import linear_plots, plots

N = 12


def grid_records():
    """Directed records (from, to, K, φ): a ring, chords both ways, phase
    shifts that make the couplings not symmetric, and the one-way record
    3 -> 9 (node 3 feels node 9, node 9 does not feel node 3)."""
    rng = np.random.default_rng(5)
    pairs = [(i, (i + 1) % N) for i in range(N)] + [(0, 6), (2, 8), (4, 10)]
    records = []
    for a, b in pairs:
        k, phi = rng.uniform(3, 6), rng.uniform(-0.05, 0.05)
        records += [(a, b, k, phi), (b, a, k, phi)]
    records.append((3, 9, 2.5, 0.0))
    return records


def write_input(directory, extra=""):
    rng = np.random.default_rng(9)
    inertia = rng.uniform(0.5, 2.0, N)
    damping = rng.uniform(0.1, 0.8, N)
    power = rng.uniform(-0.3, 0.3, N)
    power -= power.mean()
    lines = "\n".join(f"{a} {b} {k!r} {phi!r}" for a, b, k, phi in grid_records())
    text = (f"Random seed\n1\nOutput filename\nlin\nMode linear stability\nNumber of nodes\n{N}\nNR start\nflat\n"
            f"NR precision\n1e-13\nPower mech\n{' '.join(map(repr, power))}\n"
            f"Inertia\n{' '.join(map(repr, inertia))}\nDamping\n{' '.join(map(repr, damping))}\n"
            f"Line list\n{lines}\nLinear modes\n6\n{extra}")
    (directory / "lin.txt").write_text(text)
    return inertia, damping


def reference_system(theta, inertia, damping):
    """J = [[0, I], [-M⁻¹L, -M⁻¹D]] with every record adding to its sending node's row."""
    L = np.zeros((N, N))
    for a, b, k, phi in grid_records():
        c = k * np.cos(theta[a] - theta[b] - phi)
        L[a, a] += c
        L[a, b] -= c
    J = np.zeros((2 * N, 2 * N))
    J[:N, N:] = np.eye(N)
    J[N:, :N] = -L / inertia[:, None]
    J[N:, N:] = -np.diag(damping / inertia)
    return J


def nearest(values, target):
    return int(np.argmin(np.abs(values - target)))


@pytest.fixture
def linear_run(tessaly_bin, tmp_path):
    inertia, damping = write_input(tmp_path)
    done = run_program(tessaly_bin, tmp_path, "lin.txt")
    assert done.returncode == 0, done.stderr
    # The grid's one-way record and the losses its lossy lines leave to the
    # reference node are said; nothing else is.
    said = done.stderr.splitlines()
    assert len(said) == 2 and "no reverse record (from, to: (3, 9))" in said[0] and "reference node" in said[1], said
    return tessaly.load(tmp_path), inertia, damping, done.stdout


def test_every_eigenvalue_and_participation_factor_matches_a_dense_reference(linear_run):
    run, inertia, damping, stdout = linear_run
    linear = run.linear
    assert linear.path == "dense-general"
    assert "solver: dense-general" in stdout and "steady state: linearly stable" in stdout
    J = reference_system(run.steady_state, inertia, damping)
    expected, right = np.linalg.eig(J)
    computed = linear.values
    assert len(computed) == 2 * N
    # One island, turning freely: its zero eigenvalue is the rotation mode.
    assert linear.eigenvalues["rotation_mode"].sum() == 1
    assert abs(computed[linear.eigenvalues["rotation_mode"]][0]) < 1e-10
    scale = np.abs(J).sum(axis=1).max()
    unmatched = list(computed)
    for lam in expected:
        k = nearest(np.array(unmatched), lam)
        assert abs(unmatched[k] - lam) <= max(1e-9 * abs(lam), 1e-12 * scale), (lam, unmatched[k])
        unmatched.pop(k)
    # Least damped first; frequencies and damping ratios follow from λ.
    ordinary = computed[~linear.eigenvalues["rotation_mode"]]
    assert np.all(np.diff(ordinary.real) <= 1e-12)
    np.testing.assert_allclose(linear.eigenvalues["frequency"], computed.imag / (2 * np.pi), rtol=1e-15)
    nonzero = np.abs(computed) > 0
    np.testing.assert_allclose(linear.eigenvalues["damping_ratio"][nonzero],
                               -computed.real[nonzero] / np.abs(computed[nonzero]), rtol=1e-14)

    # Participation: |w_k v_k| over the states of each node, from numpy's
    # right and left eigenvectors (those of J transposed).
    left_values, left = np.linalg.eig(J.T)
    assert len(linear.participation_modes) >= 6
    for row, index in enumerate(linear.participation_modes):
        lam = computed[index]
        v = right[:, nearest(expected, lam)]
        w = left[:, nearest(left_values, lam)]
        shares = np.abs(w[:N] * v[:N]) + np.abs(w[N:] * v[N:])
        np.testing.assert_allclose(linear.participation[row], shares / shares.sum(), atol=1e-7)
        assert linear.participation[row].sum() == pytest.approx(1, abs=1e-12)

    least = linear.least_damped_oscillatory
    assert least["imag"] > 0 and least["index"] == int(np.flatnonzero(computed.imag > 0)[0])
    manifest = json.loads(run.manifest_path.read_text())
    assert manifest["modes"] == ["Mode linear stability"]
    assert manifest["linear"]["unstable"] is False


def test_figures_show_the_eigenvalues_and_one_modes_participation(linear_run):
    run, _, _, _ = linear_run
    fig = linear_plots.eigenvalues(run)
    points = np.concatenate([c.get_offsets() for c in fig.axes[0].collections])
    values = run.linear.values
    assert sorted(map(tuple, np.round(points, 12))) == sorted(zip(np.round(values.real, 12),
                                                                  np.round(values.imag, 12)))
    plots.plt.close(fig)
    fig = linear_plots.mode(run, index=1)
    [nodes] = [c for c in fig.axes[0].collections if c.get_array() is not None and len(c.get_array()) == N]
    np.testing.assert_array_equal(nodes.get_array(), run.linear.participation[1])
    plots.plt.close(fig)
    with pytest.raises(plots.PlotError, match="mode 99 has no participation factors"):
        linear_plots.mode(run, index=99)

    out = run.directory / "mode.png"
    done = subprocess.run([sys.executable, "-m", "tessaly", "plot", "mode", str(run.directory), "--index", "2",
                           "-o", str(out)], capture_output=True, text=True,
                          env={"PYTHONPATH": str(PACKAGE_ROOT), "MPLBACKEND": "Agg"})
    assert done.returncode == 0, done.stderr
    assert out.read_bytes().startswith(b"\x89PNG")


def test_the_iterative_solver_finds_the_least_damped_modes_of_the_dense_one(tessaly_bin, tmp_path):
    write_input(tmp_path, "Linear solver\niterative\n")
    done = run_program(tessaly_bin, tmp_path, "lin.txt")
    assert done.returncode == 0, done.stderr
    iterative = tessaly.load(tmp_path).linear
    assert iterative.path == "iterative"
    dense_dir = tmp_path / "dense"
    dense_dir.mkdir()
    write_input(dense_dir)
    assert run_program(tessaly_bin, dense_dir, "lin.txt").returncode == 0
    dense = tessaly.load(dense_dir).linear
    # Only the rotation mode and the least damped: their values as the dense path has them.
    assert len(iterative.values) == 1 + len(iterative.participation_modes)
    np.testing.assert_allclose(iterative.values[iterative.participation_modes],
                               dense.values[dense.participation_modes], rtol=1e-8)
    np.testing.assert_allclose(iterative.participation, dense.participation, atol=1e-6)
