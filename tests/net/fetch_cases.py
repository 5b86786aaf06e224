#!/usr/bin/env python3
"""velmora-fetch over real sockets: nginx and the scripted server of tests/harness/servers.py.

    fetch_cases.py FETCH                   the host build's velmora-fetch
    fetch_cases.py FETCH.exe --wine STATE  the Windows build's, under Wine (harness state folder)

Loopback TCP splits and joins pieces as it likes, so only what cannot depend on chunking is
checked: the exit code, the bytes written, contentLength, and that the positions rise to 100
(or that none are set when the length is unknown). Exact sequences are the unit tests' job.
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
import servers  # noqa: E402

WINEENV = HERE.parent / "harness" / "wineenv.py"

# Files nginx serves: decimal sizes (50 MiB would not fit the 51,000,000-byte buffer).
FILES = {"empty": 0, "five": 5, "million": 1_000_000, "fifty-million": 50_000_000}

# name, server ("nginx", "scripted" or "refused"), host, path, expected outcome:
# the body (bytes, or the name of an nginx file) and contentLength, or None for a failure.
CASES = [
    ("nginx: empty file", "nginx", "127.0.0.1", "/empty", ("empty", 0)),
    ("nginx: 5 bytes", "nginx", "127.0.0.1", "/five", ("five", 5)),
    ("nginx: 1,000,000 bytes", "nginx", "127.0.0.1", "/million", ("million", 1_000_000)),
    ("nginx: 50,000,000 bytes", "nginx", "127.0.0.1", "/fifty-million",
     ("fifty-million", 50_000_000)),
    ("nginx: by host name", "nginx", "localhost", "/five", ("five", 5)),
    ("nginx: missing file (404)", "nginx", "127.0.0.1", "/missing", None),
    ("host name that does not resolve", "nginx", "no-such-host.invalid", "/five", None),
    ("connection refused", "refused", "127.0.0.1", "/hello", None),
    ("hello", "scripted", "127.0.0.1", "/hello", (b"hello", 5)),
    ("head split over pauses", "scripted", "127.0.0.1", "/split-head", (b"hello, world", 12)),
    ("stall mid-body", "scripted", "127.0.0.1", "/stall",
     (servers.pattern(1000) + servers.pattern(1000, 3), 2000)),
    ("no length field", "scripted", "127.0.0.1", "/no-length", (servers.pattern(100_000), -1)),
    ("closed without a byte", "scripted", "127.0.0.1", "/silent", None),
    ("truncated body", "scripted", "127.0.0.1", "/truncated", None),
    ("reset mid-body", "scripted", "127.0.0.1", "/reset", None),
    ("scripted 404", "scripted", "127.0.0.1", "/not-found", None),
    ("status line not HTTP", "scripted", "127.0.0.1", "/not-http", None),
    ("garbage without a blank line", "scripted", "127.0.0.1", "/garbage", None),
    ("head that never ends", "scripted", "127.0.0.1", "/endless-head", None),
    ("response larger than the buffer", "scripted", "127.0.0.1", "/too-large", None),
]


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def fetch(tool, wine_state, host, port, path, output):
    """Runs velmora-fetch; returns (exit code, contentLength or None, positions or None)."""
    if wine_state:
        command = [sys.executable, str(WINEENV), "run", wine_state, "fetch", tool, host,
                   str(port), path, windows_path(output)]
    else:
        command = [tool, host, str(port), path, str(output)]
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            timeout=300)
    report = result.stderr.decode(errors="replace")
    length = re.search(r"^contentLength: (-?\d+)\r?$", report, re.MULTILINE)
    positions = re.search(r"^positions:([ \d]*)\r?$", report, re.MULTILINE)
    return (result.returncode, int(length.group(1)) if length else None,
            [int(value) for value in positions.group(1).split()] if positions else None,
            report)


def check(case, outcome, root, output):
    """The reasons the outcome is wrong (empty when it is right)."""
    name, _, _, _, expected = case
    code, length, positions, report = outcome
    if expected is None:
        if code != 1 or "download failed" not in report:
            return [f"expected a failed download, got exit {code}: {report.strip()!r}"]
        if output.exists():
            return ["a failed download wrote the output file"]
        return []
    body, expected_length = expected
    if isinstance(body, str):
        body = (root / body).read_bytes()
    problems = []
    if code != 0:
        return [f"exit {code}: {report.strip()!r}"]
    if length != expected_length:
        problems.append(f"contentLength {length}, expected {expected_length}")
    written = output.read_bytes() if output.exists() else None
    if written != body:
        problems.append(f"output of {None if written is None else len(written)} bytes differs "
                        f"from the {len(body)} expected")
    if positions is None:
        problems.append("no positions line")
    elif expected_length == -1:
        if positions:
            problems.append(f"positions set without a length: {positions[:10]}")
    elif not positions or positions[-1] != 100 or positions != sorted(positions) or \
            positions[0] < 0:
        problems.append(f"positions do not rise to 100: {positions[:10]}...{positions[-3:]}")
    return problems


def make_files(root):
    for name, size in FILES.items():
        (root / name).write_bytes(os.urandom(size))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("fetch", help="velmora-fetch of the build to test")
    parser.add_argument("--wine", metavar="STATE", help="run the Windows build under Wine")
    arguments = parser.parse_args()

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="velmora-fetch-",
                                            dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    failures = 0
    try:
        root = scratch / "root"
        root.mkdir()
        make_files(root)
        with servers.Nginx(root) as nginx, servers.ScriptedServer() as scripted:
            ports = {"nginx": nginx.port, "scripted": scripted.port,
                     "refused": scripted.refused_port}
            for number, case in enumerate(CASES):
                name, server, host, path, _ = case
                output = scratch / f"output-{number}"
                started = time.monotonic()
                outcome = fetch(arguments.fetch, arguments.wine, host, ports[server], path, output)
                elapsed = time.monotonic() - started
                problems = check(case, outcome, root, output)
                if server == "scripted" and path == "/hello":
                    expected = ("GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\nCache-Control: "
                                "no-cache\r\nConnection: close\r\n\r\n").encode()
                    if scripted.requests[-1:] != [expected]:
                        problems.append(f"request was {scripted.requests[-1:]!r}")
                print(f"{'ok  ' if not problems else 'FAIL'} {name} ({elapsed:.1f} s)", flush=True)
                for problem in problems:
                    print(f"     {problem}", flush=True)
                failures += bool(problems)
                if output.exists():
                    output.unlink()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{len(CASES) - failures} of {len(CASES)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
