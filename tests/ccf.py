"""An independent velocity for real files: a binary-mask cross-correlation.

The way the HARPS pipeline measures velocities, written out plainly: a
box of fixed velocity width around every line of a mask (the HARPS K2
mask: air wavelengths and weights), the flux integrated over each box at
each trial velocity (pixels cut fractionally at the box's edges), the
weighted sum of the boxes as the cross-correlation function, and a
Gaussian fitted to its dip.  It shares no code with the tool: the tests
compare the tool's velocities with these.
"""

import numpy as np
from astropy.io import fits
from scipy.optimize import curve_fit

C_KMS = 299792.458
BOX_KMS = 0.82  # full width of a mask hole (the HARPS masks' usual width)


def read_mask(path):
    """Line wavelengths (air, angstrom) and weights of a mask file."""
    with fits.open(path) as hdus:
        data = hdus[1].data
        return (np.asarray(data["lambda"], dtype=float),
                np.asarray(data["contrast"], dtype=float))


def _box_sums(edges, cum, lo, hi):
    """Flux integrated over wavelength boxes [lo, hi] (fractional pixels).

    `edges` are the pixel boundaries, `cum` the flux summed up to each.
    """
    return np.interp(hi, edges, cum) - np.interp(lo, edges, cum)


def ccf(wave, flux, mask_wave, mask_weight, velocities, bad=None):
    """The cross-correlation function of a 1-D spectrum with a mask.

    Parameters
    ----------
    wave, flux : numpy.ndarray
        Spectrum (angstrom, ascending; flux).  Pixels flagged by `bad`
        (or with non-finite or zero flux) take no part: every line whose
        boxes would reach one, at any trial, is left out.
    mask_wave, mask_weight : numpy.ndarray
        The mask.
    velocities : numpy.ndarray
        Trial velocities (km/s).

    Returns
    -------
    numpy.ndarray
        The CCF at each trial velocity.
    """
    wave = np.asarray(wave, float)
    flux = np.asarray(flux, float)
    bad_pix = ~np.isfinite(flux) | (flux == 0.0)
    if bad is not None:
        bad_pix |= np.asarray(bad, bool)
    f = np.where(bad_pix, 0.0, flux)
    mid = 0.5 * (wave[1:] + wave[:-1])
    edges = np.concatenate(([wave[0] - (mid[0] - wave[0])], mid,
                            [wave[-1] + (wave[-1] - mid[-1])]))
    cum = np.concatenate(([0.0], np.cumsum(f)))
    half = 0.5 * BOX_KMS / C_KMS
    vmin, vmax = velocities.min() / C_KMS, velocities.max() / C_KMS
    lo_all = mask_wave * (1 + vmin) * (1 - half)
    hi_all = mask_wave * (1 + vmax) * (1 + half)
    inside = (lo_all > edges[0]) & (hi_all < edges[-1])
    bad_cum = np.concatenate(([0], np.cumsum(bad_pix)))
    i0 = np.searchsorted(edges, lo_all, side="right") - 1
    i1 = np.searchsorted(edges, hi_all, side="left")
    i0 = np.clip(i0, 0, bad_cum.size - 1)
    i1 = np.clip(i1, 0, bad_cum.size - 1)
    clean = inside & (bad_cum[i1] - bad_cum[i0] == 0)
    lw, ww = mask_wave[clean], mask_weight[clean]
    shift = 1.0 + velocities[:, None] / C_KMS
    centre = lw[None, :] * shift
    sums = _box_sums(edges, cum, centre * (1 - half), centre * (1 + half))
    return sums @ ww


def _gauss(v, c, a, v0, s):
    return c - a * np.exp(-0.5 * ((v - v0) / s) ** 2)


def ccf_velocity(wave, flux, mask_wave, mask_weight, guess=0.0,
                 width=20.0, step=0.25, bad=None):
    """Velocity (m/s) of a spectrum from a Gaussian fit to its CCF.

    A coarse pass over +-200 km/s finds the dip; the fit covers
    ``guess +- width`` km/s around it at `step` km/s.
    """
    coarse = np.arange(-200.0, 200.0 + 1e-9, 1.0)
    c = ccf(wave, flux, mask_wave, mask_weight, coarse, bad)
    centre = coarse[int(np.argmin(c))]
    v = np.arange(centre - width, centre + width + 1e-9, step)
    c = ccf(wave, flux, mask_wave, mask_weight, v, bad)
    p0 = [np.max(c), np.max(c) - np.min(c), v[int(np.argmin(c))], 3.0]
    popt, _ = curve_fit(_gauss, v, c, p0=p0, maxfev=20000)
    return popt[2] * 1000.0


def within_night_scatter(times, rv):
    """Scatter (m/s) of velocities about their night's mean, pooled.

    Nights are whole days of BJD (the day changes at noon UTC, in the
    day-time of observatories in Chile and the Canaries).
    """
    times = np.asarray(times, float)
    rv = np.asarray(rv, float)
    night = np.floor(times)
    resid, groups = [], 0
    for n in np.unique(night):
        sel = night == n
        if sel.sum() < 2:
            continue
        groups += 1
        resid.append(rv[sel] - rv[sel].mean())
    resid = np.concatenate(resid)
    return float(np.sqrt(np.sum(resid**2) / (resid.size - groups)))
