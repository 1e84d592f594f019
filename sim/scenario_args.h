// The receiver's scenario as command-line words, for the pty tool:
//
//   --silent  --no-nmea  --no-dollar  --nmea-first-ms N  --nmea-period-ms N
//   --reply-delay-ms N  --initial-model N  --host-port usb|uart1
//   --uart-baud N  --ack-before-apply  --refuse-legacy
//   --port KNOB[=V]  --set KNOB[=V]  --poll KNOB[=V]   (reply faults of the
//       CFG-PRT, the CFG-NAV5 set and the CFG-NAV5 poll)
//
// Reply fault knobs: nak, no-ack, no-response, ack-names-other,
// foreign-ack-first, corrupt-ack-checksum, corrupt-response-checksum,
// report-model=N, sync-run=N, doubled-sync, inside-nmea, sync-flood,
// ack-payload-length=N, response-payload-length=N, pause-after-byte=N,
// pause-ms=N, piece-size=N, piece-gap-ms=N.
#pragma once

#include <string>

#include "sim/receiver_model.h"

namespace Vantrel {
namespace Sim {

// Applies one scenario option. `name` is the option ("--port"), `value` its
// argument when TakesValue(name) (else ignored). Returns false with *error
// set when the option or its value is not understood.
bool ApplyScenarioOption(Scenario* scenario, const std::string& name, const std::string& value,
                         std::string* error);
// True for scenario options, whether they take a value or not.
bool IsScenarioOption(const std::string& name);
bool ScenarioOptionTakesValue(const std::string& name);

// The scenario as one JSON object, for transcripts.
std::string ScenarioJson(const Scenario& scenario);

// The help text for the scenario options.
const char* ScenarioOptionsHelp();

}  // namespace Sim
}  // namespace Vantrel
