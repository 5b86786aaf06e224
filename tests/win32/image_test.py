#!/usr/bin/env python3
"""Checks of the built VelmoraInstaller.exe as a file, read with objdump -p.

    image_test.py --objdump OBJDUMP --exe EXE --check NAME     one check (ctest runs each one)
    image_test.py --list                                       the check names

imports: the installer lies in a Downloads folder, where a DLL with a system name may have been
planted beside it. Windows takes the KnownDLLs from the system folder whatever lies beside a
program, and the manifest sends comctl32 to the side-by-side store; any other imported DLL would
be looked for beside the installer first, before the program's first instruction could stop it.
Functions that the installer looks up at run time must not be imported either: some are
missing on older Windows (a missing import keeps the program from starting, so XP would not
even show its refusal box), and version.dll is no KnownDLL; comctl32 is loaded once the search
is restricted, so that its own imports are not looked for beside the installer either.

hardening: ASLR and DEP flags, and a relocation table, without which ASLR cannot move the image.

timestamps: the file header's and the resource directories' time stamps are 0, so that the same
sources and options give the same bytes on every build (see repro.installer).

paths: no build or source folder (--forbid, ASCII or UTF-16) appears in the image.
"""
import argparse
import re
import subprocess
import sys

# KnownDLLs on every Windows version the installer supports (Vista and later).
KNOWN_DLLS = {
    "advapi32.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "kernel32.dll", "msvcrt.dll",
    "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll",
    "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
# Loaded from the side-by-side store as the manifest asks.
MANIFEST_REDIRECTED = {"comctl32.dll"}
LOOKED_UP = {
    "SetDefaultDllDirectories", "SetDllDirectoryW", "IsWow64Process", "InitCommonControlsEx",
    "GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueW",
}
COMMON_CONTROLS_6 = re.compile(
    rb'name="Microsoft\.Windows\.Common-Controls"\s+version="6\.0\.0\.0"')

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100


class Image:
    def __init__(self, objdump, exe):
        self.exe = exe
        self.text = subprocess.run([objdump, "-p", exe], capture_output=True, text=True,
                                   check=True).stdout

    def imports(self):
        """{dll name (lower case): [function names]} of the import tables."""
        tables, current = {}, None
        for line in self.text.splitlines():
            named = re.match(r"\s*DLL Name: (\S+)", line)
            if named:
                current = tables.setdefault(named.group(1).lower(), [])
                continue
            function = re.match(r"\s*[0-9a-f]+\s+\d+\s+([A-Za-z_]\w*)", line)
            if current is not None and function:
                current.append(function.group(1))
            elif line.startswith("PE File Base Relocations"):
                break
        return tables

    def number(self, label):
        match = re.search(r"^" + label + r"\s+(?:0x)?([0-9a-fA-F]+)", self.text, re.M)
        if not match:
            raise SystemExit(f"objdump printed no {label}")
        return int(match.group(1), 16)

    def directory_size(self, title):
        match = re.search(r"^Entry [0-9a-f] [0-9a-f]{8} ([0-9a-f]{8}) " + re.escape(title),
                          self.text, re.M)
        if not match:
            raise SystemExit(f"objdump printed no {title}")
        return int(match.group(1), 16)


def check_imports(image):
    problems = []
    tables = image.imports()
    if "kernel32.dll" not in tables:
        problems.append("no import table read (objdump output changed?)")
    for dll, functions in sorted(tables.items()):
        if dll not in KNOWN_DLLS | MANIFEST_REDIRECTED:
            problems.append(f"imports {dll}, which is no KnownDLL")
        for function in functions:
            if function in LOOKED_UP:
                problems.append(f"imports {function} from {dll}; it must be looked up")
    if image.directory_size("Delay Import Directory") != 0:
        problems.append("has delay-loaded imports")
    with open(image.exe, "rb") as exe:
        if "comctl32.dll" in tables and not COMMON_CONTROLS_6.search(exe.read()):
            problems.append("imports comctl32.dll without a manifest that redirects it")
    return problems


def check_hardening(image):
    problems = []
    flags = image.number("DllCharacteristics")
    if not flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE:
        problems.append(f"DllCharacteristics {flags:#06x}: no DYNAMIC_BASE (ASLR)")
    if not flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT:
        problems.append(f"DllCharacteristics {flags:#06x}: no NX_COMPAT (DEP)")
    if image.number("Characteristics") & IMAGE_FILE_RELOCS_STRIPPED:
        problems.append("relocations stripped")
    if image.directory_size("Base Relocation Directory") == 0:
        problems.append("no relocation table")
    return problems


def check_timestamps(image):
    problems = []
    with open(image.exe, "rb") as exe:
        data = exe.read(4096)
    header = int.from_bytes(data[0x3C:0x40], "little")
    stamp = int.from_bytes(data[header + 8:header + 12], "little")
    if stamp != 0:
        problems.append(f"the file header's time stamp is {stamp:#x}, not 0")
    for found in re.findall(r"Table: Char: \d+, Time: ([0-9a-f]+)", image.text):
        if int(found, 16) != 0:
            problems.append(f"a resource directory's time stamp is {found}, not 0")
    return problems


def check_paths(image):
    with open(image.exe, "rb") as exe:
        data = exe.read()
    problems = []
    for path in image.forbidden:
        for encoded in (path.encode(), path.encode("utf-16-le")):
            if encoded in data:
                problems.append(f"holds the path {path}")
    return problems


CHECKS = {"imports": check_imports, "hardening": check_hardening,
          "timestamps": check_timestamps, "paths": check_paths}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump")
    parser.add_argument("--exe")
    parser.add_argument("--check")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--forbid", action="append", default=[],
                        help="a path that must not appear in the image (repeatable)")
    arguments = parser.parse_args()
    if arguments.list:
        print(";".join(CHECKS))
        return 0
    image = Image(arguments.objdump, arguments.exe)
    image.forbidden = arguments.forbid
    problems = CHECKS[arguments.check](image)
    for problem in problems:
        print(f"{arguments.exe}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
