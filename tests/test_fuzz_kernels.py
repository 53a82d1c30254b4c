"""Property-based fuzzing of every exported C function through ctypes.

Counts run from negative and zero up to the arrays' lengths; inputs are
fresh arrays of exactly their length (a read past one is caught by the
sanitizer run) and outputs carry guard slots no call may write.  Each call
leaves its inputs unchanged (median sorts its own, as documented), writes
what its documentation says for the counts given, and gives the same bits
when repeated."""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import native
from fuzzing import anything, bits_equal, hostile, numbers, snapshot, spectra
from native import GUARD, SENTINEL

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def count_upto(n):
    """A count for an array of n elements: up to n, or not positive."""
    return st.one_of(st.integers(0, n), st.sampled_from([-1, INT32_MIN]))


def untouched(a, start):
    return bits_equal(a[max(start, 0):], np.full(len(a) - max(start, 0),
                                                 SENTINEL))


@st.composite
def kernel_spectra(draw):
    wave, flux_err, flux, wave_master, flux_master = map(
        native.exact, draw(spectra(12, 12)))
    n_pix = draw(count_upto(len(wave)))
    n_master = draw(count_upto(len(wave_master)))
    return wave, flux_err, flux, n_pix, wave_master, flux_master, n_master


@given(data=kernel_spectra(), trials=st.integers(0, 4),
       sys_err=numbers(0.0), st_data=st.data())
def test_scan_kernel(data, trials, sys_err, st_data):
    wave, flux_err, flux, n_pix, wave_master, flux_master, n_master = data
    rv_trials = native.exact(st_data.draw(
        hostile(np.linspace(-2e3, 2e3, trials))))
    n_trials = st_data.draw(count_upto(trials))
    inputs = [rv_trials, wave, flux_err, flux, wave_master, flux_master]
    before = snapshot(inputs)
    args = (rv_trials, n_trials, wave, sys_err, flux_err, flux, n_pix,
            wave_master, flux_master, n_master)
    rv, rv_err, chi2, coeffs = first = native.scan(*args)
    assert snapshot(inputs) == before
    assert all(bits_equal(a, b) for a, b in zip(native.scan(*args), first))
    t = max(n_trials, 0)
    for a, n in ((rv, t), (rv_err, t), (chi2, t), (coeffs, 2 * t)):
        assert untouched(a, n)
        if n_pix < 2 or n_master < 1:
            assert np.isnan(a[:n]).all()
        else:
            assert not (a[:n] == SENTINEL).any()


@pytest.mark.parametrize("with_offset", [False, True],
                         ids=["without_offset", "with_offset"])
@given(data=kernel_spectra(), scalars=st.tuples(
    numbers(5005.0), numbers(0.0), numbers(0.0)))
def test_first_order_kernels(with_offset, data, scalars, capfd):
    wave, flux_err, flux, n_pix, wave_master, flux_master, n_master = data
    lambda_ref, sys_err, rv_shift = scalars
    inputs = [wave, flux_err, flux, wave_master, flux_master]
    before = snapshot(inputs)
    args = (with_offset, wave, lambda_ref, sys_err, rv_shift, flux_err, flux,
            n_pix, wave_master, flux_master, n_master)
    out = native.first_order(*args)
    assert snapshot(inputs) == before
    assert bits_equal(native.first_order(*args), out)
    assert untouched(out, 5)
    written = [0, 1, 2, 3, 4] if with_offset else [0, 1, 2, 4]
    if not with_offset:
        assert out[3] == SENTINEL
    if n_pix < (3 if with_offset else 2) or n_master < 2:
        assert np.isnan(out[written]).all()
        assert capfd.readouterr().out == ""
    else:
        assert not (out[written] == SENTINEL).any()
    capfd.readouterr()


@given(data=kernel_spectra(), scalars=st.tuples(
    numbers(5005.0), numbers(0.0), numbers(0.0)))
def test_second_order_kernel(data, scalars, capfd):
    wave, flux_err, flux, n_pix, wave_master, flux_master, n_master = data
    inputs = [wave, flux_err, flux, wave_master, flux_master]
    before = snapshot(inputs)
    args = (wave, flux_err, flux, n_pix, wave_master, flux_master, n_master,
            *scalars)
    out, tables = native.second_order(*args)
    printed = capfd.readouterr().out
    assert snapshot(inputs) == before
    again, tables_again = native.second_order(*args)
    assert bits_equal(again, out)
    assert all(bits_equal(a, b) for a, b in zip(tables_again, tables))
    assert capfd.readouterr().out == printed
    assert untouched(out, 7) and out[5] == SENTINEL
    results = out[[0, 1, 2, 3, 4, 6]]
    if n_pix < 3 or n_master < 2:
        assert np.isnan(results).all()
        assert printed == ""
        assert all(untouched(t, 0) for t in tables)
        return
    assert not (results == SENTINEL).any()
    assert len(printed.splitlines()) == 1
    # Every table is written up to its count except the derivative entries
    # without a forward pair, and never beyond.  (The interpolated
    # derivative columns read those unpaired entries as the caller left
    # them, so they may be SENTINEL-made.)
    m, n = n_master, n_pix
    for i, (table, written) in enumerate(zip(tables, (m, m - 1, m - 2,
                                                      n, n, n))):
        assert untouched(table, written)
        if i < 4:
            assert not (table[:written] == SENTINEL).any()


@given(data=kernel_spectra())
def test_obtain_same_sampling(data):
    wave, _, _, n_pix, wave_ref, flux_ref, n_ref = data
    inputs = [wave, wave_ref, flux_ref]
    before = snapshot(inputs)
    first = native.obtain_same_sampling(wave, n_pix, wave_ref, n_ref,
                                        flux_ref)
    assert snapshot(inputs) == before
    again = native.obtain_same_sampling(wave, n_pix, wave_ref, n_ref,
                                        flux_ref)
    assert all(np.array_equal(a.view(np.uint8), b.view(np.uint8))
               for a, b in zip(first, again))
    wave_out, flux_out, index, offset = first
    n = max(n_pix, 0)
    assert all(untouched(a, n) for a in (wave_out, flux_out, offset))
    assert (index[n:] == -99).all()
    if n == 0:
        return
    if n_ref <= 0:
        assert (index[:n] == -1).all()
        assert np.isnan(np.r_[wave_out[:n], flux_out[:n], offset[:n]]).all()
        return
    idx = index[:n]
    assert ((idx >= 0) & (idx < n_ref)).all()
    assert (np.diff(idx) >= 0).all()  # the search only moves forward
    assert bits_equal(wave_out[:n], wave_ref[idx])
    assert bits_equal(flux_out[:n], flux_ref[idx])
    with np.errstate(invalid="ignore", over="ignore"):
        assert bits_equal(offset[:n], wave[:n] - wave_ref[idx])


@given(data=kernel_spectra(), sys_err=numbers(0.0))
def test_bouchy(data, sys_err):
    wave, flux_err, flux, n, model, _, _ = data
    # The model shares the pixels: take n from the shortest array.
    length = min(len(wave), len(model))
    wave, flux_err, flux, model = (native.exact(a[:length]) for a in
                                   (wave, flux_err, flux, model))
    n = min(n, length)
    inputs = [wave, flux_err, flux, model]
    before = snapshot(inputs)
    out = native.bouchy(wave, flux_err, flux, model, n, sys_err)
    assert snapshot(inputs) == before
    assert bits_equal(native.bouchy(wave, flux_err, flux, model, n, sys_err),
                      out)
    assert untouched(out, 2)
    if n <= 1:
        # No pixel pair: 0/0 velocity, infinite error.
        assert math.isnan(out[0]) and out[1] == math.inf


@given(v=anything, lam=anything)
def test_delta_lambda(v, lam):
    first = native.delta_lambda(v, lam)
    assert bits_equal(native.delta_lambda(v, lam), first)


@given(n=st.one_of(st.integers(-400, 400), st.sampled_from(
    [INT32_MIN, INT32_MAX])), value=anything)
def test_rndup(n, value):
    first = native.rndup(n, value)
    assert bits_equal(native.rndup(n, value), first)
    with np.errstate(over="ignore", under="ignore"):
        a = float(np.power(10.0, float(n)))
    if not (math.isfinite(a) and a != 0.0):
        assert math.isnan(first)


@given(a=anything, b=anything)
def test_compare(a, b):
    expected = (a > b) - (a < b)
    assert native.compare(a, b) == expected
    assert native.compare(b, a) == -expected


@given(values=st.lists(anything, max_size=30), st_data=st.data())
def test_avevar(values, st_data):
    data = native.exact(values)
    n = st_data.draw(count_upto(len(data)))
    before = snapshot([data])
    out = native.avevar(data, n)
    assert snapshot([data]) == before
    assert untouched(out, 1)
    total = 0.0
    for x in data[: max(n, 0)]:
        total = total + float(x)
    with np.errstate(invalid="ignore", divide="ignore"):
        expected = np.float64(total) / np.float64(n)
    assert bits_equal(out[0], expected)


@given(values=st.lists(anything, max_size=30), st_data=st.data())
def test_median(values, st_data):
    data = native.exact(values)
    n = st_data.draw(count_upto(len(data)))
    original = data.copy()
    out = native.median(data, n)
    assert untouched(out, 1)
    k = max(n, 0)
    # Only data[:n] is sorted, into a permutation of itself.
    assert bits_equal(data[k:], original[k:])
    assert sorted(data[:k].view(np.uint64).tolist()) == \
        sorted(original[:k].view(np.uint64).tolist())
    if not np.isnan(data[:k]).any():
        assert (data[1:k] >= data[: max(k - 1, 0)]).all()
    if n < 9:
        assert math.isnan(out[0])
    else:
        assert bits_equal(out[0], data[math.ceil(n / 2) - 5])
    # The same call again sorts the same way and picks the same element.
    # (Not a second run on the sorted data: NaN ties with everything, so
    # qsort's order, and the pick, depend on the order it starts from.)
    again = original.copy()
    assert bits_equal(native.median(again, n), out)
    assert bits_equal(again, data)


@given(n_profiles=st.integers(0, 5), n_grid=st.integers(0, 10),
       st_data=st.data())
def test_coadd_kernel(n_profiles, n_grid, st_data):
    rng = np.random.default_rng(st_data.draw(st.integers(0, 2**32 - 1)))
    arrays = [rng.uniform(-20, 20, n_profiles), rng.uniform(0, 1, n_profiles),
              rng.uniform(1, 10, n_profiles), np.linspace(-50, 50, n_grid),
              rng.uniform(0.5, 1.5, n_profiles)]
    arrays = [native.exact(st_data.draw(hostile(a))) for a in arrays]
    np_count = st_data.draw(count_upto(n_profiles))
    ng_count = st_data.draw(count_upto(n_grid))
    before = snapshot(arrays)
    out = native.coadd(*arrays, ng_count, np_count)
    assert snapshot(arrays) == before
    assert bits_equal(native.coadd(*arrays, ng_count, np_count), out)
    size = max(np_count, 0) * max(ng_count, 0)
    assert untouched(out, size)
    assert len(out) == size + GUARD
    assert not (out[:size] == SENTINEL).any()
