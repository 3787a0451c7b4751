// modules_dgr: the module itself. Loading it checks the torch version, binds the
// dependencies and the module-level state the host reads, and registers the functions of
// each concern (one file each, see modules_dgr.h).
#include "modules_dgr.h"

namespace dgr::modules {
namespace {

constexpr const char* kDoc =
    "Dendrite mode, forward hooks and candidate correlation learning.\n\n"
    "The host (dendrolab) calls these functions at fixed points of training: the value registry\n"
    "(update_*_values), parameter role tags (set_*_parameters), mode switches (set_dg_mode,\n"
    "set_module_n_dg, set_module_p_dg), candidate set-up (create_extra_tensors, init_candidates,\n"
    "reinitialize_for_dg), the p-mode forward (preprocess_dg, forward_candidates,\n"
    "watch_neuron_error), and at the optimizer's step and zero_grad apply_dg_grads and\n"
    "apply_dg_zero, which turn stored (neuron error, candidate output) pairs into a\n"
    "Cascade-Correlation loss. State lives in attributes of the host's objects.\n\n"
    "Replacement points: custom_set_module_n_dg, custom_set_module_p_dg and dendrite_loss_fn\n"
    "are looked up on this module at call time; rebind them to customise.\n\n"
    "Diagnosed user errors (no stored output, NaN or inf values) print an explanation and stop\n"
    "at the debugger through sys.breakpointhook(). When standard input is not a terminal and\n"
    "PYTHONBREAKPOINT is unset (a batch job) such a stop raises RuntimeError instead; with\n"
    "PYTHONBREAKPOINT=0 execution continues after the stop.";

// Required module attributes: the dependencies the module binds on load, in load order
// (name, module to import, attribute of that module or null for the module itself).
struct Dependency {
  const char* name;
  const char* module;
  const char* attribute;
};
constexpr Dependency kDependencies[] = {
    {"torch", "torch", nullptr},
    {"nn", "torch.nn", nullptr},
    {"init", "torch.nn.init", nullptr},
    {"F", "torch.nn.functional", nullptr},
    {"math", "math", nullptr},
    {"sys", "sys", nullptr},
    {"np", "numpy", nullptr},
    {"pdb", "pdb", nullptr},
    {"os", "os", nullptr},
    {"time", "time", nullptr},
    {"chain", "itertools", "chain"},
    {"datetime", "datetime", "datetime"},
    {"GDL", "dendrolab.globals_dendrolab", nullptr},
    {"MDL", "dendrolab.modules_dendrolab", nullptr},
    {"copy", "copy", nullptr},
    {"random", "random", nullptr},
    {"traceback", "traceback", nullptr},
};

void bind_dependencies(py::module_& m) {
  for (const Dependency& d : kDependencies) {
    py::object imported = py::module_::import(d.module);
    m.attr(d.name) = d.attribute ? imported.attr(d.attribute) : imported;
  }
}

// The value registry's lists, before the registry's functions can be called.
void bind_registry_state(py::module_& m) {
  m.attr("_variant_tensor_values") = py::list();
  m.attr("_variant_single_values") = py::list();
  m.attr("NON_LIVE_SKIP_VALUES") = py::list(py::make_tuple("normal_pass_average_d"));
}

// get_doing_thing() is read once, here: the maximum-activation values join the registry.
// MDL.get_DENDRITE_SINGLE_VALUES() calls back into update_dendrite_single_values.
void bind_doing_thing_values(py::module_& m) {
  if (!host::flag(host::names::get_doing_thing())) return;
  py::list singles(host::MDL().attr(host::names::get_DENDRITE_SINGLE_VALUES())());
  py::list with_max(singles.attr("copy")());
  with_max.append("normal_pass_max_mean_act");
  with_max.append("parent_max_mean_act");
  m.attr("DENDRITE_SINGLE_VALUES") = with_max;
  py::list skip(m.attr("NON_LIVE_SKIP_VALUES"));
  py::list rebound(skip.attr("copy")());
  rebound.append("normal_pass_max_mean_act");
  m.attr("NON_LIVE_SKIP_VALUES") = rebound;
}

}  // namespace
}  // namespace dgr::modules

using namespace dgr::modules;
namespace host = dgr::host;

PYBIND11_MODULE(modules_dgr, m) {
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);
  m.doc() = kDoc;
  // Partially initialised modules are visible to the host while loading, as for
  // a Python module: the host's name lists call back into the update hooks below.
  py::module_::import("sys").attr("modules")["dendrograd.modules_dgr"] = m;
  bind_dependencies(m);
  bind_registry_state(m);
  register_registry(m);
  bind_doing_thing_values(m);
  register_roles_and_modes(m);
  register_lifecycle(m);
  register_inputs(m);
  register_shape_reduction(m);
  register_candidate_forward(m);
  register_accepted_forward(m);
  register_running_scores(m);
  register_correlation_step(m);
  register_best_scores(m);
  register_apply_step(m);
  register_gathered_backward(m);
  register_kernels(m);
  register_pairing(m);
  m.attr("dendrite_loss_fn") = py::none();
}
