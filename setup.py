"""Build of the five dendrograd extension modules against the installed torch.

Each module is its own extension (one shared object per module). Sources of one
module live in dendrograd/csrc/<module>/; the shared host contract is header-only,
so no translation unit is compiled twice.  Set DGR_ONLY=name1,name2 to build a
subset while working on one module.
"""
import glob
import os
import shutil

import torch
from setuptools import setup
from torch.utils.cpp_extension import BuildExtension, CppExtension

MODULES = ["modules_dgr", "tracker_dgr", "utils_dgr", "blockwise_dgr", "deploy_net"]
# Modules that compile the tensor kernels of dendrograd/csrc/kernels/ in with their own sources.
KERNEL_USERS = {"modules_dgr"}
HERE = os.path.dirname(os.path.abspath(__file__))
CSRC = os.path.join("dendrograd", "csrc")


class PerModuleBuild(BuildExtension):
    """Gives every extension its own temp folder, so parallel builds never share files."""

    def build_extension(self, ext):
        base = self.build_temp
        self.build_temp = os.path.join(base, ext.name.rsplit(".", 1)[-1])
        try:
            super().build_extension(ext)
        finally:
            self.build_temp = base


def extension(name):
    sources = sorted(glob.glob(os.path.join(CSRC, name, "*.cpp")))
    headers = (glob.glob(os.path.join(CSRC, "*.h")) + glob.glob(os.path.join(CSRC, "host", "*.h")) +
               glob.glob(os.path.join(CSRC, name, "*.h")))
    if name in KERNEL_USERS:
        sources += sorted(glob.glob(os.path.join(CSRC, "kernels", "**", "*.cpp"), recursive=True))
        headers += glob.glob(os.path.join(CSRC, "kernels", "**", "*.h"), recursive=True)
    return CppExtension(
        name=f"dendrograd.{name}",
        sources=sources,
        depends=headers,
        include_dirs=[os.path.join(HERE, CSRC)],
        define_macros=[("DGR_TORCH_VERSION", f'"{torch.__version__}"'),
                       ("DGR_MODULE_NAME", f'"{name}"')],
        extra_compile_args=["-O2", "-g0", "-std=c++20", "-Wno-unused-parameter", "-fvisibility=hidden"],
    )


only = [n for n in os.environ.get("DGR_ONLY", "").split(",") if n]
setup(
    ext_modules=[extension(n) for n in MODULES if not only or n in only],
    # ninja (when present) compiles only the translation units whose sources or headers changed,
    # several at once.
    cmdclass={"build_ext": PerModuleBuild.with_options(use_ninja=shutil.which("ninja") is not None)},
)
