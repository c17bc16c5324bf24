#!/usr/bin/env bash
# Sets up the machine, installs the package and runs the benchmark; the
# arguments go to bench/run.py.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

install_module
unset PYTHONPATH
exec "$PYTHON" bench/run.py "$@"
