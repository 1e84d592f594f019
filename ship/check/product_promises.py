"""What this package promises the devices it installs on and the people
who deploy it: a task of its own, started a minute after every kind of
power-on; settings written only when given, and put back by every rollback;
maintenance that only puts back; no restart, no moved folder, no
advertising, one behaviour at every UI level; nothing a locked-down device
refuses; every version that has shipped upgraded in place. Another package
could promise otherwise and still be sound. Each takes the tables
(msi_tables.Tables) and answers (holds, what was found); its docstring is
what the package check prints beside it.
"""

import re

from ship import identity
from ship.check import msi_conditions
from ship.check.install_walks import (KINDS, SETTINGS_KEY, classify, older_versions, problems_in_runs, runs,
                                      upgrade_code, verdict, walk, windows)
from ship.check.task_definitions import schema_problems, task_definition
from ship.msi_database import DISALLOW_ADVERTISE, FAVOR_ADVERTISE, NO_IMPERSONATE, ONLY_DETECT

# The task of the guide's manual route, and of any made by hand: never the
# package's.
MANUAL_TASK = "Vantrel"


# What the package may run: programs every supported Windows has, which an
# application control policy leaves to administrators and SYSTEM.
ALLOWED_PROGRAMS = ("schtasks.exe", "reg.exe", "cmd.exe")


SETTINGS = {"GpsPositionMode": "GPSPOSITIONMODE", "DisableVantrel": "DISABLEVANTREL"}


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


def every_landed_version_found(t):
    """An upgrade over each version that has shipped (identity.py) finds it to remove
    it: FindRelatedProducts sets the property of an Upgrade row that does more than detect,
    by the product's own upgrade code and a version range that holds the older version, and
    no row that only detects (a newer version) holds it (Upgrade table). The package carries
    that upgrade code, for later versions to find it."""
    def check(run):
        if run.older is None:
            return []
        removing = [row for row in run.found if not row["Attributes"] & ONLY_DETECT]
        newer = [row["ActionProperty"] for row in run.found if row["Attributes"] & ONLY_DETECT]
        version = run.older.version
        return (["%s is not found to be removed" % version] if not removing else []) + \
            (["%s is found as a newer version by %s" % (version, ", ".join(newer))] if newer else [])
    own = t.properties.get("UpgradeCode", "").strip("{}").upper()
    problems = ([] if own == upgrade_code(t) else ["the package's UpgradeCode is {%s}" % own]) + \
        problems_in_runs(t, check)
    return verdict(problems, "%s found by {%s}" % (
        ", ".join(v.version for v in older_versions(t)) or "no older version", upgrade_code(t)))


def every_feature_installed(t):
    """Feature table: a feature of Level 0 is disabled, and one whose level is above
    INSTALLLEVEL (1 unless the package sets it) is not installed by default: every feature
    has a level from 1 to INSTALLLEVEL, so that an install installs all the package carries."""
    limit = int(t.properties.get("INSTALLLEVEL") or 1)
    wrong = ["%s has Level %d" % (f["Feature"], f["Level"])
             for f in t.features if not 1 <= f["Level"] <= limit]
    return verdict(wrong if t.features else ["no feature"], "every feature at a level from 1 to %d" % limit)


def no_advertising(t):
    """An advertised feature is installed only when first used (Advertisement; msiexec /j, a
    user-published Group Policy assignment), and nothing uses this package's feature, so its
    task would never be registered: every feature carries msidbFeatureAttributesDisallowAdvertise
    (0x8), and none msidbFeatureAttributesFavorAdvertise (0x4) (Feature table)."""
    wrong = ["%s has Attributes %d" % (f["Feature"], f["Attributes"]) for f in t.features
             if not f["Attributes"] & DISALLOW_ADVERTISE or f["Attributes"] & FAVOR_ADVERTISE]
    return verdict(wrong, "no feature can be advertised")


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
            elif what == "task" and detail["name"] != identity.TASK:
                problems.append("%s names task %s" % (step.action, detail["name"]))
            elif what == "task" and detail["op"] == "create" and detail["definition"] != definition:
                problems.append("%s registers it from %s" % (step.action, detail["definition"]))
        return problems
    own = [] if identity.TASK != MANUAL_TASK else ["the package's task is named %s, as the manual "
                                                      "route's is" % MANUAL_TASK]
    return verdict(own + problems_in_runs(t, check), "only %s, only from %s" % (identity.TASK, definition))


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


RULES = (every_landed_version_found, every_feature_installed, no_advertising, task_is_its_own,
         only_programs_every_windows_allows, tools_of_the_package_width, never_restarts,
         ui_sequence_decides_nothing, folder_cannot_be_moved, task_definition_for_each_width,
         maintenance_only_puts_back, refused_while_rollback_disabled, no_snapshot_outlives_its_run,
         settings_written_only_with_their_property, programs_and_features, startup_task_chosen_once)
