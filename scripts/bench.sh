#!/usr/bin/env bash
# Builds Vaultline and runs its benchmark against simulated fleets on loopback; prints the
# figures. A full run (no options) also writes them into benchmarks/RESULTS.md, between the
# generated-figures markers, keeping the notes around them.
#   bash scripts/bench.sh            # 10, 100, 1,000 and 5,000 clients (a few minutes)
#   bash scripts/bench.sh --quick    # 10 and 100 clients, a short idle measurement
# Other options go to vaultline-bench as they are (see its --help). Never fails on a figure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vaultline-bench

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  commit="$commit (with uncommitted changes)"
fi

tables=$(mktemp)
trap 'rm -f "$tables"' EXIT
build/default/benchmarks/vaultline-bench --commit "$commit" "$@" | tee "$tables"

results=benchmarks/RESULTS.md
if [ $# -eq 0 ] && [ -f "$results" ]; then
  awk -v tables="$tables" '
    /^<!-- figures: begin/ { print; while ((getline line < tables) > 0) print line; skip = 1; next }
    /^<!-- figures: end/ { skip = 0 }
    !skip { print }
  ' "$results" > "$results.new"
  mv "$results.new" "$results"
  echo "figures written to $results"
fi
