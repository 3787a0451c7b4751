// utils_dgr: whole-network utilities: the deployment conversion entry (clean_net),
// parameter counting, checkpoint save and load, the deployment loader, the
// warning-silencing pair and the gradient print-out. Each concern has its own file and
// registers its bindings from there.
#include "utils_dgr.h"

using namespace dgr::utils;

PYBIND11_MODULE(utils_dgr, m) {
  m.doc() = "Network utilities: the deployment form of a trained network (clean_net, dg_save_net, load_deployment), parameter counting, training checkpoints (load_net) and gradient print-outs.";
  host::check_torch_version(DGR_TORCH_VERSION);
  // The module's dependencies under the names the host and users know them by.
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("os") = py::module_::import("os");
  m.attr("warnings") = py::module_::import("warnings");
  m.attr("GDL") = host::GDL();
  m.attr("UDL") = host::UDL();
  m.attr("BDL") = py::module_::import("dendrograd.blockwise_dgr");
  m.attr("DN") = py::module_::import("dendrograd.deploy_net");
  m.attr("save_file") = py::module_::import("safetensors.torch").attr("save_file");
  m.attr("load_file") = py::module_::import("safetensors.torch").attr("load_file");
  m.attr("safe_open") = py::module_::import("safetensors").attr("safe_open");

  register_errors_and_paths(m);
  register_network_tools(m);
  register_save(m);
  register_load_net(m);
  register_load_deployment(m);
  register_gradient_printout(m);
  register_digests(m);
}
