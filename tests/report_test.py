#!/usr/bin/env python3
"""End-to-end checks of the reports an examiner files: digests and DFXML.

Digests in every format equal md5sum, sha1sum and sha256sum of the source
files, and of the bytes The Sleuth Kit's icat extracts from an image; a file
that changes while it is hashed is an error, never a digest. The DFXML of a
tree scan and of an image scan is valid against the DFXML schema (skipped
with a notice where the schema is absent), and reads back, with Python's
XML parser, into the verdicts of the JSON lines of the same scan; an
interrupted scan still ends its document; hostile names give well-formed
XML from which the exact bytes come back.

usage: report_test.py SCANNER DETECTOR SCHEMA
"""
import base64
import hashlib
import functools
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conformance  # noqa: E402
from scan_support import (bmp_with_record, check, interrupted_scan, raw,  # noqa: E402
                          records, run_tests, write, write_large)

SCANNER, DETECTOR, SCHEMA = (os.path.abspath(a) for a in sys.argv[1:4])
DFXML = "{http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML}"
OURS = "{urn:x-quillmark:scan:1}"


def scan(*args, timeout=300):
    done = subprocess.run([SCANNER, "-q"] + list(args), capture_output=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def make_tree(root):
    tree = os.path.join(root, "tree")
    write(os.path.join(tree, "a.bmp"), bmp_with_record(60, 40, b"a.txt"))
    write(os.path.join(tree, "clean.bmp"), bytes(conformance.bitmap(random.Random(1), 50, 30)))
    write(os.path.join(tree, "notes.txt"), b"not a bitmap\n")
    write(os.path.join(tree, "empty"), b"")
    # Larger than what is read whole: read through in large reads.
    write_large(os.path.join(tree, "large.bmp"), 4000, 400, b"large.txt")
    write(os.path.join(tree, b"hostile-\x01\xff&<\\>.bmp".decode("utf-8", "surrogateescape")),
          bmp_with_record(30, 30, b"n\x1b]0;\x07ame\xff"))
    return tree


def digests_of(path):
    with open(path, "rb") as data:
        content = data.read()
    return {name: hashlib.new(name, content).hexdigest() for name in ("md5", "sha1", "sha256")}


def tool_digest(tool, path):
    """What md5sum, sha1sum or sha256sum says of the bytes of `path` (fed on
    standard input, since they escape hostile names in their output)."""
    with open(path, "rb") as data:
        return subprocess.run([tool], stdin=data, capture_output=True).stdout.split()[0].decode()


def fileobjects(document):
    """(path bytes or None, fileobject) of every fileobject of a DFXML text."""
    root = ElementTree.fromstring(document)
    objects = []
    for volume in root.iter(DFXML + "volume"):
        for fileobject in volume.findall(DFXML + "fileobject"):
            exact = fileobject.find(OURS + "filename_bytes")
            name = fileobject.find(DFXML + "filename")
            if exact is not None:
                path = base64.b64decode(exact.text)
            else:
                path = name.text.encode() if name is not None else None
            objects.append((path, fileobject))
    return root, objects


def validate(path, what):
    if not os.path.exists(SCHEMA):
        print("NOTICE: %s not validated: no DFXML schema at %s" % (what, SCHEMA))
        return
    if not shutil.which("xmllint"):
        print("NOTICE: %s not validated: no xmllint (libxml2-utils)" % what)
        return
    done = subprocess.run(["xmllint", "--noout", "--schema", SCHEMA, path], capture_output=True)
    check(done.returncode == 0, "%s: valid against the DFXML schema: %r" % (what, done.stderr[-800:]))


def test_digests(root, tree, image):
    """Every format's digests are the coreutils' of the source files."""
    sources = {}
    for name in os.listdir(tree):
        sources[os.path.join(tree, name).encode("utf-8", "surrogateescape")] = name
    rows = [
        # what, options, which files carry digests, of which algorithms
        ("--hash=md5,sha1,sha256: payloads only", ["--hash=md5,sha1,sha256"], "payload",
         ["md5", "sha1", "sha256"]),
        ("--hash-all: every analysed file, sha256", ["--hash-all"], "analysed", ["sha256"]),
        ("--hash-all --hash=md5", ["--hash-all", "--hash=md5"], "analysed", ["md5"]),
    ]
    for what, options, which, names in rows:
        _, out, _ = scan("--format=jsonl", *(options + [tree]))
        for record in records(out):
            path = raw(record["path"])
            analysed = record["verdict"] in ("payload", "clean")
            wanted = record["verdict"] == "payload" if which == "payload" else analysed
            if not wanted:
                check(record["hashes"] is None, "%s: %r has no digest" % (what, path))
                continue
            expected = {n: digests_of(path)[n] for n in names}
            check(record["hashes"] == expected, "%s: %r: %r, want %r"
                  % (what, path, record["hashes"], expected))
            for name in names:
                tool = {"md5": "md5sum", "sha1": "sha1sum", "sha256": "sha256sum"}[name]
                if shutil.which(tool):
                    check(record["hashes"][name] == tool_digest(tool, path),
                          "%s: %s agrees with %s" % (what, name, tool))

    # CSV: one column per digest asked for, in the order of the algorithms.
    _, out, _ = scan("--format=csv", "--hash=sha256,md5", tree)
    lines = out.split(b"\r\n")
    check(lines[0].endswith(b",carved_at,carved_length,volume,md5,sha256,within"), "csv: digest columns %r"
          % lines[0])
    for line in lines[1:]:
        if b",payload," in line and line.startswith(os.path.join(tree, "a.bmp").encode()):
            want = digests_of(os.path.join(tree, "a.bmp"))
            check(line.endswith(("," + want["md5"] + "," + want["sha256"] + ",").encode()),
                  "csv: the digests of a.bmp: %r" % line)

    # A file that grows while it is read is an error, never a digest.
    growing = os.path.join(root, "growing")
    write(os.path.join(growing, "big.bin"), bytes(8 * 1024 * 1024))
    stop = threading.Event()

    def append():
        with open(os.path.join(growing, "big.bin"), "ab") as out:
            while not stop.is_set():
                out.write(b"x" * 65536)
                out.flush()
                time.sleep(0.001)

    writer = threading.Thread(target=append)
    writer.start()
    try:
        status, out, _ = scan("--format=jsonl", "--hash-all", "-j1", growing)
    finally:
        stop.set()
        writer.join()
    got = records(out)
    check(len(got) == 1 and got[0]["verdict"] == "error" and got[0]["hashes"] is None
          and "changed while being read" in got[0]["error"] and status == 2,
          "a growing file is an error: %r" % got)


def make_image(root, tree):
    """An ext4 image of `tree`, or None where mke2fs is missing."""
    if not shutil.which("mke2fs"):
        print("NOTICE: no image of the tree: no mke2fs")
        return None
    image = os.path.join(root, "tree.img")
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", tree, image, "16M"], check=True,
                   capture_output=True)
    return image


def test_image_digests(root, tree, image):
    """Digests of files in an image are those of the bytes icat extracts."""
    if not image or not shutil.which("icat"):
        print("NOTICE: skipped the image digests: no image or no icat")
        return
    _, out, _ = scan("--format=jsonl", "--hash-all", "--hash=md5,sha256", "--image=" + image)
    got = [r for r in records(out) if r["verdict"] in ("payload", "clean")]
    check(len(got) >= 5, "image digests: the files were analysed: %d" % len(got))
    for record in got:
        extracted = subprocess.run(["icat", image, str(record["inode"])], capture_output=True).stdout
        expected = {n: hashlib.new(n, extracted).hexdigest() for n in ("md5", "sha256")}
        check(record["hashes"] == expected, "image digests: %r: %r, icat gives %r"
              % (raw(record["path"]), record["hashes"], expected))


def test_dfxml(root, tree, image):
    """DFXML of a tree and of an image: valid, and the verdicts of JSON lines."""
    scans = [("a tree", [tree])]
    if image:
        scans.append(("a tree and an image, carved", [tree, "--image=" + image, "--carve"]))
    for what, args in scans:
        _, jsonl, _ = scan("--format=jsonl", "--hash=sha1", *args)
        status, document, err = scan("--format=dfxml", "--hash=sha1", *args)
        path = os.path.join(root, "scan.xml")
        with open(path, "wb") as out:
            out.write(document)
        validate(path, what)
        try:
            dfxml, objects = fileobjects(document)
        except ElementTree.ParseError as error:
            check(False, "%s: well-formed: %s" % (what, error))
            continue
        check(dfxml.tag == DFXML + "dfxml" and dfxml.find(DFXML + "creator") is not None,
              "%s: a DFXML document with its creator" % what)
        command = dfxml.find(DFXML + "creator/" + DFXML + "execution_environment/" + DFXML
                             + "command_line")
        check(command is not None and "--format=dfxml" in command.text,
              "%s: the command line is recorded" % what)
        if image:
            names = [e.text for e in dfxml.iter(DFXML + "image_filename")]
            check(names == ([image] if "--image=" + image in args else []),
                  "%s: the source names the images: %r" % (what, names))
        from_json = [(raw(r["path"]), r["verdict"], raw(r["name"]), r["length_text"],
                      r["hashes"]["sha1"] if r["hashes"] else None, r["carved_at"])
                     for r in records(jsonl)]
        from_xml = []
        for path_bytes, fileobject in objects:
            name = fileobject.find(OURS + "embedded_name")
            exact_name = fileobject.find(OURS + "embedded_name_bytes")
            embedded = (base64.b64decode(exact_name.text) if exact_name is not None
                        else name.text.encode() if name is not None else None)
            length = fileobject.find(OURS + "length")
            digest = fileobject.find(DFXML + "hashdigest")
            carved = fileobject.find(OURS + "carved_at")
            from_xml.append((path_bytes, fileobject.find(OURS + "verdict").text, embedded,
                             length.text if length is not None else None,
                             digest.text if digest is not None else None,
                             int(carved.text) if carved is not None else None))
        check(from_xml == from_json, "%s: DFXML reads back as the JSON lines:\n  %r\n  %r"
              % (what, from_xml[:4], from_json[:4]))
        check(status == 1, "%s: status %d" % (what, status))
        # Files in an image say where their bytes lie.
        for path_bytes, fileobject in objects:
            runs = fileobject.find(DFXML + "byte_runs")
            inode = fileobject.find(DFXML + "inode")
            if inode is not None and fileobject.find(OURS + "verdict").text == "payload":
                check(runs is not None and all(r.get("img_offset") for r in runs),
                      "%s: %r has byte runs with image offsets" % (what, path_bytes))


def test_interrupted(root, tree, image):
    """SIGINT and SIGTERM mid-scan: the document is still whole."""
    for signum in (signal.SIGINT, signal.SIGTERM):
        ended = interrupted_scan(SCANNER, ["--format=dfxml", "-q"], os.path.join(tree, "a.bmp"),
                                 signum, 30)
        if not check(ended is not None, "signal %d: the scan ended" % signum):
            continue
        status, out, _ = ended
        try:
            _, objects = fileobjects(out)
            check(len(objects) == 1 and status == 128 + signum,
                  "signal %d: a whole document with the finished file: %d, %d"
                  % (signum, len(objects), status))
        except ElementTree.ParseError as error:
            check(False, "signal %d: the document parses: %s" % (signum, error))


def main():
    root = tempfile.mkdtemp(prefix="quillmark-report-test-")
    try:
        tree = make_tree(root)
        image = make_image(root, tree)
        return run_tests(functools.partial(test, root, tree, image) for test in (
            test_digests, test_image_digests, test_dfxml, test_interrupted))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
