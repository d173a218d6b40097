#!/usr/bin/env bash
# Sets up a virtual environment in .venv (Python 3.10), builds and installs every
# extension module with the runtime's test module, runs the test suite, checks the
# type stubs against the built modules, then runs the suite once more against an
# AddressSanitizer/UBSan build in .venv-asan (skip with PRIVATE_CORE_SKIP_SANITIZE=1).
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/python.sh

# setup VENV [extra config settings...]: a venv with the stand-ins, the sandbox backend
# and the package.
setup() {
    local venv=$1
    shift
    if [ ! -x "$venv/bin/python" ]; then
        "$PY" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q ./standins/tavrix ./sandbox
    "$venv/bin/python" -m pip install -q ".[test]" -Ccmake.define.PRIVATE_CORE_PROBE=ON "$@"
}

PY=$(find_python)
setup .venv
VPY=.venv/bin/python

"$VPY" -m pytest -q -p no:cacheprovider "$@"
# Every extension module has a stub beside it; stubtest checks each against the build.
mapfile -t STUBBED < <(cd python && find private_core -name '*.pyi' | sed 's/\.pyi$//; s#/#.#g' | sort)
# Known false reports of stubtest are listed, with the reason, in the allowlist.
"$VPY" -m mypy.stubtest --allowlist tools/stubtest-allowlist.txt "${STUBBED[@]}"

if [ "${PRIVATE_CORE_SKIP_SANITIZE:-0}" != 1 ]; then
    echo "--- again against the AddressSanitizer/UBSan build"
    setup .venv-asan -Cbuild-dir=build/asan -Ccmake.define.PRIVATE_CORE_SANITIZE=ON \
        -Ccmake.build-type=RelWithDebInfo
    # The interpreter is not instrumented, so the sanitizer runtimes are preloaded;
    # PYTHONMALLOC=malloc lets ASan see Python objects too (and runs the leak tests
    # under the system allocator). Leak checking is off: the interpreter keeps its own
    # allocations at exit.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
        PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 \
        .venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@"
fi
