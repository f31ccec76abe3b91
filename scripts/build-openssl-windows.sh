#!/bin/sh
# Cross-builds OpenSSL's two libraries (libcrypto and libssl, as DLLs) for 64-bit Windows with
# MinGW-w64, from Debian's source package `openssl`, into the directory given as $1 (default
# build-win/openssl, relative to the repository): in bin/ libcrypto-3-x64.dll, libssl-3-x64.dll
# and OpenSSL's licence (openssl-LICENSE.txt, which must go with the DLLs), in include/ and lib/
# the headers and import libraries that libpq is built against. Does nothing when that
# directory already holds them.
#
# Only what libpq's TLS to a PostgreSQL server needs: TLS 1.2 and 1.3 with their usual key
# exchanges (ECDHE), signatures (RSA, RSA-PSS, ECDSA, EdDSA) and ciphers (AES-GCM,
# AES-CBC, ChaCha20-Poly1305); no programs, tests or manuals, no engines, no providers loaded
# at run time (so OpenSSL itself never loads a DLL), no legacy or national algorithms and no
# protocol older than TLS 1.2. Only the DLLs are made (OpenSSL's static libraries would
# compile every file a second time). Optimised for size (which also builds much faster than
# OpenSSL's -O3: the pool's few messages need no speed), at the lowest priority (nice).
#
# The source comes from the Debian archive through scripts/debian-source.sh, in a work
# directory inside the output directory that is removed after a good build.
# Stops with a non-zero status on any error.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-win/openssl}
case $out in
    /*) ;;
    *) out=$root/$out ;;
esac
source_package=openssl
host=x86_64-w64-mingw32
dlls="libcrypto-3-x64.dll libssl-3-x64.dll"

fail() {
    echo "build-openssl-windows: $*" >&2
    exit 1
}

built() {
    for file in $dlls openssl-LICENSE.txt; do
        [ -f "$out/bin/$file" ] || return 1
    done
    [ -f "$out/include/openssl/ssl.h" ] && [ -f "$out/lib/libssl.dll.a" ] && [ -f "$out/lib/libcrypto.dll.a" ]
}
if built; then
    echo "build-openssl-windows: already built in $out"
    exit 0
fi

for tool in $host-gcc-posix $host-windres make perl; do
    command -v "$tool" >/dev/null ||
        fail "$tool not found (Debian packages: gcc-mingw-w64-x86-64-posix, make, perl)"
done

# What TLS to PostgreSQL never uses; each is left out of the build.
unused="no-tests no-engine no-dso no-module no-legacy no-ssl3 no-tls1 no-tls1_1 no-dtls
    no-dh no-rfc3779 no-aria no-bf no-blake2 no-camellia no-cast no-cmp no-cms no-comp no-ct
    no-des no-dsa no-ec2m no-gost no-idea no-md4 no-mdc2 no-nextprotoneg no-ocb no-ocsp no-rc2
    no-rc4 no-rc5 no-rmd160 no-scrypt no-seed no-siphash no-siv no-sm2 no-sm3 no-sm4 no-srp
    no-srtp no-ssl-trace no-ts no-ui-console no-whirlpool"

work=$out/work
src=$(sh "$root/scripts/debian-source.sh" "$source_package" "$work") ||
    fail "fetching $source_package's source failed"

echo "build-openssl-windows: building OpenSSL for Windows from $(basename "$src")"
log=$work/build.log
# The prefix is where the DLLs look for OpenSSL's settings (openssl.cnf in its ssl/ folder, which
# libpq loads): a folder of Windows that only administrators may write, as a Windows
# installation of OpenSSL has it; the files are copied out of the build tree, not installed.
# shellcheck disable=SC2086
(
    cd "$src" &&
        ./Configure mingw64 shared $unused -Os --cross-compile-prefix=$host- CC=gcc-posix \
            --prefix="C:/Program Files/Common Files" --libdir=lib &&
        make build_generated &&
        nice -n 19 make -j"$(nproc)" $dlls
) >"$log" 2>&1 || { tail -40 "$log" >&2; fail "building OpenSSL failed (the whole log: $log)"; }

mkdir -p "$out/bin" "$out/include" "$out/lib"
for dll in $dlls; do
    cp "$src/$dll" "$out/bin/"
done
cp "$src/LICENSE.txt" "$out/bin/openssl-LICENSE.txt"
cp "$src/libcrypto.dll.a" "$src/libssl.dll.a" "$out/lib/"
cp -R "$src/include/openssl" "$out/include/"
built || fail "OpenSSL's DLLs, headers or import libraries are missing after the build"
rm -rf "$work"
echo "build-openssl-windows: OpenSSL for Windows in $out: $(cd "$out/bin" && echo *)"
