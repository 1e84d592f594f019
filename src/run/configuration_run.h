// The configuration sequence: wait for the receiver to talk, set its port 1
// to 115200 8N1, set the dynamic platform model and read it back.
#pragma once

#include "port/receiver_port.h"

namespace Vantrel {

// The process exit code. The codes add up: the port result (0 acknowledged,
// 1 not), plus 4 for a confirmed model mismatch, or plus 6 when the model
// stage is disabled. 2 is the program entry's "no port".
typedef int RunResult;

constexpr RunResult kRunPortAcknowledged = 0;
constexpr RunResult kRunPortNotAcknowledged = 1;
constexpr RunResult kRunNoPort = 2;
constexpr RunResult kRunModelMismatch = 4;
constexpr RunResult kRunModelStageDisabled = 6;

// Model codes the receiver's dynModel field accepts; anything else becomes
// kPortableModel.
constexpr DWORD kPortableModel = 0;
DWORD SanitiseModel(DWORD model);

// disable and model are the settings as stored; returns the RunResult
// (never kRunNoPort). Does not close the port.
RunResult RunConfiguration(ReceiverPort port, DWORD disable, DWORD model);

// 0 when the receiver acknowledged the port configuration, 1 otherwise.
int ConfigurePort(ReceiverPort port);
// 1 when the model set was written and acknowledged.
int SetDynamicModel(ReceiverPort port, DWORD model);
// 1 when a valid CFG-NAV5 response was read; *readBack gets its model byte.
int PollDynamicModel(ReceiverPort port, int* readBack);

}  // namespace Vantrel
