// modules_dgr, learning half: candidate forward path, running statistics,
// correlation loss, best-score bookkeeping and gradient application.
#include "modules_dgr.h"

namespace dgr::modules {

void register_learning(py::module_& m) {}

}  // namespace dgr::modules
