"""Opening a log: file or standard input, format detection, resumable chunks."""

from __future__ import annotations

import os
import stat
import sys
from typing import BinaryIO, Callable, Generator, Iterator, Optional, Union

from .log import DATA_FLASH, MAVLINK

# Every DataFlash log opens with the format packet (type 0x80) that describes
# format packets themselves; anything else is read as a MAVLink stream.
DATA_FLASH_MAGIC = b"\xa3\x95\x80"

# Large chunks keep the per-chunk Python overhead small next to the decoding.
CHUNK_SIZE = 1 << 16

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class LogSource:
    """An open log with its detected format and its remaining bytes.

    `chunks` is the zero-argument callable that the readers of `Quillon`
    take as their source; it hands out the bytes once, in chunks.
    """

    def __init__(self, stream: BinaryIO, display_name: str,
                 size: Optional[int] = None, owns_stream: bool = True) -> None:
        self.display_name = display_name
        self.size = size
        self.bytes_read = 0
        # Called with the length of every chunk handed out (progress display).
        self.on_chunk: Optional[Callable[[int], None]] = None
        self._stream = stream
        self._owns_stream = owns_stream
        # read1 hands over what a pipe holds without waiting for a full chunk,
        # so a live stream on standard input is decoded as it arrives.
        self._read = getattr(stream, "read1", stream.read)
        head = self._read_head()
        self.format = DATA_FLASH if head.startswith(DATA_FLASH_MAGIC) else MAVLINK
        self._generator = self._generate(head)

    @classmethod
    def open(cls, path: PathArg) -> "LogSource":
        """Opens a file name or path-like; "-" means standard input.

        Raises OSError (FileNotFoundError, IsADirectoryError, PermissionError,
        ...) when the file cannot be opened or read.
        """
        name = os.fsdecode(path)
        if name == "-":
            stdin = sys.stdin.buffer
            return cls(stdin, "<stdin>", _regular_file_size(stdin), owns_stream=False)
        stream = open(name, "rb")
        try:
            return cls(stream, name, _regular_file_size(stream))
        except BaseException:
            stream.close()
            raise

    def chunks(self) -> Iterator[bytes]:
        return self._generator

    def close(self) -> None:
        self._generator.close()
        if self._owns_stream:
            self._stream.close()

    def __enter__(self) -> "LogSource":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _read_head(self) -> bytes:
        """Reads until the magic can be told apart, or the stream ends."""
        head = b""
        while len(head) < len(DATA_FLASH_MAGIC):
            more = self._read(CHUNK_SIZE)
            if not more:
                break
            head += more
        return head

    def _generate(self, data: bytes) -> Generator[bytes, None, None]:
        read = self._read
        # Never yields an empty chunk: the readers refuse empty buffers.
        while data:
            self.bytes_read += len(data)
            if self.on_chunk is not None:
                self.on_chunk(len(data))
            yield data
            data = read(CHUNK_SIZE)


def _regular_file_size(stream: BinaryIO) -> Optional[int]:
    """The size of a regular file behind the stream, None for pipes and ttys."""
    try:
        status = os.fstat(stream.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None
