// The longest each failure path holds up a device's start-up, measured on
// the virtual clock. The deployment guide's table (docs/DEPLOYING.md, "How
// long it can take") quotes these figures; a change that makes any of them
// longer must change both.
#include "run/program.h"
#include "support/bench.h"

namespace Vantrel {
namespace Testing {
namespace {

class WorstCaseTest : public Bench {
 public:
  using Bench::AddReceiverDevice;
};

Sim::Scenario Silent() {
  Sim::Scenario scenario;
  scenario.silent = true;
  return scenario;
}

Sim::Scenario OnlyNmea() {
  Sim::Scenario scenario;
  for (Sim::Exchange e : {Sim::Exchange::PortConfig, Sim::Exchange::ModelSet, Sim::Exchange::ModelPoll})
    scenario.For(e).noAcknowledgement = true;
  return scenario;
}

void NeverAppearing(const std::string& portName, DWORD reason) {
  Fake::DeviceSpec device;
  device.path = "\\\\.\\" + portName;
  device.availableFromMs = ~0ull;
  device.errorBeforeAvailable = reason;
  Fake::AddDevice(device);
}

TEST_F(WorstCaseTest, EachFailurePathEndsWithinItsDocumentedTime) {
  struct Row {
    const char* legend;
    void (*machine)(WorstCaseTest&);
    RunResult result;
    std::uint64_t minMs;
    std::uint64_t maxMs;
  };
  const Row rows[] = {
      {"serial-device key missing", [](WorstCaseTest&) {}, 2, 0, 0},
      {"no device listed and no COM3",
       [](WorstCaseTest&) { Fake::AddRegistryKey(kSerialCommKey); }, 2, 14100, 14100},
      {"device never ready",
       [](WorstCaseTest&) {
         ListSerialDevice("NmeaVcp0", "COM5");
         NeverAppearing("COM5", ERROR_NOT_READY);
       },
       2, 2 * 14100, 2 * 14100},
      {"every candidate listed, none present",
       [](WorstCaseTest&) {
         ListSerialDevice("NmeaVcp2", "COM7");
         ListSerialDevice("NmeaVcp1", "COM6");
         ListSerialDevice("NmeaVcp0", "COM5");
       },
       2, 4 * 14100, 4 * 14100},
      {"silent receiver",
       [](WorstCaseTest& t) { t.AddReceiverDevice("NmeaVcp0", "COM5", Silent()); SetSettings(0, 4); },
       1, 3 * kSilentHuntMs, 3 * kSilentHuntMs},
      {"silent receiver, model stage disabled",
       [](WorstCaseTest& t) { t.AddReceiverDevice("NmeaVcp0", "COM5", Silent()); SetSettings(1, 4); },
       7, 2 * kSilentHuntMs, 2 * kSilentHuntMs},
      {"receiver that only sends NMEA",
       [](WorstCaseTest& t) { t.AddReceiverDevice("NmeaVcp0", "COM5", OnlyNmea()); SetSettings(0, 4); },
       // Passes that find text do not sleep: a little under two silent hunts.
       1, 2 * kSilentHuntMs - 2500, 2 * kSilentHuntMs},
      {"three candidates absent, then a silent receiver on COM3",
       [](WorstCaseTest& t) {
         ListSerialDevice("NmeaVcp2", "COM7");
         ListSerialDevice("NmeaVcp1", "COM6");
         ListSerialDevice("NmeaVcp0", "COM5");
         t.AddReceiverDevice("Unrelated", "COM3", Silent());
         SetSettings(0, 4);
       },
       1, 3 * 14100 + 3 * kSilentHuntMs, 3 * 14100 + 3 * kSilentHuntMs},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.legend);
    Fake::Reset();
    row.machine(*this);
    EXPECT_EQ(RunProgram(), row.result);
    EXPECT_GE(Fake::NowMs(), row.minMs);
    EXPECT_LE(Fake::NowMs(), row.maxMs);
    EXPECT_EQ(Fake::OpenHandleCount(), 0);
    EXPECT_EQ(Fake::OpenKeyCount(), 0);
  }
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
