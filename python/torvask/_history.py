"""The blocks a Follower has read so far, kept for follow(keep=True)."""

from __future__ import annotations

import numpy as np

from ._plot import Plot


class History:
    """Rows appended poll by poll into one buffer with room to spare.

    Each Plot handed out views the rows held when it was made. New rows go
    only past those, into room no earlier view covers, and when the room
    runs out they go into a larger buffer (half as large again, so the
    copies cost O(1) per row in all): an array once handed out never
    changes, and no buffer is ever resized while a view of it may live.
    """

    def __init__(self, empty: Plot) -> None:
        self._buffer = empty.values[:0]
        self._held = 0
        self._plot = empty

    @property
    def plot(self) -> Plot:
        return self._plot

    def add(self, new: Plot) -> None:
        count = len(new.values)
        if not count and (self._held or new.columns == self._plot.columns):
            return  # keep handing out the same Plot while nothing is new
        if self._buffer.shape[1:] != new.values.shape[1:] or not self._held:
            self._buffer = np.empty((max(count, 64), new.values.shape[1]), new.values.dtype)
            self._held = 0
            first = new.blocks.start
        else:
            first = self._plot.blocks.start
        if self._held + count > len(self._buffer):
            grown = np.empty((max(self._held + count, len(self._buffer) * 3 // 2),
                              self._buffer.shape[1]), self._buffer.dtype)
            grown[:self._held] = self._buffer[:self._held]
            self._buffer = grown
        self._buffer[self._held:self._held + count] = new.values
        self._held += count
        self._plot = Plot(new.names, self._buffer[:self._held], new.width, new.path,
                          title=new.title, columns=new.columns, parameters=new.parameters,
                          blocks=range(first, first + self._held))
