"""Runs vantrel.exe once against a run's receivers (records.Run), as the
tests and the demo both do, and checks what the run must give."""

import re
import time
from contextlib import contextmanager

from tests.demo.account import account
from tests.frames import describe_frame, hexs
from tests.protocol import ACK_LINE, EXIT_MEANINGS
from tests.wine import RigError
from tests.wine.control import (KEEP_SETTINGS, SERIAL_KEY, SETTINGS_KEY, fallback_device,
                                registry_text)
from tests.wine.receiver import SimReceiver

from tests.e2e.records import RECEIVER_DEFAULTS


def print_exchange(receiver):
    for t, direction, kind, data in receiver.exchange():
        arrow = "program -> receiver" if direction == "to-receiver" else "receiver -> program"
        if kind == "ubx":
            text = describe_frame(data, direction)
        elif kind == "nmea":
            text = "NMEA " + data.decode("ascii", "replace").strip()
        else:
            text = "%d other bytes: %s" % (len(data), hexs(data[:24]) + (" ..." if len(data) > 24 else ""))
        print("    %7d ms  %s  %s" % (t, arrow, text))


@contextmanager
def receivers_ready(run, sim, wine, work, settings, limit):
    """The run's receivers (SimReceiver by name), each linked where the run
    links it at once, after the serial-device values and `settings`
    (KEEP_SETTINGS: the key as it is) are imported; stopped afterwards."""
    for port in run.absent:
        host = fallback_device(port)
        if host.exists():
            raise RigError("%s must be absent, but Wine would fall back to %s, which exists "
                           "on this host" % (port.upper(), host))
    receivers = {}
    try:
        for name in run.receivers:
            receivers[name] = SimReceiver(sim, work, name,
                                          RECEIVER_DEFAULTS + run.receiver_arguments(name),
                                          max_seconds=limit + 30)
        wine.clear_com_links()
        for port, target in run.links.items():
            if target == "directory":
                (work / "not-a-device").mkdir(exist_ok=True)
                wine.link(port, work / "not-a-device")
            else:
                wine.link(port, receivers[target].slave)
        if wine.arch.other_view and settings is not KEEP_SETTINGS:
            # What earlier scenarios left in either view. Wine's reg import
            # removes a [-KEY] from the 64-bit view even with /reg:32, so
            # the registry file below cannot be relied on for this.
            for view in (wine.arch.reg_view, wine.arch.other_view):
                wine.delete_key(SETTINGS_KEY, view=view, check=False)
        wine.reg_import(registry_text(run.serial, settings), work)
        yield receivers
    finally:
        for receiver in receivers.values():
            receiver.stop()


def run_exe(run, wine, work, exe, receivers, limit):
    """Runs `exe` once against the ready `receivers`, making the run's late
    links at their time, and stops it after `limit` seconds: its exit code,
    the seconds it took, and whether it was stopped."""
    if run.drop_serial_key:
        wine.delete_key(SERIAL_KEY)
    process = None
    try:
        pending = dict(run.late_links)
        process, started = wine.start_program(exe, work)
        timed_out = False
        while process.poll() is None:
            now = time.monotonic() - started
            for port, (target, delay) in list(pending.items()):
                if now >= delay:
                    wine.link(port, receivers[target].slave)
                    del pending[port]
            if now > limit:
                process.kill()
                timed_out = True
                break
            time.sleep(0.005)
        process.wait()
        return process.returncode, time.monotonic() - started, timed_out
    finally:
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        if run.drop_serial_key:
            # The key cannot come back in this session: start a new one.
            wine.restart_server()


def run_program(run, args, wine, work, exe, checks, settings, timeout, bundle=None,
                bundle_settings=None):
    """Runs `exe` once against the run's receivers, after importing the
    serial-device values and `settings` (KEEP_SETTINGS: the key as it is),
    and then `bundle_settings`, the settings file of the release bundle
    `bundle`, where it runs; and checks what the run must give. The program
    may take `timeout` seconds beyond the run's fixed time."""
    limit = run.limit(timeout)
    views = {}  # registry view -> `reg query` of the settings key in it, where there are two
    with receivers_ready(run, args.sim, wine, work, settings, limit) as receivers:
        if bundle_settings:
            wine.reg_import_file(bundle_settings, with_regedit=bundle.by_regedit)
            if args.arch.other_view:
                views = {view: wine.query(SETTINGS_KEY, check=False, view=view)
                         for view in (args.arch.reg_view, args.arch.other_view)}
        exit_code, elapsed, timed_out = run_exe(run, wine, work, exe, receivers, limit)

    stdout = (work / "stdout.bin").read_bytes()
    print("  %s: exit %d after %.2f s" % (exe, exit_code, elapsed))
    for name, receiver in receivers.items():
        print("  receiver %s (%s, %s):" % (name, receiver.slave, " ".join(receiver.args)))
        print_exchange(receiver)

    if views:
        landed = args.arch.other_view if bundle.by_regedit else args.arch.reg_view
        missed = args.arch.reg_view if bundle.by_regedit else args.arch.other_view
        value = r"GpsPositionMode\s+REG_DWORD\s+0x%x\b" % bundle.model
        checks.expect(re.search(value, views[landed] or "") is not None,
                      "the import put GpsPositionMode=%d in the %s view of %s"
                      % (bundle.model, landed, SETTINGS_KEY),
                      "reg query %s shows: %r" % (landed, views[landed]))
        checks.expect(views[missed] is None,
                      "the %s view has no %s (the program reads %s)"
                      % (missed, SETTINGS_KEY, args.arch.reg_view),
                      "reg query %s shows: %r" % (missed, views[missed]))
    checks.expect(not timed_out, "the program ended by itself (limit %.0f s)" % timeout)
    checks.expect(exit_code == run.exit_code,
                  "exit code %d (%s)" % (run.exit_code, EXIT_MEANINGS.get(run.exit_code, "?")),
                  "got %d (%s)" % (exit_code, EXIT_MEANINGS.get(exit_code, "not a Vantrel code")))
    wanted_stdout = ACK_LINE * run.ack_lines
    checks.expect(stdout == wanted_stdout,
                  "stdout is %d acknowledgement line(s), byte for byte" % run.ack_lines,
                  "got %r" % stdout)
    for name, frames in run.frames.items():
        receiver = receivers[name]
        got = receiver.frames()
        if frames:
            checks.expect(got == frames, "receiver %s got %d frame(s), in order: %s" % (
                name, len(frames), "; ".join(describe_frame(f, "to-receiver") for f in frames)),
                "got: " + "\n        ".join(hexs(f) for f in got) if got else "got no frame")
            raw = receiver.received_bytes()
            checks.expect(raw == b"".join(frames),
                          "receiver %s got nothing besides those frames" % name,
                          "raw bytes: " + hexs(raw))
        else:
            checks.expect(not receiver.opened() and not receiver.received_bytes(),
                          "receiver %s was never set up nor written to" % name,
                          "opened: %s, bytes: %s" % (receiver.opened(),
                                                     hexs(receiver.received_bytes())))
    for name, model in run.final_model.items():
        end = receivers[name].end()
        checks.expect(end is not None and end.get("model") == model,
                      "receiver %s ends with dynamic model %d" % (name, model),
                      "transcript end: %r" % (end,))
    for name, receiver in receivers.items():
        end = receiver.end()
        checks.expect(end is not None and end.get("reason") == "SIGTERM",
                      "receiver %s ran until the harness stopped it" % name,
                      "transcript end: %r" % (end,))
    if run.elapsed:
        low, high = run.elapsed
        checks.expect(low <= elapsed <= high,
                      "run took between %.1f and %.1f s" % (low, high), "took %.2f s" % elapsed)
    if run.at_least is not None:
        checks.expect(elapsed >= run.at_least, "run took at least %.1f s" % run.at_least,
                      "took %.2f s" % elapsed)
    if run.demo_says:
        crossing, this_run = account(receivers["a"], exit_code, run.requested_model(), arrow="->")
        told = crossing + [this_run]
        for pattern in run.demo_says:
            checks.expect(any(re.search(pattern, line) for line in told),
                          "the demo's account has a line matching %s" % pattern,
                          "it says:\n          " + "\n          ".join(told))
