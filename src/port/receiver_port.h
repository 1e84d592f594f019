// Finding, opening and setting up the serial port the receiver is reached on.
//
// Serial drivers list their devices under the serial-device key; the NMEA
// virtual ports are preferred, highest number first, and COM3 is the
// fallback. A device that is not there yet is retried for about 14 s, since
// at start-up the receiver's driver may come up after Vantrel.
#pragma once

#include "platform/win32.h"

namespace Vantrel {

// The open serial device; INVALID_HANDLE_VALUE stands for no port.
typedef HANDLE ReceiverPort;

constexpr int kOpenAttemptCount = 141;
constexpr DWORD kOpenRetrySleepMs = 100;
constexpr DWORD kLineBaudRate = 115200;
constexpr DWORD kReadTotalTimeoutMs = 1;

// The candidate list's port, the fallback, or INVALID_HANDLE_VALUE.
ReceiverPort OpenReceiverPort();
// Opens \\.\name, retrying while the device is not there yet, and sets it up.
ReceiverPort OpenComPort(const char* name);
// 1 when timeouts, baud rate and purge all succeeded.
int SetupComPort(ReceiverPort port);

}  // namespace Vantrel
