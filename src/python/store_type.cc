#include "python/store_type.h"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/vector_store.h"
#include "python/args.h"
#include "python/borrow.h"
#include "python/entry_type.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace pvdb::py {
namespace {

// A process-unique id for the calling thread; unlike a pthread id it is never reused.
std::uint64_t current_thread_id() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

struct StoreObject {
  PyObject_HEAD
      // Owned; on the heap so that a drop on a foreign thread can leave it unreleased.
      core::VectorStore* store;
  BorrowFlag borrow;
  std::uint64_t owner;
};

StoreObject* as_store(PyObject* self) { return reinterpret_cast<StoreObject*>(self); }

// Derived directly from BaseException so that `except Exception` lets it through:
// using a store from the wrong thread is a programming error, not a condition.
PyObject* fault_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("pelmor_vector_db.UnsendableError", PyExc_BaseException, nullptr);
  }
  return type;
}

bool check_thread(PyObject* self) {
  if (as_store(self)->owner == current_thread_id()) return true;
  PyObject* type = fault_type();
  if (type != nullptr) {
    PyErr_SetString(type,
                    "pelmor_vector_db::VectorStore is unsendable, but sent to another thread");
  }
  return false;
}

PyObject* make_store(core::VectorStore store) {
  PyTypeObject* type = store_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  StoreObject* obj = as_store(self);
  obj->store = new core::VectorStore(std::move(store));
  new (&obj->borrow) BorrowFlag(0);
  obj->owner = current_thread_id();
  return self;
}

constexpr const char* kPathNames[] = {"snapshot_path", "wal_path"};

// The two path arguments of `new` and `open`, with their defaults.
std::optional<core::StoreConfig> paths_from(const char* function, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
  const Signature sig{function, kPathNames, 0};
  PyObject* slots[2] = {nullptr, nullptr};
  if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return std::nullopt;
  core::StoreConfig config{"store.snap", "store.wal"};
  if (!convert_optional_arg("snapshot_path", slots[0], config.snapshot_path, to_string) ||
      !convert_optional_arg("wal_path", slots[1], config.wal_path, to_string)) {
    return std::nullopt;
  }
  return config;
}

PyObject* store_new(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  auto config = paths_from("VectorStore.new()", args, nargs, kwnames);
  if (!config) return nullptr;
  return make_store(core::VectorStore::create(std::move(*config)));
}

PyObject* store_open(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  auto config = paths_from("VectorStore.open()", args, nargs, kwnames);
  if (!config) return nullptr;
  auto store = core::VectorStore::open(std::move(*config));
  if (!store.ok()) return raise_store_error(store.error());
  return make_store(std::move(store).value());
}

// Binds a method's arguments and checks the thread, the steps every method runs
// before it borrows the store.
template <std::size_t N>
bool enter(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames, PyObject* (&slots)[N]) {
  return bind_fastcall(sig, args, nargs, kwnames, slots) && check_thread(self);
}

PyObject* none_or_error(const core::Result<void>& done) {
  if (!done.ok()) return raise_store_error(done.error());
  Py_RETURN_NONE;
}

constexpr const char* kEntryName[] = {"entry"};
constexpr const char* kEntriesName[] = {"entries"};
constexpr const char* kIdName[] = {"id"};

// The steps of a write that takes one argument: bind it, check the thread, take the
// exclusive borrow, convert the argument, then call the store.
template <class T, class Convert, class Write>
PyObject* write_one(PyObject* self, const char* function, std::span<const char* const> name,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Convert convert,
                    Write write) {
  PyObject* slots[1] = {nullptr};
  if (!enter(self, {function, name, 1}, args, nargs, kwnames, slots)) return nullptr;
  ExclusiveBorrow borrow(as_store(self)->borrow);
  if (!borrow.ok()) return nullptr;
  T value;
  if (!convert_arg(name[0], slots[0], value, convert)) return nullptr;
  return none_or_error(write(*as_store(self)->store, std::move(value)));
}

PyObject* store_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return write_one<core::VectorEntry>(self, "VectorStore.upsert()", kEntryName, args, nargs,
                                      kwnames, to_record,
                                      [](core::VectorStore& store, core::VectorEntry entry) {
                                        return store.upsert(std::move(entry));
                                      });
}

PyObject* store_upsert_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return write_one<std::vector<core::VectorEntry>>(
      self, "VectorStore.upsert_batch()", kEntriesName, args, nargs, kwnames, to_record_list,
      [](core::VectorStore& store, std::vector<core::VectorEntry> entries) {
        return store.upsert_batch(std::move(entries));
      });
}

PyObject* store_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return write_one<std::string>(
      self, "VectorStore.delete()", kIdName, args, nargs, kwnames, to_string,
      [](core::VectorStore& store, const std::string& id) { return store.delete_entry(id); });
}

PyObject* store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  PyObject* slots[1] = {nullptr};
  if (!enter(self, {"VectorStore.get()", kIdName, 1}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  SharedBorrow borrow(as_store(self)->borrow);
  if (!borrow.ok()) return nullptr;
  std::string id;
  if (!convert_arg("id", slots[0], id, to_string)) return nullptr;
  const core::VectorEntry* entry = as_store(self)->store->get(id);
  if (entry == nullptr) Py_RETURN_NONE;
  return wrap_record(*entry);
}

constexpr const char* kSearchNames[] = {"query", "top_k"};

PyObject* search_results(const std::vector<core::SearchHit>& hits) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyRef entry(wrap_record(*hits[i].entry));
    if (!entry) return nullptr;
    PyRef distance(PyFloat_FromDouble(hits[i].distance));
    if (!distance) return nullptr;
    PyObject* pair = PyTuple_Pack(2, entry.get(), distance.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* store_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  PyObject* slots[2] = {nullptr, nullptr};
  if (!enter(self, {"VectorStore.search()", kSearchNames, 1}, args, nargs, kwnames, slots)) {
    return nullptr;
  }
  ExclusiveBorrow borrow(as_store(self)->borrow);
  if (!borrow.ok()) return nullptr;
  core::Embedding query;
  std::uint64_t top_k = 10;
  if (!convert_arg("query", slots[0], query, to_float_list) ||
      !convert_optional_arg("top_k", slots[1], top_k, to_count)) {
    return nullptr;
  }
  auto hits = as_store(self)->store->search(query, top_k);
  if (!hits.ok()) return raise_store_error(hits.error());
  return search_results(hits.value());
}

PyObject* store_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  PyObject* slots[1] = {nullptr};
  if (!bind_fastcall({"VectorStore.compact()", {}, 0}, args, nargs, kwnames,
                     std::span<PyObject*>(slots, 0)) ||
      !check_thread(self)) {
    return nullptr;
  }
  ExclusiveBorrow borrow(as_store(self)->borrow);
  if (!borrow.ok()) return nullptr;
  return none_or_error(as_store(self)->store->compact());
}

// Property reads, len, bool and repr: thread check and a shared borrow, no arguments.
template <class Read>
PyObject* read_shared(PyObject* self, Read read) {
  if (!check_thread(self)) return nullptr;
  SharedBorrow borrow(as_store(self)->borrow);
  if (!borrow.ok()) return nullptr;
  return read(*as_store(self)->store);
}

PyObject* get_len(PyObject* self, void*) noexcept {
  return read_shared(self, [](const core::VectorStore& s) { return PyLong_FromSize_t(s.len()); });
}

PyObject* get_dim(PyObject* self, void*) noexcept {
  return read_shared(self, [](const core::VectorStore& s) -> PyObject* {
    if (!s.dim()) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*s.dim());
  });
}

PyObject* get_wal_pending(PyObject* self, void*) noexcept {
  return read_shared(self, [](const core::VectorStore& s) {
    return PyLong_FromUnsignedLongLong(s.wal_pending());
  });
}

Py_ssize_t store_length(PyObject* self) noexcept {
  PyRef n(get_len(self, nullptr));
  return n ? PyLong_AsSsize_t(n.get()) : -1;
}

int store_bool(PyObject* self) noexcept {
  const Py_ssize_t n = store_length(self);
  return n < 0 ? -1 : n > 0;
}

PyObject* store_repr(PyObject* self) noexcept {
  return read_shared(self, [](const core::VectorStore& s) {
    const std::string dim = s.dim() ? "Some(" + std::to_string(*s.dim()) + ")" : "None";
    const std::string text = "VectorStore(len=" + std::to_string(s.len()) + ", dim=" + dim +
                             ", wal_pending=" + std::to_string(s.wal_pending()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

void store_dealloc(PyObject* self) noexcept {
  StoreObject* obj = as_store(self);
  PyTypeObject* type = Py_TYPE(self);
  if (obj->owner == current_thread_id()) {
    delete obj->store;
  } else {
    // The store may only be touched on its own thread, so it is left unreleased.
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
    PyErr_SetString(PyExc_RuntimeError,
                    "pelmor_vector_db::VectorStore is unsendable, but is being dropped on another "
                    "thread");
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(saved_type, saved_value, saved_tb);
  }
  obj->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

#define PVDB_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef store_methods[] = {
    {"new", PVDB_FASTCALL(store_new), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "new(snapshot_path=\"store.snap\", wal_path=\"store.wal\")\n--\n\n"
     "Create a fresh empty store (does not read any existing files)."},
    {"open", PVDB_FASTCALL(store_open), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(snapshot_path=\"store.snap\", wal_path=\"store.wal\")\n--\n\n"
     "Open an existing store (loads snapshot + replays WAL), or create fresh."},
    {"upsert", PVDB_FASTCALL(store_upsert), METH_FASTCALL | METH_KEYWORDS,
     "upsert($self, entry)\n--\n\n"
     "Insert or replace an entry by ID. O(1) WAL append \u2014 no index rebuild."},
    {"upsert_batch", PVDB_FASTCALL(store_upsert_batch), METH_FASTCALL | METH_KEYWORDS,
     "upsert_batch($self, entries)\n--\n\n"
     "Batch upsert. Single buffered WAL write for the whole batch."},
    {"delete", PVDB_FASTCALL(store_delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, id)\n--\n\n"
     "Delete by ID. No-op (not an error) if the ID does not exist."},
    {"get", PVDB_FASTCALL(store_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, id)\n--\n\n"
     "Point lookup by ID. Returns None if not found."},
    {"search", PVDB_FASTCALL(store_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, top_k=10)\n--\n\n"
     "Search top-k nearest neighbours.\n"
     "Returns a list of (VectorEntry, distance) tuples.\n"
     "Rebuilds the HNSW index lazily only when the live state has changed."},
    {"compact", PVDB_FASTCALL(store_compact), METH_FASTCALL | METH_KEYWORDS,
     "compact($self)\n--\n\n"
     "Merge WAL into snapshot, truncate WAL file, rebuild HNSW index once.\n"
     "Call after large batch inserts or on a schedule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef store_getset[] = {
    {"len", get_len, nullptr, "Number of live entries.", nullptr},
    {"dim", get_dim, nullptr, "Fixed embedding dimension, or None if the store is empty.", nullptr},
    {"wal_pending", get_wal_pending, nullptr, "WAL ops not yet merged into the snapshot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
    {Py_mp_length, reinterpret_cast<void*>(store_length)},
    {Py_nb_bool, reinterpret_cast<void*>(store_bool)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_getset},
    {0, nullptr},
};

// A dotted name gives the type its __module__; tp_name goes back to the bare name,
// which is what the interpreter's messages show.
PyType_Spec store_spec = {
    "pelmor_vector_db.VectorStore",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    store_slots,
};

}  // namespace

PyTypeObject* store_type() {
  // Kept for the rest of the process: module objects created later share it.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyType_FromSpec(&store_spec);
    if (type != nullptr) reinterpret_cast<PyTypeObject*>(type)->tp_name = "VectorStore";
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace pvdb::py
