#!/bin/sh
# Each shipped binary carries an Authenticode signature that osslsigncode
# verifies against the certificate it was signed with (ZKSND_SIGN_CERT), and
# the signature still covers every byte. Skipped (77) when no certificate is
# set: local builds are unsigned by default.
# Usage: check_signatures.sh BIN_DIR
set -eu
bin="$1"
if [ -z "${ZKSND_SIGN_CERT:-}" ]; then
  echo "no ZKSND_SIGN_CERT: unsigned build, nothing to verify"
  exit 77
fi
for file in zksndapi.dll zksndctl.exe tessaline-emu.exe; do
  if ! out=$(osslsigncode verify -CAfile "$ZKSND_SIGN_CERT" -in "$bin/$file" 2>&1); then
    echo "$out" | tail -n 15
    echo "FAIL: $file: no intact signature by $ZKSND_SIGN_CERT"
    exit 1
  fi
  echo "ok: $file: $(echo "$out" | grep -m1 -E 'Subject:' | sed 's/^[[:space:]]*//'), signature verified"
done
exit 0
