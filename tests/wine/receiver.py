"""The simulated receiver (vantrel-sim) on a pty of its own, and what its
transcript says once it has stopped."""

import bisect
import json
import signal
import subprocess
import time
from pathlib import Path

from tests.frames import split_line_traffic
from tests.wine import RigError


class SimReceiver:
    """One vantrel-sim process on its own pty."""

    def __init__(self, sim_exe, workdir, name, args, max_seconds):
        self.name = name
        self.workdir = Path(workdir)
        self.transcript_path = self.workdir / ("receiver-%s.jsonl" % name)
        slave_file = self.workdir / ("receiver-%s.slave" % name)
        for p in (self.transcript_path, slave_file):
            if p.exists():
                p.unlink()
        self.args = list(args)
        command = [str(sim_exe), "--transcript", str(self.transcript_path), "--slave-file",
                   str(slave_file), "--quiet", "--max-seconds", "%g" % max_seconds] + self.args
        self.command = command
        log = open(self.workdir / ("receiver-%s.log" % name), "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        deadline = time.monotonic() + 10
        while not slave_file.exists():
            if self.process.poll() is not None:
                raise RigError("vantrel-sim %s exited at once (%d): %s" % (
                    name, self.process.returncode,
                    (self.workdir / ("receiver-%s.log" % name)).read_text(errors="replace")))
            if time.monotonic() > deadline:
                self.process.kill()
                raise RigError("vantrel-sim %s did not create its pty" % name)
            time.sleep(0.01)
        self.slave = slave_file.read_text().strip()
        self.events = []

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.events = []
        if self.transcript_path.exists():
            for line in self.transcript_path.read_text().splitlines():
                if line.strip():
                    self.events.append(json.loads(line))
        return self

    # What the transcript says, once stopped.
    def of(self, kind):
        return [e for e in self.events if e["event"] == kind]

    def frames(self):
        return [bytes.fromhex(e["hex"]) for e in self.of("frame")]

    def received_bytes(self):
        return b"".join(bytes.fromhex(e["hex"]) for e in self.of("rx"))

    def opened(self):
        return bool(self.of("line-open"))

    def end(self):
        ends = self.of("end")
        return ends[-1] if ends else None

    def exchange(self):
        """What crossed the line, in time order: (t_ms, direction, kind, bytes),
        each piece at the time of the chunk that carried its first byte.

        Back-to-back chunks going the same way are decoded as one stream,
        since a frame may be split across reads; a frame that arrives 25 s
        after the one before it still keeps its own time."""
        runs = []  # [direction, bytes, chunk start offsets, chunk times]
        for e in self.events:
            if e["event"] not in ("rx", "tx"):
                continue
            direction = "to-receiver" if e["event"] == "rx" else "to-program"
            if not runs or runs[-1][0] != direction:
                runs.append([direction, bytearray(), [], []])
            run = runs[-1]
            run[2].append(len(run[1]))
            run[3].append(e["t"])
            run[1].extend(bytes.fromhex(e["hex"]))
        out = []
        for direction, data, offsets, times in runs:
            at = 0
            for kind, piece in split_line_traffic(bytes(data)):
                chunk = bisect.bisect_right(offsets, at) - 1
                out.append((times[chunk], direction, kind, piece))
                at += len(piece)
        return out
