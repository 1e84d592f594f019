#!/usr/bin/env python3
"""Authenticode signing of the release's Windows files with osslsigncode
(Debian package osslsigncode), from a PKCS#12 certificate:

  VANTREL_SIGN_PFX            the .pfx/.p12 file: the code-signing certificate,
                              its private key and, best, its chain
  VANTREL_SIGN_PASSWORD       its password (unset or empty: none)
  VANTREL_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server, optional; without
                              one the signature is trusted only as long as the
                              certificate is valid

  sign.py IN OUT     signs a copy of an executable or an MSI package IN as OUT

The signature is SHA-256. Without a time stamp its signing time is
SOURCE_DATE_EPOCH where that is set, so that two signings of the same file
with the same key give the same bytes; otherwise it is the current time. A
time stamp from a server is new on every signing, so a time-stamped release
is never signed twice alike, and then the signing time is the real one.
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TOOL = "osslsigncode"
PFX, PASSWORD, TIMESTAMP_URL = ("VANTREL_SIGN_PFX", "VANTREL_SIGN_PASSWORD",
                                "VANTREL_SIGN_TIMESTAMP_URL")
UNSIGNED = "unsigned: no code-signing certificate given (%s is not set)" % PFX


class SignError(Exception):
    pass


def _first_line(text):
    return next((line.strip() for line in text.splitlines() if line.strip()), "no message")


def _cause(output, pfx):
    """One line out of osslsigncode's several (its own, then OpenSSL's)."""
    if "Wrong password" in output or "mac verify failure" in output:
        return "wrong password for %s (%s)" % (pfx, PASSWORD)
    if "Failed to read key or certificates" in output or "Failed to parse PKCS#12" in output:
        return "%s holds no certificate and key that %s can read" % (pfx, TOOL)
    return "%s failed: %s" % (TOOL, _first_line(output))


class Signer:
    def __init__(self, pfx, password="", timestamp_url="", signing_time=None):
        self.pfx = Path(pfx)
        self.password = password or ""
        self.timestamp_url = timestamp_url or ""
        self.signing_time = signing_time

    def check(self):
        """Raises SignError, before anything is built, for what would make
        every signing fail."""
        if shutil.which(TOOL) is None:
            raise SignError("%s not found: install it: apt-get install %s" % (TOOL, TOOL))
        try:
            with open(self.pfx, "rb") as pfx:
                pfx.read(1)
        except OSError as error:
            raise SignError("cannot read %s (%s): %s" % (self.pfx, PFX, error.strerror)) from None

    def _sign(self, source, target):
        """Signs `source` into `target`, which appears only when complete."""
        self.check()
        target = Path(target)
        partial = target.with_name(target.name + ".partial")
        command = [TOOL, "sign", "-pkcs12", str(self.pfx), "-h", "sha256"]
        if self.signing_time is not None:
            command += ["-time", str(self.signing_time)]
        if self.timestamp_url:
            command += ["-ts", self.timestamp_url]
        with tempfile.TemporaryDirectory(prefix="vantrel-sign.") as private:
            if self.password:
                # A file only this user can read keeps the password out of
                # the process list; osslsigncode drops its line end.
                secret = Path(private) / "password"
                fd = os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
                with os.fdopen(fd, "w", encoding="utf-8") as out:
                    out.write(self.password)
                command += ["-readpass", str(secret)]
            command += ["-in", str(source), "-out", str(partial)]
            try:
                done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, text=True, errors="replace")
            except OSError as error:
                raise SignError("%s could not run: %s" % (TOOL, error.strerror)) from None
        if done.returncode != 0 or not partial.is_file():
            partial.unlink(missing_ok=True)
            raise SignError("signing %s: %s" % (Path(source).name, _cause(done.stdout, self.pfx)))
        partial.replace(target)
        return target

    def sign_copy(self, source, target):
        """A signed copy of `source` (an executable or a package) at
        `target`; `source` stays as it is."""
        if Path(source).resolve() == Path(target).resolve():
            raise SignError("%s would be signed in place; sign a copy" % source)
        return self._sign(source, target)

    def sign_msi(self, package):
        """Signs the package in place: the signed file replaces it whole."""
        package = Path(package)
        return self._sign(package, package)


def signing_time(environ):
    epoch = environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch:
        return None
    if not epoch.isdigit():
        raise SignError("SOURCE_DATE_EPOCH=%s is not a count of seconds" % epoch)
    return int(epoch)


def from_environment(environ=None):
    """(signer, None) when a certificate is given, else (None, the words
    that say the release is unsigned). Raises SignError when one is given
    but cannot be used."""
    environ = os.environ if environ is None else environ
    pfx = environ.get(PFX, "")
    if not pfx:
        return None, UNSIGNED
    timestamp_url = environ.get(TIMESTAMP_URL, "")
    signer = Signer(pfx, environ.get(PASSWORD, ""), timestamp_url,
                    None if timestamp_url else signing_time(environ))
    signer.check()
    return signer, None


def main(argv):
    if len(argv) != 2 or argv[0].startswith("-"):
        print(__doc__.strip())
        return 2
    try:
        signer, _ = from_environment()
        if signer is None:
            print("sign: %s is not set: nothing to sign with" % PFX)
            return 1
        target = signer.sign_copy(argv[0], argv[1])
    except (SignError, OSError) as error:
        print("sign: %s" % error)
        return 1
    print("signed %s" % target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
