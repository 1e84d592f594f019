// An in-process stand-in for the few Windows calls Vantrel makes, with a
// virtual millisecond clock. Sleep advances the clock; a port's reads follow
// its read timeouts against a simulated receiver whose bytes arrive at their
// own times; CreateFileA finds simulated devices; the registry calls read a
// simulated registry. Every call is counted, any one can be made to fail,
// and misuse (double closes, leaks, a bounded copy that would abort) is
// recorded as a violation for the test to assert on.
//
// It is as unforgiving as Windows may be:
// - RegQueryValueExA promises only the value's own bytes. Behind a string it
//   fills the rest of the caller's area with 0xCD (no terminator the value
//   lacks); behind other types it leaves what the caller had there.
// - A ClearCommError that fails writes nothing: the caller's COMSTAT keeps
//   whatever it held, and bytes stay queued behind it.
// - A device opens with the timeouts some drivers ship (read interval 50 ms,
//   read and write multipliers 10 ms), so each read field the program must
//   set is seen to be set, and the write fields to be left alone.
// - RegOpenKeyExA records the subkey, access and options of every open, so
//   a key opened other than plainly for reading is seen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/receiver_model.h"

namespace Vantrel {
namespace Fake {

enum class Call {
  CreateFile,
  CloseHandle,
  ReadFile,
  WriteFile,
  ClearCommError,
  GetCommTimeouts,
  SetCommTimeouts,
  GetCommState,
  SetCommState,
  PurgeComm,
  RegOpenKey,
  RegQueryValue,
  RegCloseKey,
  Sleep,
  Count
};

const char* CallName(Call call);

// A serial device that CreateFileA can find by its path ("\\.\COM5").
struct DeviceSpec {
  std::string path;
  Sim::ReceiverModel* receiver = nullptr;  // nullptr: nothing attached, a silent line
  std::uint64_t availableFromMs = 0;       // before this, opening fails ...
  DWORD errorBeforeAvailable = ERROR_FILE_NOT_FOUND;  // ... with this reason
  DWORD openError = 0;                     // nonzero: every open fails with this
  Call failingSetupCall = Call::Count;     // this line set-up call fails
};

struct OpenAttempt {
  std::uint64_t timeMs;
  std::string path;
  DWORD desiredAccess;
  DWORD shareMode;
  bool securityAttributesGiven;
  DWORD creationDisposition;
  DWORD flagsAndAttributes;
  bool templateGiven;
  bool opened;
  DWORD error;
};

struct WriteRecord {
  std::uint64_t timeMs;
  std::vector<std::uint8_t> bytes;
};

struct KeyOpen {
  std::string subKey;  // exactly as passed
  REGSAM access;
  DWORD options;
  bool opened;
};

// Starts a fresh world: clock at 0, no devices, empty registry, no faults.
void Reset();

std::uint64_t NowMs();
void AdvanceClock(std::uint64_t ms);

void AddDevice(const DeviceSpec& device);
// A port already open and set up the way the receiver port leaves it (1 ms
// total read timeout, 115200 baud), attached to the receiver.
HANDLE OpenTestPort(Sim::ReceiverModel* receiver);

// Registry. Key paths are below HKEY_LOCAL_MACHINE, without a trailing
// backslash; lookups ignore case, as Windows does.
void AddRegistryKey(const std::string& keyPath);
void SetRegistryValue(const std::string& keyPath, const std::string& name, DWORD type,
                      const std::vector<std::uint8_t>& data);
void SetRegistryString(const std::string& keyPath, const std::string& name,
                       const std::string& text, bool withTerminator = true);
void SetRegistryDword(const std::string& keyPath, const std::string& name, DWORD value);

// Fault injection. Calls are numbered from 1 across all kinds except Sleep.
void FailCallNumber(std::uint64_t n, bool fromThenOn = false);
void FailCalls(Call kind, bool fail = true);           // every call of this kind
void ShortenWrites(DWORD byBytes);                     // writes deliver fewer bytes
void OverstateQueuedCount(DWORD byBytes);              // ClearCommError reports more
void OverreportReads(DWORD byBytes);                   // ReadFile claims more than it gave

// Records.
std::uint64_t CallCount(Call kind);
const std::vector<Call>& NumberedCalls();  // the kind of each numbered call, in order
std::uint64_t SleptMs();
const std::vector<OpenAttempt>& OpenAttempts();
const std::vector<WriteRecord>& Writes();
const std::vector<KeyOpen>& KeyOpens();
std::vector<std::string> QueriedValueNames();
int OpenHandleCount();
int OpenKeyCount();
std::uint64_t HandlesClosed();
std::uint64_t KeysClosed();
// The line settings of a device as the program left them (last open handle).
bool LastPortSettings(COMMTIMEOUTS* timeouts, DCB* state, DWORD* purgeFlags);
const std::vector<std::string>& Violations();

}  // namespace Fake
}  // namespace Vantrel
