"""A package's tables, and its execute sequence walked as Windows Installer
walks it, for the rules in package_rules.py.

A walk starts from a kind of run (a first install, an upgrade over an
older version, a repair, an uninstall), the properties a command line
gives and the machine (an administrator or not, the Windows width, the
STARTUPTASK choice an earlier version remembered). It evaluates each
action's condition in sequence order, and does what the action does to
the walk: FindRelatedProducts finds the older version through the Upgrade
table, AppSearch reads the remembered registry value, LaunchConditions may
refuse the run, CostFinalize resolves the folders (a property named after a
folder moves it), set-property actions set, and deferred actions enter the
script with their command lines formatted. What the script then holds is
what the rules judge.
"""

import itertools
import re
import subprocess
import tempfile
from collections import namedtuple
from pathlib import Path

from ship.msi_conditions import evaluate

IN_SCRIPT = 0x400
ROLLBACK = 0x100
COMMIT = 0x200
NO_IMPERSONATE = 0x800
EXE_IN_PROPERTY = 50
SET_PROPERTY = 51
ONLY_DETECT = 0x2
VERSION_MIN_INCLUSIVE = 0x100
VERSION_MAX_INCLUSIVE = 0x200
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
OLDER_VERSION = "0.9.0"

Step = namedtuple("Step", "action type line changes")


def is_rollback(bits):
    return bool(bits and bits & IN_SCRIPT and bits & ROLLBACK and not bits & COMMIT)


def msi_table(package, table):
    """The rows of a table of the package as dicts (msiinfo export); no rows
    when the package has no such table."""
    done = subprocess.run(["msiinfo", "export", str(package), table],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        return []
    out = done.stdout.decode()
    lines = out.split("\r\n") if "\r\n" in out else out.splitlines()
    names = lines[0].split("\t")
    return [dict(zip(names, line.split("\t"))) for line in lines[3:] if line]


def cabinet_files(package):
    """{file key: bytes} of every file in the package's embedded cabinets."""
    files = {}
    with tempfile.TemporaryDirectory() as work:
        for stream in subprocess.run(["msiinfo", "streams", str(package)], check=True,
                                     stdout=subprocess.PIPE).stdout.decode().split():
            if not stream.endswith(".cab"):
                continue
            cab = Path(work) / stream
            cab.write_bytes(subprocess.run(["msiinfo", "extract", str(package), stream], check=True,
                                           stdout=subprocess.PIPE).stdout)
            subprocess.run(["gcab", "-x", "-C", work, str(cab)], check=True, stdout=subprocess.DEVNULL)
        for path in Path(work).iterdir():
            if not path.name.endswith(".cab"):
                files[path.name] = path.read_bytes()
    return files


def long_name(default_dir):
    """A Directory or File name's long form: "short|long", "target:source"."""
    return default_dir.split(":")[0].split("|")[-1]


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def formatted(text, properties):
    """[Property] references replaced by their values (Formatted data type)."""
    return re.sub(r"\[([A-Za-z_][A-Za-z0-9_.]*)\]", lambda m: properties.get(m.group(1), ""), text or "")


class Run:
    def __init__(self, kind, given, machine):
        self.kind, self.given, self.machine = kind, given, machine
        self.properties, self.refused_by, self.script, self.exe_folder = {}, None, [], None

    def described(self):
        given = " ".join("%s=%s" % item for item in sorted(self.given.items()) if item[1])
        return "%s%s, %s, %s Windows%s" % (
            self.kind, " " + given if given else "",
            "an administrator" if self.machine["AdminUser"] else "a standard user",
            "64-bit" if self.machine["VersionNT64"] else "32-bit",
            ", StartupTask %s remembered" % self.machine["StartupTask"] if self.machine["StartupTask"] else "")


class Tables:
    """The tables the rules read, loaded once, and the walks made from them."""

    def __init__(self, package):
        table = lambda name: msi_table(package, name)
        self.actions = {r["Action"]: r for r in table("CustomAction")}
        for row in self.actions.values():
            row["Type"] = int(row["Type"])
        self.execute = {r["Action"]: r for r in table("InstallExecuteSequence")}
        self.ui = {r["Action"]: r for r in table("InstallUISequence")}
        for sequence in (self.execute, self.ui):
            for row in sequence.values():
                row["Sequence"] = int(row["Sequence"])
        self.properties = {r["Property"]: r["Value"] for r in table("Property")}
        self.registry = table("Registry")
        self.components = {r["Component"]: r for r in table("Component")}
        self.locators = {r["Signature_"]: r for r in table("RegLocator")}
        self.searches = {r["Property"]: r["Signature_"] for r in table("AppSearch")}
        self.launch = [(r["Condition"], r["Description"]) for r in table("LaunchCondition")]
        self.files = table("File")
        self.hashes = {r["File_"] for r in table("MsiFileHash")}
        self.upgrades = table("Upgrade")
        for row in self.upgrades:
            row["Attributes"] = int(row["Attributes"] or 0)
        self.directories = {r["Directory"]: r for r in table("Directory")}
        summary = subprocess.run(["msiinfo", "suminfo", str(package)], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.x64 = "Template: x64;" in summary
        self.system_folder = "System64Folder" if self.x64 else "SystemFolder"
        self.program_files = "ProgramFiles64Folder" if self.x64 else "ProgramFilesFolder"
        self.expected_folder = "<%s>\\Keldran\\Vantrel\\" % self.program_files
        self.package = package
        self._runs = None
        self._cabinet = None

    # -- what the package holds ------------------------------------------------

    def exe_directories(self):
        """The directories from the exe's folder up to the root."""
        exe = next(f for f in self.files if long_name(f["FileName"]).lower() == "vantrel.exe")
        chain, directory = [], self.components[exe["Component_"]]["Directory_"]
        while directory:
            chain.append(directory)
            directory = self.directories.get(directory, {}).get("Directory_Parent")
        return chain

    def task_definitions(self):
        """[{file, condition, data}] for every task definition the package carries."""
        if self._cabinet is None:
            self._cabinet = cabinet_files(self.package)
        return [{"file": f["File"], "condition": self.components[f["Component_"]]["Condition"],
                 "data": self._cabinet[f["File"]]}
                for f in self.files if long_name(f["FileName"]).lower() == "vantrel-task.xml"]

    def widths(self):
        """VersionNT64 of each Windows width the package installs on."""
        return ("601",) if self.x64 else ("", "601")

    def expand_program_files(self, command, version_nt64):
        """A command with its Program Files variables as the task's account sees them,
        in the placeholders the walks use for the folders."""
        names = ({"%ProgramFiles%": "<ProgramFiles64Folder>", "%ProgramFiles(x86)%": "<ProgramFilesFolder>"}
                 if version_nt64 else {"%ProgramFiles%": "<ProgramFilesFolder>"})
        for variable, folder in names.items():
            command = command.replace(variable, folder)
        return command

    def conditions(self):
        return ([row["Condition"] for seq in (self.execute, self.ui) for row in seq.values()] +
                [condition for condition, _ in self.launch] +
                [row["Condition"] for row in self.components.values()])

    def formatted_texts(self):
        return ([row["Target"] for row in self.actions.values()] + [r["Value"] for r in self.registry] +
                [description for _, description in self.launch])

    # -- the walks ----------------------------------------------------------------

    def runs(self):
        """Every walk: each kind of run, under every combination of what decides."""
        if self._runs is None:
            self._runs = []
            for kind in KINDS:
                remembered = ("",) if kind == "install" else ("", "0", "1")
                for gps, flag, task, reboot, folder, admin, nt64, choice in itertools.product(
                        ("", "6"), ("", "1"), ("", "0", "1"), ("", "Force"), ("", "C:\\Elsewhere\\"),
                        ("", "1"), self.widths(), remembered):
                    given = {"GPSPOSITIONMODE": gps, "DISABLEVANTREL": flag, "STARTUPTASK": task,
                             "REBOOT": reboot, "INSTALLDIR": folder}
                    machine = {"AdminUser": admin, "VersionNT64": nt64, "StartupTask": choice}
                    self._runs.append(self.walk(kind, given, machine))
        return self._runs

    def walk(self, kind, given, machine):
        run = Run(kind, given, machine)
        props = dict(self.properties)
        props.update({folder: "<%s>\\" % folder for folder in SYSTEM_FOLDERS})
        props.update({"VersionNT": "601", "Privileged": "1", "VersionNT64": machine["VersionNT64"],
                      "AdminUser": machine["AdminUser"]})
        if kind in ("repair", "uninstall"):
            props["Installed"] = "2026/01/01 00:00:00"
            props["REINSTALL" if kind == "repair" else "REMOVE"] = "ALL"
        props.update({name: value for name, value in given.items() if value})
        registry = {(PRODUCT_KEY.lower(), "startuptask"): machine["StartupTask"]}
        started = False
        for action in sorted(self.execute, key=lambda a: self.execute[a]["Sequence"]):
            if not evaluate(self.execute[action]["Condition"], props):
                continue
            started = started or action == "InstallInitialize"
            custom = self.actions.get(action)
            if action == "FindRelatedProducts" and kind == "upgrade":
                for row in self.detected_by(OLDER_VERSION):
                    props[row["ActionProperty"]] = "{OLDER-PRODUCT}"
            elif action == "AppSearch":
                for prop, signature in self.searches.items():
                    locator = self.locators.get(signature, {})
                    value = registry.get((locator.get("Key", "").strip("\\").lower(),
                                          locator.get("Name", "").lower()))
                    if value:
                        props[prop] = value
            elif action == "LaunchConditions":
                refusal = next((formatted(text, props) for condition, text in self.launch
                                if not evaluate(condition, props)), None)
                if refusal:
                    run.refused_by = refusal
                    break
            elif action == "CostFinalize":
                for directory in self.directories:
                    props[directory] = self.folder(directory, props)
            elif action == "RemoveExistingProducts":
                if any(props.get(row["ActionProperty"]) for row in self.upgrades
                       if not row["Attributes"] & ONLY_DETECT):
                    run.script.append(Step(action, None, None, True))
            elif custom is not None:
                bits, base = custom["Type"], custom["Type"] & 0x3F
                if not bits & IN_SCRIPT:
                    if base == SET_PROPERTY:
                        props[custom["Source"]] = formatted(custom["Target"], props)
                    continue
                program = props.get(custom["Source"], "") if base == EXE_IN_PROPERTY else ""
                line = (program + " " + formatted(custom["Target"], props)).strip()
                run.script.append(Step(action, bits, line, not is_rollback(bits)))
            elif started:
                run.script.append(Step(action, None, None, action in CHANGING))
        run.properties = props
        exe = next(f for f in self.files if long_name(f["FileName"]).lower() == "vantrel.exe")
        run.exe_folder = props.get(self.components[exe["Component_"]]["Directory_"])
        return run

    def detected_by(self, version):
        """The Upgrade rows that find an installed product of this version and remove it."""
        found = []
        for row in self.upgrades:
            if row["Attributes"] & ONLY_DETECT or row["UpgradeCode"] != self.properties.get("UpgradeCode"):
                continue
            low, high, bits = row["VersionMin"], row["VersionMax"], row["Attributes"]
            above = not low or (version_key(version) >= version_key(low) if bits & VERSION_MIN_INCLUSIVE
                                else version_key(version) > version_key(low))
            below = not high or (version_key(version) <= version_key(high) if bits & VERSION_MAX_INCLUSIVE
                                 else version_key(version) < version_key(high))
            if above and below:
                found.append(row)
        return found

    def folder(self, directory, props):
        """A directory's path as CostFinalize resolves it: a property of its name wins."""
        if props.get(directory):
            return props[directory]
        row = self.directories[directory]
        if not row["Directory_Parent"]:
            return "<%s>\\" % directory
        parent = self.folder(row["Directory_Parent"], props)
        name = long_name(row["DefaultDir"])
        return parent if name == "." else parent + name + "\\"


def classify(step):
    """What a deferred step does, read from its command line:
    ("save", "task"|"settings", file), ("restore", what, {file, values}),
    ("change", what, {values}), ("start", "task", None), ("rollback", None, None)
    for a rollback that restores nothing known, ("unknown", None, None), or
    (None, None, None) for a standard action."""
    line = step.line
    if line is None:
        return None, None, None
    key = re.escape(SETTINGS_KEY)
    saved = re.search(r'schtasks\.exe"? /query /tn Vantrel /xml > "([^"]+)"', line)
    if saved:
        return "save", "task", saved.group(1)
    saved = re.search(r'reg\.exe"? export %s "([^"]+)"' % key, line)
    if saved:
        return "save", "settings", saved.group(1)
    if step.type & COMMIT:
        commands = re.split(r" & ", line.split(" /c ", 1)[-1].strip('"'))
        if all(re.match(r'"?(del|rd) "', command) for command in commands):
            return "forget", None, None
        return "unknown", None, None
    if is_rollback(step.type):
        back = re.search(r'if exist "([^"]+)" \("[^"]*schtasks\.exe" /create /tn Vantrel /xml "\1" /f', line)
        if back and re.search(r'schtasks\.exe"? /delete /tn Vantrel /f', line.split(" if exist ")[0]):
            return "restore", "task", {"file": back.group(1), "values": []}
        back = re.search(r'if exist "([^"]+)" \("[^"]*reg\.exe" import "\1"', line)
        if back:
            deleted = re.findall(r'reg\.exe"? delete %s /v (\w+) /f' % key, line.split(" if exist ")[0])
            return "restore", "settings", {"file": back.group(1), "values": deleted}
        return "rollback", None, None
    if re.search(r'schtasks\.exe"? /run /tn Vantrel$', line):
        return "start", "task", None
    if re.search(r'schtasks\.exe"? /(create|delete|change) /tn Vantrel', line):
        return "change", "task", {"values": []}
    if re.search(r'reg\.exe"? (add|delete|import) %s' % key, line):
        return "change", "settings", {"values": re.findall(r"/v (\w+)", line)}
    return "unknown", None, None
