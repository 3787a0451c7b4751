// modules_dgr: parameter role tags (which parameters the optimizer gets in which mode), the
// lock of a dendrite module's candidates on the way back to n mode, and the hooks the host
// calls on a neuron module when it switches between n and p mode.
#include "modules_dgr.h"

#include <string>

namespace dgr::modules {
namespace {

py::handle parameter_class() { return DGR_CACHED_MODULE("torch.nn.parameter").attr("Parameter"); }

void set_parameters(py::handle module, py::handle parameter_type) {
  for (py::handle item : module.attr("named_parameters")()) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    named[1].attr(DGR_STR("parameter_type")) = parameter_type;
  }
}

void set_main_parameters(py::handle module) {
  py::handle parameter_cls = parameter_class();
  py::list names = py::reinterpret_steal<py::list>(PyObject_Dir(module.ptr()));
  if (!names) throw py::error_already_set();
  for (py::handle name : names) {
    std::string text = py::str(name);
    if (text.rfind("__", 0) == 0) continue;
    py::object value;
    try {
      value = module.attr(name);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like still stop us
      continue;
    }
    if (host::is_instance(value, parameter_cls)) value.attr(DGR_STR("parameter_type")) = py::str("neuron");
  }
}

void set_dg_mode(py::handle dendrite_module, py::handle mode) {
  if (!mode.equal(py::str("n"))) return;
  if (host::verbose()) host::print("so calling all the things to add to layers");
  long long candidates = host::integer(host::names::get_global_candidates());
  py::object holders = dendrite_module.attr(host::names::dendrite_values());
  for (long long i = 0; i < candidates; ++i) {
    set_element0(host::tensor_attr(holders[py::int_(i)], host::names::locked()), 1.0);
  }
}

void set_module_n_dg(py::handle neuron_module) {
  host::this_module().attr("custom_set_module_n_dg")(neuron_module);
}

// Options of the first floating-point parameter of the neuron module's own layer, so
// that the live connection matches the layer after model.double() or model.to(...);
// the module configuration's dtype and device for a layer without one.
at::TensorOptions layer_options(py::handle neuron_module, py::handle config) {
  py::object layer = py::getattr(neuron_module, host::names::main_module(), py::none());
  if (!layer.is_none() && py::hasattr(layer, "parameters")) {
    for (py::handle p : layer.attr("parameters")()) {
      if (!host::is_tensor(p)) continue;
      at::Tensor t = host::tensor(p);
      if (t.is_floating_point()) return at::TensorOptions().device(t.device()).dtype(t.scalar_type());
    }
  }
  return at::TensorOptions()
      .device(host::to_device(config.attr(host::names::get_device())()))
      .dtype(config.attr(host::names::get_d_type())().cast<at::ScalarType>());
}

void set_module_p_dg(py::handle neuron_module) {
  py::object config = neuron_module.attr(host::names::module_config());
  if (host::truthy(config.attr(host::names::get_learn_dendrites_live())())) {
    long long channels = host::as_int(neuron_module.attr(host::names::out_channels()));
    const at::TensorOptions options = layer_options(neuron_module, config);
    at::Tensor zeros = at::zeros({1, channels}, options).detach().clone();
    py::object parameter = parameter_class()(host::wrap(zeros), py::arg("requires_grad") = true);
    neuron_module.attr(host::names::candidate_to_top()) = parameter;
    neuron_module.attr("register_parameter")("current_candidate_to_top", parameter);
    neuron_module.attr(host::names::current_candidate_to_top()).attr("parameter_type") = py::str("candidate");
  }
  host::this_module().attr("custom_set_module_p_dg")(neuron_module);
}

void register_roles(py::module_& m) {
  m.def("set_parameters", &set_parameters, py::arg("module"), py::arg("parameter_type"),
        "Sets the role tag `parameter_type` on every parameter yielded by module.named_parameters()\n"
        "(the module's own and all its sub-modules'); a later tag overwrites an earlier one. The\n"
        "tracker's optimizer filter hands the optimizer only the parameters whose tag fits the mode:\n"
        "\"neuron\", \"dendrite\", \"candidate\" or \"ignored\". The value is stored as given.\n\n"
        "Raises AttributeError when module has no named_parameters().");
  m.def("set_neuron_parameters", [](py::handle mod) { set_parameters(mod, py::str("neuron")); }, py::arg("module"),
        "Tags every parameter of module and its sub-modules \"neuron\" (set_parameters).\n\n"
        "Raises AttributeError when module has no named_parameters().");
  m.def("set_dendrite_parameters", [](py::handle mod) { set_parameters(mod, py::str("dendrite")); }, py::arg("module"),
        "Tags every parameter of module and its sub-modules \"dendrite\" (set_parameters).\n\n"
        "Raises AttributeError when module has no named_parameters().");
  m.def("set_candidate_parameters", [](py::handle mod) { set_parameters(mod, py::str("candidate")); },
        py::arg("module"),
        "Tags every parameter of module and its sub-modules \"candidate\" (set_parameters).\n\n"
        "Raises AttributeError when module has no named_parameters().");
  m.def("set_ignored_parameters", [](py::handle mod) { set_parameters(mod, py::str("ignored")); }, py::arg("module"),
        "Tags every parameter of module and its sub-modules \"ignored\" (set_parameters); no mode\n"
        "trains them.\n\n"
        "Raises AttributeError when module has no named_parameters().");
  m.def("set_main_parameters", &set_main_parameters, py::arg("module"),
        "Tags 'neuron' on the parameters that are direct attributes of the module only (found through\n"
        "dir(module)); parameters of sub-modules keep their tags. Names starting with '__' are not\n"
        "examined and an attribute whose reading raises an Exception is skipped.");
}

void register_modes(py::module_& m) {
  m.def("set_dg_mode", &set_dg_mode, py::arg("dendrite_module"), py::arg("mode"),
        "When mode is \"n\", locks the candidates of a dendrite module: element 0 of `locked` is set\n"
        "to 1 on dendrite_values[i] for every i below GDL.pc.get_global_candidates() (with a line\n"
        "printed when verbose). Any other mode does nothing.\n\n"
        "Raises IndexError when dendrite_values holds fewer value holders than the candidate count,\n"
        "TypeError when a `locked` value is not a tensor.");
  m.def("set_module_n_dg", &set_module_n_dg, py::arg("neuron_module"),
        "Hook for a neuron module entering n mode: calls this module's custom_set_module_n_dg\n"
        "(looked up at call time) and nothing else; a live connection parameter is kept.");
  m.def("set_module_p_dg", &set_module_p_dg, py::arg("neuron_module"),
        "Hook for a neuron module entering p mode. When its module_config says dendrites learn live,\n"
        "creates a new all-zero live connection parameter of shape (1, out_channels), with the dtype\n"
        "and device of the wrapped layer's first floating-point parameter (else the configuration's),\n"
        "stored as candidate_to_top, registered as current_candidate_to_top and tagged \"candidate\".\n"
        "Then calls custom_set_module_p_dg (looked up at call time).\n\n"
        "Raises AttributeError when the neuron module lacks module_config or out_channels.");
}

}  // namespace

void register_roles_and_modes(py::module_& m) {
  register_roles(m);
  register_modes(m);
}

}  // namespace dgr::modules
