// modules_dgr: gradient application. The backward hook stores each neuron error next to
// the candidate outputs of its forward call; at the optimizer's step apply_dg_grads turns
// every stored (error, output) pair into candidate gradients and removes it, and at
// zero_grad apply_dg_zero discards what was not consumed.
#include "learning.h"
#include "messages.h"

#include <string>

namespace dgr::modules {

namespace {

// The neuron error of one hook call, detached and tagged, on one device: every holder whose
// outputs live there shares it.
struct ErrorCopy {
  at::Device device;
  at::Tensor tensor;
  py::object object;
};

ErrorCopy& error_on(std::vector<ErrorCopy>& copies, const at::Tensor& val, const at::Device& device,
                    py::handle call) {
  for (ErrorCopy& copy : copies) {
    if (copy.device == device) return copy;
  }
  at::Tensor error = val.detach();
  if (error.device() != device) error = error.to(device);
  py::object object = host::wrap(error);
  if (!call.is_none()) tag_with_call(object, call);
  copies.push_back({device, error, object});
  return copies.back();
}

// Stores the error with every candidate slot. An error of a forward call goes where that
// call's outputs are, moved to their device: a layer whose output moves to another device
// (model parallel) gets its error under its outputs' device key, not the error's own.
void store_neuron_error(const at::Tensor& val, py::handle values, py::handle call) {
  const long long candidates = host::integer(host::names::get_global_candidates());
  const long long own_key = host::device_index(val.device());
  std::vector<ErrorCopy> copies;
  std::vector<std::pair<PyObject*, py::object>> summed;
  for (long long i = 0; i < candidates; ++i) {
    py::object holder = values[py::int_(i)];
    py::object key = py::int_(own_key);
    at::Device device = val.device();
    if (!call.is_none()) {
      if (std::optional<CallOutputs> found = outputs_of_call(holder, call, own_key)) {
        key = found->key;
        device = found->device;
      }
    }
    py::list stored = host::stored_list(holder, host::names::current_parent_d(), key);
    // Errors of other calls still waiting for the step are paired by their call;
    // only errors nobody owns are stacked positionally and worth the warning.
    if (host::flag(host::names::get_debugging_memory_leak()) && count_positional(stored) != 0) {
      report_stacked_error(holder);
    }
    if (!host::flag(host::names::get_dendrite_learn_mode())) continue;
    if (host::extra_verbose()) {
      py::object layer_name = holder.attr(host::names::layer_name());
      host::print(host::percent("%s appending parent d and setting device", layer_name));
    }
    const ErrorCopy& error = error_on(copies, val, device, call);
    store_error_for_call(stored, error.tensor, error.object, call, summed);
    holder.attr(host::names::device()) = key;
  }
}

}  // namespace

void filter_backward_for_call(const at::Tensor& val, py::handle values, py::handle call) {
  {
    at::NoGradGuard no_grad;
    py::object first = values[py::int_(0)];
    tuples_and_mult(val, first);  // only fills the shape cache where that applies
    if (host::tracker_mode_is("p")) store_neuron_error(val, values, call);
  }
  if (host::extra_verbose()) {
    host::print(host::percent("%s completing backward", values[py::int_(0)].attr(host::names::layer_name())));
  }
}

py::object holder_device(py::handle values) {
  if (py::hasattr(values, host::names::device())) return values.attr(host::names::device());
  return py::none();
}

void remove_first_batch(py::handle errors, py::handle outs) {
  if (PySequence_DelItem(errors.ptr(), 0) < 0 || PySequence_DelItem(outs.ptr(), 0) < 0) {
    throw py::error_already_set();
  }
}

namespace {

// An empty batch has no statistics to give: it is removed unread. Returns true when
// the batch at position 0 was empty.
bool skip_empty_batch(py::handle values, py::handle errors, py::handle outs) {
  const at::Tensor error = host::tensor(errors[py::int_(0)], "a stored neuron error");
  const at::Tensor out = host::tensor(outs[py::int_(0)], "a stored candidate output");
  if (error.numel() != 0 && out.numel() != 0) return false;
  remove_first_batch(errors, outs);
  if (!host::silent()) {
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

// Learns the front pair with dendrite_loss_fn when set, else the built-in loss; false when
// the pair is not finite (reported, nothing learned).
bool learn_front_batch(py::handle values, py::handle loss_fn, py::handle errors, py::handle outs) {
  if (loss_fn.is_none()) return calculate_and_backwards_dendrite_loss(values);
  if (!batch_is_finite(errors, outs)) {
    report_bad_batch(py::str(values.attr(host::names::layer_name())));
    return false;
  }
  loss_fn(values);
  return true;
}

// Every candidate slot stores an output per forward and an error per backward, so
// every slot is consumed here (consuming only the first would leave the other
// candidates untrained and their stored graphs growing without bound).
// Returns how many stored batches taught the candidate something.
size_t apply_holder_grads(py::handle values, py::handle loss_fn) {
  py::object device = holder_device(values);
  py::object layer_name = values.attr(host::names::layer_name());
  if (device.is_none()) {
    host::print(host::percent("skipping dg batch for %s", layer_name));
    return 0;
  }
  py::list errors = host::stored_list(values, host::names::current_parent_d(), device);
  py::list outs = host::stored_list(values, host::names::dendrite_outs(), device);
  if (host::extra_verbose()) {
    host::print(host::percent("calling apply dg grads for %s", layer_name));
    host::print("with " + std::to_string(errors.size()) + "/" + std::to_string(outs.size()) + " tensors");
  }
  const StoredBatches batches = reconcile_stored(outs, errors);
  size_t taught = 0;
  for (size_t b = 0; b < batches.ready && errors.size() > 0 && outs.size() > 0; ++b) {
    if (skip_empty_batch(values, errors, outs)) continue;
    if (!learn_front_batch(values, loss_fn, errors, outs)) {
      // Removed before the stop, which raises in a batch job: nothing is half-done.
      remove_first_batch(errors, outs);
      host::debugger_stop("NaN or inf in a stored batch of layer " + std::string(py::str(layer_name)));
      continue;
    }
    if (host::extra_verbose()) {
      host::print(host::percent("%s applied grads and clearing first tensor", layer_name));
      host::print(host::percent("with %d tensors", errors.size()));
    }
    remove_first_batch(errors, outs);
    ++taught;
  }
  return taught;
}

// Every slot's pairs one by one. Candidates computed as one product share a graph, so a
// slot's backward also hands the others a zero gradient. A slot that learns nothing here
// keeps no gradient it did not have: an optimizer skips a parameter without one, but would
// step on a zero.
void apply_slot_by_slot(py::handle dendrite_module, py::handle loss_fn) {
  std::vector<std::vector<py::object>> without_grad;
  for (py::handle slot : host::module_list(dendrite_module, host::names::candidate_module())) {
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
    for (py::handle values : host::holders_of(dendrite_module)) {
      learned.push_back(apply_holder_grads(values, loss_fn) > 0);
    }
  } catch (...) {
    drop_unlearned_gradients();
    throw;
  }
  drop_unlearned_gradients();
}

void clear_list(py::list& list) {
  if (PyList_SetSlice(list.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0) throw py::error_already_set();
}

// Outputs of forward calls whose backward may still come (a forward before zero_grad,
// backward after it) stay, all of them; they sit at the end of the list. Returns them.
py::list take_waiting_outputs(py::list& outs, py::list& errors) {
  const StoredBatches batches = reconcile_stored(outs, errors);
  const size_t first_waiting = outs.size() - batches.pending;
  py::list waiting;
  for (size_t k = first_waiting; k < outs.size(); ++k) waiting.append(outs[k]);
  if (PyList_SetSlice(outs.ptr(), first_waiting, PY_SSIZE_T_MAX, nullptr) < 0) throw py::error_already_set();
  return waiting;
}

void apply_holder_zero(py::handle values) {
  py::object device = holder_device(values);
  if (device.is_none()) return;
  if (host::extra_verbose()) host::print("clearing out values in zero_grad");
  py::list errors = host::stored_list(values, host::names::current_parent_d(), device);
  py::list outs = host::stored_list(values, host::names::dendrite_outs(), device);
  py::list waiting = take_waiting_outputs(outs, errors);
  std::string cleared;  // "1" per removed error, "2" per removed output
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
      if (host::verbose()) {
        host::print(host::percent("%s retaining::dendrite_outs", values.attr(host::names::layer_name())));
      }
    }
  }
  for (py::handle kept : waiting) outs.append(kept);
  if (host::verbose()) {
    host::print(std::string(py::str(values.attr(host::names::layer_name()))) + " cleared:: " + cleared);
    host::print("dendrite_outs and current_parent_d lenghts are now: " + std::to_string(outs.size()) + "/" +
                std::to_string(errors.size()));
  }
}

// Entries under a device key a holder does not learn from are dropped, reported once per layer.
void drop_stranded(py::handle dendrite_module) {
  for (py::handle values : host::holders_of(dendrite_module)) {
    const Stranded dropped = drop_stranded_entries(values);
    if (dropped.outputs || dropped.errors) report_stranded_entries(dendrite_module, values, dropped);
  }
}

void apply_dg_zero(py::handle dendrite_module) {
  for (py::handle values : host::holders_of(dendrite_module)) apply_holder_zero(values);
  drop_stranded(dendrite_module);
}

}  // namespace

void apply_dg_grads(py::handle dendrite_module) {
  const LearningSettings s = LearningSettings::read();
  py::object loss_fn = host::this_module().attr(DGR_STR("dendrite_loss_fn"));
  // A pair that does not fit the pool, and every pair after it, goes slot by slot.
  if (!pool_learning_applies(loss_fn, s.learn_live, s.dpp_verbose) || !learn_as_pool(dendrite_module, s)) {
    // The slots' gradient bookkeeping below sees every gathered pool gradient first.
    flush_gathered_backward();
    apply_slot_by_slot(dendrite_module, loss_fn);
  }
  drop_stranded(dendrite_module);
}

void register_apply_step(py::module_& m) {
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
        "batch job). Errors raised by dendrite_loss_fn propagate and leave the pair stored.\n"
        "Entries stored under a device key other than the holder's device can never be paired: they\n"
        "are dropped (outputs whose backward may still come stay), with a UserWarning once per layer.");
  m.def("apply_dg_zero", &apply_dg_zero, py::arg("self"),
        "zero_grad entry for a dendrite module (self): for every value holder of dendrite_values,\n"
        "discards the stored errors and outputs that were not consumed, keeping the outputs whose\n"
        "backward may still come (and the newest output when fewer errors than outputs are stored).\n"
        "Prints what was cleared when verbose. A holder with no stored error yet is left alone.\n"
        "Entries under other device keys are dropped as by apply_dg_grads.");
}

}  // namespace dgr::modules
