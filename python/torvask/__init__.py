"""Plot files of the TORVASK simulation code as numpy arrays.

    plot = torvask.read("run7.plt")      # the width from the first data line
    plot.columns, plot.values            # ('TIME', ...), float64 (blocks, N)
    plot["PRESSURE"]                     # one parameter in every block

Each value is the float64 nearest its decimal text; with
``dtype=numpy.float32`` the values are those ``novrel.rust_read_torvask``
gives, bit for bit. Failures are ordinary exceptions (``OSError`` and its
subclasses, ``FormatError``, ``MemoryError``) and nothing is ever written to
standard output or standard error.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TypeAlias

import numpy as np

from . import _core
from ._errors import FormatError, format_error
from ._plot import Plot, unique_names

__all__ = ["FormatError", "Plot", "read", "read_many", "unique_names"]
__version__ = "0.3.0"


def __dir__() -> list[str]:
    # The API alone: not the modules and helpers imported to build it.
    return [*__all__, "__version__"]

StrOrBytesPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def _width_argument(width: int | None) -> int:
    """The width as _core.read takes it: 0 for "from the first data line"."""
    if width is None:
        return 0
    if isinstance(width, bool) or not isinstance(width, int):
        raise TypeError(f"width must be an int or None, not {type(width).__name__}")
    if width < 1:
        raise ValueError(f"width must be at least 1, not {width}")
    return width


def _flag_argument(name: str, value: bool) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def read(path: StrOrBytesPath, width: int | None = None, *,
         complete_blocks: bool = False) -> Plot:
    """Reads one plot file into a Plot.

    ``path`` is a str, bytes or os.PathLike. ``width`` is the field width in
    bytes (12 for six significant digits, 15 for nine); None takes it from
    the first data line, whose length must then be a whole number of its
    fields. With ``complete_blocks=True`` a file that ends inside a block
    (one still being written) gives the complete blocks before it; anything
    wrong before that point is still an error.

    Raises OSError (FileNotFoundError, PermissionError, ...) when the file
    cannot be opened or read, FormatError when its contents do not fit the
    format, and MemoryError. The interpreter is released while the file is
    read, so threads read files side by side, and Ctrl-C stops a read.
    """
    fs_path = os.fspath(path)
    encoded = os.fsencode(fs_path)
    if b"\0" in encoded:
        raise ValueError("embedded null byte")  # as open() says it
    shown = os.fsdecode(fs_path)
    try:
        names, rows, found_width = _core.read(encoded, _width_argument(width),
                                              _flag_argument("complete_blocks", complete_blocks))
    except _core.ReadFailure as failure:
        raise format_error(failure, shown) from None
    return Plot(names, np.asarray(rows), found_width or None, shown)


def read_many(paths: Iterable[StrOrBytesPath], width: int | None = None, *,
              threads: int | None = None, complete_blocks: bool = False) -> list[Plot]:
    """Reads several plot files in a pool of ``threads`` threads (by default
    one per processor, at most one per file), each as ``read`` does; the
    Plots come in the order of ``paths``.

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
            pool.submit(read, path, width, complete_blocks=complete_blocks) for path in paths]
        return [future.result() for future in futures]
    finally:
        # After a failure (or Ctrl-C) the files not started are dropped and
        # the reads still running finish unwaited for.
        pool.shutdown(wait=False, cancel_futures=True)
