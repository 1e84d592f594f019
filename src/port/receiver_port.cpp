#include "port/receiver_port.h"

#include <cstdio>
#include <cstring>

namespace Vantrel {

namespace {

const char kSerialDeviceKey[] = "Hardware\\DeviceMap\\SerialComm\\";
const char* const kCandidateValueNames[] = {
    "\\Device\\NmeaVcp2",
    "\\Device\\NmeaVcp1",
    "\\Device\\NmeaVcp0",
};
const char kFallbackPortName[] = "COM3";
const char kDevicePathFormat[] = "\\\\.\\%s";

constexpr DWORD kValueAreaSize = 256;
constexpr std::size_t kNameAreaSize = 255;
constexpr std::size_t kDevicePathSize = 100;

// Copies a REG_SZ value of `size` bytes into the name area. The registry
// does not promise a terminator, so the value ends at its first NUL or at
// its size, whichever comes first; a value that fills the whole value area
// without one, or a name too long for the name area, is refused rather than
// handed to the bounded copy, which would end the process.
int TakePortName(char* value, DWORD size, char* name) {
  const void* terminator = std::memchr(value, '\0', size);
  if (terminator == nullptr) {
    if (size >= kValueAreaSize) return 0;
    value[size] = '\0';
  }
  if (std::strlen(value) >= kNameAreaSize) return 0;
  strcpy_s(name, kNameAreaSize, value);
  return 1;
}

// One candidate from the serial-device key; INVALID_HANDLE_VALUE when it is
// not listed, unusable, or its device could not be opened.
ReceiverPort OpenCandidate(HKEY serialDevices, const char* valueName) {
  char value[kValueAreaSize];
  char name[kNameAreaSize];
  std::memset(name, 0, sizeof name);
  DWORD type = 0;
  DWORD size = kValueAreaSize;
  const LONG status = RegQueryValueExA(serialDevices, valueName, nullptr, &type,
                                       reinterpret_cast<LPBYTE>(value), &size);
  if (status != ERROR_SUCCESS || type != REG_SZ || size == 0 || size > kValueAreaSize)
    return INVALID_HANDLE_VALUE;
  if (!TakePortName(value, size, name)) return INVALID_HANDLE_VALUE;
  return OpenComPort(name);
}

bool IsNotAvailableYet(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_NOT_READY;
}

}  // namespace

int SetupComPort(ReceiverPort port) {
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(port, &timeouts)) return 0;
  // Every read returns once it has its count or 1 ms has passed: the UBX
  // link polls rather than blocks. Write timeouts stay as the driver has them.
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutMs;
  if (!SetCommTimeouts(port, &timeouts)) return 0;

  DCB state;
  if (!GetCommState(port, &state)) return 0;
  // Only the speed changes; framing and flow control stay as the driver
  // has them.
  state.BaudRate = kLineBaudRate;
  if (!SetCommState(port, &state)) return 0;

  if (!PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return 0;
  return 1;
}

ReceiverPort OpenComPort(const char* name) {
  char path[kDevicePathSize];
  const int length = std::snprintf(path, sizeof path, kDevicePathFormat, name);
  // A name that does not fit would be cut into the name of another device.
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return INVALID_HANDLE_VALUE;

  for (int attempt = 0; attempt < kOpenAttemptCount; ++attempt) {
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      if (SetupComPort(handle)) return handle;
      CloseHandle(handle);
      return INVALID_HANDLE_VALUE;
    }
    // Only a device that is not there yet is worth waiting for; anything
    // else (access denied, a bad name) will not change by retrying.
    if (!IsNotAvailableYet(GetLastError())) return INVALID_HANDLE_VALUE;
    Sleep(kOpenRetrySleepMs);
  }
  return INVALID_HANDLE_VALUE;
}

ReceiverPort OpenReceiverPort() {
  HKEY serialDevices = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialDeviceKey, 0, KEY_READ, &serialDevices) !=
      ERROR_SUCCESS) {
    // Without the key no serial driver has started, so COM3 is not tried.
    return INVALID_HANDLE_VALUE;
  }
  ReceiverPort port = INVALID_HANDLE_VALUE;
  for (const char* valueName : kCandidateValueNames) {
    port = OpenCandidate(serialDevices, valueName);
    if (port != INVALID_HANDLE_VALUE) break;
  }
  if (port == INVALID_HANDLE_VALUE) port = OpenComPort(kFallbackPortName);
  RegCloseKey(serialDevices);
  return port;
}

}  // namespace Vantrel
