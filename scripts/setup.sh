#!/usr/bin/env bash
# Installs what building and testing need, and nothing that is already there:
# safe to run again. Meant for a Debian machine, run as root (or with sudo).
set -euo pipefail

PYTHON=${PYTHON:-python3}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "setup: need root to run: $*" >&2
        return 1
    fi
}

missing_debs=()
for pkg in libtbb-dev libfftw3-dev libhwy-dev libgtest-dev; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing_debs+=("$pkg")
done
command -v g++ >/dev/null || missing_debs+=(g++)
if [ ${#missing_debs[@]} -gt 0 ]; then
    echo "setup: installing ${missing_debs[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing_debs[@]}"
fi

# Python packages by import name -> distribution name.
missing_pips=()
for pair in numpy:numpy scipy:scipy statsmodels:statsmodels hypothesis:hypothesis pytest:pytest \
            scikit_build_core:scikit-build-core; do
    "$PYTHON" -c "import ${pair%%:*}" 2>/dev/null || missing_pips+=("${pair#*:}")
done
command -v cmake >/dev/null || missing_pips+=(cmake)
command -v ninja >/dev/null || missing_pips+=(ninja)
if [ ${#missing_pips[@]} -gt 0 ]; then
    echo "setup: installing ${missing_pips[*]}"
    "$PYTHON" -m pip install -q --root-user-action=ignore "${missing_pips[@]}"
fi

# The extension module, installed as a user would install it. The build
# directory is kept so that a second run only recompiles what changed.
install_module() {
    "$PYTHON" -m pip install -q --root-user-action=ignore --no-build-isolation \
        -C build-dir=build-wheel .
}
