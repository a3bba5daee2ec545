"""Comparing two runs, or a run and measured data, within tolerances, a
slice of blocks at a time so that memory stays bounded whatever the files'
size."""

from __future__ import annotations

import contextlib
import csv
import math
import os
from collections.abc import Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import _arguments as check
from . import _core
from ._errors import format_error
from ._names import choose_parameters
from ._plot import Plot, Values, unique_names
from ._reading import read_found
from ._source import Opened, Source, opened

if TYPE_CHECKING:
    import pandas as _pandas  # type: ignore[import-untyped, unused-ignore]

# Values a slice holds, per file: rows of this many values at most (one row
# when a row alone is larger). The comparison's temporaries are a few times
# this.
SLICE_VALUES = 1 << 19
# The bytes taken from a stream at a time.
STREAM_BYTES = 8 << 20

Numbers = NDArray[np.int64]  # block numbers
Chunk = tuple[Numbers, Values]  # block numbers, values (column 0 first)


class Difference(NamedTuple):
    """One parameter's comparison: ``compared`` pairs of values, of which
    ``differing`` lie beyond the tolerance; the largest absolute and relative
    differences among pairs of finite values (the relative one where b is
    not 0); and where the first difference lies: a's ``block``, a's first
    parameter there (``at``) and the two values. The last four are None when
    no value differs."""

    name: str
    compared: int
    differing: int
    max_abs: float
    max_rel: float
    block: int | None
    at: float | None
    a: float | None
    b: float | None


class Comparison:
    """What ``compare`` found. True when the runs are equal within the
    tolerance: the same names, the same count of blocks (``on="block"``),
    and no value differing. ``str()`` is a short summary; ``to_pandas()``
    a table with a row per compared parameter.

    ``a`` and ``b`` name the two sides; ``only_a`` and ``only_b`` are the
    names in one of them only; ``blocks`` the chosen blocks of each (of
    measured data, its rows); ``compared`` the blocks of a compared (on
    ``"time"``, those within the overlap of the first parameters);
    ``parameters`` a Difference per compared parameter, in a's order, the
    first parameter first when ``on="block"``.
    """

    def __init__(self, a: str, b: str, *, on: str, rtol: float, atol: float, axis: str,
                 only_a: tuple[str, ...], only_b: tuple[str, ...], blocks: tuple[int, int],
                 compared: int, parameters: tuple[Difference, ...]) -> None:
        self.a, self.b, self.on, self.rtol, self.atol, self.axis = a, b, on, rtol, atol, axis
        self.only_a, self.only_b, self.blocks = only_a, only_b, blocks
        self.compared, self.parameters = compared, parameters

    @property
    def differing(self) -> tuple[Difference, ...]:
        """The parameters with a value beyond the tolerance."""
        return tuple(d for d in self.parameters if d.differing)

    def _block_counts_differ(self) -> bool:
        return self.on == "block" and self.blocks[0] != self.blocks[1]

    def _no_overlap(self) -> bool:
        return self.on == "time" and self.compared == 0 and min(self.blocks) > 0

    def __bool__(self) -> bool:
        return not (self.only_a or self.only_b or self._block_counts_differ()
                    or self._no_overlap() or self.differing)

    def first_difference(self, d: Difference) -> str:
        """``PRESSURE first differs at block 12 TIME=6.0: 1.5 vs 1.25``."""
        return (f"{d.name} first differs at block {d.block} {self.axis}={_number(d.at)}: "
                f"{_number(d.a)} vs {_number(d.b)}")

    def __str__(self) -> str:
        tolerance = f"rtol {self.rtol:g}, atol {self.atol:g}"
        if self:
            return (f"{self.a} and {self.b} are equal within {tolerance}: "
                    f"{len(self.parameters)} parameters, {self.compared} blocks")
        counts = []
        if self.differing:
            counts.append(f"{len(self.differing)} of {len(self.parameters)} parameters")
        if self._block_counts_differ():
            counts.append(f"{self.blocks[0]} and {self.blocks[1]} blocks")
        if self._no_overlap():
            counts.append(f"no overlap of their {self.axis}")
        lines = [f"{self.a} and {self.b} differ beyond {tolerance}"
                 + (f": {', '.join(counts)}" if counts else "")]
        shown = 10
        for d in self.differing[:shown]:
            lines.append(f"  {self.first_difference(d)} ({d.differing} of {d.compared} "
                         f"values differ, by up to {d.max_abs:.6g}"
                         + (f", {d.max_rel:.3g} relative)" if d.max_rel else ")"))
        if len(self.differing) > shown:
            lines.append(f"  and {len(self.differing) - shown} more parameters")
        for side, names in ((self.a, self.only_a), (self.b, self.only_b)):
            if names:
                lines.append(f"  only in {side}: {_listed(names)}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<torvask.Comparison {'equal' if self else 'differ'}: {self.a} vs {self.b}>"

    def to_dict(self) -> dict[str, Any]:
        """Everything found, as JSON takes it (NaN and infinities as None)."""
        return {"a": self.a, "b": self.b, "equal": bool(self), "on": self.on,
                "rtol": _json(self.rtol), "atol": _json(self.atol), "only_a": list(self.only_a),
                "only_b": list(self.only_b), "blocks": list(self.blocks),
                "compared": self.compared,
                "parameters": [{k: _json(v) for k, v in d._asdict().items()}
                               for d in self.parameters]}

    def to_pandas(self) -> _pandas.DataFrame:
        """A DataFrame indexed by parameter name, one column per field of
        Difference; ``attrs`` hold the rest of ``to_dict()``."""
        import pandas  # type: ignore[import-untyped, unused-ignore]

        frame = pandas.DataFrame([d._asdict() for d in self.parameters],
                                 columns=list(Difference._fields)).set_index("name")
        frame["block"] = frame["block"].astype("Int64")
        frame.index.name = "parameter"
        frame.attrs = {k: v for k, v in self.to_dict().items() if k != "parameters"}
        return frame


def _number(value: float | None) -> str:
    return "?" if value is None else repr(float(value))


def _json(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _listed(names: tuple[str, ...], most: int = 10) -> str:
    more = f" and {len(names) - most} more" if len(names) > most else ""
    return ", ".join(names[:most]) + more


class _Side:
    """One side of a comparison: its names, and its chosen blocks a slice at
    a time. Close it when done: a stream stays open between slices."""

    def __init__(self, source: Source | Plot, width: int | None,
                 blocks: tuple[int | None, int | None, int], complete_blocks: bool) -> None:
        self.blocks = blocks
        self.width = width
        self.complete_blocks = complete_blocks
        self.count = 0  # the chosen blocks seen so far
        self.plot: Plot | None = None  # the whole side, where it is held
        self.measured = False
        self._open = contextlib.ExitStack()
        if isinstance(source, (str, bytes, os.PathLike)):
            path = os.fsdecode(os.fspath(source))
            if path.lower().endswith(".csv"):
                source = read_csv(path)
                self.measured = True
        if isinstance(source, Plot):
            self.plot, self.shown, self.columns = source, source.path, source.columns
            return
        self.source: Source = source
        try:
            self._look(source, width, blocks)
        except BaseException:
            self._open.close()
            raise

    def _look(self, source: Source, width: int | None,
              blocks: tuple[int | None, int | None, int]) -> None:
        found = self._open.enter_context(opened(source))
        self.shown = found.shown
        self.kind = "path" if found.is_path else "buffer" if found.seekable else "stream"
        start, stop, _ = blocks
        if self.kind == "stream" and ((start or 0) < 0 or (stop or 0) < 0):
            # Bounds from the end of a stream are known only at its end.
            self.plot = read_found(found, width, True, None, blocks, 1, self.complete_blocks)[0]
            self.blocks = (None, None, 1)
            self.columns = self.plot.columns
            return
        head: Opened | bytes
        if self.kind == "stream":
            self._stream = found
            self._pending = b""
            head = self._head = self._header()
        else:
            head = found
            self._open.close()
        names = self._core_read(head, (0,), (0, 0, 1), self.complete_blocks).names
        self.columns = tuple(unique_names(names))

    def close(self) -> None:
        self._open.close()

    def _core_read(self, found: Opened | bytes, chosen: tuple[str | int, ...] | None,
                   blocks: tuple[int | None, int | None, int], complete: bool = False,
                   resume: tuple[int, int, int] | None = None,
                   shift: tuple[int, int, int] = (0, 0, 0)) -> _core.ReadResult:
        """_core.read of `found`, or of a stream's header and blocks in
        memory; `shift` is (the lines of the header, and the lines and blocks
        of the stream before these) for its errors to say where they are."""
        source = memoryview(found) if isinstance(found, bytes) else found.source
        try:
            start, stop, step = blocks
            got = _core.read(source, width=self.width, complete_blocks=complete, float64=True,
                             parameters=chosen, start=start, stop=stop, step=step,
                             resume=resume)
        except _core.ReadFailure as failure:
            raise format_error(failure, self.shown, shift) from None
        if self.width is None:
            self.width = got.width
        return got

    def _more(self) -> bool:
        """Takes the stream's next bytes into the pending ones; False at its end."""
        source = self._stream.source
        if hasattr(source, "read"):
            data = source.read(STREAM_BYTES) or b""
        else:
            space = bytearray(STREAM_BYTES)
            data = bytes(space[:source.readinto(space) or 0])
        self._pending += data
        return bool(data)

    def _header(self) -> bytes:
        """The stream's header line and names, taken from its first bytes."""
        while True:
            ends = np.flatnonzero(np.frombuffer(self._pending, np.uint8) == 10)
            if len(ends):
                line = self._pending[:ends[0]].decode("utf-8", "replace")
                wanted = _core.header_count(line) or 0
                if len(ends) > wanted:
                    # A count that is no count leaves the header line alone,
                    # for the reader to say what is wrong with it.
                    cut = int(ends[wanted]) + 1
                    break
            if not self._more():
                cut = len(self._pending)
                break
        header, self._pending = self._pending[:cut], self._pending[cut:]
        return header

    def chunks(self, chosen: list[str]) -> Iterator[Chunk]:
        """The chosen blocks' values, column 0 and then `chosen`, in slices."""
        rows = max(1, SLICE_VALUES // (len(chosen) + 1))
        start, stop, step = self.blocks
        if self.plot is not None:
            plot = self.plot
            picked = [0] + [plot.columns.index(name) for name in chosen]
            numbers = np.asarray(plot.blocks, dtype=np.int64)[start:stop:step]
            values = plot.values[start:stop:step]
            for at in range(0, len(values), rows):
                self.count += len(values[at:at + rows])
                yield numbers[at:at + rows], values[at:at + rows][:, picked]
            return
        if self.kind == "stream":
            yield from self._stream_chunks(self._parameters(chosen))
            return
        if (start is not None and start < 0) or (stop is not None and stop < 0):
            start, stop, step = slice(start, stop, step).indices(self._block_count())
        want = start or 0
        # A file by path goes on from where the last slice ended; bytes in
        # memory are reached by block number.
        resume = (0, 0, 0) if self.kind == "path" else None
        names = self._parameters(chosen)
        while stop is None or want < stop:
            asked = rows if stop is None else min(rows, -(-(stop - want) // step))
            base = resume[2] if resume is not None else 0
            bounds = (want - base, want - base + (asked - 1) * step + 1, step)
            with opened(self.source) as found:
                got = self._core_read(found, names, bounds,
                                  resume is not None or self.complete_blocks, resume)
            values = np.asarray(got.rows)
            if len(values):
                self.count += len(values)
                yield np.arange(want, want + step * len(values), step, dtype=np.int64), values
                want += step * len(values)
            if len(values) == asked:
                resume = got.end if resume is not None else None
                continue
            if resume is not None and got.end[0] < got.identity[0]:
                # A read that goes on from a point leaves the file's last
                # block when its last line has no line end, and a cut block:
                # the rest is read as any read reads it, and fails as it does.
                resume = None
                continue
            return

    def _parameters(self, chosen: list[str]) -> tuple[int, ...] | None:
        """The reader's choice of `chosen`: None for every parameter in
        order, which the reader decodes a line at a time, where a choice
        goes field by field (three times slower)."""
        position = {name: j for j, name in enumerate(self.columns)}
        picked = tuple(position[name] for name in chosen)
        return None if picked == tuple(range(1, len(self.columns))) else picked

    def _stream_chunks(self, names: tuple[int, ...] | None) -> Iterator[Chunk]:
        """A stream's chosen blocks, read once, front to back: its whole
        blocks among the next bytes, each time with its header before them."""
        start, stop, step = self.blocks
        want = start or 0
        count = len(self.columns)
        header_lines = 1 + count
        per_block = 1 + -(-count // 10)
        before = 0  # the stream's blocks before the pending bytes
        ended = False
        while not ended and (stop is None or want < stop):
            ended = not self._more()
            if ended:
                cut, whole = len(self._pending), None
            else:
                ends = np.flatnonzero(np.frombuffer(self._pending, np.uint8) == 10)
                whole = len(ends) // per_block
                if not whole:
                    continue
                cut = int(ends[whole * per_block - 1]) + 1
            piece, self._pending = self._pending[:cut], self._pending[cut:]
            if whole is None:  # the rest, however it ends
                upto = None if stop is None else stop - before
            else:
                upto = whole if stop is None else min(whole, stop - before)
            if upto is None or want - before < upto:
                got = self._core_read(self._head + piece, names, (want - before, upto, step),
                                      ended and self.complete_blocks,
                                      shift=(header_lines, before * per_block, before))
                values = np.asarray(got.rows)
                if len(values):
                    self.count += len(values)
                    yield np.arange(want, want + step * len(values), step, dtype=np.int64), values
                    want += step * len(values)
            before += whole or 0

    def _block_count(self) -> int:
        with opened(self.source) as found:
            got = self._core_read(found, (0,), (-1, None, 1), self.complete_blocks)
        return int(got.first_block) + len(np.asarray(got.rows))


def read_csv(path: str | os.PathLike[str]) -> Plot:
    """Measured data in a CSV file as a Plot: a header of names, the first
    column the time (or whatever a run's first parameter is), one row per
    time; an empty cell is NaN."""
    shown = os.fsdecode(os.fspath(path))
    with open(path, newline="", encoding="utf-8-sig") as text:
        rows = list(csv.reader(text))
    if not rows or len(rows[0]) < 2:
        raise ValueError(f"{shown}: measured data need a header line of at least two names, "
                         "the first column's the time")
    header = [name.strip() for name in rows[0]]
    values = np.full((len(rows) - 1, len(header)), np.nan)
    for i, row in enumerate(rows[1:]):
        if len(row) != len(header):
            raise ValueError(f"{shown}, line {i + 2}: {len(row)} fields for {len(header)} names")
        for j, field in enumerate(row):
            if field.strip():
                try:
                    values[i, j] = float(field)
                except ValueError:
                    raise ValueError(f"{shown}, line {i + 2}: {field!r} is not a number") from None
    return Plot(header, values, None, shown, columns=header)


class _Tally:
    """The running comparison of paired columns, a slice of rows at a time."""

    def __init__(self, count: int, rtol: float, atol: float) -> None:
        self.rtol, self.atol = rtol, atol
        self.compared = 0
        self.differing = np.zeros(count, np.int64)
        self.max_abs = np.zeros(count)
        self.max_rel = np.zeros(count)
        self.block = np.full(count, -1, np.int64)
        self.at = np.full(count, np.nan)
        self.a = np.full(count, np.nan)
        self.b = np.full(count, np.nan)

    def add(self, blocks: Numbers, at: Values, a: Values, b: Values) -> None:
        if not len(a):
            return
        self.compared += len(a)
        with np.errstate(invalid="ignore", over="ignore", divide="ignore"):
            # NaN where either is NaN, or both are the same infinity.
            gap = np.abs(a - b)
            if self.rtol:
                tolerance = self.atol + self.rtol * np.abs(b)
                # An infinite b would take any finite a as near it.
                near = (gap <= tolerance) & (tolerance < np.inf)
            else:
                near = gap <= self.atol
            self._largest(gap, b, near, slice(None))
            # The columns with values beyond the tolerance, NaN or
            # infinities, few as a rule, are looked at closer.
            apart = np.flatnonzero(~near.all(axis=0))
            if not len(apart):
                return
            a, b, gap = a[:, apart], b[:, apart], gap[:, apart]
            # NaN equals NaN, and an infinity the same infinity.
            same = (a == b) | (np.isnan(a) & np.isnan(b))
            differ = ~same & ~near[:, apart]
            self._largest(gap, b, differ & np.isfinite(gap), apart)
        counts = differ.sum(axis=0)
        self.differing[apart] += counts
        new = np.flatnonzero((counts > 0) & (self.block[apart] < 0))
        if len(new):
            rows = differ[:, new].argmax(axis=0)
            columns = apart[new]
            self.block[columns] = blocks[rows]
            self.at[columns] = at[rows]
            self.a[columns] = a[rows, new]
            self.b[columns] = b[rows, new]

    def _largest(self, gap: Values, b: Values, where: NDArray[np.bool_],
                 columns: slice | NDArray[np.intp]) -> None:
        """Takes the largest absolute and relative differences among `gap`
        (of `columns`) where `where` holds."""
        largest = gap.max(axis=0, where=where, initial=0.0)
        self.max_abs[columns] = np.maximum(self.max_abs[columns], largest)
        if largest.any():
            magnitude = np.abs(b)
            relative = np.max(gap / magnitude, axis=0, where=where & (magnitude > 0),
                              initial=0.0)
            self.max_rel[columns] = np.maximum(self.max_rel[columns], relative)

    def differences(self, names: list[str]) -> tuple[Difference, ...]:
        found = []
        for j, name in enumerate(names):
            first = self.block[j] >= 0
            found.append(Difference(
                name, self.compared, int(self.differing[j]), float(self.max_abs[j]),
                float(self.max_rel[j]), int(self.block[j]) if first else None,
                float(self.at[j]) if first else None, float(self.a[j]) if first else None,
                float(self.b[j]) if first else None))
        return tuple(found)


def compare(a: Source | Plot, b: Source | Plot, *, rtol: float = 0.0, atol: float = 0.0,
            parameters: Iterable[str | int] | None = None, blocks: slice | None = None,
            on: str = "block", width: int | None = None,
            complete_blocks: bool = False) -> Comparison:
    """Compares run ``a`` with run ``b`` (each a path, a source as ``read``
    takes, or a Plot), or with measured data: ``b`` a path ending in ``.csv``.

    Parameters are paired by name (``Plot.columns``), the first parameters
    of the two always with each other. Two values are equal when they differ
    by at most ``atol + rtol * |b|``; NaN equals NaN and an infinity the
    same infinity. ``parameters`` chooses a's parameters to compare, as the
    command line's ``-p`` does (exact names, then indices, then shell-style
    patterns); ``blocks`` is a slice of each run's blocks, as for ``read``.

    ``on="block"`` pairs the values of the same block, and a count of
    blocks that differs is a difference too (the common blocks are still
    compared). ``on="time"`` pairs each block of a, within the span where
    the first parameters overlap, with b linearly interpolated at a's first
    parameter, which both must have increasing; this suits runs written at
    other time steps. Measured data are always compared on the time: a CSV
    file whose first column is the time and whose other columns are named
    as a's parameters (the names a run has and the data do not are not a
    difference).

    Files by path and bytes in memory are compared a slice of blocks at a
    time, each slice read on from where the last ended, so memory stays
    bounded whatever their size; a stream (a compressed file, a pipe, a file
    object) is read once, whole. ``width`` is the field width of both runs
    (None: each file's own). With ``complete_blocks=True`` a run that ends
    inside a block (one still being written) is compared up to it, as
    ``read`` reads it. Errors are those of ``read``; a first parameter that
    does not increase with ``on="time"`` is a ValueError.
    """
    rtol, atol = check.tolerance("rtol", rtol), check.tolerance("atol", atol)
    if on not in ("block", "time"):
        raise ValueError(f"on must be 'block' or 'time', not {on!r}")
    chosen_blocks = check.blocks(blocks)
    wanted = check.parameters(parameters)
    width = check.width(width)
    check.flag("complete_blocks", complete_blocks)
    with contextlib.ExitStack() as sides:
        left = _Side(a, width, chosen_blocks, complete_blocks)
        sides.callback(left.close)
        right = _Side(b, width, chosen_blocks, complete_blocks)
        sides.callback(right.close)
        # Each side's next slice is read in a thread of its own while this
        # one compares the last: the reader releases the interpreter. The
        # pool is shut down, its reads done, before the sides close.
        pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix="torvask-compare")
        sides.callback(pool.shutdown, cancel_futures=True)
        return _compare(left, right, rtol, atol, wanted, on, pool)


def _ahead(chunks: Iterator[Chunk], pool: ThreadPoolExecutor) -> Iterator[Chunk]:
    """`chunks`, each read in `pool` while the one before is used."""
    future = pool.submit(next, chunks, None)
    while (got := future.result()) is not None:
        future = pool.submit(next, chunks, None)
        yield got


def _compare(left: _Side, right: _Side, rtol: float, atol: float,
             wanted: list[str | int] | None, on: str, pool: ThreadPoolExecutor) -> Comparison:
    measured = right.measured
    if measured:
        on = "time"
    named_a, named_b = left.columns[1:], right.columns[1:]
    if wanted is None:
        chosen = list(named_a)
    else:
        chosen = [n for n in choose_parameters(left.columns, wanted, left.shown)
                  if n != left.columns[0]]
    in_b = set(named_b)
    common = [n for n in chosen if n in in_b]
    only_a = () if measured else tuple(n for n in chosen if n not in in_b)
    only_b = () if wanted is not None else tuple(n for n in named_b if n not in set(named_a))
    chunks = (_ahead(left.chunks(common), pool), _ahead(right.chunks(common), pool))
    pairs = (_by_block if on == "block" else _by_time)(left, right, *chunks)
    if on == "block":
        names = [left.columns[0], *common]
    else:
        names = common
    tally = _Tally(len(names), rtol, atol)
    for numbers, at, values_a, values_b in pairs:
        tally.add(numbers, at, values_a, values_b)
    return Comparison(left.shown, right.shown, on=on, rtol=rtol, atol=atol,
                      axis=left.columns[0], only_a=only_a, only_b=only_b,
                      blocks=(left.count, right.count), compared=tally.compared,
                      parameters=tally.differences(names))


Pairs = Iterator[tuple[Numbers, Values, Values, Values]]


def _by_block(left: _Side, right: _Side, chunks_a: Iterator[Chunk],
              chunks_b: Iterator[Chunk]) -> Pairs:
    """(a's block numbers, a's first parameter, a's values, b's values) of
    the blocks that both have, in slices; then the rest of the longer side
    is read through, to count its blocks."""
    rest_a: Chunk | None = None
    rest_b: Chunk | None = None
    while True:
        if rest_a is None or not len(rest_a[1]):
            rest_a = next(chunks_a, None)
        if rest_b is None or not len(rest_b[1]):
            rest_b = next(chunks_b, None)
        if rest_a is None or rest_b is None:
            break
        k = min(len(rest_a[1]), len(rest_b[1]))
        yield rest_a[0][:k], rest_a[1][:k, 0], rest_a[1][:k], rest_b[1][:k]
        rest_a = (rest_a[0][k:], rest_a[1][k:])
        rest_b = (rest_b[0][k:], rest_b[1][k:])
    for _ in chunks_a if rest_b is None else chunks_b:
        pass


def _increasing(side: _Side, numbers: Numbers, times: Values, before: float) -> None:
    steps = np.diff(times, prepend=before)
    bad = np.flatnonzero(~(steps > 0))
    if len(bad):
        j = bad[0]
        raise ValueError(
            f"{side.shown}: on='time' needs the first parameter {side.columns[0]} increasing, "
            f"but block {numbers[j]} has {float(times[j])!r} after "
            f"{float(times[j - 1] if j else before)!r}")


def _by_time(left: _Side, right: _Side, chunks_a: Iterator[Chunk],
             chunks_b: Iterator[Chunk]) -> Pairs:
    """(a's block numbers, a's first parameter, a's values, b's values
    interpolated there) of a's blocks within the overlap, in slices. b is
    held in a window that runs from the last of its rows at or before a's
    next time to the rows read ahead."""
    window: Values = np.empty((0, 0))
    last_a = last_b = -np.inf
    b_done = False
    for numbers, values in chunks_a:
        times = values[:, 0]
        _increasing(left, numbers, times, last_a)
        last_a = times[-1]
        while len(times):
            while not b_done and (not len(window) or window[-1, 0] < times[-1]):
                got = next(chunks_b, None)
                if got is None:
                    b_done = True
                    break
                _increasing(right, got[0], got[1][:, 0], last_b)
                last_b = got[1][-1, 0]
                window = np.concatenate([window, got[1]]) if len(window) else got[1]
            if not len(window):
                break  # b has no blocks: a's are counted, no more
            # a's rows that the window reaches: those up to its last time.
            upto = np.searchsorted(times, window[-1, 0], "right") if len(times) else 0
            here = np.flatnonzero(times[:upto] >= window[0, 0])
            if len(here):
                t = times[here]
                i = np.clip(np.searchsorted(window[:, 0], t, "right") - 1, 0, len(window) - 1)
                following = np.minimum(i + 1, len(window) - 1)
                span = window[following, 0] - window[i, 0]
                with np.errstate(invalid="ignore", over="ignore"):
                    share = np.where(span > 0, (t - window[i, 0]) / np.where(span > 0, span, 1), 0)
                    low, high = window[i, 1:], window[following, 1:]
                    between = low + share[:, None] * (high - low)
                # Where a's time is b's own, b's value as it is: an infinity
                # or a NaN beside it must not leak in.
                between = np.where((share == 0)[:, None], low, between)
                yield numbers[here], t, values[here, 1:], between
            if upto == len(times):
                times = times[:0]
            else:
                numbers, values, times = numbers[upto:], values[upto:], times[upto:]
                if b_done:
                    break  # the rest of a lies after b's end
            # b's rows before the last one at or before a's next time are
            # passed.
            keep = max(np.searchsorted(window[:, 0], times[0] if len(times) else last_a,
                                       "right") - 1, 0)
            window = window[keep:]
    for _ in chunks_b:  # b's count of blocks
        pass
