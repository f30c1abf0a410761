#!/usr/bin/env bash
# Installs the build into a temporary prefix, then runs the installed programs
# on the samples and checks their manual pages.
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

status=0
actual=$("$prefix/bin/quillmark-scan" -q "$source/samples") || status=$?
[ "$status" -eq 1 ] || { echo "installed scanner exited $status, not 1 for a payload" >&2; exit 1; }
expected="$source/samples/notes.bmp: payload FOUND, embedded file name: notes.txt, length of embedded data: 1234"
if [ "$actual" != "$expected" ]; then
  printf 'installed scanner printed:\n%s\nexpected:\n%s\n' "$actual" "$expected" >&2
  exit 1
fi

# The programs the scanner starts, to read disk images and containers, are
# installed in libexec (not in bin), where the installed scanner finds them.
for helper in quillmark-scan-images quillmark-scan-containers quillmark-scan-image-containers; do
  [ ! -e "$prefix/bin/$helper" ] || { echo "$helper is in bin" >&2; exit 1; }
  [ -x "$prefix/libexec/quillmark/$helper" ] || { echo "$helper is not in libexec" >&2; exit 1; }
done
mkdir "$prefix/evidence"
gzip -c "$source/samples/notes.bmp" > "$prefix/evidence/notes.bmp.gz"
status=0
actual=$("$prefix/bin/quillmark-scan" -q "$prefix/evidence") || status=$?
expected="$prefix/evidence/notes.bmp.gz [gzip #0 notes.bmp]: payload FOUND, embedded file name: notes.txt, length of embedded data: 1234"
if [ "$status" -ne 1 ] || [ "$actual" != "$expected" ]; then
  printf 'installed scanner exited %s over a gzip, printing:\n%s\nexpected:\n%s\n' "$status" "$actual" "$expected" >&2
  exit 1
fi

for name in quillmark-detect quillmark-scan; do
  page="$prefix/share/man/man1/$name.1"
  [ -f "$page" ] || { echo "no manual page at $page" >&2; exit 1; }
  grep -q "quillmark-detect $version" "$page" || { echo "$page lacks the version" >&2; exit 1; }
  if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { printf '%s warnings:\n%s\n' "$page" "$warnings" >&2; exit 1; }
  fi
done
echo "installed programs and manual pages are fine"
