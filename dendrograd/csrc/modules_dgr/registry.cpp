// modules_dgr: the value registry (the per-candidate state every dendrite module must
// carry), a model variant's additions to it, the tagger reload hook and the two empty
// customisation hooks with which the mode switches end.
#include "modules_dgr.h"

#include <string>

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

const char* const kAddonTrackerArrays[] = {"current_parent_d"};

// A new list: `names` followed by `extra`.
template <size_t N>
py::list extended(py::handle names, const char* const (&extra)[N], const char* what) {
  if (!PyList_Check(names.ptr())) {
    throw py::type_error(std::string(what) + " expects a list of names, got " + host::class_name(names));
  }
  py::list result;
  for (py::handle name : names) result.append(name);
  for (const char* name : extra) result.append(py::str(name));
  return result;
}

py::list update_dendrite_tensor_values(py::handle names) {
  return extended(names, kAddonTensorValues, "update_dendrite_tensor_values");
}

py::list update_dendrite_single_values(py::handle names) {
  return extended(names, kAddonSingleValues, "update_dendrite_single_values");
}

py::list update_value_tracker_arrays(py::handle names) {
  return extended(names, kAddonTrackerArrays, "update_value_tracker_arrays");
}

// Extends the module list `list_name` in place and sets the host's two name caches to None,
// which is how the host learns that it must rebuild them.
void extend_variant_names(py::handle names, const char* list_name, py::handle cache, py::handle dg_state_cache) {
  if (!host::truthy(names)) return;
  host::this_module().attr(list_name).attr("extend")(names);
  py::module_ host_modules = py::module_::import("dendrolab.modules_dendrolab");
  host_modules.attr(cache) = py::none();
  host_modules.attr(dg_state_cache) = py::none();
}

void register_dendrite_variant_values(py::object tensor_values, py::object single_values,
                                      py::object reinit_skip_values) {
  extend_variant_names(tensor_values, "_variant_tensor_values", host::names::_cached_dendrite_tensor_values(),
                       host::names::_cached_dendrite_tensor_dg_state());
  extend_variant_names(single_values, "_variant_single_values", host::names::_cached_dendrite_single_values(),
                       host::names::_cached_dendrite_single_dg_state());
  if (host::truthy(reinit_skip_values)) {
    // A new list: references taken before the registration keep seeing the old one.
    py::handle m = host::this_module().get();
    py::list rebound;
    rebound.attr("extend")(m.attr("NON_LIVE_SKIP_VALUES"));
    rebound.attr("extend")(reinit_skip_values);
    m.attr("NON_LIVE_SKIP_VALUES") = rebound;
  }
}

void load_tagger_values(py::handle neuron_module) {
  neuron_module.attr(host::names::dendrite_module()).attr(host::names::load_tagger_values())();
}

void register_value_lists(py::module_& m) {
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
  m.def("register_dendrite_variant_values", &register_dendrite_variant_values,
        py::arg("tensor_values") = py::none(), py::arg("single_values") = py::none(),
        py::arg("reinit_skip_values") = py::none(),
        "Adds a model variant's names to the value registry. Non-empty tensor_values and\n"
        "single_values extend _variant_tensor_values / _variant_single_values in place (repeats are\n"
        "kept) and set the host's matching name caches in dendrolab.modules_dendrolab to None;\n"
        "non-empty reinit_skip_values rebinds NON_LIVE_SKIP_VALUES to a new, longer list.\n"
        "None or empty arguments change nothing. Registrations last for the process.\n\n"
        "Raises TypeError when a non-empty argument is not iterable.");
  m.def("update_value_tracker_arrays", &update_value_tracker_arrays, py::arg("VALUE_TRACKER_ARRAYS"),
        "Returns a new list: the host's value tracker array names followed by \"current_parent_d\"\n"
        "(per device index, the stored neuron errors). The argument is not modified.\n\n"
        "Raises TypeError when VALUE_TRACKER_ARRAYS is not a list.");
}

void register_hooks(py::module_& m) {
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
}

}  // namespace

void register_registry(py::module_& m) {
  register_value_lists(m);
  register_hooks(m);
}

}  // namespace dgr::modules
