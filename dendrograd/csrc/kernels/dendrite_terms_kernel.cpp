#include "dendrite_terms_kernel.h"

#include <ATen/ExpandUtils.h>
#include <ATen/InferSize.h>

namespace dgr::kernels {
namespace {

bool same_layout(at::TensorList tensors) {
  for (const at::Tensor& t : tensors) {
    if (t.sizes() != tensors[0].sizes() || t.scalar_type() != tensors[0].scalar_type() ||
        t.device() != tensors[0].device()) {
      return false;
    }
  }
  return true;
}

// The shape one candidate's row k takes, or nullopt when it does not view that way.
std::optional<std::vector<int64_t>> row_shape(const at::Tensor& weight, std::optional<at::IntArrayRef> row_view) {
  const at::Tensor row = weight.select(0, 0);
  if (!row_view) return row.sizes().vec();
  try {
    return at::infer_size(*row_view, row.numel());  // resolves a -1 as view() does
  } catch (const c10::Error&) {
    return std::nullopt;
  }
}

// Whether a row of shape `row` times a dendrite output broadcasts into `out` exactly, so that
// the candidates' results keep their own shape when stacked along a new first dimension.
bool terms_fit(at::IntArrayRef row, at::IntArrayRef dendrite_out, at::IntArrayRef out) {
  if (row.size() > out.size() || dendrite_out.size() > out.size()) return false;
  try {
    return at::infer_size(out, at::infer_size(row, dendrite_out)) == out.vec();
  } catch (const c10::Error&) {
    return false;
  }
}

}  // namespace

std::optional<std::vector<at::Tensor>> add_dendrite_terms(at::TensorList outs, at::TensorList weights,
                                                          at::TensorList dendrite_outs,
                                                          std::optional<at::IntArrayRef> row_view,
                                                          std::optional<at::Device> device) {
  const auto candidates = static_cast<int64_t>(outs.size());
  const auto dendrites = static_cast<int64_t>(dendrite_outs.size());
  if (candidates == 0 || weights.size() != outs.size() || !same_layout(outs) || !same_layout(weights)) {
    return std::nullopt;
  }
  if (dendrites == 0) return outs.vec();
  // A 0-dimensional row would not raise the sum's dtype, its stacked [C, 1...] form would.
  if (weights[0].dim() < 2 && !row_view) return std::nullopt;
  if (weights[0].dim() == 0 || weights[0].size(0) < dendrites) return std::nullopt;
  const std::optional<std::vector<int64_t>> row = row_shape(weights[0], row_view);
  if (!row) return std::nullopt;
  const at::IntArrayRef out_shape = outs[0].sizes();
  for (const at::Tensor& d : dendrite_outs) {
    if (!terms_fit(*row, d.sizes(), out_shape)) return std::nullopt;
  }
  // Candidate c's row k, right-aligned against its output as the single product broadcasts it.
  std::vector<int64_t> stacked_row{candidates};
  stacked_row.insert(stacked_row.end(), out_shape.size() - row->size(), 1);
  stacked_row.insert(stacked_row.end(), row->begin(), row->end());
  at::Tensor stacked_weights = at::stack(weights);
  at::Tensor sums = at::stack(outs);
  if (device) {
    stacked_weights = stacked_weights.to(*device);
    sums = sums.to(*device);
  }
  for (int64_t k = 0; k < dendrites; ++k) {
    sums = sums + stacked_weights.select(1, k).reshape(stacked_row) * dendrite_outs[k];
  }
  return sums.unbind(0);
}

}  // namespace dgr::kernels
