"""A package's execute sequence walked as Windows Installer walks it, for
the rules (product_promises.py, installer_duties.py), over the tables
msi_tables.py loads; and how a rule answers.

A walk starts from a kind of run (a first install, an upgrade over a
version that has shipped, a repair, an uninstall), the properties a
command line gives and the machine (its Windows version and width, the UI
level, whether the user is an administrator, the STARTUPTASK choice an
earlier version remembered). It evaluates each action's condition in
sequence order, and does what the action does to the walk:
FindRelatedProducts finds the older version through the Upgrade table by
the product's own upgrade code, AppSearch reads the remembered registry
value, LaunchConditions or an error action may refuse the run,
CostFinalize resolves the folders (a property named after a folder moves
it), set-property actions set, and deferred actions enter the script with
their command lines formatted. RemoveExistingProducts walks the older
version's own removal, from its own package (built from its commit), on
the same machine: what its script holds is the older version's, and no
new version can change it. What the scripts then hold is what the rules
judge.

The UI sequence is not walked: ui_sequence_decides_nothing holds it to
costing alone, so that every UI level runs this one sequence; the UI level
still varies, for any condition that reads it.
"""

import functools
import itertools
import re
import tempfile
from collections import namedtuple
from pathlib import Path

from ship import identity
from ship.check.landed_packages import LANDED_PACKAGES, build_package
from ship.check.msi_conditions import evaluate
from ship.check.msi_tables import Tables, long_name, version_key
from ship.msi_database import (BASE_TYPE, COMMIT, ERROR_MESSAGE, EXE_IN_PROPERTY, IN_SCRIPT, ONLY_DETECT,
                               ROLLBACK, SET_PROPERTY, VERSION_MAX_INCLUSIVE, VERSION_MIN_INCLUSIVE)

SETTINGS_KEY = r"HKLM\Software\Keldran\Settings"
PRODUCT_KEY = r"Software\Keldran\Vantrel"
# The folders Windows Installer sets before any action, as placeholders.
SYSTEM_FOLDERS = ("ProgramFilesFolder", "ProgramFiles64Folder", "SystemFolder", "System64Folder",
                  "WindowsFolder", "TempFolder", "CommonAppDataFolder")
# Standard actions after InstallInitialize that change the machine.
CHANGING = {"ProcessComponents", "UnpublishFeatures", "RemoveRegistryValues", "RemoveFiles",
            "RemoveFolders", "CreateFolders", "InstallFiles", "WriteRegistryValues", "RegisterUser",
            "RegisterProduct", "PublishFeatures", "PublishProduct"}
KINDS = ("install", "upgrade", "repair", "uninstall")
# Every Windows the package supports, by the VersionNT it reports (VersionNT64
# too, on 64-bit Windows). Windows 10 and 11 are 1000 where the installer
# reports their own version and 603 where it reports them as 8.1: both are
# walked, so that no condition tells them apart unseen.
WINDOWS = {"601": "Windows 7", "603": "Windows 8.1 (or 10 and 11 as 8.1)", "1000": "Windows 10 and 11"}
# No UI (msiexec /qn), and the full UI a double-click gives.
UI_LEVELS = ("2", "5")


class Step(namedtuple("Step", "action type program arguments changes")):
    """An action in the script: a standard one (no arguments), or a deferred
    custom action with its program and formatted arguments."""
    __slots__ = ()

    @property
    def line(self):
        return None if self.arguments is None else (self.program + " " + self.arguments).strip()


def is_rollback(bits):
    return bool(bits and bits & IN_SCRIPT and bits & ROLLBACK and not bits & COMMIT)


def formatted(text, properties):
    """[Property] references replaced by their values, and [\\x] escapes by x
    (Formatted data type)."""
    return re.sub(r"\[\\(.)\]|\[([A-Za-z_][A-Za-z0-9_.]*)\]",
                  lambda m: m.group(1) or properties.get(m.group(2), ""), text or "")


def plain_code(guid):
    return guid.strip("{}").upper()


class Run:
    def __init__(self, kind, given, machine, older=None):
        self.kind, self.given, self.machine, self.older = kind, given, machine, older
        self.properties, self.refused_by, self.script, self.exe_folder, self.found = {}, None, [], None, []
        # The older version's removal (an upgrade's), and the files the
        # RemoveFile rows take away.
        self.older_removal, self.removed_files = None, []

    def described(self):
        given = " ".join("%s=%s" % item for item in sorted(self.given.items()) if item[1])
        machine = self.machine
        return "%s%s%s, %s-bit %s, UILevel %s%s" % (
            self.kind, " over " + self.older.version if self.older else "", " " + given if given else "",
            "64" if machine["VersionNT64"] else "32", WINDOWS[machine["VersionNT"]], machine["UILevel"],
            ", StartupTask %s remembered" % machine["StartupTask"] if machine["StartupTask"] else "")


def upgrade_code(t):
    """The code every version of the product was installed with; the x64
    vehicle's is derived from it."""
    return identity.upgrade_code("x64" if t.x64 else "x86")


def older_versions(t):
    """The versions that have shipped before this package's."""
    version = version_key(t.properties.get("ProductVersion", "0"))
    return [landed for landed in identity.LANDED if version_key(landed.version) < version]


def windows(t):
    """{VersionNT, VersionNT64} of every Windows the package installs on."""
    return [{"VersionNT": nt, "VersionNT64": nt if wide else ""}
            for wide in ((True,) if t.x64 else (False, True)) for nt in WINDOWS]


def machines(t, remembered):
    """Each machine that can make a walk differ: two whose properties differ only
    where no condition or formatted text of the package reads would walk alike."""
    read, seen, found = t.read() | {"StartupTask"}, set(), []
    for system, ui, choice in itertools.product(windows(t), UI_LEVELS, remembered):
        machine = dict(system, UILevel=ui, StartupTask=choice)
        key = tuple(value for name, value in sorted(machine.items()) if name in read)
        if key not in seen:
            seen.add(key)
            found.append(machine)
    return found


@functools.lru_cache(maxsize=1)
def runs(t):
    """Every walk: each kind of run, under every combination of what decides
    (kept for the one package the rules are judging)."""
    found = []
    for kind in KINDS:
        for older, gps, flag, task, reboot, moved, machine in itertools.product(
                older_versions(t) if kind == "upgrade" else (None,), ("", "6"), ("", "1"),
                ("", "0", "1"), ("", "Force"), ("", "C:\\Elsewhere\\"),
                machines(t, ("",) if kind == "install" else ("", "0", "1"))):
            given = {"GPSPOSITIONMODE": gps, "DISABLEVANTREL": flag, "STARTUPTASK": task,
                     "REBOOT": reboot, "INSTALLDIR": moved}
            found.append(walk(t, kind, given, machine, older))
    return found


def verdict(problems, fine):
    """A rule's answer: it holds when nothing was found wrong."""
    return not problems, "; ".join(problems) or fine


def problems_in_runs(t, check, limit=4):
    """check(run) -> [problem]; the first few, each with the run it was seen in."""
    found = []
    for run in runs(t):
        found += ["%s (%s)" % (problem, run.described()) for problem in check(run)]
        if len(found) >= limit:
            break
    return found


class LandedPackageMissing(Exception):
    pass


@functools.lru_cache(maxsize=None)
def landed_tables(landed, arch, exe_bytes):
    """The tables of a landed version's own package for this package's width,
    built from its commit around this package's exe (which gives only the
    version number)."""
    out = LANDED_PACKAGES / ("%s-%s" % (landed.version, arch))
    with tempfile.TemporaryDirectory() as work:
        exe = Path(work) / "vantrel.exe"
        exe.write_bytes(exe_bytes)
        package = build_package(landed, exe, arch, out)
    if package is None:
        raise LandedPackageMissing("this clone lacks commit %s, %s's sources: clone the whole history"
                                   % (landed.commit, landed.version))
    return Tables(package)


def older_tables(t, landed):
    return landed_tables(landed, "x64" if t.x64 else "x86", t.cabinet()[t.exe()["File"]])


@functools.lru_cache(maxsize=None)
def older_removal(t, landed, machine_items):
    """The older version's own removal, as RemoveExistingProducts runs it on
    this machine: its package's uninstall walk."""
    return walk(older_tables(t, landed), "uninstall", {}, dict(machine_items))


@functools.lru_cache(maxsize=1)
def execute_sequence(t):
    """[(action, condition)] in sequence order."""
    return [(action, t.execute[action]["Condition"])
            for action in sorted(t.execute, key=lambda a: t.execute[a]["Sequence"])]


def walk(t, kind, given, machine, older=None):
    run = Run(kind, given, machine, older)
    props = dict(t.properties)
    props.update({name: "<%s>\\" % name for name in SYSTEM_FOLDERS})
    props.update({name: machine[name] for name in ("VersionNT", "VersionNT64", "UILevel")})
    # An installation elevated, as a management tool's or an administrator's
    # is: what an older version's removal (1.0.1's gate) reads.
    props["Privileged"] = props["AdminUser"] = "1"
    if kind in ("repair", "uninstall"):
        props["Installed"] = "2026/01/01 00:00:00"
        props["REINSTALL" if kind == "repair" else "REMOVE"] = "ALL"
    props.update({name: value for name, value in given.items() if value})
    registry = {(PRODUCT_KEY.lower(), "startuptask"): machine["StartupTask"]}
    started = False
    for action, condition in execute_sequence(t):
        if not evaluate(condition, props):
            continue
        started = started or action == "InstallInitialize"
        custom = t.actions.get(action)
        if action == "FindRelatedProducts" and older:
            run.found = related(t, older.version)
            for row in run.found:
                props[row["ActionProperty"]] = "{OLDER-PRODUCT}"
        elif action == "AppSearch":
            # The locator's root, view and type are held to the Registry row by
            # remembered_choice_read_where_written; here its key and name decide.
            for prop, signature in t.searches.items():
                locator = t.locators.get(signature, {})
                value = registry.get((locator.get("Key", "").strip("\\").lower(),
                                      locator.get("Name", "").lower()))
                if value:
                    props[prop] = value
        elif action == "LaunchConditions":
            refusal = next((formatted(text, props) for condition, text in t.launch
                            if not evaluate(condition, props)), None)
            if refusal:
                run.refused_by = refusal
                break
        elif action == "CostFinalize":
            for directory in t.directories:
                props[directory] = folder(t, directory, props)
        elif action == "RemoveExistingProducts":
            if any(props.get(row["ActionProperty"]) for row in t.upgrades
                   if not row["Attributes"] & ONLY_DETECT):
                run.script.append(Step(action, None, None, None, True))
                if older:
                    run.older_removal = older_removal(t, older, tuple(sorted(machine.items())))
        elif custom is not None:
            bits, base = custom["Type"], custom["Type"] & BASE_TYPE
            if base == ERROR_MESSAGE:
                run.refused_by = formatted(custom["Target"], props)
                break
            if not bits & IN_SCRIPT:
                if base == SET_PROPERTY:
                    props[custom["Source"]] = formatted(custom["Target"], props)
                continue
            program = props.get(custom["Source"], "") if base == EXE_IN_PROPERTY else ""
            run.script.append(Step(action, bits, program, formatted(custom["Target"], props),
                                   not is_rollback(bits)))
        elif started:
            run.script.append(Step(action, None, None, None, action in CHANGING))
    run.properties = props
    run.exe_folder = props.get(t.components[t.exe()["Component_"]]["Directory_"])
    if any(step.action == "RemoveFiles" for step in run.script):
        mode = 2 if kind == "uninstall" else 1
        run.removed_files = [("file", (props[row["DirProperty"]] + long_name(row["FileName"])).lower())
                             for row in t.remove_files if row["FileName"] and props.get(row["DirProperty"])
                             and int(row["InstallMode"]) & mode]
    return run


def related(t, version):
    """The Upgrade rows FindRelatedProducts sets for an installed product of this
    version, which was installed with the product's upgrade code."""
    found = []
    for row in t.upgrades:
        if plain_code(row["UpgradeCode"]) != plain_code(upgrade_code(t)):
            continue
        low, high, bits = row["VersionMin"], row["VersionMax"], row["Attributes"]
        above = not low or (version_key(version) >= version_key(low) if bits & VERSION_MIN_INCLUSIVE
                            else version_key(version) > version_key(low))
        below = not high or (version_key(version) <= version_key(high) if bits & VERSION_MAX_INCLUSIVE
                             else version_key(version) < version_key(high))
        if above and below:
            found.append(row)
    return found


def folder(t, directory, props):
    """A directory's path as CostFinalize resolves it: a property of its name wins."""
    if props.get(directory):
        return props[directory]
    row = t.directories[directory]
    if not row["Directory_Parent"]:
        return "<%s>\\" % directory
    parent = folder(t, row["Directory_Parent"], props)
    name = long_name(row["DefaultDir"])
    return parent if name == "." else parent + name + "\\"


TASK_COMMAND = re.compile(r'schtasks\.exe"? /(create|delete|run|change|query) /tn "?([^" ]+)"?'
                          r'(?: /xml "?(.+?)"?)?(?: /f)?$')


@functools.lru_cache(maxsize=None)
def classify(step):
    """What a deferred step does, read from its command line:
    ("save", "settings", file), ("restore", "settings", {file, values}),
    ("forget", None, [files]) for a commit that deletes files,
    ("change", "settings", {values}), ("change", "task", task) and
    ("undo", "task", task) for a rollback, where task is {op, name,
    definition}, ("start", "task", task), ("rollback", None, None) for a
    rollback that puts back nothing known, ("unknown", None, None), or
    (None, None, None) for a standard action. Remembered: one step recurs in
    thousands of walks, and no caller changes what it is given back."""
    line = step.line
    if line is None:
        return None, None, None
    key = re.escape(SETTINGS_KEY)
    saved = re.search(r'reg\.exe"? export %s "([^"]+)"' % key, line)
    if saved:
        return "save", "settings", saved.group(1)
    if step.type & COMMIT:
        commands = re.split(r" & ", line.split(" /c ", 1)[-1].strip('"'))
        if all(re.fullmatch(r'del "[^"]+"(?: 2>nul)?', command) for command in commands):
            return "forget", None, [re.search(r'"([^"]+)"', command).group(1) for command in commands]
        return "unknown", None, None
    task = TASK_COMMAND.search(line)
    if task:
        detail = {"op": task.group(1), "name": task.group(2), "definition": task.group(3)}
        if is_rollback(step.type):
            return ("undo", "task", detail) if detail["op"] in ("create", "delete") else ("rollback", None, None)
        if detail["op"] == "run":
            return "start", "task", detail
        return ("change", "task", detail) if detail["op"] != "query" else ("unknown", None, None)
    if is_rollback(step.type):
        back = re.search(r'if exist "([^"]+)" \("[^"]*reg\.exe" import "\1" && del "\1"\)', line)
        if back:
            deleted = re.findall(r'reg\.exe"? delete %s /v (\w+) /f' % key, line.split(" if exist ")[0])
            return "restore", "settings", {"file": back.group(1), "values": deleted}
        return "rollback", None, None
    if re.search(r'reg\.exe"? (add|delete|import) %s' % key, line):
        return "change", "settings", {"values": re.findall(r"/v (\w+)", line)}
    return "unknown", None, None


def touched(run):
    """The tasks and the files (but programs) that a run's script, or an older
    version's removal, names: {("task", name) or ("file", path)}, lower-cased,
    from its command lines and its RemoveFile rows."""
    found = set()
    for step in run.script:
        line = step.line or ""
        found |= {("task", name.lower()) for name in re.findall(r'/tn "?([^" ]+)', line)}
        found |= {("task", name.lower()) for name in re.findall(r"GetTask\('([^']+)'\)", line)}
        found |= {("file", path.lower()) for path in re.findall(r'"([^"]*\\[^"\\]+\.\w+)"', line)
                  if not path.lower().endswith(".exe")}
    return found | set(run.removed_files)
