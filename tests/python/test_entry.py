"""The VectorEntry class: properties, length, identity, repr and type shape."""

import inspect
import sys
import unicodedata

import pytest

from pelmor_vector_db import VectorEntry

FIELDS = ["id", "embedding", "metadata", "created_at"]


def make():
    return VectorEntry("a", [1.0, 2.0], "m", "c")


def test_defaults_and_reads_return_new_objects_and_copies():
    e = VectorEntry("a", [])
    assert (e.id, e.embedding, e.metadata, e.created_at) == ("a", [], "", "")
    assert len(e) == 0 and not e
    e = make()
    first = e.embedding
    assert first is not e.embedding
    first.append(3.0)
    assert len(e) == 2 and e.embedding == [1.0, 2.0]

    source = [0.5]
    e.embedding = source
    source.append(1.0)
    assert e.embedding == [0.5] and len(e) == 1


@pytest.mark.parametrize(
    "field, value, read_back",
    [
        ("id", "b", "b"),
        ("metadata", "", ""),
        ("created_at", "2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z"),
        ("embedding", (0.1,), [0.10000000149011612]),
    ],
)
def test_property_write_and_no_delete(field, value, read_back):
    e = make()
    setattr(e, field, value)
    assert getattr(e, field) == read_back
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(e, field)
    assert getattr(e, field) == read_back
    others = [f for f in FIELDS if f != field]
    assert [getattr(e, f) for f in others] == [getattr(make(), f) for f in others]


def test_signature_and_property_docs():
    """The class doc is only a signature (its shape is tested with the store's)."""
    assert VectorEntry.__text_signature__ == '(id, embedding, metadata="", created_at="")'
    assert list(inspect.signature(VectorEntry).parameters) == FIELDS
    for field in FIELDS:
        assert getattr(VectorEntry, field).__doc__ is None


# Grapheme_Extend beyond the combining marks (Mn, Me): Other_Grapheme_Extend.
OTHER_GRAPHEME_EXTEND = {
    0x09BE, 0x09D7, 0x0B3E, 0x0B57, 0x0BBE, 0x0BD7, 0x0CC2, 0x0CD5, 0x0CD6, 0x0D3E, 0x0D57,
    0x0DCF, 0x0DDF, 0x1B35, 0x200C, 0x302E, 0x302F, 0xFF9E, 0xFF9F, 0x1133E, 0x11357,
    0x114B0, 0x114BD, 0x115AF, 0x11930, 0x1D165, *range(0x1D16E, 0x1D173),
    *range(0xE0020, 0xE0080),
}  # fmt: skip
# Assigned after the module's Unicode 15.0 tables; escaped there as unassigned.
NEWER_THAN_TABLES = {*range(0x2FFC, 0x3000), 0x31EF, *range(0x2EBF0, 0x2EE5E)}
# Mn (so Grapheme_Extend) in older interpreters' databases, Mc in the tables'.
RECLASSIFIED = {0x1734}


def reference_quote(text):
    simple = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    out = []
    for ch in text:
        code = ord(ch)
        extend = unicodedata.category(ch) in ("Mn", "Me") or code in OTHER_GRAPHEME_EXTEND
        if ch in simple:
            out.append(simple[ch])
        elif extend or not ch.isprintable() or code in NEWER_THAN_TABLES:
            out.append(f"\\u{{{code:x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def test_repr_agrees_with_unicodedata_on_every_assigned_code_point():
    """Code points unassigned in this interpreter's database are left out: its
    Unicode version may be older than the tables'."""
    codes = [
        c
        for c in range(sys.maxunicode + 1)
        if not 0xD800 <= c <= 0xDFFF
        and unicodedata.category(chr(c)) != "Cn"
        and c not in RECLASSIFIED
    ]
    def matches(text):
        return repr(VectorEntry(text, [])) == f"VectorEntry(id={reference_quote(text)}, dim=0)"

    for start in range(0, len(codes), 4096):
        text = "".join(map(chr, codes[start : start + 4096]))
        if not matches(text):
            bad = next(ch for ch in text if not matches(ch))
            pytest.fail(f"U+{ord(bad):04X}: {VectorEntry(bad, [])!r}")
