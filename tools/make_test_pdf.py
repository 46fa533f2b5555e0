#!/usr/bin/env python3
"""Writes small PDF files from readable recipes, filling in the byte offsets
of the cross-reference data, and (re)generates the project's PDF fixtures.

    tools/make_test_pdf.py --fixtures tests/data/pdf   # all test fixtures
    tools/make_test_pdf.py --example examples/hello.pdf

Compressed streams are made with python's zlib, a compressor independent of
this library, so the fixtures check our inflater against someone else's output.
"""
import argparse
import os
import zlib


class Obj:
    """One indirect object: a dictionary (or other value) text and optional
    stream data. compress=True applies FlateDecode through zlib."""

    def __init__(self, num, body, stream=None, compress=False):
        self.num = num
        self.body = body
        self.stream = stream
        self.compress = compress


def stream_obj(num, dict_entries, data, compress=False, keep=None):
    """keep, when given, cuts the (compressed) data to that fraction."""
    if compress:
        data = zlib.compress(data, 9)
        dict_entries += b" /Filter /FlateDecode"
    if keep is not None:
        data = data[: int(len(data) * keep)]
    return Obj(num, b"<< " + dict_entries + b" /Length %d >>" % len(data), data)


def object_stream(num, members, compress=True, pad=b"", keep=None):
    """An /ObjStm holding members [(num, text)]; pad is appended to the last
    member's text (to reach a high compression ratio)."""
    texts, offsets, off = [], [], 0
    for i, (n, text) in enumerate(members):
        if i == len(members) - 1:
            text += pad
        offsets.append((n, off))
        texts.append(text + b"\n")
        off += len(text) + 1
    header = b" ".join(b"%d %d" % p for p in offsets) + b"\n"
    data = header + b"".join(texts)
    entries = b"/Type /ObjStm /N %d /First %d" % (len(members), len(header))
    return stream_obj(num, entries, data, compress, keep)


def build(objs, root, xref="classic", trailer_extra=b"", header=b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n"):
    """Serialises objs; xref is 'classic', 'stream' or 'none'."""
    out = bytearray(header)
    offsets = {}
    for o in objs:
        offsets[o.num] = len(out)
        out += b"%d 0 obj\n" % o.num + o.body
        if o.stream is not None:
            out += b"\nstream\n" + o.stream + b"\nendstream"
        out += b"\nendobj\n"
    size = max(offsets) + 1
    if xref == "classic":
        start = len(out)
        out += b"xref\n0 %d\n0000000000 65535 f \n" % size
        for n in range(1, size):
            if n in offsets:
                out += b"%010d 00000 n \n" % offsets[n]
            else:
                out += b"0000000000 65535 f \n"
        out += b"trailer\n<< /Size %d /Root %d 0 R%s >>\n" % (size, root, trailer_extra)
        out += b"startxref\n%d\n%%%%EOF\n" % start
    elif xref == "stream":
        start = len(out)
        rows = b"".join(b"\x01" + offsets.get(n, 0).to_bytes(4, "big") + b"\x00"
                        for n in range(size + 1))
        data = zlib.compress(rows)
        out += b"%d 0 obj\n<< /Type /XRef /Size %d /W [1 4 1] /Root %d 0 R%s " % (
            size, size + 1, root, trailer_extra)
        out += b"/Filter /FlateDecode /Length %d >>\nstream\n" % len(data)
        out += data + b"\nendstream\nendobj\n"
        out += b"startxref\n%d\n%%%%EOF\n" % start
    return bytes(out)


def catalog_and_pages(page_nums, pages_num=2, catalog_num=1):
    kids = b" ".join(b"%d 0 R" % n for n in page_nums)
    return [
        (catalog_num, b"<< /Type /Catalog /Pages %d 0 R >>" % pages_num),
        (pages_num, b"<< /Type /Pages /Kids [%s] /Count %d >>" % (kids, len(page_nums))),
    ]


def page(num, parent=2, box=b"[0 0 612 792]"):
    return (num, b"<< /Type /Page /Parent %d 0 R /MediaBox %s >>" % (parent, box))


def fixtures():
    """name -> bytes of every test fixture."""
    f = {}
    # Catalog, page tree and pages all inside one compressed object stream,
    # found through a cross-reference stream.
    members = catalog_and_pages([3, 4]) + [page(3), page(4, box=b"[0 0 300 400]")]
    f["objstm_basic.pdf"] = build([object_stream(10, members)], 1, xref="stream")

    # The same, padded so that the stream inflates more than 200 times its
    # compressed size: the first buffer is too small and must be enlarged.
    members = catalog_and_pages([3]) + [page(3)]
    f["objstm_ratio.pdf"] = build([object_stream(10, members, pad=b" " * 400000)], 1,
                                  xref="stream")

    # The object stream's Flate data are cut in the middle: it contributes no
    # member, so the pages written directly in the file are all that remain.
    members = catalog_and_pages([3, 4]) + [page(3), page(4)]
    ostm = object_stream(10, members, pad=bytes(range(256)) * 64, keep=0.5)
    direct = [Obj(n, t) for n, t in catalog_and_pages([5])] + [Obj(5, page(5)[1])]
    f["objstm_truncated.pdf"] = build([ostm] + direct, 1)

    # Page 4 is defined in the object stream and again directly: the direct
    # definition (a different box) wins although it comes first in the file.
    members = catalog_and_pages([3, 4]) + [page(3), page(4, box=b"[0 0 100 100]")]
    direct4 = Obj(4, page(4, box=b"[0 0 200 200]")[1])
    f["objstm_direct_wins.pdf"] = build([direct4, object_stream(10, members)], 1, xref="stream")

    # A page whose content stream is compressed (for stream-data accessors).
    content = b"0 0 1 rg 10 10 100 100 re f\n" * 50
    objs = [Obj(n, t) for n, t in catalog_and_pages([3])]
    objs.append(Obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>"))
    objs.append(stream_obj(4, b"", content, compress=True))
    f["flate_content.pdf"] = build(objs, 1)
    return f


def example():
    """The sample shipped for the README: one page with a little drawing."""
    content = (b"% a blue square, a red diamond and a black frame\n"
               b"0.1 0.3 0.8 rg 72 500 200 200 re f\n"
               b"0.85 0.1 0.1 rg 400 520 m 480 600 l 400 680 l 320 600 l h f\n"
               b"0 G 4 w 36 36 540 720 re S\n")
    objs = [Obj(n, t) for n, t in catalog_and_pages([3])]
    objs.append(Obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                       b"/Resources << >> /Contents 4 0 R >>"))
    objs.append(stream_obj(4, b"", content))
    return build(objs, 1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--fixtures", metavar="DIR", help="write every test fixture into DIR")
    ap.add_argument("--example", metavar="FILE", help="write the sample PDF")
    args = ap.parse_args()
    if args.fixtures:
        os.makedirs(args.fixtures, exist_ok=True)
        for name, data in fixtures().items():
            with open(os.path.join(args.fixtures, name), "wb") as fh:
                fh.write(data)
    if args.example:
        with open(args.example, "wb") as fh:
            fh.write(example())


if __name__ == "__main__":
    main()
