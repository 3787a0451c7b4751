// modules_dgr: value registry, parameter roles, mode hooks, candidate lifecycle,
// gradient killing and the shape-reduction helper. The learning half lives in
// learning.cpp and is registered from here.
#include "modules_dgr.h"

#include <c10/core/DeviceGuard.h>
#include <torch/csrc/autograd/custom_function.h>

#include <cmath>

namespace dgr::modules {
namespace {


const char* const kAddonTensorValues[] = {
    "prev_dendrite_candidate_correlation", "covariance_for_parallel", "best_score",
    "previous_best_score", "prev_dendrite_candidate_average", "main_grad_average_for_scaling",
    "candidate_grad_average_for_scaling", "indexes_of_best", "nodes_best_improved_this_epoch",
    "nodes_improved_any", "parents_average_d_vector", "normal_pass_average_d",
    "epoch_start_best_score", "prev_dendrite_candidate_pearson", "best_pearson_correlation"};

const char* const kAddonSingleValues[] = {"breaking", "locked", "best_score_improved_this_epoch",
                                          "running_scalar"};

template <size_t N>
py::list extended(py::handle names, const char* const (&extra)[N], const char* what) {
  if (!PyList_Check(names.ptr())) {
    throw py::type_error(std::string(what) + " expects a list of names, got " +
                         std::string(py::str(py::type::of(names).attr("__name__"))));
  }
  py::list result;
  for (py::handle name : names) result.append(name);
  for (const char* name : extra) result.append(py::str(name));
  return result;
}

// ---- value registry --------------------------------------------------------------

py::list update_dendrite_tensor_values(py::handle names) {
  return extended(names, kAddonTensorValues, "update_dendrite_tensor_values");
}

py::list update_dendrite_single_values(py::handle names) {
  return extended(names, kAddonSingleValues, "update_dendrite_single_values");
}

py::list update_value_tracker_arrays(py::handle names) {
  static const char* const extra[] = {"current_parent_d"};
  return extended(names, extra, "update_value_tracker_arrays");
}

void register_dendrite_variant_values(py::object tensor_values, py::object single_values,
                                      py::object reinit_skip_values) {
  py::module_ host_modules = py::module_::import("dendrolab.modules_dendrolab");
  py::handle m = host::this_module().get();
  if (host::truthy(tensor_values)) {
    m.attr("_variant_tensor_values").attr("extend")(tensor_values);
    host_modules.attr(host::names::_cached_dendrite_tensor_values()) = py::none();
    host_modules.attr(host::names::_cached_dendrite_tensor_dg_state()) = py::none();
  }
  if (host::truthy(single_values)) {
    m.attr("_variant_single_values").attr("extend")(single_values);
    host_modules.attr(host::names::_cached_dendrite_single_values()) = py::none();
    host_modules.attr(host::names::_cached_dendrite_single_dg_state()) = py::none();
  }
  if (host::truthy(reinit_skip_values)) {
    // A new list: references taken before the registration keep seeing the old one.
    py::list rebound;
    rebound.attr("extend")(m.attr("NON_LIVE_SKIP_VALUES"));
    rebound.attr("extend")(reinit_skip_values);
    m.attr("NON_LIVE_SKIP_VALUES") = rebound;
  }
}

void load_tagger_values(py::handle neuron_module) {
  neuron_module.attr(host::names::dendrite_module()).attr(host::names::load_tagger_values())();
}

// ---- parameter roles and modes -------------------------------------------------

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
    int is_param = PyObject_IsInstance(value.ptr(), parameter_cls.ptr());
    if (is_param < 0) throw py::error_already_set();
    if (is_param) value.attr(DGR_STR("parameter_type")) = py::str("neuron");
  }
}

void set_dg_mode(py::handle dendrite_module, py::handle mode) {
  if (!mode.equal(py::str("n"))) return;
  if (host::flag(host::names::get_verbose())) host::print("so calling all the things to add to layers");
  long long candidates = host::integer(host::names::get_global_candidates());
  py::object holders = dendrite_module.attr(host::names::dendrite_values());
  for (long long i = 0; i < candidates; ++i) {
    set_element0(host::tensor_attr(holders[py::int_(i)], host::names::locked()), 1.0);
  }
}

void set_module_n_dg(py::handle neuron_module) {
  host::this_module().attr("custom_set_module_n_dg")(neuron_module);
}

at::Device to_device(py::handle device) {
  if (THPDevice_Check(device.ptr())) return device.cast<at::Device>();
  return at::Device(py::str(device).cast<std::string>());
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
      .device(to_device(config.attr(host::names::get_device())()))
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

// ---- candidate lifecycle ---------------------------------------------------------

void create_extra_tensors(py::handle dendrite_module) {
  dendrite_module.attr(host::names::current_recurrent_pass_tensors()) = py::list();
  dendrite_module.attr(host::names::current_recurrent_pass_candidate_tensors()) = py::list();
  dendrite_module.attr(host::names::normal_learning_taggers()) = py::dict();
  dendrite_module.attr(host::names::random_arb_to_candidates()) = host::get(host::names::get_default_random_arb_to_candidates());
}

void init_candidates(py::handle dendrite_module, py::handle j) {
  py::object weights = dendrite_module.attr(host::names::dendrites_to_candidates())[j];
  weights.attr("data").attr("arb_wrapped") = true;
  if (!host::truthy(dendrite_module.attr(host::names::random_arb_to_candidates()))) return;
  double channels = host::as_float(dendrite_module.attr(host::names::out_channels()));
  if (channels == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw py::error_already_set();
  }
  at::Tensor w = host::tensor(weights);
  at::NoGradGuard no_grad;
  w.normal_(0, std::sqrt(2.0 / channels));
}

void reinitialize_for_dg(py::handle holder) {
  py::object names = host::MDL().attr(host::names::get_DENDRITE_REINIT_VALUES())();
  for (py::handle name : names) {
    py::object skip_list = host::this_module().attr("NON_LIVE_SKIP_VALUES");
    if (skip_list.contains(name) && !host::flag(host::names::get_learn_dendrites_live())) continue;
    py::object value = holder.attr(name);
    py::object zeroed;
    if (host::is_tensor(value)) {
      zeroed = host::wrap(host::tensor(value).mul(0));  // a product: NaN stays NaN
    } else {
      zeroed = py::reinterpret_steal<py::object>(PyNumber_Multiply(value.ptr(), py::int_(0).ptr()));
      if (!zeroed) throw py::error_already_set();
    }
    holder.attr(name) = zeroed;
  }
  auto freeze_copy = [&](const char* source, const char* target) {
    at::Tensor from = host::tensor_attr(holder, py::str(source));
    at::Tensor to = host::tensor_attr(holder, py::str(target));
    {
      at::NoGradGuard no_grad;
      to.copy_(from.detach().clone());
    }
    to.requires_grad_(false);
  };
  if (host::flag(host::names::get_doing_thing())) freeze_copy("normal_pass_max_mean_act", "parent_max_mean_act");
  freeze_copy("normal_pass_average_d", "parents_average_d_vector");
}

// ---- gradient killing ----------------------------------------------------------------

// Identity forward, zero gradient backward.
struct Killer : public torch::autograd::Function<Killer> {
  static at::Tensor forward(torch::autograd::AutogradContext*, const at::Tensor& inp) { return inp; }
  static torch::autograd::variable_list backward(torch::autograd::AutogradContext*,
                                                 torch::autograd::variable_list grad_out) {
    return {grad_out[0].mul(0)};
  }
};

at::Tensor grad_killer(const at::Tensor& inp) { return Killer::apply(inp); }

py::object killed_tensor(py::handle value, bool killing, py::object& device) {
  at::Tensor t = host::tensor(value);
  device = py::cast(t.device());
  if (!killing) return py::reinterpret_borrow<py::object>(value);
  c10::OptionalDeviceGuard guard(t.device());
  // Passing through the zero-gradient identity first would be detached right away,
  // so the detached copy is taken directly: same values, no graph.
  return host::wrap(t.detach().clone());
}

}  // namespace


void set_element0(const at::Tensor& t, double value) {
  at::NoGradGuard no_grad;
  (t.dim() == 0 ? t : t.reshape({-1}).select(0, 0)).fill_(value);
}

py::tuple killer_recursive(py::handle in_vals, bool killing) {
  host::RecursionGuard guard(" while walking the inputs of a neuron module");
  PyObject* obj = in_vals.ptr();
  py::object device = py::none();
  if (PyList_CheckExact(obj)) {
    py::list items = py::reinterpret_borrow<py::list>(in_vals);
    for (size_t i = 0; i < items.size(); ++i) {
      py::tuple done = killer_recursive(items[i], killing);
      items[i] = done[0];
      if (!done[1].is_none()) device = done[1];
    }
    return py::make_tuple(in_vals, device);
  }
  if (PyTuple_CheckExact(obj)) {
    py::tuple items = py::reinterpret_borrow<py::tuple>(in_vals);
    if (items.empty()) return py::make_tuple(in_vals, device);
    py::tuple rebuilt(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      py::tuple done = killer_recursive(items[i], killing);
      rebuilt[i] = done[0];
      if (!done[1].is_none()) device = done[1];
    }
    return py::make_tuple(rebuilt, device);
  }
  if (PyDict_CheckExact(obj)) {
    py::dict items = py::reinterpret_borrow<py::dict>(in_vals);
    py::list keys(items.attr("keys")());
    for (py::handle key : keys) {
      py::tuple done = killer_recursive(items[key], killing);
      items[key] = done[0];
      if (!done[1].is_none()) device = done[1];
    }
    return py::make_tuple(in_vals, device);
  }
  if (host::is_tensor(in_vals)) {
    py::object result = killed_tensor(in_vals, killing, device);
    return py::make_tuple(result, device);
  }
  return py::make_tuple(in_vals, device);
}

// ---- shape reduction -------------------------------------------------------------------

namespace {
Reduction parse_triple(py::object triple) {
  Reduction r;
  py::tuple t = py::reinterpret_borrow<py::tuple>(triple);
  for (py::handle d : t[0]) r.math_dims.push_back(host::as_int(d));
  for (py::handle d : t[1]) r.view_shape.push_back(host::as_int(d));
  r.full_mult = host::as_float(t[2]);
  r.triple = std::move(triple);
  return r;
}
}  // namespace

Reduction tuples_and_mult(const at::Tensor& val, py::handle values) {
  if (host::flag(host::names::get_fixed_input_sizes()) && py::hasattr(values, host::names::full_mult_cache())) {
    if (py::hasattr(values, host::names::_tuples_py_cache())) {
      return parse_triple(values.attr(host::names::_tuples_py_cache()));
    }
    at::Tensor full_mult_cache = host::tensor_attr(values, host::names::full_mult_cache());
    double cached_mult = full_mult_cache.reshape({-1})[0].item<double>();
    if (cached_mult > 0) {
      at::Tensor math_cache = host::tensor_attr(values, host::names::math_tuple_cache()).reshape({-1}).cpu();
      at::Tensor view_cache = host::tensor_attr(values, host::names::view_tuple_cache()).reshape({-1}).cpu();
      py::list math_tuple, view_tuple;
      for (int64_t i = 0; i < math_cache.numel(); ++i) {
        int64_t d = math_cache[i].item<int64_t>();
        if (d >= 0) math_tuple.append(d);
      }
      for (int64_t i = 0; i < view_cache.numel(); ++i) view_tuple.append(view_cache[i].item<int64_t>());
      py::tuple triple = py::make_tuple(math_tuple, view_tuple, cached_mult);
      values.attr(host::names::_tuples_py_cache()) = triple;
      return parse_triple(triple);
    }
  }
  long long node_index = host::as_int(values.attr(host::names::this_node_index()));
  py::object dims = values.attr(host::names::this_output_dimensions());
  Reduction r;
  py::list math_tuple, view_tuple;
  long long full_mult = 1;
  for (int64_t i = 0; i < val.dim(); ++i) {
    if (i == node_index) {
      view_tuple.append(-1);
      r.view_shape.push_back(-1);
    } else if (host::as_int(dims[py::int_(i)]) == 1) {
      view_tuple.append(val.size(i));
      r.view_shape.push_back(val.size(i));
    } else {
      full_mult *= val.size(i);
      math_tuple.append(i);
      view_tuple.append(1);
      r.math_dims.push_back(i);
      r.view_shape.push_back(1);
    }
  }
  r.full_mult = static_cast<double>(full_mult);
  r.triple = py::make_tuple(math_tuple, view_tuple, full_mult);
  return r;
}

}  // namespace dgr::modules

using namespace dgr::modules;
namespace host = dgr::host;

PYBIND11_MODULE(modules_dgr, m) {
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);
  m.doc() =
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
  // Partially initialised modules are visible to the host while loading, as for
  // a Python module: the host's name lists call back into the update hooks below.
  py::module_::import("sys").attr("modules")["dendrograd.modules_dgr"] = m;

  // Dependencies, under the names the host's code expects to find on this module.
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("init") = py::module_::import("torch.nn.init");
  m.attr("F") = py::module_::import("torch.nn.functional");
  for (const char* name : {"math", "sys", "pdb", "os", "time", "copy", "random", "traceback"}) {
    m.attr(name) = py::module_::import(name);
  }
  m.attr("np") = py::module_::import("numpy");
  m.attr("chain") = py::module_::import("itertools").attr("chain");
  m.attr("datetime") = py::module_::import("datetime").attr("datetime");
  m.attr("GDL") = py::module_::import("dendrolab.globals_dendrolab");
  m.attr("MDL") = py::module_::import("dendrolab.modules_dendrolab");

  m.def("update_dendrite_tensor_values", &update_dendrite_tensor_values, py::arg("DENDRITE_TENSOR_VALUES"),
        "Returns a new list: the host's tensor value names followed by the 15 per-candidate tensor\n"
        "names this module needs on every value holder (prev_dendrite_candidate_correlation, ...,\n"
        "best_pearson_correlation). The argument is not modified.\n\n"
        "Raises TypeError when DENDRITE_TENSOR_VALUES is not a list.");
  m.def("update_dendrite_single_values", &update_dendrite_single_values, py::arg("DENDRITE_SINGLE_VALUES"),
        "Returns a new list: the host's single value names followed by \"breaking\", \"locked\",\n"
        "\"best_score_improved_this_epoch\" and \"running_scalar\" (one-element tensors on every\n"
        "value holder). The argument is not modified.\n\n"
        "Raises TypeError when DENDRITE_SINGLE_VALUES is not a list.");
  m.attr("_variant_tensor_values") = py::list();
  m.attr("_variant_single_values") = py::list();
  m.def("register_dendrite_variant_values", &register_dendrite_variant_values,
        py::arg("tensor_values") = py::none(), py::arg("single_values") = py::none(),
        py::arg("reinit_skip_values") = py::none(),
        "Adds a model variant's names to the value registry. Non-empty tensor_values and\n"
        "single_values extend _variant_tensor_values / _variant_single_values in place (repeats are\n"
        "kept) and set the host's matching name caches in dendrolab.modules_dendrolab to None;\n"
        "non-empty reinit_skip_values rebinds NON_LIVE_SKIP_VALUES to a new, longer list.\n"
        "None or empty arguments change nothing. Registrations last for the process.\n\n"
        "Raises TypeError when a non-empty argument is not iterable.");
  m.attr("NON_LIVE_SKIP_VALUES") = py::list(py::make_tuple("normal_pass_average_d"));
  if (host::flag(host::names::get_doing_thing())) {
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
  m.def("update_value_tracker_arrays", &update_value_tracker_arrays, py::arg("VALUE_TRACKER_ARRAYS"),
        "Returns a new list: the host's value tracker array names followed by \"current_parent_d\"\n"
        "(per device index, the stored neuron errors). The argument is not modified.\n\n"
        "Raises TypeError when VALUE_TRACKER_ARRAYS is not a list.");
  m.def("load_tagger_values", &load_tagger_values, py::arg("neuron_module"),
        "Calls neuron_module.dendrite_module.load_tagger_values() and discards its result; returns None.\n\n"
        "Raises AttributeError when the neuron module has no dendrite module or the method is missing.");
  m.def("custom_set_module_n_dg", [](py::handle) {}, py::arg("neuron_module"),
        "Replacement point called at the end of set_module_n_dg; does nothing. Rebind this module\n"
        "attribute to a function of one argument (the neuron module) to extend the switch to n mode;\n"
        "set_module_n_dg looks it up at every call.");
  m.def("custom_set_module_p_dg", [](py::handle) {}, py::arg("neuron_module"),
        "Replacement point called at the end of set_module_p_dg; does nothing. Rebind this module\n"
        "attribute to a function of one argument (the neuron module) to extend the switch to p mode;\n"
        "set_module_p_dg looks it up at every call.");

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

  m.def("create_extra_tensors", &create_extra_tensors, py::arg("dendrite_module"),
        "Gives a dendrite module its bookkeeping attributes: current_recurrent_pass_tensors and\n"
        "current_recurrent_pass_candidate_tensors (new empty lists), normal_learning_taggers (a new\n"
        "empty dict) and random_arb_to_candidates (GDL.pc.get_default_random_arb_to_candidates()).\n"
        "Calling it again replaces all four. Call it before init_candidates.");
  m.def("init_candidates", &init_candidates, py::arg("dendrite_module"), py::arg("j"),
        "Prepares the connection weights dendrites_to_candidates[j] of candidate j: marks their .data\n"
        "with arb_wrapped = True and, when dendrite_module.random_arb_to_candidates is truthy, fills\n"
        "them in place with normal samples of mean 0 and standard deviation sqrt(2 / out_channels).\n\n"
        "Raises ZeroDivisionError when the random start is on and out_channels is 0 (the weights are\n"
        "marked but not filled), TypeError when the weights are not a tensor.");
  m.def("reinitialize_for_dg", &reinitialize_for_dg, py::arg("dendrite_module"),
        "Resets the collected statistics before candidates train again. Every name returned by\n"
        "MDL.get_DENDRITE_REINIT_VALUES() is replaced by its product with 0 (a new object; NaN stays\n"
        "NaN), except names in NON_LIVE_SKIP_VALUES when dendrites do not learn live. Then a clone of\n"
        "normal_pass_average_d is copied into parents_average_d_vector (and normal_pass_max_mean_act\n"
        "into parent_max_mean_act under get_doing_thing()), which stop requiring gradients.\n\n"
        "Raises AttributeError for a reinit name the object lacks (earlier names are already reset),\n"
        "RuntimeError when an average does not broadcast to its target.");

  m.def("grad_killer", &grad_killer, py::arg("inp"),
        "Identity whose backward passes a zero gradient: returns a tensor with the values of inp,\n"
        "and backward through it gives inp a gradient of zeros of its shape.\n\n"
        "Raises TypeError when inp is not a tensor.");
  m.def("killer_recursive",
        [](py::handle in_vals, py::handle killing) { return killer_recursive(in_vals, host::truthy(killing)); },
        py::arg("in_vals"), py::arg("killing"),
        "Walks a nested input structure and, when killing is truthy, replaces every tensor by a\n"
        "detached clone, so that nothing computed from it sends gradients back into the inputs.\n"
        "Only exact list, tuple and dict are walked (subclasses are leaves); lists and dicts are\n"
        "changed in place, tuples rebuilt. Returns (structure, device of the last tensor found or None).\n\n"
        "Raises RecursionError for a structure that contains itself.");
  m.def("get_tuples_and_mult",
        [](const at::Tensor& val, py::handle values) { return tuples_and_mult(val, values).triple; },
        py::arg("val"), py::arg("values"),
        "Returns the shape-reduction triple (math_tuple, view_tuple, full_mult) for a tensor shaped like\n"
        "the neuron output and a value holder: the reduced dimensions, a shape that broadcasts a\n"
        "per-neuron vector back (-1 at this_node_index, the size at dimensions whose\n"
        "this_output_dimensions entry is 1, else 1) and the number of reduced elements. With\n"
        "GDL.pc.get_fixed_input_sizes() and populated cache buffers the first cached triple is kept as\n"
        "values._tuples_py_cache and returned from then on, whatever val's shape.\n\n"
        "Raises TypeError when val is not a tensor, AttributeError when the holder lacks a shape field.");

  register_learning(m);
  register_kernels(m);
  register_pairing(m);
  m.attr("dendrite_loss_fn") = py::none();
}
