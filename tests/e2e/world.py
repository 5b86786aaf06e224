"""The world around one whole run: the download server's tree, sample packages made with Info-ZIP
zip from the stand-ins, and a private network in which the product's fixed download host is the
test's nginx on 127.0.0.1:80. Used by the whole-run tests, the demo and the benchmark."""
import hashlib
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


def cache_value(build, name, default=None):
    """A value of `build`'s CMake cache."""
    for line in (pathlib.Path(build) / "CMakeCache.txt").read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return default


def field_installer(build):
    """The field profile's installer for the cases that need it: the build's own when it is a
    field build, else the one make_field_installer built beside it."""
    build = pathlib.Path(build)
    if cache_value(build, "VELMORA_PROFILE") == "field":
        return build / "ui" / "VelmoraInstaller.exe"
    return build / "e2e-field" / "ui" / "VelmoraInstaller.exe"


def make_field_installer(build):
    """Builds the installer once more, in the field profile, into BUILD/e2e-field: the same
    sources, toolchain and product values, only VELMORA_PROFILE differs."""
    build = pathlib.Path(build)
    if cache_value(build, "VELMORA_PROFILE") == "field":
        return field_installer(build)
    folder = build / "e2e-field"
    options = [f"-D{name}={cache_value(build, name, '')}" for name in (
        "CMAKE_TOOLCHAIN_FILE", "CMAKE_BUILD_TYPE", "VELMORA_DOWNLOAD_HOST", "VELMORA_WEBSITE_URL",
        "VELMORA_WERROR")]
    subprocess.run(["cmake", "-S", str(HERE.parents[1]), "-B", str(folder), "-G", "Ninja",
                    "-DVELMORA_PROFILE=field"] + options, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(folder), "--target", "VelmoraInstaller"], check=True,
                   stdout=subprocess.DEVNULL)
    return field_installer(build)


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


def website(build):
    """The web-site address the installer of `build` was made with (CMake cache)."""
    cache = pathlib.Path(build) / "CMakeCache.txt"
    for line in cache.read_text().splitlines():
        if line.startswith("VELMORA_WEBSITE_URL:"):
            return line.split("=", 1)[1]
    return "https://www.velmora.example/"


def prerequisites_folder(build, folder):
    """The three prerequisite installers, the stand-ins under their served names."""
    fixtures = pathlib.Path(build) / "tests" / "fixtures"
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(fixtures / "standin-runtime.exe", folder / RUNTIME_FILE)
    for name in UPDATE_FILES:
        shutil.copyfile(fixtures / "standin-update.exe", folder / name)
    return folder


class Release:
    """What scripts/release made for the release-kit cases, below `folder`: dist/ (the release
    of all three channels, signed packages, Authenticode-signed installers), the package key
    pair (package.key, package.pub), the throwaway CA (root.crt) and the host tools it built
    (vmpkg, velmora-fetch)."""

    def __init__(self, folder):
        self.folder = pathlib.Path(folder)
        self.dist = self.folder / "dist"
        self.private_key = self.folder / "package.key"
        self.public_key = self.folder / "package.pub"
        self.root_certificate = self.folder / "root.crt"
        tools = self.folder / "build" / "host" / "tools"
        self.vmpkg = tools / "vmpkg" / "vmpkg"
        self.fetch = tools / "velmora-fetch" / "velmora-fetch"

    def application(self, channel):
        return self.folder / "applications" / channel / "app"


def make_release(build, folder):
    """Runs scripts/release for each channel into `folder`/dist with a package key pair made by
    openssl and a code-signing certificate of a throwaway CA: the release the release-kit cases
    install from. The build folder below `folder` is kept, so a second run rebuilds little."""
    sys.path.insert(0, str(HERE.parent / "win32"))
    import authenticode_test  # noqa: E402 (makes the throwaway CA and certificate)
    release = Release(folder)
    release.folder.mkdir(parents=True, exist_ok=True)
    for stale in ("dist", "applications", "prerequisites"):
        shutil.rmtree(release.folder / stale, ignore_errors=True)
    subprocess.run(["openssl", "genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                    "rsa_keygen_bits:3072", "-out", str(release.private_key)], check=True)
    subprocess.run(["openssl", "pkey", "-in", str(release.private_key), "-pubout", "-out",
                    str(release.public_key)], check=True)
    authenticode_test.make_certificates(release.folder)
    prerequisites = prerequisites_folder(build, release.folder / "prerequisites")
    script = HERE.parents[1] / "scripts" / "release"
    for channel in CHANNELS:
        application = application_tree(build, release.folder / "applications" / channel,
                                       channel)
        subprocess.run([str(script), "--host", download_host(build), "--site", website(build),
                        "--app", str(application), "--prerequisites", str(prerequisites),
                        "--channel", channel, "--out", str(release.dist),
                        "--package-key", str(release.private_key),
                        "--public-key", str(release.public_key),
                        "--cert", str(release.folder / "signing.crt"),
                        "--cert-key", str(release.folder / "signing.key"),
                        "--build", str(release.folder / "build")], check=True)
    subprocess.run(["cmake", "--build", str(release.folder / "build" / "host"), "--target",
                    "velmora-fetch"], check=True, stdout=subprocess.DEVNULL)
    return release


def server_tree(build, root, packages=None):
    """The download server's files: both prerequisites and a package per channel. `packages`
    maps a channel to a package file to serve instead of the sample."""
    prerequisites_folder(build, root / "DotNetFX40")
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


# The installers built with the transport options, by the name a case gives: built once per
# test run (the e2e_variants fixture) beside the build they belong to.
VARIANTS = {"system": {"VELMORA_TRANSPORT": "system", "VELMORA_HTTPS": "OFF"},
            "https": {"VELMORA_TRANSPORT": "system", "VELMORA_HTTPS": "ON"},
            # The field profile over the system transport: scripts/release's default, and HTTPS.
            "field-system": {"VELMORA_TRANSPORT": "system", "VELMORA_HTTPS": "OFF",
                             "VELMORA_PROFILE": "field"},
            "field-https": {"VELMORA_TRANSPORT": "system", "VELMORA_HTTPS": "ON",
                            "VELMORA_PROFILE": "field"}}


def variant_installer(build, name):
    return pathlib.Path(build) / "e2e-variants" / name / "ui" / "VelmoraInstaller.exe"


def build_variants(build):
    """VelmoraInstaller.exe of each VARIANTS entry, with the host and site of `build`, in
    BUILD/e2e-variants/NAME (configured once, rebuilt when the sources change)."""
    root = HERE.parents[1]
    for name, options in VARIANTS.items():
        folder = pathlib.Path(build) / "e2e-variants" / name
        definitions = dict(options, CMAKE_BUILD_TYPE="MinSizeRel",
                           VELMORA_DOWNLOAD_HOST=download_host(build),
                           VELMORA_WEBSITE_URL=website(build))
        subprocess.run(["cmake", "-S", str(root), "-B", str(folder), "-G", "Ninja",
                        f"-DCMAKE_TOOLCHAIN_FILE={root / 'cmake' / 'toolchain-mingw-i686.cmake'}"] +
                       [f"-D{key}={value}" for key, value in definitions.items()],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(folder), "--target", "VelmoraInstaller"],
                       check=True, stdout=subprocess.DEVNULL)


# A CDN's edge in front of an S3-compatible store: the installer's paths map onto the bucket's
# keys, and the store's answers (ETag, ranges, Cache-Control) pass through as they are.
EDGE_SITE = """\
    server {{
        listen 127.0.0.1:{port};
        location / {{ proxy_pass {endpoint}/{bucket}/; }}
    }}
"""


def release_tree(build, dist, packages=None):
    """A release as scripts/release lays it out (www/, installer/ with the field installer
    under the three names, SHA256SUMS), made without building: what `release publish` takes."""
    server_tree(build, dist / "www", packages)
    (dist / "installer").mkdir(parents=True, exist_ok=True)
    for name in ("VelmoraInstaller.exe", "VelmoraInstaller-Beta.exe",
                 "VelmoraInstaller-Testing.exe"):
        shutil.copyfile(field_installer(build), dist / "installer" / name)
    files = sorted(path for path in dist.rglob("*") if path.is_file() and path.name != "SHA256SUMS")
    (dist / "SHA256SUMS").write_text("".join(
        f"{hashlib.sha256(path.read_bytes()).hexdigest()}  {path.relative_to(dist).as_posix()}\n"
        for path in files))
    return dist


class World:
    """A namespace whose download host is nginx serving `root` (or a scripted server, or none);
    with `site`, nginx serves through that site file (a release's nginx-velmora.conf); with
    `rate`, no faster than that (nginx's limit_rate). With `tls` (certificate, key) nginx
    serves over TLS on 443 too, and `trusted` (a CA certificate) is the only authority trusted
    inside; `redirect_to_http` paths answer over TLS with a redirect to plain HTTP. With
    `proxy_only` direct connections to 80 and 443 are rejected and tinyproxy on 127.0.0.1:8888
    is the only way to the server. With `unanswered` no connection to 80 or 443 is answered until
    `namespace.answer()`. With `proxy` (a servers.PROXY_FAULTS name, or (name, served
    file, replacement) for "change"), nginx listens on port 8080 behind a servers.FaultyProxy on
    port 80 (on 443, speaking TLS with `tls`), whose log of requests is `proxy_log`. With `store`
    (s3rver's program), an S3-compatible store (`self.store`) holds the files instead, and nginx
    is the edge in front of its bucket (EDGE_SITE); `root` is then only where the edge's site is
    written."""

    def __init__(self, build, name, root=None, scripted=None, site=None, rate=None, tls=None,
                 trusted=None, redirect_to_http=(), proxy_only=False, proxy=None,
                 unanswered=False, store=None):
        self.namespace = servers.Namespace(f"vm-{name}"[:15] + f"-{os.getpid() % 10000}",
                                           [download_host(build)], trusted=trusted,
                                           proxy_only=proxy_only, unanswered=unanswered)
        self.root = root
        self.scripted = scripted
        self.site = site
        self.rate = rate
        self.tls = tls
        self.redirect_to_http = redirect_to_http
        self.tinyproxy = servers.Tinyproxy(prefix=self.namespace.prefix) if proxy_only else None
        self.server = None
        self.access_log = None
        self.proxy = (proxy,) if isinstance(proxy, str) else proxy
        self.proxy_server = None
        self.proxy_log = None
        self.store = servers.S3Store(store, prefix=self.namespace.prefix) if store else None

    @property
    def prefix(self):
        return self.namespace.prefix

    def start(self):
        self.namespace.start()
        try:
            if self.store is not None:
                self.store.start()
                self.site = pathlib.Path(self.root) / "edge.conf"
                self.site.write_text(EDGE_SITE.format(port=8080 if self.proxy else 80,
                                                      endpoint=self.store.endpoint,
                                                      bucket=self.store.bucket))
            if self.root is not None:
                self.server = servers.Nginx(self.root, port=8080 if self.proxy else 80,
                                            prefix=self.prefix, site=self.site, rate=self.rate,
                                            tls=None if self.proxy else self.tls,
                                            redirect_to_http=self.redirect_to_http).start()
                self.access_log = self.server.access_log
                if self.proxy:
                    self.proxy_log = self.server.work / "proxy.log"
                    self.proxy_server = servers.ProxyProcess(
                        443 if self.tls else 80, 8080, self.proxy[0], self.proxy_log,
                        *self.proxy[1:], prefix=self.prefix, tls=self.tls).start()
            elif self.scripted is not None:
                self.server = servers.ScriptedProcess(80, self.scripted, prefix=self.prefix).start()
            if self.tinyproxy is not None:
                self.tinyproxy.start()
        except Exception:
            self.stop()
            raise
        return self

    def stop(self):
        if self.tinyproxy is not None:
            self.tinyproxy.stop()
        if self.proxy_server is not None:
            self.proxy_server.stop()
        if self.server is not None:
            self.server.stop()
        if self.store is not None:
            self.store.stop()
        self.namespace.stop()

    def proxied(self):
        """The proxy's log: (path, Range, If-Range, status, body bytes passed on) per request."""
        if self.proxy_log is None or not self.proxy_log.exists():
            return []
        return [tuple(line.split("\t")) for line in self.proxy_log.read_text().splitlines()]

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
