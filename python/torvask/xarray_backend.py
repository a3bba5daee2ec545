"""xarray's engine for plot files, registered as ``torvask``:

    ds = xarray.open_dataset("run7.plt", engine="torvask")
    ds = xarray.open_mfdataset(paths, engine="torvask", parallel=True, chunks={})

Opening reads the header and parameter 0, which becomes the index coordinate
at once; every other parameter stays on disk until it is touched. For each
slice of blocks, the first three parameters touched are each one chosen read
of that parameter alone; the next one reads every variable not touched yet,
in one read, and holds them until touched or until the Dataset is closed, so
that loading them all does not read the file once per variable. The Dataset
is the one ``Plot.to_xarray`` gives for the whole file.

Opening records what it read: the file's inode and size, and fingerprints
of its header and names and of a few windows of its blocks, taken through
the descriptor the read read with. Every later read, and every handing out
of values read ahead, checks them through its own descriptor; a file whose
bytes changed, or which shrank, raises torvask.RestartedError instead of
pairing values of one run with the index of another.

xarray imports this module through its entry point only when it looks for
engines, so ``import torvask`` never imports xarray.
"""

from __future__ import annotations

import operator
import os
import threading
from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np
import xarray
from numpy.typing import DTypeLike
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

import torvask
from torvask import _arguments as check
from torvask import _core
from torvask._follow import RestartedError
from torvask._plot import Plot, table_attrs
from torvask._reading import Window, WindowsChanged, read_found
from torvask._source import opened

__all__ = ["TorvaskBackendEntrypoint", "ParameterArray"]

# Enough for any header line a simulation writes; a longer first line, or
# one without a line end, is not taken for a plot file.
_HEADER_PROBE = 64 * 1024
# Chosen reads of single parameters per slice of blocks before the rest of
# its variables are read at once (see _FileReads).
_SINGLE_READS = 3
_SPANS_REMEMBERED = 1024


class _Identity(NamedTuple):
    """What opening a file read, for later reads to check against."""
    inode: int
    size: int
    windows: tuple[Window, ...]  # _core.read's fingerprints of the read


def _changed(path: str, identity: _Identity, index: int | None, size: int, inode: int) -> str:
    """Why the file at `path` is no longer the one opened, or "" where it is."""
    if index is None and size >= identity.size:
        return ""
    if inode != identity.inode:
        why = "was replaced by another file"
    elif size < identity.size:
        why = f"shrank from {identity.size} to {size} bytes"
    elif index == 0:
        why = "has another header or other names"
    else:
        why = "has other bytes in the blocks it had"
    return (f"{path} {why} since it was opened: reopen it to read what it holds now")


def _checked_read(path: str, width: int | None = None, *, dtype: Any = np.float64,
                  parameters: list[int] | None = None, blocks: slice | None = None,
                  complete_blocks: bool = False,
                  identity: _Identity | None = None) -> tuple[Plot, Any]:
    """torvask.read of `path`, checked against `identity` through the read's
    own descriptor before it reads and after; the Plot and the reader's
    result, whose ``identity`` and ``fingerprints`` (for a plain file by
    path) vouch for the read. A compressed file is read unchecked."""
    float64 = check.float64(dtype)
    chosen = check.parameters(parameters)
    with opened(path) as found:
        windows = (identity.windows if identity else ()) if found.is_path else None
        try:
            plot, result = read_found(found, check.width(width), float64, chosen,
                                      check.blocks(blocks), 1, complete_blocks,
                                      windows=windows)
        except WindowsChanged as changed:
            assert identity is not None
            raise RestartedError(_changed(path, identity, changed.index, changed.size,
                                          changed.inode), path=path) from None
    if identity is not None and windows is not None:
        size, _, inode = result.identity
        why = _changed(path, identity, None, size, inode)
        if why:
            raise RestartedError(why, path=path)
    return plot, result


class _FileReads:
    """The reads of one opened file, shared by all its variables.

    A variable asks for one parameter over one slice of blocks (a span).
    The first few parameters asked for over a span are chosen reads of each
    alone, so that touching a few variables reads only those. Every read
    also scans the file's line structure, which costs about a sixth of a
    full read whichever parameters it parses, and xarray asks for variables
    one at a time: loading them all that way rescans the file per variable.
    So once more than ``_SINGLE_READS`` parameters of a span have been asked
    for, the next miss reads every variable of the span not asked for yet,
    in one read, and holds their values until each is asked for, then hands
    it over and forgets it: what is held is never more than the rest of that
    span, and each value is held once. Loading every variable thus costs
    ``_SINGLE_READS`` chosen reads and one full read.

    A lock guards the spans; the reads themselves run outside it, releasing
    the interpreter, so Dask's threads read different spans side by side. A
    thread asking for a parameter that another thread's read is fetching
    waits for that read instead of reading again. Pickled, it is the values
    that name the file and what it held when opened (``identity``), and
    starts with nothing held.
    """

    def __init__(self, path: str, width: int | None, dtype: np.dtype[Any], complete_blocks: bool,
                 parameters: tuple[int, ...], count: int, identity: _Identity | None) -> None:
        self.path = path
        self.identity = identity
        self.width = width
        self.dtype = dtype
        self.complete_blocks = complete_blocks
        self.parameters = parameters  # those of the variables, in file order
        self.count = count            # the file's parameter count
        self._lock = threading.Condition()
        self._spans: dict[tuple[int, int, int], _Span] = {}

    def __reduce__(self) -> tuple[type[_FileReads], tuple[Any, ...]]:
        return type(self), (self.path, self.width, self.dtype, self.complete_blocks,
                            self.parameters, self.count, self.identity)

    def close(self) -> None:
        """Drops every value held; later reads start afresh."""
        with self._lock:
            self._spans.clear()

    def column(self, parameter: int, chosen: range) -> np.ndarray[Any, Any]:
        """Parameter `parameter` in the blocks `chosen` (not empty)."""
        key = (chosen.start, chosen.stop, chosen.step)
        with self._lock:
            span = self._span(key)
            while parameter in span.pending:
                self._lock.wait()
            values = span.held.pop(parameter, None)
            span.asked.add(parameter)
            if values is None:
                ahead = [] if len(span.asked) <= _SINGLE_READS else [
                    p for p in self.parameters
                    if p not in span.asked and p not in span.held and p not in span.pending]
                span.pending.update(ahead)
        if values is not None:
            # Read with the rest, perhaps long ago: the file must still be
            # the one it was read from.
            self._check()
            return values
        if not ahead:
            return self._read([parameter], chosen)[parameter]
        columns: dict[int, np.ndarray[Any, Any]] = {}
        try:
            columns = self._read(sorted([parameter, *ahead]), chosen)
        except (torvask.FormatError, MemoryError):
            # A fault in a field of another parameter, or the room for all of
            # them, must not fail this one: its own read decides.
            pass
        finally:
            # In one step, so that a waiting thread finds its values held.
            with self._lock:
                span.pending.difference_update(ahead)
                span.held.update((p, columns[p]) for p in ahead if p in columns)
                self._lock.notify_all()
        return columns[parameter] if columns else self._read([parameter], chosen)[parameter]

    def _check(self) -> None:
        if self.identity is None:
            return
        index, (size, _, inode) = _core.check(os.fsencode(self.path), self.identity.windows)
        why = _changed(self.path, self.identity, index, size, inode)
        if why:
            raise RestartedError(why, path=self.path)

    def _span(self, key: tuple[int, int, int]) -> _Span:
        span = self._spans.get(key)
        if span is None:
            span = self._spans[key] = _Span()
            # What a span remembers without holding values is a few
            # integers, but indexing one block at a time makes a span per
            # block: the oldest such records go beyond a bound.
            if len(self._spans) > _SPANS_REMEMBERED:
                idle = [k for k, s in self._spans.items() if not s.held and not s.pending]
                for k in idle[:len(self._spans) - _SPANS_REMEMBERED]:
                    del self._spans[k]
        return span

    def _read(self, parameters: list[int], chosen: range) -> dict[int, np.ndarray[Any, Any]]:
        # A chosen read parses each chosen field on its own; many of them
        # cost more than a full read, which parses whole lines at a time.
        # One parameter is always a chosen read of it alone: that read
        # alone decides whether it fails.
        everything = len(parameters) > 1 and len(parameters) * 4 >= self.count
        # _checked_read is looked up at each call, so that a test can count
        # the reads.
        plot, _ = _checked_read(self.path, self.width, dtype=self.dtype,
                                parameters=None if everything else parameters,
                                blocks=slice(chosen.start, chosen.stop, chosen.step),
                                complete_blocks=self.complete_blocks, identity=self.identity)
        if len(parameters) == 1:
            # The read holds parameter 0 first and this one last; the copy
            # frees the other column.
            return {parameters[0]: np.ascontiguousarray(plot.values[:, -1])}
        # Views, as Plot.to_xarray's columns are: the values read ahead are
        # all held until taken or the Dataset is closed anyway, and copying
        # them out one column at a time costs more than the read itself (a
        # column's successive values lie a line of values apart, each on a
        # page of its own in a file of many parameters).
        wanted = set(parameters)
        return {p: plot.values[:, j] for j, p in enumerate(plot.parameters) if p in wanted}


class _Span:
    """What one slice of blocks has seen: the parameters asked for, the
    values read ahead and not asked for yet, and those being read ahead."""

    __slots__ = ("asked", "held", "pending")

    def __init__(self) -> None:
        self.asked: set[int] = set()
        self.held: dict[int, np.ndarray[Any, Any]] = {}
        self.pending: set[int] = set()


class ParameterArray(BackendArray):
    """One parameter of a plot file in every block, read when indexed.

    The block count is fixed when the file is opened; a file that grows
    after that is read up to the blocks it had then.
    """

    def __init__(self, reads: _FileReads, parameter: int, blocks: int) -> None:
        self.reads = reads
        self.parameter = parameter
        self.shape = (blocks,)
        self.dtype = reads.dtype

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
        values = self.reads.column(self.parameter, chosen) if chosen else np.empty(0, self.dtype)
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
    ``attrs["parameter"]`` its index in the file and ``attrs["name"]`` its
    name as written; the Dataset's ``attrs`` hold ``path``, ``title``,
    ``width`` and ``blocks``, as ``Plot.to_xarray`` gives them.
    ``chunks=`` makes each chunk a read of its own (the variables of a chunk
    share their reads as above), which is what Dask runs on its workers.
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
        return header is not None and _core.header_count(header) is not None

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
        # One read, of parameter 0 of every block, which also gives every
        # name, and the fingerprints that later reads check. A chosen read
        # with complete_blocks=True keeps a last block whose chosen
        # lines are complete though later ones are cut off; the last
        # parameter lies on a block's last data line, so also reading it
        # keeps exactly the blocks a full read keeps, which every later read
        # then finds too.
        index, result = _checked_read(path, width, dtype=dtype,
                                      parameters=[0, -1] if complete_blocks else [0],
                                      complete_blocks=complete_blocks)
        columns = torvask.unique_names(result.names)
        dim = columns[0]
        named = [(j, name) for j, name in enumerate(columns[1:], 1) if name not in dropped]
        size, _, inode = result.identity
        identity = None if result.fingerprints is None else \
            _Identity(inode, size, result.fingerprints)
        # Absolute, so that a Dask worker started in another directory reads
        # the same file; the attrs keep the path as given, as read() does.
        reads = _FileReads(os.path.abspath(path), width, np.dtype(dtype), complete_blocks,
                           tuple(j for j, _ in named), len(columns), identity)
        blocks = len(index.values)
        # Opening builds a variable per parameter, thousands of them, so each
        # is made once, as a tuple the Dataset turns into its Variable, and
        # the lazy arrays share the indexer of the whole array instead of
        # each building its own.
        whole = indexing.BasicIndexer((slice(None),))
        variables = {name: (dim, indexing.LazilyIndexedArray(ParameterArray(reads, j, blocks),
                                                             whole),
                            {"parameter": j, "name": result.names[j]})
                     for j, name in named}
        coords = {} if dim in dropped else {
            dim: xarray.Variable(dim, index.values[:, 0],
                                 {"parameter": 0, "name": result.names[0]})}
        dataset = xarray.Dataset(variables, coords=coords, attrs=table_attrs(index))
        dataset.set_close(reads.close)
        return dataset
