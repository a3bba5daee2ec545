"""The interpreter running out of memory at any point of a call.

`_testcapi.set_nomemory(k, k + 1)` makes the k-th allocation of the
interpreter's allocators fail, and only that one. Walking k from 0 until the
call behaves normally again fails each allocation of the call in turn, each in
a fresh child process: whether the exception type already exists, and whether
the process survives, depend on what came before."""

import json
import re
import signal

import pytest

from conftest import plot_text, run_python

FAULTED = """
import importlib.util, json, os, sys, _testcapi

def faulted(call, start):
    # Nothing but the call between setting and removing the hook, and only
    # local variables, which need no allocation.
    value = error = None
    _testcapi.set_nomemory(start, start + 1)
    try:
        value = call()
    except BaseException as e:
        error = e
    finally:
        _testcapi.remove_mem_hooks()
    return value, error
"""

CHILD = FAULTED + """
kind, start, path = os.environ["FAULT_KIND"], int(os.environ["FAULT_START"]), os.environ["FAULT_PATH"]
located = importlib.util.find_spec("novrel")
novrel = importlib.util.module_from_spec(located)
if kind != "import":
    located.loader.exec_module(novrel)
missing = path + ".missing"
calls = {
    "import": lambda: located.loader.exec_module(novrel),
    "result": lambda: novrel.rust_read_torvask(path, 2),
    "missing": lambda: novrel.rust_read_torvask(missing, 2),
    "index": lambda: novrel.rust_read_torvask(path, 1.5),
    "keyword": lambda: novrel.rust_read_torvask(path, 2, x=1),
    "path_type": lambda: novrel.rust_read_torvask(5, 2),
}
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(type(u.exc_value).__name__)

def outcome(call):
    try:
        return ["ok", call()]
    except BaseException as e:
        return [type(e).__name__, str(e)]

call = calls[kind]
value, error = faulted(call, start)
result = [type(error).__name__, str(error)] if error is not None else ["ok", value]
def import_again_and_call():
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module.rust_read_torvask(path, 2)

# The process goes on as if nothing had happened: the exception type is still
# there or is made now, and the same call gives its normal outcome.
again = outcome(import_again_and_call if kind == "import" else call)
print(json.dumps({"first": result, "unraisable": unraisable, "again": again}))
"""

NOT_FOUND = 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'
NULL = ["PanicException", "PyObject pointer is null"]
MEMORY_ERROR = ["MemoryError", ""]
PY_MEMORY_ERROR = "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }"
RESULT = ["ok", [[1.0, 4.0], [[2.0, 5.0], [3.0, 6.0]]]]

# Per kind of call: its normal outcome, and the other outcomes that a failed
# allocation leads to, each met at least once on the walk (besides the
# interpreter's own MemoryError).
KINDS = {
    "import": (["ok", None], [
        ["PanicException", "Failed to initialize new exception type.: " + PY_MEMORY_ERROR],
        ["PanicException", "could not append __name__ to __all__: " + PY_MEMORY_ERROR],
    ]),
    "result": (RESULT, [NULL]),
    "missing": (["PanicException", NOT_FOUND], [["abort"]]),
    "index": (["TypeError", "argument 'n_digits': 'float' object cannot be interpreted as an integer"],
              [NULL]),
    "keyword": (["TypeError", "rust_read_torvask() got an unexpected keyword argument 'x'"], [NULL]),
    "path_type": (["TypeError", "argument 'file_path': 'int' object is not an instance of 'str'"], [
        ["TypeError", "argument 'file_path': '<failed to extract type name>' object is not an instance of 'str'"],
        NULL]),
}
ABORT_TAIL = ("uncaught panic at ffi boundary\nstack backtrace:\n", "panic in a destructor during cleanup\n"
              "thread caused non-unwinding panic. aborting.\n")
REPORT = re.compile(r"\nthread '<unnamed>' \(\d+\) panicked at src/[\w/]+\.[ch]pp:\d+:\d+:\n(.*)\n")


def run_with_fault(kind, start, path):
    """One child: its outcome, the messages of its failure reports, and the
    outcome of the same call made again without a fault."""
    child = run_python(CHILD, env={"FAULT_KIND": kind, "FAULT_START": str(start), "FAULT_PATH": path})
    err = child.stderr.decode(errors="replace")
    reported = REPORT.findall(err)
    if child.returncode == -signal.SIGABRT:
        assert err.endswith(ABORT_TAIL[1]) and ABORT_TAIL[0] in err, err
        return ["abort"], reported, None
    assert child.returncode == 0, err
    data = json.loads(child.stdout)
    # A failed constructor's MemoryError goes to the unraisable hook, and
    # only there.
    assert data["unraisable"] == (["MemoryError"] if data["first"] == NULL else []), (start, data)
    return data["first"], reported, data["again"]


@pytest.mark.parametrize("kind", list(KINDS))
def test_each_failed_allocation_of_a_call(kind, make_plot):
    path = make_plot(plot_text([["1", "2", "3"], ["4", "5", "6"]], width=2))
    normal, others = KINDS[kind]
    base_reports = [NOT_FOUND] if kind == "missing" else []
    seen, calm, start = [], 0, 0
    while calm < 5:  # the normal outcome five times running: past the call
        assert start < 300, "the call never recovered"
        first, reported, again = run_with_fault(kind, start, path)
        if first == ["abort"]:
            # A failure while raising the exception into the interpreter: its
            # own report, then the trap's, then the abort.
            assert reported[:1] == base_reports and reported[-2:] == [
                "uncaught panic at ffi boundary", "panic in a destructor during cleanup"], reported
        else:
            assert first == normal or first == MEMORY_ERROR or first in others, (start, first)
            assert again == (normal if kind != "import" else RESULT), (start, again)
            new = [first[1]] if first[0] == "PanicException" and first != normal else []
            # The second call's report, if it has one, comes last.
            assert reported == base_reports + new + base_reports, (start, first, reported)
        calm = calm + 1 if first == normal else 0
        seen.append(first)
        start += 1
    # Each outcome of the walk, in short, should one ever be missed.
    assert [o for o in others if o not in seen] == [], " ".join(
        "%d:%.40s" % (k, o) for k, o in enumerate(seen))


TRACEBACK_CAUSE = FAULTED + """
located = importlib.util.find_spec("novrel")

# With no spare MemoryError left, the interpreter raises its one last-resort
# instance, which keeps the traceback of wherever it last went through
# Python code: a cause that comes with a traceback.
held = [MemoryError() for _ in range(64)]

def raise_in_python():
    _testcapi.raise_memoryerror()

try:
    raise_in_python()
except MemoryError:
    pass

def exec_failing_at(start):
    module = importlib.util.module_from_spec(located)
    # The new __all__ list comes from the lists' free list when that has
    # one, and is allocated otherwise; what a failed start left there would
    # shift the allocations of the next, and the walk could step over the
    # append. Filled, it gives every start the same allocations.
    full = [[] for _ in range(100)]
    del full
    return faulted(lambda: located.loader.exec_module(module), start)[1]

for start in range(200):
    error = exec_failing_at(start)
    if type(error).__name__ == "PanicException":
        print(error)
        break
"""


def test_cause_with_a_traceback_is_rendered_on_one_line():
    result = run_python(TRACEBACK_CAUSE)
    assert result.returncode == 0, result.stderr
    message = result.stdout.decode()[:-1]
    cause = "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: Some(\""
    assert message.startswith(("Failed to initialize new exception type.: " + cause,
                               "could not append __name__ to __all__: " + cause)), message
    assert message.endswith('") }') and "\n" not in message
    # The traceback module's lines, with newlines and quotes escaped.
    assert 'Some("Traceback (most recent call last):\\n  File \\"<string>\\", line ' in message
    assert "in raise_in_python\\n" in message


CORE_CHILD = FAULTED + """
import importlib.machinery, io
kind, path = sys.argv[1], sys.argv[2]
# The extension alone: the package around it needs numpy, which some interpreters lack.
folder = next(os.path.join(p, "torvask") for p in sys.path if os.path.isdir(os.path.join(p, "torvask")))
located = importlib.machinery.PathFinder.find_spec("_core", [folder])
core = importlib.util.module_from_spec(located)
located.loader.exec_module(core)
name, data = os.fsencode(path), open(path, "rb").read()
values = memoryview(bytes(8 * 6)).cast("d", (3, 2))
calls = {
    "import": lambda: located.loader.exec_module(importlib.util.module_from_spec(located)),
    "path": lambda: core.read(name, windows=()),
    "buffer": lambda: core.read(memoryview(data), parameters=(-1, "B"), start=-1, float64=False),
    "stream": lambda: core.read(io.BytesIO(data), threads=2),
    "failure": lambda: core.read(memoryview(data), parameters=("nope",)),
    "check": lambda: core.check(name, ((0, 4, 1),)),
    "write": lambda: core.write(name + b".out", "t", ["A", "B"], values, 12),
    "names": lambda: core.unique_names(["A", "A", "A.1"]),
    "header": lambda: core.header_count("Run 7 +3"),
}

def describe(value):
    if isinstance(value, BaseException):
        return [type(value).__name__, str(value), getattr(value, "problem", None)]
    if hasattr(value, "rows"):
        return repr([bytes(memoryview(value.rows)) if f == "rows" else getattr(value, f)
                     for f in ("title", "names", "rows", "width", "parameters", "first_block",
                               "block_step", "end", "identity", "changed", "fingerprints")])
    return repr(value)

def outcome():
    try:
        return describe(call())
    except BaseException as e:
        return describe(e)

call = calls[kind]
normal, odd, calm, k = outcome(), [], 0, 0
while calm < 20 and k < 5000:
    value, error = faulted(call, k)
    first = describe(error if error is not None else value)
    calm = calm + 1 if first == normal else 0
    if first not in (normal, ["MemoryError", "", None]) or outcome() != normal:
        odd.append([k, first, outcome()])
    k += 1
print(json.dumps({"normal": normal, "odd": odd, "walked": k}))
"""


@pytest.mark.parametrize("kind", ["import", "path", "buffer", "stream", "failure", "check",
                                  "write", "names", "header"])
def test_each_failed_allocation_of_a_core_call(kind, make_plot):
    # Each allocation of the call fails in turn: the call raises MemoryError
    # or gives its normal outcome, and the same call afterwards gives it.
    path = make_plot(plot_text([["1", "2", "3"], ["4", "5", "6"]], names=["A", "B", "C"]))
    child = run_python(CORE_CHILD, args=(kind, path))
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    data = json.loads(child.stdout)
    assert data["odd"] == [] and data["walked"] < 5000, data
