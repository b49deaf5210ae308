// The targets parser: {column: {category: share}} into a TargetSet.
#include "lib/module.hpp"

namespace quelm::lib {

namespace {

// A category key: a signed 64-bit integer if the interpreter's integer conversion takes it,
// else a float truncated toward zero, else a text.
Result<adapter::TargetKey> to_target_key(PyObject* key) {
  Result<int64_t> as_int = py::to_int64(key);
  if (as_int.ok()) return adapter::TargetKey::integer(as_int.value());
  PyErr_Clear();
  Result<double> as_float = py::to_number(key);
  if (as_float.ok()) return adapter::TargetKey::integer(py::saturating_trunc(as_float.value()));
  PyErr_Clear();
  Result<std::string> as_text = py::to_text(key);
  if (!as_text.ok()) return as_text.error();
  return adapter::TargetKey::text(std::move(as_text).value());
}

}  // namespace

Result<adapter::TargetSet> parse_targets(PyObject* dict) {
  adapter::TargetSet out;
  py::Status st = py::for_each_item(dict, [&](PyObject* column, PyObject* shares) -> py::Status {
    Result<std::string> name = py::to_text(column);
    if (!name.ok()) return name.error();
    if (!PyDict_Check(shares)) return py::cast_error(shares, "dict");
    adapter::TargetSpec column_shares;
    py::Status inner = py::for_each_item(shares, [&](PyObject* key, PyObject* value) -> py::Status {
      Result<adapter::TargetKey> k = to_target_key(key);
      if (!k.ok()) return k.error();
      Result<double> share = py::to_number(value);
      if (!share.ok()) return share.error();
      column_shares.insert_or_assign(std::move(k).value(), share.value());
      return py::Unit{};
    });
    if (!inner.ok()) return inner;
    out.put(std::move(name).value(), std::move(column_shares));
    return py::Unit{};
  });
  if (!st.ok()) return st.error();
  return out;
}

}  // namespace quelm::lib
