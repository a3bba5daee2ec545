"""Reader of TORVASK plot files."""

__all__ = ["rust_read_torvask"]

def rust_read_torvask(file_path: str, n_digits: int) -> tuple[list[float], list[list[float]]]:
    """Read one plot file whose data fields are ``n_digits`` bytes wide.

    Returns the first parameter of every block, and one list per further
    parameter. A file that cannot be read raises pyo3_runtime.PanicException,
    a BaseException subclass that ``except Exception`` does not catch.
    """
    ...
