"""Checked with mypy --strict against the installed package, never run: the
result's types come from the stub, and a wrong argument type is an error."""

from typing import assert_type

import novrel

first_column, columns = novrel.rust_read_torvask("run7.plt", 12)
assert_type(first_column, list[float])
assert_type(columns, list[list[float]])
novrel.rust_read_torvask(file_path="run7.plt", n_digits=15)
novrel.rust_read_torvask("run7.plt", "12")  # type: ignore[arg-type]
novrel.rust_read_torvask(b"run7.plt", 12)  # type: ignore[arg-type]
