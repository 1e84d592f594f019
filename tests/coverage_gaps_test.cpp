// Behaviour that the other tests left unexercised, found by the branch
// coverage report.
#include <cstring>

#include "support/bench.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace Testing {
namespace {

class CoverageGapsTest : public Bench {};

Bytes Ack(std::uint8_t id, std::uint8_t messageClass, std::uint8_t messageId) {
  return Sim::BuildUbxFrame(0x05, id, {messageClass, messageId});
}

// An acknowledgement is for a message only when both its class and its id
// match: the same id in another class is some other message.
TEST_F(CoverageGapsTest, AcknowledgementNamingAnotherClassIsAMismatch) {
  struct Case {
    const char* legend;
    Bytes stream;
    int result;
    int mismatch;
  };
  const Case cases[] = {
      {"ACK-ACK, same id, another class", Ack(0x01, 0x0A, 0x24), 1, 1},
      {"ACK-NAK, same id, another class", Ack(0x00, 0x0A, 0x24), 0, 1},
      {"ACK-ACK, class and id both other", Ack(0x01, 0x0A, 0x04), 1, 1},
      {"ACK-ACK, class and id both right", Ack(0x01, 0x06, 0x24), 1, 0},
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

// So a send whose first acknowledgement names the same id in another class
// waits a second time, and takes that answer.
TEST_F(CoverageGapsTest, AcknowledgementForAnotherClassEarnsTheSecondWait) {
  Receiver().Inject(Concat({Ack(0x01, 0x0A, 0x24), Ack(0x00, 0x06, 0x24)}), 0);
  std::memset(TransmitBuffer + 6, 0, 36);
  EXPECT_EQ(SendUbx(port(), 0x06, 0x24, 36, 1), 0);
  EXPECT_EQ(TakeConsole(), AckLines(2));
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
