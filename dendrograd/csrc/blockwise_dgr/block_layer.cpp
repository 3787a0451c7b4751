// ARBLayer: one trained neuron module as a self-contained block that holds the main layer,
// the accepted dendrite layers, their processors and the packed skip weights between them.
// It is an nn.Module subclass created at import time with type(name, (nn.Module,), dict);
// its methods are C++ functions attached afterwards.
#include "blockwise_dgr.h"

#include <ATen/CPUGeneratorImpl.h>

#include <algorithm>
#include <string>
#include <vector>

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

// ---- construction ---------------------------------------------------------------------

// The view_tuple argument (a list of integers) as a tensor.
py::object view_tuple_tensor(py::handle view_tuple) {
  py::list items(py::reinterpret_borrow<py::object>(view_tuple));  // read once, also from an iterator
  for (py::handle v : items) {
    if (!PyIndex_Check(v.ptr())) {
      host::argument_error(host::Mistake::wrong_type, "ARBLayer", "view_tuple must hold integers, got " +
                                                                       host::class_name(v));
    }
  }
  return host::wrap(at::tensor(host::int_vector(items), at::kLong));
}

// The skip weights in the host's layout: entry k+1 of dendrites_to_dendrites feeds dendrite
// k, entry 0 leads; the last entry of dendrites_to_top (all dendrites into the main layer)
// comes last. Empty for a neuron without dendrites: nothing to connect.
py::list assemble_skip_weights(py::handle dendrites_to_top, py::handle dendrites_to_dendrites) {
  py::list assembled;
  if (py::len(dendrites_to_dendrites) > 0) {
    for (py::handle w : dendrites_to_dendrites) assembled.append(w);
  } else {
    assembled.append(host::wrap(at::zeros({1, 1, 1})));
  }
  const auto tops = py::len(dendrites_to_top);
  if (tops == 0) return py::list();
  assembled.append(dendrites_to_top[py::int_(tops - 1)]);
  return assembled;
}

// The parameter skip_weights, packed from the assembled entries: entries 1.. where there
// are several, an empty one where there are none, none at all for exactly one entry.
void store_skip_weights(py::handle self, py::handle assembled) {
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
  }
}

// The node_index argument as the block keeps it: a tensor as given, an integer as a
// one-element tensor.
py::object node_index_value(py::handle node_index) {
  if (host::is_tensor(node_index)) return py::reinterpret_borrow<py::object>(node_index);
  if (!PyIndex_Check(node_index.ptr())) {
    host::argument_error(host::Mistake::wrong_type, "ARBLayer",
                         "node_index must be a tensor or an integer, got " + host::class_name(node_index));
  }
  return host::wrap(at::tensor({static_cast<int64_t>(host::as_int(node_index))}, at::kLong));
}

void block_init(py::object self, py::object layer_array, py::object processor_array, py::object dendrites_to_top,
                py::object dendrites_to_dendrites, py::object node_index, py::object num_cycles,
                py::object view_tuple) {
  host::require_module(layer_array, "ARBLayer", "layer_array");
  for (py::handle layer : layer_array) host::require_module(layer, "ARBLayer", "every entry of layer_array");
  host::nn_attr("Module").attr("__init__")(self);
  self.attr("layer_array") = layer_array;
  py::object register_buffer = self.attr("register_buffer");
  register_buffer("module_id", id_buffer(kBlockId));
  register_buffer("num_cycles", num_cycles);
  register_buffer("view_tuple", view_tuple_tensor(view_tuple));
  for (py::handle layer : layer_array) layer.attr("register_buffer")("module_id", id_buffer(kLayerId));
  self.attr("processor_array") = processor_array;
  py::list assembled = assemble_skip_weights(dendrites_to_top, dendrites_to_dendrites);
  self.attr("original") = assembled;
  store_skip_weights(self, assembled);
  self.attr("node_index") = node_index_value(node_index);
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
  host::define_method(cls, "__init__", &block_init, py::arg("layer_array"), py::arg("processor_array"),
                      py::arg("dendrites_to_top"), py::arg("dendrites_to_dendrites"), py::arg("node_index"),
                      py::arg("num_cycles"), py::arg("view_tuple"));
  host::define_method(cls, "forward", &block_forward);
  return cls;
}

}  // namespace

void register_block_layer(py::module_& m) { m.attr("ARBLayer") = make_class(); }

}  // namespace dgr::blockwise
