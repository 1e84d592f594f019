#!/usr/bin/env bash
# Builds vantrel.exe (the windows preset) from two copies of the sources at
# different paths, one after the other, as two checkouts of one commit would
# be built, and requires the same bytes: nothing of the build's own (time,
# source or build path) may end up in the image, or nobody could tell a
# device's binary from the commit it claims to be.
#   check_reproducible_build.sh path/to/source
set -euo pipefail

source=${1:?usage: check_reproducible_build.sh path/to/source}
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

checkouts=("$work/a" "$work/another/checkout/of/vantrel")
for checkout in "${checkouts[@]}"; do
  mkdir -p "$checkout"
  # What the Windows build reads; the rest of the tree is native only.
  cp -r "$source"/{CMakeLists.txt,CMakePresets.json,cmake,src} "$checkout"/
  if ! (cd "$checkout" && cmake --preset windows && cmake --build --preset windows) \
       >"$work/build.log" 2>&1; then
    cat "$work/build.log"
    echo "FAIL: the build in $checkout failed"
    exit 1
  fi
done

one=${checkouts[0]}/build/windows/vantrel.exe
two=${checkouts[1]}/build/windows/vantrel.exe
sha256sum "$one" "$two" | sed "s|$work/||"
if ! cmp -s "$one" "$two"; then
  echo "FAIL: the two builds differ ($(cmp -l "$one" "$two" | wc -l) bytes), first differences:"
  cmp -l "$one" "$two" | head -5
  exit 1
fi
echo "vantrel.exe is byte-identical from two source paths ($(stat -c %s "$one") bytes)"
