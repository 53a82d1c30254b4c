"""Line lists, line finding, masks and the windows that split a
spectrum's pixels between its lines."""

import re

import numpy as np
import pytest
from astropy.table import Table

from quasmir_tool import InputError
from quasmir_tool.lines import (
    C_LIGHT,
    doppler_factor,
    find_lines,
    make_line_list,
    make_windows,
    read_lines,
    read_mask,
    search_shifted,
    shift_wavelengths,
    window_edges,
)
from quasmir_tool.synthetic import log_grid, make_star

CENTRE = np.array([5001.0, 5003.5, 5002.2])
HALF = np.array([0.1, 0.2, 0.15])


def write(path, text):
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    ("name", "text"),
    [
        ("named.txt", "centre half_width\n"
         + "".join(f"{c} {h}\n" for c, h in zip(CENTRE, HALF))),
        ("named.csv", "# a comment\nWavelength,HW\n"
         + "".join(f"{c},{h}\n" for c, h in zip(CENTRE, HALF))),
        ("startend.txt", "start end\n"
         + "".join(f"{c - h} {c + h}\n" for c, h in zip(CENTRE, HALF))),
        ("positional_hw.txt",
         "".join(f"{c} {h}\n" for c, h in zip(CENTRE, HALF))),
        ("positional_se.txt",
         "".join(f"{c - h} {c + h}\n" for c, h in zip(CENTRE, HALF))),
    ],
    ids=["centre-hw", "csv-aliases", "start-end", "positional-hw",
         "positional-start-end"],
)
def test_read_lines_layouts(tmp_path, name, text):
    lines = read_lines(write(tmp_path / name, text))
    order = np.argsort(CENTRE)
    np.testing.assert_allclose(lines.centre, CENTRE[order], atol=1e-9)
    np.testing.assert_allclose(lines.start, (CENTRE - HALF)[order],
                               atol=1e-9)
    np.testing.assert_allclose(lines.end, (CENTRE + HALF)[order], atol=1e-9)
    np.testing.assert_array_equal(lines.weight, 1.0)


@pytest.mark.parametrize("fmt", ["txt", "fits"])
def test_read_ccf_mask(tmp_path, fmt):
    start, end, weight = CENTRE - HALF, CENTRE + HALF, np.array([.3, .9, .5])
    if fmt == "txt":
        path = write(tmp_path / "mask.txt", "".join(
            f"{a} {b} {w}\n" for a, b, w in zip(start, end, weight)))
    else:
        path = tmp_path / "mask.fits"
        Table({"ll": start, "lu": end, "contrast": weight}).write(path)
    lines = read_lines(path)
    order = np.argsort(CENTRE)
    np.testing.assert_allclose(lines.centre, CENTRE[order])
    np.testing.assert_allclose(lines.weight, weight[order])


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (None, "file not found"),
        ("", "cannot read"),
        ("centre depth\n5000.0 0.3\n", "needs columns"),
        ("start end\n5001.0 5000.0\n", "end before start (line 1)"),
        ("centre half_width\n5000.0 nan\n", "not finite"),
        ("start end\nabc def\n", "not numeric"),
    ],
    ids=["missing", "empty", "columns", "reversed", "nan", "text"],
)
def test_read_lines_errors(tmp_path, text, message):
    path = tmp_path / "lines.txt"
    if text is not None:
        path.write_text(text)
    pattern = f"^read_lines: .*{re.escape(message)}"
    with pytest.raises(InputError, match=pattern):
        read_lines(path)


def test_read_mask(tmp_path):
    mask = read_mask(write(tmp_path / "m.txt", "5010 5011\n5000 5000.5\n"))
    np.testing.assert_array_equal(mask, [[5000, 5000.5], [5010, 5011]])
    with pytest.raises(InputError, match="^read_mask: .*interval 1 ends"):
        read_mask(write(tmp_path / "bad.txt", "5001 5000\n"))
    with pytest.raises(InputError, match="^read_mask: file not found"):
        read_mask(tmp_path / "nothing.txt")


def test_find_lines_recovers_the_deep_lines():
    master, truth = make_star(3, wave_range=(5000.0, 5030.0))
    found = find_lines(master.wave, master.flux, threshold=0.1)
    # Every deep line far from other lines is found at its centre.
    deep = truth.depth > 0.3
    gap = np.diff(truth.centre)
    alone = np.r_[True, gap > 3 * truth.fwhm[1:]] & \
        np.r_[gap > 3 * truth.fwhm[:-1], True]
    for c in truth.centre[deep & alone]:
        k = np.argmin(np.abs(found.centre - c))
        assert abs(found.centre[k] - c) < 0.002  # 0.1 km/s
    assert np.all(found.weight >= 0.1)
    assert np.all(found.start <= found.centre)
    assert np.all(found.centre <= found.end)
    with pytest.raises(InputError, match="^find_lines: no line"):
        find_lines(master.wave, np.ones_like(master.wave))


def edges_of(centre, **kw):
    lines = make_line_list(np.asarray(centre, dtype=float))
    return window_edges(lines, **kw)


def test_windows_split_at_midpoints_and_never_overlap():
    rng = np.random.default_rng(1)
    centre = np.sort(rng.uniform(5000.0, 5020.0, 150))
    lo, hi, rep, n = edges_of(centre)
    np.testing.assert_array_equal(rep, np.arange(centre.size))
    np.testing.assert_array_equal(n, 1)
    mids = 0.5 * (centre[1:] + centre[:-1])
    # Lines closer than twice the reach tile the axis at their midpoints.
    close = np.diff(centre) < 2 * 30000.0 / C_LIGHT * centre[:-1]
    np.testing.assert_array_equal(hi[:-1][close], mids[close])
    np.testing.assert_array_equal(lo[1:][close], mids[close])
    assert np.all(hi[:-1] <= lo[1:])
    assert np.all((lo <= centre) & (centre <= hi))


def test_isolated_lines_reach_out():
    lo, hi, _, _ = edges_of([5000.0, 5010.0], reach=30000.0)
    half = 30000.0 / C_LIGHT
    np.testing.assert_allclose(lo, [5000.0 * (1 - half), 5010 * (1 - half)])
    np.testing.assert_allclose(hi, [5000.0 * (1 + half), 5010 * (1 + half)])


def test_close_lines_share_a_window():
    rng = np.random.default_rng(2)
    centre = np.sort(rng.uniform(5000.0, 5020.0, 300))
    width = 12000.0  # m/s
    lines = make_line_list(centre, weight=rng.random(300))
    lo, hi, rep, n = window_edges(lines, min_width=width)
    assert n.sum() == centre.size
    assert np.all((hi - lo) >= width / C_LIGHT * lo * (1 - 1e-12))
    assert np.all(hi[:-1] <= lo[1:])
    # Each window holds its lines; its reference is the strongest of them.
    first = np.r_[0, np.cumsum(n)[:-1]]
    for g in range(rep.size):
        members = np.arange(first[g], first[g] + n[g])
        assert np.all((lo[g] <= centre[members]) & (centre[members] <= hi[g]))
        assert rep[g] == members[np.argmax(lines.weight[members])]


@pytest.mark.parametrize("rv", [0.0, 25000.0, -70000.0])
def test_window_pixels_tile_the_spectrum_and_follow_the_star(rv):
    master, lines = make_star(4, wave_range=(5000.0, 5020.0))
    wave = shift_wavelengths(log_grid(5002.0, 5018.0, 1 / 3e5, 0.3), rv)
    lo, hi, _, _ = window_edges(lines, min_width=16000.0)
    win = make_windows(lo, hi, wave, master.wave, rv)
    # Pixel ranges are disjoint, in order, and leave no pixel out
    # between the first window and the last.
    assert np.all(win.pix_start[1:] == win.pix_stop[:-1])
    assert win.pix_start[0] == 0 and win.pix_stop[-1] == wave.size
    # A pixel belongs to the window whose edges, moved by the star's
    # Doppler factor, hold it.
    d = doppler_factor(rv)
    for g in range(win.line.size):
        w = wave[win.pix_start[g]:win.pix_stop[g]]
        assert np.all((w >= win.lo[g] * d) & (w < win.hi[g] * d))
        # The master slice reaches beyond the pixels on the shifted grid.
        grid = shift_wavelengths(
            master.wave[win.master_start[g]:win.master_stop[g]], rv)
        assert grid[3] < w[0] and grid[-4] > w[-1]
    assert np.all(win.reason == "")


def test_windows_outside_the_master_and_too_narrow_are_marked():
    wave_m = np.linspace(5000.0, 5010.0, 5001)
    wave = np.linspace(4999.0, 5011.0, 601)
    lo = np.array([4999.0, 5004.0, 5006.0, 5010.5])
    hi = np.array([5002.0, 5004.03, 5008.0, 5011.0])
    win = make_windows(lo, hi, wave, wave_m, 0.0)
    assert list(win.reason) == ["outside master", "too few pixels", "",
                                "outside master"]


@pytest.mark.parametrize(
    ("interval", "dropped"),
    [((5003.0, 5003.1), [0]), ((5004.9, 5005.2), [0, 1]),
     ((5005.5, 5005.6), [1]), ((4990.0, 4991.0), [])],
    ids=["inside", "straddles", "second", "away"],
)
def test_mask_drops_every_window_it_touches(interval, dropped):
    wave_m = np.linspace(4990.0, 5020.0, 30001)
    wave = np.linspace(5001.0, 5009.0, 801)
    lo, hi = np.array([5002.0, 5005.0]), np.array([5005.0, 5008.0])
    win = make_windows(lo, hi, wave, wave_m, 0.0, mask=np.array([interval]))
    assert list(np.flatnonzero(win.reason == "masked")) == dropped


def test_mask_is_in_the_observed_frame():
    """A telluric band stays put while the star moves: with a BERV the
    mask compares with the observed wavelengths, not the barycentric."""
    wave_m = np.linspace(4990.0, 5020.0, 30001)
    berv = 30000.0
    observed = np.linspace(5001.0, 5009.0, 801)
    wave = shift_wavelengths(observed, berv)  # barycentric
    lo, hi = np.array([5002.0, 5005.0]), np.array([5005.0, 5008.0])
    # Observed 5005.1-5005.2 is barycentric 5005.6-5005.7: window 1 only.
    win = make_windows(lo, hi, wave, wave_m, 0.0,
                       mask=np.array([[5005.1, 5005.2]]),
                       to_observed=1.0 / doppler_factor(berv))
    assert list(win.reason) == ["", "masked"]


def literal_window_edges(lines, reach=30000.0, min_width=0.0):
    """`window_edges` as a plain loop over the lines and windows."""
    centre, weight = lines.centre, lines.weight
    half = centre * (reach / C_LIGHT)
    own_lo = np.minimum(lines.start, centre - half)
    own_hi = np.maximum(lines.end, centre + half)
    mids = 0.5 * (centre[1:] + centre[:-1])
    rel = min_width / C_LIGHT
    firsts = [0]
    left = own_lo[0]
    for i, mid in enumerate(mids):
        if mid - max(left, own_lo[firsts[-1]]) >= rel * mid:
            firsts.append(i + 1)
            left = mid
    firsts = np.asarray(firsts)
    lasts = np.r_[firsts[1:] - 1, centre.size - 1]
    if firsts.size > 1:
        right_end = own_hi[lasts[-1]]
        if right_end - mids[firsts[-1] - 1] < rel * right_end:
            firsts, lasts = firsts[:-1], np.r_[lasts[:-2], lasts[-1]]
    lo, hi, rep = [], [], []
    for a, b in zip(firsts, lasts):
        lo.append(max(mids[a - 1] if a > 0 else -np.inf,
                      own_lo[a:b + 1].min()))
        hi.append(min(mids[b] if b < mids.size else np.inf,
                      own_hi[a:b + 1].max()))
        rep.append(a + int(np.argmax(weight[a:b + 1])))
    return np.array(lo), np.array(hi), np.array(rep), lasts - firsts + 1


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("reach", [2000.0, 30000.0])
@pytest.mark.parametrize("min_width", [0.0, 3000.0, 12000.0, 60000.0])
def test_window_edges_equal_the_literal_loop(seed, reach, min_width):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 400))
    centre = np.sort(rng.uniform(5000.0, 5020.0, n))
    if seed % 2:  # repeated centres
        centre = np.sort(np.r_[centre, centre[: n // 3]])
    half = rng.uniform(0.0, 0.3, centre.size)
    weight = rng.integers(1, 4, centre.size).astype(float)  # tied weights
    lines = make_line_list(centre, centre - half, centre + half, weight)
    got = window_edges(lines, reach=reach, min_width=min_width)
    want = literal_window_edges(lines, reach=reach, min_width=min_width)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("side", ["left", "right"])
def test_search_shifted_equals_searching_the_shifted_grid(seed, side):
    rng = np.random.default_rng(seed)
    grid = np.sort(rng.uniform(4000.0, 7000.0, int(rng.integers(1, 3000))))
    if seed % 2:  # duplicated points
        grid = np.repeat(grid, 2)
    rv = [0.0, 1234.5, -3e4, 2.5e7][seed % 4]
    shifted = shift_wavelengths(grid, rv)
    pick = rng.integers(0, grid.size, 300)
    x = np.r_[rng.uniform(3000.0, 8000.0, 300), shifted[pick],
              np.nextafter(shifted[pick], 0.0),
              np.nextafter(shifted[pick], np.inf), -1.0, 1e9]
    np.testing.assert_array_equal(
        search_shifted(grid, rv, x, side),
        np.searchsorted(shifted, x, side=side))
