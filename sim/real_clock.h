// Real time for the pty tool. The receiver model's time is whatever its
// caller says; on a real pty the caller is the wall clock, and the pty loop
// and the relay to a real receiver both wait on it.
#pragma once

#include <chrono>
#include <cstdint>

namespace Vantrel {
namespace Sim {

// Milliseconds since the clock was made, on a clock that never goes back.
class Clock {
 public:
  Clock() : start_(std::chrono::steady_clock::now()) {}
  std::uint64_t NowMs() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

void SleepMs(long ms);

}  // namespace Sim
}  // namespace Vantrel
