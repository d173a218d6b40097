#!/usr/bin/env bash
# The main job end to end: sets up .venv-demo (Python 3.10) with the stand-ins, the
# sandbox backend, the package and matplotlib, starts the sandbox on a free port of
# 127.0.0.1 and runs examples/demo.py against it. Arguments go to the demo
# (--port N pins the sandbox's port; --help lists the rest).
#
# PRIVATE_CORE_DEMO_VENV=DIR runs it in another venv; one that is up to date (as
# tools/test.sh leaves .venv) is used as it is, without building again.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh

VENV=${PRIVATE_CORE_DEMO_VENV:-.venv-demo}
LOG=$VENV/setup.log

fail() {
    echo "demo: $*" >&2
    exit 1
}

# step DESCRIPTION COMMAND...: quiet on success, one line and the log's tail on failure.
step() {
    local what=$1
    shift
    echo "demo: $what" >&2
    if ! "$@" >>"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        fail "failed while $what (full log: $LOG)"
    fi
}

if ! is_current "$VENV"; then
    if [ ! -x "$(venv_python "$VENV")" ]; then
        PY=$(find_python 3.10) || fail "Python 3.10 not found; set PYTHON=/path/to/python3.10"
        make_venv "$PY" "$VENV" || fail "could not create $VENV"
    fi
    VPY=$(venv_python "$VENV")
    : >"$LOG"
    step "updating pip" "$VPY" -m pip install -q --upgrade pip
    step "installing the stand-ins and the sandbox backend" \
        "$VPY" -m pip install -q ./standins/tavrix ./sandbox
    step "building and installing private_core (a few minutes the first time)" \
        "$VPY" -m pip install -q ".[demo]"
    touch "$VENV/.installed"
fi

exec "$(venv_python "$VENV")" examples/demo.py "$@"
