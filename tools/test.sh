#!/usr/bin/env bash
# Sets up a virtual environment for one CPython version, builds and installs every
# extension module with the runtime's test module (warnings are errors here), runs
# the test suite, checks the type stubs against the built modules, then runs the
# suite once more against an AddressSanitizer/UBSan build (on this machine's
# interpreters only).
#
#   bash tools/test.sh [--python 3.X] [--pandas N | --floor] [--zig] [--no-sanitize] [pytest arguments...]
#
# The default is Python 3.10 in .venv (sanitizer build in .venv-asan); another
# version gets .venv-3.X (and .venv-asan-3.X). Each run brings pandas up to the newest
# release the interpreter takes (2.x on 3.10, 3.x from 3.11 on); --pandas N pins the
# newest N.x instead, in venvs of their own (.venv-3.X-pandasN; the build directory is
# the interpreter's). --floor installs every runtime dependency at the lower bound
# pyproject.toml gives it (pandas 2.0 with its numpy 1.x, requests, pydantic, tqdm), in
# .venv-3.X-floor: the oldest set a user may have. The sanitizer rerun is skipped with
# --no-sanitize or PRIVATE_CORE_SKIP_SANITIZE=1. The interpreter is found as
# $PYTHON (when it is that version), python3.X on PATH, or a pyenv installation; 3.14
# and 3.15, failing those, in a Debian unstable root that tools/python.sh makes and
# keeps (it needs root; the run goes on inside it).
# --zig builds with the wheels' toolchain (tools/zig.sh) instead of the machine's GCC, in
# venvs and a build directory of its own (.venv-zig, .venv-zig-3.X), without the
# sanitizer rerun (which stays on GCC); on this machine's interpreters only.
set -euo pipefail
cd "$(dirname "$0")/.."

VERSION=3.10
PANDAS=
FLOOR=0
SANITIZE=1
ZIG=0
[ "${PRIVATE_CORE_SKIP_SANITIZE:-0}" = 1 ] && SANITIZE=0
while [ $# -gt 0 ]; do
    case $1 in
        --python) VERSION=$2; shift 2 ;;
        --python=*) VERSION=${1#*=}; shift ;;
        --pandas) PANDAS=$2; shift 2 ;;
        --pandas=*) PANDAS=${1#*=}; shift ;;
        --floor) FLOOR=1; shift ;;
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
if [[ $FLOOR = 1 && -n $PANDAS ]]; then
    echo "--floor and --pandas exclude each other" >&2
    exit 2
fi

source tools/python.sh

VENV=$(test_venv "$VERSION" "$PANDAS")
ASAN_VENV=.venv-asan ASAN_BUILD=build/asan
if [ "$VERSION" != 3.10 ]; then
    ASAN_VENV=$ASAN_VENV-$VERSION ASAN_BUILD=$ASAN_BUILD-$VERSION
fi
[ -n "$PANDAS" ] && ASAN_VENV=$ASAN_VENV-pandas$PANDAS
if [ "$FLOOR" = 1 ]; then
    VENV=$VENV-floor ASAN_VENV=$ASAN_VENV-floor
    # Each `name>=X` of the runtime dependencies becomes `name==X`; pip applies the
    # constraints to every install of the set-up, so nothing moves past the floor.
    mkdir -p build
    export PIP_CONSTRAINT=$PWD/build/floor-constraints.txt
    sed -n '/^dependencies = \[/,/^\]/s/^ *"\([A-Za-z0-9_.-]*\)>=\([^,"]*\).*/\1==\2/p' pyproject.toml \
        >"$PIP_CONSTRAINT"
    echo "--- floor: $(tr '\n' ' ' <"$PIP_CONSTRAINT")"
fi

PY=$(find_python "$VERSION")
BUILD_ARGS=()
if [ "$ZIG" = 1 ]; then
    VENV=${VENV/.venv/.venv-zig}
    source tools/zig.sh
    make_venv "$PY" "$VENV"
    zig_setup "$VENV"
    zig_env x86_64
    BUILD_ARGS=(-Cbuild-dir="build/zig-{wheel_tag}" "${ZIG_CMAKE_SETTINGS[@]}")
fi
echo "--- Python $VERSION ($PY)$([ "$ZIG" = 1 ] && echo ", zig $ZIG_VERSION for $PRIVATE_CORE_ZIG_TARGET")"
if [ "$SANITIZE" = 1 ] && [[ $PY == "$ROOT_CACHE"/bin/* ]]; then
    # The sanitizer runtimes are this machine's, built for its C library.
    echo "--- no sanitizer rerun for an interpreter of the Debian root (it runs on 3.10)"
    SANITIZE=0
fi
dev_setup "$PY" "$VENV" "$PANDAS_REQ" "${BUILD_ARGS[@]}"
VPY=$(venv_python "$VENV")
# requests 2.31 has no type hints of its own (later releases ship them): the stub check
# reads the floor's from the matching stub package.
[ "$FLOOR" = 1 ] && "$VPY" -m pip install -q "types-requests==2.31.*"
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
echo "--- Python $VERSION${PANDAS:+ (pandas $PANDAS)}$([ "$FLOOR" = 1 ] && echo " (dependency floor)"): passed in $((SECONDS / 60)) min $((SECONDS % 60)) s"
