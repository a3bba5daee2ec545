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


def read(path, width=None, complete_blocks=False, float64=False):
    got = _core.read(os.fsencode(path), width=width, complete_blocks=complete_blocks,
                     float64=float64)
    return (got.title, got.names, got.rows, got.width, got.parameters, got.first_block,
            got.block_step)


@pytest.mark.parametrize("float64", [False, True])
@pytest.mark.parametrize("rows", [[], [["1.5", "-2", "3e2"]], [["1", "2", "3"], ["4", "5", "6"]]])
def test_rows_lend_their_floats_in_c_order(make_plot, rows, float64):
    _, names, lent, width, held, first, step = read(
        make_plot(plot_text(rows, width=6, names=["T", "P", "P"])), float64=float64)
    assert (names, width, held, first, step) == (["T", "P", "P"], 6 if rows else None, (0, 1, 2), 0, 1)
    expected = [[float(f) for f in row] for row in rows]
    assert lent.shape == (len(rows), 3)
    view = memoryview(lent)
    size = 8 if float64 else 4
    assert (view.format, view.itemsize, view.shape, view.strides) == (
        "d" if float64 else "f", size, (len(rows), 3), (3 * size, size))
    assert view.c_contiguous and not view.readonly and view.tolist() == expected
    if rows:  # one memory: a write through a view shows in every later one
        view[-1, -1] = 0.25
        assert memoryview(lent)[-1, -1] == 0.25
    plain = lent.__buffer__(BufferFlags.SIMPLE)
    assert (plain.format, plain.ndim, plain.nbytes) == ("B", 1, 3 * size * len(rows))
    if len(rows) > 1:
        with pytest.raises(BufferError):
            lent.__buffer__(BufferFlags.F_CONTIGUOUS)


def test_numpy_wraps_rows_without_a_copy(make_plot):
    np = numpy_or_skip()
    _, _, lent, *_ = read(make_plot(plot_text([["1", "2"], ["3", "4"]], width=4)))
    array = np.asarray(lent)
    assert array.dtype == np.float32 and array.tolist() == [[1, 2], [3, 4]]
    array[1, 1] = 0.25
    assert memoryview(lent)[1, 1] == 0.25


VALUES = memoryview(bytes(16)).cast("d", (2, 1))


@pytest.mark.parametrize("entry, args, keywords, error", [
    ("read", (b"x", None), {}, TypeError),
    ("read", ("x",), {}, TypeError),
    ("read", (b"x",), {"width": 1.0}, TypeError),
    ("read", (b"x",), {"width": 0}, ValueError),
    ("read", (b"x",), {"complete_blocks": 1}, TypeError),
    ("read", (b"x",), {"parameters": [1]}, TypeError),
    ("read", (b"x",), {"parameters": (1.5,)}, TypeError),
    ("read", (b"x",), {"step": 0}, ValueError),
    ("read", (b"x",), {"threads": 0}, ValueError),
    ("read", (b"x",), {"float64": 1}, TypeError),
    ("read", (b"x",), {"start": "1"}, TypeError),
    ("read", (b"x",), {"stop": 2**70}, OverflowError),
    ("read", (b"x",), {"parameters": ("\ud800",)}, UnicodeEncodeError),
    ("read", (b"x",), {"parameters": (2**70,)}, OverflowError),
    ("read", (memoryview(b"x"),), {"resume": (0, 0, 0), "complete_blocks": True}, ValueError),
    ("read", (b"x",), {"rows": 1}, TypeError),
    ("read", (b"x\0y",), {}, ValueError),
    ("read", (b"x",), {"resume": (1, 2)}, TypeError),
    ("read", (b"x",), {"resume": (0, 0, 0)}, ValueError),  # without complete_blocks
    ("read", (memoryview(b"x"),), {"windows": ()}, ValueError),
    ("read", (b"x",), {"windows": [(0, 1, 2)]}, TypeError),
    ("read", (b"x",), {"windows": ((0, 1),)}, TypeError),
    ("check", (b"x",), {}, TypeError),
    ("check", ("x", ()), {}, TypeError),
    ("check", (b"x", [(0, 1, 2)]), {}, TypeError),
    ("write", (b"x", "t", ["A"], VALUES), {}, TypeError),
    ("write", (b"x", 1, ["A"], VALUES, 12), {}, TypeError),
    ("write", (b"x", "t", ("A",), VALUES, 12), {}, TypeError),
    ("write", (b"x", "t", ["A", "B"], VALUES, 12), {}, ValueError),
    ("write", (b"x", "t", ["A"], VALUES, 12.0), {}, TypeError),
    ("write", (b"x", "t", ["A"], [1.0], 12), {}, TypeError),
    ("write", (b"x", "t", ["A"], memoryview(bytes(16)).cast("d"), 12), {}, ValueError),
    ("write", (b"x", "t", ["A"], memoryview(bytes(8)).cast("i", (2, 1)), 12), {}, ValueError),
    ("write", (b"x", "t", [1], VALUES, 12), {}, TypeError),
    ("unique_names", (("A",),), {}, TypeError),
    ("unique_names", ([1],), {}, TypeError),
    ("header_count", (b"h 1",), {}, TypeError),
    ("Rows", (), {}, TypeError),  # made by read alone
])
def test_wrong_arguments_raise_before_reading(entry, args, keywords, error):
    with pytest.raises(error):
        getattr(_core, entry)(*args, **keywords)


def test_failures_are_os_errors_or_located_read_failures(make_plot, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        read(tmp_path / "missing.plt")
    assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, str(tmp_path / "missing.plt"))
    with pytest.raises(IsADirectoryError):
        read(tmp_path)

    path = make_plot(plot_text([["1.0", "2.0"], ["3.0", "1.0D+05"]], names=["T", "P"]))
    with pytest.raises(_core.ReadFailure) as caught:
        read(path)
    fields = ("problem", "line", "block", "parameter", "name", "text", "width", "suggested_width")
    failure = caught.value
    assert tuple(getattr(failure, f) for f in fields) == (
        "not_a_number", 7, 1, 1, "P", "     1.0D+05", 12, 12)
    assert failure.wording.format(text=failure.text) == "'     1.0D+05' is not a number"
    # What pickle stores and restores; a real round trip would import the
    # package, and with it numpy, to find the type by its qualified name.
    cls, args, state = failure.__reduce__()
    assert (cls.__module__, cls.__qualname__) == ("torvask._core", "ReadFailure")
    copy = cls(*args)
    copy.__dict__.update(state)
    assert tuple(getattr(copy, f) for f in fields) == tuple(getattr(failure, f) for f in fields)

    with pytest.raises(_core.ReadFailure) as caught:
        read(make_plot("h 2\nT\n"))
    assert tuple(getattr(caught.value, f) for f in fields) == (
        "names_missing", 3, None, None, None, None, None, None)


def test_stub_declares_the_module_and_its_vocabulary():
    import ast
    import string
    from pathlib import Path

    stub = ast.parse((Path(__file__).parents[2] / "python/torvask/_core.pyi").read_text())
    declared = {node.name if not isinstance(node, ast.AnnAssign) else node.target.id: node
                for node in stub.body
                if isinstance(node, (ast.FunctionDef, ast.ClassDef, ast.AnnAssign))}
    assert set(declared) == {name for name in dir(_core) if not name.startswith("__")}
    attributes = [node.target.id for node in declared["ReadFailure"].body
                  if isinstance(node, ast.AnnAssign)]
    assert tuple(attributes) == _core.FAILURE_ATTRIBUTES
    assert set(_core.HEADER_UNWRITTEN) <= set(_core.PROBLEMS)
    for wording, option in _core.PROBLEMS.values():
        fields = {field for _, field, _, _ in string.Formatter().parse(wording) if field}
        assert fields <= {*_core.FAILURE_ATTRIBUTES} and ("option" in fields) == (option is not None)
