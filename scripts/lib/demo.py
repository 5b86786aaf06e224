#!/usr/bin/env python3
"""One real installation, as a user on a clean Windows machine would see it.

nginx serves the sample tree (prerequisite installers and a package built from the stand-ins)
inside a private network in which the installer's fixed download host is 127.0.0.1; the unchanged
VelmoraInstaller.exe runs under Wine in a virtual display, watched. The report lists what the
window showed, the installed files, the uninstall registration, the shortcuts and the launch, and
leaves a screenshot of the window at every state.

Then signed packages: scripts/release makes a Live release with a throwaway key pair (the
installer built with its public key and the prerequisites' pins); the signed package installs,
and the same package with one byte changed is refused with nothing installed. scripts/release
builds the field profile, so that refusal ends with the failure message (its sentence, the log's
path, Retry and Close), photographed as OUT/changed/NN-dialog.png. Screenshots of those runs go
to OUT/signed and OUT/changed.
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
        if event[0] == "marquee":  # the switch, and the position the bar reported after it
            print(f"  marquee  {event[1]}  (bar at {event[2]}%)")
        elif event[0] in ("status", "close", "destroyed", "exit", "dialog", "user-retry"):
            print("  " + "  ".join(event))
        elif event[0] == "control" and event[1] in ("1001", "1002"):  # the failure message
            print("    " + event[3])
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
    log = machine.temp / "Velmora" / "VelmoraInstaller.log"
    print(f"the installer's log ({machine.windows(log)}):")
    for line in (log.read_text(encoding="utf-8").splitlines() if log.exists() else []):
        print("  " + line)
    print("screenshots of the window:")
    for picture in pictures:
        print(f"  {picture}")


def install(build, state, name, out, tree, site=None, exe=None):
    """One run of the installer (the build's, or `exe`) on a clean machine in a network where
    nginx serves `tree` (through `site` when given); prints the report and returns what the run
    left: whether it exited with 0, started anything, started the application, unpacked anything,
    and whether the window was photographed."""
    machine = e2e.Machine(build, state, "e2e-" + name)
    try:
        with worlds.World(build, name, root=tree, site=site) as world:
            machine.command_prefix = world.prefix
            installation = e2e.Installation(machine, world)
            installer = machine.installer_copy("VelmoraInstaller.exe", exe=exe)
            print(f"running {machine.windows(installer)} on a clean machine ...", flush=True)
            shots = machine.work / "shots"
            # The stand-in installers take a moment, as real ones would.
            record = machine.watch(installer, shots=shots, extra_env=installation.environment(
                {"VELMORA_STANDIN_MS": "1500"}))
            installation.wait_for(lambda: "application" in installation.roles(), 30)
            out.mkdir(parents=True, exist_ok=True)
            pictures = []
            for bitmap in sorted(shots.glob("*.bmp")):
                picture = out / (bitmap.stem + ".png")
                subprocess.run(["convert", str(bitmap), str(picture)], check=True)
                pictures.append(picture)
            report(installation, record, pictures)
            machine.stop_wine()
            return {"exited": record.exit_code() == 0, "code": record.exit_code(),
                    "ran": bool(installation.standins()),
                    "started": "application" in installation.roles(),
                    "unpacked": machine.app_folder.exists(), "pictures": bool(pictures)}
    finally:
        machine.close()


def signed_release(build, work):
    """A throwaway package key pair made with openssl, and scripts/release's Live release with
    it: a signed package, the installer built with its public key and the prerequisites' pins."""
    key, public = work / "package.key", work / "package.pub"
    subprocess.run(["openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                    "rsa_keygen_bits:3072", "-out", str(key)], check=True)
    subprocess.run(["openssl", "pkey", "-in", str(key), "-pubout", "-out", str(public)],
                   check=True)
    application = worlds.application_tree(build, work / "application")
    prerequisites = worlds.prerequisites_folder(build, work / "prerequisites")
    dist = work / "release"
    subprocess.run([str(ROOT / "scripts" / "release"), "--host", worlds.download_host(build),
                    "--site", worlds.website(build), "--app", str(application),
                    "--prerequisites", str(prerequisites), "--channel", "Live", "--out",
                    str(dist), "--package-key", str(key), "--public-key", str(public),
                    "--build", str(build / "demo-release")], check=True)
    return dist


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
    try:
        run = install(build, state, "demo", out, worlds.server_tree(build, work / "www"))
        ok = run["exited"] and run["started"] and run["pictures"]
        print("\ninstallation complete" if ok else "\nthe installation did not complete")

        print("\n---- signed packages: a release made with scripts/release and a throwaway key",
              flush=True)
        dist = signed_release(build, work)
        exe = dist / "installer" / "VelmoraInstaller.exe"
        site = dist / "nginx-velmora.conf"
        run = install(build, state, "demo-signed", out / "signed", dist / "www", site, exe)
        signed = run["exited"] and run["started"] and run["pictures"]
        print("\nthe signed package installed" if signed else
              "\nthe signed package did not install")

        print("\n---- the same package with one byte changed", flush=True)
        package = dist / "www" / worlds.package_path("Live").lstrip("/")
        changed = bytearray(package.read_bytes())
        changed[len(changed) // 2] ^= 0x01
        package.write_bytes(bytes(changed))
        run = install(build, state, "demo-changed", out / "changed", dist / "www", site, exe)
        refused = run["code"] == e2e.SIGNATURE_REFUSED and not run["ran"] and \
            not run["unpacked"] and run["pictures"]
        messages = sorted((out / "changed").glob("*-dialog.png"))
        print("\nthe failure message: " + (str(messages[0]) if messages else "(not shown)"))
        refused = refused and bool(messages)
        print("\nrefused: nothing was run, unpacked, registered or started" if refused else
              "\nthe changed package was not refused")
        return 0 if ok and signed and refused else 1
    finally:
        wineenv.cleanup(state)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
