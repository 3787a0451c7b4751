// modules_dgr: the candidate correlation kernels as plain tensor functions, so that they
// can be called (and compared with a reference) without any host object.
#include "modules_dgr.h"

#include "kernels/correlation_kernel.h"
#include "kernels/dendrite_terms_kernel.h"
#include "kernels/stacked_layer_kernel.h"

#include <optional>

namespace dgr::modules {
namespace {

// ValueError "function: message" unless ok.
void require(bool ok, const char* function, const std::string& message) {
  if (!ok) host::argument_error(host::Mistake::bad_value, function, message);
}

void require_pairs(const char* function, const std::vector<at::Tensor>& stored, const std::vector<at::Tensor>& batch) {
  require(stored.size() == batch.size(), function,
          "stored holds " + std::to_string(stored.size()) + " tensors, batch " + std::to_string(batch.size()));
}

py::tuple correlation_statistics(const at::Tensor& outs, const at::Tensor& error, std::vector<int64_t> dims,
                                 std::vector<int64_t> view, bool by_mean, bool normalized,
                                 std::optional<at::Tensor> average_outs, std::optional<at::Tensor> average_error) {
  const std::string problem = kernels::check_correlation_inputs(outs, error, dims, view);
  require(problem.empty(), "correlation_statistics", problem);
  require(average_outs.has_value() == average_error.has_value(),
          "correlation_statistics", "average_outs and average_error go together; got only one of them");
  kernels::CorrelationOptions options;
  options.by_mean = by_mean;
  options.normalized = normalized;
  if (average_outs) {
    options.average_outs = *average_outs;
    options.average_error = *average_error;
  }
  const kernels::CorrelationStats s = kernels::correlation_statistics(outs, error, dims, view, options);
  return py::make_tuple(s.error_sum, s.error_mean, s.outs_mean, s.covariance, s.pearson);
}

at::Tensor correlation_gradient(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                                std::vector<int64_t> dims, std::vector<int64_t> view) {
  require(score.dim() >= 1, "correlation_gradient", "score must be [C, nodes], got a 0-D tensor");
  require(static_cast<int64_t>(view.size()) == error.dim(),
          "correlation_gradient", "view must have one entry per dimension of the error (" +
              std::to_string(error.dim()) + "), got " + std::to_string(view.size()));
  for (int64_t d : dims) {
    require(d >= -error.dim() && d < std::max<int64_t>(error.dim(), 1),
            "correlation_gradient", "dims must lie in [" + std::to_string(-error.dim()) + ", " +
                std::to_string(error.dim()) + "), got " + std::to_string(d));
  }
  return kernels::correlation_gradient(error, centre, score, dims, view);
}

using Tensors = std::vector<at::Tensor>;

void require_stack(const char* function, const Tensors& weights, const Tensors& biases) {
  const std::string problem = kernels::check_stack(weights, biases);
  require(problem.empty(), function, problem);
}

Tensors stacked_linear(const at::Tensor& x, const Tensors& weights, const Tensors& biases) {
  require_stack("stacked_linear", weights, biases);
  require(weights[0].dim() == 2, "stacked_linear",
          "weights must be [out, in], got " + std::to_string(weights[0].dim()) + " dimensions");
  return kernels::stacked_linear(x, weights, biases);
}

Tensors stacked_convolution(const at::Tensor& x, const Tensors& weights, const Tensors& biases,
                            std::vector<int64_t> stride, std::vector<int64_t> padding, std::vector<int64_t> dilation) {
  require_stack("stacked_convolution", weights, biases);
  const int64_t spatial = weights[0].dim() - 2;
  require(spatial >= 1 && spatial <= 3, "stacked_convolution",
          "weights must be [out, in, *kernel] with 1 to 3 kernel dimensions, got " +
              std::to_string(weights[0].dim()) + " dimensions");
  for (const auto* geometry : {&stride, &padding, &dilation}) {
    require(static_cast<int64_t>(geometry->size()) == spatial,
            "stacked_convolution", "stride, padding and dilation need " + std::to_string(spatial) +
                " entries each, got " + std::to_string(geometry->size()));
  }
  return kernels::stacked_convolution(x, weights, biases, {stride, padding, dilation});
}

// None when the candidates' outputs or weights do not stack (each candidate then sums alone).
std::optional<Tensors> add_dendrite_terms(const Tensors& outs, const Tensors& weights, const Tensors& dendrite_outs,
                                          std::optional<std::vector<int64_t>> row_view) {
  std::optional<at::IntArrayRef> view;
  if (row_view) view = at::IntArrayRef(*row_view);
  return kernels::add_dendrite_terms(outs, weights, dendrite_outs, view, std::nullopt);
}

}  // namespace

void register_kernels(py::module_& m) {
  m.def("stacked_linear", &stacked_linear, py::arg("x"), py::arg("weights"), py::arg("biases"),
        "The outputs of C linear layers (weights [out, in] each, biases [out] each or an empty list) on\n"
        "one input x [..., in], computed as one product against the stacked weights. Returns C tensors\n"
        "[..., out], views of the shared result; gradients reach every layer's own weights.\n\n"
        "Raises ValueError when the weights differ in shape, dtype or device, or the biases do not fit.");
  m.def("stacked_convolution", &stacked_convolution, py::arg("x"), py::arg("weights"), py::arg("biases"),
        py::arg("stride"), py::arg("padding"), py::arg("dilation"),
        "The outputs of C ungrouped, zero-padded convolutions of one geometry (weights [out, in, *kernel]\n"
        "each, 1 to 3 kernel dimensions) on one input [B, in, *spatial] or [in, *spatial], computed as one\n"
        "convolution with C * out channels. Returns C views [B, out, *spatial'].\n\n"
        "Raises ValueError when the weights or biases do not stack or the geometry has the wrong length.");
  m.def("add_dendrite_terms", &add_dendrite_terms, py::arg("outs"), py::arg("weights"), py::arg("dendrite_outs"),
        py::arg("row_view") = py::none(),
        "The C candidate outputs `outs` with the K accepted dendrites' terms added together:\n"
        "outs[c] + weights[c][0] * dendrite_outs[0] + ... + weights[c][K-1] * dendrite_outs[K-1], each\n"
        "weight row viewed as row_view when given (-1 allowed). Bit for bit the candidate-by-candidate\n"
        "sums, with one product and one sum per dendrite. Returns None when the outputs or weights differ\n"
        "in shape, dtype or device, a weight has fewer than K rows, or a term would not keep the\n"
        "output's shape.");
  m.def("correlation_statistics", &correlation_statistics, py::arg("outs"), py::arg("error"), py::arg("dims"),
        py::arg("view"), py::arg("by_mean") = false, py::arg("normalized") = false,
        py::arg("average_outs") = py::none(), py::arg("average_error") = py::none(),
        "Per-node statistics of one batch for a pool of C candidates:\n"
        "(error_sum, error_mean, outs_mean, covariance, pearson).\n"
        "outs is [C, *S], error [*S] (the neuron error shared by the pool), dims the dimensions of S\n"
        "reduced per node (empty: all), view a shape of S's rank broadcasting a per-node value over S.\n"
        "The covariance is the sum (by_mean: the mean) of the centred products, centred on the batch\n"
        "means or, with average_outs and average_error ([C, nodes] each), on those; normalized divides\n"
        "it by the error's standard deviation. pearson is the batch-centred correlation, standard\n"
        "deviations clamped at 1e-8. Differentiable.\n\n"
        "Raises ValueError when the shapes do not fit together.");
  m.def("correlation_gradient", &correlation_gradient, py::arg("error"), py::arg("centre"), py::arg("score"),
        py::arg("dims"), py::arg("view"),
        "The correlation loss's gradient at each candidate's output, -sign(score) * (error - centre),\n"
        "as [C, *S]: descent along it raises |covariance|. score is [C, nodes]; centre is [nodes] (the\n"
        "batch mean error) or [C, nodes] (running averages); dims and view as for correlation_statistics.\n\n"
        "Raises ValueError for a 0-D score or a view of the wrong rank, RuntimeError when shapes do\n"
        "not broadcast.");
  m.def(
      "exponential_fold",
      [](const Tensors& stored, const Tensors& batch, double factor) {
        require_pairs("exponential_fold", stored, batch);
        return kernels::exponential_fold(stored, batch, factor);
      },
      py::arg("stored"), py::arg("batch"), py::arg("factor"),
        "New tensors stored[i] * factor + batch[i] * (1 - factor): one running score per candidate slot.\n\n"
        "Raises ValueError when the lists differ in length, RuntimeError when a pair differs in shape.");
  m.def(
      "arithmetic_fold",
      [](const Tensors& stored, const Tensors& batch, double n) {
        require_pairs("arithmetic_fold", stored, batch);
        return kernels::arithmetic_fold(stored, batch, n);
      },
      py::arg("stored"), py::arg("batch"), py::arg("n"),
        "New tensors (stored[i] * n + batch[i]) / (n + 1): the mean over n + 1 batches.\n\n"
        "Raises ValueError when the lists differ in length, RuntimeError when a pair differs in shape.");
  m.def("best_scores", &kernels::best_scores, py::arg("best"), py::arg("score"),
        "(max(best, |score|), indices): element-wise, index 1 where |score| is larger, 0 where the\n"
        "stored best stays (ties included).\n\n"
        "Raises RuntimeError when the shapes differ.");
  m.def("beats_by_margins", &kernels::beats_by_margins, py::arg("new_score"), py::arg("old_score"), py::arg("ratio"),
        py::arg("raw"),
        "Element-wise new * (1 - ratio) > old and new - raw > old.\n\n"
        "Raises RuntimeError when the shapes do not broadcast.");
}

}  // namespace dgr::modules
