// Shared declarations of the utils_dgr extension (whole-network utilities): the modules it
// reaches, its errors and file steps, the description of the grown structure that a
// deployment file carries, and each file's register function.
#pragma once

#include "host_contract.h"

#include <functional>
#include <string>
#include <vector>

namespace dgr::utils {

namespace host = dgr::host;

inline py::handle BDL() { return DGR_CACHED_MODULE("dendrograd.blockwise_dgr"); }
inline py::handle DN() { return DGR_CACHED_MODULE("dendrograd.deploy_net"); }
inline py::handle os_module() { return DGR_CACHED_MODULE("os"); }
inline py::handle json_module() { return DGR_CACHED_MODULE("json"); }
inline py::handle copy_module() { return DGR_CACHED_MODULE("copy"); }

inline bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// ---- errors and paths (errors_and_paths.cpp) ----
py::handle checkpoint_error();  // utils_dgr.CheckpointError
// The error `e` again with `path` in its message, as "<action> <path>: <message>".
[[noreturn]] void raise_naming_path(py::error_already_set& e, py::handle path, const std::string& action);
// CheckpointError "<path> <what>: <type>: <message>", caused by `e`.
[[noreturn]] void raise_unreadable(py::handle path, const std::string& what, py::error_already_set& e);
// CheckpointError "<path> <what>".
[[noreturn]] void raise_checkpoint_error(py::handle path, const std::string& what);
// DeploymentMismatchError naming the deployment file and the first module that differs.
[[noreturn]] void raise_mismatch(py::handle path, const std::string& module, const std::string& detail);

bool is_writing_rank(py::handle path);
// folder + "/" + name + suffix, from a folder and a name argument of `function`.
struct CheckpointPaths {
  py::object folder, save_point, file;
};
CheckpointPaths checkpoint_paths(py::handle folder, py::handle name, const char* suffix, const char* function);
void make_folders(py::handle folder, py::handle save_point);
// FileNotFoundError / IsADirectoryError unless `path` is a file.
void require_checkpoint_file(py::handle path);

// ---- tensor digests (digests.cpp) ----
// The safetensors metadata key under which a file carries the SHA-256 of each tensor's data.
constexpr const char* kDigestKey = "dendrograd_digest";
// A copy of `metadata` (None: empty) with the digest of `tensors` added.
py::dict with_tensor_digest(py::handle tensors, py::handle metadata);
// CheckpointError naming `path` and the first tensor whose data differs from the digest; one
// UserWarning for a file written without a digest.
void check_tensor_digest(py::handle path, py::handle tensors, py::handle metadata);

// A safetensors file: the one place where the add-on opens, reads and writes one. Writes add
// the digest of the tensors' data; reads check it unless told the file is the host's own,
// just written (which carries none yet).
class SafetensorsFile {
 public:
  explicit SafetensorsFile(py::object path) : path_(std::move(path)) {}
  // The metadata mapping (an empty dict where the file has none).
  py::object metadata() const;
  // Every tensor by name, and the metadata (an empty dict where the file has none).
  void read(py::dict& tensors, py::object& metadata, bool check_digest = true) const;
  // The name-to-tensor mapping, through safetensors.torch.load_file, its digest checked.
  py::object load_tensors() const;
  // Writes `tensors` (a name-to-tensor mapping) with the metadata mapping `metadata`.
  void write(py::handle tensors, py::handle metadata) const;

 private:
  py::object path_;
};

// Writes `path` through `write(temporary)`, then renames the temporary (a name in the same
// folder) into place, so the file appears only once complete. On any failure the temporary
// is removed and the error goes on unchanged.
void write_atomically(py::handle path, py::handle temporary, const std::function<void(py::handle)>& write);

// ---- the deployment description (deployment_format.cpp) ----
// What one inference module of a deployment file needs to be rebuilt.
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

// The safetensors metadata key under which a deployment file describes its grown modules.
constexpr const char* kDeploymentKey = "dendrograd_deployment";
constexpr long long kDeploymentFormat = 1;

std::string qualified_class_name(py::handle obj);
std::string function_name(py::handle f);
// The metadata entries that describe the converted network `net`.
py::dict deployment_metadata(py::handle net);
// The description that dg_save_net wrote (the metadata entry `text` of the file `path`).
Description parse_description(py::handle path, py::handle text);
// The description recognised from the tensor names of a file written without one.
Description infer_description(py::dict tensors);

// ---- network tools (network_tools.cpp) ----
bool check_requires_grad(py::handle module_arg);
py::object clean_net(py::object net);
// `read()` with every warning silenced; the warning filters are restored on every way out.
py::object with_warnings_silenced(const std::function<py::object()>& read);

// ---- register functions, in the order module.cpp calls them ----
void register_errors_and_paths(py::module_& m);
void register_network_tools(py::module_& m);
void register_save(py::module_& m);
void register_load_net(py::module_& m);
void register_load_deployment(py::module_& m);
void register_gradient_printout(py::module_& m);
void register_digests(py::module_& m);

}  // namespace dgr::utils
