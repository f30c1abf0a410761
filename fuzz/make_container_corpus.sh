#!/usr/bin/env bash
# Writes the seed corpus of the container fuzz target: the samples in each
# container format the machine's tools write, nested once.
# usage: fuzz/make_container_corpus.sh PROJECT_DIR CORPUS_DIR
set -euo pipefail
project="$(cd "$1" && pwd)"
mkdir -p "$2"
corpus="$(cd "$2" && pwd)"
# Inputs that once failed us, kept so that every run tries them again.
cp "$project"/fuzz/container_regressions/* "$corpus/"
cd "$project/samples"
zip -q "$corpus/samples.zip" notes.bmp clean.bmp
tar czf "$corpus/samples.tar.gz" notes.bmp clean.bmp
tar cjf "$corpus/samples.tar.bz2" notes.bmp
gzip -c notes.bmp > "$corpus/notes.bmp.gz"
xz -c notes.bmp > "$corpus/notes.bmp.xz"
find . -name '*.bmp' | cpio -o -H newc --quiet > "$corpus/samples.cpio"
find . -name 'notes.bmp' | cpio -o -H bin --quiet > "$corpus/samples.bin.cpio"
bsdtar --format iso9660 -cf "$corpus/samples.iso" notes.bmp
command -v 7z >/dev/null && 7z a -bso0 -bsp0 "$corpus/samples.7z" notes.bmp >/dev/null
(cd "$corpus" && zip -q nested.zip samples.tar.gz)
# Mail: a message with a bitmap attached in base64, a mailbox of two, and a
# message inside a zip.
message() {
  printf 'From: a@example.org\nTo: b@example.org\nSubject: %s\nMIME-Version: 1.0\n' "$1"
  printf 'Content-Type: multipart/mixed; boundary="b"\n\n--b\nContent-Type: text/plain\n\nhi\n'
  printf -- '--b\nContent-Type: image/bmp; name="notes.bmp"\nContent-Transfer-Encoding: base64\n\n'
  base64 notes.bmp
  printf -- '--b--\n'
}
message one > "$corpus/notes.eml"
{ printf 'From a@example.org Thu Dec 10 07:28:21 2026\n'; message first
  printf '\nFrom a@example.org Thu Dec 10 07:29:21 2026\n'; message second; } > "$corpus/two.mbox"
(cd "$corpus" && zip -q mail.zip notes.eml)
# A file uuencoded in the text of a message, as mail carried files of old.
python3 - "$corpus/uuencoded.eml" <<'PYTHON'
import binascii, sys
data = open("notes.bmp", "rb").read()
lines = b"".join(binascii.b2a_uu(data[i:i + 45]) for i in range(0, len(data), 45))
open(sys.argv[1], "wb").write(b"From: a@example.org\nSubject: old\n\nbegin 644 notes.bmp\n" +
                              lines + b"`\nend\n")
# The same text passed on in quoted-printable.
open(sys.argv[1].replace(".eml", "-qp.eml"), "wb").write(
    b"From: a@example.org\nSubject: old\nContent-Transfer-Encoding: quoted-printable\n\n" +
    binascii.b2a_qp(b"begin 644 notes.bmp\n" + lines + b"`\nend\n"))
PYTHON
# The start of a mailbox, deflated in a zip and in a tar.gz (inflated by
# offset for libpff) and stored in a zip.
pst="$project/../shared/containers/enron.pst"
if [ -f "$pst" ]; then
  head -c 65536 "$pst" > "$corpus/head.pst"
  (cd "$corpus" && zip -q pst.zip head.pst && zip -q -0 pst-stored.zip head.pst &&
    tar czf pst.tar.gz head.pst && rm head.pst)
fi
