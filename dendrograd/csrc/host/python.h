// Python plumbing every module shares: cached names and modules, truth and number
// conversions, tensors in and out of Python objects, and the few interpreter helpers the
// add-on needs (calls with unpacked arguments, recursion limits).
//
// Python objects that must outlive a call are cached with gil_safe_call_once_and_store or
// deliberately leaked, never in function-local `static py::object`s (those are destroyed
// after the interpreter finalises).
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/Device.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

// An interned, leaked Python string: cheap attribute names for hot paths.
#define DGR_STR(literal)                                                  \
  ([]() -> py::handle {                                                   \
    static PyObject* interned = PyUnicode_InternFromString(literal);      \
    return py::handle(interned);                                          \
  }())

// A module imported once and kept for the life of the process.
#define DGR_CACHED_MODULE(import_name)                                                 \
  ([]() -> py::handle {                                                                \
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;    \
    return storage                                                                     \
        .call_once_and_store_result([] { return py::object(py::module_::import(import_name)); }) \
        .get_stored();                                                                 \
  }())

namespace dgr::host {

inline py::handle torch_module() { return DGR_CACHED_MODULE("torch"); }
inline py::handle nn_module() { return DGR_CACHED_MODULE("torch.nn"); }
inline py::object nn_attr(const char* name) { return nn_module().attr(name); }

// ---- truth, numbers, identity ---------------------------------------------------------
inline bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// Python's int(value) / float(value) for numbers, 0-dim tensors and the like.
inline long long as_int(py::handle value) {
  py::object n = py::reinterpret_steal<py::object>(PyNumber_Long(value.ptr()));
  if (!n) throw py::error_already_set();
  long long r = PyLong_AsLongLong(n.ptr());
  if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
  return r;
}
inline double as_float(py::handle value) {
  double r = PyFloat_AsDouble(value.ptr());
  if (r == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return r;
}

// a == b with the interpreter's comparison.
inline bool equals(py::handle a, py::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// len(obj).
inline size_t length(py::handle obj) {
  Py_ssize_t n = PyObject_Length(obj.ptr());
  if (n < 0) throw py::error_already_set();
  return static_cast<size_t>(n);
}

inline std::string class_name(py::handle obj) { return py::str(py::type::of(obj).attr(DGR_STR("__name__"))); }

inline bool is_instance(py::handle obj, py::handle cls) {
  int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

inline bool contains(py::handle container, py::handle item) {
  int r = PySequence_Contains(container.ptr(), item.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// ---- tensors ------------------------------------------------------------------------
inline bool is_tensor(py::handle obj) { return THPVariable_Check(obj.ptr()); }
// A tensor argument; `what` names it in the TypeError raised for anything else.
inline at::Tensor tensor(py::handle obj, const char* what = "argument") {
  if (!is_tensor(obj)) {
    throw py::type_error(std::string(what) + " must be a tensor, got " + class_name(obj));
  }
  return THPVariable_Unpack(obj.ptr());
}
inline py::object wrap(at::Tensor t) { return py::reinterpret_steal<py::object>(THPVariable_Wrap(std::move(t))); }

// The values of a tensor, in row-major order, as int64 (shapes, dimensions).
inline std::vector<int64_t> int_vector(at::Tensor t) {
  if (!t.device().is_cpu() || t.scalar_type() != at::kLong || !t.is_contiguous()) {
    t = t.to(at::kCPU, at::kLong).contiguous();
  }
  const int64_t* p = t.data_ptr<int64_t>();
  return std::vector<int64_t>(p, p + t.numel());
}

// A sequence of integers or an integer tensor as a vector of int64 (shapes, dimensions).
inline std::vector<int64_t> int_vector(py::handle seq) {
  if (is_tensor(seq)) return int_vector(THPVariable_Unpack(seq.ptr()));
  std::vector<int64_t> values;
  for (py::handle item : seq) values.push_back(as_int(item));
  return values;
}

// A torch.device, or a string that names one ("cpu", "cuda:1").
inline at::Device to_device(py::handle device) {
  if (THPDevice_Check(device.ptr())) return reinterpret_cast<THPDevice*>(device.ptr())->device;
  return at::Device(py::str(device).cast<std::string>());
}

// Device index under which per-device lists are keyed: 0 on the CPU, else the accelerator's index.
inline long long device_index(const at::Device& device) {
  return device.is_cpu() ? 0 : static_cast<long long>(device.index());
}

// ---- calls ------------------------------------------------------------------------
// fn(*args, **kwargs) for an iterable `args` and a mapping `kwargs`.
inline py::object call_unpacked(py::handle fn, py::handle args, py::handle kwargs) {
  py::object tuple_args = py::reinterpret_steal<py::object>(PySequence_Tuple(args.ptr()));
  if (!tuple_args) throw py::error_already_set();
  py::object dict_kwargs;
  if (PyDict_Check(kwargs.ptr())) {
    dict_kwargs = py::reinterpret_borrow<py::object>(kwargs);
  } else {
    dict_kwargs = py::reinterpret_steal<py::object>(PyDict_New());
    if (PyDict_Update(dict_kwargs.ptr(), kwargs.ptr()) < 0) throw py::error_already_set();
  }
  PyObject* result = PyObject_Call(fn.ptr(), tuple_args.ptr(), dict_kwargs.ptr());
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// Raises `exc` (an exception instance) with `cause` as its __cause__.
[[noreturn]] inline void raise_from(py::object exc, py::error_already_set* cause) {
  if (cause) PyException_SetCause(exc.ptr(), cause->value().inc_ref().ptr());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

// Python's recursion limit for walks over host structures (module trees, nested inputs):
// a structure deeper than the interpreter allows, or one that contains itself, ends in
// RecursionError instead of overflowing the C++ stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace dgr::host
