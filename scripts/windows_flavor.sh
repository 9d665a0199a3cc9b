# Sourced: which Windows build the tests run under Wine.
#
# The programs ship as 32-bit code (preset mingw-i686, run by wine32). Some
# virtual machines run a kernel that cannot execute 32-bit code at all (exec
# gives "Exec format error"), so wine32 cannot start there. On such a machine
# the same sources are built as 64-bit code (preset mingw-x86_64) and run by
# wine64, which still tests every Windows adapter against Wine's spooler,
# registry and file system; a shim directory puts wine64 first as "wine".
#
# Sets KELO_WIN_PRESET, KELO_WIN_BUILD and KELO_WIN_NOTE, and PATH when needed.
# KELO_WIN_PRESET set beforehand is kept (mingw-i686 or mingw-x86_64).
kelo_flavor_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

kelo_can_run_i386() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

if [ -z "${KELO_WIN_PRESET:-}" ]; then
  if kelo_can_run_i386 || ! [ -x /usr/lib/wine/wine64 ]; then
    KELO_WIN_PRESET=mingw-i686
  else
    KELO_WIN_PRESET=mingw-x86_64
  fi
fi
KELO_WIN_BUILD="$kelo_flavor_root/build/$KELO_WIN_PRESET"
if [ "$KELO_WIN_PRESET" = mingw-x86_64 ]; then
  KELO_WIN_NOTE="this kernel cannot run 32-bit code: the Windows programs are built as 64-bit code for the tests and run by wine64"
  kelo_shim="$kelo_flavor_root/build/wine64-shim"
  mkdir -p "$kelo_shim"
  for kelo_name in wine wine-stable; do
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\n[ -n "$WINEDEBUG" ] || export WINEDEBUG=fixme-all\nexec /usr/lib/wine/wine64 "$@"\n' >"$kelo_shim/$kelo_name"
    chmod +x "$kelo_shim/$kelo_name"
  done
  case ":$PATH:" in *":$kelo_shim:"*) ;; *) PATH="$kelo_shim:$PATH" ;; esac
  export PATH
else
  KELO_WIN_NOTE="32-bit build run by wine32"
fi
export KELO_WIN_PRESET KELO_WIN_BUILD KELO_WIN_NOTE
