"""Recordings as Dask DataFrames: one task per range of whole packets."""
from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, Union

import numpy as np

from .blocks import Block, FilePlan, decode_block, parse_size, plan_ccsds, plan_stride, raise_refused
from .arrow import to_pandas
from .ccsds import ApidSelection, apid_bitmap
from .recording import StrPath

if TYPE_CHECKING:
    import dask.dataframe
    import pandas  # type: ignore[import-untyped]


class TruncatedRecordingWarning(UserWarning):
    """A recording ends inside a CCSDS packet; those bytes are not decoded."""


Paths = Union[StrPath, Iterable[StrPath]]


def frame(table: Any, index: np.ndarray[Any, Any], names: Sequence[str]) -> pandas.DataFrame:
    """One partition: the named columns of a block's Arrow table, indexed by
    each packet's index in its file. Numeric columns stay the decoded buffers
    (no consolidation into blocks), text is pandas' Arrow-backed strings."""
    import pandas

    return to_pandas(table.select(list(names)), pandas.Index(index, dtype=np.int64, name="packet", copy=False))


class BlockReader:
    """Decodes one block into a partition; pickles small (its layout travels as its recipe)."""

    def __init__(self, layout: Any, stride: int | None, apid: tuple[int, ...] | None, errors: str) -> None:
        self.layout = layout
        self.stride = stride
        self.apid = apid
        self.errors = errors

    def __call__(self, block: Block, columns: Sequence[str] | None = None) -> pandas.DataFrame:
        result = decode_block(self.layout, block, stride=self.stride, apid=self.apid, arrow=True)
        if result.refused and self.errors == "raise":
            raise_refused(result.refused[0], block.path)
        return frame(result.columns, result.packet_index, self.layout.columns if columns is None else list(columns))


def as_paths(paths: Paths) -> list[str]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        return [os.fsdecode(paths)]
    found = [os.fsdecode(path) for path in paths]
    if not found:
        raise ValueError("no recordings given")
    return found


def selected_apids(apid: ApidSelection) -> tuple[int, ...] | None:
    """The APIDs asked for, checked here once rather than in every task."""
    bitmap = apid_bitmap(apid)
    if bitmap is None:
        return None
    return tuple(a for a in range(len(bitmap) * 8) if bitmap[a >> 3] >> (a & 7) & 1)


def plan_files(paths: list[str], *, stride: int | None, ccsds: bool, apid: tuple[int, ...] | None,
               blocksize: int, parallel: Any = None) -> list[FilePlan]:
    """Plan every file: from its size with a stride; by walking its headers with CCSDS,
    one file per task through `parallel` (a list of thunks -> their results)."""
    if stride is not None:
        return [plan_stride(path, stride, blocksize) for path in paths]
    if parallel is None:
        return [plan_ccsds(path, blocksize, apid) for path in paths]
    return list(parallel([(plan_ccsds, path, blocksize, apid) for path in paths]))


def check_framing(stride: int | None, ccsds: bool, apid: ApidSelection) -> None:
    if (stride is None) == (not ccsds):
        raise ValueError("give either stride=N (fixed-length packets) or ccsds=True (CCSDS space packets)")
    if stride is not None and (isinstance(stride, bool) or not isinstance(stride, int) or stride < 1):
        raise ValueError(f"stride must be a positive number of bytes, not {stride!r}")
    if apid is not None and not ccsds:
        raise ValueError("apid selects CCSDS packets: it needs ccsds=True")


def warn_tails(plans: list[FilePlan]) -> None:
    for plan in plans:
        if plan.tail:
            declared = "an incomplete header" if plan.tail.length is None else f"a header declaring {plan.tail.length} bytes"
            warnings.warn(f"{plan.path} ends inside a packet: its last {plan.tail.size} bytes, from byte "
                          f"{plan.tail.offset}, hold {declared}; they are not decoded",
                          TruncatedRecordingWarning, stacklevel=3)


def read_dask(paths: Paths, recipe: Any = None, *, stride: int | None = None, ccsds: bool = False,
              apid: ApidSelection = None, blocksize: int | str = "64MiB", columns: Sequence[str] | None = None,
              errors: Literal["raise", "skip"] = "raise", definitions: Any = None, prefix: int = 0,
              raw: bool = True) -> Any:
    """A Dask DataFrame of the packets of one or more recording files.

    Packets sit every `stride` bytes, or are CCSDS space packets (`ccsds=True`,
    optionally only those of the APIDs in `apid`). Each file is cut into
    ranges of whole packets of about `blocksize` bytes, one task per range;
    with CCSDS each file's headers are walked once, one task per file, to
    find the cuts. Rows are the packets in file order, files in the order
    given, indexed by each packet's index in its file; columns and their types
    are those of `Layout(recipe).unpack_many`, or only `columns`. With
    errors="raise" the first failing packet of a range fails its task with the
    error `unpack_many` raises for it; with errors="skip" failing packets are
    left out. The files must be readable at the same paths by every worker.

    With `definitions` (a `Definitions`) instead of a recipe, the recordings
    are CCSDS packets (`prefix` bytes before each) and the result is a
    `DaskPackets`: a DataFrame per packet type, as `PacketTable.to_pandas(raw=raw)`
    gives, and the census as a Dask Delayed; with errors="raise" a task fails
    with the `PacketError` of its first refused packet.
    """
    if definitions is not None:
        return _read_definitions(paths, recipe, definitions, stride=stride, apid=apid, blocksize=blocksize,
                                 columns=columns, errors=errors, prefix=prefix, raw=raw)
    # Dask has no type hints; its entry points are taken as Any.
    import dask as untyped_dask
    import dask.dataframe

    dask_api: Any = untyped_dask
    from_map: Any = dask.dataframe.from_map

    from . import Layout

    if recipe is None:
        raise TypeError("read_dask needs a recipe or definitions=")
    check_framing(stride, ccsds, apid)
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    layout = recipe if isinstance(recipe, Layout) else Layout(recipe)
    names = list(layout.columns if columns is None else columns)
    unknown = [name for name in names if name not in layout.columns]
    if unknown:
        raise KeyError(f"not a column of the layout: {', '.join(map(repr, unknown))}")
    apids = selected_apids(apid)

    def on_cluster(calls: list[tuple[Any, ...]]) -> tuple[Any, ...]:
        tasks = [dask_api.delayed(call[0], pure=True)(*call[1:]) for call in calls]
        results: tuple[Any, ...] = dask_api.compute(*tasks)
        return results

    plans = plan_files(as_paths(paths), stride=stride, ccsds=ccsds, apid=apids,
                       blocksize=parse_size(blocksize), parallel=on_cluster)
    warn_tails(plans)
    blocks = [block for plan in plans for block in plan.blocks]
    if not blocks:  # a Dask DataFrame needs a partition, even an empty one
        blocks = [Block(plans[0].path, 0, 0, 0)]
    meta = frame(layout.unpack_arrow(b"", offsets=np.zeros(0, np.int64)), np.zeros(0, np.int64), layout.columns)
    reader = BlockReader(layout, stride, apids, errors)
    result: dask.dataframe.DataFrame = from_map(reader, blocks, meta=meta, label="fieldloom-decode",
                                                enforce_metadata=False, columns=names)
    return result


def _read_definitions(paths: Paths, recipe: Any, definitions: Any, *, stride: int | None, apid: ApidSelection,
                      blocksize: int | str, columns: Sequence[str] | None, errors: str, prefix: int,
                      raw: bool) -> Any:
    from .definition_commands import plan
    from .definitions import Definitions
    from .definitions.frames import read_definitions

    if recipe is not None:
        raise TypeError("give a recipe or definitions=, not both")
    if stride is not None or apid is not None or columns is not None:
        raise TypeError("with definitions, packets are CCSDS packets found by their headers, every column is read: "
                        "stride, apid and columns do not apply")
    if not isinstance(definitions, Definitions):
        raise TypeError(f"definitions must be a Definitions, not {type(definitions).__name__}")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    if isinstance(prefix, bool) or not isinstance(prefix, int) or prefix < 0:
        raise ValueError(f"prefix must be a whole number of bytes, not {prefix!r}")
    size = parse_size(blocksize)
    plans = [plan(path, size, prefix) for path in as_paths(paths)]
    return read_definitions(definitions, plans, prefix, errors, raw)
