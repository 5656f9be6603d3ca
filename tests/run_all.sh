#!/bin/sh
# Builds quelvaron and runs every test. Installs with apt-get whatever the tests need and the
# machine lacks (as root, or through sudo), so that it works on a fresh Debian machine.
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ libgtest-dev fiu-utils strace util-linux"
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

cmake -S . -B build -DQUELVARON_TESTS=ON
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure --no-tests=error
