#!/usr/bin/env bash
# The benchmark suite in one command: brings the interpreter's test venv up to date the
# way tools/test.sh builds it (stand-ins, sandbox backend, the package with its probe
# module and the `bench` extra: pyperf, matplotlib), then runs bench/run.py, which
# prints one table and writes bench/results/ratios.png.
#
#   bash tools/bench.sh [--python 3.X] [--quick | --full] [--only SUBSTRING] [--out DIR]
#
# Python 3.10 in .venv by default; --python 3.X uses tools/test.sh's .venv-3.X (3.14 and
# 3.15 run inside the Debian root tools/python.sh makes, as the tests do there).
# --quick takes about two minutes once the venv is built; --full (the default) several.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh

VERSION=3.10
case ${1:-} in
    --python) VERSION=$2; shift 2 ;;
    --python=*) VERSION=${1#*=}; shift ;;
esac
if [[ ! $VERSION =~ ^3\.[0-9]+$ ]]; then
    echo "--python takes a version such as 3.13, not '$VERSION'" >&2
    exit 2
fi
VENV=$(test_venv "$VERSION")
LOG=$VENV/bench-setup.log

PY=$(find_python "$VERSION")
# Set up as tools/test.sh sets it up, and only when a source changed since: a no-op
# rebuild still costs most of a quick run.
if ! is_current "$VENV"; then
    mkdir -p "$VENV"
    echo "bench: bringing $VENV up to date (log: $LOG; a few minutes the first time)" >&2
    if ! dev_setup "$PY" "$VENV" >"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        echo "bench: set-up failed (full log: $LOG)" >&2
        exit 1
    fi
fi

exec "$(venv_python "$VENV")" bench/run.py "$@"
