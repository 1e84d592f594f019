// The JSON-lines transcript of a vantrel-sim run, and how its fields are
// written. The end-to-end harness and the demo read it. The pty loop writes
// most of it, and whichever receiver is at the other end of the pty adds
// what it took in (sim/pty_peer.h), so it has a file of its own rather than
// living in the tool's main.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace Vantrel {
namespace Sim {

// Bytes as upper-case hex pairs separated by spaces ("B5 62 06 00").
std::string Hex(const std::uint8_t* data, std::size_t count);
// The text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

class Transcript {
 public:
  // No file: every event is dropped.
  explicit Transcript(FILE* file) : file_(file) {}

  // One line: the time, the event's name, then `fields` (JSON members
  // without the braces, empty for none). Flushed at once, so that a reader
  // sees it even if the tool is killed.
  void Event(std::uint64_t timeMs, const char* event, const std::string& fields);

 private:
  FILE* file_;
};

}  // namespace Sim
}  // namespace Vantrel
