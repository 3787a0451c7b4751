// modules_dgr, pairing half: which stored candidate output belongs to which neuron error.
//
// forward_candidates opens a ForwardCall for each forward call that stores candidate
// outputs and tags them with it (attribute `_dgr_call`). The host then calls
// watch_neuron_error with the neuron module's output, which hooks that output with a
// guard of the call; the error the hook catches is tagged with the same call. So a call's error meets
// its own outputs whatever happened in between: forwards without a backward (a
// discarded loss, an exception, a validation pass in training mode), a layer used
// several times in one forward (its errors come back in reverse order), repeated
// backwards through a retained graph (summed into one error, as gradients are).
//
// The guard lives exactly as long as the autograd graph that could still deliver
// the error. When the graph is freed without a backward, the call's outputs can
// never be paired, and the next reconciliation drops them. A call that was never
// watched (the forward raised after storing, or the host pairs by position) pairs
// by position until the layer's next forward, which drops it.
//
// Untagged entries (stored without watch_neuron_error, or put on the lists by other
// code) keep the positional pairing: they pair with each other, oldest first.
//
// The lists are kept per device key (the inputs' device for outputs). A call's error is
// stored under the key of that call's outputs, on their device, whatever device the
// layer's output moved to (model parallel). What still ends up under a key the holder
// does not learn from (one layer on several devices in a step, positional entries) can
// never be paired; drop_stranded_entries empties such keys at every step and zero_grad.
#include "learning.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace dgr::modules {
namespace {

struct ForwardCall {
  std::atomic<bool> watched{false};           // watch_neuron_error hooked the neuron output
  std::atomic<bool> backward_possible{true};  // the graph that carries its error still exists
  std::atomic<bool> error_arrived{false};     // a backward has delivered its error
};

// Held by the neuron output's hook; its end means no backward can reach the call any more.
struct BackwardGuard {
  explicit BackwardGuard(std::shared_ptr<ForwardCall> c) : call(std::move(c)) {}
  ~BackwardGuard() { call->backward_possible.store(false); }
  std::shared_ptr<ForwardCall> call;
};

// getattr(obj, name, None) without raising and clearing an AttributeError.
py::object optional_attr(py::handle obj, py::handle name) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  int found = PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value);
#else
  int found = _PyObject_LookupAttr(obj.ptr(), name.ptr(), &value);
#endif
  if (found < 0) throw py::error_already_set();
  return found ? py::reinterpret_steal<py::object>(value) : py::object();
}

}  // namespace

py::object open_forward_call() { return py::cast(std::make_shared<ForwardCall>()); }

void tag_with_call(py::handle tensor, py::handle call) {
  if (PyObject_SetAttr(tensor.ptr(), DGR_STR("_dgr_call").ptr(), call.ptr()) < 0) throw py::error_already_set();
}

// The call a stored tensor belongs to, or nullptr when it is untagged.
const ForwardCall* call_of(py::handle stored) {
  py::object tag = optional_attr(stored, DGR_STR("_dgr_call"));
  if (!tag || tag.is_none()) return nullptr;
  return py::cast<std::shared_ptr<ForwardCall>>(tag).get();
}

bool is_tagged(py::handle stored) { return call_of(stored) != nullptr; }

namespace {

bool backward_possible(const ForwardCall* call) { return call->backward_possible.load(); }

// The call that pairs a stored output by identity; nullptr for positional entries.
const ForwardCall* watched_call_of(py::handle stored) {
  const ForwardCall* call = call_of(stored);
  return call && call->watched.load() ? call : nullptr;
}

void replace_contents(py::list& list, const std::vector<py::object>& items) {
  py::list fresh(items.size());
  for (size_t i = 0; i < items.size(); ++i) fresh[i] = items[i];
  if (PyList_SetSlice(list.ptr(), 0, PY_SSIZE_T_MAX, fresh.ptr()) < 0) throw py::error_already_set();
}

}  // namespace

StoredBatches reconcile_stored(py::list outs, py::list errors) {
  const size_t n_outs = outs.size(), n_errors = errors.size();
  std::vector<const ForwardCall*> error_calls(n_errors);
  bool any_tagged = false;
  for (size_t j = 0; j < n_errors; ++j) any_tagged |= (error_calls[j] = call_of(errors[j])) != nullptr;
  std::vector<const ForwardCall*> out_calls(n_outs);
  for (size_t i = 0; i < n_outs; ++i) any_tagged |= (out_calls[i] = watched_call_of(outs[i])) != nullptr;
  StoredBatches result;
  if (!any_tagged) {  // only positional entries: nothing to reorder
    result.ready = std::min(n_outs, n_errors);
    return result;
  }
  std::vector<py::object> paired_outs, paired_errors, loose_outs, loose_errors, pending_outs;
  std::vector<bool> error_used(n_errors, false);
  for (size_t i = 0; i < n_outs; ++i) {
    const ForwardCall* call = out_calls[i];
    if (!call) {
      loose_outs.push_back(outs[i]);
      continue;
    }
    size_t j = 0;
    while (j < n_errors && (error_used[j] || error_calls[j] != call)) ++j;
    if (j < n_errors) {
      error_used[j] = true;
      paired_outs.push_back(outs[i]);
      paired_errors.push_back(errors[j]);
    } else if (backward_possible(call)) {
      pending_outs.push_back(outs[i]);
    } else {
      ++result.dropped_outputs;  // its graph is gone: the error can never come
    }
  }
  for (size_t j = 0; j < n_errors; ++j) {
    if (error_used[j]) continue;
    if (error_calls[j]) {
      ++result.dropped_errors;  // its output was consumed or dropped already
    } else {
      loose_errors.push_back(errors[j]);
    }
  }
  result.ready = paired_outs.size() + std::min(loose_outs.size(), loose_errors.size());
  result.pending = pending_outs.size();
  // Pairs first, in forward order, so that position 0 of both lists is always one batch.
  std::vector<py::object> new_outs(paired_outs), new_errors(paired_errors);
  new_outs.insert(new_outs.end(), loose_outs.begin(), loose_outs.end());
  new_outs.insert(new_outs.end(), pending_outs.begin(), pending_outs.end());
  new_errors.insert(new_errors.end(), loose_errors.begin(), loose_errors.end());
  replace_contents(outs, new_outs);
  replace_contents(errors, new_errors);
  return result;
}

size_t drop_unreachable_outputs(py::list outs) {
  std::vector<py::object> kept;
  size_t dropped = 0;
  for (py::handle out : outs) {
    const ForwardCall* call = call_of(out);
    const bool abandoned = call && !call->watched.load();  // a later forward came first
    if (call && (abandoned || (!backward_possible(call) && !call->error_arrived.load()))) {
      ++dropped;
    } else {
      kept.push_back(py::reinterpret_borrow<py::object>(out));
    }
  }
  if (dropped) replace_contents(outs, kept);
  return dropped;
}

size_t count_positional(py::handle stored) {
  size_t n = 0;
  for (py::handle item : stored) n += call_of(item) ? 0 : 1;
  return n;
}

// Adds `error` to a list: a call's second error (a backward through a retained graph,
// a checkpointed segment) is summed into its first instead of stored twice.
// `summed` caches the sum per stored object, since holders share their errors.
void store_error_for_call(py::list stored, const at::Tensor& error, py::handle error_obj, py::handle call,
                          std::vector<std::pair<PyObject*, py::object>>& summed) {
  if (!call.is_none()) {
    ForwardCall* wanted = py::cast<std::shared_ptr<ForwardCall>>(call).get();
    wanted->error_arrived.store(true);
    for (size_t j = 0; j < stored.size(); ++j) {
      py::object earlier = stored[j];
      if (call_of(earlier) != wanted) continue;
      py::object total;
      for (auto& [from, to] : summed) {
        if (from == earlier.ptr()) total = to;
      }
      if (!total) {
        total = host::wrap(host::tensor(earlier, "a stored neuron error") + error);
        tag_with_call(total, call);
        summed.emplace_back(earlier.ptr(), total);
      }
      stored[j] = total;
      return;
    }
  }
  stored.append(error_obj);
}

namespace {

// The device of the stored output of `wanted` in `list`, if the list holds one.
std::optional<at::Device> device_of_call_output(py::handle list, const ForwardCall* wanted) {
  if (!PyList_Check(list.ptr())) return std::nullopt;
  for (py::handle out : list) {
    if (call_of(out) == wanted) return host::tensor(out, "a stored candidate output").device();
  }
  return std::nullopt;
}

}  // namespace

std::optional<CallOutputs> outputs_of_call(py::handle holder, py::handle call, long long error_key) {
  py::object lists = holder.attr(host::names::dendrite_outs());
  if (!PyDict_Check(lists.ptr())) return std::nullopt;
  const ForwardCall* wanted = py::cast<std::shared_ptr<ForwardCall>>(call).get();
  py::int_ own(error_key);
  // Read without creating an entry (the lists make one for a missing key).
  PyObject* own_list = PyDict_GetItemWithError(lists.ptr(), own.ptr());
  if (!own_list && PyErr_Occurred()) throw py::error_already_set();
  if (own_list) {
    if (auto device = device_of_call_output(own_list, wanted)) return CallOutputs{own, *device};
  }
  for (auto item : py::reinterpret_borrow<py::dict>(lists)) {
    if (host::equals(item.first, own)) continue;
    if (auto device = device_of_call_output(item.second, wanted)) {
      return CallOutputs{py::reinterpret_borrow<py::object>(item.first), *device};
    }
  }
  return std::nullopt;
}

namespace {

// Drops what a holder keeps under `key`, a key it does not learn from: every error, and
// every output but those whose error may still come. Adds to `dropped` what was stored
// for pairing and never paired (errors, positional outputs, outputs whose error went
// elsewhere); outputs whose graph went away without a backward are dropped as anywhere.
void drop_stranded(py::handle holder, py::handle key, Stranded& dropped) {
  py::list errors = host::stored_list(holder, host::names::current_parent_d(), key);
  py::list outs = host::stored_list(holder, host::names::dendrite_outs(), key);
  std::vector<py::object> waiting;
  size_t unpaired = errors.size();
  for (py::handle out : outs) {
    const ForwardCall* call = call_of(out);
    if (call && call->watched.load() && backward_possible(call) && !call->error_arrived.load()) {
      waiting.push_back(py::reinterpret_borrow<py::object>(out));
    } else if (!call || call->error_arrived.load()) {
      ++dropped.outputs;
      ++unpaired;
    }
  }
  dropped.errors += errors.size();
  if (unpaired) dropped.keys.push_back(py::str(key));
  if (PyList_SetSlice(errors.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0) throw py::error_already_set();
  replace_contents(outs, waiting);
}

}  // namespace

Stranded drop_stranded_entries(py::handle holder) {
  Stranded dropped;
  py::object learning_key = holder_device(holder);
  if (learning_key.is_none()) return dropped;  // no error stored yet: nothing can be stranded
  py::list keys;
  for (py::handle name : {host::names::dendrite_outs(), host::names::current_parent_d()}) {
    py::object lists = holder.attr(name);
    if (!PyDict_Check(lists.ptr())) continue;
    for (auto item : py::reinterpret_borrow<py::dict>(lists)) {
      bool stranded = host::length(item.second) != 0 && !host::equals(item.first, learning_key);
      if (stranded && !host::contains(keys, item.first)) keys.append(item.first);
    }
  }
  for (py::handle key : keys) drop_stranded(holder, key, dropped);
  return dropped;
}

namespace {

void watch_neuron_error(py::handle dendrite_module, py::handle out, py::handle candidate_nonlinear_outs) {
  if (!PyDict_Check(candidate_nonlinear_outs.ptr())) {
    host::argument_error(host::Mistake::wrong_type, "watch_neuron_error",
                         "candidate_nonlinear_outs must be the dict returned by forward_candidates, got " +
                             host::class_name(candidate_nonlinear_outs));
  }
  at::Tensor out_t = host::tensor(out, "watch_neuron_error: out");
  py::object call;  // the tag forward_candidates put on what it stored
  for (auto item : py::reinterpret_borrow<py::dict>(candidate_nonlinear_outs)) {
    py::object tag = optional_attr(item.second, DGR_STR("_dgr_call"));
    if (tag && !tag.is_none()) {
      call = tag;
      break;
    }
  }
  if (!call) return;  // nothing was stored (eval mode, no_grad, learn mode off): no error is wanted
  std::shared_ptr<ForwardCall> state = py::cast<std::shared_ptr<ForwardCall>>(call);
  state->watched.store(true);
  if (!out_t.requires_grad()) {
    state->backward_possible.store(false);  // no error can reach this call: drop its outputs
    return;
  }
  auto guard = std::make_shared<BackwardGuard>(state);
  py::list holders = host::module_list(dendrite_module, host::names::dendrite_values());
  py::cpp_function hook([guard, holders, call](const at::Tensor& grad) {
    filter_backward_for_call(grad, holders, call);
  });
  out.attr("register_hook")(hook);
}

}  // namespace

void register_pairing(py::module_& m) {
  py::class_<ForwardCall, std::shared_ptr<ForwardCall>>(m, "_ForwardCall",
                                                          "Tags the candidate outputs and the neuron error of one "
                                                          "forward call of a neuron module.")
      .def_property_readonly(
          "backward_possible", [](const ForwardCall& c) { return c.backward_possible.load(); },
          "False once the graph that could deliver this call's neuron error is gone.")
      .def("__deepcopy__", [](py::handle, py::handle) { return py::none(); },  // a copied tensor is no stored batch
           "Returns None: a deep copy of a tagged tensor does not belong to any forward call.");
  m.def("watch_neuron_error", &watch_neuron_error, py::arg("dendrite_module"), py::arg("out"),
        py::arg("candidate_nonlinear_outs"),
        "Hooks the neuron module's output `out` so that its error reaches the candidate outputs that "
        "forward_candidates stored in the same call (its second result). Call it right after "
        "forward_candidates, with the output the neuron module returns.\n"
        "Does nothing when nothing was stored (eval mode, no_grad, learn mode off); when out does not\n"
        "require grad, the call's stored outputs are dropped at the next step.\n\n"
        "Raises TypeError when candidate_nonlinear_outs is not a dict or out is not a tensor.");
}

}  // namespace dgr::modules
