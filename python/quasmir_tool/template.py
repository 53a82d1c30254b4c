"""Masters built from the observations themselves.

A master that matches the star to the precision the spectra need rarely
exists; the observations make one.  Each spectrum is brought to the star's
rest frame (its BERV and its own velocity), its continuum is normalised,
it is resampled with a cubic spline onto one common grid, uniform in
log wavelength and finer than a fifth of the finest pixel step, and the
contributions are co-added with a robust weighted mean per grid point.
The velocities are then measured again against the new master and the
master is rebuilt (`make_template`).

The co-addition is a reduction: each chunk of spectra gives partial sums
per grid point (`PartialSums`), and the sums of the chunks are added in a
fixed binary tree.  The chunks and the tree depend only on the number of
spectra and `chunk_size`, never on who computes them, so a serial run and
a run spread over a Dask cluster (`quasmir_tool.scaleout`) give the same
master bit for bit.

The robust mean works in passes.  Each contribution is compared with a
centre: in the first pass the reference (the previous master, or the
highest signal-to-noise observation), later the result of the previous
pass.  A contribution further than ``kappa`` of its expected deviation,
``sqrt(err**2 + err_centre**2)`` times the point's excess scatter, is left
out of that pass: cosmic rays, and telluric lines, which move in the
star's frame from night to night.  Where the reference disagrees with
most contributions (a cosmic ray in the reference itself, or a point the
reference does not cover), the next centre is the plain weighted mean.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .errors import InputError
from .lines import doppler_factor
from .reading import Spectrum, read_spectrum

__all__ = [
    "PartialSums",
    "Template",
    "add_template_command",
    "build_template",
    "common_grid",
    "make_template",
    "read_template",
    "SerialExecutor",
    "tree_reduce",
    "write_template",
]

# A source is a Spectrum in memory or the path of a file to read.
Source = Any


def rest_wavelength(wave: np.ndarray, berv: float, rv: float) -> np.ndarray:
    """Wavelengths of a spectrum in the star's rest frame.

    The BERV takes the observed wavelengths to the barycentric frame
    (``* D(berv)``), the star's velocity relative to the master takes
    them to its rest frame (``/ D(rv)``).
    """
    return wave * (doppler_factor(berv) / doppler_factor(rv))


# --------------------------------------------------------------------------
# Sources


class SerialExecutor:
    """Runs the per-spectrum and per-chunk functions in turn.

    An executor has two methods: ``map(func, items, **shared)`` returns
    ``[func(item, **shared) for item in items]`` in the order of `items`,
    and ``map_reduce(func, items, add, **shared)`` adds those values in
    the fixed binary tree of `tree_reduce`.  `quasmir_tool.scaleout`
    gives one that runs them on a Dask cluster.
    """

    def map(self, func: Callable, items: Sequence, **shared: Any) -> list:
        return [func(item, **shared) for item in items]

    def map_reduce(
        self, func: Callable, items: Sequence, add: Callable, **shared: Any
    ) -> Any:
        return tree_reduce(self.map(func, items, **shared), add)


def tree_reduce(values: Sequence, add: Callable) -> Any:
    """Add values pairwise, level by level: ``(v0 + v1) + (v2 + v3)``...

    An odd value out at a level moves up unchanged.  The tree depends
    only on the number of values, so any executor that follows it adds
    the same floating-point numbers in the same order.
    """
    values = list(values)
    if not values:
        raise ValueError("nothing to reduce")
    while len(values) > 1:
        values = [
            add(values[i], values[i + 1]) if i + 1 < len(values) else values[i]
            for i in range(0, len(values), 2)
        ]
    return values[0]


SERIAL = SerialExecutor()


def load(source: Source, read_options: dict | None = None) -> Spectrum:
    """A Spectrum as it is, or read from its path."""
    if isinstance(source, Spectrum):
        return source
    return read_spectrum(source, **(read_options or {}))


def _name(source: Source, index: int) -> str:
    if isinstance(source, Spectrum):
        return source.path or f"spectrum {index}"
    return os.fspath(source)


def _rows(a: np.ndarray) -> np.ndarray:
    return np.atleast_2d(np.asarray(a, dtype=float))


def survey(source: Source, read_options: dict | None = None) -> tuple:
    """Barycentric coverage, finest log step and signal-to-noise.

    Returns ``(lo, hi, step, snr)``: first and last barycentric
    wavelength (angstrom), the smallest ``diff(ln wave)`` of any order and
    the median ``flux / err`` of the usable pixels.
    """
    spec = load(source, read_options)
    wave = _rows(spec.wave) * doppler_factor(spec.berv)
    flux, err = _rows(spec.flux), _rows(spec.flux_err)
    with np.errstate(invalid="ignore", divide="ignore"):
        good = np.isfinite(flux) & np.isfinite(err) & (err > 0)
        snr = float(np.median(flux[good] / err[good])) if good.any() else 0.0
    step = float(np.min(np.diff(np.log(wave), axis=1)))
    return float(wave.min()), float(wave.max()), step, snr


def common_grid(
    lo: float, hi: float, step: float, oversample: float = 10.0
) -> np.ndarray:
    """A grid uniform in ln(wavelength) from `lo` to at least `hi`.

    Its step is `step` (a pixel step in ln wavelength) divided by
    `oversample`; `oversample` must exceed 5 for a master the measurement
    uses as it is.
    """
    if not oversample > 1.0:
        raise InputError(f"oversample must exceed 1, not {oversample!r}")
    h = step / oversample
    n = int(np.ceil((np.log(hi) - np.log(lo)) / h)) + 1
    return np.exp(np.log(lo) + h * np.arange(n))


# --------------------------------------------------------------------------
# One spectrum on the grid


@dataclass
class Curve:
    """A master's wavelengths (angstrom) and flux, the reference of the
    continuum normalisation."""

    wave: np.ndarray
    flux: np.ndarray


def _poly_continuum(
    x: np.ndarray,
    y: np.ndarray,
    sigma: np.ndarray,
    degree: int,
    low: float,
    high: float,
    rounds: int = 8,
) -> np.ndarray | None:
    """Weighted polynomial fit of y(x) with asymmetric clipping.

    Points more than `low` sigma below or `high` sigma above the fit are
    left out of the next round.  Returns the fitted polynomial's values at
    `x`, or None when too few points are left.
    """
    keep = np.ones(x.size, dtype=bool)
    fit = None
    for _ in range(rounds):
        if keep.sum() <= degree + 1:
            return fit
        poly = np.polynomial.Polynomial.fit(
            x[keep], y[keep], degree, w=1.0 / sigma[keep]
        )
        fit = poly(x)
        z = (y - fit) / sigma
        new = (z > -low) & (z < high)
        if np.array_equal(new, keep):
            break
        keep = new
    return fit


def upper_envelope(
    wave: np.ndarray, flux: np.ndarray, degree: int = 3, window: int = 64
) -> np.ndarray | None:
    """Continuum from a running upper percentile.

    The 95th percentile of the flux in consecutive windows of `window`
    pixels, then a polynomial of `degree` through those points, fitted
    while points more than 2 (robust) sigma below it (windows filled by
    lines) or 3 sigma above it are left out.
    """
    n = max(1, wave.size // window)
    size = wave.size // n
    # n windows of `size` pixels, the last one taking the remainder.
    x = wave[: n * size].reshape(n, size).mean(axis=1)
    y = np.percentile(flux[: n * size].reshape(n, size), 95.0, axis=1)
    if wave.size > n * size:
        x[-1] = np.mean(wave[(n - 1) * size :])
        y[-1] = np.percentile(flux[(n - 1) * size :], 95.0)
    if x.size <= degree + 1:
        degree = max(0, x.size - 2)
        if x.size < 1:
            return None
    keep = np.ones(x.size, dtype=bool)
    for _ in range(10):
        poly = np.polynomial.Polynomial.fit(x[keep], y[keep], degree)
        resid = y - poly(x)
        mad = np.median(np.abs(resid[keep] - np.median(resid[keep])))
        sigma = max(1.4826 * mad, 1e-12 * np.max(np.abs(y)))
        new = (resid > -2.0 * sigma) & (resid < 3.0 * sigma)
        if new.sum() <= degree + 1 or np.array_equal(new, keep):
            break
        keep = new
    return poly(wave)


def continuum(
    wave: np.ndarray,
    flux: np.ndarray,
    err: np.ndarray,
    reference: Curve | None = None,
    degree: int = 3,
) -> np.ndarray | None:
    """Continuum of one order (rest-frame `wave`, usable pixels only).

    Without a reference: the upper envelope (`upper_envelope`).  With a
    reference curve (`Curve`): a polynomial of `degree` fitted to
    ``flux / reference`` (weighted, clipped at 4 sigma both ways); divided
    by it, the spectrum follows the reference's normalisation, whatever
    its blaze and flux scale.
    """
    if reference is None:
        return upper_envelope(wave, flux, degree)
    grid, ref = reference.wave, reference.flux
    ref_here = np.interp(wave, grid, ref, left=np.nan, right=np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        good = np.isfinite(ref_here) & (ref_here > 0.05 * np.nanmax(ref))
    if good.sum() <= degree + 1:
        return None
    ratio = flux[good] / ref_here[good]
    sigma = err[good] / ref_here[good]
    fit = _poly_continuum(wave[good], ratio, sigma, degree, 4.0, 4.0)
    if fit is None:
        return None
    # The fitted ratio as a function of wavelength, on every pixel.
    poly = np.polynomial.Polynomial.fit(wave[good], fit, degree)
    return poly(wave)


def _runs(good: np.ndarray) -> list[tuple[int, int]]:
    """(start, stop) of the runs of True in `good`."""
    edges = np.diff(np.concatenate(([0], good.astype(np.int8), [0])))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def resample(
    spec: Spectrum,
    rv: float,
    grid: np.ndarray,
    reference: Curve | None = None,
    degree: int = 3,
    mask: np.ndarray | None = None,
) -> list[tuple[int, np.ndarray, np.ndarray]]:
    """One spectrum normalised and resampled onto the grid.

    Returns one ``(start, flux, err)`` per run of usable pixels (finite
    flux, positive finite error, outside the `mask` intervals given in
    observed wavelengths) of at least 4 pixels: the grid points
    ``grid[start:start + len(flux)]`` within the run.  The flux is a
    not-a-knot cubic spline through the normalised pixels; the error is
    the normalised error interpolated linearly.
    """
    from scipy.interpolate import make_interp_spline

    out = []
    # Arrays that came over the network may be unaligned views, which
    # scipy's spline evaluation refuses.
    grid = np.require(grid, dtype=float, requirements=["C", "A"])
    wave_obs, flux_all, err_all = (
        _rows(spec.wave),
        _rows(spec.flux),
        _rows(spec.flux_err),
    )
    factor = doppler_factor(spec.berv) / doppler_factor(rv)
    for w_obs, f, e in zip(wave_obs, flux_all, err_all):
        with np.errstate(invalid="ignore"):
            good = np.isfinite(f) & np.isfinite(e) & (e > 0)
        if mask is not None:
            for a, b in np.reshape(mask, (-1, 2)):
                good &= ~((w_obs >= a) & (w_obs <= b))
        if good.sum() < 4:
            continue
        w = w_obs * factor
        cont = continuum(w[good], f[good], e[good], reference, degree)
        if cont is None:
            continue
        norm = np.full(w.size, np.nan)
        norm[good] = cont
        with np.errstate(invalid="ignore", divide="ignore"):
            good &= np.isfinite(norm) & (norm > 0)
        for i0, i1 in _runs(good):
            if i1 - i0 < 4:
                continue
            x = w[i0:i1]
            k0 = int(np.searchsorted(grid, x[0], side="left"))
            k1 = int(np.searchsorted(grid, x[-1], side="right"))
            if k1 <= k0:
                continue
            y = f[i0:i1] / norm[i0:i1]
            s = e[i0:i1] / norm[i0:i1]
            spline = make_interp_spline(x, y, k=3)
            out.append((k0, spline(grid[k0:k1]), np.interp(grid[k0:k1], x, s)))
    return out


# --------------------------------------------------------------------------
# The reduction


_SUM_FIELDS = ("w", "wr", "wr2", "z2", "w_all", "wr_all", "wr2_all")
_COUNT_FIELDS = ("n", "n_all")


def _take_extreme(
    r: np.ndarray, w: np.ndarray, r_best: np.ndarray, w_best: np.ndarray,
    sign: float,
) -> None:
    """Keep in (r_best, w_best) the contribution with the larger
    ``sign * r`` (the larger weight on a tie), in place.

    The choice depends on the values only, not on the order in which
    contributions arrive, so any grouping of the reduction agrees.
    """
    better = (sign * r > sign * r_best) | ((r == r_best) & (w > w_best))
    r_best[better] = r[better]
    w_best[better] = w[better]


@dataclass
class PartialSums:
    """Sums per grid point over some contributions, from grid index
    `start` on.

    Residuals ``r = flux - centre`` are taken about the pass's centre,
    weights are ``w = 1 / err**2`` and ``z = r / sigma`` is the residual
    in units of its expected deviation.  The fields without ``_all`` sum
    the contributions kept by the clipping, the others all of them;
    ``r_hi, w_hi`` and ``r_lo, w_lo`` are the highest and lowest residual
    of all contributions and its weight (for the trimmed mean that
    restarts a point whose centre is off).
    """

    start: int
    w: np.ndarray
    wr: np.ndarray
    wr2: np.ndarray
    z2: np.ndarray
    n: np.ndarray
    w_all: np.ndarray
    wr_all: np.ndarray
    wr2_all: np.ndarray
    n_all: np.ndarray
    r_hi: np.ndarray
    w_hi: np.ndarray
    r_lo: np.ndarray
    w_lo: np.ndarray

    @classmethod
    def zeros(cls, start: int, size: int) -> PartialSums:
        arrays = {f: np.zeros(size) for f in _SUM_FIELDS}
        counts = {f: np.zeros(size, dtype=np.int64) for f in _COUNT_FIELDS}
        return cls(
            start, **arrays, **counts,
            r_hi=np.full(size, -np.inf), w_hi=np.zeros(size),
            r_lo=np.full(size, np.inf), w_lo=np.zeros(size),
        )

    @property
    def stop(self) -> int:
        return self.start + self.w.size

    def add(self, sl: slice, r: np.ndarray, w: np.ndarray,
            z: np.ndarray, kept: np.ndarray) -> None:
        """Add contributions at the points `sl`, in place."""
        wr = w * r
        wr2 = wr * r
        self.w_all[sl] += w
        self.wr_all[sl] += wr
        self.wr2_all[sl] += wr2
        self.n_all[sl] += 1
        self.w[sl] += np.where(kept, w, 0.0)
        self.wr[sl] += np.where(kept, wr, 0.0)
        self.wr2[sl] += np.where(kept, wr2, 0.0)
        self.z2[sl] += np.where(kept, z * z, 0.0)
        self.n[sl] += kept
        _take_extreme(r, w, self.r_hi[sl], self.w_hi[sl], 1.0)
        _take_extreme(r, w, self.r_lo[sl], self.w_lo[sl], -1.0)

    def __add__(self, other: PartialSums | None) -> PartialSums:
        if other is None or other.w.size == 0:
            return self
        if self.w.size == 0:
            return other
        start = min(self.start, other.start)
        total = PartialSums.zeros(start, max(self.stop, other.stop) - start)
        for part in (self, other):
            sl = slice(part.start - start, part.stop - start)
            for f in _SUM_FIELDS + _COUNT_FIELDS:
                getattr(total, f)[sl] += getattr(part, f)
            _take_extreme(part.r_hi, part.w_hi, total.r_hi[sl],
                          total.w_hi[sl], 1.0)
            _take_extreme(part.r_lo, part.w_lo, total.r_lo[sl],
                          total.w_lo[sl], -1.0)
        return total

    def full(self, size: int) -> PartialSums:
        """The sums on the whole grid of `size` points."""
        return PartialSums.zeros(0, size) + self

    def trimmed(self) -> tuple[np.ndarray, np.ndarray]:
        """Weighted mean residual of all contributions but the highest
        and the lowest (of all of them with fewer than 3), and its
        formal error."""
        with np.errstate(invalid="ignore", divide="ignore"):
            trim = self.n_all >= 3
            w = np.where(trim, self.w_all - self.w_hi - self.w_lo,
                         self.w_all)
            wr = np.where(
                trim,
                self.wr_all - self.w_hi * self.r_hi - self.w_lo * self.r_lo,
                self.wr_all,
            )
            ok = w > 0
            return (np.where(ok, wr / w, np.nan),
                    np.where(ok, 1.0 / np.sqrt(w), np.nan))


def add_sums(a: PartialSums, b: PartialSums) -> PartialSums:
    """``a + b``: the reduction's combining step."""
    return a + b


@dataclass
class Centre:
    """The centre of a pass on the grid: flux, its error and the excess
    scatter factor of each point (NaN flux: no centre, nothing clipped)."""

    flux: np.ndarray
    err: np.ndarray
    scale: np.ndarray


def chunk_sums(
    chunk: Sequence[tuple[Source, float]],
    grid: np.ndarray,
    centre: Centre,
    reference: Curve | None,
    kappa: float = 5.0,
    degree: int = 3,
    mask: np.ndarray | None = None,
    read_options: dict | None = None,
) -> PartialSums:
    """Partial sums of one chunk of ``(source, rv)`` pairs, in order."""
    parts: list[tuple[int, np.ndarray, np.ndarray]] = []
    for source, rv in chunk:
        spec = load(source, read_options)
        parts.extend(resample(spec, rv, grid, reference, degree, mask))
    if not parts:
        return PartialSums.zeros(0, 0)
    start = min(k for k, _, _ in parts)
    stop = max(k + f.size for k, f, _ in parts)
    sums = PartialSums.zeros(start, stop - start)
    for k0, f, e in parts:
        g = slice(k0, k0 + f.size)
        s = slice(k0 - start, k0 - start + f.size)
        c = centre.flux[g]
        known = np.isfinite(c)
        r = f - np.where(known, c, 0.0)
        w = 1.0 / (e * e)
        sigma = np.sqrt(e * e + centre.err[g] ** 2) * centre.scale[g]
        z = np.where(known, r / sigma, 0.0)
        sums.add(s, r, w, z, np.abs(z) <= kappa)
    return sums


def _next_centre(sums: PartialSums, centre: Centre) -> Centre:
    """The centre of the next pass.

    Where the centre was known and kept at least half of the
    contributions: their weighted mean, with the excess scatter of the
    kept ones.  Elsewhere (no centre yet, or a centre most contributions
    disagree with): the trimmed mean of all contributions.
    """
    known = np.isfinite(centre.flux)
    base = np.where(known, centre.flux, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        good = known & (sums.n >= 1) & (2 * sums.n >= sums.n_all)
        mean = base + sums.wr / sums.w
        err = 1.0 / np.sqrt(sums.w)
        chi2 = np.where(sums.n >= 3, sums.z2 / sums.n, 1.0)
        t_mean, t_err = sums.trimmed()
        flux = np.where(good, mean, base + t_mean)
        err = np.where(good, err, t_err)
    scale = np.where(good, np.sqrt(np.maximum(chi2, 1.0)), 1.0)
    return Centre(flux, np.nan_to_num(err), scale)


def _finish(sums: PartialSums, centre: Centre) -> tuple[np.ndarray, ...]:
    """Flux, error and count of the final pass.

    The kept contributions give the weighted mean, and the error from
    their weighted spread over sqrt(n - 1) (their own error for one).  A
    point where the clipping kept none falls back to all of them.
    """
    base = np.where(np.isfinite(centre.flux), centre.flux, 0.0)
    none_kept = sums.n == 0
    w = np.where(none_kept, sums.w_all, sums.w)
    wr = np.where(none_kept, sums.wr_all, sums.wr)
    wr2 = np.where(none_kept, sums.wr2_all, sums.wr2)
    n = np.where(none_kept, sums.n_all, sums.n)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_r = wr / w
        flux = np.where(n > 0, base + mean_r, np.nan)
        spread = np.maximum(wr2 / w - mean_r * mean_r, 0.0)
        err = np.where(
            n >= 2,
            np.sqrt(spread / (n - 1)),
            np.where(n == 1, 1.0 / np.sqrt(w), np.nan),
        )
    return flux, err, n.astype(np.int32)


# --------------------------------------------------------------------------
# Templates


@dataclass
class Template:
    """A master co-added from observations, in the star's rest frame.

    Attributes
    ----------
    wave : numpy.ndarray
        Wavelengths (angstrom), uniform in ln(wavelength).
    flux : numpy.ndarray
        Normalised flux (continuum near 1); NaN where no spectrum
        contributes.
    flux_err : numpy.ndarray
        Error of the flux: the weighted spread of the contributions over
        the square root of (count - 1); for a single contribution its
        own error; NaN for none.
    n_spectra : numpy.ndarray
        Number of contributions kept at each point (spectra; orders of an
        echelle spectrum that overlap count separately).
    rv : numpy.ndarray
        Velocity (m/s) of each spectrum the master was built with,
        relative to the master's zero point; NaN for a spectrum left out.
    berv : numpy.ndarray
        BERV (m/s) of each spectrum.
    names : list of str
        The spectra (file paths, or ``spectrum i``).
    iterations : int
        Number of builds.
    rv_history : list of numpy.ndarray
        The velocities of each build.
    failed : list of (str, str)
        Spectra left out and why.
    """

    wave: np.ndarray
    flux: np.ndarray
    flux_err: np.ndarray
    n_spectra: np.ndarray
    rv: np.ndarray = field(default_factory=lambda: np.zeros(0))
    berv: np.ndarray = field(default_factory=lambda: np.zeros(0))
    names: list = field(default_factory=list)
    iterations: int = 1
    rv_history: list = field(default_factory=list)
    failed: list = field(default_factory=list)

    def spectrum(self, covered_only: bool = True) -> Spectrum:
        """The master as a `Spectrum` (barycentric, BERV 0).

        With `covered_only`, the points from the first to the last with
        a contribution (gaps inside keep NaN flux).
        """
        wave, flux, err = self.wave, self.flux, self.flux_err
        if covered_only:
            idx = np.flatnonzero(self.n_spectra > 0)
            if idx.size:
                sl = slice(idx[0], idx[-1] + 1)
                wave, flux, err = wave[sl], flux[sl], err[sl]
        return Spectrum(
            wave=wave,
            flux=flux,
            flux_err=np.where(np.isfinite(err), err, 0.0),
            path=None,
            err_source="template",
        )


def _chunks(pairs: list, chunk_size: int) -> list[list]:
    if chunk_size < 1:
        raise InputError(f"chunk_size must be at least 1, not {chunk_size}")
    starts = range(0, len(pairs), chunk_size)
    return [pairs[i : i + chunk_size] for i in starts]


def build_template(
    spectra: Sequence[Source],
    rvs: Sequence[float] | np.ndarray,
    *,
    grid: np.ndarray | None = None,
    reference: Template | None = None,
    oversample: float = 10.0,
    degree: int = 3,
    kappa: float = 5.0,
    passes: int = 3,
    chunk_size: int = 8,
    mask: np.ndarray | None = None,
    read_options: dict | None = None,
    executor: Any = SERIAL,
) -> Template:
    """Co-add spectra in the star's rest frame into a master.

    Parameters
    ----------
    spectra : sequence of Spectrum or path
        The observations (paths are read with `read_options`).
    rvs : sequence of float
        Velocity (m/s) of each spectrum relative to the wanted master
        (barycentric; the BERV is taken from each spectrum); NaN leaves a
        spectrum out.
    grid : numpy.ndarray, optional
        Common grid (angstrom).  Default: uniform in ln(wavelength) over
        the rest-frame coverage of all spectra, with a step of the finest
        pixel step over `oversample`.
    reference : Template, optional
        Gives the continuum normalisation (each spectrum is scaled by a
        polynomial of `degree` to follow it) and the first pass's centre.
        Default: each spectrum's own upper-envelope continuum, and a
        first pass that clips nothing.
    oversample : float
        Pixels per grid point of the default grid; default 10.
    degree : int
        Polynomial degree of the continuum per order; default 3.
    kappa : float
        Clipping threshold in expected deviations; default 5.
    passes : int
        Robust passes (at least 1); default 3.
    chunk_size : int
        Spectra per partial sum; the result does not depend on where the
        chunks are computed, only on this size.
    mask : array of (start, end), optional
        Observed-frame wavelength intervals to leave out (telluric bands).
    read_options : dict, optional
        Keyword arguments of `read_spectrum` for paths.
    executor : SerialExecutor or compatible
        Where chunks are computed and their sums added (serial by
        default; see `quasmir_tool.scaleout` for Dask).

    Returns
    -------
    Template
    """
    if passes < 1:
        raise InputError(f"passes must be at least 1, not {passes}")
    if not kappa > 0:
        raise InputError(f"kappa must be positive, not {kappa!r}")
    rvs = np.asarray(rvs, dtype=float)
    if rvs.shape != (len(spectra),):
        raise InputError(
            f"{len(spectra)} spectra but {rvs.size} velocities given"
        )
    pairs = [(s, float(v)) for s, v in zip(spectra, rvs) if np.isfinite(v)]
    if not pairs:
        raise InputError("no spectrum to build a template from")
    if grid is None:
        info = executor.map(
            survey, [s for s, _ in pairs], read_options=read_options
        )
        factors = [float(doppler_factor(v)) for _, v in pairs]
        lo = min(i[0] / f for i, f in zip(info, factors))
        hi = max(i[1] / f for i, f in zip(info, factors))
        grid = common_grid(lo, hi, min(i[2] for i in info), oversample)
    grid = np.asarray(grid, dtype=float)
    ref = None
    if reference is not None:
        ref_flux = np.interp(
            grid, reference.wave, reference.flux, left=np.nan, right=np.nan
        )
        ref_err = np.interp(
            grid, reference.wave, reference.flux_err, left=np.nan,
            right=np.nan,
        )
        ref = Curve(reference.wave, reference.flux)
        centre = Centre(ref_flux, np.nan_to_num(ref_err), np.ones(grid.size))
    else:
        centre = Centre(
            np.full(grid.size, np.nan), np.zeros(grid.size),
            np.ones(grid.size),
        )
    chunks = _chunks(pairs, chunk_size)
    options = dict(
        grid=grid, reference=ref, kappa=kappa, degree=degree, mask=mask,
        read_options=read_options,
    )
    for p in range(passes):
        sums = executor.map_reduce(
            chunk_sums, chunks, add_sums, centre=centre, **options
        ).full(grid.size)
        if p + 1 < passes:
            centre = _next_centre(sums, centre)
    flux, err, n = _finish(sums, centre)
    names = [_name(s, i) for i, s in enumerate(spectra)]
    return Template(grid, flux, err, n, rv=rvs, names=names)


# --------------------------------------------------------------------------
# The iteration


def _survey_one(
    source: Source, read_options: dict | None = None
) -> tuple | str:
    """`survey` of one spectrum, or the message of why it cannot be
    read."""
    try:
        return survey(source, read_options)
    except InputError as exc:
        return str(exc)


def _measure_one(
    item: tuple[Source, float | None],
    master: Spectrum,
    lines: Any = None,
    read_options: dict | None = None,
    measure_options: dict | None = None,
) -> tuple[float, float, str | None]:
    """``(rv, berv, None)`` of one ``(source, rv_guess)``, or ``(nan,
    berv, message)`` when it cannot be measured."""
    from .measuring import measure

    source, guess = item
    options = dict(measure_options or {})
    if guess is not None:
        options["rv_guess"] = guess
    berv = np.nan
    try:
        spec = load(source, read_options)
        berv = float(spec.berv)
        result = measure(spec, master, lines, **options)
    except InputError as exc:
        return np.nan, berv, str(exc)
    except Exception as exc:  # one spectrum must not stop the archive
        first = str(exc).splitlines()[0] if str(exc) else ""
        return np.nan, berv, f"{type(exc).__name__}: {first}".rstrip(": ")
    if not np.isfinite(result.rv):
        return np.nan, berv, "no finite velocity"
    return float(result.rv), berv, None


def make_template(
    spectra: Sequence[Source],
    master: Spectrum | str | os.PathLike | None = None,
    iterations: int = 2,
    *,
    lines: Any = None,
    measure_options: dict | None = None,
    read_options: dict | None = None,
    executor: Any = SERIAL,
    progress: Callable[[str], None] | None = None,
    **build_options: Any,
) -> Template:
    """Build a master from the observations, iterating the velocities.

    The first velocities come from `master` when given, else from the
    highest signal-to-noise observation (resampled onto the common grid
    in the barycentric frame).  Each iteration co-adds the spectra at
    their current velocities (`build_template`) and, before the next one,
    measures them again against the new master.

    Parameters
    ----------
    spectra : sequence of Spectrum or path
        The observations.
    master : Spectrum or path, optional
        A master for the first velocities; their zero point then stays
        that of this master.  Without one, the zero point is the velocity
        of the highest signal-to-noise observation.
    iterations : int
        Number of builds (at least 1); default 2.
    lines : LineList, optional
        Lines for the velocity measurements (default: found in the
        master each time).
    measure_options : dict, optional
        Keyword arguments of `quasmir_tool.measure`.
    read_options : dict, optional
        Keyword arguments of `read_spectrum` for paths.
    executor : SerialExecutor or compatible
        Serial by default; `quasmir_tool.scaleout` gives a Dask one.
    progress : callable, optional
        Called with a short message at each step.
    **build_options
        Passed to `build_template` (oversample, degree, kappa, passes,
        chunk_size, mask).

    Returns
    -------
    Template
        The last master, with the velocities it was built from.

    Raises
    ------
    InputError
        Fewer than one usable spectrum, bad options.
    """
    spectra = list(spectra)
    if not spectra:
        raise InputError("no spectra given")
    if iterations < 1:
        raise InputError(f"iterations must be at least 1, not {iterations}")
    say = progress or (lambda message: None)
    all_names = [_name(s, i) for i, s in enumerate(spectra)]
    surveyed = executor.map(_survey_one, spectra, read_options=read_options)
    unreadable = {
        all_names[i]: r for i, r in enumerate(surveyed) if isinstance(r, str)
    }
    keep = [i for i, r in enumerate(surveyed) if not isinstance(r, str)]
    if not keep:
        name, why = next(iter(unreadable.items()))
        raise InputError(f"no spectrum could be read ({name}: {why})")
    spectra = [spectra[i] for i in keep]
    names = [all_names[i] for i in keep]
    info = [surveyed[i] for i in keep]
    lo = min(i[0] for i in info)
    hi = max(i[1] for i in info)
    oversample = build_options.pop("oversample", 10.0)
    grid = common_grid(lo, hi, min(i[2] for i in info), oversample)
    ref_index = int(np.argmax([i[3] for i in info]))
    say(f"reference: {names[ref_index]} (S/N {info[ref_index][3]:.0f})")
    reference = build_template(
        [spectra[ref_index]], [0.0], grid=grid, passes=1,
        read_options=read_options, executor=executor,
        **{k: v for k, v in build_options.items() if k in ("degree", "mask")},
    )
    if master is None:
        first = reference.spectrum()
    elif isinstance(master, Spectrum):
        first = master
    else:
        first = read_spectrum(master, need_errors=False)
    history = []
    failed: dict[str, str] = {}
    rvs = bervs = np.zeros(0)
    current = first
    template = reference
    # The first velocities come from the scan; later ones start from the
    # previous velocity, which the new master was built to match.
    guesses: list[float | None] = [None] * len(spectra)
    for it in range(iterations):
        say(f"iteration {it + 1}: measuring {len(spectra)} spectra")
        measured = executor.map(
            _measure_one, list(zip(spectra, guesses)), master=current,
            lines=lines, read_options=read_options,
            measure_options=measure_options,
        )
        rvs = np.array([m[0] for m in measured])
        bervs = np.array([m[1] for m in measured])
        failed = {n: m[2] for n, m in zip(names, measured) if m[2]}
        if not np.isfinite(rvs).any():
            first_failure = next(iter(failed.items()))
            raise InputError(
                "no spectrum could be measured for the template "
                f"({first_failure[0]}: {first_failure[1]})"
            )
        history.append(rvs)
        guesses = [float(v) if np.isfinite(v) else None for v in rvs]
        say(f"iteration {it + 1}: co-adding {np.isfinite(rvs).sum()} spectra")
        template = build_template(
            spectra, rvs, grid=grid, reference=template,
            read_options=read_options, executor=executor, **build_options,
        )
        current = template.spectrum()
    # Back to the spectra as given, unreadable ones included (NaN).
    def full(values: np.ndarray) -> np.ndarray:
        out = np.full(len(all_names), np.nan)
        out[keep] = values
        return out

    template.rv = full(rvs)
    template.berv = full(bervs)
    template.names = all_names
    template.iterations = iterations
    template.rv_history = [full(h) for h in history]
    failed.update(unreadable)
    template.failed = [(n, failed[n]) for n in all_names if n in failed]
    return template


# --------------------------------------------------------------------------
# Files


def write_template(
    template: Template, path: str | os.PathLike, overwrite: bool = True
) -> None:
    """Write the master as a FITS binary table.

    Columns ``wavelength`` (angstrom), ``flux``, ``error`` and
    ``n_spectra``; the points before the first and after the last
    contribution are left out.  `quasmir_tool.read_spectrum` reads it as a
    master.  The header holds the number of spectra and iterations; a
    second table ``VELOCITIES`` lists each spectrum's velocity and BERV.
    """
    from astropy.io import fits
    from astropy.table import Table

    idx = np.flatnonzero(template.n_spectra > 0)
    if not idx.size:
        raise InputError("the template has no point with a contribution")
    sl = slice(idx[0], idx[-1] + 1)
    table = Table(
        [
            template.wave[sl],
            template.flux[sl],
            template.flux_err[sl],
            template.n_spectra[sl].astype(np.int32),
        ],
        names=("wavelength", "flux", "error", "n_spectra"),
    )
    table["wavelength"].unit = "Angstrom"
    hdu = fits.table_to_hdu(table)
    hdu.name = "TEMPLATE"
    hdu.header["NSPECTRA"] = (
        int(np.isfinite(template.rv).sum()) if template.rv.size else 0,
        "spectra co-added",
    )
    hdu.header["ITERS"] = (template.iterations, "template builds")
    hdus = [fits.PrimaryHDU(), hdu]
    if template.rv.size:
        n = template.rv.size
        berv = template.berv if template.berv.size == n else np.zeros(n)
        names = template.names if len(template.names) == n else [""] * n
        vel = Table(
            [np.asarray(names, dtype=str), template.rv, berv],
            names=("file", "rv", "berv"),
        )
        vel["rv"].unit = vel["berv"].unit = "m/s"
        vhdu = fits.table_to_hdu(vel)
        vhdu.name = "VELOCITIES"
        hdus.append(vhdu)
    fits.HDUList(hdus).writeto(os.fspath(path), overwrite=overwrite)


def read_template(path: str | os.PathLike) -> Template:
    """Read a master written by `write_template`."""
    from astropy.io import fits

    with fits.open(os.fspath(path), memmap=False) as hdus:
        data = hdus["TEMPLATE"].data
        template = Template(
            np.array(data["wavelength"], dtype=float),
            np.array(data["flux"], dtype=float),
            np.array(data["error"], dtype=float),
            np.array(data["n_spectra"], dtype=np.int32),
            iterations=int(hdus["TEMPLATE"].header.get("ITERS", 1)),
        )
        if "VELOCITIES" in hdus:
            vel = hdus["VELOCITIES"].data
            template.rv = np.array(vel["rv"], dtype=float)
            template.berv = np.array(vel["berv"], dtype=float)
            template.names = [str(s) for s in vel["file"]]
    return template


# --------------------------------------------------------------------------
# The command


def add_template_command(subparsers: Any) -> argparse.ArgumentParser:
    """Add ``quasmir template`` to an argparse subparsers object.

    The parser's ``func`` default is `template_main`.
    """
    p = subparsers.add_parser(
        "template",
        help="build a master from the observations",
        description=(
            "Co-add the spectra in the star's rest frame into a master "
            "(FITS table: wavelength, flux, error, n_spectra), measuring "
            "their velocities again against each new master."
        ),
    )
    p.add_argument("spectra", nargs="+", metavar="SPECTRUM")
    p.add_argument("-o", "--output", required=True, metavar="FILE",
                   help="the master's FITS file")
    p.add_argument("--master", metavar="FILE",
                   help="master for the first velocities (default: the "
                   "highest signal-to-noise observation)")
    p.add_argument("--iterations", type=int, default=2, metavar="N",
                   help="template builds (default 2)")
    p.add_argument("--lines", metavar="FILE",
                   help="line list for the velocities (default: found "
                   "in each master)")
    p.add_argument("--mask", metavar="FILE",
                   help="observed-frame wavelength intervals (start, end) "
                   "to leave out of the velocities and the co-addition")
    p.add_argument("--estimator", choices=("first", "offset", "second"),
                   default="first", help="Taylor fit of the velocities")
    p.add_argument("--oversample", type=float, default=10.0, metavar="X",
                   help="grid points per pixel (default 10)")
    p.add_argument("--degree", type=int, default=3, metavar="N",
                   help="continuum polynomial degree per order (default 3)")
    p.add_argument("--kappa", type=float, default=5.0, metavar="SIGMA",
                   help="outlier threshold of the co-addition (default 5)")
    p.add_argument("--chunk-size", type=int, default=8, metavar="N",
                   help="spectra per partial sum (default 8)")
    p.add_argument("--time-key", metavar="KEY")
    p.add_argument("--berv-key", metavar="KEY",
                   help="header key of the BERV (default: BERV 0)")
    p.add_argument("--berv-unit", default="km/s", metavar="UNIT")
    p.add_argument("--snr", type=float, metavar="S/N",
                   help="errors from this S/N for files without errors")
    p.add_argument("--photon-noise", action="store_true",
                   help="photon-noise errors for files without errors")
    p.add_argument("--wave-file", metavar="FILE",
                   help="wavelength image of echelle spectra")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="run on a running Dask scheduler (tcp://host:8786 "
                   "or its scheduler file)")
    p.add_argument("--workers", type=int, default=None, metavar="N",
                   help="run on a local Dask cluster of N processes")
    p.add_argument("--quiet", action="store_true",
                   help="no progress messages")
    p.add_argument("--debug", action="store_true",
                   default=argparse.SUPPRESS,
                   help="show tracebacks of errors")
    p.set_defaults(func=template_main)
    return p


def template_main(args: argparse.Namespace) -> int:
    """Run ``quasmir template`` with parsed `args`; returns the exit
    status: 0, or 1 when some spectrum was left out (the master is
    written from the others)."""
    import sys

    def say(message: str) -> None:
        print(f"quasmir: {message}", file=sys.stderr, flush=True)

    from .cli import read_options_of

    read_options = read_options_of(args)
    lines = None
    if args.lines is not None:
        from .lines import read_lines

        lines = read_lines(args.lines)
    mask = None
    measure_options: dict[str, Any] = {"estimator": args.estimator}
    if args.mask is not None:
        from .lines import read_mask

        mask = read_mask(args.mask)
        measure_options["mask"] = mask
    master = None
    if args.master is not None:
        try:
            master = read_spectrum(args.master, need_errors=False)
        except InputError as exc:
            raise InputError(f"--master: {exc}") from None
    if os.path.realpath(args.output) in {
        os.path.realpath(p) for p in list(args.spectra) + [args.master]
        if p is not None
    }:
        raise InputError(f"-o {args.output}: is one of the input files")
    options = dict(
        master=master, iterations=args.iterations, lines=lines,
        read_options=read_options, measure_options=measure_options,
        oversample=args.oversample, degree=args.degree, kappa=args.kappa,
        chunk_size=args.chunk_size, mask=mask,
        progress=None if args.quiet else say,
    )
    paths = list(dict.fromkeys(args.spectra))
    if args.scheduler is not None or args.workers is not None:
        from .scaleout import template_many

        template = template_many(
            paths, scheduler=args.scheduler, n_workers=args.workers,
            **options,
        )
    else:
        template = make_template(paths, **options)
    write_template(template, args.output)
    for name, why in template.failed:
        say(f"{name}: left out ({why})")
    used = int(np.isfinite(template.rv).sum())
    if not args.quiet or template.failed:
        say(
            f"wrote {args.output}: master from {used} of {len(paths)} "
            f"spectra, {template.iterations} iteration(s)"
        )
    # Written, but say so in the status when a spectrum was left out.
    return 1 if template.failed else 0
