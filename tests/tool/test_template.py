"""Masters built from the observations: the co-addition against the
noiseless star, outliers rejected, the reduction's exact arithmetic, the
FITS file read back as a master, and the accuracy of velocities measured
against a master built from the same spectra."""

import numpy as np
import pytest
from astropy.io import fits

from quasmir_tool import measure, read_spectrum
from quasmir_tool.cli import main
from quasmir_tool.errors import InputError
from quasmir_tool.example import fit_semi_amplitude, make_example
from quasmir_tool.synthetic import (
    make_star,
    model_at,
    observe,
    star_flux,
)
from quasmir_tool.template import (
    SerialExecutor,
    build_template,
    make_template,
    read_template,
    rest_wavelength,
    tree_reduce,
    write_template,
)

SHORT = (5000.0, 5030.0)


def blazed(spectrum, rng):
    """The spectrum times a smooth blaze and a flux scale of its own."""
    x = (spectrum.wave - spectrum.wave.mean()) / np.ptp(spectrum.wave)
    blaze = rng.uniform(300.0, 3000.0) * (
        1.0 + 0.3 * x - 0.4 * x**2 + rng.normal(0.0, 0.05) * x
    )
    spectrum.flux = spectrum.flux * blaze
    spectrum.flux_err = spectrum.flux_err * blaze
    return spectrum


def write_fits(path, spectrum):
    header = fits.Header()
    header["BERV"] = spectrum.berv / 1000.0
    header["MJD-OBS"] = spectrum.time
    columns = [
        fits.Column(name=name, array=values, format="D")
        for name, values in (
            ("wavelength", spectrum.wave),
            ("flux", spectrum.flux),
            ("error", spectrum.flux_err),
        )
    ]
    fits.HDUList(
        [fits.PrimaryHDU(header=header),
         fits.BinTableHDU.from_columns(columns)]
    ).writeto(path)


@pytest.fixture(scope="module")
def short():
    """Six short blazed observations with known velocities and BERVs."""
    star, lines = make_star(seed=11, wave_range=SHORT)
    rng = np.random.default_rng(12)
    rv = rng.normal(0.0, 30.0, 6)
    berv = np.linspace(-30000.0, 30000.0, 6)
    spectra = [
        blazed(observe(star, v, b, 150.0, rng, time=float(i)), rng)
        for i, (v, b) in enumerate(zip(rv, berv))
    ]
    for i, s in enumerate(spectra):
        s.path = f"obs{i}"
    return star, lines, spectra, rv


def noiseless_ratio(template, lines, enough):
    """Template over the noiseless star where `enough` spectra add up."""
    covered = template.n_spectra >= enough
    truth = star_flux(lines, template.wave[covered])
    ratio = template.flux[covered] / truth
    return ratio / np.median(ratio), template.flux_err[covered]


def test_rest_wavelength_undoes_the_observation(short):
    star, lines, spectra, rv = short
    s = spectra[0]
    model = model_at(star, s.wave, rv[0], s.berv)
    rest = rest_wavelength(s.wave, s.berv, rv[0])
    assert np.allclose(model, star_flux(lines, rest), rtol=0, atol=1e-6)


def test_coadded_master_follows_the_star(short):
    _, lines, spectra, rv = short
    template = build_template(spectra, rv)
    # A grid a third of the finest pixel step, uniform in ln wave.
    step = np.diff(np.log(template.wave))
    pixel = np.min(np.diff(np.log(spectra[0].wave)))
    assert np.ptp(step) < 1e-12
    assert step[0] == pytest.approx(pixel / 3, rel=1e-9)
    assert template.n_spectra.max() == len(spectra)
    ratio, err = noiseless_ratio(template, lines, len(spectra))
    resid = ratio - 1.0
    # The blaze and flux scale are gone: no trend left across the range.
    assert abs(np.polyfit(np.arange(resid.size), resid, 1)[0]) * (
        resid.size
    ) < 3e-3
    # What is left is noise, at the level the errors give.
    assert np.std(resid) == pytest.approx(np.median(err), rel=0.3)
    assert np.std(resid) < 1.5 / 150.0 / np.sqrt(len(spectra))


@pytest.mark.parametrize("kind", ["cosmic ray", "telluric line"])
def test_outliers_are_rejected(short, kind):
    _, lines, spectra, rv = short
    spoilt = [s for s in spectra]
    victim = spectra[2]
    bad = type(victim)(**vars(victim))
    bad.flux = victim.flux.copy()
    centre = victim.wave.size // 2
    if kind == "cosmic ray":
        # A few pixels, far above the noise.
        bad.flux[centre:centre + 2] *= 1.8
    else:
        # A deep line fixed in the observer's frame, in one spectrum
        # only at this place of the star's frame.
        x = victim.wave - victim.wave[centre]
        bad.flux = bad.flux * (1.0 - 0.4 * np.exp(-0.5 * (x / 0.03) ** 2))
    spoilt[2] = bad
    clean = build_template(spectra, rv)
    template = build_template(spoilt, rv, grid=clean.wave)
    where = rest_wavelength(victim.wave[centre], victim.berv, rv[2])
    near = np.abs(template.wave - where) < 0.1
    # The outlier is left out there and nowhere else much.
    assert np.all(template.n_spectra[near] <= clean.n_spectra[near])
    assert np.any(template.n_spectra[near] < clean.n_spectra[near])
    dev = np.abs(template.flux[near] - clean.flux[near])
    assert np.max(dev) < 4.0 * np.max(clean.flux_err[near])
    # Without rejection the outlier would be plain to see.
    loose = build_template(spoilt, rv, grid=clean.wave, kappa=1e9)
    assert np.max(np.abs(loose.flux[near] - clean.flux[near])) > 3 * (
        np.max(dev)
    )


class ReversedExecutor(SerialExecutor):
    """Computes the chunks last to first but adds them in the tree's
    order, as a cluster whose workers finish in any order would."""

    def map(self, func, items, **shared):
        return [func(i, **shared) for i in list(items)[::-1]][::-1]


@pytest.mark.parametrize("chunk_size", [1, 2, 4])
def test_reduction_is_exact_whatever_computes_it(short, chunk_size):
    _, _, spectra, rv = short
    serial = build_template(spectra, rv, chunk_size=chunk_size)
    other = build_template(
        spectra, rv, chunk_size=chunk_size, executor=ReversedExecutor()
    )
    for name in ("flux", "flux_err", "n_spectra"):
        assert getattr(serial, name).tobytes() == getattr(
            other, name
        ).tobytes()
    # Another chunking adds in another order: equal to rounding only.
    ref = build_template(spectra, rv, chunk_size=len(spectra))
    ok = np.isfinite(ref.flux)
    assert np.allclose(serial.flux[ok], ref.flux[ok], rtol=1e-12)


def test_tree_reduce_order():
    assert tree_reduce(list("abcde"), lambda a, b: f"({a}{b})") == (
        "(((ab)(cd))e)"
    )
    with pytest.raises(ValueError):
        tree_reduce([], lambda a, b: a)


def test_written_master_is_read_as_a_master(short, tmp_path):
    _, lines, spectra, rv = short
    template = build_template(spectra, rv)
    path = tmp_path / "master.fits"
    write_template(template, path)
    with fits.open(path) as hdus:
        # Compact: the wavelengths of the log grid are in the header.
        assert hdus["TEMPLATE"].columns.names == [
            "flux", "error", "n_spectra"
        ]
        assert hdus["TEMPLATE"].columns["flux"].format == "E"
    master = read_spectrum(path, need_errors=False)
    assert master.profile == "quasmir-template"
    assert master.frame == "barycentric"
    idx = np.flatnonzero(np.isfinite(template.flux))
    covered = slice(idx[0], idx[-1] + 1)
    # The grid comes back bit for bit, the flux to float32.
    assert np.array_equal(master.wave, template.wave[covered])
    assert np.array_equal(
        master.flux, template.flux[covered].astype(np.float32),
        equal_nan=True,
    )
    back = read_template(path)
    assert np.array_equal(back.n_spectra, template.n_spectra[covered])
    assert np.array_equal(back.rv, rv)
    # And it measures: a velocity comes back near the truth.
    result = measure(spectra[4], master)
    assert abs(result.rv - rv[4]) < 5 * result.rv_err + 5.0


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s, v: make_template([]), "no spectra"),
        (lambda s, v: make_template(s, iterations=0), "iterations"),
        (lambda s, v: build_template(s, v[:-1]), "velocities"),
        (lambda s, v: build_template(s, v, oversample=1.0), "oversample"),
        (lambda s, v: build_template(s, v, passes=0), "passes"),
        (lambda s, v: build_template(s, v, chunk_size=0), "chunk_size"),
        (lambda s, v: build_template(s, np.full(v.size, np.nan)),
         "no spectrum"),
    ],
)
def test_bad_input(short, call, message):
    _, _, spectra, rv = short
    with pytest.raises(InputError, match=message):
        call(spectra, rv)


# --------------------------------------------------------------------------
# The example's archive: 20 observations over 30 days, a planet of
# 10 m/s, BERV through +-30 km/s, signal-to-noise 100


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """The example's 20 observations (files) and a master built from
    them."""
    example = make_example(str(tmp_path_factory.mktemp("example")))
    read = {"berv_key": "BERV", "berv_unit": "km/s"}
    template = make_template(example.files, iterations=2, read_options=read)
    return example, read, template


def test_self_built_master_reaches_the_photon_limit(archive):
    example, read, template = archive
    master = template.spectrum()
    results = [measure(read_spectrum(f, **read), master)
               for f in example.files]
    measured = np.array([r.rv for r in results])
    err = np.array([r.rv_err for r in results])
    # A master built from the data has no absolute zero point.
    dev = measured - example.rv
    dev -= np.average(dev, weights=err**-2)
    limit = np.sqrt(np.mean(np.square(example.limit)))
    assert np.std(dev, ddof=1) < 1.3 * limit
    assert np.std(dev / err, ddof=1) < 1.5
    # The planet.
    k, k_err = fit_semi_amplitude(example.time, measured, err,
                                  example.period)
    assert abs(k - example.k) < 3.0 * k_err


def test_iterations_improve_the_velocities(archive):
    example, _, template = archive
    assert len(template.rv_history) == 2
    spread = [
        np.std(h - example.rv - np.mean(h - example.rv))
        for h in template.rv_history
    ]
    # Against one observation, then against the co-added master.
    assert spread[1] < 0.6 * spread[0]
    assert template.failed == []


def test_template_command(short, tmp_path, capsys):
    _, _, spectra, rv = short
    paths = []
    for i, s in enumerate(spectra[:4]):
        path = tmp_path / f"obs{i}.fits"
        write_fits(path, s)
        paths.append(str(path))
    out = tmp_path / "master.fits"
    status = main(["template", *paths, "-o", str(out), "--berv-key",
                   "BERV", "--iterations", "1", "--quiet"])
    assert status == 0
    master = read_spectrum(out, need_errors=False)
    assert master.flux.size > 1000
    back = read_template(out)
    # Velocities relative to the highest signal-to-noise observation.
    dev = back.rv - rv[:4]
    assert np.ptp(dev) < 20.0
    assert main(["measure", *paths, "--master", str(out), "--berv-key",
                 "BERV", "--quiet"]) == 0
    assert "rv_err" in capsys.readouterr().out


def test_echelle_orders_are_coadded(short):
    _, lines, spectra, rv = short
    orders = []
    for s in spectra:
        # Two orders overlapping by a fifth of their length.
        n = s.wave.size
        cut = [slice(0, 3 * n // 5), slice(2 * n // 5, n)]
        size = min(c.stop - c.start for c in cut)
        pick = [slice(c.start, c.start + size) for c in cut]
        orders.append(type(s)(
            wave=np.stack([s.wave[p] for p in pick]),
            flux=np.stack([s.flux[p] for p in pick]),
            flux_err=np.stack([s.flux_err[p] for p in pick]),
            berv=s.berv,
        ))
    template = build_template(orders, rv)
    # The overlap counts each order of each spectrum.
    assert template.n_spectra.max() == 2 * len(spectra)
    ratio, _ = noiseless_ratio(template, lines, len(spectra))
    assert np.std(ratio - 1.0) < 1.5 / 150.0 / np.sqrt(len(spectra))


def test_given_master_sets_the_zero_point(short):
    star, _, spectra, rv = short
    template = make_template(spectra, master=star, iterations=1)
    # The first velocities come from the true master: no offset beyond
    # the errors (about 2.2 m/s each), where the highest signal-to-noise
    # observation would have set the zero point at its own velocity.
    dev = template.rv - rv
    assert np.all(np.abs(dev) < 10.0)
    assert abs(np.mean(dev)) < 5.0
    assert np.std(rv) > 15.0


def test_a_spectrum_that_cannot_be_measured_is_left_out(short):
    _, _, spectra, rv = short
    star, _ = make_star(seed=13, wave_range=(5600.0, 5620.0))
    stranger = observe(star, 0.0, 0.0, 150.0, np.random.default_rng(1))
    stranger.path = "elsewhere"
    template = make_template(spectra[:3] + [stranger], iterations=1)
    assert [name for name, _ in template.failed] == ["elsewhere"]
    assert np.isnan(template.rv[3]) and np.all(np.isfinite(template.rv[:3]))
    assert template.n_spectra.max() == 3


def test_template_command_leaves_out_a_bad_file(short, tmp_path, capsys):
    _, _, spectra, _ = short
    paths = []
    for i, s in enumerate(spectra[:3]):
        path = tmp_path / f"obs{i}.fits"
        write_fits(path, s)
        paths.append(str(path))
    broken = tmp_path / "broken.fits"
    broken.write_bytes(b"SIMPLE  = broken")
    paths.insert(1, str(broken))
    out = tmp_path / "master.fits"
    status = main(["template", *paths, "-o", str(out), "--berv-key",
                   "BERV", "--iterations", "1", "--quiet"])
    assert status == 1
    err = capsys.readouterr().err
    assert "broken.fits" in err and "Traceback" not in err
    back = read_template(out)
    assert np.isnan(back.rv[1]) and np.all(np.isfinite(back.rv[[0, 2, 3]]))
    assert back.n_spectra.max() == 3


def test_template_command_without_any_good_file(tmp_path, capsys):
    broken = tmp_path / "broken.fits"
    broken.write_bytes(b"SIMPLE  = broken")
    status = main(["template", str(broken), "-o", str(tmp_path / "m.fits")])
    assert status != 0
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "broken.fits" in err[0]
    assert not (tmp_path / "m.fits").exists()


def test_mask_leaves_out_observed_intervals(short):
    _, _, spectra, rv = short
    victim = spectra[2]
    centre = victim.wave[victim.wave.size // 2]
    # A band fixed on the detector: every spectrum loses it, each at its
    # own place of the star's frame.
    band = np.array([[centre - 0.5, centre + 0.5]])
    clean = build_template(spectra, rv)
    masked = build_template(spectra, rv, grid=clean.wave, mask=band)
    lost = clean.n_spectra - masked.n_spectra
    assert lost.min() >= 0 and lost.max() == len(spectra)
    for s, v in zip(spectra, rv):
        where = rest_wavelength(centre, s.berv, v)
        near = np.abs(clean.wave - where) < 0.3
        assert np.all(lost[near] >= 1)


# --------------------------------------------------------------------------
# Real-file conditions: gaps, tellurics, bad pixels, echelle masters


@pytest.fixture(scope="module")
def long_range():
    """Four observations over 300 A (several continuum knots), each with a
    blaze that wiggles on a 100 A scale, which no single cubic follows."""
    star, lines = make_star(seed=21, wave_range=(5000.0, 5300.0))
    rng = np.random.default_rng(22)
    rv = np.array([0.0, 12.0, -7.0, 3.0])
    spectra = []
    for i, v in enumerate(rv):
        s = observe(star, v, 10000.0 * (i - 1.5), 200.0, rng)
        x = (s.wave - 5000.0) / 100.0
        blaze = 1000.0 * (1.0 + 0.4 * np.sin(2.0 * x + i)) * (1.0 + 0.1 * x)
        s.flux, s.flux_err = s.flux * blaze, s.flux_err * blaze
        spectra.append(s)
    return star, lines, spectra, rv


def _gapped(spectrum, lo, hi, how):
    s = type(spectrum)(**{**spectrum.__dict__})
    s.flux = spectrum.flux.copy()
    s.bad = np.zeros(s.flux.size, dtype=bool)
    gap = (s.wave > lo) & (s.wave < hi)
    if how == "zeros":  # a CCD gap the reader flagged
        s.flux[gap] = 0.0
        s.bad[gap] = True
    else:
        s.flux[gap] = np.nan
    return s


@pytest.mark.parametrize("how", ["zeros", "nan"])
def test_continuum_follows_a_wiggling_blaze_across_a_gap(long_range, how):
    _, lines, spectra, rv = long_range
    gapped = [_gapped(s, 5140.0, 5170.0, how) for s in spectra]
    template = build_template(gapped, rv)
    inside = (template.wave > 5142.0) & (template.wave < 5168.0)
    assert np.all(np.isnan(template.flux[inside]))
    ratio, err = noiseless_ratio(template, lines, len(spectra))
    resid = ratio - 1.0
    # Blaze and gap gone: the residual is the noise of the co-addition.
    assert np.std(resid) < 2.0 * np.median(err)
    assert np.max(np.abs(np.convolve(resid, np.ones(500) / 500, "valid"))) \
        < 2e-3


def test_tellurics_and_bad_pixels_stay_out_of_the_coadd(long_range):
    _, lines, spectra, rv = long_range
    band = (5080.0, 5081.0)  # fixed on the detector, observer frame
    dirty = []
    for i, s in enumerate(spectra):
        d = type(s)(**{**s.__dict__})
        observed = s.wave  # observer frame
        d.flux = np.where((observed > band[0]) & (observed < band[1]),
                          0.3 * s.flux, s.flux)
        d.bad = np.zeros(s.flux.size, dtype=bool)
        if i == 0:  # garbage the reader flagged
            d.bad[1000:1100] = True
            d.flux[1000:1100] = 1e6
        d.ground_based = True
        dirty.append(d)
    clean = build_template(spectra, rv)
    template = build_template(dirty, rv, grid=clean.wave,
                              tellurics=np.array([band]))
    ok = np.isfinite(template.flux) & np.isfinite(clean.flux)
    assert np.max(np.abs(template.flux[ok] - clean.flux[ok])) < 0.05
    # Without the telluric intervals the band leaves its mark.
    marked = build_template(dirty, rv, grid=clean.wave, tellurics=False)
    ok = np.isfinite(marked.flux) & np.isfinite(clean.flux)
    assert np.max(np.abs(marked.flux[ok] - clean.flux[ok])) > 0.1


def test_coverage_needs_half_the_spectra(long_range):
    _, _, spectra, rv = long_range
    template = build_template(spectra, rv)
    thin = template.n_spectra < 2
    assert thin.any() and np.all(np.isnan(template.flux[thin]))
    assert np.all(np.isfinite(template.flux[template.n_spectra >= 3]))


def _echelle(spectrum, n_orders=3, overlap=0.2, rng=None):
    """The spectrum cut into blazed orders that overlap."""
    n = spectrum.wave.size
    size = int(n / (n_orders - (n_orders - 1) * overlap))
    starts = [int(k * size * (1 - overlap)) for k in range(n_orders)]
    x = np.linspace(-1.0, 1.0, size)
    blaze = 5000.0 * np.exp(-0.5 * (x / 0.6) ** 2)
    pick = [slice(a, a + size) for a in starts]
    return type(spectrum)(
        wave=np.stack([spectrum.wave[p] for p in pick]),
        flux=np.stack([spectrum.flux[p] * blaze for p in pick]),
        flux_err=np.stack([spectrum.flux_err[p] * blaze for p in pick]),
        berv=spectrum.berv, frame="observer",
    )


def test_an_echelle_master_measures_like_its_1d_spectrum(long_range):
    from quasmir_tool.template import merge_orders

    star, _, spectra, rv = long_range
    rng = np.random.default_rng(5)
    master_1d = observe(star, 0.0, 4000.0, 400.0, rng)
    master_2d = _echelle(master_1d)
    merged = merge_orders(master_2d)
    assert merged.flux.ndim == 1 and np.all(np.diff(merged.wave) > 0)
    assert merged.frame == "barycentric"
    assert np.nanmedian(merged.flux) == pytest.approx(1.0, abs=0.05)
    for s, v in zip(spectra[:2], rv[:2]):
        with_1d = measure(s, master_1d)
        with_2d = measure(s, master_2d)
        assert with_2d.flag == ""
        assert abs(with_2d.rv - with_1d.rv) < 3.0 * with_1d.rv_err


@pytest.mark.parametrize("guess, status, message", [
    ("25", 0, None),
    ("nan", 1, "--rv-guess"),
    ("2e6", 1, "--rv-guess"),
])
def test_template_command_takes_a_first_guess(short, tmp_path, capsys,
                                              guess, status, message):
    _, _, spectra, _ = short
    paths = []
    for i, s in enumerate(spectra[:3]):
        path = tmp_path / f"obs{i}.fits"
        write_fits(path, s)
        paths.append(str(path))
    out = tmp_path / "master.fits"
    got = main(["template", *paths, "-o", str(out), "--berv-key", "BERV",
                "--iterations", "1", "--rv-guess", guess, "--quiet"])
    assert got == status
    err = capsys.readouterr().err
    if message is None:
        assert np.all(np.isfinite(read_template(out).rv))
    else:
        assert message in err and "Traceback" not in err
        assert not out.exists()


@pytest.mark.parametrize("n", [1, 2, 3, 5, 7, 8, 11, 34])
def test_serial_reduction_follows_the_tree_while_streaming(n):
    values = [str(i) for i in range(n)]

    def add(a, b):
        return f"({a}{b})"

    assert SerialExecutor().map_reduce(lambda v: v, values, add) == (
        tree_reduce(values, add))
