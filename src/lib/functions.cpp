// The three module functions: binding and conversion of the arguments, the import of the
// table, the parsing of the targets, then the call flow below the Python layer, and the
// returned tuple.
#include <unordered_map>

#include "arrow_adapter/groups.hpp"
#include "lib/module.hpp"

namespace quelm::lib {

namespace {

// The arguments every function shares, converted.
struct CommonOptions {
  std::string weight_column = "weight";
  uint64_t max_iterations = 1000;
  double convergence_threshold = 0.01;
  std::optional<double> min_cap;
  std::optional<double> max_cap;
  bool drop_nulls = true;
  std::optional<double> total;
  bool cap_correction = true;

  engine::RakeOptions engine_options() const {
    engine::RakeOptions o;
    o.min_cap = min_cap;
    o.max_cap = max_cap;
    o.max_iterations = max_iterations;
    o.convergence_threshold = convergence_threshold;
    o.cap_correction = cap_correction;
    return o;
  }
};

#define QUELM_CONVERT(var, name, arg, def, fn)                                \
  do {                                                                         \
    auto converted_ = py::convert_argument(name, arg, def, fn);                \
    if (!converted_.ok()) return converted_.error();                           \
    var = std::move(converted_).value();                                       \
  } while (0)

// The common parameters from weight_column to drop_nulls, which every function takes in
// this order, `args` pointing at weight_column's slot.
py::Status convert_common_head(PyObject* const* args, CommonOptions& o) {
  QUELM_CONVERT(o.weight_column, "weight_column", args[0], std::string("weight"), py::to_text);
  QUELM_CONVERT(o.max_iterations, "max_iterations", args[1], uint64_t{1000}, py::to_count);
  QUELM_CONVERT(o.convergence_threshold, "convergence_threshold", args[2], 0.01, py::to_number);
  QUELM_CONVERT(o.min_cap, "min_cap", args[3], std::optional<double>{}, py::to_optional_number);
  QUELM_CONVERT(o.max_cap, "max_cap", args[4], std::optional<double>{}, py::to_optional_number);
  QUELM_CONVERT(o.drop_nulls, "drop_nulls", args[5], true, py::to_flag);
  return py::Unit{};
}

// The last two common parameters, total and cap_correction.
py::Status convert_common_tail(PyObject* total, PyObject* cap_correction, CommonOptions& o) {
  QUELM_CONVERT(o.total, "total", total, std::optional<double>{}, py::to_optional_number);
  QUELM_CONVERT(o.cap_correction, "cap_correction", cap_correction, true, py::to_flag);
  return py::Unit{};
}

adapter::RakeCall common_call(CommonOptions&& o, std::vector<std::string>&& target_columns) {
  adapter::RakeCall call;
  call.target_columns = std::move(target_columns);
  call.options = o.engine_options();
  call.drop_nulls = o.drop_nulls;
  call.total = o.total;
  call.weight_column = std::move(o.weight_column);
  return call;
}

// The text form of a key of `schemes` or `group_totals`, comparable with group key texts:
// a str as it is, an integer in decimal, a float in its shortest decimal form.
Result<std::string> key_text(PyObject* key) {
  if (PyUnicode_Check(key)) return py::to_text(key);
  Result<int64_t> as_int = py::to_int64(key);
  if (as_int.ok()) return std::to_string(as_int.value());
  PyErr_Clear();
  Result<double> as_float = py::to_number(key);
  if (!as_float.ok()) return as_float.error();
  return adapter::float_key_text(as_float.value());
}

Result<Ref> result_tuple(Ref table, Ref results) {
  Ref tuple = Ref::steal(PyTuple_New(2));
  if (!tuple) return py::Error::current();
  PyTuple_SET_ITEM(tuple.get(), 0, table.release());
  PyTuple_SET_ITEM(tuple.get(), 1, results.release());
  return tuple;
}

Result<Ref> rim_rake_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data",           "target_columns", "targets",
                                      "weight_column",  "max_iterations", "convergence_threshold",
                                      "min_cap",        "max_cap",        "drop_nulls",
                                      "total",          "cap_correction"};
  PyObject* a[11];
  if (auto st = py::bind_arguments("rim_rake", names, 3, args, nargs, kwnames, a); !st.ok()) return st.error();

  PyObject* data = a[0];
  std::vector<std::string> target_columns;
  PyObject* targets = nullptr;
  CommonOptions o;
  QUELM_CONVERT(target_columns, "target_columns", a[1], std::vector<std::string>{}, py::to_text_list);
  QUELM_CONVERT(targets, "targets", a[2], static_cast<PyObject*>(nullptr), py::to_mapping);
  if (auto st = convert_common_head(a + 3, o); !st.ok()) return st.error();
  if (auto st = convert_common_tail(a[9], a[10], o); !st.ok()) return st.error();

  Result<arrow::RecordBatch> batch = import_record_batch(data);
  if (!batch.ok()) return batch.error();
  Result<adapter::TargetSet> parsed = parse_targets(targets);
  if (!parsed.ok()) return parsed.error();

  adapter::RakeCall call = common_call(std::move(o), std::move(target_columns));
  auto raked = adapter::rake_table(batch.value(), parsed.value(), call);
  if (!raked.ok()) return value_error(raked.error());

  Result<Ref> table = make_arrow_data(std::move(raked->table));
  if (!table.ok()) return table;
  Result<Ref> result = make_rake_result(raked->summary);
  if (!result.ok()) return result;
  return result_tuple(std::move(table).value(), std::move(result).value());
}

Result<Ref> grouped_result(adapter::GroupedRake&& raked) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return py::Error::current();
  for (const auto& [key, summary] : raked.groups) {
    Ref k = py::text_to_str(key);
    if (!k) return py::Error::current();
    Result<Ref> r = make_rake_result(summary);
    if (!r.ok()) return r;
    if (PyDict_SetItem(dict.get(), k.get(), r.value().get()) < 0) return py::Error::current();
  }
  Result<Ref> table = make_arrow_data(std::move(raked.table));
  if (!table.ok()) return table;
  return result_tuple(std::move(table).value(), std::move(dict));
}

Result<Ref> rim_rake_grouped_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data",           "target_columns",        "targets", "group_columns",
                                      "weight_column",  "max_iterations",        "convergence_threshold",
                                      "min_cap",        "max_cap",               "drop_nulls",
                                      "total",          "cap_correction"};
  PyObject* a[12];
  if (auto st = py::bind_arguments("rim_rake_grouped", names, 4, args, nargs, kwnames, a); !st.ok()) {
    return st.error();
  }
  std::vector<std::string> target_columns;
  std::vector<std::string> group_columns;
  PyObject* targets = nullptr;
  CommonOptions o;
  QUELM_CONVERT(target_columns, "target_columns", a[1], std::vector<std::string>{}, py::to_text_list);
  QUELM_CONVERT(targets, "targets", a[2], static_cast<PyObject*>(nullptr), py::to_mapping);
  QUELM_CONVERT(group_columns, "group_columns", a[3], std::vector<std::string>{}, py::to_text_list);
  if (auto st = convert_common_head(a + 4, o); !st.ok()) return st.error();
  if (auto st = convert_common_tail(a[10], a[11], o); !st.ok()) return st.error();

  Result<arrow::RecordBatch> batch = import_record_batch(a[0]);
  if (!batch.ok()) return batch.error();
  Result<adapter::TargetSet> parsed = parse_targets(targets);
  if (!parsed.ok()) return parsed.error();

  adapter::GroupedCall call;
  call.common = common_call(std::move(o), std::move(target_columns));
  call.group_columns = std::move(group_columns);
  auto raked = adapter::rake_grouped(batch.value(), parsed.value(), call);
  if (!raked.ok()) return value_error(raked.error());
  return grouped_result(std::move(raked).value());
}

Result<Ref> rim_rake_by_scheme_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data",       "group_column",   "schemes",
                                      "default_scheme", "weight_column", "max_iterations",
                                      "convergence_threshold", "min_cap", "max_cap",
                                      "drop_nulls", "group_totals",   "total",
                                      "cap_correction"};
  PyObject* a[13];
  if (auto st = py::bind_arguments("rim_rake_by_scheme", names, 3, args, nargs, kwnames, a); !st.ok()) {
    return st.error();
  }
  std::string group_column;
  PyObject* schemes = nullptr;
  std::optional<PyObject*> default_scheme;
  std::optional<PyObject*> group_totals;
  CommonOptions o;
  QUELM_CONVERT(group_column, "group_column", a[1], std::string(), py::to_text);
  QUELM_CONVERT(schemes, "schemes", a[2], static_cast<PyObject*>(nullptr), py::to_mapping);
  QUELM_CONVERT(default_scheme, "default_scheme", a[3], std::optional<PyObject*>{}, py::to_optional_mapping);
  if (auto st = convert_common_head(a + 4, o); !st.ok()) return st.error();
  QUELM_CONVERT(group_totals, "group_totals", a[10], std::optional<PyObject*>{}, py::to_optional_mapping);
  if (auto st = convert_common_tail(a[11], a[12], o); !st.ok()) return st.error();

  Result<arrow::RecordBatch> batch = import_record_batch(a[0]);
  if (!batch.ok()) return batch.error();

  adapter::SchemeCall call;
  call.common = common_call(std::move(o), {});
  call.group_column = std::move(group_column);
  if (default_scheme) {
    Result<adapter::TargetSet> parsed = parse_targets(*default_scheme);
    if (!parsed.ok()) return parsed.error();
    call.default_scheme = std::move(parsed).value();
  }
  std::unordered_map<std::string, size_t> scheme_index;
  py::Status st = py::for_each_item(schemes, [&](PyObject* key, PyObject* value) -> py::Status {
    Result<std::string> text = key_text(key);
    if (!text.ok()) return text.error();
    if (!PyDict_Check(value)) return py::cast_error(value, "dict");
    Result<adapter::TargetSet> parsed = parse_targets(value);
    if (!parsed.ok()) return parsed.error();
    auto [it, inserted] = scheme_index.try_emplace(text.value(), call.schemes.size());
    if (inserted) {
      call.schemes.emplace_back(std::move(text).value(), std::move(parsed).value());
    } else {
      call.schemes[it->second].second = std::move(parsed).value();
    }
    return py::Unit{};
  });
  if (!st.ok()) return st.error();
  if (group_totals) {
    std::vector<std::pair<std::string, double>> totals;
    std::unordered_map<std::string, size_t> total_index;
    st = py::for_each_item(*group_totals, [&](PyObject* key, PyObject* value) -> py::Status {
      Result<std::string> text = key_text(key);
      if (!text.ok()) return text.error();
      Result<double> share = py::to_number(value);
      if (!share.ok()) return share.error();
      auto [it, inserted] = total_index.try_emplace(text.value(), totals.size());
      if (inserted) {
        totals.emplace_back(std::move(text).value(), share.value());
      } else {
        totals[it->second].second = share.value();
      }
      return py::Unit{};
    });
    if (!st.ok()) return st.error();
    call.group_totals = std::move(totals);
  }

  auto raked = adapter::rake_by_scheme(batch.value(), call);
  if (!raked.ok()) return value_error(raked.error());
  return grouped_result(std::move(raked).value());
}

}  // namespace

PyObject* rim_rake(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::enter([&] { return rim_rake_body(args, nargs, kwnames); });
}

PyObject* rim_rake_grouped(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::enter([&] { return rim_rake_grouped_body(args, nargs, kwnames); });
}

PyObject* rim_rake_by_scheme(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::enter([&] { return rim_rake_by_scheme_body(args, nargs, kwnames); });
}

}  // namespace quelm::lib
