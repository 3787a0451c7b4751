// deploy_net extension module.
#include "host_contract.h"

namespace host = dgr::host;

PYBIND11_MODULE(deploy_net, m) {
  host::check_torch_version(DGR_TORCH_VERSION);
}
