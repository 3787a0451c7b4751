// utils_dgr: whole-network utilities: the deployment conversion entry (clean_net),
// parameter counting, checkpoint save and load, the warning-silencing pair and the
// gradient print-out.
//
// Checkpoints: dg_save_net writes "<folder>/<name>_arb.pt" (deployment form) as a
// safetensors file, a weight-tying-aware safetensors file (the host's layout) or a
// whole-module torch archive; the file appears only once complete (written under a
// temporary name in the same folder, then renamed). load_net reads
// "<folder>/<name>.pt" (training form) into a network the host has built and leaves
// that network as it was when reading or copying fails.
#include "host_contract.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

namespace host = dgr::host;

namespace dgr::utils {
namespace {

PyObject* g_checkpoint_error = nullptr;  // utils_dgr.CheckpointError, kept for the life of the process

py::handle BDL() { return DGR_CACHED_MODULE("dendrograd.blockwise_dgr"); }
py::handle DN() { return DGR_CACHED_MODULE("dendrograd.deploy_net"); }
py::handle os_module() { return DGR_CACHED_MODULE("os"); }
py::handle warnings_module() { return DGR_CACHED_MODULE("warnings"); }
py::handle safetensors_torch() { return DGR_CACHED_MODULE("safetensors.torch"); }
py::handle safetensors_module() { return DGR_CACHED_MODULE("safetensors"); }
// Raises `exc` (an exception instance) with `cause` as its __cause__.
[[noreturn]] void raise_from(py::object exc, py::error_already_set* cause) {
  if (cause) PyException_SetCause(exc.ptr(), cause->value().inc_ref().ptr());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

py::object os_error(PyObject* type, int code, const std::string& message, py::handle path) {
  return py::reinterpret_borrow<py::object>(type)(code, message, path);
}

// The error `e` again, with `path` in its message: the same exception type built from the
// new message (an OSError with an error number keeps it and gets `path` as its file name),
// or RuntimeError where the type cannot be built from a message. Errors whose message
// already names the path, and exceptions that are not errors (KeyboardInterrupt, ...),
// are raised again unchanged.
[[noreturn]] void raise_naming_path(py::error_already_set& e, py::handle path, const std::string& action) {
  if (!e.matches(PyExc_Exception)) throw e;
  py::object value = e.value();
  const std::string path_text = py::str(path);
  const std::string text = py::str(value);
  if (text.find(path_text) != std::string::npos) throw e;
  const std::string message = action + " " + path_text + ": " + (text.empty() ? host::class_name(value) : text);
  py::object type = py::reinterpret_borrow<py::object>(py::type::of(value));
  py::object replacement;
  try {
    py::object err_no = py::none();
    if (host::is_instance(value, PyExc_OSError)) err_no = value.attr("errno");
    if (!err_no.is_none()) {
      replacement = type(err_no, value.attr("strerror"), path);  // "[Errno n] strerror: 'path'"
      if (!host::is_instance(replacement, type)) replacement = py::object();
    } else {
      replacement = type(message);
      if (!host::is_instance(replacement, type) ||
          std::string(py::str(replacement)).find(path_text) == std::string::npos) {
        replacement = py::object();
      }
    }
  } catch (py::error_already_set& construction) {
    if (!construction.matches(PyExc_Exception)) throw;
    replacement = py::object();
  }
  if (!replacement) replacement = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
  raise_from(replacement, &e);
}

[[noreturn]] void raise_unreadable(py::handle path, const std::string& what, py::error_already_set& e) {
  std::string message = std::string(py::str(path)) + " " + what + ": " +
                        std::string(py::str(py::type::of(e.value()).attr("__name__"))) + ": " +
                        std::string(py::str(e.value()));
  raise_from(py::reinterpret_borrow<py::object>(g_checkpoint_error)(message), &e);
}


// A network argument: any torch.nn.Module; a data-parallel wrapper stands for the module it wraps.
py::object require_module(py::handle obj, const char* function, const char* argument) {
  host::require_module(obj, function, argument);
  return host::unwrap_parallel(obj);
}

// ---- small functions -------------------------------------------------------------

bool check_requires_grad(py::handle module_arg) {
  py::object module = require_module(module_arg, "check_requires_grad", "module");
  for (py::handle p : module.attr("parameters")()) {
    if (host::tensor(p, "check_requires_grad: every parameter").requires_grad()) return true;
  }
  return false;
}

void filters_mutated() {
  py::handle w = warnings_module();
  for (const char* name : {"_filters_mutated", "_filters_mutated_lock_held"}) {
    if (py::hasattr(w, name)) {
      w.attr(name)();
      return;
    }
  }
}

void add_future_warning() {
  py::object filters = warnings_module().attr("filters");
  filters.attr("insert")(0, py::make_tuple("ignore", py::none(), py::handle(PyExc_Warning), py::none(), 0));
  filters_mutated();
}

void remove_future_warning() {
  py::object filters = warnings_module().attr("filters");
  if (PySequence_DelItem(filters.ptr(), 0) < 0) throw py::error_already_set();
  filters_mutated();
}

// Puts the warning filter list back to `saved`, whatever happened in between.
void restore_filters(py::handle saved) {
  py::object filters = warnings_module().attr("filters");
  if (PySequence_SetSlice(filters.ptr(), 0, PY_SSIZE_T_MAX, saved.ptr()) < 0) throw py::error_already_set();
  filters_mutated();
}

py::object clean_net(py::object net) {
  net = require_module(net, "clean_net", "net");
  py::object blocks = BDL().attr("blockwise_network")(net);
  py::object copied = host::UDL().attr(host::names::deep_copy_arb())(blocks);
  return DN().attr("refresh_net")(copied);
}

long long dg_count_params(py::object net) {
  net = require_module(net, "dg_count_params", "net");
  py::list entries;
  if (host::flag(host::names::get_count_training_params())) {
    entries = py::list(net.attr("named_parameters")());
  } else {
    py::object copied = host::UDL().attr(host::names::deep_copy_arb())(net);
    entries = py::list(clean_net(copied).attr("named_parameters")());
  }
  // data pointer -> element count; tensors that share storage are counted once.
  std::unordered_map<uintptr_t, int64_t> unique_params;
  for (py::handle item : entries) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    std::string name = py::str(named[0]);
    if (name.find("parent_module") != std::string::npos) continue;
    at::Tensor p = host::tensor(named[1], "dg_count_params: every parameter");
    unique_params[reinterpret_cast<uintptr_t>(p.data_ptr())] = p.numel();
  }
  long long total = 0;
  for (const auto& entry : unique_params) total += entry.second;
  return total;
}

// ---- checkpoints -------------------------------------------------------------------

// The folder argument as a str path (str or os.PathLike naming one).
py::object folder_path(py::handle folder, const char* function) {
  if (!PyUnicode_Check(folder.ptr()) && !py::hasattr(folder, "__fspath__")) {
    throw py::type_error(std::string(function) + ": folder must be a str or os.PathLike, got " +
                         host::class_name(folder));
  }
  py::object path = os_module().attr("fspath")(folder);
  if (!PyUnicode_Check(path.ptr())) {
    throw py::type_error(std::string(function) + ": folder must name a str path, got " + host::class_name(path) +
                         " from os.fspath");
  }
  return path;
}

void require_name(py::handle name, const char* function) {
  if (!PyUnicode_Check(name.ptr())) {
    throw py::type_error(std::string(function) + ": name must be a str, got " + host::class_name(name));
  }
}

// A clone of every tensor of the network's state, to undo a failed load; other entries
// (a module's extra state) are kept as they are.
py::dict snapshot_state(py::handle net) {
  py::dict backup;
  py::object state = net.attr("state_dict")();
  for (py::handle item : state.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    py::object value = kv[1];
    backup[kv[0]] = host::is_tensor(value) ? host::wrap(host::tensor(value).detach().clone()) : value;
  }
  return backup;
}

// Runs a host load of the file `path` into `net`; if it fails, the network gets its
// tensors back and the error goes on to the caller with the path in its message.
template <typename Load>
py::object load_or_restore(py::handle net, py::handle path, Load&& load) {
  py::dict backup = snapshot_state(net);
  try {
    return load();
  } catch (py::error_already_set& e) {
    try {
      at::NoGradGuard no_grad;
      net.attr("load_state_dict")(backup, py::arg("strict") = false);
    } catch (py::error_already_set&) {
      // the original error is the one to report
    }
    raise_naming_path(e, path, "cannot load checkpoint");
  }
}

// Whether this process writes files: rank 0 of an initialised torch.distributed process
// group; without one, the process whose RANK variable is 0 or unset. The process group
// comes first: ranks started by torch.multiprocessing.spawn have no RANK and would all write.
bool is_writing_rank(py::handle path) {
  py::handle dist = DGR_CACHED_MODULE("torch.distributed");
  if (host::truthy(dist.attr("is_available")()) && host::truthy(dist.attr("is_initialized")())) {
    return host::as_int(dist.attr("get_rank")()) == 0;
  }
  py::object rank = os_module().attr("environ").attr("get")("RANK");
  if (rank.is_none()) return true;
  py::object value;
  try {
    value = py::module_::import("builtins").attr("int")(rank);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    std::string message = "environment variable RANK must be an integer, got " + std::string(py::repr(rank)) +
                          "; nothing was written to " + std::string(py::str(path));
    raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(message), &e);
  }
  return host::as_int(value) == 0;
}

void make_folders(py::object folder, py::object save_point) {
  py::handle os_path = os_module().attr("path");
  try {
    if (!host::truthy(os_path.attr("isdir")(folder))) os_module().attr("makedirs")(folder);
    if (!host::truthy(os_path.attr("isdir")(save_point))) os_module().attr("mkdir")(save_point);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_FileExistsError)) throw;
    raise_from(os_error(PyExc_NotADirectoryError, ENOTDIR,
                        "cannot save the checkpoint: the folder path names something that is not a folder",
                        folder),
               &e);
  }
}

// ---- the deployment description --------------------------------------------------
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
constexpr const char* kDeploymentKey = "dendrograd_deployment";
constexpr long long kDeploymentFormat = 1;

py::handle json_module() { return DGR_CACHED_MODULE("json"); }
py::handle copy_module() { return DGR_CACHED_MODULE("copy"); }

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

// The metadata entries that describe the converted network `net`.
py::dict deployment_metadata(py::handle net) {
  py::handle thread_cls = DN().attr("ModuleType");
  py::handle neuron_cls = host::MDL().attr(host::names::ARBNeuronModule());
  py::list blocks, training_form;
  for (py::handle item : net.attr("named_modules")(py::arg("remove_duplicate") = false)) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    py::object module = named[1];
    if (py::type::of(module).is(thread_cls)) {
      py::list types;
      for (py::handle layer : module.attr("layer_array")) types.append(qualified_class_name(layer));
      bool processors = false;
      for (py::handle p : module.attr("processor_array")) processors = processors || !p.is_none();
      at::Tensor view = host::tensor_attr(module, py::str("view_tuple")).to(at::kCPU, at::kLong).contiguous();
      py::list view_list;
      for (int64_t i = 0; i < view.numel(); ++i) view_list.append(view.data_ptr<int64_t>()[i]);
      py::object width = py::none();
      if (py::hasattr(module, "skip_weights")) {
        at::Tensor skip = host::tensor_attr(module, py::str("skip_weights"));
        if (skip.dim() == 3) width = py::int_(skip.size(2));
      }
      py::dict block;
      block["path"] = named[0];
      block["dendrites"] = py::len(types) - 1;
      block["layer_types"] = types;
      block["node_index"] = host::as_int(module.attr("node_index").attr("flatten")()[py::int_(0)]);
      block["view_tuple"] = view_list;
      block["width"] = width;
      block["processors"] = processors;
      blocks.append(block);
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

// Every tensor and the metadata of a safetensors file; the file is closed on every way out.
void read_safetensors(py::handle path, py::dict& tensors, py::object& metadata) {
  py::object handle = safetensors_module().attr("safe_open")(path, py::arg("framework") = "pt");
  py::object entered = handle.attr("__enter__")();
  try {
    metadata = entered.attr("metadata")();
    for (py::handle key : entered.attr("keys")()) tensors[key] = entered.attr("get_tensor")(key);
  } catch (py::error_already_set&) {
    handle.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  handle.attr("__exit__")(py::none(), py::none(), py::none());
  if (metadata.is_none()) metadata = py::dict();
}

// Adds `extra` to the metadata of the safetensors file `path` (written by the host,
// which knows nothing of it): the file is written again beside itself, then renamed.
void add_metadata(py::object path, py::dict extra) {
  py::dict tensors;
  py::object metadata;
  read_safetensors(path, tensors, metadata);
  py::dict merged;
  for (py::handle item : metadata.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    merged[kv[0]] = kv[1];
  }
  for (auto kv : extra) merged[kv.first] = kv.second;
  py::object rewritten = path + py::str(".meta");
  try {
    safetensors_torch().attr("save_file")(tensors, rewritten, py::arg("metadata") = merged);
    os_module().attr("replace")(rewritten, path);
  } catch (...) {
    try {
      if (host::truthy(os_module().attr("path").attr("exists")(rewritten))) os_module().attr("remove")(rewritten);
    } catch (py::error_already_set&) {
      // the write error is the one to report
    }
    throw;
  }
}

void write_checkpoint(py::object net, py::object tmp) {
  const bool safe = host::flag(host::names::get_using_safe_tensors());
  if (!safe) {
    host::torch_module().attr("save")(net, tmp);
    return;
  }
  py::dict metadata = deployment_metadata(net);
  if (host::flag(host::names::get_weight_tying_experimental())) {
    host::UDL().attr(host::names::save_model_with_weight_tying())(net, tmp);
    add_metadata(tmp, metadata);
    return;
  }
  try {
    safetensors_torch().attr("save_file")(net.attr("state_dict")(), tmp, py::arg("metadata") = metadata);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    std::string text = py::str(e.value());
    if (text.find("Some tensors share memory") == std::string::npos) throw;
    host::print("Detected shared-memory tensors while saving _arb checkpoint; falling back to weight-tying-aware save.");
    host::UDL().attr(host::names::save_model_with_weight_tying())(net, tmp);
    add_metadata(tmp, metadata);
  }
}

void dg_save_net(py::object net, py::object folder, py::object name) {
  net = require_module(net, "dg_save_net", "net");
  folder = folder_path(folder, "dg_save_net");
  require_name(name, "dg_save_net");
  py::object save_point = folder + py::str("/");
  py::object path = save_point + name + py::str("_arb.pt");
  if (!is_writing_rank(path)) return;

  net = host::UDL().attr(host::names::deep_copy_arb())(net);
  make_folders(folder, save_point);

  net = BDL().attr("blockwise_network")(net);
  net = host::UDL().attr(host::names::deep_copy_arb())(net);
  net = DN().attr("refresh_net")(net);
  py::delattr(net, "tracker_string");
  for (py::handle p : net.attr("parameters")()) {
    p.attr("data") = p.attr("data").attr("contiguous")();
  }

  // Written under a temporary name in the same folder, then renamed into place.
  py::object tmp = save_point + py::str(".") + name + py::str("_arb.pt.") +
                   py::str(py::module_::import("uuid").attr("uuid4")().attr("hex")) + py::str(".tmp");
  auto remove_partial_file = [&tmp] {
    try {
      if (host::truthy(os_module().attr("path").attr("exists")(tmp))) os_module().attr("remove")(tmp);
    } catch (py::error_already_set&) {
      // the write error is the one to report
    }
  };
  try {
    write_checkpoint(net, tmp);
    os_module().attr("replace")(tmp, path);
  } catch (py::error_already_set& e) {
    remove_partial_file();
    raise_naming_path(e, path, "cannot write checkpoint");
  } catch (...) {
    remove_partial_file();
    throw;
  }
}

void require_checkpoint_file(py::handle path) {
  py::handle os_path = os_module().attr("path");
  if (host::truthy(os_path.attr("isfile")(path))) return;
  if (host::truthy(os_path.attr("isdir")(path))) {
    raise_from(os_error(PyExc_IsADirectoryError, EISDIR, "checkpoint path is a folder, not a file", path), nullptr);
  }
  raise_from(os_error(PyExc_FileNotFoundError, ENOENT, "no such checkpoint file", path), nullptr);
}

bool has_weight_tying_metadata(py::handle path) {
  py::object handle = safetensors_module().attr("safe_open")(path, py::arg("framework") = "pt");
  py::object entered = handle.attr("__enter__")();
  py::object metadata;
  try {
    metadata = entered.attr("metadata")();
  } catch (py::error_already_set&) {
    handle.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  handle.attr("__exit__")(py::none(), py::none(), py::none());
  return !metadata.is_none() && host::truthy(metadata) && metadata.contains("weight_tying");
}

py::object read_legacy_archive(py::handle path) {
  py::object load = host::torch_module().attr("load");
  try {
    return load(path, py::arg("map_location") = "cpu", py::arg("weights_only") = false).attr("state_dict")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  try {
    return load(path, py::arg("map_location") = "cpu").attr("state_dict")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_unreadable(path, "is not a loadable whole-module checkpoint", e);
  }
}

py::object load_net(py::object net, py::object folder, py::object name) {
  net = require_module(net, "load_net", "net");
  py::object save_point = folder_path(folder, "load_net") + py::str("/");
  require_name(name, "load_net");
  py::object path = save_point + name + py::str(".pt");
  require_checkpoint_file(path);
  py::handle udl = host::UDL();
  py::object state;
  if (host::flag(host::names::get_using_safe_tensors())) {
    if (host::flag(host::names::get_weight_tying_experimental())) {
      return load_or_restore(net, path, [&] { return udl.attr(host::names::load_model_with_weight_tying())(net, path); });
    }
    try {
      if (has_weight_tying_metadata(path)) {
        return load_or_restore(net, path, [&] { return udl.attr(host::names::load_model_with_weight_tying())(net, path); });
      }
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;  // an ordinary failure: read the plain way below
    }
    try {
      state = safetensors_torch().attr("load_file")(path);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      raise_unreadable(path, "is not a readable safetensors checkpoint", e);
    }
  } else {
    // Silence warnings while the archive loads; the filter list is restored on
    // every way out, also when both attempts fail.
    py::object saved = py::reinterpret_steal<py::object>(PySequence_List(warnings_module().attr("filters").ptr()));
    if (!saved) throw py::error_already_set();  // a copy: py::list(list) would only alias it
    add_future_warning();
    try {
      state = read_legacy_archive(path);
    } catch (...) {
      restore_filters(saved);
      throw;
    }
    restore_filters(saved);
  }
  return load_or_restore(net, path, [&] { return udl.attr(host::names::load_net_from_dict())(net, state); });
}

// ---- loading a deployment file into a plain network --------------------------------

PyObject* g_mismatch_error = nullptr;  // utils_dgr.DeploymentMismatchError, kept for the life of the process

// What one inference module of the file needs to be rebuilt.
struct BlockSpec {
  std::string path;                      // module name as in named_modules(), "" for the root
  long long dendrites = 0;
  std::vector<std::string> layer_types;  // empty where the file does not say
  long long node_index = 1;
  std::vector<int64_t> view_tuple;
  long long width = -1;                  // -1: no skip weights to size
  bool processors = false;
};

struct Description {
  bool from_metadata = false;
  std::string forward_function;  // empty where the file does not say
  std::vector<BlockSpec> blocks;
  std::vector<std::string> training_form;
};

[[noreturn]] void raise_checkpoint_error(py::handle path, const std::string& what) {
  raise_from(py::reinterpret_borrow<py::object>(g_checkpoint_error)(std::string(py::str(path)) + " " + what), nullptr);
}

[[noreturn]] void raise_mismatch(py::handle path, const std::string& module, const std::string& detail) {
  const std::string shown = module.empty() ? "(the root module)" : "'" + module + "'";
  raise_from(py::reinterpret_borrow<py::object>(g_mismatch_error)(
                 "cannot load deployment file " + std::string(py::str(path)) +
                 ": the network differs from the file at module " + shown + ": " + detail),
             nullptr);
}

std::string short_type(const std::string& qualified) {
  const auto dot = qualified.rfind('.');
  return dot == std::string::npos ? qualified : qualified.substr(dot + 1);
}

std::string shape_text(const at::Tensor& t) {
  std::string text = "[";
  for (int64_t i = 0; i < t.dim(); ++i) text += (i ? ", " : "") + std::to_string(t.size(i));
  return text + "]";
}

// The description that dg_save_net wrote into the metadata.
Description parse_description(py::handle path, py::handle text) {
  Description d;
  d.from_metadata = true;
  try {
    py::object doc = json_module().attr("loads")(text);
    long long version = host::as_int(doc["format_version"]);
    if (version > kDeploymentFormat || version < 1) {
      raise_checkpoint_error(path, "has deployment format " + std::to_string(version) + "; this dendrograd reads format " +
                                       std::to_string(kDeploymentFormat) + " (update dendrograd to load it)");
    }
    d.forward_function = py::str(doc["forward_function"]);
    for (py::handle b : doc["blocks"]) {
      BlockSpec s;
      s.path = py::str(b["path"]);
      s.dendrites = host::as_int(b["dendrites"]);
      for (py::handle t : b["layer_types"]) s.layer_types.push_back(py::str(t));
      s.node_index = host::as_int(b["node_index"]);
      for (py::handle v : b["view_tuple"]) s.view_tuple.push_back(host::as_int(v));
      py::object width = b["width"];
      s.width = width.is_none() ? -1 : host::as_int(width);
      s.processors = host::truthy(b["processors"]);
      if (s.dendrites < 0 || static_cast<long long>(s.layer_types.size()) != s.dendrites + 1) {
        raise_checkpoint_error(path, "has a deployment description in which block '" + s.path + "' lists " +
                                         std::to_string(s.layer_types.size()) + " layer types for " +
                                         std::to_string(s.dendrites) + " dendrites");
      }
      d.blocks.push_back(std::move(s));
    }
    for (py::handle p : doc["training_form"]) d.training_form.push_back(py::str(p));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception) || e.matches(g_checkpoint_error)) throw;
    raise_unreadable(path, std::string("has an unreadable '") + kDeploymentKey + "' metadata entry", e);
  }
  return d;
}

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// A file written without the description: every inference module leaves the buffers
// node_index, module_id, num_cycles and view_tuple and the layers layer_array.<i> in the
// state, which is enough to rebuild it (with no processors, and the host's current
// dendrite nonlinearity).
Description infer_description(py::dict tensors) {
  Description d;
  std::vector<std::string> keys;
  for (auto kv : tensors) keys.push_back(py::str(kv.first));
  auto has = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) != keys.end(); };
  const std::string marker = "view_tuple";
  for (const std::string& key : keys) {
    if (key != marker && (key.size() <= marker.size() || key.compare(key.size() - marker.size() - 1, std::string::npos,
                                                                      "." + marker) != 0)) {
      continue;
    }
    const std::string prefix = key.substr(0, key.size() - marker.size());  // "" or "name."
    if (!has(prefix + "node_index") || !has(prefix + "module_id") || !has(prefix + "num_cycles")) continue;
    long long last_layer = -1;
    const std::string layers = prefix + "layer_array.";
    for (const std::string& k : keys) {
      if (!starts_with(k, layers)) continue;
      const std::string rest = k.substr(layers.size());
      const auto dot = rest.find('.');
      if (dot == std::string::npos || dot == 0 || rest.find_first_not_of("0123456789") != dot) continue;
      last_layer = std::max(last_layer, std::stoll(rest.substr(0, dot)));
    }
    if (last_layer < 0) continue;
    BlockSpec s;
    s.path = prefix.empty() ? "" : prefix.substr(0, prefix.size() - 1);
    s.dendrites = last_layer;
    at::Tensor node = host::tensor(tensors[py::str(prefix + "node_index")]);
    at::Tensor view = host::tensor(tensors[py::str(prefix + "view_tuple")]).to(at::kCPU, at::kLong).contiguous();
    if (node.numel() < 1) continue;
    s.node_index = node.flatten()[0].item<int64_t>();
    s.view_tuple.assign(view.data_ptr<int64_t>(), view.data_ptr<int64_t>() + view.numel());
    if (has(prefix + "skip_weights")) {
      at::Tensor skip = host::tensor(tensors[py::str(prefix + "skip_weights")]);
      if (skip.dim() == 3) s.width = skip.size(2);
    }
    d.blocks.push_back(std::move(s));
  }
  return d;
}

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
  py::list view;
  for (int64_t v : s.view_tuple) view.append(v);
  py::object block = BDL().attr("ARBLayer")(host::nn_attr("Sequential")(*layers), processors, dendrites_to_top,
                                            dendrites_to_dendrites,
                                            host::wrap(at::tensor({static_cast<int64_t>(s.node_index)}, at::kLong)),
                                            host::wrap(at::zeros({1}, options)), view);
  return DN().attr("make_module")(block);
}

void place_module(py::handle root, const std::string& name, py::handle module) {
  const auto dot = name.rfind('.');
  py::object parent = dot == std::string::npos ? py::reinterpret_borrow<py::object>(root)
                                               : root.attr("get_submodule")(name.substr(0, dot));
  py::setattr(parent, py::str(dot == std::string::npos ? name : name.substr(dot + 1)), module);
}

// Names and shapes of the rebuilt network against the file's tensors; the first
// difference, in the network's order, is raised.
void compare_states(py::handle path, py::handle built, py::dict tensors, const std::vector<BlockSpec>& blocks) {
  // A difference inside a rebuilt module is reported under the network's own module name.
  auto module_of_key = [&blocks](const std::string& key) {
    const auto dot = key.rfind('.');
    std::string module = dot == std::string::npos ? "" : key.substr(0, dot);
    const BlockSpec* owner = nullptr;
    for (const BlockSpec& s : blocks) {
      const bool inside = s.path.empty() || module == s.path || starts_with(module, s.path + ".");
      if (inside && (!owner || s.path.size() > owner->path.size())) owner = &s;
    }
    return owner ? owner->path : module;
  };
  py::object expected = built.attr("state_dict")();
  for (py::handle item : expected.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    const std::string key = py::str(kv[0]);
    if (!host::is_tensor(kv[1])) continue;
    if (!tensors.contains(kv[0])) raise_mismatch(path, module_of_key(key), "the file has no '" + key + "'");
    at::Tensor mine = host::tensor(kv[1]);
    at::Tensor theirs = host::tensor(tensors[kv[0]]);
    if (mine.sizes() != theirs.sizes()) {
      raise_mismatch(path, module_of_key(key), "the network has '" + key + "' of shape " + shape_text(mine) +
                                                   ", the file " + shape_text(theirs));
    }
  }
  for (auto kv : tensors) {
    if (!expected.contains(kv.first)) {
      const std::string key = py::str(kv.first);
      raise_mismatch(path, module_of_key(key), "the file has '" + key + "', the network has no such entry");
    }
  }
}

// The path argument as a str path (str or os.PathLike naming one).
py::object file_path(py::handle path, const char* function) {
  if (!PyUnicode_Check(path.ptr()) && !py::hasattr(path, "__fspath__")) {
    throw py::type_error(std::string(function) + ": path must be a str or os.PathLike, got " + host::class_name(path));
  }
  py::object text = os_module().attr("fspath")(path);
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(function) + ": path must name a str path, got " + host::class_name(text) +
                         " from os.fspath");
  }
  return text;
}

py::object load_deployment(py::object net, py::object path_arg) {
  net = require_module(net, "load_deployment", "net");
  py::object path = file_path(path_arg, "load_deployment");
  require_checkpoint_file(path);

  py::dict tensors;
  py::object metadata;
  try {
    read_safetensors(path, tensors, metadata);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_unreadable(path,
                     "is not a readable safetensors deployment file (truncated or corrupted, or a whole-module "
                     "archive written with safetensors off, which load_deployment does not read)",
                     e);
  }
  if (metadata.contains("weight_tying")) {
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
  }

  Description d = metadata.contains(kDeploymentKey) ? parse_description(path, metadata[kDeploymentKey])
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
  bool any_dendrites = false;
  for (const BlockSpec& s : d.blocks) any_dendrites = any_dendrites || s.dendrites > 0;
  if (any_dendrites && !d.forward_function.empty()) {
    const std::string current = function_name(host::get(host::names::get_arb_forward_function()));
    if (current != d.forward_function) {
      raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(
                     "cannot load deployment file " + std::string(py::str(path)) + ": its dendrites were trained with " +
                     "the forward function " + d.forward_function + " but the host is set to " + current +
                     "; set it with GDL.pc.set_arb_forward_function(" + d.forward_function + ") before loading"),
                 nullptr);
    }
  }

  py::object built = copy_module().attr("deepcopy")(net);
  for (const BlockSpec& s : d.blocks) {
    py::object main = find_module(built, s.path);
    const std::string grown = s.layer_types.empty()
                                  ? "a grown layer with " + std::to_string(s.dendrites) + " dendrites"
                                  : "a grown " + short_type(s.layer_types.back()) + " with " +
                                        std::to_string(s.dendrites) + " dendrites";
    if (main.is_none()) raise_mismatch(path, s.path, "the network has no such module; the file has " + grown + " there");
    if (!s.layer_types.empty()) {
      const std::string here = qualified_class_name(main);
      for (const std::string& t : s.layer_types) {
        if (t != here) {
          raise_mismatch(path, s.path,
                         "the network has a " + short_type(here) + " there, the file " + grown + " (" + t +
                             (host::is_instance(main, host::MDL().attr(host::names::ARBNeuronModule()))
                                  ? "); pass the network as built before initialize_arb"
                                  : ")"));
        }
      }
    }
    if (s.processors) {
      raise_mismatch(path, s.path,
                     "the file's module uses host processors, which a deployment file cannot carry; rebuild it with "
                     "initialize_arb and clean_net");
    }
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
  compare_states(path, built, tensors, d.blocks);
  try {
    at::NoGradGuard no_grad;
    built.attr("load_state_dict")(tensors, py::arg("strict") = true);
  } catch (py::error_already_set& e) {
    raise_naming_path(e, path, "cannot load deployment file");
  }
  return built;
}

// ---- gradient print-out ------------------------------------------------------------


void print_grad_modules(py::handle net, long long depth, py::object name_so_far, std::vector<PyObject*>& path) {
  host::print(py::str(name_so_far) + py::str(": has req grads: ") +
              py::str(py::int_(check_requires_grad(net) ? 1 : 0)));
  // A module already on the current path (an ancestor reached through a back
  // reference) is not entered again; every module on an acyclic path is printed.
  host::WalkScope scope(path, net, " while printing the module tree");
  py::object members = net.attr("__dir__")();
  if (host::is_container(net)) {
    for (auto& [submodule_id, child] : host::container_children(net)) {
      if (child.equal(net) || host::on_path(path, child)) continue;
      print_grad_modules(child, depth + 1, name_so_far + py::str(".") + py::str(submodule_id), path);
    }
    return;
  }
  py::object module_cls = host::nn_attr("Module");
  for (py::handle member : members) {
    py::object sub_name = name_so_far + py::str(".") + py::str(member);
    py::object value;
    if (!host::read_attr(net, member, value)) continue;
    if (!host::is_instance(value, module_cls) || value.equal(net) || host::on_path(path, value)) continue;
    print_grad_modules(value, depth + 1, sub_name, path);
  }
}

void debug_print_grad_modules(py::object net, long long depth, py::object name_so_far) {
  net = require_module(net, "debug_print_grad_modules", "net");
  std::vector<PyObject*> path;
  print_grad_modules(net, depth, name_so_far, path);
}

}  // namespace
}  // namespace dgr::utils

using namespace dgr::utils;

PYBIND11_MODULE(utils_dgr, m) {
  m.doc() = "Network utilities: the deployment form of a trained network (clean_net, dg_save_net, load_deployment), parameter counting, training checkpoints (load_net) and gradient print-outs.";
  host::check_torch_version(DGR_TORCH_VERSION);
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("os") = py::module_::import("os");
  m.attr("warnings") = py::module_::import("warnings");
  m.attr("GDL") = host::GDL();
  m.attr("UDL") = host::UDL();
  m.attr("BDL") = py::module_::import("dendrograd.blockwise_dgr");
  m.attr("DN") = py::module_::import("dendrograd.deploy_net");
  m.attr("save_file") = py::module_::import("safetensors.torch").attr("save_file");
  m.attr("load_file") = py::module_::import("safetensors.torch").attr("load_file");
  m.attr("safe_open") = py::module_::import("safetensors").attr("safe_open");

  g_checkpoint_error = PyErr_NewExceptionWithDoc(
      "dendrograd.utils_dgr.CheckpointError",
      "A checkpoint file exists but cannot be read (truncated, corrupted or not a checkpoint).",
      PyExc_RuntimeError, nullptr);
  if (!g_checkpoint_error) throw py::error_already_set();
  m.attr("CheckpointError") = py::handle(g_checkpoint_error);

  m.def("check_requires_grad", &check_requires_grad, py::arg("module"),
        "True as soon as one parameter of the module's subtree requires grad.");
  m.def("clean_net", &clean_net, py::arg("net"),
        "The deployment form: block-wise conversion, host deep copy, inference modules.");
  m.def("dg_count_params", &dg_count_params, py::arg("net"),
        "Scalar weights of the training or deployment form, each storage counted once.");
  m.def("add_future_warning", &add_future_warning, "Puts an ignore-everything entry at the front of the warning filters.");
  m.def("remove_future_warning", &remove_future_warning, "Deletes the front entry of the warning filters.");
  m.def("dg_save_net", &dg_save_net, py::arg("net"), py::arg("folder"), py::arg("name"),
        "Writes the deployment form of `net` to folder/name_arb.pt; `net` itself is not changed. Safetensors files "
        "carry a description of the grown modules in their metadata, from which load_deployment rebuilds them.");
  m.def("is_writing_rank", &is_writing_rank, py::arg("path"),
        "Whether this process writes checkpoint files: rank 0 of an initialised torch.distributed\n"
        "process group; without one, the process whose environment variable RANK is 0 or unset.\n"
        "`path` is the file about to be written (named in the ValueError raised when RANK is not an\n"
        "integer).");
  m.def("load_net", &load_net, py::arg("net"), py::arg("folder"), py::arg("name"),
        "Reads folder/name.pt into `net` (built by the host) and returns the loaded network.");
  g_mismatch_error = PyErr_NewExceptionWithDoc(
      "dendrograd.utils_dgr.DeploymentMismatchError",
      "A deployment file does not fit the network given to load_deployment; the message names the first\n"
      "module that differs and the file.",
      PyExc_ValueError, nullptr);
  if (!g_mismatch_error) throw py::error_already_set();
  m.attr("DeploymentMismatchError") = py::handle(g_mismatch_error);
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
  m.def("debug_print_grad_modules", &debug_print_grad_modules, py::arg("net"), py::arg("depth"),
        py::arg("name_so_far"), "Prints, per module of the tree, whether its subtree still has trainable parameters.");
}
