#!/usr/bin/env bash
# End-to-end demonstration: builds the release configuration, then, inside a
# private mount namespace with its own demo account database (the host's
# accounts are never touched), runs the password check helper once per
# question and as a datagram server.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${DEMO_ISOLATED:-}" ]; then
  cd "$top"
  scripts/deps.sh
  cmake --preset release >/dev/null
  cmake --build --preset release
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo: run as root (it needs a private mount namespace)" >&2
    exit 1
  fi
  exec env DEMO_ISOLATED=1 unshare --mount --propagation private "$0" "$@"
fi

bin="$top/build/release"
passcheck="$bin/passcheck/passcheck"
query="$bin/helperproto/helperquery"
work=$(mktemp -d /tmp/demo.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "A private account database: alice (password 'wonderland'), carol (locked)"
hash=$(printf 'wonderland\n' | "$bin/testsupport/mkhash" '$y$')
today=$(( $(date +%s) / 86400 ))
printf 'root:x:0:0:root:/root:/bin/bash\nalice:x:1001:1001:Alice:/home/alice:/bin/sh\ncarol:x:1002:1002:Carol:/home/carol:/bin/sh\n' >"$work/passwd"
printf 'root:x:0:\nalice:x:1001:\ncarol:x:1002:\n' >"$work/group"
printf 'root:*:%d:0:99999:7:::\nalice:%s:%d:0:99999:7:::\ncarol:!%s:%d:0:99999:7::%d:\n' \
  "$today" "$hash" "$today" "$hash" "$today" "$((today - 1))" >"$work/shadow"
chmod 600 "$work/shadow"
: >"$work/lastlog"
printf 'passwd: files\ngroup: files\nshadow: files\n' >"$work/nsswitch.conf"
for f in passwd group shadow nsswitch.conf; do mount --bind "$work/$f" "/etc/$f"; done
mount --bind "$work/lastlog" /var/log/lastlog
sed 's/:[^:]*:/:<hash>:/' /etc/shadow

step "One-shot: passcheck -v alice (right, then wrong password)"
printf 'wonderland\n' | "$passcheck" -v alice && echo "exit 0: valid" || echo "exit $?"
printf 'guess\n' | "$passcheck" -v alice && echo "exit 0" || echo "exit $?: password does not match"
echo "last-login record of uid 1001 (line, host):"
dd if=/var/log/lastlog bs=292 skip=1001 count=1 status=none | od -A d -t c -j 4 -N 48 | head -3

step "Server: passcheck --server $work/passcheck.sock"
"$passcheck" --server "$work/passcheck.sock" &
server_pid=$!
for _ in $(seq 200); do [ -S "$work/passcheck.sock" ] && break; sleep 0.01; done
echo "status query for alice (type 2):"; "$query" "$work/passcheck.sock" 2 alice
echo "status query for carol (type 2; 1 locked | 2 expired):"; "$query" "$work/passcheck.sock" 2 carol
echo "expiry query for carol (type 3):"; "$query" "$work/passcheck.sock" 3 carol
echo "password check for alice (type 1):"; "$query" "$work/passcheck.sock" 1 alice wonderland

step "The account library (acctsrc) in Socket mode, through that server"
acctdemo="$bin/acctsrc/acctdemo"
"$acctdemo" Socket "$work/passcheck.sock" users
printf 'wonderland\n' | "$acctdemo" Socket "$work/passcheck.sock" validate alice
printf 'guess\n' | "$acctdemo" Socket "$work/passcheck.sock" validate alice || true

step "Shutdown: passcheck --shutdown"
"$passcheck" --shutdown "$work/passcheck.sock"
wait "$server_pid"
echo "server exited with $?"
server_pid=

step "boardprobe: the three hardware identifiers of a bundled sample SMBIOS table"
# BOARDPROBE_DMI_TABLES stands in for /sys/firmware/dmi/tables (refused when set-user-ID).
BOARDPROBE_DMI_TABLES="$top/boardprobe/samples/dmi" "$bin/boardprobe/boardprobe"
echo "the same through its datagram server (request type 1):"
BOARDPROBE_DMI_TABLES="$top/boardprobe/samples/dmi" "$bin/boardprobe/boardprobe" --server "$work/boardprobe.sock" &
server_pid=$!
for _ in $(seq 200); do [ -S "$work/boardprobe.sock" ] && break; sleep 0.01; done
"$query" "$work/boardprobe.sock" 1
"$bin/boardprobe/boardprobe" --shutdown "$work/boardprobe.sock"
wait "$server_pid"
server_pid=
