"""The pieces an end-to-end run is made of: which Wine this machine can run,
a private Wine prefix and its session, the simulated receiver on a pty, and
the UBX frames on the line.

Used by the CTest harness (vantrel_e2e.py), the demo (demo.py) and the
benchmark. Run directly, it says which Wine the end-to-end runs use here:

  wine_rig.py machine   one plain line; exit 1 with the cause when none can run
  wine_rig.py arch      32 or 64
"""

import bisect
import contextlib
import errno
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

# ---------------------------------------------------------------------------
# UBX frames

ACK_LINE = b"Vantrel::ProcessAckNak\r\r\n"

# The port configuration the program sends: port 1, 8N1, 115200 baud, both
# protocol masks 0. Written out in full so the check does not depend on the
# encoder below.
CFG_PRT_FRAME = bytes.fromhex(
    "B5 62 06 00 14 00 01 00 00 00 D0 08 00 00 00 C2 01 00 00 00 00 00 00 00 00 00 B6 34")
NAV5_POLL_FRAME = bytes.fromhex("B5 62 06 24 00 00 2A 84")

MODEL_NAMES = {
    0: "portable", 2: "stationary", 3: "pedestrian", 4: "automotive", 5: "sea",
    6: "airborne <1g", 7: "airborne <2g", 8: "airborne <4g",
}

EXIT_MEANINGS = {
    0: "port configuration acknowledged (model confirmed, or the model set/poll failed)",
    1: "port configuration not acknowledged",
    2: "no port could be opened",
    4: "port acknowledged, but the receiver reports another dynamic model",
    5: "port not acknowledged, and the receiver reports another dynamic model",
    6: "model stage disabled, port acknowledged",
    7: "model stage disabled, port not acknowledged",
}


def ubx_frame(msg_class, msg_id, payload):
    body = bytes([msg_class, msg_id, len(payload) & 0xFF, len(payload) >> 8]) + bytes(payload)
    ck_a = ck_b = 0
    for byte in body:
        ck_a = (ck_a + byte) & 0xFF
        ck_b = (ck_b + ck_a) & 0xFF
    return b"\xB5\x62" + body + bytes([ck_a, ck_b])


def nav5_set_frame(model):
    """The CFG-NAV5 set the program sends: mask 'dynamic model only', model at byte 2."""
    payload = bytearray(36)
    payload[0] = 0x01
    payload[2] = model
    return ubx_frame(0x06, 0x24, payload)


def hexs(data):
    return " ".join("%02X" % b for b in data)


def describe_frame(frame, direction):
    """A UBX frame in plain words. direction: 'to-receiver' or 'to-program'."""
    if len(frame) < 8 or frame[0] != 0xB5 or frame[1] != 0x62:
        return "not a UBX frame: " + hexs(frame)
    cls, mid = frame[2], frame[3]
    length = frame[4] | frame[5] << 8
    payload = frame[6:6 + length]
    names = {(0x06, 0x00): "CFG-PRT", (0x06, 0x24): "CFG-NAV5", (0x06, 0x01): "CFG-MSG",
             (0x05, 0x01): "ACK-ACK", (0x05, 0x00): "ACK-NAK"}
    name = names.get((cls, mid), "class 0x%02X id 0x%02X" % (cls, mid))
    body = bytes([cls, mid, frame[4], frame[5]]) + payload
    expected = ubx_frame(cls, mid, payload)
    checksum = "" if expected == bytes(frame[:8 + length]) else " (BAD CHECKSUM)"
    if (cls, mid) == (0x06, 0x00) and length >= 20:
        port = payload[0]
        mode = int.from_bytes(payload[4:8], "little")
        baud = int.from_bytes(payload[8:12], "little")
        in_mask = int.from_bytes(payload[12:14], "little")
        out_mask = int.from_bytes(payload[14:16], "little")
        bits = {0: 5, 1: 6, 2: 7, 3: 8}[(mode >> 6) & 3]
        parity = {4: "N", 0: "E", 1: "O"}.get((mode >> 9) & 7, "?")
        stops = {0: "1", 1: "1.5", 2: "2", 3: "0.5"}[(mode >> 12) & 3]
        return ("%s port %d, %d baud %d%s%s, protocol masks in %d out %d%s"
                % (name, port, baud, bits, parity, stops, in_mask, out_mask, checksum))
    if (cls, mid) == (0x06, 0x24):
        if length == 0:
            return "CFG-NAV5 poll (asks for the navigation settings)" + checksum
        if length >= 3:
            model = payload[2]
            what = "set" if direction == "to-receiver" else "response"
            mask = payload[0] | payload[1] << 8
            return ("CFG-NAV5 %s: dynamic model %d (%s), parameter mask 0x%04X%s"
                    % (what, model, MODEL_NAMES.get(model, "not a valid model"), mask, checksum))
    if cls == 0x05:
        if length >= 2:
            named = names.get((payload[0], payload[1]),
                              "class 0x%02X id 0x%02X" % (payload[0], payload[1]))
            return "%s for %s%s" % (name, named, checksum)
        return "%s naming no message (payload %d bytes)%s" % (name, length, checksum)
    return "%s, %d-byte payload%s" % (name, length, checksum)


def split_line_traffic(data):
    """Splits what the receiver sent into NMEA sentences, UBX frames and other
    bytes, in order: a list of (kind, bytes)."""
    pieces = []
    i = 0
    other = bytearray()

    def flush_other():
        if other:
            pieces.append(("bytes", bytes(other)))
            other.clear()

    while i < len(data):
        if data[i] == 0xB5 and i + 1 < len(data) and data[i + 1] == 0x62 and i + 6 <= len(data):
            length = data[i + 4] | data[i + 5] << 8
            end = i + 8 + length
            if length < 1024 and end <= len(data):
                flush_other()
                pieces.append(("ubx", bytes(data[i:end])))
                i = end
                continue
        if data[i] == ord("$"):
            end = data.find(b"\n", i)
            stop = data.find(b"\xB5\x62", i)
            if end >= 0 and (stop < 0 or stop > end):
                flush_other()
                pieces.append(("nmea", bytes(data[i:end + 1])))
                i = end + 1
                continue
        other.append(data[i])
        i += 1
    flush_other()
    return pieces


# ---------------------------------------------------------------------------
# Wine

class RigError(Exception):
    """The rig itself could not do its part (not a finding about the program)."""


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
                "version, and so is its x86 package (msiinfo: template, tables, file version); "
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
        why = ("%s=64 forces it%s" % (FORCE_VARIABLE, "" if runs32 else "; " + CANNOT_RUN_32))
        return WINE64, "Wine: %s (%s)." % (WINE64.proves, why)
    if runs32:
        return WINE32, "Wine: %s (this kernel runs 32-bit programs)." % WINE32.proves
    return WINE64, "Wine: %s; %s; %s." % (WINE64.proves, CANNOT_RUN_32, STATIC_CHECK)




class Wine:
    """A private prefix under `root` for `arch`, with everything Wine writes kept there."""

    def __init__(self, root, arch, log=print):
        self.root = Path(root).resolve()
        self.prefix = self.root / "prefix"
        self.home = self.root / "home"
        self.arch = arch
        self.wine = arch.loader
        self.wineserver = arch.server
        self.log = log

    def env(self):
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEARCH": self.arch.winearch,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "HOME": str(self.home),
            "XDG_CONFIG_HOME": str(self.home / ".config"),
            "XDG_DATA_HOME": str(self.home / ".local" / "share"),
            "XDG_CACHE_HOME": str(self.home / ".cache"),
            "XDG_RUNTIME_DIR": str(self.home / "runtime"),
        })
        env.update(self.arch.extra_env())
        return env

    def _tool(self, name):
        path = shutil.which(name)
        if path is None:
            raise RigError("%s not found: install it with `%s` (or ./vantrel deps)"
                           % (name, self.arch.install))
        return path

    def exit_cause(self, returncode):
        """A failed Wine tool's exit status in words, where it says more than a number."""
        if returncode == 126:
            return "exit 126: " + (CANNOT_RUN_32 if self.arch.program_bits == 32
                                   else "a Wine program could not be executed")
        return "exit %d" % returncode

    def check_tools(self):
        self._tool(self.wine)
        self._tool(self.wineserver)

    def _call(self, args, log_path, timeout, cwd=None, append=False, env_update=None, **options):
        """Runs a Wine tool to its end with its output in `log_path` (never a
        pipe: the first wine process of a session starts service processes
        that inherit it and live on). A tool that does not end in time is a
        RigError, never a hang."""
        with open(log_path, "ab" if append else "wb") as log:
            try:
                return subprocess.run(args, cwd=cwd, env=dict(self.env(), **(env_update or {})),
                                      stdin=subprocess.DEVNULL,
                                      stdout=log, stderr=subprocess.STDOUT, timeout=timeout,
                                      **options)
            except subprocess.TimeoutExpired:
                raise RigError("%s did not finish within %d s, see %s"
                               % (" ".join(args), timeout, log_path)) from None

    def run(self, args, cwd=None, timeout=60, check=True):
        output_path = self.root / "wine-tool-output.txt"
        done = self._call(args, output_path, timeout, cwd=cwd)
        done.stdout = output_path.read_bytes()
        with open(self.root / "wine-tools.log", "ab") as log:
            log.write(("$ %s\n" % " ".join(args)).encode())
            log.write(done.stdout)
        if check and done.returncode != 0:
            raise RigError("%s failed (%s): %s"
                           % (" ".join(args), self.exit_cause(done.returncode),
                              done.stdout.decode(errors="replace").strip()))
        return done

    def create_prefix(self, fresh=True):
        """Makes the prefix (afresh, or reusing one already there) and leaves
        a new session running with its wineserver kept alive."""
        self.check_tools()
        self.root.mkdir(parents=True, exist_ok=True)
        if fresh:
            self.stop_server()
            if self.prefix.exists():
                shutil.rmtree(self.prefix)
        for d in (self.home / ".config", self.home / ".local" / "share", self.home / ".cache"):
            d.mkdir(parents=True, exist_ok=True)
        runtime = self.home / "runtime"
        runtime.mkdir(parents=True, exist_ok=True)
        os.chmod(runtime, 0o700)
        if (self.prefix / "system.reg").exists() or (self.prefix / "drive_c").exists():
            try:
                self.start_server()
            except RigError as error:
                raise RigError("the Wine prefix %s does not work (%s): remove it with "
                               "`rm -rf %s` and run again" % (self.prefix, error, self.root)) from None
            return False
        started = time.monotonic()
        # The session's wineserver is started first and kept: wineboot then
        # works inside it rather than leaving a server of its own behind.
        self.prefix.mkdir(parents=True, exist_ok=True)
        self._persistent_server()
        log_path = self.root / "wineboot.log"
        done = self._call([self._tool(self.wine), "wineboot", "-i"], log_path, 300)
        if done.returncode != 0:
            raise RigError("wineboot -i failed (%s), see %s"
                           % (self.exit_cause(done.returncode), log_path))
        self.log("wine prefix created in %.1f s: %s" % (time.monotonic() - started, self.prefix))
        self.query(SERIAL_KEY)
        return True

    def start_server(self):
        """Keeps one wineserver alive for the session and starts the session's
        services, so that later runs do not pay for them. Any server still
        running for the prefix is stopped first."""
        self.stop_server()
        self._persistent_server()
        self.query(SERIAL_KEY)

    def _persistent_server(self):
        log_path = self.root / "wineserver.log"
        done = self._call([self._tool(self.wineserver), "-p"], log_path, 60, append=True,
                          start_new_session=True)
        if done.returncode != 0:
            raise RigError("wineserver -p failed (%s), see %s"
                           % (self.exit_cause(done.returncode), log_path))

    def stop_server(self):
        if shutil.which(self.wineserver) is None or not self.prefix.exists():
            return
        for flag in ("-k", "-w"):
            self._call([self.wineserver, flag], self.root / "wineserver.log", 60, append=True)

    def restart_server(self):
        self.start_server()

    def query(self, key, check=True, view=None):
        """`reg query` output, or None when the key does not exist (check=False)."""
        done = self.run([self._tool(self.wine), "reg", "query", key] + ([view] if view else []),
                        check=check)
        if done.returncode != 0:
            return None
        return done.stdout.decode(errors="replace")

    def reg_import(self, text, workdir, name="scenario.reg"):
        path = Path(workdir) / name
        path.write_bytes(text.replace("\n", "\r\n").encode("ascii"))
        self.reg_import_file(path)

    def reg_import_file(self, path, with_regedit=False):
        """Imports a .reg file into the program's view with `reg import FILE
        /reg:NN`, or as double-clicking it would, with `regedit /s FILE`
        (the loader's own width)."""
        # Both take a Windows path; run them beside the file.
        command = (["regedit", "/s", Path(path).name] if with_regedit
                   else ["reg", "import", Path(path).name, self.arch.reg_view])
        self.run([self._tool(self.wine)] + command, cwd=str(Path(path).parent))

    def delete_key(self, key, view=None, check=True):
        self.run([self._tool(self.wine), "reg", "delete", key, "/f"] + ([view] if view else []),
                 check=check)

    def value(self, key, name):
        """(type, data) of a registry value in the program's view, as reg
        shows them ("REG_DWORD", "0x6"), or None when it is absent."""
        # reg always answers, with the value or with why not; right after an
        # msiexec run its output has been seen to be lost: ask again.
        for _ in range(3):
            done = self.run([self._tool(self.wine), "reg", "query", key, "/v", name,
                             self.arch.reg_view], check=False)
            if done.stdout.strip():
                break
        for line in done.stdout.decode(errors="replace").splitlines():
            fields = line.split(None, 2)
            if done.returncode == 0 and len(fields) >= 2 and fields[0] == name:
                return fields[1], fields[2] if len(fields) == 3 else ""
        return None

    def products(self, name):
        """The DisplayVersion of every product registered (Programs and
        Features) under the display name `name`, in the program's view."""
        done = self.run([self._tool(self.wine), "reg", "query", UNINSTALL_KEY, "/s",
                         self.arch.reg_view], check=False)
        versions, entry = [], {}
        for line in done.stdout.decode(errors="replace").splitlines() + ["HKEY_"]:
            if line.startswith("HKEY_"):
                if entry.get("DisplayName") == name:
                    versions.append(entry.get("DisplayVersion"))
                entry = {}
                continue
            fields = line.split(None, 2)
            if len(fields) == 3:
                entry[fields[0]] = fields[2]
        return versions

    def host_path(self, windows_path):
        """Where a C: path of the prefix lies on this host."""
        drive, rest = windows_path.split(":", 1)
        if drive.upper() != "C":
            raise ValueError(windows_path)
        return self.prefix / "drive_c" / rest.strip("\\").replace("\\", "/")

    def task_file(self, name):
        return self.prefix / "drive_c" / "windows" / "system32" / "tasks" / name

    def msiexec(self, args, package, log_name, env=None):
        """Runs `msiexec ACTION PACKAGE PROPERTIES /qn /l*v LOG` beside the
        package, where args is [ACTION] + PROPERTIES, with `env` added to
        its environment.
        Returns (exit status, the log's text, the command lines of the
        schtasks runs it made). Windows Installer logs no custom action's
        command line, so they are read from schtasks' own trace channel."""
        package = Path(package)
        output_path = package.parent / (log_name + ".out")
        done = self._call([self._tool(self.wine), "msiexec", args[0], package.name] + list(args[1:]) +
                          ["/qn", "/l*v", log_name + ".log"],
                          output_path, 300, cwd=str(package.parent),
                          env_update=dict(env or {}, WINEDEBUG="-all,trace+schtasks"))
        log_path = package.parent / (log_name + ".log")
        log = log_path.read_bytes().decode(errors="replace") if log_path.exists() else ""
        runs = [[unescape_debugstr(arg) for arg in re.findall(r'L"((?:[^"\\]|\\.)*)"', line)[1:]]
                for line in output_path.read_bytes().decode(errors="replace").splitlines()
                if ":trace:schtasks:wmain " in line]
        return done.returncode, log, runs

    @contextlib.contextmanager
    def reg_that_fails(self, fail_on, work):
        """For the time of the block, the system folder's reg.exe is one that
        fails every command naming `fail_on` (tests/e2e/reg_that_fails.c,
        built for the prefix's width). Yields the environment msiexec needs
        to run it rather than Wine's built-in reg.exe."""
        built = Path(work) / "reg_that_fails.exe"
        source = Path(__file__).resolve().parent / "reg_that_fails.c"
        done = subprocess.run(["%s-gcc" % self.arch.mingw, "-municode", "-O2", "-Wall", "-Werror",
                               '-DFAIL_ON=L"%s"' % fail_on, "-o", str(built), str(source),
                               "-lshell32", "-ladvapi32"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            raise RigError("building %s failed: %s" % (source.name, done.stdout.decode(errors="replace")))
        reg = self.prefix / "drive_c" / "windows" / "system32" / "reg.exe"
        aside = reg.with_name("reg.exe.aside")
        reg.rename(aside)
        try:
            shutil.copyfile(built, reg)
            yield {"WINEDLLOVERRIDES": "reg.exe=n"}
        finally:
            reg.unlink(missing_ok=True)
            aside.rename(reg)

    def batch(self, script, arguments, output_path, env, timeout):
        """Runs a cmd script, from its own folder, with host paths as
        arguments (Wine's Z: drive); returns (exit status, its output)."""
        script = Path(script).resolve()
        done = self._call([self._tool(self.wine), "cmd", "/c", script.name] +
                          [self.windows_path(argument) for argument in arguments],
                          output_path, timeout, cwd=str(script.parent), env_update=env)
        return done.returncode, Path(output_path).read_bytes().decode(errors="replace")

    @staticmethod
    def windows_path(host_path):
        return "Z:" + str(Path(host_path).resolve()).replace("/", "\\")

    def dosdevice(self, name):
        return self.prefix / "dosdevices" / name

    def clear_com_links(self, keep=("com1",)):
        devices = self.prefix / "dosdevices"
        for entry in devices.iterdir():
            lower = entry.name.lower()
            if lower.startswith("com") and lower[3:].isdigit() and lower not in keep:
                entry.unlink()

    def link(self, name, target):
        path = self.dosdevice(name)
        if path.is_symlink() or path.exists():
            path.unlink()
        path.symlink_to(target)

    def start_program(self, exe, workdir):
        """Starts `wine exe` with its output in files (never pipes: the
        session's service processes may hold them open)."""
        exe = Path(exe).resolve()
        out = open(Path(workdir) / "stdout.bin", "wb")
        err = open(Path(workdir) / "stderr.txt", "wb")
        started = time.monotonic()
        process = subprocess.Popen([self._tool(self.wine), str(exe)], cwd=str(workdir),
                                   env=self.env(), stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=err)
        out.close()
        err.close()
        return process, started


SERIAL_KEY = r"HKLM\Hardware\DeviceMap\SerialComm"
SETTINGS_KEY = r"HKLM\Software\Keldran\Settings"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def unescape_debugstr(text):
    """A string as Wine's debugstr_w shows it, unescaped."""
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), text)


# registry_text's settings when the settings key is to be left as it is.
KEEP_SETTINGS = "keep"


def registry_text(serial_values, settings):
    """A .reg file that sets the candidate values (removing the ones not
    given) and replaces the settings key (removing it when settings is None,
    leaving it alone when KEEP_SETTINGS).

    serial_values / settings: {name: ("sz", "COM5") | ("dword", 5) | ("binary", b"..")}.
    """
    def value_line(name, kind, data):
        quoted = '"%s"' % name.replace("\\", "\\\\")
        if kind == "sz":
            return '%s="%s"' % (quoted, data)
        if kind == "dword":
            return "%s=dword:%08x" % (quoted, data)
        if kind == "binary":
            return "%s=hex:%s" % (quoted, ",".join("%02x" % b for b in data))
        raise ValueError(kind)

    lines = ["Windows Registry Editor Version 5.00", "",
             r"[HKEY_LOCAL_MACHINE\Hardware\DeviceMap\SerialComm]"]
    for n in (2, 1, 0):
        lines.append('"\\\\Device\\\\NmeaVcp%d"=-' % n)
    for name, (kind, data) in serial_values.items():
        lines.append(value_line(name, kind, data))
    if settings == KEEP_SETTINGS:
        return "\n".join(lines) + "\n"
    lines += ["", r"[-HKEY_LOCAL_MACHINE\Software\Keldran\Settings]", ""]
    if settings is not None:
        lines.append(r"[HKEY_LOCAL_MACHINE\Software\Keldran\Settings]")
        for name, (kind, data) in settings.items():
            lines.append(value_line(name, kind, data))
        lines.append("")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------
# The simulated receiver

class SimReceiver:
    """One vantrel-sim process on its own pty."""

    def __init__(self, sim_exe, workdir, name, args, max_seconds):
        self.name = name
        self.workdir = Path(workdir)
        self.transcript_path = self.workdir / ("receiver-%s.jsonl" % name)
        slave_file = self.workdir / ("receiver-%s.slave" % name)
        for p in (self.transcript_path, slave_file):
            if p.exists():
                p.unlink()
        self.args = list(args)
        command = [str(sim_exe), "--transcript", str(self.transcript_path), "--slave-file",
                   str(slave_file), "--quiet", "--max-seconds", "%g" % max_seconds] + self.args
        self.command = command
        log = open(self.workdir / ("receiver-%s.log" % name), "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        deadline = time.monotonic() + 10
        while not slave_file.exists():
            if self.process.poll() is not None:
                raise RigError("vantrel-sim %s exited at once (%d): %s" % (
                    name, self.process.returncode,
                    (self.workdir / ("receiver-%s.log" % name)).read_text(errors="replace")))
            if time.monotonic() > deadline:
                self.process.kill()
                raise RigError("vantrel-sim %s did not create its pty" % name)
            time.sleep(0.01)
        self.slave = slave_file.read_text().strip()
        self.events = []

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.events = []
        if self.transcript_path.exists():
            for line in self.transcript_path.read_text().splitlines():
                if line.strip():
                    self.events.append(json.loads(line))
        return self

    # What the transcript says, once stopped.
    def of(self, kind):
        return [e for e in self.events if e["event"] == kind]

    def frames(self):
        return [bytes.fromhex(e["hex"]) for e in self.of("frame")]

    def received_bytes(self):
        return b"".join(bytes.fromhex(e["hex"]) for e in self.of("rx"))

    def written_bytes(self):
        return b"".join(bytes.fromhex(e["hex"]) for e in self.of("tx"))

    def opened(self):
        return bool(self.of("line-open"))

    def end(self):
        ends = self.of("end")
        return ends[-1] if ends else None

    def exchange(self):
        """What crossed the line, in time order: (t_ms, direction, kind, bytes),
        each piece at the time of the chunk that carried its first byte.

        Back-to-back chunks going the same way are decoded as one stream,
        since a frame may be split across reads; a frame that arrives 25 s
        after the one before it still keeps its own time."""
        runs = []  # [direction, bytes, chunk start offsets, chunk times]
        for e in self.events:
            if e["event"] not in ("rx", "tx"):
                continue
            direction = "to-receiver" if e["event"] == "rx" else "to-program"
            if not runs or runs[-1][0] != direction:
                runs.append([direction, bytearray(), [], []])
            run = runs[-1]
            run[2].append(len(run[1]))
            run[3].append(e["t"])
            run[1].extend(bytes.fromhex(e["hex"]))
        out = []
        for direction, data, offsets, times in runs:
            at = 0
            for kind, piece in split_line_traffic(bytes(data)):
                chunk = bisect.bisect_right(offsets, at) - 1
                out.append((times[chunk], direction, kind, piece))
                at += len(piece)
        return out


def fallback_device(port_name):
    """The host device Wine tries when dosdevices has no link for COMn."""
    number = int(port_name[3:])
    return Path("/dev/ttyS%d" % (number - 1))


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
    import sys
    sys.exit(main(sys.argv[1:]))
