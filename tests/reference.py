"""Slow scalar twins of the quasmir velocity procedures.

Every formula is evaluated one IEEE double operation at a time, in the
written order, on Python floats; the weighted fit calls GSL's own
gsl_multifit_wlinear through ctypes.  Arrays are read element by element
at the moment each step needs the element and written the same way, so a
caller that hands in overlapping numpy views gets the sequential
(ascending index, one pass after another) result.
"""

import ctypes
import ctypes.util
import math

import numpy as np

C_LIGHT = 299792458.0
RV_UNSET = 100000.0
# Distance that no accepted candidate of the nearest-point search reaches.
FAR = 1e30

LOWER_EDGE_WARNING = (
    "\n\n----- Be careful, want to access a value outside vector "
    "wavelength_master_shift bounds (wave=%s, wave_master[0,1]=%s,%s)"
    "  ------\n\n"
)
UPPER_EDGE_WARNING = (
    "\n\n----- Be careful, want to access a value outside vector "
    "wavelength_master_shift bounds "
    "(wave=%s, wave_master[-2,-1]=%s,%s)  ------\n\n"
)


def c_fixed(x):
    """C's printf("%.4f", x): as Python's, but a NaN shows its sign
    ("-nan"), as glibc prints the NaN an invalid operation makes."""
    if math.isnan(x):
        return "-nan" if math.copysign(1.0, x) < 0 else "nan"
    return f"{x:.4f}"


# --- IEEE helpers ---------------------------------------------------------


def div(a, b):
    """IEEE quotient a / b, infinities and NaN included."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def sqrt(x):
    """C sqrt: NaN for a negative argument."""
    if x < 0.0:
        return math.nan
    return math.sqrt(x)


def bits_equal(a, b):
    """True when a and b hold the same doubles bit for bit (any NaN ~ NaN)."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    if not np.array_equal(nan_a, nan_b):
        return False
    keep = ~nan_a
    return np.array_equal(
        np.ascontiguousarray(a[keep]).view(np.uint64),
        np.ascontiguousarray(b[keep]).view(np.uint64),
    )


# --- GSL weighted fit through ctypes --------------------------------------


class _GslVector(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t), ("stride", ctypes.c_size_t),
        ("data", ctypes.POINTER(ctypes.c_double)), ("block", ctypes.c_void_p),
        ("owner", ctypes.c_int)
    ]


class _GslMatrix(ctypes.Structure):
    _fields_ = [
        ("size1", ctypes.c_size_t), ("size2", ctypes.c_size_t),
        ("tda", ctypes.c_size_t), ("data", ctypes.POINTER(ctypes.c_double)),
        ("block", ctypes.c_void_p), ("owner", ctypes.c_int)
    ]


def _load_gsl():
    """Load libgslcblas (globally, for libgsl's symbols) and libgsl."""
    cblas = ctypes.util.find_library("gslcblas") or "libgslcblas.so.0"
    ctypes.CDLL(cblas, mode=ctypes.RTLD_GLOBAL)
    gsl = ctypes.CDLL(ctypes.util.find_library("gsl") or "libgsl.so.27")
    gsl.gsl_multifit_linear_alloc.argtypes = [ctypes.c_size_t] * 2
    gsl.gsl_multifit_linear_alloc.restype = ctypes.c_void_p
    gsl.gsl_multifit_linear_free.argtypes = [ctypes.c_void_p]
    gsl.gsl_multifit_linear_free.restype = None
    gsl.gsl_multifit_wlinear.argtypes = [
        ctypes.POINTER(_GslMatrix), ctypes.POINTER(_GslVector),
        ctypes.POINTER(_GslVector), ctypes.POINTER(_GslVector),
        ctypes.POINTER(_GslMatrix), ctypes.POINTER(ctypes.c_double),
        ctypes.c_void_p
    ]
    gsl.gsl_multifit_wlinear.restype = ctypes.c_int
    return gsl


_GSL = _load_gsl()


def _vector(a):
    return _GslVector(
        a.size, 1, a.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), None, 0
    )


def _matrix(a):
    return _GslMatrix(
        a.shape[0], a.shape[1], a.shape[1],
        a.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), None, 0
    )


def weighted_linear_fit(rows, observations, weights):
    """gsl_multifit_wlinear on the given rows; (coeffs, cov, chisq)."""
    n, p = len(rows), len(rows[0])
    design = np.array(rows, dtype=np.float64).reshape(n, p)
    obs = np.array(observations, dtype=np.float64)
    w = np.array(weights, dtype=np.float64)
    coeffs = np.zeros(p)
    cov = np.zeros((p, p))
    chisq = ctypes.c_double(-10.0)
    work = _GSL.gsl_multifit_linear_alloc(n, p)
    assert work, "GSL could not allocate a fit workspace"
    try:
        _GSL.gsl_multifit_wlinear(
            _matrix(design), _vector(w), _vector(obs), _vector(coeffs),
            _matrix(cov), ctypes.byref(chisq), work
        )
    finally:
        _GSL.gsl_multifit_linear_free(work)
    return [float(c) for c in coeffs], cov.tolist(), chisq.value


def fit_weight(flux_err_k, sys_err_sq):
    """1/(h*h) with h = sqrt(flux_err^2 + sys_err^2)."""
    h = sqrt(flux_err_k * flux_err_k + sys_err_sq)
    return div(1.0, h * h)


# --- Shift, matching, Bouchy ----------------------------------------------


def doppler_factor(v):
    """f = 1 - sqrt((b + 1) / (1 - b)), b = v / c."""
    b = v / C_LIGHT
    return 1.0 - sqrt(div(b + 1.0, 1.0 - b))


def shift_master_grid(wave_master, v, out, n_master):
    """out[i] = x - x*f for every master wavelength x."""
    f = doppler_factor(v)
    for i in range(n_master):
        x = float(wave_master[i])
        out[i] = x - x * f


def delta_lambda(v, lam):
    """(1 - sqrt((b + 1)/(1 - b))) * (-lambda)."""
    b = v / C_LIGHT
    return (1.0 - sqrt(div(b + 1.0, 1.0 - b))) * (-lam)


def match_nearest_forward(targets, n_targets, grid, n_grid):
    """Forward nearest-point matches; a target with no accepted candidate
    keeps the running start index."""
    matches = []
    start = 0
    for i in range(n_targets):
        t = float(targets[i])
        best = FAR
        k = start
        while k < n_grid:
            d = abs(float(grid[k]) - t)
            if best > d:
                best = d
                k += 1
            else:
                break
        match = k - 1 if k > start else start
        matches.append(match)
        start = match
    return matches


def obtain_same_sampling(wave, wave_ref, flux_ref):
    """Matched wavelength, flux, index and offset of every pixel."""
    matches = match_nearest_forward(wave, len(wave), wave_ref, len(wave_ref))
    wave_out = [float(wave_ref[m]) for m in matches]
    flux_out = [float(flux_ref[m]) for m in matches]
    offset_out = [float(wave[j]) - wave_out[j] for j in range(len(wave))]
    return wave_out, flux_out, matches, offset_out


def bouchy_velocity(wave, flux_err, flux, model, n, sys_err, skip_flat=True):
    """Bouchy optimal-weight velocity and its error; a pixel whose slope is
    exactly 0.0 is skipped unless skip_flat is False."""
    sys_err_sq = sys_err * sys_err
    s_sum = 0.0
    t_sum = 0.0
    for k in range(n - 1):
        slope = div(
            float(model[k + 1]) - float(model[k]),
            float(wave[k + 1]) - float(wave[k]),
        ) * float(wave[k])
        if skip_flat and slope == 0.0:
            continue
        fe = float(flux_err[k])
        h = sqrt(fe * fe + sys_err_sq)
        w = div(slope * slope, h * h)
        t_sum = t_sum + div(float(flux[k]) - float(model[k]), slope) * w
        s_sum = s_sum + w
    rv = div(t_sum, s_sum) * C_LIGHT
    if s_sum == -math.inf:
        rv_err = 0.0
    else:
        rv_err = div(1.0, abs(sqrt(s_sum))) * C_LIGHT
    return rv, rv_err


# --- Trial-velocity scan ----------------------------------------------------


def scan(
    rv_trials, wave, flux_err, flux, wave_master, flux_master, sys_err,
    skip_flat=True
):
    """Per trial: (rv, rv_err, chi2_red, (coeff_scale, coeff_offset))."""
    n_pix, n_master = len(wave), len(wave_master)
    sys_err_sq = sys_err * sys_err
    weights = [
        fit_weight(float(flux_err[k]), sys_err_sq) for k in range(n_pix)
    ]
    results = []
    for v in rv_trials:
        shifted = [0.0] * n_master
        shift_master_grid(wave_master, float(v), shifted, n_master)
        matches = match_nearest_forward(wave, n_pix, shifted, n_master)
        matched = [float(flux_master[m]) for m in matches]
        (c0, c1), _, chisq = weighted_linear_fit(
            [(matched[k], 1.0) for k in range(n_pix)],
            [float(flux[k]) for k in range(n_pix)], weights
        )
        model = [(c0 * matched[k]) + c1 for k in range(n_pix)]
        total = 0.0
        for value in model:
            total = total + value
        if total == 0.0:
            results.append((RV_UNSET, RV_UNSET, RV_UNSET, (c0, c1)))
            continue
        rv, rv_err = bouchy_velocity(
            wave, flux_err, flux, model, n_pix, sys_err, skip_flat
        )
        results.append((rv, rv_err, div(chisq, float(n_pix - 3)), (c0, c1)))
    return results


def scan_method(
    rv_trials, wave, flux_err, flux, wave_master, flux_master, sys_err=0.0
):
    """The four arrays that get_RV_line_by_line returns."""
    res = scan(
        rv_trials, wave, flux_err, flux, wave_master, flux_master, sys_err
    )
    rv = np.array([r[0] for r in res], dtype=np.float64)
    rv_err = np.array([r[1] for r in res], dtype=np.float64)
    chi2 = np.array([r[2] for r in res], dtype=np.float64)
    coeffs = np.array([r[3] for r in res], dtype=np.float64).reshape(-1, 2)
    return rv, rv_err, chi2, coeffs


# --- Taylor estimators ------------------------------------------------------


def forward_derivative(q, grid, out, count):
    """out[i] = (q[i+1] - q[i]) / (grid[i+1] - grid[i]) for i < count."""
    for i in range(count):
        out[i] = div(
            float(q[i + 1]) - float(q[i]), float(grid[i + 1]) - float(grid[i])
        )


def bracket(j, delta, n_grid):
    """Bracket of a pixel, moved onto the edge interval when it would
    leave the grid."""
    lo, hi = (j - 1, j) if delta < 0.0 else (j, j + 1)
    if lo < 0:
        return 0, 1
    if hi > n_grid - 1:
        return n_grid - 2, n_grid - 1
    return lo, hi


def interpolate(q, grid, lo, hi, t):
    """slope * t + (q[hi] - grid[hi] * slope) over the bracket (lo, hi)."""
    slope = div(float(q[hi]) - float(q[lo]), float(grid[hi]) - float(grid[lo]))
    return slope * t + (float(q[hi]) - float(grid[hi]) * slope)


def taylor_velocity(c0, c1, cov00, cov11, rv_shift, lambda_ref):
    """rv = rv_shift - ((c1/c0)/lambda_ref)*c and its error."""
    rv = rv_shift - div(div(c1, c0), lambda_ref) * C_LIGHT
    a = div(1.0, c0)
    b = div(-c1, c0 * c0)
    e = (b * b) * cov00 + (a * a) * cov11
    s = math.inf if e == -math.inf else abs(sqrt(e))
    return rv, div(s, lambda_ref) * C_LIGHT


def _match_with_offsets(wave, n_pix, grid, n_master):
    """Matches of the pixels and their offsets wave[k] - grid[j]."""
    matches = match_nearest_forward(wave, n_pix, grid, n_master)
    offsets = [float(wave[k]) - float(grid[matches[k]]) for k in range(n_pix)]
    return matches, offsets


def first_order(
    wave, flux_err, flux, wave_master, flux_master, sys_err, rv_shift,
    lambda_ref, with_offset
):
    """First-order Taylor kernel, without or with a constant column.

    Returns (coeff_scale, rv, rv_err, coeff_offset or None, chi2_red,
    printed text).
    """
    n_pix, n_master = len(wave), len(wave_master)
    grid = [0.0] * n_master
    shift_master_grid(wave_master, rv_shift, grid, n_master)
    dflux = [0.0] * n_master
    forward_derivative(flux_master, grid, dflux, n_master - 1)
    matches, offsets = _match_with_offsets(wave, n_pix, grid, n_master)
    printed = []
    rows = []
    for k in range(n_pix):
        j, delta, t = matches[k], offsets[k], float(wave[k])
        if not with_offset:
            if delta < 0.0 and j - 1 < 0:
                printed.append(
                    LOWER_EDGE_WARNING % tuple(map(c_fixed, (
                        float(wave[0]), grid[0], grid[1])))
                )
            if not delta < 0.0 and j + 1 >= n_master:
                printed.append(
                    UPPER_EDGE_WARNING
                    % tuple(map(c_fixed, (
                        float(wave[n_pix - 1]), grid[n_master - 2],
                        grid[n_master - 1]
                    )))
                )
        lo, hi = bracket(j, delta, n_master)
        row = (
            interpolate(flux_master, grid, lo, hi, t),
            interpolate(dflux, grid, lo, hi, t),
        )
        rows.append(row + (1.0,) if with_offset else row)
    sys_err_sq = sys_err * sys_err
    coeffs, cov, chisq = weighted_linear_fit(
        rows, [float(flux[k]) for k in range(n_pix)],
        [fit_weight(float(flux_err[k]), sys_err_sq) for k in range(n_pix)]
    )
    rv, rv_err = taylor_velocity(
        coeffs[0], coeffs[1], cov[0][0], cov[1][1], rv_shift, lambda_ref
    )
    divisor = float(n_pix - (4 if with_offset else 3))
    offset = coeffs[2] if with_offset else None
    return (
        coeffs[0],
        rv,
        rv_err,
        offset,
        div(chisq, divisor),
        "".join(printed),
    )


def first_order_method(
    wave, flux_err, flux, wave_master, flux_master, sys_err=0.0, rv_shift=0.0,
    lambda_ref=100000.0, with_offset=False
):
    """(result tuple, printed text) of get_RV_line_by_line2[_with_offset]."""
    c0, rv, rv_err, offset, chi2, printed = first_order(
        wave, flux_err, flux, wave_master, flux_master, sys_err, rv_shift,
        lambda_ref, with_offset
    )
    return (c0, rv, rv_err, offset if with_offset else 0.0, chi2), printed


def second_order(
    wave, flux_err, flux, wave_master, flux_master, sys_err, rv_shift,
    lambda_ref, wavelength_master_shift, dflux_master, d2flux_master,
    flux_master_interp, dflux_master_interp, d2flux_master_interp, n_pix=None,
    n_master=None
):
    """Second-order Taylor kernel, writing the six caller arrays in place.

    Returns (c0, c1, c2, rv, rv_err, chi2_red, printed text).
    """
    n_pix = len(wave) if n_pix is None else n_pix
    n_master = len(wave_master) if n_master is None else n_master
    grid = wavelength_master_shift
    shift_master_grid(wave_master, rv_shift, grid, n_master)
    forward_derivative(flux_master, grid, dflux_master, n_master - 1)
    forward_derivative(dflux_master, grid, d2flux_master, n_master - 2)
    matches, offsets = _match_with_offsets(wave, n_pix, grid, n_master)
    for k in range(n_pix):
        t = float(wave[k])
        lo, hi = bracket(matches[k], offsets[k], n_master)
        flux_master_interp[k] = interpolate(flux_master, grid, lo, hi, t)
        dflux_master_interp[k] = interpolate(dflux_master, grid, lo, hi, t)
        d2flux_master_interp[k] = interpolate(d2flux_master, grid, lo, hi, t)
    sys_err_sq = sys_err * sys_err
    rows, obs, weights = [], [], []
    for k in range(n_pix):
        rows.append(
            (
                float(flux_master_interp[k]), float(dflux_master_interp[k]),
                float(d2flux_master_interp[k])
            )
        )
        obs.append(float(flux[k]))
        weights.append(fit_weight(float(flux_err[k]), sys_err_sq))
    (c0, c1, c2), cov, chisq = weighted_linear_fit(rows, obs, weights)
    u = div(div(-c1, c0), lambda_ref) * C_LIGHT
    rv = u + rv_shift
    _, rv_err = taylor_velocity(
        c0, c1, cov[0][0], cov[1][1], rv_shift, lambda_ref
    )
    chi2 = div(chisq, float(n_pix - 4))
    # C's printf("%.2f\n"), which Python's %-formatting mirrors
    return c0, c1, c2, rv, rv_err, chi2, "%.2f\n" % u  # noqa: UP031


def second_order_method(
    wave, flux_err, flux, wave_master, flux_master, sys_err=0.0, rv_shift=0.0,
    lambda_ref=100000.0
):
    """(13-tuple, printed text) of get_RV_line_by_line3."""
    n_pix, n_master = len(wave), len(wave_master)
    arrays = [np.zeros(n_master) for _ in range(3)] + [
        np.zeros(n_pix) for _ in range(3)
    ]
    c0, c1, c2, rv, rv_err, chi2, printed = second_order(
        wave, flux_err, flux, wave_master, flux_master, sys_err, rv_shift,
        lambda_ref, *arrays
    )
    return (c0, c1, c2, rv, rv_err, 0.0, chi2, *arrays), printed
