"""Property-based fuzzing of the Python entry points: the four quasmir
methods and linestack.coadd_loc_gauss_prof.

Hostile numbers, disordered and out-of-range wavelengths, tiny and empty
arrays and every array layout.  Each call either returns results of the
documented shapes or raises the documented exception naming the argument;
it never changes its inputs; the same call twice gives the same bits; and
an argument in another layout or dtype gives the results of its float64
values.  Run under scripts/sanitize.sh, a read outside an array stops the
run."""

import re

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import linestack
import quasmir
from fuzzing import (
    LAYOUTS,
    anything,
    as_layout,
    as_read,
    hostile,
    numbers,
    same_results,
    snapshot,
    spectra,
)

SPECTRUM_ARGS = ("wave", "flux_err", "flux", "wave_master", "flux_master")
# Smallest (n_pix, n_master) each method accepts.
MINIMUM = {
    "get_RV_line_by_line": (2, 1),
    "get_RV_line_by_line2": (2, 2),
    "get_RV_line_by_line2_with_offset": (3, 2),
    "get_RV_line_by_line3": (3, 2),
}
TAYLOR = ["get_RV_line_by_line2", "get_RV_line_by_line2_with_offset",
          "get_RV_line_by_line3"]


def names_in(message, *names):
    return all(re.search(rf"(?<!\w){n}(?!\w)", message) for n in names)


def expected_error(method, arrays):
    """(exception type, argument names the message must give) the method
    must raise for these arrays, or None when it must compute."""
    n, m = len(arrays["wave"]), len(arrays["wave_master"])
    for name in ("flux_err", "flux"):
        if len(arrays[name]) != n:
            return ValueError, ("wave", name)
    if len(arrays["flux_master"]) != m:
        return ValueError, ("wave_master", "flux_master")
    min_pix, min_master = MINIMUM[method]
    if n < min_pix:
        return ValueError, ("wave",)
    if m < min_master:
        return ValueError, ("wave_master",)
    return None


def check_shapes(method, result, arrays):
    n, m = len(arrays["wave"]), len(arrays["wave_master"])
    assert type(result) is tuple
    if method == "get_RV_line_by_line":
        t = len(arrays["rv_trials"])
        assert [r.shape for r in result] == [(t,), (t,), (t,), (t, 2)]
        assert all(r.dtype == np.float64 for r in result)
    elif method == "get_RV_line_by_line3":
        assert len(result) == 13
        assert all(type(x) is float for x in result[:7])
        assert result[5] == 0.0
        assert [r.shape for r in result[7:]] == [(m,)] * 3 + [(n,)] * 3
        assert all(r.dtype == np.float64 for r in result[7:])
    else:
        assert len(result) == 5
        assert all(type(x) is float for x in result)
        if method == "get_RV_line_by_line2":
            assert result[3] == 0.0


def call(method, arrays, scalars):
    return getattr(quasmir, method)(*arrays.values(), *scalars)


@st.composite
def method_calls(draw, method):
    """(arrays, scalars): the arguments of one call."""
    arrays = dict(zip(SPECTRUM_ARGS, draw(spectra(14, 14))))
    # Now and then one array of a group is a pixel short or long.
    if draw(st.integers(0, 7)) == 0:
        name = draw(st.sampled_from(["flux_err", "flux", "flux_master"]))
        a = arrays[name]
        arrays[name] = a[:-1] if len(a) and draw(st.booleans()) else \
            np.append(a, 1.0)
    if method == "get_RV_line_by_line":
        trials = draw(hostile(np.linspace(-3e3, 3e3, draw(st.integers(0, 4)))))
        arrays = {"rv_trials": trials, **arrays}
        scalars = (draw(numbers(0.0)),)
    else:
        scalars = (draw(numbers(0.0)), draw(numbers(0.0)),
                   draw(numbers(5005.0)))
    scalars = scalars[: draw(st.integers(0, len(scalars)))]
    layouts = {name: draw(st.sampled_from(LAYOUTS)) for name in arrays}
    arrays = {name: as_layout(a, layouts[name]) for name, a in arrays.items()}
    return arrays, scalars


@pytest.mark.parametrize("method", list(MINIMUM))
@given(data=st.data())
def test_method_survives_hostile_input(method, data, capfd):
    arrays, scalars = data.draw(method_calls(method))
    before = snapshot(arrays.values())
    error = expected_error(method, arrays)
    if error is not None:
        kind, names = error
        with pytest.raises(kind) as info:
            call(method, arrays, scalars)
        assert names_in(str(info.value), *names), str(info.value)
        assert capfd.readouterr().out == ""
        assert snapshot(arrays.values()) == before
        return

    first = call(method, arrays, scalars)
    printed = capfd.readouterr().out
    check_shapes(method, first, arrays)
    assert snapshot(arrays.values()) == before
    # The same call gives the same bits and prints the same.
    assert same_results(call(method, arrays, scalars), first)
    assert capfd.readouterr().out == printed
    if method == "get_RV_line_by_line3":
        assert len(printed.splitlines()) == 1
    elif method != "get_RV_line_by_line2":
        assert printed == ""
    # Another layout or dtype reads as its float64 values.
    plain = {name: as_read(a) for name, a in arrays.items()}
    assert same_results(call(method, plain, scalars), first)
    capfd.readouterr()


LINESTACK_ARGS = ("rv", "contrast", "fwhm", "grid", "continuum")


@given(data=st.data())
def test_linestack_survives_hostile_input(data):
    n_profiles = data.draw(st.integers(0, 5))
    n_grid = data.draw(st.integers(0, 12))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    arrays = {
        "rv": rng.uniform(-20.0, 20.0, n_profiles),
        "contrast": rng.uniform(0.0, 1.0, n_profiles),
        "fwhm": rng.uniform(1.0, 10.0, n_profiles),
        "grid": np.linspace(-50.0, 50.0, n_grid),
        "continuum": rng.uniform(0.5, 1.5, n_profiles),
    }
    for name in data.draw(st.lists(st.sampled_from(LINESTACK_ARGS),
                                   max_size=3, unique=True)):
        arrays[name] = data.draw(hostile(arrays[name]))
    short = None
    if data.draw(st.integers(0, 7)) == 0:
        short = data.draw(st.sampled_from(["contrast", "fwhm", "continuum"]))
        arrays[short] = np.append(arrays[short], 1.0)
    arrays = {name: as_layout(a, data.draw(st.sampled_from(LAYOUTS)))
              for name, a in arrays.items()}
    before = snapshot(arrays.values())
    if short is not None:
        with pytest.raises(ValueError, match=rf"{short}.*\brv\b"):
            linestack.coadd_loc_gauss_prof(*arrays.values())
        assert snapshot(arrays.values()) == before
        return
    with np.errstate(all="ignore"):
        first = linestack.coadd_loc_gauss_prof(*arrays.values())
        again = linestack.coadd_loc_gauss_prof(*arrays.values())
        plain = linestack.coadd_loc_gauss_prof(
            *(as_read(a) for a in arrays.values()))
    assert first.shape == (n_profiles, n_grid)
    assert first.dtype == np.float64
    assert snapshot(arrays.values()) == before
    assert same_results(again, first)
    assert same_results(plain, first)


@pytest.mark.parametrize("method", TAYLOR)
@given(wave=st.lists(anything, min_size=3, max_size=6),
       master=st.lists(anything, min_size=2, max_size=6),
       scalars=st.tuples(anything, anything, anything))
def test_taylor_fit_of_pure_garbage_never_crashes(method, wave, master,
                                                  scalars, capfd):
    """Every value hostile, no structure at all: results or NaN, never an
    abort (an SVD that does not converge included)."""
    wave = np.array(wave)
    master = np.array(master)
    result = getattr(quasmir, method)(
        wave, wave[::-1].copy(), wave.copy(), master, master[::-1].copy(),
        *scalars)
    check_shapes(method, result, {"wave": wave, "wave_master": master})
    capfd.readouterr()
