#include "sim/real_clock.h"

#include <time.h>

namespace Vantrel {
namespace Sim {

std::uint64_t Clock::NowMs() const {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start_)
                                        .count());
}

void SleepMs(long ms) {
  timespec request{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&request, nullptr);
}

}  // namespace Sim
}  // namespace Vantrel
