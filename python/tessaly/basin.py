"""Basin stability: the results of ``Mode basin`` (``run.basin``) and the
same measure from a mean-return-time raster (``run.raster.basin_stability``).

A node's basin stability S is the share of its samples, perturbations of
its phase and frequency drawn uniformly from a box around the steady state,
after which the grid returned to its steady state; its standard error is
sqrt(S (1 - S) / n) for n samples.
"""
from functools import cached_property

import numpy as np

# The classes in the order of their codes in the sample file.
CLASSES = ("returned", "other_fixed_point", "not_returned", "undecided")

STABILITY_DTYPE = np.dtype([("node", "i4"), ("samples", "i8"), ("returned", "i8"), ("other_fixed_point", "i8"),
                            ("not_returned", "i8"), ("undecided", "i8"), ("stability", "f8"),
                            ("standard_error", "f8")])
SAMPLE_DTYPE = np.dtype([("node", "i4"), ("sample", "i8"), ("phase_offset", "f8"), ("frequency_offset", "f8"),
                         ("class", "i1"), ("decision_time", "f8")])
RASTER_STABILITY_DTYPE = np.dtype([("node", "i4"), ("samples", "i8"), ("returned", "i8"), ("stability", "f8"),
                                   ("standard_error", "f8")])


def standard_error(stability, samples):
    """sqrt(S (1 - S) / n), elementwise."""
    stability = np.asarray(stability, dtype=float)
    return np.sqrt(stability * (1 - stability) / np.asarray(samples, dtype=float))


def _copy_fields(records, dtype):
    table = np.zeros(len(records), dtype)
    for name in dtype.names:
        table[name] = records[name]
    return table


class Basin:
    """Results of the basin-stability analysis: the settings of the
    manifest's ``basin`` section as attributes, ``stability`` per node and
    ``samples`` per sample."""

    def __init__(self, run):
        info = run.manifest["basin"]
        self._run = run
        self.info = info
        self.nodes = [int(node) for node in info["nodes"]]
        self.samples_per_node = int(info["samples"])
        self.standard_error_target = info["standard_error_target"]
        self.classes = tuple(info["classes"])
        self.phase_offset_range = tuple(info["phase_offset_range"])
        self.frequency_offset_range = tuple(info["frequency_offset_range"])
        self.band = info["band"]
        self.settle_time = info["settle_time"]
        self.full_length = bool(info["full_length"])
        self.steps_integrated = info["steps_integrated"]
        self.steps_at_full_length = info["steps_at_full_length"]

    @property
    def speedup(self):
        """Steps a full-length run integrates over the steps this run
        integrated (None before the analysis ended)."""
        if not self.steps_integrated:
            return None
        return self.steps_at_full_length / self.steps_integrated

    @cached_property
    def stability(self):
        """(node,) structured, in the order of ``nodes``: ``node``,
        ``samples``, the counts ``returned``, ``other_fixed_point``,
        ``not_returned``, ``undecided``, ``stability`` (returned / samples)
        and its ``standard_error``."""
        file = self._run.file("basin.stability")
        return _copy_fields(file.table(), STABILITY_DTYPE)

    @cached_property
    def samples(self):
        """(sample,) structured, in file order (round by round; without a
        standard-error target node by node): ``node``, ``sample`` (the
        node's sample number), ``phase_offset`` (rad) and
        ``frequency_offset`` (rad/t) from the steady state, ``class`` (an
        index into ``classes``) and ``decision_time`` (t)."""
        file = self._run.file("basin.samples")
        return _copy_fields(file.table(), SAMPLE_DTYPE)

    def samples_of(self, node):
        """The samples of ``node``, by sample number."""
        table = self.samples[self.samples["node"] == int(node)]
        return table[np.argsort(table["sample"], kind="stable")]

    def arrays(self):
        return {"stability": self.stability, "samples": self.samples}


def raster_basin_stability(raster, band=None):
    """Basin stability from a mean-return-time raster: for each kicked
    node, the share of its kicks after which every node has a finite mean
    return time, i.e. was inside the band at the end. The files hold the
    mean over the run's bands, which is finite exactly when the smallest
    band is reached, so ``band`` (default: the smallest threshold) must be
    that band. The standard error is that of as many independent samples.
    Returns (kicked node,) structured: ``node``, ``samples``, ``returned``,
    ``stability``, ``standard_error``."""
    table = raster.return_times
    if table is None:
        raise ValueError("the run has no mean return times: run the raster with \"Mode RMRT\"")
    if len(raster.thresholds) == 0:
        raise ValueError("the raster has no return bands (\"Num of thresh\" 0)")
    smallest = float(np.min(raster.thresholds))
    if band is None:
        band = smallest
    if not np.isclose(band, smallest, rtol=1e-12, atol=0):
        raise ValueError(f"band {band:g} is not the smallest of the raster's bands ({smallest:g}): its files hold "
                         "the mean return time over all bands, finite only when the smallest is reached")
    if len(table) < raster.initial_conditions:
        raise ValueError(f"the run holds {len(table)} of {raster.initial_conditions} initial conditions")
    returned = np.all(np.isfinite(table["mean_return_time"]), axis=1).reshape(raster.shape[0], -1)
    out = np.zeros(raster.shape[0], RASTER_STABILITY_DTYPE)
    out["node"] = np.arange(raster.first_node, raster.last_node)
    out["samples"] = returned.shape[1]
    out["returned"] = returned.sum(axis=1)
    out["stability"] = out["returned"] / out["samples"]
    out["standard_error"] = standard_error(out["stability"], out["samples"])
    return out
