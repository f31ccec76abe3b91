#!/bin/sh
# Cross-builds GNU libmicrohttpd, the gang's page server, as a static library for 64-bit
# Windows with MinGW-w64, from Debian's source package, into the directory given as $1
# (default build-win/libmicrohttpd, relative to the repository): lib/libmicrohttpd.a,
# include/microhttpd.h and its licence notice (libmicrohttpd-COPYING.txt, which goes with the
# programs). Does nothing when that directory already holds them. Built to the minimum the page
# needs: no TLS, no authentication, no upgrade, no post processor, no documentation or examples.
#
# The source comes from the Debian archive through scripts/debian-source.sh, in a work
# directory inside the output directory that is removed after a good build.
# Stops with a non-zero status on any error.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-win/libmicrohttpd}
case $out in
    /*) ;;
    *) out=$root/$out ;;
esac
source_package=libmicrohttpd
host=x86_64-w64-mingw32

fail() {
    echo "build-libmicrohttpd-windows: $*" >&2
    exit 1
}

built() {
    [ -f "$out/lib/libmicrohttpd.a" ] && [ -f "$out/include/microhttpd.h" ] &&
        [ -f "$out/libmicrohttpd-COPYING.txt" ]
}
if built; then
    echo "build-libmicrohttpd-windows: already built in $out"
    exit 0
fi

for tool in $host-gcc-posix $host-ar make; do
    command -v "$tool" >/dev/null ||
        fail "$tool not found (Debian packages: gcc-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64, make)"
done

work=$out/work
src=$(sh "$root/scripts/debian-source.sh" "$source_package" "$work") ||
    fail "fetching $source_package's source failed"

echo "build-libmicrohttpd-windows: building libmicrohttpd for Windows (static, no TLS) from $(basename "$src")"
log=$work/build.log
(
    cd "$src" &&
        ./configure --host=$host CC=$host-gcc-posix AR=$host-ar RANLIB=$host-ranlib \
            --prefix="$work/install" --enable-static --disable-shared \
            --disable-https --without-gnutls --disable-doc --disable-examples --disable-curl \
            --disable-bauth --disable-dauth --disable-postprocessor --disable-httpupgrade \
            --disable-nls --with-threads=auto &&
        make -C src/microhttpd -j2 &&
        make -C src/microhttpd install &&
        make -C src/include install
) >"$log" 2>&1 || { tail -40 "$log" >&2; fail "building libmicrohttpd failed (the whole log: $log)"; }

mkdir -p "$out/lib" "$out/include"
cp "$work/install/lib/libmicrohttpd.a" "$out/lib/"
cp "$work/install/include/microhttpd.h" "$out/include/"
cp "$src/COPYING" "$out/libmicrohttpd-COPYING.txt"
built || fail "libmicrohttpd.a or its header is missing after the build"
rm -rf "$work"
echo "build-libmicrohttpd-windows: libmicrohttpd for Windows in $out"
