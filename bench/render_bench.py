#!/usr/bin/env python3
"""Renders every page of every readable file of a corpus folder at a given
resolution with `rendrix render --all`, and in the same run with
`pdftoppm -png` (poppler-utils) and `mutool draw` (mupdf-tools) as
references, each document in one process. Prints per-tool totals: pages,
seconds, pages per second and the largest peak memory of one process.

    bench/render_bench.py [--rendrix build/tools/rendrix] [--dpi 150]
                          [--format png|jpeg] [--tools rendrix,pdftoppm,mutool]
                          [--max-pages N] [--install] [FOLDER ...]

With --max-pages, only the first N pages of each document are rendered
(rendrix then renders them one process per page).

FOLDER defaults to ../shared/corpus. --install apt-installs the two reference
tools (Debian packages poppler-utils and mupdf-tools) when they are missing.
"""
import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def corpus_files(folder):
    """(path, pages) of every file the manifest says is readable and not
    encrypted."""
    out = []
    with open(os.path.join(folder, "manifest.tsv"), newline="") as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            if row["encrypted"] == "yes" or not row["pages"].isdigit():
                continue
            out.append((os.path.join(folder, row["file"]), int(row["pages"])))
    return out


def run_timed(cmd):
    """Wall seconds, peak resident kilobytes and exit status of cmd."""
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    return time.perf_counter() - t0, usage.ru_maxrss, os.waitstatus_to_exitcode(status)


def commands(tool, args, path, outdir, pages):
    """The command lines that render the pages of path (a list: rendrix with
    a page limit runs once per page)."""
    fmt = args.format
    ext = "png" if fmt == "png" else "jpg"
    limit = args.max_pages
    if tool == "rendrix":
        if not limit:
            return [[args.rendrix, "render", path, "--all", "-o", outdir, "-r", str(args.dpi),
                     "-F", fmt]]
        return [[args.rendrix, "render", path, "-p", str(k), "-o",
                 os.path.join(outdir, f"p{k}.{ext}"), "-r", str(args.dpi), "-F", fmt]
                for k in range(1, pages + 1)]
    if tool == "pdftoppm":
        flag = "-png" if fmt == "png" else "-jpeg"
        rng = ["-l", str(pages)] if limit else []
        return [["pdftoppm", "-r", str(args.dpi), flag] + rng + [path, os.path.join(outdir, "p")]]
    rng = [f"1-{pages}"] if limit else []
    return [["mutool", "draw", "-q", "-r", str(args.dpi), "-o",
             os.path.join(outdir, "p%d." + ext), path] + rng]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("folders", nargs="*", default=[os.path.join(HERE, "..", "..", "shared", "corpus")])
    ap.add_argument("--rendrix", default=os.path.join(HERE, "..", "build", "tools", "rendrix"))
    ap.add_argument("--dpi", type=int, default=150)
    ap.add_argument("--format", choices=["png", "jpeg"], default="png")
    ap.add_argument("--tools", default="rendrix,pdftoppm,mutool")
    ap.add_argument("--install", action="store_true")
    ap.add_argument("--max-pages", type=int, default=0)
    args = ap.parse_args()
    tools = args.tools.split(",")
    missing = [p for t, p in (("pdftoppm", "poppler-utils"), ("mutool", "mupdf-tools"))
               if t in tools and not shutil.which(t)]
    if missing:
        if not args.install:
            sys.exit("missing reference tools; rerun with --install or apt-get install " +
                     " ".join(missing))
        subprocess.run(["apt-get", "install", "-y", "-q"] + missing, check=True)
    totals = {t: [0, 0.0, 0, 0] for t in tools}  # pages, seconds, peak KB, failures
    for folder in args.folders:
        for path, pages in corpus_files(folder):
            if args.max_pages:
                pages = min(pages, args.max_pages)
            if pages == 0:
                continue
            for tool in tools:
                with tempfile.TemporaryDirectory() as out:
                    failed = 0
                    for cmd in commands(tool, args, path, out, pages):
                        secs, peak, status = run_timed(cmd)
                        t = totals[tool]
                        t[1] += secs
                        t[2] = max(t[2], peak)
                        failed |= status != 0
                t[0] += pages
                t[3] += failed
    print(f"{'tool':10} {'pages':>7} {'seconds':>9} {'pages/s':>9} {'peak MB':>9} {'failed':>7}")
    for tool in tools:
        pages, secs, peak, failed = totals[tool]
        print(f"{tool:10} {pages:>7} {secs:>9.2f} {pages / secs if secs else 0:>9.1f} "
              f"{peak / 1024:>9.1f} {failed:>7}")


if __name__ == "__main__":
    main()
