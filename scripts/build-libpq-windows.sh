#!/bin/sh
# Cross-builds PostgreSQL's client library (libpq.dll) for 64-bit Windows with MinGW-w64, with
# TLS through OpenSSL, from Debian's source package of PostgreSQL, into the directory given as
# $1 (default build-win/libpq, relative to the repository), against the OpenSSL for Windows in
# the directory $2 (default: openssl beside $1; scripts/build-openssl-windows.sh makes it). In
# bin/ libpq.dll, the DLLs it needs (OpenSSL's and the compiler's run time, if any) and the
# notices that must go with them (libpq-COPYRIGHT.txt, openssl-LICENSE.txt), in include/
# libpq-fe.h, postgres_ext.h and pg_config_ext.h. Does nothing when that directory already
# holds them. Built without readline, zlib and ICU.
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
openssl=${2:-$(dirname "$out")/openssl}
case $openssl in
    /*) ;;
    *) openssl=$root/$openssl ;;
esac
source_package=postgresql-15
host=x86_64-w64-mingw32

fail() {
    echo "build-libpq-windows: $*" >&2
    exit 1
}

headers="libpq-fe.h postgres_ext.h pg_config_ext.h"
built() {
    # openssl-LICENSE.txt marks a libpq built with TLS (an earlier build had none).
    for file in libpq.dll libpq-COPYRIGHT.txt openssl-LICENSE.txt; do
        [ -f "$out/bin/$file" ] || return 1
    done
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
if [ ! -f "$openssl/include/openssl/ssl.h" ] || [ ! -f "$openssl/bin/openssl-LICENSE.txt" ]; then
    fail "no OpenSSL for Windows in $openssl (scripts/build-openssl-windows.sh makes it)"
fi

work=$out/work
src=$(sh "$root/scripts/debian-source.sh" "$source_package" "$work") ||
    fail "fetching $source_package's source failed"

echo "build-libpq-windows: building libpq for Windows (with OpenSSL) from $(basename "$src")"
log=$work/build.log
(
    cd "$src" &&
        ./configure --host=$host CC=$host-gcc-posix \
            --without-readline --without-zlib --without-icu --without-llvm \
            --without-gssapi --without-ldap --without-lz4 --without-zstd \
            --with-ssl=openssl --with-includes="$openssl/include" --with-libraries="$openssl/lib" &&
        nice -n 19 make -C src/interfaces/libpq -j"$(nproc)"
) >"$log" 2>&1 || { tail -40 "$log" >&2; fail "building libpq failed (the whole log: $log)"; }

mkdir -p "$out/bin" "$out/include"
cp "$src/src/interfaces/libpq/libpq.dll" "$out/bin/"
cp "$src/COPYRIGHT" "$out/bin/libpq-COPYRIGHT.txt"
cp "$openssl/bin/openssl-LICENSE.txt" "$out/bin/"
cp "$src/src/interfaces/libpq/libpq-fe.h" "$src/src/include/postgres_ext.h" \
    "$src/src/include/pg_config_ext.h" "$out/include/"
# The DLLs that libpq.dll loads, and those that they load in turn: OpenSSL's, and any of the
# compiler's run time; Windows' own are left out (neither place has them). Each pass adds the
# DLLs of those copied in the one before: libpq.dll, then libssl, then libcrypto.
for _ in 1 2 3; do
    for dll in $(for file in "$out/bin/"*.dll; do $host-objdump -p "$file"; done |
        awk '/DLL Name:/ { print $3 }' | sort -u); do
        [ ! -f "$out/bin/$dll" ] || continue
        found=$($host-gcc-posix -print-file-name="$dll")
        [ ! -f "$openssl/bin/$dll" ] || found=$openssl/bin/$dll
        if [ "$found" != "$dll" ]; then
            cp "$found" "$out/bin/"
        fi
    done
done
built || fail "libpq.dll or its headers are missing after the build"
rm -rf "$work"
echo "build-libpq-windows: libpq for Windows in $out: $(cd "$out/bin" && echo *)"
