#!/usr/bin/env python3
"""Benchmark of a whole installation under Wine, its unpack step against the floor Wine sets,
and its peak memory.

    python3 scripts/lib/bench_install.py WIN32_BUILD_DIR PACKAGE [--runs N] [--json FILE]
                                         [--unpack-only] [--host-build HOST_BUILD_DIR]

The unchanged VelmoraInstaller.exe runs in a private network whose download host is nginx
(tests/e2e/world.py), on a machine with both prerequisites present, so a run is: download the
package, unpack it, register, create the shortcuts, start the application. PACKAGE is served as
the Live package; its app/Velmora.exe must be the stand-in application (tests/fixtures), whose
"started application" record in VELMORA_STANDIN_LOG marks the end of a run.

These are timed, alternating, at least 5 times each:
  installation   from starting `wine VelmoraInstaller.exe` to the application's launch record;
                 its unpack phase: from the package's first file appearing in the application
                 folder to its last
  Wine start-up  `wine standin-plain.exe`: an empty 32-bit program (it returns at once)
  curl + unzip   `curl -s -o FILE URL && unzip -o -q FILE -d DIR` of the same package in the
                 same network namespace
  unpack alone   `wine vmpkg.exe extract` of a copy of the package inside the prefix into the
                 application folder (the installer's extraction code with nothing around it),
                 against a native `unzip -o -q` of it
  the floors     `wine unpack_floor.exe` (unpack_floor.c beside this script, built here with the
                 win32 preset's compiler and zlib) making the same folders and files with the
                 same bytes, times and attributes by plain Win32 calls: floor A from bytes
                 prepared in a plan file (write_floor_plan), floor B inflating and CRC-checking
                 the package's data with zlib as well. Timed like vmpkg.exe (wall time, the
                 phase, the process's CPU time); the trees all of them leave are compared once.
  the release options  the same installation with an installer built with every option of a
                 signed release (VELMORA_PACKAGE_PUBLIC_KEY and the three pins; a key made for
                 the run) and the package signed by vmpkg sign, against the installer without
                 them installing the same signed package: what checking the signature costs
                 (the prerequisites are present, so no pin is checked). Needs the host build's
                 vmpkg (--host-build); goal: at most 1.05.
The goal: installation - Wine start-up <= 1.2 x (curl + unzip). The prefix (and so every file
written) lies in tmpfs; the prefix's wineserver is kept running (`wineserver -p`), so no run pays
for starting it and Wine's start-up is what starting one more process costs. --unpack-only
times only what the unpack rows need (installation, Wine start-up, vmpkg.exe, the floors).

Memory: the peak resident set (VmHWM in /proc/PID/status) of the Linux process that runs the
installer, sampled every few milliseconds until it exits; where 32-bit code runs through
qemu-i386 this process is qemu running the Wine loader, so the empty program's peak is measured
the same way and given beside it. The installer also runs with the small sample package (the
Beta channel of the server tree) to show that the 51,000,000-byte download buffer counts only
with the pages a download wrote.

`run(win32_build, package, state, runs)` returns the rows for scripts/bench.
"""
import argparse
import calendar
import hashlib
import json
import os
import pathlib
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import run as e2e  # noqa: E402
import wineenv  # noqa: E402
import world as worlds  # noqa: E402

GOAL = 1.2
DOWNLOAD_BUFFER = 51_000_000
POLL_SECONDS = 0.005
RUN_TIMEOUT = 600
FLOOR_SOURCE = pathlib.Path(__file__).resolve().parent / "unpack_floor.c"
TICKS_PER_SECOND = 10_000_000
UNIX_EPOCH_TICKS = 116_444_736_000_000_000  # 1970-01-01 as a FILETIME
DOS_EPOCH_TICKS = UNIX_EPOCH_TICKS + 315_532_800 * TICKS_PER_SECOND  # 1980-01-01 UTC
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def process_cpu(pid):
    """CPU seconds (user + system, all threads) that process `pid` has used so far, to the
    kernel's clock tick; None once it has ended."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def mark_files(marks, first, last, now, pid):
    """Notes when the package's first and last file appeared (and the process's CPU seconds
    then), each the first time it is seen."""
    for name, path in (("first", first), ("last", last)):
        if name not in marks and path.exists():
            marks[name] = now
            marks[name + "_cpu"] = process_cpu(pid)


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": len(values)}


# ---------------------------------------------------------------- the unpack step's floor

def build_floor(build, target):
    """unpack_floor.c built with the win32 preset's C compiler (named in its toolchain file) and
    the zlib the installer links, as `target`."""
    toolchain = (ROOT / "cmake" / "toolchain-mingw-i686.cmake").read_text()
    compiler = re.search(r"set\(CMAKE_C_COMPILER\s+(\S+)\)", toolchain).group(1)
    cache = (build / "CMakeCache.txt").read_text().splitlines()
    zlib = next(line.split("=", 1)[1] for line in cache if line.startswith("VELMORA_ZLIB:"))
    target.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run([compiler, "-O2", "-Wall", "-Wextra", "-Werror", "-municode", "-static", "-s",
                    str(FLOOR_SOURCE), "-o", str(target), zlib], check=True)
    return target


def entry_attributes(info):
    """The FileAttribute bits the installer gives the entry's file (archive.cpp attributesOf)."""
    if info.create_system in (0, 7, 11, 14):  # FAT, Macintosh, NTFS, VFAT
        return info.external_attr & 0x37
    attributes = 0x20  # archive
    if info.external_attr & 0x40000000:
        attributes |= 0x10  # folder
    if not info.external_attr & 0x00800000:
        attributes |= 0x1  # read-only: the owner may not write
    return attributes


def entry_times(info, local_extra):
    """(creation, access, modification) as FILETIME values, as the installer computes them: the
    DOS time taken as local time at today's offset from UTC, then the local extra field's first
    "UT" block."""
    year, month, day, hour, minute, second = info.date_time
    try:
        valid = 1 <= month <= 12 and hour < 24 and minute < 60 and second < 60 and \
            1 <= day <= calendar.monthrange(year, month)[1]
    except calendar.IllegalMonthError:
        valid = False
    if valid:
        local = calendar.timegm((year, month, day, hour, minute, second))
        modification = (local - time.localtime().tm_gmtoff) * TICKS_PER_SECOND + UNIX_EPOCH_TICKS
    else:
        modification = DOS_EPOCH_TICKS
    times = {"modification": modification, "access": modification, "creation": modification}
    start = 0
    while start + 4 < len(local_extra):
        block, size = struct.unpack_from("<HH", local_extra, start)
        if block != 0x5455:
            start += 4 + size
            continue
        data = local_extra[start + 4:start + 4 + size]
        if not data:
            break
        at = 1
        for bit, name in enumerate(("modification", "access", "creation")):
            if not data[0] & (1 << bit):
                continue
            if at + 4 > len(data):
                break
            seconds = struct.unpack_from("<i", data, at)[0]
            at += 4
            times[name] = (seconds * TICKS_PER_SECOND + UNIX_EPOCH_TICKS) % (1 << 64)
        break
    return times["creation"], times["access"], times["modification"]


def write_floor_plan(package, plan):
    """unpack_floor.c's plan for `package` (whose entries are all plain names below app/): the
    entries the unpack step extracts, what the installer computes for each, and the files'
    uncompressed bytes. The folder app/ itself is the destination, which the floor makes first."""
    records, contents = [], []
    with zipfile.ZipFile(package) as archive, open(package, "rb") as raw:
        for info in archive.infolist():
            rest = info.filename[len("app/"):]
            if not info.filename.startswith("app/") or not rest:
                continue
            if "\\" in rest or ":" in rest or any(part in (".", "..") for part in rest.split("/")):
                raise SystemExit(f"the floor takes plain names only: {info.filename}")
            raw.seek(info.header_offset)
            header = raw.read(30)
            name_length, extra_length = struct.unpack_from("<HH", header, 26)
            local_extra = raw.read(name_length + extra_length)[name_length:]
            data_offset = info.header_offset + 30 + name_length + extra_length
            folder = info.is_dir()
            data = b"" if folder else archive.read(info)
            name = rest.rstrip("/").replace("/", "\\").encode("utf-16-le")
            records.append((folder, entry_attributes(info), entry_times(info, local_extra),
                            len(data), data_offset, info.compress_size, info.compress_type,
                            info.CRC, name))
            contents.append(data)
    offset = 12 + sum(60 + (len(record[-1]) + 3) // 4 * 4 for record in records)
    with open(plan, "wb") as out:
        out.write(b"VMFLOOR1" + struct.pack("<I", len(records)))
        for record, data in zip(records, contents):
            folder, attributes, times, size, data_offset, compressed, method, crc, name = record
            fields = [1 if folder else 0, attributes]
            for ticks in times:
                fields += [ticks & 0xFFFFFFFF, ticks >> 32]
            fields += [size, offset, data_offset, compressed, method, crc, len(name) // 2]
            out.write(struct.pack("<15I", *fields) + name + b"\0" * (-len(name) % 4))
            offset += size
        for data in contents:
            out.write(data)
    return plan


def tree_state(folder):
    """What an unpack step left below `folder`: {relative path: (kind, size, mode, mtime_ns,
    atime_ns, extended attributes, SHA-256)}. Everything is stat'ed before any file is read,
    since reading moves the access time."""
    states = {}
    for path in sorted(folder.rglob("*")):
        info = path.lstat()
        try:
            extended = tuple(sorted((name, os.getxattr(path, name)) for name in os.listxattr(path)))
        except OSError:
            extended = ()
        kind = "folder" if path.is_dir() else "file"
        times = (None, None) if kind == "folder" else (info.st_mtime_ns, info.st_atime_ns)
        states[str(path.relative_to(folder))] = [kind, info.st_size if kind == "file" else 0,
                                                 info.st_mode, *times, extended]
    for name, state in states.items():
        state.append(hashlib.sha256((folder / name).read_bytes()).hexdigest()
                     if state[0] == "file" else "")
    return {name: tuple(state) for name, state in states.items()}


class Sampler:
    """Follows the Linux process whose command line holds `marker` (a full path): its peak
    resident set and, with `buffer` set, the most of the download buffer ever resident.

    The buffer is found as Wine placed it: a private, writable, not executable mapping of at
    least 51,000,000 bytes (the block may share its mapping with neighbours it was merged
    with). Reading the mappings takes time, so the timed runs do not ask for it."""

    def __init__(self, marker, buffer=False):
        self.marker = marker.encode()
        self.buffer = buffer
        self.pid = None
        self.peak_kib = 0
        self.buffer_kib = None

    def find(self):
        for entry in os.scandir("/proc"):
            if not entry.name.isdigit():
                continue
            try:
                with open(f"/proc/{entry.name}/cmdline", "rb") as command:
                    if self.marker in command.read():
                        self.pid = int(entry.name)
                        return
            except OSError:
                continue

    def sample(self):
        if self.pid is None:
            self.find()
            if self.pid is None:
                return
        try:
            with open(f"/proc/{self.pid}/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        self.peak_kib = max(self.peak_kib, int(line.split()[1]))
                        break
            if self.buffer:
                self.sample_buffer()
        except OSError:
            pass  # it has ended; the last sample stands

    def sample_buffer(self):
        with open(f"/proc/{self.pid}/smaps") as maps:
            size, candidate = 0, False
            for line in maps:
                head = line.split()
                if "-" in head[0] and len(head) >= 5 and ":" in head[3]:
                    start, end = (int(value, 16) for value in head[0].split("-"))
                    size = end - start
                    candidate = (size >= DOWNLOAD_BUFFER and head[1].startswith("rw")
                                 and "x" not in head[1] and head[1].endswith("p")
                                 and len(head) == 5)
                elif candidate and head[0] == "Rss:":
                    self.buffer_kib = max(self.buffer_kib or 0, int(head[1]))
                    candidate = False


def checked_release(build, host_build, package, work):
    """An installer built with a package key made for the run and the stand-in prerequisites'
    pins (in BUILD/bench-checked), and `package` signed with that key by the host build's vmpkg:
    (installer, signed package), or None without vmpkg."""
    vmpkg = pathlib.Path(host_build) / "tools" / "vmpkg" / "vmpkg" if host_build else None
    if vmpkg is None or not vmpkg.exists():
        return None
    key, public = work / "package.key", work / "package.pub"
    subprocess.run(["openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                    "rsa_keygen_bits:3072", "-out", str(key)], check=True)
    subprocess.run(["openssl", "pkey", "-in", str(key), "-pubout", "-out", str(public)],
                   check=True)
    signed = work / "signed.vmpkg"
    subprocess.run([str(vmpkg), "sign", str(key), str(package), str(signed)], check=True,
                   stdout=subprocess.DEVNULL)
    fixtures = build / "tests" / "fixtures"
    runtime = hashlib.sha256((fixtures / "standin-runtime.exe").read_bytes()).hexdigest()
    update = hashlib.sha256((fixtures / "standin-update.exe").read_bytes()).hexdigest()
    folder = build / "bench-checked"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(folder), "-G", "Ninja",
                    f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'toolchain-mingw-i686.cmake'}",
                    "-DCMAKE_BUILD_TYPE=MinSizeRel",
                    f"-DVELMORA_DOWNLOAD_HOST={worlds.download_host(build)}",
                    f"-DVELMORA_PACKAGE_PUBLIC_KEY={public}",
                    f"-DVELMORA_RUNTIME_SHA256={runtime}", f"-DVELMORA_UPDATE_X86_SHA256={update}",
                    f"-DVELMORA_UPDATE_X64_SHA256={update}"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(folder), "--target", "VelmoraInstaller"], check=True,
                   stdout=subprocess.DEVNULL)
    return folder / "ui" / "VelmoraInstaller.exe", signed


class Bench:
    """One machine (prefix in tmpfs) in one world serving the package; the timed commands."""

    def __init__(self, build, state, package, work, checked=None):
        self.build = build
        self.work = work
        self.machine = e2e.Machine(build, state, "bench-install")
        served = {"Live": package}
        if checked:
            served["Testing"] = checked[1]  # the signed package, for both installers
        tree = worlds.server_tree(build, work / "www", packages=served)
        self.world = worlds.World(build, "bench", root=tree)
        self.world.start()
        self.machine.command_prefix = self.world.prefix
        self.installation = e2e.Installation(self.machine, self.world)
        self.installation.preinstall_prerequisites()
        # A persistent wineserver: no run pays for starting (or waiting for) one.
        subprocess.run(self.world.prefix + ["wineserver", "-p"], env=self.machine.env(),
                       check=True)
        self.empty = self.machine.work / "empty" / "standin-plain.exe"
        self.empty.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(self.machine.fixture("standin-plain.exe"), self.empty)
        self.installers = {channel: self.machine.installer_copy(name) for channel, name in
                           (("Live", "VelmoraInstaller.exe"), ("Beta", "VelmoraInstaller-Beta.exe"))}
        if checked:
            # The same file name for both, in folders of their own: only the build differs.
            for channel, exe in (("unchecked", None), ("checked", checked[0])):
                folder = self.machine.work / channel
                folder.mkdir(parents=True, exist_ok=True)
                self.installers[channel] = self.machine.installer_copy(
                    "VelmoraInstaller-Testing.exe", folder=folder, exe=exe)
        with zipfile.ZipFile(package) as archive:
            files = [info.filename for info in archive.infolist()
                     if info.filename.startswith("app/") and not info.is_dir()]
        self.first_entry, self.last_entry = files[0][4:], files[-1][4:]
        self.package_bytes = package.stat().st_size
        self.small_package_bytes = (tree / worlds.package_path("Beta").lstrip("/")).stat().st_size
        host = worlds.download_host(build)
        self.url = f"http://{host}{worlds.package_path('Live')}"
        self.scratch = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-unzip-", dir=work))
        # The installer's unpack step on its own, in the same prefix: vmpkg.exe runs the same
        # extraction code over a copy of the package inside the prefix. The floor program
        # (unpack_floor.c) makes the same files with nothing of ours. All of them write where
        # the installer does, the application folder, removed before each run.
        tool = self.machine.work / "tool"
        self.vmpkg = tool / "vmpkg.exe"
        self.vmpkg.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build / "tools" / "vmpkg" / "vmpkg.exe", self.vmpkg)
        self.package_copy = tool / "package.zip"
        shutil.copyfile(package, self.package_copy)
        self.floor = build_floor(build, tool / "unpack_floor.exe")
        self.plan = write_floor_plan(package, tool / "unpack_floor.plan")
        target = self.machine.windows(self.machine.app_folder)
        self.unpackers = {
            "extract": [str(self.vmpkg), "extract", self.machine.windows(self.package_copy),
                        target],
            "floor_files": [str(self.floor), "files", self.machine.windows(self.plan), target],
            "floor_inflate": [str(self.floor), "inflate", self.machine.windows(self.plan),
                              self.machine.windows(self.package_copy), target],
        }
        self.trees = {}

    def close(self):
        try:
            self.machine.stop_wine()
        finally:
            self.world.stop()
            self.machine.close()

    def install(self, channel="Live", memory=False):
        """One installation: seconds to the launch record, phase times (and the process's CPU
        seconds then), and the Sampler (peak resident KiB; with `memory`, the buffer's most
        resident KiB too)."""
        shutil.rmtree(self.machine.app_folder, ignore_errors=True)
        self.installation.log.unlink(missing_ok=True)
        installer = self.installers[channel]
        sampler = Sampler(str(installer) + "\0", buffer=memory)
        first = self.machine.app_folder / self.first_entry
        last = self.machine.app_folder / self.last_entry
        marks = {}
        started = time.perf_counter()
        process = subprocess.Popen(self.world.prefix + ["wine", str(installer)],
                                   env=self.machine.env(self.installation.environment()),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        launched = None
        while True:
            now = time.perf_counter() - started
            sampler.sample()
            if channel == "Live":
                mark_files(marks, first, last, now, process.pid)
            if launched is None and self.installation.log.exists() and \
                    "\tapplication\t" in self.installation.log.read_text(errors="replace"):
                launched = now
            if launched is not None and process.poll() is not None:
                break
            if now > RUN_TIMEOUT:
                process.kill()
                raise RuntimeError(f"no launch record after {RUN_TIMEOUT} s")
            time.sleep(POLL_SECONDS)
        if process.returncode != 0:
            raise RuntimeError(f"the installer exited with {process.returncode}")
        return launched, marks, sampler

    def wine_start(self):
        """Seconds for the empty program to start and end under the same Wine; peak KiB."""
        sampler = Sampler(str(self.empty) + "\0")
        started = time.perf_counter()
        process = subprocess.Popen(self.world.prefix + ["wine", str(self.empty)],
                                   env=self.machine.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        while process.poll() is None:
            sampler.sample()
            time.sleep(POLL_SECONDS)
        elapsed = time.perf_counter() - started
        if process.returncode != 0:
            raise RuntimeError(f"the empty program exited with {process.returncode}")
        return elapsed, sampler.peak_kib

    def unpack_alone(self, name):
        """One run of vmpkg.exe extract ("extract") or of the floor program ("floor_files",
        "floor_inflate") into the application folder: wall seconds (Wine's start-up included),
        when the first and the last file of the package appeared (and the process's CPU seconds
        then), and the process's CPU seconds (user + system) in all. The first run of each
        records the tree it made."""
        shutil.rmtree(self.machine.app_folder, ignore_errors=True)
        self.machine.app_folder.parent.mkdir(parents=True, exist_ok=True)
        first = self.machine.app_folder / self.first_entry
        last = self.machine.app_folder / self.last_entry
        marks = {}
        started = time.perf_counter()
        process = subprocess.Popen(self.world.prefix + ["wine"] + self.unpackers[name],
                                   env=self.machine.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        while True:
            now = time.perf_counter() - started
            mark_files(marks, first, last, now, process.pid)
            ended, status, usage = os.wait4(process.pid, os.WNOHANG)
            if ended:
                break
            if now > RUN_TIMEOUT:
                process.kill()
                raise RuntimeError(f"{name} did not end within {RUN_TIMEOUT} s")
            time.sleep(POLL_SECONDS)
        elapsed = time.perf_counter() - started
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError(f"{' '.join(self.unpackers[name][:2])} exited with "
                               f"{process.returncode}")
        if name not in self.trees:
            self.trees[name] = tree_state(self.machine.app_folder)
        return elapsed, marks, usage.ru_utime + usage.ru_stime

    def check_floor(self):
        """The floor made exactly what vmpkg.exe and the installer made (names, bytes, times,
        modes, extended attributes): otherwise its rows would compare unlike work. The
        installer then starts app/Velmora.exe, which moves that file's access time."""
        made = self.trees["extract"]
        for name, other in self.trees.items():
            for path in sorted(set(made) | set(other)):
                expected, found = made.get(path), other.get(path)
                if name == "install" and path == "Velmora.exe" and expected and found:
                    expected, found = expected[:4] + expected[5:], found[:4] + found[5:]
                if expected != found:
                    raise RuntimeError(f"{name} differs from vmpkg.exe at {path}: {found} "
                                       f"instead of {expected}")

    def unzip_alone(self):
        target = self.scratch / "alone"
        shutil.rmtree(target, ignore_errors=True)
        started = time.perf_counter()
        subprocess.run(["unzip", "-o", "-q", str(self.package_copy), "-d", str(target)],
                       check=True)
        return time.perf_counter() - started

    def curl_unzip(self):
        target = self.scratch / "tree"
        shutil.rmtree(target, ignore_errors=True)
        file = self.scratch / "package.vmpkg"
        file.unlink(missing_ok=True)
        started = time.perf_counter()
        subprocess.run(self.world.prefix + [
            "sh", "-c", 'curl -s -f -o "$1" "$2" && unzip -o -q "$1" -d "$3"', "sh", str(file),
            self.url, str(target)], check=True)
        return time.perf_counter() - started


STEPS = ("install", "empty", "baseline", "extract", "floor_files", "floor_inflate", "memory",
         "small", "unchecked", "checked")
# The steps that the unpack rows need (--unpack-only): the installation for its phase, Wine's
# start-up, vmpkg.exe, the floors.
UNPACK_STEPS = ("install", "empty", "extract", "floor_files", "floor_inflate")


def run(win32_build, package, state, runs=5, steps=STEPS, host_build=None):
    """Rows: the installation against Wine's start-up plus curl + unzip, its unpack phase and
    vmpkg.exe against the floors, peak memory, and (with the host build's vmpkg) the
    installation with the release options against the same without them. `steps`: a part of
    STEPS (rows whose steps did not run are left out)."""
    build = pathlib.Path(win32_build).resolve()
    package = pathlib.Path(package).resolve()
    runs = max(runs, 5)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-install-", dir="/dev/shm"))
    checked = checked_release(build, host_build, package, work) \
        if "checked" in steps else None
    bench = Bench(build, pathlib.Path(state), package, work, checked)
    values = {name: [] for name in ("install", "first", "last", "phase", "phase_cpu", "empty",
                                    "baseline", "peak", "empty_peak", "buffer", "small_buffer",
                                    "small_peak", "unzip", "unchecked", "checked")}
    for name in ("extract", "floor_files", "floor_inflate"):
        values[name] = []
        values[name + "_phase"] = []
        values[name + "_cpu"] = []
        values[name + "_phase_cpu"] = []
    try:
        bench.install()  # the first run warms the page cache, nginx and Wine's DLLs
        bench.trees["install"] = tree_state(bench.machine.app_folder)
        for name in ("extract", "floor_files", "floor_inflate"):
            bench.unpack_alone(name)  # warms the programs; records the trees they make
        bench.check_floor()
        steps = [step for step in STEPS if step in steps and
                 (checked or step not in ("unchecked", "checked"))]
        for round_index in range(runs):
            shift = round_index % len(steps)
            for step in steps[shift:] + steps[:shift]:
                if step == "install":
                    launched, marks, sampler = bench.install()
                    values["install"].append(launched)
                    values["peak"].append(sampler.peak_kib * 1024)
                    for name in ("first", "last"):
                        if name in marks:
                            values[name].append(marks[name])
                    if "first" in marks and "last" in marks:
                        values["phase"].append(marks["last"] - marks["first"])
                        values["phase_cpu"].append(phase_cpu(marks))
                elif step == "empty":
                    elapsed, peak = bench.wine_start()
                    values["empty"].append(elapsed)
                    values["empty_peak"].append(peak * 1024)
                elif step == "baseline":
                    values["baseline"].append(bench.curl_unzip())
                elif step in ("unchecked", "checked"):
                    values[step].append(bench.install(step)[0])
                elif step in ("extract", "floor_files", "floor_inflate"):
                    elapsed, marks, cpu = bench.unpack_alone(step)
                    values[step].append(elapsed)
                    values[step + "_cpu"].append(cpu)
                    if "first" in marks and "last" in marks:
                        values[step + "_phase"].append(marks["last"] - marks["first"])
                        values[step + "_phase_cpu"].append(phase_cpu(marks))
                    if step == "extract":
                        values["unzip"].append(bench.unzip_alone())
                else:
                    sampler = bench.install("Live" if step == "memory" else "Beta", memory=True)[2]
                    if sampler.buffer_kib is not None:
                        values["buffer" if step == "memory" else "small_buffer"].append(
                            sampler.buffer_kib * 1024)
                    if step == "small":
                        values["small_peak"].append(sampler.peak_kib * 1024)
    finally:
        bench.close()
        shutil.rmtree(work, ignore_errors=True)
    return rows(values, bench.package_bytes, bench.small_package_bytes, emulated(state))


def phase_cpu(marks):
    """The process's CPU seconds between the first and the last file (None if unknown)."""
    if marks.get("first_cpu") is None or marks.get("last_cpu") is None:
        return None
    return marks["last_cpu"] - marks["first_cpu"]


def emulated(state):
    return wineenv.load_state(pathlib.Path(state)).get("emulated", False)


def row(number, measure, subject, baseline, unit, subject_values, baseline_values, goal=None,
        note=""):
    """A table row: medians, minimums and maximums of both sides, and their ratio."""
    left, right = summary(subject_values), summary(baseline_values)
    ratio = left["median"] / right["median"]
    return {"row": number, "measure": measure, "subject": subject, "baseline": baseline,
            "unit": unit, "subject_median": left["median"], "subject_min": left["min"],
            "subject_max": left["max"], "baseline_median": right["median"],
            "baseline_min": right["min"], "baseline_max": right["max"],
            "runs": left["runs"] if right["runs"] == 1 else min(left["runs"], right["runs"]),
            "ratio": ratio, "goal": goal,
            "met": None if goal is None else ratio <= goal, "note": note}


def cpu_median(values):
    known = [value for value in values if value is not None]
    return f"{statistics.median(known):.3f}" if known else "unknown"


FLOORS = {
    "floor_files": "floor A: the same folders and files by plain Win32 calls, bytes prepared "
                   "(no inflate)",
    "floor_inflate": "floor B: floor A plus zlib's raw inflate and CRC-32 of the package's data",
}


def rows(values, package_bytes, small_package_bytes, through_qemu):
    """The table rows of whatever was measured."""
    how = "32-bit code through qemu-i386" if through_qemu else "native 32-bit"
    median = statistics.median
    result = []
    if values["install"] and values["empty"] and values["baseline"]:
        empty = median(values["empty"])
        beyond = [seconds - empty for seconds in values["install"]]
        phases = ""
        if values["first"] and values["last"]:
            phases = (f"; from the start (medians): first file {median(values['first']):.2f} s, "
                      f"last file {median(values['last']):.2f} s, launch record "
                      f"{median(values['install']):.2f} s")
        result.append(row(
            "4", "whole installation under Wine (prerequisites present), seconds",
            "VelmoraInstaller.exe, start to the application's launch record, minus Wine's "
            "start-up", "curl + unzip of the same package", "s", beyond, values["baseline"],
            GOAL,
            f"{how}; Wine's start-up (an empty 32-bit program) median {empty:.2f} s "
            f"(min {min(values['empty']):.2f}, max {max(values['empty']):.2f}){phases}"))
    if values["extract"] and values["unzip"]:
        result.append(row(
            "4", "the unpack step alone under the same Wine, seconds",
            "vmpkg.exe extract (the installer's extraction code), Wine's start-up included",
            "unzip -o -q of the same package (native)", "s", values["extract"], values["unzip"],
            note=f"{how}; what the installation's extraction phase costs here before any "
                 f"installer logic: Wine's start-up, the inflate and Wine's file creation"))
    for name, floor in FLOORS.items():
        if values["phase"] and values[name + "_phase"]:
            result.append(row(
                "4", "the unpack phase under the same Wine against its floor (first to last "
                "file of the package), seconds", "VelmoraInstaller.exe's unpack phase", floor,
                "s", values["phase"], values[name + "_phase"],
                note=f"{how}; both timed alike: when the package's first and last file appear "
                     f"in the application folder (polled every {POLL_SECONDS * 1000:.0f} ms); "
                     f"the process's CPU seconds in between (medians): installer "
                     f"{cpu_median(values['phase_cpu'])}, floor "
                     f"{cpu_median(values[name + '_phase_cpu'])}, vmpkg.exe "
                     f"{cpu_median(values['extract_phase_cpu'])}; vmpkg.exe's phase "
                     f"{cpu_median(values['extract_phase'])} s"))
    for name, floor in FLOORS.items():
        if values["extract"] and values[name]:
            cpu, floor_cpu = median(values["extract_cpu"]), median(values[name + "_cpu"])
            result.append(row(
                "4", "the unpack step alone under the same Wine against its floor, seconds",
                "vmpkg.exe extract, Wine's start-up included",
                floor + ", Wine's start-up included", "s", values["extract"], values[name],
                note=f"{how}; the process's CPU time (user + system, medians): vmpkg.exe "
                     f"{cpu:.3f} s, the floor {floor_cpu:.3f} s ({cpu / floor_cpu:.3f}); both "
                     f"map the package, which the installer has in its download buffer"))
    if values["checked"] and values["unchecked"]:
        result.append(row(
            "4", "whole installation under Wine with the release options, seconds",
            "VelmoraInstaller.exe built with a package key and the three pins, the package "
            "signed", "the installer built without them, the same signed package", "s",
            values["checked"], values["unchecked"], 1.05,
            f"{how}; start to the application's launch record, Wine's start-up included in "
            f"both; the {package_bytes:,}-byte package signed with RSA-3072 (its SHA-256 and "
            f"the RSA check by CryptoAPI under Wine); prerequisites present, so no pin is "
            f"checked"))
    if values["peak"] and values["empty_peak"]:
        result.append(row(
            "6", "peak memory of a whole run under Wine, bytes",
            "VelmoraInstaller.exe process, peak resident set", "the empty program's, same Wine",
            "bytes", values["peak"], values["empty_peak"],
            note=f"{how}: " + ("the Linux process is qemu-i386 running Wine, whose own code "
                               "cache and tables are in both" if through_qemu else
                               "Wine's own libraries and tables are in both") +
                 f"; the difference is "
                 f"{median(values['peak']) - median(values['empty_peak']):,.0f} bytes"))
    if values["buffer"]:
        result.append(row(
            "6", "download buffer resident at its most, bytes",
            f"whole run, the {package_bytes:,}-byte package",
            "the package's size", "bytes", values["buffer"], [package_bytes],
            note="the buffer's mapping as /proc/PID/smaps shows it, sampled through the run"))
    if values["small_buffer"]:
        result.append(row(
            "6", "download buffer resident at its most, bytes",
            f"whole run, the {small_package_bytes:,}-byte sample package",
            f"the buffer's size ({DOWNLOAD_BUFFER:,})", "bytes", values["small_buffer"],
            [DOWNLOAD_BUFFER],
            note="pages the download did not write are not resident"))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("win32_build")
    parser.add_argument("package")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--json")
    parser.add_argument("--unpack-only", action="store_true",
                        help="only the unpack rows: the installation's phase, vmpkg.exe, floors")
    parser.add_argument("--host-build", help="the host build whose vmpkg signs the package for "
                                             "the release options' row")
    arguments = parser.parse_args()
    state = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-wine-", dir="/dev/shm"))
    try:
        wineenv.setup(state)
        result = run(arguments.win32_build, arguments.package, state, arguments.runs,
                     UNPACK_STEPS if arguments.unpack_only else STEPS, arguments.host_build)
    finally:
        wineenv.cleanup(state)
        shutil.rmtree(state, ignore_errors=True)
    print(json.dumps(result, indent=1))
    if arguments.json:
        pathlib.Path(arguments.json).write_text(json.dumps(result, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
