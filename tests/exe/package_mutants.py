"""Broken copies of the package, each changed in one place, that the
package check must reject, each by the rule named beside it: the kinds of
break an earlier table check let through, and one for each thing the
package promises (no restart of its own, one behaviour at every UI level,
a folder no command line moves, maintenance by administrators only,
rollbacks that put back what was there, a run after every kind of
power-on)."""

import re
import shutil
import subprocess
from pathlib import Path

from ship import msi_package
from ship.msi_tables import msi_table


def condition_of(package, action):
    return next(r["Condition"] for r in msi_table(package, "InstallExecuteSequence") if r["Action"] == action)


def sql(text):
    return text.replace("'", "''")


MUTANTS = [
    ("a rollback sequenced after the action it undoes", "rollback_restores_what_was_there",
     lambda p: ["UPDATE `InstallExecuteSequence` SET `Sequence` = 4012 WHERE `Action` = 'PutTaskBackAfterCreate'"]),
    ('" AND 0" appended to a rollback\'s condition', "rollback_restores_what_was_there",
     lambda p: ["UPDATE `InstallExecuteSequence` SET `Condition` = '%s AND 0' WHERE `Action` = 'PutSettingsBack'"
                % sql(condition_of(p, "PutSettingsBack"))]),
    ("reg.exe from the 64-bit system folder", "tools_of_the_package_width",
     lambda p: ["UPDATE `CustomAction` SET `Target` = '[System64Folder]reg.exe' WHERE `Action` = 'FindReg'"]),
    ("a rollback that restores a constant", "rollback_restores_what_was_there",
     lambda p: ["UPDATE `CustomAction` SET `Target` = '%s' WHERE `Action` = 'PutSettingsBack'" % sql(
         '/d /s /c ""[Reg]" add HKLM\\Software\\Keldran\\Settings /v GpsPositionMode /t REG_DWORD /d 0 /f"')]),
    ("an unsecured public property inside quotes in a deferred command line", "public_properties_secure",
     lambda p: ["UPDATE `CustomAction` SET `Target` = '/create /tn Vantrel /xml \"[TASKDEFINITION]\" /f' "
                "WHERE `Action` = 'CreateTask'"]),
    ("the major-upgrade row deleted", "older_product_removed_inside_the_transaction",
     lambda p: ["DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"]),
    ("REBOOT=Force on a command line is kept", "never_restarts",
     lambda p: ["DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'NeverRestart'"]),
    ("AppSearch in the UI sequence", "ui_sequence_decides_nothing",
     lambda p: ["INSERT INTO `InstallUISequence` (`Action`, `Condition`, `Sequence`) VALUES ('AppSearch', '', 50)"]),
    ("INSTALLDIR accepted", "folder_cannot_be_moved",
     lambda p: ["DELETE FROM `LaunchCondition` WHERE `Condition` = 'NOT INSTALLDIR'"]),
    ("the task definitions' width conditions swapped", "task_definition_for_each_width",
     lambda p: ["UPDATE `Component` SET `Condition` = 'VersionNT64' WHERE `Component` = 'TaskXmlOn32BitWindows'",
                "UPDATE `Component` SET `Condition` = 'NOT VersionNT64' WHERE `Component` = 'TaskXmlOn64BitWindows'"]),
    ("a standard user's repair runs", "maintenance_by_administrators_only",
     lambda p: ["DELETE FROM `LaunchCondition` WHERE `Condition` = 'NOT Installed OR AdminUser'"]),
    ("the task's rollback deletes whatever task was there", "rollback_restores_what_was_there",
     lambda p: ["UPDATE `CustomAction` SET `Target` = '/d /s /c \"\"[Schtasks]\" /delete /tn Vantrel /f\"' "
                "WHERE `Action` = 'PutTaskBackAfterCreate'"]),
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
        for query in queries(package):
            subprocess.run(["msibuild", str(copy), "-q", query], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        yield what, rule, copy
    text = msi_package.TASK_XML.read_text(encoding="utf-8")
    for number, (what, rule, taken_out) in enumerate(DEFINITION_MUTANTS):
        without = re.sub(taken_out, "", text, count=1, flags=re.S)
        if without == text:
            raise ValueError("the task definition has nothing to take out for: " + what)
        yield what, rule, msi_package.make_package(exe, work / ("definition-%02d" % number),
                                                   task_xml=without)
