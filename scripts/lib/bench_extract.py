#!/usr/bin/env python3
"""Benchmark: `vmpkg extract` against bsdtar and Info-ZIP unzip, and against zlib alone.

    python3 scripts/lib/bench_extract.py BUILD_DIR [--runs N] [--json PATH]
    python3 scripts/lib/bench_extract.py BUILD_DIR --pack [--runs N]   vmpkg pack vs zip -9

Builds a package of about 48 MB unpacked (text, random binary, 2,000 small files; zip -9) in
tmpfs (/dev/shm), then times, alternating the commands within each round, the extraction by
`BUILD_DIR/tools/vmpkg/vmpkg extract`, `bsdtar -xf` and `unzip -o -q` into tmpfs, and the same
entries inflated and CRC-checked in memory by zlib with no disk at all (a small C++ helper built
here). Prints a Markdown table of medians and writes the rows as JSON.

Goals: vmpkg at most 0.9x bsdtar and at most 0.6x unzip. `run(build_dir)` returns the rows for
scripts/bench. On a sanitizer build, vmpkg runs with ASan's allocator quarantine off (see
run()); a row with the ASan defaults is measured too. The host preset is a Debug build with
ASan and UBSan; to time the optimized code, pass a release build of the same sources:
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE=OFF \
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ && cmake --build build/bench \
          --target vmpkg
"""
import json
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GOALS = {"bsdtar -xf": 0.9, "unzip -o -q": 0.6}

# Inflates and CRC-checks every entry of a ZIP file in memory, 16 KiB at a time, the file
# mapped as vmpkg maps it: the floor for any extractor using zlib with vmpkg's pieces. Central
# directory walk only; no stubs, no ZIP64.
ZLIB_FLOOR = r"""
#include <zlib.h>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
static uint32_t u16(const uint8_t* p) { return p[0] | p[1] << 8; }
static uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }
int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int file = open(argv[1], O_RDONLY);
  struct stat info;
  fstat(file, &info);
  const uint8_t* zip = static_cast<const uint8_t*>(
      mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0));
  size_t end = info.st_size - 22;
  while (u32(&zip[end]) != 0x06054B50) --end;
  uint32_t count = u16(&zip[end + 10]), at = u32(&zip[end + 16]);
  static uint8_t out[16384];
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* h = &zip[at];
    uint32_t method = u16(h + 10), crc = u32(h + 16), csize = u32(h + 20);
    const uint8_t* local = &zip[u32(h + 42)];
    const uint8_t* data = local + 30 + u16(local + 26) + u16(local + 28);
    uLong c = crc32(0, nullptr, 0);
    if (method == 0) {
      for (uint32_t done = 0; done < csize; done += sizeof out) {
        uint32_t n = csize - done < sizeof out ? csize - done : sizeof out;
        std::memcpy(out, data + done, n);
        c = crc32(c, out, n);
      }
    } else {
      z_stream z{};
      inflateInit2(&z, -15);
      z.next_in = const_cast<uint8_t*>(data);
      z.avail_in = csize;
      int r;
      do {
        z.next_out = out;
        z.avail_out = sizeof out;
        r = inflate(&z, Z_NO_FLUSH);
        c = crc32(c, out, sizeof out - z.avail_out);
      } while (r == Z_OK);
      inflateEnd(&z);
    }
    if (c != crc) { std::fprintf(stderr, "crc mismatch at entry %u\n", i); return 1; }
    at += 46 + u16(h + 28) + u16(h + 30) + u16(h + 32);
  }
  return 0;
}
"""


def make_package(work, application=None):
    """About 48 MB unpacked: 22 MB of text, 18 MB of random binary, 2,000 files of 4 KB, and
    app/Velmora.exe: 500,000 random bytes, or the program `application` (a path) when given,
    so that the installer can launch what it unpacked. Returns the package and the unpacked
    size."""
    app, unpacked = make_folder(work, application)
    subprocess.run(["zip", "-q", "-9", "-r", "package.zip", "app"], cwd=work, check=True)
    shutil.rmtree(app)
    return work / "package.zip", unpacked


def make_folder(work, application=None):
    """The package's folder work/app (see make_package); returns it and its size in bytes."""
    rng = random.Random(5)
    app = work / "app"
    (app / "text").mkdir(parents=True)
    (app / "bin").mkdir()
    (app / "small").mkdir()
    words = ["velmora", "install", "package", "window", "thread", "archive", "entry", "folder",
             "stream", "buffer", "result", "the", "of", "and", "to", "a", "is", "for"]
    for index in range(11):
        lines = []
        size = 0
        while size < 2_000_000:
            line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + "\n"
            lines.append(line)
            size += len(line)
        (app / "text" / f"doc{index:02d}.txt").write_text("".join(lines))
    for index in range(6):
        (app / "bin" / f"blob{index}.bin").write_bytes(rng.randbytes(3_000_000))
    for index in range(2000):
        half = rng.randbytes(2048)
        text = (" ".join(rng.choice(words) for _ in range(400)))[:2048].encode()
        (app / "small" / f"f{index:04d}.dat").write_bytes(text + half)
    program = rng.randbytes(500_000)
    if application is not None:
        program = pathlib.Path(application).read_bytes()
    (app / "Velmora.exe").write_bytes(program)
    unpacked = sum(path.stat().st_size for path in app.rglob("*") if path.is_file())
    return app, unpacked


def pack_times(build_dir, runs=7, application=None):
    """`vmpkg pack` of the row-2 folder against `zip -q -r -9` of it, into tmpfs, alternating:
    {command: [seconds]}, plus "bytes": {command: package size}. Without `application`,
    app/Velmora.exe is a tiny version-5 image followed by the same random bytes (pack refuses
    a Velmora.exe without major version 5)."""
    vmpkg = pathlib.Path(build_dir).resolve() / "tools" / "vmpkg" / "vmpkg"
    shm = pathlib.Path("/dev/shm") if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(prefix="velmora-bench-", dir=shm) as folder:
        work = pathlib.Path(folder)
        app, unpacked = make_folder(work, application)
        if application is None:
            sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" /
                                   "archive"))
            import tiny_pe  # noqa: E402
            program = app / "Velmora.exe"
            program.write_bytes(tiny_pe.version_image((5, 0, 0, 0)) + program.read_bytes())
        outputs = {"vmpkg pack": work / "out.vmpkg", "zip -q -r -9": work / "out.zip"}
        commands = {"vmpkg pack": [str(vmpkg), "pack", "app", str(outputs["vmpkg pack"])],
                    "zip -q -r -9": ["zip", "-q", "-r", "-9", str(outputs["zip -q -r -9"]),
                                     "app"]}
        times = {name: [] for name in commands}
        names = list(commands)
        for round_index in range(max(runs, 5)):
            for name in names[round_index % 2:] + names[:round_index % 2]:
                outputs[name].unlink(missing_ok=True)  # zip would add to an old archive
                started = time.perf_counter()
                subprocess.run(commands[name], cwd=work, check=True, stdout=subprocess.DEVNULL)
                times[name].append(time.perf_counter() - started)
        times["bytes"] = {name: outputs[name].stat().st_size for name in names}
        times["unpacked"] = unpacked
        return times


def build_floor(work):
    source = work / "zlib_floor.cpp"
    source.write_text(ZLIB_FLOOR)
    binary = work / "zlib_floor"
    subprocess.run(["c++", "-O2", str(source), "-o", str(binary), "-lz"], check=True)
    return binary


def timed(command, dest):
    if dest is not None:
        shutil.rmtree(dest, ignore_errors=True)
        dest.mkdir()
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def sanitized(build_dir):
    cache = pathlib.Path(build_dir) / "CMakeCache.txt"
    return cache.exists() and "VELMORA_SANITIZE:BOOL=ON" in cache.read_text()


def run(build_dir, runs=7, package=None):
    """Times every command `runs` times, alternating; returns one row dict per command.
    `package`: (path, unpacked bytes) of a package made by make_package, instead of a new one."""
    vmpkg = pathlib.Path(build_dir).resolve() / "tools" / "vmpkg" / "vmpkg"
    if not vmpkg.exists():
        raise SystemExit(f"no vmpkg at {vmpkg}: build the host preset first")
    shm = pathlib.Path("/dev/shm") if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(prefix="velmora-bench-", dir=shm) as folder:
        work = pathlib.Path(folder)
        package, unpacked = package or make_package(work)
        floor = build_floor(work)
        dest = work / "dest"
        extract = [str(vmpkg), "extract", str(package), str(dest)]
        commands = {
            "vmpkg extract": (extract, dest),
            "vmpkg extract, ASan defaults": (["env", "ASAN_OPTIONS=detect_leaks=0"] + extract,
                                             dest),  # dropped below on a build without ASan
            "bsdtar -xf": (["bsdtar", "-xf", str(package), "-C", str(dest)], dest),
            "unzip -o -q": (["unzip", "-o", "-q", str(package), "-d", str(dest)], dest),
            "zlib in memory (no disk)": ([str(floor), str(package)], None),
        }
        # The host build carries AddressSanitizer. Its allocator quarantine hands out fresh
        # memory for every allocation, so zlib's per-entry inflate state and window (about
        # 40 KB, taken by inflateInit2 and freed by inflateEnd for each of the 2,000 entries)
        # become page faults that a normal allocator recycles; that alone doubled the time.
        # The quarantine is turned off for the main row; the "ASan defaults" row keeps it.
        os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=0:quarantine_size_mb=0")
        if not sanitized(build_dir):
            del commands["vmpkg extract, ASan defaults"]
        times = {name: [] for name in commands}
        names = list(commands)
        for round_index in range(runs):
            order = names[round_index % len(names):] + names[:round_index % len(names)]
            for name in order:
                command, target = commands[name]
                times[name].append(timed(command, target))
        shutil.rmtree(dest, ignore_errors=True)
        base = statistics.median(times["vmpkg extract"])
        rows = []
        for name in names:
            median = statistics.median(times[name])
            row = {
                "command": name,
                "median_s": round(median, 4),
                "min_s": round(min(times[name]), 4),
                "max_s": round(max(times[name]), 4),
                "runs": runs,
                "vmpkg_over_this": round(base / median, 3),
                "package_bytes": package.stat().st_size,
                "unpacked_bytes": unpacked,
            }
            if name in GOALS:
                row["goal"] = GOALS[name]
                row["met"] = row["vmpkg_over_this"] <= GOALS[name]
            rows.append(row)
        return rows


def peak_memory(build_dir, package, runs=5):
    """Peak resident set (GNU time's maximum RSS, bytes) of `vmpkg extract`, `bsdtar -xf` and
    `unzip -o -q` of `package` into tmpfs, each `runs` times, alternating: {command: [bytes]}.
    vmpkg maps the package read-only, so its peak holds every page of the package it read."""
    vmpkg = pathlib.Path(build_dir).resolve() / "tools" / "vmpkg" / "vmpkg"
    shm = pathlib.Path("/dev/shm") if pathlib.Path("/dev/shm").is_dir() else None
    with tempfile.TemporaryDirectory(prefix="velmora-bench-", dir=shm) as folder:
        dest, report = pathlib.Path(folder) / "dest", pathlib.Path(folder) / "time"
        commands = {
            "vmpkg extract": [str(vmpkg), "extract", str(package), str(dest)],
            "bsdtar -xf": ["bsdtar", "-xf", str(package), "-C", str(dest)],
            "unzip -o -q": ["unzip", "-o", "-q", str(package), "-d", str(dest)],
        }
        peaks = {name: [] for name in commands}
        names = list(commands)
        for round_index in range(max(runs, 5)):
            for name in names[round_index % 3:] + names[:round_index % 3]:
                shutil.rmtree(dest, ignore_errors=True)
                dest.mkdir()
                subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report)] + commands[name],
                               check=True, stdout=subprocess.DEVNULL)
                peaks[name].append(int(report.read_text().split()[-1]) * 1024)
        return peaks


def markdown(rows):
    lines = ["| command | median (s) | min (s) | max (s) | vmpkg / this | goal |",
             "|---|---:|---:|---:|---:|---|"]
    for row in rows:
        goal = ""
        if "goal" in row:
            goal = f"<= {row['goal']}x: {'met' if row['met'] else 'MISSED'}"
        lines.append(f"| {row['command']} | {row['median_s']:.3f} | {row['min_s']:.3f} | "
                     f"{row['max_s']:.3f} | {row['vmpkg_over_this']:.2f} | {goal} |")
    first = rows[0]
    lines.append("")
    lines.append(f"Package {first['package_bytes']:,} bytes, {first['unpacked_bytes']:,} bytes "
                 f"unpacked, median of {first['runs']} alternating runs into tmpfs. "
                 f"ASAN_OPTIONS={os.environ.get('ASAN_OPTIONS', '')} for vmpkg unless the row "
                 f"says ASan defaults.")
    return "\n".join(lines)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build_dir = pathlib.Path(argv[1])
    runs = int(argv[argv.index("--runs") + 1]) if "--runs" in argv else 7
    if "--pack" in argv:
        measured = pack_times(build_dir, runs)
        for name in ("vmpkg pack", "zip -q -r -9"):
            print(f"{name}: median {statistics.median(measured[name]):.3f} s "
                  f"(min {min(measured[name]):.3f}, max {max(measured[name]):.3f}), "
                  f"{measured['bytes'][name]:,} bytes")
        ratio = statistics.median(measured["vmpkg pack"]) / statistics.median(
            measured["zip -q -r -9"])
        print(f"ratio {ratio:.3f} (goal <= 1.0)")
        return 0
    output = pathlib.Path(argv[argv.index("--json") + 1]) if "--json" in argv else \
        build_dir / "bench" / "extract.json"
    rows = run(build_dir, runs)
    print(markdown(rows))
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(json.dumps(rows, indent=1) + "\n")
    print(f"\nrows written to {output}")
    return 0 if all(row.get("met", True) for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
