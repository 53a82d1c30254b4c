"""Nothing lost: atomic writes, tables that read back exactly, --resume,
and runs interrupted (SIGINT) or killed (SIGKILL) half-way."""

import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from astropy.io import fits
from astropy.table import Table

from commands import quasmir_command
from quasmir_tool import InputError
from quasmir_tool.cli import main
from quasmir_tool.output import (
    ResultTables,
    read_line_table,
    read_table,
    remove_stale_temporaries,
    write_atomic,
    write_table,
)
from quasmir_tool.plotting import plot_results
from quasmir_tool.run import measure_files
from quasmir_tool.synthetic import make_star, observe

N_SPECTRA = 8


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    root = tmp_path_factory.mktemp("data")
    master, lines = make_star(seed=7, wave_range=(5000.0, 5025.0))
    Table({"wave": master.wave, "flux": master.flux}).write(
        root / "master.fits"
    )
    Table(
        {"centre": lines.centre, "start": lines.start, "end": lines.end}
    ).write(root / "lines.csv", format="ascii.csv")
    rng = np.random.default_rng(11)
    files = []
    for i in range(N_SPECTRA):
        spectrum = observe(master, 3.0 * i, 1000.0 * i, 150.0, rng)
        header = fits.Header({"BJD": 2460000.0 + i})
        path = root / f"s{i}.fits"
        fits.HDUList(
            [
                fits.PrimaryHDU(header=header),
                fits.BinTableHDU(
                    Table(
                        {
                            "wave": spectrum.wave,
                            "flux": spectrum.flux,
                            "err": spectrum.flux_err,
                        }
                    )
                ),
            ]
        ).writeto(path)
        files.append(str(path))
    return root, files


def command(dataset, files, out, per_line):
    root, _ = dataset
    return [
        "measure",
        *files,
        "--master",
        str(root / "master.fits"),
        "--lines",
        str(root / "lines.csv"),
        "-o",
        str(out),
        "--per-line",
        str(per_line),
        "--quiet",
    ]


@pytest.fixture(scope="module")
def reference(dataset, tmp_path_factory):
    """The tables of one uninterrupted run over every spectrum."""
    tmp = tmp_path_factory.mktemp("reference")
    out, per_line = tmp / "rv.csv", tmp / "lines.csv"
    assert main(command(dataset, dataset[1], out, per_line)) == 0
    return out.read_text(), per_line.read_text()


# ---------------------------------------------------------------------------
# Atomic writing


@pytest.mark.parametrize("failure", [OSError, KeyboardInterrupt])
def test_failed_write_keeps_the_old_file(tmp_path, failure):
    path = tmp_path / "rv.csv"
    path.write_text("old complete table\n")

    def write(tmp):
        with open(tmp, "w") as f:
            f.write("half a tab")
        raise failure()

    with pytest.raises(failure):
        write_atomic(path, write)
    assert path.read_text() == "old complete table\n"
    assert os.listdir(tmp_path) == ["rv.csv"]


def test_write_replaces_in_one_step(tmp_path):
    path = tmp_path / "rv.csv"
    path.write_text("old\n")
    seen = []

    def write(tmp):
        with open(tmp, "w") as f:
            f.write("new\n")
        seen.append(path.read_text())  # the target is untouched so far

    write_atomic(path, write)
    assert seen == ["old\n"] and path.read_text() == "new\n"
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~_umask()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_stale_temporaries_removed(tmp_path):
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    stale = tmp_path / f".rv.csv.{dead.pid}.abcd1234.tmp"
    mine = tmp_path / f".rv.csv.{os.getpid()}.abcd1234.tmp"
    other = tmp_path / f".other.csv.{dead.pid}.abcd1234.tmp"
    for p in (stale, mine, other):
        p.write_text("x")
    assert remove_stale_temporaries(tmp_path / "rv.csv") == [str(stale)]
    assert mine.exists() and other.exists() and not stale.exists()


# ---------------------------------------------------------------------------
# Tables read back exactly


ROWS = [
    {
        "file": "a b,c.fits",
        "time": 2460000.123456789,
        "rjd": 60000.123456789,
        "rv": -1.0000000000000002,
        "rv_err": 0.1,
        "dlw": -1234.5678901234567,
        "dlw_err": 12.0,
        "crx": 3.25,
        "crx_err": 0.7,
        "n_used": 10,
        "n_dropped": 0,
        "outlier_fraction": 0.0,
        "chi2_red": math.nan,
        "berv": 1e-300,
        "err_source": "snr",
        "flag": "",
        "profile": "",
        "frame": "observer",
    },
    {
        "file": "b.fits",
        "time": None,
        "rjd": math.nan,
        "rv": 1e20,
        "rv_err": math.inf,
        "dlw": math.nan,
        "dlw_err": math.nan,
        "crx": -math.inf,
        "crx_err": math.nan,
        "n_used": 0,
        "n_dropped": 3,
        "outlier_fraction": 1.0,
        "chi2_red": 2.5,
        "berv": -30000.0,
        "err_source": "file",
        "flag": "outliers,chi2",
        "profile": "HARPS-s1d",
        "frame": "barycentric",
    },
]


@pytest.mark.parametrize("name", ["rv.csv", "rv.rdb"])
def test_tables_read_back_exactly(tmp_path, name):
    path = tmp_path / name
    write_table(path, ROWS)
    back = read_table(path)
    columns = (
        ("rjd", "rv", "rv_err")
        if name.endswith(".rdb")
        else ("time", "rv", "rv_err")
    )
    for row, original in zip(back, ROWS):
        for key in set(row) - {"rjd", "time"}:
            assert _same(row[key], original[key]), key
        assert _same(row[columns[0]], original[columns[0]])
    write_table(tmp_path / ("again" + name[2:]), back)
    assert (tmp_path / ("again" + name[2:])).read_text() == path.read_text()


@pytest.mark.parametrize("name", ["rv.csv", "rv.rdb"])
def test_numpy_numbers_written_as_plain_numbers(tmp_path, name):
    # numpy scalars (what measurements and FITS headers give) print as
    # np.float64(...) with repr; the table must hold plain numbers that
    # read back to the same values.
    row = {
        key: (np.float64(v) if isinstance(v, float)
              else np.int64(v) if isinstance(v, int) else v)
        for key, v in ROWS[0].items()
    }
    path = tmp_path / name
    write_table(path, [row])
    assert "np." not in path.read_text()
    (back,) = read_table(path)
    for key in set(back) - {"rjd", "time"}:
        assert _same(back[key], ROWS[0][key]), key
        assert type(back[key]) in (int, float, str), key


def test_result_row_holds_plain_numbers():
    from quasmir_tool.measuring import Result
    from quasmir_tool.output import result_row

    result = Result(
        rv=np.float64(1.5), rv_err=np.float64(0.25), lines=None,
        n_used=np.int64(7), n_dropped=np.int64(1),
        outlier_fraction=np.float64(0.0), chi2_red=np.float64(1.1),
        time=np.float64(2460000.5), berv=np.float64(-3.0), path="x.fits",
    )
    row = result_row(result, "BJD")
    text = ("file", "err_source", "flag", "profile", "frame")
    numbers = {k: v for k, v in row.items() if k not in text}
    assert row["time"] == 2460000.5 and row["rjd"] == 60000.5
    assert all(type(v) in (int, float) for v in numbers.values()), row
    assert math.isnan(row["dlw"]) and math.isnan(row["crx"])


def _same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return a == b


@pytest.mark.parametrize(
    "text, message",
    [
        ("a,b,c\n1,2,3\n", "not a results table"),
        (None, "line 2 has 3 fields"),
        (None, "could not convert"),
    ],
)
def test_foreign_tables_refused(tmp_path, text, message):
    path = tmp_path / "rv.csv"
    write_table(path, ROWS[:1])
    header = path.read_text().splitlines()[0]
    if message.startswith("line"):
        text = header + "\nx,1,2\n"
    elif message.startswith("could"):
        fields = ["zz"] * header.count(",")
        text = header + "\nx," + ",".join(fields) + "\n"
    path.write_text(text)
    with pytest.raises(InputError, match=f"read_table: .*{message}"):
        ResultTables(["x"], str(path), resume=True)


# ---------------------------------------------------------------------------
# Resume, interruption, kill


def test_resume_skips_measured_spectra(dataset, reference, tmp_path, capsys):
    files = dataset[1]
    out, per_line = tmp_path / "rv.csv", tmp_path / "lines.csv"
    assert main(command(dataset, files[:3], out, per_line)) == 0
    capsys.readouterr()
    args = command(dataset, files, out, per_line)
    args.remove("--quiet")
    assert main(args + ["--resume"]) == 0
    err = capsys.readouterr().err
    assert err.splitlines()[-1] == (
        f"quasmir: measured {N_SPECTRA - 3}, failed 0, 3 already in {out}"
    )
    assert (out.read_text(), per_line.read_text()) == reference


def test_resume_keeps_rows_of_other_files(dataset, tmp_path):
    files = dataset[1]
    out, per_line = tmp_path / "rv.csv", tmp_path / "lines.csv"
    assert main(command(dataset, files[:2], out, per_line)) == 0
    assert (
        main(command(dataset, files[1:3], out, per_line) + ["--resume"]) == 0
    )
    assert [r["file"] for r in read_table(out)] == [
        files[1],
        files[2],
        files[0],
    ]
    assert set(read_line_table(per_line)["file"]) == set(files[:3])


def test_resume_with_a_fits_per_line_table(dataset, tmp_path):
    files = dataset[1][:4]
    full, part = tmp_path / "full", tmp_path / "part"
    full.mkdir()
    part.mkdir()
    assert main(command(dataset, files, full / "rv.csv", full / "l.fits")) == 0
    assert (
        main(command(dataset, files[1:3], part / "rv.csv", part / "l.fits"))
        == 0
    )
    assert (
        main(
            command(dataset, files, part / "rv.csv", part / "l.fits")
            + ["--resume"]
        )
        == 0
    )
    assert (part / "rv.csv").read_text() == (full / "rv.csv").read_text()
    a, b = Table.read(full / "l.fits"), Table.read(part / "l.fits")
    assert a.colnames == b.colnames and len(a) == len(b)
    for name in a.colnames:
        assert a[name].dtype.kind == b[name].dtype.kind
        np.testing.assert_array_equal(a[name], b[name])


def _start(dataset, out, per_line, jobs=1):
    args = command(dataset, dataset[1], out, per_line) + ["-j", str(jobs)]
    return subprocess.Popen(
        [*quasmir_command(), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def _wait_for_rows(proc, out, timeout=120.0):
    """Poll until the run has written at least one row."""
    end = time.monotonic() + timeout
    while time.monotonic() < end and proc.poll() is None:
        if out.exists() and len(read_table(out)) >= 1:
            return
        time.sleep(0.01)
    pytest.fail("the run wrote no row")


def _check_consistent(out, per_line):
    """Complete, readable tables; every row's lines are on disk."""
    rows = read_table(out)
    lines = read_line_table(per_line)
    assert {r["file"] for r in rows} <= set(lines["file"])
    leftovers = [n for n in os.listdir(out.parent) if n.endswith(".tmp")]
    return rows, leftovers


@pytest.mark.parametrize(
    "how, jobs",
    [("SIGKILL", 1), ("SIGINT", 1), ("SIGTERM", 1), ("SIGINT", 2)],
)
def test_interrupted_run_resumes_to_the_same_table(
    dataset, reference, tmp_path, how, jobs
):
    out, per_line = tmp_path / "rv.csv", tmp_path / "lines.csv"
    proc = _start(dataset, out, per_line, jobs)
    _wait_for_rows(proc, out)
    proc.send_signal(getattr(signal, how))
    _, err = proc.communicate(timeout=120)
    rows, leftovers = _check_consistent(out, per_line)
    assert 1 <= len(rows) < N_SPECTRA
    if how == "SIGKILL":
        assert proc.returncode == -signal.SIGKILL
    else:
        assert proc.returncode == 130
        assert leftovers == []
        last = err.splitlines()[-1]
        assert "not measured (interrupted; run again with --resume" in last
        assert "Traceback" not in err
    assert (
        main(command(dataset, dataset[1], out, per_line) + ["--resume"]) == 0
    )
    assert (out.read_text(), per_line.read_text()) == reference
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda p: list(measure_files([], None, jobs=0)),
            "measure_files: jobs must be a positive integer, not 0",
        ),
        (
            lambda p: plot_results(p / "x.pdf", []),
            "plot_results: path .*x.pdf",
        ),
        (
            lambda p: read_table(p / "none.csv"),
            "read_table: .*none.csv: cannot read",
        ),
        (
            lambda p: read_line_table(p / "none.fits"),
            "read_line_table: .*none.fits",
        ),
    ],
    ids=["measure_files", "plot_results", "read_table", "read_line_table"],
)
def test_api_errors_name_the_function(tmp_path, call, message):
    with pytest.raises(InputError, match=message):
        call(tmp_path)
