// Moving UBX frames over the receiver's line: writing a frame, hunting the
// incoming stream for an expected header past NMEA text, reading and checking
// bodies, acknowledgements and responses, and the wait for NMEA traffic.
//
// Every read is bounded by the port's 1 ms total read timeout and every wait
// is a 50 ms sleep on an empty queue, so each operation here ends within a
// fixed number of passes, whatever the receiver sends or fails to send.
#pragma once

#include <cstdint>

#include "port/receiver_port.h"
#include "ubx/frame.h"

namespace Vantrel {

// Payloads of acknowledgements and of response frames. WaitForNmea also reads
// into ResponseBuffer. Their contents persist from one call to the next.
extern std::uint8_t AckBuffer[kUbxBufferSize];
extern std::uint8_t ResponseBuffer[kUbxBufferSize];

enum class AckOutcome : int { Ack = 0, Nak = 1, Timeout = 2 };

// Passes a hunt makes before it gives up: about 25 s on a silent line.
constexpr int kHuntPassCount = 501;
// The longest run of sync char 1 that real traffic can hold: a frame whose
// class, id, length, largest payload (65,535 bytes) and checksum are all
// 0xB5, and the first sync char of the next frame. A longer run is no
// traffic but a line stuck sending 0xB5, and ends the hunt: at 115200 baud
// one run that long takes about 5.7 s.
constexpr DWORD kLongestRealSyncRun = 4 + 65535 + 2 + 1;
constexpr DWORD kEmptyQueueSleepMs = 50;
// Largest length field accepted. The buffers hold one byte more, but a
// length of 1024 has always been refused, and receivers may rely on neither.
constexpr std::uint16_t kLargestAcceptedLength = 1023;
// Data-bearing reads without a '$' after which the NMEA wait gives up.
constexpr int kNmeaDataReadLimit = 80;
// Empty polls after which the NMEA wait gives up: as long as a silent hunt.
constexpr int kNmeaIdlePollLimit = kHuntPassCount;

// Completes the frame in TransmitBuffer (payload already in place), writes
// it in one call and, when waitForAck is nonzero, awaits its acknowledgement.
// An acknowledgement naming another message earns one more wait.
int SendUbx(ReceiverPort port, std::uint8_t messageClass, std::uint8_t id,
            int payloadLength, int waitForAck);

int FindUbxHeader(ReceiverPort port, MessageKey key);
AckOutcome FindAckNak(ReceiverPort port);
int ReadUbxLength(ReceiverPort port, std::uint16_t* length);
int VerifyUbxChecksum(ReceiverPort port, std::uint8_t messageClass, std::uint8_t id,
                      const std::uint8_t* payload, std::uint16_t length);

// Prints the acknowledgement line, then awaits one acknowledgement. Returns
// 1 only for a well-formed ACK-ACK; sets *mismatch when the acknowledgement
// names a message other than (messageClass, id).
int ProcessAckNak(ReceiverPort port, std::uint8_t messageClass, std::uint8_t id,
                  int* mismatch);

// Awaits one frame with the given key and reads its payload into
// ResponseBuffer; *payloadLength receives the payload's length on success.
int ReadUbxResponse(ReceiverPort port, MessageKey key, std::uint16_t* payloadLength);

// 1 once a '$' is seen on the line; 0 after 80 reads of data without one, or
// when the receiver stays silent for the idle bound.
int WaitForNmea(ReceiverPort port);

}  // namespace Vantrel
