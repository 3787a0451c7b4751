// Optimizer set-up: the step and zero_grad wrappers installed on one optimizer instance,
// the per-mode filtering of its parameters, and the network frozen while p mode lasts.
#include "tracker.h"
#include "distributed.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace dgr::tracker {
namespace {

py::handle method_type() { return DGR_CACHED_MODULE("types").attr("MethodType"); }

// Where the add-on records the parameters it froze for p mode, with their roles.
py::handle frozen_for_p() { return DGR_STR("_dgr_frozen_for_p"); }

// ---- filtering --------------------------------------------------------------------------

py::list filter_single_param_group(py::handle params, py::handle mode, bool debug_missing_types) {
  py::list kept;
  bool n_mode = mode.equal(py::str("n"));
  bool p_mode = mode.equal(py::str("p"));
  if (!n_mode && !p_mode) return kept;
  for (py::handle param : params) {
    if (!py::hasattr(param, DGR_STR("parameter_type"))) {
      if (debug_missing_types) report_untagged_parameter(param, n_mode);
      continue;
    }
    py::object role = param.attr(DGR_STR("parameter_type"));
    bool keep;
    if (n_mode) {
      keep = role.equal(py::str("neuron")) ||
             (role.equal(py::str("dendrite")) && host::flag(names::get_dendrite_update_mode()));
    } else {
      keep = role.equal(py::str("candidate"));
    }
    if (keep) kept.append(param);
  }
  return kept;
}

// What the wrappers need of an optimizer, checked before anything of it is changed.
void require_optimizer(py::handle optimizer, const char* function) {
  for (const char* name : {"step", "zero_grad", "param_groups", "state"}) {
    if (!py::hasattr(optimizer, name)) {
      host::argument_error(host::Mistake::wrong_type, function,
                           "optimizer must be a torch.optim.Optimizer (step, zero_grad, param_groups and state), "
                           "got " + host::class_name(optimizer) + " without '" + name + "'");
    }
  }
}

// Deletes the optimizer state of every parameter that is not in `kept`.
void drop_state_of_others(py::handle optimizer, const std::unordered_set<PyObject*>& kept) {
  py::object state = optimizer.attr(DGR_STR("state"));
  py::list keys(state.attr("keys")());
  for (py::handle key : keys) {
    if (!kept.count(key.ptr())) {
      if (PyObject_DelItem(state.ptr(), key.ptr()) < 0) throw py::error_already_set();
    }
  }
}

// Appends to `dropped` the params that are not in `kept`.
void collect_dropped(py::handle params, const py::list& kept, std::vector<py::object>* dropped) {
  std::unordered_set<PyObject*> kept_here;
  for (py::handle p : kept) kept_here.insert(p.ptr());
  for (py::handle p : params) {
    if (!kept_here.count(p.ptr())) dropped->push_back(py::reinterpret_borrow<py::object>(p));
  }
}

void filter_params(py::handle optimizer, bool debug_missing_types, std::vector<py::object>* dropped = nullptr) {
  require_optimizer(optimizer, "filter_params");
  py::object mode = host::member_var(names::mode());
  py::object groups = optimizer.attr(DGR_STR("param_groups"));
  size_t total_before = 0;
  for (py::handle group : groups) total_before += host::length(group[py::str("params")]);

  py::list new_groups;
  std::unordered_set<PyObject*> kept_params;
  size_t total_kept = 0;
  for (py::handle group : groups) {
    py::list kept = filter_single_param_group(group[py::str("params")], mode, debug_missing_types);
    if (dropped) collect_dropped(group[py::str("params")], kept, dropped);
    if (kept.empty()) continue;  // the whole group goes, hyper-parameters included
    py::object copy = group.attr("copy")();
    copy[py::str("params")] = kept;
    new_groups.append(copy);
    for (py::handle p : kept) kept_params.insert(p.ptr());
    total_kept += kept.size();
  }
  optimizer.attr(DGR_STR("param_groups")) = new_groups;
  drop_state_of_others(optimizer, kept_params);

  if (host::verbose()) {
    host::print("Filtered optimizer parameters: mode=" + std::string(py::str(mode)) + ", " +
                std::to_string(total_kept) + " params selected from " + std::to_string(total_before) +
                " total. " + std::to_string(new_groups.size()) + " param-groups remain.");
  }
}

// ---- the network frozen for p mode -------------------------------------------------------

// p mode trains only the candidates, so while it lasts the network's own parameters
// (roles "neuron" and "dendrite") that the mode's optimizer dropped compute no weight
// gradients: the network's backward then only carries the neuron errors. Each one frozen
// is recorded for the tracker with its role; the next optimizer set-up outside p mode
// unfreezes them. Only where the host asks for it (freeze_network_in_p_mode), and not under
// a process group (DDP needs a parameter that requires grad) nor when dendrites learn live
// (the network trains in p mode too).
void freeze_network_for_p_mode(py::handle tracker, const std::vector<py::object>& dropped) {
  if (!p_mode_applies_dg_grads(tracker) || dist::in_process_group() || !host::freeze_network_in_p_mode()) {
    unfreeze_network(tracker);
    return;
  }
  py::object record = recalled(tracker, frozen_for_p(), py::none());
  py::list frozen = record.is_none() ? py::list() : py::reinterpret_borrow<py::list>(record);
  for (const py::object& param : dropped) {
    py::object role = py::getattr(param, "parameter_type", py::none());
    if (!role.equal(py::str("neuron")) && !role.equal(py::str("dendrite"))) continue;
    if (!host::tensor(param, "an optimizer parameter").requires_grad()) continue;
    param.attr("requires_grad_")(false);
    frozen.append(py::make_tuple(param, role));
  }
  remember(tracker, frozen_for_p(), frozen);
}

// A second set-up of an optimizer the wrappers already hold: the report and the debugger stop.
void report_double_setup() {
  host::print("Error: optimizer.zero_grad is already set to arb_zero_grad");
  host::print("setup_optimizer_dg was called again on an optimizer it already wraps;");
  host::print("pass each optimizer through it once (GDL.arb_tracker.setup_optimizer already does so for the "
              "optimizers it builds).");
  host::debugger_stop("setup_optimizer_dg was called on an optimizer it already wraps");
}

void setup_optimizer_dg(py::handle optimizer) {
  require_optimizer(optimizer, "setup_optimizer_dg");
  py::object zero_grad = py::getattr(optimizer, "zero_grad", py::none());
  py::object underlying = zero_grad.is_none() ? py::none() : py::getattr(zero_grad, "__func__", py::none());
  if (underlying.is(host::this_module().attr("arb_zero_grad"))) {
    report_double_setup();
    // Continuing: the wrappers already installed stay. Wrapping again would store the
    // step wrapper as the optimizer's own step, which would then call itself.
    filter_params(optimizer, true);
    return;
  }
  optimizer.attr("_original_step") = optimizer.attr("step");
  optimizer.attr("step") = bind_to("closure_arb_step", optimizer);
  optimizer.attr("_original_zero") = optimizer.attr("zero_grad");
  optimizer.attr("zero_grad") = bind_to("arb_zero_grad", optimizer);
  // In p mode the candidates' gradients are learned, not made by the backward: a GradScaler
  // has them learn when it first looks at the gradients, and hands the step its scale
  // (grad_scale / found_inf attributes) for the wrapper to unscale (amp.cpp).
  if (host::member_var(names::mode()).equal(py::str("p"))) {
    optimizer.attr("_step_supports_amp_scaling") = py::bool_(true);
    let_grad_scalers_reach_candidates();
  }
  // `with Join([ddp, optimizer]):` trains ranks with uneven numbers of batches.
  dist::make_joinable(optimizer);
  std::vector<py::object> dropped;
  filter_params(optimizer, true, &dropped);
  freeze_network_for_p_mode(host::tracker(), dropped);
  // Ranks of a process group start every mode from the same structure and add-on state.
  dist::agree_after_restructure(host::tracker());
}

}  // namespace

// The wrappers the module exports are Python functions (see register_step), so a bound
// wrapper has the `__func__` / `__self__` pair that torch's lr schedulers re-bind.
py::object bind_to(const char* function_name, py::handle optimizer) {
  return method_type()(host::this_module().attr(function_name), optimizer);
}

// Gives requires_grad back to the parameters freeze_network_for_p_mode froze, unless a
// parameter's role changed since (an output-weight row replaced at growth becomes
// "ignored" and stays frozen, as the host left it).
void unfreeze_network(py::handle tracker) {
  py::object record = recalled(tracker, frozen_for_p(), py::none());
  if (record.is_none()) return;
  for (py::handle entry : record) {
    py::object param = entry[py::int_(0)];
    if (py::getattr(param, "parameter_type", py::none()).equal(entry[py::int_(1)])) {
      param.attr("requires_grad_")(true);
    }
  }
  remember(tracker, frozen_for_p(), py::none());
}

void register_optimizer_setup(py::module_& m) {
  m.def("setup_optimizer_dg", &setup_optimizer_dg, py::arg("optimizer"),
        "Installs the step and zero_grad wrappers on this optimizer and keeps only the current mode's "
        "parameters.\n"
        "In p mode (dendrites not learning live, no process group) the network's own parameters the\n"
        "optimizer dropped (roles \"neuron\" and \"dendrite\") get requires_grad False, so the\n"
        "frozen network computes no weight gradients; the next set-up outside p mode, and\n"
        "unfreeze_network, give it back.\n"
        "With an initialised torch.distributed process group the optimizer also becomes a\n"
        "torch.distributed.algorithms.join.Joinable (a subclass of its own class, same name; pickling\n"
        "and copying give the original class), so that `with Join([ddp, optimizer]):` trains ranks\n"
        "with uneven numbers of batches.");
  m.def("unfreeze_network", &unfreeze_network, py::arg("tracker"),
        "Gives requires_grad back to the parameters that setup_optimizer_dg froze for p mode (those\n"
        "whose role has not changed since). The host calls it when the tracker is reset; call it\n"
        "to train the network yourself after a run that stopped in p mode. Does nothing when\n"
        "nothing is frozen.");
  m.def("filter_params", [](py::handle optimizer, bool debug_missing_types) {
          filter_params(optimizer, debug_missing_types);
        }, py::arg("optimizer"), py::arg("debug_missing_types") = true,
        "Keeps in each of the optimizer's param_groups only the parameters of the tracker's current\n"
        "mode (see filter_single_param_group), drops groups left empty with their settings, and\n"
        "deletes the optimizer state of every parameter that is no longer kept. Prints a summary\n"
        "when verbose. Returns None.\n\n"
        "Raises TypeError when optimizer lacks step, zero_grad, param_groups or state (nothing is\n"
        "changed then); RuntimeError in a batch job when debug_missing_types is set and a parameter\n"
        "has no parameter_type tag (the debugger stop).");
  m.def("filter_single_param_group", &filter_single_param_group, py::arg("params"), py::arg("mode"),
        py::arg("debug_missing_types") = true,
        "Returns a new list of the params that mode trains: \"n\" keeps parameter_type \"neuron\"\n"
        "(and \"dendrite\" when GDL.pc.get_dendrite_update_mode() is true), \"p\" keeps \"candidate\";\n"
        "any other mode gives an empty list. params is not modified. A parameter without a\n"
        "parameter_type attribute is left out; with debug_missing_types a warning on how to tag it\n"
        "is printed and the debugger stops.\n\n"
        "Raises TypeError when params is not iterable (mode \"n\" or \"p\"); RuntimeError from the\n"
        "debugger stop in a batch job.");
}

}  // namespace dgr::tracker
