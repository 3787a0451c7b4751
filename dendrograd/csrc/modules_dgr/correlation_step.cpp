// modules_dgr: the covariance of a candidate's output with the neuron error and the
// correlation loss built on it, for one stored batch of one slot or of a pool of slots.
#include "learning.h"
#include "messages.h"

#include <torch/csrc/autograd/autograd.h>

#include <string>

namespace dgr::modules {
namespace {

// -output * sign(cov) * (error - average_error). The sign factor is exact (0 or +-1), so
// folding it into the centred error first gives the same values with one pass less.
at::Tensor covariance_loss(const at::Tensor& current_cov, const at::Tensor& error, const at::Tensor& average_error,
                           const at::Tensor& output) {
  return output.mul(error.sub(average_error).mul(current_cov.sign().neg()));
}

std::string layer_name_of(py::handle values) {
  return values.is_none() ? "None" : std::string(py::str(values.attr(host::names::layer_name())));
}

kernels::CorrelationOptions correlation_options(const LearningSettings& s, const Holders& holders) {
  kernels::CorrelationOptions options;
  options.by_mean = s.by_mean;
  options.normalized = s.normalized;
  if (s.running) {
    options.average_outs = pooled_attr(holders, host::names::prev_dendrite_candidate_average());
    options.average_error = pooled_attr(holders, host::names::parents_average_d_vector());
  }
  return options;
}

void check_pool_shapes(const at::Tensor& outs, const at::Tensor& error, const Dims& dims, const Dims& view) {
  const std::string problem = kernels::check_correlation_inputs(outs, error, dims, view);
  TORCH_CHECK(problem.empty(), "the candidate outputs and the neuron error do not fit together: ", problem);
}

// Per-node statistics of one candidate's batch ([nodes] each); stores the batch Pearson
// correlation on the holder when one is given.
kernels::CorrelationStats holder_statistics(const at::Tensor& dendrite_outs, const at::Tensor& new_neuron_error,
                                            const Dims& math_dims, const Dims& view, py::handle values) {
  at::NoGradGuard no_grad;
  const at::Tensor outs = dendrite_outs.detach().unsqueeze(0);
  const at::Tensor error = new_neuron_error.detach();
  check_pool_shapes(outs, error, math_dims, view);
  const LearningSettings s = LearningSettings::read();
  if (s.running && values.is_none()) {
    host::argument_error(host::Mistake::wrong_type, "get_current_covariance",
                         "centring on running averages (get_running_average_dg) needs the value holder that "
                         "keeps them; values is None");
  }
  Holders holder;
  if (!values.is_none()) holder.push_back(py::reinterpret_borrow<py::object>(values));
  kernels::CorrelationStats stats =
      kernels::correlation_statistics(outs, error, math_dims, view, correlation_options(s, holder));
  for (at::Tensor* t : {&stats.outs_mean, &stats.covariance, &stats.pearson}) *t = t->squeeze(0);
  if (!values.is_none()) store_batch_pearson(values, stats.pearson);
  return stats;
}

at::Tensor get_current_covariance(const at::Tensor& dendrite_outs, const at::Tensor& new_neuron_error,
                                  const Dims& math_dims, const Dims& view, py::handle values) {
  at::Tensor covariance = holder_statistics(dendrite_outs, new_neuron_error, math_dims, view, values).covariance;
  if (any_non_finite(covariance)) {
    print_non_finite_covariance(layer_name_of(values));
    host::debugger_stop("NaN or inf covariance in layer " + layer_name_of(values));
  }
  return covariance;
}

// The front pair of one holder's lists as a pool of one.
PoolBatch holder_batch(py::handle values) {
  py::object device_index = values.attr(host::names::device());
  at::NoGradGuard no_grad;
  check_dendrite_outs(values, device_index);
  PoolBatch b;
  b.holders.push_back(py::reinterpret_borrow<py::object>(values));
  b.error = host::tensor(host::stored_list(values, host::names::current_parent_d(), device_index)[0]).detach();
  b.outs.push_back(host::tensor(host::stored_list(values, host::names::dendrite_outs(), device_index)[0]));
  b.reduction = tuples_and_mult(b.error, values);
  return b;
}

// (scalar loss, record) of the oldest stored batch, for a loss of the user's own. The
// result's type is py::make_tuple's, which names the two items in the signature.
auto get_cc_loss(py::handle values) {
  const LearningSettings s = LearningSettings::read();
  const PoolBatch b = holder_batch(values);
  const PoolStep step = candidate_step(b, s, !s.running);
  if (!step.finite) {
    host::argument_error(host::Mistake::bad_value, "get_cc_loss",
                         "the oldest stored batch of layer " +
                             std::string(py::str(values.attr(host::names::layer_name()))) + " holds NaN or inf");
  }
  store_batch_pearson(values, step.stats.pearson.squeeze(0));
  const at::Tensor elementwise = b.outs[0].mul(step.gradient.squeeze(0));
  py::tuple triple = py::reinterpret_borrow<py::tuple>(b.reduction.triple);
  // Copies: the caller may keep or change them while the stored batch is still in use.
  py::tuple record = py::make_tuple(host::wrap(b.error.clone()), host::wrap(b.outs[0].detach().clone()),
                                    host::wrap(elementwise.detach().clone()), values, triple[0], triple[2], triple[1]);
  return py::make_tuple(host::wrap(elementwise.sum()), record);
}

}  // namespace

void store_batch_pearson(py::handle holder, const at::Tensor& pearson) {
  // Copied into the tensor already there when it fits: an attribute assignment on the
  // holder runs Python code per slot and batch.
  py::object current;
  try {
    current = host::member(holder, host::names::current_batch_pearson());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
  }
  if (current && host::is_tensor(current)) {
    at::Tensor stored = THPVariable_Unpack(current.ptr());
    if (!stored.requires_grad() && !pearson.requires_grad() && stored.sizes() == pearson.sizes() &&
        stored.device() == pearson.device() && stored.scalar_type() == pearson.scalar_type()) {
      stored.copy_(pearson);
      return;
    }
  }
  holder.attr(host::names::current_batch_pearson()) = host::wrap(pearson.clone());
}

// Not finite: a NaN or inf in the error, an output or (when `covariance_must_be_finite`)
// the covariance. The running-average loss takes its sign from the running score, so it
// can learn from a batch whose own covariance overflowed.
PoolStep candidate_step(const PoolBatch& b, const LearningSettings& s, bool covariance_must_be_finite) {
  at::NoGradGuard no_grad;
  const Dims& dims = b.reduction.math_dims;
  const Dims& view = b.reduction.view_shape;
  std::vector<at::Tensor> detached;
  for (const at::Tensor& out : b.outs) detached.push_back(out.detach());
  const at::Tensor pooled = detached.size() == 1 ? detached[0].unsqueeze(0) : at::stack(detached);
  check_pool_shapes(pooled, b.error, dims, view);
  const kernels::CorrelationOptions options = correlation_options(s, b.holders);
  PoolStep step;
  step.stats = kernels::correlation_statistics(pooled, b.error, dims, view, options);
  step.finite = kernels::statistics_finite(step.stats, covariance_must_be_finite);
  if (!step.finite) return step;
  if (s.running) {
    const at::Tensor running = pooled_attr(b.holders, host::names::prev_dendrite_candidate_correlation());
    step.gradient = kernels::correlation_gradient(b.error, options.average_error, running, dims, view);
  } else {
    step.gradient = kernels::correlation_gradient(b.error, step.stats.error_mean, step.stats.covariance, dims, view);
  }
  return step;
}

// Candidates computed as one product share their graph: a backward of fewer than all of
// them keeps it for the others (it is freed with the stored outputs).
void backward_into_candidates(const PoolBatch& b, const at::Tensor& gradient, bool keep_graph) {
  std::vector<at::Tensor> gradients = gradient.unbind(0);
  // The autograd engine runs Python hooks on its own threads: they need the GIL.
  py::gil_scoped_release no_gil;
  torch::autograd::backward(b.outs, gradients, keep_graph);
}

bool calculate_and_backwards_dendrite_loss(py::handle values) {
  const LearningSettings s = LearningSettings::read();
  const PoolBatch b = holder_batch(values);
  PoolStep step = candidate_step(b, s, !s.running);
  if (!step.finite) {
    report_bad_batch(py::str(values.attr(host::names::layer_name())));
    return false;
  }
  backward_into_candidates(b, step.gradient, true);
  at::NoGradGuard no_grad;
  kernels::CorrelationStats& stats = step.stats;
  store_batch_pearson(values, stats.pearson.squeeze(0));
  if (s.running && any_non_finite(stats.covariance)) {
    // The candidate step is finite (it uses the running sign); the statistics skip the batch.
    print_non_finite_covariance(layer_name_of(values));
    return true;
  }
  const Reduction& red = b.reduction;
  py::tuple triple = py::reinterpret_borrow<py::tuple>(red.triple);
  update_running_averages(b.error, b.outs[0], values, red.math_dims, red.full_mult, stats.covariance.squeeze(0),
                          triple[0], triple[2], stats.error_sum, stats.outs_mean.squeeze(0));
  return true;
}

void register_correlation_step(py::module_& m) {
  m.def("covariance_loss", &covariance_loss, py::arg("current_cov"), py::arg("error"), py::arg("average_error"),
        py::arg("output"),
        "Element-wise correlation loss -output * sign(current_cov) * (error - average_error): its\n"
        "gradient with respect to output is the centred error, signed so that descent raises |covariance|.\n"
        "current_cov and average_error are per-neuron values reshaped to broadcast against output.\n\n"
        "Raises RuntimeError when the shapes do not broadcast.");
  m.def(
      "get_current_covariance",
      [](const at::Tensor& dendrite_outs, const at::Tensor& new_neuron_error, py::handle math_tuple,
         py::handle view_tuple, py::handle values) {
        return get_current_covariance(dendrite_outs, new_neuron_error, host::int_vector(math_tuple),
                                      host::int_vector(view_tuple), values);
      },
      py::arg("dendrite_outs"), py::arg("new_neuron_error"), py::arg("math_tuple"), py::arg("view_tuple"),
      py::arg("values") = py::none(),
      "Returns the detached per-neuron covariance of candidate output and neuron error over math_tuple:\n"
      "a mean under GDL.pc.get_correlations_by_mean(), else a sum; centred on the holder's running\n"
      "averages under get_running_average_dg(), else on the batch means; divided by the error's\n"
      "standard deviation under get_normalized_covariance(). With a value holder as values it also\n"
      "stores the batch Pearson correlation as values.current_batch_pearson.\n\n"
      "A NaN or inf covariance prints a diagnostic and stops at the debugger (RuntimeError in a batch\n"
      "job). Raises TypeError for a non-sequence math_tuple or view_tuple.");
  m.def("get_cc_loss", &get_cc_loss, py::arg("dendrite_values"),
        "(scalar loss, (error, output, element-wise loss, holder, math_tuple, full_mult, "
        "view_tuple)) for the oldest stored batch.\n"
        "The loss carries the graph into the candidate; the record holds copies. The batch stays stored.\n\n"
        "Raises ValueError when the batch (or its covariance) holds NaN or inf. With no stored output\n"
        "it stops at the debugger (RuntimeError in a batch job); continuing then raises IndexError.");
  m.def(
      "calculate_and_backwards_dendrite_loss",
      [](py::handle values) {
        if (!calculate_and_backwards_dendrite_loss(values)) {
          host::debugger_stop("NaN or inf in a stored batch of layer " +
                              std::string(py::str(values.attr(host::names::layer_name()))));
        }
      },
      py::arg("values"),
      "Learns from the oldest stored batch of a value holder: correlation loss, its backward into the "
      "candidate, running statistics. A batch holding NaN or inf is reported and teaches nothing.\n"
      "The batch is not removed; apply_dg_grads does that.\n\n"
      "A non-finite batch or a missing stored output stops at the debugger: RuntimeError in a batch\n"
      "job. Errors of the backward pass propagate.");
}

}  // namespace dgr::modules
