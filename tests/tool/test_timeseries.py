"""Periodograms of the results and the figure of ``quasmir plot``."""

import numpy as np
import pytest
from astropy.table import Table

from quasmir_tool.cli import main
from quasmir_tool.errors import InputError
from quasmir_tool.output import write_table
from quasmir_tool.timeseries import (
    FAP_LEVELS,
    periodogram,
    periodograms,
    plot_results,
)

BJD0 = 2460000.0


def example_series(seed, period, k=10.0, sigma=1.0, n=20):
    """Velocities like the example's: n nights over 30 days."""
    rng = np.random.default_rng(seed)
    time = BJD0 + np.sort(rng.uniform(0.0, 30.0, n))
    rv = k * np.sin(2 * np.pi * time / period + rng.uniform(0, 6.3))
    return time, rv + rng.normal(0.0, sigma, n), np.full(n, sigma)


def rows(time, rv, rv_err, **extra):
    out = []
    for i in range(time.size):
        row = {
            "file": f"obs{i}.fits", "time": float(time[i]),
            "rjd": float(time[i] - 2400000.0), "rv": float(rv[i]),
            "rv_err": float(rv_err[i]), "n_used": 900, "n_dropped": 3,
            "outlier_fraction": 0.01, "chi2_red": 1.0, "berv": 0.0,
            "err_source": "file",
        }
        row.update({k: float(v[i]) for k, v in extra.items()})
        out.append(row)
    return out


@pytest.mark.parametrize("seed, period", [(1, 3.7), (2, 2.6), (3, 5.9)])
def test_injected_period_is_the_highest_peak(seed, period):
    pg = periodogram(*example_series(seed, period))
    assert pg.best_period == pytest.approx(period, rel=0.03)
    assert pg.fap < 1e-6
    assert pg.best_power > max(pg.levels.values())
    # Higher confidence needs more power.
    levels = [pg.levels[p] for p in FAP_LEVELS]
    assert levels == sorted(levels)


def test_noise_alone_is_not_significant():
    time, _, err = example_series(4, 3.0)
    rng = np.random.default_rng(40)
    pg = periodogram(time, rng.normal(0.0, 1.0, time.size), err)
    assert pg.fap > 0.01
    assert pg.best_power < pg.levels[0.01]


def test_period_range_and_bad_points():
    time, rv, err = example_series(5, 3.7)
    err[3] = 0.0
    rv[4] = np.nan
    pg = periodogram(time, rv, err, min_period=2.0, max_period=10.0)
    assert pg.n_points == time.size - 2
    assert pg.period.min() >= 2.0 - 1e-9 and pg.period.max() <= 10.0 + 1e-9
    assert np.all(np.diff(pg.period) > 0)


@pytest.mark.parametrize(
    "time, value, message",
    [
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], "3 usable point"),
        ([1.0, 1.0, 1.0, 1.0], [1.0, 2.0, 3.0, 4.0], "one time"),
    ],
)
def test_periodogram_refuses_too_little(time, value, message):
    with pytest.raises(InputError, match=message):
        periodogram(np.array(time), np.array(value))


@pytest.mark.parametrize("name", ["results.csv", "results.rdb"])
def test_tables_written_by_measure_are_read(tmp_path, name):
    time, rv, err = example_series(6, 4.4)
    path = tmp_path / name
    write_table(path, rows(time, rv, err))
    pgrams = periodograms(path)
    assert list(pgrams) == ["rv"]
    assert pgrams["rv"].best_period == pytest.approx(4.4, rel=0.03)


def test_indicator_series(tmp_path):
    time, rv, err = example_series(7, 3.1)
    rng = np.random.default_rng(70)
    # Activity: the line width follows a rotation period of its own.
    dlw = 5000.0 * np.sin(2 * np.pi * time / 11.0) + rng.normal(
        0, 300.0, time.size
    )
    table = Table({"time": time, "rv": rv, "rv_err": err, "dlw": dlw,
                   "dlw_err": np.full(time.size, 300.0),
                   "crx": rng.normal(0, 5.0, time.size),
                   "crx_err": np.full(time.size, 5.0)})
    pgrams = periodograms(table)
    assert list(pgrams) == ["rv", "dlw", "crx"]
    assert pgrams["rv"].best_period == pytest.approx(3.1, rel=0.03)
    assert pgrams["dlw"].best_period == pytest.approx(11.0, rel=0.1)


@pytest.mark.parametrize("fmt, magic", [("png", b"\x89PNG"),
                                        ("pdf", b"%PDF")])
def test_figure_files(tmp_path, fmt, magic):
    time, rv, err = example_series(8, 3.7)
    path = tmp_path / f"fig.{fmt}"
    table = {"time": time, "rv": rv, "rv_err": err,
             "crx": rv * 0.1, "crx_err": err}
    assert plot_results(table, path, format=fmt) == str(path)
    assert path.read_bytes()[:4] == magic


def test_plot_command(tmp_path, capsys):
    time, rv, err = example_series(9, 3.7)
    results = tmp_path / "results.csv"
    write_table(results, rows(time, rv, err))
    assert main(["plot", str(results)]) == 0
    assert (tmp_path / "results.png").read_bytes()[:4] == b"\x89PNG"
    out = capsys.readouterr().out
    assert "rv: highest peak at 3.7" in out
    pdf = tmp_path / "fig.pdf"
    assert main(["plot", str(results), "-o", str(pdf)]) == 0
    assert pdf.read_bytes()[:4] == b"%PDF"
    other = tmp_path / "fig.png"
    assert main(["plot", str(results), "-o", str(other), "--format",
                 "pdf"]) == 0
    assert other.read_bytes()[:4] == b"%PDF"


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "no such file"),
        ("file,rv,rv_err\na,1.0,1.0\n", "time"),
        ("file,time,rv_err\na,1.0,1.0\n", "rv"),
    ],
    ids=["missing file", "no time", "no velocity"],
)
def test_plot_command_errors(tmp_path, capsys, content, message):
    path = tmp_path / "results.csv"
    if content is not None:
        path.write_text(content)
    assert main(["plot", str(path)]) != 0
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1
