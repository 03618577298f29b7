#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
# Does nothing when they are all present; needs root otherwise.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix   # cross compiler, posix thread model
  wine wine64                  # runs the programs and the tests
  cmake ninja-build
  googletest                   # GoogleTest sources, built for the Windows target
  openssl osslsigncode         # development signing identity, Authenticode signing
  clang libclang-rt-14-dev     # native fuzz targets: libFuzzer and the sanitizers; second compiler
  clang-format-14 clang-tidy-14 cppcheck  # tools/lint.sh
  wixl msitools                # MSI package (wixl) and its inspection (msiinfo)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or: sudo $0)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
