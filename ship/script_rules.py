"""Rules on the walks (install_walks.py) that any package must keep to,
whatever it installs: the versions that have shipped found, and nothing
shared with their own removals, the deferred actions inside the
transaction, files read only once installed, paths quoted. Each takes the tables and answers (holds, what was found); the
package check (package_rules.py) runs them.
"""

import re

from ship.install_walks import older_versions, problems_in_runs, touched, upgrade_code
from ship.msi_tables import IN_SCRIPT, ONLY_DETECT, long_name
from ship.table_rules import verdict

REFERENCE = re.compile(r"\[([A-Za-z_][A-Za-z0-9_.]*)\]")
# cmd.exe /s /c "...": the first and the last quote of the command go, the
# rest is read as typed.
OUTER_QUOTES = re.compile(r'(?:/d )?/s /c "')


def every_landed_version_found(t):
    """An upgrade over each version that has shipped (landed_versions.py) finds it to remove
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


RULES = (every_landed_version_found, nothing_shared_with_an_older_removal, deferred_actions_inside_the_transaction, files_read_once_installed,
         paths_quoted_on_command_lines)
