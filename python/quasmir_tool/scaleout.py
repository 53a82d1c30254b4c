"""Many spectra on a Dask cluster: ``measure`` and ``template``.

The work per spectrum is the same function the serial run calls
(`quasmir_tool.run.measure_file` for a velocity, the chunk sums of
`quasmir_tool.template` for a master); Dask only decides where it runs.
The results are therefore the serial run's, bit for bit: every velocity
is computed by one call of the same code on the same input, and the
partial sums of the master are added in the same fixed binary tree
(`quasmir_tool.template.tree_reduce`), on the workers.

With a scheduler address the work goes to a running cluster
(``distributed.Client(address)``; the workers need quasmir installed and
the files readable at the same paths).  Without one, a `LocalCluster` of
worker processes is started for the run and closed after it.

Dask is an optional dependency (``pip install "quasmir[dask]"``).
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from .errors import InputError

__all__ = [
    "DaskExecutor",
    "add_scheduler_option",
    "dask_client",
    "measure_files",
    "template_many",
]


def _distributed() -> Any:
    """The `distributed` module, or an InputError saying how to get it."""
    try:
        import distributed
    except ImportError:
        raise InputError(
            "running on a Dask cluster needs dask.distributed: "
            'pip install "quasmir[dask]"'
        ) from None
    return distributed


@contextlib.contextmanager
def dask_client(
    scheduler: str | None = None,
    n_workers: int | None = None,
    processes: bool = True,
    timeout: str = "30s",
) -> Iterator[Any]:
    """A Dask client for one run, closed afterwards.

    Parameters
    ----------
    scheduler : str, optional
        Address of a running scheduler (``tcp://host:8786``) or the path
        of its scheduler file (JSON).  Default: a local cluster.
    n_workers : int, optional
        Worker processes of the local cluster (one thread each); default
        one per core.
    processes : bool
        Local workers as processes (default) or threads.
    timeout : str
        How long to try to reach a scheduler.
    """
    distributed = _distributed()
    if scheduler is not None:
        try:
            if os.path.isfile(scheduler):
                client = distributed.Client(
                    scheduler_file=scheduler, timeout=timeout
                )
            else:
                client = distributed.Client(scheduler, timeout=timeout)
        except (OSError, TimeoutError, ValueError) as exc:
            raise InputError(
                f"--scheduler {scheduler}: cannot connect ({exc})"
            ) from None
        with client:
            yield client
        return
    if n_workers is not None and n_workers < 1:
        raise InputError(f"workers must be at least 1, not {n_workers}")
    with distributed.LocalCluster(
        n_workers=n_workers,
        threads_per_worker=1,
        processes=processes,
        dashboard_address=":0",
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def _shared_value(value: Any) -> bool:
    """Whether a shared argument is worth scattering once to every
    worker rather than sending with every task."""
    return not (
        value is None or isinstance(value, (bool, int, float, str, dict))
    )


class DaskExecutor:
    """Runs the template's per-spectrum and per-chunk functions on a
    Dask cluster, with the serial executor's interface and results
    (see `quasmir_tool.template.SerialExecutor`)."""

    def __init__(self, client: Any) -> None:
        self.client = client

    def _submit_map(self, func: Any, items: Sequence, shared: dict) -> list:
        kwargs = {
            key: self.client.scatter(value, broadcast=True, hash=False)
            if _shared_value(value) else value
            for key, value in shared.items()
        }
        return self.client.map(func, list(items), pure=False, **kwargs)

    def map(self, func: Any, items: Sequence, **shared: Any) -> list:
        if not len(items):
            return []
        return self.client.gather(self._submit_map(func, items, shared))

    def map_reduce(
        self, func: Any, items: Sequence, add: Any, **shared: Any
    ) -> Any:
        # The tree of `tree_reduce`, with futures: each sum runs on a
        # worker as soon as both halves are ready.
        level = self._submit_map(func, items, shared)
        while len(level) > 1:
            level = [
                self.client.submit(add, level[i], level[i + 1], pure=False)
                if i + 1 < len(level) else level[i]
                for i in range(0, len(level), 2)
            ]
        return level[0].result()


def template_many(
    spectra: Sequence[Any],
    *,
    scheduler: str | None = None,
    n_workers: int | None = None,
    processes: bool = True,
    client: Any = None,
    **options: Any,
) -> Any:
    """`quasmir_tool.template.make_template` on a Dask cluster.

    Parameters
    ----------
    spectra : sequence of path or Spectrum
        The observations (paths are read on the workers).
    scheduler, n_workers, processes
        See `dask_client`.
    client : distributed.Client, optional
        A client to use (and leave open) instead of one for this run.
    **options
        Passed to `make_template` (master, iterations, lines,
        read_options, measure_options, chunk_size, ...).

    Returns
    -------
    Template
        Identical, bit for bit, to the serial `make_template`'s.
    """
    from .template import make_template

    if client is not None:
        return make_template(spectra, executor=DaskExecutor(client),
                             **options)
    with dask_client(scheduler, n_workers, processes) as client:
        return make_template(spectra, executor=DaskExecutor(client),
                             **options)


def _outcome(
    item: tuple[int, str],
    master: Any,
    lines: Any,
    read_options: dict | None,
    measure_options: dict | None,
) -> Any:
    """One file's `Outcome`, exactly as the serial run makes it."""
    from . import run

    index, path = item
    job = functools.partial(
        run.measure_file, path, master, lines, read_options=read_options,
        measure_options=measure_options,
    )
    return run._outcome(index, path, job)


def measure_files(
    paths: Sequence[str | os.PathLike],
    master: Any,
    lines: Any = None,
    *,
    jobs: int | None = None,
    read_options: dict | None = None,
    measure_options: dict | None = None,
    scheduler: str | None = None,
    processes: bool = True,
    client: Any = None,
) -> Iterator[Any]:
    """Measure files on a Dask cluster, yielding each outcome when ready.

    The counterpart of `quasmir_tool.run.measure_files`, with the same
    arguments and outcomes, in order of completion (``Outcome.index``
    gives the input order); each file's result is the serial one, bit for
    bit.

    Parameters
    ----------
    paths, master, lines, read_options, measure_options
        As for `quasmir_tool.run.measure_files`.
    jobs : int, optional
        Worker processes of a local cluster (ignored with `scheduler`).
    scheduler : str, optional
        Address or scheduler file of a running Dask scheduler.
    processes : bool
        Local workers as processes (default) or threads.
    client : distributed.Client, optional
        A client to use (and leave open) instead of one for this run.

    Yields
    ------
    Outcome
    """
    names = [os.fspath(p) for p in paths]
    if not names:
        return
    distributed = _distributed()
    with contextlib.ExitStack() as stack:
        if client is None:
            client = stack.enter_context(
                dask_client(scheduler, jobs, processes)
            )
        futures = DaskExecutor(client)._submit_map(
            _outcome, list(enumerate(names)),
            dict(master=master, lines=lines, read_options=read_options,
                 measure_options=measure_options),
        )
        try:
            for future in distributed.as_completed(futures):
                yield future.result()
        finally:
            client.cancel(futures)


def add_scheduler_option(parser: Any) -> None:
    """Add ``--scheduler ADDRESS`` to an argparse parser."""
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        default=None,
        help="run on a running Dask scheduler (tcp://host:8786, or its "
        "scheduler file); needs quasmir[dask]",
    )


def identical(a: Any, b: Any) -> bool:
    """Whether two arrays are equal bit for bit (NaN equal to NaN)."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and (
        a.tobytes() == b.tobytes()
    )
