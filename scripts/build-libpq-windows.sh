#!/bin/sh
# Cross-builds PostgreSQL's client library (libpq.dll) for 64-bit Windows with MinGW-w64, from
# Debian's source package of PostgreSQL, into the directory given as $1 (default
# build-win/libpq, relative to the repository): in bin/ libpq.dll, the DLLs it needs and
# PostgreSQL's copyright notice (libpq-COPYRIGHT.txt, which must go with the DLL), in include/
# libpq-fe.h, postgres_ext.h and pg_config_ext.h. Does nothing when that
# directory already holds them. Built without SSL, readline, zlib and ICU.
#
# The source comes through apt from the Debian archive that the machine's own apt sources
# name, with a private apt configuration inside the output directory that adds the deb-src
# entry, so the machine's apt configuration is left as it is and root is not needed.
# Stops with a non-zero status on any error.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-win/libpq}
case $out in
    /*) ;;
    *) out=$root/$out ;;
esac
source_package=postgresql-15
host=x86_64-w64-mingw32

fail() {
    echo "build-libpq-windows: $*" >&2
    exit 1
}

headers="libpq-fe.h postgres_ext.h pg_config_ext.h"
built() {
    [ -f "$out/bin/libpq.dll" ] && [ -f "$out/bin/libpq-COPYRIGHT.txt" ] || return 1
    for header in $headers; do
        [ -f "$out/include/$header" ] || return 1
    done
}
if built; then
    echo "build-libpq-windows: already built in $out"
    exit 0
fi

for tool in $host-gcc-posix $host-windres apt-get dpkg-source make perl; do
    command -v "$tool" >/dev/null ||
        fail "$tool not found (Debian packages: gcc-mingw-w64-x86-64-posix, dpkg-dev, make, perl)"
done

work=$out/work
rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/source"

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

apt_private() {  # apt-get or apt-cache, then its arguments
    command=$1
    shift
    "$command" -q -o Dir::Etc::SourceList="$work/apt/sources.list" \
        -o Dir::Etc::SourceParts="$work/apt/parts" \
        -o Dir::State::Lists="$work/apt/lists" \
        -o Dir::Cache="$work/apt/cache" \
        -o APT::Sandbox::User="$(id -un)" "$@"
}
mkdir -p "$work/apt/parts"
[ -s "$work/apt/debian.sources" ] && mv "$work/apt/debian.sources" "$work/apt/parts/debian.sources"

echo "build-libpq-windows: fetching $source_package's source from the Debian archive"
apt_private apt-get update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get update failed"; }
# The newest version that the archive serves: a mirror may lack the newest one's files.
versions=$(apt_private apt-cache showsrc "$source_package" 2>>"$work/apt.log" |
    awk '/^Version:/ { print $2 }' | sort -u -r -V)
[ -n "$versions" ] || { cat "$work/apt.log" >&2; fail "the Debian archive offers no source of $source_package"; }
for version in $versions; do
    (cd "$work/source" && apt_private apt-get source "$source_package=$version") >>"$work/apt.log" 2>&1 && break
    rm -rf "${work:?}/source" && mkdir "$work/source"
done
src=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d -name 'postgresql-*' | head -1)
[ -n "$src" ] || { cat "$work/apt.log" >&2; fail "no version of $source_package could be fetched"; }

echo "build-libpq-windows: building libpq for Windows (no SSL) from $(basename "$src")"
log=$work/build.log
(
    cd "$src" &&
        ./configure --host=$host CC=$host-gcc-posix \
            --without-readline --without-zlib --without-icu --without-llvm \
            --without-gssapi --without-ldap --without-lz4 --without-zstd &&
        make -C src/interfaces/libpq -j2
) >"$log" 2>&1 || { tail -40 "$log" >&2; fail "building libpq failed (the whole log: $log)"; }

mkdir -p "$out/bin" "$out/include"
cp "$src/src/interfaces/libpq/libpq.dll" "$out/bin/"
cp "$src/COPYRIGHT" "$out/bin/libpq-COPYRIGHT.txt"
cp "$src/src/interfaces/libpq/libpq-fe.h" "$src/src/include/postgres_ext.h" \
    "$src/src/include/pg_config_ext.h" "$out/include/"
# The DLLs of the compiler's run time that libpq.dll loads, if any.
for dll in $($host-objdump -p "$out/bin/libpq.dll" | awk '/DLL Name:/ { print $3 }'); do
    found=$($host-gcc-posix -print-file-name="$dll")
    if [ "$found" != "$dll" ]; then
        cp "$found" "$out/bin/"
    fi
done
built || fail "libpq.dll or its headers are missing after the build"
rm -rf "$work"
echo "build-libpq-windows: libpq for Windows in $out: $(cd "$out/bin" && echo *)"
