#pragma once

#include <Python.h>

#include <vector>

#include "core/vector_entry.h"
#include "python/borrow.h"

namespace pvdb::py {

// The instance layout of the Python class VectorEntry. `entry` is constructed
// in entry_new or wrap_record and destroyed in the type's dealloc.
struct EntryObject {
  PyObject_HEAD core::VectorEntry entry;
  BorrowFlag borrow;
};

// The VectorEntry type, created on the first call and kept for the rest of the
// process (later calls, from any module object, return the same type). Returns
// a borrowed reference, or nullptr with an exception set if creation failed.
PyTypeObject* entry_type();

// Copies the record out of `obj` under a shared borrow. Fails with TypeError
// "'{type}' object is not an instance of 'VectorEntry'" (not yet named after an
// argument: pass it through convert_arg) or with the borrow's RuntimeError.
bool to_record(PyObject* obj, core::VectorEntry& out);

// Copies every record out of a sequence of VectorEntry objects, in order, with
// the sequence rules of to_float_list; an element of another type fails as in
// to_record.
bool to_record_list(PyObject* obj, std::vector<core::VectorEntry>& out);

// A new VectorEntry object that owns `record`. Returns a new reference, or
// nullptr with an exception set.
PyObject* wrap_record(core::VectorEntry record);

}  // namespace pvdb::py
