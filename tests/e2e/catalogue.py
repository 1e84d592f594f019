"""The catalogue of end-to-end cases: one table of program runs (what
each sets up: devices, links, receivers, settings; what it expects of the
run: exit code, console lines, frames, times, the demo's account; and the
demo's name for it, where the demo shows it too) and one table of stories,
each naming the function that walks it. The records are in records.py;
the checks that run them in program_runs, bundle, installer_stories and
device_story.

  python3 -m tests.e2e.catalogue    the CTest entries, as CMake makes them
"""

from tests.protocol import CFG_PRT_FRAME, NEVER_APPEARS_S, nav5_set_frame
from tests.protocol import SILENT_HUNT_S as HUNT_S

from tests.e2e.device_story import story_demo_real_device
from tests.e2e.records import (VCP0, VCP1, VCP2, Bundle, Demo, InstallerStory, ProgramRun, Run,
                               Story, dword, full_run, model_settings, sz)


def program_runs():
    """The program runs, in the order CTest lists them."""
    s = []

    # -- happy runs: every accepted model code is sent and confirmed -------
    for model in (0, 2, 3, 4, 5, 6, 7, 8):
        s.append(ProgramRun(
            "model_%d" % model, "GpsPositionMode=%d: the model is set and read back" % model,
            exit_code=0, ack_lines=3, frames={"a": full_run(model)},
            settings=model_settings(model), final_model={"a": model}, keep_alive=model == 4,
            # The demo shows the run of its default model, 4 (its --model sets another).
            demo=Demo("ok", "the receiver answers everything and takes the model",
                      "answers everything and takes the model") if model == 4 else None))
    # 1 and 9 are rows of the unit table of sanitised models; 0x104 stays
    # here too, as a value whose low byte is a model code, read whole from
    # Wine's registry.
    for stored in (0x104,):
        s.append(ProgramRun(
            "model_sanitised_%d" % stored,
            "GpsPositionMode=%d is not a model code: model 0 is sent" % stored,
            exit_code=0, ack_lines=3, frames={"a": full_run(0)},
            receivers={"a": ["--initial-model", "4"]},
            settings=model_settings(stored), final_model={"a": 0}))

    # -- exit codes from receiver behaviour ---------------------------------
    s.append(ProgramRun(
        "exit1_port_nak", "the receiver refuses CFG-PRT with ACK-NAK",
        exit_code=1, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--port", "nak"]},
        demo_says=(r"^In this run: the receiver refused the port configuration \(ACK-NAK\); the "
                   r"model stage ran all the same: model 4 \(automotive\) was set, and when "
                   r"polled the receiver reported it: confirmed equal\.$",),
        demo=Demo("nak-port", "the receiver refuses the port configuration (ACK-NAK)",
                  "refuses the port configuration (ACK-NAK)")))
    s.append(ProgramRun(
        "exit4_model_mismatch", "the poll reports model 3 where 4 was set",
        exit_code=4, ack_lines=3, frames={"a": full_run(4)},
        # %(other)d: 3, as 4 is asked for.
        receivers={"a": ["--poll", "report-model=%(other)d"]},
        demo_says=(r"^  When polled, the receiver reported dynamic model 3 \(pedestrian\)\.$",
                   r"^  \(The simulator's own state, .*: it holds model 4 \(automotive\)\.\)$"),
        demo=Demo("mismatch", "the receiver acknowledges the model but reports another one "
                  "when polled",
                  "acknowledges the model, but reports model %(other)d when polled")))
    s.append(ProgramRun(
        "exit5_port_nak_and_mismatch", "CFG-PRT refused and the poll reports model 3",
        exit_code=5, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--port", "nak", "--poll", "report-model=3"]}, keep_alive=True))
    s.append(ProgramRun(
        "exit6_disabled", "DisableVantrel=1: only the port is configured",
        exit_code=6, ack_lines=1, frames={"a": [CFG_PRT_FRAME]},
        settings={"DisableVantrel": dword(1), "GpsPositionMode": dword(4)},
        final_model={"a": 0}, keep_alive=True,
        demo=Demo("disabled", "the model stage is disabled (DisableVantrel=1): only the port "
                  "is configured", "answers everything")))
    s.append(ProgramRun(
        "exit7_disabled_port_nak", "DisableVantrel=1 and CFG-PRT refused",
        exit_code=7, ack_lines=1, frames={"a": [CFG_PRT_FRAME]},
        receivers={"a": ["--port", "nak"]},
        settings={"DisableVantrel": dword(1), "GpsPositionMode": dword(4)}))
    s.append(ProgramRun(
        "exit7_disabled_sync_flood",
        "DisableVantrel=1 and 0xB5 without end after CFG-PRT: the wait gives up once the run "
        "is longer than any frame can make it",
        exit_code=7, ack_lines=1, frames={"a": [CFG_PRT_FRAME]},
        receivers={"a": ["--port", "sync-flood"]},
        settings={"DisableVantrel": dword(1), "GpsPositionMode": dword(4)},
        elapsed=(0.0, HUNT_S)))
    s.append(ProgramRun(
        "exit2_missing_serial_key",
        "no serial-device key: exit 2 at once, COM3 not even tried",
        exit_code=2, ack_lines=0, frames={"d": []}, receivers={"d": []},
        links={"com3": "d"}, serial={}, drop_serial_key=True, elapsed=(0.0, 3.0)))
    s.append(ProgramRun(
        "exit2_no_device", "nothing listed and COM3 never appears: ~14.1 s of retries",
        exit_code=2, ack_lines=0, frames={}, receivers={}, links={}, serial={},
        absent=("com3",), elapsed=(NEVER_APPEARS_S - 0.6, NEVER_APPEARS_S + 5.0),
        slow=True, timeout=45,
        demo=Demo("no-port", "nothing is listed and COM3 never appears (about %d s of "
                  "retries)" % round(NEVER_APPEARS_S),
                  "none: nothing is listed and COM3 never appears")))

    # -- finding the port ------------------------------------------------------
    every = {"a": [], "b": [], "c": [], "d": []}
    every_link = {"com5": "a", "com6": "b", "com7": "c", "com3": "d"}
    s.append(ProgramRun(
        "port_vcp2_first", "NmeaVcp2 wins over NmeaVcp1, NmeaVcp0 and COM3",
        exit_code=0, ack_lines=3,
        frames={"a": full_run(4), "b": [], "c": [], "d": []},
        receivers=every, links=every_link,
        serial={VCP0: sz("COM7"), VCP1: sz("COM6"), VCP2: sz("COM5")}))
    s.append(ProgramRun(
        "port_vcp1_next", "without NmeaVcp2, NmeaVcp1 wins over NmeaVcp0 and COM3",
        exit_code=0, ack_lines=3,
        frames={"a": [], "b": full_run(4), "c": [], "d": []},
        receivers=every, links=every_link, serial={VCP0: sz("COM7"), VCP1: sz("COM6")},
        keep_alive=True))
    s.append(ProgramRun(
        "port_vcp0_next", "with only NmeaVcp0 listed it wins over COM3",
        exit_code=0, ack_lines=3,
        frames={"a": [], "b": [], "c": full_run(4), "d": []},
        receivers=every, links=every_link, serial={VCP0: sz("COM7")}))
    s.append(ProgramRun(
        "port_com3_fallback", "no candidate listed: COM3",
        exit_code=0, ack_lines=3,
        frames={"a": [], "b": [], "c": [], "d": full_run(4)},
        receivers=every, links=every_link, serial={}))
    s.append(ProgramRun(
        "port_dword_candidate_skipped",
        "NmeaVcp2 as REG_DWORD is no port name: NmeaVcp1 is used",
        exit_code=0, ack_lines=3, frames={"a": [], "b": full_run(4)},
        receivers={"a": [], "b": []}, links={"com5": "a", "com6": "b"},
        serial={VCP2: dword(5), VCP1: sz("COM6")}))
    s.append(ProgramRun(
        "port_unopenable_candidate_skipped",
        "NmeaVcp2 names a port that opens with access denied: NmeaVcp1 at once",
        exit_code=0, ack_lines=3, frames={"b": full_run(4)},
        receivers={"b": []}, links={"com9": "directory", "com6": "b"},
        serial={VCP2: sz("COM9"), VCP1: sz("COM6")}, elapsed=(0.0, 5.0)))
    s.append(ProgramRun(
        "port_absent_candidate_costs_retries",
        "NmeaVcp2 names a device that never appears: ~14.1 s, then NmeaVcp1",
        exit_code=0, ack_lines=3, frames={"b": full_run(4)},
        receivers={"b": []}, links={"com6": "b"}, absent=("com8",),
        serial={VCP2: sz("COM8"), VCP1: sz("COM6")},
        elapsed=(NEVER_APPEARS_S - 0.6, NEVER_APPEARS_S + 6.0), slow=True, timeout=50))
    s.append(ProgramRun(
        "port_appears_late", "the device appears 1 s after the program starts",
        exit_code=0, ack_lines=3, frames={"a": full_run(4)},
        links={}, late_links={"com5": ("a", 1.0)}, at_least=1.0))

    # -- settings ----------------------------------------------------------------
    s.append(ProgramRun(
        "settings_missing", "no settings key: model 0, model stage on",
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, final_model={"a": 0}))
    s.append(ProgramRun(
        "settings_model_as_string", 'GpsPositionMode as REG_SZ "4" is ignored: model 0',
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]},
        settings={"GpsPositionMode": sz("4")}, final_model={"a": 0}, keep_alive=True))
    s.append(ProgramRun(
        "settings_model_as_binary",
        "GpsPositionMode as REG_BINARY 04 00 00 00 is ignored: model 0",
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]},
        settings={"GpsPositionMode": ("binary", b"\x04\x00\x00\x00")}, final_model={"a": 0}))
    s.append(ProgramRun(
        "settings_disable_as_string", 'DisableVantrel as REG_SZ "1" does not disable',
        exit_code=0, ack_lines=3, frames={"a": full_run(7)},
        settings={"DisableVantrel": sz("1"), "GpsPositionMode": dword(7)},
        final_model={"a": 7}))
    s.append(ProgramRun(
        "settings_disable_zero", "DisableVantrel=0 leaves the model stage on",
        exit_code=0, ack_lines=3, frames={"a": full_run(2)},
        settings={"DisableVantrel": dword(0), "GpsPositionMode": dword(2)},
        final_model={"a": 2}))

    # -- what the receiver sends --------------------------------------------------
    s.append(ProgramRun(
        "set_nak_no_poll", "the model set is refused: no poll follows, exit 0",
        exit_code=0, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--set", "nak"]}, final_model={"a": 0},
        demo_says=(r"^In this run: the port configuration was acknowledged; the receiver "
                   r"refused the model set \(ACK-NAK\), so no poll followed: model 4 "
                   r"\(automotive\) is not set\.$",),
        demo=Demo("nak-set", "the receiver refuses the dynamic model (ACK-NAK), so no poll "
                  "follows", "refuses the dynamic model (ACK-NAK)")))
    s.append(ProgramRun(
        "poll_response_corrupt",
        "the poll response, reporting another model, has a bad checksum: not believed, exit 0",
        exit_code=0, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--poll", "corrupt-response-checksum", "--poll", "report-model=%(other)d"]},
        demo=Demo("corrupt-poll", "the poll response has a bad checksum",
                  "answers the poll with a bad checksum, reporting model %(other)d")))
    s.append(ProgramRun(
        "port_ack_for_other_first",
        "an ACK-ACK for CFG-MSG comes before CFG-PRT's: the set's wait takes a second turn",
        exit_code=0, ack_lines=4, frames={"a": full_run(4)},
        receivers={"a": ["--port", "foreign-ack-first"]}, final_model={"a": 4}))
    s.append(ProgramRun(
        "set_ack_for_other_first",
        "an ACK-ACK for CFG-MSG comes before the set's: a second wait finds it",
        exit_code=0, ack_lines=4, frames={"a": full_run(5)},
        receivers={"a": ["--set", "foreign-ack-first"]},
        settings=model_settings(5), final_model={"a": 5},
        demo=Demo("other-ack-first", "an acknowledgement for another message comes before "
                  "the model's", "acknowledges another message before the model set")))
    s.append(ProgramRun(
        "poll_other_frames_first",
        "an ACK for CFG-MSG before the poll response; the mismatch is still seen",
        exit_code=4, ack_lines=3, frames={"a": full_run(4)},
        receivers={"a": ["--poll", "foreign-ack-first", "--poll", "report-model=6"]}))
    s.append(ProgramRun(
        "sync_runs", "every answer starts with a run of extra B5 bytes",
        exit_code=4, ack_lines=3, frames={"a": full_run(3)},
        receivers={"a": ["--port", "sync-run=5", "--set", "sync-run=3",
                         "--poll", "sync-run=7", "--poll", "report-model=8"]},
        settings=model_settings(3)))
    s.append(ProgramRun(
        "frames_inside_nmea", "every answer is embedded in the text of an NMEA sentence",
        exit_code=4, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--port", "inside-nmea", "--set", "inside-nmea",
                         "--poll", "inside-nmea", "--poll", "report-model=2"]},
        settings=model_settings(6)))
    s.append(ProgramRun(
        "slow_answers",
        "every answer leaves a second late, as real receivers' can, and the poll's ACK "
        "300 ms after its response",
        exit_code=0, ack_lines=3, frames={"a": full_run(8)},
        receivers={"a": ["--reply-delay-ms", "1000",
                         "--poll", "pause-after-byte=44", "--poll", "pause-ms=300"]},
        settings=model_settings(8), final_model={"a": 8}, at_least=3.3))
    s.append(ProgramRun(
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
                   r"model 4 \(automotive\) is not confirmed\.$"),
        demo=Demo("silent", "the receiver never says anything (the program gives up after "
                  "about %d s)" % round(3 * HUNT_S), "never says anything")))

    # -- how real receivers are wired and configured ------------------------------
    s.append(ProgramRun(
        "legacy_refused", "newer firmware refuses CFG-PRT and CFG-NAV5 with ACK-NAK: exit 1",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--refuse-legacy"]}, final_model={"a": 0},
        demo_says=(r"^  This receiver refuses the legacy CFG-PRT and CFG-NAV5 messages with "
                   r"ACK-NAK",),
        demo=Demo("legacy-refused", "newer firmware refuses the legacy CFG-PRT and CFG-NAV5 "
                  "(ACK-NAK)", "refuses the legacy CFG-PRT and CFG-NAV5 messages (ACK-NAK)")))
    s.append(ProgramRun(
        "uart1_host",
        "the host on the receiver's UART1: the CFG-PRT silences it, exit 1 after two waits",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--host-port", "uart1"]}, final_model={"a": 0},
        elapsed=(2 * HUNT_S - 2.0, 2 * HUNT_S + 10.0), slow=True, timeout=90,
        demo_says=(r"^  The receiver stopped talking after the CFG-PRT: it applied it to its "
                   r"port 1, and port 1 was the host's own line",
                   r"It stays silent until it restarts",
                   r"^  It took in none of the 1 frame the program sent after that\.$"),
        demo=Demo("uart1-host", "the host is on the receiver's UART1, which the CFG-PRT "
                  "silences (about %d s)" % round(2 * HUNT_S),
                  "is reached through its UART1, its port 1, not its USB port")))
    s.append(ProgramRun(
        "factory_baud",
        "the receiver's UART1 at the factory 9600 baud: only framing-error bytes, exit 1",
        exit_code=1, ack_lines=2, frames={"a": [CFG_PRT_FRAME, nav5_set_frame(4)]},
        receivers={"a": ["--host-port", "uart1", "--uart-baud", "9600"]}, final_model={"a": 0},
        # The NMEA wait gives up after 80 reads of garbage (some 10 to 20 s,
        # as the bursts fall into reads), before the two acknowledgement waits.
        elapsed=(2 * HUNT_S, 2 * HUNT_S + 30.0), slow=True, timeout=110,
        demo_says=(r"^  The receiver's UART1 runs at 9600 baud and the program listens at "
                   r"115200: what reached the program was only bytes with framing errors",),
        demo=Demo("factory-baud", "the receiver's UART1 runs at the factory 9600 baud, the "
                  "program listens at 115200 (about 70 s)",
                  "is reached through its UART1, which runs at 9600 baud")))

    # -- the release bundle -------------------------------------------------------
    s.append(ProgramRun(
        "bundle_settings_file",
        "the release bundle's vantrel-settings.reg with the model changed to 6, imported "
        "as INSTALL.txt says: the bundled exe sends model 6",
        exit_code=0, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, bundle=Bundle(6),
        final_model={"a": 6}, keep_alive=True))
    s.append(ProgramRun(
        "bundle_signed",
        "the release bundle signed with a throwaway CA's code-signing certificate: the "
        "signed exe verifies against that CA, starts and sends model 2",
        exit_code=0, ack_lines=3, frames={"a": full_run(2)},
        receivers={"a": ["--initial-model", "4"]}, settings=None,
        bundle=Bundle(2, signed=True), final_model={"a": 2}))
    # 64-bit Windows has two registry views; the 32-bit program reads the
    # 32-bit one, and only reg's /reg:32 writes there.
    s.append(ProgramRun(
        "bundle_reg32_reaches_program",
        "64-bit prefix: the bundle's vantrel-settings.reg (model 6) imported with "
        "reg import /reg:32 lands in the 32-bit view: the bundled exe sends model 6",
        exit_code=0, ack_lines=3, frames={"a": full_run(6)},
        receivers={"a": ["--initial-model", "4"]}, settings=None, bundle=Bundle(6),
        final_model={"a": 6}, both_views=True))
    s.append(ProgramRun(
        "bundle_regedit_misses_program",
        "64-bit prefix: the same file imported with regedit /s (as a double-click "
        "does) lands in the 64-bit view: the bundled exe sends the default model 0",
        exit_code=0, ack_lines=3, frames={"a": full_run(0)},
        receivers={"a": ["--initial-model", "4"]}, settings=None,
        bundle=Bundle(6, by_regedit=True), final_model={"a": 0}, both_views=True))
    return s


def stories():
    """The stories, in the order CTest lists them, after the program runs."""
    return [
        Story(
            "demo_real_device",
            "./vantrel demo --device PATH against the simulated receiver on a pty as the "
            "device: the warning, both directions decoded, the exit code explained; a path "
            "that is no serial device refused",
            story_demo_real_device, timeout=120),

        # -- the Windows Installer package, each story in a prefix of its own ----
        InstallerStory(
            "msi_install_with_model",
            "msiexec /i /qn GPSPOSITIONMODE=6: the exe, the REG_DWORD, the start-up task; the "
            "installed exe sends model 6; repairs and an /i of the installed version, given "
            "another model and STARTUPTASK=0, change neither; msiexec /x with rollback disabled "
            "removes all but the settings",
            "story_install_with_model", timeout=120, keep_alive=True,
            program=Run(exit_code=0, ack_lines=3, frames={"a": full_run(6)},
                        receivers={"a": ["--initial-model", "4"]}, settings=None,
                        final_model={"a": 6})),
        InstallerStory(
            "msi_install_keeps_existing_value",
            "a hand-set GpsPositionMode=3 and DisableVantrel as REG_SZ, no property: values "
            "untouched, the task registered; then STARTUPTASK=0: no task, nor after a repair "
            "with a UI (/qr), whose UI sequence only costs",
            "story_install_keeps_existing_value", timeout=120,
            # The settings are set by hand before the install.
            program=Run(exit_code=0, ack_lines=3, frames={"a": full_run(3)},
                        receivers={"a": ["--initial-model", "4"]},
                        settings={"GpsPositionMode": dword(3), "DisableVantrel": sz("1")},
                        final_model={"a": 3})),
        InstallerStory(
            "msi_upgrade_and_downgrade",
            "each shipped version's own package (1.0.0 in its default folder and elsewhere, "
            "1.0.1) with GPSPOSITIONMODE=6 and the task off, each upgraded by the same sources "
            "as a newer version with no property: one product, exactly one exe, in the fixed "
            "folder, still no task, settings kept; a repair given STARTUPTASK=1 changes nothing; "
            "the project version is then refused as a downgrade",
            "story_upgrade_and_downgrade", timeout=300,
            program=Run(exit_code=0, ack_lines=3, frames={"a": full_run(6)},
                        receivers={"a": ["--initial-model", "4"]}, settings=None,
                        final_model={"a": 6})),
        InstallerStory(
            "msi_refusals_and_rollback",
            "every bad property value, any INSTALLDIR and DISABLEROLLBACK=1 are refused before "
            "anything changes; an install and an upgrade that fail after the task is registered "
            "and a setting written roll back, settings of awkward types (REG_EXPAND_SZ, "
            "REG_MULTI_SZ, REG_SZ \"#6\", REG_BINARY) put back exactly",
            "story_refusals_and_rollback", timeout=240),
        InstallerStory(
            "msi_windows_script",
            "tests/windows/check_package.cmd, the walk for the first real Windows machine, "
            "under Wine: install with a model, repairs that change nothing, with the remembered "
            "choice deleted too, upgrade, 1.0.0 in a folder with a space and 1.0.2 upgraded, "
            "PowerShell constrained, uninstall with rollback disabled, a folder given and refused, "
            "a task Vantrel made by hand left alone throughout",
            "story_windows_script", timeout=300),
    ]


PROGRAM_RUNS = program_runs()
STORIES = stories()
CASES = {case.name: case for case in PROGRAM_RUNS + STORIES}
assert len(CASES) == len(PROGRAM_RUNS) + len(STORIES), "two cases share a name"

# The demo's scenarios, in the order of the rows, which its --help keeps.
DEMO_RUNS = [run for run in PROGRAM_RUNS if run.demo]


def for_ctest(case):
    """The CTest entries of a case, as calls of vantrel_e2e_test (CMakeLists.txt
    here): test name, case, set of prefixes, labels, properties. The sets:
    main, the pool (or, for a story, a prefix of its own); x64, the 64-bit
    keep-alive runs; wow64, the 32-bit exe where both registry views exist.
    Each set but main is one prefix, for one test at a time."""
    run = isinstance(case, ProgramRun)
    msi = isinstance(case, InstallerStory)
    sets = ["wow64"] if run and case.both_views else ["main", "x64"] if case.keep_alive else ["main"]
    labels = ["e2e"] + (["slow"] if run and case.slow else ["msi"] if msi else [])
    # A longest run plus a margin, also the cost: CTest starts the costliest
    # first, so that on a first run (before it has times of its own to go
    # by) the long waits start with the pool and the installer stories,
    # which run one after another, start at once.
    limit = int((case.limit(case.timeout) if run else case.timeout) + 60)
    calls = []
    for name in sets:
        if not run:
            # The installer stories run one at a time: with several msiexec
            # transactions at once on two cores, a settings export that passes
            # alone failed now and then (under Wine a failed step then runs
            # every rollback action, scheduled or not).
            needs = ["RESOURCE_LOCK", "vantrel_msiexec"] if msi else []
        elif name == "main":
            needs = ["FIXTURES_REQUIRED", "vantrel_wine_main", "RESOURCE_GROUPS", "wine_prefixes:1"]
        else:
            needs = ["FIXTURES_REQUIRED", "vantrel_wine_" + name, "RESOURCE_LOCK",
                     "vantrel_wine_" + name]
        test = "e2e_" + case.name if name == "main" else "e2e_%s_%s" % (name, case.name)
        words = [test, case.name, name,
                 '"%s"' % ";".join(labels + ([] if name == "main" else [name]))]
        calls.append("vantrel_e2e_test(%s)" % " ".join(
            words + needs + ["TIMEOUT", str(limit), "COST", str(limit)]))
    return calls


if __name__ == "__main__":
    for case in CASES.values():
        print("\n".join(for_ctest(case)))
