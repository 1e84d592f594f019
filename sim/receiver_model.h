// A simulated satellite-navigation receiver: it consumes the bytes the
// program writes and produces, with timing, what a receiver sends back: NMEA
// text at a steady rate, acknowledgements of configuration messages, and the
// answer to a CFG-NAV5 poll. Fault knobs make it misbehave in the ways a real
// line can.
//
// The model is pure: time is whatever the caller says it is (milliseconds),
// and bytes move only through Receive() and Take(). The test double drives it
// from a virtual clock; the pty tool drives it from the real one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace Vantrel {
namespace Sim {

// Which of the program's messages a set of reply faults applies to.
enum class Exchange { PortConfig, ModelSet, ModelPoll, Count };

const char* ExchangeName(Exchange exchange);

struct ReplyFaults {
  bool nak = false;                // ACK-NAK instead of ACK-ACK
  bool noAcknowledgement = false;  // the acknowledgement is never sent
  bool noResponse = false;         // a poll gets no CFG-NAV5 response
  bool ackNamesOther = false;      // the acknowledgement names CFG-MSG (06 01)
  bool foreignAckFirst = false;    // an ACK-ACK naming CFG-MSG comes first
  bool corruptAckChecksum = false;
  bool corruptResponseChecksum = false;
  int reportModel = -1;            // poll response reports this model instead
  int syncRunLength = 0;           // extra 0xB5 bytes before every frame
  bool doubledSync = false;        // B5 62 B5 62 before the class of every frame
  bool insideNmea = false;         // frames embedded in the text of a sentence
  bool syncFlood = false;          // no reply: 0xB5 without end from then on
  int ackPayloadLength = -1;       // acknowledgement payload of this length
  int responsePayloadLength = -1;  // poll response payload of this length
  int pauseAfterByte = -1;         // pause after this many bytes of the reply
  std::uint32_t pauseMs = 0;
  int pieceSize = 0;               // deliver the reply in pieces of this size
  std::uint32_t pieceGapMs = 0;    // ... this far apart
};

// The receiver's ports, as CFG-PRT numbers them: 0 I2C, 1 UART1, 2 UART2,
// 3 USB, 4 SPI.
constexpr int kUart1Port = 1;
constexpr int kUart2Port = 2;
constexpr int kUsbPort = 3;
constexpr int kPortCount = 5;
// CFG-PRT's protocol mask bits.
constexpr std::uint16_t kProtocolUbx = 0x01;
constexpr std::uint16_t kProtocolNmea = 0x02;

// One port's configuration, as CFG-PRT sets it. A baud rate means
// something on a UART only.
struct PortSettings {
  std::uint16_t inProtoMask = 0x07;   // UBX, NMEA and RTCM in
  std::uint16_t outProtoMask = 0x03;  // UBX and NMEA out
  std::uint32_t baud = 0;
};

// A CFG-PRT that took effect.
struct PortChange {
  std::uint64_t timeMs;
  int port;
  PortSettings settings;
  bool hostPort;  // the port the host talks through
};

struct Scenario {
  bool silent = false;          // sends nothing at all, answers nothing
  bool nmea = true;             // periodic NMEA text
  bool nmeaDollar = true;       // false: the text never contains '$'
  std::uint32_t nmeaFirstMs = 0;
  std::uint32_t nmeaPeriodMs = 1000;
  std::uint32_t replyDelayMs = 2;
  int initialModel = 0;
  // Which port the host reaches the receiver through: USB, or UART1 (a
  // UART behind a USB-serial bridge is UART1 too).
  int hostPort = kUsbPort;
  // The UARTs' speed at power-on. Factory settings are 9600 or 38400; the
  // default is the program's own 115200, so that a host on UART1 is
  // understood unless a scenario says otherwise.
  std::uint32_t uartBaud = 115200;
  // A CFG-PRT is acknowledged under the settings it makes, as receivers
  // do; this sends the acknowledgement first, under the old ones.
  bool ackBeforeApply = false;
  // Newer firmware: CFG-PRT and CFG-NAV5 are refused with ACK-NAK.
  bool refusesLegacy = false;
  ReplyFaults faults[static_cast<int>(Exchange::Count)];

  ReplyFaults& For(Exchange exchange) { return faults[static_cast<int>(exchange)]; }
  const ReplyFaults& For(Exchange exchange) const { return faults[static_cast<int>(exchange)]; }
};

// A well-formed UBX frame that the host put on the line.
struct ReceivedFrame {
  std::uint64_t timeMs;
  std::uint8_t messageClass;
  std::uint8_t id;
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> bytes;  // the whole frame as it came
  // False when the receiver could not take it in: UBX input is off on the
  // host's port, or the line runs at another speed than the port.
  bool understood = true;
};

struct SentBytes {
  std::uint64_t timeMs;
  std::vector<std::uint8_t> bytes;
};

// Builds a complete UBX frame with a correct checksum.
std::vector<std::uint8_t> BuildUbxFrame(std::uint8_t messageClass, std::uint8_t id,
                                        const std::vector<std::uint8_t>& payload);
// A complete NMEA sentence ("$...*hh\r\n") around the given body.
std::string BuildNmeaSentence(const std::string& body);

class ReceiverModel {
 public:
  explicit ReceiverModel(const Scenario& scenario = Scenario());

  // Bytes written by the program at nowMs.
  void Receive(const std::uint8_t* data, std::size_t count, std::uint64_t nowMs);

  // From fromMs on, the line carries nothing but 0xB5, more of it queued
  // than any read asks for, as a stuck transmitter or a faulty bridge may
  // send; it ends only at a power cycle.
  void FloodWithSync(std::uint64_t fromMs);

  // Raw bytes put on the line at atMs, as if the receiver had sent them.
  void Inject(const std::vector<std::uint8_t>& bytes, std::uint64_t atMs);
  void Inject(const std::string& text, std::uint64_t atMs);

  // Bytes that have arrived on the host side by nowMs and are not taken yet.
  std::size_t Arrived(std::uint64_t nowMs);
  // When the count-th byte not yet taken arrives, if it does by horizonMs.
  bool ArrivalTime(std::size_t count, std::uint64_t horizonMs, std::uint64_t* atMs);
  // Takes up to maxCount arrived bytes, oldest first.
  std::size_t Take(std::uint8_t* into, std::size_t maxCount, std::uint64_t nowMs);
  // Drops everything arrived by nowMs (a purge of the host's receive queue).
  void DiscardArrived(std::uint64_t nowMs);

  // The speed the host's side of the line runs at (the program sets
  // 115200); on a UART at another speed each side reads only framing errors.
  void SetHostBaud(std::uint32_t baud) { hostBaud_ = baud; }
  // Switched off and on: the settings held in RAM are gone, and what was on
  // the line with them.
  void PowerCycle(std::uint64_t nowMs);

  int Model() const { return model_; }
  const PortSettings& Port(int port) const { return ports_[port]; }
  const std::vector<PortChange>& PortChanges() const { return portChanges_; }
  const std::vector<ReceivedFrame>& Received() const { return received_; }
  const std::vector<SentBytes>& Sent() const { return sent_; }
  std::uint64_t BytesTakenByHost() const { return taken_; }
  std::uint64_t BytesReceived() const { return rawReceived_.size(); }
  const std::vector<std::uint8_t>& RawReceived() const { return rawReceived_; }
  int NmeaSentencesSent() const { return nmeaSentences_; }

 private:
  struct TimedByte {
    std::uint64_t timeMs;
    std::uint8_t value;
  };

  void GenerateNmeaUntil(std::uint64_t nowMs);
  void KeepFlooding(std::uint64_t nowMs);
  void EmitNmeaBurst(std::uint64_t atMs);
  void Emit(const std::vector<std::uint8_t>& bytes, std::uint64_t atMs);
  void ParseIncoming(std::uint8_t byte, std::uint64_t nowMs);
  void Answer(const ReceivedFrame& frame);
  void SendReply(const ReplyFaults& faults, std::vector<std::vector<std::uint8_t>> frames,
                 std::uint64_t atMs);
  std::vector<std::uint8_t> Acknowledgement(const ReplyFaults& faults, std::uint8_t messageClass,
                                            std::uint8_t id) const;
  std::vector<std::uint8_t> PollResponse(const ReplyFaults& faults) const;
  void ApplyPortConfig(const std::vector<std::uint8_t>& payload, std::uint64_t atMs);
  void PowerOnSettings();
  bool HostReads() const;
  bool HostPortOutputs(std::uint16_t protocol) const;

  Scenario scenario_;
  int model_;
  PortSettings ports_[kPortCount];
  std::uint32_t hostBaud_ = 115200;
  std::vector<PortChange> portChanges_;
  std::deque<TimedByte> line_;
  std::uint64_t lastEmitMs_ = 0;
  std::uint64_t nextNmeaMs_;
  std::uint64_t taken_ = 0;
  bool flooding_ = false;
  std::uint64_t floodFromMs_ = 0;
  int nmeaSentences_ = 0;

  std::vector<std::uint8_t> incoming_;  // a frame being assembled
  std::vector<std::uint8_t> rawReceived_;
  std::vector<ReceivedFrame> received_;
  std::vector<SentBytes> sent_;
};

}  // namespace Sim
}  // namespace Vantrel
