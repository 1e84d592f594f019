#!/usr/bin/env python3
"""vantrel.exe end to end: under Wine, against the simulated receiver on a pty.

  python3 -m tests.e2e.vantrel_e2e setup [options]     fresh prefix, wineserver kept alive
  python3 -m tests.e2e.vantrel_e2e run NAME [options]  one program run or story; 0 = pass
  python3 -m tests.e2e.vantrel_e2e cleanup [options]   stops the wineserver

run from the repository's root. The program runs and the stories are in
catalogue.py (which also prints what CMake makes tests of); the checks
they run in program_runs.py, bundle.py, installer_stories.py and
device_story.py.

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
--allow-skip (exit 77 instead of failing when Wine or vantrel.exe is missing),
--prefix-id ID (which prefix of the pool in wine-prefixes.json: WORK_DIR/wine-ID;
by default the one CTest allotted the run, else p0).

The setup makes and the cleanup stops one prefix of the pool the scenarios
share (README.md, "Running").
"""

import argparse
import importlib
import json
import os
import re
import shutil
import sys
import time
from pathlib import Path

from tests.wine import RigError
from tests.wine.builds import ARCHES, WOW64, choose_arch, kernel_runs_32bit_programs
from tests.wine.control import SERIAL_KEY, Wine

from tests.e2e.bundle import unpack_bundle
from tests.e2e.catalogue import CASES
from tests.checks import Checks
from tests.e2e.program_runs import run_program
from tests.e2e.records import InstallerStory, ProgramRun, Story

SKIP = 77


def common_arguments(parser):
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--exe", default=None)
    parser.add_argument("--exe64", default=None)
    parser.add_argument("--sim", default=None)
    parser.add_argument("--arch", default=None, choices=("auto",) + tuple(ARCHES))
    parser.add_argument("--keep-alive", action="store_true")
    parser.add_argument("--both-views", action="store_true")
    parser.add_argument("--allow-skip", action="store_true")
    parser.add_argument("--prefix-id", default=None)


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


# Where CTest names the prefix of the pool it allotted a run:
# "id:p2,slots:1".
ALLOTTED = "CTEST_RESOURCE_GROUP_0_WINE_PREFIXES"


def rig_for(args):
    """The Wine prefix a run uses: the pool's one given or allotted, else
    the one prefix of a work directory of its own kind (x64, wow64)."""
    if args.keep_alive or args.both_views:
        # One prefix of its kind: copying it from a booted one would save nothing.
        return Wine(Path(args.work_dir) / "wine", args.arch)
    allotted = re.search(r"id:([\w-]+)", os.environ.get(ALLOTTED, ""))
    pool_id = args.prefix_id or (allotted.group(1) if allotted else "p0")
    return Wine(Path(args.work_dir) / ("wine-" + pool_id), args.arch, booted=booted_prefixes(args))


def booted_prefixes(args):
    """Where the scenarios keep the one booted prefix of each kind they copy."""
    return Path(args.work_dir).resolve() / "booted"


def installer_prefix(args, work):
    """A fresh prefix for one installer story, copied from a booted one and
    so in a session of its own: in the session that boots a prefix, Wine's
    Task Scheduler service does not start, and schtasks fails."""
    wine = Wine(work / "wine", args.arch, booted=booted_prefixes(args))
    wine.create_prefix(fresh=True)
    return wine


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


def run_case(case, args):
    """Runs one program run or story of the catalogue; its exit status."""
    problems = unavailable(args, need_exe=True)
    if problems:
        return refuse(args, problems)
    both_views = isinstance(case, ProgramRun) and case.both_views
    if both_views != (args.arch.other_view is not None):
        print("e2e: %s runs %s" % (case.name, "with --both-views only" if both_views
                                   else "in a prefix with one registry view only"))
        return 1
    work = Path(args.work_dir).resolve() / "runs" / case.name
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)

    print("scenario %s: %s" % (case.name, case.about))
    print("  running the %s" % args.arch.proves)
    checks = Checks()
    started = time.monotonic()
    if isinstance(case, InstallerStory):
        wine = installer_prefix(args, work)
        walk = getattr(importlib.import_module("tests.e2e.installer_stories"), case.runs)
        walk(case, args, wine, work, checks)
    elif isinstance(case, Story):
        case.runs(case, args, work, checks)
    else:
        wine = rig_for(args)
        if not (wine.prefix / "dosdevices").is_dir():
            print("e2e: no Wine prefix at %s: the e2e_wine_setup fixture did not run" % wine.prefix)
            return 1
        exe, bundle_settings = args.exe_to_run, None
        if case.bundle is not None:
            exe, bundle_settings, signature = unpack_bundle(args, work, case.bundle)
            for check in signature:
                checks.expect(*check)
        run_program(case, args, wine, work, exe, checks, case.settings, case.timeout,
                    case.bundle, bundle_settings)

    result = {"scenario": case.name, "elapsed": round(time.monotonic() - started, 3),
              "passed": not checks.failures, "failures": checks.failures}
    (work / "result.json").write_text(json.dumps(result, indent=1) + "\n")
    if checks.failures:
        print("scenario %s FAILED (%d of %d checks); artefacts in %s"
              % (case.name, len(checks.failures), len(checks.failures) + checks.passed, work))
        return 1
    if isinstance(case, InstallerStory):
        # A passed installer scenario's prefix (some 600 MB) has told all it can.
        wine.stop_server()
        shutil.rmtree(wine.root)
    print("scenario %s passed (%d checks, %.2f s)" % (case.name, checks.passed, result["elapsed"]))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    for name in ("setup", "cleanup"):
        common_arguments(sub.add_parser(name))
    run = sub.add_parser("run")
    run.add_argument("scenario")
    common_arguments(run)
    args = parser.parse_args(argv)

    try:
        stop = resolve_arch(args)
        if stop is not None:
            return stop
        if args.command == "setup":
            return command_setup(args)
        if args.command == "cleanup":
            return command_cleanup(args)
        if args.scenario not in CASES:
            print("e2e: no scenario %s; known: %s" % (args.scenario, ", ".join(CASES)))
            return 1
        return run_case(CASES[args.scenario], args)
    except RigError as error:
        print("e2e: the rig failed: %s" % error)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
