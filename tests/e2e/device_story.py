"""The demo against a real receiver (`./vantrel demo --device PATH`), with
the simulated receiver on a pty standing in for the device."""

import os
import re
import subprocess
import sys
from pathlib import Path

from tests.frames import hexs
from tests.wine.receiver import SimReceiver

from tests.e2e.records import RECEIVER_DEFAULTS, full_run

REPO = Path(__file__).resolve().parents[2]
# The demo as ./vantrel runs it: a program of its own, not imported.
DEMO = [sys.executable, "-m", "tests.demo.demo"]


def story_demo_real_device(story, args, work, checks):
    """The demo with --device: the simulated receiver on a pty stands in
    for a receiver plugged into this machine."""
    device = SimReceiver(args.sim, work, "device", RECEIVER_DEFAULTS, max_seconds=story.timeout)
    env = dict(os.environ, VANTREL_WINE_ARCH=str(args.arch.bits), PYTHONIOENCODING="ascii")
    command = DEMO + ["--device", device.slave,
               "--build-dir", str(work / "demo"), "--exe", str(args.exe_to_run), "--sim", args.sim]
    try:
        done = subprocess.run(command, env=env, cwd=REPO, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=story.timeout)
    finally:
        device.stop()
    told = done.stdout.decode(errors="replace").splitlines()
    print("\n".join("    " + line for line in told))
    checks.expect(done.returncode == 0, "demo --device %s: exit 0" % device.slave,
                  "exit %d" % done.returncode)
    warned = [i for i, line in enumerate(told)
              if "CFG-PRT sets the receiver's port 1 (UART1)" in line and "switched off" in line]
    started = [i for i, line in enumerate(told) if "Running the program now" in line]
    checks.expect(warned and started and warned[0] < started[0],
                  "it warns that the CFG-PRT switches off every protocol on port 1, before the run")
    for pattern in (r"program -> receiver: CFG-PRT port 1, 115200 baud 8N1",
                    r"receiver -> program: ACK-ACK for CFG-PRT",
                    r"receiver -> program: CFG-NAV5 response: dynamic model 4",
                    r"^Exit code 0 after ",
                    r"^In this run: the port configuration was acknowledged; model 4 "
                    r"\(automotive\) was set, and when polled the receiver reported it: "
                    r"confirmed equal\.$"):
        checks.expect(any(re.search(pattern, line) for line in told),
                      "the account has a line matching %s" % pattern)
    checks.expect(device.frames() == full_run(4),
                  "the device got the three frames of a full run, through the relay",
                  "got %s" % [hexs(f) for f in device.frames()])
    for path, why in (("/dev/null", "is not a serial device"),
                      (str(work / "no-such-device"), "cannot open")):
        refused = subprocess.run(DEMO + ["--check-arguments", "--device", path], cwd=REPO,
                                 stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
        lines = refused.stdout.decode(errors="replace").splitlines()
        checks.expect(refused.returncode == 2 and len(lines) == 1 and why in lines[0],
                      "demo --device %s is refused in one line (%s), nothing started" % (path, why),
                      "exit %d: %s" % (refused.returncode, lines))
