#include "py/py.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace quelm::py {

namespace {

#if PY_VERSION_HEX < 0x030C0000
// 3.11 has no single-object form of the raised exception.
PyObject* take_raised_exception() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}
void restore_raised_exception(PyObject* exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#else
PyObject* take_raised_exception() { return PyErr_GetRaisedException(); }
void restore_raised_exception(PyObject* exc) { PyErr_SetRaisedException(exc); }
#endif

ProcessObject internal_fault_class;

Result<PyObject*> internal_fault_type() {
  return internal_fault_class.get([]() -> Result<Ref> {
    // The class lives in the Python package so that users can name it; a module loaded
    // outside the package gets an equivalent class of its own.
    Ref mod = Ref::steal(PyImport_ImportModule("quelm._errors"));
    if (mod) {
      Ref cls = Ref::steal(PyObject_GetAttrString(mod.get(), "InternalError"));
      if (cls && PyType_Check(cls.get()) &&
          PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()),
                           reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        return cls;
      }
    }
    PyErr_Clear();
    Ref cls = Ref::steal(PyErr_NewException("quelm.InternalError", PyExc_BaseException, nullptr));
    if (!cls) return Error::current();
    return cls;
  });
}

}  // namespace

SavedException::SavedException() : exc_(take_raised_exception()) {}
SavedException::~SavedException() {
  if (exc_ != nullptr) restore_raised_exception(exc_);
}

void Error::raise() const {
  if (is_current()) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    return;
  }
  Ref text = text_to_str(message_);
  if (!text) return;
  PyErr_SetObject(type_, text.get());
}

void raise_internal_fault(const char* message) {
  Result<PyObject*> cls = internal_fault_type();
  if (!cls.ok()) {
    cls.error().raise();
    return;
  }
  Ref text = text_to_str(message);
  if (!text) return;
  PyErr_SetObject(cls.value(), text.get());
}

Ref text_to_str(std::string_view text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::string str_of(PyObject* obj) {
  Ref s = Ref::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return "<unprintable>";
  }
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string qualified_type_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<size_t>(size));
}

Error cast_error(PyObject* given, std::string_view expected) {
  std::string msg;
  if (given == Py_None) {
    msg.append("'None' is not an instance of '");
  } else {
    const std::string name = qualified_type_name(Py_TYPE(given));
    msg.append("'").append(name).append("' object is not an instance of '");
  }
  msg.append(expected);
  msg += "'";
  return type_error(std::move(msg));
}

Error with_argument_name(const char* name, const Error& error) {
  const std::string prefix = std::string("argument '") + name + "': ";
  if (!error.is_current()) {
    if (error.type() == PyExc_TypeError) return type_error(prefix + error.message());
    return error;
  }
  PyObject* exc = take_raised_exception();
  if (exc == nullptr) return error;
  if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    restore_raised_exception(exc);
    return Error::current();
  }
  Ref old = Ref::steal(exc);
  std::string message = prefix + str_of(old.get());
  Ref text = text_to_str(message);
  if (!text) return Error::current();
  Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  if (!renamed) return Error::current();
  PyObject* cause = PyException_GetCause(old.get());  // new reference or null
  if (cause != nullptr) PyException_SetCause(renamed.get(), cause);  // steals
  restore_raised_exception(renamed.release());
  return Error::current();
}

// ---------------------------------------------------------------------------------------
// Binding

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool keyword_is(PyObject* kw, const char* name) {
  return PyUnicode_Check(kw) && PyUnicode_CompareWithASCIIString(kw, name) == 0;
}

}  // namespace

Status bind_arguments(const char* display_name, std::span<const char* const> names, std::size_t required,
                      PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> out) {
  const size_t nparams = names.size();
  const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
  for (auto& slot : out) slot = nullptr;
  for (size_t i = 0; i < nargs && i < nparams; ++i) out[i] = args[i];

  // Keywords first, as the interpreter does for Python functions.
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
    size_t index = nparams;
    for (size_t p = 0; p < nparams; ++p) {
      if (keyword_is(kw, names[p])) {
        index = p;
        break;
      }
    }
    if (index == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", display_name, kw);
      return Error::current();
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", display_name, names[index]);
      return Error::current();
    }
    out[index] = args[nargs + static_cast<size_t>(k)];
  }

  if (nargs > nparams) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zu %s given", display_name,
                 required, nparams, nargs, nargs == 1 ? "was" : "were");
    return Error::current();
  }

  std::vector<const char*> missing;
  for (size_t p = 0; p < required; ++p) {
    if (out[p] == nullptr) missing.push_back(names[p]);
  }
  if (!missing.empty()) {
    const std::string list = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", display_name,
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return Error::current();
  }
  return Unit{};
}

// ---------------------------------------------------------------------------------------
// Conversions

namespace {

ProcessObject sequence_abc;

Result<PyObject*> sequence_type() {
  return sequence_abc.get([]() -> Result<Ref> {
    Ref mod = Ref::steal(PyImport_ImportModule("collections.abc"));
    Ref seq = mod ? Ref::steal(PyObject_GetAttrString(mod.get(), "Sequence")) : Ref();
    if (!seq) {
      std::string why = "could not look up collections.abc.Sequence";
      PyErr_Clear();
      throw InternalFault(why);
    }
    return seq;
  });
}

Result<std::string> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) return Error::current();
  return std::string(utf8, static_cast<size_t>(size));
}

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return false;
  }
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

Result<std::string> to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return cast_error(obj, "str");
  return utf8_of(obj);
}

Result<std::vector<std::string>> to_text_list(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    return type_error("a str is not accepted where a sequence of str is expected; wrap the name in a list");
  }
  if (!PySequence_Check(obj)) {
    Result<PyObject*> seq = sequence_type();
    if (!seq.ok()) return seq.error();
    return cast_error(obj, qualified_type_name(reinterpret_cast<PyTypeObject*>(seq.value())));
  }
  std::vector<std::string> out;
  const Py_ssize_t hint = PyObject_LengthHint(obj, 0);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<size_t>(hint));
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) return Error::current();
  while (true) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) return Error::current();
      break;
    }
    Result<std::string> text = to_text(item.get());
    if (!text.ok()) return text.error();
    out.push_back(std::move(text).value());
  }
  return out;
}

Result<PyObject*> to_mapping(PyObject* obj) {
  if (!PyDict_Check(obj)) return cast_error(obj, "dict");
  return obj;
}

Result<std::optional<PyObject*>> to_optional_mapping(PyObject* obj) {
  if (obj == Py_None) return std::optional<PyObject*>{};
  Result<PyObject*> m = to_mapping(obj);
  if (!m.ok()) return m.error();
  return std::optional<PyObject*>{m.value()};
}

Result<uint64_t> to_count(PyObject* obj) {
  Ref index;
  PyObject* number = obj;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) return Error::current();
    number = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::current();
  return static_cast<uint64_t>(v);
}

Result<double> to_number(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return Error::current();
  return v;
}

Result<std::optional<double>> to_optional_number(PyObject* obj) {
  if (obj == Py_None) return std::optional<double>{};
  Result<double> v = to_number(obj);
  if (!v.ok()) return v.error();
  return std::optional<double>{v.value()};
}

Result<bool> to_flag(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (obj != Py_None && is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return Error::current();
    return truth != 0;
  }
  return cast_error(obj, "bool");
}

Result<int64_t> to_int64(PyObject* obj) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return Error::current();
  return static_cast<int64_t>(v);
}

int64_t saturating_trunc(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or beyond it saturates.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace quelm::py
