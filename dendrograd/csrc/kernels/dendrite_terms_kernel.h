// The accepted dendrites' terms added to several candidates' outputs at once.
//
// Each candidate of a neuron module with accepted dendrites gets every dendrite's output
// through a weight of its own: out_c + w_c0 * d_0 + w_c1 * d_1 + ... Done one candidate at a
// time this is C products and C sums per dendrite; on the stacked outputs and weights it is
// one of each, element for element the same arithmetic in the same order, so the results
// are bit for bit those of the candidate-by-candidate sums.
#pragma once

#include <ATen/ATen.h>

#include <optional>
#include <vector>

namespace dgr::kernels {

// outs: C candidate outputs of one shape, dtype and device; weights: C weight tensors of one
// shape [K', ...] with K' >= K; dendrite_outs: the K accepted dendrites' outputs. Row k of
// weight c is viewed as `row_view` when given (as it is otherwise) and must broadcast into
// the output's shape. Returns the C sums, on `device` when given; nullopt when the inputs
// do not stack that way (the caller then sums candidate by candidate).
std::optional<std::vector<at::Tensor>> add_dendrite_terms(at::TensorList outs, at::TensorList weights,
                                                          at::TensorList dendrite_outs,
                                                          std::optional<at::IntArrayRef> row_view,
                                                          std::optional<at::Device> device);

}  // namespace dgr::kernels
