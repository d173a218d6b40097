"""What each wheel's shared objects need of the system, read from their ELF version tables.

    python tools/wheel_floor.py --glibc 2.28 --max-mb 1.2 WHEEL...

For each wheel: its platform tag, its installed size (the files it unpacks), and the newest
glibc symbol version any of its shared objects needs. Fails when one needs a newer glibc
than --glibc, or needs libstdc++ at all (the package carries its C++ runtime), or when a
wheel installs more than --max-mb megabytes (an unstripped library, say). Reads
any architecture's objects (pyelftools, which auditwheel brings), so the aarch64 wheels
are checked on an x86_64 machine.
"""

from __future__ import annotations

import argparse
import io
import sys
import zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile


def needs(data: bytes) -> tuple[set[str], set[str]]:
    """The libraries an object names and the symbol versions it needs of them."""
    elf = ELFFile(io.BytesIO(data))
    libraries = {tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags()
                 if tag.entry.d_tag == "DT_NEEDED"}
    versions = set()
    section = elf.get_section_by_name(".gnu.version_r")
    if section is not None:
        for _, auxiliaries in section.iter_versions():
            versions.update(aux.name for aux in auxiliaries)
    return libraries, versions


def glibc_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.removeprefix("GLIBC_").split("."))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--glibc", required=True, help="the newest glibc allowed, as 2.28")
    parser.add_argument("--max-mb", type=float, required=True,
                        help="the most a wheel may install, in MB")
    parser.add_argument("wheels", nargs="+", type=Path)
    args = parser.parse_args(argv)
    floor = glibc_key(args.glibc)
    failures = []
    for wheel in args.wheels:
        newest: tuple[int, ...] = (0,)
        with zipfile.ZipFile(wheel) as archive:
            size = sum(info.file_size for info in archive.infolist())
            for info in archive.infolist():
                if not info.filename.endswith(".so"):
                    continue
                libraries, versions = needs(archive.read(info))
                glibc = [glibc_key(v) for v in versions if v.startswith("GLIBC_")]
                newest = max([newest, *glibc])
                cxx = sorted(v for v in versions if v.startswith(("GLIBCXX_", "CXXABI_")))
                if any(lib.startswith("libstdc++") for lib in libraries) or cxx:
                    failures.append(f"{info.filename} in {wheel.name} needs libstdc++ {cxx}")
                if max(glibc, default=(0,)) > floor:
                    failures.append(f"{info.filename} in {wheel.name} needs glibc "
                                    f"{'.'.join(map(str, max(glibc)))}")
        if size > args.max_mb * 1e6:
            failures.append(f"{wheel.name} installs {size / 1e6:.2f} MB")
        tag = wheel.name.rsplit("-", 1)[-1].removesuffix(".whl")
        print(f"  {wheel.name}: {tag}, installed {size / 1e6:.2f} MB, "
              f"needs glibc {'.'.join(map(str, newest))}")
    for failure in failures:
        print(f"wheel_floor: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
