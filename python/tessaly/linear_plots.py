"""The figures of the linear-stability analysis, returning matplotlib
Figures like those of :mod:`tessaly.plots`:

- :func:`eigenvalues`: the eigenvalues in the complex plane with lines of
  constant damping ratio;
- :func:`mode`: the participation of every node in one least-damped mode,
  on the grid's spring layout.
"""
import numpy as np

from .plots import PlotError, _run, _run_lines, draw_grid, plt, spring_layout

# Damping ratios drawn as rays from the origin.
DAMPING_RATIOS = (0.02, 0.05, 0.1, 0.2, 0.5)


def _linear(run):
    run = _run(run)
    if run.linear is None:
        raise PlotError(f"{run.manifest_path} has no linear-stability results: run with \"Mode linear stability\"")
    return run, run.linear


def eigenvalues(run):
    """The eigenvalues (real part, imaginary part) with rays of constant
    damping ratio ζ (Re λ = −ζ|λ|); rotation modes and unstable modes
    marked, the least-damped modes highlighted."""
    run, linear = _linear(run)
    table = linear.eigenvalues
    values = linear.values
    fig, ax = plt.subplots(figsize=(7, 6), layout="constrained")
    if len(values) == 0:
        raise PlotError(f"{run.manifest_path}: the analysis computed no eigenvalue ({linear.info['problem']})")
    reach = max(float(np.max(np.abs(values.imag))), float(np.max(np.abs(values.real))), 1e-9) * 1.05
    for zeta in DAMPING_RATIOS:
        slope = np.sqrt(1 - zeta ** 2) / zeta
        x = reach / np.sqrt(1 + slope ** 2)
        ax.plot([0, -x, None, 0, -x], [0, x * slope, None, 0, -x * slope], color="0.75", lw=0.8, ls="--")
        ax.annotate(f"ζ = {zeta:g}", (-x, x * slope), fontsize="x-small", color="0.4", ha="left", va="bottom")
    ordinary = ~table["rotation_mode"]
    least = np.zeros(len(values), bool)
    least[linear.participation_modes] = True
    ax.scatter(values.real[ordinary & ~least], values.imag[ordinary & ~least], s=8, c="tab:blue", label="mode")
    ax.scatter(values.real[least], values.imag[least], s=22, c="tab:orange", label="least damped")
    ax.scatter(values.real[~ordinary], values.imag[~ordinary], s=40, marker="s", facecolors="none",
               edgecolors="k", label="rotation mode")
    unstable = ordinary & (table["real"] > linear.info["tolerance"])
    if unstable.any():
        ax.scatter(values.real[unstable], values.imag[unstable], s=60, marker="x", c="r", label="unstable")
    ax.axvline(0, color="k", lw=0.8)
    ax.axhline(0, color="k", lw=0.5)
    rate = f"1/{run.units['time']}"
    ax.set_xlabel(f"real part ({rate})")
    ax.set_ylabel(f"imaginary part ({rate})")
    ax.grid(alpha=0.3)
    ax.legend(fontsize="small", loc="upper left")
    verdict = "linearly unstable" if linear.unstable else "linearly stable"
    ax.set_title(f"{len(values)} eigenvalues ({linear.path}): {verdict}", fontsize="medium")
    return fig


def mode(run, index=0):
    """Node participation in least-damped mode ``index`` (0: the least
    damped; the row of ``run.linear.participation``) on the spring layout
    of the grid's couplings, read from the run's input file."""
    run, linear = _linear(run)
    participation = linear.participation
    if not 0 <= int(index) < len(participation):
        raise PlotError(f"mode {index} has no participation factors (modes 0 … {len(participation) - 1})")
    index = int(index)
    n, lines = _run_lines(run)
    pos = spring_layout(n, lines)
    fig, ax = plt.subplots(figsize=(7, 6), layout="constrained")
    shares = np.asarray(participation[index], dtype=float)
    draw_grid(fig, ax, n, lines, pos, node_values=shares, value_label="participation factor", cmap="magma_r",
              clim=(0, max(float(np.nanmax(shares)), 1e-12)), labels=run.buses)
    lam = linear.values[linear.participation_modes[index]]
    row = linear.eigenvalues[linear.participation_modes[index]]
    cycles = "Hz" if run.units["time"] == "s" else f"cycles/{run.units['time']}"
    ax.set_title(f"Mode {index}: λ = {lam.real:.4g} {'+' if lam.imag >= 0 else '−'} {abs(lam.imag):.4g}i, "
                 f"frequency {row['frequency']:.4g} {cycles}, damping ratio {row['damping_ratio']:.3g}",
                 fontsize="medium")
    return fig
