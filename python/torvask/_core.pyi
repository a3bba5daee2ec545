"""The reader behind torvask.read."""

from typing import final

def read(path: bytes, width: int, complete_blocks: bool, /) -> tuple[list[str], Rows, int]:
    """Reads the plot file at ``path``: its names, its values and the field
    width (0 when no data line gave it and ``width`` was 0)."""
    ...

@final
class Rows:
    """The values of a read, lent to numpy through the buffer protocol:
    float32, shape (blocks, N), C order."""

    @property
    def shape(self) -> tuple[int, int]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

class ReadFailure(Exception):
    """A file whose contents do not fit the format. Its args are (problem,
    message, line, block, parameter, name, text, width, suggested_width)."""
