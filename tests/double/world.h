// The double's state, shared by its serial and registry halves.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "double/fake_windows.h"

namespace Vantrel {
namespace Fake {

struct Port {
  DeviceSpec* device = nullptr;
  Sim::ReceiverModel* receiver = nullptr;
  bool open = false;
  COMMTIMEOUTS timeouts{};
  DCB state{};
  DWORD purgeFlags = 0;
};

struct RegistryValue {
  DWORD type;
  std::vector<std::uint8_t> data;
};

struct RegistryKey {
  std::map<std::string, RegistryValue> values;  // lower-case names
};

struct OpenKey {
  std::string path;  // lower-case, normalised
  bool open = false;
};

struct World {
  std::uint64_t nowMs = 0;
  std::uint64_t sleptMs = 0;
  DWORD lastError = 0;

  std::vector<std::unique_ptr<DeviceSpec>> devices;
  std::vector<std::unique_ptr<Port>> ports;  // index = handle number
  Sim::ReceiverModel silentLine{[] {
    Sim::Scenario s;
    s.silent = true;
    return s;
  }()};

  std::map<std::string, RegistryKey> registry;  // lower-case normalised paths
  std::vector<OpenKey> keys;

  std::uint64_t calls[static_cast<int>(Call::Count)] = {};
  std::vector<Call> numberedCalls;  // call 1 first
  std::uint64_t failNumber = 0;
  bool failFromThenOn = false;
  bool failKind[static_cast<int>(Call::Count)] = {};
  DWORD shortenWritesBy = 0;
  DWORD overstateQueueBy = 0;
  DWORD overreportReadsBy = 0;

  std::vector<OpenAttempt> openAttempts;
  std::vector<WriteRecord> writes;
  std::vector<KeyOpen> keyOpens;
  std::vector<std::string> queriedValues;
  std::uint64_t handlesClosed = 0;
  std::uint64_t keysClosed = 0;
  std::vector<std::string> violations;
  Port* lastOpened = nullptr;
};

World& TheWorld();

// Counts the call and says whether fault injection wants it to fail.
bool Enter(Call kind);
void Violation(const std::string& what);
std::string Lower(const std::string& text);

}  // namespace Fake
}  // namespace Vantrel
