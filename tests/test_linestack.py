"""Tests of the linestack library and its numpy front."""

import ctypes
import math
import shutil
import subprocess

import numpy as np
import pytest

import linestack

SCALE = 1.6651092223153954
C_DOUBLE_P = ctypes.POINTER(ctypes.c_double)
NAMES = ("rv", "contrast", "fwhm", "grid", "continuum")
DTYPE = "must have a real numeric dtype, not "
# Every message of the convenience starts with its name.
FRONT = "^coadd_loc_gauss_prof: "


def reference(rv, contrast, fwhm, grid, continuum):
    """Scalar twin of the library, same operation order."""
    out = np.empty((len(rv), len(grid)))
    for i in range(len(rv)):
        r, c, w, k = (float(a[i]) for a in (rv, contrast, fwhm, continuum))
        for j, x in enumerate(grid.tolist()):
            u = ((x - r) * SCALE) / w
            out[i, j] = ((-c) * math.exp((-u) * u) + 1.0) * k
    return out


def assert_same_bits(actual, expected):
    nan = np.isnan(expected)
    np.testing.assert_array_equal(np.isnan(actual), nan)
    np.testing.assert_array_equal(
        actual[~nan].view(np.uint64), expected[~nan].view(np.uint64))


def profiles(*args):
    return linestack.coadd_loc_gauss_prof(*(np.array(a, float) for a in args))


def raw_call(n_grid, n_profiles, arrays=(None,) * 5, out=None):
    ptrs = [None if a is None else a.ctypes.data_as(C_DOUBLE_P)
            for a in (*arrays, out)]
    linestack.library().C_coadd_loc_gauss_prof(
        *ptrs[:5], n_grid, n_profiles, ptrs[5])


def random_case(kind, seed):
    rng = np.random.default_rng(seed)
    n, m = rng.integers(1, 12), rng.integers(1, 60)
    rv, grid = rng.uniform(-50.0, 50.0, n), rng.uniform(-80.0, 80.0, m)
    contrast, fwhm = rng.uniform(0.0, 1.0, n), rng.uniform(0.5, 20.0, n)
    continuum = rng.uniform(0.5, 2.0, n)
    if kind == "wild":
        contrast = rng.uniform(-3.0, 3.0, n)
        fwhm = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-9, 9, n)
        grid = rng.normal(0.0, 1e3, m)
    elif kind == "ieee":
        values = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e308]
        for a in (rv, contrast, fwhm, continuum, grid):
            # no zero width: Python's division would raise
            pool = values[2:] if a is fwhm else values
            a[rng.integers(0, a.size, 2)] = rng.choice(pool, 2)
    grid[0] = rv[0]  # hit a centre exactly
    return rv, contrast, fwhm, grid, continuum


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("kind", ["plain", "wild", "ieee"])
def test_matches_scalar_reference(kind, seed):
    args = random_case(kind, seed)
    assert_same_bits(linestack.coadd_loc_gauss_prof(*args), reference(*args))
    grid = args[3][:1]  # one column: profile i at the single point
    assert_same_bits(
        linestack.coadd_loc_gauss_prof(*args[:3], grid, args[4]),
        reference(*args[:3], grid, args[4]))


@pytest.mark.parametrize(
    "rv, contrast, fwhm, continuum",
    [(0.0, 0.3, 1.0, 1.0), (1234.5, 0.77, 3.3, 2.5), (-7.0, 1.0, 0.1, 0.9)],
    ids=["unit", "offset", "full-depth"])
def test_centre_half_width_and_far_wings(rv, contrast, fwhm, continuum):
    grid = [rv, rv - fwhm / 2, rv + fwhm / 2, rv + 100 * fwhm, rv - 1e6]
    out = profiles([rv], [contrast], [fwhm], grid, [continuum])[0]
    assert out[0] == continuum * (1.0 - contrast)
    half = continuum * (1.0 - contrast / 2)
    assert out[1:3] == pytest.approx([half, half], rel=1e-12)
    assert out[3] == continuum and out[4] == continuum


def test_contrast_width_identities():
    grid = np.linspace(-3.0, 3.0, 13)  # grid[6] is the centre
    out = profiles([0.0] * 5, [0.0, 1.0, 0.6, 0.6, 0.5],
                   [2.0, 2.0, 2.7, -2.7, 0.0], grid, [1.5] * 5)
    assert np.all(out[0] == 1.5)
    assert out[1, 6].view(np.uint64) == 0  # +0.0 exactly
    assert_same_bits(out[3], out[2])
    assert np.isnan(out[4, 6]) and np.all(np.delete(out[4], 6) == 1.5)


def test_row_layout_and_bounds():
    args = [np.array(a) for a in
            ([0.0, 5.0], [0.4, 0.9], [1.0, 3.0], [0.0, 2.5, 5.0], [1.0, 2.0])]
    buf = np.full(2 * 3 + 2, -99.0)
    raw_call(3, 2, args, buf[1:])
    assert buf[0] == -99.0 and buf[-1] == -99.0
    for i in range(2):
        for j in range(3):
            one = profiles(*([a[i]] for a in args[:3]), [args[3][j]],
                           [args[4][i]])
            assert buf[1 + i * 3 + j] == one[0, 0]


@pytest.mark.parametrize(
    "n_grid, n_profiles",
    [(5, 0), (5, -1), (-2**31, -2**31), (0, 3), (-4, 3)],
    ids=["no-rows", "neg-rows", "both-min", "no-cols", "neg-cols"])
def test_empty_counts_touch_nothing(n_grid, n_profiles):
    raw_call(n_grid, n_profiles)  # null pointers: any access crashes


@pytest.mark.parametrize("n, m", [(0, 4), (3, 0)], ids=["rows", "cols"])
def test_front_empty_result(n, m):
    out = profiles(*([1.0] * n,) * 3, [0.0] * m, [1.0] * n)
    assert out.shape == (n, m) and out.dtype == np.float64


def good_args():
    return [np.array([0.0, 1.0]), np.array([0.5, 0.2]), np.array([1.0, 2.0]),
            np.linspace(-2.0, 2.0, 5), np.array([1.0, 1.5])]


@pytest.mark.parametrize("pos", range(5), ids=NAMES)
@pytest.mark.parametrize("bad, error, match", [
    ([0.0, 1.0], TypeError, "must be a numpy.ndarray, not list"),
    (np.float64(1.0), TypeError, "must be a numpy.ndarray, not float64"),
    (np.zeros((2, 2)), ValueError, "must be one-dimensional"),
    (np.array(1.0), ValueError, "must be one-dimensional"),
    (np.zeros(2, complex), TypeError, DTYPE + "complex"),
    (np.zeros(2, bool), TypeError, DTYPE + "boolean"),
    (np.zeros(2, object), TypeError, DTYPE + "object"),
    (np.array(["a", "b"]), TypeError, DTYPE + "string"),
    (np.zeros(2, "M8[s]"), TypeError, DTYPE + "datetime"),
    (np.ma.masked_array(np.zeros(2)), TypeError, "is a masked array"),
], ids=["list", "scalar", "2d", "0d", "complex", "bool", "object", "str",
        "datetime", "masked"])
def test_front_rejects(pos, bad, error, match):
    args = good_args()
    args[pos] = bad
    with pytest.raises(error, match=f"{FRONT}{NAMES[pos]} {match}"):
        linestack.coadd_loc_gauss_prof(*args)


@pytest.mark.parametrize("pos", [1, 2, 4], ids=NAMES[1:3] + NAMES[4:])
def test_front_length_mismatch(pos):
    args = good_args()
    args[pos] = args[pos][:1]
    with pytest.raises(ValueError, match=f"{FRONT}{NAMES[pos]} has length 1 "
                       "but rv has length 2$"):
        linestack.coadd_loc_gauss_prof(*args)


@pytest.mark.parametrize("n_profiles, n_grid, match", [
    (2**31, 1, f"{FRONT}rv has length 2147483648"),
    (1, 2**31, f"{FRONT}grid has length 2147483648"),
    (2**16, 2**15, f"{FRONT}rv and grid give 65536 x 32768 = 2147483648"),
], ids=["profiles", "grid", "product"])
def test_front_refuses_32bit_overflow(n_profiles, n_grid, match):
    # Views of one element: converting or allocating them would be fatal.
    row = np.broadcast_to(np.float64(1.0), (n_profiles,))
    grid = np.broadcast_to(np.float64(0.0), (n_grid,))
    with pytest.raises(ValueError, match=match):
        linestack.coadd_loc_gauss_prof(row, row, row, grid, row)


@pytest.mark.parametrize("convert", [
    lambda a: (a * 4).astype(np.int64), lambda a: a.astype(np.float32),
    lambda a: a.astype(np.uint16), lambda a: a.astype(">f8"),
    lambda a: np.repeat(a, 2)[::2],
], ids=["int64", "float32", "uint16", "big-endian", "strided"])
def test_front_converts_real_arrays(convert):
    args = [convert(a) for a in good_args()]
    expected = reference(*(a.astype(np.float64) for a in args))
    assert_same_bits(linestack.coadd_loc_gauss_prof(*args), expected)


C_CALLER = r"""
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
typedef void fn(const double *, const double *, const double *,
                const double *, const double *, int32_t, int32_t, double *);
int main(int argc, char **argv) {
    double rv[] = {0, 5}, c[] = {.4, .9}, w[] = {1, 3}, k[] = {1, 2};
    double grid[] = {0, 2.5, 5}, out[6];
    void *lib = dlopen(argv[argc - 1], RTLD_NOW);
    fn *f = lib ? (fn *)dlsym(lib, "C_coadd_loc_gauss_prof") : NULL;
    if (!f) return fprintf(stderr, "%s\n", dlerror()), 1;
    f(rv, c, w, grid, k, 3, 2, out);
    for (int i = 0; i < 6; ++i) printf("%a\n", out[i]);
    return dlclose(lib);
}
"""


def test_c_caller_loads_by_path(tmp_path):
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler")
    (tmp_path / "caller.c").write_text(C_CALLER)
    exe = str(tmp_path / "caller")
    subprocess.run([cc, str(tmp_path / "caller.c"), "-o", exe, "-ldl"],
                   check=True)
    run = subprocess.run([exe, linestack.library_path()],
                         capture_output=True, text=True, check=True)
    expected = profiles([0, 5], [.4, .9], [1, 3], [0, 2.5, 5], [1, 2])
    assert [float.fromhex(s) for s in run.stdout.split()] == \
        expected.ravel().tolist()
