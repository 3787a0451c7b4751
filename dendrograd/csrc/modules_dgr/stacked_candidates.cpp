// modules_dgr: a module's candidates computed without their Python calls, as one
// product where their layers allow it.
//
// The candidates are plain torch.nn layers called through Python one after another. When
// every one is a torch.nn.Linear, or an ungrouped zero-padded Conv1d/2d/3d, of one shape
// and geometry, with no hook and no replaced forward, that call is exactly the layer
// function on the layer's own weights: the stacked kernel computes all of them at once
// (small linear layers, convolutions), and larger linear layers get one product each
// from here. Everything else (other layers, hooks, a forward of the user's, several
// inputs) keeps the call per candidate.
#include "modules_dgr.h"

#include "kernels/stacked_layer_kernel.h"

namespace dgr::modules {
namespace {

// Linear candidates with more weight elements than this run as one product each: copying
// their weights into one stack every step costs more than the one GEMM saves (on one CPU
// thread, 4 candidates of 256x256 took 1.3 ms apart and 1.7 ms stacked, forward and
// backward). Convolutions always stack: the stacked one unfolds its input once for all.
constexpr int64_t kMaxStackedLinearWeight = 1 << 14;

// C linear layers on one input, each its own product, computed here rather than through
// the layers' Python calls.
std::vector<at::Tensor> separate_linear(const at::Tensor& x, const std::vector<at::Tensor>& weights,
                                        const std::vector<at::Tensor>& biases) {
  std::vector<at::Tensor> outs;
  for (size_t c = 0; c < weights.size(); ++c) {
    outs.push_back(at::linear(x, weights[c], biases.empty() ? at::Tensor() : biases[c]));
  }
  return outs;
}

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
  const Py_ssize_t size = PyObject_Length(value);
  if (size < 0) throw py::error_already_set();
  return size > 0;
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

// Weight and bias (undefined when None) of a layer called as plain as its type's forward:
// no hook of its own, no forward replaced on the instance. Nothing otherwise.
std::optional<std::pair<at::Tensor, at::Tensor>> plain_parameters(py::handle layer) {
  PyObject** dict_slot = _PyObject_GetDictPtr(layer.ptr());
  if (!dict_slot || !*dict_slot) return std::nullopt;
  PyObject* dict = *dict_slot;
  for (py::handle name : {DGR_STR("_forward_hooks"), DGR_STR("_forward_pre_hooks"), DGR_STR("_backward_hooks"),
                          DGR_STR("_backward_pre_hooks")}) {
    if (has_entries(dict, name)) return std::nullopt;
  }
  if (PyDict_GetItemWithError(dict, DGR_STR("forward").ptr())) return std::nullopt;
  if (PyErr_Occurred()) throw py::error_already_set();
  PyObject* parameters = PyDict_GetItemWithError(dict, DGR_STR("_parameters").ptr());
  if (!parameters || !PyDict_Check(parameters)) return std::nullopt;
  PyObject* weight = PyDict_GetItemWithError(parameters, DGR_STR("weight").ptr());
  PyObject* bias = PyDict_GetItemWithError(parameters, DGR_STR("bias").ptr());
  if (!weight || !host::is_tensor(weight)) return std::nullopt;
  at::Tensor b;
  if (bias && bias != Py_None) {
    if (!host::is_tensor(bias)) return std::nullopt;
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
  auto ints = [](py::handle seq) {
    std::vector<int64_t> v;
    for (py::handle item : seq) v.push_back(host::as_int(item));
    return v;
  };
  return kernels::ConvolutionGeometry{ints(layer.attr(DGR_STR("stride"))), ints(padding),
                                      ints(layer.attr(DGR_STR("dilation")))};
}

bool same_geometry(const kernels::ConvolutionGeometry& a, const kernels::ConvolutionGeometry& b) {
  return a.stride == b.stride && a.padding == b.padding && a.dilation == b.dilation;
}

// The one positional input tensor of a call, when that is all the call passes and the
// tensor is a plain torch.Tensor (a subclass may override what the layer does with it).
std::optional<at::Tensor> single_plain_input(py::handle args, py::handle kwargs) {
  if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 1) return std::nullopt;
  if (!kwargs.is_none() && PyObject_Length(kwargs.ptr()) != 0) return std::nullopt;
  PyObject* x = PyTuple_GET_ITEM(args.ptr(), 0);
  static PyObject* tensor_type = py::object(host::torch_module().attr("Tensor")).release().ptr();
  if (reinterpret_cast<PyObject*>(Py_TYPE(x)) != tensor_type) return std::nullopt;
  return THPVariable_Unpack(x);
}

}  // namespace

std::optional<std::vector<at::Tensor>> candidate_layer_outputs(const py::list& candidates, py::handle args,
                                                               py::handle kwargs) {
  if (candidates.empty()) return std::nullopt;
  const std::optional<at::Tensor> x = single_plain_input(args, kwargs);
  if (!x) return std::nullopt;
  const LayerKind kind = kind_of(candidates[0]);
  if (kind == LayerKind::kOther || !no_global_hooks()) return std::nullopt;
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
  if (kind == LayerKind::kLinear) {
    if (weights[0].numel() > kMaxStackedLinearWeight) return separate_linear(*x, weights, biases);
    return kernels::stacked_linear(*x, weights, biases);
  }
  return kernels::stacked_convolution(*x, weights, biases, *geometry);
}

}  // namespace dgr::modules
