#include "support/bench.h"

#include <cstdio>
#include <sstream>

namespace Vantrel {
namespace Testing {

const char kAckLine[] = "Vantrel::ProcessAckNak\r\n";
const char kSerialCommKey[] = "Hardware\\DeviceMap\\SerialComm";
const char kSettingsKey[] = "Software\\Keldran\\Settings";

namespace {

// The program's console output is captured for the whole of every test, and
// GoogleTest prints its failures to the same stream; this repeats each
// failure on standard error so that none is swallowed by the capture.
class FailuresToStandardError : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name() ? result.file_name() : "?",
                 result.line_number(), result.message());
  }
};

const bool kFailuresReported = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStandardError);
  return true;
}();

}  // namespace

Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::istringstream in(text);
  std::string token;
  while (in >> token) bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
  return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Bytes kAckAckPrt = Hex("B5 62 05 01 02 00 06 00 0E 37");
const Bytes kAckAckNav5 = Hex("B5 62 05 01 02 00 06 24 32 5B");
const Bytes kAckNakNav5 = Hex("B5 62 05 00 02 00 06 24 31 56");

std::string ToHex(const Bytes& bytes) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += byte;
  }
  return text;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string AckLines(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += kAckLine;
  return lines;
}

void Bench::SetUp() {
  Fake::Reset();
  ::testing::internal::CaptureStdout();
  capturing_ = true;
}

void Bench::TearDown() {
  if (capturing_) ::testing::internal::GetCapturedStdout();
  capturing_ = false;
  EXPECT_TRUE(Fake::Violations().empty()) << "first: " << Fake::Violations().front();
}

std::string Bench::TakeConsole() {
  std::fflush(stdout);
  std::string text = ::testing::internal::GetCapturedStdout();
  ::testing::internal::CaptureStdout();
  return text;
}

Sim::ReceiverModel& Bench::Receiver(const Sim::Scenario& scenario) {
  receiver_.reset(new Sim::ReceiverModel(scenario));
  port_ = Fake::OpenTestPort(receiver_.get());
  return *receiver_;
}

Sim::Scenario Bench::QuietScenario() {
  Sim::Scenario scenario;
  scenario.nmea = false;
  scenario.replyDelayMs = 0;
  return scenario;
}

Sim::Scenario Bench::ScriptedScenario() {
  Sim::Scenario scenario = QuietScenario();
  scenario.silent = true;
  return scenario;
}

std::vector<Bytes> Bench::WrittenFrames() {
  std::vector<Bytes> frames;
  for (const Fake::WriteRecord& write : Fake::Writes()) frames.push_back(write.bytes);
  return frames;
}

Sim::ReceiverModel& Bench::AddReceiverDevice(const std::string& device, const std::string& portName,
                                             const Sim::Scenario& scenario) {
  deviceReceivers_.emplace_back(new Sim::ReceiverModel(scenario));
  ListSerialDevice(device, portName);
  Fake::DeviceSpec entry;
  entry.path = "\\\\.\\" + portName;
  entry.receiver = deviceReceivers_.back().get();
  Fake::AddDevice(entry);
  return *deviceReceivers_.back();
}

void Bench::ListSerialDevice(const std::string& device, const std::string& portName) {
  Fake::AddRegistryKey(kSerialCommKey);
  Fake::SetRegistryString(kSerialCommKey, "\\Device\\" + device, portName);
}

void Bench::SetSettings(DWORD disable, DWORD model) {
  Fake::SetRegistryDword(kSettingsKey, "DisableVantrel", disable);
  Fake::SetRegistryDword(kSettingsKey, "GpsPositionMode", model);
}

}  // namespace Testing
}  // namespace Vantrel
