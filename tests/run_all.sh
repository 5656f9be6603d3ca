#!/bin/sh
# Builds quelvaron and runs every test: the whole suite in a normal build (and the Debian package
# from it, checked by lintian), then again in a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, with the split's fuzzer. Installs with apt-get whatever the tests
# need and the machine lacks (as root, or through sudo).
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev fiu-utils strace util-linux diffutils dpkg-dev procmail dovecot-imapd lintian"
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
