#!/usr/bin/env python3
"""One real installation, as a user on a clean Windows machine would see it.

nginx serves the sample tree (prerequisite installers and a package built from the stand-ins)
inside a private network in which the installer's fixed download host is 127.0.0.1; the unchanged
VelmoraInstaller.exe runs under Wine in a virtual display, watched. The report lists what the
window showed, the installed files, the uninstall registration, the shortcuts and the launch, and
leaves a screenshot of the window at every state.
"""
import argparse
import pathlib
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import run as e2e  # noqa: E402
import wineenv  # noqa: E402
import world as worlds  # noqa: E402


def report(installation, record, pictures):
    machine = installation.machine
    print("\nwhat the window showed, in order:")
    last_position = None
    for event in record.events:
        if event[0] == "position":  # one line per download is enough
            last_position = event[1]
            continue
        if last_position is not None:
            print(f"  progress reached {last_position}%")
            last_position = None
        if event[0] in ("status", "marquee", "close", "destroyed", "exit", "dialog"):
            print("  " + "  ".join(event))
    print("\nrequests the download server answered:")
    for path in installation.world.requests():
        print(f"  GET {path}")
    print("\nprograms the run started:")
    for event in installation.standins():
        print("  " + "  ".join(event))
    print(f"\ninstalled files below {machine.windows(machine.app_folder)}:")
    for path in sorted(machine.app_folder.rglob("*")):
        if path.is_file():
            print(f"  {path.relative_to(machine.app_folder)}  ({path.stat().st_size} bytes)")
    print("\nuninstall registration (HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\"
          "Uninstall\\Velmora):")
    for name, (kind, data) in (machine.user_registry_key(e2e.UNINSTALL_KEY) or {}).items():
        print(f"  {name} = {kind}:{data!r}")
    print("\nshortcuts:")
    for folder in (machine.desktop, machine.start_menu):
        link = folder / "Velmora 5.lnk"
        target = e2e.shortcut_target(link) if link.exists() else "(missing)"
        print(f"  {machine.windows(link)} -> {target}")
    print(f"\nexit code: {record.exit_code()}")
    print("screenshots of the window:")
    for picture in pictures:
        print(f"  {picture}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--out", type=pathlib.Path, required=True)
    arguments = parser.parse_args()
    build, out = arguments.build.resolve(), arguments.out.resolve()
    state = build / "demo-wine"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-demo-"))

    print("preparing Wine (a template prefix and a virtual display) and the download server ...",
          flush=True)
    wineenv.setup(state)
    machine = e2e.Machine(build, state, "e2e-demo")
    try:
        tree = worlds.server_tree(build, work / "www")
        with worlds.World(build, "demo", root=tree) as world:
            machine.command_prefix = world.prefix
            installation = e2e.Installation(machine, world)
            installer = machine.installer_copy("VelmoraInstaller.exe")
            print(f"running {machine.windows(installer)} on a clean machine ...", flush=True)
            shots = machine.work / "shots"
            # The stand-in installers take a moment, as real ones would.
            record = machine.watch(installer, shots=shots, extra_env=installation.environment(
                {"VELMORA_STANDIN_MS": "1500"}))
            installation.wait_for(lambda: "application" in installation.roles(), 30)
            pictures = []
            for bitmap in sorted(shots.glob("*.bmp")):
                picture = out / (bitmap.stem + ".png")
                subprocess.run(["convert", str(bitmap), str(picture)], check=True)
                pictures.append(picture)
            report(installation, record, pictures)
            machine.stop_wine()
        ok = record.exit_code() == 0 and "application" in installation.roles() and pictures
        print("\ninstallation complete" if ok else "\nthe installation did not complete")
        return 0 if ok else 1
    finally:
        machine.close()
        wineenv.cleanup(state)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
