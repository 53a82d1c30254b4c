"""Shared pieces of the property-based tests: the hypothesis profiles,
hostile numbers and arrays, array layouts, and the checks every entry point
must pass (inputs unchanged, the same bits twice).

Profiles (chosen by the environment variable QUASMIR_FUZZ):

- ``ci`` (default): a fixed, derandomized example budget; every run tries
  the same examples.
- ``long``: many more examples, still derandomized (a different seed per
  run can be had with ``QUASMIR_FUZZ_SEED``).
"""

import os
import warnings

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from reference import bits_equal

# hypothesis imports its patch writer (and libcst) only when a test fails,
# inside pytest's warnings-as-errors; a deprecation warning raised by that
# import would hide the failing example.  Import it here, quietly.
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    try:
        import hypothesis.extra._patching  # noqa: F401
    except ImportError:
        pass

_COMMON = dict(
    deadline=None,
    database=None,
    derandomize=True,
    print_blob=True,
    suppress_health_check=[
        HealthCheck.function_scoped_fixture,
        HealthCheck.too_slow,
        HealthCheck.data_too_large,
        HealthCheck.filter_too_much,
    ],
)
settings.register_profile("ci", max_examples=200, **_COMMON)
settings.register_profile("long", max_examples=3000, **_COMMON)
settings.load_profile(os.environ.get("QUASMIR_FUZZ", "ci"))

TINY = 5e-324
SPECIALS = (
    np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, TINY, -TINY,
    2.2250738585072014e-308, 1e-300, 1e-155, 1e155, 1e300,
    1.7976931348623157e308, -1.7976931348623157e308, 299792458.0,
    -299792458.0, 1.0, -1.0,
)
special = st.sampled_from(SPECIALS)
anything = st.one_of(
    special, st.floats(allow_nan=True, allow_infinity=True, width=64)
)

# How an array argument reaches a call: as it is, or in a layout or dtype
# the front must convert without changing the values it reads.
LAYOUTS = ("plain", "strided", "reversed-view", "float32", "int64",
           "uint8", "big-endian", "read-only", "unaligned")


def as_layout(a, layout):
    """`a` (float64) in the given layout."""
    with np.errstate(over="ignore", invalid="ignore"):
        if layout == "plain":
            return a.copy()
        if layout == "strided":
            out = np.full(2 * len(a), -12345.0)
            out[::2] = a
            return out[::2]
        if layout == "reversed-view":
            return a[::-1].copy()[::-1]
        if layout == "float32":
            return a.astype(np.float32)
        if layout == "int64":
            return np.nan_to_num(a, posinf=2**62, neginf=-(2**62)).clip(
                -(2**62), 2**62).astype(np.int64)
        if layout == "uint8":
            return np.nan_to_num(a).clip(0, 255).astype(np.uint8)
        if layout == "big-endian":
            return a.astype(">f8")
        if layout == "read-only":
            out = a.copy()
            out.flags.writeable = False
            return out
        if layout == "unaligned":
            raw = np.zeros(8 * len(a) + 1, np.uint8)
            out = raw[1:].view(np.float64)
            out[:] = a
            return out
    raise ValueError(layout)


def as_read(a):
    """The float64 values a call reads from the argument `a`."""
    return np.array(a, dtype=np.float64)


@st.composite
def hostile(draw, base, p=None):
    """`base` with a few of its elements replaced by hostile numbers."""
    a = np.array(base, dtype=np.float64)
    if len(a) == 0:
        return a
    k = draw(st.integers(0, min(3, len(a)))) if p is None else p
    for _ in range(k):
        a[draw(st.integers(0, len(a) - 1))] = draw(anything)
    return a


WAVE_ORDERS = ("ascending", "unsorted", "duplicated", "descending",
               "constant", "outside", "ascending-huge")


@st.composite
def spectra(draw, n_pix, n_master, min_pix=0, min_master=0):
    """(wave, flux_err, flux, wave_master, flux_master): a line spectrum
    and its master, then disordered and spoilt in the drawn ways."""
    n = draw(st.integers(min_pix, n_pix))
    m = draw(st.integers(min_master, n_master))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    wave_master = np.sort(rng.uniform(5000.0, 5010.0, m))
    flux_master = 1.0 - 0.6 * np.exp(-((wave_master - 5005.0) / 0.8) ** 2)
    wave = np.sort(rng.uniform(5001.0, 5009.0, n))
    flux = np.interp(wave, wave_master, flux_master) if m else np.ones(n)
    flux = flux + rng.normal(0.0, 0.01, n)
    flux_err = rng.uniform(0.005, 0.02, n)
    order = draw(st.sampled_from(WAVE_ORDERS))
    target = draw(st.sampled_from(["wave", "wave_master"]))
    w = wave if target == "wave" else wave_master
    if order == "unsorted":
        rng.shuffle(w)
    elif order == "duplicated" and len(w):
        w[:] = np.sort(np.resize(w[: max(1, len(w) // 2)], len(w)))
    elif order == "descending":
        w[:] = w[::-1]
    elif order == "constant":
        w[:] = 5005.0
    elif order == "outside":
        w += draw(st.sampled_from([-20.0, 20.0, 1e6, -1e4]))
    elif order == "ascending-huge":
        w *= draw(st.sampled_from([1e150, 1e-150, 1e300, TINY]))
    arrays = [wave, flux_err, flux, wave_master, flux_master]
    spoil = draw(st.lists(st.integers(0, 4), max_size=3, unique=True))
    for i in spoil:
        arrays[i] = draw(hostile(arrays[i]))
    if draw(st.integers(0, 9)) == 0:
        # Everything hostile at once.
        fill = draw(special)
        arrays[draw(st.integers(0, 4))][:] = fill
    return arrays


def numbers(default):
    """A scalar argument: its usual value or a hostile number."""
    return st.one_of(st.just(default), anything)


def snapshot(arrays):
    """Bytes, dtype, shape and strides of each array, for 'unchanged'."""
    return [(a.tobytes(), a.dtype.str, a.shape, a.strides) for a in arrays]


def same_results(got, want):
    """Two results (tuples of floats and arrays) identical to the bit."""
    if type(got) is not type(want):
        return False
    if isinstance(got, tuple):
        return len(got) == len(want) and all(
            same_results(g, w) for g, w in zip(got, want)
        )
    if isinstance(got, np.ndarray):
        return got.dtype == want.dtype and bits_equal(got, want)
    return bits_equal(got, want)
