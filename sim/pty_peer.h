// What is at the other end of vantrel-sim's pty: the simulated receiver, or
// a real one on a serial device (sim/relay.h). The pty loop sees the line
// the program set up and nothing more; whichever receiver answers is behind
// this interface, so that a run against the real one is logged the same way
// as a run against the model.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/transcript.h"

namespace Vantrel {
namespace Sim {

class Peer {
 public:
  virtual ~Peer() = default;
  virtual void FromProgram(const std::uint8_t* data, std::size_t count, std::uint64_t nowMs) = 0;
  // What the receiver has sent by nowMs and the program has not had yet.
  virtual std::vector<std::uint8_t> ForProgram(std::uint64_t nowMs) = 0;
  // The speed the program set its side of the line to.
  virtual void HostSpeed(speed_t speed) = 0;
  virtual void PowerCycle(std::uint64_t nowMs) = 0;
  // Logs what the receiver took in or changed since the last call.
  virtual void LogNews(Transcript* log) = 0;
  // The receiver's side of the run's end event.
  virtual void AddEndFields(Fields* fields) const = 0;
};

// The baud rate a termios speed stands for: 0 for B0, -1 for one not listed.
inline long BaudOf(speed_t speed) {
  switch (speed) {
    case B0: return 0;
    case B300: return 300;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return -1;
  }
}

}  // namespace Sim
}  // namespace Vantrel
