#!/usr/bin/env bash
# Builds the product, the test double, the receiver model and the unit
# tests with AddressSanitizer and UndefinedBehaviorSanitizer (any finding
# ends the test that caused it) and runs the unit tests. The Windows exe
# check and the end-to-end scenarios under Wine are not part of this run.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== sanitizers: building (preset sanitize, build/sanitize)"
cmake --preset sanitize >/dev/null
log=build/sanitize/build.log
if ! cmake --build --preset sanitize -- --no-print-directory >"$log" 2>&1; then
  grep -Ev '^\[' "$log" || true
  echo "sanitize: build failed (full log: $log)"
  exit 1
fi

echo "== sanitizers: unit tests under ASan and UBSan"
ctest --preset sanitize
