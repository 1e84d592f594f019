#include "run/program.h"

#include "port/receiver_port.h"
#include "run/settings.h"

namespace Vantrel {

RunResult RunProgram() {
  const ReceiverPort port = OpenReceiverPort();
  if (port == INVALID_HANDLE_VALUE) return kRunNoPort;
  // Read only once a port is open: without a receiver there is nothing to
  // steer, and a missing port is reported as quickly as possible.
  DWORD disable = 0;
  DWORD model = 0;
  ReadSettings(&disable, &model);
  const RunResult result = RunConfiguration(port, disable, model);
  CloseHandle(port);
  return result;
}

}  // namespace Vantrel
