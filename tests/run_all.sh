#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Builds quelvaron and runs every test: the whole suite in a normal build; the Debian source and
# binary packages, built from a copy of the tree as a maintainer builds them, checked by lintian,
# installed and tested by autopkgtest, their systemd units and the manual page's references
# verified, then purged; the manual page's lint; the suite again in a build with AddressSanitizer
# and UndefinedBehaviorSanitizer, with the split's fuzzer, and in the portable branch's build; then
# cross-builds for macOS and musl, and runs the end-to-end tests with the musl binary.
# Installs with apt-get whatever it uses and the machine lacks (as root, or through sudo), and zig
# from the npm registry, pinned by tests/zig/package-lock.json. An installed quelvaron package is
# left as it is (its install stages are skipped) unless QUELVARON_TEST_REPLACES_PACKAGE=1.
# QUELVARON_TEST_TIME_SCALE=N multiplies every time limit of the tests (for a slow machine).
# Prints how long each stage took at the end, also when a stage failed.
set -eu
cd "$(dirname "$0")/.."

stage_name="" stage_started=$(date +%s) stage_times=""
stage() {
    now=$(date +%s)
    [ -z "$stage_name" ] || stage_times="$stage_times$(printf '%-46s %5d s' "$stage_name" $((now - stage_started)))
"
    stage_name=$1 stage_started=$now
    echo "=== $1"
}
cross_pid=""
report_times() {
    status=$?
    [ -z "$cross_pid" ] || kill "$cross_pid" 2>/dev/null || true
    stage "end"
    printf '\nTime by stage (exit status %d):\n%s' "$status" "$stage_times"
    exit "$status"
}
trap report_times EXIT

stage "packages (apt-get, where missing)"
packages="cmake g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev fiu-utils strace util-linux e2fsprogs tzdata
diffutils dpkg-dev debhelper procmail dovecot-imapd lintian autopkgtest systemd man-db mandoc groff-base manpages-dev cron acl"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
        missing="$missing $package"
done
# npm fetches zig for the cross builds; a Node.js from elsewhere may bring its own.
command -v npm >/dev/null 2>&1 || missing="$missing nodejs npm"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if [ -n "$missing" ]; then
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi

stage "native build"
cmake -S . -B build -DQUELVARON_TESTS=ON -DQUELVARON_BENCH=ON
cmake --build build -j "$(nproc)"

# Cross builds with zig (any warning fails them), beside the stages below, since no test is bounded
# by time: Mach-O for macOS (one target: arm64 differs only in code generation), and a static musl
# binary that then runs every end-to-end test in place of the glibc one.
mkdir -p build-tools
cross_log="$(pwd)/build-tools/cross.log"
(
    started=$(date +%s)
    for target in x86_64-macos x86_64-linux-musl; do
        sh tests/cross_build.sh "$target" >"build-tools/$target.path" || exit 1
    done
    echo "cross builds took $(($(date +%s) - started)) s"
) >"$cross_log" 2>&1 &
cross_pid=$!
stage "native suite"
ctest --test-dir build -j "$(nproc)" --output-on-failure --no-tests=error -LE stress
# The stress tests one at a time: each runs several converters of its own.
stage "native stress"
ctest --test-dir build --output-on-failure --no-tests=error -L stress

stage "manual page lint"
# No error or warning from either formatter's lint.
test -z "$(mandoc -T lint doc/quelvaron.1 2>&1)" || { mandoc -T lint doc/quelvaron.1; exit 1; }
test -z "$(groff -man -ww -z doc/quelvaron.1 2>&1)" || { groff -man -ww -z doc/quelvaron.1; exit 1; }

stage "Debian packages and lintian"
# From a copy of the tree without its build folders, as from a clean clone.
packaging=$(mktemp -d)
mkdir "$packaging/quelvaron"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$packaging/quelvaron"
(cd "$packaging/quelvaron" && dpkg-buildpackage -us -uc)
dpkg-deb --info "$packaging"/quelvaron_*.deb
dpkg-deb --contents "$packaging"/quelvaron_*.deb
# Debian's own checks on the source and the binary package: any error or warning fails the run.
lintian --display-info --fail-on error,warning "$packaging"/quelvaron_*.changes

stage "package installed: autopkgtest, units, references"
if dpkg-query -W -f='${Status}\n' quelvaron 2>/dev/null | grep -q '^install ok installed$' &&
    [ "${QUELVARON_TEST_REPLACES_PACKAGE:-0}" != 1 ]; then
    echo "quelvaron is installed here: autopkgtest and the checks of the installed package are skipped," \
        "and it is left as it is (QUELVARON_TEST_REPLACES_PACKAGE=1 runs them, replacing it, then purges it)"
else
    # autopkgtest installs the package here (as root) and runs debian/tests against
    # /usr/bin/quelvaron; with it installed, the units' binary and manual page exist.
    $sudo autopkgtest "$packaging"/quelvaron_*.deb "$packaging/quelvaron" -- null
    units=$(mktemp -d)
    for unit in service timer; do
        cp "/usr/share/doc/quelvaron/examples/quelvaron@.$unit" "$units/quelvaron@root.$unit"
    done
    systemd-analyze verify "$units/quelvaron@root.service" "$units/quelvaron@root.timer"
    # Everything the manual page points to is there: the details, and each page of SEE ALSO.
    man -w quelvaron >/dev/null
    test -f /usr/share/doc/quelvaron/details.md.gz
    sed -n '/^\.SH SEE ALSO/,/^\.PP/s/^\.BR \([^ ]*\) (\([0-9]\)).*/\2 \1/p' doc/quelvaron.1 |
        while read -r section page; do
            man -w "$section" "$page" >/dev/null || { echo "SEE ALSO names $page($section), which is not installed"; exit 1; }
        done
    $sudo dpkg --purge quelvaron
    rm -rf "$units"
fi
rm -rf "$packaging"

stage "sanitized build"
CC=clang CXX=clang++ cmake -S . -B build-sanitize -DQUELVARON_SANITIZE=ON -DQUELVARON_FUZZ=ON
cmake --build build-sanitize -j "$(nproc)"
stage "sanitized suite and fuzzer"
# The slow label waits for a dot-file's refresh; the normal build has run it.
ctest --test-dir build-sanitize -j "$(nproc)" --output-on-failure --no-tests=error -LE 'slow|stress'
stage "sanitized stress"
ctest --test-dir build-sanitize --output-on-failure --no-tests=error -L stress

# The portable branch, which FreeBSD and macOS take, through the same suite on this machine.
stage "portable build"
cmake -S . -B build-portable -DQUELVARON_TESTS=ON -DQUELVARON_PORTABLE=ON
cmake --build build-portable -j "$(nproc)"
stage "portable suite"
ctest --test-dir build-portable -j "$(nproc)" --output-on-failure --no-tests=error -LE 'slow|stress'
stage "portable stress"
ctest --test-dir build-portable --output-on-failure --no-tests=error -L stress

stage "cross builds (waiting for the rest of them)"
wait "$cross_pid" || { cat "$cross_log"; cross_pid=""; exit 1; }
cross_pid=""
tail -n 1 "$cross_log"
magic() { od -A n -t x1 -N 4 "$1" | tr -d ' \n'; }
for target in x86_64-macos x86_64-linux-musl; do
    binary=$(tail -n 1 "build-tools/$target.path")
    case "$target:$(magic "$binary")" in
        *-macos:cffaedfe) echo "$target: Mach-O $binary" ;;
        *-linux-musl:7f454c46) ! readelf -l "$binary" | grep -q INTERP && echo "$target: static ELF $binary" ;;
        *) false ;;
    esac || { echo "$target: $binary is not the expected kind of binary" >&2; exit 1; }
done
stage "musl binary: suite"
QUELVARON_BINARY="$(pwd)/build-x86_64-linux-musl/quelvaron" \
    ctest --test-dir build -j "$(nproc)" --output-on-failure --no-tests=error -LE 'slow|large|stress'
stage "musl binary: stress"
QUELVARON_BINARY="$(pwd)/build-x86_64-linux-musl/quelvaron" \
    ctest --test-dir build --output-on-failure --no-tests=error -L stress
