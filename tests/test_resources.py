"""Running out of memory, and references: errors come back as Python
exceptions or NaN results, nothing stops the process, nothing leaks."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quasmir

# The child builds its inputs, then caps its address space a little above
# what it uses, so that the first large allocation of the call fails.
PRELUDE = textwrap.dedent("""
    import ctypes, resource, sys
    import numpy as np
    import quasmir

    def cap_memory(margin=64 << 20):
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        limit = pages * resource.getpagesize() + margin
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    n = 4_000_000
    wave = np.linspace(5000.0, 5100.0, n)
    err = np.full(n, 0.01)
    flux = 1.0 - 0.5 * np.exp(-((wave - 5050.0) / 0.1) ** 2)
""")


def run_child(body):
    code = PRELUDE + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=120, check=False)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("call", [
    "quasmir.get_RV_line_by_line(np.zeros(3), wave, err, flux, wave, flux)",
    "quasmir.get_RV_line_by_line2(wave, err, flux, wave, flux)",
    "quasmir.get_RV_line_by_line2_with_offset(wave, err, flux, wave, flux)",
    "quasmir.get_RV_line_by_line3(wave, err, flux, wave, flux)",
], ids=["scan", "first_order", "with_offset", "second_order"])
def test_method_without_memory_raises_memory_error(call):
    out = run_child(f"""
        before = [sys.getrefcount(a) for a in (wave, err, flux)]
        cap_memory()
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        after = [sys.getrefcount(a) for a in (wave, err, flux)]
        print(before == after)
    """)
    assert out.split() == ["MemoryError", "True"]


def test_kernels_without_memory_write_nan():
    # The counts promise arrays far larger than memory; the kernels must
    # give up before reading them.
    out = run_child("""
        lib = ctypes.CDLL(quasmir.__file__)
        dp = ctypes.POINTER(ctypes.c_double)
        i32, d = ctypes.c_int32, ctypes.c_double
        small = np.linspace(5000.0, 5001.0, 8)
        p = small.ctypes.data_as(dp)
        big = 1 << 30
        cap_memory()

        out = np.full(6, 7.0)
        o = [ctypes.cast(out.ctypes.data + 8 * i, dp) for i in range(6)]
        lib.get_RV_line_by_line_Bouchy_with_offset.argtypes = (
            [dp] * 6 + [d] * 3 + [dp, dp, i32, dp, dp, i32])
        lib.get_RV_line_by_line_Bouchy_with_offset(
            o[0], o[1], o[2], o[3], o[4], p, 5000.0, 0.0, 0.0, p, p, big,
            p, p, 8)
        print(out[:5].tolist())

        out[:] = 7.0
        rows = (dp * 1)(o[4])
        lib.get_RV_line_by_line_c.argtypes = (
            [dp] * 4 + [i32, dp, d, dp, dp, i32, dp, dp, i32,
                        ctypes.POINTER(dp)])
        lib.get_RV_line_by_line_c(p, o[0], o[1], o[2], 1, p, 0.0, p, p, big,
                                  p, p, 8, rows)
        print(out[[0, 1, 2, 4, 5]].tolist())
    """)
    first, second = out.splitlines()
    assert first == str([float("nan")] * 5)
    assert second == str([float("nan")] * 5)


def make_inputs(n=40):
    wave = np.linspace(5000.0, 5004.0, n)
    flux = 1.0 - 0.5 * np.exp(-((wave - 5002.0) / 0.3) ** 2)
    return wave, np.full(n, 0.01), flux


@pytest.mark.parametrize("method, extra", [
    ("get_RV_line_by_line", (np.array([0.0, 10.0]),)),
    ("get_RV_line_by_line2", ()),
    ("get_RV_line_by_line2_with_offset", ()),
    ("get_RV_line_by_line3", ()),
])
@pytest.mark.parametrize("convert", [False, True], ids=["float64", "int64"])
def test_methods_keep_reference_counts(method, extra, convert, capfd):
    wave, err, flux = make_inputs()
    if convert:
        err = (err * 1000).astype(np.int64)
    arrays = (*extra, wave, err, flux, wave, flux)
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(3):
        result = getattr(quasmir, method)(*arrays)
    del result
    with pytest.raises(ValueError):
        getattr(quasmir, method)(*arrays[:-1], flux[:-1])
    assert [sys.getrefcount(a) for a in arrays] == before
    capfd.readouterr()
