"""Measuring one spectrum against a master: the first guess, the iterated
line-by-line Taylor fit and the combination of the lines."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


@dataclass
class Result:
    """The velocity of one spectrum.

    Attributes
    ----------
    rv : float
        Radial velocity (m/s) in the barycentric frame, relative to the
        master.
    rv_err : float
        Its 1-sigma error (m/s).
    lines : astropy.table.Table
        One row per line window.
    n_used, n_dropped : int
        Lines combined, and lines dropped (no pixels, outside the master,
        masked, non-finite data or fit).
    outlier_fraction : float
        Fitted fraction of outlying lines in the combination.
    chi2_red : float
        Reduced chi-square of the line velocities about `rv`.
    time : float or None
        Time of the spectrum (days).
    berv : float
        BERV applied (m/s).
    path : str or None
        File of the spectrum.
    err_source : str
        Where the flux errors came from (see `Spectrum.err_source`).
    """

    rv: float
    rv_err: float
    lines: object
    n_used: int
    n_dropped: int
    outlier_fraction: float
    chi2_red: float
    time: float | None = None
    berv: float = 0.0
    path: str | None = None
    err_source: str = "file"
    extra: dict = field(default_factory=dict)


def measure(spectrum, master, lines=None, **options) -> Result:
    """Measure the radial velocity of `spectrum` against `master`."""
    raise NotImplementedError
