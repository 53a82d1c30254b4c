"""Time series of the results: Lomb-Scargle periodograms of the velocity
and of each activity indicator, and the figure of ``quasmir plot``.

A planet moves the velocity and leaves the line shape alone; activity
moves both.  A period that shows in the velocity and also in the line
width (``dlw``) or the chromatic slope (``crx``) is suspect.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .errors import InputError, MissingFileError

__all__ = [
    "FAP_LEVELS",
    "SERIES",
    "Periodogram",
    "add_plot_command",
    "periodogram",
    "periodograms",
    "plot_main",
    "plot_results",
    "read_results",
    "series",
]

#: False-alarm probabilities drawn on the periodograms.
FAP_LEVELS = (0.1, 0.01, 0.001)

#: The series plotted: (name, label, column names of the value and its
#: error, first found wins: the CSV table's, then the rdb table's).
SERIES = (
    ("rv", "RV [m/s]", ("rv", "vrad"), ("rv_err", "svrad")),
    ("dlw", "dLW [m²/s²]", ("dlw",), ("dlw_err", "sdlw")),
    ("crx", "CRX [m/s per ln λ]", ("crx",), ("crx_err", "scrx")),
)
_TIME_NAMES = ("time", "rjd", "bjd", "mjd")


@dataclass
class Periodogram:
    """The Lomb-Scargle periodogram of one series.

    Attributes
    ----------
    name : str
        The series (``rv``, ``dlw``, ``crx``).
    period : numpy.ndarray
        Trial periods (days), ascending.
    power : numpy.ndarray
        Normalised power (astropy's ``standard`` normalisation, 0 to 1).
    best_period : float
        Period of the highest peak (days).
    best_power : float
        Its power.
    fap : float
        False-alarm probability of the highest peak (Baluev's bound).
    levels : dict
        Power at each false-alarm probability of `FAP_LEVELS`.
    n_points : int
        Points in the series.
    """

    name: str
    period: np.ndarray
    power: np.ndarray
    best_period: float
    best_power: float
    fap: float
    levels: dict = field(default_factory=dict)
    n_points: int = 0


def periodogram(
    time: np.ndarray,
    value: np.ndarray,
    error: np.ndarray | None = None,
    *,
    name: str = "rv",
    min_period: float | None = None,
    max_period: float | None = None,
    samples_per_peak: int = 10,
) -> Periodogram:
    """Lomb-Scargle periodogram of a series (astropy.timeseries).

    Parameters
    ----------
    time : numpy.ndarray
        Times (days).
    value, error : numpy.ndarray
        The series and its 1-sigma errors (any unit); points with a
        non-finite time, value or error, or a non-positive error, are
        left out.
    name : str
        Name of the series.
    min_period, max_period : float, optional
        Period range (days).  Default: from astropy's choice (five times
        the mean Nyquist frequency) up to the time span.
    samples_per_peak : int
        Frequency sampling; default 10.

    Returns
    -------
    Periodogram

    Raises
    ------
    InputError
        Fewer than 4 usable points, or a time span of zero.
    """
    from astropy.timeseries import LombScargle

    t = np.asarray(time, dtype=float)
    y = np.asarray(value, dtype=float)
    dy = None if error is None else np.asarray(error, dtype=float)
    good = np.isfinite(t) & np.isfinite(y)
    if dy is not None:
        with np.errstate(invalid="ignore"):
            good &= np.isfinite(dy) & (dy > 0)
    t, y = t[good], y[good]
    dy = None if dy is None else dy[good]
    if t.size < 4:
        raise InputError(
            f"{name}: {t.size} usable point(s); a periodogram needs 4"
        )
    span = float(t.max() - t.min())
    if not span > 0:
        raise InputError(f"{name}: all points at one time")
    ls = LombScargle(t, y, dy)
    max_period = span if max_period is None else max_period
    frequency, power = ls.autopower(
        minimum_frequency=1.0 / max_period,
        maximum_frequency=None if min_period is None else 1.0 / min_period,
        samples_per_peak=samples_per_peak,
    )
    order = np.argsort(1.0 / frequency)
    period, power = 1.0 / frequency[order], np.asarray(power)[order]
    best = int(np.argmax(power))
    levels = ls.false_alarm_level(FAP_LEVELS)
    return Periodogram(
        name=name,
        period=period,
        power=power,
        best_period=float(period[best]),
        best_power=float(power[best]),
        fap=float(ls.false_alarm_probability(power[best])),
        levels={p: float(v) for p, v in zip(FAP_LEVELS, levels)},
        n_points=int(t.size),
    )


# --------------------------------------------------------------------------
# Tables


def read_results(path: str | os.PathLike) -> dict[str, list]:
    """Columns of a results table: CSV, or rdb (tab-separated, a row of
    dashes under the names), as ``quasmir measure -o`` writes them or as
    a user makes them; any columns, the plotted ones found by name."""
    import csv

    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
    except FileNotFoundError:
        raise MissingFileError(f"{path}: no such file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{path}: cannot read ({exc})") from None
    lines = [line for line in text.splitlines() if line.strip()]
    if not lines:
        raise InputError(f"{path}: empty results table")
    if len(lines) > 1 and set(lines[1]) <= set("-\t "):
        rows = [line.split("\t") for line in lines[:1] + lines[2:]]
    else:
        rows = list(csv.reader(lines))
    names = [n.strip() for n in rows[0]]
    columns: dict[str, list] = {n: [] for n in names}
    for number, row in enumerate(rows[1:], start=2):
        if len(row) != len(names):
            raise InputError(
                f"{path}: line {number} has {len(row)} values for "
                f"{len(names)} columns"
            )
        for name, value in zip(names, row):
            columns[name].append(_number(value.strip()))
    return columns


def _number(text: str) -> Any:
    if text == "":
        return None
    try:
        return float(text)
    except ValueError:
        return text


def _columns(table: Any) -> dict[str, np.ndarray]:
    """Column name (lower case) -> float array, from a path, an astropy
    Table, a mapping of columns or a sequence of row dicts."""
    if isinstance(table, (str, os.PathLike)):
        table = read_results(table)
    items: Iterable[tuple[Any, Any]]
    if isinstance(table, Mapping):
        items = table.items()
    elif hasattr(table, "colnames"):
        items = ((n, table[n]) for n in table.colnames)
    elif isinstance(table, Sequence):
        names = list(table[0]) if len(table) else []
        items = ((n, [row.get(n) for row in table]) for n in names)
    else:
        raise InputError(f"cannot read a results table from {table!r}")
    out = {}
    for name, values in items:
        try:
            out[str(name).lower()] = np.array(
                [np.nan if v is None else v for v in values], dtype=float
            )
        except (TypeError, ValueError):
            continue  # text columns
    return out


def _first(columns: dict, names: Sequence[str]) -> np.ndarray | None:
    return next((columns[n] for n in names if n in columns), None)


def series(table: Any) -> tuple[np.ndarray, dict[str, tuple]]:
    """Time and the plotted series of a results table.

    Returns ``(time, {name: (value, error)})`` for each series of
    `SERIES` present with at least one finite value.
    """
    columns = _columns(table)
    time = _first(columns, _TIME_NAMES)
    if time is None:
        raise InputError(
            "the results table has no time column (time or rjd)"
        )
    out = {}
    for name, _, value_names, error_names in SERIES:
        value = _first(columns, value_names)
        if value is None or not np.isfinite(value).any():
            continue
        out[name] = (value, _first(columns, error_names))
    if "rv" not in out:
        raise InputError("the results table has no velocity column (rv)")
    return time, out


def periodograms(table: Any, **options: Any) -> dict[str, Periodogram]:
    """Periodogram of every series of a results table (see `series`);
    series with too few points are left out."""
    time, found = series(table)
    out = {}
    for name, (value, error) in found.items():
        try:
            out[name] = periodogram(time, value, error, name=name, **options)
        except InputError:
            if name == "rv":
                raise
    return out


def plot_results(
    table: Any,
    path: str | os.PathLike,
    format: str = "png",
    title: str | None = None,
    **options: Any,
) -> str:
    """Figure of the velocity and indicator time series and their
    periodograms.

    One row per series (velocity, line width, chromatic slope, as the
    table has them): left the series against time with error bars, right
    its Lomb-Scargle periodogram against period with the false-alarm
    levels of `FAP_LEVELS`, the highest peak marked.

    Parameters
    ----------
    table : path, astropy Table, mapping or list of row dicts
        The per-spectrum results (``quasmir measure -o``: CSV or rdb).
    path : str or path-like
        The figure's file.
    format : str
        ``"png"`` (default) or ``"pdf"``.
    title : str, optional
        Figure title.
    **options
        Passed to `periodogram` (``min_period``, ``max_period``).

    Returns
    -------
    str
        The path written.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    if format not in ("png", "pdf"):
        raise InputError(f"figure format must be png or pdf, not {format!r}")
    time, found = series(table)
    pgrams = periodograms(table, **options)
    names = [n for n in found if n in pgrams]
    labels = {name: label for name, label, _, _ in SERIES}
    t0 = np.floor(np.nanmin(time))
    fig = Figure(figsize=(11, 2.8 * len(names) + 0.6), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(len(names), 2, squeeze=False)
    for row, name in zip(axes, names):
        value, error = found[name]
        ax = row[0]
        ax.errorbar(
            time - t0, value, yerr=error, fmt="o", ms=4, capsize=2,
            color="C0" if name == "rv" else "C1",
        )
        ax.set_ylabel(labels[name])
        ax.set_xlabel(f"time - {t0:.0f} [d]")
        pg = pgrams[name]
        ax = row[1]
        ax.plot(pg.period, pg.power, lw=0.8, color="k")
        _period_axis(ax, pg.period)
        for (prob, level), style in zip(pg.levels.items(), (":", "--", "-.")):
            ax.axhline(level, ls=style, lw=0.8, color="C3",
                       label=f"FAP {prob:g}")
        ax.axvline(pg.best_period, color="C2", lw=0.8, alpha=0.7)
        ax.set_title(
            f"highest peak: P = {pg.best_period:.3f} d, "
            f"FAP = {pg.fap:.2g}",
            fontsize=9, loc="left",
        )
        ax.set_xlabel("period [d]")
        ax.set_ylabel("power")
        ax.set_ylim(
            0, 1.08 * max(pg.best_power, max(pg.levels.values()))
        )
        ax.legend(fontsize=7, loc="upper right")
    if title:
        fig.suptitle(title)
    path = os.fspath(path)
    fig.savefig(path, format=format, dpi=120)
    return path


def _period_axis(ax: Any, period: np.ndarray) -> None:
    """A logarithmic period axis labelled in plain days."""
    from matplotlib.ticker import FixedLocator, NullFormatter

    ax.set_xscale("log")
    ticks = [t * 10.0**e for e in range(-2, 5) for t in (1, 2, 5)]
    shown = [t for t in ticks if period.min() <= t <= period.max()]
    ax.xaxis.set_major_locator(FixedLocator(shown))
    ax.xaxis.set_major_formatter(lambda value, _: f"{value:g}")
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_xlim(period.min(), period.max())


# --------------------------------------------------------------------------
# The command


def add_plot_command(subparsers: Any) -> argparse.ArgumentParser:
    """Add ``quasmir plot`` to an argparse subparsers object (its
    ``func`` default is `plot_main`)."""
    p = subparsers.add_parser(
        "plot",
        help="time series and periodograms of a results table",
        description=(
            "Plot the velocity and activity indicators of a results table "
            "(quasmir measure -o, CSV or rdb) against time, with their "
            "Lomb-Scargle periodograms and false-alarm levels."
        ),
    )
    p.add_argument("results", metavar="RESULTS")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="the figure (default: RESULTS with .png or .pdf)")
    p.add_argument("--format", choices=("png", "pdf"), default=None,
                   help="figure format (default: from the -o name, else "
                   "png)")
    p.add_argument("--min-period", type=float, default=None, metavar="DAYS")
    p.add_argument("--max-period", type=float, default=None, metavar="DAYS")
    p.add_argument("--debug", action="store_true",
                   default=argparse.SUPPRESS,
                   help="show tracebacks of errors")
    p.set_defaults(func=plot_main)
    return p


def plot_main(args: argparse.Namespace) -> int:
    """Run ``quasmir plot`` with parsed `args`; returns the exit status."""
    import sys

    fmt = args.format
    output = args.output
    if fmt is None:
        ext = os.path.splitext(output or "")[1].lower().lstrip(".")
        fmt = ext if ext in ("png", "pdf") else "png"
    if output is None:
        output = os.path.splitext(args.results)[0] + "." + fmt
    table = read_results(args.results)
    pgrams = periodograms(
        table, min_period=args.min_period, max_period=args.max_period
    )
    plot_results(
        table, output, format=fmt, title=os.path.basename(args.results),
        min_period=args.min_period, max_period=args.max_period,
    )
    if not getattr(args, "quiet", False):
        for pg in pgrams.values():
            print(
                f"{pg.name}: highest peak at {pg.best_period:.4f} d, "
                f"power {pg.best_power:.3f}, FAP {pg.fap:.2g}"
            )
        print(f"wrote {output}", file=sys.stderr)
    return 0
