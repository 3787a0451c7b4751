// modules_dgr: a module's candidates computed without their Python calls, as one
// product where their layers allow it.
//
// The candidates are plain torch.nn layers called through Python one after another. When
// every one is a torch.nn.Linear, or an ungrouped zero-padded Conv1d/2d/3d, of one shape
// and geometry, with plain tensor weights, no hook, no replaced or compiled forward and
// torch.nn.functional's layer function in place, and no torch-function mode is active,
// that call is exactly the layer function on the layer's own weights: small linear layers
// run as one product on their stacked weights, larger ones and convolutions get one
// product each from here. Everything else (other layers, hooks, a forward of the user's,
// several inputs) keeps the call per candidate.
#include "modules_dgr.h"

#include "kernels/stacked_layer_kernel.h"

#include <ATen/PythonTorchFunctionTLS.h>

#include <algorithm>

namespace dgr::modules {
namespace {

// Linear candidates with more weight elements than this run as one product each: copying
// their weights into one stack every step costs more than the one GEMM saves (on one CPU
// thread, 4 candidates of 256x256 took 1.3 ms apart and 1.7 ms stacked, forward and
// backward). Convolutions never stack: on the CPU oneDNN's cost grows with the output
// channels as C convolutions' does, and the stacked result's gradient is one more copy (4
// candidates of 16->32 channels on 32x32x32 inputs took 35-37 ms apart and 61-68 ms
// stacked). Not measured on a GPU, where one launch instead of C might pay.
constexpr int64_t kMaxStackedLinearWeight = 1 << 14;

enum class LayerKind { kOther, kLinear, kConvolution };

LayerKind kind_of(py::handle layer) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(layer.ptr()));
  static PyObject* linear = host::nn_attr("Linear").release().ptr();
  static PyObject* conv[] = {host::nn_attr("Conv1d").release().ptr(), host::nn_attr("Conv2d").release().ptr(),
                             host::nn_attr("Conv3d").release().ptr()};
  if (type == linear) return LayerKind::kLinear;
  for (PyObject* c : conv) {
    if (type == c) return LayerKind::kConvolution;
  }
  return LayerKind::kOther;
}

// Whether an OrderedDict of hooks (or the like) in `dict` under `name` holds anything.
bool has_entries(PyObject* dict, py::handle name) {
  PyObject* value = PyDict_GetItemWithError(dict, name.ptr());
  if (!value) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  return host::length(value) > 0;
}

// Whether torch.nn's module-wide hooks are all empty: a call through Python would run them.
bool no_global_hooks() {
  py::handle module = DGR_CACHED_MODULE("torch.nn.modules.module");
  PyObject* globals = PyModule_GetDict(module.ptr());
  for (py::handle name : {DGR_STR("_global_forward_hooks"), DGR_STR("_global_forward_pre_hooks"),
                          DGR_STR("_global_backward_hooks"), DGR_STR("_global_backward_pre_hooks")}) {
    if (has_entries(globals, name)) return false;
  }
  return true;
}

// Whether the class attribute `name` that `type` resolves to is torch's own function: a
// plain Python function whose code is `qualname` and whose globals are those of `module`.
// functools.wraps copies a function's names onto a wrapper, not its code or globals, so a
// wrapper patched onto a class fails. Functions found to be torch's are remembered: the
// common case is one lookup and one comparison.
bool is_torch_function(PyTypeObject* type, py::handle name, const char* module, const char* qualname) {
  static std::vector<PyObject*> known;  // strong references, kept for the process
  PyObject* function = _PyType_Lookup(type, name.ptr());  // borrowed
  if (!function) return false;
  if (std::find(known.begin(), known.end(), function) != known.end()) return true;
  if (!PyFunction_Check(function)) return false;
  if (PyFunction_GET_GLOBALS(function) != PyModule_GetDict(py::module_::import(module).ptr())) return false;
  py::object code_name = py::getattr(PyFunction_GET_CODE(function), "co_qualname", py::none());
  if (!py::str(code_name).equal(py::str(qualname))) return false;
  known.push_back(py::reinterpret_borrow<py::object>(function).release().ptr());
  return true;
}

// torch.nn.functional's `name` (borrowed), or null.
PyObject* functional_op(py::handle name) {
  PyObject* functional = PyModule_GetDict(DGR_CACHED_MODULE("torch.nn.functional").ptr());
  PyObject* op = PyDict_GetItemWithError(functional, name.ptr());
  if (!op && PyErr_Occurred()) throw py::error_already_set();
  return op;
}

// Whether a call of the layer runs torch's own code down to the layer function: Module's
// call machinery and the type's forward not patched, torch.nn.functional's linear/convNd
// still the ATen op.
bool runs_torch_forward(py::handle layer, LayerKind kind) {
  static PyObject* linear_op = py::object(host::torch_module().attr("_C").attr("_nn").attr("linear")).release().ptr();
  static PyObject* conv_ops[] = {py::object(host::torch_module().attr("conv1d")).release().ptr(),
                                 py::object(host::torch_module().attr("conv2d")).release().ptr(),
                                 py::object(host::torch_module().attr("conv3d")).release().ptr()};
  PyTypeObject* type = Py_TYPE(layer.ptr());
  constexpr const char* kModule = "torch.nn.modules.module";
  if (!is_torch_function(type, DGR_STR("__call__"), kModule, "Module._wrapped_call_impl") ||
      !is_torch_function(type, DGR_STR("_wrapped_call_impl"), kModule, "Module._wrapped_call_impl") ||
      !is_torch_function(type, DGR_STR("_call_impl"), kModule, "Module._call_impl")) {
    return false;
  }
  if (kind == LayerKind::kLinear) {
    return is_torch_function(type, DGR_STR("forward"), "torch.nn.modules.linear", "Linear.forward") &&
           functional_op(DGR_STR("linear")) == linear_op;
  }
  const int dims = type->tp_name[4] - '0';  // exact types "Conv1d" ... "Conv3d"
  if (dims < 1 || dims > 3) return false;
  static const char* const forwards[] = {"Conv1d.forward", "Conv2d.forward", "Conv3d.forward"};
  static const char* const conv_forwards[] = {"Conv1d._conv_forward", "Conv2d._conv_forward",
                                              "Conv3d._conv_forward"};
  const py::handle ops[] = {DGR_STR("conv1d"), DGR_STR("conv2d"), DGR_STR("conv3d")};
  return is_torch_function(type, DGR_STR("forward"), "torch.nn.modules.conv", forwards[dims - 1]) &&
         is_torch_function(type, DGR_STR("_conv_forward"), "torch.nn.modules.conv", conv_forwards[dims - 1]) &&
         functional_op(ops[dims - 1]) == conv_ops[dims - 1];
}

// Weight and bias (undefined when None) of a layer called as plain as its type's forward:
// no hook of its own, no forward or call machinery replaced on the instance, no compiled
// call (Module.compile) standing in for it. Nothing otherwise.
std::optional<std::pair<at::Tensor, at::Tensor>> plain_parameters(py::handle layer) {
  PyObject** dict_slot = _PyObject_GetDictPtr(layer.ptr());
  if (!dict_slot || !*dict_slot) return std::nullopt;
  PyObject* dict = *dict_slot;
  for (py::handle name : {DGR_STR("_forward_hooks"), DGR_STR("_forward_pre_hooks"), DGR_STR("_backward_hooks"),
                          DGR_STR("_backward_pre_hooks")}) {
    if (has_entries(dict, name)) return std::nullopt;
  }
  // What Module's call or the type's forward would find on the instance first.
  for (py::handle name : {DGR_STR("forward"), DGR_STR("_conv_forward"), DGR_STR("_call_impl"),
                          DGR_STR("_wrapped_call_impl")}) {
    if (PyDict_GetItemWithError(dict, name.ptr())) return std::nullopt;
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  PyObject* compiled = PyDict_GetItemWithError(dict, DGR_STR("_compiled_call_impl").ptr());
  if (compiled && compiled != Py_None) return std::nullopt;
  if (PyErr_Occurred()) throw py::error_already_set();
  PyObject* parameters = PyDict_GetItemWithError(dict, DGR_STR("_parameters").ptr());
  if (!parameters || !PyDict_Check(parameters)) return std::nullopt;
  PyObject* weight = PyDict_GetItemWithError(parameters, DGR_STR("weight").ptr());
  if (!weight && PyErr_Occurred()) throw py::error_already_set();
  PyObject* bias = PyDict_GetItemWithError(parameters, DGR_STR("bias").ptr());
  if (!bias && PyErr_Occurred()) throw py::error_already_set();
  if (!weight || !is_plain_tensor(weight)) return std::nullopt;
  at::Tensor b;
  if (bias && bias != Py_None) {
    if (!is_plain_tensor(bias)) return std::nullopt;
    b = THPVariable_Unpack(bias);
  }
  return std::make_pair(THPVariable_Unpack(weight), b);
}

// The shared geometry of ungrouped, zero-padded convolutions, or nothing.
std::optional<kernels::ConvolutionGeometry> convolution_geometry(py::handle layer) {
  if (host::as_int(layer.attr(DGR_STR("groups"))) != 1) return std::nullopt;
  if (!py::str(layer.attr(DGR_STR("padding_mode"))).equal(py::str("zeros"))) return std::nullopt;
  py::object padding = layer.attr(DGR_STR("padding"));
  if (!PyTuple_Check(padding.ptr())) return std::nullopt;  // "same" / "valid"
  return kernels::ConvolutionGeometry{host::int_vector(layer.attr(DGR_STR("stride"))), host::int_vector(padding),
                                      host::int_vector(layer.attr(DGR_STR("dilation")))};
}

bool same_geometry(const kernels::ConvolutionGeometry& a, const kernels::ConvolutionGeometry& b) {
  return a.stride == b.stride && a.padding == b.padding && a.dilation == b.dilation;
}

// The one positional input tensor of a call, when that is all the call passes and the
// tensor is a plain torch.Tensor.
std::optional<at::Tensor> single_plain_input(py::handle args, py::handle kwargs) {
  if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 1) return std::nullopt;
  if (!kwargs.is_none() && host::length(kwargs) != 0) return std::nullopt;
  PyObject* x = PyTuple_GET_ITEM(args.ptr(), 0);
  if (!is_plain_tensor(x)) return std::nullopt;
  return THPVariable_Unpack(x);
}

}  // namespace

bool is_plain_tensor(PyObject* obj) {
  static PyObject* tensor_type = py::object(host::torch_module().attr("Tensor")).release().ptr();
  static PyObject* parameter_type = host::nn_attr("Parameter").release().ptr();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  return type == tensor_type || type == parameter_type;
}

bool leaves_input_intact(py::handle function) {
  static const std::vector<PyObject*> known = [] {
    std::vector<PyObject*> fs;
    py::handle torch = host::torch_module();
    for (const char* name : {"sigmoid", "tanh", "relu"}) fs.push_back(py::object(torch.attr(name)).release().ptr());
    py::object functional = torch.attr("nn").attr("functional");
    for (const char* name : {"sigmoid", "tanh", "relu", "gelu", "silu", "elu", "leaky_relu", "softplus", "mish"}) {
      fs.push_back(py::object(functional.attr(name)).release().ptr());
    }
    return fs;
  }();
  return std::find(known.begin(), known.end(), function.ptr()) != known.end();
}

std::optional<std::vector<at::Tensor>> candidate_layer_outputs(const py::list& candidates, py::handle args,
                                                               py::handle kwargs, bool may_share_storage) {
  if (candidates.empty() || at::impl::torch_function_mode_enabled()) return std::nullopt;
  const std::optional<at::Tensor> x = single_plain_input(args, kwargs);
  if (!x) return std::nullopt;
  const LayerKind kind = kind_of(candidates[0]);
  if (kind == LayerKind::kOther || !no_global_hooks()) return std::nullopt;
  if (!runs_torch_forward(candidates[0], kind)) return std::nullopt;  // one type: its class checked once
  std::vector<at::Tensor> weights, biases;
  std::optional<kernels::ConvolutionGeometry> geometry;
  for (py::handle layer : candidates) {
    if (kind_of(layer) != kind) return std::nullopt;
    auto parameters = plain_parameters(layer);
    if (!parameters) return std::nullopt;
    weights.push_back(parameters->first);
    if (parameters->second.defined()) biases.push_back(parameters->second);
    if (kind == LayerKind::kConvolution) {
      auto g = convolution_geometry(layer);
      if (!g || (geometry && !same_geometry(*g, *geometry))) return std::nullopt;
      geometry = std::move(g);
    }
  }
  if (!biases.empty() && biases.size() != weights.size()) return std::nullopt;
  if (!kernels::check_stack(weights, biases).empty()) return std::nullopt;
  auto layer_function = [&](at::TensorList w, at::TensorList b) {
    return kind == LayerKind::kLinear ? kernels::stacked_linear(*x, w, b)
                                      : kernels::stacked_convolution(*x, w, b, *geometry);
  };
  const bool stack =
      may_share_storage && kind == LayerKind::kLinear && weights[0].numel() <= kMaxStackedLinearWeight;
  if (stack) return layer_function(weights, biases);
  std::vector<at::Tensor> outs;  // a stack of one is the layer's own product
  for (size_t c = 0; c < weights.size(); ++c) {
    outs.push_back(layer_function(weights[c], biases.empty() ? at::TensorList() : at::TensorList(biases[c]))[0]);
  }
  return outs;
}

}  // namespace dgr::modules
