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
