#!/usr/bin/env bash
# Builds the product, the test double, the receiver model and the unit
# tests with AddressSanitizer and UndefinedBehaviorSanitizer (any finding
# ends the test that caused it) and runs the unit tests. The Windows exe
# check and the end-to-end scenarios under Wine are not part of this run.
set -euo pipefail
cd "$(dirname "$0")/.."
. tests/build_preset.sh

echo "== sanitizers: building (preset sanitize, build/sanitize)"
build_preset sanitize

echo "== sanitizers: unit tests under ASan and UBSan"
ctest --preset sanitize
