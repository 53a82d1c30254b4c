"""The methods run their kernels without the interpreter lock: calls from
several threads at once on shared inputs give the sequential results to
the bit, leave the inputs alone, and the printed line of the second-order
fit keeps its place among Python's own output."""

import os
import re
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import linestack
from reference import bits_equal

N_THREADS = 4
ROUNDS = 12


def _inputs(gen):
    master = gen.master(11, n_master=3000, step=0.01, n_lines=40)
    spectrum = gen.spectrum(12, master, n_pix=1500, rv_true=230.0)
    data = (*spectrum, *master)
    return {
        "scan": (np.linspace(-600.0, 600.0, 9), *data, 0.001),
        "taylor": (*data, 0.001, 200.0, 5010.0),
        # The unconverged fit: NaN results in its own thread only.
        "unconverged": (
            np.zeros(27), np.r_[-1.6890225751933547e30, np.zeros(26)],
            np.zeros(27),
            np.array([1.2001459343488064e152, 0.0, 4.1093631093494344e-156,
                      -1.373387755127664e-139]),
            np.array([0.0, 2.916076717962449e-05, 3.0265903608434943e-05,
                      0.0]),
            0.005195532360738008),
        "profiles": (np.linspace(-30.0, 30.0, 200), np.full(200, 0.4),
                     np.linspace(3.0, 9.0, 200), np.linspace(-60, 60, 900),
                     np.ones(200)),
    }


def _calls(quasmir, inputs):
    return [
        (quasmir.get_RV_line_by_line, inputs["scan"]),
        (quasmir.get_RV_line_by_line2, inputs["taylor"]),
        (quasmir.get_RV_line_by_line2_with_offset, inputs["taylor"]),
        (quasmir.get_RV_line_by_line3, inputs["taylor"]),
        (quasmir.get_RV_line_by_line3, inputs["unconverged"]),
        (linestack.coadd_loc_gauss_prof, inputs["profiles"]),
    ]


def _same(got, want):
    if isinstance(want, np.ndarray):
        return type(got) is np.ndarray and bits_equal(got, want)
    return len(got) == len(want) and all(
        bits_equal(g, w) for g, w in zip(got, want))


def test_concurrent_calls_give_the_sequential_results(quasmir, gen, capsys):
    inputs = _inputs(gen)
    copies = {k: [np.copy(a) for a in v] for k, v in inputs.items()}
    calls = _calls(quasmir, inputs)
    want = [run(*args) for run, args in calls]

    def worker(offset):
        # Each thread goes through the calls in its own order.
        order = np.roll(np.arange(len(calls)), offset)
        return [(i, calls[i][0](*calls[i][1]))
                for _ in range(ROUNDS) for i in order]

    with ThreadPoolExecutor(N_THREADS) as pool:
        results = list(pool.map(worker, range(N_THREADS)))
    for per_thread in results:
        for i, got in per_thread:
            assert _same(got, want[i]), calls[i][0].__name__
    for k, v in inputs.items():
        assert all(bits_equal(a, c) for a, c in zip(v, copies[k])), k
    # One line per second-order call, whole, whatever the interleaving.
    lines = capsys.readouterr().out.splitlines()
    n_lines = 2 * (N_THREADS * ROUNDS + 1)
    assert sorted(lines) == sorted(
        [f"{want[3][3] - 200.0:.2f}", "nan"] * (n_lines // 2))


def test_printed_line_keeps_its_place_among_python_output():
    """Through sys.stdout, buffered with Python's own output: in order
    even when standard output is a pipe."""
    code = textwrap.dedent("""
        import sys
        import numpy as np
        import quasmir
        wave = np.linspace(5000.2, 5009.8, 30)
        master = np.linspace(5000.0, 5010.0, 80)
        flux_master = 1.0 - 0.5 * np.exp(-((master - 5005.0) / 0.5) ** 2)
        flux = np.interp(wave, master, flux_master)
        args = (wave, np.full(30, 0.01), flux, master, flux_master)
        print("before")
        quasmir.get_RV_line_by_line3(*args)
        print("between")
        quasmir.get_RV_line_by_line3(*args, 0.0, 1500.0, 5005.0)
        sys.stdout.write("after\\n")
    """)
    # Block-buffered, as Python makes a pipe unless told otherwise.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True, timeout=60, env=env).stdout
    lines = out.splitlines()
    assert lines[::2] == ["before", "between", "after"]
    assert len(lines) == 5
    # The velocity left beyond the shift, two decimals: about nothing
    # without a shift, about minus the shift with one.
    assert all(re.fullmatch(r"-?\d+\.\d\d", line) for line in lines[1::2])
    assert abs(float(lines[1])) < 1.0 and float(lines[3]) < -1000.0


def test_printed_line_follows_a_redirected_stdout(quasmir, capfd):
    """The line goes where Python's sys.stdout goes."""
    import contextlib
    import io

    wave = np.linspace(5000.2, 5009.8, 30)
    master = np.linspace(5000.0, 5010.0, 80)
    flux_master = 1.0 - 0.5 * np.exp(-((master - 5005.0) / 0.5) ** 2)
    args = (wave, np.full(30, 0.01), np.interp(wave, master, flux_master),
            master, flux_master)
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        rv = quasmir.get_RV_line_by_line3(*args, 0.0, 0.0, 5005.0)[3]
    assert buffer.getvalue() == f"{rv:.2f}\n"
    assert capfd.readouterr().out == ""
