#!/bin/bash
# Installs what the build and the tests need on a Debian 12 machine (run as root)
# and fetches the third-party sources into deps/. Safe to run again: a second run
# only checks and takes seconds.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="$ROOT/deps"
STAMP_PKGS=/var/lib/kelo-setup.pkgs

PACKAGES=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 libcups2:i386
  cups cups-client cups-bsd cups-filters
  libcups2-dev libcairo2-dev libpng-dev libjpeg62-turbo-dev libgif-dev systemd
  slowhttptest wrk
  xvfb xdotool x11-utils imagemagick ghostscript
  fonts-wqy-microhei locales
  googletest curl python3 procps psmisc
  wixl msitools osslsigncode openssl
  lintian man-db
  clang-14 libclang-rt-14-dev
  chromium chromium-driver zbar-tools
)

log() { printf '[setup] %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh must run as root" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive

# The deb-src entries reuse the mirror that the machine's own binary entries name,
# so nothing here depends on one particular host.
mirror_uri() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1=="deb" && $0 !~ /security/ {for(i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  printf '%s' "$uri"
}

SRC_LIST=/etc/apt/sources.list.d/kelo-src.sources
need_update=0
if [ ! -f "$SRC_LIST" ]; then
  uri=$(mirror_uri)
  if [ -z "$uri" ]; then
    echo "cannot find the Debian mirror in the apt sources" >&2
    exit 1
  fi
  cat >"$SRC_LIST" <<SRC
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $uri
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

want="${PACKAGES[*]}"
if [ ! -f "$STAMP_PKGS" ] || [ "$(cat "$STAMP_PKGS")" != "$want" ] || ! command -v wine >/dev/null || ! command -v i686-w64-mingw32-g++-posix >/dev/null || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  need_update=1
  pkgs_needed=1
else
  pkgs_needed=0
fi

# A mirror in the middle of a sync serves some index files with the wrong size:
# apt-get update then exits 100 and keeps the old lists (or none) for them. We retry,
# and when only some suites keep failing we go on and remember which ones.
PIN=/etc/apt/preferences.d/kelo-skew
failed_suites=""
apt_update() {
  local attempt out=""
  for attempt in 1 2 3; do
    log "apt-get update (attempt $attempt)"
    if out=$(apt-get update -qq 2>&1); then
      failed_suites=""
      rm -f "$PIN"
      return 0
    fi
    printf '%s\n' "$out" | grep -E '^(E|W):' | sed 's/^/[setup]   /' >&2 || true
    [ "$attempt" -lt 3 ] && sleep $((attempt * 5))
  done
  failed_suites=$(printf '%s\n' "$out" | sed -n 's#.*Failed to fetch [^ ]*/dists/\([^/ ]*\)/.*#\1#p' | sort -u | xargs)
  if [ -z "$failed_suites" ] || ! printf '%s\n' "$out" | grep -q 'Some index files failed to download'; then
    echo "apt-get update failed" >&2
    exit 1
  fi
  log "apt-get update: going on without fresh index files of: $failed_suites"
}

# amd64 and i386 copies of a multiarch library must have the same version. When one
# architecture's index of a suite is missing, that suite's newer amd64 versions have no
# i386 twin and apt reports held broken packages. Pinning the incomplete suites below
# the installed versions makes apt take both architectures from the suites they share.
pin_incomplete_suites() {
  local suite
  : >"$PIN"
  for suite in $failed_suites; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 50\n\n' "$suite" >>"$PIN"
  done
  log "pinned $failed_suites to priority 50 in $PIN: packages come from the suites both architectures have"
}

if [ "$need_update" = 1 ]; then
  apt_update
fi
if [ "$pkgs_needed" = 1 ]; then
  log "installing packages"
  if ! apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/tmp/kelo-apt.log 2>&1; then
    if [ -z "$failed_suites" ]; then
      cat /tmp/kelo-apt.log >&2
      exit 1
    fi
    log "install failed on the incomplete index of $failed_suites:"
    grep -E 'but it is not|^E:' /tmp/kelo-apt.log | head -n 5 | sed 's/^/[setup]   /'
    pin_incomplete_suites
    if ! apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/tmp/kelo-apt.log 2>&1; then
      cat /tmp/kelo-apt.log >&2
      exit 1
    fi
  fi
  log "packages installed"
  printf '%s' "$want" >"$STAMP_PKGS"
fi

# Third-party sources: the trixie releases carry the security fixes we want.
fetch_source() {
  local pkg="$1" version="$2" dir="$3"
  if [ -f "$DEPS/$dir/.kelo-fetched" ]; then
    return
  fi
  mkdir -p "$DEPS/src"
  log "fetching source $pkg $version"
  (cd "$DEPS/src" && apt-get source -qq -o APT::Sandbox::User=root --only-source "$pkg=$version" >/dev/null)
  local unpacked
  unpacked=$(find "$DEPS/src" -maxdepth 1 -mindepth 1 -type d -name "$pkg-*" | head -n1)
  rm -rf "$DEPS/${dir:?}"
  mv "$unpacked" "$DEPS/$dir"
  touch "$DEPS/$dir/.kelo-fetched"
  rm -rf "$DEPS/src"
}

pick_version() {
  # Newest version of a source package whose upstream part starts with the prefix.
  local pkg="$1" prefix="$2"
  apt-cache showsrc "$pkg" 2>/dev/null | awk '/^Version:/ {print $2}' \
    | grep -E "^(1:)?$prefix" | sort -V | tail -n1
}

if [ ! -f "$DEPS/cpp-httplib/.kelo-fetched" ]; then
  v=$(pick_version cpp-httplib 0.18.)
  [ -n "$v" ] || { echo "no cpp-httplib 0.18 source package found" >&2; exit 1; }
  fetch_source cpp-httplib "$v" cpp-httplib
fi
if [ ! -f "$DEPS/cjson/.kelo-fetched" ]; then
  v=$(pick_version cjson 1.7.18)
  [ -n "$v" ] || { echo "no cjson 1.7.18 source package found" >&2; exit 1; }
  fetch_source cjson "$v" cjson
fi

httplib_version=$(awk -F'"' '/#define CPPHTTPLIB_VERSION / {print $2}' "$DEPS/cpp-httplib/httplib.h")
cjson_version=$(awk '/#define CJSON_VERSION_(MAJOR|MINOR|PATCH)/ {printf "%s%s", sep, $3; sep="."}' "$DEPS/cjson/cJSON.h")
log "cpp-httplib $httplib_version (Debian $(dpkg-parsechangelog -l "$DEPS/cpp-httplib/debian/changelog" -S Version))"
log "cJSON $cjson_version (Debian $(dpkg-parsechangelog -l "$DEPS/cjson/debian/changelog" -S Version))"
log "googletest $(dpkg-query -W -f='${Version}' googletest)"
# The JavaScript client's tools and the example page's modules, exactly as locked.
# The machine brings Node.js and npm; Debian's are too old for the client.
if ! command -v npm >/dev/null || ! node -e 'process.exit(parseInt(process.versions.node) < 20 ? 1 : 0)'; then
  echo "Node.js 20 or newer with npm is needed for clients/js and the example page" >&2
  exit 1
fi
npm_ci() {
  local dir="$ROOT/$1" sum
  sum=$(sha256sum "$dir/package-lock.json" | cut -d' ' -f1)
  # npm ci starts from an empty node_modules every time: skip it while the lock is unchanged.
  if [ "$(cat "$dir/node_modules/.kelo-lock-sha256" 2>/dev/null)" != "$sum" ]; then
    log "npm ci in $1"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    printf '%s' "$sum" >"$dir/node_modules/.kelo-lock-sha256"
  fi
}
npm_ci clients/js
npm_ci examples/label-printing
log "node $(node --version), npm $(npm --version)"

# shellcheck disable=SC1091
. "$ROOT/scripts/windows_flavor.sh"
log "mingw $(i686-w64-mingw32-g++-posix -dumpversion), wine $(wine --version), tests under Wine: $KELO_WIN_PRESET ($KELO_WIN_NOTE)"
