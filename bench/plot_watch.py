#!/usr/bin/env python3
"""`torvask plot` of one parameter with 1,000,000 blocks against its chosen
read, and the processor time of `torvask watch` on a file that does not grow.

    plot_watch.py [--quick] [--reps 5] [--idle-seconds 30] [--dir build/bench]

Figures only: the targets (plot at most 0.5 s beyond the read, matplotlib's
import not counted; watch idle under 2% of one core) are printed as met or
MISSED, nothing fails on a timing. The plot's time is that of the command's
main(), in this process with matplotlib imported and one figure drawn
before; the median of the repetitions. watch runs as a child on a
pseudo-terminal of 80x24, measured from /proc after it has settled.
"""

import argparse
import fcntl
import os
import pty
import select
import statistics
import struct
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
build = os.environ.get("NOVREL_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))

import peers  # noqa: E402  (the generated plot files, kept between runs)
import torvask  # noqa: E402
from torvask.__main__ import main  # noqa: E402

PLOT_TARGET, IDLE_TARGET = 0.5, 0.02


def plot_figures(path, out, reps):
    import matplotlib.backends.backend_agg  # noqa: F401  (imports not counted)
    import matplotlib.figure  # noqa: F401

    argv = ["plot", path, "-p", "PARAM0001", "-o", out]
    main(argv)  # fonts and caches, once
    reads, plots = [], []
    for _ in range(reps):
        t = time.perf_counter()
        torvask.read(path, parameters=["PARAM0001"])
        reads.append(time.perf_counter() - t)
        t = time.perf_counter()
        assert main(argv) == 0
        plots.append(time.perf_counter() - t)
    return statistics.median(reads), statistics.median(plots)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_share(path, seconds, settle=5.0):
    """The share of one core that watch takes over `seconds` once settled."""
    pid, fd = pty.fork()
    if pid == 0:
        os.environ["TERM"] = "xterm-256color"
        if build:
            os.environ["PYTHONPATH"] = os.path.abspath(build)
        os.execv(sys.executable, [sys.executable, "-m", "torvask", "watch", path])
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    shown = []

    def drain():  # the terminal's side: read whatever watch draws
        while True:
            try:
                ready, _, _ = select.select([fd], [], [], 0.5)
                if ready:
                    shown.append(len(os.read(fd, 65536)))
            except OSError:
                return

    threading.Thread(target=drain, daemon=True).start()
    time.sleep(settle)
    before, t = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    used, spent = cpu_seconds(pid) - before, time.monotonic() - t
    os.write(fd, b"q")
    _, status = os.waitpid(pid, 0)
    return used / spent, os.waitstatus_to_exitcode(status), sum(shown)


def main_bench():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100,000 blocks, 1 repetition, 10 s idle")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--idle-seconds", type=float, default=30.0)
    ap.add_argument("--dir", default="build/bench")
    args = ap.parse_args()
    blocks, reps, idle = ((100_000, 1, 10.0) if args.quick
                          else (1_000_000, args.reps, args.idle_seconds))
    print(f"load average {os.getloadavg()[0]:.2f}")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("  plot: no matplotlib here, skipped")
    else:
        path, _ = peers.plot_file(args.dir, 4, 12, blocks=blocks)
        read, plot = plot_figures(path, os.path.join(args.dir, "plot-bench.png"), reps)
        beyond = plot - read
        print(f"  plot of one parameter, {blocks} blocks: chosen read {read:.3f} s, "
              f"plot {plot:.3f} s, {beyond:.3f} s beyond the read "
              f"(target at most {PLOT_TARGET} s: {'met' if beyond <= PLOT_TARGET else 'MISSED'})")
    try:
        import textual  # noqa: F401
    except ImportError:
        print("  watch: no Textual here, skipped")
        return
    path, blocks = peers.plot_file(args.dir, 1000, 15, blocks=2000)
    share, code, drawn = idle_share(path, idle)
    print(f"  watch idle on {os.path.getsize(path) / 1e6:.0f} MB (N=1000, {blocks} blocks) "
          f"for {idle:.0f} s: {100 * share:.2f}% of one core, exit {code}, {drawn} bytes "
          f"drawn (target under {100 * IDLE_TARGET:.0f}%: "
          f"{'met' if share < IDLE_TARGET else 'MISSED'})")


if __name__ == "__main__":
    main_bench()
