// modules_dgr: apply_dg_grads over several dendrite modules with their candidates'
// backward passes handed to the autograd engine as one pass.
//
// Pool backwards of several dendrite modules are gathered while apply_dg_grads_together
// runs: their graphs are disjoint, so every gradient is what a pass per module gives, at
// one engine start instead of one per module. Each thread gathers its own.
#include "learning.h"

#include <torch/csrc/autograd/autograd.h>

#include <exception>

namespace dgr::modules {
namespace {

class GatheredBackward {
 public:
  bool gathering() const { return depth_ > 0; }

  void add(py::handle dendrite_module, const std::vector<at::Tensor>& outs, const at::Tensor& gradient) {
    std::vector<at::Tensor> gradients = gradient.unbind(0);
    roots_.insert(roots_.end(), outs.begin(), outs.end());
    gradients_.insert(gradients_.end(), gradients.begin(), gradients.end());
    if (modules_.empty() || !modules_.back().is(dendrite_module)) {
      modules_.push_back(py::reinterpret_borrow<py::object>(dendrite_module));
    }
  }

  // The gathered batches are already folded into the scores and removed: when the pass
  // fails (a hook on a candidate raising), no candidate of these modules keeps a gradient
  // from it, so the step updates none of them, and the error propagates.
  void flush() {
    std::vector<at::Tensor> roots = std::move(roots_), gradients = std::move(gradients_);
    std::vector<py::object> modules = std::move(modules_);
    roots_.clear();
    gradients_.clear();
    modules_.clear();
    if (roots.empty()) return;
    try {
      py::gil_scoped_release no_gil;
      torch::autograd::backward(roots, gradients, false);
    } catch (...) {
      drop_candidate_gradients(modules);
      throw;
    }
  }

  // Gathers for the scope's life; what is gathered runs when the outermost scope ends,
  // also when it ends by an exception (the modules before the failure learned, as they
  // would have one by one).
  class Scope {
   public:
    explicit Scope(GatheredBackward& g) : g_(g) { ++g_.depth_; }
    ~Scope() {
      if (--g_.depth_ > 0 || std::uncaught_exceptions() == 0) return;
      try {
        g_.flush();
      } catch (...) {
        // The exception already on its way is the one to report.
      }
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    GatheredBackward& g_;
  };

 private:
  static void drop_candidate_gradients(const std::vector<py::object>& modules) {
    py::error_scope failed_pass;  // the pass's Python error, set aside while this runs
    try {
      for (const py::object& dendrite_module : modules) {
        for (py::handle slot : host::module_list(dendrite_module, host::names::candidate_module())) {
          for (py::handle parameter : slot.attr("parameters")()) parameter.attr(DGR_STR("grad")) = py::none();
        }
      }
    } catch (py::error_already_set&) {
      // The failed pass is the error to report.
    }
  }

  int depth_ = 0;
  std::vector<at::Tensor> roots_, gradients_;
  std::vector<py::object> modules_;  // empty outside a gathering (no Python object outlives it)
};

GatheredBackward& gathered_backward() {
  thread_local GatheredBackward gathered;
  return gathered;
}

// apply_dg_grads of every module of `dendrite_modules`, in order, with the pool backwards
// of all of them run as one pass of the engine at the end.
void apply_dg_grads_together(py::iterable dendrite_modules) {
  {
    GatheredBackward::Scope gather(gathered_backward());
    for (py::handle dendrite_module : dendrite_modules) apply_dg_grads(dendrite_module);
  }
  gathered_backward().flush();
}

}  // namespace

bool backward_gathering() { return gathered_backward().gathering(); }

void gather_backward(py::handle dendrite_module, const std::vector<at::Tensor>& outs, const at::Tensor& gradient) {
  gathered_backward().add(dendrite_module, outs, gradient);
}

void flush_gathered_backward() { gathered_backward().flush(); }

void register_gathered_backward(py::module_& m) {
  m.def("apply_dg_grads_together", &apply_dg_grads_together, py::arg("dendrite_modules"),
        "apply_dg_grads for every dendrite module of dendrite_modules, in order, with the candidates'\n"
        "backward of all of them run as one pass of the autograd engine: the same gradients, one\n"
        "engine start per step instead of one per module. When a module raises, the modules before\n"
        "it have learned (as with apply_dg_grads one by one) and the error propagates. When the\n"
        "combined pass itself raises (a hook on a candidate parameter, say), its batches have been\n"
        "folded into the scores and removed, the candidates of those modules are left without\n"
        "gradients (the step updates none of them) and the error propagates.");
}

}  // namespace dgr::modules
