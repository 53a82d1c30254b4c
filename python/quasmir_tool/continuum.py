"""Smooth continua of spectra with gaps: clipped least-squares splines.

Real spectra have gaps (CCD gaps, masked telluric bands, orders that do
not meet) and span thousands of angstrom, over which neither one
polynomial nor one spline with evenly spread knots can follow the blaze
and the flux calibration.  `smooth_fit` cuts the data at every gap wider
than a knot step and fits each piece on its own, with knots placed where
the piece holds data.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable

import numpy as np

__all__ = ["KNOT_STEP", "smooth_fit", "upper_envelope"]


# Knots of the continuum spline every 0.01 in ln(wavelength) (3000 km/s,
# 50 A at 5000 A): finer than the blaze and the flux calibration change
# (an echelle order spans 60-100 A), coarser than any stellar line but the
# Balmer wings, which the ratio to a reference removes.
KNOT_STEP = 0.01

# Fewest points between two knots of a continuum spline.
_PER_KNOT = 8


def _segments(x: np.ndarray, gap: float) -> list[tuple[int, int]]:
    """(start, stop) of the runs of ascending `x` without a step wider
    than `gap`."""
    cut = np.flatnonzero(np.diff(x) > gap) + 1
    bounds = np.concatenate(([0], cut, [x.size]))
    return [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def _interior_knots(x: np.ndarray, knot_step: float) -> np.ndarray:
    """Knots about `knot_step` apart inside ``[x[0], x[-1]]``, each
    interval holding at least `_PER_KNOT` points (the Schoenberg-Whitney
    condition of a least-squares spline, with room to spare)."""
    span = float(x[-1] - x[0])
    n = int(span // knot_step)
    if n < 1:
        return np.empty(0)
    candidates = x[0] + span * np.arange(1, n + 1) / (n + 1)
    index = np.searchsorted(x, candidates)
    kept, last = [], 0
    for t, i in zip(candidates, index):
        if i - last >= _PER_KNOT and x.size - i >= _PER_KNOT:
            kept.append(t)
            last = int(i)
    return np.asarray(kept)


def _smooth(
    x: np.ndarray, y: np.ndarray, w: np.ndarray, knot_step: float,
    degree: int,
) -> Callable[[np.ndarray], np.ndarray] | None:
    """Weighted least-squares cubic spline of y(x), or a polynomial of
    at most `degree` when `x` spans less than one knot step; None when
    no fit can be made."""
    from scipy.interpolate import LSQUnivariateSpline

    knots = _interior_knots(x, knot_step)
    with warnings.catch_warnings():
        # Ill-conditioned fits (extreme values) are judged by their
        # results below, not by the fitters' warnings.
        warnings.simplefilter("ignore")
        if knots.size:
            try:
                return LSQUnivariateSpline(x, y, knots, w=w, k=3)
            except ValueError:  # knots the data cannot hold: a polynomial
                pass
        deg = int(min(degree, x.size - 1))
        try:
            return np.polynomial.Polynomial.fit(x, y, deg, w=w)
        except (np.linalg.LinAlgError, ValueError):
            return None


# Points per bin of a spline fit: a knot step holds thousands of pixels,
# so the weighted means of consecutive pixels carry the same curve at a
# fraction of the cost.
_BIN = 8


def _binned(
    x: np.ndarray, y: np.ndarray, w: np.ndarray, knot_step: float
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Weighted means of `_BIN` consecutive points (weights ``w = 1 /
    sigma``; the mean's weight is ``sqrt(sum w**2)``), when a knot step
    holds many more points than that; the points as they are
    otherwise."""
    n = x.size // _BIN
    if n < 4 or x.size < 16 * _BIN * max(1.0, (x[-1] - x[0]) / knot_step):
        return x, y, w
    cut = n * _BIN
    w2 = (w[:cut] ** 2).reshape(n, _BIN)
    total = w2.sum(axis=1)
    ok = total > 0
    xb = (w2 * x[:cut].reshape(n, _BIN)).sum(axis=1)[ok] / total[ok]
    yb = (w2 * y[:cut].reshape(n, _BIN)).sum(axis=1)[ok] / total[ok]
    wb = np.sqrt(total[ok])
    if cut < x.size:  # the remainder as one more bin
        w2r = w[cut:] ** 2
        if w2r.sum() > 0:
            xb = np.append(xb, np.sum(w2r * x[cut:]) / w2r.sum())
            yb = np.append(yb, np.sum(w2r * y[cut:]) / w2r.sum())
            wb = np.append(wb, np.sqrt(w2r.sum()))
    return xb, yb, wb


def smooth_fit(
    x: np.ndarray,
    y: np.ndarray,
    w: np.ndarray,
    at: np.ndarray,
    *,
    knot_step: float = KNOT_STEP,
    degree: int = 3,
    low: float = 4.0,
    high: float = 4.0,
    robust: bool = False,
    rounds: int = 8,
) -> np.ndarray:
    """A smooth curve through y(x) with asymmetric clipping, at `at`.

    `x` (ascending) is cut where a step exceeds `knot_step` (a gap, a
    masked band); each piece gets its own spline (`_smooth`), so no gap,
    however wide, is bridged.  Points more than `low` sigma below the
    curve or `high` sigma above it are left out of the next round; sigma
    is ``1 / w`` or, with `robust`, 1.4826 times the median absolute
    deviation of the kept points.  A point of `at` takes the curve of the
    piece nearest it, NaN farther than `knot_step` from any piece.
    """
    out = np.full(at.size, np.nan)
    with np.errstate(invalid="ignore"):
        finite = np.isfinite(x) & np.isfinite(y) & np.isfinite(w) & (w > 0)
    if not finite.all():
        x, y, w = x[finite], y[finite], w[finite]
    if x.size < 4 or np.any(np.diff(x) <= 0):
        return out
    pieces = [p for p in _segments(x, knot_step) if p[1] - p[0] >= 4]
    for n, (i0, i1) in enumerate(pieces):
        xs, ys, ws = x[i0:i1], y[i0:i1], w[i0:i1]
        keep = np.ones(xs.size, dtype=bool)
        curve = None
        for _ in range(rounds):
            if np.count_nonzero(keep) < 4:
                break
            with np.errstate(all="ignore"):
                xb, yb, wb = _binned(xs[keep], ys[keep], ws[keep],
                                     knot_step)
            if not (np.isfinite(xb).all() and np.isfinite(yb).all()
                    and np.isfinite(wb).all()):
                break
            fit = _smooth(xb, yb, wb, knot_step, degree)
            if fit is None:
                break
            curve = fit
            with np.errstate(all="ignore"):
                resid = ys - curve(xs)
                if robust:
                    r = resid[keep]
                    mad = np.median(np.abs(r - np.median(r)))
                    sigma = max(1.4826 * mad, 1e-12 * np.max(np.abs(ys)))
                    z = resid / sigma
                else:
                    z = resid * ws
                new = (z > -low) & (z < high)
            if np.array_equal(new, keep):
                break
            keep = new
        if curve is None:
            continue
        left = xs[0] - knot_step
        if n > 0:
            left = max(left, 0.5 * (x[pieces[n - 1][1] - 1] + xs[0]))
        right = xs[-1] + knot_step
        if n + 1 < len(pieces):
            right = min(right, 0.5 * (xs[-1] + x[pieces[n + 1][0]]))
        sel = (at >= left) & (at <= right)
        with np.errstate(all="ignore"):
            out[sel] = curve(at[sel])
    return out


def upper_envelope(
    wave: np.ndarray, flux: np.ndarray, window: int = 64,
    knot_step: float = KNOT_STEP, at: np.ndarray | None = None,
) -> np.ndarray:
    """Continuum from a running upper percentile.

    The 95th percentile of the flux in consecutive bins of `window`
    pixels (within each run without a gap), then a smooth curve
    (`smooth_fit`) through those points, fitted while points more than 2
    (robust) sigma below it (bins filled by lines) or 3 sigma above it
    are left out.  Returned at `wave` (default) or at `at`.
    """
    x = np.log(wave)
    xb, yb = [], []
    for i0, i1 in _segments(x, knot_step):
        n = max(1, (i1 - i0) // window)
        size = (i1 - i0) // n
        cut = i0 + n * size
        xs = x[i0:cut].reshape(n, size)
        ys = flux[i0:cut].reshape(n, size)
        xb.append(xs.mean(axis=1))
        yb.append(np.percentile(ys, 95.0, axis=1))
    xb_all = np.concatenate(xb)
    yb_all = np.concatenate(yb)
    where = x if at is None else np.log(at)
    return smooth_fit(
        xb_all, yb_all, np.ones(xb_all.size), where, knot_step=knot_step,
        low=2.0, high=3.0, robust=True, rounds=10,
    )
