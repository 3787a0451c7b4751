// Uneven inputs across ranks: the tracker's optimizer as a torch.distributed Joinable, and
// each rank's count of steps, which the epoch end compares.
//
// Under `with Join([ddp, optimizer]):` a rank that ran out of batches keeps answering the
// collectives of the steps the other ranks still take: DistributedDataParallel's hook
// those of the forward and backward, the optimizer's hook the candidates' all-reduce of a
// p-mode step (zeros with weight 0, so the averages count only the ranks that learned).
// When every rank has joined, the last rank to join hands its optimizer's state and, in p
// mode, its candidates and statistics to the others, as DistributedDataParallel does with
// the network; a rank that stopped early therefore replays nothing of the steps it missed.
//
// The optimizer becomes a Joinable by a subclass of its own class swapped in (isinstance
// holds for Join and for the user; everything else of the class stays); pickling and
// copying give the original class back.
#include "distributed.h"

#include <string>
#include <vector>

namespace dgr::tracker::dist {
namespace {

py::handle join_module() { return DGR_CACHED_MODULE("torch.distributed.algorithms.join"); }

py::handle steps_name() { return DGR_STR("_dgr_steps_this_epoch"); }
py::handle joined_name() { return DGR_STR("_dgr_joined_this_epoch"); }

// ---- the last rank to join hands its state to the others --------------------------------

struct LastJoiner {
  long long rank = -1;    // the highest rank among those that joined last
  bool uneven = false;    // some rank joined before it
};

LastJoiner find_last_joiner(const Group& g, bool is_last_joiner) {
  at::Tensor votes = at::tensor(std::vector<double>{is_last_joiner ? static_cast<double>(g.rank) : -1.0,
                                                    is_last_joiner ? 0.0 : 1.0},
                                at::dtype(at::kDouble))
                         .to(g.device);
  collective(g, "finding the last rank to join", [&] {
    py::handle d = torch_distributed();
    d.attr("all_reduce")(host::wrap(votes), py::arg("op") = d.attr("ReduceOp").attr("MAX"));
  });
  at::Tensor cpu = votes.to(at::kCPU);
  return {static_cast<long long>(cpu[0].item<double>()), cpu[1].item<double>() != 0.0};
}

// The optimizer's state in a fixed order (param_groups, then each parameter's keys sorted),
// and a summary every rank compares before the state is taken in place.
struct OptimizerState {
  std::vector<at::Tensor> tensors;
  // parameters with state, tensors, elements, dtype codes, values that are not tensors
  std::vector<double> summary = std::vector<double>(5, 0.0);
};

OptimizerState read_optimizer_state(py::handle optimizer) {
  OptimizerState s;
  py::object state = optimizer.attr(DGR_STR("state"));
  py::object sorted = DGR_CACHED_MODULE("builtins").attr("sorted");
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    for (py::handle param : group[py::str("params")]) {
      if (!host::contains(state, param)) continue;
      py::object per_param = state[param];
      s.summary[0] += 1;
      for (py::handle key : sorted(per_param.attr("keys")())) {
        py::object value = per_param[key];
        if (host::is_tensor(value)) {
          at::Tensor t = host::tensor(value);
          s.tensors.push_back(t);
          s.summary[1] += 1;
          s.summary[2] += static_cast<double>(t.numel());
          s.summary[3] += static_cast<double>(static_cast<int>(t.scalar_type()) + 1);
        } else if (!value.is_none()) {
          s.summary[4] += 1;
        }
      }
    }
  }
  return s;
}

// Every rank takes rank `src`'s optimizer state: in place when every rank holds tensors of
// the same layout, else as a whole state dict (a rank that never stepped has none yet).
void take_optimizer_state(const Group& g, py::handle optimizer, long long src) {
  OptimizerState own = read_optimizer_state(optimizer);
  at::Tensor mine = at::tensor(own.summary, at::dtype(at::kDouble)).to(g.device);
  py::list gathered;
  for (long long r = 0; r < g.size; ++r) gathered.append(host::wrap(at::empty_like(mine)));
  collective(g, "comparing the ranks' optimizer state after a Join",
             [&] { torch_distributed().attr("all_gather")(gathered, host::wrap(mine)); });
  bool same_layout = own.summary[4] == 0.0;
  for (py::handle row : gathered) same_layout = same_layout && host::tensor(row).equal(mine);
  if (same_layout) {
    bucketed_in_place(own.tensors, g.device, [&](at::Tensor& flat) {
      collective(g, "taking the last joined rank's optimizer state",
                 [&] { torch_distributed().attr("broadcast")(host::wrap(flat), py::arg("src") = src); });
    });
    return;
  }
  py::list box;
  box.append(g.rank == src ? optimizer.attr("state_dict")() : py::none());
  collective(g, "taking the last joined rank's optimizer state",
             [&] { torch_distributed().attr("broadcast_object_list")(box, py::arg("src") = src); });
  if (g.rank != src) optimizer.attr("load_state_dict")(box[0]);
}

// The post hook: after the ranks joined unevenly, the last rank's state becomes everyone's.
void finish_join(py::handle optimizer, bool is_last_joiner) {
  py::object tracker = host::tracker();
  std::optional<Group> g = run_group(tracker);
  if (!g) return;
  const LastJoiner last = find_last_joiner(*g, is_last_joiner);
  if (!last.uneven) return;  // every rank took every step: nothing to hand on
  // n mode's steps leave the add-on's state as it was; p mode's change the candidates
  if (p_mode_applies_dg_grads(tracker)) {
    broadcast_addon_state(tracker, *g, last.rank, "taking the last joined rank's candidates and statistics");
  }
  take_optimizer_state(*g, optimizer, last.rank);
}

// The main hook: one step of the ranks that have not joined.
void answer_step(py::handle optimizer) {
  own_record(host::tracker())[joined_name()] = py::bool_(true);
  shadow_candidate_step(optimizer);
}

// ---- the classes ------------------------------------------------------------------------

// Leaked: they hold Python objects, which must not be released after the interpreter ends.
py::dict& joinable_classes() {
  static auto* classes = new py::dict();
  return *classes;
}

py::object hook_class() {
  static py::object* made = nullptr;
  if (made) return *made;
  py::object base = join_module().attr("JoinHook");
  py::dict ns;
  ns["__module__"] = "dendrograd.tracker_dgr";
  ns["__qualname__"] = "CandidateJoinHook";
  ns["__doc__"] =
      "The join hook of the tracker's optimizer: while other ranks train, answers the candidates'\n"
      "all-reduce of each p-mode step with nothing of this rank's; when all have joined, hands the\n"
      "last rank's candidates, statistics and optimizer state to every rank.";
  py::object cls = py::type::of(base)("CandidateJoinHook", py::make_tuple(base), ns);
  host::define_method(cls, "main_hook", [](py::handle self) { answer_step(self.attr("optimizer")); });
  host::define_method(
      cls, "post_hook",
      [](py::handle self, bool is_last_joiner) { finish_join(self.attr("optimizer"), is_last_joiner); },
      py::arg("is_last_joiner"));
  made = new py::object(cls);
  return *made;
}

// The object Join asks for; `kwargs` (DistributedDataParallel's divide_by_initial_world_size,
// ...) changes nothing here.
py::object join_hook(py::handle optimizer, const py::kwargs&) {
  py::object hook = hook_class()();
  hook.attr("optimizer") = optimizer;
  return hook;
}

py::object join_device(py::handle) {
  std::optional<Group> g = active_group();
  return host::torch_module().attr("device")(g ? g->device.str() : std::string("cpu"));
}

// The add-on's collectives use the default group; so must the Join that shadows them.
py::object join_process_group(py::handle) { return torch_distributed().attr("group").attr("WORLD"); }

// pickle and copy rebuild an instance of `base`: the optimizer's __getstate__ keeps neither
// the wrappers nor the join configuration, so the copy is the plain optimizer. (pickle
// refuses __newobj__ with another class than the object's; copyreg's reconstructor makes
// the same empty instance without that check.)
py::object reduce_as(py::handle base, py::handle self, py::handle protocol) {
  py::object reduced = base.attr("__reduce_ex__")(self, protocol);
  if (!PyTuple_Check(reduced.ptr()) || host::length(reduced) < 2) return reduced;
  py::list parts(reduced);
  py::handle copyreg = DGR_CACHED_MODULE("copyreg");
  if (!PyTuple_Check(parts[1].ptr()) || host::length(parts[1]) < 1) return reduced;
  if (!py::handle(py::tuple(parts[1])[0]).is(py::type::of(self))) return reduced;
  if (py::handle(parts[0]).is(copyreg.attr("__newobj__")) && host::length(parts[1]) == 1) {
    parts[0] = copyreg.attr("_reconstructor");
    parts[1] = py::make_tuple(base, DGR_CACHED_MODULE("builtins").attr("object"), py::none());
  } else {
    py::list args(parts[1]);
    args[0] = base;
    parts[1] = py::tuple(args);
  }
  return py::tuple(parts);
}

// class <Name>(base, Joinable), with the base's name, module and documentation.
py::object make_joinable_class(py::handle base) {
  py::object joinable = join_module().attr("Joinable");
  py::dict ns;
  for (const char* name : {"__module__", "__qualname__", "__doc__"}) ns[name] = base.attr(name);
  py::object cls = py::type::of(joinable)(base.attr("__name__"), py::make_tuple(base, joinable), ns);
  py::object kept_base = py::reinterpret_borrow<py::object>(base);
  host::define_method(cls, "join_hook", &join_hook,
                      "The CandidateJoinHook for torch.distributed.algorithms.Join (keyword arguments ignored).");
  py::object property = DGR_CACHED_MODULE("builtins").attr("property");
  cls.attr("join_device") = property(py::cpp_function(&join_device), py::none(), py::none(),
                                     "The device of the add-on's collectives (CPU for gloo).");
  cls.attr("join_process_group") =
      property(py::cpp_function(&join_process_group), py::none(), py::none(), "The default process group.");
  host::define_method(cls, "__reduce_ex__",
                      [kept_base](py::handle self, py::handle protocol) { return reduce_as(kept_base, self, protocol); });
  DGR_CACHED_MODULE("abc").attr("update_abstractmethods")(cls);
  return cls;
}

}  // namespace

void make_joinable(py::handle optimizer) {
  // Join needs a process group; without one the optimizer keeps its own class.
  py::handle d = torch_distributed();
  if (!host::truthy(d.attr("is_available")()) || !host::truthy(d.attr("is_initialized")())) return;
  py::object base = py::type::of(optimizer);
  py::object joinable = join_module().attr("Joinable");
  if (PyObject_IsSubclass(base.ptr(), joinable.ptr()) != 0) {  // a Joinable already (or an error)
    if (PyErr_Occurred()) throw py::error_already_set();
    return;
  }
  py::dict& classes = joinable_classes();
  py::object cls;
  if (classes.contains(base)) {
    cls = classes[base];
  } else {
    try {
      cls = make_joinable_class(base);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_TypeError)) throw;
      return;  // a metaclass that does not mix with Joinable's: the optimizer stays as it is
    }
    classes[base] = cls;
  }
  if (PyObject_SetAttrString(optimizer.ptr(), "__class__", cls.ptr()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();  // a layout that cannot take the subclass (__slots__): stays as it is
    return;
  }
  // What Joinable.__init__ sets: outside a Join the hooks are off.
  optimizer.attr("_join_config") = join_module().attr("_JoinConfig").attr("construct_disabled_join_config")();
}

bool in_enabled_join(py::handle obj) {
  py::object config = py::getattr(obj, DGR_STR("_join_config"), py::none());
  return !config.is_none() && host::truthy(config.attr("enable"));
}

void notify_join(py::handle optimizer) {
  if (in_enabled_join(optimizer)) join_module().attr("Join").attr("notify_join_context")(optimizer);
}

// The counts change at every step: they live in the add-on's own record only.
void count_step(py::handle tracker, py::handle optimizer) {
  py::dict record = own_record(tracker);
  record[steps_name()] = py::int_(steps_this_epoch(tracker) + 1);
  if (in_enabled_join(optimizer)) record[joined_name()] = py::bool_(true);
}

long long steps_this_epoch(py::handle tracker) {
  PyObject* steps = PyDict_GetItemWithError(own_record(tracker).ptr(), steps_name().ptr());
  if (!steps && PyErr_Occurred()) throw py::error_already_set();
  return steps ? host::as_int(steps) : 0;
}

bool joined_this_epoch(py::handle tracker) {
  PyObject* joined = PyDict_GetItemWithError(own_record(tracker).ptr(), joined_name().ptr());
  if (!joined && PyErr_Occurred()) throw py::error_already_set();
  return joined && host::truthy(joined);
}

void restart_step_count(py::handle tracker) {
  py::dict record = own_record(tracker);
  record[steps_name()] = py::int_(0);
  record[joined_name()] = py::bool_(false);
}

}  // namespace dgr::tracker::dist
