"""Decoded packet tables as pandas DataFrames and Arrow tables, and Parquet files of them.

One table per packet type. A row is a packet: the frame's index (and the
Parquet column `packet`) is its index in the recording, `offset` its first
byte; then the type's columns in entry order, each calibrated column
followed by its values before calibration as `NAME.raw`. Arrow types follow
the columns: integers and floats as they are, `datetime64[ns]` as
timestamp[ns], text as string, binary as binary, a fixed-count array as a
fixed-size list and a counted array as a list of its elements' type.
"""
from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from fieldloom_batch.definitions.model import Dynamic, Enumeration
from fieldloom_batch.definitions.results import Census, DecodedPackets, PacketTable

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]

    from fieldloom_batch.definitions.definitions import Definitions

RAW_SUFFIX = ".raw"


def table_columns(table: PacketTable, raw: bool = True) -> dict[str, np.ndarray[Any, Any]]:
    """`offset`, then the engineering columns, each calibrated one followed by `NAME.raw`."""
    out: dict[str, np.ndarray[Any, Any]] = {"offset": table.offset}
    for name, column in table.columns.items():
        out[name] = column
        if raw and name in table.raw:
            out[name + RAW_SUFFIX] = table.raw[name]
    return out


def _rows(column: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """A 2-D column as an object column of its rows (views, not copies): a frame holds 1-D columns."""
    if column.ndim == 1:
        return column
    rows = np.empty(len(column), dtype=object)
    for i in range(len(column)):
        rows[i] = column[i]
    return rows


def to_pandas(table: PacketTable, *, raw: bool = True, arrow_types: dict[str, Any] | None = None) -> pandas.DataFrame:
    """One type's packets as a DataFrame indexed by packet index (named `packet`).

    Object columns stay NumPy object columns; with `arrow_types` (what `element_types` gives) they
    become Arrow-backed columns of those types instead (text, binary, lists), as Dask needs: it
    would turn any object column into strings."""
    import pandas

    def column(name: str, values: np.ndarray[Any, Any]) -> Any:
        if arrow_types is None or (values.ndim == 1 and values.dtype != object):
            return _rows(values)
        return pandas.arrays.ArrowExtensionArray(_arrow_column(values, arrow_types.get(name)))

    columns = {name: column(name, values) for name, values in table_columns(table, raw).items()}
    return pandas.DataFrame(columns, index=pandas.Index(table.index, dtype=np.int64, name="packet"), copy=False)


def element_types(definitions: Definitions, type_name: str) -> dict[str, Any]:
    """The Arrow type of each object column of a type (text, binary, counted arrays, entries present
    only sometimes), known before any packet is decoded, so that every part of a file agrees."""
    empty = definitions.decode(b"", errors="skip").tables[type_name]
    found: dict[str, Any] = {}
    for placed in definitions.chains[type_name].entries:
        entry = placed.entry
        for name, calibration in ((entry.name, entry.calibration), (entry.name + RAW_SUFFIX, None)):
            if name == entry.name or entry.calibration is not None:
                arrow = _object_type(empty, entry, name, calibration)
                if arrow is not None:
                    found[name] = arrow
    return found


def _object_type(empty: PacketTable, entry: Any, name: str, calibration: Any) -> Any:
    import pyarrow  # type: ignore[import-untyped]

    from fieldloom_batch.definitions.definitions import Definitions as Set
    from fieldloom_batch.definitions.model import PacketType

    column = empty.raw.get(entry.name) if name.endswith(RAW_SUFFIX) else empty.columns[entry.name]
    if column is None or column.dtype != object:
        return None
    if entry.encoding == "binary":
        return pyarrow.binary()
    if not entry.numeric or isinstance(calibration, Enumeration):
        return pyarrow.string()
    # The engine tells the element type: a lone copy of the entry, one element, always present.
    count = 1 if isinstance(entry.count, Dynamic) else entry.count
    alone = dataclasses.replace(entry, offset=None, count=count, condition=None, calibration=calibration)
    try:
        probe = Set([PacketType("probe", (alone,))]).decode(b"", errors="skip").tables["probe"]
    except ValueError:
        return None  # a calibration that needs other fields: the values will tell
    arrow = _arrow_type(probe.columns[entry.name].dtype)
    if entry.count is None:
        return arrow
    return pyarrow.list_(arrow) if isinstance(entry.count, Dynamic) else pyarrow.list_(arrow, entry.count)


def _arrow_type(dtype: np.dtype[Any]) -> Any:
    import pyarrow

    return pyarrow.timestamp("ns") if dtype.kind == "M" else pyarrow.from_numpy_dtype(dtype)


def _arrow_column(values: np.ndarray[Any, Any], arrow_type: Any = None) -> Any:
    import pyarrow

    if values.ndim == 2:
        flat = pyarrow.array(np.ascontiguousarray(values).reshape(-1), type=_arrow_type(values.dtype))
        return pyarrow.FixedSizeListArray.from_arrays(flat, values.shape[1])
    if values.dtype == object:
        if arrow_type in (pyarrow.string(), pyarrow.binary()):
            # Without a list per column; only text and binary, where no NaN could be taken for a null.
            return pyarrow.array(values, type=arrow_type, from_pandas=True)
        items = [item.tolist() if isinstance(item, np.ndarray) else item for item in values]
        return pyarrow.array(items, type=arrow_type)
    return pyarrow.array(values, type=_arrow_type(values.dtype))


def to_arrow(table: PacketTable, *, raw: bool = True, types: dict[str, Any] | None = None) -> Any:
    """One type's packets as an Arrow table: `packet`, `offset`, then the columns."""
    import pyarrow

    types = types or {}
    columns = {"packet": table.index, **table_columns(table, raw)}
    return pyarrow.table({name: _arrow_column(values, types.get(name)) for name, values in columns.items()})


def census_dict(census: Census) -> dict[str, Any]:
    """The census as plain JSON values."""
    return {"packets": census.packets, "types": census.types, "refused": census.refused,
            "extra": {name: {"packets": packets, "bytes": extra} for name, (packets, extra) in census.extra.items()}}


def add_census(parts: Iterable[Census]) -> Census:
    """The census of a recording from those of its ranges of whole packets."""
    packets, types, refused, extra = 0, {}, {}, {}  # type: ignore[var-annotated]
    for part in parts:
        packets += part.packets
        for name, count in part.types.items():
            types[name] = types.get(name, 0) + count
        for reason, count in part.refused.items():
            refused[reason] = refused.get(reason, 0) + count
        for name, (longer, extra_bytes) in part.extra.items():
            before = extra.get(name, (0, 0))
            extra[name] = (before[0] + longer, before[1] + extra_bytes)
    return Census(packets, types, refused, extra)


def file_name(type_name: str, suffix: str) -> str:
    """A type's file in an output directory: its name, with any character a path could misread
    (a slash, a percent sign, a NUL) percent-encoded."""
    from urllib.parse import quote

    return quote(type_name, safe=" !$&'()+,;=@[]^`{}~") + suffix


def write_parquet(decoded: DecodedPackets, directory: str | os.PathLike[str], *, raw: bool = True) -> list[Path]:
    """One Parquet file per packet type, `TYPE.parquet` in `directory` (made if missing); the paths written."""
    import pyarrow.parquet  # type: ignore[import-untyped]

    folder = Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    for name, table in decoded.tables.items():
        path = folder / file_name(name, ".parquet")
        pyarrow.parquet.write_table(to_arrow(table, raw=raw), path)
        written.append(path)
    return written
