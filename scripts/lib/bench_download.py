#!/usr/bin/env python3
"""Download benchmark: 50,000,000 bytes from nginx on the loopback into the download buffer.

    python3 scripts/lib/bench_download.py HOST_BUILD_DIR [WIN32_BUILD_DIR] [--runs N] [--json FILE]

Times velmora-fetch of HOST_BUILD_DIR against `curl -s -o FILE`, both writing into tmpfs
(/dev/shm), alternating the two, and reports the median, minimum and maximum of N runs (at
least 5; 9 by default). Goal: the host build takes at most 0.8x curl's time. Use an optimised
build without sanitizers (`cmake --preset host-release`): the host preset's AddressSanitizer
start-up and leak check at exit alone cost more than curl's whole download.

With WIN32_BUILD_DIR the Windows build's velmora-fetch.exe runs under Wine (its own harness
state folder, WIN32_BUILD_DIR/wine-bench) against the same curl. Its wall time is mostly Wine
starting, so the time velmora-fetch measures itself (VELMORA_FETCH_TIMING: from connecting to
the closed output file) is given as well.

Prints a Markdown table and writes the rows as JSON (default HOST_BUILD_DIR/bench_download.json).
scripts/bench calls run(host_build, win32_build) for the rows.
"""
import argparse
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
import servers  # noqa: E402

WINEENV = ROOT / "tests" / "harness" / "wineenv.py"
FILE_SIZE = 50_000_000
GOAL = 0.8


def timed(command, env=None):
    """Wall time of the command, and the "seconds:" velmora-fetch reports (None without)."""
    started = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    elapsed = time.perf_counter() - started
    report = result.stderr.decode(errors="replace")
    if result.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({result.returncode}): {report.strip()}")
    inside = re.search(r"^seconds: ([0-9.]+)", report, re.MULTILINE)
    return elapsed, float(inside.group(1)) if inside else None


def summary(times):
    return {"median_s": round(statistics.median(times), 4), "min_s": round(min(times), 4),
            "max_s": round(max(times), 4), "runs": len(times)}


def compare(subject_command, curl_command, output, runs):
    """Alternates the two commands. Returns the subject's wall and reported times and curl's."""
    subject_times, inside_times, curl_times = [], [], []
    environment = dict(os.environ, VELMORA_FETCH_TIMING="1")
    for _ in range(runs):
        elapsed, inside = timed(subject_command, environment)
        subject_times.append(elapsed)
        inside_times.append(inside)
        output.unlink(missing_ok=True)
        curl_times.append(timed(curl_command)[0])
        output.unlink(missing_ok=True)
    return subject_times, inside_times, curl_times


def row(subject, times, curl_times, goal=None, note=""):
    values = {"benchmark": f"download {FILE_SIZE:,} bytes from nginx on loopback",
              "subject": subject, **summary(times),
              "curl_median_s": round(statistics.median(curl_times), 4),
              "curl_min_s": round(min(curl_times), 4), "curl_max_s": round(max(curl_times), 4),
              "ratio": round(statistics.median(times) / statistics.median(curl_times), 3),
              "goal": goal, "note": note}
    values["met"] = None if goal is None else values["ratio"] <= goal
    return values


def build_note(build):
    cache = pathlib.Path(build) / "CMakeCache.txt"
    text = cache.read_text() if cache.exists() else ""
    notes = []
    if "VELMORA_SANITIZE:BOOL=ON" in text:
        notes.append("sanitizer build")
    for line in text.splitlines():
        if line.startswith("CMAKE_BUILD_TYPE:"):
            notes.append(line.split("=", 1)[1] or "no build type")
    return ", ".join(notes)


def run(host_build, win32_build=None, runs=9, wine_runs=5, wine_state=None):
    """The benchmark's rows (see row()); each one compares a subject with curl in the same run.
    `wine_state`: a Wine harness state folder already set up (left as it is), instead of one
    made and removed here."""
    host_fetch = pathlib.Path(host_build).resolve() / "tools" / "velmora-fetch" / "velmora-fetch"
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-", dir="/dev/shm"))
    rows = []
    try:
        root = scratch / "root"
        root.mkdir()
        (root / "file").write_bytes(os.urandom(FILE_SIZE))
        output = scratch / "output"
        with servers.Nginx(root) as nginx:
            url = f"http://127.0.0.1:{nginx.port}/file"
            curl = ["curl", "-s", "-o", str(output), url]
            fetch = [str(host_fetch), "127.0.0.1", str(nginx.port), "/file", str(output)]
            timed(fetch)  # warm the page cache and nginx
            host_times, _, curl_times = compare(fetch, curl, output, max(runs, 5))
            rows.append(row("velmora-fetch (host)", host_times, curl_times, GOAL,
                            build_note(host_build)))
            if win32_build:
                rows += run_wine(pathlib.Path(win32_build).resolve(), nginx.port, curl, output,
                                 max(wine_runs, 5), wine_state)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return rows


def run_wine(win32_build, port, curl, output, runs, given_state=None):
    exe = win32_build / "tools" / "velmora-fetch" / "velmora-fetch.exe"
    state = pathlib.Path(given_state) if given_state else win32_build / "wine-bench"
    if not given_state:
        subprocess.run([sys.executable, str(WINEENV), "setup", str(state)], check=True,
                       stdout=subprocess.DEVNULL)
    try:
        fetch = [sys.executable, str(WINEENV), "run", str(state), "bench", str(exe), "127.0.0.1",
                 str(port), "/file", "Z:" + str(output).replace("/", "\\")]
        timed(fetch)  # the first start makes the prefix
        wall_times, inside_times, curl_times = compare(fetch, curl, output, runs)
    finally:
        if not given_state:
            subprocess.run([sys.executable, str(WINEENV), "cleanup", str(state)],
                           stdout=subprocess.DEVNULL)
    how = "qemu-i386" if emulated(state) else "native 32-bit"
    return [
        row("velmora-fetch.exe under Wine, wall time", wall_times, curl_times,
            note=f"includes starting Wine ({how})"),
        row("velmora-fetch.exe under Wine, download", inside_times, curl_times,
            note="measured inside the process: connect to closed output file"),
    ]


def emulated(state):
    values = state / "state.json"
    return values.exists() and json.loads(values.read_text()).get("emulated", False)


def markdown(rows):
    lines = ["| Subject | Median s | Min s | Max s | Runs | curl median s | Ratio | Goal | Note |",
             "|---|---|---|---|---|---|---|---|---|"]
    for values in rows:
        goal = "-" if values["goal"] is None else \
            f"<= {values['goal']}x: {'met' if values['met'] else 'MISSED'}"
        lines.append(f"| {values['subject']} | {values['median_s']:.3f} | {values['min_s']:.3f} | "
                     f"{values['max_s']:.3f} | {values['runs']} | {values['curl_median_s']:.3f} | "
                     f"{values['ratio']:.2f}x | {goal} | {values['note']} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("host_build")
    parser.add_argument("win32_build", nargs="?")
    parser.add_argument("--runs", type=int, default=9, help="host runs per command (at least 5)")
    parser.add_argument("--wine-runs", type=int, default=5, help="Wine runs (at least 5)")
    parser.add_argument("--json", help="where to write the rows")
    arguments = parser.parse_args()
    rows = run(arguments.host_build, arguments.win32_build, arguments.runs, arguments.wine_runs)
    print(markdown(rows))
    target = pathlib.Path(arguments.json or
                          pathlib.Path(arguments.host_build) / "bench_download.json")
    target.write_text(json.dumps(rows, indent=1) + "\n")
    print(f"\nrows written to {target}")
    return 0 if all(values["met"] is not False for values in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
