#include "fuzz/fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "port/receiver_port.h"
#include "ubx/exchange.h"

namespace Vantrel {
namespace FuzzSupport {

namespace {

// Delays span a few ms (pieces of one frame) to whole hunts (25 s).
std::uint64_t DelayMs(std::uint8_t code) {
  return code < 0x80 ? code : static_cast<std::uint64_t>(code - 0x7F) * 200;
}

Sim::ReplyFaults DecodeReplyFaults(Input& input) {
  Sim::ReplyFaults faults;
  const std::uint8_t a = input.Byte();
  const std::uint8_t b = input.Byte();
  faults.nak = input.Bit(a, 0);
  faults.noAcknowledgement = input.Bit(a, 1);
  faults.noResponse = input.Bit(a, 2);
  faults.ackNamesOther = input.Bit(a, 3);
  faults.foreignAckFirst = input.Bit(a, 4);
  faults.corruptAckChecksum = input.Bit(a, 5);
  faults.corruptResponseChecksum = input.Bit(a, 6);
  faults.doubledSync = input.Bit(a, 7);
  faults.insideNmea = input.Bit(b, 0);
  if (input.Bit(b, 1)) faults.reportModel = input.Byte();
  if (input.Bit(b, 2)) faults.syncRunLength = input.Byte() % 16;
  // Lengths on both sides of what the product accepts (1023).
  if (input.Bit(b, 3)) faults.ackPayloadLength = input.Word() % 1100;
  if (input.Bit(b, 4)) faults.responsePayloadLength = input.Word() % 1100;
  if (input.Bit(b, 5)) {
    faults.pauseAfterByte = input.Byte();
    faults.pauseMs = static_cast<std::uint32_t>(DelayMs(input.Byte()));
  }
  if (input.Bit(b, 6)) {
    faults.pieceSize = input.Byte() % 16 + 1;
    faults.pieceGapMs = input.Byte();
  }
  return faults;
}

}  // namespace

std::uint8_t Input::Byte() { return at_ < size_ ? data_[at_++] : 0; }

std::uint16_t Input::Word() {
  const std::uint8_t low = Byte();
  return static_cast<std::uint16_t>(low | (Byte() << 8));
}

Bytes Input::Take(std::size_t count) {
  const std::size_t n = count < Remaining() ? count : Remaining();
  Bytes bytes(data_ + at_, data_ + at_ + n);
  at_ += n;
  return bytes;
}

void Schedule::InjectInto(Sim::ReceiverModel& receiver) const {
  for (const Piece& piece : pieces) receiver.Inject(piece.bytes, piece.atMs);
}

Bytes Schedule::AtTimeZero() const {
  Bytes atZero;
  for (const Piece& piece : pieces) {
    if (piece.atMs != 0) break;
    atZero.insert(atZero.end(), piece.bytes.begin(), piece.bytes.end());
  }
  return atZero;
}

int WholeFrameAtStart(const Bytes& bytes, std::uint8_t messageClass, std::uint8_t id) {
  if (bytes.size() < 8 || bytes[0] != kSyncChar1) return -1;
  const std::size_t length =
      static_cast<std::size_t>(bytes[4]) | (static_cast<std::size_t>(bytes[5]) << 8);
  if (length > kLargestAcceptedLength || bytes.size() < length + 8) return -1;
  const Bytes frame(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length + 8));
  const Bytes expected = Sim::BuildUbxFrame(messageClass, id, Bytes(frame.begin() + 6, frame.end() - 2));
  return frame == expected ? static_cast<int>(length) : -1;
}

namespace {

Sim::Scenario SaysNothingOfItsOwn() {
  Sim::Scenario scenario;
  scenario.silent = true;
  scenario.nmea = false;
  return scenario;
}

}  // namespace

ScriptedLine::ScriptedLine(const Schedule& schedule)
    : receiver_(SaysNothingOfItsOwn()), port_(Fake::OpenTestPort(&receiver_)) {
  schedule.InjectInto(receiver_);
}

Schedule DecodeSchedule(Input& input, std::size_t maxBytes) {
  Schedule schedule;
  std::uint64_t atMs = 0;
  while (!input.Empty() && schedule.stream.size() < maxBytes) {
    atMs += DelayMs(input.Byte());
    const std::uint8_t kind = input.Byte();
    Bytes bytes;
    if (kind < 0xC0) {
      bytes = input.Take(kind);
    } else {
      const std::uint8_t value = input.Byte();
      bytes.assign(static_cast<std::size_t>(kind - 0xBF) * 64, value);
    }
    if (bytes.empty()) continue;
    schedule.stream.insert(schedule.stream.end(), bytes.begin(), bytes.end());
    schedule.pieces.push_back(Piece{atMs, bytes});
  }
  return schedule;
}

Sim::Scenario DecodeScenario(Input& input) {
  Sim::Scenario scenario;
  const std::uint8_t flags = input.Byte();
  scenario.silent = input.Bit(flags, 0);
  scenario.nmea = !input.Bit(flags, 1);
  scenario.nmeaDollar = !input.Bit(flags, 2);
  scenario.nmeaFirstMs = static_cast<std::uint32_t>(DelayMs(input.Byte()));
  // Not faster than a sentence pair per 100 ms: a real line's rate, and it
  // keeps the model's queue small over a 25 s hunt.
  scenario.nmeaPeriodMs = 100 + static_cast<std::uint32_t>(input.Byte()) * 20;
  scenario.replyDelayMs = static_cast<std::uint32_t>(input.Byte()) * 8;
  scenario.initialModel = input.Byte() % 10;
  for (int e = 0; e < static_cast<int>(Sim::Exchange::Count); ++e) {
    if (input.Bit(flags, 3 + e)) scenario.For(static_cast<Sim::Exchange>(e)) = DecodeReplyFaults(input);
  }
  return scenario;
}

bool DecodeCallFaults(Input& input) {
  const std::uint8_t flags = input.Byte();
  bool armed = false;
  if (input.Bit(flags, 0)) {
    const std::uint16_t n = input.Word();
    Fake::FailCallNumber(n == 0 ? 1 : n, input.Bit(flags, 1));
    armed = true;
  }
  if (input.Bit(flags, 2)) {
    Fake::FailCalls(static_cast<Fake::Call>(input.Byte() % static_cast<int>(Fake::Call::Count)));
    armed = true;
  }
  if (input.Bit(flags, 3)) {
    Fake::OverstateQueuedCount(input.Byte() % 8 + 1);
    armed = true;
  }
  if (input.Bit(flags, 4)) {
    Fake::ShortenWrites(input.Byte() % 4 + 1);
    armed = true;
  }
  return armed;
}

std::size_t BytesSent(const Sim::ReceiverModel& receiver) {
  std::size_t total = 0;
  for (const Sim::SentBytes& sent : receiver.Sent()) total += sent.bytes.size();
  return total;
}

std::vector<Bytes> FramesIn(const Bytes& stream, std::uint8_t messageClass, std::uint8_t id) {
  std::vector<Bytes> frames;
  for (std::size_t p = 1; p + 4 < stream.size(); ++p) {
    if (stream[p - 1] != kSyncChar1 || stream[p] != kSyncChar2) continue;
    if (stream[p + 1] != messageClass || stream[p + 2] != id) continue;
    const std::size_t length = static_cast<std::size_t>(stream[p + 3]) |
                               (static_cast<std::size_t>(stream[p + 4]) << 8);
    if (length > kLargestAcceptedLength) continue;
    const std::size_t payloadAt = p + 5;
    if (payloadAt + length + 2 > stream.size()) continue;
    std::uint8_t ckA = 0;
    std::uint8_t ckB = 0;
    for (std::size_t i = p + 1; i < payloadAt + length; ++i) {
      ckA = static_cast<std::uint8_t>(ckA + stream[i]);
      ckB = static_cast<std::uint8_t>(ckB + ckA);
    }
    if (ckA != stream[payloadAt + length] || ckB != stream[payloadAt + length + 1]) continue;
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(payloadAt),
                        stream.begin() + static_cast<std::ptrdiff_t>(payloadAt + length));
  }
  return frames;
}

bool HasFrameWithPayload(const Bytes& stream, std::uint8_t messageClass, std::uint8_t id,
                         const std::uint8_t* payload, std::size_t length) {
  for (const Bytes& frame : FramesIn(stream, messageClass, id)) {
    if (frame.size() == length && Bytes(payload, payload + length) == frame) return true;
  }
  return false;
}

std::uint64_t HuntBoundMs(std::size_t lineBytes) {
  return static_cast<std::uint64_t>(kHuntPassCount) * (kEmptyQueueSleepMs + 2 * kReadTotalTimeoutMs) +
         static_cast<std::uint64_t>(lineBytes) * kReadTotalTimeoutMs;
}

std::uint64_t FrameWaitBoundMs(std::size_t lineBytes) {
  return HuntBoundMs(lineBytes) + 3 * kReadTotalTimeoutMs;
}

std::uint64_t NmeaWaitBoundMs() {
  return static_cast<std::uint64_t>(kNmeaIdlePollLimit + 1) * (kEmptyQueueSleepMs + kReadTotalTimeoutMs) +
         static_cast<std::uint64_t>(kNmeaDataReadLimit) * kReadTotalTimeoutMs;
}

std::uint64_t RunBoundMs(std::size_t lineBytes) {
  return NmeaWaitBoundMs() + 5 * FrameWaitBoundMs(lineBytes);
}

std::uint64_t OpenBoundMs() {
  return static_cast<std::uint64_t>(kOpenAttemptCount) * kOpenRetrySleepMs;
}

std::uint64_t PortSearchBoundMs() { return 4 * OpenBoundMs(); }


long TakeConsoleBytes() {
  std::fflush(stdout);
  const long written = std::ftell(stdout);
  // Start over each time, so the file stays small however long the run.
  std::rewind(stdout);
  if (ftruncate(fileno(stdout), 0) != 0) return written;
  return written < 0 ? 0 : written;
}

bool Tracing() {
  static const bool tracing = std::getenv("VANTREL_FUZZ_TRACE") != nullptr;
  return tracing;
}

void Trace(const char* format, ...) {
  if (!Tracing()) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void CheckNoViolations() {
  const std::vector<std::string>& violations = Fake::Violations();
  FUZZ_CHECK(violations.empty(), violations.empty() ? std::string() : violations.front());
}

void Fail(const char* file, int line, const char* condition, const std::string& note) {
  std::fprintf(stderr, "%s:%d: broken: %s%s%s (virtual time %llu ms)\n", file, line, condition,
               note.empty() ? "" : ": ", note.c_str(),
               static_cast<unsigned long long>(Fake::NowMs()));
  std::fflush(stderr);
  std::abort();
}

}  // namespace FuzzSupport
}  // namespace Vantrel

namespace {

// Takes the product's console output off the terminal, so the fuzzer's own
// reports stay readable, into an unlinked scratch file where it can still be
// measured (TakeConsoleBytes).
void SilenceStdout() {
  char path[] = "/tmp/vantrel-fuzz-console-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || std::freopen(path, "w", stdout) == nullptr) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  }
  if (fd >= 0) {
    close(fd);
    unlink(path);
  }
}

}  // namespace

// Every target links this file, so every target starts the same way.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceStdout();
  return 0;
}
