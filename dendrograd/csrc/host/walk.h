// The add-on's walks over a module tree (block conversion, inference modules, the gradient
// print-out): they visit a container's named children and any other module's attributes,
// and skip a member that points back up the current path.
#pragma once

#include "host/objects.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace dgr::host {

// Whether `obj` is already on the path of a module-tree walk (a member pointing back up).
inline bool on_path(const std::vector<PyObject*>& path, py::handle obj) {
  return std::find(path.begin(), path.end(), obj.ptr()) != path.end();
}

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

// One module of a walk, on the path for the lifetime of the object. Its attribute list is
// taken on entry, before the walk changes anything; the walk then goes through its named
// children (a container) or through that list.
class WalkLevel {
 public:
  WalkLevel(std::vector<PyObject*>& path, py::handle net, const char* where)
      : scope_(path, net, where), path_(path), net_(net), members_(net.attr("__dir__")()) {}

  // Whether `value` leads back up: the module itself (by equality) or a module on the path.
  // The walks do not enter such a member.
  bool leads_back(py::handle value) const { return value.equal(net_) || on_path(path_, value); }

  // visit(member, value) for every name of the attribute list, in order, whose attribute
  // can be read (see read_attr: a missing one reads as None, one that raises is skipped).
  template <typename Visit>
  void for_each_attribute(Visit&& visit) const {
    for (py::handle member : members_) {
      py::object value;
      if (!read_attr(net_, member, value)) continue;
      visit(member, value);
    }
  }

 private:
  WalkScope scope_;
  std::vector<PyObject*>& path_;
  py::handle net_;
  py::object members_;
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

// The network a data-parallel wrapper (DistributedDataParallel, DataParallel) trains:
// functions that take the network accept the wrapper or the module alike.
inline py::object unwrap_parallel(py::handle obj) {
  py::handle parallel = DGR_CACHED_MODULE("torch.nn.parallel");
  if (is_instance(obj, parallel.attr("DistributedDataParallel")) || is_instance(obj, parallel.attr("DataParallel"))) {
    return obj.attr("module");
  }
  return py::reinterpret_borrow<py::object>(obj);
}

}  // namespace dgr::host
