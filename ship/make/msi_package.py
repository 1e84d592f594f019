#!/usr/bin/env python3
"""Builds the Windows Installer package vantrel-VERSION-win32.msi from a
built vantrel.exe, ship/vantrel.wxs and ship/vantrel-task.xml:

  python3 -m ship.make.msi_package --exe build/windows/vantrel.exe --out-dir dist

wixl 0.101 (Debian 12's package wixl) writes the database; other versions
are refused, since they write other custom-action types, 64-bit defaults
and sequences. libmsi, from the same project, then sets what wixl cannot
express: the
launch conditions that refuse a bad property value or a folder; the
refusal of a run with rollback disabled; a feature that cannot be
advertised; the conditions that
install one task definition on each Windows width; each custom action's
type as the WiX source declares it (wixl 0.101 ignores Execute="rollback");
an InstallUISequence with nothing but costing in it; the secure public
properties; the exe's file version, without which Windows Installer would
not replace the exe on upgrade; no file hash for that versioned file
(ICE60); and the Keldran folder's removal.

The codes come from ship/identity.py. The product code follows from the
version: two builds of one version are one product. The package code
follows from everything that goes into the package, and the summary's time
stamps are fixed, so that the same exe gives the same .msi bytes.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

from ship import identity, msi_database
from ship.make import exe_version
from ship.msi_database import (COMMIT, CONTINUE_ON_ERROR, DISALLOW_ADVERTISE, ERROR_MESSAGE, EXE_IN_PROPERTY,
                               IN_SCRIPT, NO_IMPERSONATE, ROLLBACK, SET_PROPERTY, Summary)

SHIP = Path(__file__).resolve().parents[1]
WXS = SHIP / "vantrel.wxs"
TASK_XML = SHIP / "vantrel-task.xml"

# The 32-bit package is the product; the x64 one is a test vehicle around
# the 64-bit build, for machines whose kernel runs no 32-bit programs.
MACHINES = {"x86": "014C", "x64": "8664"}
# The wixl whose output this package's fixes are made for.
WIXL_VERSION = "0.101"

# Which task definition each Windows width gets. The condition never
# changes under an installed product, so evaluating it once, at the
# component's first install, is enough.
COMPONENT_CONDITIONS = {"TaskXmlOn32BitWindows": "NOT VersionNT64",
                        "TaskXmlOn64BitWindows": "VersionNT64"}
# The only actions the UI sequence keeps: costing, and the hand-over to
# the execute sequence. Anything that decides (the searches, the
# remembered choice, the launch conditions, finding the older product)
# runs on the installation's own side, alike at every UI level.
UI_SEQUENCE = ("CostInitialize", "FileCost", "CostFinalize", "ExecuteAction")

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
    # Empty only in maintenance where the remembered choice is missing.
    ("NOT STARTUPTASK OR " + accepts("STARTUPTASK", FLAGS),
     "STARTUPTASK must be %s, not [STARTUPTASK]." % listed(FLAGS)),
    # The folder is fixed; a folder given anyway (as version 1.0.0 took
    # one) is refused rather than silently ignored.
    ("NOT INSTALLDIR",
     "INSTALLDIR is not accepted: Vantrel is always installed in Keldran\\Vantrel under the "
     "Program Files folder, which only administrators can change. Give no INSTALLDIR."),
]

# The task and the settings are put back only by rollback actions, which
# do not run while rollback is disabled (the DisableRollback policy, the
# DISABLEROLLBACK property, or PROMPTROLLBACKCOST where space runs out):
# only a removal, which puts back nothing but the task it deletes, goes
# ahead then. An error action (type 19) refuses, after InstallValidate,
# where REMOVE is known (a launch condition runs before it is), and before
# InstallInitialize, before any change.
REFUSAL = ("RefuseWithoutRollback", 1450, '(RollbackDisabled OR DISABLEROLLBACK) AND NOT REMOVE~="ALL"',
           "Rollback is disabled on this machine (the DisableRollback policy, DISABLEROLLBACK or "
           "PROMPTROLLBACKCOST), and the Vantrel package puts back the start-up task and the "
           "settings of a failed installation only by rolling it back: it installs, repairs and "
           "upgrades only with rollback enabled. Removing Vantrel works either way.")
# The feature cannot be advertised (msi_database.DISALLOW_ADVERTISE): an
# advertised feature installs nothing until first used, and nothing uses
# this one, so the task would never be registered.


# Every public property the package reads from outside: Windows passes only
# these from a client that is not elevated to the installation it elevates.
# INSTALLDIR is among them so that the installation itself sees it and
# refuses it. The registry search's result (REMEMBEREDSTARTUPTASK) is made
# by the installation's own AppSearch, never taken from a client.
SECURE_PROPERTIES = ("WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED", "GPSPOSITIONMODE",
                     "DISABLEVANTREL", "STARTUPTASK", "INSTALLDIR")

EXECUTE_BITS = {None: 0, "immediate": 0, "deferred": IN_SCRIPT,
                "rollback": IN_SCRIPT | ROLLBACK, "commit": IN_SCRIPT | COMMIT}
WIX = "{http://schemas.microsoft.com/wix/2006/wi}"


class PackageError(Exception):
    pass


def quoted(text):
    if "'" in text:
        raise ValueError(text)
    return "'%s'" % text


def declared_action_types(wxs_text):
    """{action: type} as the WiX source declares each custom action: what
    it runs, when (in the script, as a rollback) and how (whether a failure
    counts, whose account). No impersonation means something only in the
    script (ICE68)."""
    import xml.etree.ElementTree as ET
    types = {}
    for action in ET.fromstring(wxs_text).iter(WIX + "CustomAction"):
        execute = action.get("Execute")
        if execute not in EXECUTE_BITS or action.get("Property") is None:
            raise PackageError("custom action %s: only Property with Value or ExeCommand, "
                               "run immediately or in the script, is known here" % action.get("Id"))
        kind = SET_PROPERTY if action.get("Value") is not None else EXE_IN_PROPERTY
        bits = kind | EXECUTE_BITS[execute]
        if action.get("Return") == "ignore":
            bits |= CONTINUE_ON_ERROR
        if bits & IN_SCRIPT and action.get("Impersonate") == "no":
            bits |= NO_IMPERSONATE
        types[action.get("Id")] = bits
    return types


def database_changes(file_version, file_language, wxs_text, ui_actions):
    """The queries that follow wixl; ui_actions are the actions
    wixl put in the InstallUISequence."""
    queries = ["INSERT INTO `LaunchCondition` (`Condition`, `Description`) VALUES (%s, %s)"
               % (quoted(condition), quoted(message)) for condition, message in LAUNCH_CONDITIONS]
    for component, condition in sorted(COMPONENT_CONDITIONS.items()):
        queries.append("UPDATE `Component` SET `Condition` = %s WHERE `Component` = %s"
                       % (quoted(condition), quoted(component)))
    action, sequence, condition, message = REFUSAL
    queries.append("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES (%s, %d, '', %s)"
                   % (quoted(action), ERROR_MESSAGE, quoted(message)))
    queries.append("INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES "
                   "(%s, %s, %d)" % (quoted(action), quoted(condition), sequence))
    queries.append("UPDATE `Feature` SET `Attributes` = %d" % DISALLOW_ADVERTISE)
    for action in sorted(set(ui_actions) - set(UI_SEQUENCE)):
        queries.append("DELETE FROM `InstallUISequence` WHERE `Action` = %s" % quoted(action))
    for action, bits in sorted(declared_action_types(wxs_text).items()):
        queries.append("UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = %s"
                       % (bits, quoted(action)))
    queries.append("UPDATE `Property` SET `Value` = %s WHERE `Property` = 'SecureCustomProperties'"
                   % quoted(";".join(SECURE_PROPERTIES)))
    queries.append("UPDATE `File` SET `Version` = %s, `Language` = %s WHERE `File` = 'VantrelExe'"
                   % (quoted(file_version), quoted(file_language)))
    # A versioned file is compared by its version, never by a hash (ICE60).
    queries.append("DELETE FROM `MsiFileHash` WHERE `File_` = 'VantrelExe'")
    # wixl gives a RemoveFolder the folder of its component, whatever its
    # Directory says.
    queries.append("UPDATE `RemoveFile` SET `DirProperty` = 'KeldranFolder' "
                   "WHERE `FileKey` = 'KeldranFolder'")
    return queries


# The exe's folder in the task definition, as Windows names it to the
# task's account: %ProgramFiles% is the 64-bit folder on 64-bit Windows,
# where a 32-bit package installs into %ProgramFiles(x86)%.
PROGRAM_FILES = "%ProgramFiles%\\"
PROGRAM_FILES_ON_64BIT_WINDOWS = {"x86": "%ProgramFiles(x86)%\\", "x64": PROGRAM_FILES}


def task_definitions(text, arch):
    """{staged name: bytes} of the two definitions the package carries, one
    for each Windows width, each naming the exe where the package puts it."""
    if text.count("<Command>" + PROGRAM_FILES) != 1:
        raise PackageError("%s does not name the exe under %s" % (TASK_XML, PROGRAM_FILES))
    on_64bit = text.replace("<Command>" + PROGRAM_FILES,
                            "<Command>" + PROGRAM_FILES_ON_64BIT_WINDOWS[arch])
    return {"vantrel-task-32.xml": task_xml_for_windows(text),
            "vantrel-task-64.xml": task_xml_for_windows(on_64bit)}


def task_xml_for_windows(text):
    """The task definition as schtasks on Windows reads it: UTF-16 with a
    byte-order mark and CRLF line ends, declared as such."""
    declaration = '<?xml version="1.0" encoding="UTF-8"?>'
    if not text.startswith(declaration):
        raise PackageError("%s does not start with %s" % (TASK_XML, declaration))
    text = text.replace(declaration, declaration.replace("UTF-8", "UTF-16"), 1)
    return b"\xff\xfe" + text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-16-le")


def wixl():
    """wixl, refused unless it is the one the package's fixes are made for."""
    path = shutil.which("wixl")
    if path is None:
        raise PackageError("wixl not found: install the Debian package wixl")
    done = subprocess.run([path, "--version"], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    found = done.stdout.decode(errors="replace").strip()
    if done.returncode != 0 or found != WIXL_VERSION:
        raise PackageError("wixl %s is needed (Debian 12's package wixl), found %r: other "
                           "versions write other custom-action types, 64-bit defaults and "
                           "sequences" % (WIXL_VERSION, found))
    return path


def package_codes(arch):
    """The wixl variables for the upgrade code and the component GUIDs."""
    names = dict(("%sGuid" % component, identity.code_for(arch, guid))
                 for component, guid in identity.COMPONENT_GUIDS.items())
    names["UpgradeCode"] = identity.upgrade_code(arch)
    return names


# The summary information's "Created" and "Last saved", which wixl sets to
# the build time: both become the zip entries' time, 1980-01-01 00:00 UTC.
FIXED_FILETIME = (315532800 + 11644473600) * 10 ** 7


def change_database(msi, queries, package_code):
    """Runs the queries in order, gives the summary the package code and the
    fixed times, and writes the database once."""
    database = msi_database.open_database(msi, writable=True)
    for query in queries:
        msi_database.run(database, query).close()
    summary = msi_database.summary(database)
    summary.set_string(Summary.UUID, "{%s}" % package_code)
    for stamp in (Summary.CREATED_TM, Summary.LASTSAVED_TM):
        summary.set_filetime(stamp, FIXED_FILETIME)
    summary.persist()
    database.commit()


def make_package(exe, out_dir, arch="x86", sign=None, task_xml=None):
    """Writes out_dir/vantrel-VERSION-win32.msi (win64 for the x64 vehicle),
    passed through `sign` once built; returns its path. Nothing is left in
    out_dir unless it succeeds. task_xml, the text of another task
    definition, is for the release check's broken packages."""
    wixl_path = wixl()
    fields = exe_version.read(exe)
    if fields["Machine"] != MACHINES[arch]:
        raise PackageError("%s is not an %s build (machine %s)" % (exe, arch, fields["Machine"]))
    version = fields.get("FileVersion")
    file_version = fields.get("FixedFileVersion")
    if not version or not file_version:
        raise PackageError("%s carries no version resource" % exe)
    language = str(int(fields.get("Translation", "0409 04B0").split()[0], 16))

    exe_bytes = Path(exe).read_bytes()
    definitions = task_definitions(task_xml or TASK_XML.read_text(encoding="utf-8"), arch)
    wxs_bytes = WXS.read_bytes()
    product_code = uuid.uuid5(identity.CODE_NAMESPACE, "product %s %s" % (arch, version))

    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    suffix = "win32" if arch == "x86" else "win64"
    package = out_dir / ("vantrel-%s-%s.msi" % (version, suffix))
    partial = package.with_name(package.name + ".partial")
    with tempfile.TemporaryDirectory() as stage:
        stage = Path(stage)
        # wixl takes each file's time into the cabinet: a fixed one keeps
        # the checkout's times out of the package.
        for name, data in [("vantrel.exe", exe_bytes), ("vantrel.wxs", wxs_bytes)] + \
                sorted(definitions.items()):
            (stage / name).write_bytes(data)
            os.utime(stage / name, (315532800, 315532800))
        built = stage / "vantrel.msi"
        folders = (("ProgramFiles64Folder", "System64Folder") if arch == "x64"
                   else ("ProgramFilesFolder", "SystemFolder"))
        defines = {"Version": version, "ProductCode": str(product_code).upper(),
                   "ProgramFiles": folders[0], "SystemFolder": folders[1],
                   "Win64": "yes" if arch == "x64" else "no"}
        defines.update(package_codes(arch))
        done = subprocess.run([wixl_path, "-a", arch] +
                              [argument for name, value in sorted(defines.items())
                               for argument in ("-D", "%s=%s" % (name, value))] +
                              ["-o", str(built), str(stage / "vantrel.wxs")],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise PackageError("wixl failed (exit %d): %s"
                               % (done.returncode, done.stdout.decode(errors="replace").strip()))
        queries = database_changes(file_version, language, wxs_bytes.decode("utf-8"),
                                   [row["Action"] for row in msi_database.table(built, "InstallUISequence")])
        content = hashlib.sha256()
        for part in [exe_bytes, wxs_bytes, "\n".join(queries).encode(),
                     ("%s %s" % (arch, version)).encode()] + \
                [data for _, data in sorted(definitions.items())]:
            content.update(hashlib.sha256(part).digest())
        package_code = uuid.uuid5(identity.CODE_NAMESPACE, "package " + content.hexdigest())
        change_database(built, queries, str(package_code).upper())
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
    except (PackageError, exe_version.NotReadable, OSError) + msi_database.Error as error:
        print("msi_package: %s" % error)
        return 1
    print("%s (%d bytes, SHA-256 %s)" % (package, package.stat().st_size,
                                         hashlib.sha256(package.read_bytes()).hexdigest()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
