#!/bin/bash
# Installs the Debian package on a fresh, minimal Debian 12 (a chroot that
# mmdebstrap makes from this machine's apt sources, thrown away at the end):
#   check_deb_fresh_debian.sh DEB
# apt-get install ./DEB must pull in every dependency by itself and the maintainer
# scripts must work where no systemd runs; the installed agent must start and
# answer GetPrinters (no cupsd runs there: an empty list or a failure text, but
# 200 with JSON), then apt-get purge must leave nothing of it. Needs root, network
# access to the apt sources, and 127.0.0.1:6780 free (the chroot shares the
# network). Not a ctest test for those reasons; takes about a minute.
set -euo pipefail
deb="$(realpath "$1")"
sources=/etc/apt/sources.list.d/debian.sources
[ "$(id -u)" -eq 0 ] || { echo "needs root" >&2; exit 1; }
[ -f "$sources" ] || sources=/etc/apt/sources.list
command -v mmdebstrap >/dev/null || { echo "needs mmdebstrap (apt-get install mmdebstrap)" >&2; exit 1; }
if (exec 3<>/dev/tcp/127.0.0.1/6780) 2>/dev/null; then
  echo "something listens on 127.0.0.1:6780; stop it first" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$deb" "$work/"
name="$(basename "$deb")"
cat >"$work/inside.sh" <<'INSIDE'
#!/bin/bash
# Runs inside the chroot.
set -euo pipefail
name="$1"
fail() { echo "fresh Debian check: $*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
echo "-- on $(. /etc/os-release && echo "$PRETTY_NAME"), $(dpkg-query -W -f='${Status}\n' | grep -c 'ok installed') packages;" \
  "systemctl: $(command -v systemctl || echo none); systemd running: $([ -d /run/systemd/system ] && echo yes || echo no)"
echo "-- apt-get install ./$name"
cd /tmp
apt-get install -y -q -o Dpkg::Use-Pty=0 "./$name" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get install failed"; }
grep -E '^(Setting up|Created symlink)' /tmp/apt.log | sed 's/^/   /'
[ "$(dpkg-query -W -f='${Status}' kelo-print-agent)" = "install ok installed" ] || fail "not installed"
[ -L /etc/systemd/user/default.target.wants/kelo-print-agent.service ] || fail "the unit is not enabled for all users"
[ "$(stat -c '%a %U:%G' /var/lib/kelo)" = "755 root:root" ] || fail "/var/lib/kelo is $(stat -c '%a %U:%G' /var/lib/kelo)"
echo "-- the agent starts and answers"
/usr/bin/kelo-print-agent >/tmp/agent.log 2>&1 &
pid=$!
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/6780) 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat /tmp/agent.log; fail "the agent ended at start"; }
  sleep 0.1
done
# No curl in a minimal system: bash's own TCP, the request in one write.
request=$'POST /klapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n'
exec 3<>/dev/tcp/127.0.0.1/6780
printf '%s' "$request" >&3
answer="$(cat <&3 || true)"
exec 3<&-
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
head -n 1 <<<"$answer" | grep -q ' 200 ' || fail "GetPrinters answered: $(head -n 1 <<<"$answer")"
grep -q '"statusCode"' <<<"$answer" || fail "no JSON in the answer: $answer"
[ "$rc" = 0 ] || fail "the agent ended with $rc after SIGTERM"
echo "   $(head -n 1 <<<"$answer" | tr -d '\r'); $(tr -d '\n\t' <<<"${answer#*$'\r\n\r\n'}")"
echo "-- apt-get purge kelo-print-agent"
apt-get purge -y -q -o Dpkg::Use-Pty=0 kelo-print-agent >>/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "purge failed"; }
[ -z "$(dpkg-query -W -f='${Status}' kelo-print-agent 2>/dev/null)" ] || fail "dpkg still knows the package"
for path in /usr/bin/kelo-print-agent /usr/libexec/kelo-print-agent /usr/lib/systemd/user/kelo-print-agent.service /var/lib/kelo \
  /etc/systemd/user/default.target.wants/kelo-print-agent.service \
  /var/lib/systemd/deb-systemd-user-helper-enabled/kelo-print-agent.service.dsh-also; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after purge"
done
echo "fresh Debian check: installed with its dependencies, served, purged without leftovers"
INSIDE
chmod 0755 "$work/inside.sh"

# The chroot only exists during the hook; mmdebstrap writes nothing for /dev/null.
mmdebstrap --quiet --mode=root --variant=apt \
  --customize-hook="cp '$work/$name' '$work/inside.sh' \"\$1/tmp/\"" \
  --customize-hook="chroot \"\$1\" /tmp/inside.sh '$name'" \
  bookworm /dev/null "$sources"
