#!/usr/bin/env python3
"""Carriers inside containers, end to end.

Containers are made with the standard tools (zip, 7z, tar with each
compressor, cpio (new and old binary), genisoimage, gcab, ar, gzip and the other single-stream compressors,
Python's zipfile for hostile names, and Python's email and mailbox for mail),
nested, encrypted, damaged and as a bomb. Every member's record must equal
what quillmark-detect says of the member as bsdtar (or Python's email)
extracts it, and its digest sha256sum of those bytes; the
evidence and the temporary folder are unchanged by the scan. A tool that is
missing leaves its rows out with a NOTICE.

usage: container_test.py SCANNER DETECTOR
"""
import binascii
import email
import email.message
import email.policy
import functools
import hashlib
import io
import mailbox
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scan_support import (bmp_with_record, check, child_of, detect, raw, records,  # noqa: E402
                          run_tests, verdict_of, write, write_large)

SCANNER, DETECTOR = (os.path.abspath(a) for a in sys.argv[1:3])

# The Outlook mailbox shared beside the project, where it is.
SHARED_PST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                          "containers", "enron.pst")

# name, shell command run in the members folder writing OUT, the tool it needs.
FORMATS = [
    ("zip", "zip -q -r OUT .", "zip"),
    ("stored.zip", "zip -q -0 -r OUT .", "zip"),
    ("7z", "7z a -bso0 -bsp0 OUT . >/dev/null", "7z"),
    ("tar", "tar cf OUT .", "tar"),
    ("tar.gz", "tar czf OUT .", "gzip"),
    ("tar.bz2", "tar cjf OUT .", "bzip2"),
    ("tar.xz", "tar cJf OUT .", "xz"),
    ("tar.zst", "tar --zstd -cf OUT .", "zstd"),
    ("tar.lz4", "tar cf - . | lz4 -q > OUT", "lz4"),
    ("cpio", "find . -type f | cpio -o -H newc --quiet > OUT", "cpio"),
    ("bin.cpio", "find . -type f | cpio -o -H bin --quiet > OUT", "cpio"),
    ("iso", "genisoimage -quiet -R -o OUT .", "genisoimage"),
    ("cab", "gcab -c -z OUT *", "gcab"),
    ("ar", "ar qc OUT *", "ar"),
]
SINGLE = [("gzip", "gzip -c"), ("bzip2", "bzip2 -c"), ("xz", "xz -c"), ("zstd", "zstd -q -c"),
          ("lzma", "xz --format=lzma -c")]


def scan(*args, timeout=120):
    return subprocess.run([SCANNER, "-q"] + list(args), capture_output=True, timeout=timeout)


def sha256(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def make_members(root):
    """Two carriers (one past the size read whole), a clean bitmap, a text."""
    members = os.path.join(root, "members")
    write(os.path.join(members, "a.bmp"), bmp_with_record(40, 30, b"a.txt"))
    write(os.path.join(members, "big.bmp"), bmp_with_record(600, 300, b"big.txt", 5e6))
    with open(os.path.join(root, "clean-source.bmp"), "wb") as out:
        out.write(bmp_with_record(20, 20, b"x")[:54] + bytes(20 * 20 * 3))
    shutil.copy(os.path.join(root, "clean-source.bmp"), os.path.join(members, "clean.bmp"))
    write(os.path.join(members, "notes.txt"), b"not a picture\n")
    return members


def make_evidence(root, members):
    """One container per format the machine can write; returns the folder."""
    evidence = os.path.join(root, "evidence")
    os.makedirs(evidence)
    for name, command, tool in FORMATS:
        if not shutil.which(tool):
            print("NOTICE: no %s: %s containers are left out" % (tool, name))
            continue
        out = os.path.join(evidence, "all." + name)
        subprocess.run(command.replace("OUT", out), shell=True, cwd=members, check=True)
    for name, command in SINGLE:
        if shutil.which(command.split()[0]):
            subprocess.run("%s a.bmp > %s" % (command, os.path.join(evidence, "a.bmp." + name)),
                           shell=True, cwd=members, check=True)
    return evidence


def mail_part(data, hop):
    """The decoded bytes of the part a mail hop locates, as Python's email
    decodes them: the locator is the IMAP part path, after "N/" in an mbox."""
    locator = raw(hop["locator"]).decode()
    locator, _, block = locator.partition(":uu")
    if hop["format"] == "mbox":
        number, locator = locator.split("/", 1)
        with tempfile.NamedTemporaryFile() as held:
            held.write(data)
            held.flush()
            data = mailbox.mbox(held.name)[int(number) - 1].as_bytes()
    entity = email.message_from_bytes(data, policy=email.policy.default)
    for number in locator.split("."):
        if entity.get_content_type() == "message/rfc822":
            entity = entity.get_payload(0)
        if entity.is_multipart():
            entity = entity.get_payload(int(number) - 1)
    data = entity.get_payload(decode=True)
    if block:
        data = uudecoded_block(data, int(block))
    return data


def uudecoded_block(text, number):
    """The bytes of the `number`th uuencoded block (from 1) in `text`, by
    Python's binascii."""
    blocks = re.findall(rb"^begin [0-7]{3,4} [^\n]+\n((?:[ -`]+\n)+?)end\s*$", text, re.M)
    return b"".join(binascii.a2b_uu(line) for line in blocks[number - 1].splitlines())


def extract(container, within):
    """The member's bytes as bsdtar writes them (bsdcat for a single
    compressed stream, Python's email for a mail part), hop by hop."""
    data = open(container, "rb").read()
    for hop in within:
        if hop["format"] in ("mime", "mbox"):
            data = mail_part(data, hop)
            continue
        with tempfile.NamedTemporaryFile() as held:
            held.write(data)
            held.flush()
            single = hop["format"] in ("gzip", "bzip2", "xz", "zstd", "lzma", "lz4", "lzip")
            command = (["bsdcat", held.name] if single
                       else ["bsdtar", "-xOf", held.name, raw(hop["member"])])
            data = subprocess.run(command, capture_output=True, check=True).stdout
    return data


def test_members_match_the_detector(root, evidence):
    """Every member of every format: the detector's verdict, sha256sum's digest."""
    before = {name: sha256(os.path.join(evidence, name)) for name in os.listdir(evidence)}
    temp = os.path.join(root, "tmp")
    os.makedirs(temp)
    done = subprocess.run([SCANNER, "-q", "--format=jsonl", "--hash=sha256", "--hash-all",
                           evidence], capture_output=True, timeout=120,
                          env=dict(os.environ, TMPDIR=temp))
    found = records(done.stdout)
    check(done.returncode == 1, "a scan of carriers exits 1: %d %s" % (done.returncode, done.stderr))
    per_file = {}
    for record in found:
        per_file.setdefault(os.path.basename(raw(record["path"]).decode()), []).append(record)
    for name in before:
        members = per_file.get(name, [])
        wanted = 1 if name.startswith("a.bmp.") else 4
        check(len(members) == wanted and all(m["within"] for m in members),
              "%s: a record per member: %r" % (name, [(m["within"], m["verdict"])
                                                    for m in members]))
        for record in members:
            data = extract(os.path.join(evidence, name), record["within"])
            path = os.path.join(root, "member")
            with open(path, "wb") as out:
                out.write(data)
            check(verdict_of(record) == detect(DETECTOR, path),
                  "%s %s: the detector's verdict" % (name, record["within"]))
            check((record["hashes"] or {}).get("sha256") == hashlib.sha256(data).hexdigest(),
                  "%s %s: sha256sum of the member" % (name, record["within"]))
    check(before == {name: sha256(os.path.join(evidence, name)) for name in before},
          "the evidence is unchanged")
    check(os.listdir(temp) == [], "nothing is written to the temporary folder")
    plain = records(scan("--format=jsonl", "--no-containers", evidence).stdout)
    check(len(plain) == len(before) and not any(r["within"] for r in plain),
          "--no-containers reads each container as one plain file")


def test_nesting_and_hostile_names(root, evidence):
    """A tar.gz in a zip with a hostile member name; the depth limit."""
    nested = os.path.join(root, "nested")
    os.makedirs(nested)
    hostile = "../\x1b[31m\udcff.bmp".encode("utf-8", "surrogateescape")
    inner = os.path.join(root, "inner.zip")
    # zipfile writes names as text; the hostile bytes go in by a raw patch.
    with zipfile.ZipFile(inner, "w") as archive:
        archive.writestr("h" * len(hostile), bmp_with_record(16, 16, b"deep.txt"))
    data = open(inner, "rb").read().replace(b"h" * len(hostile), hostile)
    open(inner, "wb").write(data)
    subprocess.run(["tar", "czf", os.path.join(root, "inner.tar.gz"), "-C", root, "inner.zip"],
                   check=True)
    subprocess.run(["zip", "-q", "-j", os.path.join(nested, "outer.zip"),
                    os.path.join(root, "inner.tar.gz")], check=True)
    found = records(scan("--format=jsonl", nested).stdout)
    chain = [(h["format"], raw(h["member"]), h["index"]) for h in found[0]["within"]]
    check(len(found) == 1 and found[0]["verdict"] == "payload" and
          chain == [("zip", b"inner.tar.gz", 0), ("tar.gz", b"inner.zip", 0), ("zip", hostile, 0)],
          "three levels, the hostile name lossless: %r" % chain)
    shallow = records(scan("--format=jsonl", "--max-depth=2", nested).stdout)
    check(len(shallow) == 1 and shallow[0]["verdict"] == "skipped" and
          "deeper" in shallow[0]["error"], "deeper than --max-depth: one skipped record")
    # On a terminal, the text output escapes the name.
    terminal, side = pty.openpty()
    subprocess.run([SCANNER, "-q", nested], stdout=side, timeout=60)
    os.close(side)
    text = os.read(terminal, 65536)
    os.close(terminal)
    check(b"\x1b" not in text and b"\\x1b" in text, "the name escaped on a terminal: %r" % text)


def test_encrypted_damaged_and_bombs(root, evidence):
    """Encrypted: skipped and counted; damaged: records, then an error;
    bombs (zeros, nested, overlapping, huge dimensions): seconds."""
    bad = os.path.join(root, "bad")
    os.makedirs(bad)
    members = os.path.join(root, "members")
    subprocess.run(["zip", "-q", "-P", "secret", os.path.join(bad, "enc.zip"), "a.bmp"],
                   cwd=members, check=True)
    if shutil.which("7z"):
        subprocess.run("7z a -bso0 -psecret -mhe=on %s a.bmp >/dev/null"
                       % os.path.join(bad, "enc.7z"), shell=True, cwd=members, check=True)
    found = records(scan("--format=jsonl", bad).stdout)
    check(len(found) == len(os.listdir(bad)) and
          all(r["verdict"] == "skipped" and r["error"] == "encrypted, not analysed" for r in found),
          "encrypted: a skipped record each: %r" % found)
    summary = subprocess.run([SCANNER, bad], capture_output=True).stderr
    check(b"encrypted members or containers, not analysed" in summary,
          "encrypted: counted on a summary line of its own: %r" % summary)

    damaged = os.path.join(root, "damaged")
    os.makedirs(damaged)
    # Deflated, and stored: a stored member read by offset that would run
    # past the cut is read as it streams, and is an error, not a verdict on
    # the bytes before the cut.
    for name, flags in (("cut.zip", "-q"), ("cut.stored.zip", "-q0")):
        subprocess.run(["zip", flags, os.path.join(root, name), "clean.bmp", "big.bmp"],
                       cwd=members, check=True)
        data = open(os.path.join(root, name), "rb").read()
        write(os.path.join(damaged, name), data[:len(data) // 2])
        done = scan("--format=jsonl", "--all", os.path.join(damaged, name))
        found = records(done.stdout)
        check(done.returncode == 2 and found[0]["verdict"] == "clean" and
              [r["verdict"] for r in found[1:]] == ["error"] * (len(found) - 1) and
              found[-1]["within"] is None and found[-1]["error"].startswith("damaged container: "),
              "%s: what could be read, then an error, status 2: %r" % (name, found))
    # A stored member whose CRC does not match, streamed (the zip in a
    # tar.gz): its last read fails, and it is an error, not a verdict. (One
    # read by offset reads only what its analysis needs, so no CRC is taken.)
    held = io.BytesIO()
    with zipfile.ZipFile(held, "w") as archive:
        archive.write(os.path.join(members, "a.bmp"), "a.bmp")
    data = bytearray(held.getvalue())
    for header, at in ((b"PK\x03\x04", 14), (b"PK\x01\x02", 16)):
        data[data.index(header) + at] ^= 0xFF
    write(os.path.join(root, "crc", "bad-crc.zip"), bytes(data))
    subprocess.run(["tar", "czf", os.path.join(damaged, "crc.tar.gz"), "-C",
                    os.path.join(root, "crc"), "bad-crc.zip"], check=True)
    done = scan("--format=jsonl", os.path.join(damaged, "crc.tar.gz"))
    found = records(done.stdout)
    check(done.returncode == 2 and [r["verdict"] for r in found] == ["error"] and
          "CRC" in found[0]["error"], "a stored member with a bad CRC: an error: %r" % found)
    # The same zip as a file: its member read by offset gets its verdict,
    # but asked for digests it is read whole, through the library, which
    # checks its CRC.
    for options, verdicts in (([], ["payload"]), (["--hash=sha256"], ["error"])):
        found = records(scan("--format=jsonl", *options, os.path.join(root, "crc")).stdout)
        check([r["verdict"] for r in found] == verdicts and
              (verdicts == ["payload"] or "CRC" in found[0]["error"]),
              "bad-crc.zip %s: %s: %r" % (options, verdicts, found))
    # A compressed stream cut off (it states no size): its member is an error
    # that says why, not a verdict on the bytes before the cut.
    gzipped = subprocess.run(["gzip", "-c", os.path.join(members, "big.bmp")],
                             capture_output=True, check=True).stdout
    cut = os.path.join(root, "cut-stream")
    write(os.path.join(cut, "big.bmp.gz"), gzipped[:len(gzipped) // 2])
    done = scan("--format=jsonl", "--all", cut)
    found = records(done.stdout)
    check(done.returncode == 2 and [r["verdict"] for r in found] == ["error"] and
          found[0]["within"] and found[0]["error"].startswith("cannot read the member: "),
          "a cut stream: its member an error, status 2: %r" % found)
    # A gzip trailer that does not match what inflates, which libarchive
    # passes over and gzip -t fails: a tar.gz gives its members' records,
    # then an error for itself; a single stream's one member is an error.
    # A stream cut inside its header holds nothing: an error that says so.
    trailer = os.path.join(root, "trailer")
    os.makedirs(trailer)
    subprocess.run(["tar", "czf", os.path.join(trailer, "a.tar.gz"), "-C", members, "a.bmp"],
                   check=True)
    write(os.path.join(trailer, "big.bmp.gz"), gzipped)
    write(os.path.join(trailer, "cut.gz"), gzipped[:5])
    for name, back in (("a.tar.gz", 8), ("big.bmp.gz", 3)):
        data = bytearray(open(os.path.join(trailer, name), "rb").read())
        data[-back] ^= 0x5A
        write(os.path.join(trailer, name), bytes(data))
        check(subprocess.run(["gzip", "-t", os.path.join(trailer, name)],
                             capture_output=True).returncode != 0, "gzip -t fails %s" % name)
    done = scan("--format=jsonl", trailer)
    found = {(raw(r["path"]), r["within"] is None): r for r in records(done.stdout)}
    tar, single, cut = (os.path.join(trailer, name).encode()
                        for name in ("a.tar.gz", "big.bmp.gz", "cut.gz"))
    check(done.returncode == 1 and len(found) == 4 and
          found[(cut, True)]["error"] == "damaged container: gzip: truncated gzip input" and
          found[(tar, False)]["verdict"] == "payload" and
          found[(tar, True)]["error"] == "damaged container: gzip: incorrect data check" and
          found[(single, False)]["error"] == "cannot read the member: gzip: incorrect length check",
          "gzip trailers that do not match: errors that say so (status 1: a payload): %r" % found)

    # Tars that tools stop short in: a header whose checksum does not match
    # is passed over, as bsdtar does, and a tar after another's end marker
    # is read, as GNU tar -i does; a carrier after either is found. The
    # damage is the container's error, after its members' records.
    tars = os.path.join(root, "tars")

    def tar_of(*names):  # ustar: libarchive gives up on damage after a pax header
        return subprocess.run(["tar", "--format=ustar", "-cf", "-"] + list(names), cwd=members,
                              capture_output=True, check=True).stdout

    broken = bytearray(tar_of("clean.bmp", "big.bmp", "a.bmp"))
    broken[broken.index(b"big.bmp\0") + 1] ^= 0x20
    write(os.path.join(tars, "damaged.tar"), bytes(broken))
    two = tar_of("clean.bmp") + tar_of("a.bmp")
    write(os.path.join(tars, "concatenated.tar"), two)
    damage = [(None, "damaged container: Damaged tar archive")]
    for name, tail in (("damaged.tar", damage), ("concatenated.tar", [])):
        done = scan("--format=jsonl", "--all", os.path.join(tars, name))
        found = [(r["within"] and (raw(r["within"][-1]["member"]), r["within"][-1]["index"]),
                  r["error"] or r["verdict"]) for r in records(done.stdout)]
        check(done.returncode == 1 and
              found == [((b"clean.bmp", 0), "clean"), ((b"a.bmp", 1), "payload")] + tail,
              "%s: the carrier after the tar's end or damage: %r" % (name, found))

    # Zeros read as an empty tar; a stream that does not state its size is
    # held only up to its limit; an mtree, whose entries name the host's
    # files, is read as the bytes it is, never followed.
    bomb = os.path.join(root, "bomb")
    os.makedirs(bomb)
    subprocess.run("head -c 200000000 /dev/zero | gzip -1 > %s; yes | head -c 60000000 | "
                   "gzip -1 > %s" % (os.path.join(bomb, "x.bmp.gz"),
                                     os.path.join(bomb, "y.bmp.gz")), shell=True, check=True)
    subprocess.run("printf '#mtree\\n./etc/hostname type=file\\n' | gzip > %s"
                   % os.path.join(bomb, "z.mtree.gz"), shell=True, check=True)
    # Zips nested four deep, sixteen to a level: 65,536 members in 15 KB.
    nested = b"BM" + bytes(200)
    for level in range(4):
        held = io.BytesIO()
        with zipfile.ZipFile(held, "w", zipfile.ZIP_DEFLATED) as archive:
            for number in range(16):
                archive.writestr("%d-%02d%s" % (level, number, ".zip" if level else ".bmp"), nested)
        nested = held.getvalue()
    write(os.path.join(root, "nested-bomb", "n.zip"), nested)
    found = records(scan("--format=jsonl", "--max-members=1000", os.path.join(root, "nested-bomb"),
                         timeout=30).stdout)
    check(len(found) == 1001 and found[-1]["verdict"] == "skipped" and
          found[-1]["error"].startswith("more members than --max-members") and
          found[-1]["within"] is None, "a nested bomb stops at --max-members, and says so")
    # A thousand entries of the central directory that all name one member
    # of 10 MiB of zeros: libarchive reads the member once.
    held = io.BytesIO()
    with zipfile.ZipFile(held, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("m0000.bmp", bytes(10 << 20))
    data = held.getvalue()
    end = data.rindex(b"PK\x05\x06")
    directory = data[struct.unpack("<I", data[end + 16:end + 20])[0]:end]
    entries = b"".join(directory.replace(b"m0000", b"m%04d" % n) for n in range(1000))
    tail = bytearray(data[end:])
    struct.pack_into("<HHII", tail, 8, 1000, 1000, len(entries), len(data) - len(directory) -
                     len(tail))
    write(os.path.join(root, "overlap-bomb", "o.zip"),
          data[:len(data) - len(directory) - len(tail)] + entries + bytes(tail))
    started = time.time()
    found = records(scan("--format=jsonl", "--hash-all", os.path.join(root, "overlap-bomb"),
                         timeout=30).stdout)
    check(len(found) == 1 and found[0]["verdict"] == "clean" and time.time() - started < 10,
          "overlapping members: the shared stream read once: %r" % found)
    # A member whose header claims 2,000,000,000 pixels square: its verdict
    # is the detector's, at once.
    huge = b"BM" + struct.pack("<IHHIIiiHHIIiiII", 0xFFFFFFFF, 0, 0, 54, 40, 2000000000,
                               2000000000, 1, 24, 0, 0, 2835, 2835, 0, 0) + bytes(1000)
    write(os.path.join(root, "huge.bmp"), huge)
    os.makedirs(os.path.join(root, "huge-bomb"))
    with zipfile.ZipFile(os.path.join(root, "huge-bomb", "h.zip"), "w") as archive:
        archive.writestr("huge.bmp", huge)
    found = records(scan("--format=jsonl", os.path.join(root, "huge-bomb"), timeout=10).stdout)
    alone = detect(DETECTOR, os.path.join(root, "huge.bmp"))
    check(len(found) == 1 and verdict_of(found[0]) == alone,
          "a member that claims huge dimensions: the detector's verdict: %r" % found)
    found = records(scan("--format=jsonl", "--all", bomb, timeout=30).stdout)
    check([r["error"] for r in found] == [
        "a container that holds no file",
        "a compressed stream that does not state its size, over 48 MiB: not analysed", None] and
        found[2]["within"][0]["format"] == "gzip" and found[2]["verdict"] == "clean",
        "bombs: a skipped record each, in seconds; the mtree as bytes: %r" % found)


def test_outlook_mailbox(root, evidence):
    """Every attachment of the shared PST: its digest is sha256sum of the
    file pffexport writes at its locator."""
    pst = SHARED_PST
    if not os.path.isfile(pst) or not shutil.which("pffexport"):
        print("NOTICE: no shared PST or no pffexport (pff-tools): mailboxes are not tested")
        return
    before = sha256(pst)
    found = records(scan("--format=jsonl", "--hash=sha256", "--hash-all", pst).stdout)
    out = os.path.join(root, "pff")
    subprocess.run(["pffexport", "-q", "-t", out, pst], capture_output=True, check=True)
    # pffexport writes LOCATOR_NAME, the name with some characters replaced.
    exported = {}
    for directory, _, files in os.walk(out + ".export"):
        for name in files:
            if os.path.basename(directory) == "Attachments":
                number = name.split("_", 1)[0]
                exported[os.path.join(directory, number)] = sha256(os.path.join(directory, name))
    matched = 0
    for record in found:
        path = os.path.join(out + ".export", raw(record["within"][0]["locator"]).decode())
        matched += exported.get(path) == record["hashes"]["sha256"]
    check(len(found) == len(exported) == matched,
          "every attachment, digest as pffexport writes it: %d records, %d files, %d equal"
          % (len(found), len(exported), matched))
    # In a zip, stored or deflated, or in a tar, the mailbox is read where it
    # lies, by offset; in a tar.gz (after another member), by offset in the
    # gzip stream, once it has been run through; attached to mail, it can
    # only stream past, and is held to be read. One of over 64 MiB is walked
    # in a tar.gz, and is a skipped record where it streams (in a tar.gz in
    # a deflated zip).
    held = os.path.join(root, "pst-held")
    os.makedirs(held)
    subprocess.run(["zip", "-q", "-0", "-j", os.path.join(held, "stored.zip"), pst], check=True)
    subprocess.run(["zip", "-q", "-j", os.path.join(held, "deflated.zip"), pst], check=True)
    subprocess.run(["tar", "cf", os.path.join(held, "plain.tar"), "-C", os.path.dirname(pst),
                    os.path.basename(pst)], check=True)
    with tarfile.open(os.path.join(held, "indexed.tar.gz"), "w:gz") as archive:
        archive.add(os.path.join(root, "members", "a.bmp"), "a.bmp")
        archive.add(pst, "enron.pst")
    sent = email.message.EmailMessage()
    sent["From"], sent["Subject"] = "a@example.org", "the mailbox"
    sent.add_attachment(open(pst, "rb").read(), maintype="application",
                        subtype="vnd.ms-outlook", filename="enron.pst")
    write(os.path.join(held, "sent.eml"), sent.as_bytes())
    with tarfile.open(os.path.join(held, "large.tar.gz"), "w:gz", compresslevel=1) as archive:
        large = tarfile.TarInfo("large.pst")
        large.size = (64 << 20) + 1
        archive.addfile(large, io.BytesIO(b"!BDN" + bytes(large.size - 4)))
    with zipfile.ZipFile(os.path.join(held, "large.zip"), "w", zipfile.ZIP_DEFLATED) as archive:
        archive.write(os.path.join(held, "large.tar.gz"), "large.tar.gz")
    wanted = [([hop["locator"] for hop in r["within"]], r["hashes"]["sha256"]) for r in found]
    inside = records(scan("--format=jsonl", "--hash=sha256", "--hash-all", held).stdout)
    for name, outer in (("stored.zip", "zip"), ("deflated.zip", "zip"), ("plain.tar", "tar"),
                        ("indexed.tar.gz", "tar.gz"), ("sent.eml", "mime")):
        got = [([hop["locator"] for hop in r["within"][1:]], r["hashes"]["sha256"]) for r in inside
               if raw(r["path"]).endswith(name.encode()) and r["within"][0]["format"] == outer and
               len(r["within"]) > 1]
        check(got == wanted, "the mailbox in %s: %d records as its own %d" %
              (name, len(got), len(wanted)))
    # Deflated with a CRC that does not match: its records, then an error.
    data = bytearray(open(os.path.join(held, "deflated.zip"), "rb").read())
    for header, at in ((b"PK\x03\x04", 14), (b"PK\x01\x02", 16)):
        data[data.index(header) + at] ^= 0xFF
    write(os.path.join(root, "pst-crc", "bad-crc.zip"), bytes(data))
    done = scan("--format=jsonl", os.path.join(root, "pst-crc"))
    damaged = records(done.stdout)
    check(done.returncode == 2 and len(damaged) == len(wanted) + 1 and
          "CRC" in damaged[-1]["error"], "a zipped mailbox failing its CRC: its records, then "
          "an error: %d %r" % (done.returncode, damaged[-1:]))
    walked = [r["error"] for r in inside if raw(r["path"]).endswith(b"large.tar.gz")]
    streamed = [r["error"] for r in inside if raw(r["path"]).endswith(b"large.zip")]
    check(len(walked) == 1 and walked[0].startswith("damaged container: libpff") and
          streamed == ["an Outlook mailbox that streams, over 64 MiB: not walked"],
          "a mailbox of over 64 MiB: walked in a tar.gz, skipped where it streams: %r %r"
          % (walked, streamed))
    check(sha256(pst) == before, "the mailbox is unchanged")


def message(members, subject, names, encoding="base64"):
    """A message with a text body and the named files of `members` attached."""
    built = email.message.EmailMessage()
    built["From"], built["To"], built["Subject"] = "a@example.org", "b@example.org", subject
    built.set_content("see the attachments\n")
    for name in names:
        built.add_attachment(open(os.path.join(members, name), "rb").read(), maintype="image",
                             subtype="bmp", filename=name, cte=encoding)
    return built


def uuencoded(name, data):
    """`data` as a MIME part in the x-uuencode transfer encoding."""
    lines = b"".join(binascii.b2a_uu(data[i:i + 45]) for i in range(0, len(data), 45))
    part = email.message.Message()
    part["Content-Type"] = "application/octet-stream"
    part["Content-Disposition"] = 'attachment; filename="%s"' % name
    part["Content-Transfer-Encoding"] = "x-uuencode"
    part.set_payload(b"begin 644 " + name.encode() + b"\n" + lines + b"`\nend\n")
    return part


def check_against_extracted(root, found):
    """Each record, scanned with --hash=sha256 --hash-all, against the
    detector on its member as extract() writes it, and sha256sum of it."""
    for record in found:
        data = extract(raw(record["path"]).decode(), record["within"])
        path = os.path.join(root, "member")
        write(path, data)
        check(verdict_of(record) == detect(DETECTOR, path) and
              record["hashes"]["sha256"] == hashlib.sha256(data).hexdigest(),
              "%r: the detector's verdict, sha256sum's digest" % record["within"])


def test_mail(root, evidence):
    """Every part of a message, a mailbox and a message in a zip: decoded
    from base64, quoted-printable and uuencode, an attached zip and message
    walked; a truncated message and a broken boundary are errors."""
    members = os.path.join(root, "members")
    mail = os.path.join(root, "mail")
    os.makedirs(mail)
    one = message(members, "one", ["a.bmp"])
    one.add_attachment(open(os.path.join(evidence, "all.zip"), "rb").read(),
                       maintype="application", subtype="zip", filename="all.zip")
    one.add_attachment(message(members, "inner", ["big.bmp"], "quoted-printable"))
    one.attach(uuencoded("clean.bmp", open(os.path.join(members, "clean.bmp"), "rb").read()))
    write(os.path.join(mail, "one.eml"), one.as_bytes())
    box = mailbox.mbox(os.path.join(mail, "box.mbox"))
    for number in range(3):
        box.add(message(members, "box %d" % number, ["a.bmp"]))
    box.flush()
    with zipfile.ZipFile(os.path.join(mail, "mail.zip"), "w") as archive:
        archive.writestr("in.eml", message(members, "zipped", ["a.bmp"]).as_bytes())
    done = scan("--format=jsonl", "--all", "--hash=sha256", "--hash-all", mail)
    found = records(done.stdout)
    # one.eml: body, a.bmp, the zip's four members, the inner message's body
    # and big.bmp, clean.bmp; the mailbox: a body and a.bmp each; the zip:
    # a body and a.bmp.
    check(done.returncode == 1 and len(found) == 9 + 6 + 2,
          "a record per part: %d %r" % (done.returncode, [r["within"] for r in found]))
    check_against_extracted(root, found)

    damaged = os.path.join(root, "damaged-mail")
    os.makedirs(damaged)
    whole = one.as_bytes()
    write(os.path.join(damaged, "cut.eml"), whole[:whole.index(b"a.bmp") + 500])
    boundary = one.get_boundary().encode()
    write(os.path.join(damaged, "unbounded.eml"),
          whole.replace(b"--" + boundary, b"--elsewhere"))
    for name, why in (("cut.eml", "the message is truncated"),
                      ("unbounded.eml", "")):
        done = scan("--format=jsonl", "--all", os.path.join(damaged, name))
        found = records(done.stdout)
        check(done.returncode == 2 and found[-1]["within"] is None and
              found[-1]["error"].startswith("damaged container: " + why),
              "%s: an error that says why, status 2: %d %r" % (name, done.returncode, found[-1]))


def test_uuencoded_blocks_in_text(root, evidence):
    """Files uuencoded in the text of a message, as mail carried them of
    old, are members named by their begin lines; prose that begins
    "begin 100" is not a block. In a message file, in a zip, and in a text
    part in quoted-printable or base64."""
    members = os.path.join(root, "members")
    folder = os.path.join(root, "uuencoded")
    os.makedirs(folder)
    blocks = b""
    for name in ("a.bmp", "clean.bmp"):
        data = open(os.path.join(members, name), "rb").read()
        lines = b"".join(binascii.b2a_uu(data[i:i + 45]) for i in range(0, len(data), 45))
        blocks += b"begin 644 " + name.encode() + b"\n" + lines + b"`\nend\nthat was it\n"
    body = b"begin 100 meters of prose\nand more prose\n" + blocks
    text = b"From: a@example.org\nTo: b@example.org\nSubject: of old\n\n" + body
    write(os.path.join(folder, "old.eml"), text)
    with zipfile.ZipFile(os.path.join(folder, "old.zip"), "w") as archive:
        archive.writestr("old.eml", text)
    # The same text as a gateway may have passed it on, in a transfer encoding.
    for encoding in ("quoted-printable", "base64"):
        passed = email.message.EmailMessage()
        passed["From"], passed["Subject"] = "a@example.org", "passed on"
        passed.set_content(body.decode("ascii"), cte=encoding)
        write(os.path.join(folder, encoding + ".eml"), passed.as_bytes())
    found = records(scan("--format=jsonl", "--hash=sha256", "--hash-all", folder).stdout)
    for name in ("old.eml", "old.zip", "quoted-printable.eml", "base64.eml"):
        got = [r for r in found if raw(r["path"]).endswith(name.encode())]
        hops = [(raw(r["within"][-1]["member"]), raw(r["within"][-1]["locator"])) for r in got]
        check(hops == [(b"", b"1"), (b"a.bmp", b"1:uu1"), (b"clean.bmp", b"1:uu2")],
              "%s: the text, then a member per block, named and located: %r" % (name, hops))
        check_against_extracted(root, got)


def test_iso_inside_zip_and_mail(root, evidence):
    """An ISO 9660 image, told 32 KiB into its bytes, is opened as a zip
    member and as a mail part too: the records of the ISO file itself."""
    iso = os.path.join(evidence, "all.iso")
    if not os.path.exists(iso):
        return
    folder = os.path.join(root, "iso-nested")
    os.makedirs(folder)
    subprocess.run(["zip", "-q", "-j", os.path.join(folder, "iso.zip"), iso], check=True)
    write(os.path.join(folder, "iso.eml"), message(evidence, "an ISO", ["all.iso"]).as_bytes())

    def members(found):
        return sorted((r["verdict"], r["within"][-1]["format"], raw(r["within"][-1]["member"]))
                      for r in found)

    wanted = members(records(scan("--format=jsonl", "--all", iso).stdout))
    found = records(scan("--format=jsonl", "--all", folder).stdout)
    for name in ("iso.zip", "iso.eml"):
        got = members(r for r in found if raw(r["path"]).endswith(name.encode()) and
                      r["within"][-1]["format"] == "iso9660")
        check(len(wanted) == 4 and got == wanted, "the ISO in %s: %r" % (name, got))


def test_containers_in_disk_images(root, evidence):
    """Containers in ext4 and FAT images, allocated and deleted, the shared
    Outlook mailbox among them where it is (and zipped): the same records
    and digests as the same files give in a tree; the image is unchanged."""
    if not all(shutil.which(tool) for tool in ("mke2fs", "debugfs", "mkfs.fat", "mcopy")):
        print("NOTICE: no e2fsprogs or mtools: containers in disk images are not tested")
        return
    files = os.path.join(root, "image-files")
    os.makedirs(files)
    for name in ("all.zip", "all.stored.zip", "all.tar.gz", "all.iso"):
        if os.path.exists(os.path.join(evidence, name)):
            shutil.copy(os.path.join(evidence, name), files)
    shutil.copy(os.path.join(evidence, "all.zip"), os.path.join(files, "gone.zip"))
    if os.path.exists(SHARED_PST):
        shutil.copy(SHARED_PST, files)
        # Deflated in a zip, the mailbox is inflated by offset through the
        # image's library.
        subprocess.run(["zip", "-q", "-j", os.path.join(files, "pst.zip"), SHARED_PST], check=True)
    write(os.path.join(files, "mail.eml"),
          message(os.path.join(root, "members"), "in an image", ["a.bmp"]).as_bytes())
    options = ["--format=jsonl", "--all", "--hash=sha256", "--hash-all"]

    def summary(found):
        return sorted((repr(r["within"]), r["verdict"], r["hashes"]["sha256"]) for r in found)

    wanted = {}
    for record in records(scan(*options, files).stdout):
        wanted.setdefault(os.path.basename(raw(record["path"]).decode()), []).append(record)
    ext4, fat = os.path.join(root, "files.ext4"), os.path.join(root, "files.fat")
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", files, ext4, "40M"], check=True,
                   capture_output=True)
    subprocess.run(["debugfs", "-w", "-R", "rm /gone.zip", ext4], check=True, capture_output=True)
    subprocess.run(["mkfs.fat", "-C", fat, "40960"], check=True, capture_output=True)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    for name in sorted(os.listdir(files)):
        subprocess.run(["mcopy", "-i", fat, os.path.join(files, name), "::/" + name], env=env,
                       check=True)
    subprocess.run(["mdel", "-i", fat, "::/gone.zip"], env=env, check=True)
    for image in (ext4, fat):
        before = sha256(image)
        found = {}
        for record in records(scan(*options, "--image=" + image).stdout):
            name = os.path.basename(raw(record["path"]).decode())
            # FAT shows a deleted entry with its first byte overwritten.
            found.setdefault("g" + name[1:] if name.startswith("_") else name, []).append(record)
        for name, members in wanted.items():
            check(summary(found.get(name, [])) == summary(members) and
                  all(r["deleted"] == (name == "gone.zip") and r["inode"] for r in found[name]),
                  "%s in %s: the records of the tree, deleted where it is: %r"
                  % (name, os.path.basename(image), found.get(name)))
        check(sha256(image) == before, "%s is unchanged" % image)


def test_lanes_give_the_records_of_one_walk(root, evidence):
    """A zip walked by several lanes side by side, and an archive whose
    members are analysed on a thread of their own while it is read on, give
    the records one walk gives, in the same order: whole, damaged (the walk
    stops where one walk stops), past --max-members, and with a nested zip
    among the members."""
    lanes = os.path.join(root, "lanes")
    members = os.path.join(root, "members")
    held = io.BytesIO()
    with zipfile.ZipFile(held, "w", zipfile.ZIP_DEFLATED) as archive:
        for number in range(12):
            for name in sorted(os.listdir(members)):
                archive.write(os.path.join(members, name), "%02d-%s" % (number, name))
        archive.write(os.path.join(evidence, "all.zip"), "nested.zip")
        archive.write(os.path.join(members, "a.bmp"), "last.bmp")
    data = held.getvalue()
    write(os.path.join(lanes, "many.zip"), data)
    # The same members in a tar.gz, and the tar.gz cut short in a member.
    with tarfile.open(os.path.join(lanes, "many.tar.gz"), "w:gz") as archive:
        for info in zipfile.ZipFile(io.BytesIO(data)).infolist():
            entry = tarfile.TarInfo(info.filename)
            entry.size = info.file_size
            archive.addfile(entry, zipfile.ZipFile(io.BytesIO(data)).open(info))
    packed = open(os.path.join(lanes, "many.tar.gz"), "rb").read()
    write(os.path.join(lanes, "cut.tar.gz"), packed[:len(packed) * 3 // 5])

    def damaged(name, member, at, mask):
        """many.zip with a byte of the `member`th member's local header, or
        with `at` past the header, its first byte of data, or'ed with `mask`."""
        broken, start = bytearray(data), -1
        for _ in range(member + 1):
            start = broken.index(b"PK\x03\x04", start + 1)
        name_length, extra_length = struct.unpack("<HH", broken[start + 26:start + 30])
        broken[start + (at if at is not None else 30 + name_length + extra_length)] |= mask
        write(os.path.join(lanes, name), bytes(broken))

    # An invalid deflate block (type 3): that member is an error, the rest
    # are read. A local header that is not one: the walk stops there.
    damaged("inflate.zip", 2, None, 0x06)
    damaged("header.zip", 9, 2, 0x30)
    # The zips as files of an ext4 image, each lane reading the image
    # through a reader of its own.
    image = os.path.join(root, "lanes.ext4")
    if shutil.which("mke2fs"):
        subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", lanes, image, "64M"], check=True,
                       capture_output=True)
    # name, options, how many records at least
    for name, options, least in (("many.zip", ["--hash-all"], 50), ("inflate.zip", [], 50),
                                 ("header.zip", [], 10), ("many.zip", ["--max-members=17"], 18),
                                 ("many.tar.gz", ["--hash-all"], 50), ("cut.tar.gz", [], 10),
                                 ("many.tar.gz", ["--max-members=17"], 18),
                                 ("lanes.ext4", ["--hash-all", "--image"], 150)):
        path = os.path.join(root if name == "lanes.ext4" else lanes, name)
        if not os.path.exists(path):
            print("NOTICE: no mke2fs: zips in a disk image are not walked in lanes here")
            continue
        before = sha256(path)
        one = scan("--format=jsonl", "--all", "-j1", *options, path)
        several = scan("--format=jsonl", "--all", "-j3", *options, path)
        check(one.stdout == several.stdout and one.returncode == several.returncode and
              len(records(one.stdout)) >= least and sha256(path) == before,
              "%s %s: three lanes give one walk's records: %d %d lines"
              % (name, options, one.stdout.count(b"\n"), several.stdout.count(b"\n")))


def test_sparse_tar_members(root, evidence):
    """Members that tar stored sparse, ending in a hole, one read whole and
    one past that size, as GNU tar and pax write them: their holes read as
    zeros, with or without digests."""
    sparse = os.path.join(root, "sparse")
    os.makedirs(sparse)
    write_large(os.path.join(sparse, "small.bmp"), 2800, 25, b"small.txt")
    write_large(os.path.join(sparse, "large.bmp"), 4000, 300, b"large.txt")
    wanted = {name: (detect(DETECTOR, os.path.join(sparse, name)), sha256(os.path.join(sparse, name)))
              for name in ("small.bmp", "large.bmp")}
    for layout in ("gnu", "pax"):
        archive = os.path.join(root, "sparse.%s.tar" % layout)
        subprocess.run(["tar", "--sparse", "--format=" + layout, "-cf", archive, "-C", sparse,
                        "small.bmp", "large.bmp"], check=True)
        check(os.path.getsize(archive) < 3600054, "%s: tar stored the bitmaps sparse" % layout)
        for options in ([], ["--hash=sha256", "--hash-all"]):
            found = records(scan("--format=jsonl", *options, archive).stdout)
            got = {raw(r["within"][0]["member"]).decode(): (verdict_of(r), (r["hashes"] or {})
                                                             .get("sha256")) for r in found}
            check(got.keys() == wanted.keys() and all(
                got[name][0] == wanted[name][0] and (not options or got[name][1] == wanted[name][1])
                for name in wanted), "%s %s: the holes read as zeros: %r" % (layout, options, got))


def test_walker_program_missing(root, evidence):
    """A scanner installed without the programs it starts, to walk
    containers and read disk images, says so for each container and image,
    as an error record, and goes on."""
    alone = os.path.join(root, "alone")
    os.makedirs(alone)
    shutil.copy(SCANNER, alone)
    done = subprocess.run([os.path.join(alone, "quillmark-scan"), "-q", "--format=jsonl",
                           os.path.join(evidence, "all.zip"), os.path.join(root, "clean-source.bmp"),
                           "--image=" + os.path.join(evidence, "all.tar")],
                          capture_output=True, timeout=60)
    found = records(done.stdout)
    check(done.returncode == 2 and [r["verdict"] for r in found] == ["error", "clean", "error"] and
          "quillmark-scan-containers" in found[0]["error"] and
          "quillmark-scan-images" in found[2]["error"],
          "no helpers: an error record per container and image, the scan goes on: %d %r"
          % (done.returncode, found))


def test_one_child_for_many_containers(root, evidence):
    """Containers are read by one child in turn: when it is killed, or
    hangs, between two containers, at most one of the next two is lost (an
    error record that says why), and the other is read whole."""
    zipped = os.path.join(evidence, "all.zip").encode()
    members = ["payload", "clean", "payload", "clean"]  # all.zip's, as JSON lines

    def ask(scanner, wanted):
        """Asks for all.zip and reads `wanted` lines (30 s at most)."""
        scanner.stdin.write(zipped + b"\n")
        scanner.stdin.flush()
        data, end = b"", time.time() + 30
        while data.count(b"\n") < wanted and time.time() < end:
            if not select.select([scanner.stdout], [], [], end - time.time())[0]:
                break
            chunk = os.read(scanner.stdout.fileno(), 65536)
            if not chunk:
                break
            data += chunk
        return [r["verdict"] for r in records(data)]

    def idle_child(scanner):
        """The scanner's container child, once it waits for its next
        request (a thread in read(2) on its standard input)."""
        child = child_of(scanner.pid, "--container-child")
        for _ in range(500):
            try:
                if child and any(open("/proc/%d/task/%s/syscall" % (child, task)).read()
                                 .startswith("0 0x0 ")
                                 for task in os.listdir("/proc/%d/task" % child)):
                    break
            except OSError:
                break
            time.sleep(0.01)
        return child

    for signum, lost in ((signal.SIGKILL, "the process that reads it died of signal"),
                         (signal.SIGSTOP, "gave up on the container")):
        scanner = subprocess.Popen([SCANNER, "--format=jsonl", "-q", "--image-timeout=2",
                                    "--files-from=-"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        check(ask(scanner, 4) == members, "%s: the first container whole" % signum.name)
        child = idle_child(scanner)
        check(child is not None, "containers are read by a child process")
        if child:
            os.kill(child, signum)
        out, _ = scanner.communicate(zipped + b"\n" + zipped + b"\n", timeout=60)
        found = records(out)
        # A request written before the killed child's pipe closed is lost
        # with it, and one written to a stopped child after the timeout;
        # a lost container is one error record that says why.
        outcomes = []
        while found:
            if found[0]["verdict"] == "error" and lost in found[0]["error"]:
                outcomes, found = outcomes + ["lost"], found[1:]
            elif [r["verdict"] for r in found[:4]] == members:
                outcomes, found = outcomes + ["whole"], found[4:]
            else:
                outcomes, found = outcomes + [repr(found)], []
        check(outcomes in (["whole", "whole"], ["lost", "whole"], ["whole", "lost"]),
              "%s: at most one of the next two containers lost, the other whole: %r"
              % (signum.name, outcomes))


def main():
    root = tempfile.mkdtemp(prefix="quillmark-container-test-")
    try:
        if not shutil.which("bsdtar"):
            print("NOTICE: no bsdtar (libarchive-tools): containers are not tested")
            return 0
        members = make_members(root)
        evidence = make_evidence(root, members)
        return run_tests(functools.partial(test, root, evidence) for test in (
            test_members_match_the_detector, test_nesting_and_hostile_names,
            test_encrypted_damaged_and_bombs, test_outlook_mailbox, test_mail,
            test_uuencoded_blocks_in_text, test_iso_inside_zip_and_mail,
            test_containers_in_disk_images, test_lanes_give_the_records_of_one_walk,
            test_sparse_tar_members, test_walker_program_missing, test_one_child_for_many_containers))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
