#include "ubx/exchange.h"

#include <cstdio>
#include <cstring>

namespace Vantrel {

std::uint8_t AckBuffer[kUbxBufferSize];
std::uint8_t ResponseBuffer[kUbxBufferSize];

namespace {

enum class ScanResult { HeaderFound, PassOver, LineFlooded };

DWORD QueuedByteCount(ReceiverPort port) {
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  // The call's own result is not consulted: a failed query leaves the zeroed
  // count in place, which reads as nothing queued.
  ClearCommError(port, nullptr, &status);
  return status.cbInQue;
}

// Number of bytes a read delivered; a failed read delivers nothing usable.
DWORD ReadBytes(ReceiverPort port, std::uint8_t* into, DWORD count) {
  DWORD delivered = 0;
  if (!ReadFile(port, into, count, &delivered, nullptr)) return 0;
  return delivered < count ? delivered : count;
}

int ReadExactly(ReceiverPort port, std::uint8_t* into, DWORD count) {
  return ReadBytes(port, into, count) == count ? 1 : 0;
}

// Which keys end a hunt: one given key, or either acknowledgement.
struct KeySought {
  MessageKey key;
  bool anyAcknowledgement;

  bool Accepts(MessageKey candidate) const {
    if (anyAcknowledgement) return candidate == kAckAckKey || candidate == kAckNakKey;
    return candidate == key;
  }
};

// Scans up to `queued` bytes for sync chars and a wanted key. A read that
// fails or delivers nothing ends the pass: the queued count said bytes were
// there, so the line is misbehaving and the next pass asks again; without
// this a port whose reads keep failing would hold the scan forever.
ScanResult ScanQueuedBytes(ReceiverPort port, DWORD queued, KeySought sought,
                           MessageKey* found) {
  DWORD consumed = 0;
  while (consumed < queued) {
    std::uint8_t byte = 0;
    if (ReadBytes(port, &byte, 1) != 1) return ScanResult::PassOver;
    consumed += 1;
    if (byte != kSyncChar1) continue;

    // A run of sync char 1 acts as a single one. The run is followed past
    // the queued count, but a silent line ends it like any empty read, and
    // a line that never stops sending 0xB5 ends the hunt: whatever it is,
    // it is not a receiver answering.
    DWORD runLength = 1;
    while (byte == kSyncChar1) {
      if (runLength > kLongestRealSyncRun) return ScanResult::LineFlooded;
      if (ReadBytes(port, &byte, 1) != 1) return ScanResult::PassOver;
      consumed += 1;
      runLength += 1;
    }
    if (byte != kSyncChar2) continue;

    std::uint8_t keyBytes[2];
    const DWORD delivered = ReadBytes(port, keyBytes, 2);
    consumed += delivered;
    if (delivered != 2) continue;
    const MessageKey key = MakeMessageKey(keyBytes[0], keyBytes[1]);
    if (sought.Accepts(key)) {
      *found = key;
      return ScanResult::HeaderFound;
    }
    // An unwanted frame's length, payload and checksum are scanned as
    // ordinary bytes; the key bytes themselves are never re-examined.
  }
  return ScanResult::PassOver;
}

int HuntHeader(ReceiverPort port, KeySought sought, MessageKey* found) {
  for (int pass = 0; pass < kHuntPassCount; ++pass) {
    const DWORD queued = QueuedByteCount(port);
    if (queued == 0) {
      Sleep(kEmptyQueueSleepMs);
      continue;
    }
    const ScanResult result = ScanQueuedBytes(port, queued, sought, found);
    if (result == ScanResult::HeaderFound) return 1;
    if (result == ScanResult::LineFlooded) return 0;
  }
  return 0;
}

int ReadPayload(ReceiverPort port, std::uint8_t* into, std::uint16_t length) {
  return ReadExactly(port, into, length);
}

}  // namespace

int FindUbxHeader(ReceiverPort port, MessageKey key) {
  MessageKey found = 0;
  return HuntHeader(port, KeySought{key, false}, &found);
}

AckOutcome FindAckNak(ReceiverPort port) {
  MessageKey found = 0;
  if (!HuntHeader(port, KeySought{0, true}, &found)) return AckOutcome::Timeout;
  return found == kAckAckKey ? AckOutcome::Ack : AckOutcome::Nak;
}

int ReadUbxLength(ReceiverPort port, std::uint16_t* length) {
  std::uint8_t bytes[2];
  if (!ReadExactly(port, bytes, 2)) return 0;
  const std::uint16_t value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
  if (value > kLargestAcceptedLength) return 0;
  *length = value;
  return 1;
}

int VerifyUbxChecksum(ReceiverPort port, std::uint8_t messageClass, std::uint8_t id,
                      const std::uint8_t* payload, std::uint16_t length) {
  std::uint8_t received[2];
  if (!ReadExactly(port, received, 2)) return 0;
  std::uint8_t ckA = 0;
  std::uint8_t ckB = 0;
  UbxChecksum(messageClass, id, length, payload, &ckA, &ckB);
  return ckA == received[0] && ckB == received[1] ? 1 : 0;
}

int ProcessAckNak(ReceiverPort port, std::uint8_t messageClass, std::uint8_t id,
                  int* mismatch) {
  // Printed on every wait, before anything else: the line is a trace of
  // acknowledgement waits, not a report of their outcome.
  std::printf("Vantrel::ProcessAckNak\r\n");

  const AckOutcome outcome = FindAckNak(port);
  if (outcome == AckOutcome::Timeout) return 0;
  std::uint16_t length = 0;
  if (!ReadUbxLength(port, &length)) return 0;
  if (!ReadPayload(port, AckBuffer, length)) return 0;
  const std::uint8_t ackId = outcome == AckOutcome::Ack ? kAckAckId : kAckNakId;
  if (!VerifyUbxChecksum(port, kAckClass, ackId, AckBuffer, length)) return 0;
  // An acknowledgement too short to name a message confirms nothing; judging
  // it would compare against whatever an earlier one left in AckBuffer.
  if (length < 2) return 0;

  *mismatch = AckBuffer[0] != messageClass || AckBuffer[1] != id ? 1 : 0;
  return outcome == AckOutcome::Ack ? 1 : 0;
}

int SendUbx(ReceiverPort port, std::uint8_t messageClass, std::uint8_t id,
            int payloadLength, int waitForAck) {
  if (payloadLength < 0 || payloadLength > kUbxMaxPayloadLength) return 0;
  const int frameLength = EncodeUbxFrame(messageClass, id, payloadLength);
  DWORD written = 0;
  if (!WriteFile(port, TransmitBuffer, static_cast<DWORD>(frameLength), &written, nullptr))
    return 0;
  if (written != static_cast<DWORD>(frameLength)) return 0;
  if (!waitForAck) return 1;

  int mismatch = 0;
  if (!ProcessAckNak(port, messageClass, id, &mismatch)) return 0;
  if (!mismatch) return 1;
  // The first acknowledgement was for some other message, left over from
  // earlier traffic. Wait once more and take that answer as it comes; its
  // mismatch is not examined, since callers that care (the model set)
  // confirm the outcome by polling afterwards.
  return ProcessAckNak(port, messageClass, id, &mismatch);
}

int ReadUbxResponse(ReceiverPort port, MessageKey key, std::uint16_t* payloadLength) {
  if (!FindUbxHeader(port, key)) return 0;
  std::uint16_t length = 0;
  if (!ReadUbxLength(port, &length)) return 0;
  if (!ReadPayload(port, ResponseBuffer, length)) return 0;
  if (!VerifyUbxChecksum(port, MessageKeyClass(key), MessageKeyId(key), ResponseBuffer, length))
    return 0;
  *payloadLength = length;
  return 1;
}

int WaitForNmea(ReceiverPort port) {
  int dataReads = 0;
  int idlePolls = 0;
  while (dataReads < kNmeaDataReadLimit) {
    const DWORD queued = QueuedByteCount(port);
    DWORD delivered = 0;
    if (queued != 0) {
      // More may be queued than the buffer holds; the rest stays queued for
      // the next read.
      const DWORD wanted = queued < static_cast<DWORD>(kUbxBufferSize)
                               ? queued
                               : static_cast<DWORD>(kUbxBufferSize);
      // Whatever arrived counts, whether or not the call reports success.
      ReadFile(port, ResponseBuffer, wanted, &delivered, nullptr);
      if (delivered > wanted) delivered = wanted;
    }
    if (delivered == 0) {
      // A receiver that sends nothing at all must not hold the start-up
      // forever; after the same time a hunt allows, the run goes on.
      if (++idlePolls > kNmeaIdlePollLimit) return 0;
      Sleep(kEmptyQueueSleepMs);
      continue;
    }
    if (std::memchr(ResponseBuffer, '$', delivered) != nullptr) return 1;
    ++dataReads;
  }
  return 0;
}

}  // namespace Vantrel
