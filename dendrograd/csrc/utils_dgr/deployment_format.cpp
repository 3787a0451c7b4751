// The description of the grown structure that a deployment file carries, written and read
// side by side.
//
// A deployment file carries, under the safetensors metadata key kDeploymentKey, a JSON
// object that tells load_deployment how to rebuild the inference modules around a plain
// network:
//   {"format_version": 1,
//    "forward_function": "torch.sigmoid",        dendrite nonlinearity the file was made with
//    "blocks": [{"path": "body.0",                module name as in named_modules()
//                "dendrites": 2,                  accepted dendrite layers
//                "layer_types": ["torch.nn.modules.linear.Linear", ...],  dendrites, then main
//                "node_index": 1, "view_tuple": [1, -1],
//                "width": 6,                      row width of skip_weights (null: none)
//                "processors": false}, ...],
//    "training_form": ["path", ...]}              neuron modules that stayed unconverted
// A file written without it is described from its tensor names where they allow it.
#include "utils_dgr.h"

#include <algorithm>

namespace dgr::utils {
namespace {

// The description entry of one inference module (an ARBModulePyThread) named `path`.
py::dict block_entry(py::handle path, py::handle module) {
  py::list types;
  for (py::handle layer : module.attr("layer_array")) types.append(qualified_class_name(layer));
  bool processors = false;
  for (py::handle p : module.attr("processor_array")) processors = processors || !p.is_none();
  py::object view_list = py::cast(host::int_vector(host::wrap(host::tensor_attr(module, py::str("view_tuple")))));
  py::object width = py::none();
  if (py::hasattr(module, "skip_weights")) {
    at::Tensor skip = host::tensor_attr(module, py::str("skip_weights"));
    if (skip.dim() == 3) width = py::int_(skip.size(2));
  }
  py::dict block;
  block["path"] = path;
  block["dendrites"] = py::len(types) - 1;
  block["layer_types"] = types;
  block["node_index"] = host::as_int(module.attr("node_index").attr("flatten")()[py::int_(0)]);
  block["view_tuple"] = view_list;
  block["width"] = width;
  block["processors"] = processors;
  return block;
}

// One block of the file's own description; a CheckpointError where it does not add up.
BlockSpec parse_block(py::handle path, py::handle b) {
  BlockSpec s;
  s.path = py::str(b["path"]);
  s.dendrites = host::as_int(b["dendrites"]);
  for (py::handle t : b["layer_types"]) s.layer_types.push_back(py::str(t));
  s.node_index = host::as_int(b["node_index"]);
  s.view_tuple = host::int_vector(b["view_tuple"]);
  py::object width = b["width"];
  s.width = width.is_none() ? -1 : host::as_int(width);
  s.processors = host::truthy(b["processors"]);
  if (s.dendrites < 0 || static_cast<long long>(s.layer_types.size()) != s.dendrites + 1) {
    raise_checkpoint_error(path, "has a deployment description in which block '" + s.path + "' lists " +
                                     std::to_string(s.layer_types.size()) + " layer types for " +
                                     std::to_string(s.dendrites) + " dendrites");
  }
  return s;
}

// Whether `key` is `name` or ends in "." + `name`.
bool names_entry(const std::string& key, const std::string& name) {
  return key == name ||
         (key.size() > name.size() && key.compare(key.size() - name.size() - 1, std::string::npos, "." + name) == 0);
}

// The highest i of the tensor names "<prefix>layer_array.<i>.*", or -1.
long long last_layer_index(const std::vector<std::string>& keys, const std::string& prefix) {
  long long last_layer = -1;
  const std::string layers = prefix + "layer_array.";
  for (const std::string& k : keys) {
    if (!starts_with(k, layers)) continue;
    const std::string rest = k.substr(layers.size());
    const auto dot = rest.find('.');
    if (dot == std::string::npos || dot == 0 || rest.find_first_not_of("0123456789") != dot) continue;
    last_layer = std::max(last_layer, std::stoll(rest.substr(0, dot)));
  }
  return last_layer;
}

}  // namespace

std::string qualified_class_name(py::handle obj) {
  py::object type = py::type::of(obj);
  return std::string(py::str(type.attr("__module__"))) + "." + std::string(py::str(type.attr("__qualname__")));
}

// "module.name" of a function where it has both, its class name otherwise.
std::string function_name(py::handle f) {
  py::object module, name;
  if (!host::read_attr(f, py::str("__module__"), module)) module = py::none();
  if (!host::read_attr(f, py::str("__name__"), name)) name = py::none();
  if (name.is_none() || !PyUnicode_Check(name.ptr())) return host::class_name(f);
  if (module.is_none() || !PyUnicode_Check(module.ptr())) return py::str(name);
  return std::string(py::str(module)) + "." + std::string(py::str(name));
}

// ---- writing ----------------------------------------------------------------------------

py::dict deployment_metadata(py::handle net) {
  py::handle thread_cls = DN().attr("ModuleType");
  py::handle neuron_cls = host::MDL().attr(host::names::ARBNeuronModule());
  py::list blocks, training_form;
  for (py::handle item : net.attr("named_modules")(py::arg("remove_duplicate") = false)) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    py::object module = named[1];
    if (py::type::of(module).is(thread_cls)) {
      blocks.append(block_entry(named[0], module));
    } else if (host::is_instance(module, neuron_cls)) {
      training_form.append(named[0]);
    }
  }
  py::dict description;
  description["format_version"] = kDeploymentFormat;
  description["forward_function"] = function_name(host::get(host::names::get_arb_forward_function()));
  description["blocks"] = blocks;
  description["training_form"] = training_form;
  py::dict metadata;
  metadata[kDeploymentKey] = json_module().attr("dumps")(description);
  return metadata;
}

// ---- reading ----------------------------------------------------------------------------

Description parse_description(py::handle path, py::handle text) {
  Description d;
  d.from_metadata = true;
  try {
    py::object doc = json_module().attr("loads")(text);
    long long version = host::as_int(doc["format_version"]);
    if (version > kDeploymentFormat || version < 1) {
      raise_checkpoint_error(path, "has deployment format " + std::to_string(version) +
                                       "; this dendrograd reads format " + std::to_string(kDeploymentFormat) +
                                       " (update dendrograd to load it)");
    }
    d.forward_function = py::str(doc["forward_function"]);
    for (py::handle b : doc["blocks"]) d.blocks.push_back(parse_block(path, b));
    for (py::handle p : doc["training_form"]) d.training_form.push_back(py::str(p));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception) || e.matches(checkpoint_error())) throw;
    raise_unreadable(path, std::string("has an unreadable '") + kDeploymentKey + "' metadata entry", e);
  }
  return d;
}

// Every inference module leaves the buffers node_index, module_id, num_cycles and
// view_tuple and the layers layer_array.<i> in the state, which is enough to rebuild it
// (with no processors, and the host's current dendrite nonlinearity).
Description infer_description(py::dict tensors) {
  Description d;
  std::vector<std::string> keys;
  for (auto kv : tensors) keys.push_back(py::str(kv.first));
  auto has = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) != keys.end(); };
  const std::string marker = "view_tuple";
  for (const std::string& key : keys) {
    if (!names_entry(key, marker)) continue;
    const std::string prefix = key.substr(0, key.size() - marker.size());  // "" or "name."
    if (!has(prefix + "node_index") || !has(prefix + "module_id") || !has(prefix + "num_cycles")) continue;
    const long long last_layer = last_layer_index(keys, prefix);
    if (last_layer < 0) continue;
    BlockSpec s;
    s.path = prefix.empty() ? "" : prefix.substr(0, prefix.size() - 1);
    s.dendrites = last_layer;
    at::Tensor node = host::tensor(tensors[py::str(prefix + "node_index")]);
    std::vector<int64_t> view = host::int_vector(host::wrap(host::tensor(tensors[py::str(prefix + "view_tuple")])));
    if (node.numel() < 1) continue;
    s.node_index = node.flatten()[0].item<int64_t>();
    s.view_tuple = std::move(view);
    if (has(prefix + "skip_weights")) {
      at::Tensor skip = host::tensor(tensors[py::str(prefix + "skip_weights")]);
      if (skip.dim() == 3) s.width = skip.size(2);
    }
    d.blocks.push_back(std::move(s));
  }
  return d;
}

}  // namespace dgr::utils
