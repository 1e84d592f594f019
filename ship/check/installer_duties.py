"""What Windows Installer demands of any package, whatever it installs or
promises: the ICE rules, the transaction and its rollbacks, the component
rules, upgrades that remove the older version inside the transaction,
files that reach the machine, properties that reach the installation, paths
a program can read. A package that breaks one fails on Windows, or leaves a
device in a state no later run mends, even where Wine lets it pass. Each
takes the tables (msi_tables.Tables) and answers (holds, what was found);
its docstring, the documented rule it encodes, is what the package check
prints beside it.
"""

import re

from ship.check.install_walks import (classify, is_rollback, older_versions, problems_in_runs, runs, touched,
                                      verdict, windows)
from ship.check.msi_conditions import evaluate, properties_named
from ship.check.msi_tables import long_name
from ship.identity import LANDED
from ship.msi_database import (COMMIT, COMPONENT_64BIT, CONTINUE_ON_ERROR, ERROR_MESSAGE, EXE_IN_PROPERTY,
                               IN_SCRIPT, LOCATOR_64BIT, LOCATOR_KIND, LOCATOR_RAW, NONCOMPRESSED,
                               NO_IMPERSONATE, ONLY_DETECT, ROLLBACK, SET_PROPERTY)

# The custom-action types the package uses, and so the only ones the rules
# and the walks know: a property set before the script, an error that ends
# the run, and a system tool named by a property, run from the script as
# Local System, as a change, a rollback or a commit action, its failure
# counted or ignored.
KNOWN_ACTION_TYPES = {SET_PROPERTY, ERROR_MESSAGE} | {EXE_IN_PROPERTY | IN_SCRIPT | NO_IMPERSONATE | when | failure
                                       for when in (0, ROLLBACK, COMMIT)
                                       for failure in (0, CONTINUE_ON_ERROR)}
# Registry table, Root column: -1 is HKLM in a per-machine installation.
PER_USER_OR_MACHINE = -1
HKLM = 2


# Properties Windows Installer itself defines and always passes to the
# installation it elevates; everything else public that the package reads
# must be secure.
INSTALLER_OWN = {"REMOVE", "REINSTALL", "REINSTALLMODE", "ALLUSERS", "ARPNOMODIFY", "REBOOT",
                 "ARPINSTALLLOCATION", "MSIRESTARTMANAGERCONTROL", "DISABLEROLLBACK",
                 "TARGETDIR"}


REFERENCE = re.compile(r"\[([A-Za-z_][A-Za-z0-9_.]*)\]")


# cmd.exe /s /c "...": the first and the last quote of the command go, the
# rest is read as typed.
OUTER_QUOTES = re.compile(r'(?:/d )?/s /c "')


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


def deferred_actions_inside_the_transaction(t):
    """A deferred (in-script) custom action is written into the script between
    InstallInitialize and InstallFinalize; outside them Windows Installer fails the run
    with error 2762 ("Cannot write script record. Transaction not started."): in every run
    each in-script action comes after InstallInitialize and before InstallFinalize."""
    def check(run):
        names = [step.action for step in run.script]
        if run.refused_by or not run.script:
            return []
        if "InstallInitialize" not in names or "InstallFinalize" not in names:
            return ["the script has no InstallInitialize and InstallFinalize around it"]
        start, end = names.index("InstallInitialize"), names.index("InstallFinalize")
        return ["%s is outside the transaction" % step.action for at, step in enumerate(run.script)
                if step.type and step.type & IN_SCRIPT and not start < at < end]
    return verdict(problems_in_runs(t, check), "every deferred action between InstallInitialize "
                   "and InstallFinalize")


def files_read_once_installed(t):
    """InstallFiles puts the package's files in place (InstallFiles action): in every run
    that installs them, a deferred command line that names a file of the package (as
    CreateTask names the task definition it registers) runs after InstallFiles."""
    def check(run):
        if run.refused_by or run.kind == "uninstall":
            return []
        paths = {(run.properties.get(t.components[f["Component_"]]["Directory_"], "") +
                  long_name(f["FileName"])).lower() for f in t.files}
        names = [step.action for step in run.script]
        installed = names.index("InstallFiles") if "InstallFiles" in names else len(names)
        return ["%s reads %s before InstallFiles" % (step.action, path)
                for step in run.script[:installed] if step.line
                for path in sorted(paths) if path in step.line.lower()]
    return verdict(problems_in_runs(t, check), "no deferred action reads a file of the package "
                   "before InstallFiles")


def quoted_at(arguments, at):
    """Whether a position of a command line lies inside double quotes, as the program
    reads them."""
    outer = OUTER_QUOTES.match(arguments)
    return arguments.count('"', outer.end() if outer else 0, at) % 2 == 1


def paths_quoted_on_command_lines(t):
    """Program Files has a space in its name, and a program splits its command line at the
    spaces outside double quotes (cmd.exe /s /c takes away only the command's outer pair):
    in every run, each [Property] of a deferred action's command line whose value is a path
    lies inside double quotes."""
    def check(run):
        problems = []
        for step in run.script:
            if not (step.type and step.type & IN_SCRIPT):
                continue
            target = t.actions[step.action]["Target"]
            problems += ["%s has [%s] (%s) outside quotes" % (step.action, name, run.properties[name])
                         for at, name in ((m.start(), m.group(1)) for m in REFERENCE.finditer(target))
                         if "\\" in run.properties.get(name, "") and not quoted_at(target, at)]
        return problems
    return verdict(problems_in_runs(t, check), "every path on a command line in quotes")


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


def nothing_shared_with_an_older_removal(t):
    """RemoveExistingProducts runs the older version's own removal, with its own tables, inside
    this installation's script, and a failed upgrade rolls both back (RemoveExistingProducts
    action): in every upgrade over a version that has shipped, no task and no file but the
    package's own installed ones is named both by that removal (its command lines and
    RemoveFile rows, walked from its own package) and by this version's script, so that
    neither deletes or overwrites what the other's rollback still needs."""
    own = {long_name(f["FileName"]).lower() for f in t.files}

    def check(run):
        if run.older_removal is None:
            return []
        shared = {(kind, name) for kind, name in touched(run) & touched(run.older_removal)
                  if name.split("\\")[-1] not in own}
        return ["%s's removal and this version both touch %s %s" % (run.older.version, kind, name)
                for kind, name in sorted(shared)]
    return verdict(problems_in_runs(t, check), "no task or file shared with the removal of %s"
                   % (", ".join(v.version for v in older_versions(t)) or "no older version"))


def removal_decided_after_install_validate(t):
    """"The REMOVE property is not guaranteed to be set to ALL during an uninstall before the
    installer executes the InstallValidate action" (Conditioning Actions to Run During
    Removal): no launch condition reads REMOVE (LaunchConditions runs before InstallValidate),
    and no action sequenced before InstallValidate has a condition that reads it."""
    validate = t.execute.get("InstallValidate", {}).get("Sequence", 0)
    early = ["launch condition %s" % condition for condition, _ in t.launch
             if "REMOVE" in properties_named(condition)]
    early += ["%s (%d)" % (action, row["Sequence"]) for action, row in sorted(t.execute.items())
              if row["Sequence"] < validate and "REMOVE" in properties_named(row["Condition"])]
    return verdict(["REMOVE read before InstallValidate by " + ", ".join(early)] if early else [],
                   "REMOVE read only after InstallValidate (%d)" % validate)


def every_file_in_the_cabinet(t):
    """A compressed package (summary Word Count bit 0x2) takes each file from its cabinet
    unless the File row's msidbFileAttributesNoncompressed bit (0x2000) sends Windows
    Installer to look for it uncompressed beside the package, where nothing is: the package
    is compressed, no file carries that bit, and every file's data is in the embedded
    cabinet under its key."""
    cabinet = t.cabinet()
    problems = ([] if t.compressed else ["the package is not marked compressed"]) + \
        ["%s is marked uncompressed" % f["File"] for f in t.files if f["Attributes"] & NONCOMPRESSED] + \
        ["%s is not in the cabinet" % f["File"] for f in t.files if f["File"] not in cabinet]
    return verdict(problems, "%d files, each in the cabinet" % len(t.files))


def media_covers_every_file(t):
    """Media table: a file is on the first medium whose LastSequence is at least the file's
    Sequence (File table), and a file beyond the last medium's LastSequence is on none:
    every file's Sequence falls within a Media row that names a cabinet."""
    media = sorted(t.media, key=lambda m: m["LastSequence"])
    problems = []
    for f in t.files:
        medium = next((m for m in media if m["LastSequence"] >= f["Sequence"]), None)
        if medium is None or not medium["Cabinet"]:
            problems.append("%s (Sequence %d) is on no medium with a cabinet" % (f["File"], f["Sequence"]))
    return verdict(problems, "every file within LastSequence %s"
                   % ", ".join(str(m["LastSequence"]) for m in media))


def only_custom_action_types_the_package_uses(t):
    """Each custom-action type is its own contract with Windows Installer (Custom Action
    Types), and the walks and rules here know only those the package uses: a property set
    (51) before the script, an error message (19), and a tool named by a property (50) run from the script (0x400)
    as Local System (0x800), as a rollback (0x100) or commit (0x200) action or neither, its
    failure ignored (0x40) or not. Any other type would act unseen: a type 35 sets a
    directory and moves a folder, a DLL or script from the Binary table runs code no rule
    reads. An error (19) ends the run."""
    unknown = ["%s (%d)" % (name, row["Type"]) for name, row in sorted(t.actions.items())
               if row["Type"] not in KNOWN_ACTION_TYPES]
    used = sorted({row["Type"] for row in t.actions.values()})
    return verdict(["actions of a type no rule knows: " + ", ".join(unknown)] if unknown else [],
                   "types " + ", ".join(map(str, used)))


def remembered_choice_read_where_written(t):
    """What a registry search reads back must be where the package writes it: each AppSearch
    RegLocator names the root, key and value name of a Registry row of the package, reads
    it as a raw value (Type 2; 0 and 1 look for a folder or a file), and in the view that
    row's component writes (RegLocator Type 0x10 reads the 64-bit view; a component writes
    there only with its 64-bit attribute, 0x100, Component table). Else the choice the
    package remembered is never read again."""
    def place(row, wide):
        root = int(row["Root"])
        if root == PER_USER_OR_MACHINE and t.properties.get("ALLUSERS") == "1":
            root = HKLM
        return root, row["Key"].strip("\\").lower(), (row["Name"] or "").lower(), wide
    written = {place(row, bool(t.components[row["Component_"]]["Attributes"] & COMPONENT_64BIT))
               for row in t.registry}
    problems = []
    for prop, signature in sorted(t.searches.items()):
        locator = t.locators.get(signature)
        if locator is None:
            continue
        wanted = place(locator, bool(locator["Type"] & LOCATOR_64BIT))
        if locator["Type"] & LOCATOR_KIND != LOCATOR_RAW:
            problems.append("%s is read as type %d, not as a raw value" % (prop, locator["Type"]))
        if wanted not in written:
            problems.append("%s is read from root %d, %s, %s, in the %s-bit view, where no Registry "
                            "row writes" % ((prop,) + wanted[:3] + ("64" if wanted[3] else "32",)))
    return verdict(problems, "%s read where written" % ", ".join(sorted(t.searches)))


def exe_place(t):
    """Where the exe's folder lies, as identity.py names it: "Keldran\\Vantrel under
    ProgramFilesFolder"."""
    names = []
    for directory in t.exe_directories():
        row = t.directories[directory]
        if long_name(row["DefaultDir"]) == "." or not row["Directory_Parent"]:
            return "%s under %s" % ("\\".join(reversed(names)), directory)
        names.append(long_name(row["DefaultDir"]))
    return "\\".join(reversed(names))


def exe_keeps_its_component_code(t):
    """Organizing Applications into Components: never two components that install a resource
    under the same name and target location. vantrel.exe keeps the component code with which
    every version that has shipped (identity.py) installed it at the same place; a
    version whose folder could be moved counts at its default one."""
    here = exe_place(t)
    code = t.components[t.exe()["Component_"]]["ComponentId"].strip("{}").upper()
    same_place = [v for v in LANDED if re.sub(r"^.*by default ", "", v.exe_folder) == here]
    problems = ["%s installed it as {%s}, this package as {%s}" % (v.version, v.exe_component, code)
                for v in same_place if v.exe_component.upper() != code]
    return verdict(problems, "{%s}, as %s installed it in %s" % (
        code, " and ".join(v.version for v in same_place) or "no shipped version", here))


def components_alike_on_every_windows_version(t):
    """A component's condition is evaluated when the component is first installed (Component
    table; Using Transitive Components), and Windows may be upgraded under an installed
    product: each component's condition holds alike on every Windows version of a width
    (VersionNT 601, 603, 1000), or a device whose Windows was upgraded keeps what its
    earlier Windows got."""
    problems = []
    for name, component in sorted(t.components.items()):
        for wide in sorted({bool(system["VersionNT64"]) for system in windows(t)}):
            holds = {system["VersionNT"]: evaluate(component["Condition"], system)
                     for system in windows(t) if bool(system["VersionNT64"]) == wide}
            if len(set(holds.values())) > 1:
                problems.append("%s on %s-bit Windows is installed on VersionNT %s only" % (
                    name, "64" if wide else "32", ", ".join(v for v, on in holds.items() if on)))
    return verdict(problems, "every component alike on Windows %s" % ", ".join(
        sorted({system["VersionNT"] for system in windows(t)}, key=int)))


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


RULES = (rollback_restores_what_was_there, deferred_actions_inside_the_transaction, files_read_once_installed,
         paths_quoted_on_command_lines, public_properties_secure, older_product_removed_inside_the_transaction,
         nothing_shared_with_an_older_removal, removal_decided_after_install_validate,
         every_file_in_the_cabinet, media_covers_every_file, only_custom_action_types_the_package_uses,
         remembered_choice_read_where_written, exe_keeps_its_component_code,
         components_alike_on_every_windows_version, no_impersonation_bit_outside_the_script,
         no_hash_for_a_versioned_file)
