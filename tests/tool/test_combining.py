"""The robust combination of line velocities: a Gaussian core of the
lines' own errors plus a broad outlier component, fitted jointly."""

import numpy as np
import pytest

from quasmir_tool.activity import chromatic_slope
from quasmir_tool.combining import (
    combine,
    usable,
    weighted_mean,
    weighted_median,
)


def lines(rng, n=800, scale=1.0):
    """Line errors spread like a real star's (30 m/s to 3 km/s) and
    velocities scattered by `scale` times those errors about 0."""
    err = 10.0 ** rng.uniform(1.5, 3.5, n)
    return rng.normal(0.0, scale * err), err


def test_clean_lines_give_the_weighted_mean():
    rng = np.random.default_rng(1)
    v, err = lines(rng)
    mean, mean_err = weighted_mean(v, err)
    c = combine(v, err)
    assert c.rv == pytest.approx(mean, abs=0.05 * mean_err)
    # The error is the weighted mean's, times the fitted error scale,
    # which only sampling noise lifts above 1 here.
    assert c.rv_err == pytest.approx(c.error_scale * mean_err, rel=0.01)
    assert c.error_scale == pytest.approx(1.0, abs=0.06)
    assert c.outlier_fraction < 0.01
    assert c.n_used == v.size


@pytest.mark.parametrize("fraction", [0.05, 0.2, 0.4])
@pytest.mark.parametrize("offset", [3000.0, -20000.0])
def test_injected_outliers_do_not_move_the_velocity(fraction, offset):
    rng = np.random.default_rng(2)
    v, err = lines(rng)
    _, clean_err = weighted_mean(v, err)
    bad = rng.random(v.size) < fraction
    v[bad] += offset + rng.normal(0.0, 0.3 * abs(offset), bad.sum())
    c = combine(v, err)
    naive, _ = weighted_mean(v, err)
    assert abs(naive) > 5.0 * clean_err  # the outliers do matter ...
    assert abs(c.rv) < 3.0 * c.rv_err  # ... but not to the mixture
    assert c.rv_err < 1.5 * clean_err
    # Outliers within the errors of the weak lines cannot be told from
    # good lines (and weak good lines share the broad component's
    # probability): the fraction is exact only for clear outliers.
    if abs(offset) > 10000.0:
        assert c.outlier_fraction == pytest.approx(bad.mean(), abs=0.04)
    else:
        assert 0.5 * bad.mean() < c.outlier_fraction < 1.5 * bad.mean()
    # The lines that stand out are the injected ones.
    far = np.abs(v - c.rv) > 10.0 * err
    assert np.all(c.p_outlier[far] > 0.99)
    # Good lines keep their weight where it matters: the precise ones.
    w = 1.0 / err[~bad] ** 2
    assert np.sum(w * c.p_outlier[~bad]) / np.sum(w) < 0.1


@pytest.mark.parametrize("scale", [1.5, 3.0])
def test_error_grows_with_excess_scatter(scale):
    rng = np.random.default_rng(3)
    v, err = lines(rng, scale=scale)
    _, formal = weighted_mean(v, err)
    c = combine(v, err)
    assert c.error_scale == pytest.approx(scale, rel=0.1)
    assert c.rv_err == pytest.approx(scale * formal, rel=0.1)
    assert c.chi2_red == pytest.approx(scale**2, rel=0.2)


def test_errors_are_honest_over_many_sets():
    """The reported error matches the scatter of the combined velocity,
    with and without outliers."""
    rng = np.random.default_rng(4)
    pulls = []
    for k in range(300):
        v, err = lines(rng, n=300)
        if k % 2:
            bad = rng.random(v.size) < 0.1
            v[bad] += rng.normal(2000.0, 5000.0, bad.sum())
        c = combine(v, err)
        pulls.append(c.rv / c.rv_err)
    pulls = np.array(pulls)
    assert 0.9 < np.std(pulls) < 1.1
    assert abs(np.mean(pulls)) < 3.0 / np.sqrt(pulls.size)


def test_unusable_entries_are_ignored():
    rng = np.random.default_rng(5)
    v, err = lines(rng, n=200)
    ref = combine(v, err)
    v2 = np.r_[v, np.nan, 1e6, 5.0, np.inf]
    err2 = np.r_[err, 10.0, np.nan, 0.0, 10.0]
    c = combine(v2, err2)
    assert c.n_used == v.size
    assert c.rv == ref.rv and c.rv_err == ref.rv_err
    assert np.all(np.isnan(c.p_outlier[v.size:]))


def test_degenerate_sets():
    none = combine(np.array([np.nan]), np.array([1.0]))
    assert np.isnan(none.rv) and none.n_used == 0
    one = combine(np.array([12.0]), np.array([3.0]))
    assert (one.rv, one.rv_err, one.n_used) == (12.0, 3.0, 1)
    two = combine(np.array([1.0, 3.0]), np.array([1.0, 1.0]))
    assert two.rv == pytest.approx(2.0)


def test_weighted_median():
    v = np.array([5.0, 1.0, 3.0, 100.0])
    assert weighted_median(v, np.ones(4)) in (3.0, 5.0)
    assert weighted_median(v, np.array([0.0, 0.0, 0.0, 1.0])) == 100.0


def literal_em(v, s, max_iter=500, tol=1e-4, min_fraction=1e-3,
               max_fraction=0.5):
    """The mixture's iteration written out plainly, every quantity
    recomputed from the current parameters: (centre, k, f, w2, n_iter)
    at the stop, the final velocity in place of the centre."""
    import math

    def core_probability(r2, k, f, w2):
        core2 = (k * k) * s2
        broad2 = w2 + core2
        log_ratio = (math.log(f) - math.log1p(-f) - 0.5 * (
            r2 / broad2 - r2 / core2 + np.log(broad2 / core2)))
        return 1.0 / (1.0 + np.exp(np.minimum(log_ratio, 700.0)))

    s2 = np.square(s)
    centre = weighted_median(v, 1.0 / s2)
    k = max(1.0, 1.4826 * float(np.median(np.abs((v - centre) / s))))
    median_s2 = float(np.median(s2))
    spread = float(np.median(np.abs(v - centre)))
    w2 = max(median_s2 * k * k, (10.0 * 1.4826 * spread) ** 2)
    f = 0.05
    for n_iter in range(1, max_iter + 1):  # noqa: B007
        p = core_probability(np.square(v - centre), k, f, w2)
        q = 1.0 - p
        weight = p / s2
        sum_w = weight.sum()
        new_centre = float((weight * v).sum() / sum_w)
        r2 = np.square(v - new_centre)
        sum_p = p.sum()
        new_k = max(1.0, math.sqrt(float((p * r2 / s2).sum() / sum_p)))
        new_f = min(max(1.0 - sum_p / v.size, min_fraction), max_fraction)
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
    p = core_probability(np.square(v - centre), k, f, w2)
    weight = p / ((k * k) * s2)
    return float(np.sum(weight * v) / np.sum(weight)), k, w2, n_iter


def random_set(seed):
    """Lines with excess scatter and outliers of every size, from 2 to
    3000 lines."""
    rng = np.random.default_rng(seed)
    v, err = lines(rng, n=int(rng.choice([2, 3, 5, 10, 50, 300, 3000])),
                   scale=rng.uniform(0.8, 3.0))
    bad = rng.random(v.size) < rng.uniform(0.0, 0.45)
    v[bad] += rng.normal(rng.uniform(-5.0, 5.0), rng.uniform(1.0, 50.0),
                         bad.sum()) * err[bad]
    return v, err


@pytest.mark.parametrize("seed", range(40))
def test_the_fixed_point_is_the_plain_iterations(seed):
    """The accelerated fit stops where the plain iteration, run to its
    fixed point, ends: the velocity within a hundredth of its error, the
    error scale and the broad width within their tolerance.  (The plain
    iteration stopped at the same tolerance can be several thousandths
    of an error away, where the fraction creeps towards its bound.)"""
    v, err = random_set(seed)
    rv, k, w2, _ = literal_em(v, err, max_iter=20000, tol=1e-13)
    c = combine(v, err)
    assert abs(c.rv - rv) < 0.01 * c.rv_err
    assert c.error_scale == pytest.approx(k, abs=1e-3)
    assert c.outlier_width == pytest.approx(np.sqrt(w2), rel=1e-2)


@pytest.mark.parametrize("seed", range(5))
def test_clean_lines_converge_in_few_steps(seed):
    """Clean lines of similar errors (as a whole spectrum's lines at one
    signal-to-noise are) empty the broad component, which overlaps the
    core; the plain iteration creeps there by a few percent a step, the
    accelerated one jumps."""
    rng = np.random.default_rng(seed)
    err = 10.0 ** rng.uniform(1.2, 2.0, 3600)
    v = rng.normal(0.0, err)
    rv, _, _, plain_steps = literal_em(v, err, max_iter=20000, tol=1e-13)
    c = combine(v, err)
    assert abs(c.rv - rv) < 0.01 * c.rv_err
    assert c.n_iter <= plain_steps / 2


def test_lines_of_degenerate_fits_are_left_out():
    """A fit with a scale near zero gives a velocity or an error beyond
    any star's; such a line is not usable and the others combine as
    without it (once squared in the fit it would overflow and make every
    weight NaN)."""
    rng = np.random.default_rng(6)
    v, err = lines(rng, n=200)
    ref = combine(v, err)
    v2 = np.r_[v, 3e40, -2e31, 10.0, 10.0]
    err2 = np.r_[err, 10.0, 10.0, 1e-31, 5e30]
    assert not usable(v2, err2)[v.size:].any()
    c = combine(v2, err2)
    assert c.n_used == v.size
    assert c.rv == ref.rv and c.rv_err == ref.rv_err
    assert np.all(np.isnan(c.p_outlier[v.size:]))


@pytest.mark.parametrize("seed", range(30))
def test_extreme_usable_lines_never_raise(seed):
    """Velocities and errors anywhere within the usable bounds, and lines
    that scatter far beyond their errors, give a finite combination
    without a floating-point warning (warnings are errors here)."""
    rng = np.random.default_rng(seed)
    n = int(rng.choice([2, 3, 5, 40, 400]))
    err = 10.0 ** rng.uniform(-29.9, 29.9, n)
    v = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-29.9, 29.9, n)
    if seed % 3 == 0:
        v = rng.normal(0.0, 1.0, n) * err
    if seed % 5 == 0:
        v[: n // 2] = 0.0
    c = combine(v, err)
    assert np.isfinite(c.rv) and np.isfinite(c.rv_err)
    slope = chromatic_slope(np.linspace(4000.0, 7000.0, n), v, err)
    assert all(np.isfinite(x) or np.isnan(x) for x in slope[:4])
