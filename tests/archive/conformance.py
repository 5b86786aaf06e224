#!/usr/bin/env python3
"""Conformance of the package archive with real ZIP tools, and hostile packages.

Every archive is made at test time: by Info-ZIP zip, 7-Zip, bsdtar and Python's zipfile from a
small application tree, or crafted byte by byte (hostile packages). Each is extracted with
`vmpkg extract` and the tree is compared, bytes and modification times, with what Info-ZIP
unzip extracts from the same archive; hostile packages must give a clear per-entry result and
write nothing outside DEST.

    conformance.py host VMPKG                  the host cases (run by ctest on the host build),
                                               signed packages (keys made by openssl at test
                                               time) and the build's key and pin options
    conformance.py wine VMPKG_EXE WINE_STATE   drive-letter and backslash cases, and a few tool
                                               archives, with vmpkg.exe under Wine
    conformance.py seeds DIR                   writes every archive into DIR (fuzzing seeds)
"""
import base64
import io
import os
import pathlib
import pwd
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

HERE = pathlib.Path(__file__).resolve().parent
WINEENV = HERE.parent / "harness" / "wineenv.py"
FIXED_TIME = 1735732800  # 2025-01-01T12:00:00Z, even, so DOS times hold it exactly
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print(f"FAIL {what}", flush=True)
    return condition


# ------------------------------------------------------------------ the application tree

def make_tree(root):
    """The application tree every tool archives: text, binary, empty files and folders, a
    UTF-8 name, a read-only file, a nested folder."""
    app = root / "app"
    (app / "bin" / "plugins").mkdir(parents=True)
    (app / "empty folder").mkdir()
    (app / "Velmora.exe").write_bytes(b"MZ" + os.urandom(20000))
    (app / "readme.txt").write_text("Velmora 5\r\n" * 2000)
    (app / "bin" / "random.bin").write_bytes(os.urandom(70000))
    (app / "bin" / "plugins" / "empty.dat").write_bytes(b"")
    (app / "Zo\u00eb \u00fcn\u00efcode \u20ac.txt").write_text("named in UTF-8\n")
    locked = app / "bin" / "locked.cfg"
    locked.write_text("read-only\n")
    for path in sorted(app.rglob("*")):
        os.utime(path, (FIXED_TIME, FIXED_TIME))
    locked.chmod(0o444)
    return app


def python_zip(target, stored=False, streamed=False):
    """Python's zipfile; `streamed` writes to an unseekable stream with zf.open(..., "w")."""
    class Unseekable(io.RawIOBase):
        def __init__(self, sink):
            self.sink = sink

        def writable(self):
            return True

        def write(self, data):
            return self.sink.write(data)

    method = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
    with open(target, "wb") as raw:
        out = Unseekable(raw) if streamed else raw
        with zipfile.ZipFile(out, "w", method) as archive:
            for path in sorted(pathlib.Path("app").rglob("*")):
                if streamed and path.is_file():
                    info = zipfile.ZipInfo.from_file(path)
                    info.compress_type = method
                    with archive.open(info, "w") as entry:
                        entry.write(path.read_bytes())
                else:
                    archive.write(path)


def tool_cases():
    """(name, how to make x.zip in a folder holding app/). Strings run through the shell."""
    return [
        ("zip deflated", "zip -q -r x.zip app"),
        ("zip stored", "zip -q -r -0 x.zip app"),
        ("zip -X (DOS times only)", "zip -q -r -X x.zip app"),
        ("zip to a pipe (data descriptors)", "zip -q -r - app | cat > x.zip"),
        ("zip with a comment", "zip -q -r x.zip app && echo 'release 5.0' | zip -q -z x.zip"),
        ("zip with a stub, cat", "zip -q -r y.zip app && head -c 1000 /dev/urandom > x.zip "
                                 "&& cat y.zip >> x.zip"),
        ("zip with a stub, zip -A", "zip -q -r y.zip app && head -c 1000 /dev/urandom > x.zip "
                                    "&& cat y.zip >> x.zip && zip -q -A x.zip"),
        ("7-Zip", "7z a -tzip -bd -bso0 x.zip app"),
        ("7-Zip stored", "7z a -tzip -mx=0 -bd -bso0 x.zip app"),
        ("bsdtar", "bsdtar --format zip -cf x.zip app"),
        ("bsdtar stored", "bsdtar --format zip --options zip:compression=store -cf x.zip app"),
        ("Python zipfile", lambda: python_zip("x.zip")),
        ("Python zipfile stored", lambda: python_zip("x.zip", stored=True)),
        ("Python zipfile streamed", lambda: python_zip("x.zip", streamed=True)),
    ]


def make_tool_archive(work, maker, env):
    if callable(maker):
        previous = os.getcwd()
        os.chdir(work)
        try:
            maker()
        finally:
            os.chdir(previous)
    else:
        subprocess.run(maker, shell=True, cwd=work, env=env, check=True)
    return work / "x.zip"


# ------------------------------------------------------------------ trees

def snapshot(root, times=True):
    """{relative path: (kind, bytes, mtime, writable)} below root; mtimes of files only."""
    result = {}
    for path in sorted(root.rglob("*")):
        info = path.lstat()
        key = path.relative_to(root).as_posix()
        if stat.S_ISDIR(info.st_mode):
            result[key] = ("dir",)
        else:
            result[key] = ("file", path.read_bytes(), int(info.st_mtime) if times else None,
                           bool(info.st_mode & 0o222))
    return result


def compare_trees(case, expected, actual, compare_times=True, time_slack=0):
    check(sorted(expected) == sorted(actual),
          f"{case}: names differ: only unzip {sorted(set(expected) - set(actual))}, "
          f"only vmpkg {sorted(set(actual) - set(expected))}")
    for key in sorted(set(expected) & set(actual)):
        want, got = expected[key], actual[key]
        if want[0] != got[0]:
            check(False, f"{case}: {key}: kind {want[0]} vs {got[0]}")
            continue
        if want[0] == "dir":
            continue
        check(want[1] == got[1], f"{case}: {key}: bytes differ")
        if compare_times:
            check(abs(want[2] - got[2]) <= time_slack,
                  f"{case}: {key}: mtime {got[2]} instead of {want[2]}")
        check(want[3] == got[3], f"{case}: {key}: writable {got[3]} instead of {want[3]}")


def run(command, env=None, cwd=None):
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd,
                          timeout=600)


def unzip_tree(archive, into, env):
    subprocess.run(["unzip", "-o", "-q", str(archive), "-d", str(into)], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return into / "app"


# ------------------------------------------------------------------ crafted archives

def crafted(entries, comment=b"", prefix=b"", end=None, central_only=()):
    """A ZIP archive from entry dicts: name (bytes), data, and overrides (method, crc,
    csize, usize, local_name, local_method, local_crc, offset, attrs, made_by)."""
    body, directory, offsets = bytearray(prefix), bytearray(), {}
    for entry in entries:
        name, data = entry["name"], entry.get("data", b"")
        method = entry.get("method", 0)
        payload = entry.get("payload")
        if payload is None:
            if method == 8:
                deflater = zlib.compressobj(9, zlib.DEFLATED, -15)
                payload = deflater.compress(data) + deflater.flush()
            else:
                payload = data
        crc = entry.get("crc", zlib.crc32(data))
        csize, usize = entry.get("csize", len(payload)), entry.get("usize", len(data))
        local_name = entry.get("local_name", name)
        offset = len(body) - len(prefix)  # a stub of `cat`: offsets not adjusted
        offsets[name] = offset
        if name not in central_only:
            body += struct.pack("<IHHHIIIIHH", 0x04034B50, 20, 0,
                                entry.get("local_method", method), 0x5A216000,
                                entry.get("local_crc", crc), csize, usize, len(local_name), 0)
            body += local_name + payload
        directory += struct.pack("<IHHHHIIIIHHHHHII", 0x02014B50, entry.get("made_by", 0x0314),
                                 20, 0, method, 0x5A216000, crc, csize, usize, len(name), 0, 0, 0,
                                 0, entry.get("attrs", 0o100644 << 16),
                                 offsets.get(entry.get("offset_of"), entry.get("offset", offset)))
        directory += name
    count = len(entries)
    fields = dict(disk=0, cd_disk=0, here=count, total=count, size=len(directory),
                  offset=len(body) - len(prefix))
    fields.update(end or {})
    return bytes(body + directory + struct.pack(
        "<IHHHHIIH", 0x06054B50, fields["disk"], fields["cd_disk"], fields["here"],
        fields["total"], fields["size"], fields["offset"], len(comment)) + comment)


def file_entry(name, data=b"payload", **overrides):
    entry = {"name": name.encode() if isinstance(name, str) else name, "data": data}
    entry.update(overrides)
    return entry


CLIMBS = ["app/../probe-a", "app/..\\probe-b", "app\\..\\probe-c", "app/x/../../probe-d",
          "../probe-e", "..\\probe-f", "app/a/../../../probe-g", "app/./probe-h",
          "app/.. /probe-i", "app/x/..\\..\\..\\probe-j"]
DRIVES = ["C:\\probe-k", "C:probe-l", "app/C:\\probe-m", "app/C:probe-n", "app/Z:\\tmp\\probe-o"]
ABSOLUTE = ["/probe-p", "\\probe-q", "app//probe-r", "app/\\probe-s", "app/\\\\?\\C:\\probe-t"]
COLONS = ["app/ok.txt:probe-u", "app/probe-v:$DATA"]


def hostile_cases():
    """(name, archive bytes, expected exit code, files expected below DEST, stderr texts)."""
    good = file_entry("app/good.txt", b"good")
    names = CLIMBS + DRIVES + ABSOLUTE + COLONS
    many = [file_entry(f"x/{index:05d}", b"") for index in range(65535)]
    return [
        ("names that climb, drives, absolute names and colons",
         crafted([good] + [file_entry(name) for name in names]), 1, {"good.txt"},
         ["skipped: app/C:\\probe-m: unsafe name", "skipped: probe-a: outside app/"]),
        ("overlapping entries",
         crafted([good, file_entry("app/goo2.txt", offset_of=b"app/good.txt",
                                   crc=zlib.crc32(b"good"), csize=4, usize=4,
                                   local_name=b"app/good.txt")]),
         0, {"good.txt", "goo2.txt"}, []),
        ("local and central headers disagree",
         crafted([good, file_entry("app/m.txt", local_crc=5)]), 1, {"good.txt"},
         ["failed: entry 1: ArchiveCorrupt"]),
        ("an unsupported method",
         crafted([good, file_entry("app/bz.txt", method=12)]), 1, {"good.txt"},
         ["failed: entry 1: ArchiveCorrupt"]),
        ("a wrong CRC", crafted([file_entry("app/c.txt", crc=1), good]), 1,
         {"good.txt", "c.txt"}, ["failed: app/c.txt: ArchiveCorrupt"]),
        ("truncated deflate data",
         crafted([file_entry("app/t.bin", os.urandom(5000) * 4, method=8, csize=100), good]), 1,
         {"good.txt", "t.bin"}, ["failed: app/t.bin: ArchiveInflateFailed"]),
        ("data running past the end",
         crafted([good, file_entry("app/p.bin", b"x" * 100, csize=0x7FFFFFFF,
                                   usize=0x7FFFFFFF)]), 1,
         {"good.txt", "p.bin"}, ["failed: app/p.bin: ArchiveInflateFailed"]),
        ("huge declared sizes",
         crafted([file_entry("app/h.bin", b"h" * 1000, method=8, usize=0xFFFFFFFF), good]), 1,
         {"good.txt", "h.bin"}, ["failed: app/h.bin: ArchiveCorrupt"]),
        ("65,535 entries", crafted(many[:-1] + [good]), 0, {"good.txt"},
         ["skipped: x/65533: outside app/"]),
        ("a 65,513-byte comment", crafted([good], comment=b"c" * 65513), 0, {"good.txt"}, []),
        ("a stub before the archive, offsets not adjusted",
         crafted([good], prefix=os.urandom(3000)), 0, {"good.txt"}, []),
        ("no end record", crafted([good])[:-22], 2, set(), ["not a readable package archive"]),
        ("a cut archive", crafted([good, file_entry("app/b", os.urandom(9000))])[:5000], 2,
         set(), ["not a readable package archive"]),
        ("multi-disk fields", crafted([good], end={"disk": 1, "cd_disk": 1}), 2, set(),
         ["not a readable package archive"]),
        ("a central header that sends the walk astray",
         crafted([good, file_entry("app/w", b"w"), file_entry("app/after")],
                 end={"size": 200, "offset": 0}), 1, set(), ["ArchiveCorrupt"]),
    ]


# ------------------------------------------------------------------ host cases

def host_conformance(vmpkg, scratch):
    for zone in ("UTC0", "JST-9"):
        env = dict(os.environ, TZ=zone)
        for name, maker in tool_cases():
            if zone != "UTC0" and "DOS times" not in name and "7-Zip" not in name:
                continue  # only archives without Unix times depend on the zone
            case = f"{name} [TZ={zone}]"
            work = scratch / f"tool-{len(FAILURES)}-{abs(hash(case))}"
            work.mkdir()
            make_tree(work)
            archive = make_tool_archive(work, maker, env)
            expected = snapshot(unzip_tree(archive, work / "by-unzip", env))
            result = run([vmpkg, "extract", str(archive), str(work / "by-vmpkg")], env=env)
            check(result.returncode == 0, f"{case}: exit {result.returncode}: {result.stderr}")
            compare_trees(case, expected, snapshot(work / "by-vmpkg"))
            checked = run([vmpkg, "check", str(archive)], env=env)
            check(checked.returncode == 0 and "check: ok" in checked.stdout,
                  f"{case}: check: {checked.stdout}")
            print(f"done {case}", flush=True)


def host_hostile(vmpkg, scratch):
    for name, data, exit_code, files, messages in hostile_cases():
        sandbox = scratch / f"hostile-{abs(hash(name))}"
        (sandbox / "cwd").mkdir(parents=True)
        package = sandbox / "p.zip"
        package.write_bytes(data)
        started = time.monotonic()
        result = run([vmpkg, "extract", str(package), str(sandbox / "dest")],
                     cwd=sandbox / "cwd")
        elapsed = time.monotonic() - started
        check(result.returncode == exit_code,
              f"{name}: exit {result.returncode}, expected {exit_code}: {result.stderr[-500:]}")
        dest = sandbox / "dest"
        got = {p.relative_to(dest).as_posix() for p in dest.rglob("*")} if dest.exists() else set()
        check(got == files, f"{name}: DEST holds {sorted(got)[:10]}, expected {sorted(files)}")
        outside = sorted(p.relative_to(sandbox).as_posix() for p in sandbox.rglob("*")
                         if p != package and dest not in p.parents and p != dest
                         and p != sandbox / "cwd")
        check(not outside, f"{name}: written outside DEST: {outside}")
        check(not any(p.name.startswith("probe-") for p in pathlib.Path("/").iterdir()),
              f"{name}: a probe file reached /")
        for message in messages:
            check(message in result.stderr, f"{name}: stderr lacks {message!r}: "
                                             f"{result.stderr[:300]}")
        print(f"done {name} ({elapsed:.1f} s)", flush=True)


def host_check_reports(vmpkg, scratch):
    """vmpkg check names every reason a package would not install completely."""
    velmora = file_entry("app/Velmora.exe", b"MZ")
    encrypted = scratch / "encrypted"
    (encrypted / "app").mkdir(parents=True)
    (encrypted / "app" / "Velmora.exe").write_bytes(b"MZ" * 100)
    subprocess.run("zip -q -r -P secret x.zip app", shell=True, cwd=encrypted, check=True)
    big = scratch / "big"
    big.mkdir()
    (big / "app").mkdir()
    (big / "app" / "Velmora.exe").write_bytes(b"MZ")
    with open(big / "app" / "filler.bin", "wb") as filler:
        filler.write(os.urandom(51_000_000 - 400))
    subprocess.run("zip -q -0 -r x.zip app", shell=True, cwd=big, check=True)
    cases = [
        ("a complete package", crafted([velmora]), 0, ["check: ok, 1 entries"]),
        ("skipped and failing entries",
         crafted([velmora, file_entry("README"), file_entry("app/C:\\x"),
                  file_entry("app/c", crc=3), file_entry("app/m", method=14),
                  file_entry("app/d", os.urandom(3000), method=8, csize=10)]), 1,
         ["skipped: README: outside app/", "skipped: app/C:\\x: unsafe name",
          "fails: app/c: its CRC-32 does not match", "compression method 14 is not supported",
          "fails: app/d: its data is corrupt", "check: 5 problems"]),
        ("no app/Velmora.exe", crafted([file_entry("app/velmora.exe")]), 1,
         ["missing: app/Velmora.exe"]),
        ("a password", (encrypted / "x.zip").read_bytes(), 1,
         ["fails: app/Velmora.exe: it is encrypted with a password", "missing: app/Velmora.exe"]),
        ("too large for the download buffer", (big / "x.zip").read_bytes(), 1,
         ["too large: package:"]),
    ]
    for name, data, exit_code, messages in cases:
        package = scratch / "check.zip"
        package.write_bytes(data)
        result = run([vmpkg, "check", str(package)])
        check(result.returncode == exit_code, f"check {name}: exit {result.returncode}")
        for message in messages:
            check(message in result.stdout, f"check {name}: lacks {message!r}: {result.stdout}")
        print(f"done check: {name}", flush=True)
    listed = run([vmpkg, "list", str(scratch / "encrypted" / "x.zip")])
    check(listed.returncode == 0 and listed.stdout.endswith("entries: 2\n")
          and " app/Velmora.exe\n" in listed.stdout, f"list: {listed.stdout}")
    missing = run([vmpkg, "list", str(scratch / "does-not-exist.zip")])
    check(missing.returncode == 2 and "cannot open" in missing.stderr, "list: missing file")
    print("ok   list", flush=True)


def unprivileged_user():
    """A system user made for the permission cases (root ignores permissions), or None."""
    if os.geteuid() != 0:
        return None
    name = "velmora-test"
    try:
        pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        name], check=True)
    return name


def host_permissions(vmpkg, scratch):
    """A read-only file extracted a second time, and a folder without write permission, fail
    with ArchiveNoFile for a user the permissions bind."""
    user = unprivileged_user()
    sandbox = pathlib.Path(tempfile.mkdtemp(prefix="velmora-permissions-"))
    try:
        locked = file_entry("app/locked.cfg", b"read-only", attrs=0o100444 << 16)
        package = sandbox / "p.zip"
        package.write_bytes(crafted([locked, file_entry("app/sealed/x.txt", b"x")]))
        (sandbox / "dest" / "sealed").mkdir(parents=True)
        prefix = []
        if user:
            shutil.chown(sandbox, user)
            for path in [sandbox / "dest", sandbox / "dest" / "sealed", package]:
                shutil.chown(path, user)
            prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"]
        (sandbox / "dest" / "sealed").chmod(0o555)
        first = run(prefix + [vmpkg, "extract", str(package), str(sandbox / "dest")])
        second = run(prefix + [vmpkg, "extract", str(package), str(sandbox / "dest")])
        check("failed: app/sealed/x.txt: ArchiveNoFile" in first.stderr,
              f"permissions: a sealed folder: {first.stderr}")
        check("failed: app/locked.cfg" not in first.stderr, f"permissions: {first.stderr}")
        check("failed: app/locked.cfg: ArchiveNoFile" in second.stderr,
              f"permissions: the read-only file replaced: {second.stderr}")
        check((sandbox / "dest" / "locked.cfg").read_bytes() == b"read-only", "permissions")
        print(f"done permissions (as {user or 'the current user'})", flush=True)
    finally:
        for path in sandbox.rglob("*"):
            path.chmod(0o755)
        shutil.rmtree(sandbox)


# ------------------------------------------------------------------ signed packages

SIGNATURE_TAG = b"velmora-signature-v1:"
ROOT = HERE.parents[1]


def openssl_key(folder, name, *options):
    """A key made by openssl now: (private PEM, public PEM). Options go to genpkey."""
    private, public = folder / f"{name}.pem", folder / f"{name}.pub.pem"
    subprocess.run(["openssl", "genpkey", "-quiet", "-out", str(private), *options], check=True)
    subprocess.run(["openssl", "pkey", "-in", str(private), "-pubout", "-out", str(public)],
                   check=True)
    return private, public


def rsa_key(folder, name, bits=3072, *options):
    return openssl_key(folder, name, "-algorithm", "RSA", "-pkeyopt",
                       f"rsa_keygen_bits:{bits}", *options)


def tool_view(tool, archive, into):
    """(exit code, sorted names) of a tool's listing, and its extraction into `into`."""
    listing = {
        "unzip": ["unzip", "-Z1", str(archive)],
        "7z": ["7z", "l", "-ba", "-slt", str(archive)],
        "bsdtar": ["bsdtar", "-tf", str(archive)],
    }[tool]
    extraction = {
        "unzip": ["unzip", "-o", "-q", str(archive), "-d", str(into)],
        "7z": ["7z", "x", "-bd", "-bso0", f"-o{into}", str(archive)],
        "bsdtar": ["bsdtar", "-xf", str(archive), "-C", str(into)],
    }[tool]
    listed = run(listing)
    names = listed.stdout.splitlines()
    if tool == "7z":
        names = [line[len("Path = "):] for line in names if line.startswith("Path = ")]
    into.mkdir(parents=True)
    extracted = run(extraction)
    return listed.returncode, extracted.returncode, sorted(n.rstrip("/") for n in names)


def flip(data, position):
    return data[:position] + bytes([data[position] ^ 0x01]) + data[position + 1:]


def host_signatures(vmpkg, scratch):
    """vmpkg sign / verify / check --key with keys made by openssl: ZIP tools read a signed
    package as before, openssl itself verifies what vmpkg signed, and every change is refused."""
    work = scratch / "signatures"
    work.mkdir()
    make_tree(work)
    subprocess.run("zip -q -r x.zip app", shell=True, cwd=work, check=True)
    key, public = rsa_key(work, "release")
    _, other_public = rsa_key(work, "other")
    plain, package = work / "x.zip", work / "signed.zip"
    result = run([vmpkg, "sign", str(key), str(plain), str(package)])
    check(result.returncode == 0 and "signed (RSA-3072, SHA-256)" in result.stdout,
          f"sign: exit {result.returncode}: {result.stdout}{result.stderr}")
    signed = package.read_bytes()
    unsigned = plain.read_bytes()

    # What is signed, checked by openssl alone: everything through the comment-length field.
    end = signed.rfind(b"PK\x05\x06")
    comment = signed[end + 22:]
    check(comment.startswith(SIGNATURE_TAG) and struct.unpack_from("<H", signed, end + 20)[0]
          == len(comment) and signed[:end + 20] == unsigned[:end + 20],
          "sign: the package before the comment-length field is unchanged")
    (work / "covered").write_bytes(signed[:end + 22])
    (work / "signature").write_bytes(base64.b64decode(comment[len(SIGNATURE_TAG):],
                                                      validate=True))
    openssl = run(["openssl", "dgst", "-sha256", "-verify", str(public), "-signature",
                   str(work / "signature"), str(work / "covered")])
    check(openssl.returncode == 0, f"openssl does not verify vmpkg's signature: {openssl.stdout}")

    # Every ZIP tool lists and extracts the signed package as the unsigned one.
    for tool in ("unzip", "7z", "bsdtar"):
        before = tool_view(tool, plain, work / f"{tool}-plain")
        after = tool_view(tool, package, work / f"{tool}-signed")
        check(after[:2] == (0, 0) and before == after, f"{tool} on the signed package: "
                                                       f"{after[:2]}, names {after[2][:5]}")
        compare_trees(f"{tool} on the signed package", snapshot(work / f"{tool}-plain"),
                      snapshot(work / f"{tool}-signed"))
    result = run([vmpkg, "extract", str(package), str(work / "by-vmpkg")])
    check(result.returncode == 0, f"vmpkg extract of the signed package: {result.stderr}")
    compare_trees("vmpkg extract of the signed package", snapshot(work / "unzip-signed" / "app"),
                  snapshot(work / "by-vmpkg"))

    def rewritten(command):
        copy = work / "rewritten.zip"
        copy.write_bytes(signed)
        subprocess.run(command.format(zip=copy), shell=True, cwd=work, check=True)
        return copy.read_bytes()

    directory = struct.unpack_from("<I", signed, end + 16)[0]
    text = end + 22 + len(SIGNATURE_TAG) + 20
    # Another base64 character (any random signature): the text stays well-formed.
    changed = signed[:text] + (b"B" if signed[text] == ord("A") else b"A") + signed[text + 1:]
    mismatch = "does not match"
    cases = [
        ("the signed package", signed, public, 0, "verify: good signature (RSA-3072, SHA-256)"),
        ("a flipped byte in entry data", flip(signed, 30 + len("app/") + 10), public, 1,
         mismatch),
        ("a flipped byte in the central directory", flip(signed, directory + 12), public, 1,
         mismatch),
        ("a flipped byte in the end record", flip(signed, end + 16), public, 1, mismatch),
        ("a flipped byte in the signature text", changed, public, 1, mismatch),
        ("bytes appended", signed + b"appended", public, 1, "bytes follow the archive comment"),
        ("truncated", signed[:-100], public, 1, "runs past the end"),
        ("another key", signed, other_public, 1, mismatch),
        ("an entry deleted by zip -d", rewritten("zip -q {zip} -d app/readme.txt"), public, 1,
         mismatch),
        ("a file added by zip", rewritten("echo added > added.txt && zip -q {zip} added.txt"),
         public, 1, mismatch),
        ("not signed", unsigned, public, 1, "not signed"),
    ]
    for name, data, key_file, exit_code, message in cases:
        target = work / "verify.zip"
        target.write_bytes(data)
        result = run([vmpkg, "verify", str(key_file), str(target)])
        check(result.returncode == exit_code and message in result.stdout
              and len(result.stdout.splitlines()) == 1,
              f"verify {name}: exit {result.returncode}: {result.stdout}{result.stderr}")
        checked = run([vmpkg, "check", "--key", str(key_file), str(target)])
        check(checked.returncode == exit_code and (exit_code == 1 or "check: ok" in checked.stdout)
              and ("signature: good" if exit_code == 0 else "refused: signature: ")
              in checked.stdout, f"check --key {name}: {checked.stdout}")
        print(f"done verify: {name}", flush=True)

    # sign: an earlier signature of ours is replaced; a foreign comment needs --drop-comment;
    # a package with bytes after its comment, or no package, is refused.
    other_key = work / "other.pem"
    commented = work / "commented.zip"
    commented.write_bytes(unsigned)
    subprocess.run(f"echo 'release 5.0' | zip -q -z {commented}", shell=True, check=True)
    not_zip = work / "not.zip"
    not_zip.write_bytes(b"MZ" * 5000)
    appended = work / "appended.zip"
    appended.write_bytes(signed + b"x")
    sign_cases = [
        ("re-signed with another key", [str(other_key), str(package)], 0, "an earlier signature"
         " replaced", other_public),
        ("a foreign comment", [str(key), str(commented)], 1, "not a Velmora signature", None),
        ("a foreign comment dropped", ["--drop-comment", str(key), str(commented)], 0,
         "earlier comment dropped", public),
        ("bytes after the comment", [str(key), str(appended)], 1, "bytes follow", None),
        ("not a package", [str(key), str(not_zip)], 1, "not a readable package", None),
        ("a public key to sign with", [str(public), str(plain), str(work / "y.zip")], 2, "", None),
    ]
    for name, arguments, exit_code, message, verify_with in sign_cases:
        target = pathlib.Path(arguments[-1])
        before = target.read_bytes() if target.exists() else None
        result = run([vmpkg, "sign", *arguments])
        check(result.returncode == exit_code and message in result.stdout,
              f"sign {name}: exit {result.returncode}: {result.stdout}{result.stderr}")
        if exit_code != 0:
            after = target.read_bytes() if target.exists() else None
            check(after == before, f"sign {name}: a refused signing wrote the file")
        if verify_with:
            verified = run([vmpkg, "verify", str(verify_with), arguments[-1]])
            check(verified.returncode == 0, f"sign {name}: verify: {verified.stdout}")
        print(f"done sign: {name}", flush=True)
    check(len(package.read_bytes()) == len(signed), "re-signing with a key of the same size "
                                                    "keeps the size")


def host_release_options(scratch):
    """The build's key and pin options through cmake/release_trust.cmake (as a cmake -P
    script): a usable key and pins become constants that compile; anything else stops the
    configure step with a message naming the option."""
    cmake, compiler = shutil.which("cmake"), shutil.which("c++")
    work = scratch / "release-options"
    work.mkdir()
    key_3072 = rsa_key(work, "good")[1]
    ec_key = openssl_key(work, "ec", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256")[1]
    der = work / "good.der"
    subprocess.run(["openssl", "pkey", "-pubin", "-in", str(key_3072), "-outform", "DER",
                    "-out", str(der)], check=True)
    modulus = run(["openssl", "rsa", "-pubin", "-in", str(key_3072), "-noout",
                   "-modulus"]).stdout.strip().split("=")[1]
    digest = "0123456789abcdefABCDEF0123456789abcdef0123456789abcdef0123456789"
    option = "VELMORA_PACKAGE_PUBLIC_KEY"
    rows = [
        ("every option empty", {}, None),
        ("a key and two pins",
         {option: key_3072, "VELMORA_RUNTIME_SHA256": digest,
          "VELMORA_UPDATE_X86_SHA256": digest.lower()}, None),
        ("a missing key", {option: work / "missing.pem"}, "no such file"),
        ("a key in DER", {option: der}, "is not in PEM form"),
        ("a private key", {option: work / "good.pem"}, "holds a private key"),
        ("an EC key", {option: ec_key}, "is not an RSA key"),
        ("a text file", {option: work / "good.der.txt"}, "is not an RSA public key"),
        ("1024 bits", {option: rsa_key(work, "small", 1024)[1]}, "1024 bits"),
        ("4104 bits", {option: rsa_key(work, "large", 4104)[1]}, "4104 bits"),
        ("2052 bits", {option: rsa_key(work, "odd", 2052)[1]}, "whole bytes"),
        ("an exponent of 2^32 + 1",
         {option: rsa_key(work, "exponent", 2048, "-pkeyopt",
                          "rsa_keygen_pubexp:4294967297")[1]}, "does not fit in 32 bits"),
        ("63 hex digits", {"VELMORA_RUNTIME_SHA256": digest[:63]}, "has 63 hex digits"),
        ("sha256sum's whole line", {"VELMORA_UPDATE_X64_SHA256": digest + "  x.exe"},
         "is not a SHA-256 in hex"),
        ("a letter beyond f", {"VELMORA_UPDATE_X86_SHA256": digest[:63] + "g"},
         "is not a SHA-256 in hex"),
    ]
    (work / "good.der.txt").write_text("not a key\n")
    for name, options, message in rows:
        header = work / "release_trust.h"
        header.unlink(missing_ok=True)
        result = run([cmake, f"-DVELMORA_TRUST_OUTPUT={header}",
                      *[f"-D{key}={value}" for key, value in options.items()],
                      "-P", str(ROOT / "cmake" / "release_trust.cmake")])
        if message is not None:
            named = next(iter(options))
            check(result.returncode != 0 and named in result.stderr
                  and message in " ".join(result.stderr.split()) and not header.exists(),
                  f"options: {name}: exit {result.returncode}: {result.stderr[-400:]}")
            print(f"done options: {name}", flush=True)
            continue
        keyed = option in options
        first = f"0x{modulus[:2]}" if keyed else "0"
        probe = work / "probe.cpp"
        probe.write_text(
            f'#include "{header}"\n'
            f"static_assert(vm::kPackageKeyModulusLength == {384 if keyed else 0});\n"
            f"static_assert(vm::kPackageKey.modulus[0] == {first});\n"
            f"static_assert(vm::kPackageKey.exponent == {65537 if keyed else 0});\n"
            f"static_assert(vm::kRuntimeInstallerPin.pinned == {str(keyed).lower()});\n"
            "static_assert(vm::kUpdateX86InstallerPin.digest.bytes[31] == "
            f"{'0x89' if keyed else 0});\n"
            "static_assert(!vm::kUpdateX64InstallerPin.pinned);\n"
            "static_assert(vm::kUpdateX64InstallerPin.digest.bytes[0] == 0);\n")
        compiled = run([compiler, "-std=c++17", "-fsyntax-only", f"-I{ROOT}", str(probe)])
        check(result.returncode == 0 and compiled.returncode == 0,
              f"options: {name}: {result.stderr[-300:]}{compiled.stderr[-600:]}")
        print(f"done options: {name}", flush=True)


# ------------------------------------------------------------------ Wine cases

def wine_cases(vmpkg_exe, state, scratch):
    """vmpkg.exe under Wine: Windows paths, drive letters and backslashes."""
    def wine(*arguments, zone="UTC0"):
        # One prefix per zone: its wineserver keeps the zone it was started with.
        return run([sys.executable, str(WINEENV), "run", str(state), f"archive-{zone}",
                    str(vmpkg_exe), *arguments], env=dict(os.environ, TZ=zone))

    def windows(path):
        return "Z:" + str(path).replace("/", "\\")

    names = CLIMBS + DRIVES + ABSOLUTE + COLONS + ["app/Z:\\" + str(scratch).replace("/", "\\")
                                                   .lstrip("\\") + "\\probe-w"]
    sandbox = scratch / "wine-hostile"
    (sandbox / "dest").mkdir(parents=True)
    package = sandbox / "p.zip"
    package.write_bytes(crafted([file_entry("app/good.txt", b"good"),
                                 file_entry("app/sub\\inner.txt", b"inner")] +
                                [file_entry(name) for name in names]))
    result = wine("extract", windows(package), windows(sandbox / "dest"))
    check(result.returncode == 1, f"wine hostile: exit {result.returncode}: {result.stderr}")
    got = sorted(p.relative_to(sandbox).as_posix() for p in sandbox.rglob("*"))
    check(got == ["dest", "dest/good.txt", "dest/sub", "dest/sub/inner.txt", "p.zip"],
          f"wine hostile: {got}")
    prefix_c = state / "prefixes" / "archive-UTC0" / "drive_c"
    for place in [pathlib.Path("/"), prefix_c, scratch]:
        check(not any(p.name.startswith("probe-") for p in place.iterdir()),
              f"wine hostile: a probe reached {place}")
    check("skipped: app/C:\\probe-m: unsafe name" in result.stderr, f"wine: {result.stderr}")
    print("done wine: hostile names", flush=True)

    for zone in ("UTC0", "JST-9"):
        env = dict(os.environ, TZ=zone)
        for name, maker in tool_cases()[:4]:
            case = f"wine: {name} [TZ={zone}]"
            work = scratch / f"wine-{abs(hash(case))}"
            work.mkdir()
            make_tree(work)
            archive = make_tool_archive(work, maker, env)
            expected = snapshot(unzip_tree(archive, work / "by-unzip", env))
            result = wine("extract", windows(archive), windows(work / "by-vmpkg"), zone=zone)
            check(result.returncode == 0, f"{case}: exit {result.returncode}: {result.stderr}")
            compare_trees(case, expected, snapshot(work / "by-vmpkg"))
            print(f"done {case}", flush=True)


# ------------------------------------------------------------------ seeds

def write_seeds(target):
    target.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        work = pathlib.Path(folder)
        for index, (name, maker) in enumerate(tool_cases()):
            case = work / f"tool{index}"
            case.mkdir()
            app = case / "app"
            app.mkdir()
            # Small trees keep the seeds fast to run.
            (app / "Velmora.exe").write_bytes(b"MZ" + bytes(range(256)) * 4)
            (app / "readme.txt").write_text("Velmora\r\n" * 50)
            (app / "sub").mkdir()
            (app / "sub" / "empty").write_bytes(b"")
            (app / "sub" / "ro.txt").write_text("ro")
            (app / "sub" / "ro.txt").chmod(0o444)
            archive = make_tool_archive(case, maker, dict(os.environ, TZ="UTC0"))
            (target / f"tool-{index:02d}.zip").write_bytes(archive.read_bytes())
    for index, (name, data, *_rest) in enumerate(hostile_cases()):
        if len(data) < 200_000:
            (target / f"hostile-{index:02d}.zip").write_bytes(data)
    print(f"seeds written to {target}")


def main(argv):
    if len(argv) < 3 or argv[1] not in ("host", "wine", "seeds"):
        print(__doc__, file=sys.stderr)
        return 2
    if argv[1] == "seeds":
        write_seeds(pathlib.Path(argv[2]))
        return 0
    with tempfile.TemporaryDirectory(prefix="velmora-conformance-") as folder:
        scratch = pathlib.Path(folder)
        try:
            if argv[1] == "host":
                vmpkg = str(pathlib.Path(argv[2]).resolve())
                host_conformance(vmpkg, scratch)
                host_hostile(vmpkg, scratch)
                host_check_reports(vmpkg, scratch)
                host_permissions(vmpkg, scratch)
                host_signatures(vmpkg, scratch)
                host_release_options(scratch)
            else:
                wine_cases(pathlib.Path(argv[2]).resolve(), pathlib.Path(argv[3]).resolve(),
                           scratch)
        finally:
            for path in scratch.rglob("*"):
                if not path.is_symlink():
                    path.chmod(0o755)
    print(f"{len(FAILURES)} failed" if FAILURES else "all passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
