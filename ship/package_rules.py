#!/usr/bin/env python3
"""The Windows Installer and Task Scheduler rules the package relies on,
checked on any package file from its own tables:

  python3 -m ship.package_rules PACKAGE.msi      (./vantrel check-package PACKAGE.msi)

prints each rule with what it found and exits 1 when any is broken (2 when
the file cannot be read). Wine's msiexec is more forgiving than Windows in
exactly these places (it re-evaluates component conditions on every run,
removes an older product outside the transaction, ignores rollback order,
restarts nothing, knows no administrators), so a story that passes under
Wine does not show them: the tables do.

The check reads the tables (msiinfo export) and the task definitions in
the cabinet (gcab) through msi_tables.py, then walks the execute sequence
as Windows Installer does (install_walks.py) for every kind of run a device
can meet, on every Windows the package supports, under every combination
of the properties that decide something. Most rules are
statements about those walks, the refusals and the scripts of deferred
actions they produce, so that they follow what a condition or a command
line means, not how it is written. Each rule's first docstring line names
the documented rule it encodes. The rules here hold the package to what it
promises (the task, the settings, their rollbacks, the folder, the
restarts); script_rules.py holds its scripts to what any package's must
keep to, and table_rules.py its rows to one another and to the versions
that have shipped.
"""

import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

from ship import msi_conditions, script_rules, table_rules
from ship.install_walks import (KINDS, SETTINGS_KEY, classify, is_rollback, problems_in_runs, runs,
                                walk, windows)
from ship.msi_tables import CONTINUE_ON_ERROR, IN_SCRIPT, NO_IMPERSONATE, ONLY_DETECT, Tables, long_name
from ship.table_rules import verdict

SCHEMA = Path(__file__).resolve().parent / "task_scheduler.xsd"
TASK_NAMESPACE = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"
SETTINGS = {"GpsPositionMode": "GPSPOSITIONMODE", "DisableVantrel": "DISABLEVANTREL"}
# Properties Windows Installer itself defines and always passes to the
# installation it elevates; everything else public that the package reads
# must be secure.
INSTALLER_OWN = {"REMOVE", "REINSTALL", "REINSTALLMODE", "ALLUSERS", "ARPNOMODIFY", "REBOOT",
                 "ARPINSTALLLOCATION", "MSIRESTARTMANAGERCONTROL", "DISABLEROLLBACK",
                 "TARGETDIR"}
# Costing and the hand-over to the execute sequence: all a UI sequence may
# do when every decision belongs to the installation itself.
UI_SEQUENCE = {"CostInitialize", "FileCost", "CostFinalize", "ExecuteAction"}
# The events by which the task starts after each kind of power-on but a
# full boot, which the boot trigger covers: (log, provider, event ID). Field
# reports give them, no Microsoft page: a resume from sleep or hibernation
# ("The system has returned from a low power state."), every boot with its
# boot type (the one sign of a power-on after a Fast Startup shutdown), an
# exit from Modern Standby.
POWER_ON_EVENTS = (("System", "Microsoft-Windows-Power-Troubleshooter", "1"),
                   ("System", "Microsoft-Windows-Kernel-Boot", "27"),
                   ("System", "Microsoft-Windows-Kernel-Power", "507"))
# Each a minute late: time for a driver that starts late, or a USB
# receiver listed again after a resume, to list its port.
TRIGGERS = [("BootTrigger", "PT1M", None), ("EventTrigger", "PT1M", POWER_ON_EVENTS)]
# A Select that takes one event of one provider, and nothing else.
ONE_EVENT = re.compile(r"\*\[System\[Provider\[@Name='([^']+)'\] and EventID=(\d+)\]\]")


def selected_events(subscription):
    """(log, provider, event ID) of each Select of an event query, in order;
    a Select that takes anything but one provider's one event reads as None."""
    events = []
    for query in ET.fromstring(subscription or "<none/>").iter("Query"):
        for part in query:
            match = ONE_EVENT.fullmatch((part.text or "").strip())
            wanted = part.tag == "Select" and match and part.get("Path") == query.get("Path")
            events.append((part.get("Path"),) + match.groups() if wanted else None)
    return tuple(events)


def task_definition(data):
    """What a task definition sets, read the way Task Scheduler reads it."""
    root = ET.fromstring(data.decode("utf-16"))

    def find(path):
        return root.findtext("/".join(TASK_NAMESPACE + step for step in path.split("/")))
    triggers = []
    for trigger in root.find(TASK_NAMESPACE + "Triggers") or []:
        kind = trigger.tag.replace(TASK_NAMESPACE, "")
        events = None
        if kind == "EventTrigger":
            events = selected_events(trigger.findtext(TASK_NAMESPACE + "Subscription"))
        triggers.append((kind, trigger.findtext(TASK_NAMESPACE + "Delay"), events))
    return {
        "triggers": triggers,
        "user": find("Principals/Principal/UserId"),
        "run level": find("Principals/Principal/RunLevel"),
        "instances": find("Settings/MultipleInstancesPolicy"),
        "start on batteries": find("Settings/DisallowStartIfOnBatteries"),
        "stop on batteries": find("Settings/StopIfGoingOnBatteries"),
        "time limit": find("Settings/ExecutionTimeLimit"),
        "command": find("Actions/Exec/Command"),
    }


def schema_problems(data):
    """What xmllint finds wrong with a definition against the schema, or ""."""
    with tempfile.NamedTemporaryFile(suffix=".xml") as file:
        file.write(data)
        file.flush()
        done = subprocess.run(["xmllint", "--noout", "--schema", str(SCHEMA), file.name],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return "" if done.returncode == 0 else done.stdout.decode(errors="replace").strip()


def rollback_restores_what_was_there(t):
    """A rollback action must precede the action it undoes and put back what was there
    (Rollback Installation; CustomAction type bits 0x400 in-script, 0x100 rollback, 0x800 no
    impersonation): in every run, each change to the task or the settings is preceded by a
    save of that state that stops the installation when it fails, and between the two by a
    rollback, in the script whenever the change is, that puts back exactly the saved state."""
    def check(run):
        problems, saved, undo = [], {}, {}
        for step in run.script:
            kind, what, detail = classify(step)
            if kind == "save":
                saved[what] = detail
                undo.pop(what, None)
                if step.type & CONTINUE_ON_ERROR:
                    problems.append("%s saves the %s but its failure is ignored" % (step.action, what))
            elif kind == "restore":
                if not (is_rollback(step.type) and step.type & NO_IMPERSONATE):
                    problems.append("%s has type %d, not a rollback without impersonation"
                                    % (step.action, step.type))
                elif saved.get(what) != detail["file"]:
                    problems.append("%s puts back the %s from %s, which nothing saved before it"
                                    % (step.action, what, detail["file"]))
                else:
                    undo[what] = detail
            elif kind == "change":
                if what not in undo:
                    problems.append("%s changes the %s with no rollback that puts back a saved %s "
                                    "before it" % (step.action, what, what))
                elif not set(detail["values"]) <= set(undo[what]["values"]):
                    problems.append("%s writes %s, which its rollback does not delete before "
                                    "putting the saved ones back" % (step.action, detail["values"]))
            elif kind == "unknown":
                problems.append("%s changes the machine in a way no rule here knows: %s"
                                % (step.action, step.line))
        return problems
    return verdict(problems_in_runs(t, check),
                   "every change has its save and its rollback before it, in %d runs" % len(runs(t)))


def tools_of_the_package_width(t):
    """The 32-bit package's tools come from SystemFolder (SysWOW64 on 64-bit Windows),
    whose reg.exe writes the 32-bit registry view the 32-bit exe reads (Registry
    Redirector); the x64 vehicle's from System64Folder: every program a deferred action
    starts, and every one its command line names, is in that folder."""
    def check(run):
        return ["%s runs %s" % (step.action, tool) for step in run.script if step.line
                for tool in re.findall(r"<(?:System\w*|Windows)Folder>[^\"<>]*?\.exe", step.line)
                if not tool.startswith("<%s>" % t.system_folder)]
    return verdict(problems_in_runs(t, check), "every tool from %s" % t.system_folder)


def public_properties_secure(t):
    """SecureCustomProperties lists every public property the package reads from outside:
    Windows passes no other public property from a client that is not elevated to the
    installation it elevates (SecureCustomProperties property). What the installation's own
    AppSearch sets is searched there; one that is also secure, and so may come from a client,
    must reach no command line."""
    public = {name for name in t.read() if re.fullmatch(r"[A-Z][A-Z0-9_]*", name)}
    secure = set(t.properties.get("SecureCustomProperties", "").split(";"))
    searched = set(t.searches) if "AppSearch" in t.execute else set()
    missing = sorted(public - secure - INSTALLER_OWN - searched)
    commands = " ".join(row["Target"] for row in t.actions.values() if row["Type"] & IN_SCRIPT)
    passed = sorted(name for name in secure & searched if "[%s]" % name in commands)
    problems = (["not secure: " + ", ".join(missing)] if missing else []) + \
        (["searched, secure, and on a command line a client could hand it to: " + ", ".join(passed)]
         if passed else [])
    return verdict(problems, "secure: " + ", ".join(sorted(public - INSTALLER_OWN - searched)))


def older_product_removed_inside_the_transaction(t):
    """An upgrade that finds the older product (Upgrade table, FindRelatedProducts) removes
    it between InstallInitialize and its first change, so that the removal is part of the
    install's script and rolled back with it (RemoveExistingProducts action); after
    InstallValidate "if the installation of the upgrade product fails, the machine will have
    neither version"."""
    def check(run):
        if run.refused_by or not any(not row["Attributes"] & ONLY_DETECT for row in run.found):
            return []
        names = [step.action for step in run.script]
        if "RemoveExistingProducts" not in names:
            return ["the older version is not removed: it stays installed beside this one"]
        first = next(i for i, step in enumerate(run.script)
                     if step.changes and step.action != "RemoveExistingProducts")
        removal = names.index("RemoveExistingProducts")
        if not names.index("InstallInitialize") < removal < first:
            return ["RemoveExistingProducts comes after %s, the first change" % names[first]]
        return []
    return verdict(problems_in_runs(t, check), "an upgrade removes the older version first, "
                   "inside its transaction")


def never_restarts(t):
    """With no UI the installer restarts the system by itself when it needs to (REBOOT
    property, Force; System Reboots); REBOOT=ReallySuppress suppresses every restart and
    restart prompt: every run ends with it, whatever the command line gave, and no
    ForceReboot or ScheduleReboot is scheduled."""
    scheduled = sorted({"ForceReboot", "ScheduleReboot"} & set(t.execute))

    def check(run):
        final = run.properties.get("REBOOT", "")
        return [] if run.refused_by or final == "ReallySuppress" else \
            ["REBOOT is %r at the end" % final]
    problems = (["scheduled: " + ", ".join(scheduled)] if scheduled else []) + problems_in_runs(t, check)
    return verdict(problems, "REBOOT=ReallySuppress at the end of every run, REBOOT=Force given or not")


def ui_sequence_decides_nothing(t):
    """AppSearch and FindRelatedProducts do not run again in the execute sequence once run in
    the UI sequence (AppSearch action), and a non-elevated client passes only secure
    properties to the installation: so nothing that decides may run in the InstallUISequence,
    and every UI level installs alike."""
    extra = sorted(set(t.ui) - UI_SEQUENCE)
    return verdict(["the UI sequence also runs " + ", ".join(extra)] if extra else [],
                   "the UI sequence: " + ", ".join(sorted(t.ui, key=lambda a: t.ui[a]["Sequence"])))


def folder_cannot_be_moved(t):
    """The task runs the exe as SYSTEM, so its folder is the one Program Files' ACL protects
    and no command line can move it: no public property names a directory on its path (a
    public property named after a directory sets it, Directory table), every run puts it in
    Keldran\\Vantrel under the package's Program Files folder, and a run given INSTALLDIR is
    refused before it changes anything."""
    public = [d for d in t.exe_directories() if re.fullmatch(r"[A-Z][A-Z0-9_]*", d) and d != "TARGETDIR"
              and not d.startswith("ProgramFiles")]

    def check(run):
        if run.refused_by:
            return []
        if run.given.get("INSTALLDIR"):
            return ["INSTALLDIR=%s is not refused" % run.given["INSTALLDIR"]]
        return [] if run.exe_folder == t.expected_folder else ["the exe goes to %s" % run.exe_folder]
    problems = (["public directories on the exe's path: " + ", ".join(public)] if public else []) + \
        problems_in_runs(t, check)
    return verdict(problems, "the exe always in %s; INSTALLDIR refused" % t.expected_folder)


def task_definition_for_each_width(t):
    """Exactly one task definition is installed on each Windows width (Component table
    conditions on VersionNT64; seen on Windows 7, components_alike_on_every_windows_version
    holding the later Windows of a width to the same), valid by Task Scheduler's schema,
    naming the exe where the package puts it (%ProgramFiles(x86)% on 64-bit Windows for a
    32-bit package), starting it a minute after every kind of power-on (a boot trigger, and
    one Select for each event in POWER_ON_EVENTS), as Local System, one run at a time, on
    batteries too; no action changes the task after it is registered."""
    problems = []
    for system in windows(t):
        if system["VersionNT"] != "601":
            continue
        version = system["VersionNT64"]
        width = "64-bit" if version else "32-bit"
        installed = [f for f in t.task_definitions() if msi_conditions.evaluate(f["condition"], system)]
        if len(installed) != 1:
            problems.append("%s Windows gets %d definitions" % (width, len(installed)))
            continue
        data = installed[0]["data"]
        invalid = schema_problems(data)
        if invalid:
            problems.append("%s: %s" % (installed[0]["file"], invalid))
            continue
        fields = task_definition(data)
        command = t.expand_program_files(fields["command"] or "", version)
        if command != t.expected_folder + "vantrel.exe":
            problems.append("on %s Windows it runs %s, not %svantrel.exe"
                            % (width, command, t.expected_folder))
        wanted = {"triggers": TRIGGERS, "user": "S-1-5-18", "run level": None, "instances": "IgnoreNew",
                  "start on batteries": "false", "stop on batteries": "false", "time limit": "PT10M"}
        wrong = {k: fields[k] for k in wanted if fields[k] != wanted[k]}
        if wrong:
            problems.append("%s sets %s" % (installed[0]["file"], wrong))
    changes = sorted({step.action for run in runs(t) for step in run.script
                      if "/change /tn Vantrel" in (step.line or "")})
    if changes:
        problems.append("changed after it is registered by " + ", ".join(changes))
    return verdict(problems, "one definition per width, valid, %s" % TRIGGERS)


def maintenance_only_puts_back(t):
    """A per-machine product is managed, and every later operation on it runs elevated,
    whoever starts it (Using Windows Installer with UAC; MsiIsProductElevated): so no
    maintenance run changes a setting or the task choice, whatever its command line gives.
    In every repair the script writes no setting and deletes no task, and the choice is the
    remembered one, else the default 1. Nothing decides by AdminUser, which ICE86 warns
    against and a filtered administrator's token makes false."""
    def check(run):
        if run.kind != "repair" or run.refused_by:
            return []
        problems = ["%s changes the settings" % step.action for step in run.script
                    if classify(step)[:2] == ("change", "settings")]
        problems += ["%s deletes the task" % step.action for step in run.script
                     if not is_rollback(step.type) and "/delete /tn Vantrel" in (step.line or "")]
        remembered = run.machine.get("StartupTask") or "1"
        if run.properties.get("STARTUPTASK") != remembered:
            problems.append("the task choice becomes %r where %r is remembered"
                            % (run.properties.get("STARTUPTASK"), remembered))
        return problems
    named = sorted({"AdminUser"} & set().union(*(msi_conditions.properties_named(c) for c in t.conditions())))
    named += ["MSIUSEREALADMINDETECTION"] if "MSIUSEREALADMINDETECTION" in t.properties else []
    return verdict((["decides by " + ", ".join(named)] if named else []) + problems_in_runs(t, check),
                   "every repair puts back what the installation chose, in %d runs" % len(runs(t)))


def refused_while_rollback_disabled(t):
    """Rollback and commit custom actions do not run while rollback is disabled, and the
    package should then refuse to continue (RollbackDisabled property; Commit Custom
    Actions): with RollbackDisabled set, or DISABLEROLLBACK given, every run but an uninstall
    (which puts back nothing) is refused before its script begins."""
    problems = []
    for kind in KINDS:
        for disabled in ({"RollbackDisabled": "1"}, {"DISABLEROLLBACK": "1"}):
            machine = dict(windows(t)[0], UILevel="2", StartupTask="1")
            run = walk(t, kind, dict(disabled), machine)
            if bool(run.refused_by) != (kind != "uninstall"):
                problems.append("%s %s" % (run.described(), "refused" if run.refused_by else "goes ahead"))
    return verdict(problems, "refused but for an uninstall")


def uninstall_leaves_nothing(t):
    """Windows Installer removes at uninstall only the files its tables name (RemoveFile
    table, InstallMode 2 or 3, in the folder its DirProperty holds): every snapshot a save in
    the script writes has a RemoveFile row of the exe's component whose folder is the
    snapshot's at every uninstall and unset in every other run, so that nothing of the
    package's stays behind, whether or not the commit action that deletes them ran, and no
    rollback loses a snapshot it still needs."""
    exe_component = next(f["Component_"] for f in t.files if long_name(f["FileName"]).lower() == "vantrel.exe")
    rows = [row for row in t.remove_files if row["Component_"] == exe_component
            and int(row["InstallMode"]) & 2 and row["FileName"]]
    snapshots = {detail for run in runs(t) for step in run.script
                 for kind, _, detail in [classify(step)] if kind == "save"}
    problems = []
    for run in runs(t):
        if run.refused_by:
            continue
        removed = {(run.properties.get(row["DirProperty"]) or "") + long_name(row["FileName"])
                   for row in rows}
        if run.kind == "uninstall":
            problems += ["%s is left (%s)" % (path, run.described()) for path in snapshots - removed]
        elif any(path.strip() for path in removed - {long_name(row["FileName"]) for row in rows}):
            problems.append("a RemoveFile row has a folder in a %s (%s)" % (run.kind, run.described()))
        if len(problems) >= 4:
            break
    names = ", ".join(sorted(long_name(row["FileName"]) for row in rows))
    return verdict(problems, "removed at uninstall only: " + names)


def settings_written_only_with_their_property(t):
    """A non-transitive component's condition is evaluated only at its first install, and a
    transitive one whose condition turns false is removed at a repair (Using Transitive
    Components): so no Registry row writes a setting, and in every run each setting is
    written, as a REG_DWORD of the value given, exactly when its property is given at a first
    install or an upgrade."""
    rows = ["Registry row %s writes %s" % (r["Registry"], r["Name"]) for r in t.registry
            if r["Key"].strip("\\").lower() == SETTINGS_KEY[5:].lower()]

    def check(run):
        # A repair's writes are maintenance_only_puts_back's to judge.
        if run.refused_by or run.kind == "repair":
            return []
        problems = []
        for name, prop in SETTINGS.items():
            writes = [step.line for step, (kind, _, detail) in zip(run.script, map(classify, run.script))
                      if kind == "change" and detail["values"] == [name]]
            given = run.given.get(prop) and run.kind in ("install", "upgrade")
            wanted = ["add %s /v %s /t REG_DWORD /d %s /f" % (SETTINGS_KEY, name, run.given.get(prop))]
            if (len(writes) == 1 and writes[0].endswith(wanted[0])) != bool(given) or len(writes) > 1:
                problems.append("%s written %d times: %s" % (name, len(writes), writes))
        return problems
    return verdict(rows + problems_in_runs(t, check), "each setting: one REG_DWORD write, only with "
                   "its property")


def no_impersonation_bit_outside_the_script(t):
    """ICE68: the no-impersonate bit (0x800) means something only for an action in
    the script; an immediate action (a property set, type 51) must not carry it."""
    wrong = ["%s (%d)" % (name, row["Type"]) for name, row in sorted(t.actions.items())
             if row["Type"] & NO_IMPERSONATE and not row["Type"] & IN_SCRIPT]
    return verdict(["immediate actions with 0x800: " + ", ".join(wrong)] if wrong else [],
                   "no immediate action carries 0x800")


def no_hash_for_a_versioned_file(t):
    """ICE60: a file with a version has no MsiFileHash row (Windows Installer
    compares versioned files by version)."""
    hashed = sorted(r["File"] for r in t.files if r["Version"] and r["File"] in t.hashes)
    return verdict(["hashed versioned files: %s" % hashed] if hashed else [], "none hashed")


def programs_and_features(t):
    """ARPNOMODIFY=1 (no "Change" that only starts a maintenance run) and
    ARPINSTALLLOCATION set to the exe's folder in every run (inventory and detection rules
    read it; Windows Installer sets it only when the package does)."""
    def check(run):
        where = run.properties.get("ARPINSTALLLOCATION")
        return [] if run.refused_by or where == t.expected_folder else ["ARPINSTALLLOCATION is %r" % where]
    problems = ([] if t.properties.get("ARPNOMODIFY") == "1" else ["ARPNOMODIFY is not 1"])
    return verdict(problems + problems_in_runs(t, check), "ARPNOMODIFY=1, ARPINSTALLLOCATION %s"
                   % t.expected_folder)


def startup_task_chosen_once(t):
    """STARTUPTASK is remembered (a Registry row without a condition writes it under the
    product's key, AppSearch reads it back): in every run the task is registered and started
    once, after the settings are written, exactly when the choice (given at a first install
    or an upgrade, else remembered, else the default) is 1; a choice of 0 registers and starts
    nothing."""
    def check(run):
        if run.refused_by or run.kind == "uninstall":
            return []
        given = (run.given.get("STARTUPTASK") if run.kind in ("install", "upgrade") else "") or \
            run.machine.get("StartupTask") or "1"
        lines = [step.line or "" for step in run.script]
        created = [i for i, line in enumerate(lines) if "/create /tn Vantrel /xml" in line
                   and not is_rollback(run.script[i].type)]
        started = [i for i, line in enumerate(lines) if line.endswith("/run /tn Vantrel")]
        writes = [i for i, step in enumerate(run.script) if classify(step)[0] == "change"]
        if given == "1":
            if len(created) != 1 or len(started) != 1 or any(w > started[0] for w in writes) or \
                    not run.script[started[0]].type & NO_IMPERSONATE:
                return ["the choice is 1: registered %d times, started %d times" % (len(created), len(started))]
        elif created or started:
            return ["the choice is 0, yet the task is registered or started"]
        return []
    rows = [r for r in t.registry if r["Name"] == "StartupTask" and r["Value"] == "[STARTUPTASK]"
            and not t.components[r["Component_"]]["Condition"]]
    return verdict(([] if len(rows) == 1 else ["StartupTask is not written unconditionally"]) +
                   problems_in_runs(t, check), "registered and started once exactly when chosen")


RULES = (rollback_restores_what_was_there, tools_of_the_package_width, public_properties_secure,
         older_product_removed_inside_the_transaction, never_restarts, ui_sequence_decides_nothing,
         folder_cannot_be_moved, task_definition_for_each_width, maintenance_only_puts_back,
         refused_while_rollback_disabled, uninstall_leaves_nothing,
         settings_written_only_with_their_property, no_impersonation_bit_outside_the_script,
         no_hash_for_a_versioned_file, programs_and_features, startup_task_chosen_once) + \
    script_rules.RULES + table_rules.RULES


def check(package):
    """[(rule's name, its documented statement, holds, what was found)] for the package."""
    tables = Tables(package)
    results = []
    for rule in RULES:
        try:
            ok, found = rule(tables)
        except (KeyError, TypeError, ValueError, AttributeError, StopIteration,
                msi_conditions.ConditionError, ET.ParseError) as error:
            ok, found = False, "could not be read: %r" % error
        results.append((rule.__name__, " ".join(rule.__doc__.split()), ok, found))
    return results


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip())
        return 2
    try:
        results = check(argv[0])
    except (OSError, subprocess.CalledProcessError) as error:
        print("package_rules: %s cannot be read: %s" % (argv[0], error))
        return 2
    for name, statement, ok, found in results:
        print("%s  %s: %s\n        %s" % ("ok  " if ok else "FAIL", name, statement, found))
    broken = [name for name, _, ok, _ in results if not ok]
    print("%s: %s" % (argv[0], "every rule holds" if not broken else
                      "%d rule(s) broken: %s" % (len(broken), ", ".join(broken))))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
