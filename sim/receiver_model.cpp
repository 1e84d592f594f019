#include "sim/receiver_model.h"

#include <algorithm>
#include <cstdio>

namespace Vantrel {
namespace Sim {

namespace {

constexpr std::uint8_t kSync1 = 0xB5;
constexpr std::uint8_t kSync2 = 0x62;
constexpr std::uint8_t kAckClass = 0x05;
constexpr std::uint8_t kCfgClass = 0x06;
constexpr std::uint8_t kCfgPrtId = 0x00;
constexpr std::uint8_t kCfgMsgId = 0x01;
constexpr std::uint8_t kCfgNav5Id = 0x24;
constexpr std::size_t kNav5PayloadLength = 36;
constexpr std::size_t kPrtPayloadLength = 20;
// What a host at one speed reads of a UART at another: bytes with framing
// errors, never a '$' or a sync character.
constexpr std::uint8_t kFramingErrorBytes[] = {0x00, 0xE0, 0xFC, 0x1C, 0xF0, 0x80};
// Frames longer than this are line noise to the receiver, not messages.
constexpr std::size_t kLargestIncomingPayload = 2048;
// What a flooding line keeps queued: more than any single read asks for.
constexpr std::size_t kFloodBacklog = 4096;

}  // namespace

const char* ExchangeName(Exchange exchange) {
  switch (exchange) {
    case Exchange::PortConfig: return "CFG-PRT";
    case Exchange::ModelSet: return "CFG-NAV5 set";
    case Exchange::ModelPoll: return "CFG-NAV5 poll";
    case Exchange::Count: break;
  }
  return "?";
}

std::vector<std::uint8_t> BuildUbxFrame(std::uint8_t messageClass, std::uint8_t id,
                                        const std::vector<std::uint8_t>& payload) {
  // Sized once and filled in place: growing a six-byte header by the
  // payload sends GCC 12's optimiser down vector's reallocation path, where
  // it reports a bounds fault that cannot happen.
  constexpr std::size_t kHeaderSize = 6;
  constexpr std::size_t kChecksumSize = 2;
  std::vector<std::uint8_t> frame(kHeaderSize + payload.size() + kChecksumSize);
  frame[0] = kSync1;
  frame[1] = kSync2;
  frame[2] = messageClass;
  frame[3] = id;
  frame[4] = static_cast<std::uint8_t>(payload.size() & 0xFF);
  frame[5] = static_cast<std::uint8_t>((payload.size() >> 8) & 0xFF);
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
  std::uint8_t ckA = 0;
  std::uint8_t ckB = 0;
  for (std::size_t i = 2; i < kHeaderSize + payload.size(); ++i) {
    ckA = static_cast<std::uint8_t>(ckA + frame[i]);
    ckB = static_cast<std::uint8_t>(ckB + ckA);
  }
  frame[frame.size() - 2] = ckA;
  frame[frame.size() - 1] = ckB;
  return frame;
}

std::string BuildNmeaSentence(const std::string& body) {
  std::uint8_t checksum = 0;
  for (char c : body) checksum = static_cast<std::uint8_t>(checksum ^ static_cast<std::uint8_t>(c));
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", checksum);
  return "$" + body + tail;
}

ReceiverModel::ReceiverModel(const Scenario& scenario)
    : scenario_(scenario), model_(scenario.initialModel), nextNmeaMs_(scenario.nmeaFirstMs) {
  PowerOnSettings();
}

void ReceiverModel::PowerOnSettings() {
  for (PortSettings& port : ports_) port = PortSettings();
  ports_[kUart1Port].baud = scenario_.uartBaud;
  ports_[kUart2Port].baud = scenario_.uartBaud;
}

void ReceiverModel::PowerCycle(std::uint64_t nowMs) {
  PowerOnSettings();
  model_ = scenario_.initialModel;
  flooding_ = false;
  incoming_.clear();
  line_.clear();
  lastEmitMs_ = nowMs;
  nextNmeaMs_ = nowMs + scenario_.nmeaFirstMs;
}

bool ReceiverModel::HostReads() const {
  const bool uart = scenario_.hostPort == kUart1Port || scenario_.hostPort == kUart2Port;
  return !uart || ports_[scenario_.hostPort].baud == hostBaud_;
}

bool ReceiverModel::HostPortOutputs(std::uint16_t protocol) const {
  return (ports_[scenario_.hostPort].outProtoMask & protocol) != 0;
}

void ReceiverModel::Receive(const std::uint8_t* data, std::size_t count, std::uint64_t nowMs) {
  for (std::size_t i = 0; i < count; ++i) {
    rawReceived_.push_back(data[i]);
    ParseIncoming(data[i], nowMs);
  }
}

void ReceiverModel::Inject(const std::vector<std::uint8_t>& bytes, std::uint64_t atMs) {
  GenerateNmeaUntil(atMs);
  Emit(bytes, atMs);
}

void ReceiverModel::Inject(const std::string& text, std::uint64_t atMs) {
  Inject(std::vector<std::uint8_t>(text.begin(), text.end()), atMs);
}

void ReceiverModel::FloodWithSync(std::uint64_t fromMs) {
  GenerateNmeaUntil(fromMs);
  flooding_ = true;
  floodFromMs_ = fromMs;
}

std::size_t ReceiverModel::Arrived(std::uint64_t nowMs) {
  GenerateNmeaUntil(nowMs);
  const auto end = std::partition_point(line_.begin(), line_.end(),
                                        [nowMs](const TimedByte& b) { return b.timeMs <= nowMs; });
  return static_cast<std::size_t>(end - line_.begin());
}

bool ReceiverModel::ArrivalTime(std::size_t count, std::uint64_t horizonMs, std::uint64_t* atMs) {
  if (count == 0) return false;
  GenerateNmeaUntil(horizonMs);
  if (line_.size() < count || line_[count - 1].timeMs > horizonMs) return false;
  *atMs = line_[count - 1].timeMs;
  return true;
}

std::size_t ReceiverModel::Take(std::uint8_t* into, std::size_t maxCount, std::uint64_t nowMs) {
  const std::size_t count = std::min(maxCount, Arrived(nowMs));
  for (std::size_t i = 0; i < count; ++i) {
    into[i] = line_.front().value;
    line_.pop_front();
  }
  taken_ += count;
  return count;
}

void ReceiverModel::DiscardArrived(std::uint64_t nowMs) {
  // Counting may first put due text on the line, so count before taking
  // iterators into it.
  const std::size_t arrived = Arrived(nowMs);
  line_.erase(line_.begin(), line_.begin() + static_cast<std::ptrdiff_t>(arrived));
}

void ReceiverModel::GenerateNmeaUntil(std::uint64_t nowMs) {
  if (flooding_) {
    KeepFlooding(nowMs);
    return;
  }
  if (scenario_.silent || !scenario_.nmea || scenario_.nmeaPeriodMs == 0) return;
  while (nextNmeaMs_ <= nowMs) {
    EmitNmeaBurst(nextNmeaMs_);
    nextNmeaMs_ += scenario_.nmeaPeriodMs;
  }
}

void ReceiverModel::KeepFlooding(std::uint64_t nowMs) {
  // Nothing but the flood goes on the line once it has begun, so the line
  // holds the backlog at nowMs, as a read then sees it.
  if (nowMs < floodFromMs_ || line_.size() >= kFloodBacklog) return;
  Emit(std::vector<std::uint8_t>(kFloodBacklog - line_.size(), kSync1), nowMs);
}

void ReceiverModel::EmitNmeaBurst(std::uint64_t atMs) {
  if (!HostPortOutputs(kProtocolNmea)) return;
  const unsigned seconds = static_cast<unsigned>(atMs / 1000);
  char time[16];
  std::snprintf(time, sizeof time, "%02u%02u%02u.%02u", (8 + seconds / 3600) % 24,
                (seconds / 60) % 60, seconds % 60, static_cast<unsigned>(atMs % 1000 / 10));
  const std::string bodies[] = {
      std::string("GPGGA,") + time + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
      std::string("GPRMC,") + time + ",A,4807.038,N,01131.000,E,0.0,0.0,081226,,,A",
  };
  std::string text;
  for (const std::string& body : bodies) {
    std::string sentence = BuildNmeaSentence(body);
    if (!scenario_.nmeaDollar) sentence.erase(0, 1);
    text += sentence;
    ++nmeaSentences_;
  }
  Emit(std::vector<std::uint8_t>(text.begin(), text.end()), atMs);
}

void ReceiverModel::Emit(const std::vector<std::uint8_t>& bytes, std::uint64_t atMs) {
  if (bytes.empty()) return;
  // The line is a single stream: nothing overtakes what is already on it.
  const std::uint64_t timeMs = std::max(atMs, lastEmitMs_);
  const bool readable = HostReads();
  for (std::uint8_t b : bytes) {
    line_.push_back(TimedByte{timeMs, readable ? b : kFramingErrorBytes[b % sizeof kFramingErrorBytes]});
  }
  lastEmitMs_ = timeMs;
  if (!sent_.empty() && sent_.back().timeMs == timeMs) {
    sent_.back().bytes.insert(sent_.back().bytes.end(), bytes.begin(), bytes.end());
  } else {
    sent_.push_back(SentBytes{timeMs, bytes});
  }
}

void ReceiverModel::ParseIncoming(std::uint8_t byte, std::uint64_t nowMs) {
  incoming_.push_back(byte);
  if (incoming_.size() == 1 && byte != kSync1) {
    incoming_.clear();
    return;
  }
  if (incoming_.size() == 2 && byte != kSync2) {
    incoming_.clear();
    if (byte == kSync1) incoming_.push_back(byte);
    return;
  }
  if (incoming_.size() < 6) return;
  const std::size_t length =
      static_cast<std::size_t>(incoming_[4]) | (static_cast<std::size_t>(incoming_[5]) << 8);
  if (length > kLargestIncomingPayload) {
    incoming_.clear();
    return;
  }
  if (incoming_.size() < length + 8) return;

  const std::vector<std::uint8_t> payload(incoming_.begin() + 6, incoming_.begin() + 6 + static_cast<std::ptrdiff_t>(length));
  const std::vector<std::uint8_t> expected = BuildUbxFrame(incoming_[2], incoming_[3], payload);
  const bool intact = expected == incoming_;
  // UBX input switched off on the host's port, or a line at another
  // speed, and the receiver takes in nothing the host says.
  const bool understood =
      HostReads() && (ports_[scenario_.hostPort].inProtoMask & kProtocolUbx) != 0;
  ReceivedFrame frame{nowMs, incoming_[2], incoming_[3], payload, incoming_, understood};
  incoming_.clear();
  // A frame with a bad checksum is dropped without an answer.
  if (!intact) return;
  received_.push_back(frame);
  if (!scenario_.silent && understood) Answer(received_.back());
}

void ReceiverModel::ApplyPortConfig(const std::vector<std::uint8_t>& payload, std::uint64_t atMs) {
  const int port = payload[0];
  if (port >= kPortCount) return;
  PortSettings& settings = ports_[port];
  settings.inProtoMask = static_cast<std::uint16_t>(payload[12] | payload[13] << 8);
  settings.outProtoMask = static_cast<std::uint16_t>(payload[14] | payload[15] << 8);
  if (port == kUart1Port || port == kUart2Port) {
    settings.baud = static_cast<std::uint32_t>(payload[8]) | static_cast<std::uint32_t>(payload[9]) << 8 |
                    static_cast<std::uint32_t>(payload[10]) << 16 |
                    static_cast<std::uint32_t>(payload[11]) << 24;
  }
  portChanges_.push_back(PortChange{atMs, port, settings, port == scenario_.hostPort});
}

void ReceiverModel::Answer(const ReceivedFrame& frame) {
  const std::uint64_t replyAt = frame.timeMs + scenario_.replyDelayMs;
  const bool isCfgPrt = frame.messageClass == kCfgClass && frame.id == kCfgPrtId;
  const bool isNav5 = frame.messageClass == kCfgClass && frame.id == kCfgNav5Id;

  if (scenario_.refusesLegacy && (isCfgPrt || isNav5)) {
    ReplyFaults refused;
    refused.nak = true;
    SendReply(refused, {Acknowledgement(refused, frame.messageClass, frame.id)}, replyAt);
    return;
  }

  if (isCfgPrt && frame.payload.size() == kPrtPayloadLength) {
    const ReplyFaults& faults = scenario_.For(Exchange::PortConfig);
    std::vector<std::vector<std::uint8_t>> frames;
    if (!faults.noAcknowledgement) frames.push_back(Acknowledgement(faults, frame.messageClass, frame.id));
    // What was due before the change goes out under the old settings.
    GenerateNmeaUntil(replyAt);
    if (faults.nak) {
      SendReply(faults, frames, replyAt);
    } else if (scenario_.ackBeforeApply) {
      SendReply(faults, frames, replyAt);
      ApplyPortConfig(frame.payload, replyAt);
    } else {
      ApplyPortConfig(frame.payload, replyAt);
      SendReply(faults, frames, replyAt);
    }
    return;
  }

  if (isNav5 && frame.payload.empty()) {
    const ReplyFaults& faults = scenario_.For(Exchange::ModelPoll);
    std::vector<std::vector<std::uint8_t>> frames;
    if (!faults.noResponse) frames.push_back(PollResponse(faults));
    if (!faults.noAcknowledgement) frames.push_back(Acknowledgement(faults, kCfgClass, kCfgNav5Id));
    SendReply(faults, frames, replyAt);
    return;
  }

  if (isCfgPrt || (isNav5 && frame.payload.size() == kNav5PayloadLength)) {
    const ReplyFaults& faults = scenario_.For(isCfgPrt ? Exchange::PortConfig : Exchange::ModelSet);
    if (isNav5 && !faults.nak && (frame.payload[0] & 0x01) != 0) model_ = frame.payload[2];
    std::vector<std::vector<std::uint8_t>> frames;
    if (!faults.noAcknowledgement) frames.push_back(Acknowledgement(faults, frame.messageClass, frame.id));
    SendReply(faults, frames, replyAt);
    return;
  }

  // Anything else is refused, as a receiver refuses a message it cannot apply.
  ReplyFaults plain;
  plain.nak = true;
  SendReply(plain, {Acknowledgement(plain, frame.messageClass, frame.id)}, replyAt);
}

void ReceiverModel::SendReply(const ReplyFaults& faults,
                              std::vector<std::vector<std::uint8_t>> frames, std::uint64_t atMs) {
  // A line stuck sending 0xB5 carries no answer, now or later.
  if (faults.syncFlood) FloodWithSync(atMs);
  if (flooding_) return;
  if (faults.foreignAckFirst) {
    ReplyFaults plain;
    frames.insert(frames.begin(), Acknowledgement(plain, kCfgClass, kCfgMsgId));
  }
  if (!HostPortOutputs(kProtocolUbx)) return;
  std::vector<std::uint8_t> reply;
  for (std::vector<std::uint8_t>& frame : frames) {
    if (faults.doubledSync) frame.insert(frame.begin() + 2, {kSync1, kSync2});
    frame.insert(frame.begin(), static_cast<std::size_t>(faults.syncRunLength), kSync1);
    reply.insert(reply.end(), frame.begin(), frame.end());
  }
  if (reply.empty()) return;
  if (faults.insideNmea) {
    const std::string head = "$GPTXT,01,01,02,ANTENNA ";
    const std::string tail = "OK*3F\r\n";
    reply.insert(reply.begin(), head.begin(), head.end());
    reply.insert(reply.end(), tail.begin(), tail.end());
  }

  GenerateNmeaUntil(atMs);
  for (std::size_t i = 0; i < reply.size(); ++i) {
    std::uint64_t offset = 0;
    if (faults.pieceSize > 0) offset += (i / static_cast<std::size_t>(faults.pieceSize)) * faults.pieceGapMs;
    if (faults.pauseAfterByte >= 0 && i >= static_cast<std::size_t>(faults.pauseAfterByte)) offset += faults.pauseMs;
    Emit({reply[i]}, atMs + offset);
  }
}

std::vector<std::uint8_t> ReceiverModel::Acknowledgement(const ReplyFaults& faults,
                                                         std::uint8_t messageClass,
                                                         std::uint8_t id) const {
  std::vector<std::uint8_t> payload = {messageClass, id};
  if (faults.ackNamesOther) payload = {kCfgClass, kCfgMsgId};
  if (faults.ackPayloadLength >= 0) payload.resize(static_cast<std::size_t>(faults.ackPayloadLength));
  std::vector<std::uint8_t> frame = BuildUbxFrame(kAckClass, faults.nak ? 0x00 : 0x01, payload);
  if (faults.corruptAckChecksum) frame.back() ^= 0xFF;
  return frame;
}

std::vector<std::uint8_t> ReceiverModel::PollResponse(const ReplyFaults& faults) const {
  std::vector<std::uint8_t> payload(kNav5PayloadLength, 0);
  payload[0] = 0xFF;  // every parameter group reported
  payload[1] = 0xFF;
  payload[2] = static_cast<std::uint8_t>(faults.reportModel >= 0 ? faults.reportModel : model_);
  payload[3] = 3;  // fix mode: auto 2D/3D
  if (faults.responsePayloadLength >= 0) payload.resize(static_cast<std::size_t>(faults.responsePayloadLength));
  std::vector<std::uint8_t> frame = BuildUbxFrame(kCfgClass, kCfgNav5Id, payload);
  if (faults.corruptResponseChecksum) frame.back() ^= 0xFF;
  return frame;
}

}  // namespace Sim
}  // namespace Vantrel
