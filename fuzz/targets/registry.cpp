// The two registry readers on a fuzzed machine: the port search,
// OpenReceiverPort (candidate values of any type, size and termination;
// devices that are missing, late, refusing or failing their set-up), then
// the settings reader, ReadSettings.
//
// Input: machine (keys, values, devices), call faults.
#include <cstdint>

#include "fuzz/fuzz_registry.h"
#include "port/receiver_port.h"
#include "run/settings.h"

using namespace Vantrel;
using namespace Vantrel::FuzzSupport;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  Fake::Reset();
  TakeConsoleBytes();
  const Machine machine = DecodeMachine(input, false, Sim::Scenario());
  machine.Install();
  const bool faults = DecodeCallFaults(input);

  const ReceiverPort port = OpenReceiverPort();
  const std::uint64_t searchMs = Fake::NowMs();
  for (const std::string& path : PathsTried()) Trace("  tried %s\n", path.c_str());
  Trace("OpenReceiverPort = %s, %llu ms\n", port == INVALID_HANDLE_VALUE ? "no port" : "a port",
        static_cast<unsigned long long>(searchMs));

  FUZZ_CHECK(searchMs <= PortSearchBoundMs(), std::to_string(searchMs) + " ms");
  FUZZ_CHECK(Fake::OpenKeyCount() == 0, "serial-device key left open");
  const std::vector<std::string> tried = PathsTried();
  if (!machine.serialKey) {
    FUZZ_CHECK(port == INVALID_HANDLE_VALUE && tried.empty(), "a port opened without the serial-device key");
  }
  FUZZ_CHECK(IsOrderedSubsequence(tried, PermittedOpenOrder(machine)),
             "opened " + (tried.empty() ? std::string() : tried.back()) + " out of order or unlisted");
  for (const std::string& path : tried) FUZZ_CHECK(path.size() < 100, "device path of " + std::to_string(path.size()));

  if (port == INVALID_HANDLE_VALUE) {
    FUZZ_CHECK(Fake::OpenHandleCount() == 0, "failed search left a handle open");
  } else {
    FUZZ_CHECK(Fake::OpenHandleCount() == 1, "search left other handles open");
    COMMTIMEOUTS timeouts;
    DCB state;
    DWORD purge = 0;
    FUZZ_CHECK(Fake::LastPortSettings(&timeouts, &state, &purge), "no port settings");
    FUZZ_CHECK(timeouts.ReadIntervalTimeout == 0 && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                   timeouts.ReadTotalTimeoutConstant == kReadTotalTimeoutMs,
               "read timeouts not set up");
    FUZZ_CHECK(state.BaudRate == kLineBaudRate, "baud rate not set up");
    FUZZ_CHECK(purge == (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR), "not purged");
    CloseHandle(port);
  }

  DWORD disable = 0xDEADBEEF;
  DWORD model = 0xDEADBEEF;
  ReadSettings(&disable, &model);
  Trace("ReadSettings: disable %u, model %u\n", disable, model);
  FUZZ_CHECK(Fake::OpenKeyCount() == 0, "settings key left open");
  const DWORD got[2] = {disable, model};
  for (int i = 0; i < 2; ++i) {
    DWORD permitted[2];
    PermittedSetting(machine, i, permitted);
    const bool ok = got[i] == permitted[0] || got[i] == permitted[1] || (faults && got[i] == 0);
    FUZZ_CHECK(ok, std::string(kSettingNames[i]) + " read as " + std::to_string(got[i]));
  }
  FUZZ_CHECK(TakeConsoleBytes() == 0, "printed something");
  CheckNoViolations();
  return 0;
}
