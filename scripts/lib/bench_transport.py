#!/usr/bin/env python3
"""Row 9: the package's download under Wine through the system transport (WinINet), over HTTP
and over HTTPS, against curl on the same machine and against the installer's socket client.

    python3 scripts/lib/bench_transport.py WIN32_BUILD STATE [--runs N]

STATE is a Wine harness state folder already set up (tests/harness/wineenv.py setup). In a
private network (the e2e world: nginx with a throwaway CA's certificate on 80 and 443, that CA
the only one trusted) velmora-fetch.exe of WIN32_BUILD fetches 50,000,000 bytes as the socket
client (port 80), with --system (WinINet, port 80) and with --https (WinINet, port 443), and
curl fetches the same over http:// and https://, alternating, into the prefix. The Wine rows use
the time velmora-fetch measures itself (VELMORA_FETCH_TIMING: connect to closed output file),
since starting Wine dominates its wall time. Prints the rows as JSON; scripts/bench calls run().
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
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tests" / "harness"))
import run as e2e  # noqa: E402
import world as worlds  # noqa: E402

FILE_SIZE = 50_000_000


def spread(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": len(values)}


def row(measure, subject, baseline, subject_values, baseline_values, note=""):
    ratio = subject_values["median"] / baseline_values["median"]
    values = {"row": "9", "measure": measure, "subject": subject, "baseline": baseline,
              "unit": "s", "runs": subject_values["runs"], "ratio": ratio, "goal": None,
              "met": None, "note": note}
    for side, summary in (("subject", subject_values), ("baseline", baseline_values)):
        for key in ("median", "min", "max"):
            values[f"{side}_{key}"] = summary[key]
    return values


def run(win32_build, state, runs=5):
    build = pathlib.Path(win32_build).resolve()
    host = worlds.download_host(build)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-transport-"))
    machine = e2e.Machine(build, pathlib.Path(state).resolve(), "bench-transport")
    try:
        root = work / "www"
        root.mkdir()
        (root / "file").write_bytes(os.urandom(FILE_SIZE))
        made = worlds.servers.certificates(work / "certificates", host)
        with worlds.World(build, "bench-tls", root=root, tls=made["good"],
                          trusted=work / "certificates" / "ca.crt") as world:
            machine.command_prefix = world.prefix
            fetch = machine.work / "velmora-fetch.exe"
            shutil.copyfile(build / "tools" / "velmora-fetch" / "velmora-fetch.exe", fetch)
            output = machine.work / "file"
            target = machine.windows(output)
            subjects = {"socket": [host, "80", "/file", target],
                        "system": ["--system", host, "80", "/file", target],
                        "system-https": ["--https", host, "443", "/file", target]}
            curls = {"curl-http": f"http://{host}/file", "curl-https": f"https://{host}/file"}
            times = {name: [] for name in list(subjects) + list(curls)}

            def fetched(arguments):
                result = machine.wine(fetch, *arguments, extra_env={"VELMORA_FETCH_TIMING": "1"})
                seconds = re.search(r"^seconds: ([0-9.]+)", result.stderr, re.MULTILINE)
                if result.returncode != 0 or not seconds:
                    raise RuntimeError(f"velmora-fetch {arguments}: {result.stderr[-800:]}")
                return float(seconds.group(1))

            fetched(subjects["socket"])  # warm nginx, the page cache and the prefix
            for _ in range(runs):
                for name, arguments in subjects.items():
                    times[name].append(fetched(arguments))
                    output.unlink(missing_ok=True)
                for name, url in curls.items():
                    started = time.perf_counter()
                    subprocess.run(world.prefix + ["curl", "-sf", "-o", str(output), url],
                                   check=True)
                    times[name].append(time.perf_counter() - started)
                    output.unlink(missing_ok=True)
    finally:
        machine.close()
        shutil.rmtree(work, ignore_errors=True)
    measure = f"download {FILE_SIZE:,} bytes under Wine, seconds"
    inside = "velmora-fetch.exe's own time (connect to closed output file); curl's wall time"
    return [
        row(measure, "system transport, http (WinINet)", "curl http://", spread(times["system"]),
            spread(times["curl-http"]), inside),
        row(measure, "system transport, https (WinINet)", "curl https://",
            spread(times["system-https"]), spread(times["curl-https"]), inside),
        row(measure, "system transport, http (WinINet)", "socket client (velmora-fetch.exe)",
            spread(times["system"]), spread(times["socket"]), "both measured inside the process"),
        row(measure, "system transport, https (WinINet)", "socket client (velmora-fetch.exe)",
            spread(times["system-https"]), spread(times["socket"]),
            "both measured inside the process"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("win32_build")
    parser.add_argument("state")
    parser.add_argument("--runs", type=int, default=5)
    arguments = parser.parse_args()
    print(json.dumps(run(arguments.win32_build, arguments.state, max(arguments.runs, 3)),
                     indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
