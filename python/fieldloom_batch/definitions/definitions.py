"""`Definitions`: a set of packet types checked as a whole, that decodes
recordings mixing them."""
from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from fieldloom_batch.definitions.model import PacketType
from fieldloom_batch.definitions.resolve import Chain, identification_order, resolve


class Definitions:
    """Packet types, checked as a whole when made: unique names, bases that
    exist and form no cycle, entries placed without overlapping, sizes,
    counts and conditions that name fields decoded before them. The first
    fault raises `DefinitionError` (a ValueError) naming the type and entry.

    A packet belongs to the deepest concrete type whose conditions (its own
    and its bases') all hold; among equally deep types, the first given."""

    __slots__ = ("_types", "_chains", "_order", "_program")

    def __init__(self, types: Iterable[PacketType]) -> None:
        types = tuple(types)
        self._chains: dict[str, Chain] = resolve(types)
        self._types = {packet_type.name: packet_type for packet_type in types}
        self._order = identification_order(self._chains)
        self._program: Any = None  # the native program, compiled on first use

    @property
    def types(self) -> dict[str, PacketType]:
        """The packet types by name, in the order given."""
        return dict(self._types)

    @property
    def chains(self) -> dict[str, Chain]:
        """Each type's resolved chain of entries and conditions."""
        return dict(self._chains)

    @property
    def concrete(self) -> list[str]:
        """The names of the types a packet can be of, in the order given."""
        return [name for name, chain in self._chains.items() if not chain.abstract]

    @property
    def identification_order(self) -> list[str]:
        return list(self._order)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (tuple(self._types.values()),))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Definitions):
            return NotImplemented
        return tuple(self._types.values()) == tuple(other._types.values())

    def __hash__(self) -> int:
        return hash(tuple(self._types))

    def __repr__(self) -> str:
        names = ", ".join(self._types)
        return f"Definitions({len(self._types)} packet types: {names})"
