"""Imported cases run by the built program: its steady state against an
independent AC power flow, its flow measure against the branch flows, and
the two line forms of the input file."""
from pathlib import Path

import numpy as np
import pytest

from conftest import (case_path, program_steady_state, reference_ybus, run_import, scheduled_power,
                      solve_ac_angles, wrapped, write_case)
from test_import import CASE9DC_POWER_MECH, three_bus_case, tripled_case118
from tessaly.casefile import RATE_A, REF, read_case

REPO = Path(__file__).resolve().parents[2]


def import_and_solve(tmp_path, binary, path, *options):
    out = tmp_path / "input.txt"
    run = run_import(path, "-o", out, "--steps", "2", "--output-name", "out", *options)
    assert run.returncode == 0, run.stderr
    case = read_case(path)
    Y, keep, index = reference_ybus(case)
    theta, program = program_steady_state(binary, tmp_path, out.read_text(), len(keep))
    return case, (Y, keep, index), theta, program, run


# case118x3 (354 nodes) runs the sparse solver its file names.
@pytest.mark.parametrize("name", ["case9", "case14", "case30", "case118", "shifter", "case9dc", "case118x3"])
def test_steady_state_equals_the_ac_power_flow(tmp_path, tessaly_bin, name):
    path = case_path(name)
    if name in ("shifter", "case118x3"):
        path = tmp_path / f"{name}.m"
        write_case(path, three_bus_case() if name == "shifter" else tripled_case118())
    case, (Y, keep, index), theta, program, imported = import_and_solve(tmp_path, tessaly_bin, path)
    if name not in ("shifter", "case9dc"):
        assert imported.stderr == ""
    assert program.stderr == ""
    assert "did not converge" not in program.stdout

    vm = case.bus[keep, 7]
    ref = int(np.flatnonzero(case.bus[keep, 1] == REF)[0])
    start = np.radians(case.bus[keep, 8] - case.bus[keep[ref], 8])
    # The DC lines' powers as worked out by hand.
    power = np.array(CASE9DC_POWER_MECH) if name == "case9dc" else scheduled_power(case, keep, index)
    expected = solve_ac_angles(Y, vm, power, ref, start)
    assert np.max(np.abs(wrapped(theta - expected))) < 1e-8


def line_list(text):
    """The rows of the file's "Line list" and its voltage magnitudes."""
    lines = text.splitlines()
    vm = np.array(lines[lines.index("Voltage mag") + 1].split(), dtype=float)
    rows = []
    for line in lines[lines.index("Line list") + 1:]:
        if not line[0].isdigit():
            break
        rows.append([float(v) for v in line.split()])
    return vm, np.array(rows)


def test_flow_measure_is_series_power_over_rating(tmp_path, tessaly_bin):
    case = read_case(case_path("case118"))
    case.branch[:, RATE_A] = np.random.default_rng(1).uniform(20, 400, len(case.branch)).round()
    case.branch[:4, RATE_A] = 0                      # unlimited
    write_case(tmp_path / "rated.m", case)
    case, (Y, keep, index), theta, _, _ = import_and_solve(tmp_path, tessaly_bin, tmp_path / "rated.m")

    # The load ratio as the cascade computes it, from the file's values.
    vm, rows = line_list((tmp_path / "input.txt").read_text())
    f, t = rows[:, 0].astype(int), rows[:, 1].astype(int)
    coupling, capacity, adm_mag, adm_ang = rows[:, 2], rows[:, 4], rows[:, 5], rows[:, 6]
    flow = np.abs(vm[f] ** 2 * adm_mag * np.exp(-1j * adm_ang)
                  - coupling * np.exp(1j * (theta[f] - theta[t] - adm_ang)))
    ratio = flow / capacity

    # The apparent power into each end of every branch's series element,
    # summed over parallel branches, over their summed rating.
    V = vm * np.exp(1j * theta)
    power, rating = {}, {}
    for row in case.branch:
        a, b = index[int(row[0])], index[int(row[1])]
        y = 1 / complex(row[2], row[3])
        tau = (row[8] or 1.0) * np.exp(1j * np.radians(row[9]))
        inner = V[a] / tau
        for end, s in (((a, b), inner * np.conj(y * (inner - V[b]))), ((b, a), V[b] * np.conj(y * (V[b] - inner)))):
            power[end] = power.get(end, 0) + s
            rating[end] = rating.get(end, 0) + (row[RATE_A] / case.base_mva if row[RATE_A] else np.inf)
    expected = np.array([abs(power[(a, b)]) / rating[(a, b)] for a, b in zip(f, t)])
    assert len(power) == len(rows) == 2 * 179              # 186 branches, 7 pairs in parallel
    np.testing.assert_allclose(ratio, expected, rtol=1e-7, atol=0)
    assert np.count_nonzero(ratio == 0) == 8 and np.all(np.isinf(capacity[ratio == 0]))


def test_matrices_and_line_list_give_identical_results(tmp_path, tessaly_bin):
    phases = []
    for form in ("matrix", "list"):
        directory = tmp_path / form
        directory.mkdir()
        run = run_import(case_path("case14"), "-o", directory / "input.txt", "--steps", "20", "--output-name",
                         "out", "--format", form, "--nr-start", "random")
        assert run.returncode == 0
        program_steady_state(tessaly_bin, directory, (directory / "input.txt").read_text(), 14)
        # Initial and final state of a 20-step trajectory.
        phases.append((directory / "phase" / "phaseout").read_bytes())
    assert phases[0] == phases[1]


def test_shipped_example_is_the_import_of_case118(tmp_path):
    out = tmp_path / "ieee118.txt"
    run = run_import(case_path("case118"), "-o", out, "--raster", "0:2", "--steps", "1000",
                     "--output-name", "ieee118")
    assert run.returncode == 0
    assert out.read_text() == (REPO / "examples" / "ieee118.txt").read_text()
