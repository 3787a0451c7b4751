// modules_dgr, learning half: candidate forward path, running statistics,
// correlation loss, best-score bookkeeping and gradient application.
//
// Per-batch flow in p mode: forward_candidates stores each candidate's output
// (with its graph) on the candidate's value holder, the hook that
// watch_neuron_error puts on the neuron module's output stores the neuron error of
// the same forward call next to it (pairing.cpp), and at the optimizer step
// apply_dg_grads turns every stored (error, output) pair into a correlation loss,
// back-propagates it into the candidate and folds the batch into the holder's
// running statistics. Empty and non-finite batches are dropped unlearned.
#include "modules_dgr.h"

#include "kernels/correlation_kernel.h"

#include <ATen/SavedTensorHooks.h>
#include <torch/csrc/autograd/autograd.h>
#include <c10/util/Exception.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace dgr::modules {
namespace {

using Dims = std::vector<int64_t>;

// ---- small helpers ---------------------------------------------------------------------

Dims to_dims(py::handle seq) {
  Dims dims;
  for (py::handle d : seq) dims.push_back(host::as_int(d));
  return dims;
}

at::Device as_device(py::handle device) {
  if (THPDevice_Check(device.ptr())) return reinterpret_cast<THPDevice*>(device.ptr())->device;
  return at::Device(py::str(device).cast<std::string>());
}

// Shape of the per-neuron statistics of a value holder.
Dims storage_shape(py::handle values) {
  at::Tensor s = host::tensor_attr(values, host::names::dendrite_storage_shape());
  if (!s.device().is_cpu() || s.scalar_type() != at::kLong || !s.is_contiguous()) {
    s = s.to(at::kCPU, at::kLong).contiguous();
  }
  const int64_t* p = s.data_ptr<int64_t>();
  return Dims(p, p + s.numel());
}

py::object stored_list(py::handle values, py::handle list_name, py::handle device_index) {
  return values.attr(list_name)[device_index];
}

bool equals(py::handle a, py::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

size_t length(py::handle obj) {
  Py_ssize_t n = PyObject_Length(obj.ptr());
  if (n < 0) throw py::error_already_set();
  return static_cast<size_t>(n);
}

bool any_nan(const at::Tensor& t) { return at::isnan(t).any().item<bool>(); }
bool any_non_finite(const at::Tensor& t) { return !at::isfinite(t).all().item<bool>(); }

// fn(*args, **kwargs) for an iterable `args` and a mapping `kwargs`.
py::object call_unpacked(py::handle fn, py::handle args, py::handle kwargs) {
  py::object tuple_args = py::reinterpret_steal<py::object>(PySequence_Tuple(args.ptr()));
  if (!tuple_args) throw py::error_already_set();
  py::object dict_kwargs;
  if (PyDict_Check(kwargs.ptr())) {
    dict_kwargs = py::reinterpret_borrow<py::object>(kwargs);
  } else {
    dict_kwargs = py::reinterpret_steal<py::object>(PyDict_New());
    if (PyDict_Update(dict_kwargs.ptr(), kwargs.ptr()) < 0) throw py::error_already_set();
  }
  PyObject* result = PyObject_Call(fn.ptr(), tuple_args.ptr(), dict_kwargs.ptr());
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// `a, b = result` with the interpreter's own errors.
std::pair<py::object, py::object> unpack_pair(py::handle result) {
  py::object items = py::reinterpret_steal<py::object>(PySequence_Tuple(result.ptr()));
  if (!items) throw py::error_already_set();
  Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
  if (n > 2) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw py::error_already_set();
  }
  if (n < 2) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    throw py::error_already_set();
  }
  return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(items.ptr(), 0)),
          py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(items.ptr(), 1))};
}

// A user processor failed: report it and end the run with a failure status.
[[noreturn]] void processor_failure(py::error_already_set& e, bool pre, py::handle dendrite_module) {
  // An error raised from C++ (the unpacking) carries no traceback object.
  py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
  DGR_CACHED_MODULE("traceback")
      .attr("print_exception")(e.type(), e.value(), trace, py::arg("limit") = py::none(), py::arg("chain") = true);
  std::string name = py::str(dendrite_module.attr(host::names::name()));
  if (pre) {
    host::print("Your candidate pre_d processor for " + name + " caused this error");
  } else {
    host::print("Your post_d processor for " + name + " caused this error");
  }
  host::print("You must check how this is defined and ensure that it is properly");
  if (pre) {
    host::print("accepting inputs to the ARBModule and returning what will then be");
    host::print("the input to the dendrite module");
  } else {
    host::print("accepting outputs from the dendrite module and returning the");
    host::print("single tensor to be combined with the neurons output tensor");
  }
  host::exit_process(1);
}

// An earlier stored output was never consumed when a new one is about to be stored.
void leak_handling(py::handle dendrite_module, py::handle holder, py::list stored) {
  if (host::flag(host::names::get_no_backward_workaround())) {
    if (host::flag(host::names::get_verbose())) {
      host::print(host::percent("%s clearing values in workaround", holder.attr(host::names::layer_name())));
    }
    // The newest entry that no forward call owns; tagged entries are paired by their call.
    for (Py_ssize_t k = static_cast<Py_ssize_t>(stored.size()) - 1; k >= 0; --k) {
      if (is_tagged(stored[k])) continue;
      if (PySequence_DelItem(stored.ptr(), k) < 0) throw py::error_already_set();
      break;
    }
    return;
  }
  py::object first = dendrite_module.attr(host::names::dendrite_values())[py::int_(0)];
  py::int_ zero(0);
  size_t outs = length(stored_list(first, host::names::dendrite_outs(), zero));
  size_t errors = length(stored_list(first, host::names::current_parent_d(), zero));
  host::print(host::percent("%s is in backwards graph multiple times.", dendrite_module.attr(host::names::name())));
  host::print("This will cause a memory leak unless it is a recurrent layer.");
  host::print("Dendrite outs and neuron errors are currently stacked (" + std::to_string(outs) + "/" +
              std::to_string(errors) + ") times");
  host::print("If this is coming up before a memory leak that happens anywhere other than the first batch of an "
              "epoch you NEED to debug this.");
  host::print("Check that every training-mode forward in p mode is followed by loss.backward() and "
              "optimizer.step(), and run validation forwards under torch.no_grad().");
  host::print("If this is just being printed but there is not a memory leak you can set "
              "GDL.pc.set_debugging_memory_leak(False)");
  host::print("If you don't have any recurrent layers you can also clear this by in a more memory efficient way by "
              "setting GDL.pc.set_no_backward_workaround(True)");
  host::print("If you set GDL.pc.set_no_backward_workaround(True) and it causes a IndexError: list index out of "
              "range error, that means you do have a recurrent layer");
  host::print("If this comes up just once or twice and not every single batch you are likely using\n"
              "a library or method that sometime does forwards and backwards without optimizer.step()\n"
              "In this cases we now handle this properly and you can just set GDL.pc.set_debugging_memory_leak(False)");
}

// ---- forward path -------------------------------------------------------------------------

// Saved-tensor hooks (activation checkpointing, offloading) belong to the user's graph.
// Candidate graphs are consumed at the optimizer step, after such hooks have let go of
// their frames, so candidates record their graphs plainly.
class PlainSavedTensors {
 public:
  PlainSavedTensors() : outer_(at::SavedTensorDefaultHooks::get_tls_state()) {
    at::impl::SavedTensorDefaultHooksTLS plain;
    plain.disabled_error_message = outer_.disabled_error_message;
    plain.is_tracing = outer_.is_tracing;
    at::SavedTensorDefaultHooks::set_tls_state(plain);
  }
  ~PlainSavedTensors() { at::SavedTensorDefaultHooks::set_tls_state(outer_); }
  PlainSavedTensors(const PlainSavedTensors&) = delete;
  PlainSavedTensors& operator=(const PlainSavedTensors&) = delete;

 private:
  at::impl::SavedTensorDefaultHooksTLS outer_;
};

py::tuple preprocess_dg(py::args args, py::kwargs kwargs) {
  py::object args2 = killer_recursive(args, host::flag(host::names::get_dendrite_graph_mode()))[0];
  py::object kwargs2 = killer_recursive(kwargs, host::flag(host::names::get_dendrite_graph_mode()))[0];
  return py::make_tuple(args2, kwargs2);
}

py::object add_dendrite_inputs(py::handle dendrite_module, py::handle i, py::object candidate_outs,
                               py::handle outs, py::handle view_tuple, py::handle device) {
  long long accepted = host::as_int(dendrite_module.attr(host::names::num_dendrites()));
  if (accepted <= 0) return candidate_outs;
  at::Tensor weights = host::tensor(dendrite_module.attr(host::names::dendrites_to_candidates())[i]);
  py::list unshaped;
  unshaped.append(1);
  const bool plain = equals(view_tuple, unshaped);
  const Dims view = plain ? Dims{} : to_dims(view_tuple);
  std::optional<at::Device> dev;
  if (!device.is_none()) dev = as_device(device);
  at::Tensor acc = host::tensor(candidate_outs);
  for (long long k = 0; k < accepted; ++k) {
    at::Tensor w = weights.select(0, k);
    if (!plain) w = w.view(view);
    if (dev) w = w.to(*dev);
    at::Tensor term = w * host::tensor(outs[py::int_(k)]);
    if (dev) acc = acc.to(*dev);
    acc = acc + term;
  }
  return host::wrap(acc);
}

// A neuron's output with its accepted dendrites, the layer and the dendrite layers (plain
// copies of it) computed here without their Python calls: (out, dendrite_outs, view_tuple),
// bit for bit what the host's calls layer by layer give. None when the layers need their
// own calls. Each layer keeps its own product: one product on stacked weights rounds
// differently, and the deployed form must predict exactly what the trained network does.
py::object accepted_forward(py::handle neuron_module, py::args args, py::kwargs kwargs) {
  py::object dendrite_module = host::member(neuron_module, host::names::dendrite_module());
  py::list layers = host::module_list(dendrite_module, host::names::layers());
  py::list into_dendrites(neuron_module.attr(host::names::dendrites_to_dendrites()));
  py::list into_neuron(neuron_module.attr(host::names::dendrites_to_top()));
  if (layers.empty() || into_neuron.empty()) return py::none();
  // Weights that are tensor subclasses keep their own ops: the host's calls run them.
  const py::handle top_obj = into_neuron[into_neuron.size() - 1];
  if (!is_plain_tensor(top_obj.ptr())) return py::none();
  for (size_t k = 1; k <= layers.size(); ++k) {
    if (k < into_dendrites.size() && !is_plain_tensor(py::handle(into_dendrites[k]).ptr())) return py::none();
  }
  layers.insert(0, host::member(neuron_module, host::names::main_module()));
  std::optional<std::vector<at::Tensor>> outs =
      candidate_layer_outputs(layers, args, kwargs, /*may_share_storage=*/false);
  if (!outs) return py::none();
  py::object activation = host::get(host::names::get_arb_forward_function());
  at::Tensor out = std::move((*outs)[0]);
  py::object view_tuple = neuron_module.attr(host::names::view_tuple_for())(host::wrap(out));
  const Dims view = to_dims(view_tuple);
  const at::Tensor top = host::tensor(top_obj, "dendrites_to_top[-1]");
  std::vector<at::Tensor> dendrite_values;
  py::list dendrite_outs;
  for (size_t k = 0; k + 1 < outs->size(); ++k) {
    at::Tensor value = std::move((*outs)[k + 1]);  // each raw output freed once summed
    const at::Tensor weights = host::tensor(into_dendrites[k + 1], "dendrites_to_dendrites entry");
    for (size_t j = 0; j < k; ++j) value = value + weights.select(0, j).view(view) * dendrite_values[j];
    py::object activated = activation(host::wrap(std::move(value)));
    // Known only once it has run: the host's calls then run the activation once more.
    if (!is_plain_tensor(activated.ptr())) return py::none();
    dendrite_values.push_back(host::tensor(activated, "the dendrite nonlinearity's result"));
    dendrite_outs.append(activated);
  }
  for (size_t k = 0; k < dendrite_values.size(); ++k) out = out + top.select(0, k).view(view) * dendrite_values[k];
  return py::make_tuple(host::wrap(out), dendrite_outs, view_tuple);
}

// Moves the candidates to the inputs' device. The list remembers the device it was last
// moved to (a new candidate set is a new list), so the module walk runs only on a change.
void move_candidates_to(py::handle candidate_list, py::handle device) {
  py::object moved_to = py::getattr(candidate_list, DGR_STR("_dgr_device"), py::none());
  py::str wanted(device);
  if (!moved_to.is_none() && moved_to.equal(wanted)) return;
  for (py::handle candidate : candidate_list) candidate.attr(DGR_STR("to"))(device);
  py::setattr(candidate_list, DGR_STR("_dgr_device"), wanted);
}

// A forward call's inputs as the candidates get them: cut from the neuron's graph (detached
// copies) when the settings say so, and the device they are on.
struct CandidateInputs {
  py::object args, kwargs, device;
  std::optional<at::Device> dev;
};

// The pooled learning step covers the built-in loss without diagnostics; everything else
// goes slot by slot.
bool pool_learning_applies(py::handle loss_fn, bool learn_live, bool dpp_verbose) {
  return loss_fn.is_none() && !learn_live && !dpp_verbose && !host::extra_verbose();
}

CandidateInputs candidate_inputs(py::handle dendrite_module, py::handle args, py::handle kwargs, bool cut,
                                 bool training) {
  py::tuple walked_args = killer_recursive(args, cut);
  py::tuple walked_kwargs = killer_recursive(kwargs, cut);
  CandidateInputs in{walked_args[0], walked_kwargs[0], walked_args[1], std::nullopt};
  if (in.device.is_none()) in.device = walked_kwargs[1];
  if (in.device.is_none() && training) {
    throw py::value_error("forward_candidates: the inputs of layer " +
                          std::string(py::str(dendrite_module.attr(host::names::name()))) +
                          " hold no tensor, so the candidates' device cannot be told; pass at least one "
                          "tensor positionally or by keyword");
  }
  if (!in.device.is_none()) in.dev = as_device(in.device);
  return in;
}

// Candidate i's layer output through Python: its own copy of the inputs (so a layer that
// works on its input in place cannot change what the next candidate sees), the
// processors around the call.
py::object call_candidate(py::handle dendrite_module, py::handle candidate, py::handle processors, py::int_ index,
                          CandidateInputs in) {
  const bool has_processors = !processors.is_none();
  if (has_processors) {
    try {
      py::object prepared = call_unpacked(processors[index].attr(DGR_STR("pre_d")), in.args, in.kwargs);
      std::tie(in.args, in.kwargs) = unpack_pair(prepared);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      processor_failure(e, true, dendrite_module);
    }
  }
  py::object out = call_unpacked(candidate, in.args, in.kwargs);
  if (has_processors) {
    try {
      out = processors[index].attr(DGR_STR("post_d"))(out);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      processor_failure(e, false, dendrite_module);
    }
  }
  return out;
}

py::tuple forward_candidates(py::handle dendrite_module, py::handle view_tuple, py::object dendrite_outs,
                             py::args args, py::kwargs kwargs) {
  py::dict candidate_outs, candidate_nonlinear_outs, candidate_non_zeroed;
  const long long candidates = host::integer(host::names::get_global_candidates());
  py::object call;  // this forward call's tag, opened when the first output is stored
  const bool learning = host::tracker_mode_is("p") && equals(dendrite_module.attr(host::names::mode()), DGR_STR("p"));
  if (!learning || candidates <= 0) {
    return py::make_tuple(candidate_outs, candidate_nonlinear_outs, candidate_non_zeroed);
  }
  // What every candidate of this call reads, read once: settings, the module lists as
  // plain lists (indexing a ModuleList runs Python code), the processors.
  const bool cut = host::flag(host::names::get_candidate_graph_mode());
  const bool training = host::truthy(dendrite_module.attr(host::names::training()));
  const bool leak_checks = host::flag(host::names::get_debugging_memory_leak());
  const bool learn_mode = host::flag(host::names::get_dendrite_learn_mode());
  const bool extra_verbose = host::flag(host::names::get_extra_verbose());
  const bool nan_checks = extra_verbose || host::flag(host::names::get_verbose());
  py::object activation = host::get(host::names::get_arb_forward_function());
  py::object candidate_list = host::member(dendrite_module, host::names::candidate_module());
  py::list candidate_modules = host::module_list(dendrite_module, host::names::candidate_module());
  py::list holders = host::module_list(dendrite_module, host::names::dendrite_values());
  py::object processors = dendrite_module.attr(host::names::candidate_processors());
  if (equals(processors, py::list())) processors = py::none();
  // The slot-by-slot step (a custom dendrite loss, diagnostics) back-propagates one slot
  // at a time, which costs a shared graph a pass over every candidate per slot.
  const bool may_compute_here =
      processors.is_none() &&
      pool_learning_applies(host::this_module().attr(DGR_STR("dendrite_loss_fn")),
                            host::flag(host::names::get_learn_dendrites_live()), host::flag(host::names::get_dpp_verbose())) &&
      static_cast<long long>(candidate_modules.size()) >= candidates;

  CandidateInputs in = candidate_inputs(dendrite_module, args, kwargs, cut, training);
  move_candidates_to(candidate_list, in.device);
  dendrite_outs = killer_recursive(dendrite_outs, cut)[0];
  PlainSavedTensors plain_saved_tensors;
  std::optional<std::vector<at::Tensor>> layer_outs;  // computed here, without the layers' Python calls
  if (may_compute_here) {
    py::list pool;
    for (long long i = 0; i < candidates; ++i) pool.append(candidate_modules[py::int_(i)]);
    // Views of one shared result are fine unless the activation works on them in place.
    const bool may_share_storage =
        host::as_int(dendrite_module.attr(host::names::num_dendrites())) > 0 || leaves_input_intact(activation);
    layer_outs = candidate_layer_outputs(pool, in.args, in.kwargs, may_share_storage);
  }
  for (long long i = 0; i < candidates; ++i) {
    py::int_ index(i);
    py::object candidate_out;
    if (layer_outs) {
      candidate_out = host::wrap((*layer_outs)[i]);
    } else {
      if (i > 0) in = candidate_inputs(dendrite_module, args, kwargs, cut, training);
      candidate_out = call_candidate(dendrite_module, candidate_modules[index], processors, index, in);
    }
    candidate_out = add_dendrite_inputs(dendrite_module, index, candidate_out, dendrite_outs, view_tuple, in.device);
    py::object nonlinear = activation(candidate_out);
    candidate_outs[index] = candidate_out;
    at::Tensor nonlinear_t = host::tensor(nonlinear, "the candidate nonlinearity's result");
    if (in.dev && nonlinear_t.device() != *in.dev) {
      nonlinear_t = nonlinear_t.to(*in.dev);
      nonlinear = host::wrap(nonlinear_t);
    }
    candidate_nonlinear_outs[index] = nonlinear;

    // Under no_grad / inference_mode (a validation pass in training mode) no error can
    // come back, so nothing is stored.
    if (training && at::GradMode::is_enabled() && nonlinear_t.requires_grad()) {
      py::object holder = holders[index];
      py::list stored = stored_list(holder, host::names::dendrite_outs(), py::int_(host::device_index(*in.dev)));
      drop_unreachable_outputs(stored);  // earlier calls whose graph was freed without a backward
      if (leak_checks && count_positional(stored) > 0) {
        leak_handling(dendrite_module, holder, stored);
      }
      if (learn_mode) {
        if (extra_verbose) {
          host::print(host::percent("%s appending dendrite_outs", holder.attr(host::names::layer_name())));
        }
        if (!call) call = open_forward_call();
        tag_with_call(nonlinear, call);
        stored.append(nonlinear);
        if (nan_checks) {
          if (any_nan(nonlinear_t)) {
            host::print("got candidate out nan");
            host::debugger_stop("a candidate output holds NaN");
          }
        }
      }
    }
    candidate_non_zeroed[index] = host::wrap(nonlinear_t.detach().clone());
  }

  if (host::flag(host::names::get_debugging_backwards_nan())) {
    bool got_nan = false;
    for (py::dict* results : {&candidate_outs, &candidate_nonlinear_outs, &candidate_non_zeroed}) {
      for (auto item : *results) {
        at::Tensor t = host::tensor(item.second);
        if (any_nan(t) || at::isinf(t).any().item<bool>()) got_nan = true;
      }
    }
    if (got_nan) {
      host::print(host::percent("Got a NaN or inf in candidate outputs in layer %s",
                                dendrite_module.attr(host::names::name())));
      host::print("Try using GDL.pc.set_candidate_grad_clipping(1.0) to prevent large candidate gradients");
      host::debugger_stop("NaN or inf in the candidate outputs of layer " + std::string(py::str(dendrite_module.attr(host::names::name()))));
    }
  }
  return py::make_tuple(candidate_outs, candidate_nonlinear_outs, candidate_non_zeroed);
}

py::object apply_live_candidate_to_output(py::handle neuron_module, py::object out,
                                          py::handle candidate_nonlinear_outs) {
  if (!host::truthy(neuron_module.attr(host::names::module_config()).attr(host::names::get_learn_dendrites_live())())) {
    return out;
  }
  if (!py::hasattr(neuron_module, host::names::current_candidate_to_top())) return out;
  py::object to_top_obj = neuron_module.attr(host::names::current_candidate_to_top());
  if (to_top_obj.is_none()) return out;
  if (length(candidate_nonlinear_outs) == 0) return out;
  at::Tensor first = host::tensor(candidate_nonlinear_outs[py::int_(0)]);
  at::Tensor to_top = host::tensor(to_top_obj).select(0, 0);
  const long long node = host::as_int(neuron_module.attr(host::names::this_node_index()));
  for (int64_t dim = 0; dim < first.dim(); ++dim) {
    if (dim != node) to_top = to_top.unsqueeze(dim);
  }
  at::Tensor out_t = host::tensor(out);
  return host::wrap(out_t + first.detach().to(out_t.device()) * to_top.to(out_t.device()));
}

void check_dendrite_outs(py::handle values, py::handle device_index) {
  if (length(stored_list(values, host::names::dendrite_outs(), device_index)) != 0) return;
  host::print(host::percent("Dendrite does not have output Value for layer %s", values.attr(host::names::layer_name())));
  host::print("This can be caused by your model being in eval mode when you call loss.backwards()");
  host::debugger_stop("no stored candidate output for layer " + std::string(py::str(values.attr(host::names::layer_name()))));
}

// ---- running statistics ----------------------------------------------------------------------

// The settings one learning step reads, read once per module and step.
struct LearningSettings {
  bool by_mean = false;      // get_correlations_by_mean
  bool running = false;      // get_running_average_dg: centre on running averages
  bool normalized = false;   // get_normalized_covariance
  bool learn_live = false;   // get_learn_dendrites_live
  bool dpp_verbose = false;  // get_dpp_verbose
  double factor = 0.99;      // get_correlation_average_factor
  double initial_batches = 0;

  static LearningSettings read() {
    LearningSettings s;
    s.by_mean = host::flag(host::names::get_correlations_by_mean());
    s.running = host::flag(host::names::get_running_average_dg());
    s.normalized = host::flag(host::names::get_normalized_covariance());
    s.learn_live = host::flag(host::names::get_learn_dendrites_live());
    s.dpp_verbose = host::flag(host::names::get_dpp_verbose());
    // How much of the running scores carries over per batch: the default 0.99 averages over
    // about 100 batches; with one batch per epoch (full batch) a lower factor lets the score
    // follow the candidate instead of trailing it by a hundred epochs.
    s.factor = host::number(host::names::get_correlation_average_factor());
    s.initial_batches = static_cast<double>(host::integer(host::names::get_initial_correlation_batches()));
    return s;
  }
};

using Holders = std::vector<py::object>;

// One tensor attribute of every holder of a pool.
std::vector<at::Tensor> holder_tensors(const Holders& holders, py::handle name) {
  std::vector<at::Tensor> tensors;
  tensors.reserve(holders.size());
  for (const py::object& holder : holders) tensors.push_back(host::tensor_attr(holder, name));
  return tensors;
}

// The same attribute of every holder as one [C, ...] tensor (no copy for a single holder).
at::Tensor pooled_attr(const Holders& holders, py::handle name) {
  if (holders.size() == 1) return host::tensor_attr(holders[0], name).unsqueeze(0);
  return at::stack(holder_tensors(holders, name));
}

// One batch of per-node values ([C, nodes]) for the running scores of a pool's holders.
struct ScoreBatch {
  at::Tensor outs_mean, covariance, pearson;
};

// The batch's values one per holder, each shaped like the holder's statistics.
std::vector<at::Tensor> per_holder(const at::Tensor& batch, size_t holders, const Dims& storage) {
  Dims pooled_storage{static_cast<int64_t>(holders)};
  pooled_storage.insert(pooled_storage.end(), storage.begin(), storage.end());
  return batch.detach().reshape(pooled_storage).unbind(0);
}

// The first get_initial_correlation_batches() batches: the scores are the arithmetic mean
// of the batches so far (each holder has seen `initialized`), the best scores start over.
void fold_initial_scores(const Holders& holders, const Dims& storage, double initialized, const ScoreBatch& batch) {
  at::NoGradGuard no_grad;
  const std::pair<py::handle, const at::Tensor*> scores[] = {
      {host::names::prev_dendrite_candidate_average(), &batch.outs_mean},
      {host::names::prev_dendrite_candidate_correlation(), &batch.covariance},
      {host::names::prev_dendrite_candidate_pearson(), &batch.pearson}};
  for (const auto& [name, values] : scores) {
    kernels::arithmetic_fold_(holder_tensors(holders, name), per_holder(*values, holders.size(), storage), initialized);
  }
  for (py::handle name : {host::names::best_score(), host::names::previous_best_score(), host::names::best_pearson_correlation()}) {
    at::_foreach_mul_(holder_tensors(holders, name), 0);
  }
  for (const at::Tensor& scalar : holder_tensors(holders, host::names::running_scalar())) scalar.fill_(1.0);
  at::_foreach_add_(holder_tensors(holders, host::names::initialized()), 1.0);
}

// After them: exponential moving averages with get_correlation_average_factor().
void fold_steady_scores(const Holders& holders, const Dims& storage, double factor, const ScoreBatch& batch) {
  at::NoGradGuard no_grad;
  kernels::exponential_fold_(holder_tensors(holders, host::names::prev_dendrite_candidate_average()),
                             per_holder(batch.outs_mean, holders.size(), storage), factor);
  // The two scores get new storage under the same tensor objects.
  const std::pair<py::handle, const at::Tensor*> scores[] = {
      {host::names::prev_dendrite_candidate_correlation(), &batch.covariance},
      {host::names::prev_dendrite_candidate_pearson(), &batch.pearson}};
  for (const auto& [name, values] : scores) {
    std::vector<at::Tensor> stored = holder_tensors(holders, name);
    std::vector<at::Tensor> folded =
        kernels::exponential_fold(stored, per_holder(*values, holders.size(), storage), factor);
    for (size_t i = 0; i < stored.size(); ++i) stored[i].set_data(folded[i]);
  }
}

void fold_scores(const Holders& holders, const Dims& storage, double initialized, const ScoreBatch& batch,
                 const LearningSettings& s) {
  if (initialized < s.initial_batches) {
    fold_initial_scores(holders, storage, initialized, batch);
  } else {
    fold_steady_scores(holders, storage, s.factor, batch);
  }
}

void update_saved_values_averages_initial(py::handle values, const at::Tensor& outs_mean,
                                          const at::Tensor& covariance) {
  const at::Tensor pearson = host::tensor_attr(values, host::names::current_batch_pearson()).unsqueeze(0);
  fold_initial_scores({py::reinterpret_borrow<py::object>(values)}, storage_shape(values),
                      host::tensor_attr(values, host::names::initialized()).item<double>(),
                      {outs_mean.unsqueeze(0), covariance.unsqueeze(0), pearson});
}

void update_saved_values_averages(py::handle values, const at::Tensor& outs_mean, const at::Tensor& covariance) {
  const at::Tensor pearson = host::tensor_attr(values, host::names::current_batch_pearson()).unsqueeze(0);
  fold_steady_scores({py::reinterpret_borrow<py::object>(values)}, storage_shape(values),
                     host::number(host::names::get_correlation_average_factor()),
                     {outs_mean.unsqueeze(0), covariance.unsqueeze(0), pearson});
}

// The per-neuron average error every holder keeps, moved towards this batch's mean.
void fold_error_average(const Holders& holders, const at::Tensor& error_sum, double full_mult, const Dims& storage) {
  at::NoGradGuard no_grad;
  const at::Tensor batch = error_sum.mul(0.01).div(full_mult).reshape(storage);
  kernels::decay_add_(holder_tensors(holders, host::names::normal_pass_average_d()),
                      std::vector<at::Tensor>(holders.size(), batch), 0.99);
}

// math_tuple / full_mult come both parsed and as the Python objects shown in diagnostics;
// `error_sum` and `outs_mean`, when given, are this batch's reductions already computed.
void update_running_averages(const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs, py::handle values,
                             const Dims& math_dims, double full_mult, const at::Tensor& covariance,
                             py::handle math_tuple, py::handle full_mult_obj, at::Tensor error_sum = {},
                             at::Tensor outs_mean = {}) {
  at::NoGradGuard no_grad;
  const LearningSettings s = LearningSettings::read();
  const Holders holder{py::reinterpret_borrow<py::object>(values)};
  auto shape_report_lines = [&] {
    host::print(host::wrap(new_neuron_error).attr("shape"));
    host::print(values.attr(host::names::this_node_index()));
    host::print(math_tuple);
    host::print(full_mult_obj);
  };
  std::optional<std::string> failure;
  try {
    if (!error_sum.defined()) error_sum = at::sum(new_neuron_error.detach(), math_dims);
    fold_error_average(holder, error_sum, full_mult, storage_shape(values));
    if (s.dpp_verbose) {
      host::print("no error with");
      shape_report_lines();
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    failure = py::str(e.value()).cast<std::string>();
  } catch (const c10::Error& e) {
    failure = e.what_without_backtrace();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure) {
    host::print(*failure);
    host::print(host::percent("Error with type shape in %s", values.attr(host::names::layer_name())));
    shape_report_lines();
    host::debugger_stop("the neuron error does not fit the running statistics of layer " + std::string(py::str(values.attr(host::names::layer_name()))));
    host::exit_process(1);
  }
  if (s.learn_live) {
    at::Tensor parents = host::tensor_attr(values, host::names::parents_average_d_vector());
    parents.copy_(host::tensor_attr(values, host::names::normal_pass_average_d()));
    parents.requires_grad_(false);
  }
  if (!outs_mean.defined()) outs_mean = at::mean(dendrite_outs.detach(), math_dims);
  const double initialized = host::tensor_attr(values, host::names::initialized()).item<double>();
  const at::Tensor pearson = host::tensor_attr(values, host::names::current_batch_pearson()).unsqueeze(0);
  fold_scores(holder, storage_shape(values), initialized, {outs_mean.unsqueeze(0), covariance.unsqueeze(0), pearson}, s);
}

// ---- covariance and correlation loss --------------------------------------------------------

// -output * sign(cov) * (error - average_error). The sign factor is exact (0 or +-1), so
// folding it into the centred error first gives the same values with one pass less.
at::Tensor covariance_loss(const at::Tensor& current_cov, const at::Tensor& error, const at::Tensor& average_error,
                           const at::Tensor& output) {
  return output.mul(error.sub(average_error).mul(current_cov.sign().neg()));
}

std::string layer_name_of(py::handle values) {
  return values.is_none() ? "None" : std::string(py::str(values.attr(host::names::layer_name())));
}

void print_non_finite_covariance(const std::string& layer_name) {
  host::print("Covariance contains NaN values.");
  host::print("For layer: " + layer_name);
  host::print("Try clipping candidate gradients with GDL.pc.set_candidate_grad_clipping(1.0), or leave layer " +
              layer_name + " unwrapped (GDL.pc.set_modules_to_convert lists the layer types that get dendrites)");
}

// A batch that teaches nothing because something in it is not finite.
void report_bad_batch(const std::string& layer_name) {
  print_non_finite_covariance(layer_name);
  host::print("The neuron error, the candidate output or the covariance of this batch is not finite; the batch "
              "is skipped and nothing is learned from it.");
}

// The batch's Pearson correlation becomes the holder's current_batch_pearson: copied into
// the tensor already there when it fits (an attribute assignment on the holder runs
// Python code per slot and batch), else assigned as a copy of its own.
void store_batch_pearson(py::handle holder, const at::Tensor& pearson) {
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
    throw py::type_error("get_current_covariance: centring on running averages (get_running_average_dg) needs "
                         "the value holder that keeps them; values is None");
  }
  Holders holder;
  if (!values.is_none()) holder.push_back(py::reinterpret_borrow<py::object>(values));
  kernels::CorrelationStats stats = kernels::correlation_statistics(outs, error, math_dims, view, correlation_options(s, holder));
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

// ---- one stored batch of a candidate pool -----------------------------------------------------

// The front (error, output) pair of every candidate slot of one neuron module.
struct PoolBatch {
  Holders holders;
  at::Tensor error;              // the neuron error, detached; the same forward call for every slot
  std::vector<at::Tensor> outs;  // the slots' outputs, with their graphs
  Reduction reduction;
};

// What a batch teaches: its statistics ([C, nodes]) and the loss gradient at each output.
struct PoolStep {
  kernels::CorrelationStats stats;
  at::Tensor gradient;  // [C, *S]
  bool finite = true;
};

// Statistics and loss gradient of a batch. Not finite: a NaN or inf in the error, an
// output or (when `covariance_must_be_finite`) the covariance; nothing else is computed.
// The running-average loss takes its sign from the running score, so it can learn from a
// batch whose own covariance overflowed.
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
    step.gradient = kernels::correlation_gradient(
        b.error, options.average_error, pooled_attr(b.holders, host::names::prev_dendrite_candidate_correlation()), dims,
        view);
  } else {
    step.gradient = kernels::correlation_gradient(b.error, step.stats.error_mean, step.stats.covariance, dims, view);
  }
  return step;
}

// Back-propagates the loss gradient into every candidate of the pool: one pass of the engine.
// Candidates computed as one product share their graph: a backward of fewer than all of
// them keeps it for the others (it is freed with the stored outputs).
void backward_into_candidates(const PoolBatch& b, const at::Tensor& gradient, bool keep_graph) {
  std::vector<at::Tensor> gradients = gradient.unbind(0);
  // The autograd engine runs Python hooks on its own threads: they need the GIL.
  py::gil_scoped_release no_gil;
  torch::autograd::backward(b.outs, gradients, keep_graph);
}

// Pool backwards of several dendrite modules gathered while apply_dg_grads_together runs
// and handed to the engine as one pass: their graphs are disjoint, so every gradient is what
// a pass per module gives, at one engine start instead of one per module. Each thread
// gathers its own.
class GatheredBackward {
 public:
  bool gathering() const { return depth_ > 0; }
  void add(py::handle dendrite_module, const std::vector<at::Tensor>& outs, const at::Tensor& gradient) {
    std::vector<at::Tensor> gradients = gradient.unbind(0);
    roots_.insert(roots_.end(), outs.begin(), outs.end());
    gradients_.insert(gradients_.end(), gradients.begin(), gradients.end());
    if (modules_.empty() || !modules_.back().is(dendrite_module)) {
      modules_.push_back(py::reinterpret_borrow<py::object>(dendrite_module));
    }
  }
  // Runs what was gathered (before any backward that is not gathered, and at the end).
  // The gathered batches are already folded into the scores and removed: when the pass
  // fails (a hook on a candidate raising), no candidate of these modules keeps a gradient
  // from it, so the step updates none of them, and the error propagates.
  void flush() {
    std::vector<at::Tensor> roots = std::move(roots_), gradients = std::move(gradients_);
    std::vector<py::object> modules = std::move(modules_);
    roots_.clear();
    gradients_.clear();
    modules_.clear();
    if (roots.empty()) return;
    try {
      py::gil_scoped_release no_gil;
      torch::autograd::backward(roots, gradients, false);
    } catch (...) {
      drop_candidate_gradients(modules);
      throw;
    }
  }
  // Gathers for the scope's life; what is gathered runs when the outermost scope ends,
  // also when it ends by an exception (the modules before the failure learned, as they
  // would have one by one).
  class Scope {
   public:
    explicit Scope(GatheredBackward& g) : g_(g) { ++g_.depth_; }
    ~Scope() {
      if (--g_.depth_ > 0 || std::uncaught_exceptions() == 0) return;
      try {
        g_.flush();
      } catch (...) {
        // The exception already on its way is the one to report.
      }
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    GatheredBackward& g_;
  };

 private:
  static void drop_candidate_gradients(const std::vector<py::object>& modules) {
    py::error_scope failed_pass;  // the pass's Python error, set aside while this runs
    try {
      for (const py::object& dendrite_module : modules) {
        for (py::handle slot : host::module_list(dendrite_module, host::names::candidate_module())) {
          for (py::handle parameter : slot.attr("parameters")()) parameter.attr(DGR_STR("grad")) = py::none();
        }
      }
    } catch (py::error_already_set&) {
      // The failed pass is the error to report.
    }
  }

  int depth_ = 0;
  std::vector<at::Tensor> roots_, gradients_;
  std::vector<py::object> modules_;  // empty outside a gathering (no Python object outlives it)
};

GatheredBackward& gathered_backward() {
  thread_local GatheredBackward gathered;
  return gathered;
}

// The front pair of one holder's lists as a pool of one.
PoolBatch holder_batch(py::handle values) {
  py::object device_index = values.attr(host::names::device());
  at::NoGradGuard no_grad;
  check_dendrite_outs(values, device_index);
  PoolBatch b;
  b.holders.push_back(py::reinterpret_borrow<py::object>(values));
  b.error = host::tensor(stored_list(values, host::names::current_parent_d(), device_index)[py::int_(0)]).detach();
  b.outs.push_back(host::tensor(stored_list(values, host::names::dendrite_outs(), device_index)[py::int_(0)]));
  b.reduction = tuples_and_mult(b.error, values);
  return b;
}

// One stored batch of one candidate slot. Returns false, having reported it and learned
// nothing, when the batch holds NaN or inf.
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

// ---- best scores ---------------------------------------------------------------------------------

std::tuple<at::Tensor, at::Tensor> new_best(py::handle values) {
  at::NoGradGuard no_grad;
  return kernels::best_scores(host::tensor_attr(values, host::names::best_score()),
                              host::tensor_attr(values, host::names::prev_dendrite_candidate_correlation()).detach());
}

at::Tensor margin_checks(const at::Tensor& new_score, const at::Tensor& old_score) {
  return kernels::beats_by_margins(new_score, old_score, host::number(host::names::get_arb_improvement_threshold()),
                                   host::number(host::names::get_arb_improvement_threshold_raw()));
}

py::object dendrite_score_beats_current_best(const at::Tensor& new_score, const at::Tensor& old_score) {
  std::string text;
  try {
    return host::wrap(margin_checks(new_score, old_score).any());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    text = py::str(e.value()).cast<std::string>();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text.find("timeout") == std::string::npos && text.find("launch") == std::string::npos) throw;
  } catch (const c10::Error& e) {
    text = e.what_without_backtrace();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text.find("timeout") == std::string::npos && text.find("launch") == std::string::npos) throw;
  }
  host::print("Warning: GPU timeout detected in dendrite_score_beats_current_best, falling back to "
              "CPU-synchronized check");
  at::Tensor combined = margin_checks(new_score, old_score).cpu();
  return py::bool_(combined.any().item<bool>());
}

std::string fixed16(const at::Tensor& element) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.16f", element.item<double>());
  return buffer;
}

void check_new_best_score(py::handle values) {
  at::NoGradGuard no_grad;
  auto [new_best_score, best_indices] = new_best(values);
  at::Tensor best_score = host::tensor_attr(values, host::names::best_score());
  if (new_best_score.gt(best_score).any().item<bool>()) {
    host::tensor_attr(values, host::names::nodes_improved_any()).add_(best_indices);
  }
  best_score.copy_(new_best_score);
  at::Tensor previous = host::tensor_attr(values, host::names::previous_best_score());
  at::Tensor initialized = host::tensor_attr(values, host::names::initialized());
  if (!host::truthy(dendrite_score_beats_current_best(best_score, previous)) && initialized.item<double>() != 0) {
    return;  // small gains accumulate in best_score until they pass the margins together
  }
  at::Tensor flag = host::tensor_attr(values, host::names::best_score_improved_this_epoch());
  if (flag.reshape({-1})[0].item<double>() == 0 && host::flag(host::names::get_verbose())) {
    at::Tensor delta = (best_score - previous).reshape({-1});
    int64_t at_index = delta.abs().argmax().item<int64_t>();
    host::print("Score from " + fixed16(previous.reshape({-1})[at_index]) + " to " +
                fixed16(best_score.reshape({-1})[at_index]) + " for " +
                std::string(py::str(values.attr(host::names::layer_name()))) + " with initialized " +
                std::to_string(static_cast<long long>(initialized.item<double>())));
  }
  set_element0(flag, 1.0);
  at::Tensor indexes = host::tensor_attr(values, host::names::indexes_of_best());
  indexes.copy_(best_indices);
  host::tensor_attr(values, host::names::nodes_best_improved_this_epoch()).add_(indexes);
  previous.copy_(at::maximum(best_score, previous));
  at::Tensor best_pearson = host::tensor_attr(values, host::names::best_pearson_correlation());
  best_pearson.copy_(
      at::maximum(best_pearson, host::tensor_attr(values, host::names::prev_dendrite_candidate_pearson()).abs()));
}

void print_correlation_values(py::handle values, py::handle dendrite_outs, py::handle covariance, py::handle loss,
                              py::handle new_neuron_error) {
  host::print("Correlation Values:");
  host::print("Last Dendrite Outs:", dendrite_outs);
  host::print("New Neuron Error:", new_neuron_error);
  host::print("Current Correlations:", covariance);
  host::print("Loss:", loss);
  host::print("Initialized:", values.attr(host::names::initialized()));
  for (py::handle t : {dendrite_outs, covariance, loss, new_neuron_error}) {
    if (any_nan(host::tensor(t))) {
      host::print("got a nan in correlation function");
      host::debugger_stop("NaN in the correlation values");
      return;
    }
  }
}

// ---- gradient application ---------------------------------------------------------------------

void report_stacked_error(py::handle holder) {
  py::object layer_name = holder.attr(host::names::layer_name());
  host::print(host::percent("%s called backward but didn't clear the previous error.", layer_name) +
              "\nThis can cause a memory leak."
              "\nIf it is, make sure you are calling optimizer.step() and zero_grad() each iteration."
              "\nYou may need to reduce the total batches in gradient accumulation if this is intentional."
              "\n");
  py::int_ zero(0);
  host::print("Dendrite outs and neuron errors are currently stacked (" +
              std::to_string(length(stored_list(holder, host::names::dendrite_outs(), zero))) + "/" +
              std::to_string(length(stored_list(holder, host::names::current_parent_d(), zero))) + ") times");
}

}  // namespace

void filter_backward_for_call(const at::Tensor& val, py::handle values, py::handle call) {
  {
    at::NoGradGuard no_grad;
    py::object first = values[py::int_(0)];
    tuples_and_mult(val, first);  // only fills the shape cache where that applies
    if (host::tracker_mode_is("p")) {
      const long long candidates = host::integer(host::names::get_global_candidates());
      py::int_ device_index(host::device_index(val.device()));
      py::object error;  // one detached error shared by every holder
      std::vector<std::pair<PyObject*, py::object>> summed;
      for (long long i = 0; i < candidates; ++i) {
        py::object holder = values[py::int_(i)];
        py::list stored = stored_list(holder, host::names::current_parent_d(), device_index);
        // Errors of other calls still waiting for the step are paired by their call;
        // only errors nobody owns are stacked positionally and worth the warning.
        if (host::flag(host::names::get_debugging_memory_leak()) && count_positional(stored) != 0) {
          report_stacked_error(holder);
        }
        if (host::flag(host::names::get_dendrite_learn_mode())) {
          if (host::flag(host::names::get_extra_verbose())) {
            host::print(host::percent("%s appending parent d and setting device", holder.attr(host::names::layer_name())));
          }
          if (!error) {
            error = host::wrap(val.detach());
            if (!call.is_none()) tag_with_call(error, call);
          }
          store_error_for_call(stored, val, error, call, summed);
          holder.attr(host::names::device()) = device_index;
        }
      }
    }
  }
  if (host::flag(host::names::get_extra_verbose())) {
    host::print(host::percent("%s completing backward", values[py::int_(0)].attr(host::names::layer_name())));
  }
}

namespace {

// A value holder and its device index (None before any error was stored).
py::object holder_device(py::handle values) {
  if (py::hasattr(values, host::names::device())) return values.attr(host::names::device());
  return py::none();
}

void remove_first_batch(py::handle errors, py::handle outs) {
  if (PySequence_DelItem(errors.ptr(), 0) < 0 || PySequence_DelItem(outs.ptr(), 0) < 0) {
    throw py::error_already_set();
  }
}

// An empty batch has no statistics to give: it is removed unread. Returns true when
// the batch at position 0 was empty.
bool skip_empty_batch(py::handle values, py::handle errors, py::handle outs) {
  const at::Tensor error = host::tensor(errors[py::int_(0)], "a stored neuron error");
  const at::Tensor out = host::tensor(outs[py::int_(0)], "a stored candidate output");
  if (error.numel() != 0 && out.numel() != 0) return false;
  remove_first_batch(errors, outs);
  if (!host::flag(host::names::get_silent())) {
    host::print("Skipping an empty batch for " + std::string(py::str(values.attr(host::names::layer_name()))) +
                ": nothing is learned from it.");
  }
  return true;
}

bool batch_is_finite(py::handle errors, py::handle outs) {
  at::NoGradGuard no_grad;
  const at::Tensor error = host::tensor(errors[py::int_(0)], "a stored neuron error");
  const at::Tensor out = host::tensor(outs[py::int_(0)], "a stored candidate output").detach();
  return at::isfinite(error).all().logical_and(at::isfinite(out).all()).item<bool>();
}

// Every candidate slot stores an output per forward and an error per backward, so
// every slot is consumed here (consuming only the first would leave the other
// candidates untrained and their stored graphs growing without bound).
// Returns how many stored batches taught the candidate something.
size_t apply_holder_grads(py::handle values) {
  py::object device = holder_device(values);
  py::object layer_name = values.attr(host::names::layer_name());
  if (device.is_none()) {
    host::print(host::percent("skipping dg batch for %s", layer_name));
    return 0;
  }
  py::list errors = stored_list(values, host::names::current_parent_d(), device);
  py::list outs = stored_list(values, host::names::dendrite_outs(), device);
  if (host::flag(host::names::get_extra_verbose())) {
    host::print(host::percent("calling apply dg grads for %s", layer_name));
    host::print("with " + std::to_string(errors.size()) + "/" + std::to_string(outs.size()) + " tensors");
  }
  const StoredBatches batches = reconcile_stored(outs, errors);
  py::object loss_fn = host::this_module().attr(DGR_STR("dendrite_loss_fn"));
  size_t taught = 0;
  for (size_t b = 0; b < batches.ready && errors.size() > 0 && outs.size() > 0; ++b) {
    if (skip_empty_batch(values, errors, outs)) continue;
    bool learned;
    if (loss_fn.is_none()) {
      learned = calculate_and_backwards_dendrite_loss(values);
    } else if ((learned = batch_is_finite(errors, outs))) {
      loss_fn(values);
    } else {
      report_bad_batch(py::str(layer_name));
    }
    if (!learned) {
      // Removed before the stop, which raises in a batch job: nothing is half-done.
      remove_first_batch(errors, outs);
      host::debugger_stop("NaN or inf in a stored batch of layer " + std::string(py::str(layer_name)));
      continue;
    }
    if (host::flag(host::names::get_extra_verbose())) {
      host::print(host::percent("%s applied grads and clearing first tensor", layer_name));
      host::print(host::percent("with %d tensors", errors.size()));
    }
    remove_first_batch(errors, outs);
    ++taught;
  }
  return taught;
}

// ---- the candidate pool of a module at once -------------------------------------------------

// Every slot's stored lists, reconciled; `ready` pairs at the front of each.
struct PoolLists {
  py::object dendrite_module;
  Holders holders;
  std::vector<py::list> errors, outs;
  size_t ready = 0;
};

// The slots of a module as one pool, or nothing when they cannot learn together: a slot
// has no stored error yet, or the slots hold different numbers of ready pairs.
std::optional<PoolLists> pool_lists(py::handle dendrite_module) {
  PoolLists p;
  p.dendrite_module = py::reinterpret_borrow<py::object>(dendrite_module);
  for (py::handle values : host::module_list(dendrite_module, host::names::dendrite_values())) {
    py::object device = holder_device(values);
    if (device.is_none()) return std::nullopt;
    py::list errors = stored_list(values, host::names::current_parent_d(), device);
    py::list outs = stored_list(values, host::names::dendrite_outs(), device);
    const size_t ready = reconcile_stored(outs, errors).ready;
    if (!p.holders.empty() && ready != p.ready) return std::nullopt;
    p.ready = ready;
    p.holders.push_back(py::reinterpret_borrow<py::object>(values));
    p.errors.push_back(errors);
    p.outs.push_back(outs);
  }
  if (p.holders.empty()) return std::nullopt;
  return p;
}

// The front pairs of a pool as one batch, or nothing when they do not fit one: the
// slots' errors are not one shared tensor, an output is empty or shaped unlike the error,
// or the holders' statistics are shaped differently from each other or from the batch's.
std::optional<PoolBatch> front_pool_batch(const PoolLists& p, Dims& storage) {
  PoolBatch b;
  b.holders = p.holders;
  const at::Tensor error = host::tensor(p.errors[0][0], "a stored neuron error");
  b.error = error.detach();
  for (size_t i = 0; i < p.holders.size(); ++i) {
    py::object slot_error = p.errors[i][0];
    if (i > 0 && !slot_error.is(p.errors[0][0]) && !host::tensor(slot_error, "a stored neuron error").is_same(error)) {
      return std::nullopt;
    }
    const at::Tensor out = host::tensor(p.outs[i][0], "a stored candidate output");
    if (out.numel() == 0 || out.sizes() != error.sizes() || out.device() != error.device() ||
        (i > 0 && out.scalar_type() != b.outs[0].scalar_type())) {
      return std::nullopt;
    }
    b.outs.push_back(out);
  }
  b.reduction = tuples_and_mult(b.error, p.holders[0]);
  storage = storage_shape(p.holders[0]);
  for (size_t i = 1; i < p.holders.size(); ++i) {
    if (storage_shape(p.holders[i]) != storage) return std::nullopt;
  }
  const double nodes = static_cast<double>(b.error.numel()) /
                       kernels::reduced_count(b.error.sizes(), b.reduction.math_dims);
  if (static_cast<double>(c10::multiply_integers(storage)) != nodes) return std::nullopt;
  return b;
}

// How many batches every holder has folded in, when all agree.
std::optional<double> common_initialized(const Holders& holders) {
  const at::Tensor counts = at::stack(holder_tensors(holders, host::names::initialized())).to(at::kCPU, at::kDouble);
  const double* c = counts.data_ptr<double>();
  for (int64_t i = 1; i < counts.numel(); ++i) {
    if (c[i] != c[0]) return std::nullopt;
  }
  return c[0];
}

// Learns the front pair of every slot together (statistics of the pool in one pass, one
// backward into all candidates) and removes it. Returns false, having changed nothing,
// when the pair must go slot by slot: it does not fit one batch, the holders disagree on
// their phase, or something in it is not finite (the slots then report it one by one).
bool learn_pool_front(const PoolLists& p, const LearningSettings& s) {
  Dims storage;
  const std::optional<PoolBatch> b = front_pool_batch(p, storage);
  if (!b) return false;
  const std::optional<double> initialized = common_initialized(b->holders);
  if (!initialized) return false;
  const PoolStep step = candidate_step(*b, s, true);
  if (!step.finite) return false;
  if (gathered_backward().gathering()) {
    gathered_backward().add(p.dendrite_module, b->outs, step.gradient);
  } else {
    backward_into_candidates(*b, step.gradient, false);
  }
  at::NoGradGuard no_grad;
  const kernels::CorrelationStats& stats = step.stats;
  for (size_t i = 0; i < b->holders.size(); ++i) {
    store_batch_pearson(b->holders[i], stats.pearson.select(0, i));
  }
  fold_error_average(b->holders, stats.error_sum, b->reduction.full_mult, storage);
  fold_scores(b->holders, storage, *initialized, {stats.outs_mean, stats.covariance, stats.pearson}, s);
  for (size_t i = 0; i < b->holders.size(); ++i) remove_first_batch(p.errors[i], p.outs[i]);
  return true;
}

bool pool_learning_applies(py::handle loss_fn, const LearningSettings& s) {
  return pool_learning_applies(loss_fn, s.learn_live, s.dpp_verbose);
}

void clear_list(py::list& list) {
  if (PyList_SetSlice(list.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0) throw py::error_already_set();
}

void apply_holder_zero(py::handle values) {
  py::object device = holder_device(values);
  if (device.is_none()) return;
  if (host::flag(host::names::get_extra_verbose())) host::print("clearing out values in zero_grad");
  py::list errors = stored_list(values, host::names::current_parent_d(), device);
  py::list outs = stored_list(values, host::names::dendrite_outs(), device);
  // Outputs of forward calls whose backward may still come (a forward before zero_grad,
  // backward after it) stay, all of them; they sit at the end of the list.
  const StoredBatches batches = reconcile_stored(outs, errors);
  py::list waiting;
  for (size_t k = outs.size() - batches.pending; k < outs.size(); ++k) waiting.append(outs[k]);
  if (PyList_SetSlice(outs.ptr(), outs.size() - batches.pending, PY_SSIZE_T_MAX, nullptr) < 0) {
    throw py::error_already_set();
  }
  std::string cleared;
  if (errors.size() > 0) {
    if (errors.size() == outs.size()) {
      cleared.append(errors.size(), '1');
      clear_list(errors);
      cleared.append(outs.size(), '2');
      clear_list(outs);
    }
    if (errors.size() < outs.size()) {
      // A forward pass whose backward is still to come keeps its output.
      cleared.append(errors.size(), '1');
      clear_list(errors);
      cleared.append(outs.size() - 1, '2');
      py::object newest = outs[outs.size() - 1];
      clear_list(outs);
      outs.append(newest);
      if (host::flag(host::names::get_verbose())) {
        host::print(host::percent("%s retaining::dendrite_outs", values.attr(host::names::layer_name())));
      }
    }
  }
  for (py::handle kept : waiting) outs.append(kept);
  if (host::flag(host::names::get_verbose())) {
    host::print(std::string(py::str(values.attr(host::names::layer_name()))) + " cleared:: " + cleared);
    host::print("dendrite_outs and current_parent_d lenghts are now: " + std::to_string(outs.size()) + "/" +
                std::to_string(errors.size()));
  }
}

void apply_dg_grads(py::handle dendrite_module) {
  const LearningSettings s = LearningSettings::read();
  if (pool_learning_applies(host::this_module().attr(DGR_STR("dendrite_loss_fn")), s)) {
    if (std::optional<PoolLists> pool = pool_lists(dendrite_module)) {
      size_t learned = 0;
      while (learned < pool->ready && learn_pool_front(*pool, s)) ++learned;
      if (learned == pool->ready) return;
      // A pair that does not fit the pool, and every pair after it, goes slot by slot.
    }
  }
  // The slots' gradient bookkeeping below sees every gathered pool gradient first.
  gathered_backward().flush();
  // Candidates computed as one product share a graph, so a slot's backward also hands the
  // others a zero gradient. A slot that learns nothing here keeps no gradient it did not
  // have: an optimizer skips a parameter without one, but would step on a zero.
  py::list slots = host::module_list(dendrite_module, host::names::candidate_module());
  std::vector<std::vector<py::object>> without_grad;
  for (py::handle slot : slots) {
    without_grad.emplace_back();
    for (py::handle parameter : slot.attr("parameters")()) {
      if (parameter.attr(DGR_STR("grad")).is_none()) {
        without_grad.back().push_back(py::reinterpret_borrow<py::object>(parameter));
      }
    }
  }
  std::vector<bool> learned;
  // Also when a slot fails part-way: the slots after it learned nothing.
  auto drop_unlearned_gradients = [&] {
    for (size_t i = 0; i < without_grad.size(); ++i) {
      if (i < learned.size() && learned[i]) continue;
      for (py::object& parameter : without_grad[i]) parameter.attr(DGR_STR("grad")) = py::none();
    }
  };
  try {
    for (py::handle values : host::module_list(dendrite_module, host::names::dendrite_values())) {
      learned.push_back(apply_holder_grads(values) > 0);
    }
  } catch (...) {
    drop_unlearned_gradients();
    throw;
  }
  drop_unlearned_gradients();
}

// apply_dg_grads of every module of `dendrite_modules`, in order, with the pool backwards
// of all of them run as one pass of the engine at the end.
void apply_dg_grads_together(py::iterable dendrite_modules) {
  {
    GatheredBackward::Scope gather(gathered_backward());
    for (py::handle dendrite_module : dendrite_modules) apply_dg_grads(dendrite_module);
  }
  gathered_backward().flush();
}

void apply_dg_zero(py::handle dendrite_module) {
  for (py::handle values : host::module_list(dendrite_module, host::names::dendrite_values())) apply_holder_zero(values);
}

Dims dims_arg(py::handle seq) { return to_dims(seq); }

}  // namespace

void register_learning(py::module_& m) {
  // forward path
  m.def("preprocess_dg", &preprocess_dg,
        "Cuts the gradient path of the layer inputs under the dendrite graph mode: returns\n"
        "(args2, kwargs2), the positional arguments as a tuple and the keyword arguments as a dict,\n"
        "each passed through killer_recursive with GDL.pc.get_dendrite_graph_mode() as the flag.");
  m.def("forward_candidates", &forward_candidates, py::arg("dendrite_module"), py::arg("view_tuple"),
        py::arg("dendrite_outs"),
        "Runs every candidate on the layer inputs; returns (candidate_outs, candidate_nonlinear_outs, "
        "candidate_non_zeroed), each keyed by candidate index.\n"
        "Each candidate: optional pre_d/post_d processors, the candidate module, add_dendrite_inputs and\n"
        "the configured nonlinearity. Outside p mode (tracker or module) all three dicts are empty. In\n"
        "training with gradients enabled each nonlinear output is stored, with its graph, on its value\n"
        "holder; pass the second result to watch_neuron_error.\n\n"
        "Raises ValueError in training when the inputs hold no tensor. A failing processor prints its\n"
        "traceback and raises SystemExit(1). NaN checks (verbose, get_debugging_backwards_nan) stop at\n"
        "the debugger: RuntimeError in a batch job.");
  m.def("accepted_forward", &accepted_forward, py::arg("neuron_module"),
        "For a neuron module with accepted dendrites: returns (out, dendrite_outs, view_tuple), the\n"
        "neuron's output with every dendrite's contribution, the dendrites' activated outputs and the\n"
        "module's view_tuple_for(out), computing main_module and the dendrite layers without their\n"
        "Python calls (the same values as calling them). Returns None when they must be called through\n"
        "Python: layers other than plain Linear or ungrouped zero-padded convolutions, hooks, a\n"
        "replaced, patched or compiled forward, tensor subclasses, a torch-function mode, or anything\n"
        "but one tensor input.");
  m.def("add_dendrite_inputs", &add_dendrite_inputs, py::arg("dendrite_module"), py::arg("i"),
        py::arg("candidate_outs"), py::arg("outs"), py::arg("view_tuple"), py::arg("device"),
        "Returns candidate_outs plus, for every accepted dendrite k below num_dendrites, the weight row\n"
        "dendrites_to_candidates[i][k] (reshaped by view_tuple unless it is [1]) times outs[k], moved\n"
        "to device when device is not None. With no accepted dendrites candidate_outs itself is returned.\n\n"
        "Raises TypeError when candidate_outs, the weights or an outs entry is not a tensor,\n"
        "RuntimeError when the shapes do not broadcast.");
  m.def("apply_live_candidate_to_output", &apply_live_candidate_to_output, py::arg("neuron_module"), py::arg("out"),
        py::arg("candidate_nonlinear_outs"),
        "Returns out plus the first candidate's output (detached) times the live connection weights\n"
        "current_candidate_to_top[0], broadcast along every dimension but this_node_index; only the\n"
        "live connection learns from this term. Returns out itself when the module configuration does\n"
        "not learn dendrites live, the neuron module has no live connection, or there is no candidate.\n\n"
        "Raises TypeError when out or the candidate output is not a tensor.");
  m.def("check_dendrite_outs", &check_dendrite_outs, py::arg("values"), py::arg("device_index"),
        "Checks that a value holder has a stored candidate output under device_index. If none is\n"
        "stored (for example, the model was in eval mode during the forward), prints a diagnostic and\n"
        "stops at the debugger, which raises RuntimeError in a batch job. Otherwise does nothing.");

  // running statistics
  m.def(
      "update_running_averages",
      [](const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs, py::handle loss, py::handle values,
         py::handle math_tuple, py::handle full_mult, const at::Tensor& covariance) {
        update_running_averages(new_neuron_error, dendrite_outs, values, dims_arg(math_tuple),
                                host::as_float(full_mult), covariance, math_tuple, full_mult);
      },
      py::arg("new_neuron_error"), py::arg("dendrite_outs"), py::arg("loss"), py::arg("values"),
      py::arg("math_tuple"), py::arg("full_mult"), py::arg("covariance"),
      "Folds one batch into a value holder's running statistics: normal_pass_average_d moves towards\n"
      "the per-neuron mean error (weight 0.01), parents_average_d_vector follows it when dendrites\n"
      "learn live, then update_saved_values_averages_initial runs while initialized is below\n"
      "get_initial_correlation_batches(), update_saved_values_averages after. loss is not used.\n\n"
      "A neuron error that does not fit the statistics prints a report, stops at the debugger\n"
      "(RuntimeError in a batch job) and then raises SystemExit(1).");
  m.def(
      "update_saved_values_averages_initial",
      [](py::handle saved_values, const at::Tensor& dendrite_outs, const at::Tensor& covariance, py::handle loss,
         py::handle last_parent_d, py::handle math_tuple) {
        at::NoGradGuard no_grad;
        update_saved_values_averages_initial(saved_values, at::mean(dendrite_outs.detach(), dims_arg(math_tuple)),
                                             covariance);
      },
      py::arg("saved_values"), py::arg("dendrite_outs"), py::arg("covariance"), py::arg("loss"),
      py::arg("last_parent_d"), py::arg("math_tuple"),
      "Initial phase: folds the mean of dendrite_outs over math_tuple, covariance and the holder's\n"
      "current_batch_pearson into prev_dendrite_candidate_average, _correlation and _pearson as an\n"
      "arithmetic mean over the batches so far, zeroes best_score, previous_best_score and\n"
      "best_pearson_correlation, sets running_scalar to 1 and adds 1 to initialized.\n"
      "loss and last_parent_d are not read.\n\n"
      "Raises RuntimeError when a batch value does not reshape to dendrite_storage_shape.");
  m.def(
      "update_saved_values_averages",
      [](py::handle saved_values, const at::Tensor& dendrite_outs, const at::Tensor& covariance, py::handle loss,
         py::handle last_parent_d, py::handle math_tuple) {
        at::NoGradGuard no_grad;
        update_saved_values_averages(saved_values, at::mean(dendrite_outs.detach(), dims_arg(math_tuple)), covariance);
      },
      py::arg("saved_values"), py::arg("dendrite_outs"), py::arg("covariance"), py::arg("loss"),
      py::arg("last_parent_d"), py::arg("math_tuple"),
      "Steady phase: moves prev_dendrite_candidate_average, _correlation and _pearson towards this\n"
      "batch (the mean of dendrite_outs over math_tuple, covariance, current_batch_pearson) as an\n"
      "exponential moving average with factor GDL.pc.get_correlation_average_factor() (0.99 by\n"
      "default); the correlation and Pearson tensors get new\n"
      "storage under the same objects. initialized is not advanced; loss and last_parent_d are not read.\n\n"
      "Raises RuntimeError when a batch value does not reshape to dendrite_storage_shape.");

  // covariance and correlation loss
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
        return get_current_covariance(dendrite_outs, new_neuron_error, dims_arg(math_tuple), dims_arg(view_tuple),
                                      values);
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
  m.def(
      "get_cc_loss",
      [](py::handle values) {
        const LearningSettings s = LearningSettings::read();
        const PoolBatch b = holder_batch(values);
        const PoolStep step = candidate_step(b, s, !s.running);
        if (!step.finite) {
          throw py::value_error("get_cc_loss: the oldest stored batch of layer " +
                                std::string(py::str(values.attr(host::names::layer_name()))) + " holds NaN or inf");
        }
        store_batch_pearson(values, step.stats.pearson.squeeze(0));
        const at::Tensor elementwise = b.outs[0].mul(step.gradient.squeeze(0));
        py::tuple triple = py::reinterpret_borrow<py::tuple>(b.reduction.triple);
        // Copies: the caller may keep or change them while the stored batch is still in use.
        py::tuple record = py::make_tuple(host::wrap(b.error.clone()), host::wrap(b.outs[0].detach().clone()),
                                          host::wrap(elementwise.detach().clone()), values, triple[0], triple[2],
                                          triple[1]);
        return py::make_tuple(host::wrap(elementwise.sum()), record);
      },
      py::arg("dendrite_values"), "(scalar loss, (error, output, element-wise loss, holder, math_tuple, full_mult, "
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

  // best scores
  m.def("new_best", &new_best, py::arg("saved_values"),
        "Returns (best, indices): the element-wise maximum of the holder's best_score and\n"
        "|prev_dendrite_candidate_correlation|, and per element 1 where the running score is larger,\n"
        "0 where the stored best is kept (ties included). Does not modify the holder.\n\n"
        "Raises TypeError when either attribute is not a tensor, RuntimeError when their shapes differ.");
  m.def("dendrite_score_beats_current_best", &dendrite_score_beats_current_best, py::arg("new_score"),
        py::arg("old_score"),
        "True when any element of new_score beats old_score by both margins, strictly:\n"
        "new * (1 - get_arb_improvement_threshold()) > old and new - get_arb_improvement_threshold_raw() > old.\n"
        "Returns a one-element bool tensor; after an accelerator error mentioning \"timeout\" or \"launch\"\n"
        "it warns, checks again on the CPU and returns a plain bool.\n\n"
        "Other RuntimeErrors propagate.");
  m.def("check_new_best_score", &check_new_best_score, py::arg("saved_values"),
        "Epoch-end best-score bookkeeping of one value holder: raises best_score to new_best()\n"
        "and counts raised neurons in nodes_improved_any. When the rise over previous_best_score passes\n"
        "both margins (or initialized is 0) it sets best_score_improved_this_epoch, indexes_of_best\n"
        "and nodes_best_improved_this_epoch and moves previous_best_score and best_pearson_correlation\n"
        "up; otherwise small gains accumulate in best_score.\n\n"
        "Raises TypeError when a bookkeeping attribute is not a tensor.");
  m.def("print_correlation_values", &print_correlation_values, py::arg("values"), py::arg("dendrite_outs"),
        py::arg("covariance"), py::arg("loss"), py::arg("new_neuron_error"),
        "Diagnostic: prints one batch's candidate outputs, neuron error, covariance, loss and the value\n"
        "holder's initialized count. If dendrite_outs, covariance, loss or new_neuron_error holds NaN,\n"
        "prints \"got a nan in correlation function\" and stops at the debugger (RuntimeError in a\n"
        "batch job).\n\n"
        "Raises TypeError when one of the four is not a tensor.");

  // gradient application
  m.def("filter_backward_dg",
        [](const at::Tensor& val, py::handle values) { filter_backward_for_call(val, values, py::none()); },
        py::arg("val"), py::arg("values"),
        "Backward hook on a neuron module's output: stores the neuron error for every candidate, paired "
        "with the stored outputs by position (watch_neuron_error pairs by forward call instead).\n"
        "values is the dendrite module's dendrite_values list. Stores only in p mode and under\n"
        "GDL.pc.get_dendrite_learn_mode(), into the first get_global_candidates() holders, and sets\n"
        "their device; warns about unconsumed errors under get_debugging_memory_leak().\n\n"
        "Raises IndexError when values holds fewer holders than the candidate count.");
  m.def("apply_dg_grads", &apply_dg_grads, py::arg("self"),
        "Optimizer-step entry for a dendrite module (self): for every value holder of dendrite_values,\n"
        "learns from each stored (error, output) pair, oldest first, with dendrite_loss_fn when that\n"
        "module attribute is set, else calculate_and_backwards_dendrite_loss, and removes the pair.\n"
        "Pairs match by forward call, untagged entries by position; empty batches are skipped, and a\n"
        "holder with no stored error yet prints \"skipping dg batch\".\n\n"
        "A batch holding NaN or inf is removed unlearned and stops at the debugger (RuntimeError in a\n"
        "batch job). Errors raised by dendrite_loss_fn propagate and leave the pair stored.");
  m.def("apply_dg_grads_together", &apply_dg_grads_together, py::arg("dendrite_modules"),
        "apply_dg_grads for every dendrite module of dendrite_modules, in order, with the candidates'\n"
        "backward of all of them run as one pass of the autograd engine: the same gradients, one\n"
        "engine start per step instead of one per module. When a module raises, the modules before\n"
        "it have learned (as with apply_dg_grads one by one) and the error propagates. When the\n"
        "combined pass itself raises (a hook on a candidate parameter, say), its batches have been\n"
        "folded into the scores and removed, the candidates of those modules are left without\n"
        "gradients (the step updates none of them) and the error propagates.");
  m.def("apply_dg_zero", &apply_dg_zero, py::arg("self"),
        "zero_grad entry for a dendrite module (self): for every value holder of dendrite_values,\n"
        "discards the stored errors and outputs that were not consumed, keeping the outputs whose\n"
        "backward may still come (and the newest output when fewer errors than outputs are stored).\n"
        "Prints what was cleared when verbose. A holder with no stored error yet is left alone.");
}

}  // namespace dgr::modules
