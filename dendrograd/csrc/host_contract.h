// What dendrograd requires of its host package (dendrolab), in one place.
//
// Every extension module reaches the host only through these helpers:
//   * configuration getters are looked up on GDL.pc at the moment of use
//     (the module handle is cached, `pc` itself never is); the host's own
//     accessors' results are kept until the configuration changes;
//   * host objects (tracker, neuron/dendrite modules, value holders) are plain
//     Python objects read and written by attribute name;
//   * diagnostics go to the interpreter's sys.stdout (pytest capture sees them);
//   * every debugger stop goes through debugger_stop(), i.e. sys.breakpointhook().
//
// Python objects that must outlive a call are cached with
// gil_safe_call_once_and_store or deliberately leaked, never in function-local
// `static py::object`s (those are destroyed after the interpreter finalises).
#pragma once

#include <ATen/ATen.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>
#include <utility>

namespace py = pybind11;

namespace dgr {

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

namespace host {

// ---- host modules ---------------------------------------------------------
inline py::handle GDL() { return DGR_CACHED_MODULE("dendrolab.globals_dendrolab"); }
inline py::handle MDL() { return DGR_CACHED_MODULE("dendrolab.modules_dendrolab"); }
inline py::handle UDL() { return DGR_CACHED_MODULE("dendrolab.utils_dendrolab"); }
inline py::handle torch_module() { return DGR_CACHED_MODULE("torch"); }
inline py::handle nn_module() { return DGR_CACHED_MODULE("torch.nn"); }

// The configuration object, read afresh on every call.
inline py::object pc() { return GDL().attr(DGR_STR("pc")); }

// ---- configuration getters --------------------------------------------------
// Getter results, kept per configuration change. The host's Config counts every change in
// Config._settings_version (setters, reset, any attribute set on the instance or on the
// class), so a kept result is what the getter would give now. Only the host's own accessors
// (Config._PLAIN_GETTERS) are kept, and only while nothing on the instance shadows them; any
// other getter, or a configuration object without a change count, is called on every use.
class SettingsCache {
 public:
  // The kept result of `getter_name` on `config`, or null when it must be called; `version`
  // receives the change count it was checked against (-1: none).
  PyObject* find(PyObject* config, PyObject* getter_name, long long* version) {
    *version = -1;
    if (!refresh(config)) return nullptr;
    *version = version_;
    for (const auto& entry : values_) {
      if (entry.first == getter_name) return entry.second;
    }
    return nullptr;
  }
  // Keeps `value` as the result of `getter_name` when that getter may be kept and nothing
  // (another thread, the getter itself) moved the change count since `find` checked it.
  void keep(PyObject* config, PyObject* getter_name, PyObject* value, long long version) {
    if (version < 0 || config != config_ || version != version_ || !is_plain_getter(config, getter_name)) return;
    for (const auto& entry : values_) {
      if (entry.first == getter_name) return;
    }
    Py_INCREF(getter_name);
    Py_INCREF(value);
    values_.emplace_back(getter_name, value);
  }

 private:
  // Starts over when the configuration object or its change count differs from the kept
  // one; false when the object has no change count (nothing is kept for it).
  bool refresh(PyObject* config) {
    PyObject* count = PyObject_GetAttr(config, DGR_STR("_settings_version").ptr());
    if (!count) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
      PyErr_Clear();
      clear(nullptr, -1);
      return false;
    }
    const long long version = PyLong_AsLongLong(count);
    Py_DECREF(count);
    if (version == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (config != config_ || version != version_) clear(config, version);
    return true;
  }
  // The new state is in place before anything is released: releasing a value can run
  // Python code (a __del__) that reads settings again.
  void clear(PyObject* config, long long version) {
    std::vector<std::pair<PyObject*, PyObject*>> released;
    released.swap(values_);
    PyObject* old_config = config_;
    Py_XINCREF(config);
    config_ = config;
    version_ = version;
    for (auto& entry : released) {
      Py_DECREF(entry.first);
      Py_DECREF(entry.second);
    }
    Py_XDECREF(old_config);
  }
  static bool is_plain_getter(PyObject* config, PyObject* getter_name) {
    PyObject** dict_slot = _PyObject_GetDictPtr(config);
    if (dict_slot && *dict_slot) {
      PyObject* own = PyDict_GetItemWithError(*dict_slot, getter_name);
      if (own) return false;
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject* plain = _PyType_Lookup(Py_TYPE(config), DGR_STR("_PLAIN_GETTERS").ptr());
    if (!plain || !PyDict_Check(plain)) return false;
    PyObject* generated = PyDict_GetItemWithError(plain, getter_name);
    if (!generated) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return false;
    }
    return _PyType_Lookup(Py_TYPE(config), getter_name) == generated;
  }

  // Strong references, never released at exit (destructors run after the interpreter ends).
  PyObject* config_ = nullptr;
  long long version_ = -1;
  std::vector<std::pair<PyObject*, PyObject*>> values_;
};

inline SettingsCache& settings_cache() {
  static SettingsCache* cache = new SettingsCache();
  return *cache;
}

// pc.<getter_name>(): the setting as the getter gives it at the moment of use.
inline py::object get(py::handle getter_name) {
  py::object config = pc();
  SettingsCache& cache = settings_cache();
  long long version = -1;
  if (PyObject* kept = cache.find(config.ptr(), getter_name.ptr(), &version)) {
    return py::reinterpret_borrow<py::object>(kept);
  }
  py::object value = config.attr(getter_name)();
  cache.keep(config.ptr(), getter_name.ptr(), value.ptr(), version);
  return value;
}

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

// Truth-valued getter, e.g. flag(DGR_STR("get_verbose")).
inline bool flag(py::handle getter_name) { return truthy(get(getter_name)); }
inline bool verbose() { return flag(DGR_STR("get_verbose")); }
inline bool extra_verbose() { return flag(DGR_STR("get_extra_verbose")); }
inline bool silent() { return flag(DGR_STR("get_silent")); }
inline long long integer(py::handle getter_name) { return as_int(get(getter_name)); }
inline double number(py::handle getter_name) { return as_float(get(getter_name)); }

// ---- the tracker ------------------------------------------------------------
inline py::object tracker() { return GDL().attr(DGR_STR("arb_tracker")); }
inline py::object member_vars() { return tracker().attr(DGR_STR("member_vars")); }
inline py::object member_var(py::handle key) { return member_vars()[key]; }
inline void set_member_var(py::handle key, py::handle value) { member_vars()[key] = value; }
inline bool tracker_mode_is(const char* mode) {
  return member_var(DGR_STR("mode")).equal(py::str(mode));
}

// ---- output -------------------------------------------------------------------
// print() writes through the interpreter's print, so sys.stdout redirection applies.
template <typename... Args>
inline void print(Args&&... args) {
  py::print(std::forward<Args>(args)...);
}

// Python's `fmt % args` for the diagnostics that are specified as %-formats.
template <typename... Args>
inline std::string percent(const char* fmt, Args&&... args) {
  return py::str(py::str(fmt).attr("__mod__")(py::make_tuple(std::forward<Args>(args)...)));
}

// True when a person can answer the debugger on standard input.
inline bool stdin_is_terminal() {
  py::object stdin_obj = DGR_CACHED_MODULE("sys").attr("stdin");
  if (stdin_obj.is_none()) return false;
  try {
    return truthy(stdin_obj.attr("isatty")());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // a closed or replaced stream: no terminal
    return false;
  }
}

// The one debugger stop of the add-on: sys.breakpointhook(), so PYTHONBREAKPOINT=0
// disables it and tests can patch it; execution resumes after it. `diagnosis` names
// what went wrong: where nobody can answer the debugger (the interpreter's own hook,
// PYTHONBREAKPOINT unset and standard input not a terminal, as in a batch job), the
// stop raises RuntimeError with it instead of waiting for input forever.
inline void debugger_stop(const std::string& diagnosis) {
  py::handle sys = DGR_CACHED_MODULE("sys");
  py::object hook = sys.attr(DGR_STR("breakpointhook"));
  if (hook.is(sys.attr("__breakpointhook__"))) {
    py::object chosen = DGR_CACHED_MODULE("os").attr("environ").attr("get")("PYTHONBREAKPOINT", "");
    if (py::str(chosen).cast<std::string>().empty() && !stdin_is_terminal()) {
      print("dendrograd would stop at the debugger here, but standard input is not a terminal.");
      throw std::runtime_error("dendrograd: " + diagnosis +
                            " (set PYTHONBREAKPOINT=0 to continue past such stops without a debugger)");
    }
  }
  hook();
}

// Ends the run with a non-zero status by raising SystemExit(status) in the caller.
[[noreturn]] inline void exit_process(int status) {
  PyErr_SetObject(PyExc_SystemExit, py::int_(status).ptr());
  throw py::error_already_set();
}

// ---- reading host objects ----------------------------------------------------------
inline py::object nn_attr(const char* name) { return nn_module().attr(name); }

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

// Whether `obj` is already on the path of a module-tree walk (a member pointing back up).
inline bool on_path(const std::vector<PyObject*>& path, py::handle obj) {
  return std::find(path.begin(), path.end(), obj.ptr()) != path.end();
}

// ---- module-tree walks ------------------------------------------------------------
// The add-on's walks over a module tree (block conversion, inference modules, the
// gradient print-out) visit a container's named children and any other module's
// attributes, and skip a member that points back up the current path.

// Holds `net` on the path of a walk for the lifetime of the scope, under Python's
// recursion limit; on_path(path, obj) then finds it.
class WalkScope {
 public:
  WalkScope(std::vector<PyObject*>& path, py::handle net, const char* where) : guard_(where), path_(path) {
    path_.push_back(net.ptr());
  }
  ~WalkScope() { path_.pop_back(); }
  WalkScope(const WalkScope&) = delete;
  WalkScope& operator=(const WalkScope&) = delete;

 private:
  RecursionGuard guard_;
  std::vector<PyObject*>& path_;
};

// Whether a walk visits `net` through its named children (Sequential, ModuleList and,
// with `lists`, plain Python lists) rather than through its attributes.
inline bool is_container(py::handle net, bool lists = false) {
  py::handle nn = DGR_CACHED_MODULE("torch.nn");
  return is_instance(net, nn.attr("Sequential")) || is_instance(net, nn.attr("ModuleList")) ||
         (lists && PyList_Check(net.ptr()));
}

// (name, child) for every named child of a container, in order.
inline std::vector<std::pair<py::object, py::object>> container_children(py::handle net) {
  std::vector<std::pair<py::object, py::object>> children;
  for (py::handle item : py::list(net.attr("named_children")())) {
    py::object name = py::reinterpret_borrow<py::tuple>(item)[0];
    children.emplace_back(name, net.attr("get_submodule")(name));
  }
  return children;
}

// A torch.nn.Module subclass defined by an extension module: type(name, (nn.Module,), ns)
// with __module__ and __qualname__ set, so pickling and torch.save/torch.load find it.
// Methods are attached afterwards with py::cpp_function(..., py::is_method(cls)).
inline py::object define_module_class(const char* qualname, const char* module_name, const char* doc) {
  py::dict ns;
  ns["__module__"] = module_name;
  ns["__qualname__"] = qualname;
  ns["__doc__"] = doc;
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(qualname, py::make_tuple(nn_attr("Module")), ns);
}

// The network a data-parallel wrapper (DistributedDataParallel, DataParallel) trains:
// functions that take the network accept the wrapper or the module alike.
inline py::object unwrap_parallel(py::handle obj) {
  py::handle parallel = DGR_CACHED_MODULE("torch.nn.parallel");
  if (is_instance(obj, parallel.attr("DistributedDataParallel")) || is_instance(obj, parallel.attr("DataParallel"))) {
    return obj.attr("module");
  }
  return py::reinterpret_borrow<py::object>(obj);
}

// TypeError naming the function and the argument unless `obj` is a torch.nn.Module.
inline void require_module(py::handle obj, const char* function, const char* argument) {
  if (!is_instance(obj, nn_attr("Module"))) {
    throw py::type_error(std::string(function) + ": " + argument + " must be a torch.nn.Module, got " +
                         class_name(obj));
  }
}

// ---- tensors --------------------------------------------------------------------
inline bool is_tensor(py::handle obj) { return THPVariable_Check(obj.ptr()); }
// A tensor argument; `what` names it in the TypeError raised for anything else.
inline at::Tensor tensor(py::handle obj, const char* what = "argument") {
  if (!is_tensor(obj)) {
    throw py::type_error(std::string(what) + " must be a tensor, got " + class_name(obj));
  }
  return THPVariable_Unpack(obj.ptr());
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
inline py::object wrap(at::Tensor t) { return py::reinterpret_steal<py::object>(THPVariable_Wrap(std::move(t))); }

// Device index under which per-device lists are keyed: 0 on the CPU, else the accelerator's index.
inline long long device_index(const at::Device& device) {
  return device.is_cpu() ? 0 : static_cast<long long>(device.index());
}

// Fails the import with a clear message when the running torch is not the one built against.
inline void check_torch_version(const char* built_against) {
  std::string running = py::str(torch_module().attr("__version__"));
  std::string built(built_against);
  auto minor = [](const std::string& v) {
    auto first = v.find('.');
    auto second = v.find('.', first + 1);
    return v.substr(0, second);
  };
  if (minor(running) != minor(built)) {
    throw py::import_error("dendrograd was compiled against torch " + built + " but torch " + running +
                           " is installed; reinstall dendrograd (pip install --no-build-isolation -e .) "
                           "or install torch==" + built);
  }
}

}  // namespace host
}  // namespace dgr
