# Sourced by tools/wheels.sh: Debian roots with the interpreters this machine lacks, kept
# in $PRIVATE_CORE_ROOTS (/root/.cache/private_core) between runs and made when missing
# (as root, with debootstrap; a clean machine makes them anew, about a minute each).
#
# amd64_root: prints the x86_64 Debian unstable root (CPython 3.14 and 3.15, with their
#   headers), ready for chroot: /proc mounted, name resolution and certificates copied
#   in, this worktree bind-mounted at its own path.
# arm64_root VERSION: prints the arm64 root with CPython VERSION and its headers (Debian
#   unstable for 3.14/3.15, trixie for 3.13, bookworm for 3.11), or fails when no Debian
#   suite has that version. Its programs run under qemu-aarch64-static -L ROOT; it is
#   unpacked only (debootstrap's first stage and dpkg-deb -x, no second stage needed).
ROOTS=${PRIVATE_CORE_ROOTS:-/root/.cache/private_core}

amd64_root() {
    local root=$ROOTS/sid-amd64
    if [ ! -x "$root/usr/bin/python3.15" ]; then
        mkdir -p "$ROOTS"
        debootstrap --variant=minbase --include=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,git,ca-certificates \
            sid "$root" >&2
    fi
    mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    mkdir -p "$root$PWD"
    mountpoint -q "$root$PWD" || mount --bind "$PWD" "$root$PWD"
    echo "$root"
}

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
