"""The bytes of a log, from a path, a bytes-like object or a binary file object."""

from __future__ import annotations

import io
import os
import tempfile
from typing import IO, Any, BinaryIO, Callable, Iterator, Optional, Tuple, Union

from ..errors import UnreadableLog

# Input is handed to the decoder in runs of this size: large enough that the
# per-run cost vanishes, small enough to keep memory flat on any log.
RUN_BYTES = 8 << 20
# Bytes of a stream that cannot seek are kept for a second reading in memory
# up to this size, and in a temporary file beyond it.
HELD_IN_MEMORY = 64 << 20
SMALL_READ = 64 << 10

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO, Any]


class LogInput:
    """A log's bytes, readable from the start more than once.

    `head(n)` gives the first `n` bytes; `runs()` gives every byte, from the
    start, in order. A stream that cannot seek keeps what it has read so far
    (beyond HELD_IN_MEMORY, in a temporary file) only when asked to read it
    again.
    """

    def __init__(self, source: Source) -> None:
        self._file: Optional[BinaryIO] = None
        self._owns_file = False
        self._data: Optional[memoryview] = None
        self._held: Optional[IO[bytes]] = None  # bytes read from a stream that cannot seek back
        self._start: Optional[int] = 0
        self._again: Optional[Callable[[], LogInput]] = None  # the same bytes, read anew
        self.size: Optional[int] = None
        if isinstance(source, (str, os.PathLike)):
            self.name = os.fsdecode(source)
            self._file = open(source, "rb")  # raises the OSError of a missing file or a directory
            self._owns_file = True
            self.size = _regular_size(self._file)
            if self.size is not None:
                self._again = _reopener(os.path.abspath(source), self.name, _stamp(self._file))
        elif hasattr(source, "read"):
            if isinstance(source, io.TextIOBase):
                raise TypeError(f"{getattr(source, 'name', 'the file')} is open in text mode: "
                                "open the file in binary mode ('rb')")
            stream: BinaryIO = source  # type: ignore[assignment]
            self.name = str(getattr(stream, "name", "<stream>"))
            self._file = stream
            self._start = _position(stream)
            self.size = _regular_size(stream) if self._start == 0 else None
        else:
            try:
                view = memoryview(source)
                # A strided view (a slice with a step, a column of a matrix)
                # is read from a contiguous copy of its bytes.
                self._data = view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
            except TypeError:
                raise TypeError("source must be a path, a bytes-like object or a binary file object, "
                                f"not {type(source).__name__}") from None
            self.name = "<bytes>"
            self.size = len(self._data)
            if isinstance(source, bytes):  # never changes
                self._again = lambda: LogInput(source)

    @property
    def again(self) -> Optional[Callable[[], "LogInput"]]:
        """Opens the same log anew, once this input is closed: a regular
        file opened by path (raising UnreadableLog if it has changed or
        gone since), or immutable bytes. None for other inputs."""
        return self._again

    def close(self) -> None:
        if self._owns_file and self._file is not None:
            self._file.close()
        if self._held is not None:
            self._held.close()
            self._held = None

    def __enter__(self) -> "LogInput":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def regular_file(self) -> Optional[Tuple[int, int]]:
        """(descriptor, offset of the log's start) of a regular file opened
        by path, which a decoder may read for itself; None for other inputs."""
        if not self._owns_file or self._file is None or self.size is None or self._start is None:
            return None
        return self._file.fileno(), self._start

    def runs(self, size: int = RUN_BYTES) -> Iterator[Union[bytes, memoryview]]:
        """Every byte of the log from its start, in runs of at most `size` bytes."""
        if self._data is not None:
            for at in range(0, len(self._data), size):
                yield self._data[at:at + size]
            return
        assert self._file is not None
        if self._start is not None:
            self._file.seek(self._start)
        else:
            yield from self._held_runs(size)
            if self._held is not None:
                self._held.close()
                self._held = None
        # A read allocates all it asks for: ask a regular file for what it
        # holds, then for a little more, in case it has grown.
        left = self.size if self._start == 0 and self.size is not None else None
        while True:
            run = self._file.read(size if left is None else max(min(size, left), SMALL_READ))
            if not run:
                return
            if left is not None:
                left = max(left - len(run), 0)
            yield run

    def head(self, n: int) -> bytes:
        """The first `n` bytes, or fewer when the log is shorter."""
        if self._data is not None:
            return bytes(self._data[:n])
        assert self._file is not None
        if self._start is not None:
            self._file.seek(self._start)
            return _read_exactly(self._file, n)
        if self._held is None:
            self._hold(_read_exactly(self._file, n))
        assert self._held is not None
        self._held.seek(0)
        return self._held.read(n)

    def scan(self) -> Iterator[Union[bytes, memoryview]]:
        """Every byte once, for a look ahead; `runs` starts from the beginning again."""
        if self._data is not None or self._start is not None:
            yield from self.runs()
            return
        # A stream that cannot seek: keep what is read, to hand it out again.
        assert self._file is not None
        yield from self._held_runs(RUN_BYTES)
        while True:
            run = self._file.read(RUN_BYTES)
            if not run:
                return
            self._hold(run)
            yield run

    def _hold(self, data: bytes) -> None:
        if self._held is None:
            self._held = tempfile.SpooledTemporaryFile(max_size=HELD_IN_MEMORY)
        self._held.seek(0, io.SEEK_END)
        self._held.write(data)

    def _held_runs(self, size: int) -> Iterator[bytes]:
        """The bytes held so far, from the start, in runs of at most `size`."""
        at = 0
        while self._held is not None:
            self._held.seek(at)
            run = self._held.read(size)
            if not run:
                return
            at += len(run)
            yield run


def _stamp(file: Any) -> Tuple[int, int, int, int]:
    status = os.fstat(file.fileno())
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def _reopener(path: str, name: str, stamp: Tuple[int, int, int, int]) -> Callable[[], LogInput]:
    def reopen() -> LogInput:
        try:
            log = LogInput(path)
        except OSError as error:
            raise UnreadableLog(f"{name} cannot be read again: {error.strerror or error}") from None
        if log._file is None or _stamp(log._file) != stamp:
            log.close()
            raise UnreadableLog(f"{name} has changed since it was read: read it again")
        return log
    return reopen


def _read_exactly(stream: BinaryIO, n: int) -> bytes:
    parts = []
    while n > 0:
        part = stream.read(n)
        if not part:
            break
        parts.append(part)
        n -= len(part)
    return b"".join(parts)


def _position(stream: BinaryIO) -> Optional[int]:
    """Where a seekable stream stands, or None when it cannot seek."""
    try:
        if stream.seekable():
            return stream.tell()
    except (OSError, ValueError, AttributeError):
        pass
    return None


def _regular_size(stream: Any) -> Optional[int]:
    """The size of a regular file behind the stream, None for pipes and ttys."""
    import stat

    try:
        status = os.fstat(stream.fileno())
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None
