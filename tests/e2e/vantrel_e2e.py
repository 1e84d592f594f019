#!/usr/bin/env python3
"""vantrel.exe end to end: under Wine, against the simulated receiver on a pty.

  vantrel_e2e.py list                       scenarios as "name|label,label|timeout|fixture" lines
  vantrel_e2e.py setup    [common options]  fresh prefix, wineserver kept alive
  vantrel_e2e.py run NAME [common options]  one scenario; exit status 0 = pass
  vantrel_e2e.py cleanup  [common options]  stops the wineserver

Common options: --work-dir DIR (prefix and run artefacts), --exe vantrel.exe
(the 32-bit product), --exe64 (the 64-bit build of the same sources),
--sim vantrel-sim, --arch auto|32|64 (default: $VANTREL_WINE_ARCH, else
auto: the 32-bit exe under 32-bit Wine where this kernel runs 32-bit
programs, otherwise the 64-bit build under Wine's 64-bit loader),
--keep-alive (a 64-bit run that keeps the fallback from rotting where the
main scenarios run 32-bit; skipped, exit 77, where they already run 64-bit),
--both-views (the 32-bit exe in a 64-bit prefix, where both registry views
exist, as on 64-bit Windows; skipped, exit 77, where the kernel runs no
32-bit programs),
--allow-skip (exit 77 instead of failing when Wine or vantrel.exe is missing).
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "exe"))

from wine_rig import (ACK_LINE, ARCHES, CFG_PRT_FRAME, EXIT_MEANINGS, MODEL_NAMES,  # noqa: E402
                      KEEP_SETTINGS, NAV5_POLL_FRAME, SERIAL_KEY, SETTINGS_KEY, WOW64, RigError,
                      SimReceiver, Wine, choose_arch, describe_frame, fallback_device, hexs,
                      kernel_runs_32bit_programs, nav5_set_frame, registry_text)
import msi_package  # noqa: E402
import pe_version  # noqa: E402
import release  # noqa: E402
import sign  # noqa: E402
import throwaway_signer  # noqa: E402
import demo  # noqa: E402
from check_release_bundle import task_definition  # noqa: E402

SKIP = 77
REPO = Path(__file__).resolve().parents[2]

VCP2 = r"\Device\NmeaVcp2"
VCP1 = r"\Device\NmeaVcp1"
VCP0 = r"\Device\NmeaVcp0"

# NMEA four times a second keeps the wait for the first sentence short.
RECEIVER_DEFAULTS = ["--nmea-period-ms", "250"]

# How long one open of a device that never appears keeps the program
# retrying: 141 attempts, 100 ms apart.
NEVER_APPEARS_S = 14.1
HUNT_S = 25.05  # 501 passes of 50 ms on a silent line


def dword(value):
    return ("dword", value)


def sz(text):
    return ("sz", text)


def model_settings(model):
    return {"GpsPositionMode": dword(model)}


def full_run(model):
    """The frames of a complete run that sets and confirms `model`."""
    return [CFG_PRT_FRAME, nav5_set_frame(model), NAV5_POLL_FRAME]


@dataclass
class Scenario:
    name: str
    about: str
    exit_code: int
    ack_lines: int
    # receiver name -> frames it must get, in order ([] = never opened)
    frames: dict
    # receiver name -> extra vantrel-sim arguments
    receivers: dict = field(default_factory=lambda: {"a": []})
    # dosdevices link -> receiver name, or "directory" (opens with access denied)
    links: dict = field(default_factory=lambda: {"com5": "a"})
    # dosdevices link -> (receiver name, seconds after the program starts)
    late_links: dict = field(default_factory=dict)
    # ports whose device must be absent (no link, no host fallback device)
    absent: tuple = ()
    serial: dict = field(default_factory=lambda: {VCP2: sz("COM5")})
    settings: object = field(default_factory=lambda: model_settings(4))
    drop_serial_key: bool = False
    # receiver name -> the model it must hold at the end
    final_model: dict = field(default_factory=dict)
    elapsed: tuple = None  # (low, high) seconds, where the time is fixed
    at_least: float = None  # seconds the run cannot be shorter than
    slow: bool = False
    timeout: float = 30.0
    # Also run on the 64-bit build where the main scenarios run 32-bit.
    keep_alive: bool = False
    # Run the release bundle made from the 32-bit exe, with its settings
    # file imported after the scenario's registry, GpsPositionMode set to this.
    bundle_model: int = None
    # That bundle signed with a throwaway certificate, as ./vantrel release
    # signs with VANTREL_SIGN_PFX.
    signed_bundle: bool = False
    # Patterns that lines of the demo's account of this run (of receiver a)
    # must match, each at least one line.
    demo_says: tuple = ()
    # ... imported the way double-clicking it would, with regedit /s, rather
    # than with reg import FILE /reg:32.
    bundle_by_regedit: bool = False
    # Run only in a 64-bit prefix with the 32-bit exe, where both registry
    # views exist (not in the main prefix, which has one).
    both_views: bool = False
    # An installer story (INSTALLER_STORIES): the package installed in a
    # prefix of its own, the installed exe run where the story says.
    installer: str = None
    # Any other story (STORIES), which makes what it needs itself.
    story: str = None


def build_scenarios():
    s = []

    # -- happy runs: every accepted model code is sent and confirmed -------
    for model in (0, 2, 3, 4, 5, 6, 7, 8):
        s.append(Scenario(
            "model_%d" % model, "GpsPositionMode=%d: the model is set and read back" % model,
            exit_code=0, ack_lines=3, frames={"a": full_run(model)},
            settings=model_settings(model), final_model={"a": model}, keep_alive=model == 4))
    for stored in (1, 9, 0x104):
        s.append(Scenario(
            "model_sanitised_%d" % stored,
            "GpsPositionMode=%d is not a model code: model 0 is sent" % stored,
            exit_code=0, ack_lines=3, frames={"a": full_run(0)},
            receivers={"a": ["--initial-model", "4"]},
            settings=model_settings(stored), final_model={"a": 0}))

    # -- exit codes from receiver behaviour ---------------------------------
    s.append(Scenario(
        "exit1_port_nak", "the receiver refuses CFG-PRT with ACK-NAK",
        exit_code=1, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--port", "nak"]},
        demo_says=(r"^In this run: the receiver refused the port configuration \(ACK-NAK\); the "
                   r"model stage ran all the same: model 4 \(automotive\) was set, and when "
                   r"polled the receiver reported it: confirmed equal\.$",)))
    s.append(Scenario(
        "exit4_model_mismatch", "the poll reports model 3 where 4 was set",
        exit_code=4, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--poll", "report-model=3"]},
        demo_says=(r"^  When polled, the receiver reported dynamic model 3 \(pedestrian\)\.$",
                   r"^  \(The simulator's own state, .*: it holds model 4 \(automotive\)\.\)$")))
    s.append(Scenario(
        "exit5_port_nak_and_mismatch", "CFG-PRT refused and the poll reports model 3",
        exit_code=5, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--port", "nak", "--poll", "report-model=3"]}, keep_alive=True))
    s.append(Scenario(
        "exit6_disabled", "DisableVantrel=1: only the port is configured",
        exit_code=6, ack_lines=1, frames={"a": [CFG_PRT_FRAME]},
        settings={"DisableVantrel": dword(1), "GpsPositionMode": dword(4)},
        final_model={"a": 0}, keep_alive=True))
    s.append(Scenario(
        "exit7_disabled_port_nak", "DisableVantrel=1 and CFG-PRT refused",
        exit_code=7, ack_lines=1, frames={"a": [CFG_PRT_FRAME]},
        receivers={"a": ["--port", "nak"]},
        settings={"DisableVantrel": dword(1), "GpsPositionMode": dword(4)}))
    s.append(Scenario(
        "exit2_missing_serial_key",
        "no serial-device key: exit 2 at once, COM3 not even tried",
        exit_code=2, ack_lines=0, frames={"d": []}, receivers={"d": []},
        links={"com3": "d"}, serial={}, drop_serial_key=True, elapsed=(0.0, 3.0)))
    s.append(Scenario(
        "exit2_no_device", "nothing listed and COM3 never appears: ~14.1 s of retries",
        exit_code=2, ack_lines=0, frames={}, receivers={}, links={}, serial={},
        absent=("com3",), elapsed=(NEVER_APPEARS_S - 0.6, NEVER_APPEARS_S + 5.0),
        slow=True, timeout=45))

    # -- finding the port ------------------------------------------------------
    every = {"a": [], "b": [], "c": [], "d": []}
    every_link = {"com5": "a", "com6": "b", "com7": "c", "com3": "d"}
    s.append(Scenario(
        "port_vcp2_first", "NmeaVcp2 wins over NmeaVcp1, NmeaVcp0 and COM3",
        exit_code=0, ack_lines=3,
        frames={"a": full_run(4), "b": [], "c": [], "d": []},
        receivers=every, links=every_link,
        serial={VCP0: sz("COM7"), VCP1: sz("COM6"), VCP2: sz("COM5")}))
    s.append(Scenario(
        "port_vcp1_next", "without NmeaVcp2, NmeaVcp1 wins over NmeaVcp0 and COM3",
        exit_code=0, ack_lines=3,
        frames={"a": [], "b": full_run(4), "c": [], "d": []},
        receivers=every, links=every_link, serial={VCP0: sz("COM7"), VCP1: sz("COM6")},
        keep_alive=True))
    s.append(Scenario(
        "port_vcp0_next", "with only NmeaVcp0 listed it wins over COM3",
        exit_code=0, ack_lines=3,
        frames={"a": [], "b": [], "c": full_run(4), "d": []},
        receivers=every, links=every_link, serial={VCP0: sz("COM7")}))
    s.append(Scenario(
        "port_com3_fallback", "no candidate listed: COM3",
        exit_code=0, ack_lines=3,
        frames={"a": [], "b": [], "c": [], "d": full_run(4)},
        receivers=every, links=every_link, serial={}))
    s.append(Scenario(
        "port_dword_candidate_skipped",
        "NmeaVcp2 as REG_DWORD is no port name: NmeaVcp1 is used",
        exit_code=0, ack_lines=3, frames={"a": [], "b": full_run(4)},
        receivers={"a": [], "b": []}, links={"com5": "a", "com6": "b"},
        serial={VCP2: dword(5), VCP1: sz("COM6")}))
    s.append(Scenario(
        "port_unopenable_candidate_skipped",
        "NmeaVcp2 names a port that opens with access denied: NmeaVcp1 at once",
        exit_code=0, ack_lines=3, frames={"b": full_run(4)},
        receivers={"b": []}, links={"com9": "directory", "com6": "b"},
        serial={VCP2: sz("COM9"), VCP1: sz("COM6")}, elapsed=(0.0, 5.0)))
    s.append(Scenario(
        "port_absent_candidate_costs_retries",
        "NmeaVcp2 names a device that never appears: ~14.1 s, then NmeaVcp1",
        exit_code=0, ack_lines=3, frames={"b": full_run(4)},
        receivers={"b": []}, links={"com6": "b"}, absent=("com8",),
        serial={VCP2: sz("COM8"), VCP1: sz("COM6")},
        elapsed=(NEVER_APPEARS_S - 0.6, NEVER_APPEARS_S + 6.0), slow=True, timeout=50))
    s.append(Scenario(
        "port_appears_late", "the device appears 1 s after the program starts",
        exit_code=0, ack_lines=3, frames={"a": full_run(4)},
        links={}, late_links={"com5": ("a", 1.0)}, at_least=1.0))

    # -- settings ----------------------------------------------------------------
    s.append(Scenario(
        "settings_missing", "no settings key: model 0, model stage on",
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, final_model={"a": 0}))
    s.append(Scenario(
        "settings_model_as_string", 'GpsPositionMode as REG_SZ "4" is ignored: model 0',
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]},
        settings={"GpsPositionMode": sz("4")}, final_model={"a": 0}, keep_alive=True))
    s.append(Scenario(
        "settings_model_as_binary",
        "GpsPositionMode as REG_BINARY 04 00 00 00 is ignored: model 0",
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]},
        settings={"GpsPositionMode": ("binary", b"\x04\x00\x00\x00")}, final_model={"a": 0}))
    s.append(Scenario(
        "settings_disable_as_string", 'DisableVantrel as REG_SZ "1" does not disable',
        exit_code=0, ack_lines=3, frames={"a": full_run(7)},
        settings={"DisableVantrel": sz("1"), "GpsPositionMode": dword(7)},
        final_model={"a": 7}))
    s.append(Scenario(
        "settings_disable_zero", "DisableVantrel=0 leaves the model stage on",
        exit_code=0, ack_lines=3, frames={"a": full_run(2)},
        settings={"DisableVantrel": dword(0), "GpsPositionMode": dword(2)},
        final_model={"a": 2}))

    # -- what the receiver sends --------------------------------------------------
    s.append(Scenario(
        "set_nak_no_poll", "the model set is refused: no poll follows, exit 0",
        exit_code=0, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--set", "nak"]}, final_model={"a": 0},
        demo_says=(r"^In this run: the port configuration was acknowledged; the receiver "
                   r"refused the model set \(ACK-NAK\), so no poll followed: model 4 "
                   r"\(automotive\) is not set\.$",)))
    s.append(Scenario(
        "poll_response_corrupt",
        "the poll response (reporting model 7) has a bad checksum: not believed",
        exit_code=0, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--poll", "corrupt-response-checksum", "--poll", "report-model=7"]}))
    s.append(Scenario(
        "port_ack_for_other_first",
        "an ACK-ACK for CFG-MSG comes before CFG-PRT's: the set's wait takes a second turn",
        exit_code=0, ack_lines=4, frames={"a": full_run(4)},
        receivers={"a": ["--port", "foreign-ack-first"]}, final_model={"a": 4}))
    s.append(Scenario(
        "set_ack_for_other_first",
        "an ACK-ACK for CFG-MSG comes before the set's: a second wait finds it",
        exit_code=0, ack_lines=4, frames={"a": full_run(5)},
        receivers={"a": ["--set", "foreign-ack-first"]},
        settings=model_settings(5), final_model={"a": 5}))
    s.append(Scenario(
        "poll_other_frames_first",
        "an ACK for CFG-MSG before the poll response; the mismatch is still seen",
        exit_code=4, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--poll", "foreign-ack-first", "--poll", "report-model=6"]}))
    s.append(Scenario(
        "sync_runs", "every answer starts with a run of extra B5 bytes",
        exit_code=4, ack_lines=3, frames={"a": full_run(3)},
        receivers={"a": ["--port", "sync-run=5", "--set", "sync-run=3",
                         "--poll", "sync-run=7", "--poll", "report-model=8"]},
        settings=model_settings(3)))
    s.append(Scenario(
        "frames_inside_nmea", "every answer is embedded in the text of an NMEA sentence",
        exit_code=4, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--port", "inside-nmea", "--set", "inside-nmea",
                         "--poll", "inside-nmea", "--poll", "report-model=2"]},
        settings=model_settings(6)))
    s.append(Scenario(
        "slow_answers",
        "every answer leaves 400 ms late, and the poll's ACK 300 ms after its response",
        exit_code=0, ack_lines=3, frames={"a": full_run(8)},
        receivers={"a": ["--reply-delay-ms", "400",
                         "--poll", "pause-after-byte=44", "--poll", "pause-ms=300"]},
        settings=model_settings(8), final_model={"a": 8}, at_least=1.5))
    s.append(Scenario(
        "silent_receiver",
        "a receiver that never says anything: NMEA wait, CFG-PRT wait, set wait, ~75 s",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--silent"]},
        elapsed=(3 * HUNT_S - 3.0, 3 * HUNT_S + 12.0), slow=True, timeout=120,
        # Each frame at its own time: a whole acknowledgement wait apart.
        demo_says=(r"^ *\+2[5-9]\.\d{3} s  program -> receiver: CFG-PRT ",
                   r"^ *\+[56]\d\.\d{3} s  program -> receiver: CFG-NAV5 set",
                   r"^In this run: the port configuration was not acknowledged \(no answer "
                   r"within the wait\); the model stage ran all the same: the model set was "
                   r"not acknowledged \(no answer within the wait\), so no poll followed: "
                   r"model 4 \(automotive\) is not confirmed\.$")))

    # -- how real receivers are wired and configured ------------------------------
    s.append(Scenario(
        "legacy_refused", "newer firmware refuses CFG-PRT and CFG-NAV5 with ACK-NAK: exit 1",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--refuse-legacy"]}, final_model={"a": 0},
        demo_says=(r"^  This receiver refuses the legacy CFG-PRT and CFG-NAV5 messages with "
                   r"ACK-NAK",)))
    s.append(Scenario(
        "uart1_host",
        "the host on the receiver's UART1: the CFG-PRT silences it, exit 1 after two waits",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--host-port", "uart1"]}, final_model={"a": 0},
        elapsed=(2 * HUNT_S - 2.0, 2 * HUNT_S + 10.0), slow=True, timeout=90,
        demo_says=(r"^  The receiver stopped talking after the CFG-PRT: it applied it to its "
                   r"port 1, and port 1 was the host's own line",
                   r"It stays silent until it restarts",
                   r"^  It took in none of the 1 frame the program sent after that\.$")))
    s.append(Scenario(
        "factory_baud",
        "the receiver's UART1 at the factory 9600 baud: only framing-error bytes, exit 1",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--host-port", "uart1", "--uart-baud", "9600"]}, final_model={"a": 0},
        # The NMEA wait gives up after 80 reads of garbage (some 10 to 20 s,
        # as the bursts fall into reads), before the two acknowledgement waits.
        elapsed=(2 * HUNT_S, 2 * HUNT_S + 30.0), slow=True, timeout=110,
        demo_says=(r"^  The receiver's UART1 runs at 9600 baud and the program listens at "
                   r"115200: what reached the program was only bytes with framing errors",)))
    s.append(Scenario(
        "demo_real_device",
        "./vantrel demo --device PATH against the simulated receiver on a pty as the device: "
        "the warning, both directions decoded, the exit code explained; a path that is no "
        "serial device refused",
        exit_code=0, ack_lines=0, frames={}, receivers={}, settings=None,
        story="demo_real_device", timeout=120))

    # -- the release bundle -------------------------------------------------------
    s.append(Scenario(
        "bundle_settings_file",
        "the release bundle's vantrel-settings.reg with the model changed to 6, imported "
        "as INSTALL.txt says: the bundled exe sends model 6",
        exit_code=0, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, bundle_model=6,
        final_model={"a": 6}, keep_alive=True))
    s.append(Scenario(
        "bundle_signed",
        "the release bundle signed with a throwaway CA's code-signing certificate: the "
        "signed exe verifies against that CA, starts and sends model 2",
        exit_code=0, ack_lines=3, frames={"a": full_run(2)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, bundle_model=2,
        signed_bundle=True, final_model={"a": 2}))
    # 64-bit Windows has two registry views; the 32-bit program reads the
    # 32-bit one, and only reg's /reg:32 writes there.
    s.append(Scenario(
        "bundle_reg32_reaches_program",
        "64-bit prefix: the bundle's vantrel-settings.reg (model 6) imported with "
        "reg import /reg:32 lands in the 32-bit view: the bundled exe sends model 6",
        exit_code=0, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, bundle_model=6,
        final_model={"a": 6}, both_views=True))
    s.append(Scenario(
        "bundle_regedit_misses_program",
        "64-bit prefix: the same file imported with regedit /s (as a double-click "
        "does) lands in the 64-bit view: the bundled exe sends the default model 0",
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, bundle_model=6,
        bundle_by_regedit=True, final_model={"a": 0}, both_views=True))

    # -- the Windows Installer package, each story in a prefix of its own --------
    s.append(Scenario(
        "msi_install_with_model",
        "msiexec /i /qn GPSPOSITIONMODE=6: the exe, the REG_DWORD, the start-up task; the "
        "installed exe sends model 6; a repair keeps it, or writes a given one; msiexec /x "
        "removes all but the settings",
        exit_code=0, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, final_model={"a": 6},
        installer="install_with_model", timeout=120, keep_alive=True))
    s.append(Scenario(
        "msi_install_keeps_existing_value",
        "a hand-set GpsPositionMode=3 and DisableVantrel as REG_SZ, no property, INSTALLDIR "
        "elsewhere in Program Files: values untouched, the task follows the exe, a repair keeps "
        "the folder; then STARTUPTASK=0: no task, nor after a repair",
        exit_code=0, ack_lines=3, frames={"a": full_run(3)},
        receivers={"a": ["--initial-model", "4"]},
        settings={"GpsPositionMode": dword(3), "DisableVantrel": sz("1")}, final_model={"a": 3},
        installer="install_keeps_existing_value", timeout=120))
    s.append(Scenario(
        "msi_upgrade_and_downgrade",
        "the project version with GPSPOSITIONMODE=6 in another folder, the task turned off by "
        "a repair, then the same sources as a newer version with no property: one product, "
        "the new exe in the same folder, still no task, settings kept; a repair turns the task "
        "on; the older version is then refused",
        exit_code=0, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, final_model={"a": 6},
        installer="upgrade_and_downgrade", timeout=180))
    s.append(Scenario(
        "msi_refusals_and_rollback",
        "every bad property value and a folder outside Program Files are refused before "
        "anything changes; an install and an upgrade that fail after the task is registered "
        "and a setting written roll back",
        exit_code=0, ack_lines=0, frames={}, receivers={}, settings=None,
        installer="refusals_and_rollback", timeout=240))
    s.append(Scenario(
        "msi_windows_script",
        "tests/windows/check_package.cmd, the walk for the first real Windows machine, under "
        "Wine: install with a model, repairs, upgrade, uninstall, STARTUPTASK=0 in a folder "
        "of its own, a refused folder",
        exit_code=0, ack_lines=0, frames={}, receivers={}, settings=None,
        installer="windows_script", timeout=300))
    return s


SCENARIOS = {sc.name: sc for sc in build_scenarios()}


# ---------------------------------------------------------------------------

def common_arguments(parser):
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--exe", default=None)
    parser.add_argument("--exe64", default=None)
    parser.add_argument("--sim", default=None)
    parser.add_argument("--arch", default=None, choices=("auto",) + tuple(ARCHES))
    parser.add_argument("--keep-alive", action="store_true")
    parser.add_argument("--both-views", action="store_true")
    parser.add_argument("--allow-skip", action="store_true")


def resolve_arch(args):
    """Settles args.arch (a WineArch) and args.exe_to_run; None, or the exit
    status when the run is to end here (keep-alive runs already covered)."""
    if args.both_views:
        if not kernel_runs_32bit_programs():
            print("e2e: SKIPPED: the 32-bit exe in a 64-bit prefix needs a kernel that runs "
                  "32-bit programs and 32-bit Wine, and this machine has not both")
            return SKIP
        args.arch = WOW64
    elif args.keep_alive:
        main_arch, _ = choose_arch()
        if main_arch.bits == 64:
            print("e2e: SKIPPED: the main scenarios already run the 64-bit build here")
            return SKIP
        args.arch = ARCHES["64"]
    else:
        args.arch, line = choose_arch(args.arch)
        print(line)
    args.exe_to_run = args.exe if args.arch.program_bits == 32 else args.exe64
    return None


def unavailable(args, need_exe):
    """Why the rig cannot run here, or None."""
    problems = []
    for tool in (args.arch.loader, args.arch.server):
        if shutil.which(tool) is None:
            problems.append("%s not found (install it: %s, or ./vantrel deps)"
                            % (tool, args.arch.install))
    if need_exe:
        exe = args.exe_to_run
        if not exe or not Path(exe).is_file():
            problems.append("%s not found at %s (build it: cmake --preset %s && "
                            "cmake --build --preset %s)"
                            % (args.arch.build, exe, args.arch.preset,
                               args.arch.preset))
        if not args.sim or not Path(args.sim).is_file():
            problems.append("vantrel-sim not found at %s (build the native tree)" % args.sim)
    return problems


def refuse(args, problems):
    for p in problems:
        print("e2e: " + p)
    if args.allow_skip:
        print("e2e: SKIPPED (VANTREL_E2E_SKIP_UNAVAILABLE is on)")
        return SKIP
    print("e2e: FAILED: the end-to-end rig is not available")
    return 1


def rig_for(args):
    return Wine(Path(args.work_dir) / "wine", args.arch)


def command_setup(args):
    problems = unavailable(args, need_exe=False)
    if problems:
        return refuse(args, problems)
    wine = rig_for(args)
    wine.create_prefix(fresh=True)
    listing = wine.query(SERIAL_KEY)
    print(listing.strip())
    print("wineserver running for %s" % wine.prefix)
    return 0


def command_cleanup(args):
    if shutil.which(args.arch.server) is None:
        return refuse(args, ["%s not found" % args.arch.server])
    rig_for(args).stop_server()
    print("wineserver stopped")
    return 0


class Checks:
    def __init__(self):
        self.failures = []
        self.passed = 0

    def expect(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print("  ok    %s" % what)
        else:
            self.failures.append(what)
            print("  FAIL  %s%s" % (what, ("\n        " + detail) if detail else ""))


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


def throwaway_signer_for(work):
    """A signer as ./vantrel release makes one from its environment, with
    a certificate made for this run; and the CA that certificate verifies
    against."""
    try:
        certificate = throwaway_signer.make(work / "certificate", "throwaway")
        signer, _ = sign.from_environment({sign.PFX: str(certificate.pfx),
                                           sign.PASSWORD: certificate.password})
    except (throwaway_signer.CertificateError, sign.SignError) as error:
        raise RigError(str(error)) from None
    return signer, certificate.ca


def signature_check(exe, ca, which):
    ok, last, output = throwaway_signer.verify(exe, ca)
    return (ok and "Signature verification: ok" in output,
            "%s carries a signature that verifies against the throwaway CA" % which,
            "osslsigncode verify: %s\n%s" % (last, output))


def unpack_bundle(args, work, model, signed, by_regedit=False):
    """Makes the release bundle from the 32-bit exe (signed, if `signed`)
    and unpacks it in `work`, with a copy of its settings file holding
    `model` (to be imported with regedit /s if `by_regedit`). Returns the exe to run, that settings file, and the checks of
    the exe's signature as Checks.expect's arguments."""
    if not args.exe or not Path(args.exe).is_file():
        raise RigError("the bundle is made from the 32-bit vantrel.exe, not found at %s" % args.exe)
    unpacked = work / "bundle"
    signer, ca = throwaway_signer_for(work) if signed else (None, None)
    _, bundle = release.make_release(args.exe, work, signer)
    with zipfile.ZipFile(bundle) as archive:
        archive.extractall(unpacked)
    original = (unpacked / "vantrel-settings.reg").read_bytes().decode("ascii")
    edited, count = re.subn(r'^("GpsPositionMode"=dword:)[0-9a-fA-F]{8}',
                            lambda m: m.group(1) + "%08x" % model, original, flags=re.M)
    if count != 1:
        raise RigError("the bundle's vantrel-settings.reg sets GpsPositionMode %d times" % count)
    settings = work / "vantrel-settings.reg"
    settings.write_bytes(edited.encode("ascii"))
    signature = ([signature_check(unpacked / "vantrel.exe", ca, "the bundle's vantrel.exe")]
                 if signed else [])
    if args.arch.program_bits == 32:
        print("  running the bundle's %svantrel.exe; its vantrel-settings.reg, model changed "
              "to %d, imported with %s"
              % ("signed " if signed else "", model,
                 "regedit /s vantrel-settings.reg" if by_regedit else
                 "reg import vantrel-settings.reg " + args.arch.reg_view))
        return unpacked / "vantrel.exe", settings, signature
    exe = Path(args.exe_to_run)
    if signed:
        (work / "x64").mkdir()
        exe = signer.sign_copy(exe, work / "x64" / "vantrel.exe")
        signature.append(signature_check(exe, ca, "the signed copy of the %s" % args.arch.build))
    print("  Wine's 64-bit loader cannot start the bundle's 32-bit vantrel.exe: its "
          "vantrel-settings.reg, model changed to %d, goes with the %s%s instead, imported "
          "with %s, the view that build reads"
          % (model, args.arch.build, ", signed the same way," if signed else "",
             args.arch.reg_view))
    return exe, settings, signature


def run_scenario(sc, args):
    problems = unavailable(args, need_exe=True)
    if problems:
        return refuse(args, problems)
    if sc.both_views != (args.arch.other_view is not None):
        print("e2e: %s runs %s" % (sc.name, "with --both-views only" if sc.both_views
                                   else "in a prefix with one registry view only"))
        return 1
    work = Path(args.work_dir).resolve() / "runs" / sc.name
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    for port in sc.absent:
        host = fallback_device(port)
        if host.exists():
            print("e2e: %s must be absent, but Wine would fall back to %s, which exists on "
                  "this host" % (port.upper(), host))
            return 1

    print("scenario %s: %s" % (sc.name, sc.about))
    print("  running the %s" % args.arch.proves)
    checks = Checks()
    started = time.monotonic()
    if sc.installer:
        wine = installer_prefix(args, work)
        INSTALLER_STORIES[sc.installer](sc, args, wine, work, checks)
    elif sc.story:
        STORIES[sc.story](sc, args, work, checks)
    else:
        wine = rig_for(args)
        if not (wine.prefix / "dosdevices").is_dir():
            print("e2e: no Wine prefix at %s: the e2e_wine_setup fixture did not run" % wine.prefix)
            return 1
        exe, bundle_settings = args.exe_to_run, None
        if sc.bundle_model is not None:
            exe, bundle_settings, signature = unpack_bundle(args, work, sc.bundle_model,
                                                            sc.signed_bundle, sc.bundle_by_regedit)
            for check in signature:
                checks.expect(*check)
        run_program(sc, args, wine, work, exe, checks, sc.settings, bundle_settings)

    result = {"scenario": sc.name, "elapsed": round(time.monotonic() - started, 3),
              "passed": not checks.failures, "failures": checks.failures}
    (work / "result.json").write_text(json.dumps(result, indent=1) + "\n")
    if checks.failures:
        print("scenario %s FAILED (%d of %d checks); artefacts in %s"
              % (sc.name, len(checks.failures), len(checks.failures) + checks.passed, work))
        return 1
    if sc.installer:
        # A passed installer scenario's prefix (some 600 MB) has told all it can.
        wine.stop_server()
        shutil.rmtree(wine.root)
    print("scenario %s passed (%d checks, %.2f s)" % (sc.name, checks.passed, result["elapsed"]))
    return 0


def run_program(sc, args, wine, work, exe, checks, settings, extra_settings=None):
    """Runs `exe` once against the scenario's receivers, after importing the
    serial-device values and `settings` (KEEP_SETTINGS: the key as it is),
    and checks what the scenario expects of the run."""
    longest = (sc.elapsed[1] if sc.elapsed else 0) + sc.timeout + 30
    receivers = {}
    process = None
    dropped_key = False
    views = {}  # registry view -> `reg query` of the settings key in it, where there are two
    try:
        for name, extra in sc.receivers.items():
            receivers[name] = SimReceiver(args.sim, work, name, RECEIVER_DEFAULTS + extra,
                                          max_seconds=longest)
        wine.clear_com_links()
        for port, target in sc.links.items():
            if target == "directory":
                (work / "not-a-device").mkdir()
                wine.link(port, work / "not-a-device")
            else:
                wine.link(port, receivers[target].slave)
        if args.arch.other_view and settings is not KEEP_SETTINGS:
            # What earlier scenarios left in either view. Wine's reg import
            # removes a [-KEY] from the 64-bit view even with /reg:32, so
            # the registry file below cannot be relied on for this.
            for view in (args.arch.reg_view, args.arch.other_view):
                wine.delete_key(SETTINGS_KEY, view=view, check=False)
        wine.reg_import(registry_text(sc.serial, settings), work)
        if extra_settings:
            wine.reg_import_file(extra_settings, with_regedit=sc.bundle_by_regedit)
            if args.arch.other_view:
                views = {view: wine.query(SETTINGS_KEY, check=False, view=view)
                         for view in (args.arch.reg_view, args.arch.other_view)}
        if sc.drop_serial_key:
            wine.delete_key(SERIAL_KEY)
            dropped_key = True

        pending = dict(sc.late_links)
        process, started = wine.start_program(exe, work)
        timed_out = False
        while process.poll() is None:
            now = time.monotonic() - started
            for port, (target, delay) in list(pending.items()):
                if now >= delay:
                    wine.link(port, receivers[target].slave)
                    del pending[port]
            if now > sc.timeout + (sc.elapsed[1] if sc.elapsed else 0):
                process.kill()
                timed_out = True
                break
            time.sleep(0.005)
        process.wait()
        elapsed = time.monotonic() - started
        exit_code = process.returncode
    finally:
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        for receiver in receivers.values():
            receiver.stop()
        if dropped_key:
            # The key cannot come back in this session: start a new one.
            wine.restart_server()

    stdout = (work / "stdout.bin").read_bytes()
    print("  %s: exit %d after %.2f s" % (exe, exit_code, elapsed))
    for name, receiver in receivers.items():
        print("  receiver %s (%s, %s):" % (name, receiver.slave, " ".join(receiver.args)))
        print_exchange(receiver)

    if views:
        landed = args.arch.other_view if sc.bundle_by_regedit else args.arch.reg_view
        missed = args.arch.reg_view if sc.bundle_by_regedit else args.arch.other_view
        value = r"GpsPositionMode\s+REG_DWORD\s+0x%x\b" % sc.bundle_model
        checks.expect(re.search(value, views[landed] or "") is not None,
                      "the import put GpsPositionMode=%d in the %s view of %s"
                      % (sc.bundle_model, landed, SETTINGS_KEY),
                      "reg query %s shows: %r" % (landed, views[landed]))
        checks.expect(views[missed] is None,
                      "the %s view has no %s (the program reads %s)"
                      % (missed, SETTINGS_KEY, args.arch.reg_view),
                      "reg query %s shows: %r" % (missed, views[missed]))
    checks.expect(not timed_out, "the program ended by itself (limit %.0f s)" % sc.timeout)
    checks.expect(exit_code == sc.exit_code,
                  "exit code %d (%s)" % (sc.exit_code, EXIT_MEANINGS.get(sc.exit_code, "?")),
                  "got %d (%s)" % (exit_code, EXIT_MEANINGS.get(exit_code, "not a Vantrel code")))
    wanted_stdout = ACK_LINE * sc.ack_lines
    checks.expect(stdout == wanted_stdout,
                  "stdout is %d acknowledgement line(s), byte for byte" % sc.ack_lines,
                  "got %r" % stdout)
    for name, frames in sc.frames.items():
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
    for name, model in sc.final_model.items():
        end = receivers[name].end()
        checks.expect(end is not None and end.get("model") == model,
                      "receiver %s ends with dynamic model %d" % (name, model),
                      "transcript end: %r" % (end,))
    for name, receiver in receivers.items():
        end = receiver.end()
        checks.expect(end is not None and end.get("reason") == "SIGTERM",
                      "receiver %s ran until the harness stopped it" % name,
                      "transcript end: %r" % (end,))
    if sc.elapsed:
        low, high = sc.elapsed
        checks.expect(low <= elapsed <= high,
                      "run took between %.1f and %.1f s" % (low, high), "took %.2f s" % elapsed)
    if sc.at_least is not None:
        checks.expect(elapsed >= sc.at_least, "run took at least %.1f s" % sc.at_least,
                      "took %.2f s" % elapsed)
    if sc.demo_says:
        kind, stored = (sc.settings or {}).get("GpsPositionMode", dword(0))
        requested = stored if kind == "dword" and stored in MODEL_NAMES else 0
        crossing, this_run = demo.account(receivers["a"], exit_code, requested, arrow="->")
        told = crossing + [this_run]
        for pattern in sc.demo_says:
            checks.expect(any(re.search(pattern, line) for line in told),
                          "the demo's account has a line matching %s" % pattern,
                          "it says:\n          " + "\n          ".join(told))


# ---------------------------------------------------------------------------
# The Windows Installer package under Wine's msiexec

DEFAULT_DIR = "C:\\Program Files\\Keldran\\Vantrel\\"
OTHER_DIR = "C:\\Program Files\\Fleet Tools\\Vantrel\\"
# Folders the package refuses: one any user could write to, one that only
# seems to be inside Program Files.
OUTSIDE_DIR = "C:\\Fleet Tools\\Vantrel\\"
CLIMBING_DIR = "C:\\Program Files\\..\\Fleet Tools\\Vantrel\\"
REPAIR = ["/i", "REINSTALL=ALL", "REINSTALLMODE=amus"]
# msiexec's exit code as Wine's exit status, which keeps its low 8 bits:
# 1603 (ERROR_INSTALL_FAILURE) arrives as 67.
INSTALL_FAILURE = 1603 & 0xFF
TASK = "Vantrel"


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def installer_prefix(args, work):
    """A fresh prefix for one installer story. Its session is started
    anew once made: in the session that created the prefix, Wine's Task
    Scheduler service does not start, and schtasks fails."""
    wine = Wine(work / "wine", args.arch)
    wine.create_prefix(fresh=True)
    wine.restart_server()
    return wine


def installer_package(args, work, exe=None):
    """The package made from the exe this machine runs: the product, or the
    same WiX source for x64 around the 64-bit build where that runs."""
    arch = "x86" if args.arch.program_bits == 32 else "x64"
    if arch == "x64":
        print("  the package: the same WiX source built for x64 around the 64-bit build "
              "(a test vehicle; the product package is x86)")
    exe = Path(exe or args.exe_to_run)
    return msi_package.make_package(exe, work / ("package-" + exe.parent.name), arch=arch)


def newer_exe(args, work):
    """The same sources built as the next patch version (the test-only
    VANTREL_VERSION_OVERRIDE), for trying an upgrade. Returns its path."""
    major, minor, patch = pe_version.read(args.exe_to_run)["FileVersion"].split(".")
    version = "%s.%s.%d" % (major, minor, int(patch) + 1)
    build = Path(args.work_dir).resolve() / ("newer-" + args.arch.preset)
    toolchain = REPO / "cmake" / ("mingw-i686.cmake" if args.arch.program_bits == 32
                                         else "mingw-x86_64.cmake")
    with open(work / "newer-build.log", "wb") as log:
        for command in (["cmake", "-S", str(REPO), "-B", str(build),
                         "-DCMAKE_TOOLCHAIN_FILE=%s" % toolchain, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                         "-DVANTREL_VERSION_OVERRIDE=%s" % version],
                        ["cmake", "--build", str(build), "--target", "vantrel"]):
            if subprocess.run(command, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
                raise RigError("building vantrel.exe as version %s failed, see %s"
                               % (version, work / "newer-build.log"))
    print("  built the same sources as version %s: %s" % (version, build / "vantrel.exe"))
    return build / "vantrel.exe"


def expect_install(checks, what, status, wanted=0):
    checks.expect(status == wanted, "msiexec %s: exit %d" % (what, wanted), "got %d" % status)


def expect_settings(checks, wine, wanted, when):
    got = {name: wine.value(SETTINGS_KEY, name) for name in ("GpsPositionMode", "DisableVantrel")}
    checks.expect(got == wanted, "%s: settings in the %s view %s" % (when, wine.arch.reg_view, wanted),
                  "got %s" % got)


def expect_nothing_installed(checks, wine, when, uninstalled=False):
    keldran = wine.host_path("C:\\Program Files\\Keldran")
    left = sorted(str(p) for p in keldran.rglob("*")) if keldran.exists() else []
    if uninstalled:
        # Wine's msiexec handles the package's RemoveFile row for Keldran
        # before it removes the files below it, so the folder stays, empty;
        # Windows Installer removes folders once their files are gone.
        checks.expect(not left, "%s: nothing left in %s (Wine leaves it, empty)" % (when, keldran),
                      "it holds %s" % left)
    else:
        checks.expect(not keldran.exists(), "%s: no %s" % (when, keldran), "it holds %s" % left)
    checks.expect(wine.products("Vantrel") == [], "%s: no product Vantrel registered" % when,
                  "registered: %s" % wine.products("Vantrel"))
    checks.expect(not wine.task_file(TASK).exists(), "%s: no task %s" % (when, TASK))


def expect_task(checks, wine, runs, install_dir):
    """The task registered from the definition installed in install_dir and
    pointed at the exe there. Wine's Task Scheduler keeps neither triggers nor
    actions (it writes no <BootTrigger> and an empty <Exec/>), so the stored
    task shows the definition's settings, and the installed definition and
    schtasks' command lines show the rest."""
    stored = wine.task_file(TASK)
    text = stored.read_bytes().decode("utf-8-sig", errors="replace") if stored.is_file() else ""
    checks.expect(all(part in text for part in (
        "<Description>Vantrel: configures the satellite-navigation receiver at start-up.</Description>",
        "<ExecutionTimeLimit>PT10M</ExecutionTimeLimit>",
        "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
        "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>")),
        "task %s is registered from the package's definition (%s)" % (TASK, stored),
        "stored task: %r" % text[:400])
    definition = wine.host_path(install_dir + "vantrel-task.xml")
    fields = task_definition(definition.read_bytes()) if definition.is_file() else {}
    checks.expect(fields.get("boot trigger") and fields.get("user") == "S-1-5-18",
                  "the definition it was made from (%svantrel-task.xml) starts it at boot as SYSTEM"
                  % install_dir, "got %s" % fields)
    create = ["/create", "/tn", TASK, "/xml", install_dir + "vantrel-task.xml", "/f"]
    change = ["/change", "/tn", TASK, "/tr", '"%svantrel.exe"' % install_dir]
    run = ["/run", "/tn", TASK]
    checks.expect(create in runs and change in runs and run in runs and
                  runs.index(create) < runs.index(change) < runs.index(run),
                  "schtasks %s, then %s, then %s (the first run, at once)"
                  % (" ".join(create), " ".join(change), " ".join(run)),
                  "schtasks ran: %s" % runs)


def expect_no_task_registered(checks, runs, when):
    checks.expect(not any(r[:1] in (["/create"], ["/run"]) for r in runs),
                  "%s: no task registered or run" % when, "schtasks ran: %s" % runs)


def story_install_with_model(sc, args, wine, work, checks):
    package = installer_package(args, work)
    version = pe_version.read(args.exe_to_run)["FileVersion"]
    status, _, runs = wine.msiexec(["/i", "GPSPOSITIONMODE=6"], package, "install")
    expect_install(checks, "/i %s /qn GPSPOSITIONMODE=6" % package.name, status)
    exe = wine.host_path(DEFAULT_DIR + "vantrel.exe")
    checks.expect(exe.is_file() and sha256(exe) == sha256(args.exe_to_run),
                  "%svantrel.exe is the built exe (SHA-256 %s)" % (DEFAULT_DIR, sha256(args.exe_to_run)))
    expect_settings(checks, wine, {"GpsPositionMode": ("REG_DWORD", "0x6"), "DisableVantrel": None},
                    "installed with GPSPOSITIONMODE=6")
    checks.expect(wine.products("Vantrel") == [version], "one product Vantrel %s registered" % version,
                  "registered: %s" % wine.products("Vantrel"))
    expect_task(checks, wine, runs, DEFAULT_DIR)
    run_program(sc, args, wine, work, exe, checks, KEEP_SETTINGS)

    # A repair reinstalls the settings' components: without the property
    # it must not write an empty value over the one the install wrote.
    repair = REPAIR
    status, _, _ = wine.msiexec(repair, package, "repair")
    expect_install(checks, "/i %s /qn %s" % (package.name, " ".join(repair[1:])), status)
    expect_settings(checks, wine, {"GpsPositionMode": ("REG_DWORD", "0x6"), "DisableVantrel": None},
                    "repaired without setting properties")
    status, _, _ = wine.msiexec(repair + ["GPSPOSITIONMODE=7"], package, "repair-7")
    expect_install(checks, "/i %s /qn %s GPSPOSITIONMODE=7" % (package.name, " ".join(repair[1:])),
                   status)
    expect_settings(checks, wine, {"GpsPositionMode": ("REG_DWORD", "0x7"), "DisableVantrel": None},
                    "repaired with GPSPOSITIONMODE=7")

    status, _, runs = wine.msiexec(["/x"], package, "uninstall")
    expect_install(checks, "/x %s /qn" % package.name, status)
    checks.expect(["/delete", "/tn", TASK, "/f"] in runs, "uninstall ran schtasks /delete /tn %s /f" % TASK,
                  "schtasks ran: %s" % runs)
    expect_nothing_installed(checks, wine, "after uninstall", uninstalled=True)
    expect_settings(checks, wine, {"GpsPositionMode": ("REG_DWORD", "0x7"), "DisableVantrel": None},
                    "after uninstall, the settings stay")


def story_install_keeps_existing_value(sc, args, wine, work, checks):
    package = installer_package(args, work)
    wine.reg_import(registry_text({}, sc.settings), work)
    kept = {"GpsPositionMode": ("REG_DWORD", "0x3"), "DisableVantrel": ("REG_SZ", "1")}
    status, _, runs = wine.msiexec(["/i", "INSTALLDIR=" + OTHER_DIR], package, "install")
    expect_install(checks, '/i %s /qn INSTALLDIR="%s"' % (package.name, OTHER_DIR), status)
    exe = wine.host_path(OTHER_DIR + "vantrel.exe")
    checks.expect(exe.is_file() and not wine.host_path(DEFAULT_DIR).exists(),
                  "vantrel.exe is in %s, nothing in %s" % (OTHER_DIR, DEFAULT_DIR))
    expect_settings(checks, wine, kept, "installed without setting properties, the hand-set values")
    expect_task(checks, wine, runs, OTHER_DIR)
    run_program(sc, args, wine, work, exe, checks, KEEP_SETTINGS)
    # The folder is remembered: a repair without INSTALLDIR keeps it.
    status, _, runs = wine.msiexec(REPAIR, package, "repair")
    expect_install(checks, "/i %s /qn %s" % (package.name, " ".join(REPAIR[1:])), status)
    checks.expect(exe.is_file() and not wine.host_path(DEFAULT_DIR).exists(),
                  "repaired without INSTALLDIR: vantrel.exe still in %s, nothing in %s"
                  % (OTHER_DIR, DEFAULT_DIR))
    expect_task(checks, wine, runs, OTHER_DIR)

    status, _, _ = wine.msiexec(["/x"], package, "uninstall")
    expect_install(checks, "/x %s /qn" % package.name, status)
    status, _, runs = wine.msiexec(["/i", "STARTUPTASK=0"], package, "install-without-task")
    expect_install(checks, "/i %s /qn STARTUPTASK=0" % package.name, status)
    checks.expect(wine.host_path(DEFAULT_DIR + "vantrel.exe").is_file(),
                  "STARTUPTASK=0: vantrel.exe installed in %s" % DEFAULT_DIR)
    checks.expect(not wine.task_file(TASK).exists(), "STARTUPTASK=0: no task %s" % TASK)
    expect_no_task_registered(checks, runs, "STARTUPTASK=0")
    status, _, runs = wine.msiexec(REPAIR, package, "repair-without-task")
    expect_install(checks, "/i %s /qn %s" % (package.name, " ".join(REPAIR[1:])), status)
    expect_no_task_registered(checks, runs, "repaired without STARTUPTASK after STARTUPTASK=0")
    expect_settings(checks, wine, kept, "after uninstall, a second install and a repair")


def story_upgrade_and_downgrade(sc, args, wine, work, checks):
    older = installer_package(args, work)
    newer_built = newer_exe(args, work)
    newer = installer_package(args, work, newer_built)
    new_version = pe_version.read(newer_built)["FileVersion"]
    given = {"GpsPositionMode": ("REG_DWORD", "0x6"), "DisableVantrel": ("REG_DWORD", "0x0")}
    exe = wine.host_path(OTHER_DIR + "vantrel.exe")

    install = ["/i", "GPSPOSITIONMODE=6", "DISABLEVANTREL=0", "INSTALLDIR=" + OTHER_DIR]
    status, _, runs = wine.msiexec(install, older, "install")
    expect_install(checks, "/i %s /qn %s" % (older.name, " ".join(install[1:])), status)
    expect_settings(checks, wine, given, "installed")
    expect_task(checks, wine, runs, OTHER_DIR)
    # The administrator turns the task off; the choice is remembered.
    status, _, runs = wine.msiexec(REPAIR + ["STARTUPTASK=0"], older, "repair-without-task")
    expect_install(checks, "/i %s /qn %s STARTUPTASK=0" % (older.name, " ".join(REPAIR[1:])), status)
    checks.expect(["/delete", "/tn", TASK, "/f"] in runs and not wine.task_file(TASK).exists(),
                  "a repair with STARTUPTASK=0 deletes the task", "schtasks ran: %s" % runs)

    status, _, runs = wine.msiexec(["/i"], newer, "upgrade")
    expect_install(checks, "/i %s /qn (an upgrade, no property)" % newer.name, status)
    expect_settings(checks, wine, given, "after the upgrade, value and type unchanged")
    checks.expect(wine.products("Vantrel") == [new_version],
                  "after the upgrade: one product Vantrel, version %s" % new_version,
                  "registered: %s" % wine.products("Vantrel"))
    checks.expect(exe.is_file() and sha256(exe) == sha256(newer_built) and
                  not wine.host_path(DEFAULT_DIR).exists(),
                  "after the upgrade: %svantrel.exe is the %s exe, nothing in %s (the folder "
                  "remembered)" % (OTHER_DIR, new_version, DEFAULT_DIR))
    expect_no_task_registered(checks, runs, "after the upgrade (STARTUPTASK=0 remembered)")
    status, _, runs = wine.msiexec(REPAIR + ["STARTUPTASK=1"], newer, "repair-with-task")
    expect_install(checks, "/i %s /qn %s STARTUPTASK=1" % (newer.name, " ".join(REPAIR[1:])), status)
    tasks = sorted(p.name for p in wine.task_file(TASK).parent.iterdir())
    checks.expect(tasks == [TASK], "after a repair with STARTUPTASK=1: exactly one task, %s" % TASK,
                  "tasks: %s" % tasks)
    expect_task(checks, wine, runs, OTHER_DIR)

    status, _, _ = wine.msiexec(["/i"], older, "downgrade")
    expect_install(checks, "/i %s /qn (a downgrade), refused" % older.name, status, INSTALL_FAILURE)
    checks.expect(wine.products("Vantrel") == [new_version] and sha256(exe) == sha256(newer_built),
                  "after the refused downgrade: still %s, its exe unchanged" % new_version,
                  "registered: %s" % wine.products("Vantrel"))
    expect_settings(checks, wine, given, "after the refused downgrade")
    run_program(sc, args, wine, work, exe, checks, KEEP_SETTINGS)


def story_refusals_and_rollback(sc, args, wine, work, checks):
    package = installer_package(args, work)
    before = {"GpsPositionMode": None, "DisableVantrel": None}
    for number, bad in enumerate(("GPSPOSITIONMODE=abc", "GPSPOSITIONMODE=9", "GPSPOSITIONMODE=-1",
                                  "GPSPOSITIONMODE=1", "DISABLEVANTREL=2", "STARTUPTASK=2",
                                  "INSTALLDIR=" + OUTSIDE_DIR, "INSTALLDIR=" + CLIMBING_DIR)):
        status, _, runs = wine.msiexec(["/i", bad], package, "refused-%d" % number)
        expect_install(checks, "/i %s /qn %s, refused by a launch condition" % (package.name, bad),
                       status, INSTALL_FAILURE)
        checks.expect(runs == [], "%s: no schtasks run" % bad, "schtasks ran: %s" % runs)
        expect_nothing_installed(checks, wine, bad)
        checks.expect(not wine.host_path(OUTSIDE_DIR).exists(), "%s: nothing in %s" % (bad, OUTSIDE_DIR))
        expect_settings(checks, wine, before, bad)

    # The last setting's write fails, after the task was registered and the
    # first setting written: all of it is to be rolled back.
    given = ["/i", "GPSPOSITIONMODE=6", "DISABLEVANTREL=1"]
    with wine.reg_that_fails("DisableVantrel", work) as env:
        status, _, runs = wine.msiexec(given, package, "rolled-back", env)
    # Windows ends a failed custom action with 1603; Wine's msiexec with
    # 1627 (ERROR_FUNCTION_FAILED), exit status 91.
    checks.expect(status != 0, "msiexec /i %s /qn %s with the DisableVantrel write failing: a "
                  "non-zero exit (here %d)" % (package.name, " ".join(given[1:]), status))
    delete = ["/delete", "/tn", TASK, "/f"]
    checks.expect(runs[:1] and runs[0][:1] == ["/create"] and delete in runs[1:],
                  "the task was registered, and then deleted by the rollback", "schtasks ran: %s" % runs)
    expect_nothing_installed(checks, wine, "rolled back")
    expect_settings(checks, wine, before, "rolled back, GpsPositionMode=6 removed again")

    # A failed upgrade: the older version installed with a setting, the
    # newer one given another, and its write of DisableVantrel failing.
    status, _, _ = wine.msiexec(["/i", "GPSPOSITIONMODE=6"], package, "older")
    expect_install(checks, "/i %s /qn GPSPOSITIONMODE=6" % package.name, status)
    kept = {"GpsPositionMode": ("REG_DWORD", "0x6"), "DisableVantrel": None}
    expect_settings(checks, wine, kept, "the older version installed")
    newer = installer_package(args, work, newer_exe(args, work))
    upgrade = ["/i", "GPSPOSITIONMODE=7", "DISABLEVANTREL=1"]
    with wine.reg_that_fails("DisableVantrel", work) as env:
        status, _, runs = wine.msiexec(upgrade, newer, "upgrade-rolled-back", env)
    checks.expect(status != 0, "msiexec /i %s /qn %s with the DisableVantrel write failing: a "
                  "non-zero exit (here %d)" % (newer.name, " ".join(upgrade[1:]), status))
    expect_settings(checks, wine, kept, "the upgrade rolled back, GpsPositionMode=7 put back to "
                    "the REG_DWORD 6 that was there")
    older_version = pe_version.read(args.exe_to_run)["FileVersion"]
    checks.expect(wine.products("Vantrel") in ([], [older_version]),
                  "the newer version is not registered", "registered: %s" % wine.products("Vantrel"))
    # Wine's msiexec removes the older product in an uninstall of its own,
    # outside this transaction, so the rollback cannot bring it back here;
    # on Windows it does (the table check asserts where the removal sits).
    print("  (under Wine the older version's removal is not rolled back: registered now %s)"
          % (wine.products("Vantrel") or "none"))


def story_demo_real_device(sc, args, work, checks):
    """The demo with --device: the simulated receiver on a pty stands in
    for a receiver plugged into this machine."""
    device = SimReceiver(args.sim, work, "device", RECEIVER_DEFAULTS, max_seconds=sc.timeout)
    demo_script = Path(demo.__file__).resolve()
    env = dict(os.environ, VANTREL_WINE_ARCH=str(args.arch.bits), PYTHONIOENCODING="ascii")
    command = [sys.executable, str(demo_script), "--device", device.slave,
               "--build-dir", str(work / "demo"), "--exe", str(args.exe_to_run), "--sim", args.sim]
    try:
        done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=sc.timeout)
    finally:
        device.stop()
    told = done.stdout.decode(errors="replace").splitlines()
    print("\n".join("    " + line for line in told))
    checks.expect(done.returncode == 0, "demo --device %s: exit 0" % device.slave,
                  "exit %d" % done.returncode)
    warned = [i for i, line in enumerate(told) if line.strip() == demo.PORT1_WARNING]
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
        refused = subprocess.run([sys.executable, str(demo_script), "--check-arguments",
                                  "--device", path], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
        lines = refused.stdout.decode(errors="replace").splitlines()
        checks.expect(refused.returncode == 2 and len(lines) == 1 and why in lines[0],
                      "demo --device %s is refused in one line (%s), nothing started" % (path, why),
                      "exit %d: %s" % (refused.returncode, lines))


STORIES = {"demo_real_device": story_demo_real_device}


WINDOWS_SCRIPT = REPO / "tests" / "windows" / "check_package.cmd"
WINDOWS_STEPS = ("model", "repair", "upgrade", "failed", "uninstall", "own-folder", "refused")
# What the script leaves to Windows when it runs under Wine.
WINE_SKIPS = ("the task's definition: Wine stores no triggers or actions",
              "the ACL of ", "msiexec /fomus ", "a failed install: Wine applies no registry ACLs")


def story_windows_script(sc, args, wine, work, checks):
    """The script for the first real Windows machine, run under Wine: every
    step it takes there must pass, and only what Wine cannot show skipped."""
    older = installer_package(args, work)
    newer = installer_package(args, work, newer_exe(args, work))
    status, output = wine.batch(WINDOWS_SCRIPT, [older, newer], work / "check_package.out",
                                {"VANTREL_UNDER_WINE": "1", "VANTREL_VIEW": args.arch.reg_view},
                                timeout=600)
    print("\n".join("    " + line for line in output.splitlines()))
    lines = [line.strip() for line in output.splitlines()]
    steps, current = {}, None
    for line in lines:
        if line.startswith("== "):
            current = steps.setdefault(line[3:], [])
        elif current is not None and line[:4] in ("PASS", "FAIL", "SKIP"):
            current.append(line)
    checks.expect(status == 0 and not any(line.startswith("FAIL") for line in lines),
                  "%s %s %s: exit 0, no FAIL" % (WINDOWS_SCRIPT.name, older.name, newer.name),
                  "exit %d" % status)
    checks.expect(list(steps) == list(WINDOWS_STEPS), "it walks %s" % ", ".join(WINDOWS_STEPS),
                  "steps: %s" % list(steps))
    checks.expect(all(any(l.startswith("PASS") for l in steps.get(step, []))
                      for step in WINDOWS_STEPS if step != "failed"),
                  "every step but the failed install checks something under Wine")
    skips = [line[4:].strip() for line in lines if line.startswith("SKIP")]
    checks.expect(skips and all(skip.startswith(WINE_SKIPS) for skip in skips),
                  "only what Wine cannot show is skipped (%d)" % len(skips), "skipped: %s" % skips)


INSTALLER_STORIES = {
    "windows_script": story_windows_script,
    "install_with_model": story_install_with_model,
    "install_keeps_existing_value": story_install_keeps_existing_value,
    "upgrade_and_downgrade": story_upgrade_and_downgrade,
    "refusals_and_rollback": story_refusals_and_rollback,
}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("list")
    for name in ("setup", "cleanup"):
        common_arguments(sub.add_parser(name))
    run = sub.add_parser("run")
    run.add_argument("scenario")
    common_arguments(run)
    args = parser.parse_args(argv)

    if args.command == "list":
        for sc in SCENARIOS.values():
            labels = "e2e,slow" if sc.slow else "e2e"
            if sc.installer:
                labels += ",msi"
            limit = int((sc.elapsed[1] if sc.elapsed else 0) + sc.timeout + 60)
            fixture = "both-views" if sc.both_views else "keep-alive" if sc.keep_alive else ""
            print("%s|%s|%d|%s" % (sc.name, labels, limit, fixture))
        return 0
    try:
        stop = resolve_arch(args)
        if stop is not None:
            return stop
        if args.command == "setup":
            return command_setup(args)
        if args.command == "cleanup":
            return command_cleanup(args)
        if args.scenario not in SCENARIOS:
            print("e2e: no scenario %s; known: %s" % (args.scenario, ", ".join(SCENARIOS)))
            return 1
        return run_scenario(SCENARIOS[args.scenario], args)
    except RigError as error:
        print("e2e: the rig failed: %s" % error)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
