// Several layers of one configuration applied to the same input as one product.
//
// A module's candidates are copies of its layer with weights of their own. Stacking their
// weights along the output dimension turns C small products into one: C linear layers
// become one GEMM, C convolutions one convolution with C times the output channels. The
// stacking is differentiable, so each candidate's weights still get their own gradient.
// Candidate c's output is a view of the shared result, shaped as its own layer's would be.
#pragma once

#include <ATen/ATen.h>

#include <string>
#include <vector>

namespace dgr::kernels {

// The geometry shared by ungrouped, zero-padded convolutions (1 to 3 spatial dimensions).
struct ConvolutionGeometry {
  std::vector<int64_t> stride, padding, dilation;
};

// Empty when weights and biases form one stack (C >= 1 weights of one shape, dtype and
// device; biases all undefined or all shaped [out] like the weights), else what does not.
std::string check_stack(at::TensorList weights, at::TensorList biases);

// x [..., in]; weights [out, in] each; biases [out] each or none. Returns C outputs [..., out].
std::vector<at::Tensor> stacked_linear(const at::Tensor& x, at::TensorList weights, at::TensorList biases);

// x [B, in, *spatial] or unbatched [in, *spatial]; weights [out, in, *kernel] each.
// Returns C outputs [B, out, *spatial'] (or [out, *spatial']).
std::vector<at::Tensor> stacked_convolution(const at::Tensor& x, at::TensorList weights, at::TensorList biases,
                                            const ConvolutionGeometry& geometry);

}  // namespace dgr::kernels
