#!/bin/sh
# Fetches Debian's source package $1 (the newest version that the archive serves) and unpacks it
# under the directory $2, which it empties first: the source tree in $2/source/, apt's state and
# log in $2/apt/ and $2/apt.log. Prints the source tree's path on standard output; the caller
# removes $2 when done with it.
#
# The source comes through apt from the Debian archive that the machine's own apt sources name,
# with a private apt configuration in $2 that adds the deb-src entries, so the machine's apt
# configuration is left as it is and root is not needed. Stops with a non-zero status on any
# error.
set -eu

[ $# -eq 2 ] || { echo "usage: debian-source.sh PACKAGE DIR" >&2; exit 2; }
package=$1
work=$2

fail() {
    echo "debian-source: $*" >&2
    exit 1
}

for tool in apt-get apt-cache dpkg-source; do
    command -v "$tool" >/dev/null || fail "$tool not found (Debian packages: apt, dpkg-dev)"
done

rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/source"
work=$(cd "$work" && pwd)
log=$work/apt.log

# The Debian archive's entries among the machine's apt sources, as deb-src entries: the
# stanzas of the deb822 files and the lines of the one-line files whose address is a Debian
# archive (ending in /debian or /debian-security).
make_source_entries() {
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)URIs:[^\n]*\/debian(-security)?\/?([ \n]|$)/ && /(^|\n)Types:[^\n]*deb/ {
                 sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        awk '$1 == "deb" && $0 ~ /\/debian(-security)?\/? / { $1 = "deb-src"; print }' "$file"
    done
}
make_source_entries | awk '/^deb-src / { print > "'"$work/apt/sources.list"'"; next } { print }' \
    >"$work/apt/debian.sources"
[ -s "$work/apt/debian.sources" ] || [ -s "$work/apt/sources.list" ] ||
    fail "no Debian archive found among the apt sources (/etc/apt/sources.list, /etc/apt/sources.list.d/)"
touch "$work/apt/sources.list"
if [ -s "$work/apt/debian.sources" ]; then
    mv "$work/apt/debian.sources" "$work/apt/parts/debian.sources"
else
    rm -f "$work/apt/debian.sources"
fi

apt_private() {  # apt-get or apt-cache, then its arguments
    command=$1
    shift
    "$command" -q -o Dir::Etc::SourceList="$work/apt/sources.list" \
        -o Dir::Etc::SourceParts="$work/apt/parts" \
        -o Dir::State::Lists="$work/apt/lists" \
        -o Dir::Cache="$work/apt/cache" \
        -o APT::Sandbox::User="$(id -un)" "$@"
}

echo "debian-source: fetching $package's source from the Debian archive" >&2
apt_private apt-get update >"$log" 2>&1 || { cat "$log" >&2; fail "apt-get update failed"; }
# The newest version that the archive serves: a mirror may lack the newest one's files.
versions=$(apt_private apt-cache showsrc "$package" 2>>"$log" |
    awk '/^Version:/ { print $2 }' | sort -u -r -V)
[ -n "$versions" ] || { cat "$log" >&2; fail "the Debian archive offers no source of $package"; }
for version in $versions; do
    (cd "$work/source" && apt_private apt-get source "$package=$version") >>"$log" 2>&1 && break
    rm -rf "${work:?}/source" && mkdir "$work/source"
done
src=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d | head -1)
[ -n "$src" ] || { cat "$log" >&2; fail "no version of $package could be fetched"; }
echo "$src"
