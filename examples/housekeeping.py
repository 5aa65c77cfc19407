"""The housekeeping packet layout, shared by the demo and the recording generator.

The recipe lives in housekeeping_recipe.json: a 6-byte primary header followed
by a 25-byte data field. Entries may carry keys the engine ignores; here "unit"
and "scale" say how to show a field.
"""
from __future__ import annotations

import json
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple, cast

if TYPE_CHECKING:
    from fieldloom import RecipeEntry

HERE = Path(__file__).resolve().parent
RECIPE_PATH = HERE / "housekeeping_recipe.json"
RECORDING_PATH = HERE / "housekeeping.bin"

HEADER_BYTES = 6
# eps_flags, bit 0 first. The field is sent least significant bit first, hence
# reverse_bits in its recipe entry.
EPS_FLAGS = ("sunlit", "charging", "heater", "payload", "", "", "", "safe")


class Layout(NamedTuple):
    header: list[RecipeEntry]  # the primary header alone: enough to find a packet's length
    packet: list[RecipeEntry]  # header and data field
    units: dict[str, tuple[str, float]]  # field name -> (unit, scale) for display

    @property
    def packet_bytes(self) -> int:
        return max((entry.get("offset_bits", 0) + entry["bits"] + 7) // 8 for entry in self.packet)


def load_layout(path: Path = RECIPE_PATH) -> Layout:
    document = json.loads(path.read_text(encoding="utf-8"))
    header = cast("list[RecipeEntry]", document["primary_header"])
    data_field = cast("list[RecipeEntry]", document["data_field"])
    units = {
        str(entry["name"]): (str(entry.get("unit", "")), float(entry.get("scale", 1.0)))
        for entry in document["primary_header"] + document["data_field"]
    }
    return Layout(header, header + data_field, units)


def rtc_text(hhmmss: int) -> str:
    """The packed-BCD clock reads as the decimal number hhmmss."""
    return f"{hhmmss // 10000:02d}:{hhmmss // 100 % 100:02d}:{hhmmss % 100:02d}"


def flag_names(flags: int) -> str:
    names = [name for bit, name in enumerate(EPS_FLAGS) if name and flags >> bit & 1]
    return ",".join(names) or "-"
