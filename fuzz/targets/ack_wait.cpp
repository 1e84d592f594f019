// The acknowledgement wait, ProcessAckNak, against arbitrary line traffic
// arriving in arbitrary pieces at arbitrary virtual times, called one to
// four times in a row on the same line as the configuration run does.
//
// Input: flags (low two bits: calls - 1), class, id, call faults, schedule.
#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "ubx/exchange.h"

using namespace Vantrel;
using namespace Vantrel::FuzzSupport;

namespace {

// A frame at the very start of the line, complete at time 0, is taken by
// the first wait whatever follows it.
bool StartsWithWholeAck(const Schedule& schedule, std::uint8_t messageClass, std::uint8_t id) {
  const Bytes atZero = schedule.AtTimeZero();
  return WholeFrameAtStart(atZero, kAckClass, kAckAckId) >= 2 && atZero[6] == messageClass &&
         atZero[7] == id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const int calls = (input.Byte() & 3) + 1;
  const std::uint8_t messageClass = input.Byte();
  const std::uint8_t id = input.Byte();

  Fake::Reset();
  TakeConsoleBytes();
  const bool faults = DecodeCallFaults(input);
  const Schedule schedule = DecodeSchedule(input);
  ScriptedLine line(schedule);
  const HANDLE port = line.port();
  const bool wholeAckFirst = !faults && StartsWithWholeAck(schedule, messageClass, id);

  for (int call = 0; call < calls; ++call) {
    const std::uint64_t startMs = Fake::NowMs();
    int mismatch = -1;
    const int result = ProcessAckNak(port, messageClass, id, &mismatch);
    const std::uint64_t elapsed = Fake::NowMs() - startMs;
    Trace("ProcessAckNak(%02X %02X) = %d, mismatch %d, %llu ms, %zu bytes on the line\n", messageClass, id,
          result, mismatch, static_cast<unsigned long long>(elapsed), schedule.stream.size());

    FUZZ_CHECK(result == 0 || result == 1, "result " + std::to_string(result));
    const long printed = TakeConsoleBytes();
    FUZZ_CHECK(printed == kAckLineBytes, "printed " + std::to_string(printed) + " bytes for one wait");
    FUZZ_CHECK(elapsed <= FrameWaitBoundMs(schedule.stream.size()), std::to_string(elapsed) + " ms");
    FUZZ_CHECK(mismatch == -1 || mismatch == 0 || mismatch == 1, std::to_string(mismatch));
    if (result == 1 || mismatch != -1) {
      // Judged: an acknowledgement of at least two bytes really was on the
      // line, its payload is in AckBuffer, and the judgement matches it.
      const std::uint8_t ackId = result == 1 ? kAckAckId : kAckNakId;
      bool seen = false;
      for (const Bytes& payload : FramesIn(schedule.stream, kAckClass, ackId)) {
        if (payload.size() < 2 || !std::equal(payload.begin(), payload.end(), AckBuffer)) continue;
        const int expected = payload[0] != messageClass || payload[1] != id ? 1 : 0;
        if (mismatch == expected) seen = true;
      }
      FUZZ_CHECK(seen, "result " + std::to_string(result) + ", mismatch " + std::to_string(mismatch) +
                           " without such an acknowledgement on the line");
    }
    if (call == 0 && wholeAckFirst) FUZZ_CHECK(result == 1 && mismatch == 0, "well-formed ACK-ACK missed");
  }
  FUZZ_CHECK(Fake::OpenHandleCount() == 1, "the wait opened or closed a handle");
  CheckNoViolations();
  return 0;
}
