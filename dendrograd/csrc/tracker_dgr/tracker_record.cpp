// What the add-on remembers per tracker. The host contract lists no attribute that the
// add-on writes onto the tracker, so its own facts about one are kept here, keyed by the
// tracker object, and forgotten when the tracker goes (a weak reference's callback). A
// tracker that takes no weak reference is held for the life of the process instead, so
// that its key is never reused by another object.
#include "tracker.h"

#include <unordered_map>

namespace dgr::tracker {
namespace {

struct Record {
  py::object anchor;  // a weak reference to the tracker, or the tracker itself
  py::dict values;    // attribute name -> value
};

// Leaked: the records hold Python objects, which must not be released after the interpreter ends.
std::unordered_map<PyObject*, Record>& records() {
  static auto* kept = new std::unordered_map<PyObject*, Record>();
  return *kept;
}

Record& record_of(py::handle tracker) {
  auto& kept = records();
  auto found = kept.find(tracker.ptr());
  if (found != kept.end()) return found->second;
  PyObject* key = tracker.ptr();
  py::cpp_function forget([key](py::handle) { records().erase(key); });
  py::object anchor = py::reinterpret_steal<py::object>(PyWeakref_NewRef(tracker.ptr(), forget.ptr()));
  if (!anchor) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();  // no weak references to this type
    anchor = py::reinterpret_borrow<py::object>(tracker);
  }
  return kept.emplace(key, Record{anchor, py::dict()}).first->second;
}

// The tracker's own attribute `name` into `out`; false when the tracker does not declare it.
bool declared(py::handle tracker, py::handle name, py::object* out) {
  PyObject* value = PyObject_GetAttr(tracker.ptr(), name.ptr());
  if (value) {
    if (out) *out = py::reinterpret_steal<py::object>(value);
    else Py_DECREF(value);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return false;
}

}  // namespace

py::object recalled(py::handle tracker, py::handle name, py::handle absent) {
  py::object value;
  if (declared(tracker, name, &value)) return value;
  auto found = records().find(tracker.ptr());
  if (found == records().end()) return py::reinterpret_borrow<py::object>(absent);
  PyObject* kept = PyDict_GetItemWithError(found->second.values.ptr(), name.ptr());
  if (!kept && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(kept ? kept : absent.ptr());
}

py::dict own_record(py::handle tracker) { return record_of(tracker).values; }

void remember(py::handle tracker, py::handle name, py::handle value) {
  record_of(tracker).values[name] = value;
  if (!declared(tracker, name, nullptr)) return;
  if (PyObject_SetAttr(tracker.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

}  // namespace dgr::tracker
