// The receiver's scenario as command-line words, for the pty tool. The
// options, and the knobs of --port, --set and --poll, are one table each in
// scenario_args.cpp: each row parses its word, names its field in the
// transcript and gives its line of --help (vantrel-sim --help lists them).
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
std::string ScenarioOptionsHelp();

}  // namespace Sim
}  // namespace Vantrel
