#!/usr/bin/env bash
# Builds the benchmark and prints its table: the tools against the limits of the serial line
# and the unit's flash, on the virtual unit at line rate. Not part of the test command.
#   bash scripts/bench.sh                     every section, 5 runs a figure (about 15 minutes)
#   bash scripts/bench.sh --runs 3 program    some sections, fewer runs
# Sections: line program changed adapter tools discovery trace memory; --trace-seconds S (default 30).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
echo "== building" >&2
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --parallel "$(nproc)" --target link_bench >/dev/null
exec "$root/build/bench/link_bench" "$@"
