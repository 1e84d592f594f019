#include "ubx/frame.h"

namespace Vantrel {

std::uint8_t TransmitBuffer[kUbxBufferSize];

namespace {

void AddToChecksum(std::uint8_t byte, std::uint8_t* ckA, std::uint8_t* ckB) {
  *ckA = static_cast<std::uint8_t>(*ckA + byte);
  *ckB = static_cast<std::uint8_t>(*ckB + *ckA);
}

}  // namespace

void UbxChecksum(std::uint8_t messageClass, std::uint8_t id, std::uint16_t length,
                 const std::uint8_t* payload, std::uint8_t* ckA, std::uint8_t* ckB) {
  *ckA = 0;
  *ckB = 0;
  AddToChecksum(messageClass, ckA, ckB);
  AddToChecksum(id, ckA, ckB);
  AddToChecksum(static_cast<std::uint8_t>(length & 0xFF), ckA, ckB);
  AddToChecksum(static_cast<std::uint8_t>(length >> 8), ckA, ckB);
  for (std::uint16_t i = 0; i < length; ++i) AddToChecksum(payload[i], ckA, ckB);
}

int EncodeUbxFrame(std::uint8_t messageClass, std::uint8_t id, int payloadLength) {
  const std::uint16_t length = static_cast<std::uint16_t>(payloadLength);
  TransmitBuffer[0] = kSyncChar1;
  TransmitBuffer[1] = kSyncChar2;
  TransmitBuffer[2] = messageClass;
  TransmitBuffer[3] = id;
  TransmitBuffer[4] = static_cast<std::uint8_t>(length & 0xFF);
  TransmitBuffer[5] = static_cast<std::uint8_t>(length >> 8);
  UbxChecksum(messageClass, id, length, TransmitBuffer + kUbxHeaderSize,
              &TransmitBuffer[kUbxHeaderSize + length],
              &TransmitBuffer[kUbxHeaderSize + length + 1]);
  return payloadLength + kUbxFramingSize;
}

}  // namespace Vantrel
