"""Model features the engine cannot decode yet: refused when a set of packet
types is made, so no packet decodes wrongly without a word. Each line goes
when the engine learns the feature."""
from __future__ import annotations

from collections.abc import Iterable

from fieldloom_batch.definitions.model import QUAD_ENCODING, DefinitionError, PacketType


def _unsupported(packet_type: PacketType) -> None:
    for entry in packet_type.entries:
        where = f"packet type {packet_type.name!r}, entry {entry.name!r}"
        if entry.encoding == QUAD_ENCODING and entry.count is not None:
            raise DefinitionError(f"{where}: arrays of {QUAD_ENCODING} are not decoded yet")


def refuse_unsupported(types: Iterable[PacketType]) -> None:
    """DefinitionError for the first entry that uses a feature the engine lacks."""
    for packet_type in types:
        if isinstance(packet_type, PacketType):
            _unsupported(packet_type)
