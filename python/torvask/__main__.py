"""torvask: look into plot files, compare and convert them, from the command
line.

The console script ``torvask`` and ``python -m torvask`` are this module's
main(). info, show and convert go over their files one at a time: a file
that fails gets one line on standard error and the exit status becomes 1;
the other files are still done. diff exits 0 when the runs are equal within
the tolerances, 1 when they differ, and 2 when a file cannot be read. Usage
errors exit with status 2. When the reader of standard output goes away
(``| head``), the command ends quietly, killed by SIGPIPE as cat is.
"""

from __future__ import annotations

import argparse
import csv
import importlib
import importlib.util
import json
import os
import signal
import sys
import threading
import warnings
import zipfile
from collections.abc import Callable, Sequence
from typing import IO, Any, NamedTuple

import numpy as np

from . import Plot, __version__, read, write
from . import _arguments as check
from ._command import Unavailable, failure
from ._compare import Comparison, compare
from ._names import choose_parameters
from ._plot import Values, unique_names
from ._reading import header_names, read_found
from ._source import opened

EXAMPLES = """\
examples:
  torvask info run7.plt                   title, width, counts, span of the first parameter
  torvask info --names --json runs/*.plt  one JSON object a line, with every name
  torvask show run7.plt -p PRESSURE --blocks -10:
  torvask show run7.plt -p PRESSURE TEMPERATURE --blocks 100:200:10 --csv
  torvask convert run7.plt run7.nc        also .npz, .csv, .plt, .zarr, .parquet
  torvask convert run7.plt cut.plt -p PRESSURE --blocks :1000 --width 23
  torvask show a.plt b.plt -p 3 'PRESSURE-*' -1     by name, index or pattern
  torvask diff new.plt ref.plt --rtol 1e-6          exit 0 when equal, 1 when not
  torvask diff new.plt --data measured.csv --atol 0.5 --json
  torvask plot run7.plt run8.plt -p PRESSURE TEMPERATURE -o runs.png
  torvask watch run7.plt -p PRESSURE TEMPERATURE
"""

# Conversions of files at least this large show a progress bar on a terminal.
PROGRESS_BYTES = 64 << 20
# Show rows are formatted this many at a time, so a long column streams out.
SHOW_ROWS = 4096


def info(path: str, width: int | None = None, *, complete_blocks: bool = False
         ) -> dict[str, Any]:
    """What ``torvask info`` tells of one plot file, read without decoding
    any value but those of parameter 0: ``path``, ``title``, ``width``,
    ``parameters`` (the count), ``blocks`` (the count, from the newline scan
    that finds the block starts), ``names``, and ``first``: parameter 0's
    column name with its ``min`` and ``max`` (NaN passed over; None where
    there is no block or only NaN)."""
    with opened(path) as found:
        plot, result = read_found(found, width, True, [0], (None, None, 1), 1, complete_blocks)
    title, names, found_width = plot.title, result.names, plot.width
    first: Values = plot.values[:, 0]
    low = high = None
    if len(first) and not np.isnan(first).all():
        low, high = float(np.nanmin(first)), float(np.nanmax(first))
    return {"path": path, "title": title, "width": found_width, "parameters": len(names),
            "blocks": len(first), "names": unique_names(names),
            "first": {"name": unique_names(names)[0], "min": low, "max": high}}


def _info_lines(summary: dict[str, Any], names: bool) -> list[str]:
    first = summary["first"]
    line = (f"{summary['path']}: title {summary['title']!r}, width {summary['width']}, "
            f"{summary['parameters']} parameters, {summary['blocks']} blocks")
    if first["min"] is not None:
        line += f", {first['name']} from {first['min']!r} to {first['max']!r}"
    lines = [line]
    if names:
        lines += [f"  {j:>5}  {name}" for j, name in enumerate(summary["names"])]
    return lines


def _json_number(value: float | None) -> float | None:
    # JSON has no NaN or infinity; such a span end is null.
    return value if value is not None and np.isfinite(value) else None


def _run_info(options: argparse.Namespace, path: str, out: IO[str]) -> None:
    summary = info(path, options.input_width, complete_blocks=options.complete_blocks)
    if options.json:
        first = summary["first"]
        first["min"], first["max"] = _json_number(first["min"]), _json_number(first["max"])
        if not options.names:
            del summary["names"]
        out.write(json.dumps(summary) + "\n")
    else:
        out.write("\n".join(_info_lines(summary, options.names)) + "\n")


def parameters_of(path: str, words: Sequence[str] | None, width: int | None = None,
                  complete_blocks: bool = False) -> list[str | int] | None:
    """What ``-p``'s `words` choose in the file at `path` (see
    choose_parameters: exact names, then indices, then patterns), for
    read()'s ``parameters``; None, all, without words. The names come from a
    read of the header alone; a stream (a pipe, a compressed file) is not
    read twice, so there the words go to read() as they are, names only."""
    if words is None:
        return None
    with opened(path) as found:
        if not found.seekable:
            literal: list[str | int] = list(words)
            return literal
        columns = header_names(found, width, complete_blocks)
    # Parameter 0 comes first whether chosen or not.
    return [name for name in choose_parameters(columns, words, found.shown)
            if name != columns[0]]


def _read_chosen(options: argparse.Namespace, path: str, blocks: slice | None = None) -> Plot:
    chosen = parameters_of(path, options.parameters, options.input_width,
                           options.complete_blocks)
    return read(path, options.input_width, parameters=chosen,
                blocks=options.blocks if blocks is None else blocks,
                complete_blocks=options.complete_blocks)


def _text(value: float) -> str:
    # repr is the shortest text that reads back as the same value: a file's
    # nine digits stay nine, and nothing is invented past them.
    return repr(value)


def _run_show(options: argparse.Namespace, path: str, out: IO[str]) -> None:
    plot = _read_chosen(options, path)
    if len(options.files) > 1:
        # As head(1) heads each file's lines, a blank line between files.
        between = "\n" if getattr(options, "headed", False) else ""
        out.write(f"{between}==> {path} <==\n")
        options.headed = True
    if options.csv:
        _write_csv(out, plot.columns, plot.values)
        return
    headers = ["block", *plot.columns]
    widths = [len(h) for h in headers]
    for start in range(0, max(len(plot.values), 1), SHOW_ROWS):
        part = plot.values[start:start + SHOW_ROWS].tolist()
        rows = [[str(plot.blocks[start + i]), *map(_text, row)] for i, row in enumerate(part)]
        # Widths grow chunk by chunk and never shrink, so columns stay
        # aligned unless a later chunk holds a longer text.
        widths = [max(w, *(len(r[j]) for r in rows)) if rows else w
                  for j, w in enumerate(widths)]
        lines = [headers] if start == 0 else []
        out.writelines("  ".join(t.rjust(w) for t, w in zip(row, widths)) + "\n"
                       for row in lines + rows)


def _write_csv(out: IO[str], columns: Sequence[str], values: Values,
               bar: _Progress | None = None) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    for start in range(0, len(values), SHOW_ROWS):
        writer.writerows(values[start:start + SHOW_ROWS].tolist())
        if bar is not None:
            bar.advance(len(values[start:start + SHOW_ROWS]))


class _Progress:
    """A bar on a terminal: ``label [#####.....]  45%``, redrawn in place and
    wiped when done."""

    def __init__(self, stream: IO[str], label: str, total: int) -> None:
        self.stream, self.label, self.total, self.done = stream, label, max(total, 1), 0
        self.shown = 0
        self.advance(0)

    def advance(self, count: int) -> None:
        self.done += count
        share = min(self.done / self.total, 1.0)
        bar = "#" * round(30 * share)
        text = f"\r{self.label} [{bar:.<30}] {share:4.0%}"
        self.shown = len(text) - 1
        self.stream.write(text)
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\r" + " " * self.shown + "\r")
        self.stream.flush()


def _unusable(name: str) -> str | None:
    """Why module `name` cannot be used, or None when it imports."""
    if importlib.util.find_spec(name) is None:
        return f"{name} is not installed"
    try:
        importlib.import_module(name)
    except Exception as error:  # a broken install fails in any way at all
        return f"{name} fails to import ({type(error).__name__}: {error})"
    return None


def _missing(*groups: tuple[str, ...]) -> str | None:
    """None when each group has a module that imports, else why not."""
    for group in groups:
        reasons = [_unusable(name) for name in group]
        if all(reasons):
            return "; ".join(r for r in reasons if r)
    return None


def _write_npz(out: str, plot: Plot, width: int | None) -> None:
    # numpy.savez's archive, written here: its keywords (file, allow_pickle)
    # would clash with columns of those names.
    with zipfile.ZipFile(out, "w", allowZip64=True) as archive:
        for name, column in plot.items():
            with archive.open(name + ".npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.ascontiguousarray(column))


def _write_plt(out: str, plot: Plot, width: int | None) -> None:
    write(out, plot, width=width or plot.width or 15)


def _write_nc(out: str, plot: Plot, width: int | None) -> None:
    plot.to_xarray().to_netcdf(out)


def _write_zarr(out: str, plot: Plot, width: int | None) -> None:
    with warnings.catch_warnings():
        # zarr 3 warns that consolidated metadata (which xarray writes, and
        # reads first) is not in its format 3; xarray and zarr read it back.
        warnings.filterwarnings("ignore", "Consolidated metadata", UserWarning)
        plot.to_xarray().to_zarr(out, mode="w")


def _write_parquet(out: str, plot: Plot, width: int | None) -> None:
    plot.to_pandas().to_parquet(out)


Writer = Callable[[str, Plot, int | None], None]
# By suffix: the writer, and the modules it needs (one of each group).
FORMATS: dict[str, tuple[Writer | None, tuple[tuple[str, ...], ...]]] = {
    ".npz": (_write_npz, ()),
    ".csv": (None, ()),  # written here, rows a few thousand at a time
    ".plt": (_write_plt, ()),
    ".nc": (_write_nc, (("xarray",), ("netCDF4", "scipy"))),
    ".zarr": (_write_zarr, (("xarray",), ("zarr",))),
    ".parquet": (_write_parquet, (("pandas",), ("pyarrow", "fastparquet"))),
}


def _bytes_read() -> int | None:
    """The bytes this process has taken in through read calls so far (Linux's
    rchar, all threads together), or None where that is not to be had."""
    try:
        with open("/proc/self/io", "rb") as counters:
            for line in counters:
                if line.startswith(b"rchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _read_watched(options: argparse.Namespace, path: str, progress: IO[str] | None) -> Plot:
    """The chosen read of `path`, with a bar on `progress`, when given, that
    follows the bytes read meanwhile. One thread reads each byte of a file
    once (a chosen read stops at its last block), so the file's size bounds
    the count and the bar costs the read nothing; reading in chunks of
    blocks instead would scan the file again up to each chunk."""
    start = _bytes_read() if progress is not None else None
    if progress is None or start is None:
        return _read_chosen(options, path)
    outcome: list[Plot | BaseException] = []

    def work() -> None:
        try:
            outcome.append(_read_chosen(options, path))
        except BaseException as error:  # carried to the main thread, raised there
            outcome.append(error)

    # A daemon thread: Ctrl-C in the main thread ends the process without
    # waiting for the read.
    reader = threading.Thread(target=work, name="torvask-read", daemon=True)
    bar = _Progress(progress, f"reading {path}", os.stat(path).st_size)
    try:
        reader.start()
        while reader.is_alive():
            reader.join(0.1)
            bar.advance((_bytes_read() or start) - start - bar.done)
    finally:
        bar.close()
    if isinstance(outcome[0], BaseException):
        raise outcome[0]
    return outcome[0]


def _run_convert(options: argparse.Namespace, path: str, out: IO[str]) -> None:
    target = options.out
    suffix = os.path.splitext(target.rstrip("/"))[1].lower()
    writer, needs = FORMATS[suffix]
    missing = _missing(*needs)
    if missing:
        wanted = " with ".join(" or ".join(group) for group in needs)
        raise Unavailable(f"{target}: writing {suffix} needs {wanted}: {missing}")
    large = sys.stderr.isatty() and os.stat(path).st_size >= PROGRESS_BYTES
    progress = sys.stderr if large else None
    plot = _read_watched(options, path, progress)
    if writer is None:
        with open(target, "w", encoding="utf-8", newline="") as text:
            bar = None if progress is None else _Progress(progress, f"writing {target}",
                                                          len(plot.values))
            try:
                _write_csv(text, plot.columns, plot.values, bar)
            finally:
                if bar is not None:
                    bar.close()
        return
    if progress is not None:
        progress.write(f"writing {target} ...")
        progress.flush()
    try:
        writer(target, plot, options.width)
    finally:
        if progress is not None:
            progress.write("\r" + " " * (len(target) + 12) + "\r")


def _out(text: str) -> str:
    suffix = os.path.splitext(text.rstrip("/"))[1].lower()
    if suffix not in FORMATS:
        raise argparse.ArgumentTypeError(f"OUT must end in one of {', '.join(FORMATS)}, "
                                         f"not {text!r}")
    return text


def _csv(text: str) -> str:
    if not text.lower().endswith(".csv"):
        raise argparse.ArgumentTypeError(f"measured data come in a .csv file, not {text!r}")
    return text


def _diff_lines(result: Comparison) -> list[str]:
    """The summary line, a table of the parameters that differ, and the
    names in one run only."""
    lines = [str(result).splitlines()[0]]
    rows = [(d.name, str(d.differing), str(d.compared), f"{d.max_abs:.6g}", f"{d.max_rel:.3g}",
             str(d.block), repr(d.at), repr(d.a), repr(d.b)) for d in result.differing]
    if rows:
        table = [("parameter", "differ", "of", "max abs", "max rel", "block", result.axis,
                  "a", "b"), *rows]
        widths = [max(len(row[j]) for row in table) for j in range(len(table[0]))]
        lines += ["  ".join(t.ljust(w) if j == 0 else t.rjust(w)
                            for j, (t, w) in enumerate(zip(row, widths))).rstrip()
                  for row in table]
    for side, names in ((result.a, result.only_a), (result.b, result.only_b)):
        if names:
            lines.append(f"only in {side}: {', '.join(names)}")
    return lines


def _run_diff(options: argparse.Namespace) -> int:
    others = [o for o in (options.b, options.data) if o is not None]
    if not others:
        print("torvask diff: error: give B, or measured data with --data FILE.csv",
              file=sys.stderr)
        return 2
    differ = False
    for other in others:
        try:
            result = compare(options.a, other, rtol=options.rtol, atol=options.atol,
                             parameters=options.parameters, blocks=options.blocks,
                             on=options.on, width=options.input_width,
                             complete_blocks=options.complete_blocks)
        except BrokenPipeError:
            raise
        except (OSError, ValueError, KeyError, IndexError, MemoryError) as error:
            # compare's own ValueErrors name their file.
            message = str(error) if type(error) is ValueError else failure(options.a, error)
            print(message, file=sys.stderr, flush=True)
            return 2
        if options.json:
            sys.stdout.write(json.dumps(result.to_dict()) + "\n")
        else:
            sys.stdout.write("\n".join(_diff_lines(result)) + "\n")
        differ = differ or not result
    return 1 if differ else 0


def _each(run: Callable[[argparse.Namespace, str, IO[str]], None]
          ) -> Callable[[argparse.Namespace], int]:
    """A command that does each FILE in turn: a file that fails gets one line
    on standard error, and the others are still done."""
    def each(options: argparse.Namespace) -> int:
        failed = False
        for path in options.files:
            try:
                run(options, path, sys.stdout)
                sys.stdout.flush()
            except BrokenPipeError:
                raise
            except (OSError, ValueError, KeyError, IndexError, MemoryError,
                    Unavailable) as error:
                sys.stdout.flush()
                print(failure(path, error), file=sys.stderr, flush=True)
                failed = True
        return 1 if failed else 0
    return each


def _info_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", metavar="FILE", nargs="+")
    parser.add_argument("--names", action="store_true", help="list every name")
    parser.add_argument("--json", action="store_true",
                        help="one JSON object a line per file (NaN and infinities as null)")


def _show_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", metavar="FILE", nargs="+")
    parser.add_argument("--csv", action="store_true", help="CSV, with a header of names")


def _convert_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", metavar="FILE", nargs=1)
    parser.add_argument("out", metavar="OUT", type=_out)
    parser.add_argument("--width", type=check.width_text, metavar="W",
                        help="the field width of a .plt OUT (by default the input's)")


def _diff_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("a", metavar="A")
    parser.add_argument("b", metavar="B", nargs="?",
                        help="the run to compare A with (or give --data)")
    parser.add_argument("--rtol", type=check.tolerance_text, default=0.0, metavar="X",
                        help="relative tolerance: values differ beyond atol + rtol*|B| (0)")
    parser.add_argument("--atol", type=check.tolerance_text, default=0.0, metavar="X",
                        help="absolute tolerance (0)")
    parser.add_argument("--on", choices=("block", "time"), default="block",
                        help="pair values by block number, or interpolate B linearly at "
                             "A's first parameter where the two overlap (both increasing)")
    parser.add_argument("--data", type=_csv, metavar="CSV",
                        help="compare A with measured data (first column the time, the "
                             "others named as parameters), on the time")
    parser.add_argument("--json", action="store_true", help="one JSON object")


def _plot_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", metavar="FILE", nargs="+")
    parser.add_argument("-o", "--out", metavar="OUT",
                        help="the picture, by its suffix (default: the first FILE's name, .png)")
    parser.add_argument("--x", metavar="NAME", help="the column along x (default: the first)")
    parser.add_argument("--data", metavar="CSV", help="measurements to draw as markers: a "
                        "time column, then columns named as parameters")


def _watch_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", metavar="FILE", nargs=1)
    parser.add_argument("-p", "--parameters", nargs="+", action="extend", metavar="NAME",
                        help="the parameters to show (default: those after the first that fit)")
    parser.add_argument("--interval", type=float, default=1.0, metavar="SECONDS",
                        help="seconds between polls (default: 1)")


def _run_plot(options: argparse.Namespace) -> int:
    from ._plotting import run  # imports matplotlib, which other commands do without
    return run(options)


def _run_watch(options: argparse.Namespace) -> int:
    from ._watch import run  # imports Textual
    return run(options)


class Command(NamedTuple):
    """A subcommand: its help, the groups of shared options it takes
    ("common": --input-width and --complete-blocks; "choose": -p and
    --blocks), what adds its own arguments, and what runs it, giving the exit
    status."""
    help: str
    parents: tuple[str, ...]
    arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


COMMANDS: dict[str, Command] = {
    "info": Command("title, width, counts and span of the first parameter (the count of "
                    "blocks without decoding values)", ("common",), _info_arguments,
                    _each(_run_info)),
    "show": Command("print columns as an aligned table, or CSV", ("common", "choose"),
                    _show_arguments, _each(_run_show)),
    "convert": Command("convert by OUT's suffix: " + ", ".join(FORMATS)
                       + " (.nc, .zarr and .parquet where their libraries are installed)",
                       ("common", "choose"), _convert_arguments, _each(_run_convert)),
    "diff": Command("compare run A with run B, or with measured data, within tolerances; "
                    "exit 0 when equal, 1 when not, 2 on an error", ("common", "choose"),
                    _diff_arguments, _run_diff),
    "plot": Command("draw parameters of one or more files to a PNG, SVG or PDF (needs "
                    "matplotlib)", ("common", "choose"), _plot_arguments, _run_plot),
    "watch": Command("a live view of a file that a simulation is writing (needs Textual)",
                     ("common",), _watch_arguments, _run_watch),
}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="torvask", description="Look into TORVASK plot files, compare and convert them.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--input-width", type=check.width_text, metavar="W",
                        help="the input's field width in bytes (by default the first data "
                             "line's length over its fields)")
    common.add_argument("--complete-blocks", action="store_true",
                        help="read the complete blocks of a file that ends inside one")
    choose = argparse.ArgumentParser(add_help=False)
    choose.add_argument("-p", "--parameters", nargs="+", action="extend", metavar="NAME",
                        help="the columns to take: exact names, then indices (3, -1), then "
                             "shell-style patterns ('PRESSURE-*'); parameter 0 always comes "
                             "first (default: all)")
    choose.add_argument("--blocks", type=check.blocks_text, metavar="SLICE",
                        help="the blocks to take, in Python's slice syntax: 10:20, -100:, ::10")
    parents = {"common": common, "choose": choose}
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, command in COMMANDS.items():
        examples = "\n".join(line for line in EXAMPLES.splitlines()[1:]
                             if line.split()[1] == name)
        sub = commands.add_parser(name, help=command.help, description=command.help,
                                  parents=[parents[p] for p in command.parents],
                                  epilog=f"examples:\n{examples}" if examples else None,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        command.arguments(sub)
    return parser


def _killed_by_sigpipe() -> int:
    """Ends as cat does when the reader of its output goes (`| head`):
    quietly, with the status of a process killed by SIGPIPE."""
    # The interpreter must not fail again flushing standard output at exit.
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + 13  # where there is no such signal, the status a shell would show


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    # "--blocks -10:" would be taken for an option; fused, it is a value.
    for i in range(len(args) - 2, -1, -1):
        if args[i] == "--blocks":
            args[i:i + 2] = [f"--blocks={args[i + 1]}"]
    parser = _parser()
    if args and args[0] not in COMMANDS and not args[0].startswith("-"):
        # `torvask FILE...` is info, the first look it always gave; a word
        # that names no file and looks like no path is a mistyped command.
        if not any(c in args[0] for c in "/.") and not os.path.exists(args[0]):
            parser.error(f"{args[0]!r} is not a command (nor a file); the commands are "
                         f"{', '.join(COMMANDS)}")
        args.insert(0, "info")
    options = parser.parse_args(args)
    try:
        code = COMMANDS[options.command].run(options)
        sys.stdout.flush()
    except BrokenPipeError:
        return _killed_by_sigpipe()
    return code


if __name__ == "__main__":
    sys.exit(main())
