#!/usr/bin/env bash
# Creates .venv (if needed), installs the pinned dependencies and builds the
# extension modules in place. Idempotent: a second run only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$PYTHON" -m venv .venv
fi
# Torch first and pinned: the extensions are compiled against exactly this version.
# TORCH_INDEX_URL (optional) names a wheel index to take it from, e.g. PyTorch's CPU-only one.
if [ -n "${TORCH_INDEX_URL:-}" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check --index-url "$TORCH_INDEX_URL" torch==2.13.0
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements.txt
# No build isolation anywhere: the build must see the torch installed above.
if ! .venv/bin/python -c "import importlib.metadata as m; m.distribution('dendrograd')" 2>/dev/null; then
  # First time: an editable install (compiles the modules into the source tree, installs dendrograd-demo).
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps -e .
else
  # Later runs: rebuild what changed (with ninja installed, only the changed translation units).
  .venv/bin/python setup.py -q build_ext --inplace > .venv/last_build.log 2>&1 || { cat .venv/last_build.log; exit 1; }
fi
