"""Activity indicators on synthetic spectra whose lines are broadened, or
whose velocity depends on wavelength, by known amounts."""

import copy

import numpy as np
import pytest
from astropy.table import Table

from quasmir_tool import measure
from quasmir_tool.activity import (
    COLUMNS,
    chromatic_slope,
    indicators,
    line_indicators,
)
from quasmir_tool.lines import C_LIGHT, doppler_factor
from quasmir_tool.reading import Spectrum
from quasmir_tool.synthetic import make_star, observe, star_flux

RANGE = (5000.0, 5100.0)
LAMBDA0 = 5050.0


@pytest.fixture(scope="module")
def star():
    return make_star(seed=21, wave_range=RANGE)


def variant(star, broadening=0.0, slope=0.0):
    """The star with every line broadened by a Gaussian of FWHM
    `broadening` (m/s; negative: narrowed) at constant equivalent width,
    and moved by ``slope * ln(lambda / LAMBDA0)`` (m/s)."""
    master, lines = star
    changed = copy.copy(lines)
    extra = np.sign(broadening) * (broadening * lines.centre / C_LIGHT) ** 2
    fwhm = np.sqrt(lines.fwhm**2 + extra)
    changed.fwhm = fwhm
    changed.depth = lines.depth * lines.fwhm / fwhm
    changed.centre = lines.centre * doppler_factor(
        slope * np.log(lines.centre / LAMBDA0)
    )
    return Spectrum(master.wave, star_flux(changed, master.wave),
                    np.zeros_like(master.wave))


def expected_dlw(broadening):
    # A Gaussian of FWHM F has variance F**2 / (8 ln 2); the fit's c2/c0
    # is half the added variance.
    return np.sign(broadening) * broadening**2 / (16.0 * np.log(2.0))


@pytest.mark.parametrize("broadening", [-900.0, 700.0, 1000.0])
def test_line_width_recovers_a_known_broadening(star, broadening):
    rng = np.random.default_rng(int(abs(broadening)))
    spectrum = observe(variant(star, broadening), 0.0, 0.0, 300.0, rng)
    result = measure(spectrum, star[0], estimator="second")
    ind = indicators(result)
    want = expected_dlw(broadening)
    # The second-order term is the first of a series: beyond it the fit
    # absorbs a little of the broadening, more the broader it is.
    assert ind.dlw == pytest.approx(want, rel=0.12)
    assert 0.0 < ind.dlw_err < 0.1 * abs(want)
    assert ind.n_dlw > 100


@pytest.fixture(scope="module")
def quiet_star(star):
    """Indicators of ten noise realisations of the unchanged star."""
    rng = np.random.default_rng(5)
    return [
        indicators(measure(observe(star[0], 0.0, 0.0, 100.0, rng), star[0],
                           estimator="second"))
        for _ in range(10)
    ]


@pytest.mark.parametrize("name", ["dlw", "crx"])
def test_errors_describe_the_scatter(quiet_star, name):
    values = np.array([getattr(i, name) for i in quiet_star])
    errors = np.array([getattr(i, name + "_err") for i in quiet_star])
    # Nothing changed: zero within the error of the mean.
    assert abs(np.mean(values)) < 4.0 * np.mean(errors) / np.sqrt(
        values.size
    )
    # The scatter over noise realisations is what the errors say (10
    # realisations: the ratio is known to about 25%).
    assert 0.6 < np.std(values, ddof=1) / np.mean(errors) < 1.5


def test_line_width_needs_the_second_order_fit(star):
    rng = np.random.default_rng(6)
    result = measure(observe(star[0], 0.0, 0.0, 100.0, rng), star[0])
    ind = indicators(result)
    assert np.isnan(ind.dlw) and np.isnan(ind.dlw_err)
    assert np.isfinite(ind.crx)
    assert set(ind.row()) == set(COLUMNS)


@pytest.mark.parametrize("slope", [-1500.0, 0.0, 1000.0])
def test_chromatic_slope_recovers_a_known_trend(star, slope):
    rng = np.random.default_rng(int(abs(slope)) + 1)
    pulls = []
    for _ in range(3):
        spectrum = observe(variant(star, slope=slope), 0.0, 0.0, 300.0,
                           rng)
        ind = indicators(measure(spectrum, star[0]))
        pulls.append((ind.crx - slope) / ind.crx_err)
        assert ind.crx_wave == pytest.approx(LAMBDA0, abs=5.0)
    assert np.max(np.abs(pulls)) < 4.0
    # An error that means something: a 1000 m/s slope is many of them.
    assert ind.crx_err < 200.0


def test_chromatic_slope_resists_outlying_lines():
    rng = np.random.default_rng(8)
    wave = np.sort(rng.uniform(5000.0, 6000.0, 400))
    err = rng.uniform(5.0, 20.0, wave.size)
    x = np.log(wave / 5500.0)
    rv = 3.0 + 800.0 * x + rng.normal(0.0, 1.0, wave.size) * err
    clean = chromatic_slope(wave, rv, err)
    spoilt = rv.copy()
    # Blends at the red end pulling the same way: a plain fit tilts.
    red = np.flatnonzero(wave > 5850.0)[:20]
    spoilt[red] += 2000.0
    slope, slope_err, wave0, intercept, n = chromatic_slope(
        wave, spoilt, err
    )
    assert n == wave.size
    assert abs(slope - 800.0) < 4.0 * slope_err
    assert abs(slope - clean[0]) < slope_err
    w = err**-2
    plain = np.polyfit(x, spoilt, 1, w=np.sqrt(w))[0]
    assert abs(plain - 800.0) > 10.0 * slope_err
    # The reference wavelength decorrelates slope and intercept.
    assert 5000.0 < wave0 < 6000.0
    assert intercept == pytest.approx(
        3.0 + 800.0 * np.log(wave0 / 5500.0), abs=3.0
    )


@pytest.mark.parametrize(
    "wave, rv, err",
    [
        ([5000.0, 5001.0], [1.0, 2.0], [1.0, 1.0]),
        ([5000.0, 5000.0, 5000.0], [1.0, 2.0, 3.0], [1.0, 1.0, 1.0]),
        ([5000.0, np.nan, 5002.0, 5003.0], [1.0, 2.0, np.nan, 4.0],
         [1.0, 1.0, 1.0, 0.0]),
    ],
    ids=["two lines", "one wavelength", "non-finite"],
)
def test_chromatic_slope_without_enough_lines(wave, rv, err):
    slope, slope_err, *_ = chromatic_slope(np.array(wave), np.array(rv),
                                           np.array(err))
    assert np.isnan(slope) and np.isnan(slope_err)


def test_per_line_table(star):
    rng = np.random.default_rng(9)
    spectrum = observe(variant(star, 800.0), 0.0, 0.0, 200.0, rng)
    result = measure(spectrum, star[0], estimator="second")
    table = line_indicators(result)
    assert len(table) == len(result.lines)
    used = table["used"]
    # Most lines see the broadening on their own.
    assert np.median(table["dlw"][used]) > 0.5 * expected_dlw(800.0)
    assert np.all(np.isfinite(table["crx_residual"][used]))


def test_no_lines():
    class Empty:
        lines = Table({"centre": np.zeros(0), "rv": np.zeros(0),
                       "rv_err": np.zeros(0)})

    ind = indicators(Empty())
    assert np.isnan(ind.dlw) and np.isnan(ind.crx)
