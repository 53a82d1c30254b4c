"""The ``quasmir`` command: a thin layer over the library.

``quasmir measure`` reads the master, the lines and the spectra, measures
each spectrum (`quasmir_tool.run.measure_files`) and writes the tables and
the figure; ``quasmir example`` makes a synthetic data set and measures it
through the same ``measure`` command.

Bad input of any kind (`InputError`, and the command line's own errors)
is printed as one line, ``quasmir: error: <what is wrong and where>``,
without a traceback unless ``--debug`` is given.

Exit status: 0 when every spectrum was measured and none is flagged; 3
when every spectrum was measured but some results are flagged (listed on
standard error at the end of the run: ``quasmir: flagged N: file
(flags); ...``); 1 when some failed (or a file or option was bad), which
wins over 3; 2 for a malformed command line; 130 when interrupted
(Ctrl-C or SIGTERM), after saving every result obtained.
"""

from __future__ import annotations

import argparse
import functools
import importlib
import math
import os
import signal
import sys
import threading
import traceback
from collections.abc import Sequence
from typing import Any, NoReturn

from . import scaleout
from .errors import InputError

__all__ = ["build_parser", "main"]

#: Commands of other modules: (module, function adding the subcommand to
#: an argparse subparsers object, with a ``func(args) -> int`` default).
EXTRA_COMMANDS = (
    ("quasmir_tool.template", "add_template_command"),
    ("quasmir_tool.timeseries", "add_plot_command"),
)

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_FLAGGED = 3
EXIT_INTERRUPTED = 130


class UsageError(InputError):
    """A malformed command line (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors raised as one-line UsageErrors instead of
    printing the usage block and exiting."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(
            f"{self.prog}: error: {message} (see {self.prog} --help)"
        )


def _number(name: str, text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{name} must be a number, not {text!r}"
        ) from None


def _positive_float(name: str) -> Any:
    def parse(text: str) -> float:
        value = _number(name, text)
        if not (math.isfinite(value) and value > 0):
            raise argparse.ArgumentTypeError(
                f"{name} must be a positive number, not {text!r}"
            )
        return value

    return parse


def _finite_float(name: str, minimum: float = -math.inf) -> Any:
    def parse(text: str) -> float:
        value = _number(name, text)
        if not math.isfinite(value) or value < minimum:
            raise argparse.ArgumentTypeError(
                f"{name} must be a finite number"
                + (f" >= {minimum:g}" if minimum > -math.inf else "")
                + f", not {text!r}"
            )
        return value

    return parse


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(
            f"-j must be a positive integer, not {text!r}"
        )
    return value


def build_parser() -> argparse.ArgumentParser:
    """The command line parser (``quasmir --help``)."""
    parser = _Parser(
        prog="quasmir",
        description="Radial velocities of stellar spectra against a "
        "master spectrum, line by line.",
    )
    parser.add_argument(
        "--debug", action="store_true", help="show tracebacks of errors"
    )
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", parser_class=_Parser
    )
    commands.required = True

    debug = _Parser(add_help=False)
    debug.add_argument(
        "--debug",
        action="store_true",
        default=argparse.SUPPRESS,
        help="show tracebacks of errors",
    )
    measure = commands.add_parser(
        "measure",
        parents=[debug],
        help="measure the velocities of spectrum files",
        description="Measure the radial velocity (m/s) of each spectrum "
        "against the master, line by line, and write one row per "
        "spectrum.",
    )
    measure.add_argument(
        "spectra", nargs="+", metavar="SPECTRUM", help="spectrum files"
    )
    measure.add_argument(
        "--master", required=True, metavar="FILE", help="master spectrum"
    )
    measure.add_argument(
        "--lines",
        metavar="FILE",
        help="line list (centre and half-width, start and end, or a CCF "
        "mask of start, end, weight); default: found in the master",
    )
    measure.add_argument(
        "--mask",
        metavar="FILE",
        help="wavelength intervals to exclude (start, end)",
    )
    measure.add_argument(
        "--estimator",
        choices=("first", "offset", "second"),
        default="first",
        help="first-order Taylor fit, with a constant offset, or "
        "second-order (default: first)",
    )
    measure.add_argument(
        "--sys-err",
        type=_finite_float("--sys-err", 0.0),
        default=0.0,
        metavar="X",
        help="systematic flux uncertainty added in quadrature to every "
        "pixel's error (flux units; default 0)",
    )
    measure.add_argument(
        "--berv-key",
        metavar="KEY",
        help="header key of the barycentric correction (default: none, "
        "the spectra are barycentric)",
    )
    measure.add_argument(
        "--berv-unit",
        metavar="UNIT",
        help="unit of the BERV value (default: the instrument's, else "
        "km/s)",
    )
    measure.add_argument(
        "--time-key",
        metavar="KEY",
        help="header key of the time (default: BJD, else MJD-OBS, else "
        "DATE-OBS)",
    )
    errors = measure.add_mutually_exclusive_group()
    errors.add_argument(
        "--snr",
        type=_positive_float("--snr"),
        metavar="X",
        help="for files without flux errors: the continuum signal-to-noise",
    )
    errors.add_argument(
        "--photon-noise",
        action="store_true",
        help="for files without flux errors: photon noise of a flux in counts",
    )
    measure.add_argument(
        "--wave-file",
        metavar="FILE",
        help="wavelength image of echelle spectra without a WAVE extension",
    )
    measure.add_argument(
        "--instrument",
        default="auto",
        metavar="NAME",
        help="instrument profile: 'auto' (default) recognises HARPS, "
        "HARPS-N and ESPRESSO products and ESO archive spectra from the "
        "header, a profile name (e.g. HARPS-e2ds) forces one, 'none' reads "
        "the files as generic tables and images",
    )
    measure.add_argument(
        "--blaze",
        metavar="FILE",
        help="blaze file of echelle spectra whose flux still holds the "
        "blaze (default: the one the header names, beside the spectrum)",
    )
    measure.add_argument(
        "--rv-guess",
        type=_finite_float("--rv-guess"),
        metavar="V",
        help="first guess of the velocity (m/s); default: the peak of "
        "a cross-correlation with the master's lines",
    )
    measure.add_argument(
        "--telluric-depth",
        type=_finite_float("--telluric-depth", 0.0),
        default=0.02,
        metavar="X",
        help="drop the lines near telluric lines deeper than X of the "
        "continuum (default 0.02; ground-based spectra only)",
    )
    measure.add_argument(
        "--no-tellurics",
        action="store_true",
        help="keep the lines near telluric lines",
    )
    measure.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=1,
        metavar="N",
        help="measure N spectra at once, in threads (default 1)",
    )
    scaleout.add_scheduler_option(measure)
    measure.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="per-spectrum table: CSV, or rdb for a .rdb name (default: "
        "CSV on standard output)",
    )
    measure.add_argument(
        "--per-line",
        metavar="FILE",
        help="per-line table: CSV, or FITS for a .fits name",
    )
    measure.add_argument(
        "--plot", metavar="FILE", help="figure of the results (PNG)"
    )
    measure.add_argument(
        "--resume",
        action="store_true",
        help="keep the rows already in the -o table and skip their spectra",
    )
    measure.add_argument(
        "--quiet",
        action="store_true",
        help="no progress bar, and no summary line unless a spectrum failed",
    )

    example = commands.add_parser(
        "example",
        parents=[debug],
        help="measure a synthetic data set with a known planet",
        description="Make a synthetic star, 20 observations with a "
        "planet of 10 m/s, measure them with 'quasmir measure' and "
        "compare with the truth.",
    )
    example.add_argument(
        "--outdir",
        metavar="DIR",
        help="directory for the files (default: ./quasmir-example)",
    )
    example.add_argument(
        "-j",
        "--jobs",
        type=_jobs,
        default=1,
        metavar="N",
        help="threads for the measurement (default 1)",
    )
    example.add_argument(
        "--quiet", action="store_true", help="no progress bar"
    )
    measure.set_defaults(func=cmd_measure)
    example.set_defaults(func=cmd_example)
    for module, function in EXTRA_COMMANDS:
        try:
            add = getattr(importlib.import_module(module), function)
        except (ImportError, AttributeError):
            continue
        add(commands)
    return parser


def read_options_of(args: argparse.Namespace) -> dict:
    """The `read_spectrum` options given on the command line."""
    return {
        "time_key": args.time_key,
        "berv_key": args.berv_key,
        "berv_unit": args.berv_unit,
        "snr": args.snr,
        "photon_noise": args.photon_noise,
        "wave_path": args.wave_file,
        "instrument": getattr(args, "instrument", "auto"),
        "blaze_path": getattr(args, "blaze", None),
    }


def _check_outputs(args: argparse.Namespace) -> None:
    """Every output can be written, and no output overwrites an input."""
    from .output import open_for_writing

    outputs = {
        "-o": args.output,
        "--per-line": args.per_line,
        "--plot": args.plot,
    }
    inputs = [args.master, args.lines, args.mask, args.wave_file]
    inputs += args.spectra
    real_inputs = {os.path.realpath(p) for p in inputs if p is not None}
    seen: dict[str, str] = {}
    for option, path in outputs.items():
        if path is None:
            continue
        real = os.path.realpath(path)
        if real in real_inputs:
            raise InputError(f"{option} {path}: is one of the input files")
        if real in seen:
            raise InputError(f"{option} {path}: also given to {seen[real]}")
        seen[real] = option
        open_for_writing(path, option)
    if args.resume and args.output is None:
        raise InputError("--resume needs -o (the table to resume)")
    if args.per_line is not None and not args.per_line.lower().endswith(
        (".csv", ".fits", ".fit", ".fts")
    ):
        raise InputError(
            f"--per-line {args.per_line}: give a .csv or .fits name"
        )
    if args.plot is not None and not args.plot.lower().endswith(".png"):
        raise InputError(f"--plot {args.plot}: give a .png name")


def _load_lines(args: argparse.Namespace, master: Any) -> Any:
    """The line list (None: found by `measure` itself) and the mask."""
    from .lines import read_lines, read_mask

    lines = None
    if args.lines is not None:
        lines = read_lines(args.lines)
        if len(lines.centre) == 0:
            raise InputError(f"--lines {args.lines}: the line list is empty")
    mask = None if args.mask is None else read_mask(args.mask)
    return lines, mask


def _measure_options(args: argparse.Namespace, mask: Any) -> dict:
    options: dict = {
        "estimator": args.estimator,
        "sys_err": args.sys_err,
        "rv_guess": args.rv_guess,
        "telluric_depth": args.telluric_depth,
    }
    if args.no_tellurics:
        options["tellurics"] = False
    if mask is not None:
        options["mask"] = mask
    return options


def _report(message: str, bar: Any) -> None:
    if bar is not None:
        bar.write(message, file=sys.stderr)
    else:
        print(message, file=sys.stderr, flush=True)


class _StopRequests:
    """Ctrl-C and SIGTERM during a run.  The first asks the run to stop
    after the spectrum being measured: no result and no table write is
    cut short, and no request can be lost in a finalizer (as an
    asynchronous KeyboardInterrupt can).  A second stops at once."""

    def __init__(self) -> None:
        self.requested = False
        self._previous: dict = {}

    def _handle(self, signum: int, frame: Any) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def __enter__(self) -> _StopRequests:
        if threading.current_thread() is threading.main_thread():
            for sig in (signal.SIGINT, signal.SIGTERM):
                self._previous[sig] = signal.signal(sig, self._handle)
        return self

    def __exit__(self, *exc: Any) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)
        self._previous.clear()


def _check_berv_unit(text: str | None) -> None:
    """A --berv-unit that is no velocity stops the run before any file
    (the master is read without it, so it would fail every spectrum)."""
    if text is None:
        return
    import astropy.units as u

    try:
        u.Unit(text).to(u.m / u.s)
    except (ValueError, TypeError, u.UnitsError):
        raise InputError(
            f"--berv-unit {text!r}: not a unit of velocity"
        ) from None


def cmd_measure(args: argparse.Namespace) -> int:
    """``quasmir measure``: returns the exit status."""
    from tqdm import tqdm

    from .output import ResultTables, format_table
    from .reading import read_spectrum
    from .run import measure_files

    run_files: Any = measure_files
    if args.scheduler is not None:
        # The same outcomes, computed on the cluster's workers.
        run_files = functools.partial(
            scaleout.measure_files, scheduler=args.scheduler
        )
    _check_outputs(args)
    _check_berv_unit(args.berv_unit)
    paths = list(dict.fromkeys(args.spectra))  # each file once, in order
    read_options = read_options_of(args)
    # The master is read on its own terms: its own instrument profile and
    # header keys, none of the options that describe the spectra.
    master_options = dict(need_errors=False, instrument="auto")
    try:
        master = read_spectrum(args.master, **master_options)
    except InputError as exc:
        raise InputError(f"--master: {exc}") from None
    lines, mask = _load_lines(args, master)
    tables = ResultTables(paths, args.output, args.per_line, args.resume)
    todo = [p for p in paths if not tables.done(p)]
    skipped = len(paths) - len(todo)

    bar = None
    if len(todo) > 1 and not args.quiet:
        bar = tqdm(total=len(todo), file=sys.stderr, unit="spectrum")
    measured = failed = 0
    flagged: list[tuple[int, str, str]] = []
    first: Any = None
    interrupted = False
    outcomes = run_files(
        todo,
        master,
        lines,
        jobs=args.jobs,
        read_options=read_options,
        measure_options=_measure_options(args, mask),
    )
    stop = _StopRequests()
    try:
        stop.__enter__()
        for outcome in outcomes:
            if outcome.ok:
                measured += 1
                time_key = getattr(outcome.spectrum, "time_key", None)
                tables.add(outcome.result, time_key)
                tables.checkpoint()
                flag = getattr(outcome.result, "flag", "")
                if flag:
                    flagged.append((outcome.index, outcome.path, flag))
                if first is None or outcome.index < first.index:
                    first = outcome
            else:
                failed += 1
                _report(f"quasmir: error: {outcome.error}", bar)
                if args.debug and outcome.trace:
                    _report(outcome.trace.rstrip(), bar)
            if bar is not None:
                bar.update()
            if stop.requested:
                interrupted = True
                break
    except KeyboardInterrupt:
        interrupted = True
    finally:
        stop.__exit__()
        outcomes.close()
        if bar is not None:
            bar.close()
        tables.flush()
    if args.output is None and not interrupted:
        sys.stdout.write(format_table(tables.ordered_rows(), rdb=False))
        sys.stdout.flush()
    if args.plot is not None and not interrupted:
        from .plotting import plot_results

        plot_results(
            args.plot,
            tables.ordered_rows(),
            None if first is None else first.spectrum,
            None if first is None else first.result,
            master,
        )
    if interrupted or (len(paths) > 1 and (failed or not args.quiet)):
        summary = f"quasmir: measured {measured}, failed {failed}"
        if skipped:
            summary += f", {skipped} already in {args.output}"
        if interrupted:
            left = len(todo) - measured - failed
            summary += f", {left} not measured (interrupted"
            if args.output is not None:
                summary += "; run again with --resume to finish"
            summary += ")"
        print(summary, file=sys.stderr, flush=True)
    if flagged:
        listing = "; ".join(
            f"{path} ({flag})" for _, path, flag in sorted(flagged)
        )
        print(
            f"quasmir: flagged {len(flagged)}: {listing}",
            file=sys.stderr,
            flush=True,
        )
    if interrupted:
        return EXIT_INTERRUPTED
    if failed:
        return EXIT_FAILED
    return EXIT_FLAGGED if flagged else EXIT_OK


def cmd_example(args: argparse.Namespace) -> int:
    """``quasmir example``: returns the exit status."""
    from .example import run_example

    return run_example(args.outdir, jobs=args.jobs, quiet=args.quiet)


def _raise_interrupt(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments (default: ``sys.argv[1:]``).
    """
    argv = [os.fspath(a) for a in (sys.argv[1:] if argv is None else argv)]
    debug = "--debug" in argv
    parser = build_parser()
    previous = None
    try:
        # A polite kill (SIGTERM) saves the results like Ctrl-C does.
        previous = signal.signal(signal.SIGTERM, _raise_interrupt)
    except ValueError:  # not the main thread: leave signals alone
        pass
    try:
        args = parser.parse_args(argv)
        return int(args.func(args))
    except UsageError as exc:
        if debug:
            traceback.print_exc()
        print(f"{exc}", file=sys.stderr)
        return EXIT_USAGE
    except InputError as exc:
        if debug:
            traceback.print_exc()
        print(f"quasmir: error: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        if debug:
            traceback.print_exc()
        print("quasmir: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:  # a fault of the tool itself
        if debug:
            traceback.print_exc()
        first = str(exc).splitlines()[0] if str(exc) else ""
        print(
            f"quasmir: internal error: {type(exc).__name__}: {first} "
            "(run with --debug for the traceback)",
            file=sys.stderr,
        )
        return EXIT_FAILED
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
