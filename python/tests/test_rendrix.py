"""Tests of the rendrix package against the library named by RENDRIX_LIBRARY."""

import copy
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import rendrix  # noqa: E402
from rendrix import RendrixError  # noqa: E402

HELLO = str(HERE / ".." / ".." / "examples" / "hello.pdf")
CORPUS = HERE / ".." / ".." / ".." / "shared" / "corpus"
SIX_PAGES = CORPUS / "pysf_0f2076573b.pdf"
ENCRYPTED = CORPUS / "qpdf_9f6c9ad93a.pdf"

try:
    rendrix._native.library()
except RendrixError as exc:
    if os.environ.get("RENDRIX_LIBRARY"):
        raise
    raise unittest.SkipTest("set RENDRIX_LIBRARY to the built librendrix.so (%s)" % exc)


def png_size(data):
    assert data[:16] == b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", data[:16]
    return struct.unpack(">II", data[16:24])


def is_jpeg(data):
    return data[:3] == b"\xff\xd8\xff" and data[-2:] == b"\xff\xd9"


def read(path):
    with open(path, "rb") as f:
        return f.read()


class RendrixTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="rendrix-py-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_images_and_sizes(self):
        # hello.pdf's page is 612 x 792 points: one pixel per point at 72 dpi.
        self.assertEqual(rendrix.page_count(HELLO), 1)
        self.assertEqual(png_size(rendrix.render_page(HELLO, dpi=72)), (612, 792))
        self.assertEqual(png_size(rendrix.render_page(HELLO, 1, 144)), (1224, 1584))
        # Clamped to 1, not wrapped into C int range (which would give 72).
        self.assertEqual(png_size(rendrix.render_page(HELLO, dpi=72 - 2 ** 32)), (9, 11))
        jpeg = rendrix.render_page(HELLO, dpi=72, format="jpeg")
        self.assertTrue(is_jpeg(jpeg))
        self.assertEqual(rendrix.render_page(pathlib.Path(HELLO), dpi=72, format="JPG"), jpeg)
        self.assertEqual(rendrix.render_page(os.fsencode(HELLO), dpi=72, format="PnG"),
                         rendrix.render_page(HELLO, dpi=72))

    def test_bad_arguments_fail_before_the_library(self):
        # The file is missing, so reaching the library would give RendrixError.
        missing = os.path.join(self.tmp, "missing.pdf")
        bad_calls = [(ValueError, dict(format=f)) for f in ("gif", "", None, b"png", ".png")]
        bad_calls += [(TypeError, dict(page=p)) for p in ("1", 1.0, True)]
        bad_calls += [(ValueError, dict(page=p)) for p in (2 ** 31, -2 ** 31 - 1)]
        bad_calls += [(TypeError, dict(dpi=72.5))]
        for error, kwargs in bad_calls:
            with self.assertRaises(error, msg=repr(kwargs)):
                rendrix.render_page(missing, **kwargs)
        for path in (None, 3, bytearray(b"a.pdf")):
            with self.assertRaises(TypeError, msg=repr(path)):
                rendrix.page_count(path)
        for call in (lambda: rendrix.page_count(HELLO + "\0.txt"),
                     lambda: rendrix.render_page_to_file(HELLO, self.tmp + "/a\0.png"),
                     lambda: rendrix.render_all(missing, self.tmp, format="tiff")):
            self.assertRaises(ValueError, call)

    def test_library_errors_carry_its_message(self):
        missing = os.path.join(self.tmp, "missing.pdf")
        for call in (rendrix.page_count, rendrix.render_page, rendrix.Document):
            with self.assertRaisesRegex(RendrixError, re.escape("cannot open " + missing)):
                call(missing)
        with self.assertRaisesRegex(RendrixError, r"^page must be >= 1 \(got 0\)$"):
            rendrix.render_page(HELLO, page=0)
        with self.assertRaisesRegex(RendrixError, "out of range"):
            rendrix.render_page(HELLO, page=2)
        with self.assertRaisesRegex(RendrixError, "cannot write"):
            rendrix.render_page_to_file(HELLO, os.path.join(self.tmp, "no", "x.png"))

    def test_render_page_to_file_infers_format(self):
        png = rendrix.render_page(HELLO, dpi=40)
        jpeg = rendrix.render_page(HELLO, dpi=40, format="jpeg")
        for name, fmt, expected in [("a.png", None, png), ("b.JPG", None, jpeg),
                                    ("c.jpeg", None, jpeg), ("d.jpg.png", None, png),
                                    ("e", None, png), ("f.png", "jpg", jpeg)]:
            out = os.path.join(self.tmp, name)
            rendrix.render_page_to_file(HELLO, out, dpi=40, format=fmt)
            self.assertEqual(read(out), expected, name)
        out = os.fsencode(os.path.join(self.tmp, "g.jpeg"))
        rendrix.render_page_to_file(pathlib.Path(HELLO), out, dpi=40)
        self.assertEqual(read(out), jpeg)

    def test_render_all_writes_numbered_files(self):
        out_dir = os.path.join(self.tmp, "deep", "er")
        written = rendrix.render_all(HELLO, out_dir, dpi=30)
        self.assertEqual(written, [os.path.join(out_dir, "page_001.png")])
        self.assertEqual(read(written[0]), rendrix.render_page(HELLO, dpi=30))
        written = rendrix.render_all(HELLO, os.fsencode(out_dir), dpi=30, format="JPEG")
        self.assertEqual(written, [os.path.join(os.fsencode(out_dir), b"page_001.jpg")])
        self.assertEqual(sorted(os.listdir(out_dir)), ["page_001.jpg", "page_001.png"])
        with self.assertRaisesRegex(RendrixError, "not a directory"):
            rendrix.render_all(HELLO, written[0], dpi=30)

    def test_document(self):
        with rendrix.Document(pathlib.Path(HELLO)) as doc:
            self.assertEqual((len(doc), doc.page_count), (1, 1))
            for fmt in ("png", "jpg"):
                self.assertEqual(doc.render_page(1, 50, fmt),
                                 rendrix.render_page(HELLO, 1, 50, fmt))
            with self.assertRaisesRegex(RendrixError, r"^page must be >= 1 \(got -1\)$"):
                doc.render_page(-1)
            self.assertEqual(doc.page_info(1, 144), {"box": (0.0, 0.0, 612.0, 792.0),
                                                     "rotation": 0, "width": 1224,
                                                     "height": 1584})
            with self.assertRaisesRegex(RendrixError, r"^page 2 out of range \(1\.\.1\)$"):
                doc.page_info(2)
            # Copies would share, and later double-free, the native handle.
            self.assertRaises(TypeError, copy.copy, doc)
        doc.close()
        for call in (lambda: len(doc), lambda: doc.render_page(1), doc.__enter__):
            self.assertRaises(ValueError, call)

    def test_concurrent_rendering_gives_identical_bytes(self):
        expected = rendrix.render_page(HELLO, dpi=60)
        results = []
        with rendrix.Document(HELLO) as doc:
            def work():
                for _ in range(3):
                    results.extend([rendrix.render_page(HELLO, dpi=60), doc.render_page(1, 60)])
            threads = [threading.Thread(target=work) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        self.assertEqual(len(results), 24)
        self.assertTrue(all(r == expected for r in results))

    @unittest.skipUnless(SIX_PAGES.is_file() and ENCRYPTED.is_file(), "corpus not found")
    def test_corpus_files(self):
        written = rendrix.render_all(SIX_PAGES, self.tmp, dpi=36, format="jpg")
        self.assertEqual([os.path.basename(p) for p in written],
                         ["page_%03d.jpg" % n for n in range(1, 7)])
        with rendrix.Document(SIX_PAGES) as doc:
            self.assertEqual(len(doc), 6)
            self.assertEqual(read(written[3]), doc.render_page(4, 36, "jpeg"))
        for call in (rendrix.page_count, rendrix.render_page, rendrix.Document):
            self.assertRaisesRegex(RendrixError, "encrypted", call, ENCRYPTED)

    def test_library_search(self):
        shutil.copytree(HERE.parent / "rendrix", os.path.join(self.tmp, "rendrix"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        code = ("import rendrix\ntry:\n    print(rendrix.page_count(%r), rendrix.library_path())\n"
                "except rendrix.RendrixError as e:\n    print(e)\n" % HELLO)

        def run(library):
            env = {k: v for k, v in os.environ.items() if k != "RENDRIX_LIBRARY"}
            env.update({"RENDRIX_LIBRARY": library} if library else {})
            # -E -s drop PYTHONPATH and the user site: the copy in cwd is imported.
            return subprocess.run([sys.executable, "-E", "-s", "-c", code], cwd=self.tmp,
                                  env=env, capture_output=True, text=True, timeout=60).stdout
        bogus = os.path.join(self.tmp, "nothing.so")
        self.assertIn("RENDRIX_LIBRARY=" + bogus, run(bogus))
        # Unset, a versioned file beside the package is found.
        beside = os.path.join(self.tmp, "librendrix.so.0")
        os.symlink(os.path.abspath(rendrix.library_path()), beside)
        self.assertEqual(run(None).split(), ["1", beside])


if __name__ == "__main__":
    unittest.main()
