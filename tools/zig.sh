# Sourced by the tools: the toolchain the wheels are built with. zig (a pinned release from
# PyPI) compiles C++20 against its own libc++ (linked statically into the one shared
# library) and links against the glibc version named in the target, whatever the machine's
# own glibc, so every shared object needs nothing newer than that glibc.
#
# zig_setup VENV: installs zig into VENV (an existing venv) and exports PRIVATE_CORE_ZIG.
# zig_env ARCH: exports CC, CXX and the zig settings for ARCH (x86_64 or aarch64).
ZIG_VERSION=0.17.1
GLIBC_FLOOR=2.28

zig_setup() {
    "$1/bin/python" -m pip install -q "ziglang==$ZIG_VERSION"
    # The zig binary itself (static), so it also runs inside the Debian roots.
    PRIVATE_CORE_ZIG=$("$1/bin/python" -c "import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")
    export PRIVATE_CORE_ZIG
}

# CMake's compiler checks compile static libraries instead of linking programs: zig builds
# its libc++ anew for every distinct set of link flags (the checks' debug and LTO links),
# minutes each on a clean machine, when only the package's own link needs one.
ZIG_CMAKE_SETTINGS=(-Ccmake.define.CMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY)

zig_env() {
    export PRIVATE_CORE_ZIG_TARGET=$1-linux-gnu.$GLIBC_FLOOR
    export CC=$PWD/tools/zig/cc CXX=$PWD/tools/zig/c++
    # One cache (zig's libc++ and glibc stubs built once per target) for every run.
    export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$PWD/build/zig-cache}
    export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR
}
