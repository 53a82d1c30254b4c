"""The Python face of quasmir: documentation, argument checking, array
conversion, defaults and the shape of the results."""

import inspect
import re

import numpy as np
import pytest

import reference as ref
from reference import bits_equal

SPECTRUM_ARGS = ("wave", "flux_err", "flux", "wave_master", "flux_master")
METHODS = {
    "get_RV_line_by_line": ("rv_trials", *SPECTRUM_ARGS),
    "get_RV_line_by_line2": SPECTRUM_ARGS,
    "get_RV_line_by_line2_with_offset": SPECTRUM_ARGS,
    "get_RV_line_by_line3": SPECTRUM_ARGS,
}
# Smallest (n_pix, n_master) each method accepts.
MINIMUM = {
    "get_RV_line_by_line": (2, 1),
    "get_RV_line_by_line2": (2, 2),
    "get_RV_line_by_line2_with_offset": (3, 2),
    "get_RV_line_by_line3": (3, 2),
}
METHOD_ARGS = [(m, a) for m, names in METHODS.items() for a in names]
METHOD_ARG_IDS = [f"{m}-{a}" for m, a in METHOD_ARGS]


def _valid(gen, method, n_pix=12, n_master=30):
    master = gen.master(1, n_master=n_master)
    spectrum = gen.spectrum(2, master, n_pix=n_pix)
    arrays = dict(zip(SPECTRUM_ARGS, (*spectrum, *master)))
    if method == "get_RV_line_by_line":
        arrays = {"rv_trials": np.array([0.0, 300.0, -450.0]), **arrays}
    return arrays


def _call(quasmir, method, arrays, *numbers):
    return getattr(quasmir, method)(*arrays.values(), *numbers)


def _name(name):
    """Pattern for an argument name as a whole word (wave, not
    wave_master)."""
    return rf"(?<![\w]){re.escape(name)}(?![\w])"


def _assert_same_results(got, want):
    assert type(got) is tuple and len(got) == len(want)
    for g, w in zip(got, want):
        assert type(g) is type(w)
        assert bits_equal(g, w)


# --- module -----------------------------------------------------------------


def test_module_and_method_documentation(quasmir):
    assert quasmir.__doc__ == " "
    for method in METHODS:
        assert getattr(quasmir, method).__doc__ == "calculate spectrum"


@pytest.mark.parametrize("method", METHODS)
def test_signature_names_the_arguments_and_their_defaults(
    quasmir, gen, method
):
    """help() and inspect show the positional arguments; the defaults they
    show are the ones the method applies."""
    params = inspect.signature(getattr(quasmir, method)).parameters
    arrays = _valid(gen, method)
    assert list(params)[: len(arrays)] == list(arrays)
    defaults = [p.default for p in params.values() if p.default is not p.empty]
    assert all(p.kind is p.POSITIONAL_ONLY for p in params.values())
    _assert_same_results(
        _call(quasmir, method, arrays, *defaults),
        _call(quasmir, method, arrays),
    )


# --- rejected arguments -----------------------------------------------------

_HUGE = np.broadcast_to(np.float64(1.0), (2**31,))
BAD_ARRAYS = {
    "complex": (lambda n: np.ones(n, np.complex128), TypeError),
    "object": (lambda n: np.ones(n, dtype=object), TypeError),
    "string": (lambda n: np.array(["1.5"] * n), TypeError),
    "bytes": (lambda n: np.array([b"1.5"] * n), TypeError),
    "void": (lambda n: np.zeros(n, "V8"), TypeError),
    "bool": (lambda n: np.ones(n, bool), TypeError),
    "datetime": (lambda n: np.arange(n).astype("M8[s]"), TypeError),
    "timedelta": (lambda n: np.arange(n).astype("m8[s]"), TypeError),
    "masked": (lambda n: np.ma.masked_array(np.ones(n)), TypeError),
    "two-dim": (lambda n: np.ones((n, 1)), ValueError),
    "zero-dim": (lambda n: np.array(1.0), ValueError),
    "longer-than-int32": (lambda n: _HUGE, ValueError),
}


@pytest.mark.parametrize("kind", list(BAD_ARRAYS))
@pytest.mark.parametrize("method, arg", METHOD_ARGS, ids=METHOD_ARG_IDS)
def test_bad_array_is_rejected_by_name(quasmir, gen, capfd, method, arg, kind):
    make, error = BAD_ARRAYS[kind]
    arrays = _valid(gen, method)
    arrays[arg] = make(len(arrays[arg]))
    with pytest.raises(error, match=_name(arg)):
        _call(quasmir, method, arrays)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("method, arg", METHOD_ARGS, ids=METHOD_ARG_IDS)
def test_list_instead_of_array_is_a_type_error(quasmir, gen, method, arg):
    arrays = _valid(gen, method)
    arrays[arg] = arrays[arg].tolist()
    with pytest.raises(TypeError):
        _call(quasmir, method, arrays)


@pytest.mark.parametrize("method", METHODS)
def test_wrong_argument_count_or_kind_is_a_type_error(quasmir, gen, method):
    arrays = list(_valid(gen, method).values())
    run = getattr(quasmir, method)
    with pytest.raises(TypeError):
        run(*arrays[:-1])
    with pytest.raises(TypeError):
        run()
    with pytest.raises(TypeError):
        run(*arrays, "not a number")
    with pytest.raises(TypeError):
        run(*arrays, 0.0, 0.0, 1e5, 1.0)


@pytest.mark.parametrize("method", METHODS)
def test_each_array_is_checked_completely_in_argument_order(
    quasmir, gen, method
):
    """The first bad argument is the one reported, whatever is wrong with a
    later one."""
    arrays = _valid(gen, method)
    first, second = list(arrays)[:2]
    bad = dict(
        arrays, **{first: np.ones((4, 3)), second: np.ones(3, np.complex128)}
    )
    with pytest.raises(ValueError, match=_name(first)):
        _call(quasmir, method, bad)
    bad = dict(
        arrays, **{first: np.ones(5, np.complex128), second: np.ones((4, 3))}
    )
    with pytest.raises(TypeError, match=_name(first)):
        _call(quasmir, method, bad)
    bad = dict(arrays, flux=np.ones(3, bool))
    with pytest.raises(TypeError, match=_name("flux")):
        _call(quasmir, method, bad)


LENGTH_CASES = [
    (arg, delta)
    for arg in ("flux_err", "flux", "flux_master")
    for delta in (-1, 2)
]


@pytest.mark.parametrize(
    "arg, delta", LENGTH_CASES, ids=[f"{a}{d:+d}" for a, d in LENGTH_CASES]
)
@pytest.mark.parametrize("method", METHODS)
def test_unequal_lengths_name_both_arrays(
    quasmir, gen, capfd, method, arg, delta
):
    arrays = _valid(gen, method)
    against = "wave_master" if arg == "flux_master" else "wave"
    n = len(arrays[against])
    arrays[arg] = np.resize(arrays[arg], n + delta)
    with pytest.raises(ValueError) as info:
        _call(quasmir, method, arrays)
    message = str(info.value)
    for word in (arg, against, str(n), str(n + delta)):
        assert re.search(_name(word), message), message
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("method", METHODS)
def test_length_mismatch_is_reported_before_too_few_pixels(
    quasmir, gen, method
):
    arrays = _valid(gen, method)
    arrays["wave"] = arrays["wave"][:1].copy()
    arrays["flux_err"] = arrays["flux_err"][:2].copy()
    with pytest.raises(ValueError, match=_name("flux_err")):
        _call(quasmir, method, arrays)


COUNT_CASES = [
    (method, n_pix, n_master, n_pix >= least_pix and n_master >= least_m)
    for method, (least_pix, least_m) in MINIMUM.items()
    for n_pix, n_master in sorted(
        {
            (least_pix - 1, 30),
            (0, 30),
            (0, 0),
            (12, least_m - 1),
            (12, 0),
            (least_pix, least_m),
        }
    )
]


@pytest.mark.parametrize(
    "method, n_pix, n_master, accepted",
    COUNT_CASES,
    ids=[f"{m}-{p}px-{q}master" for m, p, q, _ in COUNT_CASES],
)
def test_minimum_pixel_and_master_counts(
    quasmir, gen, method, n_pix, n_master, accepted
):
    arrays = _valid(gen, method)
    for name in ("wave", "flux_err", "flux"):
        arrays[name] = arrays[name][:n_pix].copy()
    for name in ("wave_master", "flux_master"):
        arrays[name] = arrays[name][:n_master].copy()
    if accepted:
        assert len(_call(quasmir, method, arrays)) in (4, 5, 13)
    else:
        with pytest.raises(ValueError):
            _call(quasmir, method, arrays)


# --- conversions ------------------------------------------------------------


def _integer_data(method):
    """Small integers that every real dtype holds exactly."""
    wave_master = np.arange(20, 120)
    profile = 50 * np.exp(
        -0.5 * ((wave_master - 55) / 4.0) ** 2
    ) + 30 * np.exp(-0.5 * ((wave_master - 90) / 3.0) ** 2)
    flux_master = 100 - np.rint(profile).astype(np.int64)
    wave = np.arange(30, 110, 2)
    noise = np.random.default_rng(3).integers(-2, 3, len(wave))
    arrays = {
        "wave": wave,
        "flux_err": 1 + (wave % 3),
        "flux": flux_master[wave - 20] + noise,
        "wave_master": wave_master,
        "flux_master": flux_master,
    }
    if method == "get_RV_line_by_line":
        arrays = {"rv_trials": np.array([0, 3, 7]), **arrays}
    return arrays


REAL_DTYPES = [
    np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64,
    np.uint64, np.float16, np.float32, np.longdouble
]


@pytest.mark.parametrize(
    "dtype", REAL_DTYPES, ids=[np.dtype(d).name for d in REAL_DTYPES]
)
@pytest.mark.parametrize("method", METHODS)
def test_other_real_dtypes_are_converted(quasmir, capfd, method, dtype):
    arrays = _integer_data(method)
    converted = {k: v.astype(dtype) for k, v in arrays.items()}
    got = _call(quasmir, method, converted, 0.5)
    got_out = capfd.readouterr().out
    want = _call(
        quasmir, method, {k: v.astype(np.float64) for k, v in arrays.items()},
        0.5
    )
    _assert_same_results(got, want)
    assert got_out == capfd.readouterr().out


class _Tagged(np.ndarray):
    """A trivial ndarray subclass."""


def _unaligned(a):
    raw = np.zeros(a.size * 8 + 1, np.uint8)
    out = raw[1:].view(np.float64)
    out[:] = a
    assert not out.flags.aligned
    return out


def _read_only(a):
    out = a.copy()
    out.flags.writeable = False
    return out


LAYOUTS = {
    "strided": lambda a: np.repeat(a, 2)[::2],
    "negative-stride": lambda a: a[::-1].copy()[::-1],
    "unaligned": _unaligned,
    "byte-swapped": lambda a: a.astype(">f8"),
    "read-only": _read_only,
    "subclass": lambda a: a.copy().view(_Tagged),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("method", METHODS)
def test_any_float64_layout_gives_the_contiguous_result(
    quasmir, gen, capfd, method, layout
):
    arrays = _valid(gen, method, n_pix=40, n_master=80)
    numbers = (0.001,) if method == "get_RV_line_by_line" else (0.001, 100.0)
    got = _call(
        quasmir, method, {k: LAYOUTS[layout](v) for k, v in arrays.items()},
        *numbers
    )
    want = _call(quasmir, method, arrays, *numbers)
    _assert_same_results(got, want)


@pytest.mark.parametrize("method, arg", METHOD_ARGS, ids=METHOD_ARG_IDS)
def test_each_argument_is_converted_in_its_own_place(
    quasmir, gen, capfd, method, arg
):
    arrays = _valid(gen, method, n_pix=40, n_master=80)
    single = dict(arrays, **{arg: arrays[arg].astype(np.float32)})
    got = _call(quasmir, method, single, 0.001)
    exact = dict(arrays, **{arg: single[arg].astype(np.float64)})
    _assert_same_results(got, _call(quasmir, method, exact, 0.001))


# --- defaults and results ---------------------------------------------------


@pytest.mark.parametrize("method", METHODS)
def test_omitted_numbers_take_their_defaults(quasmir, gen, capfd, method):
    arrays = _valid(gen, method, n_pix=30, n_master=60)
    if method == "get_RV_line_by_line":
        _assert_same_results(
            _call(quasmir, method, arrays), _call(quasmir, method, arrays, 0.0)
        )
        return
    full = (0.002, 350.0, 100000.0)
    pairs = [
        ((), (0.0, 0.0, 100000.0)), (full[:1], full[:1] + (0.0, 1e5)),
        (full[:2], full)
    ]
    for given, explicit in pairs:
        capfd.readouterr()
        short = _call(quasmir, method, arrays, *given)
        short_out = capfd.readouterr().out
        _assert_same_results(short, _call(quasmir, method, arrays, *explicit))
        assert short_out == capfd.readouterr().out


def test_scan_results_are_new_float64_arrays(quasmir, gen):
    arrays = _valid(gen, "get_RV_line_by_line")
    got = _call(quasmir, "get_RV_line_by_line", arrays)
    assert type(got) is tuple and len(got) == 4
    shapes = [(3,), (3,), (3,), (3, 2)]
    for a, shape in zip(got, shapes):
        assert type(a) is np.ndarray and a.dtype == np.float64
        assert a.shape == shape and a.flags.c_contiguous
        assert a.flags.owndata and a.flags.writeable
    want = ref.scan_method(*arrays.values())
    for g, w in zip(got, want):
        assert bits_equal(g, w)


def test_scan_without_trials_returns_empty_arrays(quasmir, gen):
    arrays = _valid(gen, "get_RV_line_by_line")
    arrays["rv_trials"] = np.zeros(0)
    got = _call(quasmir, "get_RV_line_by_line", arrays)
    assert [a.shape for a in got] == [(0,), (0,), (0,), (0, 2)]
    assert all(a.dtype == np.float64 for a in got)


@pytest.mark.parametrize("method", list(METHODS)[1:])
def test_taylor_results_are_floats_and_new_arrays(quasmir, gen, capfd, method):
    arrays = _valid(gen, method)
    got = _call(quasmir, method, arrays)
    if method == "get_RV_line_by_line3":
        assert len(got) == 13 and got[5] == 0.0
        assert all(type(x) is float for x in got[:7])
        for a, n in zip(got[7:], [30, 30, 30, 12, 12, 12]):
            assert type(a) is np.ndarray and a.dtype == np.float64
            assert a.shape == (n,) and a.flags.owndata
    else:
        assert len(got) == 5 and all(type(x) is float for x in got)
        if method == "get_RV_line_by_line2":
            assert got[3] == 0.0
