#!/usr/bin/env bash
# The benchmark suite in one command: brings .venv up to date the way tools/test.sh
# builds it (stand-ins, sandbox backend, the package with its probe module and the
# `bench` extra: pyperf, matplotlib), then runs bench/run.py, which prints one table
# and writes bench/results/ratios.png.
#
#   bash tools/bench.sh [--quick | --full] [--only SUBSTRING] [--out DIR]
#
# --quick takes about two minutes once .venv is built; --full (the default) several.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh

VENV=.venv
LOG=$VENV/bench-setup.log

PY=$(find_python 3.10)
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

exec "$VENV/bin/python" bench/run.py "$@"
