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
  virtual std::string EndFields() const = 0;
};

}  // namespace Sim
}  // namespace Vantrel
