#!/usr/bin/env python3
"""Writes PDF files built to exhaust a renderer's stack, time or memory, and
the manifest that says how the library must treat each one.

    tools/make_hostile_pdfs.py OUTDIR

OUTDIR receives one file per case and hostile.tsv, a tab-separated table
with a header line and one row per case:

    name  action  page  dpi  expect  max_seconds  max_mib  what

action is "count" (rendrix_page_count) or "render" (rendrix_page_memory as
PNG of the page at dpi). expect is "ok" (a page count above 0, or a PNG) or
"error:TEXT", where TEXT is part of the message the failing call leaves.
max_seconds and max_mib bound the processor time and the peak resident memory of
a process that makes the one call.

Everything is built with python's standard library in a few seconds.
Decompression bombs are made by repeating one compressed block of zeros:
a raw deflate block ended by a full flush is byte-aligned and refers to
nothing before it, so copies of it can be joined into any length.
"""
import os
import struct
import sys
import zlib

MiB = 1 << 20
GiB = 1 << 30


# ---------------------------------------------------------------------------
# Writing PDF files.


class Obj:
    """An indirect object: number, body text (a dictionary when there is
    stream data), stream data or None, generation. With length=True the
    dictionary gets the data's /Length; otherwise the body says what it says."""

    def __init__(self, num, body, stream=None, gen=0, length=True):
        self.num = num
        self.body = body
        self.stream = stream
        self.gen = gen
        self.length = length


def stream(num, entries, data, compress=False):
    """A stream object whose dictionary holds entries and the right /Length."""
    if compress:
        data = zlib.compress(data, 9)
        entries += b" /Filter /FlateDecode"
    return Obj(num, b"<< " + entries + b" >>", data)


def build(objs, root=1):
    """Serialises objs, then a classic cross-reference table and trailer."""
    parts = [b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n"]
    at = len(parts[0])
    offsets = []
    for o in objs:
        body = o.body
        if o.stream is not None and o.length:
            assert body.endswith(b">>")
            body = body[:-2].rstrip() + b" /Length %d >>" % len(o.stream)
        text = b"%d %d obj\n" % (o.num, o.gen) + body
        if o.stream is not None:
            text += b"\nstream\n" + o.stream + b"\nendstream"
        text += b"\nendobj\n"
        offsets.append((o.num, at, o.gen))
        parts.append(text)
        at += len(text)
    # Numbers a table cannot hold stay out of it (the objects stay in the file).
    listed = sorted(e for e in offsets if 0 < e[0] <= 0x7FFFFFFF)
    size = max(n for n, _, _ in listed) + 1
    parts.append(b"xref\n0 1\n0000000000 65535 f \n")
    for num, off, gen in listed:
        parts.append(b"%d 1\n%010d %05d n \n" % (num, off, gen))
    parts.append(b"trailer\n<< /Size %d /Root %d 0 R >>\n" % (size, root))
    parts.append(b"startxref\n%d\n%%%%EOF\n" % at)
    return b"".join(parts)


def one_page(content, resources=b"<< >>", extra=(), page_entries=b"", box=b"[0 0 612 792]",
             compress=True):
    """Catalog 1, page tree 2, page 3 with content stream 4; extra objects
    are numbered by the caller (5 and up)."""
    objs = [
        Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
        Obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
        Obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox " + box + b" /Resources " + resources +
            b" /Contents 4 0 R" + page_entries + b" >>"),
        stream(4, b"", content, compress),
    ]
    return build(objs + list(extra))


# A mark drawn by most pages, so an "ok" case still runs real painting.
MARK = b"0.2 0.4 0.8 rg 20 20 100 100 re f\n"


# ---------------------------------------------------------------------------
# Decompression bombs.

_zero_block = {}


def zero_block(size):
    """Raw deflate data of size zero bytes: byte-aligned, history-free."""
    if size not in _zero_block:
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        _zero_block[size] = c.compress(bytes(size)) + c.flush(zlib.Z_FULL_FLUSH)
    return _zero_block[size]


def zlib_bomb(zeros, prefix=b""):
    """zlib data of prefix followed by zeros zero bytes (zeros a multiple of
    16 MiB), about a thousand times smaller than what it inflates to."""
    chunk = 16 * MiB
    assert zeros % chunk == 0
    head = b""
    if prefix:
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        head = c.compress(prefix) + c.flush(zlib.Z_FULL_FLUSH)
    final = zlib.compressobj(9, zlib.DEFLATED, -15)
    tail = final.compress(b"") + final.flush(zlib.Z_FINISH)
    # Adler-32 of prefix + zeros: zeros leave a unchanged and add a to b once each.
    adler = zlib.adler32(prefix)
    a, b = adler & 0xFFFF, adler >> 16
    b = (b + zeros * a) % 65521
    body = head + zero_block(chunk) * (zeros // chunk) + tail
    return b"\x78\xda" + body + struct.pack(">I", (b << 16) | a)


def check_bomb(data, prefix, zeros):
    """Inflates the start of a bomb, and the whole of a small one, to make
    sure the pieces join into valid zlib data."""
    d = zlib.decompressobj()
    out = d.decompress(data[:300000], len(prefix) + 8 * MiB)
    assert out.startswith(prefix) and not any(out[len(prefix):]), "bad bomb prefix"
    small = zlib_bomb(32 * MiB, prefix)
    assert zlib.decompress(small) == prefix + bytes(32 * MiB), "bad bomb"


# ---------------------------------------------------------------------------
# TrueType programs.


def ttf(tables, num_tables=None, offsets=None):
    """A TrueType file of the given tables (tag -> bytes). num_tables and
    offsets (tag -> offset) override what the directory says."""
    tags = sorted(tables)
    n = len(tags)
    out = bytearray(struct.pack(">IHHHH", 0x00010000, n if num_tables is None else num_tables,
                                16, 0, 0))
    at = 12 + 16 * n
    layout = []
    for tag in tags:
        layout.append((tag, at))
        at += (len(tables[tag]) + 3) & ~3
    for tag, off in layout:
        if offsets and tag in offsets:
            off = offsets[tag]
        out += struct.pack(">4sIII", tag, 0, off, len(tables[tag]))
    for tag, _ in layout:
        data = tables[tag]
        out += data + bytes(((len(data) + 3) & ~3) - len(data))
    return bytes(out)


def square_glyph():
    """One contour of four on-curve points: a square of 800 units."""
    g = struct.pack(">hhhhh", 1, 100, 0, 900, 800)
    g += struct.pack(">HH", 3, 0)  # last point of the contour, no instructions
    g += bytes([0x01] * 4)  # on curve, both deltas as int16
    g += struct.pack(">hhhh", 100, 800, 0, -800)
    g += struct.pack(">hhhh", 0, 0, 800, 0)
    return g


def composite_glyph(refs):
    """A composite glyph whose components are the glyph ids in refs, each at
    an offset of 10 units (word arguments, offsets, not scaled)."""
    g = struct.pack(">hhhhh", -1, 0, 0, 1000, 1000)
    for i, gid in enumerate(refs):
        flags = 0x0001 | 0x0002 | (0x0020 if i + 1 < len(refs) else 0)
        g += struct.pack(">HHhh", flags, gid, 10, 10)
    return g


def cmap_format4(seg_count_x2=None, truncate=False):
    """Maps 'a' (97) to glyph 1 through two segments."""
    segs = [(97, 97, 1 - 97), (0xFFFF, 0xFFFF, 1)]
    x2 = 2 * len(segs) if seg_count_x2 is None else seg_count_x2
    body = struct.pack(">HHHH", x2, 4, 1, 0)
    body += b"".join(struct.pack(">H", e) for _, e, _ in segs) + b"\0\0"
    body += b"".join(struct.pack(">H", s) for s, _, _ in segs)
    body += b"".join(struct.pack(">h", d) for _, _, d in segs)
    body += b"\0\0" * len(segs)
    sub = struct.pack(">HHH", 4, 6 + len(body), 0) + body
    if truncate:
        sub = sub[:20]
    return struct.pack(">HHHHI", 0, 1, 3, 1, 12) + sub


def font_tables(glyphs=None, loca=None, cmap=None):
    """The tables of a two-glyph font (.notdef empty, 'a' a square)."""
    if glyphs is None:
        glyphs = [b"", square_glyph()]
    glyf = b""
    offs = [0]
    for g in glyphs:
        g += bytes(len(g) & 1)
        glyf += g
        offs.append(len(glyf))
    if loca is None:
        loca = offs
    n = len(glyphs)
    head = struct.pack(">IIIIHH", 0x00010000, 0x00010000, 0, 0x5F0F3CF5, 0, 1000)
    head += bytes(16) + struct.pack(">hhhhHHhhh", 0, 0, 1000, 1000, 0, 8, 2, 0, 0)
    hhea = struct.pack(">Ihhh", 0x00010000, 800, -200, 0) + struct.pack(">Hhhh", 1000, 0, 0, 1000)
    hhea += struct.pack(">hhh", 1, 0, 0) + bytes(8) + struct.pack(">hH", 0, n)
    return {
        b"head": head,
        b"hhea": hhea,
        b"maxp": struct.pack(">IH", 0x00005000, n),
        b"hmtx": struct.pack(">hh", 1000, 0) * n,
        b"cmap": cmap if cmap is not None else cmap_format4(),
        b"loca": b"".join(struct.pack(">H", (v // 2) & 0xFFFF) for v in loca),
        b"glyf": glyf,
    }


def font_page(program, compress=True, file_entries=b""):
    """A page showing "aaaa" at 200 points in a TrueType font embedded as
    /FontFile2 (object 7); program is the file's data as stored."""
    font = Obj(5, b"<< /Type /Font /Subtype /TrueType /BaseFont /Hostile /FirstChar 97 "
                  b"/LastChar 97 /Widths [1000] /FontDescriptor 6 0 R >>")
    desc = Obj(6, b"<< /Type /FontDescriptor /FontName /Hostile /Flags 32 "
                  b"/FontBBox [0 0 1000 1000] /FontFile2 7 0 R >>")
    entries = file_entries + (b" /Filter /FlateDecode" if compress else b"")
    ff = Obj(7, b"<< " + entries + b" >>", zlib.compress(program, 9) if compress else program)
    content = MARK + b"BT /F1 200 Tf 50 300 Td (aaaa) Tj ET\n"
    return one_page(content, b"<< /Font << /F1 5 0 R >> >>", [font, desc, ff])


# ---------------------------------------------------------------------------
# JPEG data.


def jpeg(width, height, dht=None, restart=0, scan=None):
    """A baseline grey JPEG whose Huffman tables hold one code each (symbol
    0: DC difference 0, AC end of block), so every block costs two bits."""
    def seg(marker, body):
        return b"\xff" + bytes([marker]) + struct.pack(">H", len(body) + 2) + body

    out = b"\xff\xd8"
    out += seg(0xDB, b"\x00" + bytes([1] * 64))
    out += seg(0xC0, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00")
    if dht is None:
        one = bytes([1] + [0] * 15) + b"\x00"
        dht = [b"\x00" + one, b"\x10" + one]
    for table in dht:
        out += seg(0xC4, table)
    if restart:
        out += seg(0xDD, struct.pack(">H", restart))
    out += seg(0xDA, b"\x01\x01\x00\x00\x3f\x00")
    if scan is None:
        blocks = ((width + 7) // 8) * ((height + 7) // 8)
        scan = bytes((blocks * 2 + 7) // 8)
    return out + scan + b"\xff\xd9"


def image_page(entries, data, draws=b"/Im Do\n", extra=()):
    """A page painting image XObject 5 (entries, data as stored) over most of
    the page with draws."""
    content = MARK + b"q 500 0 0 500 50 150 cm\n" + draws + b"Q\n"
    img = Obj(5, b"<< /Type /XObject /Subtype /Image " + entries + b" >>", data)
    return one_page(content, b"<< /XObject << /Im 5 0 R >> >>", [img] + list(extra))


# ---------------------------------------------------------------------------
# The cases.

CASES = []


def case(name, action, expect, seconds, mib, what, data, page=1, dpi=36):
    CASES.append((name + ".pdf", action, page, dpi, expect, seconds, mib, what, data))


BROKEN_TREE = "error:could not resolve the page tree"


def nesting_cases():
    deep = 200000
    box = b"[" * deep + b"0 0 612 792" + b"]" * deep
    case("deep_array_mediabox", "render", "ok", 5, 256, "/MediaBox nested in 200000 arrays",
         one_page(MARK, box=box))
    res = b"<< /ExtGState << /G0 " + b"[" * deep + b"]" * deep + b" >> >>"
    case("deep_array_resources", "render", "ok", 5, 256, "a resource value nested in 200000 arrays",
         one_page(MARK + b"/G0 gs\n", res))
    content = b"BT /F1 12 Tf 10 10 Td " + b"[" * deep + b"(x)" + b"]" * deep + b" TJ ET\n"
    helvetica = b"<< /Font << /F1 << /Subtype /Type1 /BaseFont /Helvetica >> >> >>"
    case("deep_array_content", "render", "ok", 5, 256, "a TJ operand nested in 200000 arrays",
         one_page(MARK + content, helvetica))
    ddict = b"<< /A " * deep + b"1" + b" >>" * deep
    case("deep_dict_page", "render", "ok", 5, 256, "page dictionary nested 200000 deep",
         one_page(MARK, page_entries=b" /PieceInfo " + ddict))
    case("deep_dict_content", "render", "ok", 5, 256,
         "a marked-content property list nested 200000 deep",
         one_page(MARK + b"/Tag " + ddict + b" BDC " + MARK + b"EMC\n"))
    case("q_200000", "render", "ok", 5, 256, "200000 q without Q",
         one_page(b"q\n" * deep + MARK))
    case("Q_200000", "render", "ok", 5, 256, "200000 Q without q",
         one_page(b"Q\n" * deep + MARK))


def recursion_cases():
    def form(num, content, names):
        """A Form XObject whose resources name the forms in names [(name, num)]."""
        named = b" ".join(b"/%s %d 0 R" % (n, k) for n, k in names)
        return stream(num, b"/Type /XObject /Subtype /Form /BBox [0 0 612 792] "
                           b"/Resources << /XObject << " + named + b" >> >>", content)

    page_res = b"<< /XObject << /Fm 5 0 R >> >>"
    draw = b"0.1 0.6 0.2 rg 10 10 50 50 re f 0.9 0 0 0.9 20 20 cm "
    case("form_self", "render", "ok", 3, 256, "a form that draws itself",
         one_page(b"/Fm Do\n", page_res, [form(5, draw + b"/Fm Do", [(b"Fm", 5)])]))
    case("form_self_twice", "render", "ok", 3, 256, "a form that draws itself twice",
         one_page(b"/Fm Do\n", page_res,
                  [form(5, draw + b"/Fm Do /Fm Do", [(b"Fm", 5)])]))
    case("form_mutual_twice", "render", "ok", 3, 256, "two forms that draw each other twice",
         one_page(b"/Fm Do\n", page_res,
                  [form(5, draw + b"/Fb Do /Fb Do", [(b"Fb", 6)]),
                   form(6, draw + b"/Fm Do /Fm Do", [(b"Fm", 5)])]))
    t3 = Obj(5, b"<< /Type /Font /Subtype /Type3 /FontBBox [0 0 1000 1000] "
                b"/FontMatrix [0.001 0 0 0.001 0 0] /CharProcs << /a 6 0 R >> "
                b"/Encoding << /Type /Encoding /Differences [97 /a] >> /FirstChar 97 "
                b"/LastChar 97 /Widths [1000] /Resources << /Font << /F3 5 0 R >> >> >>")
    glyph = stream(6, b"", b"1000 0 0 0 1000 1000 d1 0 0 400 400 re f BT /F3 1 Tf (aa) Tj ET")
    case("type3_self_twice", "render", "ok", 3, 256, "a Type3 glyph that shows itself twice",
         one_page(b"BT /F3 100 Tf 50 300 Td (aa) Tj ET\n", b"<< /Font << /F3 5 0 R >> >>",
                  [t3, glyph]))


def page_tree_cases():
    objs = [Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
            Obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
            Obj(3, b"<< /Type /Pages /Parent 2 0 R /Kids [4 0 R 2 0 R] /Count 1 >>"),
            Obj(4, b"<< /Type /Page /Parent 3 0 R >>")]
    case("pagetree_cycle", "count", BROKEN_TREE, 2, 256, "a /Pages node listing its ancestor",
         build(objs))

    depth = 5000
    objs = [Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>")]
    for k in range(depth):
        objs.append(Obj(2 + k, b"<< /Type /Pages /Kids [%d 0 R] /Count 1 >>" % (3 + k)))
    objs.append(Obj(2 + depth, b"<< /Type /Page /Parent %d 0 R >>" % (1 + depth)))
    case("pagetree_chain_5000", "count", BROKEN_TREE, 2, 256, "5000 nested /Pages nodes",
         build(objs))

    def flat(n):
        kids = b"3 0 R " * n
        return build([Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
                      Obj(2, b"<< /Type /Pages /Kids [" + kids + b"] /Count %d >>" % n),
                      Obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] "
                             b"/Contents 4 0 R >>"),
                      stream(4, b"", MARK)])
    case("pagetree_same_page_1m", "render", "ok", 5, 512,
         "1000000 references to one page, the last one rendered", flat(1000000), page=1000000)
    case("pagetree_same_page_over_cap", "count", BROKEN_TREE, 5, 512,
         "1100000 references to one page, beyond the page list cap", flat(1100000))

    n = 300000
    parts = [Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
             Obj(2, b"<< /Type /Pages /MediaBox [0 0 200 200] /Kids [" +
                 b" ".join(b"%d 0 R" % (10 + k) for k in range(n)) + b"] /Count %d >>" % n)]
    parts += [Obj(10 + k, b"<< /Type /Page /Parent 2 0 R >>") for k in range(n)]
    case("pagetree_300k_leaves", "render", "ok", 5, 512, "300000 distinct pages, the last rendered",
         build(parts), page=n)


def number_cases():
    def tree(page_num, page_gen=0, extra=(), pages_entries=b""):
        return build([Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
                      Obj(2, b"<< /Type /Pages /Kids [%d %d R] /Count 1%s >>" %
                          (page_num, page_gen, pages_entries)),
                      Obj(page_num, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] "
                                    b"/Contents 4 0 R >>", gen=page_gen),
                      stream(4, b"", MARK)] + list(extra))

    case("objnum_7fffff", "render", "ok", 3, 256, "the page is object 8388607", tree(0x7FFFFF))
    case("objnum_800000", "count", BROKEN_TREE, 3, 256, "the page is object 8388608",
         tree(0x800000))
    case("objnum_int_max", "count", BROKEN_TREE, 3, 256, "the page is object 2147483647",
         tree(2147483647))
    wrap = Obj(4294967299, b"<< /Type /Catalog /Pages 4294967298 0 R >>")
    case("objnum_wraps_32_bits", "count", "ok", 3, 256,
         "an object numbered 2^32 + 3 next to the page, object 3", tree(3, extra=[wrap]))
    neg = [Obj(-3, b"<< /Type /Catalog >>"), Obj(-4, b"<< /Length -4 0 R >>", b"xx", length=False)]
    case("objnum_negative", "render", "ok", 3, 256,
         "objects numbered -3 and -4 next to the page, object 3", tree(3, extra=neg))
    case("generation_65535", "render", "ok", 3, 256, "the page has generation 65535",
         tree(3, 65535))
    case("count_int_max", "count", "ok", 3, 256, "/Count 2147483647 over one page",
         tree(3, pages_entries=b" /Count 2147483647"))
    case("count_int_max_page2", "render", "error:page 2 out of range (1..1)", 3, 256,
         "page 2 of a tree whose /Count says 2147483647",
         tree(3, pages_entries=b" /Count 2147483647"), page=2)
    case("mediabox_huge", "render", "error:page too large at 36 dpi", 3, 256,
         "a 2147483647-point page", one_page(MARK, box=b"[0 0 2147483647 2147483647]"))

    doc = one_page(MARK)
    doc = doc.replace(b"/Size 5 ", b"/Size 2147483647 ").replace(b"xref\n0 1\n",
                                                                 b"xref\n0 2147483647\n")
    case("xref_size_huge", "render", "ok", 3, 256, "trailer /Size and xref section of 2^31 - 1",
         doc)

    # Only a cross-reference stream: fields of 4, 8 and 4 bytes over an
    # /Index claiming 2^31 - 1 entries, of which a few are written.
    body = one_page(MARK).split(b"xref\n")[0]
    rows = struct.pack(">IQI", 0, 0, 65535) + b"".join(
        struct.pack(">IQI", 1, body.find(b"\n%d 0 obj" % k) + 1, 0) for k in range(1, 5))
    xs = zlib.compress(rows)
    xref = (b"6 0 obj\n<< /Type /XRef /Size 2147483647 /W [4 8 4] /Index [0 2147483647] "
            b"/Root 1 0 R /Filter /FlateDecode /Length %d >>\nstream\n" % len(xs) + xs +
            b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % len(body))
    case("xref_stream_index_huge", "render", "ok", 3, 256,
         "xref stream with /W [4 8 4] and /Index [0 2147483647]", body + xref)


def length_cases():
    content = MARK + b"0 0 1 rg 100 100 50 50 re f\n"

    def with_length(length_text):
        objs = [Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
                Obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
                Obj(3, b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] "
                       b"/Contents 4 0 R >>"),
                Obj(4, b"<< /Length " + length_text + b" >>", content, length=False)]
        return build(objs)

    case("length_past_eof", "render", "ok", 3, 256, "/Length 2147483000, past the end of the file",
         with_length(b"2147483000"))
    case("length_negative", "render", "ok", 3, 256, "/Length -100", with_length(b"-100"))
    case("length_self_reference", "render", "ok", 3, 256, "/Length 4 0 R in object 4",
         with_length(b"4 0 R"))


def bomb_cases():
    size = 4 * GiB
    plain = zlib_bomb(size)
    check_bomb(plain, b"", size)
    flate = b"/Filter /FlateDecode"

    content = Obj(4, b"<< " + flate + b" >>", zlib_bomb(size, MARK))
    objs = [Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
            Obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
            Obj(3, b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>"), content]
    case("bomb_content", "render", "ok", 10, 1024, "content stream inflating to 4 GiB",
         build(objs))

    first = b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\n"
    header = (b"20 0 21 %d" % len(first)).ljust(20)
    prefix = header + first + b"[1 2 3]\n"
    check_bomb(zlib_bomb(64 * MiB, prefix), prefix, 64 * MiB)
    ostm = Obj(5, b"<< /Type /ObjStm /N 2 /First 20 " + flate + b" >>", zlib_bomb(size, prefix))
    objs = [Obj(1, b"<< /Type /Catalog /Pages 2 0 R >>"),
            Obj(2, b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>"),
            Obj(3, b"<< /Type /Page /Parent 2 0 R >>"), ostm]
    case("bomb_objstm", "count", "ok", 10, 1024, "object stream inflating to 4 GiB", build(objs))

    case("bomb_image_small", "render", "ok", 10, 1024, "100x100 RGB image inflating to 4 GiB",
         image_page(b"/Width 100 /Height 100 /ColorSpace /DeviceRGB /BitsPerComponent 8 " + flate,
                    plain))
    case("bomb_image_20000", "render", "ok", 10, 1024,
         "20000x20000 RGB image, Flate data of a few bytes",
         image_page(b"/Width 20000 /Height 20000 /ColorSpace /DeviceRGB /BitsPerComponent 8 " +
                    flate, zlib.compress(bytes(16))))
    program = ttf(font_tables())
    case("bomb_fontfile2", "render", "ok", 10, 1024, "/FontFile2 inflating to 4 GiB",
         font_page(zlib_bomb(size, program), compress=False,
                   file_entries=b"/Filter /FlateDecode"))


def image_cases():
    rgb = b"/ColorSpace /DeviceRGB /BitsPerComponent 8"
    case("image_20000_raw", "render", "ok", 5, 1024, "20000x20000 RGB image of 16 bytes",
         image_page(b"/Width 20000 /Height 20000 " + rgb, bytes(range(16))))
    case("image_1x100m", "render", "ok", 5, 1024, "1x100000000 grey image of 16 bytes",
         image_page(b"/Width 1 /Height 100000000 /ColorSpace /DeviceGray /BitsPerComponent 8",
                    bytes(range(16))))
    # A real 4000x4000 image (48 MB of samples), painted 300 times.
    rows = bytes(range(256)) * 46 + bytes(224)
    samples = zlib.compress(rows * 4000, 6)
    draws = b"".join(b"q 0.1 0 0 0.1 %d %d cm /Im Do Q\n" % ((k % 20) * 25, (k // 20) * 30)
                     for k in range(300))
    case("image_4000_x300", "render", "ok", 10, 1024,
         "a 4000x4000 RGB image painted 300 times",
         image_page(b"/Width 4000 /Height 4000 " + rgb + b" /Filter /FlateDecode", samples, draws))


def path_cases():
    period = 2000
    lines = b"".join(b"%.2f %d l\n" % (20 + 0.25 * k, 20 if k % 2 else 760) for k in range(period))
    content = b"0 0 1 rg 20 20 m\n" + lines * (2000000 // period) + b"h f\n"
    case("path_2m_lineto", "render", "ok", 10, 1024, "one filled path of 2000000 line segments",
         one_page(content))
    rects = b"".join(b"%d %d 50 50 re\n" % (10 + (k * 37) % 500, 10 + (k * 53) % 700)
                     for k in range(period))
    content = b"1 0 0 rg\n" + rects * (500000 // period) + b"f\n"
    case("path_500k_re", "render", "ok", 10, 1024, "one filled path of 500000 rectangles",
         one_page(content))


def font_cases():
    tables = font_tables()
    case("font_numtables_65535", "render", "ok", 3, 256, "TrueType directory claims 65535 tables",
         font_page(ttf(tables, num_tables=65535)))
    far = {tag: 0x7FFFFFF0 - 16 * i for i, tag in enumerate(sorted(tables))}
    case("font_offsets_past_end", "render", "ok", 3, 256, "every TrueType table lies past the end",
         font_page(ttf(tables, offsets=far)))
    glyphs = [b"", square_glyph()]
    case("font_loca_outside", "render", "ok", 3, 256, "'loca' sends glyph 1 past 'glyf'",
         font_page(ttf(font_tables(glyphs, loca=[0, 0, 0x1FFFC]))))
    case("font_cmap_segcount_huge", "render", "ok", 3, 256,
         "format 4 'cmap' with 32767 segments in 20 bytes",
         font_page(ttf(font_tables(cmap=cmap_format4(0xFFFE, truncate=True)))))
    case("font_composite_self", "render", "ok", 3, 256,
         "composite glyph made of itself, twice",
         font_page(ttf(font_tables([b"", composite_glyph([1, 1])]))))


def jpeg_cases():
    dct = b"/ColorSpace /DeviceGray /BitsPerComponent 8 /Filter /DCTDecode"
    full = b"\x00" + bytes([255] * 16) + bytes(16 * 255)
    case("jpeg_dht_overfull", "render", "ok", 3, 256, "DHT with 4080 codes",
         image_page(b"/Width 64 /Height 64 " + dct,
                    jpeg(64, 64, dht=[full, b"\x10" + full[1:]])))
    three = b"\x00" + bytes([3] + [0] * 15) + b"\x00\x01\x02"
    case("jpeg_dht_too_many_short", "render", "ok", 3, 256, "DHT with three 1-bit codes",
         image_page(b"/Width 64 /Height 64 " + dct,
                    jpeg(64, 64, dht=[three, b"\x10" + three[1:]])))
    case("jpeg_sof_65535", "render", "ok", 3, 256, "SOF of 65535x65535 in a 64x64 image",
         image_page(b"/Width 64 /Height 64 " + dct, jpeg(65535, 65535, scan=bytes(4096))))
    markers = b"".join(b"\xff" + bytes([0xD0 + k]) for k in range(8))
    case("jpeg_restart_flood", "render", "ok", 5, 512,
         "1024x1024 JPEG whose scan is 4 MiB of restart markers",
         image_page(b"/Width 1024 /Height 1024 " + dct,
                    jpeg(1024, 1024, restart=1, scan=markers * (4 * MiB // len(markers)))))


def scan_cases():
    n = 50000
    head = (b"%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
            b"2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
            b"3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] >> endobj\n")
    body = b"".join(b"%d 0 obj << /K %d >>\n" % (10 + k, k) for k in range(n))
    case("no_endobj_50000", "count", "ok", 2, 256, "50000 objects without endobj",
         head + body + b"trailer << /Root 1 0 R >>\n%%EOF\n")
    body = b"".join(b"%d 0 obj << /Length 100000000 >> stream\nxxxx\n" % (10 + k)
                    for k in range(n))
    case("no_endstream_50000", "count", "ok", 2, 256, "50000 streams without endstream",
         head + body + b"trailer << /Root 1 0 R >>\n%%EOF\n")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_hostile_pdfs.py OUTDIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for make in (nesting_cases, recursion_cases, page_tree_cases, number_cases, length_cases,
                 bomb_cases, image_cases, path_cases, font_cases, jpeg_cases, scan_cases):
        make()
    rows = ["name\taction\tpage\tdpi\texpect\tmax_seconds\tmax_mib\twhat"]
    for name, action, page, dpi, expect, seconds, mib, what, data in CASES:
        with open(os.path.join(out, name), "wb") as fh:
            fh.write(data)
        rows.append("\t".join(str(v) for v in (name, action, page, dpi, expect, seconds, mib,
                                                what)))
    with open(os.path.join(out, "hostile.tsv"), "w") as fh:
        fh.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
