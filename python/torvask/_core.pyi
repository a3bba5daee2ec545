"""The reader behind torvask.read."""

from _typeshed import structseq
from collections.abc import Buffer
from types import MappingProxyType
from typing import Any, Final, final

# Each problem's name: its (wording, option); see ReadFailure.
PROBLEMS: Final[MappingProxyType[str, tuple[str, str | None]]]
# The attributes of every ReadFailure, as ReadFailure declares them below.
FAILURE_ATTRIBUTES: Final[tuple[str, ...]]
# The problems of a file whose header or names are still being written.
HEADER_UNWRITTEN: Final[tuple[str, ...]]

def read(source: bytes | Buffer | Any, /, *, width: int | None = None,
         complete_blocks: bool = False, float64: bool = True,
         parameters: tuple[int | str, ...] | None = None, start: int | None = None,
         stop: int | None = None, step: int | None = None, threads: int | None = None,
         resume: tuple[int, int, int] | None = None,
         windows: tuple[tuple[int, int, int], ...] | None = None) -> ReadResult:
    """Reads the chosen parts of a plot file. ``source`` is a path (bytes,
    as os.fsencode gives), a buffer of the file's bytes, or a binary stream,
    read through its readinto() or read() on this thread while another
    parses. ``width`` None takes the width from the first data line (the
    result's is None where no data line gave one). ``parameters`` is None
    (all) or a tuple of indices (negative from the end) and names; parameter
    0 always comes first. The blocks are those of slice(start, stop, step),
    split among ``threads`` threads; with ``complete_blocks``, a file that
    ends inside a block gives the blocks before it. ``resume`` reads a
    growing file by path: (0, 0, 0) from its start, or an earlier result's
    ``end`` from there; a block counts once its last line has ended.
    ``windows`` (a path only) are (offset, length, digest) fingerprints of
    earlier reads, checked through the read's own descriptor before and
    after it: ``changed`` is the index of the first that no longer fits,
    and then nothing is read and no error of the read raised; with
    ``windows``, even empty, ``fingerprints`` vouch for what was read. A
    file that cannot be read raises its OSError; contents that do not fit
    the format, ReadFailure."""
    ...

def check(path: bytes, windows: tuple[tuple[int, int, int], ...], /
          ) -> tuple[int | None, tuple[int, int, int]]:
    """Checks ``windows`` through one descriptor of the file at ``path``:
    (the index of the first whose bytes changed or None, (size, device,
    inode))."""
    ...

@final
class ReadResult(structseq[Any], tuple[()]):
    """What ``read`` returns, its fields reached by name."""

    __match_args__: Final = ()

    @property
    def title(self) -> str: ...
    @property
    def names(self) -> list[str]: ...
    @property
    def rows(self) -> Rows: ...
    @property
    def width(self) -> int | None: ...
    @property
    def parameters(self) -> tuple[int, ...]: ...
    @property
    def first_block(self) -> int: ...
    @property
    def block_step(self) -> int: ...
    @property
    def end(self) -> tuple[int, int, int]:
        """(end_offset, end_line, end_block): where the blocks read whole end."""
    @property
    def identity(self) -> tuple[int, int, int]:
        """(size, device, inode) of the source when opened; 0 where it has none."""
    @property
    def changed(self) -> int | None: ...
    @property
    def fingerprints(self) -> tuple[tuple[int, int, int], ...] | None:
        """(offset, length, digest) windows over what was read, in order: the
        header and names, then the blocks' first bytes, a few spread, and
        their last bytes; None where no windows were given."""

def header_count(line: str, /) -> int | None:
    """The parameter count a header line ends with, or None."""
    ...

def unique_names(names: list[str], /) -> list[str]:
    """The names made unique: a repeat of X becomes X.1, X.2, ..."""
    ...

def write(path: bytes, title: str, names: list[str], values: Buffer, width: int, /) -> None:
    """Writes a plot file: the header with ``title`` and the count, the
    names, and a block per row of ``values`` (2-D, C-contiguous, format 'f'
    or 'd', one column per name) in fields ``width`` bytes wide, under a
    temporary name beside the target, renamed over it. A file that cannot
    be written raises its OSError; a width, a count or a line break the
    format cannot hold, ValueError."""
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
    suggested_width: int | None
    width: int | None
    count: int | None
