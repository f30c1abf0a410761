#!/usr/bin/env python3
"""Checks quillmark-detect against an independent model of its behaviour.

Generates bitmaps of many shapes (valid, padded, multi-column, too small,
truncated, empty, top-down, wrapped widths, trailing bytes, other formats,
random headers), runs the program on each and compares standard output,
standard error and exit status with what the model predicts. The model reads
the file through a simulated stream with the program's input rules: a seek
before the start fails, a short read keeps what it got and fails, and a
failed stream stays failed.

usage: conformance.py PROGRAM [--count N] [--seed S]
"""
import argparse
import math
import os
import random
import struct
import subprocess
import sys
import tempfile

TITLE_PREFIX = b"Quillmark Detector "
RECORD_SIZE = 140


class Stream:
    """A file stream as the program sees it."""

    def __init__(self, data):
        self.data, self.pos, self.failed = data, 0, False

    def seek(self, offset, from_end):
        if self.failed:
            return
        target = (len(self.data) if from_end else self.pos) + offset
        if target < 0:
            self.failed = True
        else:
            self.pos = target

    def read(self, dest, trace=None):
        """Reads len(dest) bytes into dest; returns the offset read from."""
        if self.failed:
            return None
        start, got = self.pos, self.data[self.pos:self.pos + len(dest)]
        dest[:len(got)] = got
        self.pos += len(got)
        if len(got) < len(dest):
            self.failed = True
        return start if got else None


def walk(data):
    """Header fields and the hidden record, plus where each hidden bit came from."""
    stream = Stream(data)
    header = bytearray(32)
    stream.read(header)
    width = header[18] | header[19] << 8
    height = header[22] | header[23] << 8
    stride = (3 * width + 3) & ~3
    pixel, origin = bytearray(3), None
    stream.seek(-stride, True)
    origin = stream.read(pixel)
    column = row = channel = 0
    record, sources, ran_out = bytearray(), [], False
    for _ in range(RECORD_SIZE):
        value = 0
        for bit in range(8):
            if ran_out:
                break
            value |= (pixel[2 - channel] & 1) << bit
            sources.append(None if origin is None else origin + 2 - channel)
            channel += 1
            if channel <= 2:
                continue
            channel, row = 0, row + 1
            if row < height:
                stream.seek(-(stride + 3), False)
            else:
                row, column = 0, column + 1
                if column >= width:
                    ran_out, value = True, 0
                    break
                stream.seek(3 * column - stride, True)
            origin = stream.read(pixel) if not stream.failed else origin
        record.append(value)
    return header, bytes(record), sources


def expected_output(path, data):
    header, record, _ = walk(data)
    lines = [b"Analysing file " + path.encode()]
    if header[:2] != b"BM":
        lines.append(b"Not a BMP file")
    if (header[28] | header[29] << 8) != 24:
        lines.append(b"Colour depth should be 24 bits")
    if record[:4] == b"QMK\0":
        name = record[4:132].split(b"\0")[0]
        (length,) = struct.unpack("<d", record[132:140])
        if math.isnan(length):
            text = "-nan" if math.copysign(1, length) < 0 else "nan"
        else:
            text = "%g" % length
        lines += [b"Steganographic message detected.", b"embedded file name: " + name,
                  b"length of embedded data: " + text.encode()]
    else:
        lines.append(b"File does not contain any Quillmark hidden data. ")
    return b"".join(line + b"\n" for line in lines)


def bitmap(rng, width_field, height_field, bits=24, kind=b"BM", rows=None, trailing=0):
    width, height = width_field & 0xFFFF, height_field & 0xFFFF
    stride = (3 * width + 3) & ~3
    rows = height if rows is None else rows
    pixels = bytes(rng.getrandbits(8) for _ in range(stride * rows))
    head = kind[:2] + struct.pack("<IHHIIiiHHII", 54 + len(pixels) + trailing, 0, 0, 54, 40,
                                  width_field, height_field, 1, bits, 0, len(pixels))
    return bytearray(head + bytes(16) + pixels + bytes(trailing))


def hide(rng, data):
    """Writes a record into the lowest bits the walk of data reads from."""
    name = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz._-0123456789\xe9")
                 for _ in range(rng.choice([0, 1, 9, 40, 127, 128])))
    length = rng.choice([0.0, 1.0, 0.5, 1234.0, 5000.0, 123456.0, 1e6, 1234567.0, -2.5,
                         1e-5, 0.0001, 1e300, float("inf"), float("-inf"), float("nan"),
                         rng.uniform(-1e9, 1e9), float(rng.getrandbits(40))])
    magic = b"QMK\0" if rng.random() < 0.8 else rng.choice([b"QMK\1", b"QMk\0", b"XMK\0"])
    record = magic + name.ljust(128, b"\0")[:128] + struct.pack("<d", length)
    _, _, sources = walk(bytes(data))
    for index, at in enumerate(sources):
        if at is not None:
            bit = record[index // 8] >> (index % 8) & 1
            data[at] = (data[at] & 0xFE) | bit
    return data


def generate(rng):
    shape = rng.randrange(12)
    w, h = rng.randint(1, 40), rng.randint(1, 40)
    if shape == 0:    # valid, possibly padded, often multi-column
        return "valid", hide(rng, bitmap(rng, w, h))
    if shape == 1:    # one long column or one long row
        return "line", hide(rng, bitmap(rng, 1, 400) if rng.random() < 0.5 else bitmap(rng, 400, 1))
    if shape == 2:    # fewer than 374 pixels
        return "small", hide(rng, bitmap(rng, rng.randint(1, 12), rng.randint(1, 30)))
    if shape == 3:    # truncated anywhere
        data = hide(rng, bitmap(rng, w, h))
        return "truncated", data[:rng.randrange(len(data))]
    if shape == 4:    # empty or tiny
        return "tiny", bytearray(rng.getrandbits(8) for _ in range(rng.randrange(60)))
    if shape == 5:    # top-down: huge height, few stored rows
        return "top-down", hide(rng, bitmap(rng, w, -h, rows=h))
    if shape == 6:    # wrapped width
        return "wrapped", hide(rng, bitmap(rng, 65536 + w, h))
    if shape == 7:    # trailing bytes after the pixel array, hidden before them
        data = hide(rng, bitmap(rng, w, h))
        return "trailing", data + bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 9)))
    if shape == 8:    # other formats
        magic = rng.choice([b"\x89PNG\r\n\x1a\n", b"GIF89a", b"\xff\xd8\xff\xe0", b"MB"])
        return "other", bytearray(magic) + bytearray(rng.getrandbits(8) for _ in range(rng.randint(0, 600)))
    if shape == 9:    # 32 bits per pixel, or another depth
        return "depth", hide(rng, bitmap(rng, w, h, bits=rng.choice([1, 8, 16, 32])))
    if shape == 10:   # width 0 or height 0
        return "zero", hide(rng, bitmap(rng, 0 if rng.random() < 0.5 else w, 0, rows=rng.randint(0, 3)))
    # random header fields over random pixel bytes
    return "random", hide(rng, bitmap(rng, rng.getrandbits(32) - 2**31, rng.getrandbits(32) - 2**31,
                                      rows=0) + bytearray(rng.getrandbits(8) for _ in range(rng.randint(0, 3000))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--count", type=int, default=400)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    failures, seen = 0, {}
    with tempfile.TemporaryDirectory() as folder:
        for number in range(args.count):
            kind, data = generate(rng)
            seen[kind] = seen.get(kind, 0) + 1
            path = os.path.join(folder, "case%d.bmp" % number)
            with open(path, "wb") as out:
                out.write(data)
            run = subprocess.run([args.program, path], capture_output=True)
            title, _, rest = run.stdout.partition(b"\n")
            want = expected_output(path, bytes(data))
            if (run.returncode, run.stderr, rest) != (0, b"", want) or not title.startswith(TITLE_PREFIX):
                failures += 1
                print("MISMATCH %s (%s, %d bytes): status %d\n got: %r %r\nwant: %r"
                      % (path, kind, len(data), run.returncode, run.stdout, run.stderr, want))
                os.rename(path, "conformance-failure-%d.bmp" % number)
    print("shapes: " + ", ".join("%s %d" % item for item in sorted(seen.items())))
    print("%d passed, %d failed" % (args.count - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
