#!/usr/bin/env bash
# The packages under a real systemd: a Debian 12 root made with debootstrap, booted with
# systemd-nspawn on a private network, both packages installed inside with apt-get, and what the
# units promise checked against the packaged simulator on loopback: their exposure score,
# readiness and the status line, the rewrites, a reload's recheck, the example on-change command
# in the sandbox, restarts after SIGKILL and after a watchdog timeout, a clean stop, two instances
# that cannot read each other's configuration, reinstall and upgrade, a journal that keeps every
# line of a change across 8,000 clients, remove and purge.
# Prints each check and its time; the container is always torn down.
#   boot_test.sh BUILD_DIR
# The root is booted before the packages go in. Where this machine cannot boot a container at all
# (systemd-nspawn stops at once, as where / is not a mount point in a chroot, or the container's
# systemd is not running within 60 s), the test says so in one line and is skipped, as it is
# without root or a tool it needs.
# VAULTLINE_BOOT_CACHE: folder keeping a prepared root between runs (default
# /var/cache/vaultline-boot-test; set it empty to keep none). VAULTLINE_BOOT_MIRROR: the Debian
# mirror (default: the one apt on this machine uses). VAULTLINE_BOOT_REQUIRED=1 (any value but
# empty or 0; .ci/run sets it) turns every skip into a failure: the test then passes only by
# booting the packages.
set -euo pipefail
export LC_ALL=C

build=$(realpath "$1")

skip() {
  if [ -n "${VAULTLINE_BOOT_REQUIRED:-}" ] && [ "$VAULTLINE_BOOT_REQUIRED" != 0 ]; then
    echo "boot test failed: $* (it may not be skipped: VAULTLINE_BOOT_REQUIRED=$VAULTLINE_BOOT_REQUIRED)" >&2
    exit 1
  fi
  echo "boot test skipped: $*"
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
for tool in systemd-nspawn debootstrap nsenter chroot; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done

suite=bookworm
include=systemd,systemd-sysv,dbus
cache=${VAULTLINE_BOOT_CACHE-/var/cache/vaultline-boot-test}
mirror=${VAULTLINE_BOOT_MIRROR:-$(apt-get indextargets --no-release-info \
  --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' 2>/dev/null |
  awk -v suite="$suite" '$2 == suite && $3 == "main" { print $1; exit }')}
mirror=${mirror:-http://deb.debian.org/debian/}

# The root lives in memory where there is room: dpkg's many fsyncs make a root on disk the
# slowest part of a run.
scratch=/dev/shm
[ -d "$scratch" ] && [ -w "$scratch" ] || scratch=${TMPDIR:-/tmp}
work=$(mktemp -d "$scratch/vaultline-boot.XXXXXX")
root=$work/root
nspawn_pid=
leader=
# Set once the container's systemd is up: one that never came up has nothing to power off in
# order, and is killed after 5 s without a word.
booted=

teardown() {
  local status=$?
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # nspawn answers SIGTERM by powering the container off in order.
    kill -TERM "$nspawn_pid"
    local tenths=50
    [ -z "$booted" ] || tenths=300
    for _ in $(seq "$tenths"); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      [ -z "$booted" ] || echo "the container did not power off within 30 s: killed" >&2
      # Killing the container's init ends every process in its PID namespace.
      [ -z "$leader" ] || kill -KILL "$leader" 2>/dev/null || true
      kill -KILL "$nspawn_pid" 2>/dev/null || true
    fi
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT TERM

started=$EPOCHREALTIME
since() { awk -v from="$1" -v now="$EPOCHREALTIME" 'BEGIN { printf "%.1f", now - from }'; }

# step NAME FUNCTION [ARGS...]: one check, printed with the time since the start and its own;
# a failure prints what the container logged and ends the test.
step() {
  local name=$1
  shift
  local begun=$EPOCHREALTIME
  if "$@"; then
    printf '[%6s s] ok    %-72s %6s s\n' "$(since "$started")" "$name" "$(since "$begun")"
    return
  fi
  printf '[%6s s] FAIL  %s\n' "$(since "$started")" "$name" >&2
  if [ -n "$leader" ]; then
    echo "--- the container's journal, last lines" >&2
    inside journalctl --no-pager -n 60 -o short-monotonic >&2 || true
  elif [ -f "$work/console.log" ]; then
    tail -n 30 "$work/console.log" >&2
  fi
  exit 1
}

# why TEXT: says what a check found wrong; returns false.
why() {
  echo "    $*" >&2
  return 1
}

# wait_for SECONDS COMMAND...: polls every 0.2 s until the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# A command in the booted container, with none of this shell's environment.
inside() {
  nsenter --target "$leader" --all -- /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LC_ALL=C "$@"
}
property() { inside systemctl show --property="$2" --value "$1"; }
apt_inside() { inside env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" >>"$work/apt.log" 2>&1; }

# ---- The packages and the root.

build_packages() {
  cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { tail -n 20 "$work/cpack.log" >&2; return 1; }
  service_deb=$(basename "$(ls "$work"/out/vaultline_*.deb)")
  simulator_deb=$(basename "$(ls "$work"/out/vaultline-simulator_*.deb)")
  # The upgrade: the same package under a higher version, which is what the maintainer scripts
  # see of any upgrade.
  local tree=$work/upgrade
  upgrade_version=$(dpkg-deb -f "$work/out/$service_deb" Version)+boottest
  upgrade_deb=vaultline_${upgrade_version}_amd64.deb
  dpkg-deb -R "$work/out/$service_deb" "$tree" &&
    sed -i "s/^Version: .*/Version: $upgrade_version/" "$tree/DEBIAN/control" &&
    dpkg-deb -Zgzip -b "$tree" "$work/out/$upgrade_deb" >/dev/null || return 1
  depends="$(dpkg-deb -f "$work/out/$service_deb" Depends), $(dpkg-deb -f "$work/out/$simulator_deb" Depends)"
}

make_root() {
  local stamp="$suite minbase $include $mirror"
  if [ -n "$cache" ] && [ -d "$cache/root" ] && [ "$(cat "$cache/stamp" 2>/dev/null)" = "$stamp" ]; then
    cp -a "$cache/root/." "$root/" || return 1
    echo "    copied from $cache"
  else
    debootstrap --variant=minbase --include="$include" "$suite" "$root" "$mirror" \
      >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log" >&2; return 1; }
    echo "    made with debootstrap from $mirror"
  fi
  # The packages' dependencies now, while there is a network: the booted container has none.
  # debootstrap leaves apt the package list it used; a stale one (a cached root after a point
  # release) is fetched again once.
  local satisfy=(chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get satisfy -y -q "$depends")
  "${satisfy[@]}" >>"$work/apt.log" 2>&1 ||
    { chroot "$root" apt-get update -qq && "${satisfy[@]}"; } >>"$work/apt.log" 2>&1 ||
    { tail -n 20 "$work/apt.log" >&2; return 1; }
  chroot "$root" apt-get clean
  if [ -n "$cache" ] && [ "$(cat "$cache/stamp" 2>/dev/null)" != "$stamp" ]; then
    mkdir -p "$cache" && rm -rf "$cache/root" "$cache/root.new" "$cache/stamp" &&
      cp -a "$root" "$cache/root.new" && mv "$cache/root.new" "$cache/root" &&
      echo "$stamp" >"$cache/stamp" || return 1
    echo "    kept in $cache for the next run"
  fi
  mkdir -p "$root/root/debs" "$root/root/sim" "$root/etc/systemd/journald.conf.d" &&
    cp "$work/out/"*.deb "$root/root/debs/" || return 1
  # journald lets a unit log 10,000 lines per 30 s by default, scaled up with the journal's free
  # space: capped at 128M, as on a host with little free disk, that is 25,000 lines, well below
  # what a change across 8,000 clients logs, however fast it goes.
  printf '[Journal]\nSystemMaxUse=128M\n' >"$root/etc/systemd/journald.conf.d/boot-test.conf"
}

# The root as make_root left it, no package of ours in it yet: a machine where it does not come up
# cannot boot a container at all, and the test is skipped before the packages go in.
boot() {
  systemd-nspawn --directory="$root" --boot --register=no --keep-unit --private-network \
    --machine="vaultline-boot-$$" --console=read-only >"$work/console.log" 2>&1 &
  nspawn_pid=$!
  local begun=$EPOCHREALTIME deadline=$((SECONDS + 60)) status
  system_state=
  until system_up; do
    if ! kill -0 "$nspawn_pid" 2>/dev/null; then
      status=0
      wait "$nspawn_pid" || status=$?
      nspawn_pid=
      cannot_boot "systemd-nspawn exited after $(since "$begun") s with status $status:" \
        "$(nspawn_error "$work/console.log")"
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      [ -n "$leader" ] || cannot_boot "systemd-nspawn started no init process within 60 s"
      cannot_boot "its systemd was not running within 60 s (system state '${system_state:-no answer}')"
    fi
    sleep 0.2
  done
  booted=1
}
# system_up: the container's init found and its systemd running or degraded; the state it
# reports kept in system_state.
system_up() {
  # The container's init is nspawn's child; read again until found alive.
  if [ -z "$leader" ] || ! kill -0 "$leader" 2>/dev/null; then
    leader=$(pgrep -P "$nspawn_pid" | head -n 1) || leader=
    [ -n "$leader" ] || return 1
  fi
  system_state=$(inside systemctl is-system-running 2>/dev/null) || true
  [[ $system_state == running || $system_state == degraded ]]
}
# nspawn_error FILE: nspawn's first "Failed to ..." line, which says why (the lines after it
# tell only of its end, "Short read while reading cgroup mode ..."), else its last line.
nspawn_error() {
  local line
  line=$(grep -m 1 '^Failed to ' "$1" | tr -d '\r') ||
    line=$(grep -v '^[[:space:]]*$' "$1" | tail -n 1 | tr -d '\r') || true
  echo "${line:-(no output)}"
}
cannot_boot() {
  skip "this machine cannot boot a container (a bare Debian 12 root, before the packages went" \
    "in): $*; the packages were not booted"
}

install_packages() {
  apt_inside install "/root/debs/$service_deb" "/root/debs/$simulator_deb" ||
    { tail -n 20 "$work/apt.log" >&2; return 1; }
  [ "$(property vaultline.service LoadState)" = loaded ] || why "vaultline.service not loaded"
}

# As systemd-analyze scores the units that run, on its 0-100 scale (20 is the 2.0 it prints).
exposure_at_most_2() {
  local unit output
  for unit in vaultline.service vaultline@site-a.service; do
    output=$(inside systemd-analyze security --threshold=20 "$unit" 2>&1) ||
      why "$unit: $(tail -n 1 <<<"$output")" || return 1
    echo "    $unit: $(sed -n 's/.*Overall exposure level for .*: //p' <<<"$output")"
  done
}

# ---- The fleet: two archive targets and five clients, all on port 22609 as real servers are.

write_small_fleet() {
  local client
  {
    echo '<Fleet>'
    echo '  <Server name="target-a" address="127.0.0.20" port="22609" username="admin" password="secret-a">'
    echo '    <Adapter name="eth0" ip="10.0.0.5"/>'
    echo '  </Server>'
    echo '  <Server name="target-b" address="127.0.0.30" port="22609" username="admin" password="secret-b">'
    echo '    <Adapter name="eth0" ip="10.0.0.6"/>'
    echo '  </Server>'
    for client in 21 22 23 24 25; do
      local path='\\nas01\archive\daily'
      [ "$client" != 25 ] || path='\\10.0.0.5\archive\daily'
      echo "  <Server name=\"client$client\" address=\"127.0.0.$client\" port=\"22609\" username=\"backup\" password=\"pw\">"
      echo "    <Target id=\"1\" path=\"$path\"/>"
      echo '  </Server>'
    done
    echo '</Fleet>'
  } >"$root/root/sim/small.xml"
}

# configuration NAME TARGET PASSWORD CLIENT...: /root/sim/NAME.conf.
configuration() {
  local name=$1 target=$2 password=$3 client
  shift 3
  {
    echo '<Vaultline>'
    echo "  <ArchiveTarget Address=\"$target\" Username=\"admin\" Password=\"$password\"/>"
    echo '  <ArchiveClients Username="backup" Password="pw">'
    for client in "$@"; do echo "    <ArchiveClient Address=\"$client\"/>"; done
    echo '  </ArchiveClients>'
    echo '</Vaultline>'
  } >"$root/root/sim/$name.conf"
}

# install_configuration NAME FOLDER: as the README tells an operator to.
install_configuration() {
  inside install -d -m 0750 -g vaultline "$2" &&
    inside install -m 0640 -g vaultline "/root/sim/$1.conf" "$2/vaultline.conf"
}

# start_simulator NAME: archive-simulator playing /root/sim/NAME.xml as unit NAME.
start_simulator() {
  inside systemd-run --quiet --unit="$1" --property=StandardOutput="file:/root/sim/$1.out" \
    --property=StandardError="file:/root/sim/$1.err" /usr/bin/archive-simulator \
    --fleet "/root/sim/$1.xml" --state "/root/sim/$1.state.xml" &&
    wait_for 60 grep -q '^ready' "$root/root/sim/$1.out" ||
    why "simulator $1 not ready: $(cat "$root/root/sim/$1.err" 2>/dev/null)"
}

# ---- What the units promise.

running() { [ "$(property "$1" ActiveState)/$(property "$1" SubState)" = active/running ]; }
# restarted UNIT PID: running again under another main process.
restarted() {
  local pid
  pid=$(property "$1" MainPID)
  [ "$pid" != 0 ] && [ "$pid" != "$2" ] && running "$1"
}
status_matches() { [[ $(property "$1" StatusText) =~ $2 ]]; }
# How the status line ends once every client has been checked, with the default recheck period.
recheck_due='; next recheck in [0-9]+ min$'
expect_status() {
  wait_for 30 status_matches "$1" "$2" ||
    why "$1 status '$(property "$1" StatusText)', expected /$2/"
}
# journal_has TEXT [JOURNALCTL ARGS...]. (grep -q would end the pipe early, failing it.)
journal_has() { [ "$(inside journalctl --no-pager -o cat "${@:2}" | grep -c -F -- "$1")" -gt 0 ]; }

starts_ready() {
  # Type=notify: start returns once the service has said READY=1.
  inside systemctl start vaultline.service && running vaultline.service &&
    [ "$(property vaultline.service Type)" = notify ] || why "not active (running) after start"
}

# Four stale paths rewritten, and the fifth already right.
every_path_names_the_target() {
  [ "$(grep -o -F 'path="\\10.0.0.5\archive\daily"' "$root/root/sim/small.state.xml" | wc -l)" -eq 5 ]
}
stale_paths_rewritten() {
  wait_for 30 every_path_names_the_target ||
    why "state file: $(grep -F 'path=' "$root/root/sim/small.state.xml")"
}

# ExecReload sends SIGUSR1: every client is checked again, and found right this time.
reload_rechecks_every_client() {
  local invocation
  invocation=$(property vaultline.service InvocationID)
  inside systemctl reload vaultline.service || why "reload failed" || return 1
  wait_for 30 journal_has '5 clients checked against 10.0.0.5 after the recheck: 5 correct, 0 rewritten, 0 failing' \
    "_SYSTEMD_INVOCATION_ID=$invocation" || why "no recheck settled after the reload" || return 1
  journal_has 'rechecking 5 clients against 10.0.0.5' "_SYSTEMD_INVOCATION_ID=$invocation" ||
    why "no recheck started" || return 1
  running vaultline.service || why "not running after the reload"
}

# The example on-change command, installed as the README says, under the unit's real sandbox:
# the folder it appends to is read-only until a ReadWritePaths= drop-in opens it.
on_change_needs_and_gets_a_writable_folder() {
  local folder=/var/lib/vaultline-changes dropin=$root/etc/systemd/system/vaultline.service.d
  inside install -D -m 0755 /usr/share/doc/vaultline/vaultline-on-change.example \
    /usr/local/libexec/vaultline-on-change &&
    inside install -d -m 0750 -o vaultline -g vaultline "$folder" || return 1
  sed -i 's|</Vaultline>|  <OnChange Command="/usr/local/libexec/vaultline-on-change"/>\n&|' \
    "$root/root/sim/single.conf"
  install_configuration single /etc/vaultline && inside systemctl restart vaultline.service ||
    return 1
  wait_for 30 journal_has 'on-change command (settled) exited with status 2' -u vaultline.service ||
    why "no failed run without the drop-in" || return 1
  journal_has "$folder/changes.log: Read-only file system" -u vaultline.service ||
    why "the command's complaint was not logged" || return 1
  mkdir -p "$dropin"
  printf '[Service]\nReadWritePaths=%s\n' "$folder" >"$dropin/on-change.conf"
  inside systemctl daemon-reload && inside systemctl restart vaultline.service || return 1
  wait_for 30 grep -qs ' settled 10.0.0.5 after a change: 5 correct, 0 rewritten, 0 failing$' \
    "$root$folder/changes.log" || why "changes.log: $(cat "$root$folder/changes.log" 2>&1)" ||
    return 1
  grep -q ' address none -> 10.0.0.5$' "$root$folder/changes.log" ||
    why "no address line: $(cat "$root$folder/changes.log")" || return 1
  echo "    $(head -n 1 "$root$folder/changes.log")"
}

restarts_after_sigkill() {
  local before begun took
  before=$(property vaultline.service MainPID)
  begun=$EPOCHREALTIME
  inside systemctl kill --signal=KILL vaultline.service
  wait_for 30 restarted vaultline.service "$before" || why "not restarted" || return 1
  took=$(since "$begun")
  echo "    restarted after $took s (RestartSec=5s)"
  [ "$(property vaultline.service NRestarts)" -ge 1 ] || why "NRestarts is 0" || return 1
  awk -v took="$took" 'BEGIN { exit !(took >= 4.5) }' || why "restarted before RestartSec"
}

restarts_after_watchdog_timeout() {
  local dropin=$root/etc/systemd/system/vaultline.service.d before
  mkdir -p "$dropin"
  printf '[Service]\nWatchdogSec=2s\n' >"$dropin/boot-test-watchdog.conf"
  inside systemctl daemon-reload && inside systemctl restart vaultline.service || return 1
  before=$(property vaultline.service MainPID)
  # A stopped process sends no pings, as a worker stuck in an SDK call would not.
  inside systemctl kill --kill-who=main --signal=STOP vaultline.service
  wait_for 40 restarted vaultline.service "$before" || why "not restarted" || return 1
  journal_has 'Watchdog timeout' -u vaultline.service || why "no watchdog timeout logged"
}

stops_with_success() {
  local invocation
  invocation=$(property vaultline.service InvocationID)
  inside systemctl stop vaultline.service || return 1
  rm -r "$root/etc/systemd/system/vaultline.service.d"
  inside systemctl daemon-reload
  [ "$(property vaultline.service ActiveState)" = inactive ] &&
    [ "$(property vaultline.service Result)" = success ] &&
    [ "$(property vaultline.service ExecMainStatus)" = 0 ] ||
    why "after stop: $(inside systemctl show -p ActiveState -p Result -p ExecMainStatus vaultline.service | xargs)" ||
    return 1
  journal_has 'caught signal 15' "_SYSTEMD_INVOCATION_ID=$invocation" || why "no 'caught signal 15'"
}

instances_run_side_by_side() {
  install_configuration site-a /etc/vaultline/site-a &&
    install_configuration site-b /etc/vaultline/site-b &&
    inside systemctl enable --quiet --now vaultline@site-a.service vaultline@site-b.service ||
    return 1
  # Each names its own target: site-a finds its clients already right, site-b rewrites its own.
  expect_status vaultline@site-a.service \
    '^target 10\.0\.0\.5 \(since [0-9:]+\); 2 clients correct, 0 rewritten, 0 failing'"$recheck_due" &&
    expect_status vaultline@site-b.service \
      '^target 10\.0\.0\.6 \(since [0-9:]+\); 0 clients correct, 2 rewritten, 0 failing'"$recheck_due"
}

# vaultline-status reads each instance's own file under /run/vaultline; the single-site unit,
# stopped before, left its last state in its own.
status_files_apart() {
  local a b check mode
  wait_for 20 inside test -f /run/vaultline/site-a/status.json || why "no site-a status file" ||
    return 1
  wait_for 20 inside test -f /run/vaultline/site-b/status.json || why "no site-b status file" ||
    return 1
  a=$(inside vaultline-status site-a) || why "vaultline-status site-a: $a" || return 1
  [[ $a == *"address 10.0.0.5 since"* && $a == *"2 clients: 2 correct"* ]] ||
    why "site-a reads: $a" || return 1
  b=$(inside vaultline-status site-b --all) || why "vaultline-status site-b: $b" || return 1
  [[ $b == *"address 10.0.0.6 since"* && $b != *"10.0.0.5"* ]] || why "site-b reads: $b" ||
    return 1
  check=$(inside vaultline-status site-a --check) || why "site-a --check: $check" || return 1
  [[ $check == "VAULTLINE OK - "* ]] || why "site-a --check: $check" || return 1
  mode=$(inside stat -c '%a %U %G' /run/vaultline/site-a /run/vaultline/site-a/status.json | xargs)
  [ "$mode" = "750 vaultline vaultline 640 vaultline vaultline" ] || why "modes: $mode" || return 1
  check=$(inside vaultline-status --check)
  [[ $? -eq 3 && $check == "VAULTLINE UNKNOWN - the service stopped"* ]] ||
    why "vaultline.service --check after its stop: $check"
}

# As site-a's service would: in its mount namespace, as user vaultline.
as_site_a() {
  inside nsenter --target "$(property vaultline@site-a.service MainPID)" --mount -- \
    setpriv --reuid=vaultline --regid=vaultline --clear-groups "$@"
}
instance_sees_only_its_own_configuration() {
  [[ $(as_site_a cat /etc/vaultline/site-a/vaultline.conf) == *secret-a* ]] ||
    why "site-a cannot read its own configuration" || return 1
  local other
  for other in /etc/vaultline/site-b/vaultline.conf /etc/vaultline/vaultline.conf; do
    if as_site_a cat "$other" >/dev/null 2>&1; then why "site-a can read $other"; return 1; fi
  done
}

reinstall_restarts_running_units() {
  local a b
  a=$(property vaultline@site-a.service MainPID)
  b=$(property vaultline@site-b.service MainPID)
  apt_inside install --reinstall "/root/debs/$service_deb" || return 1
  restarted vaultline@site-a.service "$a" && restarted vaultline@site-b.service "$b" ||
    why "instances not restarted"
}

configurations() {
  inside sh -c 'cd /etc/vaultline && find . -printf "%M %u %g %p\n" | sort &&
    find . -type f -exec sha256sum {} + | sort'
}
upgrade_keeps_configurations() {
  local a b before
  a=$(property vaultline@site-a.service MainPID)
  b=$(property vaultline@site-b.service MainPID)
  before=$(configurations)
  apt_inside install "/root/debs/$upgrade_deb" || return 1
  [ "$(inside dpkg-query -W -f '${Version}' vaultline)" = "$upgrade_version" ] ||
    why "not upgraded" || return 1
  [ "$(configurations)" = "$before" ] || why "configurations changed: $(configurations)" ||
    return 1
  restarted vaultline@site-a.service "$a" && restarted vaultline@site-b.service "$b" ||
    why "instances not restarted"
}

# One change across 8,000 clients, each on an address of its own and port 22609. journald
# reports suppressed lines only when the unit logs again after its 30 s window, so the unit is
# stopped after the window and the journal read after the stop's last line.
journal_keeps_a_large_change() {
  local clients=8000 unit=vaultline@big.service begun invocation kept suppressed
  awk -v n="$clients" 'BEGIN {
    print "<Fleet>"
    print "  <Server name=\"target\" address=\"127.0.0.40\" port=\"22609\" username=\"admin\" password=\"pw\">"
    print "    <Adapter name=\"eth0\" ip=\"10.0.0.7\"/>"
    print "  </Server>"
    for (i = 0; i < n; i++) {
      printf "  <Server name=\"c%d\" address=\"127.0.%d.%d\" port=\"22609\" username=\"backup\" password=\"pw\">\n", i, 1 + int(i / 250), 1 + i % 250
      print "    <Target id=\"1\" path=\"\\\\nas01\\archive\"/>"
      print "  </Server>"
    }
    print "</Fleet>"
  }' >"$root/root/sim/big-simulator.xml"
  awk -v n="$clients" 'BEGIN {
    print "<Vaultline>"
    print "  <ArchiveTarget Address=\"127.0.0.40\" Username=\"admin\" Password=\"pw\"/>"
    print "  <ArchiveClients Username=\"backup\" Password=\"pw\">"
    for (i = 0; i < n; i++) printf "    <ArchiveClient Address=\"127.0.%d.%d\"/>\n", 1 + int(i / 250), 1 + i % 250
    print "  </ArchiveClients>"
    print "</Vaultline>"
  }' >"$root/root/sim/big.conf"
  start_simulator big-simulator && install_configuration big /etc/vaultline/big || return 1

  begun=$EPOCHREALTIME
  inside systemctl start "$unit" || return 1
  invocation=$(property "$unit" InvocationID)
  wait_for 240 status_matches "$unit" " 0 clients correct, $clients rewritten, 0 failing" ||
    why "status '$(property "$unit" StatusText)'" || return 1
  echo "    $clients clients rewritten $(since "$begun") s after the start"
  sleep "$(awk -v from="$begun" -v now="$EPOCHREALTIME" 'BEGIN { s = from + 32 - now; print (s > 0 ? s : 0) }')"
  inside systemctl stop "$unit" || return 1
  wait_for 30 journal_has 'Program complete.' "_SYSTEMD_INVOCATION_ID=$invocation" ||
    why "the stop's last line never reached the journal" || return 1
  kept=$(inside journalctl --no-pager -o cat "_SYSTEMD_INVOCATION_ID=$invocation" |
    grep -c ': setting archive target address to ' || true)
  suppressed=$(inside journalctl --no-pager -o cat | grep "^Suppressed .* from $unit" || true)
  echo "    'setting archive target address' lines kept: $kept of $clients"
  inside systemctl stop big-simulator.service
  [ "$kept" -eq "$clients" ] || why "lines lost" || return 1
  [ -z "$suppressed" ] || why "journald: $suppressed"
}

remove_stops_units() {
  apt_inside remove vaultline || return 1
  local unit
  for unit in vaultline@site-a.service vaultline@site-b.service; do
    [ "$(property "$unit" ActiveState)" = inactive ] || why "$unit still $(property "$unit" ActiveState)" ||
      return 1
  done
  [ -f "$root/etc/vaultline/site-a/vaultline.conf" ] || why "configuration removed"
}

purge_forgets_enablement() {
  local wants=$root/etc/systemd/system/multi-user.target.wants
  [ -L "$wants/vaultline@site-a.service" ] || why "site-a was not enabled" || return 1
  apt_inside purge vaultline || return 1
  ! ls "$wants"/vaultline* >/dev/null 2>&1 || why "left: $(ls "$wants"/vaultline*)" || return 1
  [ -f "$root/etc/vaultline/site-a/vaultline.conf" ] || why "configuration removed"
}

echo "boot test in $work (mirror $mirror, cache ${cache:-none})"
step "build both packages and an upgrade" build_packages
step "Debian 12 root with the packages' dependencies" make_root
step "boot it before the packages go in: systemd-nspawn, private network" boot
step "apt-get install both packages inside" install_packages
step "systemd-analyze security: exposure 2.0 or lower, live" exposure_at_most_2

write_small_fleet
configuration single 127.0.0.20 secret-a 127.0.0.21 127.0.0.22 127.0.0.23 127.0.0.24 127.0.0.25
configuration site-a 127.0.0.20 secret-a 127.0.0.21 127.0.0.22
configuration site-b 127.0.0.30 secret-b 127.0.0.23 127.0.0.24
step "simulator: 2 targets and 5 clients on 127.0.0.x, all on port 22609" start_simulator small
step "configuration installed as the README says" install_configuration single /etc/vaultline
step "vaultline.service reaches active (running) with readiness" starts_ready
step "status line names the target's address and the counts" expect_status vaultline.service \
  '^target 10\.0\.0\.5 \(since [0-9:]+\); 1 client correct, 4 rewritten, 0 failing'"$recheck_due"
step "the simulator's state shows the rewrites" stale_paths_rewritten
step "systemctl reload rechecks every client" reload_rechecks_every_client
step "the example on-change command writes only with a ReadWritePaths= drop-in" \
  on_change_needs_and_gets_a_writable_folder
step "SIGKILL brings a restart" restarts_after_sigkill
step "a watchdog timeout (WatchdogSec=2s drop-in) brings a restart" restarts_after_watchdog_timeout
step "systemctl stop ends it with success" stops_with_success
step "two template instances run side by side, each with its own configuration" \
  instances_run_side_by_side
step "vaultline-status reads each instance's own status file, and --check is OK" \
  status_files_apart
step "site-a cannot open site-b's configuration, nor the single-site one" \
  instance_sees_only_its_own_configuration
step "reinstall restarts the running units" reinstall_restarts_running_units
step "upgrade keeps every configuration and restarts the units" upgrade_keeps_configurations
step "the journal keeps every line of a change across 8,000 clients" journal_keeps_a_large_change
step "remove stops the units and keeps the configuration" remove_stops_units
step "purge removes the enable links and keeps the configuration" purge_forgets_enablement
echo "boot test passed in $(since "$started") s"
