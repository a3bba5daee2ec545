"""torvask._core at its boundary: the memory Rows lends, the argument checks,
and the failures it raises for the package to word. The extension is loaded
by itself and looked at through memoryview, so that these tests also run
where numpy, and with it the package, cannot be imported."""

import errno
import os
from inspect import BufferFlags

import pytest

from conftest import load_core, numpy_or_skip, plot_text

_core = load_core()


def read(path, width=0, complete_blocks=False):
    return _core.read(os.fsencode(path), width, complete_blocks)


@pytest.mark.parametrize("rows", [[], [["1.5", "-2", "3e2"]], [["1", "2", "3"], ["4", "5", "6"]]])
def test_rows_lend_their_floats_in_c_order(make_plot, rows):
    names, lent, width = read(make_plot(plot_text(rows, width=6, names=["T", "P", "P"])))
    assert (names, width) == (["T", "P", "P"], 6 if rows else 0)
    expected = [[float(f) for f in row] for row in rows]
    assert lent.shape == (len(rows), 3)
    view = memoryview(lent)
    assert (view.format, view.itemsize, view.shape, view.strides) == ("f", 4, (len(rows), 3), (12, 4))
    assert view.c_contiguous and not view.readonly and view.tolist() == expected
    if rows:  # one memory: a write through a view shows in every later one
        view[-1, -1] = 0.25
        assert memoryview(lent)[-1, -1] == 0.25
    plain = lent.__buffer__(BufferFlags.SIMPLE)
    assert (plain.format, plain.ndim, plain.nbytes) == ("B", 1, 12 * len(rows))
    if len(rows) > 1:
        with pytest.raises(BufferError):
            lent.__buffer__(BufferFlags.F_CONTIGUOUS)


def test_numpy_wraps_rows_without_a_copy(make_plot):
    np = numpy_or_skip()
    _, lent, _ = read(make_plot(plot_text([["1", "2"], ["3", "4"]], width=4)))
    array = np.asarray(lent)
    assert array.dtype == np.float32 and array.tolist() == [[1, 2], [3, 4]]
    array[1, 1] = 0.25
    assert memoryview(lent)[1, 1] == 0.25


@pytest.mark.parametrize("args, error", [
    ((b"x", 0), TypeError),
    (("x", 0, False), TypeError),
    ((b"x", 1.0, False), TypeError),
    ((b"x", -1, False), OverflowError),
    ((b"x", 0, 1), TypeError),
    ((b"x\0y", 0, False), ValueError),
])
def test_wrong_arguments_raise_before_reading(args, error):
    with pytest.raises(error):
        _core.read(*args)
    with pytest.raises(TypeError):
        _core.Rows()


def test_failures_are_os_errors_or_located_read_failures(make_plot, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        read(tmp_path / "missing.plt")
    assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, str(tmp_path / "missing.plt"))
    with pytest.raises(IsADirectoryError):
        read(tmp_path)

    path = make_plot(plot_text([["1.0", "2.0"], ["3.0", "1.0D+05"]], names=["T", "P"]))
    with pytest.raises(_core.ReadFailure) as caught:
        read(path)
    assert caught.value.args[0] == "not_a_number"
    assert caught.value.args[2:] == (7, 1, 1, "P", "     1.0D+05", 12, 12)
    # What pickle stores: the type by its qualified name, and the arguments.
    # (A round trip would import the package to find the type.)
    failure_type = type(caught.value)
    assert (failure_type.__module__, failure_type.__qualname__) == ("torvask._core", "ReadFailure")
    assert caught.value.__reduce__() == (failure_type, caught.value.args)

    with pytest.raises(_core.ReadFailure) as caught:
        read(make_plot("h 2\nT\n"))
    assert caught.value.args[0] == "names_missing"
    assert caught.value.args[2:] == (3, None, None, None, None, None, None)
