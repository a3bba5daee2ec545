"""The error raised for a file whose contents do not fit the plot format,
and its message, composed from where the reader stopped."""

from __future__ import annotations

from . import _core

# What each problem is, worded for a person looking at the file; `text` is
# the offending field or line as the reader saw it.
_WHAT = {
    "no_header": "the file is empty: a plot file begins with a header line "
                 "that ends with the parameter count",
    "bad_count": "the header line {text!r} does not end with a parameter count "
                 "(a whole number from 1 to 4294967295)",
    "names_missing": "the file ends among the parameter names",
    "not_utf8": "the line is not valid UTF-8",
    "block_cut": "the file ends inside a block; complete_blocks=True reads the blocks "
                 "before it (a simulation may still be writing the file)",
    "field_outside": "the field lies outside the data line {text!r}: the line is too short "
                     "for fields {width} bytes wide, or a character straddles the field's edge",
    "not_a_number": "{text!r} is not a number",
    "too_large": "the parameter count is too large for the values ever to fit in memory",
}


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


def format_error(failure: _core.ReadFailure, path: str) -> FormatError:
    """The FormatError for a failure of _core.read on `path`."""
    (problem, message, line, block, parameter, name, text, width,
     suggested_width) = failure.args
    where = path
    if line:
        where += f", line {line}"
    inside = []
    if block is not None:
        inside.append(f"block {block}")
    if parameter is not None:
        inside.append(f"parameter {parameter} {name!r}")
    if inside:
        where += f" ({', '.join(inside)})"
    what = _WHAT.get(problem)
    if what is not None:
        what = what.format(text=text or "", width=width)
    elif problem == "width_unknown":
        what = f"{message}; say how wide the fields are with width="
    else:
        what = message
    # A width given by the caller that the first data line contradicts is the
    # likeliest cause of whatever went wrong after it.
    if width and suggested_width and width != suggested_width:
        what += f" (the first data line suggests width={suggested_width}, not {width})"
    return FormatError(f"{where}: {what}", path=path, problem=problem, line=line or None,
                       block=block, parameter=parameter, name=name, text=text,
                       suggested_width=suggested_width)
