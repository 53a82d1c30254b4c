"""Inverted Gaussian line profiles on a common grid.

The profiles are computed by the shared library ``liblinestack.so`` that
ships inside this package; `library_path` gives its absolute path for
callers that load it themselves (C, ctypes, cffi), `library` gives the
ctypes binding, and `coadd_loc_gauss_prof` is the numpy front.

Row ``i`` of the result is, at grid point ``x``::

    continuum[i] * (1 - contrast[i] * exp(-u**2)),
    u = (x - rv[i]) * 2 sqrt(ln 2) / fwhm[i]
"""

import ctypes
import functools
import os

import numpy as np

__all__ = ["INDEX_MAX", "coadd_loc_gauss_prof", "library", "library_path"]

#: Largest element count the library can index (its index is 32-bit).
INDEX_MAX = 2**31 - 1

_LIBRARY_FILE = "liblinestack.so"
_REJECTED_KINDS = {
    "b": "boolean",
    "c": "complex",
    "O": "object",
    "S": "bytes",
    "U": "string",
    "V": "void",
    "M": "datetime",
    "m": "timedelta",
}


def library_path():
    """Return the absolute path of the shared library.

    Returns
    -------
    str
        Path of ``liblinestack.so`` inside the installed package.
    """
    return os.path.join(
        os.path.dirname(os.path.abspath(__file__)), _LIBRARY_FILE
    )


@functools.cache
def library():
    """Load the shared library once and return its ctypes handle.

    ``library().C_coadd_loc_gauss_prof`` has its argument and result types
    set: five ``POINTER(c_double)`` inputs (``None`` passes a null
    pointer), ``n_grid`` and ``n_profiles`` as ``c_int32``, and the output
    pointer.

    Returns
    -------
    ctypes.CDLL
        The loaded library.

    Raises
    ------
    OSError
        If the library cannot be loaded.
    """
    lib = ctypes.CDLL(library_path())
    c_double_p = ctypes.POINTER(ctypes.c_double)
    func = lib.C_coadd_loc_gauss_prof
    func.argtypes = [c_double_p] * 5 + [ctypes.c_int32] * 2 + [c_double_p]
    func.restype = None
    return lib


_FUNCTION = "coadd_loc_gauss_prof"


def _check_array(name, a):
    """Reject what cannot become a one-dimensional float64 array."""
    if not isinstance(a, np.ndarray):
        raise TypeError(
            f"{_FUNCTION}: {name} must be a numpy.ndarray, not "
            f"{type(a).__name__}"
        )
    if isinstance(a, np.ma.MaskedArray):
        # Its data would include the values it masks.
        raise TypeError(
            f"{_FUNCTION}: {name} is a masked array: pass the values to use "
            "(numpy.ma.compressed) or filled values"
        )
    kind = _REJECTED_KINDS.get(a.dtype.kind)
    if kind is not None:
        raise TypeError(
            f"{_FUNCTION}: {name} must have a real numeric dtype, not "
            f"{kind} ({a.dtype})"
        )
    if a.ndim != 1:
        raise ValueError(
            f"{_FUNCTION}: {name} must be one-dimensional, not "
            f"{a.ndim}-dimensional"
        )


def _check_counts(arrays):
    """Equal per-profile lengths, and counts the library can index.

    Returns (n_profiles, n_grid).
    """
    n_profiles = arrays["rv"].shape[0]
    n_grid = arrays["grid"].shape[0]
    for name in ("contrast", "fwhm", "continuum"):
        n = arrays[name].shape[0]
        if n != n_profiles:
            raise ValueError(
                f"{_FUNCTION}: {name} has length {n} but rv has length "
                f"{n_profiles}"
            )
    if n_profiles > INDEX_MAX:
        raise ValueError(
            f"{_FUNCTION}: rv has length {n_profiles}, more than "
            f"INDEX_MAX = {INDEX_MAX} profiles"
        )
    if n_grid > INDEX_MAX:
        raise ValueError(
            f"{_FUNCTION}: grid has length {n_grid}, more than "
            f"INDEX_MAX = {INDEX_MAX} points"
        )
    if n_profiles * n_grid > INDEX_MAX:
        raise ValueError(
            f"{_FUNCTION}: rv and grid give {n_profiles} x {n_grid} = "
            f"{n_profiles * n_grid} elements, more than INDEX_MAX = "
            f"{INDEX_MAX}"
        )
    return n_profiles, n_grid


def coadd_loc_gauss_prof(rv, contrast, fwhm, grid, continuum):
    """Evaluate inverted Gaussian line profiles on a common grid.

    Parameters
    ----------
    rv : numpy.ndarray
        Centre of each line, in the unit of `grid`; shape (n_profiles,).
    contrast : numpy.ndarray
        Depth of each line as a fraction of its continuum (0: no line,
        1: the line reaches zero); shape (n_profiles,).
    fwhm : numpy.ndarray
        Full width at half maximum of each line, in the unit of `grid`;
        its sign does not matter; shape (n_profiles,).
    grid : numpy.ndarray
        Common abscissa, in any order; shape (n_grid,).
    continuum : numpy.ndarray
        Continuum level of each line; shape (n_profiles,).

    Real arrays of another dtype or memory layout are converted to
    contiguous float64; aligned contiguous float64 arrays are used as
    they are.

    Returns
    -------
    numpy.ndarray
        New float64 array of shape (n_profiles, n_grid): row ``i`` is
        ``continuum[i] * (1 - contrast[i] * exp(-u**2))`` with
        ``u = (grid - rv[i]) * 2 sqrt(ln 2) / fwhm[i]``.

    Raises
    ------
    TypeError
        If an argument is not a numpy.ndarray, or its dtype is complex,
        boolean, object, string, void, datetime or timedelta.
    ValueError
        If an argument is not one-dimensional, if `contrast`, `fwhm` or
        `continuum` differs in length from `rv`, or if n_profiles, n_grid
        or their product exceeds `INDEX_MAX`.
    """
    arrays = {
        "rv": rv,
        "contrast": contrast,
        "fwhm": fwhm,
        "grid": grid,
        "continuum": continuum,
    }
    for name, a in arrays.items():
        _check_array(name, a)
    # Bounds the conversion and allocation below.
    _check_counts(arrays)

    # Base-class, aligned, contiguous float64 arrays: the arguments
    # themselves when they are such arrays, else views or copies.  No
    # subclass code runs here, but the checks above may have run some (a
    # __class__ property) and resized an argument: the lengths that count
    # are those of the arrays passed to the library, checked again.
    data = {
        name: np.require(a, np.float64, ["C_CONTIGUOUS", "ALIGNED", "E"])
        for name, a in arrays.items()
    }
    for name, a in data.items():
        _check_array(name, a)
    n_profiles, n_grid = _check_counts(data)
    c_double_p = ctypes.POINTER(ctypes.c_double)
    out = np.empty((n_profiles, n_grid), dtype=np.float64)
    library().C_coadd_loc_gauss_prof(
        *(data[name].ctypes.data_as(c_double_p) for name in arrays),
        n_grid,
        n_profiles,
        out.ctypes.data_as(c_double_p),
    )
    return out
