// A machine described by fuzzer bytes: the serial-device key and its three
// candidate values, the settings key and its two values (any type, any size,
// with or without terminators), and serial devices that come up late, refuse
// to open or fail their set-up. Also what the product may do with it: which
// device paths the port search may try, in which order, and which settings
// a reader may report.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace Vantrel {
namespace FuzzSupport {

extern const char kSerialCommKey[];
extern const char kSettingsKey[];
extern const char* const kCandidateNames[3];  // in the order they are preferred
extern const char* const kSettingNames[2];    // disable, model

struct ValueSpec {
  bool present = false;
  DWORD type = REG_NONE;
  Bytes data;
};

struct Machine {
  bool serialKey = false;
  bool settingsKey = false;
  ValueSpec candidates[3];
  ValueSpec settings[2];
  std::vector<Fake::DeviceSpec> devices;
  // Receivers for devices that have one; owned here, outliving the run.
  std::vector<std::unique_ptr<Sim::ReceiverModel>> receivers;

  // Puts keys, values and devices into the double (after Fake::Reset).
  void Install() const;
};

// withReceivers: devices may get a receiver built from `scenario`.
Machine DecodeMachine(Input& input, bool withReceivers, const Sim::Scenario& scenario);

// The port name a candidate value yields, if it is usable: a REG_SZ of
// 1..256 bytes, ending at its first NUL or its size, shorter than 255
// characters, and not 256 bytes without a terminator.
bool CandidatePortName(const ValueSpec& value, std::string* name);

// "\\.\name" for every usable candidate in preference order, then COM3,
// with neighbouring repeats merged.
std::vector<std::string> PermittedOpenOrder(const Machine& machine);

// The device paths opened, in order, neighbouring repeats (retries) merged.
std::vector<std::string> PathsTried();

bool IsOrderedSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole);

// The two values a settings reader may report for a setting (often the
// same): a 4-byte REG_DWORD's value; for a shorter REG_DWORD, its bytes
// zero-extended, or 0; anything else reads as 0.
void PermittedSetting(const Machine& machine, int which, DWORD permitted[2]);

}  // namespace FuzzSupport
}  // namespace Vantrel
