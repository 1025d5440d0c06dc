#!/usr/bin/env bash
# Everything from a fresh Debian machine to a CTest summary: installs the
# packages; builds with clang (build/: the release's build, whose binaries every
# test runs) and with GCC (build-gcc/: compiled, warnings as errors, not run);
# runs the native protocol checks and the fuzzer; then every Windows test
# under Wine, the heap-checked runs, and the release archive's checks, its
# binaries signed with a throwaway certificate made here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZK_BUILD_DIR:-$root/build}
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" all
if [ -f "$root/fuzz/run.sh" ]; then
  bash "$root/fuzz/run.sh"
fi

# A self-signed code-signing certificate for this run only, unless the caller
# gives a real one: the archive's binaries are signed and verified with it.
if [ -z "${ZKSND_SIGN_CERT:-}" ]; then
  signing=$build/throwaway-signing
  rm -rf "$signing"; mkdir -p "$signing"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=zksndapi CI throwaway/O=Zelkor" \
          -addext "extendedKeyUsage=codeSigning" -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
  export ZKSND_SIGN_CERT=$signing/cert.pem ZKSND_SIGN_KEY=$signing/key.pem
fi

cd "$build"
ctest --output-on-failure --timeout 900
