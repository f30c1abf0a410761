#!/usr/bin/env python3
"""The HTML report, opened in a real browser.

Debian's chromium, headless, is driven over the DevTools protocol (on a
pipe, no port). Each row of the report matches the JSON line of the same
scan (verdict, path, hidden name, length, image); every picture decodes,
and a thumbnail shows its carrier scaled down; hostile names show as text,
nothing runs that is not ours, nothing is fetched and the script's CSP hash
holds; with JavaScript off every row is there; an interrupted scan's
document parses and says it is incomplete. The document is valid for the
Nu HTML Checker where its jar is found. Without chromium the browser checks
print a NOTICE and are skipped.

usage: html_test.py SCANNER [VNU_JAR]
"""
import functools
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import conformance  # noqa: E402
from browser import Browser  # noqa: E402
from scan_support import (bmp_with_record, check, interrupted_scan, raw, records,  # noqa: E402
                          run_tests, write)

SCANNER = os.path.abspath(sys.argv[1])
VNU_JAR = sys.argv[2] if len(sys.argv) > 2 else ""
MISSING = "/nonexistent/quillmark-html-test.bmp"
IMAGE = None  # made by main
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


# What the page reads of itself: each row as a reader sees it, and each
# picture as decoded.
ROWS = """JSON.stringify(Array.from(document.querySelectorAll('#records tbody tr')).map(r => ({
  verdict: r.className, word: r.cells[0].textContent,
  path: (r.querySelector('.path') || {textContent: ''}).textContent,
  image: (r.querySelector('.image') || {textContent: null}).textContent,
  name: r.cells[2].textContent, length: r.cells[3].textContent,
  visible: r.getClientRects().length > 0,
  pictures: Array.from(r.querySelectorAll('img')).map(i =>
    [i.naturalWidth, i.naturalHeight, i.src.slice(0, 22), i.alt.length > 0])})))"""


def shown(data):
    """`data` as the report shows it: markup-free text with control bytes,
    bytes that are not UTF-8 and the C1 controls as \\xHH, a backslash
    doubled."""
    out, at = [], 0
    while at < len(data):
        lead = data[at]
        size = 1 if lead < 0x80 else 2 if lead >> 5 == 6 else 3 if lead >> 4 == 14 else \
            4 if lead >> 3 == 30 else 0
        try:
            text = data[at:at + size].decode("utf-8") if size else None
        except UnicodeDecodeError:
            text = None
        code = ord(text) if text else None
        if code is None or code < 0x20 or 0x7F <= code <= 0x9F or code in (0xFFFE, 0xFFFF):
            for byte in data[at:at + (size if text else 1)]:
                out.append("\\x%02x" % byte)
            at += size if text else 1
            continue
        out.append("\\\\" if text == "\\" else text)
        at += size
    return "".join(out)


def painted_bmp(width, height, colour, name):
    """A 24-bit bitmap whose pixel (x, y from the top) is colour(x, y), with a
    record for `name` hidden along the walk."""
    stride = (3 * width + 3) & ~3
    data = bytearray(b"BM" + struct.pack("<IHHIIiiHHII", 54 + stride * height, 0, 0, 54, 40,
                                         width, height, 1, 24, 0, stride * height) + bytes(16))
    data += bytes(stride * height)
    for y in range(height):
        for x in range(width):
            at = 54 + (height - 1 - y) * stride + 3 * x
            r, g, b = colour(x, y)
            data[at:at + 3] = bytes((b, g, r))
    record = b"QMK\0" + name.ljust(128, b"\0") + struct.pack("<d", 4321.0)
    for index, at in enumerate(conformance.walk(bytes(data))[2]):
        data[at] = (data[at] & 0xFE) | (record[index // 8] >> (index % 8) & 1)
    return bytes(data)


def halves(x, y, width):
    return (200, 40, 40) if x < width // 2 else (40, 40, 200)


def make_tree(root):
    """Carriers, clean files and hostile names, in one tree."""
    tree = os.path.join(root, "evidence")
    write(os.path.join(tree, "wide.bmp"),
          painted_bmp(512, 256, functools.partial(halves, width=512), b"plan.txt"))
    write(os.path.join(tree, "tiny.bmp"), painted_bmp(16, 8, lambda x, y: (90, 160, 90),
                                                      b"<script>alert(1)</script>"))
    write(os.path.join(tree, "clean.bmp"), conformance.bitmap(random.Random(1), 20, 20))
    write(os.path.join(tree, "notes.txt"), b"not a picture")
    carrier = bmp_with_record(24, 24, b"\"><img src=x onerror=alert(1)>")
    for name in (b"<script>alert(1)</script>.bmp", b"\"><img src=x onerror=alert(1)>.bmp",
                 b"ctl\x1b[31m\xff\\.bmp"):
        write(os.path.join(tree.encode(), b"hostile", name), carrier)  # "/" makes a folder
    return tree


def make_image(root, tree):
    """An ext4 image holding a carrier, whose pictures the image child draws;
    None where mke2fs is missing."""
    if not shutil.which("mke2fs"):
        print("NOTICE: no mke2fs: carriers inside disk images are not drawn here")
        return None
    inside = os.path.join(root, "inside")
    write(os.path.join(inside, "in-image.bmp"),
          painted_bmp(40, 30, lambda x, y: (x * 6, y * 8, 100), b"image.txt"))
    image = os.path.join(root, "ext4.img")
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-d", inside, image, "2M"], check=True,
                   capture_output=True)
    return image


def scan(*args):
    """The scan of the tree, of the image (carved) and of a path that is not
    there (an error)."""
    more = [MISSING] + (["--image=" + IMAGE, "--carve"] if IMAGE else [])
    return subprocess.run([SCANNER, "-q"] + list(args) + more, capture_output=True,
                          timeout=300)


def expected_rows(jsonl):
    rows = []
    for record in records(jsonl):
        payload = record["verdict"] == "payload"
        image = raw(record.get("image"))
        rows.append({"verdict": record["verdict"], "path": shown(raw(record["path"]) or b""),
                     "image": None if image is None else shown(image),
                     "name": shown(raw(record["name"])) if payload else "",
                     "length": record["length_text"] if payload else ""})
    return rows


def test_rows_match_jsonl(root, tree, browser):
    """Every JSON line is a row with the same verdict, path, name and length;
    payloads first; pictures decode; nothing runs but our script."""
    report = os.path.join(root, "all.html")
    done = scan("--format=html", "--all", tree)
    with open(report, "wb") as out:
        out.write(done.stdout)
    jsonl = scan("--format=jsonl", "--all", tree).stdout
    expected = expected_rows(jsonl)
    check(done.returncode == 1, "a scan with payloads exits 1: %d" % done.returncode)
    text = done.stdout.decode("utf-8").lower()
    check("incomplete" not in text and "interrupted" not in text,
          "a complete report never says it is not")
    if browser is None:
        return
    browser.open(report)
    # Pictures load lazily, as they come into view: all of them, now.
    browser.evaluate("""Promise.all(Array.from(document.images).map(i => {
        i.loading = 'eager'; return i.decode().catch(() => null); }))""")
    rows = json.loads(browser.evaluate(ROWS))
    seen = [{k: row[k] for k in ("verdict", "path", "image", "name", "length")} for row in rows]
    key = lambda row: json.dumps(row, sort_keys=True)  # noqa: E731
    check(sorted(map(key, seen)) == sorted(map(key, expected)),
          "the rows are the JSON lines:\n%s\n%s" % (seen, expected))
    check(all(row["visible"] and row["word"] == row["verdict"] for row in rows),
          "every row is visible and names its verdict")
    order = browser.evaluate("""JSON.stringify(Array.from(
        document.querySelectorAll('#records tbody tr')).sort((a, b) =>
        a.getBoundingClientRect().top - b.getBoundingClientRect().top).map(r => r.className))""")
    order = json.loads(order)
    rank = {"payload": 0, "error": 1}
    check([rank.get(v, 2) for v in order] == sorted(rank.get(v, 2) for v in order),
          "payloads are shown first, then errors: %s" % order)
    pictures = [p for row in rows if row["verdict"] == "payload" for p in row["pictures"]]
    check(len(pictures) == 2 * sum(r["verdict"] == "payload" for r in rows) and
          all(p[0] > 0 and p[1] > 0 and p[2] == "data:image/png;base64," and p[3]
              for p in pictures), "every payload has two decoded pictures: %s" % pictures)
    check(not IMAGE or any(r["image"] and r["verdict"] == "payload" for r in rows),
          "a carrier inside the image is a payload row, pictures and all")
    tiny = next(row for row in rows if row["path"].endswith("tiny.bmp"))["pictures"][0]
    check(tiny[:2] == [64, 32], "a small carrier is enlarged, proportions kept: %s" % tiny)
    # The wide carrier halves: red on the left, blue on the right.
    colours = json.loads(browser.evaluate("""(() => {
      const row = Array.from(document.querySelectorAll('#records tbody tr'))
          .find(r => r.querySelector('.path').textContent.endsWith('wide.bmp'));
      const img = row.querySelector('img');
      const canvas = document.createElement('canvas');
      canvas.width = img.naturalWidth; canvas.height = img.naturalHeight;
      const context = canvas.getContext('2d');
      context.drawImage(img, 0, 0);
      return JSON.stringify([canvas.width, canvas.height,
        Array.from(context.getImageData(64, 64, 1, 1).data.slice(0, 3)),
        Array.from(context.getImageData(192, 64, 1, 1).data.slice(0, 3))]);
    })()"""))
    close = lambda a, b: all(abs(x - y) <= 2 for x, y in zip(a, b))  # noqa: E731
    check(colours[:2] == [256, 128] and close(colours[2], (200, 40, 40)) and
          close(colours[3], (40, 40, 200)), "the thumbnail is the carrier scaled: %s" % colours)
    check(browser.evaluate("document.getElementById('controls').hidden") is False and
          "rows shown" in browser.evaluate("document.getElementById('filter-shown').textContent"),
          "our script ran under the document's own policy")
    check(not browser.happened("Page.javascriptDialogOpening"), "no alert from hostile names")
    check(not browser.happened("Runtime.exceptionThrown"), "no script error")
    errors = [e["entry"]["text"] for e in browser.happened("Log.entryAdded")
              if e["entry"]["level"] == "error"]
    check(not errors, "no error in the console (a CSP refusal shows there): %s" % errors)
    fetched = [e["request"]["url"] for e in browser.happened("Network.requestWillBeSent")
               if not e["request"]["url"].startswith(("data:", "file://" + report))]
    check(not fetched, "nothing is fetched: %s" % fetched)
    # The filter hides what does not match, and shows it again.
    hidden = browser.evaluate("""(() => {
      const select = document.getElementById('filter-verdict');
      select.value = 'payload'; select.dispatchEvent(new Event('change'));
      const left = document.querySelectorAll('#records tbody tr:not([hidden])').length;
      select.value = ''; select.dispatchEvent(new Event('change'));
      return left;
    })()""")
    check(hidden == sum(r["verdict"] == "payload" for r in rows),
          "the verdict filter keeps the payloads: %s" % hidden)
    browser.open(report, scripts=False)
    check(browser.count("#records tbody tr") == len(expected) and
          browser.count("#controls[hidden]") == 1, "with scripts off every row is there")
    if os.path.isfile(VNU_JAR) and shutil.which("java"):
        valid = subprocess.run(["java", "-jar", VNU_JAR, "--errors-only", report],
                               capture_output=True, timeout=120)
        check(valid.returncode == 0, "the Nu HTML Checker finds no error: %s" % valid.stderr)
    else:
        print("NOTICE: no vnu.jar or java: the report is not checked by the Nu HTML Checker "
              "(npm install --prefix build/tools vnu-jar; apt-get install default-jre-headless)")


def test_findings_only(root, tree, browser):
    """Without --all: payloads and errors have rows, every file is counted."""
    done = scan("--format=html", tree)
    page = done.stdout.decode("utf-8")
    jsonl = records(scan("--format=jsonl", "--all", tree).stdout)
    wanted = sum(r["verdict"] in ("payload", "error") for r in jsonl)
    check(page.count("<tr class=\"payload\"") + page.count("<tr class=\"error\"") == wanted and
          "<tr class=\"clean\"" not in page, "rows for payloads and errors only")
    check("<span class=\"count\">%d</span> files" % len(jsonl) in page and
          "</span> payloads" in page and "</span> errors" in page,
          "the summary counts every file, in words")


def test_interrupted(root, tree, browser):
    """SIGINT and SIGTERM: a whole document that says it is incomplete."""
    for signum, name in ((signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")):
        ended = interrupted_scan(SCANNER, ["--format=html", "-q"],
                                 os.path.join(tree, "wide.bmp"), signum, 30)
        if not check(ended is not None, "%s: the scan ended" % name):
            continue
        status, out, _ = ended
        page = out.decode("utf-8")
        check(status == 128 + signum and page.endswith("</html>\n") and
              "Incomplete: the scan was interrupted (%s)" % name in page,
              "%s: the document ends and says it is incomplete" % name)
        if browser is not None and signum == signal.SIGINT:
            report = os.path.join(root, "interrupted.html")
            with open(report, "wb") as out_file:
                out_file.write(out)
            browser.open(report)
            check(browser.count("#records tbody tr.payload") == 1 and
                  "Incomplete" in browser.evaluate(
                      "document.querySelector('#summary .state').textContent"),
                  "the interrupted document parses into its row and its state")


def main():
    root = tempfile.mkdtemp(prefix="quillmark-html-test-")
    browser = None
    try:
        tree = make_tree(root)
        global IMAGE
        IMAGE = make_image(root, tree)
        if CHROMIUM:
            browser = Browser(CHROMIUM, os.path.join(root, "profile"))
        else:
            print("NOTICE: no chromium: the report is not opened in a browser "
                  "(apt-get install chromium)")
        return run_tests(functools.partial(test, root, tree, browser) for test in (
            test_rows_match_jsonl, test_findings_only, test_interrupted))
    finally:
        if browser is not None:
            browser.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
