"""Binding and conversion of the two arguments."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import IS_32_BIT, plot_text

FN = "rust_read_torvask()"
ROWS = [[" 0.00000E+00", " 1.01325E+05", " 2.93150E+02"]]
EXPECTED = ([0.0], [[101325.0], [293.1499938964844]])


@pytest.fixture
def path(make_plot):
    return make_plot(plot_text(ROWS))


@pytest.mark.parametrize("call", [
    lambda f, p: f(p, 12),
    lambda f, p: f(p, n_digits=12),
    lambda f, p: f(file_path=p, n_digits=12),
    lambda f, p: f(n_digits=12, file_path=p),
    lambda f, p: f(*[p], **{"n_digits": 12}),
    lambda f, p: f(p, IntSub(12)),
    lambda f, p: f(p, Index(12)),
    lambda f, p: f(StrSub(p), 12),
], ids=["positional", "mixed", "keywords", "keywords-reversed", "unpacked", "int-subclass",
        "index", "str-subclass"])
def test_accepted_calls_are_equivalent(novrel, path, call):
    assert call(novrel.rust_read_torvask, path) == EXPECTED


# (call, exact TypeError message); `p` is a valid path.
BINDING_ERRORS = [
    (lambda f, p: f(), FN + " missing 2 required positional arguments: 'file_path' and 'n_digits'"),
    (lambda f, p: f(p), FN + " missing 1 required positional argument: 'n_digits'"),
    (lambda f, p: f(n_digits=12), FN + " missing 1 required positional argument: 'file_path'"),
    (lambda f, p: f(p, 12, 3), FN + " takes 2 positional arguments but 3 were given"),
    (lambda f, p: f(p, 12, 3, 4, bogus=1), FN + " takes 2 positional arguments but 4 were given"),
    (lambda f, p: f(p, file_path=p), FN + " got multiple values for argument 'file_path'"),
    (lambda f, p: f(p, 12, n_digits=12), FN + " got multiple values for argument 'n_digits'"),
    (lambda f, p: f(x=1), FN + " got an unexpected keyword argument 'x'"),
    (lambda f, p: f(p, 12, nDigits=1), FN + " got an unexpected keyword argument 'nDigits'"),
    (lambda f, p: f(p, N_DIGITS=12), FN + " got an unexpected keyword argument 'N_DIGITS'"),
    (lambda f, p: f(file=p, n_digits=12), FN + " got an unexpected keyword argument 'file'"),
    (lambda f, p: f(p, **{"n_digits\0": 12}), FN + " got an unexpected keyword argument 'n_digits\0'"),
    # Keywords are examined in order, before the missing-argument check.
    (lambda f, p: f(y=1, file_path=p, x=2), FN + " got an unexpected keyword argument 'y'"),
    (lambda f, p: f(file_path=p, x=2, file_path_=3), FN + " got an unexpected keyword argument 'x'"),
    # A name with a lone surrogate has no UTF-8 form: three U+FFFD per surrogate.
    (lambda f, p: f(p, 12, **{"a\udc80": 1}), FN + " got an unexpected keyword argument 'a\ufffd\ufffd\ufffd'"),
    # ... and every other character, of each UTF-8 length and lead byte, stays.
    (lambda f, p: f(p, 12, **{"\xe9\u0800\u20ac\ud7ff\U00010000\U00040000\U00100000\udc80": 1}),
     FN + " got an unexpected keyword argument "
          "'\xe9\u0800\u20ac\ud7ff\U00010000\U00040000\U00100000\ufffd\ufffd\ufffd'"),
    # file_path is converted first, so its error wins over n_digits'.
    (lambda f, p: f(5, 12), "argument 'file_path': 'int' object is not an instance of 'str'"),
    (lambda f, p: f(5, 12.0), "argument 'file_path': 'int' object is not an instance of 'str'"),
    (lambda f, p: f(None, 12), "argument 'file_path': 'None' is not an instance of 'str'"),
    (lambda f, p: f(p.encode(), 12), "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    (lambda f, p: f(NotStr.Inner(), 12),
     "argument 'file_path': 'NotStr.Inner' object is not an instance of 'str'"),
]


class NotStr:
    class Inner:
        pass


@pytest.mark.parametrize("call,message", BINDING_ERRORS)
def test_binding_errors(novrel, path, call, message):
    with pytest.raises(TypeError) as info:
        call(novrel.rust_read_torvask, path)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


class RenamedKey(str):
    def __str__(self):
        return "renamed"


class UnprintableKey(str):
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.parametrize("key,shown,unraisable", [
    (RenamedKey("zz"), "renamed", None),
    (UnprintableKey("zz"), "<unprintable UnprintableKey object>", RuntimeError),
])
def test_unexpected_keyword_is_shown_by_its_str(novrel, path, monkeypatch, key, shown, unraisable):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    with pytest.raises(TypeError) as info:
        novrel.rust_read_torvask(path, 12, **{key: 1})
    assert info.value.args == (FN + " got an unexpected keyword argument '%s'" % shown,)
    assert [type(r.exc_value) for r in reported] == ([unraisable] if unraisable else [])
    if unraisable:
        assert reported[0].object is key


@pytest.mark.parametrize("bad", [12.0, "12", None, [12]])
def test_n_digits_without_index_conversion(novrel, path, bad):
    with pytest.raises(TypeError) as info:
        novrel.rust_read_torvask(path, bad)
    message = info.value.args[0]
    assert message.startswith("argument 'n_digits': ") and "integer" in message
    assert info.value.__cause__ is None and info.value.__suppress_context__


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class TypeErrorSub(TypeError):
    pass


def test_index_raising_exact_type_error_is_prefixed_and_keeps_cause(novrel, path):
    index = _index_type_error_with_cause()
    with pytest.raises(TypeError) as info:
        novrel.rust_read_torvask(path, index)
    assert info.value is not index.value
    assert info.value.args == ("argument 'n_digits': no index today",)
    assert info.value.__cause__ is index.value.__cause__


@pytest.mark.parametrize("raised", [TypeErrorSub("sub"), ValueError("v"), KeyboardInterrupt()])
def test_index_raising_other_types_passes_unchanged(novrel, path, raised):
    with pytest.raises(type(raised)) as info:
        novrel.rust_read_torvask(path, Index(raised))
    assert info.value is raised


class IntSub(int):
    def __index__(self):  # never used: int subclasses convert directly
        raise AssertionError("__index__ called")


class StrSub(str):
    pass


def test_true_is_width_one(novrel, make_plot):
    path = make_plot(plot_text([["1", "2"]], width=1))
    assert novrel.rust_read_torvask(path, True) == ([1.0], [[2.0]])


@pytest.mark.parametrize("call, message", [
    (lambda f, p: f(p, 0), "Could not parse line: ParseFloatError { kind: Empty }"),
    (lambda f, p: f(p + "\0", 12), 'Plot file not found!: Error { kind: InvalidInput, '
                                    'message: "file name contained an unexpected NUL byte" }'),
], ids=["zero-width", "nul-in-path"])
def test_odd_values_pass_the_boundary_to_the_reader(novrel, path, call, message):
    with pytest.raises(BaseException) as info:
        call(novrel.rust_read_torvask, path)
    assert info.value.args == (message,)


def test_file_path_with_lone_surrogate_raises_interpreters_error(novrel):
    with pytest.raises(UnicodeEncodeError) as info:
        novrel.rust_read_torvask("plot\udc80.plt", 12)
    assert type(info.value) is UnicodeEncodeError


def test_bad_file_path_runs_no_code_of_n_digits(novrel):
    with pytest.raises(TypeError):
        novrel.rust_read_torvask(5, Index(AssertionError("ran")))


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100])
def test_n_digits_outside_64_bits_raise_interpreters_overflow(novrel, path, value):
    with pytest.raises(OverflowError) as info:
        novrel.rust_read_torvask(path, value)
    assert not info.value.args[0].startswith("argument")
    with pytest.raises(OverflowError):
        novrel.rust_read_torvask(path, Index(value))


@pytest.mark.parametrize("value", [2**32, 2**63, 2**64 - 1])
def test_n_digits_wider_than_32_bits(novrel, path, value):
    # Only a 64-bit size type holds them: there they reach the reader, where
    # the line is 36 bytes long, so the first field's end is out of bounds.
    expected = (("OverflowError", "out of range integral type conversion attempted") if IS_32_BIT else
                ("PanicException", "end byte index %d is out of bounds for string of length 36" % value))
    for arg in (value, Index(value)):
        with pytest.raises(BaseException) as info:
            novrel.rust_read_torvask(path, arg)
        assert (type(info.value).__name__, *info.value.args) == expected


def _index_type_error_with_cause():
    inner = TypeError("no index today")
    inner.__cause__ = ValueError("root")
    return Index(inner)


# (call, prefixed, repr of the cause); every outcome of a call, raised while
# a KeyError is handled, must chain it as the interpreter chains what it
# raises. A prefixed TypeError also keeps the cause of the one it replaces,
# and with it a suppressed context.
CHAINED = [
    (lambda f, p: f(p, 12, 3), False, "None"),
    (lambda f, p: f(p, 12, x=1), False, "None"),
    (lambda f, p: f(p, file_path=p), False, "None"),
    (lambda f, p: f(), False, "None"),
    (lambda f, p: f(5, 12), True, "None"),
    (lambda f, p: f(p, 12.0), True, "None"),
    (lambda f, p: f(p, _index_type_error_with_cause()), True, "ValueError('root')"),
    (lambda f, p: f(p, -1), False, "None"),
    (lambda f, p: f(p, 2**32), False, "None"),  # OverflowError on i386, else PanicException
    (lambda f, p: f("plot\udc80.plt", 12), False, "None"),
    (lambda f, p: f(p + ".missing", 12), False, "None"),
]


@pytest.mark.parametrize("call,prefixed,cause", CHAINED)
def test_exceptions_chain_the_handled_exception(novrel, path, call, prefixed, cause):
    try:
        raise KeyError("handled")
    except KeyError as handled:
        with pytest.raises(BaseException) as info:
            call(novrel.rust_read_torvask, path)
        raised = info.value
        assert raised.__context__ is handled
    assert raised.__suppress_context__ is prefixed
    assert repr(raised.__cause__) == cause
    assert raised.args[0].startswith("argument '") == prefixed


class OddIndex:
    """An __index__ that returns or raises whatever it was built with."""

    raised = []

    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        if isinstance(self.outcome, type) and issubclass(self.outcome, BaseException):
            error = self.outcome("from __index__")
            OddIndex.raised.append(error)
            raise error
        return self.outcome


# Ints of every size, floats, text with lone surrogates (and no '/', so a
# path names a file in the test's own directory), and odd index objects.
VALUES = st.one_of(
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 1, 12, 2**32 - 1, 2**32, 2**64 - 1, 2**64, -1, True]),
    st.floats(),
    st.text(st.characters(exclude_categories=()), max_size=8).map(lambda s: s.replace("/", "_")),
    st.none(),
    st.binary(max_size=4),
    st.builds(OddIndex, st.one_of(
        st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=3), st.none(),
        st.sampled_from([TypeError, ValueError, OverflowError, RuntimeError, TypeErrorSub]))),
)
NAMES = st.one_of(st.sampled_from(["file_path", "n_digits", "x", "file", "N_DIGITS"]),
                  st.text(st.characters(exclude_categories=()), max_size=4))


@settings(max_examples=200, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(file_path=st.one_of(st.just("plot"), VALUES), n_digits=st.one_of(st.just(12), VALUES),
       form=st.sampled_from(["positional", "keywords", "mixed"]),
       extra=st.one_of(st.just(((), {})),
                       st.tuples(st.lists(VALUES, max_size=2),
                                 st.dictionaries(NAMES, VALUES, max_size=2))))
def test_any_arguments_give_a_result_or_an_allowed_exception(novrel, tmp_path, monkeypatch,
                                                              file_path, n_digits, form, extra):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "plot").write_text(plot_text(ROWS))
    args, kwargs = {"positional": ([file_path, n_digits], {}),
                    "keywords": ([], {"file_path": file_path, "n_digits": n_digits}),
                    "mixed": ([file_path], {"n_digits": n_digits})}[form]
    args = args + list(extra[0])
    kwargs = {**extra[1], **kwargs}
    OddIndex.raised.clear()
    try:
        result = novrel.rust_read_torvask(*args, **kwargs)
    except (TypeError, OverflowError, UnicodeEncodeError):
        pass
    except BaseException as e:
        assert type(e).__name__ == "PanicException" or any(e is r for r in OddIndex.raised), repr(e)
    else:
        assert type(result) is tuple and len(result) == 2
