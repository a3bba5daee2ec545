"""Live uses of a growing file: follow(keep=True)'s history, and the watch
screen driven by Textual's pilot while a writer thread grows the file and
starts it again."""

import asyncio
import os
import threading
import time

import pytest

from conftest import numpy_or_skip, plot_text

np = numpy_or_skip()
import torvask  # noqa: E402


def _rows(blocks, scale=1.0):
    return [[f"{v:.5E}" for v in (b * 0.5, scale * (b + 1), scale * (3 - b), 7.0)]
            for b in range(blocks)]


def test_history_grows_without_changing_what_it_gave(tmp_path, make_plot):
    text = plot_text(_rows(300), names=["TIME", "A", "B", "C"]).encode()
    whole = torvask.read(make_plot(text), parameters=["B"])
    path = tmp_path / "run.plt"
    follower = torvask.follow(path, parameters=["B"], keep=True)
    assert follower.history.values.shape[0] == 0
    given = []
    with open(path, "wb") as out:
        for cut in range(0, len(text), 997):
            out.write(text[cut:cut + 997])
            out.flush()
            follower.poll()
            history = follower.history
            given.append((history, history.values.copy()))
    assert all(np.array_equal(h.values, copy) for h, copy in given)
    assert follower.history.blocks == range(300) and follower.history.columns == ("TIME", "B")
    assert np.array_equal(follower.history.values, whole.values)
    last = follower.history
    assert len(follower.poll().values) == 0 and follower.history is last  # nothing new

    os.truncate(path, 100)
    with pytest.raises(torvask.RestartedError, match="history of 300 blocks was dropped"):
        follower.poll()
    assert len(follower.history.values) == 0
    with pytest.raises(AttributeError, match="without keep=True"):
        torvask.follow(path).history


def test_watch_follows_a_growing_and_restarting_file(tmp_path):
    pytest.importorskip("textual")
    from torvask._watch import app_class

    path = tmp_path / "run.plt"

    async def scenario():
        app = app_class()(str(path), interval=0.02)
        async with app.run_test(size=(80, 24)) as pilot:
            await _until(pilot, app, "waiting for the file")
            await _grown(pilot, app, path, 40, "run 1", "blocks 40")
            screen = app.screen_text().splitlines()
            assert max(map(len, screen)) <= 80 and screen[0] == f"{path} - run 1"
            assert screen[1].startswith("blocks 40  TIME 19.5")
            assert [line.split()[:4] for line in screen[4:]] == [
                ["A", "40", "1", "40"], ["B", "-36", "-36", "3"], ["C", "7", "7", "7"]]
            spark = screen[4].split()[4]  # A grows steadily: so do its bars' means
            assert len(spark) == 80 - 17 - 3 * 13 and spark == "".join(sorted(spark))
            assert spark[0] == "▁" and spark[-1] == "█"

            path.unlink()  # the simulation starts again, and writes another run
            await _grown(pilot, app, path, 5, "run 2", "blocks 5 ")
            screen = app.screen_text().splitlines()
            assert "restarted" in screen[2] and screen[4].split()[:4] == ["A", "50", "10", "50"]
            await pilot.resize_terminal(50, 7)
            await pilot.pause(0.1)
            screen = app.screen_text().splitlines()
            assert max(map(len, screen)) <= 50 and "2 more" in screen[-1]
            await pilot.press("q")
        assert app.return_code == 0

    asyncio.run(scenario())


async def _grown(pilot, app, path, blocks, title, shown):
    """`path` written as a simulation writes it, the header first and then a
    block at a time, until the screen shows `shown`."""
    def grow(scale=1.0 if blocks == 40 else 10.0):
        lines = plot_text(_rows(blocks, scale), names=["TIME", "A", "B", "C"],
                          header=title).splitlines(keepends=True)
        with open(path, "w") as out:
            for start in [0, *range(5, len(lines), 2)]:
                out.writelines(lines[start:5 if start == 0 else start + 2])
                out.flush()
                time.sleep(0.005)

    writer = threading.Thread(target=grow)
    writer.start()
    try:
        await _until(pilot, app, shown)
    finally:
        writer.join()


async def _until(pilot, app, text, timeout=10.0):
    end = time.monotonic() + timeout
    while text not in app.screen_text():
        assert time.monotonic() < end, app.screen_text()
        await pilot.pause(0.02)
