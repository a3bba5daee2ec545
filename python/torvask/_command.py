"""What the command line's subcommands share: how a failure is told on
standard error, and how an option that an error suggests is spelled."""

from __future__ import annotations

from ._errors import FormatError

# How the command line spells the options of read() that errors suggest.
CLI_SPELLING = {"complete_blocks": "--complete-blocks", "width": "--input-width="}


class Unavailable(Exception):
    """A library that a command needs (matplotlib, Textual, or one that
    writes an output format) is not installed."""


def failure(path: str, error: BaseException) -> str:
    """The line that tells of `error` in reading or writing `path`."""
    if isinstance(error, FormatError):
        return error.worded(CLI_SPELLING)
    if isinstance(error, Unavailable):
        return str(error)
    if isinstance(error, OSError):
        return f"{error.filename or path}: {error.strerror or error}"
    if isinstance(error, KeyError):
        return str(error.args[0])
    if isinstance(error, MemoryError):
        return f"{path}: out of memory"
    return f"{path}: {error}"
