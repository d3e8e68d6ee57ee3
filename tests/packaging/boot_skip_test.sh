#!/usr/bin/env bash
# The boot test's skip, in seconds and without a container: with a PATH that lacks its tools it
# says why in one "boot test skipped:" line and exits 0, and with VAULTLINE_BOOT_REQUIRED set (as
# .ci/run sets it) it fails instead, so CI never passes without booting the packages.
#   boot_skip_test.sh SOURCE_DIR
set -euo pipefail

script=$1/tests/packaging/boot_test.sh
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
# Only what the script needs before its first skip: no systemd-nspawn, no debootstrap.
ln -s "$(command -v realpath)" "$(command -v id)" "$bin/"

failures=0
# expect STATUS PATTERN [VAR=VALUE...]: the script's exit status and its one line of output.
expect() {
  local want=$1 pattern=$2 output status=0
  shift 2
  output=$(env -u VAULTLINE_BOOT_REQUIRED "$@" PATH="$bin" "$BASH" "$script" "$bin" 2>&1) ||
    status=$?
  if [ "$status" = "$want" ] && [ "$(wc -l <<<"$output")" = 1 ] && [[ $output =~ $pattern ]]; then
    echo "ok: ${*:-no variable}: status $status, '$output'"
  else
    echo "FAIL: ${*:-no variable}: status $status (expected $want), output '$output'" >&2
    failures=$((failures + 1))
  fi
}

expect 0 '^boot test skipped: '
expect 0 '^boot test skipped: ' VAULTLINE_BOOT_REQUIRED=
expect 0 '^boot test skipped: ' VAULTLINE_BOOT_REQUIRED=0
expect 1 '^boot test failed: .*VAULTLINE_BOOT_REQUIRED=1' VAULTLINE_BOOT_REQUIRED=1
expect 1 '^boot test failed: .*VAULTLINE_BOOT_REQUIRED=yes' VAULTLINE_BOOT_REQUIRED=yes
[ "$failures" -eq 0 ]
