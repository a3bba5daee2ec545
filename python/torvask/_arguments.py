"""The checks of the arguments that read, read_many, follow, write, compare
and the command line share, so that each is refused in the same words
wherever it is given."""

from __future__ import annotations

import argparse
import operator
from collections.abc import Iterable

import numpy as np
from numpy.typing import DTypeLike


def integer(name: str, value: object, *, optional: bool = False) -> int | None:
    """`value` where it is an int (a bool is not), or None where `optional`."""
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        kind = "an int or None" if optional else "an int"
        raise TypeError(f"{name} must be {kind}, not {type(value).__name__}")
    return value


def count(name: str, value: object, *, optional: bool = False) -> int | None:
    """An int of at least 1, or None where `optional`."""
    checked = integer(name, value, optional=optional)
    if checked is not None and checked < 1:
        raise ValueError(f"{name} must be at least 1, not {checked}")
    return checked


def width(value: int | None) -> int | None:
    return count("width", value, optional=True)


def threads(value: int) -> int:
    checked = count("threads", value)
    assert checked is not None
    return checked


def flag(name: str, value: bool) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def float64(dtype: DTypeLike) -> bool:
    """True for float64, False for float32."""
    try:
        chosen = np.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype must be numpy.float32 or numpy.float64, not {dtype!r}") from None
    if chosen not in (np.float32, np.float64):
        raise ValueError(f"dtype must be numpy.float32 or numpy.float64, not {chosen}")
    return chosen == np.float64


def blocks(chosen: slice | None) -> tuple[int | None, int | None, int]:
    """The start, stop and step of a slice of blocks; None is every block."""
    if chosen is None:
        return None, None, 1
    if not isinstance(chosen, slice):
        raise TypeError(f"blocks must be a slice or None, not {type(chosen).__name__}")
    start, stop, step = (None if v is None else operator.index(v)
                         for v in (chosen.start, chosen.stop, chosen.step))
    if step is None:
        step = 1
    if step < 1:
        raise ValueError(f"the blocks' step must be at least 1, not {step}")
    return start, stop, step


def parameters(chosen: Iterable[str | int] | None) -> list[str | int] | None:
    if chosen is None:
        return None
    if isinstance(chosen, (str, bytes)):
        raise TypeError("parameters must be a list of names or indices, not a single "
                        f"{type(chosen).__name__}")
    held: list[str | int] = []
    for parameter in chosen:
        if isinstance(parameter, str):
            held.append(parameter)
        elif isinstance(parameter, bool):
            raise TypeError("a parameter is a name or an index, not a bool")
        else:
            try:
                held.append(operator.index(parameter))
            except TypeError:
                raise TypeError("a parameter is a name or an index, not "
                                f"{type(parameter).__name__}") from None
    return held


def tolerance(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    if not value >= 0:
        raise ValueError(f"{name} must be at least 0, not {value}")
    return float(value)


# The same checks of the command line's words, for argparse's ``type=``.

def blocks_text(text: str) -> slice:
    """A slice from Python's slice syntax (``10:20``, ``-100:``, ``::10``)
    or one block's index."""
    parts = text.split(":")
    try:
        numbers = [int(p) if p.strip() else None for p in parts]
    except ValueError:
        numbers = []
    if not 1 <= len(numbers) <= 3 or numbers == [None]:
        raise argparse.ArgumentTypeError(f"{text!r} is not a slice such as 10:20, -100: or ::10")
    if len(numbers) == 1:
        assert numbers[0] is not None
        return slice(numbers[0], numbers[0] + 1 or None)
    start, stop, step = (*numbers, None)[:3]
    if step is not None and step < 1:
        raise argparse.ArgumentTypeError(f"the step of {text!r} must be at least 1")
    return slice(start, stop, step)


def width_text(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a width of at least 1")
    return value


def tolerance_text(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a tolerance of at least 0")
    return value
