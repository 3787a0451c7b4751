// Tracker diagnostics for parameters the optimizer does not see: the advice printed for a
// parameter without a role tag, the lookup of a parameter's name by the id that advice
// prints, and the membership report of a model's parameters in an optimizer.
#include "tracker.h"

#include <string>
#include <unordered_set>

namespace dgr::tracker {
namespace {

// id(obj), as Python gives it.
py::object python_id(py::handle obj) { return py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(obj.ptr())); }

py::object find_param_name_by_id(py::handle model, py::handle param_id) {
  for (py::handle item : model.attr("named_parameters")(py::arg("recurse") = true)) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    if (python_id(named[1]).equal(param_id)) return py::str("." + std::string(py::str(named[0])));
  }
  return py::none();
}

void report_optimizer_model_membership(py::handle optimizer, py::handle model) {
  std::unordered_set<PyObject*> in_optimizer;
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    if (!group.contains(py::str("params"))) continue;
    for (py::handle p : group[py::str("params")]) in_optimizer.insert(p.ptr());
  }
  for (py::handle item : model.attr("named_parameters")(py::arg("recurse") = true)) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    host::print(std::string(py::str(named[0])) + ": " + (in_optimizer.count(named[1].ptr()) ? "IN" : "NOT IN"));
  }
}

}  // namespace

void report_untagged_parameter(py::handle param, bool n_mode) {
  host::print(std::string("Dendrolab WARNING: Parameter does not have parameter_type attribute in ") +
              (n_mode ? "n" : "p") + " mode");
  host::print("You can find the name of this param by going \"up\" in the stack trace to where your model "
              "exists locally and calling:");
  host::print(host::percent("dendrograd.tracker_dgr.find_param_name_by_id(model, %d)", python_id(param)));
  host::print("Build the optimizer from the model's parameters after dendrolab.utils_dendrolab.initialize_arb(model), "
              "which tags every parameter of the model it wraps;");
  host::print("for parameters added to the model after wrapping, call dendrolab.utils_dendrolab.retag(model), "
              "which tags the untagged ones as neuron parameters;");
  host::print("a parameter outside the wrapped model can be tagged by hand: param.parameter_type = \"neuron\".");
  host::debugger_stop("an optimizer parameter has no parameter_type role tag");
}

void register_diagnostics(py::module_& m) {
  m.def("find_param_name_by_id", &find_param_name_by_id, py::arg("model"), py::arg("param_id"),
        "Returns \".\" + the name (as in model.named_parameters()) of the model's parameter whose\n"
        "id() equals param_id, e.g. \".layer1.weight\", or None when no parameter matches. Meant for\n"
        "the id printed by filter_single_param_group's missing-tag warning.\n\n"
        "Raises AttributeError when model has no named_parameters method.");
  m.def("report_optimizer_model_membership", &report_optimizer_model_membership, py::arg("optimizer"),
        py::arg("model"),
        "Prints one line per parameter of model.named_parameters(): \"<name>: IN\" when the same\n"
        "tensor object is in one of the optimizer's param_groups (groups without \"params\" are\n"
        "skipped), else \"<name>: NOT IN\". Changes nothing; returns None.\n\n"
        "Raises AttributeError when optimizer has no param_groups or model no named_parameters.");
}

}  // namespace dgr::tracker
