"""Measure and template on a Dask cluster of two worker processes give
the serial results bit for bit."""

import builtins
import json

import numpy as np
import pytest
from astropy.io import fits

from quasmir_tool import read_spectrum
from quasmir_tool.errors import InputError
from quasmir_tool.run import measure_files as serial_measure_files
from quasmir_tool.synthetic import make_star, observe
from quasmir_tool.template import make_template

distributed = pytest.importorskip("distributed")

from quasmir_tool.scaleout import (  # noqa: E402
    dask_client,
    measure_files,
    template_many,
)

RANGE = (5000.0, 5020.0)


def write_fits(path, spectrum):
    header = fits.Header()
    header["BERV"] = spectrum.berv / 1000.0
    header["MJD-OBS"] = spectrum.time
    columns = [
        fits.Column(name=name, array=values, format="D")
        for name, values in (("wavelength", spectrum.wave),
                             ("flux", spectrum.flux),
                             ("error", spectrum.flux_err))
    ]
    fits.HDUList([fits.PrimaryHDU(header=header),
                  fits.BinTableHDU.from_columns(columns)]).writeto(path)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("archive")
    star, _ = make_star(seed=31, wave_range=RANGE)
    rng = np.random.default_rng(32)
    paths = []
    for i in range(5):
        spectrum = observe(star, rng.normal(0.0, 20.0),
                           rng.uniform(-30000.0, 30000.0), 120.0, rng,
                           time=60000.0 + i)
        path = root / f"obs{i}.fits"
        write_fits(path, spectrum)
        paths.append(str(path))
    # A file that cannot be read: reported, the others still measured.
    (root / "broken.fits").write_bytes(b"SIMPLE  =  broken")
    paths.insert(2, str(root / "broken.fits"))
    return paths


@pytest.fixture(scope="module")
def client():
    with dask_client(n_workers=2) as client:
        yield client


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and (
        a.tobytes() == b.tobytes()
    )


def test_template_on_the_cluster_is_the_serial_one(files, client):
    good = [p for p in files if "broken" not in p]
    options = dict(iterations=2, chunk_size=2,
                   read_options={"berv_key": "BERV"})
    serial = make_template(good, **options)
    spread = template_many(good, client=client, **options)
    for name in ("wave", "flux", "flux_err", "n_spectra", "rv"):
        assert same_bits(getattr(serial, name), getattr(spread, name)), name
    assert all(same_bits(a, b) for a, b in zip(serial.rv_history,
                                                spread.rv_history))


def test_measure_on_the_cluster_is_the_serial_one(files, client):
    good = [p for p in files if "broken" not in p]
    template = make_template(good, iterations=1,
                             read_options={"berv_key": "BERV"})
    master = template.spectrum()
    options = dict(read_options={"berv_key": "BERV"},
                   measure_options={"estimator": "second"})
    serial = list(serial_measure_files(files, master, **options))
    spread = sorted(measure_files(files, master, client=client, **options),
                    key=lambda o: o.index)
    assert [o.path for o in spread] == files
    for a, b in zip(serial, spread):
        assert a.ok == b.ok and a.error == b.error
        if not a.ok:
            assert "broken" in a.path
            continue
        assert same_bits(a.result.rv, b.result.rv)
        assert same_bits(a.result.rv_err, b.result.rv_err)
        for name in ("rv", "rv_err", "c2_c0", "p_outlier"):
            assert same_bits(a.result.lines[name], b.result.lines[name])


def test_no_files_no_cluster():
    assert list(measure_files([], master=None)) == []


def test_unreachable_scheduler():
    with pytest.raises(InputError, match="cannot connect"):
        with dask_client("tcp://127.0.0.1:9", timeout="1s"):
            pass


def test_missing_dask_says_how_to_get_it(monkeypatch, files):
    real_import = builtins.__import__

    def no_distributed(name, *args, **kwargs):
        if name == "distributed" or name.startswith("distributed."):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_distributed)
    master = read_spectrum(files[0], need_errors=False)
    with pytest.raises(InputError, match=r"quasmir\[dask\]"):
        list(measure_files(files, master))


@pytest.mark.parametrize("how", ["address", "scheduler file"])
def test_template_command_on_a_running_scheduler(files, client, tmp_path,
                                                 how):
    from quasmir_tool.cli import main
    from quasmir_tool.template import read_template

    good = [p for p in files if "broken" not in p]
    out = tmp_path / "master.fits"
    scheduler = client.scheduler.address
    if how == "scheduler file":
        # What ``dask scheduler --scheduler-file`` writes, in short.
        scheduler = str(tmp_path / "scheduler.json")
        with open(scheduler, "w") as f:
            json.dump({"type": "Scheduler",
                       "address": client.scheduler.address}, f)
    assert main(["template", *good, "-o", str(out), "--berv-key", "BERV",
                 "--iterations", "1", "--scheduler", scheduler,
                 "--quiet"]) == 0
    serial = make_template(good, iterations=1,
                           read_options={"berv_key": "BERV"})
    written = read_template(out)
    idx = np.flatnonzero(np.isfinite(serial.flux))
    covered = slice(idx[0], idx[-1] + 1)
    # The file holds the flux as float32.
    assert same_bits(written.flux,
                     serial.flux[covered].astype(np.float32).astype(float))
    assert same_bits(written.rv, serial.rv)
