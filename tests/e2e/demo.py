#!/usr/bin/env python3
"""Shows one run of vantrel.exe under Wine against the simulated receiver,
in plain words: what crossed the line, what the program printed, and what
its exit code means.

  demo.py [SCENARIO] [--model N] [--build-dir DIR] [--exe PATH] [--sim PATH]

It runs the 32-bit vantrel.exe under 32-bit Wine where this kernel runs
32-bit programs, else the 64-bit build of the same sources under Wine's
64-bit loader (VANTREL_WINE_ARCH=32|64 forces either), and says which.
The Wine prefix lives in DIR/demo-wine32 or DIR/demo-wine64 (made on first
use, about 10 s, and reused afterwards); the wineserver is stopped when the
demo ends.
"""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from wine_rig import (EXIT_MEANINGS, MODEL_NAMES, RigError, SimReceiver, Wine,  # noqa: E402
                      choose_arch, describe_frame, hexs, registry_text)

REPO = Path(__file__).resolve().parents[2]

# name -> (what the receiver does, vantrel-sim arguments, settings changes)
SCENARIOS = {
    "ok": ("the receiver answers everything and takes the model", [], {}),
    "nak-port": ("the receiver refuses the port configuration (ACK-NAK)", ["--port", "nak"], {}),
    "nak-set": ("the receiver refuses the dynamic model (ACK-NAK), so no poll follows",
                ["--set", "nak"], {}),
    "mismatch": ("the receiver acknowledges the model but reports another one when polled",
                 ["--poll", "report-model=%(other)d"], {}),
    "silent": ("the receiver never says anything (the program gives up after about 75 s)",
               ["--silent"], {}),
    "disabled": ("DisableVantrel=1: only the port is configured", [],
                 {"DisableVantrel": ("dword", 1)}),
    "corrupt-poll": ("the poll response has a bad checksum",
                     ["--poll", "corrupt-response-checksum"], {}),
    "other-ack-first": ("an acknowledgement for another message comes before the model's",
                        ["--set", "foreign-ack-first"], {}),
    "no-port": ("nothing is listed and COM3 never appears (about 14 s of retries)", None, {}),
}

ARROW = "→" if (sys.stdout.encoding or "").lower().replace("-", "") in ("utf8",) else "->"


def say(text=""):
    print(text, flush=True)


def describe_console(data):
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return [repr(line + b"\n")[2:-1] for line in lines]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", nargs="?", default="ok", choices=sorted(SCENARIOS))
    parser.add_argument("--model", type=int, default=4,
                        help="GpsPositionMode written to the registry (REG_DWORD, default 4)")
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--exe", default=None,
                        help="default: BUILD/windows/vantrel.exe, or BUILD/windows-x64/vantrel.exe"
                             " under Wine's 64-bit loader")
    parser.add_argument("--sim", default=None, help="default: BUILD/sim/sim/vantrel-sim")
    args = parser.parse_args(argv)

    try:
        arch, what_ran = choose_arch()
    except RigError as error:
        say("demo: cannot run Wine here: %s" % error)
        return 1
    build = Path(args.build_dir).resolve()
    exe = Path(args.exe) if args.exe else arch.exe(build)
    sim = Path(args.sim) if args.sim else build / "sim" / "sim" / "vantrel-sim"
    for path, what in ((exe, "%s (cmake --build --preset %s)" % (arch.build, arch.preset)),
                       (sim, "vantrel-sim (cmake --build --preset sim)")):
        if not path.is_file():
            say("demo: %s not found: build %s" % (path, what))
            return 1
    if not 0 <= args.model <= 0xFFFFFFFF:
        say("demo: --model must fit a REG_DWORD")
        return 1

    about, sim_args, settings_extra = SCENARIOS[args.scenario]
    sanitised = args.model if args.model in MODEL_NAMES else 0
    other = 3 if sanitised != 3 else 4
    say("Vantrel demo: %s" % args.scenario)
    say("  " + what_ran)
    say("  Receiver: %s" % about)
    settings = {"GpsPositionMode": ("dword", args.model)}
    settings.update(settings_extra)
    say("  Settings: " + ", ".join("%s = %s (%s)" % (k, v[1], "REG_DWORD" if v[0] == "dword"
                                                      else "REG_SZ")
                                   for k, v in settings.items()))
    if args.model not in MODEL_NAMES:
        say("  (GpsPositionMode %d is not a model code: the program should send model 0)"
            % args.model)

    work = build / ("demo-" + arch.tag)
    work.mkdir(parents=True, exist_ok=True)
    run_dir = work / "run"
    run_dir.mkdir(exist_ok=True)
    wine = Wine(work, arch, log=lambda text: say("  " + text))
    receiver = None
    try:
        say("  Preparing Wine (a private prefix in %s) ..." % wine.prefix)
        wine.create_prefix(fresh=False)
        wine.clear_com_links()
        serial = {}
        if sim_args is not None:
            receiver = SimReceiver(sim, run_dir, "demo",
                                   [a % {"other": other} for a in sim_args] +
                                   ["--nmea-period-ms", "500"], max_seconds=200)
            wine.link("com5", receiver.slave)
            serial = {r"\Device\NmeaVcp2": ("sz", "COM5")}
            say("  Simulated receiver on %s, reached as COM5 (listed as \\Device\\NmeaVcp2)"
                % receiver.slave)
        wine.reg_import(registry_text(serial, settings), run_dir)
        say("  Running: the %s" % arch.proves)
        say()
        process, started = wine.start_program(exe, run_dir)
        process.wait(timeout=300)
        elapsed = time.monotonic() - started
    except RigError as error:
        say("demo: the rig failed: %s" % error)
        return 1
    finally:
        if receiver is not None:
            receiver.stop()
        wine.stop_server()

    if receiver is not None:
        say("What crossed the line (times from when the program set the line up):")
        opened = receiver.of("line-open")
        zero = opened[0]["t"] if opened else 0
        if not opened:
            say("  the program never opened the receiver's port")
        nmea_run = []

        def flush_nmea():
            if nmea_run:
                t0 = nmea_run[0][0]
                names = [text.split(",")[0].lstrip("$") for _, text in nmea_run]
                say("  %+7.3f s  receiver %s program: NMEA text (%s)"
                    % ((t0 - zero) / 1000.0, ARROW, ", ".join(names)))
                nmea_run.clear()

        for t, direction, kind, data in receiver.exchange():
            if kind == "nmea":
                nmea_run.append((t, data.decode("ascii", "replace").strip()))
                continue
            flush_nmea()
            who = ("program %s receiver" if direction == "to-receiver"
                   else "receiver %s program") % ARROW
            if kind == "ubx":
                text = describe_frame(data, direction)
            else:
                text = "%d other bytes: %s" % (len(data), hexs(data[:32]))
            say("  %+7.3f s  %s: %s" % ((t - zero) / 1000.0, who, text))
        flush_nmea()
        end = receiver.end()
        if end is not None and opened:
            model = end.get("model")
            say("  The receiver's dynamic model is now %s (%s)."
                % (model, MODEL_NAMES.get(model, "?")))
        say()

    stdout = (run_dir / "stdout.bin").read_bytes()
    lines = describe_console(stdout)
    say("Console output (%d line%s, as bytes):" % (len(lines), "" if len(lines) == 1 else "s"))
    for line in lines:
        say("  " + line)
    if not lines:
        say("  (nothing)")
    say()
    code = process.returncode
    say("Exit code %d after %.2f s: %s" % (code, elapsed, EXIT_MEANINGS.get(code, "not a code "
                                                                           "Vantrel returns")))
    say(what_ran)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
