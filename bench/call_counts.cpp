// Counts the platform calls a run makes, through the test double: per run,
// and per byte of NMEA text the hunts must skip. Prints a table; asserts
// nothing (the unit tests hold the rules, this shows the costs).
#include <cstdio>
#include <memory>
#include <string>

#include "double/fake_windows.h"
#include "run/configuration_run.h"
#include "sim/receiver_model.h"

namespace {

using namespace Vantrel;

struct Counts {
  std::uint64_t reads;
  std::uint64_t writes;
  std::uint64_t queueQueries;
  std::uint64_t sleeps;
  std::uint64_t virtualMs;
  std::uint64_t bytesTaken;
  RunResult result;
};

// NMEA-like text without a sync byte, queued at atMs.
void AddNoise(Sim::ReceiverModel& line, std::size_t bytes, std::uint64_t atMs) {
  std::string text;
  while (text.size() < bytes) text += "GPGSV,3,1,11,03,03,111,00,04,15,270,00*74\r\n";
  text.resize(bytes);
  line.Inject(text, atMs);
}

// A confirmed run against a receiver that puts `noiseBytes` of text on the
// line after its first sentence, so that the first acknowledgement hunt must
// skip them.
Counts MeasureRun(std::size_t noiseBytes) {
  Fake::Reset();
  Sim::Scenario scenario;
  scenario.nmeaFirstMs = 10;
  scenario.nmeaPeriodMs = 1000;
  scenario.replyDelayMs = 2;
  Sim::ReceiverModel receiver(scenario);
  HANDLE port = Fake::OpenTestPort(&receiver);

  // The NMEA wait polls at 0 ms and 50 ms and takes the sentences of 10 ms;
  // the CFG-PRT goes out at 50 ms and its acknowledgement is due at 52 ms,
  // so text arriving at 51 ms lies between them.
  if (noiseBytes > 0) AddNoise(receiver, noiseBytes, 51);

  const RunResult result = RunConfiguration(port, 0, 4);
  return Counts{Fake::CallCount(Fake::Call::ReadFile),
                Fake::CallCount(Fake::Call::WriteFile),
                Fake::CallCount(Fake::Call::ClearCommError),
                Fake::CallCount(Fake::Call::Sleep),
                Fake::NowMs(),
                receiver.BytesTakenByHost(),
                result};
}

}  // namespace

int main() {
  // The console line of each acknowledgement wait is not the subject here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  std::FILE* out = stderr;
  std::fprintf(out, "Platform calls of one confirmed run (model 4), NMEA at 1 Hz, replies after 2 ms\n\n");
  std::fprintf(out, "%-14s %8s %8s %10s %8s %10s %10s %12s\n", "noise bytes", "reads", "writes",
               "queue qs", "sleeps", "virt ms", "bytes in", "reads/noise");
  const Counts base = MeasureRun(0);
  for (std::size_t noise : {0u, 100u, 1000u, 4000u}) {
    const Counts c = MeasureRun(noise);
    const double perByte =
        noise == 0 ? 0.0 : static_cast<double>(c.reads - base.reads) / static_cast<double>(noise);
    std::fprintf(out, "%-14zu %8llu %8llu %10llu %8llu %10llu %10llu %12.3f%s\n", noise,
                 static_cast<unsigned long long>(c.reads), static_cast<unsigned long long>(c.writes),
                 static_cast<unsigned long long>(c.queueQueries),
                 static_cast<unsigned long long>(c.sleeps),
                 static_cast<unsigned long long>(c.virtualMs),
                 static_cast<unsigned long long>(c.bytesTaken), perByte,
                 c.result == 0 ? "" : "  (run did not confirm)");
  }
  std::fprintf(out, "\nThe NMEA wait reads whatever is queued in one call; the hunts read one byte per\n"
                    "call, so each byte of text between the program and an answer costs about one read.\n");
  return 0;
}
