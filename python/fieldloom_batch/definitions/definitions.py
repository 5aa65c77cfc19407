"""`Definitions`: a set of packet types checked as a whole, that decodes
recordings mixing them."""
from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from fieldloom_batch import _native
from fieldloom_batch.definitions import decode as _decode
from fieldloom_batch.definitions.compile import compile_program
from fieldloom_batch.definitions.model import PacketType
from fieldloom_batch.definitions.pack import pack_chain
from fieldloom_batch.definitions.resolve import Chain, identification_order, resolve
from fieldloom_batch.definitions.results import DecodedPackets

Offsets = Sequence[int] | npt.NDArray[np.integer[Any]] | None


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
        self._program: Any = _native.Program(compile_program(self._chains, self._order))

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

    def decode(self, buffer: Any, *, stride: int | None = None, offsets: Offsets = None, lengths: Offsets = None,
               prefix: int = 0, errors: Literal["raise", "skip"] = "raise", threads: int = 1) -> DecodedPackets:
        """Every packet of a recording, each decoded as its type into that
        type's table.

        ``buffer`` is anything with the buffer protocol, read in place. Packets
        are found by their CCSDS primary headers (each packet is 7 +
        packet_data_length bytes; ``prefix`` bytes before each are skipped and
        not part of it), or every ``stride`` bytes (a shorter last one is a
        packet too), or at ``offsets`` (each ``lengths[i]`` long, or running to
        the next offset).

        A packet of no type, whose entries do not lie within it, whose sizes
        or counts are negative or not whole bytes, whose values do not decode
        or calibrate, or cut off by the end of the recording, is refused: with
        ``errors="raise"`` the first (in recording order) raises `PacketError`;
        with ``"skip"`` it is listed in ``refused`` and counted in the census.
        ``threads`` splits the work without the interpreter lock."""
        return _decode.decode(self._program, self._chains, buffer, stride=stride, offsets=offsets, lengths=lengths,
                              prefix=prefix, errors=errors, threads=threads)

    def unpack(self, packet: Any, *, raw: bool = False) -> tuple[str, dict[str, Any]]:
        """One packet's type and its entries' values (``raw=True``: before
        calibration), equal to its row in a decoded table. A packet that
        would be refused raises `PacketError` with index 0 and offset 0."""
        return _decode.unpack(self._program, self._chains, packet, raw)

    def pack(self, type_name: str, columns: Mapping[str, Any], *, raw: bool = False) -> bytes:
        """Packets of a type with no variable part, back to back, from one
        column per entry (rows of `count` values for an array): byte for byte
        what decodes to those values. With ``raw=False`` calibrated entries
        take engineering values where the calibration inverts (a linear
        polynomial, rounded to the nearest count for an integer encoding; an
        enumeration's label, to its lowest code; a boolean); other
        calibrations need ``raw=True``. A value that does not encode raises
        what pack_parameters raises for it, with a note naming its row and
        entry."""
        if type_name not in self._chains:
            raise ValueError(f"no packet type {type_name!r}")
        return pack_chain(self._chains[type_name], columns, raw)

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
