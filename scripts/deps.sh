#!/usr/bin/env bash
# Installs every package the build, the tests, the benchmarks and the demo
# need. Idempotent: does nothing when all of them are present already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcrypt-dev:amd64
  clang libclang-rt-14-dev   # the fuzz configuration (libFuzzer)
  util-linux   # unshare, setpriv: private mount namespaces for the account fixtures
  gcc-multilib g++-multilib libcrypt-dev:i386   # the 32-bit Linux configuration
  qemu-user-static   # runs its tests where the kernel cannot run 32-bit programs
  liblog4cxx-dev     # authrelayd's logging
  libkrb5-dev krb5-kdc krb5-admin-server krb5-user   # GSSAPI contexts and the loopback KDC of their tests
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev   # the Windows cross-build
)

missing=()
for p in "${packages[@]}"; do
  # Any installed instance counts (a package may be installed for several architectures).
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
