// load_net: reads "<folder>/<name>.pt" (a training checkpoint) into a network the host has
// built, and leaves that network as it was when reading or copying fails.
#include "utils_dgr.h"

namespace dgr::utils {
namespace {

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

// Whether the safetensors file carries the host's weight-tying layout.
bool has_weight_tying_metadata(py::object path) {
  py::object metadata = SafetensorsFile(std::move(path)).metadata();
  return host::truthy(metadata) && metadata.contains("weight_tying");
}

py::object read_safetensors_state(py::object path) {
  try {
    return SafetensorsFile(path).load_tensors();
  } catch (py::error_already_set& e) {
    if (e.matches(checkpoint_error())) throw;  // a digest mismatch names the path and tensor already
    if (!e.matches(PyExc_Exception)) throw;
    raise_unreadable(path, "is not a readable safetensors checkpoint", e);
  }
}

// The state of a whole-module archive: the trusted full load first, then the default one.
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
  host::require_module(net, "load_net", "net");
  net = host::unwrap_parallel(net);
  const py::object path = checkpoint_paths(folder, name, ".pt", "load_net").file;
  require_checkpoint_file(path);
  py::handle udl = host::UDL();
  auto load_weight_tying = [&] { return udl.attr(host::names::load_model_with_weight_tying())(net, path); };
  py::object state;
  if (host::flag(host::names::get_using_safe_tensors())) {
    if (host::flag(host::names::get_weight_tying_experimental())) return load_or_restore(net, path, load_weight_tying);
    try {
      if (has_weight_tying_metadata(path)) return load_or_restore(net, path, load_weight_tying);
    } catch (py::error_already_set& e) {
      // an ordinary failure of the probe, the host's load included: read the plain way below
      if (!e.matches(PyExc_Exception)) throw;
    }
    state = read_safetensors_state(path);
  } else {
    // Silence warnings while the archive loads; the filter list is restored on every way
    // out, also when both attempts fail.
    state = with_warnings_silenced([&] { return read_legacy_archive(path); });
  }
  return load_or_restore(net, path, [&] { return udl.attr(host::names::load_net_from_dict())(net, state); });
}

}  // namespace

void register_load_net(py::module_& m) {
  m.def("load_net", &load_net, py::arg("net"), py::arg("folder"), py::arg("name"),
        "Reads folder/name.pt into `net` (built by the host) and returns the loaded network.");
}

}  // namespace dgr::utils
