// vantrel-sim's usual peer: the simulated receiver (sim/receiver_model.h)
// at the other end of the pty, driven from the real clock. Beside it is
// the relay to a real receiver (sim/relay.h); the pty loop takes either.
#pragma once

#include <memory>

#include "sim/pty_peer.h"
#include "sim/receiver_model.h"

namespace Vantrel {
namespace Sim {

std::unique_ptr<Peer> MakeModelPeer(const Scenario& scenario);

}  // namespace Sim
}  // namespace Vantrel
