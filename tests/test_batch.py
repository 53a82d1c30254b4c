"""quasmir_tool._batch.fit_windows: every window bit for bit what the
quasmir method gives for the same slices, bad arguments refused before
any work, and calls from several threads at once."""

import threading

import numpy as np
import pytest

from reference import C_LIGHT, bits_equal

batch = pytest.importorskip("quasmir_tool._batch")

METHODS = ["get_RV_line_by_line2", "get_RV_line_by_line2_with_offset",
           "get_RV_line_by_line3"]


def _spectrum(gen, seed, n_master=400, n_pix=300, nan=False):
    master = gen.master(seed, n_master=n_master)
    wave, flux_err, flux = gen.spectrum(seed + 1, master, n_pix=n_pix,
                                        rv_true=250.0, where="outside")
    if nan:
        flux[[20, 21, 150]] = np.nan
        flux_err[100] = np.nan
        wave[200] = np.nan
    return (wave, flux_err, flux) + master


def _windows(rng, n_pix, n_master, n=150):
    """Random windows, plus empty, one-, two- and three-pixel ones, the
    whole arrays and windows at both edges."""
    ps = rng.integers(0, n_pix, n)
    pe = np.minimum(ps + rng.integers(0, 50, n), n_pix)
    ms = rng.integers(0, n_master, n)
    me = np.minimum(ms + rng.integers(0, 70, n), n_master)
    extra = [(0, 0, 0, 10), (5, 6, 0, 40), (5, 7, 0, 40), (5, 8, 10, 50),
             (0, n_pix, 0, n_master), (0, 30, 0, 1), (0, 30, 3, 5),
             (n_pix - 25, n_pix, n_master - 30, n_master),
             (n_pix, n_pix, n_master, n_master), (0, 40, 0, 0)]
    ps, pe, ms, me = (np.concatenate([a, [e[i] for e in extra]])
                      for i, a in enumerate((ps, pe, ms, me)))
    count = len(ps)
    return (ps, pe, ms, me, rng.uniform(-800.0, 800.0, count),
            rng.uniform(4000.0, 6000.0, count))


def _method_results(quasmir, kind, spec, win, sys_err, i):
    """The six values for window i from the method, or None when it
    refuses the window."""
    wave, flux_err, flux, wm, fm = spec
    ps, pe, ms, me, rv_shift, lam = (a[i] for a in win)
    args = (wave[ps:pe], flux_err[ps:pe], flux[ps:pe], wm[ms:me], fm[ms:me],
            sys_err, rv_shift, lam)
    try:
        r = getattr(quasmir, METHODS[kind])(*args)
    except ValueError:
        return None
    if kind == 2:
        return r[0], r[1], r[2], r[3], r[4], r[6]
    return r[0], None, r[3], r[1], r[2], r[4]


@pytest.mark.parametrize("nan", [False, True], ids=["finite", "nan-data"])
@pytest.mark.parametrize("kind", [0, 1, 2], ids=["first", "offset", "second"])
@pytest.mark.parametrize("seed", range(2))
def test_windows_equal_method_calls(quasmir, gen, capfd, seed, kind, nan):
    spec = _spectrum(gen, 10 * seed, nan=nan)
    win = _windows(np.random.default_rng(seed), len(spec[0]), len(spec[3]))
    capfd.readouterr()
    got = batch.fit_windows(kind, *spec, *win[:4], 0.002, *win[4:])
    assert capfd.readouterr().out == ""
    assert all(a.dtype == np.float64 and a.shape == win[0].shape
               for a in got)
    refused = 0
    for i in range(len(win[0])):
        want = _method_results(quasmir, kind, spec, win, 0.002, i)
        if want is None:
            refused += 1
            assert all(np.isnan(a[i]) for a in got)
            continue
        for a, w in zip(got, want):
            if w is not None:
                assert bits_equal(a[i], w), i
        if kind < 2:
            # The method does not return c1; it is the one whose velocity
            # the method reports.
            u = (-got[1][i]) / got[0][i] / win[5][i] * C_LIGHT
            assert bits_equal(u + win[4][i], got[3][i])
    capfd.readouterr()
    assert refused >= 6


def test_converted_dtypes_give_the_same_windows(gen):
    spec = _spectrum(gen, 3)
    win = _windows(np.random.default_rng(3), len(spec[0]), len(spec[3]))
    want = batch.fit_windows(0, *spec, *win[:4], 0.0, *win[4:])
    spec32 = [np.repeat(a, 2)[::2] for a in spec]       # strided
    bounds32 = [a.astype(np.int32) for a in win[:4]]
    shifts = [a.astype(">f8") for a in win[4:]]          # byte-swapped
    got = batch.fit_windows(0, *spec32, *bounds32, 0, *shifts)
    for g, w in zip(got, want):
        assert bits_equal(g, w)


def test_no_windows(gen):
    spec = _spectrum(gen, 4)
    empty = np.zeros(0, np.int64)
    got = batch.fit_windows(2, *spec, empty, empty, empty, empty, 0.0,
                            np.zeros(0), np.zeros(0))
    assert len(got) == 6 and all(a.shape == (0,) for a in got)


def test_threads_give_the_sequential_results(gen):
    spec = _spectrum(gen, 5, n_master=2000, n_pix=1500)
    win = _windows(np.random.default_rng(5), 1500, 2000, n=400)
    want = {k: batch.fit_windows(k, *spec, *win[:4], 0.001, *win[4:])
            for k in range(3)}
    results = {}

    def work(slot):
        kind = slot % 3
        for _ in range(5):
            got = batch.fit_windows(kind, *spec, *win[:4], 0.001, *win[4:])
            if not all(bits_equal(g, w) for g, w in zip(got, want[kind])):
                results[slot] = False
                return
        results[slot] = True

    threads = [threading.Thread(target=work, args=(s,)) for s in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {s: True for s in range(6)}


# --- bad arguments ----------------------------------------------------------

NAMES = ["wave", "flux_err", "flux", "wave_master", "flux_master",
         "pix_start", "pix_stop", "master_start", "master_stop", "rv_shift",
         "lambda_ref"]


def _good():
    wave = np.linspace(5000.0, 5001.0, 20)
    spec = [wave, np.full(20, 0.01), np.ones(20),
            np.linspace(4999.0, 5002.0, 40), np.ones(40)]
    bounds = [np.array([0, 5]), np.array([10, 20]), np.array([0, 10]),
              np.array([30, 40])]
    return spec + bounds + [np.zeros(2), np.full(2, 5000.0)]


def _call(arrays, kind=0, sys_err=0.0):
    return batch.fit_windows(kind, *arrays[:9], sys_err, *arrays[9:])


@pytest.mark.parametrize("pos", range(11), ids=NAMES)
@pytest.mark.parametrize("bad, error, match", [
    ([0.0, 1.0], TypeError, "must be a numpy.ndarray, not list"),
    (np.zeros((2, 2)), ValueError, "must be one-dimensional, not "
     "2-dimensional"),
    (np.zeros(2, complex), TypeError, "must hold"),
    (np.zeros(2, bool), TypeError, "must hold"),
    (np.array(["a", "b"]), TypeError, "must hold"),
    (np.ma.masked_array(np.zeros(2)), TypeError, "is a masked array"),
], ids=["list", "2d", "complex", "bool", "str", "masked"])
def test_bad_array_is_refused(pos, bad, error, match):
    arrays = _good()
    if 5 <= pos <= 8 and getattr(bad, "dtype", None) == np.float64:
        bad = bad.astype(np.int64)  # bounds: only the shape is wrong
    arrays[pos] = bad
    with pytest.raises(error, match=f"^fit_windows: {NAMES[pos]} {match}"):
        _call(arrays)


@pytest.mark.parametrize("pos", range(5, 9), ids=NAMES[5:9])
def test_float_bounds_are_refused(pos):
    arrays = _good()
    arrays[pos] = arrays[pos].astype(float)
    with pytest.raises(TypeError, match=f"^fit_windows: {NAMES[pos]} must "
                       "hold integers, not float64$"):
        _call(arrays)


@pytest.mark.parametrize("pos, first", [
    (1, "wave"), (2, "wave"), (4, "wave_master"), (6, "pix_start"),
    (7, "pix_start"), (8, "pix_start"), (9, "pix_start"), (10, "pix_start"),
], ids=lambda v: str(v))
def test_length_mismatch_is_refused(pos, first):
    arrays = _good()
    arrays[pos] = arrays[pos][:1]
    with pytest.raises(ValueError, match=f"^fit_windows: {NAMES[pos]} has "
                       f"length 1 but {first} has length"):
        _call(arrays)


@pytest.mark.parametrize("pos, index, value, match", [
    (5, 1, -1, "pix_start\\[1\\] = -1 is outside the 20 pixels"),
    (6, 0, 21, "pix_stop\\[0\\] = 21 is outside the 20 pixels"),
    (5, 1, 15, "pix_start\\[1\\] = 15 is after pix_stop\\[1\\] = 10"),
    (7, 0, 41, "master_start\\[0\\] = 41 is outside the 40 master points"),
    (8, 1, -3, "master_stop\\[1\\] = -3 is outside the 40 master points"),
    (7, 1, 35, "master_start\\[1\\] = 35 is after master_stop\\[1\\] = 30"),
], ids=["neg-start", "stop-beyond", "start-after-stop", "master-beyond",
        "master-neg", "master-start-after-stop"])
def test_window_outside_the_arrays_is_refused(pos, index, value, match):
    arrays = _good()
    arrays[6] = np.array([10, 10])
    arrays[8] = np.array([30, 30])
    arrays[pos] = arrays[pos].copy()
    arrays[pos][index] = value
    with pytest.raises(ValueError, match=f"^fit_windows: {match}$"):
        _call(arrays)


class _Shrinking(np.ndarray):
    """Shrinks the arrays in ``armed`` to one element when its Python code
    runs: the __class__ property the masked-array check reads, or
    __array_finalize__, which a subclass-keeping conversion would call."""

    armed: list[np.ndarray] = []

    @classmethod
    def shrink(cls):
        while cls.armed:
            cls.armed.pop().resize(1, refcheck=False)


class _ByClass(_Shrinking):
    @property
    def __class__(self):
        self.shrink()
        return np.ndarray


class _ByFinalize(_Shrinking):
    def __array_finalize__(self, obj):
        self.shrink()


@pytest.mark.parametrize("cls", [_ByClass, _ByFinalize],
                         ids=["class", "finalize"])
@pytest.mark.parametrize("trick", [0, 10], ids=["first", "last"])
@pytest.mark.parametrize("victim, first", [(2, "wave"), (6, "pix_start")],
                         ids=["flux", "pix_stop"])
def test_argument_resized_during_the_checks_is_measured_again(cls, trick,
                                                              victim, first):
    """An argument shrunk by Python code run during the checks is refused
    by its new length, never read by its old one; a call whose arguments
    were left alone returns."""
    arrays = _good()
    # float32, so that a conversion has to copy it
    arrays[trick] = arrays[trick].astype(np.float32).view(cls)
    _Shrinking.armed[:] = [arrays[victim]]
    try:
        try:
            _call(arrays)
        except ValueError as e:
            assert not _Shrinking.armed
            assert str(e).startswith(f"fit_windows: {NAMES[victim]} has "
                                     f"length 1 but {first} has length ")
        else:
            assert _Shrinking.armed
    finally:
        _Shrinking.armed.clear()


@pytest.mark.parametrize("kind", [-1, 3, 99])
def test_unknown_kind_is_refused(kind):
    with pytest.raises(ValueError, match="^fit_windows: kind must be 0 "
                       f"\\(first order\\), 1 .* not {kind}$"):
        _call(_good(), kind=kind)


def test_missing_argument_names_the_function():
    with pytest.raises(TypeError, match="fit_windows.*'kind'"):
        batch.fit_windows()


@pytest.mark.parametrize("kind, match", [
    (0.0, "float"), ("0", "str"), (None, "NoneType")],
    ids=["float", "str", "none"])
def test_non_integer_kind_is_refused(kind, match):
    with pytest.raises(TypeError, match="^fit_windows: kind must be an "
                       f"integer, not {match}$"):
        _call(_good(), kind=kind)


@pytest.mark.parametrize("sys_err, match", [
    ("0.1", "str"), (1j, "complex"), (None, "NoneType"),
    (np.zeros(2), "numpy.ndarray")], ids=["str", "complex", "none", "array"])
def test_non_number_sys_err_is_refused(sys_err, match):
    with pytest.raises(TypeError, match="^fit_windows: sys_err must be a "
                       f"real number, not {match}$"):
        _call(_good(), sys_err=sys_err)


def test_numpy_scalars_are_accepted():
    want = _call(_good(), kind=1, sys_err=0.01)
    got = _call(_good(), kind=np.int8(1), sys_err=np.float32(0.01))
    assert not all(bits_equal(g, w) for g, w in zip(got, want))
    got = _call(_good(), kind=np.int64(1), sys_err=np.float64(0.01))
    assert all(bits_equal(g, w) for g, w in zip(got, want))


def test_storage_kept_between_calls_gives_the_same_bits(quasmir, gen,
                                                        capfd):
    """A thread keeps the storage of its line-sized fits: calls of every
    kind and size in any order give what they give alone, first in a
    fresh thread."""
    spec = _spectrum(gen, 6, n_master=600, n_pix=500)
    sizes = [(0, 400, 0, 500), (10, 13, 5, 40), (0, 60, 0, 2),
             (100, 180, 90, 220), (3, 6, 0, 600)]
    calls = [(kind, s) for s in sizes for kind in range(3)]

    def run(order):
        out = {}
        for kind, (ps, pe, ms, me) in order:
            wave, flux_err, flux, wm, fm = spec
            out[kind, ps, pe, ms, me] = getattr(quasmir, METHODS[kind])(
                wave[ps:pe], flux_err[ps:pe], flux[ps:pe], wm[ms:me],
                fm[ms:me], 0.001, 150.0, 5000.0)
        return out

    fresh = {}
    for call in calls:
        t = threading.Thread(target=lambda c=call: fresh.update(run([c])))
        t.start()
        t.join()
    for order in (calls, calls[::-1]):
        for key, got in run(order).items():
            for g, w in zip(got, fresh[key]):
                assert bits_equal(g, w)
    capfd.readouterr()
