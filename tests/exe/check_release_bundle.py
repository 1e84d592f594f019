#!/usr/bin/env python3
"""Checks the release made from vantrel.exe. The bundle: named after the
project version, the seven files in order, SHA256SUMS true to the files,
CRLF text, the settings file with the program's defaults under the plain
key, the task definition as schtasks reads it, INSTALL.txt made from the
deployment guide (docs/DEPLOYING.md) with every section a deployer needs,
and not a word of the developer's platform (Wine, Linux, Debian), of no
use to an administrator on Windows. The Windows Installer package: the exe
inside it (msiextract) is the exe, the file table carries its file version (or
Windows Installer would not replace it on upgrade), the launch conditions
name each property and the values it accepts, and the package check
(ship/check, ./vantrel check-package, whose own test is
tests/ship/package_mutants.py) accepts it; the x64 test vehicle made from
the 64-bit build passes the check too, shares no upgrade code or component with the package, and the
release holds neither. Both: the same bytes from a copy of the exe with
another time and mode at another path (as a second checkout would make
it).

  python3 -m tests.exe.check_release_bundle path/to/vantrel.exe VERSION path/to/64-bit/vantrel.exe
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

from ship import msi_database
from ship.check.package_check import check as package_check
from ship.check.product_promises import TRIGGERS
from ship.check.task_definitions import task_definition
from ship.make import exe_version, msi_package, release
from tests.checks import Checks

ENTRIES = ["vantrel.exe", "vantrel-settings.reg", "vantrel-task.xml", "vantrel-status.ps1", "vantrel-start.ps1",
           "INSTALL.txt", "SHA256SUMS"]
TEXT = ["vantrel-settings.reg", "vantrel-status.ps1", "vantrel-start.ps1", "INSTALL.txt", "SHA256SUMS"]


# The sections of docs/DEPLOYING.md, in its order: what a deployer needs
# with nothing else at hand: how to install (by package or by hand), the
# settings and their registry view, how to check a device, what the results
# mean, how to collect them, the receiver's pitfalls and delays, the
# binary's hash, version and signature, and how to remove it all.
DEPLOYER_SECTIONS = ["Before you start", "Deploying with Windows Installer",
                     "Deploying by hand", "Settings", "Verifying", "Exit codes",
                     "Collecting results from a fleet",
                     "What a deployer must know about the receiver", "How long it can take",
                     "Checking the binary", "Uninstalling by hand"]
# Words of the developer's platform, which mean nothing on a Windows device.
DEVELOPER_WORDS = {"wine", "linux", "debian"}


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip())
        return 2
    exe, version, exe64 = Path(argv[0]), argv[1], Path(argv[2])
    checks = Checks()
    expect = checks.expect

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
        expect(sorted(listed) == sorted(ENTRIES[:-1]),
               "SHA256SUMS lists the other files: %s" % sorted(listed))
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
        task = files["vantrel-task.xml"]
        text = task[2:].decode("utf-16-le")
        expect(task.startswith(b"\xff\xfe") and text.startswith('<?xml version="1.0" encoding="UTF-16"?>')
               and text.count("\n") == text.count("\r\n"),
               "vantrel-task.xml is UTF-16 with a byte-order mark, declared so, with CRLF line ends")
        expect(task_definition(task) == {
            "triggers": TRIGGERS, "user": "S-1-5-18", "run level": None,
            "instances": "IgnoreNew", "start on batteries": "false", "stop on batteries": "false",
            "time limit": "PT10M", "command": r"%ProgramFiles%\Keldran\Vantrel\vantrel.exe"},
               "vantrel-task.xml: a minute after every kind of power-on, as Local System, "
               "one at a time, on batteries too, 10 minutes at most, the exe where 32-bit "
               "Windows keeps it: %s" % task_definition(task))
        install = files["INSTALL.txt"].decode("utf-8")
        expect("reg import vantrel-settings.reg /reg:32" in install,
               "INSTALL.txt has the deployment guide's import step")
        words = {word.lower() for word in
                 "".join(c if c.isalnum() else " " for c in install).split()}
        expect(not words & DEVELOPER_WORDS,
               "INSTALL.txt names none of %s" % ", ".join(sorted(DEVELOPER_WORDS)),
               "it names: %s" % ", ".join(sorted(words & DEVELOPER_WORDS)))
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

        package = msi_package.make_package(exe, work / "one")
        expect(package.name == "vantrel-%s-win32.msi" % version,
               "the package is named after version %s: %s" % (version, package.name))
        subprocess.run(["msiextract", "-C", str(work / "extracted"), str(package)], check=True,
                       stdout=subprocess.DEVNULL)
        inside = list((work / "extracted").rglob("vantrel.exe"))
        expect(len(inside) == 1 and inside[0].read_bytes() == exe.read_bytes(),
               "the package's vantrel.exe (msiextract) is the exe, byte for byte")
        files_table = {row["File"]: row for row in msi_database.table(package, "File")}
        file_version = exe_version.read(exe)["FixedFileVersion"]
        expect(files_table.get("VantrelExe", {}).get("Version") == file_version,
               "the file table carries the exe's file version %s: %s"
               % (file_version, files_table.get("VantrelExe")))
        template = msi_database.summary(msi_database.open_database(package)).get_string(
            msi_database.Summary.TEMPLATE)
        expect(template == "Intel;1033", "the package is a 32-bit one (summary template Intel;1033)", template)
        for name, rule, ok, found in package_check(package):
            expect(ok, "package check, %s: %s" % (name, rule), found)
        conditions = [row["Description"] for row in msi_database.table(package, "LaunchCondition")]
        for prop, values in (("GPSPOSITIONMODE", "0, 2, 3, 4, 5, 6, 7 or 8"),
                             ("DISABLEVANTREL", "0 or 1"), ("STARTUPTASK", "0 or 1")):
            expect(any(text.startswith("%s must be %s" % (prop, values)) for text in conditions),
                   "a launch condition names %s and the values it accepts (%s)" % (prop, values))
        vehicle = msi_package.make_package(exe64, work / "vehicle", arch="x64")
        broken_rules = [name for name, _, ok, _ in package_check(vehicle) if not ok]
        expect(not broken_rules, "the package check accepts the x64 vehicle",
               "it breaks %s" % ", ".join(broken_rules))
        codes = {made: ({r["Property"]: r["Value"] for r in msi_database.table(made, "Property")}["UpgradeCode"],
                        {r["ComponentId"] for r in msi_database.table(made, "Component")})
                 for made in (package, vehicle)}
        expect(codes[package][0] != codes[vehicle][0] and not codes[package][1] & codes[vehicle][1],
               "the x64 vehicle has an upgrade code and component GUIDs of its own, so it can "
               "neither upgrade nor remove the product", "shared: %s" % (
                   codes[package][1] & codes[vehicle][1] or codes[package][0]))
        published = sorted(p.name for p in release.make_release(exe, work / "dist"))
        expect(published == ["vantrel-%s-win32.msi" % version, "vantrel-%s-win32.zip" % version],
               "the release publishes the 32-bit package and the bundle only: %s" % published)
        second = msi_package.make_package(copy, work / "two").read_bytes()
        expect(second == package.read_bytes(), "a second package from a copy of the exe is "
               "byte-identical", "differing bytes at %s" % [
                   i for i, (x, y) in enumerate(zip(second, package.read_bytes())) if x != y][:12])
        for made in (bundle, package):
            print("%s: %d bytes, SHA-256 %s" % (made.name, made.stat().st_size,
                                                 hashlib.sha256(made.read_bytes()).hexdigest()))
    return checks.status()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
