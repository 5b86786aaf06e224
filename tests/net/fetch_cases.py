#!/usr/bin/env python3
"""velmora-fetch over real sockets: nginx and the scripted server of tests/harness/servers.py.

    fetch_cases.py FETCH --vmpkg VMPKG     the host build's velmora-fetch (and vmpkg, which
                                           packs and signs the packages `check` is served)
    fetch_cases.py FETCH.exe --wine STATE  the Windows build's, under Wine (harness state folder)

Loopback TCP splits and joins pieces as it likes, so only what cannot depend on chunking is
checked: the exit code, the bytes written, contentLength, and that the positions rise to 100
(or that none are set when the length is unknown). Exact sequences are the unit tests' job.

`velmora-fetch check` runs against a good tree served by nginx (packages made by `vmpkg pack
--sign` on the host, checked with --key; made by Python's zipfile under Wine, where --key must
be refused) and against the scripted server answering each path its own way (CHECK_CASES); on
the host build also at the URL of a real S3-compatible store (s3rver) holding the same tree.
"""
import argparse
import contextlib
import os
import zipfile
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
sys.path.insert(0, str(HERE.parent / "archive"))
import servers  # noqa: E402
import tiny_pe  # noqa: E402

WINEENV = HERE.parent / "harness" / "wineenv.py"

# Files nginx serves: decimal sizes (50 MiB would not fit the 51,000,000-byte buffer).
FILES = {"empty": 0, "five": 5, "million": 1_000_000, "fifty-million": 50_000_000}

# name, server ("nginx", "scripted" or "refused"), host, path, expected outcome:
# the body (bytes, or the name of an nginx file) and contentLength, None for a failure, or the
# failure's reason as velmora-fetch names it.
CASES = [
    ("nginx: empty file", "nginx", "127.0.0.1", "/empty", ("empty", 0)),
    ("nginx: 5 bytes", "nginx", "127.0.0.1", "/five", ("five", 5)),
    ("nginx: 1,000,000 bytes", "nginx", "127.0.0.1", "/million", ("million", 1_000_000)),
    ("nginx: 50,000,000 bytes", "nginx", "127.0.0.1", "/fifty-million",
     ("fifty-million", 50_000_000)),
    ("nginx: by host name", "nginx", "localhost", "/five", ("five", 5)),
    ("nginx: missing file (404)", "nginx", "127.0.0.1", "/missing", None),
    ("host name that does not resolve", "nginx", "no-such-host.invalid", "/five", None),
    ("connection refused", "refused", "127.0.0.1", "/hello", "connection refused"),
    ("hello", "scripted", "127.0.0.1", "/hello", (b"hello", 5)),
    ("head split over pauses", "scripted", "127.0.0.1", "/split-head", (b"hello, world", 12)),
    ("stall mid-body", "scripted", "127.0.0.1", "/stall",
     (servers.pattern(1000) + servers.pattern(1000, 3), 2000)),
    ("no length field", "scripted", "127.0.0.1", "/no-length", (servers.pattern(100_000), -1)),
    ("closed without a byte", "scripted", "127.0.0.1", "/silent", None),
    ("truncated body", "scripted", "127.0.0.1", "/truncated", None),
    ("reset mid-body", "scripted", "127.0.0.1", "/reset", "connection broken"),
    # Half a body, then nothing for longer than the client waits between two pieces.
    ("stall past the time-out", "scripted", "127.0.0.1", "/hang", "receive timed out"),
    ("scripted 404", "scripted", "127.0.0.1", "/not-found", None),
    ("status line not HTTP", "scripted", "127.0.0.1", "/not-http", None),
    ("garbage without a blank line", "scripted", "127.0.0.1", "/garbage", None),
    ("head that never ends", "scripted", "127.0.0.1", "/endless-head", None),
    ("response larger than the buffer", "scripted", "127.0.0.1", "/too-large", None),
]


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def fetch(tool, wine_state, host, port, path, output, options=()):
    """Runs velmora-fetch; returns (exit code, contentLength or None, positions or None)."""
    if wine_state:
        command = [sys.executable, str(WINEENV), "run", wine_state, "fetch", tool, *options, host,
                   str(port), path, windows_path(output)]
    else:
        command = [tool, *options, host, str(port), path, str(output)]
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
    if expected is None or isinstance(expected, str):
        if code != 1 or f"download failed: {expected or ''}" not in report:
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


# ------------------------------------------------------------------ ranges

def range_checks(arguments, root, ports, scripted, scratch, outcome):
    """--range through the socket client and the system transport (libcurl on the host, WinINet
    under Wine): the first answer's ETag and Last-Modified each resume the file with a 206 that
    holds exactly the rest; a validator of another version gets the whole file (200); and the
    request carries Range and If-Range as the socket client writes them."""
    whole = (root / "million").read_bytes()
    output = scratch / "ranged"
    for transport in ([], ["--system"]):
        first = fetch(arguments.fetch, arguments.wine, "127.0.0.1", ports["nginx"], "/million",
                      output, transport + ["--range", "0", "-"])
        etag = re.search(r'^validator: ("[^"\r]+")\r?$', first[3], re.MULTILINE)
        modified = re.search(r"^Last-Modified: (.+)$", subprocess.run(
            ["curl", "-sI", f"http://127.0.0.1:{ports['nginx']}/million"], capture_output=True,
            text=True).stdout.replace("\r", ""), re.MULTILINE)
        problems = [] if first[0] == 0 and etag and "status: 200" in first[3] and \
            output.read_bytes() == whole else [f"first answer: {first[3]!r}"]
        for validator, status, body in (
                (etag.group(1) if etag else "?", "206", whole[400_000:]),
                (modified.group(1) if modified else "?", "206", whole[400_000:]),
                ('"another-version"', "200", whole)):
            code, length, _, report = fetch(arguments.fetch, arguments.wine, "127.0.0.1",
                                            ports["nginx"], "/million", output,
                                            transport + ["--range", "400000", validator])
            written = output.read_bytes() if output.exists() else b""
            if code != 0 or f"status: {status}" not in report or length != len(body) or \
                    written != body or (status == "206" and
                                        "range: 400000-999999/1000000" not in report):
                problems.append(f"If-Range {validator}: exit {code}, {len(written)} bytes "
                                f"written: {report!r}")
        fetch(arguments.fetch, arguments.wine, "127.0.0.1", ports["scripted"], "/hello", output,
              transport + ["--range", "3", "W/x 1"])
        asked = scripted.requests[-1] if scripted.requests else b""
        if b"\r\nRange: bytes=3-\r\n" not in asked or b"\r\nIf-Range: W/x 1\r\n" not in asked:
            problems.append(f"request: {asked!r}")
        outcome("ranges " + (" ".join(transport) or "(socket client)"), problems)


# ------------------------------------------------------------------ velmora-fetch check

RUNTIME = "/DotNetFX40/dotNetFx40_Client_x86_x64.exe"
UPDATE_X64 = "/DotNetFX40/NDP40-KB2468871-v2-x64.exe"
UPDATE_X86 = "/DotNetFX40/NDP40-KB2468871-v2-x86.exe"
PREREQUISITES = [RUNTIME, UPDATE_X64, UPDATE_X86]
CHANNELS = ["Live", "Beta", "Testing"]
PACKAGES = {channel: f"/Velmora.Html.Windows/{channel}/Velmora.Html.Windows.vmpkg"
            for channel in CHANNELS}
LIVE, BETA, TESTING = (PACKAGES[channel] for channel in CHANNELS)
GOOD = "good; download: ok; status: HTTP/1.1 200 OK; length: "

# name, what each path answers (a BEHAVIOURS name, or "package"/"version-4" for a package made
# here), and what each path's line must hold (its verdict first); every channel whose package and
# prerequisites are all good must install, every other one not.
CHECK_CASES = [
    ("scripted: chunked and redirected packages",
     {RUNTIME: "hello", UPDATE_X64: "hello", UPDATE_X86: "hello", LIVE: "package",
      BETA: "chunked", TESTING: "redirect"},
     {RUNTIME: [GOOD + "5;", "coding: none; redirect: no"],
      LIVE: [GOOD, "; check: ok, 2 entries"],
      BETA: ["bad; download: ok;", "length: missing;",
             "coding: chunked (Transfer-Encoding: chunked)",
             "\n    fails: package: not a readable package archive"],
      TESTING: ["bad; download: failed: the status is not HTTP/1.x 2xx",
                "status: HTTP/1.1 302 Found (not HTTP/1.x 2xx); length: 0;",
                "redirect: yes (302, Location: http://127.0.0.1/elsewhere);",
                "check: not made (no body)"]}),
    ("scripted: bad prerequisites and a package of the wrong version",
     {RUNTIME: "not-found", UPDATE_X64: "too-large", UPDATE_X86: "no-length",
      LIVE: "version-4", BETA: "package", TESTING: "package"},
     {RUNTIME: ["bad; download: failed: the status is not HTTP/1.x 2xx",
                "status: HTTP/1.1 404 Not Found (not HTTP/1.x 2xx); length: 9;"],
      UPDATE_X64: ["bad; download: failed: the response does not fit the download buffer",
                   "length: 51000000; buffer: too large"],
      UPDATE_X86: ["bad; download: ok;", "length: missing; buffer: fits (",
                   "coding: none; redirect: no"],
      LIVE: ["bad; download: ok;", "; check: 1 problem\n    wrong version: app/Velmora.exe: "
                                   "its version resource says 4.0.0.0"],
      BETA: [GOOD, "; check: ok, 2 entries"]}),
]


def zip_package(target, version):
    """A package as another tool makes it: app/Velmora.exe of `version` and a text file."""
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("app/Velmora.exe", tiny_pe.version_image(version))
        archive.writestr("app/readme.txt", "Velmora\r\n" * 100)
    return target.read_bytes()


def check_tree(root, vmpkg, key):
    """The server tree: the prerequisites, and each channel's package, packed and signed by
    vmpkg when given (from a folder with a version-5 Velmora.exe), else made by zipfile."""
    (root / "DotNetFX40").mkdir(parents=True)
    for path in PREREQUISITES:
        (root / path.lstrip("/")).write_bytes(os.urandom(3000))
    app = root.parent / "app"
    app.mkdir()
    (app / "Velmora.exe").write_bytes(tiny_pe.version_image((5, 0, 3, 0)))
    (app / "readme.txt").write_text("Velmora\r\n" * 100)
    for path in PACKAGES.values():
        package = root / path.lstrip("/")
        package.parent.mkdir(parents=True)
        if vmpkg:
            packed = subprocess.run([vmpkg, "pack", "--sign", str(key), str(app), str(package)],
                                    capture_output=True, text=True)
            if packed.returncode != 0:
                raise RuntimeError(f"vmpkg pack --sign: {packed.stdout}{packed.stderr}")
        else:
            zip_package(package, (5, 0, 3, 0))


def run_check(tool, wine_state, port, *options):
    """Runs velmora-fetch check against 127.0.0.1:port: (exit code, stdout, stderr)."""
    if wine_state:
        command = [sys.executable, str(WINEENV), "run", wine_state, "fetch", tool]
    else:
        command = [tool]
    result = subprocess.run(command + ["check", "127.0.0.1", str(port), *options],
                            capture_output=True, timeout=600)
    return (result.returncode, result.stdout.decode(errors="replace").replace("\r\n", "\n"),
            result.stderr.decode(errors="replace").replace("\r\n", "\n"))


def check_report(report, code, expected):
    """The reasons `velmora-fetch check`'s report is wrong: `expected` maps paths to texts their
    line (and the finding lines after it) must hold; paths not named must be good."""
    problems = []
    paths = PREREQUISITES + list(PACKAGES.values())
    lines = report.split("\n")
    good = {}
    for path in paths:
        at = [index for index, line in enumerate(lines) if line.startswith(path + ": ")]
        if len(at) != 1:
            problems.append(f"{len(at)} lines for {path}")
            continue
        end = at[0] + 1
        while end < len(lines) and lines[end].startswith("    "):
            end += 1
        text = "\n".join(lines[at[0]:end])  # the path's line and its finding lines
        good[path] = text.startswith(path + ": good;")
        for wanted in expected.get(path, [GOOD]):
            if wanted not in text:
                problems.append(f"{path}: lacks {wanted!r}: {text!r}")
    installing = 0
    for channel in CHANNELS:
        installs = all(good.get(path) for path in PREREQUISITES + [PACKAGES[channel]])
        installing += installs
        wanted = f"channel {channel}: " + ("installs" if installs else "does not install: bad ")
        if not any(line.startswith(wanted) for line in lines):
            problems.append(f"lacks {wanted!r}")
    if f"channels: {installing} of 3 install" not in lines:
        problems.append(f"lacks 'channels: {installing} of 3 install'")
    if code != (0 if installing == 3 else 1):
        problems.append(f"exit {code} with {installing} channels installing")
    return problems


HOST = "download.velmora.example"
# What a path's line says when the system transport's request was refused before any answer.
REFUSED = "download: failed: the request failed before any response (system error "


def transport_checks(fetch, root, scratch, outcome):
    """velmora-fetch check through the system transport (libcurl on the host) in private
    networks: over HTTPS with the throwaway CA the only one trusted (a good tree; certificates
    of an unknown CA, for another name, expired: every path refused before any answer, exit 1),
    and where only tinyproxy reaches the server: through --proxy and through the user's
    https_proxy / http_proxy over HTTPS and HTTP, while the socket client gets no connection."""
    made = servers.certificates(scratch / "certificates", HOST)
    all_refused = {path: [REFUSED] for path in PREREQUISITES + list(PACKAGES.values())}
    for name, options, proxy_only, certificate, environment, expected in (
            ("https: a good tree", ["--https"], False, "good", {}, {}),
            ("https: unknown CA", ["--https"], False, "unknown-ca", {}, all_refused),
            ("https: another host name", ["--https"], False, "other-name", {}, all_refused),
            ("https: expired", ["--https"], False, "expired", {}, all_refused),
            ("proxy only: https through --proxy", ["--https", "--proxy", "127.0.0.1:8888"],
             True, "good", {}, {}),
            ("proxy only: http through --proxy", ["--system", "--proxy", "127.0.0.1:8888"],
             True, "good", {}, {}),
            ("proxy only: https through the user's https_proxy", ["--https"], True, "good",
             {"https_proxy": "http://127.0.0.1:8888"}, {}),
            ("proxy only: http through the user's http_proxy", ["--system"], True, "good",
             {"http_proxy": "http://127.0.0.1:8888"}, {}),
            ("proxy only: the socket client gets no connection", [], True, "good", {},
             {path: ["download: failed: no connection"] for path in all_refused})):
        namespace = servers.Namespace(f"vm-fetch-{os.getpid() % 100000}", [HOST],
                                      trusted=scratch / "certificates" / "ca.crt",
                                      proxy_only=proxy_only)
        with namespace, servers.Nginx(root, port=80, prefix=namespace.prefix,
                                      tls=made[certificate]):
            with (servers.Tinyproxy(prefix=namespace.prefix) if proxy_only
                  else contextlib.nullcontext()) as proxy:
                result = subprocess.run(namespace.prefix + ["env"] +
                                        [f"{key}={value}" for key, value in environment.items()] +
                                        [fetch, "check", HOST, *options], capture_output=True,
                                        text=True, timeout=600)
                problems = check_report(result.stdout, result.returncode, expected)
                if proxy is not None and options and "HTTP/1.1 200" not in result.stdout[:400]:
                    problems.append(f"proxy log: {proxy.log()[-500:]}")
        outcome("transport: " + name, problems + ([result.stderr] if result.stderr else []))


def partial_packages(vmpkg, work, files=300, size=20_000, changed=(100, 101, 200)):
    """Two releases packed by vmpkg: `files` files (Velmora.exe among them) of `size` random
    bytes, then the same with the files numbered `changed` rewritten. Returns (old, new)."""
    app = work / "app"
    (app / "data").mkdir(parents=True)
    (app / "Velmora.exe").write_bytes(tiny_pe.version_image((5, 0, 3, 0)))
    generator = random.Random(26)
    for number in range(files - 1):
        (app / "data" / f"file{number:03}.bin").write_bytes(generator.randbytes(size))
    for path in [app, *app.rglob("*")]:
        os.utime(path, (1_700_000_000, 1_700_000_000))
    packages = work / "old.vmpkg", work / "new.vmpkg"
    subprocess.run([vmpkg, "pack", str(app), str(packages[0])], check=True,
                   stdout=subprocess.DEVNULL)
    for number in changed:
        (app / "data" / f"file{number:03}.bin").write_bytes(generator.randbytes(size))
    subprocess.run([vmpkg, "pack", str(app), str(packages[1])], check=True,
                   stdout=subprocess.DEVNULL)
    return packages


def partial_checks(fetch_tool, vmpkg, scratch, outcome):
    """--kept, the installer's partial update, against nginx: a release that changed 3 files
    of 300 comes as its end and one range per run of changed files (nginx's log shows each
    Range; at most 10 % of the package is served) and is rebuilt byte for byte; a server that
    ignores Range, and a kept package that is none, give the whole package in one download."""
    work = scratch / "partial"
    root = work / "root"
    root.mkdir(parents=True)
    old, new = partial_packages(vmpkg, work)
    shutil.copyfile(new, root / "p.vmpkg")
    junk = work / "junk.vmpkg"
    junk.write_bytes(b"not a package" * 100)
    for name, kept, ranges, expected in (
            ("3 of 300 files changed (two of them neighbours): the end and two ranges", old,
             True, [("-65536", 206), (r"\d+-\d+", 206), (r"\d+-\d+", 206)]),
            ("a server that ignores Range: whole", old, False, [("-65536", 200), ("-", 200)]),
            ("a kept package that is none: whole", junk, True, [("-65536", 206), ("-", 200)])):
        output = work / "out.vmpkg"
        with servers.Nginx(root, ranges=ranges) as nginx:
            result = subprocess.run([fetch_tool, "--kept", str(kept), "127.0.0.1",
                                     str(nginx.port), "/p.vmpkg", str(output)],
                                    capture_output=True, text=True, timeout=300)
            logged = nginx.logged()
        asked = [(asked_range.removeprefix("bytes="), status)
                 for _, status, _, asked_range in logged]
        served = sum(sent for _, _, sent, _ in logged)
        problems = [] if result.returncode == 0 else [f"exit {result.returncode}: {result.stderr}"]
        if output.exists() and output.read_bytes() != new.read_bytes():
            problems.append("the output is not the new package")
        if len(asked) != len(expected) or not all(
                re.fullmatch(pattern, text) and status == want
                for (text, status), (pattern, want) in zip(asked, expected)):
            problems.append(f"nginx served {asked}, expected {expected}: {result.stderr}")
        if ranges and kept == old and served * 10 > new.stat().st_size:
            problems.append(f"{served} bytes served of {new.stat().st_size}")
        outcome(f"--kept: {name}", problems)


# Each good path of a server that answers ranges as the installer needs them.
RANGES_RIGHT = "; ranges: 3 answered right"


def store_checks(fetch, root, public, signed, outcome):
    """velmora-fetch check URL against s3rver holding the good tree below its bucket: every
    channel installs, and what it answers otherwise than nginx (If-Range ignored, a suffix range
    answered with the first bytes) is a warning on each path, not a problem."""
    program = servers.install_s3rver(pathlib.Path(fetch).resolve().parents[2] / "s3rver")
    with servers.S3Store(program, port=servers.free_port()) as store:
        client = "/usr/bin/aws" if os.access("/usr/bin/aws", os.X_OK) else "aws"
        subprocess.run([client, "--endpoint-url", store.endpoint, "s3", "cp", "--recursive",
                        "--quiet", str(root), f"s3://{store.bucket}/"], check=True,
                       env=dict(os.environ, **store.environment))
        result = subprocess.run([fetch, "check", f"{store.endpoint}/{store.bucket}/", "--key",
                                 str(public)], capture_output=True, text=True, timeout=600)
    problems = check_report(result.stdout, result.returncode, signed)
    for warning in ("; ranges: 0 problems, 2 warnings\n", "\n    warning: If-Range with another "
                    "version's ETag is answered 206", "\n    warning: the last "):
        if result.stdout.count(warning) != 6:
            problems.append(f"not on every path: {warning!r}")
    if "warnings: 12 (the installer works around them)" not in result.stdout:
        problems.append("no count of the warnings")
    outcome("s3rver: a good tree at the store's URL, with warnings",
            problems + ([result.stdout + result.stderr] if problems else []))


def check_cases(arguments, scratch, outcome):
    """velmora-fetch check against nginx's good tree and the scripted server's answers, each
    told to `outcome`."""
    # Packed and signed by the host build's vmpkg when it is given; --key needs the host build.
    signing = arguments.vmpkg is not None and not arguments.wine
    key = public = None
    if signing:
        key, public = scratch / "release.pem", scratch / "release.pub.pem"
        subprocess.run(["openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                        "rsa_keygen_bits:3072", "-out", str(key)], check=True)
        subprocess.run(["openssl", "pkey", "-in", str(key), "-pubout", "-out", str(public)],
                       check=True)
    root = scratch / "check" / "root"
    check_tree(root, arguments.vmpkg if signing else None, key)
    package = (root / LIVE.lstrip("/")).read_bytes()
    version_4 = zip_package(scratch / "check" / "version-4.vmpkg", (4, 0, 0, 0))
    served = dict(servers.BEHAVIOURS)
    for name, body in (("package", package), ("version-4", version_4)):
        served[name] = servers.send_pieces(servers.response(
            fields=[f"Content-Length: {len(body)}"], body=body))

    with servers.Nginx(root) as nginx:
        if signing:
            code, report, errors = run_check(arguments.fetch, None, nginx.port,
                                             "--key", str(public))
            signed = {path: [GOOD + str(len(package)) + ";",
                             "; check: ok, 2 entries; signature: good (RSA-3072, SHA-256)"]
                      for path in PACKAGES.values()}
            outcome("nginx: a good tree, packed and signed, with --key",
                    check_report(report, code, signed) + ([errors] if errors else []) +
                    ([] if report.count(RANGES_RIGHT + "\n") == 6 else ["ranges: " + report]))
        else:
            code, report, errors = run_check(arguments.fetch, arguments.wine, nginx.port)
            outcome("nginx: a good tree", check_report(report, code, {}))
        if arguments.wine:
            code, report, errors = run_check(arguments.fetch, arguments.wine, nginx.port,
                                             "--key", "Z:\\key.pem")
            outcome("--key on the Windows build", [] if code == 2 and "needs the host build"
                    in errors and not report else [f"exit {code}: {report}{errors}"])
    for name, answers, expected in CHECK_CASES:
        behaviours = {path.lstrip("/"): served[answer] for path, answer in answers.items()}
        with servers.ScriptedServer(behaviours) as scripted:
            code, report, errors = run_check(arguments.fetch, arguments.wine, scripted.port)
        outcome(name, check_report(report, code, expected))
    if not arguments.wine:
        transport_checks(arguments.fetch, root, scratch, outcome)
        partial_checks(arguments.fetch, arguments.vmpkg, scratch, outcome)
    if signing:
        store_checks(arguments.fetch, root, public, signed, outcome)
    for command in (["check"], ["check", "127.0.0.1", "80", "--key"],
                    ["check", "127.0.0.1", "70000"], ["check", "127.0.0.1", "--proxy"],
                    ["127.0.0.1", "80", "/hello", "out", "--key", "key.pem"]):
        result = subprocess.run(([sys.executable, str(WINEENV), "run", arguments.wine, "fetch"]
                                 if arguments.wine else []) + [arguments.fetch, *command],
                                capture_output=True, timeout=300)
        outcome(f"command line {' '.join(command)!r}", [] if result.returncode == 2 and
                b"usage:" in result.stderr else [f"{result}"])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("fetch", help="velmora-fetch of the build to test")
    parser.add_argument("--wine", metavar="STATE", help="run the Windows build under Wine")
    parser.add_argument("--vmpkg", help="the host build's vmpkg, which packs the packages")
    arguments = parser.parse_args()

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="velmora-fetch-",
                                            dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    failures = 0
    results = []

    def report(name, problems):
        print(f"{'ok  ' if not problems else 'FAIL'} check: {name}", flush=True)
        for problem in problems:
            print(f"     {problem}", flush=True)
        results.append(not problems)

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
            range_checks(arguments, root, ports, scripted, scratch, report)
        check_cases(arguments, scratch, report)
        failures += results.count(False)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    total = len(CASES) + len(results)
    print(f"{total - failures} of {total} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
