"""The table files that the `fieldloom` command writes: Parquet, CSV or JSON Lines.

A file appears only once it is complete. Each run writes a hidden temporary
file of its own beside the output and renames it over the output at the end,
so that two runs never write into one file and a failed or interrupted run
leaves the previous output as it was. A dataset (a directory of parts, one
per range of packets, written by the workers in parallel) is written into a
hidden temporary directory beside it and renamed in the same way.

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
import shutil
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl"}


class OutputError(Exception):
    """The output cannot be written: one line naming the path the user gave."""


def write_error(path: Path, error: OSError) -> OutputError:
    # Arrow's errors carry the errno beside a text of their own.
    return OutputError(f"cannot write {path}: {os.strerror(error.errno) if error.errno else error}")


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

    # No decoded value is ever null (a refused packet is left out, not a row of nulls): saying so
    # spares Parquet a definition level per value, about a sixth of what writing a table costs.
    return pyarrow.schema([pyarrow.field(name, arrow_type(dtype), nullable=False) for name, dtype in dtypes.items()])


def block_encoder(dtypes: dict[str, np.dtype[Any]], format: str) -> Callable[[Any], Any]:
    """What turns a block into what its writer takes: an Arrow table from `unpack_arrow` into one of
    the output's schema, or the NumPy columns of `unpack_many` into JSON Lines text (which needs a
    Python value per field anyway). Worker processes run it, so that the work is shared."""
    if format == "jsonl":
        return jsonl_text
    import pyarrow

    schema = arrow_schema(dtypes, format)

    def encode(table: Any) -> Any:
        columns = [column if column.type == field.type else to_type(pyarrow, column, field.type)
                   for column, field in zip(table.columns, schema)]
        return pyarrow.Table.from_arrays(columns, schema=schema)

    return encode


def to_type(pa: Any, column: Any, type: Any) -> Any:
    """A column of another type. Text comes as large_string; a block's bytes fit string's 32-bit
    offsets, so it takes new offsets and keeps its bytes. Arrow's cast would do the same, but
    loading pyarrow.compute costs each process of a run a twentieth of a second."""
    if not (pa.types.is_large_string(column.type) and type == pa.string()):
        return column.cast(type)
    chunks = []
    for chunk in column.chunks:
        offsets = np.frombuffer(chunk.buffers()[1], dtype=np.int64)[chunk.offset: chunk.offset + len(chunk) + 1]
        if chunk.null_count or (len(offsets) and int(offsets[-1]) > np.iinfo(np.int32).max):
            return column.cast(type)
        chunks.append(pa.StringArray.from_buffers(len(chunk), pa.py_buffer(offsets.astype(np.int32)),
                                                  chunk.buffers()[2], null_count=0))
    return pa.chunked_array(chunks, type=type)


PART_DIGITS = 6  # part-000000...: names sort in packet order


def part_name(index: int, format: str) -> str:
    return f"part-{index:0{PART_DIGITS}d}.{format}"


def write_part(path: str, encoded: Any, format: str) -> None:
    """One part of a dataset, as one file; the directory it goes in is the run's own, not yet visible."""
    if format == "jsonl":
        with open(path, "wb") as file:
            file.write(encoded)
    elif format == "parquet":
        import pyarrow.parquet

        pyarrow.parquet.write_table(encoded, path)
    else:
        import pyarrow.csv

        pyarrow.csv.write_csv(encoded, path)


def is_dataset(path: str) -> bool:
    """An output named with a trailing separator (out.parquet/) is a directory of parts."""
    return path.endswith(os.sep) or (os.altsep is not None and path.endswith(os.altsep))


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class DatasetWriter:
    """A directory of parts, written into a temporary directory beside the output that is renamed
    to it by `commit`. Leaving the `with` block without committing removes the temporary directory."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.committed = False
        try:
            self.temporary = Path(tempfile.mkdtemp(prefix=f".{path.name}.", suffix=".partial",
                                                   dir=path.absolute().parent))
            os.chmod(self.temporary, 0o777 & ~_umask())
        except OSError as error:
            raise write_error(self.path, error) from None

    def commit(self) -> None:
        try:
            # rename() replaces an empty directory; check_output refused any other in the way.
            os.rename(self.temporary, self.path)
        except OSError as error:
            raise write_error(self.path, error) from None
        self.committed = True

    def __enter__(self) -> DatasetWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        if not self.committed:
            shutil.rmtree(self.temporary, ignore_errors=True)


class TableWriter:
    """Writes encoded blocks to a temporary file; the output appears only when `commit` is called.
    Leaving the `with` block without committing removes the temporary file, whatever went wrong."""

    def __init__(self, path: Path, dtypes: dict[str, np.dtype[Any]], schema: Any = None) -> None:
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
            if schema is None:  # else the caller's Arrow schema, for columns no dtype describes
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
        return write_error(self.path, error)

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
