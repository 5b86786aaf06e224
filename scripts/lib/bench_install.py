#!/usr/bin/env python3
"""Benchmark of a whole installation under Wine, and its peak memory.

    python3 scripts/lib/bench_install.py WIN32_BUILD_DIR PACKAGE [--runs N] [--json FILE]

The unchanged VelmoraInstaller.exe runs in a private network whose download host is nginx
(tests/e2e/world.py), on a machine with both prerequisites present, so a run is: download the
package, unpack it, register, create the shortcuts, start the application. PACKAGE is served as
the Live package; its app/Velmora.exe must be the stand-in application (tests/fixtures), whose
"started application" record in VELMORA_STANDIN_LOG marks the end of a run.

Four things are timed, alternating, at least 5 times each:
  installation   from starting `wine VelmoraInstaller.exe` to the application's launch record
  Wine start-up  `wine standin-plain.exe`: an empty 32-bit program (it returns at once)
  curl + unzip   `curl -s -o FILE URL && unzip -o -q FILE -d DIR` of the same package in the
                 same network namespace
  unpack alone   `wine vmpkg.exe extract` of a copy of the package inside the prefix (the
                 installer's extraction code with nothing around it) against a native
                 `unzip -o -q` of it: how much of the installation's time is the extraction as
                 Wine runs it here
The goal: installation - Wine start-up <= 1.2 x (curl + unzip). The prefix (and so every file
written) lies in tmpfs; the prefix's wineserver is kept running (`wineserver -p`), so no run pays
for starting it and Wine's start-up is what starting one more process costs.

Memory: the peak resident set (VmHWM in /proc/PID/status) of the Linux process that runs the
installer, sampled every few milliseconds until it exits; where 32-bit code runs through
qemu-i386 this process is qemu running the Wine loader, so the empty program's peak is measured
the same way and given beside it. The installer also runs with the small sample package (the
Beta channel of the server tree) to show that the 51,000,000-byte download buffer counts only
with the pages a download wrote.

`run(win32_build, package, state, runs)` returns the rows for scripts/bench.
"""
import argparse
import json
import os
import pathlib
import shutil
import statistics
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


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": len(values)}


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


class Bench:
    """One machine (prefix in tmpfs) in one world serving the package; the timed commands."""

    def __init__(self, build, state, package, work):
        self.build = build
        self.work = work
        self.machine = e2e.Machine(build, state, "bench-install")
        tree = worlds.server_tree(build, work / "www", packages={"Live": package})
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
        # extraction code over a copy of the package inside the prefix.
        self.vmpkg = self.machine.work / "tool" / "vmpkg.exe"
        self.vmpkg.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build / "tools" / "vmpkg" / "vmpkg.exe", self.vmpkg)
        self.package_copy = self.machine.work / "tool" / "package.zip"
        shutil.copyfile(package, self.package_copy)
        self.tool_target = self.machine.work / "tool" / "dest"

    def close(self):
        try:
            self.machine.stop_wine()
        finally:
            self.world.stop()
            self.machine.close()

    def install(self, channel="Live", memory=False):
        """One installation: seconds to the launch record, phase times, and the Sampler (peak
        resident KiB; with `memory`, the buffer's most resident KiB too)."""
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
                if "first" not in marks and first.exists():
                    marks["first"] = now
                if "last" not in marks and last.exists():
                    marks["last"] = now
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

    def extract_alone(self):
        """Seconds for vmpkg.exe to extract the package under the same Wine, start included."""
        shutil.rmtree(self.tool_target, ignore_errors=True)
        self.tool_target.mkdir()
        started = time.perf_counter()
        result = subprocess.run(self.world.prefix + ["wine", str(self.vmpkg), "extract",
                                                     self.machine.windows(self.package_copy),
                                                     self.machine.windows(self.tool_target)],
                                env=self.machine.env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - started
        if result.returncode != 0:
            raise RuntimeError(f"vmpkg.exe extract exited with {result.returncode}")
        return elapsed

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


def run(win32_build, package, state, runs=5):
    """Rows: the installation against Wine's start-up plus curl + unzip, and peak memory."""
    build = pathlib.Path(win32_build).resolve()
    package = pathlib.Path(package).resolve()
    runs = max(runs, 5)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-install-", dir="/dev/shm"))
    bench = Bench(build, pathlib.Path(state), package, work)
    values = {name: [] for name in ("install", "first", "last", "empty", "baseline", "peak",
                                    "empty_peak", "buffer", "small_buffer", "small_peak",
                                    "extract", "unzip")}
    try:
        bench.install()  # the first run warms the page cache, nginx and Wine's DLLs
        steps = ["install", "empty", "baseline", "extract", "memory", "small"]
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
                elif step == "empty":
                    elapsed, peak = bench.wine_start()
                    values["empty"].append(elapsed)
                    values["empty_peak"].append(peak * 1024)
                elif step == "baseline":
                    values["baseline"].append(bench.curl_unzip())
                elif step == "extract":
                    values["extract"].append(bench.extract_alone())
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


def rows(values, package_bytes, small_package_bytes, through_qemu):
    how = "32-bit code through qemu-i386" if through_qemu else "native 32-bit"
    empty = statistics.median(values["empty"])
    beyond = [seconds - empty for seconds in values["install"]]
    phases = ""
    if values["first"] and values["last"]:
        phases = (f"; from the start (medians): first file {statistics.median(values['first']):.2f} s, "
                  f"last file {statistics.median(values['last']):.2f} s, launch record "
                  f"{statistics.median(values['install']):.2f} s")
    result = [
        row("4", "whole installation under Wine (prerequisites present), seconds",
            "VelmoraInstaller.exe, start to the application's launch record, minus Wine's "
            "start-up", "curl + unzip of the same package", "s", beyond, values["baseline"],
            GOAL,
            f"{how}; Wine's start-up (an empty 32-bit program) median {empty:.2f} s "
            f"(min {min(values['empty']):.2f}, max {max(values['empty']):.2f}){phases}"),
        row("4", "the unpack step alone under the same Wine, seconds",
            "vmpkg.exe extract (the installer's extraction code), Wine's start-up included",
            "unzip -o -q of the same package (native)", "s", values["extract"], values["unzip"],
            note=f"{how}; what the installation's extraction phase costs here before any "
                 f"installer logic: Wine's start-up, the emulated inflate and Wine's file "
                 f"creation"),
        row("6", "peak memory of a whole run under Wine, bytes",
            "VelmoraInstaller.exe process, peak resident set", "the empty program's, same Wine",
            "bytes", values["peak"], values["empty_peak"],
            note=f"{how}: the Linux process is qemu-i386 running Wine, whose own code cache and "
                 f"tables are in both; the difference is "
                 f"{statistics.median(values['peak']) - statistics.median(values['empty_peak']):,.0f}"
                 f" bytes"),
    ]
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
    arguments = parser.parse_args()
    state = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-wine-", dir="/dev/shm"))
    try:
        wineenv.setup(state)
        result = run(arguments.win32_build, arguments.package, state, arguments.runs)
    finally:
        wineenv.cleanup(state)
        shutil.rmtree(state, ignore_errors=True)
    print(json.dumps(result, indent=1))
    if arguments.json:
        pathlib.Path(arguments.json).write_text(json.dumps(result, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
