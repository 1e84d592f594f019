"""The Windows Installer rules the package relies on, asserted from its own
tables (msiinfo export). Wine's msiexec is more forgiving than Windows in
exactly these places (it re-evaluates component conditions on every run,
and its RemoveExistingProducts is no part of the transaction), so a story
that passes under Wine does not show them: the tables do.

Each rule is a function of the package's tables that returns (holds, what
it found); its first docstring line names the documented rule it encodes.
"""

import re
import subprocess
import xml.etree.ElementTree as ET

# Custom-action type bits, as the CustomAction table's documentation gives them.
BASE = 0x3F
EXE_IN_PROPERTY = 50
SET_PROPERTY = 51
IN_SCRIPT = 0x400
ROLLBACK = 0x100
COMMIT = 0x200
NO_IMPERSONATE = 0x800

SETTINGS_KEY = r"HKLM\Software\Keldran\Settings"
SETTINGS = {"GpsPositionMode": "GPSPOSITIONMODE", "DisableVantrel": "DISABLEVANTREL"}
REMEMBERED = {"INSTALLDIR": "InstallDir", "STARTUPTASK": "StartupTask"}
# Properties Windows Installer itself defines and always passes to the
# installation it elevates; everything else public must be secure.
INSTALLER_OWN = {"REMOVE", "REINSTALL", "REINSTALLMODE", "ALLUSERS", "ARPNOMODIFY",
                 "ARPINSTALLLOCATION", "MSIRESTARTMANAGERCONTROL", "TARGETDIR"}
TASK_NAMESPACE = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"


def task_definition(data):
    """What the task definition sets, read the way Task Scheduler reads it."""
    root = ET.fromstring(data.decode("utf-16"))

    def find(path):
        return root.findtext("/".join(TASK_NAMESPACE + step for step in path.split("/")))
    return {
        "boot trigger": root.find(TASK_NAMESPACE + "Triggers/" + TASK_NAMESPACE + "BootTrigger") is not None,
        "user": find("Principals/Principal/UserId"),
        "run level": find("Principals/Principal/RunLevel"),
        "instances": find("Settings/MultipleInstancesPolicy"),
        "start on batteries": find("Settings/DisallowStartIfOnBatteries"),
        "stop on batteries": find("Settings/StopIfGoingOnBatteries"),
        "time limit": find("Settings/ExecutionTimeLimit"),
        "command": find("Actions/Exec/Command"),
    }


def msi_table(package, table):
    """The rows of a table of the package as dicts (msiinfo export)."""
    out = subprocess.run(["msiinfo", "export", str(package), table], check=True,
                         stdout=subprocess.PIPE).stdout.decode()
    lines = out.split("\r\n") if "\r\n" in out else out.splitlines()
    names = lines[0].split("\t")
    return [dict(zip(names, line.split("\t"))) for line in lines[3:] if line]


class Tables:
    """The tables the rules read, loaded once."""

    def __init__(self, package, task_definition):
        self.actions = {r["Action"]: r for r in msi_table(package, "CustomAction")}
        for row in self.actions.values():
            row["Type"] = int(row["Type"])
        self.execute = {r["Action"]: r for r in msi_table(package, "InstallExecuteSequence")}
        self.ui = {r["Action"]: r for r in msi_table(package, "InstallUISequence")}
        for sequence in (self.execute, self.ui):
            for row in sequence.values():
                row["Sequence"] = int(row["Sequence"])
        self.properties = {r["Property"]: r["Value"] for r in msi_table(package, "Property")}
        self.registry = msi_table(package, "Registry")
        self.components = {r["Component"]: r for r in msi_table(package, "Component")}
        self.locators = {r["Signature_"]: r for r in msi_table(package, "RegLocator")}
        self.searches = {r["Property"]: r["Signature_"] for r in msi_table(package, "AppSearch")}
        self.launch = [r["Condition"] for r in msi_table(package, "LaunchCondition")]
        self.files = msi_table(package, "File")
        self.hashes = {r["File_"] for r in msi_table(package, "MsiFileHash")}
        self.task_definition = task_definition

    def scheduled(self, name):
        row = self.execute.get(name)
        return row["Sequence"] if row else None

    def deferred(self):
        return {name: row for name, row in self.actions.items()
                if row["Type"] & IN_SCRIPT and name in self.execute}


def is_rollback(bits):
    return bits & IN_SCRIPT and bits & ROLLBACK and not bits & COMMIT


# What undoes each change the package makes in the script; RunTask changes
# nothing the package owns (it starts the task once).
UNDONE_BY = {
    "CreateTask": ("UndoCreateTask",),
    "PointTaskAtExe": ("UndoCreateTask",),
    "DeleteTask": ("RestoreTask", "RestoreTaskTarget"),
    "WriteGpsPositionMode": ("UndoNewGpsPositionMode", "RestoreGpsPositionModeNumber",
                             "RestoreGpsPositionModeText"),
    "WriteDisableVantrel": ("UndoNewDisableVantrel", "RestoreDisableVantrelNumber",
                            "RestoreDisableVantrelText"),
}
CHANGES_NOTHING = ("RunTask",)


def rollback_for_every_change(t):
    """Every deferred change has a true rollback action (type bits 0x400 in-script
    and 0x100 rollback, CustomAction table), scheduled before it ("a rollback
    action must precede the action it undoes", Rollback Installation), run
    whenever the change runs (its condition is the change's, or narrows it
    only by the state to restore), and not impersonated (0x800) like the change."""
    problems = []
    changes = {name for name, row in t.deferred().items() if not is_rollback(row["Type"])}
    for name in sorted(changes - set(UNDONE_BY) - set(CHANGES_NOTHING)):
        problems.append("%s changes the machine with no rollback known here" % name)
    for name, undos in sorted(UNDONE_BY.items()):
        change = t.actions.get(name)
        if change is None or name not in t.execute:
            problems.append("%s is not in the package" % name)
            continue
        condition = t.execute[name]["Condition"]
        for undo in undos:
            row, scheduled = t.actions.get(undo), t.execute.get(undo)
            if row is None or scheduled is None:
                problems.append("%s has no rollback %s" % (name, undo))
                continue
            if not is_rollback(row["Type"]) or not row["Type"] & NO_IMPERSONATE:
                problems.append("%s has type %d, not a rollback (0x500) without impersonation"
                                % (undo, row["Type"]))
            if scheduled["Sequence"] >= t.execute[name]["Sequence"]:
                problems.append("%s (%d) comes after %s (%d)" % (
                    undo, scheduled["Sequence"], name, t.execute[name]["Sequence"]))
            narrowing = scheduled["Condition"]
            if narrowing != condition and not narrowing.startswith(condition + " AND "):
                problems.append("%s runs under %r, not under %s's %r" % (
                    undo, narrowing, name, condition))
        if not (change["Type"] & IN_SCRIPT and change["Type"] & NO_IMPERSONATE):
            problems.append("%s has type %d: not deferred without impersonation"
                            % (name, change["Type"]))
    return not problems, "; ".join(problems) or "%d changes, each with its rollback" % len(UNDONE_BY)


def no_impersonation_bit_outside_the_script(t):
    """ICE68: the no-impersonate bit (0x800) means something only for an action in
    the script; an immediate action (a property set, type 51) must not carry it."""
    wrong = ["%s (%d)" % (name, row["Type"]) for name, row in sorted(t.actions.items())
             if row["Type"] & NO_IMPERSONATE and not row["Type"] & IN_SCRIPT]
    return not wrong, ("immediate actions with 0x800: " + ", ".join(wrong)) if wrong else \
        "no immediate action carries 0x800"


def older_product_removed_inside_the_transaction(t):
    """RemoveExistingProducts between InstallInitialize and the first action that
    changes the machine: the removal is then part of the install's script and
    rolled back with it (RemoveExistingProducts action; WiX MajorUpgrade
    Schedule="afterInstallInitialize"); after InstallValidate "if the
    installation of the upgrade product fails, the machine will have neither version"."""
    remove, start = t.scheduled("RemoveExistingProducts"), t.scheduled("InstallInitialize")
    changing = [name for name in ("ProcessComponents", "RemoveRegistryValues", "RemoveFiles",
                                  "InstallFiles", "WriteRegistryValues")
                if t.scheduled(name) is not None] + list(t.deferred())
    first = min(changing, key=t.scheduled)
    ok = remove is not None and start is not None and start < remove < t.scheduled(first)
    return ok, "RemoveExistingProducts %s, InstallInitialize %s, first change %s %s" % (
        remove, start, first, t.scheduled(first))


def settings_written_only_with_their_property(t):
    """A non-transitive component's condition is evaluated only at its first install,
    and a transitive one whose condition turns false is removed at a repair
    (Using Transitive Components): so no Registry row writes a setting, and each
    write is a deferred action that runs only when its property is given."""
    problems = ["Registry row %s writes %s" % (r["Registry"], r["Name"]) for r in t.registry
                if r["Key"].strip("\\").lower() == SETTINGS_KEY[5:].lower()]
    for name, prop in SETTINGS.items():
        writes = [a for a, row in t.deferred().items()
                  if not is_rollback(row["Type"]) and "/v %s " % name in row["Target"]
                  and SETTINGS_KEY in row["Target"]]
        if len(writes) != 1:
            problems.append("%s is written by %s" % (name, writes or "no action"))
            continue
        condition = t.execute[writes[0]]["Condition"]
        target = t.actions[writes[0]]["Target"]
        if not condition.startswith(prop + " AND ") or "/t REG_DWORD /d [%s] " % prop not in target:
            problems.append("%s runs under %r: %s" % (writes[0], condition, target))
    return not problems, "; ".join(problems) or "each setting: one REG_DWORD write, only with its property"


def public_properties_secure(t):
    """SecureCustomProperties lists every public property the package reads from
    outside: Windows passes no other public property from a client that is not
    elevated to the installation it elevates (SecureCustomProperties property).
    What the installation's own AppSearch sets is searched again there, and is
    never taken from a client."""
    texts = [row["Condition"] for seq in (t.execute, t.ui) for row in seq.values()]
    texts += [row["Target"] for row in t.actions.values()] + t.launch
    texts += [r["Value"] for r in t.registry] + list(t.searches)
    texts += [row["Source"] for row in t.actions.values() if row["Type"] & BASE == SET_PROPERTY]
    read = set()
    for text in texts:
        read.update(re.findall(r"\b[A-Z][A-Z0-9_]*[A-Z0-9_]\b", re.sub(r'"[^"]*"', "", text)))
    read -= {"AND", "OR", "NOT", "XOR", "EQV", "IMP", "ALL", "REG_DWORD", "REG_SZ", "HKLM"}
    secure = set(t.properties.get("SecureCustomProperties", "").split(";"))
    searched = set(t.searches) if "AppSearch" in t.execute else set()
    missing = sorted(read - secure - INSTALLER_OWN - searched)
    passed = sorted(secure & searched)
    problems = (["not secure: " + ", ".join(missing)] if missing else []) + \
        (["searched, yet taken from a client: " + ", ".join(passed)] if passed else [])
    return not problems, "; ".join(problems) or \
        "secure: " + ", ".join(sorted(read - INSTALLER_OWN - searched))


def folder_outside_program_files_refused(t):
    """A folder that the SYSTEM task runs from must be writable only by administrators:
    a launch condition refuses INSTALLDIR outside Program Files (whose subfolders
    inherit that) or climbing out of it with "..", before anything changes."""
    found = [c for c in t.launch if "INSTALLDIR" in c]
    ok = any(re.search(r"INSTALLDIR ~<< ProgramFiles(64)?Folder\b", c) and
             'NOT INSTALLDIR >< ".."' in c and c.startswith("NOT INSTALLDIR OR ") for c in found)
    return ok, "launch conditions on INSTALLDIR: %s" % (found or "none")


def choices_remembered(t):
    """INSTALLDIR and STARTUPTASK are remembered: written under the product's key by a
    component without a condition, read back by AppSearch, and used when the command
    line does not give them, before LaunchConditions and costing, in both sequences."""
    problems = []
    for prop, name in REMEMBERED.items():
        rows = [r for r in t.registry if r["Name"] == name and r["Value"] == "[%s]" % prop]
        if len(rows) != 1 or t.components[rows[0]["Component_"]]["Condition"]:
            problems.append("%s is not written unconditionally: %s" % (prop, rows))
            continue
        searched = [p for p, sig in t.searches.items()
                    if t.locators.get(sig, {}).get("Name") == name and
                    t.locators[sig]["Key"].strip("\\") == rows[0]["Key"].strip("\\")]
        use = [a for a, row in t.actions.items() if row["Type"] & BASE == SET_PROPERTY and
               row["Source"] == prop and searched and row["Target"] == "[%s]" % searched[0]]
        if not searched or not use:
            problems.append("%s is not read back (search %s, use %s)" % (prop, searched, use))
            continue
        for label, seq in (("execute", t.execute), ("UI", t.ui)):
            row = seq.get(use[0])
            if not (row and row["Condition"].startswith("NOT %s AND" % prop) and
                    seq["AppSearch"]["Sequence"] < row["Sequence"] < seq["LaunchConditions"]["Sequence"]):
                problems.append("%s: %s not between AppSearch and LaunchConditions in the %s "
                                "sequence" % (prop, use[0], label))
    return not problems, "; ".join(problems) or "both remembered, in both sequences"


def no_hash_for_a_versioned_file(t):
    """ICE60: a file with a version has no MsiFileHash row (Windows Installer
    compares versioned files by version)."""
    hashed = sorted(r["File"] for r in t.files if r["Version"] and r["File"] in t.hashes)
    return not hashed, ("hashed versioned files: %s" % hashed) if hashed else "none hashed"


def programs_and_features(t):
    """ARPNOMODIFY=1 (no "Change" that only starts a maintenance run) and
    ARPINSTALLLOCATION set to the folder after costing (inventory and detection
    rules read it; Windows Installer sets it only when the package does)."""
    setter = [a for a, row in t.actions.items() if row["Source"] == "ARPINSTALLLOCATION"
              and row["Target"] == "[INSTALLDIR]"]
    ok = (t.properties.get("ARPNOMODIFY") == "1" and len(setter) == 1 and
          t.scheduled(setter[0]) is not None and
          t.scheduled("CostFinalize") < t.scheduled(setter[0]) < t.scheduled("InstallValidate"))
    return ok, "ARPNOMODIFY=%s, ARPINSTALLLOCATION set by %s" % (
        t.properties.get("ARPNOMODIFY"), setter or "nothing")


def first_run_after_install(t):
    """The definition's one trigger is at boot (a power-on after Fast Startup fires
    none), and the install itself starts the task once (schtasks /run returns at
    once), after the settings are written, in the script without impersonation."""
    root = ET.fromstring(t.task_definition.decode("utf-16"))
    triggers = root.find(TASK_NAMESPACE + "Triggers")
    kinds = [child.tag.replace(TASK_NAMESPACE, "") for child in triggers] if triggers is not None else []
    runs = [a for a, row in t.deferred().items() if row["Target"] == "/run /tn Vantrel"]
    writes = [t.scheduled(a) for a, row in t.deferred().items()
              if SETTINGS_KEY in row["Target"] or "/create" in row["Target"]]
    ok = (kinds == ["BootTrigger"] and len(runs) == 1 and
          t.actions[runs[0]]["Type"] & NO_IMPERSONATE and
          all(w < t.scheduled(runs[0]) for w in writes) and
          'STARTUPTASK="1"' in t.execute[runs[0]]["Condition"])
    return ok, "triggers %s; run by %s" % (kinds, runs or "nothing")


RULES = (rollback_for_every_change, no_impersonation_bit_outside_the_script,
         older_product_removed_inside_the_transaction, settings_written_only_with_their_property,
         public_properties_secure, folder_outside_program_files_refused, choices_remembered,
         no_hash_for_a_versioned_file, programs_and_features, first_run_after_install)


def check(package, task_definition):
    """[(rule's documented statement, holds, what was found)] for the package."""
    tables = Tables(package, task_definition)
    results = []
    for rule in RULES:
        try:
            ok, found = rule(tables)
        except (KeyError, TypeError, ValueError) as error:
            ok, found = False, "could not be read: %r" % error
        results.append((" ".join(rule.__doc__.split()), ok, found))
    return results
