"""Spectrum readers: text/CSV, npz, FITS tables, FITS 1-D images with a
linear or log-linear wavelength solution, and 2-D echelle images."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass
class Spectrum:
    """One observed (or master) spectrum.

    Attributes
    ----------
    wave : numpy.ndarray
        Wavelengths (angstrom), ascending; shape (n_pix,) or, for an
        echelle spectrum, (n_orders, n_pix), each order ascending.
    flux : numpy.ndarray
        Flux, same shape as `wave`.
    flux_err : numpy.ndarray
        1-sigma flux uncertainty, same shape as `wave`.
    time : float or None
        Time of the observation (days: BJD or MJD as read, see `time_key`).
    berv : float
        Barycentric Earth radial velocity correction (m/s); 0.0 when not
        known.
    path : str or None
        The file the spectrum came from.
    err_source : str
        Where `flux_err` came from: ``"file"``, ``"snr"`` (a given
        signal-to-noise) or ``"photon"`` (photon noise from the flux).
    time_key : str or None
        The header key the time was read from.
    """

    wave: np.ndarray
    flux: np.ndarray
    flux_err: np.ndarray
    time: float | None = None
    berv: float = 0.0
    path: str | None = None
    err_source: str = "file"
    time_key: str | None = None

    @property
    def n_orders(self) -> int:
        """Number of orders: 1 for a one-dimensional spectrum."""
        return 1 if np.ndim(self.wave) == 1 else int(np.shape(self.wave)[0])


def read_spectrum(path, **options) -> Spectrum:
    """Read a spectrum file (see the module docstring for formats)."""
    raise NotImplementedError
