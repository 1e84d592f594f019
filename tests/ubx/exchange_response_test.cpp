// Response frames: ReadUbxResponse and the length and checksum checks it
// shares with acknowledgements.
#include "support/bench.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace Testing {
namespace {

class ResponseTest : public Bench {};

Bytes Nav5Response(std::size_t length, std::uint8_t model) {
  Bytes payload(length, 0);
  if (length > 2) payload[2] = model;
  return Sim::BuildUbxFrame(0x06, 0x24, payload);
}

TEST_F(ResponseTest, ReadsTheWantedFrameIntoTheResponseBuffer) {
  const Bytes whole = Nav5Response(36, 4);
  Bytes corrupt = whole;
  corrupt[corrupt.size() - 2] ^= 0x10;
  struct Case {
    const char* legend;
    Bytes stream;
    int result;
    std::uint16_t length;
  };
  const Case cases[] = {
      {"response behind an acknowledgement and text",
       Concat({Hex("B5 62 05 01 02 00 06 24 32 5B"), Hex("24 47 50 0D 0A"), Nav5Response(36, 4)}), 1, 36},
      {"empty payload", Nav5Response(0, 0), 1, 0},
      {"1023-byte payload", Nav5Response(1023, 4), 1, 1023},
      {"1024-byte payload refused", Nav5Response(1024, 4), 0, 0},
      {"CK_A wrong", corrupt, 0, 0},
      {"body cut short", Bytes(whole.begin(), whole.end() - 3), 0, 0},
      {"length field cut short", Hex("B5 62 06 24 24"), 0, 0},
      {"never arrives", {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    ResponseBuffer[2] = 0xEE;
    Receiver().Inject(c.stream, 0);
    std::uint16_t length = 0;
    EXPECT_EQ(ReadUbxResponse(port(), kCfgNav5Key, &length), c.result);
    EXPECT_EQ(length, c.length);
    if (c.result == 1 && c.length > 2) {
      EXPECT_EQ(ResponseBuffer[2], 4);
    }
  }
}

// A whole length field, then one byte and silence: the second field is no
// length, not its one byte completed by what the first left behind.
TEST_F(ResponseTest, LengthFieldCutShortIsNoLength) {
  Receiver().Inject(Hex("02 00 24"), 0);
  const HANDLE line = port();
  std::uint16_t lengths[2] = {0, 0};
  const int whole = ReadUbxLength(line, &lengths[0]);
  const int cutShort = ReadUbxLength(line, &lengths[1]);
  EXPECT_EQ(whole, 1);
  EXPECT_EQ(cutShort, 0);
  EXPECT_EQ(lengths[0], 2);
  EXPECT_EQ(lengths[1], 0);
}

TEST_F(ResponseTest, BodyAndChecksumAreReadInOneCallEach) {
  Receiver().Inject(Nav5Response(36, 4), 0);
  std::uint16_t length = 0;
  ASSERT_EQ(ReadUbxResponse(port(), kCfgNav5Key, &length), 1);
  // B5, 62, key pair, length, body, checksum.
  EXPECT_EQ(Fake::CallCount(Fake::Call::ReadFile), 6u);
}

TEST_F(ResponseTest, ChecksumCoversClassIdLengthAndPayload) {
  // Each byte the checksum covers, flipped in turn, must fail the frame
  // whose length still parses.
  const Bytes good = Nav5Response(4, 4);
  for (std::size_t i = 2; i < good.size(); ++i) {
    if (i == 2 || i == 3 || i == 4 || i == 5) continue;  // would no longer be this frame
    SCOPED_TRACE("byte " + std::to_string(i) + " changed");
    Fake::Reset();
    Bytes bad = good;
    bad[i] ^= 0x01;
    Receiver().Inject(bad, 0);
    std::uint16_t length = 0;
    EXPECT_EQ(ReadUbxResponse(port(), kCfgNav5Key, &length), 0);
  }
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
