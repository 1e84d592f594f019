#!/usr/bin/env bash
# Every test, once everything is built (./vantrel test installs and builds,
# then runs this; CI runs ./vantrel test): the unit tests, the exe and
# release checks and the end-to-end scenarios under Wine (CTest, preset
# native), the unit tests again under the sanitizers, and a short run of
# every fuzz target (VANTREL_FUZZ_SECONDS each, 30 by default).
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== unit tests, the exe checks and the end-to-end scenarios under Wine"
ctest --preset native
echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
tests/sanitize.sh
echo "== a short run of every fuzz target"
fuzz/run.sh "${VANTREL_FUZZ_SECONDS:-30}"
