// The pool statistics and loss gradient as plain loops over CPU memory: two passes over
// the outputs instead of the composite's dozen small tensor operations, which dominate
// at the sizes of a typical layer. Not differentiable; correlation_kernel.cpp uses these
// when no graph is wanted and the inputs suit them.
#pragma once

#include "kernels/correlation_kernel.h"

namespace dgr::kernels::cpu {

// CPU, one floating dtype (float or double) for every tensor, outputs and error contiguous,
// and small enough that per-operation cost outweighs vectorisation.
bool loops_apply(const at::Tensor& outs, const at::Tensor& error, const CorrelationOptions& options);

CorrelationStats correlation_statistics(const at::Tensor& outs, const at::Tensor& error, at::IntArrayRef dims,
                                        const CorrelationOptions& options);

// As loops_apply for the error, with score [C, nodes] and centre [nodes] or [C, nodes] of
// the nodes of `dims`, on the CPU in the error's dtype.
bool gradient_loops_apply(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                          at::IntArrayRef dims);

at::Tensor correlation_gradient(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                                at::IntArrayRef dims);

// Running-statistic folds as loops: every tensor on the CPU, contiguous, of one float
// dtype, each stored[i] the size of batch[i], none needing a graph. `out` may be `stored`.
bool folds_apply(at::TensorList stored, at::TensorList batch);
std::vector<at::Tensor> new_like(at::TensorList tensors);
void exponential_fold(at::TensorList out, at::TensorList stored, at::TensorList batch, double factor);
void arithmetic_fold(at::TensorList out, at::TensorList stored, at::TensorList batch, double n);
void decay_add(at::TensorList out, at::TensorList stored, at::TensorList batch, double decay);

}  // namespace dgr::kernels::cpu
