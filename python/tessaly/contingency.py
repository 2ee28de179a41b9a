"""Results of the dynamic contingency analysis ("Mode contingency"): ``run.contingency``.

Contingency k takes out the line ``outages[k]`` (both its records) at
``outage_time``, from the steady state, on a fresh copy of the grid, and
integrates to the end of the run with the cascade's trip rule checked after
every step. Axis names: ``contingency`` (in the order of ``outages``),
``trip``, ``node``, ``record`` (line record, one per direction of a line).
"""
from functools import cached_property

import numpy as np

from .tables import typed_records

SUMMARY_DTYPE = np.dtype([("from", "i4"), ("to", "i4"), ("trips", "i4"), ("islands", "i4"),
                          ("desynchronised", "i4"), ("max_frequency", "f8"), ("max_load_ratio", "f8"),
                          ("returned", "?")])
TRIP_DTYPE = np.dtype([("time", "f8"), ("from", "i4"), ("to", "i4")])
ALL_TRIPS_DTYPE = np.dtype([("contingency", "i4"), ("time", "f8"), ("from", "i4"), ("to", "i4")])
NODE_DTYPE = np.dtype([("final_frequency", "f8"), ("max_frequency", "f8"), ("island", "i4")])
BASE_FLOW_DTYPE = np.dtype([("from", "i4"), ("to", "i4"), ("flow", "f8"), ("capacity", "f8"),
                            ("load_ratio", "f8")])


def _copied(records, dtype):
    """The memory-mapped records as an array of ``dtype`` (same field names)."""
    out = np.zeros(records.shape, dtype)
    for name in dtype.names:
        out[name] = records[name]
    return out


class Trips:
    """The trips of every contingency: ``trips[k]`` is (trip,) structured
    ``time``, ``from``, ``to`` of contingency k, in trip order; ``len(trips)``
    is the number of contingencies; ``trips.all`` holds every trip with its
    ``contingency``."""

    def __init__(self, table, contingencies):
        self.all = _copied(table, ALL_TRIPS_DTYPE)
        self._starts = np.searchsorted(self.all["contingency"], np.arange(contingencies + 1))
        self._table = _copied(table, TRIP_DTYPE)

    def __len__(self):
        return len(self._starts) - 1

    def __getitem__(self, k):
        if not -len(self) <= k < len(self):
            raise IndexError(f"contingency {k} is not in the run (0 … {len(self) - 1})")
        k %= len(self)
        return self._table[self._starts[k]:self._starts[k + 1]]


class Contingency:
    """The analysis' settings (from the manifest) and its results."""

    def __init__(self, run):
        info = run.manifest["contingency"]
        self._run = run
        self.info = info
        self.outages = np.array([(o["from"], o["to"]) for o in info["outages"]],
                                dtype=[("from", "i4"), ("to", "i4")])
        self.outage_time = float(info["outage_time"])
        self.outage_step = int(info["outage_step"])
        self.band = float(info["band"])
        self.settle_time = float(info["settle_time"])
        flows = run.manifest.get("line_flows") or {}
        self.flow_measure = flows.get("flow_measure", "apparent")
        self.line_losses_in_diag = bool(flows.get("line_losses_in_diag", False))

    def __len__(self):
        return len(self.outages)

    def _table(self, kind):
        file = self._run.file(kind)
        if file is None:
            from .results import ResultFileError
            raise ResultFileError(f"{self._run.manifest_path} lists no {kind} file")
        return file.table()

    @cached_property
    def summary(self):
        """(contingency,) structured: ``from``, ``to`` (the line taken out),
        ``trips`` (lines the trip rule switched off after it), ``islands`` and
        ``desynchronised`` (nodes whose |frequency deviation| ends outside
        ``band``) at the end, ``max_frequency`` (rad/t) and ``max_load_ratio``
        reached, ``returned`` (every node inside the band for the settle time)."""
        return typed_records(self._table("contingency.summary"), SUMMARY_DTYPE, flags=("returned",))

    @cached_property
    def trips(self):
        """``trips[k]``: (trip,) ``time``, ``from``, ``to`` of contingency k (see :class:`Trips`)."""
        return Trips(self._table("contingency.trips"), len(self))

    @cached_property
    def nodes(self):
        """(contingency, node) structured: ``final_frequency`` (rad/t),
        ``max_frequency`` (largest |frequency deviation|, rad/t) and ``island``
        (numbered from 0 in the order of their lowest node) of every node."""
        return _copied(self._table("contingency.nodes"), NODE_DTYPE)

    @cached_property
    def base_flows(self):
        """(record,) structured at the steady state: ``from``, ``to``, ``flow``
        (p.u., under ``flow_measure``), ``capacity``, ``load_ratio``."""
        return _copied(self._table("contingency.base_flows"), BASE_FLOW_DTYPE)

    def worst(self, count=10):
        """Indices of the ``count`` worst contingencies: most trips, then most
        nodes outside the band, most islands, not returned, highest load ratio."""
        s = self.summary
        order = np.lexsort((-s["max_load_ratio"], s["returned"], -s["islands"], -s["desynchronised"], -s["trips"]))
        return order[:count]

    def arrays(self):
        return {"outages": self.outages, "summary": self.summary, "trips": self.trips.all, "nodes": self.nodes,
                "base_flows": self.base_flows}
