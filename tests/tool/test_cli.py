"""The quasmir command end to end, on files these tests write: velocities
of synthetic spectra against the truth, every kind of bad input as one
line without a traceback, a bad file among good ones, threads, rdb."""

import subprocess

import numpy as np
import pytest
from astropy.io import fits
from astropy.table import Table

from commands import quasmir_command
from quasmir_tool.cli import main
from quasmir_tool.output import read_table
from quasmir_tool.synthetic import make_star, observe
from quasmir_tool.timeseries import series

RANGE = (5000.0, 5025.0)  # short spectra keep the suite fast
BJD0 = 2460000.0


def write_observation(path, spectrum, bjd, berv):
    header = fits.Header()
    header["BJD"] = bjd
    header["BERV"] = berv / 1000.0  # km/s
    table = Table(
        {
            "wave": spectrum.wave,
            "flux": spectrum.flux,
            "err": spectrum.flux_err,
        }
    )
    fits.HDUList(
        [fits.PrimaryHDU(header=header), fits.BinTableHDU(table)]
    ).writeto(path)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """A master, its line list and four observations with known
    velocities and BERVs."""
    root = tmp_path_factory.mktemp("data")
    master, lines = make_star(seed=3, wave_range=RANGE)
    Table({"wavelength": master.wave, "flux": master.flux}).write(
        root / "master.fits"
    )
    Table(
        {"start": lines.start, "end": lines.end, "weight": lines.weight}
    ).write(root / "lines.csv", format="ascii.csv")
    rng = np.random.default_rng(5)
    truth = {}
    for i, (rv, berv) in enumerate(
        [(0.0, -20000.0), (30.0, 5000.0), (-25.0, 25000.0), (10.0, 0.0)]
    ):
        path = root / f"obs{i}.fits"
        spectrum = observe(master, rv, berv, 200.0, rng)
        write_observation(path, spectrum, BJD0 + i, berv)
        truth[str(path)] = rv
    return {"root": root, "truth": truth, "master": master}


def run_cli(*args, cwd=None):
    """The installed console script, as a user runs it."""
    return subprocess.run(
        [*quasmir_command(), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
    )


class Run:
    """What a run of `main` gave: exit status and output."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr


def run_main(capsys, *args):
    """The command in this process (faster than a new interpreter)."""
    capsys.readouterr()
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return Run(code, out, err)


def base(dataset, *files):
    root = dataset["root"]
    files = files or sorted(dataset["truth"])
    return [
        "measure",
        *files,
        "--master",
        str(root / "master.fits"),
        "--lines",
        str(root / "lines.csv"),
        "--berv-key",
        "BERV",
    ]


def test_measure_recovers_the_velocities(dataset, tmp_path):
    out = tmp_path / "rv.csv"
    per_line = tmp_path / "lines.fits"
    plot = tmp_path / "rv.png"
    run = run_cli(
        *base(dataset),
        "-o",
        out,
        "--per-line",
        per_line,
        "--plot",
        plot,
        "--quiet",
    )
    assert run.returncode == 0, run.stderr
    assert run.stderr == "" and run.stdout == ""
    rows = read_table(out)
    assert [r["file"] for r in rows] == sorted(dataset["truth"])
    for row in rows:
        true = dataset["truth"][row["file"]]
        assert abs(row["rv"] - true) < 4.0 * row["rv_err"]
        assert 0.5 < row["rv_err"] < 20.0
        assert row["err_source"] == "file" and row["n_used"] > 20
    assert [r["time"] for r in rows] == [BJD0 + i for i in range(4)]
    assert [r["berv"] for r in rows] == pytest.approx(
        [-20000.0, 5000.0, 25000.0, 0.0]
    )
    lines = Table.read(per_line)
    assert set(lines["file"]) == set(dataset["truth"])
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_table_on_stdout_without_output(dataset, capsys):
    files = sorted(dataset["truth"])[:1]
    run = run_main(capsys, *base(dataset, *files))
    assert run.returncode == 0, run.stderr
    header, row = run.stdout.splitlines()
    assert header.startswith("file,time,rv,rv_err,n_used,n_dropped")
    assert row.startswith(files[0] + ",")


def _junk(p):
    p.write_bytes(bytes(range(256)) * 4)


def _columns(p):
    np.savetxt(
        p,
        np.c_[np.arange(5000.0, 5010.0), np.ones(10), np.ones(10)],
        delimiter=",",
        header="x,flux,err",
        comments="",
    )


def _descending(p):
    np.savetxt(
        p, np.c_[np.arange(5010.0, 5000.0, -1.0), np.ones(10), np.ones(10)]
    )


def _nan_wave(p):
    wave = np.linspace(5001.0, 5010.0, 100)
    wave[40] = np.inf
    np.savetxt(p, np.c_[wave, np.ones(100), np.ones(100)])


def _outside(p, dataset):
    spectrum = observe(
        dataset["master"], 0.0, 0.0, 100.0, np.random.default_rng(0)
    )
    spectrum.wave = spectrum.wave + 500.0
    write_observation(p, spectrum, BJD0, 0.0)


SPECTRUM_ERRORS = {
    "missing file": (None, "no such file"),
    "unreadable format": (_junk, "unreadable format"),
    "missing columns": (_columns, r"no wavelength column \(found: x, flux"),
    "non-ascending": (_descending, "wavelengths not ascending at pixel 1"),
    "non-finite": (_nan_wave, "1 non-finite wavelength"),
    "outside the master": (_outside, "outside the master"),
}


@pytest.mark.parametrize("case", list(SPECTRUM_ERRORS))
def test_bad_spectrum(dataset, tmp_path, capsys, case):
    make, message = SPECTRUM_ERRORS[case]
    path = tmp_path / ("bad.fits" if make is _outside else "bad.txt")
    if make is _outside:
        make(path, dataset)
    elif make is not None:
        make(path)
    run = run_main(capsys, *base(dataset, path))
    assert run.returncode == 1
    lines = run.stderr.splitlines()
    assert len(lines) == 1, run.stderr
    assert lines[0].startswith("quasmir: error: ")
    assert str(path) in lines[0]
    assert message.split("(")[0].split("\\")[0] in lines[0]
    assert "Traceback" not in run.stderr and run.stdout.count("\n") == 1


def _empty_lines(p):
    p.write_text("start,end,weight\n")


@pytest.mark.parametrize(
    "args, message, status",
    [
        (["--bogus"], "unrecognized arguments: --bogus", 2),
        (["--estimator", "fourth"], "invalid choice: 'fourth'", 2),
        (["-j", "0"], "-j must be a positive integer", 2),
        (["--snr", "-3"], "--snr must be a positive number", 2),
        (["--snr", "10", "--photon-noise"], "not allowed with", 2),
        (["--lines", "EMPTY"], "lines.csv", 1),
        (
            ["--master", "nowhere.fits"],
            "--master: read_spectrum: nowhere.fits: no such file",
            1,
        ),
        (["--berv-unit", "parsec"], "'parsec': not a unit of velocity", 1),
        (["--resume"], "--resume needs -o", 1),
        (["-o", "OUTDIR/x.csv"], "does not exist", 1),
        (["--plot", "x.pdf"], "give a .png name", 1),
    ],
    ids=lambda v: v if isinstance(v, int) else None,
)
def test_bad_command_lines(
    dataset, tmp_path, monkeypatch, capsys, args, message, status
):
    empty = tmp_path / "lines.csv"
    _empty_lines(empty)
    args = [
        {"EMPTY": empty, "OUTDIR/x.csv": tmp_path / "no" / "x.csv"}.get(a, a)
        for a in args
    ]
    monkeypatch.chdir(tmp_path)
    run = run_main(capsys, *base(dataset, sorted(dataset["truth"])[0]), *args)
    assert run.returncode == status
    lines = run.stderr.splitlines()
    assert len(lines) == 1, run.stderr
    assert message in lines[0]
    assert "Traceback" not in run.stderr and run.stdout == ""


def test_debug_shows_the_traceback(dataset, tmp_path, capsys):
    run = run_main(
        capsys, *base(dataset, tmp_path / "missing.fits"), "--debug"
    )
    assert run.returncode == 1
    assert "Traceback" in run.stderr and "no such file" in run.stderr


def test_one_bad_file_among_good_ones(dataset, tmp_path, capsys):
    good = sorted(dataset["truth"])[:2]
    bad = tmp_path / "broken.fits"
    bad.write_bytes(b"SIMPLE  =                    T" + b" " * 50)
    out = tmp_path / "rv.csv"
    run = run_main(capsys, *base(dataset, good[0], bad, good[1]), "-o", out)
    assert run.returncode == 1
    errors = [
        line
        for line in run.stderr.splitlines()
        if line.startswith("quasmir: error")
    ]
    assert len(errors) == 1 and str(bad) in errors[0]
    assert run.stderr.rstrip().endswith("quasmir: measured 2, failed 1")
    assert "Traceback" not in run.stderr
    assert [r["file"] for r in read_table(out)] == good


def test_threads_give_the_same_tables(dataset, tmp_path):
    tables = {}
    for jobs in (1, 2):
        out = tmp_path / f"rv{jobs}.csv"
        per_line = tmp_path / f"lines{jobs}.csv"
        assert (
            main(
                base(dataset)
                + [
                    "-j",
                    str(jobs),
                    "-o",
                    str(out),
                    "--per-line",
                    str(per_line),
                    "--quiet",
                ]
            )
            == 0
        )
        tables[jobs] = (out.read_text(), per_line.read_text())
    assert tables[1] == tables[2]


def test_rdb(dataset, tmp_path):
    files = sorted(dataset["truth"])[:2]
    csv, rdb = tmp_path / "rv.csv", tmp_path / "rv.rdb"
    assert main(base(dataset, *files) + ["-o", str(csv), "--quiet"]) == 0
    assert main(base(dataset, *files) + ["-o", str(rdb), "--quiet"]) == 0
    lines = rdb.read_text().splitlines()
    names = lines[0].split("\t")
    assert names[:3] == ["rjd", "vrad", "svrad"]
    assert lines[1].split("\t") == ["-" * len(n) for n in names]
    assert len(lines) == 4
    for line, row in zip(lines[2:], read_table(csv)):
        fields = dict(zip(names, line.split("\t")))
        assert float(fields["rjd"]) == row["time"] - 2400000.0
        assert float(fields["vrad"]) == row["rv"]  # m/s
        assert float(fields["svrad"]) == row["rv_err"]
        assert fields["file"] == row["file"]


@pytest.mark.parametrize("estimator", ["first", "offset", "second"])
def test_activity_indicator_columns(dataset, tmp_path, estimator):
    # dlw needs the second-order fit; crx comes from any line velocities.
    files = sorted(dataset["truth"])[:2]
    csv, rdb = tmp_path / "rv.csv", tmp_path / "rv.rdb"
    per_line = tmp_path / "lines.csv"
    options = ["--estimator", estimator, "--quiet"]
    assert main(base(dataset, *files) + options
                + ["-o", str(csv), "--per-line", str(per_line)]) == 0
    assert main(base(dataset, *files) + options + ["-o", str(rdb)]) == 0
    rows = read_table(csv)
    rdb_rows = read_table(rdb)
    with_dlw = estimator == "second"
    for row, rdb_row in zip(rows, rdb_rows):
        for name in ("crx", "crx_err") + (("dlw", "dlw_err") * with_dlw):
            assert np.isfinite(row[name]), name
            assert rdb_row[name] == row[name], name
        assert row["crx_err"] > 0
        if with_dlw:
            # Master and spectra have the same lines: no broadening
            # beyond a few errors.
            assert row["dlw_err"] > 0
            assert abs(row["dlw"]) < 5.0 * row["dlw_err"]
        else:
            assert np.isnan(row["dlw"]) and np.isnan(row["dlw_err"])
    names = rdb.read_text().splitlines()[0].split("\t")
    assert names[3:7] == ["dlw", "sdlw", "crx", "scrx"]
    lines = Table.read(per_line, format="ascii.csv")
    for name in ("dlw", "dlw_err", "x", "crx_residual"):
        assert name in lines.colnames
    used = np.asarray(lines["used"]).astype(str) == "True"
    assert np.isfinite(lines["crx_residual"][used]).all()
    assert np.isfinite(lines["dlw"][used]).all() == with_dlw
    # quasmir plot finds the series by name in both tables.
    expected = {"rv", "crx"} | ({"dlw"} if with_dlw else set())
    for table in (csv, rdb):
        time, found = series(table)
        assert set(found) == expected and np.isfinite(time).all()
        assert found["crx"][1].tolist() == [r["crx_err"] for r in rows]
    # A resumed run reads these tables back and keeps them as they were.
    before = csv.read_text(), per_line.read_text()
    assert main(base(dataset, *files) + options
                + ["-o", str(csv), "--per-line", str(per_line),
                   "--resume"]) == 0
    assert (csv.read_text(), per_line.read_text()) == before


def test_measure_on_a_dask_scheduler(dataset, tmp_path):
    distributed = pytest.importorskip("distributed")
    files = sorted(dataset["truth"])[:2]
    serial, spread = tmp_path / "serial.csv", tmp_path / "spread.csv"
    assert main(base(dataset, *files) + ["-o", str(serial), "--quiet"]) == 0
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, dashboard_address=":0"
    ) as cluster:
        assert main(base(dataset, *files) + [
            "-o", str(spread), "--scheduler", cluster.scheduler_address,
            "--quiet"]) == 0
    assert spread.read_text() == serial.read_text()


def test_unreachable_dask_scheduler(dataset, tmp_path, capsys):
    pytest.importorskip("distributed")
    files = sorted(dataset["truth"])[:1]
    run = run_main(capsys, *base(dataset, *files),
                   "--scheduler", str(tmp_path / "no-such-scheduler"))
    assert run.returncode == 1
    assert run.stderr.startswith("quasmir: error: --scheduler")
    assert "cannot connect" in run.stderr and "Traceback" not in run.stderr


def test_example_command(tmp_path, capsys):
    from quasmir_tool.example import run_example

    status = run_example(
        str(tmp_path / "ex"), quiet=True, n_obs=6, wave_range=(5000.0, 5030.0)
    )
    out = capsys.readouterr().out
    assert status == 0
    table = [line for line in out.splitlines() if line.startswith("obs")]
    assert len(table) == 6
    for line in table:
        rv, err, injected, deviation = map(float, line.split()[2:6])
        assert deviation == pytest.approx((rv - injected) / err, abs=0.02)
        assert abs(deviation) < 5.0
    assert "semi-amplitude at P = 4.3 d: fitted" in out
    assert (tmp_path / "ex" / "results.png").stat().st_size > 10000


def _split_orders(spectrum):
    """Two overlapping 'orders' of one spectrum (orders x pixels)."""
    n = spectrum.wave.size
    half = n // 2
    width = min(half + 200, n - half + 100)
    first = slice(0, width)
    second = slice(n - width, n)
    return [
        np.stack(
            [getattr(spectrum, name)[first], getattr(spectrum, name)[second]]
        )
        for name in ("wave", "flux", "flux_err")
    ]


def write_format(kind, path, spectrum, berv):
    """One observation in one of the formats the readers know."""
    header = {"BJD": BJD0, "BERV": berv / 1000.0}
    w, f, e = spectrum.wave, spectrum.flux, spectrum.flux_err
    if kind == "csv":
        with open(path, "w") as out:
            out.write("".join(f"# {k} = {v!r}\n" for k, v in header.items()))
            np.savetxt(
                out,
                np.c_[w, f, e],
                delimiter=",",
                header="Wavelength,Flux,Flux_Err",
                comments="",
            )
    elif kind == "text-snr":  # no errors in the file: --snr
        with open(path, "w") as out:
            out.write("".join(f"# {k} = {v!r}\n" for k, v in header.items()))
            np.savetxt(out, np.c_[w, f])
    elif kind == "npz":
        with open(path, "wb") as out:
            np.savez(out, wave=w, flux=f, sigma=e, **header)
    elif kind == "fits-image":  # log-linear solution, CTYPE1 WAVE-LOG
        step = np.log(w[-1] / w[0]) / (w.size - 1)
        h = fits.Header(header)
        h.update(
            CTYPE1="WAVE-LOG", CRPIX1=1.0, CRVAL1=w[0], CDELT1=step * w[0]
        )
        fits.HDUList(
            [fits.PrimaryHDU(f, header=h), fits.ImageHDU(e, name="ERR")]
        ).writeto(path)
    elif kind == "echelle":
        wave, flux, err = _split_orders(spectrum)
        fits.HDUList(
            [
                fits.PrimaryHDU(flux, header=fits.Header(header)),
                fits.ImageHDU(wave, name="WAVE"),
                fits.ImageHDU(err, name="ERR"),
            ]
        ).writeto(path)
    else:
        raise AssertionError(kind)


@pytest.mark.parametrize(
    "kind", ["csv", "text-snr", "npz", "fits-image", "echelle"]
)
def test_every_format_measured(dataset, tmp_path, capsys, kind):
    rv, berv = 20.0, -15000.0
    spectrum = observe(
        dataset["master"], rv, berv, 200.0, np.random.default_rng(21)
    )
    path = tmp_path / f"obs.{kind}"
    write_format(kind, path, spectrum, berv)
    options = ["--snr", "200"] if kind == "text-snr" else []
    if kind == "echelle":  # the figure finds the line in its order
        options += ["--plot", str(tmp_path / "rv.png")]
    out = tmp_path / "rv.csv"
    run = run_main(capsys, *base(dataset, path), "-o", out, *options)
    assert run.returncode == 0, run.stderr
    (row,) = read_table(out)
    assert row["time"] == BJD0 and row["berv"] == pytest.approx(berv)
    assert abs(row["rv"] - rv) < 4.0 * row["rv_err"]
    assert row["err_source"] == ("snr" if kind == "text-snr" else "file")
