#!/usr/bin/env python3
"""Authenticode signing of the installer with scripts/lib/authenticode.sh (osslsigncode).

    authenticode_test.py --exe EXE --script scripts/lib/authenticode.sh

A throwaway root CA and a code-signing certificate (extendedKeyUsage=codeSigning) are made with
openssl; the installer is signed with the certificate and key as PEM files and as one PKCS#12
file with a password; `osslsigncode verify -CAfile root.crt` must accept both, and
`osslsigncode remove-signature` must give back the unsigned (reproducible) bytes exactly.
Without --timestamp no time stamp is asked for; no network is used. A certificate that does not
match its key is refused, and no output is left behind.
"""
import argparse
import pathlib
import subprocess
import sys
import tempfile

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print(f"FAIL {what}", flush=True)


def run(*command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=120)


def make_certificates(folder):
    """root.crt/root.key, a signing certificate signing.crt/signing.key issued by it, and
    signing.p12 (password in password.txt); other.key matches neither."""
    (folder / "signing.ext").write_text("basicConstraints=CA:FALSE\n"
                                        "keyUsage=digitalSignature\n"
                                        "extendedKeyUsage=codeSigning\n")
    (folder / "password.txt").write_text("throwaway password\n")
    steps = [
        ["openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes", "-keyout", "root.key",
         "-out", "root.crt", "-days", "2", "-subj", "/CN=Velmora Test Root"],
        ["openssl", "req", "-newkey", "rsa:3072", "-nodes", "-keyout", "signing.key",
         "-out", "signing.csr", "-subj", "/CN=Velmora Test Signing"],
        ["openssl", "x509", "-req", "-in", "signing.csr", "-CA", "root.crt", "-CAkey",
         "root.key", "-CAcreateserial", "-out", "signing.crt", "-days", "1", "-extfile",
         "signing.ext"],
        ["openssl", "pkcs12", "-export", "-in", "signing.crt", "-inkey", "signing.key",
         "-out", "signing.p12", "-passout", "file:password.txt"],
        ["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
         "-out", "other.key"],
    ]
    for step in steps:
        result = run(*step, cwd=folder)
        if result.returncode != 0:
            raise SystemExit(f"{' '.join(step)}: {result.stderr}")


def sign(script, folder, unsigned, out, *options):
    return run("bash", "-c", f'source "{script}" && velmora_authenticode_sign "$@"', "sign",
               str(unsigned), str(out), *options, cwd=folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--script", required=True)
    arguments = parser.parse_args()
    script = pathlib.Path(arguments.script).resolve()
    with tempfile.TemporaryDirectory(prefix="velmora-authenticode-") as name:
        folder = pathlib.Path(name)
        make_certificates(folder)
        unsigned = folder / "VelmoraInstaller.exe"
        unsigned.write_bytes(pathlib.Path(arguments.exe).read_bytes())
        cases = [
            ("PEM", ["--cert", "signing.crt", "--key", "signing.key"]),
            ("PKCS#12", ["--pkcs12", "signing.p12", "--password-file", "password.txt"]),
        ]
        for label, options in cases:
            signed = folder / f"signed-{len(FAILURES)}-{label[:3]}.exe"
            result = sign(script, folder, unsigned, signed, *options)
            check(result.returncode == 0 and signed.exists(),
                  f"{label}: signing: {result.returncode} {result.stderr[-500:]}")
            if not signed.exists():
                continue
            check(signed.read_bytes() != unsigned.read_bytes(), f"{label}: nothing signed")
            verified = run("osslsigncode", "verify", "-CAfile", "root.crt", "-in", str(signed),
                           cwd=folder)
            check(verified.returncode == 0 and "Signature verification: ok" in verified.stdout,
                  f"{label}: verify: {verified.stdout[-800:]} {verified.stderr[-300:]}")
            check("Timestamp is not available" in verified.stdout,
                  f"{label}: a time stamp was added without --timestamp")
            stripped = folder / f"stripped-{label[:3]}.exe"
            removed = run("osslsigncode", "remove-signature", "-in", str(signed), "-out",
                          str(stripped), cwd=folder)
            check(removed.returncode == 0 and stripped.read_bytes() == unsigned.read_bytes(),
                  f"{label}: remove-signature does not give back the unsigned bytes")
            print(f"done {label}", flush=True)
        # Another root does not vouch for the signature.
        other_root = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                         "stranger.key", "-out", "stranger.crt", "-days", "1", "-subj",
                         "/CN=Stranger", cwd=folder)
        signed = next(folder.glob("signed-*-PEM.exe"), None)
        if other_root.returncode == 0 and signed is not None:
            stranger = run("osslsigncode", "verify", "-CAfile", "stranger.crt", "-in",
                           str(signed), cwd=folder)
            check(stranger.returncode != 0, "a signature verified against a foreign root")
        # A key that does not match the certificate: refused, nothing left behind.
        wrong = folder / "wrong.exe"
        result = sign(script, folder, unsigned, wrong, "--cert", "signing.crt", "--key",
                      "other.key")
        check(result.returncode != 0 and not wrong.exists() and
              not list(folder.glob("wrong.exe.signing.*")),
              f"a mismatched key: exit {result.returncode}, left {list(folder.glob('wrong*'))}")
        result = sign(script, folder, unsigned, wrong, "--cert", "signing.crt")
        check(result.returncode == 2 and not wrong.exists(), "a certificate without its key")
        print("done refusals", flush=True)
    print(f"{len(FAILURES)} failed" if FAILURES else "all passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
