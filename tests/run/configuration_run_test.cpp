// The configuration sequence against the simulated receiver: result codes,
// the frames sent and their order, the console, and how long it all takes.
#include "run/configuration_run.h"
#include "support/bench.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace Testing {
namespace {

using Sim::Exchange;

class ConfigurationRunTest : public Bench {
 protected:
  // A talking receiver: NMEA every second, answers after 2 ms.
  static Sim::Scenario Talking() {
    Sim::Scenario scenario;
    scenario.nmeaPeriodMs = 1000;
    scenario.replyDelayMs = 2;
    return scenario;
  }

  // Message keys of the frames the receiver took in, in order.
  static std::vector<std::string> FramesReceived(const Sim::ReceiverModel& receiver) {
    std::vector<std::string> names;
    for (const Sim::ReceivedFrame& frame : receiver.Received()) {
      if (frame.messageClass == 0x06 && frame.id == 0x00) names.push_back("CFG-PRT");
      else if (frame.messageClass == 0x06 && frame.id == 0x24)
        names.push_back(frame.payload.empty() ? "CFG-NAV5 poll" : "CFG-NAV5 set");
      else names.push_back("other");
    }
    return names;
  }
};

const std::vector<std::string> kWholeRun = {"CFG-PRT", "CFG-NAV5 set", "CFG-NAV5 poll"};
const std::vector<std::string> kSetOnly = {"CFG-PRT", "CFG-NAV5 set"};
const std::vector<std::string> kPortOnly = {"CFG-PRT"};

TEST_F(ConfigurationRunTest, ResultCodesFollowWhatTheReceiverDoes) {
  struct Case {
    const char* legend;
    DWORD disable;
    DWORD model;
    void (*faults)(Sim::Scenario&);
    RunResult result;
    std::vector<std::string> frames;
    int ackLines;
  };
  const Case cases[] = {
      {"everything acknowledged and confirmed", 0, 4, [](Sim::Scenario&) {}, 0, kWholeRun, 3},
      {"port configuration refused", 0, 4,
       [](Sim::Scenario& s) { s.For(Exchange::PortConfig).nak = true; }, 1, kWholeRun, 3},
      {"receiver reports another model", 0, 4,
       [](Sim::Scenario& s) { s.For(Exchange::ModelPoll).reportModel = 0; }, 4, kWholeRun, 3},
      {"another model and port refused", 0, 4,
       [](Sim::Scenario& s) {
         s.For(Exchange::PortConfig).nak = true;
         s.For(Exchange::ModelPoll).reportModel = 0;
       },
       5, kWholeRun, 3},
      {"disabled, port acknowledged", 1, 4, [](Sim::Scenario&) {}, 6, kPortOnly, 1},
      {"disabled, port refused", 0xFFFFFFFF, 4,
       [](Sim::Scenario& s) { s.For(Exchange::PortConfig).nak = true; }, 7, kPortOnly, 1},
      {"disabled, 0xB5 without end after the port configuration", 1, 4,
       [](Sim::Scenario& s) { s.For(Exchange::PortConfig).syncFlood = true; }, 7, kPortOnly, 1},
      {"0xB5 without end after the port configuration: each wait gives up", 0, 4,
       [](Sim::Scenario& s) { s.For(Exchange::PortConfig).syncFlood = true; }, 1, kSetOnly, 2},
      {"model set refused: no poll", 0, 4,
       [](Sim::Scenario& s) { s.For(Exchange::ModelSet).nak = true; }, 0, kSetOnly, 2},
      {"model set refused, port refused", 0, 4,
       [](Sim::Scenario& s) {
         s.For(Exchange::PortConfig).nak = true;
         s.For(Exchange::ModelSet).nak = true;
       },
       1, kSetOnly, 2},
      {"poll response corrupt: its acknowledgement still awaited", 0, 4,
       [](Sim::Scenario& s) {
         s.For(Exchange::ModelPoll).corruptResponseChecksum = true;
         s.For(Exchange::ModelPoll).reportModel = 0;
       },
       0, kWholeRun, 3},
      {"poll response too short to hold a model", 0, 4,
       [](Sim::Scenario& s) {
         s.For(Exchange::ModelPoll).responsePayloadLength = 2;
         s.For(Exchange::ModelPoll).reportModel = 0;
       },
       0, kWholeRun, 3},
      {"set acknowledged after another message's acknowledgement", 0, 3,
       [](Sim::Scenario& s) { s.For(Exchange::ModelSet).foreignAckFirst = true; }, 0, kWholeRun, 4},
      {"acknowledgements behind B5 runs and inside NMEA text", 0, 5,
       [](Sim::Scenario& s) {
         for (Exchange e : {Exchange::PortConfig, Exchange::ModelSet, Exchange::ModelPoll}) {
           s.For(e).syncRunLength = 3;
           s.For(e).insideNmea = true;
         }
       },
       0, kWholeRun, 3},
      {"replies in pieces within the read timeout", 0, 6,
       [](Sim::Scenario& s) {
         for (Exchange e : {Exchange::PortConfig, Exchange::ModelSet, Exchange::ModelPoll}) {
           s.For(e).pieceSize = 3;
           s.For(e).pieceGapMs = 1;
         }
       },
       0, kWholeRun, 3},
      {"port acknowledgement paused mid-frame", 0, 4,
       [](Sim::Scenario& s) {
         s.For(Exchange::PortConfig).pauseAfterByte = 6;
         s.For(Exchange::PortConfig).pauseMs = 200;  // longer than the 50 ms poll
       },
       1, kWholeRun, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    TakeConsole();
    Sim::Scenario scenario = Talking();
    c.faults(scenario);
    Sim::ReceiverModel& receiver = Receiver(scenario);
    EXPECT_EQ(RunConfiguration(port(), c.disable, c.model), c.result);
    EXPECT_EQ(FramesReceived(receiver), c.frames);
    EXPECT_EQ(TakeConsole(), AckLines(c.ackLines));
    EXPECT_EQ(Fake::OpenHandleCount(), 1);  // the run never closes the port
  }
}

TEST_F(ConfigurationRunTest, ModelIsSanitisedBeforeItIsSentAndCompared) {
  struct Case {
    DWORD setting;
    std::uint8_t sent;
  };
  const Case cases[] = {{0, 0}, {1, 0}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6},
                        {7, 7}, {8, 8}, {9, 0}, {255, 0}, {0x104, 0}, {0xFFFFFFFF, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("GpsPositionMode " + std::to_string(c.setting));
    Fake::Reset();
    Sim::Scenario scenario = Talking();
    scenario.initialModel = 7;
    Sim::ReceiverModel& receiver = Receiver(scenario);
    // Confirmed: the receiver reports the sanitised model, not the setting.
    EXPECT_EQ(RunConfiguration(port(), 0, c.setting), 0);
    EXPECT_EQ(receiver.Model(), c.sent);
    ASSERT_GE(receiver.Received().size(), 2u);
    EXPECT_EQ(receiver.Received()[1].payload[2], c.sent);
  }
}

TEST_F(ConfigurationRunTest, ReceiverThatOnlyTalksNmeaCostsTwoHunts) {
  Sim::Scenario deaf = Talking();
  for (Exchange e : {Exchange::PortConfig, Exchange::ModelSet, Exchange::ModelPoll})
    deaf.For(e).noAcknowledgement = true;
  Receiver(deaf);
  EXPECT_EQ(RunConfiguration(port(), 0, 4), 1);
  EXPECT_EQ(TakeConsole(), AckLines(2));
  EXPECT_EQ(Fake::CallCount(Fake::Call::WriteFile), 2u);  // no poll after a failed set
  // The NMEA wait ends at the first sentence; each hunt then runs 501 passes.
  EXPECT_GT(Fake::NowMs(), 2 * 501 * 40u);
  EXPECT_LE(Fake::NowMs(), 2 * kSilentHuntMs + 1000);
}

TEST_F(ConfigurationRunTest, SilentReceiverIsGivenUpAfterThreeBoundedWaits) {
  Sim::Scenario silent;
  silent.silent = true;
  Receiver(silent);
  EXPECT_EQ(RunConfiguration(port(), 0, 4), 1);
  // NMEA wait, port acknowledgement, model acknowledgement: about 75 s.
  EXPECT_EQ(Fake::NowMs(), 3 * kSilentHuntMs);
  EXPECT_EQ(TakeConsole(), AckLines(2));
}

TEST_F(ConfigurationRunTest, PortConfigurationIsAwaitedEvenWhenItsWriteFails) {
  Receiver(Talking());
  Fake::FailCalls(Fake::Call::WriteFile);
  EXPECT_EQ(RunConfiguration(port(), 0, 4), 1);
  // Port wait printed; the model set's failed write is not awaited.
  EXPECT_EQ(TakeConsole(), AckLines(1));
}

TEST_F(ConfigurationRunTest, ReadBackStartsUnsetAndFailedPollReportsNothing) {
  Sim::Scenario scenario = Talking();
  scenario.For(Exchange::ModelPoll).noResponse = true;
  Receiver(scenario);
  int readBack = 123;
  EXPECT_EQ(PollDynamicModel(port(), &readBack), 0);
  EXPECT_EQ(readBack, 0xFF);
  EXPECT_EQ(TakeConsole(), AckLines(1));
}

TEST_F(ConfigurationRunTest, HappyRunTakesMillisecondsOfVirtualTime) {
  Sim::Scenario scenario = Talking();
  scenario.nmeaFirstMs = 300;
  Receiver(scenario);
  EXPECT_EQ(RunConfiguration(port(), 0, 4), 0);
  // The first sentence, then three answers after 2 ms each plus a poll of
  // the queue: well under half a second after the NMEA.
  EXPECT_GE(Fake::NowMs(), 300u);
  EXPECT_LT(Fake::NowMs(), 300u + 400);
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
