#!/usr/bin/env bash
# Installs the build into a temporary prefix, then runs the installed program
# on the sample and checks its manual page.
# usage: install_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 source=$2 version=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null

expected="Quillmark Detector $version 
Analysing file $source/samples/notes.bmp
Steganographic message detected.
embedded file name: notes.txt
length of embedded data: 1234"
actual=$("$prefix/bin/quillmark-detect" "$source/samples/notes.bmp")
if [ "$actual" != "$expected" ]; then
  printf 'installed program printed:\n%s\nexpected:\n%s\n' "$actual" "$expected" >&2
  exit 1
fi

page="$prefix/share/man/man1/quillmark-detect.1"
[ -f "$page" ] || { echo "no manual page at $page" >&2; exit 1; }
grep -q "quillmark-detect $version" "$page" || { echo "manual page lacks the version" >&2; exit 1; }
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { printf 'manual page warnings:\n%s\n' "$warnings" >&2; exit 1; }
fi
echo "installed program and manual page are fine"
