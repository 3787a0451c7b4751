// The torch.distributed process group the run trains with, and the record of its size.
#include "distributed.h"

namespace dgr::tracker::dist {
namespace {

// The device of the add-on's first parameter on an accelerator, else the current CUDA device.
at::Device accelerator_device() {
  for (py::handle neuron_module : host::tracker().attr(names::neuron_module_vector())) {
    for (py::handle param : neuron_module.attr("parameters")()) {
      at::Tensor t = host::tensor(param, "a parameter");
      if (t.is_cuda()) return t.device();
    }
  }
  return at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                   host::as_int(host::torch_module().attr("cuda").attr("current_device")())));
}

}  // namespace

py::handle torch_distributed() { return DGR_CACHED_MODULE("torch.distributed"); }

std::optional<Group> active_group() {
  py::handle d = torch_distributed();
  if (!host::truthy(d.attr("is_available")()) || !host::truthy(d.attr("is_initialized")())) return std::nullopt;
  Group g;
  g.size = host::as_int(d.attr("get_world_size")());
  if (g.size < 2) return std::nullopt;
  g.rank = host::as_int(d.attr("get_rank")());
  if (std::string(py::str(d.attr("get_backend")())) == "nccl") g.device = accelerator_device();
  return g;
}

std::string rank_text(const Group& g) { return "rank " + std::to_string(g.rank) + " of " + std::to_string(g.size); }

std::optional<Group> run_group(py::handle tracker) {
  std::optional<Group> g = active_group();
  if (g) return g;
  long long trained_with = host::as_int(recalled(tracker, names::distributed_world_size(), py::int_(1)));
  if (trained_with > 1) {
    throw std::runtime_error(
        "dendrograd: this run trains with a process group of " + std::to_string(trained_with) +
        " ranks, but torch.distributed is no longer initialised in this process; the other ranks would wait for "
        "this one forever. Keep the process group until training ends (destroy_process_group() after the last "
        "epoch), or build a new optimizer with tracker.setup_optimizer to train in one process.");
  }
  return g;
}

bool in_process_group() { return active_group().has_value(); }

}  // namespace dgr::tracker::dist
