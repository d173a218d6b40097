#!/usr/bin/env bash
# The benchmark suite in one command: brings .venv up to date the way tools/test.sh
# builds it (stand-ins, sandbox backend, the package with its probe module) plus the
# `bench` extra (pyperf, matplotlib), then runs bench/run.py, which prints one table
# and writes bench/results/ratios.png.
#
#   bash tools/bench.sh [--quick | --full] [--only SUBSTRING] [--out DIR]
#
# --quick takes under a minute once .venv is built; --full (the default) several.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh

VENV=.venv
STAMP=$VENV/.bench-installed
LOG=$VENV/bench-setup.log

PY=$(find_python)
if [ ! -x "$VENV/bin/python" ]; then
    "$PY" -m venv "$VENV"
fi
# Reinstall only when a source changed since the last set-up: a no-op rebuild still
# costs most of a quick run.
if [ ! -f "$STAMP" ] || [ -n "$(find pyproject.toml CMakeLists.txt src python sandbox standins \
        -newer "$STAMP" -type f -not -path '*/build/*' -not -path '*.egg-info*' -print -quit)" ]; then
    echo "bench: bringing $VENV up to date (log: $LOG; a few minutes the first time)" >&2
    if ! {
        "$VENV/bin/python" -m pip install -q --upgrade pip &&
            "$VENV/bin/python" -m pip install -q ./standins/tavrix ./sandbox &&
            "$VENV/bin/python" -m pip install -q ".[test,bench]" -Ccmake.define.PRIVATE_CORE_PROBE=ON
    } >"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        echo "bench: set-up failed (full log: $LOG)" >&2
        exit 1
    fi
    touch "$STAMP"
fi

exec "$VENV/bin/python" bench/run.py "$@"
