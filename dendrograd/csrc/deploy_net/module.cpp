// deploy_net: the inference form of a converted network. refresh_net (refresh.cpp) puts an
// ARBModulePyThread (thread_module.cpp) in place of every ARBLayer; its forward evaluates
// the block's layers and combines them as a cascade (forward_pass.cpp).
#include "deploy_net.h"

using namespace dgr::deploy;

PYBIND11_MODULE(deploy_net, m) {
  m.doc() = "Inference modules: replaces the ARBLayer blocks of a converted network by lean ARBModulePyThread modules that evaluate the dendrites (optionally on threads of their own), and refreshes converted networks.";
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);
  // The module's dependencies under the names the host and users know them by.
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("threading") = py::module_::import("threading");
  m.attr("GDL") = host::GDL();
  // Module-level switch, read by each forward call: evaluate the layers on threads of their own.
  m.attr("doing_threading") = py::bool_(false);

  register_thread_module(m);
  register_refresh(m);
  register_forward_pass(m);
}
