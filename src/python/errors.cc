#include "python/errors.h"

#include <Python.h>

#include <string>

#include "python/py_ref.h"

namespace pvdb::py {

PyObject* raise_store_error(const core::VectorDbError& error) {
  PyObject* type = error.kind() == core::ErrorKind::Io ? PyExc_OSError : PyExc_ValueError;
  const std::string text = error.message();
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // A single argument: OSError then picks no subclass and leaves errno unset.
  PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace pvdb::py
