// Diagnostics: console output through the interpreter's print (so sys.stdout redirection
// and pytest's capture see it), the add-on's one debugger stop and the process exit that
// a few failures end in.
#pragma once

#include "host/python.h"

#include <string>
#include <utility>

namespace dgr::host {


// print() writes through the interpreter's print, so sys.stdout redirection applies.
template <typename... Args>
inline void print(Args&&... args) {
  py::print(std::forward<Args>(args)...);
}

// Python's `fmt % args` for the diagnostics that are specified as %-formats.
template <typename... Args>
inline std::string percent(const char* fmt, Args&&... args) {
  return py::str(py::str(fmt).attr("__mod__")(py::make_tuple(std::forward<Args>(args)...)));
}

// True when a person can answer the debugger on standard input.
inline bool stdin_is_terminal() {
  py::object stdin_obj = DGR_CACHED_MODULE("sys").attr("stdin");
  if (stdin_obj.is_none()) return false;
  try {
    return truthy(stdin_obj.attr("isatty")());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // a closed or replaced stream: no terminal
    return false;
  }
}

// The one debugger stop of the add-on: sys.breakpointhook(), so PYTHONBREAKPOINT=0
// disables it and tests can patch it; execution resumes after it. `diagnosis` names
// what went wrong: where nobody can answer the debugger (the interpreter's own hook,
// PYTHONBREAKPOINT unset and standard input not a terminal, as in a batch job), the
// stop raises RuntimeError with it instead of waiting for input forever.
inline void debugger_stop(const std::string& diagnosis) {
  py::handle sys = DGR_CACHED_MODULE("sys");
  py::object hook = sys.attr(DGR_STR("breakpointhook"));
  if (hook.is(sys.attr("__breakpointhook__"))) {
    py::object chosen = DGR_CACHED_MODULE("os").attr("environ").attr("get")("PYTHONBREAKPOINT", "");
    if (py::str(chosen).cast<std::string>().empty() && !stdin_is_terminal()) {
      print("dendrograd would stop at the debugger here, but standard input is not a terminal.");
      throw std::runtime_error("dendrograd: " + diagnosis +
                            " (set PYTHONBREAKPOINT=0 to continue past such stops without a debugger)");
    }
  }
  hook();
}

// Ends the run with a non-zero status by raising SystemExit(status) in the caller.
[[noreturn]] inline void exit_process(int status) {
  PyErr_SetObject(PyExc_SystemExit, py::int_(status).ptr());
  throw py::error_already_set();
}

}  // namespace dgr::host
