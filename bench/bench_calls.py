"""Per-call cost of the quasmir methods against a plain numpy version of
the same estimator, measured side by side in one run.

The numpy versions do the same work (shift, match or interpolate, weighted
least squares, velocity) with vectorised numpy and np.linalg.lstsq; they
are not bit-identical to quasmir, only a yardstick.  Figures are ratios:
the machine's absolute speed does not enter.

    python3 bench/bench_calls.py
"""

import contextlib
import os
import sys
import timeit

import numpy as np

import quasmir

C_LIGHT = 299792458.0


def master_and_line(n_master, n_pix):
    wave_master = np.linspace(5000.0, 5010.0, n_master)
    flux_master = 1.0 - 0.6 * np.exp(-0.5 * ((wave_master - 5005.0) / 0.05)
                                     ** 2)
    wave = np.linspace(5004.7, 5005.3, n_pix)
    flux = np.interp(wave, wave_master * (1.0 + 300.0 / C_LIGHT),
                     flux_master)
    return wave, np.full(n_pix, 0.01), flux, wave_master, flux_master


def shifted_grid(wave_master, v):
    b = v / C_LIGHT
    return wave_master * np.sqrt((1.0 + b) / (1.0 - b))


def numpy_taylor(wave, err, flux, wave_master, flux_master, sys_err,
                 rv_shift, lambda_ref, third=None):
    """third: None, "offset" or "deriv2", the optional third column."""
    grid = shifted_grid(wave_master, rv_shift)
    deriv = np.append(np.diff(flux_master) / np.diff(grid), 0.0)
    columns = [np.interp(wave, grid, flux_master),
               np.interp(wave, grid, deriv)]
    if third == "offset":
        columns.append(np.ones_like(wave))
    elif third == "deriv2":
        deriv2 = np.append(np.diff(deriv[:-1]) / np.diff(grid[:-1]),
                           [0.0, 0.0])
        columns.append(np.interp(wave, grid, deriv2))
    sw = 1.0 / np.sqrt(err ** 2 + sys_err ** 2)
    a = np.column_stack(columns) * sw[:, None]
    coeffs, *_ = np.linalg.lstsq(a, flux * sw, rcond=None)
    cov = np.linalg.inv(a.T @ a)
    c0, c1 = coeffs[:2]
    rv = rv_shift - c1 / c0 / lambda_ref * C_LIGHT
    var = c1 ** 2 * cov[0, 0] / c0 ** 4 + cov[1, 1] / c0 ** 2
    return c0, rv, np.sqrt(var) / lambda_ref * C_LIGHT


def numpy_scan(trials, wave, err, flux, wave_master, flux_master, sys_err):
    w = 1.0 / (err ** 2 + sys_err ** 2)
    sw = np.sqrt(w)
    out = []
    for v in trials:
        grid = shifted_grid(wave_master, v)
        idx = np.clip(np.searchsorted(grid, wave), 1, grid.size - 1)
        idx -= (wave - grid[idx - 1]) <= (grid[idx] - wave)
        matched = flux_master[idx]
        a = np.column_stack([matched, np.ones_like(matched)]) * sw[:, None]
        (c0, c1), *_ = np.linalg.lstsq(a, flux * sw, rcond=None)
        model = c0 * matched + c1
        slope = np.diff(model) / np.diff(wave) * wave[:-1]
        keep = slope != 0.0
        wk = slope[keep] ** 2 * w[:-1][keep]
        rv = np.sum((flux[:-1][keep] - model[:-1][keep]) / slope[keep] * wk)
        out.append(rv / np.sum(wk) * C_LIGHT)
    return out


@contextlib.contextmanager
def quiet_stdout():
    """Send file descriptor 1 to /dev/null (the second-order method prints
    a line per call)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def per_call(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def cases(args, trials):
    """(name, quasmir call, numpy call) for one master and line."""
    extra = (0.0, 0.0, 5005.0)
    return [
        ("get_RV_line_by_line2",
         lambda: quasmir.get_RV_line_by_line2(*args, *extra),
         lambda: numpy_taylor(*args, *extra)),
        ("get_RV_line_by_line2_with_offset",
         lambda: quasmir.get_RV_line_by_line2_with_offset(*args, *extra),
         lambda: numpy_taylor(*args, *extra, "offset")),
        ("get_RV_line_by_line3",
         lambda: quasmir.get_RV_line_by_line3(*args, *extra),
         lambda: numpy_taylor(*args, *extra, "deriv2")),
        (f"get_RV_line_by_line, {trials.size} trials",
         lambda: quasmir.get_RV_line_by_line(trials, *args),
         lambda: numpy_scan(trials, *args, 0.0)),
    ]


def main():
    print(f"{'case':44s} {'quasmir':>10s} {'numpy':>10s} {'ratio':>7s}")
    trials = np.linspace(-1000.0, 1000.0, 21)
    for n_master, n_pix in [(400, 40), (4000, 40), (4000, 400)]:
        args = master_and_line(n_master, n_pix)
        for name, fast, slow in cases(args, trials):
            with quiet_stdout():
                t_fast = per_call(fast, 2000)
                t_slow = per_call(slow, 200)
            label = f"{name} ({n_master}/{n_pix})"
            print(f"{label:44s} {t_fast * 1e6:8.1f}us {t_slow * 1e6:8.1f}us"
                  f" {t_slow / t_fast:6.1f}x")


if __name__ == "__main__":
    main()
