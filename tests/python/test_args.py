"""Argument binding and conversion, seen through the VectorEntry constructor
and property setters."""

import collections.abc
import math

import numpy as np
import pytest
from hypothesis import example, given, strategies as st

from conftest import bits
from pelmor_vector_db import VectorEntry, VectorStore


class Outer:
    class Inner:
        pass


class Floaty:
    """Converts to `value`, or raises it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Indexy:
    def __index__(self):
        return 7


class RegisteredSequence:
    """Not a sequence to the interpreter's slot check, only by registration. Its length is
    only a hint to the reader: `length` can claim another one or be an error to raise."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = length

    def __iter__(self):
        if isinstance(self.items, Exception):
            raise self.items
        return iter(self.items)

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return len(self.items) if self.length is None else self.length


collections.abc.Sequence.register(RegisteredSequence)


# The ordinary call and an explicit __new__ reach the class through different
# calling conventions; both must bind the same way.
@pytest.fixture(
    params=[VectorEntry, lambda *args, **kwargs: VectorEntry.__new__(VectorEntry, *args, **kwargs)],
    ids=["call", "__new__"],
)
def construct(request):
    return request.param


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a",), {}, "missing 1 required positional argument: 'embedding'"),
        ((), {}, "missing 2 required positional arguments: 'id' and 'embedding'"),
        ((), {"metadata": "m"}, "missing 2 required positional arguments: 'id' and 'embedding'"),
        ((), {"embedding": []}, "missing 1 required positional argument: 'id'"),
        (("a", [1], "m", "c", 5), {}, "takes from 2 to 4 positional arguments but 5 were given"),
        (("a", [1]), {"x": 1}, "got an unexpected keyword argument 'x'"),
        (("a", [1]), {"id": "b"}, "got multiple values for argument 'id'"),
        (("a", [1], "m"), {"metadata": "n"}, "got multiple values for argument 'metadata'"),
    ],
)
def test_call_shape_errors(construct, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        construct(*args, **kwargs)
    assert str(info.value) == "VectorEntry.__new__() " + message


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {"created_at": "t", "embedding": [1], "id": "x"}),
        (("x",), {"embedding": [1], "created_at": "t"}),
        (("x", [1], ""), {"created_at": "t"}),
        (("x", [1], "", "t"), {}),
    ],
)
def test_parameters_bind_by_position_or_keyword(construct, args, kwargs):
    e = construct(*args, **kwargs)
    assert type(e) is VectorEntry
    assert (e.id, e.embedding, e.metadata, e.created_at) == ("x", [1.0], "", "t")


@pytest.mark.parametrize(
    "field, value, message",
    [
        ("id", 5, "'int' object is not an instance of 'str'"),
        ("id", b"a", "'bytes' object is not an instance of 'str'"),
        ("metadata", None, "'None' is not an instance of 'str'"),
        ("created_at", Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
        ("embedding", "1.0", "Can't extract `str` to `Vec`"),
        ("embedding", (x for x in [1.0]), "'generator' object is not an instance of 'Sequence'"),
        ("embedding", None, "'None' is not an instance of 'Sequence'"),
    ],
)
def test_conversion_errors_name_the_argument(construct, field, value, message):
    fields = {"id": "a", "embedding": [1.0], "metadata": "m", "created_at": "c"}
    with pytest.raises(TypeError) as info:
        construct(**{**fields, field: value})
    assert str(info.value) == f"argument '{field}': {message}"

    entry = VectorEntry(**fields)
    with pytest.raises(TypeError) as info:
        setattr(entry, field, value)
    assert str(info.value) == f"argument '{field}': {message}"
    assert getattr(entry, field) == fields[field]


def test_arguments_convert_in_declaration_order():
    with pytest.raises(TypeError, match="^argument 'id': "):
        VectorEntry(None, "not a list", None, None)
    with pytest.raises(TypeError, match="^argument 'embedding': "):
        VectorEntry("a", "not a list", None)


@pytest.mark.parametrize("field", ["id", "metadata", "created_at"])
def test_lone_surrogates_raise_unicode_encode_error_unwrapped(field):
    with pytest.raises(UnicodeEncodeError) as info:
        VectorEntry(**{"id": "a", "embedding": [], field: "x\ud800"})
    assert "argument" not in str(info.value)
    entry = VectorEntry("a", [])
    with pytest.raises(UnicodeEncodeError):
        setattr(entry, field, "\udfff")


def test_str_subclass_is_copied_as_plain_str():
    class Name(str):
        pass

    e = VectorEntry(Name("héllo ✓"), [])
    assert type(e.id) is str and e.id == "héllo ✓"


@pytest.mark.parametrize(
    "embedding, expected",
    [
        ([], []),
        ((1, 2.5, True), [1.0, 2.5, 1.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([Floaty(0.25), Indexy()], [0.25, 7.0]),
        (RegisteredSequence([1.0, 2.0]), [1.0, 2.0]),
        (RegisteredSequence([3.0], length=TypeError("no len")), [3.0]),
        (RegisteredSequence([], length=2**62), []),
        (RegisteredSequence([1.5, 2.5], length=2**62), [1.5, 2.5]),
    ],
)
def test_float_list_accepts_sequences(embedding, expected):
    assert VectorEntry("a", embedding).embedding == expected


# Inexact decimals, a double that rounds up to infinity, the halfway case that rounds to
# even (infinity), the largest that rounds down, subnormals and what underflows, signed zero
# and NaN.
EDGES = [0.1, 1e39, 3.4028235677973366e38, 3.40282356e38, 1e-45, 1e-46, -0.0, math.nan]


@given(st.lists(st.floats() | st.integers(-(2**200), 2**200)))
@example(EDGES)
def test_rounding_matches_numpy_float32(values):
    with np.errstate(over="ignore"):
        expected = [float(np.float32(float(v))) for v in values]
    assert bits(VectorEntry("a", values).embedding) == bits(expected)


@pytest.mark.parametrize(
    "embedding, error, message",
    [
        ([1.0, "x"], TypeError, "argument 'embedding': must be real number, not str"),
        ([1.0, None], TypeError, "argument 'embedding': must be real number, not NoneType"),
        ([1.0, 10**400], OverflowError, "int too large to convert to float"),
        ([1.0, Floaty(ValueError("nope"))], ValueError, "nope"),
        ([1.0, Floaty(TypeError("bad"))], TypeError, "argument 'embedding': bad"),
        (RegisteredSequence(ValueError("iteration failed")), ValueError, "iteration failed"),
    ],
)
def test_element_errors(embedding, error, message):
    with pytest.raises(error) as info:
        VectorEntry("a", embedding)
    assert type(info.value) is error
    assert str(info.value) == message


def test_wrapped_error_keeps_the_original_cause():
    cause = KeyError("k")
    failing = TypeError("bad")
    failing.__cause__ = cause
    with pytest.raises(TypeError) as info:
        VectorEntry("a", [Floaty(failing)])
    assert info.value is not failing
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("items", [[], [VectorEntry("x", [1.0])]])
def test_a_lying_length_is_only_a_hint_to_a_batch(items, tmp_path):
    store = VectorStore.new(str(tmp_path / "s"), str(tmp_path / "w"))
    store.upsert_batch(RegisteredSequence(items, length=2**62))
    assert store.len == len(items)
