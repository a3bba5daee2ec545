"""The error raised for a file whose contents do not fit the plot format.
The reader says what went wrong and where, and words it (each problem's
wording is the reader's); this puts the path and the place before it."""

from __future__ import annotations

from . import _core

class FormatError(ValueError):
    """The contents of a plot file do not fit the format.

    ``path`` is the file, ``line`` the line at fault (counting from 1),
    ``block`` and ``parameter`` index the value being read (counting from 0,
    as rows and columns of ``Plot.values`` do), ``name`` is that parameter's
    name and ``text`` the offending field or line, shortened. Each is None
    where it does not apply. ``problem`` names the kind of fault
    (``"not_a_number"``, ``"block_cut"``, ...) and ``suggested_width`` is the
    width the first data line suggests, when known.
    """

    def __init__(self, message: str, *, path: str = "", problem: str = "",
                 line: int | None = None, block: int | None = None,
                 parameter: int | None = None, name: str | None = None,
                 text: str | None = None, suggested_width: int | None = None) -> None:
        # Only the message goes into args; the attributes travel through
        # __dict__, which pickling restores after calling FormatError(message).
        super().__init__(message)
        self.path = path
        self.problem = problem
        self.line = line
        self.block = block
        self.parameter = parameter
        self.name = name
        self.text = text
        self.suggested_width = suggested_width


def format_error(failure: _core.ReadFailure, path: str) -> Exception:
    """The exception for a failure of _core.read on `path`: a FormatError,
    or for a chosen parameter that the file lacks, KeyError, IndexError or
    ValueError."""
    what = failure.wording.format(
        text=failure.text or "", width=failure.width, suggested_width=failure.suggested_width,
        count=failure.count, parameter=failure.parameter)
    if failure.problem == "no_name":
        return KeyError(f"{what} in {path}")
    if failure.problem == "no_parameter":
        return IndexError(what)
    if failure.problem == "parameter_twice":
        return ValueError(what)
    where = path
    if failure.line is not None:
        where += f", line {failure.line}"
    inside = []
    if failure.block is not None:
        inside.append(f"block {failure.block}")
    if failure.parameter is not None:
        # A name is the file's own line, which may be of any length.
        name = failure.name or ""
        name = name if len(name) <= 60 else name[:60] + "..."
        inside.append(f"parameter {failure.parameter} {name!r}")
    if inside:
        where += f" ({', '.join(inside)})"
    return FormatError(f"{where}: {what}", path=path, problem=failure.problem,
                       line=failure.line, block=failure.block, parameter=failure.parameter,
                       name=failure.name, text=failure.text,
                       suggested_width=failure.suggested_width)
