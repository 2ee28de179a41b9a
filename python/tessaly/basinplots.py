"""The figures of a basin-stability run (``Mode basin``), like those of
:mod:`tessaly.plots` (a matplotlib Figure each):

- :func:`basin`: the grid in a spring layout of its couplings with every
  sampled node coloured by its basin stability, and beside it each node's
  value with its standard error;
- :func:`basin_samples`: the sampled offsets of one node coloured by class.
"""
import numpy as np

from .basin import CLASSES
from .plots import PlotError, _run, _run_lines, draw_grid, plt, spring_layout

# Colours of the classes, in the order of their codes.
CLASS_COLOURS = ("tab:green", "tab:blue", "tab:red", "0.6")
# Nodes the value panel names one by one on its axis.
MAX_LABELLED_NODES = 40


def _basin(run):
    run = _run(run)
    if run.basin is None:
        raise PlotError(f"{run.manifest_path} holds no basin stability: run with \"Mode basin\"")
    return run, run.basin


def _scale_start(table):
    """Where the colour scale and the value axis start: 0, or, when every
    node lies well above it, the multiple of 0.05 below the lowest error bar,
    so that a grid whose nodes all lie near 1 still shows their differences."""
    lowest = float(np.min(table["stability"] - table["standard_error"]))
    return 0.0 if lowest < 0.5 else min(np.floor(lowest * 20) / 20, 0.95)


def basin(run):
    """The grid coloured by the basin stability of its sampled nodes (grey:
    not sampled), beside it every sampled node's basin stability with its
    standard error as an error bar. Colours and values share one scale,
    from 0 or, when every node lies above 0.5, from just below the lowest."""
    run, results = _basin(run)
    table = results.stability
    n, lines = _run_lines(run)
    values = np.full(n, np.nan)
    values[table["node"]] = table["stability"]
    low = _scale_start(table)
    fig, (grid_ax, value_ax) = plt.subplots(1, 2, figsize=(12, 5), width_ratios=[1.2, 1], layout="constrained")
    draw_grid(fig, grid_ax, n, lines, spring_layout(n, lines), values, "basin stability", clim=(low, 1),
              labels=run.buses)
    grid_ax.set_title(f"Basin stability of {len(table)} node{'s' if len(table) > 1 else ''}", fontsize="medium")

    position = np.arange(len(table))
    value_ax.errorbar(table["stability"], position, xerr=table["standard_error"], fmt="o", ms=3, capsize=2,
                      lw=1, color="k")
    value_ax.set_xlim(low - 0.01, 1.01)
    value_ax.set_ylim(len(table) - 0.5, -0.5)
    if len(table) <= MAX_LABELLED_NODES:
        value_ax.set_yticks(position, [str(bus) for bus in run.buses[table["node"]]], fontsize="small")
        value_ax.set_ylabel("bus" if run.bus_numbers is not None else "node")
    else:
        value_ax.set_ylabel("sampled node (in the order of basin.nodes)")
    value_ax.set_xlabel("basin stability ± standard error")
    value_ax.grid(axis="x", alpha=0.3)
    samples = np.unique(table["samples"])
    fig.suptitle(f"Single-node basin stability, {samples[0] if len(samples) == 1 else 'up to ' + str(samples[-1])} "
                 f"samples per node", fontsize="medium")
    return fig


def basin_samples(run, node=None):
    """The sampled phase and frequency offsets of ``node`` (default: the
    first sampled node), one point per sample coloured by its class."""
    run, results = _basin(run)
    node = results.nodes[0] if node is None else int(node)
    if node not in results.nodes:
        raise PlotError(f"node {node} was not sampled (the run samples nodes {', '.join(map(str, results.nodes))})")
    samples = results.samples_of(node)
    fig, ax = plt.subplots(figsize=(7, 5), layout="constrained")
    for code, (name, colour) in enumerate(zip(CLASSES, CLASS_COLOURS)):
        chosen = samples[samples["class"] == code]
        if len(chosen):
            ax.scatter(chosen["phase_offset"], chosen["frequency_offset"], s=6, c=colour,
                       label=f"{name.replace('_', ' ')} ({len(chosen)})")
    ax.set_xlim(*results.phase_offset_range)
    ax.set_ylim(*results.frequency_offset_range)
    ax.set_xlabel("phase offset (rad)")
    ax.set_ylabel(f"frequency offset ({run.units['frequency']})")
    ax.legend(loc="upper right", fontsize="small")
    row = results.stability[results.stability["node"] == node][0]
    ax.set_title(f"Samples of {run.node_label(node)}: basin stability {row['stability']:.3f} ± "
                 f"{row['standard_error']:.3f}", fontsize="medium")
    return fig
