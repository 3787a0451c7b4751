// modules_dgr: the p-mode forward path. forward_candidates runs every candidate on the
// layer's inputs (with the accepted dendrites' terms and the nonlinearity) and, in
// training, stores each output with its graph on the candidate's value holder for the
// correlation loss of the next step. Also the live connection of the first candidate into
// the neuron output.
#include "learning.h"
#include "messages.h"

#include "kernels/dendrite_terms_kernel.h"

#include <ATen/SavedTensorHooks.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace dgr::modules {
namespace {

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

// How a candidate's connection rows meet the dendrite outputs: viewed as view_tuple (kept as
// they are for [1]), moved to `device` unless it is None.
struct TermLayout {
  std::optional<Dims> view;
  std::optional<at::Device> dev;

  TermLayout(py::handle view_tuple, py::handle device) {
    py::list unshaped;
    unshaped.append(1);
    if (!host::equals(view_tuple, unshaped)) view = host::int_vector(view_tuple);
    if (!device.is_none()) dev = host::to_device(device);
  }
};

py::object add_dendrite_inputs(py::handle dendrite_module, py::handle i, py::object candidate_outs,
                               py::handle outs, py::handle view_tuple, py::handle device) {
  long long accepted = host::as_int(dendrite_module.attr(host::names::num_dendrites()));
  if (accepted <= 0) return candidate_outs;
  at::Tensor weights = host::tensor(dendrite_module.attr(host::names::dendrites_to_candidates())[i]);
  const TermLayout layout(view_tuple, device);
  const std::optional<at::Device>& dev = layout.dev;
  at::Tensor acc = host::tensor(candidate_outs);
  for (long long k = 0; k < accepted; ++k) {
    at::Tensor w = weights.select(0, k);
    if (layout.view) w = w.view(*layout.view);
    if (dev) w = w.to(*dev);
    at::Tensor term = w * host::tensor(outs[py::int_(k)]);
    if (dev) acc = acc.to(*dev);
    acc = acc + term;
  }
  return host::wrap(acc);
}

// Adds the accepted dendrites' terms to every candidate's output in `outs` at once (one
// product and one sum per dendrite for the whole pool, bit for bit add_dendrite_inputs'
// sums). False, with `outs` untouched, when they do not stack: each candidate then gets
// add_dendrite_inputs.
bool add_dendrite_inputs_together(py::handle dendrite_module, std::vector<at::Tensor>& outs, py::handle dendrite_outs,
                                  py::handle view_tuple, py::handle device) {
  const long long accepted = host::as_int(dendrite_module.attr(host::names::num_dendrites()));
  if (accepted <= 0) return true;
  py::object all_weights = dendrite_module.attr(host::names::dendrites_to_candidates());
  std::vector<at::Tensor> weights, terms;
  for (size_t c = 0; c < outs.size(); ++c) weights.push_back(host::tensor(all_weights[py::int_(c)]));
  for (long long k = 0; k < accepted; ++k) terms.push_back(host::tensor(dendrite_outs[py::int_(k)]));
  const TermLayout layout(view_tuple, device);
  std::optional<at::IntArrayRef> row_view;
  if (layout.view) row_view = at::IntArrayRef(*layout.view);
  std::optional<std::vector<at::Tensor>> sums = kernels::add_dendrite_terms(outs, weights, terms, row_view, layout.dev);
  if (!sums) return false;
  outs = std::move(*sums);
  return true;
}

// Whether every parameter and buffer of `module` and its submodules is on `device`, read
// from the modules' tables without Python calls. False for anything that is not laid out
// as a torch.nn.Module, so that it gets its own move.
bool tensors_on(py::handle module, const at::Device& device) {
  host::RecursionGuard guard(" while looking for a candidate's device");
  PyObject** dict_slot = _PyObject_GetDictPtr(module.ptr());
  if (!dict_slot || !*dict_slot) return false;
  for (py::handle table_name : {DGR_STR("_parameters"), DGR_STR("_buffers"), DGR_STR("_modules")}) {
    PyObject* table = PyDict_GetItemWithError(*dict_slot, table_name.ptr());
    if (!table) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return false;
    }
    if (!PyDict_Check(table)) return false;
    const bool modules = table_name.is(DGR_STR("_modules"));
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(table, &pos, &key, &value);) {
      if (value == Py_None) continue;
      if (modules ? !tensors_on(value, device)
                  : !host::is_tensor(value) || THPVariable_Unpack(value).device() != device) {
        return false;
      }
    }
  }
  return true;
}

// Moves the candidates that are not on the inputs' device there (the module's own move).
// Asked of the candidates themselves at every call: a candidate list the host or the user
// replaced, or candidates moved since (model.to(...)), are seen at once, and nothing is
// written onto the host's objects.
void move_candidates_to(const py::list& candidates, const CandidateInputs& in) {
  if (!in.dev) return;
  for (py::handle candidate : candidates) {
    if (!tensors_on(candidate, *in.dev)) candidate.attr(DGR_STR("to"))(in.device);
  }
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

// Candidate i's layer output through Python: its own copy of the inputs (so a layer that
// works on its input in place cannot change what the next candidate sees), the
// processors around the call.
py::object call_candidate(py::handle dendrite_module, py::handle candidate, py::handle processors, py::int_ index,
                          CandidateInputs in) {
  const bool has_processors = !processors.is_none();
  if (has_processors) {
    try {
      py::object prepared = host::call_unpacked(processors[index].attr(DGR_STR("pre_d")), in.args, in.kwargs);
      std::tie(in.args, in.kwargs) = unpack_pair(prepared);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      processor_failure(e, true, dendrite_module);
    }
  }
  py::object out = host::call_unpacked(candidate, in.args, in.kwargs);
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

// What every candidate of one forward call reads, read once: settings, the module lists as
// plain lists (indexing a ModuleList runs Python code), the processors.
struct ForwardSettings {
  long long candidates = 0;
  Cut cut = Cut::copy;
  bool training = false, leak_checks = false, learn_mode = false;
  bool extra_verbose = false, nan_checks = false;
  bool may_compute_here = false;  // the candidates' outputs may be computed without their calls
  py::object activation, processors;  // processors: None when there are none
  py::list candidate_modules, holders;

  static ForwardSettings read(py::handle dendrite_module, long long candidates) {
    ForwardSettings s;
    s.candidates = candidates;
    s.cut = host::flag(host::names::get_candidate_graph_mode()) ? Cut::copy : Cut::share;
    s.training = host::truthy(dendrite_module.attr(host::names::training()));
    s.leak_checks = host::flag(host::names::get_debugging_memory_leak());
    s.learn_mode = host::flag(host::names::get_dendrite_learn_mode());
    s.extra_verbose = host::extra_verbose();
    s.nan_checks = s.extra_verbose || host::verbose();
    s.activation = host::get(host::names::get_arb_forward_function());
    s.candidate_modules = host::module_list(dendrite_module, host::names::candidate_module());
    s.holders = host::holders_of(dendrite_module);
    s.processors = dendrite_module.attr(host::names::candidate_processors());
    if (host::equals(s.processors, py::list())) s.processors = py::none();
    // The slot-by-slot step (a custom dendrite loss, diagnostics) back-propagates one slot
    // at a time, which costs a shared graph a pass over every candidate per slot.
    s.may_compute_here = s.processors.is_none() &&
                         pool_learning_applies(host::this_module().attr(DGR_STR("dendrite_loss_fn")),
                                               host::flag(host::names::get_learn_dendrites_live()),
                                               host::dpp_verbose()) &&
                         static_cast<long long>(s.candidate_modules.size()) >= candidates;
    return s;
  }
};

// The candidates' layer outputs computed here, without the layers' Python calls, or nothing.
std::optional<std::vector<at::Tensor>> computed_layer_outputs(py::handle dendrite_module, const ForwardSettings& s,
                                                              const CandidateInputs& in) {
  if (!s.may_compute_here) return std::nullopt;
  py::list pool;
  for (long long i = 0; i < s.candidates; ++i) pool.append(s.candidate_modules[py::int_(i)]);
  // Views of one shared result are fine unless the activation works on them in place.
  const bool may_share_storage =
      host::as_int(dendrite_module.attr(host::names::num_dendrites())) > 0 || leaves_input_intact(s.activation);
  return candidate_layer_outputs(pool, in.args, in.kwargs, may_share_storage);
}

// The three result dicts of forward_candidates, keyed by candidate index.
struct ForwardResults {
  py::dict outs, nonlinear_outs, non_zeroed;
  py::tuple as_tuple() const { return py::make_tuple(outs, nonlinear_outs, non_zeroed); }
};

// An earlier output of no forward call is still stored when a new one is about to be: under
// the workaround the newest such entry goes (tagged entries are paired by their call),
// otherwise the user is told.
void handle_unconsumed_output(py::handle dendrite_module, py::handle holder, py::list stored) {
  if (!host::flag(host::names::get_no_backward_workaround())) {
    report_unconsumed_output(dendrite_module);
    return;
  }
  if (host::verbose()) {
    host::print(host::percent("%s clearing values in workaround", holder.attr(host::names::layer_name())));
  }
  for (Py_ssize_t k = static_cast<Py_ssize_t>(stored.size()) - 1; k >= 0; --k) {
    if (is_tagged(stored[k])) continue;
    if (PySequence_DelItem(stored.ptr(), k) < 0) throw py::error_already_set();
    break;
  }
}

// Stores candidate i's output, with its graph, on its holder under this forward call's tag
// (`call`, opened by the first output stored).
void store_for_learning(py::handle dendrite_module, const ForwardSettings& s, const at::Device& device,
                        py::int_ index, py::handle nonlinear, const at::Tensor& nonlinear_t, py::object& call) {
  py::object holder = s.holders[index];
  py::list stored = host::stored_list(holder, host::names::dendrite_outs(), host::device_index(device));
  drop_unreachable_outputs(stored);  // earlier calls whose graph was freed without a backward
  if (s.leak_checks && count_positional(stored) > 0) handle_unconsumed_output(dendrite_module, holder, stored);
  if (!s.learn_mode) return;
  if (s.extra_verbose) host::print(host::percent("%s appending dendrite_outs", holder.attr(host::names::layer_name())));
  if (!call) call = open_forward_call();
  tag_with_call(nonlinear, call);
  stored.append(nonlinear);
  if (s.nan_checks && any_nan(nonlinear_t)) {
    host::print("got candidate out nan");
    host::debugger_stop("a candidate output holds NaN");
  }
}

// Candidate i's output through the nonlinearity, on the inputs' device, into the results;
// stored for learning in training with gradients on.
void keep_candidate_output(py::handle dendrite_module, const ForwardSettings& s, const CandidateInputs& in,
                           py::int_ index, py::object candidate_out, py::object& call, ForwardResults& r) {
  py::object nonlinear = s.activation(candidate_out);
  r.outs[index] = candidate_out;
  at::Tensor nonlinear_t = host::tensor(nonlinear, "the candidate nonlinearity's result");
  if (in.dev && nonlinear_t.device() != *in.dev) {
    nonlinear_t = nonlinear_t.to(*in.dev);
    nonlinear = host::wrap(nonlinear_t);
  }
  r.nonlinear_outs[index] = nonlinear;
  // Under no_grad / inference_mode (a validation pass in training mode) no error can
  // come back, so nothing is stored.
  if (s.training && at::GradMode::is_enabled() && nonlinear_t.requires_grad()) {
    store_for_learning(dendrite_module, s, *in.dev, index, nonlinear, nonlinear_t, call);
  }
  r.non_zeroed[index] = host::wrap(nonlinear_t.detach().clone());
}

void run_candidates(py::handle dendrite_module, py::handle view_tuple, py::object dendrite_outs, py::handle args,
                    py::handle kwargs, const ForwardSettings& s, ForwardResults& r) {
  CandidateInputs in = candidate_inputs(dendrite_module, args, kwargs, s.cut, s.training);
  move_candidates_to(s.candidate_modules, in);
  std::vector<SharedTensor> shared = in.shared;
  dendrite_outs = cut_for_candidates(dendrite_outs, s.cut, shared);
  PlainSavedTensors plain_saved_tensors;
  std::optional<std::vector<at::Tensor>> layer_outs = computed_layer_outputs(dendrite_module, s, in);
  // The pooled sums are views of one result: an activation that may work in place on its
  // input gets each candidate's own sum instead.
  const bool terms_added = layer_outs && leaves_input_intact(s.activation) &&
                           add_dendrite_inputs_together(dendrite_module, *layer_outs, dendrite_outs, view_tuple,
                                                        in.device);
  py::object call;  // this forward call's tag, opened when the first output is stored
  for (long long i = 0; i < s.candidates; ++i) {
    py::int_ index(i);
    py::object candidate_out;
    if (layer_outs) {
      candidate_out = host::wrap((*layer_outs)[i]);
    } else {
      // Each candidate its own copy; shared aliases are the same tensors for every one.
      if (i > 0 && s.cut == Cut::copy) in = candidate_inputs(dendrite_module, args, kwargs, s.cut, s.training);
      candidate_out = call_candidate(dendrite_module, s.candidate_modules[index], s.processors, index, in);
    }
    if (!terms_added) {
      candidate_out = add_dendrite_inputs(dendrite_module, index, candidate_out, dendrite_outs, view_tuple, in.device);
    }
    keep_candidate_output(dendrite_module, s, in, index, candidate_out, call, r);
  }
  check_shared_unchanged(dendrite_module, shared);
}

// get_debugging_backwards_nan: NaN or inf in any result stops at the debugger.
void check_finite_results(py::handle dendrite_module, const ForwardResults& r) {
  bool got_nan = false;
  for (const py::dict* results : {&r.outs, &r.nonlinear_outs, &r.non_zeroed}) {
    for (auto item : *results) {
      at::Tensor t = host::tensor(item.second);
      if (any_nan(t) || at::isinf(t).any().item<bool>()) got_nan = true;
    }
  }
  if (got_nan) report_non_finite_candidate_outputs(dendrite_module);
}

py::tuple forward_candidates(py::handle dendrite_module, py::handle view_tuple, py::object dendrite_outs,
                             py::args args, py::kwargs kwargs) {
  ForwardResults r;
  const long long candidates = host::integer(host::names::get_global_candidates());
  const bool learning =
      host::tracker_mode_is("p") && host::equals(dendrite_module.attr(host::names::mode()), DGR_STR("p"));
  if (!learning || candidates <= 0) return r.as_tuple();
  run_candidates(dendrite_module, view_tuple, dendrite_outs, args, kwargs,
                 ForwardSettings::read(dendrite_module, candidates), r);
  if (host::flag(host::names::get_debugging_backwards_nan())) check_finite_results(dendrite_module, r);
  return r.as_tuple();
}

py::object apply_live_candidate_to_output(py::handle neuron_module, py::object out,
                                          py::handle candidate_nonlinear_outs) {
  py::object config = neuron_module.attr(host::names::module_config());
  if (!host::truthy(config.attr(host::names::get_learn_dendrites_live())())) return out;
  if (!py::hasattr(neuron_module, host::names::current_candidate_to_top())) return out;
  py::object to_top_obj = neuron_module.attr(host::names::current_candidate_to_top());
  if (to_top_obj.is_none()) return out;
  if (host::length(candidate_nonlinear_outs) == 0) return out;
  at::Tensor first = host::tensor(candidate_nonlinear_outs[py::int_(0)]);
  at::Tensor to_top = host::tensor(to_top_obj).select(0, 0);
  const long long node = host::as_int(neuron_module.attr(host::names::this_node_index()));
  for (int64_t dim = 0; dim < first.dim(); ++dim) {
    if (dim != node) to_top = to_top.unsqueeze(dim);
  }
  at::Tensor out_t = host::tensor(out);
  return host::wrap(out_t + first.detach().to(out_t.device()) * to_top.to(out_t.device()));
}

}  // namespace

void check_dendrite_outs(py::handle values, py::handle device_index) {
  if (host::length(host::stored_list(values, host::names::dendrite_outs(), device_index)) != 0) return;
  report_missing_output(values);
}

void register_candidate_forward(py::module_& m) {
  m.def("forward_candidates", &forward_candidates, py::arg("dendrite_module"), py::arg("view_tuple"),
        py::arg("dendrite_outs"),
        "Runs every candidate on the layer inputs; returns (candidate_outs, candidate_nonlinear_outs, "
        "candidate_non_zeroed), each keyed by candidate index.\n"
        "Each candidate: optional pre_d/post_d processors, the candidate module, add_dendrite_inputs and\n"
        "the configured nonlinearity. Outside p mode (tracker or module) all three dicts are empty. In\n"
        "training with gradients enabled each nonlinear output is stored, with its graph, on its value\n"
        "holder; pass the second result to watch_neuron_error.\n\n"
        "The candidates get detached copies of the inputs and of dendrite_outs under\n"
        "GDL.pc.get_candidate_graph_mode(), else detached aliases of the tensors themselves.\n\n"
        "Raises ValueError in training when the inputs hold no tensor, and when a candidate changed an\n"
        "aliased tensor in place. A failing processor prints its traceback and raises SystemExit(1).\n"
        "NaN checks (verbose, get_debugging_backwards_nan) stop at the debugger: RuntimeError in a\n"
        "batch job.");
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
}

}  // namespace dgr::modules
