"""Helpers shared by the scanner's end-to-end tests: bitmaps with a hidden
record, the scanner's JSON lines read back strictly, and the detector's own
verdict on a file, to compare every record with."""
import base64
import functools
import json
import os
import random
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conformance  # noqa: E402  (the generator of bitmaps of every shape)


def records(output):
    """The JSON lines of `output`, each decoded as strict UTF-8 and JSON."""
    result = []
    for line in output.split(b"\n")[:-1]:
        text = line.decode("utf-8")  # raises on invalid UTF-8
        result.append(json.loads(text, parse_constant=lambda c: (_ for _ in ()).throw(
            ValueError("non-JSON constant " + c))))
    return result


def raw(value):
    """The bytes of a {"text"} or {"bytes"} JSON value."""
    if value is None:
        return None
    if "text" in value:
        return value["text"].encode("utf-8")
    return base64.b64decode(value["bytes"], validate=True)


def detect(detector, path):
    """What the detector says of `path`: (verdict, warnings, name, length text)."""
    run = subprocess.run([detector, path], capture_output=True)
    lines = run.stdout.split(b"\n")[2:-1]  # after the title and "Analysing file"
    if run.returncode != 0:
        return "error", [], None, None
    warnings = [line.decode() for line in lines
                if line in (b"Not a BMP file", b"Colour depth should be 24 bits")]
    if b"Steganographic message detected." in lines:
        name = lines[-2][len(b"embedded file name: "):]
        length = lines[-1][len(b"length of embedded data: "):].decode()
        return "payload", warnings, name, length
    return "clean", warnings, None, None


def verdict_of(record):
    """A JSON record's analysis in the shape detect() gives it."""
    return (record["verdict"], record["warnings"], raw(record["name"]), record["length_text"])


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def bmp_with_record(width, height, name, length=1234.0):
    """A full 24-bit bitmap with a record for `name` hidden along the walk."""
    data = conformance.bitmap(random.Random(3), width, height)
    record = b"QMK\0" + name.ljust(128, b"\0")[:128] + struct.pack("<d", length)
    _, _, sources = conformance.walk(bytes(data))
    for index, at in enumerate(sources):
        if at is not None:
            data[at] = (data[at] & 0xFE) | (record[index // 8] >> (index % 8) & 1)
    return bytes(data)


def large_bmp(width, height, name):
    """A sparse bitmap too large to be read whole, with `name` hidden."""
    stride = (3 * width + 3) & ~3
    size = 54 + stride * height
    data = bytearray(b"BM" + struct.pack("<IHHIIiiHHII", size, 0, 0, 54, 40, width, height, 1,
                                         24, 0, stride * height) + bytes(16))
    record = b"QMK\0" + name.ljust(128, b"\0") + struct.pack("<d", 98765.0)
    pixels = {}
    for bit in range(8 * len(record)):
        column, row = divmod(bit // 3, height)
        at = size - (row + 1) * stride + 3 * column + 2 - bit % 3
        pixels[at] = pixels.get(at, 0) | (record[bit // 8] >> (bit % 8) & 1)
    return data, size, pixels


def write_large(path, width, height, name, trailing=0, cut=None):
    data, size, pixels = large_bmp(width, height, name)
    with open(path, "wb") as out:
        out.write(data)
        for at, value in pixels.items():
            out.seek(at)
            out.write(bytes([value]))
        out.truncate(size if cut is None else cut)
        if trailing:
            out.seek(0, 2)
            out.write(bytes(trailing))


def interrupted_scan(scanner, args, path, signum, timeout):
    """Runs `scanner` with `args` over a list on standard input that names
    `path` and stays open, so that the scan waits for more; sends `signum`
    once the file is done. Returns (status, stdout, stderr), or None when the
    scan did not end within `timeout` seconds (it is then killed)."""
    child = subprocess.Popen([scanner, "--files-from=-"] + args, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdin.write(path.encode() + b"\n")
    child.stdin.flush()
    time.sleep(0.5)
    child.send_signal(signum)
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return None
    return child.returncode, out, err


# What failed so far, over the whole run of one test script.
failures = []


def child_of(pid, marker):
    """The pid of the child process of `pid` whose command line holds `marker`."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                words = cmdline.read().split(b"\0")
        except OSError:
            continue
        if parent == pid and marker.encode() in words:
            return int(entry)
    return None


def check(ok, what):
    """Records `what` as failed unless `ok`; returns `ok`."""
    if not ok:
        failures.append(what)
        print("FAIL: " + what)
    return ok


def run_tests(tests):
    """Runs each of `tests` (callables without arguments, or partials of
    them) in turn, prints whether each passed and how long it took, and
    returns the script's exit status: 1 if any check failed. A test that
    raises ends the run."""
    passed = failed = 0
    for test in tests:
        name = test.func.__name__ if isinstance(test, functools.partial) else test.__name__
        started = time.time()
        before = len(failures)
        test()
        ok = len(failures) == before
        passed, failed = passed + ok, failed + (not ok)
        print("%s: %s in %.1f s" % (name, "ok" if ok else "FAILED", time.time() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failures else 0
