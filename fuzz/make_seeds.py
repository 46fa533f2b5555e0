#!/usr/bin/env python3
"""Builds the seed inputs of every fuzz target into OUT/<target>/.

Seeds come from the real-world files of the shared corpus (whole files, and
the streams inside them: content, Flate data, JPEG images, TrueType fonts),
the unit-test fixtures and a few hand-written image dictionaries. Files are
named by the SHA-1 of their bytes, as libFuzzer names what it adds.

usage: make_seeds.py OUT [--corpus DIR]
"""
import argparse
import hashlib
import os
import re
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STREAM = re.compile(rb"stream\r?\n")


def put(out, target, data, limit):
    if not data or len(data) > limit:
        return
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, hashlib.sha1(data).hexdigest()), "wb") as f:
        f.write(data)


def pdf_files(corpus):
    for folder in (corpus, os.path.join(corpus, "stress"),
                   os.path.join(ROOT, "tests", "data", "pdf"),
                   os.path.join(ROOT, "examples")):
        if os.path.isdir(folder):
            for name in sorted(os.listdir(folder)):
                if name.endswith(".pdf"):
                    yield os.path.join(folder, name)


def streams(data):
    """Yields (dictionary text, raw stream bytes) for each stream of a file."""
    for m in STREAM.finditer(data):
        end = data.find(b"endstream", m.end())
        if end < 0:
            continue
        head = data[max(0, m.start() - 600):m.start()]
        dict_start = head.rfind(b"obj")
        yield head[dict_start + 3:] if dict_start >= 0 else head, data[m.end():end]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--corpus", default=os.path.join(ROOT, "..", "shared", "corpus"))
    args = ap.parse_args()
    counts = {"inflate": 0, "jpeg": 0, "truetype": 0, "interp": 0}
    caps = {"inflate": 400, "jpeg": 150, "truetype": 60, "interp": 400}
    for path in pdf_files(args.corpus):
        data = open(path, "rb").read()
        put(args.out, "load", data, 8 << 20)
        put(args.out, "render", data, 8 << 20)
        for head, raw in streams(data):
            raw = raw.rstrip(b"\r\n")
            if b"/DCTDecode" in head and raw[:2] == b"\xff\xd8" and counts["jpeg"] < caps["jpeg"]:
                put(args.out, "jpeg", raw, 512 << 10)
                counts["jpeg"] += 1
                continue
            if b"/FlateDecode" not in head:
                continue
            try:
                plain = zlib.decompressobj().decompress(raw, 8 << 20)
            except zlib.error:
                continue
            if counts["inflate"] < caps["inflate"] and len(raw) < (64 << 10):
                put(args.out, "inflate", raw, 64 << 10)
                counts["inflate"] += 1
            if plain[:4] in (b"\x00\x01\x00\x00", b"true") and counts["truetype"] < caps["truetype"]:
                put(args.out, "truetype", plain, 1 << 20)
                counts["truetype"] += 1
            elif (b"/Subtype" not in head and counts["interp"] < caps["interp"]
                  and re.search(rb"\b(re|Tj|TJ|cm|Do|BT)\b", plain[:4096])):
                put(args.out, "interp", plain, 64 << 10)
                counts["interp"] += 1
    fonts = os.path.join(ROOT, "src", "fonts", "data")
    for name in sorted(os.listdir(fonts)):
        if name.endswith(".ttf"):
            put(args.out, "truetype", open(os.path.join(fonts, name), "rb").read(), 1 << 20)

    # Image dictionaries and data: the first line is the dictionary body.
    z = zlib.compress
    images = [
        b"/Width 4 /Height 4 /BitsPerComponent 8 /ColorSpace /DeviceRGB\n" + bytes(range(48)),
        b"/Width 8 /Height 2 /BitsPerComponent 1 /ColorSpace /DeviceGray\n\x5a\xa5",
        b"/Width 3 /Height 3 /BitsPerComponent 4 /ColorSpace /DeviceGray /Decode [1 0]\n"
        + b"\x12\x34\x56\x78\x9a",
        b"/Width 2 /Height 2 /BitsPerComponent 8 /ColorSpace [/Indexed /DeviceRGB 1 <ff000000ff00>]\n"
        + b"\x00\x01\x01\x00",
        b"/Width 2 /Height 2 /BitsPerComponent 8 /ColorSpace /DeviceCMYK\n" + bytes(range(16)),
        b"/Width 2 /Height 2 /BitsPerComponent 16 /ColorSpace /DeviceRGB\n" + bytes(range(24)),
        b"/Width 16 /Height 16 /BitsPerComponent 8 /ColorSpace /DeviceGray /Filter /FlateDecode\n"
        + z(bytes(range(256))),
        b"/Width 8 /Height 8 /ImageMask true /Decode [1 0]\n" + bytes(8),
        b"/Width 4 /Height 4 /BitsPerComponent 8 /ColorSpace /DeviceRGB "
        b"/Filter /ASCII85Decode\n<~zzzzzzz~>",
        b"/Width 20000 /Height 20000 /BitsPerComponent 8 /ColorSpace /DeviceRGB "
        b"/Filter /FlateDecode\n" + z(bytes(4096)),
    ]
    jpeg_dir = os.path.join(args.out, "jpeg")
    if os.path.isdir(jpeg_dir):
        small = sorted(os.listdir(jpeg_dir), key=lambda n: os.path.getsize(os.path.join(jpeg_dir, n)))
        for name in small[:4]:
            images.append(b"/Width 8 /Height 8 /BitsPerComponent 8 /ColorSpace /DeviceRGB "
                          b"/Filter /DCTDecode\n" + open(os.path.join(jpeg_dir, name), "rb").read())
    for img in images:
        put(args.out, "image", img, 1 << 20)
    for t in sorted(os.listdir(args.out)):
        print(f"{t}: {len(os.listdir(os.path.join(args.out, t)))} seeds")


if __name__ == "__main__":
    main()
