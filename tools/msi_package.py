#!/usr/bin/env python3
"""Builds the Windows Installer package vantrel-VERSION-win32.msi from a
built vantrel.exe, src/install/vantrel.wxs and src/install/vantrel-task.xml:

  msi_package.py --exe build/windows/vantrel.exe --out-dir dist

wixl (Debian package wixl) writes the database; msibuild (msitools) then
adds what wixl cannot express: the launch conditions that refuse a bad
property value, the conditions that make each setting's component install
only when its property is given, the permanence that keeps the settings at
uninstall, the exe's file version, without which Windows Installer would
not replace the exe on upgrade, and the Keldran folder's removal.

The product code follows from the version: two builds of one version are
one product. The package code follows from everything that goes into the
package, and the summary's time stamps are fixed, so that the same exe
gives the same .msi bytes.
"""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pe_version  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
WXS = REPO / "src" / "install" / "vantrel.wxs"
TASK_XML = REPO / "src" / "install" / "vantrel-task.xml"

# Names product and package codes are derived from; never change it, or one
# version would become two products.
CODE_NAMESPACE = uuid.UUID("D0659639-B8F0-4670-A2CA-F9EF03A2C623")

# The 32-bit package is the product; the x64 one is a test vehicle around
# the 64-bit build, for machines whose kernel runs no 32-bit programs.
MACHINES = {"x86": "014C", "x64": "8664"}
TOOLS = {"wixl": "wixl", "msibuild": "msitools", "msiinfo": "msitools"}

MODELS = ("0", "2", "3", "4", "5", "6", "7", "8")
FLAGS = ("0", "1")


def accepts(prop, values):
    # String comparisons: "06" or " 6" is refused, not read as 6.
    return " OR ".join('%s="%s"' % (prop, v) for v in values)


def listed(values):
    return ", ".join(values[:-1]) + " or " + values[-1]


LAUNCH_CONDITIONS = [
    ("NOT GPSPOSITIONMODE OR " + accepts("GPSPOSITIONMODE", MODELS),
     "GPSPOSITIONMODE must be %s, not [GPSPOSITIONMODE]." % listed(MODELS)),
    ("NOT DISABLEVANTREL OR " + accepts("DISABLEVANTREL", FLAGS),
     "DISABLEVANTREL must be %s, not [DISABLEVANTREL]." % listed(FLAGS)),
    (accepts("STARTUPTASK", FLAGS),
     "STARTUPTASK must be %s, not [STARTUPTASK]." % listed(FLAGS)),
]

# A setting's component installs only when its property is given, so that
# an install or upgrade without it leaves the value as it is (type
# included: it may come from a policy); permanent, so that uninstall leaves
# the machine's configuration alone.
REGISTRY_KEY_PATH = 4
PERMANENT = 16
WIN64 = 256
SETTING_COMPONENTS = {"GpsPositionMode": "GPSPOSITIONMODE", "DisableVantrel": "DISABLEVANTREL"}


class PackageError(Exception):
    pass


def quoted(text):
    if "'" in text:
        raise ValueError(text)
    return "'%s'" % text


def database_changes(file_version, file_language, arch):
    attributes = REGISTRY_KEY_PATH | PERMANENT | (WIN64 if arch == "x64" else 0)
    queries = ["INSERT INTO `LaunchCondition` (`Condition`, `Description`) VALUES (%s, %s)"
               % (quoted(condition), quoted(message)) for condition, message in LAUNCH_CONDITIONS]
    for component, prop in SETTING_COMPONENTS.items():
        queries.append("UPDATE `Component` SET `Condition` = %s, `Attributes` = %d "
                       "WHERE `Component` = %s" % (quoted(prop), attributes, quoted(component)))
    queries.append("UPDATE `File` SET `Version` = %s, `Language` = %s WHERE `File` = 'VantrelExe'"
                   % (quoted(file_version), quoted(file_language)))
    # wixl gives a RemoveFolder the folder of its component, whatever its
    # Directory says.
    queries.append("UPDATE `RemoveFile` SET `DirProperty` = 'KeldranFolder' "
                   "WHERE `FileKey` = 'KeldranFolder'")
    return queries


def task_xml_for_windows(text):
    """The task definition as schtasks on Windows reads it: UTF-16 with a
    byte-order mark and CRLF line ends, declared as such."""
    declaration = '<?xml version="1.0" encoding="UTF-8"?>'
    if not text.startswith(declaration):
        raise PackageError("%s does not start with %s" % (TASK_XML, declaration))
    text = text.replace(declaration, declaration.replace("UTF-8", "UTF-16"), 1)
    return b"\xff\xfe" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-16-le")


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise PackageError("%s not found: install the Debian package %s" % (name, TOOLS[name]))
    return path


def run(args):
    done = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise PackageError("%s failed (exit %d): %s" % (
            Path(args[0]).name, done.returncode, done.stdout.decode(errors="replace").strip()))
    return done.stdout


# The summary information's "Created" and "Last saved" (property ids 12 and
# 13, VT_FILETIME), which wixl sets to the build time and msibuild cannot
# set: both become the zip entries' time, 1980-01-01 00:00 UTC.
FILETIME_PROPERTIES = (12, 13)
VT_FILETIME = 64
FIXED_FILETIME = (315532800 + 11644473600) * 10 ** 7
SUMMARY_STREAM = "\x05SummaryInformation"


def summary_times(stream):
    """[(offset of the FILETIME in the stream, its value)] for Created and Last saved."""
    section = struct.unpack_from("<I", stream, 0x2C)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    found = []
    for i in range(count):
        prop, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        if prop in FILETIME_PROPERTIES:
            if struct.unpack_from("<I", stream, section + offset)[0] != VT_FILETIME:
                raise PackageError("summary property %d is not a FILETIME" % prop)
            at = section + offset + 4
            found.append((at, struct.unpack_from("<Q", stream, at)[0]))
    if len(found) != len(FILETIME_PROPERTIES):
        raise PackageError("the summary information lacks its time stamps")
    return found


def fix_summary_times(msi):
    """Overwrites the two time stamps in place in the compound file. Each is
    found by its bytes (type and value, 12 bytes that occur nowhere else);
    the stream read back afterwards must carry the fixed times, so a
    stamp split across two sectors fails the build instead of passing."""
    stream = extract_stream(msi)
    image = bytearray(Path(msi).read_bytes())
    for value in {value for _, value in summary_times(stream)}:
        old = struct.pack("<IQ", VT_FILETIME, value)
        if image.count(old) not in (1, 2):
            raise PackageError("the summary time stamps are not where expected in %s" % msi)
        image = image.replace(old, struct.pack("<IQ", VT_FILETIME, FIXED_FILETIME))
    Path(msi).write_bytes(bytes(image))
    if any(value != FIXED_FILETIME for _, value in summary_times(extract_stream(msi))):
        raise PackageError("the summary time stamps of %s could not be fixed" % msi)


def extract_stream(msi):
    done = subprocess.run([tool("msiinfo"), "extract", str(msi), SUMMARY_STREAM],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0 or not done.stdout:
        raise PackageError("msiinfo extract failed: %s" % done.stderr.decode(errors="replace"))
    return done.stdout


def make_package(exe, out_dir, arch="x86", sign=None):
    """Writes out_dir/vantrel-VERSION-win32.msi (win64 for the x64 vehicle),
    passed through `sign` once built; returns its path. Nothing is left in
    out_dir unless it succeeds."""
    for name in TOOLS:
        tool(name)
    fields = pe_version.read(exe)
    if fields["Machine"] != MACHINES[arch]:
        raise PackageError("%s is not an %s build (machine %s)" % (exe, arch, fields["Machine"]))
    version = fields.get("FileVersion")
    file_version = fields.get("FixedFileVersion")
    if not version or not file_version:
        raise PackageError("%s carries no version resource" % exe)
    language = str(int(fields.get("Translation", "0409 04B0").split()[0], 16))

    exe_bytes = Path(exe).read_bytes()
    task_bytes = task_xml_for_windows(TASK_XML.read_text(encoding="utf-8"))
    wxs_bytes = WXS.read_bytes()
    queries = database_changes(file_version, language, arch)
    product_code = uuid.uuid5(CODE_NAMESPACE, "product %s %s" % (arch, version))
    content = hashlib.sha256()
    for part in (exe_bytes, task_bytes, wxs_bytes, "\n".join(queries).encode(),
                 ("%s %s" % (arch, version)).encode()):
        content.update(hashlib.sha256(part).digest())
    package_code = uuid.uuid5(CODE_NAMESPACE, "package " + content.hexdigest())

    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    suffix = "win32" if arch == "x86" else "win64"
    package = out_dir / ("vantrel-%s-%s.msi" % (version, suffix))
    partial = package.with_name(package.name + ".partial")
    with tempfile.TemporaryDirectory() as stage:
        stage = Path(stage)
        # wixl takes each file's time into the cabinet: a fixed one keeps
        # the checkout's times out of the package.
        for name, data in (("vantrel.exe", exe_bytes), ("vantrel-task.xml", task_bytes),
                           ("vantrel.wxs", wxs_bytes)):
            (stage / name).write_bytes(data)
            os.utime(stage / name, (315532800, 315532800))
        built = stage / "vantrel.msi"
        folders = (("ProgramFiles64Folder", "System64Folder") if arch == "x64"
                   else ("ProgramFilesFolder", "SystemFolder"))
        run([tool("wixl"), "-a", arch, "-D", "Version=%s" % version,
             "-D", "ProductCode=%s" % str(product_code).upper(),
             "-D", "ProgramFiles=%s" % folders[0], "-D", "SystemFolder=%s" % folders[1],
             "-o", str(built), str(stage / "vantrel.wxs")])
        for query in queries:
            run([tool("msibuild"), str(built), "-q", query])
        template = "Intel;1033" if arch == "x86" else "x64;1033"
        run([tool("msibuild"), str(built), "-s", "Vantrel %s" % version, "Keldran", template,
             "{%s}" % str(package_code).upper()])
        fix_summary_times(built)
        if sign is not None:
            built = sign(built)
        shutil.copyfile(built, partial)
    partial.replace(package)
    return package


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--arch", choices=sorted(MACHINES), default="x86")
    args = parser.parse_args(argv)
    try:
        package = make_package(args.exe, args.out_dir, args.arch)
    except (PackageError, pe_version.NotReadable, OSError) as error:
        print("msi_package: %s" % error)
        return 1
    print("%s (%d bytes, SHA-256 %s)" % (package, package.stat().st_size,
                                         hashlib.sha256(package.read_bytes()).hexdigest()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
