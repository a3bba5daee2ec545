"""Small helpers around novrel that the examples share; copy what you need.

- read_names: the parameter names, which the reader does not return;
- unique_names: the names made unique as pandas.read_csv makes them (X, X.1),
  so that a name written twice keeps both columns as dict or frame keys;
- field_width: a file's field width (the reader's n_digits), from its first data line;
- read_plot: the read, with a failure raised as ReadError, an ordinary
  exception that pickles and so crosses process pools and Dask clusters;
- fd2_to: send the failure reports (written straight to file descriptor 2,
  past sys.stderr) to a file instead.
"""

import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator
from typing import BinaryIO

import novrel
# The same wheel's arrays package makes names unique as pandas.read_csv does.
from torvask import unique_names as unique_names


def read_names(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        count = int(f.readline().split()[-1])
        return [f.readline().strip() for _ in range(count)]


def field_width(path: str) -> int:
    """Bytes per field of the first data line, which holds min(N, 10) fields."""
    with open(path, "rb") as f:
        count = int(f.readline().split()[-1])
        for _ in range(count + 1):  # the name lines and the first leading line
            f.readline()
        return len(f.readline().rstrip(b"\r\n")) // min(count, 10)


class ReadError(Exception):
    """A failed read. Unlike the reader's own exception, whose type lives in
    a module nobody can import, this one pickles."""

    def __init__(self, path: str, message: str, report: str = "") -> None:
        super().__init__(path, message, report)
        self.path = path
        self.message = message
        self.report = report

    def __str__(self) -> str:
        return "%s: %s" % (self.path, self.message)


@contextlib.contextmanager
def fd2_to(target: BinaryIO) -> Iterator[None]:
    """Point file descriptor 2 at `target` for the body. The descriptor is
    the whole process's: other threads' error output goes there too."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        os.dup2(target.fileno(), 2)
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


def read_plot(path: str, n_digits: int,
              keep_report: bool = False) -> tuple[list[float], list[list[float]]]:
    """novrel.rust_read_torvask, raising ReadError on a failed read. With
    keep_report the failure report goes into the error instead of onto
    fd 2 (one call at a time per process, as in a pool worker)."""
    with tempfile.TemporaryFile() if keep_report else contextlib.nullcontext() as report:
        try:
            with fd2_to(report) if report else contextlib.nullcontext():
                return novrel.rust_read_torvask(path, n_digits)
        except BaseException as e:
            # Matched by name: its module, pyo3_runtime, cannot be imported.
            if type(e).__name__ != "PanicException":
                raise
            text = ""
            if report:
                report.seek(0)
                text = report.read().decode(errors="replace")
            raise ReadError(path, e.args[0], text) from None
