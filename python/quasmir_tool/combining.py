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


# Values beyond these magnitudes only come from degenerate fits (a scale
# near zero); squared and divided by each other in the fit they would
# overflow and turn every line's weight into NaN.  Real velocities are below
# c and their errors above a micrometre per second: the bounds leave
# twenty orders of magnitude on either side.
LARGEST = 1e30
SMALLEST_ERROR = 1e-30


def usable(v: np.ndarray, err: np.ndarray) -> np.ndarray:
    """Which values enter a combination: finite, with a positive error,
    and within the bounds (``|v| < 1e30``, ``1e-30 < err < 1e30``).

    Parameters
    ----------
    v, err : numpy.ndarray
        Values and their 1-sigma errors (same unit).

    Returns
    -------
    numpy.ndarray
        Boolean mask.
    """
    v = np.asarray(v, dtype=float)
    err = np.asarray(err, dtype=float)
    with np.errstate(invalid="ignore"):
        return (np.abs(v) < LARGEST) & (err > SMALLEST_ERROR) & (
            err < LARGEST)


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


class _EMStep:
    """One iteration of the mixture fit, ``(V, k, f, w2) -> (V', k', f',
    w2')``: the E-step's core probabilities, then the velocity, the error
    scale, the fraction and one fixed-point step of the broad width's
    M-step (no closed form with heteroscedastic errors: a q / broad**4
    weighted moment of the excess residual), each from the ones before
    it."""

    def __init__(self, v, s2, median_s2, min_fraction, max_fraction):
        self.v, self.s2, self.median_s2 = v, s2, median_s2
        self.bounds = (min_fraction, max_fraction)

    def __call__(self, theta):
        """The next parameters and the velocity's error (m/s)."""
        centre, k, f, w2 = theta
        v, s2 = self.v, self.s2
        p = _core_probability_of(np.square(v - centre), (k * k) * s2, f,
                                 w2)
        q = 1.0 - p
        weight = p / s2
        sum_w = weight.sum()
        centre = float((weight * v).sum() / sum_w)
        r2 = np.square(v - centre)
        sum_p = p.sum()
        k = max(1.0, math.sqrt(float((p * r2 / s2).sum() / sum_p)))
        f = min(max(1.0 - sum_p / v.size, self.bounds[0]), self.bounds[1])
        core2 = (k * k) * s2
        # Lines whose errors are many orders of magnitude apart can take
        # broad**4 past the largest double: inf, whose weight 0 is the
        # limit.
        with np.errstate(over="ignore"):
            b4 = np.square(w2 + core2)
        sum_q = (q / b4).sum()
        if sum_q > 0.0:
            w2 = float((q * (r2 - core2) / b4).sum() / sum_q)
        # (No weight at all, only where an extrapolated jump went astray:
        # an infinite error, which the caller rejects.)
        err = k / math.sqrt(sum_w) if sum_w > 0.0 else math.inf
        return (centre, k, f, self.floor(w2, k)), err

    def floor(self, w2, k):
        """The broad component is never narrower than a typical line's
        core."""
        return max(w2, self.median_s2 * k * k)

    def project(self, theta):
        """`theta` moved into the parameters' domain."""
        centre, k, f, w2 = theta
        k = max(1.0, k)
        f = min(max(f, self.bounds[0]), self.bounds[1])
        return centre, k, f, self.floor(w2, k)

    def neg_log_likelihood(self, theta):
        centre, k, f, w2 = theta
        r2 = np.square(self.v - centre)
        core2 = (k * k) * self.s2
        broad2 = w2 + core2
        core = math.log1p(-f) - 0.5 * (r2 / core2 + np.log(core2))
        broad = math.log(f) - 0.5 * (r2 / broad2 + np.log(broad2))
        return -float(np.logaddexp(core, broad).sum())


def _fixed_point(step: _EMStep, theta: tuple, max_iter: int,
                 tol: float) -> tuple:
    """Iterate `step` from `theta` to its fixed point, accelerated.

    Near a fraction that tends to its bound (clean lines: the broad
    component empties) the plain iteration converges linearly and slowly,
    by about 2% per iteration.  SQUAREM (Varadhan & Roland 2008, Scand. J.
    Stat. 35, 335) extrapolates along two plain steps, with the step
    length taken on parameters scaled to their own units; the
    extrapolated point, moved into the domain and followed by one plain
    step, is kept only when it fits the lines no worse than the two plain
    steps did.  The stop is the plain iteration's: one step that moves
    the velocity by less than `tol` times its error and the fraction and
    the error scale by less than `tol`.

    Returns
    -------
    (centre, k, f, w2, n_iter)
        `n_iter` counts the steps taken.
    """
    def settled(a, b, err):
        return (abs(b[0] - a[0]) < tol * err and abs(b[2] - a[2]) < tol
                and abs(b[1] - a[1]) < tol)

    n_iter = 0
    while n_iter + 2 <= max_iter:
        one, err = step(theta)
        n_iter += 1
        if settled(theta, one, err):
            return (*one, n_iter)
        two, err = step(one)
        n_iter += 1
        if settled(one, two, err):
            return (*two, n_iter)
        units = np.array([err, 1.0, 1.0, step.median_s2])
        t0, t1, t2 = np.array(theta), np.array(one), np.array(two)
        r = t1 - t0
        curve = t2 - t1 - r
        # hypot: no overflow on the way to a norm that is finite.
        size = math.hypot(*(curve / units))
        theta = two
        if not 0.0 < size < math.inf or n_iter == max_iter:
            continue
        alpha = min(-math.hypot(*(r / units)) / size, -1.0)
        jump = step.project(tuple(t0 - 2.0 * alpha * r
                                  + alpha * alpha * curve))
        if not all(map(math.isfinite, jump)):
            continue
        # A long jump can land where the arithmetic overflows: its NaN
        # likelihood compares false, and the plain steps stand.
        with np.errstate(all="ignore"):
            three, err = step(jump)
            better = step.neg_log_likelihood(three) <= \
                step.neg_log_likelihood(two)
        n_iter += 1
        if better and all(map(math.isfinite, (*three, err))):
            theta = three
            if settled(jump, three, err):
                return (*three, n_iter)
    if n_iter < max_iter:  # an odd max_iter: the last plain step
        theta, _ = step(theta)
        n_iter += 1
    return (*theta, n_iter)


def combine(rv: np.ndarray, rv_err: np.ndarray, *, max_iter: int = 500,
            tol: float = 1e-4, min_fraction: float = 1e-3,
            max_fraction: float = 0.5) -> Combination:
    """Combine line velocities with a Gaussian-plus-outlier mixture.

    Parameters
    ----------
    rv : numpy.ndarray
        Line velocities (m/s).
    rv_err : numpy.ndarray
        Their 1-sigma errors (m/s).  Lines that are not `usable` (not
        finite, an error not positive, or beyond the bounds of degenerate
        fits) are ignored.
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
    good = usable(rv, rv_err)
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
    step = _EMStep(v, s2, median_s2, min_fraction, max_fraction)
    centre, k, f, w2, n_iter = _fixed_point(step, (centre, k, 0.05, w2),
                                            max_iter, tol)

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
