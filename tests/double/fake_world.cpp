#include <algorithm>
#include <cctype>
#include <cstring>

#include "double/world.h"

namespace Vantrel {
namespace Fake {

World& TheWorld() {
  static World* world = new World();
  return *world;
}

const char* CallName(Call call) {
  switch (call) {
    case Call::CreateFile: return "CreateFileA";
    case Call::CloseHandle: return "CloseHandle";
    case Call::ReadFile: return "ReadFile";
    case Call::WriteFile: return "WriteFile";
    case Call::ClearCommError: return "ClearCommError";
    case Call::GetCommTimeouts: return "GetCommTimeouts";
    case Call::SetCommTimeouts: return "SetCommTimeouts";
    case Call::GetCommState: return "GetCommState";
    case Call::SetCommState: return "SetCommState";
    case Call::PurgeComm: return "PurgeComm";
    case Call::RegOpenKey: return "RegOpenKeyExA";
    case Call::RegQueryValue: return "RegQueryValueExA";
    case Call::RegCloseKey: return "RegCloseKey";
    case Call::Sleep: return "Sleep";
    case Call::Count: break;
  }
  return "?";
}

bool Enter(Call kind) {
  World& w = TheWorld();
  ++w.calls[static_cast<int>(kind)];
  if (kind == Call::Sleep) return false;
  w.numberedCalls.push_back(kind);
  const std::uint64_t number = w.numberedCalls.size();
  if (w.failKind[static_cast<int>(kind)]) return true;
  if (w.failNumber == 0) return false;
  return number == w.failNumber || (w.failFromThenOn && number > w.failNumber);
}

void Violation(const std::string& what) { TheWorld().violations.push_back(what); }

std::string Lower(const std::string& text) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

void Reset() { TheWorld() = World(); }

std::uint64_t NowMs() { return TheWorld().nowMs; }
void AdvanceClock(std::uint64_t ms) { TheWorld().nowMs += ms; }

void FailCallNumber(std::uint64_t n, bool fromThenOn) {
  TheWorld().failNumber = n;
  TheWorld().failFromThenOn = fromThenOn;
}
void FailCalls(Call kind, bool fail) { TheWorld().failKind[static_cast<int>(kind)] = fail; }
void ShortenWrites(DWORD byBytes) { TheWorld().shortenWritesBy = byBytes; }
void OverstateQueuedCount(DWORD byBytes) { TheWorld().overstateQueueBy = byBytes; }
void OverreportReads(DWORD byBytes) { TheWorld().overreportReadsBy = byBytes; }

std::uint64_t CallCount(Call kind) { return TheWorld().calls[static_cast<int>(kind)]; }
const std::vector<Call>& NumberedCalls() { return TheWorld().numberedCalls; }
std::uint64_t SleptMs() { return TheWorld().sleptMs; }
const std::vector<OpenAttempt>& OpenAttempts() { return TheWorld().openAttempts; }
const std::vector<WriteRecord>& Writes() { return TheWorld().writes; }
const std::vector<KeyOpen>& KeyOpens() { return TheWorld().keyOpens; }
std::vector<std::string> QueriedValueNames() { return TheWorld().queriedValues; }
std::uint64_t HandlesClosed() { return TheWorld().handlesClosed; }
std::uint64_t KeysClosed() { return TheWorld().keysClosed; }
const std::vector<std::string>& Violations() { return TheWorld().violations; }

int OpenHandleCount() {
  const World& w = TheWorld();
  return static_cast<int>(std::count_if(w.ports.begin(), w.ports.end(),
                                        [](const std::unique_ptr<Port>& p) { return p->open; }));
}

int OpenKeyCount() {
  const World& w = TheWorld();
  return static_cast<int>(
      std::count_if(w.keys.begin(), w.keys.end(), [](const OpenKey& k) { return k.open; }));
}

}  // namespace Fake
}  // namespace Vantrel

extern "C" void Sleep(DWORD dwMilliseconds) {
  using namespace Vantrel::Fake;
  Enter(Call::Sleep);
  TheWorld().nowMs += dwMilliseconds;
  TheWorld().sleptMs += dwMilliseconds;
}

extern "C" DWORD GetLastError(void) { return Vantrel::Fake::TheWorld().lastError; }

extern "C" int strcpy_s(char* destination, std::size_t destinationSize, const char* source) {
  using namespace Vantrel::Fake;
  if (destination == nullptr || source == nullptr || destinationSize == 0) {
    Violation("strcpy_s given a null pointer or no room: the runtime would end the process");
    return 22;  // EINVAL
  }
  const std::size_t length = std::strlen(source);
  if (length >= destinationSize) {
    destination[0] = '\0';
    Violation("strcpy_s source does not fit: the runtime would end the process");
    return 34;  // ERANGE
  }
  std::memcpy(destination, source, length + 1);
  return 0;
}
