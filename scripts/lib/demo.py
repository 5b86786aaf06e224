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
to OUT/signed and OUT/changed; beside each run's screenshots lie its log (VelmoraInstaller.log)
and what the watcher saw (watch.log).

A part that goes wrong says so in one line (which part, why, where its log is) and the demo goes
on with the next; it exits 1 only when the installer itself did not behave as described, not when
the demo's own machinery (Wine, the network, the watcher, the pictures) failed.
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


class PartFailed(Exception):
    """A part of the demo that did not go as described, and why; `log` is where to read more.
    `installer` says whether the installer (or the release that builds it) is at fault rather
    than the demo's own machinery."""

    def __init__(self, why, log, installer=True):
        super().__init__(why)
        self.log = log
        self.installer = installer


def awaits_an_answer(record):
    """Whether the last window the watcher saw is a message rather than the progress window (whose
    bar, control 1000, is listed after it): a run that then does not end waits for a click."""
    last = max((index for index, event in enumerate(record.events) if event[0] == "dialog"),
               default=None)
    return last is not None and not any(event[:2] == ("control", "1000")
                                        for event in record.events[last:])


def install(build, state, name, out, tree, site=None, exe=None):
    """One run of the installer (the build's, or `exe`) on a clean machine in a network where
    nginx serves `tree` (through `site` when given); prints the report, keeps the run's log and
    the watcher's record in `out` and returns what the run left: its exit code, whether it exited
    with 0, started anything, started the application, unpacked anything, showed the failure
    message, and whether the window was photographed. A run that does not end raises
    PartFailed."""
    machine = e2e.Machine(build, state, "e2e-" + name)
    out.mkdir(parents=True, exist_ok=True)
    try:
        with worlds.World(build, name, root=tree, site=site) as world:
            machine.command_prefix = world.prefix
            installation = e2e.Installation(machine, world)
            installer = machine.installer_copy("VelmoraInstaller.exe", exe=exe)
            print(f"running {machine.windows(installer)} on a clean machine ...", flush=True)
            shots = machine.work / "shots"
            stuck = None
            try:
                # The stand-in installers take a moment, as real ones would.
                record = machine.watch(installer, shots=shots, extra_env=installation.environment(
                    {"VELMORA_STANDIN_MS": "1500"}))
            except e2e.CaseFailed as failure:
                record = e2e.Record(machine.work / "watch.log", None)
                stuck = str(failure).splitlines()[0].rstrip(":")
            for kept in (machine.temp / "Velmora" / "VelmoraInstaller.log",
                         machine.work / "watch.log"):
                if kept.exists():
                    shutil.copyfile(kept, out / kept.name)
            if stuck:
                machine.stop_wine()
            else:
                installation.wait_for(lambda: "application" in installation.roles(), 30)
            pictures = []
            for bitmap in sorted(shots.glob("*.bmp")):
                picture = out / (bitmap.stem + ".png")
                subprocess.run(["convert", str(bitmap), str(picture)], check=True)
                pictures.append(picture)
            report(installation, record, pictures)
            machine.stop_wine()
            if stuck and awaits_an_answer(record):
                raise PartFailed(stuck + " with a message on the screen that the watcher did not "
                                 "answer", out / "watch.log", installer=False)
            if stuck:
                raise PartFailed(stuck, out / "VelmoraInstaller.log")
            return {"exited": record.exit_code() == 0, "code": record.exit_code(),
                    "ran": bool(installation.standins()),
                    "started": "application" in installation.roles(),
                    "unpacked": machine.app_folder.exists(),
                    "message": any(event[:2] == ("control", "1001") for event in record.events),
                    "pictures": bool(pictures), "log": out / "VelmoraInstaller.log"}
    finally:
        machine.close()


def signed_release(build, work, log):
    """A throwaway package key pair made with openssl, and scripts/release's Live release with
    it: a signed package, the installer built with its public key and the prerequisites' pins.
    scripts/release's output is printed and kept in `log`."""
    key, public = work / "package.key", work / "package.pub"
    subprocess.run(["openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                    "rsa_keygen_bits:3072", "-out", str(key)], check=True)
    subprocess.run(["openssl", "pkey", "-in", str(key), "-pubout", "-out", str(public)],
                   check=True)
    application = worlds.application_tree(build, work / "application")
    prerequisites = worlds.prerequisites_folder(build, work / "prerequisites")
    dist = work / "release"
    log.parent.mkdir(parents=True, exist_ok=True)
    made = subprocess.run([str(ROOT / "scripts" / "release"), "--host",
                           worlds.download_host(build), "--site", worlds.website(build), "--app",
                           str(application), "--prerequisites", str(prerequisites), "--channel",
                           "Live", "--out", str(dist), "--package-key", str(key), "--public-key",
                           str(public), "--build", str(build / "demo-release")],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    log.write_text(made.stdout)
    print(made.stdout, end="")
    if made.returncode != 0:
        raise PartFailed(f"scripts/release exited with {made.returncode}", log)
    return dist


def described_installation(build, state, out, work, release):
    run = install(build, state, "demo", out, worlds.server_tree(build, work / "www"))
    if not (run["exited"] and run["started"]):
        raise PartFailed(f"the installation did not complete (exit code {run['code']})",
                         run["log"])
    if not run["pictures"]:
        raise PartFailed("no screenshots were taken", out, installer=False)
    return "installation complete"


def signed_package(build, state, out, work, release):
    release["dist"] = dist = signed_release(build, work, out / "signed" / "release.log")
    run = install(build, state, "demo-signed", out / "signed", dist / "www",
                  dist / "nginx-velmora.conf", dist / "installer" / "VelmoraInstaller.exe")
    if not (run["exited"] and run["started"]):
        raise PartFailed(f"the signed package did not install (exit code {run['code']})",
                         run["log"])
    if not run["pictures"]:
        raise PartFailed("no screenshots were taken", out / "signed", installer=False)
    return "the signed package installed"


def changed_package(build, state, out, work, release):
    if "dist" not in release:
        raise PartFailed("there is no signed release to change", out / "signed" / "release.log",
                         installer=False)
    dist = release["dist"]
    package = dist / "www" / worlds.package_path("Live").lstrip("/")
    changed = bytearray(package.read_bytes())
    changed[len(changed) // 2] ^= 0x01
    package.write_bytes(bytes(changed))
    run = install(build, state, "demo-changed", out / "changed", dist / "www",
                  dist / "nginx-velmora.conf", dist / "installer" / "VelmoraInstaller.exe")
    if run["code"] != e2e.SIGNATURE_REFUSED or run["ran"] or run["unpacked"]:
        raise PartFailed(f"the changed package was not refused (exit code {run['code']}, "
                         f"started {'something' if run['ran'] else 'nothing'}, "
                         f"unpacked {'something' if run['unpacked'] else 'nothing'})", run["log"])
    if not run["message"]:
        raise PartFailed("the failure message was not shown", run["log"])
    messages = sorted((out / "changed").glob("*-dialog.png"))
    print("\nthe failure message: " + (str(messages[0]) if messages else "(not photographed)"))
    if not messages:
        raise PartFailed("the failure message was not photographed", out / "changed" / "watch.log",
                         installer=False)
    return "refused: nothing was run, unpacked, registered or started"


PARTS = (("part 1, the described installation", described_installation),
         ("part 2, signed packages: a release made with scripts/release and a throwaway key",
          signed_package),
         ("part 3, the same package with one byte changed", changed_package))


def failure_line(title, failure):
    """One line for a part that failed: which part, why, where to read more."""
    if isinstance(failure, PartFailed):
        verdict = "failed" if failure.installer else "could not be shown"
        return f"{title} {verdict}: {failure}; log: {failure.log}"
    why = str(failure).strip().splitlines()
    return (f"{title}: the demo could not run it: {type(failure).__name__}"
            f"{': ' + why[0] if why else ''}; log: the output above")


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
    failures, installer_failed = [], False
    try:
        wineenv.setup(state)
        release = {}
        for title, part in PARTS:
            print(f"\n---- {title}", flush=True)
            try:
                print("\n" + part(build, state, out, work, release))
            except Exception as failure:  # one line for it; the next part runs all the same
                failures.append(failure_line(title, failure))
                installer_failed |= isinstance(failure, PartFailed) and failure.installer
                print("\n" + failures[-1], flush=True)
    except Exception as failure:
        failures.append(failure_line("preparing Wine", failure))
    finally:
        try:
            wineenv.cleanup(state)
        except Exception as failure:
            failures.append(failure_line("cleaning up", failure))
        shutil.rmtree(work, ignore_errors=True)
    print("\n---- " + ("every part went as described" if not failures else
                        "not every part went as described:"))
    for line in failures:
        print(line)
    return 1 if installer_failed else 0


if __name__ == "__main__":
    sys.exit(main())
