#!/usr/bin/env python3
"""The package check (./vantrel check-package) against broken copies of the
package, each changed in one place, that it must reject, each by the rule
named beside it and no other; the package itself must pass every rule, and
the command must say so by its exit status and last line. The breaks are
the kinds an earlier table check let through, one for each thing the
package promises (no restart of its own, one behaviour at every UI level, a
folder no command line moves, maintenance that only puts back, even where
no choice is remembered, rollbacks that put back what was there, a task of
its own, nothing a locked-down device refuses, a refusal while rollback is
disabled where removal is known, no snapshot left, no advertising, a run
after every kind of power-on), and one for each way a package fails a real
install that Wine lets pass (a deferred action outside the transaction, a
file read before it is installed, a path without quotes, a component that
differs by Windows version, a shipped version no longer found, or sharing a
file with its own removal, an action type no rule knows, files that never
reach the machine, a remembered choice read elsewhere, the exe under a new
component code).

  python3 -m tests.ship.package_mutants path/to/vantrel.exe
"""

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from ship import msi_database
from ship.check.package_check import check as package_check
from ship.make import msi_package
from ship.msi_database import LOCATOR_64BIT, LOCATOR_RAW, NONCOMPRESSED
from tests.checks import Checks

REPO = Path(__file__).resolve().parents[2]


def condition_of(package, action):
    return next(r["Condition"] for r in msi_database.table(package, "InstallExecuteSequence") if r["Action"] == action)


def upgrade_row_from(package, version_min):
    """The major-upgrade row made anew with a lower bound (a key column: no UPDATE)."""
    row = next(r for r in msi_database.table(package, "Upgrade") if r["ActionProperty"] == "WIX_UPGRADE_DETECTED")
    return ["DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
            "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, "
            "`ActionProperty`) VALUES ('%s', '%s', '%s', %s, 'WIX_UPGRADE_DETECTED')"
            % (row["UpgradeCode"], version_min, row["VersionMax"], row["Attributes"])]


def row_of(package, table, key):
    return next(row for row in msi_database.table(package, table) if row[table] == key)


def sequenced(action, sequence):
    return "UPDATE `InstallExecuteSequence` SET `Sequence` = %d WHERE `Action` = '%s'" % (sequence, action)


def set_column(table, column, value, key=None, keyed=None):
    where = " WHERE `%s` = '%s'" % (key, keyed) if key else ""
    return "UPDATE `%s` SET `%s` = %s%s" % (table, column, value, where)


def sql(text):
    return text.replace("'", "''")


MUTANTS = [
    ("a rollback sequenced after the action it undoes", "rollback_restores_what_was_there",
     lambda p: [sequenced("DeleteTaskAgain", 4012)]),
    ('" AND 0" appended to a rollback\'s condition', "rollback_restores_what_was_there",
     lambda p: ["UPDATE `InstallExecuteSequence` SET `Condition` = '%s AND 0' WHERE `Action` = 'PutSettingsBack'"
                % sql(condition_of(p, "PutSettingsBack"))]),
    ("reg.exe from the 64-bit system folder", "tools_of_the_package_width",
     lambda p: ["UPDATE `CustomAction` SET `Target` = '[System64Folder]reg.exe' WHERE `Action` = 'FindReg'"]),
    ("a rollback that restores a constant", "rollback_restores_what_was_there",
     lambda p: ["UPDATE `CustomAction` SET `Target` = '%s' WHERE `Action` = 'PutSettingsBack'" % sql(
         '/d /s /c ""[Reg]" add HKLM\\Software\\Keldran\\Settings /v GpsPositionMode /t REG_DWORD /d 0 /f"')]),
    ("the task registered from a definition the package did not install", "task_is_its_own",
     lambda p: [set_column("CustomAction", "Target",
                           "'/create /tn Keldran-Vantrel /xml \"[WindowsFolder]Tasks\\vantrel.xml\" /f'",
                           "Action", "CreateTask")]),
    ("PowerShell where cmd.exe was", "only_programs_every_windows_allows",
     lambda p: [set_column("CustomAction", "Target", "'[SystemFolder]WindowsPowerShell\\v1.0\\powershell.exe'",
                           "Action", "FindCmd")]),
    ("an unsecured public property names the settings' snapshot", "public_properties_secure",
     lambda p: [set_column("CustomAction", "Target", "'[SNAPSHOTS]settings-before-[ProductVersion].reg'",
                           "Action", "NameSettingsSnapshot")]),
    ("the settings' snapshot named as 1.0.1's and 1.0.2's", "nothing_shared_with_an_older_removal",
     lambda p: [set_column("CustomAction", "Target", "'[VantrelFolder]settings-before.reg'",
                           "Action", "NameSettingsSnapshot")]),
    ("the major-upgrade row deleted", "every_landed_version_found",
     lambda p: ["DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"]),
    ("an upgrade row that takes in versions above 1.0.0 only", "every_landed_version_found",
     lambda p: upgrade_row_from(p, "1.0.0")),
    ("the older version removed after InstallFinalize", "older_product_removed_inside_the_transaction",
     lambda p: [sequenced("RemoveExistingProducts", 6610)]),
    ("REBOOT=Force on a command line is kept", "never_restarts",
     lambda p: ["DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'NeverRestart'"]),
    ("AppSearch in the UI sequence", "ui_sequence_decides_nothing",
     lambda p: ["INSERT INTO `InstallUISequence` (`Action`, `Condition`, `Sequence`) VALUES ('AppSearch', '', 50)"]),
    ("INSTALLDIR accepted", "folder_cannot_be_moved",
     lambda p: ["DELETE FROM `LaunchCondition` WHERE `Condition` = 'NOT INSTALLDIR'"]),
    ("the task definitions' width conditions swapped", "task_definition_for_each_width",
     lambda p: ["UPDATE `Component` SET `Condition` = 'VersionNT64' WHERE `Component` = 'TaskXmlOn32BitWindows'",
                "UPDATE `Component` SET `Condition` = 'NOT VersionNT64' WHERE `Component` = 'TaskXmlOn64BitWindows'"]),
    ("a repair that writes the settings its command line gives, as 1.0.1 did",
     "maintenance_only_puts_back",
     lambda p: [set_column("InstallExecuteSequence", "Condition",
                           "'%s'" % sql(condition_of(p, action).replace("NOT Installed", 'NOT REMOVE~="ALL"')),
                           "Action", action)
                for action in ("SaveSettings", "PutSettingsBack", "WriteGpsPositionMode", "WriteDisableVantrel",
                               "ForgetSettingsSnapshot")]),
    ("the task registered by a repair where no choice is remembered, as 1.0.2 did", "maintenance_only_puts_back",
     lambda p: [set_column("InstallExecuteSequence", "Condition",
                           "'NOT STARTUPTASK OR (Installed AND NOT REMEMBEREDSTARTUPTASK)'",
                           "Action", "DefaultStartupTask"),
                set_column("InstallExecuteSequence", "Condition",
                           "'REMEMBEREDSTARTUPTASK AND (Installed OR NOT STARTUPTASK)'",
                           "Action", "UseRememberedStartupTask")]),
    ("an installation that goes ahead with rollback disabled", "refused_while_rollback_disabled",
     lambda p: ["DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RefuseWithoutRollback'"]),
    ("the refusal while rollback is disabled a launch condition, as 1.0.2 had it",
     "removal_decided_after_install_validate",
     lambda p: ["DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'RefuseWithoutRollback'",
                "INSERT INTO `LaunchCondition` (`Condition`, `Description`) VALUES "
                "('(NOT RollbackDisabled AND NOT DISABLEROLLBACK) OR REMOVE~=\"ALL\"', 'Rollback is disabled.')"]),
    ("the settings' snapshot kept once the installation succeeds", "no_snapshot_outlives_its_run",
     lambda p: ["DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'ForgetSettingsSnapshot'"]),
    ("the settings saved with rollback disabled", "no_snapshot_outlives_its_run",
     lambda p: [set_column("InstallExecuteSequence", "Condition", "'%s'" % sql(
         condition_of(p, "SaveSettings").replace(" AND NOT RollbackDisabled", "")), "Action", "SaveSettings")]),
    ("the feature open to advertising", "no_advertising",
     lambda p: [set_column("Feature", "Attributes", 0)]),
    ("a deferred action after InstallFinalize", "deferred_actions_inside_the_transaction",
     lambda p: [sequenced("RunTask", 6650)]),
    ("the task registered before InstallFiles installs its definition", "files_read_once_installed",
     lambda p: [sequenced("DeleteTaskAgain", 3901), sequenced("CreateTask", 3903)]),
    ("a folder on a command line without quotes", "paths_quoted_on_command_lines",
     lambda p: [set_column("CustomAction", "Target",
                           "'/create /tn Keldran-Vantrel /xml [VantrelFolder]vantrel-task.xml /f'",
                           "Action", "CreateTask")]),
    ("the 64-bit task definition installed on 64-bit Windows 7 only",
     "components_alike_on_every_windows_version",
     lambda p: [set_column("Component", "Condition", "'VersionNT64 = 601'", "Component", "TaskXmlOn64BitWindows")]),
    ("a custom action that sets a directory (type 35)", "only_custom_action_types_the_package_uses",
     lambda p: ["INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
                "VALUES ('MoveVantrelFolder', 35, 'VantrelFolder', '[WindowsFolder]Vantrel\\')",
                "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
                "VALUES ('MoveVantrelFolder', '', 1007)"]),
    ("the feature at Level 0", "every_feature_installed",
     lambda p: [set_column("Feature", "Level", 0)]),
    ("the exe marked uncompressed in the compressed package", "every_file_in_the_cabinet",
     lambda p: [set_column("File", "Attributes", int(row_of(p, "File", "VantrelExe")["Attributes"]) | NONCOMPRESSED,
                           "File", "VantrelExe")]),
    ("the medium ending before the last file", "media_covers_every_file",
     lambda p: [set_column("Media", "LastSequence", 2)]),
    ("the remembered choice read in the 64-bit view", "remembered_choice_read_where_written",
     lambda p: [set_column("RegLocator", "Type", LOCATOR_RAW | LOCATOR_64BIT)]),
    ("a new component code for vantrel.exe", "exe_keeps_its_component_code",
     lambda p: [set_column("Component", "ComponentId", "'{0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0}'",
                           "Component", "VantrelExe")]),
]
# Built anew rather than edited: definitions that miss a kind of power-on.
# (what is broken, the rule, what to take out of the definition's text)
DEFINITION_MUTANTS = [
    ("a task definition without the trigger after a resume", "task_definition_for_each_width",
     r"\s*<!--[^>]*-->\s*<EventTrigger>.*?</EventTrigger>"),
    ("a task definition whose event query misses the Fast Startup power-on",
     "task_definition_for_each_width", r"\n&lt;Select[^\n]*Kernel-Boot[^\n]*"),
]


def broken_packages(package, exe, work):
    """Yields (what is broken, the rule that must reject it, the broken copy)."""
    work = Path(work)
    work.mkdir(parents=True, exist_ok=True)
    for number, (what, rule, queries) in enumerate(MUTANTS):
        copy = work / ("broken-%02d.msi" % number)
        shutil.copyfile(package, copy)
        database = msi_database.open_database(copy, writable=True)
        for query in queries(package):
            msi_database.run(database, query).close()
        database.commit()
        yield what, rule, copy
    text = msi_package.TASK_XML.read_text(encoding="utf-8")
    for number, (what, rule, taken_out) in enumerate(DEFINITION_MUTANTS):
        without = re.sub(taken_out, "", text, count=1, flags=re.S)
        if without == text:
            raise ValueError("the task definition has nothing to take out for: " + what)
        yield what, rule, msi_package.make_package(exe, work / ("definition-%02d" % number),
                                                   task_xml=without)


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip())
        return 2
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="vantrel-package-mutants.") as work:
        work = Path(work)
        package = msi_package.make_package(argv[0], work)
        for name, rule, ok, found in package_check(package):
            checks.expect(ok, "the package holds %s: %s" % (name, rule), found)
        for what, rule, broken in broken_packages(package, argv[0], work / "broken"):
            failed = [name for name, _, ok, _ in package_check(broken) if not ok]
            checks.expect(failed == [rule], "rejects a copy with %s, by %s alone" % (what, rule),
                          "it failed %s" % (failed or "nothing"))
        for made, status, said in ((package, 0, "every rule holds"),
                                   (broken, 1, "1 rule(s) broken: " + rule),
                                   (Path(argv[0]).resolve(), 2, "cannot be read")):
            done = subprocess.run([sys.executable, "-m", "ship.check.package_check", str(made)],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=str(REPO))
            last = done.stdout.decode(errors="replace").strip().splitlines()[-1]
            checks.expect(done.returncode == status and said in last,
                          "python3 -m ship.check.package_check %s: exit %d, %r" % (made.name, status, said),
                          "exit %d, %r" % (done.returncode, last))
    return checks.status()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
