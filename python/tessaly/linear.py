"""Results of the linear-stability analysis ("Mode linear stability"):
``run.linear`` of a :class:`tessaly.results.Run`.

The eigenvalues λ of the swing equations linearised at the steady state,
the least damped (largest real part) first; for the least-damped modes, the
participation factor of every node (the share of the mode in the node's
phase and frequency, summing to 1 over the nodes)."""
from functools import cached_property

import numpy as np

from .tables import typed_records

EIGENVALUE_DTYPE = np.dtype([("real", "f8"), ("imag", "f8"), ("frequency", "f8"), ("damping_ratio", "f8"),
                             ("rotation_mode", "?")])


class Linear:
    """The analysis' settings and findings (the manifest's ``linear``
    section) and its two result files."""

    def __init__(self, run):
        self._run = run
        self.info = run.manifest["linear"]
        self.path = self.info["path"]
        self.unstable = bool(self.info["unstable"])
        self.least_damped_oscillatory = self.info["least_damped_oscillatory"]

    @cached_property
    def eigenvalues(self):
        """(eigenvalue,) structured: ``real``, ``imag`` (1/t), ``frequency``
        (imag / 2π, cycles per t), ``damping_ratio`` (−real / |λ|) and
        ``rotation_mode`` (True for the free rotation of an island), the
        least damped first. The dense paths give every eigenvalue, the
        iterative path the rotation modes and the least damped."""
        file = self._run.file("linear.eigenvalues")
        if file is None:
            return np.zeros(0, EIGENVALUE_DTYPE)
        return typed_records(file.table(), EIGENVALUE_DTYPE, flags=("rotation_mode",))

    @property
    def values(self):
        """(eigenvalue,) the eigenvalues as complex numbers."""
        table = self.eigenvalues
        return table["real"] + 1j * table["imag"]

    @cached_property
    def participation_modes(self):
        """(mode,) the index into ``eigenvalues`` of each least-damped mode."""
        return np.asarray(self.info["participation_modes"] or [], dtype=int)

    @property
    def participation(self):
        """(mode, node) participation factors of the least-damped modes, in
        the order of ``participation_modes``; each row sums to 1."""
        file = self._run.file("linear.participation")
        if file is None:
            return np.zeros((0, self._run.nodes))
        return file.map((file.records, file.width))

    def arrays(self):
        return {"eigenvalues": self.eigenvalues, "participation": self.participation,
                "participation_modes": self.participation_modes}

    def __repr__(self):
        return (f"<Linear {self.path}: {len(self.eigenvalues)} eigenvalues, "
                f"{'unstable' if self.unstable else 'stable'}>")
