#!/usr/bin/env bash
# The gang station in this terminal: three virtual units at line rate on COM7, COM8 and COM9,
# all programmed at once by `pelmo4rix gang`. Swap a unit while it runs (the commands are
# printed) and the new one is programmed; 'q' ends the gang.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

echo "== building"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --parallel "$(nproc)" --target pelmo4rix pelmo4rix-vunit >/dev/null

work=$(mktemp -d /tmp/pelmo4rix-gang-XXXXXX)
mkdir "$work/dev"
vunit="$root/build/vunit/pelmo4rix-vunit"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT
for port in COM7 COM8 COM9; do
    "$vunit" --device-dir "$work/dev" --name "$port" --list --line-rate >/dev/null &
    pids+=($!)
    echo "== $port: a virtual unit, process $!"
done
for port in COM7 COM8 COM9; do
    for _ in $(seq 100); do
        [ -e "$work/dev/$port" ] && break
        sleep 0.05
    done
done
echo "== to swap the unit on COM8 while the gang runs, in another terminal:"
echo "   kill <its process>; $vunit --device-dir $work/dev --name COM8 --list --line-rate &"
echo "== starting pelmo4rix gang in $work ('q' ends it)"
sleep 2
(cd "$work" && PELMO4RIX_DEVICE_DIR="$work/dev" "$root/build/pelmo4rix" gang) || true
echo
echo "== done. In $work: info.ini (the next address) and production.csv (one line per unit):"
cat "$work/production.csv"
