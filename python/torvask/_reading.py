"""The one call of the reader that read, follow, compare, the xarray engine
and the command line all make: the reader's result turned into a Plot, and
its failures into the package's exceptions."""

from __future__ import annotations

import numpy as np

from . import _core
from ._errors import format_error
from ._plot import Plot, unique_names
from ._source import Opened, opened

Window = tuple[int, int, int]  # offset, length, digest: one of the read's fingerprints


class WindowsChanged(Exception):
    """Raised by read_found where a window of an earlier read's fingerprints
    (``index`` among those given) no longer holds the bytes it did; ``size``
    and ``inode`` are the file's then. Never seen outside the package: the
    caller turns it into a RestartedError."""

    def __init__(self, index: int, identity: tuple[int, int, int]) -> None:
        super().__init__(index, identity)
        self.index = index
        self.size = identity[0]
        self.inode = identity[2]


def read_found(found: Opened, width: int | None, float64: bool, chosen: list[str | int] | None,
               blocks: tuple[int | None, int | None, int], threads: int, complete_blocks: bool,
               resume: tuple[int, int, int] | None = None,
               windows: tuple[Window, ...] | None = None) -> tuple[Plot, _core.ReadResult]:
    """One call of the reader: the Plot, and the reader's result, whose
    ``names`` are every name of the file and whose ``end``, ``identity``
    and ``fingerprints`` the followers use. With ``windows`` (a file by
    path) it raises WindowsChanged where their bytes changed, before or
    during the read."""
    start, stop, step = blocks
    try:
        result = _core.read(found.source, width=width, complete_blocks=complete_blocks,
                            float64=float64, parameters=None if chosen is None else tuple(chosen),
                            start=start, stop=stop, step=step, threads=threads, resume=resume,
                            windows=windows)
    except _core.ReadFailure as failure:
        raise format_error(failure, found.shown) from None
    except Exception as error:
        if not found.is_path:
            error.add_note(f"while reading {found.shown}")
        raise
    if result.changed is not None:
        raise WindowsChanged(result.changed, result.identity)
    values = np.asarray(result.rows)
    names, held, first = result.names, result.parameters, result.first_block
    columns = unique_names(names)
    plot = Plot([names[j] for j in held], values, result.width, found.shown, title=result.title,
                columns=[columns[j] for j in held], parameters=held,
                blocks=range(first, first + result.block_step * len(values), result.block_step))
    return plot, result


def header_names(found: Opened, width: int | None, complete_blocks: bool) -> list[str]:
    """The unique column names of the file `found`, reading no block."""
    _, result = read_found(found, width, True, [0], (0, 0, 1), 1, complete_blocks)
    return unique_names(result.names)


def column_names(path: str, width: int | None, complete_blocks: bool) -> list[str]:
    """The unique column names of the plot file at `path`, reading no block."""
    with opened(path) as found:
        return header_names(found, width, complete_blocks)
