"""What ships with vantrel.exe, and the Python that makes and checks it.
Here: the WiX source, the start-up task's definition, the settings file,
the scripts for management tools; the product's identity (identity.py) and
the database format (msi_database.py), which both sides read. make/ builds
the package and the release and signs them; check/ reads a package's
tables, walks them and holds them to the rules. check/ never imports
make/, so a package is judged by what it holds, not by how it was made.
Run from the repository's root as `python3 -m ship.make.release`,
`python3 -m ship.check.package_check`."""
