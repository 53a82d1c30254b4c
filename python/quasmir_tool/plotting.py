"""The figure of a run (PNG, drawn by matplotlib's Agg renderer): the
velocity time series with error bars, the distribution of the line
velocities of one spectrum, and one line window with the spectrum and the
fitted model."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from .errors import InputError

__all__ = [
    "plot_line_velocities",
    "plot_line_window",
    "plot_results",
    "plot_time_series",
]

C_LIGHT = 299792458.0  # m/s


def _times(rows: Sequence[dict]) -> tuple[np.ndarray, str]:
    """Times of the rows (days) and the axis label; spectrum numbers
    when no row has a time."""
    times = np.array(
        [
            np.nan
            if row.get("time", row.get("rjd")) is None
            else row.get("time", row.get("rjd"))
            for row in rows
        ],
        dtype=float,
    )
    if not np.isfinite(times).any():
        return np.arange(len(rows), dtype=float), "spectrum number"
    start = np.floor(np.nanmin(times))
    name = "RJD" if "rjd" in rows[0] and "time" not in rows[0] else "time"
    return times - start, f"{name} \u2212 {start:.0f} (days)"


def plot_time_series(ax: Any, rows: Sequence[dict]) -> None:
    """Velocities (m/s) against time with 1-sigma error bars.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
    rows : sequence of dict
        Rows of the per-spectrum table (``rv``, ``rv_err`` and ``time``
        or ``rjd``).
    """
    if not rows:
        ax.text(
            0.5,
            0.5,
            "no spectrum measured",
            ha="center",
            transform=ax.transAxes,
        )
        ax.set_axis_off()
        return
    x, label = _times(rows)
    rv = np.array([row["rv"] for row in rows], dtype=float)
    err = np.array([row["rv_err"] for row in rows], dtype=float)
    ax.errorbar(x, rv, yerr=err, fmt="o", ms=4, capsize=2, color="C0")
    ax.set_xlabel(label)
    ax.set_ylabel("radial velocity (m/s)")
    good = np.isfinite(rv) & np.isfinite(err)
    if good.sum() > 1:
        w = 1.0 / err[good] ** 2
        mean = np.sum(w * rv[good]) / np.sum(w)
        rms = np.std(rv[good])
        ax.set_title(
            f"{len(rows)} spectra: rms {rms:.2f} m/s, median error "
            f"{np.median(err[good]):.2f} m/s, weighted mean {mean:.2f} m/s"
        )
    ax.ticklabel_format(axis="y", useOffset=False)
    ax.grid(alpha=0.3)


def _line_table(result: Any) -> Any:
    lines = result.lines
    if lines is None or len(lines) == 0 or "rv" not in lines.colnames:
        return None
    return lines


def _used(lines: Any) -> np.ndarray:
    used = (
        np.asarray(lines["used"], dtype=bool)
        if "used" in lines.colnames
        else np.ones(len(lines), dtype=bool)
    )
    rv = np.asarray(lines["rv"], dtype=float)
    return used & np.isfinite(rv)


def plot_line_velocities(ax: Any, result: Any, title: str = "") -> None:
    """Histogram of the velocities (m/s) of the lines used in one
    spectrum, with the combined velocity and its error."""
    lines = _line_table(result)
    if lines is None or not _used(lines).any():
        ax.text(
            0.5, 0.5, "no line velocities", ha="center", transform=ax.transAxes
        )
        ax.set_axis_off()
        return
    rv = np.asarray(lines["rv"], dtype=float)[_used(lines)]
    centre = float(result.rv)
    # Most lines within the plot: outlying lines would squash the bins.
    q16, q84 = np.percentile(rv, [16.0, 84.0])
    half = max(5.0 * (q84 - q16) / 2.0, 1e-3)
    inside = np.abs(rv - centre) <= half
    ax.hist(
        rv[inside],
        bins=min(60, max(15, int(2.0 * inside.sum() ** 0.5))),
        color="C0",
        alpha=0.7,
        edgecolor="white",
    )
    ax.axvline(centre, color="C3", label=f"{centre:.2f} m/s")
    ax.axvspan(
        centre - result.rv_err,
        centre + result.rv_err,
        color="C3",
        alpha=0.2,
        label=f"\u00b1{result.rv_err:.2f} m/s",
    )
    ax.set_xlabel("line velocity (m/s)")
    ax.set_ylabel("number of lines")
    outside = int((~inside).sum())
    note = f", {outside} beyond the axis" if outside else ""
    ax.set_title(
        f"{title}{rv.size} lines, outlier fraction "
        f"{result.outlier_fraction:.3f}{note}"
    )
    ax.legend(loc="upper right", fontsize="small")


def _best_line(lines: Any) -> int:
    """Row of the used line with the smallest velocity error."""
    err = np.asarray(lines["rv_err"], dtype=float)
    err = np.where(_used(lines) & np.isfinite(err), err, np.inf)
    return int(np.argmin(err))


def plot_line_window(
    ax: Any, spectrum: Any, result: Any, master: Any, row: int | None = None
) -> None:
    """One line window: the spectrum's pixels (barycentric wavelength)
    with error bars and the fitted model.

    The model is the master shifted to the spectrum's velocity, times the
    line's fitted scale, plus its fitted derivative term (and its offset
    or second-derivative term), evaluated with a cubic spline of the
    master: the Taylor model of the line's last fit.
    """
    from scipy.interpolate import CubicSpline

    lines = _line_table(result)
    if lines is None or not _used(lines).any() or spectrum is None:
        ax.text(
            0.5, 0.5, "no line window", ha="center", transform=ax.transAxes
        )
        ax.set_axis_off()
        return
    row = _best_line(lines) if row is None else row
    line = lines[row]
    wave = np.asarray(spectrum.wave, dtype=float)
    flux = np.asarray(spectrum.flux, dtype=float)
    err = np.asarray(spectrum.flux_err, dtype=float)
    if wave.ndim == 2:
        order = int(line["order"]) if "order" in lines.colnames else 0
        wave, flux, err = wave[order], flux[order], err[order]
    lo, hi = int(line["pix_start"]), int(line["pix_stop"])
    factor = np.sqrt((1 + result.berv / C_LIGHT) / (1 - result.berv / C_LIGHT))
    bary = wave[lo:hi] * factor
    ax.errorbar(
        bary,
        flux[lo:hi],
        yerr=err[lo:hi],
        fmt="o",
        ms=3,
        color="k",
        capsize=0,
        label="spectrum",
    )

    mw = np.asarray(master.wave, dtype=float)
    mf = np.asarray(master.flux, dtype=float)
    good = np.isfinite(mw) & np.isfinite(mf)
    mshift = np.sqrt((1 + result.rv / C_LIGHT) / (1 - result.rv / C_LIGHT))
    spline = CubicSpline(mw[good] * mshift, mf[good])
    fine = np.linspace(bary[0], bary[-1], 400)
    model = float(line["scale"]) * spline(fine)
    model += float(line["deriv1"]) * spline(fine, 1)
    coeff2 = float(line["coeff2"]) if "coeff2" in lines.colnames else 0.0
    if result.estimator == "offset":
        model += coeff2
    elif result.estimator == "second":
        model += coeff2 * spline(fine, 2)
    ax.plot(fine, model, color="C3", label="fitted model")
    ax.set_xlabel("barycentric wavelength (\u00c5)")
    ax.set_ylabel("flux")
    ax.ticklabel_format(axis="x", useOffset=False)
    ax.set_title(
        f"line at {float(line['centre']):.3f} \u00c5: "
        f"{float(line['rv']):.1f} \u00b1 {float(line['rv_err']):.1f} m/s"
    )
    ax.legend(loc="best", fontsize="small")


def plot_results(
    path: str | os.PathLike,
    rows: Sequence[dict],
    spectrum: Any = None,
    result: Any = None,
    master: Any = None,
) -> None:
    """Write the figure of a run as PNG.

    Parameters
    ----------
    path : str or path-like
        The PNG file (written atomically).
    rows : sequence of dict
        The per-spectrum table (see `quasmir_tool.output`).
    spectrum, result : Spectrum and Result, optional
        One measured spectrum, for the line panels.
    master : Spectrum, optional
        The master, for the model of the line window.
    """
    from matplotlib.figure import Figure

    from .output import write_atomic

    if not os.fspath(path).lower().endswith(".png"):
        raise InputError(f"plot_results: path {path}: give a .png name")
    # A bare Figure draws with Agg and touches no pyplot state: safe in
    # any thread and with any interactive backend configured.
    fig = Figure(figsize=(12, 8), layout="constrained")
    grid = fig.add_gridspec(2, 2)
    plot_time_series(fig.add_subplot(grid[0, :]), rows)
    name = ""
    if result is not None and result.path is not None:
        name = f"{os.path.basename(str(result.path))}: "
    if result is not None:
        plot_line_velocities(fig.add_subplot(grid[1, 0]), result, name)
        if master is not None:
            plot_line_window(
                fig.add_subplot(grid[1, 1]), spectrum, result, master
            )
    write_atomic(path, lambda tmp: fig.savefig(tmp, format="png", dpi=100))
