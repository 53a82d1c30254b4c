"""Measuring one spectrum against a master: the first guess, the iterated
line-by-line Taylor fit and the combination of the lines.

The steps, for one spectrum (velocities in m/s, wavelengths in angstrom):

1. The BERV moves the spectrum's wavelengths to the barycentric frame with
   the core's relativistic Doppler factor.
2. A master sampled coarser than a fifth of the spectrum's pixel step is
   resampled with a cubic spline onto a grid at a tenth of that step:
   the core interpolates the master linearly and differentiates it by
   forward differences, both of which bias the velocity on a coarse grid.
   The grid starts at the master's first point, so that every spectrum
   of one instrument asks for the same one: the last two resampled
   masters are kept (keyed by a digest of the master's bytes).
3. Every line gets a window of pixels (see `lines.window_edges`).
4. A first guess comes from a trial-velocity scan of the strongest lines
   (``quasmir.get_RV_line_by_line``: the minimum of the summed chi-square,
   refined by a parabola), or from `rv_guess`.
5. The Taylor fit runs over every window with the master shifted by the
   current velocity and ``lambda_ref`` the line's centre at that velocity;
   the line velocities are combined robustly (`combining.combine`) into
   the next velocity, and the windows move with it.  The passes stop when
   the velocity changes by less than a hundredth of its error.
"""

from __future__ import annotations

import functools
import hashlib
import os
import threading
from collections import OrderedDict
from dataclasses import dataclass, field

import numpy as np

import quasmir

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
        ``"masked"``, ``"nan pixel"``, ``"master not finite"``,
        ``"fit failed"``) and ``p_outlier``.
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
        Details: ``rv_guess`` (m/s), ``guess_source`` (``"scan"`` or
        ``"given"``), ``master_resampled``, ``master_step`` (m/s per point
        of the master used), ``n_outside_spectrum`` (lines with no pixel
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


def _run_extreme(ufunc, values: np.ndarray, start: np.ndarray,
                 stop: np.ndarray) -> np.ndarray:
    """``ufunc.reduce(values[start[k]:stop[k]])`` for every k; the runs
    are ascending, disjoint and non-empty."""
    if not start.size:
        return np.empty(0)
    last = stop[-1] == values.size  # reduceat cannot end at the size
    cut = start.size - 1 if last else start.size
    pairs = np.empty(2 * cut, dtype=np.int64)
    pairs[0::2], pairs[1::2] = start[:cut], stop[:cut]
    out = ufunc.reduceat(values, pairs)[0::2] if cut else np.empty(0)
    if last:
        out = np.r_[out, ufunc.reduce(values[start[-1]:])]
    return out


def _scan_guess(orders, edges, wm, fm, master_bad, sys_err: float,
                scan_range: float, n_lines: int, step: float) -> float:
    """Velocity (m/s) at the minimum of the summed scan chi-square.

    The `n_lines` deepest lines (by the master's contrast across their
    windows) are scanned with ``quasmir.get_RV_line_by_line`` over trial
    velocities in ``[-scan_range, scan_range]`` at `step`.  Each line
    brings the pixels its window covers over the whole trial range (one
    fixed set for all trials, so the chi-squares compare: with pixels
    that moved with the trials, a continuum patch fitted by a scale near
    0 and an offset would look as good as the line).  The chi-squares of
    all lines are summed and the minimum refined by a parabola through
    it and its two neighbours.
    """
    lo, hi = edges
    d_lo, d_hi = doppler_factor(-scan_range), doppler_factor(scan_range)
    # The candidates of every order, all at once: no pixel bad, the master
    # finite over the reach, at least two master points in the window;
    # ranked by their contrast (stable: ties keep order and line order).
    parts = []
    for o, (w, _, _, bad) in enumerate(orders):
        m0 = np.searchsorted(wm, lo * d_lo / d_hi) - _MARGIN
        m1 = np.searchsorted(wm, hi * d_hi / d_lo) + _MARGIN
        i0 = np.searchsorted(w, lo * d_lo)
        i1 = np.searchsorted(w, hi * d_hi)
        inside = ((lo * d_lo >= w[0]) & (hi * d_hi <= w[-1]) & (m0 >= 0)
                  & (m1 <= wm.size) & (i1 - i0 > 4))
        idx = np.flatnonzero(inside)
        idx = idx[_n_bad(bad, i0[idx], i1[idx]) == 0]
        idx = idx[_n_bad(master_bad, m0[idx], m1[idx]) == 0]
        a = np.searchsorted(wm, lo[idx])
        b = np.searchsorted(wm, hi[idx])
        keep = b - a >= 2
        idx, a, b = idx[keep], a[keep], b[keep]
        contrast = 1.0 - _run_extreme(np.minimum, fm, a, b) / \
            _run_extreme(np.maximum, fm, a, b)
        parts.append((contrast, np.full(idx.size, o), i0[idx], i1[idx],
                      m0[idx], m1[idx]))
    contrast, order, i0, i1, m0, m1 = (np.concatenate(c)
                                       for c in zip(*parts))
    if not contrast.size:
        raise _fail("no line of the spectrum can be scanned: the master "
                    "does not cover the trial velocities (give rv_guess, "
                    "or a smaller scan_range)")
    best = np.argsort(-contrast, kind="stable")[:n_lines]
    cands = [(None, int(order[k]), int(i0[k]), int(i1[k]), int(m0[k]),
              int(m1[k])) for k in best]
    trials = np.arange(-scan_range, scan_range + 0.5 * step, step)
    total = np.zeros(trials.size)
    for _, o, i0, i1, m0, m1 in cands:
        w, f, e, _ = orders[o]
        chi2_red = quasmir.get_RV_line_by_line(
            trials, w[i0:i1], e[i0:i1], f[i0:i1], wm[m0:m1], fm[m0:m1],
            sys_err)[2]
        total += np.asarray(chi2_red) * (i1 - i0 - 3)
    total[~np.isfinite(total)] = np.inf
    k = int(np.argmin(total))
    if not np.isfinite(total[k]) or k == 0 or k == trials.size - 1:
        raise _fail(f"the velocity scan over +-{scan_range / 1000:g} km/s "
                    "found no minimum (give rv_guess, or a larger "
                    "scan_range)")
    y0, y1, y2 = total[k - 1], total[k], total[k + 1]
    denom = y0 - 2.0 * y1 + y2
    delta = 0.5 * (y0 - y2) / denom if denom > 0.0 else 0.0
    return float(trials[k] + np.clip(delta, -1.0, 1.0) * step)


# ----------------------------------------------------------------------
# measure


def measure(spectrum, master, lines=None, *, mask=None,
            estimator: str = "first", sys_err: float = 0.0,
            rv_guess: float | None = None, max_passes: int = 10,
            resample: int | None = 10, berv: float | None = None,
            reach: float = 30000.0, scan_range: float = 200000.0,
            scan_lines: int = 3, line_threshold: float = 0.05,
            min_pixels: int | None = None,
            min_window: float = 16.0) -> Result:
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
        First guess (m/s); default: a trial-velocity scan.
    max_passes : int
        Most passes of the Taylor fit; ``1`` with `rv_guess` fits every
        window exactly once.
    resample : int or None
        A master coarser than a fifth of the spectrum's pixel step is
        resampled by a cubic spline to ``1 / resample`` of that step
        (default 10); None or 0 never resamples.
    berv : float, optional
        Barycentric correction (m/s); default ``spectrum.berv``.  The
        spectrum is moved to the barycentric frame by the Doppler factor
        of the BERV.
    reach : float
        Half-width (m/s) of an isolated line's window (lines closer than
        that split at their midpoint).
    scan_range : float
        The scan tries velocities (m/s) in ``[-scan_range, scan_range]``.
    scan_lines : int
        Number of the deepest lines the scan uses.
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

    Returns
    -------
    Result
        Velocity (m/s) and error (m/s), the per-line table and counts.

    Raises
    ------
    InputError
        Bad arrays (shapes, non-finite or non-ascending wavelengths, no
        errors), a spectrum outside the master, an empty line list, an
        unknown estimator or option value, a scan without a minimum, or
        no line left to measure.
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
        resample = 10
    if resample is not None and resample is not False and not _is_count(
            resample, 0):
        raise _fail(f"resample must be a non-negative integer, not "
                    f"{resample!r}")
    if not _is_count(scan_lines, 1):
        raise _fail(f"scan_lines must be a positive integer, not "
                    f"{scan_lines!r}")
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
    data = _to_data(spectrum, "spectrum", need_err=True)
    mdata = _to_data(master, "master", need_err=False)
    if berv is None:
        berv = data.berv
    if not np.isfinite(berv) or abs(berv) >= 0.1 * C_LIGHT:
        raise _fail(f"berv must be finite and well below c, not {berv}")
    wm, fm = mdata.wave[0], mdata.flux[0]
    if isinstance(mask, (str, os.PathLike)):
        mask = read_mask(mask)
    mask = check_mask(mask, func="measure", where="mask")

    # Barycentric wavelengths, as the core shifts its master.
    # (A BERV of 0 leaves them as they are, bit for bit.)
    waves = [np.ascontiguousarray(shift_wavelengths(w, berv))
             if berv != 0.0 else w for w in data.wave]
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

    # Bad pixels (non-finite flux or error, error <= 0) by their sorted
    # indices: a window's count is the difference of two searches.
    orders = []
    for w, f, e in zip(waves, data.flux, data.flux_err):
        with np.errstate(invalid="ignore"):
            good = e > 0.0
        good &= np.isfinite(f)
        good &= np.isfinite(e)
        orders.append((w, f, e, np.flatnonzero(~good)))
    if master_bad is None:
        master_bad = np.flatnonzero(~np.isfinite(fm))

    # -- first guess ----------------------------------------------------------
    if rv_guess is None:
        # Two pixels per trial: the chi-square valley of a line is a
        # resolution element (3 pixels) wide or more.
        step = 2.0 * pix_step * C_LIGHT
        rv = _scan_guess(orders, (lo, hi), wm, fm, master_bad, sys_err,
                         scan_range, scan_lines, step)
        source = "scan"
    else:
        rv = float(rv_guess)
        source = "given"
    guess = rv

    # -- Taylor passes --------------------------------------------------------
    history = []
    converged = False
    n_passes = 0
    for n_passes in range(1, int(max_passes) + 1):  # noqa: B007
        rows = _one_pass(kind, orders, lo, hi, centre, wm, fm, master_bad,
                         mask, to_observed, rv, sys_err, min_pixels)
        comb = combine(rows["rv"], rows["rv_err"])
        if not np.isfinite(comb.rv):
            counts = _reason_counts(rows["reason"])
            detail = ", ".join(f"{v} {k}" for k, v in counts.items())
            raise _fail("no line could be measured"
                        + (f" ({detail})" if detail else
                           " (no line window holds pixels)"))
        change = comb.rv - rv
        rv = comb.rv
        history.append(rv)
        if abs(change) < 0.01 * comb.rv_err:
            converged = True
            break

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
    extra = {
        "rv_guess": guess,
        "guess_source": source,
        "master_resampled": resampled,
        "master_step": master_step * C_LIGHT,
        "n_outside_spectrum": int(len(line_list)
                                  - np.sum(n_in[seen])),
        "dropped": _reason_counts(reason),
        "history": history,
        "outlier_width": comb.outlier_width,
    }
    return Result(rv=float(rv), rv_err=float(comb.rv_err), lines=table,
                  n_used=int(np.count_nonzero(used)),
                  n_dropped=int(np.count_nonzero(~used)),
                  outlier_fraction=float(comb.outlier_fraction),
                  chi2_red=float(comb.chi2_red), time=data.time,
                  berv=float(berv), path=data.path,
                  err_source=data.err_source, extra=extra,
                  estimator=estimator, n_passes=n_passes,
                  converged=converged, error_scale=float(comb.error_scale))


@functools.lru_cache(maxsize=1)
def _units():
    """Angstrom and m/s as astropy units (parsed once)."""
    import astropy.units as u

    return u.AA, u.m / u.s


def _reason_counts(reason: np.ndarray) -> dict:
    names, counts = np.unique(reason[reason != ""], return_counts=True)
    return {str(k): int(v) for k, v in zip(names, counts)}


def _one_pass(kind, orders, lo, hi, centre, wm, fm, master_bad, mask,
              to_observed, rv, sys_err, min_pixels) -> dict:
    """Fit every window of every order once at velocity `rv` (m/s)."""
    factor = doppler_factor(rv)
    parts = []
    for o, (w, f, e, bad) in enumerate(orders):
        win = make_windows(lo, hi, w, wm, rv, min_pixels=min_pixels,
                           margin=_MARGIN, mask=mask,
                           to_observed=to_observed)
        reason = win.reason
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
