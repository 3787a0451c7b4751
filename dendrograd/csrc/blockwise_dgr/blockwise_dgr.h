// Shared declarations of the blockwise_dgr extension (block-wise conversion of a trained
// network): each file's register function.
#pragma once

#include "host_contract.h"

namespace dgr::blockwise {

namespace host = dgr::host;

// ---- register functions, in the order module.cpp calls them ----
void register_block_layer(py::module_& m);  // block_layer.cpp: ARBLayer
void register_conversion(py::module_& m);   // conversion.cpp: the walk and the conversion of one neuron module

}  // namespace dgr::blockwise
