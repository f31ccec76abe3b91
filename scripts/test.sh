#!/usr/bin/env bash
# Builds everything and runs every test: the Windows build with MinGW-w64, the Linux build
# with its tests (the Windows programs among them, under Wine), the same suite with
# AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of each fuzz target (clang's
# libFuzzer). As root it installs what it needs from Debian's packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

packages="cmake g++ make libgtest-dev libgmock-dev python3 g++-mingw-w64-x86-64-posix wine64 wine tmux clang libclang-rt-dev libmicrohttpd-dev nlohmann-json3-dev chromium postgresql libpq-dev pkg-config dpkg-dev bzip2 xz-utils perl openssl
    lintian zip man-db bash-completion libsodium-dev autoconf automake libtool"
if [ "$(id -u)" = 0 ]; then
    echo "== installing: $packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq $packages >/dev/null
else
    echo "== not root: installing nothing; needs $packages"
fi
if ! { [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || command -v wine >/dev/null; } ||
    ! command -v tmux >/dev/null; then
    echo "== SKIPPING the Windows programs under Wine: Wine (wine64, wine) or tmux is not installed"
fi
command -v chromium >/dev/null ||
    echo "== SKIPPING the gang's page in a browser: chromium is not installed"

run_suite() {  # build directory, extra CMake options...
    local dir=$1
    shift
    echo "== building $dir"
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" --parallel "$jobs" >/dev/null
    echo "== testing $dir"
    (cd "$dir" && ctest --output-on-failure --parallel "$jobs" --timeout 300)
}

# First, so that the Linux suite's Wine tests run the programs of this very source.
windows_build=
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    echo "== building for Windows"
    bash scripts/build-windows.sh build-win
    windows_build=$root/build-win
else
    echo "== SKIPPED the Windows build and its Wine tests: MinGW-w64 (g++-mingw-w64-x86-64-posix) is not installed"
fi

run_suite build -DPELMO4RIX_WINDOWS_BUILD="$windows_build"

echo "== installing into a scratch prefix"
prefix=$(mktemp -d)
cmake --install build --prefix "$prefix" >/dev/null
for program in pelmo4rix-trace pelmo4rix-update pelmo4rix-station pelmo4rix; do
    [ -x "$prefix/bin/$program" ] || { echo "cmake --install did not install $program"; exit 1; }
done
rm -rf "$prefix"

# The packages: both made; the Debian one installed on this machine, its programs, manual
# page and completion tried where it put them, and removed again.
test_packages() {
    echo "== making the packages (with a builder's umask of 077)"
    (umask 077 && bash scripts/package.sh)
    local version deb
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
    deb=dist/pelmo4rix_${version}_amd64.deb
    local odd_dirs
    odd_dirs=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $1, $6 }')
    [ -z "$odd_dirs" ] || { echo "directories of $deb not 0755: $odd_dirs"; return 1; }
    # The zip: the four programs, and guides whose every line ends in CR LF.
    python3 - "dist/pelmo4rix-$version-windows-x86_64.zip" <<'PY' || return 1
import re, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
programs = sorted(n.split("/")[-1] for n in archive.namelist() if n.endswith(".exe"))
guides = [n for n in archive.namelist() if n.endswith(".txt")]
bare_lf = [n for n in guides if re.search(rb"(?<!\r)\n", archive.read(n))]
expected = ["pelmo4rix-station.exe", "pelmo4rix-trace.exe", "pelmo4rix-update.exe", "pelmo4rix.exe"]
names = [n.split("/")[-1] for n in archive.namelist()]
# what --pool loads, and the page server's notice
pool_files = [n for n in ("libpq.dll", "libpq-COPYRIGHT.txt", "libssl-3-x64.dll", "libcrypto-3-x64.dll",
                          "openssl-LICENSE.txt", "libmicrohttpd-COPYING.txt") if n not in names]
if programs != expected or not guides or bare_lf or pool_files:
    sys.exit(f"the Windows zip is wrong: programs {programs}, guides {guides}, without CR LF {bare_lf}, "
             f"missing {pool_files}")
PY
    echo "== installing $deb"
    # Minimal images leave manual pages out (dpkg's path-exclude); this package's are taken.
    apt-get install -y -qq -o Dpkg::Options::=--path-include='/usr/share/man/man1/pelmo4rix*' "./$deb" >/dev/null
    local failed=0 offered ports
    /usr/bin/pelmo4rix --version | grep -q "^pelmo4rix $version," || { echo "installed pelmo4rix --version is wrong"; failed=1; }
    man -w pelmo4rix | grep -qx /usr/share/man/man1/pelmo4rix.1.gz || { echo "man -w pelmo4rix finds no page"; failed=1; }
    # The completion as bash-completion loads it, asked for the first word and for a port.
    ports=$(mktemp -d)
    printf 'COM7\nCOM12\n' >"$ports/SERIALCOMM"
    offered=$(PELMO4RIX_DEVICE_DIR=$ports bash -c 'source /usr/share/bash-completion/bash_completion &&
        _completion_loader pelmo4rix &&
        COMP_WORDS=(pelmo4rix ""); COMP_CWORD=1; _pelmo4rix; echo "${COMPREPLY[*]}" &&
        COMP_WORDS=(pelmo4rix --port C); COMP_CWORD=2; _pelmo4rix; echo "${COMPREPLY[*]}"')
    rm -rf "$ports"
    for word in ports version address params flash trace image gang pool --port --json COM7 COM12; do
        grep -qw -- "$word" <<<"$offered" || { echo "the completion does not offer $word: $offered"; failed=1; }
    done
    apt-get remove -y -qq pelmo4rix >/dev/null
    [ ! -e /usr/bin/pelmo4rix ] || { echo "apt-get remove left /usr/bin/pelmo4rix"; failed=1; }
    return "$failed"
}
if [ "$(id -u)" != 0 ]; then
    echo "== SKIPPED the packages: installing one needs root"
elif [ -z "$windows_build" ]; then
    echo "== SKIPPED the packages: the Windows zip needs MinGW-w64"
else
    test_packages
fi

run_suite build-sanitize -DPELMO4RIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

# Each fuzz target for a few seconds from its seed corpus; new inputs go to a scratch
# directory, a crash's input to build-fuzz/ (the README tells how to run them longer).
# The package reader's seeds are made by `pelmo4rix package make` with a key made for the run,
# which the target trusts (PELMO4RIX_TRUST), so that the checks past the signature run too; its
# inputs are whole packages (an image is 1040384 bytes), mutated at their full length.
fuzz_seconds=${PELMO4RIX_FUZZ_SECONDS:-10}
package_seeds() {  # directory: a key and, in corpus/, the packages it signed
    local dir=$1
    mkdir -p "$dir/corpus"
    (cd "$dir" && "$root/build/pelmo4rix" package keygen --out seed >/dev/null) || return 1
    for version in 6.05 2.05; do
        "$root/build/pelmo4rix" package make --key "$dir/seed.key" --image image/firmware.bin --version "$version" \
            --out "$dir/corpus/$version.p4pkg" >/dev/null || return 1
    done
}
run_fuzzers() {
    echo "== building the fuzz targets"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPELMO4RIX_FUZZ=ON >/dev/null
    cmake --build build-fuzz --parallel "$jobs" --target exchange_fuzz address_file_fuzz vunit_frames_fuzz package_fuzz >/dev/null
    local target scratch seeds corpus limits
    seeds=$(mktemp -d)
    package_seeds "$seeds" || { rm -rf "$seeds"; return 1; }
    for target in exchange address_file vunit_frames package; do
        echo "== fuzzing $target for ${fuzz_seconds}s"
        scratch=$(mktemp -d)
        corpus=fuzz/corpus/$target limits=(-max_len=8192)
        [ "$target" != package ] || corpus=$seeds/corpus limits=(-max_len=1200000 -len_control=0)
        if ! PELMO4RIX_TRUST=$seeds/seed.pub "build-fuzz/fuzz/${target}_fuzz" -max_total_time="$fuzz_seconds" -timeout=10 \
            "${limits[@]}" -artifact_prefix=build-fuzz/ "$scratch" "$corpus" >build-fuzz/$target.log 2>&1; then
            cat "build-fuzz/$target.log"
            rm -rf "$scratch" "$seeds"
            return 1
        fi
        tail -1 "build-fuzz/$target.log"
        rm -rf "$scratch"
    done
    rm -rf "$seeds"
}
if command -v clang++ >/dev/null; then
    run_fuzzers
else
    echo "== SKIPPED the fuzz targets: clang (and libclang-rt-dev) is not installed"
fi
