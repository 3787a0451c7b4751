// Shared declarations of the modules_dgr extension (candidate dendrites: set-up,
// forward path and correlation learning).
#pragma once

#include "host_contract.h"

#include <vector>

namespace dgr::modules {

// The extension module object itself: replacement points and module-level lists
// (custom_set_module_*_dg, dendrite_loss_fn, NON_LIVE_SKIP_VALUES) are read from it
// at call time, so callers can rebind them.
py::handle self_module();

// Per-node reduction of a tensor shaped like a neuron module's output.
struct Reduction {
  py::object triple;               // (math_tuple, view_tuple, full_mult) as handed to Python
  std::vector<int64_t> math_dims;  // reduced dimensions
  std::vector<int64_t> view_shape; // broadcasts a per-node vector back
  double full_mult = 1.0;          // number of reduced elements per node
};
Reduction tuples_and_mult(const at::Tensor& val, py::handle values);

// Cuts the gradient path of every tensor in a nested list/tuple/dict structure.
// Returns (processed structure, device of the last tensor found or None).
py::tuple killer_recursive(py::handle in_vals, bool killing);

// Sets element 0 of a one-element (or larger) tensor.
void set_element0(const at::Tensor& t, double value);

// Registers the forward path, running statistics, correlation loss, best-score
// bookkeeping and gradient application (learning.cpp).
void register_learning(py::module_& m);

}  // namespace dgr::modules
