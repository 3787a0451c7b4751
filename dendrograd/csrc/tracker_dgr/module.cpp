// tracker_dgr: the training tracker's add-on side.
//
//   optimizer_setup.cpp  optimizer set-up, per-mode parameter filtering, the network frozen in p mode;
//   step.cpp             the step / zero_grad wrappers that drive candidate learning;
//   amp.cpp              the step under a GradScaler;
//   scores.cpp           epoch score histories;
//   switching.cpp        the switch rules and the improvement checks;
//   diagnostics.cpp      two diagnostics for parameters the optimizer does not see;
//   distributed_*.cpp    data-parallel training across a process group;
//   tracker_record.cpp   what the add-on remembers per tracker.
//
// State lives in host objects (the tracker's member_vars, the optimizer's attributes, the
// value holders) and in the add-on's per-tracker record; the module state is below.
#include "tracker.h"
#include "distributed.h"

using namespace dgr::tracker;

namespace {

// The modules tracker_dgr binds as its own attributes (callers rely on them), in one place. The process draws no
// windows: the host's graphs render off-screen.
void bind_dependencies(py::module_& m) {
  py::module_ matplotlib = py::module_::import("matplotlib");
  matplotlib.attr("use")("Agg");
  m.attr("matplotlib") = matplotlib;
  m.attr("pd") = py::module_::import("pandas");
  m.attr("np") = py::module_::import("numpy");
  m.attr("torch") = py::module_::import("torch");
  m.attr("GDL") = py::module_::import("dendrolab.globals_dendrolab");
  m.attr("MDG") = py::module_::import("dendrograd.modules_dgr");
}

void bind_state(py::module_& m) {
  m.attr("STEP_CLEARED") = py::int_(STEP_CLEARED);
  m.attr("STEP_CALLED") = py::int_(STEP_CALLED);
  py::list table;
  for (int v : kPAccuraciesValues) table.append(v);
  m.attr("p_accuracies_values") = table;
}

}  // namespace

PYBIND11_MODULE(tracker_dgr, m) {
  m.doc() =
      "The training tracker's side of the add-on: optimizer set-up and per-mode parameter filtering\n"
      "(setup_optimizer_dg installs the arb_step / closure_arb_step / arb_zero_grad wrappers), epoch\n"
      "score histories, the switch rules and improvement checks, and two diagnostics for parameters\n"
      "the optimizer does not see. State lives in the tracker's member_vars and the optimizer's\n"
      "attributes; best_arb_score_improved_this_epoch_fn is a replacement point looked up at call time.\n"
      "Diagnosed user errors stop at the debugger through sys.breakpointhook(); in a batch job\n"
      "(standard input not a terminal, PYTHONBREAKPOINT unset) such a stop raises RuntimeError\n"
      "instead, and with PYTHONBREAKPOINT=0 execution continues after it.";
  dgr::host::check_torch_version(DGR_TORCH_VERSION);
  dgr::host::this_module().set(m);
  bind_dependencies(m);
  bind_state(m);

  dgr::tracker::dist::register_distributed_state(m);
  dgr::tracker::dist::register_distributed_step(m);
  register_optimizer_setup(m);
  register_step(m);
  register_scores(m);
  register_switching(m);
  register_diagnostics(m);
  // The replacement point of the improvement check; callers look it up at call time.
  m.attr("best_arb_score_improved_this_epoch_fn") = m.attr("best_cascor_score_improved_this_epoch");
}
