#!/usr/bin/env python3
"""The installer is reproducible: a second build folder, configured with the same toolchain and
options, builds the same VelmoraInstaller.exe byte for byte.

    reproducible.py --source DIR --exe EXE --build DIR [-D NAME=VALUE ...]

EXE is the installer of the main build folder; DIR (--build) is the second folder, at another
path and depth, kept between runs so that a rerun only rebuilds what changed. Prints the
offsets of differing bytes when the two files differ.
"""
import argparse
import pathlib
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("-D", dest="definitions", action="append", default=[])
    arguments = parser.parse_args()
    source = pathlib.Path(arguments.source)
    build = pathlib.Path(arguments.build)
    configure = ["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja",
                 f"-DCMAKE_TOOLCHAIN_FILE={source / 'cmake' / 'toolchain-mingw-i686.cmake'}"]
    configure += [f"-D{definition}" for definition in arguments.definitions]
    for command in (configure, ["cmake", "--build", str(build), "--target", "VelmoraInstaller",
                                "-j2"]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            print(result.stdout[-3000:], result.stderr[-3000:], file=sys.stderr)
            return 1
    first = pathlib.Path(arguments.exe).read_bytes()
    second = (build / "ui" / "VelmoraInstaller.exe").read_bytes()
    if first == second:
        print(f"reproducible: {len(first):,} bytes, identical in {arguments.exe} and {build}")
        return 0
    differing = [offset for offset in range(min(len(first), len(second)))
                 if first[offset] != second[offset]]
    print(f"not reproducible: {len(first):,} and {len(second):,} bytes; {len(differing)} "
          f"differing bytes, first at offsets {[hex(offset) for offset in differing[:16]]}",
          file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
