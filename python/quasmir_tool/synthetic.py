"""A synthetic star and its observations, for the example and the tests.

`make_star` builds a finely sampled master from about two thousand
Gaussian absorption lines (``linestack.coadd_loc_gauss_prof``) of varied
depth and width at a resolving power near 100,000; `observe` turns it into
an observation on its own pixel grid (about 3 pixels per resolution
element, not aligned with the master's), Doppler-shifted by the star's
velocity and the BERV with the core's relativistic factor, with photon
noise; `photon_noise_limit` gives the precision that photon noise allows
(Bouchy et al. 2001).

Wavelengths are in angstrom, velocities in m/s.

Examples
--------
>>> import numpy as np
>>> from quasmir_tool.synthetic import make_star, observe
>>> master, lines = make_star(seed=1)
>>> obs = observe(master, rv=10.0, berv=-12000.0, snr=100.0,
...               rng=np.random.default_rng(2), time=60000.0)
"""

from __future__ import annotations

import numpy as np

import linestack

from .lines import C_LIGHT, LineList, doppler_factor, make_line_list
from .reading import Spectrum

#: Lines per angstrom of the synthetic star (2000 over 300 angstrom).
LINE_DENSITY = 2000.0 / 300.0


def star_flux(lines: LineList, wave: np.ndarray) -> np.ndarray:
    """Noiseless flux of a synthetic star at rest.

    The continuum is 1 and every line multiplies it by
    ``1 - depth * exp(-u**2)``, ``u = (x - centre) 2 sqrt(ln 2) / fwhm``,
    evaluated by `linestack` in blocks of neighbouring lines, each over
    the grid within 6 FWHM of them (beyond, a line is below 1e-40).

    Parameters
    ----------
    lines : LineList
        With `depth` and `fwhm` (angstrom) set.
    wave : numpy.ndarray
        Ascending wavelengths (angstrom).

    Returns
    -------
    numpy.ndarray
        Flux, same shape as `wave`.
    """
    wave = np.ascontiguousarray(wave, dtype=float)
    flux = np.ones_like(wave)
    centre, depth, fwhm = lines.centre, lines.depth, lines.fwhm
    block = 32
    for k in range(0, centre.size, block):
        c, d, w = centre[k:k + block], depth[k:k + block], fwhm[k:k + block]
        reach = 6.0 * float(np.max(w))
        a, b = np.searchsorted(wave, [c[0] - reach, c[-1] + reach])
        if b <= a:
            continue
        rows = linestack.coadd_loc_gauss_prof(
            np.ascontiguousarray(c), np.ascontiguousarray(d),
            np.ascontiguousarray(w), wave[a:b], np.ones(c.size))
        flux[a:b] *= np.prod(rows, axis=0)
    return flux


def log_grid(lo: float, hi: float, step: float,
             phase: float = 0.0) -> np.ndarray:
    """Log-uniform wavelength grid (constant velocity step).

    Parameters
    ----------
    lo, hi : float
        Range (angstrom).
    step : float
        Relative step d(lambda)/lambda (velocity step / c).
    phase : float
        Offset of the first point, a fraction of a step in [0, 1).

    Returns
    -------
    numpy.ndarray
        ``lo * exp(step * (phase + k))`` up to `hi`.
    """
    n = int(np.floor(np.log(hi / lo) / step - phase)) + 1
    return lo * np.exp(step * (phase + np.arange(n)))


def make_star(seed: int = 0, *, wave_range: tuple = (5000.0, 5300.0),
              resolving_power: float = 100000.0,
              n_lines: int | None = None, sampling: float = 30.0,
              ) -> tuple[Spectrum, LineList]:
    """Make a synthetic star: a finely sampled master and its lines.

    Line depths are log-uniform between 0.02 and 0.8 of the continuum
    (many weak lines, a few deep ones); each line's FWHM combines the
    instrument's ``c / resolving_power`` with an intrinsic width drawn
    uniformly between 1.5 and 5 km/s, in quadrature (3.3 to 5.8 km/s at
    R = 100,000).

    Parameters
    ----------
    seed : int
        Seed of the random line list.
    wave_range : (float, float)
        Wavelength range (angstrom) of the master.
    resolving_power : float
        lambda / FWHM of the instrument.
    n_lines : int, optional
        Number of lines; default 2000 per 300 angstrom.
    sampling : float
        Master points per resolution element (default 30: a tenth of the
        pixel step of `observe`).

    Returns
    -------
    master : Spectrum
        Log-uniform grid, noiseless flux (continuum 1), zero errors.
    lines : LineList
        Centres, intervals (centre +- FWHM), weights (the depths), depths
        and FWHMs (angstrom).
    """
    lo, hi = float(wave_range[0]), float(wave_range[1])
    rng = np.random.default_rng(seed)
    if n_lines is None:
        n_lines = int(round(LINE_DENSITY * (hi - lo)))
    centre = np.sort(rng.uniform(lo + 0.5, hi - 0.5, n_lines))
    depth = 10.0 ** rng.uniform(np.log10(0.02), np.log10(0.8), n_lines)
    intrinsic = rng.uniform(1500.0, 5000.0, n_lines)
    fwhm_v = np.hypot(C_LIGHT / resolving_power, intrinsic)
    fwhm = centre * fwhm_v / C_LIGHT
    lines = make_line_list(centre, centre - fwhm, centre + fwhm, depth,
                           func="make_star", where="the star")
    lines.depth, lines.fwhm = depth, fwhm
    wave = log_grid(lo, hi, 1.0 / (resolving_power * sampling))
    flux = star_flux(lines, wave)
    master = Spectrum(wave=wave, flux=flux, flux_err=np.zeros_like(wave))
    return master, lines


def _spline(master, lo: float, hi: float):
    """Cubic spline of a master (Spectrum or (wave, flux)) over a range."""
    from scipy.interpolate import CubicSpline

    if isinstance(master, Spectrum):
        wave, flux = master.wave, master.flux
    else:
        wave, flux = master[0], master[1]
    wave = np.asarray(wave, dtype=float)
    flux = np.asarray(flux, dtype=float)
    a = max(int(np.searchsorted(wave, lo)) - 8, 0)
    b = min(int(np.searchsorted(wave, hi)) + 8, wave.size)
    return CubicSpline(wave[a:b], flux[a:b])


def observe(master: Spectrum, rv: float, berv: float, snr: float,
            rng: np.random.Generator, time: float | None = None, *,
            resolving_power: float = 100000.0,
            pixels_per_resolution: float = 3.0,
            edge: float = 2.0) -> Spectrum:
    """Observe a master star moving at `rv` from an observer with `berv`.

    The pixel grid is log-uniform with ``pixels_per_resolution`` pixels
    per resolution element and a random phase, so it is not aligned with
    the master's grid.  A pixel at observed wavelength ``x`` sees the
    master at ``x * D(berv) / D(rv)`` (D the relativistic Doppler factor,
    as in the core): the BERV takes it to the barycentric frame, the
    star's velocity to the star's.  The noiseless flux is a cubic spline
    of the (finely sampled) master; the noise is Gaussian photon noise,
    ``flux_err = sqrt(model) / snr``.

    Parameters
    ----------
    master : Spectrum
        Finely sampled master (see `make_star`).
    rv : float
        The star's barycentric velocity (m/s).
    berv : float
        Barycentric correction (m/s), stored in the result.
    snr : float
        Signal-to-noise ratio per pixel in the continuum.
    rng : numpy.random.Generator
        Source of the noise and of the grid's phase.
    time : float, optional
        Time of the observation (days), stored in the result.
    resolving_power : float
        Sets the pixel step, ``1 / (resolving_power *
        pixels_per_resolution)`` in d(lambda)/lambda.
    pixels_per_resolution : float
        Pixels per resolution element.
    edge : float
        The grid starts and ends this far (angstrom) inside the master,
        so that the master covers every pixel at any realistic velocity.

    Returns
    -------
    Spectrum
        Observed-frame wavelengths (angstrom), noisy flux, its errors,
        `time` and `berv`; ``err_source="file"``.
    """
    wave_m = master.wave
    lo, hi = float(wave_m[0]) + edge, float(wave_m[-1]) - edge
    step = 1.0 / (resolving_power * pixels_per_resolution)
    wave = log_grid(lo, hi, step, phase=float(rng.uniform()))
    model = model_at(master, wave, rv, berv)
    err = np.sqrt(np.maximum(model, 0.0)) / snr
    flux = model + rng.standard_normal(wave.size) * err
    return Spectrum(wave=wave, flux=flux, flux_err=err, time=time,
                    berv=float(berv))


def model_at(master, wave: np.ndarray, rv: float, berv: float = 0.0,
             derivative: bool = False) -> np.ndarray:
    """Noiseless model (or its slope) at observed wavelengths.

    Parameters
    ----------
    master : Spectrum or (wave, flux)
        Finely sampled master (angstrom).
    wave : numpy.ndarray
        Observed wavelengths (angstrom), ascending.
    rv, berv : float
        The star's velocity and the BERV (m/s).
    derivative : bool
        Return d(model)/d(lambda) (per angstrom) instead of the model.

    Returns
    -------
    numpy.ndarray
        Same shape as `wave`.
    """
    k = doppler_factor(berv) / doppler_factor(rv)
    x = np.asarray(wave, dtype=float) * k
    spline = _spline(master, float(np.min(x)), float(np.max(x)))
    if derivative:
        return spline(x, 1) * k
    return spline(x)


def photon_noise_limit(spectrum, master, rv: float,
                       berv: float | None = None) -> float:
    """Photon-noise limit of a spectrum's velocity (Bouchy et al. 2001).

    ``c / sqrt(sum(lambda**2 * slope**2 / variance))`` over all pixels,
    with ``slope`` the derivative of the NOISELESS model at the pixels
    (the cubic-spline derivative of the fine master, moved to the pixel
    by the Doppler factors), not a difference between neighbouring pixels,
    which at 3 pixels per resolution element understates the slope.

    Parameters
    ----------
    spectrum : Spectrum or (wave, flux_err)
        Observed wavelengths (angstrom) and 1-sigma flux errors; 1-D or
        orders x pixels.  Pixels with a non-finite or non-positive error
        carry no information.
    master : Spectrum or (wave, flux)
        The finely sampled master (angstrom).
    rv : float
        The star's true barycentric velocity (m/s).
    berv : float, optional
        BERV (m/s); default ``spectrum.berv`` (0 for arrays).

    Returns
    -------
    float
        The limit (m/s).
    """
    if isinstance(spectrum, Spectrum):
        wave, err = spectrum.wave, spectrum.flux_err
        berv = spectrum.berv if berv is None else berv
    else:
        wave, err = spectrum[0], spectrum[1]
        berv = 0.0 if berv is None else berv
    total = 0.0
    for w, e in zip(np.atleast_2d(wave), np.atleast_2d(err)):
        slope = model_at(master, w, rv, berv, derivative=True)
        good = np.isfinite(e) & (e > 0.0)
        q = w[good] * slope[good] / e[good]
        total += float(np.sum(q * q))
    return C_LIGHT / np.sqrt(total)
