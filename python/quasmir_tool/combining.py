"""Combining per-line velocities into one velocity per spectrum.

Each line ``i`` gives a velocity ``v_i`` (m/s) with a 1-sigma error
``s_i`` (m/s).  Most lines scatter about the star's velocity ``V`` as their
errors say, perhaps with all errors too small by a common factor ``k``;
a few lines (blends, cosmics, telluric residues, a bad master region) are
outliers.  Following the mixture model of Artigau et al. (2022, AJ 164,
84), the velocities are described jointly as

    p(v_i) = (1 - f) N(v_i; V, k s_i) + f N(v_i; V, sqrt(w**2 + k**2 s_i**2))

a core of the lines' own Gaussian errors and a broad component of extra
width ``w`` that holds the outliers, with outlier fraction ``f``.  The four
parameters (V, k, f, w) are fitted together by expectation-maximisation;
each line's probability of belonging to the core weights it in the mean.
``k`` never falls below 1: when the lines scatter more than their errors
say the error of ``V`` grows to match, but it never shrinks below what
the lines' errors give.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np


@dataclass
class Combination:
    """The combined velocity of a set of lines.

    Attributes
    ----------
    rv : float
        Combined velocity (m/s).
    rv_err : float
        Its 1-sigma error (m/s), including the error scale `error_scale`.
    outlier_fraction : float
        Fitted fraction ``f`` of lines in the broad component.
    outlier_width : float
        Extra width ``w`` (m/s) of the broad component.
    error_scale : float
        Factor ``k >= 1`` applied to the lines' errors.
    chi2_red : float
        ``sum p_i (v_i - rv)**2 / s_i**2 / (sum p_i - 1)`` with ``p_i``
        the core probabilities (NaN for a single line).
    p_outlier : numpy.ndarray
        Each line's probability of being an outlier (NaN where the input
        is not finite).
    n_used : int
        Lines with a finite velocity and a positive finite error.
    n_iter : int
        Iterations of the fit.
    """

    rv: float
    rv_err: float
    outlier_fraction: float
    outlier_width: float
    error_scale: float
    chi2_red: float
    p_outlier: np.ndarray
    n_used: int
    n_iter: int


def weighted_mean(v: np.ndarray, err: np.ndarray) -> tuple[float, float]:
    """Inverse-variance weighted mean and its error.

    Parameters
    ----------
    v, err : numpy.ndarray
        Values (m/s) and their 1-sigma errors (m/s), positive.

    Returns
    -------
    mean, mean_err : float
        In m/s.
    """
    w = 1.0 / np.square(err)
    total = float(np.sum(w))
    return float(np.sum(w * v) / total), float(1.0 / np.sqrt(total))


def weighted_median(v: np.ndarray, weight: np.ndarray) -> float:
    """Weighted median: the value at half the cumulative weight.

    Parameters
    ----------
    v : numpy.ndarray
        Values (any unit).
    weight : numpy.ndarray
        Non-negative weights, not all zero.

    Returns
    -------
    float
        The weighted median, in the unit of `v`.
    """
    order = np.argsort(v, kind="stable")
    cum = np.cumsum(weight[order])
    k = int(np.searchsorted(cum, 0.5 * cum[-1]))
    return float(v[order][min(k, v.size - 1)])


def _core_probability(r2: np.ndarray, s2: np.ndarray, k: float, f: float,
                      w2: float) -> np.ndarray:
    """Probability that each line belongs to the core (not the outliers).

    ``p = core / (core + broad)`` with ``core = (1 - f) N(r; 0, k s)`` and
    ``broad = f N(r; 0, sqrt(w2 + k**2 s**2))``, written as a logistic of
    the log ratio so that it stays finite far out.
    """
    return _core_probability_of(r2, (k * k) * s2, f, w2)


def _core_probability_of(r2: np.ndarray, core2: np.ndarray, f: float,
                         w2: float) -> np.ndarray:
    """`_core_probability` given the core variances ``k**2 s**2``."""
    broad2 = w2 + core2
    log_ratio = (math.log(f) - math.log1p(-f)
                 - 0.5 * (r2 / broad2 - r2 / core2 + np.log(broad2 / core2)))
    np.minimum(log_ratio, 700.0, out=log_ratio)
    np.exp(log_ratio, out=log_ratio)
    log_ratio += 1.0
    return np.divide(1.0, log_ratio, out=log_ratio)


def combine(rv: np.ndarray, rv_err: np.ndarray, *, max_iter: int = 500,
            tol: float = 1e-4, min_fraction: float = 1e-3,
            max_fraction: float = 0.5) -> Combination:
    """Combine line velocities with a Gaussian-plus-outlier mixture.

    Parameters
    ----------
    rv : numpy.ndarray
        Line velocities (m/s).  Non-finite entries are ignored.
    rv_err : numpy.ndarray
        Their 1-sigma errors (m/s).  Entries that are not finite and
        positive are ignored.
    max_iter : int
        Maximum number of EM iterations.
    tol : float
        Stop when the velocity moves by less than `tol` times its error
        and the fraction and the error scale by less than `tol`.
    min_fraction, max_fraction : float
        Bounds of the outlier fraction.  The lower bound keeps the broad
        component alive, so a strongly deviant line is always
        down-weighted; the upper bound keeps the core the majority.

    Returns
    -------
    Combination
        NaN velocity and error when no line is usable.
    """
    rv = np.asarray(rv, dtype=float)
    rv_err = np.asarray(rv_err, dtype=float)
    good = np.isfinite(rv) & np.isfinite(rv_err) & (rv_err > 0.0)
    p_out = np.full(rv.shape, np.nan)
    n = int(np.count_nonzero(good))
    if n == 0:
        return Combination(np.nan, np.nan, np.nan, np.nan, np.nan, np.nan,
                           p_out, 0, 0)
    v, s = rv[good], rv_err[good]
    if n == 1:
        p_out[good] = 0.0
        return Combination(float(v[0]), float(s[0]), 0.0, 0.0, 1.0, np.nan,
                           p_out, 1, 0)
    s2 = np.square(s)

    # Start: weighted median; robust width of the normalised residuals.
    centre = weighted_median(v, 1.0 / s2)
    z = (v - centre) / s
    k = max(1.0, 1.4826 * float(np.median(np.abs(z))))
    median_s2 = float(np.median(s2))
    spread = float(np.median(np.abs(v - centre)))
    w2 = max(median_s2 * k * k, (10.0 * 1.4826 * spread) ** 2)
    f = 0.05
    n_iter = 0
    # Each iteration's squared residuals and core variances are those the
    # previous one ended with (same centre, same k): computed once.
    r2 = np.square(v - centre)
    core2 = (k * k) * s2
    for n_iter in range(1, max_iter + 1):  # noqa: B007
        p = _core_probability_of(r2, core2, f, w2)
        q = 1.0 - p
        weight = p / s2
        sum_w = weight.sum()
        new_centre = float((weight * v).sum() / sum_w)
        r2 = np.square(v - new_centre)
        sum_p = p.sum()
        new_k = max(1.0, math.sqrt(float((p * r2 / s2).sum() / sum_p)))
        new_f = min(max(1.0 - sum_p / n, min_fraction), max_fraction)
        # One fixed-point step of the broad width's M-step (no closed
        # form with heteroscedastic errors): a q / broad**4 weighted
        # moment of the excess residual.
        core2 = (new_k * new_k) * s2
        b4 = np.square(w2 + core2)
        sum_q = (q / b4).sum()
        if sum_q > 0.0:
            w2 = float((q * (r2 - core2) / b4).sum() / sum_q)
        w2 = max(w2, median_s2 * new_k * new_k)
        err = new_k / math.sqrt(sum_w)
        done = (abs(new_centre - centre) < tol * err
                and abs(new_f - f) < tol and abs(new_k - k) < tol)
        centre, f, k = new_centre, new_f, new_k
        if done:
            break

    core2 = (k * k) * s2
    p = _core_probability(np.square(v - centre), s2, k, f, w2)
    weight = p / core2
    centre = float(np.sum(weight * v) / np.sum(weight))
    # Error of a weighted mean with weights p / (k s)**2 (sandwich form).
    err = float(np.sqrt(np.sum(np.square(weight) * core2))
                / np.sum(weight))
    sum_p = float(np.sum(p))
    chi2 = float(np.sum(p * np.square(v - centre) / s2) / (sum_p - 1.0)) \
        if sum_p > 1.0 else np.nan
    p_out[good] = 1.0 - p
    return Combination(rv=centre, rv_err=err,
                       outlier_fraction=float(np.mean(1.0 - p)),
                       outlier_width=float(np.sqrt(w2)), error_scale=k,
                       chi2_red=chi2, p_outlier=p_out, n_used=n,
                       n_iter=n_iter)
