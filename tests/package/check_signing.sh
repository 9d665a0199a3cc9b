#!/bin/bash
# Signs a package with a throw-away certificate and verifies every signature:
#   check_signing.sh BUILDER VERSION PRINT_SERVICE_EXE USB_SERVICE_EXE TRAY_CLOSE_EXE UNSIGNED_MSI
# The MSI and each program inside it must verify against that certificate, one
# changed byte must break a program's signature, and the build's own package
# (built without a certificate) must carry none.
set -euo pipefail
builder="$1" version="$2" print_exe="$3" usb_exe="$4" close_exe="$5" unsigned="$6"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "signing check: $*" >&2; exit 1; }

openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 2 -subj "/CN=KELO test code signing" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
msi="$work/KeloSetup-$version.msi"
KELO_SIGN_CERT="$work/cert.pem" KELO_SIGN_KEY="$work/key.pem" \
  bash "$builder" "$msi" "$version" "$print_exe" "$usb_exe" "$close_exe" >/dev/null

verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1 || true; }
verify "$msi" | grep -q 'Signature verification: ok' || fail "the package does not verify: $(verify "$msi")"
msiextract -C "$work/files" "$msi" >/dev/null
count=0
while IFS= read -r -d '' exe; do
  verify "$exe" | grep -q 'Signature verification: ok' || fail "$(basename "$exe") does not verify"
  count=$((count + 1))
done < <(find "$work/files" -iname '*.exe' -print0)
[ "$count" = 3 ] || fail "expected 3 programs in the package, found $count"

# One byte of code changed: the digest no longer matches.
exe="$(find "$work/files" -iname 'KeloUsbService.exe' | head -n 1)"
cp "$exe" "$work/tampered.exe"
size=$(stat -c %s "$work/tampered.exe")
printf '\xCC' | dd of="$work/tampered.exe" bs=1 seek=$((size / 3)) conv=notrunc 2>/dev/null
if verify "$work/tampered.exe" | grep -q 'Signature verification: ok'; then fail "a changed program still verifies"; fi

# Developers' default: no certificate, no signature.
plain="$(osslsigncode verify -in "$unsigned" 2>&1 || true)"
grep -qi 'has no signature' <<<"$plain" || fail "the build's own package: $(head -n 3 <<<"$plain")"
echo "signing: package and $count programs verify against the test certificate"
