// Files and serial ports: CreateFileA finds simulated devices, reads follow
// the port's read timeouts against the virtual clock, writes go to the
// simulated receiver.
#include <cstring>

#include "double/world.h"

namespace Vantrel {
namespace Fake {

namespace {

constexpr std::uintptr_t kFirstHandle = 0x1000;
constexpr DWORD kMaxDword = 0xFFFFFFFFu;
// How far a read with no timeouts at all may wait before the double calls
// it a read that would block forever.
constexpr std::uint64_t kForeverMs = 3600 * 1000;

HANDLE HandleFor(std::size_t index) {
  return reinterpret_cast<HANDLE>(kFirstHandle + index * 4);
}

Port* PortFor(HANDLE handle, const char* caller) {
  World& w = TheWorld();
  const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
  if (value >= kFirstHandle && (value - kFirstHandle) % 4 == 0) {
    const std::size_t index = (value - kFirstHandle) / 4;
    if (index < w.ports.size() && w.ports[index]->open) return w.ports[index].get();
  }
  Violation(std::string(caller) + " on a handle that is not open");
  w.lastError = ERROR_INVALID_HANDLE;
  return nullptr;
}

DCB DriverDefaultState() {
  DCB state;
  std::memset(&state, 0, sizeof state);
  state.DCBlength = sizeof state;
  state.BaudRate = 9600;
  state.fBinary = 1;
  state.fDtrControl = 1;
  state.fRtsControl = 1;
  state.ByteSize = 8;
  state.XonLim = 2048;
  state.XoffLim = 512;
  state.XonChar = 0x11;
  state.XoffChar = 0x13;
  return state;
}

// Non-zero where the program must set a value, so that a field it forgets
// keeps the driver's number instead of a lucky zero.
COMMTIMEOUTS DriverDefaultTimeouts() {
  COMMTIMEOUTS timeouts;
  std::memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = 50;
  timeouts.ReadTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutMultiplier = 10;
  timeouts.WriteTotalTimeoutConstant = 5000;
  return timeouts;
}

HANDLE AttachPort(DeviceSpec* device, Sim::ReceiverModel* receiver) {
  World& w = TheWorld();
  std::unique_ptr<Port> port(new Port());
  port->device = device;
  port->receiver = receiver != nullptr ? receiver : &w.silentLine;
  port->open = true;
  port->timeouts = DriverDefaultTimeouts();
  port->state = DriverDefaultState();
  // The driver's queue starts empty when the device is opened.
  port->receiver->DiscardArrived(w.nowMs);
  w.lastOpened = port.get();
  w.ports.push_back(std::move(port));
  return HandleFor(w.ports.size() - 1);
}

bool SetupCallFails(Port* port, Call kind) {
  return port->device != nullptr && port->device->failingSetupCall == kind;
}

bool FailWith(DWORD error) {
  TheWorld().lastError = error;
  return false;
}

}  // namespace

void AddDevice(const DeviceSpec& device) {
  TheWorld().devices.push_back(std::unique_ptr<DeviceSpec>(new DeviceSpec(device)));
}

HANDLE OpenTestPort(Sim::ReceiverModel* receiver) {
  HANDLE handle = AttachPort(nullptr, receiver);
  Port* port = TheWorld().ports.back().get();
  port->timeouts.ReadIntervalTimeout = 0;
  port->timeouts.ReadTotalTimeoutMultiplier = 0;
  port->timeouts.ReadTotalTimeoutConstant = 1;
  port->state.BaudRate = 115200;
  return handle;
}

bool LastPortSettings(COMMTIMEOUTS* timeouts, DCB* state, DWORD* purgeFlags) {
  const Port* port = TheWorld().lastOpened;
  if (port == nullptr) return false;
  *timeouts = port->timeouts;
  *state = port->state;
  *purgeFlags = port->purgeFlags;
  return true;
}

}  // namespace Fake
}  // namespace Vantrel

using namespace Vantrel::Fake;

extern "C" HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile) {
  World& w = TheWorld();
  const bool injected = Enter(Call::CreateFile);
  const std::string path = lpFileName != nullptr ? lpFileName : "";
  OpenAttempt attempt{w.nowMs, path, dwDesiredAccess, dwShareMode,
                      lpSecurityAttributes != nullptr, dwCreationDisposition,
                      dwFlagsAndAttributes, hTemplateFile != nullptr, false, 0};

  DeviceSpec* device = nullptr;
  for (auto& candidate : w.devices) {
    if (Lower(candidate->path) == Lower(path)) device = candidate.get();
  }
  DWORD error = 0;
  if (injected) {
    error = ERROR_GEN_FAILURE;
  } else if (path == "\\\\.\\") {
    error = ERROR_INVALID_NAME;
  } else if (device == nullptr) {
    error = ERROR_FILE_NOT_FOUND;
  } else if (device->openError != 0) {
    error = device->openError;
  } else if (w.nowMs < device->availableFromMs) {
    error = device->errorBeforeAvailable;
  } else {
    for (auto& port : w.ports) {
      if (port->open && port->device == device) error = ERROR_ACCESS_DENIED;  // no sharing
    }
  }

  attempt.error = error;
  attempt.opened = error == 0;
  w.openAttempts.push_back(attempt);
  if (error != 0) {
    w.lastError = error;
    return INVALID_HANDLE_VALUE;
  }
  w.lastError = 0;
  return AttachPort(device, device->receiver);
}

extern "C" BOOL CloseHandle(HANDLE hObject) {
  World& w = TheWorld();
  Enter(Call::CloseHandle);
  Port* port = PortFor(hObject, "CloseHandle");
  if (port == nullptr) return FALSE;
  port->open = false;
  ++w.handlesClosed;
  return TRUE;
}

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  World& w = TheWorld();
  const bool injected = Enter(Call::ReadFile);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  if (lpOverlapped != nullptr) Violation("ReadFile given an overlapped structure");
  if (lpNumberOfBytesRead == nullptr) Violation("ReadFile without a count output");
  Port* port = PortFor(hFile, "ReadFile");
  if (port == nullptr) return FALSE;
  if (injected) return FailWith(ERROR_GEN_FAILURE);
  if (nNumberOfBytesToRead == 0) return TRUE;

  Vantrel::Sim::ReceiverModel& line = *port->receiver;
  const COMMTIMEOUTS& t = port->timeouts;
  const std::size_t wanted = nNumberOfBytesToRead;
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    // Returns at once with whatever has arrived.
  } else if (line.Arrived(w.nowMs) < wanted) {
    const std::uint64_t total =
        static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * wanted + t.ReadTotalTimeoutConstant;
    const bool forever = total == 0;
    std::uint64_t arrival = 0;
    if (line.ArrivalTime(wanted, w.nowMs + (forever ? kForeverMs : total), &arrival)) {
      w.nowMs = arrival;
    } else if (forever) {
      Violation("ReadFile with no read timeouts would block forever");
      w.nowMs += kForeverMs;
    } else {
      w.nowMs += total;
    }
  }
  const std::size_t delivered =
      line.Take(static_cast<std::uint8_t*>(lpBuffer), wanted, w.nowMs);
  // A misbehaving driver may claim more than it delivered (and more than
  // was asked for); the knob lets tests prove the program never trusts it.
  if (lpNumberOfBytesRead != nullptr)
    *lpNumberOfBytesRead = static_cast<DWORD>(delivered) + w.overreportReadsBy;
  return TRUE;
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  World& w = TheWorld();
  const bool injected = Enter(Call::WriteFile);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  if (lpOverlapped != nullptr) Violation("WriteFile given an overlapped structure");
  if (lpNumberOfBytesWritten == nullptr) Violation("WriteFile without a count output");
  Port* port = PortFor(hFile, "WriteFile");
  if (port == nullptr) return FALSE;
  if (injected) return FailWith(ERROR_GEN_FAILURE);

  DWORD count = nNumberOfBytesToWrite;
  count = w.shortenWritesBy < count ? count - w.shortenWritesBy : 0;
  const std::uint8_t* bytes = static_cast<const std::uint8_t*>(lpBuffer);
  w.writes.push_back(WriteRecord{w.nowMs, std::vector<std::uint8_t>(bytes, bytes + count)});
  port->receiver->Receive(bytes, count, w.nowMs);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = count;
  return TRUE;
}

extern "C" BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  World& w = TheWorld();
  const bool injected = Enter(Call::ClearCommError);
  Port* port = PortFor(hFile, "ClearCommError");
  if (port == nullptr) return FALSE;
  // A failed call may leave the status as the caller had it, stale or not.
  if (injected) return FailWith(ERROR_GEN_FAILURE);
  if (lpErrors != nullptr) *lpErrors = 0;
  if (lpStat != nullptr) {
    lpStat->cbInQue = static_cast<DWORD>(port->receiver->Arrived(w.nowMs)) + w.overstateQueueBy;
    lpStat->cbOutQue = 0;
  }
  return TRUE;
}

extern "C" BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  const bool injected = Enter(Call::GetCommTimeouts);
  Port* port = PortFor(hFile, "GetCommTimeouts");
  if (port == nullptr) return FALSE;
  if (injected || SetupCallFails(port, Call::GetCommTimeouts)) return FailWith(ERROR_GEN_FAILURE);
  *lpCommTimeouts = port->timeouts;
  return TRUE;
}

extern "C" BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  const bool injected = Enter(Call::SetCommTimeouts);
  Port* port = PortFor(hFile, "SetCommTimeouts");
  if (port == nullptr) return FALSE;
  if (injected || SetupCallFails(port, Call::SetCommTimeouts)) return FailWith(ERROR_GEN_FAILURE);
  port->timeouts = *lpCommTimeouts;
  return TRUE;
}

extern "C" BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  const bool injected = Enter(Call::GetCommState);
  Port* port = PortFor(hFile, "GetCommState");
  if (port == nullptr) return FALSE;
  if (injected || SetupCallFails(port, Call::GetCommState)) return FailWith(ERROR_GEN_FAILURE);
  *lpDCB = port->state;
  return TRUE;
}

extern "C" BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  const bool injected = Enter(Call::SetCommState);
  Port* port = PortFor(hFile, "SetCommState");
  if (port == nullptr) return FALSE;
  if (injected || SetupCallFails(port, Call::SetCommState)) return FailWith(ERROR_GEN_FAILURE);
  port->state = *lpDCB;
  return TRUE;
}

extern "C" BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  World& w = TheWorld();
  const bool injected = Enter(Call::PurgeComm);
  Port* port = PortFor(hFile, "PurgeComm");
  if (port == nullptr) return FALSE;
  if (injected || SetupCallFails(port, Call::PurgeComm)) return FailWith(ERROR_GEN_FAILURE);
  port->purgeFlags = dwFlags;
  if ((dwFlags & PURGE_RXCLEAR) != 0) port->receiver->DiscardArrived(w.nowMs);
  return TRUE;
}
