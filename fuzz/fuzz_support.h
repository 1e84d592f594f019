// What the fuzz targets share: reading the fuzzer's bytes as a description
// of a world (a schedule of line traffic, a registry, devices, receiver
// faults), the virtual-time bounds every operation must keep, and checks
// that abort so that libFuzzer reports a broken promise as a crash.
//
// Only the product, the test double and the receiver model are linked; no
// test framework.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "double/fake_windows.h"
#include "sim/receiver_model.h"

namespace Vantrel {
namespace FuzzSupport {

typedef std::vector<std::uint8_t> Bytes;

// A cursor over the fuzzer's input. Past the end every read yields zeros,
// so any input, however short, describes a complete world.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  std::size_t Remaining() const { return at_ < size_ ? size_ - at_ : 0; }
  std::uint8_t Byte();
  std::uint16_t Word();
  bool Bit(std::uint8_t flags, int bit) const { return ((flags >> bit) & 1) != 0; }
  // Up to count bytes (fewer at the end of the input).
  Bytes Take(std::size_t count);

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Line traffic: pieces of bytes, each put on the line a fuzzer-chosen delay
// after the one before. Encoded as repeated (delay, kind, ...):
//   delay < 0x80: that many ms; otherwise (delay - 0x7F) * 200 ms (to 25.6 s)
//   kind < 0xC0: `kind` literal bytes follow
//   kind >= 0xC0: one byte follows, repeated (kind - 0xBF) * 64 times
// so that runs of sync chars and payloads near the 1023/1024 limit are cheap
// to express.
struct Piece {
  std::uint64_t atMs;
  Bytes bytes;
};

struct Schedule {
  std::vector<Piece> pieces;
  Bytes stream;  // every piece, in line order

  void InjectInto(Sim::ReceiverModel& receiver) const;
  // What is on the line at time 0, before anything can wait for more.
  Bytes AtTimeZero() const;
};

// The payload length of a well-formed frame of (messageClass, id), of a
// length the program accepts, at the very start of `bytes`; -1 if none.
int WholeFrameAtStart(const Bytes& bytes, std::uint8_t messageClass, std::uint8_t id);

Schedule DecodeSchedule(Input& input, std::size_t maxBytes = 64 * 1024);

// A receiver that says nothing of its own, on an open test port, carrying
// exactly the schedule's traffic. The traffic goes on the line after the
// open, since opening empties the driver's queue.
class ScriptedLine {
 public:
  explicit ScriptedLine(const Schedule& schedule);
  ScriptedLine(const ScriptedLine&) = delete;
  ScriptedLine& operator=(const ScriptedLine&) = delete;

  Sim::ReceiverModel& receiver() { return receiver_; }
  HANDLE port() const { return port_; }

 private:
  Sim::ReceiverModel receiver_;
  HANDLE port_;
};

// Receiver behaviour: the model's own NMEA and its answers, with fault knobs.
Sim::Scenario DecodeScenario(Input& input);

// Failures of the Windows calls themselves (the double's fault injection).
// Returns true when any fault was armed.
bool DecodeCallFaults(Input& input);

// Total bytes a receiver put on the line (its own and injected).
std::size_t BytesSent(const Sim::ReceiverModel& receiver);

// Every frame (B5 62 class id length payload checksum, length at most 1023,
// checksum right) contained anywhere in the stream, as payloads.
std::vector<Bytes> FramesIn(const Bytes& stream, std::uint8_t messageClass, std::uint8_t id);
bool HasFrameWithPayload(const Bytes& stream, std::uint8_t messageClass, std::uint8_t id,
                         const std::uint8_t* payload, std::size_t length);

// Virtual-time bounds, from the product's own constants.
// A header hunt with `lineBytes` bytes on the line in all: every pass either
// sleeps once or ends on at most two empty reads, and every other read
// takes a byte off the line; each read costs at most the read timeout.
std::uint64_t HuntBoundMs(std::size_t lineBytes);
// A hunt followed by the length, payload and checksum reads.
std::uint64_t FrameWaitBoundMs(std::size_t lineBytes);
// The NMEA wait: its idle polls and data-bearing reads.
std::uint64_t NmeaWaitBoundMs();
// The whole configuration sequence: the NMEA wait and five frame waits.
std::uint64_t RunBoundMs(std::size_t lineBytes);
// Opening one device, with every retry.
std::uint64_t OpenBoundMs();
// The port search: three candidates and the fallback.
std::uint64_t PortSearchBoundMs();

// Bytes the product has printed since the last call. The shared
// LLVMFuzzerInitialize has moved the console into a scratch file.
long TakeConsoleBytes();
// The line printed on every acknowledgement wait.
constexpr long kAckLineBytes = sizeof("Vantrel::ProcessAckNak\r\n") - 1;

// With VANTREL_FUZZ_TRACE set, prints what a run did to standard error:
// for reading a reproducer, or checking that a seed means what it should.
bool Tracing();
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Aborts with a message when the double recorded misuse.
void CheckNoViolations();

[[noreturn]] void Fail(const char* file, int line, const char* condition, const std::string& note);

}  // namespace FuzzSupport
}  // namespace Vantrel

#define FUZZ_CHECK(condition, note)                                                    \
  do {                                                                                 \
    if (!(condition)) ::Vantrel::FuzzSupport::Fail(__FILE__, __LINE__, #condition, note); \
  } while (0)
