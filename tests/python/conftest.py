"""Shared helpers: finding the built module, writing plot files, reading
fields independently of the module, and running a child interpreter."""

import math
import os
import struct
import subprocess
import sys
from fractions import Fraction

import pytest

BUILD_DIR = os.path.abspath(os.environ.get("NOVREL_BUILD_DIR", "build"))
if os.environ.get("NOVREL_BUILD_DIR"):
    sys.path.insert(0, BUILD_DIR)

IS_32_BIT = sys.maxsize < 2**32


@pytest.fixture(scope="session")
def novrel():
    import novrel as module

    return module


def plot_text(rows, width=12, names=None, header="TORVASK test plot"):
    """A plot file whose blocks hold `rows` (one list of field texts per
    block, each right-aligned to `width` bytes, ten to a data line)."""
    n = len(rows[0]) if rows else len(names or [])
    names = names if names is not None else ["P%d" % j for j in range(n)]
    out = ["%s %d" % (header, len(names))]
    out += names
    for b, row in enumerate(rows):
        out.append("%4d" % (b + 1))
        for start in range(0, len(row), 10):
            out.append("".join(f.rjust(width) for f in row[start:start + 10]))
    return "\n".join(out) + "\n"


@pytest.fixture
def make_plot(tmp_path):
    counter = iter(range(1_000_000))

    def make(content):
        path = tmp_path / ("plot%d.plt" % next(counter))
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return make


def _bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def _from_bits(b):
    return struct.unpack("<f", struct.pack("<I", b))[0]


def float32_of(text):
    """The float32 nearest to a decimal text (ties to even), widened to a
    Python float: an exact reading that does not round through double."""
    t = text.strip().lower()
    sign = -1.0 if t.startswith("-") else 1.0
    t = t.lstrip("+-")
    if t in ("inf", "infinity"):
        return sign * math.inf
    if t == "nan":
        return math.nan
    q = Fraction(t)
    approx = float(q)
    if approx >= 3.4028235677973366e38:
        return sign * math.inf  # beyond the largest float32's rounding range
    b = _bits(approx) if approx < 3.4028234663852886e38 else _bits(3.4028234663852886e38)
    candidates = [c for c in (b - 1, b, b + 1) if 0 <= c <= 0x7F7FFFFF]
    best = min(candidates, key=lambda c: (abs(Fraction(_from_bits(c)) - q), c & 1))
    return sign * _from_bits(best)


def child_env(**extra):
    """The environment of a child interpreter that imports the built module:
    this one's, without RUST_BACKTRACE unless `extra` sets it."""
    env = {k: v for k, v in os.environ.items() if k != "RUST_BACKTRACE"}
    env["PYTHONPATH"] = BUILD_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


def run_python(code, *, args=(), env=None, timeout=120):
    """Runs `code` with `args` in a child interpreter (see child_env)."""
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                          env=child_env(**(env or {})), timeout=timeout)
