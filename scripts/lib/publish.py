#!/usr/bin/env python3
"""Publishes a release (scripts/release's DIST) to S3-compatible object storage, through the AWS
command-line client (Debian's awscli) and the user's own configuration of it: credentials and
region from ~/.aws or AWS_* variables, never from this script.

    scripts/release publish --from DIST --upload s3://BUCKET[/PREFIX] [--endpoint URL]
    scripts/release ... --out DIST --upload s3://BUCKET[/PREFIX] [--endpoint URL]

DIST/www/ lands at the prefix as the installer asks for it (DotNetFX40/..., Velmora.Html.Windows/
...), DIST/installer/ below installer/, SHA256SUMS beside them. Installers may be downloading
from the store meanwhile, so the order is:

  1. the prerequisites and the packages, each sent with its headers to a staging name
     (.velmora-staging/SHA256/NAME), where the store checks it against its MD5 (Content-MD5),
     then copied by the store, headers and all, onto its public name: one whole-object write,
     so a reader finds the old object or the new one, never a part (a new package's new ETag
     tells a reader that resumes to start again);
  2. every one of them read back from the store's listing (size, and the ETag as the MD5 of the
     content);
  3. then the installers, then SHA256SUMS, likewise; the staging names are removed last.

An object already published with the same size and MD5 is not sent again, so a publish that was
interrupted is finished by running it again. A prerequisite's name is served as immutable
(cached for a year), so one already published with other bytes is refused instead of replaced;
the packages, installers and SHA256SUMS change under their names and are served to be
revalidated. Exit codes: 0 published, 1 refused (the reason on stderr), 2 wrong command line.
"""
import argparse
import base64
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

STAGING = ".velmora-staging/"
# Content that never changes under its name may be cached anywhere for a year; what changes
# under a fixed name is revalidated on every request (a CDN answers 304 while it is unchanged).
IMMUTABLE = "public, max-age=31536000, immutable"
REVALIDATED = "no-cache"
# s3://BUCKET[/PREFIX]: a bucket name as S3 allows it, a prefix of printable ASCII.
STORE_URL = re.compile(r"s3://([a-z0-9][a-z0-9.-]{1,61}[a-z0-9])(/[!-~]*)?")
# Debian's client, also where another one stands first in PATH.
DEBIAN_CLIENT = "/usr/bin/aws"


class Refused(Exception):
    """The release cannot be published as asked; what is already public stays whole."""


def say(message):
    print(f"publish: {message}", file=sys.stderr, flush=True)


def digests(path):
    """(size, MD5 hex, MD5 base64, SHA-256 hex) of a file."""
    md5, sha = hashlib.md5(), hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            md5.update(block)
            sha.update(block)
    return (path.stat().st_size, md5.hexdigest(), base64.b64encode(md5.digest()).decode(),
            sha.hexdigest())


def objects_of(dist):
    """(key below the prefix, file, Cache-Control) in the order they are published: the
    prerequisites, the packages, the installers, SHA256SUMS."""
    www = dist / "www"
    prerequisites = sorted((www / "DotNetFX40").glob("*")) if (www / "DotNetFX40").is_dir() else []
    packages = sorted((www / "Velmora.Html.Windows").glob("*/*.vmpkg"))
    installers = sorted((dist / "installer").glob("*.exe"))
    if not packages or not installers or not (dist / "SHA256SUMS").is_file():
        raise Refused(f"{dist}: no release there (installer/, www/ and SHA256SUMS)")
    return ([(path.relative_to(www).as_posix(), path, IMMUTABLE) for path in prerequisites] +
            [(path.relative_to(www).as_posix(), path, REVALIDATED) for path in packages] +
            [(path.relative_to(dist).as_posix(), path, REVALIDATED) for path in installers] +
            [("SHA256SUMS", dist / "SHA256SUMS", REVALIDATED)])


class Store:
    """A bucket (and a prefix in it) reached through the AWS client's s3api commands."""

    def __init__(self, url, endpoint):
        match = STORE_URL.fullmatch(url)
        if match is None:
            raise Refused(f"--upload {url!r} is not s3://BUCKET[/PREFIX]")
        self.bucket = match.group(1)
        self.prefix = (match.group(2) or "").strip("/")
        self.prefix += "/" if self.prefix else ""
        client = DEBIAN_CLIENT if os.access(DEBIAN_CLIENT, os.X_OK) else shutil.which("aws")
        if client is None:
            raise Refused("the AWS command-line client (Debian's awscli) is not installed")
        self.command = [client, "--output", "json"] + (["--endpoint-url", endpoint]
                                                       if endpoint else [])

    def call(self, what, *arguments):
        result = subprocess.run(self.command + ["s3api", *arguments], capture_output=True,
                                text=True, errors="replace")
        if result.returncode != 0:
            raise Refused(f"{what}: {(result.stderr or result.stdout).strip()}")
        return json.loads(result.stdout) if result.stdout.strip() else {}

    def listing(self):
        """{key below the prefix: (size, ETag without quotes)} of every object there."""
        found, token = {}, []
        while True:
            page = self.call(f"s3://{self.bucket}/{self.prefix} cannot be listed",
                             "list-objects-v2", "--bucket", self.bucket, "--prefix",
                             self.prefix, *token)
            for item in page.get("Contents", []):
                found[item["Key"][len(self.prefix):]] = (item["Size"], item["ETag"].strip('"'))
            if not page.get("IsTruncated"):
                return found
            token = ["--continuation-token", page["NextContinuationToken"]]

    def put(self, key, path, size, md5_hex, md5_base64, sha, cache_control):
        """Sends `path` with its headers to a staging name, then has the store copy it onto
        `key` in one write; returns the staging name (below the prefix). The copy takes the
        staged object's headers as they are: a copy that replaces them leaves some stores'
        ETag at the old object's (s3rver 3)."""
        staged = f"{STAGING}{sha}/{key.rsplit('/', 1)[-1]}"
        answer = self.call(
            f"{key} cannot be sent", "put-object", "--bucket", self.bucket, "--key",
            self.prefix + staged, "--body", str(path), "--content-md5", md5_base64,
            "--content-length", str(size), "--cache-control", cache_control, "--metadata",
            f"sha256={sha}", "--content-type",
            "text/plain" if key == "SHA256SUMS" else "application/octet-stream")
        if answer.get("ETag", "").strip('"') != md5_hex:
            raise Refused(f"{key}: the store kept other bytes than were sent "
                          f"(ETag {answer.get('ETag')}, MD5 {md5_hex})")
        self.call(f"{key} cannot be put in place", "copy-object", "--bucket", self.bucket,
                  "--key", self.prefix + key, "--copy-source",
                  f"{self.bucket}/{self.prefix}{staged}")
        return staged

    def remove(self, keys):
        for start in range(0, len(keys), 1000):
            batch = {"Objects": [{"Key": self.prefix + key} for key in keys[start:start + 1000]],
                     "Quiet": True}
            self.call("the staging names cannot be removed", "delete-objects", "--bucket",
                      self.bucket, "--delete", json.dumps(batch))


def verify(store, sent):
    """Every sent object, as the store lists it now, has the file's size and MD5."""
    listed = store.listing()
    for key, (size, md5_hex) in sent.items():
        if listed.get(key) != (size, md5_hex):
            raise Refused(f"{key}: the store holds {listed.get(key)}, not ({size}, {md5_hex}) as "
                          "sent; nothing after it was published")


def publish(dist, url, endpoint):
    store = Store(url, endpoint)
    objects = objects_of(dist)
    listed = store.listing()
    leftover = [key for key in listed if key.startswith(STAGING)]  # an interrupted run's
    staged = []
    for phase in ("www", "installers"):
        sent = {}
        for key, path, cache_control in objects:
            if (phase == "www") != (cache_control == IMMUTABLE or key.endswith(".vmpkg")):
                continue
            size, md5_hex, md5_base64, sha = digests(path)
            sent[key] = (size, md5_hex)
            if listed.get(key) == (size, md5_hex):
                say(f"{key}: already there")
                continue
            if cache_control == IMMUTABLE and key in listed:
                raise Refused(f"{key} is already published with other bytes; it is served as "
                              "immutable, so caches would keep the old ones: publish it under "
                              "a new name")
            say(f"{key}: sending {size} bytes")
            staged.append(store.put(key, path, size, md5_hex, md5_base64, sha, cache_control))
        verify(store, sent)
        say(f"{len(sent)} objects verified" + (", now the installers" if phase == "www" else ""))
    if staged or leftover:
        store.remove(sorted(set(staged + leftover)))


def arguments_of(argv):
    parser = argparse.ArgumentParser(prog="scripts/release publish",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("--from", dest="dist", required=True, type=pathlib.Path,
                        help="the release folder (scripts/release's --out)")
    parser.add_argument("--upload", required=True, help="s3://BUCKET[/PREFIX]")
    parser.add_argument("--endpoint", help="the store's address, for S3-compatible stores")
    return parser.parse_args(argv)


def main(argv):
    arguments = arguments_of(argv)
    try:
        publish(arguments.dist, arguments.upload, arguments.endpoint)
    except Refused as refusal:
        say(f"refused: {refusal}")
        return 1
    say(f"published {arguments.dist} to {arguments.upload}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
