// utils_dgr's errors and file steps: the two exception classes, errors that name the file
// they concern, which process writes, the checkpoint's folder and file names, the one
// safetensors-file wrapper and the one atomic write.
#include "utils_dgr.h"

#include <cerrno>

namespace dgr::utils {
namespace {

PyObject* g_checkpoint_error = nullptr;  // utils_dgr.CheckpointError, kept for the life of the process
PyObject* g_mismatch_error = nullptr;    // utils_dgr.DeploymentMismatchError, likewise

py::handle safetensors_torch() { return DGR_CACHED_MODULE("safetensors.torch"); }
py::handle safetensors_module() { return DGR_CACHED_MODULE("safetensors"); }

py::object os_error(PyObject* type, int code, const std::string& message, py::handle path) {
  return py::reinterpret_borrow<py::object>(type)(code, message, path);
}

// The same exception type as `value`, built to name `path`: an OSError with an error number
// keeps it and gets `path` as its file name, another type is built from `message`. Null
// where the type cannot be built so, or the result would not name the path.
py::object same_error_naming(py::handle value, py::handle path, const std::string& path_text,
                             const std::string& message) {
  py::object type = py::reinterpret_borrow<py::object>(py::type::of(value));
  try {
    py::object err_no = py::none();
    if (host::is_instance(value, PyExc_OSError)) err_no = value.attr("errno");
    if (!err_no.is_none()) {
      py::object replacement = type(err_no, value.attr("strerror"), path);  // "[Errno n] strerror: 'path'"
      return host::is_instance(replacement, type) ? replacement : py::object();
    }
    py::object replacement = type(message);
    if (!host::is_instance(replacement, type) ||
        std::string(py::str(replacement)).find(path_text) == std::string::npos) {
      return py::object();
    }
    return replacement;
  } catch (py::error_already_set& construction) {
    if (!construction.matches(PyExc_Exception)) throw;
    return py::object();
  }
}

// Runs `body(handle)` on the file opened with safe_open (framework "pt"); the file is closed
// on every way out.
template <typename Body>
void with_safe_open(py::handle path, Body&& body) {
  py::object handle = safetensors_module().attr("safe_open")(path, py::arg("framework") = "pt");
  py::object entered = handle.attr("__enter__")();
  try {
    body(entered);
  } catch (py::error_already_set&) {
    handle.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  handle.attr("__exit__")(py::none(), py::none(), py::none());
}

void remove_if_present(py::handle path) {
  if (host::truthy(os_module().attr("path").attr("exists")(path))) os_module().attr("remove")(path);
}

PyObject* new_exception(const char* name, const char* doc, PyObject* base) {
  PyObject* type = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  if (!type) throw py::error_already_set();
  return type;
}

}  // namespace

py::handle checkpoint_error() { return py::handle(g_checkpoint_error); }

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
  py::object replacement = same_error_naming(value, path, path_text, message);
  if (!replacement) replacement = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
  host::raise_from(replacement, &e);
}

[[noreturn]] void raise_unreadable(py::handle path, const std::string& what, py::error_already_set& e) {
  std::string message = std::string(py::str(path)) + " " + what + ": " +
                        std::string(py::str(py::type::of(e.value()).attr("__name__"))) + ": " +
                        std::string(py::str(e.value()));
  host::raise_from(py::reinterpret_borrow<py::object>(g_checkpoint_error)(message), &e);
}

[[noreturn]] void raise_checkpoint_error(py::handle path, const std::string& what) {
  host::raise_from(py::reinterpret_borrow<py::object>(g_checkpoint_error)(std::string(py::str(path)) + " " + what),
                   nullptr);
}

[[noreturn]] void raise_mismatch(py::handle path, const std::string& module, const std::string& detail) {
  const std::string shown = module.empty() ? "(the root module)" : "'" + module + "'";
  host::raise_from(py::reinterpret_borrow<py::object>(g_mismatch_error)(
                       "cannot load deployment file " + std::string(py::str(path)) +
                       ": the network differs from the file at module " + shown + ": " + detail),
                   nullptr);
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
    host::raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(message), &e);
  }
  return host::as_int(value) == 0;
}

CheckpointPaths checkpoint_paths(py::handle folder, py::handle name, const char* suffix, const char* function) {
  CheckpointPaths paths;
  paths.folder = host::path_argument(folder, function, "folder");
  host::require_str(name, function, "name");
  paths.save_point = paths.folder + py::str("/");
  paths.file = paths.save_point + py::reinterpret_borrow<py::object>(name) + py::str(suffix);
  return paths;
}

void make_folders(py::handle folder, py::handle save_point) {
  py::handle os_path = os_module().attr("path");
  try {
    if (!host::truthy(os_path.attr("isdir")(folder))) os_module().attr("makedirs")(folder);
    if (!host::truthy(os_path.attr("isdir")(save_point))) os_module().attr("mkdir")(save_point);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_FileExistsError)) throw;
    host::raise_from(os_error(PyExc_NotADirectoryError, ENOTDIR,
                              "cannot save the checkpoint: the folder path names something that is not a folder",
                              folder),
                     &e);
  }
}

void require_checkpoint_file(py::handle path) {
  py::handle os_path = os_module().attr("path");
  if (host::truthy(os_path.attr("isfile")(path))) return;
  if (host::truthy(os_path.attr("isdir")(path))) {
    host::raise_from(os_error(PyExc_IsADirectoryError, EISDIR, "checkpoint path is a folder, not a file", path),
                     nullptr);
  }
  host::raise_from(os_error(PyExc_FileNotFoundError, ENOENT, "no such checkpoint file", path), nullptr);
}

// ---- SafetensorsFile ----------------------------------------------------------------

py::object SafetensorsFile::metadata() const {
  py::object metadata;
  with_safe_open(path_, [&](py::handle file) { metadata = file.attr("metadata")(); });
  if (metadata.is_none()) metadata = py::dict();
  return metadata;
}

void SafetensorsFile::read(py::dict& tensors, py::object& metadata, bool check_digest) const {
  with_safe_open(path_, [&](py::handle file) {
    metadata = file.attr("metadata")();
    for (py::handle key : file.attr("keys")()) tensors[key] = file.attr("get_tensor")(key);
  });
  if (metadata.is_none()) metadata = py::dict();
  if (check_digest) check_tensor_digest(path_, tensors, metadata);
}

py::object SafetensorsFile::load_tensors() const {
  py::object tensors = safetensors_torch().attr("load_file")(path_);
  check_tensor_digest(path_, tensors, metadata());
  return tensors;
}

void SafetensorsFile::write(py::handle tensors, py::handle metadata) const {
  safetensors_torch().attr("save_file")(tensors, path_, py::arg("metadata") = with_tensor_digest(tensors, metadata));
}

void write_atomically(py::handle path, py::handle temporary, const std::function<void(py::handle)>& write) {
  try {
    write(temporary);
    os_module().attr("replace")(temporary, path);
  } catch (...) {
    try {
      remove_if_present(temporary);
    } catch (py::error_already_set&) {
      // the write error is the one to report
    }
    throw;
  }
}

void register_errors_and_paths(py::module_& m) {
  g_checkpoint_error = new_exception(
      "dendrograd.utils_dgr.CheckpointError",
      "A checkpoint file exists but cannot be read (truncated, corrupted or not a checkpoint).", PyExc_RuntimeError);
  m.attr("CheckpointError") = py::handle(g_checkpoint_error);
  g_mismatch_error = new_exception(
      "dendrograd.utils_dgr.DeploymentMismatchError",
      "A deployment file does not fit the network given to load_deployment; the message names the first\n"
      "module that differs and the file.",
      PyExc_ValueError);
  m.attr("DeploymentMismatchError") = py::handle(g_mismatch_error);
  m.def("is_writing_rank", &is_writing_rank, py::arg("path"),
        "Whether this process writes checkpoint files: rank 0 of an initialised torch.distributed\n"
        "process group; without one, the process whose environment variable RANK is 0 or unset.\n"
        "`path` is the file about to be written (named in the ValueError raised when RANK is not an\n"
        "integer).");
}

}  // namespace dgr::utils
