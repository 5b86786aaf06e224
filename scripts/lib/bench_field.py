#!/usr/bin/env python3
"""Rows 9 and 10 of scripts/bench: what the field profile costs when nothing goes wrong.

    python3 scripts/lib/bench_field.py WIN32_BUILD [--runs N] [--system]

One machine under Wine, nginx serving a package of the sample application with 20,000,000
random bytes more (stored, so that downloading and writing dominate). The application is
installed once; then, alternating, the described installer updates it in place and the field
installer (the build's e2e-field, made as the e2e tests make it) updates it through App.new and
the switch. Row 9: seconds from start to exit of each. Row 10: the package's download alone,
in the milliseconds each installer logs for it. Medians of at least 5 runs. With --system both
installers download through WinINet (the e2e variants "system" and "field-system"): row 12 is
row 10 over the system transport (the update's time is shown without a row number).
"""
import argparse
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import run as e2e  # noqa: E402
import wineenv  # noqa: E402
import world as worlds  # noqa: E402

PACKAGE_LINE = re.compile(r"download /Velmora\.Html\.Windows/Live/\S+: status 2\d\d, .* (\d+) ms, "
                          r"complete")


def package(build, work):
    source = work / "source"
    app = worlds.application_tree(build, source)
    (app / "data" / "large.bin").write_bytes(random.Random(9).randbytes(20_000_000))
    return worlds.make_package(source, work / "large.vmpkg", method="-0")


def update(installation, exe):
    """One update over the installed application: (seconds to exit, the package's download ms)."""
    machine = installation.machine
    log = machine.temp / "Velmora" / "VelmoraInstaller.log"
    log.unlink(missing_ok=True)
    installer = machine.installer_copy("VelmoraInstaller.exe", exe=exe)
    started = time.perf_counter()
    result = subprocess.run(machine.command_prefix + ["wine", str(installer)],
                            env=machine.env(installation.environment()),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
    elapsed = time.perf_counter() - started
    if result.returncode != 0:
        raise RuntimeError(f"{exe or 'the described installer'} exited with {result.returncode}")
    found = PACKAGE_LINE.search(log.read_text(encoding="utf-8"))
    return elapsed, int(found.group(1)) if found else None


def run(win32_build, state, runs=5, system=False):
    build = pathlib.Path(win32_build).resolve()
    described = None  # the build's own
    if system:
        worlds.build_variants(build)
        described = worlds.variant_installer(build, "system")
        field = worlds.variant_installer(build, "field-system")
    else:
        field = worlds.make_field_installer(build)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-bench-field-", dir="/dev/shm"))
    machine = e2e.Machine(build, pathlib.Path(state), "bench-field")
    values = {"described": [], "field": [], "described_ms": [], "field_ms": []}
    try:
        tree = worlds.server_tree(build, work / "www", packages={"Live": package(build, work)})
        with worlds.World(build, "bench-field", root=tree) as world:
            machine.command_prefix = world.prefix
            installation = e2e.Installation(machine, world)
            installation.preinstall_prerequisites()
            subprocess.run(world.prefix + ["wineserver", "-p"], env=machine.env(), check=True)
            update(installation, described)  # installs it; warms Wine, nginx, the page cache
            for index in range(max(runs, 5)):
                order = ("described", "field") if index % 2 == 0 else ("field", "described")
                for name in order:
                    elapsed, milliseconds = update(installation,
                                                   field if name == "field" else described)
                    values[name].append(elapsed)
                    if milliseconds is not None:
                        values[name + "_ms"].append(milliseconds)
            machine.stop_wine()
    finally:
        machine.close()
        shutil.rmtree(work, ignore_errors=True)
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--system", action="store_true",
                        help="both over the system transport (row 12)")
    arguments = parser.parse_args()
    state = arguments.build.resolve() / "bench-wine"
    wineenv.setup(state)
    try:
        values = run(arguments.build, state, arguments.runs, arguments.system)
    finally:
        wineenv.cleanup(state)
    print("| Row | Measure | Field | Described | Field / described | Goal |")
    print("|---|---|---|---|---|---|")
    over = ", system transport" if arguments.system else ""
    for number, measure, key, unit, goal in (
            ("-" if arguments.system else 9,
             f"update of an installed application, start to exit (s){over}", "", "s", 1.15),
            (12 if arguments.system else 10, f"the package's download, as logged (ms){over}",
             "_ms", "ms", 1.02)):
        field, described = values["field" + key], values["described" + key]
        ratio = statistics.median(field) / statistics.median(described)
        print(f"| {number} | {measure} | {statistics.median(field):.2f} "
              f"({min(field):.2f}-{max(field):.2f}) | {statistics.median(described):.2f} "
              f"({min(described):.2f}-{max(described):.2f}) | {ratio:.3f} | <= {goal} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
