"""A package's tables as the package check reads them: the rows of each
table (msiinfo export), the files in its cabinets (gcab), and what the
tables say about the exe, the task definitions and the properties the
package reads. The bits the tables' columns carry are named here, once.
"""

import re
import subprocess
import tempfile
from pathlib import Path

from ship import msi_conditions

# CustomAction table, Type column: the base type (the low six bits) and the
# bits that say when and how an action runs.
ERROR_MESSAGE = 19
EXE_IN_PROPERTY = 50
SET_PROPERTY = 51
BASE_TYPE = 0x3F
CONTINUE_ON_ERROR = 0x40
ROLLBACK = 0x100
COMMIT = 0x200
IN_SCRIPT = 0x400
NO_IMPERSONATE = 0x800
# Feature table, Attributes column: the feature cannot be advertised.
DISALLOW_ADVERTISE = 0x8
FAVOR_ADVERTISE = 0x4
# Upgrade table, Attributes column.
ONLY_DETECT = 0x2
VERSION_MIN_INCLUSIVE = 0x100
VERSION_MAX_INCLUSIVE = 0x200
# File table, Attributes column: the file is not in a cabinet, whatever the
# package's default.
NONCOMPRESSED = 0x2000
# Component table, Attributes column: the component's registry entries go
# to the 64-bit view.
COMPONENT_64BIT = 0x100
# RegLocator table, Type column: a raw registry value, read in the 64-bit view.
LOCATOR_RAW = 0x2
LOCATOR_64BIT = 0x10
LOCATOR_KIND = 0xF
# Summary information, Word Count: the files are compressed by default.
WORD_COUNT_COMPRESSED = 0x2


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


def integers(rows, *columns):
    for row in rows:
        for column in columns:
            row[column] = int(row[column] or 0)
    return rows


class Tables:
    """The tables the rules read, loaded once."""

    def __init__(self, package):
        table = lambda name: msi_table(package, name)
        self.actions = {r["Action"]: r for r in integers(table("CustomAction"), "Type")}
        self.execute = {r["Action"]: r for r in integers(table("InstallExecuteSequence"), "Sequence")}
        self.ui = {r["Action"]: r for r in integers(table("InstallUISequence"), "Sequence")}
        self.properties = {r["Property"]: r["Value"] for r in table("Property")}
        self.registry = table("Registry")
        self.components = {r["Component"]: r for r in integers(table("Component"), "Attributes")}
        self.locators = {r["Signature_"]: r for r in integers(table("RegLocator"), "Type")}
        self.searches = {r["Property"]: r["Signature_"] for r in table("AppSearch")}
        self.launch = [(r["Condition"], r["Description"]) for r in table("LaunchCondition")]
        self.files = integers(table("File"), "Attributes", "Sequence")
        self.hashes = {r["File_"] for r in table("MsiFileHash")}
        self.upgrades = integers(table("Upgrade"), "Attributes")
        self.directories = {r["Directory"]: r for r in table("Directory")}
        self.remove_files = table("RemoveFile")
        self.features = integers(table("Feature"), "Level", "Attributes")
        self.media = integers(table("Media"), "LastSequence")
        summary = subprocess.run(["msiinfo", "suminfo", str(package)], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.x64 = "Template: x64;" in summary
        # msiinfo names the summary's Word Count "Source".
        word_count = re.search(r"^Source: (\d+)", summary, re.M)
        self.compressed = bool(word_count and int(word_count.group(1)) & WORD_COUNT_COMPRESSED)
        self.system_folder = "System64Folder" if self.x64 else "SystemFolder"
        self.program_files = "ProgramFiles64Folder" if self.x64 else "ProgramFilesFolder"
        self.expected_folder = "<%s>\\Keldran\\Vantrel\\" % self.program_files
        self.package = package
        self._cabinet = None

    def cabinet(self):
        if self._cabinet is None:
            self._cabinet = cabinet_files(self.package)
        return self._cabinet

    def exe(self):
        """The File row of vantrel.exe."""
        return next(f for f in self.files if long_name(f["FileName"]).lower() == "vantrel.exe")

    def exe_directories(self):
        """The directories from the exe's folder up to the root."""
        chain, directory = [], self.components[self.exe()["Component_"]]["Directory_"]
        while directory:
            chain.append(directory)
            directory = self.directories.get(directory, {}).get("Directory_Parent")
        return chain

    def task_definitions(self):
        """[{file, condition, data}] for every task definition the package carries."""
        return [{"file": f["File"], "condition": self.components[f["Component_"]]["Condition"],
                 "data": self.cabinet()[f["File"]]}
                for f in self.files if long_name(f["FileName"]).lower() == "vantrel-task.xml"]

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

    def read(self):
        """Every property name a condition or a formatted text of the package reads."""
        names = set()
        for condition in self.conditions():
            names |= msi_conditions.properties_named(condition)
        for text in self.formatted_texts():
            names |= set(re.findall(r"\[([A-Za-z_][A-Za-z0-9_.]*)\]", text))
        return names
