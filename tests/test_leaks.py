"""Repeated calls keep memory flat: every method and function, the calls
that raise included (see every_call.py).

- Python objects: tracemalloc sees no growth over many calls of each entry
  point, and the inputs' reference counts come back.
- Native memory: a child process calls everything many times and the
  allocator's count of bytes in use stays where it was after the first
  rounds: glibc's (mallinfo2) in the normal build, the sanitizer's in the
  sanitizer build, with Python's allocator switched to malloc there.
- Sanitizer build, where the machine lets LeakSanitizer stop threads: a
  child runs under it and checks for leaks after one round and after many;
  the count of leaked allocations must not grow.  A growth criterion,
  because CPython keeps a few objects only through memory the leak checker
  does not scan.
"""

import gc
import os
import re
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

import every_call

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZED = os.environ.get("QUASMIR_SANITIZED") is not None
CALLS = every_call.calls()
LSAN_OPTIONS = os.environ.get("ASAN_OPTIONS", "").replace(
    "detect_leaks=0", "detect_leaks=1") + ":detect_leaks=1"


@pytest.mark.parametrize("name", list(CALLS))
def test_python_memory_stays_flat(name, capfd):
    """A leak grows every batch of calls; caches and free lists (ctypes
    pointer objects live in reference cycles the collector frees in its
    own time) only wander.  So the smallest growth of three batches must be
    small."""
    func, error = CALLS[name]
    growth = []
    tracemalloc.start()
    try:
        for _ in range(200):
            every_call.call_once(func, error)
        for _ in range(3):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(200):
                every_call.call_once(func, error)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    capfd.readouterr()
    # One leaked object per call, even a float (24 bytes), would add
    # 4800 bytes to every batch.
    assert min(growth) < 4096, f"{name}: grew by {growth} bytes"


def test_reference_counts_of_inputs_come_back(capfd):
    inputs = [every_call.WAVE, every_call.ERR, every_call.FLUX,
              every_call.MASTER_WAVE, every_call.MASTER_FLUX,
              every_call.TRIALS, *every_call.CONVERTED,
              *every_call.NO_FIT, *every_call.PROFILES]
    every_call.main(2)
    gc.collect()
    before = [sys.getrefcount(a) for a in inputs]
    every_call.main(20)
    gc.collect()
    assert [sys.getrefcount(a) for a in inputs] == before
    capfd.readouterr()


# LeakSanitizer stops the process's threads through ptrace; where the
# machine forbids that (a traced or sandboxed process), its tracer dies and
# the checker reports this instead of leaks.
CHECKER_CANNOT_RUN = "LeakSanitizer has encountered a fatal error"


def run_child(code, env=None):
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], cwd=HERE,
        env=full_env, capture_output=True, text=True, timeout=300,
        check=False)
    if CHECKER_CANNOT_RUN in proc.stderr:
        pytest.skip("LeakSanitizer cannot stop threads on this machine; "
                    "the allocator's count covers this run")
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc


# How many bytes the allocator holds for the program: glibc's own count in
# the normal build; in the sanitizer build every malloc goes through the
# sanitizer's allocator, which keeps an exact count of its own.
IN_USE = {
    "glibc": """
        class Mallinfo2(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                "fsmblks", "uordblks", "fordblks", "keepcost")]

        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = Mallinfo2

        def allocated():
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd
    """,
    "sanitizer": """
        allocated = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
        allocated.restype = ctypes.c_size_t
    """,
}


def test_native_memory_stays_flat():
    counter = "sanitizer" if SANITIZED else "glibc"
    proc = run_child(textwrap.dedent("""
        import ctypes, gc, os, sys
        sys.path.insert(0, ".")
        import every_call
    """) + textwrap.dedent(IN_USE[counter]) + textwrap.dedent("""
        def in_use():
            gc.collect()
            return allocated()

        every_call.main(20)
        before = in_use()
        every_call.main(500)
        print("GROWN", in_use() - before, file=sys.stderr)
        sys.stderr.flush()
        os._exit(0)
    """), env={"PYTHONMALLOC": "malloc"} if SANITIZED else None)
    grown = int(re.search(r"GROWN (-?\d+)", proc.stderr).group(1))
    # 500 rounds of over 40 calls: a leak of one small block per call of
    # any entry point would be over 8 kB.
    assert grown < 8192, f"{grown} bytes more in use after 500 rounds"


LEAKED = re.compile(r"leaked in (\d+) allocation")


@pytest.mark.skipif(not SANITIZED, reason="needs the sanitizer build "
                    "(scripts/sanitize.sh)")
def test_no_native_leaks_under_leak_sanitizer():
    proc = run_child("""
        import ctypes, os, sys
        sys.path.insert(0, ".")
        import every_call

        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
        check.restype = ctypes.c_int

        def checkpoint(label):
            print("=== " + label, file=sys.stderr)
            sys.stderr.flush()
            check()
            sys.stderr.flush()

        every_call.main(2)
        checkpoint("after 2 rounds")
        every_call.main(100)
        checkpoint("after 102 rounds")
        os._exit(0)
    """, env={"ASAN_OPTIONS": LSAN_OPTIONS, "PYTHONMALLOC": "malloc"})
    blocks = proc.stderr.split("=== ")[1:]
    assert len(blocks) == 2, proc.stderr[-4000:]
    counts = [sum(map(int, LEAKED.findall(b))) for b in blocks]
    assert counts[1] <= counts[0], blocks[1][-4000:]
