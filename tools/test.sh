#!/usr/bin/env bash
# Sets up a fresh virtual environment in .venv (Python 3.10), builds and installs
# every extension module with the runtime's test module, then runs the test suite
# and checks the type stubs against the built modules.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    local candidates=("${PYTHON:-}" python3.10)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.10*/bin/python)
    fi
    for candidate in "${candidates[@]}"; do
        if [ -n "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "Python 3.10 not found; set PYTHON=/path/to/python3.10" >&2
    return 1
}

PY=$(find_python)
if [ ! -x .venv/bin/python ]; then
    "$PY" -m venv .venv
fi
VPY=.venv/bin/python
"$VPY" -m pip install -q --upgrade pip
"$VPY" -m pip install -q ./standins/tavrix
"$VPY" -m pip install -q ".[test]" -Ccmake.define.PRIVATE_CORE_PROBE=ON

"$VPY" -m pytest -q -p no:cacheprovider "$@"
"$VPY" -m mypy.stubtest \
    private_core.transport_base private_core.statements_base private_core.basket_base \
    private_core.memo_store private_core.memo_rules private_core.memo_layer
