#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: the C++ unit tests
# (ctest) and the Python tests against the installed package (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build-test -G Ninja -DSELQUOR_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")"
cmake --build build-test -j "$jobs"
ctest --test-dir build-test --output-on-failure -j "$jobs"

install_module
# The tests must see the installed package, not a build tree.
unset PYTHONPATH
"$PYTHON" -c 'import selquor_rs; print("testing", selquor_rs.__file__, selquor_rs.__version__)'
# No tests collected (exit 5) is a failure too: the suite is never empty.
"$PYTHON" -m pytest tests -q
