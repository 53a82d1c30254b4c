"""measure(): inputs, the first guess, the passes, dropped lines, echelle
spectra, specutils input and the one private entry to the core fits."""

import threading

import numpy as np
import pytest

import quasmir
from quasmir_tool import InputError, Spectrum, measure
from quasmir_tool import measuring as m
from quasmir_tool.lines import C_LIGHT
from quasmir_tool.synthetic import make_star, observe

RV = 1234.5  # m/s


@pytest.fixture(scope="module")
def star():
    return make_star(7, wave_range=(5000.0, 5040.0))


@pytest.fixture(scope="module")
def obs(star):
    master, _ = star
    return observe(master, RV, -18000.0, 150.0, np.random.default_rng(8),
                   time=60000.5)


METHODS = (quasmir.get_RV_line_by_line2,
           quasmir.get_RV_line_by_line2_with_offset,
           quasmir.get_RV_line_by_line3)


def per_window_fits(kind, wave, flux_err, flux, wave_master, flux_master,
                    pix_start, pix_stop, master_start, master_stop, sys_err,
                    rv_shift, lambda_ref):
    """The literal version of `measuring._fit_windows`: one call of the
    public method per window (c1 of the first-order fits, which they do
    not return, recovered from their velocity).  A refused window is
    NaN."""
    out = np.full((6, np.size(pix_start)), np.nan)
    for i in range(out.shape[1]):
        ps, pe = int(pix_start[i]), int(pix_stop[i])
        ms, me = int(master_start[i]), int(master_stop[i])
        shift, ref = float(rv_shift[i]), float(lambda_ref[i])
        try:
            r = METHODS[kind](wave[ps:pe], flux_err[ps:pe], flux[ps:pe],
                              wave_master[ms:me], flux_master[ms:me],
                              sys_err, shift, ref)
        except ValueError:
            continue
        if kind == 2:
            out[:, i] = (r[0], r[1], r[2], r[3], r[4], r[6])
        else:
            scale, rv, rv_err, third, chi2 = r
            c1 = (shift - rv) * scale * ref / C_LIGHT
            out[:, i] = (scale, c1, third, rv, rv_err, chi2)
    return tuple(out)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and (
        a.tobytes() == b.tobytes())


@pytest.mark.parametrize("estimator", ["first", "offset", "second"])
@pytest.mark.parametrize("guess", [None, RV + 300.0])
def test_measure_is_the_per_window_method_calls(star, obs, monkeypatch,
                                                estimator, guess, capfd):
    # Every pass of `measure` fits all windows in one batch call; the
    # velocities (and so every later pass) must be those of the public
    # methods called window by window, bit for bit.
    master, lines = star
    spectrum = spectrum_with(obs)
    spectrum.flux[[500, 1500]] = np.nan  # windows dropped as "nan pixel"
    fast = measure(spectrum, master, lines, estimator=estimator,
                   rv_guess=guess, max_passes=4)
    capfd.readouterr()
    monkeypatch.setattr(m, "_fit_windows", per_window_fits)
    slow = measure(spectrum, master, lines, estimator=estimator,
                   rv_guess=guess, max_passes=4)
    capfd.readouterr()
    assert same_bits(fast.rv, slow.rv) and same_bits(fast.rv_err,
                                                     slow.rv_err)
    assert fast.n_passes == slow.n_passes
    assert fast.extra["history"] == slow.extra["history"]
    assert fast.lines.colnames == slow.lines.colnames
    for name in fast.lines.colnames:
        a, b = fast.lines[name], slow.lines[name]
        if name == "deriv1" and estimator != "second":
            # exact from the batch; recovered by the reference from
            # shift - rv, which cancels when the passes have converged
            tol = 1e-10 * np.nanmax(np.abs(a))
            assert np.allclose(a, b, rtol=0, atol=tol, equal_nan=True)
        else:
            assert same_bits(a, b), name
    assert (~fast.lines["used"]).sum() >= 2


@pytest.mark.parametrize("kind", [0, 1, 2])
def test_fit_windows_returns_what_the_core_returns(star, obs, kind, capfd):
    master, _ = star
    wave, err, flux = obs.wave, obs.flux_err, obs.flux
    wm, fm = master.wave, master.flux
    ps = np.arange(100, 850, 25, dtype=np.int64)
    pe = ps + 25
    pe[3] = ps[3] + 1  # too few pixels: the core refuses it
    ms = np.searchsorted(wm, wave[ps]) - 6
    me = np.searchsorted(wm, wave[pe - 1]) + 6
    shift = np.linspace(-2000.0, 3000.0, ps.size)
    ref = wave[ps]
    out = m._fit_windows(kind, wave, err, flux, wm, fm, ps, pe, ms, me, 0.01,
                         shift, ref)
    assert capfd.readouterr().out == ""  # the batch fits print nothing
    assert len(out) == 6 and all(a.shape == ps.shape for a in out)
    assert all(a.dtype == np.float64 for a in out)
    want = per_window_fits(kind, wave, err, flux, wm, fm, ps, pe, ms, me,
                           0.01, shift, ref)
    for index, (a, b) in enumerate(zip(out, want)):
        if index == 1 and kind != 2:
            continue  # c1: exact against recovered, compared below
        assert same_bits(a, b), index
    method = (quasmir.get_RV_line_by_line2,
              quasmir.get_RV_line_by_line2_with_offset,
              quasmir.get_RV_line_by_line3)[kind]
    for i in range(ps.size):
        got = [a[i] for a in out]
        if i == 3:
            assert np.all(np.isnan(got))
            continue
        r = method(wave[ps[i]:pe[i]], err[ps[i]:pe[i]], flux[ps[i]:pe[i]],
                   wm[ms[i]:me[i]], fm[ms[i]:me[i]], 0.01, shift[i], ref[i])
        if kind == 2:
            want = [r[0], r[1], r[2], r[3], r[4], r[6]]
            assert got == want
        else:
            # scale, rv, rv_err, offset, chi2_red exactly; c1 from rv
            assert [got[0], got[3], got[4], got[2], got[5]] == list(r)
            c1 = (shift[i] - r[1]) * r[0] * ref[i] / C_LIGHT
            assert got[1] == pytest.approx(c1, rel=1e-12)
            # the exact c1: the core's velocity formula gives rv to the bit
            assert shift[i] - (got[1] / got[0]) / ref[i] * C_LIGHT == r[1]
    capfd.readouterr()


def test_stdout_is_restored_and_untouched(star, obs, capfd):
    master, lines = star
    print("before")
    measure(obs, master, lines, estimator="second", rv_guess=RV)
    print("after")
    assert capfd.readouterr().out == "before\nafter\n"


@pytest.mark.parametrize("estimator", ["first", "offset", "second"])
def test_measures_the_injected_velocity(star, obs, estimator):
    master, lines = star
    r = measure(obs, master, lines, estimator=estimator)
    assert abs(r.rv - RV) < 4.0 * r.rv_err
    assert 0.5 < r.rv_err < 5.0
    assert r.converged and r.n_passes <= 5
    assert r.extra["guess_source"] == "ccf"
    assert abs(r.extra["rv_guess"] - RV) < 1000.0
    assert r.n_used == np.count_nonzero(r.lines["used"])
    assert r.n_dropped == len(r.lines) - r.n_used
    assert (r.time, r.berv, r.estimator) == (60000.5, -18000.0, estimator)
    assert ("c2_c0" in r.lines.colnames) == (estimator == "second")
    # The windows tile the pixels between the first and the last.
    t = r.lines
    assert np.all(t["pix_start"][1:] == t["pix_stop"][:-1])
    assert np.all(np.isfinite(t["rv"][t["used"]]))


def test_lines_are_found_when_not_given(star, obs):
    master, _ = star
    r = measure(obs, master)
    assert abs(r.rv - RV) < 4.0 * r.rv_err


def test_scan_finds_a_large_velocity(star):
    master, lines = star
    o = observe(master, -87000.0, 25000.0, 100.0, np.random.default_rng(1))
    r = measure(o, master, lines)
    assert abs(r.extra["rv_guess"] + 87000.0) < 1000.0
    assert abs(r.rv + 87000.0) < 4.0 * r.rv_err


def test_one_pass_with_a_guess_fits_each_window_once(star, obs, monkeypatch):
    master, lines = star
    calls = []
    real = m._fit_windows

    def counting(*args):
        calls.append(np.size(args[6]))
        return real(*args)

    def no_scan(*args):
        raise AssertionError("scanned despite rv_guess")

    monkeypatch.setattr(m, "_fit_windows", counting)
    monkeypatch.setattr(quasmir, "get_RV_line_by_line", no_scan)
    r = measure(obs, master, lines, rv_guess=RV + 300.0, max_passes=1)
    assert len(calls) == 1 and calls[0] == r.n_used
    assert r.n_passes == 1 and r.extra["history"] == [r.rv]


def test_berv_moves_the_spectrum_to_the_barycentre(star):
    master, lines = star
    rng = np.random.default_rng(3)
    a = observe(master, RV, 29000.0, 300.0, rng)
    b = observe(master, RV, -29000.0, 300.0, rng)
    ra, rb = (measure(s, master, lines) for s in (a, b))
    assert abs(ra.rv - rb.rv) < 4.0 * np.hypot(ra.rv_err, rb.rv_err)
    # Without the BERV the spectrum is 29 km/s away.
    r0 = measure(a, master, lines, berv=0.0)
    assert abs(r0.rv - (RV - 29000.0)) < 50.0


def test_bad_windows_are_dropped_and_counted(star, obs):
    master, lines = star
    spec = Spectrum(obs.wave.copy(), obs.flux.copy(), obs.flux_err.copy(),
                    berv=obs.berv)
    ref = measure(spec, master, lines, rv_guess=RV)
    spec.flux[[500, 1500]] = np.nan
    spec.flux_err[1900] = 0.0
    r = measure(spec, master, lines, rv_guess=RV)
    reasons = list(r.lines["reason"])
    assert reasons.count("nan pixel") == 3
    assert r.n_dropped == ref.n_dropped + 3
    assert r.n_used == ref.n_used - 3
    assert abs(r.rv - ref.rv) < 0.5 * r.rv_err
    assert r.extra["dropped"]["nan pixel"] == 3


def test_masked_pixels_count_as_bad(star, obs):
    master, lines = star
    flux = np.ma.masked_array(obs.flux, mask=np.zeros(obs.flux.size, bool))
    flux.mask[[300, 1200]] = True
    r = measure((obs.wave, flux, obs.flux_err), master, lines, rv_guess=RV,
                berv=obs.berv)
    assert r.extra["dropped"] == {"nan pixel": 2}


def test_windows_beyond_the_master_are_dropped(star, obs):
    master, lines = star
    # A master that stops in the middle of the spectrum.
    cut = master.wave < 5020.0
    half = Spectrum(master.wave[cut], master.flux[cut],
                    master.flux_err[cut])
    r = measure(obs, half, lines, rv_guess=RV)
    dropped = r.lines[r.lines["reason"] == "outside master"]
    assert len(dropped) >= 1
    assert np.all(dropped["wave_end"] > 5019.0)
    assert abs(r.rv - RV) < 4.0 * r.rv_err
    # Master points that are NaN drop the windows that need them.
    holes = master.flux.copy()
    holes[(master.wave > 5010.0) & (master.wave < 5010.05)] = np.nan
    r = measure(obs, Spectrum(master.wave, holes, master.flux_err), lines,
                rv_guess=RV)
    assert list(r.lines["reason"]).count("master not finite") >= 1


def test_mask_drops_windows(star, obs):
    master, lines = star
    r = measure(obs, master, lines, rv_guess=RV,
                mask=[[5010.0, 5012.0], [5030.0, 5030.1]])
    t = r.lines[r.lines["reason"] == "masked"]
    assert len(t) >= 6
    assert r.extra["dropped"]["masked"] == len(t)


def test_echelle_orders_are_measured_and_combined(star, obs):
    master, lines = star
    # Three overlapping orders of 700 pixels cut from one spectrum.
    starts = [100, 700, 1300]
    take = np.array([np.arange(s, s + 700) for s in starts])
    ech = Spectrum(obs.wave[take], obs.flux[take], obs.flux_err[take],
                   berv=obs.berv)
    r = measure(ech, master, lines, rv_guess=RV)
    t = r.lines
    assert set(t["order"]) == {0, 1, 2}
    for o in range(3):
        rows = t[t["order"] == o]
        assert rows["pix_start"][0] == 0 and rows["pix_stop"][-1] == 700
    # Lines in the overlaps are measured in both orders.
    assert len(set(t["line"][t["order"] == 0])
               & set(t["line"][t["order"] == 1])) >= 1
    assert abs(r.rv - RV) < 4.0 * r.rv_err
    one = Spectrum(obs.wave[100:2000], obs.flux[100:2000],
                   obs.flux_err[100:2000], berv=obs.berv)
    r1 = measure(one, master, lines, rv_guess=RV)
    assert r.rv_err == pytest.approx(r1.rv_err, rel=0.1)


def test_specutils_spectra(star, obs):
    specutils = pytest.importorskip("specutils")
    import astropy.units as u
    from astropy.nddata import InverseVariance, StdDevUncertainty

    master, lines = star
    cls = getattr(specutils, "Spectrum", None) or specutils.Spectrum1D
    spec = cls(spectral_axis=obs.wave / 10.0 * u.nm,
               flux=obs.flux * u.Jy,
               uncertainty=InverseVariance(obs.flux_err ** -2.0 / u.Jy**2))
    tmpl = cls(spectral_axis=master.wave * u.AA,
               flux=master.flux * u.Jy,
               uncertainty=StdDevUncertainty(np.ones_like(master.wave)))
    ref = measure(obs, master, lines, rv_guess=RV, berv=obs.berv)
    r = measure(spec, tmpl, lines, rv_guess=RV, berv=obs.berv)
    assert r.rv == pytest.approx(ref.rv, abs=1e-6)
    assert r.rv_err == pytest.approx(ref.rv_err, rel=1e-6)


def test_master_as_arrays(star, obs):
    master, lines = star
    ref = measure(obs, master, lines, rv_guess=RV)
    for tmpl in [(master.wave, master.flux),
                 {"Wavelength": master.wave, "FLUX": master.flux}]:
        r = measure(obs, tmpl, lines, rv_guess=RV)
        assert r.rv == ref.rv


def test_coarse_master_is_resampled(star, obs):
    master, lines = star
    coarse = Spectrum(master.wave[::10], master.flux[::10],
                      master.flux_err[::10])
    r = measure(obs, coarse, lines, rv_guess=RV)
    assert r.extra["master_resampled"]
    assert abs(r.rv - RV) < 4.0 * r.rv_err
    fine = measure(obs, master, lines, rv_guess=RV)
    assert not fine.extra["master_resampled"]


def test_threads_share_the_quiet_stdout(star, obs, capfd):
    master, lines = star
    want = measure(obs, master, lines, estimator="second", rv_guess=RV).rv
    got = []

    def run():
        got.append(measure(obs, master, lines, estimator="second",
                           rv_guess=RV).rv)

    threads = [threading.Thread(target=run) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [want] * 3
    print("still here")
    assert capfd.readouterr().out == "still here\n"


def spectrum_with(obs, **change):
    fields = dict(wave=obs.wave.copy(), flux=obs.flux.copy(),
                  flux_err=obs.flux_err.copy(), berv=obs.berv)
    fields.update(change)
    return Spectrum(**fields)


def swapped(obs):
    w = obs.wave.copy()
    w[120], w[121] = w[121], w[120]
    return spectrum_with(obs, wave=w)


def nan_wave(obs):
    w = obs.wave.copy()
    w[77] = np.nan
    return spectrum_with(obs, wave=w)


def echelle_swapped(obs):
    take = np.arange(2100).reshape(3, 700)
    w = obs.wave[take].copy()
    w[2, 500] = w[2, 498]
    return Spectrum(w, obs.flux[take], obs.flux_err[take])


@pytest.mark.parametrize(
    ("make", "kwargs", "message"),
    [
        (swapped, {}, "spectrum wavelengths are not ascending (pixel 121)"),
        (nan_wave, {}, "spectrum wavelengths are not finite (pixel 77)"),
        (echelle_swapped, {},
         "spectrum wavelengths are not ascending (order 2, pixel 500)"),
        (lambda o: spectrum_with(o, wave=o.wave + 1000.0), {},
         "lies outside the master"),
        (lambda o: spectrum_with(o, flux=o.flux[:-1]), {},
         "spectrum arrays must be 1-D or 2-D"),
        (lambda o: (o.wave, o.flux), {}, "spectrum has no flux errors"),
        (lambda o: 42, {}, "spectrum must be a Spectrum"),
        (lambda o: o, {"estimator": "third"}, "unknown estimator 'third'"),
        (lambda o: o, {"lines": []}, "lines is empty"),
        (lambda o: o, {"max_passes": 0}, "max_passes must be"),
        (lambda o: o, {"max_passes": "two"}, "max_passes must be"),
        (lambda o: o, {"tellurics": "sometimes"}, "tellurics must be"),
        (lambda o: o, {"sys_err": -1.0}, "sys_err must be"),
        (lambda o: o, {"rv_guess": np.nan}, "rv_guess must be finite"),
        (lambda o: o, {"resample": 2.5}, "resample must be"),
        (lambda o: o, {"mask": [[1.0, 2.0, 3.0]]}, "mask must be"),
        (lambda o: o, {"min_pixels": 2}, "min_pixels must be"),
    ],
    ids=["ascending", "finite", "echelle-order", "outside", "shapes",
         "no-errors", "type", "estimator", "empty-lines", "passes",
         "passes-text", "scan-lines", "sys-err", "guess", "resample",
         "mask", "min-pixels"],
)
def test_bad_input_raises_one_line(star, obs, make, kwargs, message):
    master, lines = star
    kwargs = {"lines": lines, **kwargs}
    with pytest.raises(InputError) as info:
        measure(make(obs), master, **kwargs)
    text = str(info.value)
    assert text.startswith("measure: ") and "\n" not in text
    assert message in text


def test_bad_master_raises(star, obs):
    master, lines = star
    w = master.wave.copy()
    w[10] = w[9]
    with pytest.raises(InputError, match=r"^measure: master wavelengths are "
                                         r"not ascending \(pixel 10\)"):
        measure(obs, (w, master.flux), lines)
    with pytest.raises(InputError, match="^measure: master must be one-"):
        measure(obs, (np.ones((2, 5)), np.ones((2, 5))), lines)


def test_no_measurable_line_raises(star, obs):
    master, lines = star
    spec = spectrum_with(obs, flux=np.full_like(obs.flux, np.nan))
    with pytest.raises(InputError, match="no line could be measured .*nan"):
        measure(spec, master, lines, rv_guess=RV)


@pytest.mark.parametrize("estimator", ["first", "offset", "second"])
def test_one_pass_from_a_given_guess(star, obs, monkeypatch, estimator):
    # rv_guess with max_passes=1: no scan, every window fitted exactly once
    # at the guess (what a timing of one pass relies on).
    master, lines = star

    def no_scan(*args, **kwargs):
        raise AssertionError("scanned despite rv_guess")

    calls = []
    fit = m._fit_windows

    def counted(*args):
        calls.append(np.asarray(args[11]).copy())  # rv_shift per window
        return fit(*args)

    monkeypatch.setattr(m, "ccf_guess", no_scan)
    monkeypatch.setattr(quasmir, "get_RV_line_by_line", no_scan)
    monkeypatch.setattr(m, "_fit_windows", counted)
    r = measure(obs, master, lines, rv_guess=RV + 50.0, max_passes=1,
                estimator=estimator)
    assert r.n_passes == 1 and len(r.extra["history"]) == 1
    assert r.extra["guess_source"] == "given"
    assert len(calls) == 1 and np.all(calls[0] == RV + 50.0)
    assert calls[0].size == r.n_used + r.extra["dropped"].get(
        "fit failed", 0)


def test_master_flux_near_the_largest_double(star, obs):
    # The resampling spline of such a master overflows: its points are
    # NaN and the windows are dropped, not a scipy error.
    master, lines = star
    coarse = Spectrum(wave=master.wave[::40].copy(),
                      flux=master.flux[::40].copy(),
                      flux_err=master.flux_err[::40].copy())
    coarse.flux[0] = np.finfo(float).max
    with pytest.raises(InputError, match="no line could be measured .*"
                       "master not finite"):
        measure(obs, coarse, lines, rv_guess=RV)
    wave, flux = m.resample_master(coarse.wave, coarse.flux, 1e-6)
    assert np.isnan(flux).all() and np.isfinite(wave).all()


def test_resampled_master_is_reused_only_for_the_same_content(star, obs):
    master, lines = star
    wave = master.wave[::10].copy()
    flux = master.flux[::10].copy()
    coarse = Spectrum(wave, flux, np.zeros_like(wave))
    first = measure(obs, coarse, lines, rv_guess=RV)
    again = measure(obs, coarse, lines, rv_guess=RV)
    assert first.extra["master_resampled"]
    assert again.rv == first.rv
    np.testing.assert_array_equal(again.lines["rv"], first.lines["rv"])
    # The same master changed in place is resampled anew.
    flux *= 1.0 + 0.02 * np.sin(wave)
    changed = measure(obs, coarse, lines, rv_guess=RV)
    assert changed.rv != first.rv
    fresh = measure(obs, Spectrum(wave.copy(), flux.copy(), flux * 0.0),
                    lines, rv_guess=RV)
    assert fresh.rv == changed.rv
    grid, out, _ = m._resampled_master(wave, flux, 1e-6, wave[0], wave[-1])
    assert not grid.flags.writeable and not out.flags.writeable


def test_threads_starting_on_one_master_resample_it_once(star, obs,
                                                          monkeypatch):
    """Every thread of a run starts on the same coarse master: one
    resamples it, the others wait and take the result."""
    master, lines = star
    wave = master.wave[::10].copy()
    flux = master.flux[::10].copy() * (1.0 + 1e-9)  # a key of its own
    coarse = Spectrum(wave, flux, np.zeros_like(wave))
    made = []
    slow = m.resample_master

    def counted(*args, **kwargs):
        made.append(1)
        return slow(*args, **kwargs)

    monkeypatch.setattr(m, "resample_master", counted)
    results = [None] * 4
    go = threading.Barrier(4)

    def run(i):
        go.wait()
        results[i] = measure(obs, coarse, lines, rv_guess=RV).rv

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(made) == 1
    assert len(set(results)) == 1 and results[0] is not None


def test_a_failed_resampling_leaves_nothing_behind(star, obs, monkeypatch):
    master, lines = star
    wave = master.wave[::10].copy()
    flux = master.flux[::10].copy() * (1.0 + 2e-9)  # a key of its own
    coarse = Spectrum(wave, flux, np.zeros_like(wave))

    def broken(*args, **kwargs):
        raise MemoryError("no room for the resampled master")

    monkeypatch.setattr(m, "resample_master", broken)
    with pytest.raises(MemoryError):
        measure(obs, coarse, lines, rv_guess=RV)
    assert not m._RESAMPLING
    monkeypatch.undo()
    assert measure(obs, coarse, lines, rv_guess=RV).extra["master_resampled"]


def test_window_edges_are_kept_per_line_list(star, obs):
    """The edges of a line list are computed once for equal lists, read
    only, and anew for a list changed in place."""
    master, lines = star
    first = m._window_edges(lines, 30000.0, 100.0)
    again = m._window_edges(type(lines)(*(np.array(a, copy=True) for a in (
        lines.centre, lines.start, lines.end, lines.weight))),
        30000.0, 100.0)
    assert all(a is b for a, b in zip(first, again))
    assert not any(a.flags.writeable for a in first)
    wider = m._window_edges(lines, 30000.0, 200.0)
    assert wider[0] is not first[0]
    from quasmir_tool.lines import window_edges
    for a, b in zip(first, window_edges(lines, 30000.0, 100.0)):
        np.testing.assert_array_equal(a, b)


def test_a_text_spectrum_needs_neither_fits_nor_time(tmp_path):
    """Reading a spectrum file that is not FITS and has no date imports
    neither astropy.io.fits nor astropy.time, which take most of a short
    run's start-up."""
    import subprocess
    import sys

    path = tmp_path / "s.npz"
    np.savez(path, wave=np.linspace(5000.0, 5010.0, 50),
             flux=np.ones(50), flux_err=np.full(50, 0.01))
    code = ("import sys; from quasmir_tool import read_spectrum; "
            f"read_spectrum({str(path)!r}); "
            "print(sorted(m for m in ('astropy.io.fits', 'astropy.time') "
            "if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True).stdout
    assert out.strip() == "[]"
