"""The error raised for a file whose contents do not fit the plot format.
The reader says what went wrong and where, and words it (each problem's
wording is the reader's); this puts the path and the place before it."""

from __future__ import annotations

import inspect
from collections.abc import Mapping
from typing import Any

from . import _core

# How a call of read() spells each option that a wording may suggest.
PYTHON_SPELLING = {"complete_blocks": "complete_blocks=True", "width": "width="}

# What a file whose header or names are still being written fails with.
HEADER_UNWRITTEN: tuple[str, ...] = _core.HEADER_UNWRITTEN


class FormatError(ValueError):
    """The contents of a plot file do not fit the format.

    ``path`` is the file, ``line`` the line at fault (counting from 1),
    ``block`` and ``parameter`` index the value being read (counting from 0,
    as rows and columns of ``Plot.values`` do), ``name`` is that parameter's
    name and ``text`` the offending field or line, shortened. Each is None
    where it does not apply. ``problem`` names the kind of fault
    (``"not_a_number"``, ``"block_cut"``, ...) and ``suggested_width`` is the
    width the first data line suggests, when known. ``option`` is the keyword
    of ``read`` that the message suggests (``"complete_blocks"``,
    ``"width"``), or None; ``worded()`` gives the message with it spelled
    another way, as a command line spells its options.
    """

    def __init__(self, message: str, *, path: str = "", problem: str = "",
                 line: int | None = None, block: int | None = None,
                 parameter: int | None = None, name: str | None = None,
                 text: str | None = None, suggested_width: int | None = None,
                 option: str | None = None, parts: tuple[str, ...] = ()) -> None:
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
        self.option = option
        # The message cut where the option is spelled.
        self._parts = parts

    def worded(self, spelling: Mapping[str, str]) -> str:
        """The message with ``option`` spelled as ``spelling[option]``."""
        if not self._parts or self.option is None or self.option not in spelling:
            return str(self)
        return spelling[self.option].join(self._parts)


def format_error(failure: _core.ReadFailure, path: str,
                 shift: tuple[int, int, int] = (0, 0, 0)) -> Exception:
    """The exception for a ReadFailure of _core.read on `path`: a
    FormatError, but KeyError for a chosen name that the file lacks,
    IndexError for a chosen index beyond its parameters, and ValueError for
    a parameter chosen twice. `shift` is, for bytes cut out of a longer
    stream, the lines of their header, and the lines and blocks of the
    stream before the blocks they hold, for the failure to say where it is."""
    fields: dict[str, Any] = {name: getattr(failure, name) for name in _core.FAILURE_ATTRIBUTES}
    header, lines, before = shift
    if fields["line"] is not None and fields["line"] > header:
        fields["line"] += lines
    if fields["block"] is not None:
        fields["block"] += before
    # Cut where the option goes, so that a caller can spell it its own way.
    parts = [part.format(**{**fields, "text": failure.text or ""})
             for part in failure.wording.split("{option}")]
    what = PYTHON_SPELLING.get(failure.option or "", "").join(parts)
    if failure.problem == "no_name":
        return KeyError(f"{what} in {path}")
    if failure.problem == "no_parameter":
        return IndexError(what)
    if failure.problem == "parameter_twice":
        return ValueError(what)
    where = path
    if fields["line"] is not None:
        where += f", line {fields['line']}"
    inside = []
    if fields["block"] is not None:
        inside.append(f"block {fields['block']}")
    if failure.parameter is not None:
        # A name is the file's own line, which may be of any length.
        name = failure.name or ""
        name = name if len(name) <= 60 else name[:60] + "..."
        inside.append(f"parameter {failure.parameter} {name!r}")
    if inside:
        where += f" ({', '.join(inside)})"
    kept = {name: value for name, value in fields.items() if name in _KEPT}
    return FormatError(f"{where}: {what}", path=path, parts=(f"{where}: {parts[0]}", *parts[1:]),
                       **kept)


# The failure's attributes that a FormatError keeps as its own.
_KEPT = frozenset(inspect.signature(FormatError).parameters) & set(_core.FAILURE_ATTRIBUTES)
