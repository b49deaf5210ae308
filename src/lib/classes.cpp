// The classes RakeResult and _ArrowData: heap types created once per process, neither
// instantiable nor subclassable from Python, with immutable instances.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include "lib/module.hpp"

namespace quelm::lib {

namespace {

constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// Deallocation of an instance of a heap type: the object, then the reference that the
// instance held on its type. The current exception is left alone.
template <class Object>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object*>(self)->~Object();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Object>
Result<Ref> allocate(Result<PyObject*> type) {
  if (!type.ok()) return type.error();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.value());
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return py::Error::current();
  return Ref::steal(self);
}

// ---------------------------------------------------------------------------------------
// RakeResult

struct RakeResultObject {
  PyObject_HEAD
  adapter::RunSummary s;
};

const adapter::RunSummary& summary(PyObject* self) { return reinterpret_cast<RakeResultObject*>(self)->s; }

double weight_ratio(const adapter::RunSummary& s) {
  if (s.weight_min > 0.0) return s.weight_max / s.weight_min;
  return std::numeric_limits<double>::infinity();
}

// Nearest multiple of 10^-digits, halves away from zero.
double round_half_away(double value, double scale) { return std::round(value * scale) / scale; }

PyObject* get_n_valid(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyLong_FromUnsignedLongLong(summary(self).n_valid)); });
}
PyObject* get_iterations(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyLong_FromUnsignedLongLong(summary(self).iterations)); });
}
PyObject* get_converged(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyBool_FromLong(summary(self).converged)); });
}
PyObject* get_stalled(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyBool_FromLong(summary(self).stalled)); });
}
PyObject* get_max_target_gap(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyFloat_FromDouble(summary(self).max_target_gap)); });
}
PyObject* get_efficiency(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyFloat_FromDouble(summary(self).efficiency)); });
}
PyObject* get_weight_min(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyFloat_FromDouble(summary(self).weight_min)); });
}
PyObject* get_weight_max(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyFloat_FromDouble(summary(self).weight_max)); });
}
PyObject* get_weight_ratio(PyObject* self, void*) {
  return py::enter([&]() -> Result<Ref> { return Ref::steal(PyFloat_FromDouble(weight_ratio(summary(self)))); });
}

PyObject* rake_result_summary(PyObject* self, PyObject*) {
  return py::enter([&]() -> Result<Ref> {
    const adapter::RunSummary& s = summary(self);
    const double ratio =
        s.weight_min > 0.0 ? round_half_away(s.weight_max / s.weight_min, 100.0) : std::numeric_limits<double>::infinity();
    const std::pair<const char*, double> entries[] = {
        {"n_valid", static_cast<double>(s.n_valid)},
        {"iterations", static_cast<double>(s.iterations)},
        {"converged", s.converged ? 1.0 : 0.0},
        {"stalled", s.stalled ? 1.0 : 0.0},
        {"max_target_gap", s.max_target_gap},
        {"efficiency", round_half_away(s.efficiency, 100.0)},
        {"weight_min", round_half_away(s.weight_min, 10000.0)},
        {"weight_max", round_half_away(s.weight_max, 10000.0)},
        {"weight_ratio", ratio},
    };
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return py::Error::current();
    for (const auto& [key, value] : entries) {
      Ref v = Ref::steal(PyFloat_FromDouble(value));
      if (!v || PyDict_SetItemString(dict.get(), key, v.get()) < 0) return py::Error::current();
    }
    return dict;
  });
}

// Fixed-point text with `digits` digits after the point, rounded from the exact value of
// the double; non-finite values print as inf, -inf and NaN.
std::string fixed(double value, int digits) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", digits, value);
  return buf;
}

PyObject* rake_result_repr(PyObject* self) {
  return py::enter([&]() -> Result<Ref> {
    const adapter::RunSummary& s = summary(self);
    std::string text = "RakeResult(n_valid=" + std::to_string(s.n_valid) +
                       ", iterations=" + std::to_string(s.iterations) +
                       ", converged=" + (s.converged ? "true" : "false") +
                       ", max_target_gap=" + fixed(s.max_target_gap, 2) + ", efficiency=" + fixed(s.efficiency, 2) +
                       "%, weights=[" + fixed(s.weight_min, 4) + ".." + fixed(s.weight_max, 4) + "])";
    return py::text_to_str(text);
  });
}

void rake_result_dealloc(PyObject* self) { dealloc<RakeResultObject>(self); }

PyGetSetDef rake_result_getset[] = {
    {"n_valid", get_n_valid, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"converged", get_converged, nullptr, nullptr, nullptr},
    {"stalled", get_stalled, nullptr, nullptr, nullptr},
    {"max_target_gap", get_max_target_gap, nullptr, nullptr, nullptr},
    {"efficiency", get_efficiency, nullptr, nullptr, nullptr},
    {"weight_min", get_weight_min, nullptr, nullptr, nullptr},
    {"weight_max", get_weight_max, nullptr, nullptr, nullptr},
    {"weight_ratio", get_weight_ratio, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef rake_result_methods[] = {
    {"summary", rake_result_summary, METH_NOARGS, "summary($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rake_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(rake_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(rake_result_repr)},
    {Py_tp_getset, rake_result_getset},
    {Py_tp_methods, rake_result_methods},
    {0, nullptr},
};

PyType_Spec rake_result_spec = {
    "builtins.RakeResult",
    static_cast<int>(sizeof(RakeResultObject)),
    0,
    static_cast<unsigned int>(kClassFlags),
    rake_result_slots,
};

// ---------------------------------------------------------------------------------------
// _ArrowData

struct ArrowDataObject {
  PyObject_HEAD
  arrow::BatchPtr batch;
};

const char* const kStreamCapsuleName = "arrow_array_stream";

void stream_capsule_destructor(PyObject* capsule) {
  // Runs during garbage collection or reference drops: must not leave an exception set.
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsuleName));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  std::free(stream);
}

PyObject* arrow_data_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::enter([&]() -> Result<Ref> {
    static const char* const names[] = {"requested_schema"};
    PyObject* bound[1];
    if (auto st = py::bind_arguments("_ArrowData.__arrow_c_stream__", names, 0, args, nargs, kwnames, bound);
        !st.ok()) {
      return st.error();
    }
    PyObject* requested = bound[0];
    if (requested != nullptr && requested != Py_None && !PyCapsule_CheckExact(requested)) {
      return py::with_argument_name("requested_schema", py::cast_error(requested, "PyCapsule"));
    }
    // The stream always carries the table's own schema.
    auto* stream = static_cast<ArrowArrayStream*>(std::malloc(sizeof(ArrowArrayStream)));
    if (stream == nullptr) return Ref::steal(PyErr_NoMemory());
    stream->release = nullptr;
    Ref capsule = Ref::steal(PyCapsule_New(stream, kStreamCapsuleName, stream_capsule_destructor));
    if (!capsule) {
      std::free(stream);
      return py::Error::current();
    }
    arrow::export_stream(reinterpret_cast<ArrowDataObject*>(self)->batch, stream);
    return capsule;
  });
}

PyObject* arrow_data_repr(PyObject* self) {
  return py::enter([&]() -> Result<Ref> {
    const arrow::RecordBatch& b = *reinterpret_cast<ArrowDataObject*>(self)->batch;
    std::string text =
        "_ArrowData(rows=" + std::to_string(b.num_rows) + ", cols=" + std::to_string(b.columns.size()) + ")";
    return py::text_to_str(text);
  });
}

void arrow_data_dealloc(PyObject* self) { dealloc<ArrowDataObject>(self); }

PyMethodDef arrow_data_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_data_stream)),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot arrow_data_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(arrow_data_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(arrow_data_repr)},
    {Py_tp_methods, arrow_data_methods},
    {Py_tp_doc, const_cast<char*>("Wraps an Arrow RecordBatch and exports it via the Arrow PyCapsule Interface.")},
    {0, nullptr},
};

PyType_Spec arrow_data_spec = {
    "builtins._ArrowData",
    static_cast<int>(sizeof(ArrowDataObject)),
    0,
    static_cast<unsigned int>(kClassFlags),
    arrow_data_slots,
};

py::ProcessObject rake_result_class;
py::ProcessObject arrow_data_class;

Result<Ref> create_type(PyType_Spec* type_spec) {
  Ref type = Ref::steal(PyType_FromSpec(type_spec));
  if (!type) return py::Error::current();
  return type;
}

}  // namespace

Result<PyObject*> rake_result_type() {
  return rake_result_class.get([] { return create_type(&rake_result_spec); });
}

Result<PyObject*> arrow_data_type() {
  return arrow_data_class.get([] { return create_type(&arrow_data_spec); });
}

Result<Ref> make_rake_result(const adapter::RunSummary& s) {
  Result<Ref> obj = allocate<RakeResultObject>(rake_result_type());
  if (!obj.ok()) return obj;
  new (&reinterpret_cast<RakeResultObject*>(obj.value().get())->s) adapter::RunSummary(s);
  return obj;
}

Result<Ref> make_arrow_data(arrow::RecordBatch&& batch) {
  auto shared = std::make_shared<const arrow::RecordBatch>(std::move(batch));
  Result<Ref> obj = allocate<ArrowDataObject>(arrow_data_type());
  if (!obj.ok()) return obj;
  new (&reinterpret_cast<ArrowDataObject*>(obj.value().get())->batch) arrow::BatchPtr(std::move(shared));
  return obj;
}

}  // namespace quelm::lib
