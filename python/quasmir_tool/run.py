"""Measuring many spectrum files: one function per spectrum, run in turn
or in threads.

`measure_file` is the whole job for one file (read, then measure); the
same function serves a loop, `concurrent.futures` threads (`measure_files`)
or a cluster (``dask.delayed(measure_file)``).  A failure of one file is
its own outcome and never stops the others.
"""

from __future__ import annotations

import os
import traceback
from collections.abc import Generator, Sequence
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass
from typing import Any

from .errors import InputError
from .reading import Spectrum, read_spectrum

__all__ = ["Outcome", "measure_file", "measure_files"]


@dataclass
class Outcome:
    """What became of one file.

    Attributes
    ----------
    index : int
        Position of the file in the input.
    path : str
        The file.
    spectrum : Spectrum or None
        The spectrum read (None if reading failed).
    result : Result or None
        Its measurement (None if it failed).
    error : str or None
        One line saying what went wrong, None on success.
    user_error : bool
        Whether the failure was bad input (an `InputError`) rather than
        an unexpected exception.
    trace : str or None
        The traceback of a failure (shown with ``--debug``).
    """

    index: int
    path: str
    spectrum: Spectrum | None = None
    result: Any = None
    error: str | None = None
    user_error: bool = True
    trace: str | None = None

    @property
    def ok(self) -> bool:
        """Whether the file was measured."""
        return self.result is not None


def measure_file(
    path: str | os.PathLike,
    master: Any,
    lines: Any = None,
    *,
    read_options: dict | None = None,
    measure_options: dict | None = None,
) -> tuple[Spectrum, Any]:
    """Read one spectrum file and measure it.

    Parameters
    ----------
    path : str or path-like
        The spectrum file (any format `read_spectrum` reads).
    master : Spectrum
        The master spectrum.
    lines : LineList, optional
        The lines to measure (None: found in the master by `measure`).
    read_options : dict, optional
        Keyword arguments of `read_spectrum` (time_key, berv_key, ...).
    measure_options : dict, optional
        Keyword arguments of `measure` (estimator, sys_err, ...).

    Returns
    -------
    (Spectrum, Result)
    """
    from .measuring import measure

    spectrum = read_spectrum(path, **(read_options or {}))
    result = measure(spectrum, master, lines, **(measure_options or {}))
    return spectrum, result


def _outcome(index: int, path: str, job: Any) -> Outcome:
    """Run `job()` and turn its result or failure into an Outcome."""
    try:
        spectrum, result = job()
    except InputError as exc:
        message = str(exc)
        if path not in message:
            message = f"{path}: {message}"
        return Outcome(
            index, path, error=message, trace=traceback.format_exc()
        )
    except Exception as exc:  # one bad file must not stop the run
        first = str(exc).splitlines()[0] if str(exc) else ""
        return Outcome(
            index,
            path,
            error=f"{path}: {type(exc).__name__}: {first}".rstrip(": "),
            user_error=False,
            trace=traceback.format_exc(),
        )
    return Outcome(index, path, spectrum=spectrum, result=result)


def measure_files(
    paths: Sequence[str | os.PathLike],
    master: Any,
    lines: Any = None,
    *,
    jobs: int = 1,
    read_options: dict | None = None,
    measure_options: dict | None = None,
) -> Generator[Outcome, None, None]:
    """Measure files, yielding each outcome as it is ready.

    Parameters
    ----------
    paths : sequence of str or path-like
        The spectrum files.
    master, lines, read_options, measure_options
        As for `measure_file`.
    jobs : int, optional
        Number of threads (1: in the calling thread, in input order).

    Yields
    ------
    Outcome
        One per file, in input order with ``jobs == 1`` and in order of
        completion otherwise (``Outcome.index`` gives the input order).
        The measurements themselves do not depend on `jobs`.

    Notes
    -----
    Closing the generator (or an exception in the consumer, such as a
    KeyboardInterrupt) cancels the files not yet started; the ones
    running finish in their threads and are not reported.
    """
    if not isinstance(jobs, int) or isinstance(jobs, bool) or jobs < 1:
        raise InputError(
            f"measure_files: jobs must be a positive integer, not {jobs!r}"
        )
    names = [os.fspath(p) for p in paths]

    def job(path: str) -> Any:
        return lambda: measure_file(
            path,
            master,
            lines,
            read_options=read_options,
            measure_options=measure_options,
        )

    if jobs == 1:
        for index, path in enumerate(names):
            yield _outcome(index, path, job(path))
        return
    pool = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="quasmir")
    try:
        pending = {
            pool.submit(_outcome, index, path, job(path))
            for index, path in enumerate(names)
        }
        while pending:
            finished, pending = wait(pending, return_when=FIRST_COMPLETED)
            for future in sorted(finished, key=lambda f: f.result().index):
                yield future.result()
    finally:
        pool.shutdown(wait=False, cancel_futures=True)
