// The native test bench: a fresh simulated world for every test, the
// program's console output captured as bytes, and no double violations
// allowed to pass unnoticed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "double/fake_windows.h"
#include "sim/receiver_model.h"

namespace Vantrel {
namespace Testing {

typedef std::vector<std::uint8_t> Bytes;

// "B5 62 05 01" -> bytes.
Bytes Hex(const std::string& text);
Bytes Text(const std::string& text);
std::string ToHex(const Bytes& bytes);
Bytes Concat(std::initializer_list<Bytes> parts);

// The line the program prints on every acknowledgement wait, as handed to
// the C runtime (which adds a CR of its own on Windows).
extern const char kAckLine[];
std::string AckLines(int count);

// A hunt on a silent line, the tests' own figure rather than the product's
// constants: 501 passes, each ending with a 50 ms pause.
constexpr std::uint64_t kSilentHuntMs = 501 * 50;

// The receiver's acknowledgements, byte for byte.
extern const Bytes kAckAckPrt;
extern const Bytes kAckAckNav5;
extern const Bytes kAckNakNav5;

extern const char kSerialCommKey[];
extern const char kSettingsKey[];

class Bench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Everything printed since the test began (or since the last call).
  std::string TakeConsole();

  // A receiver on an open, set-up port. By default it answers nothing and
  // sends only what the test injects.
  Sim::ReceiverModel& Receiver(const Sim::Scenario& scenario = ScriptedScenario());
  HANDLE port() const { return port_; }

  // No NMEA and no delay: only what the test injects or the model answers.
  static Sim::Scenario QuietScenario();
  // Sends nothing of its own and answers nothing.
  static Sim::Scenario ScriptedScenario();

  // Frames the program wrote, one entry per write call.
  static std::vector<Bytes> WrittenFrames();

  // A whole machine for the program: the serial-device key listing
  // portName under "\Device\<device>", and a device at \\.\portName with a
  // receiver attached. The receiver lives as long as the test.
  Sim::ReceiverModel& AddReceiverDevice(const std::string& device, const std::string& portName,
                                        const Sim::Scenario& scenario);
  static void ListSerialDevice(const std::string& device, const std::string& portName);
  static void SetSettings(DWORD disable, DWORD model);

 private:
  std::unique_ptr<Sim::ReceiverModel> receiver_;
  std::vector<std::unique_ptr<Sim::ReceiverModel>> deviceReceivers_;
  HANDLE port_ = nullptr;
  bool capturing_ = false;
};

}  // namespace Testing
}  // namespace Vantrel
