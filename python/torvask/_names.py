"""Choosing parameters as a person types them on the command line: an exact
name, an index, or a shell-style pattern."""

from __future__ import annotations

import difflib
import fnmatch
import re
from collections.abc import Iterable, Sequence

_INDEX = re.compile(r"[+-]?\d+")


def choose_parameters(columns: Sequence[str], wanted: Iterable[str | int], path: str = ""
                      ) -> list[str]:
    """The column names that `wanted` chooses among `columns` (a Plot's
    ``columns``), in the order asked, each once. Each word is tried as an
    exact name first, then as an index (``3``, ``-1``, negative from the
    end), then as a shell-style pattern (``'PRESSURE-*'``) matching names in
    the file's order. A word that chooses nothing raises KeyError, with the
    closest names as suggestions; an index beyond the columns, IndexError."""
    chosen: dict[str, None] = {}
    where = f" in {path}" if path else ""
    for word in wanted:
        if isinstance(word, int) or (word not in columns and _INDEX.fullmatch(word)):
            j = int(word)
            if not -len(columns) <= j < len(columns):
                raise IndexError(f"there is no parameter {j} in a file of {len(columns)} "
                                 "parameters")
            chosen[columns[j]] = None
        elif word in columns:
            chosen[word] = None
        elif any(c in word for c in "*?["):
            found = [name for name in columns if fnmatch.fnmatchcase(name, word)]
            if not found:
                raise KeyError(f"no parameter matches {word!r}{where}")
            chosen.update(dict.fromkeys(found))
        else:
            close = difflib.get_close_matches(word, columns, n=3)
            hint = f"; did you mean {', '.join(close)}?" if close else ""
            raise KeyError(f"no parameter {word!r}{where}{hint}")
    return list(chosen)
