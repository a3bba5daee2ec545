"""A plot file's contents as one float32 array with the parameter names."""

from __future__ import annotations

import operator
from collections.abc import Iterable
from typing import TYPE_CHECKING, SupportsIndex

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:  # private names: only the methods import these at run time
    import pandas as _pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray as _xarray


def unique_names(names: Iterable[str]) -> list[str]:
    """`names` made unique as pandas.read_csv makes column names unique: a
    repeat of X becomes X.1, X.2, ..., passing over names that the list
    holds anywhere, earlier or later."""
    unique = list(names)
    taken = set(unique)
    counts: dict[str, int] = {}
    for i, name in enumerate(unique):
        count = counts.get(name, 0)
        base = name
        while count:
            counts[base] = count + 1
            name = f"{base}.{count}"
            count = count + 1 if name in taken else counts.get(name, 0)
        unique[i] = name
        counts[name] = count + 1
    return unique


class Plot:
    """The contents of one plot file.

    ``values`` holds parameter j of block b at ``values[b, j]``: float32,
    shape (blocks, N), C order, owning the reader's memory. ``names`` are the
    N name lines, stripped; ``columns`` the same names made unique as
    ``pandas.read_csv`` does (``PRESSURE``, ``PRESSURE.1``). ``width`` is the
    field width in bytes (None when the file has no data line and none was
    given) and ``path`` the file read.
    """

    __slots__ = ("names", "values", "width", "path", "title", "parameters", "blocks",
                 "_columns", "_positions")

    names: list[str]
    values: NDArray[np.float32]
    width: int | None
    path: str

    def __init__(self, names: list[str], values: NDArray[np.float32], width: int | None,
                 path: str, *, title: str = "", columns: list[str] | None = None,
                 parameters: tuple[int, ...] | None = None, blocks: range | None = None) -> None:
        self.names = names
        self.values = values
        self.width = width
        self.path = path
        self.title = title
        self._columns = unique_names(names) if columns is None else columns
        self.parameters = tuple(range(len(names))) if parameters is None else parameters
        self.blocks = range(len(values)) if blocks is None else blocks
        self._positions: dict[str, int] | None = None

    @property
    def columns(self) -> list[str]:
        """The names made unique, as column names of a table."""
        return list(self._columns)

    def __getitem__(self, key: str | SupportsIndex) -> NDArray[np.float32]:
        """One parameter's value in every block (a view of ``values``), by
        position (negative counts from the end) or by name from ``columns``:
        a name written more than once means its first column."""
        if isinstance(key, str):
            if self._positions is None:
                self._positions = {name: j for j, name in enumerate(self.columns)}
            try:
                return self.values[:, self._positions[key]]
            except KeyError:
                raise KeyError(f"no parameter {key!r} in {self.path}") from None
        return self.values[:, operator.index(key)]

    def __repr__(self) -> str:
        blocks, count = self.values.shape
        return (f"<torvask.Plot {self.path!r}: {count} parameters, {blocks} blocks, "
                f"width {self.width}>")

    def to_pandas(self) -> _pandas.DataFrame:
        """A DataFrame indexed by the first parameter, with a float32 column
        for every other one under its name from ``columns``. It shares
        ``values``' memory instead of copying it."""
        import pandas  # type: ignore[import-untyped, unused-ignore]

        columns = self.columns
        index = pandas.Index(self.values[:, 0], name=columns[0])
        return pandas.DataFrame(self.values[:, 1:], index=index, columns=columns[1:], copy=False)

    def to_xarray(self) -> _xarray.Dataset:
        """A Dataset with the first parameter as the coordinate and every
        other one as a variable along it, named from ``columns``."""
        import xarray

        columns = self.columns
        dim = columns[0]
        return xarray.Dataset(
            {name: (dim, self.values[:, j]) for j, name in enumerate(columns[1:], 1)},
            coords={dim: self.values[:, 0]},
            attrs={"path": self.path},
        )
