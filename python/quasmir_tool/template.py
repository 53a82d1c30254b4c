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
from .continuum import smooth_fit, upper_envelope
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
        # The tree of `tree_reduce`, added as the values come: a stack of
        # partial sums, one per level, so that at most log2(n) are held.
        stack: list[tuple[int, Any]] = []
        for item in items:
            level, value = 0, func(item, **shared)
            while stack and stack[-1][0] == level:
                value = add(stack.pop()[1], value)
                level += 1
            stack.append((level, value))
        if not stack:
            raise ValueError("nothing to reduce")
        value = stack.pop()[1]
        while stack:
            value = add(stack.pop()[1], value)
        return value


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


def to_barycentric(spec: Spectrum) -> float:
    """The factor that takes a spectrum's wavelengths to the barycentre:
    ``D(berv)`` in the observer's frame, 1 when already barycentric."""
    if spec.frame == "barycentric":
        return 1.0
    return float(doppler_factor(spec.berv))


def to_observed(spec: Spectrum) -> float:
    """The factor that takes a spectrum's wavelengths to the observer's
    frame (where the telluric lines are): 1, or ``1 / D(berv)`` when
    barycentric."""
    if spec.frame == "barycentric":
        return float(1.0 / doppler_factor(spec.berv))
    return 1.0


def _in(intervals: np.ndarray, wave: np.ndarray) -> np.ndarray:
    """True where `wave` lies in one of the sorted, disjoint
    `intervals`."""
    if intervals.shape[0] == 0:
        return np.zeros(wave.shape, dtype=bool)
    k = np.searchsorted(intervals[:, 0], wave, side="right") - 1
    inside = np.zeros(wave.shape, dtype=bool)
    ok = k >= 0
    inside[ok] = wave[ok] <= intervals[k[ok], 1]
    return inside


def _telluric_intervals(
    spec: Spectrum, tellurics: Any, depth: float
) -> np.ndarray:
    """Observer-frame telluric intervals to leave out of `spec`."""
    if tellurics is False or tellurics is None:
        return np.empty((0, 2))
    if isinstance(tellurics, str):
        if tellurics != "auto":
            raise InputError(
                "tellurics must be True, False, 'auto' or an (n, 2) "
                f"array, not {tellurics!r}"
            )
        if not spec.ground_based:
            return np.empty((0, 2))
        tellurics = True
    if tellurics is True:
        from .tellurics import telluric_intervals

        medium = spec.medium if spec.medium in ("air", "vacuum") else (
            "unknown")
        return np.asarray(telluric_intervals(depth, medium), dtype=float)
    return _sorted_intervals(np.reshape(np.asarray(tellurics, float),
                                        (-1, 2)))


def _sorted_intervals(intervals: np.ndarray) -> np.ndarray:
    """Intervals sorted and merged where they overlap."""
    if intervals.shape[0] == 0:
        return np.empty((0, 2))
    iv = intervals[np.argsort(intervals[:, 0])]
    out = [list(iv[0])]
    for a, b in iv[1:]:
        if a <= out[-1][1]:
            out[-1][1] = max(out[-1][1], b)
        else:
            out.append([a, b])
    return np.asarray(out, dtype=float)


def usable_pixels(
    spec: Spectrum,
    mask: np.ndarray | None = None,
    tellurics: Any = "auto",
    telluric_depth: float = 0.02,
) -> np.ndarray:
    """Pixels of `spec` (2-D, orders x pixels) that are data: finite flux,
    a finite positive error, not flagged by the reader (`Spectrum.bad`),
    and, in the observer's frame, outside `mask` and the telluric
    intervals (`quasmir_tool.tellurics`; "auto" for a ground-based
    spectrum)."""
    wave, flux, err = _rows(spec.wave), _rows(spec.flux), _rows(spec.flux_err)
    with np.errstate(invalid="ignore"):
        good = np.isfinite(flux) & np.isfinite(err) & (err > 0)
    if spec.bad is not None:
        good &= ~np.atleast_2d(np.asarray(spec.bad, dtype=bool))
    observed = wave * to_observed(spec)
    skip = _telluric_intervals(spec, tellurics, telluric_depth)
    if mask is not None:
        skip = _sorted_intervals(np.concatenate(
            [skip, np.reshape(np.asarray(mask, float), (-1, 2))]))
    if skip.shape[0]:
        good &= ~_in(skip, observed)
    return good


def _in_medium(spec: Spectrum, medium: str | None) -> np.ndarray:
    """The spectrum's wavelengths (2-D) in `medium` (as they are when
    either medium is unknown)."""
    wave = _rows(spec.wave)
    if medium in ("air", "vacuum") and spec.medium in ("air", "vacuum") \
            and medium != spec.medium:
        from .media import convert_medium

        return convert_medium(wave, spec.medium, medium)
    return wave


def survey(
    source: Source, read_options: dict | None = None,
    tellurics: Any = "auto", telluric_depth: float = 0.02,
) -> tuple:
    """Barycentric coverage, finest log step, signal-to-noise and medium.

    Returns ``(lo, hi, step, snr, medium)``: first and last barycentric
    wavelength (angstrom) of the usable pixels (`usable_pixels`), the
    smallest ``diff(ln wave)`` of any order, the median ``flux / err`` of
    the usable pixels and the medium of the wavelengths.
    """
    spec = load(source, read_options)
    good = usable_pixels(spec, None, tellurics, telluric_depth)
    if not good.any():
        raise InputError(f"{_name(source, 0)}: no usable pixel")
    wave = _rows(spec.wave) * to_barycentric(spec)
    flux, err = _rows(spec.flux), _rows(spec.flux_err)
    snr = float(np.median(flux[good] / err[good]))
    step = float(np.min(np.diff(np.log(wave), axis=1)))
    return (float(wave[good].min()), float(wave[good].max()), step, snr,
            spec.medium)


def header_exact(value: float) -> float:
    """`value` rounded to the fewest significant digits (12 or more) that
    a FITS header card gives back bit for bit."""
    from astropy.io import fits

    for digits in range(12, 18):
        candidate = float(f"{value:.{digits}g}")
        card = fits.Card.fromstring(str(fits.Card("X", candidate)))
        if card.value == candidate:
            return candidate
    return float(value)


def common_grid(
    lo: float, hi: float, step: float, oversample: float = 3.0
) -> np.ndarray:
    """A grid uniform in ln(wavelength) from `lo` to at least `hi`.

    Its step is `step` (a pixel step in ln wavelength) divided by
    `oversample`.  The points are ``exp(origin + h * i)`` with `origin`
    and `h` that a FITS header holds exactly, so a master written with
    them (`write_template`) reads back bit for bit.
    """
    if not oversample > 1.0:
        raise InputError(f"oversample must exceed 1, not {oversample!r}")
    h = header_exact(step / oversample)
    origin = header_exact(np.log(lo) - h)
    n = int(np.ceil((np.log(hi) - origin) / h)) + 1
    return np.exp(origin + h * np.arange(n))


def _log_grid(wave: np.ndarray) -> tuple[float, float] | None:
    """``(origin, h)`` with ``wave == exp(origin + h * arange)`` bit for
    bit (the grids of `common_grid`), or None for another grid."""
    if wave.size < 2:
        return None
    lw0, lw1 = float(np.log(wave[0])), float(np.log(wave[-1]))
    step = (lw1 - lw0) / (wave.size - 1)
    for digits in range(12, 18):
        origin = float(f"{lw0:.{digits}g}")
        h = float(f"{step:.{digits}g}")
        if np.array_equal(np.exp(origin + h * np.arange(wave.size)), wave):
            return origin, h
    return None


# --------------------------------------------------------------------------
# One spectrum on the grid


@dataclass
class Curve:
    """A master's wavelengths (angstrom) and flux, the reference of the
    continuum normalisation."""

    wave: np.ndarray
    flux: np.ndarray


def continuum(
    wave: np.ndarray,
    flux: np.ndarray,
    err: np.ndarray,
    reference: Curve | None = None,
    degree: int = 3,
    at: np.ndarray | None = None,
) -> np.ndarray | None:
    """Continuum of one order or merged spectrum (rest-frame `wave`,
    usable pixels only), at `wave` or at `at`.

    Without a reference: the upper envelope (`upper_envelope`).  With a
    reference curve (`Curve`): a smooth curve (`smooth_fit`: splines with
    a knot every `KNOT_STEP` in ln wavelength, a polynomial of `degree` on
    a shorter piece) fitted to ``flux / reference``, weighted, clipped at
    4 sigma both ways; divided by it, the spectrum follows the
    reference's normalisation, whatever its blaze and flux scale.  NaN
    where no piece of the spectrum is near.
    """
    if wave.size < 4:
        return None
    if reference is None:
        return upper_envelope(wave, flux, at=at)
    grid, ref = reference.wave, reference.flux
    ref_here = np.interp(wave, grid, ref, left=np.nan, right=np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        good = np.isfinite(ref_here) & (ref_here > 0.05 * np.nanmax(ref))
    if np.count_nonzero(good) <= degree + 1:
        return None
    ratio = flux[good] / ref_here[good]
    sigma = err[good] / ref_here[good]
    where = np.log(wave if at is None else at)
    fit = smooth_fit(
        np.log(wave[good]), ratio, 1.0 / sigma, where, degree=degree,
    )
    return fit if np.isfinite(fit).any() else None


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
    *,
    medium: str | None = None,
    tellurics: Any = "auto",
    telluric_depth: float = 0.02,
) -> list[tuple[int, np.ndarray, np.ndarray]]:
    """One spectrum normalised and resampled onto the grid.

    Returns one ``(start, flux, err)`` per order with usable pixels
    (`usable_pixels`: data, outside `mask` and the telluric intervals,
    both in the observer's frame): the grid points
    ``grid[start:start + len(flux)]`` from its first to its last run of
    at least 4 such pixels, NaN between the runs.  The wavelengths are
    converted to `medium` first (when both are known).  Within a run the
    flux is a not-a-knot cubic spline through the normalised pixels and
    the error the normalised error interpolated linearly.
    """
    from scipy.interpolate import make_interp_spline

    out = []
    # Arrays that came over the network may be unaligned views, which
    # scipy's spline evaluation refuses.
    grid = np.require(grid, dtype=float, requirements=["C", "A"])
    usable = usable_pixels(spec, mask, tellurics, telluric_depth)
    wave_all = _in_medium(spec, medium)
    flux_all, err_all = _rows(spec.flux), _rows(spec.flux_err)
    factor = to_barycentric(spec) / doppler_factor(rv)
    for w_in, f, e, good in zip(wave_all, flux_all, err_all, usable):
        if np.count_nonzero(good) < 4:
            continue
        w = w_in * factor
        cont = continuum(w[good], f[good], e[good], reference, degree)
        if cont is None:
            continue
        norm = np.full(w.size, np.nan)
        norm[good] = cont
        with np.errstate(invalid="ignore", divide="ignore"):
            good = good & np.isfinite(norm) & (norm > 0)
        runs = []
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
            runs.append((k0, spline(grid[k0:k1]),
                         np.interp(grid[k0:k1], x, s)))
        if runs:
            # One stretch per order, NaN between its runs (their grid
            # points never overlap: a bad pixel separates them).  Float32
            # halves what a run keeps between passes; its 7 digits are
            # far finer than any spectrum's noise.
            k_lo = runs[0][0]
            k_hi = runs[-1][0] + runs[-1][1].size
            flux_grid = np.full(k_hi - k_lo, np.nan, dtype=np.float32)
            err_grid = np.full(k_hi - k_lo, np.nan, dtype=np.float32)
            for k0, y, s in runs:
                flux_grid[k0 - k_lo:k0 - k_lo + y.size] = y
                err_grid[k0 - k_lo:k0 - k_lo + y.size] = s
            out.append((k_lo, flux_grid, err_grid))
    return out


def merge_orders(spectrum: Spectrum) -> Spectrum:
    """An echelle spectrum (orders x pixels) as one 1-D spectrum.

    The orders are co-added as a template of one spectrum is
    (`build_template` at velocity 0, one pass, no clipping, no telluric
    mask): taken to the barycentre, each divided by its own continuum
    (`upper_envelope` of its usable pixels, which also takes out what is
    left of the blaze), resampled by a cubic spline onto one grid uniform
    in ln wavelength at a third of the finest pixel step, and averaged
    with their weights where they overlap.  Every line of the result is
    then the same mean of the orders (and slices) that hold it, as in
    the pipelines' own 1-D spectra, rather than a copy of whichever
    order happens to be cut there.  Pixels that are not data
    (`usable_pixels`) stay out; points no order covers are NaN.  A 1-D
    spectrum is returned as it is.

    Returns
    -------
    Spectrum
        1-D, ``frame="barycentric"`` (its `berv` kept to place the
        telluric lines), the time, medium and profile of `spectrum`.
    """
    if np.ndim(spectrum.flux) == 1 or _rows(spectrum.flux).shape[0] == 1:
        return spectrum
    if not usable_pixels(spectrum, None, tellurics=False).any():
        raise InputError(
            f"{spectrum.path or 'spectrum'}: no order holds usable pixels"
        )
    coadded = build_template(
        [spectrum], [0.0], passes=1, tellurics=False, min_coverage=0.0,
        medium=spectrum.medium,
    ).spectrum()
    flux = coadded.flux
    merged = Spectrum(
        wave=coadded.wave,
        flux=flux,
        flux_err=coadded.flux_err,
        time=spectrum.time,
        berv=spectrum.berv,
        path=spectrum.path,
        err_source=spectrum.err_source,
        time_key=spectrum.time_key,
        format=spectrum.format,
        header=spectrum.header,
        bad=~np.isfinite(flux),
        frame="barycentric",
        medium=spectrum.medium,
        profile=spectrum.profile,
        ground_based=spectrum.ground_based,
        notes=list(spectrum.notes) + [
            f"{_rows(spectrum.flux).shape[0]} orders co-added, each "
            "divided by its continuum"
        ],
    )
    return merged


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
    np.copyto(r_best, r, where=better)
    np.copyto(w_best, w, where=better)


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
            z: np.ndarray, kept: np.ndarray,
            valid: np.ndarray | None = None) -> None:
        """Add contributions at the points `sl`, in place; where `valid`
        is False there is none (`r` and `w` must be 0 there)."""
        wr = w * r
        wr2 = wr * r
        self.w_all[sl] += w
        self.wr_all[sl] += wr
        self.wr2_all[sl] += wr2
        self.n_all[sl] += 1 if valid is None else valid
        self.w[sl] += np.where(kept, w, 0.0)
        self.wr[sl] += np.where(kept, wr, 0.0)
        self.wr2[sl] += np.where(kept, wr2, 0.0)
        self.z2[sl] += np.where(kept, z * z, 0.0)
        self.n[sl] += kept
        if valid is None:
            hi = lo = r
        else:  # a missing point never holds an extreme
            hi = np.where(valid, r, -np.inf)
            lo = np.where(valid, r, np.inf)
        _take_extreme(hi, w, self.r_hi[sl], self.w_hi[sl], 1.0)
        _take_extreme(lo, w, self.r_lo[sl], self.w_lo[sl], -1.0)

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


Parts = list  # of (start, flux, err): one spectrum on the grid


def resample_one(
    item: tuple[Source, float],
    grid: np.ndarray,
    reference: Curve | None = None,
    degree: int = 3,
    mask: np.ndarray | None = None,
    read_options: dict | None = None,
    medium: str | None = None,
    tellurics: Any = "auto",
    telluric_depth: float = 0.02,
) -> Parts:
    """`resample` of one ``(source, rv)`` pair, read from its path if
    need be."""
    source, rv = item
    return resample(
        load(source, read_options), rv, grid, reference, degree, mask,
        medium=medium, tellurics=tellurics, telluric_depth=telluric_depth,
    )


def chunk_sums(
    chunk: Sequence[Parts],
    centre: Centre,
    kappa: float = 5.0,
) -> PartialSums:
    """Partial sums of one chunk of resampled spectra, in order."""
    parts = [p for spectrum in chunk for p in spectrum]
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
        # NaN marks the grid points between the runs of one order.
        f = f.astype(float)
        e = e.astype(float)
        valid = np.isfinite(f)
        with np.errstate(invalid="ignore", divide="ignore"):
            r = np.where(valid, f - np.where(known, c, 0.0), 0.0)
            w = np.where(valid, 1.0 / (e * e), 0.0)
            sigma = np.sqrt(e * e + centre.err[g] ** 2) * centre.scale[g]
            z = np.where(known & valid, r / sigma, 0.0)
        sums.add(s, r, w, z, valid & (np.abs(z) <= kappa), valid)
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
    medium : str
        Medium of the wavelengths (``"air"``, ``"vacuum"`` or
        ``"unknown"``): that of the highest signal-to-noise spectrum.
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
    medium: str = "unknown"

    def spectrum(self, covered_only: bool = True) -> Spectrum:
        """The master as a `Spectrum` (barycentric, BERV 0).

        With `covered_only`, the points from the first to the last with
        a flux (gaps inside keep NaN flux).
        """
        wave, flux, err = self.wave, self.flux, self.flux_err
        if covered_only:
            idx = np.flatnonzero(np.isfinite(self.flux))
            if idx.size:
                sl = slice(idx[0], idx[-1] + 1)
                wave, flux, err = wave[sl], flux[sl], err[sl]
        return Spectrum(
            wave=wave,
            flux=flux,
            flux_err=np.where(np.isfinite(err), err, 0.0),
            path=None,
            err_source="template",
            frame="barycentric",
            medium=self.medium,
            profile="quasmir-template",
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
    oversample: float = 3.0,
    degree: int = 3,
    kappa: float = 5.0,
    passes: int = 3,
    chunk_size: int = 8,
    mask: np.ndarray | None = None,
    read_options: dict | None = None,
    executor: Any = SERIAL,
    medium: str | None = None,
    tellurics: Any = "auto",
    telluric_depth: float = 0.02,
    min_coverage: float = 0.5,
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
        smooth curve to follow it, see `continuum`) and the first pass's
        centre.  Default: each spectrum's own upper-envelope continuum,
        and a first pass that clips nothing.
    oversample : float
        Grid points per finest pixel step of the default grid; default 3
        (the measurement resamples a master finer by a cubic spline).
    degree : int
        Polynomial degree of the continuum of a piece of spectrum shorter
        than one spline knot step; default 3.
    kappa : float
        Clipping threshold in expected deviations; default 5.
    passes : int
        Robust passes (at least 1); default 3.
    chunk_size : int
        Spectra per partial sum; the result does not depend on where the
        chunks are computed, only on this size.
    mask : array of (start, end), optional
        Observed-frame wavelength intervals to leave out.
    read_options : dict, optional
        Keyword arguments of `read_spectrum` for paths.
    executor : SerialExecutor or compatible
        Where spectra are resampled and chunks summed (serial by
        default; see `quasmir_tool.scaleout` for Dask).
    medium : str, optional
        Medium of the master's wavelengths; spectra in the other medium
        are converted.  Default: that of the reference, else as read.
    tellurics : "auto", bool or (n, 2) array
        Observer-frame telluric intervals left out of the co-addition:
        "auto" (default) those of `quasmir_tool.tellurics` for
        ground-based spectra, deeper than `telluric_depth`.
    telluric_depth : float
        Shallowest telluric line left out (fraction of the continuum).
    min_coverage : float
        A grid point needs contributions from at least this fraction of
        the spectra co-added (and at least one) to have a flux; NaN
        elsewhere.  Default 0.5.

    Returns
    -------
    Template
    """
    if passes < 1:
        raise InputError(f"passes must be at least 1, not {passes}")
    if not kappa > 0:
        raise InputError(f"kappa must be positive, not {kappa!r}")
    if not 0.0 <= min_coverage <= 1.0:
        raise InputError(
            f"min_coverage must lie in [0, 1], not {min_coverage!r}"
        )
    rvs = np.asarray(rvs, dtype=float)
    if rvs.shape != (len(spectra),):
        raise InputError(
            f"{len(spectra)} spectra but {rvs.size} velocities given"
        )
    pairs = [(s, float(v)) for s, v in zip(spectra, rvs) if np.isfinite(v)]
    if not pairs:
        raise InputError("no spectrum to build a template from")
    if medium is None and reference is not None:
        medium = reference.medium
    selection = dict(tellurics=tellurics, telluric_depth=telluric_depth)
    if grid is None:
        info = executor.map(
            survey, [s for s, _ in pairs], read_options=read_options,
            **selection,
        )
        if medium is None:
            medium = info[int(np.argmax([i[3] for i in info]))][4]
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
    # Each spectrum is resampled once; the passes only change the centre
    # the contributions are compared with.
    resampled = executor.map(
        resample_one, pairs, grid=grid, reference=ref, degree=degree,
        mask=mask, read_options=read_options, medium=medium, **selection,
    )
    chunks = _chunks(resampled, chunk_size)
    for p in range(passes):
        sums = executor.map_reduce(
            chunk_sums, chunks, add_sums, centre=centre, kappa=kappa
        ).full(grid.size)
        if p + 1 < passes:
            centre = _next_centre(sums, centre)
    flux, err, n = _finish(sums, centre)
    used = sum(1 for parts in resampled if parts)
    least = max(1, int(np.ceil(min_coverage * used - 1e-9)))
    thin = n < least
    flux[thin] = np.nan
    err[thin] = np.nan
    names = [_name(s, i) for i, s in enumerate(spectra)]
    return Template(grid, flux, err, n, rv=rvs, names=names,
                    medium=medium or "unknown")


# --------------------------------------------------------------------------
# The iteration


def _survey_one(
    source: Source, read_options: dict | None = None, **selection: Any
) -> tuple | str:
    """`survey` of one spectrum, or the message of why it cannot be
    read."""
    try:
        return survey(source, read_options, **selection)
    except InputError as exc:
        return str(exc)


# Flags of a measurement that leave its spectrum out of the co-addition:
# its velocity is not to be trusted.
_DOUBTFUL = ("not converged", "scan edge", "few lines")


def _measure_one(
    item: tuple[Source, float | None],
    master: Spectrum,
    lines: Any = None,
    read_options: dict | None = None,
    measure_options: dict | None = None,
) -> tuple[float, float, str | None]:
    """``(rv, berv, None)`` of one ``(source, rv_guess)``, or ``(nan,
    berv, message)`` when it cannot be measured or its result is
    doubtful."""
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
    doubtful = [w for w in result.flag.split(",") if w in _DOUBTFUL]
    if doubtful:
        return np.nan, berv, f"flagged {','.join(doubtful)}"
    return float(result.rv), berv, None


# Largest archive (bytes of wavelengths, flux, errors and flags) that a
# serial run keeps in memory between passes rather than reading again.
MEMORY_BUDGET = 2**30


def _read_all(
    spectra: list, read_options: dict | None, say: Callable[[str], None]
) -> list:
    """The spectra read into memory (a file that cannot be read stays a
    path: the survey says why), unless they would take more than
    `MEMORY_BUDGET`."""
    out: list = []
    size = 0
    for i, source in enumerate(spectra):
        try:
            spec = load(source, read_options)
        except InputError:
            out.append(source)
            continue
        if not isinstance(source, Spectrum):
            size += 25 * np.size(spec.flux)
            if size * len(spectra) > MEMORY_BUDGET * (i + 1):
                say("archive too large to keep in memory: files are read "
                    "again at each pass")
                return spectra
            if spec.path is None:
                spec.path = _name(source, i)
        out.append(spec)
    return out


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
    rv_guess: float | None = None,
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
    rv_guess : float, optional
        First guess (m/s) of the first measurements against `master`
        (default: each spectrum's cross-correlation peak).
    **build_options
        Passed to `build_template` (oversample, degree, kappa, passes,
        chunk_size, mask, tellurics, telluric_depth, min_coverage).

    Returns
    -------
    Template
        The last master, with the velocities it was built from.  A
        spectrum whose measurement failed, or was flagged as not
        converged, at the scan's edge or with too few lines, is left out
        (`Template.failed`).

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
    if rv_guess is not None and not np.isfinite(rv_guess):
        raise InputError(f"rv_guess must be finite, not {rv_guess!r}")
    say = progress or (lambda message: None)
    selection = {k: build_options[k] for k in ("tellurics", "telluric_depth")
                 if k in build_options}
    all_names = [_name(s, i) for i, s in enumerate(spectra)]
    if executor is SERIAL:
        # Read once, use for every pass, as long as the archive fits in
        # memory comfortably; a cluster reads each file where it works.
        spectra = _read_all(spectra, read_options, say)
    surveyed = executor.map(_survey_one, spectra, read_options=read_options,
                            **selection)
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
    oversample = build_options.pop("oversample", 3.0)
    grid = common_grid(lo, hi, min(i[2] for i in info), oversample)
    ref_index = int(np.argmax([i[3] for i in info]))
    medium = build_options.pop("medium", None) or info[ref_index][4]
    say(f"reference: {names[ref_index]} (S/N {info[ref_index][3]:.0f})")
    reference = build_template(
        [spectra[ref_index]], [0.0], grid=grid, passes=1,
        read_options=read_options, executor=executor, medium=medium,
        **{k: v for k, v in build_options.items()
           if k in ("degree", "mask", "tellurics", "telluric_depth")},
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
    # The first velocities come from the cross-correlation (or the given
    # guess); later ones start from the previous velocity, which the new
    # master was built to match.
    guesses: list[float | None] = [rv_guess] * len(spectra)
    for it in range(iterations):
        say(f"iteration {it + 1}: measuring {len(spectra)} spectra")
        measured = executor.map(
            _measure_one, list(zip(spectra, guesses)), master=current,
            lines=lines, read_options=read_options,
            measure_options=measure_options,
        )
        rvs = np.array([m[0] for m in measured])
        bervs = np.array([m[1] for m in measured])
        if master is None and np.isfinite(rvs[ref_index]):
            # The zero point stays the reference spectrum's: a spectrum
            # measured against a master made from it need not give
            # exactly 0 (orders and slices of an echelle spectrum that
            # differ by a few m/s), and that offset would otherwise be
            # added again at every iteration.
            rvs = rvs - rvs[ref_index]
        failed = {n: m[2] for n, m in zip(names, measured) if m[2]}
        if not np.isfinite(rvs).any():
            first_failure = next(iter(failed.items()))
            raise InputError(
                "no spectrum could be measured for the template "
                f"({first_failure[0]}: {first_failure[1]})"
            )
        history.append(rvs)
        guesses = [float(v) if np.isfinite(v) else rv_guess for v in rvs]
        say(f"iteration {it + 1}: co-adding {np.isfinite(rvs).sum()} spectra")
        template = build_template(
            spectra, rvs, grid=grid, reference=template,
            read_options=read_options, executor=executor, medium=medium,
            **build_options,
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

    Table ``TEMPLATE``: columns ``flux`` and ``error`` (float32: the
    co-added flux is known to far less than its 7 digits) and
    ``n_spectra`` (the contributions per point); the wavelengths
    (angstrom) are ``exp(LOGLAM0 + DLOGLAM * (ROW0 + i))`` for the row
    ``i``,
    from the header (a grid that is not uniform in ln wavelength is
    written as a float64 column ``wavelength`` instead).  The points
    before the first and after the last flux are left out.  ``MEDIUM``
    and ``SPECSYS`` (``BARYCENT``) give the frame; the header holds the
    number of spectra and iterations; a second table ``VELOCITIES`` lists
    each spectrum's velocity and BERV.  `quasmir_tool.read_spectrum`
    reads it as a master.
    """
    from astropy.io import fits

    idx = np.flatnonzero(np.isfinite(template.flux))
    log_grid = _log_grid(np.asarray(template.wave, dtype=float))
    if not idx.size:
        raise InputError(
            "the template has no point with a flux: no grid point has "
            "contributions from enough spectra"
        )
    sl = slice(idx[0], idx[-1] + 1)
    wave = np.asarray(template.wave[sl], dtype=float)
    counts = np.asarray(template.n_spectra[sl])
    count_type = "I" if counts.size == 0 or counts.max() < 2**15 else "J"
    columns = [
        fits.Column(name="flux", format="E",
                    array=np.asarray(template.flux[sl], np.float32)),
        fits.Column(name="error", format="E",
                    array=np.asarray(template.flux_err[sl], np.float32)),
        fits.Column(name="n_spectra", format=count_type, array=counts),
    ]
    if log_grid is None:
        columns.insert(0, fits.Column(name="wavelength", format="D",
                                      unit="Angstrom", array=wave))
    hdu = fits.BinTableHDU.from_columns(columns, name="TEMPLATE")
    header = hdu.header
    if log_grid is not None:
        header["LOGLAM0"] = (log_grid[0], "ln(wavelength / A) at ROW0 0")
        header["DLOGLAM"] = (log_grid[1], "step of ln(wavelength) per row")
        header["ROW0"] = (int(idx[0]), "grid index of the first row")
    header["MEDIUM"] = (template.medium, "wavelengths in air or vacuum")
    header["SPECSYS"] = ("BARYCENT", "the star's rest frame")
    header["NSPECTRA"] = (
        int(np.isfinite(template.rv).sum()) if template.rv.size else 0,
        "spectra co-added",
    )
    header["ITERS"] = (template.iterations, "template builds")
    hdus = [fits.PrimaryHDU(), hdu]
    if template.rv.size:
        n = template.rv.size
        berv = template.berv if template.berv.size == n else np.zeros(n)
        names = template.names if len(template.names) == n else [""] * n
        encoded = [str(name).encode("utf-8", "replace") for name in names]
        width = max([1] + [len(b) for b in encoded])
        vhdu = fits.BinTableHDU.from_columns(
            [
                fits.Column(name="file", format=f"{width}A",
                            array=np.array(encoded, dtype=f"S{width}")),
                fits.Column(name="rv", format="D", unit="m/s",
                            array=np.asarray(template.rv, float)),
                fits.Column(name="berv", format="D", unit="m/s",
                            array=np.asarray(berv, float)),
            ],
            name="VELOCITIES",
        )
        hdus.append(vhdu)
    fits.HDUList(hdus).writeto(os.fspath(path), overwrite=overwrite)


def template_wavelengths(header: Any, data: Any) -> np.ndarray:
    """The wavelengths (angstrom) of a ``TEMPLATE`` table: its
    ``wavelength`` column, or ``exp(LOGLAM0 + DLOGLAM * (ROW0 + i))``."""
    names = [n.lower() for n in data.columns.names]
    if "wavelength" in names:
        return np.array(data["wavelength"], dtype=float)
    origin = float(header["LOGLAM0"])
    step = float(header["DLOGLAM"])
    row0 = int(header.get("ROW0", 0))
    return np.exp(origin + step * (row0 + np.arange(len(data))))


def read_template(path: str | os.PathLike) -> Template:
    """Read a master written by `write_template`."""
    from astropy.io import fits

    with fits.open(os.fspath(path), memmap=False) as hdus:
        hdu = hdus["TEMPLATE"]
        data = hdu.data
        template = Template(
            template_wavelengths(hdu.header, data),
            np.array(data["flux"], dtype=float),
            np.array(data["error"], dtype=float),
            np.array(data["n_spectra"], dtype=np.int32),
            iterations=int(hdu.header.get("ITERS", 1)),
            medium=str(hdu.header.get("MEDIUM", "unknown")),
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
    p.add_argument("--oversample", type=float, default=3.0, metavar="X",
                   help="grid points per finest pixel step (default 3)")
    p.add_argument("--degree", type=int, default=3, metavar="N",
                   help="continuum polynomial degree per order (default 3)")
    p.add_argument("--kappa", type=float, default=5.0, metavar="SIGMA",
                   help="outlier threshold of the co-addition (default 5)")
    p.add_argument("--chunk-size", type=int, default=8, metavar="N",
                   help="spectra per partial sum (default 8)")
    p.add_argument("--rv-guess", type=float, metavar="M/S",
                   help="first guess (m/s) of the first velocities "
                   "(default: each spectrum's cross-correlation peak)")
    p.add_argument("--telluric-depth", type=float, default=0.02,
                   metavar="X",
                   help="leave out telluric lines deeper than X of the "
                   "continuum (default 0.02)")
    p.add_argument("--no-tellurics", action="store_true",
                   help="keep the pixels of telluric lines")
    p.add_argument("--min-coverage", type=float, default=0.5,
                   metavar="F",
                   help="fraction of the spectra a master point needs "
                   "(default 0.5)")
    p.add_argument("--instrument", default="auto", metavar="NAME",
                   help="instrument profile: 'auto' (default), a "
                   "profile's name, or 'none' for the generic readers")
    p.add_argument("--blaze", metavar="FILE",
                   help="blaze file of echelle spectra (default: the one "
                   "the header names, beside the spectrum)")
    p.add_argument("--time-key", metavar="KEY",
                   help="header key of the time (default: the "
                   "instrument's)")
    p.add_argument("--berv-key", metavar="KEY",
                   help="header key of the BERV (default: the "
                   "instrument's, else BERV 0)")
    p.add_argument("--berv-unit", default=None, metavar="UNIT",
                   help="unit of the BERV (default: the instrument's, "
                   "else km/s)")
    p.add_argument("--snr", type=float, metavar="S/N",
                   help="errors from this S/N for files without errors")
    p.add_argument("--photon-noise", action="store_true",
                   help="photon-noise errors for files without errors")
    p.add_argument("--wave-file", metavar="FILE",
                   help="wavelength image of echelle spectra (default: "
                   "the header's solution or the file it names)")
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
    if args.rv_guess is not None and not (
        np.isfinite(args.rv_guess) and abs(args.rv_guess) <= 1.0e6
    ):
        raise InputError(
            f"--rv-guess {args.rv_guess}: must be finite and within "
            "+-1000 km/s"
        )
    if not 0.0 < args.telluric_depth < 1.0:
        raise InputError(
            f"--telluric-depth {args.telluric_depth}: must lie in (0, 1)"
        )
    tellurics = False if args.no_tellurics else "auto"
    measure_options: dict[str, Any] = {
        "estimator": args.estimator, "tellurics": tellurics,
        "telluric_depth": args.telluric_depth,
    }
    if args.mask is not None:
        from .lines import read_mask

        mask = read_mask(args.mask)
        measure_options["mask"] = mask
    master = None
    if args.master is not None:
        try:
            # The master on its own terms: its profile, none of the
            # options meant for the observations.
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
        progress=None if args.quiet else say, rv_guess=args.rv_guess,
        tellurics=tellurics, telluric_depth=args.telluric_depth,
        min_coverage=args.min_coverage,
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
