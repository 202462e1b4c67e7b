#pragma once

#include <Python.h>

#include "core/error.h"

namespace pvdb::py {

// Raises the Python exception for a store error: OSError for I/O failures, built
// with the message as its only argument (so no errno and no subclass), ValueError
// for everything else. Always returns nullptr.
PyObject* raise_store_error(const core::VectorDbError& error);

}  // namespace pvdb::py
