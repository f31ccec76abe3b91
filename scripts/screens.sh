#!/usr/bin/env bash
# Makes the screens of the operator's guide from the real programs, so that the guide shows
# what they show: each program runs in a terminal of tmux against virtual units, is typed at
# as an operator types, and what the terminal shows then goes into docs/operator.md between
# the markers
#     <!-- screen NAME -->
#     <!-- end screen -->
# Run it after changing what a tool shows: bash scripts/screens.sh (about two minutes).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
guide=$root/docs/operator.md
build=$root/build

echo "== building"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --parallel "$(nproc)" \
    --target pelmo4rix-trace pelmo4rix-update pelmo4rix-station pelmo4rix pelmo4rix-vunit >/dev/null

work=$(mktemp -d /tmp/pelmo4rix-screens-XXXXXX)
mkdir "$work/dev" "$work/screens"
socket=pelmo4rix-screens-$$
declare -A units=()  # port name -> the virtual unit's process
cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null || true  # this script's own tmux server
    local pid
    for pid in "${units[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "screens: $*" >&2
    exit 1
}

plug() {  # port, virtual unit options...
    local port=$1
    shift
    "$build/vunit/pelmo4rix-vunit" --device-dir "$work/dev" --name "$port" --list "$@" >/dev/null &
    units[$port]=$!
    for _ in $(seq 100); do
        [ -e "$work/dev/$port" ] && return
        sleep 0.05
    done
    fail "the virtual unit on $port did not start"
}

unplug() {  # port
    kill "${units[$1]}"
    wait "${units[$1]}" 2>/dev/null || true
    unset "units[$1]"
}

# One program at a time in a terminal of 100 columns by 40 lines, kept open after it ends.
tmux -L "$socket" new-session -d -x 100 -y 40 -s screens
run() {  # command line, in the work directory
    tmux -L "$socket" respawn-pane -k -t screens \
        "clear; cd '$work' && PELMO4RIX_DEVICE_DIR='$work/dev' $1; sleep 3600"
}

shown() { tmux -L "$socket" capture-pane -p -t screens | sed 's/[[:space:]]*$//'; }

wait_for() {  # text, seconds (default 30)
    local tries=$((${2:-30} * 5))
    for _ in $(seq "$tries"); do
        shown | grep -qF -- "$1" && return
        sleep 0.2
    done
    shown >&2
    fail "\"$1\" did not appear"
}

keys() { tmux -L "$socket" send-keys -t screens "$@"; }

snap() {  # name: the terminal as it is, without the empty lines below the last text
    shown | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$work/screens/$1"
    echo "   $1"
}

echo "== the update tool"
plug COM7 --stored-address 0604:03:4a1b2c
run "$build/pelmo4rix-update"
wait_for "Please type 'y'"
snap update-confirm
keys y
wait_for "Success"
snap update-success
run "$build/pelmo4rix-update"
wait_for "Please type 'y'"
keys n
wait_for "Program STOPPED"
snap update-stopped
unplug COM7
# A unit that never answers the erase: every attempt fails, 3 seconds apart.
plug COM7 --fault no-reply:13
run "$build/pelmo4rix-update"
wait_for "Please type 'y'"
keys y
wait_for "Press 'y' after plugin" 120
snap update-failed
unplug COM7

echo "== the production station"
plug COM7 --stored-address 0604:03:00a1b2 --params 0102030405060708090a0b0c0d0e0f10
printf '0604 03 000100 ' >"$work/info.ini"
run "$build/pelmo4rix-station"
wait_for "exit program"
snap station-menu
keys a
wait_for "Device BT address"
snap station-address
keys r v
wait_for "Firmware Version ="
snap station-version
keys r z
wait_for "RB ="
snap station-params
keys r p
wait_for "Success"
snap station-success
keys Enter
wait_for "LAP = 0604 03 000101"
snap station-next
unplug COM7
keys p
wait_for "Failed"
snap station-failed
keys Enter q

echo "== the trace capture tool"
plug COM7
run "$build/pelmo4rix-trace"
wait_for "Logging"
sleep 2
snap trace-logging
keys x
wait_for "Press any key to exit"
snap trace-stopped
unplug COM7

echo "== the gang station"
for port in COM7 COM8 COM9; do plug "$port" --line-rate; done
printf '0604 03 000100 ' >"$work/info.ini"
run "$build/pelmo4rix gang --units 3"
wait_for "write" 60
sleep 4
snap gang-running
wait_for "good 3" 120
snap gang-done

echo "== into $guide"
python3 - "$guide" "$work/screens" <<'PY'
import os, re, sys
guide, screens = sys.argv[1], sys.argv[2]
text = open(guide).read()
def screen(match):
    name = match.group(1)
    path = os.path.join(screens, name)
    if not os.path.exists(path):
        sys.exit(f"screens: docs/operator.md asks for the screen {name}, which this script does not make")
    return f"<!-- screen {name} -->\n```\n{open(path).read().rstrip()}\n```\n<!-- end screen -->"
text = re.sub(r"<!-- screen (\S+) -->.*?<!-- end screen -->", screen, text, flags=re.S)
open(guide, "w").write(text)
PY
echo "== done"
