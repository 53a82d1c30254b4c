"""Exported shared numerics: wavelength shift, nearest-point resampling and
the Bouchy estimator, against their scalar twins."""

import math

import numpy as np
import pytest

import reference as ref
from reference import bits_equal

# --- Delta_lambda -----------------------------------------------------------


def test_delta_lambda_matches_scalar_formula(kernels):
    rng = np.random.default_rng(11)
    velocities = np.concatenate(
        [
            [0.0, -0.0, 1.0, -1.0, 1e-3, 2.5e5, -2.5e5, 2.9e8, -2.9e8],
            rng.normal(0.0, 3e4, 40),
        ]
    )
    lams = np.concatenate(
        [[1.0, 5000.0, 1e5, 0.0, -4000.0], rng.uniform(3000.0, 11000.0, 44)]
    )
    got = [kernels.delta_lambda(v, lam) for v, lam in zip(velocities, lams)]
    want = [
        ref.delta_lambda(float(v), float(lam))
        for v, lam in zip(velocities, lams)
    ]
    assert bits_equal(got, want)


@pytest.mark.parametrize("lam", [1.0, 5000.0, 1e5])
def test_delta_lambda_of_zero_velocity_is_negative_zero(kernels, lam):
    shift = kernels.delta_lambda(0.0, lam)
    assert shift == 0.0 and math.copysign(1.0, shift) == -1.0


@pytest.mark.parametrize("v", [10.0, 3e3, 1e6], ids=["10", "3e3", "1e6"])
def test_redshift_is_positive_and_scales_with_wavelength(kernels, v):
    b = v / ref.C_LIGHT
    for lam in (4000.0, 8000.0):
        shift = kernels.delta_lambda(v, lam)
        assert shift > 0.0
        assert shift == pytest.approx(
            lam * (math.sqrt((1 + b) / (1 - b)) - 1), rel=1e-9
        )
        assert kernels.delta_lambda(-v, lam) < 0.0


# --- obtain_same_sampling ---------------------------------------------------


def _sampling_case(kernels, wave, wave_ref, flux_ref=None):
    wave = np.asarray(wave, dtype=np.float64)
    wave_ref = np.asarray(wave_ref, dtype=np.float64)
    if flux_ref is None:
        flux_ref = 100.0 + np.arange(len(wave_ref)) * 1.5
    got = kernels.obtain_same_sampling(wave, wave_ref, flux_ref)
    want = ref.obtain_same_sampling(wave, wave_ref, flux_ref)
    return got, want


def _assert_sampling_equal(got, want):
    wave_out, flux_out, index_out, offset_out = got
    assert index_out.tolist() == list(want[2])
    assert bits_equal(wave_out, want[0])
    assert bits_equal(flux_out, want[1])
    assert bits_equal(offset_out, want[3])


@pytest.mark.parametrize("seed", range(4))
def test_resampling_matches_scalar_search(kernels, gen, seed):
    wave_ref, flux_ref = gen.master(seed, n_master=120)
    for where in ("inside", "outside"):
        wave, _, _ = gen.spectrum(
            seed + 50, (wave_ref, flux_ref), n_pix=70, where=where
        )
        _assert_sampling_equal(
            *_sampling_case(kernels, wave, wave_ref, flux_ref)
        )


def test_identical_grids_match_index_for_index(kernels, gen):
    wave_ref, flux_ref = gen.master(3, n_master=50)
    wave_out, flux_out, index_out, offset_out = kernels.obtain_same_sampling(
        wave_ref, wave_ref, flux_ref
    )
    assert index_out.tolist() == list(range(50))
    assert bits_equal(wave_out, wave_ref)
    assert bits_equal(flux_out, flux_ref)
    assert np.all(offset_out == 0.0)


@pytest.mark.parametrize(
    "wave, wave_ref, index",
    [
        ([1.5, 2.5, 3.5], [1.0, 2.0, 3.0, 4.0], [0, 1, 2]),
        ([0.25, 0.75], [0.0, 0.5, 1.0], [0, 1]),
        ([3.1, 1.0, 0.0, 2.9], [0.0, 1.0, 2.0, 3.0, 4.0], [3, 3, 3, 3]),
        ([5.0, 9.0, 1e12], [0.0, 1.0, 2.0], [2, 2, 2]),
        ([-5.0, -1.0], [0.0, 1.0, 2.0], [0, 0]), ([2.4, 2.6], [2.5], [0, 0]),
        ([1e31, 0.9], [0.0, 1.0, 2.0], [0, 1])
    ],
    ids=[
        "halfway-goes-lower",
        "halfway-small-grid",
        "never-moves-back",
        "past-end-is-last",
        "below-start-is-first",
        "one-point-grid",
        "far-target-keeps-start",
    ],
)
def test_matching_rules(kernels, wave, wave_ref, index):
    got, want = _sampling_case(kernels, wave, wave_ref)
    assert list(want[2]) == index
    _assert_sampling_equal(got, want)


@pytest.mark.parametrize(
    "wave, index",
    [
        ([math.nan, 1.1, 2.2], [0, 1, 2]), ([1.9, math.nan, 3.1], [2, 2, 3]),
        ([math.nan, math.nan], [0, 0])
    ],
    ids=["first-pixel-nan", "middle-pixel-nan", "all-nan"],
)
def test_unmatched_pixel_stays_at_running_start(kernels, wave, index):
    """A pixel with no acceptable candidate keeps the running start index,
    so no index leaves the grid."""
    wave_ref = [0.0, 1.0, 2.0, 3.0, 4.0]
    got, want = _sampling_case(kernels, wave, wave_ref)
    assert got[2].tolist() == index
    _assert_sampling_equal(got, want)


@pytest.mark.parametrize("n_pix", [0, -1], ids=["zero", "negative"])
def test_no_pixels_writes_nothing(kernels, n_pix):
    wave_out, flux_out, index_out, offset_out = kernels.obtain_same_sampling(
        [1.0, 2.0], [1.0, 2.0], [5.0, 6.0], n_pix=n_pix
    )
    assert np.all(index_out == -99)
    for out in (wave_out, flux_out, offset_out):
        assert np.all(out == -7777.25)


# --- calculate_RV_with_BOUCHY -----------------------------------------------


def _bouchy_inputs(seed, n=80):
    rng = np.random.default_rng(seed)
    wave = 6000.0 + np.cumsum(rng.uniform(0.02, 0.06, n))
    model = 1.0 - 0.6 * np.exp(-0.5 * ((wave - wave[n // 2]) / 0.3) ** 2)
    model = model + 0.01 * np.sin(wave * 7.0)
    flux = model + rng.normal(0.0, 0.01, n)
    flux_err = rng.uniform(0.005, 0.02, n)
    return wave, flux_err, flux, model


@pytest.mark.parametrize(
    "sys_err", [0.0, 0.004, -0.01], ids=["no-sys", "sys", "negative-sys"]
)
@pytest.mark.parametrize("seed", range(3))
def test_bouchy_matches_scalar_formula(kernels, seed, sys_err):
    wave, flux_err, flux, model = _bouchy_inputs(seed)
    got = kernels.bouchy(wave, flux_err, flux, model, sys_err)
    want = ref.bouchy_velocity(wave, flux_err, flux, model, len(wave), sys_err)
    assert bits_equal(got, want)
    assert all(math.isfinite(x) for x in got)


def test_bouchy_ignores_the_last_pixel_flux_and_error(kernels):
    wave, flux_err, flux, model = _bouchy_inputs(7)
    base = kernels.bouchy(wave, flux_err, flux, model, 0.002)
    flux[-1] += 3.0
    flux_err[-1] *= 9.0
    assert bits_equal(kernels.bouchy(wave, flux_err, flux, model, 0.002), base)


def test_model_equal_to_flux_gives_zero_velocity(kernels):
    wave, flux_err, _, model = _bouchy_inputs(4)
    rv, rv_err = kernels.bouchy(wave, flux_err, model, model, 0.001)
    assert rv == 0.0
    assert math.isfinite(rv_err) and rv_err > 0.0


def test_flat_model_pixels_are_skipped(kernels):
    """Neighbouring equal model values (an oversampled model) contribute
    nothing instead of turning the velocity into NaN."""
    wave, flux_err, flux, model = _bouchy_inputs(5, n=60)
    model[10] = model[11]
    model[30:34] = model[30]
    got = kernels.bouchy(wave, flux_err, flux, model, 0.003)
    literal = ref.bouchy_velocity(
        wave, flux_err, flux, model, len(wave), 0.003, skip_flat=False
    )
    assert math.isnan(literal[0])
    assert all(math.isfinite(x) for x in got)
    assert bits_equal(
        got, ref.bouchy_velocity(wave, flux_err, flux, model, len(wave), 0.003)
    )


def test_all_flat_model_gives_nan_velocity_and_infinite_error(kernels):
    wave, flux_err, flux, _ = _bouchy_inputs(6, n=12)
    rv, rv_err = kernels.bouchy(wave, flux_err, flux, np.full(12, 0.8), 0.0)
    assert math.isnan(rv) and rv_err == math.inf


@pytest.mark.parametrize("n", [1, 0, -3])
def test_fewer_than_two_pixels_give_nan_and_infinity(kernels, n):
    wave, flux_err, flux, model = _bouchy_inputs(8, n=4)
    rv, rv_err = kernels.bouchy(wave, flux_err, flux, model, 0.0, n=n)
    assert math.isnan(rv) and rv_err == math.inf
