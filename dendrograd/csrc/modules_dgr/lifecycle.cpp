// modules_dgr: a dendrite module's bookkeeping attributes, the start of each new
// candidate's connection weights, and the reset of the collected statistics before the
// candidates train again.
#include "modules_dgr.h"

#include <cmath>

namespace dgr::modules {
namespace {

void create_extra_tensors(py::handle dendrite_module) {
  dendrite_module.attr(host::names::current_recurrent_pass_tensors()) = py::list();
  dendrite_module.attr(host::names::current_recurrent_pass_candidate_tensors()) = py::list();
  dendrite_module.attr(host::names::normal_learning_taggers()) = py::dict();
  dendrite_module.attr(host::names::random_arb_to_candidates()) =
      host::get(host::names::get_default_random_arb_to_candidates());
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

// value * 0 as a new object: a product, so NaN stays NaN.
py::object zeroed(py::handle value) {
  if (host::is_tensor(value)) return host::wrap(host::tensor(value).mul(0));
  py::object product = py::reinterpret_steal<py::object>(PyNumber_Multiply(value.ptr(), py::int_(0).ptr()));
  if (!product) throw py::error_already_set();
  return product;
}

// holder.<target> becomes a frozen copy of holder.<source>.
void freeze_copy(py::handle holder, const char* source, const char* target) {
  at::Tensor from = host::tensor_attr(holder, py::str(source));
  at::Tensor to = host::tensor_attr(holder, py::str(target));
  {
    at::NoGradGuard no_grad;
    to.copy_(from.detach().clone());
  }
  to.requires_grad_(false);
}

void reinitialize_for_dg(py::handle holder) {
  py::object names = host::MDL().attr(host::names::get_DENDRITE_REINIT_VALUES())();
  for (py::handle name : names) {
    py::object skip_list = host::this_module().attr("NON_LIVE_SKIP_VALUES");
    if (skip_list.contains(name) && !host::flag(host::names::get_learn_dendrites_live())) continue;
    holder.attr(name) = zeroed(holder.attr(name));
  }
  if (host::flag(host::names::get_doing_thing())) {
    freeze_copy(holder, "normal_pass_max_mean_act", "parent_max_mean_act");
  }
  freeze_copy(holder, "normal_pass_average_d", "parents_average_d_vector");
}

}  // namespace

void register_lifecycle(py::module_& m) {
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
}

}  // namespace dgr::modules
