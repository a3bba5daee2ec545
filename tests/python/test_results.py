"""The result tuple: shapes, exact float32 values, and concurrent calls."""

import math
import random

import pytest

from conftest import float32_of, plot_text

WORKED_EXAMPLE = ("Run 7 plot data                3\nTIME\nPRESSURE\nTEMPERATURE\n"
                  "   1\n 0.00000E+00 1.01325E+05 2.93150E+02\n   2\n 1.00000E+01 1.02000E+05 2.95000E+02\n")


def test_worked_example(novrel, make_plot):
    result = novrel.rust_read_torvask(make_plot(WORKED_EXAMPLE), 12)
    assert type(result) is tuple
    assert result == ([0.0, 10.0], [[101325.0, 102000.0], [293.1499938964844, 295.0]])
    first, columns = result
    assert type(first) is list and all(type(v) is float for v in first)
    assert type(columns) is list and all(type(c) is list for c in columns)


@pytest.mark.parametrize("n,blocks,expected", [
    (3, 0, ([], [[], []])),
    (1, 2, ([1.0, 1.0], [])),
    (1, 0, ([], [])),
    (11, 1, ([1.0], [[1.0]] * 10)),
])
def test_shapes(novrel, make_plot, n, blocks, expected):
    rows = [["1"] * n for _ in range(blocks)]
    names = ["P%d" % j for j in range(n)]
    path = make_plot(plot_text(rows, width=4, names=names))
    assert novrel.rust_read_torvask(path, 4) == expected


@pytest.mark.parametrize("text,expected", [
    ("0.1", 0.10000000149011612),
    ("-2.5e-3", -0.0024999999441206455),
    ("3.4028235e38", 3.4028234663852886e38),
    ("1e39", math.inf),
    ("-inf", -math.inf),
    ("1e-46", 0.0),
    ("1.4e-45", 1.401298464324817e-45),
])
def test_values_are_float32_widened_exactly(novrel, make_plot, text, expected):
    (first,), _ = novrel.rust_read_torvask(make_plot(plot_text([[text]], width=16)), 16)
    assert first == expected and float32_of(text) == expected


def test_nan_survives(novrel, make_plot):
    (first,), _ = novrel.rust_read_torvask(make_plot(plot_text([["nan"]], width=8)), 8)
    assert math.isnan(first)


def random_field(rng, width):
    digits = width - 7 if width >= 9 else 1
    value = rng.choice((-1, 1)) * 10.0 ** rng.uniform(-40, 39) * rng.random()
    return ("{: .%dE}" % digits).format(value)[:width]


@pytest.mark.parametrize("width,n,blocks", [(12, 23, 40), (15, 10, 25), (9, 7, 30)])
def test_generated_file_matches_an_independent_reading(novrel, make_plot, width, n, blocks):
    rng = random.Random(width * 1000 + n)
    rows = [[random_field(rng, width) for _ in range(n)] for _ in range(blocks)]
    first, columns = novrel.rust_read_torvask(make_plot(plot_text(rows, width=width)), width)
    expected = [[float32_of(row[j]) for row in rows] for j in range(n)]
    assert first == expected[0]
    assert columns == expected[1:]
