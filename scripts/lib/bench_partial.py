#!/usr/bin/env python3
"""Row 13 of scripts/bench: a partial update against the whole download over a slow link.

    python3 scripts/lib/bench_partial.py HOST_RELEASE_BUILD [--runs N]

Row 2's folder (about 48 MB unpacked) packed by vmpkg, then again with three text documents and
every 40th small file rewritten (about 5 % of the package's bytes). nginx serves the new
package no faster than 10 MB/s (limit_rate 10m). Alternating, velmora-fetch --kept (the
installer's partial update: the end, then single ranges for the changed entries, rebuilt
against the old package) and velmora-fetch (the whole package) fetch it; the bytes each made
nginx send (its access log) and the seconds each took. Medians of at least 5 runs. nginx's
limit_rate lets each response's first second's worth (10 MB) through unlimited, so a partial
update's small ranges are not slowed: its time is also given as bytes / 10 MB/s.
"""
import argparse
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
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "tests" / "harness"))
sys.path.insert(0, str(ROOT / "tests" / "archive"))
import bench_extract  # noqa: E402
import servers  # noqa: E402
import tiny_pe  # noqa: E402

RATE = "10m"


def packages(vmpkg, work):
    """(old, new, changed share of the new package's bytes)."""
    program = work / "Velmora.exe"  # vmpkg pack wants a version 5 program
    program.write_bytes(tiny_pe.version_image((5, 0, 3, 0)))
    app, _ = bench_extract.make_folder(work, program)
    for path in [app, *app.rglob("*")]:
        os.utime(path, (1_700_000_000, 1_700_000_000))
    old, new = work / "old.vmpkg", work / "new.vmpkg"
    subprocess.run([vmpkg, "pack", str(app), str(old)], check=True, stdout=subprocess.DEVNULL)
    generator = random.Random(12)
    changed = sorted((app / "text").glob("doc0[5-7].txt")) + \
        sorted((app / "small").glob("f*.dat"))[::40]
    for path in changed:
        data = bytearray(path.read_bytes())
        for at in range(0, len(data), 64):
            data[at] = generator.randrange(97, 123)
        path.write_bytes(bytes(data))
    subprocess.run([vmpkg, "pack", str(app), str(new)], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(app)
    with zipfile.ZipFile(new) as archive:
        names = {"app/" + str(path.relative_to(app)) for path in changed}
        share = sum(info.compress_size + 30 + len(info.filename) for info in archive.infolist()
                    if info.filename in names) / new.stat().st_size
    return old, new, share


def run(host_build, runs=5):
    """{"partial"|"whole": {"seconds": [...], "bytes": [...]}, "share": changed share}."""
    fetch = pathlib.Path(host_build) / "tools" / "velmora-fetch" / "velmora-fetch"
    vmpkg = pathlib.Path(host_build) / "tools" / "vmpkg" / "vmpkg"
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-partial-", dir="/dev/shm"))
    try:
        old, new, share = packages(vmpkg, work)
        root = work / "root"
        root.mkdir()
        shutil.copyfile(new, root / "p.vmpkg")
        values = {"partial": {"seconds": [], "bytes": []}, "whole": {"seconds": [], "bytes": []},
                  "share": share, "package": new.stat().st_size}
        for _ in range(runs):
            for name, extra in (("partial", ["--kept", str(old)]), ("whole", [])):
                output = work / "out.vmpkg"
                with servers.Nginx(root, rate=RATE) as nginx:
                    started = time.perf_counter()
                    subprocess.run([str(fetch), *extra, "127.0.0.1", str(nginx.port), "/p.vmpkg",
                                    str(output)], check=True, capture_output=True)
                    elapsed = time.perf_counter() - started
                    sent = sum(entry[2] for entry in nginx.logged())
                if output.read_bytes() != new.read_bytes():
                    raise RuntimeError(f"{name}: the output is not the new package")
                values[name]["seconds"].append(elapsed)
                values[name]["bytes"].append(sent)
        return values
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("host_build")
    parser.add_argument("--runs", type=int, default=5)
    arguments = parser.parse_args()
    values = run(arguments.host_build, max(arguments.runs, 5))
    for name in ("partial", "whole"):
        values[name + "_median"] = {key: statistics.median(series)
                                    for key, series in values[name].items()}
    print(json.dumps(values, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
