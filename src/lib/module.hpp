// Declarations shared by the files of the Python module.
#pragma once

#include "arrow/arrow.hpp"
#include "arrow_adapter/flows.hpp"
#include "arrow_adapter/targets.hpp"
#include "py/py.hpp"

namespace quelm::lib {

using py::Ref;
using py::Result;

// The class objects, created once per process on first need.
Result<PyObject*> rake_result_type();
Result<PyObject*> arrow_data_type();

// A new RakeResult holding `summary`.
Result<Ref> make_rake_result(const adapter::RunSummary& summary);
// A new _ArrowData holding `batch`.
Result<Ref> make_arrow_data(arrow::RecordBatch&& batch);

// Reads `data` through its __arrow_c_stream__ into one record batch.
Result<arrow::RecordBatch> import_record_batch(PyObject* data);

// Parses a targets dict (already known to be a dict) into a TargetSet.
Result<adapter::TargetSet> parse_targets(PyObject* dict);

// The module functions (fast calling convention with keywords).
PyObject* rim_rake(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* rim_rake_grouped(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* rim_rake_by_scheme(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// An adapter error text raised as ValueError.
inline py::Error value_error(const arrow::Error& e) { return py::value_error(e.message); }

}  // namespace quelm::lib
