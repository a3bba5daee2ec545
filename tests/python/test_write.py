"""torvask.write: files that both readers read back, float32 bit for bit at
width 15, the digits each width keeps, refusals, and failures that leave the
target as it was."""

import linecache
import math
import os
import signal
from fractions import Fraction

import pytest

from conftest import float32_of, numpy_or_skip, run_python

np = numpy_or_skip()
import torvask  # noqa: E402 - after the skip: its __init__ imports numpy

F32 = np.finfo(np.float32)
EDGES = [0.0, -0.0, 1.0, -1.0, 0.1, 101325.0, float(F32.max), -float(F32.max),
         float(F32.smallest_normal), float(F32.smallest_subnormal), math.inf, -math.inf,
         math.nan, -math.nan, 16777217.0, 2.5e-3]
# Three-digit exponents, and the edges of double range.
EDGES64 = [1e300, -1.2345678901234567e-300, 5e-324, 1.7976931348623157e308,
           2.2250738585072014e-308, 9.999999999999999e99, 1e-99, 1e-100]


def sample(dtype, blocks, count, seed):
    """Edge values first, then random bit patterns (float32) or values over
    the whole exponent range (float64)."""
    rng = np.random.default_rng(seed)
    size = blocks * count
    if dtype == np.float32:
        values = rng.integers(0, 2**32, size, dtype=np.uint32).view(np.float32)
    else:
        values = rng.standard_normal(size) * 10.0 ** rng.integers(-320, 308, size)
    edges = np.array(EDGES + (EDGES64 if dtype == np.float64 else []), dtype=dtype)
    values[:min(size, len(edges))] = edges[:size]
    return values.reshape(blocks, count)


def fields_of(text, count, width):
    """The field texts of every block of a written file, and its checks of
    the layout: header, names, leading lines and data line lengths."""
    lines = text.split("\n")
    assert lines.pop() == "" and lines[0].split()[-1] == str(count)
    per_block = 1 + -(-count // 10)
    blocks = (len(lines) - 1 - count) // per_block
    assert len(lines) == 1 + count + blocks * per_block
    fields = []
    for b in range(blocks):
        first = 1 + count + b * per_block
        assert lines[first] == "%4d" % (b + 1)
        data = lines[first + 1:first + per_block]
        assert [len(line) for line in data] == [
            width * min(10, count - 10 * m) for m in range(len(data))]
        fields.append([line[k:k + width] for line in data for k in range(0, len(line), width)])
    return fields


# The least magnitude that reads back as infinity, per type written.
OVERFLOW = {np.float32: Fraction(2**128 - 2**103), np.float64: Fraction(2**1024 - 2**970)}


def assert_rounded(field, value, width, dtype):
    """`field` holds `value` to width - 6 significant digits (one fewer for
    three exponent digits), rounded to nearest, or toward zero where the
    nearest would read back as infinity."""
    exponent = field.split("E")[-1]
    unit = Fraction(10) ** (int(exponent) - (width - 6 - (len(exponent) - 3)) + 1)
    written = Fraction(field.strip())
    error = abs(written - Fraction(value))
    assert error <= unit / 2 or error < unit and abs(written) + unit >= OVERFLOW[dtype], \
        (field, value)
    assert math.copysign(1, float(written)) == math.copysign(1, value), (field, value)


def same(a, b):
    """Equal as values, NaNs and the sign of zero and of NaN included."""
    return (math.isnan(a) and math.isnan(b) or a == b) and math.copysign(1, a) == math.copysign(1, b)


# width, dtype, parameters, blocks
ROUND_TRIPS = [
    (15, np.float32, 10, 30000),  # 300000 random bit patterns, bit for bit, in rounds of threads
    (8, np.float32, 1, 40),
    (12, np.float32, 11, 30),
    (14, np.float32, 25, 12),
    (23, np.float32, 10, 30),
    (9, np.float64, 11, 30),
    (15, np.float64, 25, 12),
    (23, np.float64, 10, 300),
    (24, np.float64, 1, 30),
    (16, np.float32, 25, 0),
]


@pytest.mark.parametrize("width, dtype, count, blocks", ROUND_TRIPS)
def test_round_trip(width, dtype, count, blocks, tmp_path, novrel):
    values = sample(dtype, blocks, count, seed=width)
    names = ["TIME"] + ["P%d" % j for j in range(1, count)]
    path = str(tmp_path / "out.plt")
    torvask.write(path, dict(zip(names, values.T)) if blocks else
                  {name: np.empty(0, dtype) for name in names}, width=width, title="Run 12")
    text = (tmp_path / "out.plt").read_text(encoding="ascii")
    assert text.startswith("Run 12" + " " * 25 + str(count) + "\n" + "\n".join(names) + "\n")
    fields = fields_of(text, count, width)
    plot = torvask.read(path, dtype=np.float32, threads=2)  # in parts, each polled
    exact = torvask.read(path).values  # float64: each field's value, rounded once
    first, columns = novrel.rust_read_torvask(path, width)
    assert list(plot.names) == names and plot.values.shape == (blocks, count)
    assert plot.width == (width if blocks else None)
    assert np.array_equal(plot.values, np.array([first, *columns], np.float32).T.reshape(
        blocks, count), equal_nan=True)

    for b in range(blocks):
        for j, (field, value) in enumerate(zip(fields[b], values[b].tolist())):
            decimal = float(field)  # exact: Python rounds the text once
            assert same(float(exact[b, j]), decimal), field
            exponent = field.split("E")[-1]
            if dtype == np.float32 and width >= 15:
                assert same(float(plot.values[b, j]), value), (field, value)
                continue
            if width >= 24 or width == 23 and len(exponent) == 3 or not math.isfinite(value):
                assert same(decimal, value), (field, value)
            elif not same(decimal, value):  # shortest digits where they fit
                assert_rounded(field, value, width, dtype)
            if b * count + j < 400 and math.isfinite(decimal):  # the readers', on a sample
                expected = float32_of(field)
                if math.isnan(expected):
                    expected = math.copysign(math.nan, decimal)
                assert same(float(plot.values[b, j]), expected), field


@pytest.mark.parametrize("dtype, width", [(np.float32, w) for w in range(6, 25)] +
                         [(np.float64, w) for w in range(7, 25)])
def test_the_edges_of_range_stay_finite_and_nonzero(dtype, width, tmp_path):
    info = np.finfo(dtype)
    edges = [info.max, info.smallest_normal, info.smallest_subnormal]
    values = np.array([edge * sign for edge in edges for sign in (1, -1)], dtype)
    path = tmp_path / "edges.plt"
    torvask.write(path, {"P%d" % j: values[j:j + 1] for j in range(len(values))}, width=width)
    back = torvask.read(path, dtype=dtype).values[0]
    assert np.all(np.isfinite(back)) and np.all(np.sign(back) == np.sign(values)), back
    fields = fields_of(path.read_text(), len(values), width)[0]
    for field, value, got in zip(fields, values.tolist(), back.tolist()):
        if got != value:  # shortest digits where they fit
            assert_rounded(field, value, width, dtype)


def test_a_plot_and_its_title(tmp_path):
    source = tmp_path / "source.plt"
    source.write_bytes(b"Run 7 plot data                3\nTIME\nP\nP\n"
                       b"   1\n 0.00000E+00 1.01325E+05 2.93150E+02\n")
    plot = torvask.read(source)
    torvask.write(tmp_path / "copy.plt", plot, width=12, title="Run 7 plot data")
    assert (tmp_path / "copy.plt").read_bytes() == source.read_bytes()
    torvask.write(tmp_path / "copy.plt", plot, title="Run 1999")  # the count stays last
    assert torvask.read(tmp_path / "copy.plt").values.tolist() == plot.values.tolist()
    assert (tmp_path / "copy.plt").read_text().startswith("Run 1999" + " " * 23 + "3\n")
    torvask.write(tmp_path / "ints.plt", {"T": [1, 2], "N": np.array([3, 2**60], np.int64)},
                  width=24)
    assert torvask.read(tmp_path / "ints.plt").values.tolist() == [[1, 3], [2, 2.0**60]]


# Two parameters named P, which columns make P and P.2.
REPEATED = (b"Run 7" + b" " * 26 + b"4\nTIME\nP\nP\nP.1\n"
            b"   1\n 0.00000E+00 1.01325E+05 2.93150E+02-1.00000E+00\n"
            b"   2\n 1.00000E-01 1.01300E+05 2.93160E+02 2.50000E-03\n")
WRITTEN = ["TIME", "P", "P", "P.1"]


# How a table is made from the plot of REPEATED, and the names it writes.
@pytest.mark.parametrize("make, names", [
    (lambda plot, xarray: plot.to_xarray(), WRITTEN),
    (lambda plot, xarray: xarray.open_dataset(
        plot.path, engine=torvask.xarray_backend.TorvaskBackendEntrypoint), WRITTEN),
    (lambda plot, xarray: plot.to_pandas(), WRITTEN),
    (lambda plot, xarray: plot.to_pandas().reset_index(), WRITTEN),  # TIME a column
    (lambda plot, xarray: plot.to_pandas().rename(columns={"P.2": "Q"}), ["TIME", "P", "Q", "P.1"]),
    (lambda plot, xarray: plot.to_xarray().drop_vars("P.1"), WRITTEN[:3]),
], ids=["to_xarray", "engine", "to_pandas", "reset_index", "renamed", "dropped"])
def test_a_dataset_or_dataframe_writes_its_plot_back(make, names, tmp_path):
    xarray = pytest.importorskip("xarray")
    pytest.importorskip("pandas")
    source = tmp_path / "run.plt"
    source.write_bytes(REPEATED)
    plot = torvask.read(source)
    table = make(plot, xarray)
    torvask.write(tmp_path / "copy.plt", table, width=12)
    if names == WRITTEN:
        assert (tmp_path / "copy.plt").read_bytes() == REPEATED
    copy = torvask.read(tmp_path / "copy.plt")
    assert list(copy.names) == names and copy.title == "Run 7"
    assert copy.values.tolist() == plot.values[:, :len(names)].tolist()


@pytest.mark.parametrize("source, options, error, message", [
    ({"T": np.zeros(1, np.float32)}, {"width": 5}, ValueError,
     "width must be from 6 (one digit of every float32 value) to 1024, not 5"),
    ({"T": [0.0]}, {"width": 6}, ValueError, "from 7 (one digit of every float64 value)"),
    ({"T": [0.0]}, {"width": -1}, ValueError, "not -1"),
    ({"T": [0.0]}, {"width": 2**70}, ValueError, "to 1024, not 1180591620717411303424"),
    ({"T": [0.0]}, {"width": 15.0}, TypeError, "width must be an int, not float"),
    ({}, {}, ValueError, "a plot file has from 1 to 4294967295 parameters, not 0"),
    ({"T": [0.0], "B\nC": [1.0]}, {}, ValueError, "name 1 'B\\nC' holds a line break"),
    ({"T": [0.0]}, {"title": "a\rb"}, ValueError, "the title holds a line break"),
    ({"T": [0.0], "P": [1.0, 2.0]}, {}, ValueError, "column 'P' has 2 values, column 'T' 1"),
    ({"T": [[0.0]]}, {}, ValueError, "column 'T' has 2 dimensions, not 1"),
    ({"T": ["0.0"]}, {}, TypeError, "column 'T' holds <U3, not numbers"),
    ({1: [0.0]}, {}, TypeError, "parameter names must be str, not int"),
    ([[0.0]], {}, TypeError, "a pandas DataFrame or a mapping of names to columns, not list"),
    (np.zeros((2, 2)), {}, TypeError, "not ndarray"),
])
def test_refusals_leave_the_target_as_it_was(source, options, error, message, tmp_path):
    target = tmp_path / "kept.plt"
    target.write_text("before")
    with pytest.raises(error) as caught:
        torvask.write(target, source, **options)
    assert message in str(caught.value)
    assert target.read_text() == "before" and os.listdir(tmp_path) == ["kept.plt"]


def test_os_errors_and_ctrl_c(tmp_path):
    values = {"T": np.zeros(1, np.float32)}
    (tmp_path / "file").write_text("")
    # Not there; a folder; under a file; a device that takes no byte; a
    # folder that takes no new file (the temporary one).
    for target, error in [(tmp_path / "missing" / "x.plt", FileNotFoundError),
                          (tmp_path, IsADirectoryError), (tmp_path / "file" / "x", NotADirectoryError),
                          ("/dev/full", OSError), ("/proc/version", OSError)]:
        with pytest.raises(error) as caught:
            torvask.write(target, values)
        assert caught.value.filename == str(target)
    os.remove(tmp_path / "file")
    # A write of some 60 MB, interrupted by a handler that raises where the
    # writer looks for signals between its rounds (signals met anywhere else
    # pass): the target keeps its contents and no temporary file is left.
    target = tmp_path / "kept.plt"
    target.write_text("before")
    big = {"T": np.zeros(400_000, np.float32), **{
        "P%d" % j: np.full(400_000, j, np.float32) for j in range(9)}}

    def interrupt(signum, frame):
        if linecache.getline(frame.f_code.co_filename, frame.f_lineno).strip().startswith("_core.write("):
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        with pytest.raises(KeyboardInterrupt):
            torvask.write(target, big)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert target.read_text() == "before" and os.listdir(tmp_path) == ["kept.plt"]


TAKEN_TEMPORARIES = """
import os, sys, torvask
target, taken = sys.argv[1], int(sys.argv[2])
for k in range(taken):  # a fresh process numbers its temporary files from 0
    open("%s/.x.plt.%d-%d.tmp" % (os.path.dirname(target), os.getpid(), k), "w").close()
try:
    torvask.write(target, {"T": [1.0]})
except FileExistsError:
    print("gave up")
"""


@pytest.mark.parametrize("taken, out", [(50, ""), (101, "gave up\n")])
def test_temporary_names_left_by_another_process_are_passed_over(taken, out, tmp_path):
    done = run_python(TAKEN_TEMPORARIES, args=(str(tmp_path / "x.plt"), str(taken)))
    assert (done.returncode, done.stdout.decode()) == (0, out)
    assert (tmp_path / "x.plt").exists() == (out == "")
