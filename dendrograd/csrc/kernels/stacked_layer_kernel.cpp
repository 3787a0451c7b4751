#include "stacked_layer_kernel.h"

namespace dgr::kernels {
namespace {

// [C * out, ...] weights and [C * out] bias (undefined without biases).
std::pair<at::Tensor, at::Tensor> stacked(at::TensorList weights, at::TensorList biases) {
  at::Tensor weight = weights.size() == 1 ? weights[0] : at::stack(weights).flatten(0, 1);
  at::Tensor bias;
  if (!biases.empty()) bias = biases.size() == 1 ? biases[0] : at::stack(biases).flatten(0, 1);
  return {weight, bias};
}

// The C candidates' outputs: `dim` of the shared result split into [C, out].
std::vector<at::Tensor> split_candidates(const at::Tensor& result, int64_t dim, int64_t candidates) {
  if (candidates == 1) return {result};
  const int64_t out = result.size(dim) / candidates;
  return result.unflatten(dim, {candidates, out}).unbind(dim);
}

}  // namespace

std::string check_stack(at::TensorList weights, at::TensorList biases) {
  if (weights.empty()) return "no weights to stack";
  if (!biases.empty() && biases.size() != weights.size()) {
    return std::to_string(weights.size()) + " weights but " + std::to_string(biases.size()) + " biases";
  }
  const at::Tensor& first = weights[0];
  if (first.dim() < 2) return "a weight must have at least 2 dimensions, got " + std::to_string(first.dim());
  for (size_t c = 0; c < weights.size(); ++c) {
    const at::Tensor& w = weights[c];
    if (w.sizes() != first.sizes() || w.scalar_type() != first.scalar_type() || w.device() != first.device()) {
      return "weight " + std::to_string(c) + " differs from weight 0 in shape, dtype or device";
    }
    if (biases.empty()) continue;
    const at::Tensor& b = biases[c];
    if (b.dim() != 1 || b.size(0) != first.size(0) || b.scalar_type() != first.scalar_type() ||
        b.device() != first.device()) {
      return "bias " + std::to_string(c) + " is not a [" + std::to_string(first.size(0)) +
             "] tensor of its weight's dtype and device";
    }
  }
  return "";
}

std::vector<at::Tensor> stacked_linear(const at::Tensor& x, at::TensorList weights, at::TensorList biases) {
  auto [weight, bias] = stacked(weights, biases);
  const at::Tensor result = at::linear(x, weight, bias);
  return split_candidates(result, result.dim() - 1, static_cast<int64_t>(weights.size()));
}

std::vector<at::Tensor> stacked_convolution(const at::Tensor& x, at::TensorList weights, at::TensorList biases,
                                            const ConvolutionGeometry& g) {
  auto [weight, bias] = stacked(weights, biases);
  const int64_t spatial = weights[0].dim() - 2;
  at::Tensor result;
  if (spatial == 1) {
    result = at::conv1d(x, weight, bias, g.stride, g.padding, g.dilation, 1);
  } else if (spatial == 2) {
    result = at::conv2d(x, weight, bias, g.stride, g.padding, g.dilation, 1);
  } else {
    TORCH_CHECK(spatial == 3, "stacked_convolution: weights must have 3 to 5 dimensions, got ", weights[0].dim());
    result = at::conv3d(x, weight, bias, g.stride, g.padding, g.dilation, 1);
  }
  const int64_t channel_dim = result.dim() - spatial - 1;  // 0 for an unbatched input
  return split_candidates(result, channel_dim, static_cast<int64_t>(weights.size()));
}

}  // namespace dgr::kernels
