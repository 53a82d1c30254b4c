"""The trial-velocity scan: per trial a nearest-point matched master, a
scale-and-offset fit and the Bouchy velocity of the residual shift."""

import math

import numpy as np
import pytest

import reference as ref
from reference import RV_UNSET, bits_equal


def _assert_scan_equal(got, want):
    for g, w in zip(got, want):
        assert bits_equal(g, w)


def _trials(seed, n=7):
    rng = np.random.default_rng(seed)
    return np.concatenate([[0.0], rng.uniform(-8000.0, 8000.0, n - 1)])


@pytest.mark.parametrize(
    "sys_err", [0.0, 0.002, -0.004], ids=["no-sys", "sys", "negative-sys"]
)
@pytest.mark.parametrize(
    "where, shuffled",
    [("inside", False), ("outside", False), ("outside", True)],
    ids=["inside", "outside", "outside-shuffled"],
)
@pytest.mark.parametrize("seed", range(3))
def test_scan_matches_scalar_reference(
    quasmir, gen, seed, where, shuffled, sys_err
):
    """Pixels beyond the master take its edge points; pixels out of order
    keep the forward match."""
    master = gen.master(seed)
    wave, flux_err, flux = gen.spectrum(
        seed + 100, master, n_pix=55, rv_true=1500.0 * (seed - 1), where=where,
        scale=1.3, offset=-0.2
    )
    if shuffled:
        perm = np.random.default_rng(seed).permutation(len(wave))
        wave, flux_err, flux = wave[perm], flux_err[perm], flux[perm]
    trials = _trials(seed)
    got = quasmir.get_RV_line_by_line(
        trials, wave, flux_err, flux, *master, sys_err
    )
    _assert_scan_equal(
        got, ref.scan_method(trials, wave, flux_err, flux, *master, sys_err)
    )


def test_exported_scan_kernel_matches_reference(kernels, gen):
    master = gen.master(21, n_master=90)
    wave, flux_err, flux = gen.spectrum(
        22, master, n_pix=40, rv_true=-700.0, where="outside"
    )
    trials = _trials(23, n=5)
    got = kernels.scan(trials, wave, flux_err, flux, *master, 0.001)
    _assert_scan_equal(
        got, ref.scan_method(trials, wave, flux_err, flux, *master, 0.001)
    )


def test_trial_order_and_duplicates_do_not_change_a_trial(quasmir, gen):
    master = gen.master(31)
    spectrum = gen.spectrum(32, master, n_pix=50, rv_true=900.0)
    trials = np.array([-3000.0, 0.0, 1234.5, 900.0, 5000.0])
    forward = quasmir.get_RV_line_by_line(trials, *spectrum, *master, 0.001)
    backward = quasmir.get_RV_line_by_line(
        trials[::-1].copy(), *spectrum, *master, 0.001
    )
    mixed_trials = np.array([1234.5, 1234.5, -3000.0, 5000.0, 1234.5])
    mixed = quasmir.get_RV_line_by_line(
        mixed_trials, *spectrum, *master, 0.001
    )
    for f, b in zip(forward, backward):
        assert bits_equal(f, b[::-1])
    position = {v: i for i, v in enumerate(trials)}
    for t, v in enumerate(mixed_trials):
        for f, m in zip(forward, mixed):
            assert bits_equal(m[t], f[position[v]])
    for i, v in enumerate(trials):
        alone = quasmir.get_RV_line_by_line(
            np.array([v]), *spectrum, *master, 0.001
        )
        for f, a in zip(forward, alone):
            assert bits_equal(a[0], f[i])


@pytest.mark.parametrize(
    "a, b",
    [(1.0, 0.0), (2.5, -0.3), (-0.7, 4.0)],
    ids=["identity", "scaled-offset", "inverted"],
)
def test_scaled_and_offset_master_is_recovered(quasmir, gen, a, b):
    wave_master, flux_master = gen.master(41, n_master=120)
    flux = a * flux_master + b
    flux_err = np.full(120, 0.01)
    rv, rv_err, chi2, coeffs = quasmir.get_RV_line_by_line(
        np.array([0.0]), wave_master, flux_err, flux, wave_master, flux_master
    )
    assert coeffs[0, 0] == pytest.approx(a, rel=1e-10)
    assert coeffs[0, 1] == pytest.approx(b, rel=1e-10, abs=1e-10)
    assert abs(rv[0]) < 1e-6
    assert math.isfinite(rv_err[0]) and chi2[0] < 1e-20


def test_pixel_without_a_match_takes_the_running_start(quasmir, gen):
    """A NaN pixel wavelength accepts no candidate: it keeps the running
    start index (the first master point for the first pixel)."""
    master = gen.master(45, n_master=60)
    wave, flux_err, flux = gen.spectrum(46, master, n_pix=25)
    wave[0] = wave[12] = np.nan
    trials = np.array([0.0, 700.0])
    got = quasmir.get_RV_line_by_line(trials, wave, flux_err, flux, *master)
    want = ref.scan_method(trials, wave, flux_err, flux, *master)
    assert np.all(np.isfinite(got[3]))
    _assert_scan_equal(got, want)


def test_zero_flux_gives_unset_results(quasmir, gen):
    master = gen.master(51)
    wave, flux_err, _ = gen.spectrum(52, master, n_pix=30)
    trials = np.array([-2000.0, 0.0, 2000.0])
    rv, rv_err, chi2, coeffs = quasmir.get_RV_line_by_line(
        trials, wave, flux_err, np.zeros(30), *master, 0.001
    )
    assert np.all(coeffs == 0.0)
    for out in (rv, rv_err, chi2):
        assert out.tolist() == [RV_UNSET] * 3


def test_oversampled_spectrum_gives_finite_velocities(quasmir, gen):
    """Neighbouring pixels matched to one master point give a flat model
    step; it is skipped instead of making every trial NaN."""
    master = gen.master(61, n_master=60, step=0.1)
    wave, flux_err, flux = gen.spectrum(62, master, n_pix=150, rv_true=400.0)
    trials = np.array([0.0, 400.0, -1000.0])
    got = quasmir.get_RV_line_by_line(trials, wave, flux_err, flux, *master)
    literal = ref.scan(
        trials, wave, flux_err, flux, *master, 0.0, skip_flat=False
    )
    assert all(math.isnan(r[0]) for r in literal)
    assert np.all(np.isfinite(got[0])) and np.all(np.isfinite(got[1]))
    _assert_scan_equal(
        got, ref.scan_method(trials, wave, flux_err, flux, *master)
    )


@pytest.mark.parametrize(
    "n_pix, divisor",
    [(10, 7.0), (4, 1.0), (3, 0.0)],
    ids=["ten-pixels", "four-pixels", "three-pixels"],
)
def test_reduced_chi_square_divisor(quasmir, gen, n_pix, divisor):
    master = gen.master(71, n_master=40)
    wave, flux_err, flux = gen.spectrum(72, master, n_pix=n_pix, noise=0.02)
    _, _, chi2, _ = quasmir.get_RV_line_by_line(
        np.array([250.0]), wave, flux_err, flux, *master
    )
    shifted = gen.shifted_grid(master[0], 250.0)
    matches = ref.match_nearest_forward(wave, n_pix, shifted, 40)
    _, _, chisq = ref.weighted_linear_fit(
        [(master[1][m], 1.0) for m in matches], flux,
        [ref.fit_weight(e, 0.0) for e in flux_err]
    )
    assert chisq > 0.0
    assert bits_equal(chi2[0], ref.div(chisq, divisor))
    if n_pix == 3:
        assert chi2[0] == math.inf


def test_smallest_accepted_scan(quasmir):
    """Two pixels and a one-point master: a constant model, so every slope
    is flat and the velocity is NaN, but nothing aborts."""
    args = (
        np.array([0.0, 10.0]), np.array([5000.0, 5000.1]),
        np.array([0.01, 0.01]), np.array([0.9, 1.1]), np.array([5000.05]),
        np.array([0.95])
    )
    got = quasmir.get_RV_line_by_line(*args)
    _assert_scan_equal(got, ref.scan_method(*args))
    assert np.all(np.isnan(got[0])) and np.all(got[1] == math.inf)


@pytest.mark.parametrize(
    "n_pix, n_master",
    [(1, 20), (0, 20), (-4, 20), (20, 0), (20, -1), (0, 0)],
    ids=[
        "one-pixel",
        "no-pixel",
        "negative-pixels",
        "no-master",
        "negative-master",
        "empty",
    ],
)
def test_kernel_with_unusable_counts_writes_nan(
    kernels, gen, capfd, n_pix, n_master
):
    master = gen.master(81, n_master=20)
    spectrum = gen.spectrum(82, master, n_pix=20)
    rv, rv_err, chi2, coeffs = kernels.scan(
        np.array([0.0, 500.0, -500.0]), *spectrum, *master, 0.0, n_pix=n_pix,
        n_master=n_master
    )
    for out in (rv, rv_err, chi2, coeffs):
        assert np.all(np.isnan(out))
    assert capfd.readouterr().out == ""


def test_kernel_without_trials_writes_nothing(kernels, gen):
    master = gen.master(91, n_master=20)
    spectrum = gen.spectrum(92, master, n_pix=20)
    out = kernels.scan(np.zeros(0), *spectrum, *master, 0.0)
    assert all(a.size == 0 for a in out)
