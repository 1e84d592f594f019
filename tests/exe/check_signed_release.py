#!/usr/bin/env python3
"""Checks the signed release, made by ship/make/release.py as `./vantrel release`
runs it, with a throwaway certificate authority and code-signing certificate:
the bundle's vantrel.exe verifies against that authority, one flipped byte
makes it fail, the package carries that signed exe and verifies too, the build tree's exe is left unsigned, SHA256SUMS lists the
signed exe, the signing time is SOURCE_DATE_EPOCH and a second signing gives
the same bytes; with a time-stamp URL the signature carries a time stamp
from that authority (a throwaway one on 127.0.0.1); a wrong password, or no
osslsigncode, is one line and leaves no output directory; without a
certificate one line says the release is unsigned.

  python3 -m tests.exe.check_signed_release path/to/vantrel.exe   (from the repository root)
"""

import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

from ship.make import sign
from tests.checks import Checks
from tests.exe import throwaway_signer

REPO = Path(__file__).resolve().parents[2]

PASSWORD = "correct horse"
# 14 Nov 2023 22:13:20 UTC, as osslsigncode shows a signing time.
EPOCH, EPOCH_SHOWN = "1700000000", "Signing time: Nov 14 22:13:20 2023 GMT"


def release(exe, out_dir, **settings):
    """Runs the release tool with only `settings` of the signing variables."""
    env = {k: v for k, v in os.environ.items()
           if k not in (sign.PFX, sign.PASSWORD, sign.TIMESTAMP_URL, "SOURCE_DATE_EPOCH")}
    env.update(settings)
    command = [sys.executable, "-m", "ship.make.release", "--exe", str(Path(exe).resolve()),
               "--out-dir", str(Path(out_dir).resolve())]
    done = subprocess.run(command, env=env, cwd=REPO, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout.splitlines()


def bundle_files(out_dir):
    bundles = sorted(Path(out_dir).glob("*.zip"))
    if len(bundles) != 1:
        return bundles, {}
    with zipfile.ZipFile(bundles[0]) as archive:
        return bundles, {name: archive.read(name) for name in archive.namelist()}


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip())
        return 2
    exe = Path(argv[0]).resolve()
    built = exe.read_bytes()
    checks = Checks()
    expect = checks.expect

    with tempfile.TemporaryDirectory(prefix="vantrel-signed-release.") as work:
        work = Path(work)
        try:
            certificate = throwaway_signer.make(work / "certificate", PASSWORD)
        except throwaway_signer.CertificateError as error:
            print("FAILED: %s" % error)
            return 1
        signing = {sign.PFX: str(certificate.pfx), sign.PASSWORD: PASSWORD,
                   "SOURCE_DATE_EPOCH": EPOCH}

        code, lines = release(exe, work / "signed", **signing)
        expect(code == 0, "a release with the certificate succeeds", "\n".join(lines))
        expect(any("signed with %s" % certificate.pfx in line and "expires with the certificate"
                   in line for line in lines),
               "it says it signed, and that without a time stamp the signature expires",
               "\n".join(lines))
        bundles, files = bundle_files(work / "signed")
        expect(len(bundles) == 1 and "vantrel.exe" in files, "it made one bundle with vantrel.exe",
               "made: %s" % bundles)
        if "vantrel.exe" not in files:
            return 1
        signed = work / "vantrel.exe"
        signed.write_bytes(files["vantrel.exe"])
        expect(exe.read_bytes() == built, "the build tree's vantrel.exe is left as it was")
        expect(len(files["vantrel.exe"]) > len(built) and files["vantrel.exe"][:64] == built[:64],
               "the bundle's vantrel.exe is the build's exe with a signature added "
               "(%d bytes, %d unsigned)" % (len(files["vantrel.exe"]), len(built)))
        digest = hashlib.sha256(files["vantrel.exe"]).hexdigest()
        expect(("%s  vantrel.exe" % digest) in files["SHA256SUMS"].decode("ascii").splitlines(),
               "SHA256SUMS lists the signed exe's SHA-256")

        ok, last, output = throwaway_signer.verify(signed, certificate.ca)
        expect(ok and "Signature verification: ok" in output,
               "osslsigncode verify against the throwaway CA passes: %s" % last, output)
        expect(EPOCH_SHOWN in output, "the signing time is SOURCE_DATE_EPOCH (%s)" % EPOCH_SHOWN,
               output)

        # A byte in the middle of the program's code, far from the header
        # fields and the certificate table the signature leaves out.
        flipped = bytearray(files["vantrel.exe"])
        flipped[len(built) // 2] ^= 0x01
        tampered = work / "tampered.exe"
        tampered.write_bytes(bytes(flipped))
        ok, last, output = throwaway_signer.verify(tampered, certificate.ca)
        expect(not ok and "MISMATCH" in output,
               "with byte %d flipped, verification fails on the digest: %s"
               % (len(built) // 2, last), output)

        # The package carries the signed exe and a signature of its own.
        packages = sorted((work / "signed").glob("*.msi"))
        expect(len(packages) == 1, "it made one package", "made: %s" % packages)
        if packages:
            ok, last, output = throwaway_signer.verify(packages[0], certificate.ca)
            expect(ok and "Signature verification: ok" in output,
                   "the package's own signature verifies against the throwaway CA: %s" % last,
                   output)
            subprocess.run(["msiextract", "-C", str(work / "extracted"), str(packages[0])],
                           check=True, stdout=subprocess.DEVNULL)
            inside = list((work / "extracted").rglob("vantrel.exe"))
            expect(len(inside) == 1 and inside[0].read_bytes() == files["vantrel.exe"],
                   "the package's vantrel.exe (msiextract) is the bundle's signed exe")

        code, _ = release(exe, work / "again", **signing)
        _, again = bundle_files(work / "again")
        expect(code == 0 and again.get("vantrel.exe") == files["vantrel.exe"],
               "a second signing with the same key and SOURCE_DATE_EPOCH gives the same exe")

        with throwaway_signer.TimeStampServer(certificate) as url:
            stamping = dict(signing, **{sign.TIMESTAMP_URL: url})
            code, lines = release(exe, work / "stamped", **stamping)
        _, stamped = bundle_files(work / "stamped")
        expect(code == 0 and any("time-stamped by %s" % url in line for line in lines),
               "a release with a time-stamp URL says it was time-stamped", "\n".join(lines))
        (work / "stamped.exe").write_bytes(stamped.get("vantrel.exe", b""))
        ok, last, output = throwaway_signer.verify(work / "stamped.exe", certificate.ca)
        expect(ok and "Timestamp Server Signature verification: ok" in output
               and "Signature verification: ok" in output,
               "its exe carries a time stamp from that authority, and both verify: %s" % last,
               output)

        code, lines = release(exe, work / "wrong", **dict(signing, **{sign.PASSWORD: "wrong"}))
        expect(code != 0 and len(lines) == 1 and "wrong password" in lines[0],
               "a wrong password fails with one line naming it", "\n".join(lines))
        expect(not (work / "wrong").exists(), "and leaves no output directory behind")

        code, lines = release(exe, work / "unsigned")
        _, files = bundle_files(work / "unsigned")
        expect(code == 0 and lines.count("release: " + sign.UNSIGNED) == 1
               and not any("signed with" in line for line in lines),
               'without a certificate one line says "%s"' % sign.UNSIGNED, "\n".join(lines))
        expect(files.get("vantrel.exe") == built, "and the bundle holds the exe as built")

        # osslsigncode missing: a PATH with nothing on it.
        empty = work / "empty-path"
        empty.mkdir()
        code, lines = release(exe, work / "no-tool", PATH=str(empty), **signing)
        expect(code != 0 and len(lines) == 1 and "apt-get install osslsigncode" in lines[0],
               "without osslsigncode one line names the package to install", "\n".join(lines))
        expect(not (work / "no-tool").exists(), "and leaves no output directory behind")
    return checks.status()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
