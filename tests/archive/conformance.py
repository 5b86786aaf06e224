#!/usr/bin/env python3
"""Conformance of the package archive with real ZIP tools, and hostile packages.

Every archive is made at test time: by Info-ZIP zip, 7-Zip, bsdtar and Python's zipfile from a
small application tree, or crafted byte by byte (hostile packages). Each is extracted with
`vmpkg extract` and the tree is compared, bytes and modification times, with what Info-ZIP
unzip extracts from the same archive; hostile packages must give a clear per-entry result and
write nothing outside DEST.

    conformance.py host VMPKG                  the host cases (run by ctest on the host build),
                                               signed packages (keys made by openssl at test
                                               time) and the build's key and pin options;
                                               VELMORA_NODE_CACHE: where the Node producer's
                                               library is installed (from the npm registry)
    conformance.py wine VMPKG_EXE WINE_STATE   drive-letter and backslash cases, and a few tool
                                               archives, with vmpkg.exe under Wine
    conformance.py seeds DIR                   writes every archive into DIR (fuzzing seeds)

`vmpkg pack` is checked here too: its packages against every tool and `vmpkg check`, their
determinism, and a table of folders it must refuse.
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

import tiny_pe

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
    # A PE image of version 5.0.3.0 (vmpkg check and pack look for it) and random bytes after it.
    (app / "Velmora.exe").write_bytes(tiny_pe.version_image((5, 0, 3, 0)) + os.urandom(19000))
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


YAZL_MAKER = r"""
// Zips app/ with yazl: folders by addEmptyDirectory, files by addFile (streamed, so with data
// descriptors), names sorted, modes and times from the files.
const fs = require("fs");
const path = require("path");
const yazl = require(process.argv[2]);
const zip = new yazl.ZipFile();
function walk(folder) {
  for (const name of fs.readdirSync(folder).sort()) {
    const full = path.join(folder, name);
    const status = fs.statSync(full);
    const options = {mtime: status.mtime, mode: status.mode};
    if (status.isDirectory()) {
      zip.addEmptyDirectory(full, options);
      walk(full);
    } else {
      zip.addFile(full, full, options);
    }
  }
}
walk("app");
zip.outputStream.pipe(fs.createWriteStream("x.zip"));
zip.end();
"""
YAZL_VERSION = "3.3.1"


def node_producer():
    """The path of the yazl module, installed from the npm registry into VELMORA_NODE_CACHE
    (once), or None with the reason printed when it cannot be had."""
    cache = pathlib.Path(os.environ.get("VELMORA_NODE_CACHE",
                                        pathlib.Path.home() / ".cache" / "velmora-node")).resolve()
    module = cache / "node_modules" / "yazl"
    if not shutil.which("node") or not shutil.which("npm"):
        print("skip yazl producer: node or npm is not installed", flush=True)
        return None
    if not (module / "package.json").exists():
        cache.mkdir(parents=True, exist_ok=True)
        try:
            installed = subprocess.run(
                ["npm", "install", "--prefix", str(cache), "--no-audit", "--no-fund",
                 "--no-save", f"yazl@{YAZL_VERSION}"], capture_output=True, text=True,
                timeout=180)
        except subprocess.TimeoutExpired:
            installed = None
        if installed is None or installed.returncode != 0 or not module.exists():
            why = "timed out" if installed is None else installed.stderr.strip()[-300:]
            print(f"skip yazl producer: the npm registry cannot be reached ({why})", flush=True)
            return None
    return module


def tool_cases(yazl=None):
    """(name, how to make x.zip in a folder holding app/). Strings run through the shell.
    `yazl`: the Node module's path, which adds the Node producer."""
    node = []
    if yazl is not None:
        node = [("yazl (Node)", lambda: (pathlib.Path("make.js").write_text(YAZL_MAKER),
                                         subprocess.run(["node", "make.js", str(yazl)],
                                                        check=True)))]
    return node + [
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
        # Java: folder entries without the folder attribute, data descriptors, no manifest.
        ("jar (Java)", "jar --create --no-manifest --file x.zip app"),
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
    return subprocess.run(command, capture_output=True, text=True, errors="replace", env=env,
                          cwd=cwd, timeout=600)


def unzip_tree(archive, into, env):
    subprocess.run(["unzip", "-o", "-q", str(archive), "-d", str(into)], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return into / "app"


def sevenzip_tree(archive, into, env):
    """7-Zip's extraction: the reference where Info-ZIP unzip misreads names (it ignores the
    UTF-8 flag of entries made on a FAT host, as jar makes them)."""
    subprocess.run(["7z", "x", "-y", "-bd", "-bso0", f"-o{into}", str(archive)], env=env,
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
    yazl = node_producer()
    for zone in ("UTC0", "JST-9"):
        env = dict(os.environ, TZ=zone)
        for name, maker in tool_cases(yazl):
            if zone != "UTC0" and "DOS times" not in name and "7-Zip" not in name \
                    and "jar" not in name:
                continue  # only archives without Unix times depend on the zone
            case = f"{name} [TZ={zone}]"
            work = scratch / f"tool-{len(FAILURES)}-{abs(hash(case))}"
            work.mkdir()
            make_tree(work)
            archive = make_tool_archive(work, maker, env)
            reference = sevenzip_tree if "jar" in name else unzip_tree
            expected = snapshot(reference(archive, work / "by-unzip", env))
            result = run([vmpkg, "extract", str(archive), str(work / "by-vmpkg")], env=env)
            compare_trees(case, expected, snapshot(work / "by-vmpkg"))
            checked = run([vmpkg, "check", str(archive)], env=env)
            check(checked.returncode == 0 and "check: ok" in checked.stdout,
                  f"{case}: check: {checked.stdout}")
            # check predicts extraction exactly: each harmless finding is one ArchiveNoFile.
            harmless = [line.split(": ")[1] for line in checked.stdout.splitlines()
                        if line.startswith("harmless: ")]
            failed = [line for line in result.stderr.splitlines() if "failed" in line]
            check(failed == [f"vmpkg: failed: {name}: ArchiveNoFile 0x200" for name in harmless]
                  and result.returncode == (1 if harmless else 0),
                  f"{case}: extract exit {result.returncode}: {result.stderr} "
                  f"after check: {checked.stdout}")
            if "jar" in name:
                check(harmless and "app/empty folder/" in harmless,
                      f"{case}: folder entries without the attribute not reported: "
                      f"{checked.stdout}")
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
    velmora = file_entry("app/Velmora.exe", tiny_pe.version_image((5, 0, 3, 0)))
    fat_folder = {"made_by": 0x0014, "attrs": 0}  # as jar writes folders: no attribute at all
    encrypted = scratch / "encrypted"
    (encrypted / "app").mkdir(parents=True)
    (encrypted / "app" / "Velmora.exe").write_bytes(tiny_pe.version_image((5, 0, 0, 0)))
    # zip draws the encryption header at random; one time in 256 its check byte happens to fit
    # the empty password too, and the entry then reads as corrupt data instead. Drawn again then.
    for _ in range(8):
        (encrypted / "x.zip").unlink(missing_ok=True)
        subprocess.run("zip -q -r -P secret x.zip app", shell=True, cwd=encrypted, check=True)
        if "encrypted with a password" in run([vmpkg, "check", str(encrypted / "x.zip")]).stdout:
            break
    big = scratch / "big"
    big.mkdir()
    (big / "app").mkdir()
    (big / "app" / "Velmora.exe").write_bytes(tiny_pe.version_image((5, 0, 0, 0)))
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
        ("a Velmora.exe of major version 4",
         crafted([file_entry("app/Velmora.exe", tiny_pe.version_image((4, 2, 0, 0)))]), 1,
         ["wrong version: app/Velmora.exe: its version resource says 4.2.0.0", "check: 1 problem"]),
        ("a Velmora.exe that is no program", crafted([file_entry("app/Velmora.exe", b"MZ")]), 1,
         ["wrong version: app/Velmora.exe: it is no Windows executable"]),
        ("a Velmora.exe without a version resource",
         crafted([file_entry("app/Velmora.exe", tiny_pe.version_image((5, 0, 0, 0),
                                                                      resources=False))]), 1,
         ["wrong version: app/Velmora.exe: it has no version resource"]),
        ("folder entries without the folder attribute",
         crafted([file_entry("app/", b"", **fat_folder), file_entry("app/empty/", b"", **fat_folder),
                  velmora]), 0,
         ["harmless: app/: folder entry without the folder attribute",
          "harmless: app/empty/: folder entry", "check: ok, 3 entries, 2 harmless findings"]),
        ("a folder name on an entry with data",
         crafted([file_entry("app/data/", b"lost", **fat_folder), velmora]), 1,
         ["fails: app/data/: a file entry whose name ends with a slash", "check: 1 problem"]),
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


# ------------------------------------------------------------------ vmpkg pack

def pack_records(package):
    """What pack promises about its records, read with Python's zipfile: problems found."""
    problems = []
    with zipfile.ZipFile(package) as archive:
        infos = archive.infolist()
        names = [info.filename for info in infos]
        if names != sorted(names, key=lambda name: name.encode()):
            problems.append(f"names not sorted: {names}")
        for info in infos:
            folder = info.filename.endswith("/")
            mode = info.external_attr >> 16
            if info.create_system != 3 or info.flag_bits & 0x08 or info.comment:
                problems.append(f"{info.filename}: made by {info.create_system}, flags "
                                f"{info.flag_bits:#x}")
            if len(info.extra) != 9 or info.extra[:5] != struct.pack("<HHB", 0x5455, 5, 1):
                problems.append(f"{info.filename}: extra fields {info.extra!r}")
                continue
            # The DOS time is the "UT" time in UTC, to the even second below.
            utc = time.gmtime(struct.unpack("<I", info.extra[5:9])[0] & ~1)
            if info.date_time != tuple(utc[:6]):
                problems.append(f"{info.filename}: DOS time {info.date_time}, UT {utc[:6]}")
            if folder != stat.S_ISDIR(mode) or folder != bool(info.external_attr & 0x10):
                problems.append(f"{info.filename}: folder attributes {info.external_attr:#x}")
            if info.compress_type not in (0, 8) or (info.compress_type == 8 and
                                                   info.compress_size >= info.file_size):
                problems.append(f"{info.filename}: method {info.compress_type}")
    return problems


def entry_spans(package):
    """Each entry's bytes, local header to the next entry's (or to the directory), by name."""
    data = pathlib.Path(package).read_bytes()
    with zipfile.ZipFile(package) as archive:
        infos = sorted(archive.infolist(), key=lambda info: info.header_offset)
        ends = [info.header_offset for info in infos[1:]] + [archive.start_dir]
    return {info.filename: data[info.header_offset:end] for info, end in zip(infos, ends)}


def pack_one(vmpkg, app, package, env=None):
    return run([vmpkg, "pack", str(app), str(package)], env=env)


def host_pack(vmpkg, scratch):
    """vmpkg pack: its package passes check, unzip -t, 7z t and bsdtar, extracts like the
    folder it came from with unzip and vmpkg, and comes out the same bytes from another path,
    another time zone and a second run."""
    work = scratch / "pack"
    work.mkdir()
    app = make_tree(work)
    (app / "run.sh").write_text("#!/bin/sh\n")
    (app / "run.sh").chmod(0o755)
    for path in [app, *app.rglob("*")]:
        os.utime(path, (FIXED_TIME, FIXED_TIME))
    env = dict(os.environ, TZ="UTC0")
    package = work / "x.vmpkg"
    packed = pack_one(vmpkg, app, package, env)
    check(packed.returncode == 0 and packed.stdout.startswith("packed 10 entries"),
          f"pack: exit {packed.returncode}: {packed.stdout} {packed.stderr}")
    for command in (["unzip", "-t", "-q", str(package)], ["7z", "t", "-bd", str(package)],
                    ["bsdtar", "-tf", str(package)], [vmpkg, "check", str(package)]):
        result = run(command)
        check(result.returncode == 0, f"pack: {command[0]} {command[1]}: {result.returncode} "
                                      f"{result.stdout[-300:]} {result.stderr[-300:]}")
    problems = pack_records(package)
    check(not problems, f"pack: records: {problems}")
    source = snapshot(app)
    for zone in ("UTC0", "JST-9"):
        zone_env = dict(os.environ, TZ=zone)
        by_unzip = unzip_tree(package, work / f"unzip-{zone}", zone_env)
        compare_trees(f"pack: unzip [TZ={zone}]", source, snapshot(by_unzip))
        extracted = run([vmpkg, "extract", str(package), str(work / f"vmpkg-{zone}")], zone_env)
        check(extracted.returncode == 0, f"pack: extract: {extracted.stderr}")
        compare_trees(f"pack: vmpkg extract [TZ={zone}]", source,
                      snapshot(work / f"vmpkg-{zone}"))
    check(not (by_unzip / "run.sh").stat().st_mode & 0o022 and
          (by_unzip / "run.sh").stat().st_mode & 0o100, "pack: run.sh's mode not 0755")

    # The same bytes again, from another path and in another time zone.
    elsewhere = scratch / "pack-elsewhere" / "deeper" / "application"
    shutil.copytree(app, elsewhere, symlinks=True)  # times and modes kept
    first = work / "first.vmpkg"
    pack_one(vmpkg, app, first, env)
    again = [pack_one(vmpkg, app, work / "again.vmpkg", env),
             pack_one(vmpkg, elsewhere, work / "elsewhere.vmpkg", dict(env, TZ="JST-9"))]
    check(all(result.returncode == 0 for result in again), f"pack again: {again}")
    for name in ("again.vmpkg", "elsewhere.vmpkg"):
        check((work / name).read_bytes() == first.read_bytes(), f"pack: {name} differs")

    # The next release changes one file: every other entry keeps its bytes (only its place may
    # move), so that a partial update copies it from the kept package.
    (app / "readme.txt").write_text("Velmora 5.1\r\n" * 2000)
    next_release = work / "next.vmpkg"
    check(pack_one(vmpkg, app, next_release, env).returncode == 0, "pack: next release")
    spans = [entry_spans(path) for path in (first, next_release)]
    changed = sorted(name for name, span in spans[1].items() if spans[0].get(name) != span)
    check(changed == ["app/readme.txt"], f"pack: entries whose bytes moved: {changed}")
    version = run([vmpkg, "version", str(first)])
    check(version.stdout == "5.0.3.0\n" and version.returncode == 0, f"version: {version}")

    # SOURCE_DATE_EPOCH caps every time.
    capped = work / "capped.vmpkg"
    result = pack_one(vmpkg, app, capped, dict(env, SOURCE_DATE_EPOCH=str(FIXED_TIME - 86400)))
    check(result.returncode == 0, f"pack: SOURCE_DATE_EPOCH: {result.stderr}")
    times = {value[2] for value in snapshot(unzip_tree(capped, work / "capped", env)).values()
             if value[0] == "file"}
    check(times == {FIXED_TIME - 86400}, f"pack: SOURCE_DATE_EPOCH gave times {times}")
    print("done pack: tools, trees and determinism", flush=True)
    host_pack_refusals(vmpkg, scratch)


def pack_refusal_cases():
    """(name, how to spoil a good app folder, text expected on stderr, exit code)."""
    def touch(name, data=b"x"):
        return lambda app: (app / name).write_bytes(data)

    def deep(app):
        folder = app
        for _ in range(30):
            folder = folder / "abcdefghi"
        folder.mkdir(parents=True)
        (folder / "f").write_bytes(b"f")

    def many(app):
        folder = app / "many"
        folder.mkdir()
        for index in range(65535):
            (folder / f"{index}").touch()

    def huge(app):
        with open(app / "huge.bin", "wb") as sparse:
            sparse.truncate(1 << 32)

    def velmora(data):
        return lambda app: (app / "Velmora.exe").write_bytes(data)

    return [
        ("a symbolic link", lambda app: (app / "link").symlink_to("readme.txt"),
         "app/link: a symbolic link", 1),
        ("a named pipe", lambda app: os.mkfifo(app / "pipe"), "app/pipe: a special file", 1),
        ("a character Windows refuses", touch("a<b"), "app/a<b: its name holds a character", 1),
        ("a trailing dot", touch("name."), "app/name.: its name ends with a dot", 1),
        ("a trailing blank in a folder", lambda app: (app / "dir ").mkdir(),
         "app/dir : its name ends with a dot or a blank", 1),
        ("a device name", touch("nul.txt"), "app/nul.txt: its name is a Windows device name", 1),
        ("names that differ in case", touch("README.TXT"),
         "app/README.TXT: its name differs from app/readme.txt only in the case", 1),
        ("a name that is no UTF-8", lambda app: (pathlib.Path(os.fsdecode(
            bytes(app) + b"/bad\xff"))).write_bytes(b"x"), "its name is no valid UTF-8", 1),
        ("a name of 260 bytes or more", deep, "bytes is too long (at most 259)", 1),
        ("more than 65,535 entries", many, "refused: package: more than 65535 entries", 1),
        ("a file of 4 GiB", huge, "app/huge.bin: 4 GiB or more", 1),
        ("a time after 2038", lambda app: os.utime(app / "readme.txt", (2**31 + 9, 2**31 + 9)),
         "app/readme.txt: its modification time lies before 1970 or after 2038-01-19", 1),
        ("too large for the download buffer",
         lambda app: (app / "noise.bin").write_bytes(os.urandom(51_000_000 - 2000)),
         "refused: package: larger than 50999487 bytes", 1),
        ("no Velmora.exe", lambda app: (app / "Velmora.exe").unlink(),
         "refused: app/Velmora.exe: missing", 1),
        ("Velmora.exe as a folder", lambda app: ((app / "Velmora.exe").unlink(),
                                                 (app / "Velmora.exe").mkdir()),
         "refused: app/Velmora.exe: missing", 1),
        ("a Velmora.exe of major version 4", velmora(tiny_pe.version_image((4, 9, 0, 0))),
         "app/Velmora.exe: its version resource says 4.9.0.0", 1),
        ("a Velmora.exe of major version 50", velmora(tiny_pe.version_image((50, 0, 0, 0),
                                                                             plus=True)),
         "app/Velmora.exe: its version resource says 50.0.0.0", 1),
        ("a Velmora.exe without a version resource",
         velmora(tiny_pe.version_image((5, 0, 0, 0), resources=False)),
         "app/Velmora.exe: it has no version resource", 1),
        ("a Velmora.exe that is no program", velmora(b"MZ" + os.urandom(5000)),
         "app/Velmora.exe: it is no Windows executable", 1),
        # A listing that breaks off (readdir_fault.c): in the first folder and in a subfolder.
        ("a listing that fails part-way", lambda app: None, "refused: app/: Input/output error",
         1, {"VELMORA_READDIR_FAIL_AFTER": "3"}),
        ("a subfolder's listing that fails", lambda app: None, "/: Input/output error", 1,
         {"VELMORA_READDIR_FAIL_AFTER": "9"}),
    ]


def host_pack_refusals(vmpkg, scratch):
    fault = os.environ.get("VELMORA_READDIR_FAULT")
    for index, (name, spoil, message, exit_code, *fault_env) in enumerate(pack_refusal_cases()):
        if fault_env and not fault:
            print(f"skipped pack refuses {name}: VELMORA_READDIR_FAULT names no library")
            continue
        work = scratch / f"refuse-{index}"
        work.mkdir()
        app = make_tree(work)
        spoil(app)
        out = work / "out"
        out.mkdir()
        env = dict(os.environ, LD_PRELOAD=fault, **fault_env[0]) if fault_env else None
        result = pack_one(vmpkg, app, out / "x.vmpkg", env)
        check(result.returncode == exit_code and message in result.stderr,
              f"pack refuses {name}: exit {result.returncode}: {result.stderr[-400:]}")
        check(not any(out.iterdir()), f"pack refuses {name}: left {list(out.iterdir())}")
        shutil.rmtree(work, ignore_errors=True)
        print(f"done pack refuses {name}", flush=True)
    work = scratch / "refuse-inside"
    work.mkdir()
    app = make_tree(work)
    result = pack_one(vmpkg, app, app / "x.vmpkg")
    check(result.returncode == 2 and "lies inside" in result.stderr and
          not (app / "x.vmpkg").exists(), f"pack into APPDIR: {result.stderr}")
    print("done pack refuses a package inside APPDIR", flush=True)


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
        ("a key and no package", [str(key)], 2, "", None),
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

    # pack --sign: the package verifies with the public key and is the unsigned pack's but for
    # the comment; with a key it cannot sign with, nothing is written at all.
    env = dict(os.environ, TZ="UTC0", SOURCE_DATE_EPOCH=str(FIXED_TIME))
    out = work / "packed"
    out.mkdir()
    unsigned_pack, signed_pack = out / "plain.vmpkg", out / "signed.vmpkg"
    packed = run([vmpkg, "pack", str(work / "app"), str(unsigned_pack)], env=env)
    packed_signed = run([vmpkg, "pack", "--sign", str(key), str(work / "app"), str(signed_pack)],
                        env=env)
    verified = run([vmpkg, "verify", str(public), str(signed_pack)])
    check(packed.returncode == 0 and packed_signed.returncode == 0 and
          packed_signed.stdout.endswith(", signed (RSA-3072, SHA-256)\n") and
          verified.returncode == 0, f"pack --sign: {packed_signed.stdout}{packed_signed.stderr}"
                                    f"{verified.stdout}")
    plain_bytes, signed_bytes = unsigned_pack.read_bytes(), signed_pack.read_bytes()
    listings = [run([vmpkg, "list", str(path)]).stdout for path in (unsigned_pack, signed_pack)]
    check(signed_bytes[:len(plain_bytes) - 2] == plain_bytes[:-2] and
          f": {len(signed_bytes)} bytes," in packed_signed.stdout and
          listings[0] == listings[1], "pack --sign: entries differ from the unsigned pack's")
    refused = run([vmpkg, "pack", "--sign", str(public), str(work / "app"), str(out / "x.vmpkg")])
    check(refused.returncode == 2 and sorted(p.name for p in out.iterdir()) ==
          ["plain.vmpkg", "signed.vmpkg"], f"pack --sign with a public key: {refused.stderr}")
    print("done pack --sign", flush=True)


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
    # The transport options through cmake/transport.cmake: HTTPS only with the system transport
    # (the socket client speaks no TLS), and only the two transports there are.
    for transport, https, expected in (
            ("socket", "OFF", "transport socket, port 80"),
            ("system", "OFF", "transport system, port 80"),
            ("system", "ON", "transport system, port 443"),
            ("socket", "ON", "VELMORA_HTTPS needs VELMORA_TRANSPORT=system"),
            ("winhttp", "OFF", 'VELMORA_TRANSPORT: "winhttp" is neither')):
        result = run([cmake, f"-DVELMORA_TRANSPORT={transport}", f"-DVELMORA_HTTPS={https}",
                      "-P", str(ROOT / "cmake" / "transport.cmake")])
        refused = expected.startswith("VELMORA_")
        check((result.returncode != 0) == refused and
              expected in " ".join((result.stdout + result.stderr).split()),
              f"transport {transport}, https {https}: exit {result.returncode}: "
              f"{result.stdout[-300:]}{result.stderr[-300:]}")
        print(f"done options: transport {transport}, https {https}", flush=True)


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
                host_pack(vmpkg, scratch)
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
