#!/usr/bin/env bash
# Installs what building and testing zksndapi needs on a fresh Debian 12 machine.
set -euo pipefail
pkgs=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest
      clang-14 libclang-rt-14-dev llvm-14 lld-14 python3 python3-jsonschema
      make pkg-config  # the release check's Makefile consumer
      osslsigncode openssl  # Authenticode signing of the release, and CI's throwaway certificate
      libspdlog-dev libfmt-dev)  # header-only logging baseline of the benchmarks
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
