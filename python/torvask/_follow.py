"""Following a plot file that a simulation is still writing: each poll reads
the blocks completed since the last one, from the byte where it stopped."""

from __future__ import annotations

import os
import time
from collections.abc import Iterable, Iterator

import numpy as np
from numpy.typing import DTypeLike

from . import _arguments as check
from ._errors import HEADER_UNWRITTEN, FormatError
from ._history import History
from ._plot import Plot, StrOrBytesPath
from ._reading import Window, WindowsChanged, read_found
from ._source import opened


class RestartedError(RuntimeError):
    """The bytes a follower or a Dataset read from a file are no longer
    those in it, as when the simulation restarted: the file was cut short,
    rewritten, or replaced by another, or it was removed. ``path`` is the
    file; read or follow it again to read the new run from its start."""

    def __init__(self, message: str, *, path: str = "") -> None:
        super().__init__(message)
        self.path = path


# The windows spread over the blocks returned that a follower keeps, besides
# those of the header and names, the first block and the last block.
_SPREAD_KEPT = 8


class _Windows:
    """The fingerprints that vouch for what a follower has returned: the
    header and names, the first block returned and the last one, and a few
    small windows spread over the blocks between. Each poll's read checks
    them all; the spread ones are thinned to the same count as the file
    grows, so a poll's cost does not grow with the file. A restart rewrites
    the file from its start or from a dump on, so through the last block
    returned: the last block of each poll replaces the one before."""

    def __init__(self, header: Window) -> None:
        self.header = header
        self.first: Window | None = None
        self.last: Window | None = None
        self.spread: list[Window] = []

    def all(self) -> tuple[Window, ...]:
        blocks = (self.first, *self.spread, self.last if self.last != self.first else None)
        return (self.header, *(w for w in blocks if w))

    def add(self, taken: tuple[Window, ...]) -> None:
        """The fingerprints of a read that went on from the blocks kept: the
        header and names, then the first and the last block it returned with
        the spread windows between (one window where they are few bytes)."""
        _, *blocks = taken
        if not blocks:
            return
        if self.first is None:
            self.first = blocks[0]
        self.last = blocks[-1]
        self.spread += blocks[1:-1]
        if len(self.spread) > _SPREAD_KEPT:
            # Those nearest evenly spaced marks over the blocks kept.
            start, span = self.first[0], self.last[0] - self.first[0]
            marks = [start + span * (2 * i + 1) // (2 * _SPREAD_KEPT) for i in range(_SPREAD_KEPT)]
            self.spread = sorted({min(self.spread, key=lambda w: abs(w[0] - mark))
                                  for mark in marks})


class Follower:
    """A plot file read as it grows. ``poll()`` gives the complete blocks
    added since the last poll (the first poll: all complete blocks so far);
    ``updates()`` waits for them.

    A block counts once its last line has ended, so a block being written is
    read by a later poll, whole. A file whose header or names are still
    being written, or which does not exist yet, has no blocks yet: that is
    not an error. Each poll opens the file, reads its header and names
    again (they must be the same) and then only the bytes after the last
    complete block read; nothing is held open between polls.

    The bytes decide whether the file is still the one followed: each poll
    checks fingerprints of the bytes returned before (the header and names,
    the first and the last block returned, and a few small windows spread
    over the blocks between) before it reads and again after. Where they
    changed, or the file was cut short or removed, the poll raises
    RestartedError. A file replaced by another that holds the same bytes, as
    a writer that flushes through a temporary file renamed over it makes, is
    followed on.

    With ``keep=True``, ``history`` is a Plot of every block read so far,
    a new one after each poll that read any; see ``history``.
    """

    def __init__(self, path: StrOrBytesPath, width: int | None = None, *,
                 dtype: DTypeLike = np.float64,
                 parameters: Iterable[str | int] | None = None, keep: bool = False) -> None:
        self._path = path
        self._width = check.width(width)
        self._float64 = check.float64(dtype)
        self._dtype = np.float64 if self._float64 else np.float32
        self._chosen = check.parameters(parameters)
        self._resume = (0, 0, 0)
        # (size, device, inode) when first read: kept for what it says, never
        # compared, since only the bytes decide.
        self._identity: tuple[int, int, int] | None = None
        self._windows: _Windows | None = None
        self._header: tuple[str, tuple[str, ...]] | None = None
        self._shown = os.fsdecode(os.fspath(path))
        self._kept = History(self._nothing()) if check.flag("keep", keep) else None

    @property
    def path(self) -> str:
        return self._shown

    @property
    def blocks(self) -> int:
        """The blocks read so far."""
        return self._resume[2]

    @property
    def history(self) -> Plot:
        """Every block read so far (with ``keep=True``), numbered as in the
        file. Each poll that reads blocks makes a new Plot, and the arrays of
        those made before never change; the values of one are shared with
        the next, so change a copy. A restart drops it."""
        if self._kept is None:
            raise AttributeError(f"{self._shown} is followed without keep=True: "
                                 "it has no history")
        return self._kept.plot

    def poll(self) -> Plot:
        """The complete blocks added since the last poll, numbered as in the
        file (``Plot.blocks``); none when nothing new is complete."""
        if self._kept is None:
            return self._poll()
        try:
            plot = self._poll()
        except RestartedError as error:
            dropped = len(self._kept.plot.values)
            self._kept = History(self._nothing())
            raise RestartedError(f"{error}; the history of {dropped} blocks was dropped",
                                 path=error.path) from None
        self._kept.add(plot)
        return plot

    def _poll(self) -> Plot:
        try:
            with opened(self._path) as found:
                if not found.is_path:
                    raise ValueError(f"{found.shown} cannot be followed: only a plain file "
                                     "by path can be read again from where a poll stopped")
                plot, result = read_found(
                    found, self._width, self._float64, self._chosen, (None, None, 1), 1, True,
                    resume=self._resume, windows=self._windows.all() if self._windows else ())
        except FileNotFoundError:
            if self._identity is not None:
                raise RestartedError(f"{self._shown} was removed", path=self._shown) from None
            return self._nothing()
        except WindowsChanged as changed:
            raise RestartedError(self._why(changed), path=self._shown) from None
        except FormatError as error:
            if error.problem not in HEADER_UNWRITTEN:
                raise
            if self._identity is not None:
                # Its header was whole before: it was written anew.
                raise RestartedError(f"{self._shown} was rewritten from its start",
                                     path=self._shown) from None
            return self._nothing()
        header = (plot.title, plot.names)
        if self._header is None:
            self._header = header
        elif header != self._header:
            raise RestartedError(f"{self._shown} has another header than before",
                                 path=self._shown)
        if self._identity is None:
            self._identity = result.identity
        taken = result.fingerprints or ()  # always there: windows were given
        if self._windows is None:
            self._windows = _Windows(taken[0])
        self._windows.add(taken)
        if self._width is None and plot.width is not None:
            self._width = plot.width
        self._resume = result.end
        return plot

    def _why(self, changed: WindowsChanged) -> str:
        if changed.index == 0:
            return f"{self._shown} was rewritten from its start: its header or names changed"
        if changed.size < self._resume[0]:
            return f"{self._shown} shrank from at least {self._resume[0]} to {changed.size} bytes"
        return f"the bytes before block {self.blocks} of {self._shown} changed"

    def updates(self, interval: float = 1.0, timeout: float | None = None) -> Iterator[Plot]:
        """Polls every ``interval`` seconds and yields each Plot of new
        blocks; stops after ``timeout`` seconds without one (None: never)."""
        if interval <= 0:
            raise ValueError(f"interval must be positive, not {interval}")
        last = time.monotonic()
        while True:
            plot = self.poll()
            if len(plot.values):
                last = time.monotonic()
                yield plot
            elif timeout is not None and time.monotonic() - last >= timeout:
                return
            else:
                time.sleep(interval if timeout is None
                           else max(0.0, min(interval, last + timeout - time.monotonic())))

    def _nothing(self) -> Plot:
        return Plot([], np.empty((0, 0), self._dtype), self._width, self._shown,
                    columns=[], parameters=(), blocks=range(0))

    def __repr__(self) -> str:
        return f"<torvask.Follower {self._shown!r}: {self.blocks} blocks read>"


def follow(path: StrOrBytesPath, width: int | None = None, *, dtype: DTypeLike = np.float64,
           parameters: Iterable[str | int] | None = None, keep: bool = False) -> Follower:
    """Follows the plot file at ``path`` while a simulation writes it::

        follower = torvask.follow("run7.plt")
        for plot in follower.updates(interval=1.0, timeout=60):
            print(plot.blocks, plot["TIME"])   # the blocks new since the last

    ``width``, ``dtype`` and ``parameters`` are those of ``read``; with
    ``keep=True``, ``follower.history`` holds every block read so far. See
    Follower for what a poll reads and when it raises."""
    return Follower(path, width, dtype=dtype, parameters=parameters, keep=keep)
