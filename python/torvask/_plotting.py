"""Drawing parameters of plot files with matplotlib: Plot.plot and the
`torvask plot` command.

A long series is drawn from its lowest and highest value in each pixel
column of the axes, in their order along the series: the line looks as the
full one would (no peak is lost) and holds two points a pixel column."""

from __future__ import annotations

import argparse
import csv
import os
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._command import Unavailable, failure
from ._names import choose_parameters
from ._plot import Plot, Values
from ._reading import column_names

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# Panels shown when no parameter is chosen, from the second on.
DEFAULT_PANELS = 4


def needed(module: str, debian: str, what: str) -> Any:
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise Unavailable(f"{what} needs {module.split('.')[0]} (Debian: {debian}): "
                          f"{error}") from None


def reduced(x: Values, y: Values, columns: int) -> tuple[Values, Values]:
    """(x, y) cut to the lowest and the highest y of each of `columns`
    runs of consecutive points, those two in the order they come; as they
    are when there are no more than two points a run. NaN is passed over
    unless a run holds nothing else, and then stays as a gap."""
    count = len(y)
    if columns < 1 or count <= 2 * columns:
        return x, y
    run = -(-count // columns)
    runs = -(-count // run)
    padded = np.full(runs * run, np.nan, dtype=y.dtype)
    padded[:count] = y
    table = padded.reshape(runs, run)
    gap = np.isnan(table)
    low = np.where(gap, np.inf, table).argmin(axis=1)
    high = np.where(gap, -np.inf, table).argmax(axis=1)
    starts = np.arange(runs) * run
    picked = np.empty((runs, 2), dtype=np.intp)
    picked[:, 0] = starts + np.minimum(low, high)
    picked[:, 1] = starts + np.maximum(low, high)
    # The padding's NaN is never picked over a value; a last run of one
    # point picks it twice.
    index = np.minimum(picked.ravel(), count - 1)
    return x[index], y[index]


def _pixel_columns(ax: Axes) -> int:
    return max(1, int(ax.bbox.width))


def draw(ax: Axes, x: Values, y: Values, **style: Any) -> Any:
    """One line on `ax`, reduced to the axes' pixel columns."""
    xs, ys = reduced(x, y, _pixel_columns(ax))
    (line,) = ax.plot(xs, ys, **style)
    return line


def _chosen(plot: Plot, names: Sequence[str]) -> list[str]:
    if not names:
        return list(plot.columns[1:]) or list(plot.columns)
    for name in names:
        if name not in plot:
            raise KeyError(f"no column {name!r} in {plot.path}")
    return list(names)


def plot_axes(plot: Plot, names: Sequence[str], ax: Axes | None = None,
              x: str | None = None) -> Any:
    """What Plot.plot does."""
    chosen = _chosen(plot, names)
    xname = plot.columns[0] if x is None else x
    xs = plot[xname]
    label = os.path.basename(plot.path) or plot.path
    if ax is not None:
        # Named by file too, so that runs drawn on one axes tell apart.
        for name in chosen:
            draw(ax, xs, plot[name], label=f"{name} ({label})")
        ax.set_xlabel(xname)
        if len(chosen) == 1:
            ax.set_ylabel(chosen[0])
        ax.legend()
        return ax
    import matplotlib.pyplot as pyplot

    figure, axes = pyplot.subplots(len(chosen), 1, sharex=True, squeeze=False,
                                   figsize=(8, 1 + 2 * len(chosen)), layout="constrained")
    panels = axes[:, 0]
    for panel, name in zip(panels, chosen):
        draw(panel, xs, plot[name], label=label)
        panel.set_ylabel(name)
    panels[-1].set_xlabel(xname)
    if plot.title:
        figure.suptitle(plot.title)
    return panels


def read_data(path: str) -> tuple[list[str], Values]:
    """A CSV file of measurements: its header's names and its values, one
    row a line; an empty field is NaN."""
    with open(path, newline="", encoding="utf-8") as text:
        rows = list(csv.reader(text))
    if not rows or len(rows[0]) < 2:
        raise ValueError("a data file needs a header of a time and at least one name")
    header = [name.strip() for name in rows[0]]
    values = []
    for line, row in enumerate(rows[1:], 2):
        if not any(field.strip() for field in row):
            continue
        if len(row) != len(header):
            raise ValueError(f"line {line}: {len(row)} fields for {len(header)} names")
        try:
            values.append([float(field) if field.strip() else np.nan for field in row])
        except ValueError as error:
            raise ValueError(f"line {line}: {error}") from None
    return header, np.array(values, dtype=np.float64).reshape(-1, len(header))


def figure_of(plots: Sequence[Plot], names: Sequence[str], x: str | None,
              data: tuple[str, list[str], Values] | None = None) -> Figure:
    """One panel per name, one line per Plot with a legend of their files,
    and the measurements of `data` as markers where a column's name is one
    of `names`. A Figure of its own, drawn with Agg: no display needed."""
    from matplotlib.figure import Figure

    titles = list(dict.fromkeys(p.title for p in plots if p.title))
    height = 0.9 + 0.25 * len(titles) + 2.2 * len(names)
    figure = Figure(figsize=(9, height), dpi=100)
    # Margins in inches, set once: a layout engine measuring every label
    # would take longer than drawing a million blocks' reduction.
    figure.subplots_adjust(left=0.1, right=0.98, bottom=0.55 / height,
                           top=1 - (0.25 + 0.25 * len(titles)) / height, hspace=0.12)
    panels = figure.subplots(len(names), 1, sharex=True, squeeze=False)[:, 0]
    for panel, name in zip(panels, names):
        for plot in plots:
            xname = plot.columns[0] if x is None else x
            draw(panel, plot[xname], plot[name], label=plot.path, linewidth=1)
        if data is not None and name in data[1][1:]:
            column = data[1].index(name)
            panel.plot(data[2][:, 0], data[2][:, column], "o", markersize=3,
                       label=data[0], color="black")
        panel.set_ylabel(name)
        panel.legend(fontsize="small")
    panels[-1].set_xlabel(x or plots[0].columns[0])
    if titles:
        figure.suptitle("\n".join(titles))
    return figure


def run(options: argparse.Namespace) -> int:
    """`torvask plot`: the exit status, failures on standard error."""
    from . import read

    try:
        needed("matplotlib", "python3-matplotlib", "torvask plot")
    except Unavailable as error:
        print(error, file=sys.stderr)
        return 1
    from matplotlib.backend_bases import FigureCanvasBase

    out = options.out or os.path.splitext(options.files[0])[0] + ".png"
    suffix = os.path.splitext(out)[1][1:].lower()
    formats = FigureCanvasBase.get_supported_filetypes()
    if suffix not in formats:
        print(f"torvask plot: error: OUT must end in one of .{', .'.join(sorted(formats))}, "
              f"not {out!r}", file=sys.stderr)
        return 2
    try:
        data = None
        if options.data is not None:
            data = (options.data, *read_data(options.data))
    except (OSError, ValueError) as error:
        print(failure(options.data, error), file=sys.stderr)
        return 1
    names: list[str] = []
    plots, failed = [], False
    for path in options.files:
        try:
            columns = column_names(path, options.input_width, options.complete_blocks)
            if not names and options.parameters:  # as the first file names them
                names = choose_parameters(columns, options.parameters, path)
            elif not names:  # a first look: the few parameters after the first
                names = [c for c in columns[1:DEFAULT_PANELS + 1] if c != options.x]
                names = names or columns[:1]
            # The first column is always read; naming it again is an error.
            wanted = [n for n in dict.fromkeys([*names, options.x or columns[0]])
                      if n != columns[0]]
            plots.append(read(path, options.input_width, blocks=options.blocks,
                              parameters=wanted, complete_blocks=options.complete_blocks))
        except (OSError, ValueError, KeyError, IndexError, MemoryError) as error:
            print(failure(path, error), file=sys.stderr)
            failed = True
    if not plots:
        return 1
    try:
        figure_of(plots, names, options.x, data).savefig(out)
    except (OSError, ValueError, KeyError) as error:
        print(failure(out, error), file=sys.stderr)
        return 1
    if options.out is None:
        print(f"wrote {out}")
    return 1 if failed else 0
