# build_preset PRESET, for ./vantrel and the sanitizer, coverage and fuzz runs:
# only the compiler's and linker's words reach the screen, all of it stays in
# build/PRESET/build.log, and a failed build says so and returns 1.
build_preset() {
  local - log=build/$1/build.log
  set -o pipefail
  cmake --preset "$1" >/dev/null
  if ! cmake --build --preset "$1" -- --no-print-directory 2>&1 | tee "$log" | { grep -Ev '^\[' || true; }; then
    echo "$1: build failed (full log: $log)"
    return 1
  fi
}
