"""The module object, the function object and the execution function."""

import importlib.util
import inspect

from conftest import FREE_THREADED, core_path, run_python

import pytest

DOC_TAIL = "    the data stored in a vector of columns/vectors.\n"


def test_module_attributes(novrel):
    assert novrel.__name__ == "novrel"
    assert novrel.__doc__ == ""
    assert novrel.__all__ == ["rust_read_torvask"]
    assert not hasattr(novrel, "PanicException")


def test_function_object(novrel):
    f = novrel.rust_read_torvask
    assert (f.__name__, f.__qualname__, f.__module__) == ("rust_read_torvask",) * 2 + ("novrel",)
    assert f.__self__ is None  # a static method: no module as self
    assert f.__text_signature__ == "(file_path, n_digits)"
    assert list(inspect.signature(f).parameters) == ["file_path", "n_digits"]


def test_docstring(novrel):
    doc = novrel.rust_read_torvask.__doc__
    assert doc.startswith("# Reads in the torvask file.\n\n1. First opens the\n")
    assert doc.endswith(DOC_TAIL)
    assert "1. 6 digits of percision, n_digits=12\n" in doc
    # With the signature line and the "--\n\n" marker the docstring is 616 bytes.
    assert len(("rust_read_torvask(file_path, n_digits)\n--\n\n" + doc).encode()) == 616


IMPORT_BOTH = """
import importlib.util, sys
import novrel
found = importlib.util.spec_from_file_location("_core", sys.argv[1])
found.loader.exec_module(importlib.util.module_from_spec(found))
print(sys._is_gil_enabled())
"""


# A free-threaded interpreter turns the GIL back on for an extension that does
# not declare it can run without, and says so in a RuntimeWarning, which
# -W error makes fatal. A regular interpreter always has the GIL: there the
# imports must still be free of warnings.
def test_imports_leave_the_gil_as_it_was():
    result = run_python(IMPORT_BOTH, args=[core_path()], flags=["-W", "error"])
    assert (result.stderr, result.stdout) == (b"", b"%r\n" % (not FREE_THREADED))


def fresh_module():
    """A new module object from the definition, not yet executed."""
    module_spec = importlib.util.find_spec("novrel")
    return module_spec, importlib.util.module_from_spec(module_spec)


def test_each_module_object_gets_its_own_function(novrel):
    module_spec, module = fresh_module()
    module_spec.loader.exec_module(module)
    assert module.__all__ == ["rust_read_torvask"]
    assert module.__all__ is not novrel.__all__
    assert module.rust_read_torvask is not novrel.rust_read_torvask


def raise_key_error(name):
    raise KeyError(name)


@pytest.mark.parametrize("attribute,value,outcome", [
    ("__all__", ["other"], ["other", "rust_read_torvask"]),
    ("__all__", ("other",), TypeError("'tuple' object is not an instance of 'list'")),
    # A lookup error other than AttributeError propagates.
    ("__getattr__", raise_key_error, KeyError("__all__")),
])
def test_existing_all(novrel, attribute, value, outcome):
    module_spec, module = fresh_module()
    setattr(module, attribute, value)
    if isinstance(outcome, list):
        module_spec.loader.exec_module(module)
        assert module.__all__ == outcome
        return
    with pytest.raises(type(outcome)) as info:
        module_spec.loader.exec_module(module)
    assert str(info.value) == str(outcome)
    assert "rust_read_torvask" not in vars(module)
