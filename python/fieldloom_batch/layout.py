"""A recipe compiled once into a `Layout`: packets decoded to NumPy columns
and packed back from them, and what a decode that skips packets returns."""
from __future__ import annotations

import operator
from collections.abc import Mapping, Sequence
from typing import Any, Literal, NamedTuple, overload

import numpy as np
import numpy.typing as npt

from fieldloom_batch import _native


class Refused(NamedTuple):
    """A packet left out by ``errors="skip"``: its index, its byte offset in
    the buffer, and the exception ``unpack_parameters`` raises for it."""

    index: int  # type: ignore[assignment]  # the agreed name; shadows tuple.index
    offset: int
    error: Exception


class DecodedTable(NamedTuple):
    """What ``unpack_arrow(..., errors="skip")`` returns: a ``pyarrow.Table``
    of the packets that decoded, the packet index of each row, and the refused ones."""

    table: Any
    index: npt.NDArray[np.int64]  # type: ignore[assignment]  # shadows tuple.index, as in Decoded
    refused: list[Refused]


class Decoded(NamedTuple):
    """What ``unpack_many(..., errors="skip")`` returns: the columns of the
    packets that decoded, the packet index of each row, and the refused ones."""

    columns: dict[str, npt.NDArray[Any]]
    index: npt.NDArray[np.int64]  # type: ignore[assignment]  # the agreed name; shadows tuple.index
    refused: list[Refused]


_U64_MAX = (1 << 64) - 1
_I64_MAX = (1 << 63) - 1


def _index_array(values: Any, what: str) -> npt.NDArray[np.int64]:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{what} must be a one-dimensional array of byte offsets, not {array.ndim}-dimensional")
    if array.size == 0:
        return np.zeros(0, dtype=np.int64)
    if array.dtype == object:
        items = array.tolist()
        if all(isinstance(item, int) and not isinstance(item, bool) for item in items):
            # Python ints beyond 64 bits, which NumPy keeps as objects.
            if max(items) > _I64_MAX:
                raise ValueError(f"{what} holds {max(items)}, past the end of any buffer")
            if min(items) < 0:
                raise ValueError(f"{what} holds {min(items)}, before the start of any buffer")
            array = np.array(items, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{what} must hold integers, not {array.dtype}")
    if array.dtype.kind == "u" and array.dtype.itemsize >= 8 and int(array.max()) > _I64_MAX:
        raise ValueError(f"{what} holds {int(np.asarray(values, dtype=object).max())}, past the end of any buffer")
    return np.ascontiguousarray(array, dtype=np.int64)


def _integer(value: Any, name: str, least: int) -> int:
    """`value` as an int that fits 64 bits; below `least` is each caller's own message."""
    number = operator.index(value)
    if number > _U64_MAX:
        raise OverflowError(f"{name} must be {least} to {_U64_MAX}, not {number}")
    return number


def _packet_places(stride: Any, offsets: Any, lengths: Any) -> tuple[Any, Any]:
    """The caller's offsets and lengths as int64 arrays (None where not given)."""
    if offsets is None:
        if lengths is not None:
            raise TypeError("lengths needs offsets")
        return None, None
    if stride is not None:
        raise TypeError("give stride or offsets, not both")
    starts = _index_array(offsets, "offsets")
    if lengths is None:
        return starts, None
    sizes = _index_array(lengths, "lengths")
    if len(sizes) != len(starts):
        raise ValueError(f"lengths has {len(sizes)} items but offsets has {len(starts)}")
    return starts, sizes


class Layout(_native.Layout):
    """A recipe read once, with the key order, checks and messages of the
    recipe functions; a fault in an entry is raised here, as ValueError.

    ``layout.unpack(packet, offset_bits=0)`` and ``layout.pack(values)`` equal
    ``unpack_parameters(packet, offset_bits, recipe)`` and
    ``pack_parameters(recipe, values)``, result and error."""

    __slots__ = ()

    @property
    def dtypes(self) -> dict[str, np.dtype[Any]]:
        """The NumPy type of each column of `unpack_many`."""
        return {name: np.dtype(code) for name, code in zip(self.columns, self._dtype_codes)}

    @overload
    def unpack_many(
        self,
        buffer: Any,
        *,
        stride: int | None = None,
        offsets: Sequence[int] | npt.NDArray[np.integer[Any]] | None = None,
        lengths: Sequence[int] | npt.NDArray[np.integer[Any]] | None = None,
        count: int | None = None,
        errors: Literal["raise"] = "raise",
        threads: int = 1,
    ) -> dict[str, npt.NDArray[Any]]: ...

    @overload
    def unpack_many(
        self,
        buffer: Any,
        *,
        stride: int | None = None,
        offsets: Sequence[int] | npt.NDArray[np.integer[Any]] | None = None,
        lengths: Sequence[int] | npt.NDArray[np.integer[Any]] | None = None,
        count: int | None = None,
        errors: Literal["skip"],
        threads: int = 1,
    ) -> Decoded: ...

    def unpack_many(
        self,
        buffer: Any,
        *,
        stride: int | None = None,
        offsets: Sequence[int] | npt.NDArray[np.integer[Any]] | None = None,
        lengths: Sequence[int] | npt.NDArray[np.integer[Any]] | None = None,
        count: int | None = None,
        errors: Literal["raise", "skip"] = "raise",
        threads: int = 1,
    ) -> dict[str, npt.NDArray[Any]] | Decoded:
        """Every packet of a recording decoded into one column per field name.

        ``buffer`` is anything with the buffer protocol, read in place and held
        (it cannot be resized while it is read). Packets sit every ``stride``
        bytes from 0 (default: `packet_size`; a shorter last packet is a packet
        of its own and decodes or fails as such), or at the byte ``offsets``
        given, each ``lengths[i]`` long or running to the next offset (the last
        to the end of the buffer). Packet i is exactly those bytes.

        ``errors="raise"``: the first packet that fails raises what
        ``unpack_parameters`` raises for it, with a note naming the packet's
        index and byte offset. ``errors="skip"``: failing packets are left out
        and listed in a `Decoded`. ``threads`` splits the numeric columns'
        work over that many threads (the lock is released meanwhile)."""
        result = self._unpack_many(*self._recording(buffer, stride=stride, offsets=offsets, lengths=lengths,
                                                    count=count, errors=errors, threads=threads), False)
        if errors == "raise":
            return result  # type: ignore[no-any-return]
        columns, index, refused = result
        return Decoded(columns, index, [Refused(*item) for item in refused])

    def unpack_arrow(self, buffer: Any, *, errors: Literal["raise", "skip"] = "raise",
                     dictionary: bool | str | Sequence[str] = False, **packets: Any) -> Any:
        """`unpack_many` into a ``pyarrow.Table`` (needs pyarrow), with its
        keywords (``stride``, ``offsets``, ``lengths``, ``count``, ``threads``):
        one column per field with the same values: numeric columns are the decoded NumPy
        buffers, shared without a copy; text columns are ``large_string``
        built natively from the same decoders, with no Python str per value.
        ``dictionary`` (True, or the names of text columns) dictionary-encodes
        text columns: each distinct text once, and an int32 index per row.
        ``errors="skip"`` gives a `DecodedTable` of the table, the packet
        index of each row and the refused packets."""
        from .arrow import arrow_table, import_pyarrow

        import_pyarrow()
        encoded = self._dictionary_columns(dictionary)
        result = self._unpack_many(*self._recording(buffer, errors=errors, **packets), True)
        if errors == "raise":
            return arrow_table(result, dictionary=encoded)
        columns, index, refused = result
        return DecodedTable(arrow_table(columns, dictionary=encoded), index, [Refused(*item) for item in refused])

    def _dictionary_columns(self, dictionary: Any) -> set[str]:
        texts = [name for name, dtype in self.dtypes.items() if dtype == object]
        if isinstance(dictionary, bool):
            return set(texts) if dictionary else set()
        names = [dictionary] if isinstance(dictionary, str) else list(dictionary)
        unknown = [name for name in names if name not in self.dtypes]
        if unknown:
            raise KeyError(f"not a column of the layout: {', '.join(map(repr, unknown))}")
        numeric = [name for name in names if name not in texts]
        if numeric:
            raise ValueError(f"dictionary encoding is for text columns, not {', '.join(map(repr, numeric))}")
        return set(names)

    def _recording(self, buffer: Any, *, stride: int | None = None, offsets: Any = None, lengths: Any = None,
                   count: int | None = None, errors: str = "raise", threads: int = 1) -> tuple[Any, ...]:
        """The checked arguments of the native decode."""
        if errors not in ("raise", "skip"):
            raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
        threads = _integer(threads, "threads", 1)
        if threads < 1:
            raise ValueError(f"threads must be at least 1, not {threads}")
        if count is not None:
            count = _integer(count, "count", 0)
            if count < 0:
                raise ValueError(f"count must not be negative, not {count}")
        starts, sizes = _packet_places(stride, offsets, lengths)
        if starts is None:
            stride = self.packet_size if stride is None else _integer(stride, "stride", 1)
            if stride <= 0:
                raise ValueError(f"stride must be a positive number of bytes, not {stride}")
        return buffer, stride, starts, sizes, count, errors == "skip", threads

    def pack_many(self, columns: Mapping[str, Sequence[Any] | npt.NDArray[Any]], *, stride: int | None = None) -> bytes:
        """N packets from columns of equal length, each at its own ``stride``
        (default: `packet_size`): byte for byte the ``pack_parameters`` rows,
        zero-filled between them. A failing row raises what
        ``pack_parameters`` raises, with a note naming the row."""
        if not isinstance(columns, Mapping) and not (hasattr(columns, "keys") and hasattr(columns, "__getitem__")):
            raise TypeError(f"columns must be a mapping of field names to columns, not {type(columns).__name__}")
        used = [name for name, *_ in self._fields]
        per_field = [columns[name] if name in columns else None for name in used]
        # Only the columns the layout packs count; the others are ignored.
        lengths = {name: len(column) for name, column in zip(used, per_field) if column is not None}
        if len(set(lengths.values())) > 1:
            listed = ", ".join(f"{name!r} has {length}" for name, length in lengths.items())
            raise ValueError(f"columns must be of equal length: {listed}")
        # With none of them given, the rows fail as missing values do.
        count = next(iter(lengths.values()), None)
        if count is None:
            count = next((len(column) for column in columns.values()), 0)
        stride = self.packet_size if stride is None else _integer(stride, "stride", 0)
        if stride < 0:
            raise ValueError(f"stride must not be negative, not {stride}")
        return self._pack_many(per_field, count, stride)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.recipe,))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Layout):
            return NotImplemented
        return self.recipe == other.recipe

    def __hash__(self) -> int:
        return hash(tuple(tuple(entry.items()) for entry in self.recipe))

    def __repr__(self) -> str:
        rows = [
            f"  {name!r}: byte {first}, {bits} bits, {encoding} {order}{', bits reversed' if reverse else ''}"
            for name, first, bits, encoding, order, reverse in self._fields
        ]
        head = f"{type(self).__name__}({len(rows)} fields, {self.packet_size} bytes per packet"
        return head + (":\n" + "\n".join(rows) + ")" if rows else ")")


# Named where users import them from, as they always were: in reprs, in help, and in pickles.
for _public in (Refused, DecodedTable, Decoded, Layout):
    _public.__module__ = "fieldloom_batch"
del _public
