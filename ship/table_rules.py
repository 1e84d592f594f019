"""Rules read from the package's tables alone: how its rows fit together,
and what its rows must keep from the versions that have shipped. Each takes
the tables (msi_tables.Tables) and answers (holds, what was found); the
package check (package_rules.py) runs them beside the rules on its walks.
"""

import re

from ship.install_walks import windows
from ship.landed_versions import LANDED
from ship.msi_conditions import evaluate, properties_named
from ship.msi_tables import (COMMIT, COMPONENT_64BIT, CONTINUE_ON_ERROR, DISALLOW_ADVERTISE, ERROR_MESSAGE,
                             EXE_IN_PROPERTY, FAVOR_ADVERTISE, IN_SCRIPT, LOCATOR_64BIT, LOCATOR_KIND,
                             LOCATOR_RAW, NONCOMPRESSED, NO_IMPERSONATE, ROLLBACK, SET_PROPERTY, long_name)

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


def verdict(problems, fine):
    """A rule's answer: it holds when nothing was found wrong."""
    return not problems, "; ".join(problems) or fine


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
    """Where the exe's folder lies, as landed_versions.py names it: "Keldran\\Vantrel under
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
    every version that has shipped (landed_versions.py) installed it at the same place; a
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


RULES = (every_feature_installed, no_advertising, removal_decided_after_install_validate,
         every_file_in_the_cabinet, media_covers_every_file,
         only_custom_action_types_the_package_uses, remembered_choice_read_where_written,
         exe_keeps_its_component_code, components_alike_on_every_windows_version)
