"""The world around one whole run: the download server's tree, sample packages made with Info-ZIP
zip from the stand-ins, and a private network in which the product's fixed download host is the
test's nginx on 127.0.0.1:80. Used by the whole-run tests, the demo and the benchmark."""
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "harness"))
import servers  # noqa: E402

DEFAULT_HOST = "download.velmora.example"
CHANNELS = ("Live", "Beta", "Testing")
RUNTIME_FILE = "dotNetFx40_Client_x86_x64.exe"
UPDATE_FILES = ("NDP40-KB2468871-v2-x64.exe", "NDP40-KB2468871-v2-x86.exe")


def package_path(channel):
    return f"/Velmora.Html.Windows/{channel}/Velmora.Html.Windows.vmpkg"


def download_host(build):
    """The host name the installer of `build` was made with (CMake cache)."""
    cache = pathlib.Path(build) / "CMakeCache.txt"
    for line in cache.read_text().splitlines():
        if line.startswith("VELMORA_DOWNLOAD_HOST:"):
            return line.split("=", 1)[1]
    return DEFAULT_HOST


def application_tree(build, target, channel="Live", application="standin-app-v5.exe"):
    """The files of the sample application below `target`/app."""
    fixtures = pathlib.Path(build) / "tests" / "fixtures"
    app = target / "app"
    (app / "data").mkdir(parents=True, exist_ok=True)
    shutil.copyfile(fixtures / application, app / "Velmora.exe")
    shutil.copyfile(fixtures / "standin-remover.exe", app / "VelmoraRemover.exe")
    (app / "readme.txt").write_text("Velmora 5 sample package\r\n")
    (app / "channel.txt").write_text(channel)
    (app / "data" / "sample.bin").write_bytes(random.Random(channel).randbytes(300_000))
    return app


def make_package(source, package, *, method=None):
    """Zips the folder `source` (which holds app/) into `package` with Info-ZIP zip."""
    package.parent.mkdir(parents=True, exist_ok=True)
    package.unlink(missing_ok=True)
    subprocess.run(["zip", "-q", "-r", "-X"] + ([method] if method else []) + [str(package), "."],
                   cwd=source, check=True)
    return package


def server_tree(build, root, packages=None):
    """The download server's files: both prerequisites and a package per channel. `packages`
    maps a channel to a package file to serve instead of the sample."""
    fixtures = pathlib.Path(build) / "tests" / "fixtures"
    prerequisites = root / "DotNetFX40"
    prerequisites.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(fixtures / "standin-runtime.exe", prerequisites / RUNTIME_FILE)
    for name in UPDATE_FILES:
        shutil.copyfile(fixtures / "standin-update.exe", prerequisites / name)
    work = pathlib.Path(tempfile.mkdtemp(prefix="velmora-package-"))
    try:
        for channel in CHANNELS:
            target = root / package_path(channel).lstrip("/")
            if packages and channel in packages:
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(packages[channel], target)
                continue
            source = work / channel
            application_tree(build, source, channel)
            make_package(source, target)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return root


class World:
    """A namespace whose download host is nginx serving `root` (or a scripted server, or none)."""

    def __init__(self, build, name, root=None, scripted=None):
        self.namespace = servers.Namespace(f"vm-{name}"[:15] + f"-{os.getpid() % 10000}",
                                           [download_host(build)])
        self.root = root
        self.scripted = scripted
        self.server = None
        self.access_log = None

    @property
    def prefix(self):
        return self.namespace.prefix

    def start(self):
        self.namespace.start()
        try:
            if self.root is not None:
                self.server = servers.Nginx(self.root, port=80, prefix=self.prefix).start()
                self.access_log = self.server.access_log
            elif self.scripted is not None:
                self.server = servers.ScriptedProcess(80, self.scripted, prefix=self.prefix).start()
        except Exception:
            self.namespace.stop()
            raise
        return self

    def stop(self):
        if self.server is not None:
            self.server.stop()
        self.namespace.stop()

    def requests(self):
        """Request paths in the order nginx logged them."""
        if self.access_log is None or not self.access_log.exists():
            return []
        paths = []
        for line in self.access_log.read_text().splitlines():
            parts = line.split('"')
            if len(parts) > 1 and len(parts[1].split()) >= 2:
                paths.append(parts[1].split()[1])
        return paths

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()
