"""xarray's engine for plot files, registered as ``torvask``:

    ds = xarray.open_dataset("run7.plt", engine="torvask")
    ds = xarray.open_mfdataset(paths, engine="torvask", parallel=True, chunks={})

Opening reads the header and parameter 0, which becomes the index coordinate
at once; every other parameter stays on disk until it is touched, and then
each slice of blocks asked for is one chosen read of that parameter alone.
The Dataset is the one ``Plot.to_xarray`` gives for the whole file.

xarray imports this module through its entry point only when it looks for
engines, so ``import torvask`` never imports xarray.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable
from typing import Any

import numpy as np
import xarray
from numpy.typing import DTypeLike
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

import torvask

__all__ = ["TorvaskBackendEntrypoint", "ParameterArray"]

# Enough for any header line a simulation writes; a longer first line, or
# one without a line end, is not taken for a plot file.
_HEADER_PROBE = 64 * 1024


class ParameterArray(BackendArray):
    """One parameter of a plot file in every block, read when indexed.

    It holds the path and the read's options only, no open file and no
    state that changes: each read opens the file itself and releases the
    interpreter, so Dask's threads index it side by side without a lock,
    and it pickles to Dask's workers as the few values that name it. The
    block count is fixed when the file is opened; a file that grows after
    that is read up to the blocks it had then.
    """

    def __init__(self, path: str, parameter: int, blocks: int, width: int | None,
                 dtype: np.dtype[Any], complete_blocks: bool) -> None:
        self.path = path
        self.parameter = parameter
        self.shape = (blocks,)
        self.dtype = dtype
        self.width = width
        self.complete_blocks = complete_blocks

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        # BASIC: a chosen read takes one slice of blocks with a positive
        # step, which is what xarray hands over for BASIC; a list of blocks
        # or a reversed slice is read as its covering slice and picked from
        # in memory by xarray.
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                  self._raw_getitem)

    def _raw_getitem(self, key: tuple[Any, ...]) -> np.ndarray[Any, Any]:
        (index,) = key
        if isinstance(index, slice):
            chosen = range(*index.indices(self.shape[0]))
        else:
            block = operator.index(index)
            chosen = range(self.shape[0])[block:block + 1 or None]
        if not chosen:
            values = np.empty(0, self.dtype)
        else:
            # Looked up at each call (not bound at import) so that a test can
            # count the reads through torvask.read.
            plot = torvask.read(self.path, self.width, dtype=self.dtype,
                                parameters=[self.parameter],
                                blocks=slice(chosen.start, chosen.stop, chosen.step),
                                complete_blocks=self.complete_blocks)
            # The read holds parameter 0 first and this one last (or only
            # parameter 0); the copy frees the other column.
            values = np.ascontiguousarray(plot.values[:, -1])
        return values if isinstance(index, slice) else values.reshape(())


def _header_line(path: str | bytes) -> str | None:
    try:
        with open(path, "rb") as file:
            head = file.read(_HEADER_PROBE)
    except OSError:
        return None
    line, newline, _ = head.partition(b"\n")
    if not newline:
        return None
    try:
        return line.decode("utf-8")
    except UnicodeDecodeError:
        return None


class TorvaskBackendEntrypoint(BackendEntrypoint):
    """xarray's engine ``torvask``: ``xarray.open_dataset(path,
    engine="torvask", width=None, dtype=numpy.float64,
    complete_blocks=False)`` with the options of ``torvask.read``.

    The Dataset has parameter 0 as its coordinate and every other parameter
    as a variable along it, named from ``Plot.columns``, each with
    ``attrs["parameter"]`` its index in the file; the Dataset's ``attrs``
    hold ``path``, ``title``, ``width`` and ``blocks``, as
    ``Plot.to_xarray`` gives them. ``chunks=`` makes each chunk one chosen
    read, which is what Dask runs on its workers.
    """

    description = "TORVASK plot files, each parameter read when first touched, by torvask"
    url = "README.md#xarray-and-dask (in the novrel package)"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "width", "dtype",
                               "complete_blocks")

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """True for a path ending in .plt, or whose file begins with a
        header line (UTF-8, at most 64 KiB) that ends in a parameter count;
        the rest of the file is not read."""
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            return False
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        if os.fsdecode(path).lower().endswith(".plt"):
            return True
        header = _header_line(path)
        tokens = header.split() if header is not None else []
        return bool(tokens) and tokens[-1].isascii() and tokens[-1].isdigit() \
            and int(tokens[-1]) > 0

    def open_dataset(  # type: ignore[override]
            self, filename_or_obj: str | bytes | os.PathLike[str] | os.PathLike[bytes], *,
            drop_variables: str | Iterable[str] | None = None, width: int | None = None,
            dtype: DTypeLike = np.float64, complete_blocks: bool = False) -> xarray.Dataset:
        if not isinstance(filename_or_obj, (str, bytes, os.PathLike)):
            raise TypeError("the torvask engine reads a path (str, bytes or os.PathLike), not "
                            f"{type(filename_or_obj).__name__}")
        path = os.fsdecode(os.fspath(filename_or_obj))
        dropped = {drop_variables} if isinstance(drop_variables, str) \
            else set(drop_variables or ())
        # Two reads, neither touching a value beyond parameter 0: the header
        # and names (no block), then parameter 0 of every block. A chosen
        # read with complete_blocks=True keeps a last block whose chosen
        # lines are complete though later ones are cut off; the last
        # parameter lies on a block's last data line, so also reading it
        # keeps exactly the blocks a full read keeps, which every later read
        # then finds too.
        header = torvask.read(path, width, dtype=dtype, blocks=slice(0, 0),
                              complete_blocks=complete_blocks)
        index = torvask.read(path, width, dtype=dtype,
                             parameters=[0, -1] if complete_blocks else [0],
                             complete_blocks=complete_blocks)
        dim = header.columns[0]
        count = len(index.values)
        chosen = np.dtype(dtype)
        # Absolute, so that a Dask worker started in another directory reads
        # the same file; the attrs keep the path as given, as read() does.
        where = os.path.abspath(path)
        variables = {
            name: xarray.Variable(dim, indexing.LazilyIndexedArray(ParameterArray(
                where, j, count, width, chosen, complete_blocks)), {"parameter": j})
            for j, name in enumerate(header.columns[1:], 1) if name not in dropped}
        coords = {} if dim in dropped else {
            dim: xarray.Variable(dim, index.values[:, 0], {"parameter": 0})}
        return xarray.Dataset(variables, coords=coords, attrs=index._attrs())
