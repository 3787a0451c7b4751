"""dendrograd: dendrite learning for PyTorch models wrapped by dendrolab.

The modules `modules_dgr`, `tracker_dgr`, `utils_dgr`, `blockwise_dgr` and
`deploy_net` are C++ extension modules compiled against the installed torch.
"""
import torch  # noqa: F401  (the extensions need torch's Python bindings loaded first)

__version__ = "0.1.0"
