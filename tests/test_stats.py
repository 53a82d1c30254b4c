"""Tests of the statistics helpers exported by the quasmir shared object."""

import ctypes
import math

import numpy as np
import pytest

import quasmir

C_DOUBLE_P = ctypes.POINTER(ctypes.c_double)
INF, NAN = math.inf, math.nan


@pytest.fixture(scope="module")
def lib():
    lib = ctypes.CDLL(quasmir.__file__)
    lib.rndup.argtypes = [ctypes.c_int32, ctypes.c_double]
    lib.rndup.restype = ctypes.c_double
    for name in ("avevar", "median"):
        func = getattr(lib, name)
        func.argtypes = [C_DOUBLE_P, ctypes.c_int32, C_DOUBLE_P]
        func.restype = None
    lib.compare.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.compare.restype = ctypes.c_int32
    return lib


def call(func, data, n):
    """Run avevar or median on data (None: null pointer); the result."""
    out = np.array([123.0])
    func(None if data is None else data.ctypes.data_as(C_DOUBLE_P), n,
         out.ctypes.data_as(C_DOUBLE_P))
    return out[0]


def same(x, y):
    return (math.isnan(x) and math.isnan(y)) or \
        np.float64(x).view(np.uint64) == np.float64(y).view(np.uint64)


def rndup_ref(n_decimals, value):
    """Scalar twin of rndup, for 10**n_decimals finite and non-zero."""
    a = math.pow(10.0, n_decimals)
    y = value * a
    f, c = float(np.floor(y)), float(np.ceil(y))
    return (c if y - f >= 0.5 else f) / a


@pytest.mark.parametrize("n, value, expected", [
    (0, 2.5, 3.0), (0, -2.5, -2.0), (0, 2.4999, 2.0), (0, 0.5, 1.0),
    (0, -0.4, -0.0), (2, 1.005, 1.0), (2, 2.675, 2.68), (-1, 15.0, 20.0),
    (-1, 14.9, 10.0), (0, INF, INF), (3, -INF, -INF), (10, 1e300, INF),
    (10, -1e300, -INF), (308, 1.0, 1.0), (-323, 1.0, 0.0), (0, NAN, NAN),
    (309, 1.0, NAN), (309, 0.0, NAN), (2**31 - 1, 5.0, NAN),
    (-324, 1.0, NAN), (-324, INF, NAN), (-2**31, 0.0, NAN),
], ids=["tie", "neg-tie", "below-tie", "half", "neg-to-zero", "1.005",
        "2.675", "tens-tie", "tens-down", "inf", "neg-inf", "overflow",
        "neg-overflow", "pow-max", "pow-subnormal", "nan", "pow-inf",
        "pow-inf-zero", "int-max", "pow-zero", "pow-zero-inf", "int-min"])
def test_rndup_values(lib, n, value, expected):
    assert same(lib.rndup(n, value), expected)


@pytest.mark.parametrize("seed", range(4))
def test_rndup_matches_reference(lib, seed):
    rng = np.random.default_rng(seed)
    ns = rng.integers(-15, 16, 2000)
    values = np.concatenate([
        rng.normal(0.0, 10.0 ** rng.uniform(-10, 10), 1000),
        # decimal ties, as close as doubles get
        (rng.integers(-10**6, 10**6, 500) + 0.5) / 10.0 ** ns[1000:1500],
        rng.integers(0, 2**64, 500, dtype=np.uint64).view(np.float64),
    ])
    for n, v in zip(ns.tolist(), values.tolist()):
        assert same(lib.rndup(n, v), rndup_ref(n, v)), (n, v)


@pytest.mark.parametrize("data, n, expected", [
    ([1.0, 2.0, 3.0, 4.0], 4, 2.5), ([1.0, 2.0, 3.0, 1e9], 3, 2.0),
    (None, 0, NAN), (None, -3, -0.0), (None, -2**31, -0.0),
], ids=["1-4", "prefix", "empty", "negative", "int-min"])
def test_avevar_values(lib, data, n, expected):
    data = None if data is None else np.array(data)
    assert same(call(lib.avevar, data, n), expected)


@pytest.mark.parametrize("seed", range(4))
def test_avevar_is_left_to_right(lib, seed):
    rng = np.random.default_rng(seed)
    # Mixed magnitudes make the summation order visible in the result.
    data = rng.normal(0.0, 1.0, 777) * 10.0 ** rng.integers(-8, 17, 777)
    total = 0.0
    for x in data.tolist():
        total = total + x
    assert same(call(lib.avevar, data, data.size), total / data.size)


@pytest.mark.parametrize("a, b, expected", [
    (1.0, 2.0, -1), (2.0, 1.0, 1), (3.0, 3.0, 0), (NAN, 1.0, 0),
    (1.0, NAN, 0), (NAN, NAN, 0), (0.0, -0.0, 0), (-0.0, 0.0, 0),
    (-INF, INF, -1), (5e-324, 0.0, 1),
], ids=["less", "greater", "equal", "nan-lhs", "nan-rhs", "nan-both",
        "zeros", "zeros-swapped", "infinities", "subnormal"])
def test_compare(lib, a, b, expected):
    lhs, rhs = ctypes.c_double(a), ctypes.c_double(b)
    assert lib.compare(ctypes.byref(lhs), ctypes.byref(rhs)) == expected


@pytest.mark.parametrize("n, expected", [
    (9, 1.0), (10, 1.0), (11, 2.0), (12, 2.0), (21, 7.0), (100, 46.0),
    (101, 47.0),
], ids=["9", "10", "11", "12", "21", "100", "101"])
def test_median_picks_below_middle(lib, n, expected):
    data = np.random.default_rng(n).permutation(np.arange(1.0, n + 1))
    assert call(lib.median, data, n) == expected
    np.testing.assert_array_equal(data, np.arange(1.0, n + 1))


@pytest.mark.parametrize("seed", range(6))
def test_median_matches_reference(lib, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(9, 400))
    # Duplicates, and a tail beyond n that must stay untouched.
    data = np.append(rng.integers(-20, 20, n) * 0.25, [NAN] * 3)
    head = sorted(data[:n].tolist())
    assert call(lib.median, data, n) == head[(n + 1) // 2 - 5]
    assert data[:n].tolist() == head and np.isnan(data[n:]).all()


@pytest.mark.parametrize("n", range(1, 9))
def test_median_too_few_is_nan(lib, n):
    data = np.arange(float(n), 0.0, -1.0)
    assert math.isnan(call(lib.median, data, n))
    np.testing.assert_array_equal(data, np.arange(1.0, n + 1))


@pytest.mark.parametrize("n", [0, -1, -2**31], ids=["zero", "neg", "min"])
def test_median_nonpositive_touches_nothing(lib, n):
    assert math.isnan(call(lib.median, None, n))  # null data: no access
