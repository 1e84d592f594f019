#!/usr/bin/env bash
# Runs a command (as root) in a private mount namespace where every 32-bit
# x86 program fails to execute with "Exec format error", as on a kernel
# without IA-32 emulation: Wine's 32-bit loader and server, and the i386
# dynamic loader. Nothing outside the namespace changes.
#   tests/wine/without-32bit.sh ./vantrel test    runs the tests as such a machine would
set -euo pipefail
if [ "${1:-}" != --inside ]; then exec unshare --mount --propagation private "$0" --inside "$@"; fi
shift
bad=$(mktemp /tmp/not-runnable.XXXXXX)
# An ELF header of a class no kernel knows: execve fails with ENOEXEC.
printf '\177ELF\003\001\001\000\000\000\000\000\000\000\000\000' >"$bad"
chmod 755 "$bad"
for f in /usr/lib/wine/wine /usr/lib/wine/wineserver32 /usr/lib/i386-linux-gnu/ld-linux.so.2; do
  if [ -e "$f" ]; then mount --bind "$bad" "$f"; fi
done
exec "$@"
