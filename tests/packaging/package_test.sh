#!/usr/bin/env bash
# Builds the Debian packages with cpack and checks what an operator gets: their contents, modes
# and metadata, lintian's verdict, the systemd units (verify and security score), the man pages,
# the packaged programs doing the whole job from an unpacked root, and the SDK swap.
#   package_test.sh BUILD_DIR SOURCE_DIR MARKER_LIBRARY
set -euo pipefail

build=$1
source=$2
marker=$3

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# wait_for SECONDS COMMAND...: polls every 0.1 s until the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

echo "=== man pages ==="
for page in "$source/packaging/vaultline.8" "$source/packaging/vaultline-check.8" \
  "$source/packaging/vaultline-status.8" \
  "$source/packaging/archive-simulator.1"; do
  if warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [ -z "$warnings" ]; then
    pass "$(basename "$page") renders without warnings"
  else
    fail "$(basename "$page"): $warnings"
  fi
done

echo "=== packages ==="
cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; exit 1; }
service_deb=$(ls "$work"/out/vaultline_*.deb)
simulator_deb=$(ls "$work"/out/vaultline-simulator_*.deb)
pass "built $(basename "$service_deb") and $(basename "$simulator_deb")"

for deb in "$service_deb" "$simulator_deb"; do
  echo "--- $(basename "$deb")"
  # Listings are saved first: grep -q ending a pipe early would fail it under pipefail.
  dpkg-deb -c "$deb" | awk '{print $6}' > "$work/$(basename "$deb").files"
  dpkg-deb -c "$deb" | awk '{print $1, $2, $6}'
  # Everything root-owned; nothing but symbolic links writable by group or others.
  dpkg-deb -c "$deb" | awk '$1 !~ /^l/ && (substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w")' \
    > "$work/writable"
  if [ -s "$work/writable" ]; then fail "writable by group or others: $(cat "$work/writable")"; fi
  dpkg-deb -c "$deb" | awk '$2 != "root/root"' > "$work/owners"
  if [ -s "$work/owners" ]; then fail "not owned by root: $(cat "$work/owners")"; fi
done

expect_files() {
  local deb=$1
  shift
  for file in "$@"; do
    grep -qx "./$file" "$work/$(basename "$deb").files" || fail "$(basename "$deb") lacks $file"
  done
}
expect_files "$service_deb" usr/sbin/vaultline usr/sbin/vaultline-check \
  usr/sbin/vaultline-status usr/share/man/man8/vaultline-status.8.gz \
  usr/lib/vaultline/libkxAPI.so usr/share/man/man8/vaultline-check.8.gz \
  usr/lib/systemd/system/vaultline.service usr/lib/systemd/system/vaultline@.service \
  usr/share/man/man8/vaultline.8.gz usr/share/doc/vaultline/copyright \
  usr/share/doc/vaultline/changelog.gz usr/share/doc/vaultline/vaultline.conf.example \
  usr/share/doc/vaultline/vaultline-on-change.example etc/vaultline/
expect_files "$simulator_deb" usr/bin/archive-simulator usr/share/man/man1/archive-simulator.1.gz \
  usr/share/doc/vaultline-simulator/README.md usr/share/doc/vaultline-simulator/copyright

depends=$(dpkg-deb -f "$service_deb" Depends)
echo "Depends: $depends"
for package in adduser procps libboost-log libtinyxml2 libc6; do
  [[ $depends == *"$package"* ]] || fail "vaultline does not depend on $package"
done
if [[ $depends == *kxapi* || $depends == *vaultline* ]]; then
  fail "vaultline depends on its own library"
fi
dpkg-deb --ctrl-tarfile "$service_deb" | tar -t > "$work/control.files"
for script in postinst prerm postrm; do
  grep -qx "./$script" "$work/control.files" || fail "vaultline has no $script"
done

mkdir -p "$work/control"
dpkg-deb -e "$service_deb" "$work/control"
for script in postinst prerm postrm; do
  sh -n "$work/control/$script" || fail "$script does not parse"
done

root=$work/root
dpkg-deb -x "$service_deb" "$root"
dpkg-deb -x "$simulator_deb" "$root"

dynamic=$(readelf -d "$root/usr/sbin/vaultline")
runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dynamic")
[ "$runpath" = '$ORIGIN/../lib/vaultline' ] && pass "RUNPATH $runpath" ||
  fail "vaultline's RUNPATH is '$runpath'"
if grep -q '(RPATH)' <<<"$dynamic"; then fail "vaultline has an RPATH"; fi
soname=$(readelf -d "$root/usr/lib/vaultline/libkxAPI.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkxAPI.so ] && pass "SONAME $soname" || fail "libkxAPI.so's SONAME is '$soname'"

if command -v lintian >/dev/null; then
  echo "=== lintian ==="
  # Errors and warnings fail; informational tags are printed.
  if lintian --display-info --tag-display-limit 0 --fail-on error,warning \
    "$service_deb" "$simulator_deb" > "$work/lintian" 2>&1; then
    pass "lintian: no errors or warnings"
  else
    fail "lintian reports errors or warnings"
  fi
  grep -v 'running with root privileges' "$work/lintian" || true
else
  echo "lintian not installed: skipped"
fi

echo "=== systemd units ==="
if command -v systemd-analyze >/dev/null; then
  units=$work/units
  mkdir -p "$units"
  # verify wants the programs the units name to exist: point them into the unpacked root. The
  # man page named by Documentation= is looked up there too.
  for unit in vaultline.service vaultline@.service; do
    sed "s|/usr/sbin/vaultline|$root/usr/sbin/vaultline|" \
      "$root/usr/lib/systemd/system/$unit" > "$units/$unit"
  done
  cp "$units/vaultline@.service" "$units/vaultline@site-a.service"
  # What the score does not weigh: never root, enough descriptors, restarted after any end.
  for unit in vaultline.service vaultline@.service; do
    for setting in User=vaultline LimitNOFILE=65536 Restart=always; do
      grep -qx "$setting" "$units/$unit" || fail "$unit lacks $setting"
    done
  done
  for unit in vaultline.service vaultline@site-a.service; do
    if output=$(MANPATH=$root/usr/share/man systemd-analyze verify "$units/$unit" 2>&1) &&
      [ -z "$output" ]; then
      pass "systemd-analyze verify $unit"
    else
      fail "systemd-analyze verify $unit: $output"
    fi
    # --threshold is on the command's 0-100 scale: 20 is the 2.0 it prints.
    security_ok=yes
    security=$(systemd-analyze security --offline=true --threshold=20 "$units/$unit" 2>&1) ||
      security_ok=no
    score=$(sed -n 's/.*Overall exposure level for .*: \(.*\)/\1/p' <<<"$security")
    echo "security exposure of $unit: $score"
    [ -n "$score" ] && [ "$security_ok" = yes ] || fail "$unit: exposure above 2.0 or unknown"
  done
else
  echo "systemd-analyze not installed: skipped"
fi

echo "=== the packaged programs ==="
"$root/usr/sbin/vaultline" --help > "$work/help" && grep -q -- '--journal' "$work/help" &&
  pass "vaultline --help" || fail "vaultline --help: $(cat "$work/help")"
resolved=$(ldd "$root/usr/sbin/vaultline" | sed -n 's/^\s*libkxAPI.so => \(\S*\) .*/\1/p')
[ -n "$resolved" ] && [ "$(readlink -f "$resolved")" = "$root/usr/lib/vaultline/libkxAPI.so" ] &&
  pass "libkxAPI.so resolved from the package's private folder" ||
  fail "libkxAPI.so not resolved through RUNPATH: '$resolved'"

cat > "$work/fleet.xml" <<'XML'
<Fleet>
  <Server name="target" address="127.0.0.1" port="0" username="admin" password="pw">
    <Adapter name="eth0" ip="10.0.0.5" connected="true" dhcp="true"/>
  </Server>
  <Server name="stale" address="127.0.0.1" port="0" username="backup" password="pw">
    <Target id="1" enabled="true" path="\\nas01\archive\daily"/>
  </Server>
</Fleet>
XML
"$root/usr/bin/archive-simulator" --fleet "$work/fleet.xml" --state "$work/state.xml" \
  > "$work/simulator.out" 2> "$work/simulator.err" &
pids+=($!)
wait_for 30 grep -q '^ready' "$work/simulator.out" ||
  { cat "$work/simulator.err"; fail "simulator not ready"; exit 1; }
port_of() { sed -n "s/^listening name=$1 .* port=\([0-9]*\)$/\1/p" "$work/simulator.out"; }

run=$work/run
mkdir -p "$run"
cat > "$run/vaultline.conf" <<XML
<Vaultline>
  <ArchiveTarget Address="127.0.0.1" Port="$(port_of target)" Username="admin" Password="pw"/>
  <ArchiveClients Username="backup" Password="pw">
    <ArchiveClient Address="127.0.0.1" Port="$(port_of stale)"/>
  </ArchiveClients>
</Vaultline>
XML

# The dry run first, from the configuration's folder: it reports the stale client and exits 2.
set +e
(cd "$run" && "$root/usr/sbin/vaultline-check") > "$work/check.out" 2> "$work/check.err"
check_status=$?
set -e
[ "$check_status" -eq 2 ] && grep -q 'would rewrite \\\\nas01\\archive\\daily' "$work/check.out" &&
  pass "packaged vaultline-check reports the stale client" ||
  fail "vaultline-check: status $check_status: $(cat "$work/check.out" "$work/check.err")"

# run_service LOG [ENV...]: the packaged service in the configuration's folder, in the background.
run_service() {
  local log=$1
  shift
  (cd "$run" && exec env "$@" "$root/usr/sbin/vaultline" -c) 2> "$log" &
  service_pid=$!
  pids+=("$service_pid")
}

run_service "$work/job.log"
if wait_for 60 grep -q 'path=\\\\10.0.0.5\\archive\\daily result=applied' "$work/simulator.out"; then
  pass "the packaged service rewrote the stale client's path"
else
  fail "no update within 60 s"
fi
kill -TERM "$service_pid"
status=0
wait "$service_pid" || status=$?
[ "$status" -eq 0 ] && pass "stopped by SIGTERM with status 0" || fail "exit status $status"
if grep -q 'marker libkxAPI.so' "$work/job.log"; then fail "our library run shows the marker"; fi

echo "=== SDK swap ==="
# ended_with_marker LOG: the service loaded the marker library and ended after its failed start.
ended_with_marker() {
  local log=$1
  if wait_for 30 bash -c "! kill -0 $service_pid 2>/dev/null" &&
    grep -q '^marker libkxAPI.so: KXAPI_Init$' "$log" &&
    grep -q 'kxAPI initialization failed' "$log"; then
    return 0
  fi
  echo "--- $log" >&2
  cat "$log" >&2
  return 1
}

# An operator replaces the library in the private folder.
cp "$root/usr/lib/vaultline/libkxAPI.so" "$work/ours.so"
install -m 0644 "$marker" "$root/usr/lib/vaultline/libkxAPI.so"
run_service "$work/swap.log"
ended_with_marker "$work/swap.log" && pass "replaced library in /usr/lib/vaultline is used" ||
  fail "replaced library not used"

# An operator keeps ours in place and points the unit at another folder (Environment= drop-in).
install -m 0644 "$work/ours.so" "$root/usr/lib/vaultline/libkxAPI.so"
mkdir -p "$work/vendor"
install -m 0644 "$marker" "$work/vendor/libkxAPI.so"
run_service "$work/dropin.log" LD_LIBRARY_PATH="$work/vendor"
ended_with_marker "$work/dropin.log" && pass "LD_LIBRARY_PATH wins over RUNPATH" ||
  fail "LD_LIBRARY_PATH library not used"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all packaging checks passed"
