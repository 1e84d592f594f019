// The wait for NMEA traffic with which every run begins.
#include "support/bench.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace Testing {
namespace {

class NmeaWaitTest : public Bench {};

TEST_F(NmeaWaitTest, DollarInASecondReadEndsTheWait) {
  Sim::ReceiverModel& line = Receiver();
  line.Inject(Text("545.4,M,46.9,M,,*47\r\n"), 0);
  line.Inject(Text("$GPRMC,123519,A,4807.038,N"), 200);
  EXPECT_EQ(WaitForNmea(port()), 1);
  EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 2u);
  EXPECT_GE(Fake::NowMs(), 200u);
}

TEST_F(NmeaWaitTest, DollarInsideBinaryDataCountsToo) {
  Receiver().Inject(Sim::BuildUbxFrame(0x06, 0x24, Bytes(36, 0)), 0);
  EXPECT_EQ(WaitForNmea(port()), 1);
}

TEST_F(NmeaWaitTest, EightyReadsOfDataWithoutDollarEndTheWait) {
  Sim::ReceiverModel& line = Receiver();
  for (int i = 0; i < 100; ++i) line.Inject(Text("GPGGA,noise\r\n"), static_cast<std::uint64_t>(i) * 100);
  EXPECT_EQ(WaitForNmea(port()), 0);
  EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 80u);
}

// A queue query that fails reads as nothing queued, whatever is waiting.
TEST_F(NmeaWaitTest, ReceiverThatReceivesNothingIsGivenUpAfter501IdlePolls) {
  for (int queryFails = 0; queryFails < 2; ++queryFails) {
    SCOPED_TRACE(queryFails ? "queue query fails" : "silent receiver");
    Fake::Reset();
    Receiver().Inject(queryFails ? Text("$GPGGA") : Bytes{}, 0);
    Fake::FailCalls(Fake::Call::ClearCommError, queryFails != 0);
    EXPECT_EQ(WaitForNmea(port()), 0);
    EXPECT_EQ(Fake::CallCount(Fake::Call::Sleep), 501u);
    EXPECT_EQ(Fake::NowMs(), kSilentHuntMs);
    EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 0u);
  }
}

TEST_F(NmeaWaitTest, ReadsThatDeliverNothingAreIdlePollsAndBounded) {
  // The queue count promises bytes that never come, or every read fails.
  for (int failReads = 0; failReads < 2; ++failReads) {
    SCOPED_TRACE(failReads ? "reads fail" : "queue count overstated");
    Fake::Reset();
    Sim::ReceiverModel& line = Receiver();
    if (failReads) {
      line.Inject(Text("$GPGGA"), 0);
      Fake::FailCalls(Fake::Call::ReadFile);
    } else {
      Fake::OverstateQueuedCount(3);
    }
    EXPECT_EQ(WaitForNmea(port()), 0);
    EXPECT_EQ(Fake::CallCount(Fake::Call::Sleep), 501u);
    // A sleep and at most one read timeout per poll, and the last read.
    EXPECT_LE(Fake::NowMs(), 501u * (50 + 1) + 1);
  }
}

TEST_F(NmeaWaitTest, NeverReadsMoreThanTheBufferHolds) {
  Sim::ReceiverModel& line = Receiver();
  Bytes flood(5000, 'x');
  flood[1030] = '$';
  line.Inject(flood, 0);
  EXPECT_EQ(WaitForNmea(port()), 1);
  EXPECT_EQ(line.BytesTakenByHost(), 2048u);
  EXPECT_EQ(line.Arrived(Fake::NowMs()), 5000u - 2048);
}

// A driver that claims more than it was asked for must not make the wait
// scan past the end of the buffer (the sanitizer build checks the bounds).
TEST_F(NmeaWaitTest, ReadCountsBeyondTheRequestAreNotTrusted) {
  Sim::ReceiverModel& line = Receiver();
  line.Inject(Bytes(2000, 'x'), 0);
  line.Inject(Text("$GPGGA"), 500);
  Fake::OverreportReads(5000);
  EXPECT_EQ(WaitForNmea(port()), 1);
  EXPECT_GE(Fake::NowMs(), 500u);
}

TEST_F(NmeaWaitTest, IdlePollsBeforeTrafficDoNotCountAgainstTheReadLimit) {
  // Silent for 20 s, then talking: the wait sees it.
  Receiver().Inject(Text("$GPGGA,"), 20000);
  EXPECT_EQ(WaitForNmea(port()), 1);
  EXPECT_GE(Fake::NowMs(), 20000u);
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
