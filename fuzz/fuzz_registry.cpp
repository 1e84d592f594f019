#include "fuzz/fuzz_registry.h"

#include <cstring>

namespace Vantrel {
namespace FuzzSupport {

const char kSerialCommKey[] = "Hardware\\DeviceMap\\SerialComm";
const char kSettingsKey[] = "Software\\Keldran\\Settings";
const char* const kCandidateNames[3] = {"\\Device\\NmeaVcp2", "\\Device\\NmeaVcp1",
                                        "\\Device\\NmeaVcp0"};
const char* const kSettingNames[2] = {"DisableVantrel", "GpsPositionMode"};

namespace {

const DWORD kValueTypes[8] = {REG_SZ, REG_SZ, REG_SZ, REG_DWORD,
                              REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ, REG_NONE};

// Data shapes that matter to a string reader: literal bytes, a plausible
// port name, and long runs of one character (around 255/256 bytes), each
// with or without a terminator.
ValueSpec DecodeValue(Input& input) {
  ValueSpec value;
  const std::uint8_t b = input.Byte();
  value.present = input.Bit(b, 0);
  value.type = kValueTypes[(b >> 1) & 7];
  const bool terminated = input.Bit(b, 6);
  switch ((b >> 4) & 3) {
    case 0:
      value.data = input.Take(input.Word() % 300);
      break;
    case 1: {
      const std::string name = "COM" + std::to_string(input.Byte() % 10);
      value.data.assign(name.begin(), name.end());
      break;
    }
    case 2: {
      const std::uint8_t c = input.Byte();
      value.data.assign(input.Word() % 300, c == 0 ? 'A' : c);
      break;
    }
    default:
      value.data = input.Take(input.Byte() % 9);
      break;
  }
  if (terminated) value.data.push_back(0);
  if (input.Bit(b, 7)) value.type = input.Byte();  // any type at all
  return value;
}

std::string PortText(const ValueSpec& value) {
  std::string text(value.data.begin(), value.data.end());
  const std::size_t nul = text.find('\0');
  return nul == std::string::npos ? text : text.substr(0, nul);
}

const DWORD kOpenErrors[8] = {0, 0, 0, 0, ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE,
                              ERROR_NOT_READY, ERROR_FILE_NOT_FOUND};
const DWORD kEarlyErrors[4] = {ERROR_FILE_NOT_FOUND, ERROR_NOT_READY, ERROR_ACCESS_DENIED,
                               ERROR_GEN_FAILURE};
const Fake::Call kSetupCalls[8] = {Fake::Call::Count, Fake::Call::Count, Fake::Call::Count,
                                   Fake::Call::GetCommTimeouts, Fake::Call::SetCommTimeouts,
                                   Fake::Call::GetCommState, Fake::Call::SetCommState,
                                   Fake::Call::PurgeComm};

}  // namespace

void Machine::Install() const {
  if (serialKey) Fake::AddRegistryKey(kSerialCommKey);
  if (settingsKey) Fake::AddRegistryKey(kSettingsKey);
  for (int i = 0; i < 3; ++i) {
    if (serialKey && candidates[i].present)
      Fake::SetRegistryValue(kSerialCommKey, kCandidateNames[i], candidates[i].type, candidates[i].data);
  }
  for (int i = 0; i < 2; ++i) {
    if (settingsKey && settings[i].present)
      Fake::SetRegistryValue(kSettingsKey, kSettingNames[i], settings[i].type, settings[i].data);
  }
  for (const Fake::DeviceSpec& device : devices) Fake::AddDevice(device);
}

Machine DecodeMachine(Input& input, bool withReceivers, const Sim::Scenario& scenario) {
  Machine machine;
  const std::uint8_t flags = input.Byte();
  machine.serialKey = !input.Bit(flags, 0);
  machine.settingsKey = !input.Bit(flags, 1);
  for (ValueSpec& value : machine.candidates) value = DecodeValue(input);
  for (ValueSpec& value : machine.settings) value = DecodeValue(input);

  const int deviceCount = input.Byte() % 5;
  for (int i = 0; i < deviceCount; ++i) {
    const std::uint8_t b = input.Byte();
    Fake::DeviceSpec device;
    const int source = b & 3;
    device.path = "\\\\.\\" + (source == 0 ? std::string("COM3") : PortText(machine.candidates[source - 1]));
    device.errorBeforeAvailable = kEarlyErrors[(b >> 2) & 3];
    device.openError = kOpenErrors[(b >> 4) & 7];
    device.availableFromMs = static_cast<std::uint64_t>(input.Byte()) * 100;
    device.failingSetupCall = kSetupCalls[input.Byte() & 7];
    if (withReceivers && !input.Bit(b, 7)) {
      machine.receivers.emplace_back(new Sim::ReceiverModel(scenario));
      device.receiver = machine.receivers.back().get();
    }
    machine.devices.push_back(device);
  }
  return machine;
}

bool CandidatePortName(const ValueSpec& value, std::string* name) {
  if (!value.present || value.type != REG_SZ) return false;
  if (value.data.empty() || value.data.size() > 256) return false;
  const bool terminated = std::memchr(value.data.data(), 0, value.data.size()) != nullptr;
  if (!terminated && value.data.size() == 256) return false;
  const std::string text = PortText(value);
  if (text.size() >= 255) return false;
  *name = text;
  return true;
}

namespace {

void AppendMerged(std::vector<std::string>* paths, const std::string& path) {
  if (paths->empty() || paths->back() != path) paths->push_back(path);
}

}  // namespace

std::vector<std::string> PermittedOpenOrder(const Machine& machine) {
  std::vector<std::string> order;
  std::string name;
  for (const ValueSpec& value : machine.candidates) {
    if (CandidatePortName(value, &name)) AppendMerged(&order, "\\\\.\\" + name);
  }
  AppendMerged(&order, "\\\\.\\COM3");
  return order;
}

std::vector<std::string> PathsTried() {
  std::vector<std::string> paths;
  for (const Fake::OpenAttempt& attempt : Fake::OpenAttempts()) AppendMerged(&paths, attempt.path);
  return paths;
}

bool IsOrderedSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  std::size_t at = 0;
  for (const std::string& item : part) {
    while (at < whole.size() && whole[at] != item) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

void PermittedSetting(const Machine& machine, int which, DWORD permitted[2]) {
  permitted[0] = 0;
  permitted[1] = 0;
  const ValueSpec& value = machine.settings[which];
  if (!machine.settingsKey || !value.present || value.type != REG_DWORD) return;
  if (value.data.empty() || value.data.size() > 4) return;
  DWORD v = 0;
  for (std::size_t i = 0; i < value.data.size(); ++i) v |= static_cast<DWORD>(value.data[i]) << (8 * i);
  permitted[0] = v;
  if (value.data.size() == 4) permitted[1] = v;
}

}  // namespace FuzzSupport
}  // namespace Vantrel
