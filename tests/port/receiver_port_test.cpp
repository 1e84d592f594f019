// Finding and opening the receiver's port: candidate order, skipping, the
// fallback, the retry rule, line set-up, and that nothing is left open.
#include <cstring>

#include "port/receiver_port.h"
#include "support/bench.h"

namespace Vantrel {
namespace Testing {
namespace {

const char kSerialComm[] = "Hardware\\DeviceMap\\SerialComm";

class ReceiverPortTest : public Bench {
 protected:
  void SetUp() override {
    Bench::SetUp();
    Fake::AddRegistryKey(kSerialComm);
  }

  static void List(const std::string& device, const std::string& port) {
    Fake::SetRegistryString(kSerialComm, "\\Device\\" + device, port);
  }

  static void Present(const std::string& port) {
    Fake::DeviceSpec device;
    device.path = "\\\\.\\" + port;
    Fake::AddDevice(device);
  }

  static std::vector<std::string> PathsTried() {
    std::vector<std::string> paths;
    for (const Fake::OpenAttempt& attempt : Fake::OpenAttempts()) {
      if (paths.empty() || paths.back() != attempt.path) paths.push_back(attempt.path);
    }
    return paths;
  }

  static void ExpectNothingLeftOpen() {
    EXPECT_EQ(Fake::OpenKeyCount(), 0);
    EXPECT_EQ(Fake::KeysClosed(), 1u);
  }
};

TEST_F(ReceiverPortTest, CandidatesAreTriedInOrderAndUnusableOnesSkipped) {
  struct Case {
    const char* legend;
    void (*registry)();
    std::vector<std::string> tried;
  };
  const Case cases[] = {
      {"NmeaVcp2 first", [] { List("NmeaVcp2", "COM7"); List("NmeaVcp1", "COM6"); List("NmeaVcp0", "COM5"); Present("COM7"); Present("COM6"); },
       {"\\\\.\\COM7"}},
      {"only NmeaVcp0 listed", [] { List("NmeaVcp0", "COM5"); Present("COM5"); }, {"\\\\.\\COM5"}},
      {"NmeaVcp1 as a DWORD is skipped",
       [] { Fake::SetRegistryDword(kSerialComm, "\\Device\\NmeaVcp1", 6); List("NmeaVcp0", "COM5"); Present("COM5"); },
       {"\\\\.\\COM5"}},
      {"value with no data is skipped",
       [] { Fake::SetRegistryValue(kSerialComm, "\\Device\\NmeaVcp2", REG_SZ, {}); List("NmeaVcp1", "COM6"); Present("COM6"); },
       {"\\\\.\\COM6"}},
      {"access denied: no retry, next candidate",
       [] {
         List("NmeaVcp2", "COM7"); List("NmeaVcp1", "COM6"); Present("COM6");
         Fake::DeviceSpec locked; locked.path = "\\\\.\\COM7"; locked.openError = ERROR_ACCESS_DENIED; Fake::AddDevice(locked);
       },
       {"\\\\.\\COM7", "\\\\.\\COM6"}},
      {"nothing listed: COM3", [] { Present("COM3"); }, {"\\\\.\\COM3"}},
      {"other values in the key are not candidates",
       [] { List("Serial0", "COM1"); Present("COM1"); Present("COM3"); }, {"\\\\.\\COM3"}},
      {"port name of 95 characters still fits the path",
       [] { List("NmeaVcp0", std::string(95, 'P')); Present(std::string(95, 'P')); },
       {"\\\\.\\" + std::string(95, 'P')}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    Fake::AddRegistryKey(kSerialComm);
    c.registry();
    const ReceiverPort port = OpenReceiverPort();
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(PathsTried(), c.tried);
    EXPECT_EQ(Fake::OpenAttempts().size(), c.tried.size());
    ExpectNothingLeftOpen();
    EXPECT_EQ(Fake::OpenHandleCount(), 1);
  }
}

TEST_F(ReceiverPortTest, OpensWithTheArgumentsTheLineNeeds) {
  List("NmeaVcp0", "COM12");
  Present("COM12");
  ASSERT_NE(OpenReceiverPort(), INVALID_HANDLE_VALUE);
  ASSERT_EQ(Fake::OpenAttempts().size(), 1u);
  const Fake::OpenAttempt& open = Fake::OpenAttempts()[0];
  EXPECT_EQ(open.path, "\\\\.\\COM12");
  EXPECT_EQ(open.desiredAccess, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(open.shareMode, 0u);
  EXPECT_FALSE(open.securityAttributesGiven);
  EXPECT_EQ(open.creationDisposition, OPEN_EXISTING);
  EXPECT_EQ(open.flagsAndAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(open.templateGiven);
  ASSERT_EQ(Fake::KeyOpens().size(), 1u);
  EXPECT_EQ(Fake::KeyOpens()[0].subKey, "Hardware\\DeviceMap\\SerialComm\\");
  EXPECT_EQ(Fake::KeyOpens()[0].access, KEY_READ);
  EXPECT_EQ(Fake::KeyOpens()[0].options, 0u);
  EXPECT_EQ(Fake::QueriedValueNames(),
            (std::vector<std::string>{"\\Device\\NmeaVcp2", "\\Device\\NmeaVcp1", "\\Device\\NmeaVcp0"}));

  COMMTIMEOUTS timeouts;
  DCB state;
  DWORD purge = 0;
  ASSERT_TRUE(Fake::LastPortSettings(&timeouts, &state, &purge));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);  // the driver's, untouched
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5000u);
  EXPECT_EQ(state.BaudRate, 115200u);
  EXPECT_EQ(state.ByteSize, 8);                          // the rest as the driver had it
  EXPECT_EQ(state.fRtsControl, 1u);
  EXPECT_EQ(state.XonLim, 2048);
  EXPECT_EQ(purge, 0x0Fu);
}

TEST_F(ReceiverPortTest, DeviceThatNeverAppearsCosts141AttemptsAndAbout14Seconds) {
  for (DWORD reason : {static_cast<DWORD>(ERROR_FILE_NOT_FOUND), static_cast<DWORD>(ERROR_NOT_READY)}) {
    SCOPED_TRACE("reason " + std::to_string(reason));
    Fake::Reset();
    Fake::AddRegistryKey(kSerialComm);
    Fake::DeviceSpec never;
    never.path = "\\\\.\\COM3";
    never.availableFromMs = ~0ull;
    never.errorBeforeAvailable = reason;
    Fake::AddDevice(never);
    EXPECT_EQ(OpenReceiverPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Fake::OpenAttempts().size(), 141u);
    // Every failed attempt, the last included, is followed by the sleep.
    EXPECT_EQ(Fake::CallCount(Fake::Call::Sleep), 141u);
    EXPECT_EQ(Fake::NowMs(), 14100u);
    for (std::size_t i = 0; i < Fake::OpenAttempts().size(); ++i)
      EXPECT_EQ(Fake::OpenAttempts()[i].timeMs, i * 100);
    ExpectNothingLeftOpen();
  }
}

TEST_F(ReceiverPortTest, DeviceAppearingDuringTheRetriesIsUsed) {
  List("NmeaVcp1", "COM6");
  Fake::DeviceSpec late;
  late.path = "\\\\.\\COM6";
  late.availableFromMs = 1050;
  Fake::AddDevice(late);
  EXPECT_NE(OpenReceiverPort(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Fake::OpenAttempts().size(), 12u);  // at 0, 100, ..., 1100
  EXPECT_TRUE(Fake::OpenAttempts().back().opened);
  EXPECT_EQ(Fake::NowMs(), 1100u);
}

TEST_F(ReceiverPortTest, SetupFailureAtEachCallClosesTheHandleAndMovesOn) {
  for (Fake::Call failing : {Fake::Call::GetCommTimeouts, Fake::Call::SetCommTimeouts,
                             Fake::Call::GetCommState, Fake::Call::SetCommState, Fake::Call::PurgeComm}) {
    SCOPED_TRACE(Fake::CallName(failing));
    Fake::Reset();
    Fake::AddRegistryKey(kSerialComm);
    List("NmeaVcp2", "COM7");
    List("NmeaVcp1", "COM6");
    Fake::DeviceSpec broken;
    broken.path = "\\\\.\\COM7";
    broken.failingSetupCall = failing;
    Fake::AddDevice(broken);
    Present("COM6");
    EXPECT_NE(OpenReceiverPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(PathsTried(), (std::vector<std::string>{"\\\\.\\COM7", "\\\\.\\COM6"}));
    EXPECT_EQ(Fake::OpenAttempts().size(), 2u);  // no retry of a port that opened
    EXPECT_EQ(Fake::HandlesClosed(), 1u);
    EXPECT_EQ(Fake::OpenHandleCount(), 1);
    ExpectNothingLeftOpen();
  }
}

TEST_F(ReceiverPortTest, MissingSerialDeviceKeyMeansNoPortAtOnce) {
  Fake::Reset();
  Present("COM3");
  EXPECT_EQ(OpenReceiverPort(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Fake::OpenAttempts().empty());
  EXPECT_EQ(Fake::NowMs(), 0u);
  EXPECT_EQ(Fake::OpenKeyCount(), 0);
}

// Values that do not fit the value area, the name area or the device path
// yield no port for their candidate; they are never cut short or copied
// unbounded. A value that does fit is used, terminated or not.
TEST_F(ReceiverPortTest, OversizedOrUnterminatedNamesAreSkipped) {
  struct Case {
    const char* legend;
    std::vector<std::uint8_t> data;
    bool triesItsPath;
  };
  const std::string n96(96, 'C');
  const std::string n254(254, 'C');
  const std::string n255(255, 'C');
  const auto bytes = [](const std::string& s, bool terminated, std::size_t paddedTo = 0) {
    std::vector<std::uint8_t> data(s.begin(), s.end());
    if (terminated) data.push_back(0);
    if (data.size() < paddedTo) data.resize(paddedTo, 'X');
    return data;
  };
  const Case cases[] = {
      {"96 characters: too long for the path", bytes(n96, true), false},
      {"254 characters: fits the name area, not the path", bytes(n254, true), false},
      {"255 characters: does not fit the name area", bytes(n255, true), false},
      {"256 bytes without a terminator", bytes(std::string(256, 'C'), false), false},
      {"COM9 in a value of 256 bytes, the whole value area", bytes("COM9", true, 256), true},
      {"COM9 in a value of 257 bytes, larger than the value area", bytes("COM9", true, 257), false},
      {"COM9 stored without a terminator", bytes("COM9", false), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.legend);
    Fake::Reset();
    Fake::AddRegistryKey(kSerialComm);
    Fake::SetRegistryValue(kSerialComm, "\\Device\\NmeaVcp2", REG_SZ, c.data);
    Present("COM9");
    Present("COM3");
    EXPECT_NE(OpenReceiverPort(), INVALID_HANDLE_VALUE);
    const std::vector<std::string> expected =
        c.triesItsPath ? std::vector<std::string>{"\\\\.\\COM9"} : std::vector<std::string>{"\\\\.\\COM3"};
    EXPECT_EQ(PathsTried(), expected);
    ExpectNothingLeftOpen();
  }
}

TEST_F(ReceiverPortTest, EmptyStringWithTerminatorTriesTheBarePath) {
  Fake::SetRegistryValue(kSerialComm, "\\Device\\NmeaVcp2", REG_SZ, {0});
  Present("COM3");
  EXPECT_NE(OpenReceiverPort(), INVALID_HANDLE_VALUE);
  // The bare path is not a device that may still appear: one attempt.
  EXPECT_EQ(PathsTried(), (std::vector<std::string>{"\\\\.\\", "\\\\.\\COM3"}));
  EXPECT_EQ(Fake::OpenAttempts().size(), 2u);
}

TEST_F(ReceiverPortTest, EveryCandidateListedButAbsentCostsFourFullRetries) {
  List("NmeaVcp2", "COM27");
  List("NmeaVcp1", "COM26");
  List("NmeaVcp0", "COM25");
  EXPECT_EQ(OpenReceiverPort(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Fake::OpenAttempts().size(), 4u * 141);
  EXPECT_EQ(Fake::NowMs(), 4u * 14100);
  ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace Testing
}  // namespace Vantrel
