// modules_dgr: value registry, parameter roles, mode hooks, candidate lifecycle,
// gradient killing and the shape-reduction helper. The learning half lives in
// learning.cpp and is registered from here.
#include "modules_dgr.h"

#include <c10/core/DeviceGuard.h>
#include <torch/csrc/autograd/custom_function.h>

#include <cmath>

namespace dgr::modules {
namespace {

PyObject* g_module = nullptr;  // borrowed for the life of the process

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
  py::handle m = self_module();
  if (host::truthy(tensor_values)) {
    m.attr("_variant_tensor_values").attr("extend")(tensor_values);
    host_modules.attr("_cached_dendrite_tensor_values") = py::none();
    host_modules.attr("_cached_dendrite_tensor_dg_state") = py::none();
  }
  if (host::truthy(single_values)) {
    m.attr("_variant_single_values").attr("extend")(single_values);
    host_modules.attr("_cached_dendrite_single_values") = py::none();
    host_modules.attr("_cached_dendrite_single_dg_state") = py::none();
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
  neuron_module.attr("dendrite_module").attr("load_tagger_values")();
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
  if (host::flag(DGR_STR("get_verbose"))) host::print("so calling all the things to add to layers");
  long long candidates = host::integer(DGR_STR("get_global_candidates"));
  py::object holders = dendrite_module.attr(DGR_STR("dendrite_values"));
  for (long long i = 0; i < candidates; ++i) {
    set_element0(host::tensor_attr(holders[py::int_(i)], DGR_STR("locked")), 1.0);
  }
}

void set_module_n_dg(py::handle neuron_module) {
  self_module().attr("custom_set_module_n_dg")(neuron_module);
}

at::Device to_device(py::handle device) {
  if (THPDevice_Check(device.ptr())) return device.cast<at::Device>();
  return at::Device(py::str(device).cast<std::string>());
}

// Options of the first floating-point parameter of the neuron module's own layer, so
// that the live connection matches the layer after model.double() or model.to(...);
// the module configuration's dtype and device for a layer without one.
at::TensorOptions layer_options(py::handle neuron_module, py::handle config) {
  py::object layer = py::getattr(neuron_module, "main_module", py::none());
  if (!layer.is_none() && py::hasattr(layer, "parameters")) {
    for (py::handle p : layer.attr("parameters")()) {
      if (!host::is_tensor(p)) continue;
      at::Tensor t = host::tensor(p);
      if (t.is_floating_point()) return at::TensorOptions().device(t.device()).dtype(t.scalar_type());
    }
  }
  return at::TensorOptions()
      .device(to_device(config.attr("get_device")()))
      .dtype(config.attr("get_d_type")().cast<at::ScalarType>());
}

void set_module_p_dg(py::handle neuron_module) {
  py::object config = neuron_module.attr("module_config");
  if (host::truthy(config.attr("get_learn_dendrites_live")())) {
    long long channels = host::as_int(neuron_module.attr("out_channels"));
    const at::TensorOptions options = layer_options(neuron_module, config);
    at::Tensor zeros = at::zeros({1, channels}, options).detach().clone();
    py::object parameter = parameter_class()(host::wrap(zeros), py::arg("requires_grad") = true);
    neuron_module.attr("candidate_to_top") = parameter;
    neuron_module.attr("register_parameter")("current_candidate_to_top", parameter);
    neuron_module.attr("current_candidate_to_top").attr("parameter_type") = py::str("candidate");
  }
  self_module().attr("custom_set_module_p_dg")(neuron_module);
}

// ---- candidate lifecycle ---------------------------------------------------------

void create_extra_tensors(py::handle dendrite_module) {
  dendrite_module.attr("current_recurrent_pass_tensors") = py::list();
  dendrite_module.attr("current_recurrent_pass_candidate_tensors") = py::list();
  dendrite_module.attr("normal_learning_taggers") = py::dict();
  dendrite_module.attr("random_arb_to_candidates") = host::get(DGR_STR("get_default_random_arb_to_candidates"));
}

void init_candidates(py::handle dendrite_module, py::handle j) {
  py::object weights = dendrite_module.attr("dendrites_to_candidates")[j];
  weights.attr("data").attr("arb_wrapped") = true;
  if (!host::truthy(dendrite_module.attr("random_arb_to_candidates"))) return;
  double channels = host::as_float(dendrite_module.attr("out_channels"));
  if (channels == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw py::error_already_set();
  }
  at::Tensor w = host::tensor(weights);
  at::NoGradGuard no_grad;
  w.normal_(0, std::sqrt(2.0 / channels));
}

void reinitialize_for_dg(py::handle holder) {
  py::object names = host::MDL().attr("get_DENDRITE_REINIT_VALUES")();
  for (py::handle name : names) {
    py::object skip_list = self_module().attr("NON_LIVE_SKIP_VALUES");
    if (skip_list.contains(name) && !host::flag(DGR_STR("get_learn_dendrites_live"))) continue;
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
  if (host::flag(DGR_STR("get_doing_thing"))) freeze_copy("normal_pass_max_mean_act", "parent_max_mean_act");
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

py::handle self_module() { return py::handle(g_module); }

void set_element0(const at::Tensor& t, double value) {
  at::NoGradGuard no_grad;
  (t.dim() == 0 ? t : t.reshape({-1}).select(0, 0)).fill_(value);
}

namespace {
// Python's recursion limit for the walk: a list that contains itself raises RecursionError.
class RecursionGuard {
 public:
  RecursionGuard() {
    if (Py_EnterRecursiveCall(" while walking the inputs of a neuron module")) throw py::error_already_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};
}  // namespace

py::tuple killer_recursive(py::handle in_vals, bool killing) {
  RecursionGuard guard;
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
  if (host::flag(DGR_STR("get_fixed_input_sizes")) && py::hasattr(values, DGR_STR("full_mult_cache"))) {
    if (py::hasattr(values, DGR_STR("_tuples_py_cache"))) {
      return parse_triple(values.attr(DGR_STR("_tuples_py_cache")));
    }
    at::Tensor full_mult_cache = host::tensor_attr(values, DGR_STR("full_mult_cache"));
    double cached_mult = full_mult_cache.reshape({-1})[0].item<double>();
    if (cached_mult > 0) {
      at::Tensor math_cache = host::tensor_attr(values, DGR_STR("math_tuple_cache")).reshape({-1}).cpu();
      at::Tensor view_cache = host::tensor_attr(values, DGR_STR("view_tuple_cache")).reshape({-1}).cpu();
      py::list math_tuple, view_tuple;
      for (int64_t i = 0; i < math_cache.numel(); ++i) {
        int64_t d = math_cache[i].item<int64_t>();
        if (d >= 0) math_tuple.append(d);
      }
      for (int64_t i = 0; i < view_cache.numel(); ++i) view_tuple.append(view_cache[i].item<int64_t>());
      py::tuple triple = py::make_tuple(math_tuple, view_tuple, cached_mult);
      values.attr(DGR_STR("_tuples_py_cache")) = triple;
      return parse_triple(triple);
    }
  }
  long long node_index = host::as_int(values.attr(DGR_STR("this_node_index")));
  py::object dims = values.attr(DGR_STR("this_output_dimensions"));
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
  g_module = m.ptr();
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
        "The host's tensor value names followed by the add-on's 15 per-candidate tensors (a new list).");
  m.def("update_dendrite_single_values", &update_dendrite_single_values, py::arg("DENDRITE_SINGLE_VALUES"),
        "The host's single value names followed by the add-on's four (a new list).");
  m.attr("_variant_tensor_values") = py::list();
  m.attr("_variant_single_values") = py::list();
  m.def("register_dendrite_variant_values", &register_dendrite_variant_values,
        py::arg("tensor_values") = py::none(), py::arg("single_values") = py::none(),
        py::arg("reinit_skip_values") = py::none(),
        "Adds a model variant's names to the registry and resets the host's name caches.");
  m.attr("NON_LIVE_SKIP_VALUES") = py::list(py::make_tuple("normal_pass_average_d"));
  if (host::flag(DGR_STR("get_doing_thing"))) {
    py::list singles(host::MDL().attr("get_DENDRITE_SINGLE_VALUES")());
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
        "The host's value tracker array names followed by current_parent_d (a new list).");
  m.def("load_tagger_values", &load_tagger_values, py::arg("neuron_module"));
  m.def("custom_set_module_n_dg", [](py::handle) {}, py::arg("neuron_module"),
        "Replacement point called at the end of set_module_n_dg; does nothing.");
  m.def("custom_set_module_p_dg", [](py::handle) {}, py::arg("neuron_module"),
        "Replacement point called at the end of set_module_p_dg; does nothing.");

  m.def("set_parameters", &set_parameters, py::arg("module"), py::arg("parameter_type"));
  m.def("set_neuron_parameters", [](py::handle mod) { set_parameters(mod, py::str("neuron")); }, py::arg("module"));
  m.def("set_dendrite_parameters", [](py::handle mod) { set_parameters(mod, py::str("dendrite")); }, py::arg("module"));
  m.def("set_candidate_parameters", [](py::handle mod) { set_parameters(mod, py::str("candidate")); },
        py::arg("module"));
  m.def("set_ignored_parameters", [](py::handle mod) { set_parameters(mod, py::str("ignored")); }, py::arg("module"));
  m.def("set_main_parameters", &set_main_parameters, py::arg("module"),
        "Tags 'neuron' on the parameters that are direct attributes of the module only.");
  m.def("set_dg_mode", &set_dg_mode, py::arg("dendrite_module"), py::arg("mode"));
  m.def("set_module_n_dg", &set_module_n_dg, py::arg("neuron_module"));
  m.def("set_module_p_dg", &set_module_p_dg, py::arg("neuron_module"));

  m.def("create_extra_tensors", &create_extra_tensors, py::arg("dendrite_module"));
  m.def("init_candidates", &init_candidates, py::arg("dendrite_module"), py::arg("j"));
  m.def("reinitialize_for_dg", &reinitialize_for_dg, py::arg("dendrite_module"));

  m.def("grad_killer", &grad_killer, py::arg("inp"), "Identity whose backward passes a zero gradient.");
  m.def("killer_recursive",
        [](py::handle in_vals, py::handle killing) { return killer_recursive(in_vals, host::truthy(killing)); },
        py::arg("in_vals"), py::arg("killing"));
  m.def("get_tuples_and_mult",
        [](const at::Tensor& val, py::handle values) { return tuples_and_mult(val, values).triple; },
        py::arg("val"), py::arg("values"));

  register_learning(m);
  register_pairing(m);
  m.attr("dendrite_loss_fn") = py::none();
}
