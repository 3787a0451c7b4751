// Shared declarations of the deploy_net extension (the inference form of a converted
// network): the evaluation of a block's layers and each file's register function.
#pragma once

#include "host_contract.h"

namespace dgr::deploy {

namespace host = dgr::host;

// ---- the forward pass of a block (forward_pass.cpp) ----
// obj.<name> as a tensor, or an undefined tensor where the attribute is missing or None.
at::Tensor optional_tensor_attr(py::handle obj, py::handle name);
// The block's layer_array as a list.
py::list layers_of(py::handle self);
// Dendrite layer c into out_values[c]: processor pre, the layer's module call, processor post.
void run_dendrite(py::handle layer, py::handle processor, py::list out_values, size_t c, py::tuple args,
                  py::dict kwargs);
// The main layer into out_values[c]: its forward, then the processor's pre.
void run_main(py::handle layer, py::handle processor, py::list out_values, size_t c, py::tuple args,
              py::dict kwargs);
// Every layer of the block on the same input (on threads of their own with `threading`),
// combined as a cascade; entry 0 of skip_weights belongs to layer `first_entry`.
py::object run_block(py::handle self, py::tuple args, py::dict kwargs, bool threading, int64_t first_entry,
                     py::object nonlinearity);

// ---- register functions, in the order module.cpp calls them ----
void register_thread_module(py::module_& m);  // thread_module.cpp: ARBModulePyThread (also ModuleType)
void register_refresh(py::module_& m);        // refresh.cpp: the walk that puts inference modules in place
void register_forward_pass(py::module_& m);   // forward_pass.cpp: the sequential forward ARBLayer uses

}  // namespace dgr::deploy
