#!/usr/bin/env python3
"""Renders every page of the corpus with rendrix and, file by file, with
mutool (mupdf-tools) and pdftoppm (poppler-utils), and compares wall time,
peak memory and output size; optionally counts instructions per rendering
phase of a few pages under callgrind.

    bench/bench.py [--build-dir build-bench] [--no-build] [--dpi 150,300]
                   [--formats png,jpeg] [--tools rendrix,mutool,pdftoppm]
                   [--files N] [--repeat N] [--timeout S] [--markdown FILE]
                   [--json FILE] [--callgrind] [--pages FILE:PAGE,...]
                   [FOLDER ...]

FOLDER defaults to ../shared/corpus and ../shared/corpus/stress. Each tool
renders all pages of one file in one process, one page at a time; the tools
run back to back on each file so that machine noise hits them alike.
"""
import argparse
import csv
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.normpath(os.path.join(REPO, "..", "shared", "corpus"))
PEERS = ("mutool", "pdftoppm")
APT = {"mutool": "mupdf-tools", "pdftoppm": "poppler-utils"}
# Pages for --callgrind: text (two columns of embedded Type1 text), vector
# (thousands of stroked and filled paths), a full-page DCT scan, and a stress
# page with a large embedded CJK font.
CALLGRIND_PAGES = ("pysf_bdb495e95b.pdf:1,pdfjs_b4f8476db0.pdf:1,"
                   "pdfjs_af26f8639f.pdf:1,stress/pdfcpu_a9a55e5495.pdf:1")
GNU_TIME = shutil.which("time", path="/usr/bin:/bin")
# The rasteriser's drawing functions (src/raster/raster.h). Only calls into
# this set from outside it count, so raster_stroke -> stroke_segment ->
# raster_fill is not counted twice. draw_pixel_rows asks the image for the
# pixels it shows, so their colour conversion counts as drawing.
RASTER = {"canvas_init", "canvas_init_opaque", "raster_fill", "raster_stroke", "stroke_segment", "clip_push",
          "clip_pop", "blend_px", "draw_pixels", "draw_pixel_rows"}


def log(*a):
    print(*a, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- setup

def build(build_dir):
    subprocess.run(["cmake", "-S", REPO, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DRENDRIX_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2)], check=True,
                   stdout=subprocess.DEVNULL)


def install_peers(tools):
    """apt-installs the peers (and GNU time) that are missing; returns the
    usable tools."""
    global GNU_TIME
    missing = [APT[t] for t in tools if t in APT and not shutil.which(t)]
    missing += [] if GNU_TIME else ["time"]
    if missing:
        cmd = ["apt-get", "install", "-y", "-q"] + missing
        if subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["apt-get", "update", "-q"], stdout=subprocess.DEVNULL)
            subprocess.run(cmd, stdout=subprocess.DEVNULL)
    GNU_TIME = shutil.which("time", path="/usr/bin:/bin")
    if not GNU_TIME:
        log("note: no GNU time; peak memory includes this script's own (about 15 MiB)")
    usable = [t for t in tools if t == "rendrix" or (t in APT and shutil.which(t))]
    for t in set(tools) - set(usable):
        log(f"note: {t} is not available; its columns are left out")
    return usable


def corpus_files(folder, limit):
    """(path, pages) of the renderable files of a folder's manifest: not
    encrypted, with a known page count above zero."""
    out = []
    with open(os.path.join(folder, "manifest.tsv"), newline="") as fh:
        for row in csv.DictReader(fh, delimiter="\t"):
            if row["encrypted"] == "no" and row["pages"].isdigit() and int(row["pages"]) > 0:
                out.append((os.path.join(folder, row["file"]), int(row["pages"])))
    return out[:limit] if limit else out


# ---------------------------------------------------------------- running

def kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass  # ended just before the timer fired


def run_measured(cmd, timeout):
    """Runs cmd; returns (wall seconds, peak RSS KiB, exit code). A run that
    outlives timeout is killed (exit code 137 through GNU time, else -9).

    The peak comes from GNU time when it is there: a child started straight
    from this script inherits the script's own peak RSS (about 15 MiB) in its
    ru_maxrss, since exec records the old address space's high-water mark,
    whereas GNU time forks from a process of about 1 MiB."""
    with tempfile.NamedTemporaryFile("r", prefix="rbench-rss-") as rss:
        full = [GNU_TIME, "-q", "-f", "%M", "-o", rss.name] + cmd if GNU_TIME else cmd
        t0 = time.perf_counter()
        p = subprocess.Popen(full, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        timer = threading.Timer(timeout, kill_group, (p.pid,))
        timer.start()
        _, status, usage = os.wait4(p.pid, 0)
        secs = time.perf_counter() - t0
        timer.cancel()
        p.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
        words = rss.read().split()
    kib = int(words[-1]) if GNU_TIME and words and words[-1].isdigit() else usage.ru_maxrss
    return secs, kib, p.returncode


def command(tool, rendrix, has_j, path, outdir, dpi, fmt):
    """The command that renders every page of path into outdir, or None when
    the tool has no such output format."""
    if tool == "rendrix":
        cmd = [rendrix, "render", path, "--all", "-o", outdir, "-r", str(dpi), "-F", fmt]
        return cmd + ["-j", "1"] if has_j else cmd
    if tool == "mutool":
        if fmt != "png":
            return None  # mutool 1.21 draw writes no JPEG
        return ["mutool", "draw", "-q", "-A", "0", "-r", str(dpi), "-o",
                os.path.join(outdir, "p%d.png"), path]
    return ["pdftoppm", "-aa", "no", "-aaVector", "no", "-r", str(dpi), "-" + fmt, path,
            os.path.join(outdir, "p")]


def dir_bytes(d):
    return sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(d) for f in fs)


def image_size(path):
    """(width, height) of a PNG or baseline/progressive JPEG file, or None."""
    with open(path, "rb") as f:
        data = f.read(1 << 16)
    if data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) >= 24:
        return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    i = 2
    while data[:2] == b"\xff\xd8" and i + 9 <= len(data) and data[i] == 0xFF:
        marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big")
        i += 2 + length
    return None


def page_images(d):
    """The sizes of the images a tool wrote, in page order (by the number in
    each name: page_001.png, p-01.png and p1.png all count as page 1)."""
    def number(name):
        digits = re.findall(r"\d+", name)
        return int(digits[-1]) if digits else 0
    return [image_size(os.path.join(d, f)) for f in sorted(os.listdir(d), key=number)]


def bench_file(args, tools, rendrix, has_j, path, pages, dpi, fmt):
    """One row: every tool on one file, repeats interleaved, best time kept."""
    row = {"file": os.path.basename(path), "pages": pages, "dpi": dpi, "format": fmt}
    for _ in range(args.repeat):
        for tool in tools:
            with tempfile.TemporaryDirectory(prefix="rbench-") as out:
                cmd = command(tool, rendrix, has_j, path, out, dpi, fmt)
                if cmd is None:
                    continue
                secs, rss, code = run_measured(cmd, args.timeout)
                r = row.setdefault(tool, {"secs": secs, "rss_kib": 0, "failed": False})
                r["secs"] = min(r["secs"], secs)
                r["rss_kib"] = max(r["rss_kib"], rss)
                r["failed"] |= code != 0
                r["exit"] = code
                r["timeout"] = r.get("timeout", False) or secs >= args.timeout
                r["out_bytes"] = dir_bytes(out)
                r["images"] = page_images(out)
    mark_stubs(row)
    return row


def mark_stubs(row):
    """A peer that writes, for some page, an image of less than a hundredth of
    rendrix's pixels has not rendered that page, even with exit status 0
    (pdftoppm writes a 1 x 1 image when its page raster cannot be
    allocated): its run counts as failed, and its time and memory are not
    compared. Rasters may differ in size by the page-size rules, but not a
    hundredfold."""
    ours = row.get("rendrix", {}).get("images")
    for tool in PEERS:
        r = row.get(tool)
        if not r or not ours or len(r["images"]) != len(ours):
            continue
        for mine, theirs in zip(ours, r["images"]):
            if mine and theirs and theirs[0] * theirs[1] * 100 < mine[0] * mine[1]:
                r["stub"] = True
                r["failed"] = True


# ---------------------------------------------------------------- reporting

def ok(row, tool):
    return tool in row and not row[tool]["failed"]


def per_file_table(rows, tools):
    """Header and cells of the per-file table."""
    head = ["file", "pages"]
    for t in tools:
        head += [f"{t} s", f"{t} p/s", f"{t} MiB", f"{t} KiB"]
    peers = [t for t in PEERS if t in tools and "rendrix" in tools]
    head += [f"r/{p[0]} time" for p in peers] + [f"r/{p[0]} mem" for p in peers]
    body = []
    for row in rows:
        cells = [row["file"], str(row["pages"])]
        for t in tools:
            if t not in row:
                cells += ["n/a"] * 4
                continue
            r = row[t]
            mark = (" TIMEOUT" if r["timeout"] else " STUB" if r.get("stub") else
                    " FAIL" if r["failed"] else "")
            cells += [f"{r['secs']:.2f}{mark}", f"{row['pages'] / r['secs']:.1f}",
                      f"{r['rss_kib'] / 1024:.1f}", f"{r['out_bytes'] / 1024:.0f}"]
        for key in ("secs", "rss_kib"):
            for p in peers:
                both = ok(row, "rendrix") and ok(row, p) and row[p][key]
                cells.append(f"{row['rendrix'][key] / row[p][key]:.2f}" if both else "n/a")
        body.append(cells)
    return head, body


def summary(rows, tools):
    """Totals per tool and the comparisons of rendrix with its peers, as
    (title, header, cells) tables plus loose lines."""
    tables, lines = [], []
    head = ["tool", "files", "failed", "pages", "seconds", "pages/s", "max MiB", "output MiB"]
    body = []
    total = {}
    for t in tools:
        rs = [r for r in rows if t in r]
        if not rs:
            continue
        secs = sum(r[t]["secs"] for r in rs)
        pages = sum(r["pages"] for r in rs)
        total[t] = secs
        body.append([t, str(len(rs)), str(sum(r[t]["failed"] for r in rs)), str(pages),
                     f"{secs:.2f}", f"{pages / secs:.1f}" if secs else "n/a",
                     f"{max(r[t]['rss_kib'] for r in rs) / 1024:.1f}",
                     f"{sum(r[t]['out_bytes'] for r in rs) / 2**20:.1f}"])
    tables.append(("Totals (all files)", head, body))
    peers = [p for p in PEERS if p in total]
    if "rendrix" not in total or not peers:
        return tables, lines
    # Ratios over the files that rendrix and that peer both rendered cleanly.
    for p in peers:
        both = [r for r in rows if ok(r, "rendrix") and ok(r, p)]
        if not both:
            continue
        rt, pt = (sum(r[t]["secs"] for r in both) for t in ("rendrix", p))
        rm, pm = (sum(r[t]["rss_kib"] for r in both) for t in ("rendrix", p))
        geo = math.exp(sum(math.log(r["rendrix"]["secs"] / r[p]["secs"]) for r in both) / len(both))
        lines.append(f"rendrix/{p} over {len(both)} files both rendered: total time "
                     f"{rt / pt:.2f}, geometric mean of time ratios {geo:.2f}, "
                     f"summed peak memory {rm / pm:.2f}")
    faster = min(peers, key=lambda p: total[p])
    lines.append(f"faster peer: {faster} ({total[faster]:.2f} s for all files)")
    # Per file that rendrix rendered, its time against the faster peer on it.
    worst, over_mem = [], 0
    for r in rows:
        done = [p for p in peers if ok(r, p)]
        if not done or not ok(r, "rendrix"):
            continue
        best = min(done, key=lambda p: r[p]["secs"])
        worst.append((r["rendrix"]["secs"] / r[best]["secs"], r["file"], best))
        over_mem += r["rendrix"]["rss_kib"] > min(r[p]["rss_kib"] for p in done)
    worst.sort(reverse=True)
    tables.append(("Slowest files against the faster peer on that file",
                   ["file", "peer", "time ratio"],
                   [[f, p, f"{x:.2f}"] for x, f, p in worst[:5]]))
    lines.append(f"files where rendrix's peak memory exceeds the smaller peer's: "
                 f"{over_mem} of {len(worst)}")
    return tables, lines


def text_table(head, body):
    widths = [max(len(str(c)) for c in col) for col in zip(head, *body)]
    out = ["  ".join(h.rjust(w) if i else h.ljust(w) for i, (h, w) in enumerate(zip(head, widths)))]
    for cells in body:
        out.append("  ".join(c.rjust(w) if i else c.ljust(w)
                             for i, (c, w) in enumerate(zip(cells, widths))))
    return "\n".join(out)


def md_table(head, body):
    out = ["| " + " | ".join(head) + " |", "|" + "|".join(
        " --- " if i == 0 else " ---: " for i in range(len(head))) + "|"]
    out += ["| " + " | ".join(cells) + " |" for cells in body]
    return "\n".join(out)


# ---------------------------------------------------------------- callgrind

def parse_annotate(text):
    """From `callgrind_annotate --tree=caller` output: the program total, the
    inclusive cost per function and the cost of each caller -> callee call.
    Functions are keyed by their plain name (what comes before the '('), so
    compiler clones such as `f(int) [clone .part.0]` count as f."""
    def name_of(where):
        sig = where.split(":", 1)[-1]  # drop the "file:" prefix
        return sig.replace("(anonymous namespace)", "{anon}").split("(")[0].strip() or where

    total, incl, calls, callers = 0, {}, {}, []
    line_re = re.compile(r"^\s*([\d,]+)\s+(?:\([\s\d.]+%\)\s+)?([<*>]?)\s*(.*?)"
                         r"(?: \([\d,]+x\))? \[[^\]]*\]$")
    for line in text.splitlines():
        if line.strip().endswith("PROGRAM TOTALS"):
            total = int(line.split()[0].replace(",", ""))
        m = line_re.match(line)
        if not m:
            callers = []  # a blank line ends a function's block
            continue
        cost, kind, name = int(m.group(1).replace(",", "")), m.group(2), name_of(m.group(3))
        if kind == "<":
            callers.append((name, cost))
        elif kind == "*":
            incl[name] = max(incl.get(name, 0), cost)
            for caller, c in callers:
                calls[(caller, name)] = calls.get((caller, name), 0) + c
            callers = []
    return total, incl, calls


def phase_cost(names, incl, calls):
    """Instructions spent in a set of functions, counting only the calls that
    come from outside it: a call from a member, or from any function that a
    member calls (directly or not), is already inside a member's inclusive
    cost and would be counted twice."""
    inside, todo = set(names), list(names)
    while todo:
        f = todo.pop()
        for (caller, callee) in calls:
            if caller == f and callee not in inside:
                inside.add(callee)
                todo.append(callee)
    cost = 0
    for f in names:
        entries = [c for (caller, callee), c in calls.items() if callee == f]
        outside = [c for (caller, callee), c in calls.items()
                   if callee == f and caller not in inside]
        cost += sum(outside) if entries else incl.get(f, 0)
    return cost


def callgrind(args, rendrix, has_j):
    """Table of instruction counts per phase for the chosen pages, in PNG and
    in JPEG. The Release build keeps its symbol table, which is all that
    callgrind needs for function names."""
    if not shutil.which("valgrind"):
        subprocess.run(["apt-get", "install", "-y", "-q", "valgrind"], stdout=subprocess.DEVNULL)
    head = ["page", "format", "load", "interpret", "rasterise", "encode", "total"]
    body = []
    for item in args.pages.split(","):
        path, _, page = item.rpartition(":")
        path = path if os.path.isabs(path) else os.path.join(CORPUS, path)
        for fmt in ("png", "jpeg"):
            label = [f"{os.path.basename(path)}:{page}", fmt]
            log("callgrind:", *label)
            with tempfile.TemporaryDirectory(prefix="rbench-cg-") as tmp:
                out = os.path.join(tmp, "cg.out")
                cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", rendrix,
                       "render", path, "-p", page, "-o", os.path.join(tmp, "page." + fmt),
                       "-r", "150", "-F", fmt] + (["-j", "1"] if has_j else [])
                try:
                    code = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                          timeout=args.timeout * 20).returncode
                    text = subprocess.run(["callgrind_annotate", "--inclusive=yes",
                                           "--threshold=100", "--tree=caller", out],
                                          capture_output=True, text=True, check=True).stdout
                except (subprocess.SubprocessError, OSError) as e:
                    body.append(label + [f"failed: {type(e).__name__}"] + [""] * 4)
                    continue
            total, incl, calls = parse_annotate(text)
            # Pages are drawn by render_page_canvas (render_page wraps it
            # for callers that want interleaved pixels).
            render = incl.get("render_page_canvas", incl.get("render_page", 0))
            if not render:
                log("note: no render_page_canvas in the profile; is the binary stripped?")
            load = phase_cost({"pdfcore_load", "pdfcore_load_memory"}, incl, calls)
            encode = phase_cost({"qx_png_encode", "qx_jpeg_encode", "qx_png_encode_planes",
                                 "qx_jpeg_encode_planes", "{anon}::png_encode",
                                 "{anon}::jpeg_encode"}, incl, calls)
            raster = phase_cost(RASTER, incl, calls)
            interp = render - raster
            body.append(label + [f"{v / 1e6:.1f}" for v in (load, interp, raster, encode, total)])
            if code:
                body[-1][-1] += f" (exit {code})"
    return head, body


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("folders", nargs="*",
                    default=[CORPUS, os.path.join(CORPUS, "stress")])
    ap.add_argument("--build-dir", default=os.path.join(REPO, "build-bench"))
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--dpi", default="150,300")
    ap.add_argument("--formats", default="png,jpeg")
    ap.add_argument("--tools", default="rendrix,mutool,pdftoppm")
    ap.add_argument("--files", type=int, default=0, help="only the first N files of a folder")
    ap.add_argument("--repeat", type=int, default=1, help="runs per file and tool; best time kept")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds per process")
    ap.add_argument("--markdown", help="also write the tables as Markdown to this file")
    ap.add_argument("--json", help="write every measured row to this file")
    ap.add_argument("--callgrind", action="store_true", help="instruction counts per phase")
    ap.add_argument("--pages", default=CALLGRIND_PAGES, help="FILE:PAGE,... for --callgrind")
    ap.add_argument("--no-render", action="store_true", help="skip the timed runs")
    args = ap.parse_args()

    build_dir = os.path.abspath(args.build_dir)
    if not args.no_build:
        log("building", build_dir)
        build(build_dir)
    rendrix = os.path.join(build_dir, "tools", "rendrix")
    if not os.access(rendrix, os.X_OK):
        sys.exit(f"no {rendrix}; build it or drop --no-build")
    helptext = subprocess.run([rendrix, "--help"], capture_output=True, text=True)
    has_j = re.search(r"(^|\s)-j\b", helptext.stdout + helptext.stderr) is not None
    tools = install_peers([t for t in args.tools.split(",") if t])
    dpis = [int(d) for d in args.dpi.split(",")]
    formats = ["jpeg" if f in ("jpg", "jpeg") else f for f in args.formats.split(",")]

    md = ["# rendrix benchmark", "", f"rendrix given `-j 1`: {'yes' if has_j else 'no'}; "
          "times are wall seconds, memory is peak RSS.", ""]
    raw, sections = [], []
    for folder in ([] if args.no_render else args.folders):
        files = corpus_files(folder, args.files)
        for dpi in dpis:
            for fmt in formats:
                rows = []
                for i, (path, pages) in enumerate(files, 1):
                    log(f"[{i}/{len(files)}] {os.path.basename(path)} {dpi} dpi {fmt}")
                    row = bench_file(args, tools, rendrix, has_j, path, pages, dpi, fmt)
                    row["folder"] = folder
                    rows.append(row)
                raw += rows
                sections.append((f"{os.path.relpath(folder, REPO)}, {dpi} dpi, {fmt}", rows))
                # Printed as soon as the combination is done: a full run is long.
                title, rows = sections[-1]
                tables, lines = summary(rows, tools)
                out = [f"== {title}", text_table(*per_file_table(rows, tools)), ""]
                for name, h, b in tables:
                    out += [name + ":", text_table(h, b), ""]
                print("\n".join(out + lines + [""]), flush=True)
    # Markdown: every summary first, then the per-file tables.
    for title, rows in sections:
        tables, lines = summary(rows, tools)
        md += [f"## {title}", ""]
        for name, h, b in tables:
            md += [f"{name}:", "", md_table(h, b), ""]
        md += [f"- {l}" for l in lines] + [""]
    for title, rows in sections:
        md += [f"## Per file: {title}", "", md_table(*per_file_table(rows, tools)), ""]
    if args.callgrind:
        head, body = callgrind(args, rendrix, has_j)
        print("== instructions per phase (millions, callgrind, 150 dpi)")
        print(text_table(head, body), flush=True)
        md += ["## Instructions per phase (millions, callgrind, 150 dpi)", "",
               md_table(head, body), ""]
    if args.markdown:
        with open(args.markdown, "w") as fh:
            fh.write("\n".join(md))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"rendrix_j1": has_j, "tools": tools, "rows": raw}, fh, indent=1)


if __name__ == "__main__":
    main()
