// Digests of a safetensors file's tensor data. safetensors checks a file's header, not its
// data: a few flipped bytes in a weight load without a word. Every file the add-on writes
// carries the SHA-256 of each tensor's bytes (as the file holds them) in its metadata, and
// every read compares them before anything uses the tensors.
#include "utils_dgr.h"

#include <string>

namespace dgr::utils {
namespace {

py::handle hashlib_module() { return DGR_CACHED_MODULE("hashlib"); }

// SHA-256 of the bytes a safetensors file holds for `t`: its data on the CPU, contiguous.
std::string tensor_sha256(const at::Tensor& t) {
  const at::Tensor bytes = t.detach().to(at::kCPU).contiguous();
  py::object hash = hashlib_module().attr("sha256")();
  if (bytes.nbytes() > 0) {
    // hashlib releases the interpreter lock while it hashes a large buffer
    hash.attr("update")(py::memoryview::from_memory(bytes.data_ptr(), static_cast<py::ssize_t>(bytes.nbytes())));
  }
  return hash.attr("hexdigest")().cast<std::string>();
}

at::Tensor tensor_entry(py::handle tensors, py::handle name) {
  return host::tensor(tensors[name], "every value of a checkpoint's tensors");
}

// The digest entry {"algorithm": "sha256", "tensors": {name: hex digest}} of a file's tensors.
py::object parse_record(py::handle path, py::handle text) {
  try {
    py::object record = json_module().attr("loads")(text);
    if (!PyDict_Check(record.ptr()) || !record.contains("tensors") ||
        !py::str("sha256").equal(record.attr("get")("algorithm")) || !PyDict_Check(record["tensors"].ptr())) {
      raise_checkpoint_error(path, "has a digest entry this version cannot read");
    }
    return record["tensors"];
  } catch (py::error_already_set& e) {
    if (e.matches(checkpoint_error()) || !e.matches(PyExc_ValueError)) throw;
    raise_unreadable(path, "has a damaged digest entry", e);
  }
}

}  // namespace

py::dict with_tensor_digest(py::handle tensors, py::handle metadata) {
  py::dict digests;
  for (py::handle name : tensors.attr("keys")()) {
    digests[name] = py::str(tensor_sha256(tensor_entry(tensors, name)));
  }
  py::dict record;
  record["algorithm"] = "sha256";
  record["tensors"] = digests;
  py::dict merged = metadata.is_none() ? py::dict() : py::dict(py::reinterpret_borrow<py::object>(metadata));
  merged[kDigestKey] = json_module().attr("dumps")(record, py::arg("sort_keys") = true);
  return merged;
}

void check_tensor_digest(py::handle path, py::handle tensors, py::handle metadata) {
  if (metadata.is_none() || !metadata.contains(kDigestKey)) {
    const std::string message = std::string(py::str(path)) +
                                " carries no digest of its tensor data (written before digests were added), "
                                "so damage to its data cannot be detected; save it again to add one";
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
    return;
  }
  py::object expected = parse_record(path, metadata[kDigestKey]);
  for (py::handle item : expected.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    const std::string name = py::str(kv[0]);
    if (!tensors.contains(kv[0])) raise_checkpoint_error(path, "lacks tensor '" + name + "' that its digest lists");
    if (!py::str(tensor_sha256(tensor_entry(tensors, kv[0]))).equal(kv[1])) {
      raise_checkpoint_error(path, "is damaged: the data of tensor '" + name +
                                       "' differs from the digest written with it");
    }
  }
  for (py::handle name : tensors.attr("keys")()) {
    if (!expected.contains(name)) {
      raise_checkpoint_error(path, "holds tensor '" + std::string(py::str(name)) + "' that its digest does not list");
    }
  }
}

void register_digests(py::module_& m) {
  m.def("with_tensor_digest", &with_tensor_digest, py::arg("tensors"), py::arg("metadata") = py::none(),
        "A copy of the safetensors metadata mapping `metadata` (None: empty) with the digest of\n"
        "`tensors` (a name-to-tensor mapping) added under \"dendrograd_digest\": the SHA-256 of each\n"
        "tensor's bytes as a safetensors file holds them. Pass the result to save_file with the\n"
        "same tensors; check_tensor_digest verifies it on load.");
  m.def("check_tensor_digest", &check_tensor_digest, py::arg("path"), py::arg("tensors"), py::arg("metadata"),
        "Compares `tensors` (as read from the safetensors file `path`) with the digest in the file's\n"
        "`metadata`. Returns None when every tensor matches; a file without a digest (written\n"
        "before digests existed) gives one UserWarning and passes.\n\n"
        "Raises CheckpointError naming the path and the first tensor whose data differs, a tensor\n"
        "the digest lists but the file lacks (or the other way round), or a damaged digest entry.");
}

}  // namespace dgr::utils
