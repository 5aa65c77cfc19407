"""The table files that the `fieldloom` command writes: Parquet, CSV or JSON Lines.

A file appears only once it is complete. Each run writes a hidden temporary
file of its own beside the output and renames it over the output at the end,
so that two runs never write into one file and a failed or interrupted run
leaves the previous output as it was.

Text outputs write every value so that it reads back as the Python value
`unpack_parameters` gives: a float32 field's value is a double (the float32
-2.7627125 is -2.7627124786376953), so floats are written as the shortest
text of their double. JSON has no NaN or infinities: JSON Lines writes those
as the strings "NaN", "Infinity" and "-Infinity".
"""
from __future__ import annotations

import json
import math
import os
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl"}


class OutputError(Exception):
    """The output cannot be written: one line naming the path the user gave."""


def output_format(path: Path) -> str | None:
    return FORMATS.get(path.suffix.lower())


def _non_finite(value: float) -> float | str:
    if math.isfinite(value):
        return value
    return "NaN" if value != value else "Infinity" if value > 0 else "-Infinity"


def jsonl_text(columns: dict[str, np.ndarray[Any, Any]]) -> bytes:
    """One JSON object per row, in strict JSON."""
    names = list(columns)
    values = []
    for column in columns.values():
        items = column.tolist()  # floats become the doubles unpack_parameters gives
        if column.dtype.kind == "f" and not np.isfinite(column).all():
            items = [_non_finite(item) for item in items]
        values.append(items)
    encode = json.JSONEncoder(allow_nan=False).encode
    return "".join(encode(dict(zip(names, row))) + "\n" for row in zip(*values)).encode("ascii")


def arrow_schema(dtypes: dict[str, np.dtype[Any]], format: str) -> Any:
    import pyarrow  # type: ignore[import-untyped]

    def arrow_type(dtype: np.dtype[Any]) -> Any:
        if dtype == object:
            return pyarrow.string()
        if format == "csv" and dtype.kind == "f":
            return pyarrow.float64()  # CSV writes the shortest text of each value's own type
        return pyarrow.from_numpy_dtype(dtype)

    return pyarrow.schema([(name, arrow_type(dtype)) for name, dtype in dtypes.items()])


def block_encoder(dtypes: dict[str, np.dtype[Any]], format: str) -> Callable[[dict[str, Any]], Any]:
    """What turns a block's columns into what its writer takes: an Arrow table, or JSON Lines text.
    Worker processes run it, so that the work is shared and only plain buffers travel back."""
    if format == "jsonl":
        return jsonl_text
    import pyarrow

    schema = arrow_schema(dtypes, format)

    def table(columns: dict[str, Any]) -> Any:
        arrays = [pyarrow.array(columns[field.name].astype(np.float64) if pyarrow.types.is_float64(field.type)
                                else columns[field.name], type=field.type) for field in schema]
        return pyarrow.Table.from_arrays(arrays, schema=schema)

    return table


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class TableWriter:
    """Writes encoded blocks to a temporary file; the output appears only when `commit` is called.
    Leaving the `with` block without committing removes the temporary file, whatever went wrong."""

    def __init__(self, path: Path, dtypes: dict[str, np.dtype[Any]]) -> None:
        self.path = path
        self.format = output_format(path)
        self.sink: Any = None
        self.committed = False
        handle: int | None
        try:
            handle, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".partial", dir=path.absolute().parent)
        except OSError as error:
            raise self.error(error) from None
        self.temporary = Path(name)
        try:
            os.fchmod(handle, 0o666 & ~_umask())  # as a file the run created directly would be
            if self.format == "jsonl":
                self.sink, handle = os.fdopen(handle, "wb"), None
                return
            os.close(handle)
            handle = None
            schema = arrow_schema(dtypes, self.format or "")
            if self.format == "parquet":
                import pyarrow.parquet  # type: ignore[import-untyped]
                self.sink = pyarrow.parquet.ParquetWriter(name, schema)
            else:
                import pyarrow.csv  # type: ignore[import-untyped]
                self.sink = pyarrow.csv.CSVWriter(name, schema)
        except BaseException as error:
            if handle is not None:
                os.close(handle)
            self.abandon()
            if isinstance(error, ImportError):
                raise OutputError(f"writing {self.format} needs {error.name}: pip install 'fieldloom[cli]'") from None
            if isinstance(error, OSError):
                raise self.error(error) from None
            raise

    def error(self, error: OSError) -> OutputError:
        # Arrow's errors carry the errno beside a text of their own.
        return OutputError(f"cannot write {self.path}: {os.strerror(error.errno) if error.errno else error}")

    def write(self, block: Any) -> None:
        """Writes one block that `block_encoder` made."""
        try:
            if self.format == "parquet":
                self.sink.write_table(block)
            else:
                self.sink.write(block)
        except OSError as error:
            raise self.error(error) from None

    def commit(self) -> None:
        try:
            self.sink.close()
            os.replace(self.temporary, self.path)
        except OSError as error:
            raise self.error(error) from None
        self.committed = True

    def abandon(self) -> None:
        try:
            if self.sink is not None:
                self.sink.close()
        except Exception:
            pass  # a full disk fails the close too; the file goes all the same
        finally:
            self.temporary.unlink(missing_ok=True)

    def __enter__(self) -> TableWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        if not self.committed:
            self.abandon()
