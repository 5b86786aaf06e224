#!/usr/bin/env python3
"""Wine environment of the test suite: 32-bit execution, throw-away prefixes and a virtual display.

One test run owns one state folder (in the build tree). `setup` makes it ready: 32-bit programs
can run, a template prefix exists, an Xvfb display runs. Every case works in its own copy of the
template with its own HOME (Wine links the profile folders to HOME). `cleanup` stops every
wineserver and the display that this run started and deletes the prefixes.

As root, `setup` also mounts a small file system (SMALL_DRIVE_SIZE) that `run` maps as drive S:
and names in VELMORA_SMALL_DRIVE, so that a Windows test can see a write fail part-way when the
disk fills up. Whatever a case mounts below a prefix (see `mount_tmpfs`) is unmounted when the
prefix is dropped, so a case that was killed leaves no mount behind.

Command line (used by CMake/ctest and the scripts):
    wineenv.py setup STATE            prepare (idempotent within one run)
    wineenv.py cleanup STATE          stop and delete what setup and the cases made
    wineenv.py run STATE NAME EXE ARGS...
                                      run a Windows program in prefix NAME (copied from the
                                      template on first use) and exit with its exit code
"""
import contextlib
import fcntl
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

HARNESS_DIR = pathlib.Path(__file__).resolve().parent
WINE_LOADER_32 = "/usr/lib/wine/wine"
# qemu-i386 must manage the whole 4 GiB guest space itself, or Wine cannot place its shared
# user data page at 0x7ffe0000; a fixed guest base lets the server shim translate addresses.
QEMU_RESERVED_VA = "0xffff0000"
QEMU_GUEST_BASE = "0x10000"
QEMU_I386_REGISTRATION = (
    r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:"
    r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:"
    r"/usr/bin/qemu-i386-static:F")
BINFMT = pathlib.Path("/proc/sys/fs/binfmt_misc")
SMALL_DRIVE_SIZE = "64k"
SMALL_DRIVE_LETTER = "s:"


def log(message):
    print(f"[wineenv] {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- 32-bit execution

def runs_i386():
    try:
        return subprocess.run([WINE_LOADER_32, "--version"], capture_output=True).returncode == 0
    except OSError:
        return False


def enable_i386_emulation():
    """True when 32-bit programs run through qemu-i386 (registering it if needed).

    Some kernels here run without IA-32 emulation; qemu-i386 then runs the 32-bit Wine loader.
    A registered qemu-i386 handler takes precedence over the kernel's own loader, so its
    presence alone decides."""
    entry = BINFMT / "qemu-i386"
    if entry.exists() and entry.read_text().startswith("enabled"):
        return True
    if runs_i386():
        return False
    if not (BINFMT / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(BINFMT)], check=True)
    if not entry.exists():
        (BINFMT / "register").write_text(QEMU_I386_REGISTRATION)
    if not runs_i386():
        raise SystemExit("32-bit programs cannot run here, not even through qemu-i386")
    return True


def build_shim(state):
    """The preload libraries that make Wine work under qemu: qemu_mmap_shim.c for the 32-bit
    processes, qemu_server_shim.c for the 64-bit ones (the wineserver above all)."""
    for source, target, flags in (
            ("qemu_mmap_shim.c", state / "lib" / "i386-linux-gnu" / "libvmshim.so", ["-m32"]),
            ("qemu_server_shim.c", state / "lib" / "x86_64-linux-gnu" / "libvmshim.so", [])):
        source = HARNESS_DIR / source
        if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["gcc", *flags, "-O2", "-shared", "-fPIC", str(source), "-o", str(target),
                        "-ldl"], check=True)


# ---------------------------------------------------------------- state and environment

def load_state(state):
    path = state / "state.json"
    return json.loads(path.read_text()) if path.exists() else {}


def save_state(state, values):
    (state / "state.json").write_text(json.dumps(values, indent=1))


def environment(state, prefix, home, extra=None):
    values = load_state(state)
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": str(prefix),
        "HOME": str(home),
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "LANG": "C.UTF-8",
    })
    if values.get("emulated"):
        env["QEMU_RESERVED_VA"] = QEMU_RESERVED_VA
        env["QEMU_GUEST_BASE"] = QEMU_GUEST_BASE
        env["VELMORA_QEMU_GUEST_BASE"] = QEMU_GUEST_BASE
        env["LD_PRELOAD"] = str(state) + "/$LIB/libvmshim.so"
    if values.get("display"):
        env["DISPLAY"] = values["display"]
    else:
        env.pop("DISPLAY", None)
    if extra:
        env.update(extra)
    return env


def prefix_paths(state, name):
    return state / "prefixes" / name, state / "homes" / name


def create_template(state):
    prefix, home = prefix_paths(state, "template")
    if (prefix / "system.reg").exists():
        return
    shutil.rmtree(prefix, ignore_errors=True)
    home.mkdir(parents=True, exist_ok=True)
    prefix.parent.mkdir(parents=True, exist_ok=True)
    env = environment(state, prefix, home)
    env.pop("DISPLAY", None)  # no window may appear while the prefix is made
    started = time.monotonic()
    subprocess.run(["wineboot", "-i"], env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=600)
    # A crashing test program must end, not wait for a debugger that nobody attaches.
    for view in ("/reg:64", "/reg:32"):
        subprocess.run(["wine", "reg", "add",
                        r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
                        "/v", "Debugger", "/t", "REG_SZ", "/d", "", "/f", view], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Xvfb has no window manager: Wine draws the caption bar itself, so screenshots show it.
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated",
                    "/t", "REG_SZ", "/d", "N", "/f"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, timeout=600)
    log(f"template prefix made in {time.monotonic() - started:.0f} s")


def ensure_prefix(state, name):
    """The prefix NAME, copied from the template on first use.

    ctest runs tests in parallel, and several may need the same prefix first: one copies it
    while the others wait for the lock."""
    prefix, home = prefix_paths(state, name)
    locks = state / "locks"
    locks.mkdir(parents=True, exist_ok=True)
    with open(locks / name, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not prefix.exists():
            template, _ = prefix_paths(state, "template")
            shutil.rmtree(home, ignore_errors=True)
            home.mkdir(parents=True)
            subprocess.run(["cp", "-a", str(template), str(prefix)], check=True)
            own_profile_links(prefix, home)
    return prefix, home


def own_profile_links(prefix, home):
    """The profile folders of a copied prefix (Desktop, Downloads, ...) are links to the
    template's HOME; point them at the copy's own HOME, or every case would share one Desktop
    and one Downloads folder."""
    _, template_home = prefix_paths(prefix.parent.parent, "template")
    for users in (prefix / "drive_c" / "users").iterdir():
        for link in users.iterdir() if users.is_dir() and not users.is_symlink() else ():
            if link.is_symlink() and pathlib.Path(os.readlink(link)) == template_home:
                link.unlink()
                link.symlink_to(home)


def drop_prefix(state, name):
    prefix, home = prefix_paths(state, name)
    stop_wineserver(state, prefix, home)
    unmount_below(prefix)
    unmount_below(home)
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.rmtree(home, ignore_errors=True)


def stop_wineserver(state, prefix, home):
    if prefix.exists():
        subprocess.run(["wineserver", "-k"], env=environment(state, prefix, home),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------- small file systems

def mount_tmpfs(folder, size):
    """Mounts a tmpfs of `size` over `folder` (made if missing). Returns None, or why it cannot
    be done here: mounting needs root with CAP_SYS_ADMIN, which a container may withhold."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    try:
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755",
                                 "velmora-test", str(folder)], capture_output=True, text=True)
    except OSError as error:
        return f"cannot run mount: {error}"
    if result.returncode != 0:
        return f"cannot mount a tmpfs here: {result.stderr.strip() or result.returncode}"
    return None


def mounts_below(folder):
    """The mount points at or below `folder`, innermost first."""
    folder = os.path.realpath(folder)
    points = []
    with open("/proc/self/mounts") as table:
        for line in table:
            # The table writes a blank as \040, a tab as \011.
            point = re.sub(r"\\([0-7]{3})", lambda octal: chr(int(octal.group(1), 8)),
                           line.split()[1])
            if point == folder or point.startswith(folder + "/"):
                points.append(point)
    return sorted(points, key=len, reverse=True)


def unmount_below(folder):
    """Unmounts everything at or below `folder`; one still busy is detached (lazy)."""
    for point in mounts_below(folder):
        if subprocess.run(["umount", point], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", point], capture_output=True)


def small_drive(state):
    return state / "small-drive"


def map_small_drive(state, prefix, env):
    """Maps the small file system as drive S: of `prefix` and names it in `env`, if mounted."""
    if not mounts_below(small_drive(state)):
        return
    link = prefix / "dosdevices" / SMALL_DRIVE_LETTER
    if not link.is_symlink():
        # Tests that share the prefix start side by side: another may make the link first.
        with contextlib.suppress(FileExistsError):
            link.symlink_to(small_drive(state))
    env["VELMORA_SMALL_DRIVE"] = SMALL_DRIVE_LETTER.upper()


# ---------------------------------------------------------------- display

def start_xvfb(state):
    values = load_state(state)
    if values.get("xvfb_pid") and pathlib.Path(f"/proc/{values['xvfb_pid']}").exists():
        return values["display"]
    for number in range(90, 200):
        if pathlib.Path(f"/tmp/.X{number}-lock").exists() or \
                pathlib.Path(f"/tmp/.X11-unix/X{number}").exists():
            continue
        process = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24",
                                    "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(100):
            if pathlib.Path(f"/tmp/.X11-unix/X{number}").exists():
                values.update({"xvfb_pid": process.pid, "display": f":{number}"})
                save_state(state, values)
                return values["display"]
            if process.poll() is not None:
                break
            time.sleep(0.1)
        process.kill()
    raise SystemExit("no Xvfb display could be started")


# ---------------------------------------------------------------- commands

def setup(state):
    state.mkdir(parents=True, exist_ok=True)
    values = load_state(state)
    values["emulated"] = enable_i386_emulation()
    save_state(state, values)
    if values["emulated"]:
        build_shim(state)
    create_template(state)
    if not mounts_below(small_drive(state)):
        why = mount_tmpfs(small_drive(state), SMALL_DRIVE_SIZE)
        if why:
            log(f"no small drive: {why}")
    display = start_xvfb(state)
    log(f"ready: display {display}, 32-bit {'through qemu-i386' if values['emulated'] else 'native'}")


def cleanup(state):
    values = load_state(state)
    prefixes = state / "prefixes"
    if prefixes.exists():
        for prefix in prefixes.iterdir():
            drop_prefix(state, prefix.name)
    pid = values.get("xvfb_pid")
    if pid:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        values.pop("xvfb_pid", None)
        values.pop("display", None)
        save_state(state, values)
    unmount_below(state)


def run(state, name, program, arguments):
    prefix, home = ensure_prefix(state, name)
    env = environment(state, prefix, home)
    map_small_drive(state, prefix, env)
    return subprocess.run(["wine", program, *arguments], env=env).returncode


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    command, state = argv[1], pathlib.Path(argv[2]).resolve()
    if command == "setup":
        setup(state)
        return 0
    if command == "cleanup":
        cleanup(state)
        return 0
    if command == "run" and len(argv) >= 5:
        return run(state, argv[3], argv[4], argv[5:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
