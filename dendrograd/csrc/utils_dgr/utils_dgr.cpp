// utils_dgr extension module.
#include "host_contract.h"

namespace host = dgr::host;

PYBIND11_MODULE(utils_dgr, m) {
  host::check_torch_version(DGR_TORCH_VERSION);
}
