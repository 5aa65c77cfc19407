"""What `fieldloom decode` and `fieldloom scan` do with packet definitions (--xtce or --fields).

`decode` writes a directory: one table file per packet type (`TYPE.parquet`,
`.csv` or `.jsonl`, empty types too) and `census.json`. The directory is
built hidden beside the output and renamed into place at the end, so a
failed or interrupted run leaves no partial output, and an earlier output
is replaced only once the new one is complete. Recordings are cut into
ranges of whole CCSDS packets (as for recipes) that this process or the
workers decode; the rows of each type are written in recording order.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Any

import numpy as np

from .blocks import Block, FilePlan, plan_ccsds
from .commands import SHOWN_REFUSALS, USAGE_ERROR, UserError, Workers, raise_if_stopped, signals_held
from .outputs import OutputError, TableWriter, jsonl_text
from .recording import open_recording

CENSUS_FILE = "census.json"
SUFFIXES = {"parquet": ".parquet", "csv": ".csv", "jsonl": ".jsonl"}

_worker_definitions: Any = None
_worker_format = ""
_worker_types: dict[str, Any] = {}


def load_definitions(args: argparse.Namespace) -> Any:
    """The Definitions of --xtce or --fields, or a one-line usage error saying what is wrong."""
    from .loaders import load_fields_csv, load_xtce

    try:
        if args.xtce is not None:
            return load_xtce(args.xtce, root=args.root)
        if args.apid is None or len(args.apid) != 1:
            raise UserError("--fields needs the APID of its packets: one --apid N", USAGE_ERROR)
        return load_fields_csv(args.fields, apid=args.apid[0])
    except OSError as error:
        raise UserError(f"cannot read {error.filename}: {error.strerror}", USAGE_ERROR) from None
    except ValueError as error:
        raise UserError(str(error), USAGE_ERROR) from None


def plan(path: str, blocksize: int, prefix: int) -> FilePlan:
    """Ranges of whole packets. A packet cut off by the end of the file goes with the last range,
    whose decode refuses it as cut off, as decoding the whole file would. Bytes before each packet
    hide the headers from the planner: such a file is one range."""
    size = os.path.getsize(path)
    if prefix:
        return FilePlan(path, size, [Block(path, 0, size, 0)] if size else [], 0, None)
    found = plan_ccsds(path, blocksize)
    blocks = found.blocks
    if found.tail is not None:
        last = blocks.pop() if blocks else Block(path, found.tail.offset, size, found.packets)
        blocks.append(last._replace(stop=size))
    return found._replace(blocks=blocks, tail=None)


def decode_range(definitions: Any, block: Block, prefix: int, errors: str = "skip", refusals: int | None = None) -> Any:
    """One range decoded, indices and offsets counted from the start of the file (those of a
    PacketError too, noted with the file's name); only the first `refusals` refused packets are
    kept (all with None), as the census counts them all."""
    from .definitions import PacketError

    with open_recording(block.path) as recording, memoryview(recording) as whole:
        if whole.nbytes < block.stop:
            raise OSError(f"{block.path} changed while it was being read: it has {whole.nbytes} bytes now, "
                          f"fewer than the {block.stop} expected")
        with whole[block.start : block.stop] as view:
            try:
                decoded = definitions.decode(view, prefix=prefix, errors=errors)
            except PacketError as error:
                moved = PacketError(error.index + block.first, error.offset + block.start, error.reason,
                                    error.message, error.packet_type)
                moved.add_note(f"in {block.path}")
                raise moved from None
    tables = {name: table._replace(index=table.index + block.first, offset=table.offset + block.start)
              for name, table in decoded.tables.items()}
    refused = [item._replace(index=item.index + block.first, offset=item.offset + block.start)
               for item in decoded.refused[:refusals]]
    return decoded._replace(tables=tables, refused=refused)


def start_definitions_worker(definitions: Any, format: str, parent: int | None) -> None:
    from .commands import die_with
    from .definitions.tables import element_types

    global _worker_definitions, _worker_format, _worker_types
    if parent is not None:
        die_with(parent)
    _worker_definitions, _worker_format = definitions, format
    _worker_types = {name: element_types(definitions, name) for name in definitions.concrete}


def _text_cell(value: Any) -> Any:
    """A value of a binary or array column as text or plain JSON values: bytes as hex, arrays as lists."""
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, np.ndarray):
        return value.tolist()
    return value


def encode_table(table: Any, format: str, types: dict[str, Any]) -> Any:
    """A type's rows as its writer takes them: an Arrow table (Parquet, CSV) or JSON Lines."""
    from .definitions.tables import table_columns, to_arrow

    if format == "parquet":
        return to_arrow(table, types=types)
    columns = {"packet": table.index, **table_columns(table)}
    for name, values in columns.items():
        if values.dtype.kind == "M":
            columns[name] = np.datetime_as_string(values, unit="ns").astype(object)
        elif values.ndim == 2 or values.dtype == object:
            cells = [_text_cell(value) for value in values]
            if format == "csv":  # CSV cells hold text: lists as JSON
                cells = [json.dumps(cell) if isinstance(cell, list) else cell for cell in cells]
            columns[name] = np.empty(len(cells), dtype=object)
            columns[name][:] = cells
    if format == "jsonl":
        return jsonl_text(columns)
    import pyarrow  # type: ignore[import-untyped]

    return pyarrow.table({name: pyarrow.array(values.tolist() if values.dtype == object else values,
                                              type=pyarrow.string() if values.dtype == object else None)
                          for name, values in columns.items()})


def decode_in_worker(block: Block, prefix: int) -> tuple[dict[str, Any], Any, Any]:
    decoded = decode_range(_worker_definitions, block, prefix, refusals=SHOWN_REFUSALS)
    encoded = {name: encode_table(table, _worker_format, _worker_types[name])
               for name, table in decoded.tables.items() if len(table.index)}
    return encoded, decoded.refused, decoded.census


@contextlib.contextmanager
def output_directory(output: Path) -> Iterator[Path]:
    """A hidden directory beside `output` to write into, renamed to `output` when the block ends
    normally and removed otherwise. An earlier output (a directory holding census.json) is
    replaced only then; any other existing file or directory is refused."""
    if output.exists() and not (output.is_dir() and ((output / CENSUS_FILE).is_file() or not any(output.iterdir()))):
        what = "a directory that is not an output of fieldloom (no census.json)" if output.is_dir() else "it is a file"
        raise UserError(f"cannot write {output}: {what}")
    with signals_held():
        try:
            folder = Path(tempfile.mkdtemp(prefix=f".{output.name}.", suffix=".partial", dir=output.absolute().parent))
        except OSError as error:
            raise OutputError(f"cannot write {output}: {error.strerror}") from None
    try:
        yield folder
        with signals_held():
            try:
                os.chmod(folder, 0o777 & ~_umask())
                old = None
                if output.exists():
                    old = Path(tempfile.mkdtemp(prefix=f".{output.name}.", suffix=".old",
                                                dir=output.absolute().parent))
                    os.replace(output, old / "previous")
                os.replace(folder, output)
            except OSError as error:
                raise OutputError(f"cannot write {output}: {error.strerror or error}") from None
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def check_not_inside(output: Path, inputs: list[str]) -> None:
    """Replacing the output directory would delete a recording or a definitions file kept in it."""
    root = output.resolve()
    for path in inputs:
        if root in Path(path).resolve().parents:
            raise UserError(f"--output {output} holds the input {path}: refusing to replace it", USAGE_ERROR)


def describe(path: str, refused: Any) -> str:
    return f"{path}: packet {refused.index} at byte {refused.offset}: {refused.reason}: {refused.message}"


def decode_definitions(args: argparse.Namespace, definitions: Any, blocksize: int) -> int:
    started = time.perf_counter()
    shown: list[str] = []  # the first refusals
    try:
        plans = [plan(path, blocksize, args.prefix) for path in args.recordings]
        census = write_tables(args, definitions, plans, shown)
    except OSError as error:
        raise UserError(f"{error.filename}: {error.strerror}" if error.filename else str(error)) from None
    total = sum(item.size for item in plans)
    refused = sum(census.refused.values())
    seconds = time.perf_counter() - started
    print(f"fieldloom: {census.packets} packets, {census.packets - refused} decoded, {refused} refused, from "
          f"{len(plans)} recording(s) of {total} bytes in {seconds:.2f} s into {args.output}", file=sys.stderr)
    write_census(census, sys.stderr)
    for line in shown:
        print(f"  refused: {line}", file=sys.stderr)
    if refused > len(shown):
        print(f"  ... and {refused - len(shown)} more refused", file=sys.stderr)
    return 0


def write_tables(args: argparse.Namespace, definitions: Any, plans: list[FilePlan], shown: list[str]) -> Any:
    """Decodes every range and writes each type's rows, then census.json; the census."""
    from .definitions.tables import add_census, census_dict, element_types, file_name

    nothing = definitions.decode(b"", errors="skip")
    format, empty, census_parts = args.format, nothing.tables, [nothing.census]
    with output_directory(args.output) as folder, contextlib.ExitStack() as stack:
        with signals_held():
            workers = stack.enter_context(Workers(args.workers, definitions, format, start=start_definitions_worker))
            writers = {}
            for name in definitions.concrete:
                types = element_types(definitions, name)
                schema = None if format == "jsonl" else encode_table(empty[name], format, types).schema
                path = folder / file_name(name, SUFFIXES[format])
                writers[name] = stack.enter_context(TableWriter(path, {}, schema))
        for item in plans:
            calls = [(block, args.prefix) for block in item.blocks]
            for encoded, refusals, part in workers.in_order(decode_in_worker, calls):
                if refusals and args.strict:
                    raise UserError(f"refused (--strict): {describe(item.path, refusals[0])}")
                shown.extend(describe(item.path, r) for r in refusals[: SHOWN_REFUSALS - len(shown)])
                census_parts.append(part)
                for name, rows in encoded.items():
                    writers[name].write(rows)
        census = add_census(census_parts)
        for writer in writers.values():
            raise_if_stopped()
            writer.commit()
        (folder / CENSUS_FILE).write_text(json.dumps(census_dict(census), indent=1) + "\n", encoding="utf-8")
    return census


def write_census(census: Any, out: IO[str]) -> None:
    width = max([len("packet type"), *map(len, census.types)])
    out.write(f"  {'packet type':<{width}} {'packets':>10} {'longer':>10} {'extra bytes':>12}\n")
    for name, count in census.types.items():
        longer, extra = census.extra.get(name, (0, 0))
        out.write(f"  {name:<{width}} {count:>10} {longer:>10} {extra:>12}\n")
    for reason, count in census.refused.items():
        if count:
            out.write(f"  refused, {reason}: {count}\n")


def scan_definitions(args: argparse.Namespace, definitions: Any, blocksize: int) -> int:
    """The census per packet type of each recording, a range of packets at a time."""
    from .definitions.tables import add_census

    for path in args.recordings:
        found = plan(path, blocksize, args.prefix)
        parts = [decode_range(definitions, block, args.prefix, refusals=0).census for block in found.blocks]
        census = add_census([definitions.decode(b"", errors="skip").census, *parts])
        sys.stdout.write(f"{path}: {found.size} bytes, {census.packets} packets\n")
        write_census(census, sys.stdout)
    return 0
