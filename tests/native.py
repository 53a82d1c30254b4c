"""ctypes binding of every exported C function (the quasmir shared object
and liblinestack), and callers that pass exact-length inputs and guarded
outputs: each output array carries GUARD extra slots, filled with
SENTINEL, that a call must never write.  Used by the fuzzing, thread and
leak tests."""

import ctypes

import numpy as np

import linestack
import quasmir

DP = ctypes.POINTER(ctypes.c_double)
IP = ctypes.POINTER(ctypes.c_int32)
I32 = ctypes.c_int32
DBL = ctypes.c_double
SENTINEL = -7777.25
GUARD = 3

SIGNATURES = {
    "Delta_lambda": ([DBL, DBL], DBL),
    "obtain_same_sampling": ([DP, I32, DP, I32, DP, DP, DP, IP, DP], None),
    "calculate_RV_with_BOUCHY": ([DP, DP, DP, DP, I32, DP, DBL, DP], None),
    "get_RV_line_by_line_c": (
        [DP] * 4 + [I32, DP, DBL, DP, DP, I32, DP, DP, I32,
                    ctypes.POINTER(DP)], None),
    "get_RV_line_by_line_Bouchy_without_offset": (
        [DP] * 6 + [DBL] * 3 + [DP, DP, I32, DP, DP, I32], None),
    "get_RV_line_by_line_Bouchy_with_offset": (
        [DP] * 6 + [DBL] * 3 + [DP, DP, I32, DP, DP, I32], None),
    "get_RV_line_by_line_Bouchy_with_offset_second_order_deriv": (
        [DP] * 6 + [DBL] * 3 + [DP] * 4 + [I32, DP, DP, I32] + [DP] * 6,
        None),
    "rndup": ([I32, DBL], DBL),
    "avevar": ([DP, I32, DP], None),
    "compare": ([ctypes.c_void_p, ctypes.c_void_p], ctypes.c_int32),
    "median": ([DP, I32, DP], None),
}


def load():
    """A fresh ctypes handle on the quasmir shared object, typed."""
    lib = ctypes.CDLL(quasmir.__file__)
    for name, (argtypes, restype) in SIGNATURES.items():
        func = getattr(lib, name)
        func.argtypes = argtypes
        func.restype = restype
    return lib


LIB = load()
COADD = linestack.library().C_coadd_loc_gauss_prof


def p(a, offset=0):
    """double* to element `offset` of a float64 array."""
    assert a.dtype == np.float64 and a.flags.c_contiguous
    return ctypes.cast(a.ctypes.data + 8 * offset, DP)


def exact(a):
    """A fresh float64 array of exactly len(a) elements: a read past its
    end leaves its allocation (caught by AddressSanitizer)."""
    return np.array(a, dtype=np.float64, copy=True)


def guarded(n):
    """Output of n slots (n may be <= 0) plus the guard, all SENTINEL."""
    return np.full(max(n, 0) + GUARD, SENTINEL)


def delta_lambda(v, lam):
    return LIB.Delta_lambda(v, lam)


def obtain_same_sampling(wave, n_pix, wave_ref, n_ref, flux_ref):
    wave_out, flux_out, offset_out = (guarded(n_pix) for _ in range(3))
    index_out = np.full(max(n_pix, 0) + GUARD, -99, dtype=np.int32)
    LIB.obtain_same_sampling(
        p(wave), n_pix, p(wave_ref), n_ref, p(flux_ref), p(wave_out),
        p(flux_out), index_out.ctypes.data_as(IP), p(offset_out))
    return wave_out, flux_out, index_out, offset_out


def bouchy(wave, flux_err, flux, model, n, sys_err):
    out = guarded(2)
    LIB.calculate_RV_with_BOUCHY(p(wave), p(flux_err), p(flux), p(model), n,
                                 p(out, 0), sys_err, p(out, 1))
    return out


def scan(rv_trials, n_trials, wave, sys_err, flux_err, flux, n_pix,
         wave_master, flux_master, n_master):
    rv, rv_err, chi2 = (guarded(n_trials) for _ in range(3))
    coeffs = guarded(2 * max(n_trials, 0))
    rows = (DP * max(n_trials, 1))(
        *[p(coeffs, 2 * t) for t in range(max(n_trials, 0))])
    LIB.get_RV_line_by_line_c(
        p(rv_trials), p(rv), p(rv_err), p(chi2), n_trials, p(wave), sys_err,
        p(flux_err), p(flux), n_pix, p(wave_master), p(flux_master),
        n_master, rows)
    return rv, rv_err, chi2, coeffs


FIRST_ORDER = {
    False: "get_RV_line_by_line_Bouchy_without_offset",
    True: "get_RV_line_by_line_Bouchy_with_offset",
}


def first_order(with_offset, wave, lambda_ref, sys_err, rv_shift, flux_err,
                flux, n_pix, wave_master, flux_master, n_master):
    """The five result slots (scale, rv, rv_err, offset, chi2_red) and the
    guard."""
    out = guarded(5)
    getattr(LIB, FIRST_ORDER[with_offset])(
        p(out, 0), p(out, 1), p(out, 2), p(out, 3), p(out, 4), p(wave),
        lambda_ref, sys_err, rv_shift, p(flux_err), p(flux), n_pix,
        p(wave_master), p(flux_master), n_master)
    return out


def second_order(wave, flux_err, flux, n_pix, wave_master, flux_master,
                 n_master, lambda_ref, sys_err, rv_shift):
    """The seven result slots (c0, c1, c2, rv, rv_err, spare, chi2_red)
    with the guard, and the six tables, each with its guard."""
    out = guarded(7)
    tables = [guarded(n_master) for _ in range(3)] + \
        [guarded(n_pix) for _ in range(3)]
    LIB.get_RV_line_by_line_Bouchy_with_offset_second_order_deriv(
        *(p(out, i) for i in range(6)), lambda_ref, sys_err, rv_shift,
        p(out, 6), p(wave), p(flux_err), p(flux), n_pix, p(wave_master),
        p(flux_master), n_master, *map(p, tables))
    return out, tables


def rndup(n_decimals, value):
    return LIB.rndup(n_decimals, value)


def avevar(data, n):
    out = guarded(1)
    LIB.avevar(p(data), n, p(out))
    return out


def median(data, n):
    """Sorts data[:n] in place; returns the result slot and guard."""
    out = guarded(1)
    LIB.median(p(data), n, p(out))
    return out


def compare(a, b):
    x, y = ctypes.c_double(a), ctypes.c_double(b)
    return LIB.compare(ctypes.byref(x), ctypes.byref(y))


def coadd(rv, contrast, fwhm, grid, continuum, n_grid, n_profiles):
    out = guarded(max(n_grid, 0) * max(n_profiles, 0))
    COADD(p(rv), p(contrast), p(fwhm), p(grid), p(continuum), n_grid,
          n_profiles, p(out))
    return out
