"""Every entry point called once, the calls that raise included: the four
methods (valid, converted and refused arguments, a fit GSL cannot make),
linestack's convenience and every exported C function.  The leak tests call
them many times; run as a script (``python every_call.py ROUNDS``) it makes
ROUNDS rounds and prints nothing of its own."""

import sys

import numpy as np

import linestack
import native
import quasmir

N = 40
WAVE = np.linspace(5000.0, 5004.0, N)
FLUX = 1.0 - 0.5 * np.exp(-((WAVE - 5002.0) / 0.3) ** 2)
ERR = np.full(N, 0.01)
MASTER_WAVE = np.linspace(4999.0, 5005.0, 3 * N)
MASTER_FLUX = 1.0 - 0.5 * np.exp(-((MASTER_WAVE - 5002.0) / 0.3) ** 2)
TRIALS = np.array([-300.0, 0.0, 300.0])
SPECTRUM = (WAVE, ERR, FLUX, MASTER_WAVE, MASTER_FLUX)
CONVERTED = (WAVE.astype(np.float32), (ERR * 1000).astype(np.int64),
             FLUX[::-1].copy()[::-1], MASTER_WAVE.astype(">f8"),
             MASTER_FLUX)
# Extreme finite values: with NO_FIT_SYS_ERR the second-order fit's SVD
# does not converge in GSL.
NO_FIT = (np.zeros(27), np.r_[-1.6890225751933547e+30, np.zeros(26)],
          np.zeros(27),
          np.array([1.2001459343488064e+152, 0.0, 4.1093631093494344e-156,
                    -1.373387755127664e-139]),
          np.array([0.0, 2.916076717962449e-05, 3.0265903608434943e-05,
                    0.0]))
NO_FIT_SYS_ERR = 0.005195532360738008
TAYLOR = ("get_RV_line_by_line2", "get_RV_line_by_line2_with_offset",
          "get_RV_line_by_line3")
PROFILES = (np.array([0.0, 1.0]), np.array([0.5, 0.2]), np.array([2.0, 3.0]),
            np.linspace(-10.0, 10.0, 50), np.array([1.0, 1.1]))


def _method(name, *args):
    return lambda: getattr(quasmir, name)(*args)


def calls():
    """{name: (zero-argument callable, exception it raises or None)}."""
    table = {
        "scan": (_method("get_RV_line_by_line", TRIALS, *SPECTRUM), None),
        "scan-converted": (
            _method("get_RV_line_by_line", TRIALS, *CONVERTED), None),
        "scan-short": (_method("get_RV_line_by_line", TRIALS, WAVE, ERR,
                               FLUX[:-1], MASTER_WAVE, MASTER_FLUX),
                       ValueError),
        "scan-list": (_method("get_RV_line_by_line", list(TRIALS),
                              *SPECTRUM), TypeError),
        "scan-nan": (_method("get_RV_line_by_line", TRIALS, WAVE,
                             ERR * np.nan, FLUX, MASTER_WAVE, MASTER_FLUX),
                     None),
    }
    for name in TAYLOR:
        table[name] = (_method(name, *SPECTRUM, 0.0, 0.0, 5002.0), None)
        table[name + "-converted"] = (_method(name, *CONVERTED), None)
        table[name + "-no-fit"] = (
            _method(name, *NO_FIT, NO_FIT_SYS_ERR), None)
        table[name + "-too-few"] = (
            _method(name, WAVE[:1], ERR[:1], FLUX[:1], MASTER_WAVE,
                    MASTER_FLUX), ValueError)
        table[name + "-complex"] = (
            _method(name, WAVE, ERR, FLUX.astype(complex), MASTER_WAVE,
                    MASTER_FLUX), TypeError)
        table[name + "-masked"] = (
            _method(name, np.ma.masked_array(WAVE), ERR, FLUX, MASTER_WAVE,
                    MASTER_FLUX), TypeError)
        table[name + "-number"] = (
            _method(name, *SPECTRUM, "x"), TypeError)
    table["coadd"] = (lambda: linestack.coadd_loc_gauss_prof(*PROFILES),
                      None)
    table["coadd-converted"] = (
        lambda: linestack.coadd_loc_gauss_prof(
            *(a.astype(np.float32) for a in PROFILES)), None)
    table["coadd-short"] = (
        lambda: linestack.coadd_loc_gauss_prof(
            PROFILES[0][:1], *PROFILES[1:]), ValueError)
    table.update(native_calls())
    return table


def native_calls():
    w, e, f = (native.exact(a) for a in (WAVE, ERR, FLUX))
    mw, mf = native.exact(MASTER_WAVE), native.exact(MASTER_FLUX)
    t = native.exact(TRIALS)
    nf = [native.exact(a) for a in NO_FIT]
    data = native.exact(np.arange(30.0)[::-1])
    return {
        "c-scan": (lambda: native.scan(t, 3, w, 0.0, e, f, N, mw, mf,
                                       len(mw)), None),
        "c-scan-bad-counts": (lambda: native.scan(t, 3, w, 0.0, e, f, 1, mw,
                                                  mf, 0), None),
        "c-first-order": (lambda: native.first_order(
            False, w, 5002.0, 0.0, 0.0, e, f, N, mw, mf, len(mw)), None),
        "c-with-offset": (lambda: native.first_order(
            True, w, 5002.0, 0.0, 0.0, e, f, N, mw, mf, len(mw)), None),
        "c-with-offset-no-fit": (lambda: native.first_order(
            True, nf[0], 1e5, NO_FIT_SYS_ERR, 0.0, nf[1], nf[2], 27, nf[3],
            nf[4], 4), None),
        "c-second-order-no-fit": (lambda: native.second_order(
            nf[0], nf[1], nf[2], 27, nf[3], nf[4], 4, 1e5, NO_FIT_SYS_ERR,
            0.0), None),
        "c-second-order": (lambda: native.second_order(
            w, e, f, N, mw, mf, len(mw), 5002.0, 0.0, 0.0), None),
        "c-second-order-bad-counts": (lambda: native.second_order(
            w, e, f, 2, mw, mf, 1, 5002.0, 0.0, 0.0), None),
        "c-delta-lambda": (lambda: native.delta_lambda(300.0, 5000.0), None),
        "c-same-sampling": (lambda: native.obtain_same_sampling(
            w, N, mw, len(mw), mf), None),
        "c-bouchy": (lambda: native.bouchy(w, e, f, f[::-1].copy(), N, 0.0),
                     None),
        "c-rndup": (lambda: native.rndup(2, 2.675), None),
        "c-avevar": (lambda: native.avevar(data, 30), None),
        "c-compare": (lambda: native.compare(1.0, 2.0), None),
        "c-median": (lambda: native.median(data.copy(), 30), None),
        "c-coadd": (lambda: native.coadd(
            *(native.exact(a) for a in PROFILES), 50, 2), None),
    }


def call_once(func, error):
    if error is None:
        return func()
    try:
        func()
    except error:
        return None
    raise AssertionError("no error raised")


def main(rounds):
    table = calls()
    for _ in range(rounds):
        for func, error in table.values():
            call_once(func, error)


if __name__ == "__main__":
    main(int(sys.argv[1]))
