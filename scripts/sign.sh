#!/bin/bash
# Signs Windows programs and installer packages with Authenticode, in place:
#   scripts/sign.sh FILE...
# The certificate comes from the environment, either
#   KELO_SIGN_CERT (PEM certificate chain) and KELO_SIGN_KEY (PEM private key,
#   KELO_SIGN_KEY_PASSWORD if it is encrypted), or
#   KELO_SIGN_PFX (PKCS#12 file) and KELO_SIGN_PASSWORD;
# KELO_SIGN_TIMESTAMP_URL optionally names an RFC 3161 time-stamp server, so that
# signatures stay valid after the certificate expires.
# Without a certificate it signs nothing and says so: unsigned builds are the
# developers' default. scripts/sign.sh --configured tells (exit 0) whether one is set.
set -euo pipefail

configured() { [ -n "${KELO_SIGN_CERT:-}${KELO_SIGN_PFX:-}" ]; }
if [ "${1:-}" = --configured ]; then
  configured
  exit
fi
if ! configured; then
  echo "sign.sh: no certificate given (KELO_SIGN_CERT/KELO_SIGN_KEY or KELO_SIGN_PFX): files left unsigned" >&2
  exit 0
fi
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing" >&2; exit 1; }

args=(-h sha256 -n "${KELO_SIGN_DESCRIPTION:-KELO Label Printing Agent}")
if [ -n "${KELO_SIGN_PFX:-}" ]; then
  args+=(-pkcs12 "$KELO_SIGN_PFX" -pass "${KELO_SIGN_PASSWORD:-}")
else
  [ -n "${KELO_SIGN_KEY:-}" ] || { echo "sign.sh: KELO_SIGN_CERT needs KELO_SIGN_KEY" >&2; exit 1; }
  args+=(-certs "$KELO_SIGN_CERT" -key "$KELO_SIGN_KEY")
  [ -n "${KELO_SIGN_KEY_PASSWORD:-}" ] && args+=(-pass "$KELO_SIGN_KEY_PASSWORD")
fi
[ -n "${KELO_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$KELO_SIGN_TIMESTAMP_URL")

for file in "$@"; do
  signed="$file.signed"
  rm -f "$signed"
  osslsigncode sign "${args[@]}" -in "$file" -out "$signed" >/dev/null
  mv -f "$signed" "$file"
  echo "signed: $file"
done
