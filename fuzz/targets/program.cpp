// The whole program, RunProgram, on a fuzzed machine: registry keys and
// values, devices (missing, late, refusing, failing their set-up) with
// receivers of fuzzed behaviour, failing Windows calls, and arbitrary extra
// line traffic on every receiver.
//
// Input: scenario, machine, call faults, schedule.
#include <cstdint>

#include "fuzz/fuzz_registry.h"
#include "run/program.h"

using namespace Vantrel;
using namespace Vantrel::FuzzSupport;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  Fake::Reset();
  TakeConsoleBytes();
  const Sim::Scenario scenario = DecodeScenario(input);
  const Machine machine = DecodeMachine(input, true, scenario);
  machine.Install();
  const bool faults = DecodeCallFaults(input);
  const Schedule schedule = DecodeSchedule(input, 16 * 1024);
  for (const auto& receiver : machine.receivers) schedule.InjectInto(*receiver);

  const RunResult result = RunProgram();
  const std::uint64_t elapsed = Fake::NowMs();
  Trace("RunProgram = %d, %llu ms, %zu open attempts, %zu writes\n", result, static_cast<unsigned long long>(elapsed),
        Fake::OpenAttempts().size(), Fake::Writes().size());

  FUZZ_CHECK(result == 0 || result == 1 || result == 2 || result == 4 || result == 5 || result == 6 ||
                 result == 7,
             "exit code " + std::to_string(result));
  FUZZ_CHECK(Fake::OpenKeyCount() == 0, "a registry key left open");
  FUZZ_CHECK(Fake::OpenHandleCount() == 0, "a handle left open");
  std::uint64_t opened = 0;
  for (const Fake::OpenAttempt& attempt : Fake::OpenAttempts()) opened += attempt.opened ? 1 : 0;
  FUZZ_CHECK(Fake::HandlesClosed() == opened, "handles opened and closed differ");
  std::size_t lineBytes = 0;
  for (const auto& receiver : machine.receivers) lineBytes += BytesSent(*receiver);
  FUZZ_CHECK(elapsed <= PortSearchBoundMs() + RunBoundMs(lineBytes), std::to_string(elapsed) + " ms");
  FUZZ_CHECK(IsOrderedSubsequence(PathsTried(), PermittedOpenOrder(machine)), "device opened out of order");

  const long printed = TakeConsoleBytes();
  FUZZ_CHECK(printed % kAckLineBytes == 0, "printed " + std::to_string(printed) + " bytes");
  if (result == 2) {
    FUZZ_CHECK(printed == 0, "printed without a port");
    // No port: nothing sent, and the settings never read.
    FUZZ_CHECK(Fake::Writes().empty(), "written to without a port");
    for (const std::string& name : Fake::QueriedValueNames())
      FUZZ_CHECK(name != kSettingNames[0] && name != kSettingNames[1], "settings read without a port");
  } else {
    DWORD permitted[2];
    PermittedSetting(machine, 0, permitted);
    const bool disabled = permitted[0] != 0 && permitted[1] != 0;
    const bool enabled = permitted[0] == 0 && permitted[1] == 0;
    if (!faults && disabled) FUZZ_CHECK(result == 6 || result == 7, "disabled, exit code " + std::to_string(result));
    if (!faults && enabled) FUZZ_CHECK(result <= 5, "not disabled, exit code " + std::to_string(result));
  }
  CheckNoViolations();
  return 0;
}
