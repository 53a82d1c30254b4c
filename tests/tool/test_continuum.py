"""Continua of spectra with gaps, and the continuum match of measure: a
spectrum whose continuum tilts against the master's must not give a
biased velocity."""

import dataclasses
import warnings

import numpy as np
import pytest

from quasmir_tool.continuum import smooth_fit, upper_envelope
from quasmir_tool.measuring import measure
from quasmir_tool.synthetic import make_star, observe
from quasmir_tool.template import make_template

RV = 250.0


@pytest.fixture(scope="module")
def star():
    return make_star(seed=4, wave_range=(5000.0, 5200.0))


def test_smooth_fit_does_not_bridge_a_gap():
    x = np.linspace(0.0, 0.1, 20000)
    y = 1.0 + 0.5 * np.sin(60.0 * x)
    y[(x > 0.04) & (x < 0.06)] = 0.0  # a zero-filled gap, left out
    keep = y > 0
    fit = smooth_fit(x[keep], y[keep], np.full(keep.sum(), 100.0), x)
    assert np.max(np.abs(fit[keep] - y[keep])) < 2e-3
    # Far inside the gap (more than a knot step from data): no value.
    far = smooth_fit(x[keep], y[keep], np.ones(keep.sum()), x,
                     knot_step=0.005)
    assert np.all(np.isnan(far[(x > 0.046) & (x < 0.054)]))


def test_upper_envelope_of_a_line_spectrum(star):
    master, _ = star
    tilt = 1000.0 * (1.0 + 0.3 * (master.wave - 5100.0) / 100.0)
    env = upper_envelope(master.wave, master.flux * tilt)
    assert np.median(np.abs(env / tilt - 1.0)) < 0.01


@pytest.mark.parametrize("slope", [-0.5, 0.5])
def test_a_tilted_continuum_does_not_move_the_velocity(star, slope):
    master, _ = star
    rng = np.random.default_rng(7)
    obs = observe(master, RV, 0.0, 300.0, rng)
    # A steep continuum slope, as in a blaze-divided echelle order.
    tilt = np.exp(slope * (obs.wave - obs.wave.mean()) / 10.0)
    tilted = dataclasses.replace(obs, flux=obs.flux * tilt,
                                 flux_err=obs.flux_err * tilt)
    plain = measure(obs, master, rv_guess=RV)
    matched = measure(tilted, master, rv_guess=RV)
    raw = measure(tilted, master, rv_guess=RV, match_continuum=False)
    assert abs(matched.rv - plain.rv) < 0.2 * plain.rv_err
    # Without the match the tilt pulls the velocity (the size of the
    # effect this guards against).
    assert abs(raw.rv - plain.rv) > 0.5 * plain.rv_err


def test_template_zero_point_stays_the_reference_spectrum(star):
    master, _ = star
    rng = np.random.default_rng(3)
    spectra = [observe(master, v, b, 150.0 + 50.0 * i, rng)
               for i, (v, b) in enumerate(zip([0.0, 15.0, -20.0],
                                              [-10000.0, 0.0, 10000.0]))]
    template = make_template(spectra, iterations=3)
    best = 2  # the highest signal-to-noise
    for rvs in template.rv_history:
        assert rvs[best] == 0.0


@pytest.mark.parametrize("y", [
    np.full(400, 1e300),
    np.where(np.arange(400) % 2, 1e-310, 1e300),
    np.where(np.arange(400) % 7, np.inf, 1.0),
    np.full(400, np.nan),
])
def test_smooth_fit_on_hostile_values_never_raises(y):
    x = np.linspace(0.0, 0.03, 400)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning leaks either
        fit = smooth_fit(x, y, np.full(400, 1e200), x)
    assert fit.shape == x.shape
