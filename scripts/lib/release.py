#!/usr/bin/env python3
"""Makes the files of a release (called by scripts/release, which installs what is missing).

    release.py --host HOST --site URL --app APPDIR --prerequisites DIR
               --channel Live|Beta|Testing --out DIST
               [--package-key PRIVATE.pem --public-key PUBLIC.pem]
               [--cert CERT --cert-key KEY | --pkcs12 FILE.p12] [--password-file FILE]
               [--timestamp URL] [--build BUILD_DIR] [--described] [--allow-downgrade]
               [--transport socket|system] [--https --tls-cert CERT.pem --tls-key KEY.pem]
               [--upload s3://BUCKET[/PREFIX] [--endpoint URL]]
    release.py publish --from DIST --upload s3://BUCKET[/PREFIX] [--endpoint URL]

Writes into DIST:
  installer/VelmoraInstaller.exe, -Beta.exe, -Testing.exe   one build under the three names,
                    made with HOST and URL (and the public key and the prerequisites' SHA-256
                    when a package key is given), in the field profile (resumed downloads,
                    updates that survive a kill, the failure message) unless --described,
                    Authenticode-signed with a certificate
  www/              the download server's tree: DotNetFX40/ (the three installers of DIR) and
                    Velmora.Html.Windows/CHANNEL/Velmora.Html.Windows.vmpkg (APPDIR packed by
                    vmpkg pack, signed with a package key: pack --sign); the other channels'
                    packages already in DIST stay
  SHA256SUMS        of every file below installer/ and www/
  nginx-velmora.conf  a site serving www/ for HOST as the installer needs it: on port 80, or
                    with --https on port 443 only, with CERT and KEY (where they lie now)

The installer downloads through the system transport by default (WinINet: the user's proxy
settings, proxy authentication), over plain HTTP; --https makes every download HTTPS (the
certificate must name HOST and match KEY, or the release is refused). --transport socket builds
the installer's own client instead, which reaches the server only directly and over HTTP.

--upload then publishes DIST to S3-compatible object storage (scripts/lib/publish.py says how);
`publish` does that alone for a release made before.

A package whose Velmora.exe version is lower than the one DIST already serves on the channel is
refused unless --allow-downgrade (installers built with the package key refuse it over a newer
installation with exit code 48). Every step is checked with the project's own tools (vmpkg check
and verify); vmpkg and the
installer are built in BUILD_DIR (build-release/ of the source tree by default), never in build/.
Anything refused leaves DIST as it was: the release is put together beside it and moved in at
the end. Exit codes: 0 done, 1 refused (the reason on stderr), 2 wrong command line.
"""
import argparse
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import publish

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHANNELS = ("Live", "Beta", "Testing")
INSTALLER_NAMES = {"Live": "VelmoraInstaller.exe", "Beta": "VelmoraInstaller-Beta.exe",
                   "Testing": "VelmoraInstaller-Testing.exe"}
RUNTIME = "dotNetFx40_Client_x86_x64.exe"
UPDATE_X64 = "NDP40-KB2468871-v2-x64.exe"
UPDATE_X86 = "NDP40-KB2468871-v2-x86.exe"
PREREQUISITES = (RUNTIME, UPDATE_X64, UPDATE_X86)
PACKAGE_NAME = "Velmora.Html.Windows.vmpkg"
# The installer's request for its longest path must fit its 256-byte request text.
REQUEST_FORMAT = "GET {} HTTP/1.1\r\nHost: {}\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n"
LONGEST_PATH = "/Velmora.Html.Windows/Testing/" + PACKAGE_NAME

NGINX_SITE = """\
# The download server of the Velmora installer for {host}: include this in nginx's http block.
# The installer needs a Content-Length with every answer, the file as it is (no chunked or
# compressed body, no redirect) and the connection closed after it, which a static site gives.
server {{
    listen 80;
    server_name {host};
    root {root};
    default_type application/octet-stream;
    gzip off;
    chunked_transfer_encoding off;
    location / {{ }}
    location ~ \\.(exe|vmpkg)$ {{ add_header Cache-Control no-cache; }}
}}
"""
# With --https: TLS on 443 only. Nothing is served over plain HTTP, so nothing can fall back to
# it (the installer never would).
NGINX_TLS = """\
    listen 443 ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
"""


class Refused(Exception):
    """The release cannot be made as asked; DIST is left as it was."""


def say(message):
    print(f"release: {message}", file=sys.stderr, flush=True)


def run(command, what, **options):
    """Runs a command; its failure refuses the release with `what` and the command's output."""
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                            errors="replace", **options)
    if result.returncode != 0:
        output = (result.stdout + result.stderr).strip()
        raise Refused(f"{what}:\n{output}" if output else what)
    return result


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# ---------------------------------------------------------------- what is asked

def check_host(host):
    """A DNS name (letters, digits, hyphens; labels of 1-63, at most 253 in all) whose request
    fits the installer's request text."""
    labels = host.split(".")
    if not host or len(host) > 253 or not all(
            re.fullmatch(r"[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?", label)
            for label in labels):
        raise Refused(f"--host {host!r} is not a valid DNS name (letters, digits and hyphens in "
                      "labels of 1 to 63 characters, separated by dots)")
    if len(REQUEST_FORMAT.format(LONGEST_PATH, host)) > 255:
        raise Refused(f"--host {host!r} is too long: the installer's request for "
                      f"{LONGEST_PATH} would not fit its 255 characters")


def check_site(site):
    """An http or https address that can stand in the installer's source as it is."""
    if not re.fullmatch(r"https?://[!#-\[\]-~]+", site):
        raise Refused(f"--site {site!r} is not an http:// or https:// address (printable ASCII, "
                      "no blanks, quotes or backslashes)")


def arguments_of(argv):
    parser = argparse.ArgumentParser(prog="scripts/release", description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True, help="the download server's host name")
    parser.add_argument("--site", required=True, help="the product's web-site address")
    parser.add_argument("--app", required=True, type=pathlib.Path, help="the application folder")
    parser.add_argument("--prerequisites", required=True, type=pathlib.Path,
                        help="folder with " + ", ".join(PREREQUISITES))
    parser.add_argument("--channel", required=True, choices=CHANNELS)
    parser.add_argument("--out", required=True, type=pathlib.Path, help="the release folder")
    parser.add_argument("--package-key", type=pathlib.Path, help="private key (PEM) to sign with")
    parser.add_argument("--public-key", type=pathlib.Path, help="its public key (PEM)")
    parser.add_argument("--cert", type=pathlib.Path, help="code-signing certificate (PEM)")
    parser.add_argument("--cert-key", type=pathlib.Path, help="its private key (PEM)")
    parser.add_argument("--pkcs12", type=pathlib.Path, help="certificate and key in one file")
    parser.add_argument("--password-file", type=pathlib.Path,
                        help="password of the certificate's key or of the PKCS#12 file")
    parser.add_argument("--timestamp", help="RFC 3161 time-stamp address (none: no time stamp)")
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build-release",
                        help="where the tools and the installer are built")
    parser.add_argument("--transport", choices=("socket", "system"), default="system",
                        help="how the installer downloads (README: choosing a transport)")
    parser.add_argument("--https", action="store_true", help="download over HTTPS (port 443)")
    parser.add_argument("--tls-cert", type=pathlib.Path, help="the site's certificate (PEM)")
    parser.add_argument("--tls-key", type=pathlib.Path, help="its private key (PEM)")
    parser.add_argument("--allow-downgrade", action="store_true",
                        help="publish even when the channel's package in DIST carries a "
                             "higher Velmora.exe version (installers with a package key "
                             "refuse it over a newer installation)")
    parser.add_argument("--described", action="store_true",
                        help="build the installer as described (no retries, unpacking in place, "
                             "no failure message) instead of the field profile")
    parser.add_argument("--upload", help="then publish DIST to s3://BUCKET[/PREFIX]")
    parser.add_argument("--endpoint", help="the store's address, for S3-compatible stores")
    arguments = parser.parse_args(argv)
    if arguments.endpoint and not arguments.upload:
        parser.error("--endpoint goes with --upload")
    if arguments.upload and not publish.STORE_URL.fullmatch(arguments.upload):
        parser.error(f"--upload {arguments.upload!r} is not s3://BUCKET[/PREFIX]")
    if arguments.https and arguments.transport != "system":
        parser.error("--https needs --transport system: the socket client speaks plain HTTP")
    if arguments.https != (arguments.tls_cert is not None and arguments.tls_key is not None) or \
            (arguments.tls_cert is None) != (arguments.tls_key is None):
        parser.error("--https takes --tls-cert and --tls-key, and they need --https")
    if (arguments.package_key is None) != (arguments.public_key is None):
        parser.error("--package-key and --public-key go together")
    if (arguments.cert is None) != (arguments.cert_key is None):
        parser.error("--cert and --cert-key go together")
    if arguments.pkcs12 is not None and arguments.cert is not None:
        parser.error("give --cert and --cert-key, or --pkcs12")
    if (arguments.password_file or arguments.timestamp) and not (arguments.cert or
                                                                 arguments.pkcs12):
        parser.error("--password-file and --timestamp sign the installer: give a certificate")
    return arguments


def check_inputs(arguments):
    check_host(arguments.host)
    check_site(arguments.site)
    if not arguments.app.is_dir():
        raise Refused(f"--app {arguments.app}: no such folder")
    missing = [name for name in PREREQUISITES
               if not (arguments.prerequisites / name).is_file()]
    if missing:
        raise Refused(f"--prerequisites {arguments.prerequisites}: missing " + ", ".join(missing))
    for option in ("package_key", "public_key", "cert", "cert_key", "pkcs12", "password_file",
                   "tls_cert", "tls_key"):
        path = getattr(arguments, option)
        if path is not None and not path.is_file():
            raise Refused(f"--{option.replace('_', '-')} {path}: no such file")
    if arguments.https:
        check_tls(arguments.host, arguments.tls_cert, arguments.tls_key)
    out = arguments.out.resolve()
    for inside in (arguments.app.resolve(), arguments.prerequisites.resolve()):
        if out == inside or inside in out.parents or out in inside.parents:
            raise Refused(f"--out {arguments.out} must lie apart from {inside}")


def check_tls(host, cert, key):
    """The site's certificate must name the host and belong to the key: a site that fails
    every installation's certificate check is refused here, not found by the users."""
    named = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-checkhost", host],
                           capture_output=True, text=True)
    if named.returncode != 0 or "does match" not in named.stdout:
        raise Refused(f"--tls-cert {cert}: not a certificate for {host}")
    public = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-pubkey"],
                            capture_output=True, text=True)
    private = subprocess.run(["openssl", "pkey", "-in", key, "-pubout"], capture_output=True,
                             text=True)
    if private.returncode != 0 or public.stdout != private.stdout:
        raise Refused(f"--tls-key {key}: not the key of --tls-cert {cert}")


# ---------------------------------------------------------------- building

def build_vmpkg(build):
    """vmpkg of the host build, optimised."""
    folder = build / "host"
    run(["cmake", "-S", ROOT, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DCMAKE_C_COMPILER=clang", "-DCMAKE_CXX_COMPILER=clang++"],
        "vmpkg cannot be configured")
    run(["cmake", "--build", folder, "--target", "vmpkg"], "vmpkg cannot be built")
    return folder / "tools" / "vmpkg" / "vmpkg"


def build_installer(build, arguments, pins):
    """VelmoraInstaller.exe with the release's values. Every option is set each time, so a
    value of an earlier release never stays in the folder's cache."""
    folder = build / "win32"
    definitions = {
        "CMAKE_BUILD_TYPE": "MinSizeRel",
        "VELMORA_DOWNLOAD_HOST": arguments.host,
        "VELMORA_WEBSITE_URL": arguments.site,
        "VELMORA_PACKAGE_PUBLIC_KEY":
            str(arguments.public_key.resolve()) if arguments.public_key else "",
        "VELMORA_RUNTIME_SHA256": pins.get(RUNTIME, ""),
        "VELMORA_UPDATE_X86_SHA256": pins.get(UPDATE_X86, ""),
        "VELMORA_UPDATE_X64_SHA256": pins.get(UPDATE_X64, ""),
        "VELMORA_TRANSPORT": arguments.transport,
        "VELMORA_HTTPS": "ON" if arguments.https else "OFF",
        "VELMORA_PROFILE": "described" if arguments.described else "field",
    }
    run(["cmake", "-S", ROOT, "-B", folder, "-G", "Ninja",
         f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'toolchain-mingw-i686.cmake'}"] +
        [f"-D{name}={value}" for name, value in definitions.items()],
        "the installer cannot be configured with these values")
    run(["cmake", "--build", folder, "--target", "VelmoraInstaller"],
        "the installer cannot be built")
    return folder / "ui" / "VelmoraInstaller.exe"


def sign_authenticode(source, target, arguments):
    options = ["--pkcs12", arguments.pkcs12] if arguments.pkcs12 else \
        ["--cert", arguments.cert, "--key", arguments.cert_key]
    if arguments.password_file:
        options += ["--password-file", arguments.password_file]
    if arguments.timestamp:
        options += ["--timestamp", arguments.timestamp]
    script = ROOT / "scripts" / "lib" / "authenticode.sh"
    run(["bash", "-c", f'source "{script}" && velmora_authenticode_sign "$@"', "sign", source,
         target] + options, f"{target.name} cannot be signed")


# ---------------------------------------------------------------- the release

def make_release(arguments, staging):
    """Puts the whole release together in `staging` (installer/, www/, SHA256SUMS, the site)."""
    say("building vmpkg")
    vmpkg = build_vmpkg(arguments.build)

    package = staging / PACKAGE_NAME
    sign = ["--sign", arguments.package_key] if arguments.package_key else []
    say(f"packing {arguments.app}" + (" and signing it" if sign else ""))
    run([vmpkg, "pack"] + sign + [arguments.app, package],
        "vmpkg pack refuses the application folder")
    key = ["--key", arguments.public_key] if arguments.public_key else []
    if arguments.package_key:
        run([vmpkg, "verify", arguments.public_key, package],
            "the package does not verify with --public-key: is it the private key's?")

    check_not_older(vmpkg, package, arguments)

    www = staging / "www"
    if (arguments.out / "www").is_dir():
        shutil.copytree(arguments.out / "www", www, symlinks=True)
    prerequisites = www / "DotNetFX40"
    prerequisites.mkdir(parents=True, exist_ok=True)
    for name in PREREQUISITES:
        shutil.copyfile(arguments.prerequisites / name, prerequisites / name)
    channel = www / "Velmora.Html.Windows" / arguments.channel
    channel.mkdir(parents=True, exist_ok=True)
    os.replace(package, channel / PACKAGE_NAME)
    # Every channel's package must install with the installer this release builds.
    for other in CHANNELS:
        served = www / "Velmora.Html.Windows" / other / PACKAGE_NAME
        if served.exists():
            run([vmpkg, "check"] + key + [served],
                f"the {other} package would not install with this release's installer")

    pins = {name: sha256(prerequisites / name) for name in PREREQUISITES} \
        if arguments.package_key else {}
    say("building the installer" + (" with the package key and pinned prerequisites"
                                    if pins else ""))
    exe = build_installer(arguments.build, arguments, pins)
    installer = staging / "installer"
    installer.mkdir()
    for name in INSTALLER_NAMES.values():
        if arguments.cert or arguments.pkcs12:
            sign_authenticode(exe, installer / name, arguments)
        else:
            shutil.copyfile(exe, installer / name)

    sums = sorted(path for folder in (installer, www) for path in folder.rglob("*")
                  if path.is_file())
    (staging / "SHA256SUMS").write_text("".join(
        f"{sha256(path)}  {path.relative_to(staging).as_posix()}\n" for path in sums))
    (staging / "nginx-velmora.conf").write_text(site_of(arguments))


def packaged_version(vmpkg, package):
    """app/Velmora.exe's version in the package as a tuple, or None when it has none."""
    result = subprocess.run([str(vmpkg), "version", str(package)], capture_output=True,
                            text=True)
    if result.returncode != 0:
        return None
    return tuple(int(part) for part in result.stdout.strip().split("."))


def check_not_older(vmpkg, package, arguments):
    """A package older than the one DIST serves on its channel is refused (unless
    --allow-downgrade): installers with the package key would refuse it anyway over a newer
    installation, and the channel would go backwards for new ones."""
    served = arguments.out / "www" / "Velmora.Html.Windows" / arguments.channel / PACKAGE_NAME
    if not served.is_file():
        return
    new, old = packaged_version(vmpkg, package), packaged_version(vmpkg, served)
    if new is None or old is None or new >= old:
        return
    shown = ".".join(map(str, new)), ".".join(map(str, old))
    if not arguments.allow_downgrade:
        raise Refused(f"Velmora.exe {shown[0]} is older than the {arguments.channel} package's "
                      f"{shown[1]}; give --allow-downgrade to publish it anyway")
    say(f"publishing Velmora.exe {shown[0]} over {shown[1]} (--allow-downgrade)")


def site_of(arguments):
    """The nginx site: plain HTTP on 80, or TLS on 443 with the given certificate and key."""
    site = NGINX_SITE.format(host=arguments.host,
                             root=(arguments.out.resolve() / "www").as_posix())
    if not arguments.https:
        return site
    return site.replace("    listen 80;\n", NGINX_TLS.format(
        cert=arguments.tls_cert.resolve().as_posix(), key=arguments.tls_key.resolve().as_posix()))


def move_into_place(staging, out):
    """Replaces the release's parts in `out` by the staged ones, then forgets the old ones."""
    parts = ("installer", "www", "SHA256SUMS", "nginx-velmora.conf")
    old = staging / "old"
    old.mkdir()
    for part in parts:
        if (out / part).exists():
            os.replace(out / part, old / part)
    for part in parts:
        os.replace(staging / part, out / part)


def main(argv):
    if argv[:1] == ["publish"]:
        return publish.main(argv[1:])
    arguments = arguments_of(argv)
    try:
        check_inputs(arguments)
        created = not arguments.out.exists()
        arguments.out.mkdir(parents=True, exist_ok=True)
        staging = pathlib.Path(tempfile.mkdtemp(prefix=".release-", dir=arguments.out))
        try:
            make_release(arguments, staging)
            move_into_place(staging, arguments.out)
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            if created:
                shutil.rmtree(arguments.out, ignore_errors=True)
            raise
        shutil.rmtree(staging, ignore_errors=True)
    except Refused as refusal:
        say(f"refused: {refusal}")
        return 1
    say(f"{arguments.channel} release in {arguments.out}: installer/, www/, SHA256SUMS, "
        "nginx-velmora.conf")
    say("once served, check it: velmora-fetch check " + arguments.host +
        (" --https" if arguments.https else "") +
        (f" --key {arguments.public_key}" if arguments.public_key else ""))
    if arguments.upload:
        return publish.main(["--from", str(arguments.out), "--upload", arguments.upload] +
                            (["--endpoint", arguments.endpoint] if arguments.endpoint else []))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
