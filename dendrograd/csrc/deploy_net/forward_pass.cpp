// The forward pass of a block: the main layer and the accepted dendrite layers evaluated on
// the same input (optionally one Python thread per layer), then combined as a cascade with
// the packed skip weights.
#include "deploy_net.h"

#include <ATen/ThreadLocalState.h>

#include <memory>
#include <string>
#include <vector>

namespace dgr::deploy {
namespace {

at::Tensor as_layer_output(py::handle value, size_t index) {
  if (!host::is_tensor(value)) {
    throw py::type_error("layer " + std::to_string(index) + " of the dendrite block produced " +
                         std::string(py::str(py::type::of(value).attr("__name__"))) +
                         ", expected a tensor (after its processor)");
  }
  return host::tensor(value);
}

std::vector<int64_t> view_shape(py::handle module) {
  at::Tensor vt = host::tensor_attr(module, DGR_STR("view_tuple"));
  if (vt.layout() != at::kStrided || vt.dim() > 1) {
    throw py::value_error(host::class_name(module) + ".view_tuple must be a dense vector of sizes, got a tensor of " +
                          std::to_string(vt.dim()) + " dimensions");
  }
  return host::int_vector(host::wrap(vt));
}

// The block's skip weights where it has layers to combine, and the shape that broadcasts
// one row of them over a layer output (empty without skip weights).
at::Tensor skip_weights_of(py::handle self, size_t n, std::vector<int64_t>& view) {
  if (n <= 1) return at::Tensor();
  at::Tensor skip = optional_tensor_attr(self, DGR_STR("skip_weights"));
  if (!skip.defined()) return skip;
  if (skip.dim() != 3) {
    throw py::value_error(host::class_name(self) +
                          ".skip_weights must have 3 dimensions (entries, rows, row width), got " +
                          std::to_string(skip.dim()));
  }
  view = view_shape(self);
  return skip;
}

// The cascade: every layer output receives the skip-weighted outputs of the earlier
// (already combined and activated) dendrites; dendrite outputs pass through the
// nonlinearity. `first_entry` is the layer that entry 0 of skip_weights belongs to.
py::object combine(py::handle self, py::list out_values, py::handle processors, int64_t first_entry,
                   py::object nonlinearity) {
  const size_t n = out_values.size();
  std::vector<at::Tensor> outs(n);
  for (size_t i = 0; i < n; ++i) outs[i] = as_layer_output(out_values[i], i);
  std::vector<int64_t> view;
  at::Tensor skip = skip_weights_of(self, n, view);
  if (n > 1 && nonlinearity.is_none()) nonlinearity = host::get(host::names::get_arb_forward_function());

  for (size_t out_index = 0; out_index < n; ++out_index) {
    at::Tensor current = outs[out_index];
    const int64_t entry_index = static_cast<int64_t>(out_index) - first_entry;
    // A layer without an entry of its own (a block packed from a single entry) gets no skip terms.
    if (skip.defined() && out_index > 0 && entry_index < skip.size(0)) {
      at::Tensor entry = skip.select(0, entry_index);
      for (size_t in_index = 0; in_index < out_index; ++in_index) {
        at::Tensor weight = entry.select(0, static_cast<int64_t>(in_index)).view(view).to(current.device());
        current = current + outs[in_index] * weight;
      }
    }
    if (out_index + 1 < n) {
      py::object activated = nonlinearity(host::wrap(current));
      current = as_layer_output(activated, out_index);
    }
    outs[out_index] = current;
  }
  py::object result = host::wrap(outs[n - 1]);
  py::object last = processors[py::int_(n - 1)];
  if (!last.is_none()) result = last.attr(DGR_STR("post"))(result);
  return result;
}

// Raises, on the calling thread, the first exception that a worker stored.
void reraise_worker_error(py::list errors) {
  for (py::handle err : errors) {
    if (err.is_none()) continue;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
    throw py::error_already_set();
  }
}

// One thread per layer. Workers inherit the caller's grad mode and other thread-local
// settings; an exception in a worker is kept and raised here after every thread has been
// joined.
void run_layers_on_threads(py::list layers, py::handle processors, py::list out_values, py::tuple args,
                           py::dict kwargs) {
  const size_t n = layers.size();
  auto state = std::make_shared<at::ThreadLocalState>();
  py::list errors(n);
  for (size_t i = 0; i < n; ++i) errors[i] = py::none();
  py::object thread_cls = DGR_CACHED_MODULE("threading").attr(DGR_STR("Thread"));
  std::vector<py::object> threads;
  threads.reserve(n);
  for (size_t c = 0; c < n; ++c) {
    py::object layer = layers[c];
    py::object processor = processors[py::int_(c)];
    const bool is_main = (c + 1 == n);
    py::cpp_function target([layer, processor, out_values, errors, c, args, kwargs, state, is_main]() {
      at::ThreadLocalStateGuard guard(*state);
      try {
        if (is_main) {
          run_main(layer, processor, out_values, c, args, kwargs);
        } else {
          run_dendrite(layer, processor, out_values, c, args, kwargs);
        }
      } catch (py::error_already_set& e) {
        errors[c] = e.value();
      } catch (const std::exception& e) {
        errors[c] = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(e.what());
      } catch (...) {
        errors[c] = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)("unknown error in a dendrite worker");
      }
    });
    threads.push_back(thread_cls(py::arg("target") = target));
  }
  for (auto& t : threads) t.attr("start")();
  for (auto& t : threads) t.attr("join")();
  reraise_worker_error(errors);
}

}  // namespace

at::Tensor optional_tensor_attr(py::handle obj, py::handle name) {
  if (!PyObject_HasAttr(obj.ptr(), name.ptr())) return at::Tensor();
  py::object value = obj.attr(name);
  if (value.is_none()) return at::Tensor();  // nn.Module's way of registering "no parameter"
  return host::tensor_attr(obj, name);
}

py::list layers_of(py::handle self) {
  py::object layer_array = self.attr(DGR_STR("layer_array"));
  PyObject* layers = PySequence_List(layer_array.ptr());
  if (layers == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    throw py::type_error(host::class_name(self) + ".layer_array must be a sequence of layers, got " +
                         host::class_name(layer_array));
  }
  return py::reinterpret_steal<py::list>(layers);
}

void run_dendrite(py::handle layer, py::handle processor, py::list out_values, size_t c, py::tuple args,
                  py::dict kwargs) {
  if (!processor.is_none()) {
    py::object prepared = processor.attr(DGR_STR("pre"))(*args, **kwargs);
    py::sequence pair = py::reinterpret_borrow<py::sequence>(prepared);
    if (pair.size() != 2) {
      throw py::value_error("a processor's pre must return (args, kwargs), got " + std::to_string(pair.size()) +
                            " items for layer " + std::to_string(c));
    }
    args = py::tuple(pair[0]);
    kwargs = py::dict(pair[1]);
  }
  py::object result = layer(*args, **kwargs);
  if (!processor.is_none()) result = processor.attr(DGR_STR("post"))(result);
  out_values[c] = result;
}

void run_main(py::handle layer, py::handle processor, py::list out_values, size_t c, py::tuple args,
              py::dict kwargs) {
  py::object result = layer.attr(DGR_STR("forward"))(*args, **kwargs);
  if (!processor.is_none()) result = processor.attr(DGR_STR("pre"))(result);
  out_values[c] = result;
}

py::object run_block(py::handle self, py::tuple args, py::dict kwargs, bool threading, int64_t first_entry,
                     py::object nonlinearity) {
  py::list layers = layers_of(self);
  py::object processors = self.attr(DGR_STR("processor_array"));
  const size_t n = layers.size();
  if (n == 0) throw py::value_error("the dendrite block has no layers");
  if (static_cast<size_t>(py::len(processors)) != n) {
    throw py::value_error("the dendrite block has " + std::to_string(n) + " layers but " +
                          std::to_string(py::len(processors)) + " processor entries");
  }
  py::list out_values(n);
  for (size_t i = 0; i < n; ++i) out_values[i] = py::none();

  if (threading) {
    run_layers_on_threads(layers, processors, out_values, args, kwargs);
  } else {
    for (size_t c = 0; c + 1 < n; ++c) run_dendrite(layers[c], processors[py::int_(c)], out_values, c, args, kwargs);
    run_main(layers[n - 1], processors[py::int_(n - 1)], out_values, n - 1, args, kwargs);
  }
  return combine(self, out_values, processors, first_entry, std::move(nonlinearity));
}

void register_forward_pass(py::module_& m) {
  m.def(
      "_block_forward",
      [](py::object module, py::tuple args, py::dict kwargs, int64_t first_entry, py::object nonlinearity) {
        return run_block(module, std::move(args), std::move(kwargs), false, first_entry, std::move(nonlinearity));
      },
      py::arg("module"), py::arg("args"), py::arg("kwargs"), py::arg("first_entry"), py::arg("nonlinearity"),
      "Sequential forward of a block whose skip_weights entry 0 belongs to layer `first_entry` "
      "(used by ARBLayer.forward).");
}

}  // namespace dgr::deploy
