"""Plot files of the TORVASK simulation code as numpy arrays.

    plot = torvask.read("run7.plt")      # the width from the first data line
    plot.columns, plot.values            # ('TIME', ...), float64 (blocks, N)
    plot["PRESSURE"]                     # one parameter in every block

Each value is the float64 nearest its decimal text; with
``dtype=numpy.float32`` the values are those ``novrel.rust_read_torvask``
gives, bit for bit. Parameters and blocks can be chosen, and one file read
in several threads. A file that cannot be read raises its ``OSError``, one
whose contents do not fit the format ``FormatError``, a chosen parameter the
file lacks ``KeyError`` or ``IndexError``, a followed file that was
rewritten ``RestartedError``, and arguments of the wrong type or value
``TypeError`` or ``ValueError``; ``MemoryError`` where memory runs out.
Reading, writing and comparing never write to standard output or standard
error; the command line (``python -m torvask``) does.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from types import ModuleType

import numpy as np
from numpy.typing import DTypeLike

from . import _arguments as check
from ._compare import Comparison, compare
from ._errors import FormatError
from ._follow import Follower, RestartedError, follow
from ._plot import Plot, unique_names
from ._reading import read_found
from ._source import Source, opened
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
    given_width = check.width(width)
    float64 = check.float64(dtype)
    chosen = check.parameters(parameters)
    chosen_blocks = check.blocks(blocks)
    threads = check.threads(threads)
    check.flag("complete_blocks", complete_blocks)
    with opened(path) as found:
        return read_found(found, given_width, float64, chosen, chosen_blocks,
                          threads if found.seekable else 1, complete_blocks)[0]


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
    check.width(width)
    check.float64(dtype)
    chosen = check.parameters(parameters)
    check.blocks(blocks)
    check.flag("complete_blocks", complete_blocks)
    threads = check.count("threads", threads, optional=True)
    if threads is None:
        threads = min(len(paths), os.process_cpu_count() or 1)
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
