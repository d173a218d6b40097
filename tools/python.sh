# Sourced by the tools: find_python VERSION prints an interpreter of that version (PYTHON,
# then pythonX.Y on PATH, then pyenv's, newest patch first), or fails with a message.
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
    echo "Python $version not found; put python$version on PATH or set PYTHON=/path/to/python$version" >&2
    return 1
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
    local py=$1 venv=$2
    shift 2
    if [ ! -x "$venv/bin/python" ]; then
        "$py" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ./standins/tavrix ./sandbox
    # The plain-Python models the tests and the benchmarks share, editable: a change to
    # them takes effect without a new set-up.
    "$venv/bin/python" -m pip install -q -e ./tests/models
    "$venv/bin/python" -m pip install -q -U ".[test,demo,bench]" -Ccmake.define.PRIVATE_CORE_PROBE=ON \
        -Ccmake.define.PRIVATE_CORE_WERROR=ON "$@"
    touch "$venv/.installed"
}

# is_current VENV: VENV was set up after the last change to any source it is built from.
is_current() {
    [ -f "$1/.installed" ] && [ -z "$(find pyproject.toml CMakeLists.txt src python sandbox standins \
        -newer "$1/.installed" -type f -not -path '*/build/*' -not -path '*.egg-info*' -print -quit)" ]
}
