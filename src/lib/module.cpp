// The module `quelm._quelm_engine`: multi-phase initialisation; the execution routine
// publishes the two classes and the three functions, in this order, also in __all__.
#include "lib/module.hpp"

namespace quelm::lib {

namespace {

PyMethodDef function_defs[] = {
    {"rim_rake", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rim_rake)), METH_FASTCALL | METH_KEYWORDS,
     "rim_rake(data, target_columns, targets, weight_column=\"weight\", max_iterations=1000, "
     "convergence_threshold=0.01, min_cap=None, max_cap=None, drop_nulls=True, total=None, "
     "cap_correction=True)\n--\n\n"},
    {"rim_rake_grouped", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rim_rake_grouped)),
     METH_FASTCALL | METH_KEYWORDS,
     "rim_rake_grouped(data, target_columns, targets, group_columns, weight_column=\"weight\", "
     "max_iterations=1000, convergence_threshold=0.01, min_cap=None, max_cap=None, drop_nulls=True, "
     "total=None, cap_correction=True)\n--\n\n"},
    {"rim_rake_by_scheme", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rim_rake_by_scheme)),
     METH_FASTCALL | METH_KEYWORDS,
     "rim_rake_by_scheme(data, group_column, schemes, default_scheme=None, weight_column=\"weight\", "
     "max_iterations=1000, convergence_threshold=0.01, min_cap=None, max_cap=None, drop_nulls=True, "
     "group_totals=None, total=None, cap_correction=True)\n--\n\n"},
};

// Appends `name` to the module's __all__ (creating the list when absent) and sets the
// attribute. Steals nothing.
py::Status add_object(PyObject* module, const char* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py::Error::current();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return py::Error::current();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return py::Error::current();
  }
  if (!PyList_Check(all.get())) return py::cast_error(all.get(), "list");
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    throw py::InternalFault("could not append __name__ to __all__");
  }
  if (PyObject_SetAttrString(module, name, object) < 0) return py::Error::current();
  return py::Unit{};
}

int exec_module(PyObject* module) {
  PyObject* done = py::enter([module]() -> Result<Ref> {
    if (!PyModule_Check(module)) return py::cast_error(module, "module");

    Result<PyObject*> rake_result = rake_result_type();
    if (!rake_result.ok()) return rake_result.error();
    if (auto st = add_object(module, "RakeResult", rake_result.value()); !st.ok()) return st.error();

    Result<PyObject*> arrow_data = arrow_data_type();
    if (!arrow_data.ok()) return arrow_data.error();
    if (auto st = add_object(module, "_ArrowData", arrow_data.value()); !st.ok()) return st.error();

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return py::Error::current();
    for (PyMethodDef& def : function_defs) {
      Ref fn = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
      if (!fn) return py::Error::current();
      if (auto st = add_object(module, def.ml_name, fn.get()); !st.ok()) return st.error();
    }
    return Ref::borrow(Py_None);
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    // The class objects are shared by the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_MOD_GIL_NOT_USED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quelm_engine",  // m_name
    "",               // m_doc
    0,                // m_size
    nullptr,          // m_methods
    module_slots,     // m_slots
    nullptr,          // m_traverse
    nullptr,          // m_clear
    nullptr,          // m_free
};

}  // namespace

}  // namespace quelm::lib

PyMODINIT_FUNC PyInit__quelm_engine(void) { return PyModuleDef_Init(&quelm::lib::module_def); }
