// ARBModulePyThread: the inference form of one neuron with its accepted dendrites, built
// from an ARBLayer whose members it takes over by reference. It is an nn.Module subclass
// created at import time with type(name, (nn.Module,), dict); its methods are C++
// functions attached to the class afterwards. __module__/__qualname__ name this module, so
// pickle (torch.save of a whole module, copy.deepcopy) finds the class again by reference.
#include "deploy_net.h"

#include <string>

namespace dgr::deploy {
namespace {

py::object as_index_buffer(py::handle owner, py::handle value) {
  if (host::is_tensor(value)) return host::wrap(host::tensor(value).detach().clone());
  if (!PyIndex_Check(value.ptr())) {
    throw py::type_error(host::class_name(owner) + ".node_index must be a tensor or an integer, got " +
                         host::class_name(value));
  }
  return host::wrap(at::tensor({static_cast<int64_t>(host::as_int(value))}, at::kLong));
}

void thread_module_init(py::object self, py::object original) {
  for (const char* name : {"layer_array", "processor_array", "node_index", "module_id", "num_cycles", "view_tuple"}) {
    if (!py::hasattr(original, name)) {
      host::argument_error(host::Mistake::wrong_type, "ARBModulePyThread",
                           "original_module must be a block layer (ARBLayer), got " + host::class_name(original) +
                               " without '" + name + "'");
    }
  }
  at::Tensor skip = optional_tensor_attr(original, DGR_STR("skip_weights"));
  host::nn_attr("Module").attr("__init__")(self);
  self.attr("layer_array") = original.attr(DGR_STR("layer_array"));
  self.attr("processor_array") = original.attr(DGR_STR("processor_array"));
  if (skip.defined() && skip.dim() > 0 && skip.size(0) > 1) {
    // Entries 1.. of the block's weights, sharing its storage.
    self.attr("skip_weights") = host::nn_attr("Parameter")(host::wrap(skip.detach().slice(0, 1)),
                                                           py::arg("requires_grad") = skip.requires_grad());
  }
  py::object register_buffer = self.attr("register_buffer");
  register_buffer("node_index", as_index_buffer(original, original.attr(DGR_STR("node_index"))));
  register_buffer("module_id", host::wrap(host::tensor_attr(original, DGR_STR("module_id")).detach().clone()));
  register_buffer("num_cycles", original.attr(host::names::num_cycles()));
  register_buffer("view_tuple", original.attr(DGR_STR("view_tuple")));
}

py::object thread_module_forward(py::object self, py::args args, py::kwargs kwargs) {
  const bool threading = host::truthy(host::this_module().attr(DGR_STR("doing_threading")));
  return run_block(self, args, kwargs, threading, 1, py::none());
}

void process_and_forward(py::object self, py::object c, py::list out_values, py::args args, py::kwargs kwargs) {
  if (!PyIndex_Check(c.ptr())) {
    host::argument_error(host::Mistake::wrong_type, "process_and_forward",
                         "c must be an integer, got " + host::class_name(c));
  }
  const long long index = host::as_int(c);
  const size_t n = layers_of(self).size();
  if (index < 0 || static_cast<size_t>(index) + 1 >= n) {
    throw py::index_error("process_and_forward: c = " + std::to_string(index) +
                          " is not a dendrite layer of a block with " + std::to_string(n) +
                          " layers (dendrites are 0.." + std::to_string(static_cast<long long>(n) - 2) + ")");
  }
  if (static_cast<size_t>(index) >= out_values.size()) {
    throw py::index_error("process_and_forward: out_values has " + std::to_string(out_values.size()) +
                          " entries, too few for layer " + std::to_string(index));
  }
  py::object layer = self.attr(DGR_STR("layer_array"))[py::int_(index)];
  py::object processor = self.attr(DGR_STR("processor_array"))[py::int_(index)];
  run_dendrite(layer, processor, out_values, static_cast<size_t>(index), args, kwargs);
}

void process_and_pre(py::object self, py::list out_values, py::args args, py::kwargs kwargs) {
  py::list layers = layers_of(self);
  const size_t n = layers.size();
  if (n == 0) host::argument_error(host::Mistake::bad_value, "process_and_pre", "the dendrite block has no layers");
  if (out_values.size() < n) {
    throw py::index_error("process_and_pre: out_values has " + std::to_string(out_values.size()) +
                          " entries, the block has " + std::to_string(n) + " layers");
  }
  py::object processor = self.attr(DGR_STR("processor_array"))[py::int_(n - 1)];
  run_main(layers[n - 1], processor, out_values, n - 1, args, kwargs);
}

py::object make_class() {
  py::object cls = host::define_module_class(
      "ARBModulePyThread", "dendrograd.deploy_net",
      "Inference form of one neuron with its accepted dendrites.\n\n"
      "Built from an ARBLayer; takes over its layer_array, processor_array and skip weights by\n"
      "reference. forward evaluates every layer on the same input (on threads of their own when\n"
      "deploy_net.doing_threading is true) and combines the outputs as a cascade.");
  host::define_method(cls, "__init__", &thread_module_init, py::arg("original_module"));
  host::define_method(cls, "forward", &thread_module_forward);
  host::define_method(cls, "process_and_forward", &process_and_forward, py::arg("c"), py::arg("out_values"));
  host::define_method(cls, "process_and_pre", &process_and_pre, py::arg("out_values"));
  return cls;
}

}  // namespace

void register_thread_module(py::module_& m) {
  py::object cls = make_class();
  m.attr("ARBModulePyThread") = cls;
  m.attr("ModuleType") = cls;  // the name the walk recognises converted modules by
}

}  // namespace dgr::deploy
