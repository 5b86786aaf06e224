#!/usr/bin/env python3
"""Whole runs of the real VelmoraInstaller.exe under Wine and Xvfb, observed from outside.

Every case gets its own copy of the template prefix. The installer runs through velmora-watch,
whose hook records every status text, marquee switch and progress position the window receives
(tests/fixtures/watch_hook.c); the case then checks that record, the exit code and what the run
left behind.

    run.py --build BUILD --state STATE --case NAME     one case (ctest runs each one)
    run.py --list                                      the case names
"""
import argparse
import getpass
import pathlib
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
import wineenv  # noqa: E402

REFUSAL_CAPTION = "Windows Version Not Supported"
REFUSAL_TEXT = ("Sorry, your version of Windows is not supported by Velmora 5.  Please update to a "
                "more recent version of Windows or use Velmora 4, downloadable from our website.")
RUN_TIMEOUT = 180


class CaseFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailed(message)


class Machine:
    """One throw-away Windows machine: a prefix copy with its own HOME."""

    def __init__(self, build, state, name):
        self.build = build
        self.state = state
        self.name = name
        wineenv.drop_prefix(state, name)
        self.prefix, self.home = wineenv.ensure_prefix(state, name)
        self.user = getpass.getuser()
        self.work = self.prefix / "drive_c" / "velmora-test"
        self.work.mkdir(parents=True, exist_ok=True)

    def close(self):
        wineenv.drop_prefix(self.state, self.name)

    # ---- paths
    def unix(self, windows_path):
        """The Unix path of a C: path inside this prefix."""
        check(windows_path[:3].upper() == "C:\\", f"not a C: path: {windows_path}")
        return self.prefix / "drive_c" / windows_path[3:].replace("\\", "/")

    def windows(self, unix_path):
        relative = pathlib.Path(unix_path).relative_to(self.prefix / "drive_c")
        return "C:\\" + str(relative).replace("/", "\\")

    @property
    def downloads(self):
        folder = self.prefix / "drive_c" / "users" / self.user / "Downloads"
        folder.mkdir(parents=True, exist_ok=True)
        return folder

    def fixture(self, name):
        return self.build / "tests" / "fixtures" / name

    def installer_copy(self, file_name, folder=None):
        """A copy of the installer under `file_name` (in Downloads unless told otherwise)."""
        folder = folder or self.downloads
        target = folder / file_name
        shutil.copyfile(self.build / "ui" / "VelmoraInstaller.exe", target)
        return target

    # ---- running programs
    def env(self, extra=None):
        return wineenv.environment(self.state, self.prefix, self.home, extra)

    def wine(self, *arguments, extra_env=None, timeout=RUN_TIMEOUT, capture=True):
        return subprocess.run(["wine", *map(str, arguments)], env=self.env(extra_env),
                              capture_output=capture, text=True, timeout=timeout)

    def set_windows_version(self, version):
        self.wine("winecfg", "-v", version)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=120)

    def watch(self, program, extra_env=None, shots=None):
        """Runs `program` (a Unix path inside the prefix) under the watcher; returns the record."""
        for name in ("velmora-watch.exe", "watch_hook.dll"):
            shutil.copyfile(self.fixture(name), self.work / name)
        log = self.work / "watch.log"
        log.unlink(missing_ok=True)
        environment = dict(extra_env or {})
        if shots:
            shots.mkdir(parents=True, exist_ok=True)
            environment["VELMORA_WATCH_SHOTS"] = self.windows(shots)
        result = self.wine(self.work / "velmora-watch.exe", self.windows(log), self.windows(program),
                           extra_env=environment)
        return Record(log, result.returncode)


class Record:
    """What the watcher saw: events in order, each a tuple of the line's fields."""

    def __init__(self, log, returncode):
        text = log.read_text(encoding="utf-8") if log.exists() else ""
        self.events = [tuple(line.split("\t")) for line in text.splitlines() if line]
        self.returncode = returncode

    def kinds(self, *kinds):
        return [event for event in self.events if event[0] in kinds]

    def statuses(self):
        return [event[1] for event in self.kinds("status")]

    def exit_code(self):
        exits = self.kinds("exit")
        return int(exits[-1][1]) if exits else None

    def dump(self):
        return "\n".join("\t".join(event) for event in self.events)


# ---------------------------------------------------------------- cases

def case_window_shows_and_closes(machine):
    """The progress window appears as designed, the worker closes it, the exit code is 0."""
    record = machine.watch(machine.installer_copy("VelmoraInstaller.exe"))
    check(("dialog", "Velmora Installer") in record.events, "no progress window:\n" + record.dump())
    check(("control", "-1", "Static", "[Message]") in record.events,
          "status line missing or not the placeholder:\n" + record.dump())
    check(("control", "1000", "msctls_progress32", "") in record.events,
          "progress bar missing:\n" + record.dump())
    check(record.kinds("close") and record.kinds("destroyed"),
          "the worker did not close the window:\n" + record.dump())
    check(record.exit_code() == 0, f"exit code {record.exit_code()}")


def case_second_copy_is_refused(machine):
    """Only one VelmoraInstaller.exe runs at a time; a channel-named copy is not counted."""
    elsewhere = machine.work / "elsewhere"
    elsewhere.mkdir()
    holder = elsewhere / "VelmoraInstaller.exe"
    shutil.copyfile(machine.fixture("standin-plain.exe"), holder)
    started, stop = machine.work / "holder.started", machine.work / "holder.stop"
    running = subprocess.Popen(["wine", str(holder), "--record", machine.windows(started),
                                "--until", machine.windows(stop)], env=machine.env(),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(600):
            if started.exists():
                break
            time.sleep(0.1)
        check(started.exists(), "the stand-in named VelmoraInstaller.exe did not start")

        second = machine.watch(machine.installer_copy("VelmoraInstaller.exe"))
        check(second.exit_code() == 1, f"second copy exit code {second.exit_code()}")
        check(not second.kinds("dialog"), "the second copy showed a window:\n" + second.dump())

        beta = machine.watch(machine.installer_copy("VelmoraInstaller-Beta.exe"))
        check(beta.exit_code() == 0, f"Beta copy exit code {beta.exit_code()}")
        check(("dialog", "Velmora Installer") in beta.events,
              "the Beta copy showed no window:\n" + beta.dump())
    finally:
        stop.write_text("")
        running.wait(timeout=60)


def case_old_windows_is_refused(machine):
    """Below Windows Vista the refusal box appears with its exact caption and text; exit code 1."""
    machine.set_windows_version("winxp64")
    record = machine.watch(machine.installer_copy("VelmoraInstaller.exe"))
    check(("dialog", REFUSAL_CAPTION) in record.events, "no refusal box:\n" + record.dump())
    texts = [event[3] for event in record.kinds("control") if len(event) > 3]
    check(REFUSAL_TEXT in texts, "refusal text differs:\n" + record.dump())
    check(("dialog", "Velmora Installer") not in record.events, "the progress window appeared")
    check(record.exit_code() == 1, f"exit code {record.exit_code()}")


def case_manifest_declares_windows_10(machine):
    """The installer's manifest makes Windows 10 report 10.0 (6.2 without it)."""
    machine.set_windows_version("win10")
    versions = {}
    for probe in ("version-probe.exe", "version-probe-plain.exe"):
        shutil.copyfile(machine.fixture(probe), machine.work / probe)
        versions[probe] = machine.wine(machine.work / probe).stdout.strip()
    check(versions["version-probe.exe"] == "10.0", f"with the manifest: {versions}")
    check(versions["version-probe-plain.exe"] == "6.2", f"without the manifest: {versions}")


CASES = {
    "window_shows_and_closes": case_window_shows_and_closes,
    "second_copy_is_refused": case_second_copy_is_refused,
    "old_windows_is_refused": case_old_windows_is_refused,
    "manifest_declares_windows_10": case_manifest_declares_windows_10,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path)
    parser.add_argument("--state", type=pathlib.Path)
    parser.add_argument("--case")
    parser.add_argument("--list", action="store_true")
    arguments = parser.parse_args()
    if arguments.list:
        print(";".join(CASES))
        return 0
    machine = Machine(arguments.build.resolve(), arguments.state.resolve(), "e2e-" + arguments.case)
    try:
        CASES[arguments.case](machine)
    except CaseFailed as failure:
        print(f"FAILED {arguments.case}: {failure}", file=sys.stderr)
        return 1
    finally:
        machine.close()
    print(f"passed {arguments.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
