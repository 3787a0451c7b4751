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

// Python's recursion limit for the module-tree walk: a tree deeper than the interpreter
// allows ends in RecursionError instead of overflowing the C++ stack.
struct RecursionGuard {
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

void require_module(py::handle obj, const char* function, const char* argument) {
  if (!host::is_instance(obj, host::nn_attr("Module"))) {
    throw py::type_error(std::string(function) + ": " + argument + " must be a torch.nn.Module, got " +
                         host::class_name(obj));
  }
}

// ---- small functions -------------------------------------------------------------

bool check_requires_grad(py::handle module) {
  require_module(module, "check_requires_grad", "module");
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
  require_module(net, "clean_net", "net");
  py::object blocks = BDL().attr("blockwise_network")(net);
  py::object copied = host::UDL().attr("deep_copy_arb")(blocks);
  return DN().attr("refresh_net")(copied);
}

long long dg_count_params(py::object net) {
  require_module(net, "dg_count_params", "net");
  py::list entries;
  if (host::flag(DGR_STR("get_count_training_params"))) {
    entries = py::list(net.attr("named_parameters")());
  } else {
    py::object copied = host::UDL().attr("deep_copy_arb")(net);
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

void check_rank_allows_writing(py::handle path, bool& write) {
  py::object rank = os_module().attr("environ").attr("get")("RANK");
  write = true;
  if (rank.is_none()) return;
  py::object value;
  try {
    value = py::module_::import("builtins").attr("int")(rank);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    std::string message = "environment variable RANK must be an integer, got " + std::string(py::repr(rank)) +
                          "; nothing was written to " + std::string(py::str(path));
    raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(message), &e);
  }
  write = host::as_int(value) == 0;
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

void write_checkpoint(py::object net, py::object tmp) {
  const bool safe = host::flag(DGR_STR("get_using_safe_tensors"));
  if (safe && host::flag(DGR_STR("get_weight_tying_experimental"))) {
    host::UDL().attr("save_model_with_weight_tying")(net, tmp);
  } else if (safe) {
    try {
      safetensors_torch().attr("save_file")(net.attr("state_dict")(), tmp);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_RuntimeError)) throw;
      std::string text = py::str(e.value());
      if (text.find("Some tensors share memory") == std::string::npos) throw;
      host::print("Detected shared-memory tensors while saving _arb checkpoint; falling back to weight-tying-aware save.");
      host::UDL().attr("save_model_with_weight_tying")(net, tmp);
    }
  } else {
    host::torch_module().attr("save")(net, tmp);
  }
}

void dg_save_net(py::object net, py::object folder, py::object name) {
  require_module(net, "dg_save_net", "net");
  folder = folder_path(folder, "dg_save_net");
  require_name(name, "dg_save_net");
  py::object save_point = folder + py::str("/");
  py::object path = save_point + name + py::str("_arb.pt");
  bool write = true;
  check_rank_allows_writing(path, write);
  if (!write) return;

  net = host::UDL().attr("deep_copy_arb")(net);
  make_folders(folder, save_point);

  net = BDL().attr("blockwise_network")(net);
  net = host::UDL().attr("deep_copy_arb")(net);
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
  require_module(net, "load_net", "net");
  py::object save_point = folder_path(folder, "load_net") + py::str("/");
  require_name(name, "load_net");
  py::object path = save_point + name + py::str(".pt");
  require_checkpoint_file(path);
  py::handle udl = host::UDL();
  py::object state;
  if (host::flag(DGR_STR("get_using_safe_tensors"))) {
    if (host::flag(DGR_STR("get_weight_tying_experimental"))) {
      return load_or_restore(net, path, [&] { return udl.attr("load_model_with_weight_tying")(net, path); });
    }
    try {
      if (has_weight_tying_metadata(path)) {
        return load_or_restore(net, path, [&] { return udl.attr("load_model_with_weight_tying")(net, path); });
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
  return load_or_restore(net, path, [&] { return udl.attr("load_net_from_dict")(net, state); });
}

// ---- gradient print-out ------------------------------------------------------------

bool on_path(const std::vector<PyObject*>& path, py::handle obj) {
  for (PyObject* p : path) {
    if (p == obj.ptr()) return true;
  }
  return false;
}

void print_grad_modules(py::handle net, long long depth, py::object name_so_far, std::vector<PyObject*>& path) {
  RecursionGuard guard(" while printing the module tree");
  host::print(py::str(name_so_far) + py::str(": has req grads: ") +
              py::str(py::int_(check_requires_grad(net) ? 1 : 0)));
  py::object members = net.attr("__dir__")();
  path.push_back(net.ptr());
  // A module already on the current path (an ancestor reached through a back
  // reference) is not entered again; every module on an acyclic path is printed.
  if (host::is_instance(net, host::nn_attr("Sequential")) || host::is_instance(net, host::nn_attr("ModuleList"))) {
    py::list children(net.attr("named_children")());
    for (py::handle item : children) {
      py::object submodule_id = py::reinterpret_borrow<py::tuple>(item)[0];
      py::object sub_name = name_so_far + py::str(".") + py::str(submodule_id);
      py::object child = net.attr("get_submodule")(submodule_id);
      if (child.equal(net) || on_path(path, child)) continue;
      print_grad_modules(child, depth + 1, sub_name, path);
    }
  } else {
    py::object module_cls = host::nn_attr("Module");
    for (py::handle member : members) {
      py::object sub_name = name_so_far + py::str(".") + py::str(member);
      py::object value;
      if (!host::read_attr(net, member, value)) continue;
      if (!host::is_instance(value, module_cls) || value.equal(net) || on_path(path, value)) continue;
      print_grad_modules(value, depth + 1, sub_name, path);
    }
  }
  path.pop_back();
}

void debug_print_grad_modules(py::object net, long long depth, py::object name_so_far) {
  require_module(net, "debug_print_grad_modules", "net");
  std::vector<PyObject*> path;
  print_grad_modules(net, depth, name_so_far, path);
}

}  // namespace
}  // namespace dgr::utils

using namespace dgr::utils;

PYBIND11_MODULE(utils_dgr, m) {
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
        "Writes the deployment form of `net` to folder/name_arb.pt; `net` itself is not changed.");
  m.def("load_net", &load_net, py::arg("net"), py::arg("folder"), py::arg("name"),
        "Reads folder/name.pt into `net` (built by the host) and returns the loaded network.");
  m.def("debug_print_grad_modules", &debug_print_grad_modules, py::arg("net"), py::arg("depth"),
        py::arg("name_so_far"), "Prints, per module of the tree, whether its subtree still has trainable parameters.");
}
