"""Recordings decoded with packet definitions as Dask DataFrames: one per packet type, and the census."""
from __future__ import annotations

from typing import Any, NamedTuple

from fieldloom_batch.definitions.tables import RAW_SUFFIX, add_census, element_types, to_pandas


class DaskPackets(NamedTuple):
    """`frames`: a Dask DataFrame per concrete packet type (rows in recording order, indexed by
    packet index in its file); `census`: a Dask Delayed of the census of all recordings."""

    frames: dict[str, Any]
    census: Any


def _decode(definitions: Any, block: Any, prefix: int, errors: str) -> Any:
    from fieldloom_batch.definition_commands import decode_range

    return decode_range(definitions, block, prefix, errors, refusals=0)  # the census counts them


def _partition(decoded: Any, type_name: str, raw: bool, types: dict[str, Any]) -> Any:
    return to_pandas(decoded.tables[type_name], raw=raw, arrow_types=types)


def _census(definitions: Any, *parts: Any) -> Any:
    return add_census([definitions.decode(b"", errors="skip").census, *(part.census for part in parts)])


def read_definitions(definitions: Any, plans: list[Any], prefix: int, errors: str, raw: bool) -> DaskPackets:
    """One Dask task per range of whole packets decodes it once for every type's frame and the census
    (when they are computed together, as by ``dask.compute(*frames.values(), census)``)."""
    import dask as untyped_dask
    import dask.dataframe as dask_dataframe

    delayed: Any = untyped_dask.delayed  # type: ignore[attr-defined]  # Dask has no type hints
    blocks = [block for plan in plans for block in plan.blocks]
    decoded = [delayed(_decode, pure=True)(definitions, block, prefix, errors) for block in blocks]
    empty = definitions.decode(b"", errors="skip").tables
    frames = {}
    for name in definitions.concrete:
        types = element_types(definitions, name)
        meta = to_pandas(empty[name], raw=raw, arrow_types=types)
        parts = [delayed(_partition, pure=True)(item, name, raw, types) for item in decoded] or [meta]
        frames[name] = dask_dataframe.from_delayed(parts, meta=meta, verify_meta=False)
    return DaskPackets(frames, delayed(_census, pure=True)(definitions, *decoded))


__all__ = ["DaskPackets", "RAW_SUFFIX", "read_definitions"]
