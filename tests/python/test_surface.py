import gc
import importlib.util
import subprocess
import sys
import threading
import weakref

import pytest

import pelmor_vector_db as pv
from leaks import CallsBack


def test_module_attributes():
    assert pv.__version__ == "0.1.0" and pv.__doc__ == ""
    assert {name for name in dir(pv) if not name.startswith("__")} == {"VectorEntry", "VectorStore"}
    subprocess.run([sys.executable, "-W", "error", "-c", "import pelmor_vector_db"], check=True)


def test_a_second_module_object_shares_the_types():
    found = importlib.util.find_spec("pelmor_vector_db")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not pv
    assert again.VectorEntry is pv.VectorEntry and again.VectorStore is pv.VectorStore
    assert again.__version__ == "0.1.0"
    assert isinstance(again.VectorEntry("a", [1]), pv.VectorEntry)


DOCS = {
    "new": ('(snapshot_path="store.snap", wal_path="store.wal")',
            "Create a fresh empty store (does not read any existing files)."),
    "open": ('(snapshot_path="store.snap", wal_path="store.wal")',
             "Open an existing store (loads snapshot + replays WAL), or create fresh."),
    "upsert": ("($self, entry)", "Insert or replace an entry by ID. O(1) WAL append \u2014 no index rebuild."),
    "upsert_batch": ("($self, entries)", "Batch upsert. Single buffered WAL write for the whole batch."),
    "delete": ("($self, id)", "Delete by ID. No-op (not an error) if the ID does not exist."),
    "get": ("($self, id)", "Point lookup by ID. Returns None if not found."),
    "search": ("($self, query, top_k=10)",
               "Search top-k nearest neighbours.\nReturns a list of (VectorEntry, distance) tuples.\n"
               "Rebuilds the HNSW index lazily only when the live state has changed."),
    "compact": ("($self)", "Merge WAL into snapshot, truncate WAL file, rebuild HNSW index once.\n"
                "Call after large batch inserts or on a schedule."),
    "len": (None, "Number of live entries."),
    "dim": (None, "Fixed embedding dimension, or None if the store is empty."),
    "wal_pending": (None, "WAL ops not yet merged into the snapshot."),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings_and_signatures(name):
    member = getattr(pv.VectorStore, name)
    assert (getattr(member, "__text_signature__", None), member.__doc__) == DOCS[name]


# No instance dict, no weak references, no subclasses, equality and hash by identity.
@pytest.mark.parametrize("name, doc", [("VectorEntry", ""), ("VectorStore", None)])
def test_type_shape(paths, name, doc):
    cls = getattr(pv, name)
    make = {"VectorEntry": lambda: pv.VectorEntry("a", [1.0]),
            "VectorStore": lambda: pv.VectorStore.new(*paths)}[name]
    a, b = make(), make()
    with pytest.raises(AttributeError, match=f"^'{name}' object has no attribute 'other'"):
        a.other = 1
    with pytest.raises(TypeError):
        weakref.ref(a)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert a != b and a == a and hash(a) == object.__hash__(a) and len({a, b}) == 2
    assert (cls.__name__, cls.__doc__) == (name, doc)


def test_store_comes_only_from_its_constructors_and_reads_only(store):
    with pytest.raises(TypeError):
        pv.VectorStore()
    for name in ("len", "dim", "wal_pending"):
        with pytest.raises(AttributeError):
            setattr(store, name, 1)
        with pytest.raises(AttributeError):
            delattr(store, name)


def test_static_constructors_and_defaults(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store = pv.VectorStore.new(wal_path="w.wal")
    store.upsert(pv.VectorEntry("a", [1.0]))
    assert (tmp_path / "w.wal").exists()
    other = store.new()  # static: callable on an instance, and independent of it
    assert len(other) == 0 and len(store) == 1
    assert repr(other) == "VectorStore(len=0, dim=None, wal_pending=0)"
    store.open()  # defaults: store.snap and store.wal, both absent here
    assert not (tmp_path / "store.wal").exists()


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: pv.VectorStore.open(None), TypeError, "argument 'snapshot_path': 'None' is not an instance of 'str'"),
        (lambda s: pv.VectorStore.new("a", "b", "c"), TypeError,
         "VectorStore.new() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda s: pv.VectorStore.open(bogus=1), TypeError, "VectorStore.open() got an unexpected keyword argument 'bogus'"),
        (lambda s: s.upsert({"id": "a"}), TypeError, "argument 'entry': 'dict' object is not an instance of 'VectorEntry'"),
        (lambda s: s.upsert(), TypeError, "VectorStore.upsert() missing 1 required positional argument: 'entry'"),
        (lambda s: s.upsert_batch([pv.VectorEntry("a", [1.0]), 5]), TypeError,
         "argument 'entries': 'int' object is not an instance of 'VectorEntry'"),
        (lambda s: s.upsert_batch("ab"), TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
        (lambda s: s.upsert_batch(e for e in []), TypeError,
         "argument 'entries': 'generator' object is not an instance of 'Sequence'"),
        (lambda s: s.get(id=None), TypeError, "argument 'id': 'None' is not an instance of 'str'"),
        (lambda s: s.get("a", id="a"), TypeError, "VectorStore.get() got multiple values for argument 'id'"),
        (lambda s: s.delete("a", "b"), TypeError, "VectorStore.delete() takes 1 positional arguments but 2 were given"),
        (lambda s: s.search([1.0], top_k=-1), OverflowError, None),
        (lambda s: s.search([1.0], 2.5), TypeError, "argument 'top_k': 'float' object cannot be interpreted as an integer"),
        (lambda s: s.compact(1), TypeError, "VectorStore.compact() takes 0 positional arguments but 1 was given"),
        (lambda s: s.get("\udfff"), UnicodeEncodeError, None),
    ],
)
def test_argument_errors_change_nothing(store, call, exc, message):
    with pytest.raises(exc) as info:
        call(store)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert (store.len, store.dim, store.wal_pending) == (0, None, 0)


@pytest.mark.parametrize(
    "callback, message",
    [(lambda s: s.len, "Already mutably borrowed"),
     (lambda s: s.upsert(pv.VectorEntry("z", [1.0])), "Already borrowed"),
     (lambda s: repr(s), "Already mutably borrowed"),
     (lambda s: s.get("a"), "Already mutably borrowed")],
)
def test_reentrant_calls_are_refused(store, callback, message):
    store.upsert(pv.VectorEntry("a", [1.0, 0.0]))
    batch = CallsBack([pv.VectorEntry("b", [0.0, 1.0]), pv.VectorEntry("c", [1.0, 1.0])], lambda: callback(store))
    with pytest.raises(RuntimeError) as info:
        store.upsert_batch(batch)
    assert str(info.value) == message
    query = CallsBack([1.0, 0.0], lambda: callback(store))
    with pytest.raises(RuntimeError) as info:
        store.search(query)
    assert str(info.value) == message
    assert (store.len, store.wal_pending) == (1, 1)
    assert store.get("b") is None
    store.upsert_batch((pv.VectorEntry("b", [0.0, 1.0]),))  # the borrow was given back
    assert len(store) == 2 and bool(store)


def error_in_thread(fn):
    """What `fn` raised on another thread, or None; the fault type is not an Exception."""
    box = [None]

    def target():
        try:
            fn()
        except BaseException as e:  # noqa: B902
            box[0] = e

    # A store left in a cycle by an earlier test must be collected here, on the thread
    # that made it: a collection that starts on the new thread would drop it there.
    gc.collect()
    t = threading.Thread(target=target)
    t.start()
    t.join()
    # Taken out of the box, the error no longer sits in a cycle with the frame that holds
    # the store, so the collector cannot drop the store later on some other thread.
    return box.pop()


@pytest.mark.parametrize(
    "use",
    [lambda s: s.len, lambda s: len(s), lambda s: bool(s), lambda s: repr(s), lambda s: s.get("a"),
     lambda s: s.upsert(pv.VectorEntry("b", [1.0])), lambda s: s.upsert(5), lambda s: s.search([1.0]),
     lambda s: s.compact(), lambda s: s.delete("a"), lambda s: s.dim, lambda s: s.wal_pending],
)
def test_other_threads_are_refused(store, use):
    store.upsert(pv.VectorEntry("a", [1.0]))
    error = error_in_thread(lambda: use(store))
    assert error is not None and not isinstance(error, Exception)
    assert "pelmor_vector_db::VectorStore is unsendable, but sent to another thread" in str(error)
    assert type(error).__name__ not in dir(pv)
    assert (store.len, store.wal_pending) == (1, 1)
    store.upsert(pv.VectorEntry("c", [2.0]))
    assert store.len == 2


def test_dropping_on_another_thread_is_reported(paths):
    seen = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u)
    try:
        holder = [pv.VectorStore.new(*paths)]
        assert error_in_thread(holder.pop) is None
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert str(seen[0].exc_value) == "pelmor_vector_db::VectorStore is unsendable, but is being dropped on another thread"
