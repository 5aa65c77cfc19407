"""Recording files, memory-mapped read-only."""
from __future__ import annotations

import mmap
import os
from typing import Union

StrPath = Union[str, "os.PathLike[str]"]


class Recording(mmap.mmap):
    """A recording file mapped read-only into memory.

    It is a read-only `mmap.mmap`: anything that takes a buffer
    (`scan_ccsds`, `Layout.unpack_many`, `numpy.frombuffer`, `memoryview`)
    reads the file in place, and the operating system pages it in as it is
    read. Use it as a context manager, or call `close()`.

    Closing while views of it are alive (a memoryview, a NumPy array made
    with `frombuffer`, a decode running on another thread) does not pull the
    memory from under them: the recording is closed for its owner at once,
    and the mapping itself is released when the last view is.
    """

    path: str
    _closed: bool

    def close(self) -> None:
        self._closed = True
        try:
            super().close()
        except BufferError:
            pass  # views are alive; the mapping goes with the last of them

    @property
    def closed(self) -> bool:  # type: ignore[override]
        return self._closed

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self)} bytes"
        return f"<Recording {self.path!r}, {state}>"


def open_recording(path: StrPath) -> Recording:
    """Map the recording file at `path` read-only; see `Recording`.

    An empty file cannot be mapped: it raises ValueError naming the file.
    """
    with open(path, "rb") as file:
        if os.fstat(file.fileno()).st_size == 0:
            raise ValueError(f"{os.fsdecode(path)}: the file is empty, so there is nothing to map")
        # The map keeps its own handle on the file; ours closes here.
        recording = Recording(file.fileno(), 0, access=mmap.ACCESS_READ)
    recording.path = os.fsdecode(path)
    recording._closed = False
    return recording
