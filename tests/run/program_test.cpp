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

// A host on the receiver's UART1: the CFG-PRT switches every protocol off on
// the host's own line. That run and every later one until the receiver is
// switched off and on end with 1, and the later ones hear nothing at all.
TEST_F(ProgramTest, AHostOnUart1IsSilencedForThisRunAndTheNextUntilAPowerCycle) {
  Sim::Scenario scenario = Talking();
  scenario.hostPort = Sim::kUart1Port;
  SetUpMachine(scenario, 0, 4);
  EXPECT_EQ(RunProgram(), 1);
  EXPECT_EQ(TakeConsole(), AckLines(2));  // no poll follows the unacknowledged set
  const std::size_t heard = receiver_->Sent().size();

  EXPECT_EQ(RunProgram(), 1);
  EXPECT_EQ(TakeConsole(), AckLines(2));
  EXPECT_EQ(receiver_->Sent().size(), heard);
  EXPECT_EQ(receiver_->Model(), 0);

  receiver_->PowerCycle(Fake::NowMs());
  EXPECT_EQ(RunProgram(), 1);
  EXPECT_GT(receiver_->Sent().size(), heard);
  ExpectEverythingClosed();
}

// Every platform call of a run is made to fail in turn, once and from then
// on. Whatever fails, the run ends within its bound of time, with every key
// and handle it opened closed exactly once, and with a code the receiver
// allows: it confirms any model it is sent, so a mismatch is never right.
// Once the sequence has begun, a failure from then on spoils the exchange
// under way and every later one, and a failed write spoils just its own
// exchange: for those the code and the acknowledgement waits are exact.
TEST_F(ProgramTest, AnySinglePlatformFailureEndsWithTheCodeItCausesAndNothingLeftOpen) {
  SetUpMachine(Talking(), 0, 4);
  ASSERT_EQ(RunProgram(), 0);
  const std::vector<Fake::Call> calls = Fake::NumberedCalls();
  std::uint64_t sequenceStart = 0;  // the NMEA wait's first queue query
  std::vector<std::uint64_t> writes;  // CFG-PRT, CFG-NAV5 set, CFG-NAV5 poll
  for (std::uint64_t n = 1; n <= calls.size(); ++n) {
    if (sequenceStart == 0 && calls[n - 1] == Fake::Call::ClearCommError) sequenceStart = n;
    if (calls[n - 1] == Fake::Call::WriteFile) writes.push_back(n);
  }
  ASSERT_GT(sequenceStart, 10u);
  ASSERT_EQ(writes.size(), 3u);

  const std::set<RunResult> possible = {0, 1, 2};
  // One device's open retries, then three waits of about 25 s.
  const std::uint64_t bound = 14100 + 3 * kSilentHuntMs + 1000;
  std::set<RunResult> seen;
  for (int fromThenOn = 0; fromThenOn < 2; ++fromThenOn) {
    for (std::uint64_t n = 1; n <= calls.size() + 1; ++n) {
      SCOPED_TRACE("call " + std::to_string(n) + (fromThenOn ? " and after" : ""));
      Fake::Reset();
      TakeConsole();
      SetUpMachine(Talking(), 0, 4);
      Fake::FailCallNumber(n, fromThenOn != 0);
      const RunResult result = RunProgram();
      const std::string console = TakeConsole();
      seen.insert(result);
      EXPECT_EQ(possible.count(result), 1u) << result;
      if (n >= sequenceStart && n <= calls.size() && fromThenOn) {
        EXPECT_EQ(result, n < writes[1] ? 1 : 0);
        EXPECT_EQ(console, AckLines(1 + (n > writes[1]) + (n > writes[2])));
      } else if (n <= calls.size() && calls[n - 1] == Fake::Call::WriteFile) {
        EXPECT_EQ(result, n == writes[0] ? 1 : 0);
        EXPECT_EQ(console, AckLines(n == writes[0] ? 3 : n == writes[1] ? 1 : 2));
      }
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
