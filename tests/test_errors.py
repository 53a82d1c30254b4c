"""Every error of a bad argument names the method and the argument, keeps
the type the argument parser gives it and is chained to the parser's own
error."""

import re

import numpy as np
import pytest

import linestack

SPECTRUM = ("wave", "flux_err", "flux", "wave_master", "flux_master")
NUMBERS = ("sys_err", "rv_shift", "lambda_ref")
METHODS = {
    "get_RV_line_by_line": (("rv_trials", *SPECTRUM), NUMBERS[:1]),
    "get_RV_line_by_line2": (SPECTRUM, NUMBERS),
    "get_RV_line_by_line2_with_offset": (SPECTRUM, NUMBERS),
    "get_RV_line_by_line3": (SPECTRUM, NUMBERS),
}
METHOD_NUMBERS = [(m, n) for m, (_, numbers) in METHODS.items()
                  for n in numbers]
METHOD_ARRAYS = [(m, a) for m, (arrays, _) in METHODS.items() for a in arrays]

# value, error type, what the message says after the argument's name
BAD_NUMBERS = {
    "str": ("0.5", TypeError, "must be a real number, not str"),
    "None": (None, TypeError, "must be a real number, not NoneType"),
    "complex": (1j, TypeError, "must be a real number, not complex"),
    "list": ([2.0], TypeError, "must be a real number, not list"),
    "huge-int": (10**400, OverflowError,
                 "is too large to convert to float"),
    "1d-array": (np.array([2.0]), TypeError,
                 "must be a real number, not a 1-dimensional array"),
}


def _arrays(method):
    wave = np.linspace(5000.0, 5001.0, 12)
    master = np.linspace(4999.0, 5002.0, 40)
    arrays = {
        "wave": wave,
        "flux_err": np.full(12, 0.01),
        "flux": 1.0 - 0.3 * np.exp(-((wave - 5000.5) / 0.1) ** 2),
        "wave_master": master,
        "flux_master": 1.0 - 0.3 * np.exp(-((master - 5000.5) / 0.1) ** 2),
    }
    if method == "get_RV_line_by_line":
        arrays = {"rv_trials": np.array([0.0, 100.0]), **arrays}
    return arrays


def _whole(text):
    return "^" + re.escape(text) + "$"


def _raises(error, message, run, *args):
    """run(*args) raises exactly `error` with exactly `message`, chained to
    an error of the same type."""
    with pytest.raises(error, match=_whole(message)) as info:
        run(*args)
    assert type(info.value) is error
    return info.value


@pytest.mark.parametrize("kind", list(BAD_NUMBERS))
@pytest.mark.parametrize("method, name", METHOD_NUMBERS,
                         ids=[f"{m}-{n}" for m, n in METHOD_NUMBERS])
def test_bad_number_names_method_and_argument(quasmir, method, name, kind):
    value, error, says = BAD_NUMBERS[kind]
    numbers = [0.001, 10.0, 5000.0][: METHODS[method][1].index(name)]
    run = getattr(quasmir, method)
    raised = _raises(error, f"{method}: {name} {says}", run,
                     *_arrays(method).values(), *numbers, value)
    # The parser's own error, of the same type, is the cause.
    assert type(raised.__cause__) is error
    assert raised.__suppress_context__


@pytest.mark.parametrize("method, name", METHOD_ARRAYS,
                         ids=[f"{m}-{a}" for m, a in METHOD_ARRAYS])
@pytest.mark.parametrize("value", [[1.0, 2.0], (1.0,), 3.0, None, "abc"],
                         ids=["list", "tuple", "float", "None", "str"])
def test_non_array_names_method_and_argument(quasmir, method, name, value):
    arrays = _arrays(method)
    arrays[name] = value
    raised = _raises(
        TypeError,
        f"{method}: {name} must be numpy.ndarray, not {type(value).__name__}",
        getattr(quasmir, method), *arrays.values())
    assert type(raised.__cause__) is TypeError


@pytest.mark.parametrize("method", METHODS)
def test_wrong_count_names_method(quasmir, method):
    arrays, numbers = METHODS[method]
    values = list(_arrays(method).values())
    run = getattr(quasmir, method)
    least, most = len(arrays), len(arrays) + len(numbers)
    for given in (0, least - 1):
        _raises(TypeError,
                f"{method}: takes at least {least} arguments ({given} given)",
                run, *values[:given])
    _raises(TypeError,
            f"{method}: takes at most {most} arguments ({most + 1} given)",
            run, *values, *[1.0] * (most + 1 - least))


@pytest.mark.parametrize("method", METHODS)
def test_first_bad_argument_is_the_one_named(quasmir, method):
    """The parser's order: the count, then each argument from the left."""
    arrays, numbers = METHODS[method]
    values = list(_arrays(method).values())
    run = getattr(quasmir, method)
    _raises(TypeError, f"{method}: {arrays[1]} must be numpy.ndarray, "
            "not list", run, values[0], [1.0], *values[2:], "x")
    bad = ["x"] * len(numbers)
    _raises(TypeError, f"{method}: {numbers[0]} must be a real number, "
            "not str", run, *values, *bad)


@pytest.mark.parametrize("method", METHODS)
def test_error_raised_by_a_number_itself_is_left_alone(quasmir, method):
    """An error a number's own __float__ raises is the caller's, not a
    bad type: it comes through unchanged."""

    class Broken:
        def __float__(self):
            raise ZeroDivisionError("from __float__")

    with pytest.raises(ZeroDivisionError, match="^from __float__$"):
        getattr(quasmir, method)(*_arrays(method).values(), Broken())


@pytest.mark.parametrize("method", METHODS)
def test_array_errors_name_the_method(quasmir, method):
    arrays = _arrays(method)
    run = getattr(quasmir, method)
    bad = dict(arrays, flux=arrays["flux"][:5])
    _raises(ValueError, f"{method}: flux has length 5 but wave has length 12",
            run, *bad.values())
    bad = dict(arrays, wave_master=np.ones((2, 3)))
    _raises(ValueError, f"{method}: wave_master must be one-dimensional, "
            "not 2-dimensional", run, *bad.values())
    bad = dict(arrays, flux_err=np.ones(12, complex))
    _raises(TypeError, f"{method}: flux_err must hold real numbers, not "
            "complex128", run, *bad.values())
    bad = dict(arrays, wave=np.ma.masked_array(arrays["wave"]))
    _raises(TypeError, f"{method}: wave is a masked array: pass the pixels "
            "to use (numpy.ma.compressed) or filled values", run,
            *bad.values())
    bad = {k: v[:1] for k, v in arrays.items()}
    with pytest.raises(ValueError, match=f"^{method}: wave must hold at "
                       "least [23] pixels, got 1$"):
        run(*bad.values())


@pytest.mark.parametrize("method", METHODS)
def test_valid_numbers_of_any_real_kind_are_taken(quasmir, capfd, method):
    """What converts to float still does: ints, numpy scalars, 0-d arrays,
    objects with __float__ or __index__."""

    class Half:
        def __float__(self):
            return 0.5

    class Two:
        def __index__(self):
            return 2

    run = getattr(quasmir, method)
    arrays = list(_arrays(method).values())
    want = run(*arrays, 0.5)
    for value in (np.float32(0.5), np.array(0.5), Half()):
        assert repr(run(*arrays, value)) == repr(want)
    assert repr(run(*arrays, Two())) == repr(run(*arrays, 2.0))
    capfd.readouterr()


NAMES = ("rv", "contrast", "fwhm", "grid", "continuum")


def _profile_args():
    return [np.array([0.0, 1.0]), np.array([0.5, 0.2]),
            np.array([1.0, 2.0]), np.linspace(-2.0, 2.0, 5),
            np.array([1.0, 1.5])]


@pytest.mark.parametrize("pos", range(5), ids=NAMES)
@pytest.mark.parametrize("bad, error, says", [
    ([0.0, 1.0], TypeError, "must be a numpy.ndarray, not list"),
    (np.zeros((2, 2)), ValueError, "must be one-dimensional, not "
     "2-dimensional"),
    (np.zeros(2, complex), TypeError, "must have a real numeric dtype, not "
     "complex (complex128)"),
], ids=["list", "2d", "complex"])
def test_profile_errors_name_function_and_argument(pos, bad, error, says):
    args = _profile_args()
    args[pos] = bad
    _raises(error, f"coadd_loc_gauss_prof: {NAMES[pos]} {says}",
            linestack.coadd_loc_gauss_prof, *args)
