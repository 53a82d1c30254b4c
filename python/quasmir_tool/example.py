"""``quasmir example``: a synthetic star with a planet, observed 20 times,
written as FITS files and measured by ``quasmir measure``.

The star (`quasmir_tool.synthetic.make_star`) has about two thousand
lines over 5000-5300 angstrom at a resolving power of 100,000, with a
finely sampled master.  Each observation has its own log-uniform pixel
grid (3 pixels per resolution element), a BERV that swings through
+-30 km/s over the 30 days, the reflex motion of a planet (semi-amplitude
10 m/s, period 4.3 days) and photon noise at a continuum signal-to-noise
of 100.  The files are FITS 1-D images with a log-linear wavelength
solution (CTYPE1 = WAVE-LOG), an ERR extension and the time (BJD) and
BERV (km/s) in the header: what a pipeline delivers.  They are then
measured through the command line itself, and the velocities compared
with the injected ones.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass

import numpy as np

from .errors import InputError

__all__ = ["ExampleSet", "fit_semi_amplitude", "make_example", "run_example"]

N_OBS = 20
SPAN = 30.0  # days
PERIOD = 4.3  # days
K_INJECTED = 10.0  # m/s
BERV_AMPLITUDE = 30000.0  # m/s
SNR = 100.0
BJD0 = 2460000.0


@dataclass
class ExampleSet:
    """The files of the example and the truth behind them.

    Attributes
    ----------
    files : list of str
        The observations (FITS), in time order.
    master, lines : str
        The master (FITS table) and the line list (CSV).
    time : numpy.ndarray
        Times (BJD - 2460000, days).
    rv : numpy.ndarray
        Injected barycentric velocities (m/s).
    berv : numpy.ndarray
        BERVs (m/s).
    limit : numpy.ndarray
        Photon-noise limit of each observation (m/s).
    period, k : float
        The planet's period (days) and semi-amplitude (m/s).
    """

    files: list
    master: str
    lines: str
    time: np.ndarray
    rv: np.ndarray
    berv: np.ndarray
    limit: np.ndarray
    period: float
    k: float


def _write_observation(path: str, spectrum, bjd: float, berv: float) -> None:
    """A FITS 1-D image on a log-uniform grid (CTYPE1 WAVE-LOG)."""
    from astropy.io import fits

    from .output import write_atomic

    wave = spectrum.wave
    step = float(np.log(wave[-1] / wave[0]) / (wave.size - 1))
    header = fits.Header()
    header["CTYPE1"] = ("WAVE-LOG", "log-uniform wavelength grid")
    header["CUNIT1"] = "Angstrom"
    header["CRPIX1"] = 1.0
    header["CRVAL1"] = float(wave[0])
    # WAVE-LOG: wave = CRVAL1 * exp(CDELT1 * (p - CRPIX1) / CRVAL1)
    header["CDELT1"] = step * float(wave[0])
    header["BJD"] = (bjd, "barycentric Julian date (days)")
    header["BERV"] = (berv / 1000.0, "barycentric correction (km/s)")
    header["OBJECT"] = "quasmir example star"
    hdus = fits.HDUList(
        [
            fits.PrimaryHDU(spectrum.flux, header=header),
            fits.ImageHDU(spectrum.flux_err, name="ERR"),
        ]
    )
    write_atomic(path, hdus.writeto)


def make_example(
    outdir: str,
    *,
    n_obs: int = N_OBS,
    wave_range: tuple = (5000.0, 5300.0),
    seed: int = 2024,
) -> ExampleSet:
    """Write the example's observations, master and line list.

    Parameters
    ----------
    outdir : str
        Directory for the files (created if needed).
    n_obs : int
        Number of observations (default 20).
    wave_range : (float, float)
        Wavelength range of the star (angstrom).
    seed : int
        Seed of the star, the times and the noise.

    Returns
    -------
    ExampleSet
    """
    from astropy.table import Table

    from .output import write_atomic
    from .synthetic import make_star, observe, photon_noise_limit

    rng = np.random.default_rng(seed)
    master, lines = make_star(seed=seed, wave_range=wave_range)
    time = np.sort(rng.uniform(0.0, SPAN, n_obs))
    phase = rng.uniform(0.0, 2.0 * np.pi)
    rv = K_INJECTED * np.sin(2.0 * np.pi * time / PERIOD + phase)
    berv = BERV_AMPLITUDE * np.cos(2.0 * np.pi * time / SPAN)

    os.makedirs(outdir, exist_ok=True)
    master_path = os.path.join(outdir, "master.fits")
    table = Table({"wavelength": master.wave, "flux": master.flux})
    table["wavelength"].unit = "Angstrom"
    write_atomic(master_path, lambda tmp: table.write(tmp, format="fits"))
    lines_path = os.path.join(outdir, "lines.csv")
    line_table = Table(
        {
            "centre": lines.centre,
            "start": lines.start,
            "end": lines.end,
            "weight": lines.weight,
        }
    )
    write_atomic(
        lines_path,
        lambda tmp: line_table.write(tmp, format="ascii.csv"),
    )

    files, limit = [], np.empty(n_obs)
    for i in range(n_obs):
        spectrum = observe(
            master, rv[i], berv[i], SNR, rng, time=BJD0 + time[i]
        )
        limit[i] = photon_noise_limit(spectrum, master, rv[i])
        path = os.path.join(outdir, f"obs{i + 1:02d}.fits")
        _write_observation(path, spectrum, BJD0 + time[i], berv[i])
        files.append(path)
    return ExampleSet(
        files,
        master_path,
        lines_path,
        time,
        rv,
        berv,
        limit,
        PERIOD,
        K_INJECTED,
    )


def fit_semi_amplitude(
    time: np.ndarray, rv: np.ndarray, err: np.ndarray, period: float
) -> tuple[float, float]:
    """Semi-amplitude (m/s) of a sinusoid of known period, and its error.

    Weighted linear least squares of ``a sin + b cos + c`` at the period;
    ``K = hypot(a, b)``, its error propagated from the covariance of
    ``(a, b)``.

    Parameters
    ----------
    time : numpy.ndarray
        Times (days).
    rv, err : numpy.ndarray
        Velocities and their errors (m/s).
    period : float
        Period (days).

    Returns
    -------
    (float, float)
        K and its 1-sigma error (m/s).
    """
    arg = 2.0 * np.pi * np.asarray(time) / period
    design = np.stack([np.sin(arg), np.cos(arg), np.ones_like(arg)], axis=1)
    w = 1.0 / np.asarray(err) ** 2
    normal = design.T @ (design * w[:, None])
    cov = np.linalg.inv(normal)
    a, b, _ = cov @ (design.T @ (w * np.asarray(rv)))
    k = float(np.hypot(a, b))
    grad = np.array([a, b]) / k
    return k, float(np.sqrt(grad @ cov[:2, :2] @ grad))


def run_example(
    outdir: str | None = None,
    *,
    jobs: int = 1,
    quiet: bool = False,
    n_obs: int = N_OBS,
    wave_range: tuple = (5000.0, 5300.0),
    seed: int = 2024,
) -> int:
    """Make the example's files, measure them with ``quasmir measure`` and
    print the comparison with the truth.

    Parameters
    ----------
    outdir : str, optional
        Directory for the files (default ``./quasmir-example``).
    jobs : int
        Threads of the measurement.
    quiet : bool
        No progress bar.
    n_obs, wave_range, seed
        As for `make_example`.

    Returns
    -------
    int
        The exit status of the measurement.
    """
    from .cli import main
    from .output import read_table

    outdir = os.path.abspath(outdir or "quasmir-example")
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise InputError(f"--outdir {outdir}: is not a directory")
    print(
        f"quasmir example: a synthetic star observed {n_obs} times over "
        f"{SPAN:.0f} days (planet K = {K_INJECTED:.1f} m/s, P = "
        f"{PERIOD} d, BERV within \u00b1{BERV_AMPLITUDE / 1000:.0f} km/s, "
        f"S/N {SNR:.0f}), files in {outdir}",
        flush=True,
    )
    data = make_example(outdir, n_obs=n_obs, wave_range=wave_range, seed=seed)
    results = os.path.join(outdir, "results.csv")
    figure = os.path.join(outdir, "results.png")
    argv = [
        "measure",
        *data.files,
        "--master",
        data.master,
        "--lines",
        data.lines,
        "--berv-key",
        "BERV",
        "--berv-unit",
        "km/s",
        "-o",
        results,
        "--per-line",
        os.path.join(outdir, "lines_rv.csv"),
        "--plot",
        figure,
        "-j",
        str(jobs),
    ]
    if quiet:
        argv.append("--quiet")
    print("$ quasmir " + " ".join(_short(a, outdir) for a in argv))
    status = main(argv)
    if not os.path.exists(results):
        return status
    rows = {row["file"]: row for row in read_table(results)}
    _print_comparison(data, rows, outdir)
    print(f"figure: {figure}")
    return status


def _short(arg: str, outdir: str) -> str:
    """An argument with the output directory written as DIR."""
    return arg.replace(outdir + os.sep, "DIR/")


def _print_comparison(data: ExampleSet, rows: dict, outdir: str) -> None:
    out = sys.stdout
    head = (
        f"{'file':<11}{'BJD-2460000':>12}{'rv (m/s)':>11}{'error':>8}"
        f"{'injected':>10}{'(rv-inj)/err':>14}"
    )
    out.write(head + "\n")
    time, rv, err, true = [], [], [], []
    for i, path in enumerate(data.files):
        row = rows.get(path)
        name = os.path.basename(path)
        if row is None:
            out.write(f"{name:<11}{data.time[i]:>12.3f}  not measured\n")
            continue
        dev = (row["rv"] - data.rv[i]) / row["rv_err"]
        out.write(
            f"{name:<11}{data.time[i]:>12.3f}{row['rv']:>11.2f}"
            f"{row['rv_err']:>8.2f}{data.rv[i]:>10.2f}{dev:>14.2f}\n"
        )
        time.append(data.time[i])
        rv.append(row["rv"])
        err.append(row["rv_err"])
        true.append(data.rv[i])
    if len(rv) < 4:
        out.write("too few velocities to fit the planet\n")
        return
    rv_a, err_a, true_a = np.array(rv), np.array(err), np.array(true)
    k, k_err = fit_semi_amplitude(np.array(time), rv_a, err_a, data.period)
    dev = (rv_a - true_a) / err_a
    out.write(
        f"scatter of (rv - injected)/error: {np.std(dev):.2f}; median "
        f"error {np.median(err_a):.2f} m/s, photon-noise limit "
        f"{np.median(data.limit):.2f} m/s\n"
    )
    out.write(
        f"semi-amplitude at P = {data.period} d: fitted {k:.2f} \u00b1 "
        f"{k_err:.2f} m/s, injected {data.k:.2f} m/s "
        f"({(k - data.k) / k_err:+.1f} sigma)\n"
    )
    out.flush()
