#!/usr/bin/env bash
# The completion offers the port list's names as they stand, and runs nothing written in them.
# Argument: the source directory.
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
names=("COM7" "\$(touch $work/ran)" "\`touch $work/ran\`" "*")
printf '%s\n' "${names[@]}" >"$work/SERIALCOMM"
touch "$work/a-file"  # what a glob in a name would turn into
export PELMO4RIX_DEVICE_DIR=$work
# shellcheck source=/dev/null
source "$1/package/pelmo4rix.bash-completion" || { echo "the completion can't be loaded"; exit 1; }
failed=0
for option in --port --ports; do
    COMP_WORDS=(pelmo4rix "$option" "")
    COMP_CWORD=2
    _pelmo4rix
    [ ! -e "$work/ran" ] || { echo "completing $option ran a command from the port list"; failed=1; }
    [ "${COMPREPLY[*]}" = "${names[*]}" ] || { echo "completing $option offered: ${COMPREPLY[*]}"; failed=1; }
done
COMP_WORDS=(pelmo4rix gang --ports "COM7,C")
COMP_CWORD=3
_pelmo4rix
[ "${COMPREPLY[*]}" = "COM7,COM7" ] || { echo "the last name of a list was completed as: ${COMPREPLY[*]}"; failed=1; }
# The stable names under the device directory follow the listed ones.
mkdir -p "$work/serial/by-path" && touch "$work/COM7"
ln -s ../../COM7 "$work/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0"
COMP_WORDS=(pelmo4rix --port "serial/")
COMP_CWORD=2
_pelmo4rix
[ "${COMPREPLY[*]}" = "serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0" ] ||
    { echo "a stable name was completed as: ${COMPREPLY[*]}"; failed=1; }
exit "$failed"
