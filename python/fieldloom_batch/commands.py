"""What the `fieldloom` command's `decode` and `scan` do, once their arguments are checked.

`decode` cuts the recordings into blocks of whole packets, decodes them in
this process or in worker processes, and writes the rows in order to one
output file, or has each worker write its blocks as parts of a dataset
directory (no table then travels between processes). `scan` takes the
census of each recording's APIDs.
"""
from __future__ import annotations

import argparse
import collections
import concurrent.futures
import contextlib
import ctypes
import multiprocessing
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NamedTuple

import numpy as np

from .blocks import Block, FilePlan, decode_block, file_end, plan_ccsds, plan_stride, scan_windows
from .ccsds import APID_COUNT, find_gaps
from .outputs import DatasetWriter, TableWriter, block_encoder, output_format, part_name, write_part

USAGE_ERROR = 2
FAILURE = 1
SHOWN_REFUSALS = 10


class UserError(Exception):
    """A mistake or a missing file on the user's side: one line on stderr, no traceback."""

    def __init__(self, message: str, status: int = FAILURE) -> None:
        super().__init__(message)
        self.status = status


# Worker processes build the layout once, from its recipe, and either write
# their blocks as parts of a dataset themselves or hand them back encoded for
# the output: Arrow tables travel between processes as plain buffers, where
# columns of str would be pickled one string at a time.
_worker_layout: Any = None
_worker_encoder: Any = None
_worker_format = ""

PR_SET_PDEATHSIG = 1


def die_with(parent: int) -> None:
    """Ends this worker when its parent process dies, whatever killed it."""
    if sys.platform.startswith("linux"):
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    else:
        def watch() -> None:
            while os.getppid() == parent:
                time.sleep(0.5)
            os._exit(1)

        threading.Thread(target=watch, daemon=True).start()
    if os.getppid() != parent:  # it died before we asked
        os._exit(1)


M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
LARGEST_HEAP_CHUNK = 32 << 20  # glibc's ceiling for M_MMAP_THRESHOLD on 64-bit systems


def keep_freed_memory() -> None:
    """Every block allocates the same columns again. glibc would hand each one's memory back to
    the system when it is freed and fault it in afresh, page by page, for the next block (a tenth
    of the CPU time of a run); kept, it is reused. The peak stays one block's."""
    libc = ctypes.CDLL(None) if sys.platform.startswith("linux") else None
    if libc is not None and hasattr(libc, "mallopt"):
        libc.mallopt(M_MMAP_THRESHOLD, LARGEST_HEAP_CHUNK)
        libc.mallopt(M_TRIM_THRESHOLD, 1 << 30)


def start_in_worker(start: Callable[[Any, str, int | None], None], recipe: Any, format: str, parent: int) -> None:
    # A forked worker comes with its parent's signal handling: SIGTERM ends it as it would a new
    # program, and SIGINT stays ignored (only the parent answers Ctrl-C, by stopping the workers).
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_SETMASK, set())
    keep_freed_memory()
    start(recipe, format, parent)


def worker_context() -> Any:
    """Forked workers start in a few milliseconds with NumPy and the engine loaded, where a new
    program takes a few tenths of a second to load them, a good part of a short run. A fork is
    only safe while this process has no other thread (one could hold a lock the child would
    wait for forever), and only Linux is known to fork such processes safely."""
    if sys.platform.startswith("linux"):
        try:
            alone = len(os.listdir("/proc/self/task")) == 1
        except OSError:
            alone = False
        if alone:
            return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


def start_worker(recipe: list[Any], format: str, parent: int | None) -> None:
    from . import Layout

    global _worker_layout, _worker_encoder, _worker_format
    if parent is not None:
        die_with(parent)
    _worker_layout = Layout(recipe)
    _worker_encoder = block_encoder(_worker_layout.dtypes, format)
    _worker_format = format


class Decoded(NamedTuple):
    """What the run needs back of a block: its rows encoded for the output (None once written as a
    part of a dataset), how many, and its refused packets. Not the packet index of each row, which
    no output holds: that would be 8 bytes a row through the pipe."""

    encoded: Any
    rows: int
    refused: list[Any]


def decode_in_worker(block: Block, stride: int | None, apid: tuple[int, ...] | None, part: str | None) -> Decoded:
    """One block decoded and encoded; written to the file `part` of a dataset when given, else
    handed back for the one output file."""
    result = decode_block(_worker_layout, block, stride=stride, apid=apid, arrow=_worker_format != "jsonl")
    rows, refused = len(result.packet_index), result.refused
    encoded = _worker_encoder(result.columns)
    del result  # its index, and its text before the cast, are not held while the block is written
    if part is not None:
        write_part(part, encoded, _worker_format)
        encoded = None
    return Decoded(encoded, rows, refused)


class Terminated(KeyboardInterrupt):
    """SIGTERM, which ends a run as Ctrl-C does: workers stop, partial files go."""


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)
_holding = 0  # depth of `signals_held`
_deferred: list[int] = []  # a stop signal that came while held
_received: list[int] = []  # every stop signal of the run, kept in case its exception is swallowed


def stop(signum: int, frame: Any) -> None:
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)  # a second signal would cut the clean-up short
    _received.append(signum)
    if _holding:
        _deferred.append(signum)
        return
    raise Terminated if signum == signal.SIGTERM else KeyboardInterrupt


def raise_if_stopped() -> None:
    """A stop signal whose exception landed where it was swallowed (a finaliser, a library that
    catches everything) still stops the run before its output is committed."""
    if _received:
        raise Terminated if _received[0] == signal.SIGTERM else KeyboardInterrupt


@contextlib.contextmanager
def stopped_by_signals() -> Iterator[None]:
    """Within, SIGINT and SIGTERM raise KeyboardInterrupt and Terminated in the main thread."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {number: signal.signal(number, stop) for number in STOP_SIGNALS}
    try:
        yield
    finally:
        _deferred.clear()
        _received.clear()
        for number, handler in previous.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
    """A stop signal waits until the end of this block: starting a worker or a temporary file
    is not cut short, which would leave a process or a file that nothing stops or removes.
    SIGINT is masked, and ignored too, so that the workers started inside ignore it from their
    first instruction (a new program keeps ignored signals, not the mask): Ctrl-C reaches the
    whole process group, and only this process answers it, by stopping them. Masked, a Ctrl-C
    that comes meanwhile waits for the handler put back at the end."""
    global _holding
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    main = threading.current_thread() is threading.main_thread()
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
    _holding += 1
    try:
        yield
    finally:
        _holding -= 1
        if handler is not None and not _received:  # after a stop signal, both stay ignored
            signal.signal(signal.SIGINT, handler)
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        if not _holding and _deferred:
            raise Terminated if _deferred.pop() == signal.SIGTERM else KeyboardInterrupt


# What a worker process starts with. None does linear algebra, and NumPy's OpenBLAS would start a
# thread per core at import that spins for a tenth of a second: a tenth of a CPU second a worker.
WORKER_ENVIRONMENT = {"OPENBLAS_NUM_THREADS": "1"}


class Workers:
    """Decodes blocks in this process, or in `count` worker processes that end with the run.
    With `share`, this process is one of the `count`: it takes blocks itself whenever the next
    result is not ready (when it has nothing else to do but wait, as when the workers write the
    parts of a dataset), which saves starting one process."""

    def __init__(self, count: int, recipe: Any, format: str, share: bool = False,
                 start: Callable[[Any, str, int | None], None] = start_worker) -> None:
        """`start(recipe, format, parent)` readies each worker (and this process) for its calls."""
        # Sharing, a few more calls wait untaken, for this process to take while the workers hold
        # theirs (its results are a part's row count and refusals, small).
        self.ahead = 2 * count + (8 if share else 0)
        self.count = count
        self.share = share
        self.pool: concurrent.futures.ProcessPoolExecutor | None = None
        self.added: list[str] = []
        keep_freed_memory()
        if count > 1:
            # Workers start as they are first needed, each with the environment of that moment: it
            # stays set until the pool is gone. A user's own setting stays.
            self.added = [name for name in WORKER_ENVIRONMENT if name not in os.environ]
            os.environ.update({name: WORKER_ENVIRONMENT[name] for name in self.added})
            try:
                with signals_held():
                    self.pool = concurrent.futures.ProcessPoolExecutor(
                        count - share, mp_context=worker_context(), initializer=start_in_worker,
                        initargs=(start, recipe, format, os.getpid()))
                    # One worker starts now, readying itself while this process does the same: a
                    # new interpreter's start costs a few tenths of a second, a good part of a short run.
                    self.pool.submit(int)
            except BaseException:
                self.stop(False)
                self.restore()
                raise
        try:
            start(recipe, format, None)
        except BaseException:
            self.stop(False)
            self.restore()
            raise

    def in_order(self, function: Callable[..., Any], calls: Sequence[tuple[Any, ...]]) -> Iterator[Any]:
        """function(*call) for each call, in order; at most `ahead` of them running or waiting to be used."""
        if self.pool is None:
            yield from (function(*call) for call in calls)
            return
        # Each call in order: the call itself while no process has taken it, a worker's future, or
        # its result (in a list) once this process has run it.
        pending: collections.deque[Any] = collections.deque()
        for call in calls:
            pending.append(call)
            if len(pending) >= self.ahead:
                yield self.next_result(pending, function)
        while pending:
            yield self.next_result(pending, function)

    def next_result(self, pending: collections.deque[Any], function: Callable[..., Any]) -> Any:
        """The first pending call's result. Workers take the first calls no process has taken, one
        running and one waiting each; sharing, this process takes the next one whenever the result
        due is not ready, so that whichever process is slower (a worker still starting, a core
        another program uses) takes fewer."""
        while True:
            self.hand_out(pending, function)
            head = pending[0]
            if isinstance(head, list):
                return pending.popleft()[0]
            if isinstance(head, tuple):
                pending.popleft()
                return function(*head)
            if self.share and not head.done():
                untaken = next((k for k, item in enumerate(pending) if isinstance(item, tuple)), None)
                if untaken is not None:
                    pending[untaken] = [function(*pending[untaken])]
                    continue
            return self.result(pending.popleft())

    def hand_out(self, pending: collections.deque[Any], function: Callable[..., Any]) -> None:
        assert self.pool is not None
        room = 2 * (self.count - self.share) if self.share else len(pending)
        room -= sum(1 for item in pending if isinstance(item, concurrent.futures.Future) and not item.done())
        for k, item in enumerate(pending):
            if room <= 0:
                break
            if isinstance(item, tuple):
                with signals_held(), self.broken():  # a submit may start a worker
                    pending[k] = self.pool.submit(function, *item)
                room -= 1

    def result(self, future: Any) -> Any:
        with self.broken():
            # A worker killed while it sends a result leaves the pool's reader waiting for the rest
            # of the message: the pool never learns of the death, and its futures never end. So
            # the wait looks at the workers too; stop() then unblocks the reader.
            while not concurrent.futures.wait([future], timeout=0.5).done:
                processes = getattr(self.pool, "_processes", None) or {}
                if any(process.exitcode not in (None, 0) for process in list(processes.values())):
                    raise concurrent.futures.BrokenExecutor
            return future.result()

    @staticmethod
    @contextlib.contextmanager
    def broken() -> Iterator[None]:
        try:
            yield
        except concurrent.futures.BrokenExecutor:
            raise UserError("a worker process ended unexpectedly (out of memory?)") from None

    def __enter__(self) -> Workers:
        return self

    def __exit__(self, kind: type[BaseException] | None, *exc: object) -> None:
        try:
            self.stop(kind is None)
        finally:
            self.restore()

    def restore(self) -> None:
        for name in self.added:
            os.environ.pop(name, None)

    def stop(self, finished: bool) -> None:
        if self.pool is None:
            return
        if finished:
            self.pool.shutdown(wait=True)
            return
        # Failed or interrupted: the blocks in flight are not wanted, and waiting for them could take
        # long. A worker killed while it sends a result leaves the pool's reader waiting for the
        # rest, so once no worker is left our own end of that pipe closes too: the reader then meets
        # the end of the stream, and the pool shuts down as after a crash.
        # Before 3.14 the pool has no public way to stop its workers at once.
        results = getattr(self.pool, "_result_queue", None)
        manager = getattr(self.pool, "_executor_manager_thread", None)
        processes = getattr(self.pool, "_processes", None)
        workers = list(processes.values()) if processes is not None else multiprocessing.active_children()
        self.pool.shutdown(wait=False, cancel_futures=True)
        for process in workers:
            process.kill()
        for process in workers:
            process.join()
        if results is not None:
            results._writer.close()
        if manager is not None:
            manager.join()


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


def decode(args: argparse.Namespace, layout: Any, blocksize: int) -> int:
    apids = tuple(args.apid) if args.apid else None
    started = time.perf_counter()
    format = output_format(args.output) or ""
    try:
        with contextlib.ExitStack() as stack:
            with signals_held():
                # Entered first, left last: the workers are stopped before a failed dataset is removed.
                writer: Any = stack.enter_context(DatasetWriter(args.output) if args.dataset
                                                  else TableWriter(args.output, layout.dtypes))
                workers = stack.enter_context(Workers(args.workers, layout.recipe, format, share=args.dataset))
            if args.stride:
                plans = [plan_stride(path, args.stride, blocksize) for path in args.recordings]
            else:
                plans = list(workers.in_order(plan_ccsds, [(path, blocksize, apids) for path in args.recordings]))
            blocks = [block for plan in plans for block in plan.blocks]
            if args.dataset and not blocks:  # one empty part, so that the dataset has its columns
                blocks = [Block(plans[0].path, 0, 0, 0)]
            parts = [str(writer.temporary / part_name(i, format)) if args.dataset else None for i in range(len(blocks))]
            total = sum(plan.size for plan in plans)
            bar = progress_bar(total, args.progress)
            decoded = refused = 0
            shown: list[str] = []  # the first refusals; a line per refused packet would fill memory
            try:
                results = workers.in_order(decode_in_worker,
                                           [(block, args.stride, apids, part) for block, part in zip(blocks, parts)])
                for block, result in zip(blocks, results):
                    raise_if_stopped()
                    if result.refused and args.strict:
                        raise UserError(f"refused (--strict): {describe_refusal(block.path, result.refused[0])}")
                    more = result.refused[: SHOWN_REFUSALS - len(shown)]
                    shown.extend(describe_refusal(block.path, item) for item in more)
                    refused += len(result.refused)
                    if not args.dataset:
                        writer.write(result.encoded)
                    decoded += result.rows
                    if bar is not None:
                        bar.update(block.stop - block.start)
                if bar is not None:
                    bar.update(total - bar.n)  # the bytes no block holds: cut-off packets, other APIDs' tails
            finally:
                if bar is not None:
                    bar.close()
            raise_if_stopped()
            writer.commit()
    except OSError as error:
        raise UserError(f"{error.filename}: {error.strerror}" if error.filename else str(error)) from None

    seconds = time.perf_counter() - started
    tails = [describe_tail(plan) for plan in plans if plan.tail]
    print(f"fieldloom: {decoded} packets decoded, {refused} refused, from {len(plans)} recording(s) of "
          f"{total} bytes in {seconds:.2f} s ({total / 1e6 / max(seconds, 1e-9):.1f} MB/s) into {args.output}",
          file=sys.stderr)
    for line in shown:
        print(f"  refused: {line}", file=sys.stderr)
    if refused > len(shown):
        print(f"  ... and {refused - len(shown)} more refused", file=sys.stderr)
    for line in tails:
        print(f"  {line}", file=sys.stderr)
    return 0


def per_apid(apids: np.ndarray[Any, Any], values: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """The sum of `values` per APID, exactly."""
    return np.bincount(apids, weights=values, minlength=APID_COUNT).round().astype(np.int64)


CENSUS_ROWS = 1 << 20  # packets counted at a time: bounds the temporary arrays


def census(path: str, apids: tuple[int, ...] | None, out: IO[str], list_gaps: bool) -> None:
    """Packets, bytes, lengths and sequence gaps per APID of one file, counted with NumPy a window
    and a million packets at a time: memory follows those, not the file, and a line per gap is
    built only when the gaps are listed."""
    packets, total, gaps, lost = (np.zeros(APID_COUNT, np.int64) for _ in range(4))
    shortest, longest = np.full(APID_COUNT, 1 << 17, np.int64), np.zeros(APID_COUNT, np.int64)
    latest = np.full(APID_COUNT, -1, np.int64)  # sequence count of each APID's latest packet so far
    gap_lines: list[str] = []
    size = os.path.getsize(path)
    position, scan = 0, None
    for position, scan in scan_windows(path, apids):
        for first in range(0, len(scan["apid"]), CENSUS_ROWS):
            apid, length, count, offset = (scan[name][first : first + CENSUS_ROWS]
                                           for name in ("apid", "length", "sequence_count", "offset"))
            packets += np.bincount(apid, minlength=APID_COUNT)
            total += per_apid(apid, length)
            grouped, lengths = apid[order := np.argsort(apid, kind="stable")], length[order]
            starts = np.flatnonzero(np.append(True, grouped[1:] != grouped[:-1]))
            seen = grouped[starts]
            shortest[seen] = np.minimum(shortest[seen], np.minimum.reduceat(lengths, starts))
            longest[seen] = np.maximum(longest[seen], np.maximum.reduceat(lengths, starts))
            rows, before, missing = find_gaps(apid, count, latest)
            gaps += np.bincount(apid[rows], minlength=APID_COUNT)
            lost += per_apid(apid[rows], missing)
            if list_gaps:
                gap_lines.extend(
                    f"  APID 0x{a:03X}: count {b} to {c} at byte {o + position}: {m} lost" for a, b, c, o, m
                    in zip(apid[rows].tolist(), before.tolist(), count[rows].tolist(), offset[rows].tolist(),
                           missing.tolist()))
    end, tail = file_end(position, scan)
    cut = f" (a packet cut off at byte {end})" if tail else ""
    out.write(f"{path}: {size} bytes, {int(packets.sum())} packets, {size - end} bytes left over{cut}\n")
    out.write(f"  {'APID':>6} {'packets':>10} {'bytes':>13} {'length':>13} {'gaps':>6} {'lost':>8}\n")
    for apid_ in np.flatnonzero(packets).tolist():
        low, high = int(shortest[apid_]), int(longest[apid_])
        length_text = str(low) if low == high else f"{low}-{high}"
        out.write(f"  0x{apid_:04X} {packets[apid_]:>10} {total[apid_]:>13} {length_text:>13} {gaps[apid_]:>6} "
                  f"{lost[apid_]:>8}\n")
    out.writelines(line + "\n" for line in gap_lines)
