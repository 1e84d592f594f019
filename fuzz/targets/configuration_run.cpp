// The whole configuration sequence, RunConfiguration, with arbitrary
// settings (disable, model), a receiver model with fuzzed behaviour and
// faults, failing Windows calls, and arbitrary extra line traffic arriving
// at arbitrary virtual times.
//
// Input: disable (LE32), model (LE32), scenario, call faults, schedule.
#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "run/configuration_run.h"
#include "ubx/exchange.h"

using namespace Vantrel;
using namespace Vantrel::FuzzSupport;

namespace {

DWORD Dword(Input& input) {
  const std::uint16_t low = input.Word();
  return static_cast<DWORD>(low) | static_cast<DWORD>(input.Word()) << 16;
}

// The dynamic models the receiver accepts; anything else asks for portable.
DWORD ExpectedModel(DWORD model) { return model <= 8 && model != 1 ? model : 0; }

Bytes LineOf(const Sim::ReceiverModel& receiver) {
  Bytes line;
  for (const Sim::SentBytes& sent : receiver.Sent()) line.insert(line.end(), sent.bytes.begin(), sent.bytes.end());
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const DWORD disable = Dword(input);
  const DWORD model = Dword(input);

  Fake::Reset();
  TakeConsoleBytes();
  const Sim::Scenario scenario = DecodeScenario(input);
  DecodeCallFaults(input);
  const Schedule schedule = DecodeSchedule(input);
  Sim::ReceiverModel receiver(scenario);
  // Opening empties the driver's queue, so the traffic goes on afterwards.
  const HANDLE port = Fake::OpenTestPort(&receiver);
  schedule.InjectInto(receiver);

  const RunResult result = RunConfiguration(port, disable, model);
  const std::uint64_t elapsed = Fake::NowMs();
  const Bytes line = LineOf(receiver);
  Trace("RunConfiguration(disable %u, model %u) = %d, %llu ms, %zu writes, receiver model %d\n", disable, model,
        result, static_cast<unsigned long long>(elapsed), Fake::Writes().size(), receiver.Model());

  if (disable != 0) {
    FUZZ_CHECK(result == 6 || result == 7, "disabled run gave " + std::to_string(result));
  } else {
    FUZZ_CHECK(result == 0 || result == 1 || result == 4 || result == 5, "run gave " + std::to_string(result));
  }
  FUZZ_CHECK(elapsed <= RunBoundMs(line.size()), std::to_string(elapsed) + " ms");

  // One line per acknowledgement wait: the port's, then for the model stage
  // at most two for the set and one after the poll.
  const long printed = TakeConsoleBytes();
  const long waits = printed / kAckLineBytes;
  FUZZ_CHECK(printed % kAckLineBytes == 0, "printed " + std::to_string(printed) + " bytes");
  FUZZ_CHECK(disable != 0 ? waits == 1 : waits >= 1 && waits <= 4, std::to_string(waits) + " waits");
  if (result == 4 || result == 5) FUZZ_CHECK(waits >= 3, "mismatch after " + std::to_string(waits) + " waits");

  // The port counts as acknowledged only on a real ACK-ACK of two or more bytes.
  if (result % 2 == 0) {
    bool acked = false;
    for (const Bytes& payload : FramesIn(line, kAckClass, kAckAckId)) acked = acked || payload.size() >= 2;
    FUZZ_CHECK(acked, "port acknowledged without an ACK-ACK on the line");
  }

  // What was written: the port set first, never a model frame when
  // disabled, and a model set carrying the sanitised model.
  const DWORD expectedModel = ExpectedModel(model);
  bool modelSetSeen = false;
  for (const Fake::WriteRecord& write : Fake::Writes()) {
    const Bytes& w = write.bytes;
    FUZZ_CHECK(w.size() >= 4 && w[0] == kSyncChar1 && w[1] == kSyncChar2 && w[2] == kCfgClass,
               "a write that is not a CFG frame");
    if (w[3] != kCfgNav5Id) continue;
    FUZZ_CHECK(disable == 0, "model frame written with the model stage disabled");
    if (w.size() >= 9 && w[4] == 36) {
      modelSetSeen = true;
      FUZZ_CHECK(w[8] == expectedModel, "model " + std::to_string(model) + " sent as " + std::to_string(w[8]));
    }
  }
  // A mismatch needs a model set, and a poll response on the line reporting
  // another model.
  if (result == 4 || result == 5) {
    FUZZ_CHECK(modelSetSeen, "mismatch without a complete model set written");
    bool reportedOther = false;
    for (const Bytes& payload : FramesIn(line, kCfgClass, kCfgNav5Id))
      reportedOther = reportedOther || (payload.size() > 2 && payload[2] != expectedModel);
    FUZZ_CHECK(reportedOther, "mismatch without a response reporting another model");
  }
  FUZZ_CHECK(Fake::OpenHandleCount() == 1, "the run opened or closed a handle");
  CheckNoViolations();
  return 0;
}
