#!/usr/bin/env bash
# Every command and option that `pelmo4rix --help` and its commands' help list is completed by
# bash and described in the manual page, so that neither falls behind the program.
# Arguments: the pelmo4rix program, the source directory.
set -uo pipefail
program=$1
source_dir=$2
completion=$source_dir/package/pelmo4rix.bash-completion
manual=$source_dir/package/man/pelmo4rix.1.in

# The commands as the help lists them: two blanks, the name, blanks, what it does.
commands=$("$program" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]\{1,\}\)  .*/\1/p')
pool_commands=$("$program" pool --help | sed -n 's/^  \([a-z]\{1,\}\)  .*/\1/p')
package_commands=$("$program" package --help | sed -n 's/^  \([a-z]\{1,\}\)  .*/\1/p')
[ -n "$commands" ] && [ -n "$pool_commands" ] && [ -n "$package_commands" ] ||
    { echo "pelmo4rix --help, pool --help or package --help lists no commands"; exit 1; }

options=$(for command in "" $commands; do
    "$program" $command --help
done | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || { echo "pelmo4rix --help lists no options"; exit 1; }

failed=0
# shellcheck source=/dev/null
source "$completion" || { echo "the completion can't be loaded"; exit 1; }
for command in $commands; do
    _pelmo4rix_in "$command" "$_pelmo4rix_commands" || { echo "the completion lacks the command $command"; failed=1; }
done
for command in $pool_commands; do
    _pelmo4rix_in "$command" "$_pelmo4rix_pool_commands" || { echo "the completion lacks pool $command"; failed=1; }
done
for command in $package_commands; do
    _pelmo4rix_in "$command" "$_pelmo4rix_package_commands" || { echo "the completion lacks package $command"; failed=1; }
done
for command in $commands $pool_commands; do
    # a command's entry in the manual page: a tag line that begins with its name
    grep -qE "^\\.B[IR]? \"?$command( |\"|\$)" "$manual" || { echo "the manual page lacks the command $command"; failed=1; }
done
# The options the completion offers, as bash has them after loading it (a comment that names an
# option offers nothing), and the manual page without its comment lines.
offered="$_pelmo4rix_global_options $(for command in $commands $pool_commands $package_commands; do _pelmo4rix_command_options "$command"; done)"
offered=${offered//$'\n'/ }
manual_text=$(grep -v '^\.\\"' "$manual")
for option in $options; do
    _pelmo4rix_in "$option" "$offered" || { echo "the completion lacks $option"; failed=1; }
    # roff writes a hyphen as \-; the option's name must end there (--port is not --ports)
    grep -qE -- "${option//-/\\\\-}([^a-z\\\\]|\$)" <<<"$manual_text" || { echo "the manual page lacks $option"; failed=1; }
done
exit "$failed"
