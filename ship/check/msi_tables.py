"""A package's tables as the package check reads them: the rows of each
table, the files in its cabinets (gcab), and what the tables say about the
exe, the task definitions and the properties the package reads."""

import re
import subprocess
import tempfile
from pathlib import Path

from ship.check import msi_conditions
from ship.msi_database import WORD_COUNT_COMPRESSED, Summary, open_database, rows, streams, summary


def cabinet_files(database):
    """{file key: bytes} of every file in the package's embedded cabinets."""
    files = {}
    with tempfile.TemporaryDirectory() as work:
        for name, data in streams(database).items():
            if not name.endswith(".cab"):
                continue
            cab = Path(work) / name
            cab.write_bytes(data)
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


class Tables:
    """The tables the rules read, loaded once."""

    def __init__(self, package):
        database = open_database(package)
        table = lambda name: rows(database, name)
        self.actions = {r["Action"]: r for r in table("CustomAction")}
        self.execute = {r["Action"]: r for r in table("InstallExecuteSequence")}
        self.ui = {r["Action"]: r for r in table("InstallUISequence")}
        self.properties = {r["Property"]: r["Value"] for r in table("Property")}
        self.registry = table("Registry")
        self.components = {r["Component"]: r for r in table("Component")}
        self.locators = {r["Signature_"]: r for r in table("RegLocator")}
        self.searches = {r["Property"]: r["Signature_"] for r in table("AppSearch")}
        self.launch = [(r["Condition"], r["Description"]) for r in table("LaunchCondition")]
        self.files = table("File")
        self.hashes = {r["File_"] for r in table("MsiFileHash")}
        self.upgrades = table("Upgrade")
        self.directories = {r["Directory"]: r for r in table("Directory")}
        self.remove_files = table("RemoveFile")
        self.features = table("Feature")
        self.media = table("Media")
        info = summary(database)
        self.x64 = info.get_string(Summary.TEMPLATE).startswith("x64;")
        # The summary's Word Count, which the property list calls SOURCE.
        self.compressed = bool(info.get_int(Summary.SOURCE) & WORD_COUNT_COMPRESSED)
        self.system_folder = "System64Folder" if self.x64 else "SystemFolder"
        self.program_files = "ProgramFiles64Folder" if self.x64 else "ProgramFilesFolder"
        self.expected_folder = "<%s>\\Keldran\\Vantrel\\" % self.program_files
        self.database = database
        self._cabinet = None

    def cabinet(self):
        if self._cabinet is None:
            self._cabinet = cabinet_files(self.database)
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
