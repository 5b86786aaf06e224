#!/usr/bin/env python3
"""Runs the installer once under Wine in Xvfb, watched, and reports what the user would see."""
import argparse
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "harness"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import run as e2e  # noqa: E402
import wineenv  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--out", type=pathlib.Path, required=True)
    arguments = parser.parse_args()
    build, out = arguments.build.resolve(), arguments.out.resolve()
    state = build / "demo-wine"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)

    print("preparing Wine (a template prefix and a virtual display) ...", flush=True)
    wineenv.setup(state)
    machine = e2e.Machine(build, state, "demo")
    try:
        installer = machine.installer_copy("VelmoraInstaller.exe")
        shots = machine.work / "shots"
        print(f"running {machine.windows(installer)} ...", flush=True)
        record = machine.watch(installer, shots=shots)
        print("\nwhat the window received, in order:")
        for event in record.events:
            print("  " + "  ".join(event))
        pictures = []
        for bitmap in sorted(shots.glob("*.bmp")):
            picture = out / (bitmap.stem + ".png")
            subprocess.run(["convert", str(bitmap), str(picture)], check=True)
            pictures.append(picture)
        print(f"\nexit code: {record.exit_code()}")
        if pictures:
            print("screenshots of the window:")
            for picture in pictures:
                print(f"  {picture}")
        else:
            print("no screenshot was taken (the window never painted)")
        return 0 if record.exit_code() == 0 and pictures else 1
    finally:
        machine.close()
        wineenv.cleanup(state)


if __name__ == "__main__":
    sys.exit(main())
