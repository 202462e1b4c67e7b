#pragma once

#include <Python.h>

namespace pvdb::py {

// The VectorStore type, created on the first call and kept for the rest of the
// process. Returns a borrowed reference, or nullptr with an exception set.
PyTypeObject* store_type();

}  // namespace pvdb::py
