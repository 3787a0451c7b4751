// dg_save_net: writes "<folder>/<name>_arb.pt", the deployment form of a trained network,
// as a safetensors file, a weight-tying-aware safetensors file (the host's layout) or a
// whole-module torch archive. Safetensors files carry the description of the grown
// modules (deployment_format.cpp). The file appears only once complete.
#include "utils_dgr.h"

namespace dgr::utils {
namespace {

// Adds `extra` to the metadata of the safetensors file `path` (written by the host,
// which knows nothing of it): the file is written again beside itself, then renamed.
void add_metadata(py::object path, py::dict extra) {
  py::dict tensors;
  py::object metadata;
  SafetensorsFile(path).read(tensors, metadata, /*check_digest=*/false);  // just written, no digest yet
  py::dict merged;
  for (py::handle item : metadata.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    merged[kv[0]] = kv[1];
  }
  for (auto kv : extra) merged[kv.first] = kv.second;
  write_atomically(path, path + py::str(".meta"), [&](py::handle rewritten) {
    SafetensorsFile(py::reinterpret_borrow<py::object>(rewritten)).write(tensors, merged);
  });
}

// The host's weight-tying-aware file, with the description added to its metadata.
void write_weight_tying_file(py::handle net, py::object path, py::dict metadata) {
  host::UDL().attr(host::names::save_model_with_weight_tying())(net, path);
  add_metadata(std::move(path), std::move(metadata));
}

// The converted network `net` in the format the host's settings choose, at `path`.
void write_checkpoint(py::object net, py::object path) {
  if (!host::flag(host::names::get_using_safe_tensors())) {
    host::torch_module().attr("save")(net, path);
    return;
  }
  py::dict metadata = deployment_metadata(net);
  if (host::flag(host::names::get_weight_tying_experimental())) {
    write_weight_tying_file(net, path, metadata);
    return;
  }
  try {
    SafetensorsFile(path).write(net.attr("state_dict")(), metadata);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    std::string text = py::str(e.value());
    if (text.find("Some tensors share memory") == std::string::npos) throw;
    host::print(
        "Detected shared-memory tensors while saving _arb checkpoint; falling back to weight-tying-aware save.");
    write_weight_tying_file(net, path, metadata);
  }
}

// The deployment form of a copy of `net`, ready to write: block-wise converted, copied
// again, inference modules in place, the host's tracker string gone, parameters contiguous.
py::object deployment_form(py::object net) {
  net = BDL().attr("blockwise_network")(net);
  net = host::UDL().attr(host::names::deep_copy_arb())(net);
  net = DN().attr("refresh_net")(net);
  py::delattr(net, "tracker_string");
  for (py::handle p : net.attr("parameters")()) {
    p.attr("data") = p.attr("data").attr("contiguous")();
  }
  return net;
}

void dg_save_net(py::object net, py::object folder, py::object name) {
  host::require_module(net, "dg_save_net", "net");
  net = host::unwrap_parallel(net);
  const CheckpointPaths paths = checkpoint_paths(folder, name, "_arb.pt", "dg_save_net");
  if (!is_writing_rank(paths.file)) return;

  net = host::UDL().attr(host::names::deep_copy_arb())(net);
  make_folders(paths.folder, paths.save_point);
  net = deployment_form(net);

  // Written under a temporary name in the same folder, then renamed into place.
  py::object temporary = paths.save_point + py::str(".") + name + py::str("_arb.pt.") +
                         py::str(py::module_::import("uuid").attr("uuid4")().attr("hex")) + py::str(".tmp");
  try {
    write_atomically(paths.file, temporary, [&](py::handle tmp) {
      write_checkpoint(net, py::reinterpret_borrow<py::object>(tmp));
    });
  } catch (py::error_already_set& e) {
    raise_naming_path(e, paths.file, "cannot write checkpoint");
  }
}

}  // namespace

void register_save(py::module_& m) {
  m.def("dg_save_net", &dg_save_net, py::arg("net"), py::arg("folder"), py::arg("name"),
        "Writes the deployment form of `net` to folder/name_arb.pt; `net` itself is not changed. Safetensors files "
        "carry a description of the grown modules in their metadata, from which load_deployment rebuilds them.");
}

}  // namespace dgr::utils
