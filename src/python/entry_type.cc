#include "python/entry_type.h"

#include <Python.h>

#include <array>
#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "python/args.h"
#include "python/py_ref.h"
#include "python/quote.h"

namespace pvdb::py {
namespace {

EntryObject* as_entry(PyObject* self) { return reinterpret_cast<EntryObject*>(self); }

// Places `record` into freshly allocated, zeroed instance memory.
PyObject* init_entry(PyObject* self, core::VectorEntry&& record) {
  EntryObject* object = as_entry(self);
  new (&object->entry) core::VectorEntry(std::move(record));
  new (&object->borrow) BorrowFlag(0);
  return self;
}

constexpr std::array<const char*, 4> kNames = {"id", "embedding", "metadata", "created_at"};
constexpr Signature kSignature = {"VectorEntry.__new__()", kNames, 2};

// Converts the bound arguments and builds the instance.
PyObject* construct(PyTypeObject* type, const std::array<PyObject*, 4>& slots) {
  core::VectorEntry record;
  if (!convert_arg("id", slots[0], record.id, to_string) ||
      !convert_arg("embedding", slots[1], record.embedding, to_float_list) ||
      !convert_optional_arg("metadata", slots[2], record.metadata, to_string) ||
      !convert_optional_arg("created_at", slots[3], record.created_at, to_string)) {
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  return init_entry(self, std::move(record));
}

// VectorEntry.__new__(VectorEntry, ...), reached through the type's __new__.
PyObject* entry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  std::array<PyObject*, 4> slots;
  if (!bind_args(kSignature, args, kwargs, slots)) return nullptr;
  return construct(type, slots);
}

// VectorEntry(...): the ordinary call, without building an argument tuple.
PyObject* entry_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                           PyObject* kwnames) noexcept {
  std::array<PyObject*, 4> slots;
  if (!bind_fastcall(kSignature, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) {
    return nullptr;
  }
  return construct(reinterpret_cast<PyTypeObject*>(type), slots);
}

void entry_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  as_entry(self)->entry.~VectorEntry();
  type->tp_free(self);
  // Every instance of a heap type holds a reference to its type.
  Py_DECREF(type);
}

int no_deleter() {
  PyErr_SetString(PyExc_AttributeError, "property has no deleter");
  return -1;
}

// Getters and setters of the three string fields; the closure is the
// property's name.
template <std::string core::VectorEntry::*Field>
PyObject* get_string(PyObject* self, void*) noexcept {
  SharedBorrow borrow(as_entry(self)->borrow);
  if (!borrow.ok()) return nullptr;
  const std::string& text = as_entry(self)->entry.*Field;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <std::string core::VectorEntry::*Field>
int set_string(PyObject* self, PyObject* value, void* name) noexcept {
  if (value == nullptr) return no_deleter();
  std::string text;
  if (!convert_arg(static_cast<const char*>(name), value, text, to_string)) return -1;
  ExclusiveBorrow borrow(as_entry(self)->borrow);
  if (!borrow.ok()) return -1;
  as_entry(self)->entry.*Field = std::move(text);
  return 0;
}

PyObject* get_embedding(PyObject* self, void*) noexcept {
  SharedBorrow borrow(as_entry(self)->borrow);
  if (!borrow.ok()) return nullptr;
  const core::Embedding& embedding = as_entry(self)->entry.embedding;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(embedding.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < embedding.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(embedding[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

int set_embedding(PyObject* self, PyObject* value, void*) noexcept {
  if (value == nullptr) return no_deleter();
  core::Embedding embedding;
  if (!convert_arg("embedding", value, embedding, to_float_list)) return -1;
  ExclusiveBorrow borrow(as_entry(self)->borrow);
  if (!borrow.ok()) return -1;
  as_entry(self)->entry.embedding = std::move(embedding);
  return 0;
}

Py_ssize_t entry_length(PyObject* self) noexcept {
  SharedBorrow borrow(as_entry(self)->borrow);
  if (!borrow.ok()) return -1;
  return static_cast<Py_ssize_t>(as_entry(self)->entry.embedding.size());
}

PyObject* entry_repr(PyObject* self) noexcept {
  SharedBorrow borrow(as_entry(self)->borrow);
  if (!borrow.ok()) return nullptr;
  const core::VectorEntry& entry = as_entry(self)->entry;
  std::string text = "VectorEntry(id=" + quote_id(entry.id) +
                     ", dim=" + std::to_string(entry.embedding.size()) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

char kId[] = "id";
char kEmbedding[] = "embedding";
char kMetadata[] = "metadata";
char kCreatedAt[] = "created_at";

PyGetSetDef entry_getset[] = {
    {kId, get_string<&core::VectorEntry::id>, set_string<&core::VectorEntry::id>, nullptr, kId},
    {kEmbedding, get_embedding, set_embedding, nullptr, nullptr},
    {kMetadata, get_string<&core::VectorEntry::metadata>, set_string<&core::VectorEntry::metadata>,
     nullptr, kMetadata},
    {kCreatedAt, get_string<&core::VectorEntry::created_at>,
     set_string<&core::VectorEntry::created_at>, nullptr, kCreatedAt},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Only a text signature: the interpreter derives __text_signature__ from it and
// leaves an empty docstring.
char entry_doc[] = "VectorEntry(id, embedding, metadata=\"\", created_at=\"\")\n--\n\n";

PyType_Slot entry_slots[] = {
    {Py_tp_doc, entry_doc},
    {Py_tp_new, reinterpret_cast<void*>(entry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
    {Py_tp_getset, entry_getset},
    {Py_mp_length, reinterpret_cast<void*>(entry_length)},
    {0, nullptr},
};

// Created under a dotted name so the type gets a __module__ (a bare name is
// deprecated and warns, which fails the import under -W error); tp_name is set
// back to the bare name afterwards, and that is what messages show.
PyType_Spec entry_spec = {
    "pelmor_vector_db.VectorEntry",
    static_cast<int>(sizeof(EntryObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    entry_slots,
};

}  // namespace

PyTypeObject* entry_type() {
  // A strong reference held for the rest of the process, so module objects
  // created later (re-imports, further interpreters) share the one type.
  static std::atomic<PyObject*> type{nullptr};
  PyObject* known = type.load(std::memory_order_acquire);
  if (known == nullptr) {
    PyRef created(PyType_FromSpec(&entry_spec));
    if (!created) return nullptr;
    PyTypeObject* created_type = reinterpret_cast<PyTypeObject*>(created.get());
    created_type->tp_name = "VectorEntry";
    created_type->tp_vectorcall = entry_vectorcall;
    if (type.compare_exchange_strong(known, created.get(), std::memory_order_acq_rel)) {
      known = created.release();
    }
  }
  return reinterpret_cast<PyTypeObject*>(known);
}

bool to_record(PyObject* obj, core::VectorEntry& out) {
  PyTypeObject* type = entry_type();
  if (type == nullptr) return false;
  if (Py_TYPE(obj) != type) {
    set_not_instance(obj, "VectorEntry");
    return false;
  }
  SharedBorrow borrow(as_entry(obj)->borrow);
  if (!borrow.ok()) return false;
  out = as_entry(obj)->entry;
  return true;
}

bool to_record_list(PyObject* obj, std::vector<core::VectorEntry>& out) {
  return to_list(obj, out, to_record);
}

PyObject* wrap_record(core::VectorEntry record) {
  PyTypeObject* type = entry_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  return init_entry(self, std::move(record));
}

}  // namespace pvdb::py
