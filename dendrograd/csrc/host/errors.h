// One style for the caller's mistakes: TypeError for a value of the wrong kind, ValueError
// for a value of the right kind that cannot be used, both worded "function: argument ...".
// The add-on's own invariants use TORCH_INTERNAL_ASSERT instead.
#pragma once

#include "host/python.h"

#include <string>

namespace dgr::host {

enum class Mistake { wrong_type, bad_value };

// Raises TypeError (wrong_type) or ValueError (bad_value) with "function: message".
[[noreturn]] inline void argument_error(Mistake kind, const char* function, const std::string& message) {
  const std::string text = std::string(function) + ": " + message;
  if (kind == Mistake::wrong_type) throw py::type_error(text);
  throw py::value_error(text);
}

// TypeError naming the function and the argument unless `obj` is a torch.nn.Module.
inline void require_module(py::handle obj, const char* function, const char* argument) {
  if (!is_instance(obj, nn_attr("Module"))) {
    argument_error(Mistake::wrong_type, function,
                   std::string(argument) + " must be a torch.nn.Module, got " + class_name(obj));
  }
}

// TypeError naming the function and the argument unless `obj` is a str.
inline void require_str(py::handle obj, const char* function, const char* argument) {
  if (!PyUnicode_Check(obj.ptr())) {
    argument_error(Mistake::wrong_type, function, std::string(argument) + " must be a str, got " + class_name(obj));
  }
}

// A path argument (a str or an os.PathLike naming a str path) as a str.
inline py::object path_argument(py::handle path, const char* function, const char* argument) {
  if (!PyUnicode_Check(path.ptr()) && !py::hasattr(path, "__fspath__")) {
    argument_error(Mistake::wrong_type, function,
                   std::string(argument) + " must be a str or os.PathLike, got " + class_name(path));
  }
  py::object text = DGR_CACHED_MODULE("os").attr("fspath")(path);
  if (!PyUnicode_Check(text.ptr())) {
    argument_error(Mistake::wrong_type, function,
                   std::string(argument) + " must name a str path, got " + class_name(text) + " from os.fspath");
  }
  return text;
}

}  // namespace dgr::host
