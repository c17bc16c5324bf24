#!/usr/bin/env bash
# Builds the C++ tests and the module with AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-asan/), then runs ctest and the Python
# tests against that build. Any report of either sanitizer fails the run.
# Slow: run it by hand, it is not part of the CI run. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

jobs=$(nproc)
python_bin=$(command -v "$PYTHON")
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSELQUOR_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$python_bin" -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
    -DCMAKE_MODULE_LINKER_FLAGS="$sanitize"
cmake --build build-asan -j "$jobs"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=abort_on_error=1 ctest --test-dir build-asan --output-on-failure -j "$jobs"

# The interpreter is not built with the sanitizer, so its runtime has to be
# loaded first, and the C++ runtime with it (else the sanitizer cannot find
# the real exception-throwing routine and aborts on the first C++ throw).
# The interpreter keeps memory to the end on purpose: no leak report.
# PYTHONMALLOC=malloc lets the sanitizer see every Python object. Child
# interpreters started by the tests inherit all of this.
cxx=${CXX:-g++}
export LD_PRELOAD="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/build-asan/python"
"$PYTHON" -c 'import selquor_rs; print("testing", selquor_rs.__file__)'
"$PYTHON" -m pytest tests -q -p no:cacheprovider "$@"
