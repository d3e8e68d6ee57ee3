#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan), replays their seed corpora and kept crash
# inputs, then fuzzes each for SECONDS (default 60) and prints executions per second and coverage.
#   bash scripts/fuzz.sh [SECONDS]
# New inputs collect in build/fuzz/corpus/<fuzzer>; a crash input lands in
# build/fuzz/crashes/<fuzzer>/ and the script fails. Keep it in fuzz/regressions/<fuzzer>/ once
# the fault is mended.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bash scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

bash scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
build=build/fuzz
fuzzers=(configuration_fuzzer client_target_fuzzer record_filling_fuzzer decode_frame_fuzzer)

# Kept inputs first: each must run clean before any new fuzzing.
(cd "$build" && ctest -L fuzz --output-on-failure)

summary=()
status=0
for fuzzer in "${fuzzers[@]}"; do
  corpus="$build/corpus/$fuzzer"
  crashes="$build/crashes/$fuzzer"
  log="$build/logs/$fuzzer.log"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  inputs=("fuzz/corpus/$fuzzer")
  [ -d "fuzz/regressions/$fuzzer" ] && inputs+=("fuzz/regressions/$fuzzer")
  options=()
  # Every accepted file leaves the parked service a queued connection attempt, so libFuzzer's
  # leak check would run after each input and take 95% of the time; it is off for this one.
  [ "$fuzzer" = configuration_fuzzer ] && options+=(-detect_leaks=0)
  echo "=== fuzzing $fuzzer for ${seconds} s ==="
  if ! "$build/fuzz/$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$crashes/" -rss_limit_mb=2048 -timeout=10 "${options[@]}" \
      "$corpus" "${inputs[@]}" >"$log" 2>&1; then
    echo "$fuzzer FAILED; log: $log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
    status=1
  fi
  # The last status line carries the coverage reached: "#N ... cov: E ft: F corp: C/..".
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  features=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  corp=$(sed -nE 's/.* corp: ([0-9]+).*/\1/p' <<<"$last")
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
  summary+=("$(printf '%-24s %12s %10s %8s %9s %8s' "$fuzzer" "${runs:-?}" "${rate:-?}" \
    "${cov:-?}" "${features:-?}" "${corp:-?}")")
done

echo "=== fuzzing results (${seconds} s each) ==="
printf '%-24s %12s %10s %8s %9s %8s\n' fuzzer executions exec/s edges features corpus
printf '%s\n' "${summary[@]}"
exit "$status"
