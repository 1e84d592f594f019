"""A private Wine prefix and its session: the server kept alive, the
registry read and written through Wine's own reg, COM links to ptys,
msiexec, cmd scripts, and the program started with its output in files."""

import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from tests.wine import RigError
from tests.wine.booted_prefix import copy_booted_prefix
from tests.wine.builds import CANNOT_RUN_32


class Wine:
    """A private prefix under `root` for `arch`, with everything Wine writes
    kept there. Given `booted`, a fresh prefix is a copy of the one booted
    prefix of its kind kept there, rather than booted anew."""

    def __init__(self, root, arch, log=print, booted=None):
        self.root = Path(root).resolve()
        self.booted = booted
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
        if self.booted is not None:
            copy_booted_prefix(self.booted, self)
            # A session of its own: the one that booted the prefix has ended.
            self.start_server()
            self.log("wine prefix copied from a booted one in %.1f s: %s"
                     % (time.monotonic() - started, self.prefix))
            return True
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
        self.wait_for_serial_ports()
        return True

    def start_server(self):
        """Keeps one wineserver alive for the session and starts the session's
        services, so that later runs do not pay for them. Any server still
        running for the prefix is stopped first."""
        self.stop_server()
        self._persistent_server()
        self.wait_for_serial_ports()

    def wait_for_serial_ports(self, seconds=30):
        """Waits until the session lists its serial ports. The key is made
        by the session's device manager, which starts beside the first
        program: on a busy machine a query has come before it."""
        deadline = time.monotonic() + seconds
        while self.query(SERIAL_KEY, check=False) is None and time.monotonic() < deadline:
            time.sleep(0.5)
        self.query(SERIAL_KEY)  # past the deadline, fails and says how

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

    def msiexec(self, args, package, log_name, env=None, ui="/qn"):
        """Runs `msiexec ACTION PACKAGE PROPERTIES /qn /l*v LOG` beside the
        package, where args is [ACTION] + PROPERTIES, with `env` added to
        its environment; ui is another UI level in place of /qn.
        Returns (exit status, the log's text, the command lines of the
        schtasks runs it made). Windows Installer logs no custom action's
        command line, so they are read from schtasks' own trace channel."""
        package = Path(package)
        output_path = package.parent / (log_name + ".out")
        done = self._call([self._tool(self.wine), "msiexec", args[0], package.name] + list(args[1:]) +
                          [ui, "/l*v", log_name + ".log"],
                          output_path, 300, cwd=str(package.parent),
                          env_update=dict(env or {}, WINEDEBUG="-all,trace+schtasks"))
        self.wait_for_tools_to_end(("cmd.exe", "reg.exe", "reg-builtin.exe", "schtasks.exe"),
                                   package.parent / (log_name + ".out"))
        log_path = package.parent / (log_name + ".log")
        log = log_path.read_bytes().decode(errors="replace") if log_path.exists() else ""
        runs = [[unescape_debugstr(arg) for arg in re.findall(r'L"((?:[^"\\]|\\.)*)"', line)[1:]]
                for line in output_path.read_bytes().decode(errors="replace").splitlines()
                if ":trace:schtasks:wmain " in line]
        return done.returncode, log, runs

    def wait_for_tools_to_end(self, names, output_path, timeout=60):
        """Waits until no process of this prefix runs one of these programs:
        a tool a custom action started that is still at work after msiexec
        returned would race the story's next step (a snapshot written, or
        put back, by one installation while the next begins). What it
        waited for, if anything, goes into output_path."""
        wanted = "WINEPREFIX=%s" % self.prefix
        started, seen = time.monotonic(), set()
        while True:
            running = []
            for proc in Path("/proc").iterdir():
                try:
                    if proc.name.isdigit() and wanted.encode() in (proc / "environ").read_bytes().split(b"\0"):
                        command = (proc / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
                        running += [name for name in names if name in command.lower()]
                except OSError:
                    continue
            seen.update(running)
            if not running:
                break
            if time.monotonic() - started > timeout:
                raise RigError("%s still running %d s after msiexec returned" % (running, timeout))
            time.sleep(0.1)
        if time.monotonic() - started > 0.05:
            with open(output_path, "a") as out:
                out.write("rig: waited %.2f s for %s to end after msiexec returned\n"
                          % (time.monotonic() - started, ", ".join(sorted(seen))))

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


def fallback_device(port_name):
    """The host device Wine tries when dosdevices has no link for COMn."""
    number = int(port_name[3:])
    return Path("/dev/ttyS%d" % (number - 1))
