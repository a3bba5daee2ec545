"""Where read() takes its bytes from: a path (a compressed file decompressed
on the fly, told by its first bytes, not its name), bytes in memory, or a
binary file object. The reader sees three kinds: a path it opens itself, a
buffer, and a stream it reads through readinto() or read()."""

from __future__ import annotations

import errno
import io
import os
import stat
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, NamedTuple, Protocol, TypeAlias

from ._plot import StrOrBytesPath


class Readable(Protocol):
    """A binary file object: gzip.open(), io.BytesIO, fsspec's files, ..."""
    def read(self, size: int = ..., /) -> bytes: ...


# Bytes are a path, as for open(); bytes in memory come as a memoryview, a
# bytearray or an io.BytesIO.
Source: TypeAlias = StrOrBytesPath | memoryview | bytearray | Readable

# The first bytes of each compressed format the standard library reads.
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bz2"), (b"\xfd7zXZ\x00", "lzma"),
          (b"\x28\xb5\x2f\xfd", "compression.zstd"))


class Opened(NamedTuple):
    source: Any      # what _core.read takes: bytes (a path), a buffer or a stream
    shown: str       # the path or the object, as errors name it
    seekable: bool   # chosen blocks are reached without reading what lies before
    is_path: bool    # a plain file by path: its size and identity are known


def compression_of(head: bytes) -> str | None:
    """The module that decompresses a file starting with `head`, if any."""
    for magic, module in _MAGIC:
        if head.startswith(magic):
            return module
    return None


def _decompressing(module: str, file: Any) -> Any:
    import importlib
    return importlib.import_module(module).open(file, "rb")


def name_of(source: Any) -> str:
    """How errors name a file object or a buffer: its file name, if it has
    one, else its type (a buffer's contents are not shown)."""
    name = getattr(source, "name", None)
    # gzip.GzipFile over an unnamed file object is named "".
    if isinstance(name, (str, bytes)) and name:
        return os.fsdecode(name)
    if isinstance(source, (memoryview, bytearray)):
        size = source.nbytes if isinstance(source, memoryview) else len(source)
        return f"<{type(source).__name__} of {size} bytes>"
    return repr(source)


def _path_limit(name: str, default: int) -> int:
    try:
        return os.pathconf("/", name)
    except (OSError, ValueError):
        return default


# The longest path and the longest file name the system opens, in bytes.
_PATH_MAX = _path_limit("PC_PATH_MAX", 4096)
_NAME_MAX = _path_limit("PC_NAME_MAX", 255)


# How much of a path too long to open its error shows.
_SHOWN_CHARACTERS = 80


def refuse_long_path(path: str | bytes, reading: bool = True) -> None:
    """Raises the OSError (ENAMETOOLONG) of a path the system would refuse
    as too long, without asking it: a file's contents passed as a path
    would otherwise fill the message, its filename and every traceback.
    Only the path's start and its length are shown."""
    encoded = os.fsencode(path)
    if len(encoded) < _PATH_MAX and all(len(part) <= _NAME_MAX for part in encoded.split(b"/")):
        return
    start = os.fsdecode(encoded[:4 * _SHOWN_CHARACTERS])[:_SHOWN_CHARACTERS]
    unit = "bytes" if isinstance(path, bytes) else "characters"
    hint = "; pass memoryview(data) or io.BytesIO(data) to read bytes in memory" if reading else ""
    raise OSError(errno.ENAMETOOLONG,
                  f"{os.strerror(errno.ENAMETOOLONG)} (a path of {len(path)} {unit}{hint})",
                  start + "...")


@contextmanager
def opened(source: Source) -> Iterator[Opened]:
    """The source as the reader takes it, for the duration of one read."""
    if isinstance(source, (str, bytes, os.PathLike)):
        fs_path = os.fspath(source)
        encoded = os.fsencode(fs_path)
        if b"\0" in encoded:
            raise ValueError("embedded null byte")  # as open() says it
        refuse_long_path(fs_path)
        shown = os.fsdecode(fs_path)
        try:
            mode = os.stat(encoded).st_mode
        except OSError:
            mode = None  # the reader's open says why, with the path
        if mode is None or stat.S_ISDIR(mode):
            yield Opened(encoded, shown, True, True)
        elif stat.S_ISREG(mode):
            try:
                fd = os.open(encoded, os.O_RDONLY | os.O_CLOEXEC)
            except OSError:
                module = None  # the reader's open says why, naming the path as a str
            else:
                try:
                    module = compression_of(os.pread(fd, 6, 0))
                finally:
                    os.close(fd)
            if module is None:
                yield Opened(encoded, shown, True, True)
            else:
                with _decompressing(module, encoded) as stream:
                    yield Opened(stream, shown, False, False)
        else:
            # A named pipe or a device: its first bytes are looked at
            # without taking them, and it is read through the interpreter's
            # file object, whose reads Ctrl-C interrupts.
            try:
                file = open(encoded, "rb")
            except OSError:
                file = None  # the reader's open says why, naming the path as a str
            if file is None:
                yield Opened(encoded, shown, True, True)
            else:
                with file:
                    module = compression_of(file.peek(6)[:6])
                    if module is None:
                        yield Opened(file, shown, False, False)
                    else:
                        with _decompressing(module, file) as stream:
                            yield Opened(stream, shown, False, False)
    elif isinstance(source, (memoryview, bytearray)):
        yield Opened(source, name_of(source), True, False)
    elif isinstance(source, io.BytesIO):
        # Its bytes from where it stands, lent without a copy; it cannot
        # grow while they are lent.
        with source.getbuffer() as whole, whole[source.tell():] as rest:
            yield Opened(rest, name_of(source), True, False)
    elif hasattr(source, "readinto") or hasattr(source, "read"):
        if getattr(source, "closed", False):
            raise ValueError(f"I/O operation on closed file {name_of(source)}")
        yield Opened(source, name_of(source), False, False)
    else:
        raise TypeError("a source is a path (str, bytes or os.PathLike), a memoryview or "
                        "bytearray, or a binary file object, not " + type(source).__name__)
