"""Checked with mypy --strict against the installed packages, never run: the
results' types come from novrel's stub and torvask's annotations, and a wrong
argument type is an error."""

import pathlib
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import novrel
import torvask

first_column, columns = novrel.rust_read_torvask("run7.plt", 12)
assert_type(first_column, list[float])
assert_type(columns, list[list[float]])
novrel.rust_read_torvask(file_path="run7.plt", n_digits=15)
novrel.rust_read_torvask("run7.plt", "12")  # type: ignore[arg-type]
novrel.rust_read_torvask(b"run7.plt", 12)  # type: ignore[arg-type]

plot = torvask.read("run7.plt")
assert_type(plot, torvask.Plot)
assert_type(plot.values, NDArray[np.floating[Any]])
assert_type(plot["PRESSURE"], NDArray[np.floating[Any]])
plot[0]  # type: ignore[index]
assert_type(plot.get("PRESSURE"), NDArray[np.floating[Any]] | None)
assert_type(list(plot), list[str])
assert_type(plot.names, tuple[str, ...])
assert_type((plot.title, plot.parameters, plot.blocks), tuple[str, tuple[int, ...], range])
assert_type(plot.width, int | None)
plots = torvask.read_many([b"run7.plt", plot.path], 12, threads=2, complete_blocks=True)
assert_type(plots, list[torvask.Plot])
try:
    torvask.read(pathlib.Path("run7.plt"), width=15, complete_blocks=True)
except torvask.FormatError as error:
    assert_type(error.line, int | None)
    assert_type(error.name, str | None)
torvask.read("run7.plt", "12")  # type: ignore[arg-type]
torvask.read(7)  # type: ignore[arg-type]
