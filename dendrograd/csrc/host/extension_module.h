// What each extension module knows about itself: its module object (replacement points
// and module-level lists are read from it at call time, so callers can rebind them), the
// torch it was built against, and the torch.nn.Module classes it defines.
#pragma once

#include "host/python.h"

#include <string>
#include <utility>

namespace dgr::host {

// The extension module being initialised or called; one per shared object (the modules
// are compiled with hidden visibility, so each has its own).
class ExtensionModule {
 public:
  static ExtensionModule& instance() {
    static ExtensionModule self;
    return self;
  }
  // Called once from PYBIND11_MODULE; the module lives as long as the process.
  void set(py::module_& m) { module_ = m.ptr(); }
  py::handle get() const { return py::handle(module_); }
  // module.<name>, looked up at call time.
  py::object attr(py::handle name) const { return get().attr(name); }
  py::object attr(const char* name) const { return get().attr(name); }

 private:
  PyObject* module_ = nullptr;  // borrowed: extension modules are never unloaded
};

inline ExtensionModule& this_module() { return ExtensionModule::instance(); }

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

// Attaches the C++ function `f` to a class made by define_module_class as its method `name`.
// __init__ is named "_init" on the C++ side: pybind11 treats a function named __init__ as a
// constructor of a pybind11 class, which these classes are not.
template <typename Func, typename... Extra>
void define_method(py::handle cls, const char* name, Func&& f, const Extra&... extra) {
  const char* cpp_name = std::string(name) == "__init__" ? "_init" : name;
  cls.attr(name) = py::cpp_function(std::forward<Func>(f), py::name(cpp_name), py::is_method(cls), extra...);
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

}  // namespace dgr::host
