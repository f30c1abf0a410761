#!/usr/bin/env bash
# Writes the seed corpus of quillmark-image-fuzz into FOLDER: small disk
# images holding the sample bitmaps, one per file system and partition
# table the fuzzer should start from (ext2, ext4, FAT12 with a deleted file,
# NTFS with a named stream, a DOS table, a GPT table, the ext2 image as
# QCOW2, and the APFS container shared beside the project). Needs e2fsprogs,
# dosfstools, mtools, ntfs-3g, fdisk and qemu-utils; an image whose tools
# are missing is left out with a notice.
# usage: make_image_corpus.sh SOURCE_DIR FOLDER
set -euo pipefail
source=$1 out=$2
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$source"/samples/*.bmp "$work/"
have() { command -v "$1" >/dev/null || { echo "make_image_corpus: no $1, its images left out" >&2; return 1; }; }
export MTOOLS_SKIP_CHECK=1

if have mke2fs; then
  mkdir "$work/tree" && cp "$work"/*.bmp "$work/tree/"
  mke2fs -q -t ext4 -d "$work/tree" "$out/ext4.img" 256K >/dev/null 2>&1
  mke2fs -q -t ext2 -d "$work/tree" "$out/ext2.img" 128K >/dev/null 2>&1
fi
if have mkfs.fat && have mcopy; then
  mkfs.fat -C "$out/fat12.img" 64 >/dev/null
  mcopy -i "$out/fat12.img" "$work/notes.bmp" "$work/clean.bmp" ::/
  mdel -i "$out/fat12.img" ::/clean.bmp
fi
if have mkntfs && have ntfscp; then
  truncate -s 1536K "$out/ntfs.img"
  mkntfs -q -F -Q "$out/ntfs.img" >/dev/null 2>&1
  ntfscp "$out/ntfs.img" "$work/notes.bmp" notes.bmp >/dev/null 2>&1
  ntfscp -N stream "$out/ntfs.img" "$work/clean.bmp" notes.bmp >/dev/null 2>&1
fi
if have sfdisk && [ -f "$out/fat12.img" ]; then
  for label in dos gpt; do
    truncate -s 256K "$out/$label.img"
    if [ "$label" = dos ]; then
      printf 'label: dos\nstart=1, size=128, type=1\nstart=129, size=127, type=83\n'
    else
      printf 'label: gpt\nstart=34, size=128\nstart=162, size=60\n'
    fi | sfdisk -q "$out/$label.img"
    start=$([ "$label" = dos ] && echo 1 || echo 34)
    dd if="$out/fat12.img" of="$out/$label.img" bs=512 seek="$start" conv=notrunc status=none
  done
fi
if have qemu-img && [ -f "$out/ext2.img" ]; then
  qemu-img convert -f raw -O qcow2 "$out/ext2.img" "$out/ext2.qcow2"
fi
if [ -f "$source/../shared/images/apfs/apfs.raw" ]; then
  cp "$source/../shared/images/apfs/apfs.raw" "$out/apfs.raw"
  chmod u+w "$out/apfs.raw"
fi
