"""The scan's nearest-point search against the literal walk over the whole
shifted master, bit for bit, on grids that take the search and on grids
that must fall back to the walk."""

import ctypes
import math
import os
import shutil
import subprocess

import numpy as np
import pytest

import reference as ref
from reference import bits_equal

C = ref.C_LIGHT


def _scan_equal(quasmir, trials, wave, flux_err, flux, wm, fm, sys_err=0.0):
    got = quasmir.get_RV_line_by_line(
        trials, wave, flux_err, flux, wm, fm, sys_err
    )
    want = ref.scan_method(trials, wave, flux_err, flux, wm, fm, sys_err)
    for g, w in zip(got, want):
        assert bits_equal(g, w)
    return got


def _master(rng, n, lo=5000.0, hi=5050.0):
    """Irregular ascending grid; flux values all distinct, so a different
    match changes the fit."""
    wave = np.sort(rng.uniform(lo, hi, n))
    return wave, rng.uniform(0.2, 1.2, n)


def _pixels(rng, wm, n, margin=0.0):
    span = wm[-1] - wm[0]
    return np.sort(rng.uniform(wm[0] - margin * span, wm[-1] + margin * span,
                               n))


def _noisy(rng, n):
    return rng.uniform(0.5, 1.5, n) * 0.01, rng.uniform(0.3, 1.1, n)


def _trials(rng, n=6):
    return np.concatenate([[0.0], rng.uniform(-20000.0, 20000.0, n - 1)])


# Pixel sets on grids that take the search.
def _inside(rng, wm):
    return _pixels(rng, wm, 30)


def _outside(rng, wm):
    return _pixels(rng, wm, 30, margin=0.3)


def _unsorted(rng, wm):
    return rng.permutation(_pixels(rng, wm, 30, margin=0.1))


def _on_points(rng, wm):
    """Pixels exactly on master points and exactly half way between two,
    where the unshifted trial gives exact ties."""
    k = np.sort(rng.choice(len(wm) - 1, 15, replace=False))
    mid = wm[k] + (wm[k + 1] - wm[k]) / 2.0
    return np.sort(np.concatenate([wm[k], mid]))


def _non_finite(rng, wm):
    wave = _pixels(rng, wm, 30)
    wave[[0, 5, 17]] = np.nan
    wave[9], wave[22], wave[29] = np.inf, -np.inf, np.inf
    return wave


def _huge(rng, wm):
    """Pixels far from the master: distances of 1e30 or more are never
    accepted, and large ones round to ties."""
    wave = _pixels(rng, wm, 30)
    wave[[3, 4]] = 1e30, 2e30
    wave[[10, 11]] = -1e31, 1e17
    wave[-3:] = 1e17, 3e16, 1e20
    return wave


def _negative(rng, wm):
    wave = _pixels(rng, wm, 30)
    wave[:6] = [-5000.0, -0.0, 0.0, 1e-300, 5e-324, 1.0]
    return wave


PIXELS = [_inside, _outside, _unsorted, _on_points, _non_finite, _huge,
          _negative]


@pytest.mark.parametrize("pixels", PIXELS, ids=lambda f: f.__name__[1:])
@pytest.mark.parametrize("seed", range(3))
def test_search_matches_walk(quasmir, seed, pixels):
    rng = np.random.default_rng(seed)
    wm, fm = _master(rng, 300)
    wave = pixels(rng, wm)
    _scan_equal(quasmir, _trials(rng), wave, *_noisy(rng, len(wave)), wm,
                fm, 0.002)


def test_wide_master_walks_below_the_proven_range(quasmir):
    """A master from 1e-3 up (log spaced): the points far below a pixel
    (under 1/4096 of it) are walked, the rest searched."""
    rng = np.random.default_rng(7)
    wm = np.geomspace(1e-3, 1e5, 400)
    fm = rng.uniform(0.2, 1.2, 400)
    wave = np.sort(np.concatenate([rng.uniform(1e-3, 1e5, 20),
                                   rng.uniform(40.0, 60.0, 10)]))
    _scan_equal(quasmir, _trials(rng), wave, *_noisy(rng, 30), wm, fm)


def test_pixels_far_above_a_small_master(quasmir):
    """Distances from 1e17 to points 1 apart round to equal values: the
    walk stops at the first tie, not at the nearest point."""
    wm = np.arange(1.0, 301.0)
    fm = np.random.default_rng(8).uniform(0.2, 1.2, 300)
    wave = np.array([5.0, 150.5, 1e17, 1e17, 3e17, 1e18])
    flux_err, flux = _noisy(np.random.default_rng(9), 6)
    _scan_equal(quasmir, np.array([0.0, 3e4, -1e5]), wave, flux_err, flux,
                wm, fm)


def test_tie_after_strictly_shrinking_distances(quasmir):
    """From 1e17 (spacing 16) the distances to 1, 100 and 204 shrink, and
    those to 204 and 206 round to one value: the walk stops at 204 although
    300 and beyond are nearer."""
    wm = np.concatenate([[1.0, 100.0, 204.0, 206.0], np.arange(300.0, 2e3)])
    fm = np.random.default_rng(10).uniform(0.2, 1.2, len(wm))
    assert 1e17 - 204.0 == 1e17 - 206.0 and 1e17 - 100.0 > 1e17 - 204.0
    wave = np.array([1e17, 1e17, 2e17])
    flux_err, flux = _noisy(np.random.default_rng(11), 3)
    _scan_equal(quasmir, np.array([0.0]), wave, flux_err, flux, wm, fm)


def _duplicates(rng, wm):
    wm = wm.copy()
    wm[50:54] = wm[50]
    wm[200:202] = wm[200]
    return wm


def _descending_piece(rng, wm):
    wm = wm.copy()
    wm[100:140] = wm[100:140][::-1]
    return wm


def _nan_point(rng, wm):
    wm = wm.copy()
    wm[120] = np.nan
    return wm


def _inf_point(rng, wm):
    wm = wm.copy()
    wm[-1] = np.inf
    return wm


def _starts_at_zero(rng, wm):
    return np.concatenate([[0.0], wm[1:]])


def _negative_start(rng, wm):
    return np.concatenate([[-1.0], wm[1:]])


def _crowded(rng, wm):
    """Two points closer than 2^-36 relative: too close for the proof."""
    wm = wm.copy()
    wm[150] = np.nextafter(wm[149], np.inf)
    return wm


def _descending(rng, wm):
    return wm[::-1].copy()


MASTERS = [_duplicates, _descending_piece, _nan_point, _inf_point,
           _starts_at_zero, _negative_start, _crowded, _descending]


@pytest.mark.parametrize("master", MASTERS, ids=lambda f: f.__name__[1:])
@pytest.mark.parametrize("pixels", [_inside, _outside, _unsorted],
                         ids=["inside", "outside", "unsorted"])
def test_master_that_refuses_the_search_is_walked(quasmir, master, pixels):
    rng = np.random.default_rng(11)
    wm, fm = _master(rng, 300)
    wave = pixels(rng, wm)
    wm = master(rng, wm)
    _scan_equal(quasmir, _trials(rng), wave, *_noisy(rng, len(wave)), wm,
                fm)


@pytest.mark.parametrize(
    "trial",
    [0.3 * C, -0.35 * C, 0.5 * C, -0.53 * C, 0.9 * C, -0.99 * C, C, -C,
     2.0 * C, np.nan, np.inf, -np.inf, 1e-300, -5e-324],
    ids=lambda v: f"{v:.3g}",
)
def test_extreme_trial_velocities(quasmir, trial):
    """Factors beyond [-0.75, 0.45] and non-finite ones take the walk;
    those inside take the search."""
    rng = np.random.default_rng(12)
    wm, fm = _master(rng, 200, 1000.0, 20000.0)
    wave = _pixels(rng, wm, 25, margin=0.2)
    _scan_equal(quasmir, np.array([trial, 0.0]), wave, *_noisy(rng, 25), wm,
                fm)


# --- a compiled literal scan, for many and larger random cases ------------

_HERE = os.path.dirname(os.path.abspath(__file__))
_ROOT = os.path.dirname(_HERE)
DP = ctypes.POINTER(ctypes.c_double)


@pytest.fixture(scope="module")
def literal(tmp_path_factory):
    """bench/floor.cpp's literal_scan: the whole master shifted and walked
    from index 0 for every trial, on the kernels' own procedures."""
    cxx = shutil.which("g++") or shutil.which("c++")
    source = os.path.join(_ROOT, "bench", "floor.cpp")
    if cxx is None or not os.path.exists(source):
        pytest.skip("no C++ compiler or no bench/floor.cpp")
    out = str(tmp_path_factory.mktemp("literal") / "floor.so")
    subprocess.run(
        [cxx, "-O1", "-ffp-contract=off", "-shared", "-fPIC",
         "-I" + os.path.join(_ROOT, "kernels"), source, "-o", out, "-lgsl",
         "-lgslcblas"], check=True
    )
    lib = ctypes.CDLL(out)
    lib.literal_scan.argtypes = (
        [DP, ctypes.c_int32] + [DP] * 3 + [ctypes.c_int32] + [DP] * 2
        + [ctypes.c_int32, ctypes.c_double] + [DP] * 4
    )
    lib.literal_scan.restype = None
    return lib


def _literal_scan(lib, trials, wave, flux_err, flux, wm, fm, sys_err):
    n = len(trials)
    out = [np.full(n, -1.0) for _ in range(3)] + [np.full((n, 2), -1.0)]
    arrays = [np.ascontiguousarray(a, dtype=np.float64)
              for a in (trials, wave, flux_err, flux, wm, fm)]
    ptr = [a.ctypes.data_as(DP) for a in arrays]
    lib.literal_scan(ptr[0], n, ptr[1], ptr[2], ptr[3], len(wave), ptr[4],
                     ptr[5], len(wm), sys_err,
                     *(a.ctypes.data_as(DP) for a in out))
    return out


def _random_case(rng):
    n_master = int(rng.integers(1, 3000))
    style = rng.integers(0, 4)
    if style == 0:      # a regular spectrograph grid
        wm = 4000.0 * (1.0 + 1e-5) ** np.arange(n_master)
    elif style == 1:    # irregular
        wm = np.sort(rng.uniform(1.0, 1e4, n_master))
    elif style == 2:    # rounded to a coarse step: duplicates, ties
        wm = np.sort(np.round(rng.uniform(100.0, 110.0, n_master), 1))
    else:               # ascending with a few disorders
        wm = np.sort(rng.uniform(3000.0, 3100.0, n_master))
        k = rng.integers(0, n_master, 3)
        wm[k] = wm[k[::-1]]
    fm = rng.uniform(0.1, 1.0, n_master)
    n_pix = int(rng.integers(2, 60))
    lo, hi = wm.min(), wm.max()
    span = hi - lo if hi > lo else 1.0
    wave = np.sort(rng.uniform(lo - 0.1 * span, hi + 0.1 * span, n_pix))
    if rng.random() < 0.3:
        wave = rng.permutation(wave)
    if rng.random() < 0.3:
        wave[rng.integers(0, n_pix)] = rng.choice([np.nan, np.inf, 1e35])
    if rng.random() < 0.3:   # pixels exactly on master points
        pick = rng.integers(0, n_master, n_pix // 2)
        wave[: n_pix // 2] = np.sort(wm[pick])
    trials = rng.uniform(-3e4, 3e4, int(rng.integers(1, 8)))
    flux_err, flux = _noisy(rng, n_pix)
    return trials, wave, flux_err, flux, wm, fm


@pytest.mark.parametrize("seed", range(4))
def test_search_matches_compiled_walk_on_random_cases(quasmir, literal,
                                                      seed):
    rng = np.random.default_rng(100 + seed)
    for _ in range(150):
        case = _random_case(rng)
        got = quasmir.get_RV_line_by_line(*case, 0.001)
        want = _literal_scan(literal, *case, 0.001)
        for g, w in zip(got, want):
            assert bits_equal(g, w)


def test_compiled_walk_is_the_scalar_reference(literal):
    """The compiled twin itself against the Python literal version."""
    rng = np.random.default_rng(5)
    for _ in range(5):
        trials, wave, flux_err, flux, wm, fm = _random_case(rng)
        want = ref.scan_method(trials, wave, flux_err, flux, wm, fm, 0.001)
        got = _literal_scan(literal, trials, wave, flux_err, flux, wm, fm,
                            0.001)
        for g, w in zip(got, want):
            assert bits_equal(g, w)


def test_large_master_line_at_its_end(quasmir, literal):
    """300,000 master points, a line near the end: the search jumps there."""
    wm = 4000.0 * (1.0 + 2e-6) ** np.arange(300_000)
    fm = 1.0 - 0.5 * np.exp(-0.5 * ((wm - wm[-2000]) / 0.05) ** 2)
    wave = np.linspace(wm[-2100], wm[-1900], 30)
    flux = np.interp(wave, wm * (1 + 1000.0 / C), fm)
    trials = np.linspace(-10000.0, 10000.0, 201)
    args = (trials, wave, np.full(30, 0.01), flux, wm, fm)
    got = quasmir.get_RV_line_by_line(*args, 0.0)
    want = _literal_scan(literal, *args, 0.0)
    for g, w in zip(got, want):
        assert bits_equal(g, w)
    assert math.isfinite(got[0][100])
