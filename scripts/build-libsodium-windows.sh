#!/bin/sh
# Cross-builds libsodium for 64-bit Windows with MinGW-w64, as a static library, from Debian's
# source package, into the directory given as $1 (default build-win/libsodium, relative to the
# repository): lib/libsodium.a, include/sodium.h and include/sodium/, and libsodium's licence
# (LICENSE, which goes with the programs). Does nothing when that directory already holds
# them. Configured to the minimum (--enable-minimal: signatures and hashes are all that
# pelmo4rix uses), linked into pelmo4rix.exe, so that nothing new goes beside the programs.
#
# The source comes from the Debian archive through scripts/debian-source.sh, in a work
# directory inside the output directory that is removed after a good build.
# Stops with a non-zero status on any error.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-win/libsodium}
case $out in
    /*) ;;
    *) out=$root/$out ;;
esac
source_package=libsodium
host=x86_64-w64-mingw32

fail() {
    echo "build-libsodium-windows: $*" >&2
    exit 1
}

built() {
    [ -f "$out/lib/libsodium.a" ] && [ -f "$out/include/sodium.h" ] && [ -f "$out/LICENSE" ]
}
if built; then
    echo "build-libsodium-windows: already built in $out"
    exit 0
fi

for tool in $host-gcc-posix make autoreconf libtoolize; do
    command -v "$tool" >/dev/null ||
        fail "$tool not found (Debian packages: gcc-mingw-w64-x86-64-posix, make, autoconf, automake, libtool)"
done

work=$out/work
src=$(sh "$root/scripts/debian-source.sh" "$source_package" "$work") ||
    fail "fetching $source_package's source failed"

echo "build-libsodium-windows: building a static minimal libsodium for Windows from $(basename "$src")"
log=$work/build.log
(
    # Debian's source tree holds no configure script: it is made here.
    cd "$src" &&
        { [ -x configure ] || autoreconf -fi; } &&
        ./configure --host=$host CC=$host-gcc-posix --prefix="$work/install" \
            --enable-minimal --disable-shared --enable-static --disable-pie --disable-ssp &&
        make -j2 &&
        make install
) >"$log" 2>&1 || { tail -40 "$log" >&2; fail "building libsodium failed (the whole log: $log)"; }

mkdir -p "$out/lib" "$out/include"
cp "$work/install/lib/libsodium.a" "$out/lib/"
cp -R "$work/install/include/." "$out/include/"
cp "$src/LICENSE" "$out/LICENSE"
built || fail "libsodium.a, its headers or its licence are missing after the build"
rm -rf "$work"
echo "build-libsodium-windows: libsodium for Windows in $out"
