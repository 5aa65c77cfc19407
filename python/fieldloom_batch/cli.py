"""The `fieldloom` command: decode recordings to a table file, or take the census of their CCSDS packets.

    fieldloom decode RECORDING... --recipe RECIPE.json (--stride N | --ccsds [--apid N ...])
                     --output OUT.parquet|.csv|.jsonl [--workers N] [--strict]
    fieldloom scan RECORDING... [--apid N ...] [--gaps]

Exit status: 0 on success, 1 when a recording or the output could not be read
or written or (with --strict) a packet was refused, 2 for a usage error,
a bad recipe among them.
"""
from __future__ import annotations

import argparse
import collections
import concurrent.futures
import json
import multiprocessing
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import IO, Any, NoReturn

import numpy as np

from .blocks import Block, BlockResult, FilePlan, decode_block, file_end, parse_size, plan_ccsds, plan_stride, scan_windows
from .ccsds import apid_bitmap, sequence_gaps

USAGE_ERROR = 2
FAILURE = 1
SHOWN_REFUSALS = 10
FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl"}


class UserError(Exception):
    """A mistake or a missing file on the user's side: one line on stderr, no traceback."""

    def __init__(self, message: str, status: int = FAILURE) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UserError(f"{message} (see {self.prog} --help)", USAGE_ERROR)


def apid_argument(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an APID: {text!r}") from None


def positive(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def build_parser() -> Parser:
    parser = Parser(prog="fieldloom", description=__doc__.split("\n\n")[0],
                    epilog="Exit status: 0 success, 1 unreadable input or refused packets under --strict, 2 usage error.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    decode = commands.add_parser("decode", help="decode recordings to Parquet, CSV or JSON Lines")
    decode.add_argument("recordings", nargs="+", metavar="RECORDING")
    decode.add_argument("--recipe", required=True, type=Path, metavar="RECIPE.json",
                        help="a JSON array of recipe entries, or an object whose arrays of entries follow each other")
    framing = decode.add_mutually_exclusive_group(required=True)
    framing.add_argument("--stride", type=positive, metavar="N", help="fixed-length packets, one every N bytes")
    framing.add_argument("--ccsds", action="store_true", help="CCSDS space packets, found by their headers")
    decode.add_argument("--apid", type=apid_argument, action="append", metavar="N", help="with --ccsds: only this APID (repeatable)")
    decode.add_argument("--output", "-o", required=True, type=Path, metavar="OUT", help="OUT.parquet, OUT.csv or OUT.jsonl")
    decode.add_argument("--workers", type=positive, default=1, metavar="N", help="processes decoding at once (default 1)")
    decode.add_argument("--blocksize", default="16MiB", metavar="SIZE", help="bytes handed to a worker at a time (default 16MiB)")
    decode.add_argument("--strict", action="store_true", help="a refused packet is an error (exit 1, no output)")
    progress = decode.add_mutually_exclusive_group()
    progress.add_argument("--progress", action="store_true", default=None, help="show progress even when not on a terminal")
    progress.add_argument("--no-progress", dest="progress", action="store_false", help="never show progress")
    scan = commands.add_parser("scan", help="the APID census of CCSDS recordings")
    scan.add_argument("recordings", nargs="+", metavar="RECORDING")
    scan.add_argument("--apid", type=apid_argument, action="append", metavar="N", help="only this APID (repeatable)")
    scan.add_argument("--gaps", action="store_true", help="list every sequence-count gap")
    return parser


def load_recipe(path: Path) -> Any:
    """The Layout of a recipe file, or a one-line UserError saying what is wrong with it."""
    from . import Layout

    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise UserError(f"recipe file not found: {path}", USAGE_ERROR) from None
    except (OSError, UnicodeDecodeError) as error:
        raise UserError(f"cannot read the recipe file {path}: {error}", USAGE_ERROR) from None
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise UserError(f"{path}: not valid JSON: {error.msg} at line {error.lineno}, column {error.colno}",
                        USAGE_ERROR) from None
    if isinstance(document, dict) and document and all(isinstance(part, list) for part in document.values()):
        document = [entry for part in document.values() for entry in part]
    if not isinstance(document, list):
        raise UserError(f"{path}: a recipe is a JSON array of entries, or an object of such arrays", USAGE_ERROR)
    try:
        return Layout(document)
    except (ValueError, TypeError, KeyError) as error:
        raise UserError(f"{path}: {error}", USAGE_ERROR) from None


def check_readable(paths: Sequence[str]) -> None:
    for path in paths:
        try:
            with open(path, "rb"):
                pass
        except OSError as error:
            raise UserError(f"cannot read {path}: {error.strerror or error}") from None
        if os.path.isdir(path):
            raise UserError(f"cannot read {path}: it is a directory")


def arrow_schema(layout: Any) -> Any:
    import pyarrow  # type: ignore[import-untyped]

    return pyarrow.schema([(name, pyarrow.string() if dtype == object else pyarrow.from_numpy_dtype(dtype))
                           for name, dtype in layout.dtypes.items()])


# Worker processes build the layout once, from its recipe, and hand back
# Arrow tables when the output takes them: those travel between processes as
# plain buffers, where columns of str would be pickled one string at a time.
_worker_layout: Any = None
_worker_schema: Any = None


def start_worker(recipe: list[Any], arrow: bool) -> None:
    from . import Layout

    global _worker_layout, _worker_schema
    _worker_layout = Layout(recipe)
    _worker_schema = arrow_schema(_worker_layout) if arrow else None


def decode_in_worker(block: Block, stride: int | None, apid: tuple[int, ...] | None) -> BlockResult:
    result = decode_block(_worker_layout, block, stride=stride, apid=apid)
    if _worker_schema is None:
        return result
    import pyarrow

    table = pyarrow.Table.from_arrays([pyarrow.array(result.columns[field.name], type=field.type)
                                       for field in _worker_schema], schema=_worker_schema)
    return result._replace(columns=table)


def in_order(pool: concurrent.futures.Executor | None, function: Callable[..., Any], calls: Sequence[tuple[Any, ...]],
             ahead: int) -> Iterator[Any]:
    """function(*call) for each call, in order; with a pool, at most `ahead` of them running or waiting to be used."""
    if pool is None:
        yield from (function(*call) for call in calls)
        return
    pending: collections.deque[concurrent.futures.Future[Any]] = collections.deque()
    for call in calls:
        pending.append(pool.submit(function, *call))
        if len(pending) >= ahead:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()


class TableWriter:
    """Writes decoded blocks to one output file; the file appears only when `commit` is called."""

    def __init__(self, path: Path, layout: Any) -> None:
        self.path = path
        self.format = FORMATS[path.suffix.lower()]
        self.columns = list(layout.columns)
        self.temporary = path.with_name(f".{path.name}.partial")
        self.sink: Any = None
        try:
            if self.format == "jsonl":
                self.sink = open(self.temporary, "w", encoding="utf-8")
                return
            self.schema = arrow_schema(layout)
            if self.format == "parquet":
                import pyarrow.parquet  # type: ignore[import-untyped]
                self.sink = pyarrow.parquet.ParquetWriter(self.temporary, self.schema)
            else:
                import pyarrow.csv  # type: ignore[import-untyped]
                self.sink = pyarrow.csv.CSVWriter(self.temporary, self.schema)
        except ImportError as error:
            raise UserError(f"writing {self.format} needs {error.name}: pip install 'fieldloom[cli]'") from None
        except OSError as error:
            raise UserError(f"cannot write {path}: {error.strerror or error}") from None

    def write(self, block: Any) -> None:
        """Writes one block: its columns (JSON Lines), or its Arrow table."""
        if self.format == "jsonl":
            names = self.columns
            lines = (json.dumps(dict(zip(names, row))) for row in zip(*(block[name].tolist() for name in names)))
            self.sink.writelines(line + "\n" for line in lines)
        elif self.format == "parquet":
            self.sink.write_table(block)
        else:
            self.sink.write(block)

    def commit(self) -> None:
        self.sink.close()
        os.replace(self.temporary, self.path)

    def abandon(self) -> None:
        if self.sink is not None:
            self.sink.close()
        self.temporary.unlink(missing_ok=True)


def progress_bar(total: int, shown: bool | None) -> Any:
    asked = shown is not None
    if not (shown if asked else sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        if asked:
            raise UserError("--progress needs tqdm: pip install 'fieldloom[cli]'") from None
        return None
    # Unless asked for, quick runs finish before the bar would appear.
    return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr, delay=0 if asked else 0.5,
                desc="decoding", dynamic_ncols=True)


def describe_tail(plan: FilePlan) -> str:
    assert plan.tail is not None
    declared = "" if plan.tail.length is None else f" of {plan.tail.length}"
    return (f"{plan.path}: the last {plan.tail.size} bytes, from byte {plan.tail.offset}, are a packet{declared} "
            f"cut off by the end of the file; not decoded")


def describe_refusal(path: str, refused: Any) -> str:
    return f"{path}: packet {refused.index} at byte {refused.offset}: {type(refused.error).__name__}: {refused.error}"


def decode(args: argparse.Namespace) -> int:
    if args.apid and not args.ccsds:
        raise UserError("--apid needs --ccsds (see fieldloom decode --help)", USAGE_ERROR)
    if args.output.suffix.lower() not in FORMATS:
        raise UserError(f"cannot tell the format of {args.output}: name it .parquet, .csv or .jsonl "
                        "(see fieldloom decode --help)", USAGE_ERROR)
    try:
        blocksize = parse_size(args.blocksize)
        apid_bitmap(args.apid)
    except ValueError as error:
        raise UserError(f"{error} (see fieldloom decode --help)", USAGE_ERROR) from None
    layout = load_recipe(args.recipe)
    check_readable(args.recordings)
    if not args.output.absolute().parent.is_dir():
        raise UserError(f"cannot write {args.output}: there is no directory {args.output.absolute().parent}")
    apids = tuple(args.apid) if args.apid else None
    started = time.perf_counter()

    arrow = FORMATS[args.output.suffix.lower()] != "jsonl"
    pool = None
    if args.workers > 1:
        pool = concurrent.futures.ProcessPoolExecutor(args.workers, mp_context=multiprocessing.get_context("spawn"),
                                                      initializer=start_worker, initargs=(layout.recipe, arrow))
    try:
        if args.stride:
            plans = [plan_stride(path, args.stride, blocksize) for path in args.recordings]
        else:
            plans = list(in_order(pool, plan_ccsds, [(path, blocksize, apids) for path in args.recordings], 2 * args.workers))
        blocks = [block for plan in plans for block in plan.blocks]
        total = sum(plan.size for plan in plans)
        if pool is None:
            start_worker(layout.recipe, arrow)
        bar = progress_bar(total, args.progress)
        writer = TableWriter(args.output, layout)
        decoded = 0
        refusals: list[str] = []
        try:
            results = in_order(pool, decode_in_worker, [(block, args.stride, apids) for block in blocks], 2 * args.workers)
            for block, result in zip(blocks, results):
                if result.refused and args.strict:
                    raise UserError(f"refused (--strict): {describe_refusal(block.path, result.refused[0])}")
                refusals.extend(describe_refusal(block.path, item) for item in result.refused)
                writer.write(result.columns)
                decoded += len(result.packet_index)
                if bar is not None:
                    bar.update(block.stop - block.start)
            if bar is not None:
                bar.update(total - bar.n)  # the bytes no block holds: cut-off packets, other APIDs' tails
            writer.commit()
        except BaseException:
            writer.abandon()
            raise
        finally:
            if bar is not None:
                bar.close()
    except OSError as error:
        raise UserError(f"{error.filename}: {error.strerror}" if error.filename else str(error)) from None
    finally:
        if pool is not None:
            pool.shutdown(cancel_futures=True)

    seconds = time.perf_counter() - started
    tails = [describe_tail(plan) for plan in plans if plan.tail]
    print(f"fieldloom: {decoded} packets decoded, {len(refusals)} refused, from {len(plans)} recording(s) of "
          f"{total} bytes in {seconds:.2f} s ({total / 1e6 / max(seconds, 1e-9):.1f} MB/s) into {args.output}",
          file=sys.stderr)
    for line in refusals[:SHOWN_REFUSALS]:
        print(f"  refused: {line}", file=sys.stderr)
    if len(refusals) > SHOWN_REFUSALS:
        print(f"  ... and {len(refusals) - SHOWN_REFUSALS} more refused", file=sys.stderr)
    for line in tails:
        print(f"  {line}", file=sys.stderr)
    return 0


def census(path: str, apids: tuple[int, ...] | None, out: IO[str], list_gaps: bool) -> None:
    """Packets, bytes, lengths and sequence gaps per APID of one file, walked a window at a time."""
    stats: dict[int, list[int]] = {}  # apid -> packets, bytes, shortest, longest, gaps, lost
    last: dict[int, tuple[int, int]] = {}  # apid -> (sequence count, offset) of its latest packet
    gap_lines: list[str] = []
    size = os.path.getsize(path)
    position, scan = 0, None
    for position, scan in scan_windows(path, apids):
        offsets = scan["offset"] + position
        for apid in np.unique(scan["apid"]).tolist():
            rows = scan["apid"] == apid
            lengths = scan["length"][rows]
            entry = stats.setdefault(apid, [0, 0, 1 << 17, 0, 0, 0])
            entry[0] += len(lengths)
            entry[1] += int(lengths.sum(dtype=np.int64))
            entry[2] = min(entry[2], int(lengths.min()))
            entry[3] = max(entry[3], int(lengths.max()))
            # The APID's latest packet of earlier windows goes first, so that gaps across windows count.
            before = [last[apid]] if apid in last else []
            counts = np.array([b[0] for b in before] + scan["sequence_count"][rows].tolist())
            where = np.array([b[1] for b in before] + offsets[rows].tolist())
            for gap in sequence_gaps({"apid": np.full(len(counts), apid), "sequence_count": counts, "offset": where}):
                entry[4] += 1
                entry[5] += gap.lost
                if list_gaps:
                    gap_lines.append(f"  APID 0x{apid:03X}: count {gap.previous_count} to {gap.sequence_count} at byte "
                                     f"{gap.offset}: {gap.lost} lost")
            last[apid] = (int(counts[-1]), int(where[-1]))
    end, tail = file_end(position, scan)
    left = size - end
    cut = f" (a packet cut off at byte {end})" if tail else ""
    out.write(f"{path}: {size} bytes, {sum(s[0] for s in stats.values())} packets, {left} bytes left over{cut}\n")
    out.write(f"  {'APID':>6} {'packets':>10} {'bytes':>13} {'length':>13} {'gaps':>6} {'lost':>8}\n")
    for apid in sorted(stats):
        packets, total, shortest, longest, gaps, lost = stats[apid]
        length = str(shortest) if shortest == longest else f"{shortest}-{longest}"
        out.write(f"  0x{apid:04X} {packets:>10} {total:>13} {length:>13} {gaps:>6} {lost:>8}\n")
    out.writelines(line + "\n" for line in gap_lines)


def scan(args: argparse.Namespace) -> int:
    try:
        apid_bitmap(args.apid)
    except ValueError as error:
        raise UserError(f"{error} (see fieldloom scan --help)", USAGE_ERROR) from None
    check_readable(args.recordings)
    apids = tuple(args.apid) if args.apid else None
    for path in args.recordings:
        census(path, apids, sys.stdout, args.gaps)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return decode(args) if args.command == "decode" else scan(args)
    except UserError as error:
        print(f"fieldloom: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print("fieldloom: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (fieldloom scan ... | head).
        sys.stderr.close()
        return FAILURE


if __name__ == "__main__":
    sys.exit(main())
