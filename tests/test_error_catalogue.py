"""The README's error catalogue is what the code does: every row of its
table is run here (the row's id names the case below), and every case has
its row.

Outcome cells: "`Type`: `message`" (METHOD stands for the method's name),
"`Type`" alone, "NaN: ..." (every value the row speaks of is NaN),
"`RV_UNSET` ..." (they are 100000.0) or "nothing written: ..." (the
outputs keep what the caller put there)."""

import builtins
import os
import re
import tempfile

import numpy as np
import pytest

import every_call as E
import linestack
import native
import quasmir

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                      "README.md")
SCAN = "get_RV_line_by_line"
TAYLOR = ["get_RV_line_by_line2", "get_RV_line_by_line2_with_offset",
          "get_RV_line_by_line3"]
RV_UNSET = 100000.0


def catalogue_rows():
    """{id: (entry point cell, input cell, outcome cell)} of the README's
    error catalogue table."""
    with open(README) as f:
        text = f.read()
    section = text.split("## Error catalogue", 1)[1].split("\n## ", 1)[0]
    rows = {}
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4 and re.fullmatch(r"`[\w-]+`", cells[0]):
            rows[cells[0].strip("`")] = tuple(cells[1:])
    return rows


def methods_of(entry):
    if "four methods" in entry:
        return [SCAN, *TAYLOR]
    if "Taylor methods" in entry:
        return TAYLOR
    return re.findall(r"`([\w.]+)`", entry) or [None]


def spectrum(**change):
    args = dict(wave=E.WAVE[:12], flux_err=E.ERR[:12], flux=E.FLUX[:12],
                wave_master=E.MASTER_WAVE[:10],
                flux_master=E.MASTER_FLUX[:10])
    args.update(change)
    return list(args.values())


def method_call(*arrays, numbers=()):
    def run(method):
        head = [np.zeros(2)] if method == SCAN else []
        return getattr(quasmir, method)(*head, *arrays, *numbers)
    return run


def scan_values(run):
    def values(method):
        rv, rv_err, chi2, _ = run(method)
        return np.r_[rv, rv_err, chi2]
    return values


def taylor_values(run):
    def values(method):
        r = run(method)
        return np.r_[[r[0], r[1], r[2], r[4]]] if len(r) == 5 else \
            np.r_[[r[0], r[1], r[2], r[3], r[4], r[6]]]
    return values


def with_nan(a, i=3):
    a = a.copy()
    a[i] = np.nan
    return a


def coadd(*arrays):
    return lambda _: linestack.coadd_loc_gauss_prof(*arrays)


ONE = np.ones(2)
W, F, R = (native.exact(a) for a in (E.WAVE, E.FLUX, E.ERR))
MW, MF = native.exact(E.MASTER_WAVE), native.exact(E.MASTER_FLUX)
NF = [native.exact(a) for a in E.NO_FIT]
T = native.exact(E.TRIALS)


def c_taylor(method, n_pix, n_master):
    if method.endswith("second_order_deriv"):
        out, tables = native.second_order(W, R, F, n_pix, MW, MF, n_master,
                                          5002.0, 0.0, 0.0)
        assert all((t == native.SENTINEL).all() for t in tables)
        return out[[0, 1, 2, 3, 4, 6]]
    with_offset = method.endswith("with_offset")
    out = native.first_order(with_offset, W, 5002.0, 0.0, 0.0, R, F, n_pix,
                             MW, MF, n_master)
    return out[[0, 1, 2, 3, 4]] if with_offset else out[[0, 1, 2, 4]]


def c_second_order_no_fit(_):
    out, _ = native.second_order(NF[0], NF[1], NF[2], 27, NF[3], NF[4], 4,
                                 1e5, E.NO_FIT_SYS_ERR, 0.0)
    return out[[0, 1, 2, 3, 4, 6]]


def bouchy_flat(_):
    out = native.bouchy(W, R, F, np.ones(len(W)), len(W), 0.0)
    assert out[1] == np.inf
    return out[:1]


def bouchy_short(_):
    out = native.bouchy(W, R, F, F, 1, 0.0)
    assert out[1] == np.inf
    return out[:1]


def read_garbage(_):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "spectrum.fits")
        with open(path, "wb") as f:
            f.write(bytes(range(256)) * 4)
        return tool().read_spectrum(path)


def read_missing(_):
    with tempfile.TemporaryDirectory() as folder:
        return tool().read_spectrum(os.path.join(folder, "absent.fits"))


def measure_outside(_):
    t = tool()
    wave = np.linspace(5000.0, 5010.0, 200)
    flux = 1.0 - 0.5 * np.exp(-((wave - 5005.0) / 0.05) ** 2)
    err = np.full(200, 0.01)
    return t.measure(t.Spectrum(wave + 100.0, flux, err),
                     t.Spectrum(wave, flux, err))


def tool():
    quasmir_tool = pytest.importorskip("quasmir_tool")
    return quasmir_tool


CASES = {
    # the four methods
    "not-ndarray": method_call(*spectrum(wave=list(E.WAVE[:12]))),
    "arg-count": lambda method: getattr(quasmir, method)(),
    "not-real": method_call(*spectrum(flux=E.FLUX[:12].astype(complex))),
    "masked": method_call(*spectrum(wave=np.ma.masked_array(E.WAVE[:12]))),
    "not-1d": method_call(*spectrum(flux=np.ones((12, 2)))),
    "spectrum-lengths": method_call(*spectrum(flux_err=E.ERR[:11])),
    "master-lengths": method_call(*spectrum(flux_master=E.MASTER_FLUX[:9])),
    "number-type": method_call(*spectrum(), numbers=("x",)),
    "number-overflow": method_call(*spectrum(), numbers=(10**400,)),
    "few-pixels-2": method_call(*spectrum(
        wave=E.WAVE[:1], flux_err=E.ERR[:1], flux=E.FLUX[:1])),
    "few-pixels-3": method_call(*spectrum(
        wave=E.WAVE[:2], flux_err=E.ERR[:2], flux=E.FLUX[:2])),
    "scan-no-master": method_call(*spectrum(
        wave_master=E.MASTER_WAVE[:0], flux_master=E.MASTER_FLUX[:0])),
    "taylor-few-master": method_call(*spectrum(
        wave_master=E.MASTER_WAVE[:1], flux_master=E.MASTER_FLUX[:1])),
    "scan-zero-model": scan_values(method_call(*spectrum(
        flux=np.zeros(12)))),
    "scan-nan": scan_values(method_call(*spectrum(
        flux=with_nan(E.FLUX[:12])))),
    "taylor-nan": taylor_values(method_call(*spectrum(
        flux=with_nan(E.FLUX[:12])))),
    "no-fit": taylor_values(method_call(*E.NO_FIT,
                                               numbers=(E.NO_FIT_SYS_ERR,))),
    # linestack
    "coadd-not-ndarray": coadd([1.0, 2.0], ONE, ONE, ONE, ONE),
    "coadd-not-real": coadd(ONE, ONE.astype(complex), ONE, ONE, ONE),
    "coadd-masked": coadd(np.ma.masked_array(ONE), ONE, ONE, ONE, ONE),
    "coadd-not-1d": coadd(ONE, ONE, ONE, np.ones((2, 2)), ONE),
    "coadd-lengths": coadd(ONE, ONE[:1], ONE, ONE, ONE),
    "coadd-too-large": coadd(*[np.ones(2**16)] * 5),
    "coadd-nan": lambda _: linestack.coadd_loc_gauss_prof(
        np.array([np.nan]), np.ones(1), np.ones(1), np.linspace(0, 1, 5),
        np.ones(1)),
    # exported C functions
    "c-scan-counts": lambda _: np.concatenate(
        native.scan(T, 3, W, 0.0, R, F, 1, MW, MF, len(MW))[:4])[
            np.r_[0:3, 6:9, 12:15, 18:24]],
    "c-scan-zero-model": lambda _: np.concatenate(native.scan(
        T, 3, W, 0.0, R, np.zeros(len(W)), len(W), MW, MF, len(MW))[:3])[
            np.r_[0:3, 6:9, 12:15]],
    "c-taylor-counts": lambda method: np.r_[
        c_taylor(method, 1, len(MW)), c_taylor(method, len(W), 1)],
    "c-no-fit": c_second_order_no_fit,
    "c-same-sampling-empty": lambda _: np.r_[tuple(
        a[:len(W)] for i, a in enumerate(native.obtain_same_sampling(
            W, len(W), MW, 0, MF)) if i != 2)],
    "c-same-sampling-none": lambda _: np.r_[tuple(
        a for i, a in enumerate(native.obtain_same_sampling(
            W, 0, MW, len(MW), MF)) if i != 2)],
    "c-bouchy-flat": bouchy_flat,
    "c-bouchy-short": bouchy_short,
    "c-rndup": lambda _: np.array([native.rndup(309, 1.0),
                                   native.rndup(-324, 1.0)]),
    "c-avevar": lambda _: native.avevar(W, 0)[:1],
    "c-median": lambda _: native.median(W.copy(), 8)[:1],
    "c-coadd-counts": lambda _: native.coadd(
        *(native.exact(a) for a in E.PROFILES), 0, 2),
    # the tool
    "read-missing": read_missing,
    "read-garbage": read_garbage,
    "measure-outside": measure_outside,
}

ROWS = catalogue_rows()


def test_every_row_has_a_case_and_every_case_a_row():
    assert sorted(ROWS) == sorted(CASES)


def exception_type(name):
    if hasattr(builtins, name):
        return getattr(builtins, name)
    return getattr(tool(), name)


PARAMS = [(row, method) for row, (entry, _, _) in ROWS.items()
          for method in methods_of(entry)]


@pytest.mark.parametrize("row, method", PARAMS,
                         ids=[f"{r}-{m}" for r, m in PARAMS])
def test_catalogue_row(row, method, capfd):
    _, _, outcome = ROWS[row]
    case = CASES[row]
    raised = re.fullmatch(r"`(\w+)`(?:: `([^`]*)`)?", outcome)
    if raised:
        kind = exception_type(raised.group(1))
        try:
            case(method)
        except NotImplementedError:
            pytest.skip("not built yet")
        except kind as error:
            if raised.group(2) is not None:
                want = raised.group(2).replace("METHOD", method or "")
                assert str(error) == want
        else:
            pytest.fail(f"{row}: no {kind.__name__} raised")
    else:
        try:
            values = np.asarray(case(method), dtype=np.float64)
        except NotImplementedError:
            pytest.skip("not built yet")
        assert values.size > 0
        if outcome.startswith("NaN"):
            assert np.isnan(values).all(), values
        elif outcome.startswith("`RV_UNSET`"):
            assert (values == RV_UNSET).all(), values
        elif outcome.startswith("nothing written"):
            assert (values == native.SENTINEL).all(), values
        else:
            pytest.fail(f"{row}: outcome {outcome!r} not understood")
    capfd.readouterr()
