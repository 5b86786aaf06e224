#!/usr/bin/env python3
"""scripts/bench's driver: every measurement of the installer in one table.

    python3 scripts/lib/bench.py HOST_RELEASE_BUILD WIN32_BUILD [--runs N] [--json FILE]

Prints one Markdown table on stdout and writes the same rows as JSON (default
build/bench/bench.json); progress goes to stderr. Every row compares a subject with a baseline
measured in the same invocation: medians of at least 5 runs that alternate between the
commands compared, with minimum and maximum, and their ratio (subject / baseline). The rows:

 1  download of 50,000,000 bytes from nginx on loopback: velmora-fetch (host) and
    velmora-fetch.exe under Wine (wall time, and the time it measures itself) vs curl
 2  extraction of a ~48 MB package (zip -9): vmpkg extract vs bsdtar -xf and vs unzip -o -q
 3  the same extraction vs inflating and CRC-checking its entries in memory with zlib
 4  a whole installation under Wine vs Wine's start-up plus curl + unzip of the same package;
    the installer's unpack step alone (vmpkg.exe extract) under the same Wine vs unzip; the
    installation's unpack phase and vmpkg.exe vs the floor Wine sets (unpack_floor.c: the same
    files by plain Win32 calls, A without and B with zlib's inflate)
 5  VelmoraInstaller.exe's size vs 80 KB
 6  peak memory: vmpkg extract vs bsdtar; a whole run vs an empty program under the same Wine;
    how much of the 51,000,000-byte download buffer is ever resident
 7  packing row 2's folder: vmpkg pack vs zip -q -r -9
 8  the package signature's check: vmpkg verify of the signed package vs sha256sum of it
 9  the download of 50,000,000 bytes under Wine through the system transport (WinINet) over
    HTTP and HTTPS vs curl, and vs the socket client
10  the field profile: an update of an installed application (staged and switched) vs the
    described installer's update in place, start to exit under Wine
11  the field profile: the package's download without faults (through the retry layer) vs the
    described client's, in the milliseconds each installer logs
12  the field profile's download without faults over the system transport (WinINet) vs the
    system transport's without the retry layer
13  a partial update (velmora-fetch --kept: the package's end and single ranges) of the ~48 MB
    package with about 5 % of its bytes changed vs the whole download, nginx limited to
    10 MB/s: bytes served and seconds
The pieces live in bench_download.py, bench_partial.py, bench_extract.py, bench_install.py, bench_transport.py
and bench_field.py; docs/performance.md
says how each row is measured and what it shows. Goals are reported, never asserted.
"""
import argparse
import json
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "tests" / "harness"))
import bench_download  # noqa: E402
import bench_extract  # noqa: E402
import bench_field  # noqa: E402
import bench_install  # noqa: E402
import bench_partial  # noqa: E402
import bench_transport  # noqa: E402
import wineenv  # noqa: E402

SIZE_GOAL_BYTES = 80 * 1024
OBJDUMP = "i686-w64-mingw32-objdump"
# DLLs that every Windows system has in its system folder: a fully static installer imports
# nothing else (no MinGW runtime, zlib or C++ library DLL).
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
               "shlwapi.dll", "ole32.dll", "oleaut32.dll", "ws2_32.dll", "msvcrt.dll",
               "comctl32.dll", "version.dll"}


def progress(message):
    print(f"[bench] {message}", file=sys.stderr, flush=True)


def row(number, measure, subject, baseline, unit, subject_values, baseline_values, goal=None,
        note=""):
    """One row from two summaries: {"median", "min", "max", "runs"} each."""
    ratio = subject_values["median"] / baseline_values["median"]
    return {"row": number, "measure": measure, "subject": subject, "baseline": baseline,
            "unit": unit, "subject_median": subject_values["median"],
            "subject_min": subject_values["min"], "subject_max": subject_values["max"],
            "baseline_median": baseline_values["median"], "baseline_min": baseline_values["min"],
            "baseline_max": baseline_values["max"], "runs": subject_values["runs"],
            "ratio": ratio, "goal": goal, "met": None if goal is None else ratio <= goal,
            "note": note}


def spread(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": len(values)}


def field_rows(win32_build, state, runs):
    values = bench_field.run(win32_build, state, runs)
    return [row("10", "update of an installed application under Wine", "field profile",
                "described (in place)", "s", spread(values["field"]), spread(values["described"]),
                1.15),
            row("11", "the package's download without faults (logged)", "field profile",
                "described", "ms", spread(values["field_ms"]), spread(values["described_ms"]),
                1.02)] + system_field_rows(win32_build, state, runs)


def system_field_rows(win32_build, state, runs):
    values = bench_field.run(win32_build, state, runs, system=True)
    return [row("12", "the package's download without faults over WinINet (logged)",
                "field profile, system transport", "described, system transport", "ms",
                spread(values["field_ms"]), spread(values["described_ms"]), 1.02)]


# ---------------------------------------------------------------- rows 1-3 and 6 (vmpkg)

def download_rows(host_build, win32_build, runs, wine_runs, state):
    progress("row 1: downloads (host, then under Wine)")
    measured = bench_download.run(host_build, win32_build, runs, wine_runs, wine_state=state)
    labels = {
        "velmora-fetch (host)": ("velmora-fetch (host-release)", 0.8),
        "velmora-fetch.exe under Wine, wall time":
            ("velmora-fetch.exe under Wine: wall time, Wine's start-up included", 1.0),
        "velmora-fetch.exe under Wine, download":
            ("velmora-fetch.exe under Wine: the download alone (in-process: connect to closed "
             "file)", 1.0),
    }
    result = []
    for values in measured:
        subject, goal = labels[values["subject"]]
        result.append(row(
            "1", "download of 50,000,000 bytes from nginx on loopback into tmpfs, seconds",
            subject, "curl -s -o FILE", "s",
            {"median": values["median_s"], "min": values["min_s"], "max": values["max_s"],
             "runs": values["runs"]},
            {"median": values["curl_median_s"], "min": values["curl_min_s"],
             "max": values["curl_max_s"], "runs": values["runs"]},
            goal, values["note"]))
    return result


def extract_rows(host_build, package, runs):
    progress("rows 2 and 3: extraction")
    measured = {values["command"]: values for values in
                bench_extract.run(host_build, runs, package)}

    def side(name):
        values = measured[name]
        return {"median": values["median_s"], "min": values["min_s"], "max": values["max_s"],
                "runs": values["runs"]}

    size = f"{package[0].stat().st_size:,}-byte package, {package[1]:,} bytes unpacked"
    measure = "extraction into tmpfs, seconds"
    return [
        row("2", measure, "vmpkg extract (host-release)", "bsdtar -xf", "s",
            side("vmpkg extract"), side("bsdtar -xf"), 0.9, size),
        row("2", measure, "vmpkg extract (host-release)", "unzip -o -q", "s",
            side("vmpkg extract"), side("unzip -o -q"), 0.6, size),
        row("3", "extraction vs its floor, seconds", "vmpkg extract (host-release)",
            "zlib: inflate and CRC-32 of the same entries in memory, no files", "s",
            side("vmpkg extract"), side("zlib in memory (no disk)"),
            note="how far from the floor: the rest is creating and writing 2,000+ files"),
    ]


def vmpkg_memory_rows(host_build, package, runs):
    progress("row 6: peak memory of the extractions")
    peaks = bench_extract.peak_memory(host_build, package[0], runs)
    vmpkg = spread(peaks["vmpkg extract"])
    note = (f"GNU time's maximum RSS; vmpkg maps the package ({package[0].stat().st_size:,} "
            f"bytes) as the installer holds it in its buffer, the others stream it; "
            f"unzip -o -q: {statistics.median(peaks['unzip -o -q']):,.0f} bytes")
    return [row("6", "peak memory of an extraction, bytes", "vmpkg extract (host-release)",
                "bsdtar -xf", "bytes", vmpkg, spread(peaks["bsdtar -xf"]), note=note)]


def pack_rows(host_build, application, runs):
    progress("row 7: packing")
    measured = bench_extract.pack_times(host_build, runs, application)
    note = (f"{measured['unpacked']:,} bytes unpacked; packages: vmpkg pack "
            f"{measured['bytes']['vmpkg pack']:,} bytes, zip "
            f"{measured['bytes']['zip -q -r -9']:,} bytes; pack also reads its package back "
            f"with the installer's archive code")
    return [row("7", "packing a folder into tmpfs, seconds", "vmpkg pack (host-release)",
                "zip -q -r -9", "s", spread(measured["vmpkg pack"]),
                spread(measured["zip -q -r -9"]), 1.0, note)]


# ---------------------------------------------------------------- row 5

def size_row(win32_build):
    progress("row 5: the installer's size")
    exe = pathlib.Path(win32_build) / "ui" / "VelmoraInstaller.exe"
    size = exe.stat().st_size
    headers = subprocess.run([OBJDUMP, "-h", str(exe)], capture_output=True, text=True,
                             check=True).stdout
    sections = []
    for line in headers.splitlines():
        fields = line.split()
        if len(fields) >= 7 and fields[0].isdigit():
            sections.append((fields[1], int(fields[2], 16)))
    imports = re.findall(r"DLL Name: (\S+)", subprocess.run(
        [OBJDUMP, "-p", str(exe)], capture_output=True, text=True, check=True).stdout)
    foreign = [name for name in imports if name.lower() not in SYSTEM_DLLS]
    static = "fully static" if not foreign else "imports non-system DLLs: " + ", ".join(foreign)
    layout = ", ".join(f"{name} {length:,}" for name, length in sections)
    single = {"median": size, "min": size, "max": size, "runs": 1}
    goal = {"median": SIZE_GOAL_BYTES, "min": SIZE_GOAL_BYTES, "max": SIZE_GOAL_BYTES,
            "runs": 1}
    result = row("5", "VelmoraInstaller.exe size, bytes", "VelmoraInstaller.exe (win32 preset)",
                 "80 KB (81,920 bytes)", "bytes", single, goal, 1.0,
                 f"{static} ({', '.join(imports)}); sections (bytes before file alignment): "
                 f"{layout}")
    result["sections"] = dict(sections)
    result["imports"] = imports
    return result


# ---------------------------------------------------------------- row 8

def verify_rows(host_build, package, runs):
    """vmpkg verify of the package signed with a fresh RSA-3072 key vs sha256sum of the same
    file, both in tmpfs: the hash is the floor, the RSA check itself takes well under 1 ms."""
    progress("row 8: the package signature's check")
    vmpkg = pathlib.Path(host_build) / "tools" / "vmpkg" / "vmpkg"
    work = package[0].parent / "signature"
    work.mkdir(exist_ok=True)
    key, public, signed = work / "key.pem", work / "key.pub.pem", work / "signed.vmpkg"
    subprocess.run(["openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                    "rsa_keygen_bits:3072", "-out", str(key)], check=True)
    subprocess.run(["openssl", "pkey", "-in", str(key), "-pubout", "-out", str(public)],
                   check=True)
    subprocess.run([str(vmpkg), "sign", str(key), str(package[0]), str(signed)], check=True,
                   stdout=subprocess.DEVNULL)
    commands = {"verify": [str(vmpkg), "verify", str(public), str(signed)],
                "sha256sum": ["sha256sum", str(signed)]}
    times = {name: [] for name in commands}
    for _ in range(runs):
        for name, command in commands.items():
            started = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            times[name].append(time.perf_counter() - started)
    return [row("8", "signature check of the whole package, seconds",
                "vmpkg verify (host-release)", "sha256sum FILE", "s", spread(times["verify"]),
                spread(times["sha256sum"]), 1.2,
                f"{signed.stat().st_size:,}-byte package signed with RSA-3072, in tmpfs")]


# ---------------------------------------------------------------- the table

def number(value, unit):
    if unit == "bytes":
        return f"{value:,.0f}"
    return f"{value:.3f}"


def markdown(rows):
    lines = ["| # | Measure | Subject | Baseline | Subject median (min-max) | "
             "Baseline median (min-max) | Runs | Ratio | Goal |",
             "|---|---|---|---|---|---|---|---|---|"]
    for values in rows:
        unit = values["unit"]

        def cell(side):
            median, low, high = (values[f"{side}_{key}"] for key in ("median", "min", "max"))
            if low == high:
                return number(median, unit)
            return f"{number(median, unit)} ({number(low, unit)}-{number(high, unit)})"

        goal = "report"
        if values["goal"] is not None:
            goal = f"<= {values['goal']}: {'met' if values['met'] else 'MISSED'}"
        lines.append(f"| {values['row']} | {values['measure']} | {values['subject']} | "
                     f"{values['baseline']} | {cell('subject')} | {cell('baseline')} | "
                     f"{values['runs']} | {values['ratio']:.3f} | {goal} |")
    notes = [f"- {values['row']}, {values['subject']}: {values['note']}" for values in rows
             if values.get("note")]
    return "\n".join(lines + ["", "Notes:"] + notes)


def partial_rows(host_build, runs):
    values = bench_partial.run(host_build, runs)
    note = (f"{values['share'] * 100:.1f} % of the {values['package']:,}-byte package changed; "
            "nginx limit_rate 10m")
    return [row("13", "partial update: bytes served", "velmora-fetch --kept",
                "velmora-fetch (whole)", "bytes", spread(values["partial"]["bytes"]),
                spread(values["whole"]["bytes"]), goal=0.15, note=note),
            row("13", "partial update: seconds", "velmora-fetch --kept", "velmora-fetch (whole)",
                "s", spread(values["partial"]["seconds"]), spread(values["whole"]["seconds"]),
                goal=0.3, note=note + " (lets each response's first 10 MB through unlimited)")]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("host_build", help="the host-release preset's build folder")
    parser.add_argument("win32_build", help="the win32 preset's build folder")
    parser.add_argument("--runs", type=int, default=9, help="host runs per command (>= 5)")
    parser.add_argument("--wine-runs", type=int, default=5, help="runs under Wine (>= 5)")
    parser.add_argument("--json", default=str(ROOT / "build" / "bench" / "bench.json"))
    arguments = parser.parse_args()
    runs, wine_runs = max(arguments.runs, 5), max(arguments.wine_runs, 5)
    host_build = pathlib.Path(arguments.host_build).resolve()
    win32_build = pathlib.Path(arguments.win32_build).resolve()

    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-", dir="/dev/shm"))
    state = work / "wine"
    rows = []
    try:
        progress("making the ~48 MB package (zip -9)")
        package = bench_extract.make_package(
            work, win32_build / "tests" / "fixtures" / "standin-app-v5.exe")
        progress("preparing Wine (a template prefix in tmpfs and a virtual display)")
        wineenv.setup(state)
        rows += download_rows(host_build, win32_build, runs, wine_runs, state)
        rows += extract_rows(host_build, package, runs)
        rows += pack_rows(host_build, win32_build / "tests" / "fixtures" / "standin-app-v5.exe",
                          runs)
        progress("row 4: whole installations under Wine (and row 6: their memory)")
        installation = bench_install.run(win32_build, package[0], state, wine_runs,
                                         host_build=host_build)
        rows += [values for values in installation if values["row"] == "4"]
        rows.append(size_row(win32_build))
        rows += vmpkg_memory_rows(host_build, package, runs)
        rows += verify_rows(host_build, package, runs)
        rows += [values for values in installation if values["row"] == "6"]
        progress("row 9: downloads through the system transport under Wine")
        rows += bench_transport.run(win32_build, state, wine_runs)
        progress("rows 10 and 11: the field profile's update and download under Wine")
        rows += field_rows(win32_build, state, wine_runs)
        progress("row 13: a partial update against the whole download at 10 MB/s")
        rows += partial_rows(host_build, runs)
    finally:
        wineenv.cleanup(state)
        shutil.rmtree(work, ignore_errors=True)

    print(markdown(rows))
    target = pathlib.Path(arguments.json)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(rows, indent=1) + "\n")
    progress(f"rows written to {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
