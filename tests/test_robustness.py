"""Garbage in, no crash out: random spectra full of NaN, infinities,
zeros, repeats and unsorted wavelengths, through every method.  Each call
either raises ValueError (too few points) or returns results of the right
shape; reading outside an array or an abort would end the run."""

import numpy as np
import pytest

import quasmir

SPECIALS = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308,
                     5e-324, 1e30, 299792458.0, -299792458.0])
TAYLOR = ["get_RV_line_by_line2", "get_RV_line_by_line2_with_offset",
          "get_RV_line_by_line3"]


def garbage(rng, n):
    a = rng.normal(5000.0, 10.0, n) if rng.random() < 0.5 else \
        rng.normal(0.0, 1e3, n)
    if rng.random() < 0.3:
        a.sort()
    if rng.random() < 0.2:
        a = np.resize(np.repeat(a[:max(1, n // 3)], 3), n)
    mask = rng.random(n) < rng.choice([0.0, 0.05, 0.5])
    a[mask] = rng.choice(SPECIALS, mask.sum())
    return a


@pytest.mark.parametrize("seed", range(4))
def test_garbage_never_crashes(seed, capfd):
    rng = np.random.default_rng(seed)
    numbers = np.concatenate([SPECIALS, [100.0, 5000.0]])
    for _ in range(150):
        n, m = rng.integers(0, 12, size=2)
        arrays = [garbage(rng, n) for _ in range(3)] + \
                 [garbage(rng, m) for _ in range(2)]
        extra = [float(x) for x in rng.choice(numbers, 3)]
        for name in TAYLOR:
            try:
                result = getattr(quasmir, name)(*arrays, *extra)
            except ValueError:
                assert n < 3 or m < 2
            else:
                assert len(result) in (5, 13)
        trials = garbage(rng, rng.integers(0, 4))
        try:
            rv, _, _, coeffs = quasmir.get_RV_line_by_line(
                trials, *arrays, extra[0])
        except ValueError:
            assert n < 2 or m < 1
        else:
            assert rv.shape == trials.shape
            assert coeffs.shape == (trials.size, 2)
    capfd.readouterr()
