"""The Taylor-expansion estimators: the master shifted once, its flux and
derivatives interpolated to the pixels, one weighted fit, and the velocity
from the derivative-to-scale coefficient ratio."""

import math

import numpy as np
import pytest

import reference as ref
from reference import bits_equal

FIRST_ORDER = {
    "get_RV_line_by_line2": False,
    "get_RV_line_by_line2_with_offset": True,
}
TAYLOR = [*FIRST_ORDER, "get_RV_line_by_line3"]


def _reference(method, *args, **kwargs):
    """(result tuple, printed text) of a Taylor method, from the twins."""
    if method == "get_RV_line_by_line3":
        return ref.second_order_method(*args, **kwargs)
    return ref.first_order_method(
        *args, with_offset=FIRST_ORDER[method], **kwargs
    )


def _assert_result_equal(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert bits_equal(g, w)


def _check_against_reference(quasmir, capfd, method, args, numbers):
    capfd.readouterr()
    got = getattr(quasmir, method)(*args, *numbers)
    printed = capfd.readouterr().out
    want, want_printed = _reference(method, *args, *numbers)
    _assert_result_equal(got, want)
    assert printed == want_printed
    return got, printed


# --- bit for bit against the scalar twins -----------------------------------


@pytest.mark.parametrize(
    "numbers",
    [
        (0.0, 0.0, 100000.0), (0.002, 1500.0, 5000.0),
        (0.0, -3200.0, 100000.0), (0.001, 500.0, 0.0)
    ],
    ids=["unshifted", "shifted-sys", "blueshifted", "zero-lambda-ref"],
)
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("method", TAYLOR)
def test_matches_reference_inside_grid(
    quasmir, gen, capfd, method, seed, numbers
):
    master = gen.master(seed, n_master=120)
    spectrum = gen.spectrum(
        seed + 10, master, n_pix=70, rv_true=numbers[1] + 250.0,
        rv_shift=numbers[1], scale=0.9
    )
    _, printed = _check_against_reference(
        quasmir, capfd, method, (*spectrum, *master), numbers
    )
    if method == "get_RV_line_by_line2":
        assert printed == ""


@pytest.mark.parametrize("order", ["ascending", "shuffled"])
@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("method", TAYLOR)
def test_matches_reference_with_pixels_outside_grid(
    quasmir, gen, capfd, method, seed, order
):
    """Pixels beyond both ends, and pixels out of order (whose forward
    match lags behind), stay on the grid's edge intervals."""
    master = gen.master(seed + 20, n_master=90)
    spectrum = gen.spectrum(
        seed + 30, master, n_pix=60, rv_shift=800.0, where="outside"
    )
    if order == "shuffled":
        perm = np.random.default_rng(seed).permutation(60)
        spectrum = tuple(a[perm] for a in spectrum)
    _check_against_reference(
        quasmir, capfd, method, (*spectrum, *master), (0.001, 800.0, 6000.0)
    )


def _hostile_master(rng, n):
    """A master grid with ties, descending stretches, points far apart or
    nearly equal, and non-finite values in both arrays."""
    wave = 5000.0 + np.cumsum(rng.choice([0.0, 1e-12, 0.01, 0.05, 3.0],
                                         size=n, p=[.1, .05, .6, .2, .05]))
    flux = 1.0 - 0.5 * np.exp(-0.5 * ((wave - wave.mean()) / 0.1) ** 2)
    for _ in range(int(rng.integers(0, 3)) if n > 3 else 0):
        i = int(rng.integers(0, n - 3))
        wave[i:i + 3] = wave[i:i + 3][::-1]  # a descending stretch
    for values in (wave, flux):
        for bad in (np.nan, np.inf, -np.inf, 1e300, 5e-324):
            if rng.random() < 0.15:
                values[int(rng.integers(0, n))] = bad
    return wave, flux


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("method", list(FIRST_ORDER))
def test_matches_reference_on_hostile_grids(quasmir, capfd, method, seed):
    """The first-order fits compute each shifted point, derivative and
    bracket where they read it; on grids with ties, descending stretches
    and non-finite values, with pixels in and out of order and beyond
    the ends, the bits stay the twins'."""
    rng = np.random.default_rng(seed)
    wm, fm = _hostile_master(rng, int(rng.integers(2, 60)))
    n_pix = int(rng.integers(3, 80))
    finite = wm[np.isfinite(wm)]
    lo, hi = (finite.min(), finite.max()) if finite.size else (4999.0, 5001.0)
    wave = np.sort(rng.uniform(lo - 0.2, hi + 0.2, n_pix))
    if seed % 4 == 0:
        wave = rng.permutation(wave)
    if seed % 5 == 0:
        wave = np.repeat(wave[: n_pix // 2 + 1], 2)[:n_pix]  # repeated pixels
    flux = rng.normal(1.0, 0.1, n_pix)
    err = rng.uniform(0.01, 0.1, n_pix)
    rv_shift = float(rng.choice([0.0, 1234.5, -2e5, 3e7]))
    _check_against_reference(quasmir, capfd, method,
                             (wave, err, flux, wm, fm),
                             (0.001, rv_shift, 5000.0))


def _edge_spectrum(gen, rv_shift):
    """Pixels below, exactly at the first point, inside, just below, exactly
    at and beyond the last point of the shifted grid."""
    master = gen.master(40, n_master=40)
    grid = gen.shifted_grid(master[0], rv_shift)
    step = grid[1] - grid[0]
    wave = np.concatenate(
        [
            [grid[0] - 2.5 * step, grid[0] - 0.4 * step, grid[0]],
            np.linspace(grid[0] + 0.5 * step, grid[-2], 12),
            [grid[-1] - 0.2 * step, grid[-1], grid[-1] + 1.5 * step]
        ]
    )
    rng = np.random.default_rng(41)
    flux = np.interp(wave, grid, master[1]) + rng.normal(0, 0.002, 18)
    flux_err = np.full(18, 0.002)
    return (wave, flux_err, flux, *master), grid


@pytest.mark.parametrize(
    "rv_shift", [0.0, 2345.6], ids=["unshifted", "shifted"]
)
@pytest.mark.parametrize("method", TAYLOR)
def test_pixels_at_and_beyond_grid_ends(quasmir, gen, capfd, method, rv_shift):
    """Edge pixels use the linear continuation of the edge interval; only
    the first-order fit without offset warns, once per offending pixel."""
    args, grid = _edge_spectrum(gen, rv_shift)
    got, printed = _check_against_reference(
        quasmir, capfd, method, args, (0.0, rv_shift, 100000.0)
    )
    wave = args[0]
    if method == "get_RV_line_by_line2":
        lower = ref.LOWER_EDGE_WARNING % tuple(
            map(ref.c_fixed, (wave[0], grid[0], grid[1])))
        upper = ref.UPPER_EDGE_WARNING % tuple(
            map(ref.c_fixed, (wave[-1], grid[-2], grid[-1])))
        assert printed == 2 * lower + 2 * upper
    elif method == "get_RV_line_by_line3":
        assert printed.count("\n") == 1
        interp = got[10]
        # A pixel on the first grid point reproduces the first master flux;
        # one on the last grid point the last master flux.
        assert interp[2] == pytest.approx(args[4][0], rel=1e-12)
        assert interp[-2] == pytest.approx(args[4][-1], rel=1e-12)
    else:
        assert printed == ""


def test_warning_text_is_exact(quasmir, capfd):
    wave_master = np.array([10.0, 11.0, 12.0, 13.0])
    flux_master = np.array([1.0, 0.5, 0.7, 0.9])
    wave = np.array([9.5, 10.5, 12.5, 13.0])
    quasmir.get_RV_line_by_line2(
        wave, np.full(4, 0.1), np.ones(4), wave_master, flux_master
    )
    assert capfd.readouterr().out == (
        "\n\n----- Be careful, want to access a value outside vector "
        "wavelength_master_shift bounds (wave=9.5000, "
        "wave_master[0,1]=10.0000,11.0000)  ------\n\n"
        "\n\n----- Be careful, want to access a value outside vector "
        "wavelength_master_shift bounds (wave=13.0000, "
        "wave_master[-2,-1]=12.0000,13.0000)  ------\n\n"
    )


@pytest.mark.parametrize(
    "method", ["get_RV_line_by_line2", "get_RV_line_by_line3"]
)
def test_printed_lines_keep_their_place_among_python_output(
    quasmir, gen, capfd, method
):
    args, _ = _edge_spectrum(gen, 0.0)
    capfd.readouterr()
    print("before", flush=True)
    getattr(quasmir, method)(*args)
    print("after", flush=True)
    out = capfd.readouterr().out
    _, printed = _reference(method, *args)
    assert out == "before\n" + printed + "after\n"


# --- the exported kernels ---------------------------------------------------


@pytest.mark.parametrize(
    "with_offset", [False, True], ids=["without-offset", "with-offset"]
)
def test_first_order_kernels_match_reference(kernels, gen, capfd, with_offset):
    args, _ = _edge_spectrum(gen, -900.0)
    numbers = (0.003, -900.0, 7000.0)
    want = ref.first_order(*args, *numbers, with_offset)
    got = kernels.first_order(*args, *numbers, with_offset)
    assert capfd.readouterr().out == want[5]
    expected = list(want[:5])
    if not with_offset:
        expected[3] = -7777.25  # the offset slot is never written
    assert bits_equal(got, expected)
    if not with_offset:
        got_null = kernels.first_order(
            *args, *numbers, False, offset_slot=False
        )
        assert bits_equal(
            [x for x in got_null if x is not None], want[:3] + want[4:5]
        )


def test_second_order_kernel_matches_reference(kernels, gen, capfd):
    args, _ = _edge_spectrum(gen, 1200.0)
    n_pix, n_master = len(args[0]), len(args[3])
    arrays = [np.full(n_master, 0.5) for _ in range(3)]
    arrays += [np.full(n_pix, 0.5) for _ in range(3)]
    ref_arrays = [a.copy() for a in arrays]
    scalars, _ = kernels.second_order(
        *args, 0.001, 1200.0, 9000.0, arrays=arrays
    )
    c0, c1, c2, rv, rv_err, chi2, printed = ref.second_order(
        *args, 0.001, 1200.0, 9000.0, *ref_arrays
    )
    assert bits_equal(scalars, [c0, c1, c2, rv, rv_err, -7777.25, chi2])
    for a, b in zip(arrays, ref_arrays):
        assert bits_equal(a, b)
    # The entries with no forward pair keep what the caller supplied.
    assert arrays[1][-1] == 0.5 and np.all(arrays[2][-2:] == 0.5)
    assert capfd.readouterr().out == printed
    scalars_null, _ = kernels.second_order(
        *args, 0.001, 1200.0, 9000.0, spare_slot=False,
        arrays=[np.full(len(a), 0.5) for a in arrays]
    )
    assert bits_equal(
        scalars_null[:5] + scalars_null[6:], [c0, c1, c2, rv, rv_err, chi2]
    )


# Buffer layout for the overlap test: each name is a segment of one float64
# buffer; an alias places a segment at another's offset plus a shift.
_SEGMENTS = [
    "wave",
    "flux_err",
    "flux",
    "wave_master",
    "flux_master",
    "shift",
    "dflux",
    "d2flux",
    "interp",
    "dinterp",
    "d2interp",
]
_OVERLAPS = {
    "shift-in-place": {"shift": ("wave_master", 0)},
    "derivative-in-place": {"dflux": ("flux_master", 0)},
    "derivative-one-ahead": {"dflux": ("flux_master", 1)},
    "second-derivative-one-ahead": {"d2flux": ("dflux", 1)},
    "interp-over-flux": {"interp": ("flux", 0)},
    "interp-one-before-flux": {"interp": ("flux", -1)},
    "interp-over-pixels": {"interp": ("wave", 0)},
    "grid-over-pixels": {"shift": ("wave", 0)},
}


@pytest.mark.parametrize(
    "aliases", list(_OVERLAPS.values()), ids=list(_OVERLAPS)
)
def test_second_order_kernel_with_overlapping_arrays(
    lib, kernels, gen, capfd, aliases
):
    """Outputs that overlap inputs give the sequential result: ascending
    index, each pass finished before the next starts."""
    n = 30
    wave_master, flux_master = gen.master(50, n_master=n, step=0.5)
    grid = gen.shifted_grid(wave_master, 700.0)
    wave = np.linspace(grid[0] + 0.2, grid[-1] - 0.2, n)
    rng = np.random.default_rng(51)
    values = {
        "wave": wave,
        "flux_err": rng.uniform(0.005, 0.01, n),
        "flux": np.interp(wave, grid, flux_master) + rng.normal(0, 0.01, n),
        "wave_master": wave_master,
        "flux_master": flux_master,
    }
    offsets, pos = {}, 2
    for name in _SEGMENTS:
        if name not in aliases:
            offsets[name] = pos
            pos += n + 2
    for name, (base, shift) in aliases.items():
        offsets[name] = offsets[base] + shift
    buf = np.full(pos + 2, 0.25)
    for name, v in values.items():
        buf[offsets[name] : offsets[name] + n] = v
    ref_buf = buf.copy()

    out = np.full(7, -7777.25)
    p = kernels.ptr
    lib.get_RV_line_by_line_Bouchy_with_offset_second_order_deriv(
        *(p(out, i) for i in range(6)), 6000.0, 0.001, 700.0, p(out, 6),
        *(p(buf, offsets[s]) for s in _SEGMENTS[:3]), n,
        *(p(buf, offsets[s]) for s in _SEGMENTS[3:5]), n,
        *(p(buf, offsets[s]) for s in _SEGMENTS[5:])
    )
    views = [ref_buf[offsets[s] : offsets[s] + n] for s in _SEGMENTS]
    c0, c1, c2, rv, rv_err, chi2, printed = ref.second_order(
        *views[:5], 0.001, 700.0, 6000.0, *views[5:]
    )
    assert np.all(np.isfinite(buf))
    assert bits_equal(buf, ref_buf)
    assert bits_equal(out, [c0, c1, c2, rv, rv_err, -7777.25, chi2])
    assert capfd.readouterr().out == printed


_KERNEL_MINIMA = {"without-offset": 2, "with-offset": 3, "second-order": 3}


@pytest.mark.parametrize(
    "kernel, n_pix, n_master",
    [
        (k, n_pix, n_master)
        for k, least in _KERNEL_MINIMA.items()
        for n_pix, n_master in [
            (least - 1, 20), (0, 20), (-3, 20), (20, 1), (20, 0), (20, -2),
            (0, 0)
        ]
    ],
    ids=lambda v: str(v),
)
def test_kernel_with_unusable_counts_writes_nan(
    kernels, gen, capfd, kernel, n_pix, n_master
):
    master = gen.master(60, n_master=20)
    spectrum = gen.spectrum(61, master, n_pix=20, where="outside")
    call = (*spectrum, *master, 0.0, 100.0, 100000.0)
    if kernel == "second-order":
        scalars, arrays = kernels.second_order(
            *call, n_pix=n_pix, n_master=n_master
        )
        assert all(math.isnan(x) for x in scalars[:5] + scalars[6:])
        assert scalars[5] == -7777.25
        assert all(np.all(a == -7777.25) for a in arrays)
    else:
        with_offset = kernel == "with-offset"
        got = kernels.first_order(
            *call, with_offset, n_pix=n_pix, n_master=n_master
        )
        owned = got if with_offset else got[:3] + got[4:]
        assert all(math.isnan(x) for x in owned)
        if not with_offset:
            assert got[3] == -7777.25
            kernels.first_order(
                *call, False, n_pix=n_pix, n_master=n_master, offset_slot=False
            )
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("method", TAYLOR)
def test_smallest_accepted_counts(quasmir, capfd, method):
    n_pix = 2 if method == "get_RV_line_by_line2" else 3
    wave = np.array([5000.02, 5000.05, 5000.08])[:n_pix]
    args = (
        wave, np.full(n_pix, 0.01), np.array([0.9, 0.7, 0.8])[:n_pix],
        np.array([5000.0, 5000.1]), np.array([1.0, 0.6])
    )
    _check_against_reference(quasmir, capfd, method, args, (0.0, 0.0, 5000.0))


# --- identities -------------------------------------------------------------


@pytest.mark.parametrize("factor", [2.0, 0.5, 4.0])
@pytest.mark.parametrize("method", TAYLOR)
def test_velocity_scales_inversely_with_reference_wavelength(
    quasmir, gen, capfd, method, factor
):
    """lambda_ref divides the fitted shift: with no applied shift the
    velocity and its error scale exactly by 1/factor, nothing else moves."""
    master = gen.master(70)
    spectrum = gen.spectrum(71, master, rv_true=600.0)
    run = getattr(quasmir, method)
    base = run(*spectrum, *master, 0.001, 0.0, 6000.0)
    scaled = run(*spectrum, *master, 0.001, 0.0, 6000.0 * factor)
    rv_item = 3 if method == "get_RV_line_by_line3" else 1
    for i, (b, s) in enumerate(zip(base, scaled)):
        if i in (rv_item, rv_item + 1):
            assert bits_equal(s, b / factor)
        else:
            assert bits_equal(s, b)

    shifted = [
        run(*spectrum, *master, 0.001, 450.0, lam)
        for lam in (6000.0, 6000.0 * factor)
    ]
    departure = [r[rv_item] - 450.0 for r in shifted]
    assert departure[1] == pytest.approx(departure[0] / factor, rel=1e-9)
    assert shifted[1][rv_item + 1] == pytest.approx(
        shifted[0][rv_item + 1] / factor, rel=1e-15
    )


@pytest.mark.parametrize("rv_shift", [0.0, 1234.5, -98765.4321])
@pytest.mark.parametrize("method", TAYLOR)
def test_flat_master_leaves_exactly_the_applied_shift(
    quasmir, capfd, method, rv_shift
):
    """A flat master has a zero derivative column, so the derivative
    coefficient is 0 and the velocity is exactly rv_shift."""
    wave_master = 5000.0 + 0.05 * np.arange(40)
    wave = np.linspace(5000.3, 5001.5, 20)
    flux = 1.04 + np.random.default_rng(1).normal(0.0, 0.01, 20)
    args = (wave, np.full(20, 0.01), flux, wave_master, np.full(40, 0.8))
    got, _ = _check_against_reference(
        quasmir, capfd, method, args, (0.0, rv_shift, 100000.0)
    )
    rv_item = 3 if method == "get_RV_line_by_line3" else 1
    assert bits_equal(got[rv_item], rv_shift)
    if method == "get_RV_line_by_line3":
        assert got[1] == 0.0


def _own_wavelengths(gen, offset=0.0):
    """Flux equal to the master plus a constant at the master's own
    wavelengths of indices 0 to n_master - 3."""
    wave_master, flux_master = gen.master(80, n_master=90)
    n = len(wave_master) - 2
    return (
        wave_master[:n], np.full(n, 0.01), flux_master[:n] + offset,
        wave_master, flux_master
    )


@pytest.mark.parametrize("method", TAYLOR)
def test_master_at_its_own_wavelengths_is_recovered(
    quasmir, gen, capfd, method
):
    args = _own_wavelengths(gen)
    got = getattr(quasmir, method)(*args)
    printed = capfd.readouterr().out
    assert got[0] == pytest.approx(1.0, abs=1e-10)
    if method == "get_RV_line_by_line3":
        rv, chi2 = got[3], got[6]
        assert abs(got[1]) < 1e-12 and abs(got[2]) < 1e-10
        assert printed in ("0.00\n", "-0.00\n")
        assert bits_equal(got[7], args[3])
        assert np.allclose(got[10], args[2], rtol=0, atol=1e-10)
    else:
        rv, chi2 = got[1], got[4]
        assert printed == ""
    assert abs(rv) < 1e-4
    assert 0.0 <= chi2 < 1e-15


@pytest.mark.parametrize(
    "offset", [0.0, 0.35, -2.0], ids=["none", "positive", "negative"]
)
def test_constant_offset_is_recovered(quasmir, gen, offset):
    args = _own_wavelengths(gen, offset)
    got = quasmir.get_RV_line_by_line2_with_offset(*args)
    plain = quasmir.get_RV_line_by_line2(*_own_wavelengths(gen))
    assert got[0] == pytest.approx(1.0, abs=1e-10)
    assert got[3] == pytest.approx(offset, abs=1e-10)
    assert abs(got[1]) < 1e-4
    assert got[1] == pytest.approx(plain[1], abs=1e-4)
    assert plain[3] == 0.0


def test_fitting_its_own_design_column_returns_the_shift(quasmir, gen, capfd):
    master = gen.master(100)
    spectrum = gen.spectrum(101, master, rv_shift=-1800.0)
    first = quasmir.get_RV_line_by_line3(*spectrum, *master, 0.0, -1800.0)
    again = quasmir.get_RV_line_by_line3(
        spectrum[0], spectrum[1], first[10], *master, 0.0, -1800.0
    )
    assert again[0] == pytest.approx(1.0, abs=1e-12)
    assert abs(again[1]) < 1e-12 and abs(again[2]) < 1e-12
    assert again[3] == pytest.approx(-1800.0, abs=1e-5)
    assert again[5] == 0.0
    assert capfd.readouterr().out.splitlines()[-1] in ("0.00", "-0.00")


def test_derivative_tables_end_in_zeros(quasmir, gen):
    master = gen.master(110, n_master=50)
    spectrum = gen.spectrum(111, master, n_pix=30)
    got = quasmir.get_RV_line_by_line3(*spectrum, *master)
    assert got[8][-1] == 0.0 and np.all(got[8][:-1] != 0.0)
    assert np.all(got[9][-2:] == 0.0) and np.all(got[9][:-2] != 0.0)


def test_two_point_master_has_no_second_derivative(quasmir, capfd):
    wave = np.array([10.1, 10.4, 10.6, 10.9])
    args = (
        wave, np.full(4, 0.01), np.array([0.9, 0.8, 0.75, 0.6]),
        np.array([10.0, 11.0]), np.array([1.0, 0.5])
    )
    got, _ = _check_against_reference(
        quasmir, capfd, "get_RV_line_by_line3", args, (0.0, 0.0, 10.0)
    )
    assert np.all(got[9] == 0.0) and np.all(got[12] == 0.0)
    assert bits_equal(got[8], [-0.5, 0.0])


def test_linear_master_has_constant_derivative(quasmir):
    wave_master = 4000.0 + 0.25 * np.arange(40)
    flux_master = 3.0 - 0.002 * (wave_master - 4000.0)
    wave = np.linspace(4001.0, 4009.0, 25)
    flux = 3.0 - 0.002 * (wave - 4000.0)
    got = quasmir.get_RV_line_by_line3(
        wave, np.full(25, 0.01), flux, wave_master, flux_master
    )
    assert np.allclose(got[8][:-1], -0.002, rtol=1e-9, atol=0)
    assert np.all(np.abs(got[9][:-2]) < 1e-9)
    assert np.allclose(got[10], flux, rtol=1e-13, atol=0)
    assert np.allclose(got[11], -0.002, rtol=1e-9, atol=0)
