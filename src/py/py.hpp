// A thin layer over the CPython C API for the module: owned references, error values
// that become Python exceptions lazily, the common entry wrapper of every Python-visible
// callable, the argument binder with CPython's own wording of binding errors, the
// conversions of the argument kinds, once-only process-wide objects that never block a
// thread attached to the interpreter, and shims for the API differences between 3.11
// and 3.14 (free-threaded builds included).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#if PY_VERSION_HEX < 0x030D0000 || !defined(Py_BEGIN_CRITICAL_SECTION)
// Before 3.13 there is no per-object locking to take: the GIL serialises everything.
#define QUELM_BEGIN_CRITICAL_SECTION(op) {
#define QUELM_END_CRITICAL_SECTION() }
#else
#define QUELM_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define QUELM_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#endif

namespace quelm::py {

// ---------------------------------------------------------------------------------------
// Owned references

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Errors

// A failure on its way out to Python: either the interpreter's current exception (already
// set), or an exception type with a UTF-8 message, built only when it is raised.
class Error {
 public:
  // The current Python exception; it must be set.
  static Error current() { return Error(); }
  Error(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}

  bool is_current() const { return type_ == nullptr; }
  PyObject* type() const { return type_; }
  const std::string& message() const { return message_; }
  // Sets this error as the current Python exception.
  void raise() const;

 private:
  Error() = default;
  PyObject* type_ = nullptr;  // a process-lifetime exception type (PyExc_*)
  std::string message_;
};

inline Error value_error(std::string message) { return Error(PyExc_ValueError, std::move(message)); }
inline Error type_error(std::string message) { return Error(PyExc_TypeError, std::move(message)); }

// A broken internal invariant: thrown, caught by the entry wrapper and raised as the
// internal-fault exception (quelm.InternalError, derived from BaseException).
struct InternalFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}   // NOLINT(implicit)
  Result(Error error) : v_(std::move(error)) {}  // NOLINT(implicit)
  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;

// Sets the current exception aside for the guard's lifetime (so that code that may run
// Python, such as dropping a producer's capsule, cannot clobber it) and restores it after.
class SavedException {
 public:
  SavedException();
  ~SavedException();
  SavedException(const SavedException&) = delete;
  SavedException& operator=(const SavedException&) = delete;

 private:
  PyObject* exc_;
};

// Raises the internal-fault exception with `message` as its single argument.
void raise_internal_fault(const char* message);

// The qualified name of a type as UTF-8, or "<failed to extract type name>".
std::string qualified_type_name(PyTypeObject* type);

// The cast error: TypeError "'{}' object is not an instance of '{}'" (or "'None' is not an
// instance of '{}'" for None).
Error cast_error(PyObject* given, std::string_view expected);

// str(obj) as UTF-8 (invalid sequences replaced), for messages.
std::string str_of(PyObject* obj);

// Decodes UTF-8 text into a str, replacing invalid sequences.
Ref text_to_str(std::string_view text);

// Runs `body` (returning Result<Ref>) and turns its outcome into a new reference or NULL
// with the exception set: error values are raised, an InternalFault or any other C++
// exception becomes the internal-fault exception, std::bad_alloc a MemoryError.
template <class F>
PyObject* enter(F&& body) noexcept {
  try {
    Result<Ref> r = body();
    if (r.ok()) return std::move(r).value().release();
    r.error().raise();
  } catch (const InternalFault& fault) {
    raise_internal_fault(fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unknown internal error");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Once-only process-wide objects

// A strong reference created on first need and kept for the life of the process. Creation
// takes no lock: concurrent first uses may each build a candidate while calling back into
// Python, the first one stored wins and the others are dropped, so no thread attached to
// the interpreter ever waits on another.
class ProcessObject {
 public:
  template <class Make>
  Result<PyObject*> get(Make&& make) {
    PyObject* p = slot_.load(std::memory_order_acquire);
    if (p != nullptr) return p;
    Result<Ref> made = make();
    if (!made.ok()) return made.error();
    PyObject* candidate = made.value().release();
    PyObject* expected = nullptr;
    if (slot_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) return candidate;
    Py_DECREF(candidate);
    return expected;
  }

 private:
  std::atomic<PyObject*> slot_{nullptr};
};

// ---------------------------------------------------------------------------------------
// Argument binding

// Binds the arguments of a fast-call with keywords to `names` (every parameter positional
// or keyword, the first `required` of them without default). On success `out[i]` is the
// borrowed argument of parameter i, or null when it was not given. Failures raise
// TypeError with CPython's wording, naming the callable as `display_name()`.
Status bind_arguments(const char* display_name, std::span<const char* const> names, std::size_t required,
                      PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> out);

// ---------------------------------------------------------------------------------------
// Conversions of the argument kinds. Each returns the converted value or an error; the
// caller names the parameter with with_argument_name().

Result<std::string> to_text(PyObject* obj);
Result<std::vector<std::string>> to_text_list(PyObject* obj);
Result<PyObject*> to_mapping(PyObject* obj);  // borrowed dict
Result<std::optional<PyObject*>> to_optional_mapping(PyObject* obj);
Result<uint64_t> to_count(PyObject* obj);
Result<double> to_number(PyObject* obj);
Result<std::optional<double>> to_optional_number(PyObject* obj);
Result<bool> to_flag(PyObject* obj);
// The signed 64-bit conversion (int, bool, __index__); raises OverflowError out of range.
Result<int64_t> to_int64(PyObject* obj);
// A float truncated toward zero, saturated to the int64 range, NaN giving 0.
int64_t saturating_trunc(double value);

// Prefixes an exact TypeError with "argument '{}': " (keeping its cause); any other error
// is returned unchanged.
Error with_argument_name(const char* name, const Error& error);

// Converts the parameter `name`: `value` is the bound argument or null for the default.
template <class T, class Convert>
Result<T> convert_argument(const char* name, PyObject* value, T default_value, Convert&& convert) {
  if (value == nullptr) return default_value;
  auto r = convert(value);
  if (!r.ok()) return with_argument_name(name, r.error());
  return std::move(r).value();
}

// ---------------------------------------------------------------------------------------
// Dict iteration with the checks of a dict iterator: the dict must keep its size while it
// is read (conversion hooks may run Python code that changes it).
//
// Calls visit(key, value) with strong references for every item in order; visit returns a
// Status. Faults with "dictionary changed size during iteration" or "dictionary keys changed
// during iteration".
template <class Visit>
Status for_each_item(PyObject* dict, Visit&& visit) {
  const Py_ssize_t initial = PyDict_Size(dict);
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  for (;;) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool changed = false;
    bool more = false;
    QUELM_BEGIN_CRITICAL_SECTION(dict);
    if (PyDict_Size(dict) != initial) {
      changed = true;
    } else if (PyDict_Next(dict, &pos, &key, &value)) {
      more = true;
      Py_INCREF(key);
      Py_INCREF(value);
    }
    QUELM_END_CRITICAL_SECTION();
    if (changed) throw InternalFault("dictionary changed size during iteration");
    if (!more) break;
    Ref k = Ref::steal(key);
    Ref v = Ref::steal(value);
    if (++seen > initial) throw InternalFault("dictionary keys changed during iteration");
    Status st = visit(k.get(), v.get());
    if (!st.ok()) return st;
    if (PyDict_Size(dict) != initial) throw InternalFault("dictionary changed size during iteration");
  }
  return Unit{};
}

}  // namespace quelm::py
