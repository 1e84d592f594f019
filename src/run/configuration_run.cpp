#include "run/configuration_run.h"

#include <cstring>

#include "ubx/exchange.h"
#include "ubx/frame.h"

namespace Vantrel {

namespace {

constexpr int kCfgPrtPayloadLength = 20;
constexpr std::uint8_t kReceiverPort1 = 1;
constexpr std::uint32_t kMode8N1 = 0x000008D0;
constexpr std::uint32_t kBaudRate = 115200;

constexpr int kCfgNav5PayloadLength = 36;
constexpr std::uint8_t kApplyDynamicModelOnly = 0x01;
constexpr int kDynModelOffset = 2;
// The receiver reports a model byte; this marks "no response read yet".
constexpr int kNoReadBack = 0xFF;

// The payload area every exchange clears before laying out its own bytes:
// large enough for the largest payload sent, the CFG-NAV5 set.
constexpr int kPayloadAreaSize = kCfgNav5PayloadLength;

std::uint8_t* ClearPayloadArea() {
  std::uint8_t* payload = TransmitBuffer + kUbxHeaderSize;
  std::memset(payload, 0, kPayloadAreaSize);
  return payload;
}

void PutLittleEndian32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  at[2] = static_cast<std::uint8_t>(value >> 16);
  at[3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace

DWORD SanitiseModel(DWORD model) {
  switch (model) {
    case 0: case 2: case 3: case 4: case 5: case 6: case 7: case 8:
      return model;
    default:
      return kPortableModel;
  }
}

int ConfigurePort(ReceiverPort port) {
  std::uint8_t* payload = ClearPayloadArea();
  payload[0] = kReceiverPort1;
  PutLittleEndian32(payload + 4, kMode8N1);
  PutLittleEndian32(payload + 8, kBaudRate);
  // txReady, both protocol masks and the flags stay zero.

  // The acknowledgement is awaited even if the write failed: the wait is
  // bounded, and a receiver that did get the frame still answers.
  SendUbx(port, kCfgClass, kCfgPrtId, kCfgPrtPayloadLength, 0);
  int mismatch = 0;
  return ProcessAckNak(port, kCfgClass, kCfgPrtId, &mismatch) == 1
             ? kRunPortAcknowledged
             : kRunPortNotAcknowledged;
}

int SetDynamicModel(ReceiverPort port, DWORD model) {
  std::uint8_t* payload = ClearPayloadArea();
  payload[0] = kApplyDynamicModelOnly;
  payload[kDynModelOffset] = static_cast<std::uint8_t>(model);
  return SendUbx(port, kCfgClass, kCfgNav5Id, kCfgNav5PayloadLength, 1);
}

int PollDynamicModel(ReceiverPort port, int* readBack) {
  ClearPayloadArea();
  *readBack = kNoReadBack;
  if (!SendUbx(port, kCfgClass, kCfgNav5Id, 0, 0)) return 0;

  std::uint16_t length = 0;
  const int responded = ReadUbxResponse(port, kCfgNav5Key, &length);
  // The receiver acknowledges the poll after its response; consume that
  // acknowledgement whatever became of the response.
  int mismatch = 0;
  ProcessAckNak(port, kCfgClass, kCfgNav5Id, &mismatch);
  if (!responded) return 0;
  // A response too short to hold the model byte reports nothing; reading
  // on would report a byte left behind by earlier traffic.
  if (length <= kDynModelOffset) return 0;

  *readBack = ResponseBuffer[kDynModelOffset];
  return 1;
}

RunResult RunConfiguration(ReceiverPort port, DWORD disable, DWORD model) {
  const DWORD requested = SanitiseModel(model);
  // Only a sign that the receiver is up; the run goes on either way.
  WaitForNmea(port);
  const RunResult portResult = ConfigurePort(port);
  if (disable != 0) return portResult + kRunModelStageDisabled;

  int readBack = kNoReadBack;
  if (SetDynamicModel(port, requested) && PollDynamicModel(port, &readBack) &&
      static_cast<DWORD>(readBack) != requested) {
    return portResult + kRunModelMismatch;
  }
  return portResult;
}

}  // namespace Vantrel
