"""Result tables: the per-spectrum table (CSV, or the tab-separated rdb of
RV-fitting tools) and the per-line table (CSV or FITS), written
atomically, and read back to resume an interrupted run.

Every file is written to a temporary file in the same directory and then
renamed over the target (`os.replace`), so a reader, or a run killed at
any moment, sees the old complete file or the new complete file, never a
half-written one.
"""

from __future__ import annotations

import csv
import io
import math
import numbers
import os
import time as _time
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np

from . import activity
from .errors import InputError

__all__ = [
    "CSV_COLUMNS",
    "RDB_COLUMNS",
    "ResultTables",
    "read_line_table",
    "read_table",
    "result_row",
    "write_atomic",
    "write_line_table",
    "write_table",
]

#: Columns of the per-spectrum CSV table.  Velocities in m/s, time in days
#: as read from the header; last the activity indicators
#: (`activity.COLUMNS`): line width dlw in m²/s², chromatic slope crx in
#: m/s per unit of ln wavelength, each with its error.
CSV_COLUMNS = (
    "file",
    "time",
    "rv",
    "rv_err",
    "n_used",
    "n_dropped",
    "outlier_fraction",
    "chi2_red",
    "berv",
    "err_source",
    "flag",
    "profile",
    "frame",
    *activity.COLUMNS,
)
#: Columns of the rdb table: rjd = BJD - 2400000 (days), vrad and svrad in
#: m/s, the indicators with ``s`` + name for an error (as RV-fitting tools
#: name them), then the rest as in the CSV table.
RDB_COLUMNS = (
    "rjd",
    "vrad",
    "svrad",
    *activity.RDB_COLUMNS,
    "n_used",
    "n_dropped",
    "outlier_fraction",
    "chi2_red",
    "berv",
    "err_source",
    "flag",
    "profile",
    "frame",
    "file",
)
#: rdb names of columns that the CSV table names otherwise.
_RDB_ALIASES = {"vrad": "rv", "svrad": "rv_err", **{
    rdb: csv for rdb, csv in activity.RDB_COLUMNS.items() if rdb != csv
}}
_INT_COLUMNS = ("n_used", "n_dropped")
_TEXT_COLUMNS = ("file", "err_source", "flag", "profile", "frame")
_JD_OFFSET = 2400000.0


# --------------------------------------------------------------------------
# Atomic writing


def write_atomic(
    path: str | os.PathLike, write: Callable[[str], None]
) -> None:
    """Write a file atomically: ``write(temporary_path)`` creates a new
    file under a unique name in the same directory, which then replaces
    `path` in one rename.

    The writer creates the file as it would create `path` (so it gets the
    usual permissions); the file is flushed to disk before the rename and
    removed if `write` fails or is interrupted.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(
        directory,
        f".{os.path.basename(path)}.{os.getpid()}.{uuid.uuid4().hex[:8]}.tmp",
    )
    try:
        write(tmp)
        with open(tmp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise


def remove_stale_temporaries(path: str | os.PathLike) -> list[str]:
    """Remove the temporary files that `write_atomic` left beside `path`
    when its process was killed (their process no longer exists).

    Returns
    -------
    list of str
        The files removed.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    prefix = f".{os.path.basename(path)}."
    removed: list[str] = []
    try:
        names = os.listdir(directory)
    except OSError:
        return removed
    for name in names:
        if not (name.startswith(prefix) and name.endswith(".tmp")):
            continue
        pid_text = name[len(prefix) :].split(".")[0]
        if not pid_text.isdigit() or _alive(int(pid_text)):
            continue
        try:
            os.remove(os.path.join(directory, name))
            removed.append(os.path.join(directory, name))
        except OSError:
            pass
    return removed


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _write_text_atomic(path: str, text: str) -> None:
    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    write_atomic(path, write)


# --------------------------------------------------------------------------
# The per-spectrum table


def _is_rdb(path: str | os.PathLike) -> bool:
    return os.fspath(path).lower().endswith(".rdb")


def rjd(time: float | None, time_key: str | None) -> float:
    """Reduced Julian date (BJD - 2400000) of a time as read: a full
    Julian date loses 2400000, an MJD (from MJD-OBS or DATE-OBS) gains
    0.5 day, any other time is kept; NaN without a time."""
    if time is None:
        return math.nan
    if time >= _JD_OFFSET:
        return time - _JD_OFFSET
    if time_key is not None and time_key.upper() in ("MJD-OBS", "DATE-OBS"):
        return time + 0.5
    return time


def result_row(
    result: Any,
    time_key: str | None = None,
    indicators: Any = None,
) -> dict:
    """One table row (a dict over both column sets) from a `Result`;
    `indicators` are its `activity.Indicators` if already computed.
    Every number is a plain Python int or float."""
    time = None if result.time is None else float(result.time)
    if indicators is None:
        indicators = activity.indicators(result)
    row = {
        "file": str(result.path),
        "time": time,
        "rjd": rjd(time, time_key),
        "rv": float(result.rv),
        "rv_err": float(result.rv_err),
        "n_used": int(result.n_used),
        "n_dropped": int(result.n_dropped),
        "outlier_fraction": float(result.outlier_fraction),
        "chi2_red": float(result.chi2_red),
        "berv": float(result.berv),
        "err_source": str(result.err_source),
        # Warnings ("" when all is well), the instrument profile ("" for
        # the generic readers) and the spectrum's frame.
        "flag": str(getattr(result, "flag", "") or ""),
        "profile": str(getattr(result, "profile", None) or ""),
        "frame": str(getattr(result, "frame", "observer")),
    }
    row.update(indicators.row())
    return row


def _format(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        # The shortest exact form of the plain float, so that rows read
        # back bit for bit (numpy scalars would print as np.float64(...)).
        return repr(float(value))
    return str(value)


def format_table(rows: Iterable[dict], rdb: bool) -> str:
    """The text of a per-spectrum table (CSV, or rdb when `rdb`)."""
    buffer = io.StringIO()
    if rdb:
        names = RDB_COLUMNS
        aliases = _RDB_ALIASES
        buffer.write("\t".join(names) + "\n")
        buffer.write("\t".join("-" * len(n) for n in names) + "\n")
        for row in rows:
            values = [row.get(aliases.get(n, n)) for n in names]
            buffer.write(
                "\t".join("nan" if v is None else _format(v) for v in values)
                + "\n"
            )
    else:
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow(CSV_COLUMNS)
        for row in rows:
            writer.writerow([_format(row.get(n)) for n in CSV_COLUMNS])
    return buffer.getvalue()


def write_table(path: str | os.PathLike, rows: Iterable[dict]) -> None:
    """Write the per-spectrum table atomically: rdb for a ``.rdb`` name,
    CSV otherwise."""
    _write_text_atomic(os.fspath(path), format_table(rows, _is_rdb(path)))


def _parse(name: str, text: str) -> Any:
    if name in _TEXT_COLUMNS:
        return text
    if text == "":
        return None
    if name in _INT_COLUMNS:
        return int(text)
    return float(text)


def _read_text(path: str, who: str, what: str) -> str:
    """The text of a table file; `InputError` ``who: path: what (why)``."""
    try:
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{who}: {path}: {what} ({exc})") from None


def read_table(path: str | os.PathLike) -> list[dict]:
    """Read a per-spectrum table written by `write_table` (CSV or rdb).

    Raises
    ------
    InputError
        When the file is not such a table.
    """
    path = os.fspath(path)
    text = _read_text(path, "read_table", "cannot read the results")
    lines = text.splitlines()
    rdb = _is_rdb(path)
    if rdb:
        records = [line.split("\t") for line in lines]
        header, records = (records[0], records[2:]) if records else ([], [])
        aliases = _RDB_ALIASES
    else:
        records = list(csv.reader(lines))
        header, records = (records[0], records[1:]) if records else ([], [])
        aliases = {}
    expected = list(RDB_COLUMNS if rdb else CSV_COLUMNS)
    if header != expected:
        raise InputError(
            f"read_table: {path}: not a results table of this tool (its "
            f"columns are "
            f"{', '.join(header) or 'none'}); remove it or drop --resume"
        )
    rows = []
    for number, record in enumerate(records, start=2 + rdb):
        if len(record) != len(header):
            raise InputError(
                f"read_table: {path}: line {number} has {len(record)} fields, "
                f"expected {len(header)}"
            )
        try:
            row = {
                aliases.get(n, n): _parse(n, v) for n, v in zip(header, record)
            }
        except ValueError as exc:
            raise InputError(
                f"read_table: {path}: line {number}: {exc}"
            ) from None
        rows.append(row)
    return rows


# --------------------------------------------------------------------------
# The per-line table


def _is_fits_name(path: str | os.PathLike) -> bool:
    return os.fspath(path).lower().endswith((".fits", ".fit", ".fts"))


def write_line_table(path: str | os.PathLike, table: Any) -> None:
    """Write the per-line table (an astropy Table) atomically, as FITS for
    a ``.fits`` name, CSV otherwise."""
    fmt = "fits" if _is_fits_name(path) else "ascii.csv"
    write_atomic(path, lambda tmp: table.write(tmp, format=fmt))


def read_line_table(path: str | os.PathLike) -> Any:
    """Read a per-line table written by `write_line_table`."""
    from astropy.table import Table

    fmt = "fits" if _is_fits_name(path) else "ascii.csv"
    try:
        return Table.read(os.fspath(path), format=fmt)
    except Exception as exc:  # astropy raises many types
        raise InputError(
            f"read_line_table: {path}: cannot read the per-line table ({exc})"
        ) from None


#: Columns of `activity.line_indicators` joined into the per-line table.
LINE_INDICATOR_COLUMNS = ("dlw", "dlw_err", "x", "crx_residual")


def _line_rows(path: str, result: Any, indicators: Any = None) -> Any:
    """The per-line table of one spectrum with its file as first column
    and the lines' activity indicators (`LINE_INDICATOR_COLUMNS`) as
    last columns."""
    from astropy.table import Table

    table = Table(result.lines, copy=True)
    table.meta.clear()
    table.add_column([path] * len(table), name="file", index=0)
    # The spectrum's warnings on each of its lines.
    table.add_column([str(getattr(result, "flag", "") or "")] * len(table),
                     name="flag", index=1)
    extra = activity.line_indicators(result, indicators)
    # line_indicators keeps the rows of result.lines, in order.
    for name in LINE_INDICATOR_COLUMNS:
        table[name] = extra[name]
    return table


# --------------------------------------------------------------------------
# The tables of a run, kept on disk as results come in


class ResultTables:
    """The output tables of one run over `paths`, in input order.

    Rows are added as spectra are measured (in any order) and the tables
    are rewritten atomically from time to time (`checkpoint`) and at the
    end (`flush`), so an interrupted run keeps every result it wrote.
    With `resume`, the rows already in `output` are kept and their
    spectra skipped (`done`).

    Parameters
    ----------
    paths : sequence of str
        The spectra of the run, in input order (the table's order).
    output : str or None
        The per-spectrum table (CSV, or rdb for a ``.rdb`` name).
    per_line : str or None
        The per-line table (CSV, or FITS for a ``.fits`` name).
    resume : bool
        Keep the rows of an existing `output` (and their per-line rows).
    """

    def __init__(
        self,
        paths: Sequence[str],
        output: str | None,
        per_line: str | None = None,
        resume: bool = False,
    ) -> None:
        self.paths = [str(p) for p in paths]
        self.output = output
        self.per_line = per_line
        self.rows: dict[str, dict] = {}
        self.lines: dict[str, Any] = {}
        self.other_rows: list[dict] = []
        self.other_lines: dict[str, Any] = {}
        self.line_header: str | None = None
        self._last_write = -math.inf
        self._write_cost = 0.0
        for target in (output, per_line):
            if target is not None:
                remove_stale_temporaries(target)
        if resume and output is not None and os.path.exists(output):
            self._load(output, per_line)

    def _load(self, output: str, per_line: str | None) -> None:
        wanted = set(self.paths)
        for row in read_table(output):
            if row["file"] in wanted:
                self.rows[row["file"]] = row
            else:
                self.other_rows.append(row)
        if per_line is None:
            return
        if self.rows and not os.path.exists(per_line):
            raise InputError(
                f"ResultTables: {per_line}: missing, but {output} has "
                "results to resume; run again without --resume"
            )
        if not os.path.exists(per_line):
            return
        if _is_fits_name(per_line):
            parts = self._load_fits_lines(per_line)
        else:
            parts = self._load_csv_lines(per_line)
        for path, part in parts.items():
            if path in self.rows:
                self.lines[path] = part
            elif path not in wanted:
                self.other_lines[path] = part

    def _load_fits_lines(self, per_line: str) -> dict:
        """Rows of a FITS per-line table, by file."""
        table = read_line_table(per_line)
        if "file" not in table.colnames:
            raise InputError(
                f"ResultTables: {per_line}: no file column (not a per-line "
                "table of this tool)"
            )
        files = np.asarray(table["file"]).astype(str)
        return {path: table[files == path] for path in dict.fromkeys(files)}

    def _load_csv_lines(self, per_line: str) -> dict:
        """Text lines of a CSV per-line table, by file, kept verbatim so
        that resumed rows are written back exactly as they were."""
        text = _read_text(per_line, "ResultTables", "cannot read")
        lines = text.splitlines(keepends=True)
        if not lines or not lines[0].startswith("file"):
            raise InputError(
                f"ResultTables: {per_line}: no file column (not a per-line "
                "table of this tool)"
            )
        self.line_header = lines[0]
        parts: dict[str, str] = {}
        for line in lines[1:]:
            path = next(csv.reader([line]))[0]
            parts[path] = parts.get(path, "") + line
        return parts

    def done(self, path: str) -> bool:
        """Whether `path` already has a row (from a resumed table)."""
        return str(path) in self.rows

    def add(self, result: Any, time_key: str | None = None) -> None:
        """Add the result of one spectrum."""
        ind = activity.indicators(result)
        row = result_row(result, time_key, ind)
        path = row["file"]
        if self.per_line is not None and result.lines is not None:
            table = _line_rows(path, result, ind)
            if _is_fits_name(self.per_line):
                self.lines[path] = table
            else:
                buffer = io.StringIO()
                table.write(buffer, format="ascii.csv")
                header, _, body = buffer.getvalue().partition("\n")
                header += "\n"
                if self.line_header is None:
                    self.line_header = header
                elif header != self.line_header:
                    raise InputError(
                        f"ResultTables: {self.per_line}: its columns differ "
                        "from this run's (another estimator?); run again "
                        "without --resume or with another --per-line file"
                    )
                self.lines[path] = body
        self.rows[path] = row

    def ordered_rows(self) -> list[dict]:
        """Rows in input order, then rows of other files kept by resume."""
        rows = [self.rows[p] for p in self.paths if p in self.rows]
        return rows + self.other_rows

    def _ordered_lines(self) -> list:
        parts = [self.lines[p] for p in self.paths if p in self.lines]
        return parts + list(self.other_lines.values())

    def line_table(self) -> Any:
        """The per-line table (FITS mode) of every measured spectrum, in
        input order."""
        from astropy.table import Table, vstack

        tables = [t for t in self._ordered_lines() if len(t)]
        if not tables:
            return Table({"file": np.array([], dtype=str)})
        return vstack(tables, join_type="outer", metadata_conflicts="silent")

    def line_text(self) -> str:
        """The per-line table (CSV mode), in input order."""
        return (self.line_header or "file\n") + "".join(self._ordered_lines())

    def _write_lines(self, path: str) -> None:
        if _is_fits_name(path):
            write_line_table(path, self.line_table())
        else:
            _write_text_atomic(path, self.line_text())

    def checkpoint(self) -> None:
        """Rewrite the tables if that costs under a fifth of the time since
        the last write (always for small tables; rarely for huge ones)."""
        now = _time.monotonic()
        if now - self._last_write >= 5.0 * self._write_cost:
            self.flush()

    def flush(self) -> None:
        """Rewrite the tables now.  The per-line table goes first, so a
        row in the per-spectrum table always has its lines on disk."""
        start = _time.monotonic()
        if self.per_line is not None:
            self._write_lines(self.per_line)
        if self.output is not None:
            write_table(self.output, self.ordered_rows())
        self._last_write = _time.monotonic()
        self._write_cost = self._last_write - start


def open_for_writing(path: str, what: str) -> None:
    """Check before any work that `path` can be written (its directory
    exists and is writable), so a long run cannot end unable to save;
    `what` names the option or argument in the error."""
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise InputError(
            f"{what} {path}: directory {directory} does not exist"
        )
    if not os.access(directory, os.W_OK):
        raise InputError(
            f"{what} {path}: directory {directory} is not writable"
        )
    if os.path.isdir(path):
        raise InputError(f"{what} {path}: is a directory")
