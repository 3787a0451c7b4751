#!/usr/bin/env bash
# Set-up on a fresh machine, then the demo training run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup_env.sh
exec .venv/bin/python -m dendrograd.demo "$@"
