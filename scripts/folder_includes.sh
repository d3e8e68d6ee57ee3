#!/usr/bin/env bash
# Prints which folders of src/ include headers of which other folders, one "from -> to" line each,
# and fails when some folders include each other in a cycle (tsort names the folders in it).
set -euo pipefail
cd "$(dirname "$0")/../src"

edges=$(grep -rHoE '^#include "[a-z_]+/' --include='*.cpp' --include='*.h' . |
  sed -E 's#^\./([a-z_]+)/[^:]*:\#include "([a-z_]+)/#\1 \2#' | awk '$1 != $2' | sort -u)
awk '{ print $1 " -> " $2 }' <<<"$edges"
if ! tsort <<<"$edges" >/dev/null; then
  echo "the folders above include each other in a cycle" >&2
  exit 1
fi
echo "no cycle"
