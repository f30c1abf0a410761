#!/usr/bin/env python3
"""End-to-end checks of quillmark-scan, run as separate processes.

Each group is a table of cases: the scanner's records against what
quillmark-detect prints for the same files; hostile names in every format,
read back with Python's csv and a strict JSON parser, and escaped on a real
pseudo-terminal; broken and hostile trees; and the command-line contract
(exit statuses, a closed pipe, a full disk, signals, GNU parallel).

usage: scan_test.py SCANNER DETECTOR
"""
import csv
import io
import functools
import os
import pty
import random
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conformance  # noqa: E402  (the generator of bitmaps of every shape)
import scan_support  # noqa: E402
from scan_support import (bmp_with_record, check, interrupted_scan, raw,  # noqa: E402
                          records, run_tests, verdict_of, write, write_large)

SCANNER, DETECTOR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
NOBODY_SCANNER = None  # set by main: see nobody_scanner


def scan(args, cwd=None, stdin=None, timeout=120, user=None, stdout=subprocess.PIPE):
    """Runs the scanner; returns (status, stdout bytes, stderr bytes). With
    user="nobody", runs NOBODY_SCANNER as nobody (see nobody_scanner)."""
    def drop():  # as nobody, so that permissions hold even for root
        os.setgid(65534)
        os.setuid(65534)
    program = NOBODY_SCANNER if user == "nobody" else SCANNER
    as_nobody = user == "nobody" and os.geteuid() == 0
    run = subprocess.run([program] + args, cwd=cwd, input=stdin, stdout=stdout,
                         stderr=subprocess.PIPE, timeout=timeout,
                         preexec_fn=drop if as_nobody else None)
    return run.returncode, run.stdout or b"", run.stderr


def nobody_scanner(root):
    """A copy of the scanner that the user nobody can run, in the test's own
    folder, or None when nobody cannot reach that folder (a private TMPDIR).
    The build folder may be private (a clone under root's home or in a mode
    700 folder), so nobody is never asked to run the build's own program.
    Without root, the tests run as themselves, whose permissions hold."""
    if os.geteuid() != 0:
        return SCANNER
    folder = os.path.join(root, "bin")
    os.mkdir(folder)
    os.chmod(folder, 0o755)
    copy = os.path.join(folder, os.path.basename(SCANNER))
    shutil.copy(SCANNER, copy)
    os.chmod(copy, 0o755)
    child = os.fork()
    if child == 0:
        os.setgid(65534)
        os.setuid(65534)
        os._exit(0 if os.access(copy, os.X_OK) and os.access(root, os.R_OK | os.X_OK) else 1)
    _, status = os.waitpid(child, 0)
    return copy if os.waitstatus_to_exitcode(status) == 0 else None


def detect(path):
    """What quillmark-detect says of `path`: (verdict, warnings, name, length text)."""
    return scan_support.detect(DETECTOR, path)


# ---------------------------------------------------------------------------
# One analysis, two programs: every file's record is what the detector says.

def test_one_analysis(root):
    rng = random.Random(11)
    tree = os.path.join(root, "shapes")
    for number in range(240):
        kind, data = conformance.generate(rng)
        write(os.path.join(tree, kind, "case%03d.bmp" % number), bytes(data))
    # Files too large to be read whole take the read-plan path.
    os.makedirs(os.path.join(tree, "large"))
    write_large(os.path.join(tree, "large", "photo.bmp"), 4000, 400, b"photo.txt")
    write_large(os.path.join(tree, "large", "trailing.bmp"), 4000, 400, b"t.txt", trailing=5)
    write_large(os.path.join(tree, "large", "truncated.bmp"), 4000, 400, b"c.txt", cut=3000000)
    write_large(os.path.join(tree, "large", "rows-adjoin.bmp"), 1000, 1000, b"r.txt")

    status, out, err = scan(["--format=jsonl", "-q", tree])
    got = records(out)
    check(len(got) == 244, "one analysis: a record per file (%d)" % len(got))
    mismatches = 0
    for record in got:
        path = raw(record["path"])
        want = detect(path)
        have = verdict_of(record)
        if have != want:
            mismatches += 1
            print("  %s: scanner %r, detector %r" % (path, have, want))
        if record["verdict"] == "payload" and record["length"] is not None:
            check(float(record["length_text"]) == 0 or
                  abs(record["length"] / float(record["length_text"]) - 1) < 1e-5,
                  "one analysis: length %r matches %r" % (record["length"], record["length_text"]))
    check(mismatches == 0, "one analysis: %d of %d records differ from the detector"
          % (mismatches, len(got)))
    check(status == 1 and err == b"", "one analysis: status 1 (payloads), no stderr: %d %r"
          % (status, err[:200]))
    one = scan(["--format=jsonl", "-q", "-j1", tree])[1]
    many = scan(["--format=jsonl", "-q", "-j32", tree])[1]
    check(one == out == many, "one analysis: the same order whatever the parallelism")


# ---------------------------------------------------------------------------
# Hostile names in every format.

HOSTILE = [
    (b"new\nline.bmp", b"name\nwith newline"),
    (b"invalid-\xff\xfe.bmp", b"bytes-\xff"),
    (b"esc-\x1b]0;title\x07\x1b[2J.bmp", b"\x1b]52;c;ZXZpbA==\x07"),
    (b"csv,\"quote\".bmp", b"comma,\"quote\"\r\n"),
    (b"r\xc3\xa9sum\xc3\xa9.bmp", b"r\xc3\xa9sum\xc3\xa9.txt"),
    (b"c1-\xc2\x9b.bmp", b"\xc2\x9b2J"),
]


def test_hostile_names(root):
    tree = os.path.join(root, "hostile").encode()
    os.makedirs(tree)
    for file_name, hidden in HOSTILE:
        write(os.path.join(tree, file_name), bmp_with_record(20, 20, hidden))
    expected = sorted((os.path.join(tree, f), h) for f, h in HOSTILE)

    status, out, _ = scan(["--format=jsonl", "-q", tree.decode("utf-8", "surrogateescape")])
    got = [(raw(r["path"]), raw(r["name"])) for r in records(out)]
    check(got == expected, "jsonl: paths and names read back losslessly: %r" % got)

    status, out, _ = scan(["--format=csv", "-q", tree.decode("utf-8", "surrogateescape")])
    rows = list(csv.reader(io.StringIO(out.decode("utf-8", "surrogateescape"), newline="")))
    check(rows[0] == ["path", "verdict", "name", "length", "length_text", "warnings", "error",
                      "image", "fs_offset", "fs", "inode", "deleted", "carved_at",
                      "carved_length", "volume", "within"],
          "csv: header row %r" % rows[0])
    got = [(r[0].encode("utf-8", "surrogateescape"), r[2].encode("utf-8", "surrogateescape"))
           for r in rows[1:]]
    check(got == expected, "csv: paths and names read back with csv: %r" % got)
    check(all(len(r) == 16 for r in rows), "csv: sixteen fields in every row")

    # Into a pipe, text carries the stored bytes; on a terminal, escapes.
    status, out, _ = scan(["-q", tree.decode("utf-8", "surrogateescape")])
    check(b"esc-\x1b]0;title\x07" in out and b"\x1b]52;c;" in out,
          "text into a pipe: the bytes as stored")
    screen = on_terminal([SCANNER, tree.decode("utf-8", "surrogateescape")])
    check(b"\x1b" not in screen.replace(b"\r\x1b[K", b"") and b"\x07" not in screen,
          "text on a terminal: no ESC or BEL reaches it: %r" % screen[:300])
    check(b"esc-\\x1b]0;title\\x07\\x1b[2J.bmp: payload FOUND, embedded file name: "
          b"\\x1b]52;c;ZXZpbA==\\x07" in screen, "text on a terminal: escaped path and name")
    check(b"new\\x0aline.bmp" in screen and b"invalid-\\xff\\xfe.bmp" in screen
          and b"r\xc3\xa9sum\xc3\xa9.txt" in screen, "text on a terminal: newline, bytes, UTF-8")


def on_terminal(argv, seconds=20):
    """Everything a pseudo-terminal shows of a run (standard output and error)."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(argv[0], argv)
    shown, deadline = b"", time.time() + seconds
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.waitpid(pid, 0)
    return shown


# ---------------------------------------------------------------------------
# Hostile and broken trees: the scan ends, and says what it could not read.

def make_unreadable(tree):
    write(os.path.join(tree, "a-locked.bmp"), bmp_with_record(20, 20, b"x"))
    os.chmod(os.path.join(tree, "a-locked.bmp"), 0)
    os.makedirs(os.path.join(tree, "b-closed"))
    write(os.path.join(tree, "b-closed", "inside.bmp"))
    os.chmod(os.path.join(tree, "b-closed"), 0)
    write(os.path.join(tree, "c-open.bmp"), conformance.bitmap(random.Random(1), 20, 20))
    return [("a-locked.bmp", "error", "cannot open: Permission denied"),
            ("b-closed", "error", "cannot read directory: Permission denied"),
            ("c-open.bmp", "clean", None)]


def make_special(tree):
    os.makedirs(tree)
    os.mkfifo(os.path.join(tree, "fifo"))
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(os.path.join(tree, "socket"))
    os.symlink("/dev/zero", os.path.join(tree, "to-device"))
    os.symlink(".", os.path.join(tree, "to-self"))
    write(os.path.join(tree, "z.bmp"))
    return [("fifo", "skipped", "a FIFO"), ("socket", "skipped", "a socket"),
            ("to-device", "skipped", "symbolic link, not followed"),
            ("to-self", "skipped", "symbolic link, not followed"), ("z.bmp", "clean", None)]


def make_loop(tree):
    os.makedirs(os.path.join(tree, "d"))
    os.symlink("..", os.path.join(tree, "d", "up"))
    write(os.path.join(tree, "d", "f.bmp"))
    return [("d/f.bmp", "clean", None),
            ("d/up", "skipped", "file system loop: a directory already being walked")]


def make_wide(tree):
    os.makedirs(tree)
    for number in range(100000):
        open(os.path.join(tree, "f%06d" % number), "wb").close()
    return None  # checked by count and order


def make_deep(tree):
    path = tree
    os.mkdir(tree)
    for _ in range(2000):  # os.makedirs recurses once per level
        path = os.path.join(path, "d")
        os.mkdir(path)
    write(os.path.join(path, "bottom.bmp"), bmp_with_record(20, 20, b"deep.txt"))
    return [(os.path.relpath(os.path.join(path, "bottom.bmp"), tree), "payload", None)]


def test_broken_trees(root):
    cases = [
        # what, make, options, user, status, the summary's "Skipped:" line
        ("unreadable files and directories", make_unreadable, [], "nobody", 2, "Skipped: 0"),
        ("FIFO, socket and links in the tree", make_special, [], None, 0,
         "Skipped: 4 (2 symbolic links not followed, 1 FIFO, 1 socket)"),
        ("symbolic link loop under -L", make_loop, ["-L"], None, 0,
         "Skipped: 1 (1 file system loop)"),
        ("a directory of 100,000 files", make_wide, [], None, 0, "Skipped: 0"),
        ("a tree 2,000 levels deep", make_deep, [], None, 1, "Skipped: 0"),
    ]
    for number, (what, make, options, user, want_status, want_skipped) in enumerate(cases):
        if user == "nobody" and NOBODY_SCANNER is None:
            print("NOTICE: skipped %r: the user nobody cannot reach %s (a private TMPDIR?)"
                  % (what, root))
            continue
        tree = os.path.join(root, "broken%d" % number)
        if make is make_unreadable:
            os.makedirs(tree)
            os.chmod(tree, 0o755)
        want = make(tree)
        try:
            status, out, err = scan(["--format=jsonl"] + options + [tree], cwd=tree,
                                    user=user, timeout=300)
        except subprocess.TimeoutExpired:
            check(False, what + ": the scan ended")
            continue
        got = records(out)
        check(status == want_status, "%s: status %d, want %d" % (what, status, want_status))
        check(want_skipped.encode() + b"\n" in err,
              "%s: the summary counts skips by reason: %r" % (what, err[-400:]))
        if want is None:
            names = [raw(r["path"]) for r in got]
            check(len(names) == 100000 and names == sorted(names)
                  and all(r["verdict"] == "clean" for r in got),
                  "%s: every file once, in order" % what)
            continue
        have = [(os.path.relpath(raw(r["path"]).decode(), tree), r["verdict"], r["error"])
                for r in got]
        want = [(p, v, e) if e is not None or v != "payload" else (p, v, None) for p, v, e in want]
        check(have == want, "%s:\n  got  %r\n  want %r" % (what, have, want))
        # Standard error: a line per error, none per skip.
        lines = [line for line in err.split(b"\n") if line.startswith(b"quillmark-scan: ")]
        errors = [(os.path.join(tree, p), e) for p, v, e in want if v == "error"]
        check(lines == [("quillmark-scan: %s: %s" % pair).encode() for pair in errors],
              "%s: standard error has a line per error only: %r" % (what, lines))
        if make is make_unreadable:
            os.chmod(os.path.join(tree, "b-closed"), 0o755)


def test_changing_tree(root):
    """Files deleted and truncated while the scan runs: it ends, every line is valid."""
    tree = os.path.join(root, "changing")
    small = bmp_with_record(40, 40, b"s.txt")
    for number in range(3000):
        write(os.path.join(tree, "d%d" % (number % 10), "f%04d.bmp" % number), small)
    for number in range(10):
        write_large(os.path.join(tree, "large%d.bmp" % number), 4000, 400, b"big")
    stop = threading.Event()

    def vandal():
        rng = random.Random(5)
        while not stop.is_set():
            folder = os.path.join(tree, "d%d" % rng.randrange(10))
            for name in os.listdir(folder)[:5]:
                path = os.path.join(folder, name)
                try:
                    if rng.random() < 0.5:
                        os.remove(path)
                    else:
                        os.truncate(path, rng.randrange(2000))
                except OSError:
                    pass
            for number in range(10):
                try:
                    os.truncate(os.path.join(tree, "large%d.bmp" % number), rng.randrange(5000000))
                except OSError:
                    pass

    thread = threading.Thread(target=vandal)
    thread.start()
    try:
        status, out, _ = scan(["--format=jsonl", "-q", "-j8", tree], timeout=120)
    finally:
        stop.set()
        thread.join()
    got = records(out)
    paths = [raw(r["path"]) for r in got]
    check(status in (0, 1, 2), "changing tree: a normal exit status (%d)" % status)
    check(len(paths) == len(set(paths)), "changing tree: no file twice")


# ---------------------------------------------------------------------------
# The command-line contract.

def test_command_line(root):
    tree = os.path.join(root, "cli")
    write(os.path.join(tree, "a.bmp"), bmp_with_record(20, 20, b"a.txt"))
    write(os.path.join(tree, "b.txt"), b"not a bitmap")
    write(os.path.join(tree, "c.bmp"), conformance.bitmap(random.Random(2), 20, 20))
    clean = os.path.join(tree, "c.bmp")
    missing = os.path.join(tree, "missing")
    cases = [
        ("payload found: status 1, one line", [tree], 1,
         (tree + "/a.bmp: payload FOUND, embedded file name: a.txt, "
          "length of embedded data: 1234\n").encode()),
        ("no payload: status 0, no line", [clean], 0, b""),
        ("--all: a line for every file", ["--all", clean, missing], 2,
         (clean + ": OK\n" + missing + ": ERROR (cannot open: No such file or directory)\n")
         .encode()),
        ("a payload outranks an error", [missing, tree], 1, None),
        ("--bmp-only skips, quietly", ["--bmp-only", "--all", os.path.join(tree, "b.txt")], 0,
         (tree + "/b.txt: SKIPPED (not a BMP file)\n").encode()),
        ("usage error", ["--format=xml", tree], 2, b""),
        ("no path", [], 2, b""),
        ("--version", ["--version"], 0, None),
    ]
    for what, args, want_status, want_out in cases:
        status, out, err = scan(args)
        check(status == want_status, "%s: status %d, want %d" % (what, status, want_status))
        if want_out is not None:
            check(out == want_out, "%s: output %r" % (what, out))
    _, _, err = scan(["--bmp-only", os.path.join(tree, "b.txt")])
    check(b"b.txt" not in err and b"Skipped: 1" in err, "--bmp-only: counted, no line")
    _, out, _ = scan(["--version"])
    check(out.startswith(b"quillmark-scan "), "--version names the program")

    # --files-from with NUL separators, from standard input.
    listing = b"\0".join([os.path.join(tree, "a.bmp").encode(), clean.encode()]) + b"\0"
    status, out, _ = scan(["--files-from=-", "-0", "--format=csv", "-q"], stdin=listing)
    check(status == 1 and out.count(b"\r\n") == 3, "--files-from=- -0: %r" % out)

    # A reader that goes away: the scan ends quietly.
    wide = os.path.join(root, "broken3")  # 100,000 files from the wide-tree case
    pipeline = subprocess.run("'%s' --all '%s' | head -n 1" % (SCANNER, wide), shell=True,
                              capture_output=True, timeout=60)
    check(pipeline.stdout.count(b"\n") == 1 and pipeline.stderr == b"",
          "| head -n 1 ends quietly: %r" % pipeline.stderr[:200])

    # Standard output that cannot be written: an error line and status 2.
    with open("/dev/full", "wb") as full:
        status, _, err = scan([tree], stdout=full)
    check(status == 2 and b"error writing standard output: No space left on device" in err,
          "/dev/full: status %d, %r" % (status, err[:200]))

    # Interrupted: what finished is written, with the summary, then 130 / 143.
    for signum, want in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
        ended = interrupted_scan(SCANNER, ["--format=jsonl"], os.path.join(tree, "a.bmp"),
                                 signum, 10)
        if not check(ended is not None, "signal %d: the scan ended" % signum):
            continue
        status, out, err = ended
        got = records(out)
        check(status == want and len(got) == 1 and b"SCAN SUMMARY" in err,
              "signal %d: status %d, %d records, %r" % (signum, status, len(got), err[:100]))

    # Splitting a list across machines with GNU parallel, as the README shows
    # it, on the local login ":".
    if shutil.which("parallel"):
        command = ("find '%s' -type f -print0 | parallel -0 --pipe --recend '\\0' -N 1000 "
                   "--sshlogin : '%s' --files-from=- -0 --format=jsonl -q > '%s'"
                   % (os.path.join(root, "shapes"), SCANNER, os.path.join(root, "all.jsonl")))
        subprocess.run(command, shell=True, timeout=120)
        with open(os.path.join(root, "all.jsonl"), "rb") as merged:
            got = records(merged.read())
        check(len(got) == 244, "GNU parallel: every file's record, once (%d)" % len(got))
    else:
        print("skipped the GNU parallel check: no parallel")


def main():
    global NOBODY_SCANNER
    root = tempfile.mkdtemp(prefix="quillmark-scan-test-")
    os.chmod(root, 0o755)  # the unreadable-file case runs as nobody
    NOBODY_SCANNER = nobody_scanner(root)
    try:
        return run_tests(functools.partial(test, root) for test in (
            test_one_analysis, test_hostile_names, test_broken_trees, test_changing_tree,
            test_command_line))
    finally:
        subprocess.run(["chmod", "-R", "u+rwx", root])
        subprocess.run(["rm", "-rf", root])  # shutil.rmtree recurses once per level


if __name__ == "__main__":
    sys.exit(main())
