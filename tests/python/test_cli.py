"""The command line: info, show and convert through main(argv) in this
process, their failure lines and exit statuses, a conversion per format
(under a progress bar too), and one run as `python -m torvask`."""

import io
import json
import signal
import subprocess
import sys

import pytest

from conftest import child_env, numpy_or_skip, plot_text

np = numpy_or_skip()
import torvask  # noqa: E402
from torvask import __main__ as cli  # noqa: E402

NAMES = ["TIME", "P", "P", "file"]  # file: a keyword of numpy.savez
VALUES = [[0.5 * b, 1e5 + b, -2.5e-3 * b, 300.0 + b] for b in range(6)]


@pytest.fixture
def files(tmp_path):
    def put(name, text):
        path = tmp_path / name
        path.write_text(text)
        return str(path)

    rows = [[f"{v:.5E}" for v in row] for row in VALUES]
    text = plot_text(rows, names=NAMES, header="run 7")
    return {"F": put("run.plt", text),
            "OTHER": put("other.plt", text.replace("3.04000E+02", "3.04500E+02")),
            "CUT": put("cut.plt", text[:-30]),
            "BAD": put("bad.plt", plot_text([["0.0", "x"]], names=["TIME", "P"])),
            "EMPTY": put("empty.plt", ""),
            "MISSING": str(tmp_path / "missing.plt"), "DIR": str(tmp_path)}


def run(argv, files, capsys):
    code = cli.main([a.format(**files) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


SUMMARY = "{F}: title 'run 7', width 12, 4 parameters, 6 blocks, TIME from 0.0 to 2.5\n"
TABLE = ("block  TIME   file\n"
         "    4   2.0  304.0\n"
         "    5   2.5  305.0\n")
CASES = [
    (["info", "{F}"], 0, SUMMARY, ""),
    (["{F}"], 0, SUMMARY, ""),  # no subcommand: info
    (["info", "--names", "{F}"], 0, SUMMARY + "      0  TIME\n      1  P\n      2  P.1\n      3  file\n",
     ""),
    (["info", "{F}", "{MISSING}", "{EMPTY}", "{F}"], 1, SUMMARY * 2,
     "{MISSING}: No such file or directory\n{EMPTY}, line 1: the file is empty"),
    (["show", "{F}", "-p", "file", "--blocks", "-2:"], 0, TABLE, ""),
    (["show", "{F}", "-p", "P.1", "P", "--blocks", "1:5:3", "--csv"], 0,
     "TIME,P.1,P\n0.5,-0.0025,100001.0\n2.0,-0.01,100004.0\n", ""),
    (["show", "{F}", "--blocks", "0"], 0, None, ""),
    (["show", "{F}", "-p", "NOPE"], 1, "", "no parameter 'NOPE' in {F}\n"),
    (["show", "{BAD}", "{DIR}"], 1, "",
     "{BAD}, line 5 (block 0, parameter 1 'P'): '           x' is not a number\n"
     "{DIR}: Is a directory\n"),
    (["show", "{F}", "--blocks", "1:x"], 2, "", "is not a slice"),
    (["show", "{F}", "--blocks", "::0"], 2, "", "must be at least 1"),
    (["convert", "{F}", "{DIR}/out.txt"], 2, "", "OUT must end in one of .npz, .csv"),
    (["info"], 2, "", "the following arguments are required: FILE"),
    (["convert", "{F}", "{DIR}/o.plt", "--width", "0"], 2, "", "not a width"),
    # The command line's own edges.
    (["show", "{F}", "{F}", "-p", "file", "--blocks", "-2:"], 0,
     "==> {F} <==\n" + TABLE + "\n==> {F} <==\n" + TABLE, ""),
    (["show", "{F}", "-p", "3", "--blocks", "-2:"], 0, TABLE, ""),
    (["show", "{F}", "-p", "-1", "fi*", "--blocks", "-2:"], 0, TABLE, ""),
    (["show", "{F}", "-p", "fiel"], 1, "", "no parameter 'fiel' in {F}; did you mean file?\n"),
    (["show", "{F}", "-p", "9"], 1, "", "{F}: there is no parameter 9 in a file of 4"),
    (["show", "{CUT}"], 1, "", "{CUT}, line 17 (block 5, parameter 1 'P'): the file ends inside "
                               "the data line ' 2.50000E+00 1.0000'; --complete-blocks reads"),
    (["frobnicate"], 2, "", "'frobnicate' is not a command (nor a file); the commands are info, "
                            "show, convert, diff"),
    (["{DIR}/frobnicate"], 1, "", "{DIR}/frobnicate: No such file or directory"),
    (["--version"], 0, "torvask " + torvask.__version__ + "\n", ""),
    (["diff", "{F}", "{F}"], 0,
     "{F} and {F} are equal within rtol 0, atol 0: 4 parameters, 6 blocks\n", ""),
    (["diff", "{F}", "{OTHER}", "--atol", "0.1", "-p", "fi*"], 1,
     "{F} and {OTHER} differ beyond rtol 0, atol 0.1: 1 of 2 parameters\n"
     "parameter  differ  of  max abs  max rel  block  TIME      a      b\n"
     "file            1   6      0.5  0.00164      4   2.0  304.0  304.5\n", ""),
    (["diff", "{F}", "{MISSING}"], 2, "", "{MISSING}: No such file or directory"),
    (["diff", "{F}", "{CUT}"], 2, "", "{CUT}, line 17 (block 5, parameter 1 'P')"),
    (["diff", "{F}", "{CUT}", "--complete-blocks"], 1,
     "{F} and {CUT} differ beyond rtol 0, atol 0: 6 and 5 blocks\n", ""),
    (["diff", "{F}"], 2, "", "torvask diff: error: give B, or measured data"),
    (["diff", "{F}", "{F}", "--rtol", "x"], 2, "", "not a tolerance"),
]


@pytest.mark.parametrize("argv, code, out, err", CASES, ids=[" ".join(c[0]) for c in CASES])
def test_commands(argv, code, out, err, files, capsys):
    try:
        got = run(argv, files, capsys)
    except SystemExit as exit:  # argparse's usage errors and --version
        got = (exit.code, *capsys.readouterr())
    assert got[0] == code
    if out is not None:
        assert got[1] == out.format(**files)
    if got[2].startswith("usage:"):
        assert err.format(**files) in got[2]
        return
    # One line per failing file; each expected line starts the line written.
    lines, wanted = got[2].splitlines(), err.format(**files).splitlines()
    assert len(lines) == len(wanted) and all(map(str.startswith, lines, wanted)), got[2]


def test_json(files, capsys):
    code, out, _ = run(["info", "--json", "--names", "{F}", "{F}"], files, capsys)
    lines = [json.loads(line) for line in out.splitlines()]
    assert code == 0 and lines == 2 * [{
        "path": files["F"], "title": "run 7", "width": 12, "parameters": 4, "blocks": 6,
        "names": ["TIME", "P", "P.1", "file"], "first": {"name": "TIME", "min": 0.0, "max": 2.5}}]
    code, out, _ = run(["info", "--json", "{EMPTY}", "{BAD}"], files, capsys)
    # info decodes parameter 0 alone: the bad value of parameter 1 goes unseen.
    assert code == 1 and json.loads(out)["first"] == {"name": "TIME", "min": 0.0, "max": 0.0}
    code, out, _ = run(["diff", "--json", "{F}", "{OTHER}", "-p", "3"], files, capsys)
    found = json.loads(out)
    assert (code, found["equal"], [p["differing"] for p in found["parameters"]]) == (1, False, [0, 1])


class Terminal(io.StringIO):
    def isatty(self):
        return True


def load(path, suffix):
    """The columns of a converted file, by name."""
    if suffix == ".npz":
        with np.load(path) as archive:
            return dict(archive)
    if suffix == ".csv":
        with open(path) as text:
            names = text.readline().strip().split(",")
            return dict(zip(names, np.loadtxt(text, delimiter=",", ndmin=2).T))
    if suffix == ".plt":  # the names as in the file: P.1 was written P
        plot = torvask.read(path)
        assert plot.width == 23 and plot.names == ("TIME", "file", "P")
        return dict(zip(["TIME", "file", "P.1"], plot.values.T))
    if suffix == ".parquet":
        import pandas
        frame = pandas.read_parquet(path).reset_index()
        return {name: frame[name].to_numpy() for name in frame}
    import xarray
    with (xarray.open_zarr(path) if suffix == ".zarr" else xarray.open_dataset(path)) as data:
        return {name: data[name].to_numpy() for name in data.variables}


@pytest.mark.parametrize("terminal", [False, True], ids=["plain", "with a bar"])
@pytest.mark.parametrize("suffix", list(cli.FORMATS))
def test_convert(suffix, terminal, files, capsys, monkeypatch):
    why = cli._missing(*cli.FORMATS[suffix][1])
    if why:
        pytest.skip(f"writing {suffix} needs a library here: {why}")
    bar = Terminal()
    if terminal:
        monkeypatch.setattr(cli, "PROGRESS_BYTES", 1)
        monkeypatch.setattr(sys, "stderr", bar)
    target = files["DIR"] + "/out" + suffix
    assert cli.main(["convert", files["F"], target, "-p", "file", "P.1", "--blocks=1:", "--width",
                     "23"]) == 0
    expected = torvask.read(files["F"], parameters=["file", "P.1"], blocks=slice(1, None))
    assert {k: list(v) for k, v in load(target, suffix).items()} == {
        k: list(v) for k, v in expected.items()}
    shown = bar.getvalue()
    if terminal:  # the read's bar, then the CSV rows' bar or a word on the writing, wiped
        assert "reading " in shown and shown.endswith("\r")
        assert ("100%" if suffix == ".csv" else f"writing {target} ...") in shown
    else:
        assert shown == ""


def test_missing_library(files, capsys, monkeypatch):
    # json for a library every environment has, i386's without xarray too.
    monkeypatch.setitem(cli.FORMATS, ".nc", (None, (("json",), ("no_such_netcdf",))))
    code, _, err = run(["convert", "{F}", "{DIR}/out.nc"], files, capsys)
    assert (code, err) == (1, f"{files['DIR']}/out.nc: writing .nc needs json with "
                              "no_such_netcdf: no_such_netcdf is not installed\n")


def test_child_interpreter(files, tmp_path):
    done = subprocess.run([sys.executable, "-m", "torvask", "info", "--json", files["F"],
                           files["MISSING"]], capture_output=True, text=True, env=child_env(),
                          timeout=120)
    assert done.returncode == 1 and json.loads(done.stdout)["blocks"] == 6
    assert done.stderr == f"{files['MISSING']}: No such file or directory\n"
    # A reader that stops early (`| head -1`) ends the command as it ends cat.
    torvask.write(tmp_path / "big.plt", {"TIME": np.arange(50_000.0)})
    with subprocess.Popen([sys.executable, "-m", "torvask", "show", str(tmp_path / "big.plt")],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env()) as show:
        show.stdout.readline()
        show.stdout.close()
        assert (show.wait(timeout=120), show.stderr.read()) == (-signal.SIGPIPE, b"")
