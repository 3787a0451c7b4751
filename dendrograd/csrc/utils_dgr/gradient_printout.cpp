// debug_print_grad_modules: one line per module of a tree, saying whether its subtree still
// has trainable parameters.
#include "utils_dgr.h"

namespace dgr::utils {
namespace {

void print_grad_modules(py::handle net, py::object name_so_far, std::vector<PyObject*>& path) {
  host::print(py::str(name_so_far) + py::str(": has req grads: ") +
              py::str(py::int_(check_requires_grad(net) ? 1 : 0)));
  // A module already on the current path (an ancestor reached through a back
  // reference) is not entered again; every module on an acyclic path is printed.
  host::WalkLevel level(path, net, " while printing the module tree");
  if (host::is_container(net)) {
    for (auto& [submodule_id, child] : host::container_children(net)) {
      if (level.leads_back(child)) continue;
      print_grad_modules(child, name_so_far + py::str(".") + py::str(submodule_id), path);
    }
    return;
  }
  py::object module_cls = host::nn_attr("Module");
  level.for_each_attribute([&](py::handle member, py::handle value) {
    py::object sub_name = name_so_far + py::str(".") + py::str(member);
    if (!host::is_instance(value, module_cls) || level.leads_back(value)) return;
    print_grad_modules(value, sub_name, path);
  });
}

// `depth` is taken for the host's calls; the print-out does not depend on it.
void debug_print_grad_modules(py::object net, long long depth, py::object name_so_far) {
  host::require_module(net, "debug_print_grad_modules", "net");
  net = host::unwrap_parallel(net);
  std::vector<PyObject*> path;
  print_grad_modules(net, name_so_far, path);
}

}  // namespace

void register_gradient_printout(py::module_& m) {
  m.def("debug_print_grad_modules", &debug_print_grad_modules, py::arg("net"), py::arg("depth"),
        py::arg("name_so_far"), "Prints, per module of the tree, whether its subtree still has trainable parameters.");
}

}  // namespace dgr::utils
