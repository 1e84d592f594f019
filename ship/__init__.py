"""What ships with vantrel.exe, and the Python that makes and checks it: the
Windows Installer package's WiX source, the start-up task's definition, the
settings file, the release bundle, signing, and the package check. Run from
the repository's root as `python3 -m ship.NAME`."""
