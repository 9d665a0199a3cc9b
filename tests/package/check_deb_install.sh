#!/bin/bash
# Installs the Debian package on this machine with apt, runs the installed agent,
# then removes and purges it:
#   check_deb_install.sh DEB PPD_TEMPLATE
# Changes the real system (root only; exit 77 = skipped otherwise), so it refuses to
# run where the package is already installed or port 6780 is taken, and on every
# way out it puts back what it found: package purged, dependencies that apt added
# purged again, /var/lib/kelo and the user units' enablement as they were.
# The agent talks to a cupsd of the test's own (its files in a temporary folder,
# one label queue from PPD_TEMPLATE), so the system's printers do not matter.
set -euo pipefail
deb="$(realpath "$1")" ppd_template="$2"
package=kelo-print-agent
unit=kelo-print-agent.service
unit_path=/usr/lib/systemd/user/$unit
wants_link=/etc/systemd/user/default.target.wants/$unit
queue=KeloPkgTest
port=6780
unset KELO_DATA_DIR  # the agent must find the package's directory by itself

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing a package needs root"
  exit 77
fi
fail() { echo "package install check: $*" >&2; exit 1; }
step() { echo "-- $*"; }

package_state() { dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || echo not-installed; }
port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
# Where enabling a user unit leaves traces: the links and deb-systemd-helper's state.
systemd_user_state() {
  local dir
  for dir in /etc/systemd/user /var/lib/systemd/deb-systemd-user-helper-enabled \
    /var/lib/systemd/deb-systemd-user-helper-masked; do
    if [ -e "$dir" ]; then find "$dir" -printf '%y %p %l\n'; fi
  done | sort
}
installed_packages() { dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' | awk '$1 == "installed" {print $2}' | sort; }

state="$(package_state)"
[ "$state" = not-installed ] || fail "$package is already on this machine ($state); remove and purge it first"
port_taken && fail "something already listens on 127.0.0.1:$port; stop it first"

work="$(mktemp -d)"
chmod 0755 "$work"
systemd_user_state >"$work/systemd-before.txt"
installed_packages >"$work/packages-before.txt"
had_data_dir=0
if [ -e /var/lib/kelo ]; then
  had_data_dir=1
  cp -a /var/lib/kelo "$work/kelo-before"
fi
agent_pid="" cupsd_pid=""

restore() {
  local rc=$?
  set +e
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  if [ "$(package_state)" != not-installed ]; then
    echo "restoring: purging $package" >&2
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=300 "$package" >>"$work/apt.log" 2>&1
  fi
  local added
  added="$(installed_packages | comm -13 "$work/packages-before.txt" -)"
  if [ -n "$added" ]; then
    echo "restoring: purging what apt added: $added" >&2
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=300 $added >>"$work/apt.log" 2>&1
  fi
  rm -rf /var/lib/kelo
  [ "$had_data_dir" = 1 ] && cp -a "$work/kelo-before" /var/lib/kelo
  # Links and state files of this unit that a failed step left, and the empty
  # directories deb-systemd-helper removes after a purge.
  rm -f "$wants_link" /var/lib/systemd/deb-systemd-user-helper-enabled/$unit.dsh-also \
    /var/lib/systemd/deb-systemd-user-helper-enabled/default.target.wants/$unit
  awk '$1 == "d" {print $2}' "$work/systemd-before.txt" | while read -r dir; do mkdir -p "$dir"; done
  systemd_user_state | comm -13 "$work/systemd-before.txt" - | awk '$1 == "d" {print $2}' | sort -r |
    while read -r dir; do rmdir "$dir" 2>/dev/null; done
  if ! systemd_user_state | cmp -s "$work/systemd-before.txt" -; then
    echo "could not restore the user units' state; differences (< before, > now):" >&2
    systemd_user_state | diff "$work/systemd-before.txt" - >&2
    rc=1
  fi
  [ -n "$cupsd_pid" ] && kill "$cupsd_pid" 2>/dev/null && wait "$cupsd_pid" 2>/dev/null
  if [ "$rc" -ne 0 ] && [ -f "$work/apt.log" ]; then
    echo "apt's output:" >&2
    tail -n 40 "$work/apt.log" >&2
  fi
  rm -rf "$work"
  exit "$rc"
}
trap restore EXIT
trap 'exit 130' INT TERM

apt_get() {
  echo "\$ apt-get $*" >>"$work/apt.log"
  # Waits for the dpkg lock rather than failing when another apt run holds it.
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 -o DPkg::Lock::Timeout=300 "$@" \
    >>"$work/apt.log" 2>&1 ||
    fail "apt-get $* failed"
}
mode_owner() { stat -c '%a %U:%G' "$1"; }
expect_mode() {  # path "mode user:group"
  [ -e "$1" ] || fail "$1 is missing"
  [ "$(mode_owner "$1")" = "$2" ] || fail "$1 is $(mode_owner "$1"), expected $2"
}

# The queue the agent will list: a cupsd of the test's own on a free loopback port.
# Not on a local socket only: the agent asks for a queue's details at its
# printer-uri-supported, which names localhost and the port it was reached on.
start_own_cupsd() {
  local d="$work/cups" cups_port
  cups_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  mkdir -p "$d/etc/ppd" "$d/spool" "$d/cache" "$d/state" "$d/tmp" "$d/log"
  cat >"$d/etc/cupsd.conf" <<CONF
Listen 127.0.0.1:$cups_port
ServerName localhost
Browsing No
LogLevel warn
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  cat >"$d/etc/cups-files.conf" <<CONF
ServerRoot $d/etc
RequestRoot $d/spool
CacheDir $d/cache
StateDir $d/state
TempDir $d/tmp
AccessLog $d/log/access_log
ErrorLog $d/log/error_log
PageLog $d/log/page_log
FileDevice Yes
CONF
  cupsd -f -c "$d/etc/cupsd.conf" -s "$d/etc/cups-files.conf" >"$d/log/stdout" 2>&1 &
  cupsd_pid=$!
  export CUPS_SERVER="localhost:$cups_port"
  for _ in $(seq 100); do
    lpstat -r >/dev/null 2>&1 && break
    kill -0 "$cupsd_pid" 2>/dev/null || fail "the test's cupsd ended: $(cat "$d/log/stdout" "$d/log/error_log" 2>/dev/null)"
    sleep 0.05
  done
  sed -e 's/@DPI@/300/g' -e 's/@PAGE@/w144h216/g' "$ppd_template" >"$d/label.ppd"
  # "Printer drivers are deprecated" is CUPS's notice about PPD files; they still work.
  lpadmin -p "$queue" -E -v file:/dev/null -P "$d/label.ppd" 2>/dev/null || fail "lpadmin could not add $queue"
  [ "$(lpstat -e)" = "$queue" ] || fail "the test's cupsd lists '$(lpstat -e)', expected only $queue"
}

# Status and body of one call; the body goes to $work/body.
call() {  # GET|POST path
  local data=()
  [ "$1" = POST ] && data=(-d '')
  curl -s -m 10 "${data[@]}" -o "$work/body" -w '%{http_code}' "http://127.0.0.1:$port$2" || true
}
check_json() {  # description, then a Python expression over the parsed answer `a`
  python3 - "$work/body" "$2" <<'PY' || fail "$1: $(cat "$work/body")"
import json, sys
a = json.load(open(sys.argv[1], encoding='utf-8'))
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
}

step "apt-get install $deb"
apt_get install "$deb"
[ "$(dpkg-query -W -f='${Status}' "$package")" = "install ok installed" ] || fail "not installed after apt-get install"
expect_mode /usr/bin/kelo-print-agent "755 root:root"
expect_mode /usr/libexec/kelo-print-agent/kelo-image-decoder "755 root:root"
expect_mode "$unit_path" "644 root:root"
expect_mode /var/lib/kelo "755 root:root"
[ -d /var/lib/kelo ] || fail "/var/lib/kelo is not a directory"
expect_mode /usr/share/man/man1/kelo-print-agent.1.gz "644 root:root"
expect_mode /usr/share/doc/$package/copyright "644 root:root"
dpkg -L "$package" | grep -qx /var/lib/kelo || fail "dpkg does not list /var/lib/kelo as the package's"

step "enabled for every user"
[ -L "$wants_link" ] || fail "$wants_link is missing: the unit is not enabled globally"
[ "$(readlink "$wants_link")" = "$unit_path" ] || fail "$wants_link points to $(readlink "$wants_link")"
enabled="$(systemctl --global is-enabled "$unit" 2>&1 || true)"
[ "$enabled" = enabled ] || fail "systemctl --global is-enabled says '$enabled'"

step "systemd-analyze verify $unit_path"
# Only the unit's own lines count: verify also loads the units it is ordered against.
verify_out="$(systemd-analyze verify "$unit_path" 2>&1)" || fail "systemd-analyze verify failed: $verify_out"
if grep -i 'kelo' <<<"$verify_out"; then fail "systemd-analyze verify warned about the unit"; fi
exec_start="$(sed -n 's/^ExecStart=//p' "$unit_path")"
[ "$exec_start" = /usr/bin/kelo-print-agent ] || fail "the unit starts '$exec_start'"

step "the installed agent serves (its own cupsd with queue $queue)"
start_own_cupsd
# What the unit starts, in the foreground, as the tests start programs.
$exec_start >"$work/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 200); do
  port_taken && break
  kill -0 "$agent_pid" 2>/dev/null || fail "the agent ended at start: $(cat "$work/agent.log")"
  sleep 0.05
done
port_taken || fail "the agent does not listen on 127.0.0.1:$port after 10 s"
status="$(call POST /klapi/GetPrinters)"
[ "$status" = 200 ] || fail "POST /klapi/GetPrinters answered $status"
check_json "POST /klapi/GetPrinters" "a['statusCode'] == '10001' and a['resultInfo']['printers'] == [{'name': '$queue'}]"
# The API is POST only, as on Windows: GET gets the error page.
status="$(call GET /klapi/GetPrinters)"
if [ "$status" != 404 ] || ! grep -q 'Error Status' "$work/body"; then
  fail "GET /klapi/GetPrinters answered $status: $(head -c 200 "$work/body")"
fi
status="$(call POST "/klapi/GetPrinterResolution?printName=$queue")"
[ "$status" = 200 ] || fail "GetPrinterResolution answered $status"
check_json "the queue's own resolution" "a['resultInfo']['xDPI'] == 300 and a['resultInfo']['physicalWidth'] == 600"
# The package's data directory is the one the agent reads by default.
printf '[Print Settings]\nResolution=306\n' >"/var/lib/kelo/$queue.ini"
status="$(call POST "/klapi/GetPrinterResolution?printName=$queue")"
check_json "the resolution from /var/lib/kelo/$queue.ini" "a['resultInfo']['xDPI'] == 306"
# A print needs the installed decoder where the agent looks for it.
{ printf 'data:image/png;base64,'; convert -size 20x10 xc:black png:- | base64 -w0; } >"$work/label.txt"
status="$(curl -s -m 30 --data-binary @"$work/label.txt" -H 'Content-Type: text/plain' -o "$work/body" \
  -w '%{http_code}' "http://127.0.0.1:$port/klapi/PrintImage?printName=$queue" || true)"
[ "$status" = 200 ] || fail "PrintImage answered $status"
check_json "a PNG printed through /usr/libexec/kelo-print-agent/kelo-image-decoder" "a['statusCode'] == '10001'"

kill -TERM "$agent_pid"
rc=0
for _ in $(seq 100); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$agent_pid" 2>/dev/null && fail "the agent still runs 5 s after SIGTERM"
wait "$agent_pid" || rc=$?
agent_pid=""
[ "$rc" = 0 ] || fail "the agent ended with $rc after SIGTERM; its output: $(tail -n 20 "$work/agent.log")"
port_taken && fail "port $port is still taken after the agent ended"
[ -s "$work/agent.log" ] || fail "the agent wrote no diagnostic lines"
iconv -f UTF-8 -t UTF-8 "$work/agent.log" >/dev/null || fail "the agent's output is not UTF-8"

step "apt-get remove: program and enablement go, the settings stay"
apt_get remove "$package"
for path in /usr/bin/kelo-print-agent /usr/libexec/kelo-print-agent "$unit_path" /usr/share/man/man1/kelo-print-agent.1.gz; do
  [ ! -e "$path" ] || fail "$path is still there after removal"
done
[ ! -L "$wants_link" ] || fail "$wants_link is still there after removal"
[ ! -e /var/lib/systemd/deb-systemd-user-helper-enabled/$unit.dsh-also ] ||
  fail "deb-systemd-helper still records the unit after removal"
[ -f "/var/lib/kelo/$queue.ini" ] || fail "removal deleted the settings file in /var/lib/kelo"

step "installed again: enabled again; a global disable is kept when it is installed over itself"
apt_get install "$deb"
[ -L "$wants_link" ] || fail "not enabled again after installing once more"
systemctl --global disable "$unit" >/dev/null 2>&1 || fail "systemctl --global disable failed"
apt_get install --reinstall "$deb"
[ ! -L "$wants_link" ] || fail "reinstalling enabled the unit that the administrator disabled"

step "apt-get purge: nothing left"
apt_get purge "$package"
[ "$(package_state)" = not-installed ] || fail "dpkg still knows $package after purge ($(package_state))"
[ ! -e /var/lib/kelo ] || fail "/var/lib/kelo is still there after purge"
if ! systemd_user_state | cmp -s "$work/systemd-before.txt" -; then
  fail "the user units' state differs from before (< before, > after): $(systemd_user_state | diff "$work/systemd-before.txt" -)"
fi
added="$(installed_packages | comm -13 "$work/packages-before.txt" -)"
echo "package install check: installed, served, removed and purged; apt added: ${added:-nothing}"
