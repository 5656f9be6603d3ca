#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds quelvaron and runs every test: the whole suite in a normal build; the Debian source and
# binary packages, built from a copy of the tree as a maintainer builds them, checked by lintian,
# installed and tested by autopkgtest, their systemd units verified, then purged; the manual page's
# lint; the suite again in a build with AddressSanitizer and UndefinedBehaviorSanitizer, with the
# split's fuzzer, and in the portable branch's build; then cross-builds for macOS and musl, and
# runs the end-to-end tests with the musl binary. Installs with apt-get whatever the tests need
# and the machine lacks (as root, or through sudo). About 20 minutes on 2 cores,
# 7 of them the three cross builds.
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev fiu-utils strace util-linux e2fsprogs tzdata
diffutils dpkg-dev debhelper procmail dovecot-imapd lintian autopkgtest systemd man-db mandoc groff-base"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
        missing="$missing $package"
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ -n "$missing" ]; then
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi

cmake -S . -B build -DQUELVARON_TESTS=ON -DQUELVARON_BENCH=ON
cmake --build build -j "$(nproc)"
# Two tests at a time, but the stress tests, whose timing is the point, one at a time.
ctest --test-dir build -j "$(nproc)" --output-on-failure --no-tests=error -LE stress
ctest --test-dir build --output-on-failure --no-tests=error -L stress

# The manual page: no error or warning from either formatter's lint.
test -z "$(mandoc -T lint doc/quelvaron.1 2>&1)" || { mandoc -T lint doc/quelvaron.1; exit 1; }
test -z "$(groff -man -ww -z doc/quelvaron.1 2>&1)" || { groff -man -ww -z doc/quelvaron.1; exit 1; }

# The Debian packages, from a copy of the tree without its build folders, as from a clean clone.
packaging=$(mktemp -d)
mkdir "$packaging/quelvaron"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$packaging/quelvaron"
(cd "$packaging/quelvaron" && dpkg-buildpackage -us -uc)
dpkg-deb --info "$packaging"/quelvaron_*.deb
dpkg-deb --contents "$packaging"/quelvaron_*.deb
# Debian's own checks on the source and the binary package: any error or warning fails the run.
lintian --display-info --fail-on error,warning "$packaging"/quelvaron_*.changes
# autopkgtest installs the package here (as root) and runs debian/tests against /usr/bin/quelvaron;
# with it installed, the units' binary and manual page exist for systemd-analyze.
$sudo autopkgtest "$packaging"/quelvaron_*.deb "$packaging/quelvaron" -- null
units=$(mktemp -d)
for unit in service timer; do
    cp "/usr/share/doc/quelvaron/examples/quelvaron@.$unit" "$units/quelvaron@root.$unit"
done
systemd-analyze verify "$units/quelvaron@root.service" "$units/quelvaron@root.timer"
$sudo dpkg --purge quelvaron
rm -rf "$packaging" "$units"

CC=clang CXX=clang++ cmake -S . -B build-sanitize -DQUELVARON_SANITIZE=ON -DQUELVARON_FUZZ=ON
cmake --build build-sanitize -j "$(nproc)"
# The slow label waits 36 s for a dot-file's refresh; the normal build has run it.
ctest --test-dir build-sanitize -j "$(nproc)" --output-on-failure --no-tests=error -LE 'slow|stress'
ctest --test-dir build-sanitize --output-on-failure --no-tests=error -L stress

# The portable branch, which FreeBSD and macOS take, through the same suite on this machine.
cmake -S . -B build-portable -DQUELVARON_TESTS=ON -DQUELVARON_PORTABLE=ON
cmake --build build-portable -j "$(nproc)"
ctest --test-dir build-portable -j "$(nproc)" --output-on-failure --no-tests=error -LE 'slow|stress'
ctest --test-dir build-portable --output-on-failure --no-tests=error -L stress

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
    ctest --test-dir build -j "$(nproc)" --output-on-failure --no-tests=error -LE 'slow|large|stress'
QUELVARON_BINARY="$(pwd)/build-x86_64-linux-musl/quelvaron" \
    ctest --test-dir build --output-on-failure --no-tests=error -L stress
