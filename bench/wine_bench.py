#!/usr/bin/env python3
"""Times successful runs of vantrel.exe under Wine against the simulated
receiver, phase by phase, beside a trivial exe under the same wineserver,
with what each run costs in CPU time and memory.

  python3 -m bench.wine_bench [--runs N] [--nmea-lead-ms MS] [--reply-delay-ms MS] [--build-dir DIR]

Prints figures only; nothing here judges them, and nothing here models the
program's timing: every figure is measured (the phases from the
simulator's transcript, the costs from rusage and /proc). Everything it
writes stays in BUILD/bench (the Wine prefix in BUILD/bench/wine, each
run's artefacts in BUILD/bench/runs/N); the wineserver it starts is stopped
before it returns.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

from tests.frames import split_line_traffic
from tests.protocol import HUNT_SLEEP_MS
from tests.wine import RigError
from tests.wine.builds import choose_arch
from tests.wine.control import Wine, registry_text
from tests.wine.receiver import SimReceiver

REPO = Path(__file__).resolve().parents[1]

# The port the receiver is reached as in this prefix. The prefix is private,
# but a number the end-to-end scenarios never use keeps their artefacts and
# ours apart when both are read side by side.
PORT_NAME = "COM11"
MODEL = 4


def say(text=""):
    print(text, flush=True)


# ---------------------------------------------------------------------------
# Processes


class Usage:
    """One process: wall time as seen from here, CPU time (ms) and peak RSS
    (KiB) as rusage_run reported them."""

    def __init__(self, text, wall_ms):
        code, user, system, rss = (int(v) for v in text.split())
        self.code = code
        self.wall_ms = wall_ms
        self.cpu_ms = (user + system) / 1000.0
        self.maxrss_kib = rss


def run_timed(wine, launcher, exe, workdir, timeout_s):
    """Runs `wine exe` to its end under rusage_run; output in files, never
    pipes (the session's service processes may hold them open)."""
    workdir = Path(workdir)
    usage_path = workdir / ("usage-%s.txt" % Path(exe).stem)
    if usage_path.exists():
        usage_path.unlink()
    with open(workdir / "stdout.bin", "wb") as out, open(workdir / "stderr.txt", "wb") as err:
        # The launcher's own fork and exec (about a millisecond) are in the
        # wall time of both exes alike.
        started = time.monotonic()
        process = subprocess.Popen([str(launcher), str(usage_path), shutil.which(wine.wine),
                                    str(Path(exe).resolve())],
                                   cwd=str(workdir), env=wine.env(), stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err, start_new_session=True)
    try:
        process.wait(timeout=timeout_s)
        wall_ms = (time.monotonic() - started) * 1000.0
    except subprocess.TimeoutExpired:
        # Its own session: the launcher and the wine process it started, nothing else.
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise RigError("%s did not end within %g s" % (exe, timeout_s))
    if not usage_path.exists():
        raise RigError("rusage_run could not run %s (exit %d)" % (exe, process.returncode))
    return Usage(usage_path.read_text(), wall_ms)


def wineserver_pid(wine):
    """The wineserver serving our prefix (another prefix's server may be running)."""
    wanted = b"WINEPREFIX=" + bytes(wine.prefix)
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            # Named wineserver32 or wineserver64 on some installs.
            if not (entry / "comm").read_text().startswith("wineserver"):
                continue
            if wanted in (entry / "environ").read_bytes().split(b"\0"):
                return int(entry.name)
        except OSError:
            continue
    return None


def cpu_seconds_of(pid):
    if pid is None:
        return None
    try:
        fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # utime and stime, fields 14 and 15 of the whole line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------------------
# What the transcript says


class RunFacts:
    """Times (ms, simulator clock) and sizes of one run, read from the transcript."""

    def __init__(self, receiver):
        ev = receiver.events
        opens = receiver.of("line-open")
        closes = receiver.of("line-closed")
        if not opens or not closes:
            raise RigError("the program did not open and close the line")
        self.open = opens[0]["t"]
        self.close = closes[0]["t"]
        self.frames = [(e["t"], bytes.fromhex(e["hex"])) for e in receiver.of("frame")]
        if len(self.frames) != 3:
            raise RigError("expected 3 frames from the program, got %d" % len(self.frames))
        self.rx_events = len(receiver.of("rx"))

        # Every byte the receiver put on the line after the open, with its time.
        stream = bytearray()
        times = []
        for e in ev:
            if e["event"] == "tx" and e["t"] >= self.open:
                chunk = bytes.fromhex(e["hex"])
                stream += chunk
                times += [e["t"]] * len(chunk)
        self.pieces = []  # (first byte t, last byte t, kind, bytes)
        offset = 0
        for kind, piece in split_line_traffic(bytes(stream)):
            self.pieces.append((times[offset], times[offset + len(piece) - 1], kind, piece))
            offset += len(piece)
        if not self.pieces:
            raise RigError("the receiver sent nothing after the open")
        self.first_byte = self.pieces[0][0]
        self.first_kind = self.pieces[0][2]

    def answers_after(self, t_write, count):
        """The first `count` UBX frames the receiver sent at or after t_write."""
        found = [p for p in self.pieces if p[2] == "ubx" and p[0] >= t_write]
        return found[:count]

    def text_before(self, t):
        """NMEA (or other) bytes the receiver sent after the open and before t."""
        return sum(len(p[3]) for p in self.pieces if p[2] != "ubx" and p[0] < t)


# ---------------------------------------------------------------------------
# The benchmark


def median(values):
    return statistics.median(values) if values else float("nan")


def one_run(wine, launcher, exe, sim, workdir, sim_args, timeout_s):
    workdir.mkdir(parents=True, exist_ok=True)
    receiver = SimReceiver(sim, workdir, "bench", sim_args + ["--exit-on-close"],
                           max_seconds=timeout_s + 10)
    try:
        wine.link(PORT_NAME.lower(), receiver.slave)
        server = wineserver_pid(wine)
        server_before = cpu_seconds_of(server)
        usage = run_timed(wine, launcher, exe, workdir, timeout_s)
        server_after = cpu_seconds_of(server)
    finally:
        receiver.stop()
    server_cpu = (server_after - server_before
                  if server_before is not None and server_after is not None else None)
    return usage, server_cpu, receiver


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7, help="measured runs (default 7, at least 5)")
    parser.add_argument("--warmup", type=int, default=2,
                        help="runs first made to learn when the program opens the port (default 2)")
    # Half-way between two of the NMEA wait's looks, so that the few ms by
    # which the open wanders from run to run do not move the wait's end by a
    # whole sleep.
    parser.add_argument("--nmea-lead-ms", type=int, default=75,
                        help="first NMEA text this long after the expected open (default 75)")
    parser.add_argument("--nmea-period-ms", type=int, default=1000)
    parser.add_argument("--reply-delay-ms", type=int, default=2)
    parser.add_argument("--timeout", type=float, default=30.0, help="per run, seconds")
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    args = parser.parse_args(argv)
    if args.runs < 5 or args.warmup < 1:
        parser.error("--runs must be at least 5 (the figures are medians) and --warmup at least 1")

    try:
        arch, what_runs = choose_arch()
    except RigError as error:
        say("bench: cannot run Wine here: %s" % error)
        return 1
    say(what_runs)
    build = Path(args.build_dir).resolve()
    exe = arch.exe(build)
    sim = build / "native" / "sim" / "vantrel-sim"
    # The baseline is built for the same architecture, so that the start-up
    # rows compare like with like.
    trivial = build / "bench" / ("trivial-%s.exe" % arch.winearch)
    calls = build / "native" / "tests" / "vantrel_bench_calls"
    launcher = build / "bench" / "rusage_run"
    for path in (exe, sim, trivial, calls, launcher):
        if not path.is_file():
            say("bench: %s not found (./vantrel build; bench/run.sh builds trivial.exe and"
                " rusage_run)" % path)
            return 1

    root = build / "bench"
    wine = Wine(root / arch.tag, arch, log=lambda text: say("  " + text))
    runs_dir = root / "runs"

    # A wineserver is stopped however the benchmark ends.
    def stop(signum, _frame):
        raise KeyboardInterrupt("signal %d" % signum)
    signal.signal(signal.SIGTERM, stop)

    results = []
    try:
        say("Preparing the Wine prefix %s ..." % wine.prefix)
        wine.create_prefix(fresh=False)
        wine.clear_com_links()
        runs_dir.mkdir(parents=True, exist_ok=True)
        wine.reg_import(registry_text({r"\Device\NmeaVcp2": ("sz", PORT_NAME)},
                                      {"GpsPositionMode": ("dword", MODEL)}), runs_dir)

        # The simulator's NMEA schedule runs from its own start, not from the
        # open; learn when the open comes so the first text lands a known
        # time after it rather than being discarded before it.
        opens = []
        for n in range(args.warmup):
            receiver = one_run(wine, launcher, exe, sim, runs_dir / ("warmup-%d" % n),
                               # Text from the start and often, or the NMEA
                               # wait would hold the run for many seconds.
                               ["--nmea-first-ms", "0", "--nmea-period-ms", "50",
                                "--reply-delay-ms", str(args.reply_delay_ms)],
                               args.timeout)[2]
            line_open = receiver.of("line-open")
            if not line_open:
                raise RigError("warm-up run %d never opened the port" % n)
            opens.append(line_open[0]["t"])
        nmea_first = max(opens) + args.nmea_lead_ms
        sim_args = ["--nmea-first-ms", str(nmea_first), "--nmea-period-ms",
                    str(args.nmea_period_ms), "--reply-delay-ms", str(args.reply_delay_ms)]
        say("Open came %s ms after the simulator started in the warm-up runs; receiver: %s"
            % ("/".join(str(o) for o in opens), " ".join(sim_args)))

        for n in range(args.runs):
            server = wineserver_pid(wine)
            before = cpu_seconds_of(server)
            trivial_usage = run_timed(wine, launcher, trivial, runs_dir, args.timeout)
            after = cpu_seconds_of(server)
            trivial_server = after - before if None not in (before, after) else None
            if trivial_usage.code != 0:
                raise RigError("trivial.exe exited %d" % trivial_usage.code)
            usage, server_cpu, receiver = one_run(
                wine, launcher, exe, sim, runs_dir / str(n), list(sim_args), args.timeout)
            if usage.code != 0:
                raise RigError("run %d: vantrel.exe exited %d (see %s)"
                               % (n, usage.code, runs_dir / str(n)))
            facts = RunFacts(receiver)
            results.append((trivial_usage, trivial_server, usage, server_cpu, facts))
            say("  run %d: %.0f ms (trivial.exe %.0f ms)"
                % (n + 1, usage.wall_ms, trivial_usage.wall_ms))
    except (RigError, KeyboardInterrupt, subprocess.TimeoutExpired) as error:
        say("bench: stopped: %s" % error)
        return 1
    finally:
        wine.stop_server()

    report(results, args, nmea_first, arch, exe, calls)
    return 0


def report(results, args, nmea_first, arch, exe, calls):
    rows = {k: [] for k in ("start", "nmea", "prt", "set", "poll", "total")}
    answered = {k: [] for k in ("first", "prt", "set", "poll")}
    costs = {k: [] for k in ("trivial_wall", "trivial_cpu", "cpu", "rss", "trivial_rss", "server",
                             "trivial_server", "rx_events", "text")}
    for tusage, tserver, usage, server_cpu, f in results:
        span = f.close - f.open
        t_prt, t_set, t_poll = (t for t, _ in f.frames)
        for key, value in (("start", usage.wall_ms - span), ("nmea", t_prt - f.open),
                           ("prt", t_set - t_prt), ("set", t_poll - t_set),
                           ("poll", f.close - t_poll), ("total", usage.wall_ms)):
            rows[key].append(value)
        answered["first"].append(f.first_byte - f.open)
        answered["prt"].append(f.answers_after(t_prt, 1)[0][0] - t_prt)
        answered["set"].append(f.answers_after(t_set, 1)[0][0] - t_set)
        answered["poll"].append(f.answers_after(t_poll, 2)[1][0] - t_poll)
        costs["trivial_wall"].append(tusage.wall_ms)
        costs["trivial_cpu"].append(tusage.cpu_ms)
        costs["cpu"].append(usage.cpu_ms)
        costs["rss"].append(usage.maxrss_kib)
        costs["trivial_rss"].append(tusage.maxrss_kib)
        if server_cpu is not None and tserver is not None:
            costs["server"].append(server_cpu * 1000)
            costs["trivial_server"].append(tserver * 1000)
        costs["rx_events"].append(f.rx_events)
        costs["text"].append(f.text_before(t_prt))

    m = {k: median(v) for k, v in rows.items()}
    a = {k: median(v) for k, v in answered.items()}
    d = {k: median(v) for k, v in costs.items()}
    labels = {
        "start": "Wine start + exit (wall - open..close)",
        "nmea": "NMEA wait (open -> CFG-PRT written)",
        "prt": "CFG-PRT (write -> set written)",
        "set": "CFG-NAV5 set (write -> poll written)",
        "poll": "CFG-NAV5 poll (write -> line closed)",
        "total": "Total wall time of `wine vantrel.exe`",
    }
    beside = {
        "start": "trivial.exe: %.1f ms" % d["trivial_wall"],
        "nmea": "first NMEA byte %.0f ms after the open" % a["first"],
        "prt": "its ack on the line %.0f ms after the write" % a["prt"],
        "set": "its ack on the line %.0f ms after the write" % a["set"],
        "poll": "response and ack on the line %.0f ms after the write" % a["poll"],
        "total": "",
    }

    say()
    say("The %s against vantrel-sim, median of %d successful runs (exit 0, 3 frames)"
        % (arch.proves, len(results)))
    say("Receiver: first NMEA at %d ms of its clock (%d ms after the expected open), every %d ms;"
        " replies %d ms after each message. Times in ms, from the simulator's transcript."
        % (nmea_first, args.nmea_lead_ms, args.nmea_period_ms, args.reply_delay_ms))
    say()
    header = "%-42s %9s  %s" % ("", "measured", "beside it")
    say(header)
    for k in ("start", "nmea", "prt", "set", "poll", "total"):
        if k == "total":
            say("-" * len(header))
        say("%-42s %9.1f  %s" % (labels[k], m[k], beside[k]))
    say()
    say("Between an answer reaching the line and the program's next write: CFG-PRT %.0f ms, "
        "set %.0f ms, poll %.0f ms" % (m["prt"] - a["prt"], m["set"] - a["set"],
                                       m["poll"] - a["poll"]))
    say("(the hunts sleep %d ms on an empty queue); NMEA text read before the CFG-PRT: %d bytes."
        % (HUNT_SLEEP_MS, d["text"]))

    say()
    say("Cost per run (median)")
    say("  CPU time, wine process (user+sys):   %7.1f ms   (trivial.exe %.1f ms)"
        % (d["cpu"], d["trivial_cpu"]))
    if costs["server"]:
        say("  CPU time, wineserver during the run: %7.1f ms   (trivial.exe %.1f ms; means %.1f"
            " and %.1f," % (d["server"], d["trivial_server"], statistics.mean(costs["server"]),
                            statistics.mean(costs["trivial_server"])))
        say("    read in clock ticks of %.0f ms)" % (1000.0 / os.sysconf("SC_CLK_TCK")))
    say("  Peak memory of the wine process (max RSS, rusage): %d KiB (runs %d..%d; trivial.exe"
        % (d["rss"], min(costs["rss"]), max(costs["rss"])))
    say("    %d KiB): Wine's loader, its DLLs and the program's image together"
        % d["trivial_rss"])
    bss = section_size(arch, exe, ".bss")
    if bss is not None:
        say("  .bss of vantrel.exe (its static buffers, with the C runtime's): %d bytes" % bss)
    stripped = stripped_size(arch, exe)
    if stripped is None:
        say("  Exe size: %d bytes as built (%s-strip not available)"
            % (exe.stat().st_size, arch.mingw))
    else:
        say("  Exe size stripped: %d bytes (as built: %d bytes)" % (stripped, exe.stat().st_size))
    say("  Writes seen by the receiver: 3 frames in %d reads of the pty (the double below"
        % d["rx_events"])
    say("    counts the program's WriteFile calls)")

    say()
    say("Platform calls per run, through the test double (%s):" % calls.name)
    done = subprocess.run([str(calls)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          timeout=60)
    for text_line in done.stderr.decode(errors="replace").splitlines():
        say("  " + text_line)


def section_size(arch, exe, name):
    try:
        done = subprocess.run([arch.mingw + "-objdump", "-h", str(exe)],
                              capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    for line in done.stdout.splitlines():
        parts = line.split()
        if len(parts) > 2 and parts[1] == name:
            return int(parts[2], 16)
    return None


def stripped_size(arch, exe):
    out = exe.parent.parent / "bench" / ("vantrel-stripped-%s.exe" % arch.winearch)
    try:
        done = subprocess.run([arch.mingw + "-strip", "-o", str(out), str(exe)],
                              capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return out.stat().st_size if done.returncode == 0 else None


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
