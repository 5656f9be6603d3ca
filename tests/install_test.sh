#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a scratch prefix and checks what lands there: the binary, which prints
# its usage text, the compressed manual page and changelog, the copyright file, the details the
# manual page points to, and the examples.
#   install_test.sh BUILD_DIR
set -eu
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/quelvaron" || { echo "no $prefix/bin/quelvaron"; exit 1; }
for file in share/man/man1/quelvaron.1.gz share/doc/quelvaron/changelog.gz share/doc/quelvaron/copyright \
    share/doc/quelvaron/details.md \
    share/doc/quelvaron/examples/quelvaron.cron share/doc/quelvaron/examples/quelvaron@.service \
    share/doc/quelvaron/examples/quelvaron@.timer; do
    test -f "$prefix/$file" || { echo "no $prefix/$file"; exit 1; }
done
gzip -t "$prefix/share/man/man1/quelvaron.1.gz" "$prefix/share/doc/quelvaron/changelog.gz"
usage=$("$prefix/bin/quelvaron")
case "$usage" in
"Quelvaron, Version 1.4 built: Oct 16 2026"*"USAGE:   quelvaron <input mailbox file> <output maildir> [options]"*) ;;
*) echo "unexpected usage text: $usage"; exit 1 ;;
esac
echo "installed and ran $prefix/bin/quelvaron"
