"""torvask.read against a plain reader of the format (model_reader.py), on
valid files and on files mutated every way a file goes wrong: bytes
inserted, deleted and replaced, fields, lines and blocks added and dropped,
line ends changed, the file cut short. Each file is read whole and in
parts, in two threads, from memory and as a gzip stream: torvask gives the
model's values bit for bit, or fails where the model fails, never anything
else.

With NOVREL_SLOW=1 it tries fifty times as many files, not derandomized.
"""

import gzip
import io
import os

import pytest

from conftest import numpy_or_skip

np = numpy_or_skip()
import torvask  # noqa: E402 - after the skip: its __init__ imports numpy
from hypothesis import HealthCheck, assume, example, given, settings, strategies as st  # noqa: E402

from model_reader import Unsure, model_read  # noqa: E402

SLOW = os.environ.get("NOVREL_SLOW") == "1"

# Whether torvask refuses text after a data line's last field (a later data
# line here, which no width check sees); the model reads as torvask does.
try:
    torvask.read(memoryview(b"h 1\nA\n1\n 1.0\n2\n 2.0 x\n"), 4)
    STRICT = False
except torvask.FormatError:
    STRICT = True

# Field texts as writers make them, and as they go wrong.
NUMBERS = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, width=64).map(lambda v: "%.5E" % v),
    st.floats(allow_nan=False, allow_infinity=False, width=32).map(lambda v: "%.8E" % v),
    st.integers(-10**7, 10**7).map(str),
    st.sampled_from(["0", "-0", ".5", "5.", "-.5e-3", "inf", "-Infinity", "nan", "+NaN", "1e-320",
                     "4.9E-324", "2.4703282292062328E-324", "1.7976931348623158E+308", "3.4028236E+38",
                     "1.4E-45", "7.0064923E-46", "1E+400", "1E-400", "0.1"]))
JUNK = st.sampled_from([b" ", b"\t", b"\r", b"\n", b"\r\n", b"0", b"9", b".", b"+", b"-", b"E", b"e", b"x",
                        b"1.0", b" 1.5E+00", b"\x00", b"\x0b", b"\xc3", b"\xa9", b"\xc3\xa9", b"\xc2\x85",
                        b"\xe3\x80\x80", b"\xff", b"\xed\xa0\x80", b"D", b"_", b"inf", b"NaN"])


@st.composite
def plot_files(draw):
    """A valid plot file: its bytes, width and parameter count."""
    count = draw(st.integers(1, 23))
    width = draw(st.sampled_from([8, 12, 15, 20]))
    blocks = draw(st.integers(0, 5))
    header = draw(st.sampled_from(["Run 7 plot data", "", "h\t+", "x\u3000y"])) + " " + draw(
        st.sampled_from(["%d", "+%d", "0%d"])) % count
    names = [draw(st.sampled_from(["TIME", "P", " P ", "\u00e9t\u00e9", "P.1", ""])) for _ in range(count)]
    lines = [header, *names]
    for b in range(blocks):
        lines.append("%4d" % (b + 1))
        row = [draw(NUMBERS)[:width - 1].rjust(width) for _ in range(count)]
        lines += ["".join(row[i:i + 10]) for i in range(0, count, 10)]
    end = draw(st.sampled_from(["\n", "\r\n"]))
    return (end.join(lines) + end).encode(), width, count


@st.composite
def mutated_files(draw):
    data, width, count = draw(plot_files())
    for _ in range(draw(st.integers(0, 3))):
        data = draw(MUTATIONS)(draw, data, width)
    return data, width, count


def _at(draw, data):
    return draw(st.integers(0, len(data)))


def _lines(data):
    return data.split(b"\n")


def _line_index(draw, data):
    return draw(st.integers(0, max(0, len(_lines(data)) - 1)))


def insert(draw, data, width):
    at = _at(draw, data)
    return data[:at] + draw(JUNK) + data[at:]


def delete(draw, data, width):
    at = _at(draw, data)
    return data[:at] + data[at + draw(st.integers(1, 3)):]


def replace(draw, data, width):
    at = _at(draw, data)
    return data[:at] + draw(JUNK) + data[at + 1:]


def cut(draw, data, width):
    return data[:_at(draw, data)]


def add_field(draw, data, width):
    lines = _lines(data)
    i = _line_index(draw, data)
    end = b"\r" if lines[i].endswith(b"\r") else b""
    text = draw(st.sampled_from([b"1.0", b"XYZ", b"  ", b"\t", b"-2.5E-01"])).rjust(width)
    lines[i] = lines[i][:len(lines[i]) - len(end)] + text + end
    return b"\n".join(lines)


def drop_field(draw, data, width):
    lines = _lines(data)
    i = _line_index(draw, data)
    end = b"\r" if lines[i].endswith(b"\r") else b""
    lines[i] = lines[i][:max(0, len(lines[i]) - len(end) - width)] + end
    return b"\n".join(lines)


def add_line(draw, data, width):
    lines = _lines(data)
    i = _line_index(draw, data)
    lines.insert(i, lines[_line_index(draw, data)])
    return b"\n".join(lines)


def drop_line(draw, data, width):
    lines = _lines(data)
    del lines[_line_index(draw, data)]
    return b"\n".join(lines)


def move_lines(draw, data, width):
    """A run of lines (a block, if it lines up) repeated or dropped."""
    lines = _lines(data)
    i = _line_index(draw, data)
    n = draw(st.integers(2, 4))
    if draw(st.booleans()):
        lines[i:i] = lines[i:i + n]
    else:
        del lines[i:i + n]
    return b"\n".join(lines)


def line_ends(draw, data, width):
    if draw(st.booleans()):
        return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return data.replace(b"\r\n", b"\n")


MUTATIONS = st.sampled_from([insert, delete, replace, cut, add_field, drop_field, add_line,
                             drop_line, move_lines, line_ends])


def problem_of(error):
    if isinstance(error, torvask.FormatError):
        return error.problem
    return {IndexError: "no_parameter", ValueError: "parameter_twice"}[type(error)]


def same_bits(values, rows, dtype):
    expected = np.array(rows, dtype=dtype).reshape(values.shape if not rows else (len(rows), -1))
    if values.shape != expected.shape:
        return False
    nan = np.isnan(expected)
    uint = np.uint32 if dtype == np.float32 else np.uint64
    return bool(np.array_equal(np.isnan(values), nan)) and bool(np.array_equal(
        np.where(nan, 0, values).view(uint), np.where(nan, 0, expected).astype(dtype).view(uint)))


def check(data, source="path", width=None, *, dtype=np.float64, parameters=None, blocks=None,
          threads=1, complete_blocks=False, tmp_path=None):
    """torvask.read of `data` from `source` against the model."""
    try:
        expected = model_read(data, width, float32=dtype == np.float32, parameters=parameters,
                              blocks=blocks, complete_blocks=complete_blocks,
                              seekable=source != "gzip", strict=STRICT)
    except Unsure:
        return
    if source == "path":
        path = tmp_path / "model.plt"
        path.write_bytes(data)
        given = str(path)
    elif source == "memory":
        given = memoryview(data)
    else:
        given = gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(data, mtime=0)))
    options = dict(dtype=dtype, parameters=parameters, blocks=blocks, threads=threads,
                   complete_blocks=complete_blocks)
    shown = f"{data!r}, {source}, width={width}, {options}"
    try:
        plot = torvask.read(given, width, **options)
    except (torvask.FormatError, IndexError, ValueError) as error:
        fault = expected.fault
        assert fault is not None or expected.doubt is not None, f"refused {shown}: {error}"
        if fault is not None and fault.sure:
            got = (problem_of(error), getattr(error, "line", None), getattr(error, "block", None))
            assert got == (fault.problem, fault.line, fault.block), f"{shown}: {error}"
        return
    assert expected.fault is None, f"read {shown}, where the model meets {expected.fault!r}"
    assert same_bits(plot.values, expected.rows, dtype), f"{shown}:\n{plot.values}\n{expected.rows}"
    assert list(plot.blocks) == expected.blocks, shown
    assert list(plot.names) == expected.names, shown


def chosen(draw, count):
    """Some parameters by index, maybe negative, maybe beyond the file."""
    indices = draw(st.lists(st.integers(-count, count), min_size=1, max_size=4, unique=True))
    return indices


BLOCKS = st.one_of(st.none(), st.builds(slice, st.integers(-4, 4) | st.none(), st.integers(-4, 6) | st.none(),
                                        st.integers(1, 3) | st.none()))


@pytest.mark.parametrize("data", [
    b"h 2\nA\nB\n1\n  1.5  2.5\n2\n  3.5  4.5\n",
])
def test_model_reads_a_plain_file(data):
    assert model_read(data).rows == [(1.5, 2.5), (3.5, 4.5)]


@settings(max_examples=1500 if SLOW else 30, deadline=None, database=None, derandomize=not SLOW,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture, HealthCheck.filter_too_much])
@given(file=mutated_files(), data=st.data())
def test_torvask_reads_as_the_model(tmp_path, file, data):
    content, width, count = file
    draw = data.draw
    parameters = chosen(draw, count)
    blocks = draw(BLOCKS)
    check(content, tmp_path=tmp_path)
    check(content, "memory", width, dtype=np.float32)
    check(content, width=draw(st.sampled_from([None, width])), parameters=parameters, blocks=blocks,
          tmp_path=tmp_path)
    check(content, "memory", parameters=parameters, blocks=blocks, threads=2)
    check(content, "gzip", parameters=parameters, blocks=blocks, dtype=np.float32)
    check(content, parameters=parameters, blocks=blocks, threads=draw(st.sampled_from([1, 2])),
          complete_blocks=True, tmp_path=tmp_path)
    check(content, "gzip", complete_blocks=True)
