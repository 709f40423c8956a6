#!/usr/bin/env bash
# Prepare a machine for building and testing: Debian build packages (when root),
# a virtual environment made from Python $PYTHON_VERSION (default 3.12), build
# tools, and the package with its extra "local" and the dependency group "test".
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
PYTHON_VERSION=${PYTHON_VERSION:-3.12}
case "$PYTHON_VERSION" in
    3.11|3.12|3.13) ;;
    *) printf 'bootstrap: PYTHON_VERSION must be 3.11, 3.12 or 3.13, not %s\n' "$PYTHON_VERSION" >&2; exit 1 ;;
esac
# Each purpose builds in a tree of its own (wheels use build/wheel, see pyproject.toml).
default_build_dir='build/dev/{wheel_tag}'
BUILD_DIR=${BUILD_DIR:-$default_build_dir}
# chromium: the headless browser that opens the Plexum worker's result pages in the tests;
# libsuitesparse-dev: CHOLMOD, the Plexum worker's sparse Cholesky solver (scikit-sparse builds on it);
# libopenblas0-pthread: the BLAS and LAPACK that CHOLMOD's dense kernels then use instead of the reference
# ones (Debian's alternatives choose it once installed): large factorisations run 10 to 50 times faster.
DEBIAN_PACKAGES=(libgtest-dev zlib1g-dev chromium libsuitesparse-dev libopenblas0-pthread)

log() { printf 'bootstrap: %s\n' "$*" >&2; }

install_debian_packages() {
    command -v dpkg-query >/dev/null 2>&1 || return 0
    local missing=()
    for pkg in "${DEBIAN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        log "missing Debian packages: ${missing[*]} (run as root or install them: apt-get install ${missing[*]})"
        return 0
    fi
    log "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1 \
        || { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
}

is_wanted_python() {
    "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$PYTHON_VERSION'.split('.'))))" >/dev/null 2>&1
}

find_python() {
    local name=python$PYTHON_VERSION
    if command -v "$name" >/dev/null 2>&1 && is_wanted_python "$name"; then
        command -v "$name"; return 0
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local prefix
        prefix=$(pyenv prefix "$PYTHON_VERSION" 2>/dev/null || true)
        if [ -n "$prefix" ] && is_wanted_python "$prefix/bin/$name"; then
            echo "$prefix/bin/$name"; return 0
        fi
    fi
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$PYTHON_VERSION".*/bin/"$name" \
                     /root/.pyenv/versions/"$PYTHON_VERSION".*/bin/"$name"; do
        if [ -x "$candidate" ] && is_wanted_python "$candidate"; then echo "$candidate"; return 0; fi
    done
    return 1
}

install_debian_packages

if ! PYTHON=$(find_python); then
    log "no Python $PYTHON_VERSION interpreter found: put python$PYTHON_VERSION on PATH or install it with pyenv ('pyenv install $PYTHON_VERSION')"
    exit 1
fi

if [ -x "$VENV/bin/python" ] && ! is_wanted_python "$VENV/bin/python"; then
    log "$VENV is not a Python $PYTHON_VERSION environment; recreating it"
    rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV from $PYTHON"
    "$PYTHON" -m venv "$VENV"
fi

PIP=("$VENV/bin/python" -m pip --disable-pip-version-check)
build_tools=(scikit-build-core nanobind ninja)
command -v cmake >/dev/null 2>&1 || build_tools+=(cmake)
log "installing pip and the build tools: ${build_tools[*]}"
"${PIP[@]}" install -q --upgrade pip "${build_tools[@]}"

build_options=(-C "build-dir=$BUILD_DIR" -C cmake.define.TESSEL_BUILD_SELFTEST=ON)
# SANITIZE=1: modules instrumented with ASan and UBSan, with debug information.
[ -n "${SANITIZE:-}" ] && build_options+=(-C cmake.define.TESSEL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo)

mkdir -p build/logs
install_log="build/logs/install-$(basename "$VENV").log"
log "building and installing tessel-external into $VENV (compiler steps below; full log: $install_log)"
# The whole pip output goes to the log; the terminal shows the build steps.
if ! "${PIP[@]}" install -v --no-build-isolation "${build_options[@]}" --group test ".[local]" 2>&1 \
        | tee "$install_log" \
        | awk '/^ *\[[0-9]+\/[0-9]+\] / { sub(/^ */, "  "); print; fflush() }'; then
    tail -n 60 "$install_log" >&2
    log "the installation failed; the whole output is in $install_log"
    exit 1
fi
# The Plexum worker's faster solver, where SuiteSparse is there to build it against; without it the
# worker uses scipy's SuperLU. scikit-sparse 0.5 needs SuiteSparse 7; Debian 12 has 5.
if [ -f /usr/include/suitesparse/cholmod.h ] && ! "$VENV/bin/python" -c "import sksparse.cholmod" 2>/dev/null; then
    log "installing scikit-sparse (CHOLMOD) for the Plexum worker"
    "${PIP[@]}" install -q "scikit-sparse>=0.4.14,<0.5" >>"$install_log" 2>&1 \
        || log "scikit-sparse did not build (see $install_log); the Plexum worker uses SuperLU"
fi
log "installed"
