#!/usr/bin/env bash
# ./vantrel bench: times vantrel.exe under Wine against the simulated receiver
# and prints each phase beside the floor its algorithm allows.
#   bench/run.sh [--runs N] [--nmea-lead-ms MS] [--reply-delay-ms MS] [--build-dir DIR]
# Expects ./vantrel build to have run; everything it writes goes to build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[$i]}" in
    --build-dir) build=${args[$((i + 1))]:-build} ;;
    --build-dir=*) build=${args[$i]#--build-dir=} ;;
  esac
done

mkdir -p "$build/bench"
# The same warnings, as errors, as every other target of ours.
warnings=(-Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Werror)
# The baseline exe is built like vantrel.exe (static runtime, stripped), so
# the two differ only in what they do; one for each build that Wine may run.
for target in win32:i686 win64:x86_64; do
  trivial=$build/bench/trivial-${target%%:*}.exe
  if [ ! -f "$trivial" ] || [ bench/trivial.c -nt "$trivial" ]; then
    "${target#*:}-w64-mingw32-gcc" "${warnings[@]}" -O2 -s -static -o "$trivial" bench/trivial.c
  fi
done

if [ ! -f "$build/bench/rusage_run" ] || [ bench/rusage_run.c -nt "$build/bench/rusage_run" ]; then
  cc "${warnings[@]}" -O2 -o "$build/bench/rusage_run" bench/rusage_run.c
fi

export PYTHONDONTWRITEBYTECODE=1
exec python3 -m bench.wine_bench "$@"
