#!/usr/bin/env bash
# Builds Vaultline and runs every test: the normal build, the AddressSanitizer and
# UndefinedBehaviorSanitizer build, and the ThreadSanitizer run of the unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

echo "=== format check ==="
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in default asan; do
  echo "=== ${preset} build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# The records installed at start-up are read by the worker while they are being built; the unit
# tests exercise exactly that, so they also run under ThreadSanitizer.
echo "=== tsan build (unit tests) ==="
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target vaultline_unit_tests
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --preset tsan -j "$jobs" -L unit
