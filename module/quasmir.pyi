# Typed signatures of the quasmir extension module, for editors and type
# checkers.  The module's own docstrings are the documentation; this file
# gives each method's arguments (all positional-only), their defaults and
# the shape of the result tuple.
#
# Array arguments must be one-dimensional numpy arrays of a real dtype
# (converted to contiguous float64 when needed); lists are refused.
# Velocities are in m/s, wavelengths in one unit for spectrum and master.

from typing import Any

import numpy as np
from numpy.typing import NDArray

_In = NDArray[Any]
_Out = NDArray[np.float64]

def get_RV_line_by_line(
    rv_trials: _In,
    wave: _In,
    flux_err: _In,
    flux: _In,
    wave_master: _In,
    flux_master: _In,
    sys_err: float = 0.0,
    /,
) -> tuple[_Out, _Out, _Out, _Out]:
    # (rv, rv_err, chi2_red, coeffs): three arrays of len(rv_trials) and
    # a (len(rv_trials), 2) array of (scale, offset).
    ...

def get_RV_line_by_line2(
    wave: _In,
    flux_err: _In,
    flux: _In,
    wave_master: _In,
    flux_master: _In,
    sys_err: float = 0.0,
    rv_shift: float = 0.0,
    lambda_ref: float = 100000.0,
    /,
) -> tuple[float, float, float, float, float]:
    # (scale, rv, rv_err, 0.0, chi2_red)
    ...

def get_RV_line_by_line2_with_offset(
    wave: _In,
    flux_err: _In,
    flux: _In,
    wave_master: _In,
    flux_master: _In,
    sys_err: float = 0.0,
    rv_shift: float = 0.0,
    lambda_ref: float = 100000.0,
    /,
) -> tuple[float, float, float, float, float]:
    # (scale, rv, rv_err, offset, chi2_red)
    ...

def get_RV_line_by_line3(
    wave: _In,
    flux_err: _In,
    flux: _In,
    wave_master: _In,
    flux_master: _In,
    sys_err: float = 0.0,
    rv_shift: float = 0.0,
    lambda_ref: float = 100000.0,
    /,
) -> tuple[
    float,
    float,
    float,
    float,
    float,
    float,
    float,
    _Out,
    _Out,
    _Out,
    _Out,
    _Out,
    _Out,
]:
    # (scale, deriv1, deriv2, rv, rv_err, 0.0, chi2_red,
    #  wavelength_master_shift, dflux_master, d2flux_master   [master grid],
    #  flux_master_interp, dflux_master_interp, d2flux_master_interp
    #  [spectrum pixels])
    ...
