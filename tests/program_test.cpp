// The whole program from entry to exit code, and what it leaves behind when
// any single platform call fails.
#include <set>

#include "run/program.h"
#include "support/bench.h"

namespace Vantrel {
namespace Testing {
namespace {

class ProgramTest : public Bench {
 protected:
  // A device with a receiver on NmeaVcp0 = COM5, and the settings given.
  void SetUpMachine(const Sim::Scenario& scenario, DWORD disable, DWORD model) {
    receiver_ = &AddReceiverDevice("NmeaVcp0", "COM5", scenario);
    SetSettings(disable, model);
  }

  static Sim::Scenario Talking() {
    Sim::Scenario scenario;
    scenario.nmeaFirstMs = 100;
    return scenario;
  }

  static void ExpectEverythingClosed() {
    EXPECT_EQ(Fake::OpenHandleCount(), 0);
    EXPECT_EQ(Fake::OpenKeyCount(), 0);
  }

  Sim::ReceiverModel* receiver_ = nullptr;
};

TEST_F(ProgramTest, NoPortMeansExitCodeTwoWithNothingReadPrintedOrSent) {
  Fake::AddRegistryKey(kSerialCommKey);
  SetSettings(0, 4);
  EXPECT_EQ(RunProgram(), 2);
  EXPECT_EQ(TakeConsole(), "");
  EXPECT_TRUE(Fake::Writes().empty());
  ASSERT_EQ(Fake::KeyOpens().size(), 1u);  // the serial-device key only
  EXPECT_EQ(Fake::KeyOpens()[0].subKey, "Hardware\\DeviceMap\\SerialComm\\");
  ExpectEverythingClosed();
}

TEST_F(ProgramTest, ConfirmedRunExitsZeroWithThreeLinesAndClosesThePort) {
  SetUpMachine(Talking(), 0, 4);
  EXPECT_EQ(RunProgram(), 0);
  EXPECT_EQ(TakeConsole(), AckLines(3));
  EXPECT_EQ(receiver_->Model(), 4);
  EXPECT_EQ(Fake::HandlesClosed(), 1u);
  ExpectEverythingClosed();
  // The settings are read after the port is open, and only once.
  ASSERT_EQ(Fake::KeyOpens().size(), 2u);
  EXPECT_EQ(Fake::KeyOpens()[1].subKey, "Software\\Keldran\\Settings\\");
  EXPECT_EQ(Fake::OpenAttempts().size(), 1u);
}

TEST_F(ProgramTest, SettingsSteerTheRun) {
  struct Case {
    const char* legend;
    DWORD disable;
    DWORD model;
    RunResult result;
    int sentModel;  // -1: no model set sent
  };
  const Case cases[] = {
      {"pedestrian", 0, 3, 0, 3},
      {"disabled", 1, 3, 6, -1},
      {"unknown model sanitised to portable", 0, 1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    SetUpMachine(Talking(), c.disable, c.model);
    EXPECT_EQ(RunProgram(), c.result);
    if (c.sentModel < 0) {
      EXPECT_EQ(receiver_->Received().size(), 1u);
    } else {
      ASSERT_GE(receiver_->Received().size(), 2u);
      EXPECT_EQ(receiver_->Received()[1].payload[2], c.sentModel);
    }
    ExpectEverythingClosed();
  }
}

// Every platform call of a run is made to fail in turn, once and from then
// on. Whatever fails, the run ends with a defined code, within its bound of
// time, with every key and handle it opened closed exactly once.
TEST_F(ProgramTest, AnySinglePlatformFailureEndsWithADefinedCodeAndNothingLeftOpen) {
  SetUpMachine(Talking(), 0, 4);
  ASSERT_EQ(RunProgram(), 0);
  const std::uint64_t callsInARun = Fake::TotalCalls();
  ASSERT_GT(callsInARun, 10u);

  const std::set<RunResult> defined = {0, 1, 2, 4, 5, 6, 7};
  // One device's open retries, then three waits of about 25 s.
  const std::uint64_t bound = 14100 + 3 * kSilentHuntMs + 1000;
  std::set<RunResult> seen;
  for (int fromThenOn = 0; fromThenOn < 2; ++fromThenOn) {
    for (std::uint64_t n = 1; n <= callsInARun + 1; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + (fromThenOn ? " and after" : ""));
      Fake::Reset();
      SetUpMachine(Talking(), 0, 4);
      Fake::FailCallNumber(n, fromThenOn != 0);
      const RunResult result = RunProgram();
      seen.insert(result);
      EXPECT_EQ(defined.count(result), 1u) << result;
      EXPECT_LE(Fake::NowMs(), bound);
      ExpectEverythingClosed();
      EXPECT_TRUE(Fake::Violations().empty());
      if (HasFailure()) return;
    }
  }
  // The sweep reached every stage: no port, port refused, model unconfirmed.
  EXPECT_EQ(seen.count(2), 1u);
  EXPECT_EQ(seen.count(1), 1u);
  EXPECT_EQ(seen.count(0), 1u);
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
