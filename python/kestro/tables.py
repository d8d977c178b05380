"""Tables users keep market data in: pandas DataFrames, Arrow tables, column dicts, CSV and Parquet files.

:func:`read_table` turns any of them into a :class:`SourceTable`: a pyarrow Table with a name
for messages (the file's name, or "the curves table"). Columns are found by name whatever
their case and spacing (``"Discount Factor"`` is ``discount_factor``), and values are read a
column at a time with errors that name the column, the row (and a CSV file's line) and the
value. CSV files are read by pyarrow, with the columns that hold dates, tenors or names kept
as text so that each value is read (and refused) by the package; Parquet files keep their
column types. pandas is needed only for DataFrames.
"""

from __future__ import annotations

import os
import pathlib
import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from kestro.clock import to_milliseconds, to_ms

__all__ = ["SourceTable", "column_key", "read_table"]

SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


def column_key(name: str) -> str:
    """The form column names are matched in: lower case, spaces and dashes as underscores."""
    return re.sub(r"[\s\-]+", "_", name.strip().lower())


@dataclass(frozen=True)
class SourceTable:
    """A table read from a user's source, with what names it in messages.

    ``first_line`` is the file line of row 0 for CSV files (1 is the header), else None.
    """

    table: pa.Table
    name: str
    first_line: int | None = None

    @property
    def columns(self) -> list[str]:
        """The column names as the source spells them."""
        return list(self.table.column_names)

    @property
    def num_rows(self) -> int:
        """The number of rows."""
        return int(self.table.num_rows)

    def find(self, *names: str) -> str | None:
        """The table's own name of the first of ``names`` it has (matched by :func:`column_key`)."""
        present = {column_key(column): column for column in self.columns}
        for name in names:
            if column_key(name) in present:
                return present[column_key(name)]
        return None

    def present(self) -> str:
        """The column names, quoted, for messages."""
        return ", ".join(repr(c) for c in self.columns) or "none"

    def error(self, message: str) -> ValueError:
        """A ``ValueError`` whose message starts with the table's name."""
        return ValueError(f"{self.name}: {message}")

    def missing(self, what: str, names: tuple[str, ...]) -> ValueError:
        """The error for a column that is not there: what is missing, the names it may have, those present."""
        options = " or ".join(repr(n) for n in names)
        return self.error(f"no {what} column: give {options} (columns present: {self.present()})")

    def where(self, row: int) -> str:
        """How row ``row`` (from 0) is named in messages, with its line in a CSV file."""
        return f"row {row}" if self.first_line is None else f"row {row} (line {self.first_line + row})"

    def numbers(self, column: str, *, missing: bool = False) -> np.ndarray:
        """The column as float64; nulls are NaN when ``missing`` allows them, else refused naming the row."""
        values = self.table.column(column)
        kind = values.type
        if pa.types.is_dictionary(kind):
            values = values.cast(kind.value_type)
            kind = values.type
        if pa.types.is_string(kind) or pa.types.is_large_string(kind):
            values = self._parsed_numbers(column, values)
        elif not (pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind)
                  or pa.types.is_null(kind)):
            raise self.error(f"column {column!r} holds {kind}, not numbers")
        out = values.cast(pa.float64()).to_numpy(zero_copy_only=False).astype(np.float64)
        if not missing and values.null_count:
            raise self.error(f"column {column!r}, {self.where(self._first_null(values))}: the value is missing")
        return out

    def _parsed_numbers(self, column: str, values: Any) -> Any:
        try:
            return pc.cast(values, pa.float64())
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            pass  # Python reads more ("1_000", " 0.04 "); and names the value it cannot read
        parsed = []
        for row, text in enumerate(values.to_pylist()):
            try:
                parsed.append(None if text is None else float(text))
            except ValueError:
                raise self.error(f"column {column!r}, {self.where(row)}: {text!r} is not a number") from None
        return pa.array(parsed, pa.float64())

    def strings(self, column: str) -> list[str]:
        """The column's values as text; a missing value is refused naming the row."""
        values = self.table.column(column)
        if values.null_count:
            raise self.error(f"column {column!r}, {self.where(self._first_null(values))}: the value is missing")
        return [str(v) for v in values.to_pylist()]

    def times(self, column: str, *, missing: bool = False,
              integers: bool = True) -> tuple[np.ndarray, np.ndarray]:
        """Milliseconds since 1970 of the column's times, and a mask of the rows that have one.

        Missing times are refused naming the row unless ``missing`` allows them (their
        milliseconds are then 0 and their mask False); an unreadable one is always refused
        with its row and value. Integers are milliseconds unless ``integers`` is False, when
        they are refused (a date typed as 20270101 is not a time).
        """
        values = self.table.column(column)
        if values.null_count and not missing:
            raise self.error(f"column {column!r}, {self.where(self._first_null(values))}: the time is missing")
        present = ~np.asarray(values.is_null().to_numpy(zero_copy_only=False), dtype=bool)
        kind = values.type
        if pa.types.is_dictionary(kind):
            values = values.cast(kind.value_type)
            kind = values.type
        if pa.types.is_string(kind) or pa.types.is_large_string(kind):
            out = np.zeros(len(values), dtype=np.int64)
            for row, text in enumerate(values.to_pylist()):
                if text is None:
                    continue
                try:
                    out[row] = to_ms(text)
                except ValueError as error:
                    raise self.error(f"column {column!r}, {self.where(row)}: {error}") from None
            return out, present
        if pa.types.is_floating(kind) or (pa.types.is_integer(kind) and not integers):
            raise self.error(f"column {column!r} holds numbers, not times: give dates or times (ISO text, "
                             "dates or timestamps)")
        try:
            filled = values.fill_null(0) if values.null_count else values
            return to_milliseconds(filled), present
        except (TypeError, ValueError) as error:
            raise self.error(f"column {column!r}: {error}") from None

    @staticmethod
    def _first_null(values: Any) -> int:
        return int(np.flatnonzero(values.is_null().to_numpy(zero_copy_only=False))[0])


def _is_pandas(value: Any) -> bool:
    return type(value).__module__.split(".")[0] == "pandas"


def read_table(source: Any, what: str, *, text_columns: tuple[str, ...] = ()) -> SourceTable:
    """``source`` as a :class:`SourceTable` named after the file, or "the ``what`` table".

    ``source`` is a pyarrow Table or RecordBatch, a pandas DataFrame (a named index becomes a
    column, an unnamed one is dropped), a dict of columns, or the path of a ``.csv`` or ``.parquet``
    file. ``text_columns`` are read from CSV as text whatever they look like. Raises
    ``TypeError`` for another kind of source and ``ValueError`` for another file suffix.
    """
    label = f"the {what} table"
    if isinstance(source, pa.RecordBatch):
        return SourceTable(pa.Table.from_batches([source]), label)
    if isinstance(source, pa.Table):
        return SourceTable(source, label)
    if _is_pandas(source) and hasattr(source, "columns"):
        frame = source.reset_index() if source.index.name is not None else source
        frame = frame.rename(columns=str)  # a new frame: the caller's keeps its names
        return SourceTable(pa.Table.from_pandas(frame, preserve_index=False), label)
    if isinstance(source, Mapping):
        try:
            return SourceTable(pa.table({str(k): v for k, v in source.items()}), label)
        except (pa.ArrowInvalid, pa.ArrowTypeError, TypeError, ValueError) as error:
            raise ValueError(f"{label}: the columns do not form a table: {error}") from None
    if isinstance(source, (str, os.PathLike)):
        return _read_file(pathlib.Path(source), what, text_columns)
    raise TypeError(f"the {what} must be a pandas DataFrame, a pyarrow Table, a dict of columns or the path of "
                    f"a .csv or .parquet file, not {type(source).__name__}")


def _read_file(path: pathlib.Path, what: str, text_columns: tuple[str, ...]) -> SourceTable:
    kind = SUFFIXES.get(path.suffix.lower())
    if kind is None:
        raise ValueError(f"{path.name}: read {what} from a .csv or .parquet file, not "
                         f"{path.suffix or 'a file without a suffix'}")
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such file (the {what})")
    if kind == "parquet":
        import pyarrow.parquet as pq

        return SourceTable(pq.read_table(path), path.name)
    import pyarrow.csv as csv

    header = _csv_header(path)
    wanted = {column_key(name) for name in text_columns}
    types = {name: pa.string() for name in header if column_key(name) in wanted}
    try:
        table = csv.read_csv(path, convert_options=csv.ConvertOptions(column_types=types, strings_can_be_null=True))
    except pa.ArrowInvalid as error:
        raise ValueError(f"{path.name}: not a CSV table: {error}") from None
    return SourceTable(table, path.name, first_line=2)


def _csv_header(path: pathlib.Path) -> list[str]:
    import csv as text_csv

    with open(path, newline="", encoding="utf-8-sig") as file:
        return next(text_csv.reader(file), [])
