"""Writing plot files: the values of a Plot, or of named columns, back into
the fixed-width text that both readers read."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arguments as check
from . import _core
from ._plot import Plot, StrOrBytesPath
from ._source import refuse_long_path

if TYPE_CHECKING:  # annotations only: at run time a table is told by its type's module
    import pandas as _pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray as _xarray


def _is(obj: object, package: str, name: str) -> bool:
    """Whether `obj` is a `name` of `package` (or of a subclass), told
    without importing the package."""
    return any(cls.__name__ == name and cls.__module__.partition(".")[0] == package
               for cls in type(obj).__mro__)


def _as_written(labels: list[Any], written: Any) -> list[Any]:
    """The names a table kept of the file it came from, where its labels
    are still those names or the same made unique (``P``, ``P.1``): a
    renamed or added column leaves the labels as they are."""
    if not isinstance(written, (list, tuple)) or len(written) != len(labels):
        return labels
    for label, name in zip(labels, written):
        if not isinstance(name, str) or not isinstance(label, str):
            return labels
        suffix = label[len(name) + 1:]
        if label != name and not (label.startswith(name + ".") and suffix.isascii()
                                  and suffix.isdigit()):
            return labels
    return list(written)


def _columns_of(source: Any) -> tuple[list[Any], list[Any]]:
    """The names and the columns of a Dataset, a DataFrame or a mapping."""
    if _is(source, "xarray", "Dataset"):
        if len(source.dims) != 1:
            raise ValueError(f"a Dataset to write has one dimension, not {len(source.dims)}")
        (dim,) = source.dims
        # The index coordinate first, as to_xarray() makes it, then the
        # data variables: iterating a Dataset gives only the latter.
        arrays = ([source[dim]] if dim in source.coords else []) + list(source.data_vars.values())
        labels = [array.name for array in arrays]
        names = _as_written(labels, [array.attrs.get("name") for array in arrays])
        return names, [array.values for array in arrays]
    if _is(source, "pandas", "DataFrame"):
        index = source.index
        if index.nlevels != 1:
            raise ValueError(f"a DataFrame to write has one index level, not {index.nlevels}")
        # A named index is parameter 0, as to_pandas() makes it; an unnamed
        # one (0, 1, 2, ... after reset_index()) is not written.
        labels = ([index.name] if index.name is not None else []) + list(source.columns)
        columns = ([index.to_numpy()] if index.name is not None else []) + [
            source.iloc[:, j].to_numpy() for j in range(source.shape[1])]
        return _as_written(labels, source.attrs.get("names")), columns
    if not isinstance(source, Mapping):
        raise TypeError("write() takes a Plot, an xarray Dataset, a pandas DataFrame or a "
                        f"mapping of names to columns, not {type(source).__name__}")
    return list(source), list(source.values())


def _table(source: Any) -> tuple[list[str], NDArray[Any]]:
    """The names and a C-contiguous (blocks, N) float32 or float64 array."""
    if isinstance(source, Plot):
        values = np.asarray(source.values)
        if values.dtype != np.float32:
            values = values.astype(np.float64, copy=False)
        return list(source.names), np.ascontiguousarray(values)
    names, arrays = _columns_of(source)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"parameter names must be str, not {type(name).__name__}")
    columns = [np.asarray(column) for column in arrays]
    for name, column in zip(names, columns):
        if column.ndim != 1:
            raise ValueError(f"column {name!r} has {column.ndim} dimensions, not 1")
        if column.dtype.kind not in "fiu":
            raise TypeError(f"column {name!r} holds {column.dtype}, not numbers")
        if len(column) != len(columns[0]):
            raise ValueError(f"column {name!r} has {len(column)} values, "
                             f"column {names[0]!r} {len(columns[0])}")
    dtype = np.float32 if all(c.dtype == np.float32 for c in columns) else np.float64
    rows = np.empty((len(columns[0]) if columns else 0, len(columns)), dtype=dtype)
    for j, column in enumerate(columns):
        rows[:, j] = column
    return names, rows


def write(path: StrOrBytesPath,
          plot_or_mapping: Plot | _xarray.Dataset | _pandas.DataFrame | Mapping[str, ArrayLike],
          *, width: int = 15, title: str | None = None) -> None:
    """Writes a plot file that ``torvask.read`` and ``novrel.rust_read_torvask``
    read back.

    ``plot_or_mapping`` is a Plot (its ``names`` and ``values``), an xarray
    Dataset of one dimension (its index coordinate as parameter 0, then its
    data variables), a pandas DataFrame (its index as parameter 0 where it
    is named, as ``Plot.to_pandas`` makes it, else its first column), or a
    mapping of names to 1-D columns of equal length, the first entry being
    parameter 0 (the time, usually). A Dataset or DataFrame made by
    ``to_xarray``/``to_pandas`` is written under the names of its file
    (``attrs``), not its unique ``columns``. float32 values are written as
    float32, float64 as float64; columns of other numbers (integers) become
    float64 (exact up to 2**53), and a mapping that mixes float32 and float64
    is written as float64. ``title`` (by default the Plot's ``title``, or
    ``attrs["title"]`` of a Dataset or DataFrame, else empty) starts the
    header line, padded with spaces to 30 bytes, and the parameter count
    ends it, so a title that ends in digits is safe.

    Every field is ``width`` bytes, right-aligned: a space or minus sign, one
    digit, a point, width - 7 digits, E, the exponent's sign and two digits
    (`` 1.01325E+05`` at width 12): width - 6 significant digits. float32
    values come back bit for bit from width 15 up (9 digits; there the field
    holds the shortest digits that do, so a float32 0.1 is written
    ``1.00000000E-01``); float64 values from width 23 up (17 digits). Narrower
    fields hold the value correctly rounded, or rounded toward zero where
    the nearest would read back as infinity (the largest float64 at width 12
    is `` 1.7976E+308``): every finite value reads back finite. float64
    values of magnitude 1e100 or more, or below 1e-99, have three exponent
    digits and one significant digit fewer (width 24 keeps every float64).
    Infinities are ``inf``/``-inf``; a NaN is ``nan``/``-nan`` after its
    sign (its payload is lost); -0.0 keeps its sign. ``width`` is at least 6
    for float32 and 7 for float64 (one digit, `` 1E+05``), and at most 1024.

    Each block's leading line is its number counting from 1, right-aligned
    in 4 columns; lines end in LF. The file is written beside ``path`` under
    a temporary name and renamed over it at the end, so a failed or
    interrupted write (Ctrl-C is felt within a few megabytes) leaves what was
    there before. The interpreter is released while the file is written.

    Raises OSError (with the path) when the file cannot be written;
    ValueError for a width out of range, no parameter, or a title or name
    holding a line feed or carriage return (names are read back stripped of
    surrounding whitespace); TypeError for values that are not numbers.
    """
    check.integer("width", width)
    if title is None:
        source: Any = plot_or_mapping
        if _is(source, "xarray", "Dataset") or _is(source, "pandas", "DataFrame"):
            title = source.attrs.get("title")  # an attribute could be a column
        else:
            title = getattr(source, "title", None)
        title = title if isinstance(title, str) else ""
    elif not isinstance(title, str):
        raise TypeError(f"title must be a str, not {type(title).__name__}")
    names, rows = _table(plot_or_mapping)
    refuse_long_path(os.fspath(path), reading=False)
    _core.write(os.fsencode(path), title, names, rows, width)
