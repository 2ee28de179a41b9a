"""The analyses a :class:`tessaly.study.Study` runs: each a small class that
writes its input keys and can summarise its results for a sweep table.
Registered: ``raster`` (:class:`Raster`), ``stochastic``
(:class:`StochasticWind`), ``basin`` (:class:`Basin`), ``contingency``
(:class:`Contingency`), ``linear`` (:class:`LinearStability`) and ``keys``
(:class:`Keys`).

Settings left at None are not written: the program's defaults apply (the
README's key tables give them).

**Adding an analysis.** Subclass :class:`Analysis`, give it a ``name`` (what
``study.add(name, ...)`` takes), write its settings in ``__init__``, return
its input lines from ``keys(grid)`` (key lines and value lines, in the
program's grammar; take node arguments as bus numbers through
``grid.node_of``), and, for :func:`tessaly.study.sweep`, return a dict of a
few numbers from ``summary(run)``; decorate it with :func:`register`. For an
analysis whose mode is ``Mode inertia scan`` and whose key is
``Inertia scan factor``::

    @register
    class InertiaScan(Analysis):
        name = "inertia_scan"

        def __init__(self, factor=None):
            self.factor = factor

        def keys(self, grid):
            lines = ["Mode inertia scan"]
            if self.factor is not None:
                lines += ["Inertia scan factor", _number(self.factor)]
            return lines

        def summary(self, run):
            return {"scanned": len(run.manifest["inertia_scan"]["factors"])}

Until an analysis has a class of its own, :class:`Keys` writes any keys as
given: ``study.add("keys", {"Mode inertia scan": None, "Inertia scan factor": 2})``.
"""
import numpy as np

ANALYSES = {}


def register(cls):
    """Makes ``cls`` known to :meth:`tessaly.study.Study.add` by its ``name``."""
    if not cls.name or cls.name in ANALYSES:
        raise ValueError(f"an analysis needs a name of its own, {cls.name!r} is {'taken' if cls.name else 'none'}")
    ANALYSES[cls.name] = cls
    return cls


def analysis(name, *args, **settings):
    """A new analysis of the registered ``name`` with its settings."""
    try:
        cls = ANALYSES[name]
    except KeyError:
        raise ValueError(f"no analysis {name!r} (known: {', '.join(sorted(ANALYSES))})") from None
    return cls(*args, **settings)


class Analysis:
    """What every analysis of a study has: its input keys and a summary."""
    name = None

    def keys(self, grid):
        """The analysis' lines of the input file, for ``grid``."""
        raise NotImplementedError

    def summary(self, run):
        """A few numbers that characterise the results of ``run``: one row
        of a sweep table (keys prefixed by the analysis' name)."""
        return {}

    def __repr__(self):
        settings = ", ".join(f"{k}={v!r}" for k, v in vars(self).items())
        return f"{type(self).__name__}({settings})"


def _number(value):
    return repr(float(value))


def _raster_axis(values, what):
    """(minimum, maximum, step) keys that make the program walk through the
    evenly spaced ``values`` (it goes from the minimum in steps while below
    the maximum)."""
    values = np.atleast_1d(np.asarray(values, dtype=float))
    if values.size == 0:
        raise ValueError(f"the raster needs at least one {what}")
    step = (values[-1] - values[0]) / (values.size - 1) if values.size > 1 else 1.0
    if values.size > 1 and (step <= 0 or not np.allclose(np.diff(values), step, rtol=1e-9, atol=0)):
        raise ValueError(f"the {what}s must be increasing and evenly spaced, got {values.tolist()}")
    return values[0], values[-1] + step / 2, step


@register
class Raster(Analysis):
    """The raster return-time analysis: every node of ``buses`` (bus numbers,
    or node indices ``nodes``; a contiguous range of nodes) is kicked by
    every frequency offset and, within it, every phase offset (evenly
    spaced values). ``return_times`` (mean return times into ``bands``
    frequency bands from ``thresholds[0]`` to ``thresholds[1]``), ``energy``
    (energy return times) and ``maxima`` (largest deviations) choose what is
    measured."""
    name = "raster"

    def __init__(self, buses=None, nodes=None, frequency_offsets=(-0.2, 0.2), phase_offsets=(0.0,),
                 thresholds=(0.01, 0.1), bands=3, return_times=True, energy=False, maxima=False):
        if buses is not None and nodes is not None:
            raise ValueError("give the kicked buses or the kicked nodes, not both")
        self.buses = buses
        self.nodes = nodes
        self.frequency_offsets = frequency_offsets
        self.phase_offsets = phase_offsets
        self.thresholds = thresholds
        self.bands = bands
        self.return_times = return_times
        self.energy = energy
        self.maxima = maxima

    def kicked_nodes(self, grid):
        if self.buses is not None:
            chosen = [grid.node_of(b) for b in np.atleast_1d(self.buses)]
        elif self.nodes is not None:
            chosen = [int(k) for k in np.atleast_1d(self.nodes)]
        else:
            chosen = list(range(grid.num_nodes))
        first, last = min(chosen), max(chosen) + 1
        if sorted(chosen) != list(range(first, last)):
            raise ValueError(f"the raster kicks a contiguous range of nodes; nodes {sorted(chosen)} are not one")
        return first, last

    def keys(self, grid):
        first, last = self.kicked_nodes(grid)
        f_min, f_max, f_step = _raster_axis(self.frequency_offsets, "frequency offset")
        p_min, p_max, p_step = _raster_axis(self.phase_offsets, "phase offset")
        modes = ["Mode raster rt"] + [key for key, on in (("Mode RMRT", self.return_times), ("Mode ERT", self.energy),
                                                          ("Mode maxp", self.maxima)) if on]
        return modes + [
            "First pert node", str(first), "Last pert node", str(last),
            "Freq pert minimum", _number(f_min), "Freq pert maximum", _number(f_max), "Freq pert step", _number(f_step),
            "Phase pert minimum", _number(p_min), "Phase pert maximum", _number(p_max),
            "Phase pert step", _number(p_step),
            "RT threshold low", _number(self.thresholds[0]), "RT threshold high", _number(self.thresholds[1]),
            "Num of thresh", str(int(self.bands)),
        ]

    def summary(self, run):
        table = run.raster.return_times
        if table is None:
            return {}
        times = np.asarray(table["mean_return_time"])
        returned = np.isfinite(times).all(axis=1)
        finite = np.where(np.isfinite(times), times, np.nan)
        return {"mean_return_time": float(np.nanmean(finite)) if np.isfinite(finite).any() else float("nan"),
                "longest_return_time": float(np.nanmax(finite)) if np.isfinite(finite).any() else float("nan"),
                "kicks_not_returned": int(np.sum(~returned))}


@register
class StochasticWind(Analysis):
    """The stochastic wind-input analysis: one run per turbine configuration
    (``turbine_buses``: one list of bus numbers per configuration) and wind
    part, driven by ``wind_series`` (one row of wind speeds per turbine
    position) as a step function (``interpolation="stepfunc"``), by the
    stochastic interpolation ("sif") or as given per step ("given").
    ``renewable_share`` (per node) is the part of each turbine node's power
    that follows the wind. ``statistics`` (histograms and survival),
    ``line_flows`` and ``cascade`` (of overloaded lines; ``restore_lines``
    puts tripped lines back after each) choose what is measured."""
    name = "stochastic"

    def __init__(self, turbine_buses, wind_series, interpolation="stepfunc", renewable_share=None,
                 wind_parts=False, statistics=False, line_flows=False, cascade=False, restore_lines=False,
                 survive_threshold=None, time_lags=None, write_series=False):
        if interpolation not in ("stepfunc", "sif", "given"):
            raise ValueError(f"interpolation {interpolation!r}: allowed stepfunc, sif, given")
        self.turbine_buses = [list(np.atleast_1d(c)) for c in turbine_buses]
        self.wind_series = np.atleast_2d(np.asarray(wind_series, dtype=float))
        self.interpolation = interpolation
        self.renewable_share = renewable_share
        self.wind_parts = wind_parts
        self.statistics = statistics
        self.line_flows = line_flows
        self.cascade = cascade
        self.restore_lines = restore_lines
        self.survive_threshold = survive_threshold
        self.time_lags = time_lags
        self.write_series = write_series

    def keys(self, grid):
        modes = {"stepfunc": "Mode stepfunc", "sif": "Mode sif", "given": "Mode given series"}
        lines = ["Mode stoch inp", modes[self.interpolation]]
        lines += [key for key, on in (("Mode surv", self.statistics), ("Mode stoch lf", self.line_flows),
                                      ("Mode stoch casc", self.cascade), ("Cascade restore lines", self.restore_lines),
                                      ("Wind mult", self.wind_parts)) if on]
        lines.append("Turbine nodes")
        lines += [" ".join(str(grid.node_of(b)) for b in configuration) for configuration in self.turbine_buses]
        lines.append("Wind series")
        lines += [" ".join(_number(v) for v in row) for row in self.wind_series]
        if self.renewable_share is not None:
            share = np.broadcast_to(np.asarray(self.renewable_share, dtype=float), (grid.num_nodes,))
            lines += ["Renewable share", " ".join(_number(v) for v in share)]
        if self.survive_threshold is not None:
            lines += ["Survive threshold", _number(self.survive_threshold)]
        if self.time_lags is not None:
            lines += ["Freq time lags", " ".join(_number(v) for v in np.atleast_1d(self.time_lags))]
        if self.write_series:
            lines += ["Write stoch", "1"]
        return lines

    def summary(self, run):
        runs = run.stochastic.runs
        out = {"runs": len(runs)}
        if self.cascade:
            out["tripped_records"] = int(sum(len(r.entry["tripped_lines"]) for r in runs))
            ratios = [np.nanmax(r.max_ratio) for r in runs if r.max_ratio is not None and len(r.max_ratio)]
            out["largest_load_ratio"] = float(max(ratios)) if ratios else float("nan")
        if self.line_flows:
            flows = [np.max(r.flows["max_flow"]) for r in runs if r.flows is not None and len(r.flows)]
            out["largest_flow"] = float(max(flows)) if flows else float("nan")
        return out


def _optional_keys(settings):
    """The key and value lines of the settings given (None: not written, the
    program's default applies); ``settings`` a sequence of (key, value,
    how to write the value)."""
    lines = []
    for key, value, text in settings:
        if value is not None:
            lines += [key, text(value)]
    return lines


def _range(value, what):
    """(minimum, maximum) of a range setting, or None."""
    if value is None:
        return None
    low, high = (float(v) for v in value)
    if not low < high:
        raise ValueError(f"the {what} range must be (minimum, maximum) with minimum < maximum, got {value!r}")
    return low, high


@register
class Basin(Analysis):
    """Single-node basin stability ("Mode basin"): every node of ``buses``
    (bus numbers, or node indices ``nodes``; any nodes in any order, each
    once; default every node) is perturbed on its own ``samples`` times
    with phase and frequency offsets drawn uniformly from
    ``phase_offset_range`` × ``frequency_offset_range`` ((minimum, maximum),
    rad and the grid's frequency unit), and each sample is classed by
    whether the grid returned to its steady state. ``standard_error``
    samples in batches until each node's standard error is at most this;
    ``band``, ``settle_time`` and ``phase_tolerance`` decide when a sample
    has settled; ``full_length`` runs every sample to the end (no early
    decisions). Settings left at None take the program's defaults."""
    name = "basin"

    def __init__(self, buses=None, nodes=None, samples=None, standard_error=None, phase_offset_range=None,
                 frequency_offset_range=None, band=None, settle_time=None, phase_tolerance=None, full_length=False):
        if buses is not None and nodes is not None:
            raise ValueError("give the sampled buses or the sampled nodes, not both")
        self.buses = buses
        self.nodes = nodes
        self.samples = samples
        self.standard_error = standard_error
        self.phase_offset_range = _range(phase_offset_range, "phase offset")
        self.frequency_offset_range = _range(frequency_offset_range, "frequency offset")
        self.band = band
        self.settle_time = settle_time
        self.phase_tolerance = phase_tolerance
        self.full_length = full_length

    def sampled_nodes(self, grid):
        """The node indices to sample, in order; None for every node."""
        if self.buses is not None:
            return [grid.node_of(b) for b in np.atleast_1d(self.buses)]
        if self.nodes is not None:
            return [int(k) for k in np.atleast_1d(self.nodes)]
        return None

    def keys(self, grid):
        lines = ["Mode basin"]
        nodes = self.sampled_nodes(grid)
        if nodes is not None:
            if not nodes:
                raise ValueError("the basin analysis needs at least one node to sample")
            lines += ["Basin nodes", " ".join(str(k) for k in nodes)]
        phase = self.phase_offset_range or (None, None)
        frequency = self.frequency_offset_range or (None, None)
        lines += _optional_keys([
            ("Basin samples", self.samples, lambda v: str(int(v))),
            ("Basin standard error", self.standard_error, _number),
            ("Basin phase minimum", phase[0], _number), ("Basin phase maximum", phase[1], _number),
            ("Basin freq minimum", frequency[0], _number), ("Basin freq maximum", frequency[1], _number),
            ("Basin band", self.band, _number), ("Basin settle time", self.settle_time, _number),
            ("Basin phase tolerance", self.phase_tolerance, _number)])
        if self.full_length:
            lines.append("Basin full length")
        return lines

    def summary(self, run):
        table = run.basin.stability if run.basin is not None else None
        if table is None or not len(table):
            return {}
        least = int(np.argmin(table["stability"]))
        return {"mean_stability": float(np.mean(table["stability"])),
                "min_stability": float(table["stability"][least]),
                "least_stable_bus": int(run.buses[table["node"][least]]),
                "samples": int(np.sum(table["samples"])),
                "undecided": int(np.sum(table["undecided"]))}


@register
class Contingency(Analysis):
    """Dynamic N-1 contingencies ("Mode contingency"): each line of ``lines``
    ((from_bus, to_bus) pairs; default every line) is taken out on its own
    at ``time``, from the steady state, and the run integrates on with the
    trip rule checking every line after every step. ``band`` and
    ``settle_time`` decide whether the grid returned. The lines' capacities
    and the flow they are compared with are the grid's (capacities from the
    base flow: ``grid.capacity_factor``; ``grid.flow_measure``). Settings
    left at None take the program's defaults."""
    name = "contingency"

    def __init__(self, lines=None, time=None, band=None, settle_time=None):
        if lines is not None:
            lines = [tuple(int(b) for b in pair) for pair in lines]
            if any(len(pair) != 2 for pair in lines):
                raise ValueError(f"each contingency line is a (from_bus, to_bus) pair, got {lines!r}")
        self.lines = lines
        self.time = time
        self.band = band
        self.settle_time = settle_time

    def keys(self, grid):
        lines = ["Mode contingency"]
        if self.lines is not None:
            if not self.lines:
                raise ValueError("the contingency analysis needs at least one line to take out")
            lines.append("Contingency lines")
            for a, b in self.lines:
                grid.records_between(a, b)          # a line that is not there is named here
                lines.append(f"{grid.node_of(a)} {grid.node_of(b)}")
        return lines + _optional_keys([("Contingency time", self.time, _number),
                                       ("Contingency band", self.band, _number),
                                       ("Contingency settle time", self.settle_time, _number)])

    def summary(self, run):
        if run.contingency is None or not len(run.contingency):
            return {"contingencies": 0}
        table = run.contingency.summary
        worst = int(np.argmax(table["trips"]))
        cascade = int(table["trips"][worst])
        return {"contingencies": len(table),
                "cascading_outages": int(np.count_nonzero(table["trips"])),
                "largest_cascade": cascade,
                # The line whose outage it follows, "from_bus-to_bus" (None without trips).
                "largest_cascade_line": f"{run.buses[table['from'][worst]]}-{run.buses[table['to'][worst]]}"
                if cascade else None,
                "islanding_outages": int(np.count_nonzero(table["islands"] > 1)),
                "not_returned": int(np.count_nonzero(~table["returned"]))}


@register
class LinearStability(Analysis):
    """Linear stability at the steady state ("Mode linear stability"): the
    eigenvalues of the linearised swing equations and the participation
    factors of the ``modes`` least-damped modes; ``solver`` "dense" (every
    eigenvalue), "iterative" (the least damped only) or "auto". Settings
    left at None take the program's defaults."""
    name = "linear"

    def __init__(self, modes=None, solver=None):
        if solver is not None and solver not in ("dense", "iterative", "auto"):
            raise ValueError(f"solver {solver!r}: allowed dense, iterative, auto")
        self.modes = modes
        self.solver = solver

    def keys(self, grid):
        return ["Mode linear stability"] + _optional_keys([("Linear modes", self.modes, lambda v: str(int(v))),
                                                           ("Linear solver", self.solver, str)])

    def summary(self, run):
        linear = run.linear
        if linear is None:
            return {}
        table = linear.eigenvalues[~linear.eigenvalues["rotation_mode"]]
        oscillatory = linear.least_damped_oscillatory
        return {"unstable": bool(linear.unstable),
                "least_damped_real": float(np.max(table["real"])) if len(table) else float("nan"),
                "least_damping_ratio": float(np.min(table["damping_ratio"])) if len(table) else float("nan"),
                "oscillatory_frequency": float(oscillatory["frequency"]) if oscillatory else float("nan")}


@register
class Keys(Analysis):
    """Input keys written as given, for analyses that have no class of their
    own yet: a dict of key -> value (None for a switch, a number, a string,
    or a sequence written as one line of numbers)."""
    name = "keys"

    def __init__(self, keys):
        self.keys_given = dict(keys)

    def keys(self, grid):
        lines = []
        for key, value in self.keys_given.items():
            lines.append(key)
            if value is None:
                continue
            if isinstance(value, str):
                lines.append(value)
            elif np.ndim(value) == 0:
                lines.append(str(value) if isinstance(value, (int, np.integer)) else _number(value))
            else:
                lines.append(" ".join(str(v) for v in np.ravel(value)))
        return lines
