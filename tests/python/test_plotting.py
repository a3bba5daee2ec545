"""Drawing parameters: the lines drawn hold the file's values, a long series
reduced to its lows and highs per pixel column keeps every peak, and
`torvask plot` puts several files and measurements in one figure."""

import sys

import pytest

from conftest import numpy_or_skip, plot_text

np = numpy_or_skip()
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import torvask  # noqa: E402
from torvask import __main__ as cli  # noqa: E402
from torvask import _plotting  # noqa: E402


def _file(path, blocks, peak):
    rng = np.random.default_rng(blocks)
    values = np.column_stack([np.arange(blocks) * 0.5, rng.normal(1e5, 10, blocks),
                              rng.normal(300, 1, blocks)])
    values[peak] = [peak * 0.5, 2e5, -40.0]  # one peak up in P1, one down in P2
    path.write_text(plot_text([[f"{v:.5E}" for v in row] for row in values],
                              names=["TIME", "P1", "P2"], header=f"run {blocks}"))
    return torvask.read(path)


def test_drawn_lines_hold_the_files_values(tmp_path, capsys, monkeypatch):
    short, long = _file(tmp_path / "a.plt", 50, 20), _file(tmp_path / "b.plt", 30_000, 12_345)
    axes = long.plot("P1", "P2")
    for panel, name in zip(axes, ["P1", "P2"]):
        (line,) = panel.lines
        drawn = line.get_xydata()
        # Two points a pixel column at most, each one of the file's, and
        # the extremes among them.
        assert len(drawn) <= 2 * panel.bbox.width + 2
        rows = {(x, y) for x, y in zip(long["TIME"], long[name])}
        assert all((x, y) in rows for x, y in drawn)
        assert (drawn[:, 1].min(), drawn[:, 1].max()) == (long[name].min(), long[name].max())
        assert np.all(np.diff(drawn[:, 0]) >= 0)
    ax = short.plot("P1", "P2", ax=matplotlib.pyplot.figure().gca())
    assert [line.get_label() for line in ax.lines] == ["P1 (a.plt)", "P2 (a.plt)"]
    assert np.array_equal(ax.lines[1].get_xydata(), short.values[:, [0, 2]])
    matplotlib.pyplot.close("all")

    drawn = []
    monkeypatch.setattr(_plotting, "figure_of",
                        lambda *a, f=_plotting.figure_of: drawn.append(f(*a)) or drawn[-1])
    data = tmp_path / "measured.csv"
    data.write_text("time,P2,OTHER\n1.0,299.5,7\n2.5,,8\n")
    a, b = str(tmp_path / "a.plt"), str(tmp_path / "b.plt")
    assert cli.main(["plot", a, b, "-p", "P2", "--data", str(data), "--blocks", ":40"]) == 0
    assert capsys.readouterr().out == f"wrote {tmp_path / 'a.png'}\n"
    assert (tmp_path / "a.png").read_bytes().startswith(b"\x89PNG")
    (panel,) = drawn[0].axes
    assert [line.get_label() for line in panel.lines] == [a, b, str(data)]
    assert np.array_equal(panel.lines[1].get_xydata(), long.values[:40, [0, 2]])
    assert np.array_equal(panel.lines[2].get_xydata(), [[1.0, 299.5], [2.5, np.nan]],
                          equal_nan=True)
    assert (panel.get_ylabel(), drawn[0].get_suptitle()) == ("P2", "run 50\nrun 30000")

    assert cli.main(["plot", a, "-o", str(tmp_path / "a.xyz")]) == 2  # before any read
    assert "OUT must end in one of" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["plot", a, "-o", str(tmp_path / "x.svg")]) == 1
    assert "torvask plot needs matplotlib (Debian: python3-matplotlib)" in capsys.readouterr().err
