// Small whole-network tools: whether anything is left to train, the deployment form
// (clean_net), the parameter count and the pair that silences every warning around a noisy
// library call.
#include "utils_dgr.h"

#include <unordered_map>

namespace dgr::utils {
namespace {

py::handle warnings_module() { return DGR_CACHED_MODULE("warnings"); }

// Tells the warnings module that its filter list changed (the name differs between versions).
void filters_mutated() {
  py::handle w = warnings_module();
  for (const char* name : {"_filters_mutated", "_filters_mutated_lock_held"}) {
    if (py::hasattr(w, name)) {
      w.attr(name)();
      return;
    }
  }
}

void add_future_warning() {
  py::object filters = warnings_module().attr("filters");
  filters.attr("insert")(0, py::make_tuple("ignore", py::none(), py::handle(PyExc_Warning), py::none(), 0));
  filters_mutated();
}

void remove_future_warning() {
  py::object filters = warnings_module().attr("filters");
  if (PySequence_DelItem(filters.ptr(), 0) < 0) throw py::error_already_set();
  filters_mutated();
}

// Puts the warning filter list back to `saved`, whatever happened in between.
void restore_filters(py::handle saved) {
  py::object filters = warnings_module().attr("filters");
  if (PySequence_SetSlice(filters.ptr(), 0, PY_SSIZE_T_MAX, saved.ptr()) < 0) throw py::error_already_set();
  filters_mutated();
}

long long dg_count_params(py::object net) {
  host::require_module(net, "dg_count_params", "net");
  net = host::unwrap_parallel(net);
  py::list entries;
  if (host::flag(host::names::get_count_training_params())) {
    entries = py::list(net.attr("named_parameters")());
  } else {
    py::object copied = host::UDL().attr(host::names::deep_copy_arb())(net);
    entries = py::list(clean_net(copied).attr("named_parameters")());
  }
  // data pointer -> element count; tensors that share storage are counted once.
  std::unordered_map<uintptr_t, int64_t> unique_params;
  for (py::handle item : entries) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    std::string name = py::str(named[0]);
    if (name.find("parent_module") != std::string::npos) continue;
    at::Tensor p = host::tensor(named[1], "dg_count_params: every parameter");
    unique_params[reinterpret_cast<uintptr_t>(p.data_ptr())] = p.numel();
  }
  long long total = 0;
  for (const auto& entry : unique_params) total += entry.second;
  return total;
}

}  // namespace

bool check_requires_grad(py::handle module_arg) {
  host::require_module(module_arg, "check_requires_grad", "module");
  py::object module = host::unwrap_parallel(module_arg);
  for (py::handle p : module.attr("parameters")()) {
    if (host::tensor(p, "check_requires_grad: every parameter").requires_grad()) return true;
  }
  return false;
}

py::object clean_net(py::object net) {
  host::require_module(net, "clean_net", "net");
  net = host::unwrap_parallel(net);
  py::object blocks = BDL().attr("blockwise_network")(net);
  py::object copied = host::UDL().attr(host::names::deep_copy_arb())(blocks);
  return DN().attr("refresh_net")(copied);
}

py::object with_warnings_silenced(const std::function<py::object()>& read) {
  py::object saved = py::reinterpret_steal<py::object>(PySequence_List(warnings_module().attr("filters").ptr()));
  if (!saved) throw py::error_already_set();  // a copy: py::list(list) would only alias it
  add_future_warning();
  py::object result;
  try {
    result = read();
  } catch (...) {
    restore_filters(saved);
    throw;
  }
  restore_filters(saved);
  return result;
}

void register_network_tools(py::module_& m) {
  m.def("check_requires_grad", &check_requires_grad, py::arg("module"),
        "True as soon as one parameter of the module's subtree requires grad.");
  m.def("clean_net", &clean_net, py::arg("net"),
        "The deployment form: block-wise conversion, host deep copy, inference modules.");
  m.def("dg_count_params", &dg_count_params, py::arg("net"),
        "Scalar weights of the training or deployment form, each storage counted once.");
  m.def("add_future_warning", &add_future_warning,
        "Puts an ignore-everything entry at the front of the warning filters.");
  m.def("remove_future_warning", &remove_future_warning, "Deletes the front entry of the warning filters.");
}

}  // namespace dgr::utils
