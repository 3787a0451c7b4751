// The long user-facing diagnostics of modules_dgr: what a user sees when a processor
// fails, stored outputs pile up, a batch is not finite or does not fit the statistics.
// Their texts are part of the module's behaviour; they live here so that the code that
// detects each case stays readable.
#pragma once

#include "modules_dgr.h"

#include <string>

namespace dgr::modules {

// A user's candidate processor (pre_d or post_d) raised: prints the traceback and what to
// check, then ends the run with exit status 1.
[[noreturn]] void processor_failure(py::error_already_set& e, bool pre, py::handle dendrite_module);

// A forward is about to store an output while an earlier one of no forward call is still
// stored: what that means and which settings deal with it.
void report_unconsumed_output(py::handle dendrite_module);

// A backward stores a neuron error while an earlier, positionally paired one is unconsumed.
void report_stacked_error(py::handle holder);

// Stored outputs or errors of a holder were dropped unpaired from device keys it does not
// learn from: a UserWarning naming the layer, once per dendrite module.
void report_stranded_entries(py::handle dendrite_module, py::handle holder, const Stranded& dropped);

// A NaN or inf covariance in the named layer.
void print_non_finite_covariance(const std::string& layer_name);

// A batch that teaches nothing because something in it is not finite.
void report_bad_batch(const std::string& layer_name);

// NaN or inf among a call's candidate outputs (get_debugging_backwards_nan): stops at the debugger.
void report_non_finite_candidate_outputs(py::handle dendrite_module);

// A value holder has no stored output to learn from: stops at the debugger.
void report_missing_output(py::handle values);

// The shapes behind a running-statistics update, printed under get_dpp_verbose() and on failure.
void print_shape_report(const at::Tensor& error, py::handle values, py::handle math_tuple, py::handle full_mult);

// The neuron error does not fit a holder's running statistics: prints `failure` and the
// shapes, stops at the debugger, then ends the run with exit status 1.
[[noreturn]] void shape_failure(const std::string& failure, const at::Tensor& error, py::handle values,
                                py::handle math_tuple, py::handle full_mult);

}  // namespace dgr::modules
