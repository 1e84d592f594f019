#!/usr/bin/env python3
"""Shows one run of vantrel.exe under Wine against the simulated receiver,
in plain words: what crossed the line, what the program printed, and what
its exit code means, in general and in this run. With --device PATH the
receiver is a real one on that serial device, reached through
`vantrel-sim --relay`, which logs both directions the same way.

It runs the 32-bit vantrel.exe under 32-bit Wine where this kernel runs
32-bit programs, else the 64-bit build of the same sources under Wine's
64-bit loader (VANTREL_WINE_ARCH=32|64 forces either, auto is the default),
and says which. The Wine prefix lives in DIR/demo-wine32 or DIR/demo-wine64
(made on first use, about 10 s, and reused afterwards); the wineserver is
stopped when the demo ends.
"""

import argparse
import os
import sys
import termios
from dataclasses import replace
from pathlib import Path

from tests.demo.account import account
from tests.e2e.catalogue import DEMO_RUNS, PROGRAM_RUNS
from tests.e2e.program_runs import receivers_ready, run_exe
from tests.e2e.records import Run, other_model, sz
from tests.protocol import EXIT_MEANINGS, MODEL_NAMES
from tests.wine import RigError
from tests.wine.builds import choose_arch
from tests.wine.control import Wine

REPO = Path(__file__).resolve().parents[2]


# The demo's scenarios are rows of the end-to-end catalogue's program runs
# (those with a `demo`), so that what the demo shows is what the tests check.
SCENARIOS = {run.demo.name: run for run in DEMO_RUNS}
# A real receiver may behave as any row does: it has as long as the slowest.
DEVICE_LIMIT = max(run.limit(run.timeout) for run in PROGRAM_RUNS)

# What the program's CFG-PRT does to a receiver reached through its port 1.
PORT1_WARNING = ("Warning: the program's CFG-PRT sets the receiver's port 1 (UART1) to 115200 "
                 "baud with every protocol switched off. If this machine reaches the receiver "
                 "through that port (a UART, or a USB-serial bridge to it), the receiver stops "
                 "talking until it is switched off and on.")

ARROW = "→" if (sys.stdout.encoding or "").lower().replace("-", "") in ("utf8",) else "->"



def say(text=""):
    print(text, flush=True)


def describe_console(data):
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [repr(line + b"\n")[2:-1] for line in lines]


def dword(text):
    value = int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError("%s does not fit a REG_DWORD" % text)
    return value


def parse_arguments(argv):
    width = max(len(name) for name in SCENARIOS)
    listing = "\n".join("  %-*s  %s" % (width, name, run.demo.about)
                        for name, run in SCENARIOS.items())
    parser = argparse.ArgumentParser(
        prog="./vantrel demo", description=__doc__,
        epilog="scenarios:\n" + listing, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", nargs="?", default="ok", choices=list(SCENARIOS),
                        metavar="SCENARIO", help="what the simulated receiver does (default: ok;"
                                                 " listed below)")
    parser.add_argument("--model", type=dword, default=4, metavar="N",
                        help="GpsPositionMode written to the registry (REG_DWORD, default 4)")
    parser.add_argument("--build-dir", default=str(REPO / "build"), metavar="DIR",
                        help="where the presets' builds are, and where the demo keeps its Wine "
                             "prefix (default: build)")
    parser.add_argument("--exe", default=None, metavar="PATH",
                        help="default: DIR/windows/vantrel.exe, or DIR/windows-x64/vantrel.exe"
                             " under Wine's 64-bit loader")
    parser.add_argument("--sim", default=None, metavar="PATH",
                        help="default: DIR/sim/sim/vantrel-sim")
    parser.add_argument("--device", default=None, metavar="PATH",
                        help="a real receiver on this serial device instead of the simulated "
                             "one (any scenario is then ignored)")
    # ./vantrel checks the arguments this way before it installs or builds anything.
    parser.add_argument("--check-arguments", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


# ---------------------------------------------------------------------------
# The account of a run, from the receiver's transcript and the exit code

def reached(run, receivers, device):
    """How the program reaches each receiver of the run: a line per link."""
    links = [(port, target, "") for port, target in run.links.items()]
    links += [(port, target, " from %g s after its start" % delay)
              for port, (target, delay) in run.late_links.items()]
    lines = []
    for port, target, when in links:
        listed = [key for key, value in run.serial.items() if value == sz(port.upper())]
        if target == "directory":
            what = "A directory, which opens with access denied"
        elif device:
            what = "%s relayed through %s" % (device, receivers[target].slave)
        else:
            what = "Simulated receiver on %s" % receivers[target].slave
        lines.append("%s, reached as %s%s%s" % (what, port.upper(), when,
                                               " (listed as %s)" % listed[0] if listed else ""))
    return lines


def device_problem(path):
    """Why `path` cannot be the receiver's serial device, or None."""
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        return "cannot open %s: %s" % (path, error.strerror)
    try:
        termios.tcgetattr(descriptor)
    except termios.error:
        return "%s is not a serial device" % path
    finally:
        os.close(descriptor)
    return None


def main(argv):
    args = parse_arguments(argv)
    if args.device is not None:
        problem = device_problem(args.device)
        if problem:
            say("demo: %s; nothing was started." % problem)
            return 2
    if args.check_arguments:
        return 0

    try:
        arch, what_ran = choose_arch()
    except RigError as error:
        say("demo: cannot run Wine here: %s" % error)
        return 1
    build = Path(args.build_dir).resolve()
    exe = Path(args.exe) if args.exe else arch.exe(build)
    sim = Path(args.sim) if args.sim else build / "sim" / "sim" / "vantrel-sim"
    for path, what, preset in ((exe, arch.build, arch.preset), (sim, "vantrel-sim", "sim")):
        if not path.is_file():
            say("demo: %s not found: build %s with `cmake --preset %s && cmake --build --preset "
                "%s` (./vantrel demo does this itself)" % (path, what, preset, preset))
            return 1

    scenario = SCENARIOS[args.scenario]
    requested = args.model if args.model in MODEL_NAMES else 0
    other = other_model(requested)
    say("Vantrel demo: %s" % ("the receiver on " + args.device if args.device else args.scenario))
    say("  " + what_ran)
    if args.device:
        say("  Receiver: the real one on %s, through a relay that logs both directions"
            % args.device)
        say("  " + PORT1_WARNING)
    else:
        say("  Receiver: %s" % (scenario.demo.receiver % {"other": other}))
    # The run's other settings, with the model --model gives.
    settings = {"GpsPositionMode": ("dword", args.model)}
    settings.update((name, value) for name, value in (scenario.settings or {}).items()
                    if name != "GpsPositionMode")
    say("  Settings: " + ", ".join("%s = %s (%s)" % (k, v[1], "REG_DWORD" if v[0] == "dword"
                                                      else "REG_SZ")
                                   for k, v in settings.items()))
    if settings.get("DisableVantrel", ("dword", 0))[1]:
        say("  (DisableVantrel nonzero: the model stage is skipped, only the port is configured)")
    if args.model not in MODEL_NAMES:
        say("  (GpsPositionMode %d is not a model code: the program should send model 0)"
            % args.model)

    # The row's run as the tests run it, with these settings; a real
    # receiver stands in for the row's receivers, relayed as COM5.
    run = replace(scenario, settings=settings)
    if args.device:
        run = Run(exit_code=None, ack_lines=None, frames={}, settings=settings,
                  receivers={"a": ["--relay", args.device]})
    limit = DEVICE_LIMIT if args.device else run.limit(run.timeout)
    work = build / ("demo-" + arch.tag)
    run_dir = work / "run"
    run_dir.mkdir(parents=True, exist_ok=True)
    wine = Wine(work, arch, log=lambda text: say("  " + text))
    try:
        say("  Preparing Wine (a private prefix in %s) ..." % wine.prefix)
        wine.create_prefix(fresh=False)
        with receivers_ready(run, sim, wine, run_dir, settings, limit) as receivers:
            for line in reached(run, receivers, args.device):
                say("  " + line)
            say("  Running the program now.")
            say()
            code, elapsed, stopped = run_exe(run, wine, run_dir, exe, receivers, limit)
    except RigError as error:
        say("demo: the rig failed: %s" % error)
        return 1
    finally:
        wine.stop_server()

    crossing, this_run = account(receivers.get("a"), code, requested, ARROW)
    if crossing:
        for line in crossing:
            say(line)
        say()

    stdout = (run_dir / "stdout.bin").read_bytes()
    lines = describe_console(stdout)
    say("Console output (%d line%s, as bytes):" % (len(lines), "" if len(lines) == 1 else "s"))
    for line in lines:
        say("  " + line)
    if not lines:
        say("  (nothing)")
    if b"\r\r\n" in stdout:
        say("  (The program writes CR LF; its C runtime's text-mode output turns each LF into "
            "CR LF, hence CR CR LF.)")
    say()
    if stopped:
        say("The program was stopped after %.0f s, as the tests would stop it." % limit)
    say("Exit code %d after %.2f s. Code %d means: %s."
        % (code, elapsed, code, EXIT_MEANINGS.get(code, "nothing: Vantrel never returns it")))
    say(this_run)
    say(what_ran)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
