#!/usr/bin/env python3
"""Checks the release bundle made from vantrel.exe: named after the project
version, the four files in order, SHA256SUMS true to the files, CRLF text,
the settings file with the program's defaults under the plain key, INSTALL.txt
with every section a deployer needs, and the same zip bytes from a copy of the exe with another time and mode at another
path (as a second checkout would make it).

  check_release_bundle.py path/to/vantrel.exe VERSION
"""

import hashlib
import os
import shutil
import sys
import tempfile
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

import release  # noqa: E402

ENTRIES = ["vantrel.exe", "vantrel-settings.reg", "INSTALL.txt", "SHA256SUMS"]
TEXT = ENTRIES[1:]
# What a deployer needs with no README at hand: how to install (by package
# or by hand), the settings and their registry view, how to check a device,
# what the results mean, the receiver's pitfalls and delays, the binary's
# hash and version, and how to remove it all.
DEPLOYER_SECTIONS = ["Before you start", "Deploying with Windows Installer", "Deploying",
                     "Settings", "Verifying", "Exit codes", "Collecting results from a fleet",
                     "What a deployer must know about the receiver", "How long it can take",
                     "Checking the binary", "Uninstalling by hand"]


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip())
        return 2
    exe, version = Path(argv[0]), argv[1]
    failures = []

    def expect(ok, what):
        print("  %s  %s" % ("ok  " if ok else "FAIL", what))
        if not ok:
            failures.append(what)

    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        bundle = release.make_bundle(exe, work / "one")
        expect(bundle.name == "vantrel-%s-win32.zip" % version,
               "the bundle is named after version %s: %s" % (version, bundle.name))
        with zipfile.ZipFile(bundle) as archive:
            names = archive.namelist()
            files = {name: archive.read(name) for name in names}
        expect(names == ENTRIES, "it holds %s in that order: %s" % (", ".join(ENTRIES), names))
        if names != ENTRIES:
            return 1
        expect(files["vantrel.exe"] == exe.read_bytes(), "its vantrel.exe is the exe, unchanged")

        sums = files["SHA256SUMS"].decode("ascii").splitlines()
        listed = dict(reversed(line.split("  ", 1)) for line in sums)
        expect(sorted(listed) == sorted(ENTRIES[:3]),
               "SHA256SUMS lists the other three files: %s" % sorted(listed))
        for name, digest in listed.items():
            expect(files.get(name) is not None and hashlib.sha256(files[name]).hexdigest() == digest,
                   "SHA256SUMS holds the SHA-256 of %s" % name)
        for name in TEXT:
            data = files[name]
            expect(data.endswith(b"\r\n") and data.count(b"\n") == data.count(b"\r\n"),
                   "%s has CRLF line ends only" % name)

        reg = files["vantrel-settings.reg"].decode("ascii").splitlines()
        values = [line for line in reg if line and not line.startswith(";")]
        expect(values == ["Windows Registry Editor Version 5.00",
                          r"[HKEY_LOCAL_MACHINE\Software\Keldran\Settings]",
                          '"DisableVantrel"=dword:00000000',
                          '"GpsPositionMode"=dword:00000000'],
               "vantrel-settings.reg sets both values to their default 0 under the plain key")
        expect(any("reg import vantrel-settings.reg /reg:32" in line for line in reg if line.startswith(";")),
               "vantrel-settings.reg says to import it with /reg:32")
        install = files["INSTALL.txt"].decode("utf-8")
        expect("reg import vantrel-settings.reg /reg:32" in install,
               "INSTALL.txt has README's import step")
        headings = [line for line, underline in zip(install.splitlines(), install.splitlines()[1:])
                    if underline and underline == "-" * len(line)]
        expect(headings == DEPLOYER_SECTIONS,
               "INSTALL.txt has the deployer's sections in order: %s%s"
               % ("; ".join(DEPLOYER_SECTIONS),
                  "" if headings == DEPLOYER_SECTIONS else " (it has: %s)" % "; ".join(headings)))

        # A second checkout: the same exe bytes with another time and mode.
        copy = work / "another" / "checkout" / "vantrel.exe"
        copy.parent.mkdir(parents=True)
        shutil.copyfile(exe, copy)
        os.chmod(copy, 0o755)
        os.utime(copy, (1234567890, 1234567890))
        again = release.make_bundle(copy, work / "two")
        expect(again.read_bytes() == bundle.read_bytes(),
               "a second bundle from a copy of the exe is byte-identical")
        print("%s: %d bytes, SHA-256 %s" % (bundle.name, bundle.stat().st_size,
                                             hashlib.sha256(bundle.read_bytes()).hexdigest()))
    if failures:
        print("FAILED: %d check(s)" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
