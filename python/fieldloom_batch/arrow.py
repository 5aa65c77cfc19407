"""Decoded columns as Arrow, and from there pandas, Polars and DuckDB.

Numeric columns share the decoded NumPy buffers (Arrow reads them in place);
text decoded by `Layout.unpack_arrow` arrives as UTF-8 bytes and offsets
built natively, so no Python str is made per value. pyarrow is imported
here only: decoding to NumPy does not need it.
"""
from __future__ import annotations

from collections.abc import Collection, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]
    import pyarrow  # type: ignore[import-untyped]


def import_pyarrow() -> Any:
    try:
        import pyarrow
    except ImportError as error:
        raise ImportError("Arrow output needs pyarrow: pip install pyarrow (or fieldloom[cli])") from error
    return pyarrow


def utf8_array(pa: Any, offsets: np.ndarray[Any, Any], data: np.ndarray[Any, Any], used: int) -> Any:
    """A large_string array over the native text path's offsets and bytes."""
    if used < len(data):
        # Sized for the encoding's largest text; give back what was not used.
        data.resize(used, refcheck=False)
    return pa.LargeStringArray.from_buffers(len(offsets) - 1, pa.py_buffer(offsets), pa.py_buffer(data), null_count=0)


_WIDE = {"string": "large_string", "binary": "large_binary"}


def column_array(pa: Any, values: Any) -> Any:
    """One column as an Arrow array: NumPy numbers in place, text and bytes as
    their large (64-bit offset) Arrow types, lists of values as list arrays."""
    if isinstance(values, tuple):
        return utf8_array(pa, *values)
    values = np.asarray(values)
    if values.dtype.kind in "iuf" and values.flags.c_contiguous and values.dtype.isnative:
        # Wrapped as it is; pyarrow.array would also do it without a copy, but imports pandas
        # to ask whether it is a Series, which costs a command-line worker half a second.
        return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values),
                                     [None, pa.py_buffer(values)], null_count=0)
    if values.dtype != object:
        return pa.array(values)
    array = pa.array(values, from_pandas=False)
    wide = _WIDE.get(str(array.type))
    if wide is not None:
        array = array.cast(getattr(pa, wide)())
    elif pa.types.is_list(array.type):
        array = array.cast(pa.large_list(array.type.value_type))
    return array


def arrow_table(columns: Mapping[str, Any], dictionary: Collection[str] = ()) -> pyarrow.Table:
    """A `pyarrow.Table` of a dict of columns as `unpack_many` and
    `Layout.unpack_arrow` give them: numeric columns share their NumPy
    buffers, object columns of str, bytes or sequences become large_string,
    large_binary or list columns; those named in `dictionary` are
    dictionary-encoded (by Arrow, with no Python object per value)."""
    pa = import_pyarrow()
    arrays = [column_array(pa, values) for values in columns.values()]
    arrays = [array.dictionary_encode() if name in dictionary else array for name, array in zip(columns, arrays)]
    return pa.Table.from_arrays(arrays, names=list(columns))


def string_dtype() -> Any:
    """pandas' Arrow-backed string dtype (the default `str` of pandas 3)."""
    import pandas

    try:
        return pandas.StringDtype("pyarrow", na_value=np.nan)
    except TypeError:  # pandas before 2.3 has only the pd.NA flavour
        return pandas.StringDtype("pyarrow")


def to_pandas(table: pyarrow.Table, index: Any = None) -> pandas.DataFrame:
    """A DataFrame of an Arrow table: numbers without a copy where Arrow
    allows it (no consolidation into blocks), text as pandas' Arrow-backed
    strings without a conversion through Python objects."""
    pa = import_pyarrow()
    dtype = string_dtype()
    mapping = {pa.string(): dtype, pa.large_string(): dtype}
    frame = table.to_pandas(types_mapper=mapping.get, split_blocks=True)
    if index is not None:
        frame.index = index
    return frame
