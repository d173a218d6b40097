#!/usr/bin/env bash
# C++ line and branch coverage of src/ under the test suite: builds the package with
# gcc's coverage instrumentation (Debug, -O0) in .venv-coverage and build/coverage,
# runs the suite, and prints the coverage of each source file with gcovr. Exception
# edges (the unwinding paths gcc adds for every call that may throw) are left out: they
# are not branches of ours. Not part of CI: it is a third build.
#
#   bash tools/coverage.sh [--python 3.X] [pytest arguments...]
#
# Python 3.10 (pandas 2) by default; another version (pandas 3 from 3.11) builds in
# .venv-coverage-3.X and build/coverage-3.X: the paths only one pandas major takes are
# reached by one run or the other. Writes coverage.txt (the table) and
# html/index.html in the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/python.sh

VERSION=3.10
if [ "${1:-}" = --python ]; then
    VERSION=$2
    shift 2
fi
VENV=.venv-coverage BUILD=build/coverage
[ "$VERSION" = 3.10 ] || VENV=$VENV-$VERSION BUILD=$BUILD-$VERSION
PY=$(find_python "$VERSION")
dev_setup "$PY" "$VENV" -Cbuild-dir="$BUILD" -Ccmake.define.PRIVATE_CORE_COVERAGE=ON \
    -Ccmake.build-type=Debug
VPY=$(venv_python "$VENV")
"$VPY" -m pip install -q "gcovr>=7,<9"
# Counts from an earlier run would add up with this one's.
find "$BUILD" -name '*.gcda' -delete
"$VPY" -m pytest -q -p no:cacheprovider "$@" || echo "coverage: the suite failed; figures below are of the run as it went" >&2
mkdir -p "$BUILD/html"
"$VPY" -m gcovr --root . --filter 'src/' --object-directory "$BUILD" \
    --exclude-throw-branches --exclude-unreachable-branches --sort uncovered-percent \
    --gcov-ignore-errors=no_working_dir_found --gcov-ignore-errors=source_not_found \
    --txt-metric line --txt-metric branch --txt "$BUILD/coverage.txt" --html-details "$BUILD/html/index.html" --print-summary \
    "$BUILD"
cat "$BUILD/coverage.txt"
