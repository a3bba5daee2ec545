"""Plot files of the TORVASK simulation code as numpy arrays.

    plot = torvask.read("run7.plt")      # the width from the first data line
    plot.columns, plot.values            # ('TIME', ...), float64 (blocks, N)
    plot["PRESSURE"]                     # one parameter in every block

Each value is the float64 nearest its decimal text; with
``dtype=numpy.float32`` the values are those ``novrel.rust_read_torvask``
gives, bit for bit. Parameters and blocks can be chosen, and one file read
in several threads. Failures are ordinary exceptions (``OSError`` and its
subclasses, ``FormatError``, ``MemoryError``) and nothing is ever written to
standard output or standard error.
"""

from __future__ import annotations

import importlib
import operator
import os
from collections.abc import Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from types import ModuleType

import numpy as np
from numpy.typing import DTypeLike

from . import _core
from ._compare import Comparison, compare
from ._errors import FormatError, format_error
from ._follow import Follower, RestartedError, WindowsChanged, follow
from ._plot import Plot, StrOrBytesPath, unique_names
from ._source import Opened, Source, opened
from ._write import write

__all__ = ["Comparison", "Follower", "FormatError", "Plot", "RestartedError", "compare", "follow",
           "read", "read_many", "unique_names", "write"]
__version__ = "0.5.0"


def __dir__() -> list[str]:
    # The API alone: not the modules and helpers imported to build it.
    return [*__all__, "__version__"]


def __getattr__(name: str) -> ModuleType:
    # xarray's engine, imported on first use: it imports xarray, which
    # `import torvask` must not.
    if name == "xarray_backend":
        return importlib.import_module(f"{__name__}.xarray_backend")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _width_argument(width: int | None) -> int | None:
    if width is None:
        return None
    if isinstance(width, bool) or not isinstance(width, int):
        raise TypeError(f"width must be an int or None, not {type(width).__name__}")
    if width < 1:
        raise ValueError(f"width must be at least 1, not {width}")
    return width


def _flag_argument(name: str, value: bool) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _count_argument(name: str, value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def _dtype_argument(dtype: DTypeLike) -> bool:
    """True for float64, False for float32."""
    try:
        chosen = np.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype must be numpy.float32 or numpy.float64, not {dtype!r}") from None
    if chosen not in (np.float32, np.float64):
        raise ValueError(f"dtype must be numpy.float32 or numpy.float64, not {chosen}")
    return chosen == np.float64


def _blocks_argument(blocks: slice | None) -> tuple[int | None, int | None, int]:
    if blocks is None:
        return None, None, 1
    if not isinstance(blocks, slice):
        raise TypeError(f"blocks must be a slice or None, not {type(blocks).__name__}")
    start, stop, step = (None if v is None else operator.index(v)
                         for v in (blocks.start, blocks.stop, blocks.step))
    if step is None:
        step = 1
    if step < 1:
        raise ValueError(f"the blocks' step must be at least 1, not {step}")
    return start, stop, step


def _parameters_argument(parameters: Iterable[str | int] | None) -> list[str | int] | None:
    if parameters is None:
        return None
    if isinstance(parameters, (str, bytes)):
        raise TypeError("parameters must be a list of names or indices, not a single "
                        f"{type(parameters).__name__}")
    chosen: list[str | int] = []
    for parameter in parameters:
        if isinstance(parameter, str):
            chosen.append(parameter)
        elif isinstance(parameter, bool):
            raise TypeError("a parameter is a name or an index, not a bool")
        else:
            try:
                chosen.append(operator.index(parameter))
            except TypeError:
                raise TypeError("a parameter is a name or an index, not "
                                f"{type(parameter).__name__}") from None
    return chosen


def read(path: Source, width: int | None = None, *, dtype: DTypeLike = np.float64,
         parameters: Iterable[str | int] | None = None, blocks: slice | None = None,
         threads: int = 1, complete_blocks: bool = False) -> Plot:
    """Reads one plot file, or the chosen parts of it, into a Plot.

    ``path`` is a path (str, bytes or os.PathLike), bytes in memory (a
    memoryview, a bytearray, or an io.BytesIO from where it stands), or a
    binary file object (anything with ``readinto`` or ``read``: ``gzip.open``,
    ``bz2``, ``lzma``, ``compression.zstd``, fsspec's files). A file whose
    first bytes are those of gzip, bzip2, xz or zstd is decompressed on the
    fly, whatever its name. A path and bytes in memory are read where the
    chosen blocks lie; a file object, a compressed file and a named pipe are
    streams, read front to back while the chunks before are parsed in a
    thread of their own: there ``threads`` does nothing, and ``blocks`` with
    a negative bound holds every block until the last is known.

    ``width`` is the field width in bytes (12 for six significant digits, 15
    for nine); None takes it from the first data line: its length without
    trailing spaces and tabs over its fields, or else its whole length over
    them. A given width must agree with that line: where the line suggests
    another width and fields of the given one do not cover it (blanks past
    the last field are padding, anything else is not), the read fails with
    a FormatError naming the suggested width. A data line holds its fields
    and nothing else: anything but spaces and tabs after its last field (an
    11th field, say, where the header's count is too small) is a
    FormatError, where novrel ignores it. ``dtype`` is numpy.float64 (every
    value the double nearest its text) or numpy.float32 (novrel's values,
    bit for bit, for files both accept).

    ``parameters`` chooses columns by name (from the file's ``columns``) or
    index (negative from the end), in the order given; parameter 0 is
    always the first column. ``blocks`` is a slice of the file's blocks
    (negative bounds count from the end; the step must be positive). With
    ``threads=N`` the chosen blocks are split among N threads; the values,
    and the error of a faulty file, are those of one thread.

    What a chosen read checks: the header, the names, the first block's
    first data line (for the width), the leading lines and chosen data lines
    of the chosen blocks (UTF-8, and each chosen field), that every data
    line of the chosen blocks, chosen or not, holds nothing but spaces and
    tabs after its last field, and the number of lines of everything before
    the last chosen block. Where a full read fails on a fault in those, the
    chosen read fails with the same error; fields not chosen that are not
    numbers, data lines of such fields alone that are not UTF-8, and faults
    in blocks not chosen go unnoticed. One empty line at the very end of a
    file is its end, not a block.

    With ``complete_blocks=True`` a file that ends inside a block (one still
    being written) gives the complete blocks before it; anything wrong
    before that point is still an error. Without it, a file that ends inside
    a block, or inside a data line, is a FormatError that says so.

    Raises OSError (FileNotFoundError, PermissionError, ...) when the file
    cannot be opened or read, FormatError when its contents do not fit the
    format, KeyError for a name that is not a column, IndexError for an
    index beyond the parameters, and MemoryError; what a file object's own
    read raises passes through, with a note naming the source. The
    interpreter is released while the file is parsed, so threads read files
    side by side, and Ctrl-C stops a read within about 0.1 s on paths (named
    pipes included) and the standard library's file objects; a file object
    of another library stops when its own read returns.
    """
    given_width = _width_argument(width)
    float64 = _dtype_argument(dtype)
    chosen = _parameters_argument(parameters)
    start, stop, step = _blocks_argument(blocks)
    threads = _count_argument("threads", threads)
    _flag_argument("complete_blocks", complete_blocks)
    with opened(path) as found:
        return _read(found, given_width, float64, chosen, (start, stop, step),
                     threads if found.seekable else 1, complete_blocks)[0]


def _read(found: Opened, width: int | None, float64: bool, chosen: list[str | int] | None,
          blocks: tuple[int | None, int | None, int], threads: int, complete_blocks: bool,
          resume: tuple[int, int, int] | None = None,
          windows: tuple[tuple[int, int, int], ...] | None = None
          ) -> tuple[Plot, _core.ReadResult]:
    """One call of the reader: the Plot, and the reader's result, whose
    ``end``, ``identity`` and ``fingerprints`` the followers use. With
    ``windows`` (a file by path) it raises WindowsChanged where their bytes
    changed, before or during the read."""
    try:
        result = _core.read(found.source, width, complete_blocks, float64,
                            None if chosen is None else tuple(chosen), *blocks, threads, resume,
                            windows)
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


def read_many(paths: Iterable[Source], width: int | None = None, *,
              dtype: DTypeLike = np.float64, parameters: Iterable[str | int] | None = None,
              blocks: slice | None = None, threads: int | None = None,
              complete_blocks: bool = False) -> list[Plot]:
    """Reads several plot files in a pool of ``threads`` threads (by default
    one per processor, at most one per file), each as ``read`` does with one
    thread and the same ``width``, ``dtype``, ``parameters``, ``blocks`` and
    ``complete_blocks``; the Plots come in the order of ``paths``.

    The first failing file, in the order of ``paths``, raises its own error,
    which names its path; files not started yet are not read. To collect
    every failure instead, submit the reads yourself::

        with concurrent.futures.ThreadPoolExecutor() as pool:
            futures = {path: pool.submit(torvask.read, path) for path in paths}
        plots, failures = {}, {}
        for path, future in futures.items():
            try:
                plots[path] = future.result()
            except (OSError, torvask.FormatError, MemoryError) as error:
                failures[path] = error
    """
    paths = list(paths)
    _width_argument(width)
    _dtype_argument(dtype)
    chosen = _parameters_argument(parameters)
    _blocks_argument(blocks)
    _flag_argument("complete_blocks", complete_blocks)
    if threads is None:
        threads = min(len(paths), os.process_cpu_count() or 1)
    elif isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    elif threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    if not paths:
        return []
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="torvask")
    try:
        futures: list[Future[Plot]] = [
            pool.submit(read, path, width, dtype=dtype, parameters=chosen, blocks=blocks,
                        complete_blocks=complete_blocks) for path in paths]
        return [future.result() for future in futures]
    finally:
        # After a failure (or Ctrl-C) the files not started are dropped and
        # the reads still running finish unwaited for.
        pool.shutdown(wait=False, cancel_futures=True)
