#!/bin/sh
# Cross-builds PostgreSQL's client library (libpq.dll) for 64-bit Windows with MinGW-w64, from
# Debian's source package of PostgreSQL, into the directory given as $1 (default
# build-win/libpq, relative to the repository): in bin/ libpq.dll, the DLLs it needs and
# PostgreSQL's copyright notice (libpq-COPYRIGHT.txt, which must go with the DLL), in include/
# libpq-fe.h, postgres_ext.h and pg_config_ext.h. Does nothing when that
# directory already holds them. Built without SSL, readline, zlib and ICU.
#
# The source comes from the Debian archive through scripts/debian-source.sh, in a work
# directory inside the output directory that is removed after a good build.
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

for tool in $host-gcc-posix $host-windres make perl; do
    command -v "$tool" >/dev/null ||
        fail "$tool not found (Debian packages: gcc-mingw-w64-x86-64-posix, make, perl)"
done

work=$out/work
src=$(sh "$root/scripts/debian-source.sh" "$source_package" "$work") ||
    fail "fetching $source_package's source failed"

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
