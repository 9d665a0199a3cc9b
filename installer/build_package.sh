#!/bin/bash
# Builds the MSI with wixl and checks it:
#   build_package.sh OUT.msi VERSION PRINT_SERVICE_EXE USB_SERVICE_EXE TRAY_CLOSE_EXE
# With a certificate in the environment (see scripts/sign.sh) the programs are
# signed before they are packaged, and the package after it is complete.
# Fails on any warning of wixl (it drops elements and properties it does not
# handle with only a warning), on a sequence that would run the custom actions out
# of order, and on a version other than VERSION.
set -euo pipefail
out="$1" version="$2" print_exe="$3" usb_exe="$4" close_exe="$5"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
sign="$here/../scripts/sign.sh"
mkdir -p "$(dirname "$out")"
out="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
stage="$(mktemp -d)"
log="$stage/wixl.log"
trap 'rm -rf "$stage"' EXIT

# wixl takes sources relative to its working directory only.
cp "$print_exe" "$stage/KeloPrintService.exe"
cp "$usb_exe" "$stage/KeloUsbService.exe"
cp "$close_exe" "$stage/KeloTrayClose.exe"
# What ships carries no debug information (the build keeps it for debugging).
strip_tool="$(command -v i686-w64-mingw32-strip || true)"
if [ -n "$strip_tool" ]; then
  "$strip_tool" --strip-debug "$stage"/*.exe
fi
if bash "$sign" --configured; then
  bash "$sign" "$stage"/*.exe >/dev/null
fi
(cd "$stage" && wixl -a x86 -D Version="$version" -D PrintServiceExe=KeloPrintService.exe \
  -D UsbServiceExe=KeloUsbService.exe -D TrayCloseExe=KeloTrayClose.exe -o "$out" "$here/KeloSetup.wxs") 2>"$log" ||
  { cat "$log" >&2; exit 1; }
if grep -qiE 'warning|critical|unhandled' "$log"; then
  echo "wixl warned; the package would lack what it dropped:" >&2
  cat "$log" >&2
  rm -f "$out"
  exit 1
fi

# Public properties that must reach the execute sequence of a UI install.
secure="PRINTERNAME;DRIVERNAME;PRINTERPORT;DATADIR;LAUNCHTRAY;KELODATAFOLDER"
if msiinfo export "$out" Property | grep -q '^SecureCustomProperties'; then
  msibuild "$out" -q "UPDATE Property SET Value='$secure' WHERE Property='SecureCustomProperties'"
else
  msibuild "$out" -q "INSERT INTO Property (Property, Value) VALUES ('SecureCustomProperties', '$secure')"
fi

fail() { echo "package check: $*" >&2; rm -f "$out"; exit 1; }
sequence="$(msiinfo export "$out" InstallExecuteSequence)"
seq_of() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' <<<"$sequence" | tr -d '\r'; }
before() {
  local a b
  a="$(seq_of "$1")" b="$(seq_of "$2")"
  [ -n "$a" ] || fail "$1 is not in the InstallExecuteSequence"
  [ -n "$b" ] || fail "$2 is not in the InstallExecuteSequence"
  [ "$a" -lt "$b" ] || fail "$1 ($a) must run before $2 ($b)"
}
# Saved values are read, kept or defaulted, then the data folder placed, all before costing.
before AppSearch KeepPrinterName
for keep in KeepPrinterName KeepDriverName KeepPrinterPort KeepDataDir; do before "$keep" DefaultPrinterName; done
before DefaultDataDir PlaceDataFolder
before PlaceDataFolder CostFinalize
# Running tray programs close before files are checked, replaced or removed.
before CloseTrayPrograms InstallValidate
before CloseTrayPrograms RemoveExistingProducts
before InstallValidate RemoveExistingProducts
before StopServices DeleteServices
before InstallFiles StartServices
before InstallFinalize LaunchTray
# The tray program never starts for LocalSystem (Group Policy, Intune) nor with LAUNCHTRAY=0.
launch="$(awk -F'\t' '$1 == "LaunchTray" { print $2 }' <<<"$sequence")"
case "$launch" in
  *'UserSID<>"S-1-5-18"'*) ;;
  *) fail "LaunchTray may run as LocalSystem: $launch" ;;
esac
case "$launch" in
  *'LAUNCHTRAY<>"0"'*) ;;
  *) fail "LaunchTray ignores LAUNCHTRAY: $launch" ;;
esac
[ "$(msiinfo export "$out" Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }' | tr -d '\r')" = "$version" ] ||
  fail "ProductVersion is not $version"
msiinfo export "$out" ServiceInstall | grep -q 'USB Printer Service KELO' || fail "the service is not installed"
if bash "$sign" --configured; then
  bash "$sign" "$out" >/dev/null  # last: any change to the package after this breaks the signature
fi
echo "package: $out ($(stat -c %s "$out") bytes)"
