#include "kernels/cpu/correlation_kernel_cpu.h"

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <c10/core/GradMode.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace dgr::kernels::cpu {
namespace {

constexpr int64_t kLoopElements = int64_t{1} << 16;

// Which node every element of S belongs to: the flat index over the kept dimensions.
struct NodeMap {
  std::vector<int64_t> shape, dims;  // what the map was built for
  std::vector<int64_t> node_of;      // one entry per element of S
  std::vector<int64_t> node_shape;   // the kept sizes, in order
  int64_t nodes = 1;
};

void build(NodeMap& map, at::IntArrayRef shape, at::IntArrayRef dims) {
  const int64_t rank = static_cast<int64_t>(shape.size());
  std::vector<bool> reduced(rank, dims.empty());
  for (int64_t d : dims) reduced[c10::maybe_wrap_dim(d, rank)] = true;
  std::vector<int64_t> stride(rank, 0);
  map.nodes = 1;
  map.node_shape.clear();
  for (int64_t d = rank - 1; d >= 0; --d) {
    if (reduced[d]) continue;
    stride[d] = map.nodes;
    map.nodes *= shape[d];
  }
  for (int64_t d = 0; d < rank; ++d) {
    if (!reduced[d]) map.node_shape.push_back(shape[d]);
  }
  const int64_t numel = c10::multiply_integers(shape);
  map.node_of.resize(numel);
  std::vector<int64_t> index(rank, 0);
  int64_t node = 0;
  for (int64_t s = 0; s < numel; ++s) {
    map.node_of[s] = node;
    for (int64_t d = rank - 1; d >= 0; --d) {  // odometer step over the multi-index
      node += stride[d];
      if (++index[d] < shape[d]) break;
      node -= stride[d] * shape[d];
      index[d] = 0;
    }
  }
  map.shape.assign(shape.begin(), shape.end());
  map.dims.assign(dims.begin(), dims.end());
}

// The map of the last shape seen: a layer's outputs keep their shape from batch to batch.
const NodeMap& node_map(at::IntArrayRef shape, at::IntArrayRef dims) {
  thread_local NodeMap map;
  if (map.node_of.empty() || at::IntArrayRef(map.shape) != shape || at::IntArrayRef(map.dims) != dims) {
    build(map, shape, dims);
  }
  return map;
}

std::vector<int64_t> with_candidates(int64_t candidates, const std::vector<int64_t>& node_shape) {
  std::vector<int64_t> shape{candidates};
  shape.insert(shape.end(), node_shape.begin(), node_shape.end());
  return shape;
}

template <typename T>
CorrelationStats statistics(const at::Tensor& outs, const at::Tensor& error, const NodeMap& map,
                            const CorrelationOptions& options, double count) {
  const int64_t C = outs.size(0), S = error.numel(), K = map.nodes;
  const T* o = outs.const_data_ptr<T>();
  const T* e = error.const_data_ptr<T>();
  const int64_t* node_of = map.node_of.data();
  const bool running = options.average_outs.defined();
  at::Tensor average_outs, average_error;
  if (running) {
    average_outs = options.average_outs.reshape({C, K}).contiguous();
    average_error = options.average_error.reshape({C, K}).contiguous();
  }
  CorrelationStats r;
  const at::TensorOptions as = error.options();
  r.error_sum = at::empty(map.node_shape, as);
  r.error_mean = at::empty(map.node_shape, as);
  r.outs_mean = at::empty(with_candidates(C, map.node_shape), as);
  r.covariance = at::empty_like(r.outs_mean);
  r.pearson = at::empty_like(r.outs_mean);

  std::vector<double> error_sum(K, 0.0), error_mean(K), error_std(K, 0.0);
  for (int64_t s = 0; s < S; ++s) error_sum[node_of[s]] += e[s];
  T* error_sum_out = r.error_sum.data_ptr<T>();
  T* error_mean_out = r.error_mean.data_ptr<T>();
  for (int64_t k = 0; k < K; ++k) {
    error_sum_out[k] = static_cast<T>(error_sum[k]);
    error_mean[k] = error_sum[k] / count;
    error_mean_out[k] = static_cast<T>(error_mean[k]);
  }
  for (int64_t s = 0; s < S; ++s) {
    const double centred = e[s] - error_mean[node_of[s]];
    error_std[node_of[s]] += centred * centred;
  }
  // Population standard deviations, clamped so that a constant input gives 0, not NaN.
  for (int64_t k = 0; k < K; ++k) error_std[k] = std::max(std::sqrt(error_std[k] / count), 1e-8);

  at::parallel_for(0, C, 1, [&](int64_t begin, int64_t end) {
    std::vector<double> sum(K), product(K), square(K), around(K);
    for (int64_t c = begin; c < end; ++c) {
      const T* oc = o + c * S;
      std::fill(sum.begin(), sum.end(), 0.0);
      std::fill(product.begin(), product.end(), 0.0);
      std::fill(square.begin(), square.end(), 0.0);
      std::fill(around.begin(), around.end(), 0.0);
      for (int64_t s = 0; s < S; ++s) sum[node_of[s]] += oc[s];
      for (int64_t k = 0; k < K; ++k) sum[k] /= count;  // now the mean
      const T* ao = running ? average_outs.const_data_ptr<T>() + c * K : nullptr;
      const T* ae = running ? average_error.const_data_ptr<T>() + c * K : nullptr;
      for (int64_t s = 0; s < S; ++s) {
        const int64_t k = node_of[s];
        const double centred_out = oc[s] - sum[k];
        const double centred_error = e[s] - error_mean[k];
        product[k] += centred_out * centred_error;
        square[k] += centred_out * centred_out;
        if (running) around[k] += (static_cast<double>(oc[s]) - ao[k]) * (static_cast<double>(e[s]) - ae[k]);
      }
      T* mean_out = r.outs_mean.data_ptr<T>() + c * K;
      T* covariance_out = r.covariance.data_ptr<T>() + c * K;
      T* pearson_out = r.pearson.data_ptr<T>() + c * K;
      for (int64_t k = 0; k < K; ++k) {
        const double out_std = std::max(std::sqrt(square[k] / count), 1e-8);
        double covariance = running ? around[k] : product[k];
        if (options.by_mean) covariance /= count;
        if (options.normalized) covariance /= error_std[k];
        mean_out[k] = static_cast<T>(sum[k]);
        covariance_out[k] = static_cast<T>(covariance);
        pearson_out[k] = static_cast<T>(product[k] / count / (error_std[k] * out_std));
      }
    }
  });
  auto all_finite = [](const at::Tensor& t) {
    const T* p = t.const_data_ptr<T>();
    return std::all_of(p, p + t.numel(), [](T v) { return std::isfinite(v); });
  };
  r.sums_finite = all_finite(r.error_sum) && all_finite(r.outs_mean);
  r.covariance_finite = all_finite(r.covariance);
  return r;
}

template <typename T>
at::Tensor gradient(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score, const NodeMap& map) {
  const int64_t C = score.size(0), S = error.numel(), K = map.nodes;
  const bool per_candidate = centre.numel() == score.numel();
  std::vector<int64_t> shape{C};
  shape.insert(shape.end(), error.sizes().begin(), error.sizes().end());
  at::Tensor g = at::empty(shape, error.options());
  const T* e = error.const_data_ptr<T>();
  const T* centres = centre.const_data_ptr<T>();
  const T* scores = score.const_data_ptr<T>();
  const int64_t* node_of = map.node_of.data();
  at::parallel_for(0, C, 1, [&](int64_t begin, int64_t end) {
    for (int64_t c = begin; c < end; ++c) {
      const T* centre_c = per_candidate ? centres + c * K : centres;
      const T* score_c = scores + c * K;
      T* gc = g.data_ptr<T>() + c * S;
      for (int64_t s = 0; s < S; ++s) {
        const int64_t k = node_of[s];
        // -sign(score): the sign is exact, so this matches the composite's sub-then-mul.
        const T sign = score_c[k] > T(0) ? T(-1) : (score_c[k] < T(0) ? T(1) : T(0));
        gc[s] = static_cast<T>(e[s] - centre_c[k]) * sign;
      }
    }
  });
  return g;
}

bool suits(const at::Tensor& t, at::ScalarType dtype) {
  return t.device().is_cpu() && t.scalar_type() == dtype && t.layout() == at::kStrided;
}

// out[i][j] = combine(stored[i][j], batch[i][j]) in the tensors' own precision, as the
// element-wise tensor operations compute it (scalars are cast to T first).
template <typename Combine>
void fold_each(at::TensorList out, at::TensorList stored, at::TensorList batch, Combine combine) {
  for (size_t i = 0; i < stored.size(); ++i) {
    AT_DISPATCH_FLOATING_TYPES(stored[i].scalar_type(), "dendrite_fold", [&] {
      const scalar_t* s = stored[i].const_data_ptr<scalar_t>();
      const scalar_t* b = batch[i].const_data_ptr<scalar_t>();
      scalar_t* o = out[i].data_ptr<scalar_t>();
      const int64_t n = stored[i].numel();
      for (int64_t j = 0; j < n; ++j) o[j] = combine(s[j], b[j]);
    });
    out[i].unsafeGetTensorImpl()->bump_version();
  }
}

}  // namespace

bool folds_apply(at::TensorList stored, at::TensorList batch) {
  if (stored.size() != batch.size() || stored.empty()) return false;
  const at::ScalarType dtype = stored[0].scalar_type();
  if (dtype != at::kFloat && dtype != at::kDouble) return false;
  for (size_t i = 0; i < stored.size(); ++i) {
    const at::Tensor& s = stored[i];
    const at::Tensor& b = batch[i];
    if (!suits(s, dtype) || !suits(b, dtype) || !s.is_contiguous() || !b.is_contiguous() ||
        s.sizes() != b.sizes() || s.requires_grad() || b.requires_grad()) {
      return false;
    }
  }
  return true;
}

std::vector<at::Tensor> new_like(at::TensorList tensors) {
  std::vector<at::Tensor> fresh;
  fresh.reserve(tensors.size());
  for (const at::Tensor& t : tensors) fresh.push_back(at::empty_like(t, at::MemoryFormat::Contiguous));
  return fresh;
}

void exponential_fold(at::TensorList out, at::TensorList stored, at::TensorList batch, double factor) {
  const double fresh = 1.0 - factor;
  fold_each(out, stored, batch, [&](auto s, auto b) {
    using T = decltype(s);
    const T kept = s * static_cast<T>(factor);
    const T added = b * static_cast<T>(fresh);
    return static_cast<T>(kept + added);
  });
}

void arithmetic_fold(at::TensorList out, at::TensorList stored, at::TensorList batch, double n) {
  fold_each(out, stored, batch, [&](auto s, auto b) {
    using T = decltype(s);
    const T total = static_cast<T>(s * static_cast<T>(n)) + b;
    return static_cast<T>(total / static_cast<T>(n + 1.0));
  });
}

void decay_add(at::TensorList out, at::TensorList stored, at::TensorList batch, double decay) {
  fold_each(out, stored, batch, [&](auto s, auto b) {
    using T = decltype(s);
    const T kept = s * static_cast<T>(decay);
    return static_cast<T>(kept + b);
  });
}

bool loops_apply(const at::Tensor& outs, const at::Tensor& error, const CorrelationOptions& options) {
  const at::ScalarType dtype = error.scalar_type();
  if (dtype != at::kFloat && dtype != at::kDouble) return false;
  if (!suits(outs, dtype) || !suits(error, dtype) || !outs.is_contiguous() || !error.is_contiguous()) return false;
  if (options.average_outs.defined() &&
      (!suits(options.average_outs, dtype) || !suits(options.average_error, dtype))) {
    return false;
  }
  // The loops save the composite's per-operation cost, which only matters for small
  // outputs; on large ones (a convolution's) the vectorised, multi-threaded operations
  // win, so the loops take outputs up to 64k elements (a batch of 64 x 256 nodes x 4 candidates).
  return outs.numel() <= kLoopElements;
}

bool gradient_loops_apply(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                          at::IntArrayRef dims) {
  if (score.dim() < 1 || score.size(0) == 0 || !loops_apply(error, error, {})) return false;
  const at::ScalarType dtype = error.scalar_type();
  if (!suits(centre, dtype) || !suits(score, dtype)) return false;
  const int64_t nodes = score.numel() / score.size(0);
  if (static_cast<double>(nodes) * reduced_count(error.sizes(), dims) != static_cast<double>(error.numel())) {
    return false;
  }
  return centre.numel() == nodes || centre.numel() == score.numel();
}

CorrelationStats correlation_statistics(const at::Tensor& outs, const at::Tensor& error, at::IntArrayRef dims,
                                        const CorrelationOptions& options) {
  const NodeMap& map = node_map(error.sizes(), dims);
  const double count = reduced_count(error.sizes(), dims);
  if (error.scalar_type() == at::kDouble) return statistics<double>(outs, error, map, options, count);
  return statistics<float>(outs, error, map, options, count);
}

at::Tensor correlation_gradient(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                                at::IntArrayRef dims) {
  const NodeMap& map = node_map(error.sizes(), dims);
  const at::Tensor centre_c = centre.contiguous(), score_c = score.contiguous();
  if (error.scalar_type() == at::kDouble) return gradient<double>(error, centre_c, score_c, map);
  return gradient<float>(error, centre_c, score_c, map);
}

}  // namespace dgr::kernels::cpu
