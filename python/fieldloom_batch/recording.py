"""Recording files, memory-mapped read-only."""
from __future__ import annotations

import mmap
import os
from collections.abc import Callable
from typing import Any, Union

from . import _native

StrPath = Union[str, "os.PathLike[str]"]


def _seek_empty(position: int, whence: int = 0) -> None:
    if position != 0 or whence not in (0, 1, 2):
        raise ValueError("seek out of range")


def _read_byte_empty() -> int:
    raise ValueError("read byte out of range")


def _write_empty(*args: Any) -> None:
    raise TypeError("mmap can't modify a readonly memory map.")


# What the reads of mmap give for a file of no bytes, which no map can hold.
_EMPTY: dict[str, Callable[..., Any]] = {
    "__getitem__": b"".__getitem__,
    "__len__": lambda: 0,
    "find": b"".find,
    "rfind": b"".rfind,
    "read": lambda size=None: b"",
    "read_byte": _read_byte_empty,
    "readline": lambda: b"",
    "seek": _seek_empty,
    "size": lambda: 0,
    "tell": lambda: 0,
    "move": _write_empty,
    "resize": _write_empty,
    "write": _write_empty,
    "write_byte": _write_empty,
}


def _checked(name: str) -> Callable[..., Any]:
    read = getattr(mmap.mmap, name)
    empty = _EMPTY[name]

    def method(self: Recording, *args: Any) -> Any:
        result = empty(*args) if self._empty else read(self, *args)
        self._check()  # closed, or the file shrank under the map while it was read
        return result

    method.__name__ = name
    method.__doc__ = read.__doc__
    return method


class Recording(_native.MappedFile):
    """A recording file mapped read-only into memory.

    It is a read-only `mmap.mmap`: anything that takes a buffer
    (`scan_ccsds`, `Layout.unpack_many`, `numpy.frombuffer`, `memoryview`)
    reads the file in place, and the operating system pages it in as it is
    read. Use it as a context manager, or call `close()`. An empty file is a
    recording of no bytes.

    Closing while views of it are alive (a memoryview, a NumPy array made
    with `frombuffer`, a decode running on another thread) does not pull the
    memory from under them: the recording is closed for its owner at once
    (its reads raise ValueError), and the mapping itself is released when
    the last view is.

    If another process truncates the file while it is mapped, the bytes it
    lost read as zeros instead of ending the process, and `scan_ccsds`,
    `unpack_many` and the recording's own reads raise OSError naming the
    file and saying that it changed while it was being read.
    """

    path: str

    __getitem__ = _checked("__getitem__")
    __len__ = _checked("__len__")
    find = _checked("find")
    rfind = _checked("rfind")
    read = _checked("read")
    read_byte = _checked("read_byte")
    readline = _checked("readline")
    seek = _checked("seek")
    size = _checked("size")
    tell = _checked("tell")
    move = _checked("move")
    resize = _checked("resize")
    write = _checked("write")
    write_byte = _checked("write_byte")

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        # Not len(self), which refuses a recording whose file changed.
        state = "closed" if self.closed else f"{0 if self._empty else mmap.mmap.__len__(self)} bytes"
        return f"<Recording {self.path!r}, {state}>"


def open_recording(path: StrPath) -> Recording:
    """Map the recording file at `path` read-only; see `Recording`."""
    name = os.fsdecode(path)
    with open(path, "rb") as file:
        # The map keeps its own handle on the file; ours closes here.
        try:
            recording = Recording(file.fileno(), 0, access=mmap.ACCESS_READ)
        except ValueError:
            if os.fstat(file.fileno()).st_size:
                raise
            # No bytes to map: a page of nobody's file stands in, exporting none of them.
            recording = Recording(-1, 1)
            recording._mark_empty()
        else:
            recording._watch(name, file.fileno())
    recording.path = name
    return recording
