#!/usr/bin/env bash
# Builds Vaultline, its stand-in SDK and the archive-server simulator, then shows the service's
# whole job on loopback: a target and three clients (one stale, one correct, one malformed), then
# a change of the target's address. Vaultline's log goes to this terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vaultline kxAPI archive-simulator

build=$PWD/build/default
work=$(mktemp -d)
simulator_pid=
service_pid=
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  [ -n "$simulator_pid" ] && kill "$simulator_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# write_fleet TARGET_IP STALE_PATH [PORT_OF_EACH_SERVER...]
write_fleet() {
  local target_ip=$1 stale_path=$2 target_port=${3:-0} stale_port=${4:-0} correct_port=${5:-0} \
    malformed_port=${6:-0}
  cat > "$work/fleet.xml" <<EOF
<Fleet>
  <Server name="target" address="127.0.0.1" port="$target_port" username="admin" password="demo">
    <Adapter name="lo" description="Loopback" mac="00:00:00:00:00:00" ip="127.0.0.1"
             connected="true" dhcp="false"/>
    <Adapter name="eth0" description="Onboard NIC" mac="52:54:00:12:34:56" ip="$target_ip"
             connected="true" dhcp="true"/>
  </Server>
  <Server name="stale" address="127.0.0.2" port="$stale_port" username="backup" password="demo">
    <Target id="1" enabled="true" path="$stale_path"/>
  </Server>
  <Server name="correct" address="127.0.0.3" port="$correct_port" username="backup" password="demo">
    <Target id="1" enabled="true" path="\\\\10.0.0.5\\archive"/>
  </Server>
  <Server name="malformed" address="127.0.0.4" port="$malformed_port" username="backup" password="demo">
    <Target id="1" enabled="true" path="archive-share"/>
  </Server>
</Fleet>
EOF
}

# wait_until WHAT COMMAND...: polls the simulator's output until COMMAND succeeds, so the demo
# keeps pace with a slow machine; gives up after a minute.
wait_until() {
  local what=$1 deadline=$((SECONDS + 60))
  shift
  until "$@"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "demo: gave up waiting for $what" >&2
      return 1
    fi
    sleep 0.1
  done
}
# has_path SERVER PATH: the simulator's state shows SERVER's target with PATH.
has_path() {
  sed -n "/<Server name=\"$1\"/,/<\/Server>/p" "$work/state.xml" 2>/dev/null |
    grep -qF "path=\"$2\""
}
# seen TEXT [TIMES]: the simulator has reported TEXT on at least TIMES lines (default once).
seen() { [ "$(grep -cF "$1" "$work/simulator.out")" -ge "${2:-1}" ]; }

port_of() { sed -n "s/^listening name=$1 .* port=\([0-9]*\)$/\1/p" "$work/simulator.out"; }

show_state() {
  echo "--- simulator state: archive-target paths ---"
  sed -n 's/.*<Server name="\([^"]*\)".*/\1/p; s/.*<Target id="\([^"]*\)".*path="\([^"]*\)".*/    target \1: \2/p' \
    "$work/state.xml"
  echo "---------------------------------------------"
}

write_fleet 10.0.0.5 '\\nas01\archive\daily'
"$build/simulator/archive-simulator" --fleet "$work/fleet.xml" --state "$work/state.xml" \
  > "$work/simulator.out" 2> "$work/simulator.err" &
simulator_pid=$!
wait_until "the simulator to listen" grep -q '^ready' "$work/simulator.out" ||
  { cat "$work/simulator.err"; exit 1; }

cat > "$work/vaultline.conf" <<EOF
<Vaultline>
  <ArchiveTarget Address="127.0.0.1" Port="$(port_of target)" Username="admin" Password="demo"/>
  <ArchiveClients Username="backup" Password="demo">
    <ArchiveClient Address="127.0.0.2" Port="$(port_of stale)"/>
    <ArchiveClient Address="127.0.0.3" Port="$(port_of correct)"/>
    <ArchiveClient Address="127.0.0.4" Port="$(port_of malformed)"/>
  </ArchiveClients>
</Vaultline>
EOF

echo "=== the archive target is at 10.0.0.5; client paths before Vaultline starts ==="
show_state
echo "=== starting: vaultline -c (in $work) ==="
(cd "$work" && exec "$build/src/vaultline" -c) &
service_pid=$!
wait_until "the stale client's update" has_path stale '\\10.0.0.5\archive\daily'
wait_until "the correct client to be left alone" seen 'disconnect name=correct'
wait_until "the malformed client's login" seen 'login name=malformed user=backup result=accepted'
show_state

echo "=== the archive target's address changes to 10.0.0.77 (fleet file edited, SIGHUP) ==="
write_fleet 10.0.0.77 '\\10.0.0.5\archive\daily' "$(port_of target)" "$(port_of stale)" \
  "$(port_of correct)" "$(port_of malformed)"
kill -HUP "$simulator_pid"
wait_until "the simulator's reload" seen 'reload result=ok'
wait_until "the stale client's update" has_path stale '\\10.0.0.77\archive\daily'
wait_until "the correct client's update" has_path correct '\\10.0.0.77\archive'
wait_until "the malformed client's login" seen 'login name=malformed user=backup result=accepted' 2
show_state

echo "=== stopping with SIGTERM ==="
kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
service_pid=
echo "vaultline exited with status $status"
exit "$status"
