// modules_dgr: the long user-facing diagnostics (see messages.h). Nothing here is bound
// to Python: the functions that detect each case call these.
#include "messages.h"

namespace dgr::modules {

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

namespace {

// "(outputs/errors)" stored for device index 0 of a holder, as the stacking messages count them.
std::string stacked_counts(py::handle holder) {
  const size_t outs = host::length(host::stored_list(holder, host::names::dendrite_outs(), 0));
  const size_t errors = host::length(host::stored_list(holder, host::names::current_parent_d(), 0));
  return "Dendrite outs and neuron errors are currently stacked (" + std::to_string(outs) + "/" +
         std::to_string(errors) + ") times";
}

}  // namespace

void report_unconsumed_output(py::handle dendrite_module) {
  py::object first = dendrite_module.attr(host::names::dendrite_values())[py::int_(0)];
  const std::string counts = stacked_counts(first);
  host::print(host::percent("%s is in backwards graph multiple times.", dendrite_module.attr(host::names::name())));
  host::print("This will cause a memory leak unless it is a recurrent layer.");
  host::print(counts);
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

void report_stacked_error(py::handle holder) {
  py::object layer_name = holder.attr(host::names::layer_name());
  host::print(host::percent("%s called backward but didn't clear the previous error.", layer_name) +
              "\nThis can cause a memory leak."
              "\nIf it is, make sure you are calling optimizer.step() and zero_grad() each iteration."
              "\nYou may need to reduce the total batches in gradient accumulation if this is intentional."
              "\n");
  host::print(stacked_counts(holder));
}

void report_stranded_entries(py::handle dendrite_module, py::handle holder, const Stranded& dropped) {
  py::str reported("_dgr_stranded_reported");
  if (py::hasattr(dendrite_module, reported)) return;
  dendrite_module.attr(reported) = true;
  std::string keys;
  for (const std::string& key : dropped.keys) keys += (keys.empty() ? "" : ", ") + key;
  const std::string message =
      "dendrograd: layer " + std::string(py::str(holder.attr(host::names::layer_name()))) + " stored " +
      std::to_string(dropped.outputs) + " candidate output(s) and " + std::to_string(dropped.errors) +
      " neuron error(s) under device index " + keys + ", but it learns from the ones under device index " +
      std::string(py::str(holder.attr(host::names::device()))) +
      "; they can never be paired and were dropped unlearned. The error of a forward call is kept with "
      "that call's candidate outputs wherever the layer's output went, so this happens when one layer "
      "runs on several devices in one step, or for outputs and errors stored by position (without "
      "watch_neuron_error). Shown once per layer.";
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

void print_non_finite_covariance(const std::string& layer_name) {
  host::print("Covariance contains NaN values.");
  host::print("For layer: " + layer_name);
  host::print("Try clipping candidate gradients with GDL.pc.set_candidate_grad_clipping(1.0), or leave layer " +
              layer_name + " unwrapped (GDL.pc.set_modules_to_convert lists the layer types that get dendrites)");
}

void report_bad_batch(const std::string& layer_name) {
  print_non_finite_covariance(layer_name);
  host::print("The neuron error, the candidate output or the covariance of this batch is not finite; the batch "
              "is skipped and nothing is learned from it.");
}

void report_non_finite_candidate_outputs(py::handle dendrite_module) {
  py::object name = dendrite_module.attr(host::names::name());
  host::print(host::percent("Got a NaN or inf in candidate outputs in layer %s", name));
  host::print("Try using GDL.pc.set_candidate_grad_clipping(1.0) to prevent large candidate gradients");
  host::debugger_stop("NaN or inf in the candidate outputs of layer " + std::string(py::str(name)));
}

void report_missing_output(py::handle values) {
  py::object layer_name = values.attr(host::names::layer_name());
  host::print(host::percent("Dendrite does not have output Value for layer %s", layer_name));
  host::print("This can be caused by your model being in eval mode when you call loss.backwards()");
  host::debugger_stop("no stored candidate output for layer " + std::string(py::str(layer_name)));
}

void print_shape_report(const at::Tensor& error, py::handle values, py::handle math_tuple, py::handle full_mult) {
  host::print(host::wrap(error).attr("shape"));
  host::print(values.attr(host::names::this_node_index()));
  host::print(math_tuple);
  host::print(full_mult);
}

[[noreturn]] void shape_failure(const std::string& failure, const at::Tensor& error, py::handle values,
                                py::handle math_tuple, py::handle full_mult) {
  py::object layer_name = values.attr(host::names::layer_name());
  host::print(failure);
  host::print(host::percent("Error with type shape in %s", layer_name));
  print_shape_report(error, values, math_tuple, full_mult);
  host::debugger_stop("the neuron error does not fit the running statistics of layer " +
                      std::string(py::str(layer_name)));
  host::exit_process(1);
}

}  // namespace dgr::modules
