#!/usr/bin/env python3
"""Times successful runs of vantrel.exe under Wine against the simulated
receiver and sets each phase beside the floor the program's algorithm allows.

  wine_bench.py [--runs N] [--nmea-lead-ms MS] [--reply-delay-ms MS] [--build-dir DIR]

Prints figures only; nothing here judges them. Everything it writes stays in
BUILD/bench (the Wine prefix in BUILD/bench/wine, each run's artefacts in
BUILD/bench/runs/N); the wineserver it starts is stopped before it returns.
"""

import argparse
import math
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

# The rig is imported from the source tree; a bytecode cache there would be
# a write outside the build tree.
sys.dont_write_bytecode = True
REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from wine_rig import (RigError, SimReceiver, Wine, choose_arch, registry_text,  # noqa: E402
                      split_line_traffic)

# The port the receiver is reached as in this prefix. The prefix is private,
# but a number the end-to-end scenarios never use keeps their artefacts and
# ours apart when both are read side by side.
PORT_NAME = "COM11"
MODEL = 4
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit


def say(text=""):
    print(text, flush=True)


def source_constant(relative, name):
    """A constexpr from the program's own source, so the floor follows the code."""
    text = (REPO / relative).read_text()
    match = re.search(r"constexpr\s+\w+\s+%s\s*=\s*(\d+)\s*;" % re.escape(name), text)
    if match is None:
        raise RigError("cannot find %s in %s" % (name, relative))
    return int(match.group(1))


def static_buffers():
    """(count, size) of the program's statically allocated UBX buffers."""
    size = source_constant("src/ubx/frame.h", "kUbxBufferSize")
    count = 0
    for path in sorted((REPO / "src").rglob("*.cpp")):
        count += len(re.findall(r"^std::uint8_t\s+\w+\[kUbxBufferSize\];", path.read_text(),
                                re.MULTILINE))
    return count, size


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
# The floor


class Line:
    """An ideal line at the program's speed: the program costs nothing, every
    sleep is exact, the receiver answers after its configured delay and sends
    one byte after another. Times in ms from the open."""

    def __init__(self, baud, sleep_ms, reply_delay_ms):
        self.byte_ms = BITS_PER_BYTE * 1000.0 / baud
        self.sleep_ms = sleep_ms
        self.reply_delay_ms = reply_delay_ms
        self.receiver_free = 0.0  # when the receiver's transmitter is idle again
        self.sleeps = 0
        self.wire_ms = 0.0

    def send_from_receiver(self, at, nbytes):
        """Bytes the receiver starts sending at `at`: when the last one has arrived."""
        start = max(at, self.receiver_free)
        self.receiver_free = start + nbytes * self.byte_ms
        self.wire_ms += nbytes * self.byte_ms
        return self.receiver_free

    def write(self, at, nbytes):
        """A frame written at `at`: when the receiver has all of it."""
        self.wire_ms += nbytes * self.byte_ms
        return at + nbytes * self.byte_ms

    def poll_until(self, start, ready):
        """A wait that looks at the queue at `start` and then after each sleep:
        when it first finds `ready` has passed."""
        if ready <= start:
            return start
        count = math.ceil((ready - start) / self.sleep_ms - 1e-9)
        self.sleeps += count
        return start + count * self.sleep_ms


def floor_of(facts, frame_sizes, line):
    """Each phase of the open-to-close span on the ideal line.

    The NMEA wait ends at the first look that finds the first byte. A hunt
    that starts right after a write finds the queue empty (the answer needs
    the frame on the wire plus the reply delay) and sleeps until its answer
    is wholly queued: a payload read allows only the 1 ms read timeout, so a
    frame caught half-way cannot be relied on. The receiver's text goes out
    before its answers, so an answer can also wait for it to clear the wire.
    Returns (phase floors, line limit per phase) in ms."""
    nmea_at = facts.first_byte - facts.open
    text = facts.text_before(facts.frames[0][0])
    nmea_end = line.send_from_receiver(nmea_at, text)
    wait_end = line.poll_until(0.0, nmea_at + line.byte_ms)
    # Without polling the wait would end with the first byte.
    limits = {"nmea": nmea_at + line.byte_ms}

    prt_size, set_size, poll_size = frame_sizes
    ack_size = len(facts.answers_after(facts.frames[0][0], 1)[0][3])
    set_ack_size = len(facts.answers_after(facts.frames[1][0], 1)[0][3])
    response, poll_ack = facts.answers_after(facts.frames[2][0], 2)

    t = wait_end
    phases = {"nmea": wait_end}

    received = line.write(t, prt_size)
    ack_done = line.send_from_receiver(received + line.reply_delay_ms, ack_size)
    limits["prt"] = max(received + line.reply_delay_ms, nmea_end) + ack_size * line.byte_ms - t
    end = line.poll_until(t, ack_done)
    phases["prt"] = end - t
    t = end

    received = line.write(t, set_size)
    ack_done = line.send_from_receiver(received + line.reply_delay_ms, set_ack_size)
    limits["set"] = ack_done - t
    end = line.poll_until(t, ack_done)
    phases["set"] = end - t
    t = end

    received = line.write(t, poll_size)
    response_done = line.send_from_receiver(received + line.reply_delay_ms, len(response[3]))
    # The acknowledgement leaves with the response when the receiver sent
    # them together, else after its own delay.
    together = poll_ack[0] == response[1]
    ack_at = response_done if together else received + line.reply_delay_ms
    ack_done = line.send_from_receiver(ack_at, len(poll_ack[3]))
    limits["poll"] = ack_done - t
    response_read = line.poll_until(t, response_done)
    end = line.poll_until(response_read, ack_done)
    phases["poll"] = end - t
    return phases, limits, text


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
    # The baseline is built for the same architecture, so that the floor rows
    # compare like with like.
    trivial = build / "bench" / ("trivial-%s.exe" % arch.winearch)
    calls = build / "native" / "tests" / "vantrel_bench_calls"
    launcher = build / "bench" / "rusage_run"
    for path in (exe, sim, trivial, calls, launcher):
        if not path.is_file():
            say("bench: %s not found (./vantrel build; bench/run.sh builds trivial.exe and"
                " rusage_run)" % path)
            return 1

    sleep_ms = source_constant("src/ubx/exchange.h", "kEmptyQueueSleepMs")
    baud = source_constant("src/port/receiver_port.h", "kLineBaudRate")

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

    report(results, args, nmea_first, sleep_ms, baud, arch, exe, calls)
    return 0


def report(results, args, nmea_first, sleep_ms, baud, arch, exe, calls):
    rows = {k: [] for k in ("start", "nmea", "prt", "set", "poll", "total")}
    floors = {k: [] for k in rows}
    limits = {k: [] for k in rows}
    details = {k: [] for k in ("first", "prt_ack", "set_ack", "poll_ack", "sleeps", "wire",
                               "text", "trivial_cpu", "cpu", "rss", "trivial_rss", "server",
                               "trivial_server", "rx_events")}
    for tusage, tserver, usage, server_cpu, f in results:
        line = Line(baud, sleep_ms, args.reply_delay_ms)
        sizes = [len(frame) for _, frame in f.frames]
        phase_floor, phase_limit, text = floor_of(f, sizes, line)
        span = f.close - f.open
        t_prt, t_set, t_poll = (t for t, _ in f.frames)
        measured = {
            "start": usage.wall_ms - span,
            "nmea": t_prt - f.open,
            "prt": t_set - t_prt,
            "set": t_poll - t_set,
            "poll": f.close - t_poll,
            "total": usage.wall_ms,
        }
        floor = dict(phase_floor)
        floor["start"] = tusage.wall_ms
        floor["total"] = sum(floor[k] for k in ("start", "nmea", "prt", "set", "poll"))
        limit = dict(phase_limit)
        limit["start"] = tusage.wall_ms
        limit["total"] = sum(limit[k] for k in ("start", "nmea", "prt", "set", "poll"))
        for k in rows:
            rows[k].append(measured[k])
            floors[k].append(floor[k])
            limits[k].append(limit[k])
        details["first"].append(f.first_byte - f.open)
        details["prt_ack"].append(f.answers_after(t_prt, 1)[0][0] - t_prt)
        details["set_ack"].append(f.answers_after(t_set, 1)[0][0] - t_set)
        details["poll_ack"].append(f.answers_after(t_poll, 2)[1][0] - t_poll)
        details["sleeps"].append(line.sleeps)
        details["wire"].append(line.wire_ms)
        details["text"].append(text)
        details["trivial_cpu"].append(tusage.cpu_ms)
        details["cpu"].append(usage.cpu_ms)
        details["rss"].append(usage.maxrss_kib)
        details["trivial_rss"].append(tusage.maxrss_kib)
        if server_cpu is not None and tserver is not None:
            details["server"].append(server_cpu * 1000)
            details["trivial_server"].append(tserver * 1000)
        details["rx_events"].append(f.rx_events)

    m = {k: median(v) for k, v in rows.items()}
    fl = {k: median(v) for k, v in floors.items()}
    li = {k: median(v) for k, v in limits.items()}
    d = {k: median(v) for k, v in details.items()}
    n = len(results)

    labels = {
        "start": "Wine start + exit (wall - open..close)",
        "nmea": "NMEA wait (open -> CFG-PRT written)",
        "prt": "CFG-PRT (write -> ack taken)",
        "set": "CFG-NAV5 set (write -> ack taken)",
        "poll": "CFG-NAV5 poll (write -> ack taken, close)",
        "total": "Total wall time of `wine vantrel.exe`",
    }
    notes = {
        "start": "floor: trivial.exe under the same wineserver",
        "nmea": "first NMEA byte %.0f ms after the open (receiver)" % d["first"],
        "prt": "ack on the line %.0f ms after the write" % d["prt_ack"],
        "set": "ack on the line %.0f ms after the write" % d["set_ack"],
        "poll": "response+ack on the line %.0f ms after the write" % d["poll_ack"],
        "total": "",
    }

    say()
    say("The %s against vantrel-sim, median of %d successful runs (exit 0, 3 frames)"
        % (arch.proves, n))
    say("Receiver: first NMEA at %d ms of its clock (%d ms after the expected open), every %d ms;"
        " replies %d ms after each message." % (nmea_first, args.nmea_lead_ms,
                                                 args.nmea_period_ms, args.reply_delay_ms))
    say("Floor: the program's own algorithm on an ideal %d-baud line (%d bits a byte), at no cost"
        % (baud, BITS_PER_BYTE))
    say("per call, with exact %d ms sleeps. Line: the same without polling (bytes and reply"
        % sleep_ms)
    say("delays only). Times in ms.")
    say()
    header = "%-42s %9s %9s %7s %9s  %s" % ("", "measured", "floor", "ratio", "line", "")
    say(header)
    for k in ("start", "nmea", "prt", "set", "poll", "total"):
        if k == "total":
            say("-" * len(header))
        ratio = m[k] / fl[k] if fl[k] > 0 else float("nan")
        say("%-42s %9.1f %9.1f %7.2f %9.1f  %s" % (labels[k], m[k], fl[k], ratio, li[k], notes[k]))
    say()
    say("In the floor: %d sleeps of %d ms (median per run), %.1f ms of bytes on the wire"
        " (frames both ways" % (d["sleeps"], sleep_ms, d["wire"]))
    say("and %d bytes of NMEA text read), %d ms reply delay per answer."
        % (d["text"], args.reply_delay_ms))

    say()
    say("Cost per run (median)")
    say("  CPU time, wine process (user+sys):   %7.1f ms   (trivial.exe %.1f ms)"
        % (d["cpu"], d["trivial_cpu"]))
    if details["server"]:
        say("  CPU time, wineserver during the run: %7.1f ms   (trivial.exe %.1f ms; means %.1f"
            " and %.1f," % (d["server"], d["trivial_server"], statistics.mean(details["server"]),
                            statistics.mean(details["trivial_server"])))
        say("    read in clock ticks of %.0f ms)" % (1000.0 / os.sysconf("SC_CLK_TCK")))
    say("  Peak memory of the wine process (max RSS, rusage): %d KiB (runs %d..%d; trivial.exe"
        % (d["rss"], min(details["rss"]), max(details["rss"])))
    say("    %d KiB): Wine's loader, its DLLs and the program's image together"
        % d["trivial_rss"])
    count, size = static_buffers()
    bss = section_size(arch, exe, ".bss")
    say("  Program's own static data: %d x %d-byte UBX buffers = %d bytes (src/ubx);"
        % (count, size, count * size))
    if bss is not None:
        say("    .bss of vantrel.exe is %d bytes in all (with the C runtime's)" % bss)
    stripped = stripped_size(arch, exe)
    if stripped is None:
        say("  Exe size: %d bytes as built (%s-strip not available)"
            % (exe.stat().st_size, arch.mingw))
    else:
        say("  Exe size stripped: %d bytes (as built: %d bytes)" % (stripped, exe.stat().st_size))
    say("  Writes seen by the receiver: %d frames in %d reads of the pty (the double below"
        % (3, d["rx_events"]))
    say("    counts the program's WriteFile calls)")

    say()
    say("Platform calls per run, through the test double (%s):" % calls.name)
    done = subprocess.run([str(calls)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          timeout=60)
    for text_line in done.stderr.decode(errors="replace").splitlines():
        say("  " + text_line)

    say()
    above = {k: m[k] - fl[k] for k in ("start", "nmea", "prt", "set", "poll")}
    worst = max(above, key=above.get)
    polled = fl["total"] - li["total"]
    say("Ratio measured/floor in total: %.2f (%.0f ms above a floor of %.0f ms)."
        % (m["total"] / fl["total"], m["total"] - fl["total"], fl["total"]))
    say(textwrap.fill("Largest cost above the floor: %s, %.0f ms. %s"
                      % (labels[worst], above[worst], remedy(worst, d, args, sleep_ms)), 96))
    say(textwrap.fill(
        "Largest cost inside the floor: polling, %.0f ms of the %.0f ms floor (the line alone "
        "needs %.0f ms). Each hunt starts on an empty queue right after its write and sleeps "
        "%d ms though its answer is there after a few ms; a short wait for bytes (a read with a "
        "total timeout near the expected answer time, or WaitCommEvent on EV_RXCHAR) would end "
        "each hunt as its answer arrives, and the NMEA wait as the first text arrives."
        % (polled, fl["total"], li["total"], sleep_ms), 96))


def remedy(row, d, args, sleep_ms):
    if row == "start":
        return ("It is what the program does under Wine before the open and after the close "
                "that trivial.exe does not: loading ADVAPI32, the registry reads, CreateFile "
                "and the serial set-up (each a wineserver round trip), closing and exiting. "
                "The algorithm has no part in it; fewer start-up calls, or a host where they "
                "cost less, would reduce it.")
    if row == "nmea":
        return ("The NMEA wait's looks drift from exact %d ms steps by the cost of each "
                "Sleep and queue query under Wine; waiting on the port for the first byte "
                "would remove it." % sleep_ms)
    return ("Each hunt pays Wine's cost per call and its sleeps' overshoot; reading the "
            "acknowledgement in one call instead of one byte per ReadFile and waiting on "
            "the port instead of sleeping would remove most of it.")


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
