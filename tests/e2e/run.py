#!/usr/bin/env python3
"""Whole runs of the real VelmoraInstaller.exe under Wine and Xvfb, observed from outside.

One table of cases (CASES) over one world: each row, written with @case above its test, names
what the case needs - what the download server serves (nginx with the sample tree, some packages
replaced; a scripted server; nothing), prerequisites present, the Windows version, TEMP - and
run_case sets that up around a fresh copy of the template prefix before the test runs. The
installer runs through velmora-watch, whose hook records every status text, marquee switch and
progress position the window receives (tests/fixtures/watch_hook.c); the test then checks that
record, the exit code and what the run left behind.

    run.py --build BUILD --state STATE --case NAME     one case (ctest runs each one)
    run.py --list                                      the case names
    run.py --list-release                              the cases that install from a release
    run.py --build BUILD --make-release                scripts/release's release for them, in
                                                       BUILD/e2e-release (a ctest fixture)
    run.py --list-variants                             the cases that run an installer built
                                                       with the transport options
    run.py --build BUILD --make-variants               those installers, in BUILD/e2e-variants
                                                       (a ctest fixture)
    run.py --list-field                                the cases of the field profile
    run.py --build BUILD --make-field                  the field profile's installer for them,
                                                       in BUILD/e2e-field (a ctest fixture)
"""
import argparse
import contextlib
import dataclasses
import filecmp
import getpass
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
import wineenv  # noqa: E402
import world as worlds  # noqa: E402

STATUS_DEPENDENCIES = "Downloading dependencies..."
STATUS_PACKAGE = "Downloading Velmora..."
STATUS_WAITING = "Waiting for Velmora to close..."
STATUS_INSTALLING_DEPENDENCIES = "Installing dependencies... (this may take a few minutes)"
STATUS_INSTALLING = "Installing Velmora..."
RUNTIME_KEY = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4"
UPDATE_KEY = r"HKLM\SOFTWARE\Microsoft\Updates\Microsoft .NET Framework 4 Client Profile\KB2468871"
UNINSTALL_KEY = r"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora"
REFUSAL_CAPTION = "Windows Version Not Supported"
REFUSAL_TEXT = ("Sorry, your version of Windows is not supported by Velmora 5.  Please update to a "
                "more recent version of Windows or use Velmora 4, downloadable from our website.")
RUN_TIMEOUT = 180
SKIPPED = 77  # the exit code that ctest takes for a skip (SKIP_RETURN_CODE)
RUNTIME_PATH = "/DotNetFX40/" + worlds.RUNTIME_FILE
# The installer's exit codes (README, "Exit codes").
INSTALLED, NOT_ADMITTED, CLOSED_BY_USER, WORKER_NOT_STARTED = 0, 1, 2, 5
RUNTIME_DOWNLOAD_FAILED, PACKAGE_DOWNLOAD_FAILED = 10, 12
RUNTIME_PIN_REFUSED, SIGNATURE_REFUSED, NOT_AN_ARCHIVE, RUNTIME_NOT_WRITTEN = 13, 15, 16, 17
APPLICATION_DAMAGED, LAUNCH_FAILED = 31, 32
NO_SPACE, FILE_HELD = 41, 43  # the field profile's
DOWNGRADE_REFUSED = 48  # builds with a package key


class CaseFailed(Exception):
    pass


class CaseSkipped(Exception):
    """The machine cannot provide what the case needs (a mount, an immutable file)."""


def check(condition, message):
    if not condition:
        raise CaseFailed(message)


class Machine:
    """One throw-away Windows machine: a prefix copy with its own HOME."""

    def __init__(self, build, state, name, prefix=()):
        self.build = build
        self.state = state
        self.name = name
        self.command_prefix = list(prefix)  # e.g. the network namespace of the case
        wineenv.drop_prefix(state, name)
        self.prefix, self.home = wineenv.ensure_prefix(state, name)
        self.user = getpass.getuser()
        self.work = self.prefix / "drive_c" / "velmora-test"
        self.work.mkdir(parents=True, exist_ok=True)
        self.temp = self.profile / "Temp"  # the user's TEMP (unless a case moves it)

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

    def installer_copy(self, file_name, folder=None, exe=None):
        """A copy of the installer (of the build, or `exe`) under `file_name`, in Downloads
        unless told otherwise."""
        folder = folder or self.downloads
        target = folder / file_name
        shutil.copyfile(exe or self.build / "ui" / "VelmoraInstaller.exe", target)
        return target

    # ---- running programs
    def env(self, extra=None):
        return wineenv.environment(self.state, self.prefix, self.home, extra)

    def wine(self, *arguments, extra_env=None, timeout=RUN_TIMEOUT, capture=True, cwd=None,
             output=None):
        """Runs a program; `cwd` (a Unix folder inside the prefix) becomes its current folder.
        With `output` (a file) its output goes there instead of being captured: a pipe stays
        open, and the run would not end, while anything it started lives on."""
        if output is None:
            return subprocess.run(self.command_prefix + ["wine", *map(str, arguments)],
                                  env=self.env(extra_env), capture_output=capture, text=True,
                                  timeout=timeout, cwd=cwd)
        with open(output, "w") as sink:
            return subprocess.run(self.command_prefix + ["wine", *map(str, arguments)],
                                  env=self.env(extra_env), stdout=sink,
                                  stderr=subprocess.STDOUT, timeout=timeout, cwd=cwd)

    def wine_background(self, *arguments, extra_env=None):
        return subprocess.Popen(self.command_prefix + ["wine", *map(str, arguments)],
                                env=self.env(extra_env), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def stop_wine(self):
        """Ends every process of the prefix; the wineserver saves the registry as it goes."""
        subprocess.run(["wineserver", "-k"], env=self.env(), timeout=120)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=120)

    def set_windows_version(self, version):
        self.wine("winecfg", "-v", version)
        self.stop_wine()

    def add_key(self, key, view="/reg:32"):
        self.wine("reg", "add", key, "/f", view)

    def has_key(self, key, view="/reg:32"):
        return self.wine("reg", "query", key, view).returncode == 0

    def set_user_proxy(self, server):
        """The user's proxy as Internet Options would set it: every scheme through `server`."""
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
        self.wine("reg", "add", key, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
        self.wine("reg", "add", key, "/v", "ProxyServer", "/t", "REG_SZ", "/d", server, "/f")
        self.stop_wine()

    def set_user_environment(self, name, value):
        """A user environment variable; Wine reads them (TEMP, TMP) when its server starts."""
        self.wine("reg", "add", r"HKCU\Environment", "/v", name, "/t", "REG_SZ", "/d", value,
                  "/f")
        self.stop_wine()

    @property
    def profile(self):
        return self.prefix / "drive_c" / "users" / self.user

    @property
    def app_folder(self):
        return self.profile / "AppData" / "Local" / "Velmora" / "App"

    @property
    def desktop(self):
        return self.profile / "Desktop"

    @property
    def start_menu(self):
        return self.profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu"

    def user_registry_key(self, key):
        """The values of HKCU\\`key` (doubled backslashes) as the prefix stored them:
        {name: (type, data)}, with type "sz" (data stored with its terminator, which is then
        left out), "sz-bare" (stored without one: how an empty string of length 0 shows) or
        "dword" (number)."""
        self.stop_wine()
        text = (self.prefix / "user.reg").read_text(encoding="utf-8", errors="replace")
        match = re.search(r"^\[" + re.escape(key) + r"\][^\n]*\n(.*?)(?:\n\n|\Z)", text,
                          re.S | re.M | re.I)
        if not match:
            return None
        values = {}
        for line in match.group(1).splitlines():
            named = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
            if not named:
                continue
            name, data = named.group(1), named.group(2)
            if data.startswith("dword:"):
                values[name] = ("dword", int(data[6:], 16))
            elif data.startswith('"'):
                values[name] = ("sz", data[1:-1].replace("\\\\", "\\").replace('\\"', '"'))
            elif data.startswith("str(1):"):
                values[name] = ("sz", data[8:-1].replace("\\\\", "\\"))
            elif data.startswith("hex(1):"):
                # Wine writes a string in quotes only when it ends in a terminator.
                raw = bytes(int(b, 16) for b in data[7:].replace(",", " ").split())
                terminated = len(raw) >= 2 and raw[-2:] == b"\0\0"
                values[name] = ("sz" if terminated else "sz-bare",
                                raw.decode("utf-16-le").rstrip("\0"))
            else:
                values[name] = ("other", data)
        return values

    def watch(self, program, extra_env=None, shots=None, cwd=None, timeout=RUN_TIMEOUT):
        """Runs `program` (a Unix path inside the prefix) under the watcher; returns the record.
        A run that has not ended after `timeout` seconds fails the case."""
        for name in ("velmora-watch.exe", "watch_hook.dll"):
            shutil.copyfile(self.fixture(name), self.work / name)
        log = self.work / "watch.log"
        log.unlink(missing_ok=True)
        environment = dict(extra_env or {})
        if shots:
            shots.mkdir(parents=True, exist_ok=True)
            environment["VELMORA_WATCH_SHOTS"] = self.windows(shots)
        try:
            result = self.wine(self.work / "velmora-watch.exe", self.windows(log),
                               self.windows(program), extra_env=environment, cwd=cwd,
                               output=self.work / "watch.out", timeout=timeout)
        except subprocess.TimeoutExpired:
            raise CaseFailed(f"{program.name} still ran after {timeout} s:\n" +
                             Record(log, None).dump())
        return Record(log, result.returncode)


def shortcut_target(path):
    """The local path a .lnk file points at (its LinkInfo's local base path)."""
    data = path.read_bytes()
    check(data[:4] == b"\x4c\x00\x00\x00", f"{path} is no shell link")
    flags = int.from_bytes(data[20:24], "little")
    offset = 76
    if flags & 0x1:  # an item id list comes first
        offset += 2 + int.from_bytes(data[offset:offset + 2], "little")
    check(flags & 0x2, f"{path} has no link info")
    info = offset
    base = info + int.from_bytes(data[info + 16:info + 20], "little")
    return data[base:data.index(b"\0", base)].decode("latin-1")


def same_tree(left, right):
    """Differences between two folders' files (names and bytes), as text; empty when equal."""
    differences = []
    comparison = filecmp.dircmp(left, right)
    differences += [f"only in {left}: {name}" for name in comparison.left_only]
    differences += [f"only in {right}: {name}" for name in comparison.right_only]
    _, mismatch, errors = filecmp.cmpfiles(left, right, comparison.common_files, shallow=False)
    differences += [f"differs: {name}" for name in mismatch + errors]
    for folder in comparison.common_dirs:
        differences += same_tree(left / folder, right / folder)
    return differences


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


def run_log(machine):
    """The installer's log in the machine's download folder: its events, without the time."""
    log = machine.temp / "Velmora" / "VelmoraInstaller.log"
    text = log.read_text(encoding="utf-8") if log.exists() else ""
    return [line[9:] for line in text.splitlines()]


def check_logged(machine, *parts):
    """Each of `parts` is in one of the log's lines, in this order."""
    lines = run_log(machine)
    at = 0
    for part in parts:
        while at < len(lines) and part not in lines[at]:
            at += 1
        check(at < len(lines), f"the log lacks {part!r} (in order):\n" + "\n".join(lines))


# ---------------------------------------------------------------- one machine in one world

class Installation:
    """One machine in one world: a download server in a private network, the stand-ins' log;
    `case` is the row of the table it was made for."""

    def __init__(self, machine, world, case=None, release=None):
        self.machine = machine
        self.world = world
        self.case = case
        self.release = release  # worlds.Release, for cases that install from one
        self.log = machine.work / "standins.log"

    def environment(self, extra=None):
        environment = {"VELMORA_STANDIN_LOG": self.machine.windows(self.log)}
        environment.update(extra or {})
        return environment

    def run(self, file_name="VelmoraInstaller.exe", extra_env=None, shots=None, cwd=None,
            timeout=RUN_TIMEOUT, exe=None):
        if exe is None and self.case is not None and self.case.transport:
            exe = worlds.variant_installer(self.machine.build, self.case.transport)
        if exe is None and self.case is not None and self.case.profile == "field":
            exe = worlds.field_installer(self.machine.build)
        installer = self.machine.installer_copy(file_name, exe=exe)
        return self.machine.watch(installer, extra_env=self.environment(extra_env), shots=shots,
                                  cwd=cwd, timeout=timeout)

    def standins(self):
        """(role, path, command line) of every stand-in start, and ("removed", folder)."""
        if not self.log.exists():
            return []
        events = []
        for line in self.log.read_text(encoding="utf-8").splitlines():
            fields = line.split("\t")
            events.append(tuple(fields[1:]) if fields[0] == "started" else tuple(fields))
        return events

    def roles(self):
        return [event[0] for event in self.standins()]

    def installer_runs(self):
        """(role, path, command line) of every start of a prerequisite installer."""
        return [event for event in self.standins() if event[0] in ("runtime", "update")]

    def preinstall_prerequisites(self):
        self.machine.add_key(RUNTIME_KEY)
        self.machine.add_key(UPDATE_KEY)

    def wait_for(self, condition, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            time.sleep(0.2)
        return False


# ---------------------------------------------------------------- the table of cases

@dataclasses.dataclass(frozen=True)
class Case:
    """A row of the table: the world a case needs, and its test (the runs and the checks)."""
    test: object  # test(installation, **given)
    given: dict
    serve: object = "tree"  # "tree": nginx serving the sample tree; "release": nginx serving
    #                         a copy of the release's www/ through its nginx-velmora.conf;
    #                         {path: behaviour}: the scripted server (servers.BEHAVIOURS); None:
    #                         nothing answers
    packages: object = None  # packages(build, work) -> {channel: file}, served instead of samples
    prerequisites: bool = False  # both prerequisites are installed (their detection keys exist)
    windows: str = None  # the version Wine reports (winecfg's name)
    temp: str = None  # TEMP and TMP: a C:\ path, or a folder below the user's profile
    rate: str = None  # nginx sends no faster than this (its limit_rate, "100k"): slow downloads
    transport: str = None  # the installer built with these options (worlds.VARIANTS), not the
    #                        build's own
    certificate: str = None  # nginx serves TLS on 443 too, with this kind of certificate
    #                          (servers.certificates), and the throwaway CA is the one trusted
    redirect_to_http: tuple = ()  # paths answered over TLS with a redirect to plain HTTP
    proxy_only: bool = False  # only tinyproxy reaches the server; the user's settings name it
    profile: str = "described"  # "field": the field profile's installer runs (e2e-field)
    proxy: object = None  # World's proxy: a fault between the installer and nginx
    store: bool = False  # a release (worlds.release_tree) made for `release publish` into an
    #                      S3-compatible store behind nginx as its edge; serve is then None
    unanswered: bool = False  # no connection to the server is answered (World's unanswered)


CASES = {}


def case(name=None, given=None, **needs):
    """Adds the decorated test to CASES as `name` (its own name by default) with the world that
    `needs` describes (Case's fields). Stacked, it adds one row per decorator."""
    def add(test):
        CASES[name or test.__name__] = Case(test, given or {}, **needs)
        return test
    return add


def run_case(name, build, state):
    """Runs the case `name` on a fresh machine in the world its row asks for: a private network
    in which the download host is nginx serving the sample tree (some channels' packages
    replaced), a scripted server or nothing; then the machine's Windows version, TEMP and
    prerequisites; then the test."""
    case = CASES[name]
    machine = Machine(build, state, "e2e-" + name)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-world-"))
    try:
        tree = site = release = None
        if case.serve == "tree":
            tree = worlds.server_tree(machine.build, work / "www",
                                      case.packages(machine.build, work) if case.packages else None)
        elif case.serve == "release":
            release = worlds.Release(build / "e2e-release")
            tree = work / "www"  # a copy: a case may change what is served
            shutil.copytree(release.dist / "www", tree)
            site = work / "nginx-velmora.conf"
            site.write_text((release.dist / "nginx-velmora.conf").read_text().replace(
                str((release.dist / "www").resolve()), str(tree)))
        store = None
        if case.store:
            tree = worlds.release_tree(machine.build, work / "dist", case.packages(
                machine.build, work) if case.packages else None) / "www"
            store = worlds.servers.install_s3rver(build / "e2e-s3rver")
        scripted = case.serve if isinstance(case.serve, dict) else None
        tls = trusted = made = None
        if case.certificate:
            made = worlds.servers.certificates(work / "certificates", worlds.download_host(build))
            tls, trusted = made[case.certificate], work / "certificates" / "ca.crt"
        proxy = case.proxy(machine.build, work, tree) if callable(case.proxy) else case.proxy
        with worlds.World(machine.build, machine.name[4:], root=tree, scripted=scripted,
                          site=site, rate=case.rate, tls=tls, trusted=trusted,
                          redirect_to_http=case.redirect_to_http,
                          proxy_only=case.proxy_only, proxy=proxy, store=store,
                          unanswered=case.unanswered) as world:
            machine.command_prefix = world.prefix
            installation = Installation(machine, world, case, release)
            installation.certificates = made if case.certificate else None
            try:
                if case.proxy_only:
                    machine.set_user_proxy(f"127.0.0.1:{world.tinyproxy.port}")
                if case.windows:
                    machine.set_windows_version(case.windows)
                if case.temp:
                    machine.temp = machine.unix(case.temp) if case.temp.startswith("C:\\") \
                        else machine.profile / case.temp
                    machine.temp.mkdir(parents=True, exist_ok=True)
                    for variable in ("TEMP", "TMP"):
                        machine.set_user_environment(variable, machine.windows(machine.temp))
                if case.prerequisites:
                    installation.preinstall_prerequisites()
                case.test(installation, **case.given)
            finally:
                machine.stop_wine()
    finally:
        machine.close()
        shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------- shared checks

def statuses_with_marquee(record):
    """(status, marquee after it) for every status: the text comes first, then the mode."""
    pairs = []
    events = [event for event in record.events if event[0] in ("status", "marquee")]
    for index, event in enumerate(events):
        if event[0] == "status":
            following = events[index + 1] if index + 1 < len(events) else ("none", "")
            pairs.append((event[1], following[1] if following[0] == "marquee" else None))
    return pairs


def expected_installation(installation, channel="Live", left_as_it_was=()):
    """Checks what a completed installation leaves: files (except those `left_as_it_was`, which
    must differ from the package's), registration, shortcuts, launch."""
    machine = installation.machine
    unpacked = pathlib.Path(tempfile.mkdtemp(prefix="velmora-unzip-"))
    try:
        package = installation.world.root / worlds.package_path(channel).lstrip("/")
        subprocess.run(["unzip", "-q", str(package), "-d", str(unpacked)], check=True)
        differences = same_tree(unpacked / "app", machine.app_folder)
        check(differences == [f"differs: {name}" for name in left_as_it_was],
              "installed tree differs from unzip's:\n" + "\n".join(differences))
    finally:
        shutil.rmtree(unpacked, ignore_errors=True)

    app = machine.windows(machine.app_folder) + "\\"
    exe = app + "Velmora.exe"
    check(installation.wait_for(lambda: any(
        event[0] == "application" and event[1].lower() == exe.lower()
        for event in installation.standins())),
        f"the application was not launched: {installation.standins()}")
    values = machine.user_registry_key(UNINSTALL_KEY)
    check(values is not None, "no uninstall registration")
    website = worlds.website(machine.build)
    expected = {
        "DisplayIcon": ("sz", exe), "DisplayName": ("sz", "Velmora 5"),
        "DisplayVersion": ("sz-bare", ""), "Version": ("sz-bare", ""), "InstallLocation": ("sz", app),
        "NoModify": ("dword", 1), "NoRepair": ("dword", 1), "Publisher": ("sz", "Dorvane"),
        "UninstallString": ("sz", f'"{exe}" Uninstall'), "URLInfoAbout": ("sz", website),
    }
    check(values == expected, f"uninstall values differ:\n{values}\nexpected\n{expected}")
    for folder in (machine.desktop, machine.start_menu):
        link = folder / "Velmora 5.lnk"
        check(link.exists(), f"no shortcut in {folder}")
        check(shortcut_target(link).lower() == exe.lower(),
              f"{link} points at {shortcut_target(link)}")
    check(not (machine.start_menu / "Programs" / "Velmora 5.lnk").exists(),
          "the shortcut went to the Programs folder")


def check_run_ended(installation, record, statuses, code, logged=True):
    """The run ended after `statuses` with exit code `code`: the worker closed the window,
    nothing ran, nothing was unpacked, registered or linked, and (unless the download folder
    cannot hold it) the log's last line says how it ended."""
    machine = installation.machine
    check(record.statuses() == statuses, "\n" + record.dump())
    check_closed(record, code)
    check(not installation.standins(), f"something ran: {installation.standins()}")
    check(not machine.app_folder.exists(), "something was unpacked")
    check(machine.user_registry_key(UNINSTALL_KEY) is None, "registered anyway")
    check(not (machine.desktop / "Velmora 5.lnk").exists(), "linked anyway")
    if logged:
        check(run_log(machine)[-1].endswith(f", exit code {code}"),
              "log:\n" + "\n".join(run_log(machine)))


def check_closed(record, code=INSTALLED):
    """The installer closed its window (the worker's close command) and exited with `code`."""
    check(record.kinds("close") and record.kinds("destroyed"),
          "the window did not close:\n" + record.dump())
    check(record.exit_code() == code, f"exit code {record.exit_code()}, not {code}")


def check_finished(record, what="", code=INSTALLED):
    """The process ended with exit code `code` after its window was destroyed."""
    check(record.exit_code() == code and record.kinds("destroyed"),
          f"{what} exit code {record.exit_code()}, not {code}\n" + record.dump())


def launched(installation):
    """True once the stand-in application below the application folder has logged its start;
    Wine's processes are waited for first, so a start that is on its way is seen."""
    machine = installation.machine
    subprocess.run(["wineserver", "-w"], env=machine.env(), timeout=RUN_TIMEOUT)
    application = (machine.windows(machine.app_folder) + "\\Velmora.exe").lower()
    return any(event[0] == "application" and event[1].lower() == application
               for event in installation.standins())


# ---------------------------------------------------------------- the window

@case(serve=None)
def window_shows_and_closes(installation):
    """The progress window appears as designed, the worker closes it, the exit code is 0."""
    record = installation.run()
    check(("dialog", "Velmora Installer") in record.events, "no progress window:\n" + record.dump())
    check(("control", "-1", "Static", "[Message]") in record.events,
          "status line missing or not the placeholder:\n" + record.dump())
    check(("control", "1000", "msctls_progress32", "") in record.events,
          "progress bar missing:\n" + record.dump())
    check_closed(record, RUNTIME_DOWNLOAD_FAILED)


def bar_pixels(bitmap, place):
    """The pixels (r, g, b) across the middle of the progress bar's inside in one of the
    watcher's pictures (a 24-bit bottom-up BMP); `place` is the watcher's bar line: left, top,
    width, height."""
    data = bitmap.read_bytes()
    start, width = int.from_bytes(data[10:14], "little"), int.from_bytes(data[18:22], "little")
    height, stride = int.from_bytes(data[22:26], "little"), (width * 3 + 3) & ~3
    left, top, bar_width, bar_height = (int(value) for value in place)
    row = start + (height - 1 - (top + bar_height // 2)) * stride
    return [tuple(reversed(data[row + 3 * x:row + 3 * x + 3]))
            for x in range(left, left + bar_width)]


def colours(bitmap):
    """The distinct colours in one of the watcher's pictures (a 24-bit bottom-up BMP)."""
    data = bitmap.read_bytes()
    start, width = int.from_bytes(data[10:14], "little"), int.from_bytes(data[18:22], "little")
    height, stride = int.from_bytes(data[22:26], "little"), (width * 3 + 3) & ~3
    return {data[row + 3 * x:row + 3 * x + 3] for row in range(start, start + height * stride,
                                                                stride) for x in range(width)}


def coloured_share(pixels):
    """The share of `pixels` in colour: the bar's fill or marquee block, not the greys around."""
    return sum(1 for pixel in pixels if max(pixel) - min(pixel) > 48) / len(pixels)


@case(rate="64k")
def progress_bar_fills_while_downloading_and_animates_while_installing(installation):
    """Pictures of the window: during a slow download the bar is a fill as wide as the position
    (it grows from one picture to the next); once the marquee is on, it is a moving block, in
    another place three seconds later although no position was set in between. Switching the
    mode keeps the position that the bar reports."""
    shots = installation.machine.work / "shots"
    record = installation.run(extra_env={"VELMORA_STANDIN_MS": "3000"}, shots=shots)
    check_finished(record)
    place = record.kinds("bar")[0][1:]
    pictures = sorted(shots.glob("*.bmp"))
    kinds = [picture.stem.split("-", 1)[1] for picture in pictures]

    grown = 0
    previous = None
    for picture, kind in zip(pictures, kinds):
        if not kind.startswith("position-"):
            continue
        position, share = int(kind[9:]), coloured_share(bar_pixels(picture, place))
        check(abs(share - position / 100) < 0.05, f"{picture.name}: {share:.2f} of the bar filled")
        grown += previous is not None and 0 < previous < position < 100
        previous = position
    check(grown, f"no two pictures during one download: {kinds}\n" + record.dump())

    # The first marquee picture and the next one, taken while the runtime's installer ran.
    on = kinds.index("marquee-on")
    check(kinds[on + 1] == "status", f"pictures {kinds}")
    switched = next(index for index, event in enumerate(record.events)
                    if event[:2] == ("marquee", "1"))
    check(all(event[0] != "position" for event in record.events[switched:]),
          "a position was set while the marquee was on:\n" + record.dump())
    first, later = (bar_pixels(pictures[index], place) for index in (on, on + 1))
    check(first != later, "the marquee did not move:\n" + record.dump())
    for pixels in (first, later):
        check(0 < coloured_share(pixels) < 0.5, "no marquee block: "
              f"{coloured_share(pixels):.2f} of the bar in colour")

    position = "0"
    for event in record.events:
        if event[0] == "position":
            position = event[1]
        elif event[0] == "marquee":
            check(event[2] == position, f"marquee {event[1]} reported {event[2]}, not {position}")


@case()
def worker_thread_cannot_be_created(installation):
    """CreateThread fails for the installer (the watcher's hook makes it, see watch_hook.c): the
    window closes at once the way the worker closes it, shows no status, fetches nothing, and
    the exit code says so. Should the window stay, the bound on the run ends the case."""
    record = installation.run(extra_env={"VELMORA_WATCH_FAIL_THREADS": "1"}, timeout=60)
    check(("no-threads",) in record.events, "CreateThread was not made to fail:\n" + record.dump())
    check(("dialog", "Velmora Installer") in record.events, "no progress window:\n" + record.dump())
    check_closed(record, WORKER_NOT_STARTED)
    check(not record.kinds("user-close") and not record.kinds("status"), "\n" + record.dump())
    check(installation.world.requests() == [], f"requests {installation.world.requests()}")


@case(serve=None)
def second_copy_is_refused(installation):
    """Only one VelmoraInstaller.exe runs at a time; a channel-named copy is not counted."""
    machine = installation.machine
    elsewhere = machine.work / "elsewhere"
    elsewhere.mkdir()
    holder = elsewhere / "VelmoraInstaller.exe"
    shutil.copyfile(machine.fixture("standin-plain.exe"), holder)
    started, stop = machine.work / "holder.started", machine.work / "holder.stop"
    running = machine.wine_background(holder, "--record", machine.windows(started), "--until",
                                      machine.windows(stop))
    try:
        check(installation.wait_for(started.exists),
              "the stand-in named VelmoraInstaller.exe did not start")
        second = installation.run()
        check(second.exit_code() == NOT_ADMITTED, f"second copy exit code {second.exit_code()}")
        check(not second.kinds("dialog"), "the second copy showed a window:\n" + second.dump())

        beta = installation.run("VelmoraInstaller-Beta.exe")
        check(beta.exit_code() == RUNTIME_DOWNLOAD_FAILED,
              f"Beta copy exit code {beta.exit_code()}")
        check(("dialog", "Velmora Installer") in beta.events,
              "the Beta copy showed no window:\n" + beta.dump())
    finally:
        stop.write_text("")
        running.wait(timeout=60)


@case(serve=None, windows="winxp64")
def old_windows_is_refused(installation):
    """Below Windows Vista the refusal box appears with its exact caption and text; exit code 1."""
    record = installation.run()
    check(("dialog", REFUSAL_CAPTION) in record.events, "no refusal box:\n" + record.dump())
    texts = [event[3] for event in record.kinds("control") if len(event) > 3]
    check(REFUSAL_TEXT in texts, "refusal text differs:\n" + record.dump())
    check(("dialog", "Velmora Installer") not in record.events, "the progress window appeared")
    check(record.exit_code() == NOT_ADMITTED, f"exit code {record.exit_code()}")


@case(serve=None, windows="win10")
def manifest_declares_windows_10(installation):
    """The installer's manifest makes Windows 10 report 10.0 (6.2 without it)."""
    machine = installation.machine
    versions = {}
    for probe in ("version-probe.exe", "version-probe-plain.exe"):
        shutil.copyfile(machine.fixture(probe), machine.work / probe)
        versions[probe] = machine.wine(machine.work / probe).stdout.strip()
    check(versions["version-probe.exe"] == "10.0", f"with the manifest: {versions}")
    check(versions["version-probe-plain.exe"] == "6.2", f"without the manifest: {versions}")


# ---------------------------------------------------------------- whole installations

@case()
def clean_machine_installs_everything(installation):
    """On a clean machine: both prerequisites, then the package; everything installed."""
    record = installation.run()
    check(statuses_with_marquee(record) == [
        (STATUS_DEPENDENCIES, "0"), (STATUS_DEPENDENCIES, "0"), (STATUS_PACKAGE, "0"),
        (STATUS_INSTALLING_DEPENDENCIES, "1"), (STATUS_INSTALLING_DEPENDENCIES, "1"),
        (STATUS_INSTALLING, "1")], "statuses:\n" + record.dump())
    positions = [int(event[1]) for event in record.kinds("position")]
    check(positions.count(100) >= 3 and positions[-1] == 100, f"positions {positions}")
    check(installation.world.requests() == [
        "/DotNetFX40/dotNetFx40_Client_x86_x64.exe", "/DotNetFX40/NDP40-KB2468871-v2-x64.exe",
        worlds.package_path("Live")], f"requests {installation.world.requests()}")
    runs = installation.installer_runs()
    check([event[0] for event in runs] == ["runtime", "update"], f"installers ran: {runs}")
    for role, path, command in runs:
        check(command.endswith(" /q /norestart"), f"{role} started as {command}")
    check_closed(record)
    expected_installation(installation)
    machine = installation.machine
    temp = machine.windows(machine.temp) + "\\Velmora\\"
    lines = run_log(machine)
    check(re.fullmatch(r"start: VelmoraInstaller\.exe, channel Live, Windows \d+\.\d+\.\d+, "
                       r"(32-bit|64-bit \(WOW64\)), build 5\.0\.0 \(.*\)", lines[0]),
          f"first line: {lines[0]}")
    with zipfile.ZipFile(installation.world.root / worlds.package_path("Live").lstrip("/")) as z:
        entries = len(z.infolist())
    expected = [
        f"detect {worlds.RUNTIME_FILE}: missing",
        f"download {RUNTIME_PATH}: status 200, length ",
        f"detect {worlds.UPDATE_FILES[0]}: missing",
        f"download /DotNetFX40/{worlds.UPDATE_FILES[0]}: status 200, length ",
        f"download {worlds.package_path('Live')}: status 200, length ",
        f'run: cmd.exe /c ""{temp}{worlds.RUNTIME_FILE}" /q /norestart"', "run: exit code 0",
        f'run: cmd.exe /c ""{temp}{worlds.UPDATE_FILES[0]}" /q /norestart"', "run: exit code 0",
        f"unpack: ", f" skipped of {entries}",
        f"launch: {machine.windows(machine.app_folder)}\\Velmora.exe started",
        "end: installed and started, exit code 0"]
    check_logged(machine, *expected)
    check(len(lines) == 13 and lines[-1] == expected[-1], "log:\n" + "\n".join(lines))


@case(prerequisites=True)
def present_prerequisites_are_skipped(installation):
    """With both prerequisites present only the package is fetched; with the update present only
    the runtime is added."""
    machine = installation.machine
    record = installation.run()
    check(record.statuses() == [STATUS_PACKAGE, STATUS_INSTALLING], "\n" + record.dump())
    check_closed(record)
    check(installation.world.requests() == [worlds.package_path("Live")],
          f"requests {installation.world.requests()}")
    check("runtime" not in installation.roles() and "update" not in installation.roles(),
          f"an installer ran: {installation.standins()}")

    machine.wine("reg", "delete", RUNTIME_KEY, "/f", "/reg:32")
    record = installation.run()
    check(record.statuses() == [STATUS_DEPENDENCIES, STATUS_PACKAGE,
                                STATUS_INSTALLING_DEPENDENCIES, STATUS_INSTALLING],
          "\n" + record.dump())
    check_closed(record)
    check(installation.world.requests()[1:] == ["/DotNetFX40/dotNetFx40_Client_x86_x64.exe",
                                                worlds.package_path("Live")],
          f"requests {installation.world.requests()}")
    check(installation.roles().count("runtime") == 1 and "update" not in installation.roles(),
          f"installers: {installation.standins()}")


@case(prerequisites=True)
def channel_comes_from_the_file_name(installation):
    """-Beta, -Testing, both (Beta wins) and -beta (Live): the package path asked for."""
    for file_name, channel in (("VelmoraInstaller-Beta.exe", "Beta"),
                               ("VelmoraInstaller-Testing.exe", "Testing"),
                               ("VelmoraInstaller-Testing-Beta.exe", "Beta"),
                               ("VelmoraInstaller-beta.exe", "Live")):
        record = installation.run(file_name)
        check(record.exit_code() == 0, f"{file_name}: exit code {record.exit_code()}")
        check(installation.world.requests()[-1] == worlds.package_path(channel),
              f"{file_name}: requested {installation.world.requests()[-1]}")
        check((installation.machine.app_folder / "channel.txt").read_text() == channel,
              f"{file_name}: installed the wrong channel")
        check(installation.wait_for(
            lambda: installation.roles().count("application") >= 1), "not launched")
        installation.machine.stop_wine()


# The version libraries are loaded differently where SetDefaultDllDirectories is missing, and
# the wait must work on every supported version.
@case("waits_for_a_running_version_5_application_on_vista", windows="vista", prerequisites=True,
      given={"reported": "6.0"})
@case("waits_for_a_running_version_5_application_on_win7", windows="win7", prerequisites=True,
      given={"reported": "6.1"})
@case("waits_for_a_running_version_5_application_on_win10", windows="win10", prerequisites=True,
      given={"reported": "10.0"})
def waits_for_a_running_version_5_application(installation, reported):
    """On a prefix that reports `reported`: a running Velmora.exe with a version-5 module holds
    the unpacking back; major 4 does not."""
    machine = installation.machine
    shutil.copyfile(machine.fixture("version-probe.exe"), machine.work / "version-probe.exe")
    seen = machine.wine(machine.work / "version-probe.exe").stdout.strip()
    check(seen == reported, f"the prefix reports {seen}, not {reported}")
    for fixture, waits in (("standin-app-v5.exe", True), ("standin-app-v4.exe", False)):
        running = machine.work / fixture.replace(".exe", "") / "Velmora.exe"
        running.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(machine.fixture(fixture), running)
        before = len(installation.standins())
        holder = machine.wine_background(running, extra_env=installation.environment(
            {"VELMORA_APP_MS": "8000"}))
        check(installation.wait_for(lambda: len(installation.standins()) > before),
              "the running application did not start")
        record = installation.run()
        expected = [STATUS_PACKAGE] + ([STATUS_WAITING] if waits else []) + [STATUS_INSTALLING]
        check(record.statuses() == expected, f"{fixture}:\n" + record.dump())
        check_closed(record)
        if waits:
            check(holder.poll() is not None, "unpacking began while the application ran")
        holder.wait(timeout=60)
        machine.stop_wine()


# cmd.exe runs the installers: it splits at blanks and parentheses that are not quoted, and it
# expands %NAME% even inside quotes.
@case("temporary_folder_with_blanks_and_parentheses", temp="Temp Dir (Work)")
@case("temporary_folder_holding_percent_signs", temp=r"C:\T 50%OS%off")
def installers_run_from_the_temporary_folder(installation):
    """The silent installers run, in order, from the temporary folder and finish (each creates
    its detection key, which it does only when started with exactly "/q /norestart"); the
    installation completes."""
    machine = installation.machine
    record = installation.run()
    check(record.exit_code() == 0, f"exit code {record.exit_code()}")
    runs = installation.installer_runs()
    check([event[0] for event in runs] == ["runtime", "update"], f"installers ran: {runs}")
    for role, path, command in runs:
        check(path.lower().startswith((machine.windows(machine.temp) + "\\Velmora\\").lower()),
              f"{role} ran from {path}")
        check(command.endswith(" /q /norestart"), f"{role} started as {command}")
    for key in (RUNTIME_KEY, UPDATE_KEY):
        check(machine.has_key(key), f"no {key}: an installer did not finish")
    expected_installation(installation)


def hostile_packages(build, work):
    """Live: not a ZIP at all; Beta: entries outside app/ only; Testing: names that climb out.
    Neither of the last two holds app/Velmora.exe."""
    not_zip = work / "not-a-zip.vmpkg"
    not_zip.write_bytes(b"MZ this is no archive " * 1000)
    outside = work / "outside.vmpkg"
    with zipfile.ZipFile(outside, "w") as archive:
        archive.writestr("App/Velmora.exe", "wrong case")
        archive.writestr("bin/app/evil-outside.txt", "not below app/")
    climbing = work / "climbing.vmpkg"
    with zipfile.ZipFile(climbing, "w") as archive:
        for name in ("app/../evil-dotdot.txt", "app/..\\evil-backslash.txt",
                     "app/C:\\evil-drive.txt", "app/\\evil-root.txt", "app//evil-slash.txt",
                     "app/stream.txt:evil-stream", "app/sub/../../evil-deep.txt",
                     "app/./evil-dot.txt", "app/readme.txt"):
            archive.writestr(name, f"payload of {name}")
    return {"Live": not_zip, "Beta": outside, "Testing": climbing}


@case(packages=hostile_packages, prerequisites=True)
def hostile_packages_stay_in_the_application_folder(installation):
    """Hostile packages: registered all the same, the missing Velmora.exe's start fails, nothing
    is written outside the application folder. One that is no archive is refused before
    anything is registered."""
    machine = installation.machine
    check_run_ended(installation, installation.run(), [STATUS_PACKAGE], NOT_AN_ARCHIVE)
    check_logged(machine, "package: not a ZIP archive")
    for file_name in ("VelmoraInstaller-Beta.exe", "VelmoraInstaller-Testing.exe"):
        check_finished(installation.run(file_name), file_name, LAUNCH_FAILED)
        check(machine.user_registry_key(UNINSTALL_KEY) is not None, f"{file_name}: not registered")
        check((machine.desktop / "Velmora 5.lnk").exists(), f"{file_name}: no shortcut")
    escaped = [str(path) for path in machine.prefix.rglob("*evil*")
               if machine.app_folder not in path.parents]
    check(not escaped, f"written outside the application folder: {escaped}")
    installed = sorted(path.name for path in machine.app_folder.rglob("*"))
    check(installed == ["readme.txt"], f"installed: {installed}")


@case()
def second_run_overwrites_registration_and_shortcuts(installation):
    """Running again over an installation writes the values and shortcuts anew. The log, grown
    to its limit in between, is moved aside and started afresh."""
    machine = installation.machine
    check_closed(installation.run())
    machine.stop_wine()
    log = machine.temp / "Velmora" / "VelmoraInstaller.log"
    with log.open("ab") as grown:
        grown.write(b"       0 filler\r\n" * (1 << 16))
    machine.wine("reg", "add", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora",
                 "/v", "DisplayName", "/d", "changed by hand", "/f")
    (machine.desktop / "Velmora 5.lnk").unlink()
    (machine.start_menu / "Velmora 5.lnk").write_bytes(b"stale")
    record = installation.run()
    check(record.statuses() == [STATUS_PACKAGE, STATUS_INSTALLING], "\n" + record.dump())
    check_closed(record)
    expected_installation(installation)
    old = log.with_name("VelmoraInstaller.old.log").read_bytes()
    check(old.endswith(b"filler\r\n") and b"end: installed and started" in old,
          "the full log was not moved aside whole")
    check(run_log(machine)[0].startswith("start: ") and log.stat().st_size < 4096,
          f"the new log: {run_log(machine)[:3]}")


@case(prerequisites=True)
def uninstall_removes_what_the_installer_made(installation):
    """The application's "Uninstall" removes its folder, its registration and both shortcuts."""
    machine = installation.machine
    check_closed(installation.run())
    exe = machine.windows(machine.app_folder / "Velmora.exe")
    machine.wine(exe, "Uninstall", extra_env=installation.environment())
    check(installation.wait_for(lambda: "removed" in installation.roles()),
          f"the remover did not finish: {installation.standins()}")
    check(not machine.app_folder.exists(), "the application folder is still there")
    check(machine.user_registry_key(UNINSTALL_KEY) is None, "the registration is still there")
    for folder in (machine.desktop, machine.start_menu):
        check(not (folder / "Velmora 5.lnk").exists(), f"a shortcut is left in {folder}")


# ---------------------------------------------------------------- failed downloads

RUNTIME_REQUEST = RUNTIME_PATH.lstrip("/")
PACKAGE_REQUEST = worlds.package_path("Live").lstrip("/")


# No server: the first download fails. A 404 for the package, a package whose body ends before
# its length or whose connection is reset half-way. A server that stops sending, after the head
# or half-way through the body, for longer than the installer waits (the build's own time-out,
# 60 s, not a shortened one): the run ends soon after the time-out.
@case("server_down", serve=None,
      given={"code": RUNTIME_DOWNLOAD_FAILED, "logged": "connection refused"})
@case("package_not_found", serve={PACKAGE_REQUEST: "not-found"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED, "logged": "status 404"})
@case("truncated_package", serve={PACKAGE_REQUEST: "truncated"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED,
             "logged": "length 1000, received 600, "})
@case("connection_cut_half_way", serve={PACKAGE_REQUEST: "reset"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED, "logged": "connection broken (system error"})
@case("server_stalls_after_the_head", serve={PACKAGE_REQUEST: "head-stall"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED, "logged": "received 0, ", "stalls": True})
@case("server_stalls_in_the_body", serve={PACKAGE_REQUEST: "hang"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED, "logged": "received 100000, ", "stalls": True})
# A server that takes no connection at all (its SYNs dropped): the connect time-out, 30 s. The
# system transport (WinINet) against the same servers: its time-outs are the socket client's,
# and one that runs out once WinINet has connected is the answer's, never the connect's (Windows
# reports it as 12002, a receive time-out; Wine ends the connection with 12030, a broken one).
# Wine's WinINet does not apply the connect time-out: a connection never taken ends when the
# kernel gives up its SYN retries (about 130 s) with 12029, where Windows ends it after 30 s
# with 12002; the row takes either.
@case("server_accepts_no_connection", serve=None, unanswered=True,
      given={"code": RUNTIME_DOWNLOAD_FAILED, "logged": "connect timed out", "connects": True})
@case("system_transport_server_accepts_no_connection", transport="system", serve=None,
      unanswered=True, given={"code": RUNTIME_DOWNLOAD_FAILED, "connects": "system",
                              "logged": ("connect timed out (system error 12002)",
                                         "connection refused (system error 12029)")})
@case("system_transport_server_stalls_after_the_head", transport="system",
      serve={PACKAGE_REQUEST: "head-stall"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED, "logged": "received 0, ", "stalls": True})
@case("system_transport_server_never_answers", transport="system",
      serve={PACKAGE_REQUEST: "mute"}, prerequisites=True,
      given={"code": PACKAGE_DOWNLOAD_FAILED, "stalls": "unanswered",
             "logged": ("receive timed out (system error 12002)",
                        "connection broken (system error 12030)")})
def a_failed_download_ends_the_run(installation, code, logged, stalls=False, connects=False):
    """The first download that fails ends the run with `code`: the window closes, nothing is
    run, unpacked, registered or linked, and the log says why."""
    started = time.monotonic()
    record = installation.run()
    elapsed = time.monotonic() - started
    check_run_ended(installation, record, [
        STATUS_PACKAGE if installation.case.prerequisites else STATUS_DEPENDENCIES], code)
    lines = run_log(installation.machine)
    if isinstance(logged, tuple):  # either one
        check(any(part in line for part in logged for line in lines), "\n".join(lines))
    else:
        check_logged(installation.machine, logged)
    if stalls:
        if stalls != "unanswered":
            check_logged(installation.machine, "receive timed out")
        check(60 <= elapsed < 100, f"the run ended after {elapsed:.0f} s")
    if connects is True:
        check_logged(installation.machine, "connect timed out")
        check(30 <= elapsed < 60, f"the run ended after {elapsed:.0f} s")
    elif connects:
        check(30 <= elapsed < 170, f"the run ended after {elapsed:.0f} s")


def captive_portal_page(build, work):
    page = work / "portal.html"
    page.write_text("<html><body>Sign in to use this network</body></html>\r\n" * 40)
    return {"Live": page}


@case(packages=captive_portal_page)
def package_that_is_no_archive(installation):
    """A captive portal (or a misconfigured server) answers the package's request with 200 and
    an HTML page, on a machine that lacks both prerequisites: their installers are downloaded,
    but nothing is run, unpacked, registered or linked."""
    record = installation.run()
    check_run_ended(installation, record, [STATUS_DEPENDENCIES, STATUS_DEPENDENCIES,
                                           STATUS_PACKAGE], NOT_AN_ARCHIVE)
    check_logged(installation.machine, "download /Velmora.Html.Windows/Live/", ", complete",
                 "package: not a ZIP archive")


# ---------------------------------------------------------------- the user closes the window

MANY_FILES = 20_000


def many_files_package(build, work):
    """Many small files: unpacking them takes far longer than the process takes to end once the
    window is closed (each file costs several calls into the wineserver)."""
    package = work / "many-files.vmpkg"
    with zipfile.ZipFile(package, "w", zipfile.ZIP_STORED) as archive:
        for index in range(MANY_FILES):
            archive.writestr(f"app/data/{index // 500:02}/part-{index:05}.txt", f"part {index}\r\n")
    return {"Live": package}


@case("closed_while_downloading_dependencies", serve={RUNTIME_REQUEST: "hang"},
      given={"close_at": STATUS_DEPENDENCIES})
@case("closed_while_downloading_velmora", serve={PACKAGE_REQUEST: "hang"}, prerequisites=True,
      given={"close_at": STATUS_PACKAGE})
@case("closed_while_the_server_stalls_after_the_head", serve={PACKAGE_REQUEST: "head-stall"},
      prerequisites=True, given={"close_at": "position"})
@case("closed_while_waiting_for_velmora",
      given={"close_at": STATUS_WAITING, "running_application": True})
@case("closed_while_installing_dependencies", given={"close_at": STATUS_INSTALLING_DEPENDENCIES})
@case("closed_while_installing_velmora", packages=many_files_package, prerequisites=True,
      given={"close_at": STATUS_INSTALLING})
def closed_by_the_user(installation, close_at, running_application=False):
    """The user closes the window when `close_at` appears (a status, or "position": the first
    progress position, once a download's head has arrived). The process ends at once with exit
    code 2 without waiting for what runs or stalls (a server, an application or a prerequisite
    installer busy for minutes); nothing is rolled back and no later step happens."""
    machine = installation.machine
    holder = None
    if running_application:
        running = machine.work / "running" / "Velmora.exe"
        running.parent.mkdir(parents=True)
        shutil.copyfile(machine.fixture("standin-app-v5.exe"), running)
        holder = machine.wine_background(running, extra_env=installation.environment(
            {"VELMORA_APP_MS": "300000"}))
        check(installation.wait_for(lambda: "application" in installation.roles()),
              "the running application did not start")
    started = time.monotonic()
    record = installation.run(extra_env={"VELMORA_WATCH_CLOSE_AT": close_at,
                                         "VELMORA_STANDIN_MS": "300000"})
    elapsed = time.monotonic() - started
    check(record.kinds("user-close") and record.kinds("destroyed"), "\n" + record.dump())
    check(record.exit_code() == CLOSED_BY_USER, f"exit code {record.exit_code()}")
    check_logged(machine, "end: closed by the user, exit code 2")
    check(elapsed < 120, f"the process took {elapsed:.0f} s to end")
    if holder is not None:
        check(holder.poll() is None, "the application ended before the installer")
    last = STATUS_PACKAGE if close_at == "position" else close_at
    check(record.statuses()[-1] == last, "a later step began:\n" + record.dump())
    if close_at == "position":
        check(record.kinds("position"), "closed before the head arrived:\n" + record.dump())
    roles = installation.roles()
    check("update" not in roles, f"the update installer ran: {installation.standins()}")
    if close_at != STATUS_INSTALLING_DEPENDENCIES:
        check("runtime" not in roles, f"the runtime installer ran: {installation.standins()}")
    if close_at != STATUS_INSTALLING:
        check(not machine.app_folder.exists(), "something was unpacked")
    else:
        unpacked = sum(1 for path in machine.app_folder.rglob("*") if path.is_file())
        check(unpacked < MANY_FILES, "the unpacking went on to its end after the close")
    if not installation.case.prerequisites and close_at != STATUS_DEPENDENCIES:
        for name in (worlds.RUNTIME_FILE, worlds.UPDATE_FILES[0]):
            check((machine.temp / "Velmora" / name).exists(), f"{name} was taken away")
    check(machine.user_registry_key(UNINSTALL_KEY) is None, "registered anyway")
    check(not (machine.desktop / "Velmora 5.lnk").exists(), "a shortcut was made")
    check(not launched(installation), "the application was started")


# ---------------------------------------------------------------- faults of the disk

@contextlib.contextmanager
def small_file_system(machine, folder, size):
    """A tmpfs of `size` mounted over `folder` while the block runs (the case is skipped where
    nothing can be mounted). Every Wine process is stopped before and after: one started earlier
    would keep the mount table it started with. Should the case be killed, dropping the prefix
    unmounts it (wineenv.drop_prefix)."""
    machine.stop_wine()
    why = wineenv.mount_tmpfs(folder, size)
    if why:
        raise CaseSkipped(why)
    try:
        yield folder
    finally:
        machine.stop_wine()
        wineenv.unmount_below(folder)


@contextlib.contextmanager
def immutable(path):
    """`path` cannot be written, replaced or deleted while the block runs, not even by root,
    who may write to any file whatever its mode (and the tests run as root). Only on a file
    system the case mounted itself, so that nothing immutable can outlive the case."""
    try:
        result = subprocess.run(["chattr", "+i", str(path)], capture_output=True, text=True)
    except OSError as error:
        raise CaseSkipped(f"cannot run chattr: {error}")
    if result.returncode != 0:
        raise CaseSkipped(f"chattr +i does not work here: {result.stderr.strip()}")
    try:
        yield path
    finally:
        subprocess.run(["chattr", "-i", str(path)])


def pages(size):
    return -(-size // 4096) * 4096


def full_disk_packages(build, work):
    """Live: the application first, then a filler the disk cannot hold, then a folder and an
    empty file (which a full disk still takes). Beta: the filler before the application."""
    fixtures = pathlib.Path(build) / "tests" / "fixtures"
    head = [("app/Velmora.exe", (fixtures / "standin-app-v5.exe").read_bytes()),
            ("app/VelmoraRemover.exe", (fixtures / "standin-remover.exe").read_bytes()),
            ("app/readme.txt", b"Velmora 5 on a small disk\r\n")]
    filler = ("app/data/filler.bin", random.Random(3).randbytes(1 << 20))
    packages = {}
    for channel, entries in (("Live", head + [filler]), ("Beta", [filler] + head)):
        packages[channel] = work / f"full-disk-{channel}.vmpkg"
        with zipfile.ZipFile(packages[channel], "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in entries:
                archive.writestr(name, data)
            archive.mkdir("app/after")
            archive.writestr("app/after/empty.txt", b"")
    return packages


@case(packages=full_disk_packages, prerequisites=True)
def disk_fills_up_mid_extraction(installation):
    """The disk under the application folder fills up while the package is unpacked: the entry
    that does not fit fails and stays cut off, the later ones are still extracted, and the
    application is registered and started - unless it is the file that was cut off."""
    machine = installation.machine
    package = installation.world.root / worlds.package_path("Live").lstrip("/")
    with zipfile.ZipFile(package) as archive:
        expected = {info.filename: archive.read(info) for info in archive.infolist()}
    head = ("Velmora.exe", "VelmoraRemover.exe", "readme.txt")
    # Room for the first three files and a little of the filler.
    disk = sum(pages(len(expected["app/" + name])) for name in head) + 4 * 4096
    app = machine.app_folder
    with small_file_system(machine, app, disk):
        record = installation.run()
        check(record.statuses() == [STATUS_PACKAGE, STATUS_INSTALLING], "\n" + record.dump())
        check_finished(record)
        for name in head:
            check((app / name).read_bytes() == expected["app/" + name], f"{name} differs")
        filler = app / "data" / "filler.bin"
        check(filler.exists() and filler.stat().st_size < len(expected["app/data/filler.bin"]),
              "the filler is not the cut-off part that a full disk leaves")
        check((app / "after" / "empty.txt").exists(), "extraction stopped at the full disk")
        check(launched(installation), "not started")
        check(machine.user_registry_key(UNINSTALL_KEY) is not None, "not registered")
        check((machine.desktop / "Velmora 5.lnk").exists(), "no shortcut")

    machine.wine("reg", "delete", r"HKCU\Software\Microsoft\Windows\CurrentVersion"
                 r"\Uninstall\Velmora", "/f")
    (machine.desktop / "Velmora 5.lnk").unlink()
    installation.log.unlink()
    with small_file_system(machine, app, disk):
        check_finished(installation.run("VelmoraInstaller-Beta.exe"), code=APPLICATION_DAMAGED)
        check((app / "Velmora.exe").stat().st_size < len(expected["app/Velmora.exe"]),
              "Velmora.exe was not cut off")
        check(machine.user_registry_key(UNINSTALL_KEY) is not None, "not registered")
        check((machine.desktop / "Velmora 5.lnk").exists(), "no shortcut")
        check(not launched(installation), "the cut-off Velmora.exe was started")


@case(prerequisites=True)
def read_only_file_at_a_destination(installation):
    """A read-only file stands where an entry must go: that entry fails and the file stays as
    it was; the other entries are installed, the application registered and started."""
    machine = installation.machine
    with small_file_system(machine, machine.app_folder, "64m"):
        readme = machine.app_folder / "readme.txt"
        readme.write_bytes(b"kept as it was\r\n")
        readme.chmod(0o444)
        with immutable(readme):
            record = installation.run()
            check(record.statuses() == [STATUS_PACKAGE, STATUS_INSTALLING], "\n" + record.dump())
            check_finished(record)
            check(readme.read_bytes() == b"kept as it was\r\n", "the read-only file changed")
            expected_installation(installation, left_as_it_was=("readme.txt",))


@case()
def download_folder_cannot_be_created(installation):
    """A file stands where the temporary download folder must go: the runtime installer cannot
    be written, the run ends there and nothing runs."""
    folder = installation.machine.temp / "Velmora"
    folder.parent.mkdir(parents=True, exist_ok=True)
    folder.write_text("a file where the download folder must go")
    check_run_ended(installation, installation.run(), [STATUS_DEPENDENCIES], RUNTIME_NOT_WRITTEN,
                    logged=False)
    check(folder.read_text() == "a file where the download folder must go", "the file changed")


@case()
def download_folder_fills_up(installation):
    """The disk under the download folder fills up part-way through writing the runtime
    installer: the run ends there, and the part that was written is not run."""
    machine = installation.machine
    folder = machine.temp / "Velmora"
    with small_file_system(machine, folder, "8k"):
        check_run_ended(installation, installation.run(), [STATUS_DEPENDENCIES],
                        RUNTIME_NOT_WRITTEN, logged=False)
        partial = folder / worlds.RUNTIME_FILE
        whole = machine.fixture("standin-runtime.exe").stat().st_size
        check(partial.exists() and 0 < partial.stat().st_size < whole,
              "the write did not stop part-way")
    check(installation.world.requests() == [RUNTIME_PATH],
          f"requests {installation.world.requests()}")


# ---------------------------------------------------------------- libraries planted beside it

# Planted beside the installer besides its preload list (load-probe --list, what Windows loads by
# name on its behalf): comctl32, which the manifest redirects, and what a build that lost its
# static linking would import.
PLANTED_BESIDES_PRELOADS = ("comctl32.dll", "zlib1.dll", "libgcc_s_dw2-1.dll",
                            "libwinpthread-1.dll", "libstdc++-6.dll")
WINE_USER32_IMPORTS = ("version.dll", "zlib1.dll")


@case()
def planted_libraries_are_not_loaded(installation):
    """Libraries with system names planted in Downloads, where the installer lies and runs from:
    a whole installation loads none of them."""
    machine = installation.machine
    downloads = machine.downloads
    probe = downloads / "load-probe.exe"
    shutil.copyfile(machine.fixture("load-probe.exe"), probe)
    preloads = machine.wine(probe, "--list").stdout.split()
    check("version.dll" in preloads, f"preload list: {preloads}")
    planted = preloads + list(PLANTED_BESIDES_PRELOADS)
    for name in planted:
        shutil.copyfile(machine.fixture("planted.dll"), downloads / name)
    # Wine takes its builtin for most system names wherever a copy lies. Asking it for native
    # copies first makes it search like Windows does for every library outside the KnownDLLs,
    # except for those that Wine's own user32 imports: Wine has no KnownDLLs, so its user32
    # would take them from beside any program at start-up, where Windows' user32 never would.
    forced = [name for name in planted if name not in WINE_USER32_IMPORTS]
    overrides = {"WINEDLLOVERRIDES": ";".join(f"{name[:-4]}=n,b" for name in forced) +
                 ";mscoree,mshtml="}

    def loaded():
        names = {pathlib.PureWindowsPath(event[1]).name.lower()
                 for event in installation.standins() if event[0] == "planted"}
        installation.log.unlink(missing_ok=True)
        return sorted(names)

    # The control: loaded by name from Downloads, every planted copy is taken.
    machine.wine(probe, "by-name", *planted, extra_env=installation.environment(overrides),
                 cwd=downloads)
    taken = loaded()
    check(taken == sorted(forced), f"a load by name took {taken} of {sorted(forced)}")
    # The fallback where SetDefaultDllDirectories is missing: after the preload, loads by name
    # find the system's copies (of the libraries that this Wine has).
    system = machine.prefix / "drive_c" / "windows" / "syswow64"
    present = [name for name in preloads if (system / name).exists()]
    machine.wine(probe, "preloaded", *present, extra_env=installation.environment(overrides),
                 cwd=downloads)
    taken = loaded()
    check(taken == [], f"planted copies loaded after the preload of {present}: {taken}")

    record = installation.run(extra_env=overrides, cwd=downloads)
    check_finished(record)
    expected_installation(installation)
    taken = loaded()
    check(taken == [], f"planted copies loaded during the installation: {taken}")


# ---------------------------------------------------------------- releases

def in_namespace(installation, *command):
    """Runs a host program inside the case's private network, where the download host is its
    nginx."""
    return subprocess.run(installation.world.prefix + [str(part) for part in command],
                          capture_output=True, text=True, timeout=RUN_TIMEOUT)


@case(serve="release")
def release_kit_from_an_application_folder_to_an_installation(installation):
    """scripts/release's release of all three channels (signed packages, pinned prerequisites,
    Authenticode-signed installers) served through its own nginx site: velmora-fetch check
    passes, the installers verify against the throwaway CA, SHA256SUMS holds, and the Beta
    installer installs on a clean machine."""
    release = installation.release
    host = worlds.download_host(installation.machine.build)
    checked = in_namespace(installation, release.fetch, "check", host, "80", "--key",
                           release.public_key)
    check(checked.returncode == 0, f"velmora-fetch check:\n{checked.stdout}{checked.stderr}")
    for name in ("VelmoraInstaller.exe", "VelmoraInstaller-Beta.exe",
                 "VelmoraInstaller-Testing.exe"):
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                   str(release.root_certificate), "-in",
                                   str(release.dist / "installer" / name)],
                                  capture_output=True, text=True)
        check(verified.returncode == 0, f"{name}: osslsigncode verify:\n{verified.stdout}")
    sums = subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=release.dist,
                          capture_output=True, text=True)
    check(sums.returncode == 0, f"SHA256SUMS: {sums.stdout}{sums.stderr}")
    release_refuses_what_it_cannot_make(installation)

    record = installation.run("VelmoraInstaller-Beta.exe",
                              exe=release.dist / "installer" / "VelmoraInstaller-Beta.exe")
    check_finished(record)
    check([event[0] for event in installation.installer_runs()] == ["runtime", "update"],
          f"installers ran: {installation.installer_runs()}")
    expected_installation(installation, "Beta")
    check((installation.machine.app_folder / "channel.txt").read_text() == "Beta",
          "installed the wrong channel")


@case(serve="release", proxy_only=True)
def release_default_installs_through_the_users_proxy(installation):
    """The installer scripts/release builds by default (the field profile over the system
    transport, plain HTTP) installs in a world where only the proxy the user's settings name
    reaches the server. Skipped under qemu-i386 (tinyproxy over plain HTTP: see
    users_proxy_over_plain_http); kept where 32-bit code runs natively."""
    if wineenv.enable_i386_emulation():
        raise CaseSkipped("the installer over plain HTTP through tinyproxy: WinINet's "
                          "connection collector thread crashes under qemu-i386")
    exe = installation.release.dist / "installer" / "VelmoraInstaller.exe"
    check_finished(installation.run("VelmoraInstaller.exe", exe=exe))
    check_logged(installation.machine, "system transport, http", "field profile",
                 "proxy settings: named proxy 127.0.0.1:8888",
                 "end: installed and started, exit code 0")
    host = worlds.download_host(installation.machine.build)
    check(f"GET http://{host}" in installation.world.tinyproxy.log(),
          "the installer did not go through the proxy")
    expected_installation(installation)


def tree_bytes(folder):
    return {path.relative_to(folder): path.read_bytes() for path in folder.rglob("*")
            if path.is_file()}


def release_refuses_what_it_cannot_make(installation):
    """scripts/release refuses, with the reason and with DIST as it was: a missing prerequisite,
    a folder vmpkg pack refuses, an older Velmora.exe than the channel serves, a host that is no DNS name, a site that is not http(s), HTTPS
    without the system transport, a TLS certificate for another name or with another key."""
    release = installation.release
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-refusals-"))
    try:
        dist = work / "dist"
        shutil.copytree(release.dist, dist)
        before = tree_bytes(dist)
        incomplete = work / "incomplete"
        incomplete.mkdir()
        shutil.copyfile(release.folder / "prerequisites" / worlds.RUNTIME_FILE,
                        incomplete / worlds.RUNTIME_FILE)
        older = worlds.application_tree(installation.machine.build, work / "older",
                                        application="standin-app-v5-older.exe")
        no_program = work / "no-program"
        (no_program / "data").mkdir(parents=True)
        (no_program / "data" / "readme.txt").write_text("no Velmora.exe here")
        made = worlds.servers.certificates(work / "tls", worlds.download_host(
            installation.machine.build))
        good_tls, other_tls = made["good"], made["other-name"]
        good = {"--host": worlds.download_host(installation.machine.build),
                "--site": "https://www.velmora.example/",
                "--app": release.application("Live"),
                "--prerequisites": release.folder / "prerequisites"}
        for what, changed, reason in (
                ("a missing prerequisite", {"--prerequisites": incomplete},
                 "missing NDP40-KB2468871-v2-x64.exe"),
                ("a folder vmpkg pack refuses", {"--app": no_program}, "app/Velmora.exe"),
                ("a Velmora.exe older than the channel's", {"--app": older},
                 "Velmora.exe 5.0.2.0 is older than the Live package's 5.0.3.0"),
                ("a host that is no DNS name", {"--host": "download_host.example"},
                 "not a valid DNS name"),
                ("a site that is not http(s)", {"--site": "ftp://www.velmora.example/"},
                 "not an http:// or https:// address"),
                ("HTTPS with the socket client",
                 {"--transport": "socket", "--https": None, "--tls-cert": good_tls[0],
                  "--tls-key": good_tls[1]},
                 "--https needs --transport system"),
                ("a TLS certificate for another host name",
                 {"--transport": "system", "--https": None, "--tls-cert": other_tls[0],
                  "--tls-key": other_tls[1]}, "not a certificate for"),
                ("a TLS key of another certificate",
                 {"--transport": "system", "--https": None, "--tls-cert": good_tls[0],
                  "--tls-key": other_tls[1]}, "not the key of --tls-cert")):
            options = dict(good, **changed)
            refused = subprocess.run(
                [str(HERE.parents[1] / "scripts" / "release"), "--channel", "Live", "--out",
                 str(dist), "--build", str(release.folder / "build")] +
                [str(part) for option in options.items() for part in option
                 if part is not None], capture_output=True, text=True)
            # A wrong command line exits 2 (argparse), a refused release 1.
            check(refused.returncode in (1, 2) and reason in refused.stderr,
                  f"{what}: exit {refused.returncode}: {refused.stderr[-600:]}")
            check(tree_bytes(dist) == before, f"{what}: DIST changed")
    finally:
        shutil.rmtree(work, ignore_errors=True)


@case(serve=None, certificate="good")
def https_release_from_an_application_folder_to_an_installation(installation):
    """scripts/release --transport system --https for each channel: its nginx site serves TLS on
    443 only, with the given certificate; velmora-fetch check --https passes against it; its
    installer installs on a clean machine. Built in BUILD/e2e-https-release (kept between runs)."""
    machine = installation.machine
    host = worlds.download_host(machine.build)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-https-release-"))
    try:
        folder = machine.build / "e2e-https-release"
        certificate, key = installation.certificates["good"]
        prerequisites = worlds.prerequisites_folder(machine.build, work / "pre")
        for channel in worlds.CHANNELS:
            made = subprocess.run(
                [str(HERE.parents[1] / "scripts" / "release"), "--host", host,
                 "--site", worlds.website(machine.build),
                 "--app", str(worlds.application_tree(machine.build, work / channel, channel)),
                 "--prerequisites", str(prerequisites), "--channel", channel,
                 "--out", str(work / "dist"), "--build", str(folder), "--transport", "system",
                 "--https", "--tls-cert", str(certificate), "--tls-key", str(key)],
                capture_output=True, text=True)
            check(made.returncode == 0, f"scripts/release: {made.stderr[-1500:]}")
        site = (work / "dist" / "nginx-velmora.conf").read_text()
        check("listen 443 ssl;" in site and "listen 80" not in site, site)
        check(f"velmora-fetch check {host} --https" in made.stderr, made.stderr[-600:])
        subprocess.run(["cmake", "--build", str(folder / "host"), "--target", "velmora-fetch"],
                       check=True, stdout=subprocess.DEVNULL)
        installation.world.root = work / "dist" / "www"
        with worlds.servers.Nginx(work / "dist" / "www", port=443, prefix=installation.world.prefix,
                                  site=work / "dist" / "nginx-velmora.conf"):
            checked = in_namespace(installation, folder / "host" / "tools" / "velmora-fetch" /
                                   "velmora-fetch", "check", host, "--https")
            check(checked.returncode == 0, f"check --https:\n{checked.stdout}{checked.stderr}")
            record = installation.run(exe=work / "dist" / "installer" / "VelmoraInstaller.exe")
            check_finished(record)
            expected_installation(installation)
            check_logged(machine, "system transport, https", "https to port 443")
    finally:
        shutil.rmtree(work, ignore_errors=True)


@case(serve="release", prerequisites=True)
def signed_release_refuses_what_was_not_signed_or_pinned(installation):
    """The release's installer (package key and pins built in) against a changed server: a
    package with one byte changed and an unsigned one end the run right after their download,
    and an installer whose bytes differ from its pin ends the run before it is written; nothing
    is run, unpacked, registered, linked or started. The release is the field profile's, so the
    first refusal ends with the failure message, photographed (as the demo does) and answered."""
    release, machine = installation.release, installation.machine
    served = installation.world.root
    live = served / worlds.package_path("Live").lstrip("/")
    tampered = bytearray(live.read_bytes())
    tampered[len(tampered) // 2] ^= 0x01  # inside the entries' data, covered by the signature
    live.write_bytes(bytes(tampered))
    testing = served / worlds.package_path("Testing").lstrip("/")
    packed = subprocess.run([str(release.vmpkg), "pack", str(release.application("Testing")),
                             str(testing)], capture_output=True, text=True)
    check(packed.returncode == 0, f"vmpkg pack: {packed.stderr}")
    exe = release.dist / "installer" / "VelmoraInstaller.exe"
    shots = machine.work / "shots"
    for file_name, pictures in (("VelmoraInstaller.exe", shots),
                                ("VelmoraInstaller-Testing.exe", None)):
        record = installation.run(file_name, exe=exe, shots=pictures)
        check_run_ended(installation, record, [STATUS_PACKAGE], SIGNATURE_REFUSED)
    messages = sorted(shots.glob("*-dialog.bmp"))
    check(len(messages) == 1 and len(colours(messages[0])) > 2,  # more than a blank screen
          f"no picture of the failure message: {sorted(path.name for path in shots.iterdir())}")

    machine.wine("reg", "delete", RUNTIME_KEY, "/f", "/reg:32")
    runtime = served / RUNTIME_PATH.lstrip("/")
    runtime.write_bytes(runtime.read_bytes() + b"\0")
    record = installation.run("VelmoraInstaller-Beta.exe", exe=exe)
    check_run_ended(installation, record, [STATUS_DEPENDENCIES], RUNTIME_PIN_REFUSED)
    check(not (machine.temp / "Velmora" / worlds.RUNTIME_FILE).exists(),
          "the installer that differs from its pin was written")
    check(installation.world.requests()[-1] == RUNTIME_PATH,
          f"requests {installation.world.requests()}")


def signed_package(release, application, target):
    """`application` (a folder holding app/... or app itself) packed and signed with the
    release's key into `target`, as scripts/release makes a package."""
    packed = subprocess.run([str(release.vmpkg), "pack", "--sign", str(release.private_key),
                             str(application), str(target)], capture_output=True, text=True)
    check(packed.returncode == 0, f"vmpkg pack --sign: {packed.stderr}")


def many_files_application(build, folder, changed=(), seed=26):
    """The sample application with 297 data files of 20,000 random bytes more (300 files), the
    ones numbered `changed` rewritten; every time fixed, as a reproducible release's."""
    app = worlds.application_tree(build, folder)
    generator = random.Random(seed)
    for number in range(297):
        data = generator.randbytes(20_000)
        if number in changed:
            data = bytes(reversed(data))
        (app / "data" / f"file{number:03}.bin").write_bytes(data)
    for path in [app, *app.rglob("*")]:
        os.utime(path, (1_700_000_000, 1_700_000_000))
    return app


@case(serve="release", prerequisites=True)
def signed_release_updates_only_what_changed(installation):
    """The release's installer (field profile, package key) installs a 300-file release and
    keeps its package; the next release changed 3 files: the run fetches the package's end and
    the changed entries' spans with single ranges (nginx's log: no whole download, at most 10 %
    of the package served) and leaves the new version whole. A third release with a byte of a
    changed entry altered on the server: the rebuilt package and the whole download are both
    refused (15), the second version stays whole. An older signed release is refused with 48
    before anything is touched."""
    release, machine = installation.release, installation.machine
    build, served = machine.build, installation.world.root / PACKAGE_REQUEST
    exe = release.dist / "installer" / "VelmoraInstaller.exe"
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-partial-"))
    try:
        signed_package(release, many_files_application(build, work / "v1"), served)
        check_finished(installation.run(exe=exe), "first release:")
        check((machine.app_folder.parent / "App.vmpkg").read_bytes() == served.read_bytes(),
              "the installed package was not kept")

        signed_package(release, many_files_application(build, work / "v2", (10, 11, 200)), served)
        before = len(installation.world.server.logged())
        check_finished(installation.run(exe=exe), "second release:")
        logged = installation.world.server.logged()[before:]
        package = [entry for entry in logged if PACKAGE_REQUEST in entry[0]]
        sent = sum(entry[2] for entry in package)
        check(all(entry[1] == 206 and entry[3].startswith("bytes=") for entry in package) and
              len(package) >= 2 and sent * 10 <= served.stat().st_size,
              f"package requests {package} ({sent} of {served.stat().st_size} bytes)")
        check_logged(machine, "partial update: ", "entries kept", "signature: good")
        version_2 = tree_of(served)
        check(files_below(machine.app_folder) == version_2, "the second release is not whole")

        signed_package(release, many_files_application(build, work / "v3", (20, 21)), served)
        tampered = bytearray(served.read_bytes())
        with zipfile.ZipFile(served) as archive:
            entry = archive.getinfo("app/data/file020.bin")
        tampered[entry.header_offset + 200] ^= 0x01  # inside a changed entry's data
        served.write_bytes(bytes(tampered))
        record = installation.run(exe=exe)
        check(record.exit_code() == SIGNATURE_REFUSED, "\n" + record.dump())
        check_logged(machine, "partial update: whole: the key refuses it", "signature: refused")
        check(files_below(machine.app_folder) == version_2, "a refused release changed App")

        older = worlds.application_tree(build, work / "older",
                                        application="standin-app-v5-older.exe")
        signed_package(release, older, served)
        record = installation.run(exe=exe)
        check(record.exit_code() == DOWNGRADE_REFUSED, "\n" + record.dump())
        check_logged(machine, "version: package 5.0.2.0 < installed 5.0.3.0")
        check(files_below(machine.app_folder) == version_2, "a downgrade changed App")
        check(not (machine.app_folder.parent / "App.new").exists(), "a downgrade staged files")
    finally:
        shutil.rmtree(work, ignore_errors=True)


@case(serve="release", prerequisites=True)
def signed_release_partial_update_killed_while_unpacking(installation):
    """A partial update (3 of 300 files changed) killed as soon as App.new appears, after its
    ranges: run again with the server unreachable, the installer recovers as after any killed
    update (a whole first or second release, nothing beside App but the kept package)."""
    release, machine = installation.release, installation.machine
    build, served = machine.build, installation.world.root / PACKAGE_REQUEST
    exe = release.dist / "installer" / "VelmoraInstaller.exe"
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-partial-"))
    try:
        signed_package(release, many_files_application(build, work / "v1"), served)
        check_finished(installation.run(exe=exe), "first release:")
        versions = [tree_of(served)]
        signed_package(release, many_files_application(build, work / "v2", (10, 11, 200)), served)
        versions.append(tree_of(served))
        beside = machine.app_folder.parent
        runner = threading.Thread(target=lambda: installation.run(exe=exe))
        runner.start()
        appeared = installation.wait_for(lambda: (beside / "App.new").exists(), seconds=150)
        machine.stop_wine()  # the kill
        runner.join()
        check(appeared, "App.new never appeared")
        check_logged(machine, "partial update: ", "entries kept")
        installation.world.server.stop()
        record = installation.run(exe=exe)
        check(record.exit_code() == PACKAGE_DOWNLOAD_FAILED, "\n" + record.dump())
        check(files_below(machine.app_folder) in versions, "neither the first nor the second")
        for name in ("App.new", "App.old", "App.switch"):
            check(not (beside / name).exists(), f"{name} is left")
    finally:
        shutil.rmtree(work, ignore_errors=True)


# ---------------------------------------------------------------- transports: HTTPS and proxies

def download_lines(machine):
    return [line for line in run_log(machine) if line.startswith("download ")]


@case("https_installs_everything", transport="https", certificate="good",
      given={"route": "direct"})
@case("system_transport_installs_through_the_users_proxy_over_http", transport="system",
      proxy_only=True, given={"route": "named proxy 127.0.0.1:8888"})
@case("system_transport_installs_through_the_users_proxy_over_https", transport="https",
      certificate="good", proxy_only=True, given={"route": "named proxy 127.0.0.1:8888"})
@case("field_system_transport_installs_through_the_users_proxy_over_https",
      transport="field-https", certificate="good", proxy_only=True,
      given={"route": "named proxy 127.0.0.1:8888"})
def system_transport_installs_everything(installation, route):
    """The installer built with the system transport installs everything on a clean machine:
    over HTTPS from nginx with a certificate of the (here trusted) throwaway CA, and in a world
    where only the proxy the user's settings name reaches the server, over HTTP and HTTPS. The
    log names the route and each download's end."""
    https = installation.case.transport.endswith("https")
    if installation.case.proxy_only and not https:
        users_proxy_over_plain_http(installation)
    record = installation.run()
    check_finished(record)
    machine = installation.machine
    check_logged(machine, "system transport, " + ("https" if https else "http"),
                 "transport: system (WinINet), " + ("https to port 443" if https else
                                                    "http to port 80"),
                 "proxy settings: " + route, "end: installed and started, exit code 0")
    downloads = download_lines(machine)
    check(len(downloads) == 3 and all(line.endswith("complete") for line in downloads),
          "\n".join(run_log(machine)))
    if installation.case.proxy_only:
        proxied = installation.world.tinyproxy.log()
        host = worlds.download_host(installation.machine.build)
        asked = f"CONNECT {host}:443" if https else f"GET http://{host}"
        check(asked in proxied, f"the proxy saw no {asked!r}:\n{proxied[-2000:]}")
    expected_installation(installation)


def users_proxy_over_plain_http(installation):
    """velmora-fetch.exe --system (WinINet with the user's settings, one download per process)
    gets a prerequisite through the proxy over plain HTTP. Then, under qemu-i386, the rest of the
    case is skipped: over plain HTTP the proxy's answers carry no "Connection: close" (tinyproxy
    drops the field), so WinINet keeps the connection and starts a thread that collects idle
    connections; under the Wine of this harness that thread crashes at its first instruction
    (address 1, WINEDEBUG=+seh) and takes the installer with it. Over HTTPS (the next row) the
    answers come from nginx through the tunnel with "Connection: close", and nothing is kept."""
    machine = installation.machine
    fetch = machine.work / "velmora-fetch.exe"
    shutil.copyfile(machine.build / "tools" / "velmora-fetch" / "velmora-fetch.exe", fetch)
    host = worlds.download_host(machine.build)
    fetched = machine.wine(fetch, "--system", host, "80", RUNTIME_PATH,
                           machine.windows(machine.work / "runtime.exe"))
    check(fetched.returncode == 0 and "positions:" in fetched.stderr,
          f"velmora-fetch --system: {fetched.returncode}: {fetched.stderr[-1500:]}")
    check(re.search(f"GET http://{re.escape(host)}(:80)?{re.escape(RUNTIME_PATH)} ",
                    installation.world.tinyproxy.log()),
          "velmora-fetch did not go through the proxy:\n" + installation.world.tinyproxy.log())
    if wineenv.enable_i386_emulation():
        raise CaseSkipped("the installer over plain HTTP through tinyproxy: WinINet's "
                          "connection collector thread crashes under qemu-i386 (see the test)")


# Windows names a certificate of an unknown authority 12045; Wine's crypt32 reports the
# revocation it could not check for such a chain first (12057).
@case("https_refuses_a_certificate_of_an_unknown_authority", transport="https",
      certificate="unknown-ca", given={"codes": (12045, 12057)})
@case("https_refuses_a_certificate_for_another_host_name", transport="https",
      certificate="other-name", given={"codes": (12038,)})
@case("https_refuses_an_expired_certificate", transport="https", certificate="expired",
      given={"codes": (12037,)})
def https_refuses_the_certificate(installation, codes):
    """A certificate the system does not accept ends the run at the first download (the
    runtime's, exit code 10) with nothing run, unpacked, registered or linked; the log names
    WinINet's code, and no request reached the server (nor went over plain HTTP)."""
    record = installation.run()
    check_run_ended(installation, record, [STATUS_DEPENDENCIES], RUNTIME_DOWNLOAD_FAILED)
    log = "\n".join(run_log(installation.machine))
    check(any(f"download {RUNTIME_PATH}: status 0, length -1, received 0" in log and
              f"connect failed (system error {code})" in log and
              f"WinINet error {code}: certificate refused" in log for code in codes),
          f"the log names none of {codes}:\n{log}")
    check(installation.world.requests() == [], f"requests {installation.world.requests()}")


@case(transport="https", certificate="good", prerequisites=True,
      redirect_to_http=(worlds.package_path("Live"),))
def https_refuses_a_redirect_to_http(installation):
    """An HTTPS answer that redirects the package to plain HTTP (where nginx would serve it) is
    refused: exit code 12, the log shows the 302, and the package was asked for once."""
    record = installation.run()
    check_run_ended(installation, record, [STATUS_PACKAGE], PACKAGE_DOWNLOAD_FAILED)
    check_logged(installation.machine, f"download {worlds.package_path('Live')}: status 302",
                 "status not 2xx")
    check(installation.world.requests() == [worlds.package_path("Live")],
          f"requests {installation.world.requests()}")


@case(proxy_only=True)
def socket_client_fails_where_only_a_proxy_reaches(installation):
    """The described client ignores the user's proxy: in the proxy-only world its first
    download (the runtime's) is refused, exit code 10, and the log says so."""
    record = installation.run()
    check_run_ended(installation, record, [STATUS_DEPENDENCIES], RUNTIME_DOWNLOAD_FAILED)
    check_logged(installation.machine, f"download {RUNTIME_PATH}: status 0",
                 "connection refused (system error 10061)")
    check(not any(line.startswith("transport:") for line in run_log(installation.machine)),
          "the socket build logged a transport line")


@case(transport="https", certificate="good", prerequisites=True)
def planted_wininet_is_not_loaded(installation):
    """A wininet.dll planted in Downloads, where the installer built with the system transport
    lies and runs from: loaded by name from there it is taken (the control), but the
    installation loads the system's copy and installs."""
    machine = installation.machine
    downloads = machine.downloads
    probe = downloads / "load-probe.exe"
    shutil.copyfile(machine.fixture("load-probe.exe"), probe)
    shutil.copyfile(machine.fixture("planted.dll"), downloads / "wininet.dll")
    overrides = {"WINEDLLOVERRIDES": "wininet=n,b;mscoree,mshtml="}

    def planted_loads():
        loads = [event for event in installation.standins() if event[0] == "planted"]
        installation.log.unlink(missing_ok=True)
        return loads

    machine.wine(probe, "by-name", "wininet.dll", extra_env=installation.environment(overrides),
                 cwd=downloads)
    check(planted_loads(), "the control did not load the planted wininet.dll")
    record = installation.run(extra_env=overrides, cwd=downloads)
    check_finished(record)
    expected_installation(installation)
    check(planted_loads() == [], "the planted wininet.dll was loaded")
    check_logged(machine, "transport: system (WinINet)")


# ---------------------------------------------------------------- the field profile

FIELD_SENTENCE_DOWNLOAD = ("Velmora could not be downloaded; check the internet connection. "
                           "Nothing was changed on this computer.")


def changed_package(build, work, tree):
    """The proxy's "change": the served package is replaced, while it is being downloaded, by
    one whose readme differs (a new version, so a new ETag)."""
    source = work / "changed"
    app = worlds.application_tree(build, source)
    (app / "readme.txt").write_text("Velmora 5, changed while it was downloaded\r\n")
    replacement = worlds.make_package(source, work / "changed.vmpkg")
    return ("change", tree / PACKAGE_REQUEST, replacement)


def package_requests(installation):
    return [line for line in installation.world.proxied() if line[0].endswith(".vmpkg")]


# The proxy spoils the package's first answer half-way. Cut: the next attempt asks for the rest
# and gets it (206); the bytes passed on add up to one package. Stalled: the same after the
# receive time-out (the build's own 60 s). Changed: the rest is asked for with the old ETag,
# and the server answers with the whole new file (200), which is installed. Then the ways ranges
# go wrong: with weak ETags the rest is asked for by date; a 206 of another version (a cache that
# ignores If-Range) or from another offset, and a 416, are followed by the whole body from byte 0;
# a server that ignores Range sends the whole body at once. The cut and the changed file
# also over the system transport (WinINet), over HTTP and HTTPS (the proxy then speaks TLS).
@case("field_connection_cut_at_half_resumes", profile="field", proxy="cut", prerequisites=True,
      given={"resumed": True})
@case("field_stall_resumes_after_the_time_out", profile="field", proxy="stall",
      prerequisites=True, given={"resumed": True, "stalls": True})
@case("field_file_changed_between_attempts_starts_again", profile="field",
      proxy=changed_package, prerequisites=True, given={"resumed": False})
@case("field_system_connection_cut_at_half_resumes", transport="field-system", proxy="cut",
      prerequisites=True, given={"resumed": True})
@case("field_https_connection_cut_at_half_resumes", transport="field-https", certificate="good",
      proxy="cut", prerequisites=True, given={"resumed": True})
@case("field_system_file_changed_between_attempts_starts_again", transport="field-system",
      proxy=changed_package, prerequisites=True, given={"resumed": False})
@case("field_https_file_changed_between_attempts_starts_again", transport="field-https",
      certificate="good", proxy=changed_package, prerequisites=True, given={"resumed": False})
@case("field_weak_etag_resumes_by_date", profile="field", proxy="weak-etag", prerequisites=True,
      given={"resumed": True, "by_date": True})
@case("field_206_of_another_version_starts_again", profile="field", proxy="other-etag",
      prerequisites=True, given={"resumed": False, "refused": "206"})
@case("field_206_from_another_offset_starts_again", profile="field", proxy="other-offset",
      prerequisites=True, given={"resumed": False, "refused": "206"})
@case("field_416_starts_again", profile="field", proxy="416", prerequisites=True,
      given={"resumed": False, "refused": "416"})
@case("field_range_ignored_takes_the_whole_body", profile="field", proxy="ignore-range",
      prerequisites=True, given={"resumed": False})
def field_download_fault_is_retried(installation, resumed, stalls=False, by_date=False,
                                    refused=None):
    """A download spoiled half-way is tried again once, resumed where it stopped (or started
    again when the file changed), and the whole installation completes. An answer to the range
    request that cannot continue the kept bytes (`refused`: its status) is followed by the whole
    body from byte 0."""
    started = time.monotonic()
    record = installation.run()
    elapsed = time.monotonic() - started
    check_finished(record)
    expected_installation(installation)
    requests = package_requests(installation)
    check(len(requests) == (3 if refused else 2), f"package requests: {requests}")
    (_, first_range, _, first_status, first_passed), (_, second_range, if_range, status, passed) \
        = requests[:2]
    size = (installation.world.root / PACKAGE_REQUEST).stat().st_size
    start = int(second_range.removeprefix("bytes=").rstrip("-") or 0)
    check(first_range == "-" and first_status == "200" and 0 < start <= int(first_passed),
          f"the second request did not ask for the rest: {requests}\n" +
          "\n".join(run_log(installation.machine)))
    if by_date:
        check(re.fullmatch(r"\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT", if_range),
              f"no Last-Modified in If-Range: {requests}")
    else:
        check(if_range.startswith('"'), f"no ETag in If-Range: {requests}")
    if refused:
        _, third_range, _, third_status, third_passed = requests[2]
        check(status == refused and third_range == "-" and third_status == "200" and
              int(third_passed) == size, f"not started again from byte 0: {requests}")
        check_logged(installation.machine, "asking for bytes", "attempt 2 of 5", "from byte 0",
                     "status 200, ")
    elif resumed:
        check(status == "206", f"not resumed: {requests}")
        served = int(first_passed) + int(passed)
        check(size <= served < size * 1.1, f"{served} bytes served for a package of {size}")
        check_logged(installation.machine, "asking for bytes", "status 206, ")
    else:
        check(status == "200" and int(passed) == size, f"not started again: {requests}")
        check_logged(installation.machine, "asking for bytes", "status 200, ")
    if stalls:
        check_logged(installation.machine, "receive timed out")
        check(elapsed >= 60, f"resumed after {elapsed:.0f} s, before the time-out")


@case("field_busy_server_is_asked_again_when_it_says", profile="field", proxy="busy",
      prerequisites=True)
def field_busy_server_is_asked_again_when_it_says(installation):
    """A 503 with Retry-After: the next attempt comes after the time it asked for, not the
    back-off's first second."""
    record = installation.run()
    check_finished(record)
    expected_installation(installation)
    statuses = [line[3] for line in package_requests(installation)]
    check(statuses == ["503", "200"], f"package answers: {statuses}")
    check_logged(installation.machine, f"status 503, received 0; again in "
                 f"{worlds.servers.BUSY_SECONDS * 1000} ms")


@case("field_system_server_never_answers_is_retried", transport="field-system", proxy="mute",
      prerequisites=True)
@case("field_system_server_accepts_no_connection_is_retried", transport="field-system",
      unanswered=True, prerequisites=True)
def field_system_time_out_is_retried(installation):
    """The field profile over WinINet: a first attempt whose request is never answered (the
    receive time-out, 60 s) or whose connection is never taken (the connect time-out; under Wine
    the kernel's, see the rows above; the server takes connections again once the attempt is
    logged) is tried again, and the run installs."""
    machine = installation.machine
    unanswered = installation.case.unanswered
    ran = {}
    runner = threading.Thread(target=lambda: ran.update(record=installation.run()))
    started = time.monotonic()
    runner.start()
    if unanswered:  # answered once the first attempt has given up (see the rows above: Wine)
        logged = installation.wait_for(lambda: any("attempt 1 of 5: " in line
                                                   for line in run_log(machine)), seconds=170)
        installation.world.namespace.answer()
        check(logged, "the first attempt did not end:\n" + "\n".join(run_log(machine)))
    runner.join()
    elapsed = time.monotonic() - started
    check("record" in ran, "the run did not end (above)")
    check_finished(ran["record"])
    ended = ["connect timed out", "connection refused"] if unanswered else \
        ["receive timed out", "connection broken"]
    lines = run_log(machine)
    check(any(f"attempt 1 of 5: {end}" in line for end in ended for line in lines),
          "\n".join(lines))
    check_logged(machine, "again in 1000 ms", "end: installed and started")
    check(elapsed >= (30 if unanswered else 60), f"installed after {elapsed:.0f} s")
    expected_installation(installation)


# ---------------------------------------------------------------- releases in object storage

def publish(installation, dist, wait=True):
    """`scripts/release publish` of `dist` into the case's store, run inside its network with
    the store's throwaway credentials: its stderr, or (wait=False) the running process."""
    store = installation.world.store
    command = installation.world.prefix + ["env"] + [
        f"{name}={value}" for name, value in store.environment.items()] + [
        str(HERE.parents[1] / "scripts" / "release"), "publish", "--from", str(dist),
        "--upload", f"s3://{store.bucket}", "--endpoint", store.endpoint]
    if not wait:
        return subprocess.Popen(command, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
    published = subprocess.run(command, capture_output=True, text=True, timeout=900)
    check(published.returncode == 0, f"publish {dist}:\n{published.stderr}")
    return published.stderr


def through_the_edge(installation, dist):
    """{key: bytes} of every file of `dist` that is published, as the edge serves it now."""
    keys = [path.relative_to(dist / "www").as_posix() for path in (dist / "www").rglob("*")
            if path.is_file() and path.name != "edge.conf"] + \
        [path.relative_to(dist).as_posix() for path in (dist / "installer").glob("*")] + \
        ["SHA256SUMS"]
    host = worlds.download_host(installation.machine.build)
    return {key: subprocess.run(installation.world.prefix + ["curl", "-sf", f"http://{host}/{key}"],
                                capture_output=True, timeout=60).stdout for key in keys}


def published_bytes(dist):
    """{key: bytes} of what `dist` publishes (the keys of through_the_edge)."""
    files = {path.relative_to(dist / "www").as_posix(): path for path in
             (dist / "www").rglob("*") if path.is_file() and path.name != "edge.conf"}
    files.update({path.relative_to(dist).as_posix(): path
                  for path in (dist / "installer").glob("*")})
    files["SHA256SUMS"] = dist / "SHA256SUMS"
    return {key: path.read_bytes() for key, path in files.items()}


def next_release(installation, channels, stored=False):
    """A copy of the case's release whose packages of `channels` hold another readme and
    another first byte of data/sample.bin (as long as before: with `stored` packages the new
    package is as long as the old, and a mix of the two has a damaged entry)."""
    first = installation.world.root.parent
    dist = first.parent / (first.name + "-next")
    shutil.copytree(first, dist, ignore=shutil.ignore_patterns("edge.conf"))
    for channel in channels:
        source = dist.parent / f"next-{channel}"
        app = worlds.application_tree(installation.machine.build, source, channel)
        (app / "readme.txt").write_text("Velmora 5 sample packagf\r\n")
        sample = bytearray((app / "data" / "sample.bin").read_bytes())
        sample[0] ^= 0xFF
        (app / "data" / "sample.bin").write_bytes(sample)
        worlds.make_package(source, dist / "www" / worlds.package_path(channel).lstrip("/"),
                            method="-0" if stored else None)
    return dist


def installed_release(installation, *dists):
    """The release of `dists` whose Live package the installation holds whole, or None."""
    for dist in dists:
        installation.world.root = dist / "www"
        with contextlib.suppress(CaseFailed):
            expected_installation(installation)
            return dist
    return None


def stored_packages(build, work):
    """The Live package with stored entries, so that the next release's is exactly as long."""
    source = work / "stored"
    worlds.application_tree(build, source)
    return {"Live": worlds.make_package(source, work / "stored.vmpkg", method="-0")}


@case(serve=None, store=True, profile="field")
def release_published_to_object_storage_installs_through_its_edge(installation):
    """`release publish` into the store: velmora-fetch check passes on the store itself (with
    its misbehaviours as warnings) and through the edge, and the field installer installs
    through the edge."""
    dist = installation.world.root.parent
    publish(installation, dist)
    fetch = worlds.Release(installation.machine.build / "e2e-release").fetch
    store = installation.world.store
    direct = in_namespace(installation, fetch, "check", f"{store.endpoint}/{store.bucket}")
    check(direct.returncode == 0 and "warning: " in direct.stdout,
          f"check of the store:\n{direct.stdout}{direct.stderr}")
    edge = in_namespace(installation, fetch, "check",
                        worlds.download_host(installation.machine.build))
    check(edge.returncode == 0, f"check through the edge:\n{edge.stdout}{edge.stderr}")
    check(through_the_edge(installation, dist) == published_bytes(dist),
          "the edge does not serve the release")
    check_finished(installation.run())
    expected_installation(installation)


def held_package(build, work, tree):
    """The proxy holds the first package answer half-way until the test lets go."""
    return ("hold", work / "let-go", "-")


@case(serve=None, store=True, profile="field", prerequisites=True, proxy=held_package,
      packages=stored_packages)
def release_published_over_one_being_downloaded(installation):
    """While the installer's download of the Live package is held half-way, the next release
    (a Live package of the same length) is published; the download is then cut. The resumed
    download meets the store's answer to If-Range and the run installs one release whole."""
    first = installation.world.root.parent
    publish(installation, first)
    runner = threading.Thread(target=lambda: setattr(installation, "record", installation.run()))
    runner.start()
    held = installation.wait_for(lambda: package_requests(installation), seconds=120)
    following = next_release(installation, ["Live"], stored=True)
    publish(installation, following)
    (installation.world.root.parent.parent / "let-go").touch()
    runner.join()
    check(held, "the package's download was never held")
    check_finished(installation.record)
    check(installed_release(installation, first, following) is not None,
          "the installation is neither release whole")


@case(serve=None, store=True, profile="field", prerequisites=True)
def publish_killed_half_way_leaves_a_whole_release(installation):
    """The next release's publish is killed while it sends the Live package: every object the
    edge serves is one release's whole, velmora-fetch check passes and the installer installs;
    run again, the publish sends only what is missing and the edge serves the next release."""
    first = installation.world.root.parent
    publish(installation, first)
    following = next_release(installation, worlds.CHANNELS)
    publishing = publish(installation, following, wait=False)
    said = []
    for line in publishing.stderr:
        said.append(line)
        if "Velmora.Html.Windows/Live/Velmora.Html.Windows.vmpkg: sending" in line:
            os.killpg(publishing.pid, signal.SIGKILL)
            break
    publishing.wait()
    check(publishing.returncode == -signal.SIGKILL, "the publish ended first:\n" + "".join(said))
    served = through_the_edge(installation, first)
    old, new = published_bytes(first), published_bytes(following)
    check(all(served[key] in (old[key], new[key]) for key in old),
          "after the kill an object is neither release's")
    fetch = worlds.Release(installation.machine.build / "e2e-release").fetch
    checked = in_namespace(installation, fetch, "check",
                           worlds.download_host(installation.machine.build))
    check(checked.returncode == 0, f"check after the kill:\n{checked.stdout}")
    check_finished(installation.run())
    check(installed_release(installation, first, following) is not None,
          "the installation is neither release whole")
    again = publish(installation, following)
    check("Beta/Velmora.Html.Windows.vmpkg: already there" in again, again)
    check(through_the_edge(installation, following) == new, "the next release is not served")


@case("field_five_failures_end_with_the_message", profile="field", serve=None,
      prerequisites=True)
def field_failures_end_with_the_message(installation):
    """No server: five attempts (1, 2, 4 and 8 s apart), then the failure message names what
    failed, that nothing changed, and the log's path. Retry runs everything again; Close ends
    with the exit code of the failed download."""
    machine = installation.machine
    started = time.monotonic()
    record = installation.run(extra_env={"VELMORA_WATCH_RETRIES": "1"})
    elapsed = time.monotonic() - started
    check(record.exit_code() == PACKAGE_DOWNLOAD_FAILED, "\n" + record.dump())
    texts = [event[3] for event in record.kinds("control") if len(event) > 3]
    check(texts.count(FIELD_SENTENCE_DOWNLOAD) == 2, "no failure message twice:\n" + record.dump())
    check(any(text.endswith("\\Velmora\\VelmoraInstaller.log.") for text in texts),
          "the message does not name the log:\n" + record.dump())
    check(len(record.kinds("user-retry")) == 1 and record.statuses().count(STATUS_PACKAGE) == 2,
          "Retry did not run again:\n" + record.dump())
    lines = run_log(machine)
    check(sum("; again in " in line for line in lines) == 8 and
          sum("; giving up" in line for line in lines) == 2, "\n".join(lines))
    check_logged(machine, "again in 1000 ms", "again in 8000 ms", "giving up",
                 "retry: the user asked", "again in 1000 ms", "giving up",
                 f"exit code {PACKAGE_DOWNLOAD_FAILED}")
    check(elapsed >= 30, f"two runs of five attempts took only {elapsed:.0f} s")
    check(not machine.app_folder.exists(), "something was unpacked")


def numbered_version(build, work, version, files=3000):
    """A package of `files` small files (and the stand-in application) whose contents name
    `version`: unpacking and switching it takes long enough to be interrupted."""
    package = work / f"version-{version}.vmpkg"
    with zipfile.ZipFile(package, "w", zipfile.ZIP_STORED) as archive:
        archive.write(pathlib.Path(build) / "tests" / "fixtures" / "standin-app-v5.exe",
                      "app/Velmora.exe")
        for index in range(files):
            archive.writestr(f"app/data/{index // 300:02}/part-{index:05}.txt",
                             f"version {version}, part {index}\r\n")
    return package


def first_version(build, work):
    return {"Live": numbered_version(build, work, 1)}


def tree_of(package):
    with zipfile.ZipFile(package) as archive:
        return {info.filename[4:]: archive.read(info) for info in archive.infolist()
                if info.filename.startswith("app/") and not info.is_dir()}


def files_below(folder):
    return {str(path.relative_to(folder)): path.read_bytes()
            for path in folder.rglob("*") if path.is_file()}


@case("field_update_killed_while_unpacking", profile="field", packages=first_version,
      prerequisites=True, given={"moment": "App.new"})
@case("field_update_killed_while_setting_aside", profile="field", packages=first_version,
      prerequisites=True, given={"moment": "App.old"})
@case("field_update_killed_while_switching", profile="field", packages=first_version,
      prerequisites=True, given={"moment": "App.switch"})
@case("field_system_update_killed_while_switching", transport="field-system",
      packages=first_version, prerequisites=True, given={"moment": "App.switch"})
@case("field_https_update_killed_while_switching", transport="field-https", certificate="good",
      packages=first_version, prerequisites=True, given={"moment": "App.switch"})
def field_update_survives_a_kill(installation, moment):
    """Version 1 installed, version 2 served: the installer is killed as soon as `moment`
    (beside the application folder) appears. Run again with the server unreachable, it finds
    what the kill left as its first step and leaves a complete version 1 or 2, nothing beside."""
    machine = installation.machine
    check_finished(installation.run(), "version 1:")
    served = installation.world.root / PACKAGE_REQUEST
    versions = {1: tree_of(served)}
    shutil.copyfile(numbered_version(machine.build, installation.world.root.parent, 2), served)
    versions[2] = tree_of(served)
    beside = machine.app_folder.parent
    runner = threading.Thread(target=installation.run)
    runner.start()
    appeared = installation.wait_for(lambda: (beside / moment).exists(), seconds=150)
    machine.stop_wine()  # the kill
    runner.join()
    check(appeared, f"{moment} never appeared")
    installation.world.server.stop()
    record = installation.run()
    check(record.exit_code() == PACKAGE_DOWNLOAD_FAILED, "\n" + record.dump())
    check_logged(machine, "recover: ", "download /Velmora.Html.Windows/Live/")
    left = files_below(machine.app_folder)
    check(left in (versions[1], versions[2]),
          f"after a kill at {moment}: neither version 1 nor 2 ({len(left)} files)")
    for name in ("App.new", "App.old", "App.switch"):
        check(not (beside / name).exists(), f"{name} is left")


@case("field_full_disk_keeps_the_previous_version", profile="field", prerequisites=True)
def field_full_disk_keeps_the_previous_version(installation):
    """The disk holds version 1 but not version 2 beside it: the run ends before anything is
    touched, with the previous version whole and its own exit code."""
    machine = installation.machine
    served = installation.world.root / PACKAGE_REQUEST
    first = tree_of(served)
    # Version 1, the free-space margin and a little more; version 2 carries 2 MiB more.
    disk = sum(pages(len(data)) for data in first.values()) + (8 << 20) + (1 << 20)
    with small_file_system(machine, machine.app_folder.parent, disk):
        check_finished(installation.run(), "version 1:")
        source = pathlib.Path(tempfile.mkdtemp(prefix="velmora-v2-"))
        try:
            app = worlds.application_tree(machine.build, source)
            (app / "data" / "larger.bin").write_bytes(random.Random(2).randbytes(2 << 20))
            worlds.make_package(source, served)
        finally:
            shutil.rmtree(source, ignore_errors=True)
        installation.log.unlink()
        record = installation.run()
        check(record.exit_code() == NO_SPACE, "\n" + record.dump())
        check(files_below(machine.app_folder) == first, "version 1 is not whole")
        check(not (machine.app_folder.parent / "App.new").exists(), "something was staged")
        check_logged(machine, "space: ", f"exit code {NO_SPACE}")


@case("field_held_file_keeps_the_previous_version", profile="field", prerequisites=True)
def field_held_file_keeps_the_previous_version(installation):
    """Another program holds a file of version 1 open: it is tried again for a few seconds (one
    budget for the whole switch, not one per file), then everything set aside goes back, and
    version 1 stays whole and startable; the run ends in bounded time."""
    machine = installation.machine
    check_finished(installation.run(), "version 1:")
    served = installation.world.root / PACKAGE_REQUEST
    first = files_below(machine.app_folder)
    source = machine.work / "v2"
    app = worlds.application_tree(machine.build, source)
    (app / "readme.txt").write_text("Velmora 5, version 2\r\n")
    worlds.make_package(source, served)
    shutil.copyfile(machine.fixture("velmora-hold.exe"), machine.work / "velmora-hold.exe")
    holder = machine.wine_background(machine.work / "velmora-hold.exe",
                                     machine.windows(machine.app_folder / "readme.txt"), "120000")
    try:
        time.sleep(5)  # the holder has opened the file
        started = time.monotonic()
        record = installation.run()
        elapsed = time.monotonic() - started
    finally:
        holder.kill()
        machine.stop_wine()
    check(record.exit_code() == FILE_HELD, "\n" + record.dump())
    check(files_below(machine.app_folder) == first, "version 1 is not whole")
    for name in ("App.new", "App.old", "App.switch"):
        check(not (machine.app_folder.parent / name).exists(), f"{name} is left")
    check_logged(machine, "cannot be moved", "held", f"exit code {FILE_HELD}")
    check(elapsed < 60, f"a held file kept the run going for {elapsed:.0f} s")


def clash_version(build, work, version, x_is_folder):
    """A package whose data\\x is a folder holding a file and whose data\\y is a file, or the
    reverse; every content names `version`."""
    source = work / f"clash-{version}"
    data = worlds.application_tree(build, source) / "data"
    folder, file = ("x", "y") if x_is_folder else ("y", "x")
    (data / folder).mkdir()
    (data / folder / "inner.txt").write_text(f"version {version}, inside {folder}\r\n")
    (data / file).write_text(f"version {version}, {file} as a file\r\n")
    return worlds.make_package(source, work / f"clash-{version}.vmpkg")


@case("field_folder_becomes_a_file_and_back", profile="field", prerequisites=True,
      packages=lambda build, work: {"Live": clash_version(build, work, 1, True)})
def field_folder_becomes_a_file_and_back(installation):
    """Version 2 turns the folder data\\x into a file and the file data\\y into a folder,
    version 3 turns them back: each installs whole (what it replaces set aside whole), and the
    run after it is not stuck."""
    machine = installation.machine
    check_finished(installation.run(), "version 1:")
    served = installation.world.root / PACKAGE_REQUEST
    for version, x_is_folder in ((2, False), (3, True)):
        shutil.copyfile(clash_version(machine.build, machine.work, version, x_is_folder), served)
        check_finished(installation.run(), f"version {version}:")
        check(files_below(machine.app_folder) == tree_of(served), f"version {version} not whole")
        for name in ("App.new", "App.old", "App.switch"):
            check(not (machine.app_folder.parent / name).exists(), f"{name} is left")
    check_finished(installation.run(), "the run after version 3:")


def two_channels(build, work):
    return {"Live": numbered_version(build, work, 1, files=1000),
            "Beta": numbered_version(build, work, 2, files=1000)}


@case("field_two_channels_at_once_leave_one_whole_version", profile="field", prerequisites=True,
      packages=two_channels)
def field_two_channels_at_once_leave_one_whole_version(installation):
    """VelmoraInstaller.exe (Live) and VelmoraInstaller-Beta.exe, which admission lets run side
    by side, started together three times: one waits for the other's switch (the lock beside
    App), both end with 0, and App holds one whole version with nothing beside it."""
    machine = installation.machine
    root = installation.world.root
    versions = [tree_of(root / PACKAGE_REQUEST),
                tree_of(root / PACKAGE_REQUEST.replace("/Live/", "/Beta/"))]
    exe = worlds.field_installer(machine.build)
    installers = [machine.installer_copy(name, exe=exe)
                  for name in ("VelmoraInstaller.exe", "VelmoraInstaller-Beta.exe")]
    for round in range(3):
        runs = [machine.wine_background(installer, extra_env=installation.environment())
                for installer in installers]
        try:
            codes = [run.wait(timeout=RUN_TIMEOUT) for run in runs]
        finally:
            machine.stop_wine()
        check(codes == [INSTALLED, INSTALLED], f"round {round + 1}: exit codes {codes}")
        check(files_below(machine.app_folder) in versions, f"round {round + 1}: a mixed version")
        for name in ("App.new", "App.old", "App.switch", "App.lock"):
            check(not (machine.app_folder.parent / name).exists(), f"{name} is left")
    check_logged(machine, "lock: held by another installer; waiting", "lock: had after")


@case("field_leftover_app_old_is_removed_not_moved_back", profile="field", prerequisites=True)
def field_leftover_app_old_is_removed_not_moved_back(installation):
    """An earlier installer finished a switch but could not remove App.old (a file another
    program had loaded) and removed its mark regardless: the next run removes App.old and
    moves nothing of it back over the installed version."""
    machine = installation.machine
    check_finished(installation.run(), "version 1:")
    installed = files_below(machine.app_folder)
    aside = machine.app_folder.parent / "App.old"
    (aside / "data").mkdir(parents=True)
    (aside / "readme.txt").write_text("an older readme\r\n")
    (aside / "data" / "sample.bin").write_bytes(b"older")
    check_finished(installation.run(), "the next run:")
    check(files_below(machine.app_folder) == installed, "App.old was moved back")
    check(not aside.exists(), "App.old is left")
    check_logged(machine, "recover: removing a finished update's App.old")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path)
    parser.add_argument("--state", type=pathlib.Path)
    parser.add_argument("--case")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--list-release", action="store_true")
    parser.add_argument("--make-release", action="store_true")
    parser.add_argument("--list-variants", action="store_true")
    parser.add_argument("--make-variants", action="store_true")
    parser.add_argument("--list-field", action="store_true")
    parser.add_argument("--make-field", action="store_true")
    arguments = parser.parse_args()
    if arguments.list:
        print(";".join(CASES))
        return 0
    if arguments.list_release:
        # The store's cases check it with the release's host tools.
        print(";".join(name for name, row in CASES.items()
                       if row.serve == "release" or row.store))
        return 0
    if arguments.list_variants:
        print(";".join(name for name, row in CASES.items() if row.transport))
        return 0
    if arguments.list_field:
        print(";".join(name for name, row in CASES.items() if row.profile == "field"))
        return 0
    if arguments.make_field:
        worlds.make_field_installer(arguments.build.resolve())
        return 0
    if arguments.make_release:
        worlds.make_release(arguments.build.resolve(), arguments.build.resolve() / "e2e-release")
        return 0
    if arguments.make_variants:
        worlds.build_variants(arguments.build.resolve())
        return 0
    # Stopped with SIGTERM, a case still goes through its clean-ups (mounts, servers,
    # namespaces). A SIGKILL (ctest's time-out) skips them: dropping the prefix in the next run
    # of the case, or wineenv's cleanup, unmounts what it left.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(f"{arguments.case}: terminated"))
    try:
        run_case(arguments.case, arguments.build.resolve(), arguments.state.resolve())
    except CaseFailed as failure:
        print(f"FAILED {arguments.case}: {failure}", file=sys.stderr)
        return 1
    except CaseSkipped as reason:
        print(f"skipped {arguments.case}: {reason}")
        return SKIPPED
    print(f"passed {arguments.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
