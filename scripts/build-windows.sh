#!/bin/sh
# Builds the four programs for Windows with MinGW-w64 into the build directory given as $1
# (default build-win, relative to the repository). Stops with a non-zero status on any error.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-build-win}
case $build_dir in
    /*) ;;
    *) build_dir=$root/$build_dir ;;
esac

fail() {
    echo "build-windows: $*" >&2
    exit 1
}

command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    fail "x86_64-w64-mingw32-g++-posix not found (Debian package g++-mingw-w64-x86-64-posix)"

generator=
command -v ninja >/dev/null && generator="-G Ninja"

# A build directory configured for another compiler can't be reused.
if [ -f "$build_dir/CMakeCache.txt" ] && ! grep -q 'mingw-w64.cmake' "$build_dir/CMakeCache.txt"; then
    fail "$build_dir was configured without the MinGW toolchain; remove it or name another"
fi

# libpq for Windows with TLS through OpenSSL, for the shared address pool; each made once, then
# kept in the build directory.
sh "$root/scripts/build-openssl-windows.sh" "$build_dir/openssl" || fail "building OpenSSL for Windows failed"
sh "$root/scripts/build-libpq-windows.sh" "$build_dir/libpq" "$build_dir/openssl" ||
    fail "building libpq for Windows failed"

# libsodium for the signed image packages, linked into pelmo4rix.exe; made once, then kept.
sh "$root/scripts/build-libsodium-windows.sh" "$build_dir/libsodium" || fail "building libsodium for Windows failed"

# libmicrohttpd, the gang's page server, linked statically into pelmo4rix.exe: cross-built once
# from Debian's source package, then kept in the build directory. Its licence goes with the
# programs.
sh "$root/scripts/build-libmicrohttpd-windows.sh" "$build_dir/libmicrohttpd" ||
    fail "building libmicrohttpd for Windows failed"

# shellcheck disable=SC2086
cmake -S "$root" -B "$build_dir" $generator \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" ||
    fail "configuring failed"
cmake --build "$build_dir" --parallel \
    --target pelmo4rix-trace pelmo4rix-update pelmo4rix-station pelmo4rix ||
    fail "building failed"

for program in pelmo4rix-trace pelmo4rix-update pelmo4rix-station pelmo4rix; do
    [ -f "$build_dir/$program.exe" ] || fail "$program.exe was not built"
done
# pelmo4rix.exe loads libpq.dll (and the DLLs it needs: OpenSSL's) from its own folder only;
# their notices go with them.
cp "$build_dir/libpq/bin/"* "$build_dir/" || fail "copying libpq's files failed"
cp "$build_dir/libsodium/LICENSE" "$build_dir/libsodium-LICENSE.txt" || fail "copying libsodium's licence failed"
cp "$build_dir/libmicrohttpd/libmicrohttpd-COPYING.txt" "$build_dir/" || fail "copying libmicrohttpd's licence failed"
echo "build-windows: programs in $build_dir: pelmo4rix-trace.exe pelmo4rix-update.exe pelmo4rix-station.exe pelmo4rix.exe;
    beside them $(cd "$build_dir/libpq/bin" && echo *) for pelmo4rix.exe --pool,
    and libmicrohttpd-COPYING.txt for the page that pelmo4rix.exe gang --http serves"
