"""Shared helpers: finding the built modules, writing plot files, reading
fields independently of the module, and running a child interpreter."""

import importlib.util
import math
import os
import struct
import subprocess
import sys
import sysconfig
import textwrap
from fractions import Fraction

import pytest

BUILD_DIR = os.path.abspath(os.environ.get("NOVREL_BUILD_DIR", "build"))
if os.environ.get("NOVREL_BUILD_DIR"):
    sys.path.insert(0, BUILD_DIR)

IS_32_BIT = sys.maxsize < 2**32
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(scope="session")
def novrel():
    import novrel as module

    return module


def core_path():
    """The file of torvask._core for this interpreter, found without running
    the package's __init__, which imports numpy."""
    package = importlib.util.find_spec("torvask")
    assert package is not None, "torvask is not importable from %s" % sys.path
    (folder,) = package.submodule_search_locations
    return os.path.join(folder, "_core" + sysconfig.get_config_var("EXT_SUFFIX"))


def load_core():
    """torvask._core loaded from its file by itself: a free-threaded
    interpreter here has no numpy, so the package cannot be imported there."""
    found = importlib.util.spec_from_file_location("_core", core_path())
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def numpy_or_skip():
    """numpy; on a free-threaded interpreter, a skip when it is missing, since
    Debian builds numpy for the regular ABI only. A regular interpreter
    without numpy is a broken environment and fails."""
    if FREE_THREADED:
        # Debian's numpy is found on the path and fails to load its
        # extension: an ImportError, not a missing module.
        return pytest.importorskip(
            "numpy", reason="numpy has no build for the free-threaded interpreter here",
            exc_type=ImportError)
    import numpy

    return numpy


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
    this one's, without RUST_BACKTRACE or PYTHON_GIL unless `extra` sets
    them (a forced GIL setting would hide what the modules declare)."""
    env = {k: v for k, v in os.environ.items() if k not in ("RUST_BACKTRACE", "PYTHON_GIL")}
    env["PYTHONPATH"] = BUILD_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


def run_python(code, *, args=(), env=None, flags=(), timeout=120):
    """Runs `code` with `args` in a child interpreter (see child_env), given
    the interpreter's own `flags`."""
    return subprocess.run([sys.executable, *flags, "-c", code, *args], capture_output=True,
                          env=child_env(**(env or {})), timeout=timeout)


WORKED_EXAMPLE = (
    "Run 7 plot data                3\nTIME\nPRESSURE\nTEMPERATURE\n"
    "   1\n 0.00000E+00 1.01325E+05 2.93150E+02\n"
    "   2\n 1.00000E+01 1.02000E+05 2.95000E+02\n"
)

HINT = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


def write_cases(tmp_path):
    """Plot files with the width to read them at: valid ones and one of
    every kind of failure the reader has."""
    long_file = plot_text([["%.5E" % (b * 0.25 + j) for j in range(23)] for b in range(200)],
                          width=15)
    files = {
        "worked": (WORKED_EXAMPLE, 12),
        "long": (long_file, 15),
        "empty": ("", 12),
        "names": ("x 3\nA\n", 12),
        "cut": (WORKED_EXAMPLE[:-37], 12),
        "word": (WORKED_EXAMPLE.replace("1.01325E+05", "1.5D+03    "), 12),
        "count": ("Run 7 plot data three\n", 12),
        "utf8": (b"x 1\nA\n\xff\n 1.0\n", 12),
        "boundary": ("x 2\nA\nB\n\n 1.0\u00e9 2.0 \n", 5),
        "narrow": (WORKED_EXAMPLE, 40),
    }
    cases = []
    for name, (content, width) in files.items():
        path = tmp_path / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        cases.append((str(path), width))
    cases.append((str(tmp_path / "missing"), 12))
    return cases


# Shared by child programs: one call, its outcome as plain data.
CHILD_PRELUDE = textwrap.dedent("""
    import json, os, sys
    import novrel

    def outcome(path, width):
        try:
            first, columns = novrel.rust_read_torvask(path, width)
            return ["ok", first, columns]
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                raise
            return ["panic", e.args[0]]

    def silence_fds():
        # Reports go to fd 2 and a rejected count's line to fd 1; keep this
        # program's own output on a copy of fd 1. Closed at exit: neither a
        # free-threaded interpreter (which never finalizes the object) nor
        # a debug one (which warns of it left open) would do it.
        import atexit
        out = os.fdopen(os.dup(1), "w")
        atexit.register(out.close)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        return out
""")
