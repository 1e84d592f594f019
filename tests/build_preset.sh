# Building one CMake preset quietly; sourced by ./vantrel, the sanitizer,
# coverage and fuzz runs, from the repository's root. Only the compiler's and
# linker's own words reach the screen, the whole output stays in
# build/PRESET/build.log (every preset builds in build/PRESET), and a failed
# build says so and returns 1.
build_preset() {
  local - log=build/$1/build.log
  set -o pipefail
  cmake --preset "$1" >/dev/null
  if ! cmake --build --preset "$1" -- --no-print-directory 2>&1 | tee "$log" | { grep -Ev '^\[' || true; }; then
    echo "$1: build failed (full log: $log)"
    return 1
  fi
}
