// The simulated receiver itself: what it answers and when, since every
// other test trusts it.
#include "support/bench.h"

namespace Vantrel {
namespace Testing {
namespace {

using Sim::ReceiverModel;

Bytes TakeAll(ReceiverModel& model, std::uint64_t nowMs) {
  Bytes bytes(model.Arrived(nowMs));
  model.Take(bytes.data(), bytes.size(), nowMs);
  return bytes;
}

Sim::Scenario Quiet() {
  Sim::Scenario scenario;
  scenario.nmea = false;
  scenario.replyDelayMs = 5;
  return scenario;
}

TEST(ReceiverModelTest, AnswersAPollWithTheModelItWasSetToThenAnAcknowledgement) {
  ReceiverModel model(Quiet());
  Bytes set(36, 0);
  set[0] = 0x01;
  set[2] = 6;
  const Bytes setFrame = Sim::BuildUbxFrame(0x06, 0x24, set);
  model.Receive(setFrame.data(), setFrame.size(), 100);
  EXPECT_EQ(model.Arrived(104), 0u);
  EXPECT_EQ(ToHex(TakeAll(model, 105)), "B5 62 05 01 02 00 06 24 32 5B");
  EXPECT_EQ(model.Model(), 6);

  const Bytes poll = Hex("B5 62 06 24 00 00 2A 84");
  model.Receive(poll.data(), poll.size(), 200);
  const Bytes reply = TakeAll(model, 205);
  ASSERT_EQ(reply.size(), 44u + 10u);
  EXPECT_EQ(ToHex(Bytes(reply.begin(), reply.begin() + 6)), "B5 62 06 24 24 00");
  EXPECT_EQ(reply[8], 6);
  EXPECT_EQ(ToHex(Bytes(reply.begin() + 44, reply.end())), "B5 62 05 01 02 00 06 24 32 5B");
  EXPECT_EQ(model.Received().size(), 2u);
}

TEST(ReceiverModelTest, IgnoresFramesWithABadChecksumAndSurvivesSplitWrites) {
  ReceiverModel model(Quiet());
  const Bytes bad = Hex("B5 62 06 24 00 00 2A 85");
  model.Receive(bad.data(), bad.size(), 0);
  const Bytes poll = Hex("00 B5 B5 62 06 24 00 00 2A 84");
  for (std::size_t i = 0; i < poll.size(); ++i) model.Receive(&poll[i], 1, 10);
  ASSERT_EQ(model.Received().size(), 1u);
  EXPECT_TRUE(model.Received()[0].payload.empty());
}

TEST(ReceiverModelTest, EmitsValidNmeaAtItsRateAndNothingWhenSilent) {
  Sim::Scenario scenario;
  scenario.nmeaFirstMs = 250;
  scenario.nmeaPeriodMs = 1000;
  ReceiverModel model(scenario);
  EXPECT_EQ(model.Arrived(249), 0u);
  const Bytes burst = TakeAll(model, 250);
  const std::string text(burst.begin(), burst.end());
  ASSERT_EQ(text[0], '$');
  // Every sentence carries the XOR of the characters between $ and *.
  std::size_t start = 0;
  int sentences = 0;
  while ((start = text.find('$', start)) != std::string::npos) {
    const std::size_t star = text.find('*', start);
    ASSERT_NE(star, std::string::npos);
    unsigned checksum = 0;
    for (std::size_t i = start + 1; i < star; ++i) checksum ^= static_cast<unsigned char>(text[i]);
    EXPECT_EQ(std::stoul(text.substr(star + 1, 2), nullptr, 16), checksum);
    ++sentences;
    start = star;
  }
  EXPECT_EQ(sentences, 2);
  EXPECT_EQ(model.Arrived(1249), 0u);
  EXPECT_GT(model.Arrived(1250), 0u);

  Sim::Scenario silent;
  silent.silent = true;
  ReceiverModel mute(silent);
  const Bytes poll = Hex("B5 62 06 24 00 00 2A 84");
  mute.Receive(poll.data(), poll.size(), 0);
  EXPECT_EQ(mute.Arrived(100000), 0u);
}

TEST(ReceiverModelTest, RepliesQueueBehindTextAlreadyOnTheLine) {
  ReceiverModel model(Quiet());
  model.Inject(std::string("$GPTXT,LONG TEXT"), 100);
  const Bytes frame = Hex("B5 62 06 00 14 00 01 00 00 00 D0 08 00 00 00 C2 01 00 00 00 00 00 00 00 00 00 B6 34");
  model.Receive(frame.data(), frame.size(), 50);
  // Due at 55, but the line already carries text from 100 on.
  EXPECT_EQ(model.Arrived(99), 0u);
  const Bytes all = TakeAll(model, 100);
  EXPECT_EQ(all.front(), '$');
  EXPECT_EQ(ToHex(Bytes(all.end() - 10, all.end())), "B5 62 05 01 02 00 06 00 0E 37");
}

// What the program's CFG-PRT (port 1, 115200 8N1, masks 0/0) does to a
// receiver, and what the host hears afterwards, by how it is wired.
TEST(ReceiverModelTest, ThePortConfigurationTakesEffectOnTheReceiversPorts) {
  const Bytes prt = Hex("B5 62 06 00 14 00 01 00 00 00 D0 08 00 00 00 C2 01 00 00 00 00 00 00 00 00 00 B6 34");
  Bytes set(36, 0);
  set[0] = 0x01;
  set[2] = 4;
  const Bytes setFrame = Sim::BuildUbxFrame(0x06, 0x24, set);
  const std::string ackPrt = "B5 62 05 01 02 00 06 00 0E 37";
  const std::string nakPrt = "B5 62 05 00 02 00 06 00 0D 32";
  const std::string ackSet = "B5 62 05 01 02 00 06 24 32 5B";
  const std::string nakSet = "B5 62 05 00 02 00 06 24 31 56";
  struct Case {
    const char* legend;
    int hostPort;
    std::uint32_t uartBaud;
    bool ackBeforeApply;
    bool refusesLegacy;
    std::string prtReply;  // what the host reads after the CFG-PRT
    std::string setReply;  // ... and after the CFG-NAV5 set
    bool nmeaAfter;        // NMEA still heard afterwards
    std::uint16_t uart1OutMask;
    int model;
  };
  const Case cases[] = {
      {"host on USB: port 1 is another port", Sim::kUsbPort, 115200, false, false, ackPrt, ackSet,
       true, 0, 4},
      {"host on UART1: silenced before the acknowledgement", Sim::kUart1Port, 115200, false, false,
       "", "", false, 0, 0},
      {"host on UART1, acknowledged first", Sim::kUart1Port, 115200, true, false, ackPrt, "", false,
       0, 0},
      {"host on UART1 at a factory 9600", Sim::kUart1Port, 9600, false, false, "framing", "framing",
       true, 3, 0},
      {"legacy messages refused", Sim::kUsbPort, 115200, false, true, nakPrt, nakSet, true, 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Sim::Scenario scenario;
    scenario.nmeaPeriodMs = 1000;
    scenario.replyDelayMs = 5;
    scenario.hostPort = c.hostPort;
    scenario.uartBaud = c.uartBaud;
    scenario.ackBeforeApply = c.ackBeforeApply;
    scenario.refusesLegacy = c.refusesLegacy;
    ReceiverModel model(scenario);
    EXPECT_FALSE(TakeAll(model, 500).empty());  // the first NMEA burst
    model.Receive(prt.data(), prt.size(), 600);
    const Bytes afterPrt = TakeAll(model, 700);
    model.Receive(setFrame.data(), setFrame.size(), 800);
    const Bytes afterSet = TakeAll(model, 900);
    const Bytes later = TakeAll(model, 3000);
    if (c.prtReply == "framing") {
      // Only bytes with framing errors: never a '$' or a sync character.
      ASSERT_FALSE(later.empty());
      for (std::uint8_t b : later) {
        EXPECT_NE(b, '$');
        EXPECT_NE(b, 0xB5);
      }
      EXPECT_FALSE(model.Received()[0].understood);
    } else {
      EXPECT_EQ(ToHex(afterPrt), c.prtReply);
      EXPECT_EQ(ToHex(afterSet), c.setReply);
      EXPECT_EQ(!later.empty(), c.nmeaAfter);
      if (!later.empty()) {
        EXPECT_EQ(later[0], '$');
      }
    }
    EXPECT_EQ(model.Port(Sim::kUart1Port).outProtoMask, c.uart1OutMask);
    EXPECT_EQ(model.Model(), c.model);
  }
}

TEST(ReceiverModelTest, ASilencedReceiverStaysSilentUntilItIsSwitchedOffAndOn) {
  const Bytes prt = Hex("B5 62 06 00 14 00 01 00 00 00 D0 08 00 00 00 C2 01 00 00 00 00 00 00 00 00 00 B6 34");
  const Bytes poll = Hex("B5 62 06 24 00 00 2A 84");
  Sim::Scenario scenario;
  scenario.hostPort = Sim::kUart1Port;
  ReceiverModel model(scenario);
  model.Receive(prt.data(), prt.size(), 10);
  TakeAll(model, 100);
  ASSERT_EQ(model.PortChanges().size(), 1u);
  EXPECT_TRUE(model.PortChanges()[0].hostPort);
  model.Receive(poll.data(), poll.size(), 5000);
  EXPECT_TRUE(TakeAll(model, 60000).empty());
  EXPECT_FALSE(model.Received().back().understood);

  model.PowerCycle(60000);
  EXPECT_EQ(model.Port(Sim::kUart1Port).outProtoMask, 0x03);
  model.Receive(poll.data(), poll.size(), 60100);
  const Bytes reply = TakeAll(model, 61000);
  EXPECT_NE(ToHex(reply).find("B5 62 06 24 24 00"), std::string::npos);
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
