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

// The members of one transcript line, in the order they are added: the one
// place where a line's names and text are written as JSON.
class Fields {
 public:
  Fields& Number(const char* name, long long value);
  Fields& Flag(const char* name, bool value);
  Fields& Text(const char* name, const std::string& value);
  // Bytes as Hex() writes them, as a string.
  Fields& Bytes(const char* name, const std::uint8_t* data, std::size_t count);
  // A value that is JSON already (an object made elsewhere).
  Fields& Json(const char* name, const std::string& json);

  // The members without braces; empty when none was added.
  const std::string& Members() const { return members_; }

 private:
  void Name(const char* name);

  std::string members_;
};

class Transcript {
 public:
  // No file: every event is dropped.
  explicit Transcript(FILE* file) : file_(file) {}

  // One line: the time, the event's name, then its fields. Flushed at
  // once, so that a reader sees it even if the tool is killed.
  void Event(std::uint64_t timeMs, const char* event, const Fields& fields = Fields());

 private:
  FILE* file_;
};

}  // namespace Sim
}  // namespace Vantrel
