// The host's objects, read and written by attribute name: the tracker and its member_vars,
// neuron modules, dendrite modules and their value holders. Only the names of names.h.
#pragma once

#include "host/settings.h"

namespace dgr::host {

// ---- the tracker ------------------------------------------------------------
inline py::object tracker() { return GDL().attr(names::arb_tracker()); }
inline py::object member_vars() { return tracker().attr(names::member_vars()); }
inline py::object member_var(py::handle key) { return member_vars()[key]; }
inline void set_member_var(py::handle key, py::handle value) { member_vars()[key] = value; }
inline bool tracker_mode_is(const char* mode) { return member_var(names::mode()).equal(py::str(mode)); }

// getattr(obj, name, None) for module walks: a missing attribute reads as None;
// returns false (skip the member) when reading raised another ordinary exception.
// KeyboardInterrupt and the like still stop the walk.
inline bool read_attr(py::handle obj, py::handle name, py::object& out) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value) {
    out = py::reinterpret_steal<py::object>(value);
    return true;
  }
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    out = py::none();
    return true;
  }
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return false;
  }
  throw py::error_already_set();
}

// obj.<name> for a torch.nn.Module member without running Module.__getattr__ in Python:
// the instance's own attribute, else its parameter, buffer or submodule of that name, in
// the order Python looks them up. Anything the type itself defines under the name (a
// property, a method), a type with a lookup of its own (__getattribute__, __getattr__
// other than Module's) and anything not found there take the ordinary lookup.
inline py::object member(py::handle obj, py::handle name) {
  static PyObject* generic_lookup = _PyType_Lookup(&PyBaseObject_Type, DGR_STR("__getattribute__").ptr());
  static PyObject* module_fallback = _PyType_Lookup(
      reinterpret_cast<PyTypeObject*>(nn_module().attr("Module").ptr()), DGR_STR("__getattr__").ptr());
  PyTypeObject* type = Py_TYPE(obj.ptr());
  PyObject** dict_slot = _PyObject_GetDictPtr(obj.ptr());
  if (dict_slot && *dict_slot && !_PyType_Lookup(type, name.ptr()) &&
      _PyType_Lookup(type, DGR_STR("__getattribute__").ptr()) == generic_lookup &&
      _PyType_Lookup(type, DGR_STR("__getattr__").ptr()) == module_fallback) {
    PyObject* dict = *dict_slot;
    if (PyObject* own = PyDict_GetItemWithError(dict, name.ptr())) return py::reinterpret_borrow<py::object>(own);
    for (py::handle table : {DGR_STR("_parameters"), DGR_STR("_buffers"), DGR_STR("_modules")}) {
      PyObject* entries = PyDict_GetItemWithError(dict, table.ptr());
      if (!entries || !PyDict_Check(entries)) continue;
      if (PyObject* value = PyDict_GetItemWithError(entries, name.ptr())) {
        return py::reinterpret_borrow<py::object>(value);
      }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return obj.attr(name);
}

// The modules of obj.<name>, a torch.nn.ModuleList (read from its table of submodules,
// without Python's iterator) or any other iterable, as a list.
inline py::list module_list(py::handle obj, py::handle name) {
  py::object value = member(obj, name);
  static PyObject* list_type = nn_attr("ModuleList").release().ptr();
  if (reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) == list_type) {
    PyObject** dict_slot = _PyObject_GetDictPtr(value.ptr());
    PyObject* modules = dict_slot && *dict_slot ? PyDict_GetItemWithError(*dict_slot, DGR_STR("_modules").ptr()) : nullptr;
    if (modules && PyDict_CheckExact(modules)) {
      PyObject* values = PyDict_Values(modules);
      if (!values) throw py::error_already_set();
      return py::reinterpret_steal<py::list>(values);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return py::list(value);
}

// obj.<name> as a tensor; the TypeError names the owner's class and the attribute.
inline at::Tensor tensor_attr(py::handle obj, py::handle name) {
  py::object value = member(obj, name);
  if (!is_tensor(value)) {
    throw py::type_error(class_name(obj) + "." + std::string(py::str(name)) + " must be a tensor, got " +
                         class_name(value));
  }
  return THPVariable_Unpack(value.ptr());
}

// ---- neuron modules, dendrite modules, value holders ------------------------------
inline py::object dendrite_module_of(py::handle neuron_module) {
  return member(neuron_module, names::dendrite_module());
}
// A dendrite module's value holders, one per candidate slot, as a list.
inline py::list holders_of(py::handle dendrite_module) { return module_list(dendrite_module, names::dendrite_values()); }
// A holder's per-device list (names::dendrite_outs() or names::current_parent_d()) for a device index.
inline py::list stored_list(py::handle holder, py::handle list_name, long long device_index) {
  return holder.attr(list_name)[py::int_(device_index)];
}
// The same under the device index object a holder keeps (its `device`).
inline py::list stored_list(py::handle holder, py::handle list_name, py::handle device_index) {
  return holder.attr(list_name)[device_index];
}
// The neuron modules the tracker serves, as a list.
inline py::list neuron_modules(py::handle tracker_obj) { return py::list(tracker_obj.attr(names::neuron_module_vector())); }

}  // namespace dgr::host
