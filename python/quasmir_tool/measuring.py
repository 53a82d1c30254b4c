"""Measuring one spectrum against a master: the first guess, the iterated
line-by-line Taylor fit and the combination of the lines.

The steps, for one spectrum (velocities in m/s, wavelengths in angstrom):

1. The BERV moves the spectrum's wavelengths to the barycentric frame with
   the core's relativistic Doppler factor (unless they are barycentric
   already).
2. A master sampled coarser than a fifth of the spectrum's pixel step is
   resampled with a cubic spline onto a grid at a twentieth of that step:
   the core interpolates the master linearly and differentiates it by
   forward differences, both of which bias the velocity on a coarse grid
   (a spectrum measured against itself: 0.52 m/s at a fifth of the step,
   0.07 at a tenth, 0.008 at a twentieth; the bias falls as the cube of
   the step).
   The grid starts at the master's first point, so that every spectrum
   of one instrument asks for the same one: the last two resampled
   masters are kept (keyed by a digest of the master's bytes).
3. Every line gets a window of pixels (see `lines.window_edges`).
4. A first guess comes from a cross-correlation of the master's lines,
   as a weighted mask, with the spectrum's usable pixels (`ccf_guess`),
   or from `rv_guess`.  A spectrum with no significant peak is refused.
5. The Taylor fit runs over every window with the master shifted by the
   current velocity and ``lambda_ref`` the line's centre at that velocity;
   the line velocities are combined robustly (`combining.combine`) into
   the next velocity, and the windows move with it.  The passes stop when
   the velocity changes by less than a hundredth of its error.
"""

from __future__ import annotations

import functools
import hashlib
import math
import os
import threading
from collections import OrderedDict
from dataclasses import dataclass, field

import numpy as np

from . import _batch
from .combining import combine, usable
from .errors import InputError
from .lines import (
    C_LIGHT,
    LineList,
    check_mask,
    doppler_factor,
    find_lines,
    make_line_list,
    make_windows,
    read_lines,
    read_mask,
    shift_wavelengths,
    window_edges,
)
from .media import convert_medium
from .reading import Spectrum

ESTIMATORS = {"first": 0, "offset": 1, "second": 2}
# Fit parameters of each estimator; a window needs two pixels more so that
# its reduced chi-square (chisq / (n_pix - params - 1)) is finite.
_PARAMS = {0: 2, 1: 3, 2: 3}
# Master points beyond the pixels' reach on each side of a window's
# master slice: the forward differences of the second-order fit read two
# points past the last bracket.
_MARGIN = 4
# Steps sampled for a grid's median relative step.
_STEP_SAMPLES = 4096
# Pixels per continuum chunk of the cross-correlation, and lines per block
# of its searches (a block's arrays hold lines x trials values).
_CCF_CHUNK = 1000
_CCF_BLOCK = 256
# Largest share of the total weight one line may carry (at least 2 / N).
_WEIGHT_SHARE = 0.1
# Detection threshold of the cross-correlation's peak (robust sigmas):
# pure noise reaches about 4 over a +-200 km/s scan.
MIN_SIGNIFICANCE = 8.0
# Limits beyond which a measurement is flagged (see `flags_of`).
MAX_OUTLIER_FRACTION = 0.2
MAX_CHI2_RED = 30.0
# The outlier component counts as outliers only when it is this many
# times as wide as the lines' own (scaled) errors: a wider but similar
# scatter (two stars' lines, blends) fills a broad component of 1.4 times
# the core's width up to the bound of the fraction, and is not wrong.
MIN_OUTLIER_SPREAD = 3.0
# Largest ratio of two passes' changes that the passes extrapolate: far
# from the solution the windows see other lines, the steps are not
# geometric, and a ratio near 1 would throw the next start far away.
_MAX_RATIO = 0.7
MIN_LINES = 20


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
        One row per line window: ``order``, ``line`` (index in the line
        list of the window's deepest line), ``n_lines`` (lines sharing the
        window: a blend narrower than a few pixels is one window),
        ``centre`` (that line's, rest frame, angstrom), ``wave_start`` and
        ``wave_end`` (the window's rest-frame edges, angstrom),
        ``pix_start``, ``pix_stop``, ``n_pix``, ``rv`` and ``rv_err``
        (m/s), ``chi2_red``, ``scale`` (c0), ``deriv1`` (c1), ``coeff2``
        (the offset, or the second-derivative coefficient c2, else 0),
        ``c2_c0`` (c2 / c0 in angstrom**2, estimator ``"second"`` only),
        ``weight`` (from the line list), ``used``, ``reason`` (why a
        window was dropped: ``"outside master"``, ``"too few pixels"``,
        ``"masked"``, ``"telluric"``, ``"bad pixel"``, ``"nan pixel"``,
        ``"master not finite"``, ``"fit failed"``) and ``p_outlier``.
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
    extra : dict
        Details: ``rv_guess`` (m/s), ``guess_source`` (``"ccf"`` or
        ``"given"``), ``ccf_significance`` (the CCF peak's, NaN for a
        given guess), ``tellurics`` (telluric intervals applied),
        ``master_resampled``, ``master_step`` (m/s per point of the
        master used), ``n_outside_spectrum`` (lines with no pixel
        in any order, not counted as dropped), ``dropped`` (counts by
        reason), ``history`` (velocity after each pass, m/s).
    estimator : str
        ``"first"``, ``"offset"`` or ``"second"``.
    n_passes : int
        Passes of the Taylor fit over the windows.
    converged : bool
        Whether the last pass changed the velocity by less than a
        hundredth of its error.
    error_scale : float
        Factor (>= 1) by which the combination scaled the lines' errors
        to match their scatter.
    flag : str
        "" when all is well, else comma-separated warnings (`flags_of`).
    profile : str or None
        Instrument profile that read the spectrum.
    frame : str
        ``"observer"`` or ``"barycentric"``: the spectrum's frame.
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
    estimator: str = "first"
    n_passes: int = 0
    converged: bool = False
    error_scale: float = 1.0
    flag: str = ""
    profile: str | None = None
    frame: str = "observer"


# ----------------------------------------------------------------------
# The one entry to the core's Taylor fits


def _fit_windows(kind: int, wave: np.ndarray, flux_err: np.ndarray,
                 flux: np.ndarray, wave_master: np.ndarray,
                 flux_master: np.ndarray, pix_start: np.ndarray,
                 pix_stop: np.ndarray, master_start: np.ndarray,
                 master_stop: np.ndarray, sys_err: float,
                 rv_shift: np.ndarray, lambda_ref: np.ndarray):
    """Run one Taylor fit per window.

    Parameters
    ----------
    kind : int
        0 ``get_RV_line_by_line2``, 1 ``get_RV_line_by_line2_with_offset``,
        2 ``get_RV_line_by_line3``.
    wave, flux_err, flux : numpy.ndarray
        Pixels (angstrom; flux units), contiguous float64.
    wave_master, flux_master : numpy.ndarray
        Master (angstrom; flux units), contiguous float64.
    pix_start, pix_stop, master_start, master_stop : numpy.ndarray
        int64, one per window: window ``i`` fits ``wave[ps:pe]`` against
        the master ``[ms:me]``.
    sys_err : float
        Systematic flux uncertainty added in quadrature.
    rv_shift : numpy.ndarray
        Velocity (m/s) by which the master is shifted, per window.
    lambda_ref : numpy.ndarray
        Reference wavelength (angstrom) of each window.

    Returns
    -------
    scale, deriv1, third, rv, rv_err, chi2_red : numpy.ndarray
        float64, one per window: c0, c1, the offset or c2 (0.0 for kind
        0), the velocity (m/s), its error (m/s) and the reduced
        chi-square.  Every value is, bit for bit, what the core method of
        `kind` gives for the window's slices (c1 included, which the
        first-order methods compute but do not return).  A window the
        core refuses (too few pixels or master points) gives NaN.

    Notes
    -----
    All windows run in one call of ``quasmir_tool._batch.fit_windows``,
    without the interpreter lock (threads measuring other spectra run at
    the same time) and without the second-order method's printing.
    """
    return _batch.fit_windows(
        kind, wave, flux_err, flux, wave_master, flux_master,
        np.asarray(pix_start, dtype=np.int64),
        np.asarray(pix_stop, dtype=np.int64),
        np.asarray(master_start, dtype=np.int64),
        np.asarray(master_stop, dtype=np.int64),
        float(sys_err),
        np.asarray(rv_shift, dtype=np.float64),
        np.asarray(lambda_ref, dtype=np.float64),
    )


# ----------------------------------------------------------------------
# Inputs


@dataclass
class _Data:
    """A spectrum as lists of per-order contiguous float64 arrays."""

    wave: list
    flux: list
    flux_err: list | None
    berv: float = 0.0
    time: float | None = None
    path: str | None = None
    err_source: str = "file"


def _fail(message: str) -> InputError:
    return InputError(f"measure: {message}")


def _is_count(value, least: int) -> bool:
    """Whether `value` is an integer (of any type) of at least `least`."""
    try:
        return int(value) == value and value >= least
    except (TypeError, ValueError, OverflowError):
        return False


def _float_array(values) -> np.ndarray:
    """float64 array; masked entries (numpy masked arrays) become NaN."""
    values = getattr(values, "value", values)
    if isinstance(values, np.ma.MaskedArray):
        return np.ma.filled(values.astype(float), np.nan)
    return np.asarray(values, dtype=float)


def _from_specutils(obj, name: str):
    import astropy.units as u
    from astropy.nddata import StdDevUncertainty

    try:
        wave = obj.spectral_axis.to_value(u.AA, equivalencies=u.spectral())
    except u.UnitConversionError as exc:
        raise _fail(f"{name} spectral axis is not a wavelength, frequency "
                    "or energy") from exc
    flux = np.asarray(getattr(obj.flux, "value", obj.flux), dtype=float)
    err = None
    unc = getattr(obj, "uncertainty", None)
    if unc is not None:
        err = np.asarray(unc.represent_as(StdDevUncertainty).array,
                         dtype=float)
    mask = getattr(obj, "mask", None)
    if mask is not None and np.any(mask):
        flux = np.where(np.asarray(mask, dtype=bool), np.nan, flux)
    meta = getattr(obj, "meta", None) or {}
    return wave, flux, err, meta


def _to_data(obj, name: str, need_err: bool) -> _Data:
    """Accept a Spectrum, a specutils spectrum, a (wave, flux[, err])
    sequence, or a mapping/table with such columns."""
    berv, time, path, source = 0.0, None, None, "file"
    if isinstance(obj, Spectrum) or all(
            hasattr(obj, a) for a in ("wave", "flux", "flux_err")):
        wave, flux, err = obj.wave, obj.flux, obj.flux_err
        berv = float(getattr(obj, "berv", 0.0) or 0.0)
        time = getattr(obj, "time", None)
        path = getattr(obj, "path", None)
        source = getattr(obj, "err_source", "file")
    elif hasattr(obj, "spectral_axis") and hasattr(obj, "flux"):
        wave, flux, err, _ = _from_specutils(obj, name)
    elif isinstance(obj, (tuple, list)) and len(obj) in (2, 3):
        wave, flux = obj[0], obj[1]
        err = obj[2] if len(obj) == 3 else None
    elif hasattr(obj, "keys") or hasattr(obj, "colnames"):
        keys = list(obj.colnames if hasattr(obj, "colnames") else obj.keys())
        lookup = {str(k).lower(): k for k in keys}

        def pick(*names):
            for key in names:
                if key in lookup:
                    return obj[lookup[key]]
            return None

        wave = pick("wave", "wavelength", "lambda")
        flux = pick("flux")
        err = pick("flux_err", "error", "err", "sigma")
        if wave is None or flux is None:
            raise _fail(f"{name} has no 'wave' and 'flux' entries")
    else:
        raise _fail(f"{name} must be a Spectrum, a specutils spectrum or "
                    f"(wave, flux[, flux_err]), not {type(obj).__name__}")

    try:
        wave = _float_array(wave)
        flux = _float_array(flux)
        if err is not None:
            err = _float_array(err)
    except (TypeError, ValueError) as exc:
        raise _fail(f"{name} arrays are not numeric") from exc
    if err is None and need_err:
        raise _fail(f"{name} has no flux errors")
    if wave.ndim not in (1, 2) or wave.shape != flux.shape or (
            err is not None and err.shape != wave.shape):
        shapes = f"wave {wave.shape}, flux {flux.shape}" + (
            f", flux_err {err.shape}" if err is not None else "")
        raise _fail(f"{name} arrays must be 1-D or 2-D (orders x pixels) "
                    f"of one shape ({shapes})")
    if not need_err and wave.ndim != 1:
        raise _fail(f"{name} must be one-dimensional")
    def rows(a):
        return [np.ascontiguousarray(r) for r in np.atleast_2d(a)]

    data = _Data(rows(wave), rows(flux),
                 rows(err) if err is not None else None,
                 berv, None if time is None else float(time),
                 None if path is None else str(path), source)
    for o, w in enumerate(data.wave):
        where = f"order {o}, " if wave.ndim == 2 else ""
        if w.size < 2:
            raise _fail(f"{name} has fewer than 2 pixels ({where[:-2]})"
                        if where else f"{name} has fewer than 2 pixels")
        # One pass each while all is well; the culprit is looked for
        # only when there is one.
        if not np.isfinite(w).all():
            bad = np.flatnonzero(~np.isfinite(w))
            raise _fail(f"{name} wavelengths are not finite ({where}pixel "
                        f"{bad[0]})")
        if not (w[1:] > w[:-1]).all():
            bad = np.flatnonzero(w[1:] <= w[:-1])
            raise _fail(f"{name} wavelengths are not ascending ({where}"
                        f"pixel {bad[0] + 1})")
        if w[0] <= 0.0:
            raise _fail(f"{name} wavelengths must be positive ({where}"
                        "pixel 0)")
    return data


def _as_lines(lines, master_wave, master_flux, threshold) -> LineList:
    if lines is None:
        try:
            return find_lines(master_wave, master_flux, threshold=threshold)
        except InputError as exc:
            raise _fail(f"no lines given and none found in the master "
                        f"({str(exc).split(': ', 1)[-1]})") from exc
    if isinstance(lines, (str, os.PathLike)):
        return read_lines(lines)
    if isinstance(lines, LineList):
        if len(lines) == 0:
            raise _fail("lines is empty")
        return make_line_list(lines.centre, lines.start, lines.end,
                              lines.weight, func="measure", where="lines")
    centre = np.asarray(lines, dtype=float).ravel()
    if centre.size == 0:
        raise _fail("lines is empty")
    return make_line_list(centre, func="measure", where="lines")


# ----------------------------------------------------------------------
# The master


def _n_bad(bad: np.ndarray, start: np.ndarray,
           stop: np.ndarray) -> np.ndarray:
    """Bad points in each ``[start, stop)``, `bad` their sorted indices."""
    if not bad.size:
        return np.zeros(np.shape(start), dtype=np.int64)
    return (np.searchsorted(bad, stop, side="left")
            - np.searchsorted(bad, start, side="left"))


# Resampled masters of the last few calls: measuring a series of spectra
# against one master resamples it once.  Keyed by the master's content
# (a digest of its bytes), so a master changed in place is resampled
# anew; the cached arrays are read-only.
_RESAMPLED: OrderedDict = OrderedDict()
_RESAMPLED_LOCK = threading.Lock()
_RESAMPLING: dict = {}  # key -> the lock held while it is being made
_RESAMPLED_SIZE = 2


def _digest(a: np.ndarray) -> bytes:
    return hashlib.sha1(np.ascontiguousarray(a).data).digest()


def _resampled_master(wave: np.ndarray, flux: np.ndarray, step: float,
                      lo: float, hi: float):
    """The master resampled by `resample_master` over its whole range at
    `step` (cached), cut to ``[lo, hi]``; also the sorted indices of its
    non-finite points in the cut."""
    key = (_digest(wave), _digest(flux), wave.size, float(step))
    # One thread resamples a master; the others that want it meanwhile
    # (every thread of a run starts on the same master) wait for it.
    with _RESAMPLED_LOCK:
        making = _RESAMPLING.setdefault(key, threading.Lock())
    try:
        with making:
            with _RESAMPLED_LOCK:
                hit = _RESAMPLED.get(key)
                if hit is not None:
                    _RESAMPLED.move_to_end(key)
            if hit is None:
                grid, out = resample_master(wave, flux, step)
                bad = np.flatnonzero(~np.isfinite(out))
                for a in (grid, out, bad):
                    a.flags.writeable = False
                hit = (grid, out, bad)
                with _RESAMPLED_LOCK:
                    _RESAMPLED[key] = hit
                    while len(_RESAMPLED) > _RESAMPLED_SIZE:
                        _RESAMPLED.popitem(last=False)
    finally:
        # The last thread out forgets the lock (a failure included).
        with _RESAMPLED_LOCK:
            if _RESAMPLING.get(key) is making and not making.locked():
                del _RESAMPLING[key]
    grid, out, bad = hit
    i0 = int(np.searchsorted(grid, lo, side="left"))
    i1 = int(np.searchsorted(grid, hi, side="right"))
    b0, b1 = np.searchsorted(bad, [i0, i1])
    return grid[i0:i1], out[i0:i1], bad[b0:b1] - i0


_EDGES: OrderedDict = OrderedDict()
_EDGES_SIZE = 4


def _window_edges(lines: LineList, reach: float, width: float):
    """`window_edges` of a line list, kept for the lists last seen: a run
    over many spectra measures the same lines in each (read-only
    arrays)."""
    key = (*(_digest(np.asarray(a, dtype=float)) for a in (
        lines.centre, lines.start, lines.end, lines.weight)),
        float(reach), float(width))
    with _RESAMPLED_LOCK:
        hit = _EDGES.get(key)
        if hit is not None:
            _EDGES.move_to_end(key)
            return hit
    hit = window_edges(lines, reach, width)
    for a in hit:
        a.flags.writeable = False
    with _RESAMPLED_LOCK:
        _EDGES[key] = hit
        while len(_EDGES) > _EDGES_SIZE:
            _EDGES.popitem(last=False)
    return hit


def _relative_step(wave: np.ndarray) -> float:
    """Median relative step d(lambda)/lambda of a grid.

    Over at most about 4096 evenly spaced steps of a long grid: the
    median is a robust scale of the sampling (thresholds and window
    widths), and this keeps it off the cost of a whole-spectrum pass.
    """
    stride = max(1, (wave.size - 1) // _STEP_SAMPLES)
    lo = wave[:-1:stride]
    return float(np.median((wave[1::stride] - lo) / lo))


def resample_master(wave: np.ndarray, flux: np.ndarray, step: float,
                    lo: float | None = None, hi: float | None = None):
    """Resample a master with a cubic spline onto a log-uniform grid.

    Each run of finite flux gets its own spline (scipy's
    ``CubicSpline``, not-a-knot ends); grid points outside the runs (in a
    gap of non-finite flux), and those of a run whose spline overflows
    (fluxes near the largest double), are NaN: the windows that need
    them are dropped.

    Parameters
    ----------
    wave, flux : numpy.ndarray
        Master wavelengths (angstrom, ascending) and flux.
    step : float
        Relative step d(lambda)/lambda of the new grid (a velocity step
        divided by c).
    lo, hi : float, optional
        Wavelength range (angstrom) to cover; default the master's.

    Returns
    -------
    wave_new, flux_new : numpy.ndarray
        Contiguous float64.
    """
    from scipy.interpolate import CubicSpline

    lo = wave[0] if lo is None else max(lo, wave[0])
    hi = wave[-1] if hi is None else min(hi, wave[-1])
    n = int(np.floor(np.log(hi / lo) / step)) + 1
    grid = lo * np.exp(step * np.arange(n))
    out = np.full(n, np.nan)
    good = np.isfinite(flux)
    edges = np.flatnonzero(np.diff(np.r_[0, good.astype(np.int8), 0]))
    for a, b in zip(edges[::2], edges[1::2]):
        if b - a < 4:
            continue
        i0 = np.searchsorted(grid, wave[a], side="left")
        i1 = np.searchsorted(grid, wave[b - 1], side="right")
        if i1 > i0:
            with np.errstate(over="ignore", invalid="ignore"):
                try:
                    spline = CubicSpline(wave[a:b], flux[a:b])
                except ValueError:
                    # Fluxes near the largest double overflow the
                    # spline's slopes: the run stays NaN, like a gap.
                    continue
                out[i0:i1] = spline(grid[i0:i1])
    out[~np.isfinite(out)] = np.nan
    return np.ascontiguousarray(grid), out


# ----------------------------------------------------------------------
# The first guess


def _in_intervals(intervals: np.ndarray, lo: np.ndarray,
                  hi: np.ndarray) -> np.ndarray:
    """Whether each ``[lo, hi]`` touches one of the sorted `intervals`
    ((n, 2), angstrom; they may overlap)."""
    if not intervals.shape[0]:
        return np.zeros(np.shape(lo), dtype=bool)
    k = np.searchsorted(intervals[:, 0], hi, side="right")
    ends = np.maximum.accumulate(intervals[:, 1])
    return (k > 0) & (ends[np.maximum(k - 1, 0)] >= lo)


def match_continuum(wave: np.ndarray, flux: np.ndarray, err: np.ndarray,
                    good: np.ndarray, model: np.ndarray) -> np.ndarray:
    """The smooth curve by which a spectrum's continuum differs from its
    model's.

    A clipped weighted spline through ``flux / model`` of the `good`
    pixels (`quasmir_tool.continuum.smooth_fit`: a knot every 0.01 in ln
    wavelength, pieces cut at gaps, 4-sigma clipping both ways, so lines
    that differ, cosmic rays and tellurics do not pull it); 1 where no
    piece of data is near.

    Parameters
    ----------
    wave, flux, err : numpy.ndarray
        One order: wavelengths (angstrom, ascending), flux and errors.
    good : numpy.ndarray
        Pixels to fit (bool).
    model : numpy.ndarray
        The master at the spectrum's pixels, shifted to its velocity.

    Returns
    -------
    numpy.ndarray
        Positive curve at every pixel; the spectrum divided by it has
        the master's continuum.
    """
    from .continuum import smooth_fit

    with np.errstate(all="ignore"):
        good = good & np.isfinite(model) & (model > 0.0)
        if np.count_nonzero(good) < 8:
            return np.ones(wave.size)
        ratio = flux[good] / model[good]
        weight = model[good] / err[good]
        curve = smooth_fit(np.log(wave[good]), ratio, weight, np.log(wave),
                           rounds=4)
        ok = np.isfinite(curve) & (curve > 0.0)
    return np.where(ok, curve, 1.0)


def _matched_order(order: tuple, wm: np.ndarray, fm: np.ndarray, rv: float,
                   telluric: np.ndarray, to_observed: float) -> tuple:
    """One order's flux and errors divided by `match_continuum` at `rv`
    (m/s), telluric pixels left out of the fit."""
    w, f, e, nan_bad, flag_bad = order
    good = np.ones(w.size, dtype=bool)
    good[nan_bad] = False
    good[flag_bad] = False
    if telluric.shape[0]:
        observed = w * to_observed
        good &= ~_in_intervals(telluric, observed, observed)
    rest = w / doppler_factor(rv)
    # Only the master's stretch under this order (np.interp would copy
    # the whole master at each call).
    i0 = max(int(np.searchsorted(wm, rest[0])) - 2, 0)
    i1 = min(int(np.searchsorted(wm, rest[-1])) + 2, wm.size)
    if i1 - i0 < 2:
        return order
    model = np.interp(rest, wm[i0:i1], fm[i0:i1], left=np.nan,
                      right=np.nan)
    curve = match_continuum(w, f, e, good, model)
    with np.errstate(all="ignore"):
        return (w, f / curve, e / curve, nan_bad, flag_bad)


def _continuum_normalised(flux: np.ndarray, good: np.ndarray,
                          chunk: int = _CCF_CHUNK) -> np.ndarray:
    """Flux divided by a continuum level per chunk of `chunk` pixels: the
    90th percentile of the chunk's good pixels (a chunk with fewer than
    a tenth good is left at 0 and counts as bad)."""
    out = np.zeros(flux.size)
    for a in range(0, flux.size, chunk):
        ok = good[a:a + chunk]
        if np.count_nonzero(ok) < max(3, ok.size // 10):
            good[a:a + chunk] = False
            continue
        level = float(np.percentile(flux[a:a + chunk][ok], 90.0))
        if not level > 0.0:
            good[a:a + chunk] = False
            continue
        out[a:a + chunk] = np.where(ok, flux[a:a + chunk] / level, 0.0)
    return out


@dataclass
class _CCFOrder:
    """One order prepared for the cross-correlation: barycentric
    wavelengths (angstrom) and cumulative sums of the normalised flux and
    of the good pixels (length n + 1)."""

    wave: np.ndarray
    sum_flux: np.ndarray
    sum_good: np.ndarray


def _ccf_order(wave: np.ndarray, flux: np.ndarray,
               good: np.ndarray) -> _CCFOrder:
    good = good.copy()
    norm = _continuum_normalised(flux, good)
    zero = np.zeros(1)
    return _CCFOrder(
        wave, np.concatenate([zero, np.cumsum(np.where(good, norm, 0.0))]),
        np.concatenate([np.zeros(1, dtype=np.int64),
                        np.cumsum(good, dtype=np.int64)]))


def _ccf(orders: list, centre: np.ndarray, weight: np.ndarray,
         trials: np.ndarray, half_width: float) -> np.ndarray:
    """Weighted mean line depth at each trial velocity (m/s).

    Each line ``l`` (rest centre ``c_l``, weight ``w_l``) at velocity
    ``v`` covers ``c_l D(v) (1 +- half_width / c)``; it counts at that
    trial when every pixel there is good, with its depth ``1 - mean``
    of the normalised flux.  CCF(v) = sum w_l depth_l / sum w_l over the
    lines that count (0 where none does).  Cost O(n_lines x n_trials)
    searches, in blocks of lines.
    """
    factor = doppler_factor(trials)
    h = half_width / C_LIGHT
    num = np.zeros(trials.size)
    den = np.zeros(trials.size)
    d_lo, d_hi = factor[0] * (1.0 - h), factor[-1] * (1.0 + h)
    for o in orders:
        w = o.wave
        inside = (centre * d_lo >= w[0]) & (centre * d_hi <= w[-1])
        idx = np.flatnonzero(inside)
        for b0 in range(0, idx.size, _CCF_BLOCK):
            sel = idx[b0:b0 + _CCF_BLOCK]
            at = centre[sel, None] * factor[None, :]
            a = np.searchsorted(w, at * (1.0 - h))
            b = np.searchsorted(w, at * (1.0 + h))
            n_good = o.sum_good[b] - o.sum_good[a]
            full = (b > a) & (n_good == b - a)
            with np.errstate(invalid="ignore", divide="ignore"):
                depth = 1.0 - (o.sum_flux[b] - o.sum_flux[a]) / n_good
            wl = np.where(full, weight[sel, None], 0.0)
            num += np.sum(wl * np.where(full, depth, 0.0), axis=0)
            den += np.sum(wl, axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(den > 0.0, num / den, 0.0)


@dataclass
class Guess:
    """The cross-correlation's first guess.

    Attributes
    ----------
    rv : float
        Velocity (m/s) of the refined peak.
    significance : float
        Peak height above the median of the CCF, in units of its robust
        scatter (1.4826 MAD) away from the peak.
    at_edge : bool
        Whether the peak lies at the end of the trial range.
    step : float
        Trial step (m/s) of the coarse grid.
    """

    rv: float
    significance: float
    at_edge: bool
    step: float


def ccf_guess(orders: list, centre: np.ndarray, weight: np.ndarray,
              scan_range: float, step: float) -> Guess:
    """First guess from a weighted-mask cross-correlation.

    Parameters
    ----------
    orders : list of _CCFOrder
        The spectrum's usable pixels (`_ccf_order`).
    centre, weight : numpy.ndarray
        The master's lines (rest frame, angstrom) and their weights.
    scan_range : float
        Trials over ``[-scan_range, scan_range]`` (m/s).
    step : float
        Coarse trial step (m/s); each line's mask half-width is one step.

    Returns
    -------
    Guess
        The peak of the coarse grid refined on a grid ten times finer
        over +-1 step, then by a parabola through the three best points.
    """
    trials = np.arange(-scan_range, scan_range + 0.5 * step, step)
    ccf = _ccf(orders, centre, weight, trials, step)
    k = int(np.argmax(ccf))
    away = np.abs(trials - trials[k]) > 4.0 * step
    rest = ccf[away] if np.count_nonzero(away) >= 10 else ccf
    median = float(np.median(rest))
    scatter = 1.4826 * float(np.median(np.abs(rest - median)))
    height = float(ccf[k]) - median
    if scatter > 0.0:
        significance = height / scatter
    else:
        significance = math.inf if height > 0.0 else 0.0
    fine = trials[k] + step * np.linspace(-1.0, 1.0, 21)
    fine_ccf = _ccf(orders, centre, weight, fine, step)
    j = int(np.clip(np.argmax(fine_ccf), 1, fine.size - 2))
    y0, y1, y2 = fine_ccf[j - 1:j + 2]
    denom = y0 - 2.0 * y1 + y2
    delta = 0.5 * (y0 - y2) / denom if denom < 0.0 else 0.0
    rv = float(fine[j] + np.clip(delta, -1.0, 1.0) * 0.1 * step)
    return Guess(rv, float(significance), k <= 1 or k >= trials.size - 2,
                 float(step))


def cap_errors(rv_err: np.ndarray, share: float | None = None
               ) -> np.ndarray:
    """Raise the smallest errors so that no line carries more than
    `share` of the total inverse-variance weight.

    Parameters
    ----------
    rv_err : numpy.ndarray
        Line errors (m/s); entries that are not finite and positive are
        left as they are and carry no weight.
    share : float, optional
        Largest fraction of the total weight one line may carry; default
        ``max(0.1, 2 / N)`` with N the lines with a usable error.

    Returns
    -------
    numpy.ndarray
        The errors, those of the capped lines raised so that each
        carries exactly `share` of the new total weight:
        ``cap = share * S / (1 - share * m)`` with ``S`` the weight of the
        ``m``-th and lighter lines, the smallest ``m`` that holds.
    """
    err = np.array(rv_err, dtype=float)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        ok = np.isfinite(err) & (err > 0.0)
        w = np.where(ok, 1.0 / np.square(np.where(ok, err, 1.0)), 0.0)
    n = int(np.count_nonzero(ok & (w > 0.0)))
    if share is None:
        share = max(_WEIGHT_SHARE, 2.0 / max(n, 1))
    if n == 0 or share >= 1.0 or not np.isfinite(w).all():
        return err
    order = np.argsort(-w, kind="stable")
    ws = w[order]
    light = np.cumsum(ws[::-1])[::-1]  # weight of line m and lighter
    for m in range(n):
        if share * m >= 1.0:
            break
        cap = share * light[m] / (1.0 - share * m)
        if ws[m] <= cap:
            if m:
                heavy = order[:m]
                err[heavy] = 1.0 / math.sqrt(cap)
            break
    return err


# ----------------------------------------------------------------------
# measure


def measure(spectrum, master, lines=None, *, mask=None,
            estimator: str = "first", sys_err: float = 0.0,
            rv_guess: float | None = None, max_passes: int = 10,
            resample: int | None = 20, berv: float | None = None,
            reach: float = 30000.0, scan_range: float = 200000.0,
            line_threshold: float = 0.05,
            min_pixels: int | None = None,
            min_window: float = 16.0, tellurics="auto",
            telluric_depth: float = 0.02,
            match_continuum: bool = True) -> Result:
    """Measure the radial velocity of `spectrum` against `master`.

    Parameters
    ----------
    spectrum : Spectrum or specutils spectrum
        The observation: wavelengths (angstrom, observed frame), flux and
        1-sigma flux errors; 1-D, or 2-D (orders x pixels) for an echelle
        spectrum, whose orders are measured on their own pixels and whose
        lines are combined.  A specutils spectrum gives its spectral axis
        (any spectral unit), flux and uncertainty; its mask marks bad
        pixels.
    master : Spectrum, specutils spectrum, (wave, flux) or a table
        The template (angstrom, its rest frame), one-dimensional; errors
        are not used.  Non-finite master flux drops the windows that
        need it.
    lines : LineList, path or array of centres, optional
        Lines in the master's frame (angstrom); default: found in the
        master (`find_lines` with `line_threshold`).
    mask : (n, 2) array or path, optional
        Excluded intervals (angstrom, the spectrum's observed frame); a
        window touching one is dropped.
    estimator : {"first", "offset", "second"}
        The core's first-order Taylor fit, the same with an offset, or the
        second-order fit.
    sys_err : float
        Systematic flux uncertainty, added in quadrature to every pixel's
        error (flux units).
    rv_guess : float, optional
        First guess (m/s); default: the peak of a cross-correlation of
        the master's lines (`ccf_guess`) with the spectrum's usable
        pixels.  A spectrum whose peak is weaker than `MIN_SIGNIFICANCE`
        is refused.
    max_passes : int
        Most passes of the Taylor fit; ``1`` with `rv_guess` fits every
        window exactly once.
    resample : int or None
        A master coarser than a fifth of the spectrum's pixel step is
        resampled by a cubic spline to ``1 / resample`` of that step
        (default 20); None or 0 never resamples.
    berv : float, optional
        Barycentric correction (m/s); default ``spectrum.berv``.  A
        spectrum in the observer's frame (``spectrum.frame``) is moved to
        the barycentric frame by the Doppler factor of the BERV; a
        barycentric one is not, the BERV then only places `mask` and the
        tellurics (observed = barycentric / D(berv)).
    reach : float
        Half-width (m/s) of an isolated line's window (lines closer than
        that split at their midpoint).
    scan_range : float
        The cross-correlation tries velocities (m/s) in
        ``[-scan_range, scan_range]``, at half a resolution element
        (1.5 pixels, within 0.25-5 km/s).
    line_threshold : float
        Depth threshold (fraction of the continuum) of lines found
        automatically.
    min_pixels : int, optional
        Fewest pixels a window needs; default the estimator's parameters
        plus two.
    min_window : float
        Narrowest window, in pixels (default 16, about five resolution
        elements at three pixels each): lines closer together share one
        window.  Narrow windows cut through blends, where the free scale
        of each window takes up part of the velocity information
        (measured: 1.10x the photon-noise limit with one window per line
        of the synthetic star, 1.02x with this default).
    tellurics : "auto", bool or (n, 2) array
        Telluric intervals (angstrom, observer frame) whose windows are
        dropped (reason ``"telluric"``): ``"auto"`` applies
        `quasmir_tool.tellurics.telluric_intervals` to a ground-based
        spectrum (``spectrum.ground_based``), True always, False never;
        an array gives the intervals.
    telluric_depth : float
        Depth (fraction of the continuum) of the shallowest telluric
        line masked.
    match_continuum : bool
        Divide each order of the spectrum (flux and errors) by a smooth
        curve through its ratio to the master at the first guess
        (`match_continuum`), before the Taylor passes (default True).
        Each window's fit has a free scale but no slope: a continuum
        that tilts against the master's across a window pulls the
        velocity (a slope times a line is odd about its centre, like
        the line's derivative).

    Notes
    -----
    The spectrum's pixels the reader flagged (``spectrum.bad``) drop the
    windows touching them (``"bad pixel"``).  If the spectrum and the
    master are in different media (air, vacuum), the spectrum's
    wavelengths are converted to the master's first.  An echelle master
    is merged to 1-D (`quasmir_tool.template.merge_orders`), and a master
    in the observer's frame with a BERV is moved to the barycentre.

    The line velocities are combined with their errors capped
    (`cap_errors`): no line carries more than ``max(10%, 2 / N)`` of the
    total weight.  `Result.flag` lists what makes the result doubtful
    (`flags_of`).

    Returns
    -------
    Result
        Velocity (m/s) and error (m/s), the per-line table and counts.

    Raises
    ------
    InputError
        Bad arrays (shapes, non-finite or non-ascending wavelengths, no
        errors), a spectrum outside the master, an empty line list, an
        unknown estimator or option value, no stellar line seen by the
        cross-correlation, or no line left to measure.
    """
    from astropy.table import Table

    # -- options ----------------------------------------------------------
    if estimator not in ESTIMATORS:
        raise _fail(f"unknown estimator {estimator!r} (choose first, "
                    "offset or second)")
    kind = ESTIMATORS[estimator]
    if not (np.isfinite(sys_err) and sys_err >= 0.0):
        raise _fail(f"sys_err must be finite and >= 0, not {sys_err}")
    if rv_guess is not None and not np.isfinite(rv_guess):
        raise _fail(f"rv_guess must be finite, not {rv_guess}")
    if not _is_count(max_passes, 1):
        raise _fail(f"max_passes must be a positive integer, not "
                    f"{max_passes!r}")
    if resample is True:
        resample = 20
    if resample is not None and resample is not False and not _is_count(
            resample, 0):
        raise _fail(f"resample must be a non-negative integer, not "
                    f"{resample!r}")
    if not (np.isfinite(reach) and reach > 0.0):
        raise _fail(f"reach must be positive, not {reach}")
    if not (np.isfinite(scan_range) and 0.0 < scan_range < 0.1 * C_LIGHT):
        raise _fail(f"scan_range must lie in (0, 0.1 c), not {scan_range}")
    if not (np.isfinite(min_window) and min_window >= 0.0):
        raise _fail(f"min_window must be >= 0, not {min_window}")
    if min_pixels is None:
        min_pixels = _PARAMS[kind] + 2
    elif min_pixels < _PARAMS[kind] + 2:
        raise _fail(f"min_pixels must be at least {_PARAMS[kind] + 2} for "
                    f"estimator {estimator!r}, not {min_pixels}")

    # -- data ---------------------------------------------------------------
    master, master_medium = _prepared_master(master)
    data = _to_data(spectrum, "spectrum", need_err=True)
    flagged = _flagged_rows(spectrum, data)
    medium = str(getattr(spectrum, "medium", "unknown") or "unknown")
    if {medium, master_medium} == {"air", "vacuum"}:
        # The spectrum in the master's medium, before anything else.
        data.wave = [np.ascontiguousarray(convert_medium(w, medium,
                                                         master_medium))
                     for w in data.wave]
        medium = master_medium
    frame = str(getattr(spectrum, "frame", "observer") or "observer")
    profile = getattr(spectrum, "profile", None)
    mdata = _to_data(master, "master", need_err=False)
    if berv is None:
        berv = data.berv
    if not np.isfinite(berv) or abs(berv) >= 0.1 * C_LIGHT:
        raise _fail(f"berv must be finite and well below c, not {berv}")
    wm, fm = mdata.wave[0], mdata.flux[0]
    if isinstance(mask, (str, os.PathLike)):
        mask = read_mask(mask)
    mask = check_mask(mask, func="measure", where="mask")
    telluric = _telluric_mask(tellurics, telluric_depth, medium,
                              bool(getattr(spectrum, "ground_based",
                                           False)))

    # Barycentric wavelengths, as the core shifts its master: a spectrum
    # in the observer's frame is moved by its BERV, a barycentric one is
    # not (the BERV then only places the mask and the tellurics, which
    # are in the observer's frame).  A BERV of 0 leaves them as they
    # are, bit for bit.
    if frame == "barycentric" or berv == 0.0:
        waves = data.wave
    else:
        waves = [np.ascontiguousarray(shift_wavelengths(w, berv))
                 for w in data.wave]
    to_observed = 1.0 / doppler_factor(berv)
    w_lo = min(float(w[0]) for w in waves)
    w_hi = max(float(w[-1]) for w in waves)
    if w_hi <= wm[0] or w_lo >= wm[-1]:
        raise _fail(f"the spectrum ({w_lo:.2f}-{w_hi:.2f} A, barycentric) "
                    f"lies outside the master ({wm[0]:.2f}-{wm[-1]:.2f} A)")

    # -- master sampling ----------------------------------------------------
    # Relative steps of the observed grids: a Doppler factor does not
    # change them, so every spectrum of one instrument asks for the same
    # resampled master, whatever its BERV.
    steps = [_relative_step(w) for w in data.wave]
    pix_step = min(steps)
    master_step = _relative_step(wm)
    resampled = False
    master_bad = None
    if resample and master_step > pix_step / 5.0:
        reach_v = max(scan_range, abs(rv_guess or 0.0)) + 50000.0
        wm, fm, master_bad = _resampled_master(
            wm, fm, pix_step / resample, w_lo / doppler_factor(reach_v),
            w_hi * doppler_factor(reach_v))
        master_step = pix_step / resample
        resampled = True

    line_list = _as_lines(lines, mdata.wave[0], mdata.flux[0],
                          line_threshold)
    # Lines closer than min_window pixels share a window.
    widest = max(steps)
    width = max(float(min_window), min_pixels + 1.0) * widest * C_LIGHT
    lo, hi, rep, n_in = _window_edges(line_list, reach, width)
    centre = line_list.centre[rep]

    # Pixels that are not data by their sorted indices (a window's count
    # is the difference of two searches): non-finite flux or error, or an
    # error <= 0 ("nan pixel"), and those the reader flagged ("bad
    # pixel").
    orders = []
    for w, f, e, flag in zip(waves, data.flux, data.flux_err, flagged):
        with np.errstate(invalid="ignore"):
            good = e > 0.0
        good &= np.isfinite(f)
        good &= np.isfinite(e)
        orders.append((w, f, e, np.flatnonzero(~good),
                       np.flatnonzero(flag) if flag is not None
                       else np.empty(0, dtype=np.int64)))
    if master_bad is None:
        master_bad = np.flatnonzero(~np.isfinite(fm))

    # -- first guess ----------------------------------------------------------
    significance = math.nan
    scan_edge = False
    if rv_guess is None:
        # Half a resolution element (about three pixels) per trial.
        step = float(np.clip(1.5 * pix_step * C_LIGHT, 250.0, 5000.0))
        ccf_orders = _ccf_orders(orders, (wm[0], wm[-1]), mask, telluric,
                                 to_observed)
        found = ccf_guess(ccf_orders, line_list.centre, line_list.weight,
                          scan_range, step)
        significance = found.significance
        if not significance >= MIN_SIGNIFICANCE:
            raise _fail(f"no stellar line of the master is seen in the "
                        f"spectrum (CCF peak significance "
                        f"{significance:.1f} < {MIN_SIGNIFICANCE:g})")
        rv = found.rv
        scan_edge = found.at_edge
        source = "ccf"
    else:
        rv = float(rv_guess)
        source = "given"
    guess = rv
    if match_continuum:
        orders = [_matched_order(order, wm, fm, rv, telluric, to_observed)
                  for order in orders]

    # -- Taylor passes --------------------------------------------------------
    history = []
    converged = False
    n_passes = 0
    start = rv
    plain = None  # the change of the last pass that began at a pass's end
    for n_passes in range(1, int(max_passes) + 1):  # noqa: B007
        rows = _one_pass(kind, orders, lo, hi, centre, wm, fm, master_bad,
                         mask, telluric, to_observed, start, sys_err,
                         min_pixels)
        comb = combine(rows["rv"], cap_errors(rows["rv_err"]))
        if not np.isfinite(comb.rv):
            counts = _reason_counts(rows["reason"])
            detail = ", ".join(f"{v} {k}" for k, v in counts.items())
            raise _fail("no line could be measured"
                        + (f" ({detail})" if detail else
                           " (no line window holds pixels)"))
        change = comb.rv - start
        rv = comb.rv
        history.append(rv)
        if abs(change) < 0.01 * comb.rv_err:
            converged = True
            break
        start = rv
        if plain is not None and change * plain > 0.0 and (
                change / plain <= _MAX_RATIO):
            # Two passes in a row that move the same way by a ratio q: a
            # master whose lines differ in depth from the spectrum's
            # recovers only part of the offset at each pass, and the
            # velocities close in geometrically.  Start the next pass at
            # the limit of that series (Aitken); it is still a full pass
            # that gives the velocity and decides convergence.
            q = change / plain
            start = rv + change * q / (1.0 - q)
            plain = None
        else:
            plain = change

    # -- table ----------------------------------------------------------------
    used = usable(rows["rv"], rows["rv_err"])
    reason = rows["reason"]
    reason[~used & (reason == "")] = "fit failed"
    line = rows["line"]
    columns = {
        "order": rows["order"], "line": rep[line], "n_lines": n_in[line],
        "centre": centre[line], "wave_start": rows["lo"],
        "wave_end": rows["hi"], "pix_start": rows["pix_start"],
        "pix_stop": rows["pix_stop"],
        "n_pix": rows["pix_stop"] - rows["pix_start"], "rv": rows["rv"],
        "rv_err": rows["rv_err"], "chi2_red": rows["chi2_red"],
        "scale": rows["scale"], "deriv1": rows["deriv1"],
        "coeff2": rows["third"]}
    if kind == 2:
        with np.errstate(divide="ignore", invalid="ignore"):
            columns["c2_c0"] = rows["third"] / rows["scale"]
    # The reasons as the narrowest string type that holds them.
    width = max(1, int(np.char.str_len(reason).max())) if reason.size \
        else 1
    columns.update(weight=line_list.weight[rep[line]], used=used,
                   reason=reason.astype(f"U{width}"),
                   p_outlier=comb.p_outlier)
    # One table from fresh columns (nothing here is the caller's): no
    # copies.
    angstrom, m_s = _units()
    table = Table(list(columns.values()), names=list(columns), copy=False,
                  units={"centre": angstrom, "wave_start": angstrom,
                         "wave_end": angstrom, "rv": m_s, "rv_err": m_s})

    seen = np.zeros(n_in.size, dtype=bool)  # windows with pixels
    seen[rows["line"]] = True
    n_used = int(np.count_nonzero(used))
    if abs(rv) > scan_range - 2.0 * C_LIGHT * pix_step:
        scan_edge = True
    core = float(comb.error_scale) * float(np.median(rows["rv_err"][used])) \
        if n_used else math.nan
    flag = flags_of(converged=converged,
                    outlier_fraction=float(comb.outlier_fraction),
                    chi2_red=float(comb.chi2_red), scan_edge=scan_edge,
                    n_used=n_used,
                    outlier_spread=float(comb.outlier_width) / core
                    if core > 0 else math.inf)
    extra = {
        "rv_guess": guess,
        "guess_source": source,
        "ccf_significance": significance,
        "master_resampled": resampled,
        "master_step": master_step * C_LIGHT,
        "n_outside_spectrum": int(len(line_list)
                                  - np.sum(n_in[seen])),
        "dropped": _reason_counts(reason),
        "history": history,
        "outlier_width": comb.outlier_width,
        "tellurics": int(telluric.shape[0]),
    }
    return Result(rv=float(rv), rv_err=float(comb.rv_err), lines=table,
                  n_used=n_used,
                  n_dropped=int(np.count_nonzero(~used)),
                  outlier_fraction=float(comb.outlier_fraction),
                  chi2_red=float(comb.chi2_red), time=data.time,
                  berv=float(berv), path=data.path,
                  err_source=data.err_source, extra=extra,
                  estimator=estimator, n_passes=n_passes,
                  converged=converged, error_scale=float(comb.error_scale),
                  flag=flag, profile=profile, frame=frame)


def flags_of(*, converged: bool, outlier_fraction: float, chi2_red: float,
             scan_edge: bool, n_used: int,
             outlier_spread: float = math.inf) -> str:
    """The warnings of a measurement as comma-separated words ("" when
    all is well).

    ``"not converged"``: the Taylor passes did not settle within
    `max_passes`; ``"outliers"``: an outlier fraction above
    `MAX_OUTLIER_FRACTION` in a broad component that is more than
    `MIN_OUTLIER_SPREAD` times as wide as the core (`outlier_spread`: its
    extra width over the typical scaled line error), so discordant lines
    rather than a heavier tail of the same scatter, as between two
    stars' line lists; ``"chi2"``: a reduced chi-square of the line
    velocities above `MAX_CHI2_RED`; ``"scan edge"``: the velocity (or the
    CCF's peak) at the end of the trial range; ``"few lines"``: fewer
    than `MIN_LINES` lines combined.
    """
    words = []
    if not converged:
        words.append("not converged")
    if outlier_fraction > MAX_OUTLIER_FRACTION and (
            outlier_spread > MIN_OUTLIER_SPREAD):
        words.append("outliers")
    if chi2_red > MAX_CHI2_RED:
        words.append("chi2")
    if scan_edge:
        words.append("scan edge")
    if n_used < MIN_LINES:
        words.append("few lines")
    return ",".join(words)


def _prepared_master(master):
    """The master as one barycentric 1-D spectrum, and its medium.

    An echelle master (2-D) is merged first
    (`quasmir_tool.template.merge_orders`); pixels it flags as not data
    become NaN (the windows that need them are dropped); a master in
    the observer's frame with a BERV is moved to the barycentre by it.
    Anything that is not a `Spectrum` is returned as it is.
    """
    if not isinstance(master, Spectrum):
        return master, "unknown"
    flux = np.asarray(master.flux)
    if flux.ndim == 2 and flux.shape[0] > 1:
        from .template import merge_orders

        master = merge_orders(master)
    medium = str(master.medium or "unknown")
    wave = np.asarray(master.wave, dtype=float)
    flux = np.asarray(master.flux, dtype=float)
    bad = master.bad
    shift = master.frame == "observer" and master.berv != 0.0
    has_bad = bad is not None and bool(np.any(bad))
    if not (shift or has_bad or wave.ndim == 2):
        return master, medium
    if has_bad:
        flux = np.where(np.asarray(bad, dtype=bool), np.nan, flux)
    if shift:
        wave = shift_wavelengths(wave, float(master.berv))
    return (wave.ravel(), flux.ravel()), medium


def _flagged_rows(spectrum, data: _Data) -> list:
    """The reader's bad-pixel mask per order (None where there is none)."""
    bad = getattr(spectrum, "bad", None)
    if bad is None:
        return [None] * len(data.wave)
    bad = np.atleast_2d(np.asarray(bad, dtype=bool))
    if bad.shape != (len(data.wave), data.wave[0].size):
        raise _fail(f"spectrum bad-pixel mask has shape {bad.shape}, not "
                    "that of its flux")
    return [row if row.any() else None for row in bad]


def _telluric_mask(tellurics, depth: float, medium: str,
                   ground_based: bool) -> np.ndarray:
    """The telluric intervals (angstrom, observer frame) to apply."""
    if tellurics is None or tellurics is False:
        return np.empty((0, 2))
    if isinstance(tellurics, str):
        if tellurics != "auto":
            raise _fail(f"tellurics must be True, False, 'auto' or an "
                        f"(n, 2) array, not {tellurics!r}")
        if not ground_based:
            return np.empty((0, 2))
        tellurics = True
    if tellurics is True:
        from .tellurics import telluric_intervals

        if not (np.isfinite(depth) and 0.0 < depth < 1.0):
            raise _fail(f"telluric_depth must lie in (0, 1), not {depth}")
        return np.asarray(telluric_intervals(depth, medium), dtype=float)
    return check_mask(tellurics, func="measure", where="tellurics")


def _ccf_orders(orders: list, master_range: tuple, mask: np.ndarray,
                telluric: np.ndarray, to_observed: float) -> list:
    """The orders for `ccf_guess`: good pixels only (no bad, NaN,
    masked or telluric pixel, none outside the master)."""
    out = []
    for w, f, _, nan_bad, flag_bad in orders:
        good = np.ones(w.size, dtype=bool)
        good[nan_bad] = False
        good[flag_bad] = False
        good &= (w > master_range[0]) & (w < master_range[1])
        observed = w * to_observed
        for intervals in (mask, telluric):
            if intervals.shape[0]:
                good &= ~_in_intervals(intervals, observed, observed)
        if np.count_nonzero(good) > 2:
            out.append(_ccf_order(w, f, good))
    return out


@functools.lru_cache(maxsize=1)
def _units():
    """Angstrom and m/s as astropy units (parsed once)."""
    import astropy.units as u

    return u.AA, u.m / u.s


def _reason_counts(reason: np.ndarray) -> dict:
    names, counts = np.unique(reason[reason != ""], return_counts=True)
    return {str(k): int(v) for k, v in zip(names, counts)}


def _one_pass(kind, orders, lo, hi, centre, wm, fm, master_bad, mask,
              telluric, to_observed, rv, sys_err, min_pixels) -> dict:
    """Fit every window of every order once at velocity `rv` (m/s)."""
    factor = doppler_factor(rv)
    parts = []
    for o, (w, f, e, bad, flagged) in enumerate(orders):
        win = make_windows(lo, hi, w, wm, rv, min_pixels=min_pixels,
                           margin=_MARGIN, mask=mask,
                           to_observed=to_observed)
        reason = win.reason
        ok = reason == ""
        if telluric.shape[0] and np.any(ok):
            # The pixels' own extent, in the observer's frame.
            k = np.flatnonzero(ok)
            near = _in_intervals(
                telluric, w[win.pix_start[k]] * to_observed,
                w[win.pix_stop[k] - 1] * to_observed)
            reason[k[near]] = "telluric"
            ok = reason == ""
        bad_pix = _n_bad(flagged, win.pix_start, win.pix_stop) > 0
        reason[ok & bad_pix] = "bad pixel"
        ok = reason == ""
        nan_pix = _n_bad(bad, win.pix_start, win.pix_stop) > 0
        reason[ok & nan_pix] = "nan pixel"
        ok = reason == ""
        ms = np.clip(win.master_start, 0, wm.size)
        me = np.clip(win.master_stop, 0, wm.size)
        nan_master = _n_bad(master_bad, ms, me) > 0
        reason[ok & nan_master] = "master not finite"
        ok = np.flatnonzero(reason == "")
        n = win.line.size
        fit = np.full((6, n), np.nan)
        if ok.size:
            ref = centre[win.line[ok]] * factor
            fit[:, ok] = np.array(_fit_windows(
                kind, w, e, f, wm, fm, win.pix_start[ok], win.pix_stop[ok],
                win.master_start[ok], win.master_stop[ok], sys_err,
                np.full(ok.size, rv), ref))
        parts.append({
            "order": np.full(n, o, dtype=np.int64), "line": win.line,
            "lo": win.lo, "hi": win.hi, "pix_start": win.pix_start,
            "pix_stop": win.pix_stop, "reason": reason,
            "scale": fit[0], "deriv1": fit[1], "third": fit[2],
            "rv": fit[3], "rv_err": fit[4], "chi2_red": fit[5]})
    return {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
