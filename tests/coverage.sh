#!/usr/bin/env bash
# Builds the unit tests with gcc coverage (preset coverage, build/coverage),
# runs them (not the Windows exe check, not the end-to-end scenarios), and
# reports line and branch coverage of src/: HTML under build/coverage/html
# and a per-file summary on the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
. tests/build_preset.sh

build=build/coverage
echo "== coverage: building (preset coverage, $build)"
build_preset coverage

# Counts from an earlier run would add to this one.
lcov --quiet --zerocounters --directory "$build"
echo "== coverage: unit tests"
ctest --preset coverage >"$build/ctest.log" 2>&1 || { cat "$build/ctest.log"; echo "coverage: unit tests failed"; exit 1; }
tail -3 "$build/ctest.log"

rc=(--rc lcov_branch_coverage=1)
# (This lcov's geninfo warns about its own redefined subroutines; noise.)
lcov --quiet "${rc[@]}" --capture --directory "$build" --output-file "$build/all.info" \
  2> >(grep -v 'redefined at' >&2)
# Only the product: the double, the simulated receiver, the tests and the
# standard headers are not what is being measured.
lcov --quiet "${rc[@]}" --extract "$build/all.info" "$PWD/src/*" --output-file "$build/src.info"
rm -rf "$build/html"
genhtml --quiet "${rc[@]}" --branch-coverage --title "Vantrel src/" --output-directory "$build/html" \
  "$build/src.info" >/dev/null

echo "== coverage of src/ (report: $build/html/index.html)"
lcov "${rc[@]}" --list "$build/src.info"

# Every branch not taken, as file:line, for writing the test that takes it.
echo "== branches of src/ not taken"
awk -v root="$PWD/" '
  /^SF:/ { file = substr($0, 4); sub(root, "", file) }
  /^BRDA:/ {
    split(substr($0, 6), f, ",")
    if (f[4] == "-" || f[4] == "0") missed[file ":" f[1]]++
  }
  END { n = 0; for (k in missed) { print "  " k " (" missed[k] " of its branches)"; n++ } if (n == 0) print "  none" }
' "$build/src.info" | sort -t: -k1,1 -k2,2n
