"""A plot file's contents, or the part of them read: one array of values
with the names of its columns, looked up like a read-only mapping."""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable, Iterator, KeysView
from typing import TYPE_CHECKING, Any, NoReturn, TypeAlias

import numpy as np
from numpy.typing import NDArray

from . import _core

if TYPE_CHECKING:  # private names: only the methods import these at run time
    import pandas as _pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray as _xarray

# float64 by default; float32 when read with dtype=numpy.float32.
Values = NDArray[np.floating[Any]]
# What read and write take as a path, as open() does.
StrOrBytesPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def unique_names(names: Iterable[str]) -> list[str]:
    """`names` made unique as pandas.read_csv makes column names unique: a
    repeat of X becomes X.1, X.2, ..., passing over names that the list
    holds anywhere, earlier or later. These are the names read() chooses
    parameters by."""
    return _core.unique_names(list(names))


def _shown(names: tuple[str, ...], most: int = 4) -> str:
    if len(names) > most:
        names = (*names[:most - 1], "...", names[-1])
    return ", ".join(names)


class Plot:
    """The contents of one plot file, or the parameters and blocks of it
    that were read.

    ``values`` holds the value of held column j in held block b at
    ``values[b, j]``: float64 (or float32 when read so), shape (blocks, k), C
    order, owning the reader's memory. Column j is the file's parameter
    ``parameters[j]``, named ``names[j]`` (the name line, stripped) and
    ``columns[j]`` (the names made unique over the whole file, as
    ``pandas.read_csv`` does: ``PRESSURE``, ``PRESSURE.1``). Row b is the
    file's block ``blocks[b]``. Column 0 is always the file's parameter 0,
    the index of ``to_pandas`` and ``to_xarray``.

    ``title`` is the header line's text before the parameter count, ``width``
    the field width in bytes (None when the file has no data line and none
    was given) and ``path`` the file read.

    A Plot is a read-only mapping from column names to columns, as
    ``numpy.load``'s NpzFile is: ``plot["PRESSURE"]`` is a view of
    ``values``; ``len``, iteration, ``in``, ``keys()``, ``get()`` and
    ``items()`` go over ``columns``, so ``dict(plot)`` holds every column.
    Positions go through ``values[:, j]``. Its attributes cannot be set or
    deleted; the array's contents are the caller's to change.
    """

    __slots__ = ("names", "columns", "parameters", "blocks", "values", "width", "path", "title",
                 "_positions")

    names: tuple[str, ...]
    columns: tuple[str, ...]
    parameters: tuple[int, ...]
    blocks: range
    values: Values
    width: int | None
    path: str
    title: str
    _positions: dict[str, int]  # built once from columns, which cannot change after

    def __init__(self, names: Iterable[str], values: Values, width: int | None, path: str, *,
                 title: str = "", columns: Iterable[str] | None = None,
                 parameters: Iterable[int] | None = None, blocks: range | None = None) -> None:
        if values.ndim != 2:
            raise ValueError(f"values must have two dimensions, not shape {values.shape}")
        count = values.shape[1]
        names = tuple(names)
        columns = tuple(unique_names(names) if columns is None else columns)
        parameters = tuple(range(count) if parameters is None else parameters)
        blocks = range(len(values)) if blocks is None else blocks
        positions = {name: j for j, name in enumerate(columns)}
        if not len(names) == len(columns) == len(parameters) == count:
            raise ValueError(f"values of shape {values.shape} need one name, column and "
                             f"parameter per column, not {len(names)}, {len(columns)} and "
                             f"{len(parameters)}")
        if len(positions) != count:
            raise ValueError("columns must be unique")
        if len(blocks) != len(values):
            raise ValueError(f"{len(blocks)} block numbers for {len(values)} rows")
        for slot, value in (("names", names), ("columns", columns), ("parameters", parameters),
                            ("blocks", blocks), ("values", values), ("width", width),
                            ("path", path), ("title", title), ("_positions", positions)):
            object.__setattr__(self, slot, value)

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError(f"a Plot is read-only: {name!r} cannot be set")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"a Plot is read-only: {name!r} cannot be deleted")

    def __setstate__(self, state: tuple[None, dict[str, Any]]) -> None:
        # pickle and copy restore a slotted object's state through setattr,
        # which a Plot refuses; the state is the one object.__getstate__ made.
        for slot, value in state[1].items():
            object.__setattr__(self, slot, value)

    def __getitem__(self, key: str) -> Values:
        """One column's value in every held block, as a view of ``values``."""
        if isinstance(key, str):
            j = self._positions.get(key)
            if j is None:
                raise KeyError(f"no column {key!r} in {self.path}")
            return self.values[:, j]
        try:
            j = operator.index(key)
        except TypeError:
            raise KeyError(f"{key!r}: a Plot takes column names; positions go through "
                           f"plot.values[:, j]") from None
        raise KeyError(f"{j}: a Plot takes column names, not positions; column {j} is "
                       f"plot.values[:, {j}]")

    def get(self, key: str, default: Values | None = None) -> Values | None:
        """The column named `key`, or `default` when there is none."""
        j = self._positions.get(key)
        return default if j is None else self.values[:, j]

    def __contains__(self, key: object) -> bool:
        return key in self._positions

    def __iter__(self) -> Iterator[str]:
        return iter(self._positions)

    def __len__(self) -> int:
        return len(self._positions)

    def keys(self) -> KeysView[str]:
        """The column names, in order."""
        return self._positions.keys()

    def items(self) -> list[tuple[str, Values]]:
        """(name, column) for every column, in order."""
        return [(name, self.values[:, j]) for name, j in self._positions.items()]

    def __repr__(self) -> str:
        start, step = self.blocks.start, self.blocks.step
        blocks = f"{len(self.blocks)} blocks"
        if self.blocks and (start, step) != (0, 1):
            blocks += f" ({start} to {self.blocks[-1]}{f' by {step}' if step != 1 else ''})"
        title = f", title {self.title!r}" if self.title else ""
        return (f"<torvask.Plot {self.path!r}{title}: {len(self)} parameters "
                f"({_shown(self.columns)}), {blocks}, {self.values.dtype}, width {self.width}>")

    def plot(self, *names: str, ax: Any = None, x: str | None = None) -> Any:
        """Draws the columns `names` (by default every one but the first)
        against the first column, or the column `x`, with matplotlib, and
        returns the axes as ``pandas.DataFrame.plot`` does: with ``ax``,
        every column is drawn on it and it is returned; without, a new
        figure has one panel per column, and the array of their axes is
        returned. A long column is drawn from its lowest and highest value
        in each pixel column, so no peak is lost."""
        from ._plotting import plot_axes

        return plot_axes(self, names, ax, x)

    def to_pandas(self) -> _pandas.DataFrame:
        """A DataFrame indexed by the first column, with every other one
        under its name from ``columns``, in ``values``' dtype and sharing its
        memory instead of copying it. ``attrs`` holds ``path``, ``title``,
        ``width``, the held ``blocks`` as ``"start:stop"``, and the file's
        index and name as written of each column, index first, as
        ``parameters`` and ``names``."""
        import pandas  # type: ignore[import-untyped, unused-ignore]

        index = pandas.Index(self.values[:, 0], name=self.columns[0])
        frame = pandas.DataFrame(self.values[:, 1:], index=index, columns=self.columns[1:],
                                 copy=False)
        frame.attrs = {**table_attrs(self), "parameters": self.parameters, "names": self.names}
        return frame

    def to_xarray(self) -> _xarray.Dataset:
        """A Dataset with the first column as the coordinate and every other
        one as a variable along it, named from ``columns``. Each variable's
        ``attrs["parameter"]`` is its index in the file and ``attrs["name"]``
        its name as written; the Dataset's ``attrs`` hold ``path``,
        ``title``, ``width`` and the held ``blocks`` as ``"start:stop"``."""
        import xarray

        dim = self.columns[0]
        attrs = [{"parameter": j, "name": name} for j, name in zip(self.parameters, self.names)]
        variables = {name: (dim, self.values[:, j], attrs[j])
                     for j, name in enumerate(self.columns[1:], 1)}
        return xarray.Dataset(variables, coords={dim: (dim, self.values[:, 0], attrs[0])},
                              attrs=table_attrs(self))


def table_attrs(plot: Plot) -> dict[str, Any]:
    """What a table keeps of a Plot besides its columns: only values that
    netCDF stores, so that a Dataset writes out as it is."""
    attrs: dict[str, Any] = {"path": plot.path, "title": plot.title}
    if plot.width is not None:
        attrs["width"] = plot.width
    start, stop, step = plot.blocks.start, plot.blocks.stop, plot.blocks.step
    attrs["blocks"] = f"{start}:{stop}" + (f":{step}" if step != 1 else "")
    return attrs
