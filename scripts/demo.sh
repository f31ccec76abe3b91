#!/usr/bin/env bash
# Builds the tools and runs one of them in this terminal against a virtual unit that it
# starts for the purpose and stops afterwards.
#   bash scripts/demo.sh            the trace capture tool
#   bash scripts/demo.sh update     the firmware update tool
#   bash scripts/demo.sh station    the production station
#   bash scripts/demo.sh gang       the gang station with three units at line rate
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-trace}
case $tool in
    trace | update | station) ;;
    gang) exec bash "$root/scripts/demo-gang.sh" ;;
    *) echo "usage: bash scripts/demo.sh [trace|update|station|gang]" >&2; exit 2 ;;
esac

# The update tool's unit holds an address of its own (NAP:UAP:LAP), which the update keeps.
unit_address=0604:03:4a1b2c
unit_options=()
[ "$tool" = update ] && unit_options=(--stored-address "$unit_address")

# What the update left in the unit's flash: the image, and the address in the information sector.
show_update_result() {
    local flash=$1 info=$((0xFD000)) b
    echo "== the unit's flash afterwards"
    if cmp -s -n $((253 * 4096)) "$flash" "$root/image/firmware.bin"; then
        echo "   holds the image: sectors 0 to 252 equal image/firmware.bin"
    else
        echo "   does not hold the image"
    fi
    read -r -a b <<<"$(od -A n -t x1 -j "$info" -N 6 "$flash")"
    echo "   information sector: address ${b[5]}${b[4]}:${b[3]}:${b[2]}${b[1]}${b[0]}" \
        "(before the run: $unit_address)," \
        "name \"$(head -c $((info + 20)) "$flash" | tail -c 14 | tr -c '[:print:]' '.')\""
}

echo "== building"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --parallel "$(nproc)" --target "pelmo4rix-$tool" pelmo4rix-vunit >/dev/null

work=$(mktemp -d /tmp/pelmo4rix-demo-XXXXXX)
mkdir "$work/dev"
"$root/build/vunit/pelmo4rix-vunit" --device-dir "$work/dev" --name COM7 --list "${unit_options[@]}" \
    --trace-out "$work/unit-trace.bin" --flash-out "$work/unit-flash.bin" --log "$work/unit-frames.log" \
    >"$work/vunit.out" &
unit=$!
trap 'kill "$unit" 2>/dev/null; wait "$unit" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -e "$work/dev/COM7" ] && break
    sleep 0.05
done
[ -e "$work/dev/COM7" ] || { echo "the virtual unit did not start: $(cat "$work/vunit.out")" >&2; exit 1; }

echo "== a virtual unit answers on COM7 (in $work/dev); starting pelmo4rix-$tool"
(cd "$work" && PELMO4RIX_DEVICE_DIR="$work/dev" "$root/build/pelmo4rix-$tool")

kill "$unit" 2>/dev/null
wait "$unit" 2>/dev/null || true
trap - EXIT
echo
[ "$tool" = update ] && show_update_result "$work/unit-flash.bin"
echo "== done. Files of this run are in $work:"
[ "$tool" = trace ] && echo "   Pelmo4Rix.trace   the trace file the tool wrote"
[ "$tool" = station ] && echo "   info.ini          the address file, now \"$(cat "$work/info.ini" 2>/dev/null)\"" &&
    echo "   info.ini.lock     the lock file the station held while it ran"
echo "   unit-frames.log   every frame the unit received; unit-flash.bin its flash at the end"
echo "The other tools run the same way: bash scripts/demo.sh update, bash scripts/demo.sh station"
