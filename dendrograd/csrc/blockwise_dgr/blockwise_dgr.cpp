// blockwise_dgr: rewrites every neuron module of a trained network into one block
// layer (ARBLayer) that holds the main layer, the accepted dendrite layers, their
// processors and the packed skip weights between them. deploy_net then turns each
// block into its inference module.
//
// ARBLayer is an nn.Module subclass created at import time with
// type(name, (nn.Module,), dict); its methods are C++ functions attached afterwards.
#include "host_contract.h"

#include <ATen/CPUGeneratorImpl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace host = dgr::host;

namespace dgr::blockwise {
namespace {


// Identification texts of a block and of each of its layers.
constexpr const char* kBlockId = "dendrograd.blockwise_dgr.ARBLayer";
constexpr const char* kLayerId = "dendrograd.blockwise_dgr.ARBLayer.layer";

// Mark written into skip-weight cells that no layer reads: offsets from 'a',
// decoded at run time into the characters of the add-on's name.
constexpr int kMarkTable[] = {3, 4, 13, 3, 17, 14, 6, 17, 0, 3};
constexpr double kFillerStd = 0.01;
// The filler comes from a private generator with this seed: converting or saving a
// network never advances torch's global random state, and equal networks convert to
// equal files.
constexpr uint64_t kFillerSeed = 0x5eed'd3d7;

py::handle DN() { return DGR_CACHED_MODULE("dendrograd.deploy_net"); }
py::handle neuron_module_class() { return host::MDL().attr(host::names::ARBNeuronModule()); }

using host::extra_verbose;
using host::require_module;



py::object id_buffer(const char* text) {
  at::Tensor codes = host::tensor(host::UDL().attr(host::names::string_to_tensor())(text));
  return host::wrap(codes + 3);
}

// ---- skip-weight packing -------------------------------------------------------------

// Entry i of `entries`, row j, element k goes to packed[i][j][k]. Cells that no layer
// reads hold small normal filler, and the last row of the last entry (never read: the
// main layer reads rows 0..L-3) carries the mark.
at::Tensor pack_skip_weights(const std::vector<at::Tensor>& entries) {
  const int64_t count = static_cast<int64_t>(entries.size());
  if (count == 0) return at::zeros({0, 0, 0}, at::kFloat);
  std::vector<at::Tensor> rows;
  rows.reserve(entries.size());
  int64_t width = 0;
  for (const at::Tensor& e : entries) {
    at::Tensor r = e.dim() == 0 ? e.reshape({1, 1}) : e.dim() == 1 ? e.reshape({1, e.size(0)}) : e.flatten(1);
    width = std::max(width, r.size(1));
    rows.push_back(r);
  }
  at::TensorOptions options = entries.back().options();
  at::Generator filler_source = at::make_generator<at::CPUGeneratorImpl>(kFillerSeed);
  at::Tensor packed = (at::randn({count, count, width}, filler_source, at::TensorOptions().dtype(at::kFloat)) *
                       kFillerStd)
                          .to(options.device(), at::typeMetaToScalarType(options.dtype()));
  for (int64_t i = 0; i < count; ++i) {
    const at::Tensor& r = rows[i];
    if (r.numel() == 0) continue;
    int64_t n_rows = std::min(r.size(0), count);
    packed.select(0, i).narrow(0, 0, n_rows).narrow(1, 0, r.size(1)).copy_(r.narrow(0, 0, n_rows));
  }
  if (count >= 3 && width > 0) {
    const int64_t mark_len = std::min<int64_t>(width, static_cast<int64_t>(std::size(kMarkTable)));
    std::vector<float> mark(mark_len);
    for (int64_t k = 0; k < mark_len; ++k) mark[k] = static_cast<float>('a' + kMarkTable[k]) / 1000.0f;
    packed.select(0, count - 1).select(0, count - 1).narrow(0, 0, mark_len).copy_(at::tensor(mark, options));
  }
  return packed;
}

// ---- ARBLayer ------------------------------------------------------------------------

void block_init(py::object self, py::object layer_array, py::object processor_array, py::object dendrites_to_top,
                py::object dendrites_to_dendrites, py::object node_index, py::object num_cycles,
                py::object view_tuple) {
  require_module(layer_array, "ARBLayer", "layer_array");
  for (py::handle layer : layer_array) require_module(layer, "ARBLayer", "every entry of layer_array");
  host::nn_attr("Module").attr("__init__")(self);
  self.attr("layer_array") = layer_array;
  py::object register_buffer = self.attr("register_buffer");
  register_buffer("module_id", id_buffer(kBlockId));
  register_buffer("num_cycles", num_cycles);
  std::vector<int64_t> view;
  for (py::handle v : view_tuple) {
    if (!PyIndex_Check(v.ptr())) {
      throw py::type_error("ARBLayer: view_tuple must hold integers, got " + host::class_name(v));
    }
    view.push_back(host::as_int(v));
  }
  register_buffer("view_tuple", host::wrap(at::tensor(view, at::kLong)));
  for (py::handle layer : layer_array) layer.attr("register_buffer")("module_id", id_buffer(kLayerId));
  self.attr("processor_array") = processor_array;

  // Entry k+1 of the host's dendrites_to_dendrites feeds dendrite k; entry 0 leads.
  py::list assembled;
  if (py::len(dendrites_to_dendrites) > 0) {
    for (py::handle w : dendrites_to_dendrites) assembled.append(w);
  } else {
    assembled.append(host::wrap(at::zeros({1, 1, 1})));
  }
  const auto tops = py::len(dendrites_to_top);
  if (tops > 0) {
    assembled.append(dendrites_to_top[py::int_(tops - 1)]);
  } else {
    assembled = py::list();  // no dendrites: nothing to connect
  }
  self.attr("original") = assembled;

  std::vector<at::Tensor> entries;
  for (py::handle w : assembled) {
    entries.push_back(host::tensor(w, "ARBLayer: every entry of dendrites_to_dendrites and dendrites_to_top").detach());
  }
  at::Tensor packed;
  {
    at::NoGradGuard no_grad;
    packed = pack_skip_weights(entries);
  }
  py::object parameter = host::nn_attr("Parameter");
  const int64_t count = packed.size(0);
  if (count > 1) {
    self.attr("skip_weights") = parameter(host::wrap(packed.slice(0, 1).clone()));
  } else if (count == 0) {
    self.attr("skip_weights") = parameter(host::wrap(packed));
  }  // exactly one entry: the block has no skip weights

  if (!host::is_tensor(node_index) && !PyIndex_Check(node_index.ptr())) {
    throw py::type_error("ARBLayer: node_index must be a tensor or an integer, got " + host::class_name(node_index));
  }
  self.attr("node_index") = host::is_tensor(node_index)
                                ? node_index
                                : host::wrap(at::tensor({static_cast<int64_t>(host::as_int(node_index))}, at::kLong));
  self.attr("internal_nonlinearity") = host::get(host::names::get_arb_forward_function());
}

py::object block_forward(py::object self, py::args args, py::kwargs kwargs) {
  return DN().attr("_block_forward")(self, args, kwargs, 0, self.attr(DGR_STR("internal_nonlinearity")));
}

py::object make_class() {
  py::object cls = host::define_module_class(
      "ARBLayer", "dendrograd.blockwise_dgr",
      "One trained neuron module as a self-contained block: layer_array (dendrite layers, then the\n"
      "main layer), processor_array, packed skip_weights (entry k belongs to layer k) and the\n"
      "buffers module_id, num_cycles and view_tuple.");
  // Named "_init" on the C++ side: pybind11 treats a function named __init__ as a
  // constructor of a pybind11 class, which this class is not.
  cls.attr("__init__") = py::cpp_function(&block_init, py::name("_init"), py::is_method(cls), py::arg("layer_array"),
                                          py::arg("processor_array"), py::arg("dendrites_to_top"),
                                          py::arg("dendrites_to_dendrites"), py::arg("node_index"),
                                          py::arg("num_cycles"), py::arg("view_tuple"));
  cls.attr("forward") = py::cpp_function(&block_forward, py::name("forward"), py::is_method(cls));
  return cls;
}

// ---- conversion ----------------------------------------------------------------------

void unwrap_params(py::object model) {
  require_module(model, "unWrap_params", "model");
  py::str wrapped("wrapped");
  for (py::handle p : model.attr("parameters")()) {
    py::list names = py::reinterpret_steal<py::list>(PyObject_Dir(p.ptr()));
    if (!names) throw py::error_already_set();
    if (host::contains(names, wrapped)) py::delattr(p, wrapped);
  }
}

py::object convert_to_arb_layer_block(py::object pretrained) {
  require_module(pretrained, "convert_to_arb_layer_block", "pretrained_dendrite");
  for (const char* name : {"main_module", "dendrite_module", "processor", "dendrites_to_top", "dendrites_to_dendrites",
                           "this_node_index", "num_cycles"}) {
    if (!py::hasattr(pretrained, name)) {
      throw py::type_error("convert_to_arb_layer_block: pretrained_dendrite must be a neuron module (ARBNeuronModule), "
                           "got " + host::class_name(pretrained) + " without '" + name + "'");
    }
  }
  unwrap_params(pretrained);
  py::list layer_array, processor_array;
  py::object dendrite_module = pretrained.attr(host::names::dendrite_module());
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
py::object optimize_walk(py::object net, long long depth, py::str name_so_far, py::list converted_list,
                         std::vector<PyObject*>& path) {
  host::WalkScope scope(path, net, " while converting a module tree to blocks");
  py::object members = net.attr("__dir__")();
  py::handle neuron_cls = neuron_module_class();
  if (host::is_container(net)) {
    for (auto& [submodule_id, child] : host::container_children(net)) {
      py::str child_path = name_so_far + py::str("[") + py::str(submodule_id) + py::str("]");
      if (py::type::of(child).is(neuron_cls)) {
        if (extra_verbose()) host::print(host::percent("Seq sub is ARB so optimizing: %s", child_path));
        py::setattr(net, submodule_id, convert_to_arb_layer_block(child));
      } else if (!child.equal(net) && !host::on_path(path, child)) {
        converted_list.append(child_path);
        py::setattr(net, submodule_id, optimize_walk(child, depth + 1, child_path, converted_list, path));
      } else if (extra_verbose()) {
        host::print(host::percent("%s is a self pointer so skipping", child_path));
      }
    }
    return net;
  }
  py::handle module_cls = host::nn_attr("Module");
  for (py::handle member : members) {
    py::object value;
    if (!host::read_attr(net, member, value)) continue;
    py::str sub_name = name_so_far + py::str(".") + py::str(member);
    if (host::contains(host::get(host::names::get_module_names_to_not_save()), sub_name) || host::contains(converted_list, sub_name)) {
      if (extra_verbose()) host::print(host::percent("Skipping %s during save", sub_name));
      continue;
    }
    if (py::type::of(value).is(neuron_cls)) {
      if (extra_verbose()) {
        host::print(host::percent("Sub is in conversion list so initiating optimization for: %s", sub_name));
      }
      py::setattr(net, member, convert_to_arb_layer_block(value));
    } else if (host::is_instance(value, module_cls)) {
      converted_list.append(sub_name);
      if (!value.equal(net) && !host::on_path(path, value)) {
        py::setattr(net, member, optimize_walk(value, depth + 1, sub_name, converted_list, path));
      } else if (extra_verbose()) {
        host::print(host::percent("%s is a self pointer so skipping", sub_name));
      }
    }
  }
  return net;
}

py::object optimize_module(py::object net, long long depth, py::str name_so_far, py::list converted_list) {
  std::vector<PyObject*> path;
  return optimize_walk(std::move(net), depth, std::move(name_so_far), std::move(converted_list), path);
}

py::object blockwise_network(py::object net) {
  require_module(net, "blockwise_network", "net");
  return optimize_module(net, 0, py::str(""), py::list());
}

}  // namespace
}  // namespace dgr::blockwise

using namespace dgr::blockwise;

PYBIND11_MODULE(blockwise_dgr, m) {
  m.doc() = "Block-wise conversion of a trained network: every neuron module (its layer, its accepted dendrites and their connection weights) becomes one ARBLayer block; used by utils_dgr when it saves or cleans a network.";
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("GDL") = host::GDL();
  m.attr("UDL") = host::UDL();
  m.attr("DL") = host::MDL();
  py::object dn = py::module_::import("dendrograd.deploy_net");
  m.attr("DN") = dn;

  m.attr("ARBLayer") = make_class();
  m.def("blockwise_network", &blockwise_network, py::arg("net"),
        "Converts every neuron module of the network into an ARBLayer; returns the converted root.");
  m.def("optimize_module", &optimize_module, py::arg("net"), py::arg("depth"), py::arg("name_so_far"),
        py::arg("converted_list"), "The walk of blockwise_network below `net`; returns `net`, changed in place.");
  m.def("convert_to_arb_layer_block", &convert_to_arb_layer_block, py::arg("pretrained_dendrite"),
        "A new ARBLayer holding the neuron module's dendrite layers, main layer, processors and skip weights.");
  m.def("unWrap_params", &unwrap_params, py::arg("model"),
        "Removes the attribute `wrapped` from every parameter of the model that has it.");
  m.attr("get_pretrained_arb_attr") = dn.attr("get_pretrained_arb_attr");
  m.attr("get_pretrained_arb_var") = dn.attr("get_pretrained_arb_var");
}
