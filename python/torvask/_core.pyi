"""The reader behind torvask.read."""

from collections.abc import Buffer
from typing import Any, final

def read(source: bytes | Buffer | Any, width: int | None, complete_blocks: bool, float64: bool,
         parameters: tuple[int | str, ...] | None, start: int | None, stop: int | None,
         step: int | None, threads: int | None, resume: tuple[int, int, int] | None = None, /
         ) -> tuple[str, list[str], Rows, int | None, tuple[int, ...], int, int,
                    tuple[int, int, int], tuple[int, int, int]]:
    """Reads the chosen parts of a plot file, from a path (bytes), a buffer
    or a binary stream: (title, names, rows, width, parameters, first_block,
    block_step, (end_offset, end_line, end_block), (size, device, inode))."""
    ...

def unique_names(names: list[str], /) -> list[str]:
    """The names made unique: a repeat of X becomes X.1, X.2, ..."""
    ...

def write(path: bytes, title: str, names: list[str], values: Buffer, width: int, /) -> None:
    """Writes a plot file: the header with ``title`` and the count, the
    names, and a block per row of ``values`` (2-D, C-contiguous, format 'f'
    or 'd', one column per name) in fields ``width`` bytes wide."""
    ...

@final
class Rows:
    """The values of a read, lent to numpy through the buffer protocol:
    float32 or float64, shape (blocks, columns), C order."""

    @property
    def shape(self) -> tuple[int, int]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

class ReadFailure(Exception):
    """A file whose contents do not fit the format, with what and where as
    attributes (None where they do not apply); ``wording`` is a str.format
    template over the others, and ``option`` the keyword of read() that it
    suggests where it holds ``{option}``."""

    problem: str
    wording: str
    option: str | None
    line: int | None
    block: int | None
    parameter: int | None
    name: str | None
    text: str | None
    width: int | None
    suggested_width: int | None
    count: int | None
