"""What used to end the process or read freed memory: a fit GSL cannot
make, and Python code that resizes an argument while the call converts
its arguments.  Each case runs in a child process, so that an abort or a
crash shows as a failed test."""

import ctypes
import ctypes.util
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quasmir
from reference import bits_equal

TESTS = os.path.dirname(os.path.abspath(__file__))

# GSL through ctypes, and the arguments of a second-order fit whose SVD
# does not converge.
GSL_PRELUDE = """
import ctypes, ctypes.util, json, sys
import numpy as np
ctypes.CDLL(ctypes.util.find_library("gslcblas") or "libgslcblas.so.0",
            mode=ctypes.RTLD_GLOBAL)
gsl = ctypes.CDLL(ctypes.util.find_library("gsl") or "libgsl.so.27")
HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_char_p,
                           ctypes.c_int, ctypes.c_int)
gsl.gsl_set_error_handler.restype = ctypes.c_void_p
gsl.gsl_error.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                          ctypes.c_int]
NO_CONVERGENCE = (
    np.zeros(27), np.r_[-1.6890225751933547e+30, np.zeros(26)],
    np.zeros(27),
    np.array([1.2001459343488064e+152, 0.0, 4.1093631093494344e-156,
              -1.373387755127664e-139]),
    np.array([0.0, 2.916076717962449e-05, 3.0265903608434943e-05, 0.0]),
    0.005195532360738008)
"""


def run_child(*parts, env=None, check=True):
    """Runs the parts, each dedented, as one script in a child process."""
    code = "\n".join(textwrap.dedent(part) for part in parts)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True,
        timeout=120, check=False, cwd=TESTS,
        env=None if env is None else {**os.environ, **env})
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


# --- a fit GSL cannot make --------------------------------------------------


def test_unconverged_fit_gives_nan_through_method_and_kernel():
    proc = run_child(GSL_PRELUDE, """
        import quasmir
        import conftest
        r = quasmir.get_RV_line_by_line3(*NO_CONVERGENCE)
        sys.stdout.flush()
        print(json.dumps([repr(x) for x in r[:7]]))
        print(json.dumps([a.tolist() for a in r[7:]]))
        lib = ctypes.CDLL(quasmir.__file__)
        name = "get_RV_line_by_line_Bouchy_with_offset_second_order_deriv"
        argtypes, restype = conftest._SIGNATURES[name]
        getattr(lib, name).argtypes = argtypes
        wave, err, flux, wm, fm, sys_err = NO_CONVERGENCE
        out, arrays = conftest.Kernels(lib).second_order(
            wave, err, flux, wm, fm, sys_err, 0.0, 1e5)
        sys.stdout.flush()
        print(json.dumps([repr(x) for x in out]))
    """)
    line, scalars, tables, kernel_line, slots = proc.stdout.splitlines()
    assert line == kernel_line == "nan"
    assert json.loads(scalars) == ["nan"] * 5 + ["0.0", "nan"]
    # The tables do not come from the fit and are still filled.
    shifted = json.loads(tables)[0]
    assert len(shifted) == 4 and shifted[1] == 0.0
    # c0, c1, c2, rv, rv_err; the spare slot untouched; chi2_red
    assert json.loads(slots) == ["nan"] * 5 + [repr(-7777.25), "nan"]
    assert proc.stderr == ""


def test_gsl_errors_elsewhere_still_abort():
    """After a quasmir fit has installed its handler, a GSL error outside
    quasmir still gets GSL's default treatment."""
    proc = run_child(GSL_PRELUDE, """
        import quasmir
        quasmir.get_RV_line_by_line3(*NO_CONVERGENCE)
        sys.stdout.flush()
        gsl.gsl_error(b"outside quasmir", b"caller.c", 12, 1)
        print("survived")
    """, check=False)
    assert proc.returncode == -signal.SIGABRT
    assert "survived" not in proc.stdout
    assert proc.stderr.splitlines()[-2:] == [
        "gsl: caller.c:12: ERROR: outside quasmir",
        "Default GSL error handler invoked.",
    ]


def test_handler_set_before_import_still_gets_other_errors():
    proc = run_child(GSL_PRELUDE, """
        seen = []

        @HANDLER
        def handler(reason, file, line, errno):
            seen.append([reason.decode(), file.decode(), line, errno])

        gsl.gsl_set_error_handler(handler)
        import quasmir
        r = quasmir.get_RV_line_by_line3(*NO_CONVERGENCE)
        assert all(x != x for x in r[:5]), r
        assert seen == [], seen  # quasmir's own failure is not passed on
        gsl.gsl_error(b"outside quasmir", b"caller.c", 12, 5)
        sys.stdout.flush()
        print(json.dumps(seen))
    """)
    line, seen = proc.stdout.splitlines()
    assert json.loads(seen) == [["outside quasmir", "caller.c", 12, 5]]


# A stand-in for gsl_multifit_wlinear that makes some fits fail after the
# real fit has written its results: those named in FAIL_HANDLER (",2,5,":
# the second and the fifth call of the process) through GSL's error
# handler, with status 0; those in FAIL_STATUS by their status alone.
# REAL_GSL names the GSL library quasmir uses.
FAILING_FIT = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
typedef int fit_fn(const void *, const void *, const void *, void *, void *,
                   double *, void *);
typedef void error_fn(const char *, const char *, int, int);
static int calls;
int gsl_multifit_wlinear(const void *X, const void *w, const void *y,
                         void *c, void *cov, double *chisq, void *work)
{
    /* quasmir's GSL is in its own (local) scope: look it up by name. */
    void *gsl = dlopen(getenv("REAL_GSL"), RTLD_NOW | RTLD_NOLOAD);
    fit_fn *real = (fit_fn *)dlsym(gsl, "gsl_multifit_wlinear");
    int status = real(X, w, y, c, cov, chisq, work);
    char key[32];
    snprintf(key, sizeof key, ",%d,", ++calls);
    if (strstr(getenv("FAIL_STATUS"), key) != NULL) {
        return 11;
    }
    if (strstr(getenv("FAIL_HANDLER"), key) == NULL) {
        return status;
    }
    error_fn *gsl_error = (error_fn *)dlsym(gsl, "gsl_error");
    gsl_error("injected", "failing_fit.c", 1, 11);
    return 0;
}
"""

# Fits in call order: scan method (3 trials), the three Taylor methods,
# then the kernels: scan (3 trials), first order, with offset, second.
FIT_CALLS = """
import quasmir, conftest
lib = ctypes.CDLL(quasmir.__file__)
for name, (argtypes, restype) in conftest._SIGNATURES.items():
    getattr(lib, name).argtypes = argtypes
    getattr(lib, name).restype = restype
k = conftest.Kernels(lib)
master = conftest.make_master(5, n_master=120)
spec = conftest.make_spectrum(6, master, n_pix=40, rv_true=150.0)
data = (*spec, *master)
trials = np.array([-300.0, 0.0, 300.0])
results = [
    quasmir.get_RV_line_by_line(trials, *data, 0.001),
    quasmir.get_RV_line_by_line2(*data, 0.001, 50.0, 5000.0),
    quasmir.get_RV_line_by_line2_with_offset(*data, 0.001, 50.0, 5000.0),
    quasmir.get_RV_line_by_line3(*data, 0.001, 50.0, 5000.0)[:7],
    k.scan(trials, *data, 0.001),
    k.first_order(*data, 0.001, 50.0, 5000.0, False),
    k.first_order(*data, 0.001, 50.0, 5000.0, True),
    k.second_order(*data, 0.001, 50.0, 5000.0)[0],
]
"""


@pytest.fixture(scope="module")
def failing_fit(tmp_path_factory):
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler")
    # The shim stands in for the system's GSL; a wheel that carries its own
    # copy (auditwheel's quasmir.libs) never calls the system's.
    if os.path.isdir(os.path.join(os.path.dirname(quasmir.__file__),
                                  "quasmir.libs")):
        pytest.skip("quasmir uses the GSL bundled in its wheel")
    out = tmp_path_factory.mktemp("shim")
    (out / "failing_fit.c").write_text(FAILING_FIT)
    lib = str(out / "failing_fit.so")
    subprocess.run([cc, "-shared", "-fPIC", str(out / "failing_fit.c"),
                    "-o", lib, "-ldl"], check=True)
    return lib


def test_each_failed_fit_gives_nan_in_every_method_and_kernel(
    failing_fit, capfd
):
    """Trial 2 of each scan and every single fit fail, half of them through
    the error handler, half by the status only; everything else is what a
    run without failures gives, to the bit."""
    env = {
        "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"),
                                             failing_fit])),
        "REAL_GSL": ctypes.util.find_library("gsl") or "libgsl.so.27",
        "FAIL_HANDLER": ",2,5,8,11,",
        "FAIL_STATUS": ",4,6,10,12,",
    }
    failed = run_child(GSL_PRELUDE, FIT_CALLS, """
        flat = [[float(x).hex() for part in r for x in np.ravel(part)]
                for r in results]
        sys.stdout.flush()
        print(json.dumps(flat))
    """, env=env)
    got = [[float.fromhex(x) for x in r]
           for r in json.loads(failed.stdout.splitlines()[-1])]
    clean = {"ctypes": ctypes, "np": np}
    exec(FIT_CALLS, clean)
    want = [[float(x) for part in r for x in np.ravel(part)]
            for r in clean["results"]]
    capfd.readouterr()
    # The printed lines of the two second-order fits.
    assert failed.stdout.splitlines()[:-1] == ["nan", "nan"]
    for scan in (0, 4):
        # rv, rv_err, chi2_red of trials 0..2, then the coefficient rows
        g, w = np.array(got[scan]), np.array(want[scan])
        failed_slots = [1, 4, 7, 11, 12]
        assert np.isnan(g[failed_slots]).all()
        kept = np.setdiff1d(np.arange(len(g)), failed_slots)
        assert bits_equal(g[kept], w[kept])
        assert not np.isnan(w).any()
    # The Taylor methods: every result of the fit NaN, the rest as it was.
    for i, fixed in ((1, [3]), (2, []), (3, [5]), (5, [3]), (6, []),
                     (7, [5])):
        for j, (g, w) in enumerate(zip(got[i], want[i])):
            if j in fixed:  # the constant 0.0, or the kernel's spare slot
                assert bits_equal(g, w)
            else:
                assert np.isnan(g) and not np.isnan(w), (i, j)


# --- resizing an argument while the call converts ---------------------------

# Each case passes, as the first or the last array argument, an ndarray
# subclass whose Python code (a __class__ property, which the masked-array
# check reads, or __array_finalize__, which a subclass-keeping conversion
# would call) shrinks another argument, the victim, to one element.  The
# victim is big enough to live in its own mapping (the threshold is fixed
# in the environment), so reading its old buffer faults.
RESIZE_CASES = """
import json
import numpy as np
import linestack, quasmir

N = 20_000
armed = []


def shrink():
    while armed:
        armed.pop().resize(1, refcheck=False)


class ByClass(np.ndarray):
    @property
    def __class__(self):
        shrink()
        return np.ndarray


class ByFinalize(np.ndarray):
    def __array_finalize__(self, obj):
        shrink()


def spectrum_args(method):
    wave = np.linspace(5000.0, 5100.0, N)
    master = np.linspace(4990.0, 5110.0, N)
    args = {"wave": wave, "flux_err": np.full(N, 0.01),
            "flux": np.cos(wave), "wave_master": master,
            "flux_master": np.cos(master)}
    if method == "get_RV_line_by_line":
        args = {"rv_trials": np.zeros(3), **args}
    return args


def profile_args():
    return {"rv": np.zeros(N), "contrast": np.full(N, 0.5),
            "fwhm": np.ones(N), "grid": np.zeros(1),
            "continuum": np.ones(N)}


for kind, cls in (("class", ByClass), ("finalize", ByFinalize)):
    for method in METHODS:
        for where in (0, -1):
            if method == "coadd_loc_gauss_prof":
                args, victim = profile_args(), "fwhm"
                run = linestack.coadd_loc_gauss_prof
            else:
                args, victim = spectrum_args(method), "flux"
                run = getattr(quasmir, method)
            trick = list(args)[where]
            # float32, so that a conversion has to copy it
            args[trick] = args[trick].astype(np.float32).view(cls)
            armed.append(args[victim])
            try:
                run(*args.values())
                outcome = "returned"
            except ValueError as e:
                outcome = str(e)
            shrunk = not armed
            armed.clear()
            print(json.dumps([kind, method, trick, victim, shrunk, outcome]),
                  flush=True)

trials = np.linspace(-500.0, 500.0, N).copy()
args = spectrum_args("get_RV_line_by_line")
want = quasmir.get_RV_line_by_line(trials[:1].copy(), *list(args.values())[1:])
armed.append(trials)
args["rv_trials"] = trials
args["flux_master"] = args["flux_master"].view(ByClass)
got = quasmir.get_RV_line_by_line(*args.values())
same = all(np.array_equal(g, w) for g, w in zip(got, want))
print(json.dumps(["scan of one trial", not armed and same]), flush=True)
"""

RESIZE_METHODS = ["get_RV_line_by_line", "get_RV_line_by_line2",
                  "get_RV_line_by_line2_with_offset", "get_RV_line_by_line3",
                  "coadd_loc_gauss_prof"]
RESIZE_IDS = [(kind, method, where) for kind in ("class", "finalize")
              for method in RESIZE_METHODS for where in ("first", "last")]


@pytest.fixture(scope="module")
def resize_outcomes():
    proc = run_child(f"METHODS = {RESIZE_METHODS!r}", RESIZE_CASES,
                     env={"MALLOC_MMAP_THRESHOLD_": "65536"}, check=False)
    lines = [json.loads(line) for line in proc.stdout.splitlines()
             if line.startswith("[")]
    return [line[4:] + line[2:4] if len(line) == 6 else line
            for line in lines], proc


@pytest.mark.parametrize("case", range(len(RESIZE_IDS)),
                         ids=["-".join(c) for c in RESIZE_IDS])
def test_argument_resized_during_conversion_is_measured_again(
    resize_outcomes, case
):
    """A call whose argument was shrunk refuses it by its new length
    instead of reading its old length from freed memory; one whose
    argument was left alone returns."""
    outcomes, proc = resize_outcomes
    assert case < len(outcomes), proc.stderr
    shrunk, message, _, victim = outcomes[case]
    method = RESIZE_IDS[case][1]
    if not shrunk:
        assert message == "returned"
        return
    assert message.startswith(f"{method}: {victim} has length 1 but ")


def test_scan_trials_resized_during_conversion_are_what_is_scanned(
    resize_outcomes
):
    """The trials have no partner array: a shrunken rv_trials is simply a
    scan of one trial."""
    outcomes, proc = resize_outcomes
    assert ["scan of one trial", True] in outcomes, proc.stderr
