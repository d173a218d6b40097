#!/usr/bin/env bash
# Sets up a virtual environment for one CPython version, builds and installs every
# extension module with the runtime's test module (warnings are errors here), runs
# the test suite, checks the type stubs against the built modules, then runs the
# suite once more against an AddressSanitizer/UBSan build.
#
#   bash tools/test.sh [--python 3.X] [--pandas N] [--zig] [--no-sanitize] [pytest arguments...]
#
# The default is Python 3.10 in .venv (sanitizer build in .venv-asan); another
# version gets .venv-3.X (and .venv-asan-3.X). Each run brings pandas up to the newest
# release the interpreter takes (2.x on 3.10, 3.x from 3.11 on); --pandas N pins the
# newest N.x instead, in venvs of their own (.venv-3.X-pandasN; the build directory is
# the interpreter's). The sanitizer rerun is skipped with
# --no-sanitize or PRIVATE_CORE_SKIP_SANITIZE=1. The interpreter is found as
# $PYTHON (when it is that version), python3.X on PATH, or a pyenv installation.
# --zig builds with the wheels' toolchain (tools/zig.sh) instead of the machine's GCC, in
# venvs and a build directory of its own (.venv-zig, .venv-zig-3.X), without the
# sanitizer rerun (which stays on GCC).
set -euo pipefail
cd "$(dirname "$0")/.."

VERSION=3.10
PANDAS=
SANITIZE=1
ZIG=0
[ "${PRIVATE_CORE_SKIP_SANITIZE:-0}" = 1 ] && SANITIZE=0
while [ $# -gt 0 ]; do
    case $1 in
        --python) VERSION=$2; shift 2 ;;
        --python=*) VERSION=${1#*=}; shift ;;
        --pandas) PANDAS=$2; shift 2 ;;
        --pandas=*) PANDAS=${1#*=}; shift ;;
        --no-sanitize) SANITIZE=0; shift ;;
        --zig) ZIG=1 SANITIZE=0; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [[ ! $VERSION =~ ^3\.[0-9]+$ ]]; then
    echo "--python takes a version such as 3.12, not '$VERSION'" >&2
    exit 2
fi
if [[ -n $PANDAS && ! $PANDAS =~ ^[0-9]+$ ]]; then
    echo "--pandas takes a major version such as 2, not '$PANDAS'" >&2
    exit 2
fi
# Named, so that pip moves an existing venv to the newest release allowed too.
PANDAS_REQ=pandas
[ -n "$PANDAS" ] && PANDAS_REQ="pandas>=$PANDAS,<$((PANDAS + 1))"

source tools/python.sh

if [ "$VERSION" = 3.10 ]; then
    VENV=.venv ASAN_VENV=.venv-asan ASAN_BUILD=build/asan
else
    VENV=.venv-$VERSION ASAN_VENV=.venv-asan-$VERSION ASAN_BUILD=build/asan-$VERSION
fi
if [ -n "$PANDAS" ]; then
    VENV=$VENV-pandas$PANDAS ASAN_VENV=$ASAN_VENV-pandas$PANDAS
fi

PY=$(find_python "$VERSION")
BUILD_ARGS=()
if [ "$ZIG" = 1 ]; then
    VENV=${VENV/.venv/.venv-zig}
    source tools/zig.sh
    [ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
    zig_setup "$VENV"
    zig_env x86_64
    BUILD_ARGS=(-Cbuild-dir="build/zig-{wheel_tag}" "${ZIG_CMAKE_SETTINGS[@]}")
fi
echo "--- Python $VERSION ($PY)$([ "$ZIG" = 1 ] && echo ", zig $ZIG_VERSION for $PRIVATE_CORE_ZIG_TARGET")"
dev_setup "$PY" "$VENV" "$PANDAS_REQ" "${BUILD_ARGS[@]}"
VPY=$VENV/bin/python
"$VPY" -c 'import pandas, numpy; print(f"--- pandas {pandas.__version__}, numpy {numpy.__version__}")'

"$VPY" -m pytest -q -p no:cacheprovider "$@"
# Every extension module has a stub beside it; stubtest checks each against the build.
mapfile -t STUBBED < <(cd python && find private_core -name '*.pyi' | sed 's/\.pyi$//; s#/#.#g' | sort)
# Known false reports of stubtest are listed, with the reason, in the allowlist.
"$VPY" -m mypy.stubtest --allowlist tools/stubtest-allowlist.txt "${STUBBED[@]}"

if [ "$SANITIZE" = 1 ]; then
    echo "--- Python $VERSION again against the AddressSanitizer/UBSan build"
    dev_setup "$PY" "$ASAN_VENV" "$PANDAS_REQ" -Cbuild-dir="$ASAN_BUILD" -Ccmake.define.PRIVATE_CORE_SANITIZE=ON \
        -Ccmake.build-type=RelWithDebInfo
    # The interpreter is not instrumented, so the sanitizer runtimes are preloaded;
    # PYTHONMALLOC=malloc lets ASan see Python objects too (and runs the leak tests
    # under the system allocator). Leak checking is off: the interpreter keeps its own
    # allocations at exit.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
        PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1 \
        "$ASAN_VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
fi
