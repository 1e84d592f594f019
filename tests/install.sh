# Installing what a ./vantrel verb needs, from Debian's packages; sourced by
# ./vantrel, which then calls `install_for PURPOSE` (demo, test, release,
# check). One list of packages per purpose. On a fresh Debian 12 machine as
# root or with sudo: it adds the i386 architecture for 32-bit Wine, and where
# no way installs that, installs the rest and has the end-to-end proof run
# the 64-bit build (VANTREL_WINE_ARCH=64), saying so.

# The demo: the compilers, both MinGW-w64 toolchains and Wine (32-bit where
# the kernel allows it, 64-bit where it does not).
packages_demo=(cmake g++ make python3 binutils file
               g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev
               g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
               wine wine32:i386 wine64)
# The Windows Installer database as ship/ opens it (libmsi, through
# python3-gi) and the version resource as it reads it (python3-pefile).
packages_ship=(python3 python3-gi gir1.2-libmsi-1.0)
# Only Debian's own interpreter sees those; one put earlier on PATH (pyenv's,
# say) does not.
debian_python=/usr/bin/python3
# The tests: the demo's, and GoogleTest, clang for the fuzzers, lcov, the
# Windows Installer tools the package's tests build and read it with, and
# osslsigncode and openssl for the signed release.
packages_test=("${packages_demo[@]}" "${packages_ship[@]}" python3-pefile
               googletest libgtest-dev clang llvm libclang-rt-14-dev lcov
               wixl msitools gcab libxml2-utils osslsigncode openssl)
# The release: the 32-bit cross build, the exe check's tools and wixl;
# osslsigncode when a certificate is given (ship/make/sign.py).
packages_release=(cmake make binutils "${packages_ship[@]}" python3-pefile
                  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev wixl)
if [ -n "${VANTREL_SIGN_PFX:-}" ]; then packages_release+=(osslsigncode); fi
# The package check reads the cabinet (gcab) and the task definitions
# against Task Scheduler's schema (xmllint), and builds each shipped
# version's package from its commit (git, and wixl and msitools, which
# those versions built with) to walk its removal.
packages_check=("${packages_ship[@]}" gcab libxml2-utils git wixl msitools)

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# A mirror caught mid-sync serves an index of the wrong size for a while:
# three tries, half a minute apart, then on with the indexes that did come.
apt_update() {
  local try
  for try in 1 2 3; do
    sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get update && return 0
    [ "$try" = 3 ] || { echo "== apt-get update failed, trying again in 30 s"; sleep 30; }
  done
  echo "== some package indexes did not download; going on with those that did"
}

apt_install() { sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y "$@"; }

# An i386 library must be the very version of its installed amd64 twin. When
# the security archive's i386 index is missing, its amd64 updates have no
# i386 twins, and apt finds no way: the point release alone (-t CODENAME)
# holds both halves at one version.
apt_install_both_arches() {
  apt_install "$@" && return 0
  [[ " $* " == *":i386 "* ]] || return 1
  local release
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || return 1
  echo "== retrying from the $release point release alone, whose i386 and amd64 packages agree"
  apt_install -t "$release" "$@" && return 0
  # No way at all: the rest alone, and the end-to-end proof on the 64-bit
  # build, which says so.
  local others=() p
  for p in "$@"; do [[ $p == *:i386 ]] || others+=("$p"); done
  echo "== the i386 packages cannot be installed from this mirror; installing the rest"
  apt_install "${others[@]}" && without_i386=1
}
without_i386=

install_packages() {
  local missing=()
  if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "== adding the i386 architecture (for 32-bit Wine)"
    sudo_if_needed dpkg --add-architecture i386
    missing=("$@")
  else
    for p in "$@"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    # apt's and debconf's chatter goes to a log, shown only when they fail.
    mkdir -p build
    local log=build/install.log
    if ! { apt_update && apt_install_both_arches "${missing[@]}"; } >"$log" 2>&1; then
      cat "$log"
      echo "== installing failed (the output above is kept in $log)"
      exit 1
    fi
    grep '^== ' "$log" || true
  fi
  if [ -n "$without_i386" ] && [ -z "${VANTREL_WINE_ARCH:-}" ]; then
    echo "== without 32-bit Wine, Wine runs the 64-bit build of the same sources"
    export VANTREL_WINE_ARCH=64
  fi
}

# install_for demo|test|release|check
install_for() {
  local list="packages_$1[@]"
  install_packages "${!list}"
}
