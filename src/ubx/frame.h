// UBX frames: layout, checksum, the messages Vantrel knows, and the building
// of an outgoing frame in place in TransmitBuffer.
//
//   B5 62 | class | id | length (LE16) | payload (length bytes) | CK_A CK_B
#pragma once

#include <cstdint>

namespace Vantrel {

// Class in the low byte, id in the high byte: the two bytes after the sync
// chars read as one little-endian number.
typedef std::uint16_t MessageKey;

constexpr MessageKey MakeMessageKey(std::uint8_t messageClass, std::uint8_t id) {
  return static_cast<MessageKey>(messageClass | (id << 8));
}
constexpr std::uint8_t MessageKeyClass(MessageKey key) { return static_cast<std::uint8_t>(key & 0xFF); }
constexpr std::uint8_t MessageKeyId(MessageKey key) { return static_cast<std::uint8_t>(key >> 8); }

constexpr std::uint8_t kSyncChar1 = 0xB5;
constexpr std::uint8_t kSyncChar2 = 0x62;

constexpr int kUbxHeaderSize = 6;    // sync chars, class, id, length
constexpr int kUbxFramingSize = 8;   // header plus the two checksum bytes
constexpr int kUbxBufferSize = 1024;
constexpr int kUbxMaxPayloadLength = kUbxBufferSize - kUbxFramingSize;

constexpr std::uint8_t kAckClass = 0x05;
constexpr std::uint8_t kAckNakId = 0x00;
constexpr std::uint8_t kAckAckId = 0x01;
constexpr std::uint8_t kCfgClass = 0x06;
constexpr std::uint8_t kCfgPrtId = 0x00;
constexpr std::uint8_t kCfgNav5Id = 0x24;

constexpr MessageKey kAckNakKey = MakeMessageKey(kAckClass, kAckNakId);    // 0x0005
constexpr MessageKey kAckAckKey = MakeMessageKey(kAckClass, kAckAckId);    // 0x0105
constexpr MessageKey kCfgPrtKey = MakeMessageKey(kCfgClass, kCfgPrtId);    // 0x0006
constexpr MessageKey kCfgNav5Key = MakeMessageKey(kCfgClass, kCfgNav5Id);  // 0x2406

// The outgoing frame. Callers place the payload at offset kUbxHeaderSize
// before the frame is completed around it.
extern std::uint8_t TransmitBuffer[kUbxBufferSize];

// The 8-bit Fletcher checksum over class, id, length (low byte first) and
// payload; the sync chars are not covered.
void UbxChecksum(std::uint8_t messageClass, std::uint8_t id, std::uint16_t length,
                 const std::uint8_t* payload, std::uint8_t* ckA, std::uint8_t* ckB);

// Completes the frame in TransmitBuffer around a payload of payloadLength
// bytes already in place; returns the frame's length (payloadLength + 8).
// payloadLength must be between 0 and kUbxMaxPayloadLength.
int EncodeUbxFrame(std::uint8_t messageClass, std::uint8_t id, int payloadLength);

}  // namespace Vantrel
