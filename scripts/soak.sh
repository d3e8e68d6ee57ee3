#!/usr/bin/env bash
# Soaks Vaultline: a target and 200 clients in archive-simulator with seeded random drops,
# refusals, delays and rejected updates while the target's address changes again and again; after
# every change every client must name the new address within 60 s, faults and all; then the faults
# stop and every client must name the final address within 15 s. Prints the seed and the counts;
# a failure prints the command that replays it.
#   bash scripts/soak.sh DURATION_SECONDS SEED
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 2 ] || ! [[ "$1" =~ ^[1-9][0-9]*$ ]] || ! [[ "$2" =~ ^[0-9]+$ ]]; then
  echo "usage: bash scripts/soak.sh DURATION_SECONDS SEED" >&2
  exit 2
fi

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vaultline_soak
exec build/default/tests/soak/vaultline_soak "$1" "$2"
