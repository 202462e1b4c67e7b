"""Embeddings and queries given as NumPy arrays and other float buffers: read straight
from the buffer, with exactly the values the list path gives."""

import array
import ctypes

import numpy as np
import pytest

from conftest import bits
from pelmor_vector_db import VectorEntry

# Values that show the rounding to 32 bits: inexact decimals, a double that
# underflows to a float subnormal or zero, one that overflows to infinity, and NaN.
TRICKY = [0.1, -2.5, 1e-40, 1e-46, 3.4028235677973366e38, 1e39, -1e39, float("nan"), 0.0, -0.0]


def layouts():
    """(name, array) for every memory layout a caller can hand over."""
    wide = np.array(TRICKY * 3, dtype=np.float64)
    with np.errstate(over="ignore"):
        narrow = wide.astype(np.float32)
    read_only = narrow.copy()
    read_only.flags.writeable = False
    return [
        ("float32", narrow),
        ("float64", wide),
        ("step 2", wide[::2]),
        ("step 3 float32", narrow[1::3]),
        ("negative step", wide[::-1]),
        ("negative step float32", narrow[-2::-3]),
        ("read-only", read_only),
        ("array.array f", array.array("f", narrow.tolist())),
        ("array.array d", array.array("d", wide.tolist())),
        ("memoryview", memoryview(wide)[1:]),
        # ctypes spells out the byte order: '<f' and '<d' on this machine.
        ("ctypes float", (ctypes.c_float * len(narrow))(*narrow.tolist())),
        ("ctypes double", (ctypes.c_double * len(wide))(*wide.tolist())),
        # Empty ones read as empty lists, refused by the store as [] is.
        ("empty float32", np.zeros(0, np.float32)),
        ("empty slice", wide[4:4]),
    ]


LAYOUTS = layouts()


class NoIteration(np.ndarray):
    """An array that fails if anything reads it element by element."""

    def __iter__(self):
        raise AssertionError("read as a sequence")

    def __getitem__(self, index):
        raise AssertionError("read as a sequence")


@pytest.mark.parametrize("values", [v for _, v in LAYOUTS], ids=[n for n, _ in LAYOUTS])
def test_buffer_gives_the_values_of_the_list_path(values):
    expected = bits(VectorEntry("a", list(values)).embedding)
    assert bits(VectorEntry("a", values).embedding) == expected
    target = VectorEntry("b", [1.0])
    target.embedding = values
    assert bits(target.embedding) == expected
    if isinstance(values, np.ndarray):  # float arrays are not read element by element
        assert bits(VectorEntry("a", values.view(NoIteration)).embedding) == expected


@pytest.mark.parametrize(
    "values",
    [
        np.array([1, -2, 3], dtype=np.int32),
        np.array([7, 2**40], dtype=np.int64),
        np.array([0.5, 65504.0, 1e-7], dtype=np.float16),
        np.array([0.1, 1e39, -3.0], dtype=">f8"),
        np.array([0.1, -3.0], dtype=">f4"),
        np.array([True, False]),
        b"\x00\x00\x80\x3f",
        bytearray(b"\x01\xff"),
        memoryview(b"\x02\x03"),
    ],
    ids=["int32", "int64", "float16", "big-endian f8", "big-endian f4", "bool", "bytes", "bytearray",
         "memoryview of bytes"],
)
def test_other_buffers_are_read_as_sequences(values):
    with np.errstate(over="ignore"):
        expected = [float(np.float32(float(v))) for v in list(values)]
    assert bits(VectorEntry("a", values).embedding) == bits(expected)


@pytest.mark.parametrize(
    "value, message",
    [
        (np.float32(1.5), "argument 'embedding': 'float32' object is not an instance of 'Sequence'"),
        (np.array(1.5, dtype=np.float32), "argument 'embedding': iteration over a 0-d array"),
        (np.ones((2, 3), dtype=np.float32), None),
        (np.ones((2, 3), dtype=np.float64)[:, ::2], None),
        (np.array(["1.0", "2.0"]), None),
    ],
    ids=["scalar", "0-d", "2-D", "2-D strided", "unicode array"],
)
def test_unreadable_arrays_fail_as_sequences_do(value, message):
    with pytest.raises(TypeError) as caught:
        VectorEntry("a", value)
    if message is not None:
        assert str(caught.value) == message
    assert str(caught.value).startswith("argument 'embedding': ")


def test_buffer_is_released_after_reading():
    floats = array.array("f", [1.0, 2.0])
    raw = bytearray(b"\x01")
    VectorEntry("a", floats)
    VectorEntry("b", raw)
    # Both refuse to resize while a view of them is still held.
    floats.append(3.0)
    raw.append(2)
    assert len(floats) == 3 and len(raw) == 2
