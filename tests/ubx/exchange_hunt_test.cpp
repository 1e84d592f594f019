// Header hunting: finding sync chars and a wanted key in a stream full of
// NMEA text, runs of sync bytes and unwanted frames, within a bounded number
// of passes whatever the line does.
#include "support/bench.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace Testing {
namespace {

class HuntTest : public Bench {};


TEST_F(HuntTest, FindsAcknowledgementHeadersAmongOtherTraffic) {
  const Bytes nmea = Text(Sim::BuildNmeaSentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
  const Bytes nav5Response = Sim::BuildUbxFrame(0x06, 0x24, Bytes(36, 0xB5));
  struct Case {
    const char* legend;
    Bytes stream;
    AckOutcome outcome;
    Bytes leftAfterHeader;  // what the hunt must leave for the length read
  };
  const Case cases[] = {
      {"bare ACK-ACK", kAckAckNav5, AckOutcome::Ack, Hex("02 00 06 24 32 5B")},
      {"bare ACK-NAK", kAckNakNav5, AckOutcome::Nak, Hex("02 00 06 24 31 56")},
      {"after NMEA text", Concat({nmea, kAckAckNav5}), AckOutcome::Ack, Hex("02 00 06 24 32 5B")},
      {"run of sync char 1", Concat({Hex("B5 B5 B5"), kAckAckNav5}), AckOutcome::Ack,
       Hex("02 00 06 24 32 5B")},
      {"the longest run real traffic can hold: class to checksum all B5, then the ACK's",
       Concat({Bytes(4 + 65535 + 2, 0xB5), kAckAckNav5}), AckOutcome::Ack,
       Hex("02 00 06 24 32 5B")},
      {"B5 then another byte is passed over", Concat({Hex("B5 41 62 05 01"), kAckNakNav5}),
       AckOutcome::Nak, Hex("02 00 06 24 31 56")},
      {"sync pair without a wanted key", Concat({Hex("B5 62 01 07"), kAckAckNav5}), AckOutcome::Ack,
       Hex("02 00 06 24 32 5B")},
      {"CFG-NAV5 frame full of B5 skipped", Concat({nav5Response, kAckAckNav5}), AckOutcome::Ack,
       Hex("02 00 06 24 32 5B")},
      {"frame embedded in a sentence",
       Concat({Text("$GPTXT,01,01,02,ANT"), kAckAckNav5, Text("ENNA OK*3F\r\n")}), AckOutcome::Ack,
       Concat({Hex("02 00 06 24 32 5B"), Text("ENNA OK*3F\r\n")})},
      // The first key read takes the second sync pair, which is no key
      // sought, and the hunt goes on from the class byte: this header is missed.
      {"doubled sync pair is missed", Concat({Hex("B5 62"), kAckAckNav5}), AckOutcome::Timeout, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    Sim::ReceiverModel& line = Receiver();
    line.Inject(c.stream, 0);
    EXPECT_EQ(FindAckNak(port()), c.outcome);
    if (c.outcome == AckOutcome::Timeout) continue;
    Bytes rest(line.Arrived(Fake::NowMs()));
    line.Take(rest.data(), rest.size(), Fake::NowMs());
    EXPECT_EQ(ToHex(rest), ToHex(c.leftAfterHeader));
  }
}

TEST_F(HuntTest, FindUbxHeaderTakesOnlyItsOwnKey) {
  Sim::ReceiverModel& line = Receiver();
  line.Inject(Concat({kAckAckNav5, Sim::BuildUbxFrame(0x06, 0x24, Bytes(36, 7))}), 0);
  EXPECT_EQ(FindUbxHeader(port(), kCfgNav5Key), 1);
  std::uint16_t length = 0;
  EXPECT_EQ(ReadUbxLength(port(), &length), 1);
  EXPECT_EQ(length, 36);
}

TEST_F(HuntTest, HeaderArrivingInALaterPassIsFound) {
  Sim::ReceiverModel& line = Receiver();
  line.Inject(Text("$GPRMC,partial"), 0);
  line.Inject(kAckNakNav5, 1000);
  EXPECT_EQ(FindAckNak(port()), AckOutcome::Nak);
  EXPECT_GE(Fake::NowMs(), 1000u);
  EXPECT_LT(Fake::NowMs(), 1000u + 50);
}

// A queue query that fails reads as nothing queued, whatever is waiting.
TEST_F(HuntTest, SilentLineEndsAfter501EmptyPassesOfFiftyMilliseconds) {
  for (int queryFails = 0; queryFails < 2; ++queryFails) {
    SCOPED_TRACE(queryFails ? "queue query fails" : "silent line");
    Fake::Reset();
    Receiver().Inject(queryFails ? kAckAckNav5 : Bytes{}, 0);
    Fake::FailCalls(Fake::Call::ClearCommError, queryFails != 0);
    EXPECT_EQ(FindAckNak(port()), AckOutcome::Timeout);
    EXPECT_EQ(Fake::CallCount(Fake::Call::ClearCommError), 501u);
    EXPECT_EQ(Fake::CallCount(Fake::Call::Sleep), 501u);
    EXPECT_EQ(Fake::NowMs(), kSilentHuntMs);
    EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 0u);
  }

  Fake::Reset();
  Receiver();
  EXPECT_EQ(FindUbxHeader(port(), kCfgNav5Key), 0);
  EXPECT_EQ(Fake::NowMs(), kSilentHuntMs);
}

TEST_F(HuntTest, LineBusyWithOtherTrafficEndsAfter501Passes) {
  Sim::Scenario chatty = QuietScenario();
  chatty.nmea = true;
  chatty.nmeaPeriodMs = 20;  // text queued at nearly every pass
  Receiver(chatty);
  EXPECT_EQ(FindAckNak(port()), AckOutcome::Timeout);
  EXPECT_EQ(Fake::CallCount(Fake::Call::ClearCommError), 501u);
  EXPECT_LT(Fake::CallCount(Fake::Call::Sleep), 501u);
  EXPECT_LE(Fake::NowMs(), kSilentHuntMs);
}

TEST_F(HuntTest, ReadsOneByteAtATimeAndTheKeyInOneCall) {
  Sim::ReceiverModel& line = Receiver();
  line.Inject(Concat({Text("AB"), kAckAckNav5}), 0);
  EXPECT_EQ(FindAckNak(port()), AckOutcome::Ack);
  // A, B, B5, 62 one by one, then the key pair in a single read.
  EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 5u);
  EXPECT_EQ(line.BytesTakenByHost(), 6u);
}

// A line that falls silent right after a sync byte, or whose queued count
// promises bytes that reads never deliver, must not hold the hunt.
TEST_F(HuntTest, EmptyReadsEndThePassSoTheHuntStaysBounded) {
  struct Case {
    const char* legend;
    Bytes stream;
    DWORD overstatedBy;
    bool readsFail;
  };
  const Case cases[] = {
      {"silence after a lone B5", Hex("B5"), 0, false},
      {"silence inside a B5 run", Hex("B5 B5 B5 B5"), 0, false},
      {"silence after the sync pair", Hex("B5 62 05"), 0, false},
      {"queue count that reads never honour", {}, 7, false},
      {"every read fails", Text("$GPGGA"), 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    Sim::ReceiverModel& line = Receiver();
    line.Inject(c.stream, 0);
    Fake::OverstateQueuedCount(c.overstatedBy);
    Fake::FailCalls(Fake::Call::ReadFile, c.readsFail);
    EXPECT_EQ(FindAckNak(port()), AckOutcome::Timeout);
    EXPECT_EQ(Fake::CallCount(Fake::Call::ClearCommError), 501u);
    // Each pass costs at most a sleep or a read timeout or two.
    EXPECT_LE(Fake::NowMs(), 501u * 50 + 501u * 3);
  }

  // A failed read delivers nothing, whatever its byte still holds, and the next
  // call asks the queue again: the pair a B5 began is then never completed.
  Fake::Reset();
  Receiver().Inject(kAckAckNav5, 0);
  Fake::FailCallNumber(3);  // queue query, read of B5, read of 62
  EXPECT_EQ(FindAckNak(port()), AckOutcome::Timeout);
  ASSERT_GE(Fake::NumberedCalls().size(), 4u);
  EXPECT_EQ(Fake::NumberedCalls()[3], Fake::Call::ClearCommError);
}

// A line stuck sending 0xB5 never runs empty, so only the run's own length
// can end the hunt; the reads come from a full queue and cost no time here.
TEST_F(HuntTest, LineThatNeverStopsSendingSyncEndsTheHuntAfterTheLongestRealRun) {
  for (int ackHunt = 0; ackHunt < 2; ++ackHunt) {
    SCOPED_TRACE(ackHunt ? "FindAckNak" : "FindUbxHeader");
    Fake::Reset();
    Receiver().FloodWithSync(0);
    if (ackHunt) EXPECT_EQ(FindAckNak(port()), AckOutcome::Timeout);
    else EXPECT_EQ(FindUbxHeader(port(), kCfgNav5Key), 0);
    EXPECT_EQ(Fake::CallCount(Fake::Call::ClearCommError), 1u);
    EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 65543u);
  }
}

TEST_F(HuntTest, ReadCountsBeyondTheRequestAreNotTrusted) {
  Receiver().Inject(Concat({Text("$GP"), kAckNakNav5}), 0);
  Fake::OverreportReads(3);
  int mismatch = -1;
  EXPECT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), 0);
  EXPECT_EQ(mismatch, 0);  // the NAK was read whole and judged
}

TEST_F(HuntTest, AcknowledgementSplitAtEveryOffsetWithinTheReadTimeoutIsRead) {
  const Bytes frame = Concat({Text("$GPGSV*00\r\n"), kAckAckNav5});
  for (std::size_t split = 1; split < frame.size(); ++split) {
    SCOPED_TRACE("split after byte " + std::to_string(split));
    Fake::Reset();
    Sim::ReceiverModel& line = Receiver();
    line.Inject(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(split)), 0);
    line.Inject(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(split), frame.end()), 1);
    int mismatch = -1;
    EXPECT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), 1);
    EXPECT_EQ(mismatch, 0);
  }
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
