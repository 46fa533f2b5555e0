#!/usr/bin/env python3
"""Runs the rendrix command line on small PDF files written here and checks
the files it writes, what it prints and its exit status.

    RENDRIX_CLI=build/tools/rendrix python3 tests/cli/cli_test.py
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

CLI = os.path.abspath(os.environ["RENDRIX_CLI"]) if os.environ.get("RENDRIX_CLI") else ""
HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "include",
                      "rendrix.h")


def write_pdf(path, boxes, rotations=None):
    """A PDF with one page per box (x0 y0 x1 y1), each with a filled square."""
    rotations = rotations or {}
    n = len(boxes)
    objs = {1: b"<< /Type /Catalog /Pages 2 0 R >>"}
    kids = " ".join("%d 0 R" % (3 + 2 * i) for i in range(n))
    objs[2] = ("<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, n)).encode()
    for i, box in enumerate(boxes):
        rot = " /Rotate %d" % rotations[i + 1] if i + 1 in rotations else ""
        objs[3 + 2 * i] = ("<< /Type /Page /Parent 2 0 R /MediaBox [%s]%s /Contents %d 0 R >>" %
                           (" ".join(str(v) for v in box), rot, 4 + 2 * i)).encode()
        content = b"0 0 1 rg 10 10 50 50 re f"
        objs[4 + 2 * i] = b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content)
    out = bytearray(b"%PDF-1.4\n")
    offsets = {}
    for num in sorted(objs):
        offsets[num] = len(out)
        out += b"%d 0 obj\n%s\nendobj\n" % (num, objs[num])
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for num in sorted(objs):
        out += b"%010d 00000 n \n" % offsets[num]
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    with open(path, "wb") as f:
        f.write(out)


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", data[:8]
    return struct.unpack(">II", data[16:24])


def read(path):
    with open(path, "rb") as f:
        return f.read()


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        # Five pages; the fourth is too large to render at 150 dpi.
        self.pdf = os.path.join(self.dir, "five.pdf")
        write_pdf(self.pdf, [[0, 0, 72, 144], [0, 0, 144, 72], [0, 0, 72, 72],
                             [0, 0, 20000, 20000], [0, 0, 36, 36]], rotations={2: 90})

    def tearDown(self):
        self.tmp.cleanup()

    def run_cli(self, *args, cwd=None):
        return subprocess.run([CLI] + list(args), capture_output=True, cwd=cwd or self.dir,
                              timeout=120)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def test_page_lists_go_to_a_directory_and_failures_do_not_stop_the_rest(self):
        r = self.run_cli("render", self.pdf, "-p", "5,1-2", "-o", "out/sub", "-r", "72")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(self.path("out", "sub"))),
                         ["page_001.png", "page_002.png", "page_005.png"])
        self.assertEqual(png_size(read(self.path("out", "sub", "page_001.png"))), (72, 144))
        # The quarter turn swaps the sides.
        self.assertEqual(png_size(read(self.path("out", "sub", "page_002.png"))), (72, 144))
        self.assertEqual(r.stderr, b"", "no progress line when stderr is not a terminal")

        # Every page (the default), on two threads: page 4 fails, the others
        # are written, and the failure names the page and the library's message.
        r = self.run_cli("render", self.pdf, "-o", "all", "-j", "2")
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr.decode(), r"^rendrix: page 4: page too large at 150 dpi")
        self.assertEqual(sorted(os.listdir(self.path("all"))),
                         ["page_001.png", "page_002.png", "page_003.png", "page_005.png"])

        # Open ranges stop at the last page; a page named past it fails.
        r = self.run_cli("render", self.pdf, "-p", "5-,-1,9", "-r", "10", "-q", "-o", "ends")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"page 9: page 9 out of range (1..5)", r.stderr)
        self.assertEqual(sorted(os.listdir(self.path("ends"))), ["page_001.png", "page_005.png"])

        # Directories are made with every missing parent; a file in the way
        # stops the run before any page.
        r = self.run_cli("render", self.pdf, "-p", "1", "-r", "10", "-o", "deep//er/")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.listdir(self.path("deep", "er")), ["page_001.png"])
        r = self.run_cli("render", self.pdf, "-p", "1-2", "-o", "five.pdf/sub")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b"rendrix: cannot create directory five.pdf/sub: "
                         b"Not a directory\n")

        # Without -o the pages go to the current directory.
        r = self.run_cli("render", self.pdf, "-p", "3", "-r", "10")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.isfile(self.path("page_003.png")))

    def test_patterns_standard_output_and_formats(self):
        r = self.run_cli("render", self.pdf, "-p", "1-3", "-r", "20", "-o", "img-%03d.jpg")
        self.assertEqual(r.returncode, 0, r.stderr)
        for page in (1, 2, 3):
            self.assertEqual(read(self.path("img-%03d.jpg" % page))[:3], b"\xff\xd8\xff")
        # -F wins over the extension; %% is a percent sign.
        r = self.run_cli("render", self.pdf, "-p", "2", "-F", "png", "-o", "100%%-%d.jpg")
        self.assertEqual(r.returncode, 0, r.stderr)
        png_size(read(self.path("100%-2.jpg")))

        # One page to standard output, byte for byte what a file gets.
        r = self.run_cli("render", self.pdf, "-p", "1", "-r", "30", "-o", "-")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.run_cli("render", self.pdf, "-p", "1", "-r", "30", "-o", "one.png")
        self.assertEqual(r.stdout, read(self.path("one.png")))
        r = self.run_cli("render", self.pdf, "-p", "1", "-o", "one.JPEG")
        self.assertEqual(read(self.path("one.JPEG"))[:2], b"\xff\xd8")
        # An existing directory takes a single page under the library's name.
        os.mkdir(self.path("existing"))
        r = self.run_cli("render", self.pdf, "-p", "5", "-F", "jpeg", "-o", "existing")
        self.assertEqual(os.listdir(self.path("existing")), ["page_005.jpg"])

    def test_usage_errors_exit_with_2_and_write_nothing(self):
        cases = [
            ["render", self.pdf, "-p", "0"],
            ["render", self.pdf, "-p", "3-1"],
            ["render", self.pdf, "-p", "1,,2"],
            ["render", self.pdf, "-p", "-"],
            ["render", self.pdf, "-p", "1-2-3"],
            ["render", self.pdf, "-p", "x"],
            ["render", self.pdf, "-o", "a-%s.png"],
            ["render", self.pdf, "-o", "a-%d-%d.png"],
            ["render", self.pdf, "-o", "a-%100d.png"],
            ["render", self.pdf, "-o", "-"],  # several pages to standard output
            ["render", self.pdf, "-o", "many.png"],  # several pages to one file
            ["render", self.pdf, "-F", "gif"],
            ["render", self.pdf, "-j", "0"],
            ["render", self.pdf, "-r"],
            ["render", self.pdf, "--bogus"],
            ["render"],
            ["info"],
            ["frobnicate"],
            [],
        ]
        for args in cases:
            r = self.run_cli(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertTrue(r.stderr.startswith(b"rendrix: "), args)
        self.assertEqual(sorted(os.listdir(self.dir)), ["five.pdf"])

        r = self.run_cli("render", self.path("missing.pdf"), "-o", "x.png")
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"missing.pdf", r.stderr)

    def test_info_version_and_help(self):
        r = self.run_cli("info", self.pdf, "-r", "144")
        lines = r.stdout.decode().splitlines()
        self.assertEqual(lines[0], "pages: 5")
        self.assertEqual(lines[1], "page 1: box 0 0 72 144, rotation 0, 144x288 pixels at 144 dpi")
        self.assertEqual(lines[2], "page 2: box 0 0 144 72, rotation 90, 144x288 pixels at 144 dpi")
        self.assertEqual(lines[4],
                         "page 4: box 0 0 20000 20000, rotation 0, 40000x40000 pixels at 144 dpi")
        self.assertEqual(len(lines), 6)
        self.assertEqual(r.returncode, 0)

        with open(HEADER) as f:
            version = re.search(r'#define RENDRIX_VERSION_STRING "([^"]+)"', f.read()).group(1)
        r = self.run_cli("--version")
        self.assertEqual(r.stdout.decode(), "rendrix %s\n" % version)
        r = self.run_cli("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"rendrix render FILE.pdf", r.stdout)


if __name__ == "__main__":
    if not CLI:
        sys.exit("set RENDRIX_CLI to the rendrix program")
    unittest.main()
