"""The exported C functions called through ctypes (which releases the
interpreter lock) from several threads at once, on shared read-only
inputs, give the sequential results bit for bit; so does linestack's
convenience.  A fit GSL cannot make, running beside ordinary fits, fails
alone: its error handling is per thread."""

import threading

import numpy as np
import pytest

import every_call
from fuzzing import same_results

THREADS = 4
REPEATS = 25

NATIVE = every_call.native_calls()
NATIVE["coadd"] = every_call.calls()["coadd"]


def as_tuple(result):
    """A result as a tuple of float64 arrays and floats."""
    if isinstance(result, tuple):
        return tuple(as_tuple(r) for r in result)
    if isinstance(result, list):
        return tuple(np.asarray(r) for r in result)
    return result


def run_in_threads(funcs):
    """Runs funcs[i % len(funcs)] REPEATS times in each of THREADS threads,
    all released together; returns {thread: [results]}."""
    barrier = threading.Barrier(THREADS)
    results = {t: [] for t in range(THREADS)}
    errors = []

    def work(t):
        try:
            barrier.wait()
            for r in range(REPEATS):
                func = funcs[(t + r) % len(funcs)]
                results[t].append((func, as_tuple(func())))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,))
               for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


@pytest.fixture(autouse=True, scope="module")
def read_only_inputs():
    """Shared inputs are made read-only for these tests."""
    arrays = [every_call.WAVE, every_call.ERR, every_call.FLUX,
              every_call.MASTER_WAVE, every_call.MASTER_FLUX,
              every_call.TRIALS, *every_call.NO_FIT, *every_call.PROFILES]
    flags = [a.flags.writeable for a in arrays]
    for a in arrays:
        a.flags.writeable = False
    yield
    for a, flag in zip(arrays, flags):
        a.flags.writeable = flag


@pytest.mark.parametrize("name", list(NATIVE))
def test_function_in_threads_gives_sequential_results(name, capfd):
    func = NATIVE[name][0]
    want = as_tuple(func())
    for per_thread in run_in_threads([func]).values():
        assert all(same_results(got, want) for _, got in per_thread)
    capfd.readouterr()


def test_all_functions_at_once_give_sequential_results(capfd):
    funcs = [NATIVE[name][0] for name in NATIVE]
    want = {func: as_tuple(func()) for func in funcs}
    for per_thread in run_in_threads(funcs).values():
        for func, got in per_thread:
            assert same_results(got, want[func])
    capfd.readouterr()


def test_failing_fit_beside_ordinary_fits(capfd):
    """One thread's SVD failure gives NaN there and nowhere else."""
    failing = NATIVE["c-second-order-no-fit"][0]
    ordinary = NATIVE["c-second-order"][0]
    want_ordinary = as_tuple(ordinary())
    want_failing = as_tuple(failing())
    results = [0, 1, 2, 3, 4, 6]
    assert np.isfinite(want_ordinary[0][results]).all()
    assert np.isnan(want_failing[0][results]).all()
    results = run_in_threads([failing, ordinary])
    for per_thread in results.values():
        for func, got in per_thread:
            want = want_failing if func is failing else want_ordinary
            assert same_results(got, want)
    capfd.readouterr()
