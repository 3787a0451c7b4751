// The host's configuration, read through its getters on GDL.pc at the moment of use.
//
// The host's own generated getters' results are kept until the configuration changes (the
// host counts every change in Config._settings_version); any other getter, or a
// configuration object without a change count, is called on every use. A getter that the
// host contract lists is required: a host without it raises the interpreter's
// AttributeError naming the getter and the configuration object. A getter it does not list
// is optional (DGR_OPTIONAL_GETTERS in names.h): a host without it gets the value below.
#pragma once

#include "host/names.h"

#include <utility>
#include <vector>

namespace dgr::host {

inline py::handle GDL() { return DGR_CACHED_MODULE("dendrolab.globals_dendrolab"); }
inline py::handle MDL() { return DGR_CACHED_MODULE("dendrolab.modules_dendrolab"); }
inline py::handle UDL() { return DGR_CACHED_MODULE("dendrolab.utils_dendrolab"); }

// The configuration object, read afresh on every call.
inline py::object pc() { return GDL().attr(names::pc()); }

// Getter results, kept per configuration change. Only the host's own accessors
// (Config._PLAIN_GETTERS) are kept, and only while nothing on the instance shadows them.
class SettingsCache {
 public:
  // The kept result of `getter_name` on `config`, or null when it must be called; `version`
  // receives the change count it was checked against (-1: none).
  PyObject* find(PyObject* config, PyObject* getter_name, long long* version) {
    *version = -1;
    if (!refresh(config)) return nullptr;
    *version = version_;
    for (const auto& entry : values_) {
      if (entry.first == getter_name) return entry.second;
    }
    return nullptr;
  }
  // Keeps `value` as the result of `getter_name` when that getter may be kept and nothing
  // (another thread, the getter itself) moved the change count since `find` checked it.
  void keep(PyObject* config, PyObject* getter_name, PyObject* value, long long version) {
    if (version < 0 || config != config_ || version != version_ || !is_plain_getter(config, getter_name)) return;
    for (const auto& entry : values_) {
      if (entry.first == getter_name) return;
    }
    Py_INCREF(getter_name);
    Py_INCREF(value);
    values_.emplace_back(getter_name, value);
  }

 private:
  // Starts over when the configuration object or its change count differs from the kept
  // one; false when the object has no change count (nothing is kept for it).
  bool refresh(PyObject* config) {
    PyObject* count = PyObject_GetAttr(config, DGR_STR("_settings_version").ptr());
    if (!count) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
      PyErr_Clear();
      clear(nullptr, -1);
      return false;
    }
    const long long version = PyLong_AsLongLong(count);
    Py_DECREF(count);
    if (version == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (config != config_ || version != version_) clear(config, version);
    return true;
  }
  // The new state is in place before anything is released: releasing a value can run
  // Python code (a __del__) that reads settings again.
  void clear(PyObject* config, long long version) {
    std::vector<std::pair<PyObject*, PyObject*>> released;
    released.swap(values_);
    PyObject* old_config = config_;
    Py_XINCREF(config);
    config_ = config;
    version_ = version;
    for (auto& entry : released) {
      Py_DECREF(entry.first);
      Py_DECREF(entry.second);
    }
    Py_XDECREF(old_config);
  }
  static bool is_plain_getter(PyObject* config, PyObject* getter_name) {
    PyObject** dict_slot = _PyObject_GetDictPtr(config);
    if (dict_slot && *dict_slot) {
      PyObject* own = PyDict_GetItemWithError(*dict_slot, getter_name);
      if (own) return false;
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject* plain = _PyType_Lookup(Py_TYPE(config), DGR_STR("_PLAIN_GETTERS").ptr());
    if (!plain || !PyDict_Check(plain)) return false;
    PyObject* generated = PyDict_GetItemWithError(plain, getter_name);
    if (!generated) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return false;
    }
    return _PyType_Lookup(Py_TYPE(config), getter_name) == generated;
  }

  // Strong references, never released at exit (destructors run after the interpreter ends).
  PyObject* config_ = nullptr;
  long long version_ = -1;
  std::vector<std::pair<PyObject*, PyObject*>> values_;
};

inline SettingsCache& settings_cache() {
  static SettingsCache* cache = new SettingsCache();
  return *cache;
}

// pc.<getter_name>(): the setting as the getter gives it at the moment of use.
inline py::object get(py::handle getter_name) {
  py::object config = pc();
  SettingsCache& cache = settings_cache();
  long long version = -1;
  if (PyObject* kept = cache.find(config.ptr(), getter_name.ptr(), &version)) {
    return py::reinterpret_borrow<py::object>(kept);
  }
  py::object value = config.attr(getter_name)();
  cache.keep(config.ptr(), getter_name.ptr(), value.ptr(), version);
  return value;
}

// pc.<getter_name>() where the host has that getter, `fallback` where it has none.
inline py::object get_optional(py::handle getter_name, py::handle fallback) {
  py::object config = pc();
  PyObject* getter = PyObject_GetAttr(config.ptr(), getter_name.ptr());
  if (!getter) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::reinterpret_borrow<py::object>(fallback);
  }
  Py_DECREF(getter);
  return get(getter_name);
}

// Truth-valued getter, e.g. flag(names::get_verbose()).
inline bool flag(py::handle getter_name) { return truthy(get(getter_name)); }
inline bool verbose() { return flag(names::get_verbose()); }
inline bool extra_verbose() { return flag(names::get_extra_verbose()); }
inline bool silent() { return flag(names::get_silent()); }
inline bool dpp_verbose() { return flag(names::get_dpp_verbose()); }
inline long long integer(py::handle getter_name) { return as_int(get(getter_name)); }
inline double number(py::handle getter_name) { return as_float(get(getter_name)); }

// ---- optional settings and the value a host without them gets -------------------------
// The weight of the old value in the running averages of the candidates' statistics.
inline double correlation_average_factor() {
  static PyObject* fixed = PyFloat_FromDouble(0.99);
  return as_float(get_optional(names::get_correlation_average_factor(), fixed));
}
// Whether p mode sets requires_grad=False on the network's own parameters while it lasts (its
// backward then computes no weight gradients). It changes host parameters, which a host has to
// allow: a host without the setting keeps its parameters as they are.
inline bool freeze_network_in_p_mode() { return truthy(get_optional(names::get_freeze_network_in_p_mode(), Py_False)); }

// Whether each candidate's scores are the mean over the current epoch's batches, started
// afresh every epoch, so that a score compares whole epochs in full-batch and mini-batch
// training alike (without: the initial phase, then a moving average across epochs).
inline bool correlation_scores_per_epoch() {
  return truthy(get_optional(names::get_correlation_scores_per_epoch(), Py_False));
}

// The schedule's rules. Each setting chooses a rule; a host without it gets the rule written
// next to the setting's name.
// p-mode patience restarts when the best score any candidate holds for a neuron passes the
// improvement margins, rather than when any candidate slot's does (without: any slot).
inline bool p_patience_by_best_candidate() {
  return truthy(get_optional(names::get_p_patience_by_best_candidate(), Py_False));
}
// The cap on a p phase is the length of the n phase just before it (without: the first n phase).
inline bool cap_at_last_n_phase() { return truthy(get_optional(names::get_cap_at_last_n_phase(), Py_False)); }
// Mean-best scoring takes, per neuron, the best score over every candidate slot (without:
// candidate slot 0's).
inline bool mean_best_over_candidates() {
  return truthy(get_optional(names::get_mean_best_over_candidates(), Py_False));
}
// The best-candidate snapshot copies only the neurons whose best score rose, so each neuron's
// snapshot is the candidate as it was at that neuron's best (without: the whole slot whenever
// any of its neurons improved).
inline bool snapshot_candidates_per_neuron() {
  return truthy(get_optional(names::get_snapshot_candidates_per_neuron(), Py_False));
}

}  // namespace dgr::host
