#!/usr/bin/env bash
# Checks that vantrel.exe is what a fleet device needs: a 32-bit x86
# console program that imports only system DLLs and asks for no elevation.
set -euo pipefail

exe=${1:?usage: check_windows_exe.sh path/to/vantrel.exe}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$exe" ] || { echo "FAIL: $exe does not exist (build the windows preset first)"; exit 1; }
headers=$("$objdump" -p "$exe")

grep -q 'file format pei-i386' <<<"$headers" || fail "not a PE32 i386 image"
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || fail "optional header is not PE32"
grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || fail "subsystem is not the console"

# Only DLLs that every Windows installation carries; the C and C++
# runtimes are linked in statically.
allowed='^(kernel32|advapi32|msvcrt|user32|ntdll)\.dll$'
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers")
[ -n "$dlls" ] || fail "no imports found"
for dll in $dlls; do
  grep -Eq "$allowed" <<<"$dll" || fail "imports a non-system DLL: $dll"
done
for needed in kernel32.dll advapi32.dll; do
  grep -qx "$needed" <<<"$dlls" || fail "does not import $needed"
done
# The ANSI forms of the calls that take strings.
for symbol in CreateFileA RegOpenKeyExA RegQueryValueExA; do
  grep -Eq "[[:space:]]$symbol\$" <<<"$headers" || fail "does not import $symbol"
done

# The manifest sits in the resources as text.
grep -q '\.rsrc' <<<"$headers" || fail "no resource section"
strings -n 8 "$exe" | grep -q 'requestedExecutionLevel level="asInvoker"' ||
  fail "no asInvoker manifest embedded"

echo "dlls: $(tr '\n' ' ' <<<"$dlls")size: $(stat -c %s "$exe") bytes"
[ "$failures" -eq 0 ] || exit 1
echo "vantrel.exe: PE32 i386 console program, system DLLs only, asInvoker"
