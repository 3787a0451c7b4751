// modules_dgr: which dimensions of a neuron module's output are reduced per node, the
// shape that broadcasts a per-node vector back, and how many elements each node reduces.
#include "modules_dgr.h"

namespace dgr::modules {
namespace {

Reduction parse_triple(py::object triple) {
  Reduction r;
  py::tuple t = py::reinterpret_borrow<py::tuple>(triple);
  r.math_dims = host::int_vector(t[0]);
  r.view_shape = host::int_vector(t[1]);
  r.full_mult = host::as_float(t[2]);
  r.triple = std::move(triple);
  return r;
}

py::list int_list(const Dims& values) {
  py::list list;
  for (int64_t v : values) list.append(v);
  return list;
}

// Under fixed input sizes the holder's shape caches, once populated, fix the triple for
// good: the first one read is kept as _tuples_py_cache. Nothing before they are populated.
std::optional<Reduction> cached_reduction(py::handle values) {
  if (py::hasattr(values, host::names::_tuples_py_cache())) {
    return parse_triple(values.attr(host::names::_tuples_py_cache()));
  }
  at::Tensor full_mult_cache = host::tensor_attr(values, host::names::full_mult_cache());
  double cached_mult = full_mult_cache.reshape({-1})[0].item<double>();
  if (cached_mult <= 0) return std::nullopt;
  Dims math_dims = host::int_vector(host::tensor_attr(values, host::names::math_tuple_cache()));
  const Dims view = host::int_vector(host::tensor_attr(values, host::names::view_tuple_cache()));
  std::erase_if(math_dims, [](int64_t d) { return d < 0; });  // padding
  py::tuple triple = py::make_tuple(int_list(math_dims), int_list(view), cached_mult);
  values.attr(host::names::_tuples_py_cache()) = triple;
  return parse_triple(triple);
}

// The triple computed from the tensor's shape and the holder's this_output_dimensions.
Reduction computed_reduction(const at::Tensor& val, py::handle values) {
  long long node_index = host::as_int(values.attr(host::names::this_node_index()));
  py::object dims = values.attr(host::names::this_output_dimensions());
  Reduction r;
  long long full_mult = 1;
  for (int64_t i = 0; i < val.dim(); ++i) {
    if (i == node_index) {
      r.view_shape.push_back(-1);
    } else if (host::as_int(dims[py::int_(i)]) == 1) {
      r.view_shape.push_back(val.size(i));
    } else {
      full_mult *= val.size(i);
      r.math_dims.push_back(i);
      r.view_shape.push_back(1);
    }
  }
  r.full_mult = static_cast<double>(full_mult);
  r.triple = py::make_tuple(int_list(r.math_dims), int_list(r.view_shape), full_mult);
  return r;
}

}  // namespace

Reduction tuples_and_mult(const at::Tensor& val, py::handle values) {
  if (host::flag(host::names::get_fixed_input_sizes()) && py::hasattr(values, host::names::full_mult_cache())) {
    if (std::optional<Reduction> cached = cached_reduction(values)) return std::move(*cached);
  }
  return computed_reduction(val, values);
}

void register_shape_reduction(py::module_& m) {
  m.def(
      "get_tuples_and_mult",
      [](const at::Tensor& val, py::handle values) { return tuples_and_mult(val, values).triple; },
      py::arg("val"), py::arg("values"),
      "Returns the shape-reduction triple (math_tuple, view_tuple, full_mult) for a tensor shaped like\n"
      "the neuron output and a value holder: the reduced dimensions, a shape that broadcasts a\n"
      "per-neuron vector back (-1 at this_node_index, the size at dimensions whose\n"
      "this_output_dimensions entry is 1, else 1) and the number of reduced elements. With\n"
      "GDL.pc.get_fixed_input_sizes() and populated cache buffers the first cached triple is kept as\n"
      "values._tuples_py_cache and returned from then on, whatever val's shape.\n\n"
      "Raises TypeError when val is not a tensor, AttributeError when the holder lacks a shape field.");
}

}  // namespace dgr::modules
