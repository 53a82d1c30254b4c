"""Accuracy against the truth and the photon-noise limit.

Spectra like the example's (resolving power 100,000, 3 pixels per
resolution element, signal-to-noise 100, BERV within +-30 km/s, the star's
velocity within +-5 km/s), over a 30 angstrom stretch of the synthetic
star to keep the suite fast, measured over many noise realisations and
compared with the injected velocities and with the Bouchy photon-noise
limit of the same spectra.
"""

import numpy as np
import pytest

from quasmir_tool import Spectrum, measure
from quasmir_tool.lines import C_LIGHT, doppler_factor
from quasmir_tool.synthetic import (
    log_grid,
    make_star,
    model_at,
    observe,
    photon_noise_limit,
    star_flux,
)

N_REAL = 300  # noise realisations of the main target
RANGE = (5000.0, 5030.0)
PIXEL = 1.0 / 3e5  # relative pixel step: R = 100,000 at 3 pixels


@pytest.fixture(scope="module")
def star():
    return make_star(21, wave_range=RANGE)


@pytest.fixture(scope="module")
def realisations(star):
    master, _ = star
    rng = np.random.default_rng(5)
    rv = rng.uniform(-5000.0, 5000.0, N_REAL)
    berv = rng.uniform(-30000.0, 30000.0, N_REAL)
    obs = [observe(master, v, b, 100.0, rng) for v, b in zip(rv, berv)]
    limit = np.array([photon_noise_limit(o, master, v)
                      for o, v in zip(obs, rv)])
    return obs, rv, limit


@pytest.fixture(scope="module")
def coarse_master(star):
    """A noiseless master sampled like the spectra, on its own grid."""
    _, lines = star
    wave = log_grid(*RANGE, PIXEL, phase=0.37)
    return Spectrum(wave, star_flux(lines, wave), np.zeros_like(wave))


def run(obs, rv, master, lines, n, **options):
    res = [measure(o, master, lines, **options) for o in obs[:n]]
    diff = np.array([r.rv for r in res]) - rv[:n]
    err = np.array([r.rv_err for r in res])
    return diff, err


def check_honest(diff, err):
    """Errors match the scatter; no bias beyond two errors of the mean."""
    pull = diff / err
    assert 0.85 <= np.std(pull) <= 1.2
    assert abs(np.mean(diff)) <= 2.0 * np.std(diff) / np.sqrt(diff.size)


def test_fine_master_reaches_the_photon_noise_limit(star, realisations):
    master, lines = star
    obs, rv, limit = realisations
    # The whole path: scan, passes, combination.
    diff, err = run(obs, rv, master, lines, N_REAL, scan_range=20000.0)
    assert np.std(diff) <= 1.1 * np.mean(limit)
    check_honest(diff, err)


@pytest.mark.parametrize("estimator", ["offset", "second"])
def test_other_estimators_near_the_limit(star, realisations, estimator):
    """One more free parameter per window costs a few per cent."""
    master, lines = star
    obs, rv, limit = realisations
    diff, err = run(obs, rv, master, lines, 100, estimator=estimator,
                    scan_range=20000.0)
    assert np.std(diff) <= 1.25 * np.mean(limit)
    check_honest(diff, err)


def test_master_sampled_like_the_spectra_is_resampled(
        star, realisations, coarse_master):
    _, lines = star
    obs, rv, limit = realisations
    n = 150
    diff, err = run(obs, rv, coarse_master, lines, n, scan_range=20000.0)
    assert abs(np.mean(diff)) <= 2.0 * np.std(diff) / np.sqrt(n)
    assert np.std(diff) <= 1.5 * np.mean(limit[:n])


def test_coarse_master_without_resampling_is_biased(
        star, realisations, coarse_master):
    """Why the master is resampled: the core interpolates the master
    linearly and differentiates it by forward differences, which on a
    grid as coarse as the pixels shift every line the same way."""
    _, lines = star
    obs, rv, limit = realisations
    n = 50
    diff, _ = run(obs, rv, coarse_master, lines, n, scan_range=20000.0,
                  resample=None)
    assert np.mean(diff) > 5.0 * np.std(diff) / np.sqrt(n)
    assert np.mean(diff) > 5.0 * np.mean(limit[:n])


def test_limit_uses_the_slope_of_the_noiseless_model(star, realisations):
    """Differences between neighbouring pixels understate the slope at 3
    pixels per resolution element and so overstate the limit."""
    master, _ = star
    obs, rv, limit = realisations
    o, v = obs[0], rv[0]
    model = model_at(master, o.wave, v, o.berv)
    slope = np.gradient(model, o.wave)
    crude = C_LIGHT / np.sqrt(np.sum((o.wave * slope / o.flux_err) ** 2))
    assert 1.03 < crude / limit[0] < 1.15
    # The spline slope of the fine master gives the limit of the
    # analytic model's slope.
    _, lines = star
    x = o.wave * (1.0 + 1e-9)
    k = doppler_factor(o.berv) / doppler_factor(v)
    analytic = (star_flux(lines, x * k) - star_flux(lines, o.wave * k)) / (
        x - o.wave)
    exact = C_LIGHT / np.sqrt(np.sum((o.wave * analytic / o.flux_err) ** 2))
    assert limit[0] == pytest.approx(exact, rel=1e-4)
    # Half the noise, half the limit.
    half = Spectrum(o.wave, o.flux, o.flux_err / 2.0, berv=o.berv)
    assert photon_noise_limit(half, master, v) == pytest.approx(
        limit[0] / 2.0, rel=1e-12)
