"""Shared fixtures: the ctypes binding of the quasmir shared object and
reproducible synthetic spectra."""

import ctypes
import os
import sys
import types

import numpy as np
import pytest

# The scalar reference lives beside the tests (importlib mode does not put
# this directory on sys.path by itself).
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import reference

DP = ctypes.POINTER(ctypes.c_double)
I32 = ctypes.c_int32
DBL = ctypes.c_double
SENTINEL = -7777.25

_SIGNATURES = {
    "Delta_lambda": ([DBL, DBL], DBL),
    "obtain_same_sampling": (
        [DP, I32, DP, I32, DP, DP, DP, ctypes.POINTER(I32), DP],
        None,
    ),
    "calculate_RV_with_BOUCHY": ([DP, DP, DP, DP, I32, DP, DBL, DP], None),
    "get_RV_line_by_line_c": (
        [DP] * 4
        + [I32, DP, DBL, DP, DP, I32, DP, DP, I32, ctypes.POINTER(DP)],
        None,
    ),
    "get_RV_line_by_line_Bouchy_without_offset": (
        [DP] * 6 + [DBL] * 3 + [DP, DP, I32, DP, DP, I32],
        None,
    ),
    "get_RV_line_by_line_Bouchy_with_offset": (
        [DP] * 6 + [DBL] * 3 + [DP, DP, I32, DP, DP, I32],
        None,
    ),
    "get_RV_line_by_line_Bouchy_with_offset_second_order_deriv": (
        [DP] * 6 + [DBL] * 3 + [DP] * 4 + [I32, DP, DP, I32] + [DP] * 6,
        None,
    ),
}


def ptr(array, offset=0):
    """double* to element `offset` of a float64 array (None stays null)."""
    if array is None:
        return None
    assert array.dtype == np.float64 and array.flags.c_contiguous
    return ctypes.cast(array.ctypes.data + 8 * offset, DP)


def _f64(a):
    return np.ascontiguousarray(a, dtype=np.float64)


class Kernels:
    """Thin ctypes callers of the exported functions; outputs start as
    SENTINEL so that untouched slots show."""

    ptr = staticmethod(ptr)

    def __init__(self, lib):
        self.lib = lib

    def delta_lambda(self, v, lam):
        return self.lib.Delta_lambda(v, lam)

    def obtain_same_sampling(
        self, wave, wave_ref, flux_ref, n_pix=None, n_ref=None
    ):
        wave, wave_ref, flux_ref = _f64(wave), _f64(wave_ref), _f64(flux_ref)
        n = len(wave)
        wave_out, flux_out, offset_out = (
            np.full(n, SENTINEL) for _ in range(3)
        )
        index_out = np.full(n, -99, dtype=np.int32)
        self.lib.obtain_same_sampling(
            ptr(wave), n if n_pix is None else n_pix, ptr(wave_ref),
            len(wave_ref) if n_ref is None else n_ref, ptr(flux_ref),
            ptr(wave_out), ptr(flux_out),
            index_out.ctypes.data_as(ctypes.POINTER(I32)), ptr(offset_out)
        )
        return wave_out, flux_out, index_out, offset_out

    def bouchy(self, wave, flux_err, flux, model, sys_err, n=None):
        arrays = [_f64(a) for a in (wave, flux_err, flux, model)]
        rv, rv_err = DBL(SENTINEL), DBL(SENTINEL)
        self.lib.calculate_RV_with_BOUCHY(
            *map(ptr, arrays), len(arrays[0]) if n is None else n,
            ctypes.byref(rv), sys_err, ctypes.byref(rv_err)
        )
        return rv.value, rv_err.value

    def scan(
        self, rv_trials, wave, flux_err, flux, wave_master, flux_master,
        sys_err, n_pix=None, n_master=None
    ):
        rv_trials = _f64(rv_trials)
        wave, flux_err, flux = _f64(wave), _f64(flux_err), _f64(flux)
        wave_master, flux_master = _f64(wave_master), _f64(flux_master)
        n_trials = len(rv_trials)
        rv, rv_err, chi2 = (np.full(n_trials, SENTINEL) for _ in range(3))
        coeffs = np.full((n_trials, 2), SENTINEL)
        rows = (DP * max(n_trials, 1))(
            *[ptr(coeffs[t]) for t in range(n_trials)]
        )
        self.lib.get_RV_line_by_line_c(
            ptr(rv_trials), ptr(rv), ptr(rv_err), ptr(chi2), n_trials,
            ptr(wave), sys_err, ptr(flux_err), ptr(flux),
            len(wave) if n_pix is None else n_pix, ptr(wave_master),
            ptr(flux_master),
            len(wave_master) if n_master is None else n_master, rows
        )
        return rv, rv_err, chi2, coeffs

    def first_order(
        self, wave, flux_err, flux, wave_master, flux_master, sys_err,
        rv_shift, lambda_ref, with_offset, n_pix=None, n_master=None,
        offset_slot=True
    ):
        """Returns the five slots (coeff_scale, rv, rv_err, coeff_offset,
        chi2_red); with offset_slot False a null fourth pointer is passed
        and None stands in its place."""
        wave, flux_err, flux = _f64(wave), _f64(flux_err), _f64(flux)
        wave_master, flux_master = _f64(wave_master), _f64(flux_master)
        out = np.full(5, SENTINEL)
        name = (
            "get_RV_line_by_line_Bouchy_with_offset"
            if with_offset
            else "get_RV_line_by_line_Bouchy_without_offset"
        )
        getattr(self.lib, name)(
            ptr(out, 0), ptr(out, 1), ptr(out, 2),
            ptr(out, 3) if offset_slot else None, ptr(out, 4), ptr(wave),
            lambda_ref, sys_err, rv_shift, ptr(flux_err), ptr(flux),
            len(wave) if n_pix is None else n_pix, ptr(wave_master),
            ptr(flux_master),
            len(wave_master) if n_master is None else n_master
        )
        slots = [float(x) for x in out]
        if not offset_slot:
            slots[3] = None
        return tuple(slots)

    def second_order(
        self, wave, flux_err, flux, wave_master, flux_master, sys_err,
        rv_shift, lambda_ref, n_pix=None, n_master=None, arrays=None,
        spare_slot=True
    ):
        """Returns (c0, c1, c2, rv, rv_err, spare, chi2_red) and the six
        arrays (SENTINEL-filled unless given); with spare_slot False a null
        spare pointer is passed."""
        wave, flux_err, flux = _f64(wave), _f64(flux_err), _f64(flux)
        wave_master, flux_master = _f64(wave_master), _f64(flux_master)
        if arrays is None:
            arrays = [np.full(len(wave_master), SENTINEL) for _ in range(3)]
            arrays += [np.full(len(wave), SENTINEL) for _ in range(3)]
        out = np.full(7, SENTINEL)
        self.lib.get_RV_line_by_line_Bouchy_with_offset_second_order_deriv(
            *(ptr(out, i) for i in range(5)),
            ptr(out, 5) if spare_slot else None, lambda_ref, sys_err, rv_shift,
            ptr(out, 6), ptr(wave), ptr(flux_err), ptr(flux),
            len(wave) if n_pix is None else n_pix, ptr(wave_master),
            ptr(flux_master),
            len(wave_master) if n_master is None else n_master,
            *map(ptr, arrays)
        )
        return tuple(float(x) for x in out), arrays


@pytest.fixture(scope="session")
def quasmir():
    import quasmir as module

    return module


@pytest.fixture(scope="session")
def lib(quasmir):
    """ctypes handle on the quasmir shared object, signatures set."""
    handle = ctypes.CDLL(quasmir.__file__)
    for name, (argtypes, restype) in _SIGNATURES.items():
        func = getattr(handle, name)
        func.argtypes = argtypes
        func.restype = restype
    return handle


@pytest.fixture(scope="session")
def kernels(lib):
    return Kernels(lib)


# --- synthetic spectra ------------------------------------------------------


def make_master(seed, n_master=160, lam0=5000.0, step=0.04, n_lines=4):
    """A continuum with a gentle tilt and a few Gaussian absorption lines on
    a slightly irregular ascending grid."""
    rng = np.random.default_rng(seed)
    wave = (
        lam0
        + step * np.arange(n_master)
        + rng.uniform(-0.2, 0.2, n_master) * step
    )
    centres = rng.uniform(wave[8], wave[-8], n_lines)
    depths = rng.uniform(0.2, 0.7, n_lines)
    widths = rng.uniform(2.0, 5.0, n_lines) * step
    flux = 1.0 + 0.05 * (wave - wave[0]) / (wave[-1] - wave[0])
    for c, d, s in zip(centres, depths, widths):
        flux = flux * (1.0 - d * np.exp(-0.5 * ((wave - c) / s) ** 2))
    return wave, flux


def shifted_grid(wave_master, rv_shift):
    """The master grid shifted by rv_shift, as the kernels shift it."""
    out = np.empty(len(wave_master))
    reference.shift_master_grid(wave_master, rv_shift, out, len(wave_master))
    return out


def make_spectrum(
    seed, master, n_pix=60, rv_true=0.0, rv_shift=0.0, where="inside",
    scale=1.0, offset=0.0, noise=0.003
):
    """An observed spectrum: the master moved by rv_true, scaled, offset
    and noisy, on an irregular pixel grid.

    where="inside" keeps every pixel strictly inside the master grid
    shifted by rv_shift; where="outside" lets the grid stick out by a few
    master steps at both ends.
    """
    rng = np.random.default_rng(seed)
    wave_master, flux_master = master
    grid = shifted_grid(wave_master, rv_shift)
    step = (grid[-1] - grid[0]) / (len(grid) - 1)
    if where == "inside":
        lo, hi = grid[0] + 0.3 * step, grid[-1] - 0.3 * step
    else:
        lo, hi = grid[0] - 4.5 * step, grid[-1] + 3.5 * step
    wave = np.linspace(lo, hi, n_pix)
    wave[1:-1] += rng.uniform(-0.25, 0.25, n_pix - 2) * (hi - lo) / n_pix
    b = rv_true / reference.C_LIGHT
    rest = wave / np.sqrt((1.0 + b) / (1.0 - b))
    flux = scale * np.interp(rest, wave_master, flux_master) + offset
    flux = flux + rng.normal(0.0, noise, n_pix)
    flux_err = rng.uniform(0.5, 1.5, n_pix) * noise
    return wave, flux_err, flux


@pytest.fixture(scope="session")
def gen():
    """Spectrum generators: gen.master, gen.spectrum, gen.shifted_grid."""
    return types.SimpleNamespace(
        master=make_master, spectrum=make_spectrum, shifted_grid=shifted_grid
    )
