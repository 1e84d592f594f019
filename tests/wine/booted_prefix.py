"""One booted prefix per kind of Wine, kept under a work directory and
copied for every run that wants a fresh prefix. Booting one (wineboot -i)
costs about 5 s of CPU and 10 s on an idle machine, and most of that again
for each prefix booted at the same time; a copy costs a fraction of a
second. The copy is exactly what a boot leaves, since nothing runs in the
booted prefix after its server has been stopped."""

import fcntl
import subprocess
from pathlib import Path

from tests.wine import RigError


def copy_booted_prefix(templates, wine):
    """Fills `wine.prefix` (which must not exist) with a copy of the booted
    prefix of its kind under `templates`, booting that first if it is
    missing or was booted by another Wine version."""
    templates = Path(templates)
    templates.mkdir(parents=True, exist_ok=True)
    with open(templates / (wine.arch.tag + ".lock"), "w") as lock:
        # Booting and checking are one holder's at a time; copies may run
        # side by side once the prefix is known to be whole.
        fcntl.flock(lock, fcntl.LOCK_EX)
        booted = _booted(templates / wine.arch.tag, wine)
        fcntl.flock(lock, fcntl.LOCK_SH)
        done = subprocess.run(["cp", "-a", "--reflink=auto", str(booted), str(wine.prefix)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise RigError("copying the booted prefix %s failed: %s"
                       % (booted, done.stdout.decode(errors="replace").strip()))


def _booted(root, wine):
    template = type(wine)(root, wine.arch, log=wine.log)
    stamp = root / "booted-by.txt"
    booted_by = _wine_version(wine)
    if stamp.exists() and stamp.read_text() == booted_by and (template.prefix / "system.reg").exists():
        return template.prefix
    stamp.unlink(missing_ok=True)
    template.create_prefix(fresh=True)
    # Stopping the server writes the registry out and ends every process
    # of the prefix: what is copied then is whole and at rest.
    template.stop_server()
    stamp.write_text(booted_by)
    return template.prefix


def _wine_version(wine):
    done = subprocess.run([wine.arch.loader, "--version"], env=wine.env(),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return "%s %s" % (wine.arch.loader, done.stdout.decode(errors="replace").strip())
