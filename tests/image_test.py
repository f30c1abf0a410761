#!/usr/bin/env python3
"""End-to-end checks of quillmark-scan --image, on disk images built here
from generated bitmaps, without root and without mounting anything.

Each row builds an image (ext4 with mke2fs -d and debugfs, FAT with mkfs.fat
and mtools, NTFS with mkntfs and ntfscp, DOS and GPT partition tables with
sfdisk, a split raw set, an E01 set in several segments with ewfacquire,
VMDK, VHD, VHDX and QCOW2 with qemu-img, APFS from the container shared
beside the project), or damages one, and scans it. Every file's
record must be what quillmark-detect says of the source file it was built
from; a deleted file is analysed only where its blocks are still its own;
every part of an image that cannot be read is an error record, never a
verdict. The images are hashed before and after: the scanner must never
change them. The Sleuth Kit's own icat must extract, from where a record
says a file lives, the very bytes it was built from. A row whose tools are
missing is skipped with a notice.

usage: image_test.py SCANNER DETECTOR [SHARED_IMAGES]
"""
import hashlib
import functools
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conformance  # noqa: E402
import scan_support  # noqa: E402
from scan_support import (bmp_with_record, check, child_of, raw, records,  # noqa: E402
                          run_tests, verdict_of, write, write_large)

SCANNER, DETECTOR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
# Images made by another project (an APFS container made on a Mac, a QCOW2).
SHARED = sys.argv[3] if len(sys.argv) > 3 else None
MIB = 1024 * 1024


def run(*command, stdin=None, env=None):
    """Runs a tool that builds or damages an image; its chatter is not ours."""
    subprocess.run(list(command), check=True, input=stdin, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=env)


def scan(*args, timeout=300):
    """Scans as JSON lines; returns (status, records, stderr). Every file of
    every image named must be the same before and after: evidence is never
    changed."""
    images = [a[len("--image="):] for a in args if a.startswith("--image=")]
    before = digests(images)
    done = subprocess.run([SCANNER, "--format=jsonl", "-q"] + list(args), capture_output=True,
                          timeout=timeout)
    check(digests(images) == before, "%s: the image is unchanged" % " ".join(images))
    return done.returncode, records(done.stdout), done.stderr


def digests(images):
    """SHA-256 of every file of the named images: each file whose name
    begins as the image's does up to its first dot, so every segment of a
    set ("disk.E01", "disk.E02", ...)."""
    result = {}
    for image in images:
        if not os.path.isfile(image):
            continue
        folder, name = os.path.split(image)
        stem = name.split(".")[0] + "."
        for other in os.listdir(folder):
            path = os.path.join(folder, other)
            if other.startswith(stem) and os.path.isfile(path):
                with open(path, "rb") as data:
                    result[path] = hashlib.sha256(data.read()).hexdigest()
    return result


# ---------------------------------------------------------------------------
# The source files. A file's record in an image must be what the detector
# says of its source.

SOURCES = {
    "a.bmp": lambda: bmp_with_record(60, 40, b"a.txt"),
    "b.bmp": lambda: bytes(conformance.bitmap(random.Random(1), 50, 30)),
    "sub/c.bmp": lambda: bmp_with_record(300, 200, b"c.txt", 98765.5),
    "sub/deeper/d.bmp": lambda: bmp_with_record(7, 9, b"short picture"),
    "notes.txt": lambda: b"not a bitmap\n",
    "empty": lambda: b"",
    "gone.bmp": lambda: bmp_with_record(80, 60, b"gone.txt"),
    "reused.bmp": lambda: bmp_with_record(90, 70, b"reused.txt"),
    "wiped.bmp": lambda: bmp_with_record(70, 50, b"wiped.txt"),
    "later.bmp": lambda: bytes(conformance.bitmap(random.Random(2), 100, 100)),
    "stream.bmp": lambda: bmp_with_record(40, 40, b"in a stream"),
    # Does not compress, so that an E01 set of the disks has several segments.
    "noise.bin": lambda: random.Random(4).randbytes(3 * MIB),
}
# In every file system; large.bmp is too large to be read whole.
TREE = ["a.bmp", "b.bmp", "sub/c.bmp", "sub/deeper/d.bmp", "notes.txt", "empty", "large.bmp",
        "noise.bin"]


def make_sources(root):
    src = os.path.join(root, "src")
    for name, make in SOURCES.items():
        write(os.path.join(src, name), make())
    write_large(os.path.join(src, "large.bmp"), 4000, 400, b"large.txt")
    return src


def copy_tree(src, folder, names):
    for name in names:
        target = os.path.join(folder, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(os.path.join(src, name), target)


def allocated(names):
    return {"/" + name: ("source", name, False) for name in names}


# ---------------------------------------------------------------------------
# File systems. Each builder writes an image and returns what its walk must
# find: {path: ("source", NAME, DELETED)} for a file whose record is the
# detector's on src/NAME, or {path: ("skipped", REASON)}.

def inode_of(image, path):
    said = subprocess.run(["debugfs", "-R", "stat " + path, image], capture_output=True,
                          text=True).stdout
    return int(said.split("Inode:")[1].split()[0])


def build_ext4(src, image):
    tree = tempfile.mkdtemp(dir=os.path.dirname(image))
    copy_tree(src, tree, TREE + ["gone.bmp", "wiped.bmp"])
    os.makedirs(os.path.join(tree, "old"))
    shutil.copy(os.path.join(src, "reused.bmp"), os.path.join(tree, "old", "reused.bmp"))
    run("mke2fs", "-q", "-t", "ext4", "-d", tree, image, "24M")
    shutil.rmtree(tree)

    # Deleted without mounting: debugfs frees the inode and its blocks and
    # leaves the name in its directory. "gone" keeps its blocks; "reused"
    # loses them to a file written after it; "wiped" loses its extent tree,
    # as the kernel's own deletion does.
    def debugfs(request):
        run("debugfs", "-w", "-R", request, image)

    wiped = inode_of(image, "/wiped.bmp")
    debugfs("rm /old/reused.bmp")
    debugfs("write %s /later.bmp" % os.path.join(src, "later.bmp"))
    debugfs("rm /gone.bmp")
    debugfs("rm /wiped.bmp")
    for word in range(15):
        debugfs("sif <%d> block[%d] 0" % (wiped, word))
    files = allocated(TREE + ["later.bmp"])
    files.update({
        "/gone.bmp": ("source", "gone.bmp", True),
        "/old/reused.bmp": ("skipped", "deleted, content overwritten"),
        "/wiped.bmp": ("skipped", "deleted, content not recoverable"),
    })
    return files


def build_fat(src, image):
    run("mkfs.fat", "-C", "-n", "EVIDENCE", image, str(16 * 1024))
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")

    def mtools(*words):
        run(*words, env=env)

    mtools("mmd", "-i", image, "::/sub", "::/sub/deeper", "::/d")
    for name in TREE:
        mtools("mcopy", "-i", image, os.path.join(src, name), "::/" + name)
    # Deleted in /d: the file written after "reused" is deleted takes its
    # clusters; "gone", deleted last, keeps its own.
    mtools("mcopy", "-i", image, os.path.join(src, "reused.bmp"), "::/d/reused.bmp")
    mtools("mcopy", "-i", image, os.path.join(src, "gone.bmp"), "::/d/gone.bmp")
    mtools("mdel", "-i", image, "::/d/reused.bmp")
    mtools("mcopy", "-i", image, os.path.join(src, "later.bmp"), "::/later.bmp")
    mtools("mdel", "-i", image, "::/d/gone.bmp")
    files = allocated(TREE + ["later.bmp"])
    files.update({
        # A deleted entry's first byte is overwritten; the library shows "_".
        "/d/_one.bmp": ("source", "gone.bmp", True),
        "/d/_eused.bmp": ("skipped", "deleted, content overwritten"),
    })
    return files


def build_ntfs(src, image):
    with open(image, "wb") as out:
        out.truncate(24 * MIB)
    run("mkntfs", "-q", "-F", "-Q", image)
    names = ["a.bmp", "b.bmp", "notes.txt", "large.bmp"]
    for name in names:
        run("ntfscp", image, os.path.join(src, name), name)
    # A named stream, an alternate data stream: a classic hiding place.
    run("ntfscp", "-N", "hidden", image, os.path.join(src, "stream.bmp"), "b.bmp")
    files = allocated(names)
    files["/b.bmp:hidden"] = ("source", "stream.bmp", False)
    return files


def build_partitioned(src, image, label):
    """ext4 and FAT in partitions (on DOS the FAT in a logical partition of
    an extended one), and a partition holding no file system."""
    ext4, fat = image + ".ext4", image + ".fat"
    ext4_files, fat_files = build_ext4(src, ext4), build_fat(src, fat)
    with open(image, "wb") as out:
        out.truncate(64 * MIB)
    if label == "dos":
        table = ("label: dos\nstart=2048, size=49152, type=83\n"
                 "start=51200, size=73728, type=5\nstart=53248, size=32768, type=c\n"
                 "start=88064, size=8192, type=83\n")
    else:
        table = ("label: gpt\nstart=2048, size=49152\nstart=53248, size=32768\n"
                 "start=88064, size=8192\n")
    run("sfdisk", "-q", image, stdin=table.encode())
    for part, at in ((ext4, 2048), (fat, 53248)):
        run("dd", "if=" + part, "of=" + image, "bs=512", "seek=%d" % at, "conv=notrunc")
        os.remove(part)
    return {2048 * 512: ext4_files, 53248 * 512: fat_files}, [
        ("skipped", 88064 * 512, "no file system recognised in the partition")]


# ---------------------------------------------------------------------------
# Checking a scan.

def detector_says(src, name):
    return scan_support.detect(DETECTOR, os.path.join(src, name))


def check_scan(what, src, named, got, file_systems, parts, fs_types=None):
    """Checks every record of an image scan. `file_systems` maps each file
    system's offset to what its walk must find; `parts` lists the records of
    parts of the image as (verdict, fs_offset, error prefix)."""
    seen = set()
    for record in got:
        check(raw(record["image"]) == named.encode(), "%s: the image as named" % what)
        path = raw(record["path"])
        offset = record["fs_offset"]
        if path is None:
            matching = [p for p in parts if p[0] == record["verdict"] and p[1] == offset
                        and (record["error"] or "").startswith(p[2])]
            check(len(matching) == 1, "%s: an unexpected record of a part: %r" % (what, record))
            seen.add(("part", offset, record["verdict"]))
            continue
        path = path.decode("utf-8", "surrogateescape")
        want = file_systems.get(offset, {}).get(path)
        if want is None:
            # NTFS system files and never-used metadata entries: never a payload.
            check(path.startswith("/$") and record["verdict"] in ("clean", "skipped"),
                  "%s: an unexpected file %s: %r" % (what, path, record))
            continue
        seen.add((offset, path))
        if fs_types is not None:
            check(record["fs"] == fs_types[offset], "%s: %s: fs %r" % (what, path, record["fs"]))
        check(isinstance(record["inode"], int), "%s: %s has an inode" % (what, path))
        if want[0] == "skipped":
            check(record["verdict"] == "skipped" and record["error"] == want[1]
                  and record["deleted"], "%s: %s: %r, want skipped (%s)"
                  % (what, path, record, want[1]))
            continue
        _, name, deleted = want
        have = verdict_of(record)
        check(have == detector_says(src, name) and record["deleted"] == deleted,
              "%s: %s: %r, the detector says %r of %s" % (what, path, record,
                                                          detector_says(src, name), name))
    for offset, files in file_systems.items():
        for path in files:
            check((offset, path) in seen, "%s: no record for %s at %d" % (what, path, offset))
    for verdict, offset, _ in parts:
        check(("part", offset, verdict) in seen, "%s: no %s record at %r" % (what, verdict, offset))


def check_icat(what, src, image, got, file_systems):
    """The Sleuth Kit's icat, given the offset and inode a record names,
    extracts the bytes of the file's source."""
    if not shutil.which("icat"):
        return
    checked = 0
    for record in got:
        path = raw(record["path"])
        want = file_systems.get(record["fs_offset"], {}).get(path.decode() if path else None)
        if want is None or want[0] != "source" or want[2] or ":" in path.decode():
            continue
        extracted = subprocess.run(["icat", "-o", str(record["fs_offset"] // 512), image,
                                    str(record["inode"])], capture_output=True).stdout
        with open(os.path.join(src, want[1]), "rb") as source:
            check(extracted == source.read(), "%s: icat of %s gives its bytes" % (what, path))
        checked += 1
    check(checked > 0, "%s: icat checked some files" % what)


# ---------------------------------------------------------------------------
# The rows.

NEEDS = {
    "ext4": ["mke2fs", "debugfs"],
    "fat": ["mkfs.fat", "mcopy", "mdel", "mmd"],
    "ntfs": ["mkntfs", "ntfscp"],
    "dos": ["mke2fs", "debugfs", "mkfs.fat", "mcopy", "sfdisk"],
    "gpt": ["mke2fs", "debugfs", "mkfs.fat", "mcopy", "sfdisk"],
    "split": ["mke2fs", "debugfs", "split"],
    "e01": ["mke2fs", "debugfs", "ewfacquire"],
    "vmdk": ["mke2fs", "debugfs", "mkfs.fat", "mcopy", "sfdisk", "qemu-img"],
    "vhd": ["mke2fs", "debugfs", "mkfs.fat", "mcopy", "sfdisk", "qemu-img"],
    "damaged": ["mke2fs", "debugfs", "ewfacquire", "sfdisk"],
    "carving": ["mke2fs", "debugfs", "dd"],
    "apfs": ["fls", "icat", "sfdisk"],
    "qcow2": ["qemu-img"],
    "missing bytes": ["mke2fs", "debugfs", "mkfs.fat", "mcopy", "sfdisk", "ewfacquire"],
}


def lacks_tools(row, what=None):
    """Whether a tool that `row` needs is missing; says so with a notice."""
    missing = [tool for tool in NEEDS[row] if not shutil.which(tool)]
    if missing:
        print("NOTICE: skipped %s: no %s" % (what or "the %s row" % row, ", ".join(missing)))
    return bool(missing)


def test_file_systems(root, src):
    """One file system per image, at offset 0."""
    rows = [("ext4", build_ext4, "ext4"), ("fat", build_fat, "fat16"),
            ("ntfs", build_ntfs, "ntfs")]
    for row, build, fs in rows:
        if lacks_tools(row):
            continue
        image = os.path.join(root, row + ".img")
        files = build(src, image)
        status, got, err = scan("--image=" + image)
        check(status == 1, "%s: status %d (payloads found), %r" % (row, status, err[-300:]))
        check_scan(row, src, image, got, {0: files}, [], {0: fs})
        check_icat(row, src, image, got, {0: files})


def test_containers(root, src):
    """Partition tables, and the same disk in every container format: each
    gives the records of the raw disk."""
    for label in ("dos", "gpt"):
        if lacks_tools(label):
            continue
        image = os.path.join(root, label + ".img")
        file_systems, parts = build_partitioned(src, image, label)
        status, got, _ = scan("--image=" + image)
        check(status == 1, "%s: status %d" % (label, status))
        types = {2048 * 512: "ext4", 53248 * 512: "fat16"}
        check_scan(label, src, image, got, file_systems, parts, types)
        check_icat(label, src, image, got, file_systems)

    dos = os.path.join(root, "dos.img")
    if not os.path.exists(dos):
        return
    file_systems, parts = build_partitioned(src, os.path.join(root, "again.img"), "dos")
    os.remove(os.path.join(root, "again.img"))
    containers = []
    if not lacks_tools("split"):
        folder = os.path.join(root, "split")
        os.makedirs(folder)
        run("split", "-b", "7M", "-d", "-a", "3", "--numeric-suffixes=1", dos,
            os.path.join(folder, "disk."))
        containers.append(("split raw (.001, .002, ...)", os.path.join(folder, "disk.001")))
    if not lacks_tools("e01"):
        folder = os.path.join(root, "e01")
        os.makedirs(folder)
        run("ewfacquire", "-u", "-q", "-t", os.path.join(folder, "disk"), "-c", "deflate:fast",
            "-S", "1MiB", dos)
        check(os.path.exists(os.path.join(folder, "disk.E03")), "E01: several segments")
        containers.append(("E01 in segments", os.path.join(folder, "disk.E01")))
    if not lacks_tools("vmdk"):
        for form, options in (("vmdk", []), ("vpc", ["-o", "subformat=fixed,force_size=on"]),
                              ("vpc", [])):
            converted = os.path.join(root, "disk-%s-%d.%s" % (form, len(options), form))
            run("qemu-img", "convert", "-f", "raw", "-O", form, *options, dos, converted)
            containers.append(("%s %s" % (form, " ".join(options) or "dynamic"), converted))
    for what, image in containers:
        status, got, err = scan("--image=" + image)
        check(status == 1, "%s: status %d, %r" % (what, status, err[-300:]))
        check_scan(what, src, image, got, file_systems, parts)


def test_damaged(root, src):
    """Damaged and hostile images: error records for what they touch, the
    scan goes on, no wrong verdict, and it ends."""
    if lacks_tools("damaged", "the damaged images"):
        return
    folder = os.path.join(root, "damaged")
    os.makedirs(folder)
    ext4 = os.path.join(folder, "whole.img")
    files = build_ext4(src, ext4)

    def variant(name, change):
        path = os.path.join(folder, name)
        shutil.copy(ext4, path)
        change(path)
        return path

    def cut(path):
        os.truncate(path, 6 * MIB)

    def corrupt_table(path):
        # A DOS table whose only partition starts past the end of the image.
        with open(path, "r+b") as image:
            image.seek(446)
            image.write(bytes([0, 0, 0, 0, 0x83, 0, 0, 0]) + (0x7FFFFF00).to_bytes(4, "little")
                        + (100).to_bytes(4, "little"))
            image.seek(510)
            image.write(b"\x55\xaa")

    truncated = variant("truncated.img", cut)
    table = os.path.join(folder, "table.img")
    with open(table, "wb") as disk:
        disk.truncate(8 * MIB)
    corrupt_table(table)
    e01 = os.path.join(folder, "e01")
    os.makedirs(e01)
    run("ewfacquire", "-u", "-q", "-t", os.path.join(e01, "disk"), "-c", "deflate:fast", "-S",
        "1MiB", ext4)
    segments = sorted(os.listdir(e01))
    missing = os.path.join(folder, "missing")
    shutil.copytree(e01, missing)
    os.remove(os.path.join(missing, segments[1]))  # the second of several segments
    # Chunks that do not compress are stored as they are, so a change inside
    # one still reads, and only its checksum tells: libewf hands it back and
    # merely notes the failure. Damage a stored chunk of noise.bin.
    chunk = os.path.join(folder, "chunk")
    shutil.copytree(e01, chunk)
    with open(os.path.join(src, "noise.bin"), "rb") as noise:
        noise.seek(MIB)
        marker = noise.read(64)
    for name in segments:
        with open(os.path.join(chunk, name), "r+b") as segment:
            at = segment.read().find(marker)
            if at >= 0:
                segment.seek(at + 10)
                segment.write(b"\x00\xff\x00\xff")
                break
    else:
        check(False, "corrupt E01 chunk: noise.bin found stored in a segment")
    empty = os.path.join(folder, "empty.img")
    open(empty, "wb").close()
    noise = os.path.join(folder, "noise.img")
    write(noise, random.Random(9).randbytes(2 * MIB))
    rows = [
        # (what, image, statuses: 1 where a payload may lie in what is left,
        #  the record that must be there: verdict and the start of its reason)
        ("truncated image", truncated, (1, 2), ("error", "file system cut short")),
        ("partition table past the end", table, (2,), ("error", "dos partition table rejected")),
        ("missing E01 segment", os.path.join(missing, segments[0]), (1, 2),
         ("error", "cannot read the end of the image")),
        ("corrupt E01 chunk", os.path.join(chunk, segments[0]), (1, 2),
         ("error", "cannot read: Error reading image file (E01 chunk")),
        ("empty image", empty, (2,), ("error", "empty image")),
        ("no volume system, no file system", noise, (0,),
         ("skipped", "neither a volume system nor a file system")),
        ("a directory", folder, (2,), ("error", "cannot open image")),
        ("no such image", os.path.join(folder, "absent.img"), (2,), ("error", "cannot open image")),
    ]
    for what, image, statuses, (verdict, error) in rows:
        try:
            status, got, err = scan("--image=" + image, timeout=120)
        except subprocess.TimeoutExpired:
            check(False, "%s: the scan ended" % what)
            continue
        check(status in statuses, "%s: status %d, want %r" % (what, status, statuses))
        check(any(r["verdict"] == verdict and (r["error"] or "").startswith(error) for r in got),
              "%s: a record %s (%s...): %r" % (what, verdict, error, got[:3]))
        # What could be read is the detector's verdict; the rest are errors.
        for record in got:
            path = raw(record["path"])
            want = files.get(path.decode()) if path else None
            if want is None or want[0] != "source" or record["verdict"] == "error":
                continue
            check(verdict_of(record) == detector_says(src, want[1]),
                  "%s: %s: %r" % (what, path, record))
        if verdict == "error":
            check(error.encode() in err, "%s: standard error says so" % what)


def test_unknown_attribute_type(root, src):
    """An NTFS attribute of a type the library does not name, copied from
    the image as it is: the named stream it was is no longer listed, and the
    rest of the file system reads as it did (no undefined read of it)."""
    if lacks_tools("ntfs"):
        return
    image = os.path.join(root, "attribute-type.img")
    files = build_ntfs(src, image)
    with open(image, "r+b") as disk:
        data = disk.read()
        # The named stream's $DATA header: type 0x80, its 6-character name
        # at 0x18 (resident) or 0x40 (not) from its start.
        named = [m.start() - offset for m in re.finditer("hidden".encode("utf-16-le"), data)
                 for offset in (0x18, 0x40) if data[m.start() - offset + 9] == 6 and
                 data[m.start() - offset:m.start() - offset + 4] == b"\x80\0\0\0" and
                 data[m.start() - offset + 10] == offset]
        check(len(named) == 1, "the named stream's attribute found once: %r" % named)
        disk.seek(named[0])
        disk.write((0xFFFFFF00).to_bytes(4, "little"))
    del files["/b.bmp:hidden"]
    status, got, err = scan("--image=" + image)
    check(status == 1, "an unknown attribute type: status %d, %r" % (status, err[-300:]))
    check_scan("unknown attribute type", src, image, got, {0: files}, [], {0: "ntfs"})


def build_spinning(image):
    """An ext2 image whose root directory claims 4 GB: the library spends
    minutes building the directory's block list, reading nothing."""
    folder = tempfile.mkdtemp(dir=os.path.dirname(image))
    write(os.path.join(folder, "a.bmp"), SOURCES["a.bmp"]())
    run("mke2fs", "-q", "-t", "ext2", "-d", folder, image, "256K")
    run("debugfs", "-w", "-R", "sif <2> size 0xEC000000", image)
    run("debugfs", "-w", "-R", "sif <2> block[IND] 0", image)
    shutil.rmtree(folder)


def test_isolation(root, src):
    """The library reads each image in a child process: when it spins on an
    image without reading, or crashes on it, that image becomes an error
    record and the scan goes on with the next."""
    if lacks_tools("ext4", "the isolation rows"):
        return
    spinning = os.path.join(root, "spinning.img")
    build_spinning(spinning)
    after = os.path.join(root, "after.img")
    files = build_ext4(src, after)

    started = time.time()
    status, got, err = scan("--image-timeout=2", "--image=" + spinning, "--image=" + after)
    check(time.time() - started < 60, "spinning: the scan ended within its timeout")
    check(got[0]["verdict"] == "error" and raw(got[0]["image"]) == spinning.encode()
          and got[0]["error"].startswith("gave up on the image: the disk image library made no "
                                         "progress on it for 2 s"),
          "spinning: an error record for the image: %r" % got[:1])
    check(status == 1, "spinning: the payloads of the next image still count (%d)" % status)
    check_scan("after a spinning image", src, after, [r for r in got if
                                                      raw(r["image"]) == after.encode()],
               {0: files}, [])

    # A crash of the library, as a signal to the child that reads the image.
    scanner = subprocess.Popen([SCANNER, "--format=jsonl", "-q", "--image-timeout=600",
                                "--image=" + spinning, "--image=" + after],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child = None
    for _ in range(100):
        child = child_of(scanner.pid, "--image-child")
        if child:
            break
        time.sleep(0.05)
    check(child is not None, "crash: the image is read by a child process")
    if child:
        time.sleep(0.5)
        os.kill(child, signal.SIGSEGV)
    out, err = scanner.communicate(timeout=120)
    got = records(out)
    # A sanitizer catches the signal itself and exits with a status instead.
    said = got[0]["error"] if got else ""
    check(bool(got) and got[0]["verdict"] == "error"
          and ("died of signal %d" % signal.SIGSEGV in said or "failed with status" in said),
          "crash: an error record for the image: %r" % got[:1])

    check(scanner.returncode == 1 and any(raw(r["image"]) == after.encode() for r in got),
          "crash: the scan went on with the next image (status %d)" % scanner.returncode)


def free_runs(image):
    """The free block runs of an ext4 image, in bytes, as dumpe2fs tells them."""
    said = subprocess.run(["dumpe2fs", image], capture_output=True, text=True).stdout
    block = int(said.split("Block size:")[1].split()[0])
    runs = []
    for line in said.splitlines():
        line = line.strip()
        if not line.startswith("Free blocks: ") or line == "Free blocks: ":
            continue
        for span in line[len("Free blocks: "):].split(","):
            first, _, last = span.strip().partition("-")
            runs.append((int(first) * block, (int(last or first) + 1) * block))
    return runs


def put(image, offset, data):
    """Writes `data` over the image at `offset`, cut at the image's end."""
    with open(image, "r+b") as out:
        out.seek(offset)
        out.write(data[:max(0, os.path.getsize(image) - offset)])


def cut(image, offset, length, folder):
    """The bytes [offset, offset + length) of `image`, cut out with dd as
    the README shows, as a file."""
    path = os.path.join(folder, "cut-%d.bmp" % offset)
    run("dd", "if=" + image, "of=" + path, "bs=1M", "iflag=skip_bytes,count_bytes",
        "skip=%d" % offset, "count=%d" % length)
    return path


def check_carved(what, image, got, want, folder):
    """`want` maps the offset of each bitmap placed in unallocated space to
    its window's length: each must be a carved record whose verdict is the
    detector's on the bytes dd cuts there; no other carved record."""
    carved = {r["carved_at"]: r for r in got if r["carved_at"] is not None}
    check(sorted(carved) == sorted(want), "%s: carved at %r, want %r" % (what, sorted(carved),
                                                                        sorted(want)))
    for offset, length in want.items():
        record = carved.get(offset)
        if record is None:
            continue
        check(record["carved_length"] == length and record["path"] is None and record["deleted"]
              and record["inode"] is None, "%s: the record at %d: %r" % (what, offset, record))
        have = verdict_of(record)
        said = scan_support.detect(DETECTOR, cut(image, offset, length, folder))
        check(have == said, "%s: at %d, %r; the detector on the bytes dd cuts: %r"
              % (what, offset, have, said))


def test_carving(root, src):
    """--carve: bitmaps in unallocated space, in a raw dump, and after a
    quick format, each the detector's verdict on the bytes dd cuts there."""
    if lacks_tools("carving", "the carving rows"):
        return
    folder = os.path.join(root, "carving")
    os.makedirs(folder)
    payload = bmp_with_record(90, 60, b"carved.txt")
    clean = bytes(conformance.bitmap(random.Random(6), 40, 30))
    deep = bytearray(bmp_with_record(30, 20, b"deep.txt"))
    deep[28] = 32  # a 32-bit header: the walk still takes 3-byte groups
    straddling = bmp_with_record(200, 100, b"cut short.txt")

    # ext4: bitmaps written with dd into its free blocks, one of them
    # running past the end of its free run, among random bytes.
    ext4 = os.path.join(folder, "ext4.img")
    files = build_ext4(src, ext4)
    runs = [r for r in free_runs(ext4) if r[1] - r[0] >= 256 * 1024]
    start, end = runs[0]
    noise = random.Random(8)
    put(ext4, start, noise.randbytes(min(end - start, 2 * MIB)))
    placed = {start + 4096: payload, start + 65536: clean, start + 131072: bytes(deep)}
    # The last free run of the file system ends where it does: past it the
    # bitmap would hold allocated blocks (or the image's end).
    last_start, last_end = free_runs(ext4)[-1]
    straddle_at = (last_end - len(straddling) // 2) // 4096 * 4096
    placed[straddle_at] = straddling
    for offset, data in placed.items():
        put(ext4, offset, data)
    windows = {offset: min(len(data), (end if offset < end else last_end) - offset)
               for offset, data in placed.items()}
    # The file whose extent tree was wiped is found again by carving: its
    # blocks are free and hold it whole.
    with open(ext4, "rb") as image:
        wiped = SOURCES["wiped.bmp"]()
        windows[image.read().find(wiped)] = len(wiped)
    status, got, err = scan("--carve", "--all", "--image=" + ext4)
    check(status == 1, "carving ext4: status %d" % status)
    check_carved("carving ext4", ext4, got, windows, folder)
    check(b"Carving: " not in err, "-q drops the summary")
    # The files are scanned as before, and a deleted file reported by its
    # name is not reported again where it begins.
    check_scan("carving ext4", src, ext4, [r for r in got if r["carved_at"] is None], {0: files}, [])
    with open(ext4, "rb") as image:
        gone_at = image.read().find(SOURCES["gone.bmp"]())
    check(gone_at > 0 and gone_at not in windows, "the deleted file is in the image")
    # Without --all, only payloads.
    _, payloads, _ = scan("--carve", "--image=" + ext4)
    check(sorted(r["carved_at"] for r in payloads if r["carved_at"] is not None)
          == sorted(o for o in windows
                    if scan_support.detect(DETECTOR, cut(ext4, o, windows[o], folder))[0]
                    == "payload"),
          "carving without --all: only the payloads")
    done = subprocess.run([SCANNER, "--carve", "--image=" + ext4], capture_output=True)
    check(b"Carving: " in done.stderr and b" bitmaps analysed" in done.stderr,
          "the summary counts the carving: %r" % done.stderr[-300:])

    # A raw dump with no file system at all: the whole of it is carved.
    dump = os.path.join(folder, "dump.raw")
    write(dump, random.Random(10).randbytes(4 * MIB))
    placed = {512 * 7: payload, 512 * 3001: clean, 4 * MIB - 512 * 10: straddling}
    for offset, data in placed.items():
        put(dump, offset, data)
    windows = {o: min(len(d), 4 * MIB - o) for o, d in placed.items()}
    status, got, _ = scan("--carve", "--all", "--image=" + dump)
    check_carved("carving a raw dump", dump, got, windows, folder)
    check(all(r["fs"] is None and r["fs_offset"] is None for r in got if r["carved_at"]),
          "carving a raw dump: no file system")

    # Random bytes alone: many positions, no candidate.
    noise_only = os.path.join(folder, "noise.raw")
    write(noise_only, random.Random(11).randbytes(8 * MIB))
    done = subprocess.run([SCANNER, "--carve", "--all", "--format=jsonl",
                           "--image=" + noise_only], capture_output=True)
    check(not any(r["carved_at"] is not None for r in records(done.stdout))
          and b"Carving: 16,384 positions tried, 0 bitmaps analysed" in done.stderr,
          "random bytes give no candidate: %r" % done.stderr[-300:])

    # A FAT card after a quick format: the root directory is empty, but the
    # bitmaps are where they were. A bitmap whose old entry survives in a
    # subdirectory's cluster is found by the library as an orphan, by its
    # name, and is then not carved again where it begins.
    if not lacks_tools("fat"):
        card = os.path.join(folder, "card.img")
        build_fat(src, card)
        with open(card, "rb") as image:
            before = image.read()
        wanted = {}
        for name in ("a.bmp", "sub/c.bmp"):
            with open(os.path.join(src, name), "rb") as source:
                data = source.read()
            wanted[name] = (before.find(data), len(data))

        run("mkfs.fat", "-n", "EVIDENCE", card)
        status, got, _ = scan("--carve", "--image=" + card)
        check(not any(r["path"] for r in got if raw(r["path"]) in (b"/a.bmp", b"/sub/c.bmp")),
              "quick format: the names are gone")
        have = {r["carved_at"]: r for r in got if r["carved_at"] is not None}
        for name, (offset, length) in wanted.items():
            record = have.get(offset)
            orphans = [r for r in got if r["deleted"] and r["path"] is not None
                       and raw(r["path"]).endswith(b"/" + os.path.basename(name).encode())
                       and r["verdict"] == "payload"]
            check((record is not None and record["verdict"] == "payload"
                   and record["carved_length"] == length and record["fs"] == "fat16")
                  != bool(orphans),
                  "quick format: %s is carved at %d or found as an orphan, once: %r %r"
                  % (name, offset, record, orphans))


def shared_image(name):
    """The path of an image shared beside the project, or None with a notice."""
    path = os.path.join(SHARED, name) if SHARED else None
    if path is None or not os.path.isfile(path):
        print("NOTICE: skipped the rows of %s: not found beside the project" % name)
        return None
    return path


def apfs_files(image, sector, block):
    """{path: inode} of the regular files of the APFS volume whose superblock
    is at `block`, as fls lists them."""
    said = subprocess.run(["fls", "-r", "-p", "-o", str(sector), "-B", str(block), image],
                          capture_output=True, text=True, check=True).stdout
    files = {}
    for line in said.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "r/r":
            inode, _, path = rest.partition(":\t")
            files["/" + path] = int(inode)
    return files


def flip_apfs_encryption(data):
    """Marks every APFS volume superblock in `data` encrypted (clears its
    "unencrypted" flag) and checksums it again (Fletcher-64)."""
    import struct
    for at in range(0, len(data), 4096):
        block = data[at:at + 4096]
        if block[32:36] != b"APSB":
            continue
        flags = struct.unpack_from("<Q", block, 264)[0]
        struct.pack_into("<Q", block, 264, flags & ~1)
        first = second = 0
        for (word,) in struct.iter_unpack("<I", bytes(block[8:])):
            first = (first + word) % 0xFFFFFFFF
            second = (second + first) % 0xFFFFFFFF
        low = 0xFFFFFFFF - ((first + second) % 0xFFFFFFFF)
        high = 0xFFFFFFFF - ((first + low) % 0xFFFFFFFF)
        block[:8] = struct.pack("<Q", low | high << 32)
        data[at:at + 4096] = block
    return data


def test_apfs(root, src):
    """APFS containers through the library's pools: on their own, inside a
    GPT partition, with an encrypted volume, and their free space carved.
    Each file is the detector's verdict on what icat -B extracts."""
    shared = shared_image("apfs/apfs.raw")
    if shared is None or lacks_tools("apfs"):
        return
    folder = os.path.join(root, "apfs")
    os.makedirs(folder)
    with open(shared, "rb") as data:
        container = bytearray(data.read())
    block = 107  # the volume's superblock, as pstat shows it
    # The container in the second partition of a GPT disk.
    gpt = os.path.join(folder, "gpt.img")
    with open(gpt, "wb") as out:
        out.truncate(4 * MIB + len(container) + MIB)
    run("sfdisk", "-q", gpt, stdin=b"label: gpt\nstart=2048, size=2048\n"
        b"start=4096, size=%d, type=7C3457EF-0000-11AA-AA11-00306543ECAC\n"
        % (len(container) // 512))
    put(gpt, 4096 * 512, bytes(container))
    for what, image, sector in (("APFS container", shared, 0), ("APFS in GPT", gpt, 4096)):
        want = apfs_files(image, sector, block)
        status, got, err = scan("--all", "--image=" + image)
        files = [r for r in got if r["path"] is not None]
        # Only the empty first partition of the GPT disk is not a file.
        check([(r["verdict"], r["fs_offset"]) for r in got if r["path"] is None]
              == ([("skipped", MIB)] if sector else []), "%s: the parts: %r" % (what, got))
        check(status == 0 and sorted(raw(r["path"]).decode() for r in files) == sorted(want),
              "%s: a record for each file fls lists (%d): %r" % (what, status, got[:2]))
        for record in files:
            path = raw(record["path"]).decode()
            check(record["fs"] == "apfs" and record["fs_offset"] == sector * 512
                  and record["volume"] == block and record["inode"] == want.get(path),
                  "%s: %s: where it lies: %r" % (what, path, record))
            extracted = os.path.join(folder, "extracted")
            # A file with a resource fork and no data stream extracts as
            # nothing, and is empty content to the scanner too.
            with open(extracted, "wb") as out:
                subprocess.run(["icat", "-o", str(sector), "-B", str(block), image,
                                str(record["inode"])], stdout=out, stderr=subprocess.DEVNULL)
            check(verdict_of(record) == scan_support.detect(DETECTOR, extracted),
                  "%s: %s: the detector on what icat -B extracts" % (what, path))

    # In DFXML the volume is named on its <volume>, and the document stays
    # valid against the schema shared beside the project.
    dfxml = os.path.join(folder, "apfs.dfxml")
    with open(dfxml, "wb") as out:
        subprocess.run([SCANNER, "-q", "--all", "--format=dfxml", "--image=" + shared], stdout=out)
    with open(dfxml, "rb") as document:
        check(b' qm:pool_volume="107">' in document.read(), "DFXML: the volume is named")
    schema = os.path.join(SHARED, "..", "dfxml", "dfxml.xsd")
    if shutil.which("xmllint") and os.path.isfile(schema):
        done = subprocess.run(["xmllint", "--noout", "--schema", schema, dfxml], capture_output=True)
        check(done.returncode == 0, "DFXML of an APFS container validates: %r" % done.stderr[-300:])

    encrypted = os.path.join(folder, "encrypted.raw")
    write(encrypted, bytes(flip_apfs_encryption(bytearray(container))))
    status, got, _ = scan("--all", "--image=" + encrypted)
    check(status == 0 and len(got) == 1 and got[0]["verdict"] == "skipped"
          and got[0]["error"] == "encrypted volume (apfs_test)" and got[0]["volume"] == block,
          "encrypted APFS volume: one skipped record: %r" % got)
    done = subprocess.run([SCANNER, "--image=" + encrypted], capture_output=True)
    check(b"1 encrypted volume" in done.stderr, "the summary counts the encrypted volume")

    # A bitmap in the container's free blocks (block 110 on are free).
    carve = os.path.join(folder, "carve.raw")
    payload = bmp_with_record(60, 40, b"in apfs free space.txt")
    container[200 * 4096:200 * 4096 + len(payload)] = payload
    write(carve, bytes(container))
    status, got, _ = scan("--carve", "--image=" + carve)
    carved = [r for r in got if r["carved_at"] is not None]
    check(status == 1 and [(r["carved_at"], r["fs"], r["verdict"]) for r in carved]
          == [(200 * 4096, "apfs", "payload")], "APFS free space carved: %r" % carved)
    check_carved("APFS free space", carve, carved, {200 * 4096: len(payload)}, folder)

    # Space manager chunk-info blocks of another object type: the library
    # throws as it lists the free space. The files are read; the free space
    # is an error of its own.
    damaged = os.path.join(folder, "cib.raw")
    for at in range(0, len(container), 4096):
        if container[at + 24:at + 26] == b"\x07\x00":  # OBJECT_TYPE_SPACEMAN_CIB
            container[at + 24] = 1
    write(damaged, bytes(container))
    status, got, _ = scan("--carve", "--all", "--image=" + damaged)
    check(status == 2 and len([r for r in got if r["path"] is not None]) == len(want) and
          [r["error"] for r in got if r["path"] is None] ==
          ["cannot read the container's free space: APFSSpacemanCIB: invalid object type"],
          "APFS free space the library cannot list: the files, then an error: %r" % got)


def test_virtual_disks(root, src):
    """QCOW2 through libqcow (plain, compressed, over a backing file) and
    VHDX give the records of the raw disk; a missing backing file is an
    error that names it; formats no library here reads are named, never
    read as raw bytes."""
    dos = os.path.join(root, "dos.img")
    if lacks_tools("qcow2") or not os.path.exists(dos):
        return
    folder = os.path.join(root, "virtual")
    os.makedirs(folder)
    file_systems, parts = build_partitioned(src, os.path.join(folder, "again.img"), "dos")
    os.remove(os.path.join(folder, "again.img"))
    base = os.path.join(folder, "base.qcow2")
    run("qemu-img", "convert", "-f", "raw", "-O", "qcow2", dos, base)
    overlay = os.path.join(folder, "overlay.qcow2")
    run("qemu-img", "create", "-f", "qcow2", "-b", "base.qcow2", "-F", "qcow2", overlay)
    disks = [("qcow2", base), ("qcow2 over a backing file", overlay)]
    for form, options in (("qcow2", ["-c"]), ("vhdx", [])):
        converted = os.path.join(folder, "disk-%s%s.%s" % (form, "".join(options), form))
        run("qemu-img", "convert", "-f", "raw", "-O", form, *options, dos, converted)
        disks.append(("%s %s" % (form, " ".join(options)), converted))
    for what, image in disks:
        status, got, err = scan("--image=" + image)
        check(status == 1, "%s: status %d, %r" % (what, status, err[-300:]))
        check_scan(what, src, image, got, file_systems, parts)

    alone = os.path.join(folder, "alone")
    os.makedirs(alone)
    shutil.copy(overlay, alone)
    status, got, err = scan("--image=" + os.path.join(alone, "overlay.qcow2"))
    check(status == 2 and len(got) == 1 and got[0]["verdict"] == "error"
          and "backing file base.qcow2 is missing" in got[0]["error"],
          "qcow2 without its backing file: an error naming it: %r" % got)

    shared = shared_image("qcow2/ext2.qcow2")
    if shared:
        converted = os.path.join(folder, "shared.raw")
        run("qemu-img", "convert", "-f", "qcow2", "-O", "raw", shared, converted)
        _, got, _ = scan("--all", "--image=" + shared)
        _, want, _ = scan("--all", "--image=" + converted)
        strip = lambda rs: [dict(r, image=None) for r in rs]  # noqa: E731
        check(got and strip(got) == strip(want),
              "the shared qcow2: the records of its raw conversion: %r" % got[:2])

    # Formats named by their signatures (each signature has a row of
    # image_format_test): one made by qemu-img, and a sparse bundle, a folder.
    vdi = os.path.join(folder, "disk.vdi")
    run("qemu-img", "convert", "-f", "raw", "-O", "vdi", dos, vdi)
    bundle = os.path.join(folder, "disk.sparsebundle")
    write(os.path.join(bundle, "Info.plist"), b"<plist/>")
    write(os.path.join(bundle, "bands", "0"), bytes(4096))
    unsupported = [("VDI", vdi), ("sparse bundle", bundle)]
    for name, path in unsupported:
        status, got, err = scan("--image=" + path)
        said = "unsupported image format: " + name + " ("
        check(status == 2 and len(got) == 1 and got[0]["verdict"] == "error"
              and got[0]["error"].startswith(said) and said.encode() in err,
              "%s: named as unsupported: %r" % (name, got))


def test_missing_bytes(root, src):
    """Bytes that cannot be read are errors, never an empty partition or a
    blank disk: a partition whose first sectors are in a missing E01
    segment, a partition cut short by a truncated image, an image whose
    first chunk fails its checksum; and carving over them."""
    if lacks_tools("missing bytes"):
        return
    folder = os.path.join(root, "missing")
    os.makedirs(folder)
    disk = os.path.join(folder, "gpt.img")
    build_partitioned(src, disk, "gpt")
    fat_at = 53248 * 512
    # A bitmap in the space between the partitions, just before the FAT, in
    # the same 4 MiB read as the segment that goes missing below.
    gap_at = 51200 * 512 + 4096
    gap_bitmap = bmp_with_record(60, 40, b"before the gap.txt")
    put(disk, gap_at, gap_bitmap)
    # Stored chunks (no compression), so that a segment's bytes can be found.
    e01 = os.path.join(folder, "e01")
    os.makedirs(e01)
    run("ewfacquire", "-u", "-q", "-t", os.path.join(e01, "disk"), "-c", "none", "-S", "1MiB",
        disk)
    with open(disk, "rb") as image:
        image.seek(fat_at)
        boot = image.read(64)
    holding = [name for name in sorted(os.listdir(e01))
               if boot in open(os.path.join(e01, name), "rb").read()]
    check(len(holding) == 1 and holding[0] != "disk.E01", "the FAT's segment: %r" % holding)
    check(not any(gap_bitmap in open(os.path.join(e01, name), "rb").read() for name in holding),
          "the bitmap before the gap is not in the segment that goes missing")
    os.remove(os.path.join(e01, holding[0]))

    truncated = os.path.join(folder, "truncated.img")
    shutil.copy(disk, truncated)
    os.truncate(truncated, 88064 * 512 + 512)  # inside the partition with no file system

    bare = os.path.join(folder, "bare")
    os.makedirs(bare)
    ext4 = os.path.join(folder, "ext4.img")
    build_ext4(src, ext4)
    run("ewfacquire", "-u", "-q", "-t", os.path.join(bare, "disk"), "-c", "none", "-S", "1MiB",
        ext4)
    with open(ext4, "rb") as image:
        image.seek(1024)
        superblock = image.read(128)
    with open(os.path.join(bare, "disk.E01"), "r+b") as segment:
        at = segment.read().find(superblock)
        check(at > 0, "the superblock is stored in the first segment")
        segment.seek(at + 56)
        segment.write(b"\0\0")  # the magic number, in a chunk that now fails its checksum

    rows = [
        # (what, image, the offset of the record, the start of its reason)
        ("partition in a missing E01 segment", os.path.join(e01, "disk.E01"), fat_at,
         "cannot read the partition: cannot read "),
        ("partition past the end of a truncated image", truncated, 88064 * 512,
         "cannot read the partition: the image ends at byte %d, before" % (88064 * 512 + 512)),
        ("first chunk failing its checksum", os.path.join(bare, "disk.E01"), None,
         "cannot read the image to find its volumes or file system: cannot read "),
    ]
    for what, image, offset, reason in rows:
        for carving in ([], ["--carve", "--all"]):
            status, got, _ = scan(*carving, "--image=" + image)
            parts = [r for r in got if r["path"] is None and r["carved_at"] is None]
            # Payloads elsewhere in the image outrank the errors (status 1).
            check(status in (1, 2) and any(r["verdict"] == "error" and r["fs_offset"] == offset
                                      and r["error"].startswith(reason) for r in parts),
                  "%s %s: an error record (%s...): %r" % (what, " ".join(carving), reason, parts))
            check(not any(r["verdict"] == "skipped" for r in parts),
                  "%s %s: nothing said to be empty: %r" % (what, " ".join(carving), parts))
        # Carving goes on over what can be read, and says what it could not.
        check(any(r["verdict"] == "error" and r["error"].startswith("cannot read unallocated")
                  for r in got) or image == truncated, "%s: carving's read errors" % what)
        if image.endswith(os.path.join("e01", "disk.E01")):
            # A read that fails as a whole is read again in pieces: what is
            # there is still carved.
            check(any(r["carved_at"] == gap_at and r["verdict"] == "payload" for r in got),
                  "%s: the bitmap next to the missing bytes is carved" % what)


def test_scan_order_and_paths(root, src):
    """Images come after the paths, in the order named, and a file's record
    names its image exactly as it was named."""
    image = os.path.join(root, "ext4.img")
    if not os.path.exists(image):
        return
    status, got, _ = scan("--image=" + image, os.path.join(src, "a.bmp"), "--image=" + image)
    check(raw(got[0]["path"]) == os.path.join(src, "a.bmp").encode() and got[0]["image"] is None,
          "order: the path first, with no image: %r" % got[0])
    halves = [r for r in got[1:]]
    check(len(halves) % 2 == 0 and halves[:len(halves) // 2] == halves[len(halves) // 2:],
          "order: the same image twice gives the same records twice")
    for jobs in ("-j1", "-j16"):
        check(scan(jobs, "--image=" + image)[1] == scan("--image=" + image)[1],
              "order: the same records in the same order with %s" % jobs)


def main():
    root = tempfile.mkdtemp(prefix="quillmark-image-test-")
    try:
        src = make_sources(root)
        return run_tests(functools.partial(test, root, src) for test in (
            test_file_systems, test_containers, test_damaged, test_unknown_attribute_type,
            test_isolation, test_carving,
            test_apfs, test_virtual_disks, test_missing_bytes, test_scan_order_and_paths))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
