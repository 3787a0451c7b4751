// load_deployment: rebuilds the deployment form of a plain network from a file written by
// dg_save_net, in four steps: the arguments, the file's tensors and description, the
// network with its grown modules rebuilt, and the file's weights loaded into it.
#include "utils_dgr.h"

namespace dgr::utils {
namespace {

std::string short_type(const std::string& qualified) {
  const auto dot = qualified.rfind('.');
  return dot == std::string::npos ? qualified : qualified.substr(dot + 1);
}

std::string shape_text(const at::Tensor& t) {
  std::string text = "[";
  for (int64_t i = 0; i < t.dim(); ++i) text += (i ? ", " : "") + std::to_string(t.size(i));
  return text + "]";
}

// ---- the file ----------------------------------------------------------------------------

// Every tensor of the deployment file, tied names resolved, and its metadata.
py::dict read_deployment_tensors(py::handle path, py::object& metadata) {
  py::dict tensors;
  try {
    SafetensorsFile(py::reinterpret_borrow<py::object>(path)).read(tensors, metadata);
  } catch (py::error_already_set& e) {
    if (e.matches(checkpoint_error())) throw;  // a digest mismatch names the path and tensor already
    if (!e.matches(PyExc_Exception)) throw;
    raise_unreadable(path,
                     "is not a readable safetensors deployment file (truncated or corrupted, or a whole-module "
                     "archive written with safetensors off, which load_deployment does not read)",
                     e);
  }
  if (!metadata.contains("weight_tying")) return tensors;
  try {
    py::object aliases = json_module().attr("loads")(metadata["weight_tying"]);
    for (py::handle item : aliases.attr("items")()) {
      py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
      tensors[kv[0]] = tensors[kv[1]];
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_unreadable(path, "has an unreadable 'weight_tying' metadata entry", e);
  }
  return tensors;
}

// A ValueError unless the host's dendrite nonlinearity is the one the file was written with.
void check_forward_function(py::handle path, const Description& d) {
  bool any_dendrites = false;
  for (const BlockSpec& s : d.blocks) any_dendrites = any_dendrites || s.dendrites > 0;
  if (!any_dendrites || d.forward_function.empty()) return;
  const std::string current = function_name(host::get(host::names::get_arb_forward_function()));
  if (current == d.forward_function) return;
  host::raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(
                       "cannot load deployment file " + std::string(py::str(path)) +
                       ": its dendrites were trained with the forward function " + d.forward_function +
                       " but the host is set to " + current +
                       "; set it with GDL.pc.set_arb_forward_function(" + d.forward_function + ") before loading"),
                   nullptr);
}

// The file's description (its own, else one recognised from its tensor names), checked
// against what load_deployment can rebuild.
Description read_description(py::handle path, py::handle metadata, py::dict tensors) {
  Description d = metadata.contains(kDeploymentKey) ? parse_description(path, metadata[py::str(kDeploymentKey)])
                                                    : infer_description(tensors);
  if (!d.from_metadata && d.blocks.empty()) {
    raise_checkpoint_error(path, std::string("has no '") + kDeploymentKey +
                                     "' metadata entry (it was written before deployment files described their "
                                     "dendrites, or not by dg_save_net) and no dendrite blocks can be recognised from "
                                     "its tensor names; write it again with dg_save_net");
  }
  if (!d.training_form.empty()) {
    raise_mismatch(path, d.training_form.front(),
                   "the file keeps this neuron module in its training form (excluded from the conversion), which "
                   "load_deployment cannot rebuild; load it with load_net into a network wrapped by initialize_arb");
  }
  check_forward_function(path, d);
  return d;
}

// ---- the network -------------------------------------------------------------------------

// The module named `name` below `root`, or None.
py::object find_module(py::handle root, const std::string& name) {
  if (name.empty()) return py::reinterpret_borrow<py::object>(root);
  try {
    return root.attr("get_submodule")(name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return py::none();
  }
}

void place_module(py::handle root, const std::string& name, py::handle module) {
  const auto dot = name.rfind('.');
  py::object parent = dot == std::string::npos ? py::reinterpret_borrow<py::object>(root)
                                               : root.attr("get_submodule")(name.substr(0, dot));
  py::setattr(parent, py::str(dot == std::string::npos ? name : name.substr(dot + 1)), module);
}

// A DeploymentMismatchError unless the network's module `main` is what the file grew at s.path.
void check_block_fits(py::handle path, py::handle main, const BlockSpec& s) {
  const std::string grown = s.layer_types.empty()
                                ? "a grown layer with " + std::to_string(s.dendrites) + " dendrites"
                                : "a grown " + short_type(s.layer_types.back()) + " with " +
                                      std::to_string(s.dendrites) + " dendrites";
  if (main.is_none()) raise_mismatch(path, s.path, "the network has no such module; the file has " + grown + " there");
  if (!s.layer_types.empty()) {
    const std::string here = qualified_class_name(main);
    for (const std::string& t : s.layer_types) {
      if (t == here) continue;
      raise_mismatch(path, s.path,
                     "the network has a " + short_type(here) + " there, the file " + grown + " (" + t +
                         (host::is_instance(main, host::MDL().attr(host::names::ARBNeuronModule()))
                              ? "); pass the network as built before initialize_arb"
                              : ")"));
    }
  }
  if (s.processors) {
    raise_mismatch(path, s.path,
                   "the file's module uses host processors, which a deployment file cannot carry; rebuild it with "
                   "initialize_arb and clean_net");
  }
}

// The inference module of one grown neuron around `main`: `dendrites` copies of it as
// dendrite layers, zero skip weights, built through the same block layer and
// make_module as the deployment conversion, so its state has the conversion's names
// and shapes.
py::object rebuild_block(py::object main, const BlockSpec& s) {
  at::TensorOptions options = at::TensorOptions().dtype(at::kFloat);
  for (py::handle t : main.attr("parameters")()) {
    at::Tensor p = host::tensor(t);
    if (p.is_floating_point()) {
      options = p.options();
      break;
    }
  }
  py::list layers, processors, dendrites_to_dendrites, dendrites_to_top;
  for (long long i = 0; i < s.dendrites; ++i) {
    layers.append(copy_module().attr("deepcopy")(main));
    processors.append(py::none());
  }
  layers.append(main);
  processors.append(py::none());
  const int64_t width = s.width > 0 ? s.width : 1;
  dendrites_to_dendrites.append(host::wrap(at::zeros({1, width}, options)));
  for (long long j = 0; j < s.dendrites; ++j) dendrites_to_dendrites.append(host::wrap(at::zeros({j, width}, options)));
  if (s.dendrites > 0) dendrites_to_top.append(host::wrap(at::zeros({s.dendrites, width}, options)));
  py::object block = BDL().attr("ARBLayer")(host::nn_attr("Sequential")(*layers), processors, dendrites_to_top,
                                            dendrites_to_dendrites,
                                            host::wrap(at::tensor({static_cast<int64_t>(s.node_index)}, at::kLong)),
                                            host::wrap(at::zeros({1}, options)), py::cast(s.view_tuple));
  return DN().attr("make_module")(block);
}

// A deep copy of `net` with every grown module of the description rebuilt in its place.
py::object build_network(py::handle net, py::handle path, const Description& d) {
  py::object built = copy_module().attr("deepcopy")(net);
  for (const BlockSpec& s : d.blocks) {
    py::object main = find_module(built, s.path);
    check_block_fits(path, main, s);
    py::object module;
    try {
      module = rebuild_block(main, s);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      raise_mismatch(path, s.path, "cannot rebuild the grown module: " + std::string(py::str(e.value())));
    }
    if (s.path.empty()) {
      built = module;
    } else {
      place_module(built, s.path, module);
    }
  }
  return built;
}

// ---- the weights -------------------------------------------------------------------------

// The network's name for the module that holds the state entry `key`: a difference inside
// a rebuilt module is reported under the name of the grown module it replaced.
std::string module_of_key(const std::string& key, const std::vector<BlockSpec>& blocks) {
  const auto dot = key.rfind('.');
  std::string module = dot == std::string::npos ? "" : key.substr(0, dot);
  const BlockSpec* owner = nullptr;
  for (const BlockSpec& s : blocks) {
    const bool inside = s.path.empty() || module == s.path || starts_with(module, s.path + ".");
    if (inside && (!owner || s.path.size() > owner->path.size())) owner = &s;
  }
  return owner ? owner->path : module;
}

// Names and shapes of the rebuilt network against the file's tensors; the first
// difference, in the network's order, is raised.
void compare_states(py::handle path, py::handle built, py::dict tensors, const std::vector<BlockSpec>& blocks) {
  py::object expected = built.attr("state_dict")();
  for (py::handle item : expected.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    const std::string key = py::str(kv[0]);
    if (!host::is_tensor(kv[1])) continue;
    if (!tensors.contains(kv[0])) raise_mismatch(path, module_of_key(key, blocks), "the file has no '" + key + "'");
    at::Tensor mine = host::tensor(kv[1]);
    at::Tensor theirs = host::tensor(tensors[kv[0]]);
    if (mine.sizes() != theirs.sizes()) {
      raise_mismatch(path, module_of_key(key, blocks), "the network has '" + key + "' of shape " + shape_text(mine) +
                                                           ", the file " + shape_text(theirs));
    }
  }
  for (auto kv : tensors) {
    if (!expected.contains(kv.first)) {
      const std::string key = py::str(kv.first);
      raise_mismatch(path, module_of_key(key, blocks), "the file has '" + key + "', the network has no such entry");
    }
  }
}

void load_weights(py::handle built, py::handle path, py::dict tensors, const std::vector<BlockSpec>& blocks) {
  compare_states(path, built, tensors, blocks);
  try {
    at::NoGradGuard no_grad;
    built.attr("load_state_dict")(tensors, py::arg("strict") = true);
  } catch (py::error_already_set& e) {
    raise_naming_path(e, path, "cannot load deployment file");
  }
}

py::object load_deployment(py::object net, py::object path_arg) {
  host::require_module(net, "load_deployment", "net");
  net = host::unwrap_parallel(net);
  py::object path = host::path_argument(path_arg, "load_deployment", "path");
  require_checkpoint_file(path);

  py::object metadata;
  py::dict tensors = read_deployment_tensors(path, metadata);
  const Description d = read_description(path, metadata, tensors);
  py::object built = build_network(net, path, d);
  load_weights(built, path, tensors, d.blocks);
  return built;
}

}  // namespace

void register_load_deployment(py::module_& m) {
  m.def("load_deployment", &load_deployment, py::arg("net"), py::arg("path"),
        "Rebuilds the deployment form of a plain network from a file written by dg_save_net.\n\n"
        "Arguments:\n"
        "    net: the network as built before initialize_arb (no dendrites); it is not changed.\n"
        "    path: str or os.PathLike naming a safetensors file written by dg_save_net (<folder>/<name>_arb.pt).\n\n"
        "Returns a deep copy of `net` in which every grown layer named by the file is replaced by its\n"
        "inference module (as clean_net builds it), holding the file's tensors. Files written before\n"
        "deployment files described their dendrites load when their tensor names determine the structure.\n"
        "Only tensors and metadata are read; no code from the file runs.\n\n"
        "Raises:\n"
        "    TypeError: net is not a module, or path is not a str or os.PathLike.\n"
        "    FileNotFoundError / IsADirectoryError: nothing loadable at path (the error names it).\n"
        "    CheckpointError: the file is truncated, corrupted, not safetensors, from a newer format, or\n"
        "        carries no description and no recognisable dendrite blocks (the message names the path).\n"
        "    DeploymentMismatchError (a ValueError): the network differs from the file; names the first\n"
        "        module that differs and the path.\n"
        "    ValueError: the host's dendrite forward function is not the one the file was written with.");
}

}  // namespace dgr::utils
