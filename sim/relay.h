// vantrel-sim --relay: a real receiver on a serial device in the simulated
// one's place. The program still talks to a pty and the transcript still
// shows both directions, so that the demo can be run against a receiver on
// the desk (./vantrel demo --device) and told the same way. It lives beside
// the simulator, not in it: nothing here knows the receiver model.
#pragma once

#include <memory>
#include <string>

#include "sim/pty_peer.h"

namespace Vantrel {
namespace Sim {

// Opens the serial device at `path`, raw, as the pty's peer; null with
// *error set (without the tool's name) when it cannot.
std::unique_ptr<Peer> OpenRelay(const std::string& path, std::string* error);

}  // namespace Sim
}  // namespace Vantrel
