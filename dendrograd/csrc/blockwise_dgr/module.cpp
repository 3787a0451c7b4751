// blockwise_dgr: rewrites every neuron module of a trained network into one block layer
// (ARBLayer, block_layer.cpp) that holds the main layer, the accepted dendrite layers,
// their processors and the packed skip weights between them (conversion.cpp). deploy_net
// then turns each block into its inference module.
#include "blockwise_dgr.h"

using namespace dgr::blockwise;

PYBIND11_MODULE(blockwise_dgr, m) {
  m.doc() = "Block-wise conversion of a trained network: every neuron module (its layer, its accepted dendrites and their connection weights) becomes one ARBLayer block; used by utils_dgr when it saves or cleans a network.";
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);
  // The module's dependencies under the names the host and users know them by.
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("GDL") = host::GDL();
  m.attr("UDL") = host::UDL();
  m.attr("DL") = host::MDL();
  py::object dn = py::module_::import("dendrograd.deploy_net");
  m.attr("DN") = dn;

  register_block_layer(m);
  register_conversion(m);
  // deploy_net's accessors, offered here too.
  m.attr("get_pretrained_arb_attr") = dn.attr("get_pretrained_arb_attr");
  m.attr("get_pretrained_arb_var") = dn.attr("get_pretrained_arb_var");
}
