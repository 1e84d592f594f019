#!/usr/bin/env bash
# Checks that vantrel.exe is what a fleet device needs: a 32-bit x86
# console program that imports only system DLLs, asks for no elevation,
# carries the project's version where Windows shows it and no link time.
# With x86-64 as second argument it checks the 64-bit test build of the same
# sources the same way.
#   check_windows_exe.sh path/to/vantrel.exe i386|x86-64 VERSION
set -euo pipefail

usage="usage: check_windows_exe.sh path/to/vantrel.exe i386|x86-64 VERSION (e.g. 1.0.0)"
exe=${1:?$usage}
arch=${2:?$usage}
version=${3:?$usage}
case "$arch" in
  i386) format=pei-i386 magic=010b kind=PE32 manifest_arch=x86 toolchain=i686-w64-mingw32 ;;
  x86-64) format=pei-x86-64 magic=020b kind=PE32+ manifest_arch=amd64 toolchain=x86_64-w64-mingw32 ;;
  *) echo "unknown architecture $arch (i386 or x86-64)"; exit 2 ;;
esac
objdump=${OBJDUMP:-$toolchain-objdump}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$exe" ] || { echo "FAIL: $exe does not exist (build the windows preset first)"; exit 1; }
headers=$("$objdump" -p "$exe")

grep -q "file format $format\$" <<<"$headers" || fail "not a $kind $arch image"
grep -Eq "^Magic[[:space:]]+$magic" <<<"$headers" || fail "optional header is not $kind"
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
manifest=$(strings -n 8 "$exe")
grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$manifest" ||
  fail "no asInvoker manifest embedded"
grep -q "processorArchitecture=\"$manifest_arch\"" <<<"$manifest" ||
  fail "the manifest does not name the $manifest_arch architecture"
# The releases it is declared for, Vista to 11: the lowest is the first
# whose msvcrt.dll exports strcpy_s.
grep -q 'compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"' <<<"$manifest" ||
  fail "the manifest has no compatibility section"
for os_id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
             4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
             8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  grep -q "<supportedOS Id=\"{$os_id}\"/>" <<<"$manifest" || fail "the manifest does not declare supportedOS $os_id"
done

# The version as Explorer's Details tab and (Get-Item).VersionInfo show it:
# the fixed numbers and the strings, in the table the translation names.
grep -q "version=\"$version.0\"" <<<"$manifest" || fail "the manifest does not carry version $version.0"
# Debian's interpreter, which sees python3-pefile.
resource=$(/usr/bin/python3 "$(dirname "$0")/../../ship/make/exe_version.py" "$exe") || fail "no readable version resource"
expect() {
  local got
  got=$(sed -n "s/^$1 //p" <<<"$resource")
  [ "$got" = "$2" ] || fail "$1 is '$got', not '$2'"
}
expect FixedFileVersion "$version.0"
expect FixedProductVersion "$version.0"
expect FileVersion "$version"
expect ProductVersion "$version"
expect ProductName Vantrel
expect CompanyName Keldran
expect OriginalFilename vantrel.exe
expect StringTable 040904B0
expect Translation "0409 04B0"
# A link time in the header would make every build differ from the last.
expect TimeDateStamp 0

echo "dlls: $(tr '\n' ' ' <<<"$dlls")size: $(stat -c %s "$exe") bytes"
[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$exe"): $kind $arch console program, system DLLs only, asInvoker, version $version, no time stamp"
