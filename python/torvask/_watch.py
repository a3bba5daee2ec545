"""`torvask watch`: a live view, in the terminal, of a plot file that a
simulation is writing, built on Textual.

Every `interval` seconds a poll of follow() reads the blocks completed
since the last one, in a thread so that the screen stays responsive. Only
the shown parameters are read, and each keeps the last HISTORY values for
its sparkline beside the lowest and highest of the whole run. When nothing
is new, a tick costs one small read of the header and names, and a redraw
of the line that tells how long ago the last block came."""

from __future__ import annotations

import argparse
import asyncio
import math
import os
import sys
import time
from collections import deque
from typing import Any

import numpy as np

from ._command import Unavailable, failure
from ._errors import HEADER_UNWRITTEN, FormatError
from ._follow import Follower, RestartedError
from ._names import choose_parameters
from ._plot import Plot, Values
from ._plotting import needed
from ._reading import column_names

# Values kept per shown parameter for its sparkline.
HISTORY = 1024
# Blocks per second are counted over this many seconds of polls.
RATE_WINDOW = 10.0
BARS = "▁▂▃▄▅▆▇█"
# Rows not given to parameters: two of head, a note, the table's header
# and the footer.
FIXED_ROWS = 5
NAME_WIDTH, VALUE_WIDTH = 16, 12


def sparkline(values: Values, width: int) -> str:
    """`values` as `width` bars at most, each the mean of its share of them,
    scaled from the lowest mean to the highest; a share of NaN alone is a
    blank."""
    if width < 1 or not len(values):
        return ""
    width = min(width, len(values))
    edges = np.linspace(0, len(values), width + 1).astype(np.intp)[:-1]
    finite = np.isfinite(values)
    counts = np.add.reduceat(finite, edges, dtype=np.intp)
    sums = np.add.reduceat(np.where(finite, values, 0.0), edges)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = sums / counts
    shown = means[counts > 0]
    if not len(shown):
        return " " * width
    low, high = float(shown.min()), float(shown.max())
    span = high - low
    levels = np.full(width, len(BARS) // 2 - 1) if not span > 0 else np.clip(
        ((np.where(counts > 0, means, low) - low) / span * len(BARS)).astype(np.intp),
        0, len(BARS) - 1)
    return "".join(BARS[level] if count else " " for level, count in zip(levels, counts))


def _number(value: float | None) -> str:
    return "-" if value is None or math.isnan(value) else f"{value:.6g}"


def _ago(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.0f} s"
    if seconds < 3600:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"


class Shown:
    """One shown parameter: its last HISTORY values and the run's extremes."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.history: Values = np.empty(0)
        self.low = self.high = math.nan

    def add(self, column: Values) -> None:
        self.history = np.concatenate([self.history, column[-HISTORY:]])[-HISTORY:]
        if not np.isnan(column).all():
            low, high = float(np.nanmin(column)), float(np.nanmax(column))
            self.low = low if math.isnan(self.low) else min(self.low, low)
            self.high = high if math.isnan(self.high) else max(self.high, high)

    def row(self, width: int) -> str:
        latest = float(self.history[-1]) if len(self.history) else None
        cells = [self.name[:NAME_WIDTH].ljust(NAME_WIDTH)]
        cells += [_number(v).rjust(VALUE_WIDTH) for v in (latest, self.low, self.high)]
        text = " ".join(cells) + " "
        return (text + sparkline(self.history, width - len(text)))[:width]


class Watch:
    """What the screen shows of one followed run, apart from Textual: the
    state that polls update and the lines drawn from it."""

    def __init__(self, path: str, parameters: list[str] | None, width: int | None) -> None:
        self.path, self.parameters, self.width = path, parameters, width
        self.follower: Follower | None = None
        self.fault = ""  # the last poll's, if it failed
        self.restarted = ""  # when the run last started again
        self.restart()

    def restart(self) -> None:
        self.follower = None
        self.title = ""
        self.first_name = ""
        self.first: float | None = None
        self.blocks = 0
        self.shown: list[Shown] = []
        self.last_block: float | None = None  # the file's mtime when blocks came
        self.polls: deque[tuple[float, int]] = deque()

    def start(self, rows: int) -> bool:
        """Reads the file's names and chooses the shown parameters: those
        given, or as many after the first as `rows` hold. False while the
        file or its names are not there yet."""
        try:
            columns = column_names(self.path, self.width, True)
        except FileNotFoundError:
            self.fault = "waiting for the file to appear"
            return False
        except FormatError as error:
            if error.problem in HEADER_UNWRITTEN:
                self.fault = "waiting for the file's names to be written"
                return False
            raise
        chosen = (choose_parameters(columns, self.parameters, self.path) if self.parameters
                  else columns[1:1 + max(1, rows)] or columns[:1])
        self.follower = Follower(self.path, self.width, parameters=[
            name for name in chosen if name != columns[0]])
        self.first_name = columns[0]
        self.shown = [Shown(name) for name in chosen]
        return True

    def poll(self, rows: int) -> None:
        """One poll, in a worker thread; a restart, or a fault, becomes the
        note, and polling goes on."""
        try:
            if self.follower is None and not self.start(rows):
                return
            assert self.follower is not None
            plot = self.follower.poll()
            self.fault = ""
            self.add(plot)
        except RestartedError as error:
            self.restart()
            self.restarted = f"restarted at {time.strftime('%H:%M:%S')}: {error}"
        except (OSError, ValueError, KeyError, IndexError, MemoryError) as error:
            self.fault = failure(self.path, error)

    @property
    def note(self) -> str:
        return self.fault or self.restarted

    def add(self, plot: Plot) -> None:
        now = time.monotonic()
        count = len(plot.values)
        if self.polls or count:
            self.polls.append((now, self.blocks + count))
        while self.polls and self.polls[0][0] < now - RATE_WINDOW:
            self.polls.popleft()
        if not count:
            return
        self.title = plot.title
        self.blocks += count
        self.first = float(plot.values[-1, 0])
        for shown in self.shown:
            shown.add(plot[shown.name])
        try:
            self.last_block = os.stat(self.path).st_mtime
        except OSError:
            self.last_block = time.time()

    def head(self, width: int) -> str:
        name = f"{self.path} - {self.title}" if self.title else self.path
        line = [f"blocks {self.blocks}"]
        if self.first is not None:
            line.append(f"{self.first_name} {_number(self.first)}")
        if len(self.polls) > 1 and self.polls[-1][0] > self.polls[0][0]:
            (t0, b0), (t1, b1) = self.polls[0], self.polls[-1]
            line.append(f"{(b1 - b0) / (t1 - t0):.3g} blocks/s")
        if self.last_block is not None:
            line.append(f"last block {_ago(max(0.0, time.time() - self.last_block))} ago")
        return f"{name[:width]}\n{'  '.join(line)[:width]}"

    def table(self, width: int, rows: int) -> str:
        header = " ".join([f"{'parameter':<{NAME_WIDTH}}",
                           *(f"{h:>{VALUE_WIDTH}}" for h in ("latest", "min", "max")),
                           "history"])
        lines = [header[:width]] + [shown.row(width) for shown in self.shown[:max(rows, 0)]]
        if len(self.shown) > rows:
            lines[-1] = f"... {len(self.shown) - rows + 1} more; a larger window shows them"[:width]
        return "\n".join(lines)


def app_class() -> Any:
    """The Textual app's class, made on first use: Textual is imported only
    by watch."""
    needed("textual", "python3-textual", "torvask watch")
    from textual.app import App, ComposeResult
    from textual.binding import Binding
    from textual.content import Content
    from textual.widgets import Footer, Static

    class Table(Static):
        def on_resize(self) -> None:
            # The rows shown, and the sparklines' width, follow the window.
            app = self.app
            assert isinstance(app, WatchApp)
            app.draw()

    class WatchApp(App[int]):
        CSS = """
        #head { height: 2; text-style: bold; }
        #note { height: 1; color: $warning; }
        #table { height: 1fr; }
        Static { text-wrap: nowrap; text-overflow: clip; }
        """
        ENABLE_COMMAND_PALETTE = False
        BINDINGS = [Binding("q", "quit", "Quit"),
                    Binding("ctrl+c", "quit", "Quit", show=False, priority=True)]

        def __init__(self, path: str, parameters: list[str] | None = None,
                     width: int | None = None, interval: float = 1.0) -> None:
            super().__init__()
            self.state = Watch(path, parameters, width)
            self.interval = interval
            # The state is the polling thread's while a poll runs: a resize
            # then waits for the poll's end to be drawn.
            self.polling = self.resized = False
            self.title = f"torvask watch {path}"

        def compose(self) -> ComposeResult:
            yield Static(id="head")
            yield Static(id="note")
            yield Table(id="table")
            yield Footer()

        def on_mount(self) -> None:
            self.draw()
            self.set_interval(self.interval, self.tick)
            self.call_later(self.tick)

        def _rows(self) -> int:
            return self.size.height - FIXED_ROWS

        async def tick(self) -> None:
            blocks, note = self.state.blocks, self.state.note
            started = self.state.follower is not None
            self.polling = True
            try:
                await asyncio.to_thread(self.state.poll, self._rows())
            finally:
                self.polling = False
            changed = (self.state.blocks, self.state.note, self.state.follower is not None) != (
                blocks, note, started)
            self.draw(table=changed or self.resized)

        def draw(self, table: bool = True) -> None:
            self.resized = self.polling
            if self.polling:
                return
            width = self.size.width
            self.query_one("#head", Static).update(Content(self.state.head(width)))
            if table:
                self.query_one("#note", Static).update(Content(self.state.note[:width]))
                self.query_one("#table", Static).update(
                    Content(self.state.table(width, self._rows())))

        async def action_quit(self) -> None:
            self.exit(0)

        def screen_text(self) -> str:
            """What the three parts show, as plain text."""
            return "\n".join(str(self.query_one(f"#{part}", Static).content)
                             for part in ("head", "note", "table"))

    return WatchApp


def run(options: argparse.Namespace) -> int:
    """`torvask watch`: the exit status."""
    if options.interval <= 0:
        print(f"torvask watch: --interval must be positive, not {options.interval}",
              file=sys.stderr)
        return 2
    try:
        app = app_class()(options.files[0], options.parameters, options.input_width,
                          options.interval)
    except Unavailable as error:
        print(error, file=sys.stderr)
        return 1
    try:
        return app.run() or 0
    except KeyboardInterrupt:
        return 0
