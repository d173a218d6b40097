# Sourced by the tools: find_python VERSION prints an interpreter of that version (PYTHON,
# then pythonX.Y on PATH, then pyenv's, newest patch first; for 3.14 and 3.15, failing
# those, the one in a Debian root made for them, below), or fails with a message.
find_python() {
    local version=$1 want="(${1/./, })" root candidates=("${PYTHON:-}" "python$1")
    root=${PYENV_ROOT:-}
    if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then root=$(pyenv root); fi
    [ -z "$root" ] && root=$HOME/.pyenv
    # Newest patch release first.
    candidates+=($(ls -d "$root"/versions/"$version".*/bin/python 2>/dev/null | sort -rV || true))
    # A candidate must be that version, able to make a venv with pip, and have the
    # headers to build against (a distribution's python3.X may lack either).
    local check="import sys, os, sysconfig, ensurepip
assert sys.version_info[:2] == $want
assert os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h'))"
    for candidate in "${candidates[@]}"; do
        if [ -n "$candidate" ] && "$candidate" -c "$check" >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    if [[ " ${ROOT_VERSIONS[*]} " == *" $version "* ]]; then
        root_python "$version"
        return
    fi
    echo "Python $version not found; put python$version on PATH or set PYTHON=/path/to/python$version" >&2
    return 1
}

# --- CPython 3.14 and 3.15 from a Debian unstable root ---------------------------------
# Those interpreters need a newer C library than this machine's, so where no python3.X
# of theirs is found they run inside a Debian unstable root made by debootstrap (one to three
# minutes and 470 MB the first time), kept in PRIVATE_CORE_CACHE (~/.cache/private_core)
# between runs. The root's interpreter is reached through a wrapper script that runs the
# command inside it (chroot, so as root) in the current directory, which is made visible
# there at the same path; a venv made with it gets a `run-python` script beside its bin/
# that does the same for the venv's python (see venv_python).
ROOT_VERSIONS=(3.14 3.15)
ROOT_CACHE=$(realpath -m "${PRIVATE_CORE_CACHE:-$HOME/.cache/private_core}")
ROOT_DIR=$ROOT_CACHE/sid-amd64
ROOT_PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,git,ca-certificates

# root_locked COMMAND...: COMMAND under the cache's lock, so that runs started together
# make the root, and mount into it, once.
root_locked() {
    mkdir -p "$ROOT_CACHE"
    (
        flock 9
        "$@"
    ) 9>"$ROOT_CACHE/sid-amd64.lock"
}

# Removes a half-made root (a run stopped while debootstrap ran) without leaving this
# file system: debootstrap mounts /proc and /sys inside while it works.
_root_discard() {
    local dir=$1 mnt
    for mnt in $(awk -v d="$dir/" 'index($2, d) == 1 {print $2}' /proc/mounts | sort -r); do
        umount -l "$mnt" || true
    done
    rm -rf --one-file-system "$dir"
}

# need_command COMMAND PACKAGE: COMMAND on PATH, installed from the Debian package
# PACKAGE (apt-get, as root) when a clean machine lacks it.
need_command() {
    command -v "$1" >/dev/null 2>&1 && return 0
    echo "--- installing $2 (for $1)" >&2
    { apt-get install -y -q "$2" || { apt-get update -q && apt-get install -y -q "$2"; }; } >&2
    command -v "$1" >/dev/null 2>&1 || { echo "$1 not found after installing $2" >&2; return 1; }
}

# Makes the root when it is missing: built aside and renamed into place, so a root
# that exists is whole.
_root_make() {
    local dir
    [ -d "$ROOT_DIR" ] && return 0
    for dir in "$ROOT_DIR".new.*; do
        [ -e "$dir" ] && _root_discard "$dir"
    done
    need_command debootstrap debootstrap || return 1
    echo "--- making the Debian unstable root for CPython ${ROOT_VERSIONS[*]} in $ROOT_DIR (a minute or two)" >&2
    dir=$ROOT_DIR.new.$$
    if ! debootstrap --variant=minbase --include="$ROOT_PACKAGES" sid "$dir" >"$dir.log" 2>&1; then
        tail -n 20 "$dir.log" >&2
        _root_discard "$dir"
        echo "debootstrap failed (log: $dir.log)" >&2
        return 1
    fi
    mv "$dir.log" "$dir/debootstrap.log"
    mv "$dir" "$ROOT_DIR"
}

# This machine's name server and certificates in the root (for pip).
_root_ready() {
    local file
    for file in /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt; do
        cmp -s "$file" "$ROOT_DIR$file" || cp "$file" "$ROOT_DIR$file"
    done
}

# root_python VERSION: makes the root if needed and prints the wrapper that runs its
# python3.X (the wrappers live in the cache, beside the root).
root_python() {
    local version=$1 bin=$ROOT_CACHE/bin wrapper tmp
    if [ "$(uname -m)" != x86_64 ] || [ "$(id -u)" != 0 ]; then
        echo "Python $version not found; the Debian root that provides it needs root on x86_64" >&2
        return 1
    fi
    root_locked _root_make || return 1
    if [ ! -x "$ROOT_DIR/usr/bin/python$version" ]; then
        echo "Python $version not found, nor in $ROOT_DIR" >&2
        return 1
    fi
    mkdir -p "$bin"
    # in-root COMMAND...: COMMAND inside the root, in the current directory, with this
    # environment but for the host's own pip settings and PATH. The root's /proc and the
    # directory, mounted at its own path inside, live in a mount namespace of the
    # command's own and go with it: nothing of this machine stays mounted in the root, so
    # removing the cache can never reach into a checkout.
    tmp=$(mktemp "$bin/.in-root.XXXXXX")
    {
        echo '#!/usr/bin/env bash'
        echo 'set -euo pipefail'
        declare -p ROOT_CACHE ROOT_DIR
        declare -f root_locked _root_ready
        cat <<'WRAPPER'
if [ "${1:-}" != --mounted ]; then
    root_locked _root_ready
    exec unshare --mount --propagation private "$0" --mounted "$(pwd -P)" "$@"
fi
dir=$2
shift 2
mount -t proc proc "$ROOT_DIR/proc"
mkdir -p "$ROOT_DIR$dir"
mount --bind "$dir" "$ROOT_DIR$dir"
exec chroot "$ROOT_DIR" /usr/bin/env -u PIP_FIND_LINKS PATH=/usr/local/bin:/usr/bin:/bin \
    /bin/sh -c 'cd "$0" && exec "$@"' "$dir" "$@"
WRAPPER
    } >"$tmp"
    chmod 755 "$tmp"
    mv "$tmp" "$bin/in-root"
    wrapper=$bin/python$version
    if [ ! -x "$wrapper" ]; then
        tmp=$(mktemp "$bin/.python.XXXXXX")
        printf '#!/bin/sh\nexec "%s" /usr/bin/python%s "$@"\n' "$bin/in-root" "$version" >"$tmp"
        chmod 755 "$tmp"
        mv "$tmp" "$wrapper"
    fi
    echo "$wrapper"
}

# venv_python VENV: the command that runs VENV's python from this machine.
venv_python() {
    if [ -x "$1/run-python" ]; then echo "$1/run-python"; else echo "$1/bin/python"; fi
}

# make_venv PY VENV: VENV made with PY, when it is not there yet.
make_venv() {
    local py=$1 venv=$2
    [ -x "$(venv_python "$venv")" ] && return 0
    "$py" -m venv "$venv"
    if [[ $py == "$ROOT_CACHE"/bin/* ]]; then
        printf '#!/bin/sh\nexec "%s" "%s/bin/python" "$@"\n' "$ROOT_CACHE/bin/in-root" "$(cd "$venv" && pwd -P)" \
            >"$venv/run-python"
        chmod 755 "$venv/run-python"
    fi
}

# test_venv VERSION [PANDAS]: the venv tools/test.sh (and tools/bench.sh) use for
# VERSION: .venv for 3.10, .venv-3.X otherwise, with -pandasN for a pinned pandas major.
test_venv() {
    local venv=.venv
    [ "$1" = 3.10 ] || venv=$venv-$1
    echo "$venv${2:+-pandas$2}"
}

# dev_setup PY VENV [pip arguments...]: VENV (made with PY when missing) with the
# stand-ins, the sandbox backend, the plain-Python models (tests/models, importable as
# private_core_models) and the package as development builds it: the runtime's
# test module, warnings as errors, and every extra (tests, demo, benchmarks). The tests,
# the benchmarks and CI's smoke runs share this one build, so a later set-up of the same
# venv only relinks what changed. The arguments (config settings, requirements such as
# a pandas range) go to the package's install, which brings what it names up to the
# newest release allowed. Leaves a stamp that is_current reads.
dev_setup() {
    local py=$1 venv=$2 vpy
    shift 2
    make_venv "$py" "$venv"
    vpy=$(venv_python "$venv")
    "$vpy" -m pip install -q --upgrade pip
    "$vpy" -m pip install -q ./standins/tavrix ./sandbox
    "$vpy" -m pip install -q -e ./tests/models
    "$vpy" -m pip install -q -U ".[test,demo,bench]" -Ccmake.define.PRIVATE_CORE_PROBE=ON \
        -Ccmake.define.PRIVATE_CORE_WERROR=ON "$@"
    touch "$venv/.installed"
}

# is_current VENV: VENV was set up after the last change to any source it is built from.
is_current() {
    [ -f "$1/.installed" ] && [ -z "$(find pyproject.toml CMakeLists.txt src python sandbox standins \
        -newer "$1/.installed" -type f -not -path '*/build/*' -not -path '*.egg-info*' -print -quit)" ]
}
