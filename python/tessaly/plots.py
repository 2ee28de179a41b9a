"""The standard figures of a run, one function each, returning a matplotlib
Figure (save it with ``fig.savefig("name.png")``):

- :func:`traj`: frequency and phase trajectories of one kick or stochastic run;
- :func:`rtmap`: return-time map of one perturbed node over (phase offset,
  frequency offset), one panel per observed node or the mean;
- :func:`hist`: frequency histograms and increment histograms per lag;
- :func:`cascade`: the grid with the lines a cascade tripped, and the
  largest load ratio over time;
- :func:`flows`: mean and largest flow of every line record against its capacity;
- :func:`overview`: a return-time map and the trajectory of one of its kicks;
- :func:`contingency`: the cascade size of every line outage and the grid
  with the trips of one of them.

The basin-stability figures are in :mod:`tessaly.basinplots`.

``run`` is a :class:`tessaly.results.Run` or anything :func:`tessaly.load`
takes. Without a display, figures are drawn with the Agg backend.
"""
import math
import os
import sys

import matplotlib

if (sys.platform.startswith("linux") and "matplotlib.pyplot" not in sys.modules
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))):
    matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402 (after the backend choice)
import numpy as np  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402

from .gridfile import read_lines  # noqa: E402
from .results import Run, load  # noqa: E402

# Nodes drawn by default when a plot shows one curve per node.
MAX_DEFAULT_NODES = 8
# Cells of a return-time map that get their value written in.
MAX_ANNOTATED_CELLS = 49
# Line records labelled at most in a flow figure.
MAX_LABELLED_RECORDS = 60
# Grids up to this size get every node's label in grid drawings.
MAX_LABELLED_NODES = 150
# Nodes whose repulsion the spring layout sums in each iteration.
REPULSION_SAMPLE = 1000


class PlotError(ValueError):
    """The run holds no data for the figure asked for."""


def _run(run):
    return run if isinstance(run, Run) else load(run)


def _selected_nodes(values, nodes, first=()):
    """``nodes`` as given, else every node of a small grid, else the nodes
    in ``first`` and those with the largest deviations of ``values``
    (step, node)."""
    count = values.shape[1]
    if nodes is not None:
        outside = [n for n in nodes if not 0 <= int(n) < count]
        if outside:
            raise PlotError(f"node {outside[0]} is not in the grid (nodes 0 … {count - 1})")
        return [int(n) for n in nodes]
    if count <= MAX_DEFAULT_NODES:
        return list(range(count))
    ranked = np.argsort(-np.nanmax(np.abs(values), axis=0), kind="stable")
    chosen = list(dict.fromkeys([int(n) for n in first] + [int(n) for n in ranked]))
    return sorted(chosen[:MAX_DEFAULT_NODES])


def _wrapped(angles):
    return (np.asarray(angles) + np.pi) % (2 * np.pi) - np.pi


def _unwrapped_deviation(phase, steady):
    """θ - θ_ss along the time axis without 2π jumps (a node that slips a
    pole keeps turning), starting within (-π, π]."""
    deviation = np.unwrap(np.asarray(phase, dtype=float) - steady, axis=0)
    if len(deviation):
        deviation -= 2 * np.pi * np.round((deviation[0] - _wrapped(deviation[0])) / (2 * np.pi))
    return deviation


def _time_label(run):
    return f"time ({run.units['time']})"


def _frequency_scale(run):
    """(factor, unit) of frequency deviations as drawn: Hz in physical units
    (ω / 2π), else the model's rad/t."""
    units = run.units
    return (1 / (2 * np.pi), "Hz") if units["system"] == "physical" else (1.0, units["frequency"])


def _trajectory(run, ic, stochastic_run):
    """(frequency, phase, title, perturbed nodes) of a kick or a stochastic run."""
    raster = run.raster
    if stochastic_run is None and raster is not None and raster.frequency is not None:
        ic = 0 if ic is None else int(ic)
        if not 0 <= ic < len(raster.frequency):
            raise PlotError(f"initial condition {ic} is not in the run (0 … {len(raster.frequency) - 1})")
        kick = raster.kicks[ic]
        scale, unit = _frequency_scale(run)
        title = (f"Kick {ic}: {run.node_label(kick['node'])}, frequency offset {kick['frequency_offset'] * scale:.3g} "
                 f"{unit}, phase offset {kick['phase_offset']:g} rad")
        return raster.frequency[ic], raster.phase[ic], title, [kick["node"]]
    if run.stochastic is not None:
        runs = run.stochastic.runs
        k = 0 if stochastic_run is None else int(stochastic_run)
        if not 0 <= k < len(runs) or runs[k].frequency is None:
            raise PlotError(f"stochastic run {k} has no trajectories (runs 0 … {len(runs) - 1}; "
                            "they need \"Mode save traj\")")
        chosen = runs[k]
        title = (f"Stochastic run {k} ({chosen.output_name}): configuration {chosen.configuration}, "
                 f"wind part {chosen.wind_part}, turbines at {', '.join(run.node_label(n) for n in chosen.turbine_nodes)}")
        return chosen.frequency, chosen.phase, title, chosen.turbine_nodes
    raise PlotError(f"{run.manifest_path} holds no trajectories: run with \"Mode save traj\"")


def _draw_trajectory(axes, run, frequency, phase, nodes):
    time = run.time
    scale, unit = _frequency_scale(run)
    for node in nodes:
        axes[0].plot(time, np.asarray(frequency[:, node]) * scale, lw=1, label=run.node_label(node))
        if len(axes) > 1:
            axes[1].plot(time, _unwrapped_deviation(phase[:, node], run.steady_state[node]), lw=1,
                         label=run.node_label(node))
    axes[0].set_ylabel(f"frequency deviation ({unit})")
    if len(axes) > 1:
        axes[1].set_ylabel(r"phase $\theta - \theta_{ss}$ (rad)")
    axes[-1].set_xlabel(_time_label(run))
    axes[0].legend(fontsize="small", ncol=2 if len(nodes) > 4 else 1)
    for ax in axes:
        ax.grid(alpha=0.3)


def traj(run, ic=None, stochastic_run=None, nodes=None, phase=True):
    """Frequency (and phase) trajectories of one raster initial condition
    ``ic`` (default 0) or, when the run has none or ``stochastic_run`` is
    given, of that stochastic run, for ``nodes`` (default: all of a small
    grid, else the perturbed or turbine nodes and those that deviate most)."""
    run = _run(run)
    frequency, phases, title, first = _trajectory(run, ic, stochastic_run)
    nodes = _selected_nodes(frequency, nodes, first)
    fig, axes = plt.subplots(2 if phase else 1, 1, sharex=True, figsize=(8, 6 if phase else 3.5),
                             squeeze=False, layout="constrained")
    _draw_trajectory(list(axes[:, 0]), run, frequency, phases, nodes)
    fig.suptitle(title, fontsize="medium")
    return fig


def _edges(centres):
    """Cell edges around evenly spaced cell centres (width 1 for one centre)."""
    centres = np.asarray(centres, dtype=float)
    step = (centres[-1] - centres[0]) / (len(centres) - 1) if len(centres) > 1 else 1.0
    return centres[0] - step / 2, centres[-1] + step / 2


def _map_values(raster, node, observed):
    """(F, P) map of the mean return times after kicks to ``node``: of the
    node ``observed``, or the mean over all nodes for "mean"."""
    table = raster.return_times
    if table is None:
        raise PlotError("the run has no mean return times: run the raster with \"Mode RMRT\"")
    if raster.initial_conditions == 0:
        raise PlotError("the raster is empty: it ran no initial condition")
    if observed != "mean" and not 0 <= observed < table["mean_return_time"].shape[1]:
        raise PlotError(f"node {observed} is not in the grid (nodes 0 … {table['mean_return_time'].shape[1] - 1})")
    if not raster.first_node <= node < raster.last_node:
        raise PlotError(f"node {node} was not kicked (the raster kicks {raster.first_node} … {raster.last_node - 1})")
    times = table["mean_return_time"]
    if len(times) < raster.initial_conditions:
        raise PlotError(f"the run holds {len(times)} of {raster.initial_conditions} initial conditions")
    values = times.mean(axis=1) if observed == "mean" else times[:, observed]
    return values.reshape(raster.shape)[node - raster.first_node]


def _finite_range(values):
    """(min, max) of the finite values, (0, 1) when there are none."""
    finite = np.asarray(values)[np.isfinite(values)]
    return (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)


def _draw_map(ax, run, values, title, clim):
    """One return-time map on ``ax`` with the colour scale ``clim``; returns the image."""
    raster = run.raster
    scale, unit = _frequency_scale(run)
    infinite = ~np.isfinite(values)
    colours = plt.get_cmap("viridis").with_extremes(bad="0.85")
    frequencies = raster.frequency_offsets * scale
    extent = _edges(raster.phase_offsets) + _edges(frequencies)
    image = ax.imshow(np.ma.masked_where(infinite, values), origin="lower", extent=extent, aspect="auto",
                      cmap=colours, interpolation="nearest", vmin=clim[0], vmax=clim[1])
    fi, pi = np.nonzero(infinite)
    if len(fi):
        ax.scatter(raster.phase_offsets[pi], frequencies[fi], marker="x", c="k", label="did not return")
        ax.legend(loc="upper right", fontsize="small")
    if values.size <= MAX_ANNOTATED_CELLS:
        for (f, p), value in np.ndenumerate(values):
            if np.isfinite(value):
                ax.text(raster.phase_offsets[p], frequencies[f], f"{value:.3g}", ha="center", va="center",
                        fontsize="small", color="w" if value < (clim[0] + clim[1]) / 2 else "k")
    ax.set_xlabel("phase offset (rad)")
    ax.set_ylabel(f"frequency offset ({unit})")
    ax.set_title(title, fontsize="medium")
    return image


def _kicked_node(run, node, bus):
    if bus is not None:
        return run.node_of_bus(bus)
    return run.raster.first_node if node is None else int(node)


def rtmap(run, node=None, observed="mean", shared_scale=True, bus=None, clim=None):
    """Return-time map of kicks to ``node`` (or to the bus number ``bus``;
    default: the first kicked node) over (phase offset, frequency offset):
    the mean return time of the ``observed`` node, one panel per node of a
    list, or of the mean over all nodes ("mean"). Kicks after which a node
    did not return are marked. The colour scale spans the finite values of
    all panels, with one colour bar (``shared_scale=False``: one scale and
    bar per panel; ``clim=(low, high)``: that scale, e.g. to compare two
    runs' figures)."""
    run = _run(run)
    raster = run.raster
    if raster is None:
        raise PlotError(f"{run.manifest_path} holds no raster: run with \"Mode raster rt\"")
    node = _kicked_node(run, node, bus)
    panels = [observed] if observed == "mean" or np.isscalar(observed) else list(observed)
    panels = [which if which == "mean" else int(which) for which in panels]
    maps = [_map_values(raster, node, which) for which in panels]
    columns = min(len(panels), 3)
    rows = math.ceil(len(panels) / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(4.8 * columns, 3.8 * rows), squeeze=False,
                             layout="constrained")
    label = f"mean return time ({run.units['time']})"
    common = clim or _finite_range(np.concatenate([m.ravel() for m in maps]))
    for ax, which, values in zip(axes.flat, panels, maps):
        title = "mean over all nodes" if which == "mean" else run.node_label(which)
        image = _draw_map(ax, run, values, title, common if shared_scale or clim else _finite_range(values))
        if not (shared_scale or clim):
            fig.colorbar(image, ax=ax, label=label)
    if shared_scale or clim:
        fig.colorbar(image, ax=axes[:, :].ravel().tolist()[:len(panels)], label=label)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    fig.suptitle(f"Mean return times after kicks to {run.node_label(node)}", fontsize="medium")
    return fig


def overview(run, node=None, bus=None):
    """A return-time map of kicks to ``node`` (or ``bus``; mean over all
    nodes) beside the trajectory of one of its kicks, which the map marks:
    a kick after which the grid did not return when there is one, else the
    kick with the longest return time."""
    run = _run(run)
    raster = run.raster
    if raster is None or raster.frequency is None:
        raise PlotError(f"{run.manifest_path} holds no raster trajectories: run with \"Mode raster rt\", "
                        "\"Mode RMRT\" and \"Mode save traj\"")
    node = _kicked_node(run, node, bus)
    values = _map_values(raster, node, "mean")
    not_returned = ~np.isfinite(values)
    if not_returned.any():
        f, p = np.argwhere(not_returned)[0]
        what = "did not return"
    else:
        f, p = np.unravel_index(np.argmax(values), values.shape)
        what = f"returned last, after {values[f, p]:.3g} {run.units['time']}"
    ic = raster.index(node, f, p)
    fig = plt.figure(figsize=(11, 4.8), layout="constrained")
    left, right = fig.subfigures(1, 2, width_ratios=[1, 1.3])
    ax = left.subplots()
    image = _draw_map(ax, run, values, f"Mean return time after kicks to {run.node_label(node)}",
                      _finite_range(values))
    left.colorbar(image, ax=ax, label=f"mean return time ({run.units['time']})")
    scale, unit = _frequency_scale(run)
    ax.scatter([raster.phase_offsets[p]], [raster.frequency_offsets[f] * scale], s=250, facecolors="none",
               edgecolors="r", linewidths=2)
    axes = right.subplots(2, 1, sharex=True)
    _draw_trajectory(list(axes), run, raster.frequency[ic], raster.phase[ic],
                     _selected_nodes(raster.frequency[ic], None, [node]))
    right.suptitle(f"The kick circled ({what}): frequency offset {raster.frequency_offsets[f] * scale:.3g} {unit}, "
                   f"phase offset {raster.phase_offsets[p]:g} rad", fontsize="medium")
    return fig


def _stochastic_run(run, which):
    if run.stochastic is None or not run.stochastic.runs:
        raise PlotError(f"{run.manifest_path} holds no stochastic run: run with \"Mode stoch inp\"")
    runs = run.stochastic.runs
    if not 0 <= which < len(runs):
        raise PlotError(f"stochastic run {which} is not in the run (0 … {len(runs) - 1})")
    return runs[which]


def _used_bins(counts):
    """The range of bins that hold counts in any row of (node, bin) ``counts``, with a margin."""
    used = np.flatnonzero(np.any(counts != 0, axis=0))
    if not used.size:
        return slice(0, counts.shape[1])
    margin = max(2, (used[-1] - used[0]) // 10)
    return slice(max(used[0] - margin, 0), min(used[-1] + margin + 1, counts.shape[1]))


def _draw_histograms(ax, run, counts, edges, nodes, xlabel, title):
    bins = _used_bins(counts)
    scale, _ = _frequency_scale(run)
    for node in nodes:
        ax.stairs(counts[node, bins], np.asarray(edges[bins.start:bins.stop + 1]) * scale, label=run.node_label(node))
    ax.set_yscale("log")
    ax.set_xlabel(xlabel)
    ax.set_ylabel("count of steps")
    ax.set_title(title, fontsize="medium")
    ax.grid(alpha=0.3)


def hist(run, stochastic_run=0, nodes=None):
    """Frequency histograms (log scale) of ``nodes`` in one stochastic run,
    and one panel of increment histograms per time lag."""
    run = _run(run)
    chosen = _stochastic_run(run, int(stochastic_run))
    counts = chosen.histograms
    if counts is None:
        raise PlotError(f"stochastic run {chosen.index} has no histograms: run with \"Mode surv\"")
    # Default nodes on a large grid: the turbines and the widest histograms.
    nodes = _selected_nodes(np.count_nonzero(counts, axis=1)[None, :], nodes, chosen.turbine_nodes)
    increments = chosen.increment_histograms
    panels = 1 + len(increments)
    columns = min(panels, 3)
    fig, axes = plt.subplots(math.ceil(panels / columns), columns, figsize=(4.8 * columns, 3.6 *
                             math.ceil(panels / columns)), squeeze=False, layout="constrained")
    unit = _frequency_scale(run)[1]
    _draw_histograms(axes.flat[0], run, counts, chosen.bin_edges, nodes, f"frequency deviation ({unit})",
                     "frequency")
    for ax, (lag, counts_of_lag) in zip(axes.flat[1:], increments.items()):
        _draw_histograms(ax, run, counts_of_lag, chosen.increment_bin_edges, nodes,
                         f"frequency increment ({unit})", f"increments over lag {lag:g} {run.units['time']}")
    for ax in axes.flat[panels:]:
        ax.set_visible(False)
    axes.flat[0].legend(fontsize="small")
    fig.suptitle(f"Histograms of stochastic run {chosen.index} ({chosen.output_name})", fontsize="medium")
    return fig


def spring_layout(n, lines, iterations=60, seed=0):
    """(n, 2) node positions from a force-directed (Fruchterman-Reingold)
    layout of the undirected lines (``from``, ``to``, ``coupling`` fields):
    every pair of nodes repels, coupled nodes attract, stronger couplings
    more. Deterministic: the start positions and, on large grids, the nodes
    that stand in for all in the repulsion come from a seeded generator.
    Costs n · min(n, REPULSION_SAMPLE) per iteration, in blocks of 512 nodes."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform(-1, 1, (n, 2))
    if n < 2:
        return pos
    pairs = {}
    for a, b, k in zip(lines["from"], lines["to"], lines["coupling"]):
        if a != b:
            key = (min(a, b), max(a, b))
            pairs[key] = max(pairs.get(key, 0.0), abs(float(k)))
    ends = np.array(list(pairs), dtype=int).reshape(-1, 2)
    weight = np.array(list(pairs.values()), dtype=float)
    if weight.size:
        weight = np.clip(weight / weight.mean(), 0.2, 5.0)
    distance = math.sqrt(4.0 / n)
    temperature = 0.2
    for _ in range(iterations):
        shift = np.zeros_like(pos)
        # On large grids a random sample of nodes repels, scaled up to all.
        others = pos if n <= REPULSION_SAMPLE else pos[rng.choice(n, REPULSION_SAMPLE, replace=False)]
        strength = distance ** 2 * n / len(others)
        for start in range(0, n, 512):
            delta = pos[start:start + 512, None, :] - others[None, :, :]
            squared = np.maximum((delta ** 2).sum(axis=2), 1e-6)
            shift[start:start + 512] = (delta * (strength / squared)[:, :, None]).sum(axis=1)
        delta = pos[ends[:, 0]] - pos[ends[:, 1]]
        length = np.sqrt(np.maximum((delta ** 2).sum(axis=1), 1e-12))
        pull = delta * (length * weight / distance)[:, None]
        np.add.at(shift, ends[:, 0], -pull)
        np.add.at(shift, ends[:, 1], pull)
        size = np.sqrt(np.maximum((shift ** 2).sum(axis=1), 1e-12))
        pos += shift / size[:, None] * np.minimum(size, temperature)[:, None]
        temperature *= 0.95
    return pos - pos.mean(axis=0)


def _run_lines(run):
    try:
        return read_lines(run.input_path, run.directory)
    except ValueError as error:
        raise PlotError(f"{error} (the grid comes from the run's input file)") from None


def _label_nodes(ax, pos, labels):
    """Writes each node's label (its bus number) beside it, smaller on
    larger grids; none beyond MAX_LABELLED_NODES."""
    if labels is None or len(pos) > MAX_LABELLED_NODES:
        return
    size = "small" if len(pos) <= 30 else 6
    for label, (x, y) in zip(labels, pos):
        ax.annotate(str(label), (x, y), textcoords="offset points", xytext=(3, 3), fontsize=size)


def draw_grid(fig, ax, n, lines, pos, node_values=None, value_label=None, cmap="viridis", clim=None,
              line_colour="0.6", labels=None):
    """The grid on ``ax``: its lines (``from``/``to`` fields) in grey at the
    positions ``pos`` (e.g. from :func:`spring_layout`), its nodes coloured
    by ``node_values`` (one per node, NaN grey; black when None) with a
    colour bar labelled ``value_label`` and a colour scale ``clim`` (default:
    the finite values' range), and each node's label from ``labels`` (bus
    numbers; default: node indices) on grids of up to MAX_LABELLED_NODES.
    Returns the nodes' scatter collection."""
    pairs = sorted({(min(a, b), max(a, b)) for a, b in zip(lines["from"], lines["to"]) if a != b})
    ax.add_collection(LineCollection([(pos[a], pos[b]) for a, b in pairs], colors=line_colour, linewidths=1,
                                     zorder=1))
    size = 40 if n <= 100 else 10
    if node_values is None:
        nodes = ax.scatter(*pos.T, s=size, c="k", zorder=3)
    else:
        values = np.asarray(node_values, dtype=float)
        nodes = ax.scatter(*pos.T, s=size, c=values, cmap=cmap, zorder=3, edgecolors="k", linewidths=0.3,
                           plotnonfinite=True)
        nodes.set_clim(*(clim if clim is not None else _finite_range(values)))
        nodes.cmap.set_bad("0.8")
        fig.colorbar(nodes, ax=ax, label=value_label)
    _label_nodes(ax, pos, np.arange(n) if labels is None else labels)
    ax.autoscale()
    ax.set_aspect("equal")
    ax.set_axis_off()
    return nodes


def grid_figure(grid, values=None, label=None, clim=None, seed=0):
    """A :class:`tessaly.grid.Grid` drawn in a spring layout of its couplings,
    nodes coloured by ``values`` (one per node) and labelled by bus number."""
    fig, ax = plt.subplots(figsize=(7, 6), layout="constrained")
    pos = spring_layout(grid.num_nodes, grid.lines, seed=seed)
    draw_grid(fig, ax, grid.num_nodes, grid.lines, pos, node_values=values, value_label=label, clim=clim,
              labels=grid.nodes["bus"])
    ax.set_title(f"{grid.name}: {grid.num_nodes} nodes, {len(grid.lines) // 2} lines", fontsize="medium")
    return fig


def cascade(run, stochastic_run=None):
    """The grid (spring layout of its couplings) with the lines the
    cascade of one stochastic run tripped, coloured by trip time, and that
    run's largest load ratio over time. Default run: the first with trips."""
    run = _run(run)
    if stochastic_run is None:
        runs = run.stochastic.runs if run.stochastic else []
        stochastic_run = next((r.index for r in runs if r.trips is not None and len(r.trips)), 0)
    chosen = _stochastic_run(run, int(stochastic_run))
    if chosen.max_ratio is None:
        raise PlotError(f"stochastic run {chosen.index} has no cascade: run with \"Mode stoch casc\"")
    n, lines = _run_lines(run)
    pos = spring_layout(n, lines)
    trips = chosen.trips
    fig, (grid_ax, time_ax) = plt.subplots(1, 2, figsize=(12, 5), width_ratios=[1, 1.2], layout="constrained")

    def segments(pairs):
        return [(pos[a], pos[b]) for a, b in pairs]

    tripped = {(min(a, b), max(a, b)) for a, b in zip(trips["from"], trips["to"])}
    earlier = set()
    if not run.stochastic.cascade_restore_lines:
        for other in run.stochastic.runs[:chosen.index]:
            earlier |= {(min(t["from"], t["to"]), max(t["from"], t["to"])) for t in other.entry["tripped_lines"]}
    in_service = {(min(a, b), max(a, b)) for a, b in zip(lines["from"], lines["to"])} - tripped - earlier
    grid_ax.add_collection(LineCollection(segments(sorted(in_service)), colors="0.6", linewidths=1,
                                          label="in service", zorder=1))
    if earlier - tripped:
        grid_ax.add_collection(LineCollection(segments(sorted(earlier - tripped)), colors="0.6", linewidths=1,
                                              linestyles=":", label="tripped in an earlier run", zorder=1))
    if len(trips):
        trip_lines = LineCollection(segments(zip(trips["from"], trips["to"])), array=trips["time"], cmap="plasma",
                                    linewidths=3, label="tripped", zorder=2)
        trip_lines.set_clim(0, run.steps * run.step_width)
        grid_ax.add_collection(trip_lines)
        fig.colorbar(trip_lines, ax=grid_ax, label=f"trip time ({run.units['time']})")
    turbines = np.zeros(n, bool)
    turbines[chosen.turbine_nodes] = True
    size = 30 if n <= 100 else 8
    grid_ax.scatter(*pos[~turbines].T, s=size, c="k", zorder=3, label="node")
    grid_ax.scatter(*pos[turbines].T, s=size * 2.5, c="tab:green", marker="^", zorder=3, label="turbine node")
    _label_nodes(grid_ax, pos, run.buses)
    grid_ax.autoscale()
    grid_ax.set_aspect("equal")
    grid_ax.set_axis_off()
    grid_ax.legend(loc="lower left", fontsize="small")
    grid_ax.set_title(f"{len(trips)} line records tripped", fontsize="medium")

    time_ax.plot(chosen.step_time, chosen.max_ratio, lw=1, label="largest load ratio")
    time_ax.axhline(1, color="r", lw=1, ls="--", label="capacity")
    for k, t in enumerate(trips["time"]):
        time_ax.axvline(t, color="0.4", lw=0.8, ls=":", label="trip" if k == 0 else None)
    time_ax.set_xlabel(_time_label(run))
    time_ax.set_ylabel("flow / capacity of the most loaded line")
    time_ax.grid(alpha=0.3)
    time_ax.legend(fontsize="small")
    fig.suptitle(f"Cascade of stochastic run {chosen.index} ({chosen.output_name})", fontsize="medium")
    return fig


def flows(run, stochastic_run=0):
    """Mean and largest flow of every line record in one stochastic run,
    with the record's capacity from the run's input file."""
    run = _run(run)
    chosen = _stochastic_run(run, int(stochastic_run))
    table = chosen.flows
    if table is None:
        raise PlotError(f"stochastic run {chosen.index} has no line flows: run with \"Mode stoch lf\"")
    _, lines = _run_lines(run)
    capacity_of = {(a, b): c for a, b, c in zip(lines["from"], lines["to"], lines["capacity"])}
    capacity = np.array([capacity_of.get((a, b), np.nan) for a, b in zip(table["from"], table["to"])])
    x = np.arange(len(table))
    fig, ax = plt.subplots(figsize=(max(6.0, min(0.35 * len(table), 16.0)), 4.5), layout="constrained")
    ax.bar(x, table["max_flow"], width=0.8, color="tab:orange", label="largest flow")
    ax.bar(x, table["mean_flow"], width=0.5, color="tab:blue", label="mean flow")
    limited = np.isfinite(capacity) & (capacity > 0)
    ax.scatter(x[limited], capacity[limited], marker="_", s=200, c="k", linewidths=2, zorder=3, label="capacity")
    # Every record labelled (from, to) by bus number; on long lists every k-th.
    every = max(1, math.ceil(len(table) / MAX_LABELLED_RECORDS))
    buses = run.buses
    ax.set_xticks(x[::every], [f"({buses[a]}, {buses[b]})" for a, b in zip(table["from"][::every],
                                                                         table["to"][::every])],
                  rotation=90, fontsize="small" if len(table) <= 40 else 6)
    ax.set_xlabel("line record (from, to)" + (" by bus number" if run.bus_numbers is not None else "")
                  + (f", every {every}th labelled" if every > 1 else ""))
    ax.set_ylabel("flow (p.u.)")
    ax.grid(axis="y", alpha=0.3)
    ax.legend(fontsize="small")
    ax.set_title(f"Line flows of stochastic run {chosen.index} ({chosen.output_name})", fontsize="medium")
    return fig


def contingency(run, outage=None):
    """The dynamic contingency analysis: the cascade size (lines tripped
    after the outage) of every contingency, and the grid with the trips of
    contingency ``outage`` (default: the worst) coloured by trip time, the
    line taken out dashed and the nodes coloured by their final frequency
    deviation; nodes are labelled (on large grids those of the outage and
    the trips)."""
    run = _run(run)
    analysis = run.contingency
    if analysis is None or not len(analysis):
        raise PlotError(f"{run.manifest_path} holds no contingency analysis: run with \"Mode contingency\"")
    summary = analysis.summary
    k = int(analysis.worst(1)[0]) if outage is None else int(outage)
    if not 0 <= k < len(summary):
        raise PlotError(f"contingency {k} is not in the run (0 … {len(summary) - 1})")
    fig, (bar_ax, grid_ax) = plt.subplots(1, 2, figsize=(13, 5.5), width_ratios=[1, 1.2], layout="constrained")
    buses = run.buses

    x = np.arange(len(summary))
    colours = np.where(summary["returned"], "tab:blue", "tab:red")
    bar_ax.bar(x, summary["trips"], color=colours, width=0.8)
    bar_ax.bar([k], [summary["trips"][k]], color="none", edgecolor="k", linewidth=2, width=0.8)
    if len(summary) <= 40:
        bar_ax.set_xticks(x, [f"{buses[a]}-{buses[b]}" for a, b in zip(summary["from"], summary["to"])],
                          rotation=90, fontsize="small")
        bar_ax.set_xlabel("line taken out")
    else:
        bar_ax.set_xlabel("contingency (index in the run's outages)")
    bar_ax.set_ylabel("lines tripped after the outage")
    bar_ax.yaxis.get_major_locator().set_params(integer=True)
    bar_ax.grid(axis="y", alpha=0.3)
    bar_ax.legend(handles=[plt.Rectangle((0, 0), 1, 1, color="tab:blue"), plt.Rectangle((0, 0), 1, 1, color="tab:red")],
                  labels=["returned into the band", "not returned"], fontsize="small")
    bar_ax.set_title(f"{len(summary)} outages at t = {analysis.outage_time:g}, "
                     f"{int(np.count_nonzero(summary['trips']))} followed by trips", fontsize="medium")

    n, lines = _run_lines(run)
    pos = spring_layout(n, lines)
    final = analysis.nodes["final_frequency"][k] if len(analysis.nodes) > k else None
    draw_grid(fig, grid_ax, n, lines, pos, node_values=final, cmap="coolwarm", labels=buses if n <= 30 else (),
              value_label=f"final frequency deviation ({run.units['frequency']})",
              clim=None if final is None else (-np.max(np.abs(final)) or -1, np.max(np.abs(final)) or 1))
    line = summary[k]
    grid_ax.plot(*pos[[line["from"], line["to"]]].T, color="k", lw=2.5, ls="--", zorder=2,
                 label=f"taken out at t = {analysis.outage_time:g}")
    trips = analysis.trips[k]
    if len(trips):
        collection = LineCollection([(pos[a], pos[b]) for a, b in zip(trips["from"], trips["to"])],
                                    array=trips["time"], cmap="plasma", linewidths=3, zorder=2, label="tripped")
        collection.set_clim(analysis.outage_time, run.steps * run.step_width)
        grid_ax.add_collection(collection)
        fig.colorbar(collection, ax=grid_ax, label=_time_label(run).replace("time", "trip time", 1))
    if n > 30:
        labelled = {int(line["from"]), int(line["to"])} | set(trips["from"].tolist()) | set(trips["to"].tolist())
        for node in sorted(labelled):
            grid_ax.annotate(str(buses[node]), pos[node], textcoords="offset points", xytext=(4, 4), fontsize="small")
    grid_ax.legend(loc="lower left", fontsize="small")
    grid_ax.set_title(f"Contingency {k}: line {buses[line['from']]}-{buses[line['to']]} out, {len(trips)} trips, "
                      f"{line['islands']} island(s), {line['desynchronised']} node(s) outside the band",
                      fontsize="medium")
    return fig
