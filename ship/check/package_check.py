#!/usr/bin/env python3
"""The Windows Installer and Task Scheduler rules the package relies on,
checked on any package file from its own tables:

  python3 -m ship.check.package_check PACKAGE.msi      (./vantrel check-package PACKAGE.msi)

prints each rule with what it found and exits 1 when any is broken (2 when
the file cannot be read, or a shipped version's package cannot be built from its
commit). Wine's msiexec is more forgiving than Windows in
exactly these places (it re-evaluates component conditions on every run,
removes an older product outside the transaction, ignores rollback order,
restarts nothing, knows no administrators), so a story that passes under
Wine does not show them: the tables do.

The check reads the tables and the task definitions in the cabinet
(msi_tables.py), then walks the execute sequence as Windows Installer does
(install_walks.py) for every kind of run a device can meet, on every
Windows the package supports, under every combination of the properties
that decide something; an upgrade walks the older version's own removal
too, from that version's package, built from its commit (so the check
needs the repository's history, git and wixl). Most rules are statements
about those walks, the refusals and the scripts of deferred actions they
produce, so that they follow what a condition or a command line means, not
how it is written. The rules are split by whose duty each is: what this
package promises (product_promises.py), and what Windows Installer demands
of any package (installer_duties.py). Each rule's docstring names the
documented rule it encodes, and is what is printed beside it.
"""

import subprocess
import sys
import xml.etree.ElementTree as ET

from ship.check import installer_duties, msi_conditions, product_promises
from ship.check.install_walks import LandedPackageMissing, older_tables, older_versions
from ship.check.msi_tables import Tables
from ship.msi_database import Error as DatabaseError

RULES = product_promises.RULES + installer_duties.RULES


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
    except (OSError, subprocess.CalledProcessError) + DatabaseError as error:
        print("package_check: %s cannot be read: %s" % (argv[0], error))
        return 2
    except LandedPackageMissing as error:
        print("package_check: %s cannot be checked: %s" % (argv[0], error))
        return 2
    for name, statement, ok, found in results:
        print("%s  %s: %s\n        %s" % ("ok  " if ok else "FAIL", name, statement, found))
    broken = [name for name, _, ok, _ in results if not ok]
    print("%s: %s" % (argv[0], "every rule holds" if not broken else
                      "%d rule(s) broken: %s" % (len(broken), ", ".join(broken))))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
