// Acknowledgements: what ProcessAckNak and SendUbx accept, refuse and print.
#include <cstring>

#include "support/bench.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace Testing {
namespace {

class AcknowledgementTest : public Bench {};

const Bytes kAckAckCfgMsg = Sim::BuildUbxFrame(0x05, 0x01, {0x06, 0x01});

Bytes AckWithPayload(std::uint8_t id, const Bytes& payload) { return Sim::BuildUbxFrame(0x05, id, payload); }

TEST_F(AcknowledgementTest, OneWaitJudgesOneAcknowledgement) {
  Bytes badChecksum = kAckAckNav5;
  badChecksum.back() ^= 0x01;
  Bytes padded1023(1023, 0);
  padded1023[0] = 0x06;
  padded1023[1] = 0x24;
  struct Case {
    const char* legend;
    Bytes stream;
    int result;
    int mismatch;  // -1: left unwritten
  };
  const Case cases[] = {
      {"ACK-ACK for the message", kAckAckNav5, 1, 0},
      {"ACK-NAK for the message", kAckNakNav5, 0, 0},
      {"ACK-ACK naming another message", kAckAckCfgMsg, 1, 1},
      {"ACK-ACK naming another id of the class", kAckAckPrt, 1, 1},
      // The same id in another class is some other message.
      {"ACK-ACK naming the id in another class", AckWithPayload(0x01, {0x0A, 0x24}), 1, 1},
      {"ACK-NAK naming the id in another class", AckWithPayload(0x00, {0x0A, 0x24}), 0, 1},
      {"wrong checksum byte", badChecksum, 0, -1},
      {"nothing ever arrives", {}, 0, -1},
      {"payload of 1023 bytes is taken", AckWithPayload(0x01, padded1023), 1, 0},
      {"payload longer than two names the message in its first bytes",
       AckWithPayload(0x01, Hex("06 24 99 99")), 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    TakeConsole();
    Receiver().Inject(c.stream, 0);
    int mismatch = -1;
    EXPECT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), c.result);
    EXPECT_EQ(mismatch, c.mismatch);
    EXPECT_EQ(TakeConsole(), AckLines(1));
  }
}

TEST_F(AcknowledgementTest, LengthOf1024IsRefusedBeforeAnyPayloadIsRead) {
  Bytes payload(1024, 0);
  payload[0] = 0x06;
  payload[1] = 0x24;
  Sim::ReceiverModel& line = Receiver();
  line.Inject(AckWithPayload(0x01, payload), 0);
  int mismatch = -1;
  EXPECT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), 0);
  EXPECT_EQ(mismatch, -1);
  // Header and length consumed; the payload and checksum still wait.
  EXPECT_EQ(line.Arrived(Fake::NowMs()), 1024u + 2);
}

// An acknowledgement too short to name a message must not be judged by what
// an earlier acknowledgement left in AckBuffer.
TEST_F(AcknowledgementTest, PayloadShorterThanTwoBytesConfirmsNothing) {
  for (const Bytes& payload : {Bytes{}, Hex("06")}) {
    SCOPED_TRACE(ToHex(payload));
    Fake::Reset();
    Sim::ReceiverModel& line = Receiver();
    line.Inject(Concat({kAckAckNav5, AckWithPayload(0x01, payload)}), 0);
    int mismatch = -1;
    ASSERT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), 1);  // leaves 06 24 behind
    ASSERT_EQ(AckBuffer[0], 0x06);
    mismatch = -1;
    EXPECT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), 0);
    EXPECT_EQ(mismatch, -1);
  }
}

TEST_F(AcknowledgementTest, PauseInsideTheFrameFailsTheExchange) {
  for (std::size_t split : {2u, 4u, 6u, 8u}) {
    SCOPED_TRACE("pause after byte " + std::to_string(split));
    Fake::Reset();
    Sim::ReceiverModel& line = Receiver();
    line.Inject(Bytes(kAckAckNav5.begin(), kAckAckNav5.begin() + static_cast<std::ptrdiff_t>(split)), 0);
    line.Inject(Bytes(kAckAckNav5.begin() + static_cast<std::ptrdiff_t>(split), kAckAckNav5.end()), 5);
    int mismatch = -1;
    EXPECT_EQ(ProcessAckNak(port(), 0x06, 0x24, &mismatch), 0);
  }
}

TEST_F(AcknowledgementTest, SecondWaitFollowsAnAcknowledgementForAnotherMessage) {
  struct Case {
    const char* legend;
    Bytes stream;
    int result;
    int lines;
    bool fullHunt;  // the second wait ran out its passes
  };
  const Case cases[] = {
      {"expected message acknowledged at once", kAckAckNav5, 1, 1, false},
      {"refused at once: no second wait", kAckNakNav5, 0, 1, false},
      {"another message, then the expected one", Concat({kAckAckCfgMsg, kAckAckNav5}), 1, 2, false},
      // The second answer is taken as it comes.
      {"another message, then yet another", Concat({kAckAckCfgMsg, kAckAckPrt}), 1, 2, false},
      {"another message, then a refusal", Concat({kAckAckCfgMsg, kAckNakNav5}), 0, 2, false},
      {"the id in another class, then a refusal",
       Concat({AckWithPayload(0x01, {0x0A, 0x24}), kAckNakNav5}), 0, 2, false},
      {"another message, then nothing", kAckAckCfgMsg, 0, 2, true},
      {"a refusal naming another message", AckWithPayload(0x00, {0x06, 0x01}), 0, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    TakeConsole();
    Receiver().Inject(c.stream, 0);
    std::memset(TransmitBuffer + 6, 0, 36);
    EXPECT_EQ(SendUbx(port(), 0x06, 0x24, 36, 1), c.result);
    EXPECT_EQ(TakeConsole(), AckLines(c.lines));
    EXPECT_EQ(Fake::NowMs() >= kSilentHuntMs, c.fullHunt);
  }
}

TEST_F(AcknowledgementTest, FailedOrShortWriteIsNotFollowedByAWait) {
  for (int shortWrite = 0; shortWrite < 2; ++shortWrite) {
    SCOPED_TRACE(shortWrite ? "short write" : "failed write");
    Fake::Reset();
    TakeConsole();
    Receiver().Inject(kAckAckNav5, 0);
    if (shortWrite) {
      Fake::ShortenWrites(1);
    } else {
      Fake::FailCalls(Fake::Call::WriteFile);
    }
    EXPECT_EQ(SendUbx(port(), 0x06, 0x24, 36, 1), 0);
    EXPECT_EQ(TakeConsole(), "");
    EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 0u);
  }
}

TEST_F(AcknowledgementTest, WithoutWaitingOnlyTheFrameIsWritten) {
  Receiver().Inject(kAckAckNav5, 0);
  EXPECT_EQ(SendUbx(port(), 0x06, 0x24, 0, 0), 1);
  EXPECT_EQ(TakeConsole(), "");
  EXPECT_EQ(Fake::CallCount(Fake::Call::WriteFile), 1u);
  EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 0u);
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
