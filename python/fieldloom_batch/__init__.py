"""Whole recordings with fieldloom: a recipe compiled once into a `Layout`,
packets decoded to NumPy columns and packed back from them.

Every value and every error equals what the per-packet functions
``fieldloom.unpack_parameters`` and ``fieldloom.pack_parameters`` give.
"""
from __future__ import annotations

import importlib
import importlib.util
from typing import TYPE_CHECKING, Any

__all__ = ["Decoded", "DecodedTable", "Definitions", "Gap", "Layout", "PacketScan", "Recording", "Refused", "Tail",
           "open_recording", "read_dask", "scan_ccsds", "sequence_gaps"]

# Each name loads with the module that holds it, when first asked for: importing the package
# alone loads neither NumPy nor the engine, so the `fieldloom` program can ready its process
# before they load, and a worker that never uses definitions never pays their import.
_HOMES = {
    "Decoded": "layout", "DecodedTable": "layout", "Layout": "layout", "Refused": "layout",
    "Gap": "ccsds", "PacketScan": "ccsds", "Tail": "ccsds", "scan_ccsds": "ccsds", "sequence_gaps": "ccsds",
    "Recording": "recording", "open_recording": "recording",
    "read_dask": "dataframe",
    "Definitions": "definitions",
}

if TYPE_CHECKING:
    from fieldloom_batch.ccsds import Gap, PacketScan, Tail, scan_ccsds, sequence_gaps
    from fieldloom_batch.dataframe import read_dask
    from fieldloom_batch.definitions import Definitions
    from fieldloom_batch.layout import Decoded, DecodedTable, Layout, Refused
    from fieldloom_batch.recording import Recording, open_recording


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    elif name.isidentifier() and not name.startswith("__") and importlib.util.find_spec(f"{__name__}.{name}"):
        value = importlib.import_module(f"{__name__}.{name}")  # a module, as when the package loaded them all
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
