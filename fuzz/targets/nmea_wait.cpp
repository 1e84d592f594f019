// The wait for NMEA traffic, WaitForNmea, against arbitrary line traffic
// arriving in arbitrary pieces at arbitrary virtual times, called once or
// twice on the same line.
//
// Input: flags (low bit: calls - 1), call faults, schedule.
#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "ubx/exchange.h"

using namespace Vantrel;
using namespace Vantrel::FuzzSupport;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const int calls = (input.Byte() & 1) + 1;

  Fake::Reset();
  TakeConsoleBytes();
  const bool faults = DecodeCallFaults(input);
  const Schedule schedule = DecodeSchedule(input);
  ScriptedLine line(schedule);
  const HANDLE port = line.port();

  // What the first poll sees: everything there at time 0, one buffer's worth.
  Bytes firstRead = schedule.AtTimeZero();
  if (firstRead.size() > static_cast<std::size_t>(kUbxBufferSize)) firstRead.resize(kUbxBufferSize);
  const bool dollarAtOnce = std::find(firstRead.begin(), firstRead.end(), '$') != firstRead.end();
  const bool dollarAnywhere =
      std::find(schedule.stream.begin(), schedule.stream.end(), '$') != schedule.stream.end();

  for (int call = 0; call < calls; ++call) {
    const std::uint64_t startMs = Fake::NowMs();
    const int result = WaitForNmea(port);
    const std::uint64_t elapsed = Fake::NowMs() - startMs;
    Trace("WaitForNmea = %d, %llu ms, %zu bytes on the line\n", result, static_cast<unsigned long long>(elapsed),
          schedule.stream.size());

    FUZZ_CHECK(result == 0 || result == 1, "result " + std::to_string(result));
    FUZZ_CHECK(TakeConsoleBytes() == 0, "printed something");
    FUZZ_CHECK(elapsed <= NmeaWaitBoundMs(), std::to_string(elapsed) + " ms");
    if (result == 1) FUZZ_CHECK(dollarAnywhere, "NMEA reported on a line without '$'");
    if (call == 0 && !faults && dollarAtOnce) FUZZ_CHECK(result == 1, "'$' in the first read missed");
  }
  FUZZ_CHECK(Fake::OpenHandleCount() == 1, "the wait opened or closed a handle");
  CheckNoViolations();
  return 0;
}
