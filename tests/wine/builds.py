"""Which build of the sources runs under which Wine on this machine. Run
from the repository's root, it says which the end-to-end runs use here:

  python3 -m tests.wine.builds machine   one plain line; exit 1 with the cause when none can run
  python3 -m tests.wine.builds arch      32 or 64
"""

import errno
import os
import subprocess
import sys
from pathlib import Path

from tests.wine import RigError


class WineArch:
    """One way of running the program under Wine: which build of the sources,
    which loader and server, which prefix and registry view."""

    def __init__(self, bits, build, wine, loader, server, preset, mingw, install,
                 program_bits=None, tag=None):
        self.bits = bits  # the prefix's and the loader's
        self.program_bits = program_bits or bits
        self.mingw = mingw  # the cross toolchain's prefix
        self.build = build
        self.proves = "%s under %s" % (build, wine)
        self.loader = loader
        self.server = server
        self.winearch = "win%d" % bits
        self.tag = tag or "wine%d" % bits  # names its prefixes' directories
        # A program reads the registry view of its own width; its settings
        # are imported into that view.
        self.reg_view = "/reg:%d" % self.program_bits
        # Only a 64-bit prefix running a 32-bit program has a second view,
        # the one 64-bit tools write by default.
        self.other_view = "/reg:64" if (bits, self.program_bits) == (64, 32) else None
        self.preset = preset
        self.install = install

    def exe(self, build_dir):
        return Path(build_dir) / self.preset / "vantrel.exe"

    def extra_env(self):
        # Debian's wine and wineserver wrappers pick the 32-bit loader
        # whenever wine32 is installed: the 64-bit tools are named directly.
        if self.bits == 64:
            return {"WINELOADER": self.loader, "WINESERVER": self.server}
        return {}


WINE32 = WineArch(32, "32-bit vantrel.exe", "32-bit Wine", "wine", "wineserver", "windows",
                  "i686-w64-mingw32", "apt-get install wine wine32:i386")
WINE64 = WineArch(64, "64-bit build of the same sources", "Wine's 64-bit loader",
                  "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "windows-x64",
                  "x86_64-w64-mingw32", "apt-get install wine64")
ARCHES = {"32": WINE32, "64": WINE64}
# 64-bit Windows as a fleet device has it: the 32-bit product in a 64-bit
# prefix, where both registry views exist. The 64-bit loader hands a 32-bit
# exe to the 32-bit one, so the kernel must run 32-bit programs.
WOW64 = WineArch(64, "32-bit vantrel.exe", "Wine's 64-bit loader in a 64-bit prefix",
                 "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "windows",
                 "i686-w64-mingw32", "apt-get install wine64 wine32:i386", program_bits=32,
                 tag="wow64")
FORCE_VARIABLE = "VANTREL_WINE_ARCH"
CANNOT_RUN_32 = "this kernel cannot execute 32-bit programs (IA-32 emulation is off)"
STATIC_CHECK = ("vantrel.exe itself checked statically: PE32 i386, console, imports, manifest, "
                "version, and so is its x86 package (template, tables, file version); "
                "the package scenarios install the same WiX source built for x64 around the "
                "64-bit build")
PROBE_32 = "/usr/lib/wine/wineserver32"


def kernel_runs_32bit_programs():
    """Whether this kernel executes i386 programs, told by starting 32-bit
    Wine's server for its version; None when 32-bit Wine is not installed."""
    try:
        done = subprocess.run([PROBE_32, "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    except FileNotFoundError:
        return None
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return False
        raise
    return done.returncode == 0


def choose_arch(forced=None):
    """(WineArch, one plain line saying why) for this machine, honouring
    VANTREL_WINE_ARCH=32|64. RigError when no choice can run here."""
    if forced is None:
        forced = os.environ.get(FORCE_VARIABLE, "")
    if forced not in ("", "auto", "32", "64"):
        raise RigError("%s must be 32, 64 or auto, not %r" % (FORCE_VARIABLE, forced))
    runs32 = kernel_runs_32bit_programs()
    if runs32 is None and forced != "64":
        raise RigError("32-bit Wine is not installed (%s is missing), so this machine's "
                       "support for 32-bit programs cannot be told: run ./vantrel deps, "
                       "or set %s=64" % (PROBE_32, FORCE_VARIABLE))
    if forced == "32" and not runs32:
        raise RigError("%s=32 cannot be honoured: %s; unset it to run the 64-bit build"
                       % (FORCE_VARIABLE, CANNOT_RUN_32))
    if forced == "64":
        # Without 32-bit Wine nothing tells whether this kernel runs 32-bit programs.
        cause = {False: "; " + CANNOT_RUN_32, None: "; 32-bit Wine is not installed"}.get(runs32, "")
        why = "%s=64 forces it%s" % (FORCE_VARIABLE, cause)
        return WINE64, "Wine: %s (%s)." % (WINE64.proves, why)
    if runs32:
        return WINE32, "Wine: %s (this kernel runs 32-bit programs)." % WINE32.proves
    return WINE64, "Wine: %s; %s; %s." % (WINE64.proves, CANNOT_RUN_32, STATIC_CHECK)


def main(argv):
    command = argv[0] if argv else ""
    if command not in ("machine", "arch"):
        print(__doc__.strip())
        return 2
    try:
        arch, line = choose_arch()
    except RigError as error:
        print("Wine: cannot run the end-to-end proof here: %s" % error)
        return 1
    print(line if command == "machine" else arch.bits)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
