#!/bin/bash
# Checks the built Debian package without installing it:
#   check_deb_contents.sh DEB VERSION AGENT UNIT_SOURCE
# Control fields (the project's version, this machine's architecture), exactly the
# expected files with their modes and root ownership, dependencies equal to what
# dpkg-shlibdeps finds for the shipped binaries, the binaries being AGENT's build
# and its decoder stripped, the unit as in the sources, and no lintian error or warning.
set -euo pipefail
deb="$1" version="$2" agent="$3" unit_source="$4"
package=kelo-print-agent
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "package contents check: $*" >&2; exit 1; }

[ -f "$deb" ] || fail "no package at $deb"
arch="$(dpkg --print-architecture)"
[ "$(basename "$deb")" = "${package}_${version}_${arch}.deb" ] || fail "unexpected file name $(basename "$deb")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"

# Path, type and mode, owner: everything root's, nothing else in the package.
dpkg-deb -c "$deb" | awk '{sub(/^\.\//, "", $6); print $1, $2, $6}' | sort >"$work/files.txt"
sort >"$work/expected.txt" <<'FILES'
drwxr-xr-x root/root 
drwxr-xr-x root/root usr/
drwxr-xr-x root/root usr/bin/
-rwxr-xr-x root/root usr/bin/kelo-print-agent
drwxr-xr-x root/root usr/lib/
drwxr-xr-x root/root usr/lib/systemd/
drwxr-xr-x root/root usr/lib/systemd/user/
-rw-r--r-- root/root usr/lib/systemd/user/kelo-print-agent.service
drwxr-xr-x root/root usr/libexec/
drwxr-xr-x root/root usr/libexec/kelo-print-agent/
-rwxr-xr-x root/root usr/libexec/kelo-print-agent/kelo-image-decoder
drwxr-xr-x root/root usr/share/
drwxr-xr-x root/root usr/share/doc/
drwxr-xr-x root/root usr/share/doc/kelo-print-agent/
-rw-r--r-- root/root usr/share/doc/kelo-print-agent/changelog.gz
-rw-r--r-- root/root usr/share/doc/kelo-print-agent/copyright
drwxr-xr-x root/root usr/share/man/
drwxr-xr-x root/root usr/share/man/man1/
-rw-r--r-- root/root usr/share/man/man1/kelo-print-agent.1.gz
drwxr-xr-x root/root var/
drwxr-xr-x root/root var/lib/
drwxr-xr-x root/root var/lib/kelo/
FILES
if ! cmp -s "$work/expected.txt" "$work/files.txt"; then
  fail "the files differ from the expected list (< expected, > package): $(diff "$work/expected.txt" "$work/files.txt")"
fi

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
shipped="$work/root/usr/bin/$package"
shipped_decoder="$work/root/usr/libexec/$package/kelo-image-decoder"
built_decoder="$(dirname "$agent")/../libexec/$package/kelo-image-decoder"
for script in postinst postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
(cd "$work/root" && md5sum --quiet -c "$work/control/md5sums") >/dev/null || fail "md5sums do not match the files"
cmp -s "$work/root/usr/lib/systemd/user/kelo-print-agent.service" "$unit_source" ||
  fail "the packaged unit differs from $unit_source"

# The same program as the build, without its debug information.
build_id() { readelf -n "$1" | sed -n 's/^ *Build ID: //p'; }
for pair in "$shipped:$agent" "$shipped_decoder:$built_decoder"; do
  packaged="${pair%%:*}" built="${pair#*:}"
  [ -n "$(build_id "$built")" ] || fail "the built $built has no build id to compare"
  [ "$(build_id "$packaged")" = "$(build_id "$built")" ] || fail "the packaged ${packaged#$work/root} is not the build's $built"
  if readelf -S "$packaged" | grep -qE '\.debug_|\.symtab'; then fail "${packaged#$work/root} is not stripped"; fi
done

# Depends as dpkg-shlibdeps computes it for the shipped binary, here again.
mkdir -p "$work/debian"
: >"$work/debian/control"
shlibs="$(cd "$work" && dpkg-shlibdeps -O -e"root/usr/bin/$package" -e"root/usr/libexec/$package/kelo-image-decoder" 2>/dev/null)"
[ "$(field Depends)" = "${shlibs#shlibs:Depends=}" ] ||
  fail "Depends is '$(field Depends)', dpkg-shlibdeps says '${shlibs#shlibs:Depends=}'"
# Every library the binaries need is provided by a package among Depends.
depends_names="$(field Depends | tr ',|' '\n' | sed 's/^ *//; s/[ :].*//')"
for lib in $(readelf -d "$shipped" "$shipped_decoder" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
  # The library of this architecture as the dynamic linker finds it; whole outputs
  # are read (no early exit) so that no writer dies of SIGPIPE.
  path="$(ldconfig -p | awk -v l="$lib" -v a="$(uname -m | tr _ -)" '$1 == l && index(tolower($0), tolower(a)) && !p {p = $NF} END {print p}')"
  [ -n "$path" ] || fail "the dynamic linker does not find $lib"
  owner="$( (dpkg -S "$(realpath "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null || true) |
    awk -F: 'NR == 1 {print $1}')"
  [ -n "$owner" ] || fail "no package owns $lib ($path)"
  grep -qxF "$owner" <<<"$depends_names" || fail "$lib comes from $owner, which Depends does not name"
done

if command -v lintian >/dev/null; then
  # Errors and warnings fail; informational tags are shown.
  lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
    fail "lintian found errors or warnings"
else
  echo "lintian is not installed: no lintian check"
fi
echo "package contents check: $(basename "$deb"): $(wc -l <"$work/files.txt") entries, Depends: $(field Depends)"
