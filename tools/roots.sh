# Sourced by tools/wheels.sh, after tools/python.sh (whose x86_64 root runs CPython 3.14
# and 3.15): the arm64 roots, kept in python.sh's cache between runs and made when missing
# (as root, with debootstrap; a clean machine makes them anew, about a minute each).
#
# arm64_root VERSION: prints the arm64 root with CPython VERSION and its headers (Debian
#   unstable for 3.14/3.15, trixie for 3.13, bookworm for 3.11), or fails when no Debian
#   suite has that version. Its programs run under qemu-aarch64-static -L ROOT; it is
#   unpacked only (debootstrap's first stage and dpkg-deb -x, no second stage needed).
ROOTS=$ROOT_CACHE

arm64_suite() {
    case $1 in
        3.14|3.15) echo sid ;;
        3.13) echo trixie ;;
        3.11) echo bookworm ;;
        *) return 1 ;;
    esac
}

arm64_root() {
    local version=$1 suite root packages
    suite=$(arm64_suite "$version") || { echo "no Debian arm64 root has Python $version" >&2; return 1; }
    root=$ROOTS/$suite-arm64
    case $suite in
        sid) packages=python3.14,python3.14-dev,python3.15,python3.15-dev ;;
        *) packages=python$version,python$version-dev ;;
    esac
    if [ ! -x "$root/usr/bin/python$version" ]; then
        need_command debootstrap debootstrap >&2 || return 1
        rm -rf "$root.partial"
        mkdir -p "$root.partial"
        debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" "$suite" "$root.partial" >&2
        local deb
        for deb in "$root.partial"/var/cache/apt/archives/*.deb; do
            dpkg-deb -x "$deb" "$root.partial"
        done
        rm -rf "$root"
        mv "$root.partial" "$root"
    fi
    echo "$root"
}
