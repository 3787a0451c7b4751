// deploy_net: the inference form of a converted network.
//
// refresh_net walks a module tree in which the block-wise conversion has put an
// ARBLayer in place of every neuron module, and replaces each ARBLayer by an
// ARBModulePyThread: the main layer and the accepted dendrite layers evaluated on
// the same input (optionally one Python thread per layer), then combined as a
// cascade with the packed skip weights.
//
// ARBModulePyThread is an nn.Module subclass created at import time with
// type(name, (nn.Module,), dict); its methods are C++ functions attached to the
// class afterwards. __module__/__qualname__ name this module, so pickle (torch.save
// of a whole module, copy.deepcopy) finds the class again by reference.
#include "host_contract.h"

#include <ATen/ThreadLocalState.h>

#include <algorithm>
#include <string>
#include <vector>

namespace host = dgr::host;

namespace dgr::deploy {
namespace {


using host::extra_verbose;



// obj.<name> as a tensor, or an undefined tensor where the attribute is missing or None
// (nn.Module's way of registering "no parameter"); anything else is a TypeError.
at::Tensor optional_tensor_attr(py::handle obj, py::handle name) {
  if (!PyObject_HasAttr(obj.ptr(), name.ptr())) return at::Tensor();
  py::object value = obj.attr(name);
  if (value.is_none()) return at::Tensor();
  return host::tensor_attr(obj, name);
}

// The block's layers as a list.
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

// ---- one layer evaluation ------------------------------------------------------------

// Dendrite layer c: processor pre, the layer's module call, processor post.
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

// Main layer: its forward called directly, then the processor's pre reduces the
// output to the tensor that the dendrites are added to.
void run_main(py::handle layer, py::handle processor, py::list out_values, size_t c, py::tuple args,
              py::dict kwargs) {
  py::object result = layer.attr(DGR_STR("forward"))(*args, **kwargs);
  if (!processor.is_none()) result = processor.attr(DGR_STR("pre"))(result);
  out_values[c] = result;
}

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
  vt = vt.to(at::kCPU, at::kLong).contiguous();
  const int64_t* p = vt.data_ptr<int64_t>();
  return std::vector<int64_t>(p, p + vt.numel());
}

// The cascade: every layer output receives the skip-weighted outputs of the earlier
// (already combined and activated) dendrites; dendrite outputs pass through the
// nonlinearity. `first_entry` is the layer that entry 0 of skip_weights belongs to.
py::object combine(py::handle self, py::list out_values, py::handle processors, int64_t first_entry,
                   py::object nonlinearity) {
  const size_t n = out_values.size();
  std::vector<at::Tensor> outs(n);
  for (size_t i = 0; i < n; ++i) outs[i] = as_layer_output(out_values[i], i);

  at::Tensor skip;
  std::vector<int64_t> view;
  if (n > 1) {
    skip = optional_tensor_attr(self, DGR_STR("skip_weights"));
    if (skip.defined()) {
      if (skip.dim() != 3) {
        throw py::value_error(host::class_name(self) +
                              ".skip_weights must have 3 dimensions (entries, rows, row width), got " +
                              std::to_string(skip.dim()));
      }
      view = view_shape(self);
    }
  }
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

  if (!threading) {
    for (size_t c = 0; c + 1 < n; ++c) run_dendrite(layers[c], processors[py::int_(c)], out_values, c, args, kwargs);
    run_main(layers[n - 1], processors[py::int_(n - 1)], out_values, n - 1, args, kwargs);
  } else {
    // One thread per layer. Workers inherit the caller's grad mode and other
    // thread-local settings; an exception in a worker is kept and raised here after
    // every thread has been joined.
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
  return combine(self, out_values, processors, first_entry, std::move(nonlinearity));
}

// ---- ARBModulePyThread ---------------------------------------------------------------

py::object as_index_buffer(py::handle owner, py::handle value) {
  if (host::is_tensor(value)) return host::wrap(host::tensor(value).detach().clone());
  if (!PyIndex_Check(value.ptr())) {
    throw py::type_error(host::class_name(owner) + ".node_index must be a tensor or an integer, got " +
                         host::class_name(value));
  }
  return host::wrap(at::tensor({static_cast<int64_t>(host::as_int(value))}, at::kLong));
}

void thread_module_init(py::object self, py::object original) {
  for (const char* name : {"layer_array", "processor_array", "node_index", "module_id", "num_cycles", "view_tuple"}) {
    if (!py::hasattr(original, name)) {
      throw py::type_error("ARBModulePyThread: original_module must be a block layer (ARBLayer), got " +
                           host::class_name(original) + " without '" + name + "'");
    }
  }
  at::Tensor skip = optional_tensor_attr(original, DGR_STR("skip_weights"));
  host::nn_attr("Module").attr("__init__")(self);
  self.attr("layer_array") = original.attr(DGR_STR("layer_array"));
  self.attr("processor_array") = original.attr(DGR_STR("processor_array"));
  if (skip.defined() && skip.dim() > 0 && skip.size(0) > 1) {
    // Entries 1.. of the block's weights, sharing its storage.
    self.attr("skip_weights") = host::nn_attr("Parameter")(host::wrap(skip.detach().slice(0, 1)),
                                                     py::arg("requires_grad") = skip.requires_grad());
  }
  py::object register_buffer = self.attr("register_buffer");
  register_buffer("node_index", as_index_buffer(original, original.attr(DGR_STR("node_index"))));
  register_buffer("module_id", host::wrap(host::tensor_attr(original, DGR_STR("module_id")).detach().clone()));
  register_buffer("num_cycles", original.attr(host::names::num_cycles()));
  register_buffer("view_tuple", original.attr(DGR_STR("view_tuple")));
}

py::object thread_module_forward(py::object self, py::args args, py::kwargs kwargs) {
  const bool threading = host::truthy(host::this_module().attr(DGR_STR("doing_threading")));
  return run_block(self, args, kwargs, threading, 1, py::none());
}

void process_and_forward(py::object self, py::object c, py::list out_values, py::args args, py::kwargs kwargs) {
  if (!PyIndex_Check(c.ptr())) throw py::type_error("process_and_forward: c must be an integer, got " + host::class_name(c));
  const long long index = host::as_int(c);
  const size_t n = layers_of(self).size();
  if (index < 0 || static_cast<size_t>(index) + 1 >= n) {
    throw py::index_error("process_and_forward: c = " + std::to_string(index) + " is not a dendrite layer of a block with " +
                          std::to_string(n) + " layers (dendrites are 0.." + std::to_string(static_cast<long long>(n) - 2) +
                          ")");
  }
  if (static_cast<size_t>(index) >= out_values.size()) {
    throw py::index_error("process_and_forward: out_values has " + std::to_string(out_values.size()) +
                          " entries, too few for layer " + std::to_string(index));
  }
  py::object layer = self.attr(DGR_STR("layer_array"))[py::int_(index)];
  py::object processor = self.attr(DGR_STR("processor_array"))[py::int_(index)];
  run_dendrite(layer, processor, out_values, static_cast<size_t>(index), args, kwargs);
}

void process_and_pre(py::object self, py::list out_values, py::args args, py::kwargs kwargs) {
  py::list layers = layers_of(self);
  const size_t n = layers.size();
  if (n == 0) throw py::value_error("process_and_pre: the dendrite block has no layers");
  if (out_values.size() < n) {
    throw py::index_error("process_and_pre: out_values has " + std::to_string(out_values.size()) +
                          " entries, the block has " + std::to_string(n) + " layers");
  }
  py::object processor = self.attr(DGR_STR("processor_array"))[py::int_(n - 1)];
  run_main(layers[n - 1], processor, out_values, n - 1, args, kwargs);
}

py::object make_class() {
  py::object cls = host::define_module_class(
      "ARBModulePyThread", "dendrograd.deploy_net",
      "Inference form of one neuron with its accepted dendrites.\n\n"
      "Built from an ARBLayer; takes over its layer_array, processor_array and skip weights by\n"
      "reference. forward evaluates every layer on the same input (on threads of their own when\n"
      "deploy_net.doing_threading is true) and combines the outputs as a cascade.");
  // Named "_init" on the C++ side: pybind11 treats a function named __init__ as a
  // constructor of a pybind11 class, which this class is not.
  cls.attr("__init__") = py::cpp_function(&thread_module_init, py::name("_init"), py::is_method(cls),
                                          py::arg("original_module"));
  cls.attr("forward") = py::cpp_function(&thread_module_forward, py::name("forward"), py::is_method(cls));
  cls.attr("process_and_forward") =
      py::cpp_function(&process_and_forward, py::name("process_and_forward"), py::is_method(cls), py::arg("c"),
                       py::arg("out_values"));
  cls.attr("process_and_pre") = py::cpp_function(&process_and_pre, py::name("process_and_pre"),
                                                 py::is_method(cls), py::arg("out_values"));
  return cls;
}

// ---- the walk ----------------------------------------------------------------------

py::object make_module(py::object module) { return host::this_module().attr(DGR_STR("ModuleType"))(module); }

py::object get_pretrained_arb_attr(py::object pretrained, py::object member) {
  if (pretrained.is_none()) return py::none();
  return pretrained.attr(member);
}

py::object get_pretrained_arb_var(py::object pretrained, py::object submodule_id) {
  if (pretrained.is_none()) return py::none();
  return pretrained.attr("get_submodule")(submodule_id);
}

// The walk of refresh_arb. `path` holds the objects from the root down to `net`: a
// member that refers back to one of them (a cycle in the attribute graph) is not entered.
py::object refresh_walk(py::object net, long long depth, py::str name_so_far, py::list converted_list,
                        std::vector<PyObject*>& path) {
  if (extra_verbose()) {
    host::print(py::str("DN calling convert on ") + py::str(net) + py::str(" depth ") + py::str(py::int_(depth)));
    host::print(py::str("DN calling convert on ") + name_so_far + py::str(": ") + py::str(host::class_name(net)) +
                py::str(", depth ") + py::str(py::int_(depth)));
  }
  if (py::type::of(net).is(host::this_module().attr(DGR_STR("ModuleType")))) {
    if (extra_verbose()) {
      host::print(
          "this is only being called because something in your model is pointed to twice by two different "
          "variables.  Highest thing on the list is one of the duplicates");
    }
    return net;
  }
  host::WalkScope scope(path, net, " while converting blocks to inference modules");
  py::object members = net.attr("__dir__")();
  if (host::is_container(net, true)) {
    for (auto& [submodule_id, child] : host::container_children(net)) {
      if (!child.equal(net) && !host::on_path(path, child)) {
        py::str child_path = name_so_far + py::str("[") + py::str(submodule_id) + py::str("]");
        converted_list.append(child_path);
        py::setattr(net, submodule_id, refresh_walk(child, depth + 1, child_path, converted_list, path));
      }
      if (host::class_name(net.attr(submodule_id)) == "ARBLayer") {
        py::setattr(net, submodule_id, make_module(get_pretrained_arb_var(net, submodule_id)));
      }
    }
  } else {
    if (host::contains(host::get(host::names::get_modules_to_track()), py::type::of(net))) return net;
    py::handle module_cls = host::nn_attr("Module");
    for (py::handle member : members) {
      py::object value;
      if (!host::read_attr(net, member, value)) continue;
      py::str sub_name = name_so_far + py::str(".") + py::str(member);
      std::string member_text = py::str(member);
      if (member_text == "device" || member_text == "dtype") continue;
      if (host::contains(host::get(host::names::get_module_names_to_not_save()), sub_name)) continue;
      if (host::contains(converted_list, sub_name)) {
        if (extra_verbose()) host::print(host::percent("Skipping %s during save", sub_name));
        continue;
      }
      if (host::is_instance(value, module_cls) || member_text == "layer_array") {
        converted_list.append(sub_name);
        if (!value.equal(net) && !host::on_path(path, value)) {
          py::setattr(net, member, refresh_walk(value, depth + 1, sub_name, converted_list, path));
        }
      }
      py::object now;
      if (host::read_attr(net, member, now) && host::class_name(now) == "ARBLayer") {
        py::setattr(net, member, make_module(get_pretrained_arb_attr(net, py::reinterpret_borrow<py::object>(member))));
      }
    }
  }
  if (host::class_name(net) == "ARBLayer") net = make_module(net);
  return net;
}

py::object refresh_arb(py::object net, long long depth, py::str name_so_far, py::list converted_list) {
  std::vector<PyObject*> path;
  return refresh_walk(std::move(net), depth, std::move(name_so_far), std::move(converted_list), path);
}

py::object refresh_net(py::object net) {
  host::require_module(net, "refresh_net", "net");
  return refresh_arb(net, 0, py::str(""), py::list());
}

}  // namespace
}  // namespace dgr::deploy

using namespace dgr::deploy;

PYBIND11_MODULE(deploy_net, m) {
  m.doc() = "Inference modules: replaces the ARBLayer blocks of a converted network by lean ARBModulePyThread modules that evaluate the dendrites (optionally on threads of their own), and refreshes converted networks.";
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("threading") = py::module_::import("threading");
  m.attr("GDL") = host::GDL();

  m.attr("doing_threading") = py::bool_(false);
  py::object cls = make_class();
  m.attr("ARBModulePyThread") = cls;
  m.attr("ModuleType") = cls;

  m.def("make_module", &make_module, py::arg("module"), "A new ARBModulePyThread built from an ARBLayer.");
  m.def("get_pretrained_arb_attr", &get_pretrained_arb_attr, py::arg("pretrained_dendrite"), py::arg("member"),
        "None when pretrained_dendrite is None, else its attribute `member`.");
  m.def("get_pretrained_arb_var", &get_pretrained_arb_var, py::arg("pretrained_dendrite"), py::arg("submodule_id"),
        "None when pretrained_dendrite is None, else its sub-module `submodule_id`.");
  m.def("refresh_arb", &refresh_arb, py::arg("net"), py::arg("depth"), py::arg("name_so_far"),
        py::arg("converted_list"), "Replaces every ARBLayer below `net` by an inference module; returns `net`.");
  m.def("refresh_net", &refresh_net, py::arg("net"), "refresh_arb from the root with an empty path.");
  m.def(
      "_block_forward",
      [](py::object module, py::tuple args, py::dict kwargs, int64_t first_entry, py::object nonlinearity) {
        return run_block(module, std::move(args), std::move(kwargs), false, first_entry, std::move(nonlinearity));
      },
      py::arg("module"), py::arg("args"), py::arg("kwargs"), py::arg("first_entry"), py::arg("nonlinearity"),
      "Sequential forward of a block whose skip_weights entry 0 belongs to layer `first_entry` "
      "(used by ARBLayer.forward).");
}
