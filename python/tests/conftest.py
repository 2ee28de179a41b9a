"""Shared helpers of the Python tests: the case files, the importer's
command line, the built program and runs of the shipped examples, and an
independent AC power flow."""
import os
import resource
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

# No file a test or a program it starts writes may grow beyond this (the
# bound of the C++ tests), so a run that never ends cannot fill the disk
# before the test's time limit stops it; the largest file a test writes is
# about 5 MB. The soft limit only, so a test can still set its own.
FILE_SIZE_BOUND = 256 << 20
_soft, _hard = resource.getrlimit(resource.RLIMIT_FSIZE)
if _soft == resource.RLIM_INFINITY or _soft > FILE_SIZE_BOUND:
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_BOUND, _hard))

DATA = Path(__file__).resolve().parent / "data"
# The standard cases ship with the package; the test's own cases lie in DATA.
CASES = Path(__file__).resolve().parents[1] / "tessaly" / "cases"
PACKAGE_ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = PACKAGE_ROOT.parent / "examples"


def case_path(name):
    shipped = CASES / f"{name}.m"
    return shipped if shipped.exists() else DATA / f"{name}.m"


def run_import(*args, cwd=None, env=None):
    """``python3 -m tessaly import ARGS`` as a user runs it (with the
    variables ``env`` added to the environment)."""
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), **(env or {}))
    return subprocess.run([sys.executable, "-m", "tessaly", "import", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True)


@pytest.fixture
def tessaly_bin():
    path = os.environ.get("TESSALY_BIN")
    if not path:
        pytest.skip("TESSALY_BIN does not name the built program")
    return path


def run_program(binary, directory, input_name):
    return subprocess.run([binary], input=input_name + "\n", cwd=directory, capture_output=True, text=True)


@pytest.fixture(scope="session")
def example_runs(tmp_path_factory):
    """Directories of the shipped examples as the built program ran them:
    "raster" and "wind" (every mode of their analysis), "demo", and "append"
    (demo run twice into the same files, the second time with less damping;
    the first run's manifest kept as Manifestfirst.json)."""
    binary = os.environ.get("TESSALY_BIN")
    if not binary:
        pytest.skip("TESSALY_BIN does not name the built program")
    root = tmp_path_factory.mktemp("examples")
    runs = {}
    for name, example, times in (("raster", "raster", 1), ("wind", "wind", 1), ("demo", "demo", 1),
                                 ("append", "demo", 2)):
        directory = root / name
        directory.mkdir()
        for text in EXAMPLES.glob("*.txt"):
            shutil.copy(text, directory)
        for time in range(times):
            done = subprocess.run([binary, "-C", str(directory), example + ".txt"], capture_output=True, text=True)
            assert done.returncode == 0, done.stderr
            if time == 0 and times == 2:
                shutil.copy(directory / "Manifestdemo.json", directory / "Manifestfirst.json")
                text = (directory / "demo.txt").read_text()
                (directory / "demo.txt").write_text(text.replace("Damping\n1\n", "Damping\n0.5\n"))
        runs[name] = directory
    return runs


# A raster of one initial condition without any kick: its first "phase"
# record is the steady state, at full precision.
STEADY_STATE_RASTER = "\n".join([
    "Mode raster rt", "Mode RMRT", "First pert node", "0", "Last pert node", "1",
    "Freq pert minimum", "0", "Freq pert maximum", "0.5", "Freq pert step", "1",
    "Phase pert minimum", "0", "Phase pert maximum", "0.5", "Phase pert step", "1",
    "RT threshold low", "0.01", "RT threshold high", "0.1", "Num of thresh", "1"]) + "\n"


def program_steady_state(binary, directory, input_text, n, name="out"):
    """Runs the program on ``input_text`` (imported with --steps 2 and
    --output-name NAME) and returns its steady-state phases and its run."""
    (Path(directory) / "input.txt").write_text(input_text + STEADY_STATE_RASTER)
    run = run_program(binary, directory, "input.txt")
    assert run.returncode == 0, run.stderr
    phases = np.fromfile(Path(directory) / "phase" / f"phase{name}", dtype="<f8")
    assert len(phases) == 2 * n
    return phases[:n], run


def write_case(path, case):
    """``case`` as a case file (one row per line, values separated by tabs)."""
    def table(name, rows):
        return f"mpc.{name} = [\n" + "".join("\t" + "\t".join(repr(float(v)) for v in row) + ";\n"
                                            for row in rows) + "];\n"
    Path(path).write_text("function mpc = case\nmpc.version = '2';\n"
                          f"mpc.baseMVA = {case.base_mva!r};\n" + table("bus", case.bus)
                          + table("gen", case.gen) + table("branch", case.branch)
                          + (table("dcline", case.dcline) if len(case.dcline) else ""))


# ---- independent AC power flow ---------------------------------------------

def reference_ybus(case):
    """The bus admittance matrix written out branch by branch, over the
    buses that are not isolated, with their index map."""
    from tessaly.casefile import ISOLATED
    keep = [k for k in range(len(case.bus)) if case.bus[k, 1] != ISOLATED]
    index = {int(case.bus[k, 0]): i for i, k in enumerate(keep)}
    n = len(keep)
    Y = np.zeros((n, n), dtype=complex)
    for i, k in enumerate(keep):
        Y[i, i] += (case.bus[k, 4] + 1j * case.bus[k, 5]) / case.base_mva
    for row in case.branch:
        f_bus, t_bus, r, x, b = int(row[0]), int(row[1]), row[2], row[3], row[4]
        if row[10] <= 0 or f_bus not in index or t_bus not in index:
            continue
        f, t = index[f_bus], index[t_bus]
        y = 1 / complex(r, x)
        tap = row[8] if row[8] != 0 else 1.0
        tau = tap * np.exp(1j * np.deg2rad(row[9]))
        Y[f, f] += (y + 1j * b / 2) / (tap * tap)
        Y[t, t] += y + 1j * b / 2
        Y[f, t] -= y / np.conj(tau)
        Y[t, f] -= y / tau
    return Y, keep, index


def scheduled_power(case, keep, index):
    p = -case.bus[keep, 2].astype(float)
    for row in case.gen:
        if row[7] > 0 and int(row[0]) in index:
            p[index[int(row[0])]] += row[1]
    return p / case.base_mva


def solve_ac_angles(Y, vm, p, ref, theta):
    """Newton on the active-power equations Re(V conj(Y V)) = p at fixed
    magnitudes, every bus but ``ref``; the reference angle stays as given."""
    theta = theta.astype(float).copy()
    others = np.array([k for k in range(len(vm)) if k != ref])
    for _ in range(50):
        V = vm * np.exp(1j * theta)
        current = Y @ V
        mismatch = (V * np.conj(current)).real - p
        dS = 1j * np.diag(V) @ np.conj(np.diag(current) - Y @ np.diag(V))
        step = np.linalg.solve(dS.real[np.ix_(others, others)], mismatch[others])
        theta[others] -= step
        if np.max(np.abs(step)) < 1e-14:
            return theta
    raise AssertionError("the reference power flow did not converge")


def wrapped(angles):
    return np.angle(np.exp(1j * np.asarray(angles)))
