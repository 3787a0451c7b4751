// The block-wise conversion: a walk over the module tree that rewrites every neuron module
// it meets into one ARBLayer (block_layer.cpp). deploy_net then turns each block into its
// inference module.
#include "blockwise_dgr.h"

#include <string>
#include <vector>

namespace dgr::blockwise {
namespace {

using host::extra_verbose;

py::handle neuron_module_class() { return host::MDL().attr(host::names::ARBNeuronModule()); }

void unwrap_params(py::object model) {
  host::require_module(model, "unWrap_params", "model");
  py::str wrapped("wrapped");
  for (py::handle p : model.attr("parameters")()) {
    py::list names = py::reinterpret_steal<py::list>(PyObject_Dir(p.ptr()));
    if (!names) throw py::error_already_set();
    if (host::contains(names, wrapped)) py::delattr(p, wrapped);
  }
}

// A TypeError unless `pretrained` has every member of a neuron module that the conversion reads.
void require_neuron_module(py::handle pretrained) {
  host::require_module(pretrained, "convert_to_arb_layer_block", "pretrained_dendrite");
  for (const char* name : {"main_module", "dendrite_module", "processor", "dendrites_to_top", "dendrites_to_dendrites",
                           "this_node_index", "num_cycles"}) {
    if (!py::hasattr(pretrained, name)) {
      host::argument_error(host::Mistake::wrong_type, "convert_to_arb_layer_block",
                           "pretrained_dendrite must be a neuron module (ARBNeuronModule), got " +
                               host::class_name(pretrained) + " without '" + name + "'");
    }
  }
}

// The dendrite layers, then the main layer, with their processors rebound for deployment.
void gather_layers(py::handle pretrained, py::handle dendrite_module, py::list& layer_array,
                   py::list& processor_array) {
  py::object layers = dendrite_module.attr(host::names::layers());
  py::object processors = dendrite_module.attr(host::names::processors());
  const auto count = py::len(layers);
  for (size_t i = 0; i < count; ++i) {
    layer_array.append(layers[py::int_(i)]);
    if (py::len(processors) == 0) {
      processor_array.append(py::none());
      continue;
    }
    py::object processor = processors[py::int_(i)];
    if (!processor.is_none()) {
      processor.attr("pre") = processor.attr("pre_d");
      processor.attr("post") = processor.attr("post_d");
    }
    processor_array.append(processor);
  }
  layer_array.append(pretrained.attr(host::names::main_module()));
  py::object processor = pretrained.attr(host::names::processor());
  if (!processor.is_none()) {
    processor.attr("pre") = processor.attr("post_n1");
    processor.attr("post") = processor.attr("post_n2");
  }
  processor_array.append(processor);
}

py::object convert_to_arb_layer_block(py::object pretrained) {
  require_neuron_module(pretrained);
  unwrap_params(pretrained);
  py::list layer_array, processor_array;
  py::object dendrite_module = pretrained.attr(host::names::dendrite_module());
  gather_layers(pretrained, dendrite_module, layer_array, processor_array);

  // -1 at the neuron dimension, 1 elsewhere: one skip weight per neuron, broadcast over the rest.
  py::object first = dendrite_module.attr(host::names::dendrite_values())[py::int_(0)];
  const long long node = host::as_int(first.attr(host::names::this_node_index()));
  const auto dims = py::len(first.attr(host::names::this_output_dimensions()));
  py::list view_tuple;
  for (size_t j = 0; j < dims; ++j) view_tuple.append(static_cast<long long>(j) == node ? -1 : 1);

  return host::this_module().attr("ARBLayer")(host::nn_attr("Sequential")(*layer_array), processor_array,
                                              pretrained.attr(host::names::dendrites_to_top()),
                                              pretrained.attr(host::names::dendrites_to_dendrites()),
                                              pretrained.attr(host::names::this_node_index()),
                                              pretrained.attr(host::names::num_cycles()), view_tuple);
}

// The walk of optimize_module. `path` holds the modules from the root down to `net`: a
// member that refers back to one of them (a cycle in the attribute graph) is not entered.
py::object optimize_walk(py::object net, py::str name_so_far, py::list converted_list, std::vector<PyObject*>& path) {
  host::WalkLevel level(path, net, " while converting a module tree to blocks");
  py::handle neuron_cls = neuron_module_class();
  if (host::is_container(net)) {
    for (auto& [submodule_id, child] : host::container_children(net)) {
      py::str child_path = name_so_far + py::str("[") + py::str(submodule_id) + py::str("]");
      if (py::type::of(child).is(neuron_cls)) {
        if (extra_verbose()) host::print(host::percent("Seq sub is ARB so optimizing: %s", child_path));
        py::setattr(net, submodule_id, convert_to_arb_layer_block(child));
      } else if (!level.leads_back(child)) {
        converted_list.append(child_path);
        py::setattr(net, submodule_id, optimize_walk(child, child_path, converted_list, path));
      } else if (extra_verbose()) {
        host::print(host::percent("%s is a self pointer so skipping", child_path));
      }
    }
    return net;
  }
  py::handle module_cls = host::nn_attr("Module");
  level.for_each_attribute([&](py::handle member, py::handle value) {
    py::str sub_name = name_so_far + py::str(".") + py::str(member);
    if (host::contains(host::get(host::names::get_module_names_to_not_save()), sub_name) ||
        host::contains(converted_list, sub_name)) {
      if (extra_verbose()) host::print(host::percent("Skipping %s during save", sub_name));
      return;
    }
    if (py::type::of(value).is(neuron_cls)) {
      if (extra_verbose()) {
        host::print(host::percent("Sub is in conversion list so initiating optimization for: %s", sub_name));
      }
      py::setattr(net, member, convert_to_arb_layer_block(py::reinterpret_borrow<py::object>(value)));
    } else if (host::is_instance(value, module_cls)) {
      converted_list.append(sub_name);
      if (!level.leads_back(value)) {
        py::object child = py::reinterpret_borrow<py::object>(value);
        py::setattr(net, member, optimize_walk(child, sub_name, converted_list, path));
      } else if (extra_verbose()) {
        host::print(host::percent("%s is a self pointer so skipping", sub_name));
      }
    }
  });
  return net;
}

// `depth` is taken for the host's calls; the conversion does not depend on it.
py::object optimize_module(py::object net, long long depth, py::str name_so_far, py::list converted_list) {
  std::vector<PyObject*> path;
  return optimize_walk(std::move(net), std::move(name_so_far), std::move(converted_list), path);
}

py::object blockwise_network(py::object net) {
  host::require_module(net, "blockwise_network", "net");
  return optimize_module(net, 0, py::str(""), py::list());
}

}  // namespace

void register_conversion(py::module_& m) {
  m.def("blockwise_network", &blockwise_network, py::arg("net"),
        "Converts every neuron module of the network into an ARBLayer; returns the converted root.");
  m.def("optimize_module", &optimize_module, py::arg("net"), py::arg("depth"), py::arg("name_so_far"),
        py::arg("converted_list"), "The walk of blockwise_network below `net`; returns `net`, changed in place.");
  m.def("convert_to_arb_layer_block", &convert_to_arb_layer_block, py::arg("pretrained_dendrite"),
        "A new ARBLayer holding the neuron module's dendrite layers, main layer, processors and skip weights.");
  m.def("unWrap_params", &unwrap_params, py::arg("model"),
        "Removes the attribute `wrapped` from every parameter of the model that has it.");
}

}  // namespace dgr::blockwise
