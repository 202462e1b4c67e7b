#include "python/args.h"

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>

namespace pvdb::py {
namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.function, sig.names.size(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.function, sig.required, sig.names.size(), given, verb);
  }
  return false;
}

// The position of keyword `key` among the parameters, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value,
                  std::span<PyObject*> slots) {
  Py_ssize_t index = find_param(sig, key);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.function, key);
    return false;
  }
  if (slots[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                 sig.names[index]);
    return false;
  }
  slots[index] = value;
  return true;
}

// Reports the required parameters still unbound, joined the way the
// interpreter joins them: 'a', 'b' and 'c'.
bool check_required(const Signature& sig, std::span<PyObject*> slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (missing.empty()) return true;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += i + 1 == missing.size() ? " and " : ", ";
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.function,
               missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> slots) {
  for (PyObject*& slot : slots) slot = nullptr;
  if (static_cast<std::size_t>(nargs) > sig.names.size()) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

// The qualified name of the type of `obj`, as a new str.
PyRef type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  const char* full = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return PyRef(PyUnicode_FromString(dot != nullptr ? dot + 1 : full));
}

// collections.abc.Sequence, looked up on first use and kept for the process.
// Two threads may race to look it up; the loser drops its copy.
PyObject* sequence_abc() {
  static std::atomic<PyObject*> abc{nullptr};
  PyObject* known = abc.load(std::memory_order_acquire);
  if (known != nullptr) return known;
  PyRef module(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  PyRef found(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!found) return nullptr;
  if (abc.compare_exchange_strong(known, found.get(), std::memory_order_acq_rel)) {
    return found.release();
  }
  return known;
}

// 1 when `obj` counts as a sequence, 0 when not, -1 with an exception set.
int is_sequence(PyObject* obj) {
  if (PySequence_Check(obj)) return 1;
  PyObject* abc = sequence_abc();
  if (abc == nullptr) return -1;
  return PyObject_IsInstance(obj, abc);
}

// The pending exception as one object (normalised), taken out of the thread state.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

// Sets the error that refuses `str` where a list is wanted: a string is a
// sequence, but of characters, never of numbers.
bool refuse_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return false;
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return true;
}

// A strided view of an object's buffer, released when the owner goes away.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Asks `obj` for a view with shape, strides and format. A refusal is no
  // error here: the caller falls back to reading the object as a sequence, so
  // the refusal is cleared and false comes back.
  bool acquire(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) return false;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }

  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The element code of a one-dimensional buffer of native 32- or 64-bit floats
// ('f' or 'd'), or 0 for any other buffer. Explicit byte-order marks are fine
// when they name the native order.
char float_format(const Py_buffer& view) {
  if (view.ndim != 1 || view.format == nullptr) return 0;
  constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
  std::string_view format(view.format);
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == kNativeOrder)) {
    format.remove_prefix(1);
  }
  if (format == "f" && view.itemsize == sizeof(float)) return 'f';
  if (format == "d" && view.itemsize == sizeof(double)) return 'd';
  return 0;
}

// Copies the elements of a one-dimensional buffer of T, rounding each through
// double exactly as a Python float element would be. The exporter promises
// nothing about alignment, hence memcpy.
template <class T>
core::Embedding read_strided(const Py_buffer& view) {
  const char* base = static_cast<const char*>(view.buf);
  Py_ssize_t count = view.shape[0];
  Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
  core::Embedding values(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    T element;
    std::memcpy(&element, base + i * stride, sizeof element);
    values[static_cast<std::size_t>(i)] = static_cast<float>(static_cast<double>(element));
  }
  return values;
}

// Reads `obj` straight from its buffer when it exports a one-dimensional
// array of floats. Returns false, with nothing set, for every other object,
// which then goes through the sequence path and keeps that path's errors.
bool read_float_buffer(PyObject* obj, core::Embedding& out) {
  BufferView view;
  if (!view.acquire(obj)) return false;
  switch (float_format(view.get())) {
    case 'f':
      out = read_strided<float>(view.get());
      return true;
    case 'd':
      out = read_strided<double>(view.get());
      return true;
    default:
      return false;
  }
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  if (!bind_positional(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_required(sig, slots);
}

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots) {
  nargs = PyVectorcall_NARGS(nargs);
  if (!bind_positional(sig, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
    }
  }
  return check_required(sig, slots);
}

void set_not_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef name = type_name(obj);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool to_string(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    set_not_instance(obj, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

namespace {
constexpr std::size_t kMaxCapacityHint = std::size_t{1} << 16;
}  // namespace

PyRef sequence_iter(PyObject* obj, std::size_t& hint) {
  hint = 0;
  if (refuse_str(obj)) return PyRef();
  int sequence = is_sequence(obj);
  if (sequence < 0) return PyRef();
  if (sequence == 0) {
    set_not_instance(obj, "Sequence");
    return PyRef();
  }
  Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) {
    PyErr_Clear();
  } else {
    // len() is the object's word, not a promise: a sequence may report any length, and
    // reserving it whole could ask for more memory than exists.
    hint = std::min(static_cast<std::size_t>(size), kMaxCapacityHint);
  }
  return PyRef(PyObject_GetIter(obj));
}

bool to_float_list(PyObject* obj, core::Embedding& out) {
  if (refuse_str(obj)) return false;
  if (read_float_buffer(obj, out)) return true;
  return to_list(obj, out, [](PyObject* item, float& value) {
    double wide = PyFloat_AsDouble(item);
    if (wide == -1.0 && PyErr_Occurred()) return false;
    value = static_cast<float>(wide);
    return true;
  });
}

bool to_count(PyObject* obj, std::uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool fail_arg(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyRef original = take_exception();
  PyRef message(PyObject_Str(original.get()));
  if (!message) return false;
  PyRef wrapped(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!wrapped) return false;
  PyRef error(PyObject_CallOneArg(PyExc_TypeError, wrapped.get()));
  if (!error) return false;
  // PyException_SetCause steals its argument; GetCause returns a new reference.
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(error.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
  return false;
}

}  // namespace pvdb::py
