#!/usr/bin/env python3
"""Writes small PDF files from readable recipes, filling in the byte offsets
of the cross-reference data, and (re)generates the project's PDF fixtures.

    tools/make_test_pdf.py --fixtures tests/data/pdf   # all test fixtures
    tools/make_test_pdf.py --example examples/hello.pdf

Compressed streams are made with python's zlib, a compressor independent of
this library, so the fixtures check our inflater against someone else's output.
"""
import argparse
import base64
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

    f["stream_filters.pdf"] = stream_filters()
    f["flate_ceiling.pdf"] = flate_ceiling()
    f["text_truetype.pdf"] = text_truetype()
    return f


# Texts of the stream fixtures; tests/pdfcore/streams_test.cpp and
# filters_test.cpp hold the same strings.
CONTENT_A = b"0 0 1 rg 10 10 100 100 re f\n"
CONTENT_B = b"1 0 0 RG 5 w 0 0 m 50 50 l S\n"
FAKE_JPEG = b"\xff\xd8\xff\xe0 still DCT-encoded"
REPEATED = b"0 0 m 100 100 l S\n"  # 18 bytes, repeated to 4 MiB


def raw_zlib_with_data_error():
    """A zlib stream whose first block (stored, not final) holds b"hello "
    and whose second block has the reserved type 11: the decoder keeps the
    six bytes and stops."""
    data = b"hello "
    stored = b"\x00" + len(data).to_bytes(2, "little") + (len(data) ^ 0xFFFF).to_bytes(2, "little")
    return b"\x78\x01" + stored + data + b"\x07"


def ascii85(data):
    """ASCII85 as PDF writes it: no "<~" prefix, "~>" at the end."""
    return base64.a85encode(data) + b"~>"


def stream_filters():
    """One object per filter case; the page lists 10, 11, a missing 99 and 12."""
    objs = [Obj(n, t) for n, t in catalog_and_pages([3])]
    objs.append(Obj(3, b"<< /Type /Page /Parent 2 0 R /Contents [10 0 R 11 0 R 99 0 R 12 0 R] >>"))
    # 10: Flate. 11: no filter.
    objs.append(stream_obj(10, b"", CONTENT_A, compress=True))
    objs.append(stream_obj(11, b"", CONTENT_B))
    # 12: Flate, then DCT (not undone).
    z = zlib.compress(FAKE_JPEG)
    objs.append(Obj(12, b"<< /Filter [/FlateDecode /DCTDecode] /Length %d >>" % len(z), z))
    # 13 and 14: ASCII85 around Flate, the array written in both orders.
    a = ascii85(zlib.compress(CONTENT_B))
    objs.append(Obj(13, b"<< /Filter [/ASCII85Decode /FlateDecode] /Length %d >>" % len(a), a))
    objs.append(Obj(14, b"<< /Filter [/FlateDecode /ASCII85Decode] /Length %d >>" % len(a), a))
    # 15: LZW (not undone). 16: the filter array given by reference.
    lzw = b"\x80\x0b\x60\x50\x22\x0c\x0c\x85\x01"
    objs.append(Obj(15, b"<< /Filter /LZWDecode /Length %d >>" % len(lzw), lzw))
    z = zlib.compress(CONTENT_A)
    objs.append(Obj(16, b"<< /Filter 30 0 R /Length %d >>" % len(z), z))
    objs.append(Obj(30, b"[/FlateDecode]"))
    # 17: 4 MiB that compress about a thousandfold, beyond both first buffers.
    objs.append(stream_obj(17, b"", REPEATED * (4 * 1048576 // len(REPEATED)), compress=True))
    # 18: Flate cut in half. 19: Flate with a data error after six bytes.
    objs.append(stream_obj(18, b"", bytes(range(256)) * 64, compress=True, keep=0.5))
    e = raw_zlib_with_data_error()
    objs.append(Obj(19, b"<< /Filter /FlateDecode /Length %d >>" % len(e), e))
    # 20: a 1000 x 1000 RGB image of zeros, far beyond 200 n + 1 MiB.
    objs.append(stream_obj(20, b"/Width 1000 /Height 1000 /BitsPerComponent 8 "
                               b"/ColorSpace /DeviceRGB", bytes(3000000), compress=True))
    return build(objs, 1)


def zeros_zlib(size):
    """zlib data of size zero bytes, compressed in pieces."""
    c = zlib.compressobj(9)
    out, chunk = [], bytes(1 << 20)
    left = size
    while left:
        n = min(left, len(chunk))
        out.append(c.compress(chunk[:n]))
        left -= n
    out.append(c.flush())
    return b"".join(out)


def flate_ceiling():
    """5 inflates to exactly 256 MiB, 6 to one byte more; the page lists 6
    a thousand times before a small unfiltered stream 7."""
    ceiling = 256 * 1048576
    objs = [Obj(n, t) for n, t in catalog_and_pages([3])]
    objs.append(Obj(3, b"<< /Type /Page /Parent 2 0 R /Contents [%s 7 0 R] >>" %
                    b" ".join([b"6 0 R"] * 1000)))
    for num, size in ((5, ceiling), (6, ceiling + 1)):
        z = zeros_zlib(size)
        objs.append(Obj(num, b"<< /Filter /FlateDecode /Length %d >>" % len(z), z))
    objs.append(stream_obj(7, b"", CONTENT_A))
    return build(objs, 1)


FONT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "fonts", "data")


def text_truetype():
    """Liberation Sans Regular embedded (FontFile2, Flate) and shown three
    ways, each page drawing "AB" at size 48 from (10, 30) on a 200 x 100 box:
    1. a simple TrueType font; 2. a Type0 font with CIDToGIDMap /Identity
    showing the glyph ids 36 and 37; 3. the same program with a CIDToGIDMap
    stream mapping the codes 1 and 2 to those glyphs. All three must draw
    what the built-in sans face draws for /Helvetica (tests/text)."""
    with open(os.path.join(FONT_DIR, "LiberationSans-Regular.ttf"), "rb") as fh:
        program = fh.read()
    objs = [Obj(n, t) for n, t in catalog_and_pages([3, 4, 5])]
    shows = [(b"F1", 10, b"(AB)"), (b"F2", 11, b"<00240025>"), (b"F3", 13, b"<00010002>")]
    for i, (name, font, text) in enumerate(shows):
        content = b"BT /%s 48 Tf 10 30 Td %s Tj ET" % (name, text)
        objs.append(Obj(3 + i, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 100] "
                               b"/Resources << /Font << /%s %d 0 R >> >> /Contents %d 0 R >>"
                        % (name, font, 20 + i)))
        objs.append(stream_obj(20 + i, b"", content))
    desc = b"<< /Type /FontDescriptor /FontName /LiberationSans /FontFile2 30 0 R >>"
    objs.append(Obj(10, b"<< /Type /Font /Subtype /TrueType /BaseFont /LiberationSans "
                        b"/FontDescriptor 31 0 R >>"))
    objs.append(Obj(11, b"<< /Type /Font /Subtype /Type0 /BaseFont /LiberationSans "
                        b"/Encoding /Identity-H /DescendantFonts [12 0 R] >>"))
    objs.append(Obj(12, b"<< /Type /Font /Subtype /CIDFontType2 /BaseFont /LiberationSans "
                        b"/CIDToGIDMap /Identity /FontDescriptor 31 0 R >>"))
    objs.append(Obj(13, b"<< /Type /Font /Subtype /Type0 /BaseFont /LiberationSans "
                        b"/Encoding /Identity-H /DescendantFonts 14 0 R >>"))
    objs.append(Obj(14, b"[15 0 R]"))  # the descendant reached through an array object
    objs.append(Obj(15, b"<< /Type /Font /Subtype /CIDFontType2 /BaseFont /LiberationSans "
                        b"/CIDToGIDMap 32 0 R /FontDescriptor 31 0 R >>"))
    objs.append(stream_obj(30, b"/Length1 %d" % len(program), program, compress=True))
    objs.append(Obj(31, desc))
    objs.append(stream_obj(32, b"", bytes([0, 0, 0, 36, 0, 37]), compress=True))
    return build(objs, 1)


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
