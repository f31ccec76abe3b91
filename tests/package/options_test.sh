#!/usr/bin/env bash
# Every option that `pelmo4rix --help` and its commands' help list is completed by bash and
# described in the manual page, so that neither falls behind the program.
# Arguments: the pelmo4rix program, the source directory.
set -uo pipefail
program=$1
source_dir=$2
completion=$source_dir/package/pelmo4rix.bash-completion
manual=$source_dir/package/man/pelmo4rix.1.in

options=$(for command in "" ports version address params flash trace image gang; do
    "$program" $command --help
done | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || { echo "pelmo4rix --help lists no options"; exit 1; }

failed=0
for option in $options; do
    grep -qw -- "$option" "$completion" || { echo "the completion lacks $option"; failed=1; }
    # roff writes a hyphen as \-; the option's name must end there (--port is not --ports)
    grep -qE -- "${option//-/\\\\-}([^a-z\\\\]|\$)" "$manual" || { echo "the manual page lacks $option"; failed=1; }
done
exit "$failed"
