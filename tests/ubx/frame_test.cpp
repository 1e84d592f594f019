// Frame layout and checksum: the exact bytes that go on the wire.
#include <cstring>

#include "run/configuration_run.h"
#include "support/bench.h"
#include "ubx/exchange.h"
#include "ubx/frame.h"

namespace Vantrel {
namespace Testing {
namespace {

class FrameTest : public Bench {};

Bytes Nav5SetFrame(std::uint8_t model, const char* checksum) {
  Bytes payload(36, 0);
  payload[0] = 0x01;
  payload[2] = model;
  return Concat({Hex("B5 62 06 24 24 00"), payload, Hex(checksum)});
}

TEST_F(FrameTest, MessagesTheProgramSendsAreExactlyTheseBytes) {
  struct Case {
    const char* name;
    Bytes expected;
    int (*send)(HANDLE);
  };
  const Case cases[] = {
      {"CFG-NAV5 poll, empty payload", Hex("B5 62 06 24 00 00 2A 84"),
       [](HANDLE p) { int readBack; return PollDynamicModel(p, &readBack); }},
      {"CFG-PRT 115200 8N1, zero masks",
       Hex("B5 62 06 00 14 00 01 00 00 00 D0 08 00 00 00 C2 01 00 00 00 00 00 00 00 00 00 B6 34"),
       [](HANDLE p) { return ConfigurePort(p); }},
      {"CFG-NAV5 set model 0", Nav5SetFrame(0, "4F E8"),
       [](HANDLE p) { return SetDynamicModel(p, 0); }},
      {"CFG-NAV5 set model 3", Nav5SetFrame(3, "52 4E"),
       [](HANDLE p) { return SetDynamicModel(p, 3); }},
      {"CFG-NAV5 set model 4", Nav5SetFrame(4, "53 70"),
       [](HANDLE p) { return SetDynamicModel(p, 4); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fake::Reset();
    // Leftovers of a larger earlier payload must not leak into this one.
    std::memset(TransmitBuffer, 0xEE, sizeof TransmitBuffer);
    Receiver();
    c.send(port());
    ASSERT_FALSE(Fake::Writes().empty());
    EXPECT_EQ(ToHex(Fake::Writes().front().bytes), ToHex(c.expected));
  }
}

TEST_F(FrameTest, AcknowledgementChecksumsMatchTheReceiversFrames) {
  struct Case {
    Bytes frame;
  };
  const Case cases[] = {
      {Hex("B5 62 05 01 02 00 06 00 0E 37")},  // ACK-ACK CFG-PRT
      {Hex("B5 62 05 01 02 00 06 24 32 5B")},  // ACK-ACK CFG-NAV5
      {Hex("B5 62 05 00 02 00 06 24 31 56")},  // ACK-NAK CFG-NAV5
  };
  for (const Case& c : cases) {
    std::uint8_t ckA = 0, ckB = 0;
    UbxChecksum(c.frame[2], c.frame[3], 2, &c.frame[6], &ckA, &ckB);
    EXPECT_EQ(ckA, c.frame[8]) << ToHex(c.frame);
    EXPECT_EQ(ckB, c.frame[9]) << ToHex(c.frame);
  }
}

TEST_F(FrameTest, EncodingWritesExactlyTheFrameAndWrapsTheChecksum) {
  // The largest payload, all 0xFF, forces both sums to wrap many times;
  // the simulated receiver's independent encoder must agree.
  const int length = kUbxMaxPayloadLength;
  std::memset(TransmitBuffer, 0xFF, sizeof TransmitBuffer);
  EXPECT_EQ(EncodeUbxFrame(0x06, 0x24, length), length + 8);
  const Bytes expected = Sim::BuildUbxFrame(0x06, 0x24, Bytes(static_cast<std::size_t>(length), 0xFF));
  EXPECT_EQ(Bytes(TransmitBuffer, TransmitBuffer + length + 8), expected);

  // A short frame leaves the bytes after it alone.
  std::memset(TransmitBuffer, 0xAA, sizeof TransmitBuffer);
  TransmitBuffer[6] = 0x11;
  EXPECT_EQ(EncodeUbxFrame(0x05, 0x01, 1), 9);
  EXPECT_EQ(ToHex(Bytes(TransmitBuffer, TransmitBuffer + 11)), "B5 62 05 01 01 00 11 18 31 AA AA");
}

TEST_F(FrameTest, MessageKeyHoldsClassInTheLowByte) {
  EXPECT_EQ(kCfgNav5Key, 0x2406);
  EXPECT_EQ(kAckAckKey, 0x0105);
  EXPECT_EQ(kAckNakKey, 0x0005);
  EXPECT_EQ(MessageKeyClass(kCfgNav5Key), 0x06);
  EXPECT_EQ(MessageKeyId(kCfgNav5Key), 0x24);
}

TEST_F(FrameTest, PayloadLengthOutsideTheBufferIsNeverWritten) {
  const int largest = 1024 - 8;  // a frame filling the 1,024-byte transmit buffer
  Receiver();
  EXPECT_EQ(SendUbx(port(), 0x06, 0x24, largest + 1, 0), 0);
  EXPECT_EQ(SendUbx(port(), 0x06, 0x24, -1, 0), 0);
  EXPECT_TRUE(Fake::Writes().empty());
  EXPECT_EQ(SendUbx(port(), 0x06, 0x24, largest, 0), 1);
  ASSERT_EQ(Fake::Writes().size(), 1u);
  EXPECT_EQ(Fake::Writes()[0].bytes.size(), 1024u);
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
