"""The `fieldloom` command: decode recordings to a table file, or take the census of their CCSDS packets.

    fieldloom decode RECORDING... --recipe RECIPE.json (--stride N | --ccsds [--apid N ...])
                     --output OUT.parquet|.csv|.jsonl|OUT.parquet/|... [--workers N] [--strict]
    fieldloom decode RECORDING... (--xtce DOC.xml [--root NAME] | --fields LIST.csv --apid N)
                     [--prefix N] --output DIR [--format parquet|csv|jsonl] [--workers N] [--strict]
    fieldloom scan RECORDING... [--apid N ...] [--gaps]
    fieldloom scan RECORDING... (--xtce DOC.xml [--root NAME] | --fields LIST.csv --apid N) [--prefix N]

Exit status: 0 on success, 1 when a recording or the output could not be read
or written or (with --strict) a packet was refused, 2 for a usage error,
a bad recipe among them; 130 after Ctrl-C and 143 after SIGTERM.
"""
from __future__ import annotations

import argparse
import json
import os
import signal
import stat
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any, NoReturn

from .blocks import parse_size
from .ccsds import apid_bitmap
from .commands import FAILURE, USAGE_ERROR, Terminated, UserError, census, decode, stopped_by_signals
from .outputs import OutputError, is_dataset, output_format

LARGEST = (1 << 63) - 1  # byte counts and offsets are int64 all the way down
MOST_WORKERS = 256  # each is an interpreter with NumPy and pyarrow loaded


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UserError(f"{message} (see {self.prog} --help)", USAGE_ERROR)


def apid_argument(text: str) -> int:
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an APID: {text!r}") from None


def whole_number(most: int, least: int = 1) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text, 0)
        except ValueError:
            value = least - 1
        if value < least:
            raise argparse.ArgumentTypeError(f"not a {'positive ' if least else ''}whole number: {text!r}")
        if value > most:
            raise argparse.ArgumentTypeError(f"{text} is too large: at most {most}")
        return value

    return parse


def build_parser() -> Parser:
    parser = Parser(prog="fieldloom", description=(__doc__ or "").split("\n\n")[0],
                    epilog="Exit status: 0 success, 1 unreadable input or refused packets under --strict, 2 usage error.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    decode = commands.add_parser("decode", help="decode recordings to Parquet, CSV or JSON Lines")
    decode.add_argument("recordings", nargs="+", metavar="RECORDING")
    source = decode.add_mutually_exclusive_group(required=True)
    source.add_argument("--recipe", type=Path, metavar="RECIPE.json",
                        help="a JSON array of recipe entries, or an object whose arrays of entries follow each other")
    definitions_arguments(source, decode)
    framing = decode.add_mutually_exclusive_group()
    framing.add_argument("--stride", type=whole_number(LARGEST), metavar="N",
                         help="fixed-length packets, one every N bytes")
    framing.add_argument("--ccsds", action="store_true", help="CCSDS space packets, found by their headers")
    decode.add_argument("--apid", type=apid_argument, action="append", metavar="N", help="with --ccsds: only this APID (repeatable); with --fields: the APID of its packets")
    decode.add_argument("--output", "-o", required=True, metavar="OUT",
                        help="OUT.parquet, OUT.csv or OUT.jsonl: one file, written by this one process; "
                             "OUT.parquet/, OUT.csv/ or OUT.jsonl/ (a trailing slash): a dataset directory of "
                             "parts in packet order (part-000000...), written by the workers in parallel; "
                             "with definitions a directory of one file per packet type")
    decode.add_argument("--format", choices=("parquet", "csv", "jsonl"), default="parquet",
                        help="with definitions: the format of each packet type's file (default parquet)")
    decode.add_argument("--workers", type=whole_number(MOST_WORKERS), default=1, metavar="N",
                        help=f"processes decoding at once, 1 to {MOST_WORKERS} (default 1)")
    decode.add_argument("--blocksize", default="16MiB", metavar="SIZE", help="bytes handed to a worker at a time (default 16MiB)")
    decode.add_argument("--strict", action="store_true", help="a refused packet is an error (exit 1, no output)")
    progress = decode.add_mutually_exclusive_group()
    progress.add_argument("--progress", action="store_true", default=None, help="show progress even when not on a terminal")
    progress.add_argument("--no-progress", dest="progress", action="store_false", help="never show progress")
    scan = commands.add_parser("scan", help="the APID census of CCSDS recordings")
    scan.add_argument("recordings", nargs="+", metavar="RECORDING")
    scan.add_argument("--apid", type=apid_argument, action="append", metavar="N", help="only this APID (repeatable)")
    scan.add_argument("--gaps", action="store_true", help="list every sequence-count gap")
    definitions_arguments(scan.add_mutually_exclusive_group(), scan)
    return parser


def definitions_arguments(source: Any, parser: argparse.ArgumentParser) -> None:
    """--xtce and --fields (one of the sources in `source`), and the options that go with them."""
    source.add_argument("--xtce", type=Path, metavar="DOC.xml", help="packet definitions from an XTCE document")
    source.add_argument("--fields", type=Path, metavar="LIST.csv",
                        help="one packet type from a CSV field list; its APID given by --apid")
    parser.add_argument("--root", metavar="NAME", help="with --xtce: the root container (default: the document's)")
    parser.add_argument("--prefix", type=whole_number(LARGEST, 0), default=0, metavar="N",
                        help="with definitions: N bytes before each CCSDS packet, not part of it")


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
    except RecursionError:
        raise UserError(f"{path}: nested too deeply to be a recipe", USAGE_ERROR) from None
    if isinstance(document, dict) and document and all(isinstance(part, list) for part in document.values()):
        document = [entry for part in document.values() for entry in part]
    if not isinstance(document, list):
        raise UserError(f"{path}: a recipe is a JSON array of entries, or an object of such arrays", USAGE_ERROR)
    try:
        return Layout(document)
    except (ValueError, TypeError, KeyError, RecursionError) as error:
        raise UserError(f"{path}: {error}", USAGE_ERROR) from None


def check_readable(paths: Sequence[str]) -> None:
    """Each recording is a regular file we may open. A pipe would be read as empty (its size says
    nothing of what will come), and opening one that has no writer would wait forever."""
    for path in paths:
        try:
            mode = os.stat(path).st_mode
            if stat.S_ISDIR(mode):
                raise UserError(f"cannot read {path}: it is a directory")
            if not stat.S_ISREG(mode):
                raise UserError(f"cannot read {path}: not a regular file (a pipe or a device); save it to a file first")
            with open(path, "rb"):
                pass
        except OSError as error:
            raise UserError(f"cannot read {path}: {error.strerror or error}") from None


def check_output(output: Path, inputs: Sequence[str | Path], dataset: bool = False) -> None:
    """Refuse, before anything is read, an output that would replace an input or cannot be a file
    (a dataset: a directory that holds something already, or a file)."""
    check_output_path(output, inputs)
    if dataset:
        if output.is_dir() and any(output.iterdir()):
            raise UserError(f"cannot write the dataset {output}: the directory is not empty; remove it first")
        if output.exists() and not output.is_dir():
            raise UserError(f"cannot write the dataset {output}: it is a file")
    elif output.is_dir():
        raise UserError(f"cannot write {output}: it is a directory")


def check_output_path(output: Path, inputs: Sequence[str | Path]) -> None:
    """Refuse an output that is an input, or whose directory does not exist."""
    for path in inputs:
        try:
            same = os.path.samefile(output, path)
        except OSError:
            continue  # one of them does not exist: the output replaces nothing
        if same:
            raise UserError(f"--output {output} is the input {path}: refusing to overwrite it", USAGE_ERROR)
    if not output.absolute().parent.is_dir():
        raise UserError(f"cannot write {output}: there is no directory {output.absolute().parent}")


def definitions_options(args: argparse.Namespace, command: str) -> bool:
    """Whether the run decodes with definitions; refuses options that do not go with its source."""
    with_definitions = args.xtce is not None or args.fields is not None
    if args.root is not None and args.xtce is None:
        raise UserError(f"--root needs --xtce (see fieldloom {command} --help)", USAGE_ERROR)
    if args.prefix and not with_definitions:
        raise UserError(f"--prefix needs --xtce or --fields (see fieldloom {command} --help)", USAGE_ERROR)
    if with_definitions and args.apid and args.fields is None:
        raise UserError(f"--apid goes with --fields, not --xtce (see fieldloom {command} --help)", USAGE_ERROR)
    return with_definitions


def run_decode_definitions(args: argparse.Namespace, blocksize: int) -> int:
    from .definition_commands import check_not_inside, decode_definitions, load_definitions

    if args.stride is not None or args.ccsds:
        raise UserError("definitions find CCSDS packets by their headers: drop --stride and --ccsds "
                        "(see fieldloom decode --help)", USAGE_ERROR)
    inputs = [*args.recordings, str(args.xtce or args.fields)]
    check_output_path(args.output, inputs)
    check_not_inside(args.output, inputs)
    definitions = load_definitions(args)
    check_readable(args.recordings)
    return decode_definitions(args, definitions, blocksize)


def run_decode(args: argparse.Namespace) -> int:
    with_definitions = definitions_options(args, "decode")
    if not with_definitions and args.stride is None and not args.ccsds:
        raise UserError("one of the arguments --stride --ccsds is required (see fieldloom decode --help)",
                        USAGE_ERROR)
    if args.apid and not args.ccsds and not with_definitions:
        raise UserError("--apid needs --ccsds (see fieldloom decode --help)", USAGE_ERROR)
    args.dataset = is_dataset(args.output)
    args.output = Path(args.output)
    if not with_definitions and output_format(args.output) is None:
        raise UserError(f"cannot tell the format of {args.output}: name it .parquet, .csv or .jsonl "
                        "(see fieldloom decode --help)", USAGE_ERROR)
    try:
        blocksize = parse_size(args.blocksize)
        if blocksize > LARGEST:
            raise OverflowError
        apid_bitmap(args.apid)
    except OverflowError:
        raise UserError(f"--blocksize {args.blocksize} is too large: at most {LARGEST} bytes "
                        "(see fieldloom decode --help)", USAGE_ERROR) from None
    except ValueError as error:
        raise UserError(f"{error} (see fieldloom decode --help)", USAGE_ERROR) from None
    if with_definitions:
        return run_decode_definitions(args, blocksize)
    check_output(args.output, [*args.recordings, args.recipe], args.dataset)
    layout = load_recipe(args.recipe)
    check_readable(args.recordings)
    return decode(args, layout, blocksize)


def run_scan(args: argparse.Namespace) -> int:
    if definitions_options(args, "scan"):
        from .definition_commands import load_definitions, scan_definitions

        if args.gaps:
            raise UserError("--gaps lists the APIDs' gaps: drop --xtce or --fields (see fieldloom scan --help)",
                            USAGE_ERROR)
        definitions = load_definitions(args)
        check_readable(args.recordings)
        return scan_definitions(args, definitions, parse_size("16MiB"))
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
    with stopped_by_signals():
        try:
            args = build_parser().parse_args(argv)
            return run_decode(args) if args.command == "decode" else run_scan(args)
        except UserError as error:
            print(f"fieldloom: error: {error}", file=sys.stderr)
            return error.status
        except OutputError as error:
            print(f"fieldloom: error: {error}", file=sys.stderr)
            return FAILURE
        except Terminated:
            print("fieldloom: terminated", file=sys.stderr)
            return 128 + signal.SIGTERM
        except KeyboardInterrupt:
            print("fieldloom: interrupted", file=sys.stderr)
            return 128 + signal.SIGINT
        except BrokenPipeError:
            # The reader of our output went away (fieldloom scan ... | head).
            sys.stderr.close()
            return FAILURE


if __name__ == "__main__":
    sys.exit(main())
