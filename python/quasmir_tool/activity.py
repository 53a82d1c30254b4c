"""Activity indicators from the lines of one measurement.

A planet shifts every line by the same velocity; stellar activity
(spots, faculae) also changes the lines' shape, and how much depends on
wavelength.  Two indicators come from the line-by-line fit itself:

Line width, ``dlw`` (m²/s²)
    The second-order fit models a spectrum as ``c0 M + c1 M' + c2 M''``.
    A line broadened by a Gaussian of dispersion ``s`` (angstrom) is
    ``M + (s**2 / 2) M''`` to first order, so ``c2 / c0`` measures half the
    added variance.  Per line, ``dlw = (c2 / c0) (c / lambda)**2`` with
    ``lambda`` the line's wavelength: broadening by a Gaussian of
    dispersion ``sigma_v`` (m/s) gives ``dlw = sigma_v**2 / 2``; a
    narrower line than the master's gives a negative value.  Needs
    ``estimator="second"``.

Chromatic slope, ``crx`` (m/s per unit of ln wavelength)
    The slope ``b`` of ``v = a + b ln(lambda / lambda_0)`` fitted to the
    line velocities: a velocity that grows by ``b * ln(2)`` m/s from
    lambda to 2 lambda.  Spots, cooler than the photosphere, shift blue
    and red lines differently.

Both are combined robustly, as the velocities are
(`quasmir_tool.combining.combine`, a Gaussian-plus-outlier mixture): the
line widths directly, the slope by a weighted fit whose lines carry the
mixture's core probability of their residuals, refitted until the
probabilities settle.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

import numpy as np

from .combining import combine, usable
from .lines import C_LIGHT

__all__ = [
    "COLUMNS",
    "RDB_COLUMNS",
    "Indicators",
    "chromatic_slope",
    "indicators",
    "line_indicators",
    "line_width",
]

#: Columns the indicators add to the per-spectrum CSV table.
COLUMNS = ("dlw", "dlw_err", "crx", "crx_err")
#: The same in the rdb table (value, then ``s`` + value for its error).
RDB_COLUMNS = {"dlw": "dlw", "sdlw": "dlw_err", "crx": "crx",
               "scrx": "crx_err"}


@dataclass
class Indicators:
    """Activity indicators of one spectrum.

    Attributes
    ----------
    dlw, dlw_err : float
        Line-width indicator and its 1-sigma error (m²/s²); NaN unless
        the measurement used ``estimator="second"``.
    crx, crx_err : float
        Chromatic slope and its error (m/s per unit ln wavelength).
    crx_wave : float
        Reference wavelength ``lambda_0`` (angstrom) of the slope fit:
        the weighted mean of the lines' ln wavelength, where the fitted
        intercept and slope are uncorrelated.
    crx_intercept : float
        Velocity (m/s) of the fit at `crx_wave`.
    n_dlw, n_crx : int
        Lines behind each indicator.
    dlw_error_source : str
        ``"fit"`` when the lines table gives each line's c2/c0 error,
        ``"scatter"`` when the lines' velocity errors set the relative
        weights and the scatter of the lines sets the scale.
    """

    dlw: float = np.nan
    dlw_err: float = np.nan
    crx: float = np.nan
    crx_err: float = np.nan
    crx_wave: float = np.nan
    crx_intercept: float = np.nan
    n_dlw: int = 0
    n_crx: int = 0
    dlw_error_source: str = "none"

    def row(self) -> dict:
        """The table columns (`COLUMNS`) as a dict of floats."""
        return {name: float(getattr(self, name)) for name in COLUMNS}

    def as_dict(self) -> dict:
        return asdict(self)


def _column(lines: Any, name: str) -> np.ndarray | None:
    if lines is None or name not in getattr(lines, "colnames", ()):
        return None
    values = lines[name]
    return np.array(getattr(values, "value", values), dtype=float)


def _used(lines: Any) -> np.ndarray:
    used = _column(lines, "used")
    n = len(lines) if lines is not None else 0
    return np.ones(n, dtype=bool) if used is None else used.astype(bool)


def line_indicators(result: Any, ind: Indicators | None = None) -> Any:
    """Per-line indicators of a measurement.

    Parameters
    ----------
    result : Result
        From `quasmir_tool.measure`.
    ind : Indicators, optional
        ``indicators(result)``, if already computed.

    Returns
    -------
    astropy.table.Table
        ``line``, ``centre`` (angstrom), ``used``, ``dlw`` and
        ``dlw_err`` (m²/s²; NaN without the second-order fit, and
        ``dlw_err`` NaN unless the fit gave c2/c0 errors), ``x`` (ln of
        the centre over the slope fit's reference wavelength) and
        ``crx_residual`` (m/s: line velocity minus the chromatic fit).
    """
    from astropy.table import Table

    lines = result.lines
    centre = _column(lines, "centre")
    n = 0 if centre is None else centre.size
    table = Table()
    index = _column(lines, "line")
    table["line"] = np.arange(n) if index is None else index.astype(int)
    table["centre"] = centre if centre is not None else np.zeros(0)
    table["centre"].unit = "Angstrom"
    table["used"] = _used(lines)
    dlw, dlw_err = _line_dlw(lines)
    table["dlw"], table["dlw_err"] = dlw, dlw_err
    table["dlw"].unit = table["dlw_err"].unit = "m2 / s2"
    if ind is None:
        ind = indicators(result)
    rv = _column(lines, "rv")
    if centre is not None and rv is not None and np.isfinite(ind.crx_wave):
        x = np.log(centre / ind.crx_wave)
        table["x"] = x
        table["crx_residual"] = rv - (ind.crx_intercept + ind.crx * x)
    else:
        table["x"] = np.full(n, np.nan)
        table["crx_residual"] = np.full(n, np.nan)
    table["crx_residual"].unit = "m / s"
    return table


def _line_dlw(lines: Any) -> tuple[np.ndarray, np.ndarray]:
    """dlw and its error per line (NaN where not available)."""
    centre = _column(lines, "centre")
    c2_c0 = _column(lines, "c2_c0")
    if centre is None or c2_c0 is None:
        n = 0 if centre is None else centre.size
        return np.full(n, np.nan), np.full(n, np.nan)
    to_v2 = np.square(C_LIGHT / centre)
    err = _column(lines, "c2_c0_err")
    dlw_err = np.full(centre.size, np.nan) if err is None else err * to_v2
    return c2_c0 * to_v2, dlw_err


def line_width(result: Any) -> tuple[float, float, int, str]:
    """Combined line-width indicator of a measurement.

    Returns
    -------
    dlw, dlw_err : float
        m²/s² (NaN without the second-order fit).
    n : int
        Lines combined.
    source : str
        Where the lines' errors came from (see `Indicators`).
    """
    lines = result.lines
    dlw, dlw_err = _line_dlw(lines)
    if not dlw.size:
        return np.nan, np.nan, 0, "none"
    good = _used(lines) & np.isfinite(dlw)
    source = "fit"
    if not np.isfinite(dlw_err[good]).all() or not good.any():
        # No per-line c2/c0 error: a line's width error scales with its
        # velocity error (both come from the same pixels and the same
        # line profile), and the common factor is set by the scatter of
        # the lines themselves, robustly (1.4826 MAD).
        rv_err = _column(lines, "rv_err")
        if rv_err is None:
            return np.nan, np.nan, 0, "none"
        good &= np.isfinite(rv_err) & (rv_err > 0)
        if good.sum() < 3:
            return np.nan, np.nan, int(good.sum()), "none"
        u = dlw[good] / rv_err[good]
        scale = 1.4826 * float(np.median(np.abs(u - np.median(u))))
        if not scale > 0:
            return np.nan, np.nan, int(good.sum()), "none"
        dlw_err = np.asarray(rv_err * scale, dtype=float)
        source = "scatter"
    comb = combine(dlw[good], dlw_err[good])
    return comb.rv, comb.rv_err, comb.n_used, source


def chromatic_slope(
    wave: np.ndarray,
    rv: np.ndarray,
    rv_err: np.ndarray,
    max_iter: int = 20,
) -> tuple[float, float, float, float, int]:
    """Robust weighted fit of ``rv = a + b ln(wave / wave_0)``.

    Each pass fits the line with weights ``p / err**2`` and then combines
    the residuals with the mixture model (`combine`) to get each line's
    core probability ``p`` for the next pass; the error of ``b`` is
    scaled by the mixture's error scale (at least 1), as the velocity's
    is.

    Parameters
    ----------
    wave : numpy.ndarray
        Line wavelengths (angstrom).
    rv, rv_err : numpy.ndarray
        Line velocities and errors (m/s).
    max_iter : int
        Passes at most.

    Returns
    -------
    slope, slope_err : float
        ``b`` and its error (m/s per unit ln wavelength).
    wave_0 : float
        Reference wavelength (angstrom).
    intercept : float
        ``a`` (m/s).
    n : int
        Lines used.
    """
    wave = np.asarray(wave, dtype=float)
    rv = np.asarray(rv, dtype=float)
    rv_err = np.asarray(rv_err, dtype=float)
    good = np.isfinite(wave) & (wave > 0) & usable(rv, rv_err)
    n = int(good.sum())
    if n < 3:
        return np.nan, np.nan, np.nan, np.nan, n
    lnw, v, s = np.log(wave[good]), rv[good], rv_err[good]
    if not np.ptp(lnw) > 0:
        return np.nan, np.nan, np.nan, np.nan, n
    p = np.ones(n)
    scale = 1.0
    for _ in range(max_iter):
        fit = _weighted_line(lnw, v, p / (s * s))
        if fit is None:
            return np.nan, np.nan, np.nan, np.nan, n
        _, x, _, slope, intercept = fit
        comb = combine(v - (intercept + slope * x), s)
        # A residual the combination cannot use weighs nothing.
        new_p = np.nan_to_num(1.0 - comb.p_outlier, nan=0.0)
        scale = comb.error_scale
        if np.allclose(new_p, p, rtol=0.0, atol=1e-6):
            p = new_p
            break
        p = new_p
    w = p / (s * s)
    fit = _weighted_line(lnw, v, w)
    if fit is None or not np.isfinite(scale):
        return np.nan, np.nan, np.nan, np.nan, n
    x0, x, sxx, slope, intercept = fit
    # Sandwich error of the weighted slope with the lines' errors scaled.
    slope_err = float(scale * np.sqrt(np.sum(np.square(w * x) * s * s))
                      / sxx)
    return slope, slope_err, float(np.exp(x0)), intercept, n


def _weighted_line(lnw: np.ndarray, v: np.ndarray, w: np.ndarray):
    """Weighted least-squares line ``v = a + b (lnw - x0)`` about the
    weighted mean ``x0``: ``(x0, lnw - x0, sum w (lnw - x0)**2, b, a)``,
    or None when the weights leave no slope to fit (all zero, or on one
    wavelength)."""
    with np.errstate(all="ignore"):
        total = float(np.sum(w))
        x0 = float(np.sum(w * lnw) / total)
        x = lnw - x0
        sxx = float(np.sum(w * x * x))
        slope = float(np.sum(w * x * v) / sxx)
        intercept = float(np.sum(w * v) / total)
    if not (total > 0.0 and sxx > 0.0 and np.isfinite(slope)
            and np.isfinite(intercept)):
        return None
    return x0, x, sxx, slope, intercept


def indicators(result: Any) -> Indicators:
    """Activity indicators of one measurement.

    Parameters
    ----------
    result : Result
        From `quasmir_tool.measure` (with ``estimator="second"`` for the
        line width).

    Returns
    -------
    Indicators
        Use ``.row()`` for the table columns `COLUMNS`.
    """
    lines = result.lines
    out = Indicators()
    if lines is None or not len(lines):
        return out
    out.dlw, out.dlw_err, out.n_dlw, out.dlw_error_source = line_width(
        result
    )
    used = _used(lines)
    centre = _column(lines, "centre")
    rv = _column(lines, "rv")
    rv_err = _column(lines, "rv_err")
    if centre is not None and rv is not None and rv_err is not None:
        (out.crx, out.crx_err, out.crx_wave, out.crx_intercept,
         out.n_crx) = chromatic_slope(
            centre[used], rv[used], rv_err[used]
        )
    return out
