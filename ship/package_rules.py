#!/usr/bin/env python3
"""The Windows Installer and Task Scheduler rules the package relies on,
checked on any package file from its own tables:

  python3 -m ship.package_rules PACKAGE.msi      (./vantrel check-package PACKAGE.msi)

prints each rule with what it found and exits 1 when any is broken (2 when
the file cannot be read, or a shipped version's package cannot be built from its
commit). Wine's msiexec is more forgiving than Windows in
exactly these places (it re-evaluates component conditions on every run,
removes an older product outside the transaction, ignores rollback order,
restarts nothing, knows no administrators), so a story that passes under
Wine does not show them: the tables do.

The check reads the tables (msiinfo export) and the task definitions in
the cabinet (gcab) through msi_tables.py, then walks the execute sequence
as Windows Installer does (install_walks.py) for every kind of run a device
can meet, on every Windows the package supports, under every combination
of the properties that decide something; an upgrade walks the older
version's own removal too, from that version's package, built from its
commit (so the check needs the repository's history, git and wixl). Most rules are
statements about those walks, the refusals and the scripts of deferred
actions they produce, so that they follow what a condition or a command
line means, not how it is written. Each rule's first docstring line names
the documented rule it encodes. The rules here hold the package to what it
promises (the task, the settings, their rollbacks, the folder, the
restarts, a task of its own, nothing a locked-down device refuses);
script_rules.py holds its scripts to what any package's must keep to, and table_rules.py its rows to one another and to the versions
that have shipped.
"""

import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

from ship import msi_conditions, msi_package, script_rules, table_rules
from ship.install_walks import (KINDS, SETTINGS_KEY, LandedPackageMissing, classify, is_rollback,
                                older_tables, older_versions, problems_in_runs, runs, walk, windows)
from ship.msi_tables import CONTINUE_ON_ERROR, IN_SCRIPT, NO_IMPERSONATE, ONLY_DETECT, Tables
from ship.table_rules import verdict

SCHEMA = Path(__file__).resolve().parent / "task_scheduler.xsd"
# The task of the guide's manual route, and of any made by hand: never the
# package's.
MANUAL_TASK = "Vantrel"
# What the package may run: programs every supported Windows has, which an
# application control policy leaves to administrators and SYSTEM.
ALLOWED_PROGRAMS = ("schtasks.exe", "reg.exe", "cmd.exe")
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
# reports give the first three: a resume from sleep or hibernation ("The
# system has returned from a low power state."), every boot with its boot
# type (a sign of a power-on after a Fast Startup shutdown), an exit from
# Modern Standby; a Microsoft page ("Troubleshooting hibernation", for
# virtual machines) gives the fourth, "The system has resumed from sleep".
POWER_ON_EVENTS = (("System", "Microsoft-Windows-Power-Troubleshooter", "1"),
                   ("System", "Microsoft-Windows-Kernel-Boot", "27"),
                   ("System", "Microsoft-Windows-Kernel-Power", "507"),
                   ("System", "Microsoft-Windows-Kernel-Power", "107"))
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
    impersonation): in every run, each write of the settings is preceded by a save of them
    that stops the installation when it fails, and between the two by a rollback that puts
    back exactly the saved state; each registration of the task at a first install or an
    upgrade, where nothing of the package's stood, by a rollback that deletes it; each
    deletion by a rollback that registers the package's definition again. A repair registers
    what stood already, and needs none."""
    def check(run):
        problems, saved, undo = [], {}, {}
        for step in run.script:
            kind, what, detail = classify(step)
            if kind in ("restore", "undo") and not (is_rollback(step.type) and step.type & NO_IMPERSONATE):
                problems.append("%s has type %d, not a rollback without impersonation" % (step.action, step.type))
            elif kind == "save":
                saved[what] = detail
                undo.pop(what, None)
                if step.type & CONTINUE_ON_ERROR:
                    problems.append("%s saves the %s but its failure is ignored" % (step.action, what))
            elif kind == "restore":
                if saved.get(what) != detail["file"]:
                    problems.append("%s puts back the %s from %s, which nothing saved before it"
                                    % (step.action, what, detail["file"]))
                else:
                    undo[what] = detail
            elif kind == "undo":
                undo[(detail["op"], detail["name"])] = detail
            elif kind == "change" and what == "settings":
                if what not in undo:
                    problems.append("%s changes the settings with no rollback that puts back saved "
                                    "settings before it" % step.action)
                elif not set(detail["values"]) <= set(undo[what]["values"]):
                    problems.append("%s writes %s, which its rollback does not delete before "
                                    "putting the saved ones back" % (step.action, detail["values"]))
            elif kind == "change" and what == "task":
                wanted = {"create": "delete" if run.kind in ("install", "upgrade") else None,
                          "delete": "create"}.get(detail["op"], "nothing")
                if wanted and (wanted, detail["name"]) not in undo:
                    problems.append("%s %ss task %s with no rollback before it that %ss it"
                                    % (step.action, detail["op"], detail["name"], wanted or "undoes"))
            elif kind == "unknown":
                problems.append("%s changes the machine in a way no rule here knows: %s"
                                % (step.action, step.line))
        return problems
    return verdict(problems_in_runs(t, check),
                   "every change has its rollback before it, in %d runs" % len(runs(t)))


def task_is_its_own(t):
    """A package must not take over what it did not install: in every run, every schtasks
    command names the package's own task, Keldran-Vantrel, never the manual route's Vantrel
    or any other, and registers it only from the definition the package installs beside the
    exe; nothing reads a task to save it. What stands under that name before the package acts
    is then nothing or its own definition, and putting it back needs no copy of a task."""
    definition = t.expected_folder + "vantrel-task.xml"

    def check(run):
        problems = []
        for step in run.script:
            kind, what, detail = classify(step)
            line = step.line or ""
            if "/tn " in line and what != "task":
                problems.append("%s reads or saves a task: %s" % (step.action, line))
            elif what == "task" and detail["name"] != msi_package.TASK:
                problems.append("%s names task %s" % (step.action, detail["name"]))
            elif what == "task" and detail["op"] == "create" and detail["definition"] != definition:
                problems.append("%s registers it from %s" % (step.action, detail["definition"]))
        return problems
    own = [] if msi_package.TASK != MANUAL_TASK else ["the package's task is named %s, as the manual "
                                                      "route's is" % MANUAL_TASK]
    return verdict(own + problems_in_runs(t, check), "only %s, only from %s" % (msi_package.TASK, definition))


def only_programs_every_windows_allows(t):
    """An application control policy (AppLocker, App Control for Business) may block any
    program but Windows' own, and under one PowerShell runs in ConstrainedLanguage mode, where
    COM objects such as Schedule.Service are refused (about_Language_Modes): in every run,
    each deferred action runs schtasks.exe, reg.exe or cmd.exe, and no command line names any
    other program or script."""
    def check(run):
        problems = []
        for step in run.script:
            if not step.line:
                continue
            names = [step.program] + re.findall(r'"([^"]+\.(?:exe|ps1|vbs|js|bat|cmd|dll))"', step.line)
            names += re.findall(r"(?i)\b(powershell|pwsh|wscript|cscript|mshta|rundll32|regsvr32)\b", step.line)
            problems += ["%s runs %s" % (step.action, name) for name in names
                         if name.replace("/", "\\").split("\\")[-1].lower() not in ALLOWED_PROGRAMS]
        return problems
    return verdict(problems_in_runs(t, check), "only " + ", ".join(ALLOWED_PROGRAMS))


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
                      if classify(step)[1] == "task" and classify(step)[2]["op"] == "change"})
    if changes:
        problems.append("changed after it is registered by " + ", ".join(changes))
    return verdict(problems, "one definition per width, valid, %s" % TRIGGERS)


def maintenance_only_puts_back(t):
    """A per-machine product is managed, and every later operation on it runs elevated,
    whoever starts it (Using Windows Installer with UAC; MsiIsProductElevated): so no
    maintenance run changes a setting or the task choice, whatever its command line gives.
    In every repair the script writes no setting and deletes no task, and the choice is the
    remembered one; where none is remembered, no repair registers the task and no removal
    deletes it. Nothing decides by AdminUser, which ICE86 warns against and a filtered
    administrator's token makes false."""
    def check(run):
        if run.kind not in ("repair", "uninstall") or run.refused_by:
            return []
        remembered = run.machine.get("StartupTask") or ""
        tasks = [(step.action, classify(step)[2]["op"]) for step in run.script
                 if classify(step)[:2] == ("change", "task")]
        if run.kind == "uninstall":
            return ["%s deletes a task where no choice is remembered" % action
                    for action, op in tasks if not remembered]
        problems = ["%s changes the settings" % step.action for step in run.script
                    if classify(step)[:2] == ("change", "settings")]
        problems += ["%s %ss the task" % (action, op) for action, op in tasks
                     if op == "delete" or remembered != "1"]
        if (run.properties.get("STARTUPTASK") or "") != remembered:
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
    (which puts back nothing but the task it deletes) is refused before it changes anything."""
    problems = []
    for kind in KINDS:
        for disabled in ({"RollbackDisabled": "1"}, {"DISABLEROLLBACK": "1"}):
            machine = dict(windows(t)[0], UILevel="2", StartupTask="1")
            run = walk(t, kind, dict(disabled), machine)
            changed = [step.action for step in run.script if step.changes]
            if bool(run.refused_by) != (kind != "uninstall") or (run.refused_by and changed):
                problems.append("%s %s" % (run.described(), "refused after %s" % changed if changed
                                           else "refused" if run.refused_by else "goes ahead"))
    return verdict(problems, "refused but for an uninstall")


def no_snapshot_outlives_its_run(t):
    """Commit custom actions run once the installation has succeeded, and neither they nor
    rollback actions run while rollback is disabled (Commit Custom Actions; RollbackDisabled
    property): in every run, each snapshot a save writes is deleted by a commit action of
    that run and by the rollback that reads it, and no save is made once rollback is
    disabled, so that nothing of the package's stays behind."""
    def check(run):
        if run.refused_by:
            return []
        forgotten = {path for step in run.script for kind, _, paths in [classify(step)] if kind == "forget"
                     for path in paths}
        problems = []
        for step in run.script:
            kind, _, detail = classify(step)
            if kind == "save" and detail not in forgotten:
                problems.append("%s is kept once the installation succeeds" % detail)
            if kind == "save" and msi_conditions.evaluate(
                    t.execute[step.action]["Condition"], dict(run.properties, RollbackDisabled="1")):
                problems.append("%s saves %s with rollback disabled" % (step.action, detail))
        return problems
    return verdict(problems_in_runs(t, check), "every snapshot deleted at commit, none made without rollback")


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
            writes = [step.line for step, (kind, what, detail) in zip(run.script, map(classify, run.script))
                      if (kind, what) == ("change", "settings") and detail["values"] == [name]]
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
    product's key, AppSearch reads it back): in every first install and upgrade the task is
    registered and started once, after the settings are written, exactly when the choice
    (given, else remembered, else the default 1) is 1; a choice of 0 registers and starts
    nothing. (A repair's choice is maintenance_only_puts_back's to judge.)"""
    def check(run):
        if run.refused_by or run.kind not in ("install", "upgrade"):
            return []
        given = run.given.get("STARTUPTASK") or run.machine.get("StartupTask") or "1"
        steps = [classify(step) for step in run.script]
        created = [i for i, (kind, what, detail) in enumerate(steps)
                   if (kind, what) == ("change", "task") and detail["op"] == "create"]
        started = [i for i, (kind, _, _) in enumerate(steps) if kind == "start"]
        writes = [i for i, (kind, _, _) in enumerate(steps) if kind == "change"]
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


RULES = (rollback_restores_what_was_there, task_is_its_own, only_programs_every_windows_allows,
         tools_of_the_package_width, public_properties_secure,
         older_product_removed_inside_the_transaction, never_restarts, ui_sequence_decides_nothing,
         folder_cannot_be_moved, task_definition_for_each_width, maintenance_only_puts_back,
         refused_while_rollback_disabled, no_snapshot_outlives_its_run,
         settings_written_only_with_their_property, no_impersonation_bit_outside_the_script,
         no_hash_for_a_versioned_file, programs_and_features, startup_task_chosen_once) + \
    script_rules.RULES + table_rules.RULES


def check(package):
    """[(rule's name, its documented statement, holds, what was found)] for the package.
    Raises LandedPackageMissing where a shipped version's package cannot be built,
    without which no upgrade can be walked."""
    tables = Tables(package)
    for landed in older_versions(tables):
        older_tables(tables, landed)
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
    except LandedPackageMissing as error:
        print("package_rules: %s cannot be checked: %s" % (argv[0], error))
        return 2
    for name, statement, ok, found in results:
        print("%s  %s: %s\n        %s" % ("ok  " if ok else "FAIL", name, statement, found))
    broken = [name for name, _, ok, _ in results if not ok]
    print("%s: %s" % (argv[0], "every rule holds" if not broken else
                      "%d rule(s) broken: %s" % (len(broken), ", ".join(broken))))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
