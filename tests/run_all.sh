#!/bin/sh
# Builds quelvaron and runs every test: the whole suite in a normal build (and the Debian package
# from it, checked by lintian), then again in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, with the split's fuzzer, and in the portable branch's build; then
# cross-builds for macOS and musl, and runs the end-to-end tests with the musl binary. Installs with apt-get whatever the tests
# need and the machine lacks (as root, or through sudo).
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev fiu-utils strace util-linux e2fsprogs tzdata diffutils dpkg-dev procmail dovecot-imapd lintian"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi

cmake -S . -B build -DQUELVARON_TESTS=ON -DQUELVARON_BENCH=ON
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure --no-tests=error
(cd build && cpack -G DEB && dpkg-deb --info quelvaron_*.deb && dpkg-deb --contents quelvaron_*.deb)
# The package must pass Debian's own checks: any error or warning fails the run.
lintian --display-info --fail-on error,warning build/quelvaron_*.deb

CC=clang CXX=clang++ cmake -S . -B build-sanitize -DQUELVARON_SANITIZE=ON -DQUELVARON_FUZZ=ON
cmake --build build-sanitize -j "$(nproc)"
# The slow label waits out a dot-file for 5 minutes; the normal build has run it.
ctest --test-dir build-sanitize --output-on-failure --no-tests=error -LE slow

# The portable branch, which FreeBSD and macOS take, through the same suite on this machine.
cmake -S . -B build-portable -DQUELVARON_TESTS=ON -DQUELVARON_PORTABLE=ON
cmake --build build-portable -j "$(nproc)"
ctest --test-dir build-portable --output-on-failure --no-tests=error -LE slow

# Cross builds with zig (any warning fails them): Mach-O for macOS, and a static musl binary that
# then runs every end-to-end test in place of the glibc one.
magic() { od -A n -t x1 -N 4 "$1" | tr -d ' \n'; }
for target in x86_64-macos aarch64-macos x86_64-linux-musl; do
    binary=$(sh tests/cross_build.sh "$target" | tail -n 1)
    case "$target:$(magic "$binary")" in
        *-macos:cffaedfe) echo "$target: Mach-O $binary" ;;
        *-linux-musl:7f454c46) ! readelf -l "$binary" | grep -q INTERP && echo "$target: static ELF $binary" ;;
        *) false ;;
    esac || { echo "$target: $binary is not the expected kind of binary" >&2; exit 1; }
done
QUELVARON_BINARY="$(pwd)/build-x86_64-linux-musl/quelvaron" \
    ctest --test-dir build --output-on-failure --no-tests=error -LE 'slow|large'
