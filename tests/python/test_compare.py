"""torvask.compare: tolerances, NaN and infinities, names in one run only,
block counts, chosen blocks, on="time" and measured data, each through
slices of two blocks (of a stream, about 100 bytes) so that every case
crosses slice boundaries."""

import gzip
import math
import re

import pytest

from conftest import numpy_or_skip

np = numpy_or_skip()
import torvask  # noqa: E402
from torvask import _compare  # noqa: E402

T = np.arange(6.0)
A = {"TIME": T, "P": 2 * T, "Q": T**2}


def run(**changed):
    """A's columns with some replaced (None drops one), in A's order, then new ones."""
    columns = {**A, **changed}
    return {name: column for name, column in columns.items() if column is not None}


def at(column, **values):
    column = np.array(column, dtype=float)
    for block, value in values.items():
        column[int(block[1:])] = value
    return column


def rows(count, **changed):
    return {name: column[:count] for name, column in run(**changed).items()}


NAN_INF = at(A["P"], b1=math.nan, b2=math.inf)
COARSE = {"TIME": T[::2] + 0.5, "P": 2 * (T[::2] + 0.5), "Q": (T[::2] + 0.5) ** 2}
# case: b (or a and b), compare's keywords, (truth, {name: (differing, first block)}, only in a,
#       only in b, blocks of a and b, compared blocks)
CASES = {
    "equal": (run(), {}, (True, {}, (), (), (6, 6), 6)),
    "beyond atol": (run(P=at(A["P"], b3=6.1, b4=8.01)), dict(atol=0.05),
                    (False, {"P": (1, 3)}, (), (), (6, 6), 6)),
    "within atol": (run(P=at(A["P"], b3=6.1)), dict(atol=0.1 + 1e-12), (True, {}, (), (), (6, 6), 6)),
    "rtol of b": (run(Q=A["Q"] * (1 + 1e-7)), dict(rtol=1e-6), (True, {}, (), (), (6, 6), 6)),
    "rtol of an infinity": (run(P=at(A["P"], b2=math.inf)), dict(rtol=0.5),
                            (False, {"P": (1, 2)}, (), (), (6, 6), 6)),
    "no tolerance": (run(Q=A["Q"] * (1 + 1e-7)), {}, (False, {"Q": (5, 1)}, (), (), (6, 6), 6)),
    "NaN and infinity alike": ((run(P=NAN_INF), run(P=at(NAN_INF, b3=-math.inf))), {"atol": 1.0},
                               (False, {"P": (1, 3)}, (), (), (6, 6), 6)),
    "first parameter": (run(TIME=at(T, b5=5.5)), {}, (False, {"TIME": (1, 5)}, (), (), (6, 6), 6)),
    "names in one only": (run(Q=None, R=T), {}, (False, {}, ("Q",), ("R",), (6, 6), 6)),
    "chosen names": (run(Q=None, R=T), dict(parameters=["P"]), (True, {}, (), (), (6, 6), 6)),
    "chosen pattern": (run(Q=None), dict(parameters=["?"]), (False, {}, ("Q",), (), (6, 6), 6)),
    "fewer blocks": (rows(4, P=at(A["P"], b3=0)), {},
                     (False, {"P": (1, 3)}, (), (), (6, 4), 4)),
    "chosen blocks": (run(P=at(A["P"], b1=0)), dict(blocks=slice(-3, None)),
                      (True, {}, (), (), (3, 3), 3)),
    "on time": (COARSE, dict(on="time", rtol=1e-12),
                (False, {"Q": (4, 1)}, (), (), (6, 3), 4)),
    "on time linear": (COARSE, dict(on="time", parameters=["P"]), (True, {}, (), (), (6, 3), 4)),
    "measured data": ("TIME,P,Z\n0.5,1,7\n2.5,5,7\n3.5,,7\n", {},
                      (False, {"P": (1, 3)}, (), ("Z",), (6, 3), 3)),
}


@pytest.mark.parametrize("kind", ["path", "bytes", "gzip", "Plot"])
@pytest.mark.parametrize("case", CASES)
def test_compare(case, kind, tmp_path, monkeypatch):
    b, keywords, (truth, differing, only_a, only_b, blocks, compared) = CASES[case]
    monkeypatch.setattr(_compare, "SLICE_VALUES", 2 * (len(A) + 1))
    monkeypatch.setattr(_compare, "STREAM_BYTES", 100)  # a stream's block or two at a time
    a, b = b if isinstance(b, tuple) else (A, b)
    first = tmp_path / "a.plt"
    torvask.write(first, a, width=23)
    if isinstance(b, str):
        other = tmp_path / "b.csv"
        other.write_text(b)
    else:
        other = tmp_path / "b.plt"
        torvask.write(other, b, width=23)
    if kind == "bytes":
        first = memoryview(first.read_bytes())
    elif kind == "Plot":
        first = torvask.read(first)
    elif kind == "gzip":
        packed = tmp_path / "a.plt.gz"
        packed.write_bytes(gzip.compress(first.read_bytes()))
        first = packed
    result = torvask.compare(first, other, **keywords)
    assert (bool(result), result.only_a, result.only_b, result.blocks, result.compared) == (
        truth, only_a, only_b, blocks, compared)
    assert {d.name: (d.differing, d.block) for d in result.differing} == differing
    if case == "beyond atol":
        (p,) = result.differing
        assert (p.at, p.a, p.b, p.max_abs) == (3.0, 6.0, 6.1, pytest.approx(0.1))
        assert p.max_rel == pytest.approx(0.1 / 6.1)
        assert "P first differs at block 3 TIME=3.0: 6.0 vs 6.1 (1 of 6 values" in str(result)


def test_compare_refusals(tmp_path):
    torvask.write(tmp_path / "a.plt", A, width=23)
    torvask.write(tmp_path / "b.plt", run(TIME=at(T, b3=1.0)), width=23)
    with pytest.raises(ValueError, match="increasing, but block 3 has 1.0 after 2.0"):
        torvask.compare(tmp_path / "a.plt", tmp_path / "b.plt", on="time")
    with pytest.raises(KeyError, match="did you mean Q"):
        torvask.compare(tmp_path / "a.plt", tmp_path / "b.plt", parameters=["QQ"])
    with pytest.raises(ValueError, match="at least 0"):
        torvask.compare(tmp_path / "a.plt", tmp_path / "b.plt", atol=-1)


@pytest.mark.parametrize("stream", [False, True], ids=["path", "stream"])
def test_faults_as_read_finds_them(stream, tmp_path, monkeypatch):
    # Slices going on from where the last ended take a cut last block for an
    # unfinished one, and a stream's slices are read apart from its start:
    # the comparison must still fail as read() does, at the same place.
    monkeypatch.setattr(_compare, "SLICE_VALUES", 8)
    monkeypatch.setattr(_compare, "STREAM_BYTES", 100)
    torvask.write(tmp_path / "a.plt", A, width=23)
    whole = (tmp_path / "a.plt").read_bytes()
    faults = {"cut": whole[:-30], "bad": whole.replace(b"9.0000", b"9.x000"),
              "unended": whole[:-1]}
    for name, text in faults.items():
        (tmp_path / name).write_bytes(gzip.compress(text) if stream else text)
        if name == "unended":
            assert torvask.compare(tmp_path / "a.plt", tmp_path / name)
            continue
        with pytest.raises(torvask.FormatError) as raised:
            torvask.read(tmp_path / name)
        with pytest.raises(torvask.FormatError, match=re.escape(str(raised.value))):
            torvask.compare(tmp_path / "a.plt", tmp_path / name)
    cut = torvask.compare(tmp_path / "a.plt", tmp_path / "cut", complete_blocks=True)
    assert (bool(cut), cut.blocks, cut.differing) == (False, (6, 5), ())


def test_table(tmp_path):
    pandas = pytest.importorskip("pandas")
    torvask.write(tmp_path / "a.plt", A, width=23)
    frame = torvask.compare(tmp_path / "a.plt", torvask.read(tmp_path / "a.plt")).to_pandas()
    assert list(frame.index) == ["TIME", "P", "Q"] and frame["differing"].sum() == 0
    assert frame["block"].isna().all() and isinstance(frame, pandas.DataFrame)
