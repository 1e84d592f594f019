// The response read, ReadUbxResponse, against arbitrary line traffic
// arriving in arbitrary pieces at arbitrary virtual times, called one to
// four times in a row on the same line.
//
// Input: flags (low two bits: calls - 1), class, id, call faults, schedule.
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "ubx/exchange.h"

using namespace Vantrel;
using namespace Vantrel::FuzzSupport;

namespace {

constexpr std::uint16_t kUntouched = 0xBEEF;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const int calls = (input.Byte() & 3) + 1;
  const std::uint8_t messageClass = input.Byte();
  const std::uint8_t id = input.Byte();
  const MessageKey key = MakeMessageKey(messageClass, id);

  Fake::Reset();
  TakeConsoleBytes();
  const bool faults = DecodeCallFaults(input);
  const Schedule schedule = DecodeSchedule(input);
  ScriptedLine line(schedule);
  const HANDLE port = line.port();
  const int firstLength = faults ? -1 : WholeFrameAtStart(schedule.AtTimeZero(), messageClass, id);

  for (int call = 0; call < calls; ++call) {
    const std::uint64_t startMs = Fake::NowMs();
    std::uint16_t length = kUntouched;
    const int result = ReadUbxResponse(port, key, &length);
    const std::uint64_t elapsed = Fake::NowMs() - startMs;
    Trace("ReadUbxResponse(%02X %02X) = %d, length %u, %llu ms, %zu bytes on the line\n", messageClass, id,
          result, length, static_cast<unsigned long long>(elapsed), schedule.stream.size());

    FUZZ_CHECK(result == 0 || result == 1, "result " + std::to_string(result));
    FUZZ_CHECK(TakeConsoleBytes() == 0, "printed something");
    FUZZ_CHECK(elapsed <= FrameWaitBoundMs(schedule.stream.size()), std::to_string(elapsed) + " ms");
    if (result == 1) {
      FUZZ_CHECK(length <= kLargestAcceptedLength, "length " + std::to_string(length));
      FUZZ_CHECK(HasFrameWithPayload(schedule.stream, messageClass, id, ResponseBuffer, length),
                 "response of " + std::to_string(length) + " bytes that was never on the line");
    } else {
      FUZZ_CHECK(length == kUntouched, "length written on failure");
    }
    if (call == 0 && firstLength >= 0)
      FUZZ_CHECK(result == 1 && length == firstLength, "well-formed response missed");
  }
  FUZZ_CHECK(Fake::OpenHandleCount() == 1, "the read opened or closed a handle");
  CheckNoViolations();
  return 0;
}
