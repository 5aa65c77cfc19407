"""What decoding with packet definitions gives: one table per packet type,
the packets refused with their reasons, and a census."""
from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

# Why a packet is refused; the texts are part of the interface.
NO_PACKET_TYPE = "no packet type"
TOO_SHORT = "too short"
BAD_SIZE = "bad size"
BAD_VALUE = "bad value"
CUT_OFF = "cut off"
REASONS = (NO_PACKET_TYPE, TOO_SHORT, BAD_SIZE, BAD_VALUE, CUT_OFF)


class PacketTable(NamedTuple):
    """The packets of one type: `columns` of engineering values in the
    order of the type's entries, `raw` the values before calibration of its
    calibrated entries, and per row the packet's `index` in the recording
    and its first byte's `offset`."""

    columns: dict[str, npt.NDArray[Any]]
    raw: dict[str, npt.NDArray[Any]]
    index: npt.NDArray[np.int64]  # type: ignore[assignment]  # the agreed name; shadows tuple.index
    offset: npt.NDArray[np.int64]

    def to_pandas(self, *, raw: bool = True) -> Any:
        """A DataFrame indexed by packet index: `offset`, the columns, and `NAME.raw` after each
        calibrated one (with raw=True); see `fieldloom_batch.definitions.tables`."""
        from fieldloom_batch.definitions.tables import to_pandas

        return to_pandas(self, raw=raw)

    def to_arrow(self, *, raw: bool = True) -> Any:
        """A pyarrow Table: `packet`, `offset`, the columns (and `NAME.raw`)."""
        from fieldloom_batch.definitions.tables import to_arrow

        return to_arrow(self, raw=raw)


class RefusedPacket(NamedTuple):
    """A packet left out by ``errors="skip"``: where it is, and why."""

    index: int  # type: ignore[assignment]  # the agreed name; shadows tuple.index
    offset: int
    reason: str
    message: str


class Census(NamedTuple):
    """Packets in all; decoded packets per concrete type; refused packets per
    reason; per type, the packets longer than its entries and their extra
    bytes in all."""

    packets: int
    types: dict[str, int]
    refused: dict[str, int]
    extra: dict[str, tuple[int, int]]


class DecodedPackets(NamedTuple):
    tables: dict[str, PacketTable]
    refused: list[RefusedPacket]
    census: Census

    def to_pandas(self, *, raw: bool = True) -> dict[str, Any]:
        """One DataFrame per packet type (`PacketTable.to_pandas`)."""
        return {name: table.to_pandas(raw=raw) for name, table in self.tables.items()}

    def to_parquet(self, directory: Any, *, raw: bool = True) -> list[Any]:
        """One Parquet file per packet type in `directory`, `TYPE.parquet`; the paths written."""
        from fieldloom_batch.definitions.tables import write_parquet

        return write_parquet(self, directory, raw=raw)


class PacketError(ValueError):
    """A packet that could not be decoded: its index in the recording, its
    byte offset, the reason (one of `REASONS`) and the packet type it was
    found to be, if any."""

    def __init__(self, index: int, offset: int, reason: str, message: str, packet_type: str | None = None) -> None:
        super().__init__(f"packet {index} at byte {offset}: {message}")
        self.index = index
        self.offset = offset
        self.reason = reason
        self.message = message
        self.packet_type = packet_type

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.index, self.offset, self.reason, self.message, self.packet_type))
