#!/usr/bin/env bash
# Makes the two packages in dist/: the Debian package pelmo4rix_VERSION_amd64.deb (built with
# Debian's hardening flags, checked with lintian) and pelmo4rix-VERSION-windows-x86_64.zip
# (the four programs built with MinGW-w64, libpq.dll and OpenSSL's DLLs with their notices for
# the shared address pool, the guides as text with Windows line ends and their pictures).
# Needs what the build needs, and dpkg-dev lintian zip g++-mingw-w64-x86-64-posix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
programs="pelmo4rix-trace pelmo4rix-update pelmo4rix-station pelmo4rix"

fail() {
    echo "package: $*" >&2
    exit 1
}

for tool in dpkg-buildflags:dpkg-dev dpkg-shlibdeps:dpkg-dev cpack:cmake lintian:lintian zip:zip; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found (Debian package ${tool#*:})"
done
mkdir -p dist
echo "== building for the Debian package (build-pkg)"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=None -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
# shellcheck disable=SC2086
cmake --build build-pkg --parallel "$(nproc)" --target $programs pelmo4rix-vunit pelmo4rix_package_files >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build-pkg/CMakeCache.txt"

# CPack makes the package's directories with the umask: 022 gives 0755 whatever the builder's.
(cd build-pkg && umask 022 && cpack -G DEB >/dev/null)
deb=dist/pelmo4rix_${version}_amd64.deb
mv "build-pkg/pelmo4rix_${version}_amd64.deb" "$deb"
echo "== $deb"
# Errors fail the package; warnings are shown.
lintian --fail-on error "$deb" || fail "lintian found errors in $deb"

echo "== building for Windows (build-win)"
bash scripts/build-windows.sh build-win >/dev/null
zip_name=pelmo4rix-${version}-windows-x86_64
staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
mkdir "$staging/$zip_name"
for program in $programs; do
    x86_64-w64-mingw32-strip -o "$staging/$zip_name/$program.exe" "build-win/$program.exe"
done
# pelmo4rix.exe --pool loads libpq.dll from its own folder, so the Windows build puts it
# beside the programs with the DLLs it needs (OpenSSL's, and any of the compiler's run time)
# and the notices that go with them (as text with Windows line ends, like the guides).
if [ -f build-win/libpq.dll ]; then
    for notice in libpq-COPYRIGHT.txt openssl-LICENSE.txt; do
        [ -f "build-win/$notice" ] || fail "build-win/libpq.dll without build-win/$notice"
    done
    for file in build-win/libpq/bin/*; do
        case $file in
            *.dll) cp "build-win/${file##*/}" "$staging/$zip_name/" ;;
            *.txt) sed 's/\r*$/\r/' "build-win/${file##*/}" >"$staging/$zip_name/${file##*/}" ;;
        esac
    done
fi
# pelmo4rix.exe carries the page server's code, whose licence asks for its notice beside it.
# The programs carry libsodium (linked in) for the image packages; its licence goes with them.
if [ -f build-win/libsodium-LICENSE.txt ]; then
    sed 's/\r*$/\r/' build-win/libsodium-LICENSE.txt >"$staging/$zip_name/libsodium-LICENSE.txt"
fi
[ -f build-win/libmicrohttpd-COPYING.txt ] || fail "build-win/libmicrohttpd-COPYING.txt is missing"
sed 's/\r*$/\r/' build-win/libmicrohttpd-COPYING.txt >"$staging/$zip_name/libmicrohttpd-COPYING.txt"
# The guides as text files with Windows line ends, so that Notepad shows them as they are.
for guide in README.md docs/*.md; do
    [ -f "$guide" ] || continue
    sed 's/\r*$/\r/' "$guide" >"$staging/$zip_name/$(basename "$guide" .md).txt"
done
for picture in docs/*.png; do
    [ -f "$picture" ] || continue
    cp "$picture" "$staging/$zip_name/"
done
rm -f "dist/$zip_name.zip"
(cd "$staging" && zip -qrX "$root/dist/$zip_name.zip" "$zip_name")
echo "== dist/$zip_name.zip"
