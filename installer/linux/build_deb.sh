#!/bin/bash
# Builds the Debian package of the native agent and prints its path:
#   build_deb.sh AGENT OUT_DIR [VERSION]
# AGENT is the built kelo-print-agent, or a linux-release build folder holding it
# (linux_agent/kelo-print-agent); its decoder is found where the agent looks for it,
# ../libexec/kelo-print-agent/kelo-image-decoder from its directory. VERSION defaults to the project version in the
# top-level CMakeLists.txt. Writes OUT_DIR/kelo-print-agent_VERSION_ARCH.deb.
# Dependencies come from dpkg-shlibdeps on the shipped binaries; every file's mode
# is set here and dpkg-deb makes everything root-owned, whoever builds.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 AGENT|BUILD_DIR OUT_DIR [VERSION]" >&2
  exit 2
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
agent="$1" out_dir="$2"
[ -d "$agent" ] && agent="$agent/linux_agent/kelo-print-agent"
decoder="$(dirname "$agent")/../libexec/kelo-print-agent/kelo-image-decoder"
for program in "$agent" "$decoder"; do
  if [ ! -x "$program" ]; then
    echo "no program at $program: build the linux-release preset first" >&2
    exit 1
  fi
done
version="${3:-$(sed -n 's/^project(Kelo VERSION \([0-9][0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")}"
if [[ ! "$version" =~ ^[0-9]+(\.[0-9]+)*$ ]]; then
  echo "cannot tell the version (got '$version')" >&2
  exit 1
fi
arch="$(dpkg --print-architecture)"
package=kelo-print-agent
maintainer="KELO <packages@kelo.invalid>"

# One time for every file, the changelog and the archive members, so that the same
# sources give the same package: SOURCE_DATE_EPOCH, else the last commit, else now.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$repo" log -1 --format=%ct 2>/dev/null || date +%s)"
fi
export SOURCE_DATE_EPOCH

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
root="$stage/root"
doc="$root/usr/share/doc/$package"
libexec="$root/usr/libexec/$package"
install -d -m 0755 "$root/usr/bin" "$libexec" "$root/usr/lib/systemd/user" "$root/usr/share/man/man1" "$doc" \
  "$root/var/lib/kelo" "$root/DEBIAN"

install -m 0755 "$agent" "$root/usr/bin/$package"
install -m 0755 "$decoder" "$libexec/kelo-image-decoder"
# As dh_strip does: no debug information or compiler notes in what ships (the build
# keeps them). The build id stays, so each binary can be matched to its build.
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/$package" \
  "$libexec/kelo-image-decoder"
install -m 0644 "$here/kelo-print-agent.service" "$root/usr/lib/systemd/user/kelo-print-agent.service"
sed "s/@VERSION@/$version/" "$here/kelo-print-agent.1" | gzip -9n >"$root/usr/share/man/man1/$package.1.gz"
install -m 0644 "$here/copyright" "$doc/copyright"
{
  echo "$package ($version) stable; urgency=medium"
  echo
  echo "  * Release $version of the KELO label printing agent for Linux."
  echo
  echo " -- $maintainer  $(LC_ALL=C date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.gz"
chmod 0644 "$root/usr/share/man/man1/$package.1.gz" "$doc/changelog.gz"
install -m 0755 "$here/postinst" "$here/postrm" "$root/DEBIAN/"

# dpkg-shlibdeps wants to run in a source tree: an empty debian/control is enough.
mkdir -p "$stage/debian"
: >"$stage/debian/control"
shlibs="$(cd "$stage" && dpkg-shlibdeps -O -e"root/usr/bin/$package" -e"root/usr/libexec/$package/kelo-image-decoder")"
depends="${shlibs#shlibs:Depends=}"
if [ -z "$depends" ] || [ "$depends" = "$shlibs" ]; then
  echo "dpkg-shlibdeps gave no dependencies: $shlibs" >&2
  exit 1
fi

(cd "$root" && find usr var -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"
# As dpkg-gencontrol counts: KiB per file rounded up, 1 per directory or link.
installed_size="$(cd "$root" && find usr var -printf '%y %s\n' |
  awk '$1 == "f" {kib += int(($2 + 1023) / 1024); next} {kib += 1} END {print kib}')"

cat >"$root/DEBIAN/control" <<CONTROL
Package: $package
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $installed_size
Depends: $depends
Recommends: cups-daemon
Section: misc
Priority: optional
Description: KELO label printing agent (HTTP API on 127.0.0.1:6780)
 Serves the KELO label printing API on 127.0.0.1:6780 for web pages in the
 user's own browser: it lists the CUPS queues, tells their resolution and
 paper size, and prints label images on them.
 .
 A systemd user unit, enabled for all users, starts it at every login of an
 ordinary user (not for root or system accounts).
CONTROL
chmod 0644 "$root/DEBIAN/control"

find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
mkdir -p "$out_dir"
deb="$(cd "$out_dir" && pwd)/${package}_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
