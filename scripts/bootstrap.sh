#!/usr/bin/env bash
# Prepare a machine for building and testing: Debian build packages (when root),
# a .venv made from Python 3.12, build tools, and the package with its test and local extras.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}
# chromium: the headless browser that opens the Plexum worker's result pages in the tests.
DEBIAN_PACKAGES=(libgtest-dev zlib1g-dev chromium)

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

is_python312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }

find_python312() {
    if command -v python3.12 >/dev/null 2>&1 && is_python312 python3.12; then
        command -v python3.12; return 0
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local prefix
        prefix=$(pyenv prefix 3.12 2>/dev/null || true)
        if [ -n "$prefix" ] && is_python312 "$prefix/bin/python3.12"; then
            echo "$prefix/bin/python3.12"; return 0
        fi
    fi
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin/python3.12 /root/.pyenv/versions/3.12.*/bin/python3.12; do
        if [ -x "$candidate" ] && is_python312 "$candidate"; then echo "$candidate"; return 0; fi
    done
    return 1
}

install_debian_packages

if ! PYTHON=$(find_python312); then
    log "no Python 3.12 interpreter found: put python3.12 on PATH or install it with pyenv ('pyenv install 3.12')"
    exit 1
fi

if [ -x "$VENV/bin/python" ] && ! is_python312 "$VENV/bin/python"; then
    log "$VENV is not a Python 3.12 environment; recreating it"
    rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV from $PYTHON"
    "$PYTHON" -m venv "$VENV"
fi

PIP=("$VENV/bin/python" -m pip --disable-pip-version-check -q)
build_tools=(scikit-build-core nanobind ninja)
command -v cmake >/dev/null 2>&1 || build_tools+=(cmake)
"${PIP[@]}" install --upgrade pip "${build_tools[@]}"
log "building and installing tessel-external"
build_options=(-C cmake.define.TESSEL_BUILD_SELFTEST=ON)
# BUILD_DIR lets several checkouts or environments build side by side.
[ -n "${BUILD_DIR:-}" ] && build_options+=(-C "build-dir=$BUILD_DIR")
# SANITIZE=1: modules instrumented with ASan and UBSan, with debug information.
[ -n "${SANITIZE:-}" ] && build_options+=(-C cmake.define.TESSEL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo)
"${PIP[@]}" install --no-build-isolation "${build_options[@]}" ".[test,local]"
