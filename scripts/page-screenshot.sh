#!/usr/bin/env bash
# A picture of the gang's page for the guides: four ports (one unit good, one programming at
# line rate, one failed, one port without a unit) shot by headless Chromium.
#   bash scripts/page-screenshot.sh [OUT.png]     (default docs/gang-page.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/gang-page.png}")
browser=$(command -v chromium || command -v chromium-browser || true)
[ -n "$browser" ] || { echo "page-screenshot: chromium is not installed (Debian package chromium)" >&2; exit 1; }

echo "== building"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" --parallel "$(nproc)" --target pelmo4rix pelmo4rix-vunit >/dev/null

work=$(mktemp -d /tmp/pelmo4rix-page-XXXXXX)
mkdir "$work/dev" "$work/profile"
vunit="$root/build/vunit/pelmo4rix-vunit"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
start_unit() {  # port, options...
    local port=$1
    shift
    "$vunit" --device-dir "$work/dev" --name "$port" --list "$@" >/dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        [ -e "$work/dev/$port" ] && return
        sleep 0.05
    done
}
start_unit COM7
start_unit COM8 --line-rate
start_unit COM9 --fault bad-crc

(cd "$work" && PELMO4RIX_DEVICE_DIR="$work/dev" "$root/build/pelmo4rix" gang --ports COM7,COM8,COM9,COM10 \
    --attempts 1 --http 0 >"$work/gang.log" 2>&1) &
pids+=($!)
url=
for _ in $(seq 100); do
    url=$(grep -o 'http://[^ ]*' "$work/gang.log" || true)
    [ -n "$url" ] && break
    sleep 0.1
done
[ -n "$url" ] || { cat "$work/gang.log"; echo "page-screenshot: the gang served no page" >&2; exit 1; }
sleep 6  # COM7 and COM9 ended, COM8 about half-way
"$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --hide-scrollbars --user-data-dir="$work/profile" \
    --window-size=1600,1000 --virtual-time-budget=3000 --screenshot="$out" "$url" 2>/dev/null
echo "== $out"
