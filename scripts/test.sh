#!/usr/bin/env bash
# Builds Vaultline and runs every test: clang's thread safety analysis, the normal build, the
# packages booted under systemd in a container, one end-to-end run under valgrind memcheck, a 30 s
# soak, the AddressSanitizer and UndefinedBehaviorSanitizer build, the unit and end-to-end tests
# under ThreadSanitizer, and 20 s of each fuzzer. Prints each stage's time.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
stage_names=()
stage_seconds=()
stage_start=$SECONDS

# Ends the running stage (if any) and starts the next, or just ends it when given no name.
stage() {
  if [ ${#stage_names[@]} -gt 0 ] && [ ${#stage_seconds[@]} -lt ${#stage_names[@]} ]; then
    stage_seconds+=($((SECONDS - stage_start)))
    echo "--- ${stage_names[-1]}: ${stage_seconds[-1]} s"
  fi
  if [ $# -gt 0 ]; then
    stage_names+=("$1")
    stage_start=$SECONDS
    echo "=== $1 ==="
  fi
}

report_times() {
  local status=$?
  stage
  echo "=== stage times ==="
  for index in "${!stage_names[@]}"; do
    printf '%-34s %5s s\n' "${stage_names[$index]}" "${stage_seconds[$index]:-?}"
  done
  printf '%-34s %5s s\n' total "$SECONDS"
  [ "$status" -eq 0 ] || echo "FAILED in stage: ${stage_names[-1]}"
}
trap report_times EXIT

stage "dependencies"
bash scripts/install-deps.sh

stage "format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

stage "folder include check"
bash scripts/folder_includes.sh >/dev/null

# The service, its tools and the SDK compiled by clang with its thread safety analysis, which
# fails the build where a guarded field is touched without its lock or off the worker thread.
stage "thread-safety analysis (clang)"
cmake --preset thread-safety >/dev/null
cmake --build --preset thread-safety -j "$jobs"

stage "default build and tests"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

# The packages installed into a Debian 12 root and booted under systemd in a container; as
# root only, on a machine that can boot a container (otherwise the script says why it skipped;
# VAULTLINE_BOOT_REQUIRED=1, as .ci/run sets it, makes a skip fail the stage).
stage "boot test (packages under systemd)"
bash tests/packaging/boot_test.sh build/default

# Definite and indirect leaks count as errors; "possibly lost" blocks of the libraries do not.
stage "valgrind end-to-end run"
valgrind_log=build/default/valgrind
rm -rf "$valgrind_log" && mkdir -p "$valgrind_log"
if ! VAULTLINE_TEST_WRAPPER="$(command -v valgrind) --error-exitcode=99 --leak-check=full
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect
    --log-file=$PWD/$valgrind_log/memcheck.%p.log" \
    build/default/tests/process/vaultline_process_tests \
    --gtest_filter='EndToEnd.StaleHostIsRewritten*'; then
  cat "$valgrind_log"/memcheck.*.log
  exit 1
fi
grep -h 'ERROR SUMMARY' "$valgrind_log"/memcheck.*.log

stage "soak (30 s)"
build/default/tests/soak/vaultline_soak 30 "${SOAK_SEED:-20261209}"

stage "asan build and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

# The records installed at start-up are read by the worker while they are being built; the unit
# tests exercise exactly that. The end-to-end tests run the ThreadSanitizer builds of vaultline,
# the SDK and the simulator against each other.
stage "tsan build and tests (unit, end-to-end)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target vaultline_unit_tests vaultline_process_tests \
  simulator_tests vaultline kxAPI archive-simulator
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp"
ctest --preset tsan -j "$jobs" -L 'unit|process'
ctest --preset tsan -j "$jobs" -R '^simulator\.EndToEnd'
unset TSAN_OPTIONS

stage "fuzz smoke (20 s per fuzzer)"
bash scripts/fuzz.sh 20
